// Inputs on which a fuzz target once crashed or hung, replayed through the same harnesses
// (fuzz/harness.h). Here rather than among the unit tests: several harnesses write the program's
// fixed outputs under /tmp, so they take turns with the other programs that do.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <set>

#include "../../fuzz/harness.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRegressions = fs::path(__FILE__).parent_path().parent_path() / "regressions";
constexpr unsigned kSecondsPerInput = 20;

// The harness in a child process under an alarm, so that a crash or a hang fails the test instead
// of ending or stalling the whole program. Returns the wait status.
int runInChild(void (*harness)(Bytes), const std::vector<uint8_t> &input) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(kSecondsPerInput);
        fuzz::runSilenced(harness, input.data(), input.size());
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

TEST(FuzzRegressions, EveryFolderNamesATarget) {
    std::set<std::string> names;
    for (const fuzz::Target &target : fuzz::kTargets) names.insert(target.name);
    ASSERT_TRUE(fs::is_directory(kRegressions)) << kRegressions;
    for (const fs::directory_entry &dir : fs::directory_iterator(kRegressions))
        EXPECT_TRUE(names.contains(dir.path().filename().string())) << dir.path();
}

TEST(FuzzRegressions, KeptInputsRunThrough) {
    for (const fuzz::Target &target : fuzz::kTargets) {
        fs::path dir = kRegressions / target.name;
        if (!fs::is_directory(dir)) continue;
        for (const fs::directory_entry &file : fs::directory_iterator(dir)) {
            int status = runInChild(target.run, readWholeFile(file.path()));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << file.path() << ": " << (WIFSIGNALED(status) ? strsignal(WTERMSIG(status)) : "exit status")
                << " " << (WIFEXITED(status) ? WEXITSTATUS(status) : 0);
        }
    }
}
