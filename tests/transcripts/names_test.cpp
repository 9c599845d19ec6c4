// Names as people type them: precomposed for a decomposed stored name, ':' for a stored '/', links
// through /Volumes/LABEL, and search by name, on HFS Plus and HFSX.
#include <unistd.h>

#include <optional>

#include "hfsbuild/hfsbuild.h"
#include "transcript.h"

TEST(Names, TypedFormsFindStoredNames) {
    const std::string nfc = "caf\xC3\xA9", nfd = "cafe\xCC\x81", upper = "CAF\xC3\x89";
    auto volume = [&](bool hfsx) {
        hfsbuild::Volume v;
        v.label = "Names";
        v.hfsx = hfsx;
        v.nodes.push_back(hfsbuild::fileNode("/" + nfd + "/menu.txt", "menu\n"));
        v.nodes.push_back(hfsbuild::fileNode("/a:b", "slash\n"));   // stored "a/b"
        v.nodes.push_back(hfsbuild::fileNode("/123abc.txt", "x"));
        v.nodes.push_back(hfsbuild::symlinkNode("/here", "/Volumes/Names/" + nfd));
        v.nodes.push_back(hfsbuild::symlinkNode("/elsewhere", "/Volumes/Other/" + nfd));
        return writeScratch(hfsx ? "names-hfsx.hfs" : "names.hfs", hfsbuild::buildVolume(v));
    };
    const std::string images[] = {volume(false), volume(true)};
    struct Row {
        std::string script, out, err;                    // parts of stdout and stderr
        std::optional<std::string> hfsxOut = {}, hfsxErr = {};   // where HFSX differs
    } rows[] = {
        {"cd " + nfc + "\nls", "\tfolderthread\t2" + nfd + "\n", prompt("Names", "/" + nfc)},
        {"pull " + nfc + "/menu.txt", "", "5 bytes written to /tmp/menu.txt\n"},
        {"ls /a:b", " a/b\n", ""},
        {"pull a:b", "", "6 bytes written to /tmp/a:b\n"},
        {"cd here", "", "recursing on /" + nfd + "\n" + prompt("Names", "/" + nfd)},
        {"cd elsewhere", "",
         "recursing on /Volumes/Other/" + nfd + "\ncd: /Volumes/Other/" + nfd + ": No such file or folder\n"},
        {"search 123abc.txt", "123abc.txt\nPATH: /123abc.txt\n",
         "FOUND: Node 1, record 2:\nFOUND: Node 1, record 11:\n"},
        {"search menu.txt", "PATH: /" + nfd + "/menu.txt\n", ""},
        {"search a:b", " a/b\nPATH: /a:b\n", ""},
        {"search " + upper, "PATH: /" + nfd + "\n", "", "", "No record found for name '" + upper + "'\n"},
        {"cd " + upper, "", prompt("Names", "/" + upper), "", "cd: " + upper + ": No such file or folder\n"},
    };
    for (const Row &row : rows) {
        for (bool hfsx : {false, true}) {
            RunResult r = runTarnwick({images[hfsx]}, "color\n" + row.script + "\n");
            std::string out = hfsx ? row.hfsxOut.value_or(row.out) : row.out;
            std::string err = hfsx ? row.hfsxErr.value_or(row.err) : row.err;
            EXPECT_NE(r.out.find(out), std::string::npos) << row.script << (hfsx ? " (HFSX)\n" : "\n") << r.out;
            EXPECT_NE(r.err.find(err), std::string::npos) << row.script << (hfsx ? " (HFSX)\n" : "\n") << r.err;
        }
    }
    unlink("/tmp/menu.txt");
    unlink("/tmp/a:b");
}
