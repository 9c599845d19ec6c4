// Helpers shared by the unit tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/output.h"
#include "hfsbuild/hfsbuild.h"
#include "tiny_tree.h"
#include "support.h"
#include "base/bits.h"
#include "volume/volume.h"

namespace unit {

using ByteVec = std::vector<uint8_t>;

inline Bytes view(const ByteVec &v) { return Bytes{v.data(), v.size()}; }
inline void le(ByteVec &v, size_t at, uint64_t x, int n = 4) {
    for (int i = 0; i < n; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
inline void be(ByteVec &v, size_t at, uint64_t x, int n = 4) {
    for (int i = 0; i < n; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * (n - 1 - i)));
}

// What f printed on stdout and stderr.
struct Printed { std::string out, err; };
template <typename F>
Printed capture(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    fflush(nullptr);
    return {testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

// An exactly sized copy of v, so ASan sees any read past its end.
struct Exact {
    std::unique_ptr<uint8_t[]> data;
    size_t size;
    explicit Exact(const ByteVec &v) : data(new uint8_t[v.size()]), size(v.size()) { std::copy(v.begin(), v.end(), data.get()); }
    Bytes view() const { return Bytes{data.get(), size}; }
};

// A bare HFS Plus volume header at byte `at` of `image`: signature, block size and count, no files.
inline void putHeader(ByteVec &image, size_t at, uint32_t blockSize, uint32_t totalBlocks = 0) {
    std::fill_n(image.begin() + static_cast<long>(at), kVolumeHeaderSize, 0);
    image[at] = 'H', image[at + 1] = '+';
    be(image, at + 40, blockSize), be(image, at + 44, totalBlocks);
}

// The volume at `offset` in `image`, written to the scratch file `name` (one per volume held open).
inline std::unique_ptr<Volume> openVolume(const ByteVec &image, const std::string &name, uint64_t offset = 0) {
    Messages messages;
    auto volume = Volume::open(std::make_unique<FileImage>(UniqueFd(open(writeScratch(name, image).c_str(), O_RDONLY))), offset, messages);
    messages.print();
    return volume;
}

// An empty volume, for code that wants one but reads nothing of it here. Opened without debug
// traces it says nothing, so that a test may first ask for it while capturing output.
inline const Volume &emptyVolume() {
    static std::unique_ptr<Volume> volume = [] {
        int debug = std::exchange(g_Debug, 0);
        auto opened = openVolume(hfsbuild::buildVolume({}), "empty.hfs");
        g_Debug = debug;
        return opened;
    }();
    return *volume;
}

inline std::optional<ByteVec> maybeBytes(const std::optional<std::string> &s) {
    return s ? std::optional(bytesOf(*s)) : std::nullopt;
}

// A catalog thread record: the key of `cnid`, the record type, then the parent and the name.
inline ByteVec threadRecord(uint32_t cnid, uint16_t type, uint32_t parent, const std::u16string &name) {
    ByteVec record = tiny::catalogKey(cnid, u""), counted = tiny::catalogKey(parent, name);
    tiny::append16(record, type), tiny::append16(record, 0);
    record.insert(record.end(), counted.begin() + 2, counted.end());
    return record;
}

}  // namespace unit
