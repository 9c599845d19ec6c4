// pull -r: a whole tree written out under a destination folder, names mapped so that nothing is
// written outside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class Volume;
struct DeletedRecord;
struct Session;

// A stored name as one safe file name: '/' becomes ':' (as macOS shows it), each control character
// (NUL included) '^' (as The Sleuth Kit shows them); "", "." and ".." gain a leading '_'.
std::string safeComponent(const std::string &name);
// Extracts the folder `argument` (a path or #CNID) into `dest`, by default /tmp/NAME: folders,
// files (expanded when compressed) and symbolic links (made, never followed), with their
// permission bits and access and modification times; with `linkFolders`, a folder with directory
// hard links met again is a symbolic link to its first copy. Fails when any entry could not be written.
int pullTree(const Volume &volume, uint32_t cwd, const std::string &argument, const std::optional<std::string> &dest,
             bool linkFolders);
// pull -r #CNID of a deleted folder's record (`top`, one of `records`, as findDeletedRecords gives
// them): a folder named after it, holding the deleted records whose parent it is, each CNID's own
// as pull #CNID takes it, folders in turn. Live children are not looked for: a deleted folder has none.
int pullDeletedTree(Session &session, const DeletedRecord &top, const std::vector<DeletedRecord> &records,
                    const std::string &argument, const std::optional<std::string> &dest);
