// Helpers shared by the unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "volume/bits.h"

namespace unit {

using ByteVec = std::vector<uint8_t>;

inline Bytes view(const ByteVec &v) { return Bytes{v.data(), v.size()}; }
inline ByteVec bytes(const std::string &s) { return ByteVec(s.begin(), s.end()); }
inline ByteVec join(std::initializer_list<ByteVec> parts) {
    ByteVec all;
    for (const ByteVec &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
inline void le(ByteVec &v, size_t at, uint64_t x, int n = 4) {
    for (int i = 0; i < n; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
inline void be(ByteVec &v, size_t at, uint64_t x, int n = 4) {
    for (int i = 0; i < n; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * (n - 1 - i)));
}

struct Printed {
    std::string out, err;
};
// Runs f with stdout and stderr captured.
template <typename F>
Printed capture(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    fflush(nullptr);
    return {testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

}  // namespace unit
