// The builder checked by independent readers: The Sleuth Kit and 7-Zip must see exactly what we
// asked hfsbuild to write, extents in the overflow file and values in attribute forks included.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "interop.h"

namespace {

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
    explicit Built(const std::string &name) : volume(*builderVolume(name)), img(testImage(name)),
        image(readWholeFile(img.path)), tree(expectedTree(volume)) {}
    Volume volume;
    const TestImage &img;
    Bytes image;
    std::map<std::string, ExpectedNode> tree;
};

const Built &built(const std::string &name) {
    static std::map<std::string, Built> cache;
    return cache.try_emplace(name, name).first->second;
}


uint64_t extentsOf(uint64_t bytes, uint32_t blockSize, uint32_t extentBlocks) {
    uint64_t blocks = (bytes + blockSize - 1) / blockSize;
    return extentBlocks ? (blocks + extentBlocks - 1) / extentBlocks : blocks > 0;
}

size_t runsOf(const std::vector<uint64_t> &blocks) {   // touching blocks make one run
    size_t runs = 0;
    for (size_t i = 0; i < blocks.size(); ++i) runs += i == 0 || blocks[i] != blocks[i - 1] + 1;
    return runs;
}


using BuilderTsk = OnImage;

// fsstat, blkls, fls, icat and istat must see the volume, the bitmap, every node with its CNID,
// each file's bytes, extents and extended attributes as written.
TEST_P(BuilderTsk, EveryToolSeesWhatWasWritten) {
    const Built &b = built(GetParam());
    const uint32_t bs = b.volume.blockSize, blocks = static_cast<uint32_t>(b.image.size() / bs);
    size_t files = 0;
    for (const auto &[path, e] : b.tree) files += !e.folder;

    auto fsstat = fields(tool({"fsstat", b.img.path}).out);
    EXPECT_EQ(fsstat["File System Type"], b.volume.hfsx ? "HFSX" : "HFS+");
    EXPECT_EQ(fsstat["Volume Name"], b.volume.label);
    EXPECT_EQ(fsstat["Allocation Block Size"], std::to_string(bs));
    EXPECT_EQ(fsstat["Block Range"], "0 - " + std::to_string(blocks - 1));
    EXPECT_EQ(fsstat["Number of files"], std::to_string(files));
    EXPECT_EQ(fsstat["Number of folders"], std::to_string(b.tree.size() - files));
    if (b.volume.totalBlocks) { EXPECT_EQ(blocks, b.volume.totalBlocks); }

    // The header's free count must match the bitmap blkls reads.
    std::set<uint32_t> unallocated;
    std::istringstream blkls(tool({"blkls", "-l", b.img.path}).out);
    for (std::string line; std::getline(blkls, line);)
        if (line.ends_with("|f")) unallocated.insert(static_cast<uint32_t>(std::stoul(line)));
    EXPECT_EQ(fsstat["Number of Free Blocks"], std::to_string(unallocated.size()));


    std::map<std::string, std::string> listed, expected;   // path -> "d 17" / "r 18"
    for (const FlsEntry &e : flsTree(b.img)) listed[e.path] = e.type + (" " + std::to_string(e.cnid));
    for (const auto &[path, e] : b.tree) expected[path] = e.type() + (" " + std::to_string(e.cnid));
    EXPECT_EQ(listed, expected);

    std::vector<const ExpectedNode *> regular;
    for (const auto &[path, e] : b.tree)
        if (!e.folder && e.tskReads()) regular.push_back(&e);
    for (size_t i = 0; i < regular.size(); i += regular.size() / 40 + 1)    // keep big volumes quick
        EXPECT_TRUE(icat(b.img, regular[i]->cnid) == regular[i]->node->data) << regular[i]->node->path;

    for (const auto &[path, e] : b.tree) {
        if (b.tree.size() > 100 || !e.tskReads()) continue;
        const Node &node = *e.node;
        Istat s = istat(b.img, e.cnid);
        // A compressed file's decmpfs header is an attribute too.
        EXPECT_EQ(s.out.find("Has extended attributes") != std::string::npos, !node.attributes.empty() || node.compression != 0)
            << node.path;
        std::map<std::string, std::string> ids;                // attribute name -> TSK attribute id
        for (const Istat::Attribute &a : s.attributes)
            if (a.type == "ExATTR") ids[a.name] = a.id;
        EXPECT_EQ(ids.size(), node.attributes.size()) << node.path << "\n" << s.out;
        for (const hfsbuild::Attribute &a : node.attributes) {
            ASSERT_TRUE(ids.contains(a.name)) << node.path << " lacks " << a.name;
            EXPECT_TRUE(icat(b.img, e.cnid, "-" + ids[a.name]) == a.value) << node.path << " " << a.name;
        }
        if (!node.extentBlocks || e.hardLink) continue;
        // One run per extent: the builder never lets two extents of a fork touch.
        uint64_t rsrcSize = std::stoull("0" + s.fields["Resource fork size"]);
        auto data = blockList(s.fields["Data Fork Blocks"]), resource = blockList(s.fields["Resource Fork Blocks"]);
        EXPECT_EQ(runsOf(data), extentsOf(node.compression ? 0 : node.data.size(), bs, node.extentBlocks)) << node.path;
        EXPECT_EQ(runsOf(resource), extentsOf(rsrcSize, bs, node.extentBlocks)) << node.path << " " << rsrcSize;
    }
}

