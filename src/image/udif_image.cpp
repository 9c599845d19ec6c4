#include "image/udif_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace udif;

UdifImage::UdifImage(std::shared_ptr<const Image> file, std::vector<Planned> plan, uint64_t size, uint64_t cacheBytes)
    : file_(std::move(file)), size_(size), cacheBytes_(cacheBytes) {
    for (Planned &p : plan)
        if (p.room > 0) chunks_.push_back(std::move(p));
    std::stable_sort(chunks_.begin(), chunks_.end(), [](const Planned &a, const Planned &b) { return a.place < b.place; });
}

const std::vector<uint8_t> *UdifImage::decoded(const Planned &p) const {
    if (auto found = cached_.find(p.index); found != cached_.end()) {
        cache_.splice(cache_.begin(), cache_, found->second);
        return &found->second->bytes;
    }
    Said said;   // what is wrong with a chunk shows as a failed read
    Bytes bytes;
    if (p.stop || !decodeChunk(p, decoder_, *file_, said, &bytes)) return nullptr;
    cache_.push_front({p.index, std::vector<uint8_t>(bytes.data, bytes.data + bytes.size)});
    cached_[p.index] = cache_.begin();
    cachedBytes_ += bytes.size;
    // The chunk just decoded always stays: the budget bounds the others.
    while (cachedBytes_ > cacheBytes_ && cache_.size() > 1) {
        cachedBytes_ -= cache_.back().bytes.size();
        cached_.erase(cache_.back().index);
        cache_.pop_back();
    }
    return &cache_.front().bytes;
}

bool UdifImage::readChunk(const Planned &p, uint8_t *out, size_t len, uint64_t position) const {
    uint64_t within = position - p.place;
    if (p.stop) return false;
    if (p.c.type == kRaw) return file_->readAt(out, len, p.offset + within) == static_cast<ssize_t>(len);
    const std::vector<uint8_t> *bytes = decoded(p);
    if (!bytes) return false;
    size_t have = within < bytes->size() ? std::min<uint64_t>(len, bytes->size() - within) : 0;
    memcpy(out, bytes->data() + within, have);
    memset(out + have, 0, len - have);
    return true;
}

ssize_t UdifImage::readAt(void *buffer, size_t len, uint64_t position) const {
    if (position >= size_) return 0;
    len = static_cast<size_t>(std::min<uint64_t>(len, size_ - position));
    auto *out = static_cast<uint8_t *>(buffer);
    for (size_t done = 0; done < len;) {
        uint64_t at = position + done;
        auto next = std::upper_bound(chunks_.begin(), chunks_.end(), at,
                                     [](uint64_t place, const Planned &p) { return place < p.place; });
        size_t n;
        if (next != chunks_.begin() && at - std::prev(next)->place < std::prev(next)->room) {
            const Planned &p = *std::prev(next);
            n = static_cast<size_t>(std::min<uint64_t>(len - done, p.place + p.room - at));
            if (!readChunk(p, out + done, n, at)) {
                errno = EIO;
                return -1;
            }
        } else {
            uint64_t end = next == chunks_.end() ? size_ : next->place;
            n = static_cast<size_t>(std::min<uint64_t>(len - done, end - at));
            memset(out + done, 0, n);
        }
        done += n;
    }
    return static_cast<ssize_t>(len);
}
