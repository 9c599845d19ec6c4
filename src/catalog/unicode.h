// Names: stored big-endian UTF-16 (TN1150 HFSUniStr255) to UTF-8 and back. No normalisation, no folding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "volume/bits.h"

constexpr size_t kHFSUniStr255Size = 512;
constexpr uint16_t kMaxNameUnits = 255;

// UTF-8 to host-order UTF-16, without validation. A sequence cut off by the end of the text uses
// the bytes present and counts the missing ones as zero; a four-byte sequence whose value is below
// 0x10000 gives that value as one unit.
std::u16string UTF8toUTF16(std::string_view text);
// Host-order UTF-16 to UTF-8, up to the first 0 unit or the end. An unpaired surrogate is written
// in the three-byte form like any other unit of the basic plane.
std::string UTF16toUTF8(std::u16string_view units);
// Prints a stored name as UTF-8 (in <Name> tags unless plain); returns 2 + 2 x length, 0 when the
// length is over 255.
size_t dumpUnicode(FILE *stream, Bytes name, int plain);
// Fills a 512-byte HFSUniStr255 with the UTF-8 text in stored form. A text of more than 255 units
// is cut at 255 (never through a surrogate pair); returns false when it was cut.
bool unicodify(uint8_t *name, std::string_view text);
