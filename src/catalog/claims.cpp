#include "catalog/claims.h"

#include <algorithm>
#include <optional>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/entry.h"
#include "volume/journal.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t kBadBlocksFileID = 5, kAllocationFileID = 6, kStartupFileID = 7;
constexpr size_t kStartupForkOffset = 432;
constexpr uint64_t kHeaderAreaBytes = 1536, kAlternateAreaBytes = 1024;

class Collector {
public:
    Collector(const Volume &volume, Claims &claims) : volume_(volume), claims_(claims) {}

    uint32_t add(Claimant claimant) {
        claims_.claimants.push_back(std::move(claimant));
        return static_cast<uint32_t>(claims_.claimants.size() - 1);
    }
    // Blocks [first, first + count), kept inside the volume; what lies past it is a fault.
    void claim(uint32_t who, uint64_t first, uint64_t count) {
        const uint64_t total = volume_.header().totalBlocks();
        if (count == 0) return;
        if (first >= total || count > total - first) {
            claims_.faults.push_back({who, "extent of blocks " + range(first, count) + " runs past the volume's last block " +
                                               std::to_string(total ? total - 1 : 0)});
            count = first < total ? total - first : 0;
        }
        if (count) claims_.claims.push_back({first, count, who});
    }
    // A fork's blocks through its eight extents and the overflow records that continue them.
    void fork(Claimant claimant, Bytes forkData, uint32_t overflowOwner) {
        ForkMap map = volume_.mapFork(forkData, {overflowOwner, claimant.forkType});
        if (map.pieces.empty() && map.totalBlocks == 0 && forkLogicalSize(forkData) == 0) return;
        uint32_t who = add(std::move(claimant));
        const uint32_t blockSize = volume_.blockSize();
        for (const ForkMap::Piece &piece : map.pieces) claim(who, piece.startBlock, blockSize ? piece.length / blockSize : 0);
        faults(who, map.totalBlocks, map.blocks, map.pieces.size() && map.pieces.back().cut);
        logicalSize(who, forkData);
    }
    void logicalSize(uint32_t who, Bytes forkData) {
        const uint64_t size = forkLogicalSize(forkData), room = uint64_t{forkTotalBlocks(forkData)} * volume_.blockSize();
        if (size > room)
            claims_.faults.push_back({who, "logical size " + std::to_string(size) + " is more than its " +
                                               std::to_string(forkTotalBlocks(forkData)) + " blocks hold"});
    }
    // Says when the extents give other than the fork's blocks.
    void faults(uint32_t who, uint64_t totalBlocks, uint64_t found, bool cut) {
        if (cut || found > totalBlocks)
            claims_.faults.push_back({who, "extents hold " + std::to_string(found) + " blocks, more than the fork's " +
                                               std::to_string(totalBlocks)});
        else if (found < totalBlocks)
            claims_.faults.push_back({who, "extents hold " + std::to_string(found) + " of the fork's " +
                                               std::to_string(totalBlocks) + " blocks"});
    }
    static std::string range(uint64_t first, uint64_t count) {
        return count > 1 ? std::to_string(first) + "-" + std::to_string(first + count - 1) : std::to_string(first);
    }

private:
    const Volume &volume_;
    Claims &claims_;
};

// The fixed areas: the first 1536 bytes, the last 1024, the journal and its info block.
void fixedAreas(const Volume &volume, Collector &collector) {
    const uint64_t blockSize = volume.blockSize(), total = volume.header().totalBlocks();
    if (blockSize == 0 || total == 0) return;
    collector.claim(collector.add({Claimant::Kind::kVolumeHeader}), 0, std::min(total, (kHeaderAreaBytes + blockSize - 1) / blockSize));
    const uint64_t bytes = volume.header().volumeBytes();
    if (bytes >= kAlternateAreaBytes) {
        uint64_t first = (bytes - kAlternateAreaBytes) / blockSize;
        collector.claim(collector.add({Claimant::Kind::kAlternateHeader}), first, total - first);
    }
}

