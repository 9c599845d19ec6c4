// Catalog entries found by path or by CNID ("#N"), their names and full paths, and a depth-first
// walk below a folder that meets each folder once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/bits.h"
#include "base/messages.h"

class Volume;

struct CatalogEntry {
    Bytes key;             // the folder or file record, key first, to the end of its node
    Bytes data;            // the record's data
    uint32_t cnid = 0, parent = 0;
    std::string name;      // UTF-8 as stored, NUL characters kept
    std::shared_ptr<const uint8_t> keep;   // the node key and data lie in
    uint32_t link = 0;     // the directory hard link the folder was reached through, if one was
    bool folder() const;
    uint32_t ownCNID() const { return link ? link : cnid; }   // the record's it was named by
};

// The entry of a folder or file record's key; `keep` holds the node it lies in.
CatalogEntry entryOf(Bytes recordKey, std::shared_ptr<const uint8_t> keep);
// A directory hard link's entry becomes its folder's (record, CNID), keeping the link's name and
// parent, with `link` its own CNID; any other entry, or a link whose folder is missing (said), stays.
CatalogEntry throughFolderLink(const Volume &volume, CatalogEntry entry, Messages &messages);
// The CNID "#N" (or '#N') names; nothing for any other text or a number past 32 bits.
std::optional<uint32_t> parseCNID(const std::string &typed);
// Whether the text has the form "#N", whatever the number.
bool isCNIDText(const std::string &typed);
// "#N" (or '#N') names the entry whose CNID is N, any other text a path; a directory hard link
// gives its folder (see throughFolderLink). Nothing when it names no folder or file; then, with `command`, the miss is said in the style "CMD: PATH: No such file or folder".
std::optional<CatalogEntry> findEntry(const Volume &volume, uint32_t cwd, const std::string &typed, const char *command,
                                      Messages &messages);
// The full path from the root through the thread records ("/" for the root); nothing when the
// chain breaks or loops.
std::optional<std::string> pathOfCNID(const Volume &volume, uint32_t cnid, Messages &messages);
// A name as a path component: '/' written ':', as macOS and The Sleuth Kit show it.
std::string componentOf(const std::string &name);
std::string childPath(const std::string &folderPath, const std::string &name);

// enter: called for every entry below the top folder, depth 1 for its children; a folder is
// walked into when it returns true, and then left (leave) once its entries are done.
struct TreeVisitor {
    std::function<bool(const CatalogEntry &entry, const std::string &path, int depth)> enter;
    std::function<void(const CatalogEntry &folder)> leave;
};
// Walks depth-first in catalog order, into directory hard links too: a linked folder's content is
// met under every path that reaches it. A folder met a second time (the catalog loops), or a link
// to a folder that holds it, is reported and not walked again; false then, or when stopped by Ctrl-C.
bool walkTree(const Volume &volume, const CatalogEntry &top, const std::string &topPath, const TreeVisitor &visitor,
              const char *command, Messages &messages);
