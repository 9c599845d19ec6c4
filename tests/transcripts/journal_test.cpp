// The journal: its report, the warning while transactions wait to be replayed, and damage.
#include "hfsbuild/hfsbuild.h"
#include "transcript.h"

namespace {

using hfsbuild::Journal;

constexpr size_t kJournalAt = 3 * 4096;   // after the reserved block, the bitmap and the info block
const std::string kWarning =
    "The journal holds unreplayed transactions: what follows is the volume as last written in place\n";

std::string header(const char *order, uint64_t size, uint64_t start, uint64_t end, const char *checksum) {
    return "Journal info block:\t2\n\tFlags:              \t0x1 - in the file system\n"
           "\tOffset:             \t12288\n\tSize:               \t" + std::to_string(size) +
           "\nJournal header:\t" + order + "-endian\n\tStart:              \t" + std::to_string(start) +
           "\n\tEnd:                \t" + std::to_string(end) +
           "\n\tHeader size:        \t512\n\tBlock list size:    \t4096\n\tChecksum:           \t" + checksum +
           "\n\tSequence:           \t1\n";
}

}  // namespace

TEST(Journal, ReportWarningAndDamage) {
    Journal dirty{.size = 16384, .littleEndian = false, .start = 14336};   // the first list's header wraps
    dirty.transactions = {{{16, std::vector<uint8_t>(512, 1)}, {24, std::vector<uint8_t>(512, 2)}},
                          {{40, std::vector<uint8_t>(4096, 3)}}};
    Journal one{.size = 16384};
    one.transactions = {{{7, std::vector<uint8_t>(512, 7)}}};
    struct Case {
        const char *name;
        std::optional<Journal> journal;
        void (*damage)(std::vector<uint8_t> &);
        std::string out, err;   // err: what the journal command writes there
        bool warned;
    } cases[] = {
        {"clean, little-endian", Journal{}, nullptr,
         header("little", 65536, 512, 512, "0x08baaa78 (correct)") + "No transaction waits to be replayed\n", "", false},
        {"two lists, one across the ring's end", dirty, nullptr,
         header("big", 16384, 14336, 11776, "0x8798f6d7 (correct)") +
             "Block list at 14336: 5120 bytes, checksum 0xff0114e9 (correct), 2 of at most 255 blocks\n"
             "\tsector 16, 512 bytes\n\tsector 24, 512 bytes\n"
             "Block list at 3584: 8192 bytes, checksum 0xff0120de (correct), 1 of at most 255 blocks\n"
             "\tsector 40, 4096 bytes\n2 block lists wait to be replayed\n",
         "", true},
        {"a list longer than the journal holds", one,
         [](std::vector<uint8_t> &image) { image[kJournalAt + 512 + 5] = 0x70; },   // bytes_used, little-endian
         header("little", 16384, 512, 5120, "0x08e4ab27 (correct)") +
             "Block list at 512: 28672 bytes, checksum 0x01ec01ec (should be 0x018e018e), 1 of at most 255 blocks\n"
             "\tsector 7, 512 bytes\n",
         "The block list at 512 claims 28672 bytes: it would not end where the next begins before the journal's end\n",
         true},
        {"no journal header", Journal{}, [](std::vector<uint8_t> &image) { image[kJournalAt] = 'X'; },
         "Journal info block:\t2\n\tFlags:              \t0x1 - in the file system\n\tOffset:             \t12288\n"
         "\tSize:               \t65536\n",
         "The journal header has magic 0x584c4e4a and byte-order mark 0x78563412: it is no journal header\n", false},
        {"not journaled", std::nullopt, nullptr, "", "The volume is not journaled\n", false},
    };
    for (const Case &c : cases) {
        hfsbuild::Volume v;
        v.label = "J";
        v.nodes = {hfsbuild::fileNode("/a.txt", "a\n")};
        v.journal = c.journal;
        std::vector<uint8_t> image = hfsbuild::buildVolume(v);
        if (c.damage) c.damage(image);
        RunResult r = runTarnwick({writeScratch("journal.hfs", image)}, "color\njournal\nvolinfo\n");
        EXPECT_EQ(r.status, 0) << c.name;
        EXPECT_EQ(r.out, c.out + "SIG: 2b48\n") << c.name;
        const std::string P = prompt("J", "/");
        size_t opened = r.err.find("DMG type: Raw image");
        EXPECT_EQ(r.err.substr(0, opened).ends_with(kWarning), c.warned) << c.name << r.err;
        EXPECT_NE(r.err.find("Color is off\n" + P + c.err + P + (c.warned ? kWarning : "") + "This is a drive"), std::string::npos)
            << c.name << r.err;
    }
}
