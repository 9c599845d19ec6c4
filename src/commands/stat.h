// The mode and dates as stat, find and pull -r write them.
#pragma once

#include <cstdint>
#include <string>

// The type letter and permissions as ls and The Sleuth Kit write them, set-ID and sticky bits
// included ("drwxr-xr-t"); the type comes from the mode, or from the record when the mode has none.
std::string modeText(uint16_t mode, bool folder);
// HFS Plus seconds as Unix seconds; dates before 1970 (0, "never", among them) give 0.
int64_t unixSeconds(uint32_t hfsTime);
