// The B-tree header report shared by the catalog, extents and attributes commands.
#pragma once

#include "volume/btree_file.h"

const char *compareToText(int compareType);
void dumpBTree(const BTree *tree, const char *treeName);
