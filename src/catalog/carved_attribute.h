// A deleted file's decmpfs attribute, which a delete removes from the attributes tree with the
// file: found again, whole, in the copies of attributes nodes the journal's ring keeps, or in the
// tree file's free space and free nodes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/messages.h"

class Volume;

struct CarvedAttribute {
    std::vector<uint8_t> value;   // the decmpfs header and what follows it
    std::string place;            // "journal offset N", "attributes file offset N"
};

// The first inline decmpfs attribute of `cnid` met, its header sound; nothing when none survives.
std::optional<CarvedAttribute> carvedDecmpfs(const Volume &volume, uint32_t cnid, Messages &messages);
