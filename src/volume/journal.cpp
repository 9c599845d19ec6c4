#include "volume/journal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/bits.h"
#include "image/image.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t kJournalEndian = 0x12345678;
constexpr size_t kInfoBlockBytes = 52;               // flags, device signature, offset, size
constexpr size_t kHeaderBytes = 48;                  // up to and with the sequence number
constexpr size_t kHeaderChecksummed = 44;            // the checksum covers the fields before the sequence number
constexpr size_t kBlockListChecksummed = 32;         // the list's header and binfo[0]
constexpr uint32_t kMaxBlockListSize = 16 << 20;     // real journals use a few KiB

std::string format(const char *fmt, unsigned long long a, unsigned long long b = 0) {
    char text[160];
    snprintf(text, sizeof text, fmt, a, b);
    return text;
}

void walkBlockLists(const JournalRing &ring, Journal &j) {
    std::vector<uint8_t> buffer(j.blockListSize);
    const uint64_t total = ring.distance(j.start, j.end);
    uint64_t at = j.start;
    // Each list takes at least blockListSize bytes of what lies between start and end.
    for (uint64_t done = 0; done < total;) {
        if (!ring.read(at, buffer.data(), buffer.size())) {
            j.damage = format("The block list at %llu cannot be read: the image ends first\n", at);
            return;
        }
        Bytes list{buffer.data(), buffer.size()};
        auto u16 = [&](size_t off) { return j.littleEndian ? list.le16(off) : list.be16(off); };
        auto u32 = [&](size_t off) { return j.littleEndian ? list.le32(off) : list.be32(off); };
        auto u64 = [&](size_t off) { return j.littleEndian ? list.le64(off) : list.be64(off); };
        JournalBlockList l{at, u16(0), u16(2), u32(4), u32(8), 0, {}, u32(12), u32(28)};
        uint8_t summed[kBlockListChecksummed];
        memcpy(summed, buffer.data(), sizeof summed);
        memset(summed + 8, 0, 4);
        l.computedChecksum = journalChecksum(summed, sizeof summed);
        size_t entries = l.numBlocks == 0 ? 0 : l.numBlocks - 1u;
        bool fits = 16 + 16 * (entries + 1) <= buffer.size();
        for (size_t i = 1; fits && i <= entries; ++i)
            l.blocks.push_back({u64(16 * i + 16), u32(16 * i + 24), u32(16 * i + 28)});
        j.lists.push_back(std::move(l));
        const JournalBlockList &last = j.lists.back();
        if (!fits) {
            j.damage = format("The block list at %llu claims %llu blocks, more than its header holds\n", at,
                              last.numBlocks);
            return;
        }
        if (last.bytesUsed < j.blockListSize || last.bytesUsed > total - done) {
            j.damage = format("The block list at %llu claims %llu bytes: it would not end where the next begins "
                              "before the journal's end\n",
                              at, last.bytesUsed);
            return;
        }
        done += last.bytesUsed;
        at = ring.advance(at, last.bytesUsed);
        ++j.soundLists;
    }
}

}  // namespace

JournalRing::JournalRing(const Volume &volume, const Journal &journal)
    : JournalRing(volume.image(), volume.partitionOffset() + journal.offset, journal.size, journal.headerSize) {}

bool JournalRing::read(uint64_t at, uint8_t *out, size_t length) const {
    while (length > 0) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(length, size - at));
        if (image.readAt(out, piece, base + at) != static_cast<ssize_t>(piece)) return false;
        out += piece;
        length -= piece;
        at += piece;
        if (at == size) at = headerSize;
    }
    return true;
}

uint64_t JournalRing::advance(uint64_t at, uint64_t by) const {
    uint64_t room = size - at;
    return by < room ? at + by : headerSize + (by - room);
}

uint64_t JournalRing::distance(uint64_t from, uint64_t to) const {
    return to >= from ? to - from : (size - from) + (to - headerSize);
}

uint32_t journalChecksum(const uint8_t *data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = (sum << 8) ^ (sum + data[i]);
    return ~sum;
}

