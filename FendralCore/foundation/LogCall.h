// The framework's log call, for every layer of the core: fwLog writes one line
// (and its syslog mirror) through the log target the framework logger
// installs from above; before one is installed, lines are dropped. The
// format only ever formats the caller's arguments.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/LogLevels.h"

#include <cstdarg>

struct LogTarget
{
    // One line of level; 0 also when the line is below every threshold.
    int32 (*logV)(int32 level, const char* format, va_list arguments);
    // Whether a line of level reaches the log file.
    bool (*enabled)(int32 level);
};

// Null: lines are dropped again. The target must outlive its use.
void installLogTarget(const LogTarget* target);

int32 fwLog(int32 level, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool fwLogEnabled(int32 level);

class PeerLogLimit;
// A line a peer caused, through its limiter (none: always written): the
// count of lines held back in the window that ended comes first, and the
// line itself only when the limiter lets it.
void fwPeerLogV(PeerLogLimit* limit, int32 level, const char* format, va_list arguments);
