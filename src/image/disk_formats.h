// Forensic and virtual-machine disk images: EWF (E01), VMDK, VHD, VHDX and QCOW. Recognised by
// their signatures and read through their libraries (a fixed VHD needs none: it is the disk's
// bytes and a footer); a build made without one of them says so for that format.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/bits.h"
#include "base/messages.h"
#include "image/image.h"

enum class DiskFormat { kEwf, kEwf2, kLogicalEvidence, kVmdk, kVhd, kFixedVhd, kVhdx, kQcow };

// The format a file's first bytes (`start`) or its last 512 (`footer`, where a VHD keeps its own)
// name; nothing for any other file.
std::optional<DiskFormat> diskFormatOf(Bytes start, Bytes footer);
// "E01", "VMDK", "fixed VHD", ...
const char *diskFormatName(DiskFormat format);

// The disk an image file of that format holds (for E01, the set of segment files beginning at
// `path`); nothing after a line saying why not.
std::unique_ptr<Image> openDiskFormat(const std::string &path, DiskFormat format, Messages &messages);
