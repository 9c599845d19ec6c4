// pull and alloc checked against The Sleuth Kit: every file pulls out with the bytes icat reads
// (TSK expands decmpfs zlib and LZVN files and follows the extents overflow file), and alloc's
// summary counts the bits of the allocation file icat returns.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "hfsbuild/hfsbuild.h"
#include "interop.h"

namespace {

using hfsbuild::Node;
using hfsbuild::Volume;

Node file(const std::string &path, Bytes data, uint32_t compression = 0, uint32_t extentBlocks = 0, bool stored = false) {
    Node node = hfsbuild::fileNode(path, std::move(data));
    node.compression = compression, node.extentBlocks = extentBlocks, node.storedBlocks = stored;
    return node;
}

constexpr size_t kBlock = 65536;   // a decmpfs block

// Small attribute nodes, so that a file's attributes run over several leaves.
Volume compressedFiles() {
    Volume v;
    v.label = "Compressed";
    v.attributesNodeSize = 512;
    v.nodes = {file("/inline/text.txt", wordLines(3000, "inline"), 3), file("/inline/noise.bin", noise(300, 1), 3),
               file("/inline/empty", {}, 3), file("/inline/stored.txt", wordLines(300, "kept"), 3, 0, true),
               file("/blocks/three.bin", joined({wordLines(kBlock, "a"), noise(kBlock, 2), wordLines(777, "c")}), 4),
               file("/blocks/exact.bin", wordLines(2 * kBlock, "exact"), 4), file("/blocks/empty", {}, 4),
               file("/blocks/scattered.bin", noise(20000, 3), 4, 1),     // resource fork in 5 extents
               file("/blocks/stored.bin", wordLines(kBlock + 10, "stored"), 4, 0, true),
               file("/plain/eight.bin", noise(8 * 4096, 4), 0, 1),      // exactly 8 extents
               file("/plain/text.txt", wordLines(5000, "plain")), hfsbuild::symlinkNode("/plain/link", "../blocks/three.bin"),
               hfsbuild::hardLinkNode("/plain/hard.bin", "/blocks/three.bin")};
    // The decmpfs record sits leaves after the file's first attribute; another comes after it.
    Node spread = file("/inline/spread.txt", wordLines(2000, "spread"), 3);
    for (int i = 0; i < 24; ++i) spread.attributes.push_back({"com.apple.a" + std::to_string(i), noise(40, i)});
    spread.attributes.push_back({"user.after", {'x'}});
    Node tagged = file("/blocks/tagged.bin", wordLines(kBlock + 1, "tagged"), 4);
    tagged.attributes = {{"com.apple.TextEncoding", {'u', 't', 'f', '-', '8'}}, {"com.apple.quarantine", {'q'}}};
    v.nodes.insert(v.nodes.end(), {spread, tagged});
    return v;
}

// Forks of more extents than a catalog record holds: 8 + 8 + 4, and a resource fork of 11.
Volume overflowingForks() {
    Volume v;
    v.label = "Overflow";
    v.blockSize = 512;
    v.nodes = {file("/twenty.bin", noise(20 * 512, 5), 0, 1), file("/before.txt", wordLines(700, "before"), 0, 1),
               file("/rsrc.bin", noise(5000, 6), 4, 1)};
    return v;
}

// As a Mac leaves a used volume: the catalog continues in the overflow file, forks interleave.
Volume fragmentedVolume() {
    Volume v;
    v.label = "Fragmented";
    v.blockSize = v.catalogNodeSize = 512;
    v.catalogExtentBlocks = 3;
    v.interleave = true;
    for (int i = 0; i < 120; ++i) v.nodes.push_back(file("/many/file" + std::to_string(i), wordLines(300, "many")));
    v.nodes.insert(v.nodes.end(), {file("/big/sixty.bin", noise(60 * 512, 7), 0, 1), file("/big/nine.bin", noise(9 * 512 - 3, 8), 0, 1),
                                   file("/big/compressed.txt", joined({noise(20000, 9), wordLines(40000, "z")}), 4, 1)});
    return v;
}

// Every other decmpfs type: inline and in the resource fork, one block and several, forced stored;
// and types no reader expands.
Volume modernTypes() {
    Volume v = hfsbuild::demoVolume();
    for (uint32_t type : {1u, 7u, 9u, 11u}) {
        std::string name = "/inline/type" + std::to_string(type);
        v.nodes.push_back(file(name + ".txt", wordLines(2500, "inline"), type));
        v.nodes.push_back(file(name + ".bin", noise(200, type), type));
    }
    for (uint32_t type : {8u, 10u, 12u}) {
        std::string name = "/fork/type" + std::to_string(type);
        v.nodes.push_back(file(name + ".txt", joined({wordLines(kBlock, "a"), noise(kBlock, type), wordLines(999, "c")}), type));
        v.nodes.push_back(file(name + "-exact.txt", wordLines(2 * kBlock, "exact"), type));
        v.nodes.push_back(file(name + "-empty", {}, type));
        v.nodes.push_back(file(name + "-stored.txt", wordLines(kBlock + 10, "stored"), type, 0, true));
    }
    for (uint32_t type : {5u, 13u, 14u}) v.nodes.push_back(file("/odd/type" + std::to_string(type), wordLines(100, "payload"), type));
    return v;
}

const std::map<std::string, Volume (*)()> kVolumes = {{"Demo", hfsbuild::demoVolume}, {"Compressed", compressedFiles},
                                                      {"Overflow", overflowingForks}, {"Fragmented", fragmentedVolume},
                                                      {"Modern", modernTypes}};

const OutsideImage &image(const std::string &name) { return testImage(name, kVolumes.contains(name) ? kVolumes.at(name) : nullptr); }

// A file's content, or with `attribute` one of TSK's attributes (4353: the resource fork).
Bytes icat(const OutsideImage &img, uint32_t cnid, const std::string &attribute = "") {
    std::string out = tool({"icat", "-o", img.offset(), img.path, std::to_string(cnid) + attribute}).out;
    return {out.begin(), out.end()};
}

// Regular files and links by path ("/a/b"); names with '^' (the hard-link folder) left out.
std::map<std::string, uint32_t> filesOf(const OutsideImage &img) {
    std::map<std::string, uint32_t> files;
    for (const FlsEntry &e : flsTree(img.path, img.sector))
        if (e.type != 'd' && e.path.find('^') == std::string::npos) files["/" + e.path] = e.cnid;
    return files;
}

// `pull PATH` (with ".rsrc": PATH/..namedfork/rsrc) and what it wrote to /tmp.
ShellRun pull(const std::string &imagePath, const std::string &path, const std::string &suffix = "") {
    return shell(imagePath, "pull " + path + (suffix.empty() ? "" : "/..namedfork/rsrc") + "\n",
                 path.substr(path.rfind('/') + 1) + suffix);
}

void expectPulled(const ShellRun &p, const std::string &path, const Bytes &expected, const std::string &suffix = "") {
    std::string name = path.substr(path.rfind('/') + 1) + suffix;
    EXPECT_NE(p.err.find(std::to_string(expected.size()) + " bytes written to /tmp/" + name + "\n"), std::string::npos)
        << path << "\n" << p.err;
    EXPECT_TRUE(p.written == expected) << path;
}

class PullTsk : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!haveTool("fls") || !haveTool("icat")) GTEST_SKIP() << "The Sleuth Kit (fls, icat) is not installed";
        if (img.path.empty()) GTEST_SKIP() << GetParam() << ": " << img.why;
    }
    const OutsideImage &img = image(GetParam());
};

