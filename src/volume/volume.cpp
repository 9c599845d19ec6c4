#include "volume/volume.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "base/output.h"
#include "volume/journal.h"

namespace {

constexpr size_t kHeaderProbeSize = 8192;

size_t forkOffsetOf(int type) {
    return type == kCatalogTree ? kCatalogForkOffset : type == kExtentsTree ? kExtentsForkOffset : kAttributesForkOffset;
}

// Disks formatted by Mac OS 8.1 to 9 keep HFS Plus inside a classic HFS volume: its master
// directory block stands where the HFS Plus header would, signs "BD", and names the extent of
// allocation blocks that holds the embedded volume ("H+"). Where that volume starts, else `offset`.
uint64_t unwrapped(const Image &image, uint64_t offset, Messages &messages) {
    constexpr size_t kEmbedEnd = 0x82;
    std::array<uint8_t, kEmbedEnd> block{};
    if (offset > static_cast<uint64_t>(INT64_MAX) - kVolumeHeaderOffset ||
        image.readAt(block.data(), block.size(), offset + kVolumeHeaderOffset) != static_cast<ssize_t>(block.size()))
        return offset;
    Bytes mdb{block.data(), block.size()};
    uint32_t blockSize = mdb.be32(0x14);
    if (mdb.be16(0) != 0x4244 || mdb.be16(0x7C) != 0x482B || blockSize == 0 || blockSize % 512 != 0) return offset;
    // 16-bit sector and block numbers: the sum cannot leave 64 bits.
    uint64_t embedded = offset + uint64_t{mdb.be16(0x1C)} * 512 + uint64_t{mdb.be16(0x7E)} * blockSize;
    messages.err("HFS wrapper: its HFS+ volume starts at byte %llu\n", static_cast<unsigned long long>(embedded));
    return embedded;
}

}  // namespace

std::optional<VolumeHeader> getVolumeHeader(const Image &image, uint64_t offset, Messages &messages) {
    std::array<uint8_t, kHeaderProbeSize> probe{};
    // A huge offset from a partition map must not wrap into a read somewhere else.
    ssize_t got = offset <= static_cast<uint64_t>(INT64_MAX) ? image.readAt(probe.data(), probe.size(), offset) : -1;
    if (got != static_cast<ssize_t>(probe.size())) {
        messages.err("Read: returned %d bytes\n", static_cast<int>(got));
        return std::nullopt;
    }
    VolumeHeader header;
    memcpy(header.raw.data(), probe.data() + kVolumeHeaderOffset, kVolumeHeaderSize);
    unsigned signature = header.raw[0] | header.raw[1] << 8;
    if (memcmp(header.raw.data(), "H+", 2) != 0 && memcmp(header.raw.data(), "HX", 2) != 0) {
        messages.err("Signature: %x is unrecognized\n", signature);
        return std::nullopt;
    }
    if (g_Debug) messages.err("Got HFS Signature: %x\n", signature);
    return header;
}

std::unique_ptr<Volume> Volume::open(std::shared_ptr<const Image> image, uint64_t partitionOffset, Messages &messages) {
    if (g_Debug) messages.out("Opening partition from offset %lld (0x%llx) with Blocksize %d\n", 0ll, 0ull, 512);
    uint64_t wrapper = partitionOffset;
    partitionOffset = unwrapped(*image, partitionOffset, messages);
    auto header = getVolumeHeader(*image, partitionOffset, messages);
    if (!header) return nullptr;
    std::unique_ptr<Volume> volume(new Volume(std::move(image), partitionOffset));
    if (partitionOffset != wrapper) volume->wrapperOffset_ = wrapper;
    volume->header_ = *header;
    // The overflow extents first: the catalog and attributes files may continue there.
    if (forkTotalBlocks(header->fork(kExtentsForkOffset)) != 0) volume->extents_ = volume->loadTree(kExtentsTree, messages);
    volume->overflow_ = OverflowIndex(volume->extents_.get());
    if (g_Debug) messages.err("Processing Catalog\n");
    volume->catalog_ = volume->loadTree(kCatalogTree, messages);
    if (g_Debug) messages.err("Processing Attributes\n");
    // Volumes made before 10.4 often have no attributes file: its fork is all zero, which is no damage.
    if (forkTotalBlocks(header->fork(kAttributesForkOffset)) != 0)
        volume->attributes_ = volume->loadTree(kAttributesTree, messages);
    // Transactions still in the journal are not in the structures read here: say so once, up front.
    if (auto journal = readJournal(*volume); journal && journal->unreplayed())
        messages.err("%s", kUnreplayedJournalWarning);
    return volume;
}

