// LZFSE: round trips through the builder's encoder, Apple's own streams, hand-made v1 blocks and damaged streams.
#include <functional>
#include <memory>
#include <optional>

#include "codecs/lzfse.h"
#include "hfsbuild/codecs.h"
#include "support.h"
#include "unit.h"

using namespace unit;

namespace {

std::optional<ByteVec> decode(const ByteVec &stream, size_t capacity) {
    // Exactly-sized copies, so ASan sees any access past either buffer.
    std::unique_ptr<uint8_t[]> in(new uint8_t[stream.size()]), out(new uint8_t[capacity]);
    std::copy(stream.begin(), stream.end(), in.get());
    auto size = lzfseDecode(Bytes{in.get(), stream.size()}, out.get(), capacity);
    if (!size) return std::nullopt;
    EXPECT_LE(*size, capacity);
    return ByteVec(out.get(), out.get() + std::min(*size, capacity));
}

// Exact and one-short capacities; every cut of the stream loses its "bvx$"; byte flips in the
// first block's header and tables must at worst give other bytes, within the capacity.
void expectDecodes(const ByteVec &stream, const ByteVec &data, size_t capacity, const std::string &what) {
    EXPECT_EQ(decode(stream, data.size()), data) << what;
    if (!data.empty()) {
        EXPECT_EQ(decode(stream, data.size() - 1), std::nullopt) << what << ", capacity one short";
    }
    for (size_t cut = 0; cut < stream.size(); cut += std::max<size_t>(1, stream.size() / 400))
        EXPECT_EQ(decode(ByteVec(stream.begin(), stream.begin() + cut), capacity), std::nullopt) << what << " cut at " << cut;
    for (size_t at = 0; at < std::min<size_t>(200, stream.size()); ++at) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            ByteVec damaged = stream;
            damaged[at] ^= flip;
            decode(damaged, capacity);
        }
    }
}

// A v1 block whose tables give literals, L, M and D one symbol holding every state, so no bits are
// read and both payloads are 8 zero bytes: `literals` copies of `literal`, then `matches` (L, M, D).
struct V1 {
    uint32_t raw = 4, literals = 4, matches = 1;
    int l = 4, m = 0, d = 0;
};
constexpr size_t kV1Header = 772;

ByteVec v1(const V1 &b, bool end = true) {
    ByteVec block(kV1Header + 16, 0);
    std::copy_n("bvx1", 4, block.begin());
    const uint32_t counts[] = {b.raw, 16, b.literals, b.matches, 8, 8};
    for (int i = 0; i < 6; ++i) le(block, 4 + 4 * i, counts[i]);
    le(block, 50 + 2 * b.l, 64, 2), le(block, 90 + 2 * b.m, 64, 2), le(block, 130 + 2 * b.d, 256, 2), le(block, 258 + 2 * 'a', 1024, 2);
    return end ? join({block, bytes("bvx$")}) : block;
}

}  // namespace

TEST(Lzfse, EncodedDataRoundTrips) {
    ByteVec randomBlock = randomBytes(20000, 7);
    struct Case {
        ByteVec data;
        bool entropyCoded;   // the encoder should pick bvx2 blocks over LZVN ones
    } cases[] = {
        {{}, false}, {{0x42}, false}, {vocabularyText(3000, 1), true}, {randomBytes(5000, 2), false},
        // too few literals for bvx2: one repeated byte, then one period of each short distance
        {join({ByteVec(70000, 0), bytes("abababababababababababcabcabcabcabcabcabcabcabcabcabcabcabcdefgabcdefgabcdefgabcdefg")}), false},
        // over 40000 literals, a block repeated 60000 and 200000 bytes later, across blocks
        {join({vocabularyText(100000, 3), randomBlock, randomBytes(40000, 4), randomBlock, vocabularyText(100000, 5),
               randomBytes(20000, 6), randomBlock}), true},
    };
    for (const Case &c : cases) {
        ByteVec stream = lzfseEncode(c.data);
        std::string what = "size " + std::to_string(c.data.size());
        EXPECT_EQ(std::search(stream.begin(), stream.end(), "bvx2", "bvx2" + 4) != stream.end(), c.entropyCoded) << what;
        EXPECT_EQ(decode(stream, c.data.size() + 100), c.data) << what << ", with room to spare";
        expectDecodes(stream, c.data, c.data.size(), what);
    }
}

