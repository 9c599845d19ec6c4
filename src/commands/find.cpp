// find: every entry below a folder with its CNID, or as The Sleuth Kit's body file for timelines.
#include <fnmatch.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/output.h"
#include "base/utf.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/entry.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "commands/commands.h"
#include "commands/digest.h"
#include "commands/listing.h"
#include "commands/session.h"
#include "commands/stat.h"
#include "commands/words.h"

namespace {

// Names compare decomposed, as HFS Plus stores them, so that a pattern typed precomposed matches.
std::string decomposed(const std::string &text) { return UTF16toUTF8(decomposeName(UTF8toUTF16(text))); }

struct FindOptions {
    std::string path, glob, digest;   // digest: "md5", "sha1", "sha256" or none
    char type = 0;
    bool body = false;
};

// The options, and the words of the path: one run of them, read as one argument (names may hold blanks).
bool parseOptions(const Words &words, FindOptions &options) {
    size_t pathFrom = 0, pathTo = 0;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (word == "-m") {
            options.body = true;
        } else if ((word == "-name" || word == "-type" || word == "-hash") && i + 1 < words.size()) {
            const std::string &value = words[++i];
            if (word == "-name") options.glob = decomposed(value);
            else if (word == "-hash" && isDigestName(value)) options.digest = value;
            else if (value.size() == 1 && strchr("fdl", value[0])) options.type = value[0];
            else return false;
        } else if (word[0] == '-' || (pathTo != 0 && pathTo != i)) {
            return false;
        } else {
            if (pathTo == 0) pathFrom = i;
            pathTo = i + 1;
        }
    }
    options.path = words.span(pathFrom, pathTo);
    return !options.body || options.digest.empty() || options.digest == "md5";   // the body file has an MD5 column only
}

char typeOf(const CatalogEntry &entry) {
    if (entry.folder()) return 'd';
    return isSymLink(entry.data) ? 'l' : 'f';
}

bool matches(const Volume &volume, const FindOptions &options, const CatalogEntry &entry) {
    if (options.type && typeOf(entry) != options.type) return false;
    // HFS Plus names compare without case; HFSX (binary compare) with it.
    int flags = volume.compareType() == kBinaryCompare ? 0 : FNM_CASEFOLD;
    return options.glob.empty() || fnmatch(options.glob.c_str(), decomposed(componentOf(entry.name)).c_str(), flags) == 0;
}

// The entry's content digest when asked for one: `none` for a folder, or when it cannot be read.
std::string digestOf(const Volume &volume, const FindOptions &options, const CatalogEntry &entry, const std::string &path,
                     const char *none) {
    if (options.digest.empty() || entry.folder()) return none;
    return contentDigest(volume, entry.data, options.digest, path).value_or(none);
}

// The entry's line of the body format, MD5 0 unless asked.
void printEntryBodyLine(const Volume &volume, const FindOptions &options, const CatalogEntry &entry, const std::string &path) {
    Bytes record = entry.data;
    std::string name = path;
    if (typeOf(entry) == 'l') name += " -> " + followLink(volume, record, sayNow());
    std::optional<HeldBytes> file = entry.folder() ? std::nullopt : fileOfRecord(volume, record, sayNow());
    if (file) record = file->bytes;   // a hard link shows its file
    uint64_t size = 0;
    uint32_t compression = 0;
    if (!entry.folder()) getFileSize(volume, record, &size, &compression, sayNow());
    printBodyLine(digestOf(volume, options, entry, path, "0"), name, record, size, entry.folder());
}

void printEntry(const Volume &volume, const FindOptions &options, const CatalogEntry &entry, const std::string &path) {
    if (!matches(volume, options, entry)) return;
    if (options.body) return printEntryBodyLine(volume, options, entry, path);
    std::optional<HeldBytes> file = entry.folder() ? std::nullopt : fileOfRecord(volume, entry.data, sayNow());
    Bytes record = file ? file->bytes : entry.data;
    if (!options.digest.empty()) printf("%u\t%s\t%s\n", CatalogRecord{record}.id(), digestOf(volume, options, entry, path, "-").c_str(), visible(path).c_str());
    else printf("%u\t%s\n", CatalogRecord{record}.id(), visible(path).c_str());
}

}  // namespace

int doFind(Session &session, const char *line) {
    FindOptions options;
    if (!parseOptions(Words(line), options)) {
        fprintf(stderr, "usage: find [PATH] [-name GLOB] [-type f|d|l] [-hash md5|sha1|sha256] [-m [-hash md5]]\n");
        return 1;
    }
    const Volume &volume = *session.volume;
    std::string typed = options.path.empty() ? "#" + std::to_string(session.cwdID) : options.path;
    auto top = findEntry(volume, session.cwdID, typed, options.path.empty() ? nullptr : "find", sayNow());
    if (!top) {
        if (options.path.empty()) reportPathMiss("find", session.cwdText(), PathMiss::kNotFound, sayNow());
        return 1;
    }
    // The working folder as it was reached (through a directory hard link, say), else the entry's own path.
    std::string topPath = options.path.empty() && session.cwd ? *session.cwd
                                                               : pathOfCNID(volume, top->ownCNID(), sayNow()).value_or(options.path);
    if (!top->folder()) {
        printEntry(volume, options, *top, topPath);
        return 0;
    }
    TreeVisitor visitor{[&](const CatalogEntry &entry, const std::string &path, int) {
                            printEntry(volume, options, entry, path);
                            return true;
                        },
                        nullptr};
    return walkTree(volume, *top, topPath, visitor, "find", sayNow()) ? 0 : 1;
}
