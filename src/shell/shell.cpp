// The shell: start-up (options, the image), the command loop at a terminal, from a pipe or from a
// script, the command table, and the commands that belong to the shell itself.
#include "shell/shell.h"

#include <malloc.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "catalog/unicode.h"
#include "commands/commands.h"
#include "shell/complete.h"
#include "shell/editor.h"

// The order matters: help lists it, and the ambiguity message names the first two matches. The
// help texts' wording is kept as it is: scripts and users know them.
const Command cmds[] = {
    {"dump", doDump, "Dump B-Tree node from current B-Tree", "dump [NODE]", Argument::kWords, Needs::kNothing, true},
    {"listfs", doListFS, "List all mounted file systems and their types", "listfs", Argument::kWords, Needs::kNothing, true},
    {"alloc", doAlloc, "Output the allocation bitmap to an HTML file", "alloc", Argument::kWords, Needs::kVolume, true},
    {"fs", doSetFS, "Set active file system for operations to specific mount point or device",
     "fs [IMAGE|DEVICE|MOUNT-POINT]", Argument::kLocalPath, Needs::kNothing, true},
    {"attributes", doAttrs, "Display the Attribute B-Tree details", "attributes", Argument::kWords, Needs::kVolume, true},
    {"catalog", doCatalog, "Display the Catalog B-Tree details", "catalog", Argument::kWords, Needs::kVolume, true},
    {"extents", doExtents, "Display the Extents Overflow B-Tree details", "extents", Argument::kWords, Needs::kVolume},
    {"volinfo", doVolInfo, "Display the volume header of the selected file system", "volinfo", Argument::kWords, Needs::kVolume, true},
    {"journal", doJournal, "Display the journal's header and the transactions not yet replayed", "journal", Argument::kWords, Needs::kVolume},
    {"snapshot", doSnapshot, "Save a snapshot of the current B-Tree (catalog or attribute)", "snapshot", Argument::kWords, Needs::kNothing, true},
    {"search", doSearch, "Search for leaf by CNID", "search CNID|NAME", Argument::kWords, Needs::kNothing, true},
    {"debug", doToggleDebug, "Toggle Debug traces on/off", "debug", Argument::kWords, Needs::kNothing, true},
    {"verbose", doToggleVerbose, "Toggle verbose mode on/off", "verbose", Argument::kWords, Needs::kNothing, true},
    {"color", doToggleColor, "Toggle color on/off", "color", Argument::kWords, Needs::kNothing, true},
    {"xml", doToggleXML, "Toggle XML Output on/off", "xml", Argument::kWords, Needs::kNothing, true},
    {"pull", doPull, "copy file to /tmp (requires active file system)", "pull [-r] PATH[/..namedfork/rsrc]|#CNID [DEST|-]   (DEST is the last word when the whole line names nothing)", Argument::kVolumePath, Needs::kVolumeFirst, true},
    {"find", doFind, "List every entry below a folder with its CNID (-m: as a body file for timelines)",
     "find [PATH] [-name GLOB] [-type f|d|l] [-m]", Argument::kVolumePath, Needs::kVolumeFirst},
    {"stat", doStat, "Show everything the catalog holds about a file, folder or link", "stat PATH|#CNID", Argument::kVolumePath, Needs::kVolumeFirst},
    {"xattr", doXattr, "List a file's extended attributes, or save one to /tmp", "xattr PATH [NAME]", Argument::kEscapedPath, Needs::kVolumeFirst},
    {"dir", doDir, "list files (requires active file system) - synonymous with ls", "dir [-@Oh] [PATH]", Argument::kVolumePath, Needs::kVolumeFirst, true},
    {"ls", doDir, "list files (requires active file system) - synonymous with dir", "ls [-@Oh] [PATH]", Argument::kVolumePath, Needs::kVolumeFirst, true},
    {"cd", doChdir, "Change directory (requires active file system)", "cd PATH|..|-", Argument::kVolumePath, Needs::kVolumeFirst, true},
    {"pwd", doPwd, "Print the working folder", "pwd", Argument::kWords, Needs::kVolumeFirst},
    {"help", doHelp, "Display this help", "help [COMMAND]", Argument::kWords, Needs::kNothing, true},
    {"?", doHelp, "Display this help", "? [COMMAND]", Argument::kWords, Needs::kNothing, true},
    {"!", doShell, "Shell command", "!COMMAND", Argument::kWords, Needs::kNothing, true},
    {"quit", doExit, "Quit this program", "quit", Argument::kWords, Needs::kNothing, true},
    {"version", doVersion, "Display version", "version", Argument::kWords, Needs::kNothing, true},
    {nullptr, nullptr, nullptr, nullptr, Argument::kWords, Needs::kNothing},
};

