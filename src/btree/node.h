// readNode: visiting one B-tree node record by record, handing each record to a processor.
#pragma once

#include <cstdint>

#include "btree/btree.h"

// Answers of a record processor, judged by their low 16 bits.
constexpr uint32_t kFoundStop = 10000, kNotThis = 20000, kStop = 30000, kFoundGoOn = 40000;
// readNode's answer when a record offset lies past the node.
constexpr uint32_t kCorruptNode = static_cast<uint32_t>(-10);

using RecordProcessor = uint32_t (*)(Bytes record, int kind, int treeType, uint64_t context, int64_t option);

// Shows node n from record firstRecord on; returns the node to visit next (its fLink), 0 to stop.
uint32_t readNode(const BTree *tree, uint32_t nodeNumber, uint16_t firstRecord, int treeType,
                  RecordProcessor processor, uint64_t context, int32_t option);
uint32_t readHeaderNode(const BTree *tree, int treeType);
// Record i of a node, cut where the offset table begins so that no record runs into it.
Bytes recordInNode(Bytes node, uint16_t offset);
// Calls readNode along the chain of forward links from `node`; a chain longer than the tree has
// nodes loops, and is reported and stopped. With traceNodes, debug tracing names each node.
void walkNodes(const BTree *tree, uint32_t node, uint16_t firstRecord, int treeType, RecordProcessor processor,
               uint64_t context, int32_t option, bool traceNodes = false);
