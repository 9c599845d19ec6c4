// Expanding decmpfs-compressed files: resource-fork blocks (types 4, 8, 10, 12), inline data (1, 3, 7, 9, 11).
#include "catalog/decmpfs.h"
#include "hfsbuild/codecs.h"
#include "unit.h"

using namespace unit;

namespace {

ByteVec zlib(const ByteVec &data) { return hfsbuild::zlibCompress(data); }
ByteVec stored(const ByteVec &data, uint8_t marker = 0xFF) { return joined({{marker}, data}); }

// Type 4: resource header (data at 0x100), length word, block table of (offset, size), blocks.
ByteVec resourceFork(const std::vector<ByteVec> &blocks) {
    ByteVec fork(0x108 + 8 * blocks.size(), 0);
    fork[2] = 0x01;
    le(fork, 0x104, blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
        le(fork, 0x108 + 8 * i, fork.size() - 0x104), le(fork, 0x10C + 8 * i, blocks[i].size());
        fork.insert(fork.end(), blocks[i].begin(), blocks[i].end());
    }
    return fork;
}

// Types 8, 10, 12: little-endian offsets of the blocks and of their end, then the blocks.
ByteVec offsetFork(const std::vector<ByteVec> &blocks) {
    ByteVec fork(4 * (blocks.size() + 1), 0);
    for (size_t i = 0; i <= blocks.size(); ++i) {
        le(fork, 4 * i, fork.size());
        if (i < blocks.size()) fork.insert(fork.end(), blocks[i].begin(), blocks[i].end());
    }
    return fork;
}

ByteVec inlined(uint32_t type, uint64_t size, const ByteVec &payload) {
    ByteVec attribute = joined({bytesOf("fpmc"), ByteVec(12, 0), payload});
    le(attribute, 4, type), le(attribute, 8, size);
    return attribute;
}

std::string hex(size_t value) { char text[24]; snprintf(text, sizeof text, "%zx", value); return text; }

// What decmpfsDecompress gives, and what it says on stderr.
std::pair<std::optional<ByteVec>, std::string> expand(const ByteVec &compressed, uint32_t type, uint64_t size) {
    Messages said;
    std::optional<ByteVec> data = decmpfsDecompress(view(compressed), type, size, said);
    return {data, said.text(false)};
}

}  // namespace

// Well-formed data of every type, stored blocks included, is pulled byte for byte in the interop tests
// (PullCompression, on the builder's Modern and Compressed volumes).
TEST(Decmpfs, DamagedDataStaysInsideItsBuffers) {
    ByteVec first = vocabularyText(65536, 1), last = vocabularyText(100, 2);
    ByteVec outside = resourceFork({zlib(first), stored(last)});
    le(outside, 0x108, 0x7FFFFFF0);   // block 0 far beyond the fork
    ByteVec corrupt = resourceFork({ByteVec(50, 0x11), stored(last)}), badHeader = resourceFork({stored(last)});
    badHeader[0] = 0x7F;   // resource data offset outside the fork
    ByteVec lzvnOutside = offsetFork({lzvnEncode(first), stored(last, 0x06)});
    le(lzvnOutside, 0, 0x7FFFFFF0);
    const std::string block0 = "Error decompressing in block 0", more = " bytes, more than its compressed data can hold\n";
    // Compressed data, type, size, whether data of that size is delivered, what is said.
    std::tuple<ByteVec, uint32_t, uint64_t, bool, std::string> cases[] = {
        {outside, 4, 65636, true, "Block 0 (offset 0x800000f4, size 0x" + hex(zlib(first).size()) + ") lies outside the resource fork: left empty\n"},
        {resourceFork({stored(vocabularyText(200, 4))}), 4, 50, true, "Block 0 holds more than the file's size: cut\n"},
        {resourceFork({zlib(first)}), 4, 1000, true, block0 + ": (Zlib error -5)\n"},
        {corrupt, 4, 65636, true, block0 + ": (Zlib error -3)\n"},
        {badHeader, 4, 100, false, "The resource fork's header points outside the fork (373 bytes)\n"},
        {resourceFork({stored(last)}), 4, 1ull << 40, false, "The file claims 1099511627776" + more},
        {inlined(5, 10, {1, 2}), 5, 10, false, "The file uses a compression Tarnwick does not read (type 5)\n"},
        {lzvnOutside, 8, 65636, true,
         "Block 0 (offset 0x7ffffff0, end 0x" + hex(12 + lzvnEncode(first).size()) + ") lies outside the resource fork: left empty\n"},
        {offsetFork({ByteVec(50, 0x62), lzfseEncode(last)}), 12, 65636, true, block0 + " (LZFSE): left empty\n"},
        {offsetFork({lzvnEncode(last)}), 8, 101, true, block0 + " (LZVN): left empty\n"},
        {offsetFork({last}), 10, 101, true, block0 + " (stored): left empty\n"},
        {offsetFork({lzfseEncode(last)}), 12, 65537, false, "The file claims 65537" + more},
        {inlined(7, 10, ByteVec(8, 0x7F)), 7, 10, true, "Error decompressing the attribute's data (LZVN): left empty\n"},
        {inlined(3, 10, stored(vocabularyText(40, 5))), 3, 10, true, "The attribute holds more than the file's size: cut\n"},
        {inlined(3, 10, ByteVec(8, 0x21)), 3, 10, true, "Error decompressing the attribute's data: (Zlib error -3)\n"},
        {resourceFork(std::vector<ByteVec>(8, ByteVec(50, 0x11))), 4, 8 * 65536, true,   // a handful of lines, then a count
         "Error decompressing in block 0: (Zlib error -3)\nError decompressing in block 1: (Zlib error -3)\nError decompressing in block 2: "
         "(Zlib error -3)\nError decompressing in block 3: (Zlib error -3)\nError decompressing in block 4: (Zlib error -3)\n"
         "... and 3 more damaged blocks\n"},
    };
    for (const auto &[compressed, type, size, delivered, err] : cases) {
        auto [data, said] = expand(compressed, type, size);
        EXPECT_EQ(said, err);
        EXPECT_EQ(data ? std::optional(data->size()) : std::nullopt, delivered ? std::optional(size) : std::nullopt) << err;
    }
    auto partial = expand(corrupt, 4, 65636).first;   // a later block is still expanded
    ASSERT_TRUE(partial);
    EXPECT_EQ(ByteVec(partial->begin() + 65536, partial->end()), last);
}

TEST(Decmpfs, ExpandsApplesStreams) {
    if (corpusPath("decmpfs").empty()) GTEST_SKIP() << "../shared/corpus is not present";
    for (auto [fork, content, type] : {std::tuple{"lzvn.rsrc", "lzvn.expected", 8}, {"real_lzfse_rsrc.rsrc", "zlib.expected", 12}}) {
        ByteVec expected = readWholeFile(corpusPath(std::string("decmpfs/") + content));
        auto [data, err] = expand(readWholeFile(corpusPath(std::string("decmpfs/") + fork)), type, expected.size());
        EXPECT_TRUE(data == expected) << fork;
        EXPECT_EQ(err, "") << fork;
    }
}
