#include "catalog/path.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "base/output.h"
#include "base/utf.h"
#include "btree/node.h"
#include "btree/records.h"
#include "catalog/unicode.h"
#include "volume/fork.h"
#include "volume/volume.h"

namespace {

std::optional<std::string> g_CWD, g_OWD;
uint32_t g_CWD_CNID = 0, g_OWD_CNID = kRootFolderID;

std::optional<SearchResult> searchUnits(const BTree *tree, uint32_t parent, std::u16string_view name, int treeType) {
    uint8_t key[kCatalogKeyMax] = {};
    for (int i = 0; i < 4; ++i) key[2 + i] = static_cast<uint8_t>(parent >> (24 - 8 * i));
    fillStoredName(key + 6, name);
    return searchKey(tree, 0, treeType, Bytes{key, sizeof key});
}

std::optional<SearchResult> searchName(const BTree *tree, uint32_t parent, const std::string &name, int treeType) {
    return searchUnits(tree, parent, UTF8toUTF16(name), treeType);
}

bool foldsCase() { return (compareType & 0xFF) == 0xCF; }

// The record type's two stored bytes read little-endian, as the messages show them (file: 200).
unsigned storedTypeLE(Bytes data) { return reverse16(data.be16(0)); }

// cd .. : the parent comes from the working folder's thread record.
int changeToParent() {
    uint32_t current = getCWDID();
    if (current == kRootFolderID) return 0;
    auto thread = searchName(getCatalogBTree(), current, "", kCatalogTree);
    if (!thread) {
        fprintf(stderr, "cd: Unable to change directory\n");
        return 1;
    }
    std::string path = getCWD();
    size_t slash = path.rfind('/');
    path = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    setCWD(path, getRecordData(thread->recordKey).be32(4));
    return 0;
}

// The record under `parent` named by the earliest of `forms` that any record has, by reading the
// parent's records in key order from its thread record on (bounded by the tree's node count).
std::optional<SearchResult> findChildInOrder(const BTree *tree, uint32_t parent,
                                             const std::vector<std::u16string> &forms) {
    auto thread = searchName(tree, parent, "", kCatalogTree);
    if (!thread) return std::nullopt;
    std::optional<SearchResult> best;
    size_t bestForm = forms.size();
    uint32_t node = thread->node;
    uint16_t first = thread->record;
    for (uint32_t visited = 0; node != 0 && visited < tree->walkableNodes(); ++visited, first = 0) {
        Bytes bytes = tree->node(node);
        for (uint16_t i = first; i < nodeNumRecords(bytes); ++i) {
            uint16_t offset = 0;
            if (!recordOffset(bytes, i, &offset)) return best;
            Bytes record = recordInNode(bytes, offset);
            if (record.be32(2) != parent) return best;
            for (size_t form = 0; form < bestForm; ++form) {
                if (!sameStoredName(record.from(6), forms[form], foldsCase())) continue;
                best = SearchResult{kCatalogTree, node, i, record};
                bestForm = form;
                if (form == 0) return best;
            }
        }
        node = nodeFLink(bytes);
    }
    return best;
}

// A name is found by the descent, as typed and then in the other forms it may be stored in; one
// that the search's simpler order misplaces (names outside ASCII, names with NUL characters) is
// then looked for among the folder's records in turn.
std::optional<SearchResult> lookup(const BTree *tree, uint32_t parent, const std::string &name, int treeType) {
    if (name.empty()) return searchName(tree, parent, name, treeType);
    std::vector<std::u16string> forms = typedNameForms(name);
    for (const std::u16string &form : forms)
        if (auto found = searchUnits(tree, parent, form, treeType)) return found;
    return tree ? findChildInOrder(tree, parent, forms) : std::nullopt;
}

// The volume's name, from the root folder's thread record.
std::optional<std::string> volumeName() {
    auto thread = searchName(getCatalogBTree(), kRootFolderID, "", kCatalogTree);
    if (!thread) return std::nullopt;
    return storedNameText(getRecordData(thread->recordKey).from(8));
}

// macOS mounts a volume at /Volumes/LABEL, so a link to a place on its own volume may name it
// there: such a target is read as a path from this volume's root.
std::string inThisVolume(const std::string &target) {
    static const std::string kVolumes = "/Volumes/";
    if (!target.starts_with(kVolumes)) return target;
    size_t end = std::min(target.find('/', kVolumes.size()), target.size());
    std::string label = target.substr(kVolumes.size(), end - kVolumes.size());
    auto name = volumeName();
    if (!name || label.empty()) return target;
    std::u16string stored = UTF8toUTF16(*name);
    for (const std::u16string &form : typedNameForms(label))
        if (decomposeName(form) == decomposeName(stored)) return end == target.size() ? "/" : target.substr(end);
    return target;
}

}  // namespace

