// LZVN and LZFSE: round trips through the builder's encoders, hand-made streams and blocks, damaged
// ones included (Apple's own streams: Decmpfs.ExpandsApplesStreams).
#include <functional>

#include "codecs/lzfse.h"
#include "codecs/lzvn.h"
#include "hfsbuild/codecs.h"
#include "unit.h"

using namespace unit;

namespace {

// Decodes `stream` after `prefix` into a buffer of `capacity` bytes; the produced bytes, prefix included.
std::optional<ByteVec> unlzvn(const ByteVec &stream, size_t capacity, const ByteVec &prefix = {}) {
    ByteVec out(std::max(capacity, prefix.size()));
    std::copy(prefix.begin(), prefix.end(), out.begin());
    auto end = lzvnDecode(Exact(stream).view(), out.data(), prefix.size(), capacity);
    if (!end) return std::nullopt;
    out.resize(*end);
    return out;
}

std::optional<ByteVec> unlzfse(const ByteVec &stream, size_t capacity) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]);   // exactly sized, as the input, for ASan
    auto size = lzfseDecode(Exact(stream).view(), out.get(), capacity);
    if (!size) return std::nullopt;
    EXPECT_LE(*size, capacity);
    return ByteVec(out.get(), out.get() + std::min(*size, capacity));
}

// An LZFSE stream: exact and one-short capacities; every cut loses its "bvx$"; byte flips in the
// first block's header and tables must at worst give other bytes, within the capacity.
void expectDecodes(const ByteVec &stream, const ByteVec &data, size_t capacity, const std::string &what) {
    EXPECT_EQ(unlzfse(stream, data.size()), data) << what;
    if (!data.empty()) { EXPECT_EQ(unlzfse(stream, data.size() - 1), std::nullopt) << what << ", capacity one short"; }
    for (size_t cut = 0; cut < stream.size(); cut += std::max<size_t>(1, stream.size() / 400))
        EXPECT_EQ(unlzfse(ByteVec(stream.begin(), stream.begin() + cut), capacity), std::nullopt) << what << " cut at " << cut;
    for (size_t at = 0; at < std::min<size_t>(200, stream.size()); ++at)
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            ByteVec damaged = stream;
            damaged[at] ^= flip;
            unlzfse(damaged, capacity);
        }
}

// A v1 block whose tables give literals, L, M and D one symbol holding every state, so no bits are
// read and both payloads are 8 zero bytes: `literals` copies of `literal`, then `matches` (L, M, D).
struct V1 { uint32_t raw = 4, literals = 4, matches = 1; int l = 4, m = 0, d = 0; };
constexpr size_t kV1Header = 772;

ByteVec v1(const V1 &b, bool end = true) {
    ByteVec block(kV1Header + 16, 0);
    std::copy_n("bvx1", 4, block.begin());
    const uint32_t counts[] = {b.raw, 16, b.literals, b.matches, 8, 8};
    for (int i = 0; i < 6; ++i) le(block, 4 + 4 * i, counts[i]);
    le(block, 50 + 2 * b.l, 64, 2), le(block, 90 + 2 * b.m, 64, 2), le(block, 130 + 2 * b.d, 256, 2), le(block, 258 + 2 * 'a', 1024, 2);
    return end ? joined({block, bytesOf("bvx$")}) : block;
}

}  // namespace

