// One record, key and data, in the one-line form shared by dump, search and ls; the name search.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bits.h"

class BTree;
class Volume;

// cnidFilter is the listed folder (0: none), flags the listing flags; returns the record's data
// size, or kStop when the record belongs to another folder than cnidFilter.
uint32_t dumpRecord(const Volume &volume, Bytes recordKey, int kind, int treeType, uint64_t cnidFilter, int64_t flags);
// Walks the leaves of `tree` (the catalog) and shows every record named `name` (key or thread) with its path; returns how many there were.
size_t searchFile(const Volume &volume, const BTree *tree, const char *name);
