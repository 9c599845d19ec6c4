// alloc: the allocation bitmap as an HTML page, and how many blocks are used.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands/commands.h"
#include "commands/session.h"

namespace {

constexpr const char *kReportPath = "/tmp/allocation.html";
constexpr size_t kCellsPerRow = 128;

}  // namespace

int countBits(unsigned byte) { return __builtin_popcount(byte & 0xFF); }

int doAlloc(Session &session, const char *) {
    const Volume &volume = *session.volume;
    Bytes fork = volume.header().fork(kAllocationForkOffset);
    uint64_t logicalSize = forkLogicalSize(fork);
    if (logicalSize == 0) {
        fprintf(stderr, "The allocation file is empty: there is no bitmap to report\n");
        return 1;
    }
    constexpr uint32_t kAllocationFileID = 6;
    Messages messages;
    auto bitmap = readFork(volume, fork, messages, nullptr, {kAllocationFileID});
    messages.print();
    if (!bitmap) {
        fprintf(stderr, "Unable to read the allocation file\n");
        return 1;
    }
    bool cutShort = logicalSize > bitmap->size();   // reported as far as it goes, and the command fails
    if (cutShort) {
        fprintf(stderr, "The allocation file claims %llu bytes but its blocks hold %zu: reporting those\n",
                static_cast<unsigned long long>(logicalSize), bitmap->size());
        logicalSize = bitmap->size();
    }
    UniqueFd fd = createOutputFile(kReportPath, sayNow());
    FILE *report = fd ? fdopen(fd.get(), "w") : nullptr;
    if (!report) return 1;
    fd.release();   // the stream owns it now
    fputs("<html><head><title>Allocation bitmap</title><style>table { border : 1px solid red ; cell-padding : 0px; "
          "cell-spacing: 0px;} td {border-left: 1px solid red; border-top : 1px solid red;padding: 0px;height :2px;"
          "width : 8px;}</style></head><body><table><tr>",
          report);
    // The picture stops where the volume's blocks end (rounded to a block, as bitmaps are): a forged
    // allocation file cannot make it more than the volume has cells for.
    uint64_t needed = (static_cast<uint64_t>(volume.header().totalBlocks()) + 7) / 8;
    uint64_t block = std::max<uint64_t>(volume.blockSize(), 1);   // a forged block size may be 0
    uint64_t drawn = std::min(logicalSize, (needed + block - 1) / block * block);
    uint64_t bits = logicalSize * 8, used = 0;
    for (uint64_t i = 0; i < logicalSize; ++i) {
        uint8_t byte = (*bitmap)[i];
        used += countBits(byte);
        if (i >= drawn || ferror(report)) continue;   // a full disk is said once, below
        if (i % kCellsPerRow == 0) fputs("</tr><tr>", report);
        fprintf(report, "<td bgcolor=\"#%x\"></td>", (255 - byte) * 0x10101);
    }
    fputs("</tr></table></body></html>", report);
    int error = ferror(report) ? errno : 0;
    if (fclose(report) != 0 && !error) error = errno;
    // No readable bitmap block leaves no bits at all: 0%, not a division by zero.
    printf("%lld/%lld Allocation blocks used (%2llu%%). Disk size: %lld\n", static_cast<long long>(used),
           static_cast<long long>(bits), static_cast<unsigned long long>(bits ? used * 100 / bits : 0),
           static_cast<long long>(bits * volume.blockSize()));
    if (error) {
        fprintf(stderr, "write: %s: %s: removed\n", kReportPath, strerror(error));
        unlink(kReportPath);
        return 1;
    }
    printf("Allocation Bitmap written to %s (Experimental)\n", kReportPath);
    return cutShort ? 1 : 0;
}
