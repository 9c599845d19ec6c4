// A UDIF image read where it lies, without expanding it: each read finds its chunks by their place
// in the flat image, reads raw chunks straight from the file, reads zeros for the sectors no chunk
// holds, and decodes compressed chunks whole into a bounded cache of the chunks used last (those
// after a chunk read in order are decoded alongside it, on the other cores, when the file allows).
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "image/image.h"
#include "image/udif_chunks.h"

constexpr uint64_t kChunkCacheBytes = 64ull << 20;

class UdifImage final : public Image {
public:
    // `plan`: the checked chunks of the table; `size`: the flat image's size in bytes.
    UdifImage(std::shared_ptr<const Image> file, std::vector<udif::Planned> plan, uint64_t size,
              uint64_t cacheBytes = kChunkCacheBytes);
    // Fails (-1, EIO) where a chunk is damaged: its sectors are not quietly zeros.
    ssize_t readAt(void *buffer, size_t len, uint64_t position) const override;
    uint64_t size() const override { return size_; }

private:
    struct Cached {
        uint32_t index;
        std::vector<uint8_t> bytes;
    };

    // The decoded bytes of a compressed chunk, or nothing when it is damaged. A chunk not cached
    // is decoded together with the next ones on other threads, as a sequential read wants them.
    const std::vector<uint8_t> *decoded(const udif::Planned &p) const;
    void cache(uint32_t index, std::vector<uint8_t> bytes) const;
    // Takes a chunk out of the cache, keeping its buffer for the next ones decoded.
    void drop(std::list<Cached>::iterator chunk) const;
    // Copies what `p` holds of [position, position + len) to out; false when it cannot be read.
    bool readChunk(const udif::Planned &p, uint8_t *out, size_t len, uint64_t position) const;

    std::shared_ptr<const Image> file_;
    std::vector<udif::Planned> chunks_;   // those that hold sectors, by their place
    uint64_t size_, cacheBytes_;

    mutable std::list<Cached> cache_;   // the chunk used last first
    mutable std::unordered_map<uint32_t, std::list<Cached>::iterator> cached_;
    mutable uint64_t cachedBytes_ = 0;
    mutable std::vector<udif::Decoder> decoders_;   // one per chunk decoded at once
    mutable std::vector<std::vector<uint8_t>> spare_;   // buffers of chunks dropped, for the next ones
};
