// Opening volumes with fs: bare, HFSX and IMG4 images, their reports, and damaged or missing images;
// the journal: its report, the warning while transactions wait to be replayed, and damage. Clean
// journals and volumes without one, as macOS leaves them, are in the corpus tests.
#include "hfsbuild/hfsbuild.h"
#include "transcript.h"
#include "base/bits.h"

namespace {

using hfsbuild::putBE16;

hfsbuild::Volume dataVolume() {
    hfsbuild::Volume v;
    v.label = "Data";
    v.totalBlocks = 64;
    v.nodes = {hfsbuild::fileNode("/hello.txt", "hi\n"), hfsbuild::fileNode("/Documents/readme.txt", "read\n")};
    return v;
}

// Where a file of the volume starts, from its fork in the volume header (catalog 272, attributes 352).
size_t forkStart(const std::vector<uint8_t> &img, size_t fork) {
    Bytes vh{img.data() + 1024, 512};
    return static_cast<size_t>(vh.be32(fork + 16)) * vh.be32(40);
}
size_t catalogStart(const std::vector<uint8_t> &img) { return forkStart(img, 272); }

const std::string kDataCatalog = treeReport("catalog", 1, 1, 1, 1, 8, 2, 0, "CF - Case Folding (case-insensitive)");
const std::string kDataAttributes = treeReport("attributes", 0, 0, 0, 0, 0, 1, 0, "0 - None (ok for attribute B-Trees)");

std::string volinfo(const char *signature, int version) {
    return std::string("This is a drive of 0.250000 MB \nVolume Header:\n\tSignature:          \t") + signature +
           "\n\tVersion:            \t" + std::to_string(version) +
           "\n\tAttributes:         \t100 - was last cleanly unmounted,\n\tNumber of Files:    \t2\t\n"
           "\tNumber of Folders:  \t1\n\tFree Blocks:        \t55\n\tTotal Blocks:       \t64\n\tBlock Size:         \t4096\n"
           "\tClumpSize:          \t65536\n\tCreated on:         \tMon Jan  1 00:00:00 2001\n"
           "\tModified on:        \tMon Jan  1 00:00:00 2001\n\tNext CNID:          \t19\n\n\tCatalog B-Tree:     \t2 blocks from 3\n"
           "\n\tAttribute B-Tree:   \t1 blocks from 5\n\tLast Mounted by:    \t31302e30 (10.0) - Journal info block is @0\n";
}

// Patches the record type of the root folder's thread (record 1 of the catalog's only leaf).
void patchRootThreadType(std::vector<uint8_t> &img, uint16_t type) {
    size_t node = catalogStart(img) + 4096;
    size_t record = node + Bytes{img.data() + node, 4096}.be16(4096 - 4);
    putBE16(img, record + 2 + Bytes{img.data() + record, 2}.be16(0), type);
}

using hfsbuild::Journal;

constexpr size_t kJournalAt = 3 * 4096;   // after the reserved block, the bitmap and the info block
const std::string kWarning =
    "The journal holds unreplayed transactions: what follows is the volume as last written in place\n";

const std::string kInfo = "Journal info block:\t2\n\tFlags:              \t0x1 - in the file system\n"
                          "\tOffset:             \t12288\n\tSize:               \t";

std::string header(const char *order, uint64_t size, uint64_t start, uint64_t end, const char *checksum) {
    return kInfo + std::to_string(size) + "\nJournal header:\t" + order + "-endian\n\tStart:              \t" +
           std::to_string(start) + "\n\tEnd:                \t" + std::to_string(end) +
           "\n\tHeader size:        \t512\n\tBlock list size:    \t4096\n\tChecksum:           \t" + checksum +
           "\n\tSequence:           \t1\n";
}

}  // namespace

