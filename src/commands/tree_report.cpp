#include "commands/tree_report.h"

#include <cstdio>

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
