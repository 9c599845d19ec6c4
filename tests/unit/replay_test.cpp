// The journal replayed in memory: the overlay against a plain copy of what it should read, and
// each of the builder's pending journals replayed to the volume the builder says it gives.
#include <random>

#include "hfsbuild/pending.h"
#include "image/overlay.h"
#include "unit.h"
#include "volume/journal.h"
#include "volume/replay.h"

namespace {

using unit::ByteVec;

std::shared_ptr<const Image> fileImage(const ByteVec &bytes, const std::string &name) {
    return std::make_shared<FileImage>(UniqueFd(open(writeScratch(name, bytes).c_str(), O_RDONLY)));
}

// Replacements that cut, split, cover and extend one another, then reads across every edge,
// compared with the same replacements made in a copy; a read past the image's end stays short.
TEST(Overlay, ReadsTheLatestReplacementOverTheImage) {
    ByteVec base(4096);
    for (size_t i = 0; i < base.size(); ++i) base[i] = static_cast<uint8_t>(i * 7);
    OverlayImage overlay(fileImage(base, "overlay-base.img"));
    ByteVec model = base;
    std::mt19937 random(5);
    for (int i = 0; i < 200; ++i) {
        size_t at = random() % 4000, length = 1 + random() % 300;
        ByteVec data(length, static_cast<uint8_t>(i));
        overlay.replace(at, data);
        std::copy_n(data.begin(), std::min(length, model.size() - at), model.begin() + static_cast<long>(at));
        size_t from = random() % 4096, count = random() % 600;
        ByteVec got(count);
        ssize_t read = overlay.readAt(got.data(), count, from);
        size_t expected = std::min(count, model.size() - from);
        ASSERT_EQ(read, static_cast<ssize_t>(expected)) << i;
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + read, model.begin() + static_cast<long>(from))) << i;
    }
    EXPECT_LE(overlay.replacedBytes(), 4000u + 300u);   // replaced ranges are kept once
}

// Lists without flags chain while binfo[0].next is non-zero (TN1150); flagged ones (Mac OS X 10.5
// on) start a transaction where the flags say so, binfo[0].next their sequence number.
TEST(Replay, ListsGroupIntoTransactions) {
    struct Case {
        std::vector<std::pair<uint32_t, uint32_t>> lists;   // flags, next
        std::vector<std::pair<size_t, std::optional<uint32_t>>> transactions;   // lists, sequence
    } cases[] = {
        {{{0, 1}, {0, 0}, {0, 0}}, {{2, std::nullopt}, {1, std::nullopt}}},
        {{{3, 7}, {1, 7}, {3, 8}}, {{2, 7}, {1, 8}}},
        {{{0, 0}, {3, 5}, {0, 0}}, {{1, std::nullopt}, {1, 5}, {1, std::nullopt}}},
    };
    for (const Case &c : cases) {
        Journal journal;
        for (auto [flags, next] : c.lists) journal.lists.push_back({0, 0, 0, 0, 0, 0, {}, flags, next});
        std::vector<std::pair<size_t, std::optional<uint32_t>>> got;
        for (const JournalTransaction &t : transactionsOf(journal)) got.emplace_back(t.lists, t.sequence);
        EXPECT_EQ(got, c.transactions);
    }
}

// Every sector read through the replay equals the builder's replayed volume, but the journal's
// header, which the replay empties (and which must then say nothing waits).
TEST(Replay, GivesTheBuildersVolume) {
    struct Case { std::string name; size_t transactions; bool stopped; } cases[] = {
        {"little", 3, false}, {"big", 3, false}, {"bad-checksum", 2, true}};
    for (const Case &c : cases) {
        hfsbuild::PendingJournal pending = hfsbuild::pendingJournal(c.name);
        auto volume = unit::openVolume(pending.before, "pending-" + c.name + ".hfs");
        ASSERT_TRUE(volume) << c.name;
        Messages messages;
        auto replay = replayJournal(*volume, messages);
        ASSERT_TRUE(replay && replay->image) << c.name << messages.text(false);
        EXPECT_EQ(replay->transactions.size(), c.transactions) << c.name;
        EXPECT_EQ(replay->stoppedEarly, c.stopped) << c.name;
        EXPECT_EQ(messages.text(false).empty(), !c.stopped) << c.name << messages.text(false);
        const uint64_t header = readJournal(*volume)->offset;
        ByteVec sector(512);
        for (size_t at = 0; at < pending.after.size(); at += sector.size()) {
            ASSERT_EQ(replay->image->readAt(sector.data(), sector.size(), at), 512);
            bool same = std::equal(sector.begin(), sector.end(), pending.after.begin() + static_cast<long>(at));
            EXPECT_TRUE(same || at == header) << c.name << " sector " << at / 512;
        }
        Messages opening;
        auto replayed = Volume::open(replay->image, 0, opening);
        ASSERT_TRUE(replayed) << c.name;
        auto journal = readJournal(*replayed);
        EXPECT_TRUE(journal && !journal->unreplayed() && journal->checksum == journal->computedChecksum) << c.name;
        EXPECT_TRUE(opening.empty()) << c.name << opening.text(false);
    }
}

}  // namespace
