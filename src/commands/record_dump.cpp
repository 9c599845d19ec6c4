#include "commands/record_dump.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/output.h"
#include "commands/node_dump.h"
#include "btree/records.h"
#include "commands/file_security.h"
#include "commands/listing.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "volume/overflow.h"
#include "volume/volume.h"
#include "commands/session.h"

namespace {

// Attribute data in hexadecimal, two bytes at a time, the first byte the low one.
void dumpHex(Bytes bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; i += 2) printf("%hx", static_cast<unsigned short>(bytes.u8(i) | bytes.u8(i + 1) << 8));
}

uint32_t dumpAttributeRecord(Bytes recordKey, int kind) {
    AttributeKeyView key{recordKey};
    size_t dataOffset = key.dataOffset();
    Bytes stored = key.name();   // cut where the record ends
    std::string name;            // the low byte of each unit, as this dump has always shown it
    for (size_t i = 0; i < key.nameLength() && stored.has(2 * i, 2); ++i)
        name += static_cast<char>(key.nameUnit(i) & 0xFF);
    printf("%d%s\t", key.fileID(), shown(name).c_str());
    if (kind == kIndexNode) {
        printf("ptr to %d", key.data().be32(0));
        return static_cast<uint32_t>(dataOffset + 4);
    }
    AttributeData data{key.data()};
    uint32_t type = data.recordType(), size = data.inlineSize();
    if (g_Debug) fprintf(stderr, "Attr Rec type: 0x%x, size 0x%x\n", type, size);
    if (type == kAttrForkData || type == kAttrExtents) {
        printf("(%s record: the attribute's data is not stored inline)", type == kAttrForkData ? "fork data" : "extents");
        return static_cast<uint32_t>(dataOffset);
    }
    // The pad byte after an odd size belongs to the record; anything past the node is not read.
    Bytes span = data.inlineSpan();
    Bytes value = data.inlineBytes();
    if (isFileSecAttr(value)) dumpFileSecAttr(value);
    dumpHex(span, static_cast<uint32_t>(value.size));
    if (size > span.size) printf(" (attribute data of %u bytes runs past the end of its node)", size);
    return static_cast<uint32_t>(dataOffset + AttributeData::kInlineOffset + size);
}

// An extents overflow record: its key (file ID, fork, the fork block it starts at), then the
// child pointer of an index record or the eight (start, count) extents of a leaf record.
uint32_t dumpExtentRecord(Bytes recordKey, int kind) {
    constexpr size_t kExtentsSize = kExtentDescriptorSize * kExtentsPerRecord;
    ExtentKeyView key{recordKey};
    uint8_t fork = key.forkType();
    printf("%u, ", key.fileID());
    if (fork == kDataForkType || fork == kResourceForkType)
        printf("%s", fork == kDataForkType ? "data" : "resource");
    else
        printf("fork 0x%02x", fork);
    printf(", %u:", key.startBlock());
    if (kind == kIndexNode) {
        printf(" ptr to %u", key.data().be32(0));
        return ExtentKeyView::kSize + 4;
    }
    for (int e = 0; e < kExtentsPerRecord; ++e) {
        Extent extent = extentAt(key.data(), e);
        printf(" (%u, %u)", extent.startBlock, extent.blockCount);
    }
    if (key.data().size < kExtentsSize) printf(" (record runs past the end of its node)");
    return ExtentKeyView::kSize + kExtentsSize;
}

}  // namespace

uint32_t dumpRecord(const Volume &volume, Bytes key, int kind, int treeType, uint64_t cnidFilter, int64_t flags) {
    if (treeType == kAttributesTree) return dumpAttributeRecord(key, kind);
    if (treeType == kExtentsTree) return dumpExtentRecord(key, kind);
    CatalogKeyView catalogKey{key};
    uint16_t keyLength = catalogKey.keyLength();
    uint32_t parentID = catalogKey.parentID();
    if (kind == kIndexNode) {
        printf("%d", parentID);
        if (auto name = storedNameText(catalogKey.name())) fputs(shown(*name).c_str(), stdout);
        printf(" - ptr to %d", childNode(key));
        return static_cast<uint32_t>(keyLength) + 6;
    }
    if (flags & kListXML) printf("\n\t\t<Key len=\"%d\"/><CNID>%d</CNID>", keyLength, parentID);
    if (cnidFilter != 0 && parentID != cnidFilter) {
        if (g_Debug) printf("CNID %d doesnt match %d\n", parentID, static_cast<uint32_t>(cnidFilter));
        return kStop;
    }
    Bytes data = getRecordData(key);
    size_t size = dumpRecordDataAsLs(volume, data, catalogKey.name(), flags);
    if (static_cast<size_t>(keyLength) + 2 + size > key.size)
        printf(" (record runs past the end of its node)");
    printf("\n");
    return static_cast<uint32_t>(size);
}

namespace {

// What a name search looks for: the forms the name may be stored in.
struct NameSearch {
    std::vector<std::u16string> forms;
    bool foldCase = false;
};

bool matchesName(const NameSearch &search, Bytes record) {
    ThreadRecord data{getRecordData(record)};
    bool thread = data.type() == kFolderThreadRecord || data.type() == kFileThreadRecord;
    for (const std::u16string &form : search.forms)
        if (sameStoredName(CatalogKeyView{record}.name(), form, search.foldCase) ||
            (thread && sameStoredName(data.name(), form, search.foldCase)))
            return true;
    return false;
}

}  // namespace

// A match is shown here rather than by readNode, so that its full path can follow its record.
size_t searchFile(const Volume &volume, const BTree *tree, const char *name) {
    if (!tree) return 0;
    NameSearch search{typedNameForms(name), volume.foldsCase()};
    size_t found = 0;
    FolderChain folders;   // each folder's thread looked up once, however many matches lie below it
    auto show = [&](Bytes record, int kind) { dumpRecord(volume, record, kind, kCatalogTree, 0, 0); };
    walkNodes(tree, tree->firstLeafNode(), 0, show, [&](Bytes record, int kind, uint32_t node, uint16_t index) {
        if (!matchesName(search, record)) return kNotThis;
        fprintf(reportStream(), "FOUND: Node %d, record %hd:\n", node, static_cast<short>(index));
        show(record, kind);
        printf("PATH: %s\n", catalogPath(tree, record, sayNow(), &folders).c_str());
        ++found;
        return kNotThis;
    }, true);
    return found;
}
