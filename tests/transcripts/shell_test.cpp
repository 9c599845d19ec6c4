// The command loop: dispatch by prefix, toggles, help, version, shell escape, end of input.
#include <algorithm>
#include <array>

#include "transcript.h"

namespace {

// The command table, one line each: its first and last lines, and 31 of them.
bool isHelp(const std::string &text) {
    return text.starts_with("dump      \tDump B-Tree node from current B-Tree\nlistfs    \tList all mounted file") &&
           text.ends_with("quit      \tQuit this program\nversion   \tDisplay version\n") &&
           std::count(text.begin(), text.end(), '\n') == 35;
}

const std::string kVersion =
    "This is Tarnwick, version 1.1, compiled on Nov 14 2016"
    "\nYou can always get the latest version, free at https://tarnwick.example.org/\n";

std::string ambiguous(std::initializer_list<std::array<const char *, 3>> words) {
    std::string text;
    for (auto [word, first, second] : words)
        text += std::string("Ambiguous command ('") + word + "' can be " + first + " or " + second + ")\n{}";
    return text;
}

}  // namespace

TEST(Shell, Sessions) {
    const std::string noFS = "No active FS. Use the 'fs' command to select the active filesystem";
    const std::string noTree = "No B-Tree selected. Use \"catalog\" or \"attributes\" to select, respectively\n{}";
    const Transcript sessions[] = {
        {"version\nvers\nquit\nversion\n", "", "{}" + kVersion + "{}" + kVersion + "{}", "Zai Jian!\n"},
        {"verbose\nverbose\ndebug\nxml\ncolor\n", "",
         "{}Verbose output is on\n{}Verbose output is off\n{}Debug tracing is on\n{}XML Output is on\n{}Color is on\n" + kColorPrompt},
        {"d\nc\nl\nv\ns\na\nver\nd 5\n", "",
         "{}" + ambiguous({{"d", "dump", "debug"}, {"c", "catalog", "color"}, {"l", "listfs", "ls"}, {"v", "volinfo", "verbose"},
                           {"s", "snapshot", "search"}, {"a", "alloc", "attributes"}, {"ver", "verbose", "version"},
                           {"d 5", "dump", "debug"}})},
        // a prefix of one first command runs it; later commands take longer prefixes
        {"f\nx\nx\nse 2\nfi\nxa\n", "",
         "{}No File System has been selected. Use listfs to display all mounted file systems\n{}XML Output is on\n{}"
         "XML Output is off\n{}" + noTree + noFS + " first.\n{}" + noFS + " first.\n{}"},
        {"\n     \nlsx\nls\tfoo\nHeLp LS\nhelp me\n   VERSION\nQU\n", "",   // blank lines, case, leading spaces
         "{}{}{}Command 'lsx' unknown\n{}Command 'ls\tfoo' unknown\n{}usage: ls [-@Ohl] [PATH]\n"
         "  list files (requires active file system) - synonymous with dir\n{}"
         "help: no command 'me' (type 'help' for the list)\n{}" + kVersion + "{}", "Zai Jian!\n"},
        {"!echo one\n   !echo two\n! echo three >&2\n!\n", "one\ntwo\n", "{}{}{}three\n{}{}"},
        {"vers", "", "{}" + kVersion + "{}"},   // the last line without a newline still runs
        {"pull " + std::string(1018, 'x') + "!echo tail\n", "",
         "{}Line too long (1033 characters, at most 1023): nothing of it was run\n{}"},
        // commands that need a volume or a tree say so
        {"fs\nvolinfo\ncatalog\nattributes\nalloc\ncd x\nls\npull x\ndump\nsnapshot\nsearch 2\n", "",
         "{}No File System has been selected. Use listfs to display all mounted file systems\n{}" + noFS + "\n{}" + noFS +
             "\n{}" + noFS + "\n{}" + noFS + "\n{}" + noFS + " first.\n{}" + noFS + " first.\n{}" + noFS + " first.\n{}" +
             noTree + noTree + noTree},
    };
    for (const Transcript &s : sessions) expectSession({}, "", s);
    // ORLODEBUG, even empty, turns verbose and debug on.
    expectSession({}, "", {"debug\nverbose\n", "", "{}Debug tracing is off\n{}Verbose output is off\n{}"}, {"ORLODEBUG="});
    for (const char *script : {"color\nhelp\n", "color\n?\n", "color\nh\n"}) {   // 'h' is short for help
        std::string err = runTarnwick({}, script).err;
        EXPECT_EQ(err.substr(0, kNoVolumeStart.size()), kNoVolumeStart);
        EXPECT_TRUE(err.ends_with(prompt() + "Exiting\n") &&
                    isHelp(err.substr(kNoVolumeStart.size(), err.size() - kNoVolumeStart.size() - prompt().size() - 8))) << err;
    }
    EXPECT_TRUE(runTarnwick({}, "color\nQ\n").err.ends_with(prompt() + "Zai Jian!\n"));
}
