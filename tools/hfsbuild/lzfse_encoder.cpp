// A greedy LZFSE encoder for the image builder: real "bvx2" blocks (finite-state-entropy coded
// literals and L/M/D triples, the compressed v2 header) so that tests reach the decoder's entropy
// paths, with an LZVN ("bvxn") block wherever they would not pay or would be too short to be valid.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "hfsbuild/codecs.h"

namespace {

constexpr uint32_t kMagicEnd = 0x24787662;      // "bvx$"
constexpr uint32_t kMagicLzvn = 0x6E787662;     // "bvxn"
constexpr uint32_t kMagicV2 = 0x32787662;       // "bvx2"

constexpr int kLiteralStates = 1024, kLStates = 64, kMStates = 64, kDStates = 256;
constexpr uint32_t kMaxL = 315, kMaxM = 2359, kMaxD = 262139;
// Apple's decoders keep fixed buffers of this many literals and triples per block.
constexpr size_t kBlockLiterals = 40000, kBlockMatches = 10000;
constexpr size_t kMinMatch = 4;
constexpr int kHashBits = 16;

constexpr std::array<uint8_t, 20> kLExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 5, 8};
constexpr std::array<uint8_t, 20> kMExtra = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5, 8, 11};
constexpr std::array<uint8_t, 64> kDExtra = [] {
    std::array<uint8_t, 64> extra{};
    for (int i = 0; i < 64; ++i) extra[i] = static_cast<uint8_t>(i / 4);
    return extra;
}();

template <size_t N>
constexpr std::array<uint32_t, N> basesOf(const std::array<uint8_t, N> &extra) {
    std::array<uint32_t, N> base{};
    for (size_t i = 1; i < N; ++i) base[i] = base[i - 1] + (1u << extra[i - 1]);
    return base;
}
constexpr auto kLBase = basesOf(kLExtra);
constexpr auto kMBase = basesOf(kMExtra);
constexpr auto kDBase = basesOf(kDExtra);

template <size_t N>
int symbolOf(const std::array<uint32_t, N> &base, uint32_t value) {
    return static_cast<int>(std::upper_bound(base.begin(), base.end(), value) - base.begin()) - 1;
}

