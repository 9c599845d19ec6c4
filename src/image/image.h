// What a volume is read through: an image (a file or device today) that gives bytes at a position.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "base/bits.h"

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
