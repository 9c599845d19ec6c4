// LZFSE decoding: block headers, finite-state-entropy tables, the backward bit streams of literals
// and L/M/D triples, and the copies. Every count in a header is checked against what the payload and
// the output buffer can hold; a damaged stream ends in nullopt, never outside the buffers.
#include "codecs/lzfse.h"

#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "codecs/lzvn.h"

namespace {

constexpr uint32_t kMagicEnd = 0x24787662;      // "bvx$"
constexpr uint32_t kMagicStored = 0x2D787662;   // "bvx-"
constexpr uint32_t kMagicV1 = 0x31787662;       // "bvx1"
constexpr uint32_t kMagicV2 = 0x32787662;       // "bvx2"
constexpr uint32_t kMagicLzvn = 0x6E787662;     // "bvxn"

constexpr int kLiteralStates = 1024, kLStates = 64, kMStates = 64, kDStates = 256;
constexpr int kLSymbols = 20, kMSymbols = 20, kDSymbols = 64, kLiteralSymbols = 256;
constexpr int kFreqCount = kLSymbols + kMSymbols + kDSymbols + kLiteralSymbols;
// Where each table starts in the 360 frequencies, which both header versions store in this order.
constexpr int kLFreq = 0, kMFreq = kLFreq + kLSymbols, kDFreq = kMFreq + kMSymbols, kLiteralFreq = kDFreq + kDSymbols;

// The v1 header is a C struct of u32 counts, i32 bit counts, u16 states and u16 frequencies,
// 770 bytes of fields padded to 772 by its 4-byte alignment.
constexpr size_t kV1HeaderSize = 772;
constexpr size_t kV2FixedSize = 32;   // magic, raw size and the three packed words before the tables
// Neither header can count more than 20 bits' worth of literals or matches; v1 is held to the same
// bound so a damaged u32 cannot ask for a gigabyte of literal buffer.
constexpr uint32_t kMaxCount = (1u << 20) - 1;

// L, M and D symbols stand for a base value plus that many extra bits read after the state bits.
constexpr std::array<uint8_t, kLSymbols> kLExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 5, 8};
constexpr std::array<uint8_t, kMSymbols> kMExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5, 8, 11};
constexpr std::array<uint8_t, kDSymbols> kDExtra = [] {
    std::array<uint8_t, kDSymbols> extra{};
    for (int i = 0; i < kDSymbols; ++i) extra[i] = static_cast<uint8_t>(i / 4);   // four symbols per width
    return extra;
}();

// Each base is the previous one plus the span its extra bits cover, so the values tile without gaps.
template <size_t N>
constexpr std::array<uint32_t, N> basesOf(const std::array<uint8_t, N> &extra) {
    std::array<uint32_t, N> base{};
    for (size_t i = 1; i < N; ++i) base[i] = base[i - 1] + (1u << extra[i - 1]);
    return base;
}
constexpr auto kLBase = basesOf(kLExtra);
constexpr auto kMBase = basesOf(kMExtra);
constexpr auto kDBase = basesOf(kDExtra);
static_assert(kLBase[19] == 60 && kMBase[19] == 312 && kDBase[63] == 229372 && kDExtra[63] == 15);

uint64_t load64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

struct Header {
    uint32_t rawSize = 0, literals = 0, matches = 0, literalPayload = 0, lmdPayload = 0;
    int literalPad = 0, lmdPad = 0;   // unused high bits of each stream's last byte, 0..7
    uint32_t literalState[4] = {}, lState = 0, mState = 0, dState = 0;
    uint16_t freq[kFreqCount] = {};
    size_t headerSize = 0;
};

// A stored "bits" field is minus the padding of the stream's last byte.
bool padFromBits(int64_t bits, int &pad) {
    if (bits < -7 || bits > 0) return false;
    pad = static_cast<int>(-bits);
    return true;
}

