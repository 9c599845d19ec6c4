// Hostile images: each a builder volume with a targeted forgery, run confined (a small private /tmp,
// time and memory limits). Each must end with a clear message and status, leaving nothing behind.
#include <gtest/gtest.h>

#include <functional>

#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"
#include "support.h"

namespace {

using ByteVec = std::vector<uint8_t>;
using namespace hfsbuild;

constexpr size_t kHeader = 1024, kAllocationFork = kHeader + 112;

// A volume of 512-byte blocks with enough bytes for the forgeries to point into.
ByteVec plainVolume() {
    Volume v;
    v.blockSize = 512;
    v.nodes.push_back(fileNode("/filler.bin", randomBytes(96 << 10, 7)));
    return buildVolume(v);
}

// The allocation file made 64 KiB of the volume's bytes, the volume 2^19 blocks: its picture
// alone is more than the 1 MiB /tmp holds.
ByteVec hugeBitmap() {
    ByteVec image = plainVolume();
    putBE32(image, kHeader + 44, 1u << 19);
    putBE32(image, kAllocationFork + 4, 65536);           // logical size, low word
    putBE32(image, kAllocationFork + 12, 65536 / 512);    // total blocks
    putBE32(image, kAllocationFork + 16, 1);              // one extent from block 1
    putBE32(image, kAllocationFork + 20, 65536 / 512);
    return image;
}

// A 2 MiB attribute value, more than the 1 MiB /tmp holds.
ByteVec bigAttribute() {
    Volume v;
    Node file = fileNode("/f", "x");
    file.attributes.push_back({"big", randomBytes(2 << 20, 8), true});
    v.nodes.push_back(file);
    return buildVolume(v);
}

// A partition whose name would retitle the terminal.
ByteVec titledPartition() {
    hfsbuild::UdifOptions o;
    o.partitions.push_back({"evil\x1b]0;owned\x07", 8});
    return hfsbuild::buildUdif(ByteVec(8 * 512, 'x'), o);
}

struct Row {
    const char *name;
    std::function<ByteVec()> image;
    const char *command, *said;
    int status;
};

TEST(Hostile, BoundedAndSaid) {
    const Row rows[] = {
        {"bitmap", hugeBitmap, "alloc", "write: /tmp/allocation.html: No space left on device: removed\n", 1},
        {"attribute", bigAttribute, "xattr /f big", "write: /tmp/f.big: No space left on device after ", 1},
        {"partition name", titledPartition, "version", "(partitions: evil\\x1b]0;owned\\x07)\n", 1},
    };
    for (const Row &row : rows) {
        RunResult r = runConfined(writeScratch(std::string("hostile-") + row.name, row.image()), row.command);
        if (r.status == 77) GTEST_SKIP() << r.err;
        EXPECT_EQ(r.status, row.status) << row.name << "\n" << r.err;
        EXPECT_NE(r.err.find(row.said), std::string::npos) << row.name << "\n" << r.err;
        EXPECT_TRUE(r.out.ends_with("left:\n")) << row.name << ": " << r.out.substr(r.out.rfind("left:"));
    }
}

}  // namespace
