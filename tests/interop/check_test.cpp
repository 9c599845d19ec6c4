// check and owner: a volume as its maker wrote it has nothing to report, each patched structure is
// named, and owner names the file The Sleuth Kit's ifind names for a block.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "interop.h"

namespace {

RunResult check(const std::string &image) { return runTarnwick({"-c", "check", image}, "", {"TARNWICK_IN_PLACE=1"}); }

const std::vector<std::string> kBuilderVolumes{"Demo", "MixedCaseHfsx", "SmallBlocks", "HugeBlocks", "MapNodes",
                                               "UnicodeNames", "Overflow", "FolderLinks", "Fragmented", "WithAttributes",
                                               "ForkAttributes", "Stamped", "Compressed", "Modern", "Wrapped", "Deleted"};

// The Demo volume as the builder lays it out: 4096-byte blocks and nodes, each file one extent.
struct Demo {
    explicit Demo(const std::string &name = "Demo") : v(hfsbuild::buildVolume(*builderVolume(name))) {}
    Bytes v;
    Bytes::size_type header = 1024;
    uint32_t be32(size_t at) const { return uint32_t{v[at]} << 24 | v[at + 1] << 16 | v[at + 2] << 8 | v[at + 3]; }
    uint16_t be16(size_t at) const { return static_cast<uint16_t>(v[at] << 8 | v[at + 1]); }
    void put32(size_t at, uint32_t x) {
        for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (24 - 8 * i));
    }
    void put16(size_t at, uint16_t x) { v[at] = static_cast<uint8_t>(x >> 8), v[at + 1] = static_cast<uint8_t>(x); }
    size_t tree(size_t fork) const { return size_t{be32(header + fork + 16)} * 4096; }
    size_t node(size_t fork, uint32_t n) const { return tree(fork) + size_t{n} * 4096; }
    size_t slot(size_t node, uint16_t r) const { return node + 4096 - 2 * (r + 1); }
    size_t key(size_t node, uint16_t r) const { return node + be16(slot(node, r)); }
    size_t data(size_t node, uint16_t r) const { return key(node, r) + 2 + be16(key(node, r)); }
    // The catalog leaf record of `cnid` of `type` (1 folder, 2 file, 3 or 4 thread): its key's and its data's offsets.
    std::pair<size_t, size_t> find(uint32_t cnid, uint16_t type) const {
        for (uint32_t n = be32(tree(272) + 24); n; n = be32(node(272, n)))
            for (uint16_t r = 0; r < be16(node(272, n) + 10); ++r) {
                size_t d = data(node(272, n), r);
                uint32_t id = type > 2 ? be32(key(node(272, n), r) + 2) : be32(d + 8);
                if (be16(d) == type && id == cnid) return {key(node(272, n), r), d};
            }
        ADD_FAILURE() << "no record of type " << type << " for CNID " << cnid;
        return {0, 0};
    }
    size_t record(uint32_t cnid, uint16_t type) const { return find(cnid, type).second; }
    size_t bitmap() const { return size_t{be32(header + 112 + 16)} * 4096; }
    void flipBit(uint32_t block) { v[bitmap() + block / 8] ^= static_cast<uint8_t>(0x80 >> block % 8); }
};

constexpr uint32_t kHello = 22, kRunSh = 26;
constexpr size_t kCatalog = 272, kDataFork = 88, kExtent0 = kDataFork + 16;

struct Patch {
    const char *name;
    std::function<void(Demo &)> apply;
    const char *finding;   // what the report must say
};

