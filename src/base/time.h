// HFS Plus time stamps (seconds since 1904-01-01) as local-time text.
#pragma once

#include <cstdint>
#include <string>

constexpr int64_t kHFSEpochDelta = 2082844800;   // 1904-01-01 to 1970-01-01

// The ctime text without its newline. Dates before 1970 (0 included) are shown as they are,
// not wrapped into the future.
std::string HFSToCTime(uint32_t hfsTime);