bool parseV1(Bytes in, Header &h) {
    if (!in.has(0, kV1HeaderSize)) return false;
    h.rawSize = in.le32(4);
    h.literals = in.le32(12);
    h.matches = in.le32(16);
    h.literalPayload = in.le32(20);
    h.lmdPayload = in.le32(24);
    if (!padFromBits(static_cast<int32_t>(in.le32(28)), h.literalPad)) return false;
    for (int i = 0; i < 4; ++i) h.literalState[i] = in.le16(32 + 2 * i);
    if (!padFromBits(static_cast<int32_t>(in.le32(40)), h.lmdPad)) return false;
    h.lState = in.le16(44);
    h.mState = in.le16(46);
    h.dState = in.le16(48);
    for (int i = 0; i < kFreqCount; ++i) h.freq[i] = in.le16(50 + 2 * i);
    h.headerSize = kV1HeaderSize;
    return true;
}

// The v2 frequencies use a prefix code read from the low bits up: 0x (values 0-1), 01x (2-3),
// 011xx (4-7), 0111 + 4 bits (8-23), 1111 + 10 bits (24-1047), each written low bit first.
bool decodeFrequencies(Bytes table, uint16_t *freq) {
    uint32_t acc = 0;
    int bits = 0;
    size_t at = 0;
    for (int i = 0; i < kFreqCount; ++i) {
        while (bits <= 24 && at < table.size) {
            acc |= static_cast<uint32_t>(table.data[at++]) << bits;
            bits += 8;
        }
        int length;
        uint32_t value;
        if ((acc & 1) == 0) {
            length = 2, value = (acc >> 1) & 1;
        } else if ((acc & 2) == 0) {
            length = 3, value = 2 + ((acc >> 2) & 1);
        } else if ((acc & 4) == 0) {
            length = 5, value = 4 + ((acc >> 3) & 3);
        } else if ((acc & 8) == 0) {
            length = 8, value = 8 + ((acc >> 4) & 15);
        } else {
            length = 14, value = 24 + ((acc >> 4) & 1023);
        }
        if (length > bits) return false;   // the code runs past the header
        freq[i] = static_cast<uint16_t>(value);
        acc >>= length;
        bits -= length;
    }
    // The header size must be exactly the bytes the codes fill: anything more is not a table.
    return at == table.size && bits < 8;
}

bool parseV2(Bytes in, Header &h) {
    if (!in.has(0, kV2FixedSize)) return false;
    h.rawSize = in.le32(4);
    uint64_t w0 = in.le64(8), w1 = in.le64(16), w2 = in.le64(24);
    auto field = [](uint64_t word, int shift, int width) {
        return static_cast<uint32_t>((word >> shift) & ((uint64_t{1} << width) - 1));
    };
    h.literals = field(w0, 0, 20);
    h.literalPayload = field(w0, 20, 20);
    h.matches = field(w0, 40, 20);
    h.literalPad = 7 - static_cast<int>(field(w0, 60, 3));   // stored as bits + 7
    for (int i = 0; i < 4; ++i) h.literalState[i] = field(w1, 10 * i, 10);
    h.lmdPayload = field(w1, 40, 20);
    h.lmdPad = 7 - static_cast<int>(field(w1, 60, 3));
    h.headerSize = field(w2, 0, 32);
    h.lState = field(w2, 32, 10);
    h.mState = field(w2, 42, 10);
    h.dState = field(w2, 52, 10);
    if (field(w0, 63, 1) || field(w1, 63, 1)) return false;   // the top bit of both words is unused
    if (h.headerSize < kV2FixedSize || !in.has(0, h.headerSize)) return false;
    return decodeFrequencies(in.sub(kV2FixedSize, h.headerSize - kV2FixedSize), h.freq);
}

