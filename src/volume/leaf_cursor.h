// The one walk over a B-tree's leaf records: in key order from a record along the forward links,
// each node's record offsets checked once as it is entered (at least 14, increasing, before the
// free space), bounded by the tree's nodes so that a chain that loops ends, stopped by Ctrl-C.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "volume/btree_file.h"

struct LeafRecord {
    Bytes record;                            // key first, to where the offset table begins
    uint32_t node = 0;
    uint16_t index = 0;
    std::shared_ptr<const uint8_t> keep;     // the node `record` lies in
};

// How many of a node's records have sound offsets: the count of those before the first that is
// below 14, not above the one before it, or not before the free space; the table itself must fit.
uint16_t soundRecords(Bytes node);

class LeafCursor {
public:
    enum class End { kNone, kChainEnd, kNotALeaf, kLoop, kDamagedNode, kInterrupted };

    LeafCursor(const BTree &tree, uint32_t node, uint16_t record = 0) : tree_(tree), node_(node), index_(record) {}
    // The next record; nothing once the walk ended (end() says why).
    std::optional<LeafRecord> next();
    End end() const { return end_; }
    uint32_t node() const { return node_; }      // where the walk ended
    uint16_t index() const { return index_; }

private:
    const BTree &tree_;
    uint32_t node_;
    uint16_t index_;
    HeldBytes held_;
    uint16_t sound_ = 0;
    uint32_t visited_ = 0;
    End end_ = End::kNone;
};
