// cd and pwd: the working folder, by path ("." and ".." read as a POSIX shell's cd reads them),
// "-" (the previous folder), "#CNID", and through symbolic links.
#include <cstdio>
#include <string>
#include <vector>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/entry.h"
#include "catalog/path.h"
#include "commands/commands.h"
#include "commands/session.h"
#include "commands/words.h"

namespace {

// The working folder's text once `path` is typed in `cwd`: absolute, without empty or "."
// components, each ".." taking the name before it away.
std::string joinedPath(const std::string &cwd, const std::string &path) {
    std::string whole = path.starts_with("/") ? path : cwd + "/" + path;
    std::vector<std::string> names;
    for (size_t start = 0, slash; start < whole.size(); start = slash + 1) {
        slash = std::min(whole.find('/', start), whole.size());
        std::string name = whole.substr(start, slash - start);
        if (name == "..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
    }
    std::string joined;
    for (const std::string &name : names) joined += "/" + name;
    return joined.empty() ? "/" : joined;
}

// The working folder becomes `path`; the one left is the previous folder, for "cd -".
int enter(Session &session, const std::string &path, uint32_t cnid) {
    session.owd = session.cwd;
    session.owdID = session.cwdID;
    session.setCWD(path, cnid);
    return 0;
}

int enterCNID(Session &session, const std::string &typed) {
    auto entry = findEntry(*session.volume, session.cwdID, typed, "cd", sayNow());
    if (!entry) return 1;
    if (!entry->folder()) {
        reportPathMiss("cd", typed, PathMiss::kNotAFolder, sayNow());
        return 1;
    }
    auto path = pathOfCNID(*session.volume, entry->ownCNID(), sayNow());
    if (!path) {
        fprintf(stderr, "cd: %s: the folder's path from the root cannot be read\n", typed.c_str());
        return 1;
    }
    return enter(session, *path, entry->cnid);
}

}  // namespace

int doChdir(Session &session, const char *line) {
    const Volume &volume = *session.volume;
    Words words(line);
    if (words.empty()) return 0;   // nowhere to go: stays where it is
    std::string target = words.span(0);
    if (target == "-") {
        session.setCWD("-", 0);
        return 0;
    }
    if (isCNIDText(target)) return enterCNID(session, target);
    for (int links = 0;; ++links) {
        // The path is read from the working folder's text, so ".." undoes a step taken through a link.
        std::string path = joinedPath(session.cwdText(), target);
        PathMiss miss;
        auto found = searchPath(volume, kRootFolderID, path, sayNow(), &miss);
        if (!found) {
            reportPathMiss("cd", target, miss, sayNow());
            return 1;
        }
        Bytes data = getRecordData(found->recordKey);
        CatalogRecord record{data};
        if (record.type() == kFolderRecord) return enter(session, path, record.id());
        if (record.type() == kFolderThreadRecord)   // a path ending at "/", "." or ".."
            return enter(session, path, CatalogKeyView{found->recordKey}.parentID());
        if (record.type() == kFileRecord && isFolderLink(data)) {   // the prompt keeps the path through the link
            auto folder = folderLinkTarget(volume, data, sayNow());
            if (!folder) return 1;
            return enter(session, path, CatalogRecord{getRecordData(folder->recordKey)}.id());
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

int doPwd(Session &session, const char *) {
    printf("%s\n", visible(session.cwdText()).c_str());
    return 0;
}
