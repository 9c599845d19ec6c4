// fs through the mount-table layer (a mounted HFS Plus volume is opened through its device), listfs,
// the status each handler gives the shell, Ctrl-C while a command runs, and the volume report.
#include <unistd.h>

#include <cstdlib>

#include "catalog/unicode.h"
#include "commands/listing.h"
#include "commands/commands.h"
#include "commands/mounts.h"
#include "commands/session.h"
#include "hfsbuild/containers.h"
#include "shell/complete.h"
#include "unit.h"
#include "base/time.h"

TEST(SetFS, MountTableEntries) {
    Session session;
    auto runFs = [&](const std::string &line) { return unit::capture([&] { doSetFS(session, line.c_str()); }).err; };
    hfsbuild::Volume v;
    v.label = "Mounted";
    std::string device = writeScratch("mounted.hfs", hfsbuild::buildVolume(v));
    setMountTablePath(writeScratch("mounts-fs", bytesOf("tmpfs /mnt/fake-other tmpfs rw 0 0\n" + device + " /mnt/fake-mac hfsplus ro 0 0\n")));
    g_Debug = 0;

    EXPECT_EQ(runFs("fs /mnt/fake-mac"), "");
    EXPECT_EQ(session.name, device);   // selected under the device's name
    ASSERT_TRUE(session.labelName());
    EXPECT_EQ(unit::capture([&] { printStoredName(stdout, Bytes{session.labelName(), kHFSUniStr255Size}, true); }).out, "Mounted");

    // Neither is a mounted HFS Plus volume: both fall back to opening the path (tests/transcripts/volume).
    EXPECT_TRUE(runFs("fs /mnt/fake-other").starts_with("This tool can only handle HFS+/HFSX file systems. /mnt/fake-other is formatted "
                                                        "as tmpfs\nUnable to find mount point or device /mnt/fake-other: "));
    EXPECT_TRUE(runFs("fs /mnt/fake-mac/").starts_with("Unable to find mount point or device /mnt/fake-mac/: "));   // no trailing-slash match
    EXPECT_EQ(session.name, device);                                      // failures keep the selection

    // A device path is probed, tried, then tried once more as a last resort.
    g_Debug = 1;
    EXPECT_EQ(runFs("fs /dev/null"),
              "Setting partition offset to 0x0\n/dev/null is a device file - trying a raw mount\nRead: returned 0 bytes\n"
              "Unable to find mount point or device /dev/null: Try 'listfs' first, or select a .dmg file\n"
              "opening /dev/null\nRead: returned 0 bytes\nUnable to find HFS Volume header on device /dev/null\n");
    g_Debug = 0;
    setMountTablePath("/proc/self/mounts");
}

TEST(SetFS, HandlersFailOnMisses) {
    hfsbuild::Volume v;
    v.nodes.push_back(hfsbuild::fileNode("/Users/notes.txt", "n"));
    v.nodes.push_back(hfsbuild::fileNode("/Users/retitle\x1b]0;x\x07", "n"));
    Session session;
    ASSERT_EQ(doSetFS(session, ("fs " + writeScratch("status.hfs", hfsbuild::buildVolume(v))).c_str()), 0);
    // A name with control characters is never offered: it cannot be typed, and would drive the terminal.
    EXPECT_EQ(completeLine(session, "ls /Users/").words, std::vector<std::string>{"/Users/notes.txt"});
    std::tuple<int (*)(Session &, const char *), const char *, bool> cases[] = {
        {doSetFS, "fs", false},          {doCatalog, "catalog", false},     {doDir, "ls /Users", false},
        {doDir, "ls -x", true},          {doDir, "ls nothing", true},       {doChdir, "cd Users", false},
        {doChdir, "cd notes.txt", true}, {doPull, "pull", true},            {doPull, "pull /Users", true},
        {doSearch, "search 2", false},   {doSearch, "search 99", true},     {doSearch, "search nothing", true},
        {doDump, "dump 1", false},       {doDump, "dump 99", true},         {doSetFS, "fs /nonexistent", true},
    };
    for (const auto &[handler, line, fails] : cases) {
        int status = 0;
        unit::capture([&, run = handler, text = line] { status = run(session, text); });
        EXPECT_EQ(status != 0, fails) << line << ": " << status;
    }
}

