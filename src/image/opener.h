// How the containers hand over what they found: the image they opened and where in it the volume
// starts. The callers above decide what opening a volume means; the containers only say where.
#pragma once

#include <cstdint>
#include <functional>

#include "base/bits.h"
#include "base/messages.h"

// Opens the volume at `offset` in the image `fd` (taking the descriptor when it succeeds); false
// when no volume opened there, after saying why.
using VolumeOpener = std::function<bool(UniqueFd &fd, uint64_t offset)>;
// Whether a volume header lies at `offset` in the image `fd`, after saying why not.
using HeaderCheck = std::function<bool(int fd, uint64_t offset)>;
// Says (with debug traces on) where the volume is looked for.
void announcePartitionOffset(uint64_t offset, Messages &messages);
