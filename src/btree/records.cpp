#include "btree/records.h"

#include <algorithm>

namespace {

void put16(uint8_t *at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void put32(uint8_t *at, uint32_t value) {
    put16(at, static_cast<uint16_t>(value >> 16));
    put16(at + 2, static_cast<uint16_t>(value));
}

// A counted name at `at` with room for `maxUnits`; returns the units written.
size_t putName(uint8_t *at, std::u16string_view name, size_t maxUnits) {
    size_t units = std::min(name.size(), maxUnits);
    if (units < name.size() && units > 0 && name[units - 1] >= 0xD800 && name[units - 1] <= 0xDBFF) --units;
    put16(at, static_cast<uint16_t>(units));
    for (size_t i = 0; i < units; ++i) put16(at + 2 + 2 * i, name[i]);
    return units;
}

}  // namespace

CatalogKey::CatalogKey(uint32_t parent, std::u16string_view name) {
    put32(&bytes[2], parent);
    size_t units = putName(&bytes[6], name, 255);
    put16(&bytes[0], static_cast<uint16_t>(6 + 2 * units));
}

AttributeKey::AttributeKey(uint32_t fileID, std::u16string_view name) {
    put32(&bytes[4], fileID);
    size_t units = putName(&bytes[12], name, (kAttributeKeyMax - 14) / 2);
    put16(&bytes[0], static_cast<uint16_t>(12 + 2 * units));
}

Bytes getRecordData(Bytes recordKey) { return recordKey.from(static_cast<size_t>(recordKey.be16(0)) + 2); }

uint32_t childNode(Bytes indexRecord) { return getRecordData(indexRecord).be32(0); }

const char *kindToText(int kind) {
    switch (kind) {
    case -1: return "leaf";
    case 0: return "index";
    case 1: return "header";
    case 2: return "map";
    default: return "?";
    }
}
