// The shell: start-up (options, the image), the command loop at a terminal, from a pipe or from a
// script, the command table, and the commands that belong to the shell itself.
#include "shell/shell.h"

#include <malloc.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
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
     "fs [-p N] [--in-place] [IMAGE|DEVICE|MOUNT-POINT]", Argument::kLocalPath, Needs::kNothing, true},
    {"attributes", doAttrs, "Display the Attribute B-Tree details", "attributes", Argument::kWords, Needs::kVolume, true},
    {"catalog", doCatalog, "Display the Catalog B-Tree details", "catalog", Argument::kWords, Needs::kVolume, true},
    {"extents", doExtents, "Display the Extents Overflow B-Tree details", "extents", Argument::kWords, Needs::kVolume},
    {"expand", doExpand, "Write the flat image the volume is read from (default /tmp/decompressed.dmg)", "expand [DEST]", Argument::kWords, Needs::kVolume},
    {"parts", doParts, "List the partitions of the selected image and what each holds", "parts", Argument::kWords, Needs::kNothing},
    {"verify", doVerify, "Check the image against the checksums it carries", "verify", Argument::kWords, Needs::kNothing},
    {"volinfo", doVolInfo, "Display the volume header of the selected file system", "volinfo", Argument::kWords, Needs::kVolume, true},
    {"journal", doJournal, "Display the journal's header and the transactions not yet replayed", "journal", Argument::kWords, Needs::kVolume},
    {"replay", doReplay, "Show the volume with its journal replayed in memory (off: as it lies on disk)", "replay [off]", Argument::kWords, Needs::kVolume},
    {"snapshot", doSnapshot, "Save a snapshot of the current B-Tree (catalog or attribute)", "snapshot", Argument::kWords, Needs::kNothing, true},
    {"search", doSearch, "Search for leaf by CNID", "search CNID|NAME", Argument::kWords, Needs::kNothing, true},
    {"debug", doToggleDebug, "Toggle Debug traces on/off", "debug", Argument::kWords, Needs::kNothing, true},
    {"verbose", doToggleVerbose, "Toggle verbose mode on/off", "verbose", Argument::kWords, Needs::kNothing, true},
    {"color", doToggleColor, "Toggle color on/off", "color", Argument::kWords, Needs::kNothing, true},
    {"xml", doToggleXML, "Toggle XML Output on/off", "xml", Argument::kWords, Needs::kNothing, true},
    {"pull", doPull, "copy file to /tmp (requires active file system)", "pull [-r|-rs] PATH[/..namedfork/rsrc]|#CNID [DEST|-]   (DEST is the last word when the whole line names nothing; -rs: a linked folder met again becomes a symbolic link)", Argument::kVolumePath, Needs::kVolumeFirst, true},
    {"find", doFind, "List every entry below a folder with its CNID (-m: as a body file for timelines)",
     "find [PATH] [-name GLOB] [-type f|d|l] [-hash md5|sha1|sha256] [-m]", Argument::kVolumePath, Needs::kVolumeFirst},
    {"deleted", doDeleted, "List the file and folder records the catalog no longer holds (-m: as a body file)",
     "deleted [-m]", Argument::kWords, Needs::kVolume},
    {"stat", doStat, "Show everything the catalog holds about a file, folder or link", "stat PATH|#CNID", Argument::kVolumePath, Needs::kVolumeFirst},
    {"xattr", doXattr, "List a file's extended attributes, or save one to /tmp", "xattr PATH [NAME]", Argument::kEscapedPath, Needs::kVolumeFirst},
    {"check", doCheck, "Check the whole volume's structures and report each problem found", "check", Argument::kWords, Needs::kVolume},
    {"owner", doOwner, "Name the file, fork or structure that holds an allocation block", "owner BLOCK | owner -o OFFSET", Argument::kWords, Needs::kVolume},
    {"dir", doDir, "list files (requires active file system) - synonymous with ls", "dir [-@Ohl] [PATH]", Argument::kVolumePath, Needs::kVolumeFirst, true},
    {"ls", doDir, "list files (requires active file system) - synonymous with dir", "ls [-@Ohl] [PATH]", Argument::kVolumePath, Needs::kVolumeFirst, true},
    {"cd", doChdir, "Change directory (requires active file system)", "cd PATH|..|-|#CNID", Argument::kVolumePath, Needs::kVolumeFirst, true},
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
    "usage: tarnwick [--color=WHEN] [--bail] [--in-place] [--password-file FILE] [-c COMMANDS | -f FILE]\n"
    "                [--] [IMAGE]\n"
    "       tarnwick -h | --help | --version\n"
    "\n"
    "Inspect an HFS+ or HFSX volume (a device, a volume or disk image, or a UDIF .dmg) read-only.\n"
    "\n"
    "  -c COMMANDS  run the commands (separated by ';' or newlines), then exit\n"
    "  -f FILE      run the commands in FILE ('-': standard input), one per line, then exit\n"
    "  --bail       with -c or -f, stop at the first command that fails\n"
    "  --color=WHEN colour listings and the prompt: auto (the default: when standard output\n"
    "               is a terminal, TERM is not 'dumb' and NO_COLOR is empty), always or never\n"
    "  --no-color   the same as --color=never\n"
    "  --in-place   read disk images where they lie, never expanded into /tmp\n"
    "               (also TARNWICK_IN_PLACE=1)\n"
    "  --password-file FILE\n"
    "               the password of an encrypted image is the first line of FILE (by default\n"
    "               TARNWICK_PASSWORD, else it is asked at the terminal)\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "With -c or -f the exit status is 0 when every command succeeded and 1 otherwise.\n"
    "At the prompt, 'help' lists the commands and 'help COMMAND' shows one.\n";

