#pragma once

#include <ctime>
#include <string>

namespace platform {

// Local time in the log's pattern "MM-dd HH:mm:ss" (no year, 24-hour clock).
std::string FormatLogDate(std::time_t when);

}  // namespace platform
