// Expanding decmpfs-compressed files: resource-fork blocks (type 4) and inline data (type 3).
#include <gtest/gtest.h>
#include "hfsbuild/hfsbuild.h"

#include "catalog/pull.h"

namespace {

using ByteVec = std::vector<uint8_t>;

ByteVec pattern(size_t size, unsigned seed) {
    ByteVec data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>((i * 7 + seed) ^ (i >> 9));
    return data;
}

ByteVec deflated(const ByteVec &data) { return hfsbuild::zlibCompress(data); }

void le32(ByteVec &v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

// A compressed resource fork: resource header, length word, block table, blocks.
ByteVec resourceFork(const std::vector<ByteVec> &blocks) {
    constexpr uint32_t kData = 0x100;
    ByteVec fork(kData + 4 + 4 + 8 * blocks.size(), 0);
    fork[2] = 0x01;   // big-endian resource data offset 0x100
    size_t base = kData + 4;
    le32(fork, base, static_cast<uint32_t>(blocks.size()));
    for (size_t i = 0; i < blocks.size(); ++i) {
        le32(fork, base + 4 + 8 * i, static_cast<uint32_t>(fork.size() - base));
        le32(fork, base + 8 + 8 * i, static_cast<uint32_t>(blocks[i].size()));
        fork.insert(fork.end(), blocks[i].begin(), blocks[i].end());
    }
    return fork;
}

ByteVec stored(const ByteVec &data, uint8_t marker = 0xFF) {
    ByteVec block{marker};
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

ByteVec withHeader(uint32_t type, uint64_t size, const ByteVec &payload) {
    ByteVec attribute{'f', 'p', 'm', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    le32(attribute, 4, type);
    le32(attribute, 8, static_cast<uint32_t>(size));
    attribute.insert(attribute.end(), payload.begin(), payload.end());
    return attribute;
}

std::string hex(size_t value) {
    char text[24];
    snprintf(text, sizeof text, "%zx", value);
    return text;
}

struct Result {
    std::optional<ByteVec> data;
    std::string err;
};

Result expand(const ByteVec &compressed, uint32_t type, uint64_t size) {
    testing::internal::CaptureStderr();
    auto data = decmpfsDecompress(Bytes{compressed.data(), compressed.size()}, type, size);
    return {data, testing::internal::GetCapturedStderr()};
}

}  // namespace

TEST(Decmpfs, ExpandsWellFormedData) {
    ByteVec first = pattern(65536, 1), last = pattern(100, 2), small = pattern(3000, 3);
    ByteVec both = first;
    both.insert(both.end(), last.begin(), last.end());
    struct Case {
        const char *what;
        ByteVec compressed;
        uint32_t type;
        ByteVec expected;
    } cases[] = {
        {"zlib block then stored block", resourceFork({deflated(first), stored(last)}), 4, both},
        {"one zlib block", resourceFork({deflated(small)}), 4, small},
        {"inline zlib", withHeader(3, small.size(), deflated(small)), 3, small},
        {"inline stored", withHeader(3, small.size(), stored(small, 0x0F)), 3, small},
        {"empty file", resourceFork({}), 4, {}},
    };
    for (const Case &c : cases) {
        Result r = expand(c.compressed, c.type, c.expected.size());
        ASSERT_TRUE(r.data) << c.what << r.err;
        EXPECT_EQ(*r.data, c.expected) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
    }
}

TEST(Decmpfs, DamagedDataStaysInsideItsBuffers) {
    ByteVec first = pattern(65536, 1), last = pattern(100, 2);
    ByteVec outside = resourceFork({deflated(first), stored(last)});
    le32(outside, 0x104 + 4, 0x7FFFFFF0);   // block 0 far beyond the fork
    ByteVec tooLong = resourceFork({stored(pattern(200, 4))});
    ByteVec corrupt = resourceFork({ByteVec(50, 0x11), stored(last)});
    ByteVec badHeader = resourceFork({stored(last)});
    badHeader[0] = 0x7F;   // resource data offset outside the fork
    struct Case {
        const char *what;
        ByteVec compressed;
        uint32_t type;
        uint64_t size;
        bool delivered;
        std::string err;
    } cases[] = {
        {"block outside the fork", outside, 4, 65636, true,
         "Block 0 (offset 0x800000f4, size 0x" + hex(deflated(first).size()) + ") lies outside the resource fork: left empty\n"},
        {"stored block larger than the file", tooLong, 4, 50, true, "Block 0 holds more than the file's size: cut\n"},
        {"zlib output larger than the file", resourceFork({deflated(first)}), 4, 1000, true,
         "Error decompressing in block 0: (Zlib error -5)\n"},
        {"garbage block, later block still expanded", corrupt, 4, 65636, true,
         "Error decompressing in block 0: (Zlib error -3)\n"},
        {"resource header outside the fork", badHeader, 4, 100, false,
         "The resource fork's header points outside the fork (373 bytes)\n"},
        {"a size no block table can give", resourceFork({stored(last)}), 4, 1ull << 40, false,
         "The file claims 1099511627776 bytes, more than its compressed data can hold\n"},
        {"LZVN is not expanded", withHeader(7, 10, {1, 2}), 7, 10, false,
         "Compression type 7 is not supported: nothing written\n"},
        {"type 8 is not expanded", resourceFork({stored(last)}), 8, 100, false,
         "Compression type 8 is not supported: nothing written\n"},
        {"inline data larger than claimed", withHeader(3, 10, stored(pattern(40, 5), 0xFF)), 3, 10, true,
         "The attribute holds more than the file's size: cut\n"},
        {"inline data that is not zlib", withHeader(3, 10, ByteVec(8, 0x21)), 3, 10, true,
         "Error decompressing the attribute's data: (Zlib error -3)\n"},
    };
    for (const Case &c : cases) {
        Result r = expand(c.compressed, c.type, c.size);
        EXPECT_EQ(r.data.has_value(), c.delivered) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        if (r.data) {
            EXPECT_EQ(r.data->size(), c.size) << c.what;
        }
    }
    Result partial = expand(corrupt, 4, 65636);
    ASSERT_TRUE(partial.data);
    EXPECT_EQ(ByteVec(partial.data->begin() + 65536, partial.data->end()), last);
}
