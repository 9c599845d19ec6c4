#include "shell/a.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "shell/fs.h"
#include "btree/dump.h"
#include "btree/record_dump.h"
#include "catalog/ls.h"
#include "catalog/path.h"
#include "catalog/alloc.h"
#include "catalog/pull.h"
#include "catalog/xattr_command.h"
#include "volume/debug.h"

// The order matters: help lists it, and the ambiguity message names the first two matches.
const Command cmds[] = {
    {"dump", doDump, "Dump B-Tree node from current B-Tree"},
    {"listfs", doListFS, "List all mounted file systems and their types"},
    {"alloc", doAlloc, "Output the allocation bitmap to an HTML file"},
    {"fs", doSetFS, "Set active file system for operations to specific mount point or device"},
    {"attributes", doAttrs, "Display the Attribute B-Tree details"},
    {"catalog", doCatalog, "Display the Catalog B-Tree details"},
    {"extents", doExtents, "Display the Extents Overflow B-Tree details"},
    {"volinfo", doVolInfo, "Display the volume header of the selected file system"},
    {"snapshot", doSnapshot, "Save a snapshot of the current B-Tree (catalog or attribute)"},
    {"search", doSearch, "Search for leaf by CNID"},
    {"debug", doToggleDebug, "Toggle Debug traces on/off"},
    {"verbose", doToggleVerbose, "Toggle verbose mode on/off"},
    {"color", doToggleColor, "Toggle color on/off"},
    {"xml", doToggleXML, "Toggle XML Output on/off"},
    {"pull", doPull, "copy file to /tmp (requires active file system)"},
    {"xattr", doXattr, "List a file's extended attributes, or save one to /tmp"},
    {"dir", doDir, "list files (requires active file system) - synonymous with ls"},
    {"ls", doDir, "list files (requires active file system) - synonmous with dir"},
    {"cd", doChdir, "Change directory (requires active file system)"},
    {"help", doHelp, "Display this help"},
    {"?", doHelp, "Display this help"},
    {"!", doShell, "Shell command"},
    {"quit", doExit, "Quit this program"},
    {"version", doVersion, "Display version"},
    {nullptr, nullptr, nullptr},
};

namespace {

constexpr size_t kLineBuffer = 1024;

int toggle(int &flag, const char *format) {
    flag = flag ? 0 : 1;
    fprintf(stderr, format, flag ? "on" : "off");
    return 0;
}

}  // namespace

void showPrompt() {
    if (g_Color) fprintf(stderr, "\033[1;1m");
    fprintf(stderr, "Tarnwick");
    if (const uint8_t *label = getFSLabel()) {
        fprintf(stderr, "(");
        dumpUnicode(stderr, Bytes{label, kHFSUniStr255Size}, 1);
    }
    if (getActiveFSName()) fprintf(stderr, ":%s)", visible(getCWD()).c_str());
    fprintf(stderr, "> ");
    if (g_Color) fprintf(stderr, "\033[0;0m");
}

void dispatchLine(const char *line) {
    const char *space = strchr(line, ' ');
    size_t wordLength = space ? static_cast<size_t>(space - line) : strlen(line);
    const Command *match = nullptr;
    for (const Command *c = cmds; c->name; ++c) {
        if (wordLength > strlen(c->name) || strncasecmp(line, c->name, wordLength) != 0) continue;
        if (match) {
            fprintf(stderr, "Ambiguous command ('%s' can be %s or %s)\n", line, match->name, c->name);
            return;
        }
        match = c;
    }
    if (match)
        match->handler(line);
    else
        fprintf(stderr, "Command '%s' unknown\n", line);
}

void doInteractive() {
    char buffer[kLineBuffer];
    for (;;) {
        fflush(nullptr);
        showPrompt();
        memset(buffer, 0, sizeof buffer);
        if (!fgets(buffer, sizeof buffer, stdin) || buffer[0] == 0) {
            fprintf(stderr, "Exiting\n");
            exit(0);
        }
        char *line = buffer;
        while (*line == ' ') ++line;
        if (char *newline = strchr(line, '\n')) *newline = 0;
        if (!*line) continue;
        if (*line == '!') {
            fflush(nullptr);
            [[maybe_unused]] int status = system(line + 1);
            continue;
        }
        dispatchLine(line);
    }
}

void startShell(int argc, char **argv) {
    if (getenv("ORLODEBUG")) {
        g_Verbose += 1;
        g_Debug += 1;
    }
    if (argc > 1) {
        std::string line = std::string("fs ") + argv[1];
        doSetFS(line.c_str());
        fprintf(stderr, "\nTarnwick - HFS+ diagnostic tool - 2026, the Tarnwick developers <tarnwick@example.org>\n");
        fprintf(stderr, "This version of the tool is meant to be used interactively\n");
    }
    doInteractive();
}

int doHelp(const char *) {
    for (const Command *c = cmds; c->name; ++c) fprintf(stderr, "%-10s\t%s\n", c->name, c->help);
    return 0;
}

int doExit(const char *) {
    fprintf(stderr, "Zai Jian!\n");
    exit(0);
}

int doVersion(const char *) {
    fprintf(stderr, "This is Tarnwick, version 1.1, compiled on Nov 14 2016");
    fprintf(stderr, "\nYou can always get the latest version, free at https://tarnwick.example.org/\n");
    return 0;
}

int doShell(const char *line) {
    fflush(nullptr);
    [[maybe_unused]] int status = system(line + 1);
    return 0;
}

int doToggleColor(const char *) { return toggle(g_Color, "Color is %s\n"); }
int doToggleVerbose(const char *) { return toggle(g_Verbose, "Verbose output is %s\n"); }
int doToggleDebug(const char *) { return toggle(g_Debug, "Debug tracing is %s\n"); }
int doToggleXML(const char *) { return toggle(useXML, "XML Output is %s\n"); }
