// Catalog and attribute record layouts (TN1150) and the small helpers every record reader uses.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/bits.h"
#include "volume/btree_file.h"
#include "volume/volume_header.h"

constexpr size_t kCatalogKeyMax = 518;     // keyLength field + parentID + HFSUniStr255
constexpr size_t kAttributeKeyMax = 268;

constexpr int16_t kFolderRecord = 1, kFileRecord = 2, kFolderThreadRecord = 3, kFileThreadRecord = 4;
constexpr uint32_t kAttrInlineData = 0x10, kAttrForkData = 0x20, kAttrExtents = 0x30;
constexpr size_t kFolderRecordSize = 88, kFileRecordSize = 248;
constexpr uint16_t kHasLinkChainFlag = 0x20;   // a record's flags: a hard link, or a file or folder linked to

// The catalog's records by field name. The views read through Bytes, so a field past a record cut
// short reads 0.

// The type every catalog record begins with: a folder, a file, or the thread of either.
inline int16_t catalogRecordType(Bytes data) { return static_cast<int16_t>(data.be16(0)); }

// TN1150 HFSPlusCatalogKey: key length, parent ID, the name as a counted UTF-16 string.
struct CatalogKeyView {
    Bytes key;
    uint16_t keyLength() const { return key.be16(0); }
    uint32_t parentID() const { return key.be32(2); }
    Bytes name() const { return key.from(6); }
    uint16_t nameLength() const { return key.be16(6); }
    uint16_t nameUnit(size_t i) const { return key.be16(8 + 2 * i); }
};

// TN1150 HFSPlusCatalogFolder and HFSPlusCatalogFile: the fields they share, and the file's forks.
struct CatalogRecord {
    static constexpr size_t kDataForkOffset = 88, kResourceForkOffset = 168;
    Bytes data;   // what follows the key

    int16_t type() const { return catalogRecordType(data); }
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
    Bytes dataFork() const { return data.sub(kDataForkOffset, kForkDataSize); }
    Bytes resourceFork() const { return data.sub(kResourceForkOffset, kForkDataSize); }
    // The forks' logical sizes alone, which a record cut short inside its fork data still gives.
    uint64_t dataSize() const { return forkLogicalSize(data.from(kDataForkOffset)); }
    uint64_t resourceSize() const { return forkLogicalSize(data.from(kResourceForkOffset)); }
};

// TN1150 HFSPlusCatalogThread: the parent's ID and the entry's own name.
struct ThreadRecord {
    static constexpr size_t kNameOffset = 8;
    Bytes data;
    int16_t type() const { return catalogRecordType(data); }
    uint32_t parentID() const { return data.be32(4); }
    Bytes name() const { return data.from(kNameOffset); }
};

// TN1150 HFSPlusAttrKey and the three attribute record types.
struct AttributeKeyView {
    static constexpr size_t kNameOffset = 14;
    Bytes key;
    uint32_t fileID() const { return key.be32(4); }
    uint32_t startBlock() const { return key.be32(8); }
    uint16_t nameLength() const { return key.be16(12); }
    uint16_t nameUnit(size_t i) const { return key.be16(kNameOffset + 2 * i); }
    Bytes name() const {
        Bytes rest = key.from(kNameOffset);
        return rest.sub(0, std::min(2 * static_cast<size_t>(nameLength()), rest.size));
    }
    // The record's data begins right after the name.
    size_t dataOffset() const { return kNameOffset + 2 * static_cast<size_t>(nameLength()); }
    Bytes data() const { return key.from(dataOffset()); }
};
struct AttributeData {
    static constexpr size_t kInlineOffset = 16, kForkOffset = 8;
    Bytes data;
    uint32_t recordType() const { return data.be32(0); }
    // Inline data (HFSPlusAttrData): its size; its bytes as far as the view goes (the pad byte after
    // an odd size too), and cut to its size.
    uint32_t inlineSize() const { return data.be32(12); }
    Bytes inlineSpan() const { return data.from(kInlineOffset); }
    Bytes inlineBytes() const { return inlineSpan().sub(0, std::min<size_t>(inlineSize(), inlineSpan().size)); }
    // Fork data (HFSPlusAttrForkData): the value's fork, and its logical size alone (which a record
    // cut short inside the fork still gives); extents (HFSPlusAttrExtents): eight more.
    Bytes fork() const { return data.sub(kForkOffset, kForkDataSize); }
    uint64_t forkSize() const { return forkLogicalSize(data.from(kForkOffset)); }
    Bytes forkExtents() const { return data.from(kForkOffset + 16); }   // those of fork(), as far as the view goes
    Bytes moreExtents() const { return data.from(kForkOffset); }
};

// TN1150 HFSPlusExtentKey: fork type, file ID, the fork block its extents begin at. A leaf record's
// eight extents follow it, or an index record's child node number.
struct ExtentKeyView {
    static constexpr size_t kSize = 12;   // the key length field and the 10 bytes it counts
    Bytes key;
    uint8_t forkType() const { return key.u8(2); }
    uint32_t fileID() const { return key.be32(4); }
    uint32_t startBlock() const { return key.be32(8); }
    Bytes data() const { return key.from(kSize); }
};

// The record's data, which follows its key: key + keyLength + 2. Empty when that lies outside the view.
Bytes getRecordData(Bytes recordKey);
// The child node number that follows an index record's key.
uint32_t childNode(Bytes indexRecord);
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
