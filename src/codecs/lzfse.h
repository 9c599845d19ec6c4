// LZFSE: Apple's LZ77 with finite-state-entropy coding, as in decmpfs types 11 and 12 and in UDIF
// chunks of type 0x80000007. A stream is a run of blocks ("bvx1", "bvx2", "bvxn" LZVN, "bvx-"
// stored) ended by "bvx$".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/bits.h"

// Decodes the whole stream `in` into out[0, capacity). Never reads outside `in`, never writes at or
// past out[capacity], never copies from before out[0]. Returns the bytes produced, or nothing when
// the stream is damaged or would produce more than `capacity` bytes.
std::optional<size_t> lzfseDecode(Bytes in, uint8_t *out, size_t capacity);
