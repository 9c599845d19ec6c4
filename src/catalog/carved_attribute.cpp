#include "catalog/carved_attribute.h"

#include <algorithm>
#include <functional>

#include "base/bits.h"
#include "base/output.h"
#include "btree/records.h"
#include "catalog/decmpfs.h"
#include "volume/journal.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t kChunk = 1 << 20;
constexpr uint32_t kDecmpfsMagicLE = 0x636d7066;   // "fpmc" read little-endian

// The record's key as the tree stores it: key length, pad, CNID, start block 0, the name.
std::vector<uint8_t> decmpfsKey(uint32_t cnid) {
    const std::u16string name = u"com.apple.decmpfs";
    std::vector<uint8_t> key{0, static_cast<uint8_t>(12 + 2 * name.size()), 0, 0};
    for (int shift : {24, 16, 8, 0}) key.push_back(static_cast<uint8_t>(cnid >> shift));
    key.insert(key.end(), {0, 0, 0, 0, 0, static_cast<uint8_t>(name.size())});
    for (char16_t unit : name) key.insert(key.end(), {static_cast<uint8_t>(unit >> 8), static_cast<uint8_t>(unit)});
    return key;
}

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
// next that a record across the boundary is seen whole (an inline value lies inside one node); the
// first sound record of `key` wins, its offset in `found`.
std::optional<std::vector<uint8_t>> search(uint64_t size, const std::function<bool(uint64_t, uint8_t *, size_t)> &read,
                                           const std::vector<uint8_t> &key, uint64_t *found) {
    const size_t overlap = key.size() + kMaxNodeSize;
    std::vector<uint8_t> buffer;
    for (uint64_t at = 0; at < size && !g_Interrupted; at += kChunk) {
        buffer.resize(static_cast<size_t>(std::min<uint64_t>(kChunk + overlap, size - at)));
        if (!read(at, buffer.data(), buffer.size())) return std::nullopt;
        // Keys that begin inside this chunk; the next chunk looks at the rest.
        const auto end = buffer.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(buffer.size(), kChunk + key.size() - 1));
        for (auto hit = std::search(buffer.begin(), end, key.begin(), key.end()); hit != end;
             hit = std::search(hit + 1, end, key.begin(), key.end())) {
            const size_t offset = static_cast<size_t>(hit - buffer.begin());
            if (auto value = inlineValue({buffer.data(), buffer.size()}, offset, key.size())) {
                *found = at + offset;
                return value;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<CarvedAttribute> carvedDecmpfs(const Volume &volume, uint32_t cnid, Messages &messages) {
    const std::vector<uint8_t> key = decmpfsKey(cnid);
    uint64_t found = 0;
    // The ring first: every transaction that wrote the attribute's node copied it there.
    if (auto journal = readJournal(volume); journal && journal->headerRead && journal->size > journal->headerSize) {
        const JournalRing ring(volume, *journal);
        const uint64_t from = journal->headerSize;
        auto value = search(journal->size - from, [&](uint64_t at, uint8_t *out, size_t length) { return ring.read(from + at, out, length); },
                            key, &found);
        if (value) return CarvedAttribute{std::move(*value), "journal offset " + std::to_string(from + found)};
    }
    const BTree *tree = volume.attributes();
    if (!tree) return std::nullopt;
    auto value = search(tree->size(), [&](uint64_t at, uint8_t *out, size_t length) { return tree->read(at, out, length) == length; },
                        key, &found);
    if (!value) {
        if (g_Interrupted) messages.err("Interrupted: the search for a surviving decmpfs attribute stopped\n");
        return std::nullopt;
    }
    return CarvedAttribute{std::move(*value), "attributes file offset " + std::to_string(found)};
}
