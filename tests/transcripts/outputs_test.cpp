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
    struct stat st;
    ASSERT_EQ(stat(kSnapshot, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A smaller tree afterwards leaves no tail of the larger one.
    chmod(kSnapshot, 0644);
    runTarnwick({path}, "attributes\nsnapshot\n");
    EXPECT_EQ(readWholeFile(kSnapshot), attributes);
    ASSERT_EQ(stat(kSnapshot, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

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
