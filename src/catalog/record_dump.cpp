#include "catalog/record_dump.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/output.h"
#include "btree/node.h"
#include "btree/records.h"
#include "btree/xattr.h"
#include "catalog/ls.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "volume/overflow.h"
#include "volume/volume.h"

namespace {

constexpr size_t kAttrKeyFixed = 14;      // TN1150 HFSPlusAttrKey up to the name
constexpr size_t kAttrDataHeader = 16;    // recordType, reserved, attrSize

// Attribute data in hexadecimal, two bytes at a time, the first byte the low one.
void dumpHex(Bytes bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; i += 2) printf("%hx", static_cast<unsigned short>(bytes.u8(i) | bytes.u8(i + 1) << 8));
}

uint32_t dumpAttributeRecord(Bytes key, int kind) {
    uint16_t nameLength = key.be16(12);
    size_t dataOffset = kAttrKeyFixed + 2 * static_cast<size_t>(nameLength);
    std::string name;   // the low byte of each unit, as this dump has always shown it
    for (size_t i = 0; i < nameLength && key.has(kAttrKeyFixed + 2 * i, 2); ++i)
        name += static_cast<char>(key.be16(kAttrKeyFixed + 2 * i) & 0xFF);
    printf("%d%s\t", key.be32(4), shown(name).c_str());
    if (kind == kIndexNode) {
        printf("ptr to %d", key.be32(dataOffset));
        return static_cast<uint32_t>(dataOffset + 4);
    }
    Bytes data = key.from(dataOffset);
    uint32_t type = data.be32(0), size = data.be32(12);
    if (g_Debug) fprintf(stderr, "Attr Rec type: 0x%x, size 0x%x\n", type, size);
    if (type == kAttrForkData || type == kAttrExtents) {
        printf("(%s record: the attribute's data is not stored inline)", type == kAttrForkData ? "fork data" : "extents");
        return static_cast<uint32_t>(dataOffset);
    }
    // The pad byte after an odd size belongs to the record; anything past the node is not read.
    Bytes stored = data.from(kAttrDataHeader);
    Bytes value = stored.sub(0, size <= stored.size ? size : stored.size);
    if (isFileSecAttr(value)) dumpFileSecAttr(value);
    dumpHex(stored, static_cast<uint32_t>(value.size));
    if (size > stored.size) printf(" (attribute data of %u bytes runs past the end of its node)", size);
    return static_cast<uint32_t>(dataOffset + kAttrDataHeader + size);
}

// An extents overflow record: its key (file ID, fork, the fork block it starts at), then the
// child pointer of an index record or the eight (start, count) extents of a leaf record.
uint32_t dumpExtentRecord(Bytes key, int kind) {
    constexpr size_t kKeySize = 12, kExtentsSize = 8 * kExtentsPerRecord;
    uint8_t fork = key.u8(2);
    printf("%u, ", key.be32(4));
    if (fork == kDataForkType || fork == kResourceForkType)
        printf("%s", fork == kDataForkType ? "data" : "resource");
    else
        printf("fork 0x%02x", fork);
    printf(", %u:", key.be32(8));
    if (kind == kIndexNode) {
        printf(" ptr to %u", key.be32(kKeySize));
        return kKeySize + 4;
    }
    for (int e = 0; e < kExtentsPerRecord; ++e) printf(" (%u, %u)", key.be32(kKeySize + 8 * e), key.be32(kKeySize + 4 + 8 * e));
    if (!key.has(0, kKeySize + kExtentsSize)) printf(" (record runs past the end of its node)");
    return kKeySize + kExtentsSize;
}

}  // namespace

uint32_t dumpRecord(const Volume &volume, Bytes key, int kind, int treeType, uint64_t cnidFilter, int64_t flags) {
    if (treeType == kAttributesTree) return dumpAttributeRecord(key, kind);
    if (treeType == kExtentsTree) return dumpExtentRecord(key, kind);
    uint16_t keyLength = key.be16(0);
    uint32_t parentID = key.be32(2);
    if (kind == kIndexNode) {
        printf("%d", parentID);
        if (auto name = storedNameText(key.from(6))) fputs(shown(*name).c_str(), stdout);
        printf(" - ptr to %d", key.be32(static_cast<size_t>(keyLength) + 2));
        return static_cast<uint32_t>(keyLength) + 6;
    }
    if (flags & kListXML) printf("\n\t\t<Key len=\"%d\"/><CNID>%d</CNID>", keyLength, parentID);
    if (cnidFilter != 0 && parentID != cnidFilter) {
        if (g_Debug) printf("CNID %d doesnt match %d\n", parentID, static_cast<uint32_t>(cnidFilter));
        return kStop;
    }
    Bytes data = getRecordData(key);
    size_t size = dumpRecordDataAsLs(volume, data, key.from(6), flags);
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
    Bytes data = getRecordData(record);
    int16_t type = static_cast<int16_t>(data.be16(0));
    bool thread = type == kFolderThreadRecord || type == kFileThreadRecord;
    for (const std::u16string &form : search.forms)
        if (sameStoredName(record.from(6), form, search.foldCase) ||
            (thread && sameStoredName(data.from(8), form, search.foldCase)))
            return true;
    return false;
}

}  // namespace

// A match is shown here rather than by readNode, so that its full path can follow its record.
size_t searchFile(const Volume &volume, const BTree *tree, const char *name) {
    if (!tree) return 0;
    NameSearch search{typedNameForms(name), volume.foldsCase()};
    size_t found = 0;
    auto show = [&](Bytes record, int kind) { dumpRecord(volume, record, kind, kCatalogTree, 0, 0); };
    walkNodes(tree, tree->firstLeafNode(), 0, show, [&](Bytes record, int kind, uint32_t node, uint16_t index) {
        if (!matchesName(search, record)) return kNotThis;
        fprintf(stderr, "FOUND: Node %d, record %hd:\n", node, static_cast<short>(index));
        show(record, kind);
        printf("PATH: %s\n", catalogPath(tree, record).c_str());
        ++found;
        return kNotThis;
    }, true);
    return found;
}
