// The extents overflow file: where a fork keeps the extents past the eight its own record holds
// (TN1150 "Extents Overflow File"), indexed once when a volume opens.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <tuple>

class BTree;

constexpr uint32_t kExtentsFileID = 3;
constexpr uint8_t kDataForkType = 0x00, kResourceForkType = 0xFF;
constexpr int kExtentsPerRecord = 8;

struct Extent {
    uint32_t startBlock = 0, blockCount = 0;
};
using ExtentRecord = std::array<Extent, kExtentsPerRecord>;

class OverflowIndex {
public:
    // The leaf records of an extents tree. The walk is bounded by the tree's nodes; records with a
    // key of the wrong length are skipped.
    explicit OverflowIndex(const BTree *tree = nullptr);
    // The record of (fileID, forkType) whose first extent is fork block `startBlock`, or null.
    const ExtentRecord *find(uint32_t fileID, uint8_t forkType, uint32_t startBlock) const;

private:
    using Key = std::tuple<uint32_t, uint8_t, uint32_t>;   // fileID, fork type, start block
    std::map<Key, ExtentRecord> records_;
};
