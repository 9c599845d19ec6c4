// Volumes from which files were deleted as HFS Plus deletes them, for tests and demonstrations of
// what a delete leaves behind: the expected list comes with the image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hfsbuild/hfsbuild.h"

namespace hfsbuild {

struct Deletion {
    std::vector<std::string> paths;   // files and folders, deleted in the order given
    std::vector<std::string> freed;   // of them, those whose blocks the bitmap frees (the rest stay marked used)
    bool freedCopy = true;            // the catalog's last node, when free, keeps a copy of the first path's leaf as it was
};

struct DeletedEntry {
    std::string path;
    uint32_t cnid = 0;
    uint32_t leaf = 0;       // the catalog leaf that held its records
    uint16_t offset = 0;     // where its file or folder record lies now, in that leaf's free space
    uint16_t before = 0;     // where it lay before the delete, as the freed copy keeps it
    uint32_t startBlock = 0, blockCount = 0;   // the first extent of its first fork with blocks
    bool resource = false;                     // that fork is the resource fork
};

struct DeletedVolume {
    std::vector<uint8_t> image;
    uint32_t freeNode = 0;               // the catalog node that keeps the leaf as it was (0: none)
    std::vector<DeletedEntry> entries;   // as `Deletion::paths` lists them
};

// Builds `volume`, then deletes `deletion.paths` as a delete leaves a leaf: each entry's record and
// thread drop out of their leaf and stay whole in its free space (so do its attributes' records in
// the attributes tree's), the trees' leaf counts, the parents' valences and the header's counts
// fall, and the blocks of `freed` are freed. The volume stays sound: `check` reports nothing.
DeletedVolume buildDeleted(const Volume &volume, const Deletion &deletion);

}  // namespace hfsbuild
