#include "commands/digest.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "commands/pull.h"

bool isDigestName(const std::string &name) { return name == "md5" || name == "sha1" || name == "sha256"; }

std::optional<std::string> contentDigest(const Volume &volume, Bytes file, const std::string &name, const std::string &shown) {
    const EVP_MD *md = EVP_get_digestbyname(name.c_str());
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    int ends[2];
    if (!md || !context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1 || pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    // pull writes the content into a pipe, in order, as to a terminal; the other end is hashed as it
    // comes, on a core of its own. Every path pull takes (streamed, expanded, inline) is the same here.
    std::thread hasher([&] {
        std::vector<uint8_t> piece(1 << 20);
        for (ssize_t got; (got = read(readEnd.get(), piece.data(), piece.size())) != 0;)
            if (got > 0) EVP_DigestUpdate(context.get(), piece.data(), static_cast<size_t>(got));
            else if (errno != EINTR) break;
    });
    PullTarget target{shown, [&] { return UniqueFd(dup(writeEnd.get())); }, nullptr, true, true};
    int status = pullFile(volume, file, false, shown, target);
    writeEnd = UniqueFd();   // the last write end: the hasher reads to the end
    hasher.join();
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (status != 0 || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) text += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
    return text;
}
