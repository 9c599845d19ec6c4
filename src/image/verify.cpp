#include "image/verify.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/output.h"
#include "image/base64.h"
#include "image/udif.h"
#include "image/udif_chunks.h"

using namespace udif;

namespace {

constexpr uint32_t kCRC32 = 2;
constexpr size_t kPiece = 1 << 20;
constexpr size_t kDataForkChecksum = 80, kMasterChecksum = 352, kTableChecksum = 64;

uint32_t crcOf(uint32_t crc, const uint8_t *data, uint64_t length) {
    for (uint64_t done = 0; done < length;) {
        uInt step = static_cast<uInt>(std::min<uint64_t>(length - done, 1u << 30));
        crc = static_cast<uint32_t>(crc32(crc, data + done, step));
        done += step;
    }
    return crc;
}

// The CRC32 of `length` zero bytes appended to what `crc` covers, from the CRCs of runs of zeros
// doubled in length: a zero chunk may claim terabytes.
uint32_t crcOfZeros(uint32_t crc, uint64_t length) {
    static const uint8_t kZeros[4096] = {};
    uint32_t run = static_cast<uint32_t>(crc32(0, kZeros, sizeof kZeros)), zeros = 0;
    uint64_t runLength = sizeof kZeros, zerosLength = 0;
    for (uint64_t runs = length / sizeof kZeros; runs; runs >>= 1) {
        if (runs & 1) {
            zeros = static_cast<uint32_t>(crc32_combine(zeros, run, static_cast<z_off_t>(runLength)));
            zerosLength += runLength;
        }
        if (runs > 1) {
            run = static_cast<uint32_t>(crc32_combine(run, run, static_cast<z_off_t>(runLength)));
            runLength <<= 1;
        }
    }
    crc = static_cast<uint32_t>(crc32_combine(crc, zeros, static_cast<z_off_t>(zerosLength)));
    return static_cast<uint32_t>(crc32(crc, kZeros, static_cast<uInt>(length % sizeof kZeros)));
}

// A checksum field: type, bits, then the value in its first word.
struct Checksum {
    uint32_t type, value;
};
Checksum checksumAt(Bytes at) { return {at.be32(0), at.be32(8)}; }

// Says one line for a checksum and whether it matched; true when it did (or names no CRC32).
bool report(const char *what, Checksum stored, uint32_t computed, Messages &messages) {
    if (stored.type != kCRC32) {
        messages.out("%s: checksum of type %u, not checked\n", what, stored.type);
        return true;
    }
    bool ok = stored.value == computed;
    messages.out("%s: CRC32 %08x, computed %08x: %s\n", what, stored.value, computed, ok ? "ok" : "MISMATCH");
    return ok;
}

// The CRC32 of a stretch of the file, or nothing when it cannot be read.
std::optional<uint32_t> fileCRC(const Image &image, uint64_t offset, uint64_t length) {
    std::vector<uint8_t> piece(kPiece);
    uint32_t crc = 0;
    for (uint64_t done = 0; done < length && !g_Interrupted; done += piece.size()) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, length - done));
        if (image.readAt(piece.data(), want, offset + done) != static_cast<ssize_t>(want)) return std::nullopt;
        crc = crcOf(crc, piece.data(), want);
    }
    return crc;
}

// The CRC32 of a partition's expanded sectors, ignored chunks left out; nothing when a chunk is
// damaged (said).
std::optional<uint32_t> partitionCRC(const Image &image, Bytes table, uint64_t base, Messages &messages) {
    if (!table.has(0, kMishHeader) || memcmp(table.data, "mish", 4) != 0) return std::nullopt;
    uint32_t count = table.be32(200);
    if (!table.has(kMishHeader, uint64_t{count} * kChunkSize)) return std::nullopt;
    uint64_t sectors = table.be64(16);
    if (sectors > UINT64_MAX / kSector) return std::nullopt;
    Decoder decoder;
    uint32_t crc = 0;
    for (const Planned &p : planOf(table, base, image.size())) {
        if (g_Interrupted) break;
        const Chunk &c = p.c;
        if (c.type == kZero) {
            crc = crcOfZeros(crc, std::min(c.sectorCount, sectors) * kSector);
            continue;
        }
        if (c.type != kRaw && (c.type & 0x80000000u) == 0) continue;   // ignored, comments, the terminator
        Said said;
        Bytes decoded;
        if (p.stop || !decodeChunk(p, decoder, image, said, &decoded)) {
            messages.err("%s%s", p.before.c_str(), said.err.c_str());
            return std::nullopt;
        }
        crc = crcOf(crc, decoded.data, decoded.size);
        if (c.type == kRaw && decoded.size < c.sectorCount * kSector) crc = crcOfZeros(crc, c.sectorCount * kSector - decoded.size);
    }
    return crc;
}

