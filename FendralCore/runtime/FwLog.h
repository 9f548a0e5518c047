// Shorthand for the framework's own log lines: logMessage on the framework
// logger (syslog mirror included) when one is set; dropped before that.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

int32 fwLog(int32 level, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool fwLogEnabled(int32 level);
