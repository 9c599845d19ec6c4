#include "hfsbuild/btree_writer.h"

#include <stdexcept>

#include "hfsbuild/hfsbuild.h"

namespace hfsbuild {

namespace {

constexpr size_t kDescriptorSize = 14;
constexpr size_t kHeaderRecordSize = 106;
constexpr size_t kUserDataSize = 128;
constexpr uint8_t kLeafKind = 0xFF, kIndexKind = 0, kHeaderKind = 1;

using NodeRecords = std::vector<BTreeRecord>;
using Level = std::vector<NodeRecords>;

// Fills nodes front to back; a node holds its descriptor, records and one offset per record plus
// the free-space offset.
Level packNodes(const std::vector<BTreeRecord> &records, uint16_t nodeSize) {
    Level level;
    size_t used = 0;
    for (const BTreeRecord &record : records) {
        size_t size = record.key.size() + record.data.size();
        if (kDescriptorSize + size + 4 > nodeSize)
            throw std::invalid_argument("B-tree record larger than a node");
        if (level.empty() || used + size + 2 * (level.back().size() + 2) > nodeSize) {
            level.emplace_back();
            used = kDescriptorSize;
        }
        level.back().push_back(record);
        used += size;
    }
    return level;
}

// Leaves first, then each index level above; node numbers follow that order starting at 1.
std::vector<Level> packLevels(const std::vector<BTreeRecord> &sorted, uint16_t nodeSize) {
    std::vector<Level> levels;
    if (sorted.empty()) return levels;
    levels.push_back(packNodes(sorted, nodeSize));
    uint32_t firstNode = 1;
    while (levels.back().size() > 1) {
        std::vector<BTreeRecord> index;
        for (size_t i = 0; i < levels.back().size(); ++i) {
            Bytes child;
            appendBE32(child, firstNode + static_cast<uint32_t>(i));
            index.push_back({levels.back()[i].front().key, child});
        }
        firstNode += static_cast<uint32_t>(levels.back().size());
        Level above = packNodes(index, nodeSize);
        if (above.size() >= levels.back().size())
            throw std::invalid_argument("B-tree keys too long for the node size");
        levels.push_back(std::move(above));
    }
    return levels;
}

uint32_t nodeCount(const std::vector<Level> &levels) {
    uint32_t count = 1;
    for (const Level &level : levels) count += static_cast<uint32_t>(level.size());
    return count;
}

void writeDescriptor(Bytes &file, size_t at, uint32_t fLink, uint32_t bLink, uint8_t kind, uint8_t height,
                     uint16_t numRecords) {
    putBE32(file, at, fLink);
    putBE32(file, at + 4, bLink);
    file[at + 8] = kind;
    file[at + 9] = height;
    putBE16(file, at + 10, numRecords);
}

// Records from offset 14 on; the offset table grows backwards from the node's end.
void writeRecords(Bytes &file, size_t nodeStart, uint16_t nodeSize, const std::vector<Bytes> &records) {
    size_t offset = kDescriptorSize;
    for (size_t i = 0; i < records.size(); ++i) {
        putBE16(file, nodeStart + nodeSize - 2 * (i + 1), static_cast<uint16_t>(offset));
        std::copy(records[i].begin(), records[i].end(), file.begin() + nodeStart + offset);
        offset += records[i].size();
    }
    putBE16(file, nodeStart + nodeSize - 2 * (records.size() + 1), static_cast<uint16_t>(offset));
}

Bytes headerRecord(const BTreeShape &shape, const std::vector<Level> &levels, uint32_t leafRecords,
                   uint32_t totalNodes, uint32_t clumpSize) {
    uint32_t leaves = levels.empty() ? 0 : static_cast<uint32_t>(levels[0].size());
    uint32_t used = nodeCount(levels);
    Bytes r;
    appendBE16(r, static_cast<uint16_t>(levels.size()));  // treeDepth
    appendBE32(r, levels.empty() ? 0 : used - 1);           // rootNode: the last node numbered
    appendBE32(r, leafRecords);
    appendBE32(r, leaves ? 1 : 0);                          // firstLeafNode
    appendBE32(r, leaves);                                  // lastLeafNode
    appendBE16(r, shape.nodeSize);
    appendBE16(r, shape.maxKeyLength);
    appendBE32(r, totalNodes);
    appendBE32(r, totalNodes - used);                       // freeNodes
    appendBE16(r, 0);                                       // reserved1
    appendBE32(r, clumpSize);
    r.push_back(0);                                         // btreeType: kHFSBTreeType
    r.push_back(shape.keyCompareType);
    appendBE32(r, shape.attributes);
    r.resize(kHeaderRecordSize, 0);                         // reserved3
    return r;
}

// One bit per node, most significant bit first, set for the nodes in use.
Bytes mapRecord(uint16_t nodeSize, uint32_t usedNodes) {
    Bytes map(nodeSize - kDescriptorSize - kHeaderRecordSize - kUserDataSize - 8, 0);
    if (usedNodes > map.size() * 8)
        throw std::invalid_argument("B-tree needs map nodes, which hfsbuild does not write");
    for (uint32_t n = 0; n < usedNodes; ++n) map[n / 8] |= static_cast<uint8_t>(0x80u >> (n % 8));
    return map;
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
    return nodeCount(packLevels(sorted, shape.nodeSize));
}

Bytes writeBTree(const BTreeShape &shape, const std::vector<BTreeRecord> &sorted, uint32_t totalNodes,
                 uint32_t clumpSize) {
    std::vector<Level> levels = packLevels(sorted, shape.nodeSize);
    uint32_t used = nodeCount(levels);
    if (totalNodes < used) throw std::invalid_argument("B-tree file too small for its records");
    Bytes file(uint64_t{totalNodes} * shape.nodeSize, 0);

    writeDescriptor(file, 0, 0, 0, kHeaderKind, 0, 3);
    writeRecords(file, 0, shape.nodeSize,
                 {headerRecord(shape, levels, static_cast<uint32_t>(sorted.size()), totalNodes, clumpSize),
                  Bytes(kUserDataSize, 0), mapRecord(shape.nodeSize, used)});

    uint32_t number = 1;
    for (size_t height = 1; height <= levels.size(); ++height) {
        const Level &level = levels[height - 1];
        for (size_t i = 0; i < level.size(); ++i, ++number) {
            uint32_t fLink = i + 1 < level.size() ? number + 1 : 0;
            uint32_t bLink = i > 0 ? number - 1 : 0;
            size_t start = size_t{number} * shape.nodeSize;
            writeDescriptor(file, start, fLink, bLink, height == 1 ? kLeafKind : kIndexKind,
                            static_cast<uint8_t>(height), static_cast<uint16_t>(level[i].size()));
            std::vector<Bytes> records;
            for (const BTreeRecord &record : level[i]) {
                records.push_back(record.key);
                records.back().insert(records.back().end(), record.data.begin(), record.data.end());
            }
            writeRecords(file, start, shape.nodeSize, records);
        }
    }
    return file;
}

}  // namespace hfsbuild
