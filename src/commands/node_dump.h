// readNode: visiting one B-tree node record by record, handing each record to a processor, and the
// walk along a chain of nodes.
#pragma once

#include <cstdint>
#include <functional>

#include "volume/btree_file.h"

// Answers of a record processor, judged by their low 16 bits.
constexpr uint32_t kFoundStop = 10000, kNotThis = 20000, kStop = 30000, kFoundGoOn = 40000;
// readNode's answer when a record offset lies past the node.
constexpr uint32_t kCorruptNode = static_cast<uint32_t>(-10);

// Shows one record (the dump's line form): what readNode does with a record nobody processes, and
// with one a processor found.
using RecordShow = std::function<void(Bytes record, int kind)>;
using RecordProcessor = std::function<uint32_t(Bytes record, int kind, uint32_t node, uint16_t index)>;

// Shows node n from record firstRecord on; returns the node to visit next (its fLink), 0 to stop.
uint32_t readNode(const BTree *tree, uint32_t nodeNumber, uint16_t firstRecord, const RecordShow &show,
                  const RecordProcessor &processor = nullptr);
uint32_t readHeaderNode(const BTree *tree);
// Calls readNode along the chain of forward links from `node`; a chain longer than the tree has
// nodes loops, and is reported and stopped. With traceNodes, debug tracing names each node.
void walkNodes(const BTree *tree, uint32_t node, uint16_t firstRecord, const RecordShow &show,
               const RecordProcessor &processor, bool traceNodes = false);
