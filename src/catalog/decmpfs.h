// decmpfs: the content of a file that macOS keeps compressed, from its "com.apple.decmpfs"
// attribute (the inline types) or its resource fork (the others).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"

constexpr uint32_t kDecmpfsStoredAttribute = 1;   // the oldest form: the content follows the header
constexpr uint32_t kDecmpfsZlibAttribute = 3;     // compressed data inline in the attribute
constexpr uint32_t kDecmpfsZlibFork = 4;          // compressed data in the resource fork
constexpr uint32_t kDecmpfsLzvnAttribute = 7, kDecmpfsLzvnFork = 8;
constexpr uint32_t kDecmpfsRawAttribute = 9, kDecmpfsRawFork = 10;
constexpr uint32_t kDecmpfsLzfseAttribute = 11, kDecmpfsLzfseFork = 12;
constexpr uint64_t kDecmpfsBlock = 0x10000;
constexpr size_t kDecmpfsHeaderSize = 16;

// The little-endian header that begins a "com.apple.decmpfs" attribute: magic 'fpmc', the
// compression type, the uncompressed size. parse() refuses fewer than 16 bytes.
struct DecmpfsHeader {
    uint32_t type = 0;
    uint64_t size = 0;
    static std::optional<DecmpfsHeader> parse(Bytes attribute) {
        if (!attribute.has(0, kDecmpfsHeaderSize)) return std::nullopt;
        return DecmpfsHeader{attribute.le32(4), attribute.le64(8)};
    }
};

// Where and how a type keeps the data ("zlib in the resource fork"), or "unknown".
const char *decmpfsTypeText(uint32_t type);
// True for the types Tarnwick expands.
bool decmpfsTypeKnown(uint32_t type);
// True for the types whose data lies in the resource fork rather than in the attribute.
bool decmpfsInResourceFork(uint32_t type);
// A compressed resource fork read where it lies: `read` gives `length` bytes at `offset` (using
// `scratch` as it needs), or an empty view when they are not all inside the fork.
struct DecmpfsFork {
    uint64_t size = 0;
    std::function<Bytes(uint64_t offset, uint64_t length, std::vector<uint8_t> &scratch)> read;
};
// Receives the expanded file a block at a time, each at its place.
using DecmpfsSink = std::function<void(uint64_t position, const uint8_t *data, size_t length)>;

// Expands a resource-fork type file of `size` bytes block by block, so memory stays a block
// whatever its size. False (after saying why) for an unknown type or a size the fork cannot hold;
// blocks that could not be expanded are said, left zero and added to *damagedBlocks.
bool decmpfsExpandFork(const DecmpfsFork &fork, uint32_t type, uint64_t size, const DecmpfsSink &sink,
                       Messages &messages, uint64_t *damagedBlocks = nullptr);
// Expands a compressed file of `size` bytes: for the resource-fork types `compressed` is the
// resource fork, for the inline types the data of its decmpfs attribute (header included).
// Nothing for unknown types, or when the size is impossible for the data given; damaged blocks
// are reported and left zero, and never shift the blocks after them.
std::optional<std::vector<uint8_t>> decmpfsDecompress(Bytes compressed, uint32_t type, uint64_t size,
                                                      Messages &messages, uint64_t *damagedBlocks = nullptr);
