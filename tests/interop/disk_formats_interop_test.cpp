// Forensic and virtual-machine images that ewfacquire and qemu-img make of one GPT disk, read back
// through their libraries: the disk's own bytes, and its volume opens. Damaged images and those
// the libraries refuse give a line instead.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"
#include "image/disk_formats.h"
#include "support.h"
#include "volume/volume.h"

namespace {

namespace fs = std::filesystem;
using Data = std::vector<uint8_t>;

constexpr uint64_t kVolumeLba = 40;

// Text, for the compressed chunks and clusters, and some 2.5 MB of noise, so that a set of 1 MiB
// E01 segments (the least ewfacquire writes) has three.
const Data &disk() {
    static const Data bytes = [] {
        hfsbuild::Volume v;
        v.label = "Formats";
        v.nodes = {hfsbuild::fileNode("/words.txt", vocabularyText(400000, 3)),
                   hfsbuild::fileNode("/noise.bin", randomBytes(2500000, 11))};
        return hfsbuild::buildGpt(hfsbuild::macGpt(hfsbuild::buildVolume(v), kVolumeLba));
    }();
    return bytes;
}

// The library a format needs and this build lacks; "" when it has it.
std::string missingLibrary(DiskFormat format) {
    std::map<DiskFormat, std::string> missing;
#ifndef TARNWICK_HAVE_LIBEWF
    missing[DiskFormat::kEwf] = missing[DiskFormat::kEwf2] = "libewf";
#endif
#ifndef TARNWICK_HAVE_LIBVMDK
    missing[DiskFormat::kVmdk] = "libvmdk";
#endif
#ifndef TARNWICK_HAVE_LIBVHDI
    missing[DiskFormat::kVhd] = missing[DiskFormat::kVhdx] = "libvhdi";
#endif
#ifndef TARNWICK_HAVE_LIBQCOW
    missing[DiskFormat::kQcow] = "libqcow";
#endif
    return missing.count(format) ? missing[format] : "";
}

Data slice(const std::string &path, bool last, size_t size) {
    std::ifstream in(path, std::ios::binary);
    uint64_t length = fs::file_size(path);
    if (last && length < size) return {};
    Data bytes(size);
    in.seekg(last ? static_cast<std::streamoff>(length - size) : 0);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(size));
    return bytes;
}

void cutInHalf(const std::string &path) { fs::resize_file(path, fs::file_size(path) / 2); }

// The first grain table entry (the disk's first 64 KiB) points 2 TiB into a 3 MB file.
void grainPastEnd(const std::string &path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    auto at = [&](uint64_t position) {
        uint32_t value = 0;
        f.seekg(static_cast<std::streamoff>(position)), f.read(reinterpret_cast<char *>(&value), 4);
        return uint64_t{value} * 512;
    };
    uint64_t table = at(at(56));   // the grain directory's sector, then its first table's
    uint32_t far = 0xFFFFFF00;
    f.seekp(static_cast<std::streamoff>(table)), f.write(reinterpret_cast<const char *>(&far), 4);
}

// Two bytes of the first chunk's compressed data, just after the "sectors" section's descriptor, flipped.
void firstChunkFlipped(const std::string &path) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    std::string head(1 << 16, '\0');
    f.read(head.data(), static_cast<std::streamsize>(head.size()));
    f.clear();
    f.seekp(static_cast<std::streamoff>(head.find("sectors") + 76 + 20)), f.write("\x55\xAA", 2);
}

struct DiskCase {
    const char *name;
    std::vector<std::string> make;   // writes the image; "RAW" is the disk, "DIR/" its folder
    const char *file;                // opened: the first of a set
    DiskFormat format;
    void (*damage)(const std::string &path) = nullptr;
    const char *says = "";           // "": reads as the disk; else no volume, and a line holding this
};
void PrintTo(const DiskCase &c, std::ostream *os) { *os << c.name; }

