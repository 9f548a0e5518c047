// What the line handlers share: the service text of a line and the
// per-packet latency line.
#pragma once

#include <string>

class LineData;
class Log;
class Time;

namespace linehandler
{
// A name of the services database for `protocol` ("udp" or "tcp"), else a
// whole number in any base (decimal, 0x hexadecimal, 0 octal) from 1 to
// 65535; 0 when it is neither.
long resolveService(const std::string& service, const char* protocol = "udp");

// Sets `end` to now and logs at debug level "<who>: latency=<s> (<line time>-<end>); bytes=<length>".
void logPacketLatency(Log& log, const char* who, const LineData& record, Time& end, unsigned int length);
} // namespace linehandler
