#include "image/udif_chunks.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "base/output.h"
#include "codecs/adc.h"
#include "codecs/lzfse.h"

namespace udif {

namespace {

constexpr int kADCCapacity = 200000000;
// hdiutil's LZMA chunks use small dictionaries; a header asking for more is damage.
constexpr uint64_t kLzmaMemoryLimit = 128ull << 20;

void reportChunkError(Said &said, const Chunk &c, uint64_t produced) {
    say(said.err, "Decompression error: From offset %lld, %lld bytes decompressed to %d (should have been %lld)\n",
        static_cast<long long>(c.offset), static_cast<long long>(c.length), static_cast<int>(produced),
        static_cast<long long>(c.sectorCount * kSector));
}

// zlib, fed in pieces so that no count has to fit in 32 bits.
bool inflateChunk(Bytes in, uint8_t *out, uint64_t room, const Chunk &c, Said &said, uint64_t *produced) {
    z_stream s{};
    if (int rc = inflateInit(&s); rc != Z_OK) {
        say(said.out, "Error %d initializing Zlib\n", rc);
        return false;
    }
    size_t inPos = 0, outPos = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        s.next_in = const_cast<uint8_t *>(in.data + inPos);
        s.avail_in = static_cast<uInt>(std::min<size_t>(in.size - inPos, UINT_MAX));
        s.next_out = out + outPos;
        s.avail_out = static_cast<uInt>(std::min<size_t>(room - outPos, UINT_MAX));
        uInt inBefore = s.avail_in, outBefore = s.avail_out;
        rc = inflate(&s, Z_NO_FLUSH);
        inPos += inBefore - s.avail_in;
        outPos += outBefore - s.avail_out;
        if (rc == Z_OK && inBefore == s.avail_in && outBefore == s.avail_out) rc = Z_BUF_ERROR;   // no progress
    }
    inflateEnd(&s);
    *produced = outPos;
    if (rc != Z_STREAM_END) {
        say(said.err, "Decompression problem... RC: %d\n", rc);
        reportChunkError(said, c, outPos);
        return false;
    }
    return true;
}

bool bunzipChunk(Bytes in, uint8_t *out, uint64_t room, Said &said, uint64_t *produced) {
    bz_stream s{};
    if (int rc = BZ2_bzDecompressInit(&s, 0, 0); rc != BZ_OK) {
        say(said.out, "Error %d initializing BZlib\n", rc);
        return false;
    }
    size_t inPos = 0, outPos = 0;
    int rc = BZ_OK;
    while (rc == BZ_OK) {
        s.next_in = reinterpret_cast<char *>(const_cast<uint8_t *>(in.data + inPos));
        s.avail_in = static_cast<unsigned>(std::min<size_t>(in.size - inPos, UINT_MAX));
        s.next_out = reinterpret_cast<char *>(out + outPos);
        s.avail_out = static_cast<unsigned>(std::min<size_t>(room - outPos, UINT_MAX));
        unsigned inBefore = s.avail_in, outBefore = s.avail_out;
        rc = BZ2_bzDecompress(&s);
        inPos += inBefore - s.avail_in;
        outPos += outBefore - s.avail_out;
        if (rc == BZ_OK && inBefore == s.avail_in && outBefore == s.avail_out) rc = BZ_OUTBUFF_FULL;
    }
    BZ2_bzDecompressEnd(&s);
    *produced = outPos;
    if (rc != BZ_STREAM_END) {
        say(said.err, "Decompression problem... RC: %d\n", rc);
        return false;
    }
    return true;
}

// One .xz stream, as hdiutil writes each LZMA chunk.
bool unxzChunk(Bytes in, uint8_t *out, uint64_t room, const Chunk &c, Said &said, uint64_t *produced) {
    lzma_stream s = LZMA_STREAM_INIT;
    lzma_ret rc = lzma_stream_decoder(&s, kLzmaMemoryLimit, 0);
    if (rc != LZMA_OK) {
        say(said.out, "Error %d initializing LZMA\n", static_cast<int>(rc));
        return false;
    }
    s.next_in = in.data;
    s.avail_in = in.size;
    s.next_out = out;
    s.avail_out = room;
    // With all the input given and the output's room fixed, every call makes progress or fails.
    do rc = lzma_code(&s, LZMA_FINISH);
    while (rc == LZMA_OK && s.avail_out > 0);
    *produced = s.total_out;
    lzma_end(&s);
    if (rc != LZMA_STREAM_END) {
        say(said.err, "Decompression problem... RC: %d\n", static_cast<int>(rc));
        reportChunkError(said, c, *produced);
        return false;
    }
    return true;
}

const char *debugWord(uint32_t type) {
    switch (type) {
    case kZero: return "ZERO\n";
    case kRaw: return "RAW\n";
    case kIgnore: return "IGNORE\n";
    case kADC: return "ADC\n";
    case kZlib: return "Zlib\n";
    case kBzip2: return "BZlib\n";
    case kLzfse: return "LZFSE\n";
    case kLzma: return "LZMA\n";
    default: return "";
    }
}

}  // namespace

Chunk chunkAt(Bytes table, uint32_t i) {
    Bytes c = table.sub(kMishHeader + kChunkSize * i, kChunkSize);
    return {c.be32(0), c.sub(4, 4), c.be64(8), c.be64(16), c.be64(24), c.be64(32)};
}

[[gnu::format(printf, 2, 3)]] void say(std::string &to, const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    to += line;
}

