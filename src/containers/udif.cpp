#include "containers/udif.h"

#include <bzlib.h>
#include <fcntl.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/output.h"
#include "containers/adc.h"
#include "containers/base64.h"
#include "containers/xml.h"
#include "codecs/lzfse.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr size_t kMishHeader = 204, kChunkSize = 40;
constexpr uint32_t kZero = 0, kRaw = 1, kIgnore = 2, kComment = 0x7FFFFFFE, kADC = 0x80000004, kZlib = 0x80000005,
                   kBzip2 = 0x80000006, kLzfse = 0x80000007, kLzma = 0x80000008,
                   kTerminator = 0xFFFFFFFF;
// Chunks are expanded one at a time into the output file; real images use chunks of 1 MiB, so a
// chunk claiming more than this is damage, not data.
constexpr uint64_t kMaxChunkBytes = 64ull << 20;
constexpr uint64_t kMaxImageBytes = 1ull << 40;
constexpr int kADCCapacity = 200000000;
// hdiutil's LZMA chunks use small dictionaries; a header asking for more is damage.
constexpr uint64_t kLzmaMemoryLimit = 128ull << 20;
// A chunk entry of 40 bytes (54 in Base64) describes at most a few MiB of zeros in real images.
constexpr uint64_t kMaxExpansionRatio = 20000, kMinExpansionLimit = 256ull << 20;

struct Chunk {
    uint32_t type;
    Bytes comment;
    uint64_t firstSector, sectorCount, offset, length;
};

Chunk chunkAt(Bytes table, uint32_t i) {
    Bytes c = table.sub(kMishHeader + kChunkSize * i, kChunkSize);
    return {c.be32(0), c.sub(4, 4), c.be64(8), c.be64(16), c.be64(24), c.be64(32)};
}

void reportTrailer(Bytes koly, uint64_t position) {
    printf("KOLY header found at %lld:\n\tUDIF version %d, Header Size: %d\n\tFlags:%d\n",
           static_cast<long long>(position), koly.be32(4), koly.be32(8), koly.be32(12));
    if (koly.be64(40) == 0)
        printf("\tRsrc fork: None\n");
    else
        printf("\tRsrc fork: from %lld, spanning %lld bytes\n", static_cast<long long>(koly.be64(40)),
               static_cast<long long>(koly.be64(48)));
    printf("\tData fork: from %lld, spanning %lld bytes\n", static_cast<long long>(koly.be64(24)),
           static_cast<long long>(koly.be64(32)));
    printf("\tXML plist: from %lld, spanning %lld bytes (to %lld)\n", static_cast<long long>(koly.be64(216)),
           static_cast<long long>(koly.be64(224)), static_cast<long long>(koly.be64(216) + koly.be64(224)));
    printf("\tSegment #: %d, Count: %d\n", koly.be32(56), koly.be32(60));
    printf("\tSegment UUID: %08x-%08x-%08x-%08x\n", koly.le32(64), koly.le32(68), koly.le32(72), koly.le32(76));
    printf("\tRunning Data fork offset %lld\n", static_cast<long long>(koly.be64(16)));
    printf("\tSectors: %lld\n", static_cast<long long>(koly.be64(492)));
    if (koly.be64(24) + koly.be64(32) != koly.be64(216))
        fprintf(stderr, "Warning: XML doesn't start immediately after image\n");
}

// The decoded block table of the partition whose entry names Apple_HFS, or nothing (reported).
std::optional<std::vector<uint8_t>> hfsBlockTable(int fd, Bytes koly, uint64_t fileSize) {
    uint64_t xmlOffset = koly.be64(216), xmlLength = koly.be64(224);
    if (xmlOffset > fileSize || xmlLength > fileSize - xmlOffset) {
        fprintf(stderr, "The property list (%llu bytes from %llu) lies outside the image\n",
                static_cast<unsigned long long>(xmlLength), static_cast<unsigned long long>(xmlOffset));
        return std::nullopt;
    }
    std::string xml(xmlLength, '\0');
    ssize_t got = readAt(fd, xml.data(), xml.size(), xmlOffset);
    xml.resize(got < 0 ? 0 : static_cast<size_t>(got));
    xml = xml.c_str();   // the text ends at its first NUL
    if (g_Debug) fprintf(stderr, "XML: %s\n", visible(xml).c_str());
    size_t hfs = xml.find("Apple_HFS");
    if (hfs == std::string::npos) {
        fprintf(stderr, "No HFS detected in this image\n");
        return std::nullopt;
    }
    fprintf(stderr, "Apple_HFS detected\n");
    auto dict = getXMLElementContaining(xml, hfs, "dict");
    auto data = dict ? getXMLelement(*dict, "data") : std::nullopt;
    if (!data) {
        fprintf(stderr, "The Apple_HFS partition has no block table in the property list\n");
        return std::nullopt;
    }
    auto table = base64decode(*data);
    if (!table || table->empty()) {
        fprintf(stderr, "Base 64 Decoding failed. DMG must be corrupted (or I have a bug?!)\n");
        return std::nullopt;
    }
    return table;
}

