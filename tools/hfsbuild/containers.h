// Containers around a raw volume, for tests: GPT and Apple Partition Map disks, LwVM maps, UDIF
// (.dmg) images and an ADC compressor. Sectors are 512 bytes; sizes and offsets are 64 bits.
// Everything here throws std::invalid_argument when asked for a layout it cannot write.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace hfsbuild {

constexpr uint64_t kSectorBytes = 512;

// GPT partition type GUIDs, as text.
inline const std::string kGptEfiSystem = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
inline const std::string kGptHfsPlus = "48465300-0000-11AA-AA11-00306543ECAC";
inline const std::string kGptAppleBoot = "426F6F74-0000-11AA-AA11-00306543ECAC";   // Recovery HD
inline const std::string kGptApfs = "7C3457EF-0000-11AA-AA11-00306543ECAC";

// A GUID in the on-disk GPT byte order: the first three groups little-endian, the rest as written.
std::vector<uint8_t> gptGuidBytes(const std::string &text);

// ---- GPT ----

struct GptPartition {
    std::string type = kGptHfsPlus;   // GUID text; any GUID is written as given
    std::u16string name;              // at most 36 units; exactly 36 leaves no terminating zero
    uint64_t firstLba = 0;            // 0: after every placed partition, rounded up to the alignment
    uint64_t sectors = 0;             // 0: just enough for `content`
    std::vector<uint8_t> content;     // written at firstLba; the rest of the partition is zeros
    uint64_t attributes = 0;
};

struct GptDisk {
    std::vector<GptPartition> partitions;   // entries in this order from LBA 2, whatever their places
    uint64_t alignment = 8;                 // sectors, for automatic places and the end of the last one
};

// Protective MBR, primary header and 128 entries of 128 bytes at LBA 2..33, the partitions, then
// the backup entries and the backup header in the last 33 sectors. CRCs are zlib's crc32.
std::vector<uint8_t> buildGpt(const GptDisk &disk);

// The usual Mac layout: "EFI System Partition" listed first but placed after the volume, then the
// volume as "Macintosh HD" at `volumeLba`.
GptDisk macGpt(const std::vector<uint8_t> &volume, uint64_t volumeLba = 40);

// ---- Apple Partition Map ----

struct ApmPartition {
    std::string name, type = "Apple_HFS";   // at most 32 bytes each
    uint64_t firstBlock = 0;                // 0: after every placed partition
    uint64_t blocks = 0;                    // 0: just enough for `content`
    std::vector<uint8_t> content;
    uint32_t status = 0x40000033;           // valid, allocated, in use, readable, writable, mountable
};

struct ApmDisk {
    uint32_t blockSize = 512;
    std::vector<ApmPartition> partitions;   // map entries 2, 3, ...; entry 1 is the map itself
    uint64_t mapBlocks = 63;                // blocks 1..mapBlocks belong to the map partition
    uint32_t mapEntryCount = 0;             // written in every entry; 0: the real count
};

// Block 0 holds the driver descriptor ("ER", block size, block count); entry k sits in block k.
std::vector<uint8_t> buildApm(const ApmDisk &disk);

// Map, then "Apple_Free" (16 blocks placed after the volume), then the volume at `volumeBlock`.
ApmDisk macApm(const std::vector<uint8_t> &volume, uint64_t volumeBlock = 64);

// ---- LwVM ----

struct LwvmOptions {
    uint64_t signatureOffset = 0;           // 0 or 512
    uint64_t volumeOffset = 0x800000;
    std::u16string name = u"System";
};

// The signature, media GUID, media size and partition count, then one 128-byte record 512 bytes
// after the signature: HFS+ type, partition GUID, start, end (exclusive), attributes, name.
std::vector<uint8_t> lwvmImage(const std::vector<uint8_t> &volume, const LwvmOptions &options = {});

// ---- UDIF ----

namespace udif {
constexpr uint32_t kZero = 0x00000000, kRaw = 0x00000001, kIgnore = 0x00000002, kComment = 0x7FFFFFFE,
                   kAdc = 0x80000004, kZlib = 0x80000005, kBzip2 = 0x80000006, kLzfse = 0x80000007,
                   kLzma = 0x80000008, kTerminator = 0xFFFFFFFF;
}

// One blkx entry: a run of consecutive sectors of the disk and its name, e.g. "disk image (Apple_HFS : 1)".
struct UdifPartition {
    std::string name;
    uint64_t sectors = 0;                   // 0 for the last one: the rest of the disk
};

enum class Terminator { End, Middle, None };

struct UdifOptions {
    // Empty: the whole input as "whole disk (Apple_HFS : 0)".
    std::vector<UdifPartition> partitions;
    uint64_t chunkSectors = 2048;
    // Picks kZero, kRaw, kIgnore, kAdc, kZlib, kBzip2, kLzfse or kLzma for each chunk (numbered across the image).
    // Unset: kZero for all-zero chunks, else kZlib. kZero and kIgnore need all-zero chunks.
    std::function<uint32_t(uint64_t chunk, std::span<const uint8_t> data)> encoding;
    bool comments = false;                  // a comment entry (no sectors, no data) before every chunk
    Terminator terminator = Terminator::End;   // Middle: after the first half of a table's chunks

    // Offsets, as readers must resolve them:
    //   the file starts with `dataForkOffset` zero bytes, then the data fork: `mishDataOffset` zero
    //   bytes, then every chunk's data;
    //   the trailer's data fork offset field is `dataForkOffset`, its length the data fork's;
    //   every mish header's data offset field is `mishDataOffset`;
    //   a chunk's compressed offset field = its position in the file - dataForkOffset - mishDataOffset,
    //   so with both zero it is the position in the file; comment, zero, ignore and terminator
    //   entries hold the offset that the next data would have;
    //   the XML offset in the trailer is a position in the file, whatever the options.
    uint64_t dataForkOffset = 0;
    uint64_t mishDataOffset = 0;
    // Zero sectors after the disk, in the last partition as one ignore chunk, as hdiutil leaves the
    // empty rest of a large disk: the expanded disk grows by them, the image by 40 bytes.
    uint64_t zeroSectorsAfter = 0;
};

// The data fork, the XML property list (resource-fork / blkx with Base64 mish tables), then the
// 512-byte "koly" trailer. `disk` is padded with zeros to whole sectors. Each table carries the
// CRC32 of its expanded sectors, leaving out kIgnore chunks as 7-Zip does; the trailer, the CRC32
// of the data fork and, as master checksum, the CRC32 of the tables' CRC32s (big-endian, in order).
std::vector<uint8_t> buildUdif(const std::vector<uint8_t> &disk, const UdifOptions &options = {});

// blkx entries named as Disk Utility names them, for a disk made by buildGpt / buildApm.
std::vector<UdifPartition> udifPartitions(const GptDisk &disk);
std::vector<UdifPartition> udifPartitions(const ApmDisk &disk);

// ---- ADC ----

// Greedy Apple Data Compression: literal runs of 1..128 bytes, two-byte references (length 3..18,
// distance 1..1024) and three-byte references (length 4..67, distance 1..65536).
std::vector<uint8_t> adcCompress(std::span<const uint8_t> data);

}  // namespace hfsbuild