bool knownChunkType(uint32_t type) {
    switch (type) {
    case kZero: case kRaw: case kIgnore: case kComment: case kADC: case kZlib: case kBzip2: case kLzfse:
    case kLzma: case kTerminator: return true;
    default: return false;
    }
}

Planned planChunk(const Chunk &c, uint32_t i, uint32_t count, uint64_t fileSize, uint64_t base, uint64_t imageBytes) {
    Planned p;
    p.c = c;
    p.index = i;
    if (g_Debug) {
        say(p.before, "Block %d - %lld (%lld sectors) - Compressed to %lld, %lld bytes ", i,
            static_cast<long long>(c.firstSector), static_cast<long long>(c.sectorCount),
            static_cast<long long>(c.offset), static_cast<long long>(c.length));
        if (c.type == kComment) {
            std::string word;   // up to four characters, ended by a NUL
            for (size_t k = 0; k < 4 && c.comment.u8(k) != 0; ++k) word += static_cast<char>(c.comment.u8(k));
            say(p.before, "COMMENT - %s\n", visible(word).c_str());
        } else {
            p.before += debugWord(c.type);
        }
    }
    if (c.type == kTerminator) {
        p.before += i + 1 == count ? "Found Terminator in last block. Good\n" : "Warning: Last block is not a terminator!\n";
        return p;
    }
    if (c.type == kZero || c.type == kIgnore || c.type == kComment) return p;
    // The chunk's place in the expanded image, cut at its end.
    p.place = c.firstSector < imageBytes / kSector ? c.firstSector * kSector : imageBytes;
    uint64_t want = c.sectorCount <= (imageBytes - p.place) / kSector ? c.sectorCount * kSector : imageBytes - p.place;
    if (want != c.sectorCount * kSector)
        say(p.before, "Chunk %u (sectors %llu+%llu) runs past the expanded image: cut\n", i,
            static_cast<unsigned long long>(c.firstSector), static_cast<unsigned long long>(c.sectorCount));
    p.offset = base + c.offset;
    p.room = want;   // a damaged chunk still covers its place: reading it in place fails there
    if (p.offset < base || p.offset > fileSize || c.length > fileSize - p.offset) {
        say(p.before, "Chunk %u: its %llu bytes at %llu lie beyond the end of the image\n", i,
            static_cast<unsigned long long>(c.length), static_cast<unsigned long long>(p.offset));
        p.stop = true;
        return p;
    }
    p.room = c.type == kRaw ? std::min(c.length, want) : want;
    if (c.type == kRaw && c.length > want) say(p.before, "Chunk %u: raw data longer than its place: cut\n", i);
    if (p.room > kMaxChunkBytes || c.length > kMaxChunkBytes) {
        say(p.before, "Chunk %u claims %llu bytes: more than a chunk can hold\n", i,
            static_cast<unsigned long long>(std::max(p.room, c.length)));
        p.stop = true;
        return p;
    }
    p.expand = p.room > 0;
    return p;
}

bool decodeChunk(const Planned &p, Decoder &d, const Image &image, Said &said, Bytes *decoded) {
    const Chunk &c = p.c;
    uint64_t wanted = c.type == kRaw ? p.room : c.length;
    d.in.resize(wanted);
    if (image.readAt(d.in.data(), wanted, p.offset) != static_cast<ssize_t>(wanted)) {
        say(said.err, "Chunk %u: short read of its data at %llu\n", p.index, static_cast<unsigned long long>(p.offset));
        return false;
    }
    Bytes in{d.in.data(), d.in.size()};
    const uint8_t *result = d.in.data();
    uint64_t produced = p.room;
    bool ok = true;
    if (c.type != kRaw) {
        d.out.resize(p.room);
        result = d.out.data();
    }
    if (c.type == kADC) {
        int made = 0;
        int capacity = static_cast<int>(std::min<uint64_t>(p.room, kADCCapacity));
        adc_decompress(static_cast<int>(in.size), in.data, capacity, d.out.data(), &made);
        produced = static_cast<uint64_t>(made);
        if (produced != c.sectorCount * kSector) {
            reportChunkError(said, c, produced);
            ok = false;
        }
    } else if (c.type == kZlib) {
        size_t made = 0;
        // libdeflate is the fast path; zlib takes what it refuses, and says why a chunk is bad.
        if (libdeflate_zlib_decompress(d.deflate, in.data, in.size, d.out.data(), p.room, &made) == LIBDEFLATE_SUCCESS)
            produced = made;
        else
            ok = inflateChunk(in, d.out.data(), p.room, c, said, &produced);
    } else if (c.type == kLzfse) {
        std::optional<size_t> made = lzfseDecode(in, d.out.data(), p.room);
        if (made) {
            produced = *made;   // a short stream leaves zeros
        } else {
            say(said.err, "Chunk %u: the LZFSE stream is damaged\n", p.index);
            reportChunkError(said, c, 0);
            ok = false;
        }
    } else if (c.type == kLzma) {
        ok = unxzChunk(in, d.out.data(), p.room, c, said, &produced);
    } else if (c.type == kBzip2) {
        ok = bunzipChunk(in, d.out.data(), p.room, said, &produced);
    }
    // Every sector a chunk claims must come out of it: a stream that ends early is damage, not zeros.
    if (ok && c.type != kRaw && c.type != kADC && produced != p.room) {
        say(said.err, "Chunk %u: its stream ends early\n", p.index);
        reportChunkError(said, c, produced);
        ok = false;
    }
    *decoded = Bytes{result, produced};
    return ok;
}

}  // namespace udif
