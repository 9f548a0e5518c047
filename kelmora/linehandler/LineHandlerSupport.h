// What the datagram and topic line handlers share: the service text of a
// line and the per-packet latency line.
#pragma once

#include <string>

class LineData;
class Log;
class Time;

namespace linehandler
{
// A name of the services database for "udp", else a whole number in any base
// (decimal, 0x hexadecimal, 0 octal) from 1 to 65535; 0 when it is neither.
long resolveUdpService(const std::string& service);

// Sets `end` to now and logs at debug level "<who>: latency=<s> (<line time>-<end>); bytes=<length>".
void logPacketLatency(Log& log, const char* who, const LineData& record, Time& end, unsigned int length);
} // namespace linehandler
