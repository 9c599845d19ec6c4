// deleted: records a delete left in a leaf's free space and in a free node, and in the journal's
// ring; their body-file lines through mactime; pull #CNID of a deleted file, plain and compressed.
#include <cstring>
#include <filesystem>

#include "btree/records.h"
#include "btree/search.h"
#include "catalog/path.h"
#include "hfsbuild/pending.h"
#include "image/image.h"
#include "transcript.h"
#include "volume/volume.h"

namespace {

using ByteVec = std::vector<uint8_t>;
constexpr size_t kNodeSize = 4096;

uint16_t be16At(const ByteVec &image, size_t at) { return static_cast<uint16_t>(image[at] << 8 | image[at + 1]); }
uint32_t be32At(const ByteVec &image, size_t at) { return uint32_t{be16At(image, at)} << 16 | be16At(image, at + 2); }

// Removes record `index` of the leaf at `node` as a delete does when the record is the node's last
// one: the records after it move up over it, and it stays whole where the free space now begins
// (returned).
uint16_t dropRecord(ByteVec &image, size_t node, uint16_t index) {
    auto entry = [&](size_t i) { return node + kNodeSize - 2 * (i + 1); };
    const uint16_t count = be16At(image, node + 10), from = be16At(image, entry(index)),
                   to = be16At(image, entry(index + 1u)), end = be16At(image, entry(count));
    const ByteVec record(image.begin() + static_cast<long>(node + from), image.begin() + static_cast<long>(node + to));
    std::memmove(&image[node + from], &image[node + to], end - to);
    for (size_t i = index; i < count; ++i) hfsbuild::putBE16(image, entry(i), be16At(image, entry(i + 1)) - (to - from));
    hfsbuild::putBE16(image, entry(count), 0);
    hfsbuild::putBE16(image, node + 10, count - 1);
    std::copy(record.begin(), record.end(), image.begin() + static_cast<long>(node + end - record.size()));
    return static_cast<uint16_t>(end - record.size());
}

struct Gone {
    uint32_t cnid;
    uint16_t offset, before;   // in the leaf's free space; in the leaf before, as the free node keeps it
    Extent extent;             // of its one fork that has blocks
};

// A volume from which /docs/gone.txt and the compressed /docs/packed.txt were deleted: their file
// and thread records left in the leaf's free space, gone.txt's blocks freed in the bitmap, and a
// copy of the leaf as it was before in the catalog's last node, which the map says is free. With
// `reused`, /docs went too, and gone.txt's record points at /a.txt's block, as when a file took it since.
struct DeletedVolume {
    hfsbuild::Volume layout;   // what the builder was given
    ByteVec image;
    uint32_t leaf = 0, freeNode = 0;
    Gone gone{}, packed{};
};

DeletedVolume deletedVolume(bool reused = false) {
    DeletedVolume d;
    d.layout.label = "Deleted";
    d.layout.catalogBlocks = 8;
    hfsbuild::Node packed = hfsbuild::fileNode("/docs/packed.txt", std::string(90000, 'p'));
    packed.compression = 4;
    d.layout.nodes = {hfsbuild::fileNode("/a.txt", "kept\n"), hfsbuild::fileNode("/docs/gone.txt", std::string(9000, 'g')),
                    packed};
    d.image = hfsbuild::buildVolume(d.layout);
    d.gone.cnid = hfsbuild::cnidOf(d.layout, "/docs/gone.txt");
    d.packed.cnid = hfsbuild::cnidOf(d.layout, "/docs/packed.txt");
    Messages messages;
    auto volume = Volume::open(std::make_shared<FileImage>(UniqueFd(open(writeScratch("deleted-source.hfs", d.image).c_str(), O_RDONLY))), 0, messages);
    const BTree *catalog = volume->catalog();
    const uint32_t docs = hfsbuild::cnidOf(d.layout, "/docs");
    std::vector<std::pair<uint16_t, Gone *>> drops;   // index in the leaf; where the file record's offset goes
    for (auto [name, gone] : {std::pair{u"gone.txt", &d.gone}, std::pair{u"packed.txt", &d.packed}}) {
        auto file = searchKey(catalog, 0, kCatalogTree, CatalogKey(docs, name).view(), volume->compareType(), messages);
        auto thread = threadRecord(catalog, gone->cnid, messages);
        d.leaf = file->node;
        EXPECT_EQ(thread->node, d.leaf);
        gone->before = static_cast<uint16_t>(file->recordKey.data - file->held.bytes.data);
        CatalogRecord record{getRecordData(file->recordKey)};
        gone->extent = forkExtent(gone == &d.gone ? record.dataFork() : record.resourceFork(), 0);
        drops.push_back({file->record, gone});
        drops.push_back({thread->record, nullptr});
    }
    if (reused) {
        auto folder = searchKey(catalog, 0, kCatalogTree, CatalogKey(kRootFolderID, u"docs").view(), volume->compareType(), messages);
        drops.push_back({folder->record, nullptr});
        drops.push_back({threadRecord(catalog, docs, messages)->record, nullptr});
    }
    auto kept = searchKey(catalog, 0, kCatalogTree, CatalogKey(kRootFolderID, u"a.txt").view(), volume->compareType(), messages);
    const uint32_t keptBlock = forkExtent(CatalogRecord{getRecordData(kept->recordKey)}.dataFork(), 0).startBlock;
    const size_t catalogAt = size_t{be32At(d.image, 1024 + kCatalogForkOffset + 16)} * d.layout.blockSize;
    d.freeNode = catalog->totalNodes() - 1;
    const size_t leafAt = catalogAt + d.leaf * kNodeSize, freeAt = catalogAt + d.freeNode * kNodeSize;
    EXPECT_TRUE(std::all_of(d.image.begin() + static_cast<long>(freeAt), d.image.begin() + static_cast<long>(freeAt + kNodeSize),
                            [](uint8_t b) { return b == 0; }));
    std::copy_n(d.image.begin() + static_cast<long>(leafAt), kNodeSize, d.image.begin() + static_cast<long>(freeAt));
    std::sort(drops.rbegin(), drops.rend());   // the last first, so that the indexes before it hold
    for (auto [index, gone] : drops) {
        uint16_t at = dropRecord(d.image, leafAt, index);
        if (gone) gone->offset = at;
    }
    const size_t bitmap = size_t{be32At(d.image, 1024 + kAllocationForkOffset + 16)} * d.layout.blockSize;
    for (uint32_t b = d.gone.extent.startBlock; b < d.gone.extent.startBlock + d.gone.extent.blockCount; ++b)
        d.image[bitmap + b / 8] &= static_cast<uint8_t>(~(0x80 >> b % 8));   // gone.txt's blocks freed
    for (size_t at : {leafAt + d.gone.offset, freeAt + d.gone.before})   // its first extent's start, in both copies
        if (reused) hfsbuild::putBE32(d.image, at + 2 + be16At(d.image, at) + 88 + 16, keptBlock);
    return d;
}

TEST(Deleted, FindsRecordsInSlackAndFreeNodesOnce) {
    DeletedVolume d = deletedVolume();
    auto line = [&](const Gone &gone, const std::string &sizeDatePath, const char *blocks) {
        char cnid[16];
        snprintf(cnid, sizeof cnid, "%8u", gone.cnid);
        return cnid + (" -rw-r--r-- " + sizeDatePath) + "  [node " + std::to_string(d.leaf) + " offset " +
               std::to_string(gone.offset) + ", free node " + std::to_string(d.freeNode) + " offset " +
               std::to_string(gone.before) + ", 2 copies, extents " + (&gone == &d.gone ? "" : "rsrc ") +
               std::to_string(gone.extent.startBlock) + "+" + std::to_string(gone.extent.blockCount) + ", blocks " + blocks + "]\n";
    };
    RunResult r = runTarnwick({"--no-color", "-c", "deleted", writeScratch("deleted.hfs", d.image)}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, line(d.gone, "     9000 Jan  1 00:00:00 2001 /docs/gone.txt", "free") +
                         line(d.packed, "    90000 Jan  1 00:00:00 2001 /docs/packed.txt", "allocated"));
    EXPECT_TRUE(r.err.ends_with("\n2 deleted records found in the journal, node slack and free nodes\n")) << r.err;
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
