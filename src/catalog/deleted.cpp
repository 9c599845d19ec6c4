#include "catalog/deleted.h"

#include <algorithm>
#include <numeric>
#include <unordered_map>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/claims.h"
#include "catalog/entry.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "volume/journal.h"
#include "volume/leaf_cursor.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t kFirstUserCNID = 16;
constexpr uint32_t kAllocationFileID = 6;
constexpr size_t kKeptPlaces = 8;            // a record met in thousands of journal copies names a few
constexpr uint64_t kJournalStep = 256;       // the finest alignment of a block in the ring we look at
constexpr uint64_t kJournalChunk = 1 << 20;
constexpr size_t kMaxRecords = 1 << 17;      // distinct ones kept: a forged journal could be all records

// The length of a whole folder or file record (key first) at the start of `region`, or 0 when
// what lies there cannot be one.
size_t candidateLength(Bytes region) {
    CatalogKeyView key{region};
    const size_t keyLength = key.keyLength();
    if (keyLength < 6 || keyLength > kCatalogKeyMax - 2 || keyLength != 6 + 2 * size_t{key.nameLength()} ||
        key.parentID() == 0)
        return 0;
    Bytes data = region.from(2 + keyLength);
    const int16_t type = catalogRecordType(data);
    const size_t size = type == kFolderRecord ? kFolderRecordSize : type == kFileRecord ? kFileRecordSize : 0;
    if (size == 0 || data.size < size || CatalogRecord{data}.id() < kFirstUserCNID) return 0;
    return 2 + keyLength + size;
}

struct Collector {
    std::unordered_map<std::string, size_t> index;   // a record's bytes: its place in `found`
    std::vector<DeletedRecord> found;
    bool full = false;

    void add(Bytes record, const DeletedPlace &place) {
        std::string bytes(reinterpret_cast<const char *>(record.data), record.size);
        auto known = index.find(bytes);
        if (known == index.end() && found.size() == kMaxRecords) {
            full = true;
            return;
        }
        auto [at, added] = index.emplace(std::move(bytes), found.size());
        if (added) {
            DeletedRecord r;
            r.record.assign(record.data, record.data + record.size);
            found.push_back(std::move(r));
        }
        DeletedRecord &r = found[at->second];
        ++r.copies;
        if (r.places.size() < kKeptPlaces) r.places.push_back(place);
    }

    // A journal copy's records are placed by their offset in the journal, a live node's by theirs in the node.
    static DeletedPlace placeAt(DeletedPlace place, size_t offset) {
        place.offset = place.kind == DeletedPlace::kJournal ? place.offset + offset : offset;
        return place;
    }

    // Each whole record the node's free space holds, from `from` to its offset table: tried at
    // every even offset, as records begin at one.
    void addSlack(Bytes node, size_t from, const DeletedPlace &place) {
        const size_t table = node.size - 2 * (size_t{nodeNumRecords(node)} + 1);
        Bytes slack = node.sub(0, table);
        for (size_t at = from + (from & 1); at < table;) {
            size_t length = candidateLength(slack.from(at));
            if (length == 0) {
                at += 2;
                continue;
            }
            add(slack.sub(at, length), placeAt(place, at));
            at += length + (length & 1);
        }
    }

    // A node that is a leaf by its descriptor and sound offsets: its records (with `withRecords`)
    // and what its free space holds. Any other node adds nothing.
    void addLeaf(Bytes node, bool withRecords, const DeletedPlace &place) {
        const uint16_t count = nodeNumRecords(node);
        uint16_t first = 0, freeSpace = 0;
        if (nodeKind(node) != kLeafNode || node.u8(9) != 1 || count == 0 || soundRecords(node) != count ||
            !recordOffset(node, 0, &first) || first != kNodeDescriptorSize || !recordOffset(node, count, &freeSpace))
            return;
        for (uint16_t i = 0; withRecords && i < count; ++i) {
            uint16_t offset = 0;
            recordOffset(node, i, &offset);
            Bytes record = recordInNode(node, offset);
            if (size_t length = candidateLength(record)) add(record.sub(0, length), placeAt(place, offset));
        }
        addSlack(node, freeSpace, place);
    }
};

