// xattr: listings in the attributes B-tree's order, values written to /tmp byte for byte, the
// messages, and a fork-data value whose extents records are gone.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "hfsbuild/hfsbuild.h"
#include "transcript.h"

using Data = std::vector<uint8_t>;

TEST(Xattr, ListsAndSavesAttributes) {
    const Data big = randomBytes(20000, 7);   // 40 blocks of 512 in extents of 2: the fork record and two extents records
    hfsbuild::Volume v;
    v.label = "X";
    v.blockSize = 512;
    v.attributesNodeSize = 512;   // several leaves under an index node
    hfsbuild::Node a = hfsbuild::fileNode("/docs/a.txt", "a");
    a.attributes = {{"com.example/slash", bytesOf("s/")}, {"com.example.one", bytesOf("first value")},
                    {"com.example.na\xC3\xAFve-\xE5\x90\x8D", bytesOf("\xC3\xBC")}, {"com.example.empty", {}}};
    hfsbuild::Node docs = hfsbuild::folderNode("/docs");
    docs.attributes = {{"com.example.folder", bytesOf("f")}};
    hfsbuild::Node fragmented = hfsbuild::fileNode("/big.bin", "b");
    fragmented.attributes = {{"com.example.big", big, true, 2}, {"com.example.z", bytesOf("after")}};
    hfsbuild::Node packed = hfsbuild::fileNode("/packed.txt", std::string(3000, 'z')), shared = hfsbuild::fileNode("/my file.txt", "shared");
    packed.compression = 3;   // its decmpfs record keeps the attributes tree as deep
    shared.attributes = {{"com.example.shared", bytesOf("linked")}};
    v.nodes = {docs, a, fragmented, packed, shared, hfsbuild::hardLinkNode("/link", "/my file.txt"),
               hfsbuild::fileNode("/plain.txt", "p")};
    Data image = hfsbuild::buildVolume(v);
    std::string path = writeScratch("xattr.hfs", image);

    // The same volume with the big value's extents records gone: their start blocks no longer follow on.
    uint32_t bigID = hfsbuild::cnidOf(v, "/big.bin");
    for (uint32_t startBlock : {16u, 32u}) {
        Data key(12, 0);   // file ID, start block, name length 15, "c"
        hfsbuild::putBE32(key, 0, bigID), hfsbuild::putBE32(key, 4, startBlock), hfsbuild::putBE16(key, 8, 15), hfsbuild::putBE16(key, 10, 'c');
        auto at = std::search(image.begin(), image.end(), key.begin(), key.end());
        ASSERT_NE(at, image.end()) << startBlock;
        hfsbuild::putBE32(image, static_cast<size_t>(at - image.begin()) + 4, 0);
    }
    std::string damaged = writeScratch("xattr-damaged.hfs", image);

    const std::string nonAscii = "com.example.na\xC3\xAFve-\xE5\x90\x8D";
    struct Case {
        std::string image, command, out, err;
        Data value = {};   // what is in the file err names as written
    } cases[] = {
        {path, "xattr docs/a.txt", "0\tcom.example.empty\n2\t" + nonAscii + "\n11\tcom.example.one\n2\tcom.example/slash\n", ""},
        {path, "xattr /docs/", "1\tcom.example.folder\n", ""},
        {path, "xattr big.bin", "20000\tcom.example.big\n5\tcom.example.z\n", ""},   // 20 extents, then an inline value
        {path, "xattr link", "6\tcom.example.shared\n", ""},   // a hard link lists its file's
        {path, "xattr plain.txt", "", "plain.txt has no extended attributes\n"},
        {path, "pull plain.txt", "", "1 bytes written to /tmp/plain.txt\n", bytesOf("p")},   // and nothing about a short fork
        {path, "xattr nothing", "", "nothing not found\n"},
        {path, "xattr docs/a.txt com.example.none", "", "docs/a.txt has no extended attribute named com.example.none\n"},
        {path, "xattr docs/a.txt com.example.one", "", "11 bytes written to /tmp/a.txt.com.example.one\n", bytesOf("first value")},
        {path, "xattr docs/a.txt com.example/slash", "", "2 bytes written to /tmp/a.txt.com.example:slash\n", bytesOf("s/")},
        {path, "xattr big.bin com.example.big", "", "20000 bytes written to /tmp/big.bin.com.example.big\n", big},
        {path, "xattr my\\ file.txt com.example.shared", "", "6 bytes written to /tmp/my file.txt.com.example.shared\n",
         bytesOf("linked")},
        // with the extents records gone: what the eight extents hold, and a failure; the listing is unchanged
        {damaged, "xattr big.bin com.example.big", "",
         "big.bin: attribute com.example.big: only 8192 of its 20000 bytes could be read (its extents end early)\n"
         "8192 bytes written to /tmp/big.bin.com.example.big\n", Data(big.begin(), big.begin() + 8192)},
        {damaged, "xattr big.bin", "20000\tcom.example.big\n5\tcom.example.z\n", ""},
    };
    for (const Case &c : cases) {
        size_t at = c.err.rfind(" bytes written to ");
        std::string written = at == std::string::npos ? "" : c.err.substr(at + 18, c.err.size() - at - 19);
        unlink(written.c_str());
        expectSession({c.image}, "X", {c.command + "\n", c.out, "{/}" + c.err + "{/}"});
        if (written.empty()) continue;
        EXPECT_EQ(readWholeFile(written), c.value) << c.command;
        EXPECT_EQ(modeOf(written), 0600u) << c.command;
        unlink(written.c_str());
    }

    // ls -@ on a folder adds the value's size (the names of files' are compared with istat's in the interop tests).
    std::string listed = runTarnwick({path}, "color\nls -@\n").out;
    EXPECT_NE(listed.find("docs\n\tcom.example.folder 1\n\n"), std::string::npos) << listed;
    std::string stat = runTarnwick({path}, "stat big.bin\n").out;   // a value in fork data is one attribute
    EXPECT_NE(stat.find("\n\t20000\tcom.example.big (in allocation blocks)\n\t5\tcom.example.z\n"), std::string::npos) << stat;
}
