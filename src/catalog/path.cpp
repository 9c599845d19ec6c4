#include "catalog/path.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "base/messages.h"
#include "base/output.h"
#include "base/utf.h"
#include "btree/records.h"
#include "catalog/unicode.h"
#include "volume/leaf_cursor.h"
#include "volume/volume.h"

namespace {

std::optional<SearchResult> searchUnits(const BTree *tree, uint32_t parent, std::u16string_view name, int compare,
                                       Messages &messages) {
    CatalogKey key(parent, name);
    return searchKey(tree, 0, kCatalogTree, key.view(), compare, messages);
}

// The record type's two stored bytes read little-endian, as the messages show them (file: 200).
unsigned storedTypeLE(Bytes data) { return reverse16(static_cast<uint16_t>(catalogRecordType(data))); }

// Whether a four-character code field (a record's Finder type or creator) holds `code`.
bool isCode(Bytes field, const char *code) { return field.size == 4 && memcmp(field.data, code, 4) == 0; }

// The record under `parent` named by the earliest of `forms` that any record has, by reading the
// parent's records in key order from its thread record on (bounded by the tree's node count).
std::optional<SearchResult> findChildInOrder(const BTree *tree, uint32_t parent,
                                             const std::vector<std::u16string> &forms, bool foldCase,
                                             Messages &messages) {
    auto thread = threadRecord(tree, parent, messages);
    if (!thread) return std::nullopt;
    std::optional<SearchResult> best;
    size_t bestForm = forms.size();
    LeafCursor cursor(*tree, thread->node, thread->record);
    while (auto next = cursor.next()) {
        CatalogKeyView key{next->record};
        if (key.parentID() != parent) break;
        for (size_t form = 0; form < bestForm; ++form) {
            if (!sameStoredName(key.name(), forms[form], foldCase)) continue;
            best = SearchResult{kCatalogTree, next->node, next->index, next->record, {next->keep, next->record}};
            bestForm = form;
            if (form == 0) return best;
        }
    }
    return best;
}

// A name is found by the descent, as typed and then in the other forms it may be stored in; one
// that the search's simpler order misplaces (names outside ASCII, names with NUL characters) is
// then looked for among the folder's records in turn.
std::optional<SearchResult> lookup(const Volume &volume, uint32_t parent, const std::string &name, Messages &messages) {
    const BTree *tree = volume.catalog();
    if (name.empty()) return threadRecord(tree, parent, messages);
    std::vector<std::u16string> forms = typedNameForms(name);
    for (const std::u16string &form : forms)
        if (auto found = searchUnits(tree, parent, form, volume.compareType(), messages)) return found;
    return tree ? findChildInOrder(tree, parent, forms, volume.foldsCase(), messages) : std::nullopt;
}

// The volume's name, from the root folder's thread record.
std::optional<std::string> volumeName(const Volume &volume, Messages &messages) {
    auto thread = threadRecord(volume.catalog(), kRootFolderID, messages);
    if (!thread) return std::nullopt;
    return storedNameText(ThreadRecord{getRecordData(thread->recordKey)}.name(), messages);
}

}  // namespace

std::optional<SearchResult> threadRecord(const BTree *tree, uint32_t cnid, Messages &messages) {
    // Keys with an empty name compare alike in both orders: the parent's ID decides.
    return searchUnits(tree, cnid, u"", kCaseFolding, messages);
}

// macOS mounts a volume at /Volumes/LABEL, so a link to a place on its own volume may name it
// there: such a target is read as a path from this volume's root.
std::string inThisVolume(const Volume &volume, const std::string &target, Messages &messages) {
    static const std::string kVolumes = "/Volumes/";
    if (!target.starts_with(kVolumes)) return target;
    size_t end = std::min(target.find('/', kVolumes.size()), target.size());
    std::string label = target.substr(kVolumes.size(), end - kVolumes.size());
    auto name = volumeName(volume, messages);
    if (!name || label.empty()) return target;
    std::u16string stored = UTF8toUTF16(*name);
    for (const std::u16string &form : typedNameForms(label))
        if (decomposeName(form) == decomposeName(stored)) return end == target.size() ? "/" : target.substr(end);
    return target;
}

