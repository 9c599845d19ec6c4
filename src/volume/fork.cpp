#include "volume/fork.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "base/messages.h"
#include "base/output.h"
#include "image/image.h"
#include "volume/overflow.h"
#include "volume/volume.h"

namespace {

// Pieces in which a fork is streamed: memory stays this size whatever the fork's.
constexpr uint64_t kStreamPiece = 1 << 20;

// What one fork read whole may take: a quarter of the machine's memory. An expanded disk image may
// be almost all holes, so its size no longer bounds what a forged fork can claim.
uint64_t wholeForkLimit() {
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return 1ull << 30;
    return static_cast<uint64_t>(pages) / 4 * static_cast<uint64_t>(pageSize);
}

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

// Reads the mapped extents in order, with the reports every fork read gives.
Walk walkExtents(const ForkMap &map, uint64_t partitionOffset, const ExtentReader &read, Messages &messages) {
    Walk walk;
    for (const ForkMap::Piece &piece : map.pieces) {
        // A position past what a file offset can hold cannot be sought to.
        long long where = piece.position <= static_cast<uint64_t>(INT64_MAX) ? static_cast<long long>(piece.position) : -1;
        if (g_Debug)
            messages.out("EXTENT: from block %d, %d blocks/%d at offset %llx (partition offset: 0x%llx)\n", piece.startBlock,
                   piece.blockCount, map.totalBlocks, static_cast<unsigned long long>(where),
                   static_cast<unsigned long long>(partitionOffset));
        if (where < 0) {
            messages.err("Lseek to %lld failed\n", static_cast<long long>(piece.position));
            messages.err("lseek: %s\n", strerror(EINVAL));
            walk.failed = true;
            return walk;
        }
        ssize_t got = read(piece.position, piece.length, walk.placed);
        if (got < 0) {   // the reader stopped the walk and said why
            walk.failed = true;
            return walk;
        }
        walk.total += got;
        if (got != static_cast<ssize_t>(piece.length)) {
            messages.err("Read error - Only read %lld bytes instead of %d bytes from Position 0x%llx \n",
                    static_cast<long long>(got), static_cast<int>(piece.length),
                    static_cast<unsigned long long>(piece.position + static_cast<uint64_t>(got)));
            walk.failed = true;
            return walk;
        }
        walk.placed += piece.length;
        if (piece.cut)
            messages.err("Extent %d runs past the fork's %u blocks: cut at the end of the fork\n", piece.index,
                    map.totalBlocks);
    }
    if (map.odd) messages.out("**ODD**\n");   // kept as it is: scripts look for it
    if (map.blocks != map.totalBlocks)
        messages.err("Warning: Blocks read: %d.. Total Blocks: %d - should match, but don't\n",
                static_cast<int>(map.blocks), map.totalBlocks);
    return walk;
}

}  // namespace

ForkMap mapFork(Bytes forkData, uint32_t blockSize, uint64_t partitionOffset, ForkOwner owner,
                const OverflowIndex *overflow) {
    ForkMap map;
    map.totalBlocks = forkTotalBlocks(forkData);
    uint64_t size = static_cast<uint64_t>(map.totalBlocks) * blockSize;  // 64 bits: 32 x 32 cannot wrap
    uint64_t mapped = 0, recordStart = 0;
    ExtentRecord extents;
    for (int i = 0; i < kExtentsPerRecord; ++i) extents[i] = forkExtent(forkData, i);
    // The record's eight extents, then the overflow records that continue the fork, each found by
    // the fork block it starts at. Every record must add blocks, so the chain cannot loop.
    for (int i = 0; map.blocks < map.totalBlocks; ++i) {
        if (i == kExtentsPerRecord) {
            const ExtentRecord *next =
                overflow && owner.fileID && map.blocks > recordStart
                    ? overflow->find(owner.fileID, owner.forkType, static_cast<uint32_t>(map.blocks))
                    : nullptr;
            if (!next) break;
            extents = *next;
            recordStart = map.blocks;
            i = 0;
        }
        const Extent &e = extents[i];
        if (e.startBlock == 0) {
            map.odd = true;
            break;
        }
        uint64_t position = partitionOffset + static_cast<uint64_t>(e.startBlock) * blockSize;
        uint64_t length = static_cast<uint64_t>(e.blockCount) * blockSize;
        uint64_t room = size - mapped;
        ForkMap::Piece piece{position < partitionOffset ? UINT64_MAX : position, std::min(length, room), e.startBlock,
                             e.blockCount, i, length > room};
        map.pieces.push_back(piece);
        map.blocks += e.blockCount;
        mapped += piece.length;
        if (piece.cut || mapped == 0) break;   // extents past the fork's blocks are cut there
    }
    return map;
}