// Decoder tables: the states of each symbol are consecutive, in symbol order. State j of a symbol
// with frequency f reads k or k-1 bits (k the shift that brings f into [states, 2*states)) and adds
// them to a base that makes the symbol's next states cover [0, states) exactly once.
struct LiteralEntry {
    uint8_t symbol, bits;
    uint16_t delta;
};
struct ValueEntry {
    uint8_t totalBits, extraBits;   // state bits, then extra value bits below them
    uint16_t delta;
    uint32_t base;
};

template <typename Emit>
bool buildStates(const uint16_t *freq, int symbols, int states, Emit emit) {
    int sum = 0;
    for (int s = 0; s < symbols; ++s) sum += freq[s];
    // Every state must belong to a symbol: a short sum would leave states with no meaning.
    if (sum != states) return false;
    int state = 0;
    for (int s = 0; s < symbols; ++s) {
        const int f = freq[s];
        if (f == 0) continue;
        const int k = std::countl_zero(static_cast<uint32_t>(f)) - std::countl_zero(static_cast<uint32_t>(states));
        const int wide = ((2 * states) >> k) - f;   // states that read k bits; the rest read k - 1
        for (int j = 0; j < f; ++j, ++state) {
            if (j < wide) emit(state, s, k, ((f + j) << k) - states);
            else emit(state, s, k - 1, (j - wide) << (k - 1));
        }
    }
    return true;
}

bool buildLiteralTable(const uint16_t *freq, LiteralEntry *table) {
    return buildStates(freq, kLiteralSymbols, kLiteralStates, [&](int state, int symbol, int bits, int delta) {
        table[state] = {static_cast<uint8_t>(symbol), static_cast<uint8_t>(bits), static_cast<uint16_t>(delta)};
    });
}

template <size_t N>
bool buildValueTable(const uint16_t *freq, int states, const std::array<uint8_t, N> &extra,
                     const std::array<uint32_t, N> &base, ValueEntry *table) {
    return buildStates(freq, static_cast<int>(N), states, [&](int state, int symbol, int bits, int delta) {
        table[state] = {static_cast<uint8_t>(bits + extra[symbol]), extra[symbol], static_cast<uint16_t>(delta),
                        base[symbol]};
    });
}

// Reads a stream backwards from its end, most recently written bits first. Past the stream's first
// byte it shifts in zeros and counts them, so the hot loops need no per-read check: `overran()`
// tells afterwards whether any of those invented bits were consumed.
class BackwardBits {
public:
    bool init(Bytes stream, int pad) {
        // An encoder always leaves at least 8 bytes (7 when the last byte is full) for its first load.
        if (stream.size < (pad ? 8u : 7u)) return false;
        begin_ = stream.data;
        p_ = stream.data + stream.size - 1;
        acc_ = *p_;
        n_ = 8 - pad;
        if ((acc_ >> n_) != 0) return false;   // padding bits must be clear
        refill();
        return true;
    }

    // Brings the accumulator to at least 56 valid bits.
    void refill() {
        if (n_ >= 56) return;
        const int bytes = (63 - n_) >> 3;
        if (p_ - begin_ >= 8) {
            const int bits = bytes * 8;
            acc_ = (acc_ << bits) | (load64(p_ - 8) >> (64 - bits));
            p_ -= bytes;
            n_ += bits;
            return;
        }
        for (int i = 0; i < bytes; ++i) {
            acc_ <<= 8;
            if (p_ > begin_) acc_ |= *--p_;
            else invented_ += 8;
            n_ += 8;
        }
    }

    // At most 56 bits between refills, at most 32 at once.
    uint32_t pull(int bits) {
        n_ -= bits;
        return static_cast<uint32_t>(acc_ >> n_) & ((uint32_t{1} << bits) - 1);
    }

    bool overran() const { return invented_ > static_cast<uint64_t>(n_); }

private:
    const uint8_t *begin_ = nullptr, *p_ = nullptr;
    uint64_t acc_ = 0;
    int n_ = 0;
    uint64_t invented_ = 0;
};

