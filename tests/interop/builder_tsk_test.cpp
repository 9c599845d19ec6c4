// The builder checked by independent readers: The Sleuth Kit and 7-Zip must see exactly what we
// asked hfsbuild to write, extents in the overflow file and values in attribute forks included.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "hfsbuild/hfsbuild.h"
#include "interop.h"

namespace {

using hfsbuild::Attribute;
using hfsbuild::Node;
using hfsbuild::Volume;
Bytes bytesOf(const std::string &text) { return {text.begin(), text.end()}; }

Node file(const std::string &path, Bytes data, uint32_t extentBlocks = 0, uint32_t compression = 0) {
    Node node = hfsbuild::fileNode(path, std::move(data));
    node.extentBlocks = extentBlocks, node.compression = compression;
    return node;
}

Attribute inFork(const std::string &name, Bytes value, uint32_t extentBlocks) {
    Attribute a{name, std::move(value)};
    a.forkData = true, a.extentBlocks = extentBlocks;
    return a;
}

// ---- the volumes ----

Volume mixedCaseHfsx() {
    Volume v = hfsbuild::demoVolume();
    v.hfsx = true, v.label = "Case Sensitive";
    for (std::string name : {"a.txt", "A.txt", "B.txt", "_u.txt"}) v.nodes.push_back(file("/Mixed/" + name, bytesOf(name)));
    return v;
}

Volume smallBlocks() {
    Volume v = hfsbuild::demoVolume();
    v.blockSize = 512, v.totalBlocks = 5000;
    for (Node &node : v.nodes)
        if (node.extentBlocks) node.extentBlocks = 8;   // 33 blocks: 5 extents
    return v;
}

Volume hugeBlocks() {
    Volume v = hfsbuild::demoVolume();
    v.blockSize = 65536;
    v.nodes.push_back(file("/big.bin", noise(3 * 65536 + 1, 9), 1));
    return v;
}

Volume catalogInOverflow() {   // 300 files in 512-byte nodes: a catalog of some 340 blocks in 3-block extents
    Volume v;
    v.label = "Catalog", v.blockSize = v.catalogNodeSize = 512, v.catalogExtentBlocks = 3;
    for (int i = 0; i < 300; ++i) v.nodes.push_back(file("/d" + std::to_string(i % 6) + "/file" + std::to_string(i), noise(i, i)));
    return v;
}

Volume withAttributes() {      // some 150 attributes in 512-byte nodes of one-block extents
    Volume v;
    v.label = "Attrs", v.blockSize = v.attributesNodeSize = 512, v.attributesExtentBlocks = 1;
    Node tagged = hfsbuild::folderNode("/tagged");
    tagged.attributes = {{"com.example.colour", bytesOf("blue")}};
    Node odd = file("/odd.txt", bytesOf("odd\n"));
    odd.attributes = {{"z", bytesOf("odd")}, {"A", {}}, {"com.example.big", noise(400, 7)}};
    v.nodes = {tagged, odd, file("/plain.txt", bytesOf("no attributes\n"))};
    for (int f = 0; f < 3; ++f) {
        Node many = file("/tagged/many" + std::to_string(f), noise(100, f));
        for (int i = 0; i < 50; ++i) many.attributes.push_back({"user.attr" + std::to_string(i), noise(i % 20 * 3 + 1, 5)});
        v.nodes.push_back(many);
    }
    return v;
}

Volume interleaved() {         // forks of 8, 3 (last partial), 9, 100, 79 and 18 extents, dealt out in turn
    Volume v;
    v.label = "Fragments", v.blockSize = 512, v.interleave = true;
    v.nodes = {file("/eight.bin", noise(8 * 3 * 512, 1), 3), file("/uneven.bin", noise(5 * 512 + 17, 2), 2),
               file("/empty.bin", {}, 4), file("/data/nine.bin", noise(9 * 512 - 100, 1), 1),
               file("/plain.txt", noise(700, 2)), file("/data/hundred.bin", noise(100 * 512, 3), 1),
               file("/rsrc/one.bin", noise(40000, 4), 1, 4), file("/rsrc/eight.bin", noise(70000, 5), 8, 4)};
    return v;
}

Volume forkAttributes() {      // values in blocks: 11 extents (past the fork record), exactly 8, and one
    Volume v;
    v.label = "ForkAttrs", v.blockSize = 512;
    Node big = file("/big.txt", noise(10, 1));
    big.attributes = {inFork("com.example.big", noise(20 * 512 + 7, 2), 2), {"user.inline", noise(30, 3)}};
    Node eight = file("/eight.txt", noise(10, 4));
    eight.attributes = {inFork("com.example.eight", noise(8 * 512, 5), 1), inFork("user.whole", noise(3000, 6), 0)};
    v.nodes = {big, eight, file("/plain.txt", noise(600, 7), 1)};
    return v;
}

Volume unicodeNames() {
    Volume v;
    v.label = "Bücher";
    v.nodes = {file("/café.txt", bytesOf("precomposed")), file("/cafe\xCC\x81.txt", bytesOf("decomposed")),
               file("/日本/メモ.txt", bytesOf("memo")), file("/😀.txt", bytesOf("surrogate pair")),
               file("/with space & more.txt", bytesOf("ascii"))};
    return v;
}

struct BuilderCase {
    const char *name;
    Volume (*make)();
    uint16_t catalogDepth = 0, attributesDepth = 0;   // 0: any
};

const BuilderCase kCases[] = {
    {"Demo", hfsbuild::demoVolume}, {"MixedCaseHfsx", mixedCaseHfsx}, {"SmallBlocks", smallBlocks},
    {"HugeBlocks", hugeBlocks}, {"CatalogInOverflow", catalogInOverflow, 3},
    {"WithAttributes", withAttributes, 0, 3}, {"Interleaved", interleaved}, {"ForkAttributes", forkAttributes},
    {"UnicodeNames", unicodeNames},
};

// ---- what the volume should hold, derived from the Volume alone ----

struct ExpectedNode {
    bool folder;
    uint32_t cnid;             // for a hard link, its indirect node's: fls and icat follow links
    const Node *node;          // whose data the file holds; null for a folder created by the builder
    bool hardLink = false;     // a link record: no data nor attributes of its own
    char type() const { return folder ? 'd' : node->symlink ? 'l' : 'r'; }
    // TSK 4.11 gives up on a file with an attribute value in fork data.
    bool tskReads() const {
        return node && std::none_of(node->attributes.begin(), node->attributes.end(), [](auto &a) { return a.forkData; });
    }
};

// CNIDs count up from 16 in listing order, a missing parent taking its number just before the node;
// then the hard-link folder and the indirect nodes. fls shows the folder's NULs as "^".
std::map<std::string, ExpectedNode> expectedTree(const Volume &v) {
    std::map<std::string, ExpectedNode> tree;     // path without the leading "/"
    uint32_t next = 16;
    for (const Node &node : v.nodes) {
        for (size_t slash = node.path.find('/', 1); slash != std::string::npos; slash = node.path.find('/', slash + 1))
            if (tree.try_emplace(node.path.substr(1, slash - 1), ExpectedNode{true, next, nullptr}).second) ++next;
        tree[node.path.substr(1)] = {node.folder, next++, &node};
    }
    const std::string privateFolder = "^^^^HFS+ Private Data";
    std::map<std::string, uint32_t> indirect;     // linked path -> indirect node
    for (const Node &node : v.nodes) {
        if (node.hardLinkTo.empty()) continue;
        ExpectedNode &target = tree[node.hardLinkTo.substr(1)];
        if (!indirect.contains(node.hardLinkTo)) {
            if (tree.try_emplace(privateFolder, ExpectedNode{true, next, nullptr}).second) ++next;
            tree[privateFolder + "/iNode" + std::to_string(next)] = {false, next, target.node};
            indirect[node.hardLinkTo] = target.cnid = next++;
            target.hardLink = true;
        }
        tree[node.path.substr(1)] = {false, indirect[node.hardLinkTo], target.node, true};
    }
    return tree;
}

struct Built {                  // never moved: `tree` points into `volume`
    explicit Built(const BuilderCase &c) : volume(c.make()), image(hfsbuild::buildVolume(volume)),
        path(writeScratch(std::string(c.name) + ".hfs", image)), tree(expectedTree(volume)) {}
    Volume volume;
    Bytes image;
    std::string path;
    std::map<std::string, ExpectedNode> tree;
};

const Built &built(const BuilderCase &c) {
    static std::map<std::string, std::unique_ptr<Built>> cache;
    if (!cache.contains(c.name)) cache[c.name] = std::make_unique<Built>(c);
    return *cache[c.name];
}

uint64_t be(const Bytes &b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | b.at(at + i);
    return v;
}

uint64_t extentsOf(uint64_t bytes, uint32_t blockSize, uint32_t extentBlocks) {
    uint64_t blocks = (bytes + blockSize - 1) / blockSize;
    return extentBlocks ? (blocks + extentBlocks - 1) / extentBlocks : blocks > 0;
}

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

void PrintTo(const BuilderCase &c, std::ostream *os) { *os << c.name; }

class BuilderTsk : public ::testing::TestWithParam<BuilderCase> {};

// fsstat, blkls, fls, icat and istat must see the volume, the bitmap, every node with its CNID,
// each file's bytes, extents and extended attributes as written.
TEST_P(BuilderTsk, EveryToolSeesWhatWasWritten) {
    if (!haveTool("fls")) GTEST_SKIP() << "The Sleuth Kit (fls) is not installed";
    const Built &b = built(GetParam());
    const uint32_t bs = b.volume.blockSize, blocks = static_cast<uint32_t>(b.image.size() / bs);
    size_t files = 0;
    for (const auto &[path, e] : b.tree) files += !e.folder;

    std::string out = tool({"fsstat", b.path}).out;
    EXPECT_EQ(fieldOf(out, "File System Type"), b.volume.hfsx ? "HFSX" : "HFS+");
    EXPECT_EQ(fieldOf(out, "Volume Name"), b.volume.label);
    EXPECT_EQ(fieldOf(out, "Allocation Block Size"), std::to_string(bs));
    EXPECT_EQ(fieldOf(out, "Block Range"), "0 - " + std::to_string(blocks - 1));
    EXPECT_EQ(fieldOf(out, "Number of files"), std::to_string(files));
    EXPECT_EQ(fieldOf(out, "Number of folders"), std::to_string(b.tree.size() - files));
    if (b.volume.totalBlocks) { EXPECT_EQ(blocks, b.volume.totalBlocks); }

    // The header's free count must match the bitmap blkls reads; the reserved area, header and
    // alternate header blocks must be in use.
    std::set<uint32_t> unallocated;
    std::istringstream blkls(tool({"blkls", "-l", b.path}).out);
    for (std::string line; std::getline(blkls, line);)
        if (line.ends_with("|f")) unallocated.insert(static_cast<uint32_t>(std::stoul(line)));
    EXPECT_EQ(fieldOf(out, "Number of Free Blocks"), std::to_string(unallocated.size()));
    for (uint32_t block = 0; block < (1536 + bs - 1) / bs; ++block) EXPECT_FALSE(unallocated.contains(block)) << block;
    for (uint32_t block = blocks - (1024 + bs - 1) / bs; block < blocks; ++block) EXPECT_FALSE(unallocated.contains(block)) << block;
    EXPECT_TRUE(std::equal(b.image.begin() + 1024, b.image.begin() + 1536, b.image.end() - 1024)) << "alternate header differs";

    // Tree depths, and catalog and attributes file extents left to the overflow file (forks at 1024 + 272, + 352).
    for (auto [fork, depth, extentBlocks] : {std::tuple{1296, GetParam().catalogDepth, b.volume.catalogExtentBlocks},
                                             {1376, GetParam().attributesDepth, b.volume.attributesExtentBlocks}}) {
        uint64_t start = be(b.image, fork + 16, 4) * bs, inHeader = 0;
        if (depth) { EXPECT_EQ(be(b.image, start + 14, 2), depth) << fork; }
        for (int k = 0; k < 8; ++k) inHeader += be(b.image, fork + 20 + 8 * k, 4);
        if (extentBlocks) { EXPECT_LT(inHeader, be(b.image, fork + 12, 4)) << fork; }
    }

    std::map<std::string, std::string> listed, expected;   // path -> "d 17" / "r 18"
    for (const FlsEntry &e : flsTree(b.path)) listed[e.path] = e.type + (" " + std::to_string(e.cnid));
    for (const auto &[path, e] : b.tree) expected[path] = e.type() + (" " + std::to_string(e.cnid));
    EXPECT_EQ(listed, expected);

    std::vector<const ExpectedNode *> regular;
    for (const auto &[path, e] : b.tree)
        if (!e.folder && e.tskReads()) regular.push_back(&e);
    for (size_t i = 0; i < regular.size(); i += regular.size() / 40 + 1) {    // keep big volumes quick
        RunResult r = tool({"icat", b.path, std::to_string(regular[i]->cnid)});
        EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) == regular[i]->node->data) << regular[i]->node->path;
    }

    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> fragmentedForks;
    for (const auto &[path, e] : b.tree) {
        if (b.tree.size() > 100 || !e.tskReads()) continue;
        const Node &node = *e.node;
        std::string istat = tool({"istat", b.path, std::to_string(e.cnid)}).out;
        // A compressed file's decmpfs header is an attribute too.
        EXPECT_EQ(istat.find("Has extended attributes") != std::string::npos, !node.attributes.empty() || node.compression != 0)
            << node.path;
        std::map<std::string, std::string> ids;                // attribute name -> TSK attribute id
        std::istringstream lines(istat);
        for (std::string line; std::getline(lines, line);) {
            size_t type = line.find("ExATTR ("), name = line.find("Name: ");
            if (type == std::string::npos || name == std::string::npos) continue;
            ids[line.substr(name + 6, line.find("   ", name) - name - 6)] = line.substr(type + 8, line.find(')', type) - type - 8);
        }
        EXPECT_EQ(ids.size(), node.attributes.size()) << node.path << "\n" << istat;
        for (const Attribute &a : node.attributes) {
            ASSERT_TRUE(ids.contains(a.name)) << node.path << " lacks " << a.name;
            RunResult r = tool({"icat", b.path, std::to_string(e.cnid) + "-" + ids[a.name]});
            EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) == a.value) << node.path << " " << a.name;
        }
        if (!node.extentBlocks || e.hardLink) continue;
        // One run per extent: the builder never lets two extents of a fork touch.
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
        EXPECT_EQ(alternates, b.volume.interleave && fork.size() > 1) << fork.size() << " runs from " << fork.front().first;
    }
}

