// Moving through the catalog and looking at it: cd, ls, dump, search and snapshot.
#include "hfsbuild/hfsbuild.h"
#include "transcript.h"

namespace {

using hfsbuild::fileNode;
using hfsbuild::folderNode;

// CNIDs: Users 16, Shared 17, notes.txt 18, Library 19, readme.txt 20, f.txt 21, run 22.
hfsbuild::Volume navVolume(bool hfsx = false) {
    hfsbuild::Volume v;
    v.label = "Nav";
    v.hfsx = hfsx;
    v.nodes.push_back(folderNode("/Users"));
    v.nodes.push_back(folderNode("/Users/Shared"));
    v.nodes.push_back(fileNode("/Users/Shared/notes.txt", "n\n"));
    v.nodes.push_back(folderNode("/Library"));
    hfsbuild::Node readme = fileNode("/readme.txt", std::string(2048, 'r'));
    readme.attributes.push_back({"com.example.note", {'h', 'i', '!'}});
    v.nodes.push_back(readme);
    v.nodes.push_back(fileNode("/f.txt", "f"));
    hfsbuild::Node run = fileNode("/run", "#!/bin/sh\n");
    run.mode = 0100755;
    run.owner = 4242;
    run.group = 4343;
    v.nodes.push_back(run);
    return v;
}

std::string N(const std::string &cwd) { return prompt("Nav", cwd); }
const std::string kStart = "\033[1;1m" + prompt("Nav", "/") + "\033[0;0mColor is off\n";
const std::string kOpen = kRawOpened + kBanner;
const std::string kDate = "Jan  1 00:00:00 2001 ";

std::string folderLine(int id, const std::string &name, const std::string &size = "        1 ") {
    char head[64];
    snprintf(head, sizeof head, "%8d drwxr-xr-x   1 root      root      ", id);
    return head + size + kDate + name + "\n";
}

std::string fileLine(int id, const std::string &flags, long long size, const std::string &name) {
    char head[96];
    snprintf(head, sizeof head, "%8d -rw-r--r--%s 1 root      root      %9lld ", id, flags.c_str(), size);
    return head + kDate + name + "\n";
}

const std::string kRootListing = "\tfolderthread\t1Nav\n" + fileLine(21, "  ", 1, "f.txt") + folderLine(19, "Library") +
                                 fileLine(20, "@ ", 2048, "readme.txt") +
                                 "      22 -rwxr-xr-x   1 ( 4242) ( 4343)        10 " + kDate + "run\n" +
                                 folderLine(16, "Users");

}  // namespace

TEST(Navigation, ChangingFolders) {
    std::string image = writeScratch("nav.hfs", hfsbuild::buildVolume(navVolume()));
    std::string hfsx = writeScratch("nav-hfsx.hfs", hfsbuild::buildVolume(navVolume(true)));
    const Transcript cases[] = {
        {"absolute, relative, trailing slash, root and no argument",
         {image},
         "color\ncd Users\ncd Shared\ncd /Library\ncd /Users/\ncd\ncd /\n",
         "",
         kOpen + kStart + N("/") + N("/Users") + N("/Users/Shared") + N("/Library") + N("/Users/") + N("/Users/") +
             N("/") + "Exiting\n"},   // the path is kept as typed
        {"paths that do not lead to a folder",
         {image},
         "color\ncd a/b\ncd f.txt/c\ncd f.txt\ncd Users/nothing\n",
         "",
         kOpen + kStart + N("/") + "cd: a/b: No such file or folder\n" + N("/") + "cd: f.txt/c: Not a folder\n" +
             N("/") + "cd: f.txt: Not a folder\n" + N("/") + "cd: Users/nothing: No such file or folder\n" + N("/") +
             "Exiting\n"},
        {"- exchanges with the saved folder",
         {image},
         "color\ncd -\ncd /Users\ncd -\ncd -\n",
         "Directory changed to / (2)\nDirectory changed to / (2)\nDirectory changed to /Users (16)\n",
         kOpen + kStart + N("/") + N("/") + N("/Users") + N("/") + N("/Users") + "Exiting\n"},
        {".. goes to the parent and stays at the root",
         {image},
         "color\ncd Users/Shared\ncd ..\nls\ncd ..\ncd ..\n",
         "\tfolderthread\t2Users\n" + folderLine(17, "Shared"),
         kOpen + kStart + N("/") + N("/Users/Shared") + N("/Users") + N("/Users") + N("/") + N("/") + "Exiting\n"},
        {"# goes to CNID 50, whose thread is missing",
         {image},
         "color\ncd #\nls\n",
         "Setting to 50\n",
         kOpen + kStart + N("/") + N("/#") + "Path not found: /#\n" + N("/#") + "Exiting\n"},
        {"letter case folds on HFS Plus only",
         {},
         "color\nfs " + image + "\ncd users\nfs " + hfsx + "\ncd users\n",
         "",
         kNoVolumeStart + kRawOpened +
             N("/") + N("/users") + kRawOpened + N("/") +
             "cd: users: No such file or folder\n" + N("/") + "Exiting\n"},
        {"without a volume", {}, "color\ncd x\nls\n", "",
         kNoVolumeStart +
             "No active FS. Use the 'fs' command to select the active filesystem first.\n" + prompt() +
             "No active FS. Use the 'fs' command to select the active filesystem first.\n" + prompt() + "Exiting\n"},
    };
    for (const Transcript &t : cases) expectTranscript(t);
}