namespace {

// The longest command line taken; a longer one is refused whole, never run in pieces.
constexpr size_t kMaxLineLength = 1023;
constexpr const char *kVersionLine = "This is Tarnwick, version 1.1, compiled on Nov 14 2016";
constexpr const char *kUsage =
    "usage: tarnwick [--no-color] [--bail] [-c COMMANDS | -f FILE] [--] [IMAGE]\n"
    "       tarnwick -h | --help | --version\n"
    "\n"
    "Inspect an HFS+ or HFSX volume (a device, a volume or disk image, or a UDIF .dmg) read-only.\n"
    "\n"
    "  -c COMMANDS  run the commands (separated by ';' or newlines), then exit\n"
    "  -f FILE      run the commands in FILE, one per line, then exit\n"
    "  --bail       with -c or -f, stop at the first command that fails\n"
    "  --no-color   start with colour off (as does NO_COLOR in the environment)\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "With -c or -f the exit status is 0 when every command succeeded and 1 otherwise.\n"
    "At the prompt, 'help' lists the commands and 'help COMMAND' shows one.\n";

// The shell's own state: the session commands work on, and how many of them failed.
Session g_session;
int g_Failures = 0;      // commands that failed, for the exit status of a script
bool g_Scripted = false;   // -c or -f: the exit status tells whether every command succeeded

int toggle(int &flag, const char *format) {
    flag = flag ? 0 : 1;
    fprintf(stderr, format, flag ? "on" : "off");
    return 0;
}

int runSystemCommand(const char *command) {
    fflush(nullptr);
    int status = system(command);
    return status == 0 ? 0 : 1;
}

// One line as typed, `length` characters long before any cut: too long, blank, a shell escape or a
// command. Counts a failure and reports an interrupted command; returns the status.
int runCounted(std::string_view text, size_t length) {
    g_Interrupted = 0;
    int status = 0;
    if (length > kMaxLineLength) {
        fprintf(stderr, "Line too long (%zu characters, at most %zu): nothing of it was run\n", length, kMaxLineLength);
        status = 1;
    } else {
        std::string line(text.substr(0, text.find('\0')));
        line.erase(0, line.find_first_not_of(' '));
        if (!line.empty()) status = line[0] == '!' ? runSystemCommand(line.c_str() + 1) : dispatchLine(g_session, line.c_str());
    }
    if (g_Interrupted) {
        fprintf(stderr, "Stopped\n");
        g_Interrupted = 0;
        status = 1;
    }
    if (status != 0) ++g_Failures;
    return status;
}

int runCounted(std::string_view text) { return runCounted(text, text.size()); }

[[noreturn]] void exitSession() {
    fprintf(stderr, "Exiting\n");
    exit(0);
}

// A line of piped input, newline removed; a line longer than the limit is kept only in part but
// measured whole, so that it is refused whole.
bool readPipedLine(std::string &line, size_t &length) {
    line.clear();
    length = 0;
    int c = EOF;
    while ((c = getchar()) != EOF && c != '\n') {
        if (length++ <= kMaxLineLength) line += static_cast<char>(c);
    }
    return c != EOF || length > 0;
}

[[noreturn]] void pipedLoop() {
    std::string line;
    size_t length = 0;
    for (;;) {
        fflush(nullptr);
        fputs(promptText().c_str(), stderr);
        if (!readPipedLine(line, length) || (!line.empty() && line[0] == 0)) exitSession();
        runCounted(line, length);
    }
}

[[noreturn]] void interactiveLoop() {
    LineEditor editor([](std::string_view line) { return completeLine(g_session, line); });
    if (!editor.ready()) pipedLoop();
    installInterruptHandler();
    for (;;) {
        fflush(nullptr);
        auto line = editor.readLine(promptText());
        if (!line) exitSession();
        editor.remember(*line);
        runCounted(*line);
    }
}

[[noreturn]] void runScript(const std::vector<std::string> &lines, bool bail) {
    for (const auto &line : lines) {
        fflush(nullptr);
        if (runCounted(line) != 0 && bail) break;
    }
    fflush(nullptr);
    exit(g_Failures ? 1 : 0);
}

std::vector<std::string> splitLines(const std::string &text, bool atSemicolons) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\n' || (atSemicolons && c == ';')) {
            lines.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    lines.push_back(current);
    return lines;
}

