#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "commands/commands.h"
#include "commands/session.h"
#include "volume/journal.h"
#include "volume/replay.h"

namespace {

std::string format(const char *fmt, unsigned long long a) {
    char text[64];
    snprintf(text, sizeof text, fmt, a);
    return text;
}

// One line a transaction: its sequence number where its lists carry one, and where each block lands.
void printTransactions(const Volume &volume, const Journal &j) {
    BlockOwners owners(volume, j);
    size_t number = 0;
    for (const JournalTransaction &t : transactionsOf(j)) {
        // Runs of blocks landing in one kind of place (file data, say) are counted, not repeated.
        std::vector<std::pair<std::string, size_t>> places;
        for (size_t list = t.firstList; list < t.firstList + t.lists; ++list)
            for (const JournalBlock &b : j.lists[list].blocks) {
                std::string place = owners.of(b.sector, b.length);
                if (!places.empty() && places.back().first == place) ++places.back().second;
                else places.emplace_back(place, 1);
            }
        std::string where;
        for (const auto &[place, count] : places)
            where += (where.empty() ? " - " : ", ") + place + (count > 1 ? " x" + std::to_string(count) : "");
        std::string sequence = t.sequence ? ", sequence " + std::to_string(*t.sequence) : "";
        printf("Transaction %zu%s: %zu blocks%s\n", ++number, sequence.c_str(), t.blocks, where.c_str());
    }
}

}  // namespace

int doJournal(Session &session, const char *) {
    auto j = readJournal(*session.volume);
    if (!j) {
        fprintf(stderr, "The volume is not journaled\n");
        return 0;
    }
    std::string flags;
    for (auto [bit, name] : {std::pair{kInFileSystem, "in the file system"}, {kOnOtherDevice, "on another device"},
                             {kNeedsInit, "needs initialising"}})
        if (j->flags & bit) flags += (flags.empty() ? " - " : ", ") + std::string(name);
    printf("Journal info block:\t%u\n", j->infoBlock);
    printf("\t%-20s\t0x%x%s\n", "Flags:", j->flags, flags.c_str());
    printf("\t%-20s\t%llu\n", "Offset:", static_cast<unsigned long long>(j->offset));
    printf("\t%-20s\t%llu\n", "Size:", static_cast<unsigned long long>(j->size));
    if (j->magic == kJournalMagic) {
        printf("Journal header:\t%s-endian\n", j->littleEndian ? "little" : "big");
        printf("\t%-20s\t%llu\n", "Start:", static_cast<unsigned long long>(j->start));
        printf("\t%-20s\t%llu\n", "End:", static_cast<unsigned long long>(j->end));
        printf("\t%-20s\t%u\n", "Header size:", j->headerSize);
        printf("\t%-20s\t%u\n", "Block list size:", j->blockListSize);
        printf("\t%-20s\t0x%08x (%s)\n", "Checksum:", j->checksum,
               j->checksum == j->computedChecksum ? "correct" : format("should be 0x%08llx", j->computedChecksum).c_str());
        printf("\t%-20s\t%u\n", "Sequence:", j->sequence);
    }
    for (const JournalBlockList &l : j->lists) {
        printf("Block list at %llu: %u bytes, checksum 0x%08x (%s), %u of at most %u blocks\n",
               static_cast<unsigned long long>(l.at), l.bytesUsed, l.checksum,
               l.checksum == l.computedChecksum ? "correct" : format("should be 0x%08llx", l.computedChecksum).c_str(),
               static_cast<unsigned>(l.blocks.size()), l.maxBlocks);
        for (const JournalBlock &b : l.blocks)
            printf("\tsector %lld, %u bytes\n", static_cast<long long>(b.sector), b.length);
    }
    printTransactions(*session.volume, *j);
    if (!j->damage.empty()) {
        fprintf(stderr, "%s", j->damage.c_str());
        return 1;
    }
    if (j->unreplayed())
        printf("%zu block lists wait to be replayed\n", j->lists.size());
    else
        printf("No transaction waits to be replayed\n");
    return 0;
}
