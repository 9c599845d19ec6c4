#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

extern char **environ;

namespace {

std::vector<std::string> mergedEnvironment(const std::vector<std::string> &changes) {
    std::vector<std::string> result;
    for (char **e = environ; *e; ++e) result.emplace_back(*e);
    for (const std::string &change : changes) {
        bool remove = change[0] == '-';
        std::string name = remove ? change.substr(1) : change.substr(0, change.find('='));
        std::erase_if(result, [&](const std::string &v) { return v.compare(0, name.size() + 1, name + "=") == 0; });
        if (!remove) result.push_back(change);
    }
    return result;
}

std::vector<char *> cStrings(std::vector<std::string> &v) {
    std::vector<char *> p;
    for (std::string &s : v) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

RunResult runCommand(const std::vector<std::string> &argv, const std::string &input,
                     const std::vector<std::string> &env) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&fa, fd);
    // The child starts with exactly stdin, stdout and stderr, whatever the test runner left open,
    // so the descriptors it opens are the same on every machine.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    std::vector<std::string> args = argv, envs = mergedEnvironment(env);
    std::vector<char *> cargs = cStrings(args), cenv = cStrings(envs);
    pid_t pid;
    int rc = posix_spawnp(&pid, cargs[0], &fa, nullptr, cargs.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]); close(out[1]); close(err[1]);
    RunResult r;
    if (rc != 0) {
        close(in[1]); close(out[0]); close(err[0]);
        r.err = std::string("spawn failed: ") + strerror(rc);
        return r;
    }
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    if (input.empty()) { close(in[1]); in[1] = -1; }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 3, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) { close(fds[i].fd); fds[i].fd = -1; } else sinks[i]->append(buf, n);
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
            if (n > 0) written += n;
            if (n <= 0 || written == input.size()) { close(fds[2].fd); fds[2].fd = -1; }
        }
    }
    if (fds[2].fd >= 0) close(fds[2].fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

RunResult runTarnwick(const std::vector<std::string> &args, const std::string &input,
                      const std::vector<std::string> &env) {
    // Colour on, as at a terminal: the transcripts begin with "color", which turns it off.
    std::vector<std::string> argv{TARNWICK_BIN, "--color=always"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> e{"TZ=UTC", "-ORLODEBUG", "-PARTOFF"};
    e.insert(e.end(), env.begin(), env.end());
    return runCommand(argv, input, e);
}

bool binaryHasASan() {
    static const bool asan = [] {
        std::vector<uint8_t> binary = readWholeFile(TARNWICK_BIN);
        return std::string_view(reinterpret_cast<const char *>(binary.data()), binary.size()).find("__asan_init") !=
               std::string_view::npos;
    }();
    return asan;
}

RunResult runConfined(const std::string &image, const std::string &command, const std::string &tmpSize) {
    if (runCommand({"unshare", "-rm", "true"}).status != 0) return {"", "no mount namespace", 77};
    // The image and the program are opened before the private /tmp hides the scratch folder (and a
    // checkout under /tmp) they lie in.
    std::vector<std::string> argv{"unshare", "-rm", "sh", "-c",
                                  "exec 3<\"$0\" 4<\"$1\"; mount -t tmpfs -o size=\"$2\" none /tmp || exit 77; shift 3; "
                                  "\"$@\" /dev/fd/3; s=$?; echo \"left:$(ls -A /tmp)\"; exit $s",
                                  image, TARNWICK_BIN, tmpSize, "-", "timeout", "-k", "5", binaryHasASan() ? "120" : "20"};
    if (!binaryHasASan()) argv.insert(argv.end(), {"prlimit", "--as=" + std::to_string(256ull << 20), "--"});
    argv.insert(argv.end(), {"/proc/self/fd/4", "-c", command});
    return runCommand(argv, "", {"TZ=UTC", "-ORLODEBUG", "-PARTOFF"});
}

std::string scratchDir() {
    static std::string dir = [] {
        std::string tmpl = "/tmp/tarnwick-test-XXXXXX";
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        return tmpl;
    }();
    return dir;
}

std::string writeScratch(const std::string &name, const std::vector<uint8_t> &bytes) {
    std::string path = scratchDir() + "/" + name;
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
    return path;
}

bool haveTool(const std::string &name) {
    return runCommand({"sh", "-c", "command -v " + name}).status == 0;
}

std::vector<uint8_t> readWholeFile(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

std::string textOf(const std::string &path) {
    std::vector<uint8_t> bytes = readWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

std::vector<uint8_t> bytesOf(const std::string &text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> joined(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const std::vector<uint8_t> &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string corpusPath(const std::string &relative) {
    std::string path = std::string(CORPUS_DIR) + "/" + relative;
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? path : "";
}

std::map<uint64_t, std::string> sevenZipPartitions(const std::string &image) {
    static int extractions = 0;
    std::string dir = scratchDir() + "/7z-" + std::to_string(++extractions);
    runCommand({"7zz", "x", "-y", "-tdmg", "-o" + dir, image});
    std::map<uint64_t, std::string> parts;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        parts[std::stoull(entry.path().filename().string())] = entry.path().string();
    return parts;
}

std::vector<uint8_t> sevenZipPartition(const std::string &image, const std::string &kind) {
    for (const auto &[index, path] : sevenZipPartitions(image))
        if (path.substr(path.rfind('.') + 1).starts_with(kind)) return readWholeFile(path);
    return {};
}

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(size);
    for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
    return data;
}

std::vector<uint8_t> vocabularyText(size_t size, unsigned seed) {
    static const char *words[] = {"volume", "catalog", "extent", "fork", "node", "leaf", "key", "a", "of",
                                  "the", "header", "bitmap", "journal", "attribute", "btree", "\n"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < size) s += std::string(words[rng() % 16]) + (rng() % 7 ? " " : std::to_string(rng() % 1000));
    return {s.begin(), s.begin() + static_cast<long>(size)};
}
