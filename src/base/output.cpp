#include "base/output.h"

int g_Color = 1;
int g_Verbose = 0;
int g_Debug = 0;
int useXML = 0;
volatile sig_atomic_t g_Interrupted = 0;
