// Names as people type them: precomposed for a decomposed stored name, ':' for a stored '/', links
// through /Volumes/LABEL, and search by name, on HFS Plus and HFSX; and names, link targets,
// attribute names and labels from the image, which reach the terminal escaped.
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "hfsbuild/hfsbuild.h"
#include "transcript.h"

TEST(Names, TypedFormsFindStoredNames) {
    const std::string nfc = "caf\xC3\xA9", nfd = "cafe\xCC\x81", upper = "CAF\xC3\x89";
    auto volume = [&](bool hfsx) {   // a '/' is stored for the ':' of a:b
        hfsbuild::Volume v;
        v.label = "Names", v.hfsx = hfsx;
        v.nodes = {hfsbuild::fileNode("/" + nfd + "/menu.txt", "menu\n"), hfsbuild::fileNode("/a:b", "slash\n"),
                   hfsbuild::fileNode("/123abc.txt", "x"), hfsbuild::symlinkNode("/here", "/Volumes/Names/" + nfd),
                   hfsbuild::symlinkNode("/elsewhere", "/Volumes/Other/" + nfd), hfsbuild::fileNode("/dir  x/a b.txt", "ab\n"),
                   hfsbuild::symlinkNode("/dir  x/self", "."), hfsbuild::symlinkNode("/dir  x/up", ".."),
                   hfsbuild::symlinkNode("/dirlink", "dir  x"), hfsbuild::fileNode("/dir  x/t", "t"),
                   hfsbuild::hardLinkNode("/dir  x/t2", "/dir  x/t")};
        std::vector<uint8_t> image = hfsbuild::buildVolume(v);
        const uint8_t oneLink[] = {0x81, 0xA4, 0, 0, 0, 1};   // files' mode and link count: 0, as old volumes store it
        for (auto at = image.begin(); (at = std::search(at, image.end(), oneLink, oneLink + 6)) != image.end(); at += 6) at[5] = 0;
        const uint8_t key[] = {0, 0, 0, 2, 0, 10, 0, '1', 0, '2', 0, '3', 0, 'a', 0, 'b', 0, 'c', 0, '.', 0, 't', 0, 'x', 0, 't'};
        std::search(image.begin(), image.end(), key, key + sizeof key)[sizeof key + 83] = 49;   // 123abc.txt's text encoding
        return writeScratch(hfsx ? "names-hfsx.hfs" : "names.hfs", image);
    };
    const std::string images[] = {volume(false), volume(true)};
    struct Row {
        std::string script, out, err;                    // parts of stdout and stderr
        std::optional<std::string> hfsxOut = {}, hfsxErr = {};   // where HFSX differs
    } rows[] = {
        {"cd " + nfc + "\nls", "\tfolderthread\t2" + nfd + "\n", prompt("Names", "/" + nfc)},
        {"ls /a:b", " a:b\n", ""},   // names as typed: ':' for a stored '/', NUL characters escaped
        {"ls /", " \\x00\\x00\\x00\\x00HFS+ Private Data\n", ""},
        {"ls \"dir  x\"", " a b.txt\n", ""},   // quoted words; relative links, also before the last name
        {"pull \"dirlink/self/a b.txt\" -", "ab\n", ""},
        {"ls dirlink/up/123abc.txt", " 123abc.txt\n", ""},
        {"find / -name 'a b*'", "\t/dir  x/a b.txt\n", ""},
        {"find -name " + nfc, "\t/" + nfd + "\n", ""},
        {"stat 123abc.txt", "Link count:\t1\n", ""},
        {"stat 123abc.txt", "Text encoding:\t49 (MacFarsi)\n", ""},
        {"pull a:b", "", "6 bytes written to /tmp/a:b\n"},
        {"cd here", "", "recursing on /" + nfd + "\n" + prompt("Names", "/" + nfd)},
        {"cd elsewhere", "",
         "recursing on /Volumes/Other/" + nfd + "\ncd: /Volumes/Other/" + nfd + ": No such file or folder\n"},
        {"search 123abc.txt", "123abc.txt\nPATH: /123abc.txt\n",
         "FOUND: Node 1, record 2:\nFOUND: Node 1, record 14:\n", std::nullopt,
         "FOUND: Node 1, record 3:\nFOUND: Node 1, record 14:\n"},   // HFSX's binary order puts the NUL name first
        {"search a:b", " a/b\nPATH: /a:b\n", ""},
        {"search " + upper, "PATH: /" + nfd + "\n", "", "", "No record found for name '" + upper + "'\n"},
        {"cd " + upper, "", prompt("Names", "/" + upper), "", "cd: " + upper + ": No such file or folder\n"},
    };
    for (const Row &row : rows)
        for (bool hfsx : {false, true}) {
            RunResult r = runTarnwick({images[hfsx]}, "color\n" + row.script + "\n");
            EXPECT_NE(r.out.find(hfsx ? row.hfsxOut.value_or(row.out) : row.out), std::string::npos) << row.script << hfsx << r.out;
            EXPECT_NE(r.err.find(hfsx ? row.hfsxErr.value_or(row.err) : row.err), std::string::npos) << row.script << hfsx << r.err;
        }
    unlink("/tmp/a:b");
}

