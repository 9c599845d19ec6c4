// B-tree files loaded whole into memory, the header record, and the catalog/attributes commands.
#pragma once

#include <cstdint>
#include <vector>

#include "volume/bits.h"

constexpr int kExtentsTree = 3;      // tree types are the CNIDs of the three files (TN1150)
constexpr int kCatalogTree = 4;
constexpr int kAttributesTree = 8;

constexpr int kNodeDescriptorSize = 14;
constexpr int8_t kLeafNode = -1, kIndexNode = 0, kHeaderNode = 1, kMapNode = 2;

// The B-tree file exactly as it lies on the volume: node n starts at n x nodeSize. Every field
// stays big-endian and is read through the checked view, so no access leaves the loaded bytes.
struct BTree {
    std::vector<uint8_t> bytes;

    Bytes view() const { return {bytes.data(), bytes.size()}; }
    // Header record fields (record 0 of node 0, at byte 14).
    uint16_t treeDepth() const { return view().be16(14); }
    uint32_t rootNode() const { return view().be32(16); }
    uint32_t leafRecords() const { return view().be32(20); }
    uint32_t firstLeafNode() const { return view().be32(24); }
    uint32_t lastLeafNode() const { return view().be32(28); }
    uint16_t nodeSize() const { return view().be16(32); }
    uint32_t totalNodes() const { return view().be32(36); }
    uint32_t freeNodes() const { return view().be32(40); }
    uint8_t btreeType() const { return view().u8(50); }
    uint8_t keyCompareType() const { return view().u8(51); }
    uint32_t mapNode() const { return view().be32(0); }

    // The bytes of node n, or an empty view when it does not lie wholly inside the loaded bytes.
    Bytes node(uint32_t n) const;
    // How many nodes a walk can visit: the header's count, but no more than were loaded whole.
    uint32_t walkableNodes() const;
};

// Node descriptor fields of a node view.
inline uint32_t nodeFLink(Bytes node) { return node.be32(0); }
inline uint32_t nodeBLink(Bytes node) { return node.be32(4); }
inline int8_t nodeKind(Bytes node) { return static_cast<int8_t>(node.u8(8)); }
inline uint16_t nodeNumRecords(Bytes node) { return node.be16(10); }

extern int compareType;

BTree *processBTree(const uint8_t *volumeHeader, int treeID, int fd, uint64_t partitionOffset);
void setCompareType(uint8_t keyCompareType);
const char *compareToText(int compareType);
void dumpBTree(const BTree *tree, const char *treeName);
// Reports on standard output that node n lies outside what was loaded; used where a node is visited.
void reportNodeNotLoaded(const BTree *tree, uint32_t n);
int doCatalog(const char *line);
int doExtents(const char *line);
int doAttrs(const char *line);
