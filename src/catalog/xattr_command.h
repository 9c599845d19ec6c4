// xattr: the extended attributes of a file or folder, listed, or one of them saved to /tmp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "volume/bits.h"

struct BTree;

// One of a file's leaf records in the attributes B-tree, its key taken apart.
struct AttributeRecord {
    Bytes name;               // stored UTF-16BE units, cut where the record ends
    uint32_t startBlock = 0;  // for extents records: the value's blocks before the first extent
    Bytes data;               // what follows the key
};
// Every record of fileID, in the tree's order (the walk bounded by the nodes loaded).
std::vector<AttributeRecord> attributeRecordsOf(const BTree *tree, uint32_t fileID);
std::string attributeNameText(Bytes stored);

// "xattr PATH" lists size and name of each attribute in the attributes B-tree's order;
// "xattr PATH NAME" writes NAME's value to /tmp/FILENAME.NAME. A space inside PATH is written "\ ".
int doXattr(const char *line);
