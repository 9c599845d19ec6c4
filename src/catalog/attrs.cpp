#include "catalog/attrs.h"

#include "base/utf.h"
#include "btree/records.h"
#include "btree/search.h"
#include "catalog/decmpfs.h"
#include "volume/leaf_cursor.h"
#include "volume/volume.h"

namespace {

// The leaf to start from: down through each index node's last record keyed below fileID (or its
// first). The file's records may begin in the child before the first index key with its ID, so
// the walk from here reads forward to them.
uint32_t leafBefore(const BTree *tree, uint32_t fileID) {
    uint32_t node = tree->rootNode();
    for (int level = 0; level < kMaxSearchLevels && node != 0; ++level) {
        HeldBytes held = tree->node(node);
        Bytes bytes = held.bytes;
        if (bytes.empty()) return 0;
        if (nodeKind(bytes) == kLeafNode) return node;
        if (nodeKind(bytes) != kIndexNode) return 0;
        uint32_t child = 0;
        for (uint16_t i = 0; i < nodeNumRecords(bytes); ++i) {
            uint16_t offset = 0;
            if (!recordOffset(bytes, i, &offset)) break;
            Bytes record = recordInNode(bytes, offset);
            if (i > 0 && AttributeKeyView{record}.fileID() >= fileID) break;
            child = childNode(record);
        }
        node = child;
    }
    return 0;
}

}  // namespace

std::string attributeNameText(Bytes stored) {
    std::u16string units;
    for (size_t i = 0; i + 1 < stored.size; i += 2) units += static_cast<char16_t>(stored.be16(i));
    return UTF16toUTF8(units);
}

std::vector<AttributeRecord> attributeRecordsOf(const BTree *tree, uint32_t fileID, Messages &messages) {
    std::vector<AttributeRecord> records;
    if (!tree) return records;
    uint32_t node = leafBefore(tree, fileID);
    if (node == 0 && tree->leafRecords() != 0) {
        messages.err("The attributes B-tree's index does not lead to a leaf\n");
        return records;
    }
    LeafCursor cursor(*tree, node);
    while (auto next = cursor.next()) {
        AttributeKeyView key{next->record};
        if (key.fileID() < fileID) continue;
        if (key.fileID() > fileID) return records;
        records.push_back({key.name(), key.startBlock(), getRecordData(next->record), next->keep});
    }
    if (cursor.end() == LeafCursor::End::kDamagedNode)
        messages.err("Record %u of attributes node %u lies outside it: walk stopped\n", cursor.index(), cursor.node());
    else if (cursor.end() != LeafCursor::End::kChainEnd && cursor.end() != LeafCursor::End::kInterrupted)
        messages.err("The attributes B-tree's chain of leaves breaks at node %u: walk stopped\n", cursor.node());
    return records;
}

uint64_t attributeValueSize(const AttributeRecord &record) {
    AttributeData data{record.data};
    return data.recordType() == kAttrInlineData ? data.inlineSize() : data.forkSize();
}

std::optional<HeldBytes> decmpfsAttribute(const Volume &volume, uint32_t fileID, Messages &messages) {
    // An exact search by name: the file's first attribute need not be this one, and its
    // attributes may span two leaves.
    AttributeKey key(fileID, u"com.apple.decmpfs");
    auto found = searchKeyInOrder(volume.attributes(), kAttributesTree, key.view(), compareAttributeKeysByName,
                                  messages);
    if (!found) return std::nullopt;
    AttributeData data{AttributeKeyView{found->recordKey}.data()};
    if (data.recordType() != kAttrInlineData) return std::nullopt;
    return HeldBytes{found->held.owner, data.inlineBytes()};
}

void getFileSize(const Volume &volume, Bytes file, uint64_t *size, uint32_t *compressionType, Messages &messages) {
    *size = 0;
    *compressionType = 0;
    CatalogRecord record{file};
    if (uint64_t logical = record.dataSize()) {
        *size = logical;
        return;
    }
    auto held = decmpfsAttribute(volume, record.id(), messages);
    if (auto header = held ? DecmpfsHeader::parse(held->bytes) : std::nullopt) {
        *compressionType = header->type;
        *size = header->size;
    }
}
