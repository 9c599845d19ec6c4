// Disk images read through their format libraries (libewf, libvmdk, libvhdi, libqcow). The four
// share one shape: an opaque handle read at an offset, and errors as objects to print and free;
// so one Image serves them all, and each format's file only opens its handle.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "base/messages.h"
#include "image/image.h"

// A library's calls, its handle and error types seen as the intptr_t they are declared as.
struct LibraryCalls {
    const char *name;   // "libewf"
    int (*close)(intptr_t *handle, intptr_t **error);
    int (*free)(intptr_t **handle, intptr_t **error);
    ssize_t (*read)(intptr_t *handle, void *buffer, size_t len, off64_t position, intptr_t **error);
    int (*errorTrace)(intptr_t *error, char *text, size_t size);   // a line per call, innermost first
    void (*freeError)(intptr_t **error);
    // Whether bytes just read are known to be damaged, for a library that reads them anyway; or null.
    bool (*readDamaged)(intptr_t *handle, uint64_t position, uint64_t length) = nullptr;
    // The digests of the media the image's maker stored; or null.
    std::vector<StoredDigest> (*digests)(intptr_t *handle) = nullptr;
};

// The libraries give a text (a file name) through a pair of calls, its size and then its bytes.
using TextSizeCall = int (*)(intptr_t *object, size_t *size, intptr_t **error);
using TextCall = int (*)(intptr_t *object, uint8_t *text, size_t size, intptr_t **error);

// A library handle, freed (closed first once opened) when dropped.
class LibraryHandle {
public:
    explicit LibraryHandle(const LibraryCalls &calls) : calls_(calls) {}
    LibraryHandle(const LibraryHandle &) = delete;
    LibraryHandle &operator=(const LibraryHandle &) = delete;
    ~LibraryHandle();

    const LibraryCalls &calls() const { return calls_; }
    // Where the library's initialize call puts the handle, and its error.
    intptr_t **slot() { return &handle_; }
    intptr_t *get() const { return handle_; }
    intptr_t **error() { return &error_; }
    void markOpen() { open_ = true; }
    // What the last call failed on, in the library's words: the innermost cause, the most precise
    // (as "unsupported incompatible features flags: 0x00000008"). Forgets the error.
    std::string takeError();
    // A name the library keeps about `object` (the handle, or a part of it): empty when it has none.
    std::string text(intptr_t *object, TextSizeCall sizeCall, TextCall textCall);

private:
    const LibraryCalls &calls_;
    intptr_t *handle_ = nullptr;
    intptr_t *error_ = nullptr;
    bool open_ = false;
};

// Says that the library could not open `path`, in its words; nothing.
std::unique_ptr<Image> sayCannotOpen(LibraryHandle &handle, const std::string &path, Messages &messages);

// A handle made by `initialize` and opened on `path` with `open` (readFlag: the library's read-only
// access); null after saying why.
using InitializeCall = int (*)(intptr_t **handle, intptr_t **error);
using OpenCall = int (*)(intptr_t *handle, const char *path, int flags, intptr_t **error);
std::unique_ptr<LibraryHandle> openLibraryHandle(const LibraryCalls &calls, InitializeCall initialize, OpenCall open,
                                                 int readFlag, const std::string &path, Messages &messages);

// Says that `path`, `what`, holds only the changes to `parent`, which is not read; nothing.
std::unique_ptr<Image> sayNeedsParent(const std::string &path, const char *what, const std::string &parent,
                                      Messages &messages);

// The media an opened handle reads, `size` bytes.
class LibraryImage final : public Image {
public:
    // Sizes past what a read's signed position reaches are cut there.
    LibraryImage(std::unique_ptr<LibraryHandle> handle, uint64_t size)
        : handle_(std::move(handle)), size_(std::min<uint64_t>(size, INT64_MAX)) {}
    ssize_t readAt(void *buffer, size_t len, uint64_t position) const override;
    uint64_t size() const override { return size_; }
    std::vector<StoredDigest> storedDigests() const override {
        return handle_->calls().digests ? handle_->calls().digests(handle_->get()) : std::vector<StoredDigest>{};
    }

private:
    std::unique_ptr<LibraryHandle> handle_;
    uint64_t size_;
};

// The openers, one per library; each is defined only in a build that found its library.
std::unique_ptr<Image> openEwf(const std::string &path, Messages &messages);
std::unique_ptr<Image> openVmdk(const std::string &path, Messages &messages);
std::unique_ptr<Image> openVhdi(const std::string &path, Messages &messages);
std::unique_ptr<Image> openQcow(const std::string &path, Messages &messages);
