// LZVN decoding: one opcode table, a wide-copy fast path and an exact byte path near either end.
#include "codecs/lzvn.h"

#include <array>
#include <cstring>

namespace {

enum Kind : uint8_t { kSmlD, kMedD, kLrgD, kPreD, kSmlL, kLrgL, kSmlM, kLrgM, kNop, kEos, kUdef };

// Every first byte classified once, so the loop does a single indexed load and one switch.
constexpr std::array<uint8_t, 256> kKinds = [] {
    std::array<uint8_t, 256> kinds{};
    for (int c = 0; c < 256; ++c) {
        int literals = c >> 6, length = (c >> 3) & 7, low = c & 7;
        Kind k;
        if (c >= 0xF0) {
            k = c == 0xF0 ? kLrgM : kSmlM;
        } else if (c >= 0xE0) {
            k = c == 0xE0 ? kLrgL : kSmlL;
        } else if ((c & 0xE0) == 0xA0) {   // 101LLMMM
            k = kMedD;
        } else if ((c & 0xF0) == 0x70 || (c & 0xF0) == 0xD0) {
            k = kUdef;
        } else if (low == 7) {
            k = kLrgD;
        } else if (low == 6) {
            // With no literals the "previous distance" pattern is reused for the control codes.
            if (literals > 0) k = kPreD;
            else if (length == 0) k = kEos;
            else if (length <= 2) k = kNop;
            else k = kUdef;
        } else {
            k = kSmlD;
        }
        kinds[c] = k;
    }
    return kinds;
}();

// The opcodes that carry 0-3 literals and then a match, decoded without branching on their class:
// distance = ((bytes 1-2 & mask) >> shift) | high, or the previous distance; length = match + (byte 1 &
// lowLength). `fast` marks them; the rest are branched on.
struct Fields {
    uint16_t mask = 0, high = 0;
    uint8_t shift = 0, size = 0, literals = 0, match = 0, lowLength = 0;
    bool usesPrevious = false, fast = false;
};

constexpr std::array<Fields, 256> kFields = [] {
    std::array<Fields, 256> fields{};
    for (int c = 0; c < 256; ++c) {
        Fields &f = fields[c];
        f.literals = static_cast<uint8_t>(c >> 6);
        f.match = static_cast<uint8_t>(((c >> 3) & 7) + 3);
        f.fast = true;
        switch (kKinds[c]) {
        case kSmlD: f.size = 2, f.mask = 0xFF, f.high = static_cast<uint16_t>((c & 7) << 8); break;
        case kLrgD: f.size = 3, f.mask = 0xFFFF; break;
        case kMedD:
            f.size = 3, f.mask = 0xFFFF, f.shift = 2, f.lowLength = 3;
            f.literals = static_cast<uint8_t>((c >> 3) & 3);
            f.match = static_cast<uint8_t>(((c & 7) << 2) + 3);
            break;
        case kPreD: f.size = 1, f.usesPrevious = true; break;
        case kSmlM: f.size = 1, f.usesPrevious = true, f.literals = 0, f.match = static_cast<uint8_t>(c & 15); break;
        default: f = Fields{};
        }
    }
    return fields;
}();

inline void copy8(uint8_t *to, const uint8_t *from) { std::memcpy(to, from, 8); }
inline void copy16(uint8_t *to, const uint8_t *from) { std::memcpy(to, from, 16); }

// Slack that lets a copy round up to whole 16-byte chunks without a length-exact tail.
constexpr size_t kSlack = 16;
// Room that lets the fast loop skip per-copy checks: an opcode of at most 3 bytes, 3 literals read
// as 16, and a match of at most 34 bytes written as 48.
constexpr size_t kFastIn = 32, kFastOut = 64;

// A match whose destination has at least kSlack bytes of room past its end. Chunks never overlap
// their own source once the distance is at least the chunk size, and every source byte was
// finished by an earlier chunk.
inline void copyMatch(uint8_t *op, size_t distance, size_t match) {
    const uint8_t *from = op - distance;
    if (distance >= 16) {
        for (size_t i = 0; i < match; i += 16) copy16(op + i, from + i);
    } else if (distance >= 8) {
        for (size_t i = 0; i < match; i += 8) copy8(op + i, from + i);
    } else {
        // A short period repeats, so any multiple of it is an equally valid distance: lay the
        // first bytes one by one, then copy 8 at a time from a multiple of at least 8.
        size_t step = distance;
        while (step < 8) step += distance;
        size_t i = 0;
        for (; i < step - distance && i < match; ++i) op[i] = from[i];
        for (; i < match; i += 8) copy8(op + i, op + i - step);
    }
}

}  // namespace

