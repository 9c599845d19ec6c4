// Catalog and attribute record layouts (TN1150) and the small helpers every record reader uses.
#pragma once

#include <cstdint>

#include "volume/bits.h"

constexpr size_t kCatalogKeyMax = 518;     // keyLength field + parentID + HFSUniStr255
constexpr size_t kAttributeKeyMax = 268;

constexpr int16_t kFolderRecord = 1, kFileRecord = 2, kFolderThreadRecord = 3, kFileThreadRecord = 4;
constexpr uint32_t kAttrInlineData = 0x10, kAttrForkData = 0x20, kAttrExtents = 0x30;

// The record's data, which follows its key: key + keyLength + 2. Empty when that lies outside the view.
Bytes getRecordData(Bytes recordKey);
const char *kindToText(int kind);

// The record offset table at the end of a node: offset of record i, or nothing when the table
// entry itself does not lie inside the node.
bool recordOffset(Bytes node, uint16_t index, uint16_t *offset);
