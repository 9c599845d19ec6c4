// Images kept in bands of one size, each read on its own: sparse images and sparse bundles.
#pragma once

#include <cstdint>

#include "image/image.h"

class BandedImage : public Image {
public:
    BandedImage(uint64_t size, uint64_t bandBytes) : size_(size), bandBytes_(bandBytes) {}
    // Cut at band edges; what a band does not hold reads as zeros.
    ssize_t readAt(void *buffer, size_t len, uint64_t position) const final;
    uint64_t size() const final { return size_; }

protected:
    // Up to len bytes from `within` of band `band` (counted from 0): fewer where the band's stored
    // data ends, 0 for a band never stored, -1 on error.
    virtual ssize_t readBand(uint64_t band, uint64_t within, uint8_t *buffer, size_t len) const = 0;
    uint64_t bandBytes() const { return bandBytes_; }

private:
    uint64_t size_, bandBytes_;
};
