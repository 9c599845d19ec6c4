// The files written under /tmp: exact content, mode 0600, truncated, never through a planted link.
#include <sys/stat.h>
#include <unistd.h>

#include "hfsbuild/hfsbuild.h"
#include "transcript.h"
#include "volume/bits.h"

namespace {

constexpr const char *kSnapshot = "/tmp/snapshot.hfs";

std::vector<uint8_t> forkBytes(const std::vector<uint8_t> &image, size_t forkOffset) {
    Bytes vh{image.data() + 1024, 512};
    uint64_t start = static_cast<uint64_t>(vh.be32(forkOffset + 16)) * vh.be32(40);
    return {image.begin() + static_cast<long>(start), image.begin() + static_cast<long>(start + vh.be64(forkOffset))};
}

}  // namespace

TEST(Outputs, SnapshotIsTheTreeFileTruncatedAndPrivate) {
    hfsbuild::Volume v = hfsbuild::demoVolume();
    for (int i = 0; i < 120; ++i) {   // enough records for a catalog larger than the attributes tree
        hfsbuild::Node file;
        file.path = "/Many/file" + std::to_string(i);
        v.nodes.push_back(file);
    }
    std::vector<uint8_t> image = hfsbuild::buildVolume(v);
    std::string path = writeScratch("snapshot.hfs", image);
    std::vector<uint8_t> catalog = forkBytes(image, 272), attributes = forkBytes(image, 352);
    ASSERT_GT(catalog.size(), attributes.size());

    unlink(kSnapshot);
    RunResult r = runTarnwick({path}, "catalog\nsnapshot\n");
    EXPECT_NE(r.err.find("Saving snapshot of catalog B-Tree\nWrote " + std::to_string(catalog.size()) +
                         " bytes to /tmp/snapshot.hfs\n"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("Total num nodes: " + std::to_string(catalog.size() / 4096) + "\n"), std::string::npos);
    EXPECT_EQ(readWholeFile(kSnapshot), catalog);
    EXPECT_EQ(modeOf(kSnapshot), 0600u);

    // A smaller tree afterwards leaves no tail of the larger one.
    chmod(kSnapshot, 0644);
    runTarnwick({path}, "attributes\nsnapshot\n");
    EXPECT_EQ(readWholeFile(kSnapshot), attributes);
    EXPECT_EQ(modeOf(kSnapshot), 0600u);

    // A link planted at the path is refused, and its target is untouched.
    std::string victim = writeScratch("victim", {'k', 'e', 'e', 'p'});
    unlink(kSnapshot);
    ASSERT_EQ(symlink(victim.c_str(), kSnapshot), 0);
    r = runTarnwick({path}, "snapshot\n");
    unlink(kSnapshot);
    EXPECT_NE(r.err.find("Saving snapshot of catalog B-Tree\n/tmp/snapshot.hfs is a symbolic link: refusing to write "
                         "through it\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Wrote"), std::string::npos);
    EXPECT_EQ(readWholeFile(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}

namespace {

using hfsbuild::fileNode;

std::vector<uint8_t> bytes(size_t size, uint8_t seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + seed);
    return data;
}


}  // namespace

TEST(Outputs, PullCopiesFilesToTmp) {
    hfsbuild::Volume v;
    v.label = "Pull";
    v.nodes.push_back(fileNode("/docs/notes.txt", "hello"));
    v.nodes.push_back(fileNode("/empty", ""));
    hfsbuild::Node big = fileNode("/docs/big.bin", bytes(300000, 3));
    big.extentBlocks = 10;   // eight extents
    v.nodes.push_back(big);
    std::string image = writeScratch("pull.hfs", hfsbuild::buildVolume(v));

    unlink("/tmp/notes.txt");
    std::vector<uint8_t> stale(100, 'x');
    writeScratch("stale", stale);
    runCommand({"cp", scratchDir() + "/stale", "/tmp/notes.txt"});
    chmod("/tmp/notes.txt", 0666);
    const std::string P = prompt("Pull", "/");
    std::string err = runTarnwick({image}, "color\npull docs/notes.txt\npull /empty\npull docs/big.bin\npull docs\npull\n"
                                            "pull docs/none\npull none/x\n").err;
    EXPECT_NE(err.find(P + "5 bytes written to /tmp/notes.txt\n" + P + "0 bytes written to /tmp/empty\n" + P +
                       "300000 bytes written to /tmp/big.bin\n" + P + "pull: docs: Is a folder\n" + P +
                       "pull requires a path\n" + P + "pull: docs/none: No such file or folder\n" + P +
                       "pull: none/x: No such file or folder\n" + P + "Exiting\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(readWholeFile("/tmp/notes.txt"), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(readWholeFile("/tmp/empty"), std::vector<uint8_t>{});
    EXPECT_EQ(readWholeFile("/tmp/big.bin"), bytes(300000, 3));
    for (const char *out : {"/tmp/notes.txt", "/tmp/empty", "/tmp/big.bin"}) {
        EXPECT_EQ(modeOf(out), 0600u) << out;
        unlink(out);
    }

    std::string victim = writeScratch("victim2", {'k'});
    ASSERT_EQ(symlink(victim.c_str(), "/tmp/notes.txt"), 0);
    err = runTarnwick({image}, "color\npull docs/notes.txt\n").err;
    unlink("/tmp/notes.txt");
    EXPECT_NE(err.find("/tmp/notes.txt is a symbolic link: refusing to write through it\n"), std::string::npos) << err;
    EXPECT_EQ(readWholeFile(victim), std::vector<uint8_t>{'k'});

    err = runTarnwick({}, "pull x\nalloc\n").err;
    EXPECT_NE(err.find("No active FS. Use the 'fs' command to select the active filesystem first.\n"), std::string::npos);
    EXPECT_NE(err.find("No active FS. Use the 'fs' command to select the active filesystem\n"), std::string::npos);
}

TEST(Outputs, AllocationReport) {
    hfsbuild::Volume v;
    v.label = "Alloc";
    v.totalBlocks = 64;
    v.nodes.push_back(fileNode("/a", bytes(5000, 1)));
    std::vector<uint8_t> image = hfsbuild::buildVolume(v);
    std::string path = writeScratch("alloc.hfs", image);
    unlink("/tmp/allocation.html");
    RunResult r = runTarnwick({path}, "alloc\n");
    // Blocks 0-5 hold the volume's own files, 6-7 the file, 63 the alternate header: 9 of the
    // 4096-byte bitmap's 32768 bits.
    EXPECT_EQ(r.out, "9/32768 Allocation blocks used ( 0%). Disk size: 134217728\n"
                     "Allocation Bitmap written to /tmp/allocation.html (Experimental)\n");
    std::vector<uint8_t> html = readWholeFile("/tmp/allocation.html");
    std::string page(html.begin(), html.end());
    EXPECT_TRUE(page.starts_with("<html><head><title>Allocation bitmap</title>"));
    std::string white = "<td bgcolor=\"#ffffff\"></td>";
    std::string firstCells = "<body><table><tr></tr><tr><td bgcolor=\"#0\"></td>";
    for (int i = 0; i < 6; ++i) firstCells += white;
    firstCells += "<td bgcolor=\"#fefefe\"></td>";   // block 63: the low bit of byte 7
    EXPECT_NE(page.find(firstCells), std::string::npos);
    EXPECT_TRUE(page.ends_with(white + "</tr></table></body></html>"));
    size_t rows = 0;
    for (size_t at = 0; (at = page.find("</tr><tr>", at)) != std::string::npos; ++at) ++rows;
    EXPECT_EQ(rows, 4096u / 128);

    hfsbuild::putBE32(image, 1024 + 112 + 4, 0);   // allocation file logical size 0
    hfsbuild::putBE32(image, 1024 + 112, 0);
    r = runTarnwick({writeScratch("alloc-empty.hfs", image)}, "alloc\n");
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("The allocation file is empty: there is no bitmap to report\n"), std::string::npos);
}