std::optional<SearchResult> searchPath(const BTree *tree, const std::string &typed, int treeType, PathMiss *miss) {
    PathMiss ignored;
    PathMiss &why = miss ? *miss : ignored;
    why = PathMiss::kNone;
    std::string path = typed;
    uint32_t parent = g_CWD_CNID;
    size_t start = 0;
    if (path.starts_with("/")) {
        parent = kRootFolderID;
        start = 1;
    }
    if (!path.empty() && path.size() > start && path.back() == '/') path.pop_back();
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        std::string component = path.substr(start, slash - start);
        auto found = lookup(tree, parent, component, treeType);
        if (!found) {
            why = PathMiss::kNotFound;
            if (!miss) fprintf(stderr, "%s - Folder not found\n", visible(path.substr(0, slash)).c_str());
            return std::nullopt;
        }
        Bytes data = getRecordData(found->recordKey);
        if (data.be16(0) != kFolderRecord) {
            why = PathMiss::kNotAFolder;
            if (!miss) fprintf(stderr, "%s - Not a folder (%x)\n", visible(path.substr(0, slash)).c_str(), storedTypeLE(data));
            return std::nullopt;
        }
        parent = data.be32(8);
        if (g_Debug) printf("CNID of %s: %d\n", visible(component).c_str(), parent);
    }
    std::string last = path.substr(start);
    if (g_Debug) fprintf(stderr, "Searching now for %d%s\n", parent, visible(last).c_str());
    auto found = lookup(tree, parent, last, treeType);
    if (!found) why = PathMiss::kNotFound;
    return found;
}

void reportPathMiss(const char *command, const std::string &path, PathMiss miss) {
    fprintf(stderr, "%s: %s: %s\n", command, visible(path).c_str(), miss == PathMiss::kNotAFolder ? "Not a folder" : "No such file or folder");
}

void setCWD(const std::string &path, uint32_t cnid) {
    if (cnid == 0) {
        std::string working = g_OWD.value_or("/");
        g_OWD = g_CWD;
        g_CWD = working;
        std::swap(g_CWD_CNID, g_OWD_CNID);
        printf("Directory changed to %s (%d)\n", visible(*g_CWD).c_str(), g_CWD_CNID);
        return;
    }
    if (g_CWD && !path.starts_with("/"))
        g_CWD = *g_CWD + (g_CWD->ends_with("/") ? "" : "/") + path;
    else
        g_CWD = path;
    g_CWD_CNID = cnid;
    if (g_Debug) fprintf(stderr, "SET PWD CNID TO %d\n", cnid);
}

const char *getCWD() { return g_CWD ? g_CWD->c_str() : ""; }
uint32_t getCWDID() { return g_CWD_CNID; }

bool isSymLink(Bytes data) { return data.has(48, 4) && memcmp(data.data + 48, "slnk", 4) == 0; }

bool isHardLink(Bytes data) { return data.has(48, 8) && memcmp(data.data + 48, "hlnkhfs+", 8) == 0; }

std::optional<Bytes> hardLinkTarget(Bytes data) {
    // Its name begins with four NUL characters, which the volume's own order sorts last.
    static const std::string kPrivateFolder("\0\0\0\0HFS+ Private Data", 21);
    auto folder = lookup(getCatalogBTree(), kRootFolderID, kPrivateFolder, kCatalogTree);
    if (!folder) return std::nullopt;
    Bytes folderData = getRecordData(folder->recordKey);
    if (folderData.be16(0) != kFolderRecord) return std::nullopt;
    auto node = lookup(getCatalogBTree(), folderData.be32(8), "iNode" + std::to_string(data.be32(44)), kCatalogTree);
    if (!node) return std::nullopt;
    Bytes nodeData = getRecordData(node->recordKey);
    return nodeData.be16(0) == kFileRecord ? std::optional<Bytes>(nodeData) : std::nullopt;
}

std::optional<Bytes> fileOfRecord(Bytes data) {
    if (!isHardLink(data)) return data;
    auto target = hardLinkTarget(data);   // the link record holds no data: the indirect node does
    if (!target) fprintf(stderr, "The hard link's indirect node iNode%u was not found\n", data.be32(44));
    return target;
}

std::string followLink(Bytes data) {
    auto fork = readFork(data.sub(88, kForkDataSize), getActiveVH(), getActiveFS(), getPartitionOffset(), nullptr,
                         {data.be32(8)});
    if (!fork) return "";
    uint64_t length = data.be64(88);
    std::string target(fork->begin(), fork->begin() + static_cast<ptrdiff_t>(length < fork->size() ? length : fork->size()));
    return target.substr(0, target.find('\0'));
}

