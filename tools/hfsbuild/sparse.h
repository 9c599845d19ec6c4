// Apple sparse disk images (.sparseimage) and sparse bundles around a flat image, for tests and
// benchmarks. Sectors are 512 bytes, sizes 64 bits; bands that are all zero are not stored. Throws
// std::invalid_argument for a layout it cannot write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hfsbuild/encrypted.h"

namespace hfsbuild {

struct SparseImageOptions {
    uint32_t sectorsPerBand = 2048;   // hdiutil's 1 MiB
    uint64_t size = 0;                // bytes, whole sectors; 0: the disk's, rounded up to a sector;
                                      // more: zeros after the disk (past 2 TiB, the 64-bit size is set)
};

// The 4096-byte header (see src/image/sparse.cpp for the fields), then the bands holding data in
// full, last band first, so that only the index says where each is; past the header's 1008 slots,
// an index node of 1010 slots is added at the end of the file each time the one before is full.
std::vector<uint8_t> buildSparseImage(const std::vector<uint8_t> &disk, const SparseImageOptions &options = {});

struct SparseBundleOptions {
    uint64_t bandBytes = 8 << 20;     // hdiutil's 8 MiB
    uint64_t size = 0;                // bytes; 0: the disk's; more: zeros after the disk
    std::optional<EncryptionOptions> encryption = std::nullopt;   // the header in `token`, the bands in ciphertext
};

// Info.plist as hdiutil writes it, for a bundle of this band size and size.
std::string sparseBundleInfo(uint64_t bandBytes, uint64_t size);

// The folder `path` (made, with its parents, when missing): Info.plist and a new bands/, where each
// band holding data is a file whose trailing zeros are left out, as a reader must allow. Encrypted,
// the bands that hold data are stored as ciphertext, and the others left out as hdiutil never
// writes them.
void writeSparseBundle(const std::string &path, const std::vector<uint8_t> &disk, const SparseBundleOptions &options = {});

}  // namespace hfsbuild
