// LZVN: round trips through the builder's encoder and hand-made streams, damaged ones included
// (Apple's own stream is decoded in the decmpfs tests).
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "codecs/lzvn.h"
#include "hfsbuild/codecs.h"
#include "support.h"

namespace {

using ByteVec = std::vector<uint8_t>;

ByteVec bytes(const std::string &s) { return ByteVec(s.begin(), s.end()); }

ByteVec text(size_t size, unsigned seed) { return vocabularyText(size, seed); }

// Runs of every short period, which take the decoder's overlapping-copy paths.
ByteVec periods() {
    ByteVec data;
    for (size_t period = 1; period <= 20; ++period) {
        for (size_t i = 0; i < period * 3 + 300 * (period % 3); ++i) data.push_back(static_cast<uint8_t>('a' + i % period));
        data.push_back('|');
    }
    return data;
}

ByteVec join(std::initializer_list<ByteVec> parts) {
    ByteVec all;
    for (const ByteVec &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Decodes `stream` after `prefix` into a buffer of `capacity` bytes; the produced bytes, prefix included.
std::optional<ByteVec> decode(const ByteVec &stream, size_t capacity, const ByteVec &prefix = {}) {
    ByteVec out(std::max(capacity, prefix.size()));
    std::copy(prefix.begin(), prefix.end(), out.begin());
    // A copy of exactly the stream's size, so ASan sees any read past its end.
    std::unique_ptr<uint8_t[]> in(new uint8_t[stream.size()]);
    std::copy(stream.begin(), stream.end(), in.get());
    auto end = lzvnDecode(Bytes{in.get(), stream.size()}, out.data(), prefix.size(), capacity);
    if (!end) return std::nullopt;
    out.resize(*end);
    return out;
}

}  // namespace

TEST(Lzvn, EncodedDataRoundTrips) {
    ByteVec randomBlock = randomBytes(20000, 7);
    struct Case {
        const char *what;
        ByteVec data;
    } cases[] = {
        {"empty", {}},
        {"one byte", {0x42}},
        {"three bytes", bytes("abc")},
        {"text", text(3000, 1)},
        {"short periods", periods()},
        {"random", randomBytes(5000, 2)},
        {"a long run", ByteVec(70000, 0)},
        {"over 64 KiB: text, and a block repeated 50000 and 90000 bytes later",
         join({text(100000, 3), randomBlock, randomBytes(30000, 4), randomBlock, randomBytes(70000, 5), randomBlock})},
    };
    for (const Case &c : cases) {
        ByteVec stream = lzvnEncode(c.data);
        EXPECT_EQ(decode(stream, c.data.size()), c.data) << c.what;
        EXPECT_EQ(decode(stream, c.data.size() + 100), c.data) << c.what << ", with room to spare";
        if (!c.data.empty()) {
            EXPECT_EQ(decode(stream, c.data.size() - 1), std::nullopt) << c.what << ", capacity one short";
        }
        if (stream.size() > 8000) continue;
        // Cut anywhere before the end-of-stream opcode the stream is damaged; its padding is optional.
        for (size_t cut = 0; cut < stream.size(); ++cut) {
            ByteVec head(stream.begin(), stream.begin() + cut);
            auto got = decode(head, c.data.size());
            if (cut < stream.size() - 7) EXPECT_EQ(got, std::nullopt) << c.what << " cut at " << cut;
            else EXPECT_EQ(got, c.data) << c.what << " cut at " << cut;
        }
    }
}

TEST(Lzvn, HandMadeStreams) {
    struct Case {
        const char *what;
        std::string prefix;
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
        auto got = decode(c.stream, c.capacity, bytes(c.prefix));
        std::optional<ByteVec> want;
        if (c.expected) want = bytes(c.prefix + *c.expected);
        EXPECT_EQ(got, want) << c.what;
    }
}
