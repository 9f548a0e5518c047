// Shorthand for the framework's own log lines (fwLog, fwLogEnabled): logMessage
// on the framework logger (syslog mirror included) when one is set; dropped
// before that. The call itself lives in the foundation; the framework logger
// installs its target there when the first logger is made.
#pragma once

#include "FendralCore/foundation/LogCall.h"

// Points the foundation's log call at GlobalData's framework logger.
void installFwLogTarget();
