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
    std::string input = "";
};

}  // namespace

TEST(CommandLine, OptionsScriptsAndStatuses) {
    std::string script = writeScratch("commands.txt", {});
    std::ofstream(script) << "cd /Documents\nls\n";
    std::string commented = writeScratch("commented.txt", bytesOf("# a comment\r\n\r\n  # another\ncd /Documents; ls\r\n"));
    std::string fifo = scratchDir() + "/interrupt.fifo";
    const CommandLineCase cases[] = {
        {"--help", {"--help"}, 0, "usage: tarnwick [--color=WHEN] [--bail] [--in-place] [--password-file FILE] [-c COMMANDS | -f FILE]", "", true},
        {"--version", {"--version"}, 0, "This is Tarnwick, version 1.1", "", true},
        {"unknown option", {"--frobnicate"}, 2, "", "tarnwick: unknown option '--frobnicate'"},
        {"-c without its argument", {"IMG", "-c"}, 2, "", "option '-c' needs an argument"},
        {"--password-file without its argument", {"IMG", "--password-file"}, 2, "", "option '--password-file' needs an argument"},
        {"--password-file goes with -c", {"--password-file", "/nonexistent", "-c", "version", "IMG"}, 0, "version 1.1", ""},
        {"-c runs each command, no prompt or banner", {"IMG", "--no-color", "-c", "cd /Documents; ls\nvolinfo"}, 0,
         "readme.txt", "DMG type"},
        {"-f runs a file of commands", {"-f", script, "IMG"}, 0, "readme.txt", ""},
        {"-f skips comments and blank lines, takes CRLF and ';'", {"--bail", "-f", commented, "IMG"}, 0, "readme.txt", ""},
        {"-f - reads standard input", {"-f", "-", "IMG"}, 0, "readme.txt", "", false, "\x01", "cd /Documents\nls\n"},
        {"-f a folder is a usage error", {"-f", "/", "IMG"}, 2, "", "cannot read the script '/': Is a directory"},
        {"-f a missing file is a usage error", {"-f", "/nonexistent"}, 2, "", "/nonexistent': No such file"},
        {"a script's reports go to standard output", {"IMG", "-c", "volinfo; help ls; version"}, 0,
         "Volume Header:\n\tSignature:", "DMG type", false, "\x01"},
        {"--color=auto writes no colour into a pipe", {"--color=auto", "IMG", "-c", "ls"}, 0, "Documents", "", false, "\033"},
        {"--color takes auto, always or never", {"--color=sometimes"}, 2, "", "WHEN is auto, always or never"},
        // fs waits in open() until the fifo has a writer, which comes after the Ctrl-C
        {"Ctrl-C stops a script, said so", {"IMG", "-c", "!mkfifo " + fifo + "\n!(sleep 0.2 && kill -INT $PPID && exec 3<>" + fifo +
                                             " && sleep 0.3) >/dev/null 2>&1 &\nfs " + fifo + "\nversion"}, 1, "", "\nStopped\n", false, "version 1.1"},
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
        RunResult r = runTarnwick(args, c.input);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_NE(r.out.find(c.outHas), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_NE(r.err.find(c.errHas), std::string::npos) << c.name << "\n" << r.err;
        EXPECT_EQ(r.out.find(c.outLacks), std::string::npos) << c.name;
        EXPECT_TRUE(!c.errEmpty || r.err.empty()) << c.name;
        EXPECT_EQ(r.err.find("Tarnwick>"), std::string::npos) << c.name << ": no prompt in a script";
    }
    // Both streams into one pipe: each line comes where it was produced (volinfo's first line is on
    // standard output, the rest of its report on standard error when the commands come from a pipe).
    RunResult both = runCommand({"sh", "-c", "exec \"$0\" \"$1\" 2>&1", TARNWICK_BIN, demoImage()}, "volinfo\n");
    EXPECT_LT(both.out.find("SIG: 2b48\n"), both.out.find("This is a drive")) << both.out;
}

namespace {

// The shell on a pseudo-terminal, driven key by key as a user types.
struct Terminal {
    int master_ = -1;
    pid_t pid_ = forkpty(&master_, nullptr, nullptr, nullptr);

    // `env`: "NAME=value" entries set after the defaults.
    explicit Terminal(const std::vector<std::string> &args, std::vector<std::string> env = {}) {
        if (pid_ != 0) return;
        setenv("HOME", scratchDir().c_str(), 1), setenv("TERM", "xterm", 1), setenv("TZ", "UTC", 1);
        for (auto &e : env) putenv(e.data());
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
    hfsbuild::Volume volume = hfsbuild::demoVolume();
    volume.nodes.push_back(hfsbuild::fileNode("/nai\xCC\x88ve/u\xCC\x88" "ber.txt", "x"));   // stored decomposed
    // Colour on: standard output is a terminal, and an empty NO_COLOR asks for nothing.
    Terminal t({writeScratch("cli-terminal.hfs", hfsbuild::buildVolume(volume))}, {"NO_COLOR="});
    const std::string kRoot = "(Demo:/)>\033[0;0m ", kPictures = "(Demo:/Pictures)>\033[0;0m ";
    auto after = [&](const std::string &keys, const std::string &marker) { return t.type(keys), t.readUntil(marker); };
    EXPECT_NE(t.readUntil(kRoot).find("\033[1;1mTarnwick" + kRoot), std::string::npos);   // bold, its codes whole
    EXPECT_NE(after("version\r", kRoot).find("version 1.1"), std::string::npos);
    EXPECT_NE(after("\x1b[A\r", kRoot).find("version 1.1"), std::string::npos);   // the up arrow recalls the last line
    EXPECT_NE(after("cd /Pict\t\r", kPictures).find(kPictures), std::string::npos);   // a path completes, a folder with its slash
    EXPECT_NE(after("partial line\x03", kPictures).find(kPictures), std::string::npos);   // Ctrl-C clears the line, the session goes on
    EXPECT_NE(after("vers\t\r", kPictures).find("version 1.1"), std::string::npos);   // a command name completes
    EXPECT_NE(after("ls /Documents/no\t\r", "todo.txt").find("todo.txt"), std::string::npos);   // in a folder below
    EXPECT_EQ(after("ls /nowhere/deeper/x\t", "\a").find("not found"), std::string::npos);   // a miss only rings
    EXPECT_NE(after("\x15ls /nai\t", "ve/").find("\xC3\xAFve/"), std::string::npos);   // drawn composed
    EXPECT_NE(after("\t\r", kPictures).find(" u\xCC\x88" "ber.txt\r\n"), std::string::npos);   // characters deleted, not bytes
    EXPECT_NE(after("ls /na\xC3\xAF\t\t\r", kPictures).find(" u\xCC\x88" "ber.txt\r\n"), std::string::npos);   // typed precomposed
    EXPECT_NE(after("\x15quit\r", "Zai Jian!").find("Zai Jian!"), std::string::npos);
    std::ifstream history(scratchDir() + "/.tarnwick_history");
    std::string saved((std::istreambuf_iterator<char>(history)), std::istreambuf_iterator<char>());
    EXPECT_NE(saved.find("cd\\040/Pictures/"), std::string::npos) << saved;
    for (const char *env : {"TERM=dumb", "NO_COLOR=1"}) {
        Terminal plain({demoImage()}, {env});
        EXPECT_NE(plain.readUntil("(Demo:/)> ").find("\nTarnwick(Demo:/)> "), std::string::npos) << env;
    }
}
