// The first probe for devices and image files: a GPT, else an LwVM map.
#pragma once

#include <cstdint>

#include "image/gpt.h"
#include "image/opener.h"
#include "base/messages.h"

// 0 when a GPT with an HFS+ entry or an LwVM map with a volume was found; *partitionOffset then
// says where the volume starts (an LwVM map sets it even when no volume is there).
int mountRaw(const Probe &image, uint64_t *partitionOffset, const HeaderCheck &hasVolume, Messages &messages);
