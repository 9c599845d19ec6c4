// The files written under /tmp: exact content, mode 0600, truncated, never through a planted link
// (pull, xattr and alloc open theirs as snapshot does, with createOutputFile). pull's destinations
// (a folder, a file, standard output, by CNID), a tree pulled into a folder where a link was
// planted, names that would lead out of it, and a catalog that loops.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"
#include "transcript.h"
#include "base/bits.h"

// Where the tree file at `forkOffset` in the volume header lies (one extent), and its bytes.
std::vector<uint8_t> forkBytes(const std::vector<uint8_t> &image, size_t forkOffset) {
    Bytes vh{image.data() + 1024, 512};
    auto start = image.begin() + static_cast<long>(static_cast<uint64_t>(vh.be32(forkOffset + 16)) * vh.be32(40));
    return {start, start + static_cast<long>(vh.be64(forkOffset))};
}

// The catalog snapshot is compared with The Sleuth Kit's copy of the file in the interop tests.
TEST(Outputs, SnapshotIsTheTreeFileTruncatedAndPrivate) {
    const char *snapshot = "/tmp/snapshot.hfs";
    hfsbuild::Volume v = hfsbuild::demoVolume();
    // Enough files for a catalog larger than the attributes tree.
    for (int i = 0; i < 120; ++i) v.nodes.push_back(hfsbuild::fileNode("/Many/file" + std::to_string(i), ""));
    std::vector<uint8_t> image = hfsbuild::buildVolume(v), catalog = forkBytes(image, 272), attributes = forkBytes(image, 352);
    ASSERT_GT(catalog.size(), attributes.size());
    std::string path = writeScratch("snapshot.hfs", image);
    unlink(snapshot);
    RunResult r = runTarnwick({path}, "catalog\nsnapshot\n");
    EXPECT_NE(r.err.find("Saving snapshot of catalog B-Tree\nWrote " + std::to_string(catalog.size()) + " bytes to /tmp/snapshot.hfs\n"),
              std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Total num nodes: " + std::to_string(catalog.size() / 4096) + "\n"), std::string::npos);
    EXPECT_EQ(readWholeFile(snapshot), catalog);
    chmod(snapshot, 0644);   // a smaller tree afterwards leaves no tail of the larger one, nor the mode
    runTarnwick({path}, "attributes\nsnapshot\n");
    EXPECT_EQ(readWholeFile(snapshot), attributes);
    EXPECT_EQ(modeOf(snapshot), 0600u);

    // A link planted at the path is refused, and its target is untouched.
    std::string victim = writeScratch("victim", {'k', 'e', 'e', 'p'});
    unlink(snapshot);
    ASSERT_EQ(symlink(victim.c_str(), snapshot), 0);
    r = runTarnwick({"-c", "snapshot", path}, "");
    unlink(snapshot);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Saving snapshot of catalog B-Tree\n/tmp/snapshot.hfs is a symbolic link: refusing to write through it\n"),
              std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Wrote"), std::string::npos);
    EXPECT_EQ(readWholeFile(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}

TEST(Outputs, AllocationReport) {
    hfsbuild::Volume v;
    v.label = "Alloc", v.totalBlocks = 64, v.nodes = {hfsbuild::fileNode("/a", std::string(5000, 'a'))};
    std::vector<uint8_t> image = hfsbuild::buildVolume(v);
    std::string path = writeScratch("alloc.hfs", image);
    unlink("/tmp/allocation.html");
    RunResult r = runTarnwick({path}, "alloc\n");
    // Blocks 0-5 hold the volume's own files, 6-7 the file, 63 the alternate header: 9 of the
    // 4096-byte bitmap's 32768 bits.
    EXPECT_EQ(r.out, "9/32768 Allocation blocks used ( 0%). Disk size: 134217728\n"
                     "Allocation Bitmap written to /tmp/allocation.html (Experimental)\n");
    std::vector<uint8_t> html = readWholeFile("/tmp/allocation.html");
    const std::string page(html.begin(), html.end()), white = "<td bgcolor=\"#ffffff\"></td>";
    EXPECT_TRUE(page.starts_with("<html><head><title>Allocation bitmap</title>"));
    std::string firstCells = "<body><table><tr></tr><tr><td bgcolor=\"#0\"></td>";
    for (int i = 0; i < 6; ++i) firstCells += white;
    firstCells += "<td bgcolor=\"#fefefe\"></td>";   // block 63: the low bit of byte 7
    EXPECT_NE(page.find(firstCells), std::string::npos);
    EXPECT_TRUE(page.ends_with(white + "</tr></table></body></html>"));

    hfsbuild::putBE32(image, 1024 + 112 + 4, 0);   // allocation file logical size 0
    hfsbuild::putBE32(image, 1024 + 112, 0);
    r = runTarnwick({writeScratch("alloc-empty.hfs", image)}, "alloc\n");
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("The allocation file is empty: there is no bitmap to report\n"), std::string::npos);
}

namespace {

namespace fs = std::filesystem;

hfsbuild::Volume formsVolume() {
    hfsbuild::Volume v;
    v.nodes = {hfsbuild::fileNode("/docs/notes.txt", "hello notes\n"), hfsbuild::fileNode("/docs/two words.txt", "two\n"),
               hfsbuild::fileNode("/odd/../up.txt", "up\n"), hfsbuild::fileNode("/odd/./dot.txt", "dot\n"),
               hfsbuild::fileNode("/odd/bell\a.txt", "bell\n"), hfsbuild::folderNode("/a/b/c"),
               hfsbuild::folderNode("/dir with space"), hfsbuild::folderNode("/dir with space/locked"),
               hfsbuild::fileNode("/dir with space/suid", "s\n"), hfsbuild::symlinkNode("/a/link", "b")};
    v.nodes[6].mode = 041333, v.nodes[7].mode = 040000, v.nodes[8].mode = 0104755;   // like .Trashes; no access; set-user-ID
    return v;
}

}  // namespace

TEST(PullForms, Destinations) {
    std::string image = writeScratch("forms.hfs", hfsbuild::buildVolume(formsVolume()));
    std::string out = scratchDir() + "/forms-out", cnid = std::to_string(hfsbuild::cnidOf(formsVolume(), "/docs/notes.txt"));
    fs::create_directories(out);
    const std::pair<std::string, std::string> cases[] = {   // the line, and the file it writes to
        {"docs/notes.txt " + out, out + "/notes.txt"},   {"docs/notes.txt " + out + "/copy", out + "/copy"},
        {"#" + cnid + " " + out + "/", out + "/notes.txt"}, {"'#" + cnid + "' " + out + "/quoted", out + "/quoted"},
        {"docs/two words.txt " + out, out + "/two words.txt"},
    };
    for (const auto &[line, written] : cases) {
        RunResult r = runTarnwick({"-c", "pull " + line, image}, "");
        std::string content = textOf(written);
        EXPECT_EQ(r.status, 0) << line << r.err;
        EXPECT_EQ(content, line.starts_with("docs/two") ? "two\n" : "hello notes\n") << line;
        EXPECT_NE(r.err.find(std::to_string(content.size()) + " bytes written to " + written + "\n"), std::string::npos) << line << r.err;
    }
    RunResult r = runTarnwick({"-c", "pull docs/notes.txt -", image}, "");
    EXPECT_EQ(r.out, "hello notes\n");
    EXPECT_NE(r.err.find("12 bytes written to standard output\n"), std::string::npos) << r.err;
}

// Names that would leave DEST become names inside it, and a link planted where a folder goes is
// refused, not followed: nothing is written outside DEST, and the extraction fails. DEST is a
// folder: the tree goes in it, under the root folder's name (the label).
TEST(PullForms, TreeStaysInsideItsDestination) {
    std::string image = writeScratch("tree.hfs", hfsbuild::buildVolume(formsVolume()));
    fs::path dest = scratchDir() + "/tree-out", root = dest / "Untitled", outside = scratchDir() + "/tree-outside";
    fs::create_directories(root);
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, root / "docs");
    fs::create_directories(root / "a");
    writeScratch("tree-out/Untitled/a/link", bytesOf("left by an earlier copy"));
    RunResult r = runTarnwick({"-c", "pull -r / " + dest.string(), image}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pull: /docs: not extracted ("), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 entries could not be extracted\n"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(dest / "up.txt"));
    EXPECT_EQ(textOf(root / "odd/_../up.txt"), "up\n");
    EXPECT_EQ(textOf(root / "odd/_./dot.txt"), "dot\n");
    EXPECT_EQ(textOf(root / "odd/bell^.txt"), "bell\n");
    EXPECT_TRUE(fs::is_directory(root / "a/b/c"));
    EXPECT_EQ(fs::read_symlink(root / "a/link"), "b");
}

// A DEST that does not exist is the tree's copy itself; folders stay their owner's to list and
// remove, the sticky bit stays, set-ID bits go. An option where DEST goes is refused.
TEST(PullForms, TreeModesAndDestinationForms) {
    std::string image = writeScratch("modes.hfs", hfsbuild::buildVolume(formsVolume())), dest = scratchDir() + "/modes-out";
    RunResult r = runTarnwick({"-c", "pull -r /dir with space " + dest, image}, "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, kRawOpened + "1 files, 1 folders and 0 symbolic links written to " + dest + "\n");
    struct stat st;
    ASSERT_EQ(stat(dest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01733u);
    EXPECT_EQ(modeOf(dest + "/locked"), 0700u);
    EXPECT_EQ(modeOf(dest + "/suid"), 0755u);
    std::pair<std::string, std::string> refused[] = {
        {"pull docs/notes.txt -r", "pull: unknown option: -r\n"}, {"pull -r docs -x", "pull: unknown option: -x\n"},
        {"pull -r docs -", "pull: -r writes a tree of files, not to standard output: name a folder (./- for one named -)\n"}};
    for (const auto &[line, said] : refused) {
        r = runTarnwick({"-c", line, image}, "");
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.err, kRawOpened + said) << line;
    }
    EXPECT_FALSE(fs::exists("-r"));
    EXPECT_FALSE(fs::exists("-"));
}

// Ctrl-C in a script (SIGINT, sent by strace as the call named is made) is said "Stopped", not as
// damage, and leaves nothing behind: no expansion of a disk image, no half-copied file of a tree.
TEST(PullForms, InterruptsAreStoppedAndLeaveNothing) {
    if (!haveTool("strace")) GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    std::vector<uint8_t> volume = hfsbuild::buildVolume(formsVolume());
    std::string image = writeScratch("stop.hfs", volume), dmg = writeScratch("stop.dmg", hfsbuild::buildUdif(volume));
    std::string tree = scratchDir() + "/stopped-tree";
    const std::tuple<std::string, const char *, const char *> cases[] = {   // script, call, what was said instead
        {"fs " + dmg, "ftruncate", "not recognized"}, {"fs " + image + "; pull -r /docs " + tree, "copy_file_range", "not extracted"}};
    for (const auto &[script, call, damage] : cases) {
        RunResult r = runCommand({"strace", "-f", "-qq", "-o", "/dev/null", "-e", std::string("inject=") + call + ":signal=INT:when=1",
                                  TARNWICK_BIN, "-c", script + "; version"}, "", {"TZ=UTC", "ASAN_OPTIONS=detect_leaks=0"});
        if (r.err.find("PTRACE") != std::string::npos) GTEST_SKIP() << "strace cannot trace here: " << r.err;
        EXPECT_EQ(r.status, 1) << script;
        EXPECT_TRUE(r.err.ends_with("\nStopped\n") && r.err.find(damage) == std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("latest version"), std::string::npos) << r.out;   // the script ends there
    }
    EXPECT_TRUE(fs::is_empty(tree));
    for (const auto &entry : fs::directory_iterator("/tmp")) EXPECT_FALSE(entry.path().filename().string().starts_with("decompressed.dmg."));
}

// A folder record that names its own parent as its ID: find and pull -r report it and go on.
TEST(PullForms, LoopingCatalogIsReported) {
    hfsbuild::Volume v = formsVolume();
    std::vector<uint8_t> bytes = hfsbuild::buildVolume(v);
    uint32_t a = hfsbuild::cnidOf(v, "/a"), b = hfsbuild::cnidOf(v, "/a/b");
    // The key (parent a, name "b"), then the folder record whose folderID (data byte 8) is b.
    const uint8_t key[] = {0, 8, uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a), 0, 1, 0, 'b'};
    auto at = std::search(bytes.begin(), bytes.end(), std::begin(key), std::end(key));
    ASSERT_NE(at, bytes.end());
    size_t folderID = static_cast<size_t>(at - bytes.begin()) + sizeof key + 8;
    ASSERT_EQ((Bytes{bytes.data() + folderID, 4}.be32(0)), b);
    hfsbuild::putBE32(bytes, folderID, a);
    std::string image = writeScratch("loop.hfs", bytes);
    std::string loop = "/a/b: folder " + std::to_string(a) + " was met before (the catalog loops): not walked again\n";
    RunResult found = runTarnwick({"-c", "find /", image}, "");
    EXPECT_EQ(found.status, 1);
    EXPECT_NE(found.err.find("find: " + loop), std::string::npos) << found.err;
    EXPECT_NE(found.out.find("/docs/notes.txt\n"), std::string::npos) << found.out;
    RunResult pulled = runTarnwick({"-c", "pull -r / " + scratchDir() + "/loop-out", image}, "");
    EXPECT_EQ(pulled.status, 1);
    EXPECT_NE(pulled.err.find("pull: " + loop), std::string::npos) << pulled.err;
}
