#include "commands/pull.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/carved_attribute.h"
#include "catalog/claims.h"
#include "catalog/decmpfs.h"
#include "catalog/deleted.h"
#include "catalog/entry.h"
#include "catalog/path.h"
#include "commands/commands.h"
#include "commands/digest.h"
#include "commands/extract.h"
#include "commands/session.h"
#include "commands/words.h"
#include "volume/volume.h"

namespace {

// A copy stopped by Ctrl-C is no copy: nothing half-written is left behind.
int removeStopped(const PullTarget &target) {
    if (target.remove) target.remove();
    return 1;
}

// Nor is one whose writing failed (a full disk): said once, with how far it got.
int removeUnwritten(const PullTarget &target, uint64_t written) {
    fprintf(stderr, "write: %s: %s after %llu bytes\n", visible(target.shown).c_str(), strerror(errno),
            static_cast<unsigned long long>(written));
    return removeStopped(target);
}

void reportShortFork(const std::string &argument, uint64_t read, uint64_t size) {
    fprintf(stderr, "%s: only %llu of its fork's %llu bytes could be read (its extents end early)\n", argument.c_str(),
            static_cast<unsigned long long>(read), static_cast<unsigned long long>(size));
}

void reportWritten(const PullTarget &target, uint64_t bytes) {
    if (!target.quiet) fprintf(stderr, "%llu bytes written to %s\n", static_cast<unsigned long long>(bytes), visible(target.shown).c_str());
}

// Writes at `position`: in place in a file (zeros left as holes, which the file's final size makes
// read as zeros: a forged file of zeros costs no disk), or in order to a stream, the gap before it
// as zeros.
bool writeAt(const PullTarget &target, int fd, uint64_t &written, uint64_t position, const uint8_t *data, size_t length) {
    if (!target.sequential) {
        if (allZero(data, length)) return true;
        written = std::max<uint64_t>(written, position + length);
        return pwrite(fd, data, length, static_cast<off_t>(position)) == static_cast<ssize_t>(length);
    }
    static const uint8_t kZeros[4096] = {};
    if (position < written) return false;
    for (; written < position; written += std::min<uint64_t>(sizeof kZeros, position - written))
        if (!writeFully(fd, kZeros, std::min<uint64_t>(sizeof kZeros, position - written))) return false;
    written += length;
    return writeFully(fd, data, length);
}

// A fork copied as it is read, so memory stays a piece whatever the file's size. A fork whose
// extents end before its size is copied as far as they go, and the command fails.
int pullStreamed(const Volume &volume, Bytes file, bool resource, const std::string &argument, const PullTarget &target) {
    Bytes fork = resource ? CatalogRecord{file}.resourceFork() : CatalogRecord{file}.dataFork();
    uint64_t size = forkLogicalSize(fork);
    UniqueFd out = target.create();
    if (!out) return 1;
    bool writeFailed = false;
    ForkOwner owner{CatalogRecord{file}.id(), resource ? kResourceForkType : kDataForkType};
    Messages messages;
    uint64_t copied = copyFork(volume, fork, owner, size, out.get(), &writeFailed, messages);
    messages.print();
    if (g_Interrupted) return removeStopped(target);
    if (writeFailed) return removeUnwritten(target, copied);
    if (copied < size) reportShortFork(argument, copied, size);
    reportWritten(target, copied);
    return copied < size ? 1 : 0;
}

// A file compressed in its resource fork, expanded a block at a time as the blocks are read: memory
// stays a block whatever the file's size. Nothing is created when the fork cannot be expanded.
int pullExpanded(const Volume &volume, Bytes file, uint32_t type, uint64_t size, const std::string &argument,
                 const PullTarget &target) {
    Bytes forkData = CatalogRecord{file}.resourceFork();
    ForkMap map = volume.mapFork(forkData, {CatalogRecord{file}.id(), kResourceForkType});
    uint64_t mapped = bytesWithin(map, volume.image().size());
    uint64_t forkSize = forkLogicalSize(forkData);
    if (mapped < forkSize) reportShortFork(argument, mapped, forkSize);
    const uint64_t readable = std::min(forkSize, mapped);
    const Image &image = volume.image();
    DecmpfsFork fork{readable, [&](uint64_t offset, uint64_t length, std::vector<uint8_t> &scratch) -> Bytes {
                         if (offset > readable || length > readable - offset) return {};
                         scratch.resize(length);
                         if (readMappedFork(map, image, offset, scratch.data(), length) != length) return {};
                         return {scratch.data(), static_cast<size_t>(length)};
                     }};
    UniqueFd out;
    bool opened = false, writeFailed = false;
    uint64_t written = 0;
    auto open = [&] {
        if (!opened) out = target.create();
        opened = true;
        return static_cast<bool>(out);
    };
    uint64_t damaged = 0;
    bool expanded = decmpfsExpandFork(fork, type, size, [&](uint64_t position, const uint8_t *data, size_t length) {
        if (!open() || writeFailed || length == 0) return;
        writeFailed = !writeAt(target, out.get(), written, position, data, length);
    }, sayNow(), &damaged);
    if (g_Interrupted) return opened ? removeStopped(target) : 1;
    if (!expanded) {
        fprintf(stderr, "Unable to get file content\n");
        return 1;
    }
    if (!open()) return 1;
    // Blocks the table does not give stay zeros, and the copy has the file's size.
    bool sized = target.sequential ? writeAt(target, out.get(), written, size, nullptr, 0)
                                   : ftruncate(out.get(), static_cast<off_t>(size)) == 0;
    if (writeFailed || !sized) return removeUnwritten(target, written);
    reportWritten(target, size);
    return mapped < forkSize || damaged ? 1 : 0;
}

// Quiet: whether the text names a folder or file (a resource fork's spelling included).
bool names(const Session &session, const std::string &text) {
    static const std::string kResourceSuffix = "/..namedfork/rsrc";
    std::string path = text.ends_with(kResourceSuffix) ? text.substr(0, text.size() - kResourceSuffix.size()) : text;
    return findEntry(*session.volume, session.cwdID, path, nullptr, sayNow()).has_value();
}

// Where a single file goes: /tmp/NAME as always, standard output for "-", into DEST when it is a
// folder, else DEST itself.
std::optional<PullTarget> targetFor(const std::optional<std::string> &dest, const std::string &name) {
    PullTarget target;
    if (!dest) {
        target.shown = "/tmp/" + name;
    } else if (*dest == "-") {
        fflush(stdout);
        return PullTarget{"standard output", [] { return UniqueFd(dup(STDOUT_FILENO)); }, nullptr, true, false};
    } else {
        struct stat st;
        if (stat(dest->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            auto folder = std::make_shared<UniqueFd>(open(dest->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!*folder) {
                perror(dest->c_str());
                return std::nullopt;
            }
            std::string file = safeComponent(name);
            target.shown = *dest + (dest->ends_with("/") ? "" : "/") + file;
            target.create = [folder, file] { return createOutputFile(file.c_str(), sayNow(), folder->get()); };
            target.remove = [folder, file, shown = target.shown] {
                unlinkat(folder->get(), file.c_str(), 0);
                fprintf(stderr, "%s removed\n", visible(shown).c_str());
            };
            return target;
        }
        target.shown = *dest;
    }
    std::string path = target.shown;
    target.create = [path] { return createOutputFile(path.c_str(), sayNow()); };
    target.remove = [path] {
        unlink(path.c_str());
        fprintf(stderr, "%s removed\n", visible(path).c_str());
    };
    return target;
}

// A CNID the catalog no longer holds: the record `deleted` lists for it (in `records`, which
// holds them all), said to be one.
const DeletedRecord *deletedRecord(Session &session, const std::string &argument, std::vector<DeletedRecord> &records) {
    auto cnid = parseCNID(argument);
    if (cnid) records = findDeletedRecords(*session.volume, sayNow());
    if (g_Interrupted) return nullptr;
    const DeletedRecord *record = cnid ? deletedRecordOf(records, *cnid) : nullptr;
    if (!record) {
        reportPathMiss("pull", argument, PathMiss::kNotFound, sayNow());
        return nullptr;
    }
    fprintf(stderr, "%s is deleted: its record is from %s\n", argument.c_str(), placeText(record->places.front()).c_str());
    return record;
}

int pullDeletedFolder(Session &session, const std::string &argument, const std::optional<std::string> &dest) {
    std::vector<DeletedRecord> records;
    const DeletedRecord *top = deletedRecord(session, argument, records);
    if (!top) return 1;
    if (!top->folder()) {
        fprintf(stderr, "pull: %s: Not a folder\n", visible(argument).c_str());
        return 1;
    }
    return pullDeletedTree(session, *top, records, argument, dest);
}

}  // namespace

void sayReused(Session &session, const std::string &argument, const DeletedRecord &record) {
    if (record.blocks != DeletedRecord::Blocks::kAllocated) return;
    const std::string holders = holdersOf(*session.volume, record, *session.volumeClaims(sayNow()), sayNow());
    fprintf(stderr, "%s: some of its blocks are allocated now%s: what they hold may be another file's\n",
            visible(argument).c_str(), holders.empty() ? "" : (" to " + holders).c_str());
}

std::vector<uint8_t> survivingDecmpfs(SurvivingDecmpfs &surviving, const DeletedRecord &record, const std::string &argument) {
    auto carved = surviving.of(record, sayNow());
    if (!carved) return {};
    if (!*carved) {
        fprintf(stderr, "%s was compressed, and its decmpfs attribute survives nowhere: its data fork is written as it is\n",
                visible(argument).c_str());
        return {};
    }
    fprintf(stderr, "%s: its decmpfs attribute is from %s\n", visible(argument).c_str(), (*carved)->place.c_str());
    return (*carved)->value;
}

int pullFile(const Volume &volume, Bytes file, bool resource, const std::string &argument, const PullTarget &target,
             Bytes decmpfs) {
    auto linked = fileOfRecord(volume, file, sayNow());
    if (!linked) return 1;
    file = linked->bytes;
    uint64_t size = 0;
    uint32_t compression = 0;   // a resource fork is copied as stored, compressed data included
    if (!resource && decmpfs.empty()) getFileSize(volume, file, &size, &compression, sayNow());
    if (!resource && !decmpfs.empty())
        if (auto header = DecmpfsHeader::parse(decmpfs)) size = header->size, compression = header->type;

    if (compression != 0 && !decmpfsTypeKnown(compression)) {
        fprintf(stderr, "%s uses a compression Tarnwick does not read (type %u)\n", argument.c_str(), compression);
        return 1;
    }
    if (compression == 0) return pullStreamed(volume, file, resource, argument, target);

    if (decmpfsInResourceFork(compression)) return pullExpanded(volume, file, compression, size, argument, target);

    // Compressed inline in its attribute: small, expanded in memory.
    auto attribute = decmpfs.empty() ? decmpfsAttribute(volume, CatalogRecord{file}.id(), sayNow()) : HeldBytes{nullptr, decmpfs};
    uint64_t damaged = 0;
    std::optional<std::vector<uint8_t>> content =
        decmpfsDecompress(attribute ? attribute->bytes : Bytes{}, compression, size, sayNow(), &damaged);
    if (!content) {
        fprintf(stderr, "Unable to get file content\n");
        return 1;
    }
    UniqueFd out = target.create();
    if (!out) return 1;
    if (!writeFully(out.get(), content->data(), content->size()))   // the file's size, as expanded
        return removeUnwritten(target, 0);
    reportWritten(target, content->size());
    return damaged ? 1 : 0;
}

namespace {

int pullCommand(Session &session, const char *line, bool sha256) {
    Words words(line);
    if (words.empty()) {
        fprintf(stderr, "pull requires a path\n");
        return 1;
    }
    std::string argument = words.span(0);
    const Volume &volume = *session.volume;
    if (!session.activeTree) session.selectCatalog();
    // The whole rest of the line is the path whenever it names something, as it always was; else
    // "-r" may lead it, and its last word may be the destination when the words before it name something.
    std::optional<std::string> dest;
    bool tree = false, linkFolders = false;
    if (!names(session, argument)) {
        linkFolders = words[0] == "-rs";
        tree = (words[0] == "-r" || linkFolders) && words.size() > 1;
        size_t first = tree ? 1 : 0, last = words.size() - 1;
        std::string rest = words.span(first), named = words.span(first, last);
        if (tree && names(session, rest)) {
            argument = rest;
        } else if (last > first && (names(session, named) || isCNIDText(named))) {
            argument = named;
            dest = words[last];
        } else if (tree) {
            argument = rest;
        }
    }
    // An option where the destination goes (pull FILE -r) is a slip, not a file to write: a
    // destination of that name is written ./-r.
    if (dest && dest->size() > 1 && dest->front() == '-') {
        fprintf(stderr, "pull: unknown option: %s\n", dest->c_str());
        return 1;
    }
    if (tree && dest == "-") {
        fprintf(stderr, "pull: -r writes a tree of files, not to standard output: name a folder (./- for one named -)\n");
        return 1;
    }
    if (tree && sha256) {
        fprintf(stderr, "pull: -sha256 digests one file, not a tree\n");
        return 1;
    }
    if (tree && isCNIDText(argument) && !names(session, argument)) return pullDeletedFolder(session, argument, dest);
    if (tree) return pullTree(volume, session.cwdID, argument, dest, linkFolders);

    // The macOS spelling of a file's resource fork, copied raw to /tmp/NAME.rsrc.
    static const std::string kResourceSuffix = "/..namedfork/rsrc";
    bool resource = argument.size() > kResourceSuffix.size() && argument.ends_with(kResourceSuffix);
    if (resource) argument.resize(argument.size() - kResourceSuffix.size());
    std::string name = argument.substr(argument.rfind('/') == std::string::npos ? 0 : argument.rfind('/') + 1);
    Bytes file;
    std::shared_ptr<const uint8_t> keep;   // the node `file` lies in
    std::vector<DeletedRecord> records;
    const DeletedRecord *deleted = nullptr;   // what `file` lies in when the CNID is no longer in the catalog
    if (isCNIDText(argument)) {
        auto entry = findEntry(volume, session.cwdID, argument, nullptr, sayNow());
        if (!entry && !(deleted = deletedRecord(session, argument, records))) return 1;
        file = entry ? entry->data : deleted->data();
        keep = entry ? entry->keep : nullptr;
        name = safeComponent(entry ? entry->name : deleted->name);
    } else {
        PathMiss miss;
        auto found = searchPath(volume, session.cwdID, argument, sayNow(), &miss);
        if (!found) {
            reportPathMiss("pull", argument, miss, sayNow());
            return 1;
        }
        file = getRecordData(found->recordKey);
        keep = found->held.owner;
    }
    if (resource) name += ".rsrc";
    int16_t type = catalogRecordType(file);
    if (type == kFolderRecord || type == kFolderThreadRecord || (type == kFileRecord && isFolderLink(file))) {
        fprintf(stderr, "pull: %s: Is a folder\n", argument.c_str());
        return 1;
    }
    if (type != kFileRecord) {
        fprintf(stderr, "RECORD TYPE: %hd\n", type);
        return 1;
    }
    if (deleted) sayReused(session, argument, *deleted);
    SurvivingDecmpfs surviving(volume);
    const std::vector<uint8_t> decmpfs = deleted && !resource ? survivingDecmpfs(surviving, *deleted, argument) : std::vector<uint8_t>{};
    const Bytes carved{decmpfs.data(), decmpfs.size()};
    auto target = targetFor(dest, name);
    if (!target || pullFile(volume, file, resource, argument, *target, carved) != 0) return 1;
    if (!sha256) return 0;
    // Digested as written again, from the volume: the copy may have gone to a pipe.
    auto digest = resource ? std::nullopt : contentDigest(volume, file, "sha256", argument, carved);
    if (!digest) {
        fprintf(stderr, "pull: %s\n", resource ? "-sha256 digests a file's content, not its resource fork" : "the digest could not be made");
        return 1;
    }
    fprintf(stderr, "SHA256 (%s) = %s\n", visible(target->shown).c_str(), digest->c_str());
    return 0;
}

}  // namespace

int doPull(Session &session, const char *line) {
    // A leading -sha256 (unless the whole line names something, as any path may) adds the digest
    // of what was written.
    Words words(line);
    const char *option = strstr(line, "-sha256");
    if (!words.empty() && words[0] == "-sha256" && words.size() > 1 && option && !names(session, words.span(0)))
        return pullCommand(session, ("pull" + std::string(option + 7)).c_str(), true);
    return pullCommand(session, line, false);
}