std::string catalogPath(const BTree *tree, Bytes record) {
    constexpr uint32_t kRootParentID = 1;
    constexpr size_t kMaxDepth = 4096;   // far deeper than real folder trees go: a longer chain is damage
    Bytes data = getRecordData(record);
    int16_t type = static_cast<int16_t>(data.be16(0));
    bool thread = type == kFolderThreadRecord || type == kFileThreadRecord;
    uint32_t parent = thread ? data.be32(4) : record.be32(2);
    Bytes name = thread ? data.from(8) : record.from(6);
    if (parent == kRootParentID) return "/";   // the root folder itself
    std::string path;
    std::set<uint32_t> folders;
    for (;;) {
        path = "/" + visible(posixName(storedNameText(name).value_or(""))) + path;
        if (parent == kRootFolderID) return path;
        auto broken = [&path](const std::string &why) { return "?" + path + " (" + why + ")"; };
        if (!folders.insert(parent).second)
            return broken("the chain of parent folders loops at CNID " + std::to_string(parent));
        if (folders.size() > kMaxDepth) return broken("more than " + std::to_string(kMaxDepth) + " parent folders");
        auto found = searchName(tree, parent, "", kCatalogTree);
        Bytes folder = found ? getRecordData(found->recordKey) : Bytes{};
        if (folder.be16(0) != kFolderThreadRecord)
            return broken("no folder thread record for CNID " + std::to_string(parent));
        name = folder.from(8);
        parent = folder.be32(4);
    }
}

int doChdir(const char *line) {
    if (getActiveFS() == 0) {
        fprintf(stderr, "No active FS. Use the 'fs' command to select the active filesystem first.\n");
        return 1;
    }
    const char *space = strchr(line, ' ');
    if (!space) return 0;   // nowhere to go: stays where it is
    std::string target = space + 1;
    for (int links = 0;; ++links) {
        if (target == "#") {
            printf("Setting to 50\n");
            setCWD("#", 50);
            return 0;
        }
        if (target == "-") {
            setCWD("-", 0);
            return 0;
        }
        if (target == "/") {
            setCWD("/", kRootFolderID);
            return 0;
        }
        if (target == "..") return changeToParent();
        PathMiss miss;
        auto found = searchPath(getCatalogBTree(), target, kCatalogTree, &miss);
        if (!found) {
            reportPathMiss("cd", target, miss);
            return 1;
        }
        Bytes data = getRecordData(found->recordKey);
        if (data.be16(0) == kFolderRecord) {
            setCWD(target, data.be32(8));
            return 0;
        }
        if (data.be16(0) != kFileRecord || !isSymLink(data)) {
            reportPathMiss("cd", target, PathMiss::kNotAFolder);
            return 1;
        }
        if (links == kMaxLinkDepth) {
            fprintf(stderr, "cd: %s: more than %d symbolic links in a row; staying in %s\n", visible(target).c_str(),
                    kMaxLinkDepth, visible(getCWD()).c_str());
            return 1;
        }
        if (g_Debug) fprintf(stderr, "Symlink\n");
        // A relative target is relative to the link's own folder, which the typed path names.
        std::string link = target;
        target = inThisVolume(followLink(data));
        size_t slash = link.rfind('/');
        if (!target.starts_with("/") && slash != std::string::npos) target = link.substr(0, slash + 1) + target;
        fprintf(stderr, "recursing on %s\n", visible(target).c_str());
    }
}

std::vector<FolderEntry> folderEntries(uint32_t folder, size_t limit) {
    std::vector<FolderEntry> entries;
    const BTree *tree = getCatalogBTree();
    auto thread = tree ? searchName(tree, folder, "", kCatalogTree) : std::nullopt;
    if (!thread) return entries;
    uint32_t nodeNumber = thread->node;
    uint16_t first = thread->record;
    // The folder's records follow its thread record along the leaves; a looping chain ends with the tree.
    for (uint32_t visited = 0; nodeNumber != 0 && visited < tree->walkableNodes(); ++visited) {
        Bytes node = tree->node(nodeNumber);
        for (uint16_t i = first; i < nodeNumRecords(node); ++i) {
            uint16_t offset = 0;
            if (!recordOffset(node, i, &offset) || offset > tree->nodeSize()) return entries;
            Bytes record = recordInNode(node, offset);
            if (record.be32(2) != folder) return entries;
            int16_t type = static_cast<int16_t>(getRecordData(record).be16(0));
            if (type != kFolderRecord && type != kFileRecord) continue;
            std::u16string units;
            for (size_t unit = 0; unit < record.be16(6) && unit < kMaxNameUnits; ++unit)
                units += static_cast<char16_t>(record.be16(8 + 2 * unit));
            entries.push_back({UTF16toUTF8(units), type == kFolderRecord, record});
            if (entries.size() >= limit) return entries;
        }
        first = 0;
        nodeNumber = nodeFLink(node);
    }
    return entries;
}
