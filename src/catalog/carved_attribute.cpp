#include "catalog/carved_attribute.h"

#include <algorithm>
#include <functional>

#include "base/bits.h"
#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/decmpfs.h"
#include "catalog/deleted.h"
#include "volume/journal.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t kChunk = 1 << 20;
constexpr uint32_t kDecmpfsMagicLE = 0x636d7066;   // "fpmc" read little-endian

// What every decmpfs record's key holds after its CNID: start block 0, the name's length and units.
std::vector<uint8_t> decmpfsKeyTail() {
    const std::u16string name = u"com.apple.decmpfs";
    std::vector<uint8_t> tail{0, 0, 0, 0, 0, static_cast<uint8_t>(name.size())};
    for (char16_t unit : name) tail.insert(tail.end(), {static_cast<uint8_t>(unit >> 8), static_cast<uint8_t>(unit)});
    return tail;
}
constexpr size_t kKeyHead = 8;   // key length, pad, CNID

// The value of an inline record whose key starts `at` in `bytes`, when whole and a sound decmpfs header.
std::optional<std::vector<uint8_t>> inlineValue(Bytes bytes, size_t at, size_t keySize) {
    AttributeData data{bytes.from(at + keySize)};
    if (data.recordType() != kAttrInlineData || data.inlineSize() > data.inlineSpan().size) return std::nullopt;
    Bytes value = data.inlineBytes();
    auto header = DecmpfsHeader::parse(value);
    if (!header || value.le32(0) != kDecmpfsMagicLE) return std::nullopt;
    return std::vector<uint8_t>(value.data, value.data + value.size);
}

// Reads [0, size) of something through `read` a megabyte at a time, each chunk with enough of the
// next that a record across the boundary is seen whole (an inline value lies inside one node), and
// adds each CNID's first sound record, placed by `place(offset)`.
void search(uint64_t size, const std::function<bool(uint64_t, uint8_t *, size_t)> &read,
            const std::function<std::string(uint64_t)> &place, std::map<uint32_t, CarvedAttribute> &found) {
    static const std::vector<uint8_t> tail = decmpfsKeyTail();
    const size_t keySize = kKeyHead + tail.size();
    std::vector<uint8_t> buffer;
    for (uint64_t at = 0; at < size && !g_Interrupted; at += kChunk) {
        buffer.resize(static_cast<size_t>(std::min<uint64_t>(kChunk + keySize + kMaxNodeSize, size - at)));
        if (!read(at, buffer.data(), buffer.size())) return;
        const Bytes bytes{buffer.data(), buffer.size()};
        // Keys that begin inside this chunk; the next chunk looks at the rest.
        const auto end = buffer.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(buffer.size(), kChunk + keySize - 1));
        for (auto hit = std::search(buffer.begin() + kKeyHead, end, tail.begin(), tail.end()); hit != end;
             hit = std::search(hit + 1, end, tail.begin(), tail.end())) {
            const size_t key = static_cast<size_t>(hit - buffer.begin()) - kKeyHead;
            if (bytes.be16(key) != keySize - 2 || bytes.be16(key + 2) != 0 || found.contains(bytes.be32(key + 4))) continue;
            if (auto value = inlineValue(bytes, key, keySize)) found.emplace(bytes.be32(key + 4), CarvedAttribute{std::move(*value), place(at + key)});
        }
    }
}

}  // namespace

std::map<uint32_t, CarvedAttribute> carvedDecmpfs(const Volume &volume, Messages &messages) {
    std::map<uint32_t, CarvedAttribute> found;
    // The ring first: every transaction that wrote an attribute's node copied it there.
    if (auto journal = readJournal(volume); journal && journal->headerRead && journal->size > journal->headerSize) {
        const JournalRing ring(volume, *journal);
        const uint64_t from = journal->headerSize;
        search(journal->size - from, [&](uint64_t at, uint8_t *out, size_t length) { return ring.read(from + at, out, length); },
               [&](uint64_t at) { return "journal offset " + std::to_string(from + at); }, found);
    }
    if (const BTree *tree = volume.attributes())
        search(tree->size(), [&](uint64_t at, uint8_t *out, size_t length) { return tree->read(at, out, length) == length; },
               [](uint64_t at) { return "attributes file offset " + std::to_string(at); }, found);
    if (g_Interrupted) messages.err("Interrupted: the search for surviving decmpfs attributes stopped\n");
    return found;
}

std::optional<const CarvedAttribute *> SurvivingDecmpfs::of(const DeletedRecord &record, Messages &messages) {
    constexpr uint8_t kCompressedFlag = 0x20;   // UF_COMPRESSED, in the owner's flags
    Messages quiet;                             // an attribute the tree lacks is what is looked for
    if (record.folder() || !(CatalogRecord{record.data()}.ownerFlags() & kCompressedFlag) ||
        decmpfsAttribute(volume_, record.cnid, quiet))
        return std::nullopt;
    if (!found_) found_ = carvedDecmpfs(volume_, messages);
    auto found = found_->find(record.cnid);
    return found == found_->end() ? nullptr : &found->second;
}
