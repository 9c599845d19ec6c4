// The command loop: dispatch by prefix, toggles, help, version, shell escape, end of input.
#include "transcript.h"

namespace {

const std::string P = prompt();

const std::string kHelp =
    "dump      \tDump B-Tree node from current B-Tree\n"
    "listfs    \tList all mounted file systems and their types\n"
    "alloc     \tOutput the allocation bitmap to an HTML file\n"
    "fs        \tSet active file system for operations to specific mount point or device\n"
    "attributes\tDisplay the Attribute B-Tree details\n"
    "catalog   \tDisplay the Catalog B-Tree details\n"
    "extents   \tDisplay the Extents Overflow B-Tree details\n"
    "volinfo   \tDisplay the volume header of the selected file system\n"
    "journal   \tDisplay the journal's header and the transactions not yet replayed\n"
    "snapshot  \tSave a snapshot of the current B-Tree (catalog or attribute)\n"
    "search    \tSearch for leaf by CNID\n"
    "debug     \tToggle Debug traces on/off\n"
    "verbose   \tToggle verbose mode on/off\n"
    "color     \tToggle color on/off\n"
    "xml       \tToggle XML Output on/off\n"
    "pull      \tcopy file to /tmp (requires active file system)\n"
    "find      \tList every entry below a folder with its CNID (-m: as a body file for timelines)\n"
    "stat      \tShow everything the catalog holds about a file, folder or link\n"
    "xattr     \tList a file's extended attributes, or save one to /tmp\n"
    "dir       \tlist files (requires active file system) - synonymous with ls\n"
    "ls        \tlist files (requires active file system) - synonymous with dir\n"
    "cd        \tChange directory (requires active file system)\n"
    "help      \tDisplay this help\n"
    "?         \tDisplay this help\n"
    "!         \tShell command\n"
    "quit      \tQuit this program\n"
    "version   \tDisplay version\n";

const std::string kVersion =
    "This is Tarnwick, version 1.1, compiled on Nov 14 2016"
    "\nYou can always get the latest version, free at https://tarnwick.example.org/\n";

}  // namespace

TEST(Shell, Transcripts) {
    const Transcript cases[] = {
        {"help, version and quit", {}, "color\nhelp\n?\nversion\nvers\nquit\nversion\n", "",
         kColorPrompt + "Color is off\n" + P + kHelp + P + kHelp + P + kVersion + P + kVersion + P + "Zai Jian!\n"},
        {"toggles", {}, "color\nverbose\nverbose\ndebug\nxml\ncolor\n", "",
         kColorPrompt + "Color is off\n" + P + "Verbose output is on\n" + P + "Verbose output is off\n" + P +
             "Debug tracing is on\n" + P + "XML Output is on\n" + P + "Color is on\n" + kColorPrompt + "Exiting\n"},
        {"ambiguous prefixes name the first two matches",
         {},
         "color\nd\nc\nl\nv\ns\na\nver\nd 5\n",
         "",
         kColorPrompt + "Color is off\n" + P + "Ambiguous command ('d' can be dump or debug)\n" + P +
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
         kColorPrompt + "Color is off\n" + P + P + P + "Command 'lsx' unknown\n" + P + "Command 'ls\tfoo' unknown\n" +
             P + "usage: ls [-@Oh] [PATH]\n  list files (requires active file system) - synonymous with dir\n" + P +
             "help: no command 'me' (type 'help' for the list)\n" + P + kVersion + P + "Zai Jian!\n"},
        {"single-letter and short commands", {}, "color\nh\nQ\n", "",
         kColorPrompt + "Color is off\n" + P + kHelp + P + "Zai Jian!\n"},
        {"shell escape", {}, "color\n!echo one\n   !echo two\n! echo three >&2\n!\n", "one\ntwo\n",
         kColorPrompt + "Color is off\n" + P + P + P + "three\n" + P + P + "Exiting\n"},
        {"last line without a newline still runs", {}, "color\nvers", "",
         kColorPrompt + "Color is off\n" + P + kVersion + P + "Exiting\n"},
        {"ORLODEBUG, even empty, turns verbose and debug on", {}, "color\ndebug\nverbose\n", "",
         kColorPrompt + "Color is off\n" + P + "Debug tracing is off\n" + P + "Verbose output is off\n" + P +
             "Exiting\n",
         {"ORLODEBUG="}},
        {"commands that need a volume say so", {},
         "color\nfs\nvolinfo\ncatalog\nattributes\n", "",
         kColorPrompt + "Color is off\n" + P +
             "No File System has been selected. Use listfs to display all mounted file systems\n" + P +
             "No active FS. Use the 'fs' command to select the active filesystem\n" + P +
             "No active FS. Use the 'fs' command to select the active filesystem\n" + P +
             "No active FS. Use the 'fs' command to select the active filesystem\n" + P + "Exiting\n"},
        {"a line over 1023 characters is refused whole", {}, "color\npull " + std::string(1018, 'x') + "!echo tail\n", "",
         kColorPrompt + "Color is off\n" + P + "Line too long (1033 characters, at most 1023): nothing of it was run\n" + P +
             "Exiting\n"},
    };
    for (const Transcript &t : cases) expectTranscript(t);
}
