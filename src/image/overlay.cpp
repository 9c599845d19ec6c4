#include "image/overlay.h"

#include <algorithm>
#include <cstring>

void OverlayImage::replace(uint64_t position, std::vector<uint8_t> data) {
    if (data.empty() || position > UINT64_MAX - data.size()) return;
    const uint64_t end = position + data.size();
    // Pieces that overlap the new one keep only what lies outside it.
    auto it = pieces_.lower_bound(position);
    if (it != pieces_.begin() && std::prev(it)->first + std::prev(it)->second.size() > position) --it;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> kept;
    while (it != pieces_.end() && it->first < end) {
        const uint64_t at = it->first, pieceEnd = at + it->second.size();
        const std::vector<uint8_t> &bytes = it->second;
        if (at < position) kept.emplace_back(at, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(position - at)));
        if (pieceEnd > end) kept.emplace_back(end, std::vector<uint8_t>(bytes.end() - static_cast<ptrdiff_t>(pieceEnd - end), bytes.end()));
        replacedBytes_ -= bytes.size();
        it = pieces_.erase(it);
    }
    for (auto &[at, bytes] : kept) {
        replacedBytes_ += bytes.size();
        pieces_.emplace(at, std::move(bytes));
    }
    replacedBytes_ += data.size();
    pieces_.emplace(position, std::move(data));
}

ssize_t OverlayImage::readAt(void *buffer, size_t len, uint64_t position) const {
    ssize_t got = base_->readAt(buffer, len, position);
    if (got <= 0) return got;
    const uint64_t end = position + static_cast<uint64_t>(got);   // the base read it: no overflow
    auto it = pieces_.upper_bound(position);
    if (it != pieces_.begin()) --it;
    for (; it != pieces_.end() && it->first < end; ++it) {
        const uint64_t from = std::max(position, it->first), to = std::min(end, it->first + it->second.size());
        if (from >= to) continue;
        memcpy(static_cast<uint8_t *>(buffer) + (from - position), it->second.data() + (from - it->first), to - from);
    }
    return got;
}
