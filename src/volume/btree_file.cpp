#include "volume/btree_file.h"

#include <algorithm>

namespace {

// Enough of node 0 for every header record field, whatever the node size.
constexpr size_t kHeadBytes = 512;

}  // namespace

bool validNodeSize(uint16_t size) { return size >= kMinNodeSize && size <= kMaxNodeSize && (size & (size - 1)) == 0; }

bool recordOffset(Bytes node, uint16_t index, uint16_t *offset) {
    size_t back = 2 * (static_cast<size_t>(index) + 1);
    if (back > node.size) return false;
    *offset = node.be16(node.size - back);
    return true;
}

Bytes recordInNode(Bytes node, uint16_t offset) {
    size_t table = 2 * (static_cast<size_t>(nodeNumRecords(node)) + 1);
    size_t end = table < node.size ? node.size - table : 0;
    return offset <= end ? node.sub(offset, end - offset) : Bytes{};
}

BTree::BTree(std::vector<uint8_t> bytes)
    : size_(bytes.size()), whole_(std::make_shared<const std::vector<uint8_t>>(std::move(bytes))) {
    head_.assign(whole_->begin(), whole_->begin() + static_cast<ptrdiff_t>(std::min(size_, uint64_t{kHeadBytes})));
}

BTree::BTree(uint64_t size, Reader read, size_t cacheBytes) : size_(size), read_(std::move(read)) {
    head_.assign(std::min(size_, uint64_t{kHeadBytes}), 0);
    read_(0, head_.data(), head_.size());
    cacheNodes_ = std::max<size_t>(16, cacheBytes / std::max<uint16_t>(nodeSize(), kMinNodeSize));
}

HeldBytes BTree::node(uint32_t n) const {
    uint16_t size = nodeSize();
    if (size < kNodeDescriptorSize) return {};
    uint64_t offset = static_cast<uint64_t>(n) * size;
    if (offset > size_ || size_ - offset < size) return {};
    if (whole_) return {std::shared_ptr<const uint8_t>(whole_, whole_->data() + offset), {whole_->data() + offset, size}};
    auto found = cached_.find(n);
    if (found != cached_.end()) {
        lru_.splice(lru_.begin(), lru_, found->second);
    } else {
        // Bytes the fork's extents do not give stay zero, as a damaged tree has always read.
        auto bytes = std::make_shared<std::vector<uint8_t>>(size, 0);
        read_(offset, bytes->data(), size);
        lru_.emplace_front(n, std::move(bytes));
        cached_[n] = lru_.begin();
        if (lru_.size() > cacheNodes_) {
            cached_.erase(lru_.back().first);
            lru_.pop_back();
        }
    }
    const auto &bytes = lru_.front().second;
    return {std::shared_ptr<const uint8_t>(bytes, bytes->data()), {bytes->data(), bytes->size()}};
}

uint32_t BTree::walkableNodes() const {
    uint16_t size = nodeSize();
    uint64_t held = size < kNodeDescriptorSize ? 0 : size_ / size;
    return static_cast<uint32_t>(std::min<uint64_t>(totalNodes(), held));
}

uint64_t BTree::read(uint64_t offset, uint8_t *out, uint64_t length) const {
    if (offset > size_) return 0;
    length = std::min(length, size_ - offset);
    if (whole_) {
        std::copy_n(whole_->data() + offset, length, out);
        return length;
    }
    return read_(offset, out, length);
}
