#include "image/containers.h"

#include "image/disk_formats.h"
#include "image/encrypted.h"
#include "image/sparse.h"
#include "image/sparse_bundle.h"

namespace {

// Wrappings inside wrappings are followed this far: an encrypted sparse image is two.
constexpr int kMostWrappings = 4;

// `data` decrypted: only a readable header is worth a password, the rest is said without asking.
std::shared_ptr<const Image> decrypted(std::shared_ptr<const Image> data, const std::optional<EncryptedHeader> &header,
                                       const PasswordSource &password, Messages &messages) {
    if (!header) return nullptr;
    std::optional<std::string> typed = password();
    if (!typed) return nullptr;   // said where it was asked for
    return openEncrypted(std::move(data), *header, *typed, messages);
}

// The image inside the probed one, when it is wrapped; the probe itself when it is not.
std::shared_ptr<const Image> unwrapOnce(const Probe &probe, const PasswordSource &password, Messages &messages) {
    uint8_t end[512] = {};
    uint64_t size = probe.size();
    bool hasEnd = size >= sizeof end && probe.image->readAt(end, sizeof end, size - sizeof end) == static_cast<ssize_t>(sizeof end);
    if (isEncryptedImage(probe.view(), hasEnd ? Bytes{end, sizeof end} : Bytes{})) {
        if (!isEncryptedImage(probe.view(), {})) return openEncrypted(probe.image, "", messages);   // says which
        return decrypted(probe.image, parseEncryptedHeader(probe.view(), size, messages), password, messages);
    }
    if (isSparseImage(probe.view())) {
        messages.err("Sparse image: reading its bands\n");
        return openSparseImage(probe.image, messages);
    }
    return probe.image;
}

}  // namespace

std::optional<Probe> openUnwrapped(const std::string &path, const PasswordSource &password, bool *refused,
                                   Messages &messages) {
    std::optional<Probe> probe;
    if (isSparseBundle(path)) {
        messages.err("Sparse bundle: reading its bands\n");
        std::string token;
        std::shared_ptr<const Image> bundle = openSparseBundle(path, &token, messages);
        Bytes header{reinterpret_cast<const uint8_t *>(token.data()), token.size()};
        if (bundle && !token.empty())
            bundle = decrypted(bundle, parseEncryptedToken(header, bundle->size(), messages), password, messages);
        if (!bundle) {
            *refused = true;
            return std::nullopt;
        }
        probe = probeImage(std::move(bundle), -1, messages);
    } else {
        probe = openProbe(path.c_str(), messages);
        // Forensic and virtual-machine formats name their files (an E01's segments, a VMDK's
        // extents): only the file given is read through them.
        uint8_t footer[512] = {};
        uint64_t size = probe ? probe->size() : 0;
        bool hasFooter = size >= sizeof footer && probe->image->readAt(footer, sizeof footer, size - sizeof footer) ==
                                                      static_cast<ssize_t>(sizeof footer);
        if (auto format = probe ? diskFormatOf(probe->view(), hasFooter ? Bytes{footer, sizeof footer} : Bytes{}) : std::nullopt) {
            messages.err("%s image: reading the disk it holds\n", diskFormatName(*format));
            std::shared_ptr<const Image> disk = openDiskFormat(path, *format, messages);
            if (!disk) {
                *refused = true;
                return std::nullopt;
            }
            probe = probeImage(std::move(disk), probe->number, messages);
        }
    }
    for (int depth = 0; probe && depth < kMostWrappings; ++depth) {
        std::shared_ptr<const Image> inner = unwrapOnce(*probe, password, messages);
        if (inner == probe->image) return probe;
        if (!inner) {
            *refused = true;
            return std::nullopt;
        }
        probe = probeImage(std::move(inner), probe->number, messages);
    }
    return probe;
}
