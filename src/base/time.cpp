#include "base/time.h"

#include <ctime>

std::string HFSToCTime(uint32_t hfsTime) {
    time_t unixTime = static_cast<time_t>(static_cast<int64_t>(hfsTime) - kHFSEpochDelta);
    char text[64];
    struct tm local;
    if (!localtime_r(&unixTime, &local) || !asctime_r(&local, text)) return "?";
    std::string result(text);
    if (!result.empty()) result.pop_back();
    return result;
}
