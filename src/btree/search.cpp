#include "btree/search.h"

#include <cstdio>

#include "base/output.h"
#include "btree/node.h"
#include "btree/records.h"

namespace {

int sign(uint32_t search, uint32_t record) { return search > record ? 1 : search < record ? -1 : 0; }

// The child node number that follows an index record's key.
uint32_t childOf(Bytes record) { return record.be32(static_cast<size_t>(record.be16(0)) + 2); }

}  // namespace

int compareCatalogKeys(Bytes r, Bytes s, uint8_t type) {
    if (int order = sign(s.be32(2), r.be32(2))) return order;
    uint16_t rLength = r.be16(6), sLength = s.be16(6);
    if (g_Debug)
        printf("CNID Of key: %d , Len: %hd.. CNID of RecKey %d, Len: %hd\n", s.be32(2), sLength, r.be32(2), rLength);
    if (type == 0xFF) return 0;
    // Only ASCII capitals fold; this is the program's own order, simpler than TN1150's table.
    auto fold = [type](uint16_t unit) -> uint16_t {
        return type == 0xCF && unit >= 0x41 && unit <= 0x5A ? unit + 0x20 : unit;
    };
    for (size_t i = 0; i < rLength && i < sLength; ++i) {
        uint16_t ru = fold(r.be16(8 + 2 * i)), su = fold(s.be16(8 + 2 * i));
        if (ru < su) return 1;
        if (ru > su) return -1;
    }
    return rLength > sLength ? -1 : rLength < sLength ? 1 : 0;
}

int compareAttributeKeys(Bytes r, Bytes s, int) {
    if (g_Debug) printf("Comparing attribute keys: %d vs. %d\n", s.be32(4), r.be32(4));
    return sign(s.be32(4), r.be32(4));
}

int compareKeys(Bytes recordKey, Bytes key, int treeType, int type) {
    if (treeType == 4) return compareCatalogKeys(recordKey, key, static_cast<uint8_t>(type));
    if (treeType == 8) return compareAttributeKeys(recordKey, key, type);
    return 0;
}

int compareAttributeKeysByName(Bytes r, Bytes s) {
    if (int order = sign(s.be32(4), r.be32(4))) return order;
    uint16_t rLength = r.be16(12), sLength = s.be16(12);
    for (size_t i = 0; i < rLength && i < sLength; ++i)
        if (int order = sign(s.be16(14 + 2 * i), r.be16(14 + 2 * i))) return order;
    return sign(sLength, rLength);
}

namespace {

// The descent from startNode (0: the root) to the leaf record equal to key; order nullptr means
// the program's own comparison of the tree type.
std::optional<SearchResult> descend(const BTree *tree, uint32_t startNode, int treeType, Bytes key, KeyOrder order,
                                    int compareType) {
    if (!tree) return std::nullopt;
    uint32_t node = startNode == 0 ? tree->rootNode() : startNode;
    for (int level = 0; level < kMaxSearchLevels; ++level) {
        if (g_Debug) fprintf(stderr, "Node: %d\n", node);
        if (node >= tree->totalNodes()) {
            printf("exiting\n");
            printf("Node %d is greater than # of nodes in the tree (%d)\n", node, tree->totalNodes());
            return std::nullopt;
        }
        HeldBytes held = tree->node(node);
        Bytes bytes = held.bytes;
        if (bytes.empty()) {
            reportNodeNotLoaded(tree, node);
            return std::nullopt;
        }
        uint16_t records = nodeNumRecords(bytes);
        uint32_t candidate = 0;
        int result = 1;
        uint16_t i = 0;
        Bytes record;
        for (; i < records; ++i) {
            uint16_t offset = 0;
            if (!recordOffset(bytes, i, &offset) || offset > bytes.size) {
                printf("Corrupt record offset for record %d of node %d: %hd\n", i, node,
                       static_cast<short>(tree->nodeSize()));
                return std::nullopt;
            }
            record = bytes.from(offset);
            result = order ? order(record, key) : compareKeys(record, key, treeType, compareType);
            if (result <= 0) break;
            candidate = childOf(record);
        }
        if (records == 0) return std::nullopt;
        if (result == 0) {
            if (nodeKind(bytes) == kLeafNode) {
                if (g_Debug) printf("Found in node %d, record %hd:\n", node, static_cast<short>(i));
                return SearchResult{static_cast<uint32_t>(treeType), node, i, record, held};
            }
            candidate = childOf(record);
        }
        if (nodeKind(bytes) == kLeafNode || candidate == 0) return std::nullopt;
        if (g_Debug) fprintf(stderr, "Debug: Recursing on CNID %d\n", candidate);
        node = candidate;
    }
    printf("Search abandoned after %d levels: the index of the tree loops\n", kMaxSearchLevels);
    return std::nullopt;
}

}  // namespace

std::optional<SearchResult> searchKey(const BTree *tree, uint32_t startNode, int treeType, Bytes key, int compareType) {
    return descend(tree, startNode, treeType, key, nullptr, compareType);
}

std::optional<SearchResult> searchKeyInOrder(const BTree *tree, int treeType, Bytes key, KeyOrder order) {
    return descend(tree, 0, treeType, key, order, 0);
}