TEST(Lzfse, DecodesAppleResourceFork) {
    std::string rsrc = corpusPath("decmpfs/real_lzfse_rsrc.rsrc"), expected = corpusPath("decmpfs/zlib.expected");
    if (rsrc.empty() || expected.empty()) GTEST_SKIP() << "../shared/corpus/decmpfs is not present";
    ByteVec fork = readWholeFile(rsrc), got;
    ASSERT_EQ(view(fork).le32(0), 0x18u);
    for (size_t i = 0; i < 3; ++i) {
        size_t from = view(fork).le32(4 * i), to = view(fork).le32(4 * i + 4);
        ASSERT_TRUE(from <= to && to <= fork.size()) << "block " << i;
        ByteVec stream(fork.begin() + from, fork.begin() + to);
        auto block = decode(stream, 65536);
        ASSERT_TRUE(block) << "block " << i;
        expectDecodes(stream, *block, 65536, "Apple block " + std::to_string(i));
        got.insert(got.end(), block->begin(), block->end());
    }
    EXPECT_EQ(got, readWholeFile(expected));
}

TEST(Lzfse, HandMadeBlocks) {
    ByteVec plain = vocabularyText(500, 9), lzvn = lzvnEncode(plain);
    ByteVec lzvnBlock = join({bytes("bvxn"), ByteVec(8, 0), lzvn});
    le(lzvnBlock, 4, plain.size()), le(lzvnBlock, 8, lzvn.size());
    ByteVec storedXyz = join({bytes("bvx-"), {3, 0, 0, 0}, bytes("xyz")});
    const V1 match{.raw = 8, .m = 4, .d = 3};
    struct Case {
        const char *what;
        ByteVec stream;
        size_t capacity;
        std::optional<std::string> expected;
    } cases[] = {
        {"v1: four literals", v1({}), 8, "aaaa"},
        {"v1: a match of distance 3", v1(match), 8, "aaaaaaaa"},
        {"v1: a match into the stored block before", join({storedXyz, v1({.raw = 4, .literals = 0, .l = 0, .m = 4, .d = 3})}), 8, "xyzxyzx"},
        {"v1: capacity one short", v1(match), 7, std::nullopt},
        {"v1: distance reaching before out[0]", v1({.raw = 8, .m = 4, .d = 5}), 8, std::nullopt},
        {"v1: repeated distance with none before", v1({.raw = 8, .m = 4, .d = 0}), 8, std::nullopt},
        {"v1: raw size above what the triples produce", v1({.raw = 5}), 8, std::nullopt},
        {"v1: more literals taken than decoded", v1({.raw = 8, .l = 8}), 8, std::nullopt},
        {"v1: literal count not a multiple of 4", v1({.literals = 5}), 8, std::nullopt},
        {"v1: no end-of-stream block", v1({}, false), 8, std::nullopt},
        {"stored, LZVN and end", join({storedXyz, lzvnBlock, bytes("bvx$")}), 600, "xyz" + std::string(plain.begin(), plain.end())},
        {"unknown block", join({bytes("bvx3"), ByteVec(8, 0), bytes("bvx$")}), 8, std::nullopt},
        {"stored block past the input", join({bytes("bvx-"), {9, 0, 0, 0}, bytes("bvx$")}), 16, std::nullopt},
        {"empty stream", bytes("bvx$"), 0, ""},
    };
    for (const Case &c : cases) {
        std::optional<ByteVec> want;
        if (c.expected) want = bytes(*c.expected);
        EXPECT_EQ(decode(c.stream, c.capacity), want) << c.what;
    }
    // Damage to the valid "aaaa" + match block: each kind of malformed header or table.
    std::pair<const char *, std::function<void(ByteVec &)>> damages[] = {
        {"literal frequencies summing to 1023", [](ByteVec &s) { le(s, 258 + 2 * 'a', 1023, 2); }},
        {"L frequencies summing to 128", [](ByteVec &s) { le(s, 50, 64, 2); }},
        {"a literal state of 1024", [](ByteVec &s) { le(s, 34, 1024, 2); }},
        {"an L state of 64", [](ByteVec &s) { le(s, 44, 64, 2); }},
        {"a D state of 256", [](ByteVec &s) { le(s, 48, 256, 2); }},
        {"literal bits of -8", [](ByteVec &s) { le(s, 28, static_cast<uint32_t>(-8)); }},
        {"L/M/D bits of 1", [](ByteVec &s) { le(s, 40, 1); }},
        {"set padding bits in the last literal byte", [](ByteVec &s) { le(s, 28, static_cast<uint32_t>(-1)), s[kV1Header + 7] = 0x80; }},
        {"a literal payload shorter than one load", [](ByteVec &s) { le(s, 20, 6), le(s, 24, 10); }},
        {"L/M/D payload past the block", [](ByteVec &s) { le(s, 24, 13); }},
        {"a second triple without literals left", [](ByteVec &s) { le(s, 16, 2); }},
        {"over 2^20 literals", [](ByteVec &s) { le(s, 12, 1u << 20); }},
    };
    for (auto &[what, patch] : damages) {
        ByteVec damaged = v1(match);
        patch(damaged);
        EXPECT_EQ(decode(damaged, 1 << 21), std::nullopt) << what;
    }
}
