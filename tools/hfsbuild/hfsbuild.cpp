#include "hfsbuild/hfsbuild.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "hfsbuild/btree_writer.h"
#include "hfsbuild/codecs.h"

namespace hfsbuild {

namespace {

constexpr uint32_t kRootParentID = 1, kRootFolderID = 2, kCatalogFileID = 4, kAttributesFileID = 8, kFirstUserID = 16;
constexpr uint32_t kSpareBlocks = 8;                 // free blocks left when totalBlocks is 0
constexpr size_t kHeaderOffset = 1024, kHeaderSize = 512;
constexpr uint16_t kFolderRecord = 1, kFileRecord = 2, kFolderThread = 3, kFileThread = 4;
constexpr uint16_t kThreadExistsMask = 0x0002, kHasAttributesMask = 0x0004, kHasSecurityMask = 0x0008,
                   kHasFolderCountMask = 0x0010, kHasLinkChainMask = 0x0020, kHasChildLinkMask = 0x0040;
constexpr uint16_t kIsAlias = 0x8000, kIsInvisible = 0x4000, kNameLocked = 0x1000, kHasBeenInited = 0x0100;   // Finder flags
constexpr uint8_t kImmutable = 0x02, kCompressed = 0x20;   // ownerFlags UF_IMMUTABLE, UF_COMPRESSED
constexpr uint32_t kBigKeysMask = 0x2, kVariableIndexKeysMask = 0x4;
constexpr uint32_t kInlineAttribute = 0x10, kForkDataAttribute = 0x20, kExtentsAttribute = 0x30;
constexpr size_t kMaxExtents = 8;                    // per fork data record and per overflow record
constexpr uint8_t kDataForkType = 0x00, kResourceForkType = 0xFF;

struct Extent {
    uint32_t start = 0, count = 0;
};

struct Fork {
    uint64_t logicalSize = 0;
    uint32_t clumpSize = 0;
    std::vector<Extent> extents;
};

enum class Role { Plain, HardLink, IndirectNode, FolderLink, LinkedFolder };

// A listed node, a parent folder created for one, or a piece of the hard-link machinery, with its
// place in the catalog. File links and indirect nodes point at the linked file's node.
struct Entry {
    std::string path;
    const Node *node;
    uint32_t cnid, parentID;
    std::u16string name;
    uint32_t valence = 0;
    Role role = Role::Plain;
    uint32_t folders = 0;          // subfolders, links to folders included
    bool childLink = false;        // a link to a folder lies below
    // What the volume stores for it (see storeContent) and where.
    Bytes data{}, resource{};
    std::vector<Attribute> attributes{};
    Fork dataFork{}, resourceFork{};
    std::vector<Fork> attributeForks{};   // one per attribute; empty for an inline value
    uint32_t special = 1;          // BSD special: link count, or a link's indirect node or folder
    // The chain of links as macOS 10.5 on keeps it: a link's ownerID and groupID hold the previous
    // and next link, the indirect node's reserved1 (a linked folder's kFirstLinkAttribute) the first.
    uint32_t previousLink = 0, nextLink = 0, firstLink = 0;
};

const Node kCreatedFolder = folderNode("");

// As macOS makes it: no permissions; hidden, name locked and immutable (see folderRecord).
const Node kPrivateFolder = [] {
    Node node = folderNode("/" + kHardLinkFolder);
    node.mode = 040000;
    return node;
}();

// Sticky and readable by all, hidden and name locked, as Mac OS X makes it with the first folder link.
const Node kFolderLinkPrivateFolder = [] {
    Node node = folderNode("/" + kFolderLinkFolder);
    node.mode = 041555;
    return node;
}();

// A linked folder's original name: a link record like the listed ones.
const Node kFolderLinkRecord;

// A B-tree record before its key is encoded: catalog keys are (parentID, name), attribute keys
// (fileID, name, startBlock).
struct KeyedRecord {
    uint32_t id;
    std::u16string name;
    Bytes data;
    uint32_t startBlock = 0;
};

[[noreturn]] void invalid(const std::string &what) { throw std::invalid_argument("hfsbuild: " + what); }

std::u16string utf16(const std::string &utf8) {
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : -1;
        if (extra < 0 || utf8.size() - i <= static_cast<size_t>(extra)) invalid("bad UTF-8 in \"" + utf8 + "\"");
        char32_t cp = extra == 0 ? lead : lead & (0x3Fu >> extra);
        for (int k = 1; k <= extra; ++k) {
            auto c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80) invalid("bad UTF-8 in \"" + utf8 + "\"");
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            invalid("bad UTF-8 in \"" + utf8 + "\"");
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

std::u16string unicodeName(const std::string &utf8, size_t maxUnits) {
    std::u16string name = utf16(utf8);
    if (name.size() > maxUnits) invalid("name too long: " + utf8);
    return name;
}

// HFS Plus orders names case-insensitively (TN1150 FastUnicodeCompare). We fold only ASCII and
// Latin-1 letters; other cased scripts and the ignorable code points may order differently from
// Mac OS, so generated names stick to those. The table maps U+0000 to 0xFFFF, which puts the
// hard-link folder last in the root.
char16_t foldCase(char16_t c) {
    if (c == 0) return 0xFFFF;
    bool upper = (c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
    return upper ? static_cast<char16_t>(c + 0x20) : c;
}

int compareNames(const std::u16string &a, const std::u16string &b, bool caseSensitive) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        char16_t x = caseSensitive ? a[i] : foldCase(a[i]);
        char16_t y = caseSensitive ? b[i] : foldCase(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

void sortByKey(std::vector<KeyedRecord> &records, bool caseSensitive, const char *whenEqual) {
    auto less = [caseSensitive](const KeyedRecord &a, const KeyedRecord &b) {
        if (a.id != b.id) return a.id < b.id;
        int names = compareNames(a.name, b.name, caseSensitive);
        return names != 0 ? names < 0 : a.startBlock < b.startBlock;
    };
    std::sort(records.begin(), records.end(), less);
    for (size_t i = 1; i < records.size(); ++i)
        if (!less(records[i - 1], records[i])) invalid(whenEqual);
}

void appendName(Bytes &out, const std::u16string &name) {
    appendBE16(out, static_cast<uint16_t>(name.size()));
    for (char16_t unit : name) appendBE16(out, unit);
}

void appendZeros(Bytes &out, size_t count) { out.insert(out.end(), count, 0); }

uint64_t blocksFor(uint64_t bytes, uint32_t blockSize) { return (bytes + blockSize - 1) / blockSize; }

uint32_t checkedBlocks(uint64_t blocks) {
    if (blocks > UINT32_MAX) invalid("volume too large");
    return static_cast<uint32_t>(blocks);
}

// ---- decmpfs compression, as macOS writes it (see Node::compression) ----

constexpr uint32_t kDecmpfsMagic = 0x636D7066;                 // "fpmc" read little-endian
constexpr uint32_t kZlibInAttribute = 3, kZlibInResourceFork = 4, kLzvnInAttribute = 7, kLzvnInResourceFork = 8,
                   kRawInResourceFork = 10, kLzfseInAttribute = 11, kLzfseInResourceFork = 12;
constexpr size_t kDecmpfsBlock = 65536;
constexpr uint32_t kResourceDataOffset = 0x100, kResourceMapLength = 50;

void appendLE32(Bytes &out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void appendLE64(Bytes &out, uint64_t value) {
    appendLE32(out, static_cast<uint32_t>(value));
    appendLE32(out, static_cast<uint32_t>(value >> 32));
}

// One zlib stream, or 0xFF and the raw bytes when zlib cannot shrink them or when asked to.
Bytes compressedChunk(const uint8_t *raw, size_t size, bool stored) {
    if (!stored) {
        Bytes out = zlibCompress(raw, size);
        if (out.size() <= size) return out;
    }
    Bytes out{0xFF};
    out.insert(out.end(), raw, raw + size);
    return out;
}

// One block of a type 7, 8, 11 or 12 file: the codec's stream, or when it does not shrink the
// block (or when asked) a marker byte and the raw bytes: 0x06 for LZVN, 0xFF for LZFSE.
Bytes modernChunk(uint32_t type, std::span<const uint8_t> raw, bool stored) {
    bool lzvn = type == kLzvnInAttribute || type == kLzvnInResourceFork;
    if (!stored) {
        Bytes out = lzvn ? lzvnEncode(raw) : lzfseEncode(raw);
        if (out.size() <= raw.size()) return out;
    }
    Bytes out{static_cast<uint8_t>(lzvn ? 0x06 : 0xFF)};
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

// Types 8, 10 and 12: little-endian offsets from the fork's start, one per 64 KiB block and one for
// the end, then the blocks; no resource header or map.
Bytes offsetTableFork(uint32_t type, const Bytes &content, bool stored) {
    std::vector<Bytes> blocks;
    for (size_t at = 0; at < content.size(); at += kDecmpfsBlock) {
        std::span<const uint8_t> raw(content.data() + at, std::min(kDecmpfsBlock, content.size() - at));
        blocks.push_back(type == kRawInResourceFork ? Bytes(raw.begin(), raw.end()) : modernChunk(type, raw, stored));
    }
    Bytes fork;
    uint64_t offset = 4 * (uint64_t{blocks.size()} + 1);
    for (size_t i = 0; i <= blocks.size(); ++i) {
        if (offset > UINT32_MAX) invalid("compressed file too large");
        appendLE32(fork, static_cast<uint32_t>(offset));
        if (i < blocks.size()) offset += blocks[i].size();
    }
    for (const Bytes &block : blocks) fork.insert(fork.end(), block.begin(), block.end());
    return fork;
}

// The map macOS puts after the blocks: one unnamed resource of type 'cmpf', ID 1, at data offset 0.
// Classic resource-fork layout: a copy of the header, then the type and reference lists.
Bytes compressedResourceMap(const Bytes &header) {
    Bytes map = header;
    appendZeros(map, 4 + 2 + 2);           // next map handle, file reference, attributes
    appendBE16(map, 28);                   // type list offset
    appendBE16(map, kResourceMapLength);   // name list offset: the empty name list at the end
    appendBE16(map, 0);                    // types - 1
    map.insert(map.end(), {'c', 'm', 'p', 'f'});
    appendBE16(map, 0);                    // resources of the type - 1
    appendBE16(map, 10);                   // reference list, from the type list
    appendBE16(map, 1);                    // resource ID
    appendBE16(map, 0xFFFF);               // no name
    appendZeros(map, 4 + 4);               // attributes and data offset, handle
    return map;
}

// Resource header, reserved bytes up to 0x100, the one resource (its big-endian length, then the
// little-endian block table: count, then offset from the table and size of each block; then the
// blocks), then the map.
Bytes compressedResourceFork(const Bytes &content, bool stored) {
    std::vector<Bytes> blocks;
    for (size_t at = 0; at < content.size(); at += kDecmpfsBlock)
        blocks.push_back(compressedChunk(content.data() + at, std::min(kDecmpfsBlock, content.size() - at), stored));
    Bytes resource;
    uint64_t offset = 4 + 8 * uint64_t{blocks.size()};
    uint64_t end = offset;
    for (const Bytes &block : blocks) end += block.size();
    if (end > UINT32_MAX - kResourceDataOffset - 4 - kResourceMapLength) invalid("compressed file too large");
    appendLE32(resource, static_cast<uint32_t>(blocks.size()));
    for (const Bytes &block : blocks) {
        appendLE32(resource, static_cast<uint32_t>(offset));
        appendLE32(resource, static_cast<uint32_t>(block.size()));
        offset += block.size();
    }
    for (const Bytes &block : blocks) resource.insert(resource.end(), block.begin(), block.end());

    const auto dataLength = static_cast<uint32_t>(4 + resource.size());
    Bytes fork;
    appendBE32(fork, kResourceDataOffset);
    appendBE32(fork, kResourceDataOffset + dataLength);   // map offset
    appendBE32(fork, dataLength);
    appendBE32(fork, kResourceMapLength);
    Bytes map = compressedResourceMap(fork);
    appendZeros(fork, kResourceDataOffset - fork.size());
    appendBE32(fork, static_cast<uint32_t>(resource.size()));
    fork.insert(fork.end(), resource.begin(), resource.end());
    fork.insert(fork.end(), map.begin(), map.end());
    return fork;
}

// Fills in what the volume keeps for the entry: a compressed file's content moves to its decmpfs
// attribute or resource fork. Links hold neither data nor attributes.
void storeContent(Entry &e) {
    if (e.role == Role::HardLink || e.role == Role::FolderLink) return;
    const Node &node = *e.node;
    e.attributes = node.attributes;
    if (e.role == Role::LinkedFolder) {
        std::string first = std::to_string(e.firstLink);
        e.attributes.push_back({kFirstLinkAttribute, Bytes(first.c_str(), first.c_str() + first.size() + 1)});
    }
    if (node.compression == 0) {
        e.data = node.data;
        return;
    }
    if (node.folder) invalid("folder \"" + node.path + "\" cannot be compressed");
    Bytes value;
    appendLE32(value, kDecmpfsMagic);
    appendLE32(value, node.compression);
    appendLE64(value, node.data.size());
    switch (node.compression) {
    case kZlibInResourceFork: e.resource = compressedResourceFork(node.data, node.storedBlocks); break;
    case kLzvnInResourceFork:
    case kRawInResourceFork:
    case kLzfseInResourceFork: e.resource = offsetTableFork(node.compression, node.data, node.storedBlocks); break;
    default: {
        Bytes payload = node.compression == kZlibInAttribute
                            ? compressedChunk(node.data.data(), node.data.size(), node.storedBlocks)
                        : node.compression == kLzvnInAttribute || node.compression == kLzfseInAttribute
                            ? modernChunk(node.compression, node.data, node.storedBlocks)
                            : node.data;
        value.insert(value.end(), payload.begin(), payload.end());
    }
    }
    e.attributes.push_back({kDecmpfsAttribute, std::move(value)});
}

// ---- paths and CNIDs ----

void checkPath(const std::string &path) {
    if (path.size() < 2 || path[0] != '/' || path.back() == '/' || path.find("//") != std::string::npos)
        invalid("bad node path \"" + path + "\"");
}

std::vector<Entry> resolveEntries(const Volume &volume) {
    std::vector<Entry> entries;
    std::map<std::string, size_t> byPath;
    auto add = [&](const std::string &path, const Node *node) {
        size_t slash = path.rfind('/');
        uint32_t parentID = kRootFolderID;
        if (slash > 0) {
            Entry &parent = entries[byPath.at(path.substr(0, slash))];
            if (!parent.node->folder) invalid("\"" + parent.path + "\" is a file but has children");
            parentID = parent.cnid;
            ++parent.valence;
        }
        uint32_t cnid = kFirstUserID + static_cast<uint32_t>(entries.size());
        byPath[path] = entries.size();
        std::string name = path.substr(slash + 1);
        std::replace(name.begin(), name.end(), ':', '/');   // the POSIX spelling of a stored '/'
        entries.push_back({path, node, cnid, parentID, unicodeName(name, 255)});
    };
    for (const Node &node : volume.nodes) {
        checkPath(node.path);
        for (size_t slash = node.path.find('/', 1); slash != std::string::npos; slash = node.path.find('/', slash + 1))
            if (!byPath.contains(node.path.substr(0, slash))) add(node.path.substr(0, slash), &kCreatedFolder);
        if (byPath.contains(node.path)) invalid("node \"" + node.path + "\" listed twice");
        add(node.path, &node);
    }

    // Hard links (TN1150 "Hard Links"): the linked file moves to an indirect node, its names become links.
    const std::string privatePath = "/" + kHardLinkFolder;
    const size_t listed = entries.size();
    std::map<std::string, size_t> indirect;              // linked path -> its indirect node's entry
    std::map<size_t, std::vector<size_t>> chains;        // indirect node or linked folder -> its links, in order
    for (size_t i = 0; i < listed; ++i) {
        const std::string target = entries[i].node->hardLinkTo;
        if (target.empty()) continue;
        auto found = byPath.find(target);
        if (found == byPath.end()) invalid("hard link to missing \"" + target + "\"");
        const Node *linked = entries[found->second].node;
        bool linkToLink = entries[found->second].role == Role::HardLink && !indirect.contains(target);
        if (linked->folder || !linked->hardLinkTo.empty() || !linked->folderLinkTo.empty() || linked->folderLinkID || linkToLink)
            invalid("hard link to \"" + target + "\", which is not a regular file");
        if (!indirect.contains(target)) {
            if (!byPath.contains(privatePath)) add(privatePath, &kPrivateFolder);
            add(privatePath + "/iNode" + std::to_string(kFirstUserID + entries.size()), linked);
            entries.back().role = Role::IndirectNode;
            indirect[target] = entries.size() - 1;
            Entry &first = entries[found->second];
            first.role = Role::HardLink;
            first.special = entries.back().cnid;
            chains[entries.size() - 1].push_back(found->second);
        }
        Entry &node = entries[indirect[target]];
        ++node.special;
        entries[i].node = linked;
        entries[i].role = Role::HardLink;
        entries[i].special = node.cnid;
        chains[indirect[target]].push_back(i);
    }

    // Folder links: the folder keeps its CNID and content but moves to the folder links' private
    // folder; a link record takes its place.
    const std::string folderLinksPath = "/" + kFolderLinkFolder;
    for (size_t i = 0; i < listed; ++i) {
        const std::string target = entries[i].node->folderLinkTo;
        if (target.empty() && entries[i].node->folderLinkID) {   // named by CNID alone: no folder moves
            entries[i].role = Role::FolderLink;
            entries[i].special = entries[i].node->folderLinkID;
        }
        if (target.empty()) continue;
        auto found = byPath.find(target);
        if (found == byPath.end() || !entries[found->second].node->folder)
            invalid("folder link to \"" + target + "\", which is not a folder");
        const size_t folder = found->second;
        if (entries[folder].role != Role::LinkedFolder) {
            if (!byPath.contains(folderLinksPath)) add(folderLinksPath, &kFolderLinkPrivateFolder);
            Entry &privateFolder = entries[byPath.at(folderLinksPath)];
            ++privateFolder.valence;
            const uint32_t privateID = privateFolder.cnid;
            add(target, &kFolderLinkRecord);             // counted in the parent, in the folder's stead
            if (entries[folder].parentID != kRootFolderID) --entries[entries[folder].parentID - kFirstUserID].valence;
            byPath[target] = folder;                     // paths below still go through the folder
            Entry &moved = entries[folder];
            moved.parentID = privateID;
            moved.name = utf16("dir_" + std::to_string(moved.cnid));
            moved.path = folderLinksPath + "/dir_" + std::to_string(moved.cnid);
            moved.role = Role::LinkedFolder;
            entries.back().role = Role::FolderLink;
            entries.back().special = moved.cnid;
            chains[folder].push_back(entries.size() - 1);
        }
        entries[i].role = Role::FolderLink;
        entries[i].special = entries[folder].cnid;
        chains[folder].push_back(i);
    }
    for (const auto &[node, links] : chains) {
        if (entries[node].role == Role::LinkedFolder) entries[node].special = static_cast<uint32_t>(links.size());
        entries[node].firstLink = entries[links[0]].cnid;
        for (size_t k = 1; k < links.size(); ++k) {
            entries[links[k]].previousLink = entries[links[k - 1]].cnid;
            entries[links[k - 1]].nextLink = entries[links[k]].cnid;
        }
    }

    // What folder records keep on a volume with folder links (see Node::folderLinkTo).
    for (const Entry &e : entries)
        if ((e.node->folder || e.role == Role::FolderLink) && e.parentID != kRootFolderID)
            ++entries[e.parentID - kFirstUserID].folders;
    for (const Entry &e : entries) {
        if (e.role != Role::FolderLink) continue;
        for (uint32_t id = e.parentID; id != kRootFolderID && !entries[id - kFirstUserID].childLink;
             id = entries[id - kFirstUserID].parentID)
            entries[id - kFirstUserID].childLink = true;
    }
    return entries;
}

// ---- catalog records (TN1150 "Catalog File") ----

uint16_t modeOf(const Node &node) {
    uint16_t type = node.folder ? 0040000 : node.symlink ? 0120000 : 0100000;
    if (node.mode == 0) return type | (node.folder || node.symlink ? 0755 : 0644);
    return (node.mode & 0170000) ? node.mode : static_cast<uint16_t>(node.mode | type);
}

// createDate, contentModDate, attributeModDate, accessDate, backupDate, then HFSPlusBSDInfo.
void appendDatesAndPermissions(Bytes &out, const Node &node, uint8_t ownerFlags, uint32_t special) {
    appendBE32(out, node.createDate);
    appendBE32(out, node.modDate);
    appendBE32(out, node.attributeModDate.value_or(node.modDate));
    appendBE32(out, node.accessDate.value_or(node.modDate));
    appendBE32(out, node.backupDate);
    appendBE32(out, node.owner);
    appendBE32(out, node.group);
    out.push_back(0);                      // adminFlags
    out.push_back(ownerFlags);
    appendBE16(out, modeOf(node));
    appendBE32(out, special);
}

// FndrFileInfo (type, creator, flags, ...) or FndrDirInfo (rect, flags, ...): flags at offset 8 in both.
void appendUserInfo(Bytes &out, const char *type, const char *creator, uint16_t finderFlags) {
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), creator, creator + 4);
    appendBE16(out, finderFlags);
    appendZeros(out, 6);
}

// HFSPlusExtentRecord: the eight extents from `first` on, zero ones past the last.
void appendExtentRecord(Bytes &out, const std::vector<Extent> &extents, size_t first) {
    for (size_t i = first; i < first + kMaxExtents; ++i) {
        Extent e = i < extents.size() ? extents[i] : Extent{};
        appendBE32(out, e.start);
        appendBE32(out, e.count);
    }
}

// Calls `record(first, startBlock)` for each eight extents past a fork's first eight, with the
// number of fork blocks before them: what an overflow record holding them is keyed by.
template <class Record>
void forEachOverflowGroup(const Fork &fork, Record record) {
    uint32_t mapped = 0;
    for (size_t i = 0; i < fork.extents.size(); ++i) {
        if (i >= kMaxExtents && i % kMaxExtents == 0) record(i, mapped);
        mapped += fork.extents[i].count;
    }
}

// totalBlocks counts the extents in the overflow file too.
void appendFork(Bytes &out, const Fork &fork) {
    uint32_t blocks = 0;
    for (const Extent &e : fork.extents) blocks += e.count;
    appendBE64(out, fork.logicalSize);
    appendBE32(out, fork.clumpSize);
    appendBE32(out, blocks);
    appendExtentRecord(out, fork.extents, 0);
}

// `node` gives the dates and permissions; `counted`: the volume keeps folder counts.
Bytes folderRecord(const Entry &e, const Node &node, uint16_t flags, bool counted) {
    bool privateFolder = e.node == &kPrivateFolder || e.node == &kFolderLinkPrivateFolder;
    flags |= (counted ? kHasFolderCountMask : 0) | (e.childLink ? kHasChildLinkMask : 0);
    Bytes r;
    appendBE16(r, kFolderRecord);
    appendBE16(r, flags);
    appendBE32(r, e.valence);
    appendBE32(r, e.cnid);
    appendDatesAndPermissions(r, node, e.node == &kPrivateFolder ? kImmutable : 0,
                              e.role == Role::LinkedFolder ? e.special : 1);
    uint16_t finderFlags = privateFolder ? kIsInvisible | kNameLocked : node.hidden ? kIsInvisible : 0;
    appendUserInfo(r, "\0\0\0\0", "\0\0\0\0", finderFlags);
    appendZeros(r, 16 + 4);                // finderInfo, textEncoding
    appendBE32(r, counted ? e.folders : 0);   // folderCount, once reserved
    return r;
}

// A link record as macOS writes it: read-only, immutable, dated like the private folder (Mac OS
// takes a link for real only then), its owner and group the neighbours in the link chain.
Node linkRecordNode(const Entry &e, uint32_t privateFolderDate) {
    Node link;
    link.createDate = link.modDate = privateFolderDate;
    link.owner = e.previousLink;
    link.group = e.nextLink;
    link.mode = 0100444;
    return link;
}

Bytes fileRecord(const Entry &e, uint16_t flags, uint32_t privateFolderDate) {
    bool link = e.role == Role::HardLink || e.role == Role::FolderLink;
    Node linkRecord = link ? linkRecordNode(e, privateFolderDate) : Node{};
    const Node &node = link ? linkRecord : *e.node;
    Bytes r;
    appendBE16(r, kFileRecord);
    appendBE16(r, flags);
    appendBE32(r, e.firstLink);            // reserved1
    appendBE32(r, e.cnid);
    appendDatesAndPermissions(r, node, link ? kImmutable : node.compression ? kCompressed : 0, e.special);
    uint16_t finderFlags = node.hidden ? kIsInvisible : 0;
    if (e.role == Role::FolderLink)
        appendUserInfo(r, "fdrp", "MACS", kIsAlias);
    else if (link)
        appendUserInfo(r, "hlnk", "hfs+", kHasBeenInited);
    else if (node.symlink)
        appendUserInfo(r, "slnk", "rhap", finderFlags);
    else
        appendUserInfo(r, "\0\0\0\0", "\0\0\0\0", finderFlags);
    appendZeros(r, 16 + 4 + 4);            // finderInfo, textEncoding, reserved2
    appendFork(r, e.dataFork);
    appendFork(r, e.resourceFork);
    return r;
}

uint16_t recordFlags(const Entry &e) {
    if (e.role == Role::HardLink || e.role == Role::FolderLink) return kHasLinkChainMask;
    uint16_t chain = e.role == Role::IndirectNode || e.role == Role::LinkedFolder ? kHasLinkChainMask : 0;
    const std::vector<Attribute> &attributes = e.attributes;
    bool security = e.node->hasSecurity || std::any_of(attributes.begin(), attributes.end(), [](const Attribute &a) {
                        return a.name == kSecurityAttribute;
                    });
    return static_cast<uint16_t>(chain | (attributes.empty() ? 0 : kHasAttributesMask) |
                                 (security ? kHasSecurityMask : 0));
}

Bytes threadRecord(uint16_t type, uint32_t parentID, const std::u16string &name) {
    Bytes r;
    appendBE16(r, type);
    appendBE16(r, 0);
    appendBE32(r, parentID);
    appendName(r, name);
    return r;
}

std::vector<BTreeRecord> catalogRecords(const Volume &volume, const std::vector<Entry> &entries) {
    std::u16string label = unicodeName(volume.label, 255);
    Node root = folderNode("/");
    root.createDate = volume.createDate.value_or(kDefaultDate);
    root.modDate = volume.modifyDate.value_or(kDefaultDate);
    Entry rootEntry{"/", &root, kRootFolderID, kRootParentID, label};
    for (const Entry &e : entries) {
        rootEntry.valence += e.parentID == kRootFolderID;
        rootEntry.folders += e.parentID == kRootFolderID && (e.node->folder || e.role == Role::FolderLink);
    }
    const bool counted = std::any_of(entries.begin(), entries.end(), [](const Entry &e) { return e.role == Role::FolderLink; });

    // Made with the volume, or dated as if: Mac OS takes a link for real only when it is dated so too.
    auto withVolumeDate = [&root](Node node) {
        node.createDate = node.modDate = root.createDate;
        return node;
    };
    const Node privateFolder = withVolumeDate(kPrivateFolder), folderLinksFolder = withVolumeDate(kFolderLinkPrivateFolder);

    std::vector<KeyedRecord> records;
    records.push_back({kRootParentID, label, folderRecord(rootEntry, root, 0, counted)});
    records.push_back({kRootFolderID, u"", threadRecord(kFolderThread, kRootParentID, label)});
    for (const Entry &e : entries) {
        uint16_t flags = recordFlags(e);
        if (e.node->folder) {
            const Node &node = e.node == &kPrivateFolder ? privateFolder : e.node == &kFolderLinkPrivateFolder ? folderLinksFolder : *e.node;
            records.push_back({e.parentID, e.name, folderRecord(e, node, flags, counted)});
            records.push_back({e.cnid, u"", threadRecord(kFolderThread, e.parentID, e.name)});
        } else {
            records.push_back({e.parentID, e.name, fileRecord(e, flags | kThreadExistsMask, root.createDate)});
            records.push_back({e.cnid, u"", threadRecord(kFileThread, e.parentID, e.name)});
        }
    }
    sortByKey(records, volume.hfsx, "two names in one folder compare equal");

    std::vector<BTreeRecord> out;
    for (KeyedRecord &r : records) {
        Bytes key;
        appendBE16(key, static_cast<uint16_t>(6 + 2 * r.name.size()));   // keyLength
        appendBE32(key, r.id);                                            // parentID
        appendName(key, r.name);
        out.push_back({std::move(key), std::move(r.data)});
    }
    return out;
}

// ---- attributes records (TN1150 "Attributes File") ----

std::vector<BTreeRecord> attributeRecords(const Volume &volume, const std::vector<Entry> &entries) {
    std::vector<KeyedRecord> records;
    for (const Entry &e : entries) {
        if (!e.attributes.empty() && !volume.withAttributesFile)
            invalid("\"" + e.path + "\" has attributes but the volume has no attributes file");
        for (size_t i = 0; i < e.attributes.size(); ++i) {
            const Attribute &a = e.attributes[i];
            std::u16string name = unicodeName(a.name, 127);
            Bytes data;
            if (a.forkData) {
                // The fork record, then one extents record per eight extents past its own.
                const Fork &fork = e.attributeForks.at(i);
                appendBE32(data, kForkDataAttribute);
                appendZeros(data, 4);                                    // reserved
                appendFork(data, fork);
                records.push_back({e.cnid, name, std::move(data)});
                forEachOverflowGroup(fork, [&](size_t first, uint32_t startBlock) {
                    Bytes more;
                    appendBE32(more, kExtentsAttribute);
                    appendZeros(more, 4);
                    appendExtentRecord(more, fork.extents, first);
                    records.push_back({e.cnid, name, std::move(more), startBlock});
                });
                continue;
            }
            if (a.extentBlocks) invalid("inline attribute \"" + a.name + "\" of \"" + e.path + "\" has extentBlocks");
            if (a.value.size() > UINT32_MAX) invalid("attribute too large");
            appendBE32(data, kInlineAttribute);
            appendZeros(data, 8);                                        // reserved
            appendBE32(data, static_cast<uint32_t>(a.value.size()));
            data.insert(data.end(), a.value.begin(), a.value.end());
            if (data.size() % 2) data.push_back(0);
            records.push_back({e.cnid, std::move(name), std::move(data)});
        }
    }
    sortByKey(records, true, "an attribute given twice");   // attribute names compare binary

    std::vector<BTreeRecord> out;
    for (KeyedRecord &r : records) {
        Bytes key;
        appendBE16(key, static_cast<uint16_t>(12 + 2 * r.name.size()));  // keyLength
        appendBE16(key, 0);                                               // pad
        appendBE32(key, r.id);                                            // fileID
        appendBE32(key, r.startBlock);
        appendName(key, r.name);
        out.push_back({std::move(key), std::move(r.data)});
    }
    return out;
}

// ---- extents overflow records (TN1150 "Extents Overflow File") ----

// A fork's extents past its first eight, eight to a record keyed by the first fork block they map.
void appendOverflowRecords(std::vector<BTreeRecord> &out, uint32_t fileID, uint8_t forkType, const Fork &fork) {
    forEachOverflowGroup(fork, [&](size_t first, uint32_t startBlock) {
        Bytes key, data;
        appendBE16(key, 10);                   // keyLength
        key.push_back(forkType);
        key.push_back(0);                      // pad
        appendBE32(key, fileID);
        appendBE32(key, startBlock);
        appendExtentRecord(data, fork.extents, first);
        out.push_back({std::move(key), std::move(data)});
    });
}

// Keys order by fileID, forkType, startBlock: the catalog's and the attributes file's own extents
// first (IDs 4 and 8), then entries by CNID, data fork first.
std::vector<BTreeRecord> overflowRecords(const std::vector<Entry> &entries, const Fork &catalog,
                                         const Fork &attributes) {
    std::vector<BTreeRecord> out;
    appendOverflowRecords(out, kCatalogFileID, kDataForkType, catalog);
    appendOverflowRecords(out, kAttributesFileID, kDataForkType, attributes);
    for (const Entry &e : entries) {
        appendOverflowRecords(out, e.cnid, kDataForkType, e.dataFork);
        appendOverflowRecords(out, e.cnid, kResourceForkType, e.resourceFork);
    }
    return out;
}

// ---- block layout ----

// A fork's bytes from `start` on: one extent, or pieces of at most extentBlocks with a free block
// between them.
std::vector<Extent> forkExtents(uint64_t bytes, uint32_t extentBlocks, uint32_t start, uint32_t blockSize) {
    uint64_t blocks = blocksFor(bytes, blockSize);
    uint64_t piece = extentBlocks ? extentBlocks : std::max<uint64_t>(blocks, 1);
    std::vector<Extent> extents;
    for (uint64_t done = 0, at = start; done < blocks; at += piece + 1) {
        uint64_t count = std::min(piece, blocks - done);
        extents.push_back({checkedBlocks(at), static_cast<uint32_t>(count)});
        checkedBlocks(at + count);
        done += count;
    }
    return extents;
}

uint32_t endOf(const std::vector<Extent> &extents, uint32_t start) {
    return extents.empty() ? start : extents.back().start + extents.back().count;
}

// Lays out a file's data fork, then its resource fork, from `start` on; returns the block after them.
uint32_t placeForks(Entry &e, uint32_t start, uint32_t blockSize, uint32_t clumpSize) {
    uint32_t extentBlocks = e.node->extentBlocks;
    e.dataFork = {e.data.size(), clumpSize, forkExtents(e.data.size(), extentBlocks, start, blockSize)};
    uint32_t next = endOf(e.dataFork.extents, start);
    e.resourceFork = {e.resource.size(), clumpSize, forkExtents(e.resource.size(), extentBlocks, next, blockSize)};
    return endOf(e.resourceFork.extents, next);
}

// Volume::interleave: the fragmented files' forks get one extent each in turn, from `start` on.
// Returns the block after them.
uint32_t interleaveForks(std::vector<Entry> &entries, uint32_t start, uint32_t blockSize, uint32_t clumpSize) {
    struct Pending {
        Fork *fork;
        uint64_t blocks, placed = 0;
        uint32_t piece;
    };
    std::vector<Pending> pending;
    for (Entry &e : entries) {
        if (e.node->folder || !e.node->extentBlocks) continue;
        e.dataFork = {e.data.size(), clumpSize, {}};
        e.resourceFork = {e.resource.size(), clumpSize, {}};
        for (auto [fork, bytes] : {std::pair{&e.dataFork, &e.data}, std::pair{&e.resourceFork, &e.resource}})
            pending.push_back({fork, blocksFor(bytes->size(), blockSize), 0, e.node->extentBlocks});
    }
    uint64_t at = start;
    const Fork *last = nullptr;
    for (bool more = true; more;) {
        more = false;
        for (Pending &p : pending) {
            if (p.placed == p.blocks) continue;
            if (p.fork == last) ++at;          // the only fork left in its round: keep its extents apart
            uint64_t count = std::min<uint64_t>(p.piece, p.blocks - p.placed);
            p.fork->extents.push_back({checkedBlocks(at), static_cast<uint32_t>(count)});
            at = checkedBlocks(at + count);
            p.placed += count;
            last = p.fork;
            more = true;
        }
    }
    return static_cast<uint32_t>(at);
}

// Every file's forks from `start` on (with Volume::interleave, the fragmented ones last), then the
// attribute values kept in blocks; returns the block after them all.
uint32_t placeFiles(std::vector<Entry> &entries, const Volume &volume, uint32_t start, uint32_t clumpSize) {
    uint32_t cursor = start;
    for (Entry &e : entries)
        if (!e.node->folder && !(volume.interleave && e.node->extentBlocks))
            cursor = placeForks(e, cursor, volume.blockSize, clumpSize);
    if (volume.interleave) cursor = interleaveForks(entries, cursor, volume.blockSize, clumpSize);
    for (Entry &e : entries) {
        e.attributeForks.assign(e.attributes.size(), Fork{});
        for (size_t i = 0; i < e.attributes.size(); ++i) {
            const Attribute &a = e.attributes[i];
            if (!a.forkData) continue;
            Fork &fork = e.attributeForks[i];
            fork = {a.value.size(), clumpSize, forkExtents(a.value.size(), a.extentBlocks, cursor, volume.blockSize)};
            cursor = endOf(fork.extents, cursor);
        }
    }
    return cursor;
}

// A B-tree file's size and place; its records are made again to write it, so that a large catalog
// is not held twice.
struct TreeFile {
    BTreeShape shape;
    uint32_t blocks = 0;                // 0 for a missing tree
    std::vector<Extent> extents;

    uint64_t bytes(uint32_t blockSize) const { return uint64_t{blocks} * blockSize; }
    uint32_t totalNodes(uint32_t blockSize) const { return static_cast<uint32_t>(bytes(blockSize) / shape.nodeSize); }
};

TreeFile sizedTree(const BTreeShape &shape, const std::vector<BTreeRecord> &records, uint32_t blockSize) {
    uint64_t nodes = btreeNodesNeeded(shape, records);
    return {shape, checkedBlocks(blocksFor(nodes * shape.nodeSize, blockSize)), {}};
}

uint16_t extentsNodeSize(uint32_t blockSize) {
    return static_cast<uint16_t>(std::clamp<uint32_t>(blockSize, 4096, 32768));
}

void checkPowerOfTwo(uint32_t value, uint32_t low, uint32_t high, const char *what) {
    if (value < low || value > high || (value & (value - 1)))
        invalid(std::string(what) + " must be a power of two in " + std::to_string(low) + ".." + std::to_string(high));
}

// Sets the bit of every block in the extent and counts them.
class Bitmap {
public:
    Bitmap(uint32_t blocks, uint32_t blockSize) : bits_(uint64_t{blocks} * blockSize, 0) {}
    void mark(Extent e) {
        for (uint64_t b = e.start; b < uint64_t{e.start} + e.count; ++b)
            bits_[b / 8] |= static_cast<uint8_t>(0x80u >> (b % 8));
        used_ += e.count;
    }
    const Bytes &bytes() const { return bits_; }
    uint64_t used() const { return used_; }

private:
    Bytes bits_;
    uint64_t used_ = 0;
};

void copyTo(Bytes &image, uint64_t offset, const Bytes &from) {
    std::copy(from.begin(), from.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
}

void copyFork(Bytes &image, const Bytes &data, const Fork &fork, uint32_t blockSize) {
    uint64_t done = 0;
    for (const Extent &x : fork.extents) {
        uint64_t length = std::min<uint64_t>(uint64_t{x.count} * blockSize, data.size() - done);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(done), length,
                    image.begin() + static_cast<std::ptrdiff_t>(uint64_t{x.start} * blockSize));
        done += length;
    }
}

// ---- journal (TN1150 "Journal") ----

uint32_t journalChecksum(const Bytes &bytes, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i) sum = (sum << 8) ^ (sum + bytes[i]);
    return ~sum;
}

// The journal file: header, then the ring of block lists from `start` on.
Bytes journalBytes(const Journal &j) {
    constexpr uint32_t kHeaderBytes = 512;
    if (j.size <= kHeaderBytes || j.start < kHeaderBytes || j.start >= j.size || j.blockListSize < 32 ||
        j.blockListSize > j.size - kHeaderBytes)
        invalid("journal layout out of range");
    auto put = [&](Bytes &out, size_t at, uint64_t value, int width) {
        for (int i = 0; i < width; ++i)
            out[at + (j.littleEndian ? i : width - 1 - i)] = static_cast<uint8_t>(value >> (8 * i));
    };
    Bytes image(j.size, 0);
    uint64_t at = j.start;
    auto write = [&](const Bytes &piece) {
        for (uint8_t byte : piece) {
            image[at] = byte;
            if (++at == j.size) at = kHeaderBytes;
        }
    };
    // As Mac OS X 10.5 on writes them: flags (blocks summed; the transaction's first list), the
    // transaction's sequence number in binfo[0], each copy's checksum beside its entry; a
    // transaction of more blocks than one list names continues in the next.
    const size_t perList = j.blockListSize / 16 - 2;
    if (perList == 0) invalid("block lists too small for a block");
    for (size_t t = 0; t < j.transactions.size(); ++t) {
        const std::vector<JournalBlock> &transaction = j.transactions[t];
        for (size_t first = 0; first == 0 || first < transaction.size(); first += perList) {
            const size_t count = std::min(perList, transaction.size() - first);
            Bytes list(j.blockListSize, 0);
            uint64_t used = j.blockListSize;
            for (size_t i = first; i < first + count; ++i) used += transaction[i].data.size();
            if (used > j.size - kHeaderBytes) invalid("transaction larger than the journal");
            put(list, 0, j.blockListSize / 16 - 1, 2);           // max_blocks
            put(list, 2, count + 1, 2);                          // num_blocks, binfo[0] included
            put(list, 4, used, 4);                               // bytes_used
            put(list, 12, first == 0 ? 3 : 1, 4);                // flags
            put(list, 28, t + 1, 4);                             // sequence number
            for (size_t i = 0; i < count; ++i) {
                const Bytes &data = transaction[first + i].data;
                put(list, 16 * (i + 2), transaction[first + i].sector, 8);
                put(list, 16 * (i + 2) + 8, data.size(), 4);
                put(list, 16 * (i + 2) + 12, journalChecksum(data, data.size()), 4);
            }
            put(list, 8, journalChecksum(list, 32) ^ (j.badChecksum == t ? 1 : 0), 4);
            write(list);
            for (size_t i = first; i < first + count; ++i) write(transaction[i].data);
        }
    }
    put(image, 0, 0x4a4e4c78, 4);                                // 'JNLx'
    put(image, 4, 0x12345678, 4);                                // in the writer's byte order
    put(image, 8, j.start, 8);
    put(image, 16, at, 8);                                       // end
    put(image, 24, j.size, 8);
    put(image, 32, j.blockListSize, 4);
    put(image, 40, kHeaderBytes, 4);
    put(image, 44, 1, 4);                                        // sequence number
    put(image, 36, journalChecksum(image, 44), 4);
    return image;
}

// The info block: flags kJIJournalInFSMask, no device signature, the journal's offset and size.
Bytes journalInfoBlock(uint64_t offset, uint32_t size, uint32_t blockSize) {
    Bytes info;
    appendBE32(info, 1);
    appendZeros(info, 32);
    appendBE64(info, offset);
    appendBE64(info, size);
    info.resize(blockSize, 0);
    return info;
}

struct VolumeSize {
    uint32_t totalBlocks, bitmapBlocks;
};

// The allocation file needs a bit per block, and its own blocks count too.
VolumeSize volumeSize(const Volume &volume, uint64_t neededBlocks) {
    uint64_t bitmapBlocks = 1, total = volume.totalBlocks;
    if (total == 0) {
        while (bitmapBlocks * volume.blockSize * 8 < neededBlocks + bitmapBlocks + kSpareBlocks) ++bitmapBlocks;
        total = neededBlocks + bitmapBlocks + kSpareBlocks;
    } else {
        bitmapBlocks = blocksFor(blocksFor(total, 8), volume.blockSize);
        if (total < neededBlocks + bitmapBlocks) invalid("totalBlocks too small for the content");
    }
    return {checkedBlocks(total), static_cast<uint32_t>(bitmapBlocks)};
}

uint32_t dataClumpSize(const Volume &volume) {
    return volume.dataClumpSize.value_or(std::max<uint32_t>(65536, volume.blockSize));
}

// ---- volume header (TN1150 "Volume Header") ----

struct SpecialForks {
    Fork allocation, extents, catalog, attributes;
};

Bytes volumeHeader(const Volume &volume, const std::vector<Entry> &entries, uint32_t totalBlocks,
                   uint32_t freeBlocks, uint32_t nextAllocation, const SpecialForks &forks, uint32_t journalInfo) {
    auto files = std::count_if(entries.begin(), entries.end(), [](const Entry &e) { return !e.node->folder; });
    uint32_t dataClump = dataClumpSize(volume);
    uint32_t modifyDate = volume.modifyDate.value_or(kDefaultDate);
    Bytes h;
    appendBE16(h, volume.hfsx ? 0x4858 : 0x482B);                   // "HX" / "H+"
    appendBE16(h, volume.version.value_or(volume.hfsx ? 5 : 4));
    // kHFSVolumeUnmountedMask, unless transactions wait in the journal; kHFSVolumeJournaledMask with one
    uint32_t attributes = !volume.journal ? 0x00000100 : volume.journal->transactions.empty() ? 0x00002100 : 0x00002000;
    appendBE32(h, volume.attributes.value_or(attributes));
    appendBE32(h, volume.lastMountedVersion.value_or(0x31302E30));  // '10.0'
    appendBE32(h, volume.journalInfoBlock.value_or(journalInfo));
    appendBE32(h, volume.createDate.value_or(kDefaultDate));
    appendBE32(h, modifyDate);
    appendBE32(h, 0);                                               // backupDate
    appendBE32(h, modifyDate);                                      // checkedDate
    appendBE32(h, volume.fileCount.value_or(static_cast<uint32_t>(files)));
    appendBE32(h, volume.folderCount.value_or(static_cast<uint32_t>(entries.size() - files)));
    appendBE32(h, volume.blockSize);
    appendBE32(h, totalBlocks);
    appendBE32(h, volume.freeBlocks.value_or(freeBlocks));
    appendBE32(h, nextAllocation);
    appendBE32(h, dataClump);                                       // rsrcClumpSize
    appendBE32(h, dataClump);
    appendBE32(h, volume.nextCatalogID.value_or(kFirstUserID + static_cast<uint32_t>(entries.size())));
    appendBE32(h, 1);                                               // writeCount
    appendBE64(h, 1);                                               // encodingsBitmap: MacRoman
    appendZeros(h, 32);                                             // finderInfo
    appendFork(h, forks.allocation);
    appendFork(h, forks.extents);
    appendFork(h, forks.catalog);
    appendFork(h, forks.attributes);
    appendFork(h, Fork{});                                          // startup file
    return h;
}

Fork treeFork(const TreeFile &tree, uint32_t blockSize) {
    if (!tree.blocks) return {};
    return {tree.bytes(blockSize), static_cast<uint32_t>(tree.bytes(blockSize)), tree.extents};
}

// Places the tree from `start` on, in extents of at most extentBlocks (0: one extent); returns the
// block after it.
uint32_t placeTree(TreeFile &tree, uint32_t extentBlocks, uint32_t start, uint32_t blockSize) {
    tree.extents = forkExtents(tree.bytes(blockSize), extentBlocks, start, blockSize);
    return endOf(tree.extents, start);
}

void copyTree(Bytes &image, const TreeFile &tree, const std::vector<BTreeRecord> &records, uint32_t blockSize) {
    if (!tree.blocks) return;
    uint32_t bytes = static_cast<uint32_t>(tree.bytes(blockSize));
    copyFork(image, writeBTree(tree.shape, records, tree.totalNodes(blockSize), bytes), treeFork(tree, blockSize), blockSize);
}

}  // namespace

Node folderNode(const std::string &path) {
    Node node;
    node.path = path;
    node.folder = true;
    return node;
}

Node fileNode(const std::string &path, std::vector<uint8_t> data) {
    Node node;
    node.path = path;
    node.data = std::move(data);
    return node;
}

Node fileNode(const std::string &path, const std::string &text) { return fileNode(path, Bytes(text.begin(), text.end())); }

Bytes zlibCompress(const uint8_t *data, size_t size) {
    uLongf length = compressBound(size);
    Bytes out(length);
    if (compress(out.data(), &length, data, size) != Z_OK) throw std::runtime_error("zlib could not compress");
    out.resize(length);
    return out;
}

Node symlinkNode(const std::string &path, const std::string &target) {
    Node node = fileNode(path, target);
    node.symlink = true;
    return node;
}

Node hardLinkNode(const std::string &path, const std::string &existingPath) {
    Node node;
    node.path = path;
    node.hardLinkTo = existingPath;
    return node;
}

Node folderLinkNode(const std::string &path, const std::string &existingFolderPath) {
    Node node;
    node.path = path;
    node.folderLinkTo = existingFolderPath;
    return node;
}

Node folderLinkNode(const std::string &path, uint32_t cnid) {
    Node node;
    node.path = path;
    node.folderLinkID = cnid;
    return node;
}

std::vector<uint8_t> fileSecurity(const Guid &owner, const Guid &group, const std::vector<AccessEntry> &entries) {
    if (entries.size() > UINT32_MAX) invalid("too many access control entries");
    Bytes out;
    appendBE32(out, 0x012CC16D);           // KAUTH_FILESEC_MAGIC
    out.insert(out.end(), owner.begin(), owner.end());
    out.insert(out.end(), group.begin(), group.end());
    appendBE32(out, static_cast<uint32_t>(entries.size()));
    appendBE32(out, 0);                    // ACL flags
    for (const AccessEntry &e : entries) {
        out.insert(out.end(), e.guid.begin(), e.guid.end());
        appendBE32(out, e.flags);
        appendBE32(out, e.rights);
    }
    return out;
}

std::vector<uint8_t> buildVolume(const Volume &volume) {
    const uint32_t bs = volume.blockSize;
    checkPowerOfTwo(bs, 512, 65536, "blockSize");
    checkPowerOfTwo(volume.catalogNodeSize, 512, 32768, "catalogNodeSize");
    checkPowerOfTwo(volume.attributesNodeSize, 512, 32768, "attributesNodeSize");
    std::vector<Entry> entries = resolveEntries(volume);
    for (Entry &e : entries) storeContent(e);

    // Neither record sizes nor extent counts depend on where file data lands, so a trial layout
    // from block 0 sizes the trees and the spans of the files and of the fragmented trees.
    const uint32_t clump = dataClumpSize(volume);
    const uint64_t fileSpan = placeFiles(entries, volume, 0, clump);
    TreeFile catalog = sizedTree({volume.catalogNodeSize, 516, static_cast<uint8_t>(volume.hfsx ? 0xBC : 0xCF),
                                  kBigKeysMask | kVariableIndexKeysMask},
                                 catalogRecords(volume, entries), bs);
    TreeFile attributes = sizedTree({volume.attributesNodeSize, 266, 0, kBigKeysMask | kVariableIndexKeysMask},
                                     attributeRecords(volume, entries), bs);
    if (!volume.withAttributesFile) attributes.blocks = 0;
    catalog.blocks = std::max(catalog.blocks, volume.catalogBlocks);
    const uint64_t catalogSpan = placeTree(catalog, volume.catalogExtentBlocks, 0, bs);
    const uint64_t attributesSpan = placeTree(attributes, volume.attributesExtentBlocks, 0, bs);
    TreeFile extentsTree = sizedTree({extentsNodeSize(bs), 10, 0, kBigKeysMask},
                                     overflowRecords(entries, treeFork(catalog, bs), treeFork(attributes, bs)), bs);

    // Blocks 0.. hold the reserved area and the header, the last ones the alternate header.
    const uint32_t headBlocks = checkedBlocks(blocksFor(kHeaderOffset + kHeaderSize, bs));
    const uint32_t tailBlocks = checkedBlocks(blocksFor(kHeaderOffset, bs));
    const Bytes journal = volume.journal ? journalBytes(*volume.journal) : Bytes{};
    if (journal.size() % bs != 0) invalid("journal size not a whole number of blocks");
    const uint32_t journalBlocks = volume.journal ? 1 + static_cast<uint32_t>(journal.size() / bs) : 0;
    const auto [total, bitmapBlocks] =
        volumeSize(volume, uint64_t{headBlocks} + journalBlocks + extentsTree.blocks + catalogSpan + attributesSpan +
                               fileSpan + tailBlocks);

    Bitmap bitmap(bitmapBlocks, bs);
    const Extent bitmapExtent{headBlocks, bitmapBlocks};
    // The extents overflow file cannot map itself, so it always takes one run of blocks.
    const Extent journalExtent{bitmapExtent.start + bitmapExtent.count, journalBlocks};
    uint32_t cursor = placeTree(extentsTree, 0, journalExtent.start + journalExtent.count, bs);
    if (extentsTree.extents.size() > kMaxExtents) invalid("the extents overflow file would overflow");
    cursor = placeTree(catalog, volume.catalogExtentBlocks, cursor, bs);
    cursor = placeTree(attributes, volume.attributesExtentBlocks, cursor, bs);
    const uint32_t nextAllocation = placeFiles(entries, volume, cursor, clump);
    auto markAll = [&](const std::vector<Extent> &extents) {
        for (const Extent &x : extents) bitmap.mark(x);
    };
    markAll({{0, headBlocks}, bitmapExtent, {total - tailBlocks, tailBlocks}});
    if (journalBlocks) markAll({journalExtent});
    for (const TreeFile *tree : {&extentsTree, &catalog, &attributes}) markAll(tree->extents);
    for (const Entry &e : entries) {
        markAll(e.dataFork.extents);
        markAll(e.resourceFork.extents);
        for (const Fork &fork : e.attributeForks) markAll(fork.extents);
    }

    // Every record is written again now that the extents sit where they will stay.
    Bytes image(uint64_t{total} * bs, 0);
    copyTo(image, uint64_t{bitmapExtent.start} * bs, bitmap.bytes());
    if (journalBlocks) {
        copyTo(image, uint64_t{journalExtent.start} * bs,
               journalInfoBlock(uint64_t{journalExtent.start + 1} * bs, static_cast<uint32_t>(journal.size()), bs));
        copyTo(image, uint64_t{journalExtent.start + 1} * bs, journal);
    }
    copyTree(image, extentsTree, overflowRecords(entries, treeFork(catalog, bs), treeFork(attributes, bs)), bs);
    copyTree(image, catalog, catalogRecords(volume, entries), bs);
    copyTree(image, attributes, attributeRecords(volume, entries), bs);
    for (const Entry &e : entries) {
        copyFork(image, e.data, e.dataFork, bs);
        copyFork(image, e.resource, e.resourceFork, bs);
        for (size_t i = 0; i < e.attributes.size(); ++i)
            copyFork(image, e.attributes[i].value, e.attributeForks[i], bs);
    }

    uint32_t bitmapBytes = bitmapBlocks * bs;
    SpecialForks forks{{bitmapBytes, bitmapBytes, {bitmapExtent}}, treeFork(extentsTree, bs), treeFork(catalog, bs),
                       treeFork(attributes, bs)};
    Bytes header = volumeHeader(volume, entries, total, total - static_cast<uint32_t>(bitmap.used()), nextAllocation,
                                forks, journalBlocks ? journalExtent.start : 0);
    copyTo(image, kHeaderOffset, header);
    copyTo(image, image.size() - kHeaderOffset, header);
    return image;
}

uint32_t cnidOf(const Volume &volume, const std::string &path) {
    if (path == "/") return kRootFolderID;
    for (const Entry &e : resolveEntries(volume))
        if (e.path == path) return e.cnid;
    return 0;
}

void putBE16(std::vector<uint8_t> &image, size_t offset, uint16_t value) {
    if (offset > image.size() || image.size() - offset < 2) throw std::out_of_range("putBE16 past the end");
    image[offset] = static_cast<uint8_t>(value >> 8);
    image[offset + 1] = static_cast<uint8_t>(value);
}

void putBE32(std::vector<uint8_t> &image, size_t offset, uint32_t value) {
    putBE16(image, offset, static_cast<uint16_t>(value >> 16));
    putBE16(image, offset + 2, static_cast<uint16_t>(value));
}

// SEQUENCE { IA5String "IM4P", IA5String "rdsk", OCTET STRING volume }; indefinite lengths keep
// the prefix at 16 bytes whatever the volume's size.
std::vector<uint8_t> wrapIMG4(const std::vector<uint8_t> &volume) {
    static const uint8_t prefix[] = {0x30, 0x80, 0x16, 0x04, 'I', 'M', '4', 'P', 0x16, 0x04, 'r', 'd', 's', 'k', 0x04, 0x80};
    Bytes out(sizeof prefix + volume.size());
    std::copy(std::begin(prefix), std::end(prefix), out.begin());
    std::copy(volume.begin(), volume.end(), out.begin() + sizeof prefix);
    return out;
}

std::vector<uint8_t> wrapHFS(const std::vector<uint8_t> &volume) {
    constexpr uint32_t kBlock = 4096;
    constexpr uint16_t kFirstSector = 16;   // the wrapper's allocation blocks start 8 KiB in
    auto blocks = static_cast<uint16_t>((volume.size() + kBlock - 1) / kBlock);
    std::vector<uint8_t> out(kFirstSector * 512 + size_t{blocks} * kBlock + 1024, 0);
    auto mdb = [&out](size_t at, uint32_t value, int width) {
        for (int i = 0; i < width; ++i) out[1024 + at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
    };
    mdb(0x00, 0x4244, 2);          // drSigWord "BD"
    mdb(0x02, kDefaultDate, 4), mdb(0x06, kDefaultDate, 4);
    mdb(0x0A, 0x0100, 2);          // cleanly unmounted
    mdb(0x0E, 3, 2);               // the wrapper's bitmap, sector 3
    mdb(0x12, blocks, 2);          // drNmAlBlks
    mdb(0x14, kBlock, 4);          // drAlBlkSiz
    mdb(0x18, kBlock, 4);
    mdb(0x1C, kFirstSector, 2);    // drAlBlSt
    mdb(0x1E, 16, 4);
    const char kName[] = "Wrapper";
    mdb(0x24, sizeof kName - 1, 1);
    std::copy(std::begin(kName), std::end(kName) - 1, out.begin() + 1024 + 0x25);
    mdb(0x7C, 0x482B, 2);          // drEmbedSigWord "H+"
    mdb(0x7E, 0, 2), mdb(0x80, blocks, 2);   // drEmbedExtent: every block
    std::copy(volume.begin(), volume.end(), out.begin() + kFirstSector * 512);
    return out;
}

Volume demoVolume() {
    Volume v;
    v.label = "Demo";
    v.nodes.push_back(folderNode("/Documents"));
    v.nodes.push_back(fileNode("/Documents/readme.txt", "Welcome to the Tarnwick demo volume.\n"));
    v.nodes.push_back(fileNode("/Documents/notes/todo.txt", "- walk the catalog\n- follow the extents\n"));
    v.nodes.push_back(folderNode("/Pictures"));

    Node pattern = fileNode("/Pictures/pattern.bin", "");
    pattern.data.resize(4 * 4096 + 123);
    for (size_t i = 0; i < pattern.data.size(); ++i) pattern.data[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    pattern.extentBlocks = 2;
    v.nodes.push_back(pattern);

    Node hello = fileNode("/hello.txt", "Hello, HFS Plus!\n");
    hello.owner = 501;
    hello.group = 20;
    hello.attributes.push_back({"com.example.greeting", {'h', 'i', ' ', 't', 'h', 'e', 'r', 'e'}});
    v.nodes.push_back(hello);

    // Added later: new nodes go last so the ones above keep their CNIDs.
    v.nodes.push_back(symlinkNode("/latest", "Documents/readme.txt"));
    v.nodes.push_back(symlinkNode("/Docs", "/Documents"));
    Node script = fileNode("/bin/run.sh", "#!/bin/sh\necho \"hello from the demo volume\"\n");
    script.mode = 0100755;
    v.nodes.push_back(script);
    Node hidden = fileNode("/.hidden-notes.txt", "Finder does not show this one.\n");
    hidden.hidden = true;
    v.nodes.push_back(hidden);
    v.nodes.push_back(hardLinkNode("/Documents/readme-link.txt", "/Documents/readme.txt"));
    v.nodes.push_back(folderNode("/Empty"));

    // Compressed as macOS does it: three 64 KiB blocks in the resource fork, the middle one noise
    // that zlib cannot shrink, so stored; and a small text inline in its attribute, which sorts
    // after another one.
    Node blocks = fileNode("/Compressed/blocks.log", "");
    for (int line = 0; blocks.data.size() < 65536; ++line)
        blocks.data.insert(blocks.data.end(), {'e', 'v', 'e', 'n', 't', ' ', static_cast<uint8_t>('0' + line % 10), '\n'});
    uint32_t noise = 12345;
    for (size_t i = 0; i < 65536; ++i) {
        noise = noise * 1103515245u + 12345u;
        blocks.data.push_back(static_cast<uint8_t>(noise >> 23));
    }
    blocks.data.insert(blocks.data.end(), 20000, 'z');
    blocks.compression = 4;
    v.nodes.push_back(blocks);
    Node inlined = fileNode("/Compressed/inline.txt", "");
    for (int i = 0; i < 40; ++i) {
        std::string line = "Compressed in its com.apple.decmpfs attribute, line " + std::to_string(i) + ".\n";
        inlined.data.insert(inlined.data.end(), line.begin(), line.end());
    }
    inlined.compression = 3;
    inlined.attributes.push_back({"com.apple.TextEncoding", {'u', 't', 'f', '-', '8', ';', '1', '3', '4', '2', '1', '7', '9', '8', '4'}});
    v.nodes.push_back(inlined);
    return v;
}

}  // namespace hfsbuild
