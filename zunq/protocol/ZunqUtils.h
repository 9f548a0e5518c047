// Small helpers of the retransmission protocol for log lines. Any thread.
#pragma once

#include <string>

namespace ZunqUtils
{

// The name of a retransmission status ("REQUEST_ACCEPTED") or of one of the
// server's internal check results ("INTERNAL_ERROR"); any other value gives
// "UNKNOWN_STATUS(<value>)".
std::string retransStatusToString(int status);

} // namespace ZunqUtils
