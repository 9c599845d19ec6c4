#include "btree/search.h"

#include "base/output.h"
#include "btree/records.h"

namespace {

int sign(uint32_t search, uint32_t record) { return search > record ? 1 : search < record ? -1 : 0; }

}  // namespace

void reportNodeNotLoaded(const BTree *tree, uint32_t n, Messages &messages) {
    messages.out("Node %u lies outside the %llu bytes loaded for the tree (node size %hu)\n", n,
                 static_cast<unsigned long long>(tree->size()), tree->nodeSize());
}

int compareCatalogKeys(Bytes recordKey, Bytes key, uint8_t type) {
    CatalogKeyView r{recordKey}, s{key};
    if (int order = sign(s.parentID(), r.parentID())) return order;
    uint16_t rLength = r.nameLength(), sLength = s.nameLength();
    if (type == 0xFF) return 0;
    // Only ASCII capitals fold; this is the program's own order, simpler than TN1150's table.
    auto fold = [type](uint16_t unit) -> uint16_t {
        return type == 0xCF && unit >= 0x41 && unit <= 0x5A ? unit + 0x20 : unit;
    };
    for (size_t i = 0; i < rLength && i < sLength; ++i) {
        uint16_t ru = fold(r.nameUnit(i)), su = fold(s.nameUnit(i));
        if (ru < su) return 1;
        if (ru > su) return -1;
    }
    return rLength > sLength ? -1 : rLength < sLength ? 1 : 0;
}

int compareAttributeKeys(Bytes recordKey, Bytes key, int) {
    AttributeKeyView r{recordKey}, s{key};
    return sign(s.fileID(), r.fileID());
}

int compareKeys(Bytes recordKey, Bytes key, int treeType, int type) {
    if (treeType == 4) return compareCatalogKeys(recordKey, key, static_cast<uint8_t>(type));
    if (treeType == 8) return compareAttributeKeys(recordKey, key, type);
    return 0;
}

int compareAttributeKeysByName(Bytes recordKey, Bytes key) {
    AttributeKeyView r{recordKey}, s{key};
    if (int order = sign(s.fileID(), r.fileID())) return order;
    uint16_t rLength = r.nameLength(), sLength = s.nameLength();
    for (size_t i = 0; i < rLength && i < sLength; ++i)
        if (int order = sign(s.nameUnit(i), r.nameUnit(i))) return order;
    return sign(sLength, rLength);
}

namespace {

// What the comparison of the tree's own order looks at, for the debug trace.
void traceComparison(Bytes recordKey, Bytes key, int treeType, Messages &messages) {
    if (treeType == kCatalogTree) {
        CatalogKeyView r{recordKey}, s{key};
        if (s.parentID() == r.parentID())
            messages.out("CNID Of key: %d , Len: %hd.. CNID of RecKey %d, Len: %hd\n", s.parentID(), s.nameLength(),
                         r.parentID(), r.nameLength());
    } else if (treeType == kAttributesTree) {
        messages.out("Comparing attribute keys: %d vs. %d\n", AttributeKeyView{key}.fileID(),
                     AttributeKeyView{recordKey}.fileID());
    }
}

// The descent from startNode (0: the root) to the leaf record equal to key; order nullptr means
// the program's own comparison of the tree type.
std::optional<SearchResult> descend(const BTree *tree, uint32_t startNode, int treeType, Bytes key, KeyOrder order,
                                    int compareType, Messages &messages) {
    if (!tree) return std::nullopt;
    uint32_t node = startNode == 0 ? tree->rootNode() : startNode;
    for (int level = 0; level < kMaxSearchLevels; ++level) {
        if (g_Debug) messages.err("Node: %d\n", node);
        if (node >= tree->totalNodes()) {
            messages.out("exiting\n");
            messages.out("Node %d is greater than # of nodes in the tree (%d)\n", node, tree->totalNodes());
            return std::nullopt;
        }
        HeldBytes held = tree->node(node);
        Bytes bytes = held.bytes;
        if (bytes.empty()) {
            reportNodeNotLoaded(tree, node, messages);
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
                messages.out("Corrupt record offset for record %d of node %d: %hd\n", i, node,
                             static_cast<short>(tree->nodeSize()));
                return std::nullopt;
            }
            record = bytes.from(offset);
            if (g_Debug && !order) traceComparison(record, key, treeType, messages);
            result = order ? order(record, key) : compareKeys(record, key, treeType, compareType);
            if (result <= 0) break;
            candidate = childNode(record);
        }
        if (records == 0) return std::nullopt;
        if (result == 0) {
            if (nodeKind(bytes) == kLeafNode) {
                if (g_Debug) messages.out("Found in node %d, record %hd:\n", node, static_cast<short>(i));
                return SearchResult{static_cast<uint32_t>(treeType), node, i, record, held};
            }
            candidate = childNode(record);
        }
        if (nodeKind(bytes) == kLeafNode || candidate == 0) return std::nullopt;
        if (g_Debug) messages.err("Debug: Recursing on CNID %d\n", candidate);
        node = candidate;
    }
    messages.out("Search abandoned after %d levels: the index of the tree loops\n", kMaxSearchLevels);
    return std::nullopt;
}

}  // namespace

std::optional<SearchResult> searchKey(const BTree *tree, uint32_t startNode, int treeType, Bytes key, int compareType,
                                      Messages &messages) {
    return descend(tree, startNode, treeType, key, nullptr, compareType, messages);
}

std::optional<SearchResult> searchKeyInOrder(const BTree *tree, int treeType, Bytes key, KeyOrder order,
                                             Messages &messages) {
    return descend(tree, 0, treeType, key, order, 0, messages);
}
