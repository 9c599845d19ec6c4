#include "volume/volume.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>

#include "base/output.h"
#include "btree/btree.h"
#include "volume/bits.h"
#include "volume/journal.h"
#include "volume/overflow.h"

int g_activeFS = 0;
uint64_t g_PartitionOffset = 0;
std::string HFSErr;

namespace {

std::optional<std::array<uint8_t, kVolumeHeaderSize>> g_activeVH;
std::deque<BTree> g_loadedTrees;      // a deque keeps element addresses stable as it grows
BTree *g_extentsBTree = nullptr;
BTree *g_catalogBTree = nullptr;
BTree *g_attributeBTree = nullptr;
BTree *g_activeBTree = nullptr;
int g_activeBTreeType = 0;

constexpr size_t kHeaderProbeSize = 8192;
constexpr size_t kExtentsForkBlocks = 192 + 12;   // TN1150 extentsFile.totalBlocks
constexpr size_t kAttributesForkBlocks = 352 + 12;   // TN1150 attributesFile.totalBlocks

}  // namespace

void setPartitionOffset(uint64_t offset) {
    if (g_Debug) fprintf(stderr, "Setting partition offset to 0x%llx\n", static_cast<unsigned long long>(offset));
    g_PartitionOffset = offset;
}

uint64_t getPartitionOffset() { return g_PartitionOffset; }

int getVolumeHeader(int fd, uint8_t *dest) {
    if (!dest) return -1;
    // The header lies a partition offset past the current position. The sum is checked so that a
    // huge offset from a partition map cannot wrap into a backwards seek.
    off_t here = lseek(fd, 0, SEEK_CUR);
    uint64_t target = static_cast<uint64_t>(here < 0 ? 0 : here) + g_PartitionOffset;
    std::array<uint8_t, kHeaderProbeSize> probe{};
    ssize_t got = -1;
    if (here >= 0 && target >= g_PartitionOffset && target <= static_cast<uint64_t>(INT64_MAX) &&
        lseek(fd, static_cast<off_t>(target), SEEK_SET) >= 0)
        got = readFully(fd, probe.data(), probe.size());
    if (got != static_cast<ssize_t>(probe.size())) {
        fprintf(stderr, "Read: returned %d bytes\n", static_cast<int>(got));
        return -2;
    }
    memcpy(dest, probe.data() + kVolumeHeaderOffset, kVolumeHeaderSize);
    unsigned signature = dest[0] | dest[1] << 8;
    if (memcmp(dest, "H+", 2) != 0 && memcmp(dest, "HX", 2) != 0) {
        fprintf(stderr, "Signature: %x is unrecognized\n", signature);
        return -3;
    }
    if (g_Debug) fprintf(stderr, "Got HFS Signature: %x\n", signature);
    return 0;
}

int openHFSPartitionInFd(int fd, uint64_t byteOffset, int blockSize) {
    if (g_Debug)
        printf("Opening partition from offset %lld (0x%llx) with Blocksize %d\n", static_cast<long long>(byteOffset),
               static_cast<unsigned long long>(byteOffset), blockSize);
    if (byteOffset > static_cast<uint64_t>(INT64_MAX) || lseek(fd, static_cast<off_t>(byteOffset), SEEK_SET) < 0) {
        if (byteOffset > static_cast<uint64_t>(INT64_MAX)) errno = EINVAL;
        perror("lseek");
        return -1;
    }
    uint8_t header[kVolumeHeaderSize];
    if (getVolumeHeader(fd, header) != 0) return -1;
    setActiveVH(header);
    // The overflow extents first: the catalog and attributes files may continue there.
    indexOverflowExtents(nullptr);
    setExtentsBTree(nullptr);
    if (Bytes{header, kVolumeHeaderSize}.be32(kExtentsForkBlocks) != 0)
        setExtentsBTree(processBTree(header, kExtentsTree, fd, g_PartitionOffset));
    indexOverflowExtents(getExtentsBTree());
    if (g_Debug) fprintf(stderr, "Processing Catalog\n");
    setCatalogBTree(processBTree(header, kCatalogTree, fd, g_PartitionOffset));
    if (g_Debug) fprintf(stderr, "Processing Attributes\n");
    // Volumes made before 10.4 often have no attributes file: its fork is all zero, which is no damage.
    setAttributeBTree(nullptr);
    if (Bytes{header, kVolumeHeaderSize}.be32(kAttributesForkBlocks) != 0)
        setAttributeBTree(processBTree(header, kAttributesTree, fd, g_PartitionOffset));
    // Transactions still in the journal are not in the structures read here: say so once, up front.
    if (auto journal = readJournal(fd, header, g_PartitionOffset); journal && journal->unreplayed())
        fprintf(stderr, "%s", kUnreplayedJournalWarning);
    return 0;
}