// Every block-aligned node-sized stretch of the journal's ring that reads as a catalog leaf, the
// whole ring round: copies outside the transactions still waiting are older states of the nodes.
void scanJournal(const Volume &volume, uint16_t nodeSize, Collector &collector, Messages &messages) {
    auto j = readJournal(volume);
    if (!j) return;
    if (!j->headerRead) {
        messages.err("The journal is not searched: %s", j->damage.c_str());
        return;
    }
    const JournalRing ring(volume, *j);
    if (j->size - j->headerSize < nodeSize) return;
    const uint64_t step = std::max<uint64_t>(kJournalStep, std::gcd<uint64_t>(j->headerSize, j->blockListSize));
    const uint64_t chunk = (kJournalChunk + step - 1) / step * step;
    const uint64_t waiting = j->unreplayed() ? ring.distance(j->start, j->end) : 0;
    std::vector<uint8_t> buffer;
    for (uint64_t at = j->headerSize; at < j->size && !g_Interrupted; at += chunk) {
        const uint64_t length = std::min(chunk, j->size - at);
        buffer.resize(length + nodeSize);   // a node may run across the ring's end
        if (!ring.read(at, buffer.data(), buffer.size())) {
            messages.err("The journal cannot be read past offset %llu: the image ends first\n",
                         static_cast<unsigned long long>(at));
            return;
        }
        for (uint64_t p = 0; p < length; p += step) {
            const uint64_t offset = at + p;
            const bool pending = ring.distance(j->start, offset) < waiting;
            collector.addLeaf({buffer.data() + p, nodeSize}, true, {DeletedPlace::kJournal, offset, 0, pending});
        }
    }
}

// The tree's map: whether each node is in use, from the header node's map record and the map
// nodes chained after it. Nodes the map does not reach count as in use.
std::vector<bool> nodesInUse(const BTree &tree) {
    const uint32_t nodes = tree.walkableNodes();
    std::vector<bool> used(nodes, true);
    uint32_t bit = 0, n = 0;
    for (uint32_t hops = 0; hops <= nodes && bit < nodes; ++hops) {
        HeldBytes node = tree.node(n);
        const uint16_t index = n == 0 ? 2 : 0;   // the header node's third record; a map node's only one
        uint16_t from = 0, to = 0;
        if (node.empty() || nodeKind(node.bytes) != (n == 0 ? kHeaderNode : kMapNode) ||
            !recordOffset(node.bytes, index, &from) || !recordOffset(node.bytes, index + 1, &to) || to < from)
            break;
        Bytes map = node.bytes.sub(from, to - from);
        for (size_t i = 0; i < map.size * 8 && bit < nodes; ++i, ++bit) used[bit] = map.u8(i / 8) & (0x80 >> i % 8);
        n = nodeFLink(node.bytes);
        if (n == 0) break;
    }
    return used;
}

void scanCatalogNodes(const BTree &catalog, Collector &collector) {
    const std::vector<bool> used = nodesInUse(catalog);
    for (uint32_t n = 1; n < used.size() && !g_Interrupted; ++n) {
        HeldBytes node = catalog.node(n);
        if (node.empty()) continue;
        if (used[n])
            collector.addLeaf(node.bytes, false, {DeletedPlace::kSlack, 0, n});
        else
            collector.addLeaf(node.bytes, true, {DeletedPlace::kFreeNode, 0, n});
    }
}

struct ByCNID {
    bool operator()(const DeletedRecord &a, const DeletedRecord &b) const { return a.cnid < b.cnid; }
    bool operator()(const DeletedRecord &a, uint32_t cnid) const { return a.cnid < cnid; }
    bool operator()(uint32_t cnid, const DeletedRecord &b) const { return cnid < b.cnid; }
};

enum class Liveness { kLive, kGone, kEarlier };

// The live entry of the CNID last asked about: records come in CNID order, so that each is looked
// up once however many versions of it were found.
struct LiveEntry {
    uint32_t cnid = 0;
    std::optional<CatalogEntry> entry;
};

Liveness livenessOf(const Volume &volume, Bytes key, LiveEntry &last) {
    CatalogRecord record{getRecordData(key)};
    if (last.cnid != record.id()) {
        Messages quiet;   // a CNID the catalog lacks is what is looked for, not damage
        last = {record.id(), findEntry(volume, kRootFolderID, "#" + std::to_string(record.id()), nullptr, quiet)};
    }
    const std::optional<CatalogEntry> &live = last.entry;
    if (!live) return Liveness::kGone;
    if (live->link) return Liveness::kLive;   // a directory hard link, met as its folder
    CatalogRecord now{live->data};
    const size_t keyLength = CatalogKeyView{key}.keyLength();
    Bytes liveKey = live->key.sub(2, keyLength), ownKey = key.sub(2, keyLength);
    bool same = !liveKey.empty() && CatalogKeyView{live->key}.keyLength() == keyLength &&
                std::equal(liveKey.data, liveKey.data + liveKey.size, ownKey.data) && now.type() == record.type() &&
                (record.type() == kFolderRecord || now.dataSize() == record.dataSize());
    return same ? Liveness::kLive : Liveness::kEarlier;
}

