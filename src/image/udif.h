// UDIF disk images: the koly trailer, the property list's block table, and the chunks expanded
// into /tmp/decompressed.dmg, where the HFS Plus volume is then opened.
#pragma once

#include <cstdint>

#include "image/opener.h"
#include "base/bits.h"
#include "base/messages.h"

constexpr const char *kDecompressedPath = "/tmp/decompressed.dmg";
constexpr size_t kKolySize = 512;

// Takes the image's descriptor (owned by the caller) and its 512 trailer bytes; expands the HFS+
// partition and has `open` open the volume in the expansion. Returns the expansion's descriptor
// number, or -1.
int mountUDIF(int imageFd, Bytes trailer, const VolumeOpener &open, Messages &messages);
