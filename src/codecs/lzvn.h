// LZVN: the byte-oriented LZ77 of decmpfs types 7 and 8 and of LZFSE's "bvxn" blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/bits.h"

// Decodes the LZVN stream `in` (up to and including its end-of-stream opcode) into out[pos, capacity).
// out[0, pos) is output already produced that matches may refer back to (earlier LZFSE blocks).
// Never reads outside `in`, never writes at or past out[capacity], never copies from before out[0].
// Returns the new output position, or nothing when the stream is damaged: an opcode that is not
// defined, a literal or match that runs past the input or the capacity, a distance reaching before
// out[0], or input that ends without the end-of-stream opcode.
std::optional<size_t> lzvnDecode(Bytes in, uint8_t *out, size_t pos, size_t capacity);