std::string hex(const uint8_t *data, size_t length) {
    std::string text;
    char digit[3];
    for (size_t i = 0; i < length; ++i) snprintf(digit, sizeof digit, "%02x", data[i]), text += digit;
    return text;
}

// The image's data against the digests stored with it, read once for all of them.
int verifyDigests(const Image &image, const std::vector<StoredDigest> &stored, Messages &messages) {
    std::vector<std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>> contexts;
    for (const StoredDigest &d : stored) {
        contexts.emplace_back(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        const EVP_MD *kind = EVP_get_digestbyname(d.algorithm);
        if (!contexts.back() || !kind || EVP_DigestInit_ex(contexts.back().get(), kind, nullptr) != 1) {
            messages.err("The %s digest cannot be computed here\n", d.algorithm);
            return 1;
        }
    }
    std::vector<uint8_t> piece(kPiece);
    for (uint64_t at = 0; at < image.size() && !g_Interrupted; at += kPiece) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, image.size() - at));
        if (image.readAt(piece.data(), want, at) != static_cast<ssize_t>(want)) {
            messages.err("Bytes %llu to %llu cannot be read: the image cannot be checked\n", static_cast<unsigned long long>(at),
                         static_cast<unsigned long long>(at + want));
            return 1;
        }
        for (auto &context : contexts) EVP_DigestUpdate(context.get(), piece.data(), want);
    }
    int mismatches = 0;
    for (size_t i = 0; i < stored.size() && !g_Interrupted; ++i) {
        uint8_t value[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        EVP_DigestFinal_ex(contexts[i].get(), value, &length);
        bool ok = length == stored[i].value.size() && memcmp(value, stored[i].value.data(), length) == 0;
        messages.out("%s: stored %s, computed %s: %s\n", stored[i].algorithm, hex(stored[i].value.data(), stored[i].value.size()).c_str(),
                     hex(value, length).c_str(), ok ? "ok" : "MISMATCH");
        mismatches += ok ? 0 : 1;
    }
    return mismatches;
}

}  // namespace

int verifyImage(const Image &image, Messages &messages) {
    uint64_t size = image.size();
    uint8_t trailer[kKolySize];
    if (size < kKolySize || image.readAt(trailer, kKolySize, size - kKolySize) != static_cast<ssize_t>(kKolySize) ||
        memcmp(trailer, "koly", 4) != 0) {
        std::vector<StoredDigest> stored = image.storedDigests();
        if (!stored.empty()) return verifyDigests(image, stored, messages);
        messages.err("This image carries no checksums Tarnwick reads\n");
        return -1;
    }
    Bytes koly{trailer, kKolySize};
    int mismatches = 0;
    uint64_t dataOffset = koly.be64(24), dataLength = koly.be64(32);
    auto dataCRC = dataOffset <= size && dataLength <= size - dataOffset ? fileCRC(image, dataOffset, dataLength) : std::nullopt;
    if (!dataCRC) {
        messages.err("The data fork (%llu bytes at %llu) cannot be read whole\n", static_cast<unsigned long long>(dataLength),
                     static_cast<unsigned long long>(dataOffset));
        ++mismatches;
    } else if (!report("Data fork", checksumAt(koly.from(kDataForkChecksum)), *dataCRC, messages)) {
        ++mismatches;
    }
    uint64_t xmlOffset = koly.be64(216), xmlLength = koly.be64(224);
    if (xmlOffset > size || xmlLength > size - xmlOffset || xmlLength > (64u << 20)) {
        messages.err("The property list lies outside the image\n");
        return mismatches + 1;
    }
    std::string xml(xmlLength, '\0');
    if (image.readAt(xml.data(), xml.size(), xmlOffset) != static_cast<ssize_t>(xml.size())) xml.clear();
    std::vector<uint8_t> tableChecksums;
    int index = 0;
    for (const UdifTable &t : udifBlockTables(xml)) {
        Bytes table{t.bytes.data(), t.bytes.size()};
        std::string what = "Partition " + std::to_string(index++) + " (" + visible(t.name) + ")";
        Checksum stored = checksumAt(table.from(kTableChecksum));
        for (size_t k = 0; k < 4; ++k) tableChecksums.push_back(table.u8(kTableChecksum + 8 + k));
        auto crc = partitionCRC(image, table, dataOffset, messages);
        if (!crc) {
            messages.err("%s: its chunks cannot be read whole\n", what.c_str());
            ++mismatches;
        } else if (!report(what.c_str(), stored, *crc, messages)) {
            ++mismatches;
        }
        if (g_Interrupted) return mismatches;
    }
    uint32_t master = crcOf(0, tableChecksums.data(), tableChecksums.size());
    if (!report("Master", checksumAt(koly.from(kMasterChecksum)), master, messages)) ++mismatches;
    return mismatches;
}
