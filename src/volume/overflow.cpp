#include "volume/overflow.h"

#include "volume/btree_file.h"
#include "volume/leaf_cursor.h"

namespace {

constexpr uint16_t kExtentKeyLength = 10;   // forkType, pad, fileID, startBlock
constexpr size_t kExtentRecordSize = 2 + kExtentKeyLength + 8 * kExtentsPerRecord;

}  // namespace

OverflowIndex::OverflowIndex(const BTree *tree) {
    if (!tree) return;
    LeafCursor cursor(*tree, tree->firstLeafNode());
    while (auto next = cursor.next()) {
        Bytes record = next->record;
        if (!record.has(0, kExtentRecordSize) || record.be16(0) != kExtentKeyLength) continue;
        ExtentRecord extents;
        for (int e = 0; e < kExtentsPerRecord; ++e) extents[e] = {record.be32(12 + 8 * e), record.be32(16 + 8 * e)};
        // The first record of a key wins, as a search down the tree would find it.
        records_.emplace(Key{record.be32(4), record.u8(2), record.be32(8)}, extents);
    }
}

const ExtentRecord *OverflowIndex::find(uint32_t fileID, uint8_t forkType, uint32_t startBlock) const {
    auto found = records_.find(Key{fileID, forkType, startBlock});
    return found == records_.end() ? nullptr : &found->second;
}
