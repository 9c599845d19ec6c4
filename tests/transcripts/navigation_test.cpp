// Moving through the catalog and looking at it: cd, ls, dump and search.
#include "hfsbuild/hfsbuild.h"
#include "transcript.h"

namespace {

using hfsbuild::fileNode;
using hfsbuild::folderNode;
using hfsbuild::symlinkNode;

// CNIDs: Users 16, Shared 17, notes.txt 18, Library 19, readme.txt 20, f.txt 21, run 22.
hfsbuild::Volume navVolume() {
    hfsbuild::Volume v;
    v.label = "Nav";
    hfsbuild::Node readme = fileNode("/readme.txt", std::string(2048, 'r')), run = fileNode("/run", "#!/bin/sh\n");
    readme.attributes.push_back({"com.example.note", {'h', 'i', '!'}});
    run.mode = 0100755, run.owner = 4242, run.group = 4343;
    v.nodes = {folderNode("/Users"), folderNode("/Users/Shared"), fileNode("/Users/Shared/notes.txt", "n\n"),
               folderNode("/Library"), readme, fileNode("/f.txt", "f"), run};
    return v;
}

const std::string kDate = "Jan  1 00:00:00 2001 ";

// A listing line of an entry owned by root, `size` the size column with its padding.
std::string line(int id, const std::string &mode, const std::string &size, const std::string &name) {
    char head[64];
    snprintf(head, sizeof head, "%8d %s 1 root      root      ", id, mode.c_str());
    return head + size + kDate + name + "\n";
}
std::string folderLine(int id, const std::string &name, const std::string &size = "        1 ") {
    return line(id, "drwxr-xr-x  ", size, name);
}

const std::string kRootListing = "\tfolderthread\t1Nav\n" + line(21, "-rw-r--r--  ", "        1 ", "f.txt") +
                                 folderLine(19, "Library") + line(20, "-rw-r--r--@ ", "     2048 ", "readme.txt") +
                                 "      22 -rwxr-xr-x   1 ( 4242) ( 4343)        10 " + kDate + "run\n" + folderLine(16, "Users");
const std::string kUsersHits = folderLine(16, "Users") + "PATH: /Users\n\tfolderthread\t2Users\nPATH: /Users\n";
const std::string kFound = "FOUND: Node 1, record 6:\nFOUND: Node 1, record 7:\n";

}  // namespace

