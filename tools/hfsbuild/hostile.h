// Hostile images for the tests and for mkimage --hostile: see hostile.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hfsbuild {

struct HostileImage {
    const char *name;
    std::vector<uint8_t> (*build)();
};
const std::vector<HostileImage> &hostileImages();
// The image of that name; empty when there is none.
std::vector<uint8_t> hostileImage(const std::string &name);

}  // namespace hfsbuild