namespace {

// A component of a path still to be walked, and the text up to it, as a miss shows it.
struct Component {
    std::string name, shown;
};

// The components of `path` to walk, last first: empty ones (repeated slashes) dropped, a trailing
// slash read as a final "." so that the name before it must be a folder (a link to one is followed).
void pushComponents(const std::string &path, std::vector<Component> &pending) {
    std::vector<Component> components;
    for (size_t start = 0, slash; start < path.size(); start = slash + 1) {
        slash = std::min(path.find('/', start), path.size());
        if (slash > start) components.push_back({path.substr(start, slash - start), path.substr(0, slash)});
    }
    if (!components.empty() && path.ends_with("/")) components.push_back({".", path});
    pending.insert(pending.end(), components.rbegin(), components.rend());
}

// The folder that holds `folder`, from its thread record; the root is its own parent.
std::optional<uint32_t> parentFolder(const Volume &volume, uint32_t folder, Messages &messages) {
    if (folder == kRootFolderID) return folder;
    auto thread = threadRecord(volume.catalog(), folder, messages);
    if (!thread || CatalogKeyView{thread->recordKey}.parentID() != folder) return std::nullopt;
    ThreadRecord record{getRecordData(thread->recordKey)};
    if (record.type() != kFolderThreadRecord) return std::nullopt;
    return record.parentID();
}

}  // namespace

std::optional<SearchResult> searchPath(const Volume &volume, uint32_t cwd, const std::string &typed, Messages &messages,
                                       PathMiss *miss) {
    PathMiss ignored;
    PathMiss &why = miss ? *miss : ignored;
    why = PathMiss::kNone;
    uint32_t parent = typed.starts_with("/") ? kRootFolderID : cwd;
    std::vector<Component> pending;
    pushComponents(typed, pending);
    auto fail = [&](PathMiss kind, const Component &at, const char *text) -> std::optional<SearchResult> {
        why = kind;
        if (!miss) messages.err("%s - %s\n", visible(at.shown).c_str(), text);
        return std::nullopt;
    };
    // Every link followed adds its target's components: at most kMaxLinkDepth of them keeps the walk bounded.
    for (int links = 0; !pending.empty();) {
        Component component = std::move(pending.back());
        pending.pop_back();
        bool last = pending.empty();
        if (component.name == "." || component.name == "..") {
            auto up = component.name == "." ? std::optional(parent) : parentFolder(volume, parent, messages);
            if (!up) return fail(PathMiss::kNotFound, component, "Folder not found");
            parent = *up;
            continue;
        }
        if (last) {
            if (g_Debug) messages.err("Searching now for %d%s\n", parent, visible(component.name).c_str());
            auto found = lookup(volume, parent, component.name, messages);
            if (!found) why = PathMiss::kNotFound;
            return found;
        }
        auto found = lookup(volume, parent, component.name, messages);
        if (!found) return fail(PathMiss::kNotFound, component, "Folder not found");
        Bytes data = getRecordData(found->recordKey);
        CatalogRecord record{data};
        if (record.type() == kFolderRecord) {
            parent = record.id();
            if (g_Debug) messages.out("CNID of %s: %d\n", visible(component.name).c_str(), parent);
        } else if (record.type() == kFileRecord && isFolderLink(data)) {
            auto folder = folderLinkTarget(volume, data, messages);
            if (!folder) return fail(PathMiss::kNotFound, component, "Folder not found");
            parent = CatalogRecord{getRecordData(folder->recordKey)}.id();
        } else if (record.type() == kFileRecord && isSymLink(data)) {
            if (++links > kMaxLinkDepth) return fail(PathMiss::kLoop, component, "Too many levels of symbolic links");
            // A relative target is relative to the link's own folder: the one it was found in.
            std::string target = inThisVolume(volume, followLink(volume, data, messages), messages);
            if (target.starts_with("/")) parent = kRootFolderID;
            pushComponents(target, pending);
        } else {
            why = PathMiss::kNotAFolder;
            if (!miss) messages.err("%s - Not a folder (%x)\n", visible(component.shown).c_str(), storedTypeLE(data));
            return std::nullopt;
        }
    }
    // Nothing named (the empty path, "/", or one ending at "." or ".."): the folder's thread record.
    auto found = lookup(volume, parent, "", messages);
    if (!found) why = PathMiss::kNotFound;
    return found;
}

void reportPathMiss(const char *command, const std::string &path, PathMiss miss, Messages &messages) {
    const char *why = miss == PathMiss::kNotAFolder ? "Not a folder"
                      : miss == PathMiss::kLoop    ? "Too many levels of symbolic links"
                                                   : "No such file or folder";
    messages.err("%s: %s: %s\n", command, visible(path).c_str(), why);
}

