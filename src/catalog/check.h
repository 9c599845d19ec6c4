// The whole volume checked, reading it and never writing: the header against its alternate, each
// B-tree's structure, the catalog's records against each other, forks against the extents they
// claim, the allocation bitmap against the claims, attributes against the files they belong to.
#pragma once

#include "base/messages.h"
#include "btree/tree_check.h"
#include "catalog/claims.h"

class Volume;

// Each finding is a line in `findings`; what stops a part of the check early goes to `messages`.
// Returns the claims it collected on the way, for `owner` to answer from.
Claims checkVolume(const Volume &volume, Findings &findings, Messages &messages);
