// A deleted file's decmpfs attribute, which a delete removes from the attributes tree with the
// file: found again, whole, in the copies of attributes nodes the journal's ring keeps, or in the
// tree file's free space and free nodes.
#pragma once

#include <cstdint>
#include <map>
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

// Whether a deleted record is a compressed file whose decmpfs attribute left the tree with it.
bool needsCarvedDecmpfs(const Volume &volume, const DeletedRecord &record, Messages &messages);
