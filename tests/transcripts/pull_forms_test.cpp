// pull's destinations (a folder, a file, standard output, by CNID), a tree pulled into a folder
// where a link was planted, names that would lead out of it, and a catalog that loops.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "hfsbuild/hfsbuild.h"
#include "transcript.h"
#include "volume/bits.h"

namespace {

namespace fs = std::filesystem;

hfsbuild::Volume formsVolume() {
    hfsbuild::Volume v;
    v.nodes = {hfsbuild::fileNode("/docs/notes.txt", "hello notes\n"), hfsbuild::fileNode("/docs/two words.txt", "two\n"),
               hfsbuild::fileNode("/odd/../up.txt", "up\n"), hfsbuild::fileNode("/odd/./dot.txt", "dot\n"),
               hfsbuild::fileNode("/odd/bell\a.txt", "bell\n"), hfsbuild::folderNode("/a/b/c")};
    return v;
}

std::string text(const std::string &path) {
    auto bytes = readWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

}  // namespace

TEST(PullForms, Destinations) {
    std::string image = writeScratch("forms.hfs", hfsbuild::buildVolume(formsVolume()));
    std::string out = scratchDir() + "/forms-out";
    fs::create_directories(out);
    std::string cnid = std::to_string(hfsbuild::cnidOf(formsVolume(), "/docs/notes.txt"));
    struct Case {
        std::string line, written, content;   // written: the file named in "bytes written to"
    } cases[] = {
        {"pull docs/notes.txt " + out, out + "/notes.txt", "hello notes\n"},
        {"pull docs/notes.txt " + out + "/copy", out + "/copy", "hello notes\n"},
        {"pull #" + cnid + " " + out + "/", out + "/notes.txt", "hello notes\n"},
        {"pull '#" + cnid + "' " + out + "/quoted", out + "/quoted", "hello notes\n"},
        {"pull docs/two words.txt " + out, out + "/two words.txt", "two\n"},
    };
    for (const Case &c : cases) {
        RunResult r = runTarnwick({"-c", c.line, image}, "");
        EXPECT_EQ(r.status, 0) << c.line << r.err;
        EXPECT_NE(r.err.find(std::to_string(c.content.size()) + " bytes written to " + c.written + "\n"), std::string::npos)
            << c.line << r.err;
        EXPECT_EQ(text(c.written), c.content) << c.line;
    }
    RunResult r = runTarnwick({"-c", "pull docs/notes.txt -", image}, "");
    EXPECT_EQ(r.out, "hello notes\n");
    EXPECT_NE(r.err.find("12 bytes written to standard output\n"), std::string::npos) << r.err;
}

// Names that would leave DEST become names inside it, and a link planted where a folder goes is
// refused, not followed: nothing is written outside DEST, and the extraction fails.
TEST(PullForms, TreeStaysInsideItsDestination) {
    std::string image = writeScratch("tree.hfs", hfsbuild::buildVolume(formsVolume()));
    fs::path dest = scratchDir() + "/tree-out", outside = scratchDir() + "/tree-outside";
    fs::create_directories(dest);
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, dest / "docs");
    RunResult r = runTarnwick({"-c", "pull -r / " + dest.string(), image}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("pull: /docs: not extracted ("), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 entries could not be extracted\n"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(scratchDir() + "/up.txt"));
    EXPECT_EQ(text(dest / "odd/_../up.txt"), "up\n");
    EXPECT_EQ(text(dest / "odd/_./dot.txt"), "dot\n");
    EXPECT_EQ(text(dest / "odd/bell^.txt"), "bell\n");
    EXPECT_TRUE(fs::is_directory(dest / "a/b/c"));
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