// 7-Zip lists every node and attribute and extracts their bytes. It shows the hard-link folder as
// "[HFS+ Private Data]", does not follow links, and lists a value past eight extents but calls it
// an unsupported feature and extracts nothing of it.
TEST_P(BuilderTsk, SevenZipListsAndExtractsTheTree) {
    if (!haveTool("7zz")) GTEST_SKIP() << "7zz is not installed";
    const Built &b = built(GetParam());
    auto sevenZipPath = [](const std::string &path) {
        const std::string folder = "^^^^HFS+ Private Data";
        return path.starts_with(folder) ? "[HFS+ Private Data]" + path.substr(folder.size()) : path;
    };
    std::map<std::string, const ExpectedNode *> expected;
    std::map<std::string, const Bytes *> values;           // "path:attribute" -> value, null when unreadable
    int status = 0;
    for (const auto &[path, e] : b.tree) {
        expected[sevenZipPath(path)] = &e;
        if (!e.node || e.hardLink) continue;
        for (const Attribute &a : e.node->attributes) {
            bool readable = !a.forkData || extentsOf(a.value.size(), b.volume.blockSize, a.extentBlocks) <= 8;
            values[sevenZipPath(path) + ":" + a.name] = readable ? &a.value : nullptr;
            status = readable ? status : 2;
        }
    }
    std::set<std::string> listed, names;
    std::istringstream lines(tool({"7zz", "l", "-slt", "-sns", "-thfs", b.path}, status).out);
    std::string prefix = "Path = " + b.volume.label + "/";
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(prefix)) listed.insert(line.substr(prefix.size()));
    for (const auto &[name, e] : expected) names.insert(name);
    for (const auto &[name, value] : values) names.insert(name);
    EXPECT_EQ(listed, names);

    // Symbolic links come out as links; an absolute target is made relative to the output folder.
    std::string out = scratchDir() + "/7z-" + GetParam().name + "/" + b.volume.label + "/";
    tool({"7zz", "x", "-y", "-sns", "-thfs", "-o" + scratchDir() + "/7z-" + GetParam().name, b.path}, status);
    for (const auto &[path, e] : expected) {
        std::filesystem::path extracted = out + path;
        if (e->type() == 'l') {
            std::string target(e->node->data.begin(), e->node->data.end());
            EXPECT_TRUE(std::filesystem::is_symlink(extracted)) << path;
            if (!target.starts_with("/")) { EXPECT_EQ(std::filesystem::read_symlink(extracted), target) << path; }
        } else if (e->type() == 'r') {
            EXPECT_TRUE(readWholeFile(extracted) == (e->hardLink ? Bytes{} : e->node->data)) << path;
        }
    }
    for (const auto &[name, value] : values)
        if (value) { EXPECT_TRUE(readWholeFile(out + name) == *value) << name; }
}

