// Small B-trees built byte by byte, for tests of the B-tree engine on exact (and damaged) layouts.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "volume/btree_file.h"

namespace tiny {

using ByteVec = std::vector<uint8_t>;

inline void put16(ByteVec &v, size_t off, uint16_t x) { v[off] = x >> 8, v[off + 1] = x & 0xFF; }
inline void put32(ByteVec &v, size_t off, uint32_t x) { put16(v, off, x >> 16), put16(v, off + 2, x & 0xFFFF); }

inline void append16(ByteVec &v, uint16_t x) { v.push_back(x >> 8), v.push_back(x & 0xFF); }
inline void append32(ByteVec &v, uint32_t x) { append16(v, x >> 16), append16(v, x & 0xFFFF); }

// A key: its length, the fields before the name, then the counted name.
inline ByteVec keyNamed(const ByteVec &fields, const std::u16string &name) {
    ByteVec key(2, 0);
    put16(key, 0, static_cast<uint16_t>(fields.size() + 2 + 2 * name.size()));
    for (uint8_t byte : fields) key.push_back(byte);   // not insert(): g++ 12 warns falsely of its bounds
    append16(key, static_cast<uint16_t>(name.size()));
    for (char16_t unit : name) append16(key, unit);
    return key;
}
inline ByteVec catalogKey(uint32_t parent, std::u16string name) {
    return keyNamed({uint8_t(parent >> 24), uint8_t(parent >> 16), uint8_t(parent >> 8), uint8_t(parent)}, name);
}
inline ByteVec attributeKey(uint32_t fileID, std::u16string name = u"") {   // pad, file ID, start block 0
    return keyNamed({0, 0, uint8_t(fileID >> 24), uint8_t(fileID >> 16), uint8_t(fileID >> 8), uint8_t(fileID), 0, 0, 0, 0}, name);
}
inline ByteVec withChild(ByteVec key, uint32_t child) { return append32(key, child), key; }

constexpr uint16_t kNode = 512;

// A tree of nodes of 512 bytes: node 0 the header, then the given nodes (kind, records). Tests
// damage the bytes, then read them through tree().
struct TinyTree {
    ByteVec bytes;
    explicit TinyTree(uint32_t root, const std::vector<std::pair<int8_t, std::vector<ByteVec>>> &nodes,
                      uint32_t totalNodes = 0) {
        ByteVec &b = bytes;
        b.assign(kNode * (nodes.size() + 1), 0);
        b[8] = kHeaderNode, put16(b, 10, 3), put32(b, 16, root), put16(b, 32, kNode);
        put32(b, 36, totalNodes ? totalNodes : static_cast<uint32_t>(nodes.size() + 1));
        for (size_t n = 0; n < nodes.size(); ++n) {
            size_t base = kNode * (n + 1), at = base + kNodeDescriptorSize;
            b[base + 8] = static_cast<uint8_t>(nodes[n].first);
            put16(b, base + 10, static_cast<uint16_t>(nodes[n].second.size()));
            for (size_t r = 0; r < nodes[n].second.size(); ++r) {
                put16(b, base + kNode - 2 * (r + 1), static_cast<uint16_t>(at - base));
                std::copy(nodes[n].second[r].begin(), nodes[n].second[r].end(), b.begin() + at);
                at += nodes[n].second[r].size();
            }
        }
    }
    BTree tree() const { return BTree(bytes); }
};

}  // namespace tiny