std::string getRawDevice(const std::string &path) {
#ifdef __APPLE__
    // Disks are read through their raw twin, which the system does not hold busy while mounted.
    if (path.starts_with("/dev/rdisk") || !path.starts_with("/dev/disk")) return path;
    return "/dev/r" + path.substr(5);
#else
    return path;   // /dev/disk/by-id/... and the like are names of their own elsewhere
#endif
}

int openHFSPartition(const char *path) {
    std::string name = getRawDevice(path);
    UniqueFd fd(open(name.c_str(), O_RDONLY));
    if (!fd) {
        int err = errno;
        HFSErr = "Error opening HFS+ Partition (Device: " + name + ")";
        if (err == EACCES)
            HFSErr += " - System reported access denied.\nEither run me as root, or chmod +r the device so I can read it\n";
        else if (err == ENOENT)
            HFSErr += " - Path does not exist.\nDid you get the device right?\n";
        else if (err == EBUSY)
            HFSErr += " - Busy.\nDid you pass me the /dev/disk instead of the /dev/rdisk?\n";
        return -1;
    }
    if (openHFSPartitionInFd(fd.get(), 0, 512) != 0) {
        HFSErr = std::string("Unable to find HFS Volume header on device ") + path;
        return -1;  // the descriptor is closed: nothing will read through it
    }
    return fd.release();
}

int getActiveFS() { return g_activeFS; }
void setActiveFSDescriptor(int fd) { g_activeFS = fd; }

const uint8_t *getActiveVH() { return g_activeVH ? g_activeVH->data() : nullptr; }

void setActiveVH(const uint8_t *header) {
    if (!g_activeVH) g_activeVH.emplace();
    memcpy(g_activeVH->data(), header, kVolumeHeaderSize);
}

BTree *keepBTree(BTree &&tree) { return &g_loadedTrees.emplace_back(std::move(tree)); }
BTree *getExtentsBTree() { return g_extentsBTree; }
void setExtentsBTree(BTree *tree) { g_extentsBTree = tree; }
BTree *getCatalogBTree() { return g_catalogBTree; }
void setCatalogBTree(BTree *tree) { g_catalogBTree = tree; }
BTree *getAttributeBTree() { return g_attributeBTree; }
void setAttributeBTree(BTree *tree) { g_attributeBTree = tree; }

void setActiveBTree(BTree *tree, int treeType) {
    g_activeBTree = tree;
    g_activeBTreeType = treeType;
}

BTree *getActiveBTree() { return g_activeBTree; }
int getActiveBTreeType() { return g_activeBTreeType; }
void freeActiveBTree() { g_activeBTree = nullptr; }

VolumeState saveVolumeState() {
    return {g_activeFS, g_PartitionOffset, g_activeVH, g_extentsBTree, g_catalogBTree, g_attributeBTree, g_activeBTree,
            g_activeBTreeType, compareType};
}

void restoreVolumeState(const VolumeState &state) {
    g_activeFS = state.fd;
    g_PartitionOffset = state.partitionOffset;
    g_activeVH = state.header;
    g_extentsBTree = state.extents;
    g_catalogBTree = state.catalog;
    g_attributeBTree = state.attributes;
    g_activeBTree = state.active;
    g_activeBTreeType = state.activeType;
    compareType = state.compare;
    indexOverflowExtents(state.extents);
}

void releaseVolumesForReuse() {
    if (g_activeFS > 0) close(g_activeFS);
    g_activeFS = 0;
    g_PartitionOffset = 0;
    g_activeVH.reset();
    g_extentsBTree = g_catalogBTree = g_attributeBTree = g_activeBTree = nullptr;
    g_activeBTreeType = 0;
    g_loadedTrees.clear();
    indexOverflowExtents(nullptr);
    compareType = 0xCF;
}
