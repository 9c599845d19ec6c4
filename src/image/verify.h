// Checking an image against the checksums it carries. Nothing is refused for a checksum: a
// mismatch is reported, and the reader goes on reading what is there.
#pragma once

#include <cstdint>

#include "base/messages.h"
#include "image/image.h"

// Reports each checksum the image carries and whether its bytes still match it: a UDIF image's
// data fork, master and per-partition CRC32s, an E01's MD5 and SHA1. The number of mismatches; -1
// when the image carries no checksum this reads (said).
int verifyImage(const Image &image, Messages &messages);