std::optional<Journal> readJournal(const Volume &volume) {
    const Image &image = volume.image();
    const uint64_t partitionOffset = volume.partitionOffset();
    Bytes vh = volume.header().bytes();
    if (!(vh.be32(4) & kJournaledMask)) return std::nullopt;
    Journal j;
    j.infoBlock = vh.be32(12);
    const uint64_t blockSize = vh.be32(40), volumeBytes = vh.be32(44) * blockSize;   // both 32 bits: no overflow
    const uint64_t infoAt = j.infoBlock * blockSize;
    if (j.infoBlock == 0 || infoAt > volumeBytes || volumeBytes - infoAt < kInfoBlockBytes) {
        j.damage = format("The journal info block (block %llu) lies outside the volume (%llu bytes)\n", j.infoBlock,
                          volumeBytes);
        return j;
    }
    uint8_t info[kInfoBlockBytes];
    if (partitionOffset > UINT64_MAX - infoAt ||
        image.readAt(info, sizeof info, partitionOffset + infoAt) != static_cast<ssize_t>(sizeof info)) {
        j.damage = format("The journal info block (block %llu) cannot be read: the image ends first\n", j.infoBlock);
        return j;
    }
    Bytes infoBytes{info, sizeof info};
    j.flags = infoBytes.be32(0);
    j.offset = infoBytes.be64(36);
    j.size = infoBytes.be64(44);
    if (j.flags & kOnOtherDevice) {
        j.damage = "The journal lies on another device: it is not part of this image\n";
        return j;
    }
    // Every position read below is then a valid file offset.
    constexpr uint64_t kMaxOffset = INT64_MAX;
    if (j.offset > volumeBytes || j.size > volumeBytes - j.offset || j.size < kHeaderBytes ||
        volumeBytes > kMaxOffset || partitionOffset > kMaxOffset - volumeBytes) {
        j.damage = format("The journal (%llu bytes at %llu) does not lie inside the volume\n", j.size, j.offset);
        return j;
    }
    uint8_t header[kHeaderBytes];
    const uint64_t base = partitionOffset + j.offset;
    if (image.readAt(header, sizeof header, base) != static_cast<ssize_t>(sizeof header)) {
        j.damage = format("The journal header at %llu cannot be read: the image ends first\n", j.offset);
        return j;
    }
    Bytes h{header, sizeof header};
    j.littleEndian = h.le32(0) == kJournalMagic;
    auto u32 = [&](size_t off) { return j.littleEndian ? h.le32(off) : h.be32(off); };
    auto u64 = [&](size_t off) { return j.littleEndian ? h.le64(off) : h.be64(off); };
    j.magic = u32(0);
    j.endian = u32(4);
    if (j.magic != kJournalMagic || j.endian != kJournalEndian) {
        j.damage = format("The journal header has magic 0x%08llx and byte-order mark 0x%08llx: it is no journal header\n",
                          h.be32(0), h.be32(4));
        return j;
    }
    j.start = u64(8);
    j.end = u64(16);
    j.sizeInHeader = u64(24);
    j.blockListSize = u32(32);
    j.checksum = u32(36);
    j.headerSize = u32(40);
    j.sequence = u32(44);
    uint8_t summed[kHeaderChecksummed];
    memcpy(summed, header, sizeof summed);
    memset(summed + 36, 0, 4);
    j.computedChecksum = journalChecksum(summed, sizeof summed);
    j.headerRead = true;
    if (j.sizeInHeader != j.size) {
        j.damage = format("The journal header gives a size of %llu bytes, the info block %llu\n", j.sizeInHeader, j.size);
    } else if (j.headerSize < kHeaderBytes || j.headerSize >= j.size) {
        j.damage = format("The journal header claims a header size of %llu bytes\n", j.headerSize);
    } else if (j.blockListSize < kBlockListChecksummed || j.blockListSize > j.size - j.headerSize ||
               j.blockListSize > kMaxBlockListSize) {
        j.damage = format("The journal header claims block lists of %llu bytes\n", j.blockListSize);
    } else if (j.start < j.headerSize || j.start >= j.size || j.end < j.headerSize || j.end >= j.size) {
        j.damage = format("The journal's start (%llu) or end (%llu) lies outside its ring of transactions\n", j.start,
                          j.end);
    }
    if (!j.damage.empty()) {
        j.headerRead = false;
        return j;
    }
    walkBlockLists(JournalRing{image, base, j.size, j.headerSize}, j);
    return j;
}

