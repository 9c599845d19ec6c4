// readFork over a scratch image whose block k is filled with the byte k.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "support.h"
#include "volume/fork.h"
#include "volume/volume.h"

namespace {

constexpr uint32_t kBlock = 512, kBlocks = 32;

struct Extent {
    uint32_t start, count;
};

std::vector<uint8_t> forkData(uint32_t totalBlocks, std::vector<Extent> extents) {
    std::vector<uint8_t> fork(80, 0);
    auto put32 = [&](size_t off, uint32_t v) {
        for (int i = 0; i < 4; ++i) fork[off + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    put32(12, totalBlocks);
    for (size_t i = 0; i < extents.size(); ++i) put32(16 + 8 * i, extents[i].start), put32(20 + 8 * i, extents[i].count);
    return fork;
}

std::vector<uint8_t> blocks(std::vector<int> which) {
    std::vector<uint8_t> out;
    for (int b : which) out.insert(out.end(), kBlock, static_cast<uint8_t>(b));
    return out;
}

struct ForkImage : testing::Test {
    int fd = -1;
    uint8_t header[kVolumeHeaderSize] = {};
    void SetUp() override {
        std::vector<uint8_t> image;
        for (uint32_t k = 0; k < kBlocks; ++k) image.insert(image.end(), kBlock, static_cast<uint8_t>(k));
        fd = open(writeScratch("fork.img", image).c_str(), O_RDONLY);
        header[42] = kBlock >> 8;   // block size 512 at offset 40
    }
    void TearDown() override { close(fd); }
};

}  // namespace

TEST_F(ForkImage, WalksExtentsAndReportsDamage) {
    struct Case {
        const char *what;
        std::vector<uint8_t> fork;
        uint64_t partitionOffset;
        std::vector<uint8_t> data;
        std::string out, err;
    } cases[] = {
        {"contiguous", forkData(2, {{2, 2}}), 0, blocks({2, 3}), "", ""},
        {"three extents back to back", forkData(4, {{2, 1}, {5, 1}, {8, 2}}), 0, blocks({2, 5, 8, 9}), "", ""},
        {"eight extents short of the total",
         forkData(10, {{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}}), 0,
         blocks({1, 2, 3, 4, 5, 6, 7, 8, 0, 0}), "",
         "Warning: Blocks read: 8.. Total Blocks: 10 - should match, but don't\n"},
        {"empty fork", forkData(0, {{4, 1}}), 0, {}, "", ""},
        {"second extent at block 0", forkData(3, {{4, 1}, {0, 2}}), 0, blocks({4, 0, 0}), "**ODD**\n",
         "Warning: Blocks read: 1.. Total Blocks: 3 - should match, but don't\n"},
        {"extents past the total are cut", forkData(2, {{3, 5}}), 0, blocks({3, 4}), "",
         "Extent 0 runs past the fork's 2 blocks: cut at the end of the fork\n"
         "Warning: Blocks read: 5.. Total Blocks: 2 - should match, but don't\n"},
        {"partition offset", forkData(1, {{1, 1}}), 4 * kBlock, blocks({5}), "", ""},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        uint64_t count = 12345;
        auto data = readFork(Bytes{c.fork.data(), c.fork.size()}, header, fd, c.partitionOffset, &count);
        fflush(nullptr);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.what;
        ASSERT_TRUE(data) << c.what;
        EXPECT_EQ(*data, c.data) << c.what;
    }
}

TEST_F(ForkImage, TruncatedExtentLeavesAMarkAndCountsOnlyWholeExtents) {
    std::vector<uint8_t> fork = forkData(3, {{30, 3}});   // runs one block past the end of the image
    testing::internal::CaptureStderr();
    uint64_t count = 12345;
    auto data = readFork(Bytes{fork.data(), fork.size()}, header, fd, 0, &count);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Read error - Only read 1024 bytes instead of 1536 bytes from Position 0x4000 \n");
    ASSERT_TRUE(data);
    EXPECT_EQ((*data)[0], '?');
    EXPECT_EQ((*data)[1], 0);
    EXPECT_EQ((*data)[2], 30);
    EXPECT_EQ(count, 0u);
}

TEST_F(ForkImage, ForkLargerThanTheImageIsRefused) {
    std::vector<uint8_t> fork = forkData(0xFFFFFFFF, {{1, 0xFFFFFFFF}});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(readFork(Bytes{fork.data(), fork.size()}, header, fd, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Fork of 4294967295 blocks of 512 bytes is larger than the image (16384 bytes): not read\n");
}
