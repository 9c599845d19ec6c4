// Inputs on which a fuzz target once crashed or hung, replayed through the same harnesses
// (fuzz/harness.h). Here rather than among the unit tests: several harnesses write the program's
// fixed outputs under /tmp, so they take turns with the other programs that do.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "../../fuzz/harness.h"
#include "support.h"

namespace fs = std::filesystem;

static const fs::path kRegressions = fs::path(__FILE__).parent_path().parent_path() / "regressions";

// Every folder names a target; each kept input runs through its harness in a child process under
// a 20-second alarm, so that a crash or a hang fails the test instead of ending or stalling it.
TEST(FuzzRegressions, KeptInputsRunThrough) {
    std::set<std::string> names;
    for (const fuzz::Target &target : fuzz::kTargets) names.insert(target.name);
    ASSERT_TRUE(fs::is_directory(kRegressions)) << kRegressions;
    for (const fs::directory_entry &dir : fs::directory_iterator(kRegressions))
        EXPECT_TRUE(names.contains(dir.path().filename().string())) << dir.path();
    for (const fuzz::Target &target : fuzz::kTargets) {
        if (!fs::is_directory(kRegressions / target.name)) continue;
        for (const fs::directory_entry &file : fs::directory_iterator(kRegressions / target.name)) {
            std::vector<uint8_t> input = readWholeFile(file.path());
            fflush(nullptr);
            pid_t pid = fork();
            if (pid == 0) {
                alarm(20);
                fuzz::runSilenced(target.run, input.data(), input.size());
                _exit(0);
            }
            int status = -1;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << file.path() << ": " << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exit status")
                << " " << (WIFEXITED(status) ? WEXITSTATUS(status) : 0);
        }
    }
}
