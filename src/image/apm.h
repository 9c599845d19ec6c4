// Apple Partition Maps: the Apple_HFS partition of a map in the first 32768 bytes.
#pragma once

#include <cstdint>

#include "base/bits.h"
#include "base/messages.h"

bool isAPM(Bytes probe);
// Lists the map and sets *partitionOffset to the first Apple_HFS entry's start. Returns the map's
// block size, 0 after a bad entry, -1 when the map cannot be read or its block size is unusable,
// kNotHFS (said) when no entry is Apple_HFS.
int doAPM(int fd, uint64_t *partitionOffset, Messages &messages);
