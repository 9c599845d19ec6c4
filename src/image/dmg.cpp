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

int openedAt(UniqueFd &fd, uint64_t offset, const VolumeOpener &open, Messages &messages) {
    int number = fd.get();
    if (!open(fd, offset)) return -1;
    messages.err("FD is : %d (offset: %llu)\n", number, static_cast<unsigned long long>(offset));
    return number;
}

}  // namespace

int mountDMG(Probe &image, uint64_t partitionOffset, const VolumeOpener &open, Messages &messages) {
    UniqueFd &fd = image.fd;
    Bytes probe = image.view();
    const uint8_t *buffer = image.bytes;

    if (buffer[0] == '0') {
        messages.err("This is an IMG4\n");
        // The volume starts 16 bytes in: every read of it, header and forks alike, is shifted.
        partitionOffset += kIMG4VolumeOffset;
        announcePartitionOffset(partitionOffset, messages);
        int number = fd.get();
        return open(fd, partitionOffset) ? number : -1;
    }

    uint8_t trailer[kTrailerSize] = {};
    off_t end = lseek(fd.get(), 0, SEEK_END);
    bool readTrailer = end >= static_cast<off_t>(kTrailerSize) &&
                       readAt(fd.get(), trailer, kTrailerSize, static_cast<uint64_t>(end) - kTrailerSize) ==
                           static_cast<ssize_t>(kTrailerSize);
    if (sayIfEncrypted(probe, readTrailer ? Bytes{trailer, kTrailerSize} : Bytes{}, messages) == kNotHFS) return kNotHFS;

    messages.err("Attempting DMG Mount (%d)\n", static_cast<int8_t>(buffer[0]));
    if (readTrailer && memcmp(trailer, "koly", 4) == 0) return mountUDIF(fd.get(), Bytes{trailer, kTrailerSize}, open, messages);
    if (g_Debug) messages.err("No Koly header - Signature is 0x%x\n", Bytes{trailer, kTrailerSize}.le32(0));

    if (!isGPT(probe).empty()) {
        std::vector<std::string> types = gptPartitionTypes(probe);
        if (std::find(types.begin(), types.end(), "HFS+") == types.end()) return sayNotHFS(types, messages);
        validateGPTHeader(probe, g_Verbose, sizeOfFd(fd.get()), &partitionOffset, messages);
        return openedAt(fd, partitionOffset, open, messages);
    }
    if (isAPM(probe)) {
        int blockSize = doAPM(fd.get(), &partitionOffset, messages);
        if (blockSize < 0) return blockSize;
        messages.out("Block size is %d\n", blockSize);
        return openedAt(fd, partitionOffset, open, messages);
    }
    // A bare volume: HFS+, or else perhaps one that can be named.
    Bytes volume = probe.from(partitionOffset < kProbeSize ? partitionOffset : kProbeSize);
    bool hfs = volume.has(kVolumeHeaderAt, 2) &&
               (memcmp(volume.data + kVolumeHeaderAt, "H+", 2) == 0 || memcmp(volume.data + kVolumeHeaderAt, "HX", 2) == 0);
    if (auto kind = foreignVolumeKind(volume); kind && !hfs) return sayNotHFS({*kind}, messages);
    int number = fd.get();
    if (open(fd, partitionOffset)) {
        messages.err("DMG type: Raw image (RC: %d)\n", 0);
        return number;
    }
    messages.err("Unable to recognize this DMG file\n");
    return -1;
}
