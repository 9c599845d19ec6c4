// A volume on a real block device (a loop device over a builder image), opened by its /dev path.
#include <gtest/gtest.h>

#include "hfsbuild/hfsbuild.h"
#include "support.h"

TEST(Device, LoopDeviceOpensByItsPath) {
    if (!haveTool("losetup")) GTEST_SKIP() << "losetup is not installed";
    hfsbuild::Volume v;
    v.label = "OnDevice";
    std::string image = writeScratch("device.hfs", hfsbuild::buildVolume(v));
    RunResult attach = runCommand({"losetup", "--find", "--show", "--read-only", image});
    if (attach.status != 0) GTEST_SKIP() << "cannot attach a loop device here: " << attach.err;
    std::string device = attach.out.substr(0, attach.out.find('\n'));

    RunResult r = runTarnwick({}, "color\nfs " + device + "\nfs\n");
    runCommand({"losetup", "--detach", device});
    EXPECT_EQ(r.err, "\033[1;1mTarnwick> \033[0;0mColor is off\nTarnwick> Tarnwick(OnDevice:/)> "
                     "Default file system set to " + device + ", Volume label is OnDevice\n"
                     "Tarnwick(OnDevice:/)> Exiting\n");
}
