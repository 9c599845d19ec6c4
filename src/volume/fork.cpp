#include "volume/fork.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "shell/a.h"
#include "volume/overflow.h"
#include "volume/volume.h"

namespace {

// Pieces in which a fork is streamed: memory stays this size whatever the fork's.
constexpr uint64_t kStreamPiece = 1 << 20;

// A failed extent leaves "?" where its data would begin.
void markFailure(std::vector<uint8_t> &buffer, uint64_t position) {
    if (position < buffer.size()) buffer[position] = '?';
    if (position + 1 < buffer.size()) buffer[position + 1] = 0;
}

struct Walk {
    uint64_t placed = 0;     // bytes of whole extents read, from the fork's start
    int64_t total = 0;
    bool failed = false;     // an extent could not be read (reported)
};

// Reads `wanted` bytes of the volume at `position` as fork bytes from `placed` on; returns the
// count read, or -1 when the reading must stop without a read error (reported by the reader).
using ExtentReader = std::function<ssize_t(uint64_t position, uint64_t wanted, uint64_t placed)>;

// Walks the fork's extents in order: the eight of its record, then the overflow records that
// continue it, each found by the fork block it starts at. Every record must add blocks, so the
// chain cannot loop; extents past the fork's blocks are cut.
Walk walkExtents(Bytes forkData, uint32_t blockSize, int fd, uint64_t partitionOffset, ForkOwner owner,
                 const ExtentReader &read) {
    uint32_t totalBlocks = forkData.be32(12);
    uint64_t size = static_cast<uint64_t>(totalBlocks) * blockSize;  // 64 bits: 32 x 32 cannot wrap
    Walk walk;
    uint64_t blocksRead = 0, recordStart = 0;
    ExtentRecord extents;
    for (int i = 0; i < kExtentsPerRecord; ++i) extents[i] = {forkData.be32(16 + 8 * i), forkData.be32(20 + 8 * i)};
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
            walk.failed = true;
            return walk;
        }
        uint64_t room = size - walk.placed;
        uint64_t wanted = length < room ? length : room;
        ssize_t got = read(position, wanted, walk.placed);
        if (got < 0) {   // the reader stopped the walk and said why
            walk.failed = true;
            return walk;
        }
        walk.total += got;
        if (got != static_cast<ssize_t>(wanted)) {
            fprintf(stderr, "Read error - Only read %lld bytes instead of %d bytes from Position 0x%llx \n",
                    static_cast<long long>(got), static_cast<int>(wanted),
                    static_cast<unsigned long long>(position + static_cast<uint64_t>(got)));
            walk.failed = true;
            return walk;
        }
        blocksRead += blockCount;
        walk.placed += wanted;
        if (length > room) {
            fprintf(stderr, "Extent %d runs past the fork's %u blocks: cut at the end of the fork\n", i, totalBlocks);
            break;
        }
        if (walk.placed == 0) break;
    }
    if (blocksRead != totalBlocks)
        fprintf(stderr, "Warning: Blocks read: %d.. Total Blocks: %d - should match, but don't\n",
                static_cast<int>(blocksRead), totalBlocks);
    return walk;
}

}  // namespace

std::optional<std::vector<uint8_t>> readFork(Bytes forkData, const uint8_t *volumeHeader, int fd,
                                             uint64_t partitionOffset, uint64_t *bytesRead, ForkOwner owner) {
    Bytes header{volumeHeader, kVolumeHeaderSize};
    uint32_t totalBlocks = forkData.be32(12);
    uint32_t blockSize = header.be32(40);
    uint64_t size = static_cast<uint64_t>(totalBlocks) * blockSize;

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
    Walk walk = walkExtents(forkData, blockSize, fd, partitionOffset, owner,
                            [&](uint64_t position, uint64_t wanted, uint64_t placed) {
                                return readAt(fd, buffer.data() + placed, wanted, position);
                            });
    if (walk.failed) markFailure(buffer, walk.placed);
    // After a failure only the extents before it count, whole.
    if (bytesRead) *bytesRead = walk.failed ? walk.placed : static_cast<uint64_t>(walk.total);
    return buffer;
}

uint64_t copyFork(Bytes forkData, const uint8_t *volumeHeader, int fd, uint64_t partitionOffset, ForkOwner owner,
                  uint64_t length, int outFd, bool *writeFailed) {
    uint32_t blockSize = Bytes{volumeHeader, kVolumeHeaderSize}.be32(40);
    std::vector<uint8_t> piece;
    uint64_t copied = 0;
    *writeFailed = false;
    bool kernelCopy = true;   // until the kernel says it cannot copy between these two files
    walkExtents(forkData, blockSize, fd, partitionOffset, owner,
                [&](uint64_t position, uint64_t wanted, uint64_t placed) -> ssize_t {
                    // Bytes past the fork's size are slack in its last block: walked, not copied.
                    uint64_t keep = placed < length ? std::min(wanted, length - placed) : 0;
                    for (uint64_t done = 0; done < keep;) {
                        uint64_t step = std::min(kStreamPiece, keep - done);
                        if (kernelCopy) {
                            // In-kernel copy: as fast as cp, and no bytes through our memory.
                            off_t from = static_cast<off_t>(position + done);
                            ssize_t moved = copy_file_range(fd, &from, outFd, nullptr, step, 0);
                            if (moved > 0) {
                                copied += static_cast<uint64_t>(moved);
                                done += static_cast<uint64_t>(moved);
                                continue;
                            }
                            if (moved < 0 && errno != EXDEV && errno != EINVAL && errno != ENOSYS &&
                                errno != EOPNOTSUPP && errno != EBADF) {
                                *writeFailed = true;
                                return -1;
                            }
                            kernelCopy = false;   // 0 (past the end) or unsupported: read it ourselves
                        }
                        piece.resize(step);
                        ssize_t got = readAt(fd, piece.data(), step, position + done);
                        if (got > 0 && !writeFully(outFd, piece.data(), static_cast<size_t>(got))) {
                            *writeFailed = true;
                            return -1;
                        }
                        if (got > 0) copied += static_cast<uint64_t>(got);
                        if (got != static_cast<ssize_t>(step)) return static_cast<ssize_t>(done + (got > 0 ? got : 0));
                        done += step;
                    }
                    return static_cast<ssize_t>(wanted);
                });
    return copied;
}