// The journal, where no file of the catalog holds it already (macOS keeps it in two hidden files).
void journalAreas(const Volume &volume, Collector &collector, const Claims &claims) {
    auto journal = readJournal(volume);
    const uint64_t blockSize = volume.blockSize();
    if (!journal || blockSize == 0) return;
    if (claims.claimantsOf(journal->infoBlock).empty())
        collector.claim(collector.add({Claimant::Kind::kJournalInfoBlock}), journal->infoBlock, 1);
    if ((journal->flags & kInFileSystem) && journal->size && claims.claimantsOf(journal->offset / blockSize).empty()) {
        uint64_t first = journal->offset / blockSize, last = (journal->offset + journal->size - 1) / blockSize;
        collector.claim(collector.add({Claimant::Kind::kJournal}), first, last - first + 1);
    }
}

// The bad blocks file, whose extents only the overflow file holds: the blocks it keeps from use.
void badBlocks(const Volume &volume, Collector &collector, Claims &claims, const LeafVisitors &visitors, Messages &messages) {
    const BTree *tree = volume.extents();
    if (!tree || tree->rootNode() == 0) return;
    LeafCursor cursor(*tree, tree->firstLeafNode());
    std::optional<uint32_t> who;
    while (auto next = cursor.next()) {
        if (visitors.extents) visitors.extents(*next);
        ExtentKeyView key{next->record};
        if (key.fileID() != kBadBlocksFileID || key.forkType() != kDataForkType) continue;
        if (!who) who = collector.add({Claimant::Kind::kSpecialFile, kBadBlocksFileID});
        for (int i = 0; i < kExtentsPerRecord; ++i)
            if (Extent e = extentAt(key.data(), i); e.blockCount) collector.claim(*who, e.startBlock, e.blockCount);
    }
    if (cursor.end() != LeafCursor::End::kChainEnd) {
        claims.complete = false;
        messages.err("The extents B-tree's leaves could not all be read (node %u): its claims are incomplete\n", cursor.node());
    }
}

// Attribute values kept in forks: a fork-data record's eight extents, then its extents records'.
void attributeForks(const Volume &volume, Collector &collector, Claims &claims, const LeafVisitors &visitors,
                    Messages &messages) {
    const BTree *tree = volume.attributes();
    if (!tree) return;
    LeafCursor cursor(*tree, tree->firstLeafNode());
    uint32_t who = 0;
    uint64_t left = 0, totalBlocks = 0;   // of the last fork-data record's blocks, those no extent gave yet
    auto closeFork = [&] {
        if (totalBlocks) collector.faults(who, totalBlocks, totalBlocks - left, false);
        totalBlocks = left = 0;
    };
    while (auto next = cursor.next()) {
        if (visitors.attributes) visitors.attributes(*next);
        AttributeKeyView key{next->record};
        AttributeData data{key.data()};
        Bytes extents;
        if (data.recordType() == kAttrForkData) {
            closeFork();
            who = collector.add({Claimant::Kind::kAttribute, key.fileID(), 0, attributeNameText(key.name())});
            totalBlocks = left = forkTotalBlocks(data.fork());
            collector.logicalSize(who, data.fork());
            extents = data.forkExtents();
        } else if (data.recordType() == kAttrExtents && totalBlocks) {
            extents = data.moreExtents();
        } else {
            continue;
        }
        for (int i = 0; i < kExtentsPerRecord && left; ++i) {
            Extent e = extentAt(extents, i);
            if (e.startBlock == 0 || e.blockCount == 0) break;
            uint64_t count = std::min<uint64_t>(e.blockCount, left);
            collector.claim(who, e.startBlock, count);
            left -= count;
        }
    }
    closeFork();
    if (cursor.end() != LeafCursor::End::kChainEnd) {
        claims.complete = false;
        messages.err("The attributes B-tree's leaves could not all be read (node %u): its claims are incomplete\n", cursor.node());
    }
}

}  // namespace

