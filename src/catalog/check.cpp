#include "catalog/check.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <map>
#include <memory_resource>
#include <unordered_map>
#include <vector>

#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/claims.h"
#include "catalog/decmpfs.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "volume/fork.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t kAllocationFileID = 6, kRootParentID = 1;
constexpr uint32_t kIDsReusedMask = 0x1000;   // the volume's CNIDs wrapped: nextCatalogID bounds nothing
constexpr uint32_t kMaxDecmpfsType = 14;      // the highest type macOS writes
constexpr uint16_t kHFSXSignature = 0x4858;   // 'HX'
constexpr uint32_t kFirstUserCNID = 16;

std::string blocksText(uint64_t first, uint64_t last) {
    return first == last ? "block " + std::to_string(first) : "blocks " + std::to_string(first) + "-" + std::to_string(last);
}

// The fields the alternate header must share with the header: what the volume is and where its
// special files lie (the counts and dates are written to it less often).
void checkAlternateHeader(const Volume &volume, Findings &findings) {
    const VolumeHeader &header = volume.header();
    const uint64_t bytes = header.volumeBytes();
    VolumeHeader alternate;
    const uint64_t at = volume.partitionOffset() + bytes - kVolumeHeaderOffset;
    // A volume cut short loses its last blocks whether or not the alternate header survives.
    if (volume.image().size() < volume.partitionOffset() + bytes)
        findings.add("volume header: it gives %llu bytes, the image holds %llu of them", static_cast<unsigned long long>(bytes),
                     static_cast<unsigned long long>(volume.image().size() - std::min(volume.image().size(), volume.partitionOffset())));
    if (bytes < 2 * kVolumeHeaderOffset || at > static_cast<uint64_t>(INT64_MAX) ||
        volume.image().readAt(alternate.raw.data(), kVolumeHeaderSize, at) != static_cast<ssize_t>(kVolumeHeaderSize)) {
        findings.add("alternate volume header: cannot be read at byte %llu of the volume (the image ends first)",
                     static_cast<unsigned long long>(bytes - std::min<uint64_t>(bytes, kVolumeHeaderOffset)));
        return;
    }
    struct Field { const char *name; size_t offset, size; };
    static const Field kFields[] = {{"signature", 0, 2}, {"version", 2, 2}, {"block size", 40, 4}, {"total blocks", 44, 4},
                                    {"allocation file's fork", kAllocationForkOffset, kForkDataSize},
                                    {"extents file's fork", kExtentsForkOffset, kForkDataSize},
                                    {"catalog file's fork", kCatalogForkOffset, kForkDataSize},
                                    {"attributes file's fork", kAttributesForkOffset, kForkDataSize},
                                    {"startup file's fork", 432, kForkDataSize}};
    for (const Field &f : kFields)
        if (memcmp(header.raw.data() + f.offset, alternate.raw.data() + f.offset, f.size) != 0)
            findings.add("alternate volume header: its %s differs from the volume header's", f.name);
}

void checkTrees(const Volume &volume, Findings &findings) {
    struct Tree { int type; size_t fork; const char *name; };
    for (const Tree &t : {Tree{kExtentsTree, kExtentsForkOffset, "extents B-tree"}, {kCatalogTree, kCatalogForkOffset, "catalog B-tree"},
                          {kAttributesTree, kAttributesForkOffset, "attributes B-tree"}}) {
        if (const BTree *tree = volume.tree(t.type))
            checkTree(*tree, t.type, volume.compareType(), t.name, findings);
        else if (forkTotalBlocks(volume.header().fork(t.fork)) != 0 || t.type == kCatalogTree)
            findings.add("%s: its header node cannot be read", t.name);
    }
    // An HFSX catalog's names sort as its header says; another value leaves their order unknown.
    const BTree *catalog = volume.catalog();
    if (catalog && volume.header().signature() == kHFSXSignature && catalog->keyCompareType() != kCaseFolding &&
        catalog->keyCompareType() != kBinaryCompare)
        findings.add("catalog B-tree: its compare type 0x%02X is neither case folding (0xCF) nor binary (0xBC)",
                     catalog->keyCompareType());
}

