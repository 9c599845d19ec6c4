#include "catalog/attrs.h"

#include "btree/btree.h"
#include "btree/records.h"
#include "btree/search.h"
#include "volume/volume.h"

std::optional<std::string> getXAttr(uint32_t fileID, uint64_t *size, Bytes *data) {
    uint8_t key[kAttributeKeyMax] = {};
    for (int i = 0; i < 4; ++i) key[4 + i] = static_cast<uint8_t>(fileID >> (24 - 8 * i));
    auto found = searchKey(getAttributeBTree(), 0, kAttributesTree, Bytes{key, sizeof key});
    if (!found) return std::nullopt;
    Bytes record = found->recordKey;
    uint16_t nameLength = record.be16(12);
    std::string name;
    // Only the low byte of each unit: names outside ASCII come out garbled, as they always have.
    for (size_t i = 0; i < nameLength && record.has(14 + 2 * i, 2); ++i)
        name += static_cast<char>(record.be16(14 + 2 * i) & 0xFF);
    Bytes recordData = record.from(14 + 2 * static_cast<size_t>(nameLength));
    if (size) {
        *size = recordData.be32(12);
        if (data && recordData.be32(0) == kAttrInlineData) {
            Bytes stored = recordData.from(16);
            *data = stored.sub(0, *size <= stored.size ? *size : stored.size);
        }
    }
    if (name.empty() || name[0] == 0) return std::nullopt;
    return name.substr(0, name.find('\0'));
}

std::optional<Bytes> decmpfsAttribute(uint32_t fileID) {
    // An exact search by name: the file's first attribute need not be this one, and its
    // attributes may span two leaves.
    static const char kName[] = "com.apple.decmpfs";
    uint8_t key[kAttributeKeyMax] = {};
    for (int i = 0; i < 4; ++i) key[4 + i] = static_cast<uint8_t>(fileID >> (24 - 8 * i));
    key[13] = sizeof kName - 1;
    for (size_t i = 0; i + 1 < sizeof kName; ++i) key[15 + 2 * i] = static_cast<uint8_t>(kName[i]);
    auto found = searchKeyInOrder(getAttributeBTree(), kAttributesTree, Bytes{key, sizeof key}, compareAttributeKeysByName);
    if (!found) return std::nullopt;
    Bytes data = found->recordKey.from(14 + 2 * static_cast<size_t>(found->recordKey.be16(12)));
    if (data.be32(0) != kAttrInlineData) return std::nullopt;
    Bytes stored = data.from(16);
    uint32_t size = data.be32(12);
    return stored.sub(0, size <= stored.size ? size : stored.size);
}

void getFileSize(Bytes file, uint64_t *size, uint32_t *compressionType) {
    *size = 0;
    *compressionType = 0;
    if (uint64_t logical = file.be64(88)) {
        *size = logical;
        return;
    }
    auto data = decmpfsAttribute(file.be32(8));
    if (data && data->has(0, 16)) {
        *compressionType = data->le32(4);   // the decmpfs header is little-endian
        *size = data->le64(8);
    }
}
