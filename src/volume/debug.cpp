#include "volume/debug.h"

#include <cstdio>

#include "base/output.h"
#include "volume/bits.h"
#include "volume/journal.h"
#include "volume/time.h"
#include "volume/volume.h"

namespace {

struct AttributeName {
    uint32_t bit;
    const char *text;
};

// TN1150 volume attribute bits, in the order they are named.
constexpr AttributeName kVolumeAttributeNames[] = {
    {0x00000100, "was last cleanly unmounted,"}, {0x00000800, "inconsistent or in-use,"},
    {0x00002000, "journaled,"},                  {0x00000080, "hw lock bit,"},
    {0x40000000, "content protection"},
};

}  // namespace

std::string dumpVolumeAttributes(uint32_t attributes) {
    std::string text;
    for (const AttributeName &name : kVolumeAttributeNames)
        if (attributes & name.bit) text += name.text;
    return text;
}

int dumpVolumeHeader(const uint8_t *volumeHeader) {
    Bytes vh{volumeHeader, kVolumeHeaderSize};
    uint32_t totalBlocks = vh.be32(44), blockSize = vh.be32(40);
    // The whole product, in 64 bits: rounding the block count down first made small volumes 0 MB.
    double mib = static_cast<double>(static_cast<uint64_t>(totalBlocks) * blockSize) / (1024.0 * 1024.0);
    if (mib > 1024.0)
        fprintf(stderr, "This is a drive of %f GB \n", mib / 1024.0);
    else
        fprintf(stderr, "This is a drive of %f MB \n", mib);

    auto d = [&](size_t off) { return static_cast<int>(vh.be32(off)); };
    uint32_t attributes = vh.be32(4);
    std::string names = dumpVolumeAttributes(attributes);
    std::string created = HFSToCTime(vh.be32(16)), modified = HFSToCTime(vh.be32(20));
    // The signature and the last mounter are four-character codes: any bytes at all on a damaged volume.
    auto code = [&](size_t off, size_t length) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>(vh.u8(off + i));
        return visible(text);
    };
    fprintf(stderr,
            "Volume Header:\n\t%-20s\t0x%hX (%s)\n\t%-20s\t%hx\n\t%-20s\t%x - %s\n\t%-20s\t%d\t\n\t%-20s\t%d\n"
            "\t%-20s\t%d\n\t%-20s\t%d\n\t%-20s\t%d\n\t%-20s\t%d\n\t%-20s\t%s\n\t%-20s\t%s",
            "Signature:", vh.be16(0), code(0, 2).c_str(), "Version:", vh.be16(2), "Attributes:", attributes,
            names.c_str(), "Number of Files:", d(32), "Number of Folders:", d(36), "Free Blocks:", d(48),
            "Total Blocks:", d(44), "Block Size:", d(40), "ClumpSize:", d(60), "Created on:", created.c_str(),
            "Modified on:", modified.c_str());
    fprintf(stderr, "\n\t%-20s\t%d\n", "Next CNID:", d(64));
    fprintf(stderr, "\n\t%-20s\t%d blocks from %d\n", "Catalog B-Tree:", d(272 + 12), d(272 + 16));
    fprintf(stderr, "\n\t%-20s\t%d blocks from %d\n", "Attribute B-Tree:", d(352 + 12), d(352 + 16));
    fprintf(stderr, "\t%-20s\t%x (%s) - Journal info block is @%x\n", "Last Mounted by:", vh.be32(8),
            code(8, 4).c_str(), vh.be32(12));
    return 0;
}

int doVolInfo(const char *) {
    const uint8_t *vh = getActiveVH();
    if (getActiveFS() == 0 || !vh) {
        fprintf(stderr, "No active FS. Use the 'fs' command to select the active filesystem\n");
        return 1;
    }
    printf("SIG: %x\n", vh[0] | vh[1] << 8);
    if (auto journal = readJournal(getActiveFS(), vh, getPartitionOffset()); journal && journal->unreplayed())
        fprintf(stderr, "%s", kUnreplayedJournalWarning);
    dumpVolumeHeader(vh);
    return 0;
}
