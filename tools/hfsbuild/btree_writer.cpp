#include "hfsbuild/btree_writer.h"

#include <span>
#include <stdexcept>

#include "hfsbuild/hfsbuild.h"

namespace hfsbuild {

namespace {

constexpr size_t kDescriptorSize = 14;
constexpr size_t kHeaderRecordSize = 106;
constexpr size_t kUserDataSize = 128;
constexpr uint8_t kLeafKind = 0xFF, kIndexKind = 0, kHeaderKind = 1, kMapKind = 2;

// One level of the tree: node i holds records [starts[i], starts[i + 1]). An index level owns its
// records; the leaves' are the caller's.
struct Level {
    std::vector<BTreeRecord> index;
    std::vector<size_t> starts;
    size_t nodes() const { return starts.size() - 1; }
};

// Fills nodes front to back; a node holds its descriptor, records and one offset per record plus
// the free-space offset.
std::vector<size_t> packNodes(const std::vector<BTreeRecord> &records, uint16_t nodeSize) {
    std::vector<size_t> starts;
    size_t used = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        size_t size = records[i].key.size() + records[i].data.size();
        if (kDescriptorSize + size + 4 > nodeSize)
            throw std::invalid_argument("B-tree record larger than a node");
        if (starts.empty() || used + size + 2 * (i - starts.back() + 2) > nodeSize) {
            starts.push_back(i);
            used = kDescriptorSize;
        }
        used += size;
    }
    starts.push_back(records.size());
    return starts;
}

// Leaves first, then each index level above; node numbers follow that order starting at 1.
std::vector<Level> packLevels(const std::vector<BTreeRecord> &sorted, uint16_t nodeSize) {
    std::vector<Level> levels;
    if (sorted.empty()) return levels;
    levels.push_back({{}, packNodes(sorted, nodeSize)});
    uint32_t firstNode = 1;
    while (levels.back().nodes() > 1) {
        const Level &below = levels.back();
        const std::vector<BTreeRecord> &records = levels.size() == 1 ? sorted : below.index;
        Level above;
        for (size_t i = 0; i < below.nodes(); ++i) {
            Bytes child;
            appendBE32(child, firstNode + static_cast<uint32_t>(i));
            above.index.push_back({records[below.starts[i]].key, std::move(child)});
        }
        firstNode += static_cast<uint32_t>(below.nodes());
        above.starts = packNodes(above.index, nodeSize);
        if (above.nodes() >= below.nodes()) throw std::invalid_argument("B-tree keys too long for the node size");
        levels.push_back(std::move(above));
    }
    return levels;
}

// The header node and the index and leaf nodes.
uint32_t nodeCount(const std::vector<Level> &levels) {
    uint32_t count = 1;
    for (const Level &level : levels) count += static_cast<uint32_t>(level.nodes());
    return count;
}

// The allocation map: the header node's map record covers the first nodes, then each map node's
// single record the next ones. A map node's record ends 2 bytes short of its offset table, as
// Mac OS and Linux write it.
size_t headerMapBytes(uint16_t nodeSize) { return nodeSize - kDescriptorSize - kHeaderRecordSize - kUserDataSize - 8; }
size_t mapNodeBytes(uint16_t nodeSize) { return nodeSize - kDescriptorSize - 6; }

// Map nodes that a tree file of totalNodes nodes needs for a bit per node.
uint32_t mapNodesFor(uint16_t nodeSize, uint64_t totalNodes) {
    uint64_t inHeader = headerMapBytes(nodeSize) * 8, perNode = mapNodeBytes(nodeSize) * 8;
    return totalNodes <= inHeader ? 0 : static_cast<uint32_t>((totalNodes - inHeader + perNode - 1) / perNode);
}

// `bytes` of the map from node firstNode on: most significant bit first, set for nodes in use,
// which are the first usedNodes.
Bytes mapBits(size_t bytes, uint64_t firstNode, uint64_t usedNodes) {
    Bytes map(bytes, 0);
    for (uint64_t n = firstNode; n < usedNodes && n < firstNode + bytes * 8; ++n)
        map[(n - firstNode) / 8] |= static_cast<uint8_t>(0x80u >> ((n - firstNode) % 8));
    return map;
}

void writeDescriptor(Bytes &file, size_t at, uint32_t fLink, uint32_t bLink, uint8_t kind, uint8_t height,
                     uint16_t numRecords) {
    putBE32(file, at, fLink);
    putBE32(file, at + 4, bLink);
    file[at + 8] = kind;
    file[at + 9] = height;
    putBE16(file, at + 10, numRecords);
}

// Records (key, then data) from offset 14 on; the offset table grows backwards from the node's end.
void writeRecords(Bytes &file, size_t nodeStart, uint16_t nodeSize, std::span<const BTreeRecord> records) {
    size_t offset = kDescriptorSize;
    auto at = file.begin() + static_cast<std::ptrdiff_t>(nodeStart);
    for (size_t i = 0; i < records.size(); ++i) {
        putBE16(file, nodeStart + nodeSize - 2 * (i + 1), static_cast<uint16_t>(offset));
        for (const Bytes *piece : {&records[i].key, &records[i].data}) {
            std::copy(piece->begin(), piece->end(), at + static_cast<std::ptrdiff_t>(offset));
            offset += piece->size();
        }
    }
    putBE16(file, nodeStart + nodeSize - 2 * (records.size() + 1), static_cast<uint16_t>(offset));
}

Bytes headerRecord(const BTreeShape &shape, const std::vector<Level> &levels, uint32_t leafRecords,
                   uint32_t totalNodes, uint32_t usedNodes, uint32_t clumpSize) {
    uint32_t leaves = levels.empty() ? 0 : static_cast<uint32_t>(levels[0].nodes());
    Bytes r;
    appendBE16(r, static_cast<uint16_t>(levels.size()));       // treeDepth
    appendBE32(r, levels.empty() ? 0 : nodeCount(levels) - 1);  // rootNode: the last index or leaf node
    appendBE32(r, leafRecords);
    appendBE32(r, leaves ? 1 : 0);                              // firstLeafNode
    appendBE32(r, leaves);                                      // lastLeafNode
    appendBE16(r, shape.nodeSize);
    appendBE16(r, shape.maxKeyLength);
    appendBE32(r, totalNodes);
    appendBE32(r, totalNodes - usedNodes);                      // freeNodes
    appendBE16(r, 0);                                           // reserved1
    appendBE32(r, clumpSize);
    r.push_back(0);                                             // btreeType: kHFSBTreeType
    r.push_back(shape.keyCompareType);
    appendBE32(r, shape.attributes);
    r.resize(kHeaderRecordSize, 0);                             // reserved3
    return r;
}

}  // namespace

