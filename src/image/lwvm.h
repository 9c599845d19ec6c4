// LwVM partition maps: a small little-endian table somewhere in the first 4096 bytes.
#pragma once

#include <cstdint>

#include "image/gpt.h"
#include "image/opener.h"
#include "base/messages.h"

// Lists the map and sets *partitionOffset (PARTOFF, or the usual 8 MiB); 0 when a volume header is there.
int mountLwVM(const Probe &image, uint64_t *partitionOffset, const HeaderCheck &hasVolume, Messages &messages);
