// The levels of the host log, from the most to the least severe. A line is
// written when its level is not above the log's (and the sink's) level.
// Kept in a header of its own so that sinks and the framework's log calls can
// share the numbers without pulling in the whole log.
#pragma once

enum LogLevels : int
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

constexpr LogLevels DEFAULT_SYSLOG_LEVEL = LOG_LEVEL_CRITICAL;
