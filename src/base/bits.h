// Byte order and the checked view through which every on-disk field is read; descriptor ownership.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "base/messages.h"

uint16_t reverse16(uint16_t value);
uint32_t reverse32(uint32_t value);
uint64_t reverse64(uint64_t value);

// A non-owning view of raw on-disk bytes. Reads outside the view give 0 and never touch memory
// outside it; sub-views outside it are empty. Range checks are in subtraction form so they cannot wrap.
struct Bytes {
    const uint8_t *data = nullptr;
    size_t size = 0;

    bool has(size_t off, size_t len) const { return off <= size && len <= size - off; }
    uint8_t u8(size_t off) const { return has(off, 1) ? data[off] : 0; }
    // Inline: every descent of a B-tree reads its keys through these.
    uint16_t be16(size_t off) const { return has(off, 2) ? static_cast<uint16_t>(data[off] << 8 | data[off + 1]) : 0; }
    uint32_t be32(size_t off) const { return has(off, 4) ? static_cast<uint32_t>(be16(off)) << 16 | be16(off + 2) : 0; }
    uint64_t be64(size_t off) const { return has(off, 8) ? static_cast<uint64_t>(be32(off)) << 32 | be32(off + 4) : 0; }
    uint16_t le16(size_t off) const { return has(off, 2) ? static_cast<uint16_t>(data[off] | data[off + 1] << 8) : 0; }
    uint32_t le32(size_t off) const { return has(off, 4) ? le16(off) | static_cast<uint32_t>(le16(off + 2)) << 16 : 0; }
    uint64_t le64(size_t off) const { return has(off, 8) ? le32(off) | static_cast<uint64_t>(le32(off + 4)) << 32 : 0; }
    Bytes sub(size_t off, size_t len) const { return has(off, len) ? Bytes{data + off, len} : Bytes{}; }
    Bytes from(size_t off) const { return off <= size ? Bytes{data + off, size - off} : Bytes{}; }
    bool empty() const { return size == 0; }
};

// A 16-byte GUID in stored order as 36 hyphenated hexadecimal digits (all zero when short).
std::string guidText(Bytes guid);

// Owns a file descriptor; closes it unless released.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Reads up to len bytes at an absolute position, retrying short reads; returns the count read
// (less than len only at end of file) or -1 on error.
ssize_t readAt(int fd, void *buffer, size_t len, uint64_t position);
// The same from the descriptor's current position, moving it.
ssize_t readFully(int fd, void *buffer, size_t len);
// Writes all of len bytes; returns false on an error or a short write.
bool writeFully(int fd, const void *buffer, size_t len);
// Whether every byte is zero (what need not be written to a file read back as zeros where unwritten).
bool allZero(const uint8_t *data, uint64_t length);
// Creates (or empties) one of the program's output files under /tmp, mode 0600. A symbolic link
// planted at the path is refused, not followed; failures are said on `messages`' standard error. A
// relative path is taken in the folder dirFd (openat).
UniqueFd createOutputFile(const char *path, Messages &messages, int dirFd = AT_FDCWD);
// Size in bytes of the file or block device behind fd, 0 when unknown.
uint64_t sizeOfFd(int fd);