TEST(Navigation, Sessions) {
    std::string image = writeScratch("nav.hfs", hfsbuild::buildVolume(navVolume()));
    const Transcript sessions[] = {
        // cd keeps the names as typed, the path without repeated or trailing slashes, "." and ".."
        {"cd Users\ncd Shared\ncd /Library\ncd /Users/\ncd\ncd /\ncd Users//Shared/./\nls ..\nfind .\ncd ../../Library/..//Users\npwd\n",
         "\tfolderthread\t2Users\n" + folderLine(17, "Shared") + "18\t/Users/Shared/notes.txt\n/Users\n",
         "{/}{/Users}{/Users/Shared}{/Library}{/Users}{/Users}{/}{/Users/Shared}{/Users/Shared}{/Users/Shared}{/Users}{/Users}"},
        {"cd a/b\ncd f.txt/c\ncd f.txt\ncd Users/nothing\n", "",
         "{/}cd: a/b: No such file or folder\n{/}cd: f.txt/c: Not a folder\n{/}cd: f.txt: Not a folder\n{/}"
         "cd: Users/nothing: No such file or folder\n{/}"},
        {"cd -\ncd /Users\ncd -\ncd -\ncd /Library\ncd -\n",
         "Directory changed to / (2)\nDirectory changed to / (2)\nDirectory changed to /Users (16)\nDirectory changed to /Users (16)\n",
         "{/}{/}{/Users}{/}{/Users}{/Library}{/Users}"},
        {"cd Users/Shared\ncd ..\nls\nls Shared\ncd ..\ncd ..\n",   // .. stops at the root
         "\tfolderthread\t2Users\n" + folderLine(17, "Shared") + "\tfolderthread\t16Shared\n" +
             line(18, "-rw-r--r--  ", "        2 ", "notes.txt"),
         "{/}{/Users/Shared}{/Users}{/Users}{/Users}{/}{/}"},
        {"cd #\ncd #17\npwd\ncd #20\ncd #99\n", "/Users/Shared\n",
         "{/}cd: #: No such file or folder\n{/}{/Users/Shared}{/Users/Shared}cd: #20: Not a folder\n{/Users/Shared}"
         "cd: #99: No such file or folder\n{/Users/Shared}"},
        // ls and its modifiers; -O adds the six-character Finder column before the size
        {"dir /\nls /Users\n", kRootListing + "\tfolderthread\t2Users\n" + folderLine(17, "Shared"), "{/}{/}{/}"},
        {"ls -h@\nls -l\nls  -h -O Users \nls -@O readme.txt\nls -x\n",
         "\tfolderthread\t1Nav\n" + line(21, "-rw-r--r--  ", "   1B ", "f.txt") + folderLine(19, "Library", "    1 ") +
             line(20, "-rw-r--r--@ ", "   2K ", "readme.txt") + "\tcom.example.note\n\n" +
             "      22 -rwxr-xr-x   1 ( 4242) ( 4343)   10B " + kDate + "run\n" + folderLine(16, "Users", "    1 ") + kRootListing +
             "\tfolderthread\t2Users\n" + folderLine(17, "Shared", "          1 ") +
             line(20, "-rw-r--r--@ ", "           2048 ", "readme.txt") + "\tcom.example.note\n\n",
         "{/}{/}{/}{/}{/}Unknown modifier: x\n{/}"},
        {"ls nothing\ndir f.txt/x\npull nothing\npull Users\npull\n", "",
         "{/}ls: nothing: No such file or folder\n{/}dir: f.txt/x: Not a folder\n{/}pull: nothing: No such file or folder\n{/}"
         "pull: Users: Is a folder\n{/}pull requires a path\n{/}"},
        // dump and search; letter case folds
        {"dump 0\ndump -1\ndump 9\ndump 1x\n", "Scanning:  0\nLeaf node:0\n0 <- 0 -> 0: 3 records, header\n",
         "{/}TODO..\nTODO..\nTODO..\n{/}dump: node -1 is out of range (the tree has 2 nodes)\n{/}"
         "dump: node 9 is out of range (the tree has 2 nodes)\n{/}dump: '1x' is not a node number\n{/}"},
        {"search\nsearch 2\nsearch 16\nsearch Users\nsearch users\nsearch  Users\nsearch 99\nsearch x\n",
         "\tfolderthread\t1Nav\n\n\tfolderthread\t2Users\n\n" + kUsersHits + kUsersHits,
         "{/}Search requires an argument\n{/}{/}{/}" + kFound + "{/}" + kFound + "{/}No record found for name ' Users'\n{/}"
         "No record found for CNID 99\n{/}No record found for name 'x'\n{/}"},
        {"attributes\nsearch 20\ndump\n",
         kOneLeafAttributes + "20com.example.note\t696821\nScanning: (null)\nLeaf node:1\n20com.example.note\t696821\n",
         "{/}{/}{/}{/}"},
    };
    for (const Transcript &s : sessions) expectSession({image}, "Nav", s);
    RunResult r = runTarnwick({image}, "cd Users\nls\n");   // in colour
    EXPECT_EQ(r.out, "\tfolderthread\t2Users\n      17 drwxr-xr-x   1 root      root              1 " + kDate + "\033[0;34mShared\033[0;0m\n");
    EXPECT_EQ(r.err, kRawOpened + kBanner + "\033[1;1m" + prompt("Nav", "/") + "\033[0;0m\033[1;1m" + prompt("Nav", "/Users") +
                         "\033[0;0m\033[1;1m" + prompt("Nav", "/Users") + "\033[0;0mExiting\n");
}

