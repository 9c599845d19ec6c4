#include "commands/extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/carved_attribute.h"
#include "catalog/deleted.h"
#include "catalog/entry.h"
#include "catalog/path.h"
#include "commands/pull.h"
#include "commands/stat.h"
#include "volume/volume.h"
#include "commands/session.h"

namespace {

constexpr unsigned kMaxDeletedDepth = 256;   // a deleted tree's folders below its top, at most

// Access and modification times as the record holds them, for futimens and utimensat.
struct Times {
    struct timespec at[2];
    explicit Times(Bytes data) {
        CatalogRecord record{data};
        at[0] = {static_cast<time_t>(unixSeconds(record.accessDate())), 0};
        at[1] = {static_cast<time_t>(unixSeconds(record.contentModDate())), 0};
    }
};

// The permission bits and the sticky bit (a shared folder such as .Trashes keeps it): a set-ID bit
// from an image is not worth keeping.
mode_t permissionsOf(Bytes record) { return CatalogRecord{record}.mode() & 01777; }

struct Extraction {
    const Volume &volume;
    std::vector<UniqueFd> folders;     // the open folders from the destination down to the one being filled
    std::vector<std::string> paths;    // their paths, from the destination's
    std::vector<std::unordered_set<std::string>> names;   // the names given in each
    std::unordered_map<uint32_t, std::string> linked;     // a hard-linked file's first copy, by its indirect node
    bool linkFolders = false;                             // a linked folder met again becomes a symbolic link
    std::unordered_map<uint32_t, std::string> linkedFolders;   // a linked folder's first copy, by its CNID
    unsigned files = 0, made = 0, links = 0, failed = 0, renamed = 0, hardLinks = 0, folderLinks = 0;

    // Two stored names may make one name here ("a/b" and "a:b", two control characters): the later
    // one gets a suffix rather than overwriting the first.
    std::string unique(const std::string &name) {
        std::string given = name;
        for (unsigned n = 2; names.back().count(given); ++n) given = name + "~" + std::to_string(n);
        if (given != name) ++renamed;
        names.back().insert(given);
        return given;
    }

    void fail(const std::string &path, const char *why) {
        fprintf(stderr, "pull: %s: not extracted (%s)\n", visible(path).c_str(), why);
        ++failed;
    }

    bool enterFolder(const std::string &path, const std::string &name) {
        int parent = folders.back().get();
        if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
            fail(path, strerror(errno));
            return false;
        }
        // O_NOFOLLOW: a symbolic link planted where the folder goes is refused, not entered.
        UniqueFd folder(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder) {
            fail(path, strerror(errno));
            return false;
        }
        folders.push_back(std::move(folder));
        paths.push_back(paths.back() + "/" + name);
        names.emplace_back();
        ++made;
        return true;
    }

    void leaveFolder() {
        folders.pop_back();
        paths.pop_back();
        names.pop_back();
    }

    // A hard link whose file was copied before becomes a link to that copy: one copy, as on the volume.
    bool linkAgain(const CatalogEntry &entry, const std::string &name) {
        if (!isHardLink(entry.data)) return false;
        uint32_t node = CatalogRecord{entry.data}.special();
        auto first = linked.find(node);
        std::string here = paths.back() + "/" + name;
        if (first == linked.end()) {
            linked.emplace(node, here);
            return false;
        }
        if (linkat(AT_FDCWD, first->second.c_str(), folders.back().get(), name.c_str(), 0) != 0) return false;
        ++hardLinks;
        return true;
    }

    // With linkFolders, a folder with directory hard links is written once: met again, by its own
    // record or through a link, it becomes a symbolic link to that first copy.
    bool linkFolderAgain(const CatalogEntry &entry, const std::string &path, const std::string &name) {
        if (!linkFolders || !(CatalogRecord{entry.data}.flags() & kHasLinkChainFlag)) return false;
        auto [first, isFirst] = linkedFolders.emplace(entry.cnid, paths.back() + "/" + name);
        if (isFirst) return false;
        std::string target = relativePath(paths.back(), first->second);
        if (symlinkat(target.c_str(), folders.back().get(), name.c_str()) != 0) fail(path, strerror(errno));
        else ++folderLinks;
        return true;
    }

    // `to` as seen from the folder `from`, both written from the destination's path.
    static std::string relativePath(const std::string &from, const std::string &to) {
        size_t common = 0;
        for (size_t i = 0; i <= from.size() && i < to.size(); ++i)
            if ((i == from.size() || from[i] == '/') && to[i] == '/' && from.compare(0, i, to, 0, i) == 0) common = i;
        std::string up;
        for (size_t i = common; i < from.size(); ++i)
            if (from[i] == '/') up += "../";
        return up + to.substr(common + 1);
    }

