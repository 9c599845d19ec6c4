// Paths through the catalog: lookups by name from a folder, thread records, symbolic and hard
// links, full paths, and the entries of a folder.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/messages.h"
#include "btree/search.h"
#include "volume/leaf_cursor.h"

class Volume;

constexpr uint32_t kRootFolderID = 2;
constexpr int kMaxLinkDepth = 16;   // a longer chain of symbolic links is taken as a loop

// Why a path leads nowhere: a name that is not there, a file where a folder was needed, or more
// than kMaxLinkDepth symbolic links on the way (a loop).
enum class PathMiss { kNone, kNotFound, kNotAFolder, kLoop };
// The record a path names, relative paths from the folder `cwd`, as POSIX resolves them: "." and
// ".." anywhere (".." from the folder's thread record, the root its own parent), repeated slashes,
// symbolic links before the last name followed (and the last one too when a slash ends the path).
// A path ending at a folder without naming it ("", "/", "a/..", "a/") gives the folder's thread
// record, keyed by the folder's own ID. With `miss`, a miss is not said: the caller reports it in
// its own words. Damage met on the way goes to `messages`.
std::optional<SearchResult> searchPath(const Volume &volume, uint32_t cwd, const std::string &path,
                                       Messages &messages, PathMiss *miss = nullptr);
// "CMD: PATH: No such file or folder" (or "Not a folder", "Too many levels of symbolic links").
void reportPathMiss(const char *command, const std::string &path, PathMiss miss, Messages &messages);
// The thread record of a CNID (the key with its ID as parent and an empty name), if the search finds one.
std::optional<SearchResult> threadRecord(const BTree *catalog, uint32_t cnid, Messages &messages);
// A link's target under /Volumes/LABEL, LABEL this volume's name, as a path from its root.
std::string inThisVolume(const Volume &volume, const std::string &target, Messages &messages);
bool isSymLink(Bytes fileRecordData);
// The thread record of a CNID when it is one (keyed by the CNID, no name, of a thread's type).
std::optional<SearchResult> threadOfCNID(const BTree *catalog, uint32_t cnid, Messages &messages);
// The folder or file record of a CNID, through its thread record: two descents, never a walk of
// the folder it lies in.
std::optional<SearchResult> recordOfCNID(const Volume &volume, uint32_t cnid, Messages &messages);
// Directory hard links as Time Machine writes them: Finder type "fdrp", creator "MACS", the link
// chain flag, the folder's CNID in the BSD special field; the folder is "dir_<N>" in the private
// folder ".HFS+ Private Directory Data\r".
bool isFolderLink(Bytes fileRecordData);
// The folder record a directory hard link names; nothing, after saying so, when there is none.
std::optional<SearchResult> folderLinkTarget(const Volume &volume, Bytes fileRecordData, Messages &messages);
// File hard links as macOS writes them: Finder type "hlnk", creator "hfs+", the indirect node's
// number in the BSD special field (TN1150 "Hard Links").
bool isHardLink(Bytes fileRecordData);
// The file record of a hard link's indirect node ("iNode<N>" in the private data folder), by the
// link's record or by N.
std::optional<HeldBytes> hardLinkTarget(const Volume &volume, Bytes fileRecordData, Messages &messages);
std::optional<HeldBytes> indirectNode(const Volume &volume, uint32_t number, Messages &messages);
// The record that holds a file's data and attributes: the indirect node of a hard link, the record
// itself otherwise. Nothing (after saying so) when a link's indirect node is missing.
std::optional<HeldBytes> fileOfRecord(const Volume &volume, Bytes fileRecordData, Messages &messages);
std::string followLink(const Volume &volume, Bytes fileRecordData, Messages &messages);
// The full path of a catalog record's entry (file, folder or thread record), from the thread
// records of its folders up to the root; a stored '/' shows as ':' and names are escaped. A missing
// thread or a looping chain of folders gives "?" and the path known so far, and says why.
// `known` keeps the folders met, for a caller that asks for many paths in one tree: each folder's
// thread record is then looked up once, however many records lie below it.
struct FolderLink {
    uint32_t parent;
    std::string component;   // as the path shows it
};
using FolderChain = std::unordered_map<uint32_t, FolderLink>;
std::string catalogPath(const BTree *catalog, Bytes record, Messages &messages, FolderChain *known = nullptr);

struct FolderEntry {
    std::string name;   // UTF-8, as stored
    bool folder = false;
    Bytes record;       // the leaf record, key first, to the end of its node
    std::shared_ptr<const uint8_t> keep;   // the node the record lies in
};
// The files and folders in a folder one at a time, in catalog order, so that memory stays a node
// whatever the folder's size; only the search for its thread record says what damage it meets.
class FolderCursor {
public:
    FolderCursor(const Volume &volume, uint32_t folder, Messages &messages);
    std::optional<FolderEntry> next();
    // Once next() gave nothing: why the folder's records could not all be read (its thread record
    // missing, a damaged node, a chain of leaves that breaks or loops), or empty when they were.
    const std::string &damage() const { return damage_; }

private:
    void ended();
    uint32_t folder_;
    uint32_t lastLeaf_ = 0, node_ = 0;   // the tree's last leaf; the leaf of the last record read
    std::optional<LeafCursor> cursor_;
    std::string damage_;
};
// The same gathered, at most `limit` of them.
std::vector<FolderEntry> folderEntries(const Volume &volume, uint32_t folder, size_t limit, Messages &messages);