TEST(Navigation, Listings) {
    std::string image = writeScratch("nav-ls.hfs", hfsbuild::buildVolume(navVolume()));
    const Transcript cases[] = {
        {"long form of the root", {image}, "color\nls\n", kRootListing, kOpen + kStart + N("/") + N("/") + "Exiting\n"},
        {"modifiers", {image}, "color\nls -h@\nls -l\nls -hO\n",
         "\tfolderthread\t1Nav\n" +
             std::string("      21 -rw-r--r--   1 root      root         1B ") + kDate + "f.txt\n" +
             folderLine(19, "Library", "    1 ") +
             "      20 -rw-r--r--@  1 root      root         2K " + kDate + "readme.txt\n\tcom.example.note\n\n" +
             "      22 -rwxr-xr-x   1 ( 4242) ( 4343)   10B " + kDate + "run\n" + folderLine(16, "Users", "    1 ") +
             "\tfolderthread\t1Nav\n" +
             // -O adds the six-character Finder column before the size
             "      21 -rw-r--r--   1 root      root               1B " + kDate + "f.txt\n" +
             folderLine(19, "Library", "          1 ") +
             "      20 -rw-r--r--@  1 root      root               2K " + kDate + "readme.txt\n" +
             "      22 -rwxr-xr-x   1 ( 4242) ( 4343)         10B " + kDate + "run\n" +
             folderLine(16, "Users", "          1 "),
         kOpen + kStart + N("/") + N("/") + "Unknown modifier: l\n" + N("/") + N("/") + "Exiting\n"},
        {"colour", {image}, "cd Users\nls\n",
         "\tfolderthread\t2Users\n      17 drwxr-xr-x   1 root      root              1 " + kDate +
             "\033[0;34mShared\033[0;0m\n",
         kOpen + "\033[1;1m" + N("/") + "\033[0;0m\033[1;1m" + N("/Users") + "\033[0;0m\033[1;1m" + N("/Users") +
             "\033[0;0mExiting\n"},
        {"XML", {image}, "color\nxml\ncd Users\nls\n",
         "<Node num=\"1\" kind=\"-1\" bLink=\"0\" fLink=\"0\" numRecords=\"16\">\n"
         "\t<Record num=\"7\" offset=\"1160\">\n\t\t<Key len=\"6\"/><CNID>16</CNID><Type>3</Type>\n"
         "\t\t<Data type=\"folderThread\"><parentCNID>2</parentCNID></Data><Name>Users</Name>\n\n\t</Record>\n"
         "\t<Record num=\"8\" offset=\"1188\">\n\t\t<Key len=\"18\"/><CNID>16</CNID><Type>1</Type>\n"
         "\t\t<Folder ID=\"17\"/><Name>Shared</Name>\n\n\t</Record>\n"
         "\t<Record num=\"9\" offset=\"1296\">\n\t\t<Key len=\"6\"/><CNID>17</CNID></Node>",
         kOpen + kStart + N("/") + "XML Output is on\n" + N("/") + N("/Users") + N("/Users") + "Exiting\n"},
    };
    for (const Transcript &t : cases) expectTranscript(t);
}

