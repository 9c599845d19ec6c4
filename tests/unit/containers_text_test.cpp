// The small decoders of the container path: ADC, Base64 and the property-list element matcher.
#include <gtest/gtest.h>

#include "containers/adc.h"
#include "containers/base64.h"
#include "containers/xml.h"

namespace {

using ByteVec = std::vector<uint8_t>;

struct Adc {
    ByteVec out;
    int consumed;
};

Adc adc(const ByteVec &in, int capacity) {
    ByteVec out(static_cast<size_t>(capacity) + 16, 0xEE);
    int produced = -1;
    int consumed = adc_decompress(static_cast<int>(in.size()), in.data(), capacity, out.data(), &produced);
    EXPECT_TRUE(std::all_of(out.begin() + produced, out.end(), [](uint8_t b) { return b == 0xEE; }));
    out.resize(static_cast<size_t>(produced));
    return {out, consumed};
}

ByteVec repeat(std::initializer_list<uint8_t> unit, size_t times) {
    ByteVec v;
    v.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i) v.insert(v.end(), unit);
    return v;
}

}  // namespace

TEST(ADC, Codes) {
    ByteVec all128(129, 0x5A);
    all128[0] = 0xFF;
    struct Case {
        const char *what;
        ByteVec in;
        int capacity;
        ByteVec out;
        int consumed;
    } cases[] = {
        {"one-byte run", {0x80, 0x41}, 10, {0x41}, 2},
        {"128-byte run", all128, 128, ByteVec(128, 0x5A), 129},
        {"two-byte reference, offset 0", {0x80, 0x41, 0x00, 0x00}, 10, ByteVec(4, 0x41), 4},
        {"three-byte reference, offset 0, length 67", {0x80, 0x07, 0x7F, 0x00, 0x00}, 100, ByteVec(68, 0x07), 5},
        {"overlapping pattern", {0x81, 'A', 'B', 0x0C, 0x01}, 100, repeat({'A', 'B'}, 4), 5},
        {"a long pattern copied in growing steps", {0x82, 'A', 'B', 'C', 0x7F, 0x00, 0x02}, 100,
         [] { ByteVec v = repeat({'A', 'B', 'C'}, 23); v.push_back('A'); return v; }(), 7},
        {"exactly full", {0x81, 'A', 'B', 0x04, 0x01}, 6, {'A', 'B', 'A', 'B', 'A', 'B'}, 5},
        {"a code that would overflow stops", {0x81, 'A', 'B', 0x04, 0x01}, 5, {'A', 'B'}, 3},
        {"run cut by the end of the input", {0x80, 'A', 0x83, 'x'}, 100, {'A'}, 2},
        {"reference cut by the end of the input", {0x80, 'A', 0x40, 0x00}, 100, {'A'}, 2},
        {"reference before the output's start", {0x80, 'A', 0x00, 0x05}, 100, {'A'}, 2},
        {"reference as the first code", {0x00, 0x00}, 100, {}, 0},
        {"empty input", {}, 100, {}, 0},
    };
    for (const Case &c : cases) {
        Adc r = adc(c.in, c.capacity);
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.consumed, c.consumed) << c.what;
    }
    EXPECT_EQ(adc_chunk_type(static_cast<int8_t>(0x80)), 1);
    EXPECT_EQ(adc_chunk_type(0x3F), 2);
    EXPECT_EQ(adc_chunk_type(0x40), 3);
    EXPECT_EQ(adc_chunk_size(0x3C), 18);
    const uint8_t three[] = {0x41, 0x12, 0x34};
    EXPECT_EQ(adc_chunk_offset(three, 3), 0x1234);
    EXPECT_EQ(adc_chunk_offset(three, 2), 0);   // never read past what is there
}

TEST(Base64, DecodesAsPropertyListsCarryIt) {
    struct Case {
        std::string text;
        std::optional<ByteVec> bytes;
    } cases[] = {
        {"bWlzaA==", ByteVec{'m', 'i', 's', 'h'}},
        {"\n\t\tbWlz\n\t\taA==\n", ByteVec{'m', 'i', 's', 'h'}},
        {"bWlzaA=garbage", ByteVec{'m', 'i', 's', 'h'}},   // '=' ends the text
        {"QUJD", ByteVec{'A', 'B', 'C'}},
        {"QUJDR", std::nullopt},                          // 4n+1 characters
        {"QUJDRA", ByteVec{'A', 'B', 'C', 'D'}},          // 4n+2
        {"QUJDREU", ByteVec{'A', 'B', 'C', 'D', 'E'}},    // 4n+3
        {"", ByteVec{}},
        {"!!**", ByteVec{}},
    };
    for (const Case &c : cases) EXPECT_EQ(base64decode(c.text), c.bytes) << c.text;
}

TEST(PropertyList, ElementMatching) {
    std::string plist = "<plist><database>x</database><data>first</data><data id=\"2\">second</data></plist>";
    EXPECT_EQ(getXMLelement(plist, "data"), "first");
    EXPECT_EQ(getXMLelement("<data id=\"a\">attr</data>", "data"), "attr");
    EXPECT_EQ(getXMLelement("<database>no</database>", "data"), std::nullopt);
    EXPECT_EQ(getXMLelement("<data>open", "data"), std::nullopt);
    EXPECT_EQ(getXMLelement("</data><data", "data"), std::nullopt);
    EXPECT_EQ(getXMLelement("", ""), std::nullopt);

    std::string blkx = "<array><dict><string>MBR</string><data>AAAA</data></dict>"
                       "<dict><string>Apple_HFS</string><data>BBBB</data></dict></array>";
    size_t hfs = blkx.find("Apple_HFS");
    auto dict = getXMLElementContaining(blkx, hfs, "dict");
    ASSERT_TRUE(dict);
    EXPECT_EQ(*dict, "<string>Apple_HFS</string><data>BBBB</data>");
    EXPECT_EQ(getXMLelement(*dict, "data"), "BBBB");
    EXPECT_EQ(getXMLElementContaining(blkx, 0, "dict"), std::nullopt);
    EXPECT_EQ(getXMLElementContaining(blkx, blkx.size() + 10, "dict"), std::nullopt);
    // Nesting is not counted: the first closing tag ends the content.
    std::string nested = "<dict><dict><data>inner</data></dict><key>Apple_HFS</key></dict>";
    EXPECT_EQ(getXMLElementContaining(nested, nested.find("inner"), "dict"), "<dict><data>inner</data>");
}