const std::vector<Patch> kPatches{
    {"header free count", [](Demo &d) { d.put32(d.header + 48, d.be32(d.header + 48) + 1); }, "volume header: it counts"},
    {"alternate header block size", [](Demo &d) { d.put32(d.v.size() - 1024 + 40, 512); },
     "alternate volume header: its block size differs"},
    {"catalog leaf count", [](Demo &d) { d.put32(d.tree(kCatalog) + 14 + 6, 41); }, "catalog B-tree: the header counts 41 leaf records"},
    {"catalog free node count", [](Demo &d) { d.put32(d.tree(kCatalog) + 14 + 26, 3); }, "catalog B-tree: the header counts 3 free"},
    {"first leaf's forward link", [](Demo &d) { d.put32(d.node(kCatalog, 1), 0); }, "forward link is 0, not 2"},
    {"second leaf's backward link", [](Demo &d) { d.put32(d.node(kCatalog, 2) + 4, 2); }, "backward link is 2, not 1"},
    {"keys out of order", [](Demo &d) { d.put32(d.key(d.node(kCatalog, 1), 2) + 2, 0x7FFFFFFF); },
     "catalog B-tree: node 1, record 3: key sorts before"},
    {"node map bit cleared", [](Demo &d) { d.v[d.tree(kCatalog) + 14 + 106 + 128] &= 0xBF; }, "node 1 in the tree but marked free"},
    {"bitmap bit cleared", [](Demo &d) { d.flipBit(20); }, "allocation bitmap: block 20 claimed but marked free"},
    {"extent past the end", [](Demo &d) { d.put32(d.record(kHello, 2) + kExtent0, 49); },
     "/hello.txt (CNID 22), data fork: extent of blocks 49 runs past the volume's last block 48"},
    {"overlapping forks", [](Demo &d) { d.put32(d.record(kHello, 2) + kExtent0, 20); },
     "block 20 claimed by both /hello.txt (CNID 22), data fork and /bin/run.sh (CNID 26), data fork"},
    {"fork longer than its extents", [](Demo &d) { d.put32(d.record(kRunSh, 2) + kDataFork + 12, 3); },
     "/bin/run.sh (CNID 26), data fork: extents hold 1 of the fork's 3 blocks"},
    {"logical size past the blocks", [](Demo &d) { d.put32(d.record(kRunSh, 2) + kDataFork + 4, 4097); },
     "/bin/run.sh (CNID 26), data fork: logical size 4097 is more than its 1 blocks hold"},
    {"folders in a loop", [](Demo &d) { d.put32(d.find(16, 1).first + 2, 18); },   // /Documents moved into its /Documents/notes
     "catalog: folder 16's parents lead back to it"},
    {"missing thread", [](Demo &d) { d.put16(d.record(kHello, 4), 0x7F); }, "file 22 has no thread record"},
    {"folder valence", [](Demo &d) { d.put32(d.record(2, 1) + 4, 3); }, "folder 2's valence is 3"},
    {"next CNID", [](Demo &d) { d.put32(d.header + 64, 30); }, "CNID 34 is not below the header's next CNID 30"},
    {"link count", [](Demo &d) { d.put32(d.record(34, 2) + 44, 5); }, "hard link target 34 counts 5 links, the catalog holds 2"},
    {"inline size", [](Demo &d) {
         size_t node = d.node(352, d.be32(d.tree(352) + 24)), value = d.data(node, 0);
         d.put32(value + 12, 5000);
     }, "gives 5000 bytes inline, its record holds"},
    {"decmpfs magic", [](Demo &d) {
         std::string value(d.v.begin(), d.v.end());
         size_t at = value.find("fpmc");
         ASSERT_NE(at, std::string::npos);
         d.v[at] = 'x';
     }, "decmpfs header is without its magic"},
};

}  // namespace

TEST(Check, BuilderVolumesHaveNothingToReport) {
    for (const std::string &name : kBuilderVolumes) {
        const TestImage &img = testImage(name);
        if (img.path.empty()) continue;   // xorriso missing: said by the tests that need it
        RunResult r = check(img.path);
        EXPECT_EQ(r.out, "No problems found\n") << name;
        EXPECT_EQ(r.status, 0) << name;
    }
    // Made so: /chain links to the link /B, /gone to no folder at all.
    const std::string chain = "catalog: 1 directory hard links name CNID 20, which is not a folder\n";
    EXPECT_EQ(check(testImage("LinkLoops").path).out, chain + "1 finding\n");
    RunResult r = check(testImage("LinkNowhere").path);
    EXPECT_EQ(r.out, chain + "catalog: 1 directory hard links name folder 4000, which is missing\n2 findings\n");
    EXPECT_EQ(r.status, 1);
    // xorriso leaves an empty block marked used: noted, as space lost, and no finding.
    if (!testImage("Xorriso").path.empty()) {
        r = check(testImage("Xorriso").path);
        EXPECT_EQ(r.out, "note: allocation bitmap: block 8 marked used but claimed by nothing\nNo problems found\n");
        EXPECT_EQ(r.status, 0);
    }
}

TEST(Check, CorpusImagesHaveNothingToReport) {
    std::string corpus = corpusPath("");
    if (corpus.empty()) GTEST_SKIP() << "../shared/corpus is not present";
    int checked = 0;
    for (const char *folder : {"dfvfs", "keramics", "hdi-mac", "dmg-forensic"})
        for (const auto &entry : std::filesystem::directory_iterator(corpus + "/" + folder)) {
            std::string path = entry.path().string();
            if (!path.ends_with(".dmg") && !path.ends_with(".raw")) continue;
            RunResult r = check(path);
            EXPECT_EQ(r.out, "No problems found\n") << path;
            EXPECT_EQ(r.status, 0) << path;
            ++checked;
        }
    EXPECT_GE(checked, 17);
}

TEST(Check, EachPatchedStructureIsNamed) {
    for (const Patch &patch : kPatches) {
        Demo demo;
        patch.apply(demo);
        RunResult r = check(writeScratch("patched.hfs", demo.v));
        EXPECT_NE(r.out.find(patch.finding), std::string::npos) << patch.name << ":\n" << r.out << r.err;
        EXPECT_NE(r.out.find(" finding"), std::string::npos) << patch.name;
        EXPECT_EQ(r.status, 1) << patch.name;
    }
}

