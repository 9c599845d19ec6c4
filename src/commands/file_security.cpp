#include "commands/file_security.h"

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

// The attribute's data: a magic number, the owner's and the group's GUIDs, then the access-control
// list: its entry count and flags, and 24-byte entries, a GUID and its flags each.
struct FileSec {
    static constexpr size_t kHeaderSize = 44, kEntrySize = 24;
    Bytes data;
    uint32_t magic() const { return data.be32(0); }
    Bytes owner() const { return data.sub(4, 16); }
    Bytes group() const { return data.sub(20, 16); }
    uint32_t entryCount() const { return data.be32(36); }
    uint32_t flags() const { return data.be32(40); }
    // Empty when the entry does not lie wholly inside the data.
    Bytes entry(uint32_t i) const { return data.sub(kHeaderSize + static_cast<size_t>(i) * kEntrySize, kEntrySize); }
    static Bytes entryGUID(Bytes entry) { return entry.sub(0, 16); }
    static uint32_t entryFlags(Bytes entry) { return entry.be32(16); }
};

}  // namespace

bool isFileSecAttr(Bytes data) { return FileSec{data}.magic() == kFileSecMagic; }

std::string aceFlagsToText(uint32_t flags) {
    std::string text;
    for (const AceFlag &flag : kAceFlags)
        if (flags & flag.bit) text += flag.text;
    return text;
}

void dumpFileSecAttr(Bytes data) {
    FileSec sec{data};
    printf("OWNER: %s\n", guidText(sec.owner()).c_str());
    printf("GROUP: %s\n", guidText(sec.group()).c_str());
    uint32_t entries = sec.entryCount();
    printf("# Entries: %d\tFlags: 0x%x\n", entries, sec.flags());
    uint32_t i = 0;
    for (; i < entries && !sec.entry(i).empty(); ++i) {
        Bytes entry = sec.entry(i);
        printf(" %d: %s, %s\n", i, guidText(FileSec::entryGUID(entry)).c_str(),
               aceFlagsToText(FileSec::entryFlags(entry)).c_str());
    }
    if (i < entries) printf(" (%u more entries lie beyond the attribute's data)\n", entries - i);
}
