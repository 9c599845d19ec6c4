// replay: the selected volume seen with its journal's transactions replayed in memory, what that
// changes in the catalog, and `replay off` back to the volume as it lies on disk.
#include <cstdio>
#include <string>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/changes.h"
#include "catalog/path.h"
#include "commands/commands.h"
#include "commands/fs.h"
#include "commands/session.h"
#include "commands/words.h"
#include "volume/replay.h"

namespace {

// The folder a path names in the session's volume, if it still names one.
std::optional<uint32_t> folderAt(const Volume &volume, const std::string &path) {
    Messages quiet;
    PathMiss miss;
    auto found = searchPath(volume, kRootFolderID, path, quiet, &miss);
    if (!found) return std::nullopt;
    CatalogRecord record{getRecordData(found->recordKey)};
    if (record.type() == kFolderRecord) return record.id();
    if (record.type() == kFolderThreadRecord) return CatalogKeyView{found->recordKey}.parentID();
    return std::nullopt;
}

// After the session's volume was exchanged for another view of it: the trees, the label and the
// working folders read from the new one, a folder that is not there any more left for the root.
void enterView(Session &session) {
    int type = session.activeType;
    session.activeTree = nullptr;
    session.selectCatalog();
    readFSLabel(session);
    if (type != kCatalogTree && session.volume->tree(type)) {
        session.activeTree = session.volume->tree(type);
        session.activeType = type;
    }
    if (auto id = folderAt(*session.volume, session.cwdText())) {
        session.cwdID = *id;
    } else {
        fprintf(stderr, "%s is no folder in this view: the working folder is the root\n", visible(session.cwdText()).c_str());
        session.setCWD("/", kRootFolderID);
    }
    auto previous = session.owd ? folderAt(*session.volume, *session.owd) : std::nullopt;
    session.owdID = previous.value_or(kRootFolderID);
    if (!previous) session.owd.reset();
}

int replayOff(Session &session) {
    if (!session.onDisk) {
        printf("The replayed view is not active\n");
        return 0;
    }
    session.volume = std::move(session.onDisk);
    session.claims.reset();
    session.replayedTransactions = 0;
    enterView(session);
    printf("Back to the volume as it lies on disk\n");
    return 0;
}

const char *kindText(CatalogChange::Kind kind) {
    return kind == CatalogChange::kAdded ? "Added" : kind == CatalogChange::kChanged ? "Changed" : "Removed";
}

}  // namespace

int doReplay(Session &session, const char *line) {
    Words words(line);
    if (words.size() == 1 && words[0] == "off") return replayOff(session);
    if (!words.empty()) {
        fprintf(stderr, "usage: replay [off]\n");
        return 1;
    }
    if (session.onDisk) {
        printf("The replayed view is already active ('replay off' returns to the volume as it lies on disk)\n");
        return 0;
    }
    Messages messages;
    auto replay = replayJournal(*session.volume, messages);
    messages.print();
    if (!replay) {
        fprintf(stderr, "The volume is not journaled\n");
        return 0;
    }
    if (!replay->image) {
        if (!replay->stoppedEarly) printf("No transaction waits to be replayed\n");
        return replay->stoppedEarly ? 1 : 0;
    }
    const Volume &onDisk = *session.volume;
    Messages opening;
    auto replayed = Volume::open(replay->image, onDisk.wrapperOffset().value_or(onDisk.partitionOffset()), opening);
    opening.print(g_ReportToStdout);
    if (!replayed) {
        fprintf(stderr, "The replayed volume has no volume header: the view stays as on disk\n");
        return 1;
    }
    printf("Replayed %zu transactions, %llu blocks\n", replay->transactions.size(),
           static_cast<unsigned long long>(replay->blocks));
    auto changes = catalogChanges(onDisk, *replayed, sayNow());
    for (const CatalogChange &c : changes)
        printf("%s %s %s (CNID %u)\n", kindText(c.kind), c.folder ? "folder" : "file", c.path.c_str(), c.cnid);
    if (changes.empty()) printf("No file or folder record changes\n");
    session.onDisk = std::move(session.volume);
    session.volume = std::move(replayed);
    session.claims.reset();
    session.replayedTransactions = replay->transactions.size();
    enterView(session);
    return replay->stoppedEarly ? 1 : 0;
}
