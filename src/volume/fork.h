// readFork: the whole content of one fork, read through the eight extents of its fork data.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "volume/bits.h"

constexpr size_t kForkDataSize = 80;

// Reads totalBlocks x blockSize bytes of the fork described by `forkData` (80 raw bytes, TN1150
// HFSPlusForkData). Bytes no extent filled are zero. Returns nothing when the fork is larger than
// the image could hold or the buffer cannot be allocated (after saying why on standard error).
std::optional<std::vector<uint8_t>> readFork(Bytes forkData, const uint8_t *volumeHeader, int fd,
                                             uint64_t partitionOffset, uint64_t *bytesRead = nullptr);
