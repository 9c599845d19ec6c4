// Ctrl-C while a command runs: the command stops, and a pull leaves no half-written file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "catalog/ls.h"
#include "catalog/pull.h"
#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"
#include "shell/a.h"
#include "shell/fs.h"
#include "support.h"
#include "volume/volume.h"

TEST(Interrupt, StopsPullsAndListings) {
    hfsbuild::Volume v;
    hfsbuild::Node raw = hfsbuild::fileNode("/stop-raw.bin", std::vector<uint8_t>(300000, 'r'));
    hfsbuild::Node packed = hfsbuild::fileNode("/stop-packed.bin", std::vector<uint8_t>(300000, 'p'));
    packed.compression = 4;
    v.nodes = {raw, packed};
    std::string image = writeScratch("interrupt.hfs", hfsbuild::buildVolume(v));
    testing::internal::CaptureStderr();
    ASSERT_EQ(doSetFS(("fs " + image).c_str()), 0);
    for (const char *path : {"/stop-raw.bin", "/stop-packed.bin"}) {   // copied raw; expanded by blocks
        std::string name = std::string(path).substr(std::string(path).rfind('/'));
        unlink(("/tmp" + name).c_str());
        g_Interrupted = 1;
        EXPECT_NE(doPull((std::string("pull ") + path).c_str()), 0) << path;
        g_Interrupted = 0;
        EXPECT_NE(access(("/tmp" + name).c_str(), F_OK), 0) << path << " left behind";
    }
    testing::internal::CaptureStdout();
    g_Interrupted = 1;
    doDir("ls");
    g_Interrupted = 0;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    testing::internal::GetCapturedStderr();
}

TEST(Interrupt, StopsAnExpansionAndKeepsTheSelectedVolume) {
    hfsbuild::Volume v;
    v.nodes = {hfsbuild::fileNode("/kept.txt", "kept")};
    std::string image = writeScratch("interrupt-kept.hfs", hfsbuild::buildVolume(v));
    std::string dmg = writeScratch("interrupt.dmg", hfsbuild::buildUdif(hfsbuild::buildVolume(v)));
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ASSERT_EQ(doSetFS(("fs " + image).c_str()), 0);
    int selected = getActiveFS();
    g_Interrupted = 1;
    EXPECT_NE(doSetFS(("fs " + dmg).c_str()), 0);
    g_Interrupted = 0;
    EXPECT_EQ(getActiveFS(), selected);
    doDir("ls");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("kept.txt"), std::string::npos);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("decompression done"), std::string::npos);
}