// An overflow file's extents records of no file are said; the bad blocks file's claim their blocks.
TEST(Check, OverflowRecordsOfNoFileAndBadBlocks) {
    for (uint32_t owner : {15000u, 5u}) {
        Demo d("Overflow");
        const size_t tree = size_t{d.be32(d.header + 192 + 16)} * d.be32(d.header + 40), nodeSize = d.be16(tree + 32);
        const size_t leaf = tree + d.be32(tree + 24) * nodeSize, key = leaf + d.be16(leaf + nodeSize - 2);
        const std::string block = std::to_string(d.be32(key + 12));   // its first extent's
        d.put32(key + 4, owner);
        RunResult r = runTarnwick({"-c", "check; owner " + block, writeScratch("overflow.hfs", d.v)}, "");
        EXPECT_NE(r.out.find(owner == 5 ? "Block " + block + ": bad blocks file\n"
                                        : "extents overflow file: 1 extents records of CNID 15000, which has no file record\n"),
                  std::string::npos) << r.out;
    }
}

TEST(Owner, BlocksPastTheEndAndOffsets) {
    const std::string demo = testImage("Demo").path;
    RunResult r = runTarnwick({"-c", "owner 0; owner -o 86016; owner 30; owner 45; owner 49", demo}, "");
    EXPECT_EQ(r.out, "Block 0: volume header\nOffset 86016 is in block 21: /.hidden-notes.txt (CNID 27), data fork\n"
                     "Block 30: /Compressed/blocks.log (CNID 31), resource fork\nBlock 45: free\n");
    EXPECT_NE(r.err.find("owner: block 49 lies past the volume's end (49 blocks)\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(runTarnwick({"-c", "owner 0x31", testImage("ForkAttributes").path}, "").out,
              "Block 49: /big.txt (CNID 16), attribute com.example.big\n");
}

// For blocks sampled across the volume, owner names the CNID ifind names; where ifind finds no
// file, owner names no data fork (ifind looks at no other fork).
class OwnerVsIfind : public OnImage {};

TEST_P(OwnerVsIfind, SampledBlocks) {
    std::smatch m;
    std::string fsstat = tool({"fsstat", "-o", img.offset(), img.path}).out;
    ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Block Range: 0 - (\d+))"))) << fsstat;
    const uint64_t last = std::stoull(m[1]), step = std::max<uint64_t>(1, last / 40);
    std::vector<uint64_t> blocks;
    std::string script;
    for (uint64_t b = 0; b <= last; b += step) blocks.push_back(b), script += "owner " + std::to_string(b) + ";";
    std::istringstream lines(runTarnwick({"-c", script, img.path}, "").out);
    const std::map<std::string, std::string> special{{"3", "extents overflow file"}, {"4", "catalog file"},
                                                     {"6", "allocation file"}, {"8", "attributes file"}};
    int compared = 0;
    for (uint64_t b : blocks) {
        std::string line;
        std::getline(lines, line);
        ASSERT_TRUE(line.starts_with("Block " + std::to_string(b) + ": ")) << line;
        std::string ifind = runCommand({"ifind", "-o", img.offset(), "-d", std::to_string(b), img.path}).out;
        ifind = ifind.substr(0, ifind.find('\n'));
        if (ifind.empty()) continue;   // TSK could not tell
        ++compared;
        if (ifind == "Inode not found")
            EXPECT_EQ(line.find(", data fork"), std::string::npos) << line;
        else
            EXPECT_NE(line.find(special.contains(ifind) ? special.at(ifind) : "(CNID " + ifind + ")"), std::string::npos)
                << "ifind: " << ifind << ", owner: " << line;
    }
    EXPECT_GE(compared, 3);
}

ON_IMAGES(OwnerVsIfind, "Demo", "Fragmented", "Overflow", "Compressed", "CorpusHfsplus", "Xorriso");

// Every block istat gives a file's data or resource fork, owner names as that fork's.
class OwnerVsIstat : public OnImage {};

TEST_P(OwnerVsIstat, EveryBlockOfEveryFile) {
    std::set<uint32_t> files;
    for (const FlsEntry &e : flsTree(img))
        if (e.type == 'r') files.insert(e.cnid);   // a hard link's indirect node once
    std::vector<std::string> expected;
    std::string script;
    for (uint32_t cnid : files) {
        Istat s = istat(img, cnid);
        for (auto [label, fork] : {std::pair{"Data Fork Blocks", "data fork"}, {"Resource Fork Blocks", "resource fork"}})
            for (uint64_t block : blockList(s.fields[label])) {
                expected.push_back("Block " + std::to_string(block) + ": " + "(CNID " + std::to_string(cnid) + "), " + fork);
                script += "owner " + std::to_string(block) + ";";
            }
    }
    std::istringstream lines(runTarnwick({"-c", script, img.path}, "", {"TARNWICK_IN_PLACE=1"}).out);
    for (const std::string &want : expected) {
        std::string line;
        std::getline(lines, line);
        const std::string block = want.substr(0, want.find(": ") + 2), owner = want.substr(want.find(": ") + 2);
        EXPECT_TRUE(line.starts_with(block) && line.ends_with(owner)) << "istat: " << want << "\nowner: " << line;
    }
    EXPECT_GE(expected.size(), 5u);
}

ON_IMAGES(OwnerVsIstat, "CorpusHfsplus", "Fragmented", "Overflow", "Compressed");
