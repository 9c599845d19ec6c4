// The extents overflow file: where a fork keeps the extents past the eight its own record holds
// (TN1150 "Extents Overflow File"), indexed once when a volume opens.
#pragma once

#include <array>
#include <cstdint>

struct BTree;

constexpr uint32_t kExtentsFileID = 3;
constexpr uint8_t kDataForkType = 0x00, kResourceForkType = 0xFF;
constexpr int kExtentsPerRecord = 8;

struct Extent {
    uint32_t startBlock = 0, blockCount = 0;
};
using ExtentRecord = std::array<Extent, kExtentsPerRecord>;

// Replaces the index with the leaf records of `tree` (none when it is null). The walk is bounded by
// the nodes loaded; records with a key of the wrong length are skipped.
void indexOverflowExtents(const BTree *tree);
// The record of (fileID, forkType) whose first extent is fork block `startBlock`, or null.
const ExtentRecord *overflowRecord(uint32_t fileID, uint8_t forkType, uint32_t startBlock);
