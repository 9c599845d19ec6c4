// Catalog and attribute record layouts (TN1150) and the small helpers every record reader uses.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "volume/bits.h"
#include "volume/btree_file.h"

constexpr size_t kCatalogKeyMax = 518;     // keyLength field + parentID + HFSUniStr255
constexpr size_t kAttributeKeyMax = 268;

constexpr int16_t kFolderRecord = 1, kFileRecord = 2, kFolderThreadRecord = 3, kFileThreadRecord = 4;
constexpr uint32_t kAttrInlineData = 0x10, kAttrForkData = 0x20, kAttrExtents = 0x30;

// The record's data, which follows its key: key + keyLength + 2. Empty when that lies outside the view.
Bytes getRecordData(Bytes recordKey);
const char *kindToText(int kind);

// Search keys, one builder per tree, in stored (big-endian) form.
// TN1150 HFSPlusCatalogKey: key length, parent ID, the name as a counted UTF-16 string (at most
// 255 units: a longer name is cut, never through a surrogate pair).
struct CatalogKey {
    std::array<uint8_t, kCatalogKeyMax> bytes{};
    explicit CatalogKey(uint32_t parent, std::u16string_view name = {});
    Bytes view() const { return {bytes.data(), bytes.size()}; }
};
// TN1150 HFSPlusAttrKey: key length, pad, file ID, start block, the name as a counted UTF-16 string.
struct AttributeKey {
    std::array<uint8_t, kAttributeKeyMax> bytes{};
    explicit AttributeKey(uint32_t fileID, std::u16string_view name = {});
    Bytes view() const { return {bytes.data(), bytes.size()}; }
};