[[noreturn]] void usageError(const char *format, const char *argument) {
    fprintf(stderr, "tarnwick: ");
    fprintf(stderr, format, argument);
    fprintf(stderr, "\nTry 'tarnwick --help' for more information.\n");
    exit(2);
}

struct Options {
    const char *image = nullptr;
    const char *commands = nullptr;
    const char *file = nullptr;
    bool bail = false;
};

Options parseOptions(int argc, char **argv) {
    Options options;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            if (options.image) usageError("more than one image given ('%s')", argv[i]);
            options.image = argv[i];
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "-h" || argument == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (argument == "--version") {
            printf("%s\n", kVersionLine);
            exit(0);
        } else if (argument == "--bail") {
            options.bail = true;
        } else if (argument == "--no-color") {
            g_Color = 0;
        } else if (argument == "-c" || argument == "-f") {
            if (i + 1 == argc) usageError("option '%s' needs an argument", argv[i]);
            if (options.commands || options.file) usageError("'%s': only one of -c and -f may be given", argv[i]);
            (argument == "-c" ? options.commands : options.file) = argv[++i];
        } else {
            usageError("unknown option '%s'", argv[i]);
        }
    }
    return options;
}

}  // namespace

namespace {

// The first command the word is a prefix of (in any case), and the second, if any: among the
// first commands when one of them matches, else among all.
const Command *matchCommand(std::string_view word, const Command **second) {
    for (bool firstOnly : {true, false}) {
        const Command *match = nullptr;
        *second = nullptr;
        for (const Command *c = cmds; c->name; ++c) {
            if ((firstOnly && !c->first) || word.size() > strlen(c->name) ||
                strncasecmp(word.data(), c->name, word.size()) != 0)
                continue;
            if (match) {
                *second = c;
                return match;
            }
            match = c;
        }
        if (match) return match;
    }
    return nullptr;
}

}  // namespace

const Command *findCommand(std::string_view word) {
    const Command *second = nullptr;
    const Command *match = matchCommand(word, &second);
    return second ? nullptr : match;
}

std::string promptText() {
    std::string prompt = g_Color ? "\033[1;1m" : "";
    prompt += "Tarnwick";
    if (const uint8_t *label = g_session.labelName())
        prompt += "(" + visible(storedNameText(Bytes{label, kHFSUniStr255Size}).value_or(""));
    if (g_session.name) prompt += ":" + visible(g_session.cwdText()) + ")";
    prompt += "> ";
    if (g_Color) prompt += "\033[0;0m";
    return prompt;
}

