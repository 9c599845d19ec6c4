// Volumes fragmented as a well-used Mac leaves them, read back by The Sleuth Kit and 7-Zip: both
// must follow every extent the builder spreads over the extents overflow file and the attributes
// file. TSK 4.11 gives up on a file with an attribute value in fork data, and 7-Zip on such a value
// past eight extents, so those values are also read straight from the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "hfsbuild/hfsbuild.h"
#include "interop.h"

namespace {

using hfsbuild::Attribute;
using hfsbuild::Node;
using hfsbuild::Volume;

Node file(const std::string &path, Bytes data, uint32_t extentBlocks = 0, uint32_t compression = 0) {
    Node node = hfsbuild::fileNode(path, std::move(data));
    node.extentBlocks = extentBlocks;
    node.compression = compression;
    return node;
}

Attribute inFork(const std::string &name, Bytes value, uint32_t extentBlocks) {
    Attribute a{name, std::move(value)};
    a.forkData = true;
    a.extentBlocks = extentBlocks;
    return a;
}

uint64_t extentsOf(uint64_t bytes, uint32_t blockSize, uint32_t extentBlocks) {
    uint64_t blocks = (bytes + blockSize - 1) / blockSize;
    return extentBlocks ? (blocks + extentBlocks - 1) / extentBlocks : blocks > 0;
}

uint64_t be(const Bytes &b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | b.at(at + i);
    return v;
}

struct Case {
    const char *name;
    Volume (*make)();
};

// All 512-byte blocks, so that small content spans many extents.
const Case kCases[] = {
    {"Catalog", [] {        // 300 files in 512-byte nodes: a catalog of some 340 blocks in 3-block extents
         Volume v;
         v.blockSize = v.catalogNodeSize = 512;
         v.catalogExtentBlocks = 3;
         for (int i = 0; i < 300; ++i)
             v.nodes.push_back(file("/d" + std::to_string(i % 6) + "/file" + std::to_string(i), noise(i, i)));
         return v;
     }},
    {"Attributes", [] {     // 180 attributes in 512-byte nodes: some 40 one-block extents
         Volume v;
         v.blockSize = v.attributesNodeSize = 512;
         v.attributesExtentBlocks = 1;
         for (int f = 0; f < 3; ++f) {
             Node node = file("/tagged" + std::to_string(f), noise(100, f));
             for (int i = 0; i < 60; ++i) node.attributes.push_back({"user.a" + std::to_string(i), noise(40, i)});
             v.nodes.push_back(node);
         }
         return v;
     }},
    {"Interleaved", [] {    // forks of 9, 100, 79 and 18 extents, dealt out one extent at a time
         Volume v;
         v.blockSize = 512;
         v.interleave = true;
         v.nodes = {file("/data/nine.bin", noise(9 * 512 - 100, 1), 1), file("/plain.txt", noise(700, 2)),
                    file("/data/hundred.bin", noise(100 * 512, 3), 1), file("/rsrc/one.bin", noise(40000, 4), 1, 4),
                    file("/rsrc/eight.bin", noise(70000, 5), 8, 4)};
         return v;
     }},
    {"ForkAttributes", [] { // values in blocks: 11 extents (past the fork record), exactly 8, and one
         Volume v;
         v.blockSize = 512;
         Node big = file("/big.txt", noise(10, 1));
         big.attributes = {inFork("com.example.big", noise(20 * 512 + 7, 2), 2), {"user.inline", noise(30, 3)}};
         Node eight = file("/eight.txt", noise(10, 4));
         eight.attributes = {inFork("com.example.eight", noise(8 * 512, 5), 1),
                             inFork("user.whole", noise(3000, 6), 0)};
         v.nodes = {big, eight, file("/plain.txt", noise(600, 7), 1)};
         return v;
     }},
};

// The runs of blocks istat lists under `heading` ("53  57-58 ..."), touching ones merged.
std::vector<std::pair<uint64_t, uint64_t>> runsUnder(const std::string &istat, const std::string &heading) {
    std::vector<std::pair<uint64_t, uint64_t>> runs;
    size_t at = istat.find(heading + "\n");
    std::istringstream lines(at == std::string::npos ? "" : istat.substr(at + heading.size() + 1));
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        std::istringstream tokens(line);
        for (std::string t; tokens >> t;) {
            size_t dash = t.find('-');
            uint64_t first = std::stoull(t), last = dash == std::string::npos ? first : std::stoull(t.substr(dash + 1));
            if (!runs.empty() && runs.back().second + 1 == first) runs.back().second = last;
            else runs.push_back({first, last});
        }
    }
    return runs;
}

