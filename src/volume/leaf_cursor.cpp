#include "volume/leaf_cursor.h"

#include <algorithm>

#include "base/output.h"

uint16_t soundRecords(Bytes node) {
    uint16_t count = nodeNumRecords(node);
    // count + 1 entries: the last gives where the free space begins.
    size_t table = 2 * (static_cast<size_t>(count) + 1);
    if (node.size < kNodeDescriptorSize || table > node.size - kNodeDescriptorSize) return 0;
    // Records end where the free space begins; a free-space entry that cannot be one (some writers
    // leave it zero) leaves the table's start as the bound.
    size_t freeSpace = node.be16(node.size - table), limit = node.size - table;
    if (freeSpace >= kNodeDescriptorSize && freeSpace < limit) limit = freeSpace;
    size_t previous = kNodeDescriptorSize - 1;
    for (uint16_t i = 0; i < count; ++i) {
        size_t offset = node.be16(node.size - 2 * (static_cast<size_t>(i) + 1));
        if (offset <= previous || offset >= limit) return i;
        previous = offset;
    }
    return count;
}

std::optional<LeafRecord> LeafCursor::next() {
    while (end_ == End::kNone) {
        if (g_Interrupted) {
            end_ = End::kInterrupted;
            break;
        }
        if (held_.empty()) {
            if (node_ == 0) {
                end_ = End::kChainEnd;
                break;
            }
            if (visited_++ >= tree_.walkableNodes()) {
                end_ = End::kLoop;
                break;
            }
            held_ = tree_.node(node_);
            if (held_.empty() || nodeKind(held_.bytes) != kLeafNode) {
                end_ = End::kNotALeaf;
                break;
            }
            sound_ = soundRecords(held_.bytes);
        }
        if (index_ < nodeNumRecords(held_.bytes)) {
            if (index_ >= sound_) {
                end_ = End::kDamagedNode;
                break;
            }
            uint16_t offset = 0;
            recordOffset(held_.bytes, index_, &offset);
            return LeafRecord{recordInNode(held_.bytes, offset), node_, index_++, held_.owner};
        }
        node_ = nodeFLink(held_.bytes);
        held_ = {};
        index_ = 0;
    }
    return std::nullopt;
}
