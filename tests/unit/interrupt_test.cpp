// Ctrl-C while a command runs: the command stops, and a pull leaves no half-written file.
#include <gtest/gtest.h>
#include <unistd.h>

#include "catalog/ls.h"
#include "catalog/pull.h"
#include "hfsbuild/hfsbuild.h"
#include "shell/a.h"
#include "shell/fs.h"
#include "support.h"

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
