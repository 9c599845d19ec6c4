// The mounted file systems, read from the Linux mount table in place of the BSD getmntinfo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct MountEntry {
    uint32_t flags = 0;       // BSD mount flag bits (see mountFlagsFromOptions)
    uint32_t owner = 0;       // user ID of whoever mounted it; 0 unless the table says otherwise
    std::string type, mountPoint, device;
};

// Linux options mapped to the BSD bits: ro 0x1, noexec 0x4, nosuid 0x8, nodev 0x10,
// noatime 0x10000000; a device path as source gives local 0x1000, the mount point "/" rootfs 0x4000.
uint32_t mountFlagsFromOptions(const std::string &options, const std::string &device, const std::string &mountPoint);
std::vector<MountEntry> listMounts();
// Tests point the layer at a mount table of their own.
void setMountTablePath(const std::string &path);