// The shell's own state: the session commands work on, and how many of them failed.
Session g_session;
int g_Failures = 0;      // commands that failed, for the exit status of a script
bool g_Scripted = false;   // -c or -f: the exit status tells whether every command succeeded
bool g_EndOnInterrupt = false;   // a script or a pipe: Ctrl-C ends the run, as it ends a shell script

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

// Runs a command and counts its failure. An interrupted command failed: it is reported "Stopped"
// here, whatever the command said, and a script or a pipe ends there. A Ctrl-C that came since the
// last command counts too (one at the prompt was taken by the line editor).
int runCounted(const std::function<int()> &command) {
    int status = 1;
    try {
        status = command();
    } catch (const std::bad_alloc &) {
        // Whatever an image claims, a command that cannot get its memory fails alone: the session goes on.
        fprintf(stderr, "Out of memory: the command was stopped\n");
    }
    if (g_Interrupted) {
        fprintf(stderr, "Stopped\n");
        g_Interrupted = 0;
        status = 1;
        if (g_EndOnInterrupt) {
            fflush(nullptr);
            exit(1);
        }
    }
    if (status != 0) ++g_Failures;
    return status;
}

// One line as typed, `length` characters long before any cut: too long, blank, a shell escape or a
// command.
int runCounted(std::string_view text, size_t length) {
    return runCounted([&] {
        if (length > kMaxLineLength) {
            fprintf(stderr, "Line too long (%zu characters, at most %zu): nothing of it was run\n", length, kMaxLineLength);
            return 1;
        }
        std::string line(text.substr(0, text.find('\0')));
        line.erase(0, line.find_first_not_of(' '));
        if (line.empty()) return 0;
        return line[0] == '!' ? runSystemCommand(line.c_str() + 1) : dispatchLine(g_session, line.c_str());
    });
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

// A script's commands: one a line (a CR before the newline dropped), or more separated by ';'. A
// line whose first non-blank character is '#' is a comment; blank lines and comments are left out.
std::vector<std::string> scriptCommands(std::string_view text) {
    std::vector<std::string> commands;
    for (size_t start = 0; start <= text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.ends_with('\r')) line.remove_suffix(1);
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        for (size_t at = 0; at <= line.size();) {
            size_t semicolon = std::min(line.find(';', at), line.size());
            std::string_view command = line.substr(at, semicolon - at);
            if (command.find_first_not_of(' ') != std::string_view::npos) commands.emplace_back(command);
            at = semicolon + 1;
        }
    }
    return commands;
}

[[noreturn]] void usageError(const char *format, const char *argument, const char *reason = "") {
    fprintf(stderr, "tarnwick: ");
    fprintf(stderr, format, argument, reason);
    fprintf(stderr, "\nTry 'tarnwick --help' for more information.\n");
    exit(2);
}

