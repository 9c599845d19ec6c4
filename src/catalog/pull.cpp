#include "catalog/pull.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "btree/btree.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/path.h"
#include "shell/a.h"
#include "volume/fork.h"
#include "volume/volume.h"

namespace {

constexpr uint64_t kZlibMaxRatio = 1032;   // deflate cannot expand further than this

// One zlib stream into out[0, room); returns the bytes produced.
uint64_t inflateInto(Bytes source, uint8_t *out, uint64_t room, int *status) {
    uLongf produced = room;
    *status = uncompress(out, &produced, source.data, source.size);
    return produced;
}

void expandBlocks(Bytes fork, std::vector<uint8_t> &out) {
    if (g_Debug)
        printf("Block start: %x, Stream: %x, Data: %x, Header: %x\n", fork.be32(0), fork.be32(4), fork.be32(8),
               fork.be32(12));
    uint64_t base = static_cast<uint64_t>(fork.be32(0)) + 4;   // the block table, little-endian
    uint32_t blocks = fork.le32(base);
    uint64_t room = out.size(), position = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        uint64_t entry = base + 4 + 8 * static_cast<uint64_t>(i);
        // A count past the table's end would go on for up to 2^32 empty blocks.
        if (!fork.has(entry, 8)) {
            fprintf(stderr, "The block table claims %u blocks but the resource fork holds %u: the rest left empty\n",
                    blocks, i);
            break;
        }
        uint64_t at = base + fork.le32(entry);
        uint32_t size = fork.le32(entry + 4);
        // Every block but the last expands to 64 KiB, so each has a fixed place in the output.
        position = static_cast<uint64_t>(i) * kDecmpfsBlock < out.size() ? static_cast<uint64_t>(i) * kDecmpfsBlock : out.size();
        room = out.size() - position;
        if (g_Debug)
            fprintf(stderr, "Block %d: offset 0x%x, size 0x%x (remaining: %d, pos: %d, of %d)\n", i,
                    static_cast<unsigned>(at), size, static_cast<int>(room), static_cast<int>(position),
                    static_cast<int>(room + position));
        Bytes block = fork.sub(at, size);
        if (block.empty()) {
            fprintf(stderr, "Block %u (offset 0x%llx, size 0x%x) lies outside the resource fork: left empty\n", i,
                    static_cast<unsigned long long>(at), size);
            continue;
        }
        if (block.u8(0) == 0xFF) {
            if (g_Debug) fprintf(stderr, "Uncompressed block\n");
            Bytes stored = block.from(1);
            uint64_t length = stored.size < room ? stored.size : room;
            if (stored.size > room) fprintf(stderr, "Block %u holds more than the file's size: cut\n", i);
            if (length) memcpy(out.data() + position, stored.data, length);
            room -= length;
            continue;
        }
        int status = Z_OK;
        room -= inflateInto(block, out.data() + position, room, &status);
        if (status != Z_OK) fprintf(stderr, "Error decompressing in block %d: (Zlib error %d)\n", i, status);
    }
    if (g_Debug) fprintf(stderr, " Got %d in last block\n", static_cast<int>(room));
}

void expandAttribute(Bytes attribute, std::vector<uint8_t> &out) {
    Bytes data = attribute.from(16);
    if (data.empty()) return;
    if ((data.u8(0) & 0x0F) == 0x0F) {   // stored, not compressed
        Bytes stored = data.from(1);
        if (stored.size > out.size()) fprintf(stderr, "The attribute holds more than the file's size: cut\n");
        // An empty file has no buffer to copy into (memcpy to null is undefined even for 0 bytes).
        if (!stored.empty() && !out.empty())
            memcpy(out.data(), stored.data, stored.size < out.size() ? stored.size : out.size());
        return;
    }
    int status = Z_OK;
    inflateInto(data, out.data(), out.size(), &status);
    if (status != Z_OK) fprintf(stderr, "Error decompressing the attribute's data: (Zlib error %d)\n", status);
}

// The largest size the compressed data can honestly expand to.
uint64_t expansionLimit(Bytes compressed, uint32_t type) {
    if (type == kDecmpfsZlibAttribute) return compressed.size * kZlibMaxRatio + 64;
    uint64_t base = static_cast<uint64_t>(compressed.be32(0)) + 4;
    uint64_t blocks = compressed.le32(base);
    uint64_t fits = compressed.size / 8;   // a block's table entry is 8 bytes of the fork
    return (blocks < fits ? blocks : fits) * kDecmpfsBlock;
}

}  // namespace

std::optional<std::vector<uint8_t>> decmpfsDecompress(Bytes compressed, uint32_t type, uint64_t size) {
    if (g_Debug)
        fprintf(stderr, "Uncompressing %d->%d (Type: %d)\n", static_cast<int>(compressed.size), static_cast<int>(size),
                type);
    if (type != kDecmpfsZlibAttribute && type != kDecmpfsZlibFork) {
        fprintf(stderr, "Compression type %u is not supported: nothing written\n", type);
        return std::nullopt;
    }
    if (type == kDecmpfsZlibFork && !compressed.has(static_cast<uint64_t>(compressed.be32(0)) + 4, 4)) {
        fprintf(stderr, "The resource fork's header points outside the fork (%zu bytes)\n", compressed.size);
        return std::nullopt;
    }
    if (size > expansionLimit(compressed, type)) {
        fprintf(stderr, "The file claims %llu bytes, more than its compressed data can hold\n",
                static_cast<unsigned long long>(size));
        return std::nullopt;
    }
    std::vector<uint8_t> out(size, 0);
    if (type == kDecmpfsZlibFork)
        expandBlocks(compressed, out);
    else
        expandAttribute(compressed, out);
    return out;
}

int doPull(const char *line) {
    const char *space = strchr(line, ' ');
    if (!space) {
        fprintf(stderr, "Search requires an argument\n");
        return 0;
    }
    std::string argument = space + 1;
    std::string name = argument.substr(argument.rfind('/') == std::string::npos ? 0 : argument.rfind('/') + 1);
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
    getFileSize(file, &size, &compression);

    std::optional<std::vector<uint8_t>> content;
    if (compression == kDecmpfsZlibAttribute) {
        content = decmpfsDecompress(decmpfsAttribute(file.be32(8)).value_or(Bytes{}), compression, size);
    } else {
        size_t forkOffset = compression == 0 ? 88 : 168;   // data fork, or the compressed resource fork
        uint64_t bytesRead = 0;
        content = readFork(file.sub(forkOffset, kForkDataSize), getActiveVH(), getActiveFS(), getPartitionOffset(),
                           &bytesRead);
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
    if (length < size)
        fprintf(stderr, "Only %llu of the file's %llu bytes lie in its fork\n", static_cast<unsigned long long>(length),
                static_cast<unsigned long long>(size));
    if (!writeFully(out.get(), content->data(), length)) {
        perror("write");
        return 1;
    }
    fprintf(stderr, "%d bytes written to %s\n", static_cast<int>(length), destination.c_str());
    return 0;
}
