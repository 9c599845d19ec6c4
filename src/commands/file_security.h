// File-security attributes: an owner, a group and an access-control list stored as attribute data.
#pragma once

#include <cstdint>
#include <string>

#include "base/bits.h"

constexpr uint32_t kFileSecMagic = 0x012CC16D;

bool isFileSecAttr(Bytes data);
// Prints the structure; entries beyond `data` (the attribute's own bytes) are not read.
void dumpFileSecAttr(Bytes data);
std::string aceFlagsToText(uint32_t flags);