// A value in blocks as its attribute records map it: the fork record (0x20), then the extents
// records (0x30), each keyed by the value blocks before it.
Bytes forkValue(const Bytes &image, const Bytes &tree, uint32_t cnid, const std::string &name) {
    const uint64_t blockSize = be(image, 1024 + 40, 4), nodeSize = be(tree, 14 + 18, 2);
    Bytes value;
    uint64_t size = 0, total = 0, blocks = 0;
    for (uint64_t node = be(tree, 14 + 10, 4); node; node = be(tree, node * nodeSize, 4)) {
        for (uint64_t i = 0, start = node * nodeSize; i < be(tree, start + 10, 2); ++i) {
            size_t key = start + be(tree, start + nodeSize - 2 * (i + 1), 2);
            std::string keyName;
            for (uint64_t k = 0; k < be(tree, key + 12, 2); ++k)
                keyName += static_cast<char>(be(tree, key + 14 + 2 * k, 2));
            if (be(tree, key + 4, 4) != cnid || keyName != name) continue;
            EXPECT_EQ(be(tree, key + 8, 4), blocks) << name << ": startBlock";
            size_t record = key + 2 + be(tree, key, 2);
            bool fork = be(tree, record, 4) == 0x20;
            if (fork) {
                size = be(tree, record + 8, 8);
                total = be(tree, record + 20, 4);
            }
            for (size_t x = record + (fork ? 24 : 8); x < record + (fork ? 88 : 72); x += 8) {
                uint64_t first = be(tree, x, 4), count = be(tree, x + 4, 4);
                auto from = image.begin() + static_cast<std::ptrdiff_t>(first * blockSize);
                value.insert(value.end(), from, from + static_cast<std::ptrdiff_t>(count * blockSize));
                blocks += count;
            }
        }
    }
    EXPECT_EQ(blocks, total) << name << ": totalBlocks";
    value.resize(std::min<size_t>(value.size(), size));
    return value;
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class FragmentedVolume : public ::testing::TestWithParam<Case> {};

TEST_P(FragmentedVolume, ReadersFollowEveryExtent) {
    for (const char *tool : {"fsstat", "fls", "icat", "istat"})
        if (!haveTool(tool)) GTEST_SKIP() << "The Sleuth Kit (" << tool << ") is not installed";
    const Volume v = GetParam().make();
    const Bytes image = hfsbuild::buildVolume(v);
    const std::string path = writeScratch(std::string("fragmented-") + GetParam().name + ".hfs", image);
    const uint32_t bs = v.blockSize;

    // The header's eight extents must leave some to the overflow file, or the case tests nothing;
    // the catalog's and the attributes file's fork data sit at 1024 + 272 and 1024 + 352.
    for (auto [fork, extentBlocks] : {std::pair{1296, v.catalogExtentBlocks}, {1376, v.attributesExtentBlocks}}) {
        uint64_t inHeader = 0;
        for (int k = 0; k < 8; ++k) inHeader += be(image, fork + 20 + 8 * k, 4);
        if (extentBlocks) {
            EXPECT_LT(inHeader, be(image, fork + 12, 4)) << "fork at " << fork;
        }
    }
    EXPECT_NE(tool({"fsstat", path}).out.find("File System Type: HFS+\n"), std::string::npos);

    std::map<std::string, uint64_t> listed, expected;    // path -> CNID
    for (const FlsEntry &e : flsTree(path)) listed[e.path] = e.cnid;
    for (const Node &node : v.nodes)
        for (size_t slash = node.path.find('/', 1);; slash = node.path.find('/', slash + 1)) {
            std::string prefix = node.path.substr(0, slash);
            expected[prefix.substr(1)] = hfsbuild::cnidOf(v, prefix);
            if (slash == std::string::npos) break;
        }
    EXPECT_EQ(listed, expected);

    const std::string attributesOut = tool({"icat", path, "8"}).out;
    const Bytes attributesFile(attributesOut.begin(), attributesOut.end());
    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> fragmentedForks;
    for (const Node &node : v.nodes) {
        const uint32_t cnid = hfsbuild::cnidOf(v, node.path);
        bool tskGivesUp = false;
        for (const Attribute &a : node.attributes)
            if (a.forkData) {
                tskGivesUp = true;
                EXPECT_TRUE(forkValue(image, attributesFile, cnid, a.name) == a.value) << node.path << ":" << a.name;
            }
        if (tskGivesUp) continue;
        std::string out = tool({"icat", path, std::to_string(cnid)}).out;
        EXPECT_TRUE(Bytes(out.begin(), out.end()) == node.data) << node.path;
        if (!node.extentBlocks) continue;
        // One run per extent: the builder never lets two extents of a fork touch.
        std::string istat = tool({"istat", path, std::to_string(cnid)}).out;
        size_t rsrc = istat.find("Resource fork size:\t");
        uint64_t rsrcSize = rsrc == std::string::npos ? 0 : std::stoull(istat.substr(rsrc + 20));
        auto data = runsUnder(istat, "Data Fork Blocks:"), resource = runsUnder(istat, "Resource Fork Blocks:");
        EXPECT_EQ(data.size(), extentsOf(node.compression ? 0 : node.data.size(), bs, node.extentBlocks)) << node.path;
        EXPECT_EQ(resource.size(), extentsOf(rsrcSize, bs, node.extentBlocks)) << node.path << " " << rsrcSize;
        fragmentedForks.push_back(data.empty() ? resource : data);
    }
    // Interleaved, another file's extents sit within every fragmented fork's span.
    for (const auto &fork : fragmentedForks) {
        if (fork.empty()) continue;
        auto within = [&](const auto &run) { return run.first > fork.front().first && run.first < fork.back().second; };
        bool alternates = std::any_of(fragmentedForks.begin(), fragmentedForks.end(), [&](const auto &other) {
            return &other != &fork && std::any_of(other.begin(), other.end(), within);
        });
        EXPECT_EQ(alternates, v.interleave && fork.size() > 1) << fork.size() << " runs from " << fork.front().first;
    }

    if (!haveTool("7zz")) GTEST_SKIP() << "7zz is not installed: checked with The Sleuth Kit only";
    // 7-Zip lists a value past eight extents but calls it an unsupported feature, and extracts nothing of it.
    std::map<std::string, const Bytes *> streams;       // path (":attribute") -> content 7-Zip should extract
    int status = 0;
    for (const auto &[listedPath, cnid] : expected) streams[listedPath] = nullptr;
    for (const Node &node : v.nodes) {
        streams[node.path.substr(1)] = &node.data;
        for (const Attribute &a : node.attributes) {
            bool readable = !a.forkData || extentsOf(a.value.size(), bs, a.extentBlocks) <= 8;
            streams[node.path.substr(1) + ":" + a.name] = readable ? &a.value : nullptr;
            status = readable ? status : 2;
        }
    }
    std::set<std::string> sevenZipListed, names;
    std::istringstream listing(tool({"7zz", "l", "-slt", "-sns", "-thfs", path}, status).out);
    for (std::string line; std::getline(listing, line);)
        if (line.starts_with("Path = " + v.label + "/")) sevenZipListed.insert(line.substr(8 + v.label.size()));
    for (const auto &[name, content] : streams) names.insert(name);
    EXPECT_EQ(sevenZipListed, names);
    std::string out = scratchDir() + "/fragmented-7z-" + GetParam().name;
    tool({"7zz", "x", "-y", "-sns", "-thfs", "-o" + out, path}, status);
    for (const auto &[name, content] : streams)
        if (content) {
            EXPECT_TRUE(readWholeFile(out + "/" + v.label + "/" + name) == *content) << name;
        }
}

INSTANTIATE_TEST_SUITE_P(Fragmented, FragmentedVolume, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
