#include "base/bits.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <uuid/uuid.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

uint16_t reverse16(uint16_t value) { return __builtin_bswap16(value); }
uint32_t reverse32(uint32_t value) { return __builtin_bswap32(value); }
uint64_t reverse64(uint64_t value) { return __builtin_bswap64(value); }

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) close(fd_);
}

ssize_t readAt(int fd, void *buffer, size_t len, uint64_t position) {
    size_t done = 0;
    auto *out = static_cast<uint8_t *>(buffer);
    while (done < len) {
        ssize_t n = pread(fd, out + done, len - done, static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t readFully(int fd, void *buffer, size_t len) {
    size_t done = 0;
    auto *out = static_cast<uint8_t *>(buffer);
    while (done < len) {
        ssize_t n = read(fd, out + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool writeFully(int fd, const void *buffer, size_t len) {
    size_t done = 0;
    auto *in = static_cast<const uint8_t *>(buffer);
    while (done < len) {
        ssize_t n = write(fd, in + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

uint64_t sizeOfFd(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
    uint64_t bytes = 0;
    if (S_ISBLK(st.st_mode) && ioctl(fd, BLKGETSIZE64, &bytes) == 0) return bytes;
    return 0;
}

std::string guidText(Bytes guid) {
    uuid_t raw = {};
    if (guid.size >= sizeof raw) memcpy(raw, guid.data, sizeof raw);
    char text[37];
    uuid_unparse(raw, text);
    return text;
}

bool allZero(const uint8_t *data, uint64_t length) {
    return length == 0 || (data[0] == 0 && memcmp(data, data + 1, length - 1) == 0);
}

UniqueFd createOutputFile(const char *path, Messages &messages, int dirFd) {
    // O_NONBLOCK: a FIFO planted at the path must not hang the shell; only a regular file is written.
    // Not truncated until it is known to be a file of its own: a hard link planted at the path must
    // not carry the write (or the emptying) into another file.
    UniqueFd fd(openat(dirFd, path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) {
        int err = errno;
        if (err == ELOOP)
            messages.err("%s is a symbolic link: refusing to write through it\n", path);
        else
            messages.err("open: %s\n", strerror(err));
        errno = err;
        return fd;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        messages.err("%s is not a regular file: refusing to write to it\n", path);
        errno = ELOOP;   // already reported
        return UniqueFd();
    }
    if (st.st_nlink > 1) {
        messages.err("%s has other hard links: refusing to write through it\n", path);
        errno = ELOOP;
        return UniqueFd();
    }
    if (ftruncate(fd.get(), 0) != 0) {
        messages.err("truncate: %s\n", strerror(errno));
        return UniqueFd();
    }
    if (fchmod(fd.get(), 0600) != 0) messages.err("fchmod: %s\n", strerror(errno));   // an older file keeps its mode otherwise
    return fd;
}
