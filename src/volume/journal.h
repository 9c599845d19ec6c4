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
};

struct JournalBlockList {
    uint64_t at;           // byte offset in the journal
    uint16_t maxBlocks, numBlocks;
    uint32_t bytesUsed, checksum, computedChecksum;
    std::vector<JournalBlock> blocks;   // binfo[1] on: binfo[0] only chains the lists
};

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
// TN1150's journal checksum: over the bytes, with the checksum field zeroed beforehand.
uint32_t journalChecksum(const uint8_t *data, size_t size);