INSTANTIATE_TEST_SUITE_P(Volumes, BuilderTsk, ::testing::ValuesIn(kCases), [](const auto &info) { return std::string(info.param.name); });

// fls lists a folder in the catalog's order: case folded on HFS Plus, binary on HFSX.
TEST(HfsBuilder, SortsNamesInTheVolumesOrder) {
    if (!haveTool("fls")) GTEST_SKIP() << "The Sleuth Kit (fls) is not installed";
    for (bool hfsx : {false, true}) {
        Volume v;
        v.hfsx = hfsx;
        for (std::string name : {"b", "Zed", "_x", "A", "a1", "Ägypten", "zebra"}) v.nodes.push_back(hfsbuild::folderNode("/" + name));
        std::vector<std::string> order;
        for (const FlsEntry &e : flsTree(writeScratch("sorted.hfs", hfsbuild::buildVolume(v)))) order.push_back(e.path);
        using Names = std::vector<std::string>;
        EXPECT_EQ(order, (hfsx ? Names{"A", "Zed", "_x", "a1", "b", "zebra", "Ägypten"} : Names{"_x", "A", "a1", "b", "zebra", "Zed", "Ägypten"}));
    }
}

TEST(HfsBuilder, RejectsVolumesItCannotWrite) {
    auto link = hfsbuild::hardLinkNode;
    Node compressedFolder = hfsbuild::folderNode("/d"), attributed = file("/f", {});
    compressedFolder.compression = 4;
    attributed.attributes = {{"x", {}}};
    const struct {
        const char *why;
        std::vector<Node> nodes;
        uint32_t blockSize = 4096, totalBlocks = 0;
        uint16_t catalogNodeSize = 4096;
        bool withAttributesFile = true;
    } cases[] = {
        {"compressed folder", {compressedFolder}},
        {"path listed twice", {hfsbuild::folderNode("/d"), hfsbuild::folderNode("/d")}},
        {"file with a child", {file("/f", {}), file("/f/g", {})}},
        {"names equal ignoring case", {file("/Read", {}), file("/rEAD", {})}},
        {"relative path", {file("f", {})}},
        {"empty path component", {file("/a//f", {})}},
        {"bad UTF-8", {file("/\xC3(", {})}},
        {"name over 255 units", {file("/" + std::string(256, 'n'), {})}},
        {"block size not a power of two", {}, 3000},
        {"attributes without an attributes file", {attributed}, 4096, 0, 4096, false},
        {"too few blocks", {}, 4096, 4},
        {"hard link to a missing file", {link("/l", "/nowhere")}},
        {"hard link to a folder", {hfsbuild::folderNode("/d"), link("/l", "/d")}},
        {"hard link to a hard link", {file("/f", {}), link("/l", "/f"), link("/m", "/l")}},
        {"key longer than a node allows", {file("/" + std::string(250, 'k'), {})}, 4096, 0, 512},
    };
    for (const auto &c : cases) {
        Volume v;
        v.nodes = c.nodes, v.blockSize = c.blockSize, v.totalBlocks = c.totalBlocks;
        v.catalogNodeSize = c.catalogNodeSize, v.withAttributesFile = c.withAttributesFile;
        EXPECT_THROW(hfsbuild::buildVolume(v), std::invalid_argument) << c.why;
    }
}

}  // namespace
