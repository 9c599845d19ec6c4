// dump (one node of the active tree) and snapshot (the whole tree to /tmp/snapshot.hfs).
#pragma once

#include "btree/btree.h"

int doDump(const char *line);
int doSnapshot(const char *line);
int snapshotBTree(const BTree *tree);
