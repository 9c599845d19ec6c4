#include "image/gpt.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/output.h"
#include "base/utf.h"
#include "image/opener.h"

namespace {

struct KnownGUID {
    uint8_t bytes[16];   // in on-disk order: the first three groups little-endian
    const char *name;
};

constexpr KnownGUID knownGUIDs[] = {
    {{0xef, 0x57, 0x34, 0x7c, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac}, "APFS"},
    {{0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac}, "HFS+"},
    {{0x74, 0x6f, 0x6f, 0x42, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac},
     "Recovery (HFS+)"},
    {{0x72, 0x6f, 0x74, 0x53, 0x67, 0x61, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac}, "CoreStorage"},
    {{0x28, 0x73, 0x2a, 0xc1, 0x1f, 0xf8, 0xd2, 0x11, 0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b}, "EFI System"},
};

constexpr uint64_t kLargeSectorSize = 4096;
constexpr size_t kMinEntrySize = 128;   // the name ends at byte 128 of an entry
constexpr size_t kNameUnits = 36;

}  // namespace

std::optional<Probe> openProbe(const char *path, Messages &messages) {
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        messages.err("open: %s\n", strerror(errno));
        return std::nullopt;
    }
    int number = fd.get();
    return probeImage(std::make_shared<FileImage>(std::move(fd)), number, messages);
}

std::optional<Probe> probeImage(std::shared_ptr<const Image> image, int number, Messages &messages) {
    Probe probe;
    probe.image = std::move(image);
    probe.number = number;
    if (probe.image->readAt(probe.bytes, kProbeSize, 0) < 0) {
        messages.err("read: %s\n", strerror(errno));
        return std::nullopt;
    }
    return probe;
}

std::string partitionName(Bytes name) {
    std::u16string units;
    for (size_t i = 0; i < kNameUnits && name.has(2 * i, 2) && name.le16(2 * i) != 0; ++i)
        units += static_cast<char16_t>(name.le16(2 * i));
    return UTF16toUTF8(units);
}

uint64_t gptSectorSize(Bytes probe) {
    for (uint64_t size : {kSectorSize, kLargeSectorSize}) {
        Bytes header = probe.sub(size, kSectorSize);
        if (header.has(0, 8) && memcmp(header.data, "EFI PART", 8) == 0) return size;
    }
    return 0;
}

Bytes isGPT(Bytes probe) {
    uint64_t sectorSize = gptSectorSize(probe);
    return sectorSize ? probe.sub(sectorSize, kSectorSize) : Bytes{};
}

namespace {

// The name of a known type, "" for an unused entry, nullptr for any other type.
const char *knownTypeName(Bytes type) {
    if (type.size < 16) return nullptr;
    for (const KnownGUID &known : knownGUIDs)
        if (memcmp(known.bytes, type.data, 16) == 0) return known.name;
    static const uint8_t zero[16] = {};
    return memcmp(type.data, zero, 16) == 0 ? "" : nullptr;
}

// The table's entries that lie inside the probe, up to the first unused one.
// The entries follow the header's sector.
std::vector<Bytes> entriesIn(Bytes probe) {
    Bytes header = isGPT(probe);
    uint64_t entriesOffset = 2 * gptSectorSize(probe);
    uint32_t entries = header.le32(80), entrySize = header.le32(84);
    std::vector<Bytes> found;
    if (entrySize < kMinEntrySize) return found;   // a smaller stride would revisit the same bytes
    for (uint32_t i = 0; i < entries; ++i) {
        Bytes entry = probe.sub(entriesOffset + static_cast<uint64_t>(i) * entrySize, entrySize);
        const char *name = knownTypeName(entry.sub(0, 16));
        if (entry.empty() || (name && !*name)) break;
        found.push_back(entry);
    }
    return found;
}

}  // namespace

const char *GPTTypeGUID(Bytes type, Messages &messages) {
    if (const char *name = knownTypeName(type)) return name;
    if (type.size < 16) return "Unrecognized";
    for (size_t i = 0; i < 16; ++i) messages.err("%02x-", type.data[i]);
    messages.err("Unrecognized\n");
    return "Unrecognized";
}

