#include "hfsbuild/sparse.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace hfsbuild {

namespace {

constexpr uint64_t kSector = 512, kNodeBytes = 4096;
constexpr uint32_t kFirstSlots = 1008, kNodeSlots = 1010;

void putBE(std::vector<uint8_t> &out, uint64_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

// The image's size: the disk's, or the one asked for when it is at least that.
uint64_t imageSize(const std::vector<uint8_t> &disk, uint64_t asked, uint64_t unit) {
    uint64_t size = asked ? asked : (disk.size() + unit - 1) / unit * unit;
    if (size < disk.size() || size % unit != 0) throw std::invalid_argument("a sparse image smaller than its disk");
    return size;
}

// The part of band `band` that the disk holds (none past its end), and whether it is all zero.
std::pair<const uint8_t *, uint64_t> bandOf(const std::vector<uint8_t> &disk, uint64_t band, uint64_t bandBytes) {
    uint64_t start = std::min<uint64_t>(band * bandBytes, disk.size());
    return {disk.data() + start, std::min<uint64_t>(bandBytes, disk.size() - start)};
}

bool zero(std::pair<const uint8_t *, uint64_t> part) {
    return std::all_of(part.first, part.first + part.second, [](uint8_t b) { return b == 0; });
}

}  // namespace

std::vector<uint8_t> buildSparseImage(const std::vector<uint8_t> &disk, const SparseImageOptions &options) {
    if (options.sectorsPerBand == 0) throw std::invalid_argument("bands of 0 sectors");
    uint64_t size = imageSize(disk, options.size, kSector), bandBytes = options.sectorsPerBand * kSector;
    uint64_t sectors = size / kSector, bands = (size + bandBytes - 1) / bandBytes;
    std::vector<uint64_t> stored;
    for (uint64_t band = bands; band-- > 0;)
        if (!zero(bandOf(disk, band, bandBytes))) stored.push_back(band);

    std::vector<uint8_t> file(kNodeBytes, 0);
    std::copy_n("sprs", 4, file.begin());
    putBE(file, 4, 3, 4);
    putBE(file, 8, options.sectorsPerBand, 4);
    putBE(file, 12, 1, 4);   // as hdiutil writes it; a second node replaces it with its offset
    putBE(file, 16, std::min<uint64_t>(sectors, UINT32_MAX), 4);
    if (sectors > UINT32_MAX) putBE(file, 24, sectors, 8);
    uint64_t node = 0, slots = 64;
    uint32_t slot = 0, capacity = kFirstSlots, number = 0;
    for (uint64_t band : stored) {
        if (slot == capacity) {   // a new node at the end, the one before pointing to it
            uint64_t next = file.size();
            if (node == 0 && next > UINT32_MAX) throw std::invalid_argument("a second index node past 4 GiB");
            putBE(file, node + 12, next, node == 0 ? 4 : 8);
            file.resize(next + kNodeBytes, 0);
            std::copy_n("sprs", 4, file.begin() + static_cast<ptrdiff_t>(next));
            putBE(file, next + 4, ++number, 4);
            putBE(file, next + 8, 1, 4);
            node = next, slots = 56, slot = 0, capacity = kNodeSlots;
        }
        putBE(file, node + slots + 4 * slot++, band + 1, 4);
        auto [data, length] = bandOf(disk, band, bandBytes);
        file.insert(file.end(), data, data + length);
        file.resize(file.size() + bandBytes - length, 0);
    }
    return file;
}

std::string sparseBundleInfo(uint64_t bandBytes, uint64_t size) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleInfoDictionaryVersion</key>\n\t<string>6.0</string>\n"
           "\t<key>band-size</key>\n\t<integer>" + std::to_string(bandBytes) + "</integer>\n"
           "\t<key>bundle-backingstore-version</key>\n\t<integer>1</integer>\n"
           "\t<key>diskimage-bundle-type</key>\n\t<string>com.apple.diskimage.sparsebundle</string>\n"
           "\t<key>size</key>\n\t<integer>" + std::to_string(size) + "</integer>\n"
           "</dict>\n</plist>\n";
}

void writeSparseBundle(const std::string &path, const std::vector<uint8_t> &disk, const SparseBundleOptions &options) {
    if (options.bandBytes == 0) throw std::invalid_argument("bands of 0 bytes");
    uint64_t size = imageSize(disk, options.size ? options.size : disk.size(), 1);
    std::filesystem::remove_all(path + "/bands");   // no band nor token of an earlier bundle stays
    std::filesystem::remove(path + "/token");
    std::filesystem::create_directories(path + "/bands");
    auto write = [](const std::string &name, const uint8_t *data, uint64_t length) {
        std::ofstream out(name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(length));
        if (!out.flush()) throw std::invalid_argument("cannot write " + name);
    };
    std::string info = sparseBundleInfo(options.bandBytes, size);
    write(path + "/Info.plist", reinterpret_cast<const uint8_t *>(info.data()), info.size());
    std::vector<uint8_t> sealed;
    if (options.encryption) {
        std::vector<uint8_t> token = encryptedToken(size, *options.encryption);
        write(path + "/token", token.data(), token.size());
        sealed = encryptedBlocks(disk, *options.encryption);
        sealed.resize(std::min<uint64_t>(sealed.size(), size));   // a block past the bundle's end is cut there
    }
    for (uint64_t band = 0; band * options.bandBytes < disk.size(); ++band) {
        if (zero(bandOf(disk, band, options.bandBytes))) continue;
        auto [data, length] = bandOf(options.encryption ? sealed : disk, band, options.bandBytes);
        while (length > 0 && data[length - 1] == 0) --length;
        char name[24];
        snprintf(name, sizeof name, "%llx", static_cast<unsigned long long>(band));
        if (length > 0) write(path + "/bands/" + name, data, length);
    }
}

}  // namespace hfsbuild
