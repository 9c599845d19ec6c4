#include "image/partitions.h"

#include <cstring>

#include "base/bits.h"

std::string contentAt(const Image &image, uint64_t start) {
    uint8_t bytes[1024 + 0x80] = {};
    if (start > static_cast<uint64_t>(INT64_MAX) - sizeof bytes || image.readAt(bytes, sizeof bytes, start) < 0) return "";
    Bytes at{bytes, sizeof bytes};
    Bytes header = at.from(1024);
    if (memcmp(bytes, "encrcdsa", 8) == 0) return "encrypted";
    if (memcmp(bytes + 32, "NXSB", 4) == 0) return "APFS";
    if (memcmp(header.data, "H+", 2) == 0) return "HFS+";
    if (memcmp(header.data, "HX", 2) == 0) return "HFSX";
    if (memcmp(header.data, "BD", 2) == 0) return header.be16(0x7C) == 0x482B ? "HFS+ (wrapped)" : "HFS";
    return "";
}
