#include "image/sparse.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "image/bands.h"

// The layout read here, all big-endian. The file starts with a 4096-byte header, also the first
// index node: "sprs" at 0, format version 3 at 4, sectors (512 bytes) per band at 8, the next index
// node's file offset at 12 (32 bits, the room left before the size; 0: none), the image's size in
// sectors at 16 (32 bits), the size again at 24 as 64 bits for images past 2 TiB (0 where only
// the 32-bit size is given: those bytes are zero in such headers), and 1008 band slots from 64.
// Every further index node takes 4096 bytes: "sprs" at 0, its number at 4, flags at 8, the next
// node's offset at 12 (64 bits; 0: none), 1010 band slots from 56. Slot k of the node at N holds
// the number (from 1; 0: unused) of the band whose data fills bandBytes at N + 4096 + k × bandBytes,
// so a node comes after the bands of the one before it. A band in no slot reads as zeros.

namespace {

constexpr uint64_t kNodeBytes = 4096, kSector = 512;
constexpr uint32_t kVersion = 3;
constexpr uint32_t kMaxSectorsPerBand = 1u << 21;   // bands of 1 GiB; hdiutil makes 1 MiB ones

// A band the index lists: its number (from 1) and its slot.
struct Stored {
    uint32_t band, slot;
    uint64_t node;   // the slot's node's file offset
};

class SparseImage final : public BandedImage {
public:
    SparseImage(std::shared_ptr<const Image> file, uint64_t size, uint64_t bandBytes, std::vector<Stored> stored)
        : BandedImage(size, bandBytes), file_(std::move(file)), stored_(std::move(stored)) {}

protected:
    ssize_t readBand(uint64_t band, uint64_t within, uint8_t *buffer, size_t len) const override {
        auto found = std::lower_bound(stored_.begin(), stored_.end(), band + 1,
                                      [](const Stored &s, uint64_t number) { return s.band < number; });
        if (found == stored_.end() || found->band != band + 1) return 0;
        return file_->readAt(buffer, len, found->node + kNodeBytes + found->slot * bandBytes() + within);
    }

private:
    std::shared_ptr<const Image> file_;
    std::vector<Stored> stored_;   // by band number
};

// One kind of damaged slot, said once with its first instance and how many there were.
struct SlotDamage {
    uint64_t count = 0;
    Stored first{};
    void add(Stored slot) {
        if (count++ == 0) first = slot;
    }
    void say(Messages &messages, const char *what) const {
        if (count == 0) return;
        messages.err("Sparse image: %llu band slot%s %s (first: band %u in slot %u of the index node at %llu): ignored\n",
                     static_cast<unsigned long long>(count), count == 1 ? "" : "s", what, first.band, first.slot,
                     static_cast<unsigned long long>(first.node));
    }
};

// The stored bands the chain of index nodes lists, sorted by band number. The walk ends where a
// node's next offset does not lie past what the node holds, so it cannot loop.
std::vector<Stored> readIndex(const Image &file, std::vector<uint8_t> node, uint64_t bandBytes, uint64_t bands,
                              Messages &messages) {
    uint64_t fileSize = file.size();
    std::vector<Stored> stored;
    SlotDamage outOfRange, pastEnd, repeated;
    for (uint64_t at = 0;;) {
        Bytes view{node.data(), node.size()};
        bool first = at == 0;
        size_t slots = first ? 64 : 56;
        uint32_t count = first ? 1008 : 1010;
        uint64_t end = at + kNodeBytes;   // past the node and the bands it lists
        for (uint32_t k = 0; k < count; ++k) {
            Stored slot{view.be32(slots + 4 * k), k, at};
            if (slot.band == 0) continue;
            uint64_t offset = at + kNodeBytes + k * bandBytes;
            end = offset + bandBytes;
            if (slot.band > bands)
                outOfRange.add(slot);
            else if (offset >= fileSize)
                pastEnd.add(slot);
            else
                stored.push_back(slot);
        }
        uint64_t next = first ? view.be32(12) : view.be64(12);
        // hdiutil's headers hold 1 here where no node follows: no offset inside the header names one.
        if (next == 0 || (first && next < kNodeBytes)) break;
        const char *wrong = next < end ? "back into the chain" : next > fileSize - kNodeBytes ? "past the end of the file" : nullptr;
        if (!wrong && (file.readAt(node.data(), kNodeBytes, next) != static_cast<ssize_t>(kNodeBytes) ||
                       memcmp(node.data(), "sprs", 4) != 0))
            wrong = "to no index node";
        if (wrong) {
            messages.err("Sparse image: the index node at %llu points %s (at %llu): the nodes after it are not read\n",
                         static_cast<unsigned long long>(at), wrong, static_cast<unsigned long long>(next));
            break;
        }
        at = next;
    }
    // The first slot naming a band is the one read.
    std::stable_sort(stored.begin(), stored.end(), [](const Stored &a, const Stored &b) { return a.band < b.band; });
    auto kept = std::unique(stored.begin(), stored.end(), [&](const Stored &a, const Stored &b) {
        if (a.band != b.band) return false;
        repeated.add(b);
        return true;
    });
    stored.erase(kept, stored.end());
    outOfRange.say(messages, ("naming a band past the image's " + std::to_string(bands) + " bands").c_str());
    pastEnd.say(messages, "whose band lies past the end of the file");
    repeated.say(messages, "repeating a band already stored");
    return stored;
}

}  // namespace

