// GUID Partition Tables: recognition, the entry walk that finds the HFS+ partition, type names.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"
#include "image/image.h"
#include "image/partitions.h"

// The containers look at the first 16384 bytes: a GPT on a disk of 4096-byte sectors ends its
// header at 4608 and its first 64 entries at 16384.
constexpr size_t kProbeSize = 16384;
constexpr uint64_t kSectorSize = 512;

// An image opened once, read-only, and its first kProbeSize bytes (zero past its end): every
// container probe looks at these, and the volume is then read through the same image.
struct Probe {
    std::shared_ptr<const Image> image;
    int number = -1;   // the descriptor of the file it came from, as the messages name it
    uint8_t bytes[kProbeSize] = {};
    Bytes view() const { return {bytes, kProbeSize}; }
    uint64_t size() const { return image->size(); }
};
// Nothing, after saying why ("open" or "read"), when the file cannot be opened or read.
std::optional<Probe> openProbe(const char *path, Messages &messages);
// The first bytes of an image that another one holds (the data of a container), named `number`.
std::optional<Probe> probeImage(std::shared_ptr<const Image> image, int number, Messages &messages);

// The GPT header at byte 512 of the probe (512-byte sectors) or at 4096 (4096-byte sectors), or an
// empty view.
Bytes isGPT(Bytes probe);
// The size of the sectors a GPT counts in: 512 or 4096 (0 without a GPT).
uint64_t gptSectorSize(Bytes probe);
// Reports the table (verbose), walks the entries inside the probe, and sets *partitionOffset to the
// start of the HFS+ entry, unless that lies past deviceSize (0: unknown). Always 0.
int validateGPTHeader(Bytes probe, int verbose, uint64_t deviceSize, uint64_t *partitionOffset, Messages &messages);
// Says so and returns false when a partition at `offset` cannot lie inside the device.
bool partitionInsideDevice(uint64_t offset, uint64_t deviceSize, Messages &messages);
const char *GPTTypeGUID(Bytes typeGUID, Messages &messages);
// The type names of the table's entries (a GUID's text for unknown types), saying nothing.
std::vector<std::string> gptPartitionTypes(Bytes probe);
// A name of at most 36 little-endian UTF-16 units, ended by a zero unit when shorter.
std::string partitionName(Bytes name);
// The table's entries in the probe, as partitions named by their type.
std::vector<Partition> gptPartitions(Bytes probe);
