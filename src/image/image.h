// What a volume is read through: an image (a file or device today) that gives bytes at a position.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "base/bits.h"

// A digest of an image's data that its maker stored with it (an E01's MD5 and SHA1).
struct StoredDigest {
    const char *algorithm;   // as OpenSSL names it: "MD5", "SHA1"
    std::vector<uint8_t> value;
};

class Image {
public:
    virtual ~Image() = default;
    // Reads up to len bytes at an absolute position; the count read (less than len only at the
    // image's end) or -1 on error.
    virtual ssize_t readAt(void *buffer, size_t len, uint64_t position) const = 0;
    // The image's size in bytes, 0 when unknown (a device that does not say).
    virtual uint64_t size() const = 0;
    // A descriptor the kernel can copy from directly, or -1.
    virtual int descriptor() const { return -1; }
    // The digests of the whole image stored with it, for `verify`.
    virtual std::vector<StoredDigest> storedDigests() const { return {}; }
};

// A file or device, owned: closed with the image.
class FileImage final : public Image {
public:
    explicit FileImage(UniqueFd fd) : fd_(std::move(fd)), size_(sizeOfFd(fd_.get())) {}
    ssize_t readAt(void *buffer, size_t len, uint64_t position) const override {
        return ::readAt(fd_.get(), buffer, len, position);
    }
    uint64_t size() const override { return size_; }
    int descriptor() const override { return fd_.get(); }

private:
    UniqueFd fd_;
    uint64_t size_;
};
