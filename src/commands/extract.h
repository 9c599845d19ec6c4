// pull -r: a whole tree written out under a destination folder, names mapped so that nothing is
// written outside it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class Volume;

// A stored name as one safe file name: '/' becomes ':' (as macOS shows it), each control character
// (NUL included) '^' (as The Sleuth Kit shows them); "", "." and ".." gain a leading '_'.
std::string safeComponent(const std::string &name);
// Extracts the folder `argument` (a path or #CNID) into `dest`, by default /tmp/NAME: folders,
// files (expanded when compressed) and symbolic links (made, never followed), with their
// permission bits and access and modification times; with `linkFolders`, a folder with directory
// hard links met again is a symbolic link to its first copy. Fails when any entry could not be written.
int pullTree(const Volume &volume, uint32_t cwd, const std::string &argument, const std::optional<std::string> &dest,
             bool linkFolders);