TEST(Lzvn, EncodedDataRoundTrips) {
    ByteVec periods, randomBlock = randomBytes(20000, 7);   // runs of every short period: overlapping copies
    for (size_t period = 1; period <= 20; ++period) {
        for (size_t i = 0; i < period * 3 + 300 * (period % 3); ++i) periods.push_back(static_cast<uint8_t>('a' + i % period));
        periods.push_back('|');
    }
    const ByteVec cases[] = {
        {}, {0x42}, bytesOf("abc"), vocabularyText(3000, 1), periods, randomBytes(5000, 2), ByteVec(70000, 0),
        // over 64 KiB: a block repeated 50000 and 90000 bytes later
        joined({vocabularyText(100000, 3), randomBlock, randomBytes(30000, 4), randomBlock, randomBytes(70000, 5), randomBlock}),
    };
    for (const ByteVec &data : cases) {
        ByteVec stream = lzvnEncode(data);
        std::string what = "size " + std::to_string(data.size());
        EXPECT_EQ(unlzvn(stream, data.size()), data) << what;
        EXPECT_EQ(unlzvn(stream, data.size() + 100), data) << what << ", with room to spare";
        if (!data.empty()) { EXPECT_EQ(unlzvn(stream, data.size() - 1), std::nullopt) << what << ", capacity one short"; }
        // Cut anywhere before the end-of-stream opcode the stream is damaged; its padding is optional.
        for (size_t cut = 0; stream.size() <= 8000 && cut < stream.size(); ++cut) {
            auto got = unlzvn(ByteVec(stream.begin(), stream.begin() + cut), data.size());
            EXPECT_EQ(got, cut < stream.size() - 7 ? std::nullopt : std::optional(data)) << what << " cut at " << cut;
        }
    }
}

TEST(Lzvn, HandMadeStreams) {
    // The bytes produced, prefix included, or nothing for a damaged stream.
    struct Case { const char *what, *prefix; ByteVec stream; size_t capacity; std::optional<std::string> expected; } cases[] = {
        {"nops are skipped", "", {0x0E, 0xE1, 'x', 0x16, 0x06}, 8, "x"},
        {"match of distance 3", "", {0xE3, 'a', 'b', 'c', 0x00, 0x03, 0x06}, 8, "abcabc"},
        {"distance before out[0]", "", {0xE3, 'a', 'b', 'c', 0x00, 0x04, 0x06}, 8, std::nullopt},
        {"distance 0", "", {0xE1, 'a', 0xA0, 0x00, 0x00, 0x06}, 8, std::nullopt},
        {"match into the prefix", "hello", {0x10, 0x05, 0x06}, 16, "hellohello"},
        {"match before the prefix", "hello", {0x10, 0x06, 0x06}, 16, std::nullopt},
        {"large distance into the prefix", "hello", {0x47, 0x05, 0x00, '!', 0xF2, 0x06}, 16, "hello!ello!"},
        {"previous distance before any match", "hello", {0xF3, 0x06}, 16, std::nullopt},
        {"carried literal past the input", "hello", {0x47, 0x05, 0x00}, 16, std::nullopt},
        {"large literal past the input", "", {0xE0, 0x00, 'a', 'b'}, 32, std::nullopt},
        {"large match past the capacity", "", {0xE1, 'a', 0x00, 0x01, 0xF0, 0x10, 0x06}, 35, std::nullopt},
        {"large match filling the capacity", "", {0xE1, 'a', 0x00, 0x01, 0xF0, 0x10, 0x06}, 36, std::string(36, 'a')},
        {"undefined opcode 0x1E", "", {0xE1, 'a', 0x1E, 0x06}, 8, std::nullopt}, {"0x72", "", {0xE1, 'a', 0x72, 0x06}, 8, std::nullopt},
        {"undefined opcode 0xD0", "", {0xE1, 'a', 0xD0, 0x06}, 8, std::nullopt},
        {"position past the capacity", "hello", {0x06}, 4, std::nullopt},
    };
    for (const Case &c : cases) EXPECT_EQ(unlzvn(c.stream, c.capacity, bytesOf(c.prefix)), maybeBytes(c.expected)) << c.what;
}