uint64_t bytesWithin(const ForkMap &map, uint64_t deviceSize) {
    uint64_t held = 0;
    for (const ForkMap::Piece &piece : map.pieces) {
        if (deviceSize == 0) {
            held += piece.length;
            continue;
        }
        if (piece.position >= deviceSize) break;
        uint64_t inside = std::min(piece.length, deviceSize - piece.position);
        held += inside;
        if (inside < piece.length) break;
    }
    return held;
}

std::optional<std::vector<uint8_t>> readFork(const Volume &volume, Bytes forkData, Messages &messages,
                                             uint64_t *bytesRead, ForkOwner owner) {
    uint32_t totalBlocks = forkTotalBlocks(forkData);
    uint32_t blockSize = volume.blockSize();
    uint64_t size = static_cast<uint64_t>(totalBlocks) * blockSize;

    // Every allocated block lies inside the volume, so a fork larger than the image is damage.
    uint64_t imageSize = volume.image().size();
    if (imageSize != 0 && size > imageSize) {
        messages.err("Fork of %u blocks of %u bytes is larger than the image (%llu bytes): not read\n", totalBlocks,
                blockSize, static_cast<unsigned long long>(imageSize));
        return std::nullopt;
    }
    if (size > wholeForkLimit()) {
        messages.err("Fork of %u blocks of %u bytes is more than a quarter of this machine's memory: not read\n",
                totalBlocks, blockSize);
        return std::nullopt;
    }
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(size, 0);
    } catch (const std::exception &) {  // bad_alloc, or length_error past the address space
        messages.err("Unable to allocate %llu bytes for a fork\n", static_cast<unsigned long long>(size));
        return std::nullopt;
    }
    const Image &image = volume.image();
    Walk walk = walkExtents(volume.mapFork(forkData, owner), volume.partitionOffset(),
                            [&](uint64_t position, uint64_t wanted, uint64_t placed) {
                                return image.readAt(buffer.data() + placed, wanted, position);
                            },
                            messages);
    if (walk.failed) markFailure(buffer, walk.placed);
    // After a failure only the extents before it count, whole.
    if (bytesRead) *bytesRead = walk.failed ? walk.placed : static_cast<uint64_t>(walk.total);
    return buffer;
}

bool checkForkExtents(const ForkMap &map, const Image &image, uint64_t partitionOffset, Messages &messages) {
    uint64_t imageSize = image.size();
    // A regular file reads short only at its end; a device of unknown size is taken at its word.
    return !walkExtents(map, partitionOffset, [&](uint64_t position, uint64_t wanted, uint64_t) -> ssize_t {
                return static_cast<ssize_t>(imageSize == 0 || position + wanted <= imageSize ? wanted
                                            : position < imageSize ? imageSize - position : 0);
            }, messages).failed;
}

uint64_t copyFork(const Volume &volume, Bytes forkData, ForkOwner owner, uint64_t length, int outFd, bool *writeFailed,
                  Messages &messages) {
    const Image &image = volume.image();
    const int fd = image.descriptor();
    std::vector<uint8_t> piece;
    uint64_t copied = 0;
    *writeFailed = false;
    bool kernelCopy = fd >= 0;   // until the kernel says it cannot copy between these two files
    walkExtents(volume.mapFork(forkData, owner), volume.partitionOffset(),
                [&](uint64_t position, uint64_t wanted, uint64_t placed) -> ssize_t {
                    // Bytes past the fork's size are slack in its last block: walked, not copied.
                    uint64_t keep = placed < length ? std::min(wanted, length - placed) : 0;
                    for (uint64_t done = 0; done < keep;) {
                        if (g_Interrupted) return -1;
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
                        ssize_t got = image.readAt(piece.data(), step, position + done);
                        if (got > 0 && !writeFully(outFd, piece.data(), static_cast<size_t>(got))) {
                            *writeFailed = true;
                            return -1;
                        }
                        if (got > 0) copied += static_cast<uint64_t>(got);
                        if (got != static_cast<ssize_t>(step)) return static_cast<ssize_t>(done + (got > 0 ? got : 0));
                        done += step;
                    }
                    return static_cast<ssize_t>(wanted);
                },
                messages);
    return copied;
}

uint64_t readMappedFork(const ForkMap &map, const Image &image, uint64_t offset, uint8_t *destination, uint64_t length) {
    uint64_t start = 0, done = 0;
    for (const ForkMap::Piece &piece : map.pieces) {
        if (done == length) break;
        uint64_t end = start + piece.length;
        if (offset + done < end) {
            uint64_t within = offset + done - start;
            uint64_t step = std::min(piece.length - within, length - done);
            if (piece.position > UINT64_MAX - within) return done;
            ssize_t got = image.readAt(destination + done, step, piece.position + within);
            if (got <= 0) return done;
            done += static_cast<uint64_t>(got);
            if (static_cast<uint64_t>(got) < step) return done;
        }
        start = end;
    }
    return done;
}