// What the catalog says of one CNID: its file or folder record, its thread, its entries.
struct Node {
    uint32_t parent = 0, threadParent = 0, valence = 0, children = 0, linkCount = 0;
    size_t name = 0, threadName = 0;   // hashes of the stored names
    int16_t type = 0, threadType = 0;
    bool resourceFork = false;   // a file's, holding bytes: where fork-kept compressed data lies
    enum class Reach : uint8_t { kUnknown, kWalking, kRoot, kNot } reach = Reach::kUnknown;   // the root up its parents
};

class CatalogCheck {
public:
    CatalogCheck(const Volume &volume, Findings &findings) : volume_(volume), findings_(findings) {
        // A record and its thread a CNID; the header's count only sizes the table, bounded.
        const BTree *catalog = volume.catalog();
        nodes_.reserve(std::min<size_t>(catalog ? catalog->leafRecords() / 2 : 0, size_t{1} << 22));
    }

    void record(const LeafRecord &leaf) {
        CatalogKeyView key{leaf.record};
        Bytes data = getRecordData(leaf.record);
        CatalogRecord record{data};
        const size_t name = hashOf(key.name());
        switch (record.type()) {
        case kFolderRecord:
        case kFileRecord: {
            Node &node = nodes_[record.id()];
            if (node.type)
                findings_.add("catalog: CNID %u has two records (node %u, record %u)", record.id(), leaf.node, leaf.index);
            node.type = record.type(), node.parent = key.parentID(), node.name = name;
            node.valence = record.valence(), node.linkCount = record.special();
            node.resourceFork = record.type() == kFileRecord && forkLogicalSize(record.resourceFork()) > 0;
            ++nodes_[key.parentID()].children;
            ++(record.type() == kFolderRecord ? folders_ : files_);
            if (record.id() >= volume_.header().nextCatalogID() && !(volume_.header().attributes() & kIDsReusedMask))
                findings_.add("catalog: CNID %u is not below the header's next CNID %u", record.id(), volume_.header().nextCatalogID());
            if (record.type() == kFileRecord && (isHardLink(data) || isFolderLink(data))) {
                Links &link = links_[record.special()];
                if (link.count++ == 0) link.file = isHardLink(data);
            }
            break;
        }
        case kFolderThreadRecord:
        case kFileThreadRecord: {
            ThreadRecord thread{data};
            Node &node = nodes_[key.parentID()];
            if (node.threadType)
                findings_.add("catalog: CNID %u has two thread records", key.parentID());
            node.threadType = thread.type(), node.threadParent = thread.parentID(), node.threadName = hashOf(thread.name());
            break;
        }
        default:
            findings_.add("catalog: node %u, record %u is of unknown type %d", leaf.node, leaf.index, record.type());
        }
    }

    void finish() {
        std::vector<std::pair<uint32_t, const Node *>> sorted;
        for (const auto &[cnid, node] : nodes_) sorted.push_back({cnid, &node});
        std::sort(sorted.begin(), sorted.end());
        for (const auto &[cnid, node] : sorted) one(cnid, *node);
        for (const auto &[cnid, node] : sorted)
            if (node->type == kFolderRecord) reachesRoot(cnid);
        const VolumeHeader &header = volume_.header();
        // The header counts neither the root folder nor itself.
        if (folders_ != uint64_t{header.folderCount()} + 1 || files_ != header.fileCount())
            findings_.add("catalog: the header counts %u files and %u folders, the catalog holds %llu and %llu",
                          header.fileCount(), header.folderCount(), static_cast<unsigned long long>(files_),
                          static_cast<unsigned long long>(folders_ ? folders_ - 1 : 0));
        std::vector<std::pair<uint32_t, Links>> links(links_.begin(), links_.end());
        std::sort(links.begin(), links.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[number, link] : links) linkCount(number, link);
    }

    const Node *recordOf(uint32_t cnid) const {
        auto found = nodes_.find(cnid);
        return found != nodes_.end() && found->second.type != 0 ? &found->second : nullptr;
    }

private:
    struct Links {
        uint32_t count = 0;
        bool file = false;   // file hard links, else directory hard links (as the first one met)
    };

