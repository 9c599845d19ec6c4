#include "shell/fs.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "base/output.h"
#include "btree/btree.h"
#include "btree/records.h"
#include "btree/search.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "containers/dmg.h"
#include "containers/raw.h"
#include "containers/verdict.h"
#include "shell/a.h"
#include "shell/mounts.h"
#include "volume/volume.h"

namespace {

std::optional<std::string> g_activeFSName;
uint8_t g_VolumeLabel[kHFSUniStr255Size] = {};

struct FlagName {
    uint32_t bit;
    const char *text;
};

// BSD mount flag bits, in the order they are named.
constexpr FlagName kMountFlagNames[] = {
    {0x00000004, "noexec,"},      {0x00000080, "cprotect,"},  {0x00000400, "quarantine,"}, {0x00000020, "union,"},
    {0x00000008, "nosuid,"},      {0x00000001, "ro,"},        {0x00008000, "volfs,"},      {0x00001000, "local,"},
    {0x00000010, "nodev,"},       {0x00002000, "quota,"},     {0x00004000, "rootfs,"},     {0x00400000, "automounted,"},
    {0x02000000, "defwrite,"},    {0x01000000, "nouserxattr,"}, {0x00800000, "journaled,"}, {0x04000000, "multilabel,"},
    {0x10000000, "noatime,"},     {0x00200000, "noowners,"},
};

// Makes an opened volume the active one: the catalog as active tree, and its label.
void activate(int fd, const std::string &name) {
    setActiveFS(fd, name);
    // The catalog was loaded when the volume opened: read it once, and compare names its way again
    // (loading the attributes tree after it changed the comparison).
    BTree *tree = getCatalogBTree();
    if (tree)
        setCompareType(tree->keyCompareType());
    else
        tree = processBTree(getActiveVH(), kCatalogTree, fd, getPartitionOffset());
    setActiveBTree(tree, kCatalogTree);
    readFSLabel();
}

void setLabelText(const char *text) {
    uint8_t name[kHFSUniStr255Size];
    unicodify(name, text);
    setFSLabel(name, sizeof name);
}

int showStatus() {
    if (!g_activeFSName) {
        fprintf(stderr, "No File System has been selected. Use listfs to display all mounted file systems\n");
        return 1;
    }
    fprintf(stderr, "Default file system set to %s, Volume label is ", g_activeFSName->c_str());
    if (const uint8_t *label = getFSLabel()) dumpUnicode(stderr, Bytes{label, kHFSUniStr255Size}, 1);
    fprintf(stderr, "\n");
    return 0;
}


// The selected volume stays as it is (descriptor, partition offset, header, trees, active tree)
// until another has opened completely.
class KeepSelectedVolume {
public:
    ~KeepSelectedVolume() {
        if (!replaced_) restoreVolumeState(saved_);
    }
    // `bare`: the last resort selects the descriptor alone, without an active tree or label.
    int select(int fd, const std::string &name, bool bare = false) {
        if (bare)
            setActiveFS(fd, name);
        else
            activate(fd, name);
        replaced_ = true;
        return 0;
    }

private:
    VolumeState saved_ = saveVolumeState();
    bool replaced_ = false;
};

}  // namespace

