// One record, key and data, in the one-line form shared by dump, search and ls; the search command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "btree/btree.h"

// Also a record processor: cnidFilter is the listed folder (0: none), flags the listing flags.
uint32_t dumpRecord(Bytes recordKey, int kind, int treeType, uint64_t cnidFilter, int64_t flags);
int doSearch(const char *line);
// Shows every catalog record named `name` (key or thread); returns how many there were.
size_t searchFile(const BTree *tree, const char *name, int treeType);
uint32_t searchFileRecProcessor(Bytes record, int kind, int treeType, uint64_t nameSearch, int64_t option);
