// Catalog and attribute record layouts (TN1150) and the small helpers every record reader uses.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/bits.h"
#include "volume/btree_file.h"

constexpr size_t kCatalogKeyMax = 518;     // keyLength field + parentID + HFSUniStr255
constexpr size_t kAttributeKeyMax = 268;

constexpr int16_t kFolderRecord = 1, kFileRecord = 2, kFolderThreadRecord = 3, kFileThreadRecord = 4;
constexpr uint32_t kAttrInlineData = 0x10, kAttrForkData = 0x20, kAttrExtents = 0x30;
constexpr size_t kFolderRecordSize = 88, kFileRecordSize = 248;

// The catalog's records by field name. The views read through Bytes, so a field past a record cut
// short reads 0; parse() refuses a record too short for its type before any field is read.

// TN1150 HFSPlusCatalogKey: key length, parent ID, the name as a counted UTF-16 string.
struct CatalogKeyView {
    Bytes key;
    uint16_t keyLength() const { return key.be16(0); }
    uint32_t parentID() const { return key.be32(2); }
    Bytes name() const { return key.from(6); }
};

// TN1150 HFSPlusCatalogFolder and HFSPlusCatalogFile: the fields they share, and the file's forks.
struct CatalogRecord {
    Bytes data;   // what follows the key

    static std::optional<CatalogRecord> parse(Bytes data);
    int16_t type() const { return static_cast<int16_t>(data.be16(0)); }
    uint16_t flags() const { return data.be16(2); }
    uint32_t valence() const { return data.be32(4); }             // a folder's entries
    uint32_t id() const { return data.be32(8); }                  // folderID or fileID
    // The five dates in their stored order: created, content modified, attributes modified,
    // accessed, backed up.
    uint32_t date(int i) const { return data.be32(12 + 4 * static_cast<size_t>(i)); }
    uint32_t createDate() const { return date(0); }
    uint32_t contentModDate() const { return date(1); }
    uint32_t attributeModDate() const { return date(2); }
    uint32_t accessDate() const { return date(3); }
    uint32_t ownerID() const { return data.be32(32); }
    uint32_t groupID() const { return data.be32(36); }
    uint8_t adminFlags() const { return data.u8(40); }
    uint8_t ownerFlags() const { return data.u8(41); }
    uint16_t mode() const { return data.be16(42); }
    // The BSD special field: a file's link count, or a hard link's indirect node number.
    uint32_t special() const { return data.be32(44); }
    Bytes finderType() const { return data.sub(48, 4); }
    Bytes creator() const { return data.sub(52, 4); }
    uint16_t finderFlags() const { return data.be16(56); }
    uint32_t textEncoding() const { return data.be32(80); }
    Bytes dataFork() const { return data.sub(88, 80); }
    Bytes resourceFork() const { return data.sub(168, 80); }
};

// TN1150 HFSPlusCatalogThread: the parent's ID and the entry's own name.
struct ThreadRecord {
    Bytes data;
    int16_t type() const { return static_cast<int16_t>(data.be16(0)); }
    uint32_t parentID() const { return data.be32(4); }
    Bytes name() const { return data.from(8); }
};

// TN1150 HFSPlusAttrKey and the three attribute record types.
struct AttributeKeyView {
    Bytes key;
    uint32_t fileID() const { return key.be32(4); }
    uint32_t startBlock() const { return key.be32(8); }
    uint16_t nameLength() const { return key.be16(12); }
    Bytes name() const { return key.from(14).sub(0, std::min(2 * static_cast<size_t>(nameLength()), key.from(14).size)); }
    Bytes data() const { return key.from(14 + 2 * static_cast<size_t>(nameLength())); }
};
struct AttributeData {
    Bytes data;
    uint32_t recordType() const { return data.be32(0); }
    // Inline data (HFSPlusAttrData): its size, and the bytes that follow, cut where the view ends.
    uint32_t inlineSize() const { return data.be32(12); }
    Bytes inlineBytes() const { return data.from(16).sub(0, std::min<size_t>(inlineSize(), data.from(16).size)); }
    // Fork data (HFSPlusAttrForkData): the value's fork; extents (HFSPlusAttrExtents): eight more.
    Bytes fork() const { return data.sub(8, 80); }
    Bytes moreExtents() const { return data.from(8); }
};

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
