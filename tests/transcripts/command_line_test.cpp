// The command line (options, -c, -f, exit statuses) and the shell at a terminal (pseudo-terminal).
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "hfsbuild/hfsbuild.h"
#include "support.h"

namespace {

const std::string &demoImage() {
    static const std::string path = writeScratch("cli-demo.hfs", hfsbuild::buildVolume(hfsbuild::demoVolume()));
    return path;
}

// "IMG" stands for the demo volume; outHas and errHas are substrings, "" meaning anything.
struct CommandLineCase {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string outHas, errHas;
    bool errEmpty = false;
    std::string outLacks = "\x01";
};

}  // namespace

TEST(CommandLine, OptionsScriptsAndStatuses) {
    std::string script = writeScratch("commands.txt", {});
    std::ofstream(script) << "cd /Documents\nls\n";
    const CommandLineCase cases[] = {
        {"--help", {"--help"}, 0, "usage: tarnwick [--no-color] [--bail] [-c COMMANDS | -f FILE] [--] [IMAGE]", "", true},
        {"--version", {"--version"}, 0, "This is Tarnwick, version 1.1", "", true},
        {"unknown option", {"--frobnicate"}, 2, "", "tarnwick: unknown option '--frobnicate'"},
        {"-c without its argument", {"IMG", "-c"}, 2, "", "option '-c' needs an argument"},
        {"-c runs each command, no prompt or banner", {"IMG", "--no-color", "-c", "cd /Documents; ls\nvolinfo"}, 0,
         "readme.txt", "DMG type"},
        {"-f runs a file of commands", {"-f", script, "IMG"}, 0, "readme.txt", ""},
        {"a failing command fails the run, the rest still runs", {"IMG", "-c", "cd /nowhere; ls"}, 1, "hello.txt", ""},
        {"quit keeps the failure", {"IMG", "-c", "cd /nowhere; quit"}, 1, "", "Zai Jian!"},
        {"--bail stops at the first failure", {"--bail", "IMG", "-c", "cd /nowhere; ls"}, 1, "", "", false, "hello.txt"},
        {"an image that does not open fails", {"/nonexistent.img", "-c", "version"}, 1, "", ""},
        {"a line too long fails", {"-c", std::string(1100, 'x')}, 1, "", "Line too long (1100 characters"},
        {"a shell escape's status counts", {"-c", "!false"}, 1, "", ""},
        {"-- ends the options: '-x.img' is an image", {"-c", "version", "--", "-x.img"}, 1, "", "-x.img"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        for (auto &a : args)
            if (a == "IMG") a = demoImage();
        RunResult r = runTarnwick(args, "");
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_NE(r.out.find(c.outHas), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out.find(c.outLacks), std::string::npos) << c.name;
        EXPECT_TRUE(!c.errEmpty || r.err.empty()) << c.name;
        EXPECT_EQ(r.err.find("Tarnwick>"), std::string::npos) << c.name << ": no prompt in a script";
    }
    // NO_COLOR, whatever its value, starts with colour off.
    RunResult piped = runTarnwick({}, "version\n", {"NO_COLOR="});
    EXPECT_EQ(piped.err.find('\033'), std::string::npos) << piped.err;
}

namespace {

// The shell on a pseudo-terminal, driven key by key as a user types.
struct Terminal {
    int master_ = -1;
    pid_t pid_ = forkpty(&master_, nullptr, nullptr, nullptr);

    explicit Terminal(const std::vector<std::string> &args) {
        if (pid_ != 0) return;
        setenv("HOME", scratchDir().c_str(), 1), setenv("TERM", "xterm", 1), setenv("TZ", "UTC", 1);
        std::vector<char *> argv{const_cast<char *>(TARNWICK_BIN)};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(TARNWICK_BIN, argv.data());
        _exit(127);
    }
    ~Terminal() {
        if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        if (master_ >= 0) close(master_);
    }
    void type(const std::string &keys) { ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
    // What the program writes until `marker` has appeared (at most five seconds).
    std::string readUntil(const std::string &marker) {
        std::string seen;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (seen.find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[4096];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return seen;
    }
};

}  // namespace

TEST(CommandLine, TerminalEditsRecallsCompletesAndSurvivesCtrlC) {
    Terminal t({"--no-color", demoImage()});
    const std::string kRoot = "(Demo:/)> ", kPictures = "(Demo:/Pictures)> ";
    auto after = [&](const std::string &keys, const std::string &marker) { return t.type(keys), t.readUntil(marker); };
    t.readUntil(kRoot);
    EXPECT_NE(after("version\r", kRoot).find("version 1.1"), std::string::npos);
    EXPECT_NE(after("\x1b[A\r", kRoot).find("version 1.1"), std::string::npos);   // the up arrow recalls the last line
    EXPECT_NE(after("cd /Pict\t\r", kPictures).find(kPictures), std::string::npos);   // a path completes, a folder with its slash
    EXPECT_NE(after("partial line\x03", kPictures).find(kPictures), std::string::npos);   // Ctrl-C clears the line, the session goes on
    EXPECT_NE(after("vers\t\r", kPictures).find("version 1.1"), std::string::npos);   // a command name completes
    EXPECT_NE(after("ls /Documents/no\t\r", "todo.txt").find("todo.txt"), std::string::npos);   // in a folder below
    EXPECT_EQ(after("ls /nowhere/deeper/x\t", "\a").find("not found"), std::string::npos);   // a miss only rings
    EXPECT_NE(after("\x15quit\r", "Zai Jian!").find("Zai Jian!"), std::string::npos);
    std::ifstream history(scratchDir() + "/.tarnwick_history");
    std::string saved((std::istreambuf_iterator<char>(history)), std::istreambuf_iterator<char>());
    EXPECT_NE(saved.find("cd\\040/Pictures/"), std::string::npos) << saved;
}
