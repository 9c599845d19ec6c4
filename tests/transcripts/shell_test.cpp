// The command loop: dispatch by prefix, toggles, help, version, shell escape, end of input.
#include <algorithm>

#include "transcript.h"

namespace {

const std::string P = prompt();

// The command table, one line each: its first and last lines, and 27 of them.
bool isHelp(const std::string &text) {
    return text.starts_with("dump      \tDump B-Tree node from current B-Tree\nlistfs    \tList all mounted file") &&
           text.ends_with("quit      \tQuit this program\nversion   \tDisplay version\n") &&
           std::count(text.begin(), text.end(), '\n') == 27;
}

const std::string kVersion =
    "This is Tarnwick, version 1.1, compiled on Nov 14 2016"
    "\nYou can always get the latest version, free at https://tarnwick.example.org/\n";

}  // namespace

TEST(Shell, Transcripts) {
    const Transcript cases[] = {
        {"version and quit", {}, "color\nversion\nvers\nquit\nversion\n", "",
         kNoVolumeStart + kVersion + P + kVersion + P + "Zai Jian!\n"},
        {"toggles", {}, "color\nverbose\nverbose\ndebug\nxml\ncolor\n", "",
         kNoVolumeStart + "Verbose output is on\n" + P + "Verbose output is off\n" + P +
             "Debug tracing is on\n" + P + "XML Output is on\n" + P + "Color is on\n" + kColorPrompt + "Exiting\n"},
        {"ambiguous prefixes name the first two matches",
         {},
         "color\nd\nc\nl\nv\ns\na\nver\nd 5\n",
         "",
         kNoVolumeStart + "Ambiguous command ('d' can be dump or debug)\n" + P +
             "Ambiguous command ('c' can be catalog or color)\n" + P +
             "Ambiguous command ('l' can be listfs or ls)\n" + P +
             "Ambiguous command ('v' can be volinfo or verbose)\n" + P +
             "Ambiguous command ('s' can be snapshot or search)\n" + P +
             "Ambiguous command ('a' can be alloc or attributes)\n" + P +
             "Ambiguous command ('ver' can be verbose or version)\n" + P +
             "Ambiguous command ('d 5' can be dump or debug)\n" + P + "Exiting\n"},
        {"unknown words, blank lines, case and leading spaces",
         {},
         "color\n\n     \nlsx\nls\tfoo\nHeLp LS\nhelp me\n   VERSION\nQU\n",
         "",
         kNoVolumeStart + P + P + "Command 'lsx' unknown\n" + P + "Command 'ls\tfoo' unknown\n" +
             P + "usage: ls [-@Oh] [PATH]\n  list files (requires active file system) - synonymous with dir\n" + P +
             "help: no command 'me' (type 'help' for the list)\n" + P + kVersion + P + "Zai Jian!\n"},
        {"shell escape", {}, "color\n!echo one\n   !echo two\n! echo three >&2\n!\n", "one\ntwo\n",
         kNoVolumeStart + P + P + "three\n" + P + P + "Exiting\n"},
        {"last line without a newline still runs", {}, "color\nvers", "",
         kNoVolumeStart + kVersion + P + "Exiting\n"},
        {"ORLODEBUG, even empty, turns verbose and debug on", {}, "color\ndebug\nverbose\n", "",
         kNoVolumeStart + "Debug tracing is off\n" + P + "Verbose output is off\n" + P +
             "Exiting\n",
         {"ORLODEBUG="}},
        {"commands that need a volume say so", {},
         "color\nfs\nvolinfo\ncatalog\nattributes\n", "",
         kNoVolumeStart +
             "No File System has been selected. Use listfs to display all mounted file systems\n" + P +
             "No active FS. Use the 'fs' command to select the active filesystem\n" + P +
             "No active FS. Use the 'fs' command to select the active filesystem\n" + P +
             "No active FS. Use the 'fs' command to select the active filesystem\n" + P + "Exiting\n"},
        {"a line over 1023 characters is refused whole", {}, "color\npull " + std::string(1018, 'x') + "!echo tail\n", "",
         kNoVolumeStart + "Line too long (1033 characters, at most 1023): nothing of it was run\n" + P +
             "Exiting\n"},
    };
    for (const Transcript &t : cases) expectTranscript(t);
    for (const char *script : {"color\nhelp\n", "color\n?\n", "color\nh\n"}) {   // 'h' is short for help
        std::string err = runTarnwick({}, script).err;
        EXPECT_EQ(err.substr(0, kNoVolumeStart.size()), kNoVolumeStart);
        EXPECT_TRUE(err.ends_with(P + "Exiting\n") && isHelp(err.substr(kNoVolumeStart.size(), err.size() - kNoVolumeStart.size() - P.size() - 8))) << err;
    }
    EXPECT_TRUE(runTarnwick({}, "color\nQ\n").err.ends_with(P + "Zai Jian!\n"));
}
