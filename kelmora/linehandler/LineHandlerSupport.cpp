#include "kelmora/linehandler/LineHandlerSupport.h"

#include "kelmora/linedata/LineData.h"
#include "zunq/log/Log.h"
#include "zunq/time/Time.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace linehandler
{
long resolveService(const std::string& service, const char* protocol)
{
    servent entry{};
    servent* found = nullptr;
    char scratch[1024];
    if (::getservbyname_r(service.c_str(), protocol, &entry, scratch, sizeof scratch, &found) == 0 && found != nullptr)
        return ntohs(static_cast<uint16_t>(found->s_port));
    // Whole text only: "80x" or a port past 65535 would open the wrong one.
    char* end = nullptr;
    errno = 0;
    const long port = std::strtol(service.c_str(), &end, 0);
    if (errno != 0 || end == service.c_str() || *end != '\0' || port < 0 || port > 65535)
        return 0;
    return port;
}

void logPacketLatency(Log& log, const char* who, const LineData& record, Time& end, unsigned int length)
{
    end.recalcNow();
    char startText[32];
    char endText[32];
    record.getLineTime().strFmt(startText, sizeof startText, "%T%;", nullptr);
    end.strFmt(endText, sizeof endText, "%T%;", nullptr);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", diffSeconds(end, record.getLineTime()));
    log.debug() << who << ": latency=" << seconds << " (" << startText << "-" << endText << "); bytes=" << length;
}
} // namespace linehandler
