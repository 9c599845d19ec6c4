// One opened HFS Plus volume: the image it is read through, where in it the volume starts, the
// header, the three B-trees (read node by node as they are used), the overflow extents, and how
// names compare. Opening another volume builds another object; dropping one releases everything
// it held (the descriptor, the cached nodes, an expanded image's space in /tmp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/messages.h"
#include "volume/btree_file.h"
#include "volume/fork.h"
#include "image/image.h"
#include "volume/overflow.h"
#include "volume/volume_header.h"

constexpr uint8_t kCaseFolding = 0xCF, kBinaryCompare = 0xBC;

class Volume {
public:
    // Reads the header 1024 bytes past partitionOffset, then the extents overflow, catalog and
    // attributes trees, noting in `messages` what goes wrong; nothing when there is no HFS Plus header.
    static std::unique_ptr<Volume> open(std::shared_ptr<const Image> image, uint64_t partitionOffset, Messages &messages);

    const Image &image() const { return *image_; }
    std::shared_ptr<const Image> sharedImage() const { return image_; }
    uint64_t partitionOffset() const { return partitionOffset_; }
    // Where the classic HFS volume that wraps this one starts, when one does.
    std::optional<uint64_t> wrapperOffset() const { return wrapperOffset_; }
    const VolumeHeader &header() const { return header_; }
    uint32_t blockSize() const { return header_.blockSize(); }

    BTree *extents() const { return extents_.get(); }
    BTree *catalog() const { return catalog_.get(); }
    BTree *attributes() const { return attributes_.get(); }
    BTree *tree(int type) const;
    // Reads a tree that could not be read before again, noting the same; the tree or null.
    BTree *reloadTree(int type, Messages &messages);

    // How names compare in the catalog: kCaseFolding (HFS Plus) or kBinaryCompare (HFSX).
    uint8_t compareType() const;
    bool foldsCase() const { return compareType() == kCaseFolding; }

    const OverflowIndex &overflow() const { return overflow_; }
    // Where a fork's bytes lie in the image: its own extents, then the overflow records of `owner`.
    ForkMap mapFork(Bytes forkData, ForkOwner owner) const;

private:
    Volume(std::shared_ptr<const Image> image, uint64_t partitionOffset) : image_(std::move(image)), partitionOffset_(partitionOffset) {}
    std::unique_ptr<BTree> loadTree(int type, Messages &messages) const;

    std::shared_ptr<const Image> image_;
    uint64_t partitionOffset_ = 0;
    std::optional<uint64_t> wrapperOffset_;
    VolumeHeader header_;
    std::unique_ptr<BTree> extents_, catalog_, attributes_;
    OverflowIndex overflow_;
};

// The header 1024 bytes past `offset`; nothing (noting why) when it cannot be read or is not an
// HFS Plus or HFSX one.
std::optional<VolumeHeader> getVolumeHeader(const Image &image, uint64_t offset, Messages &messages);
// Opens a device or image file read-only; on failure `error` says why, in the words users know.
UniqueFd openDevice(const std::string &path, std::string &error);
std::string getRawDevice(const std::string &path);
