// Byte-order view, a fork read through its extents (over a scratch image whose block k is filled
// with the byte k), and name conversion.
#include <fcntl.h>

#include <cstring>

#include "base/utf.h"
#include "catalog/unicode.h"
#include "commands/listing.h"
#include "commands/words.h"
#include "unit.h"
#include "volume/fork.h"

using namespace unit;

namespace {

constexpr uint32_t kBlock = 512;

// Fork data of `totalBlocks` blocks in the given (start, count) extents.
ByteVec forkData(uint32_t totalBlocks, std::vector<std::pair<uint32_t, uint32_t>> extents) {
    ByteVec fork(80, 0);
    be(fork, 12, totalBlocks);
    for (size_t i = 0; i < extents.size(); ++i) be(fork, 16 + 8 * i, extents[i].first), be(fork, 20 + 8 * i, extents[i].second);
    return fork;
}

// 32 blocks, block k filled with the byte k, but for the two volume headers (block size 512) of
// volumes at 0 and at block 4.
ByteVec blockImage() {
    ByteVec image;
    for (int k = 0; k < 32; ++k) image.insert(image.end(), kBlock, static_cast<uint8_t>(k));
    for (size_t block : {2, 6}) putHeader(image, block * kBlock, kBlock);
    return image;
}

}  // namespace

TEST(ReadFork, WalksExtentsAndReportsDamage) {
    const ByteVec image = blockImage();
    auto blocks = [&](std::vector<int> which) {   // the image's blocks, in turn
        ByteVec out;
        for (int b : which) out.insert(out.end(), image.begin() + b * kBlock, image.begin() + (b + 1) * kBlock);
        return out;
    };
    std::unique_ptr<Volume> atZero, atFour;   // with no trees, they open complaining
    capture([&] { atZero = openVolume(image, "fork.img"), atFour = openVolume(image, "fork4.img", 4 * kBlock); });
    ASSERT_TRUE(atZero && atFour);
    const std::string mismatch = " - should match, but don't\n";
    // Fork, partition offset, data (a failed extent: only its mark "?\0" is defined), out, err, bytes counted.
    std::tuple<ByteVec, uint64_t, std::optional<ByteVec>, std::string, std::string, uint64_t> cases[] = {
        {forkData(2, {{2, 2}}), 0, blocks({2, 3}), "", "", 1024},
        {forkData(4, {{2, 1}, {5, 1}, {8, 2}}), 0, blocks({2, 5, 8, 9}), "", "", 2048},
        {forkData(10, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}}), 0, blocks({1, 2, 3, 4, 5, 6, 7, 8, 0, 0}),
         "", "Warning: Blocks read: 8.. Total Blocks: 10" + mismatch, 4096},
        {forkData(0, {{4, 1}}), 0, ByteVec{}, "", "", 0},
        {forkData(3, {{4, 1}, {0, 2}}), 0, blocks({4, 0, 0}), "**ODD**\n", "Warning: Blocks read: 1.. Total Blocks: 3" + mismatch, 512},
        {forkData(2, {{3, 5}}), 0, blocks({3, 4}), "",
         "Extent 0 runs past the fork's 2 blocks: cut at the end of the fork\nWarning: Blocks read: 5.. Total Blocks: 2" + mismatch, 1024},
        {forkData(1, {{1, 1}}), 4 * kBlock, blocks({5}), "", "", 512},
        // An extent one block past the end of the image; only whole extents count.
        {forkData(3, {{30, 3}}), 0, ByteVec{'?', 0, 30}, "", "Read error - Only read 1024 bytes instead of 1536 bytes from Position 0x4000 \n", 0},
        {forkData(0xFFFFFFFF, {{1, 0xFFFFFFFF}}), 0, std::nullopt, "",
         "Fork of 4294967295 blocks of 512 bytes is larger than the image (16384 bytes): not read\n", 12345},
        // As large as the image, its first extent ending at the image's end.
        {forkData(32, {{1, 31}, {1, 1}}), 0, joined({ByteVec(image.begin() + kBlock, image.end()), blocks({1})}), "", "", 16384},
    };
    for (const auto &[fork, partitionOffset, expected, out, err, counted] : cases) {
        uint64_t count = 12345;
        Messages messages;
        std::optional<ByteVec> data = readFork(partitionOffset ? *atFour : *atZero, view(fork), messages, &count);
        EXPECT_EQ(messages.text(true), out) << err;
        EXPECT_EQ(messages.text(false), err);
        EXPECT_EQ(count, counted) << err;
        if (expected && expected->size() == 3 && (*expected)[0] == '?') {
            ASSERT_EQ(data ? data->size() : 0, 3 * kBlock) << err;
            data->resize(3);
        }
        EXPECT_EQ(data, expected) << err;
    }
    // A header claiming blocks of 0 bytes puts every extent at byte 0: nothing to read, no damage to say.
    ByteVec unsized = image;
    be(unsized, 2 * kBlock + 40, 0);
    std::unique_ptr<Volume> noBlocks;
    capture([&] { noBlocks = openVolume(unsized, "fork0.img"); });
    Messages messages;
    EXPECT_EQ(readFork(*noBlocks, view(forkData(2, {{1, 2}})), messages), ByteVec{});
    EXPECT_EQ(messages.text(false), "");
}

