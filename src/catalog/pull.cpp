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
    std::optional<std::vector<uint8_t>> content;
    bool whole = true;   // false: the fork's extents end before its size, and the command fails
    if (compression != 0 && !decmpfsInResourceFork(compression)) {
        content = decmpfsDecompress(decmpfsAttribute(file.be32(8)).value_or(Bytes{}), compression, size);
    } else {
        bool inResourceFork = resource || compression != 0;   // asked for, or the compressed data
        size_t forkOffset = inResourceFork ? 168 : 88;
        uint64_t bytesRead = 0;
        ForkOwner owner{file.be32(8), inResourceFork ? kResourceForkType : kDataForkType};
        content = readFork(file.sub(forkOffset, kForkDataSize), getActiveVH(), getActiveFS(), getPartitionOffset(),
                           &bytesRead, owner);
        uint64_t forkSize = file.be64(forkOffset);
        if (content && bytesRead < forkSize) {
            whole = false;
            fprintf(stderr, "%s: only %llu of its fork's %llu bytes could be read (its extents end early)\n",
                    argument.c_str(), static_cast<unsigned long long>(bytesRead),
                    static_cast<unsigned long long>(forkSize));
            if (compression == 0) content->resize(bytesRead);   // what was read, and no zeros after it
        }
        if (content && compression != 0) {
            Bytes fork{content->data(), bytesRead < content->size() ? bytesRead : content->size()};
            content = decmpfsDecompress(fork, compression, size);
        }
    }
    if (!content) {
        fprintf(stderr, "Unable to get file content\n");
        return -1;
    }
    std::string destination = "/tmp/" + name;
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
