// Shorthand for the framework's own log lines: writes through the framework
// logger when one is set, and drops the line before that.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

int32 fwLog(int32 level, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool fwLogEnabled(int32 level);
