// LZFSE: round trips through the builder's encoder, Apple's own streams, hand-made v1 blocks and
// damaged streams.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "codecs/lzfse.h"
#include "hfsbuild/codecs.h"
#include "support.h"

namespace {

using ByteVec = std::vector<uint8_t>;

ByteVec bytes(const std::string &s) { return ByteVec(s.begin(), s.end()); }

ByteVec text(size_t size, unsigned seed) { return vocabularyText(size, seed); }

ByteVec join(std::initializer_list<ByteVec> parts) {
    ByteVec all;
    for (const ByteVec &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

void put32(ByteVec &v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
void put16(ByteVec &v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

std::optional<ByteVec> decode(const ByteVec &stream, size_t capacity) {
    // Exactly-sized copies, so ASan sees any access past either buffer.
    std::unique_ptr<uint8_t[]> in(new uint8_t[stream.size()]);
    std::copy(stream.begin(), stream.end(), in.get());
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);
    auto size = lzfseDecode(Bytes{in.get(), stream.size()}, out.get(), capacity);
    if (!size) return std::nullopt;
    EXPECT_LE(*size, capacity);
    return ByteVec(out.get(), out.get() + std::min(*size, capacity));
}

size_t count(const ByteVec &stream, const char *magic) {
    size_t n = 0;
    for (size_t i = 0; i + 4 <= stream.size(); ++i) n += std::equal(magic, magic + 4, stream.begin() + i);
    return n;
}

// Every cut of the stream is damaged (it loses its "bvx$"); single-byte flips in the first block's
// header and tables must at worst give other bytes, within the capacity.
void expectDamageHandled(const ByteVec &stream, size_t capacity, size_t headerBytes, const std::string &what) {
    size_t step = std::max<size_t>(1, stream.size() / 400);
    for (size_t cut = 0; cut < stream.size(); cut += step) {
        EXPECT_EQ(decode(ByteVec(stream.begin(), stream.begin() + cut), capacity), std::nullopt) << what << " cut at " << cut;
    }
    for (size_t at = 0; at < std::min(headerBytes, stream.size()); ++at) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            ByteVec damaged = stream;
            damaged[at] ^= flip;
            decode(damaged, capacity);
        }
    }
}

// A v1 block whose tables give each of literals, L, M and D a single symbol holding every state,
// so no bits are read and both payloads are 8 zero bytes: n_literals copies of `literal`, then
// `matches` triples of (L, M, D) symbols.
struct V1 {
    uint32_t raw = 4, literals = 4, matches = 1;
    int l = 4, m = 0, d = 0;
    uint8_t literal = 'a';
};
constexpr size_t kV1Header = 772;

ByteVec v1Block(const V1 &b) {
    ByteVec block(kV1Header + 16, 0);
    const char magic[] = "bvx1";
    std::copy(magic, magic + 4, block.begin());
    const uint32_t counts[] = {b.raw, 16, b.literals, b.matches, 8, 8};
    for (int i = 0; i < 6; ++i) put32(block, 4 + 4 * i, counts[i]);
    put16(block, 50 + 2 * b.l, 64);
    put16(block, 90 + 2 * b.m, 64);
    put16(block, 130 + 2 * b.d, 256);
    put16(block, 258 + 2 * b.literal, 1024);
    return block;
}

ByteVec endMark() { return bytes("bvx$"); }

}  // namespace

TEST(Lzfse, EncodedDataRoundTrips) {
    ByteVec randomBlock = randomBytes(20000, 7);
    struct Case {
        const char *what;
        ByteVec data;
        bool entropyCoded;   // the encoder should pick bvx2 blocks over LZVN ones
    } cases[] = {
        {"empty", {}, false},
        {"one byte", {0x42}, false},
        {"text", text(3000, 1), true},
        {"random, in LZVN", randomBytes(5000, 2), false},
        {"runs (too few literals for bvx2): one repeated byte, then one period of each short distance",
         join({ByteVec(70000, 0), bytes("abababababababababababcabcabcabcabcabcabcabcabcabcabcabcabcdefgabcdefgabcdefgabcdefg")}),
         false},
        {"over 40000 literals: text, and a block repeated 60000 and 200000 bytes later, across blocks",
         join({text(100000, 3), randomBlock, randomBytes(40000, 4), randomBlock, text(100000, 5), randomBytes(20000, 6),
               randomBlock}),
         true},
    };
    for (const Case &c : cases) {
        ByteVec stream = lzfseEncode(c.data);
        EXPECT_EQ(count(stream, "bvx2") > 0, c.entropyCoded) << c.what;
        EXPECT_EQ(decode(stream, c.data.size()), c.data) << c.what;
        EXPECT_EQ(decode(stream, c.data.size() + 100), c.data) << c.what << ", with room to spare";
        if (!c.data.empty()) {
            EXPECT_EQ(decode(stream, c.data.size() - 1), std::nullopt) << c.what << ", capacity one short";
        }
        expectDamageHandled(stream, c.data.size(), 200, c.what);
    }
}

TEST(Lzfse, DecodesAppleResourceFork) {
    std::string rsrc = corpusPath("decmpfs/real_lzfse_rsrc.rsrc"), expected = corpusPath("decmpfs/zlib.expected");
    if (rsrc.empty() || expected.empty()) GTEST_SKIP() << "../shared/corpus/decmpfs is not present";
    ByteVec fork = readWholeFile(rsrc), want = readWholeFile(expected);
    Bytes view{fork.data(), fork.size()};
    ASSERT_EQ(view.le32(0), 0x18u);
    ByteVec got;
    for (size_t i = 0; i < 3; ++i) {
        size_t from = view.le32(4 * i), to = view.le32(4 * i + 4);
        ASSERT_TRUE(from <= to && to <= fork.size()) << "block " << i;
        ByteVec stream(fork.begin() + from, fork.begin() + to);
        auto block = decode(stream, 65536);
        ASSERT_TRUE(block) << "block " << i;
        EXPECT_EQ(decode(stream, block->size() - 1), std::nullopt) << "block " << i << ", capacity one short";
        expectDamageHandled(stream, 65536, 200, "Apple block " + std::to_string(i));
        got.insert(got.end(), block->begin(), block->end());
    }
    EXPECT_EQ(got, want);
}

TEST(Lzfse, HandMadeBlocks) {
    ByteVec lzvnText = text(500, 9);
    ByteVec lzvn = lzvnEncode(lzvnText);
    ByteVec lzvnBlock = join({bytes("bvxn"), ByteVec(8, 0), lzvn});
    put32(lzvnBlock, 4, static_cast<uint32_t>(lzvnText.size()));
    put32(lzvnBlock, 8, static_cast<uint32_t>(lzvn.size()));
    ByteVec storedXyz = join({bytes("bvx-"), {3, 0, 0, 0}, bytes("xyz")});
    using Patch = std::function<void(ByteVec &)>;
    struct Case {
        const char *what;
        ByteVec stream;
        size_t capacity;
        std::optional<std::string> expected;
    } cases[] = {
        {"v1: four literals", join({v1Block({}), endMark()}), 8, "aaaa"},
        {"v1: a match of distance 3", join({v1Block({.raw = 8, .m = 4, .d = 3}), endMark()}), 8, "aaaaaaaa"},
        {"v1: a match into the stored block before", join({storedXyz, v1Block({.raw = 4, .literals = 0, .l = 0, .m = 4, .d = 3}), endMark()}),
         8, "xyzxyzx"},
        {"v1: capacity one short", join({v1Block({.raw = 8, .m = 4, .d = 3}), endMark()}), 7, std::nullopt},
        {"v1: distance reaching before out[0]", join({v1Block({.raw = 8, .m = 4, .d = 5}), endMark()}), 8, std::nullopt},
        {"v1: repeated distance with none before", join({v1Block({.raw = 8, .m = 4, .d = 0}), endMark()}), 8, std::nullopt},
        {"v1: raw size above what the triples produce", join({v1Block({.raw = 5}), endMark()}), 8, std::nullopt},
        {"v1: more literals taken than decoded", join({v1Block({.raw = 8, .l = 8}), endMark()}), 8, std::nullopt},
        {"v1: literal count not a multiple of 4", join({v1Block({.literals = 5}), endMark()}), 8, std::nullopt},
        {"v1: no end-of-stream block", v1Block({}), 8, std::nullopt},
        {"stored, LZVN and end", join({storedXyz, lzvnBlock, endMark()}), 600, "xyz" + std::string(lzvnText.begin(), lzvnText.end())},
        {"unknown block", join({bytes("bvx3"), ByteVec(8, 0), endMark()}), 8, std::nullopt},
        {"stored block past the input", join({bytes("bvx-"), {9, 0, 0, 0}, bytes("bvx$")}), 16, std::nullopt},
        {"empty stream", endMark(), 0, ""},
    };
    for (const Case &c : cases) {
        std::optional<ByteVec> want;
        if (c.expected) want = bytes(*c.expected);
        EXPECT_EQ(decode(c.stream, c.capacity), want) << c.what;
    }

    // Damage to a valid v1 block "aaaa" + match.
    const ByteVec good = join({v1Block({.raw = 8, .m = 4, .d = 3}), endMark()});
    struct Damage {
        const char *what;
        Patch patch;
    } damages[] = {
        {"literal frequencies summing to 1023", [](ByteVec &s) { put16(s, 258 + 2 * 'a', 1023); }},
        {"L frequencies summing to 128", [](ByteVec &s) { put16(s, 50, 64); }},
        {"a literal state of 1024", [](ByteVec &s) { put16(s, 34, 1024); }},
        {"an L state of 64", [](ByteVec &s) { put16(s, 44, 64); }},
        {"a D state of 256", [](ByteVec &s) { put16(s, 48, 256); }},
        {"literal bits of -8", [](ByteVec &s) { put32(s, 28, static_cast<uint32_t>(-8)); }},
        {"L/M/D bits of 1", [](ByteVec &s) { put32(s, 40, 1); }},
        {"set padding bits in the last literal byte", [](ByteVec &s) { put32(s, 28, static_cast<uint32_t>(-1)), s[kV1Header + 7] = 0x80; }},
        {"a literal payload shorter than one load", [](ByteVec &s) { put32(s, 20, 6), put32(s, 24, 10); }},
        {"L/M/D payload past the block", [](ByteVec &s) { put32(s, 24, 13); }},
        {"a second triple without literals left", [](ByteVec &s) { put32(s, 16, 2); }},
        {"over 2^20 literals", [](ByteVec &s) { put32(s, 12, 1u << 20); }},
    };
    for (const Damage &d : damages) {
        ByteVec damaged = good;
        d.patch(damaged);
        EXPECT_EQ(decode(damaged, 1 << 21), std::nullopt) << d.what;
    }
}