TEST(Lzfse, EncodedDataRoundTrips) {
    ByteVec randomBlock = randomBytes(20000, 7);
    std::pair<ByteVec, bool> cases[] = {   // data, whether the encoder should pick bvx2 blocks over LZVN ones
        {{}, false}, {{0x42}, false}, {vocabularyText(3000, 1), true}, {randomBytes(5000, 2), false},
        // too few literals for bvx2: one repeated byte, then one period of each short distance
        {joined({ByteVec(70000, 0), bytesOf("abababababababababababcabcabcabcabcabcabcabcabcabcabcabcabcdefgabcdefgabcdefgabcdefg")}), false},
        {joined({vocabularyText(3000, 1), bytesOf("xyxyxyxyxyxyxyxyxyxyxyxyz"), vocabularyText(300, 2)}), true},   // the same, coded
        // over 40000 literals, a block repeated 60000 and 200000 bytes later, across blocks
        {joined({vocabularyText(100000, 3), randomBlock, randomBytes(40000, 4), randomBlock, vocabularyText(100000, 5),
               randomBytes(20000, 6), randomBlock}), true},
    };
    for (const auto &[data, entropyCoded] : cases) {
        ByteVec stream = lzfseEncode(data);
        std::string what = "size " + std::to_string(data.size());
        EXPECT_EQ(std::string(stream.begin(), stream.end()).find("bvx2") != std::string::npos, entropyCoded) << what;
        EXPECT_EQ(unlzfse(stream, data.size() + 100), data) << what << ", with room to spare";
        expectDecodes(stream, data, data.size(), what);
    }
}

TEST(Lzfse, HandMadeBlocks) {
    ByteVec plain = vocabularyText(500, 9), lzvn = lzvnEncode(plain);
    ByteVec lzvnBlock = joined({bytesOf("bvxn"), ByteVec(8, 0), lzvn});
    le(lzvnBlock, 4, plain.size()), le(lzvnBlock, 8, lzvn.size());
    ByteVec storedXyz = joined({bytesOf("bvx-"), {3, 0, 0, 0}, bytesOf("xyz")});
    const V1 match{.raw = 8, .m = 4, .d = 3};
    struct Case { const char *what; ByteVec stream; size_t capacity; std::optional<std::string> expected; } cases[] = {
        {"v1: four literals", v1({}), 8, "aaaa"},
        {"v1: a match of distance 3", v1(match), 8, "aaaaaaaa"},
        {"v1: a match into the stored block before", joined({storedXyz, v1({.raw = 4, .literals = 0, .l = 0, .m = 4, .d = 3})}), 8, "xyzxyzx"},
        {"v1: capacity one short", v1(match), 7, std::nullopt},
        {"v1: distance reaching before out[0]", v1({.raw = 8, .m = 4, .d = 5}), 8, std::nullopt},
        {"v1: repeated distance with none before", v1({.raw = 8, .m = 4, .d = 0}), 8, std::nullopt},
        {"v1: raw size above what the triples produce", v1({.raw = 5}), 8, std::nullopt},
        {"v1: more literals taken than decoded", v1({.raw = 8, .l = 8}), 8, std::nullopt},
        {"v1: literal count not a multiple of 4", v1({.literals = 5}), 8, std::nullopt},
        {"v1: no end-of-stream block", v1({}, false), 8, std::nullopt},
        {"stored, LZVN and end", joined({storedXyz, lzvnBlock, bytesOf("bvx$")}), 600, "xyz" + std::string(plain.begin(), plain.end())},
        {"unknown block", joined({bytesOf("bvx3"), ByteVec(8, 0), bytesOf("bvx$")}), 8, std::nullopt},
        {"stored block past the input", joined({bytesOf("bvx-"), {9, 0, 0, 0}, bytesOf("bvx$")}), 16, std::nullopt},
        {"empty stream", bytesOf("bvx$"), 0, ""},
    };
    for (const Case &c : cases) EXPECT_EQ(unlzfse(c.stream, c.capacity), maybeBytes(c.expected)) << c.what;
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
        EXPECT_EQ(unlzfse(damaged, 1 << 21), std::nullopt) << what;
    }
}