TEST(Volume, Transcripts) {
    std::vector<uint8_t> data = hfsbuild::buildVolume(dataVolume());
    std::string dataPath = writeScratch("data.hfs", data);
    auto variant = [&](const char *name, auto patch) {
        std::vector<uint8_t> copy = data;
        patch(copy);
        return writeScratch(name, copy);
    };
    hfsbuild::Volume hfsx = dataVolume(), bare = dataVolume();
    hfsx.hfsx = true;
    hfsx.label = "Case";
    bare.withAttributesFile = false;
    std::string hfsxPath = writeScratch("hfsx.hfs", hfsbuild::buildVolume(hfsx)),
                img4Path = writeScratch("volume.img4", hfsbuild::wrapIMG4(data)),
                barePath = writeScratch("no-attributes.hfs", hfsbuild::buildVolume(bare)),
                zeroPath = variant("zero-header.hfs", [](auto &v) { std::fill(v.begin() + 1024, v.begin() + 1536, 0); }),
                shortPath = writeScratch("short.hfs", std::vector<uint8_t>(data.begin(), data.begin() + 4096)),
                badCatalogPath = variant("bad-catalog.hfs", [](auto &v) { v[catalogStart(v) + 8] = 0; }),   // header node kind 0
                oddNodesPath = variant("odd-nodes.hfs", [](auto &v) { putBE16(v, catalogStart(v) + 14 + 18, 1536); }),
                badAttributesPath = variant("bad-attributes.hfs", [](auto &v) { v[forkStart(v, 352) + 14 + 36] = 128; }),   // btreeType
                notThreadPath = variant("not-thread.hfs", [](auto &v) { patchRootThreadType(v, 1); });

    const std::string trying = "Trying DMG\nAttempting DMG Mount (0)\n";
    const std::string badKind = "processBTree: Node kind 0, 3 records - should be kind 1, 3 records - but it isn't!\n",
                      noRoot = "Unable to lookup root entry (CNID: 2) in Catalog. Something must be very wrong\n",
                      oddNodes = "The B-tree's node size 1536 is not a power of two from 512 to 32768: the tree is not read\n";
    const std::string D = "Data";
    struct Row { std::vector<std::string> args; std::string label; Transcript s; } rows[] = {
        {{}, "Case", {"fs " + hfsxPath + "\nvolinfo\ncatalog\n",   // HFSX opens like HFS Plus and compares binary
                      "SIG: 5848\n" + treeReport("catalog", 1, 1, 1, 1, 8, 2, 0, "BC - Binary Compare (case-sensitive)"),
                      "{}" + kRawOpened + "{/}" + volinfo("0x4858 (HX)", 5) + "{/}{/}"}},
        {{}, D, {"fs " + img4Path + "\ncatalog\n", kDataCatalog, "{}Trying DMG\nThis is an IMG4\n{/}{/}"}},   // 16 bytes in
        {{}, "", {"fs " + zeroPath + "\nfs\n", "",
                  "{}" + trying + "Signature: 0 is unrecognized\nUnable to recognize this DMG file\n" + zeroPath +
                      " not recognized as a DMG\n{}No File System has been selected. Use listfs to display all mounted file systems\n{}"}},
        {{}, "", {"fs " + shortPath + "\n", "",
                  "{}" + trying + "Read: returned 4096 bytes\nUnable to recognize this DMG file\n" + shortPath +
                      " not recognized as a DMG\n{}"}},
        {{}, "", {"fs \n", "", "{}Unable to find mount point or device : Try 'listfs' first, or select a .dmg file\nopening \n"
                                "Error opening HFS+ Partition (Device: ) - Path does not exist.\nDid you get the device right?\n\n{}"}},
        {{}, "Unknown)", {"fs " + badCatalogPath + "\ncatalog\n", "node is 0\nnode is 0\nnode is 0\n",   // no tree, no label
                          "{}" + trying + badKind + "DMG type: Raw image (RC: 0)\n" + badKind + noRoot + "{/}" + badKind +
                              "Can't read catalog B-Tree. This is odd. Is the filesystem corrupt?\n{/}"}},
        {{}, "Unknown)", {"fs " + oddNodesPath + "\n", "", "{}" + trying + oddNodes + "DMG type: Raw image (RC: 0)\n" + oddNodes + noRoot + "{/}"}},
        {{}, D, {"fs " + badAttributesPath + "\nattributes\n", "",   // an attributes tree of another type is absent
                 "{}" + kRawOpened + "{/}This is peculiar: I can't get the attribute B-Tree. Some DMGs don't have any\n{/}"}},
        {{}, D, {"fs " + barePath + "\nattributes\n", "",   // no attributes file (legal before 10.4): no alarm
                 "{}" + kRawOpened + "{/}The volume has no attributes file\n{/}"}},
        {{}, "", {"fs " + notThreadPath + "\n", "", "{}" + kRawOpened + "Root entry is not a thread\n{/}"}},   // no label
    };
    for (const Row &row : rows) expectSession(row.args, row.label, row.s);

    const std::string P = "\033[1;1m" + prompt("Data", "/") + "\033[0;0mColor is off\n" + prompt("Data", "/");
    RunResult r = runTarnwick({dataPath}, "color\nfs\nvolinfo\ncatalog\nattributes\n");   // the whole start of a session
    EXPECT_EQ(r.out, "SIG: 2b48\n" + kDataCatalog + kDataAttributes);
    EXPECT_EQ(r.err, kRawOpened + kBanner + withPrompts("Data", P + "Default file system set to " + dataPath +
                                                          ", Volume label is Data\n{/}" + volinfo("0x482B (H+)", 4) + "{/}{/}{/}Exiting\n"));
}

