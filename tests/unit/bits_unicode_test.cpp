// Byte-order view and name conversion.
#include <cstring>

#include "base/output.h"
#include "base/utf.h"
#include "catalog/unicode.h"
#include "unit.h"

using unit::ByteVec;

TEST(Bytes, ReadsInsideAndGivesZeroOutside) {
    const uint8_t raw[] = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0x11};
    Bytes b{raw, sizeof raw};
    EXPECT_EQ(b.be16(0), 0x1234);
    EXPECT_EQ(b.be32(1), 0x3456789au);
    EXPECT_EQ(b.be64(1), 0x3456789abcdef011ull);
    EXPECT_EQ(b.le32(0), 0x78563412u);
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
    std::pair<std::string, std::string> cases[] = {   // text, visible (XML escaping adds entities only)
        {"plain name.txt", "plain name.txt"},
        {"\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"},
        {"\x1b]0;t\x07\x1b[2J", "\\x1b]0;t\\x07\\x1b[2J"},
        {std::string("a\0\t\n\r\x7f", 6), "a\\x00\\t\\n\\r\\x7f"},
        {"\xC2\x85\xC2\x9B\xC2\xA0", "\\xc2\\x85\\xc2\\x9b\xC2\xA0"},   // C1, then NBSP
        {"\xC0\x80|\xE6\x97|\x80|\xED\xA0\x80|\xF4\x90\x80\x80|\xFF",   // over-long, cut, lone, surrogate, > U+10FFFF
         "\\xc0\\x80|\\xe6\\x97|\\x80|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xff"},
        {"a\\x1b", "a\\\\x1b"},   // a typed-looking escape stays distinguishable
    };
    for (const auto &[text, shown] : cases) {
        EXPECT_EQ(visible(text), shown) << text;
        EXPECT_EQ(xmlEscaped(text), shown) << text;
    }
    EXPECT_EQ(visible("<a href=\"x\">&'"), "<a href=\"x\">&'");
    EXPECT_EQ(xmlEscaped("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&apos;");
}

TEST(Unicode, DumpUnicode) {
    struct Case {
        ByteVec name;
        int plain;
        std::string text;
        size_t size;
    } cases[] = {
        {{0, 0}, 1, "", 2}, {{0, 0}, 0, "<Name/>", 2}, {{0, 2, 0, 'H', 0, 'i'}, 0, "<Name>Hi</Name>", 6},
        {{0, 2, 0, '<', 0, 0x1B}, 0, "<Name>&lt;\\x1b</Name>", 6}, {{0, 2, 0, '<', 0, 0x1B}, 1, "<\\x1b", 6},
        {{0, 2, 0, 0, 0, 'i'}, 1, "", 6},   // a 0 unit ends the text, not the size
        {{0, 3, 0, 'a'}, 1, "a", 8},        // units past the view are never read
        {{1, 0}, 1, "", 0},                 // "Len is 256" on stderr
    };
    for (const Case &c : cases) {
        char *text = nullptr;
        size_t length = 0, size = 0;
        FILE *stream = open_memstream(&text, &length);
        unit::Printed p = unit::capture([&] { size = dumpUnicode(stream, unit::view(c.name), c.plain); });
        fclose(stream);
        EXPECT_EQ(std::string(text, length), c.text);
        free(text);
        EXPECT_EQ(size, c.size) << c.text;
        EXPECT_EQ(p.err, c.size ? "" : "Len is 256\n");
    }
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
    // Two steps for U+1EC7; marks in canonical order; Hangul by rule; compatibility forms and TN1150's
    // excluded ranges stay; Hebrew presentation forms are not excluded; outside the basic plane: as typed.
    std::pair<std::u16string, std::u16string> cases[] = {
        {u"caf\u00E9", u"cafe\u0301"}, {u"\u1EC7", u"e\u0323\u0302"}, {u"\u00E9\u0323", u"e\u0323\u0301"},
        {u"\uD55C", u"\u1112\u1161\u11AB"}, {u"\uAC00", u"\u1100\u1161"}, {u"\u0344", u"\u0308\u0301"},
        {u"\u00BE\u2044\uFB01", u"\u00BE\u2044\uFB01"}, {u"\u212B\u2126\uF900", u"\u212B\u2126\uF900"},
        {u"\uFB2C", u"\u05E9\u05BC\u05C1"}, {{0xD834, 0xDD5E}, {0xD834, 0xDD5E}}};
    for (const auto &[typed, stored] : cases) EXPECT_EQ(decomposeName(typed), stored) << UTF16toUTF8(typed);
    EXPECT_EQ(typedNameForms("plain"), std::vector<std::u16string>{u"plain"});
    EXPECT_EQ(typedNameForms("a:b"), (std::vector<std::u16string>{u"a:b", u"a/b"}));
    EXPECT_EQ(typedNameForms("\xC3\xA9:"), (std::vector<std::u16string>{u"\u00E9:", u"e\u0301:", u"\u00E9/", u"e\u0301/"}));
}
