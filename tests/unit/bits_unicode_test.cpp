// Byte-order view and name conversion.
#include <gtest/gtest.h>

#include <cstring>

#include "base/output.h"
#include "base/utf.h"
#include "catalog/unicode.h"
#include "volume/bits.h"

TEST(Bytes, ReadsInsideAndGivesZeroOutside) {
    const uint8_t raw[] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0x11};
    Bytes b{raw, sizeof raw};
    EXPECT_EQ(b.be16(0), 0x1234);
    EXPECT_EQ(b.be32(1), 0x3456789au);
    EXPECT_EQ(b.be64(1), 0x3456789abcdef011ull);
    EXPECT_EQ(b.le32(0), 0x78563412u);
    EXPECT_EQ(b.le64(0), 0xf0debc9a78563412ull);
    EXPECT_EQ(b.be16(8), 0);                 // one byte short
    EXPECT_EQ(b.be32(SIZE_MAX - 1), 0u);     // offsets that would wrap
    EXPECT_EQ(b.be64(2), 0u);
    EXPECT_TRUE(b.sub(8, 2).empty());
    EXPECT_TRUE(b.sub(SIZE_MAX, 1).empty());
    EXPECT_EQ(b.sub(7, 2).be16(0), 0xf011);
    EXPECT_TRUE(b.from(10).empty());
    EXPECT_EQ(reverse16(0x1234), 0x3412);
    EXPECT_EQ(reverse32(0x12345678u), 0x78563412u);
}