    static size_t hashOf(Bytes counted) {
        return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char *>(counted.data),
                                                              std::min(counted.size, storedNameSize(counted))));
    }
    // The link count of the indirect node the walk met as CNID `number`, named "iNode<number>" as
    // macOS names them; nothing when it is not that (older systems numbered them otherwise).
    std::optional<uint32_t> walkedIndirectNode(uint32_t number) const {
        const std::string name = "iNode" + std::to_string(number);
        std::string counted{static_cast<char>(name.size() >> 8), static_cast<char>(name.size())};
        for (char c : name) counted += {'\0', c};
        auto found = nodes_.find(number);
        if (found == nodes_.end() || found->second.type != kFileRecord ||
            found->second.name != hashOf({reinterpret_cast<const uint8_t *>(counted.data()), counted.size()}))
            return std::nullopt;
        return found->second.linkCount;
    }
    // The links found to an indirect node or a linked folder against the count it keeps.
    void linkCount(uint32_t number, const Links &link) {
        const bool file = link.file;
        std::optional<uint32_t> count;
        if (file) {
            count = walkedIndirectNode(number);
            Messages quiet;   // a missing target is this check's finding, in its words
            if (!count)
                if (auto target = indirectNode(volume_, number, quiet)) count = CatalogRecord{target->bytes}.special();
        } else if (auto target = nodes_.find(number); target != nodes_.end() && target->second.type) {
            // A linked folder is named by its CNID: the walk has met it already.
            if (target->second.type != kFolderRecord) {
                findings_.add("catalog: %u directory hard links name CNID %u, which is not a folder", link.count, number);
                return;
            }
            count = target->second.linkCount;
        }
        const char *kind = file ? "hard link" : "directory hard link";
        if (!count)
            findings_.add("catalog: %u %ss name %s %u, which is missing", link.count, kind, file ? "indirect node" : "folder", number);
        else if (*count != link.count)
            findings_.add("catalog: the %s target %u counts %u links, the catalog holds %u", kind, number, *count, link.count);
    }

    // Whether the folder's parents lead to the root; a chain that comes back on itself is said once,
    // where it was entered. Each folder is walked once, whatever the number of chains through it.
    void reachesRoot(uint32_t cnid) {
        std::vector<Node *> chain;
        Node::Reach end = Node::Reach::kNot;
        for (uint32_t at = cnid;;) {
            auto found = nodes_.find(at);
            if (found == nodes_.end() || found->second.type != kFolderRecord) break;   // said as a missing parent
            Node &node = found->second;
            if (node.reach == Node::Reach::kWalking) {
                findings_.add("catalog: folder %u's parents lead back to it, never to the root", at);
                break;
            }
            if (node.reach != Node::Reach::kUnknown) {
                end = node.reach;
                break;
            }
            node.reach = Node::Reach::kWalking;
            chain.push_back(&node);
            if (node.parent == kRootParentID) {
                end = Node::Reach::kRoot;
                break;
            }
            at = node.parent;
        }
        for (Node *node : chain) node->reach = end;
    }

    void one(uint32_t cnid, const Node &node) {
        const bool folder = node.type == kFolderRecord;
        if (node.type && !node.threadType)
            findings_.add("catalog: %s %u has no thread record", folder ? "folder" : "file", cnid);
        if (node.threadType && !node.type)
            findings_.add("catalog: the thread record of CNID %u names no file or folder", cnid);
        if (node.type && node.threadType) {
            if (node.threadType != (folder ? kFolderThreadRecord : kFileThreadRecord))
                findings_.add("catalog: %s %u has a %s thread", folder ? "folder" : "file", cnid, folder ? "file" : "folder");
            if (node.threadParent != node.parent || node.threadName != node.name)
                findings_.add("catalog: CNID %u's thread gives another parent or name than its record", cnid);
        }
        if (!node.type && !node.threadType && node.children && cnid != kRootParentID)
            findings_.add("catalog: %u entries name CNID %u as their folder, which has no record", node.children, cnid);
        if (node.type && node.parent != kRootParentID) {
            auto parent = nodes_.find(node.parent);
            if (parent == nodes_.end() || parent->second.type != kFolderRecord)
                findings_.add("catalog: CNID %u's parent %u is %s", cnid, node.parent,
                              parent == nodes_.end() || !parent->second.type ? "missing" : "a file");
        }
        if (node.type == kFileRecord && node.children)
            findings_.add("catalog: file %u has %u entries below it", cnid, node.children);
        if (folder && node.valence != node.children)
            findings_.add("catalog: folder %u's valence is %u, it holds %u entries", cnid, node.valence, node.children);
    }

    const Volume &volume_;
    Findings &findings_;
    std::pmr::monotonic_buffer_resource pool_;   // the nodes are freed together: no allocation each
    std::pmr::unordered_map<uint32_t, Node> nodes_{&pool_};
    std::pmr::unordered_map<uint32_t, Links> links_{&pool_};   // by indirect node number or linked folder's CNID
    uint64_t files_ = 0, folders_ = 0;
};

