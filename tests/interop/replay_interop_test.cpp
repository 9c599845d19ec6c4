// The replayed view against The Sleuth Kit reading the volume the replay must give, and the
// journals Mac OS X left on a real volume.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "hfsbuild/pending.h"
#include "interop.h"
#include "volume/journal.h"

namespace {

std::set<std::string> bodyLines(const std::string &text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find('|') != std::string::npos && !line.starts_with("0|/$")) lines.insert(line);
    return lines;
}

}  // namespace

// find / -m after replay lists what fls -m lists on the replayed volume, and differs from the
// volume as written in place.
TEST(ReplayTsk, FindBodyMatchesFlsOnTheReplayedVolume) {
    if (!haveTool("fls")) GTEST_SKIP() << "The Sleuth Kit is not installed";
    for (const std::string &name : hfsbuild::pendingJournalNames()) {
        hfsbuild::PendingJournal pending = hfsbuild::pendingJournal(name);
        std::string before = writeScratch("pending-" + name + ".hfs", pending.before),
                    after = writeScratch("replayed-" + name + ".hfs", pending.after);
        std::set<std::string> theirs = bodyLines(tool({"fls", "-m", "/", "-r", after}).out);
        EXPECT_EQ(bodyLines(runTarnwick({"-c", "replay; find / -m", before}, "").out), theirs) << name;
        EXPECT_NE(bodyLines(tool({"fls", "-m", "/", "-r", before}).out), theirs) << name;
    }
}

// Mac OS X empties its journal at unmount, so nothing waits. Its ring still holds the last three
// transactions it wrote, each long in place: with the header's start set back to the first, they
// replay (every list and block checksum as Mac OS X summed it) to the volume as it is, and the
// header the replay empties is the one Mac OS X wrote.
TEST(ReplayCorpus, MacOsJournalReplaysToTheVolumeAsItIs) {
    const TestImage &img = testImage("HfsxJournaled");
    if (img.path.empty()) GTEST_SKIP() << img.why;
    RunResult clean = runTarnwick({"-c", "journal", img.path}, "");
    EXPECT_TRUE(clean.out.ends_with("No transaction waits to be replayed\n")) << clean.out;
    EXPECT_EQ(runTarnwick({"-c", "replay", img.path}, "").out, "No transaction waits to be replayed\n");

    Bytes volume = readWholeFile(img.path);
    constexpr size_t kJournal = 12288, kFirstList = 512;   // as its info block says
    ASSERT_GT(volume.size(), kJournal + 48);
    for (int i = 0; i < 8; ++i) volume[kJournal + 8 + i] = static_cast<uint8_t>(kFirstList >> (8 * i));   // start, little-endian
    std::fill_n(volume.begin() + kJournal + 36, 4, 0);
    uint32_t sum = journalChecksum(volume.data() + kJournal, 44);
    for (int i = 0; i < 4; ++i) volume[kJournal + 36 + i] = static_cast<uint8_t>(sum >> (8 * i));
    RunResult r = runTarnwick({"-c", "journal; replay; journal", writeScratch("rewound.hfsx", volume)}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Transaction 1, sequence 666179: 3 blocks - catalog node 1, catalog node 0, volume header\n"
                         "Transaction 2, sequence 666180: 4 blocks - volume header, catalog node 1, catalog node 0, bitmap\n"
                         "Transaction 3, sequence 666181: 1 blocks - volume header\n3 block lists wait to be replayed\n"
                         "Replayed 3 transactions, 8 blocks\nNo file or folder record changes\n" + clean.out),
              std::string::npos) << r.out;
}
