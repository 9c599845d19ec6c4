// Names in their stored form, big-endian UTF-16 (TN1150 HFSUniStr255): printing and filling. No normalisation, no folding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "volume/bits.h"

constexpr size_t kHFSUniStr255Size = 512;
constexpr uint16_t kMaxNameUnits = 255;

// The UTF-8 text of a stored name; nullopt, after a message, when its length is over 255.
std::optional<std::string> storedNameText(Bytes name);
// Prints a stored name as UTF-8: escaped by visible() when plain, else XML-escaped in <Name> tags;
// returns 2 + 2 x length, 0 when the length is over 255.
size_t dumpUnicode(FILE *stream, Bytes name, int plain);
// Fills a 512-byte HFSUniStr255 with the UTF-8 text in stored form. A text of more than 255 units
// is cut at 255 (never through a surrogate pair); returns false when it was cut.
bool unicodify(uint8_t *name, std::string_view text);