// Whether any block of the extents is set in the allocation bitmap; blocks past the volume are not
// looked at, and a bitmap that cannot be read counts as allocated (the content may be gone).
bool anyAllocated(const Volume &volume, const ForkMap &bitmap, Extent extent) {
    const uint64_t total = volume.header().totalBlocks();
    if (extent.startBlock >= total) return false;
    const uint64_t first = extent.startBlock, end = std::min<uint64_t>(total, first + extent.blockCount);
    std::vector<uint8_t> bytes;
    for (uint64_t block = first; block < end;) {
        const uint64_t last = std::min<uint64_t>(end, block + (kJournalChunk << 3));   // a megabyte of bitmap at a time
        bytes.resize((last - 1) / 8 - block / 8 + 1);
        if (readMappedFork(bitmap, volume.image(), block / 8, bytes.data(), bytes.size()) != bytes.size()) return true;
        for (uint64_t b = block; b < last; ++b)
            if (bytes[b / 8 - block / 8] & (0x80 >> b % 8)) return true;
        block = last;
    }
    return false;
}

DeletedRecord::Blocks blocksOf(const Volume &volume, const ForkMap &bitmap, const DeletedRecord &record) {
    if (record.folder()) return DeletedRecord::Blocks::kNone;
    auto blocks = DeletedRecord::Blocks::kNone;
    for (Bytes fork : {CatalogRecord{record.data()}.dataFork(), CatalogRecord{record.data()}.resourceFork()})
        for (int i = 0; i < 8; ++i) {
            Extent extent = forkExtent(fork, i);
            if (extent.blockCount == 0) continue;
            if (anyAllocated(volume, bitmap, extent)) return DeletedRecord::Blocks::kAllocated;
            blocks = DeletedRecord::Blocks::kFree;
        }
    return blocks;
}

}  // namespace

Bytes DeletedRecord::data() const { return getRecordData(key()); }
bool DeletedRecord::folder() const { return catalogRecordType(data()) == kFolderRecord; }

std::string placeText(const DeletedPlace &place) {
    switch (place.kind) {
    case DeletedPlace::kJournal:
        return "journal offset " + std::to_string(place.offset) + (place.pending ? " (not yet replayed)" : "");
    case DeletedPlace::kSlack: return "node " + std::to_string(place.node) + " offset " + std::to_string(place.offset);
    case DeletedPlace::kFreeNode:
        return "free node " + std::to_string(place.node) + " offset " + std::to_string(place.offset);
    }
    return {};
}

std::vector<DeletedRecord> findDeletedRecords(const Volume &volume, Messages &messages) {
    const BTree *catalog = volume.catalog();
    if (!catalog || !validNodeSize(catalog->nodeSize())) {
        messages.err("The catalog cannot be read: there are no records to compare with\n");
        return {};
    }
    Collector collector;
    scanJournal(volume, catalog->nodeSize(), collector, messages);
    scanCatalogNodes(*catalog, collector);
    if (collector.full) messages.err("More than %zu distinct records were found: those past them are left out\n", kMaxRecords);
    const ForkMap bitmap = volume.mapFork(volume.header().fork(kAllocationForkOffset), {kAllocationFileID});
    for (DeletedRecord &r : collector.found) r.cnid = CatalogRecord{r.data()}.id();
    std::stable_sort(collector.found.begin(), collector.found.end(), ByCNID{});
    std::vector<DeletedRecord> out;
    LiveEntry last;
    for (DeletedRecord &r : collector.found) {
        if (g_Interrupted) break;
        Liveness liveness = livenessOf(volume, r.key(), last);
        if (liveness == Liveness::kLive) continue;
        CatalogKeyView key{r.key()};
        r.parent = key.parentID();
        r.name = storedNameWithNULs(key.name());
        r.earlierVersion = liveness == Liveness::kEarlier;
        r.blocks = blocksOf(volume, bitmap, r);
        out.push_back(std::move(r));
    }
    return out;
}

const DeletedRecord *deletedRecordOf(const std::vector<DeletedRecord> &records, uint32_t cnid) {
    auto [from, to] = std::equal_range(records.begin(), records.end(), cnid, ByCNID{});
    const DeletedRecord *latest = nullptr;
    for (auto r = from; r != to; ++r)
        if (!r->earlierVersion &&
            (!latest || CatalogRecord{r->data()}.contentModDate() > CatalogRecord{latest->data()}.contentModDate()))
            latest = &*r;
    return latest;
}

std::string holdersOf(const Volume &volume, const DeletedRecord &record, const Claims &claims, Messages &messages) {
    std::vector<uint32_t> holders;
    for (Bytes fork : {CatalogRecord{record.data()}.dataFork(), CatalogRecord{record.data()}.resourceFork()})
        for (int i = 0; i < 8; ++i)
            if (Extent e = forkExtent(fork, i); e.blockCount != 0) {
                std::vector<uint32_t> here = claims.claimantsIn(e.startBlock, e.blockCount);
                holders.insert(holders.end(), here.begin(), here.end());
            }
    if (holders.empty()) return {};
    std::string text = describeClaimant(volume, claims.claimants[holders.front()], messages);
    std::sort(holders.begin(), holders.end());
    const size_t others = static_cast<size_t>(std::unique(holders.begin(), holders.end()) - holders.begin()) - 1;
    if (others) text += " and " + std::to_string(others) + (others == 1 ? " other" : " others");
    return text;
}
