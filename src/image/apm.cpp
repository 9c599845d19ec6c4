#include "image/apm.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "base/output.h"
#include "image/gpt.h"
#include "image/verdict.h"
#include "image/opener.h"

namespace {

constexpr size_t kMapBytes = 32768;

}  // namespace

bool isAPM(Bytes probe) { return probe.has(0, 2) && memcmp(probe.data, "ER", 2) == 0; }

std::vector<Partition> apmPartitions(const Image &image) {
    std::vector<uint8_t> buffer(kMapBytes, 0);
    std::vector<Partition> partitions;
    if (image.readAt(buffer.data(), buffer.size(), 0) < 0) return partitions;
    Bytes map{buffer.data(), buffer.size()};
    int16_t blockSize = static_cast<int16_t>(map.be16(2));
    if (blockSize <= 0) return partitions;
    const uint64_t B = static_cast<uint64_t>(blockSize);
    uint32_t entries = map.from(B).be32(4);
    for (uint64_t i = 0; i < entries && B * (i + 2) <= kMapBytes; ++i) {
        Bytes entry = map.sub(B * (i + 1), 80);
        if (entry.empty() || memcmp(entry.data, "PM", 2) != 0) break;
        char type[33] = {}, name[33] = {};
        memcpy(name, entry.data + 16, 32);
        memcpy(type, entry.data + 48, 32);
        partitions.push_back({type, name, entry.be32(8) * B, entry.be32(12) * B});
    }
    return partitions;
}

int doAPM(const Image &image, uint64_t *partitionOffset, Messages &messages) {
    // Read the map, only as far as the file is long; the rest counts as absent.
    std::vector<uint8_t> buffer(kMapBytes, 0);
    ssize_t got = image.readAt(buffer.data(), buffer.size(), 0);
    if (got < 0) {
        messages.err("read: %s\n", strerror(errno));
        return -1;
    }
    Bytes map{buffer.data(), static_cast<size_t>(got)};
    messages.err("File is an APM formatted DMG\n");
    messages.out("Block 0 sig: %hx\n", map.le16(0));
    int16_t blockSize = static_cast<int16_t>(map.be16(2));
    if (blockSize <= 0) {
        messages.err("Blocksize: %hd is unusable for a partition map\n", blockSize);
        return -1;
    }
    const uint64_t B = static_cast<uint64_t>(blockSize);
    messages.err("Blocksize: %hd, got %d blocks\n", blockSize, static_cast<int>(kMapBytes / B));
    Bytes first = map.sub(B, map.size > B ? map.size - B : 0);
    if (!first.has(0, 2) || memcmp(first.data, "PM", 2) != 0) messages.err("No DPME sig\n");
    uint32_t entries = first.be32(4);
    messages.out("Num %d\n", entries);
    bool bad = false, chosen = false, usable = false;
    uint64_t chosenOffset = 0;
    std::vector<std::string> types;
    for (uint32_t i = 0; i < entries && B * (i + 1) < kMapBytes && !bad; ++i) {
        Bytes entry = map.from(B * (i + 1)).sub(0, 80);
        if (entry.empty()) {
            messages.err("Partition map entry %u lies past the end of the file\n", i);
            bad = true;
            break;
        }
        bad = memcmp(entry.data, "PM", 2) != 0;
        char type[33] = {};
        memcpy(type, entry.data + 48, 32);
        types.push_back(type);
        messages.out("Partition %d: %32s (@%d, %d blocks)\n", i, visible(type).c_str(), entry.be32(8), entry.be32(12));
        if (strncmp(type, "Apple_HFS", 9) == 0 && !chosen) {
            chosen = true;
            chosenOffset = static_cast<uint64_t>(entry.be32(8)) * B;
            usable = partitionInsideDevice(chosenOffset, image.size(), messages);
            if (usable) {
                announcePartitionOffset(chosenOffset, messages);
                *partitionOffset = chosenOffset;
            }
        }
        messages.out("DPM @ %d\n", static_cast<int>(B * (i + 1)));
    }
    if (bad) {
        messages.err("Error processing APM..\n");
        return 0;
    }
    if (!chosen) return sayNotHFS(types, messages);
    if (usable) messages.err("Partition offset is at  %d\n", static_cast<int>(chosenOffset));
    return blockSize;
}
