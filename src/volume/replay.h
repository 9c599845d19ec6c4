// The journal replayed in memory: its transactions, from start to end, laid over the volume's
// image as a new image to open the volume through. The volume's own image is never written.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/messages.h"
#include "image/overlay.h"
#include "volume/journal.h"

class Volume;

// Block lists written together: a transaction is replayed whole or not at all.
struct JournalTransaction {
    size_t firstList = 0, lists = 0;     // into Journal::lists
    std::optional<uint32_t> sequence;    // where its lists carry one (Mac OS X 10.5 on)
    size_t blocks = 0;                   // entries, killed ones included
};

// The lists grouped into transactions. A list starts one where its flags say so; lists without
// flags (as TN1150 describes them) continue the one before while its binfo[0].next is non-zero.
std::vector<JournalTransaction> transactionsOf(const Journal &journal);

struct Replay {
    std::shared_ptr<OverlayImage> image;          // null when nothing was replayed
    std::vector<JournalTransaction> transactions; // those replayed
    uint64_t blocks = 0;                          // written, killed entries left out
    bool stoppedEarly = false;                    // a transaction could not be replayed (said in messages)
};

// Nothing when the volume is not journaled. A journal whose info block or header cannot be used
// replays nothing, saying why in one line; a transaction whose lists or blocks are damaged stops
// the replay there, keeping those before it. The replayed journal's header says it is empty.
std::optional<Replay> replayJournal(const Volume &volume, Messages &messages);

// Where a journalled block lands, for the journal's report: "volume header", "catalog node 5",
// "extents nodes 8-15", "attributes node 2", "bitmap", "journal", "other", "killed" (an entry
// made void) or "past the volume's end".
class BlockOwners {
public:
    BlockOwners(const Volume &volume, const Journal &journal);
    std::string of(uint64_t sector, uint64_t length) const;   // in the journal's sectors

private:
    struct Span {
        uint64_t start, length, forkOffset;   // on the volume, and where in its file it begins
        const char *name;
        uint16_t nodeSize;                    // 0: not a B-tree
    };
    std::vector<Span> spans_;
    uint64_t volumeBytes_, sectorSize_;
};
