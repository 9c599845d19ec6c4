#include "image/bands.h"

#include <algorithm>
#include <climits>
#include <cstring>

ssize_t BandedImage::readAt(void *buffer, size_t len, uint64_t position) const {
    if (position >= size_) return 0;
    uint64_t total = std::min<uint64_t>({len, size_ - position, SSIZE_MAX});
    auto *out = static_cast<uint8_t *>(buffer);
    for (uint64_t done = 0; done < total;) {
        uint64_t at = position + done, within = at % bandBytes_;
        size_t step = static_cast<size_t>(std::min(total - done, bandBytes_ - within));
        ssize_t got = readBand(at / bandBytes_, within, out + done, step);
        if (got < 0 || static_cast<size_t>(got) > step) return -1;
        memset(out + done + got, 0, step - static_cast<size_t>(got));
        done += step;
    }
    return static_cast<ssize_t>(total);
}
