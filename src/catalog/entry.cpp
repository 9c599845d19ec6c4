#include "catalog/entry.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "base/output.h"
#include "base/utf.h"
#include "btree/records.h"
#include "btree/search.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "volume/volume.h"

namespace {

// The folder or file record a thread record names: its parent's entry of that name. The folder's
// records are read in turn, so a name the search's order misplaces is still found.
std::optional<CatalogEntry> recordOfThread(const Volume &volume, Bytes threadKey, uint32_t cnid, Messages &messages) {
    ThreadRecord thread{getRecordData(threadKey)};
    Bytes name = thread.name();
    uint32_t parent = thread.parentID();
    CatalogKey key(parent, storedNameUnits(name));
    if (auto found = searchKey(volume.catalog(), 0, kCatalogTree, key.view(), volume.compareType(), messages)) {
        CatalogEntry entry = entryOf(found->recordKey, found->held.owner);
        if (entry.cnid == cnid && entry.parent == parent && identicalStoredNames(name, CatalogKeyView{found->recordKey}.name()))
            return entry;
    }
    for (const FolderEntry &candidate : folderEntries(volume, parent, SIZE_MAX, messages)) {
        CatalogEntry entry = entryOf(candidate.record, candidate.keep);
        if (entry.cnid == cnid && identicalStoredNames(name, CatalogKeyView{candidate.record}.name())) return entry;
    }
    return std::nullopt;
}

}  // namespace

bool CatalogEntry::folder() const { return catalogRecordType(data) == kFolderRecord; }

CatalogEntry entryOf(Bytes recordKey, std::shared_ptr<const uint8_t> keep) {
    Bytes data = getRecordData(recordKey);
    CatalogKeyView key{recordKey};
    return {recordKey, data, CatalogRecord{data}.id(), key.parentID(), storedNameWithNULs(key.name()), std::move(keep)};
}

CatalogEntry throughFolderLink(const Volume &volume, CatalogEntry entry, Messages &messages) {
    if (entry.folder() || !isFolderLink(entry.data)) return entry;
    auto folder = folderLinkTarget(volume, entry.data, messages);
    if (!folder) return entry;
    CatalogEntry linked = entryOf(folder->recordKey, folder->held.owner);
    linked.link = entry.cnid;
    linked.parent = entry.parent;
    linked.name = std::move(entry.name);
    return linked;
}

std::optional<uint32_t> parseCNID(const std::string &typed) {
    std::string text = typed.size() > 2 && typed.front() == '\'' && typed.back() == '\'' ? typed.substr(1, typed.size() - 2) : typed;
    if (text.size() < 2 || text.size() > 11 || text[0] != '#' || text.find_first_not_of("0123456789", 1) != std::string::npos)
        return std::nullopt;
    uint64_t cnid = std::stoull(text.substr(1));
    return cnid <= UINT32_MAX ? std::optional<uint32_t>(static_cast<uint32_t>(cnid)) : std::nullopt;
}