// An attribute's owner must exist; a decmpfs header must say what macOS writes.
void checkAttribute(const LeafRecord &leaf, const CatalogCheck &catalog, Findings &findings) {
    AttributeKeyView key{leaf.record};
    AttributeData data{key.data()};
    const Node *owner = catalog.recordOf(key.fileID());
    if (key.startBlock() == 0 && !owner)
        findings.add("attributes: %s of CNID %u, which has no catalog record (node %u, record %u)",
                     attributeNameText(key.name()).c_str(), key.fileID(), leaf.node, leaf.index);
    if (data.recordType() == kAttrInlineData && data.inlineSize() > data.inlineSpan().size)
        findings.add("attributes: %s of CNID %u gives %u bytes inline, its record holds %zu", attributeNameText(key.name()).c_str(),
                     key.fileID(), data.inlineSize(), data.inlineSpan().size);
    if (data.recordType() != kAttrInlineData || attributeNameText(key.name()) != "com.apple.decmpfs") return;
    Bytes value = data.inlineBytes();
    auto header = DecmpfsHeader::parse(value);
    if (!header || value.le32(0) != 0x636d7066)
        findings.add("attributes: CNID %u's decmpfs header is %s", key.fileID(), header ? "without its magic 'fpmc'" : "short");
    else if (header->type == 0 || header->type > kMaxDecmpfsType)
        findings.add("attributes: CNID %u's decmpfs header gives unknown type %u", key.fileID(), header->type);
    else if (header->type == kDecmpfsStoredAttribute && header->size != value.size - kDecmpfsHeaderSize)
        findings.add("attributes: CNID %u's decmpfs header gives %llu bytes, the attribute holds %zu", key.fileID(),
                     static_cast<unsigned long long>(header->size), value.size - kDecmpfsHeaderSize);
    // Even types keep the compressed data in the resource fork, odd ones after the header (of the
    // types this reader expands; the later ones it does not judge).
    else if (header->size > 0 && header->type <= kDecmpfsLzfseFork) {
        if (header->type % 2 == 0 && owner && !owner->resourceFork)
            findings.add("attributes: CNID %u's decmpfs header gives type %u, which keeps the data in the resource fork, "
                         "but the file has none", key.fileID(), header->type);
        if (header->type % 2 == 1 && value.size == kDecmpfsHeaderSize)
            findings.add("attributes: CNID %u's decmpfs header gives type %u, which keeps the data after it, but nothing "
                         "follows", key.fileID(), header->type);
    }
}

