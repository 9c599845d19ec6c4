// expand, verify and parts: the image the selected volume is read from, as a whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/output.h"
#include "base/progress.h"
#include "commands/commands.h"
#include "commands/session.h"
#include "commands/words.h"
#include "image/apm.h"
#include "image/gpt.h"
#include "image/partitions.h"
#include "image/udif.h"
#include "image/verify.h"
#include "volume/volume.h"

namespace {

constexpr size_t kPiece = 1 << 20;

// A file written under a name of its own beside `path`, which takes its place only when it is
// whole: the image being read may be `path` itself, and a link or symlink there is replaced, not
// written through.
class Replacement {
public:
    explicit Replacement(const std::string &path) : path_(path), temporary_(path + ".XXXXXX") {
        fd = UniqueFd(mkostemp(temporary_.data(), O_CLOEXEC));
    }
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;
    ~Replacement() {
        if (fd && !kept_) unlink(temporary_.c_str());
    }
    bool keep() {
        kept_ = fchmod(fd.get(), 0600) == 0 && rename(temporary_.c_str(), path_.c_str()) == 0;
        return kept_;
    }
    UniqueFd fd;

private:
    std::string path_, temporary_;
    bool kept_ = false;
};

// Copies the image piece by piece, zeros left as holes; an unreadable piece is written as zeros
// and said. False when writing failed or Ctrl-C stopped it; *unreadable counts the pieces lost.
bool copyImage(const Image &image, int out, uint64_t *unreadable) {
    std::vector<uint8_t> piece(kPiece);
    uint64_t size = image.size();
    Progress progress("Writing", size, sayNow());
    for (uint64_t at = 0; at < size && !g_Interrupted; at += kPiece) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kPiece, size - at));
        if (image.readAt(piece.data(), want, at) != static_cast<ssize_t>(want)) {
            progress.clear();
            fprintf(stderr, "Bytes %llu to %llu cannot be read: written as zeros\n", static_cast<unsigned long long>(at),
                    static_cast<unsigned long long>(at + want));
            ++*unreadable;
            continue;
        }
        if (!allZero(piece.data(), want) && pwrite(out, piece.data(), want, static_cast<off_t>(at)) != static_cast<ssize_t>(want))
            return false;
        progress.update(at + want);
    }
    progress.clear();
    return !g_Interrupted && ftruncate(out, static_cast<off_t>(size)) == 0;
}

}  // namespace

int doExpand(Session &session, const char *line) {
    Words words(line);
    if (words.size() > 1) {
        fprintf(stderr, "usage: expand [DEST]\n");
        return 1;
    }
    std::string dest = words.empty() ? kDecompressedPath : words[0];
    struct stat st;
    if (stat(dest.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        fprintf(stderr, "%s is a folder: name the file to write\n", visible(dest).c_str());
        return 1;
    }
    const Image &image = session.volume->image();
    Replacement file(dest);
    if (!file.fd) {
        fprintf(stderr, "%s: %s\n", visible(dest).c_str(), strerror(errno));
        return 1;
    }
    uint64_t unreadable = 0;
    if (!copyImage(image, file.fd.get(), &unreadable)) {
        if (!g_Interrupted) fprintf(stderr, "write: %s: %s\n", visible(dest).c_str(), strerror(errno));
        return 1;
    }
    if (!file.keep()) {
        fprintf(stderr, "%s: %s\n", visible(dest).c_str(), strerror(errno));
        return 1;
    }
    fprintf(stderr, "%llu bytes written to %s\n", static_cast<unsigned long long>(image.size()), visible(dest).c_str());
    return unreadable ? 1 : 0;
}

int doVerify(Session &session, const char *) {
    if (!session.source) {
        fprintf(stderr, "No image has been selected. Use fs IMAGE first\n");
        return 1;
    }
    int mismatches = verifyImage(*session.source, sayNow());
    if (g_Interrupted) return 1;
    if (mismatches > 0) fprintf(stderr, "%d checksum%s did not match\n", mismatches, mismatches == 1 ? "" : "s");
    return mismatches > 0 ? 1 : 0;
}

int doParts(Session &session, const char *) {
    if (!session.source) {
        fprintf(stderr, "No image has been selected. Use fs IMAGE first\n");
        return 1;
    }
    const Image &image = *session.source;
    FILE *out = reportStream();
    auto row = [out](size_t index, const Partition &p, const std::string &holds) {
        fprintf(out, "%-3zu %-14llu %-14llu %-20s %-24s %s\n", index, static_cast<unsigned long long>(p.start),
                static_cast<unsigned long long>(p.size), visible(p.type).c_str(), visible(p.name).c_str(),
                holds.empty() ? "other" : holds.c_str());
    };
    std::vector<std::pair<Partition, std::string>> rows;
    if (auto trailer = udifTrailer(image)) {
        for (const UdifPartition &p : udifPartitions(session.source, Bytes{trailer->data(), trailer->size()})) {
            bool sane = p.sectors <= UINT64_MAX / 512 && p.firstSector <= UINT64_MAX / 512;
            Partition shown{udifPartitionKind(p.name), p.name, sane ? p.firstSector * 512 : 0, sane ? p.sectors * 512 : 0};
            rows.emplace_back(shown, p.image ? contentAt(*p.image, 0) : "damaged");
        }
    } else if (std::optional<Probe> probe = probeImage(session.source, -1, sayNow())) {
        std::vector<Partition> partitions = !isGPT(probe->view()).empty() ? gptPartitions(probe->view())
                                            : isAPM(probe->view())        ? apmPartitions(image)
                                                                          : std::vector<Partition>{};
        for (const Partition &p : partitions) rows.emplace_back(p, contentAt(image, p.start));
    }
    if (rows.empty()) {
        fprintf(stderr, "The image has no partition map: it is read as one volume\n");
        return 0;
    }
    fprintf(out, "%-3s %-14s %-14s %-20s %-24s %s\n", "#", "Start", "Size", "Type", "Name", "Holds");
    for (size_t i = 0; i < rows.size(); ++i) row(i, rows[i].first, rows[i].second);
    return 0;
}
