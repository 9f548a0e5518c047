// Log levels, from the most to the least severe; one scale for the framework,
// its C API and the host. A line is written when its level is not above the
// logger's. The letter in a line is "ACEWNID"[level]; the syslog priority is
// the level plus one.
#pragma once

#include <cstdint>

enum LogLevels : std::int32_t
{
    LOG_LEVEL_ALERT = 0,
    LOG_LEVEL_CRITICAL = 1,
    LOG_LEVEL_ERROR = 2,
    LOG_LEVEL_WARNING = 3,
    LOG_LEVEL_NOTICE = 4,
    LOG_LEVEL_INFO = 5,
    LOG_LEVEL_DEBUG = 6,
    LOG_LEVEL_MAX = 7
};