TEST(Navigation, DumpAndSearch) {
    std::string image = writeScratch("nav-search.hfs", hfsbuild::buildVolume(navVolume()));
    const std::string usersHits = folderLine(16, "Users") + "PATH: /Users\n\tfolderthread\t2Users\nPATH: /Users\n";
    const Transcript cases[] = {
        {"no tree before fs", {}, "color\ndump\nsnapshot\nsearch 2\n", "",
         kNoVolumeStart +
             "No B-Tree selected. Use \"catalog\" or \"attributes\" to select, respectively\n" + prompt() +
             "No B-Tree selected. Use \"catalog\" or \"attributes\" to select, respectively\n" + prompt() +
             "No B-Tree selected. Use \"catalog\" or \"attributes\" to select, respectively\n" + prompt() +
             "Exiting\n"},
        {"dump arguments", {image}, "color\ndump 0\ndump -1\ndump 9\n",
         "Scanning:  0\nLeaf node:0\n0 <- 0 -> 0: 3 records, header\n",
         kOpen + kStart + N("/") + "TODO..\nTODO..\nTODO..\n" + N("/") +
             "dump: node -1 is out of range (the tree has 2 nodes)\n" + N("/") +
             "dump: node 9 is out of range (the tree has 2 nodes)\n" + N("/") + "Exiting\n"},
        {"search by ID and by name", {image},
         "color\nsearch\nsearch 2\nsearch 16\nsearch Users\nsearch users\nsearch  Users\nsearch 99\n",
         "\tfolderthread\t1Nav\n\n\tfolderthread\t2Users\n\n" + usersHits + usersHits,   // letter case folds
         kOpen + kStart + N("/") + "Search requires an argument\n" + N("/") + N("/") + N("/") +
             "FOUND: Node 1, record 6:\nFOUND: Node 1, record 7:\n" + N("/") +
             "FOUND: Node 1, record 6:\nFOUND: Node 1, record 7:\n" + N("/") + "No record found for name ' Users'\n" + N("/") + "No record found for CNID 99\n" + N("/") +
             "Exiting\n"},
        {"search in the attributes tree", {image}, "color\nattributes\nsearch 20\ndump\n",
         kOneLeafAttributes + "20com.example.note\t696821\nScanning: (null)\nLeaf node:1\n20com.example.note\t696821\n",
         kOpen + kStart + N("/") + N("/") + N("/") + N("/") + "Exiting\n"},
    };
    for (const Transcript &t : cases) expectTranscript(t);
}

