// Key comparison for both trees and the descent from the root to a leaf record.
#pragma once

#include <cstdint>
#include <optional>

#include "base/messages.h"
#include "volume/btree_file.h"

struct SearchResult {
    uint32_t treeType = 0;
    uint32_t node = 0;
    uint16_t record = 0;
    Bytes recordKey;       // from the record's first byte to the end of its node
    HeldBytes held;        // keeps the node alive, and recordKey valid with it
};

// A descent deeper than this is taken as an index that loops (real trees are a handful of levels).
constexpr int kMaxSearchLevels = 32;

// Says on standard output that node n lies outside the tree file; used where a node is visited.
void reportNodeNotLoaded(const BTree *tree, uint32_t n, Messages &messages);
int compareKeys(Bytes recordKey, Bytes searchKey, int treeType, int compareType);
int compareCatalogKeys(Bytes recordKey, Bytes searchKey, uint8_t compareType);
int compareAttributeKeys(Bytes recordKey, Bytes searchKey, int compareType);
// `compareType` is how catalog names compare: 0xCF folds case, 0xBC is binary. Damage met on the
// way down (and the debug trace) goes to `messages`.
std::optional<SearchResult> searchKey(const BTree *tree, uint32_t startNode, int treeType, Bytes key, int compareType,
                                      Messages &messages);

// Attribute keys in their full order (TN1150: fileID, then the name as binary UTF-16), for a
// lookup of one named attribute.
int compareAttributeKeysByName(Bytes recordKey, Bytes searchKey);
using KeyOrder = int (*)(Bytes recordKey, Bytes searchKey);
// The same descent as searchKey, in a given key order.
std::optional<SearchResult> searchKeyInOrder(const BTree *tree, int treeType, Bytes key, KeyOrder order,
                                             Messages &messages);
