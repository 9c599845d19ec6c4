// ADC, the byte-oriented LZ compression of UDIF chunks of type 0x80000004.
#pragma once

#include <cstdint>

int adc_chunk_type(int firstByte);
int adc_chunk_size(int firstByte);
// The code's reference offset; `available` bytes of code are readable at `code`.
int adc_chunk_offset(const uint8_t *code, int available);
// Expands at most `inputSize` bytes of codes into at most `capacity` bytes of output. Stops at a
// code that would overrun the output, runs past the input, or reaches before the output's start.
// Returns the input bytes consumed; *produced receives the output bytes. Bytes past those, within
// `capacity`, may be overwritten.
int adc_decompress(int inputSize, const uint8_t *input, int capacity, uint8_t *output, int *produced);
