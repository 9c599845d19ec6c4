#include "codecs/adc.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kPlain = 1, kTwoByte = 2, kThreeByte = 3;

int codeLength(int type, int firstByte) {
    return type == kPlain ? 1 + adc_chunk_size(firstByte) : type == kTwoByte ? 2 : 3;
}

// Most runs are short: they move as whole 16-byte blocks, which compile to a few wide moves instead
// of a call, when both sides have room for the last block's overshoot. The bytes written past the
// run are rewritten by the next code; those read past it are not used.
constexpr int kBlock = 16;

int blocksOf(int length) { return (length + kBlock - 1) / kBlock * kBlock; }

void copyBlocks(uint8_t *to, const uint8_t *from, int length) {
    for (int done = 0; done < length; done += kBlock) memcpy(to + done, from + done, kBlock);
}

}  // namespace

int adc_chunk_type(int firstByte) {
    if (firstByte & 0x80) return kPlain;
    return firstByte & 0x40 ? kThreeByte : kTwoByte;
}

int adc_chunk_size(int firstByte) {
    switch (adc_chunk_type(firstByte)) {
    case kPlain: return (firstByte & 0x7F) + 1;
    case kTwoByte: return ((firstByte & 0x3F) >> 2) + 3;
    default: return (firstByte & 0x3F) + 4;
    }
}

int adc_chunk_offset(const uint8_t *code, int available) {
    int type = adc_chunk_type(static_cast<int8_t>(code[0]));
    if (type == kTwoByte && available >= 2) return ((code[0] & 0x03) << 8) + code[1];
    if (type == kThreeByte && available >= 3) return (code[1] << 8) + code[2];
    return 0;
}

int adc_decompress(int inputSize, const uint8_t *input, int capacity, uint8_t *output, int *produced) {
    int in = 0, out = 0;
    while (in < inputSize) {
        int first = static_cast<int8_t>(input[in]);
        int type = adc_chunk_type(first), length = adc_chunk_size(first);
        int available = inputSize - in;
        if (codeLength(type, first) > available) break;   // the code runs past the input
        if (out + length > capacity) break;
        uint8_t *to = output + out;
        bool roomForBlocks = out + blocksOf(length) <= capacity;
        if (type == kPlain) {
            if (roomForBlocks && 1 + blocksOf(length) <= available)
                copyBlocks(to, input + in + 1, length);
            else
                memcpy(to, input + in + 1, static_cast<size_t>(length));
        } else {
            int distance = adc_chunk_offset(input + in, available) + 1;
            if (distance > out) break;   // would reach before the output's start
            if (roomForBlocks && distance >= kBlock) {
                copyBlocks(to, to - distance, length);   // each block reads only bytes already final
            } else if (distance == 1) {
                memset(to, to[-1], static_cast<size_t>(length));
            } else {
                // A reference shorter than its distance is one copy; a longer one repeats the last
                // `distance` bytes, so copy whole periods, each step from as far back as is written.
                for (int done = 0; done < length;) {
                    int period = (done + distance) / distance * distance;
                    int step = std::min(length - done, period);
                    memcpy(to + done, to + done - period, static_cast<size_t>(step));
                    done += step;
                }
            }
        }
        out += length;
        in += codeLength(type, first);
    }
    *produced = out;
    return in;
}
