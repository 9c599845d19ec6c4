// A deleted file's decmpfs attribute, which a delete removes from the attributes tree with the
// file: found again, whole, in the copies of attributes nodes the journal's ring keeps, or in the
// tree file's free space and free nodes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/messages.h"

class Volume;
struct DeletedRecord;

struct CarvedAttribute {
    std::vector<uint8_t> value;   // the decmpfs header and what follows it
    std::string place;            // "journal offset N", "attributes file offset N"
};

// Every file's first inline decmpfs attribute met, its header sound, by CNID: the ring first, then
// the attributes file (whose live records are among them: callers ask for files the tree lacks).
std::map<uint32_t, CarvedAttribute> carvedDecmpfs(const Volume &volume, Messages &messages);

// Deleted records' surviving attributes, for a command that meets several: the search runs once,
// when the first compressed file whose attribute left the tree with it asks.
class SurvivingDecmpfs {
public:
    explicit SurvivingDecmpfs(const Volume &volume) : volume_(volume) {}
    // Nothing when the record needs none (not a compressed file, or its attribute is in the tree);
    // else the copy found, or null when none survives.
    std::optional<const CarvedAttribute *> of(const DeletedRecord &record, Messages &messages);

private:
    const Volume &volume_;
    std::optional<std::map<uint32_t, CarvedAttribute>> found_;
};