bool isSymLink(Bytes data) { return isCode(CatalogRecord{data}.finderType(), "slnk"); }

bool isHardLink(Bytes data) {
    CatalogRecord file{data};
    return isCode(file.finderType(), "hlnk") && isCode(file.creator(), "hfs+");
}

bool isFolderLink(Bytes data) {
    // A Finder alias to a folder has the same type and creator, but no link chain.
    CatalogRecord file{data};
    return isCode(file.finderType(), "fdrp") && isCode(file.creator(), "MACS") && (file.flags() & kHasLinkChainFlag);
}

std::optional<SearchResult> threadOfCNID(const BTree *catalog, uint32_t cnid, Messages &messages) {
    auto found = threadRecord(catalog, cnid, messages);
    if (!found) return std::nullopt;
    CatalogKeyView key{found->recordKey};
    if (key.parentID() != cnid || key.nameLength() != 0) return std::nullopt;
    int16_t type = catalogRecordType(getRecordData(found->recordKey));
    return type == kFolderThreadRecord || type == kFileThreadRecord ? found : std::nullopt;
}

std::optional<SearchResult> recordOfCNID(const Volume &volume, uint32_t cnid, Messages &messages) {
    auto thread = threadOfCNID(volume.catalog(), cnid, messages);
    if (!thread) return std::nullopt;
    ThreadRecord named{getRecordData(thread->recordKey)};
    CatalogKey key(named.parentID(), storedNameUnits(named.name()));
    auto found = searchKey(volume.catalog(), 0, kCatalogTree, key.view(), volume.compareType(), messages);
    if (!found || CatalogRecord{getRecordData(found->recordKey)}.id() != cnid) return std::nullopt;
    return found;
}

std::optional<HeldBytes> hardLinkTarget(const Volume &volume, Bytes data, Messages &messages) {
    return indirectNode(volume, CatalogRecord{data}.special(), messages);
}

std::optional<HeldBytes> indirectNode(const Volume &volume, uint32_t number, Messages &messages) {
    // macOS numbers an indirect node after its own CNID: found by it, however many nodes there are.
    const std::string name = "iNode" + std::to_string(number);
    auto node = recordOfCNID(volume, number, messages);
    if (!node || storedNameWithNULs(CatalogKeyView{node->recordKey}.name()) != name) {
        // Older systems numbered them otherwise: then by name, in the private folder. Its name begins
        // with four NUL characters, which the volume's own order sorts last.
        static const std::string kPrivateFolder("\0\0\0\0HFS+ Private Data", 21);
        auto folder = lookup(volume, kRootFolderID, kPrivateFolder, messages);
        if (!folder) return std::nullopt;
        CatalogRecord folderData{getRecordData(folder->recordKey)};
        if (folderData.type() != kFolderRecord) return std::nullopt;
        node = searchUnits(volume.catalog(), folderData.id(), UTF8toUTF16(name), volume.compareType(), messages);
        if (!node) return std::nullopt;
    }
    Bytes nodeData = getRecordData(node->recordKey);
    if (catalogRecordType(nodeData) != kFileRecord) return std::nullopt;
    return HeldBytes{node->held.owner, nodeData};
}

std::optional<SearchResult> folderLinkTarget(const Volume &volume, Bytes data, Messages &messages) {
    const uint32_t folder = CatalogRecord{data}.special();
    auto found = recordOfCNID(volume, folder, messages);
    // Another link is not followed on: macOS makes none, and would not either.
    if (found && catalogRecordType(getRecordData(found->recordKey)) == kFolderRecord) return found;
    if (found)
        messages.err("The directory hard link names CNID %u, which is not a folder\n", folder);
    else
        messages.err("The directory hard link's folder dir_%u was not found\n", folder);
    return std::nullopt;
}

std::optional<HeldBytes> fileOfRecord(const Volume &volume, Bytes data, Messages &messages) {
    if (!isHardLink(data)) return HeldBytes{nullptr, data};   // the caller holds it already
    auto target = hardLinkTarget(volume, data, messages);   // the link record holds no data: the indirect node does
    if (!target)
        messages.err("The hard link's indirect node iNode%u was not found\n", CatalogRecord{data}.special());
    return target;
}

std::string followLink(const Volume &volume, Bytes data, Messages &messages) {
    CatalogRecord file{data};
    auto fork = readFork(volume, file.dataFork(), messages, nullptr, {file.id()});
    if (!fork) return "";
    uint64_t length = file.dataSize();
    std::string target(fork->begin(), fork->begin() + static_cast<ptrdiff_t>(length < fork->size() ? length : fork->size()));
    return target.substr(0, target.find('\0'));
}

