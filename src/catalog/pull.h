// pull: copying a file out of the volume to /tmp, expanding decmpfs-compressed files.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "volume/bits.h"

constexpr uint32_t kDecmpfsZlibAttribute = 3;   // compressed data inline in the attribute
constexpr uint32_t kDecmpfsZlibFork = 4;        // compressed data in the resource fork
constexpr uint64_t kDecmpfsBlock = 0x10000;

int doPull(const char *line);
// Expands a compressed file of `size` bytes: for type 4 `compressed` is its resource fork, for
// type 3 the data of its decmpfs attribute (header included). Nothing for other types, or when
// the size is impossible for the data given; damaged blocks are reported and left zero.
std::optional<std::vector<uint8_t>> decmpfsDecompress(Bytes compressed, uint32_t type, uint64_t size);
