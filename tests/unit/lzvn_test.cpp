// LZVN: round trips through the builder's encoder and hand-made streams, damaged ones included.
#include <memory>
#include <optional>

#include "codecs/lzvn.h"
#include "hfsbuild/codecs.h"
#include "support.h"
#include "unit.h"

using namespace unit;

namespace {

// Decodes `stream` after `prefix` into a buffer of `capacity` bytes; the produced bytes, prefix included.
std::optional<ByteVec> decode(const ByteVec &stream, size_t capacity, const ByteVec &prefix = {}) {
    ByteVec out(std::max(capacity, prefix.size()));
    std::copy(prefix.begin(), prefix.end(), out.begin());
    std::unique_ptr<uint8_t[]> in(new uint8_t[stream.size()]);   // exactly sized, so ASan sees reads past it
    std::copy(stream.begin(), stream.end(), in.get());
    auto end = lzvnDecode(Bytes{in.get(), stream.size()}, out.data(), prefix.size(), capacity);
    if (!end) return std::nullopt;
    out.resize(*end);
    return out;
}

}  // namespace

TEST(Lzvn, EncodedDataRoundTrips) {
    ByteVec periods, randomBlock = randomBytes(20000, 7);   // runs of every short period: overlapping copies
    for (size_t period = 1; period <= 20; ++period) {
        for (size_t i = 0; i < period * 3 + 300 * (period % 3); ++i) periods.push_back(static_cast<uint8_t>('a' + i % period));
        periods.push_back('|');
    }
    const ByteVec cases[] = {
        {}, {0x42}, bytes("abc"), vocabularyText(3000, 1), periods, randomBytes(5000, 2), ByteVec(70000, 0),
        // over 64 KiB: a block repeated 50000 and 90000 bytes later
        join({vocabularyText(100000, 3), randomBlock, randomBytes(30000, 4), randomBlock, randomBytes(70000, 5), randomBlock}),
    };
    for (const ByteVec &data : cases) {
        ByteVec stream = lzvnEncode(data);
        std::string what = "size " + std::to_string(data.size());
        EXPECT_EQ(decode(stream, data.size()), data) << what;
        EXPECT_EQ(decode(stream, data.size() + 100), data) << what << ", with room to spare";
        if (!data.empty()) {
            EXPECT_EQ(decode(stream, data.size() - 1), std::nullopt) << what << ", capacity one short";
        }
        // Cut anywhere before the end-of-stream opcode the stream is damaged; its padding is optional.
        for (size_t cut = 0; stream.size() <= 8000 && cut < stream.size(); ++cut) {
            auto got = decode(ByteVec(stream.begin(), stream.begin() + cut), data.size());
            EXPECT_EQ(got, cut < stream.size() - 7 ? std::nullopt : std::optional(data)) << what << " cut at " << cut;
        }
    }
}

TEST(Lzvn, HandMadeStreams) {
    struct Case {
        const char *what, *prefix;
        ByteVec stream;
        size_t capacity;
        std::optional<std::string> expected;
    } cases[] = {
        {"nops are skipped", "", {0x0E, 0xE1, 'x', 0x16, 0x06}, 8, "x"},
        {"match of distance 3", "", {0xE3, 'a', 'b', 'c', 0x00, 0x03, 0x06}, 8, "abcabc"},
        {"distance before out[0]", "", {0xE3, 'a', 'b', 'c', 0x00, 0x04, 0x06}, 8, std::nullopt},
        {"distance 0", "", {0xE1, 'a', 0xA0, 0x00, 0x00, 0x06}, 8, std::nullopt},
        {"match into the prefix", "hello", {0x10, 0x05, 0x06}, 16, "hello"},
        {"match before the prefix", "hello", {0x10, 0x06, 0x06}, 16, std::nullopt},
        {"large distance into the prefix", "hello", {0x47, 0x05, 0x00, '!', 0xF2, 0x06}, 16, "!ello!"},
        {"previous distance before any match", "hello", {0xF3, 0x06}, 16, std::nullopt},
        {"carried literal past the input", "hello", {0x47, 0x05, 0x00}, 16, std::nullopt},
        {"large literal past the input", "", {0xE0, 0x00, 'a', 'b'}, 32, std::nullopt},
        {"large match past the capacity", "", {0xE1, 'a', 0x00, 0x01, 0xF0, 0x10, 0x06}, 35, std::nullopt},
        {"large match filling the capacity", "", {0xE1, 'a', 0x00, 0x01, 0xF0, 0x10, 0x06}, 36, std::string(36, 'a')},
        {"undefined opcode 0x1E", "", {0xE1, 'a', 0x1E, 0x06}, 8, std::nullopt},
        {"undefined opcode 0x72", "", {0xE1, 'a', 0x72, 0x06}, 8, std::nullopt},
        {"undefined opcode 0xD0", "", {0xE1, 'a', 0xD0, 0x06}, 8, std::nullopt},
        {"position past the capacity", "hello", {0x06}, 4, std::nullopt},
    };
    for (const Case &c : cases) {
        std::optional<ByteVec> want;
        if (c.expected) want = bytes(c.prefix + *c.expected);
        EXPECT_EQ(decode(c.stream, c.capacity, bytes(c.prefix)), want) << c.what;
    }
}