TEST(Navigation, LinksHiddenFilesAndSecurity) {
    hfsbuild::Volume v;
    v.label = "Links";
    v.nodes.push_back(folderNode("/Applications"));                     // 16
    v.nodes.push_back(folderNode("/Users/Shared"));                     // 17 Users, 18 Shared
    v.nodes.push_back(hfsbuild::symlinkNode("/apps", "/Applications"));     // 19
    v.nodes.push_back(hfsbuild::symlinkNode("/Users/rel", "Shared"));       // 20
    v.nodes.push_back(hfsbuild::symlinkNode("/loop1", "/loop2"));           // 21
    v.nodes.push_back(hfsbuild::symlinkNode("/loop2", "loop1"));            // 22
    v.nodes.push_back(fileNode("/f.txt", "f"));                                 // 23
    v.nodes.push_back(hfsbuild::symlinkNode("/flink", "/f.txt"));           // 24
    hfsbuild::Node secret = fileNode("/Users/.secret", "s");                   // 25
    secret.hidden = true;
    hfsbuild::Guid owner{}, group{}, who{};
    owner.fill(0x11), group.fill(0x22), who.fill(0x33);
    secret.attributes.push_back({hfsbuild::kSecurityAttribute, hfsbuild::fileSecurity(owner, group, {{who, 0x1 | 0x1000000, 7}})});
    v.nodes.push_back(secret);
    v.nodes.push_back(folderNode("/Empty"));                            // 26
    std::string image = writeScratch("links.hfs", hfsbuild::buildVolume(v));
    auto L = [](const std::string &cwd) { return prompt("Links", cwd); };
    const std::string open = kRawOpened + kBanner +
                             "\033[1;1m" + L("/") + "\033[0;0mColor is off\n";
    const std::string loop = "recursing on /loop2\nrecursing on /loop1\n";
    std::string sixteen;
    for (int i = 0; i < 8; ++i) sixteen += loop;
    const std::string secretLine = "      25 -rw-r--r--@+ 1 root      root      hidden        1 " + kDate + ".secret\n";
    const Transcript cases[] = {
        {"absolute and relative link targets", {image}, "color\ncd apps\ncd /\ncd Users/rel\n", "",
         open + L("/") + "recursing on /Applications\n" + L("/Applications") + L("/") +
             "recursing on Users/Shared\n" + L("/Users/Shared") + "Exiting\n"},
        {"a loop of links is refused after 16", {image}, "color\ncd Users\ncd /loop1\n", "",
         open + L("/") + L("/Users") + sixteen +
             "cd: /loop1: more than 16 symbolic links in a row; staying in /Users\n" + L("/Users") + "Exiting\n"},
        {"a link to a file", {image}, "color\ncd flink\n", "",
         open + L("/") + "recursing on /f.txt\ncd: /f.txt: Not a folder\n" + L("/") + "Exiting\n"},
        {"links, hidden files, security flags and an empty folder in listings", {image},
         "color\nls\ncd Users\nls -O\ncd /Empty\nls\n",
         "\tfolderthread\t1Links\n" + folderLine(16, "Applications") +
             "      19 lrwxr-xr-x   1 root      root             13 " + kDate + "apps -> /Applications\n" +
             folderLine(26, "Empty") + fileLine(23, "  ", 1, "f.txt") +
             "      24 lrwxr-xr-x   1 root      root              6 " + kDate + "flink -> /f.txt\n" +
             "      21 lrwxr-xr-x   1 root      root              6 " + kDate + "loop1 -> /loop2\n" +
             "      22 lrwxr-xr-x   1 root      root              5 " + kDate + "loop2 -> loop1\n" +
             folderLine(17, "Users") + "\tfolderthread\t2Users\n" + secretLine +
             "      20 lrwxr-xr-x   1 root      root                    6 " + kDate + "rel -> Shared\n" +
             "      18 drwxr-xr-x   1 root      root                    1 " + kDate + "Shared\n" +
             "\tfolderthread\t2Empty\n",
         open + L("/") + L("/") + L("/Users") + L("/Users") + L("/Empty") + L("/Empty") + "Exiting\n"},
        {"a file-security attribute is decoded", {image}, "color\nattributes\nsearch 25\n",
         kOneLeafAttributes + "25com.apple.system.Security\tOWNER: 11111111-1111-1111-1111-111111111111\n"
             "GROUP: 22222222-2222-2222-2222-222222222222\n# Entries: 1\tFlags: 0x0\n"
             " 0: 33333333-3333-3333-3333-333333333333, read,permit,\n"
             "2c016dc111111111111111111111111111111111222222222222222222222222222222220100003333333333333333333333333333333311000700\n",
         open + L("/") + L("/") + L("/") + "Exiting\n"},
    };
    for (const Transcript &t : cases) expectTranscript(t);
}

TEST(Navigation, MissesSayWhy) {
    std::string image = writeScratch("nav-misses.hfs", hfsbuild::buildVolume(navVolume()));
    struct Row {
        std::string script, err, out;   // err: a part of stderr; out: all of stdout
    } rows[] = {
        {"ls /Users", "", "\tfolderthread\t2Users\n" + folderLine(17, "Shared")},
        {"cd Users\nls Shared", "", "\tfolderthread\t16Shared\n" + fileLine(18, "  ", 2, "notes.txt")},
        {"dir /", "", kRootListing},
        {"ls -@ readme.txt", "", fileLine(20, "@ ", 2048, "readme.txt") + "\tcom.example.note\n\n"},
        {"ls nothing", "ls: nothing: No such file or folder\n", ""},
        {"dir f.txt/x", "dir: f.txt/x: Not a folder\n", ""},
        {"pull nothing", "pull: nothing: No such file or folder\n", ""},
        {"pull Users", "pull: Users: Is a folder\n", ""},
        {"pull", "pull requires a path\n", ""},
        {"search 1234", "No record found for CNID 1234\n", ""},
        {"search x", "No record found for name 'x'\n", ""},
        {"dump 1x", "dump: '1x' is not a node number\n", ""},
        {"dump 2", "dump: node 2 is out of range (the tree has 2 nodes)\n", ""},
    };
    for (const Row &row : rows) {
        RunResult r = runTarnwick({image}, "color\n" + row.script + "\n");
        EXPECT_NE(r.err.find(N("/") + row.err), std::string::npos) << row.script << "\n" << r.err;
        EXPECT_EQ(r.out, row.out) << row.script;
    }
}
