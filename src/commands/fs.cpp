// fs (choosing the volume the session works on) and listfs (the mounted HFS Plus volumes).
#include "commands/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include "base/output.h"
#include "base/utf.h"
#include "btree/records.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "commands/commands.h"
#include "commands/listing.h"
#include "commands/mounts.h"
#include "commands/password.h"
#include "commands/session.h"
#include "image/apm.h"
#include "image/containers.h"
#include "image/dmg.h"
#include "image/sparse_bundle.h"
#include "image/udif.h"
#include "image/raw.h"
#include "image/verdict.h"

namespace {

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

// What opening a volume says: on its usual streams at the prompt; all on standard error in a
// script, whose standard output carries the commands' reports and data (pull FILE -) alone.
Messages &opening() {
    static Messages diagnostics(Messages::kPrintAtOnceOnStandardError);
    return g_ReportToStdout ? diagnostics : sayNow();
}

}  // namespace

// The root folder's thread names the volume.
void readFSLabel(Session &session) {
    auto found = threadRecord(session.activeTree, kRootFolderID, opening());
    if (!found) {
        fprintf(stderr, "Unable to lookup root entry (CNID: 2) in Catalog. Something must be very wrong\n");
        CatalogKey unknown(0, UTF8toUTF16("Unknown)"));   // kept as it is: scripts match this label
        session.setLabel(unknown.view().from(6));
        return;
    }
    Bytes data = getRecordData(found->recordKey);
    if (catalogRecordType(data) != kFolderThreadRecord) {
        fprintf(stderr, "Root entry is not a thread\n");   // the label stays what it was
        return;
    }
    session.setLabel(data.from(8));
}

namespace {

// Makes an opened volume the session's, releasing the one it replaces: the catalog becomes the
// active tree (read again when it could not be read at first), and its label the label. `bare`:
// the last resort selects the volume alone, without an active tree or label.
int select(Session &session, std::unique_ptr<Volume> volume, const std::string &name,
           std::shared_ptr<const Image> source = nullptr, bool bare = false) {
    session.volume = std::move(volume);
    session.onDisk.reset();
    session.claims.reset();
    session.source = std::move(source);
    session.name = name;
    session.setCWD("/", kRootFolderID);
    session.activeTree = nullptr;
    if (bare) return 0;
    session.selectCatalog();
    readFSLabel(session);
    return 0;
}

int showStatus(const Session &session) {
    if (!session.name) {
        fprintf(stderr, "No File System has been selected. Use listfs to display all mounted file systems\n");
        return 1;
    }
    FILE *report = reportStream();
    fprintf(report, "Default file system set to %s, Volume label is ", session.name->c_str());
    if (const uint8_t *label = session.labelName()) printStoredName(report, Bytes{label, kHFSUniStr255Size}, true);
    fprintf(report, "\n");
    return 0;
}

// The volume at `offset` in an opened image, saying what goes wrong as it opens.
std::unique_ptr<Volume> openSaying(std::shared_ptr<const Image> image, uint64_t offset) {
    Messages messages;
    auto volume = Volume::open(std::move(image), offset, messages);
    messages.print(g_ReportToStdout);
    return volume;
}

// The same, and on failure `error` says why.
std::unique_ptr<Volume> openVolumeIn(std::shared_ptr<const Image> image, const std::string &path, uint64_t offset,
                                     std::string &error) {
    auto volume = openSaying(std::move(image), offset);
    if (!volume) error = "Unable to find HFS Volume header on device " + path;
    return volume;
}

// A device or image file opened whole at `offset`; on failure `error` says why.
std::unique_ptr<Volume> openHFSPartition(const std::string &path, uint64_t offset, std::string &error) {
    UniqueFd fd = openDevice(path, error);
    return fd ? openVolumeIn(std::make_shared<FileImage>(std::move(fd)), path, offset, error) : nullptr;
}

// What `fs` was asked to open, and how: -p N (the partition parts lists as N) and --in-place come
// before the path, which is the rest of the line as typed.
struct FsRequest {
    std::string path;
    int partition = -1;
    bool inPlace = false;
};

std::optional<FsRequest> parseRequest(std::string rest, bool inPlace) {
    FsRequest request{"", -1, inPlace};
    for (;;) {
        if (rest.starts_with("--in-place ")) {
            request.inPlace = true;
            rest.erase(0, 11);
        } else if (rest.starts_with("-p ")) {
            size_t digits = rest.find_first_not_of("0123456789", 3);
            if (digits == 3 || digits == std::string::npos || rest[digits] != ' ' || digits - 3 > 4) {
                fprintf(stderr, "usage: fs [-p N] [--in-place] PATH   (N: a partition as parts lists it)\n");
                return std::nullopt;
            }
            request.partition = std::stoi(rest.substr(3, digits - 3));
            rest.erase(0, digits + 1);
        } else {
            request.path = rest;
            return request;
        }
    }
}

bool headerAt(const Image &image, uint64_t offset) {
    Messages messages;
    bool found = getVolumeHeader(image, offset, messages).has_value();
    messages.print(g_ReportToStdout);
    return found;
}

// The volume in partition `request.partition` of a GPT or Apple Partition Map.
int openPartition(Session &session, const Probe &probe, const FsRequest &request) {
    std::vector<Partition> partitions = !isGPT(probe.view()).empty() ? gptPartitions(probe.view())
                                        : isAPM(probe.view())        ? apmPartitions(*probe.image)
                                                                     : std::vector<Partition>{};
    if (static_cast<size_t>(request.partition) >= partitions.size()) {
        fprintf(stderr, "%s has no partition %d (parts lists them)\n", visible(request.path).c_str(), request.partition);
        return 1;
    }
    std::string error;
    auto volume = openVolumeIn(probe.image, request.path, partitions[request.partition].start, error);
    if (!volume) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return select(session, std::move(volume), request.path, probe.image);
}

}  // namespace

