// The output switches: the shell sets them, every unit reads them.
#pragma once

#include <csignal>

extern int g_Color;
extern int g_Verbose;
extern int g_Debug;
extern int useXML;
// Set by the shell's SIGINT handler; long walks poll it.
extern volatile sig_atomic_t g_Interrupted;
