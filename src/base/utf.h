// UTF-8 <-> host-order UTF-16, as names and partition labels are stored.
#pragma once

#include <string>
#include <string_view>

// UTF-8 to host-order UTF-16, without validation. A sequence cut off by the end of the text uses
// the bytes present and counts the missing ones as zero; a four-byte sequence whose value is below
// 0x10000 gives that value as one unit.
std::u16string UTF8toUTF16(std::string_view text);
// Host-order UTF-16 to UTF-8, up to the first 0 unit or the end. An unpaired surrogate is written
// in the three-byte form like any other unit of the basic plane.
std::string UTF16toUTF8(std::u16string_view units);
