// xattr: listings in the attributes B-tree's order, values written to /tmp byte for byte, the
// messages, and a fork-data value whose extents records are gone.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "hfsbuild/hfsbuild.h"
#include "transcript.h"

namespace {

using Data = std::vector<uint8_t>;

Data text(const std::string &s) { return {s.begin(), s.end()}; }

Data pattern(size_t size) {
    Data data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return data;
}

}  // namespace

TEST(Xattr, ListsAndSavesAttributes) {
    const Data big = pattern(20000);   // 40 blocks of 512 in extents of 2: the fork record and two extents records
    const std::string packedText(3000, 'z');
    hfsbuild::Volume v;
    v.label = "X";
    v.blockSize = 512;
    v.attributesNodeSize = 512;   // several leaves under an index node
    hfsbuild::Node a = hfsbuild::fileNode("/docs/a.txt", "a");
    a.attributes = {{"com.example/slash", text("s/")},
                    {"com.example.one", text("first value")},
                    {"com.example.na\xC3\xAFve-\xE5\x90\x8D", text("\xC3\xBC")},
                    {"com.example.empty", {}}};
    hfsbuild::Node docs = hfsbuild::folderNode("/docs");
    docs.attributes = {{"com.example.folder", text("f")}};
    hfsbuild::Node fragmented = hfsbuild::fileNode("/big.bin", "b");
    fragmented.attributes = {{"com.example.big", big, true, 2}, {"com.example.z", text("after")}};
    hfsbuild::Node packed = hfsbuild::fileNode("/packed.txt", packedText);
    packed.compression = 3;
    hfsbuild::Node shared = hfsbuild::fileNode("/my file.txt", "shared");
    shared.attributes = {{"com.example.shared", text("linked")}};
    v.nodes = {docs, a, fragmented, packed, shared, hfsbuild::hardLinkNode("/link", "/my file.txt"),
               hfsbuild::fileNode("/plain.txt", "p")};
    Data image = hfsbuild::buildVolume(v);
    std::string path = writeScratch("xattr.hfs", image);

    // The same volume with the big value's extents records gone: their start blocks no longer follow on.
    uint32_t bigID = hfsbuild::cnidOf(v, "/big.bin");
    for (uint32_t startBlock : {16u, 32u}) {
        Data key(12, 0);
        hfsbuild::putBE32(key, 0, bigID);
        hfsbuild::putBE32(key, 4, startBlock);
        hfsbuild::putBE16(key, 8, 15);
        hfsbuild::putBE16(key, 10, 'c');
        auto at = std::search(image.begin(), image.end(), key.begin(), key.end());
        ASSERT_NE(at, image.end()) << startBlock;
        hfsbuild::putBE32(image, static_cast<size_t>(at - image.begin()) + 4, 0);
    }
    std::string damaged = writeScratch("xattr-damaged.hfs", image);

    Data header = {'f', 'p', 'm', 'c', 3, 0, 0, 0};   // decmpfs: magic, type 3, then the size, little-endian
    for (int i = 0; i < 8; ++i) header.push_back(static_cast<uint8_t>(packedText.size() >> (8 * i)));
    Data decmpfs = header;
    Data zlib = hfsbuild::zlibCompress(text(packedText));
    decmpfs.insert(decmpfs.end(), zlib.begin(), zlib.end());

    struct Case {
        const char *name;
        std::string image, command, out, err;
        std::string written = "";      // the output file, whose content must be `value`
        Data value = {};
    };
    const Case cases[] = {
        {"inline values in name order, UTF-16 names as UTF-8", path, "xattr docs/a.txt",
         "0\tcom.example.empty\n2\tcom.example.na\xC3\xAFve-\xE5\x90\x8D\n11\tcom.example.one\n"
         "2\tcom.example/slash\n",
         ""},
        {"a folder", path, "xattr /docs/", "1\tcom.example.folder\n", ""},
        {"a fork-data value of 20 extents, then an inline one", path, "xattr big.bin",
         "20000\tcom.example.big\n5\tcom.example.z\n", ""},
        {"a compressed file's decmpfs attribute", path, "xattr packed.txt",
         std::to_string(decmpfs.size()) + "\tcom.apple.decmpfs\n", ""},
        {"a hard link lists its file's", path, "xattr link", "6\tcom.example.shared\n", ""},
        {"none", path, "xattr plain.txt", "", "plain.txt has no extended attributes\n"},
        {"no such path", path, "xattr nothing", "", "nothing not found\n"},
        {"an inline value", path, "xattr docs/a.txt com.example.one", "",
         "11 bytes written to /tmp/a.txt.com.example.one\n", "/tmp/a.txt.com.example.one", text("first value")},
        {"a non-ASCII name", path, "xattr docs/a.txt com.example.na\xC3\xAFve-\xE5\x90\x8D", "",
         "2 bytes written to /tmp/a.txt.com.example.na\xC3\xAFve-\xE5\x90\x8D\n",
         "/tmp/a.txt.com.example.na\xC3\xAFve-\xE5\x90\x8D", text("\xC3\xBC")},
        {"a '/' in the name stays in /tmp", path, "xattr docs/a.txt com.example/slash", "",
         "2 bytes written to /tmp/a.txt.com.example:slash\n", "/tmp/a.txt.com.example:slash", text("s/")},
        {"through all the extents records", path, "xattr big.bin com.example.big", "",
         "20000 bytes written to /tmp/big.bin.com.example.big\n", "/tmp/big.bin.com.example.big", big},
        {"decmpfs", path, "xattr packed.txt com.apple.decmpfs", "",
         std::to_string(decmpfs.size()) + " bytes written to /tmp/packed.txt.com.apple.decmpfs\n",
         "/tmp/packed.txt.com.apple.decmpfs", decmpfs},
        {"through a hard link, a space in the path", path, "xattr my\\ file.txt com.example.shared", "",
         "6 bytes written to /tmp/my file.txt.com.example.shared\n", "/tmp/my file.txt.com.example.shared",
         text("linked")},
        {"no such name", path, "xattr docs/a.txt com.example.none", "",
         "docs/a.txt has no extended attribute named com.example.none\n"},
        {"extents records gone: what the eight extents hold, and a failure", damaged, "xattr big.bin com.example.big",
         "",
         "big.bin: attribute com.example.big: only 8192 of its 20000 bytes could be read (its extents end early)\n"
         "8192 bytes written to /tmp/big.bin.com.example.big\n",
         "/tmp/big.bin.com.example.big", Data(big.begin(), big.begin() + 8192)},
        {"the listing is unchanged", damaged, "xattr big.bin", "20000\tcom.example.big\n5\tcom.example.z\n", ""},
    };
    const std::string P = prompt("X", "/");
    for (const Case &c : cases) {
        if (!c.written.empty()) unlink(c.written.c_str());
        RunResult r = runTarnwick({c.image}, "color\n" + c.command + "\n");
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_TRUE(r.err.ends_with(P + c.err + P + "Exiting\n")) << c.name << "\n" << r.err;
        if (c.written.empty()) continue;
        EXPECT_EQ(readWholeFile(c.written), c.value) << c.name;
        EXPECT_EQ(modeOf(c.written), 0600u) << c.name;
        unlink(c.written.c_str());
    }

    // ls -@ names them all, in the same order, under the entry; a folder's carry the value's size.
    std::string listed = runTarnwick({path}, "color\nls -@\nls -@ docs\n").out;
    for (const char *names : {"docs\n\tcom.example.folder 1\n\n", "big.bin\n\tcom.example.big\n\tcom.example.z\n\n",
                              "link\n\tcom.example.shared\n\n",
                              "a.txt\n\tcom.example.empty\n\tcom.example.na\xC3\xAFve-\xE5\x90\x8D\n"
                              "\tcom.example.one\n\tcom.example/slash\n\n"})
        EXPECT_NE(listed.find(names), std::string::npos) << names << listed;
}
