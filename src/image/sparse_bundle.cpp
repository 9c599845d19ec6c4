#include "image/sparse_bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "base/output.h"
#include "image/bands.h"
#include "image/xml.h"

// What is relied on: Info.plist's top-level dictionary gives band-size and size in bytes,
// bundle-backingstore-version 1 and diskimage-bundle-type com.apple.diskimage.sparsebundle; band k
// (from 0) is the file bands/<k in lowercase hexadecimal>. A band never written has no file and
// reads as zeros, as does whatever a band's file stops short of. An encrypted bundle keeps the
// header of an encrypted image in its file `token` (empty or missing otherwise), and ciphertext in
// its bands.

namespace {

constexpr const char *kBundleType = "com.apple.diskimage.sparsebundle";
constexpr uint64_t kMinBandBytes = 512, kMaxBandBytes = 1ull << 32;   // hdiutil makes 8 MiB bands
constexpr off_t kMaxPlistBytes = 1 << 20;
constexpr off_t kMaxTokenBytes = 1 << 20;   // an encryption header and its key entries
constexpr size_t kOpenBands = 32;   // band files held open; the least recently read goes first

// A regular file in the folder dirFd, opened without following a link or waiting on a FIFO; -1
// with errno set otherwise.
UniqueFd openRegular(int dirFd, const char *name) {
    UniqueFd fd(openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (fd && (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        fd = UniqueFd();
        errno = EINVAL;
    }
    return fd;
}

class SparseBundle final : public BandedImage {
public:
    SparseBundle(UniqueFd bands, uint64_t size, uint64_t bandBytes)
        : BandedImage(size, bandBytes), bands_(std::move(bands)) {}

protected:
    ssize_t readBand(uint64_t band, uint64_t within, uint8_t *buffer, size_t len) const override {
        const Open *file = bandFile(band);
        if (!file) return -1;
        return file->fd ? ::readAt(file->fd.get(), buffer, len, within) : 0;
    }

private:
    struct Open {
        uint64_t band, used;
        UniqueFd fd;   // none: the band has no file
    };

    // The band's file from the cache, opened when it is not there; nothing on an error.
    const Open *bandFile(uint64_t band) const {
        ++clock_;
        for (Open &open : open_)
            if (open.band == band) {
                open.used = clock_;
                return &open;
            }
        char name[24];
        snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(band));
        UniqueFd fd = openRegular(bands_.get(), name);
        if (!fd && errno != ENOENT) return nullptr;
        Open opened{band, clock_, std::move(fd)};
        if (open_.size() < kOpenBands) return &open_.emplace_back(std::move(opened));
        Open *oldest = &open_[0];
        for (Open &open : open_)
            if (open.used < oldest->used) oldest = &open;
        *oldest = std::move(opened);
        return oldest;
    }

    UniqueFd bands_;
    mutable std::vector<Open> open_;
    mutable uint64_t clock_ = 0;
};

// The whole of the bundle's file `name`, at most `limit` bytes; nothing after one line saying why.
// A file that is not there reads as empty when it may be missing.
std::optional<std::string> readSmall(int folder, const char *name, off_t limit, bool mayBeMissing, Messages &messages) {
    UniqueFd fd = openRegular(folder, name);
    struct stat st;
    if (!fd && errno == ENOENT && mayBeMissing) return "";
    if (!fd || fstat(fd.get(), &st) != 0) {
        messages.err("The sparse bundle's %s cannot be opened: %s\n", name, strerror(errno));
        return std::nullopt;
    }
    if (st.st_size > limit) {
        messages.err("The sparse bundle's %s holds %lld bytes, more than the %lld it is read up to\n", name,
                     static_cast<long long>(st.st_size), static_cast<long long>(limit));
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    ssize_t got = readAt(fd.get(), text.data(), text.size(), 0);
    if (got < 0) {
        messages.err("The sparse bundle's %s cannot be read: %s\n", name, strerror(errno));
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(got));
    return text;
}

struct Geometry {
    uint64_t bandBytes, size;
};

// The four keys, checked; nothing after saying what is wrong.
std::optional<Geometry> geometry(const std::map<std::string, PlistValue> &keys, Messages &messages) {
    auto value = [&](const char *key, const char *type) -> const PlistValue * {
        auto found = keys.find(key);
        if (found != keys.end() && found->second.type == type) return &found->second;
        messages.err("The sparse bundle's Info.plist has no <%s> for %s\n", type, key);
        return nullptr;
    };
    auto number = [&](const char *key) -> std::optional<uint64_t> {
        const PlistValue *found = value(key, "integer");
        if (!found) return std::nullopt;
        std::optional<uint64_t> n = plistUnsigned(*found);
        if (!n) messages.err("The sparse bundle's %s, \"%s\", is no number\n", key, visible(found->text).c_str());
        return n;
    };
    const PlistValue *type = value("diskimage-bundle-type", "string");
    if (!type) return std::nullopt;
    if (type->text != kBundleType) {
        messages.err("The bundle is of type \"%s\", not a sparse bundle (%s)\n", visible(type->text).c_str(), kBundleType);
        return std::nullopt;
    }
    std::optional<uint64_t> version = number("bundle-backingstore-version");
    if (!version) return std::nullopt;
    if (*version != 1) {
        messages.err("The sparse bundle has backing store version %llu; Tarnwick reads version 1\n",
                     static_cast<unsigned long long>(*version));
        return std::nullopt;
    }
    std::optional<uint64_t> bandBytes = number("band-size"), size = bandBytes ? number("size") : std::nullopt;
    if (!size) return std::nullopt;
    if (*bandBytes < kMinBandBytes || *bandBytes > kMaxBandBytes) {
        messages.err("The sparse bundle's band size, %llu bytes, is not one of %llu bytes to %llu GiB\n",
                     static_cast<unsigned long long>(*bandBytes), static_cast<unsigned long long>(kMinBandBytes),
                     static_cast<unsigned long long>(kMaxBandBytes >> 30));
        return std::nullopt;
    }
    if (*size > static_cast<uint64_t>(INT64_MAX)) {
        messages.err("The sparse bundle's size, %llu bytes, is more than an image can hold\n",
                     static_cast<unsigned long long>(*size));
        return std::nullopt;
    }
    return Geometry{*bandBytes, *size};
}

}  // namespace

bool isSparseBundle(const std::string &path) {
    struct stat folder, plist;
    return stat(path.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) &&
           stat((path + "/Info.plist").c_str(), &plist) == 0;
}

std::unique_ptr<Image> openSparseBundle(const std::string &path, std::string *token, Messages &messages) {
    UniqueFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        messages.err("Cannot open the sparse bundle %s: %s\n", visible(path).c_str(), strerror(errno));
        return nullptr;
    }
    std::optional<std::string> text = readSmall(folder.get(), "Info.plist", kMaxPlistBytes, false, messages);
    if (!text) return nullptr;
    std::string error;
    auto keys = plistDictionary(*text, error);
    if (!keys) {
        messages.err("The sparse bundle's Info.plist is damaged: %s\n", visible(error).c_str());
        return nullptr;
    }
    std::optional<Geometry> shape = geometry(*keys, messages);
    if (!shape) return nullptr;
    std::optional<std::string> header = readSmall(folder.get(), "token", kMaxTokenBytes, true, messages);
    if (!header) return nullptr;
    *token = std::move(*header);
    UniqueFd bands(openat(folder.get(), "bands", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!bands) {
        messages.err("The sparse bundle's bands folder cannot be opened: %s\n", strerror(errno));
        return nullptr;
    }
    return std::make_unique<SparseBundle>(std::move(bands), shape->size, shape->bandBytes);
}
