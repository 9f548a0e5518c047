// The levels of the host log: the platform's one scale of log levels. A line
// is written when its level is not above the log's (and the sink's) level.
#pragma once

#include "FendralCore/foundation/LogLevels.h"

constexpr LogLevels DEFAULT_SYSLOG_LEVEL = LOG_LEVEL_CRITICAL;
