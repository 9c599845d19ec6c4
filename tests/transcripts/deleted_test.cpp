// deleted: records a delete left in a leaf's free space and in a free node, and in the journal's
// ring; their body-file lines through mactime; pull #CNID of a deleted file, plain and compressed.
#include <cstring>
#include <filesystem>

#include "btree/records.h"
#include "btree/search.h"
#include "catalog/path.h"
#include "hfsbuild/deleted.h"
#include "hfsbuild/pending.h"
#include "image/image.h"
#include "transcript.h"
#include "volume/volume.h"

namespace {

using ByteVec = std::vector<uint8_t>;
constexpr size_t kNodeSize = 4096;

uint16_t be16At(const ByteVec &image, size_t at) { return static_cast<uint16_t>(image[at] << 8 | image[at + 1]); }
uint32_t be32At(const ByteVec &image, size_t at) { return uint32_t{be16At(image, at)} << 16 | be16At(image, at + 2); }

// A volume from which /docs/gone.txt and the compressed /docs/packed.txt were deleted, gone.txt's
// blocks freed, the catalog's last node keeping their leaf as it was. With `reused`, /docs went too,
// and gone.txt's record points at /a.txt's block, as when a file took it since.
struct DeletedVolume {
    hfsbuild::Volume layout;   // what the builder was given
    ByteVec image;
    uint32_t leaf = 0, freeNode = 0;
    hfsbuild::DeletedEntry gone, packed;
};

DeletedVolume deletedVolume(bool reused = false) {
    DeletedVolume d;
    d.layout.label = "Deleted";
    d.layout.catalogBlocks = 8;
    hfsbuild::Node packed = hfsbuild::fileNode("/docs/packed.txt", std::string(90000, 'p'));
    packed.compression = 4;
    d.layout.nodes = {hfsbuild::fileNode("/a.txt", "kept\n"), hfsbuild::fileNode("/docs/gone.txt", std::string(9000, 'g')),
                      packed};
    hfsbuild::Deletion deletion{{"/docs/gone.txt", "/docs/packed.txt"}, {"/docs/gone.txt"}};
    if (reused) deletion.paths.push_back("/docs");
    hfsbuild::DeletedVolume built = hfsbuild::buildDeleted(d.layout, deletion);
    d.image = std::move(built.image);
    d.gone = built.entries[0], d.packed = built.entries[1], d.leaf = d.gone.leaf, d.freeNode = built.freeNode;
    EXPECT_EQ(d.packed.leaf, d.leaf);
    if (reused) {   // gone.txt's first extent starts at /a.txt's block, in both copies
        const ByteVec clean = hfsbuild::buildVolume(d.layout);
        Messages messages;
        auto volume = Volume::open(std::make_shared<FileImage>(UniqueFd(open(writeScratch("deleted-source.hfs", clean).c_str(), O_RDONLY))), 0, messages);
        auto kept = searchKey(volume->catalog(), 0, kCatalogTree, CatalogKey(kRootFolderID, u"a.txt").view(), volume->compareType(), messages);
        const size_t catalogAt = size_t{be32At(d.image, 1024 + kCatalogForkOffset + 16)} * d.layout.blockSize;
        for (size_t at : {catalogAt + d.leaf * kNodeSize + d.gone.offset, catalogAt + d.freeNode * kNodeSize + d.gone.before})
            hfsbuild::putBE32(d.image, at + 2 + be16At(d.image, at) + 88 + 16,
                              forkExtent(CatalogRecord{getRecordData(kept->recordKey)}.dataFork(), 0).startBlock);
    }
    return d;
}

TEST(Deleted, FindsRecordsInSlackAndFreeNodesOnce) {
    DeletedVolume d = deletedVolume();
    auto line = [&](const hfsbuild::DeletedEntry &gone, const std::string &sizeDatePath, const char *blocks) {
        char cnid[16];
        snprintf(cnid, sizeof cnid, "%8u", gone.cnid);
        return cnid + (" -rw-r--r-- " + sizeDatePath) + "  [node " + std::to_string(d.leaf) + " offset " +
               std::to_string(gone.offset) + ", free node " + std::to_string(d.freeNode) + " offset " +
               std::to_string(gone.before) + ", 2 copies, extents " + (&gone == &d.gone ? "" : "rsrc ") +
               std::to_string(gone.startBlock) + "+" + std::to_string(gone.blockCount) + ", blocks " + blocks + "]\n";
    };
    RunResult r = runTarnwick({"--no-color", "-c", "deleted", writeScratch("deleted.hfs", d.image)}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, line(d.gone, "     9000 Jan  1 00:00:00 2001 /docs/gone.txt", "free") +
                         line(d.packed, "    90000 Jan  1 00:00:00 2001 /docs/packed.txt", "allocated"));
    EXPECT_TRUE(r.err.ends_with("\n2 deleted records found in the journal, node slack and free nodes\n")) << r.err;
    // A delete leaves the volume sound; packed.txt's blocks, still marked used, are space lost.
    r = runTarnwick({"--no-color", "-c", "check", writeScratch("deleted.hfs", d.image)}, "");
    EXPECT_TRUE(r.out.ends_with(" marked used but claimed by nothing\nNo problems found\n")) << r.out;
}

// The deleted files' bytes as written, the compressed one expanded through its surviving
// attribute; a CNID found nowhere is said as any other.
TEST(Deleted, PullsADeletedFile) {
    DeletedVolume d = deletedVolume();
    std::string image = writeScratch("deleted.hfs", d.image);
    const std::string gone = scratchDir() + "/gone.out", packed = scratchDir() + "/packed.out";
    RunResult r = runTarnwick({"--no-color", "-c",
                               "pull #" + std::to_string(d.gone.cnid) + " " + gone + "; pull #" +
                                   std::to_string(d.packed.cnid) + " " + packed + "; pull #999",
                               image}, "");
    EXPECT_EQ(r.status, 1);   // #999
    EXPECT_EQ(textOf(gone), std::string(9000, 'g'));
    EXPECT_EQ(textOf(packed), std::string(90000, 'p'));
    const std::string cnid = "#" + std::to_string(d.packed.cnid);
    EXPECT_NE(r.err.find(cnid + ": some of its blocks are allocated now: what they hold may be another file's\n"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("#" + std::to_string(d.gone.cnid) + " is deleted: its record is from node "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(cnid + ": its decmpfs attribute is from attributes file offset "), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("pull: #999: No such file or folder\n")) << r.err;
}

// Blocks a file took since are said to be its; pull -r of the deleted folder writes its deleted files.
TEST(Deleted, NamesReusedBlocksAndPullsADeletedFolder) {
    DeletedVolume d = deletedVolume(true);
    const std::string docs = "#" + std::to_string(hfsbuild::cnidOf(d.layout, "/docs")), dest = scratchDir() + "/tree";
    std::filesystem::remove_all(dest);
    std::filesystem::create_directory(dest);
    RunResult r = runTarnwick({"--no-color", "-c", "deleted; pull -r " + docs + " " + dest, writeScratch("deleted.hfs", d.image)}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string holder = "/a.txt (CNID " + std::to_string(hfsbuild::cnidOf(d.layout, "/a.txt")) + "), data fork";
    EXPECT_NE(r.out.find(" " + docs + "/gone.txt  [node "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", blocks allocated to " + holder + "]\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/packed.txt  [node "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(docs + "/gone.txt: some of its blocks are allocated now to " + holder +
                         ": what they hold may be another file's\n"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("2 files, 0 folders and 0 symbolic links written to " + dest + "/docs\n")) << r.err;
    EXPECT_TRUE(textOf(dest + "/docs/gone.txt").starts_with("kept\n"));
    EXPECT_EQ(textOf(dest + "/docs/packed.txt"), std::string(90000, 'p'));
}

// Body-file lines that mactime takes along with find's.
TEST(Deleted, BodyLinesMergeWithFindsInMactime) {
    if (!haveTool("mactime")) GTEST_SKIP() << "mactime is not installed";
    std::string image = writeScratch("deleted.hfs", deletedVolume().image);
    RunResult r = runTarnwick({"--no-color", "-c", "find / -m; deleted -m", image}, "");
    EXPECT_NE(r.out.find("|/docs/gone.txt (deleted)|"), std::string::npos) << r.out;
    RunResult timeline = runCommand({"mactime", "-b", writeScratch("deleted.body", bytesOf(r.out)), "-d", "-z", "UTC"});
    EXPECT_EQ(timeline.status, 0) << timeline.err;
    EXPECT_NE(timeline.out.find("/docs/gone.txt (deleted)"), std::string::npos) << timeline.out;
    EXPECT_NE(timeline.out.find("/a.txt"), std::string::npos) << timeline.out;
}

// A file created and deleted again in transactions the journal still holds: its record survives
// only in the ring's copy of the leaf the first wrote. Unreplayed, the transactions' copies are
// the volume to come, and said so.
TEST(Deleted, FindsRecordsInTheJournalRing) {
    hfsbuild::Volume v;
    v.label = "Ring";
    v.catalogNodeSize = 512;   // a transaction logs the sectors that change: whole nodes
    v.catalogBlocks = 4;
    v.totalBlocks = 64;
    v.nextCatalogID = 100;
    v.nodes = {hfsbuild::fileNode("/readme.txt", "read me\n")};
    std::vector<hfsbuild::Volume> states{v, v, v};
    states[1].nodes.push_back(hfsbuild::fileNode("/brief.txt", "here a moment\n"));
    hfsbuild::Journal journal{.size = 32768, .blockListSize = 512};
    std::string image = writeScratch("ring.hfs", hfsbuild::pendingJournal(states, journal).before);
    const std::string brief = "      17 -rw-r--r--        14 Jan  1 00:00:00 2001 /brief.txt  [journal offset ";
    struct Row {
        const char *script;
        std::string marker, summary;
    } rows[] = {{"replay; deleted", ", 1 copy, extents ", ""},
                {"deleted", " (not yet replayed), 1 copy, extents ",
                 " (0 of them earlier versions, 1 only in transactions not yet replayed)"}};
    for (const Row &row : rows) {
        RunResult r = runTarnwick({"--no-color", "-c", row.script, image}, "");
        EXPECT_NE(r.out.find(brief), std::string::npos) << row.script << r.out;   // after what replay says
        EXPECT_NE(r.out.find(row.marker), std::string::npos) << row.script << r.out;
        EXPECT_TRUE(r.out.ends_with("+1, blocks free]\n")) << row.script << r.out;
        EXPECT_TRUE(r.err.ends_with("1 deleted records found in the journal, node slack and free nodes" + row.summary + "\n")) << r.err;
    }
}

// A compressed file created and deleted again: its decmpfs attribute left the attributes tree with
// it and survives in the ring's copy of the attributes leaf, through which pull expands it.
TEST(Deleted, PullsACompressedFileThroughItsAttributeInTheRing) {
    hfsbuild::Volume v;
    v.label = "Packed";
    v.catalogNodeSize = v.attributesNodeSize = 512;   // a transaction logs the sectors that change: whole nodes
    v.catalogBlocks = 4;
    v.totalBlocks = 64;
    v.nodes = {hfsbuild::fileNode("/readme.txt", "read me\n")};
    std::vector<hfsbuild::Volume> states{v, v, v};
    std::string text;
    while (text.size() < 1500) text += "packed inline, line " + std::to_string(text.size()) + "\n";
    states[1].nodes.push_back(hfsbuild::fileNode("/packed.txt", text));
    states[1].nodes.back().compression = 3;
    const std::string image = writeScratch("packed.hfs", hfsbuild::pendingJournal(states, {.size = 32768, .blockListSize = 512}).before);
    const std::string out = scratchDir() + "/packed.out", sum = scratchDir() + "/packed.sum";
    RunResult r = runTarnwick({"--no-color", "-c", "replay; pull #17 " + out + "; pull -sha256 #17 " + sum, image}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(textOf(out), text);
    EXPECT_NE(r.err.find("#17: its decmpfs attribute is from journal offset "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("SHA256 (" + sum + ") = " + runCommand({"sha256sum", out}).out.substr(0, 64)), std::string::npos) << r.err;
}

}  // namespace
