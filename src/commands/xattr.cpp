// xattr: the extended attributes of a file or folder, listed, or one of them saved to /tmp.
// "xattr PATH" lists size and name of each attribute in the attributes B-tree's order;
// "xattr PATH NAME" writes NAME's value to /tmp/FILENAME.NAME. A space inside PATH is written "\ ".
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/path.h"
#include "commands/commands.h"
#include "commands/session.h"

namespace {

bool sameName(Bytes a, Bytes b) { return a.size == b.size && (a.size == 0 || memcmp(a.data, b.data, a.size) == 0); }

// Appends one run of up to eight extents (it ends at an empty one) to the value's map, cut at its
// size; returns the blocks it adds.
uint64_t addRun(Bytes run, ForkMap &map, uint64_t &mapped, uint64_t size, uint32_t blockSize, uint64_t partitionOffset) {
    uint64_t blocks = 0;
    for (int i = 0; i < kExtentsPerRecord; ++i) {
        auto [start, count] = extentAt(run, i);
        if (count == 0) break;
        uint64_t length = std::min<uint64_t>(uint64_t{count} * blockSize, size - mapped);
        map.pieces.push_back({partitionOffset + uint64_t{start} * blockSize, length, start, count, i, false});
        mapped += length;
        blocks += count;
    }
    return blocks;
}

// Where a fork-data value lies: the eight extents in its record, then each extents record keyed by
// the number of blocks mapped so far. Each must add blocks, so a chain that repeats itself ends.
ForkMap valueMap(const std::vector<AttributeRecord> &records, const AttributeRecord &fork, uint64_t size,
                 uint32_t blockSize, uint64_t partitionOffset) {
    ForkMap map;
    uint64_t mapped = 0, blocksNeeded = size / blockSize + (size % blockSize != 0);
    uint64_t blocks = addRun(AttributeData{fork.data}.forkExtents(), map, mapped, size, blockSize, partitionOffset);
    for (size_t step = 0; step < records.size() && blocks < blocksNeeded; ++step) {
        auto next = std::find_if(records.begin(), records.end(), [&](const AttributeRecord &r) {
            return AttributeData{r.data}.recordType() == kAttrExtents && r.startBlock == blocks && sameName(r.name, fork.name);
        });
        if (next == records.end()) break;
        uint64_t added = addRun(AttributeData{next->data}.moreExtents(), map, mapped, size, blockSize, partitionOffset);
        if (added == 0) break;
        blocks += added;
    }
    return map;
}

// The value's bytes that lie inside the image, as far as its extents go: a size claimed past them is
// not read, and nothing is held in memory but a piece at a time.
struct ValueSource {
    ForkMap map;      // empty for a value inline in its record
    Bytes inlined;
    uint64_t size = 0;
};

// Copies the value to `out` a piece at a time; how many bytes were copied, or nothing (after saying
// so) when a write failed.
std::optional<uint64_t> copyValue(const Volume &volume, const ValueSource &value, int out, const std::string &destination) {
    constexpr uint64_t kPiece = 1 << 20;
    std::vector<uint8_t> buffer;
    uint64_t copied = 0;
    while (copied < value.size && !g_Interrupted) {
        uint64_t want = std::min(kPiece, value.size - copied), got = want;
        const uint8_t *bytes = value.inlined.data + copied;
        if (value.inlined.empty()) {
            buffer.resize(want);
            got = readMappedFork(value.map, volume.image(), copied, buffer.data(), want);
            bytes = buffer.data();
        }
        if (got == 0) break;
        if (!writeFully(out, bytes, got)) {
            fprintf(stderr, "write: %s: %s after %llu bytes: removed\n", visible(destination).c_str(), strerror(errno),
                    static_cast<unsigned long long>(copied));
            return std::nullopt;
        }
        copied += got;
        if (got < want) break;
    }
    return copied;
}

// Writes the value's bytes to /tmp/FILENAME.NAME; 1 when they fall short of the stored size.
int saveValue(const Volume &volume, const std::string &path, const std::string &name, const AttributeRecord &record,
              const std::vector<AttributeRecord> &records) {
    ValueSource value;
    AttributeData data{record.data};
    bool inRecord = data.recordType() == kAttrInlineData;
    if (inRecord) {
        value.inlined = data.inlineBytes();   // cut where the record ends
        value.size = value.inlined.size;
    } else {
        uint32_t blockSize = volume.blockSize();
        value.size = data.forkSize();
        uint64_t image = volume.image().size();
        if (image == 0) image = volume.header().volumeBytes();   // a device of unknown size
        if (blockSize == 0) {
            fprintf(stderr, "The volume's block size is 0: %s of %s cannot be read\n", name.c_str(), path.c_str());
            return 1;
        }
        if (value.size > image) {
            fprintf(stderr, "%s: attribute %s of %llu bytes is larger than the image (%llu bytes): not read\n",
                    path.c_str(), name.c_str(), static_cast<unsigned long long>(value.size),
                    static_cast<unsigned long long>(image));
            return 1;
        }
        value.map = valueMap(records, record, value.size, blockSize, volume.partitionOffset());
    }
    uint64_t stored = inRecord ? data.inlineSize() : value.size;
    // The last component names the file; a '/' in the attribute's name must not lead out of /tmp.
    std::string trimmed = path.substr(0, path.find_last_not_of('/') + 1);
    std::string destination = "/tmp/" + trimmed.substr(trimmed.rfind('/') + 1) + "." + name;
    std::replace(destination.begin() + 5, destination.end(), '/', ':');
    UniqueFd out = createOutputFile(destination.c_str(), sayNow());
    if (!out) return 1;
    std::optional<uint64_t> copied = copyValue(volume, value, out.get(), destination);
    if (!copied || g_Interrupted) {
        unlink(destination.c_str());
        if (g_Interrupted) fprintf(stderr, "Stopped\n");
        return 1;
    }
    if (*copied < stored)
        fprintf(stderr, "%s: attribute %s: only %llu of its %llu bytes could be read (%s)\n", path.c_str(),
                name.c_str(), static_cast<unsigned long long>(*copied), static_cast<unsigned long long>(stored),
                inRecord ? "its record ends early" : "its extents end early");
    fprintf(stderr, "%llu bytes written to %s\n", static_cast<unsigned long long>(*copied), visible(destination).c_str());
    return *copied < stored ? 1 : 0;
}

}  // namespace

