// The chunks of a UDIF block table: what each claims, checked before any is read, and decoded one
// at a time, for the expansion to write and for the in-place reader to cache alike.
#pragma once

#include <libdeflate.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/bits.h"
#include "image/image.h"

namespace udif {

constexpr uint64_t kSector = 512;
constexpr size_t kMishHeader = 204, kChunkSize = 40;
constexpr uint32_t kZero = 0, kRaw = 1, kIgnore = 2, kComment = 0x7FFFFFFE, kADC = 0x80000004, kZlib = 0x80000005,
                   kBzip2 = 0x80000006, kLzfse = 0x80000007, kLzma = 0x80000008,
                   kTerminator = 0xFFFFFFFF;
// Each thread holds one chunk in and out at a time; real images use chunks of 1 MiB, so a chunk
// claiming more than this is damage, not data.
constexpr uint64_t kMaxChunkBytes = 64ull << 20;

struct Chunk {
    uint32_t type;
    Bytes comment;
    uint64_t firstSector, sectorCount, offset, length;
};
Chunk chunkAt(Bytes table, uint32_t i);

// What a chunk has to say, kept by whoever decodes it and written in chunk order.
struct Said {
    std::string out, err;
};
[[gnu::format(printf, 2, 3)]] void say(std::string &to, const char *format, ...);

bool knownChunkType(uint32_t type);

// A chunk as checked before anything is decoded: where its bytes lie in the image file and in the
// flat image, and what is said about it.
struct Planned {
    Chunk c{};
    uint32_t index = 0;
    uint64_t offset = 0, place = 0, room = 0;   // its data in the image file; its bytes in the flat image
    std::string before;                         // debug trace, cuts, terminator
    bool expand = false;                        // has data to decode
    bool stop = false;                          // damage that stops the image
};
// `base`: where chunk offsets count from in the file; `imageBytes`: the flat image's size.
Planned planChunk(const Chunk &c, uint32_t i, uint32_t count, uint64_t fileSize, uint64_t base, uint64_t imageBytes);

// What one decoding thread holds: its buffers and inflater, reused from chunk to chunk.
struct Decoder {
    std::vector<uint8_t> in, out;
    libdeflate_decompressor *deflate = libdeflate_alloc_decompressor();
    Decoder() = default;
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;
    ~Decoder() { libdeflate_free_decompressor(deflate); }
};
// Reads and decodes a planned chunk with data; *decoded then views its bytes (in d's buffers, valid
// until d decodes again). False, after saying why in `said`, when the chunk is damaged.
bool decodeChunk(const Planned &p, Decoder &d, const Image &image, Said &said, Bytes *decoded);

}  // namespace udif
