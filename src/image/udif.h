// UDIF disk images: the koly trailer, the property list's block table, and the chunks expanded
// into /tmp/decompressed.dmg, where the HFS Plus volume is then opened, or read where they lie.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "image/opener.h"
#include "base/bits.h"
#include "base/messages.h"
#include "image/image.h"
#include "image/udif_chunks.h"

constexpr const char *kDecompressedPath = "/tmp/decompressed.dmg";
constexpr size_t kKolySize = 512;

// Takes the image and its 512 trailer bytes; expands the HFS+ partition into kDecompressedPath and
// has `open` open the volume there, or, `inPlace` or when the expansion cannot fit in /tmp, opens
// it in the image read where it lies. Returns the expansion's descriptor number (0 in place), or -1.
// How `fs` wants a UDIF image opened: which partition's volume (-1: the Apple_HFS one), and whether
// always in place.
struct UdifChoice {
    int partition = -1;
    bool inPlace = false;
};
int mountUDIF(const std::shared_ptr<const Image> &image, Bytes trailer, const UdifChoice &choice, const VolumeOpener &open,
              Messages &messages);

// A partition's entry in the property list: its name and its decoded block table (empty when it
// cannot be decoded).
struct UdifTable {
    std::string name;
    std::vector<uint8_t> bytes;
};
// Every partition's entry, in the list's order.
std::vector<UdifTable> udifBlockTables(const std::string &xml);
// The checked chunks of a block table, whose offsets count from the data fork at `dataForkOffset`.
std::vector<udif::Planned> planOf(Bytes table, uint64_t dataForkOffset, uint64_t fileSize);

// The image's 512-byte koly trailer, or nothing when it has none.
std::optional<std::array<uint8_t, kKolySize>> udifTrailer(const Image &image);
// The kind a partition's name gives: "Apple_APFS" for "disk image (Apple_APFS : 4)".
std::string udifPartitionKind(const std::string &name);

// A partition of a UDIF image, read in place (no image when its table is damaged).
struct UdifPartition {
    std::string name;
    uint64_t firstSector, sectors;
    std::shared_ptr<const Image> image;
};
std::vector<UdifPartition> udifPartitions(const std::shared_ptr<const Image> &file, Bytes koly);
