#include "btree/xattr.h"

#include <cstdio>

namespace {

struct AceFlag {
    uint32_t bit;
    const char *text;
};

constexpr AceFlag kAceFlags[] = {
    {0x200000, "all,"}, {0x400000, "execute,"}, {0x1000000, "read,"},
    {0x800000, "write,"}, {0x1, "permit,"},     {0x2, "deny,"},
};

constexpr size_t kHeaderSize = 44, kEntrySize = 24;

}  // namespace

bool isFileSecAttr(Bytes data) { return data.has(0, 4) && data.be32(0) == kFileSecMagic; }

std::string aceFlagsToText(uint32_t flags) {
    std::string text;
    for (const AceFlag &flag : kAceFlags)
        if (flags & flag.bit) text += flag.text;
    return text;
}

void dumpFileSecAttr(Bytes data) {
    printf("OWNER: %s\n", guidText(data.sub(4, 16)).c_str());
    printf("GROUP: %s\n", guidText(data.sub(20, 16)).c_str());
    uint32_t entries = data.be32(36);
    printf("# Entries: %d\tFlags: 0x%x\n", entries, data.be32(40));
    uint32_t i = 0;
    for (; i < entries && data.has(kHeaderSize + static_cast<size_t>(i) * kEntrySize, kEntrySize); ++i) {
        Bytes entry = data.sub(kHeaderSize + static_cast<size_t>(i) * kEntrySize, kEntrySize);
        printf(" %d: %s, %s\n", i, guidText(entry.sub(0, 16)).c_str(), aceFlagsToText(entry.be32(16)).c_str());
    }
    if (i < entries) printf(" (%u more entries lie beyond the attribute's data)\n", entries - i);
}
