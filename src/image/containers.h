// The formats a disk image may come wrapped in, read before its partition map or UDIF trailer is
// looked for: forensic and virtual-machine disk images (E01, VMDK, VHD, VHDX, QCOW), sparse bundles
// (a folder), sparse images and encrypted images, stacked as they come.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/messages.h"
#include "image/gpt.h"

// Asked once an image turns out to be encrypted: the password, or nothing when none is to be had.
using PasswordSource = std::function<std::optional<std::string>()>;

// The image at `path` (a file, a device or a sparse bundle) with the formats it is wrapped in
// read, probed. Nothing when it cannot be opened; *refused is then set when a wrapping format said
// why (the image is not to be tried as anything else).
std::optional<Probe> openUnwrapped(const std::string &path, const PasswordSource &password, bool *refused,
                                   Messages &messages);
