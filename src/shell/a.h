// The shell: entry, command loop and command table; it sets the output switches.
#pragma once

#include "base/output.h"

struct Command {
    const char *name;
    int (*handler)(const char *line);
    const char *help;
};
extern const Command cmds[];

// Start-up as `main` does it: ORLODEBUG, `fs` on the first argument, banner; then the loop.
[[noreturn]] void startShell(int argc, char **argv);
[[noreturn]] void doInteractive();
void showPrompt();
// Runs one command line (leading spaces and newline already removed) as the loop does.
void dispatchLine(const char *line);

int doHelp(const char *line);
int doVersion(const char *line);
int doShell(const char *line);
int doToggleColor(const char *line);
int doToggleVerbose(const char *line);
int doToggleDebug(const char *line);
int doToggleXML(const char *line);
[[noreturn]] int doExit(const char *line);
