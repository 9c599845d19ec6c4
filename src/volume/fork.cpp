#include "volume/fork.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "shell/a.h"
#include "volume/overflow.h"
#include "volume/volume.h"

namespace {

// A failed extent leaves "?" where its data would begin.
void markFailure(std::vector<uint8_t> &buffer, uint64_t position) {
    if (position < buffer.size()) buffer[position] = '?';
    if (position + 1 < buffer.size()) buffer[position + 1] = 0;
}

}  // namespace

std::optional<std::vector<uint8_t>> readFork(Bytes forkData, const uint8_t *volumeHeader, int fd,
                                             uint64_t partitionOffset, uint64_t *bytesRead, ForkOwner owner) {
    Bytes header{volumeHeader, kVolumeHeaderSize};
    uint32_t totalBlocks = forkData.be32(12);
    uint32_t blockSize = header.be32(40);
    uint64_t size = static_cast<uint64_t>(totalBlocks) * blockSize;  // 64 bits: 32 x 32 cannot wrap

    // Every allocated block lies inside the volume, so a fork larger than the image is damage.
    uint64_t imageSize = sizeOfFd(fd);
    if (imageSize != 0 && size > imageSize) {
        fprintf(stderr, "Fork of %u blocks of %u bytes is larger than the image (%llu bytes): not read\n", totalBlocks,
                blockSize, static_cast<unsigned long long>(imageSize));
        return std::nullopt;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(size, 0);
    } catch (const std::exception &) {  // bad_alloc, or length_error past the address space
        fprintf(stderr, "Unable to allocate %llu bytes for a fork\n", static_cast<unsigned long long>(size));
        return std::nullopt;
    }

    uint64_t blocksRead = 0, placed = 0;
    int64_t total = 0;
    ExtentRecord extents;
    for (int i = 0; i < kExtentsPerRecord; ++i) extents[i] = {forkData.be32(16 + 8 * i), forkData.be32(20 + 8 * i)};
    // The record's eight extents, then the overflow records that continue the fork, each found by
    // the fork block it starts at. Every record must add blocks, so the chain cannot loop.
    uint64_t recordStart = 0;
    for (int i = 0; blocksRead < totalBlocks; ++i) {
        if (i == kExtentsPerRecord) {
            const ExtentRecord *next = owner.fileID && blocksRead > recordStart
                                           ? overflowRecord(owner.fileID, owner.forkType, static_cast<uint32_t>(blocksRead))
                                           : nullptr;
            if (!next) break;
            extents = *next;
            recordStart = blocksRead;
            i = 0;
        }
        uint32_t startBlock = extents[i].startBlock;
        uint32_t blockCount = extents[i].blockCount;
        if (startBlock == 0) {
            printf("**ODD**\n");
            break;
        }
        uint64_t position = partitionOffset + static_cast<uint64_t>(startBlock) * blockSize;
        uint64_t length = static_cast<uint64_t>(blockCount) * blockSize;
        off_t where = position <= static_cast<uint64_t>(INT64_MAX) && position >= partitionOffset
                          ? lseek(fd, static_cast<off_t>(position), SEEK_SET)
                          : -1;
        if (g_Debug)
            printf("EXTENT: from block %d, %d blocks/%d at offset %llx (partition offset: 0x%llx)\n", startBlock,
                   blockCount, totalBlocks, static_cast<unsigned long long>(where),
                   static_cast<unsigned long long>(getPartitionOffset()));
        if (where < 0) {
            fprintf(stderr, "Lseek to %lld failed\n", static_cast<long long>(position));
            perror("lseek");
            markFailure(buffer, placed);
            if (bytesRead) *bytesRead = placed;   // the extents before the failed one, whole
            return buffer;
        }
        // Extents whose counts add up past the fork's blocks are cut at the end of the buffer.
        uint64_t room = size - placed;
        uint64_t wanted = length < room ? length : room;
        ssize_t got = readFully(fd, buffer.data() + placed, wanted);
        total += got;
        if (got != static_cast<ssize_t>(wanted)) {
            off_t after = lseek(fd, 0, SEEK_CUR);
            fprintf(stderr, "Read error - Only read %lld bytes instead of %d bytes from Position 0x%llx \n",
                    static_cast<long long>(got), static_cast<int>(wanted), static_cast<unsigned long long>(after));
            markFailure(buffer, placed);
            if (bytesRead) *bytesRead = placed;   // the extents before the failed one, whole
            return buffer;
        }
        blocksRead += blockCount;
        placed += wanted;
        if (length > room) {
            fprintf(stderr, "Extent %d runs past the fork's %u blocks: cut at the end of the fork\n", i, totalBlocks);
            break;
        }
        if (placed == 0) break;
    }
    if (blocksRead != totalBlocks)
        fprintf(stderr, "Warning: Blocks read: %d.. Total Blocks: %d - should match, but don't\n",
                static_cast<int>(blocksRead), totalBlocks);
    if (bytesRead) *bytesRead = static_cast<uint64_t>(total);
    return buffer;
}
