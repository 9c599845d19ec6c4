// cd: the working folder, by path, "..", "-" (the previous folder), "/", and through symbolic links.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/path.h"
#include "commands/commands.h"
#include "commands/session.h"

namespace {

// cd .. : the parent comes from the working folder's thread record.
int changeToParent(Session &session) {
    uint32_t current = session.cwdID;
    if (current == kRootFolderID) return 0;
    auto thread = threadRecord(session.volume->catalog(), current, sayNow());
    if (!thread) {
        fprintf(stderr, "cd: Unable to change directory\n");
        return 1;
    }
    std::string path = session.cwdText();
    size_t slash = path.rfind('/');
    path = slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
    session.setCWD(path, ThreadRecord{getRecordData(thread->recordKey)}.parentID());
    return 0;
}

}  // namespace

int doChdir(Session &session, const char *line) {
    const Volume &volume = *session.volume;
    const char *space = strchr(line, ' ');
    if (!space) return 0;   // nowhere to go: stays where it is
    std::string target = space + 1;
    for (int links = 0;; ++links) {
        if (target == "#") {
            printf("Setting to 50\n");
            session.setCWD("#", 50);
            return 0;
        }
        if (target == "-") {
            session.setCWD("-", 0);
            return 0;
        }
        if (target == "/") {
            session.setCWD("/", kRootFolderID);
            return 0;
        }
        if (target == "..") return changeToParent(session);
        PathMiss miss;
        auto found = searchPath(volume, session.cwdID, target, sayNow(), &miss);
        if (!found) {
            reportPathMiss("cd", target, miss, sayNow());
            return 1;
        }
        Bytes data = getRecordData(found->recordKey);
        CatalogRecord record{data};
        if (record.type() == kFolderRecord) {
            session.setCWD(target, record.id());
            return 0;
        }
        if (record.type() != kFileRecord || !isSymLink(data)) {
            reportPathMiss("cd", target, PathMiss::kNotAFolder, sayNow());
            return 1;
        }
        if (links == kMaxLinkDepth) {
            fprintf(stderr, "cd: %s: more than %d symbolic links in a row; staying in %s\n", visible(target).c_str(),
                    kMaxLinkDepth, visible(session.cwdText()).c_str());
            return 1;
        }
        if (g_Debug) fprintf(stderr, "Symlink\n");
        // A relative target is relative to the link's own folder, which the typed path names.
        std::string link = target;
        target = inThisVolume(volume, followLink(volume, data, sayNow()), sayNow());
        size_t slash = link.rfind('/');
        if (!target.starts_with("/") && slash != std::string::npos) target = link.substr(0, slash + 1) + target;
        fprintf(stderr, "recursing on %s\n", visible(target).c_str());
    }
}

