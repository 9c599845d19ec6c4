#include "commands/mounts.h"

#include <mntent.h>

#include <cstdlib>
#include <sstream>

namespace {

std::string g_mountTablePath = "/proc/self/mounts";

struct OptionFlag {
    const char *option;
    uint32_t flag;
};

constexpr OptionFlag kOptionFlags[] = {
    {"ro", 0x00000001}, {"noexec", 0x00000004}, {"nosuid", 0x00000008}, {"nodev", 0x00000010},
    {"noatime", 0x10000000},
};

}  // namespace

uint32_t mountFlagsFromOptions(const std::string &options, const std::string &device, const std::string &mountPoint) {
    uint32_t flags = 0;
    std::istringstream in(options);
    for (std::string option; std::getline(in, option, ',');)
        for (const OptionFlag &known : kOptionFlags)
            if (option == known.option) flags |= known.flag;
    if (device.starts_with("/")) flags |= 0x00001000;
    if (mountPoint == "/") flags |= 0x00004000;
    return flags;
}

std::vector<MountEntry> listMounts() {
    std::vector<MountEntry> mounts;
    FILE *table = setmntent(g_mountTablePath.c_str(), "r");
    if (!table) return mounts;
    struct mntent entry;
    char buffer[8192];
    while (getmntent_r(table, &entry, buffer, sizeof buffer)) {
        MountEntry m;
        m.type = entry.mnt_type;
        m.mountPoint = entry.mnt_dir;
        m.device = entry.mnt_fsname;
        m.flags = mountFlagsFromOptions(entry.mnt_opts, m.device, m.mountPoint);
        // Only FUSE mounts record who mounted them.
        if (const char *uid = hasmntopt(&entry, "user_id")) m.owner = static_cast<uint32_t>(strtoul(uid + 8, nullptr, 10));
        mounts.push_back(std::move(m));
    }
    endmntent(table);
    return mounts;
}

void setMountTablePath(const std::string &path) { g_mountTablePath = path; }
