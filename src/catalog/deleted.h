// Catalog file and folder records the live catalog no longer holds: stale copies of leaf nodes in
// the journal's ring, whole records left in the free space at the end of live leaf nodes, and leaf
// nodes the tree's map marks free. A record whose CNID is live but whose name, parent or size
// differ is an earlier version of that entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"

class Volume;
struct Claims;

// Where a copy of a record lies.
struct DeletedPlace {
    enum Kind { kJournal, kSlack, kFreeNode } kind;
    uint64_t offset;        // in the journal file (kJournal), or in the node (kSlack)
    uint32_t node = 0;      // kSlack, kFreeNode
    bool pending = false;   // kJournal: in a transaction not yet replayed
};
std::string placeText(const DeletedPlace &place);   // "journal offset 8704", "node 3 offset 412", "free node 7"

struct DeletedRecord {
    std::vector<uint8_t> record;   // the key, then the folder or file record, whole
    uint32_t cnid = 0, parent = 0;
    std::string name;              // UTF-8 as stored
    bool earlierVersion = false;   // the CNID is live, with another name, parent or size
    std::vector<DeletedPlace> places;   // the first few copies'
    size_t copies = 0;                  // identical copies met
    enum class Blocks { kNone, kFree, kAllocated } blocks = Blocks::kNone;   // its forks' blocks in the bitmap now

    Bytes key() const { return {record.data(), record.size()}; }
    Bytes data() const;            // the folder or file record
    bool folder() const;
};

// Every distinct such record, in CNID order; damage met (a journal that cannot be read, a node
// outside the catalog file) is said and skipped.
std::vector<DeletedRecord> findDeletedRecords(const Volume &volume, Messages &messages);
// Of `records` (as findDeletedRecords gives them), the one of a CNID the live catalog does not hold
// (the one last modified, when copies differ); null when there is none.
const DeletedRecord *deletedRecordOf(const std::vector<DeletedRecord> &records, uint32_t cnid);
// Who holds the record's blocks now, as describeClaimant names it: the first claimant of a block of
// its extents, "and N others" when more claim some; empty when nothing does.
std::string holdersOf(const Volume &volume, const DeletedRecord &record, const Claims &claims, Messages &messages);