BTree *Volume::tree(int type) const {
    return type == kCatalogTree ? catalog() : type == kExtentsTree ? extents() : type == kAttributesTree ? attributes() : nullptr;
}

BTree *Volume::reloadTree(int type, Messages &messages) {
    std::unique_ptr<BTree> &slot = type == kCatalogTree ? catalog_ : type == kExtentsTree ? extents_ : attributes_;
    if (!slot) slot = loadTree(type, messages);
    return slot.get();
}

uint8_t Volume::compareType() const {
    // Names are compared as the catalog says; 0 (as HFS Plus catalogs may leave it) folds case.
    uint8_t type = catalog_ ? catalog_->keyCompareType() : 0;
    return type == 0 ? kCaseFolding : type;
}

ForkMap Volume::mapFork(Bytes forkData, ForkOwner owner) const {
    return ::mapFork(forkData, blockSize(), partitionOffset_, owner, &overflow_);
}

// The tree file is not read whole: its extents are checked as a whole read would check them, then
// nodes are read as they are used.
std::unique_ptr<BTree> Volume::loadTree(int type, Messages &messages) const {
    Bytes fork = header_.fork(forkOffsetOf(type));
    // The overflow file keeps the extents of the catalog and attributes files, never its own.
    ForkOwner owner{type == kExtentsTree ? 0u : static_cast<uint32_t>(type), kDataForkType};
    uint32_t totalBlocks = forkTotalBlocks(fork);
    uint64_t size = static_cast<uint64_t>(totalBlocks) * blockSize();
    // Every allocated block lies inside the volume, so a fork larger than the image is damage.
    uint64_t imageSize = image_->size();
    bool readable = imageSize == 0 || size <= imageSize;
    if (!readable)
        messages.err("Fork of %u blocks of %u bytes is larger than the image (%llu bytes): not read\n", totalBlocks,
                blockSize(), static_cast<unsigned long long>(imageSize));
    auto map = std::make_shared<ForkMap>(mapFork(fork, owner));
    if (!readable) {
        // A fork that cannot be read leaves the tree absent; the process goes on.
        messages.out("Error reading catalog\n");   // kept as it is for every tree: scripts look for it
        return nullptr;
    }
    checkForkExtents(*map, *image_, partitionOffset_, messages);
    const Image *image = image_.get();
    auto tree = std::make_unique<BTree>(size, [image, map](uint64_t offset, uint8_t *out, uint64_t length) {
        return readMappedFork(*map, *image, offset, out, length);
    });
    // The header node's descriptor: the file's first bytes, whatever the node size claims.
    std::array<uint8_t, kNodeDescriptorSize> first{};
    tree->read(0, first.data(), first.size());
    int kind = nodeKind(Bytes{first.data(), first.size()});
    uint16_t records = nodeNumRecords(Bytes{first.data(), first.size()});
    if (kind != kHeaderNode || records != 3) {
        messages.err("processBTree: Node kind %d, %d records - should be kind 1, 3 records - but it isn't!\n", kind,
                     records);
        messages.out("node is %d\n", kind);
        return nullptr;
    }
    if (tree->btreeType() != 0) return nullptr;
    if (!validNodeSize(tree->nodeSize())) {
        messages.err("The B-tree's node size %u is not a power of two from %u to %u: the tree is not read\n",
                     tree->nodeSize(), kMinNodeSize, kMaxNodeSize);
        return nullptr;
    }
    return tree;
}

std::string getRawDevice(const std::string &path) {
#ifdef __APPLE__
    // Disks are read through their raw twin, which the system does not hold busy while mounted.
    if (path.starts_with("/dev/rdisk") || !path.starts_with("/dev/disk")) return path;
    return "/dev/r" + path.substr(5);
#else
    return path;   // /dev/disk/by-id/... and the like are names of their own elsewhere
#endif
}

UniqueFd openDevice(const std::string &path, std::string &error) {
    std::string name = getRawDevice(path);
    UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) return fd;
    int err = errno;
    error = "Error opening HFS+ Partition (Device: " + name + ")";
    if (err == EACCES)
        error += " - System reported access denied.\nEither run me as root, or chmod +r the device so I can read it\n";
    else if (err == ENOENT)
        error += " - Path does not exist.\nDid you get the device right?\n";
    else if (err == EBUSY)
        error += " - Busy.\nDid you pass me the /dev/disk instead of the /dev/rdisk?\n";
    return fd;
}
