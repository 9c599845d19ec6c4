// Encoders for the image builder: simple, correct streams for tests and seeds, not small ones.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// One LZVN stream, ended by the end-of-stream opcode.
std::vector<uint8_t> lzvnEncode(std::span<const uint8_t> data);
// One LZFSE stream, ended by "bvx$".
std::vector<uint8_t> lzfseEncode(std::span<const uint8_t> data);
