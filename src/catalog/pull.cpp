#include "catalog/pull.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/decmpfs.h"
#include "catalog/path.h"
#include "shell/a.h"
#include "volume/fork.h"
#include "volume/volume.h"

namespace {

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
    if (writeFailed) {
        perror("write");
        return 1;
    }
    if (copied < size) reportShortFork(argument, copied, size);
    fprintf(stderr, "%d bytes written to %s\n", static_cast<int>(copied), destination.c_str());
    return copied < size ? 1 : 0;
}

}  // namespace

int doPull(const char *line) {
    const char *space = strchr(line, ' ');
    if (!space) {
        fprintf(stderr, "Search requires an argument\n");
        return 0;
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
        return -1;
    }
    const BTree *catalog = getActiveBTree();
    if (!catalog) {
        BTree *loaded = processBTree(getActiveVH(), kCatalogTree, getActiveFS(), getPartitionOffset());
        setActiveBTree(loaded, kCatalogTree);
        catalog = loaded;
    } else if (getActiveBTreeType() != kCatalogTree) {
        catalog = getCatalogBTree();
    }
    auto found = searchPath(catalog, argument, kCatalogTree);
    if (!found) return 0;
    Bytes file = getRecordData(found->recordKey);
    int16_t type = static_cast<int16_t>(file.be16(0));
    if (type != kFileRecord) {
        fprintf(stderr, "RECORD TYPE: %hd\n", type);
        return 1;
    }
    if (isHardLink(file)) {
        // The link record holds no data: the content is the indirect node's.
        auto target = hardLinkTarget(file);
        if (!target) {
            fprintf(stderr, "The hard link's indirect node iNode%u was not found\n", file.be32(44));
            return -1;
        }
        file = *target;
    }
    uint64_t size = 0;
    uint32_t compression = 0;
    if (resource)
        size = file.be64(168);   // the fork as stored, compressed data included
    else
        getFileSize(file, &size, &compression);

    if (compression != 0 && !decmpfsTypeKnown(compression)) {
        fprintf(stderr, "%s uses a compression Tarnwick does not read (type %u)\n", argument.c_str(), compression);
        return -1;
    }
    std::string destination = "/tmp/" + name;
    if (compression == 0) return pullStreamed(file, resource, argument, destination);

    // A compressed file: its blocks are expanded in memory.
    std::optional<std::vector<uint8_t>> content;
    bool whole = true;   // false: the fork's extents end before its size, and the command fails
    if (!decmpfsInResourceFork(compression)) {
        content = decmpfsDecompress(decmpfsAttribute(file.be32(8)).value_or(Bytes{}), compression, size);
    } else {
        uint64_t bytesRead = 0;
        content = readFork(file.sub(168, kForkDataSize), getActiveVH(), getActiveFS(), getPartitionOffset(),
                           &bytesRead, {file.be32(8), kResourceForkType});
        if (content && bytesRead < file.be64(168)) {
            whole = false;
            reportShortFork(argument, bytesRead, file.be64(168));
        }
        if (content) {
            Bytes fork{content->data(), bytesRead < content->size() ? bytesRead : content->size()};
            content = decmpfsDecompress(fork, compression, size);
        }
    }
    if (!content) {
        fprintf(stderr, "Unable to get file content\n");
        return -1;
    }
    UniqueFd out = createOutputFile(destination.c_str());
    if (!out) return 1;
    uint64_t length = size <= content->size() ? size : content->size();
    if (length < size && whole)
        fprintf(stderr, "Only %llu of the file's %llu bytes lie in its fork\n", static_cast<unsigned long long>(length),
                static_cast<unsigned long long>(size));
    if (!writeFully(out.get(), content->data(), length)) {
        perror("write");
        return 1;
    }
    fprintf(stderr, "%d bytes written to %s\n", static_cast<int>(length), destination.c_str());
    return whole ? 0 : 1;
}