std::vector<std::string> gptPartitionTypes(Bytes probe) {
    std::vector<std::string> types;
    for (Bytes entry : entriesIn(probe)) {
        const char *name = knownTypeName(entry.sub(0, 16));
        if (name) {
            types.push_back(name);
            continue;
        }
        char text[37];   // as type GUIDs are written: the first three groups are stored little-endian
        Bytes g = entry.sub(0, 16);
        snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.le32(0), g.le16(4), g.le16(6),
                 g.u8(8), g.u8(9), g.u8(10), g.u8(11), g.u8(12), g.u8(13), g.u8(14), g.u8(15));
        types.push_back(text);
    }
    return types;
}

std::vector<Partition> gptPartitions(Bytes probe) {
    std::vector<std::string> types = gptPartitionTypes(probe);
    std::vector<Bytes> entries = entriesIn(probe);
    uint64_t sectorSize = gptSectorSize(probe);
    std::vector<Partition> partitions;
    for (size_t i = 0; i < entries.size(); ++i) {
        uint64_t first = entries[i].le64(32), last = entries[i].le64(40);
        // Sectors past what 64 bits of bytes can say, or backwards, are shown as empty.
        bool sane = last >= first && last < UINT64_MAX / sectorSize;
        partitions.push_back({types[i], partitionName(entries[i].sub(56, 2 * kNameUnits)), sane ? first * sectorSize : 0,
                              sane ? (last - first + 1) * sectorSize : 0});
    }
    return partitions;
}

bool partitionInsideDevice(uint64_t offset, uint64_t deviceSize, Messages &messages) {
    if (deviceSize == 0 || offset < deviceSize) return true;
    messages.err("The partition at byte %llu lies past the end of the device (%llu bytes): not used\n",
                 static_cast<unsigned long long>(offset), static_cast<unsigned long long>(deviceSize));
    return false;
}

int validateGPTHeader(Bytes probe, int verbose, uint64_t deviceSize, uint64_t *partitionOffset, Messages &messages) {
    Bytes header = isGPT(probe);
    uint64_t sectorSize = gptSectorSize(probe);
    uint32_t entries = header.le32(80), entrySize = header.le32(84);
    if (verbose) {
        messages.err("GPT Header found at LBA %llu with backup @%llu\n",
                     static_cast<unsigned long long>(header.le64(24)), static_cast<unsigned long long>(header.le64(32)));
        messages.err("Revision: 0x%x\n", header.le32(8));
        messages.err("Size: 0x%x\n", header.le32(12));
        messages.err("Spanning %llu-%llu\n", static_cast<unsigned long long>(header.le64(40)),
                     static_cast<unsigned long long>(header.le64(48)));
        messages.err("UUID: %s\n", guidText(header.sub(56, 16)).c_str());
        messages.err("# Entries: %d, each %d bytes, Starting at LBA %lld\n", entries, entrySize,
                     static_cast<long long>(header.le64(72)));
    }
    if (entrySize < kMinEntrySize && entries)
        messages.err("GPT entries of %u bytes are too small to hold a partition entry\n", entrySize);
    int i = 0;
    for (Bytes entry : entriesIn(probe)) {
        const char *type = GPTTypeGUID(entry.sub(0, 16), messages);
        if (strcmp(type, "HFS+") == 0) {
            messages.out("HFS+ Detected! \n");
            uint64_t lba = entry.le64(32);
            uint64_t offset = lba <= UINT64_MAX / sectorSize ? lba * sectorSize : UINT64_MAX;
            if (partitionInsideDevice(offset, deviceSize, messages)) {
                announcePartitionOffset(offset, messages);
                *partitionOffset = offset;
            }
        }
        if (strcmp(type, "APFS") == 0) messages.out("APFS Detected! \n");
        if (verbose) {
            messages.err("Entry %d: Type: %s Name: %s GUID: %s @LBA %lld-%lld", i, type,
                         visible(partitionName(entry.sub(56, 2 * kNameUnits))).c_str(), guidText(entry.sub(16, 16)).c_str(),
                         static_cast<long long>(entry.le64(32)), static_cast<long long>(entry.le64(40)));
            messages.err("\n");
        }
        ++i;
    }
    return 0;
}
