// Expanding decmpfs-compressed files: resource-fork blocks (types 4, 8, 10, 12) and inline data
// (types 1, 3, 7, 9, 11), Apple's own streams included.
#include <algorithm>

#include <gtest/gtest.h>
#include "hfsbuild/codecs.h"
#include "hfsbuild/hfsbuild.h"
#include "support.h"

#include "catalog/decmpfs.h"

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

// Types 8, 10, 12: little-endian offsets of the blocks and of their end, then the blocks.
ByteVec offsetFork(const std::vector<ByteVec> &blocks) {
    ByteVec fork(4 * (blocks.size() + 1), 0);
    for (size_t i = 0; i <= blocks.size(); ++i) {
        le32(fork, 4 * i, static_cast<uint32_t>(fork.size()));
        if (i < blocks.size()) fork.insert(fork.end(), blocks[i].begin(), blocks[i].end());
    }
    return fork;
}

ByteVec lzvn(const ByteVec &data) { return lzvnEncode(data); }
ByteVec lzfse(const ByteVec &data) { return lzfseEncode(data); }

ByteVec stored(const ByteVec &data, uint8_t marker = 0xFF) {
    ByteVec block = data;
    block.insert(block.begin(), marker);
    return block;
}

ByteVec withHeader(uint32_t type, uint64_t size, const ByteVec &payload) {
    ByteVec attribute(16 + payload.size());
    std::copy_n("fpmc", 4, attribute.begin());
    le32(attribute, 4, type);
    le32(attribute, 8, static_cast<uint32_t>(size));
    std::copy(payload.begin(), payload.end(), attribute.begin() + 16);
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
        {"inline stored, type 1", withHeader(1, small.size(), small), 1, small},
        {"inline stored, type 9", withHeader(9, small.size(), small), 9, small},
        {"inline stored behind 0xCC, type 9", withHeader(9, small.size(), stored(small, 0xCC)), 9, small},
        {"inline LZVN", withHeader(7, small.size(), lzvn(small)), 7, small},
        {"inline LZVN kept stored", withHeader(7, small.size(), stored(small, 0x06)), 7, small},
        {"inline LZFSE", withHeader(11, small.size(), lzfse(small)), 11, small},
        {"inline LZFSE kept stored", withHeader(11, small.size(), stored(small)), 11, small},
        {"LZVN blocks", offsetFork({lzvn(first), stored(last, 0x06)}), 8, both},
        {"stored blocks", offsetFork({first, last}), 10, both},
        {"LZFSE blocks", offsetFork({lzfse(first), lzfse(last)}), 12, both},
        {"empty LZFSE file", offsetFork({}), 12, {}},
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
        {"an unknown type", withHeader(5, 10, {1, 2}), 5, 10, false,
         "The file uses a compression Tarnwick does not read (type 5)\n"},
        {"LZVN block outside the fork, later block still expanded",
         [&] { ByteVec f = offsetFork({lzvn(first), stored(last, 0x06)}); le32(f, 0, 0x7FFFFFF0); return f; }(), 8,
         65636, true, "Block 0 (offset 0x7ffffff0, end 0x" + hex(12 + lzvn(first).size()) +
         ") lies outside the resource fork: left empty\n"},
        {"LZFSE garbage block", offsetFork({ByteVec(50, 0x62), lzfse(last)}), 12, 65636, true,
         "Error decompressing in block 0 (LZFSE): left empty\n"},
        {"LZVN block one byte short", offsetFork({lzvn(last)}), 8, 101, true,
         "Error decompressing in block 0 (LZVN): left empty\n"},
        {"stored block too short", offsetFork({last}), 10, 101, true,
         "Error decompressing in block 0 (stored): left empty\n"},
        {"more blocks than the offsets table holds", offsetFork({lzfse(last)}), 12, 65537, false,
         "The file claims 65537 bytes, more than its compressed data can hold\n"},
        {"inline garbage", withHeader(7, 10, ByteVec(8, 0x7F)), 7, 10, true,
         "Error decompressing the attribute's data (LZVN): left empty\n"},
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

// Resource forks of files that macOS itself compressed (types 8 and 12).
TEST(Decmpfs, ExpandsApplesStreams) {
    if (corpusPath("decmpfs").empty()) GTEST_SKIP() << "../shared/corpus is not present";
    struct Case {
        const char *fork, *content;
        uint32_t type;
    } cases[] = {{"decmpfs/lzvn.rsrc", "decmpfs/lzvn.expected", 8},
                 {"decmpfs/real_lzfse_rsrc.rsrc", "decmpfs/zlib.expected", 12}};
    for (const Case &c : cases) {
        ByteVec fork = readWholeFile(corpusPath(c.fork)), content = readWholeFile(corpusPath(c.content));
        Result r = expand(fork, c.type, content.size());
        ASSERT_TRUE(r.data) << c.fork << r.err;
        EXPECT_TRUE(*r.data == content) << c.fork;
        EXPECT_EQ(r.err, "") << c.fork;
    }
}