// Every file pulls as icat reads it; on built volumes icat reads what was written, under every
// name, and the resource fork of a compressed file (PATH/..namedfork/rsrc) pulls as stored.
using PullMatchesIcat = PullTsk;

TEST_P(PullMatchesIcat, EveryFile) {
    std::map<std::string, uint32_t> files = filesOf(img);
    ASSERT_FALSE(files.empty());
    for (const auto &[path, cnid] : files) expectPulled(pull(img.path, path), path, icat(img, cnid));
    if (!kVolumes.contains(GetParam())) return;
    Volume v = kVolumes.at(GetParam())();
    for (const Node &node : v.nodes) {
        const Node *content = &node;
        for (const Node &other : v.nodes)
            if (other.path == node.hardLinkTo) content = &other;
        if (node.folder || node.symlink) continue;
        ASSERT_TRUE(files.contains(node.path)) << node.path;
        EXPECT_TRUE(icat(img, files[node.path]) == content->data) << node.path;
        if (node.compression == 4 && !node.data.empty())
            expectPulled(pull(img.path, node.path, ".rsrc"), node.path, icat(img, files[node.path], "-4353"), ".rsrc");
    }
}

INSTANTIATE_TEST_SUITE_P(Pull, PullMatchesIcat, ::testing::Values("Demo", "Compressed", "Overflow", "Fragmented", "Xorriso"),
                         [](const auto &info) { return info.param; });

