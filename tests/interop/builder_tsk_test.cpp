// The builder checked by independent readers: The Sleuth Kit and 7-Zip must see exactly what we
// asked hfsbuild to write. A few direct checks of the built B-trees sit at the end.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "hfsbuild/hfsbuild.h"
#include "interop.h"

namespace {

using hfsbuild::Node;
using hfsbuild::Volume;
Bytes bytesOf(const std::string &text) { return {text.begin(), text.end()}; }

Node file(const std::string &path, Bytes data, uint32_t extentBlocks = 0) {
    Node node = hfsbuild::fileNode(path, std::move(data));
    node.extentBlocks = extentBlocks;
    return node;
}

Node folder(const std::string &path) { return hfsbuild::folderNode(path); }

// ---- the volumes ----

Volume mixedCaseHfsx() {
    Volume v = hfsbuild::demoVolume();
    v.hfsx = true;
    v.label = "Case Sensitive";
    for (std::string name : {"a.txt", "A.txt", "B.txt", "_u.txt"})
        v.nodes.push_back(file("/Mixed/" + name, bytesOf(name)));
    return v;
}

Volume smallBlocks() {
    Volume v = hfsbuild::demoVolume();
    v.blockSize = 512;
    v.totalBlocks = 5000;
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

Volume manyFiles() {
    Volume v;
    v.label = "Many";
    for (int i = 0; i < 2000; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/many/f%04d.txt", i);
        v.nodes.push_back(file(name, bytesOf("file " + std::to_string(i) + "\n")));
    }
    return v;
}

Volume smallCatalogNodes() {
    Volume v;
    v.label = "Small Nodes";
    v.catalogNodeSize = 512;
    v.blockSize = 1024;
    for (int i = 0; i < 60; ++i)
        v.nodes.push_back(file("/Dir " + std::to_string(i % 3) + "/item" + std::to_string(i), noise(i * 100, 0)));
    return v;
}

Volume fragmented() {
    Volume v;
    v.label = "Fragments";
    v.blockSize = 512;
    v.nodes.push_back(file("/eight.bin", noise(8 * 3 * 512, 1), 3));       // exactly 8 extents
    v.nodes.push_back(file("/uneven.bin", noise(5 * 512 + 17, 2), 2));     // 3 extents, last partial
    v.nodes.push_back(file("/empty.bin", {}, 4));
    v.nodes.push_back(file("/whole.bin", noise(7 * 512, 3)));
    return v;
}

Volume withAttributes() {
    Volume v;
    v.label = "Attrs";
    v.attributesNodeSize = 512;                       // enough records for index nodes
    Node tagged = folder("/tagged");
    tagged.attributes = {{"com.example.colour", bytesOf("blue")}};
    v.nodes.push_back(tagged);
    Node many = file("/tagged/many.txt", bytesOf("many attributes\n"));
    for (int i = 0; i < 40; ++i) many.attributes.push_back({"user.attr" + std::to_string(i), noise(i * 3 + 1, 5)});
    v.nodes.push_back(many);
    Node odd = file("/odd.txt", bytesOf("odd\n"));
    odd.attributes = {{"z", bytesOf("odd")}, {"A", {}}, {"com.example.big", noise(400, 7)}};
    v.nodes.push_back(odd);
    v.nodes.push_back(file("/plain.txt", bytesOf("no attributes\n")));
    return v;
}

Volume unicodeNames() {
    Volume v;
    v.label = "Bücher";
    v.nodes.push_back(file("/café.txt", bytesOf("precomposed")));
    v.nodes.push_back(file("/cafe\xCC\x81.txt", bytesOf("decomposed")));   // e + U+0301, kept as given
    v.nodes.push_back(file("/日本/メモ.txt", bytesOf("memo")));
    v.nodes.push_back(file("/😀.txt", bytesOf("surrogate pair")));
    v.nodes.push_back(file("/with space & more.txt", bytesOf("ascii")));
    return v;
}

struct BuilderCase {
    const char *name;
    Volume (*make)();
    uint16_t catalogDepth = 0, attributesDepth = 0;   // 0: any
};

const BuilderCase kCases[] = {
    {"Demo", hfsbuild::demoVolume},
    {"MixedCaseHfsx", mixedCaseHfsx},
    {"SmallBlocks", smallBlocks},
    {"HugeBlocks", hugeBlocks},
    {"ManyFiles", manyFiles, 3},
    {"SmallCatalogNodes", smallCatalogNodes, 3},
    {"Fragmented", fragmented},
    {"WithAttributes", withAttributes, 0, 3},
    {"UnicodeNames", unicodeNames},
};

// ---- what the volume should hold, derived from the Volume alone ----

struct ExpectedNode {
    bool folder;
    uint32_t cnid;             // for a hard link, its indirect node's: fls and icat follow links
    const Node *node;          // whose data the file holds; null for a folder created by the builder
    bool hardLink = false;     // a link record: no data nor attributes of its own
    char type() const { return folder ? 'd' : node->symlink ? 'l' : 'r'; }
};

// CNIDs count up from 16 in listing order, a missing parent taking its number just before the node;
// then the hard-link folder and the indirect nodes. fls shows the folder's NULs as "^".
std::map<std::string, ExpectedNode> expectedTree(const Volume &v) {
    std::map<std::string, ExpectedNode> tree;     // path without the leading "/"
    uint32_t next = 16;
    for (const Node &node : v.nodes) {
        for (size_t slash = node.path.find('/', 1); slash != std::string::npos;
             slash = node.path.find('/', slash + 1))
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

struct Built {
    Volume volume;
    Bytes image;
    std::string path;
    std::map<std::string, ExpectedNode> tree;
};

const Built &built(const BuilderCase &c) {
    static std::map<std::string, Built> cache;
    auto it = cache.find(c.name);
    if (it == cache.end()) {
        Built b{c.make(), {}, {}, {}};
        b.image = hfsbuild::buildVolume(b.volume);
        b.path = writeScratch(std::string(c.name) + ".hfs", b.image);
        it = cache.emplace(c.name, std::move(b)).first;
        it->second.tree = expectedTree(it->second.volume);   // points into the cached volume
    }
    return it->second;
}

uint32_t be32(const Bytes &b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}
uint16_t be16(const Bytes &b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

// The header record of the B-tree whose fork data sits at `forkOffset` in the volume header.
struct TreeHeader {
    size_t start;
    uint16_t depth, nodeSize;
    uint32_t firstLeaf;
};
TreeHeader treeHeader(const Bytes &image, size_t forkOffset) {
    size_t start = size_t{be32(image, 1024 + forkOffset + 16)} * be32(image, 1024 + 40);
    return {start, be16(image, start + 14), be16(image, start + 14 + 18), be32(image, start + 14 + 10)};
}
constexpr size_t kCatalogFork = 272, kAttributesFork = 352;

void PrintTo(const BuilderCase &c, std::ostream *os) { *os << c.name; }

class BuilderTsk : public ::testing::TestWithParam<BuilderCase> {
protected:
    void SetUp() override {
        if (!haveTool("fls")) GTEST_SKIP() << "The Sleuth Kit (fls) is not installed";
    }
};

// fsstat, blkls, fls, icat and istat must see the volume, the bitmap, every node with its CNID,
// each file's bytes and each extended attribute as written.
TEST_P(BuilderTsk, EveryToolSeesWhatWasWritten) {
    const Built &b = built(GetParam());
    size_t files = 0;
    for (const auto &[path, e] : b.tree) files += !e.folder;
    uint32_t blocks = static_cast<uint32_t>(b.image.size() / b.volume.blockSize);

    std::string out = tool({"fsstat", b.path}).out;
    EXPECT_EQ(fieldOf(out, "File System Type"), b.volume.hfsx ? "HFSX" : "HFS+");
    EXPECT_EQ(fieldOf(out, "Volume Name"), b.volume.label);
    EXPECT_EQ(fieldOf(out, "Allocation Block Size"), std::to_string(b.volume.blockSize));
    EXPECT_EQ(fieldOf(out, "Block Range"), "0 - " + std::to_string(blocks - 1));
    EXPECT_EQ(fieldOf(out, "Number of files"), std::to_string(files));
    EXPECT_EQ(fieldOf(out, "Number of folders"), std::to_string(b.tree.size() - files));
    if (b.volume.totalBlocks) { EXPECT_EQ(blocks, b.volume.totalBlocks); }

    // The header's free count must match the bitmap, which blkls reads; reserved area, header
    // and alternate header blocks must be in use.
    std::set<uint32_t> unallocated;
    std::istringstream blkls(tool({"blkls", "-l", b.path}).out);
    for (std::string line; std::getline(blkls, line);)
        if (line.ends_with("|f")) unallocated.insert(static_cast<uint32_t>(std::stoul(line)));
    EXPECT_EQ(fieldOf(out, "Number of Free Blocks"), std::to_string(unallocated.size()));
    uint32_t head = (1536 + b.volume.blockSize - 1) / b.volume.blockSize;
    uint32_t tail = (1024 + b.volume.blockSize - 1) / b.volume.blockSize;
    for (uint32_t block = 0; block < head; ++block) EXPECT_FALSE(unallocated.contains(block)) << block;
    for (uint32_t block = blocks - tail; block < blocks; ++block) EXPECT_FALSE(unallocated.contains(block)) << block;

    EXPECT_TRUE(std::equal(b.image.begin() + 1024, b.image.begin() + 1536, b.image.end() - 1024))
        << "alternate volume header differs";
    if (GetParam().catalogDepth) { EXPECT_EQ(treeHeader(b.image, kCatalogFork).depth, GetParam().catalogDepth); }
    if (GetParam().attributesDepth) { EXPECT_EQ(treeHeader(b.image, kAttributesFork).depth, GetParam().attributesDepth); }

    std::map<std::string, std::string> listed, expected;   // path -> "d 17" / "r 18"
    for (const FlsEntry &e : flsTree(b.path)) listed[e.path] = e.type + (" " + std::to_string(e.cnid));
    for (const auto &[path, e] : b.tree) expected[path] = e.type() + (" " + std::to_string(e.cnid));
    EXPECT_EQ(listed, expected);

    std::vector<const ExpectedNode *> regular;
    for (const auto &[path, e] : b.tree)
        if (!e.folder) regular.push_back(&e);
    size_t stride = regular.size() / 40 + 1;                  // keep the many-file volume quick
    for (size_t i = 0; i < regular.size(); i += stride) {
        RunResult r = tool({"icat", b.path, std::to_string(regular[i]->cnid)});
        EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) == regular[i]->node->data) << regular[i]->node->path;
    }

    for (const auto &[path, e] : b.tree) {
        if (b.tree.size() > 100) break;
        if (!e.node) continue;
        const Node &node = *e.node;
        uint32_t cnid = e.cnid;
        std::string istat = tool({"istat", b.path, std::to_string(cnid)}).out;
        // A compressed file's decmpfs header is an attribute too.
        EXPECT_EQ(istat.find("Has extended attributes") != std::string::npos,
                  !node.attributes.empty() || node.compression != 0)
            << node.path;

        std::map<std::string, std::string> ids;                // attribute name -> TSK attribute id
        std::istringstream lines(istat);
        for (std::string line; std::getline(lines, line);) {
            size_t type = line.find("ExATTR ("), name = line.find("Name: ");
            if (type == std::string::npos || name == std::string::npos) continue;
            std::string id = line.substr(type + 8, line.find(')', type) - type - 8);
            ids[line.substr(name + 6, line.find("   ", name) - name - 6)] = id;
        }
        EXPECT_EQ(ids.size(), node.attributes.size()) << node.path << "\n" << istat;
        for (const hfsbuild::Attribute &a : node.attributes) {
            ASSERT_TRUE(ids.contains(a.name)) << node.path << " lacks " << a.name;
            RunResult r = tool({"icat", b.path, std::to_string(cnid) + "-" + ids[a.name]});
            EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) == a.value) << node.path << " " << a.name;
        }
    }
}

TEST_P(BuilderTsk, SevenZipListsAndExtractsTheTree) {
    if (!haveTool("7zz")) GTEST_SKIP() << "7zz is not installed";
    const Built &b = built(GetParam());
    std::set<std::string> listed, expected;
    std::istringstream lines(tool({"7zz", "l", "-slt", "-sns", "-thfs", b.path}).out);
    std::string prefix = "Path = " + b.volume.label + "/";
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(prefix)) listed.insert(line.substr(prefix.size()));
    // 7-Zip shows the hard-link folder as "[HFS+ Private Data]" and does not follow links.
    auto sevenZipPath = [](const std::string &path) {
        const std::string folder = "^^^^HFS+ Private Data";
        return path.starts_with(folder) ? "[HFS+ Private Data]" + path.substr(folder.size()) : path;
    };
    for (const auto &[path, e] : b.tree) {
        expected.insert(sevenZipPath(path));
        if (e.node && !e.hardLink)
            for (const hfsbuild::Attribute &a : e.node->attributes) expected.insert(sevenZipPath(path) + ":" + a.name);
    }
    EXPECT_EQ(listed, expected);

