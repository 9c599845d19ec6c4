// Names in their stored form, big-endian UTF-16 (TN1150 HFSUniStr255): printing and filling. No normalisation, no folding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "volume/bits.h"

constexpr size_t kHFSUniStr255Size = 512;
constexpr uint16_t kMaxNameUnits = 255;

// Prints a stored name as UTF-8 (in <Name> tags unless plain); returns 2 + 2 x length, 0 when the
// length is over 255.
size_t dumpUnicode(FILE *stream, Bytes name, int plain);
// Fills a 512-byte HFSUniStr255 with the UTF-8 text in stored form. A text of more than 255 units
// is cut at 255 (never through a surrogate pair); returns false when it was cut.
bool unicodify(uint8_t *name, std::string_view text);