void checkForks(const Volume &volume, const Claims &claims, Findings &findings, Messages &messages) {
    for (const ForkFault &fault : claims.faults)
        findings.add("%s: %s", describeClaimant(volume, claims.claimants[fault.claimant], messages).c_str(), fault.what.c_str());
    // Claims sorted by start: each overlaps the one before it that reaches furthest, if any.
    size_t furthest = 0, overlaps = 0;
    for (size_t i = 1; i < claims.claims.size(); ++i) {
        const Claim &c = claims.claims[i], &f = claims.claims[furthest];
        if (c.start < f.end() && overlaps++ < kMaxRuns)
            findings.add("%s claimed by both %s and %s", blocksText(c.start, std::min(c.end(), f.end()) - 1).c_str(),
                         describeClaimant(volume, claims.claimants[f.claimant], messages).c_str(),
                         describeClaimant(volume, claims.claimants[c.claimant], messages).c_str());
        if (c.end() > f.end()) furthest = i;
    }
    if (overlaps > kMaxRuns) findings.add("... and %zu more overlaps", overlaps - kMaxRuns);
}

// The allocation bitmap against the claims, as runs of blocks, and its count against the header's.
void checkBitmap(const Volume &volume, const Claims &claims, Findings &findings) {
    const uint64_t total = volume.header().totalBlocks();
    Messages quiet;
    uint64_t read = 0;
    auto bitmap = readFork(volume, volume.header().fork(kAllocationForkOffset), quiet, &read, {kAllocationFileID});
    if (!bitmap || read * 8 < total) {
        findings.add("allocation file: its blocks hold %llu of the volume's %llu bits", static_cast<unsigned long long>(read * 8),
                     static_cast<unsigned long long>(total));
        return;
    }
    auto used = [&](uint64_t b) { return ((*bitmap)[b / 8] >> (7 - b % 8)) & 1; };
    uint64_t free = 0;
    for (uint64_t b = 0; b < total; ++b) free += !used(b);
    if (free != volume.header().freeBlocks())
        findings.add("volume header: it counts %u free blocks, the allocation bitmap %llu", volume.header().freeBlocks(),
                     static_cast<unsigned long long>(free));
    // The claims merged into sorted runs, walked alongside the blocks.
    std::vector<std::pair<uint64_t, uint64_t>> runs;
    for (const Claim &c : claims.claims)
        if (!runs.empty() && c.start <= runs.back().second)
            runs.back().second = std::max(runs.back().second, c.end());
        else
            runs.push_back({c.start, c.end()});
    size_t at = 0;
    auto claimed = [&](uint64_t b) {
        while (at < runs.size() && runs[at].second <= b) ++at;
        return at < runs.size() && runs[at].first <= b;
    };
    reportRuns(total, [&](uint64_t b) {
                   bool u = used(b), c = claimed(b);
                   return u == c || (u && !claims.complete) ? 0 : u ? 1 : 2;
               },
               [&](int state, uint64_t first, uint64_t last) {
                   if (state == 1)
                       findings.note("allocation bitmap: %s marked used but claimed by nothing", blocksText(first, last).c_str());
                   else
                       findings.add("allocation bitmap: %s claimed but marked free", blocksText(first, last).c_str());
               },
               "blocks the bitmap and the claims disagree on", findings);
}

}  // namespace

Claims checkVolume(const Volume &volume, Findings &findings, Messages &messages) {
    checkAlternateHeader(volume, findings);
    checkTrees(volume, findings);
    CatalogCheck catalog(volume, findings);
    // The attributes are walked after the catalog, so each owner is known by then.
    std::map<uint32_t, uint32_t> overflow;   // a file's CNID: its extents records
    Claims claims = collectClaims(volume, messages,
                                  {[&](const LeafRecord &leaf) { catalog.record(leaf); },
                                   [&](const LeafRecord &leaf) { checkAttribute(leaf, catalog, findings); },
                                   [&](const LeafRecord &leaf) { ++overflow[ExtentKeyView{leaf.record}.fileID()]; }});
    catalog.finish();
    // Extents records of a file the catalog lacks claim nothing: their blocks are lost or another's.
    for (const auto &[cnid, records] : overflow)
        if (cnid >= kFirstUserCNID && (!catalog.recordOf(cnid) || catalog.recordOf(cnid)->type != kFileRecord))
            findings.add("extents overflow file: %u extents records of CNID %u, which has no file record", records, cnid);
    checkForks(volume, claims, findings, messages);
    checkBitmap(volume, claims, findings);
    return claims;
}