// Ctrl-C: the command stops, a pull leaves no half-written file, and an interrupted fs keeps the
// volume selected before it.
TEST(Interrupt, StopsCommandsAndKeepsTheSelectedVolume) {
    hfsbuild::Volume v;
    hfsbuild::Node packed = hfsbuild::fileNode("/stop-packed.bin", std::vector<uint8_t>(300000, 'p'));
    packed.compression = 4;
    v.nodes = {hfsbuild::fileNode("/stop-raw.bin", std::vector<uint8_t>(300000, 'r')), packed};
    std::vector<uint8_t> volume = hfsbuild::buildVolume(v);
    std::string image = writeScratch("interrupt.hfs", volume), dmg = writeScratch("interrupt.dmg", hfsbuild::buildUdif(volume));
    Session session;
    int status = -1;
    auto run = [&](int (*handler)(Session &, const char *), const std::string &line, bool interrupted) {
        g_Interrupted = interrupted;
        unit::Printed p = unit::capture([&] { status = handler(session, line.c_str()); });
        g_Interrupted = 0;
        return p;
    };
    run(doSetFS, "fs " + image, false);
    ASSERT_EQ(status, 0);
    const Volume *selected = session.volume.get();
    for (std::string name : {"stop-raw.bin", "stop-packed.bin"}) {   // copied raw; expanded by blocks
        unlink(("/tmp/" + name).c_str());
        run(doPull, "pull /" + name, true);
        EXPECT_NE(status, 0) << name;
        EXPECT_NE(access(("/tmp/" + name).c_str(), F_OK), 0) << name << " left behind";
    }
    EXPECT_EQ(run(doDir, "ls", true).out, "");
    EXPECT_EQ(run(doSetFS, "fs " + dmg, true).err.find("decompression done"), std::string::npos);
    EXPECT_NE(status, 0);
    EXPECT_EQ(session.volume.get(), selected);
    EXPECT_NE(run(doDir, "ls", false).out.find("stop-raw.bin"), std::string::npos);
}

TEST(VolumeReport, DatesAndDriveSizeLine) {
    setenv("TZ", "UTC", 1), tzset();
    std::pair<uint32_t, const char *> dates[] = {{0, "Fri Jan  1 00:00:00 1904"}, {2082844800u, "Thu Jan  1 00:00:00 1970"},
                                                 {0xFFFFFFFFu, "Mon Feb  6 06:28:15 2040"}};
    for (auto [date, text] : dates) EXPECT_EQ(HFSToCTime(date), text);
    std::tuple<uint32_t, uint32_t, const char *> cases[] = {   // total blocks, block size
        {262144, 4096, "1024.000000 MB"}, {524288, 4096, "2.000000 GB"},
        {16374, 4096, "63.960938 MB"},                                              // once rounded down to 60
        {0x40000000, 4096, "4096.000000 GB"}, {0xFFFFFFFF, 65536, "262143.999939 GB"},   // products past 32 bits
    };
    for (auto [totalBlocks, blockSize, size] : cases) {
        unit::ByteVec image(8192, 0);
        unit::putHeader(image, 1024, blockSize, totalBlocks);
        Session session;
        unit::capture([&] { session.volume = unit::openVolume(image, "drive.img"); });
        ASSERT_TRUE(session.volume);
        std::string err = unit::capture([&] { doVolInfo(session, "volinfo"); }).err;
        EXPECT_EQ(err.substr(0, err.find('\n') + 1), "This is a drive of " + std::string(size) + " \n");
    }
}

TEST(Mounts, ListfsShowsOnlyHFSMounts) {
    setMountTablePath(writeScratch("mounts", bytesOf("/dev/sda1 / ext4 rw,relatime 0 0\n"
                                                         "/dev/sdb2 /mnt/mac\\040disk hfsplus ro,nosuid,nodev 0 0\n"
                                                         "hfsfuse /media/user/Data fuse.hfsfuse ro,user_id=1000,group_id=1000 0 0\n"
                                                         "/dev/loop3 /mnt/old hfs rw 0 0\n")));
    Session session;
    EXPECT_EQ(unit::capture([&] { doListFS(session, "listfs"); }).err,
              "/mnt/mac disk                 \t/dev/sdb2   \t hfsplus\t1019 (nosuid,ro,local,nodev)\n"
              "/mnt/old                      \t/dev/loop3  \t hfs\t1000 (local)\n");
    auto mounts = listMounts();
    ASSERT_EQ(mounts.size(), 4u);
    EXPECT_EQ(mounts[2].owner, 1000u);
    setMountTablePath("/proc/self/mounts");
}
