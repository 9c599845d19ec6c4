#include "image/udif_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

using namespace udif;

namespace {

// Chunks decoded at once: the cores there are, a few at most. Only a file is known to take reads
// from several threads at once.
size_t decodersFor(const Image &file) {
    return file.descriptor() < 0 ? 1 : std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
}

}  // namespace

UdifImage::UdifImage(std::shared_ptr<const Image> file, std::vector<Planned> plan, uint64_t size, uint64_t cacheBytes)
    : file_(std::move(file)), size_(size), cacheBytes_(cacheBytes), decoders_(decodersFor(*file_)) {
    for (Planned &p : plan)
        if (p.room > 0) chunks_.push_back(std::move(p));
    std::stable_sort(chunks_.begin(), chunks_.end(), [](const Planned &a, const Planned &b) { return a.place < b.place; });
}

const std::vector<uint8_t> *UdifImage::decoded(const Planned &p) const {
    if (auto found = cached_.find(p.index); found != cached_.end()) {
        cache_.splice(cache_.begin(), cache_, found->second);
        return &found->second->bytes;
    }
    // The chunk wanted and the compressed ones after it, up to one per decoder and half the cache.
    std::vector<const Planned *> batch{&p};
    uint64_t batchBytes = p.room;
    for (size_t k = static_cast<size_t>(&p - chunks_.data()) + 1;
         k < chunks_.size() && batch.size() < decoders_.size() && batchBytes + chunks_[k].room <= cacheBytes_ / 2; ++k) {
        const Planned &next = chunks_[k];
        if (next.stop || next.c.type == kRaw || cached_.count(next.index)) break;
        batch.push_back(&next);
        batchBytes += next.room;
    }
    std::vector<std::optional<std::vector<uint8_t>>> results(batch.size());
    // Each decoder's output becomes the cached bytes, and takes the buffer of a chunk dropped from
    // the cache in its place: no chunk is copied or given fresh memory on its way in.
    for (size_t i = 0; i < batch.size(); ++i) {
        if (decoders_[i].out.capacity() != 0 || spare_.empty()) continue;
        decoders_[i].out = std::move(spare_.back());
        spare_.pop_back();
    }
    auto decode = [&](size_t i) {
        Said said;   // what is wrong with a chunk shows as a failed read
        Bytes bytes;
        if (batch[i]->stop || !decodeChunk(*batch[i], decoders_[i], *file_, said, &bytes)) return;
        std::vector<uint8_t> &out = decoders_[i].out;
        if (bytes.data != out.data() || bytes.size > out.size()) {
            results[i].emplace(bytes.data, bytes.data + bytes.size);
            return;
        }
        out.resize(bytes.size);
        results[i] = std::move(out);
        out = std::vector<uint8_t>();
    };
    std::vector<std::thread> helpers;
    try {
        for (size_t i = 1; i < batch.size(); ++i) helpers.emplace_back(decode, i);
    } catch (const std::system_error &) {
        // No thread to be had: the chunk wanted is decoded alone.
    }
    decode(0);
    for (std::thread &helper : helpers) helper.join();
    // Those read ahead first, so that the chunk wanted is the one used last.
    for (size_t i = helpers.size(); i >= 1; --i)
        if (results[i]) cache(batch[i]->index, std::move(*results[i]));
    if (!results[0]) return nullptr;
    cache(p.index, std::move(*results[0]));
    return &cache_.front().bytes;
}

void UdifImage::cache(uint32_t index, std::vector<uint8_t> bytes) const {
    cachedBytes_ += bytes.size();
    cache_.push_front({index, std::move(bytes)});
    cached_[index] = cache_.begin();
    // The chunk just decoded always stays: the budget bounds the others.
    while (cachedBytes_ > cacheBytes_ && cache_.size() > 1) drop(std::prev(cache_.end()));
}

void UdifImage::drop(std::list<Cached>::iterator chunk) const {
    cachedBytes_ -= chunk->bytes.size();
    cached_.erase(chunk->index);
    if (spare_.size() < decoders_.size()) spare_.push_back(std::move(chunk->bytes));
    cache_.erase(chunk);
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
            // Read through to its end by a read as long as itself, the chunk is being streamed (a
            // pull, a digest): it is not wanted again, and its buffer takes the next chunk rather
            // than fresh memory.
            if (len >= p.room && at + n == p.place + p.room)
                if (auto found = cached_.find(p.index); found != cached_.end()) drop(found->second);
        } else {
            uint64_t end = next == chunks_.end() ? size_ : next->place;
            n = static_cast<size_t>(std::min<uint64_t>(len - done, end - at));
            memset(out + done, 0, n);
        }
        done += n;
    }
    return static_cast<ssize_t>(len);
}
