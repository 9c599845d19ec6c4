#include "image/disk_formats.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/output.h"
#include "image/library_image.h"

namespace {

using namespace std::string_view_literals;

constexpr size_t kVhdFooterSize = 512;
constexpr uint32_t kVhdFixed = 2;   // the footer's disk type

bool startsWith(Bytes bytes, std::string_view signature) {
    return bytes.has(0, signature.size()) && memcmp(bytes.data, signature.data(), signature.size()) == 0;
}

// A fixed VHD: the disk's bytes, then the footer, which is no part of the disk.
class FixedVhdImage final : public Image {
public:
    FixedVhdImage(UniqueFd fd, uint64_t size) : file_(std::move(fd)), size_(size) {}
    ssize_t readAt(void *buffer, size_t len, uint64_t position) const override {
        if (position >= size_) return 0;
        return file_.readAt(buffer, static_cast<size_t>(std::min<uint64_t>(len, size_ - position)), position);
    }
    uint64_t size() const override { return size_; }

private:
    FileImage file_;
    uint64_t size_;
};

std::unique_ptr<Image> openFixedVhd(const std::string &path, Messages &messages) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        messages.err("open: %s\n", strerror(errno));
        return nullptr;
    }
    uint64_t size = sizeOfFd(fd.get());
    if (size < kVhdFooterSize) {
        messages.err("This fixed VHD is shorter than its footer\n");
        return nullptr;
    }
    return std::make_unique<FixedVhdImage>(std::move(fd), size - kVhdFooterSize);
}

[[maybe_unused]] std::unique_ptr<Image> sayBuiltWithout(const char *library, DiskFormat format, Messages &messages) {
    messages.err("Built without %s: Tarnwick cannot read this %s image\n", library, diskFormatName(format));
    return nullptr;
}

}  // namespace

std::optional<DiskFormat> diskFormatOf(Bytes start, Bytes footer) {
    if (startsWith(start, "EVF\x09\x0d\x0a\xff\x00"sv)) return DiskFormat::kEwf;
    if (startsWith(start, "EVF2\x0d\x0a\x81\x00"sv)) return DiskFormat::kEwf2;
    if (startsWith(start, "LVF\x09\x0d\x0a\xff\x00"sv) || startsWith(start, "LEF2\x0d\x0a\x81\x00"sv))
        return DiskFormat::kLogicalEvidence;
    if (startsWith(start, "KDMV"sv) || startsWith(start, "COWD"sv) || startsWith(start, "# Disk DescriptorFile"sv))
        return DiskFormat::kVmdk;
    if (startsWith(start, "vhdxfile"sv)) return DiskFormat::kVhdx;
    if (startsWith(start, "QFI\xfb"sv)) return DiskFormat::kQcow;
    // A dynamic VHD copies its footer to the start; a fixed one has only the footer.
    if (startsWith(start, "conectix"sv)) return DiskFormat::kVhd;
    if (footer.size == kVhdFooterSize && startsWith(footer, "conectix"sv))
        return footer.be32(60) == kVhdFixed ? DiskFormat::kFixedVhd : DiskFormat::kVhd;
    return std::nullopt;
}

const char *diskFormatName(DiskFormat format) {
    switch (format) {
    case DiskFormat::kEwf: return "E01";
    case DiskFormat::kEwf2: return "Ex01";
    case DiskFormat::kLogicalEvidence: return "L01";
    case DiskFormat::kVmdk: return "VMDK";
    case DiskFormat::kVhd: return "VHD";
    case DiskFormat::kFixedVhd: return "fixed VHD";
    case DiskFormat::kVhdx: return "VHDX";
    case DiskFormat::kQcow: return "QCOW";
    }
    return "disk";
}

std::unique_ptr<Image> openDiskFormat(const std::string &path, DiskFormat format, Messages &messages) {
    switch (format) {
    case DiskFormat::kLogicalEvidence:
        messages.err("This is a logical evidence file (L01): it holds files gathered one by one, not a disk\n");
        return nullptr;
    case DiskFormat::kFixedVhd:
        return openFixedVhd(path, messages);
    case DiskFormat::kEwf:
    case DiskFormat::kEwf2:
#ifdef TARNWICK_HAVE_LIBEWF
        return openEwf(path, messages);
#else
        return sayBuiltWithout("libewf", format, messages);
#endif
    case DiskFormat::kVmdk:
#ifdef TARNWICK_HAVE_LIBVMDK
        return openVmdk(path, messages);
#else
        return sayBuiltWithout("libvmdk", format, messages);
#endif
    case DiskFormat::kVhd:
    case DiskFormat::kVhdx:
#ifdef TARNWICK_HAVE_LIBVHDI
        return openVhdi(path, messages);
#else
        return sayBuiltWithout("libvhdi", format, messages);
#endif
    case DiskFormat::kQcow:
#ifdef TARNWICK_HAVE_LIBQCOW
        return openQcow(path, messages);
#else
        return sayBuiltWithout("libqcow", format, messages);
#endif
    }
    return nullptr;
}
