#include "commands/node_dump.h"

#include <cstdio>

#include "base/output.h"
#include "btree/records.h"
#include "btree/search.h"
#include "commands/session.h"

uint32_t readHeaderNode(const BTree *tree) {
    HeldBytes held = tree->node(0);
    Bytes node = held.bytes;
    int8_t kind = nodeKind(node);
    short records = static_cast<short>(nodeNumRecords(node));
    if (useXML)
        printf("<Node num=\"%d\" kind=\"%hhd\" bLink=\"%d\" fLink=\"%d\" numRecords=\"%hd\">\n", 0, kind,
               nodeBLink(node), nodeFLink(node), records);
    else
        printf("%d <- 0 -> %d: %hd records, %s\n", nodeBLink(node), nodeFLink(node), records, kindToText(kind));
    for (uint16_t i = 0; i < nodeNumRecords(node); ++i) {
        uint16_t offset = 0;
        recordOffset(node, i, &offset);
        if (useXML)
            printf("\t<Record num=\"%d\" offset=\"%hd\">\t</Record>\n", i, static_cast<short>(offset));
        else
            fprintf(stderr, "TODO..\n");   // kept as it is: scripts look for it
    }
    if (useXML) printf("</Node>\n");
    return 0;
}

uint32_t readNode(const BTree *tree, uint32_t nodeNumber, uint16_t firstRecord, const RecordShow &show,
                  const RecordProcessor &processor) {
    if (nodeNumber >= tree->totalNodes()) {
        printf("Node %d is greater than # of nodes in the tree (%d)\n", nodeNumber, tree->totalNodes());
        return 0;
    }
    HeldBytes held = tree->node(nodeNumber);
    Bytes node = held.bytes;
    if (node.empty()) {
        reportNodeNotLoaded(tree, nodeNumber, sayNow());
        return 0;
    }
    if (nodeNumber == 0) return readHeaderNode(tree);

    int8_t kind = nodeKind(node);
    uint16_t records = nodeNumRecords(node);
    if (useXML)
        printf("<Node num=\"%d\" kind=\"%hhd\" bLink=\"%d\" fLink=\"%d\" numRecords=\"%hd\">\n", nodeNumber, kind,
               nodeBLink(node), nodeFLink(node), static_cast<short>(records));
    else if (g_Debug)
        printf("%d <- %d -> %d: %hd records, %s\n", nodeBLink(node), nodeNumber, nodeFLink(node),
               static_cast<short>(records), kindToText(kind));

    for (uint16_t i = firstRecord; i < records; ++i) {
        uint16_t offset = 0;
        bool inNode = recordOffset(node, i, &offset);
        if (useXML)
            printf("\t<Record num=\"%hd\" offset=\"%hd\">", static_cast<short>(i), static_cast<short>(offset));
        else if (g_Debug)
            printf("---%02hd (@%4hd): ", static_cast<short>(i), static_cast<short>(offset));
        if (!inNode || offset > tree->nodeSize()) {
            printf("<ERROR>Corrupt record offset for record %d of node %d: %hd</ERROR>\n", i, nodeNumber,
                   static_cast<short>(tree->nodeSize()));
            return kCorruptNode;
        }
        Bytes record = recordInNode(node, offset);
        if (kind == kMapNode) {
            printf("\n\t<!-- This is a map node !-->");
        } else if (processor) {
            uint32_t answer = processor(record, kind, nodeNumber, i) & 0xFFFF;
            if (answer == kFoundStop || answer == kFoundGoOn) {
                fprintf(reportStream(), "FOUND: Node %d, record %hd:\n", nodeNumber, static_cast<short>(i));
                show(record, kind);
                if (answer == kFoundStop) return 0;
            } else if (answer == kStop) {
                if (useXML) printf("</Node>");
                return 0;
            }
        } else {
            show(record, kind);
            if (!useXML) printf("\n");
        }
        if (useXML) printf("\n\t</Record>\n");
    }
    if (useXML) printf("</Node>\n");
    return nodeFLink(node);
}

void walkNodes(const BTree *tree, uint32_t node, uint16_t firstRecord, const RecordShow &show,
               const RecordProcessor &processor, bool traceNodes) {
    uint64_t visited = 0;
    while (node != 0 && !g_Interrupted) {
        // Bounded by the tree file: a header claiming 2^32 nodes must not stretch a loop that far.
        if (++visited > tree->walkableNodes()) {
            printf("The chain of nodes is longer than the tree's %u nodes: it loops. Walk stopped.\n",
                   tree->walkableNodes());
            return;
        }
        if (g_Debug && traceNodes) printf("%d\n", node);
        node = readNode(tree, node, firstRecord, show, processor);
        firstRecord = 0;
    }
}