bool checkBlockTable(Bytes table, uint64_t imageBytes) {
    if (g_Debug) {
        fprintf(stderr, "%d bytes decoded (BLKX: %ld) - ", static_cast<int>(table.size), 72L);
        fprintf(stderr, "DMG decompressed size is %lld\n", static_cast<long long>(imageBytes));
    }
    if (!table.has(0, 4) || memcmp(table.data, "mish", 4) != 0) {
        fprintf(stderr, "Decoded BLXX, but didn't find DMGBLX_MAGIC ('mish'). Instead have %x", table.le32(0));
        return false;
    }
    if (table.be32(4) != 1) {
        fprintf(stderr, "Decoded BLXX, got DMGBLX_MAGIC ('mish'), but version is  %x", table.le32(4));
        return false;
    }
    uint32_t chunks = table.be32(200);
    if (!table.has(kMishHeader, static_cast<uint64_t>(chunks) * kChunkSize)) {
        fprintf(stderr, "The block table holds %zu bytes, too few for its %u chunks\n", table.size, chunks);
        return false;
    }
    if (g_Debug) {
        printf("Decompressing %x blocks, Desc %x\n", chunks, table.be32(36));
        fprintf(stderr, "%lld sectors - %lld bytes\n", static_cast<long long>(table.be64(16)),
                static_cast<long long>(imageBytes));
    }
    return true;
}

void reportChunkError(const Chunk &c, uint64_t produced) {
    fprintf(stderr, "Decompression error: From offset %lld, %lld bytes decompressed to %d (should have been %lld)\n",
            static_cast<long long>(c.offset), static_cast<long long>(c.length), static_cast<int>(produced),
            static_cast<long long>(c.sectorCount * kSector));
}

// zlib, fed in pieces so that no count has to fit in 32 bits.
bool inflateChunk(const std::vector<uint8_t> &in, std::vector<uint8_t> &out, const Chunk &c) {
    z_stream s{};
    if (int rc = inflateInit(&s); rc != Z_OK) {
        printf("Error %d initializing Zlib\n", rc);
        return false;
    }
    size_t inPos = 0, outPos = 0;
    int rc = Z_OK;
    while (rc == Z_OK) {
        s.next_in = const_cast<uint8_t *>(in.data() + inPos);
        s.avail_in = static_cast<uInt>(std::min<size_t>(in.size() - inPos, UINT_MAX));
        s.next_out = out.data() + outPos;
        s.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - outPos, UINT_MAX));
        uInt inBefore = s.avail_in, outBefore = s.avail_out;
        rc = inflate(&s, Z_NO_FLUSH);
        inPos += inBefore - s.avail_in;
        outPos += outBefore - s.avail_out;
        if (rc == Z_OK && inBefore == s.avail_in && outBefore == s.avail_out) rc = Z_BUF_ERROR;   // no progress
    }
    inflateEnd(&s);
    if (rc != Z_STREAM_END) {
        fprintf(stderr, "Decompression problem... RC: %d\n", rc);
        reportChunkError(c, outPos);
        return false;
    }
    return true;
}

bool bunzipChunk(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) {
    bz_stream s{};
    if (int rc = BZ2_bzDecompressInit(&s, 0, 0); rc != BZ_OK) {
        printf("Error %d initializing BZlib\n", rc);
        return false;
    }
    size_t inPos = 0, outPos = 0;
    int rc = BZ_OK;
    while (rc == BZ_OK) {
        s.next_in = reinterpret_cast<char *>(const_cast<uint8_t *>(in.data() + inPos));
        s.avail_in = static_cast<unsigned>(std::min<size_t>(in.size() - inPos, UINT_MAX));
        s.next_out = reinterpret_cast<char *>(out.data() + outPos);
        s.avail_out = static_cast<unsigned>(std::min<size_t>(out.size() - outPos, UINT_MAX));
        unsigned inBefore = s.avail_in, outBefore = s.avail_out;
        rc = BZ2_bzDecompress(&s);
        inPos += inBefore - s.avail_in;
        outPos += outBefore - s.avail_out;
        if (rc == BZ_OK && inBefore == s.avail_in && outBefore == s.avail_out) rc = BZ_OUTBUFF_FULL;
    }
    BZ2_bzDecompressEnd(&s);
    if (rc != BZ_STREAM_END) {
        fprintf(stderr, "Decompression problem... RC: %d\n", rc);
        return false;
    }
    return true;
}