TEST(Bytes, ReadsInsideAndGivesZeroOutside) {
    const uint8_t raw[] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0x11};
    Bytes b{raw, sizeof raw};   // 16- and 32-bit reads of what is there: every other test
    EXPECT_EQ(b.be64(1), 0x3456789abcdef011ull);
    EXPECT_EQ(b.le64(0), 0xf0debc9a78563412ull);
    EXPECT_EQ(b.be16(8), 0);               // one byte short
    EXPECT_EQ(b.be32(SIZE_MAX - 1), 0u);   // offsets that would wrap
    EXPECT_EQ(b.be64(2), 0u);
    EXPECT_TRUE(b.sub(8, 2).empty());
    EXPECT_TRUE(b.sub(SIZE_MAX, 1).empty());
    EXPECT_EQ(b.sub(7, 2).be16(0), 0xf011);
    EXPECT_TRUE(b.from(10).empty());
    EXPECT_EQ(reverse16(0x1234), 0x3412);
    EXPECT_EQ(reverse32(0x12345678u), 0x78563412u);
}

TEST(Unicode, UTF8AndUTF16) {
    // 0xF9..0xFF give nothing; a stray continuation byte starts a cut two-byte sequence; missing bytes count as
    // zero; an over-long four-byte form below 0x10000 gives one unit.
    std::pair<std::string, std::u16string> toUTF16[] = {
        {"\xC3\xA9", u"\u00E9"}, {"\x7F", u"\u007F"}, {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}}, {"\xF4\x80\x80\x80", {0xDBC0, 0xDC00}},
        {"\xE2\x82\xAC", u"\u20AC"}, {"\xF9x", u"x"}, {"\xA9", {0x0240}}, {"\xE2\x82", {0x2080}}, {"\xF0\x80\x81\x81", {0x0041}},
        {"ab\xC3", {'a', 'b', 0x00C0}}};
    for (const auto &[utf8, units] : toUTF16) EXPECT_EQ(UTF8toUTF16(utf8), units) << utf8;
    // Lone surrogates take three bytes each, never a step past the end; the first 0 unit ends the text.
    std::pair<std::u16string, std::string> toUTF8[] = {
        {u"\u00E9", "\xC3\xA9"}, {{0xD55C, 0xFF1A}, "\xED\x95\x9C\xEF\xBC\x9A"}, {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {{0xDBC0, 0xDC00}, "\xF4\x80\x80\x80"}, {{0xD83D}, "\xED\xA0\xBD"}, {{0xD83D, 'a'}, "\xED\xA0\xBD" "a"},
        {{0xDE00, 0xD83D}, "\xED\xB8\x80\xED\xA0\xBD"}, {{'a', 0, 'b'}, "a"}, {{0xD83D, 0, 0xDE00}, "\xED\xA0\xBD"}};
    for (const auto &[units, utf8] : toUTF8) EXPECT_EQ(UTF16toUTF8(units), utf8) << utf8;
}

TEST(Output, VisibleAndXmlEscaped) {
    // Text, visible (XML escaping adds entities only); terminal escapes, backslashes and the entities
    // themselves: tests/transcripts/escaping.
    std::pair<std::string, std::string> cases[] = {
        {"\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"},
        {std::string("a\0\t\n\r\x7f", 6), "a\\x00\\t\\n\\r\\x7f"},
        {"\xC2\x85\xC2\x9B\xC2\xA0", "\\xc2\\x85\\xc2\\x9b\xC2\xA0"},   // C1, then NBSP
        {"\xC0\x80|\xE6\x97|\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\xFF",   // over-long, cut, lone, surrogate, > U+10FFFF
         "\\xc0\\x80|\\xe6\\x97|\\x80|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xff"},
    };
    for (const auto &[text, shown] : cases) {
        EXPECT_EQ(visible(text), shown) << text;
        EXPECT_EQ(xmlEscaped(text), shown) << text;
    }
}

