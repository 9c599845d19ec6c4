#include "image/library_image.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/output.h"

namespace {

// The libraries take a read's length as a signed size; pieces keep every call small.
constexpr size_t kPiece = 16 << 20;
constexpr size_t kMaxText = 65536;

}  // namespace

LibraryHandle::~LibraryHandle() {
    if (open_) calls_.close(handle_, &error_);
    if (handle_) calls_.free(&handle_, &error_);
    if (error_) calls_.freeError(&error_);
}

std::string LibraryHandle::takeError() {
    if (!error_) return "unknown error";
    char text[4096] = {};
    calls_.errorTrace(error_, text, sizeof text - 1);
    calls_.freeError(&error_);
    std::string line(text, strcspn(text, "\n"));
    // Each line begins with the name of the function that failed: not for users.
    if (size_t colon = line.find(": "); colon != std::string::npos && line.find(' ') > colon) line.erase(0, colon + 2);
    while (!line.empty() && (line.back() == '.' || line.back() == ' ')) line.pop_back();
    return line.empty() ? "unknown error" : line;
}

std::unique_ptr<Image> sayCannotOpen(LibraryHandle &handle, const std::string &path, Messages &messages) {
    messages.err("%s cannot open %s: %s\n", handle.calls().name, visible(path).c_str(),
                 visible(handle.takeError()).c_str());
    return nullptr;
}

std::unique_ptr<LibraryHandle> openLibraryHandle(const LibraryCalls &calls, InitializeCall initialize, OpenCall open,
                                                 int readFlag, const std::string &path, Messages &messages) {
    auto handle = std::make_unique<LibraryHandle>(calls);
    if (initialize(handle->slot(), handle->error()) != 1 ||
        open(handle->get(), path.c_str(), readFlag, handle->error()) != 1) {
        sayCannotOpen(*handle, path, messages);
        return nullptr;
    }
    handle->markOpen();
    return handle;
}

std::string LibraryHandle::text(intptr_t *object, TextSizeCall sizeCall, TextCall textCall) {
    size_t size = 0;
    // The texts are file names: a longer one is damage, and left unread.
    if (sizeCall(object, &size, &error_) != 1 || size == 0 || size > kMaxText) {
        takeError();
        return "";
    }
    std::string text(size, '\0');
    if (textCall(object, reinterpret_cast<uint8_t *>(text.data()), text.size(), &error_) != 1) {
        takeError();
        return "";
    }
    text.resize(strnlen(text.data(), text.size()));
    return text;
}

std::unique_ptr<Image> sayNeedsParent(const std::string &path, const char *what, const std::string &parent,
                                      Messages &messages) {
    messages.err("%s is %s holding only the changes to %s; Tarnwick reads no such chain of images\n", visible(path).c_str(),
                 what, parent.empty() ? "an image it does not name" : visible(parent).c_str());
    return nullptr;
}

ssize_t LibraryImage::readAt(void *buffer, size_t len, uint64_t position) const {
    if (position >= size_) return 0;
    size_t wanted = static_cast<size_t>(std::min<uint64_t>(len, size_ - position));
    auto *out = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < wanted) {
        size_t step = std::min(wanted - done, kPiece);
        ssize_t got = handle_->calls().read(handle_->get(), out + done, step, static_cast<off64_t>(position + done),
                                            handle_->error());
        if (got < 0) {
            handle_->takeError();
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    if (handle_->calls().readDamaged && handle_->calls().readDamaged(handle_->get(), position, done)) return -1;
    return static_cast<ssize_t>(done);
}
