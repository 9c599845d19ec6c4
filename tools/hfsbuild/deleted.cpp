#include "hfsbuild/deleted.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <stdexcept>

namespace hfsbuild {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kHeader = 1024, kAllocationFork = 112, kCatalogFork = 272, kAttributesFork = 352;
constexpr size_t kDataFork = 88, kResourceFork = 168;
constexpr uint16_t kFolder = 1, kFile = 2;

uint16_t be16(const Bytes &v, size_t at) { return static_cast<uint16_t>(v.at(at) << 8 | v.at(at + 1)); }
uint32_t be32(const Bytes &v, size_t at) { return uint32_t{be16(v, at)} << 16 | be16(v, at + 2); }

// A tree file as the builder lays it out: one extent.
struct TreeFile {
    size_t base = 0;
    uint16_t nodeSize = 0;
    size_t node(uint32_t n) const { return base + size_t{n} * nodeSize; }
    size_t slot(size_t node, size_t r) const { return node + nodeSize - 2 * (r + 1); }
};

TreeFile treeAt(const Bytes &image, size_t fork) {
    if (be32(image, kHeader + fork + 16 + 12) != 0) throw std::invalid_argument("hfsbuild: a tree in several extents");
    TreeFile t;
    t.base = size_t{be32(image, kHeader + fork + 16)} * be32(image, kHeader + 40);
    t.nodeSize = be16(image, t.base + 32);
    return t;
}

struct Record {
    uint32_t node;
    uint16_t index;
    size_t key, data;   // byte offsets in the image
};

// Every leaf record, leaves in chain order.
std::vector<Record> leafRecords(const Bytes &image, const TreeFile &t) {
    std::vector<Record> out;
    for (uint32_t n = be32(image, t.base + 14 + 10); n; n = be32(image, t.node(n)))
        for (uint16_t r = 0; r < be16(image, t.node(n) + 10); ++r) {
            size_t key = t.node(n) + be16(image, t.slot(t.node(n), r));
            out.push_back({n, r, key, key + 2 + be16(image, key)});
        }
    return out;
}

// Removes record `index` of the leaf at `node`: the records after it move up over it, and it stays
// whole where the free space now begins (returned, from the node's start).
uint16_t dropRecord(Bytes &image, const TreeFile &t, size_t node, uint16_t index) {
    const uint16_t count = be16(image, node + 10), from = be16(image, t.slot(node, index)),
                   to = be16(image, t.slot(node, index + 1u)), end = be16(image, t.slot(node, count));
    const Bytes record(image.begin() + static_cast<long>(node + from), image.begin() + static_cast<long>(node + to));
    std::memmove(&image[node + from], &image[node + to], end - to);
    for (size_t i = index; i < count; ++i) putBE16(image, t.slot(node, i), static_cast<uint16_t>(be16(image, t.slot(node, i + 1)) - (to - from)));
    putBE16(image, t.slot(node, count), 0);
    putBE16(image, node + 10, count - 1);
    std::copy(record.begin(), record.end(), image.begin() + static_cast<long>(node + end - record.size()));
    return static_cast<uint16_t>(end - record.size());
}

// A leaf left without records goes as its tree's last one does: the tree is empty, and the node
// free in the map (the builder's trees lose no other leaf).
void emptyTree(Bytes &image, const TreeFile &t, uint32_t leaf) {
    const size_t header = t.base + 14;
    if (be32(image, header + 2) != leaf || be16(image, header) != 1)
        throw std::invalid_argument("hfsbuild: a delete would empty a leaf that is not the tree's only one");
    putBE16(image, header, 0);   // depth, root, first and last leaf
    for (size_t field : {2, 10, 14}) putBE32(image, header + field, 0);
    putBE32(image, header + 26, be32(image, header + 26) + 1);   // free nodes
    image.at(t.base + be16(image, t.slot(t.base, 2)) + leaf / 8) &= static_cast<uint8_t>(~(0x80 >> leaf % 8));
}

// Drops the records, each leaf's last first so that the indexes before it hold, and lowers the
// tree's leaf count; each record's new offset, in the order given.
std::vector<uint16_t> dropAll(Bytes &image, const TreeFile &t, const std::vector<Record> &records) {
    std::vector<size_t> order(records.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return std::pair{records[a].node, records[a].index} > std::pair{records[b].node, records[b].index};
    });
    std::vector<uint16_t> offsets(records.size());
    for (size_t i : order) offsets[i] = dropRecord(image, t, t.node(records[i].node), records[i].index);
    putBE32(image, t.base + 14 + 6, be32(image, t.base + 14 + 6) - static_cast<uint32_t>(records.size()));
    for (const Record &r : records)
        if (be16(image, t.node(r.node) + 10) == 0) emptyTree(image, t, r.node);
    return offsets;
}

