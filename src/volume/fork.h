// readFork: the whole content of one fork, read through the eight extents of its fork data and
// the extents overflow records that continue it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/bits.h"
#include "volume/overflow.h"
#include "volume/volume_header.h"

class Image;
class Messages;
class Volume;

// Whose fork it is, to find its extents past the eighth; a file ID of 0 reads only the eight.
struct ForkOwner {
    uint32_t fileID = 0;
    uint8_t forkType = kDataForkType;
};

// Where a fork's bytes lie on the volume, in fork order: the extents of its record, then those of
// the overflow records that continue it, cut at the fork's blocks. Reads nothing.
struct ForkMap {
    struct Piece {
        uint64_t position;              // byte position on the device (UINT64_MAX: not addressable)
        uint64_t length;                // bytes of the fork it holds
        uint32_t startBlock, blockCount;
        int index;                      // within its record of eight
        bool cut;                       // ran past the fork's blocks
    };
    std::vector<Piece> pieces;
    uint32_t totalBlocks = 0;
    uint64_t blocks = 0;                // blocks the extents give, whole
    bool odd = false;                   // an empty extent came before the fork's blocks were all found
};
ForkMap mapFork(Bytes forkData, uint32_t blockSize, uint64_t partitionOffset, ForkOwner owner,
                const OverflowIndex *overflow);
// The fork bytes its extents hold inside a device of `deviceSize` bytes (0: unknown, all of them),
// up to the first extent that leaves it: what a forged extent claims past the image is not there.
uint64_t bytesWithin(const ForkMap &map, uint64_t deviceSize);
// Reads up to `length` fork bytes from `offset` on; returns how many, which stop at the end of the
// extents or at a failed read.
uint64_t readMappedFork(const ForkMap &map, const Image &image, uint64_t offset, uint8_t *destination, uint64_t length);
// Says what reading the whole fork would say (its extents' debug traces, extents past the image's
// end, a cut or missing extent), without reading it. False when an extent could not be read.
bool checkForkExtents(const ForkMap &map, const Image &image, uint64_t partitionOffset, Messages &messages);

// Reads totalBlocks x blockSize bytes of the fork described by `forkData` (80 raw bytes, TN1150
// HFSPlusForkData), continued by the overflow records of `owner`. Bytes no extent filled are zero;
// *bytesRead counts those read. Returns nothing when the fork is larger than
// the image could hold or the buffer cannot be allocated (saying why in `messages`).
std::optional<std::vector<uint8_t>> readFork(const Volume &volume, Bytes forkData, Messages &messages,
                                             uint64_t *bytesRead = nullptr, ForkOwner owner = {});

// Copies the first `length` bytes of the fork to outFd as it reads them, a piece at a time, so that
// memory stays small whatever the fork's size; reports as readFork does. Returns the bytes copied,
// which stop at the first extent that cannot be read. A failed write sets *writeFailed and stops.
uint64_t copyFork(const Volume &volume, Bytes forkData, ForkOwner owner, uint64_t length, int outFd, bool *writeFailed,
                  Messages &messages);
