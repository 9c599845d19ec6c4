// Who claims each allocation block: the volume header and its alternate, the special files, every
// file's data and resource forks, attribute values kept in forks, the journal. Built in one walk of
// the catalog's leaves and one of the attributes tree's; it holds one entry per extent, never per block.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/messages.h"
#include "volume/leaf_cursor.h"

class Volume;

struct Claimant {
    enum class Kind { kVolumeHeader, kAlternateHeader, kSpecialFile, kFork, kAttribute, kJournalInfoBlock, kJournal };
    Claimant(Kind kind, uint32_t cnid = 0, uint8_t forkType = 0, std::string attribute = {})
        : kind(kind), cnid(cnid), forkType(forkType), attribute(std::move(attribute)) {}
    Kind kind;
    uint32_t cnid = 0;             // the file's, or the special file's
    uint8_t forkType = 0;          // kDataForkType or kResourceForkType
    std::string attribute;         // the attribute's name, UTF-8
};

// Blocks [start, start + count) of one claimant's extent.
struct Claim {
    uint64_t start, count;
    uint32_t claimant;             // index in Claims::claimants
    uint64_t end() const { return start + count; }
};

// An extent that runs past the last block of the volume, or a fork whose extents do not add up to
// its blocks: what the claims could not take as they are.
struct ForkFault {
    uint32_t claimant;
    std::string what;
};

struct Claims {
    std::vector<Claimant> claimants;
    std::vector<Claim> claims;     // sorted by start block
    std::vector<uint64_t> reach;   // reach[i]: the furthest end of claims[0..i], so that a block's claims are bisected
    std::vector<ForkFault> faults;
    bool complete = true;          // false when a tree walk stopped early (said in `messages`)

    // Every claimant of `block`, in claim order (one whose extents overlap there, twice).
    std::vector<uint32_t> claimantsOf(uint64_t block) const { return claimantsIn(block, 1); }
    // Every claimant of a block of [first, first + count), the same way.
    std::vector<uint32_t> claimantsIn(uint64_t first, uint64_t count) const;
    // Sorts the claims and sets `reach`: the lookups need both.
    void order();
};

// What sees every leaf record of the three walks, so that a caller checking the catalog and the
// attributes needs no walk of its own.
struct LeafVisitors {
    std::function<void(const LeafRecord &)> catalog, attributes, extents;
};
Claims collectClaims(const Volume &volume, Messages &messages, const LeafVisitors &visitors = {});
// "volume header", "catalog file", "/a/b.txt (CNID 22), data fork", "/a (CNID 22), attribute NAME".
std::string describeClaimant(const Volume &volume, const Claimant &claimant, Messages &messages);
