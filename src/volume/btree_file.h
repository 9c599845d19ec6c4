// A B-tree file (catalog, extents overflow, attributes) read node by node as it is used, through a
// bounded cache, or held in memory whole (tests, fuzzing). The header record's fields by name.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/bits.h"

constexpr int kExtentsTree = 3;      // tree types are the CNIDs of the three files (TN1150)
constexpr int kCatalogTree = 4;
constexpr int kAttributesTree = 8;

constexpr int kNodeDescriptorSize = 14;
constexpr int8_t kLeafNode = -1, kIndexNode = 0, kHeaderNode = 1, kMapNode = 2;
constexpr uint16_t kMinNodeSize = 512, kMaxNodeSize = 32768;
// What the cache may hold by default: the index levels of a large catalog and the leaves in use.
constexpr size_t kDefaultNodeCacheBytes = 4 << 20;

// Bytes of a node (or a part of one: a record, its data), kept alive while a caller holds them,
// whatever the cache drops meanwhile.
struct HeldBytes {
    std::shared_ptr<const uint8_t> owner;
    Bytes bytes;
    bool empty() const { return bytes.empty(); }
};

class BTree {
public:
    // Reads `length` bytes of the tree file from `offset` into `out`; returns how many it could.
    using Reader = std::function<uint64_t(uint64_t offset, uint8_t *out, uint64_t length)>;

    // The whole tree file in memory.
    explicit BTree(std::vector<uint8_t> bytes);
    // A tree file of `size` bytes read through `read` a node at a time.
    BTree(uint64_t size, Reader read, size_t cacheBytes = kDefaultNodeCacheBytes);
    // The cache's index points into its own list: a copy would share iterators it does not own.
    BTree(const BTree &) = delete;
    BTree &operator=(const BTree &) = delete;
    BTree(BTree &&) = default;   // a moved list keeps its elements, and the index its iterators
    BTree &operator=(BTree &&) = default;

    // Header record fields (record 0 of node 0, at byte 14; TN1150 BTHeaderRec).
    uint16_t treeDepth() const { return head().be16(14); }
    uint32_t rootNode() const { return head().be32(16); }
    uint32_t leafRecords() const { return head().be32(20); }
    uint32_t firstLeafNode() const { return head().be32(24); }
    uint32_t lastLeafNode() const { return head().be32(28); }
    uint16_t nodeSize() const { return head().be16(32); }
    uint32_t totalNodes() const { return head().be32(36); }
    uint32_t freeNodes() const { return head().be32(40); }
    uint8_t btreeType() const { return head().u8(50); }
    uint8_t keyCompareType() const { return head().u8(51); }
    uint32_t mapNode() const { return head().be32(0); }

    // The bytes of node n, or empty when it does not lie wholly inside the tree file.
    HeldBytes node(uint32_t n) const;
    // Bytes of the tree file.
    uint64_t size() const { return size_; }
    // How many nodes a walk can visit: the header's count, but no more than the file holds whole.
    uint32_t walkableNodes() const;
    // Raw bytes of the file, for a snapshot; returns how many could be read.
    uint64_t read(uint64_t offset, uint8_t *out, uint64_t length) const;

private:
    Bytes head() const { return {head_.data(), head_.size()}; }

    uint64_t size_ = 0;
    std::shared_ptr<const std::vector<uint8_t>> whole_;   // set when held in memory
    Reader read_;
    std::vector<uint8_t> head_;                          // the first bytes of node 0: the header record
    size_t cacheNodes_ = 0;
    // Least recently used last; the map finds a node's place in the list.
    mutable std::list<std::pair<uint32_t, std::shared_ptr<const std::vector<uint8_t>>>> lru_;
    mutable std::unordered_map<uint32_t, decltype(lru_)::iterator> cached_;
};

// Node descriptor fields of a node view (TN1150 BTNodeDescriptor).
inline uint32_t nodeFLink(Bytes node) { return node.be32(0); }
inline uint32_t nodeBLink(Bytes node) { return node.be32(4); }
inline int8_t nodeKind(Bytes node) { return static_cast<int8_t>(node.u8(8)); }
inline uint16_t nodeNumRecords(Bytes node) { return node.be16(10); }
bool validNodeSize(uint16_t size);

// The record offset table at the end of a node: offset of record i, or nothing when the table
// entry itself does not lie inside the node.
bool recordOffset(Bytes node, uint16_t index, uint16_t *offset);
// The record at `offset`, cut where the offset table begins so that no record runs into it.
Bytes recordInNode(Bytes node, uint16_t offset);
