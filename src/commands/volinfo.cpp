// volinfo: the volume header, named and dated.
#include <cstdio>
#include <string>

#include "base/output.h"
#include "commands/commands.h"
#include "commands/session.h"
#include "volume/journal.h"
#include "base/time.h"

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

std::string dumpVolumeAttributes(uint32_t attributes) {
    std::string text;
    for (const AttributeName &name : kVolumeAttributeNames)
        if (attributes & name.bit) text += name.text;
    return text;
}

void dumpVolumeHeader(const VolumeHeader &header) {
    FILE *report = reportStream();
    // The whole product, in 64 bits: rounding the block count down first made small volumes 0 MB.
    double mib = static_cast<double>(header.volumeBytes()) / (1024.0 * 1024.0);
    if (mib > 1024.0)
        fprintf(report, "This is a drive of %f GB \n", mib / 1024.0);
    else
        fprintf(report, "This is a drive of %f MB \n", mib);

    auto d = [](uint32_t value) { return static_cast<int>(value); };
    uint32_t attributes = header.attributes();
    std::string names = dumpVolumeAttributes(attributes);
    std::string created = HFSToCTime(header.createDate()), modified = HFSToCTime(header.modifyDate());
    // The signature and the last mounter are character codes: any bytes at all on a damaged volume.
    auto code = [](uint32_t value, int length) {
        std::string text;
        for (int i = length - 1; i >= 0; --i) text += static_cast<char>(value >> 8 * i);
        return visible(text);
    };
    fprintf(report,
            "Volume Header:\n\t%-20s\t0x%hX (%s)\n\t%-20s\t%hx\n\t%-20s\t%x - %s\n\t%-20s\t%d\t\n\t%-20s\t%d\n"
            "\t%-20s\t%d\n\t%-20s\t%d\n\t%-20s\t%d\n\t%-20s\t%d\n\t%-20s\t%s\n\t%-20s\t%s",
            "Signature:", header.signature(), code(header.signature(), 2).c_str(), "Version:", header.version(),
            "Attributes:", attributes, names.c_str(), "Number of Files:", d(header.fileCount()), "Number of Folders:",
            d(header.folderCount()), "Free Blocks:", d(header.freeBlocks()), "Total Blocks:", d(header.totalBlocks()),
            "Block Size:", d(header.blockSize()), "ClumpSize:", d(header.dataClumpSize()), "Created on:",
            created.c_str(), "Modified on:", modified.c_str());
    fprintf(report, "\n\t%-20s\t%d\n", "Next CNID:", d(header.nextCatalogID()));
    Bytes catalog = header.fork(kCatalogForkOffset), attributesFile = header.fork(kAttributesForkOffset);
    // The fork's block count and its first extent's start, as the report has always shown them.
    fprintf(report, "\n\t%-20s\t%d blocks from %d\n", "Catalog B-Tree:", d(forkTotalBlocks(catalog)),
            d(forkExtent(catalog, 0).startBlock));
    fprintf(report, "\n\t%-20s\t%d blocks from %d\n", "Attribute B-Tree:", d(forkTotalBlocks(attributesFile)),
            d(forkExtent(attributesFile, 0).startBlock));
    fprintf(report, "\t%-20s\t%x (%s) - Journal info block is @%x\n", "Last Mounted by:", header.lastMountedVersion(),
            code(header.lastMountedVersion(), 4).c_str(), header.journalInfoBlock());
}

}  // namespace

int doVolInfo(Session &session, const char *) {
    const Volume &volume = *session.volume;
    printf("SIG: %x\n", reverse16(volume.header().signature()));   // the stored bytes read little-endian
    if (auto journal = readJournal(volume); journal && journal->unreplayed()) fprintf(stderr, "%s", kUnreplayedJournalWarning);
    dumpVolumeHeader(volume.header());
    if (auto wrapper = volume.wrapperOffset())
        fprintf(reportStream(), "\t%-20s\tin a classic HFS volume at byte %llu; this one starts at byte %llu\n", "Wrapped:",
                static_cast<unsigned long long>(*wrapper), static_cast<unsigned long long>(volume.partitionOffset()));
    if (session.onDisk)
        fprintf(reportStream(), "\t%-20s\t%zu transactions of the journal replayed in memory ('replay off': as on disk)\n",
                "Replayed view:", session.replayedTransactions);
    return 0;
}
