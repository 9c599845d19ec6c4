#include "image/dmg.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "image/apm.h"
#include "image/gpt.h"
#include "image/udif.h"
#include "image/verdict.h"

namespace {

constexpr size_t kTrailerSize = 512;
constexpr uint64_t kIMG4VolumeOffset = 16;

constexpr uint64_t kVolumeHeaderAt = 1024;

int openedAt(const Probe &image, uint64_t offset, const VolumeOpener &open, Messages &messages) {
    int number = std::max(image.number, 0);
    if (!open(image.image, offset)) return -1;
    messages.err("FD is : %d (offset: %llu)\n", number, static_cast<unsigned long long>(offset));
    return number;
}

}  // namespace

int mountDMG(const Probe &image, uint64_t partitionOffset, const UdifChoice &choice, const VolumeOpener &open,
             Messages &messages) {
    Bytes probe = image.view();
    const uint8_t *buffer = image.bytes;

    if (buffer[0] == '0') {
        messages.err("This is an IMG4\n");
        // The volume starts 16 bytes in: every read of it, header and forks alike, is shifted.
        partitionOffset += kIMG4VolumeOffset;
        announcePartitionOffset(partitionOffset, messages);
        return open(image.image, partitionOffset) ? std::max(image.number, 0) : -1;
    }

    uint8_t trailer[kTrailerSize] = {};
    uint64_t end = image.size();
    bool readTrailer = end >= kTrailerSize &&
                       image.image->readAt(trailer, kTrailerSize, end - kTrailerSize) == static_cast<ssize_t>(kTrailerSize);
    if (sayIfEncrypted(probe, readTrailer ? Bytes{trailer, kTrailerSize} : Bytes{}, messages) == kNotHFS) return kNotHFS;

    messages.err("Attempting DMG Mount (%d)\n", static_cast<int8_t>(buffer[0]));
    if (readTrailer && memcmp(trailer, "koly", 4) == 0) return mountUDIF(image.image, Bytes{trailer, kTrailerSize}, choice, open, messages);
    if (g_Debug) messages.err("No Koly header - Signature is 0x%x\n", Bytes{trailer, kTrailerSize}.le32(0));

    if (!isGPT(probe).empty()) {
        std::vector<std::string> types = gptPartitionTypes(probe);
        if (std::find(types.begin(), types.end(), "HFS+") == types.end()) return sayNotHFS(types, messages);
        validateGPTHeader(probe, g_Verbose, image.size(), &partitionOffset, messages);
        return openedAt(image, partitionOffset, open, messages);
    }
    if (isAPM(probe)) {
        int blockSize = doAPM(*image.image, &partitionOffset, messages);
        if (blockSize < 0) return blockSize;
        messages.out("Block size is %d\n", blockSize);
        return openedAt(image, partitionOffset, open, messages);
    }
    // A bare volume: HFS+, or else perhaps one that can be named.
    Bytes volume = probe.from(partitionOffset < kProbeSize ? partitionOffset : kProbeSize);
    bool hfs = volume.has(kVolumeHeaderAt, 2) &&
               (memcmp(volume.data + kVolumeHeaderAt, "H+", 2) == 0 || memcmp(volume.data + kVolumeHeaderAt, "HX", 2) == 0);
    if (auto kind = foreignVolumeKind(volume); kind && !hfs) return sayNotHFS({*kind}, messages);
    if (open(image.image, partitionOffset)) {
        messages.err("DMG type: Raw image (RC: %d)\n", 0);
        return std::max(image.number, 0);
    }
    messages.err("Unable to recognize this DMG file\n");
    return -1;
}