std::vector<std::string> ewf(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"ewfacquire", "-u", "-q", "-c", "deflate:fast", "-t", "DIR/disk"});
    options.push_back("RAW");
    return options;
}
std::vector<std::string> qemu(const std::string &format, const std::string &file, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"qemu-img", "convert", "-f", "raw", "-O", format});
    options.insert(options.end(), {"RAW", "DIR/" + file});
    return options;
}
std::vector<std::string> shell(const std::string &script) { return {"sh", "-c", script}; }

using enum DiskFormat;
const DiskCase kCases[] = {
    {"E01", ewf(), "disk.E01", kEwf},
    {"E01Segments", ewf({"-S", "1048576"}), "disk.E01", kEwf},
    {"VmdkSparse", qemu("vmdk", "disk.vmdk"), "disk.vmdk", kVmdk},
    {"VmdkStreamOptimized", qemu("vmdk", "disk.vmdk", {"-o", "subformat=streamOptimized"}), "disk.vmdk", kVmdk},
    {"VmdkFlat", qemu("vmdk", "disk.vmdk", {"-o", "subformat=monolithicFlat"}), "disk.vmdk", kVmdk},
    {"Vmdk2GbSparse", qemu("vmdk", "disk.vmdk", {"-o", "subformat=twoGbMaxExtentSparse"}), "disk.vmdk", kVmdk},
    {"VhdDynamic", qemu("vpc", "disk.vhd"), "disk.vhd", kVhd},   // rounded up to whole cylinders
    {"VhdFixed", qemu("vpc", "disk.vhd", {"-o", "subformat=fixed"}), "disk.vhd", kFixedVhd},
    {"Vhdx", qemu("vhdx", "disk.vhdx"), "disk.vhdx", kVhdx},
    {"Qcow2", qemu("qcow2", "disk.qcow2"), "disk.qcow2", kQcow},
    {"Qcow2Compressed", qemu("qcow2", "disk.qcow2", {"-c"}), "disk.qcow2", kQcow},
    {"Qcow1", qemu("qcow", "disk.qcow"), "disk.qcow", kQcow},
    // What the libraries refuse, and damage.
    {"Qcow2Zstd", qemu("qcow2", "disk.qcow2", {"-c", "-o", "compression_type=zstd"}), "disk.qcow2", kQcow, nullptr,
     "unsupported incompatible features flags: 0x00000008"},
    {"Qcow2Overlay", {"qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b", "RAW", "DIR/disk.qcow2"}, "disk.qcow2",
     kQcow, nullptr, "holding only the changes to"},
    {"Ex01", shell("printf 'EVF2\\r\\n\\201\\0' > DIR/disk.Ex01"), "disk.Ex01", kEwf2, nullptr, "libewf cannot open"},
    {"L01", shell("printf 'LVF\\t\\r\\n\\377\\0' > DIR/disk.L01"), "disk.L01", kLogicalEvidence, nullptr, "not a disk"},
    {"E01Truncated", ewf(), "disk.E01", kEwf, cutInHalf, "damaged or incomplete"},
    {"E01ChunkDamaged", ewf(), "disk.E01", kEwf, firstChunkFlipped, "Read: returned -1"},
    {"VmdkGrainPastEnd", qemu("vmdk", "disk.vmdk"), "disk.vmdk", kVmdk, grainPastEnd, "Read: returned -1"},
};

class DiskFormats : public ::testing::TestWithParam<DiskCase> {};

