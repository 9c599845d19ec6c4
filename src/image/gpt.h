// GUID Partition Tables: recognition, the entry walk that finds the HFS+ partition, type names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"

constexpr size_t kProbeSize = 4096;   // the containers look at the first 4096 bytes
constexpr uint64_t kSectorSize = 512;

// An image file opened once, read-only, and its first kProbeSize bytes (zero past its end): every
// container probe looks at these, and the volume is then read through the same file.
struct Probe {
    UniqueFd fd;
    uint8_t bytes[kProbeSize] = {};
    Bytes view() const { return {bytes, kProbeSize}; }
};
// Nothing, after saying why ("open" or "read"), when the file cannot be opened or read.
std::optional<Probe> openProbe(const char *path, Messages &messages);

// The GPT header at byte 512 of the probe, or an empty view.
Bytes isGPT(Bytes probe);
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
