#include "btree/records.h"

Bytes getRecordData(Bytes recordKey) { return recordKey.from(static_cast<size_t>(recordKey.be16(0)) + 2); }

const char *kindToText(int kind) {
    switch (kind) {
    case -1: return "leaf";
    case 0: return "index";
    case 1: return "header";
    case 2: return "map";
    default: return "?";
    }
}

bool recordOffset(Bytes node, uint16_t index, uint16_t *offset) {
    size_t back = 2 * (static_cast<size_t>(index) + 1);
    if (back > node.size) return false;
    *offset = node.be16(node.size - back);
    return true;
}
