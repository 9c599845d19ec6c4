#include "btree/btree.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "volume/fork.h"
#include "volume/volume.h"

int compareType = 0xCF;

namespace {

constexpr size_t kExtentsForkOffset = 192;     // TN1150 HFSPlusVolumeHeader.extentsFile
constexpr size_t kCatalogForkOffset = 272;     // TN1150 HFSPlusVolumeHeader.catalogFile
constexpr size_t kAttributesForkOffset = 352;  // TN1150 HFSPlusVolumeHeader.attributesFile

}  // namespace

Bytes BTree::node(uint32_t n) const {
    uint16_t size = nodeSize();
    if (size < kNodeDescriptorSize) return {};
    return view().sub(static_cast<uint64_t>(n) * size, size);
}

uint32_t BTree::walkableNodes() const {
    uint16_t size = nodeSize();
    uint64_t loaded = size < kNodeDescriptorSize ? 0 : bytes.size() / size;
    return static_cast<uint32_t>(std::min<uint64_t>(totalNodes(), loaded));
}

void reportNodeNotLoaded(const BTree *tree, uint32_t n) {
    printf("Node %u lies outside the %zu bytes loaded for the tree (node size %hu)\n", n, tree->bytes.size(),
           tree->nodeSize());
}

BTree *processBTree(const uint8_t *volumeHeader, int treeID, int fd, uint64_t partitionOffset) {
    size_t forkOffset = treeID == kCatalogTree   ? kCatalogForkOffset
                        : treeID == kExtentsTree ? kExtentsForkOffset
                                                 : kAttributesForkOffset;
    Bytes fork = Bytes{volumeHeader, kVolumeHeaderSize}.sub(forkOffset, kForkDataSize);
    // The overflow file keeps the extents of the catalog and attributes files, never its own.
    ForkOwner owner{treeID == kExtentsTree ? 0u : static_cast<uint32_t>(treeID), kDataForkType};
    auto content = readFork(fork, volumeHeader, fd, partitionOffset, nullptr, owner);
    if (!content) {
        // A fork that cannot be read leaves the tree absent; the process goes on.
        printf("Error reading catalog\n");
        return nullptr;
    }
    BTree tree{std::move(*content)};
    Bytes header = tree.view();
    int kind = static_cast<int8_t>(header.u8(8));
    uint16_t records = header.be16(10);
    if (kind != kHeaderNode || records != 3) {
        fprintf(stderr, "processBTree: Node kind %d, %d records - should be kind 1, 3 records - but it isn't!\n", kind,
                records);
        printf("node is %d\n", kind);
        return nullptr;
    }
    if (tree.btreeType() != 0) return nullptr;
    if (treeID != kExtentsTree) setCompareType(tree.keyCompareType());   // names are compared in the other two
    return keepBTree(std::move(tree));
}

void setCompareType(uint8_t keyCompareType) { compareType = keyCompareType == 0 ? 0xCF : keyCompareType; }

const char *compareToText(int type) {
    switch (type & 0xFF) {
    case 0x00: return "None (ok for attribute B-Trees)";
    case 0xBC: return "Binary Compare (case-sensitive)";
    case 0xCF: return "Case Folding (case-insensitive)";
    default: return "Unknown (could be error or new kind of HFS+?)";
    }
}

void dumpBTree(const BTree *tree, const char *treeName) {
    printf("%s B-Tree dump:\n", treeName);
    auto line = [](const char *label, uint32_t value) { printf("\t%-20s\t%d\n", label, static_cast<int>(value)); };
    line("Tree type:", tree->btreeType());
    line("Tree depth:", tree->treeDepth());
    line("Root node:", tree->rootNode());
    line("First leaf:", tree->firstLeafNode());
    line("Last leaf:", tree->lastLeafNode());
    line("Leaf records", tree->leafRecords());
    line("Total nodes:", tree->totalNodes());
    line("Free nodes:", tree->freeNodes());
    printf("\t%-20s\t%hd\n", "Node size:", static_cast<short>(tree->nodeSize()));
    line("Map node:", tree->mapNode());
    printf("\t%-20s\t%X - %s\n", "Compare:", tree->keyCompareType(), compareToText(tree->keyCompareType()));
}

static bool requireActiveFS() {
    if (getActiveFS() != 0) return true;
    fprintf(stderr, "No active FS. Use the 'fs' command to select the active filesystem\n");
    return false;
}

int doCatalog(const char *) {
    if (!requireActiveFS()) return 1;
    if (!getActiveVH()) {
        fprintf(stderr, "No active Volume Header. Non sequitur\n");
        return 1;
    }
    BTree *tree = getCatalogBTree();
    if (!tree) tree = processBTree(getActiveVH(), kCatalogTree, getActiveFS(), getPartitionOffset());
    setActiveBTree(tree, kCatalogTree);
    if (!tree) {
        fprintf(stderr, "Can't read catalog B-Tree. This is odd. Is the filesystem corrupt?\n");
        return 1;
    }
    dumpBTree(tree, "catalog");
    return 0;
}

int doExtents(const char *) {
    if (!requireActiveFS()) return 1;
    BTree *tree = getExtentsBTree();
    if (!tree) {
        fprintf(stderr, "The volume has no extents overflow B-Tree that could be read\n");
        return 1;
    }
    dumpBTree(tree, "extents");
    setActiveBTree(tree, kExtentsTree);
    return 0;
}

int doAttrs(const char *) {
    if (!requireActiveFS()) return 1;
    BTree *tree = getAttributeBTree();
    if (!tree && getActiveVH() && Bytes{getActiveVH(), kVolumeHeaderSize}.be32(kAttributesForkOffset + 12) == 0) {
        fprintf(stderr, "The volume has no attributes file\n");
        return 0;
    }
    if (!tree) {
        // Read the header afresh, at the start of the volume, for the attributes fork.
        uint8_t header[kVolumeHeaderSize] = {};
        lseek(getActiveFS(), 0, SEEK_SET);
        getVolumeHeader(getActiveFS(), header);
        tree = processBTree(header, kAttributesTree, getActiveFS(), getPartitionOffset());
    }
    if (!tree) {
        fprintf(stderr, "This is peculiar: I can't get the attribute B-Tree. Some DMGs don't have any\n");
        return 1;
    }
    dumpBTree(tree, "attributes");
    setActiveBTree(tree, kAttributesTree);
    return 0;
}