TEST(Journal, ReportWarningAndDamage) {
    Journal dirty{.size = 16384, .littleEndian = false, .start = 14336};   // the first list's header wraps
    dirty.transactions = {{{16, std::vector<uint8_t>(512, 1)}, {24, std::vector<uint8_t>(512, 2)}},
                          {{40, std::vector<uint8_t>(4096, 3)}}};
    Journal one{.size = 16384};
    one.transactions = {{{7, std::vector<uint8_t>(512, 7)}}};
    struct Case {   // err: what the journal command writes there
        const char *name;
        std::optional<Journal> journal;
        void (*damage)(std::vector<uint8_t> &);
        std::string out, err;
        bool warned;
    } cases[] = {
        {"two lists, one across the ring's end", dirty, nullptr,
         header("big", 16384, 14336, 11776, "0x8798f6d7 (correct)") +
             "Block list at 14336: 5120 bytes, checksum 0xff0114e5 (correct), 2 of at most 255 blocks\n"
             "\tsector 16, 512 bytes\n\tsector 24, 512 bytes\n"
             "Block list at 3584: 8192 bytes, checksum 0xff0120d9 (correct), 1 of at most 255 blocks\n"
             "\tsector 40, 4096 bytes\n"
             "Transaction 1, sequence 1: 2 blocks - journal x2\nTransaction 2, sequence 2: 1 blocks - journal\n"
             "2 block lists wait to be replayed\n",
         "", true},
        {"a list longer than the journal holds", one,
         [](std::vector<uint8_t> &image) { image[kJournalAt + 512 + 5] = 0x70; },   // bytes_used, little-endian
         header("little", 16384, 512, 5120, "0x08e4ab27 (correct)") +
             "Block list at 512: 28672 bytes, checksum 0x05e805e8 (should be 0x058a058a), 1 of at most 255 blocks\n"
             "\tsector 7, 512 bytes\nTransaction 1, sequence 1: 1 blocks - other\n",
         "The block list at 512 claims 28672 bytes: it would not end where the next begins before the journal's end\n",
         true},
        {"a start at the ring's end", one, [](std::vector<uint8_t> &image) { image[kJournalAt + 9] = 0x40; },   // 512 -> 16384
         header("little", 16384, 16384, 5120, "0x08e4ab27 (should be 0x092aaae9)"), "The journal's start (16384) or end (5120) lies outside its ring of transactions\n", false},
        {"no journal header", Journal{}, [](std::vector<uint8_t> &image) { image[kJournalAt] = 'X'; },
         kInfo + "65536\n",
         "The journal header has magic 0x584c4e4a and byte-order mark 0x78563412: it is no journal header\n", false},
    };
    for (const Case &c : cases) {
        hfsbuild::Volume v;
        v.label = "J", v.nodes = {hfsbuild::fileNode("/a.txt", "a\n")}, v.journal = c.journal;
        std::vector<uint8_t> image = hfsbuild::buildVolume(v);
        if (c.damage) c.damage(image);
        RunResult r = runTarnwick({writeScratch("journal.hfs", image)}, "color\njournal\nvolinfo\n");
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, c.out + "SIG: 2b48\n") << c.name;
        EXPECT_EQ(r.err.substr(0, r.err.find("DMG type: Raw image")).ends_with(kWarning), c.warned) << c.name << r.err;
        EXPECT_NE(r.err.find(withPrompts("J", "Color is off\n{/}" + c.err + "{/}" + (c.warned ? kWarning : "") + "This is a drive")),
                  std::string::npos) << c.name << r.err;
    }
}
