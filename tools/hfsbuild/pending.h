// Journaled volumes whose journal holds transactions still to be replayed, each with the volume
// the replay must give: for the replay's tests and mkimage --pending.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hfsbuild/hfsbuild.h"

namespace hfsbuild {

struct PendingJournal {
    std::vector<uint8_t> before;   // as written in place, the transactions waiting in its journal
    std::vector<uint8_t> after;    // with them replayed; its journal is left as in `before`
};

// states[0] is the volume as written in place; each later state is what one more transaction
// leaves. All must lay out alike (the same blocks, the catalog preallocated for the largest) and
// carry the same journal, without transactions. A transaction logs every 512-byte sector that
// differs from the state before, plus, in the first, a killed entry. The transaction that
// journal.badChecksum names, and those after it, do not reach `after`.
PendingJournal pendingJournal(const std::vector<Volume> &states, Journal journal);

// The ones the tests use, by name: "little" and "big" (byte orders: a file deleted, one created,
// folders that grow the catalog by nodes, the first list across the ring's end, a transaction in
// several lists), "bad-checksum" (the third transaction's lists are summed wrong).
const std::vector<std::string> &pendingJournalNames();
PendingJournal pendingJournal(const std::string &name);   // empty images for an unknown name

}  // namespace hfsbuild
