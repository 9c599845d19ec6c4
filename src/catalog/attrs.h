// Extended attributes of a catalog node, and the size of a file as a user sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"
#include "volume/btree_file.h"

class Volume;

// One of a node's leaf records in the attributes B-tree, its key taken apart.
struct AttributeRecord {
    Bytes name;               // stored UTF-16BE units, cut where the record ends
    uint32_t startBlock = 0;  // for extents records: the value's blocks before the first extent
    Bytes data;               // what follows the key
    std::shared_ptr<const uint8_t> keep;   // the node the views above lie in
};
// Every attribute record of fileID, in the tree's order; a damaged tree stops the walk, saying where.
std::vector<AttributeRecord> attributeRecordsOf(const BTree *tree, uint32_t fileID, Messages &messages);
std::string attributeNameText(Bytes storedName);   // UTF-8
// An inline or fork-data value's size.
uint64_t attributeValueSize(const AttributeRecord &record);

// The inline data of the file's "com.apple.decmpfs" attribute, wherever it stands among the file's
// attributes (its 16-byte header first); nothing when there is none.
std::optional<HeldBytes> decmpfsAttribute(const Volume &volume, uint32_t fileID, Messages &messages);
// The data fork's logical size, or for a decmpfs-compressed file the size its attribute records.
void getFileSize(const Volume &volume, Bytes fileRecordData, uint64_t *size, uint32_t *compressionType,
                 Messages &messages);
