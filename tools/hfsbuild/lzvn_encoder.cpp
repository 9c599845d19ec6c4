// A greedy LZVN encoder for the image builder. Ratio is not the point: it spreads its output over
// every literal and match opcode class so that images built with it reach all of the decoder's paths.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "hfsbuild/codecs.h"

namespace {

constexpr size_t kMinMatch = 3;
constexpr size_t kMaxDistance = 0xFFFF;   // the widest distance field, lrg_d's 16 bits
constexpr int kHashBits = 15;

// Whether the LLMMMDDD form holds `literals` and `match`: some L/M pairs are taken by med_d
// (L=2, M=7..10), by undefined opcodes (L=1, M=9..10; L=3, M=5..6) and by the literal and match
// opcodes (L=3, M=7..10).
bool smallFormFits(size_t literals, size_t match) {
    size_t m = match - 3;
    switch (literals) {
    case 0: return m <= 7;
    case 1: return m <= 5;
    case 2: return m <= 3;
    default: return m <= 1;
    }
}

// The longest match no longer than `match` that the LLMMMDDD form can carry.
size_t smallFormLength(size_t literals, size_t match) {
    for (size_t m = std::min<size_t>(match, 10); m > 3; --m) {
        if (smallFormFits(literals, m)) return m;
    }
    return 3;
}

class Writer {
public:
    std::vector<uint8_t> out;

    void literals(const uint8_t *data, size_t count) {
        while (count > 0) {
            size_t n = std::min<size_t>(count, 271);
            if (n >= 16) {
                out.push_back(0xE0);
                out.push_back(static_cast<uint8_t>(n - 16));
            } else {
                out.push_back(static_cast<uint8_t>(0xE0 | n));
            }
            out.insert(out.end(), data, data + n);
            data += n;
            count -= n;
        }
    }

    // The rest of a match at the previous distance.
    void repeat(size_t match) {
        while (match > 0) {
            size_t n = std::min<size_t>(match, 271);
            if (n >= 16) {
                out.push_back(0xF0);
                out.push_back(static_cast<uint8_t>(n - 16));
            } else {
                out.push_back(static_cast<uint8_t>(0xF0 | n));
            }
            match -= n;
        }
    }

    // `literals` (up to 3) carried by a match of `match` bytes at `distance`, whose tail goes out
    // as plain matches at what is then the previous distance.
    void match(const uint8_t *lit, size_t literals, size_t match, size_t distance, size_t previous) {
        uint8_t ll = static_cast<uint8_t>(literals << 6);
        size_t used;
        if (distance == previous && literals == 0) {
            used = 0;   // nothing to carry: plain matches alone
        } else if (distance == previous) {
            used = smallFormLength(literals, match);
            out.push_back(static_cast<uint8_t>(ll | ((used - 3) << 3) | 6));
        } else if (distance < 0x600 && match <= 10 && smallFormFits(literals, match)) {
            used = match;
            out.push_back(static_cast<uint8_t>(ll | ((used - 3) << 3) | (distance >> 8)));
            out.push_back(static_cast<uint8_t>(distance));
        } else if (distance < 0x4000) {
            used = std::min<size_t>(match, 34);
            size_t m = used - 3;
            out.push_back(static_cast<uint8_t>(0xA0 | (literals << 3) | (m >> 2)));
            out.push_back(static_cast<uint8_t>(((distance << 2) & 0xFC) | (m & 3)));
            out.push_back(static_cast<uint8_t>(distance >> 6));
        } else {
            used = smallFormLength(literals, match);
            out.push_back(static_cast<uint8_t>(ll | ((used - 3) << 3) | 7));
            out.push_back(static_cast<uint8_t>(distance));
            out.push_back(static_cast<uint8_t>(distance >> 8));
        }
        out.insert(out.end(), lit, lit + literals);
        repeat(match - used);
    }
};

uint32_t hash3(const uint8_t *p) {
    uint32_t v = p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
}

}  // namespace

std::vector<uint8_t> lzvnEncode(std::span<const uint8_t> data) {
    const uint8_t *src = data.data();
    const size_t size = data.size();
    Writer w;
    w.out.reserve(size + size / 64 + 16);
    std::vector<int64_t> table(size_t{1} << kHashBits, -1);
    size_t previous = 0, anchor = 0, i = 0;
    auto common = [&](size_t from, size_t at) {
        size_t n = 0;
        while (at + n < size && src[from + n] == src[at + n]) ++n;
        return n;
    };
    while (i + kMinMatch <= size) {
        uint32_t h = hash3(src + i);
        int64_t candidate = table[h];
        table[h] = static_cast<int64_t>(i);
        // The previous distance first: it costs one byte, or none beside carried literals.
        size_t distance = 0, length = 0;
        if (previous > 0 && previous <= i) {
            length = common(i - previous, i);
            distance = previous;
        }
        if (length < kMinMatch && candidate >= 0 && i - static_cast<size_t>(candidate) <= kMaxDistance) {
            length = common(static_cast<size_t>(candidate), i);
            distance = i - static_cast<size_t>(candidate);
        }
        if (length < kMinMatch) {
            ++i;
            continue;
        }
        // Whole groups of four literals go out alone, the last 0-3 ride on the match opcode.
        size_t pending = i - anchor, carried = pending & 3;
        w.literals(src + anchor, pending - carried);
        w.match(src + i - carried, carried, length, distance, previous);
        previous = distance;
        for (size_t j = i + 1; j < i + length && j + kMinMatch <= size; ++j) table[hash3(src + j)] = static_cast<int64_t>(j);
        i += length;
        anchor = i;
    }
    w.literals(src + anchor, size - anchor);
    static const uint8_t kEnd[8] = {0x06, 0, 0, 0, 0, 0, 0, 0};   // end of stream and Apple's padding
    w.out.insert(w.out.end(), kEnd, kEnd + 8);
    return w.out;
}
