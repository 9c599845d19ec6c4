#include "volume/overflow.h"

#include <map>
#include <tuple>

#include "btree/btree.h"
#include "btree/node.h"
#include "btree/records.h"

namespace {

constexpr uint16_t kExtentKeyLength = 10;   // forkType, pad, fileID, startBlock
constexpr size_t kExtentRecordSize = 2 + kExtentKeyLength + 8 * kExtentsPerRecord;

using Key = std::tuple<uint32_t, uint8_t, uint32_t>;   // fileID, fork type, start block
std::map<Key, ExtentRecord> g_overflow;

void indexLeaf(Bytes node) {
    for (uint16_t i = 0; i < nodeNumRecords(node); ++i) {
        uint16_t offset = 0;
        if (!recordOffset(node, i, &offset)) return;
        Bytes record = recordInNode(node, offset);
        if (!record.has(0, kExtentRecordSize) || record.be16(0) != kExtentKeyLength) continue;
        ExtentRecord extents;
        for (int e = 0; e < kExtentsPerRecord; ++e) extents[e] = {record.be32(12 + 8 * e), record.be32(16 + 8 * e)};
        // The first record of a key wins, as a search down the tree would find it.
        g_overflow.emplace(Key{record.be32(4), record.u8(2), record.be32(8)}, extents);
    }
}

}  // namespace

void indexOverflowExtents(const BTree *tree) {
    g_overflow.clear();
    if (!tree) return;
    uint32_t node = tree->firstLeafNode();
    // A chain longer than the nodes loaded loops: every node is visited at most once that way.
    for (uint32_t visited = 0; node != 0 && visited < tree->walkableNodes(); ++visited) {
        Bytes bytes = tree->node(node);
        if (bytes.empty() || nodeKind(bytes) != kLeafNode) break;
        indexLeaf(bytes);
        node = nodeFLink(bytes);
    }
}

const ExtentRecord *overflowRecord(uint32_t fileID, uint8_t forkType, uint32_t startBlock) {
    auto found = g_overflow.find(Key{fileID, forkType, startBlock});
    return found == g_overflow.end() ? nullptr : &found->second;
}