    // Once its entries are written: a folder without write permission could not take them before.
    // Its owner can always list and remove the copy, whatever the image held.
    static void finishFolder(int fd, const CatalogEntry &entry) {
        fchmod(fd, permissionsOf(entry.data) | S_IRWXU);
        futimens(fd, Times(entry.data).at);
    }

    // The one-line summary, and what else the extraction met; 0 when all was written.
    int report(const std::string &shown, bool whole) const {
        fprintf(stderr, "%u files, %u folders and %u symbolic links written to %s\n", files, made, links, shown.c_str());
        if (hardLinks) fprintf(stderr, "%u hard links made to files copied once\n", hardLinks);
        if (folderLinks) fprintf(stderr, "%u symbolic links made to folders copied once\n", folderLinks);
        if (renamed) fprintf(stderr, "%u entries took a name another had taken in their folder: written with a ~N suffix\n", renamed);
        if (failed) fprintf(stderr, "%u entries could not be extracted\n", failed);
        return whole && failed == 0 ? 0 : 1;
    }

    void link(const CatalogEntry &entry, const std::string &path, const std::string &name) {
        int parent = folders.back().get();
        std::string target = followLink(volume, entry.data, sayNow());
        if (symlinkat(target.c_str(), parent, name.c_str()) != 0 && errno == EEXIST) unlinkat(parent, name.c_str(), 0);
        if (symlinkat(target.c_str(), parent, name.c_str()) != 0 && errno != EEXIST) return fail(path, strerror(errno));
        utimensat(parent, name.c_str(), Times(entry.data).at, AT_SYMLINK_NOFOLLOW);
        ++links;
    }

    void file(const CatalogEntry &entry, const std::string &path, const std::string &name, Bytes decmpfs = {}) {
        if (linkAgain(entry, name)) return;
        int parent = folders.back().get();
        // Created first so that its mode and times can be set through the same descriptor.
        UniqueFd out = createOutputFile(name.c_str(), sayNow(), parent);
        if (!out) return fail(path, "cannot create it");
        int fd = out.get();
        PullTarget target{path, [fd] { return UniqueFd(dup(fd)); }, nullptr, false, true};
        if (pullFile(volume, entry.data, false, path, target, decmpfs) != 0) {
            if (!g_Interrupted) return fail(path, "its content could not be read whole");
            unlinkat(parent, name.c_str(), 0);   // stopped: no half copy is left
            return;
        }
        auto file = fileOfRecord(volume, entry.data, sayNow());   // a hard link's mode and times are its file's
        Bytes record = file ? file->bytes : entry.data;
        fchmod(fd, permissionsOf(record));
        futimens(fd, Times(record).at);
        ++files;
    }
};

// Where the tree goes, as cp -r puts it: into a folder DEST as DEST/NAME, else as DEST itself; by
// default /tmp/NAME. The folder named after the image's is refused when it is a symbolic link (one
// planted in the shared /tmp, say); a DEST the user names is taken as it resolves.
struct Destination {
    UniqueFd folder;
    std::string shown;
    bool created = false;   // its mode and times are set only then, never a folder's that was there
};

