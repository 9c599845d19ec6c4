// The volume's journal (TN1150 "Journal"): its info block, its header, and the block lists of the
// transactions that were written to it but not yet replayed onto the volume.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct JournalBlock {
    uint64_t sector;       // where the journalled copy belongs, in the journal's sectors
    uint32_t length;       // bytes
    uint32_t checksum = 0; // of its copy, where the list's flags say the copies are summed
};

constexpr uint64_t kKilledBlock = ~0ull;   // an entry a later write in the same transaction made void

struct JournalBlockList {
    uint64_t at;           // byte offset in the journal
    uint16_t maxBlocks, numBlocks;
    uint32_t bytesUsed, checksum, computedChecksum;
    std::vector<JournalBlock> blocks;   // binfo[1] on: binfo[0] only chains the lists
    // The list header's pad, which Mac OS X 10.5 on fills with flags, and binfo[0]'s last field:
    // non-zero when another list of the same transaction follows, or (with those flags) the
    // transaction's sequence number.
    uint32_t flags = 0, next = 0;
};

constexpr uint32_t kListSumsBlocks = 0x1, kListFirstOfTransaction = 0x2;   // block list flags

struct Journal {
    // Info block, big-endian like the rest of the volume.
    uint32_t infoBlock = 0, flags = 0;
    uint64_t offset = 0, size = 0;     // bytes, from the start of the volume
    // Header, in the byte order of the machine that wrote it.
    bool littleEndian = false;
    uint32_t magic = 0, endian = 0, blockListSize = 0, checksum = 0, computedChecksum = 0, headerSize = 0,
             sequence = 0;
    uint64_t start = 0, end = 0, sizeInHeader = 0;
    std::vector<JournalBlockList> lists;   // start to end
    size_t soundLists = 0;                 // those of them the walk went past whole
    std::string damage;                    // why the header or the walk was refused; empty when sound
    bool headerRead = false;               // the header's fields above are meaningful

    bool unreplayed() const { return headerRead && start != end; }
};

constexpr const char *kUnreplayedJournalWarning =
    "The journal holds unreplayed transactions: what follows is the volume as last written in place\n";

// The volume's journal, or nothing when the volume is not journaled. Everything read is bounded by
// the journal's size and the volume's; `damage` says where reading stopped.
class Volume;

constexpr uint32_t kInFileSystem = 0x1, kOnOtherDevice = 0x2, kNeedsInit = 0x4;   // info block flags
constexpr uint32_t kJournalMagic = 0x4a4e4c78;   // 'JNLx'

std::optional<Journal> readJournal(const Volume &volume);

// The journal's bytes past its header form a ring: reading on from its end goes on after the header.
class Image;
struct JournalRing {
    const Image &image;
    uint64_t base, size, headerSize;   // base: the journal's first byte in the image

    JournalRing(const Volume &volume, const Journal &journal);
    JournalRing(const Image &image, uint64_t base, uint64_t size, uint64_t headerSize)
        : image(image), base(base), size(size), headerSize(headerSize) {}
    bool read(uint64_t at, uint8_t *out, size_t length) const;
    uint64_t advance(uint64_t at, uint64_t by) const;
    uint64_t distance(uint64_t from, uint64_t to) const;
};

// TN1150's journal checksum: over the bytes, with the checksum field zeroed beforehand.
uint32_t journalChecksum(const uint8_t *data, size_t size);