// The text of the -f script ("-": standard input); one that cannot be read whole is a usage error.
std::string readScript(const char *path) {
    bool standardInput = strcmp(path, "-") == 0;
    FILE *in = standardInput ? stdin : fopen(path, "rb");
    std::string text;
    char buffer[65536];
    for (size_t got = 0; in && (got = fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, got);
    int error = !in || ferror(in) ? errno : 0;   // a folder opens, and its read says EISDIR
    if (in && !standardInput) fclose(in);
    if (error) usageError("cannot read the script '%s': %s", path, strerror(error));
    return text;
}

// Colour for --color=WHEN: "auto" only when standard output is a terminal that can show it and
// NO_COLOR is unset or empty; "always" whatever NO_COLOR says.
bool colourWanted(std::string_view when) {
    if (when != "auto") return when == "always";
    const char *noColour = getenv("NO_COLOR"), *term = getenv("TERM");
    if (noColour && *noColour) return false;
    return isatty(STDOUT_FILENO) && term && *term && strcmp(term, "dumb") != 0;
}

// When standard output and standard error are one file (2>&1, one terminal), each line of output is
// written as it ends, so that the two streams' lines keep the order they were produced in.
void keepStreamsInOrder() {
    struct stat out, err;
    if (fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 && out.st_dev == err.st_dev &&
        out.st_ino == err.st_ino)
        setvbuf(stdout, nullptr, _IOLBF, 0);
}

struct Options {
    const char *image = nullptr;
    const char *commands = nullptr;
    const char *file = nullptr;
    const char *passwordFile = nullptr;
    std::string_view color = "auto";
    bool bail = false;
    bool inPlace = false;
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
        } else if (argument == "--in-place") {
            options.inPlace = true;
        } else if (argument == "--no-color") {
            options.color = "never";
        } else if (argument.starts_with("--color=")) {
            options.color = argument.substr(8);
            if (options.color != "auto" && options.color != "always" && options.color != "never")
                usageError("'%s': WHEN is auto, always or never", argv[i]);
        } else if (argument == "-c" || argument == "-f" || argument == "--password-file") {
            if (i + 1 == argc) usageError("option '%s' needs an argument", argv[i]);
            if (argument != "--password-file" && (options.commands || options.file))
                usageError("'%s': only one of -c and -f may be given", argv[i]);
            (argument == "-c" ? options.commands : argument == "-f" ? options.file : options.passwordFile) = argv[++i];
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
    if (g_session.onDisk) prompt += "[replayed]";
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
    Options options = parseOptions(argc, argv);
    g_Color = colourWanted(options.color);
    const char *inPlace = getenv("TARNWICK_IN_PLACE");
    g_session.inPlace = options.inPlace || (inPlace && strcmp(inPlace, "1") == 0);
    if (options.passwordFile) g_session.passwordFile = options.passwordFile;
    if (getenv("ORLODEBUG")) {
        g_Verbose += 1;
        g_Debug += 1;
    }
    bool scripted = g_Scripted = options.commands || options.file;
    g_ReportToStdout = scripted;
    g_EndOnInterrupt = scripted || !isatty(STDIN_FILENO);
    keepStreamsInOrder();
    std::vector<std::string> script = options.commands ? scriptCommands(options.commands)
                                      : options.file   ? scriptCommands(readScript(options.file))
                                                       : std::vector<std::string>();
    installInterruptHandler();
    if (options.image) {
        std::string line = std::string("fs ") + options.image;
        runCounted([&] { return doSetFS(g_session, line.c_str()); });
        if (scripted && options.bail && g_Failures) exit(1);
        if (!scripted) {
            fprintf(stderr, "\nTarnwick - HFS+ diagnostic tool - 2026, the Tarnwick developers <tarnwick@example.org>\n");
            fprintf(stderr, "This version of the tool is meant to be used interactively\n");
        }
    }
    if (scripted) runScript(script, options.bail);
    if (isatty(STDIN_FILENO)) interactiveLoop();
    pipedLoop();
}

int doHelp(Session &, const char *line) {
    const char *space = strchr(line, ' ');
    std::string_view topic = space ? space + 1 : "";
    topic.remove_prefix(std::min(topic.size(), topic.find_first_not_of(' ')));
    if (topic.empty()) {
        for (const Command *c = cmds; c->name; ++c) fprintf(reportStream(), "%-10s\t%s\n", c->name, c->help);
        return 0;
    }
    const Command *command = findCommand(topic);
    if (!command) {
        fprintf(stderr, "help: no command '%.*s' (type 'help' for the list)\n", static_cast<int>(topic.size()), topic.data());
        return 1;
    }
    fprintf(reportStream(), "usage: %s\n  %s\n", command->syntax, command->help);
    return 0;
}

int doExit(Session &, const char *) {
    fprintf(stderr, "Zai Jian!\n");   // kept as it is: scripts wait for it
    fflush(nullptr);
    exit(g_Scripted && g_Failures ? 1 : 0);
}

int doVersion(Session &, const char *) {
    fprintf(reportStream(), "%s", kVersionLine);
    fprintf(reportStream(), "\nYou can always get the latest version, free at https://tarnwick.example.org/\n");
    return 0;
}

int doShell(Session &, const char *line) { return runSystemCommand(line + 1); }

int doToggleColor(Session &, const char *) { return toggle(g_Color, "Color is %s\n"); }
int doToggleVerbose(Session &, const char *) { return toggle(g_Verbose, "Verbose output is %s\n"); }
int doToggleDebug(Session &, const char *) { return toggle(g_Debug, "Debug tracing is %s\n"); }
int doToggleXML(Session &, const char *) { return toggle(useXML, "XML Output is %s\n"); }
