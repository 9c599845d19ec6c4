// ls and dir: a folder's entries (or a file's single line) in the long form.
#include <cstdio>
#include <cstring>

#include "base/output.h"
#include "commands/node_dump.h"
#include "btree/records.h"
#include "btree/search.h"
#include "commands/listing.h"
#include "catalog/path.h"
#include "commands/record_dump.h"
#include "commands/commands.h"
#include "commands/session.h"
#include "commands/words.h"

namespace {

// A folder's records follow its thread record in key order (parent first), maybe across leaves.
int listFolder(const Volume &volume, uint32_t folder, int64_t flags, const char *shownName) {
    const BTree *catalog = volume.catalog();
    auto thread = threadRecord(catalog, folder, sayNow());
    if (!thread) {
        fprintf(stderr, "Path not found: %s\n", visible(shownName).c_str());
        return 1;
    }
    auto show = [&](Bytes record, int kind) { dumpRecord(volume, record, kind, kCatalogTree, 0, 0); };
    walkNodes(catalog, thread->node, thread->record, show, [&](Bytes record, int kind, uint32_t, uint16_t) {
        return dumpRecord(volume, record, kind, kCatalogTree, folder, flags);
    });
    // The listing stops quietly where the leaves do; whether that was the folder's end is told by a
    // walk of its records alone.
    Messages quiet;
    FolderCursor check(volume, folder, quiet);
    while (check.next() && !g_Interrupted) {}
    if (check.damage().empty()) return 0;
    fprintf(stderr, "ls: %s: the folder's records could not all be read (%s)\n", visible(shownName).c_str(),
            check.damage().c_str());
    return 1;
}

}  // namespace

int doDir(Session &session, const char *line) {
    const Volume &volume = *session.volume;
    int64_t flags = (g_Color ? kListColor : 0) | (useXML ? kListXML : 0) | kListTyped;
    Words words(line);
    size_t first = 0;
    for (; first < words.size() && words[first].size() > 1 && words[first][0] == '-'; ++first) {
        for (char c : words[first].substr(1)) {
            switch (c) {
            case '@': flags |= kListXattr; break;
            case 'O': flags |= kListFinder; break;
            case 'h': flags |= kListHuman; break;
            case 'l': break;   // the long form is the only one
            default: fprintf(stderr, "Unknown modifier: %c\n", c); return 1;
            }
        }
    }
    std::string typed = words.span(first);
    const char *path = typed.c_str();
    if (!*path) return listFolder(volume, session.cwdID, flags, session.cwdText());
    const char *command = (line[0] | 0x20) == 'd' ? "dir" : "ls";
    PathMiss miss;
    auto found = searchPath(volume, session.cwdID, path, sayNow(), &miss);
    if (!found) {
        reportPathMiss(command, path, miss, sayNow());
        return 1;
    }
    CatalogRecord record{getRecordData(found->recordKey)};
    switch (record.type()) {
    case kFolderRecord: return listFolder(volume, record.id(), flags, path);
    case kFolderThreadRecord:   // "/": keyed by its own ID
        return listFolder(volume, CatalogKeyView{found->recordKey}.parentID(), flags, path);
    case kFileRecord:
        if (isFolderLink(record.data)) {
            auto folder = folderLinkTarget(volume, record.data, sayNow());
            return folder ? listFolder(volume, CatalogRecord{getRecordData(folder->recordKey)}.id(), flags, path) : 1;
        }
        dumpRecord(volume, found->recordKey, kLeafNode, kCatalogTree, 0, flags);
        return 0;
    default: reportPathMiss(command, path, PathMiss::kNotFound, sayNow()); return 1;
    }
}
