// Apple Partition Maps: the Apple_HFS partition of a map in the first 32768 bytes.
#pragma once

#include <cstdint>

#include "base/bits.h"
#include "base/messages.h"
#include "image/image.h"
#include "image/partitions.h"

bool isAPM(Bytes probe);
// Lists the map and sets *partitionOffset to the first Apple_HFS entry's start. Returns the map's
// block size, 0 after a bad entry, -1 when the map cannot be read or its block size is unusable,
// kNotHFS (said) when no entry is Apple_HFS.
int doAPM(const Image &image, uint64_t *partitionOffset, Messages &messages);
// The map's entries, up to the first that is not one, as partitions named by their type.
std::vector<Partition> apmPartitions(const Image &image);
