// Progress of a long copy, for the person at the terminal.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "base/messages.h"

// A line on a terminal's standard error, redrawn in place while a long copy runs ("Expanding", say).
class Progress {
public:
    Progress(const char *doing, uint64_t total, Messages &messages)
        : doing_(doing), total_(total), shown_(isatty(STDERR_FILENO) == 1), messages(messages) {}
    void update(uint64_t done) {
        double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        if (!shown_ || seconds < 1 || Clock::now() - drawn_ < std::chrono::milliseconds(200)) return;
        drawn_ = Clock::now();
        double rate = static_cast<double>(done) / seconds;
        double left = rate > 0 ? static_cast<double>(total_ - std::min(done, total_)) / rate : 0;
        messages.err("\r%s: %3d%%, %.1f MB/s, %.0f s left  ", doing_,
                     total_ ? static_cast<int>(100 * static_cast<double>(done) / static_cast<double>(total_)) : 100,
                     rate / 1e6, left);
        drawing_ = true;
    }
    void clear() {
        if (drawing_) messages.err("\r\033[K");
        drawing_ = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    const char *doing_;
    uint64_t total_;
    bool shown_, drawing_ = false;
    Messages &messages;
    Clock::time_point start_ = Clock::now(), drawn_{};
};