// Without its overflow records a fork ends early: pull says so, copies what the extents hold and
// nothing after it, and fails.
TEST(PullOverflow, ShortForksAreReportedNotPadded) {
    Bytes image = hfsbuild::buildVolume(overflowingForks());
    for (int i = 0; i < 4; ++i) image[1024 + 192 + 12 + i] = 0;   // the extents file's totalBlocks
    ShellRun pulled = pull(writeScratch("overflow-lost.hfs", image), "twenty.bin");
    EXPECT_NE(pulled.err.find("twenty.bin: only 4096 of its fork's 10240 bytes could be read (its extents end early)\n"),
              std::string::npos) << pulled.err;
    Bytes all = overflowingForks().nodes[0].data;
    EXPECT_TRUE(pulled.written == Bytes(all.begin(), all.begin() + 4096));
}

// `extents` and `dump` show the overflow records: for each file, the blocks they list are the ones
// istat lists past the eighth extent (the builder's extents here are one block each).
TEST(PullOverflow, ExtentsDumpListsTheBlocksIstatShows) {
    if (!haveTool("istat")) GTEST_SKIP() << "The Sleuth Kit (istat) is not installed";
    const OutsideImage &img = image("Overflow");
    std::string dump = runTarnwick({img.path}, "extents\ndump\n").out;
    ASSERT_NE(dump.find("extents B-Tree dump:\n"), std::string::npos) << dump;
    for (auto [cnid, fork] : {std::pair{16u, "data"}, {18u, "resource"}}) {
        std::vector<uint64_t> listed, shown;
        std::istringstream lines(dump);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with(std::to_string(cnid) + ", " + fork + ", ")) continue;
            std::istringstream pairs(line.substr(line.find(':') + 1));
            char open, comma, close;
            for (uint64_t start, count; pairs >> open >> start >> comma >> count >> close;)
                for (uint64_t b = 0; b < count; ++b) shown.push_back(start + b);
        }
        std::string istat = tool({"istat", img.path, std::to_string(cnid)}).out;
        std::string heading = fork == std::string("data") ? "Data Fork Blocks:" : "Resource Fork Blocks:";
        std::istringstream blocks(istat.substr(istat.find(heading) + heading.size()));
        for (uint64_t block; blocks >> block;) listed.push_back(block);
        ASSERT_GT(listed.size(), 8u) << istat;
        EXPECT_EQ(shown, std::vector<uint64_t>(listed.begin() + 8, listed.end())) << cnid << " " << fork << "\n" << dump;
    }
}

// Every type pulls byte for byte (TSK, which reads the LZVN types, agrees on those); the types no
// reader expands are named and write nothing.
TEST(PullCompression, EveryTypePullsItsContent) {
    const OutsideImage &img = image("Modern");
    Volume v = modernTypes();
    for (const Node &node : v.nodes) {
        if (node.compression == 0 || node.folder) continue;
        ShellRun pulled = pull(img.path, node.path);
        if (node.compression == 5 || node.compression >= 13) {
            std::string path = node.path.substr(1);
            EXPECT_NE(pulled.err.find(path + " uses a compression Tarnwick does not read (type " +
                                      std::to_string(node.compression) + ")\n"), std::string::npos) << pulled.err;
            EXPECT_EQ(pulled.err.find("bytes written"), std::string::npos) << path;
            EXPECT_FALSE(pulled.written.has_value()) << path;
            continue;
        }
        expectPulled(pulled, node.path, node.data);
        if ((node.compression == 7 || node.compression == 8) && haveTool("icat")) {
            EXPECT_TRUE(icat(img, hfsbuild::cnidOf(v, node.path)) == node.data) << node.path;
        }
    }
    RunResult listed = runTarnwick({img.path}, "cd /fork\nls -O\n");
    EXPECT_NE(listed.out.find(" 131072 "), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(" compressed"), std::string::npos) << listed.out;
}

using PullAlloc = PullTsk;

TEST_P(PullAlloc, SummaryCountsTheBitmapTskReads) {
    Bytes bitmap = icat(img, 6);   // the allocation file
    ASSERT_FALSE(bitmap.empty());
    long long used = 0, bits = 8 * static_cast<long long>(bitmap.size());
    for (uint8_t byte : bitmap) used += __builtin_popcount(byte);
    long long blockSize = std::stoll("0" + fieldOf(tool({"fsstat", "-o", img.offset(), img.path}).out, "Allocation Block Size"));
    ASSERT_GT(blockSize, 0);
    char expected[160];
    snprintf(expected, sizeof expected, "%lld/%lld Allocation blocks used (%2llu%%). Disk size: %lld\n", used, bits,
             static_cast<unsigned long long>(used * 100 / bits), bits * blockSize);
    ShellRun r = shell(img.path, "alloc\n", "allocation.html");
    EXPECT_NE(r.out.find(expected), std::string::npos) << "expected " << expected << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Pull, PullAlloc,
                         ::testing::Values("Demo", "Compressed", "Overflow", "Fragmented", "Xorriso", "CorpusHfsplus"),
                         [](const auto &info) { return info.param; });

}  // namespace
