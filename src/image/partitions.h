// The partitions of a disk as its map lists them, and what each one holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"

struct Partition {
    std::string type, name;
    uint64_t start = 0, size = 0;   // bytes, in the disk
};

// What the bytes at `start` of `image` hold: "HFS+", "HFSX", "HFS+ (wrapped)", "HFS", "APFS",
// "encrypted", or "" for anything else.
std::string contentAt(const Image &image, uint64_t start);
