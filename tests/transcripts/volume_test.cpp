// Opening volumes with fs: bare, HFSX and IMG4 images, their reports, and damaged or missing images.
#include "hfsbuild/hfsbuild.h"
#include "transcript.h"
#include "volume/bits.h"

namespace {

using hfsbuild::putBE16;
using hfsbuild::putBE32;

using hfsbuild::fileNode;

hfsbuild::Volume dataVolume() {
    hfsbuild::Volume v;
    v.label = "Data";
    v.totalBlocks = 64;
    v.nodes.push_back(fileNode("/hello.txt", "hi\n"));
    v.nodes.push_back(fileNode("/Documents/readme.txt", "read\n"));
    return v;
}

auto image = writeScratch;

// Where a file of the volume starts, from its fork in the volume header (catalog 272, attributes 352).
size_t forkStart(const std::vector<uint8_t> &img, size_t fork) {
    Bytes vh{img.data() + 1024, 512};
    return static_cast<size_t>(vh.be32(fork + 16)) * vh.be32(40);
}
size_t catalogStart(const std::vector<uint8_t> &img) { return forkStart(img, 272); }

const std::string P = prompt();
const std::string &kOpened = kRawOpened;

const std::string kDataCatalog = treeReport("catalog", 1, 1, 1, 1, 8, 2, 0, "CF - Case Folding (case-insensitive)");
const std::string kDataAttributes = treeReport("attributes", 0, 0, 0, 0, 0, 1, 0, "0 - None (ok for attribute B-Trees)");

std::string volinfo(const char *signature, int version, int nextCNID) {
    return std::string("This is a drive of 0.250000 MB \nVolume Header:\n") +
           "\tSignature:          \t" + signature + "\n" +
           "\tVersion:            \t" + std::to_string(version) + "\n" +
           "\tAttributes:         \t100 - was last cleanly unmounted,\n"
           "\tNumber of Files:    \t2\t\n"
           "\tNumber of Folders:  \t1\n"
           "\tFree Blocks:        \t55\n"
           "\tTotal Blocks:       \t64\n"
           "\tBlock Size:         \t4096\n"
           "\tClumpSize:          \t65536\n"
           "\tCreated on:         \tMon Jan  1 00:00:00 2001\n"
           "\tModified on:        \tMon Jan  1 00:00:00 2001\n"
           "\tNext CNID:          \t" + std::to_string(nextCNID) + "\n"
           "\n\tCatalog B-Tree:     \t2 blocks from 3\n"
           "\n\tAttribute B-Tree:   \t1 blocks from 5\n"
           "\tLast Mounted by:    \t31302e30 (10.0) - Journal info block is @0\n";
}

// Patches the record data of the root folder's thread (record 1 of the catalog's only leaf).
void patchRootThreadType(std::vector<uint8_t> &img, uint16_t type) {
    size_t node = catalogStart(img) + 4096;
    Bytes leaf{img.data() + node, 4096};
    size_t record = node + leaf.be16(4096 - 4);
    size_t data = record + 2 + Bytes{img.data() + record, 2}.be16(0);
    putBE16(img, data, type);
}

}  // namespace

