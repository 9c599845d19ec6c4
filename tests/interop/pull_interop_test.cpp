// pull and alloc checked against The Sleuth Kit: every file a volume holds pulls out with the bytes
// icat reads (TSK expands decmpfs zlib files itself, and follows the extents overflow file), and
// alloc's summary counts the bits of the allocation file icat returns. Volumes come from hfsbuild,
// from xorriso (HFS Plus inside an Apple Partition Map) and from Mac OS (the corpus).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "hfsbuild/hfsbuild.h"
#include "support.h"

namespace {

using hfsbuild::Node;
using hfsbuild::Volume;
using Bytes = std::vector<uint8_t>;

Node file(const std::string &path, Bytes data, uint32_t compression = 0, uint32_t extentBlocks = 0) {
    Node node;
    node.path = path;
    node.data = std::move(data);
    node.compression = compression;
    node.extentBlocks = extentBlocks;
    return node;
}

Bytes text(size_t size, const std::string &word) {
    Bytes out;
    for (size_t i = 0; out.size() < size; ++i) {
        std::string line = word + " " + std::to_string(i % 97) + "\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(size);
    return out;
}

Bytes noise(size_t size, uint32_t seed) {       // what zlib cannot shrink
    Bytes out;
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out.push_back(static_cast<uint8_t>(seed >> 23));
    }
    return out;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// ---- the volumes ----

constexpr size_t kBlock = 65536;   // a decmpfs block

// Small attribute nodes so that a file's attributes run over several leaves; inline payloads
// must then stay small.
Volume compressedFiles() {
    Volume v;
    v.label = "Compressed";
    v.attributesNodeSize = 512;
    v.nodes = {
        file("/inline/text.txt", text(3000, "inline"), 3),
        file("/inline/noise.bin", noise(300, 1), 3),                     // stored after 0xFF
        file("/inline/empty", {}, 3),
        file("/blocks/three.bin", joined({text(kBlock, "a"), noise(kBlock, 2), text(777, "c")}), 4),
        file("/blocks/exact.bin", text(2 * kBlock, "exact"), 4),
        file("/blocks/empty", {}, 4),
        file("/blocks/scattered.bin", noise(20000, 3), 4, 1),             // resource fork in 5 extents
        file("/plain/eight.bin", noise(8 * 4096, 4), 0, 1),              // exactly 8 extents
        file("/plain/text.txt", text(5000, "plain")),
        hfsbuild::symlinkNode("/plain/link", "../blocks/three.bin"),
        hfsbuild::hardLinkNode("/plain/hard.bin", "/blocks/three.bin"),
    };
    Node forced = file("/blocks/stored.bin", text(kBlock + 10, "stored"), 4);
    forced.storedBlocks = true;
    v.nodes.push_back(forced);
    Node storedInline = file("/inline/stored.txt", text(300, "kept"), 3);
    storedInline.storedBlocks = true;
    v.nodes.push_back(storedInline);

    // The decmpfs record sits leaves after the file's first attribute; another comes after it.
    Node spread = file("/inline/spread.txt", text(2000, "spread"), 3);
    for (int i = 0; i < 24; ++i) spread.attributes.push_back({"com.apple.a" + std::to_string(i), noise(40, i)});
    spread.attributes.push_back({"user.after", {'x'}});
    v.nodes.push_back(spread);
    Node tagged = file("/blocks/tagged.bin", text(kBlock + 1, "tagged"), 4);
    tagged.attributes = {{"com.apple.TextEncoding", {'u', 't', 'f', '-', '8'}}, {"com.apple.quarantine", {'q'}}};
    v.nodes.push_back(tagged);
    return v;
}

// Forks of more extents than a catalog record holds: the rest sit in the extents overflow file.
Volume overflowingForks() {
    Volume v;
    v.label = "Overflow";
    v.blockSize = 512;
    v.nodes = {file("/twenty.bin", noise(20 * 512, 5), 0, 1),              // 8 + 8 + 4 extents
               file("/before.txt", text(700, "before"), 0, 1)};
    Node compressed = file("/rsrc.bin", noise(5000, 6), 4, 1);             // resource fork of 11 extents
    v.nodes.push_back(compressed);
    return v;
}

// A volume a Mac has used for a while: the catalog continues in the overflow file, and forks of
// 9 to 60 extents are interleaved with each other's.
Volume fragmentedVolume() {
    Volume v;
    v.label = "Fragmented";
    v.blockSize = 512;
    v.catalogNodeSize = 512;
    v.catalogExtentBlocks = 3;
    v.interleave = true;
    for (int i = 0; i < 120; ++i) v.nodes.push_back(file("/many/file" + std::to_string(i), text(300, "many")));
    v.nodes.push_back(file("/big/sixty.bin", noise(60 * 512, 7), 0, 1));
    v.nodes.push_back(file("/big/nine.bin", noise(9 * 512 - 3, 8), 0, 1));
    v.nodes.push_back(file("/big/compressed.txt", joined({noise(20000, 9), text(40000, "z")}), 4, 1));
    return v;
}

// The demo plus files of decmpfs types that no reader expands.
Volume unsupportedTypes() {
    Volume v = hfsbuild::demoVolume();
    for (uint32_t type : {5u, 13u, 14u})
        v.nodes.push_back(file("/odd/type" + std::to_string(type), text(100, "payload"), type));
    return v;
}

// Files of every other decmpfs type: inline and in the resource fork, compressible and not, one
// block and several, forced stored.
Volume modernTypes() {
    Volume v;
    v.label = "Modern";
    for (uint32_t type : {1u, 7u, 9u, 11u}) {
        std::string name = "/inline/type" + std::to_string(type);
        v.nodes.push_back(file(name + ".txt", text(2500, "inline"), type));
        v.nodes.push_back(file(name + ".bin", noise(200, type), type));
    }
    for (uint32_t type : {8u, 10u, 12u}) {
        std::string name = "/fork/type" + std::to_string(type);
        v.nodes.push_back(file(name + ".txt", joined({text(kBlock, "a"), noise(kBlock, type), text(999, "c")}), type));
        v.nodes.push_back(file(name + "-exact.txt", text(2 * kBlock, "exact"), type));
        v.nodes.push_back(file(name + "-empty", {}, type));
        Node forced = file(name + "-stored.txt", text(kBlock + 10, "stored"), type);
        forced.storedBlocks = true;
        v.nodes.push_back(forced);
    }
    return v;
}

// ---- images and tools ----

struct Image {
    std::string path, why;          // why: the reason when path is empty
    uint64_t sector = 0;            // where the HFS Plus volume starts, for TSK's -o
    std::string icatOffset() const { return std::to_string(sector); }
};

RunResult tool(const std::vector<std::string> &argv) {
    RunResult r = runCommand(argv, "", {"TZ=UTC"});
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    return r;
}

// A file's content, or with `attribute` one of TSK's attributes (4353: the resource fork).
Bytes icat(const Image &image, uint32_t cnid, const std::string &attribute = "") {
    std::string id = std::to_string(cnid) + (attribute.empty() ? "" : "-" + attribute);
    std::string out = tool({"icat", "-o", image.icatOffset(), image.path, id}).out;
    return {out.begin(), out.end()};
}

// A tree on disk written by xorriso; TSK finds the volume through the partition mmls reports, the
// reader opens the partitioned image as it is.
Image xorrisoImage() {
    namespace fs = std::filesystem;
    if (!haveTool("xorriso") || !haveTool("mmls")) return {"", "xorriso or mmls is not installed"};
    fs::path root = scratchDir() + "/pull-xorriso";
    fs::create_directories(root / "sub/deeper");
    auto write = [&](const std::string &path, const Bytes &data) {
        std::ofstream(root / path, std::ios::binary).write(reinterpret_cast<const char *>(data.data()),
                                                          static_cast<std::streamsize>(data.size()));
    };
    write("a.txt", text(6, "hello"));
    write("empty", {});
    write("sub/noise.bin", noise(200000, 7));
    write("sub/deeper/numbers.txt", text(100000, "number"));
    write("with space.txt", text(5000, "spaced"));
    fs::create_symlink("a.txt", root / "link");
    std::string iso = scratchDir() + "/pull-xorriso.iso";
    if (runCommand({"xorriso", "-as", "mkisofs", "-hfsplus", "-o", iso, root.string()}).status != 0)
        return {"", "xorriso failed"};
    std::istringstream lines(runCommand({"mmls", iso}).out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Apple_HFS") == std::string::npos) continue;
        std::istringstream fields(line);
        std::string slot, partition;
        uint64_t start = 0;
        fields >> slot >> partition >> start;
        return {iso, "", start};
    }
    return {"", "mmls shows no Apple_HFS partition in xorriso's image"};
}

using MakeImage = Image (*)();

Image built(const char *name, Volume (*make)()) {
    return {writeScratch(std::string("pull-") + name + ".hfs", hfsbuild::buildVolume(make())), ""};
}

const std::map<std::string, MakeImage> kImages = {
    {"Demo", [] { return built("Demo", hfsbuild::demoVolume); }},
    {"Compressed", [] { return built("Compressed", compressedFiles); }},
    {"Overflow", [] { return built("Overflow", overflowingForks); }},
    {"Unsupported", [] { return built("Unsupported", unsupportedTypes); }},
    {"Modern", [] { return built("Modern", modernTypes); }},
    {"Fragmented", [] { return built("Fragmented", fragmentedVolume); }},
    {"Xorriso", xorrisoImage},
    {"CorpusHfsplus", [] {
         std::string path = corpusPath("dfvfs/hfsplus.raw");
         return Image{path, path.empty() ? "../shared/corpus is not present" : ""};
     }},
};

const Image &image(const std::string &name) {
    static std::map<std::string, Image> made;
    if (!made.contains(name)) made[name] = kImages.at(name)();
    return made[name];
}

struct Listed {
    uint32_t cnid;
    std::string path;               // from the root, without a leading "/"
};

// Regular files and symbolic links as fls lists them; TSK's own metadata files ("$...") and names
// with control characters, which fls shows as '^' (the hard-link folder), are left out.
std::vector<Listed> listedFiles(const Image &image) {
    std::vector<Listed> files;
    std::istringstream lines(tool({"fls", "-r", "-p", "-o", image.icatOffset(), image.path}).out);
    for (std::string line; std::getline(lines, line);) {
        size_t tab = line.find('\t');
        bool fileOrLink = line.starts_with("r/r ") || line.starts_with("l/l ");
        if (tab == std::string::npos || !fileOrLink || !isdigit(static_cast<unsigned char>(line[4]))) continue;
        std::string path = line.substr(tab + 1);
        if (path.starts_with("$") || path.find('^') != std::string::npos) continue;
        files.push_back({static_cast<uint32_t>(std::stoul(line.substr(4))), path});
    }
    return files;
}

struct Pulled {
    std::string err;
    std::optional<Bytes> data;      // what /tmp/NAME holds afterwards; none when not written
};

Pulled pull(const std::string &imagePath, const std::string &path) {
    std::string out = "/tmp/" + path.substr(path.rfind('/') + 1);
    unlink(out.c_str());
    RunResult r = runTarnwick({imagePath}, "pull " + path + "\n");
    Pulled pulled{r.err, std::nullopt};
    if (access(out.c_str(), F_OK) == 0) pulled.data = readWholeFile(out);
    unlink(out.c_str());
    return pulled;
}

std::string written(size_t bytes, const std::string &path) {
    return std::to_string(bytes) + " bytes written to /tmp/" + path.substr(path.rfind('/') + 1) + "\n";
}

class PullTsk : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (!haveTool("fls") || !haveTool("icat")) GTEST_SKIP() << "The Sleuth Kit (fls, icat) is not installed";
        if (image(GetParam()).path.empty()) GTEST_SKIP() << GetParam() << ": " << image(GetParam()).why;
    }
};