// Nothing of the selected volume changes until another has opened completely.
int doSetFS(Session &session, const char *line) {
    const char *space = strchr(line, ' ');
    if (!space) return showStatus(session);
    auto request = parseRequest(space + 1, session.inPlace);
    if (!request) return 1;
    const std::string &path = request->path;
    std::string error;
    uint64_t offset = 0;
    announcePartitionOffset(offset, opening());
    std::unique_ptr<Volume> opened;
    VolumeOpener open = [&](const std::shared_ptr<const Image> &image, uint64_t at) {
        opened = openSaying(image, at);
        return opened != nullptr;
    };

    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || isSparseBundle(path))) {
        bool refused = false;
        std::optional<Probe> probe =
            openUnwrapped(path, [&] { return imagePassword(session, path, opening()); }, &refused, opening());
        if (refused) return 1;
        if (probe && request->partition >= 0 && !udifTrailer(*probe->image)) return openPartition(session, *probe, *request);
        if (probe && request->partition < 0 && mountRaw(*probe, &offset, headerAt, opening()) == 0) {
            fprintf(stderr, "%s is raw image, successfully detected HFS+\n", path.c_str());
            if (auto volume = openVolumeIn(probe->image, path, offset, error))
                return select(session, std::move(volume), path, probe->image);
            fprintf(stderr, "%s\n", error.c_str());
            // A disk image whose data merely begins with a GPT (a UDIF image of raw chunks, say)
            // still has its own container to be read.
            offset = 0;
            announcePartitionOffset(offset, opening());
        }
        fprintf(stderr, "Trying DMG\n");
        int fd = probe ? mountDMG(*probe, offset, {request->partition, request->inPlace}, open, opening()) : -1;
        if (fd == kNotHFS) return -1;   // what the image holds instead has been said
        if (fd < 0 || !opened) {
            if (g_Interrupted) return 1;   // the shell says it stopped: no verdict on an image not read whole
            fprintf(stderr, "%s not recognized as a DMG\n", path.c_str());
            return 1;
        }
        return select(session, std::move(opened), path, probe->image);
    }

    for (const MountEntry &mount : listMounts()) {
        if (mount.mountPoint != path && mount.device != path) continue;
        if (mount.type.starts_with("hfs")) {
            auto volume = openHFSPartition(mount.device, 0, error);
            if (!volume) {
                fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            return select(session, std::move(volume), mount.device);
        }
        fprintf(stderr, "This tool can only handle HFS+/HFSX file systems. %s is formatted as %s\n", path.c_str(),
                mount.type.c_str());
    }

    if (path.starts_with("/dev")) {
        if (g_Debug) fprintf(stderr, "%s is a device file - trying a raw mount\n", path.c_str());
        std::optional<Probe> probe = openProbe(path.c_str(), opening());
        if (probe) mountRaw(*probe, &offset, headerAt, opening());   // only for the partition offset it may leave
        if (auto volume = probe ? openVolumeIn(probe->image, path, offset, error) : nullptr)
            return select(session, std::move(volume), path);
    }

    fprintf(stderr, "Unable to find mount point or device %s: Try 'listfs' first, or select a .dmg file\n",
            path.c_str());
    fprintf(stderr, "opening %s\n", path.c_str());
    if (auto volume = openHFSPartition(path, offset, error)) {
        select(session, std::move(volume), path, nullptr, true);
        fprintf(stderr, "Set file system to %s\n", path.c_str());
        return 0;
    }
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
}

int doListFS(Session &, const char *) {
    for (const MountEntry &mount : listMounts()) {
        if (!mount.type.starts_with("hfs")) continue;
        // Mount points are named after volume labels, which come from the image.
        fprintf(reportStream(), "%-30s\t%-12s\t %s\t%X (%s%s)\n", visible(mount.mountPoint).c_str(),
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
