// readFork over a scratch image whose block k is filled with the byte k.
#include <fcntl.h>

#include "support.h"
#include "unit.h"
#include "volume/fork.h"
#include "volume/volume.h"

using namespace unit;

namespace {

constexpr uint32_t kBlock = 512;

ByteVec forkData(uint32_t totalBlocks, std::vector<std::pair<uint32_t, uint32_t>> extents) {
    ByteVec fork(80, 0);
    be(fork, 12, totalBlocks);
    for (size_t i = 0; i < extents.size(); ++i) be(fork, 16 + 8 * i, extents[i].first), be(fork, 20 + 8 * i, extents[i].second);
    return fork;
}

ByteVec blocks(std::vector<int> which) {
    ByteVec out;
    for (int b : which) out.insert(out.end(), kBlock, static_cast<uint8_t>(b));
    return out;
}

}  // namespace

TEST(ReadFork, WalksExtentsAndReportsDamage) {
    std::vector<int> all(32);
    for (int k = 0; k < 32; ++k) all[k] = k;
    UniqueFd fd(open(writeScratch("fork.img", blocks(all)).c_str(), O_RDONLY));
    uint8_t header[kVolumeHeaderSize] = {};
    header[42] = kBlock >> 8;   // block size 512 at offset 40
    const std::string mismatch = " - should match, but don't\n";
    struct Case {
        ByteVec fork;
        uint64_t partitionOffset;
        std::optional<ByteVec> data;
        std::string out, err;
        uint64_t count;
    } cases[] = {
        {forkData(2, {{2, 2}}), 0, blocks({2, 3}), "", "", 1024},
        {forkData(4, {{2, 1}, {5, 1}, {8, 2}}), 0, blocks({2, 5, 8, 9}), "", "", 2048},
        {forkData(10, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}}), 0, blocks({1, 2, 3, 4, 5, 6, 7, 8, 0, 0}),
         "", "Warning: Blocks read: 8.. Total Blocks: 10" + mismatch, 4096},
        {forkData(0, {{4, 1}}), 0, ByteVec{}, "", "", 0},
        {forkData(3, {{4, 1}, {0, 2}}), 0, blocks({4, 0, 0}), "**ODD**\n", "Warning: Blocks read: 1.. Total Blocks: 3" + mismatch, 512},
        {forkData(2, {{3, 5}}), 0, blocks({3, 4}), "",
         "Extent 0 runs past the fork's 2 blocks: cut at the end of the fork\nWarning: Blocks read: 5.. Total Blocks: 2" + mismatch, 1024},
        {forkData(1, {{1, 1}}), 4 * kBlock, blocks({5}), "", "", 512},
        // An extent one block past the end of the image leaves a mark; only whole extents count.
        {forkData(3, {{30, 3}}), 0, join({{'?', 0, 30}, ByteVec(3 * kBlock - 3, 0)}), "",
         "Read error - Only read 1024 bytes instead of 1536 bytes from Position 0x4000 \n", 0},
        {forkData(0xFFFFFFFF, {{1, 0xFFFFFFFF}}), 0, std::nullopt, "",
         "Fork of 4294967295 blocks of 512 bytes is larger than the image (16384 bytes): not read\n", 12345},
    };
    for (const Case &c : cases) {
        uint64_t count = 12345;
        std::optional<ByteVec> data;
        Printed p = capture([&] { data = readFork(view(c.fork), header, fd.get(), c.partitionOffset, &count); });
        EXPECT_EQ(p.out, c.out) << c.err;
        EXPECT_EQ(p.err, c.err);
        EXPECT_EQ(count, c.count) << c.err;
        if (data && c.data && data->size() == c.data->size() && !data->empty() && (*c.data)[0] == '?') {
            EXPECT_EQ(ByteVec(data->begin(), data->begin() + 3), ByteVec(c.data->begin(), c.data->begin() + 3));
        } else {
            EXPECT_EQ(data, c.data) << c.err;
        }
    }
}
