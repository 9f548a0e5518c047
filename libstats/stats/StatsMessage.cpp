#include "libstats/stats/StatsMessage.h"

#include "libstats/stats/StatsRecords.h"
#include "zunq/log/Log.h"

#include <cstring>
#include <ctime>
#include <unistd.h>

namespace StatsMessage
{

std::string recordName(const char* name)
{
    return std::string(name, strnlen(name, StatsEntry::cNameSize));
}

void appendHead(std::string& out, const char* name, const char* tag, bool nameField)
{
    char host[24] = {};
    gethostname(host, sizeof host - 1);
    const std::string record = recordName(name);
    out += "DRAVEK#";
    out += host;
    out += '#';
    out += record;
    out += tag;
    if (nameField)
        appendField(out, "Name:", record);
    char now[64] = {};
    const std::time_t seconds = std::time(nullptr);
    std::tm local{};
    localtime_r(&seconds, &local);
    std::strftime(now, sizeof now, "%X", &local);
    appendField(out, "Time:", now);
}

void appendField(std::string& out, const char* label, const std::string& value)
{
    out += label;
    out += value;
    out += ';';
}

void debugLine(Log& log, const char* prefix, const char* label, std::size_t width, const char* separator,
               const std::string& value)
{
    std::string padded(label);
    if (padded.size() < width)
        padded.resize(width, ' ');
    log.debug() << prefix << padded << separator << value;
}

} // namespace StatsMessage