TEST(Escaping, ImageTextNeverReachesTheTerminalRaw) {
    const std::string dir = "/d\x1b[2J";   // a folder whose name clears the screen
    hfsbuild::Volume v;
    v.label = "V\x1b]0;pwned\x07";
    hfsbuild::Node evil = hfsbuild::fileNode(dir + "/t\x1b]0;pwned\x07", "x");
    evil.attributes = {{"com.e\x1b[31m", {'v'}}};
    v.nodes = {hfsbuild::folderNode(dir), evil, hfsbuild::fileNode(dir + "/cr\rlf\n", ""),
               hfsbuild::fileNode(dir + "/del\x7f", ""), hfsbuild::fileNode(dir + "/c1\xC2\x85\xC2\x9B", ""),
               hfsbuild::fileNode(dir + "/s\xE2\x98\x83z", ""),   // U+2603 becomes a lone surrogate below
               hfsbuild::fileNode(dir + "/b\\s", ""), hfsbuild::fileNode(dir + "/a<b&c\"d'", ""),
               hfsbuild::symlinkNode(dir + "/l", "\x1b[2J"), hfsbuild::symlinkNode("/jump", dir)};
    std::vector<uint8_t> image = hfsbuild::buildVolume(v);
    const uint8_t snowman[] = {0, 's', 0x26, 0x03, 0, 'z'};
    for (auto at = image.begin(); (at = std::search(at, image.end(), snowman, snowman + 6)) != image.end();)
        *(at + 2) = 0xD8, *(at + 3) = 0x00, at += 6;
    std::string path = writeScratch("escaping.hfs", image);
    std::string folder = std::to_string(hfsbuild::cnidOf(v, dir)), file = "t\x1b]0;pwned\x07";

    struct Case { const char *name; std::string script; std::vector<std::string> shown; } cases[] = {
        {"ls", "cd " + dir + "\nls -@",
         {"t\\x1b]0;pwned\\x07", "cr\\rlf\\n", "del\\x7f", "c1\\xc2\\x85\\xc2\\x9b", "s\\xed\\xa0\\x80z", "b\\\\s",
          "a<b&c\"d'", "l -> \\x1b[2J", "\n\tcom.e\\x1b[31m\n"}},
        {"xattr", "cd " + dir + "\nxattr " + file, {"1\tcom.e\\x1b[31m\n"}},
        {"search, volinfo, prompt", "search 2\nsearch " + folder + "\nvolinfo",
         {"folderthread\t1V\\x1b]0;pwned\\x07", "d\\x1b[2J\n", "Tarnwick(V\\x1b]0;pwned\\x07:/)> "}},
        {"cd through a link", "cd jump", {"recursing on /d\\x1b[2J\n", ":/d\\x1b[2J)> "}},
        {"dump", "dump\nattributes\ndump", {"d\\x1b[2J", "com.e\\x1b[31m\t"}},
        {"xml", "xml\nls\ncd " + dir + "\nls\nsearch a<b&c\"d'",
         {"<Name>d\\x1b[2J</Name>", "<Name>t\\x1b]0;pwned\\x07</Name>", "<Name>b\\\\s</Name>",
          "2001 <Name>a&lt;b&amp;c&quot;d&apos;</Name>"}},   // search: a listing line, the name in tags
    };
    for (const Case &c : cases) {
        RunResult r = runTarnwick({path}, "color\n" + c.script + "\n");
        std::string err = r.err.substr(r.err.find("Color is off\n"));   // the first prompt is in colour
        for (const std::string *stream : {&r.out, &err})
            for (unsigned char b : *stream)
                EXPECT_TRUE(b >= 0x20 ? b != 0x7F : b == '\n' || b == '\t') << c.name << ": byte " << int(b);
        for (const std::string &text : c.shown)
            EXPECT_NE((r.out + err).find(text), std::string::npos) << c.name << ": " << text << "\n" << r.out << err;
    }
}
