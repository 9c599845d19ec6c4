// Hostile images: builder volumes with targeted forgeries, one for each way a forged image once
// made the reader exhaust memory or disk, crawl, report partial work as success or drive the
// terminal. The tests run each; `mkimage --hostile NAME OUT` writes one to look at.
#include "hfsbuild/hostile.h"

#include <algorithm>
#include <random>

#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"

namespace hfsbuild {

namespace {

using ByteVec = std::vector<uint8_t>;

// Bytes no coder shrinks, and text every coder does.
ByteVec noise(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    ByteVec data(size);
    for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
    return data;
}

ByteVec prose(size_t size) {
    std::string text;
    for (unsigned i = 0; text.size() < size; ++i) text += "the catalog node " + std::to_string(i % 977) + " of a leaf\n";
    return {text.begin(), text.begin() + static_cast<long>(size)};
}

constexpr size_t kHeader = 1024, kAllocationFork = kHeader + 112;

// A volume of 512-byte blocks with enough bytes for the forgeries to point into.
ByteVec plainVolume() {
    Volume v;
    v.blockSize = 512;
    v.nodes.push_back(fileNode("/filler.bin", noise(96 << 10, 7)));
    return buildVolume(v);
}

// The allocation file made 64 KiB of the volume's bytes, the volume 2^19 blocks: its picture
// alone is more than the 1 MiB /tmp holds.
ByteVec hugeBitmap() {
    ByteVec image = plainVolume();
    putBE32(image, kHeader + 44, 1u << 19);
    putBE32(image, kAllocationFork + 4, 65536);           // logical size, low word
    putBE32(image, kAllocationFork + 12, 65536 / 512);    // total blocks
    putBE32(image, kAllocationFork + 16, 1);              // one extent from block 1
    putBE32(image, kAllocationFork + 20, 65536 / 512);
    return image;
}

uint32_t be32(const ByteVec &v, size_t at) {
    return at + 4 <= v.size() ? uint32_t{v[at]} << 24 | uint32_t{v[at + 1]} << 16 | uint32_t{v[at + 2]} << 8 | v[at + 3] : 0;
}

// Where the data of the volume's one file record lies: the catalog's leaves searched for record type 2.
size_t fileRecordData(const ByteVec &v) {
    size_t base = size_t{be32(v, kHeader + 272 + 16)} * be32(v, kHeader + 40), nodeSize = be32(v, base + 32) >> 16;
    for (size_t node = base + nodeSize; node + nodeSize <= v.size(); node += nodeSize) {
        if (v[node + 8] != 0xFF) continue;
        for (uint16_t r = 0, records = static_cast<uint16_t>(be32(v, node + 8)); r < records; ++r) {
            size_t key = node + (be32(v, node + nodeSize - 2 * (r + 1) - 2) & 0xFFFF);
            size_t data = key + 2 + (be32(v, key) >> 16);
            if (be32(v, data) >> 16 == 2) return data;
        }
    }
    return 0;
}

// A zlib file in its resource fork whose fork claims 2^40 bytes on one extent of 2^32 - 1 blocks,
// and whose block table claims 2^32 - 1 blocks.
ByteVec resourceForkBomb() {
    Volume v;
    v.blockSize = 512;
    Node file = fileNode("/f", noise(128 << 10, 9));
    file.compression = 4;
    v.nodes.push_back(file);
    ByteVec image = buildVolume(v);
    size_t fork = fileRecordData(image) + 168;
    uint32_t start = be32(image, fork + 16);
    putBE32(image, fork, 1u << 8);                   // logical size 2^40: high word
    putBE32(image, fork + 12, 0xFFFFFFFF);
    putBE32(image, fork + 20, 0xFFFFFFFF);
    image[size_t{start} * 512 + 0x104] = image[size_t{start} * 512 + 0x105] = 0xFF;   // the count, little-endian
    image[size_t{start} * 512 + 0x106] = image[size_t{start} * 512 + 0x107] = 0xFF;
    return image;
}

// A 2 MiB attribute value, more than the 1 MiB /tmp holds.
ByteVec bigAttribute() {
    Volume v;
    Node file = fileNode("/f", "x");
    file.attributes.push_back({"big", noise(2 << 20, 8), true});
    v.nodes.push_back(file);
    return buildVolume(v);
}

// A partition whose name would retitle the terminal.
ByteVec titledPartition() {
    UdifOptions o;
    o.partitions.push_back({"evil\x1b]0;owned\x07", 8});
    return buildUdif(ByteVec(8 * 512, 'x'), o);
}

// A disk image whose one zlib chunk holds the stream of half its sectors: the rest must not
// silently read as zeros.
ByteVec shortChunk() {
    ByteVec disk = buildVolume(Volume{}), full = zlibCompress(disk), half = zlibCompress(disk.data(), disk.size() / 2);
    UdifOptions o;
    o.chunkSectors = disk.size() / 512;
    ByteVec image = buildUdif(disk, o);
    auto at = std::search(image.begin(), image.end(), full.begin(), full.end());
    if (at == image.end() || half.size() > full.size()) return {};
    std::fill(std::copy(half.begin(), half.end(), at), at + static_cast<long>(full.size()), 0);
    return image;
}

// A catalog of 512-byte nodes whose first leaf's forward link is cut: the records after it are
// out of reach, which the walk must say.
ByteVec cutChain() {
    Volume v;
    v.blockSize = v.catalogNodeSize = 512;
    for (int i = 0; i < 40; ++i) v.nodes.push_back(fileNode("/many/entry-" + std::to_string(i), "x"));
    ByteVec image = buildVolume(v);
    size_t base = size_t{be32(image, kHeader + 272 + 16)} * 512;
    putBE32(image, base + 512 * be32(image, base + 14 + 10), 0);
    return image;
}

// Two names that one extracted name stands for, and three names of one file.
ByteVec sameNames() {
    Volume v;
    v.nodes = {fileNode("/d/x\x01", "first"), fileNode("/d/x\x7f", "second"), fileNode("/d/file", "linked")};
    for (const char *name : {"/d/one", "/d/two"}) v.nodes.push_back(hardLinkNode(name, "/d/file"));
    return buildVolume(v);
}

// An LZVN file whose first block's end is forged to one byte past its start.
ByteVec damagedBlock() {
    Volume v;
    v.blockSize = 512;
    Node file = fileNode("/f", prose(3 << 16));
    file.compression = 8;
    v.nodes.push_back(file);
    ByteVec image = buildVolume(v);
    size_t table = size_t{be32(image, fileRecordData(image) + 168 + 16)} * 512;
    uint32_t first = image[table] | image[table + 1] << 8;
    image[table + 4] = static_cast<uint8_t>(first + 1), image[table + 5] = static_cast<uint8_t>((first + 1) >> 8);
    image[table + 6] = image[table + 7] = 0;
    return image;
}

// A file in a volume in a GPT disk, whose opening says a lot.
ByteVec partitioned() {
    Volume v;
    v.nodes.push_back(fileNode("/f", "only these bytes\n"));
    return buildGpt({.partitions = {{kGptHfsPlus, u"Volume", 0, 0, buildVolume(v), 0}}});
}

// A chain of 3000 folders of one name: each match's path must not be looked up from the root again.
ByteVec folderChain() {
    Volume v;
    std::string path;
    for (int i = 0; i < 3000; ++i) path += "/d";
    v.nodes.push_back(folderNode(path));
    return buildVolume(v);
}

}  // namespace

const std::vector<HostileImage> &hostileImages() {
    static const std::vector<HostileImage> images = {
        {"bitmap", hugeBitmap},
        {"attribute", bigAttribute},
        {"resource-fork-bomb", resourceForkBomb},
        {"cut-chain", cutChain},
        {"same-names", sameNames},
        {"damaged-block", damagedBlock},
        {"partitioned", partitioned},
        {"short-chunk", shortChunk},
        {"folder-chain", folderChain},
        {"partition-name", titledPartition},
    };
    return images;
}

ByteVec hostileImage(const std::string &name) {
    for (const HostileImage &image : hostileImages())
        if (name == image.name) return image.build();
    return {};
}

}  // namespace hfsbuild