TEST(Navigation, LinksHiddenFilesAndSecurity) {
    hfsbuild::Volume v;
    v.label = "Links";
    hfsbuild::Node secret = fileNode("/Users/.secret", "s");   // 25
    secret.hidden = true;
    hfsbuild::Guid owner{}, group{}, who{};
    owner.fill(0x11), group.fill(0x22), who.fill(0x33);
    secret.attributes.push_back({hfsbuild::kSecurityAttribute, hfsbuild::fileSecurity(owner, group, {{who, 0x1 | 0x1000000, 7}})});
    // CNIDs from 16: Applications, Users, Shared, apps, rel, loop1, loop2, f.txt, flink, .secret, Empty.
    v.nodes = {folderNode("/Applications"), folderNode("/Users/Shared"), symlinkNode("/apps", "/Applications"),
               symlinkNode("/Users/rel", "Shared"), symlinkNode("/loop1", "/loop2"), symlinkNode("/loop2", "loop1"),
               fileNode("/f.txt", "f"), symlinkNode("/flink", "/f.txt"), secret, folderNode("/Empty")};
    std::string image = writeScratch("links.hfs", hfsbuild::buildVolume(v));
    std::string sixteen;
    for (int i = 0; i < 8; ++i) sixteen += "recursing on /loop2\nrecursing on /loop1\n";
    auto link = [](int id, const std::string &size, const std::string &text) {
        return "      " + std::to_string(id) + " lrwxr-xr-x   1 root      root      " + size + kDate + text + "\n";
    };
    const Transcript sessions[] = {
        {"cd apps\ncd /\ncd Users/rel\n", "",
         "{/}recursing on /Applications\n{/Applications}{/}recursing on Users/Shared\n{/Users/Shared}"},
        // links before the last name are followed, and a trailing slash follows the last
        {"ls apps/\nls Users/rel/\nls loop1/x\n", "\tfolderthread\t2Applications\n\tfolderthread\t17Shared\n",
         "{/}{/}{/}ls: loop1/x: Too many levels of symbolic links\n{/}"},
        {"cd Users\ncd /loop1\ncd /flink\n", "",
         "{/}{/Users}" + sixteen + "cd: /loop1: more than 16 symbolic links in a row; staying in /Users\n{/Users}"
         "recursing on /f.txt\ncd: /f.txt: Not a folder\n{/Users}"},
        {"ls\ncd Users\nls -O\ncd /Empty\nls\n",
         "\tfolderthread\t1Links\n" + folderLine(16, "Applications") + link(19, "       13 ", "apps -> /Applications") +
             folderLine(26, "Empty") + line(23, "-rw-r--r--  ", "        1 ", "f.txt") + link(24, "        6 ", "flink -> /f.txt") +
             link(21, "        6 ", "loop1 -> /loop2") + link(22, "        5 ", "loop2 -> loop1") + folderLine(17, "Users") +
             "\tfolderthread\t2Users\n      25 -rw-r--r--@+ 1 root      root      hidden        1 " + kDate + ".secret\n" +
             link(20, "              6 ", "rel -> Shared") + folderLine(18, "Shared", "              1 ") +
             "\tfolderthread\t2Empty\n",
         "{/}{/}{/Users}{/Users}{/Empty}{/Empty}"},
        {"attributes\nsearch 25\n",
         kOneLeafAttributes + "25com.apple.system.Security\tOWNER: 11111111-1111-1111-1111-111111111111\n"
             "GROUP: 22222222-2222-2222-2222-222222222222\n# Entries: 1\tFlags: 0x0\n"
             " 0: 33333333-3333-3333-3333-333333333333, read,permit,\n"
             "2c016dc111111111111111111111111111111111222222222222222222222222222222220100003333333333333333333333333333333311000700\n",
         "{/}{/}{/}"},
    };
    for (const Transcript &s : sessions) expectSession({image}, "Links", s);
}

// Directory hard links (CNIDs: A 16, one.txt 17, sub 18, up 19, B 20, chain 21, gone 22, the private
// folder 23): /A/sub/up and /B link to /A, /chain names the link /B, /gone names no folder. A link
// lists, and is entered, as its folder; one back to a folder above is entered but not walked.
TEST(Navigation, DirectoryHardLinks) {
    hfsbuild::Volume v;
    v.label = "Loops";
    v.nodes = {fileNode("/A/one.txt", "one\n"), hfsbuild::folderLinkNode("/A/sub/up", "/A"), hfsbuild::folderLinkNode("/B", "/A"),
               hfsbuild::folderLinkNode("/chain", 20), hfsbuild::folderLinkNode("/gone", 4000)};
    std::string image = writeScratch("folder-links.hfs", hfsbuild::buildVolume(v));
    const std::string linked = "drwxr-xr-x@  3 root      root      (hard link)        2 " + kDate;
    const std::string chain = "The directory hard link names CNID 20, which is not a folder\n";
    const std::string gone = "The directory hard link's folder dir_4000 was not found\n";
    const std::string loop = ": a directory hard link to folder 16, which holds it: not followed\n";
    const Transcript sessions[] = {
        {"cd B\nls\ncd sub/up/sub\ncd ..\nfind -type f\n",
         "\tfolderthread\t23dir_16\n" + line(17, "-rw-r--r--  ", "        4 ", "one.txt") + folderLine(18, "sub") +
             "17\t/B/sub/up/one.txt\n",
         "{/}{/B}{/B}{/B/sub/up/sub}{/B/sub/up}find: /B/sub/up/sub/up" + loop + "{/B/sub/up}"},
        {"ls\n",
         "\tfolderthread\t1Loops\n      23 dr-xr-xr-t   1 root      root              1 " + kDate +
             ".HFS+ Private Directory Data\\r\n      16 " + linked + "A\n      16 " + linked + "B\n      21 -r--r--r--   20root"
             "      root              0 " + kDate + "chain\n      22 -r--r--r--   4000root      root              0 " + kDate + "gone\n",
         "{/}" + chain + gone + "{/}"},
        {"find /A -type d\ncd gone\ncd #20\n", "18\t/A/sub\n16\t/A/sub/up\n", "{/}find: /A/sub/up" + loop + "{/}" + gone + "{/}{/B}"},
    };
    for (const Transcript &s : sessions) expectSession({image}, "Loops", s);
}
