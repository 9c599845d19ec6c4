// Internal to hfsbuild: lays sorted records out as an HFS Plus B-tree file (TN1150 "B-Trees").
#pragma once

#include <cstdint>
#include <vector>

namespace hfsbuild {

using Bytes = std::vector<uint8_t>;

struct BTreeRecord {
    Bytes key;                     // starts with its 16-bit keyLength, even length overall
    Bytes data;                    // even length
};

struct BTreeShape {
    uint16_t nodeSize = 4096;
    uint16_t maxKeyLength = 0;
    uint8_t keyCompareType = 0;
    uint32_t attributes = 0;       // kBTBigKeysMask | kBTVariableIndexKeysMask for catalog and attributes
};

// Nodes the tree needs for these records, the header node and the map nodes included.
uint32_t btreeNodesNeeded(const BTreeShape &shape, const std::vector<BTreeRecord> &sorted);

// The whole tree file, `totalNodes` nodes long (at least btreeNodesNeeded), its map covering them
// all; free nodes stay zero.
Bytes writeBTree(const BTreeShape &shape, const std::vector<BTreeRecord> &sorted, uint32_t totalNodes,
                 uint32_t clumpSize);

void appendBE16(Bytes &out, uint16_t value);
void appendBE32(Bytes &out, uint32_t value);
void appendBE64(Bytes &out, uint64_t value);

}  // namespace hfsbuild