bool isSparseImage(Bytes probe) { return probe.has(0, 4) && memcmp(probe.data, "sprs", 4) == 0; }

std::unique_ptr<Image> openSparseImage(std::shared_ptr<const Image> file, Messages &messages) {
    std::vector<uint8_t> header(kNodeBytes);
    ssize_t got = file->readAt(header.data(), header.size(), 0);
    Bytes view{header.data(), header.size()};
    // The index walk measures offsets against the file's size: one that is not known is no file.
    uint64_t have = got < 0 ? 0 : std::min<uint64_t>(static_cast<uint64_t>(got), file->size());
    if (have < kNodeBytes) {
        messages.err("The sparse image's header is cut short: %llu of its %llu bytes\n", static_cast<unsigned long long>(have),
                     static_cast<unsigned long long>(kNodeBytes));
        return nullptr;
    }
    if (!isSparseImage(view)) {
        messages.err("No sparse image header (\"sprs\") at the start of the file\n");
        return nullptr;
    }
    if (uint32_t version = view.be32(4); version != kVersion) {
        messages.err("The sparse image has format version %u; Tarnwick reads version %u\n", version, kVersion);
        return nullptr;
    }
    uint32_t sectorsPerBand = view.be32(8);
    if (sectorsPerBand == 0 || sectorsPerBand > kMaxSectorsPerBand) {
        messages.err("The sparse image's header gives %u sectors per band (1 to %u expected)\n", sectorsPerBand,
                     kMaxSectorsPerBand);
        return nullptr;
    }
    uint64_t sectors = view.be64(24) ? view.be64(24) : view.be32(16);
    if (sectors > static_cast<uint64_t>(INT64_MAX) / kSector) {
        messages.err("The sparse image's size, %llu sectors, is more than a file can hold\n",
                     static_cast<unsigned long long>(sectors));
        return nullptr;
    }
    uint64_t size = sectors * kSector, bandBytes = sectorsPerBand * kSector;
    uint64_t bands = size / bandBytes + (size % bandBytes != 0);
    if (bands > UINT32_MAX) {
        messages.err("The sparse image's %llu bands are more than its 32-bit band numbers can name\n",
                     static_cast<unsigned long long>(bands));
        return nullptr;
    }
    std::vector<Stored> stored = readIndex(*file, std::move(header), bandBytes, bands, messages);
    return std::make_unique<SparseImage>(std::move(file), size, bandBytes, std::move(stored));
}