std::string catalogPath(const BTree *tree, Bytes record, Messages &messages, FolderChain *known) {
    constexpr uint32_t kRootParentID = 1;
    constexpr size_t kMaxDepth = 4096;   // far deeper than real folder trees go: a longer chain is damage
    ThreadRecord data{getRecordData(record)};
    CatalogKeyView key{record};
    bool thread = data.type() == kFolderThreadRecord || data.type() == kFileThreadRecord;
    uint32_t parent = thread ? data.parentID() : key.parentID();
    if (parent == kRootParentID) return "/";   // the root folder itself
    auto componentOf = [&messages](Bytes name) { return visible(posixName(storedNameText(name, messages).value_or(""))); };
    FolderChain local;
    FolderChain &chain = known ? *known : local;
    const std::string own = componentOf(thread ? data.name() : key.name());
    std::vector<const std::string *> components{&own};   // from the record up
    auto joined = [&components] {
        std::string path;
        for (auto c = components.rbegin(); c != components.rend(); ++c) path += "/" + **c;
        return path;
    };
    std::set<uint32_t> folders;
    for (;;) {
        if (parent == kRootFolderID) return joined();
        auto broken = [&](const std::string &why) { return "?" + joined() + " (" + why + ")"; };
        if (!folders.insert(parent).second)
            return broken("the chain of parent folders loops at CNID " + std::to_string(parent));
        if (folders.size() > kMaxDepth) return broken("more than " + std::to_string(kMaxDepth) + " parent folders");
        auto link = chain.find(parent);
        if (link == chain.end()) {
            auto found = threadRecord(tree, parent, messages);
            ThreadRecord folder{found ? getRecordData(found->recordKey) : Bytes{}};
            if (folder.type() != kFolderThreadRecord)
                return broken("no folder thread record for CNID " + std::to_string(parent));
            link = chain.emplace(parent, FolderLink{folder.parentID(), componentOf(folder.name())}).first;
        }
        components.push_back(&link->second.component);
        parent = link->second.parent;
    }
}

FolderCursor::FolderCursor(const Volume &volume, uint32_t folder, Messages &messages) : folder_(folder) {
    const BTree *tree = volume.catalog();
    // The folder's records follow its thread record along the leaves.
    auto thread = tree ? threadRecord(tree, folder, messages) : std::nullopt;
    if (thread && CatalogKeyView{thread->recordKey}.parentID() == folder) {
        cursor_.emplace(*tree, thread->node, thread->record);
        lastLeaf_ = tree->lastLeafNode();
    } else if (tree) {
        damage_ = "its thread record is missing";
    }
}

std::optional<FolderEntry> FolderCursor::next() {
    while (auto next = cursor_ ? cursor_->next() : std::nullopt) {
        CatalogKeyView key{next->record};
        node_ = next->node;
        if (key.parentID() != folder_) {
            cursor_.reset();   // past its records: all were read
            break;
        }
        int16_t type = catalogRecordType(getRecordData(next->record));
        if (type != kFolderRecord && type != kFileRecord) continue;
        return FolderEntry{UTF16toUTF8(storedNameUnits(key.name())), type == kFolderRecord, next->record, next->keep};
    }
    if (cursor_) ended();
    cursor_.reset();
    return std::nullopt;
}

void FolderCursor::ended() {
    using End = LeafCursor::End;
    uint32_t node = cursor_->node();
    switch (cursor_->end()) {
    case End::kChainEnd:
        if (node_ != lastLeaf_) damage_ = "the chain of leaves breaks at node " + std::to_string(node_);
        break;
    case End::kDamagedNode:
        damage_ = "record " + std::to_string(cursor_->index()) + " of node " + std::to_string(node) + " lies outside it";
        break;
    case End::kLoop: damage_ = "the chain of leaves loops at node " + std::to_string(node); break;
    case End::kNotALeaf: damage_ = "node " + std::to_string(node) + " of the chain of leaves is no leaf"; break;
    default: break;   // stopped by Ctrl-C, which the command says
    }
}

std::vector<FolderEntry> folderEntries(const Volume &volume, uint32_t folder, size_t limit, Messages &messages) {
    std::vector<FolderEntry> entries;
    FolderCursor cursor(volume, folder, messages);
    while (entries.size() < limit)
        if (auto entry = cursor.next()) entries.push_back(std::move(*entry));
        else break;
    return entries;
}