inline uint32_t decodeValue(const ValueEntry *table, uint32_t &state, BackwardBits &in) {
    const ValueEntry e = table[state];
    const uint32_t bits = in.pull(e.totalBits);
    state = e.delta + (bits >> e.extraBits);
    return e.base + (bits & ((uint32_t{1} << e.extraBits) - 1));
}

struct Tables {
    LiteralEntry literal[kLiteralStates];
    ValueEntry l[kLStates], m[kMStates], d[kDStates];
};

// Slack past the literals and the output so copies can move whole 16-byte chunks.
constexpr size_t kChunk = 16;

class Decoder {
public:
    Decoder(uint8_t *out, size_t capacity) : out_(out), capacity_(capacity) {}

    std::optional<size_t> run(Bytes in) {
        size_t at = 0;
        for (;;) {
            if (!in.has(at, 4)) return std::nullopt;   // no end-of-stream block
            Bytes block = in.from(at);
            size_t used = 0;
            switch (block.le32(0)) {
            case kMagicEnd:
                return pos_;
            case kMagicStored: {
                if (!block.has(0, 8)) return std::nullopt;
                const uint32_t raw = block.le32(4);
                if (!block.has(8, raw) || raw > capacity_ - pos_) return std::nullopt;
                if (raw) std::memcpy(out_ + pos_, block.data + 8, raw);
                pos_ += raw;
                used = 8 + size_t{raw};
                break;
            }
            case kMagicLzvn: {
                if (!block.has(0, 12)) return std::nullopt;
                const uint32_t raw = block.le32(4), payload = block.le32(8);
                if (!block.has(12, payload) || raw > capacity_ - pos_) return std::nullopt;
                auto end = lzvnDecode(block.sub(12, payload), out_, pos_, pos_ + raw);
                if (!end || *end != pos_ + raw) return std::nullopt;
                pos_ = *end;
                used = 12 + size_t{payload};
                break;
            }
            case kMagicV1:
            case kMagicV2: {
                Header h;
                if (!(block.le32(0) == kMagicV1 ? parseV1(block, h) : parseV2(block, h))) return std::nullopt;
                const uint64_t total = uint64_t{h.headerSize} + h.literalPayload + h.lmdPayload;
                if (total > block.size || !decodeBlock(h, block)) return std::nullopt;
                used = static_cast<size_t>(total);
                break;
            }
            default:
                return std::nullopt;
            }
            at += used;
        }
    }

private:
    bool decodeBlock(const Header &h, Bytes block) {
        if (h.rawSize > capacity_ - pos_) return false;
        if (h.literals > kMaxCount || h.matches > kMaxCount || h.literals % 4 != 0) return false;
        for (uint32_t s : h.literalState) {
            if (s >= kLiteralStates) return false;
        }
        if (h.lState >= kLStates || h.mState >= kMStates || h.dState >= kDStates) return false;
        if (!buildLiteralTable(h.freq + kLiteralFreq, tables_.literal) ||
            !buildValueTable(h.freq + kLFreq, kLStates, kLExtra, kLBase, tables_.l) ||
            !buildValueTable(h.freq + kMFreq, kMStates, kMExtra, kMBase, tables_.m) ||
            !buildValueTable(h.freq + kDFreq, kDStates, kDExtra, kDBase, tables_.d)) {
            return false;
        }
        return decodeLiterals(h, block.sub(h.headerSize, h.literalPayload)) &&
               decodeMatches(h, block.sub(h.headerSize + size_t{h.literalPayload}, h.lmdPayload));
    }

