// How the containers hand over what they found: the image they opened and where in it the volume
// starts. The callers above decide what opening a volume means; the containers only say where.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "base/bits.h"
#include "base/messages.h"
#include "image/image.h"

// Opens the volume at `offset` in `image` (sharing the image when it succeeds); false when no
// volume opened there, after saying why.
using VolumeOpener = std::function<bool(const std::shared_ptr<const Image> &image, uint64_t offset)>;
// Whether a volume header lies at `offset` in `image`, after saying why not.
using HeaderCheck = std::function<bool(const Image &image, uint64_t offset)>;
// Says (with debug traces on) where the volume is looked for.
void announcePartitionOffset(uint64_t offset, Messages &messages);
