#include "catalog/pull.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/output.h"
#include "btree/btree.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/decmpfs.h"
#include "catalog/path.h"
#include "volume/fork.h"
#include "volume/volume.h"

namespace {

// A copy stopped by Ctrl-C is no copy: nothing half-written is left in /tmp.
int removeStopped(const std::string &destination) {
    unlink(destination.c_str());
    fprintf(stderr, "%s removed\n", destination.c_str());
    return 1;
}

void reportShortFork(const std::string &argument, uint64_t read, uint64_t size) {
    fprintf(stderr, "%s: only %llu of its fork's %llu bytes could be read (its extents end early)\n", argument.c_str(),
            static_cast<unsigned long long>(read), static_cast<unsigned long long>(size));
}

// A fork copied as it is read, so memory stays a piece whatever the file's size. A fork whose
// extents end before its size is copied as far as they go, and the command fails.
int pullStreamed(Bytes file, bool resource, const std::string &argument, const std::string &destination) {
    Bytes fork = file.sub(resource ? 168 : 88, kForkDataSize);
    uint64_t size = fork.be64(0);
    UniqueFd out = createOutputFile(destination.c_str());
    if (!out) return 1;
    bool writeFailed = false;
    ForkOwner owner{file.be32(8), resource ? kResourceForkType : kDataForkType};
    uint64_t copied =
        copyFork(fork, getActiveVH(), getActiveFS(), getPartitionOffset(), owner, size, out.get(), &writeFailed);
    if (g_Interrupted) return removeStopped(destination);
    if (writeFailed) {
        perror("write");
        return 1;
    }
    if (copied < size) reportShortFork(argument, copied, size);
    fprintf(stderr, "%d bytes written to %s\n", static_cast<int>(copied), destination.c_str());
    return copied < size ? 1 : 0;
}

// A file compressed in its resource fork, expanded a block at a time as the blocks are read: memory
// stays a block whatever the file's size. Nothing is created when the fork cannot be expanded.
int pullExpanded(Bytes file, uint32_t type, uint64_t size, const std::string &argument, const std::string &destination) {
    Bytes forkData = file.sub(168, kForkDataSize);
    uint32_t blockSize = Bytes{getActiveVH(), kVolumeHeaderSize}.be32(40);
    ForkMap map = mapFork(forkData, blockSize, getPartitionOffset(), {file.be32(8), kResourceForkType});
    uint64_t mapped = 0;
    for (const ForkMap::Piece &piece : map.pieces) mapped += piece.length;
    uint64_t forkSize = forkData.be64(0);
    if (mapped < forkSize) reportShortFork(argument, mapped, forkSize);
    const uint64_t readable = std::min(forkSize, mapped);
    const int fd = getActiveFS();
    DecmpfsFork fork{readable, [&](uint64_t offset, uint64_t length, std::vector<uint8_t> &scratch) -> Bytes {
                         if (offset > readable || length > readable - offset) return {};
                         scratch.resize(length);
                         if (readMappedFork(map, fd, offset, scratch.data(), length) != length) return {};
                         return {scratch.data(), static_cast<size_t>(length)};
                     }};
    UniqueFd out;
    bool opened = false, writeFailed = false;
    auto open = [&] {
        if (!opened) out = createOutputFile(destination.c_str());
        opened = true;
        return static_cast<bool>(out);
    };
    bool expanded = decmpfsExpandFork(fork, type, size, [&](uint64_t position, const uint8_t *data, size_t length) {
        if (!open() || writeFailed || length == 0) return;
        writeFailed = pwrite(out.get(), data, length, static_cast<off_t>(position)) != static_cast<ssize_t>(length);
    });
    if (g_Interrupted) return opened ? removeStopped(destination) : 1;
    if (!expanded) {
        fprintf(stderr, "Unable to get file content\n");
        return 1;
    }
    if (!open()) return 1;
    // Blocks the table does not give stay zeros, and the copy has the file's size.
    if (writeFailed || ftruncate(out.get(), static_cast<off_t>(size)) != 0) {
        perror("write");
        return 1;
    }
    fprintf(stderr, "%d bytes written to %s\n", static_cast<int>(size), destination.c_str());
    return mapped < forkSize ? 1 : 0;
}

}  // namespace

int doPull(const char *line) {
    const char *space = strchr(line, ' ');
    if (!space) {
        fprintf(stderr, "pull requires a path\n");
        return 1;
    }
    std::string argument = space + 1;
    // The macOS spelling of a file's resource fork, copied raw to /tmp/NAME.rsrc.
    static const std::string kResourceSuffix = "/..namedfork/rsrc";
    bool resource = argument.size() > kResourceSuffix.size() && argument.ends_with(kResourceSuffix);
    if (resource) argument.resize(argument.size() - kResourceSuffix.size());
    std::string name = argument.substr(argument.rfind('/') == std::string::npos ? 0 : argument.rfind('/') + 1);
    if (resource) name += ".rsrc";
    if (getActiveFS() == 0) {
        fprintf(stderr, "No active FS. Use the 'fs' command to select the active filesystem first.\n");
        return 1;
    }
    const BTree *catalog = getActiveBTree();
    if (!catalog) {
        BTree *loaded = processBTree(getActiveVH(), kCatalogTree, getActiveFS(), getPartitionOffset());
        setActiveBTree(loaded, kCatalogTree);
        catalog = loaded;
    } else if (getActiveBTreeType() != kCatalogTree) {
        catalog = getCatalogBTree();
    }
    PathMiss miss;
    auto found = searchPath(catalog, argument, kCatalogTree, &miss);
    if (!found) {
        reportPathMiss("pull", argument, miss);
        return 1;
    }
    Bytes file = getRecordData(found->recordKey);
    int16_t type = static_cast<int16_t>(file.be16(0));
    if (type == kFolderRecord || type == kFolderThreadRecord) {
        fprintf(stderr, "pull: %s: Is a folder\n", argument.c_str());
        return 1;
    }
    if (type != kFileRecord) {
        fprintf(stderr, "RECORD TYPE: %hd\n", type);
        return 1;
    }
    auto linked = fileOfRecord(file);
    if (!linked) return 1;
    file = *linked;
    uint64_t size = 0;
    uint32_t compression = 0;   // a resource fork is copied as stored, compressed data included
    if (!resource) getFileSize(file, &size, &compression);

    if (compression != 0 && !decmpfsTypeKnown(compression)) {
        fprintf(stderr, "%s uses a compression Tarnwick does not read (type %u)\n", argument.c_str(), compression);
        return 1;
    }
    std::string destination = "/tmp/" + name;
    if (compression == 0) return pullStreamed(file, resource, argument, destination);

    if (decmpfsInResourceFork(compression)) return pullExpanded(file, compression, size, argument, destination);

    // Compressed inline in its attribute: small, expanded in memory.
    std::optional<std::vector<uint8_t>> content =
        decmpfsDecompress(decmpfsAttribute(file.be32(8)).value_or(Bytes{}), compression, size);
    if (!content) {
        fprintf(stderr, "Unable to get file content\n");
        return 1;
    }
    UniqueFd out = createOutputFile(destination.c_str());
    if (!out) return 1;
    if (!writeFully(out.get(), content->data(), content->size())) {   // the file's size, as expanded
        perror("write");
        return 1;
    }
    fprintf(stderr, "%d bytes written to %s\n", static_cast<int>(content->size()), destination.c_str());
    return 0;
}
