#include "commands/password.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/bits.h"
#include "base/output.h"

namespace {

constexpr size_t kMaxPassword = 1024;

void onInterrupt(int) { g_Interrupted = 1; }

// A line typed at the terminal without echo, or nothing when there is no terminal (or Ctrl-C came).
// The terminal's modes and the SIGINT action are put back however the typing ends.
std::optional<std::string> typedLine(const std::string &prompt) {
    UniqueFd tty(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios saved;
    if (!tty || tcgetattr(tty.get(), &saved) != 0) return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    // Without SA_RESTART, so that Ctrl-C ends the read.
    struct sigaction stop {}, previous {};
    stop.sa_handler = onInterrupt;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, &previous);
    // Echo goes off before the prompt shows, so that nothing typed after it is echoed (or dropped
    // by the flush of what was typed ahead).
    tcsetattr(tty.get(), TCSAFLUSH, &quiet);
    writeFully(tty.get(), prompt.data(), prompt.size());
    std::string line;
    char c = 0;
    ssize_t got = 0;
    while (!g_Interrupted && line.size() <= kMaxPassword && (got = read(tty.get(), &c, 1)) != 0 && c != '\n')
        if (got == 1) line += c;
        else if (errno != EINTR) break;
    tcsetattr(tty.get(), TCSAFLUSH, &saved);   // also drops what was typed past the limit
    writeFully(tty.get(), "\n", 1);
    sigaction(SIGINT, &previous, nullptr);
    if (g_Interrupted && previous.sa_handler == SIG_DFL) raise(SIGINT);   // the Ctrl-C that would have ended the program
    if (g_Interrupted || got < 0) return std::nullopt;
    return line;
}

// The first line of `path`, without its line end ("\n" or "\r\n").
std::optional<std::string> firstLine(const std::string &path, Messages &messages) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[kMaxPassword + 2];
    ssize_t got = fd ? readFully(fd.get(), buffer, sizeof buffer) : -1;
    if (got < 0) {
        messages.err("Cannot read the password file '%s': %s\n", visible(path).c_str(), strerror(errno));
        return std::nullopt;
    }
    std::string line(buffer, static_cast<size_t>(got));
    line.erase(std::min(line.find('\n'), line.size()));
    if (line.ends_with('\r')) line.pop_back();
    return line;
}

}  // namespace

std::optional<std::string> imagePassword(const Session &session, const std::string &image, Messages &messages) {
    std::optional<std::string> password;
    if (session.passwordFile)
        password = firstLine(*session.passwordFile, messages);
    else if (const char *variable = getenv("TARNWICK_PASSWORD"))
        password = variable;
    else if (!(password = typedLine("Password for " + visible(image) + ": ")) && !g_Interrupted)
        messages.err("This disk image is encrypted and no password was given (--password-file FILE or TARNWICK_PASSWORD)\n");
    if (password && password->size() > kMaxPassword) {
        messages.err("The password is longer than %zu bytes\n", kMaxPassword);
        return std::nullopt;
    }
    return password;
}
