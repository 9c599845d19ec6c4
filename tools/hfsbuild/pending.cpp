#include "hfsbuild/pending.h"

#include <algorithm>
#include <stdexcept>

namespace hfsbuild {

namespace {

constexpr size_t kSector = 512;

// The states of the named volumes: a file deleted, another created, a dozen folders.
std::vector<Volume> states() {
    Volume v;
    v.label = "Pending";
    v.catalogNodeSize = 512;     // a dozen folders split leaves
    v.catalogBlocks = 4;
    v.totalBlocks = 64;
    v.nextCatalogID = 100;       // the same in every state
    v.modifyDate = kDefaultDate;
    v.nodes = {folderNode("/docs"), fileNode("/docs/notes.txt", "notes\n"), fileNode("/readme.txt", "read me\n"),
               fileNode("/doomed.txt", std::string(5000, 'd'))};
    std::vector<Volume> out{v};
    v.nodes.pop_back();
    out.push_back(v);
    v.nodes.push_back(fileNode("/docs/created.txt", "created by the second transaction\n"));
    out.push_back(v);
    for (int i = 0; i < 12; ++i) v.nodes.push_back(folderNode("/many/folder " + std::to_string(i)));
    out.push_back(v);
    return out;
}

}  // namespace

PendingJournal pendingJournal(const std::vector<Volume> &states, Journal journal) {
    if (states.empty()) throw std::invalid_argument("hfsbuild: no states");
    std::vector<std::vector<uint8_t>> images;
    for (Volume state : states) {
        state.journal = journal;
        state.journal->transactions.clear();
        images.push_back(buildVolume(state));
        if (images.back().size() != images.front().size()) throw std::invalid_argument("hfsbuild: states of other sizes");
    }
    journal.transactions.clear();
    for (size_t k = 1; k < images.size(); ++k) {
        std::vector<JournalBlock> transaction;
        for (size_t at = 0; at < images[k].size(); at += kSector)
            if (!std::equal(images[k].begin() + at, images[k].begin() + at + kSector, images[k - 1].begin() + at))
                transaction.push_back({at / kSector, {images[k].begin() + at, images[k].begin() + at + kSector}});
        if (k == 1) transaction.push_back({~0ull, std::vector<uint8_t>(kSector, 0xEE)});
        journal.transactions.push_back(std::move(transaction));
    }
    Volume first = states.front();
    first.journal = journal;
    PendingJournal out{buildVolume(first), {}};
    out.after = out.before;
    const size_t replayed = std::min(journal.transactions.size(), journal.badChecksum.value_or(SIZE_MAX));
    for (size_t t = 0; t < replayed; ++t)
        for (const JournalBlock &b : journal.transactions[t])
            if (b.sector != ~0ull) std::copy(b.data.begin(), b.data.end(), out.after.begin() + b.sector * kSector);
    return out;
}

const std::vector<std::string> &pendingJournalNames() {
    static const std::vector<std::string> names{"little", "big", "bad-checksum"};
    return names;
}

PendingJournal pendingJournal(const std::string &name) {
    if (std::find(pendingJournalNames().begin(), pendingJournalNames().end(), name) == pendingJournalNames().end())
        return {};
    // A small ring whose first list starts near its end, lists of at most 14 blocks.
    Journal journal{.size = 32768, .littleEndian = name != "big", .blockListSize = 256, .start = 32768 - 768};
    if (name == "bad-checksum") journal.badChecksum = 2;
    return pendingJournal(states(), journal);
}

}  // namespace hfsbuild
