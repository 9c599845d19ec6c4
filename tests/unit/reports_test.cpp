// Text builders of the volume report, dates, mount flags and the mount-table layer.
#include <gtest/gtest.h>

#include <cstdlib>

#include "shell/fs.h"
#include "shell/mounts.h"
#include "support.h"
#include "volume/debug.h"
#include "volume/time.h"
#include "volume/volume.h"

TEST(Time, HFSDatesIncludingThoseBefore1970) {
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(HFSToCTime(0), "Fri Jan  1 00:00:00 1904");
    EXPECT_EQ(HFSToCTime(2082844800u), "Thu Jan  1 00:00:00 1970");
    EXPECT_EQ(HFSToCTime(3061152000u), "Mon Jan  1 00:00:00 2001");
    EXPECT_EQ(HFSToCTime(0xFFFFFFFFu), "Mon Feb  6 06:28:15 2040");
}

TEST(VolumeReport, AttributeNames) {
    EXPECT_EQ(dumpVolumeAttributes(0), "");
    EXPECT_EQ(dumpVolumeAttributes(0x2100 | 0x4), "was last cleanly unmounted,journaled,");
    EXPECT_EQ(dumpVolumeAttributes(0xFFFFFFFF),
              "was last cleanly unmounted,inconsistent or in-use,journaled,hw lock bit,content protection");
}

TEST(VolumeReport, DriveSizeLine) {
    struct Case {
        uint32_t totalBlocks, blockSize;
        const char *line;
    } cases[] = {
        {262144, 4096, "This is a drive of 1024.000000 MB \n"},
        {524288, 4096, "This is a drive of 2.000000 GB \n"},
        {1023, 4096, "This is a drive of 3.996094 MB \n"},
        {1024, 4096, "This is a drive of 4.000000 MB \n"},
        {16374, 4096, "This is a drive of 63.960938 MB \n"},   // once rounded down to 60
        {0x40000000, 4096, "This is a drive of 4096.000000 GB \n"},   // 4 TiB: needs 64 bits
        {0xFFFFFFFF, 65536, "This is a drive of 262143.999939 GB \n"},
    };
    for (const Case &c : cases) {
        uint8_t vh[kVolumeHeaderSize] = {'H', '+'};
        for (int i = 0; i < 4; ++i) {
            vh[44 + i] = static_cast<uint8_t>(c.totalBlocks >> (24 - 8 * i));
            vh[40 + i] = static_cast<uint8_t>(c.blockSize >> (24 - 8 * i));
        }
        testing::internal::CaptureStderr();
        dumpVolumeHeader(vh);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.substr(0, err.find('\n') + 1), c.line);
    }
}

TEST(Mounts, FlagTextAndLinuxOptions) {
    EXPECT_EQ(flagsToText(0x00001001), "ro,local");
    EXPECT_EQ(flagsToText(0), "");
    EXPECT_EQ(flagsToText(0x10000000 | 0x4 | 0x80000000), "noexec,noatime");
    EXPECT_EQ(mountFlagsFromOptions("ro,nosuid,nodev,noexec,relatime", "/dev/sdb2", "/mnt/mac"), 0x101Du);
    EXPECT_EQ(mountFlagsFromOptions("rw,noatime", "tmpfs", "/"), 0x10004000u);
    EXPECT_EQ(mountFlagsFromOptions("rw,rofoo", "none", "/x"), 0u);
}

TEST(Mounts, ListfsShowsOnlyHFSMounts) {
    std::string table = writeScratch("mounts",
        [] {
            std::string t = "/dev/sda1 / ext4 rw,relatime 0 0\n"
                            "/dev/sdb2 /mnt/mac\\040disk hfsplus ro,nosuid,nodev 0 0\n"
                            "hfsfuse /media/user/Data fuse.hfsfuse ro,user_id=1000,group_id=1000 0 0\n"
                            "/dev/loop3 /mnt/old hfs rw 0 0\n";
            return std::vector<uint8_t>(t.begin(), t.end());
        }());
    setMountTablePath(table);
    testing::internal::CaptureStderr();
    doListFS("listfs");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "/mnt/mac disk                 \t/dev/sdb2   \t hfsplus\t1019 (nosuid,ro,local,nodev)\n"
              "/mnt/old                      \t/dev/loop3  \t hfs\t1000 (local)\n");
    auto mounts = listMounts();
    ASSERT_EQ(mounts.size(), 4u);
    EXPECT_EQ(mounts[2].owner, 1000u);
    setMountTablePath("/proc/self/mounts");
}