TEST(Volume, Transcripts) {
    std::vector<uint8_t> data = hfsbuild::buildVolume(dataVolume());
    std::string dataPath = image("data.hfs", data);
    const std::string D = prompt("Data", "/");

    hfsbuild::Volume hfsx = dataVolume();
    hfsx.hfsx = true;
    hfsx.label = "Case";
    std::string hfsxPath = image("hfsx.hfs", hfsbuild::buildVolume(hfsx));

    std::string img4Path = image("volume.img4", hfsbuild::wrapIMG4(data));

    std::vector<uint8_t> zeroHeader = data;
    std::fill(zeroHeader.begin() + 1024, zeroHeader.begin() + 1536, 0);
    std::string zeroPath = image("zero-header.hfs", zeroHeader);
    std::string shortPath = image("short.hfs", std::vector<uint8_t>(data.begin(), data.begin() + 4096));

    std::vector<uint8_t> badCatalog = data;
    badCatalog[catalogStart(data) + 8] = 0;   // header node kind 0
    std::string badCatalogPath = image("bad-catalog.hfs", badCatalog);
    std::vector<uint8_t> twoRecords = data;
    putBE16(twoRecords, catalogStart(data) + 10, 2);
    std::string twoRecordsPath = image("two-records.hfs", twoRecords);
    std::vector<uint8_t> badAttributes = data;
    badAttributes[forkStart(data, 352) + 14 + 36] = 128;   // btreeType
    std::string badAttributesPath = image("bad-attributes.hfs", badAttributes);
    std::vector<uint8_t> notThread = data;
    patchRootThreadType(notThread, 1);
    std::string notThreadPath = image("not-thread.hfs", notThread);
    hfsbuild::Volume bare = dataVolume();
    bare.withAttributesFile = false;
    std::string barePath = image("no-attributes.hfs", hfsbuild::buildVolume(bare));

    const std::string missing = scratchDir() + "/missing.hfs";
    const std::string kMissing = "Unable to find mount point or device " + missing +
                                 ": Try 'listfs' first, or select a .dmg file\nopening " + missing +
                                 "\nError opening HFS+ Partition (Device: " + missing +
                                 ") - Path does not exist.\nDid you get the device right?\n\n";
    const std::string kBadKind = "processBTree: Node kind 0, 3 records - should be kind 1, 3 records - but it isn't!\n";

    const Transcript cases[] = {
        {"fs on a bare image, then its reports", {dataPath}, "color\nfs\nvolinfo\ncatalog\nattributes\n",
         "SIG: 2b48\n" + kDataCatalog + kDataAttributes,
         kOpened + kBanner + "\033[1;1m" + D + "\033[0;0mColor is off\n" + D + "Default file system set to " +
             dataPath + ", Volume label is Data\n" + D + volinfo("0x482B (H+)", 4, 19) + D + D + D + "Exiting\n"},
        {"HFSX opens like HFS Plus and compares binary", {}, "color\nfs " + hfsxPath + "\nvolinfo\ncatalog\n",
         "SIG: 5848\n" + treeReport("catalog", 1, 1, 1, 1, 8, 2, 0, "BC - Binary Compare (case-sensitive)"),
         kNoVolumeStart + kOpened + prompt("Case", "/") + volinfo("0x4858 (HX)", 5, 19) +
             prompt("Case", "/") + prompt("Case", "/") + "Exiting\n"},
        {"IMG4: the volume starts 16 bytes in", {}, "color\nfs " + img4Path + "\ncatalog\n", kDataCatalog,
         kNoVolumeStart + "Trying DMG\nThis is an IMG4\n" + D + D + "Exiting\n"},
        {"a header of zeros is not a volume", {}, "color\nfs " + zeroPath + "\nfs\n", "",
         kNoVolumeStart +
             "Trying DMG\nAttempting DMG Mount (0)\nSignature: 0 is unrecognized\nUnable to recognize this DMG file\n" +
             zeroPath + " not recognized as a DMG\n" + P +
             "No File System has been selected. Use listfs to display all mounted file systems\n" + P + "Exiting\n"},
        {"an image shorter than 8192 bytes", {}, "color\nfs " + shortPath + "\n", "",
         kNoVolumeStart +
             "Trying DMG\nAttempting DMG Mount (0)\nRead: returned 4096 bytes\nUnable to recognize this DMG file\n" +
             shortPath + " not recognized as a DMG\n" + P + "Exiting\n"},
        {"a failed fs keeps the previous selection", {dataPath}, "color\nfs " + missing + "\nfs\n", "",
         kOpened + kBanner + "\033[1;1m" + D + "\033[0;0mColor is off\n" + D + kMissing + D +
             "Default file system set to " + dataPath + ", Volume label is Data\n" + D + "Exiting\n"},
        {"fs with an empty name", {}, "color\nfs \n", "",
         kNoVolumeStart +
             "Unable to find mount point or device : Try 'listfs' first, or select a .dmg file\nopening \n"
             "Error opening HFS+ Partition (Device: ) - Path does not exist.\nDid you get the device right?\n\n" +
             P + "Exiting\n"},
        {"a damaged catalog header leaves no tree and no label", {}, "color\nfs " + badCatalogPath + "\ncatalog\n",
         "node is 0\nnode is 0\nnode is 0\n",
         kNoVolumeStart + "Trying DMG\nAttempting DMG Mount (0)\n" + kBadKind +
             "DMG type: Raw image (RC: 0)\n" + kBadKind +
             "Unable to lookup root entry (CNID: 2) in Catalog. Something must be very wrong\n" +
             prompt("Unknown)", "/") + kBadKind +
             "Can't read catalog B-Tree. This is odd. Is the filesystem corrupt?\n" + prompt("Unknown)", "/") +
             "Exiting\n"},
        {"a header node with two records", {}, "color\nfs " + twoRecordsPath + "\n", "node is 1\nnode is 1\n",
         kNoVolumeStart + "Trying DMG\nAttempting DMG Mount (0)\n" +
             "processBTree: Node kind 1, 2 records - should be kind 1, 3 records - but it isn't!\n"
             "DMG type: Raw image (RC: 0)\n"
             "processBTree: Node kind 1, 2 records - should be kind 1, 3 records - but it isn't!\n"
             "Unable to lookup root entry (CNID: 2) in Catalog. Something must be very wrong\n" +
             prompt("Unknown)", "/") + "Exiting\n"},
        {"an attributes tree of another type is absent", {}, "color\nfs " + badAttributesPath + "\nattributes\n",
         "",
         kNoVolumeStart + kOpened + D +
             "This is peculiar: I can't get the attribute B-Tree. Some DMGs don't have any\n" + D + "Exiting\n"},
        {"no attributes file (legal before 10.4): no alarm", {}, "color\nfs " + barePath + "\nattributes\n", "",
         kNoVolumeStart + kOpened + D + "The volume has no attributes file\n" + D + "Exiting\n"},
        {"a root thread that is not a thread keeps the old label", {}, "color\nfs " + notThreadPath + "\n", "",
         kNoVolumeStart + kOpened + "Root entry is not a thread\n" + prompt("", "/") +
             "Exiting\n"},
        {"debug traces of opening", {dataPath}, "color\n",
         "Opening partition from offset 0 (0x0) with Blocksize 512\n"
         "EXTENT: from block 2, 1 blocks/1 at offset 2000 (partition offset: 0x0)\n"
         "EXTENT: from block 3, 2 blocks/2 at offset 3000 (partition offset: 0x0)\n"
         "EXTENT: from block 5, 1 blocks/1 at offset 5000 (partition offset: 0x0)\n"
         "CNID Of key: 2 , Len: 0.. CNID of RecKey 2, Len: 0\n"
         "Found in node 1, record 1:\n",
         "Setting partition offset to 0x0\nTrying DMG\nAttempting DMG Mount (0)\n"
         "No Koly header - Signature is 0x0\nGot HFS Signature: 2b48\nProcessing Catalog\nProcessing Attributes\n"
         "DMG type: Raw image (RC: 0)\nSET PWD CNID TO 2\nNode: 1\n" +
             kBanner + "\033[1;1m" + D + "\033[0;0mColor is off\n" + D + "Exiting\n",
         {"ORLODEBUG=1"}},
    };
    for (const Transcript &t : cases) expectTranscript(t);
}
