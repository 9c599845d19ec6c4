// Tarnwick: a read-only, interactive diagnostic shell for HFS Plus and HFSX volumes.
#include "shell/shell.h"

int main(int argc, char **argv) { startShell(argc, argv); }
