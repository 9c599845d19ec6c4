#include "volume/replay.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "volume/volume.h"

namespace {

constexpr uint32_t kAllocationFileID = 6;
constexpr size_t kHeaderChecksummed = 44;
constexpr size_t kHeaderFields = 48;

std::string trimmed(std::string line) {
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

template <typename... Args>
std::string format(const char *fmt, Args... args) {
    char text[200];
    snprintf(text, sizeof text, fmt, args...);
    return text;
}

void put(uint8_t *at, uint64_t value, int width, bool littleEndian) {
    for (int i = 0; i < width; ++i) at[littleEndian ? i : width - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Write {
    uint64_t position;
    std::vector<uint8_t> data;
};

// The blocks one transaction writes, in order, read from the ring and checked; on damage, why.
struct Gathered {
    std::vector<Write> writes;
    std::string damage;
};

Gathered gather(const Volume &volume, const Journal &j, const JournalTransaction &t) {
    const JournalRing ring(volume, j);
    const uint64_t volumeBytes = volume.header().volumeBytes(), imageSize = volume.image().size();
    Gathered g;
    for (size_t li = t.firstList; li < t.firstList + t.lists; ++li) {
        const JournalBlockList &l = j.lists[li];
        const unsigned long long at = l.at;
        if (l.checksum != l.computedChecksum)
            return {{}, format("The block list at %llu has checksum 0x%08x, should be 0x%08x", at, l.checksum, l.computedChecksum)};
        uint64_t bytes = 0;
        for (const JournalBlock &b : l.blocks) bytes += b.length;   // at most 2^16 x 2^32
        if (bytes > l.bytesUsed - j.blockListSize)
            return {{}, format("The block list at %llu names %llu bytes of blocks, more than its %u bytes hold", at,
                               static_cast<unsigned long long>(bytes), l.bytesUsed)};
        uint64_t dataAt = ring.advance(l.at, j.blockListSize);
        for (const JournalBlock &b : l.blocks) {
            const bool killed = b.sector == kKilledBlock;
            const unsigned long long sector = b.sector;
            if (!killed && (b.sector > volumeBytes / j.headerSize || b.length > volumeBytes - b.sector * j.headerSize))
                return {{}, format("The block list at %llu writes %u bytes at sector %llu, past the volume's end", at,
                                   b.length, sector)};
            if (imageSize != 0 && b.length > imageSize)
                return {{}, format("The block list at %llu cannot be read whole: the image ends first", at)};
            std::vector<uint8_t> data(b.length);
            if (!ring.read(dataAt, data.data(), data.size()))
                return {{}, format("The block list at %llu cannot be read whole: the image ends first", at)};
            dataAt = ring.advance(dataAt, b.length);
            if (killed) continue;
            if (l.flags & kListSumsBlocks) {
                uint32_t sum = journalChecksum(data.data(), data.size());
                if (sum != b.checksum)
                    return {{}, format("The block list at %llu holds a copy of sector %llu with checksum 0x%08x, "
                                       "should be 0x%08x", at, sector, b.checksum, sum)};
            }
            g.writes.push_back({volume.partitionOffset() + b.sector * j.headerSize, std::move(data)});
        }
    }
    return g;
}

// The header as a replay leaves it: start and end where the replay stopped, summed again.
std::vector<uint8_t> emptiedHeader(const Volume &volume, const Journal &j, uint64_t at) {
    std::vector<uint8_t> header(kHeaderFields);
    if (volume.image().readAt(header.data(), header.size(), volume.partitionOffset() + j.offset) !=
        static_cast<ssize_t>(header.size()))
        return {};
    put(&header[8], at, 8, j.littleEndian);
    put(&header[16], at, 8, j.littleEndian);
    put(&header[36], 0, 4, j.littleEndian);
    put(&header[36], journalChecksum(header.data(), kHeaderChecksummed), 4, j.littleEndian);
    return header;
}

}  // namespace

std::vector<JournalTransaction> transactionsOf(const Journal &journal) {
    std::vector<JournalTransaction> out;
    bool continues = false;
    for (size_t i = 0; i < journal.lists.size(); ++i) {
        const JournalBlockList &l = journal.lists[i];
        const bool flagged = (l.flags & (kListSumsBlocks | kListFirstOfTransaction)) != 0;
        if (out.empty() || (flagged ? (l.flags & kListFirstOfTransaction) != 0 : !continues))
            out.push_back({i, 0, flagged ? std::optional<uint32_t>(l.next) : std::nullopt, 0});
        ++out.back().lists;
        out.back().blocks += l.blocks.size();
        continues = !flagged && l.next != 0;
    }
    return out;
}

std::optional<Replay> replayJournal(const Volume &volume, Messages &messages) {
    auto j = readJournal(volume);
    if (!j) return std::nullopt;
    Replay replay;
    if (!j->headerRead) {
        messages.err("%s", j->damage.c_str());
        replay.stoppedEarly = true;
        return replay;
    }
    if (j->checksum != j->computedChecksum) {
        messages.err("The journal header's checksum is 0x%08x, should be 0x%08x: nothing is replayed\n", j->checksum,
                     j->computedChecksum);
        replay.stoppedEarly = true;
        return replay;
    }
    if ((j->flags & kNeedsInit) || !j->unreplayed()) return replay;   // nothing in it counts
    auto overlay = std::make_shared<OverlayImage>(volume.sharedImage());
    const JournalRing ring(volume, *j);
    uint64_t at = j->start;
    std::string damage;
    for (const JournalTransaction &t : transactionsOf(*j)) {
        if (t.firstList + t.lists > j->soundLists) break;   // the walk's damage, said below
        Gathered g = gather(volume, *j, t);
        if (!g.damage.empty()) {
            damage = g.damage;
            break;
        }
        for (Write &w : g.writes) overlay->replace(w.position, std::move(w.data));
        replay.blocks += g.writes.size();
        replay.transactions.push_back(t);
        const JournalBlockList &last = j->lists[t.firstList + t.lists - 1];
        at = ring.advance(last.at, last.bytesUsed);
    }
    if (damage.empty()) damage = trimmed(j->damage);
    if (!damage.empty()) {
        messages.err("%s; replay stops there, keeping the %zu transactions before it\n", damage.c_str(),
                     replay.transactions.size());
        replay.stoppedEarly = true;
    }
    if (replay.transactions.empty()) return replay;
    std::vector<uint8_t> header = emptiedHeader(volume, *j, at);
    if (!header.empty()) overlay->replace(volume.partitionOffset() + j->offset, std::move(header));
    replay.image = std::move(overlay);
    return replay;
}

BlockOwners::BlockOwners(const Volume &volume, const Journal &journal)
    : volumeBytes_(volume.header().volumeBytes()), sectorSize_(journal.headerSize) {
    struct Special {
        size_t fork;
        uint32_t fileID;
        const char *name;
        int tree;
    };
    const Special specials[] = {{kAllocationForkOffset, kAllocationFileID, "bitmap", 0},
                                {kExtentsForkOffset, 0, "extents", kExtentsTree},
                                {kCatalogForkOffset, kCatalogTree, "catalog", kCatalogTree},
                                {kAttributesForkOffset, kAttributesTree, "attributes", kAttributesTree}};
    for (const Special &s : specials) {
        const BTree *tree = s.tree ? volume.tree(s.tree) : nullptr;
        uint64_t forkOffset = 0;
        for (const ForkMap::Piece &p : volume.mapFork(volume.header().fork(s.fork), {s.fileID, kDataForkType}).pieces) {
            if (p.position != UINT64_MAX && p.position >= volume.partitionOffset())
                spans_.push_back({p.position - volume.partitionOffset(), p.length, forkOffset, s.name,
                                  tree ? tree->nodeSize() : uint16_t{0}});
            forkOffset += p.length;
        }
    }
    spans_.push_back({uint64_t{journal.infoBlock} * volume.blockSize(), volume.blockSize(), 0, "journal", 0});
    spans_.push_back({journal.offset, journal.size, 0, "journal", 0});
}

std::string BlockOwners::of(uint64_t sector, uint64_t length) const {
    if (sector == kKilledBlock) return "killed";
    if (sectorSize_ == 0 || sector > volumeBytes_ / sectorSize_ || length > volumeBytes_ - sector * sectorSize_)
        return "past the volume's end";
    const uint64_t offset = sector * sectorSize_, end = offset + std::max<uint64_t>(length, 1);
    if (offset < kVolumeHeaderOffset + kVolumeHeaderSize && end > kVolumeHeaderOffset) return "volume header";
    if (volumeBytes_ >= kVolumeHeaderOffset && offset < volumeBytes_ - kVolumeHeaderOffset + kVolumeHeaderSize &&
        end > volumeBytes_ - kVolumeHeaderOffset)
        return "alternate volume header";
    for (const Span &s : spans_) {
        if (offset < s.start || offset - s.start >= s.length) continue;
        if (!s.nodeSize) return s.name;
        const unsigned long long first = (s.forkOffset + offset - s.start) / s.nodeSize,
                                 last = (s.forkOffset + (end - 1) - s.start) / s.nodeSize;
        return first == last ? format("%s node %llu", s.name, first) : format("%s nodes %llu-%llu", s.name, first, last);
    }
    return "other";
}
