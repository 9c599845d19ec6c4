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

int doAPM(int fd, uint64_t *partitionOffset) {
    // Read the map, only as far as the file is long; the rest counts as absent.
    std::vector<uint8_t> buffer(kMapBytes, 0);
    ssize_t got = readAt(fd, buffer.data(), buffer.size(), 0);
    if (got < 0) {
        perror("read");
        return -1;
    }
    Bytes map{buffer.data(), static_cast<size_t>(got)};
    fprintf(stderr, "File is an APM formatted DMG\n");
    printf("Block 0 sig: %hx\n", map.le16(0));
    int16_t blockSize = static_cast<int16_t>(map.be16(2));
    if (blockSize <= 0) {
        fprintf(stderr, "Blocksize: %hd is unusable for a partition map\n", blockSize);
        return -1;
    }
    const uint64_t B = static_cast<uint64_t>(blockSize);
    fprintf(stderr, "Blocksize: %hd, got %d blocks\n", blockSize, static_cast<int>(kMapBytes / B));
    Bytes first = map.sub(B, map.size > B ? map.size - B : 0);
    if (!first.has(0, 2) || memcmp(first.data, "PM", 2) != 0) fprintf(stderr, "No DPME sig\n");
    uint32_t entries = first.be32(4);
    printf("Num %d\n", entries);
    bool bad = false, chosen = false, usable = false;
    uint64_t chosenOffset = 0;
    std::vector<std::string> types;
    for (uint32_t i = 0; i < entries && B * (i + 1) < kMapBytes && !bad; ++i) {
        Bytes entry = map.from(B * (i + 1)).sub(0, 80);
        if (entry.empty()) {
            fprintf(stderr, "Partition map entry %u lies past the end of the file\n", i);
            bad = true;
            break;
        }
        bad = memcmp(entry.data, "PM", 2) != 0;
        char type[33] = {};
        memcpy(type, entry.data + 48, 32);
        types.push_back(visible(type));
        printf("Partition %d: %32s (@%d, %d blocks)\n", i, types.back().c_str(), entry.be32(8), entry.be32(12));
        if (strncmp(type, "Apple_HFS", 9) == 0 && !chosen) {
            chosen = true;
            chosenOffset = static_cast<uint64_t>(entry.be32(8)) * B;
            usable = partitionInsideDevice(chosenOffset, sizeOfFd(fd));
            if (usable) {
                announcePartitionOffset(chosenOffset);
                *partitionOffset = chosenOffset;
            }
        }
        printf("DPM @ %d\n", static_cast<int>(B * (i + 1)));
    }
    if (bad) {
        fprintf(stderr, "Error processing APM..\n");
        return 0;
    }
    if (!chosen) return sayNotHFS(types);
    if (usable) fprintf(stderr, "Partition offset is at  %d\n", static_cast<int>(chosenOffset));
    return blockSize;
}