// One .xz stream, as hdiutil writes each LZMA chunk.
bool unxzChunk(const std::vector<uint8_t> &in, std::vector<uint8_t> &out, const Chunk &c) {
    lzma_stream s = LZMA_STREAM_INIT;
    lzma_ret rc = lzma_stream_decoder(&s, kLzmaMemoryLimit, 0);
    if (rc != LZMA_OK) {
        printf("Error %d initializing LZMA\n", static_cast<int>(rc));
        return false;
    }
    s.next_in = in.data();
    s.avail_in = in.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    // With all the input given and the output's room fixed, every call makes progress or fails.
    do rc = lzma_code(&s, LZMA_FINISH);
    while (rc == LZMA_OK && s.avail_out > 0);
    uint64_t produced = s.total_out;
    lzma_end(&s);
    if (rc != LZMA_STREAM_END) {
        fprintf(stderr, "Decompression problem... RC: %d\n", static_cast<int>(rc));
        reportChunkError(c, produced);
        return false;
    }
    return true;
}

bool unlzfseChunk(const std::vector<uint8_t> &in, std::vector<uint8_t> &out, const Chunk &c, uint32_t i) {
    if (std::optional<size_t> produced = lzfseDecode(Bytes{in.data(), in.size()}, out.data(), out.size())) {
        std::fill(out.begin() + static_cast<long>(*produced), out.end(), 0);   // a short stream leaves zeros
        return true;
    }
    fprintf(stderr, "Chunk %u: the LZFSE stream is damaged\n", i);
    reportChunkError(c, 0);
    return false;
}

bool knownChunkType(uint32_t type) {
    switch (type) {
    case kZero: case kRaw: case kIgnore: case kComment: case kADC: case kZlib: case kBzip2: case kLzfse:
    case kLzma: case kTerminator: return true;
    default: return false;
    }
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

// Expands one chunk and writes it at its place in the output; false stops the image.
bool expandChunk(int imageFd, uint64_t fileSize, uint64_t base, const Chunk &c, uint32_t i, uint32_t count, int outFd,
                 uint64_t imageBytes) {
    if (g_Debug) {
        fprintf(stderr, "Block %d - %lld (%lld sectors) - Compressed to %lld, %lld bytes ", i,
                static_cast<long long>(c.firstSector), static_cast<long long>(c.sectorCount),
                static_cast<long long>(c.offset), static_cast<long long>(c.length));
        if (c.type == kComment) {
            std::string word;   // up to four characters, ended by a NUL
            for (size_t k = 0; k < 4 && c.comment.u8(k) != 0; ++k) word += static_cast<char>(c.comment.u8(k));
            fprintf(stderr, "COMMENT - %s\n", visible(word).c_str());
        } else {
            fprintf(stderr, "%s", debugWord(c.type));
        }
    }
    if (c.type == kTerminator) {
        fprintf(stderr, i + 1 == count ? "Found Terminator in last block. Good\n"
                                       : "Warning: Last block is not a terminator!\n");
        return true;
    }
    if (c.type == kZero || c.type == kIgnore || c.type == kComment) return true;
    // The chunk's place in the expanded image, cut at its end.
    uint64_t place = c.firstSector < imageBytes / kSector ? c.firstSector * kSector : imageBytes;
    uint64_t want = c.sectorCount <= (imageBytes - place) / kSector ? c.sectorCount * kSector : imageBytes - place;
    if (want != c.sectorCount * kSector)
        fprintf(stderr, "Chunk %u (sectors %llu+%llu) runs past the expanded image: cut\n", i,
                static_cast<unsigned long long>(c.firstSector), static_cast<unsigned long long>(c.sectorCount));
    uint64_t offset = base + c.offset;
    if (offset < base || offset > fileSize || c.length > fileSize - offset) {
        fprintf(stderr, "Chunk %u: its %llu bytes at %llu lie beyond the end of the image\n", i,
                static_cast<unsigned long long>(c.length), static_cast<unsigned long long>(offset));
        return false;
    }
    uint64_t room = c.type == kRaw ? std::min(c.length, want) : want;
    if (c.type == kRaw && c.length > want) fprintf(stderr, "Chunk %u: raw data longer than its place: cut\n", i);
    if (room > kMaxChunkBytes || c.length > kMaxChunkBytes) {
        fprintf(stderr, "Chunk %u claims %llu bytes: more than a chunk can hold\n", i,
                static_cast<unsigned long long>(std::max(room, c.length)));
        return false;
    }
    std::vector<uint8_t> in(c.length);
    if (readAt(imageFd, in.data(), in.size(), offset) != static_cast<ssize_t>(in.size())) {
        fprintf(stderr, "Chunk %u: short read of its data at %llu\n", i, static_cast<unsigned long long>(offset));
        return false;
    }
    std::vector<uint8_t> out(room, 0);
    bool ok = true;
    if (c.type == kRaw) {
        std::copy(in.begin(), in.begin() + static_cast<long>(room), out.begin());
    } else if (c.type == kADC) {
        int produced = 0;
        int capacity = static_cast<int>(std::min<uint64_t>(room, kADCCapacity));
        adc_decompress(static_cast<int>(in.size()), in.data(), capacity, out.data(), &produced);
        if (static_cast<uint64_t>(produced) != c.sectorCount * kSector) {
            reportChunkError(c, static_cast<uint64_t>(produced));
            ok = false;
        }
    } else if (c.type == kZlib) {
        ok = inflateChunk(in, out, c);
    } else if (c.type == kLzfse) {
        ok = unlzfseChunk(in, out, c, i);
    } else if (c.type == kLzma) {
        ok = unxzChunk(in, out, c);
    } else {
        ok = bunzipChunk(in, out);
    }
    if (ok && !out.empty() && pwrite(outFd, out.data(), out.size(), static_cast<off_t>(place)) != static_cast<ssize_t>(out.size())) {
        perror("write");
        ok = false;
    }
    return ok;
}

}  // namespace