TEST(Unicode, UTF8toUTF16) {
    struct Case {
        std::string utf8;
        std::u16string units;
    } cases[] = {
        {"a", u"a"},
        {"\xC3\xA9", u"\u00E9"},
        {"\x7F", u"\u007F"},
        {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        {"\xF4\x80\x80\x80", {0xDBC0, 0xDC00}},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF9x", u"x"},                      // 0xF9..0xFF give nothing
        {"\xA9", {0x0240}},                   // a stray continuation byte starts a two-byte sequence (cut)
        {"\xE2\x82", {0x2080}},               // cut three-byte sequence: the missing byte counts as zero
        {"\xF0\x80\x81\x81", {0x0041}},       // over-long four-byte form below 0x10000: one unit
        {"ab\xC3", {'a', 'b', 0x00C0}},
    };
    for (const Case &c : cases) EXPECT_EQ(UTF8toUTF16(c.utf8), c.units) << c.utf8;
}

TEST(Unicode, UTF16toUTF8) {
    struct Case {
        std::u16string units;
        std::string utf8;
    } cases[] = {
        {u"\u00E9", "\xC3\xA9"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {{0xD55C, 0xFF1A}, "\xED\x95\x9C\xEF\xBC\x9A"},
        {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {{0xDBC0, 0xDC00}, "\xF4\x80\x80\x80"},
        {{0xD83D}, "\xED\xA0\xBD"},                    // high surrogate last: three bytes, no step past the end
        {{0xD83D, 'a'}, "\xED\xA0\xBD" "a"},           // high surrogate not followed by a low one
        {{0xDE00, 0xD83D}, "\xED\xB8\x80\xED\xA0\xBD"}, // low before high: two lone units
        {{'a', 0, 'b'}, "a"},                          // stops at the first 0 unit
        {{0xD83D, 0, 0xDE00}, "\xED\xA0\xBD"},
    };
    for (const Case &c : cases) EXPECT_EQ(UTF16toUTF8(c.units), c.utf8);
}

TEST(Output, VisibleAndXmlEscaped) {
    struct Case {
        std::string text, visible, xml;
    } cases[] = {
        {"plain name.txt", "plain name.txt", "plain name.txt"},
        {"\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
         "\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"},
        {"\x1b]0;t\x07\x1b[2J", "\\x1b]0;t\\x07\\x1b[2J", "\\x1b]0;t\\x07\\x1b[2J"},
        {std::string("a\0\t\n\r\x7f", 6), "a\\x00\\t\\n\\r\\x7f", "a\\x00\\t\\n\\r\\x7f"},
        {"\xC2\x85\xC2\x9B\xC2\xA0", "\\xc2\\x85\\xc2\\x9b\xC2\xA0", "\\xc2\\x85\\xc2\\x9b\xC2\xA0"},   // C1, then NBSP
        {"\xC0\x80|\xE6\x97|\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\xFF", // over-long, cut, lone, surrogate, > U+10FFFF
         "\\xc0\\x80|\\xe6\\x97|\\x80|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xff",
         "\\xc0\\x80|\\xe6\\x97|\\x80|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xff"},
        {"a\\x1b", "a\\\\x1b", "a\\\\x1b"},   // a typed-looking escape stays distinguishable
        {"<a href=\"x\">&'", "<a href=\"x\">&'", "&lt;a href=&quot;x&quot;&gt;&amp;&apos;"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(visible(c.text), c.visible) << c.text;
        EXPECT_EQ(xmlEscaped(c.text), c.xml) << c.text;
    }
}

namespace {

std::string printed(const std::vector<uint8_t> &name, int plain, size_t *size) {
    char *text = nullptr;
    size_t length = 0;
    FILE *stream = open_memstream(&text, &length);
    *size = dumpUnicode(stream, Bytes{name.data(), name.size()}, plain);
    fclose(stream);
    std::string result(text, length);
    free(text);
    return result;
}

}  // namespace

TEST(Unicode, DumpUnicode) {
    size_t size = 0;
    EXPECT_EQ(printed({0, 0}, 1, &size), "");
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(printed({0, 0}, 0, &size), "<Name/>");
    EXPECT_EQ(printed({0, 2, 0, 'H', 0, 'i'}, 0, &size), "<Name>Hi</Name>");
    EXPECT_EQ(printed({0, 2, 0, '<', 0, 0x1B}, 0, &size), "<Name>&lt;\\x1b</Name>");
    EXPECT_EQ(printed({0, 2, 0, '<', 0, 0x1B}, 1, &size), "<\\x1b");
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(printed({0, 2, 0, 0, 0, 'i'}, 1, &size), "");   // a 0 unit ends the text, not the size
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(printed({0, 3, 0, 'a'}, 1, &size), "a");        // units past the view are never read
    EXPECT_EQ(size, 8u);
    testing::internal::CaptureStderr();
    EXPECT_EQ(printed({1, 0}, 1, &size), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Len is 256\n");
    EXPECT_EQ(size, 0u);
}

TEST(Unicode, UnicodifyFillsStoredFormAndCutsAt255) {
    uint8_t name[kHFSUniStr255Size];
    memset(name, 0xEE, sizeof name);
    EXPECT_TRUE(unicodify(name, "Users"));
    const uint8_t expected[] = {0, 5, 0, 0x55, 0, 0x73, 0, 0x65, 0, 0x72, 0, 0x73, 0, 0};
    EXPECT_EQ(memcmp(name, expected, sizeof expected), 0);

    EXPECT_FALSE(unicodify(name, std::string(300, 'x')));
    EXPECT_EQ(Bytes(name, sizeof name).be16(0), 255);
    EXPECT_EQ(Bytes(name, sizeof name).be16(2 + 2 * 254), 'x');

    std::string pairs;   // 127 pairs then one more: the cut must not split a pair
    for (int i = 0; i < 128; ++i) pairs += "\xF0\x9F\x98\x80";
    EXPECT_FALSE(unicodify(name, pairs));
    EXPECT_EQ(Bytes(name, sizeof name).be16(0), 254);
}

TEST(Unicode, DecomposedAsHFSPlusStoresNames) {
    struct Case {
        std::u16string typed, stored;
    } cases[] = {
        {u"caf\u00E9", u"cafe\u0301"},
        {u"\u1EC7", u"e\u0323\u0302"},                 // two steps: U+1EC7 -> U+1EB9 U+0302 -> e U+0323 U+0302
        {u"\u00E9\u0323", u"e\u0323\u0301"},           // marks in canonical order: below (220) before above (230)
        {u"\uD55C", u"\u1112\u1161\u11AB"},            // Hangul by rule, with a trailing consonant
        {u"\uAC00", u"\u1100\u1161"},
        {u"\u0344", u"\u0308\u0301"},                  // a mark that is two marks
        {u"\u00BE\u2044\uFB01", u"\u00BE\u2044\uFB01"}, // compatibility forms stay
        {u"\u212B\u2126\uF900", u"\u212B\u2126\uF900"}, // TN1150's excluded ranges stay composed
        {u"\uFB2C", u"\u05E9\u05BC\u05C1"},            // Hebrew presentation forms are not excluded
        {{0xD834, 0xDD5E}, {0xD834, 0xDD5E}},          // outside the basic plane: as typed
    };
    for (const Case &c : cases) EXPECT_EQ(decomposeName(c.typed), c.stored) << UTF16toUTF8(c.typed);

    EXPECT_EQ(typedNameForms("plain"), std::vector<std::u16string>{u"plain"});
    EXPECT_EQ(typedNameForms("a:b"), (std::vector<std::u16string>{u"a:b", u"a/b"}));
    EXPECT_EQ(typedNameForms("\xC3\xA9:"), (std::vector<std::u16string>{u"\u00E9:", u"e\u0301:", u"\u00E9/", u"e\u0301/"}));
}
