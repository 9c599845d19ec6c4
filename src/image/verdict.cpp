#include "image/verdict.h"

#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "image/encrypted.h"

namespace {

constexpr uint32_t kAESAlgorithm = 0x80000001;

bool mentions(const std::vector<std::string> &names, const char *word) {
    for (const std::string &name : names)
        if (name.find(word) != std::string::npos) return true;
    return false;
}

}  // namespace

int sayNotHFS(const std::vector<std::string> &partitions, Messages &messages) {
    if (partitions.size() == 1 && partitions[0] == kClassicHFS) {
        messages.err("This is a classic HFS (Mac OS Standard) volume, not HFS+\n");
    } else if (mentions(partitions, "APFS")) {
        messages.err("This disk image holds an APFS container, not an HFS+ volume\n");
    } else if (mentions(partitions, "CoreStorage")) {
        messages.err("This disk image holds a CoreStorage volume (FileVault or Fusion), not an HFS+ volume\n");
    } else {
        std::string list;
        // The names come from the image: escaped, as every image text on its way to a terminal.
        for (const std::string &name : partitions) list += (list.empty() ? "" : ", ") + visible(name);
        messages.err("This disk image holds no HFS+ partition (partitions: %s)\n", list.empty() ? "none" : list.c_str());
    }
    return kNotHFS;
}

int sayIfEncrypted(Bytes start, Bytes end, Messages &messages) {
    if (!isEncryptedImage(start, end)) return -1;
    // The version 2 header names the cipher and its key length; version 1 headers only AES.
    uint32_t bits = isEncryptedImage(start, {}) && start.be32(20) == kAESAlgorithm ? start.be32(24) : 0;
    std::string cipher = bits == 128 || bits == 192 || bits == 256 ? "AES-" + std::to_string(bits) : "AES";
    messages.err("This disk image is encrypted (%s); Tarnwick cannot read encrypted images\n", cipher.c_str());
    return kNotHFS;
}

std::optional<std::string> foreignVolumeKind(Bytes start) {
    // The APFS container superblock's magic follows its 32-byte object header; a CoreStorage
    // physical volume header has its signature at byte 88.
    if (start.has(32, 4) && memcmp(start.data + 32, "NXSB", 4) == 0) return "APFS";
    if (start.has(88, 2) && memcmp(start.data + 88, "CS", 2) == 0) return "CoreStorage";
    // A master directory block that embeds no HFS+ volume (those are opened inside their wrapper).
    if (start.has(1024 + 0x7E, 2) && memcmp(start.data + 1024, "BD", 2) == 0 && start.be16(1024 + 0x7C) != 0x482B)
        return kClassicHFS;
    return std::nullopt;
}