int dispatchLine(Session &session, const char *line) {
    const Command *second = nullptr;
    const Command *match = matchCommand(std::string_view(line, strcspn(line, " ")), &second);
    if (second) {
        fprintf(stderr, "Ambiguous command ('%s' can be %s or %s)\n", line, match->name, second->name);
        return 1;
    }
    if (!match) {
        fprintf(stderr, "Command '%s' unknown\n", line);
        return 1;
    }
    if (match->needs != Needs::kNothing &&
        !session.requireVolume(match->needs == Needs::kVolume ? Session::Wording::kPlain : Session::Wording::kFirst))
        return 1;
    return match->handler(session, line) == 0 ? 0 : 1;
}

void startShell(int argc, char **argv) {
    // Buffers of 128 KiB and more (chunks, fork pieces) are mapped and given back whole when freed.
    // Left to itself the allocator raises that threshold after the first such free and keeps later
    // ones in the worker threads' arenas, so each `fs` of a disk image would leave a little behind.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    if (getenv("NO_COLOR")) g_Color = 0;
    Options options = parseOptions(argc, argv);
    if (getenv("ORLODEBUG")) {
        g_Verbose += 1;
        g_Debug += 1;
    }
    bool scripted = g_Scripted = options.commands || options.file;
    std::string script;
    if (options.file) {
        std::ifstream in(options.file, std::ios::binary);
        if (!in) {
            fprintf(stderr, "tarnwick: cannot read %s: %s\n", options.file, strerror(errno));
            exit(1);
        }
        std::ostringstream text;
        text << in.rdbuf();
        script = text.str();
    }
    if (options.image) {
        std::string line = std::string("fs ") + options.image;
        if (doSetFS(g_session, line.c_str()) != 0) ++g_Failures;
        if (scripted && options.bail && g_Failures) exit(1);
        if (!scripted) {
            fprintf(stderr, "\nTarnwick - HFS+ diagnostic tool - 2026, the Tarnwick developers <tarnwick@example.org>\n");
            fprintf(stderr, "This version of the tool is meant to be used interactively\n");
        }
    }
    if (options.commands) runScript(splitLines(options.commands, true), options.bail);
    if (options.file) runScript(splitLines(script, false), options.bail);
    if (isatty(STDIN_FILENO)) interactiveLoop();
    pipedLoop();
}

int doHelp(Session &, const char *line) {
    const char *space = strchr(line, ' ');
    std::string_view topic = space ? space + 1 : "";
    topic.remove_prefix(std::min(topic.size(), topic.find_first_not_of(' ')));
    if (topic.empty()) {
        for (const Command *c = cmds; c->name; ++c) fprintf(stderr, "%-10s\t%s\n", c->name, c->help);
        return 0;
    }
    const Command *command = findCommand(topic);
    if (!command) {
        fprintf(stderr, "help: no command '%.*s' (type 'help' for the list)\n", static_cast<int>(topic.size()), topic.data());
        return 1;
    }
    fprintf(stderr, "usage: %s\n  %s\n", command->syntax, command->help);
    return 0;
}

int doExit(Session &, const char *) {
    fprintf(stderr, "Zai Jian!\n");   // kept as it is: scripts wait for it
    fflush(nullptr);
    exit(g_Scripted && g_Failures ? 1 : 0);
}

int doVersion(Session &, const char *) {
    fprintf(stderr, "%s", kVersionLine);
    fprintf(stderr, "\nYou can always get the latest version, free at https://tarnwick.example.org/\n");
    return 0;
}

int doShell(Session &, const char *line) { return runSystemCommand(line + 1); }

int doToggleColor(Session &, const char *) { return toggle(g_Color, "Color is %s\n"); }
int doToggleVerbose(Session &, const char *) { return toggle(g_Verbose, "Verbose output is %s\n"); }
int doToggleDebug(Session &, const char *) { return toggle(g_Debug, "Debug tracing is %s\n"); }
int doToggleXML(Session &, const char *) { return toggle(useXML, "XML Output is %s\n"); }
