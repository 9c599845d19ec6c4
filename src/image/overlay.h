// An image seen with some of its byte ranges replaced in memory: what a journal replay gives. The
// image under it is only ever read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "image/image.h"

class OverlayImage final : public Image {
public:
    explicit OverlayImage(std::shared_ptr<const Image> base) : base_(std::move(base)) {}
    // From now on the bytes at `position` read as `data`; a later replacement wins where two overlap.
    void replace(uint64_t position, std::vector<uint8_t> data);
    // Reads as the base does (the same count), with the replaced bytes laid over what it gave.
    ssize_t readAt(void *buffer, size_t len, uint64_t position) const override;
    uint64_t size() const override { return base_->size(); }
    uint64_t replacedBytes() const { return replacedBytes_; }

private:
    std::shared_ptr<const Image> base_;
    std::map<uint64_t, std::vector<uint8_t>> pieces_;   // by position; none overlap
    uint64_t replacedBytes_ = 0;
};