TEST(Unicode, PrintStoredName) {
    // name, plain, text, size consumed; a 0 unit ends the text, not the size; units past the view are never read.
    std::tuple<ByteVec, int, std::string, size_t> cases[] = {
        {{0, 0}, 1, "", 2}, {{0, 0}, 0, "<Name/>", 2}, {{0, 2, 0, 'H', 0, 'i'}, 0, "<Name>Hi</Name>", 6},
        {{0, 2, 0, '<', 0, 0x1B}, 0, "<Name>&lt;\\x1b</Name>", 6}, {{0, 2, 0, '<', 0, 0x1B}, 1, "<\\x1b", 6},
        {{0, 2, 0, 0, 0, 'i'}, 1, "", 6}, {{0, 3, 0, 'a'}, 1, "a", 8}, {{1, 0}, 1, "", 0}};   // 256 units: refused
    for (const auto &[name, plain, text, size] : cases) {
        size_t got = 0;
        Printed p = capture([&, stored = view(name), xml = plain] { got = printStoredName(stdout, stored, xml); });
        EXPECT_EQ(p.out, text);
        EXPECT_EQ(got, size) << text;
        EXPECT_EQ(p.err, size ? "" : "Len is 256\n");
    }
}

TEST(Words, SplitAsAPOSIXShellOnlyWhenQuoted) {
    // line, its words, and all of them as one argument: as typed on a plain line.
    std::tuple<const char *, std::vector<std::string>, std::string> cases[] = {
        {"ls", {}, ""}, {"ls  /a  b ", {"/a", "b"}, "/a  b"}, {"ls ''", {""}, ""},
        {"ls 'a  b'  \"c\\\"$\\d\" e\\ f", {"a  b", "c\"$\\d", "e f"}, "a  b c\"$\\d e f"},
        {"ls Bob's  files", {"Bob's", "files"}, "Bob's  files"}, {"ls a\\", {"a\\"}, "a\\"}};   // left open: plain
    for (const auto &[line, words, whole] : cases) {
        Words split(line);
        std::vector<std::string> got;
        for (size_t i = 0; i < split.size(); ++i) got.push_back(split[i]);
        EXPECT_EQ(got, words) << line;
        EXPECT_EQ(split.span(0), whole) << line;
    }
}

TEST(Unicode, UnicodifyFillsStoredFormAndCutsAt255) {
    uint8_t name[kHFSUniStr255Size];
    const Bytes stored{name, sizeof name};
    memset(name, 0xEE, sizeof name);
    EXPECT_TRUE(unicodify(name, "Us"));
    EXPECT_EQ(stored.sub(0, 8).be64(0), 0x0002005500730000ull);
    EXPECT_FALSE(unicodify(name, std::string(300, 'x')));
    EXPECT_EQ(stored.be16(0), 255);
    EXPECT_EQ(stored.be16(2 + 2 * 254), 'x');
    std::string pairs;   // 127 pairs then one more: the cut must not split a pair
    for (int i = 0; i < 128; ++i) pairs += "\xF0\x9F\x98\x80";
    EXPECT_FALSE(unicodify(name, pairs));
    EXPECT_EQ(stored.be16(0), 254);
}

TEST(Unicode, DecomposedAsHFSPlusStoresNames) {
    // Two steps for U+1EC7; marks in canonical order (U+0314 ends a run of its class); Hangul by rule,
    // a lead jamo past those that compose left apart; compatibility forms and TN1150's excluded ranges
    // stay; Hebrew presentation forms are not excluded; outside the basic plane: as typed.
    std::pair<std::u16string, std::u16string> cases[] = {
        {u"caf\u00E9", u"cafe\u0301"}, {u"\u1EC7", u"e\u0323\u0302"}, {u"\u00E9\u0323", u"e\u0323\u0301"},
        {u"a\u0314\u0323", u"a\u0323\u0314"}, {u"\uD55C", u"\u1112\u1161\u11AB"}, {u"\uAC00", u"\u1100\u1161"},
        {u"\u1113\u1161", u"\u1113\u1161"}, {u"\u0344", u"\u0308\u0301"},
        {u"\u00BE\u2044\uFB01", u"\u00BE\u2044\uFB01"}, {u"\u212B\u2126\uF900", u"\u212B\u2126\uF900"},
        {u"\uFB2C", u"\u05E9\u05BC\u05C1"}, {{0xD834, 0xDD5E}, {0xD834, 0xDD5E}}};
    for (const auto &[typed, stored] : cases) {
        EXPECT_EQ(decomposeName(typed), stored) << UTF16toUTF8(typed);
        EXPECT_EQ(decomposeName(composeName(stored)), stored) << UTF16toUTF8(typed);   // composed for the line editor
    }
    EXPECT_EQ(composeName(u"cafe\u0301 e\u0323\u0302\u1112\u1161\u11AB"), u"caf\u00E9 \u1EC7\uD55C");
    EXPECT_EQ(typedNameForms("plain"), std::vector<std::u16string>{u"plain"});
    EXPECT_EQ(typedNameForms("\xC3\xA9:"), (std::vector<std::u16string>{u"\u00E9:", u"e\u0301:", u"\u00E9/", u"e\u0301/"}));
}
