// replay: the builder's pending journal replayed (what it changes, the prompt, the working folder
// kept or lost, back with `replay off`), and journals that replay nothing, each in one line.
#include <algorithm>

#include "hfsbuild/pending.h"
#include "transcript.h"

namespace {

std::string replayedPrompt(const std::string &cwd) { return "Tarnwick(Pending:" + cwd + ")[replayed]> "; }

}  // namespace

TEST(Replay, Transcript) {
    std::string image = writeScratch("pending.hfs", hfsbuild::pendingJournal("little").before);
    std::vector<std::string> folders;
    for (int i = 0; i < 12; ++i) folders.push_back("folder " + std::to_string(i));
    std::sort(folders.begin(), folders.end());   // catalog order
    std::string added;
    for (const std::string &f : folders)
        added += "Added folder /many/" + f + " (CNID " + std::to_string(21 + std::stoi(f.substr(7))) + ")\n";
    // owner's claims, kept between calls, are each view's own.
    const std::string doomed = "Block 20: /doomed.txt (CNID 19), data fork\n";
    Transcript s{"owner 20\ncd docs\nreplay\nowner 20\npwd\nreplay\ncd /many/folder 3\nreplay off\nowner 20\nreplay off\n",
                 doomed + "Replayed 3 transactions, 38 blocks\nChanged folder /docs (CNID 16)\nAdded folder /many (CNID 20)\n"
                 "Removed file /doomed.txt (CNID 19)\nAdded file /docs/created.txt (CNID 19)\n" + added +
                     "Block 20: free\n"
                     "/docs\nThe replayed view is already active ('replay off' returns to the volume as it lies on disk)\n"
                     "Back to the volume as it lies on disk\n" + doomed + "The replayed view is not active\n",
                 "{/}{/}{/docs}" + replayedPrompt("/docs") + replayedPrompt("/docs") + replayedPrompt("/docs") + replayedPrompt("/docs") +
                     replayedPrompt("/many/folder 3") + "/many/folder 3 is no folder in this view: the working folder is the root\n{/}{/}{/}"};
    expectSession({image}, "Pending", s);
}

// In a script: what each says, its exit status, and the volume as on disk still listed after.
TEST(Replay, NothingToReplay) {
    auto build = [](std::optional<hfsbuild::Journal> journal) {
        hfsbuild::Volume v;
        v.nodes = {hfsbuild::fileNode("/readme.txt", "a\n")}, v.journal = journal;
        return hfsbuild::buildVolume(v);
    };
    const std::vector<uint8_t> pending = hfsbuild::pendingJournal("little").before;
    auto patched = [&](size_t at, uint8_t value) {
        std::vector<uint8_t> copy = pending;
        copy[at] = value;
        return copy;
    };
    constexpr size_t kJournal = 3 * 4096;
    struct Row {
        const char *name;
        std::vector<uint8_t> image;
        std::string out, err;
        int status;
    } rows[] = {
        {"not journaled", build(std::nullopt), "", "The volume is not journaled\n", 0},
        {"emptied journal", build(hfsbuild::Journal{}), "No transaction waits to be replayed\n", "", 0},
        {"no journal header", patched(kJournal, 'X'), "",
         "The journal header has magic 0x584c4e4a and byte-order mark 0x78563412: it is no journal header\n", 1},
        {"header summed wrong", patched(kJournal + 36, 0), "",
         "The journal header's checksum is 0x0bfda800, should be 0x0bfda83e: nothing is replayed\n", 1},
        {"info block past the volume", patched(1024 + 13, 0xFF), "",
         "The journal info block (block 16711682) lies outside the volume (262144 bytes)\n", 1},
        {"first list summed wrong", patched(kJournal + 32000 + 8, 0), "",
         "The block list at 32000 has checksum 0xf4d1e500, should be 0xf4d1e5c0; replay stops there, keeping the 0 "
         "transactions before it\n", 1},
    };
    for (const Row &row : rows) {
        RunResult r = runTarnwick({"-c", "replay; find /", writeScratch("nothing.hfs", row.image)}, "");
        EXPECT_EQ(r.status, row.status) << row.name;
        EXPECT_TRUE(r.out.starts_with(row.out)) << row.name << r.out;
        EXPECT_NE(r.out.find("/readme.txt\n"), std::string::npos) << row.name << r.out;   // the volume on disk, listed
        EXPECT_TRUE(r.err.ends_with("DMG type: Raw image (RC: 0)\n" + row.err)) << row.name << r.err;
    }
}
