#include "volume/overflow.h"

#include "volume/btree_file.h"

namespace {

constexpr uint16_t kExtentKeyLength = 10;   // forkType, pad, fileID, startBlock
constexpr size_t kExtentRecordSize = 2 + kExtentKeyLength + 8 * kExtentsPerRecord;

}  // namespace

OverflowIndex::OverflowIndex(const BTree *tree) {
    if (!tree) return;
    uint32_t node = tree->firstLeafNode();
    // A chain longer than the tree's nodes loops: every node is visited at most once that way.
    for (uint32_t visited = 0; node != 0 && visited < tree->walkableNodes(); ++visited) {
        HeldBytes ref = tree->node(node);
        Bytes bytes = ref.bytes;
        if (bytes.empty() || nodeKind(bytes) != kLeafNode) break;
        for (uint16_t i = 0; i < nodeNumRecords(bytes); ++i) {
            uint16_t offset = 0;
            if (!recordOffset(bytes, i, &offset)) break;
            Bytes record = recordInNode(bytes, offset);
            if (!record.has(0, kExtentRecordSize) || record.be16(0) != kExtentKeyLength) continue;
            ExtentRecord extents;
            for (int e = 0; e < kExtentsPerRecord; ++e) extents[e] = {record.be32(12 + 8 * e), record.be32(16 + 8 * e)};
            // The first record of a key wins, as a search down the tree would find it.
            records_.emplace(Key{record.be32(4), record.u8(2), record.be32(8)}, extents);
        }
        node = nodeFLink(bytes);
    }
}

const ExtentRecord *OverflowIndex::find(uint32_t fileID, uint8_t forkType, uint32_t startBlock) const {
    auto found = records_.find(Key{fileID, forkType, startBlock});
    return found == records_.end() ? nullptr : &found->second;
}