int mountUDIF(int imageFd, Bytes koly) {
    uint64_t fileSize = sizeOfFd(imageFd);
    reportTrailer(koly, fileSize - kKolySize);
    auto decoded = hfsBlockTable(imageFd, koly, fileSize);
    if (!decoded) return -1;
    Bytes table{decoded->data(), decoded->size()};
    uint64_t sectors = table.be64(16);
    if (sectors > kMaxImageBytes / kSector) {
        fprintf(stderr, "Can't allocate enough memory (%lld) for decompression\n",
                static_cast<long long>(sectors * kSector));
        return -1;
    }
    uint64_t imageBytes = sectors * kSector;
    // Zero chunks cost nothing to store, but whatever is later read from the expanded image is held
    // in memory: an expansion far beyond what such a table can describe is a forged size.
    uint64_t honest = std::max<uint64_t>(kMinExpansionLimit, fileSize * kMaxExpansionRatio);
    if (imageBytes > honest) {
        fprintf(stderr, "The image claims %llu bytes expanded, more than its %llu bytes can describe\n",
                static_cast<unsigned long long>(imageBytes), static_cast<unsigned long long>(fileSize));
        return -1;
    }
    if (!checkBlockTable(table, imageBytes)) return -1;
    // An unknown kind would leave its sectors zero and the volume quietly wrong: refuse the image
    // before anything is written.
    for (uint32_t i = 0; i < table.be32(200); ++i) {
        if (uint32_t type = chunkAt(table, i).type; !knownChunkType(type)) {
            fprintf(stderr, "The image uses a compression Tarnwick does not read (type 0x%08x)\n", type);
            return -1;
        }
    }

    UniqueFd out = createOutputFile(kDecompressedPath);
    if (!out) return -1;
    // Chunk offsets count from the image's data: the data fork's offset plus the table's own.
    uint64_t base = koly.be64(24) + table.be64(24);
    uint32_t count = table.be32(200);
    for (uint32_t i = 0; i < count; ++i) {
        if (g_Interrupted || !expandChunk(imageFd, fileSize, base, chunkAt(table, i), i, count, out.get(), imageBytes)) {
            unlink(kDecompressedPath);   // no half-expanded image is left to be opened later
            return -1;
        }
    }

    fprintf(stderr, "decompression done - Writing %ld bytes to %s..\n", static_cast<long>(imageBytes), kDecompressedPath);
    // Zero chunks and gaps stay holes of the file: nothing is held in memory for them.
    if (ftruncate(out.get(), static_cast<off_t>(imageBytes)) != 0) {
        perror("write");
        return -1;
    }
    fprintf(stderr, "%d bytes written..\n", static_cast<int>(imageBytes));
    out = UniqueFd();
    UniqueFd volume(open(kDecompressedPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!volume) fprintf(stderr, "Unable to open %s\n", kDecompressedPath);
    int rc = volume ? openHFSPartitionInFd(volume.get(), 0, 512) : -1;
    printf("RC was %d\n", rc);
    return rc == 0 ? volume.release() : -1;
}
