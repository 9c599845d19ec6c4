// The active volume: header search and checks, opening devices and images, the partition offset,
// and the loaded B-trees, which live until the process ends.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct BTree;

constexpr size_t kVolumeHeaderSize = 512;
constexpr uint64_t kVolumeHeaderOffset = 1024;

extern int g_activeFS;
extern uint64_t g_PartitionOffset;
extern std::string HFSErr;

void setPartitionOffset(uint64_t offset);
uint64_t getPartitionOffset();

int getVolumeHeader(int fd, uint8_t *dest);
std::string getRawDevice(const std::string &path);
int openHFSPartition(const char *path);
int openHFSPartitionInFd(int fd, uint64_t byteOffset, int blockSize);

int getActiveFS();
void setActiveFSDescriptor(int fd);
const uint8_t *getActiveVH();            // nullptr until a header was found
void setActiveVH(const uint8_t *header);

// Keeps a loaded tree for the rest of the process and returns a stable pointer to it.
BTree *keepBTree(BTree &&tree);
BTree *getExtentsBTree();
void setExtentsBTree(BTree *tree);
BTree *getCatalogBTree();
void setCatalogBTree(BTree *tree);
BTree *getAttributeBTree();
void setAttributeBTree(BTree *tree);
void setActiveBTree(BTree *tree, int treeType);
BTree *getActiveBTree();
int getActiveBTreeType();
void freeActiveBTree();
// Everything the selected volume is read through. `fs` keeps a copy while it tries another volume
// and puts it back when that one does not open completely.
struct VolumeState {
    int fd = 0;
    uint64_t partitionOffset = 0;
    std::optional<std::array<uint8_t, kVolumeHeaderSize>> header;
    BTree *extents = nullptr, *catalog = nullptr, *attributes = nullptr, *active = nullptr;
    int activeType = 0, compare = 0;
};
VolumeState saveVolumeState();
void restoreVolumeState(const VolumeState &state);
// For fuzz harnesses, which open a volume per input: closes the active descriptor and drops every
// loaded tree and the header, leaving the state of a fresh process.
void releaseVolumesForReuse();