// Clears the bits of a fork's eight extents; how many were set.
uint32_t freeFork(Bytes &image, size_t bitmap, size_t fork) {
    uint32_t freed = 0;
    for (size_t e = 0; e < 8; ++e)
        for (uint32_t b = be32(image, fork + 16 + 8 * e), n = be32(image, fork + 20 + 8 * e); n; ++b, --n) {
            uint8_t &byte = image.at(bitmap + b / 8);
            const uint8_t bit = static_cast<uint8_t>(0x80 >> b % 8);
            freed += (byte & bit) != 0;
            byte &= static_cast<uint8_t>(~bit);
        }
    return freed;
}

}  // namespace

DeletedVolume buildDeleted(const Volume &volume, const Deletion &deletion) {
    DeletedVolume out{buildVolume(volume), 0, {}};
    Bytes &image = out.image;
    std::map<uint32_t, size_t> gone;   // CNID: its entry
    for (const std::string &path : deletion.paths) {
        const uint32_t cnid = cnidOf(volume, path);
        if (cnid == 0) throw std::invalid_argument("hfsbuild: no entry " + path + " to delete");
        gone[cnid] = out.entries.size();
        out.entries.push_back({path, cnid});
    }
    const TreeFile catalog = treeAt(image, kCatalogFork);
    const std::vector<Record> all = leafRecords(image, catalog);
    std::vector<Record> dropped;
    std::vector<DeletedEntry *> owners;   // the entry whose file or folder record each is; null for threads
    std::map<uint32_t, uint32_t> departed;   // a live parent's CNID: entries it loses
    for (const Record &r : all) {
        const uint16_t type = be16(image, r.data);
        const uint32_t id = type == kFolder || type == kFile ? be32(image, r.data + 8) : be32(image, r.key + 2);
        auto found = gone.find(id);
        if (found == gone.end()) continue;
        dropped.push_back(r);
        owners.push_back(type == kFolder || type == kFile ? &out.entries[found->second] : nullptr);
        if (!owners.back()) continue;
        DeletedEntry &entry = *owners.back();
        entry.leaf = r.node;
        entry.before = static_cast<uint16_t>(r.key - catalog.node(r.node));
        for (size_t fork : {kDataFork, kResourceFork})
            if (type == kFile && entry.blockCount == 0) {
                entry.startBlock = be32(image, r.data + fork + 16), entry.blockCount = be32(image, r.data + fork + 20);
                entry.resource = fork == kResourceFork;
            }
        const uint32_t parent = be32(image, r.key + 2);
        if (!gone.contains(parent)) ++departed[parent];
        const size_t count = kHeader + (type == kFile ? 32 : 36);   // the header's file or folder count
        putBE32(image, count, be32(image, count) - 1);
    }
    if (deletion.freedCopy && !out.entries.empty()) {
        const uint32_t last = be32(image, catalog.base + 36) - 1;
        const size_t copy = catalog.node(last), leaf = catalog.node(out.entries.front().leaf);
        if (std::all_of(image.begin() + static_cast<long>(copy), image.begin() + static_cast<long>(copy + catalog.nodeSize),
                        [](uint8_t b) { return b == 0; })) {
            std::copy_n(image.begin() + static_cast<long>(leaf), catalog.nodeSize, image.begin() + static_cast<long>(copy));
            out.freeNode = last;
        }
    }
    for (const Record &r : all)   // the live parents' valences, before the records move
        if (be16(image, r.data) == kFolder && departed.contains(be32(image, r.data + 8)))
            putBE32(image, r.data + 4, be32(image, r.data + 4) - departed[be32(image, r.data + 8)]);
    const size_t bitmap = size_t{be32(image, kHeader + kAllocationFork + 16)} * be32(image, kHeader + 40);
    for (const Record &r : dropped)
        if (be16(image, r.data) == kFile && std::count(deletion.freed.begin(), deletion.freed.end(),
                                                         out.entries[gone[be32(image, r.data + 8)]].path))
            putBE32(image, kHeader + 48,
                    be32(image, kHeader + 48) + freeFork(image, bitmap, r.data + kDataFork) + freeFork(image, bitmap, r.data + kResourceFork));
    const std::vector<uint16_t> offsets = dropAll(image, catalog, dropped);
    for (size_t i = 0; i < dropped.size(); ++i)
        if (owners[i]) owners[i]->offset = offsets[i];
    if (be32(image, kHeader + kAttributesFork + 12) != 0) {   // the attributes go with their file
        const TreeFile attributes = treeAt(image, kAttributesFork);
        std::vector<Record> theirs;
        for (const Record &r : leafRecords(image, attributes))
            if (gone.contains(be32(image, r.key + 4))) theirs.push_back(r);
        dropAll(image, attributes, theirs);
    }
    return out;
}

}  // namespace hfsbuild