int doSetFS(const char *line) {
    const char *space = strchr(line, ' ');
    if (!space) return showStatus();
    std::string path = space + 1;
    KeepSelectedVolume keep;
    if (getActiveBTree()) freeActiveBTree();
    setPartitionOffset(0);

    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (mountRaw(path.c_str()) == 0) {
            fprintf(stderr, "%s is raw image, successfully detected HFS+\n", path.c_str());
            int fd = openHFSPartition(path.c_str());
            if (fd > 0) return keep.select(fd, path);
            fprintf(stderr, "%s\n", HFSErr.c_str());
            // A disk image whose data merely begins with a GPT (a UDIF image of raw chunks, say)
            // still has its own container to be read.
            setPartitionOffset(0);
        }
        fprintf(stderr, "Trying DMG\n");
        int fd = mountDMG(path.c_str());
        if (fd == kNotHFS) return -1;   // what the image holds instead has been said
        if (fd < 0) {
            fprintf(stderr, "%s not recognized as a DMG\n", path.c_str());
            return 1;
        }
        return keep.select(fd, path);
    }

    for (const MountEntry &mount : listMounts()) {
        if (mount.mountPoint != path && mount.device != path) continue;
        if (mount.type.starts_with("hfs")) {
            int fd = openHFSPartition(mount.device.c_str());
            if (fd < 1) {
                fprintf(stderr, "%s\n", HFSErr.c_str());
                return 1;
            }
            return keep.select(fd, mount.device);
        }
        fprintf(stderr, "This tool can only handle HFS+/HFSX file systems. %s is formatted as %s\n", path.c_str(),
                mount.type.c_str());
    }

    if (path.starts_with("/dev")) {
        if (g_Debug) fprintf(stderr, "%s is a device file - trying a raw mount\n", path.c_str());
        mountRaw(path.c_str());  // only for the partition offset it may leave
        int fd = openHFSPartition(path.c_str());
        if (fd > 0) return keep.select(fd, path);
    }

    fprintf(stderr, "Unable to find mount point or device %s: Try 'listfs' first, or select a .dmg file\n",
            path.c_str());
    fprintf(stderr, "opening %s\n", path.c_str());
    int fd = openHFSPartition(path.c_str());
    if (fd > 0) {
        keep.select(fd, path, true);
        fprintf(stderr, "Set file system to %s\n", path.c_str());
        return 0;
    }
    fprintf(stderr, "%s\n", HFSErr.c_str());
    return 1;
}

int doListFS(const char *) {
    for (const MountEntry &mount : listMounts()) {
        if (!mount.type.starts_with("hfs")) continue;
        // Mount points are named after volume labels, which come from the image.
        fprintf(stderr, "%-30s\t%-12s\t %s\t%X (%s%s)\n", visible(mount.mountPoint).c_str(),
                visible(mount.device).c_str(), visible(mount.type).c_str(), mount.flags,
                flagsToText(mount.flags).c_str(), mount.owner != 0 ? ",user-mounted" : "");
    }
    return 0;
}

std::string flagsToText(uint32_t flags) {
    std::string text;
    for (const FlagName &name : kMountFlagNames)
        if (flags & name.bit) text += name.text;
    if (!text.empty()) text.pop_back();
    return text;
}

void setActiveFS(int fd, const std::string &name) {
    setActiveFSDescriptor(fd);
    setActiveFSName(name);
}

void setActiveFSName(const std::string &name) {
    g_activeFSName = name;
    setCWD("/", kRootFolderID);
}

const char *getActiveFSName() { return g_activeFSName ? g_activeFSName->c_str() : nullptr; }

int readFSLabel() {
    uint8_t key[kCatalogKeyMax] = {};
    key[5] = kRootFolderID;  // parentID 2, big-endian, empty name: the root's thread record
    auto found = searchKey(getActiveBTree(), 0, kCatalogTree, Bytes{key, sizeof key});
    if (!found) {
        fprintf(stderr, "Unable to lookup root entry (CNID: 2) in Catalog. Something must be very wrong\n");
        setLabelText("Unknown)");
        return -1;
    }
    Bytes data = getRecordData(found->recordKey);
    if (data.be16(0) != kFolderThreadRecord) {
        fprintf(stderr, "Root entry is not a thread\n");
        return -1;
    }
    // The root folder's thread names the volume.
    setFSLabel(data.from(8).data, data.from(8).size);
    return 0;
}

const uint8_t *getFSLabel() { return (g_VolumeLabel[0] | g_VolumeLabel[1]) ? g_VolumeLabel : nullptr; }

void setFSLabel(const uint8_t *name, size_t available) {
    Bytes source{name, available};
    size_t length = 2 + 2 * static_cast<size_t>(source.be16(0));
    if (length > sizeof g_VolumeLabel) length = sizeof g_VolumeLabel;
    if (length > available) length = available;
    memset(g_VolumeLabel, 0, sizeof g_VolumeLabel);
    if (length) memcpy(g_VolumeLabel, name, length);
}