void appendBE16(Bytes &out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void appendBE32(Bytes &out, uint32_t value) {
    appendBE16(out, static_cast<uint16_t>(value >> 16));
    appendBE16(out, static_cast<uint16_t>(value));
}

void appendBE64(Bytes &out, uint64_t value) {
    appendBE32(out, static_cast<uint32_t>(value >> 32));
    appendBE32(out, static_cast<uint32_t>(value));
}

uint32_t btreeNodesNeeded(const BTreeShape &shape, const std::vector<BTreeRecord> &sorted) {
    uint32_t nodes = nodeCount(packLevels(sorted, shape.nodeSize)), maps = 0;
    while (mapNodesFor(shape.nodeSize, uint64_t{nodes} + maps) > maps) ++maps;
    return nodes + maps;
}

// Node 0 is the header node; the leaves, then each index level, follow; the map nodes come last,
// chained from the header node by their forward links.
Bytes writeBTree(const BTreeShape &shape, const std::vector<BTreeRecord> &sorted, uint32_t totalNodes,
                 uint32_t clumpSize) {
    const uint16_t nodeSize = shape.nodeSize;
    std::vector<Level> levels = packLevels(sorted, nodeSize);
    const uint32_t firstMap = nodeCount(levels), maps = mapNodesFor(nodeSize, totalNodes);
    const uint64_t used = uint64_t{firstMap} + maps;
    if (totalNodes < used) throw std::invalid_argument("B-tree file too small for its records");
    Bytes file(uint64_t{totalNodes} * nodeSize, 0);

    writeDescriptor(file, 0, maps ? firstMap : 0, 0, kHeaderKind, 0, 3);
    const BTreeRecord header[] = {
        {headerRecord(shape, levels, static_cast<uint32_t>(sorted.size()), totalNodes, static_cast<uint32_t>(used), clumpSize), {}},
        {Bytes(kUserDataSize, 0), {}},
        {mapBits(headerMapBytes(nodeSize), 0, used), {}}};
    writeRecords(file, 0, nodeSize, header);

    uint64_t covered = headerMapBytes(nodeSize) * 8;
    for (uint32_t i = 0; i < maps; ++i, covered += mapNodeBytes(nodeSize) * 8) {
        uint32_t number = firstMap + i;
        writeDescriptor(file, size_t{number} * nodeSize, i + 1 < maps ? number + 1 : 0, 0, kMapKind, 0, 1);
        const BTreeRecord map[] = {{mapBits(mapNodeBytes(nodeSize), covered, used), {}}};
        writeRecords(file, size_t{number} * nodeSize, nodeSize, map);
    }

    uint32_t number = 1;
    for (size_t height = 1; height <= levels.size(); ++height) {
        const Level &level = levels[height - 1];
        const std::vector<BTreeRecord> &records = height == 1 ? sorted : level.index;
        for (size_t i = 0; i < level.nodes(); ++i, ++number) {
            uint32_t fLink = i + 1 < level.nodes() ? number + 1 : 0;
            uint32_t bLink = i > 0 ? number - 1 : 0;
            size_t start = size_t{number} * nodeSize, first = level.starts[i], count = level.starts[i + 1] - first;
            writeDescriptor(file, start, fLink, bLink, height == 1 ? kLeafKind : kIndexKind,
                            static_cast<uint8_t>(height), static_cast<uint16_t>(count));
            writeRecords(file, start, nodeSize, std::span(records).subspan(first, count));
        }
    }
    return file;
}

}  // namespace hfsbuild