TEST_P(DiskFormats, ReadAsTheDisk) {
    const DiskCase &c = GetParam();
    if (!haveTool(c.make[0])) GTEST_SKIP() << c.make[0] << " is not installed";
    static const std::string raw = writeScratch("formats.raw", disk());
    std::string dir = scratchDir() + "/" + c.name, path = dir + "/" + c.file;
    fs::create_directories(dir);
    std::vector<std::string> argv = c.make;
    for (std::string &arg : argv) {
        if (arg == "RAW") arg = raw;
        if (size_t at = arg.find("DIR/"); at != std::string::npos) arg.replace(at, 3, dir);
    }
    RunResult made = runCommand(argv);
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    if (c.damage) c.damage(path);

    Data start = slice(path, false, 4096), footer = slice(path, true, 512);
    ASSERT_EQ(diskFormatOf({start.data(), start.size()}, {footer.data(), footer.size()}), c.format);
    Messages messages;
    std::unique_ptr<Image> image = openDiskFormat(path, c.format, messages);
    if (std::string library = missingLibrary(c.format); !library.empty()) {
        EXPECT_EQ(image, nullptr);
        EXPECT_NE(messages.text(false).find("Built without " + library + ":"), std::string::npos) << messages.text(false);
        return;
    }
    auto volume = image ? ::Volume::open(std::move(image), kVolumeLba * hfsbuild::kSectorBytes, messages) : nullptr;
    std::string said = messages.text(false);
    if (*c.says) {
        EXPECT_EQ(volume, nullptr);
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        return;
    }
    ASSERT_NE(volume, nullptr) << said;
    const Image &read = volume->image();
    ASSERT_GE(read.size(), disk().size());
    Data all(read.size()), expected = disk();
    expected.resize(all.size());   // the zeros a VHD's cylinders add
    EXPECT_EQ(read.readAt(all.data(), all.size(), 0), static_cast<ssize_t>(all.size()));
    EXPECT_TRUE(all == expected);
    EXPECT_EQ(read.readAt(all.data(), 1, read.size()), 0);
    // Opened by `fs`, the volume lists as on the raw disk, as The Sleuth Kit lists both.
    std::string listed = runTarnwick({"-c", "ls /", path}, "").out;
    EXPECT_NE(listed.find("words.txt"), std::string::npos) << c.name;
    EXPECT_EQ(listed, runTarnwick({"-c", "ls /", raw}, "").out) << c.name;
    if (c.format == kEwf) {   // the acquisition's own MD5
        RunResult verified = runTarnwick({"-c", "verify", path}, "");
        EXPECT_EQ(verified.status, 0) << verified.err;
        EXPECT_TRUE(verified.out.starts_with("MD5: stored ") && verified.out.ends_with(": ok\n")) << verified.out;
    }
    if (haveTool("fls") && c.format != kQcow) {
        EXPECT_EQ(runCommand({"fls", "-o", "40", path}).out, runCommand({"fls", "-o", "40", raw}).out) << c.name;
    }
}

// A chunk of noise is stored uncompressed, under its checksum: a byte changed there fails the
// reads that reach it, and only those.
TEST(DiskFormatsEwf, ChangedStoredChunkFailsItsReads) {
    if (!haveTool("ewfacquire") || !missingLibrary(kEwf).empty()) GTEST_SKIP() << "needs ewfacquire and libewf";
    std::string dir = scratchDir() + "/stored", raw = writeScratch("stored.raw", disk());
    fs::create_directories(dir);
    ASSERT_EQ(runCommand({"ewfacquire", "-u", "-q", "-c", "deflate:fast", "-t", dir + "/disk", raw}).status, 0);
    Data noise = randomBytes(2500000, 11), file = readWholeFile(dir + "/disk.E01");
    auto found = std::search(file.begin(), file.end(), noise.begin() + 1000000, noise.begin() + 1000064);
    ASSERT_NE(found, file.end());
    *found ^= 1;
    writeScratch("stored/disk.E01", file);
    uint64_t changed = static_cast<uint64_t>(std::search(disk().begin(), disk().end(), noise.begin() + 1000000,
                                                         noise.begin() + 1000064) - disk().begin());
    Messages messages;
    std::unique_ptr<Image> image = openDiskFormat(dir + "/disk.E01", kEwf, messages);
    ASSERT_TRUE(image) << messages.text(false);
    Data bytes(1 << 20);
    EXPECT_EQ(image->readAt(bytes.data(), bytes.size(), changed & ~uint64_t{0xFFFFF}), -1);
    EXPECT_EQ(image->readAt(bytes.data(), 4096, changed + 65536), 4096);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 4096, disk().begin() + static_cast<long>(changed + 65536)));
}

INSTANTIATE_TEST_SUITE_P(Container, DiskFormats, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