bool openDestination(const std::string &name, const std::optional<std::string> &dest, Destination &destination) {
    struct stat st;
    bool into = !dest || (stat(dest->c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    std::string parentPath = dest.value_or("/tmp");
    destination.shown = into ? parentPath + (parentPath.ends_with("/") ? "" : "/") + name : *dest;
    UniqueFd parent(into ? open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    if (into && !parent) {
        fprintf(stderr, "pull: %s: %s\n", parentPath.c_str(), strerror(errno));
        return false;
    }
    int at = into ? parent.get() : AT_FDCWD;
    const char *leaf = into ? name.c_str() : destination.shown.c_str();
    destination.created = mkdirat(at, leaf, 0700) == 0;
    destination.folder = UniqueFd(openat(at, leaf, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (into ? O_NOFOLLOW : 0)));
    if (!destination.folder) fprintf(stderr, "pull: %s: %s\n", destination.shown.c_str(), strerror(errno));
    return static_cast<bool>(destination.folder);
}

}  // namespace

std::string safeComponent(const std::string &name) {
    // Control characters (C0, DEL, and C1 as UTF-8 writes them, 0xC2 0x80-0x9F) become '^': a name
    // must not drive the terminal that lists the copy.
    std::string safe;
    std::string component = componentOf(name);
    for (size_t i = 0; i < component.size(); ++i) {
        auto c = static_cast<unsigned char>(component[i]);
        bool c1 = c == 0xC2 && i + 1 < component.size() && static_cast<unsigned char>(component[i + 1]) < 0xA0 &&
                  static_cast<unsigned char>(component[i + 1]) >= 0x80;
        if (c1) ++i;
        safe += c < 0x20 || c == 0x7F || c1 ? '^' : static_cast<char>(c);
    }
    return safe.empty() || safe == "." || safe == ".." ? "_" + safe : safe;
}

int pullTree(const Volume &volume, uint32_t cwd, const std::string &argument, const std::optional<std::string> &dest,
             bool linkFolders) {
    auto top = findEntry(volume, cwd, argument, "pull", sayNow());
    if (!top) return 1;
    if (!top->folder()) {
        fprintf(stderr, "pull: %s: Not a folder\n", visible(argument).c_str());
        return 1;
    }
    Destination destination;
    if (!openDestination(safeComponent(top->name), dest, destination)) return 1;
    Extraction extraction{volume, {}, {destination.shown}, {{}}, {}, linkFolders, {}};
    extraction.folders.push_back(std::move(destination.folder));
    TreeVisitor visitor{[&](const CatalogEntry &entry, const std::string &path, int) {
                            std::string name = extraction.unique(safeComponent(entry.name));
                            if (entry.folder())
                                return !extraction.linkFolderAgain(entry, path, name) && extraction.enterFolder(path, name);
                            if (isSymLink(entry.data))
                                extraction.link(entry, path, name);
                            else
                                extraction.file(entry, path, name);
                            return false;
                        },
                        [&](const CatalogEntry &folder) {
                            Extraction::finishFolder(extraction.folders.back().get(), folder);
                            extraction.leaveFolder();
                        }};
    bool whole = walkTree(volume, *top, pathOfCNID(volume, top->ownCNID(), sayNow()).value_or(argument), visitor, "pull", sayNow());
    if (destination.created) Extraction::finishFolder(extraction.folders.front().get(), *top);   // never one that was there before
    return extraction.report(destination.shown, whole);
}

int pullDeletedTree(Session &session, const DeletedRecord &top, const std::vector<DeletedRecord> &records,
                    const std::string &argument, const std::optional<std::string> &dest) {
    // Each CNID's own record under its parent: a CNID is written once, where its record puts it.
    std::unordered_map<uint32_t, std::vector<const DeletedRecord *>> children;
    for (const DeletedRecord &r : records)
        if (deletedRecordOf(records, r.cnid) == &r) children[r.parent].push_back(&r);
    Destination destination;
    if (!openDestination(safeComponent(top.name), dest, destination)) return 1;
    Extraction extraction{*session.volume, {}, {destination.shown}, {{}}, {}, false, {}};
    extraction.folders.push_back(std::move(destination.folder));
    // Records name their parents however they like: a folder met again (parents that loop) is
    // written once, and the depth is bounded.
    std::unordered_set<uint32_t> entered{top.cnid};
    SurvivingDecmpfs surviving(*session.volume);   // searched for once, by the first file that needs it
    std::function<void(uint32_t, const std::string &, unsigned)> fill = [&](uint32_t folder, const std::string &path,
                                                                            unsigned depth) {
        auto found = children.find(folder);
        for (size_t i = 0; found != children.end() && i < found->second.size() && !g_Interrupted; ++i) {
            const DeletedRecord &r = *found->second[i];
            const CatalogEntry entry = entryOf(r.key(), nullptr);
            const std::string here = childPath(path, r.name), name = extraction.unique(safeComponent(r.name));
            if (!r.folder()) {
                sayReused(session, here, r);
                const std::vector<uint8_t> decmpfs = survivingDecmpfs(surviving, r, here);
                if (isSymLink(entry.data)) extraction.link(entry, here, name);
                else extraction.file(entry, here, name, {decmpfs.data(), decmpfs.size()});
            } else if (depth == kMaxDeletedDepth) {
                extraction.fail(here, ("deeper than " + std::to_string(kMaxDeletedDepth) + " folders").c_str());
            } else if (!entered.insert(r.cnid).second) {
                extraction.fail(here, "its parents loop");
            } else if (extraction.enterFolder(here, name)) {
                fill(r.cnid, here, depth + 1);
                Extraction::finishFolder(extraction.folders.back().get(), entry);
                extraction.leaveFolder();
            }
        }
    };
    fill(top.cnid, argument, 0);
    if (destination.created) Extraction::finishFolder(extraction.folders.front().get(), entryOf(top.key(), nullptr));
    return extraction.report(destination.shown, !g_Interrupted);
}
