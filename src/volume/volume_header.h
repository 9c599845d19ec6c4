// The volume header (TN1150 HFSPlusVolumeHeader), 512 bytes 1024 bytes into the volume: its
// fields by name, and where the five special files' fork data lie in it.
#pragma once

#include <array>
#include <cstdint>

#include "base/bits.h"
#include "volume/overflow.h"

constexpr size_t kVolumeHeaderSize = 512;
constexpr uint64_t kVolumeHeaderOffset = 1024;
constexpr size_t kForkDataSize = 80;

// Offsets of the special files' HFSPlusForkData in the header.
constexpr size_t kAllocationForkOffset = 112, kExtentsForkOffset = 192, kCatalogForkOffset = 272,
                 kAttributesForkOffset = 352;
constexpr uint32_t kJournaledMask = 0x2000;   // kHFSVolumeJournaledBit

struct VolumeHeader {
    std::array<uint8_t, kVolumeHeaderSize> raw{};

    Bytes bytes() const { return {raw.data(), raw.size()}; }
    uint16_t signature() const { return bytes().be16(0); }
    uint16_t version() const { return bytes().be16(2); }
    uint32_t attributes() const { return bytes().be32(4); }
    uint32_t lastMountedVersion() const { return bytes().be32(8); }
    uint32_t journalInfoBlock() const { return bytes().be32(12); }
    uint32_t createDate() const { return bytes().be32(16); }
    uint32_t modifyDate() const { return bytes().be32(20); }
    uint32_t fileCount() const { return bytes().be32(32); }
    uint32_t folderCount() const { return bytes().be32(36); }
    uint32_t blockSize() const { return bytes().be32(40); }
    uint32_t totalBlocks() const { return bytes().be32(44); }
    uint32_t freeBlocks() const { return bytes().be32(48); }
    uint32_t dataClumpSize() const { return bytes().be32(60); }
    uint32_t nextCatalogID() const { return bytes().be32(64); }
    // The 80 bytes of fork data of a special file (one of the offsets above).
    Bytes fork(size_t offset) const { return bytes().sub(offset, kForkDataSize); }
    // The volume's bytes as the header counts them: 32 x 32 bits, so no overflow.
    uint64_t volumeBytes() const { return static_cast<uint64_t>(totalBlocks()) * blockSize(); }
};

// HFSPlusExtentRecord: eight (start block, block count) pairs, in fork data and in the leaf
// records of the extents overflow file.
constexpr size_t kExtentDescriptorSize = 8;
inline Extent extentAt(Bytes extents, int i) {
    size_t at = kExtentDescriptorSize * static_cast<size_t>(i);
    return {extents.be32(at), extents.be32(at + 4)};
}

// HFSPlusForkData fields.
inline uint64_t forkLogicalSize(Bytes fork) { return fork.be64(0); }
inline uint32_t forkTotalBlocks(Bytes fork) { return fork.be32(12); }
inline Extent forkExtent(Bytes fork, int i) { return extentAt(fork.from(16), i); }
