// The shell: entry, command loop and command table; it sets the output switches.
#pragma once

#include <string>
#include <string_view>

#include "base/output.h"

struct Command {
    const char *name;
    int (*handler)(const char *line);   // 0 when the command succeeded
    const char *help;
    const char *syntax;
};
extern const Command cmds[];

// The command a typed word names (a unique prefix, in any case); nullptr when none or several.
const Command *findCommand(std::string_view word);
bool commandTakesPath(const Command *command);

// Start-up as `main` does it: options, ORLODEBUG, `fs` on the image, banner; then the loop.
[[noreturn]] void startShell(int argc, char **argv);
// The prompt as written before each line: "Tarnwick(label:folder)> ", colour codes included.
std::string promptText();
// Runs one command line (leading spaces and newline already removed) as the loop does; 0 on success.
int dispatchLine(const char *line);

int doHelp(const char *line);
int doVersion(const char *line);
int doShell(const char *line);
int doToggleColor(const char *line);
int doToggleVerbose(const char *line);
int doToggleDebug(const char *line);
int doToggleXML(const char *line);
[[noreturn]] int doExit(const char *line);
