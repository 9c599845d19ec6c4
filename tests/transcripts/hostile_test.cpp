// Hostile images (tools/hfsbuild/hostile.cpp), each run confined: a small private /tmp, time and
// memory limits. Each must end with a clear message and status, leaving only what it should.
#include <gtest/gtest.h>

#include "hfsbuild/hostile.h"
#include "support.h"

namespace {

struct Row {
    const char *image, *command, *said;
    int status;
    const char *left = "";   // what stays in /tmp: what could be read of a damaged file is kept
    const char *out = nullptr;   // standard output, when it must be exactly this
};

TEST(Hostile, BoundedAndSaid) {
    const Row rows[] = {
        {"bitmap", "alloc", "write: /tmp/allocation.html: No space left on device: removed\n", 1},
        {"attribute", "xattr /f big", "write: /tmp/f.big: No space left on device after ", 1},
        {"resource-fork-bomb", "pull /f", "/f: only ", 1, "f"},
        {"short-chunk", "version", "its stream ends early\n", 1},
        {"cut-chain", "find /", "find: /many: the folder's records could not all be read (the chain of leaves breaks at node ", 1},
        {"cut-chain", "ls /many", "ls: /many: the folder's records could not all be read (the chain of leaves breaks at node ", 1},
        {"same-names", "pull -r /d", "2 hard links made to files copied once\n1 entries took a name another had taken", 0, "d"},
        {"damaged-block", "pull /f", "Error decompressing in block 0 (LZVN): left empty\n", 1, "f"},
        {"partitioned", "pull /f -", "", 0, "", "only these bytes\n"},
        {"folder-chain", "search d", "", 0},   // in time: paths are not rebuilt from the root
        {"partitioned", "!echo kept > /tmp/v; !ln /tmp/v /tmp/f; pull /f; !cat /tmp/v",
         "/tmp/f has other hard links: refusing to write through it\n", 1, "f\nv", "kept\n"},
        {"partition-name", "version", "(partitions: evil\\x1b]0;owned\\x07)\n", 1},
    };
    for (const Row &row : rows) {
        std::string what = std::string(row.image) + ": " + row.command;
        RunResult r = runConfined(writeScratch(std::string("hostile-") + row.image, hfsbuild::hostileImage(row.image)), row.command);
        if (r.status == 77) GTEST_SKIP() << r.err;
        EXPECT_EQ(r.status, row.status) << what << "\n" << r.err;
        EXPECT_NE(r.err.find(row.said), std::string::npos) << what << "\n" << r.err;
        if (row.out) {
            EXPECT_EQ(r.out, std::string(row.out) + "left:" + row.left + "\n") << what;
        }
        EXPECT_TRUE(r.out.ends_with("left:" + std::string(row.left) + "\n")) << what << ": " << r.out.substr(r.out.rfind("left:"));
    }
}

}  // namespace