void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put64(std::vector<uint8_t> &out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Bits appended low bit first; the decoder reads them back from the end.
class BitWriter {
public:
    void put(uint32_t value, int bits) {
        acc_ |= static_cast<uint64_t>(value) << n_;
        n_ += bits;
        while (n_ >= 8) {
            bytes_.push_back(static_cast<uint8_t>(acc_));
            acc_ >>= 8;
            n_ -= 8;
        }
    }
    // The bytes and the count of unused high bits in the last one.
    std::vector<uint8_t> finish(int &pad) {
        pad = n_ ? 8 - n_ : 0;
        if (n_) bytes_.push_back(static_cast<uint8_t>(acc_));
        acc_ = 0;
        n_ = 0;
        return std::move(bytes_);
    }

private:
    std::vector<uint8_t> bytes_;
    uint64_t acc_ = 0;
    int n_ = 0;
};

// Scales symbol counts to frequencies summing to `states`, every used symbol keeping at least one.
std::vector<uint16_t> normalize(const std::vector<uint32_t> &counts, int states) {
    std::vector<uint16_t> freq(counts.size(), 0);
    uint64_t total = 0;
    for (uint32_t c : counts) total += c;
    if (total == 0) {
        freq[0] = static_cast<uint16_t>(states);   // an unused table must still cover every state
        return freq;
    }
    int sum = 0;
    for (size_t s = 0; s < counts.size(); ++s) {
        if (counts[s] == 0) continue;
        freq[s] = static_cast<uint16_t>(std::max<uint64_t>(1, (counts[s] * uint64_t(states) + total / 2) / total));
        sum += freq[s];
    }
    auto largest = [&] { return std::max_element(freq.begin(), freq.end()) - freq.begin(); };
    if (sum < states) freq[largest()] += static_cast<uint16_t>(states - sum);
    // Over by at most one per used symbol from the rounding and the minimum of one.
    for (; sum > states; --sum) --freq[largest()];
    return freq;
}

// The inverse of the decoder's table: given the state the decoder is to reach after a symbol,
// the bits to write and the state it must be in before it.
class FseEncoder {
public:
    explicit FseEncoder(const std::vector<uint16_t> &freq) : states_(0), symbols_(freq.size()) {
        for (uint16_t f : freq) states_ += f;
        int first = 0;
        for (size_t s = 0; s < freq.size(); ++s) {
            const int f = freq[s];
            Symbol &e = symbols_[s];
            e.first = first;
            e.freq = f;
            first += f;
            if (f == 0) continue;
            e.k = std::countl_zero(static_cast<uint32_t>(f)) - std::countl_zero(static_cast<uint32_t>(states_));
            e.wide = ((2 * states_) >> e.k) - f;
            e.threshold = (f << e.k) - states_;
        }
    }

    // Returns the bits to write (count in `bits`) and moves `state` back over `symbol`.
    uint32_t encode(uint32_t &state, int symbol, int &bits) const {
        const Symbol &e = symbols_[symbol];
        const int x = static_cast<int>(state);
        int j;
        uint32_t value;
        if (x >= e.threshold) {
            bits = e.k;
            j = ((x + states_) >> e.k) - e.freq;
            value = static_cast<uint32_t>(x + states_) & ((1u << e.k) - 1);
        } else {
            bits = e.k - 1;
            j = e.wide + (x >> bits);
            value = static_cast<uint32_t>(x) & ((1u << bits) - 1);
        }
        state = static_cast<uint32_t>(e.first + j);
        return value;
    }

private:
    struct Symbol {
        int first = 0, freq = 0, k = 0, wide = 0, threshold = 0;
    };
    int states_;
    std::vector<Symbol> symbols_;
};

// The v2 header's prefix code for one frequency, low bit first.
void putFrequency(BitWriter &w, uint32_t v) {
    if (v < 2) w.put(v << 1, 2);
    else if (v < 4) w.put(1 | ((v - 2) << 2), 3);
    else if (v < 8) w.put(3 | ((v - 4) << 3), 5);
    else if (v < 24) w.put(7 | ((v - 8) << 4), 8);
    else w.put(15 | ((v - 24) << 4), 14);
}

struct Triple {
    uint32_t l, m, d;   // d == 0: the previous distance again
};

class Encoder {
public:
    explicit Encoder(std::span<const uint8_t> data) : data_(data) {}

    std::vector<uint8_t> run() {
        const size_t n = data_.size();
        std::vector<uint32_t> head(size_t{1} << kHashBits, 0);   // position + 1 of the last sighting
        auto hash = [&](size_t p) {
            uint32_t v;
            std::memcpy(&v, data_.data() + p, 4);
            return (v * 2654435761u) >> (32 - kHashBits);
        };
        size_t pos = 0, pending = 0;
        while (pos + kMinMatch <= n) {
            const uint32_t h = hash(pos);
            const size_t seen = head[h];
            head[h] = static_cast<uint32_t>(pos + 1);
            if (seen == 0 || pos - (seen - 1) > kMaxD || std::memcmp(&data_[seen - 1], &data_[pos], kMinMatch) != 0) {
                ++pos;
                continue;
            }
            size_t from = seen - 1, len = kMinMatch;
            while (pos + len < n && data_[from + len] == data_[pos + len]) ++len;
            while (pos > pending && from > 0 && data_[pos - 1] == data_[from - 1]) --pos, --from, ++len;
            addRun(pending, pos - pending, len, static_cast<uint32_t>(pos - from));
            const size_t end = pos + len;
            for (size_t p = pos + 1; p < end && p + kMinMatch <= n; ++p) head[hash(p)] = static_cast<uint32_t>(p + 1);
            pos = pending = end;
        }
        addRun(pending, n - pending, 0, 0);
        flush();
        put32(out_, kMagicEnd);
        return std::move(out_);
    }

private:
    // Literals data[from, from + literals) then a match: split to the field limits of one triple.
    void addRun(size_t from, size_t literals, size_t match, uint32_t distance) {
        while (literals > kMaxL) {
            addTriple(from, kMaxL, 0, 0);
            from += kMaxL;
            literals -= kMaxL;
        }
        do {
            const uint32_t m = static_cast<uint32_t>(std::min<size_t>(match, kMaxM));
            addTriple(from, static_cast<uint32_t>(literals), m, distance);
            from += literals;
            literals = 0;
            match -= m;
        } while (match > 0);
    }

    void addTriple(size_t from, uint32_t l, uint32_t m, uint32_t distance) {
        if (l == 0 && m == 0) return;
        if (literals_.size() + l > kBlockLiterals || triples_.size() + 1 > kBlockMatches) flush();
        literals_.insert(literals_.end(), data_.begin() + from, data_.begin() + from + l);
        uint32_t d = 0;
        if (m > 0 && distance != previous_) d = previous_ = distance;
        triples_.push_back({l, m, d});
        raw_ += l + m;
    }

    void flush() {
        if (raw_ == 0) return;
        std::vector<uint8_t> block = compressedBlock();
        if (!block.empty() && block.size() < 8 + raw_) {
            out_.insert(out_.end(), block.begin(), block.end());
        } else {
            // LZVN rather than a stored block: 7-Zip refuses "bvx-" blocks in disk images.
            std::vector<uint8_t> payload = lzvnEncode(data_.subspan(blockStart_, raw_));
            put32(out_, kMagicLzvn);
            put32(out_, static_cast<uint32_t>(raw_));
            put32(out_, static_cast<uint32_t>(payload.size()));
            out_.insert(out_.end(), payload.begin(), payload.end());
        }
        blockStart_ += raw_;
        raw_ = 0;
        literals_.clear();
        triples_.clear();
        previous_ = 0;   // each block names its first distance, whatever a decoder carries over
    }

    // A decoder's first load takes a whole word, so a stream has at least 8 bytes; `lead` zero
    // bytes in front give a decoder that refills eagerly (a whole word before each group of symbols)
    // room to read past the last bits it needs: without them 7-Zip refuses short streams.
    static std::vector<uint8_t> finishStream(BitWriter &w, int &pad, size_t lead) {
        std::vector<uint8_t> bytes = w.finish(pad);
        bytes.insert(bytes.begin(), std::max(lead, 8 - std::min<size_t>(bytes.size(), 8)), 0);
        return bytes;
    }

    // Empty when the literals take less than a word: a decoder's first load needs 8 bytes of the
    // stream, and zeros in front of so short a stream are left over at its end, which 7-Zip refuses.
    std::vector<uint8_t> compressedBlock() {
        while (literals_.size() % 4) literals_.push_back(0);   // decoded four at a time
        std::vector<uint32_t> litCount(256, 0), lCount(20, 0), mCount(20, 0), dCount(64, 0);
        for (uint8_t c : literals_) ++litCount[c];
        for (const Triple &t : triples_) {
            ++lCount[symbolOf(kLBase, t.l)];
            ++mCount[symbolOf(kMBase, t.m)];
            ++dCount[symbolOf(kDBase, t.d)];
        }
        const auto litFreq = normalize(litCount, kLiteralStates), lFreq = normalize(lCount, kLStates),
                   mFreq = normalize(mCount, kMStates), dFreq = normalize(dCount, kDStates);

        // Both streams are written last symbol first, so the decoder meets them in order.
        const FseEncoder litCoder(litFreq);
        uint32_t litState[4] = {0, 0, 0, 0};
        BitWriter lw;
        for (size_t i = literals_.size(); i > 0; i -= 4) {
            for (int s = 3; s >= 0; --s) {
                int bits;
                const uint32_t v = litCoder.encode(litState[s], literals_[i - 4 + s], bits);
                lw.put(v, bits);
            }
        }
        int litPad;
        const std::vector<uint8_t> litBytes = lw.finish(litPad);
        if (litBytes.size() < 8) return {};

        const FseEncoder lCoder(lFreq), mCoder(mFreq), dCoder(dFreq);
        uint32_t lState = 0, mState = 0, dState = 0;
        BitWriter mw;
        auto putValue = [&](const FseEncoder &coder, uint32_t &state, const auto &base, const auto &extra,
                            uint32_t value) {
            const int symbol = symbolOf(base, value);
            int bits;
            const uint32_t stateBits = coder.encode(state, symbol, bits);
            mw.put((stateBits << extra[symbol]) | (value - base[symbol]), bits + extra[symbol]);
        };
        for (size_t i = triples_.size(); i > 0; --i) {
            const Triple &t = triples_[i - 1];
            putValue(dCoder, dState, kDBase, kDExtra, t.d);
            putValue(mCoder, mState, kMBase, kMExtra, t.m);
            putValue(lCoder, lState, kLBase, kLExtra, t.l);
        }
        int lmdPad;
        const std::vector<uint8_t> lmdBytes = finishStream(mw, lmdPad, 8);

        BitWriter tw;
        for (const auto *table : {&lFreq, &mFreq, &dFreq, &litFreq}) {
            for (uint16_t f : *table) putFrequency(tw, f);
        }
        int tablePad;
        const std::vector<uint8_t> tableBytes = tw.finish(tablePad);

        const uint64_t w0 = uint64_t{literals_.size()} | uint64_t{litBytes.size()} << 20 |
                            uint64_t{triples_.size()} << 40 | uint64_t(7 - litPad) << 60;
        const uint64_t w1 = uint64_t{litState[0]} | uint64_t{litState[1]} << 10 | uint64_t{litState[2]} << 20 |
                            uint64_t{litState[3]} << 30 | uint64_t{lmdBytes.size()} << 40 | uint64_t(7 - lmdPad) << 60;
        const uint64_t w2 = uint64_t{32 + tableBytes.size()} | uint64_t{lState} << 32 | uint64_t{mState} << 42 |
                            uint64_t{dState} << 52;
        std::vector<uint8_t> block;
        put32(block, kMagicV2);
        put32(block, static_cast<uint32_t>(raw_));
        put64(block, w0);
        put64(block, w1);
        put64(block, w2);
        for (const auto *part : {&tableBytes, &litBytes, &lmdBytes}) block.insert(block.end(), part->begin(), part->end());
        return block;
    }

    std::span<const uint8_t> data_;
    std::vector<uint8_t> out_;
    size_t blockStart_ = 0, raw_ = 0;
    uint32_t previous_ = 0;
    std::vector<uint8_t> literals_;
    std::vector<Triple> triples_;
};

}  // namespace

std::vector<uint8_t> lzfseEncode(std::span<const uint8_t> data) { return Encoder(data).run(); }