// Wide copies may leave scratch bytes between the returned position and capacity, never past it.
std::optional<size_t> lzvnDecode(Bytes in, uint8_t *out, size_t pos, size_t capacity) {
    if (pos > capacity || (in.size > 0 && in.data == nullptr)) return std::nullopt;
    const uint8_t *ip = in.data;
    const uint8_t *const iend = in.data + in.size;
    uint8_t *op = out + pos;
    uint8_t *const oend = out + capacity;
    size_t previous = 0;   // distance of the last match; 0 means none yet, which no match may use

    for (;;) {
        // Far from both ends every opcode but the long literal and match runs fits the slack, so
        // only the distance needs checking; everything else takes the careful step below.
        while (static_cast<size_t>(iend - ip) >= kFastIn && static_cast<size_t>(oend - op) >= kFastOut) {
            const uint8_t c = ip[0];
            const Fields &f = kFields[c];
            if (!f.fast) {
                if (kKinds[c] == kSmlL) {
                    copy16(op, ip + 1);
                    op += c & 15;
                    ip += 1 + (c & 15);
                    continue;
                }
                if (kKinds[c] == kNop) {
                    ip += 1;
                    continue;
                }
                goto careful;
            }
            const size_t operand = ip[1] | (static_cast<size_t>(ip[2]) << 8);
            const size_t literals = f.literals;
            const size_t match = f.match + (ip[1] & f.lowLength);
            const size_t distance = ((operand & f.mask) >> f.shift) | f.high | (previous & (0 - size_t{f.usesPrevious}));
            ip += f.size;
            copy16(op, ip);   // the 0-3 literals, unconditionally
            ip += literals;
            op += literals;
            // distance - 1 wraps for 0, so one comparison refuses both 0 and a reach before out[0].
            if (distance - 1 >= static_cast<size_t>(op - out)) return std::nullopt;
            if (distance >= 16 && match <= 16) copy16(op, op - distance);
            else copyMatch(op, distance, match);
            op += match;
            previous = distance;
        }
    careful:
        size_t inLeft = static_cast<size_t>(iend - ip);
        if (inLeft == 0) return std::nullopt;   // ran out before the end-of-stream opcode
        const uint8_t c = ip[0];
        size_t literals = 0, match = 0, distance = previous;
        switch (kKinds[c]) {
        case kSmlD:
            if (inLeft < 2) return std::nullopt;
            literals = c >> 6;
            match = ((c >> 3) & 7) + 3;
            distance = (static_cast<size_t>(c & 7) << 8) | ip[1];
            ip += 2;
            break;
        case kMedD:
            if (inLeft < 3) return std::nullopt;
            literals = (c >> 3) & 3;
            match = ((static_cast<size_t>(c & 7) << 2) | (ip[1] & 3)) + 3;
            distance = (static_cast<size_t>(ip[1]) >> 2) | (static_cast<size_t>(ip[2]) << 6);
            ip += 3;
            break;
        case kLrgD:
            if (inLeft < 3) return std::nullopt;
            literals = c >> 6;
            match = ((c >> 3) & 7) + 3;
            distance = ip[1] | (static_cast<size_t>(ip[2]) << 8);
            ip += 3;
            break;
        case kPreD:
            literals = c >> 6;
            match = ((c >> 3) & 7) + 3;
            ip += 1;
            break;
        case kSmlL:
            literals = c & 15;
            ip += 1;
            break;
        case kLrgL:
            if (inLeft < 2) return std::nullopt;
            literals = static_cast<size_t>(ip[1]) + 16;
            ip += 2;
            break;
        case kSmlM:
            match = c & 15;
            ip += 1;
            break;
        case kLrgM:
            if (inLeft < 2) return std::nullopt;
            match = static_cast<size_t>(ip[1]) + 16;
            ip += 2;
            break;
        case kNop:
            ip += 1;
            continue;
        case kEos:
            // Apple pads the opcode with seven zero bytes; they carry nothing, so they are not required.
            return static_cast<size_t>(op - out);
        default:
            return std::nullopt;
        }

        if (literals > 0) {
            inLeft = static_cast<size_t>(iend - ip);
            size_t outLeft = static_cast<size_t>(oend - op);
            if (literals > inLeft || literals > outLeft) return std::nullopt;
            if (literals <= kSlack && inLeft >= kSlack && outLeft >= kSlack) copy16(op, ip);
            else std::memcpy(op, ip, literals);
            ip += literals;
            op += literals;
        }

        if (match > 0) {
            size_t outLeft = static_cast<size_t>(oend - op);
            if (distance == 0 || distance > static_cast<size_t>(op - out) || match > outLeft) return std::nullopt;
            if (outLeft - match >= kSlack) {
                copyMatch(op, distance, match);
            } else {
                const uint8_t *from = op - distance;
                for (size_t i = 0; i < match; ++i) op[i] = from[i];
            }
            op += match;
            previous = distance;
        }
    }
}