bool isCNIDText(const std::string &typed) {
    std::string text = typed.size() > 2 && typed.front() == '\'' && typed.back() == '\'' ? typed.substr(1, typed.size() - 2) : typed;
    return text.size() > 1 && text[0] == '#' && text.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::optional<CatalogEntry> findEntry(const Volume &volume, uint32_t cwd, const std::string &typed, const char *command,
                                      Messages &messages) {
    std::optional<CatalogEntry> entry;
    PathMiss miss = PathMiss::kNotFound;
    if (auto cnid = parseCNID(typed)) {
        if (auto thread = threadOfCNID(volume.catalog(), *cnid, messages)) entry = recordOfThread(volume, thread->recordKey, *cnid, messages);
    } else if (isCNIDText(typed)) {
        // A number past 32 bits names nothing.
    } else if (auto found = searchPath(volume, cwd, typed, messages, &miss)) {
        int16_t type = catalogRecordType(getRecordData(found->recordKey));
        if (type == kFolderRecord || type == kFileRecord) entry = entryOf(found->recordKey, found->held.owner);
        // "/" and the empty path reach the folder's thread record, keyed by the folder's own ID.
        if (type == kFolderThreadRecord)
            entry = recordOfThread(volume, found->recordKey, CatalogKeyView{found->recordKey}.parentID(), messages);
    }
    if (!entry && command) reportPathMiss(command, typed, miss, messages);
    return entry ? std::optional(throughFolderLink(volume, std::move(*entry), messages)) : entry;
}

std::string componentOf(const std::string &name) {
    std::string component = name;
    for (char &c : component)
        if (c == '/') c = ':';
    return component;
}

std::string childPath(const std::string &folderPath, const std::string &name) {
    return (folderPath == "/" ? "" : folderPath) + "/" + componentOf(name);
}

std::optional<std::string> pathOfCNID(const Volume &volume, uint32_t cnid, Messages &messages) {
    std::vector<std::string> names;
    std::unordered_set<uint32_t> seen;
    for (; cnid != kRootFolderID; ) {
        auto thread = seen.insert(cnid).second ? threadOfCNID(volume.catalog(), cnid, messages) : std::nullopt;
        if (!thread) return std::nullopt;
        ThreadRecord record{getRecordData(thread->recordKey)};
        names.push_back(componentOf(storedNameWithNULs(record.name())));
        cnid = record.parentID();
    }
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) path += "/" + *name;
    return path.empty() ? "/" : path;
}

bool walkTree(const Volume &volume, const CatalogEntry &top, const std::string &topPath, const TreeVisitor &visitor,
              const char *command, Messages &messages) {
    // One cursor a level: memory stays a node a level, whatever the size of the folders. The path is
    // one string that grows and shrinks with the walk, so a deep tree costs its depth, not its
    // depth squared.
    struct Frame {
        FolderCursor entries;
        CatalogEntry folder;
        size_t pathLength;   // of the folder's path, a prefix of `path`
        bool throughLink;    // this folder or one above it was reached through a directory hard link
    };
    std::string path = topPath;
    std::vector<Frame> stack;
    stack.push_back({FolderCursor(volume, top.cnid, messages), top, path.size(), top.link != 0});
    // Each folder is walked once by its own records, so the walk ends however the catalog points.
    // Below a directory hard link folders are met again by design: there a folder is refused only
    // when it is being walked already, above on the same path.
    std::unordered_set<uint32_t> walked{top.cnid}, above{top.cnid};
    bool whole = true;
    while (!stack.empty()) {
        if (g_Interrupted) return false;
        Frame &frame = stack.back();
        std::optional<FolderEntry> next = frame.entries.next();
        if (!next) {
            if (!frame.entries.damage().empty()) {
                messages.err("%s: %s: the folder's records could not all be read (%s)\n", command,
                             visible(path).c_str(), frame.entries.damage().c_str());
                whole = false;
            }
            if (stack.size() > 1 && visitor.leave) visitor.leave(frame.folder);
            above.erase(frame.folder.cnid);
            stack.pop_back();
            if (!stack.empty()) path.resize(stack.back().pathLength);
            continue;
        }
        CatalogEntry entry = throughFolderLink(volume, entryOf(next->record, next->keep), messages);
        const bool throughLink = frame.throughLink || entry.link != 0;
        size_t folderLength = path.size();
        path = childPath(path, entry.name);
        bool enter = visitor.enter(entry, path, static_cast<int>(stack.size())) && entry.folder();
        if (enter && (above.contains(entry.cnid) || (!throughLink && !walked.insert(entry.cnid).second))) {
            if (entry.link)
                messages.err("%s: %s: a directory hard link to folder %u, which holds it: not followed\n", command,
                             visible(path).c_str(), entry.cnid);
            else
                messages.err("%s: %s: folder %u was met before (the catalog loops): not walked again\n", command,
                             visible(path).c_str(), entry.cnid);
            whole = false;
            if (visitor.leave) visitor.leave(entry);
            enter = false;
        }
        if (!enter) {
            path.resize(folderLength);
            continue;
        }
        above.insert(entry.cnid);
        stack.push_back({FolderCursor(volume, entry.cnid, messages), entry, path.size(), throughLink});
    }
    return whole;
}
