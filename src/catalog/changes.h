// How the catalog of one view of a volume differs from another's: the files and folders whose
// records were added, changed or removed (what replaying a journal does to the catalog).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/messages.h"

class Volume;

struct CatalogChange {
    enum Kind { kAdded, kChanged, kRemoved } kind;
    bool folder;
    uint32_t cnid;
    std::string path;   // in the view that holds the record: the earlier one for a removal
};

// Both catalogs' leaves are walked at once, a parent folder's entries at a time (memory stays a
// folder's worth), their records compared byte for byte; thread records, which mirror them, are
// left out. Damage met on the way goes to `messages`.
std::vector<CatalogChange> catalogChanges(const Volume &before, const Volume &after, Messages &messages);
