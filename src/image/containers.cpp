#include "image/containers.h"

#include "image/sparse.h"
#include "image/sparse_bundle.h"

namespace {

// Wrappings inside wrappings are followed this far: an encrypted sparse image is two.
constexpr int kMostWrappings = 4;

// The image inside the probed one, when it is wrapped; the probe itself when it is not.
std::shared_ptr<const Image> unwrapOnce(const Probe &probe, const PasswordSource &, Messages &messages) {
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
        std::shared_ptr<const Image> bundle = openSparseBundle(path, messages);
        if (!bundle) {
            *refused = true;
            return std::nullopt;
        }
        probe = probeImage(std::move(bundle), -1, messages);
    } else {
        probe = openProbe(path.c_str(), messages);
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