std::vector<uint32_t> Claims::claimantsIn(uint64_t first, uint64_t count) const {
    std::vector<uint32_t> out;
    const uint64_t end = count > UINT64_MAX - first ? UINT64_MAX : first + count;
    // Claims before the first whose reach passes `first` all end before it.
    size_t i = static_cast<size_t>(std::upper_bound(reach.begin(), reach.end(), first) - reach.begin());
    for (; i < claims.size() && claims[i].start < end; ++i)
        if (claims[i].end() > first) out.push_back(claims[i].claimant);
    return out;
}

void Claims::order() {
    std::stable_sort(claims.begin(), claims.end(), [](const Claim &a, const Claim &b) { return a.start < b.start; });
    reach.resize(claims.size());
    for (size_t i = 0; i < claims.size(); ++i) reach[i] = std::max(claims[i].end(), i ? reach[i - 1] : 0);
}

Claims collectClaims(const Volume &volume, Messages &messages, const LeafVisitors &visitors) {
    Claims claims;
    Collector collector(volume, claims);
    fixedAreas(volume, collector);
    const VolumeHeader &header = volume.header();
    for (auto [offset, cnid] : {std::pair{kExtentsForkOffset, kExtentsFileID}, {kCatalogForkOffset, 4u},
                                {kAllocationForkOffset, kAllocationFileID}, {kStartupForkOffset, kStartupFileID},
                                {kAttributesForkOffset, 8u}})
        collector.fork({Claimant::Kind::kSpecialFile, cnid}, header.fork(offset), cnid == kExtentsFileID ? 0 : cnid);
    badBlocks(volume, collector, claims, visitors, messages);
    if (const BTree *catalog = volume.catalog()) {
        LeafCursor cursor(*catalog, catalog->firstLeafNode());
        while (auto next = cursor.next()) {
            if (visitors.catalog) visitors.catalog(*next);
            CatalogRecord record{getRecordData(next->record)};
            if (record.type() != kFileRecord) continue;
            collector.fork({Claimant::Kind::kFork, record.id(), kDataForkType}, record.dataFork(), record.id());
            collector.fork({Claimant::Kind::kFork, record.id(), kResourceForkType}, record.resourceFork(), record.id());
        }
        if (cursor.end() != LeafCursor::End::kChainEnd) {
            claims.complete = false;
            messages.err("The catalog B-tree's leaves could not all be read (node %u): its claims are incomplete\n", cursor.node());
        }
    } else {
        claims.complete = false;
    }
    attributeForks(volume, collector, claims, visitors, messages);
    claims.order();   // the journal's areas are looked up first
    const size_t before = claims.claims.size();
    journalAreas(volume, collector, claims);
    if (claims.claims.size() != before) claims.order();
    return claims;
}

std::string describeClaimant(const Volume &volume, const Claimant &c, Messages &messages) {
    switch (c.kind) {
    case Claimant::Kind::kVolumeHeader: return "volume header";
    case Claimant::Kind::kAlternateHeader: return "alternate volume header";
    case Claimant::Kind::kJournalInfoBlock: return "journal info block";
    case Claimant::Kind::kJournal: return "journal";
    case Claimant::Kind::kSpecialFile:
        switch (c.cnid) {
        case kExtentsFileID: return "extents overflow file";
        case 4: return "catalog file";
        case kAllocationFileID: return "allocation file";
        case kBadBlocksFileID: return "bad blocks file";
        case kStartupFileID: return "startup file";
        default: return "attributes file";
        }
    case Claimant::Kind::kFork:
    case Claimant::Kind::kAttribute: break;
    }
    std::string text = visible(pathOfCNID(volume, c.cnid, messages).value_or("?")) + " (CNID " + std::to_string(c.cnid) + "), ";
    if (c.kind == Claimant::Kind::kAttribute) return text + "attribute " + visible(c.attribute);
    return text + (c.forkType == kResourceForkType ? "resource fork" : "data fork");
}