int doXattr(Session &session, const char *line) {
    const char *space = strchr(line, ' ');
    if (!space) {
        fprintf(stderr, "xattr requires a path\n");
        return 1;
    }
    // The path ends at the first space not written "\ "; the attribute's name is the rest of the line.
    std::string path;
    const char *c = space + 1;
    for (; *c && *c != ' '; ++c) {
        if (*c == '\\' && c[1]) ++c;
        path += *c;
    }
    std::string name = *c ? c + 1 : "";
    const Volume &volume = *session.volume;
    auto found = searchPath(volume, session.cwdID, path, sayNow());
    if (!found) {
        fprintf(stderr, "%s not found\n", path.c_str());
        return 1;
    }
    Bytes record = getRecordData(found->recordKey);
    int16_t type = catalogRecordType(record);
    uint32_t fileID = CatalogRecord{record}.id();
    // "/" (and an empty path) reach the folder's thread record, keyed by the folder's own ID.
    if (type == kFolderThreadRecord) {
        fileID = CatalogKeyView{found->recordKey}.parentID();
    } else if (type != kFileRecord && type != kFolderRecord) {
        fprintf(stderr, "%s is not a file or folder (record type %hd)\n", path.c_str(), type);
        return 1;
    }
    if (type == kFileRecord) {
        auto file = fileOfRecord(volume, record, sayNow());   // a hard link's attributes are its indirect node's
        if (!file) return 1;
        fileID = CatalogRecord{file->bytes}.id();
    }
    const BTree *tree = volume.attributes();
    std::vector<AttributeRecord> records = tree ? attributeRecordsOf(tree, fileID, sayNow()) : std::vector<AttributeRecord>{};
    if (records.empty() && name.empty()) {
        fprintf(stderr, "%s has no extended attributes\n", path.c_str());
        return 0;
    }
    for (const AttributeRecord &r : records) {
        uint32_t kind = AttributeData{r.data}.recordType();
        if (kind != kAttrInlineData && kind != kAttrForkData) {
            // Extents records continue a fork-data value, which its own record stands for.
            if (kind != kAttrExtents && name.empty())
                fprintf(stderr, "%s: attribute record of unknown type 0x%x\n", visible(attributeNameText(r.name)).c_str(), kind);
            continue;
        }
        if (name.empty())
            printf("%llu\t%s\n",
                   static_cast<unsigned long long>(attributeValueSize(r)),
                   visible(attributeNameText(r.name)).c_str());
        else if (attributeNameText(r.name) == name)
            return saveValue(volume, path, name, r, records);
    }
    if (!name.empty()) {
        fprintf(stderr, "%s has no extended attribute named %s\n", path.c_str(), name.c_str());
        return 1;
    }
    return 0;
}