// ---- pull ----

using PullMatchesIcat = PullTsk;

TEST_P(PullMatchesIcat, EveryFile) {
    const Image &img = image(GetParam());
    std::vector<Listed> files = listedFiles(img);
    ASSERT_FALSE(files.empty());
    for (const Listed &f : files) {
        Bytes expected = icat(img, f.cnid);
        Pulled pulled = pull(img.path, f.path);
        EXPECT_NE(pulled.err.find(written(expected.size(), f.path)), std::string::npos) << f.path << "\n" << pulled.err;
        EXPECT_TRUE(pulled.data == expected) << f.path;
    }
}

// PATH/..namedfork/rsrc is the resource fork as stored (here the compressed data), as TSK reads it.
TEST(PullResourceFork, MatchesIcatsResourceAttribute) {
    if (!haveTool("icat")) GTEST_SKIP() << "The Sleuth Kit (icat) is not installed";
    const Image &img = image("Compressed");
    std::map<std::string, uint32_t> cnids;   // fls gives a hard-linked file its indirect node
    for (const Listed &f : listedFiles(img)) cnids["/" + f.path] = f.cnid;
    for (const Node &node : compressedFiles().nodes) {
        if (node.compression != 4 || node.data.empty()) continue;
        Bytes expected = icat(img, cnids[node.path], "4353");
        Pulled pulled = pull(img.path, node.path + "/..namedfork/rsrc");
        std::string name = node.path.substr(node.path.rfind('/') + 1) + ".rsrc";
        EXPECT_NE(pulled.err.find(std::to_string(expected.size()) + " bytes written to /tmp/" + name + "\n"),
                  std::string::npos) << node.path << pulled.err;
        EXPECT_TRUE(readWholeFile("/tmp/" + name) == expected) << node.path;
        unlink(("/tmp/" + name).c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Pull, PullMatchesIcat, ::testing::Values("Demo", "Compressed", "Overflow", "Fragmented", "Xorriso"),
                         [](const auto &info) { return info.param; });

// Checks the builder more than the reader: TSK must read back each file's content, compressed or
// spread over the extents overflow file, under every name (fls gives a hard link its indirect node).
using PullBuilderContent = PullTsk;

TEST_P(PullBuilderContent, IcatReadsWhatWasWritten) {
    const Image &img = image(GetParam());
    Volume v = GetParam() == "Compressed" ? compressedFiles() : overflowingForks();
    std::map<std::string, uint32_t> cnids;
    for (const Listed &f : listedFiles(img)) cnids["/" + f.path] = f.cnid;
    for (const Node &node : v.nodes) {
        const Node *content = &node;
        for (const Node &other : v.nodes)
            if (other.path == node.hardLinkTo) content = &other;
        ASSERT_TRUE(cnids.contains(node.path)) << node.path;
        EXPECT_TRUE(icat(img, cnids[node.path]) == content->data) << node.path;
    }
}

INSTANTIATE_TEST_SUITE_P(Pull, PullBuilderContent, ::testing::Values("Compressed", "Overflow"),
                         [](const auto &info) { return info.param; });

// Without its overflow records a fork ends early: pull says so, copies what the extents hold and
// nothing after it, and fails.
TEST(PullOverflow, ShortForksAreReportedNotPadded) {
    Volume v = overflowingForks();
    Bytes image = hfsbuild::buildVolume(v);
    for (int i = 0; i < 4; ++i) image[1024 + 192 + 12 + i] = 0;   // the extents file's totalBlocks
    std::string path = writeScratch("overflow-lost.hfs", image);
    Pulled pulled = pull(path, "twenty.bin");
    EXPECT_NE(pulled.err.find("twenty.bin: only 4096 of its fork's 10240 bytes could be read (its extents end early)\n"),
              std::string::npos) << pulled.err;
    ASSERT_TRUE(pulled.data.has_value()) << pulled.err;
    EXPECT_TRUE(*pulled.data == Bytes(v.nodes[0].data.begin(), v.nodes[0].data.begin() + 4096));
}

// `extents` and `dump` show the overflow records: for each file, the blocks they list are the ones
// istat lists past the eighth extent (the builder's extents here are one block each).
TEST(PullOverflow, ExtentsDumpListsTheBlocksIstatShows) {
    if (!haveTool("istat")) GTEST_SKIP() << "The Sleuth Kit (istat) is not installed";
    const Image &img = image("Overflow");
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
        std::string istat = tool({"istat", "-o", img.icatOffset(), img.path, std::to_string(cnid)}).out;
        std::string heading = fork == std::string("data") ? "Data Fork Blocks:" : "Resource Fork Blocks:";
        std::istringstream blocks(istat.substr(istat.find(heading) + heading.size()));
        for (uint64_t block; blocks >> block;) listed.push_back(block);
        ASSERT_GT(listed.size(), 8u) << istat;
        EXPECT_EQ(shown, std::vector<uint64_t>(listed.begin() + 8, listed.end())) << cnid << " " << fork << "\n" << dump;
    }
}

// Every type pulls byte for byte; TSK, which reads the LZVN types, agrees on those.
TEST(PullCompression, EveryTypePullsItsContent) {
    const Image &img = image("Modern");
    Volume v = modernTypes();
    for (const Node &node : v.nodes) {
        Pulled pulled = pull(img.path, node.path);
        EXPECT_NE(pulled.err.find(written(node.data.size(), node.path)), std::string::npos) << node.path << pulled.err;
        EXPECT_TRUE(pulled.data == node.data) << node.path;
        bool lzvn = node.compression == 7 || node.compression == 8;
        if (lzvn && haveTool("icat")) {
            EXPECT_TRUE(icat(img, hfsbuild::cnidOf(v, node.path)) == node.data) << node.path;
        }
    }
    RunResult listed = runTarnwick({img.path}, "cd /fork\nls -O\n");
    EXPECT_NE(listed.out.find(" 131072 "), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(" compressed"), std::string::npos) << listed.out;
}

TEST(PullCompression, UnsupportedTypesWriteNothing) {
    const Image &img = image("Unsupported");
    for (uint32_t type : {5u, 13u, 14u}) {
        std::string name = "type" + std::to_string(type);
        Pulled pulled = pull(img.path, "odd/" + name);
        EXPECT_NE(pulled.err.find("odd/" + name + " uses a compression Tarnwick does not read (type " +
                                  std::to_string(type) + ")\n"),
                  std::string::npos) << name << "\n" << pulled.err;
        EXPECT_EQ(pulled.err.find("bytes written"), std::string::npos) << name;
        EXPECT_FALSE(pulled.data.has_value()) << name;
    }
}

// ---- alloc ----

std::string fsstatField(const Image &img, const std::string &name) {
    std::istringstream lines(tool({"fsstat", "-o", img.icatOffset(), img.path}).out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(name + ": ")) return line.substr(name.size() + 2);
    return "";
}

using PullAlloc = PullTsk;

TEST_P(PullAlloc, SummaryCountsTheBitmapTskReads) {
    const Image &img = image(GetParam());
    Bytes bitmap = icat(img, 6);   // the allocation file
    ASSERT_FALSE(bitmap.empty());
    long long used = 0, bits = 8 * static_cast<long long>(bitmap.size());
    for (uint8_t byte : bitmap) used += __builtin_popcount(byte);
    std::string blockSizeField = fsstatField(img, "Allocation Block Size");
    ASSERT_FALSE(blockSizeField.empty());
    long long blockSize = std::stoll(blockSizeField);
    char expected[160];
    snprintf(expected, sizeof expected, "%lld/%lld Allocation blocks used (%2llu%%). Disk size: %lld\n", used, bits,
             static_cast<unsigned long long>(used * 100 / bits), bits * blockSize);

    unlink("/tmp/allocation.html");
    RunResult r = runTarnwick({img.path}, "alloc\n");
    unlink("/tmp/allocation.html");
    EXPECT_NE(r.out.find(expected), std::string::npos) << "expected " << expected << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Pull, PullAlloc,
                         ::testing::Values("Demo", "Compressed", "Overflow", "Fragmented", "Xorriso", "CorpusHfsplus"),
                         [](const auto &info) { return info.param; });

}  // namespace