    // Symbolic links come out as links; an absolute target is made relative to the output folder.
    std::string out = scratchDir() + "/7z-" + GetParam().name;
    tool({"7zz", "x", "-y", "-thfs", "-o" + out, b.path});
    for (const auto &[path, e] : b.tree) {
        std::filesystem::path extracted = out + "/" + b.volume.label + "/" + sevenZipPath(path);
        if (e.type() == 'l') {
            std::string target(e.node->data.begin(), e.node->data.end());
            EXPECT_TRUE(std::filesystem::is_symlink(extracted)) << path;
            if (!target.starts_with("/")) {
                EXPECT_EQ(std::filesystem::read_symlink(extracted), target) << path;
            }
        } else if (e.type() == 'r') {
            EXPECT_TRUE(readWholeFile(extracted) == (e.hardLink ? Bytes{} : e.node->data)) << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, BuilderTsk, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- the builder on its own ----

// Names of the root folder's children as they sit in the catalog leaves, in order.
std::vector<std::u16string> rootChildrenInLeafOrder(const Bytes &image) {
    TreeHeader tree = treeHeader(image, kCatalogFork);
    std::vector<std::u16string> names;
    for (uint32_t node = tree.firstLeaf; node != 0;) {
        size_t start = tree.start + size_t{node} * tree.nodeSize;
        for (uint16_t i = 0; i < be16(image, start + 10); ++i) {
            size_t key = start + be16(image, start + tree.nodeSize - 2 * (i + 1));
            if (be32(image, key + 2) != 2) continue;
            std::u16string name;
            for (uint16_t k = 0; k < be16(image, key + 6); ++k)
                name += static_cast<char16_t>(be16(image, key + 8 + 2 * k));
            if (!name.empty()) names.push_back(name);
        }
        node = be32(image, start);
    }
    return names;
}

TEST(HfsBuilder, SortsNamesInTheVolumesOrder) {
    struct {
        bool hfsx;
        std::vector<std::u16string> order;
    } cases[] = {
        {false, {u"_x", u"A", u"a1", u"b", u"zebra", u"Zed", u"Ägypten"}},   // case folded
        {true, {u"A", u"Zed", u"_x", u"a1", u"b", u"zebra", u"Ägypten"}},    // binary
    };
    for (const auto &c : cases) {
        Volume v;
        v.hfsx = c.hfsx;
        for (std::string name : {"b", "Zed", "_x", "A", "a1", "Ägypten", "zebra"})
            v.nodes.push_back(folder("/" + name));
        EXPECT_EQ(rootChildrenInLeafOrder(hfsbuild::buildVolume(v)), c.order) << (c.hfsx ? "HFSX" : "HFS+");
    }
}

TEST(HfsBuilder, RejectsVolumesItCannotWrite) {
    struct {
        const char *why;
        void (*spoil)(Volume &);
    } cases[] = {
        {"compressed folder", [](Volume &v) { v.nodes = {folder("/d")}; v.nodes[0].compression = 4; }},
        {"path listed twice", [](Volume &v) { v.nodes = {folder("/d"), folder("/d")}; }},
        {"file with a child", [](Volume &v) { v.nodes = {file("/f", {}), file("/f/g", {})}; }},
        {"names equal ignoring case", [](Volume &v) { v.nodes = {file("/Read", {}), file("/rEAD", {})}; }},
        {"relative path", [](Volume &v) { v.nodes = {file("f", {})}; }},
        {"empty path component", [](Volume &v) { v.nodes = {file("/a//f", {})}; }},
        {"bad UTF-8", [](Volume &v) { v.nodes = {file("/\xC3(", {})}; }},
        {"name over 255 units", [](Volume &v) { v.nodes = {file("/" + std::string(256, 'n'), {})}; }},
        {"block size not a power of two", [](Volume &v) { v.blockSize = 3000; }},
        {"attributes without an attributes file", [](Volume &v) {
             v.withAttributesFile = false;
             v.nodes = {file("/f", {})};
             v.nodes[0].attributes = {{"x", {}}};
         }},
        {"too few blocks", [](Volume &v) { v.totalBlocks = 4; }},
        {"hard link to a missing file", [](Volume &v) { v.nodes = {hfsbuild::hardLinkNode("/l", "/nowhere")}; }},
        {"hard link to a folder", [](Volume &v) { v.nodes = {folder("/d"), hfsbuild::hardLinkNode("/l", "/d")}; }},
        {"hard link to a hard link", [](Volume &v) {
             v.nodes = {file("/f", {}), hfsbuild::hardLinkNode("/l", "/f"), hfsbuild::hardLinkNode("/m", "/l")};
         }},
        {"key longer than a node allows", [](Volume &v) {
             v.catalogNodeSize = 512;
             v.nodes = {file("/" + std::string(250, 'k'), {})};
         }},
    };
    for (const auto &c : cases) {
        Volume v;
        c.spoil(v);
        EXPECT_THROW(hfsbuild::buildVolume(v), std::invalid_argument) << c.why;
    }
}

}  // namespace
