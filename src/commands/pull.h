// pull: copying a file out of the volume (to /tmp, a destination, or standard output), expanding
// decmpfs-compressed files; with -r, a whole tree.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/bits.h"

class Volume;
struct DeletedRecord;
class SurvivingDecmpfs;
struct Session;

// Where one file's content goes.
struct PullTarget {
    std::string shown;                   // named in messages: a path, or "standard output"
    std::function<UniqueFd()> create;    // opens the file when its first byte is due; says why not
    std::function<void()> remove;        // undoes a copy stopped half-way
    bool sequential = false;             // a pipe or terminal: written in order, gaps as zeros
    bool quiet = false;                  // no "bytes written" line: a tree reports in sum
};
// Writes the content of a file record, expanded when it is compressed (with `resource`, its
// resource fork as stored). 0 when all of it was written. `decmpfs`, when given, is the value of
// the file's decmpfs attribute where the attributes tree no longer holds it (a deleted file's).
int pullFile(const Volume &volume, Bytes file, bool resource, const std::string &argument, const PullTarget &target,
             Bytes decmpfs = {});
// Says that a deleted record's blocks are in use again, and whose they are, when they are.
void sayReused(Session &session, const std::string &argument, const DeletedRecord &record);
// A deleted compressed file's decmpfs attribute, which went with it from the attributes tree: the
// copy that survives elsewhere, said where it came from; empty when it is in the tree, the file is
// not compressed, or no copy survives (said).
std::vector<uint8_t> survivingDecmpfs(SurvivingDecmpfs &surviving, const DeletedRecord &record, const std::string &argument);
