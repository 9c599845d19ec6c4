// deleted: catalog records the live catalog no longer holds, one line each, or as body-file lines.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/carved_attribute.h"
#include "catalog/claims.h"
#include "catalog/decmpfs.h"
#include "catalog/deleted.h"
#include "catalog/entry.h"
#include "commands/commands.h"
#include "commands/listing.h"
#include "commands/session.h"
#include "commands/stat.h"
#include "commands/words.h"

namespace {

// The record's path: its parent's path where the parent still exists, else "#PARENT".
std::string pathOf(const Volume &volume, const DeletedRecord &r, std::unordered_map<uint32_t, std::string> &parents) {
    auto known = parents.find(r.parent);
    if (known == parents.end()) {
        Messages quiet;
        auto path = pathOfCNID(volume, r.parent, quiet);
        known = parents.emplace(r.parent, path.value_or("#" + std::to_string(r.parent))).first;
    }
    return childPath(known->second, r.name);
}

// "S+N S+N": a fork's extents, after `prefix` (none: nothing).
std::string extentsText(Bytes fork, const std::string &prefix) {
    std::string text;
    for (int i = 0; i < 8; ++i)
        if (Extent e = forkExtent(fork, i); e.blockCount != 0)
            text += (text.empty() ? prefix : " ") + std::to_string(e.startBlock) + "+" + std::to_string(e.blockCount);
    return text;
}

// Where it was found (the first copy of each kind), how many copies, its extents and whether
// their blocks are free now, or whose they are (`holders`, as holdersOf gives them).
std::string notes(const DeletedRecord &r, const std::string &holders) {
    std::string text = r.earlierVersion ? "earlier version, " : "";
    bool kinds[3] = {};
    for (const DeletedPlace &place : r.places)
        if (!kinds[place.kind]) {
            kinds[place.kind] = true;
            text += placeText(place) + ", ";
        }
    text += std::to_string(r.copies) + (r.copies == 1 ? " copy" : " copies");
    CatalogRecord record{r.data()};
    if (!r.folder()) {
        std::string data = extentsText(record.dataFork(), ", extents ");
        text += data + extentsText(record.resourceFork(), data.empty() ? ", extents rsrc " : " rsrc ");
    }
    switch (r.blocks) {
    case DeletedRecord::Blocks::kNone: break;
    case DeletedRecord::Blocks::kFree: text += ", blocks free"; break;
    case DeletedRecord::Blocks::kAllocated: text += ", blocks allocated" + (holders.empty() ? "" : " to " + holders); break;
    }
    return text;
}

}  // namespace

int doDeleted(Session &session, const char *line) {
    Words words(line);
    const bool body = words.size() == 1 && words[0] == "-m";
    if (!words.empty() && !body) {
        fprintf(stderr, "usage: deleted [-m]\n");
        return 1;
    }
    const Volume &volume = *session.volume;
    const std::vector<DeletedRecord> records = findDeletedRecords(volume, sayNow());
    if (g_Interrupted) return 1;
    // Only a record whose blocks are in use again makes the claims worth their walk.
    auto reused = [](const DeletedRecord &r) { return r.blocks == DeletedRecord::Blocks::kAllocated; };
    std::shared_ptr<const Claims> claims;
    if (std::any_of(records.begin(), records.end(), reused)) claims = session.volumeClaims(sayNow());
    if (g_Interrupted) return 1;
    // A compressed file's size is in its decmpfs attribute, which left the tree with it: searched
    // for once, where copies survive, when some file needs it.
    SurvivingDecmpfs surviving(volume);
    std::unordered_map<uint32_t, std::string> parents;
    size_t earlier = 0, pending = 0;
    for (const DeletedRecord &r : records) {
        earlier += r.earlierVersion;
        pending += std::all_of(r.places.begin(), r.places.end(), [](const DeletedPlace &p) { return p.pending; });
        CatalogRecord record{r.data()};
        uint64_t size = r.folder() ? record.valence() : 0;
        uint32_t compression = 0;
        Messages quiet;   // a compression attribute gone with the file leaves the fork's size
        if (!r.folder()) getFileSize(volume, r.data(), &size, &compression, quiet);
        if (auto carved = surviving.of(r, sayNow()); carved && *carved)
            if (auto header = DecmpfsHeader::parse({(*carved)->value.data(), (*carved)->value.size()})) size = header->size;
        const std::string path = pathOf(volume, r, parents);
        if (body) {
            printBodyLine("0", path + (r.earlierVersion ? " (earlier version)" : " (deleted)"), r.data(),
                          r.folder() ? 0 : size, r.folder());
            continue;
        }
        printf("%8u %s %9llu %s %s  [%s]\n", r.cnid, modeText(record.mode(), r.folder()).c_str(),
               static_cast<unsigned long long>(size), listingDate(record.contentModDate()).c_str(),
               visible(path).c_str(), notes(r, reused(r) ? holdersOf(volume, r, *claims, sayNow()) : "").c_str());
    }
    fprintf(stderr, "%zu deleted records found in the journal, node slack and free nodes", records.size());
    // Copies in transactions still to be replayed are the volume to come rather than the past.
    if (earlier || pending)
        fprintf(stderr, " (%zu of them earlier versions, %zu only in transactions not yet replayed)", earlier, pending);
    fprintf(stderr, "\n");
    return 0;
}
