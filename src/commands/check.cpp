// check (the whole volume, read and judged) and owner (who holds an allocation block).
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "base/output.h"
#include "catalog/check.h"
#include "catalog/claims.h"
#include "commands/commands.h"
#include "commands/session.h"
#include "commands/words.h"
#include "volume/fork.h"

namespace {

constexpr uint32_t kAllocationFileID = 6;

std::optional<uint64_t> number(const std::string &text) {
    if (text.empty() || text[0] == '-') return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const bool hex = text.starts_with("0x") || text.starts_with("0X");   // a leading 0 is no octal here
    unsigned long long value = strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (*end || errno) return std::nullopt;
    return value;
}

// Whether the allocation bitmap marks the block used; nothing when its bit cannot be read.
std::optional<bool> markedUsed(const Volume &volume, uint64_t block) {
    uint8_t byte = 0;
    Messages quiet;
    ForkMap map = volume.mapFork(volume.header().fork(kAllocationForkOffset), {kAllocationFileID});
    if (readMappedFork(map, volume.image(), block / 8, &byte, 1) != 1) return std::nullopt;
    return (byte >> (7 - block % 8)) & 1;
}

}  // namespace

int doCheck(Session &session, const char *) {
    Messages &messages = sayNow();
    Findings findings(messages);
    auto claims = std::make_shared<const Claims>(checkVolume(*session.volume, findings, messages));
    if (g_Interrupted) return 1;
    session.claims = claims;   // owner answers from them after a check
    if (findings.count() == 0)
        printf("No problems found\n");
    else
        printf("%zu finding%s\n", findings.count(), findings.count() == 1 ? "" : "s");
    return findings.count() ? 1 : 0;
}

int doOwner(Session &session, const char *line) {
    Words words(line);
    const bool byOffset = words.size() == 2 && words[0] == "-o";
    std::optional<uint64_t> given = words.size() == 1 || byOffset ? number(words[words.size() - 1]) : std::nullopt;
    if (!given) {
        fprintf(stderr, "usage: owner BLOCK | owner -o OFFSET\n");
        return 1;
    }
    const Volume &volume = *session.volume;
    const uint64_t blockSize = volume.blockSize(), total = volume.header().totalBlocks();
    const uint64_t block = byOffset ? (blockSize ? *given / blockSize : 0) : *given;
    std::string where = byOffset ? "Offset " + std::to_string(*given) + " is in block " + std::to_string(block)
                                 : "Block " + std::to_string(block);
    if (block >= total || blockSize == 0) {
        fprintf(stderr, "owner: %s%s lies past the volume's end (%" PRIu64 " blocks)\n", byOffset ? "offset " : "block ",
                std::to_string(*given).c_str(), total);
        return 1;
    }
    Messages &messages = sayNow();
    std::shared_ptr<const Claims> claims = session.volumeClaims(messages);
    if (g_Interrupted) return 1;   // half the claims would name too few
    std::vector<uint32_t> who = claims->claimantsOf(block);
    std::optional<bool> used = markedUsed(volume, block);
    std::string text;
    for (uint32_t c : who) text += (text.empty() ? "" : "; ") + describeClaimant(volume, claims->claimants[c], messages);
    if (who.size() > 1) text = "claimed " + std::to_string(who.size()) + " times: " + text;
    if (who.empty()) text = !used ? "claimed by nothing (its bit in the allocation bitmap cannot be read)"
                            : *used ? "allocated but claimed by nothing" : "free";
    else if (used && !*used) text += " (but marked free in the allocation bitmap)";
    printf("%s: %s\n", where.c_str(), text.c_str());
    return 0;
}
