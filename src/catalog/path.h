// Paths through the catalog, the working and saved folders, cd, and symbolic links.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "btree/search.h"

constexpr uint32_t kRootFolderID = 2;
constexpr int kMaxLinkDepth = 16;   // a longer chain of symbolic links is taken as a loop

// Why a path leads nowhere: a name that is not there, or a file where a folder was needed.
enum class PathMiss { kNone, kNotFound, kNotAFolder };
// With `miss`, nothing is printed: the caller reports the miss in its own words.
std::optional<SearchResult> searchPath(const BTree *tree, const std::string &path, int treeType,
                                       PathMiss *miss = nullptr);
// "CMD: PATH: No such file or folder" (or "Not a folder") on stderr.
void reportPathMiss(const char *command, const std::string &path, PathMiss miss);
// Sets the working folder; cnid 0 exchanges the working and saved folders.
void setCWD(const std::string &path, uint32_t cnid);
const char *getCWD();
uint32_t getCWDID();
int doChdir(const char *line);
bool isSymLink(Bytes fileRecordData);
// File hard links as macOS writes them: Finder type "hlnk", creator "hfs+", the indirect node's
// number in the BSD special field (TN1150 "Hard Links").
bool isHardLink(Bytes fileRecordData);
// The file record of a hard link's indirect node ("iNode<N>" in the private data folder).
std::optional<Bytes> hardLinkTarget(Bytes fileRecordData);
// The record that holds a file's data and attributes: the indirect node of a hard link, the record
// itself otherwise. Nothing (after saying so) when a link's indirect node is missing.
std::optional<Bytes> fileOfRecord(Bytes fileRecordData);
std::string followLink(Bytes fileRecordData);
// The full path of a catalog record's entry (file, folder or thread record), from the thread
// records of its folders up to the root; a stored '/' shows as ':' and names are escaped. A missing
// thread or a looping chain of folders gives "?" and the path known so far, and says why.
std::string catalogPath(const BTree *tree, Bytes record);

struct FolderEntry {
    std::string name;   // UTF-8, as stored
    bool folder = false;
    Bytes record;       // the leaf record, key first, to the end of its node
};
// The files and folders in a folder, in catalog order, at most `limit` of them; quiet on damage.
std::vector<FolderEntry> folderEntries(uint32_t folder, size_t limit);
