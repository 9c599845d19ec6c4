// The shell: entry, command loop and command table; it owns the session and sets the output switches.
#pragma once

#include <string>
#include <string_view>

#include "base/output.h"
#include "commands/session.h"

// How a command's argument is read, for completion: words, a path in the volume, one on the local
// disk, or a volume path whose blanks are written "\ ".
enum class Argument { kWords, kVolumePath, kLocalPath, kEscapedPath };

// Whether a command needs a selected volume, and how it says so when there is none: both wordings
// are kept as they are, scripts match them.
enum class Needs { kNothing, kVolume, kVolumeFirst };

struct Command {
    const char *name;
    int (*handler)(Session &session, const char *line);   // 0 when the command succeeded
    const char *help;
    const char *syntax;
    Argument argument;
    Needs needs;
    // One of the first commands: a prefix naming only it among them runs it, whatever later
    // commands share that prefix ("f" is still fs, "x" still xml; find and xattr need "fi", "xa").
    bool first = false;
};
extern const Command cmds[];

// The command a typed word names (a unique prefix, in any case, among the first commands and
// else among all); nullptr when none or several.
const Command *findCommand(std::string_view word);

// Start-up as `main` does it: options, ORLODEBUG, `fs` on the image, banner; then the loop.
[[noreturn]] void startShell(int argc, char **argv);
// The prompt as written before each line: "Tarnwick(label:folder)> ", colour codes included.
std::string promptText();
// Runs one command line (leading spaces and newline already removed) as the loop does; 0 on success.
int dispatchLine(Session &session, const char *line);

int doHelp(Session &session, const char *line);
int doVersion(Session &session, const char *line);
int doShell(Session &session, const char *line);
int doToggleColor(Session &session, const char *line);
int doToggleVerbose(Session &session, const char *line);
int doToggleDebug(Session &session, const char *line);
int doToggleXML(Session &session, const char *line);
[[noreturn]] int doExit(Session &session, const char *line);