    bool decodeLiterals(const Header &h, Bytes payload) {
        BackwardBits in;
        if (!in.init(payload, h.literalPad)) return false;
        literals_.resize(size_t{h.literals} + kChunk);
        uint8_t *lit = literals_.data();
        const LiteralEntry *table = tables_.literal;
        uint32_t s0 = h.literalState[0], s1 = h.literalState[1], s2 = h.literalState[2], s3 = h.literalState[3];
        // Four interleaved states, one refill for their at most 4 x 10 bits.
        for (uint32_t i = 0; i < h.literals; i += 4) {
            in.refill();
            LiteralEntry e = table[s0];
            lit[i] = e.symbol;
            s0 = e.delta + in.pull(e.bits);
            e = table[s1];
            lit[i + 1] = e.symbol;
            s1 = e.delta + in.pull(e.bits);
            e = table[s2];
            lit[i + 2] = e.symbol;
            s2 = e.delta + in.pull(e.bits);
            e = table[s3];
            lit[i + 3] = e.symbol;
            s3 = e.delta + in.pull(e.bits);
        }
        return !in.overran();
    }

    bool decodeMatches(const Header &h, Bytes payload) {
        BackwardBits in;
        if (!in.init(payload, h.lmdPad)) return false;
        const uint8_t *lit = literals_.data();
        const uint8_t *const litEnd = lit + h.literals;
        uint8_t *const out = out_;
        size_t pos = pos_;
        const size_t end = pos_ + h.rawSize;
        uint32_t ls = h.lState, ms = h.mState, ds = h.dState;
        for (uint32_t i = 0; i < h.matches; ++i) {
            // L, M and D take at most 14 + 17 + 23 = 54 bits: one refill covers the triple.
            in.refill();
            const uint32_t l = decodeValue(tables_.l, ls, in);
            const uint32_t m = decodeValue(tables_.m, ms, in);
            const uint32_t d = decodeValue(tables_.d, ds, in);
            if (d != 0) distance_ = d;   // 0 repeats the previous distance
            if (l > static_cast<size_t>(litEnd - lit) || size_t{l} + m > end - pos) return false;
            if (pos + l + kChunk <= end) {
                for (uint32_t k = 0; k < l; k += kChunk) std::memcpy(out + pos + k, lit + k, kChunk);
            } else if (l) {
                std::memcpy(out + pos, lit, l);
            }
            lit += l;
            pos += l;
            if (m == 0) continue;
            if (distance_ == 0 || distance_ > pos) return false;
            copyMatch(out, pos, m, distance_, end);
            pos += m;
        }
        if (in.overran() || pos != end) return false;
        pos_ = pos;
        return true;
    }

    // Copies m bytes from `distance` back; with room to spare it moves whole chunks no longer than
    // the distance, stretching one under 8 to a multiple of itself so each chunk reads finished bytes.
    static void copyMatch(uint8_t *out, size_t pos, uint32_t m, uint32_t distance, size_t end) {
        uint8_t *dst = out + pos;
        const uint8_t *src = dst - distance;
        if (pos + m + kChunk > end) {
            for (uint32_t k = 0; k < m; ++k) dst[k] = src[k];
            return;
        }
        uint32_t k = 0;
        if (distance < 8) {
            static constexpr uint8_t kStretch[8] = {0, 8, 8, 9, 8, 10, 12, 14};
            for (; k < 8; ++k) dst[k] = src[k];
            src = dst - kStretch[distance];
            for (; k < m; k += 8) std::memcpy(dst + k, src + k, 8);
            return;
        }
        if (distance >= kChunk) {
            for (; k < m; k += kChunk) std::memcpy(dst + k, src + k, kChunk);
            return;
        }
        for (; k < m; k += 8) std::memcpy(dst + k, src + k, 8);
    }

    uint8_t *out_;
    size_t capacity_;
    size_t pos_ = 0;
    uint32_t distance_ = 0;   // carried across blocks, as matches may be
    Tables tables_;
    std::vector<uint8_t> literals_;
};

}  // namespace

std::optional<size_t> lzfseDecode(Bytes in, uint8_t *out, size_t capacity) {
    if (in.size > 0 && in.data == nullptr) return std::nullopt;
    if (capacity > 0 && out == nullptr) return std::nullopt;
    Decoder decoder(out, capacity);
    return decoder.run(in);
}