// 7-Zip lists every node and attribute and extracts their bytes. It shows the hard-link folder as
// "[HFS+ Private Data]", does not follow links, and lists a value past eight extents but calls it
// an unsupported feature and extracts nothing of it.
TEST_P(BuilderTsk, SevenZipListsAndExtractsTheTree) {
    if (!haveTool("7zz")) GTEST_SKIP() << "7zz is not installed";
    if (GetParam() == "Compressed") GTEST_SKIP() << "7-Zip fails on an empty file compressed in its resource fork, drops links up with ..";
    const Built &b = built(GetParam());
    std::map<std::string, const ExpectedNode *> expected;
    std::map<std::string, const Bytes *> values;           // "path:attribute" -> value, null when unreadable
    std::set<std::string> listed, names;
    int status = 0;
    for (const auto &[path, e] : b.tree) {
        const std::string folder = "^^^^HFS+ Private Data", name = path.starts_with(folder) ? "[HFS+ Private Data]" + path.substr(folder.size()) : path;
        expected[name] = &e, names.insert(name);
        if (!e.node || e.hardLink) continue;
        for (const hfsbuild::Attribute &a : e.node->attributes) {
            bool readable = !a.forkData || extentsOf(a.value.size(), b.volume.blockSize, a.extentBlocks) <= 8;
            values[name + ":" + a.name] = readable ? &a.value : nullptr, names.insert(name + ":" + a.name);
            status = readable ? status : 2;
        }
    }
    std::istringstream lines(tool({"7zz", "l", "-slt", "-sns", "-thfs", b.img.path}, status).out);
    std::string prefix = "Path = " + b.volume.label + "/";
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(prefix)) listed.insert(line.substr(prefix.size()));
    EXPECT_EQ(listed, names);

    // Link targets are compared with icat's in the listing tests.
    std::string dir = scratchDir() + "/7z-" + GetParam(), out = dir + "/" + b.volume.label + "/";
    tool({"7zz", "x", "-y", "-sns", "-thfs", "-o" + dir, b.img.path}, status);
    for (const auto &[path, e] : expected)
        if (e->type() == 'r') { EXPECT_TRUE(readWholeFile(out + path) == (e->hardLink ? Bytes{} : e->node->data)) << path; }
    for (const auto &[name, value] : values)
        if (value) { EXPECT_TRUE(readWholeFile(out + name) == *value) << name; }
}

// Directory hard links: fls follows each link record (fdrp/MACS, the folder's CNID as special) to
// the folder in the private folder, so its content shows under every name. istat reads the folder's
// link count and first link; TSK 4.11 cannot read a link record by its own CNID (of either kind).
TEST(BuilderFolderLinks, TskFollowsEveryName) {
    if (!haveTool("fls")) GTEST_SKIP() << "The Sleuth Kit is not installed";
    const TestImage &img = testImage("FolderLinks");
    // CNIDs in listing order: /A 16 .. /D/E 25, then the hard-link folder and iNode28, the folder
    // links' folder 29 and the link records at /C (30) and /A (31).
    using Content = std::vector<std::pair<std::string, std::string>>;   // "type CNID", path below
    const Content a = {{"d 16", ""}, {"r 17", "/one.txt"}, {"d 18", "/sub"}, {"r 19", "/sub/two.txt"}, {"d 20", "/inner"},
                       {"r 28", "/inner/again.txt"}, {"r 28", "/inner/three.txt"}};
    const Content c = {{"d 20", ""}, {"r 28", "/again.txt"}, {"r 28", "/three.txt"}};
    const std::string linked = ".HFS+ Private Directory Data^";
    std::set<std::string> expected = {"d 24 D", "d 29 " + linked, "d 27 ^^^^HFS+ Private Data", "r 28 ^^^^HFS+ Private Data/iNode28"}, listed;
    for (const auto &[content, names] : {std::pair{a, std::vector<std::string>{"A", "B", "D/E", linked + "/dir_16"}},
                                         std::pair{c, std::vector<std::string>{"C", linked + "/dir_20"}}})
        for (const std::string &name : names)
            for (const auto &[node, below] : content) expected.insert(node + " " + name + below);
    for (const FlsEntry &e : flsTree(img)) listed.insert(e.type + (" " + std::to_string(e.cnid)) + " " + e.path);
    EXPECT_EQ(listed, expected);

    for (auto [folder, links, first] : {std::tuple{16u, "3", "31"}, {20u, "2", "30"}}) {
        Istat s = istat(img, folder);
        EXPECT_NE(s.out.find("This is a hard link to a folder."), std::string::npos) << s.out;
        EXPECT_EQ(s.fields["Link count"], links);
        ASSERT_EQ(s.attributes.size(), 1u) << s.out;
        EXPECT_EQ(s.attributes[0].name, hfsbuild::kFirstLinkAttribute);
        EXPECT_EQ(icat(img, folder, "-" + s.attributes[0].id), bytesOf(first + std::string(1, '\0')));
    }
    Istat privateFolder = istat(img, 29);
    EXPECT_EQ(privateFolder.fields["Mode"], "dr-xr-xr-t");
    for (const char *flag : {"\nName locked\n", "\nIs invisible\n"}) EXPECT_NE(privateFolder.out.find(flag), std::string::npos);

    auto fsstat = fields(tool({"fsstat", img.path}).out);   // link records count as files
    EXPECT_EQ(fsstat["Number of files"], "10");
    EXPECT_EQ(fsstat["Number of folders"], "6");
}

ON_IMAGES(BuilderTsk, "Demo", "MixedCaseHfsx", "SmallBlocks", "HugeBlocks", "MapNodes", "WithAttributes",
          "ForkAttributes", "UnicodeNames", "Compressed", "Overflow", "Fragmented");

}  // namespace
