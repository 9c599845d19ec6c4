#include "commands/digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/path.h"
#include "commands/pull.h"
#include "volume/volume.h"

bool isDigestName(const std::string &name) { return name == "md5" || name == "sha1" || name == "sha256"; }

namespace {

using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// A plain (uncompressed, whole) data fork, as most files are: read straight into the digest, a
// piece at a time. False when the file needs pull's own ways (compressed, a fork cut short).
bool digestPlainFork(const Volume &volume, Bytes file, EVP_MD_CTX *context) {
    Messages quiet;
    auto linked = fileOfRecord(volume, file, quiet);
    if (!linked) return false;
    uint64_t size = 0;
    uint32_t compression = 0;
    getFileSize(volume, linked->bytes, &size, &compression, quiet);
    CatalogRecord record{linked->bytes};
    ForkMap map = volume.mapFork(record.dataFork(), {record.id(), kDataForkType});
    if (compression != 0 || bytesWithin(map, volume.image().size()) < size) return false;
    std::vector<uint8_t> piece(std::min<uint64_t>(size, 1 << 20));
    for (uint64_t done = 0; done < size;) {
        uint64_t length = std::min<uint64_t>(piece.size(), size - done);
        if (g_Interrupted || readMappedFork(map, volume.image(), done, piece.data(), length) != length) return false;
        EVP_DigestUpdate(context, piece.data(), length);
        done += length;
    }
    return true;
}

// Any other file: pull writes its content into a pipe, in order, as to a terminal, and the other
// end is digested as it comes, on a core of its own.
bool digestAsPulled(const Volume &volume, Bytes file, const std::string &shown, EVP_MD_CTX *context, Bytes decmpfs) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    std::thread hasher([&] {
        std::vector<uint8_t> piece(1 << 20);
        for (ssize_t got; (got = read(readEnd.get(), piece.data(), piece.size())) != 0;)
            if (got > 0) EVP_DigestUpdate(context, piece.data(), static_cast<size_t>(got));
            else if (errno != EINTR) break;
    });
    PullTarget target{shown, [&] { return UniqueFd(dup(writeEnd.get())); }, nullptr, true, true};
    int status = pullFile(volume, file, false, shown, target, decmpfs);
    writeEnd = UniqueFd();   // the last write end: the hasher reads to the end
    hasher.join();
    return status == 0;
}

}  // namespace

std::optional<std::string> contentDigest(const Volume &volume, Bytes file, const std::string &name, const std::string &shown,
                                         Bytes decmpfs) {
    const EVP_MD *md = EVP_get_digestbyname(name.c_str());
    Context context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!md || !context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) return std::nullopt;
    if (!decmpfs.empty() || !digestPlainFork(volume, file, context.get())) {
        // Read again from the start, the way pull does, which also says what went wrong.
        if (EVP_DigestInit_ex(context.get(), md, nullptr) != 1 || !digestAsPulled(volume, file, shown, context.get(), decmpfs))
            return std::nullopt;
    }
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) text += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
    return text;
}
