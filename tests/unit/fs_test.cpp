// fs through the mount-table layer: a mounted HFS Plus volume is opened through its device.
#include <gtest/gtest.h>

#include "base/output.h"
#include "btree/btree.h"
#include "btree/dump.h"
#include "btree/record_dump.h"
#include "catalog/ls.h"
#include "catalog/path.h"
#include "catalog/pull.h"
#include "catalog/unicode.h"
#include "hfsbuild/hfsbuild.h"
#include "shell/fs.h"
#include "shell/mounts.h"
#include "support.h"
#include "volume/volume.h"

namespace {

std::string labelText() {
    const uint8_t *label = getFSLabel();
    if (!label) return "";
    char *text = nullptr;
    size_t length = 0;
    FILE *stream = open_memstream(&text, &length);
    dumpUnicode(stream, Bytes{label, kHFSUniStr255Size}, 1);
    fclose(stream);
    std::string result(text, length);
    free(text);
    return result;
}

std::string runFs(const std::string &line) {
    testing::internal::CaptureStderr();
    doSetFS(line.c_str());
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(SetFS, MountTableEntries) {
    hfsbuild::Volume v;
    v.label = "Mounted";
    std::string device = writeScratch("mounted.hfs", hfsbuild::buildVolume(v));
    std::string table = "tmpfs /mnt/fake-other tmpfs rw 0 0\n" + device + " /mnt/fake-mac hfsplus ro 0 0\n";
    setMountTablePath(writeScratch("mounts-fs", std::vector<uint8_t>(table.begin(), table.end())));
    g_Debug = 0;

    EXPECT_EQ(runFs("fs /mnt/fake-mac"), "");
    EXPECT_STREQ(getActiveFSName(), device.c_str());   // selected under the device's name
    EXPECT_EQ(labelText(), "Mounted");

    auto lastResort = [](const std::string &path) {
        return "Unable to find mount point or device " + path +
               ": Try 'listfs' first, or select a .dmg file\nopening " + path +
               "\nError opening HFS+ Partition (Device: " + path +
               ") - Path does not exist.\nDid you get the device right?\n\n";
    };
    EXPECT_EQ(runFs("fs /mnt/fake-other"),
              "This tool can only handle HFS+/HFSX file systems. /mnt/fake-other is formatted as tmpfs\n" +
                  lastResort("/mnt/fake-other"));
    EXPECT_EQ(runFs("fs /mnt/fake-mac/"), lastResort("/mnt/fake-mac/"));   // no trailing-slash match
    EXPECT_STREQ(getActiveFSName(), device.c_str());                      // failures keep the selection

    // A device path is probed, tried, then tried once more as a last resort.
    g_Debug = 1;
    EXPECT_EQ(runFs("fs /dev/null"),
              "Setting partition offset to 0x0\n/dev/null is a device file - trying a raw mount\n"
              "Read: returned 0 bytes\n"
              "Unable to find mount point or device /dev/null: Try 'listfs' first, or select a .dmg file\n"
              "opening /dev/null\nRead: returned 0 bytes\nUnable to find HFS Volume header on device /dev/null\n");
    g_Debug = 0;
    setMountTablePath("/proc/self/mounts");
}

TEST(SetFS, RawDeviceNames) {
    struct Case {
        const char *path, *opened;
    } cases[] = {
#ifdef __APPLE__
        {"/dev/disk3s2", "/dev/rdisk3s2"},
#else   // disks have no raw twins named so elsewhere
        {"/dev/disk3s2", "/dev/disk3s2"},
        {"/dev/disk/by-id/usb-Stick-0:0-part2", "/dev/disk/by-id/usb-Stick-0:0-part2"},
#endif
        {"/dev/rdisk3s2", "/dev/rdisk3s2"},
        {"/tmp/image.hfs", "/tmp/image.hfs"},
        {"/dev/sdb2", "/dev/sdb2"},
    };
    for (const Case &c : cases) EXPECT_EQ(getRawDevice(c.path), c.opened);
}

// The status a handler gives the shell: 0 done, anything else a failure.
TEST(SetFS, HandlersFailOnMisses) {
    hfsbuild::Volume v;
    v.label = "Status";
    v.nodes.push_back(hfsbuild::fileNode("/Users/notes.txt", "n"));
    ASSERT_EQ(doSetFS(("fs " + writeScratch("status.hfs", hfsbuild::buildVolume(v))).c_str()), 0);
    struct Case {
        int (*handler)(const char *);
        const char *line;
        bool fails;
    } cases[] = {
        {doSetFS, "fs", false},          {doCatalog, "catalog", false},     {doDir, "ls /Users", false},
        {doDir, "ls -x", true},          {doDir, "ls nothing", true},       {doChdir, "cd Users", false},
        {doChdir, "cd notes.txt", true}, {doPull, "pull", true},            {doPull, "pull /Users", true},
        {doSearch, "search 2", false},   {doSearch, "search 99", true},     {doSearch, "search nothing", true},
        {doDump, "dump 1", false},       {doDump, "dump 99", true},         {doSetFS, "fs /nonexistent", true},
    };
    for (const Case &c : cases) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = c.handler(c.line);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(status != 0, c.fails) << c.line << ": " << status;
    }
}
