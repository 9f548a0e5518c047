#include "zunq/time/TimeZone.h"

#include "zunq/time/ZoneRules.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace
{

// A zone name used as a path below the zone directory: no way out of it.
bool safeZonePath(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name.size() > 255)
        return false;
    std::stringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/'))
        if (part.empty() || part == "." || part == "..")
            return false;
    return true;
}

std::unique_ptr<ZoneRules> loadZoneFile(const std::string& name)
{
    if (!safeZonePath(name))
        return nullptr;
    const char* dir = std::getenv("TZDIR");
    const std::string path = std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + name;
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size > static_cast<off_t>(ZoneRules::cMaxFileSize))
        return nullptr;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return in ? ZoneRules::fromTzif(bytes.str()) : nullptr;
}

} // namespace

TimeZone::TimeZone(std::string name, std::unique_ptr<ZoneRules> rules)
    : mName(std::move(name)), mRules(std::move(rules))
{
}

TimeZone::~TimeZone() = default;

const TimeZone* TimeZone::local()
{
    static const TimeZone* zone = new TimeZone("local", nullptr);
    return zone;
}

const TimeZone* TimeZone::getTimeZone(const std::string& requested)
{
    std::string name = requested;
    if (!name.empty() && name[0] == ':')
        name.erase(0, 1);
    if (name.empty() || name == "TZ" || name == "local" || name == "localtime")
        return local();

    static std::mutex lock;
    // Zones live for the whole process: callers keep the pointers.
    static auto* zones = new std::map<std::string, const TimeZone*>;
    std::lock_guard<std::mutex> guard(lock);
    if (auto it = zones->find(name); it != zones->end())
        return it->second;

    std::unique_ptr<ZoneRules> rules;
    if (name == "UTC" || name == "GMT" || name == "Z")
        rules = ZoneRules::utc();
    if (!rules)
        rules = loadZoneFile(name);
    if (!rules)
        rules = ZoneRules::fromPosix(name);
    if (!rules)
        return nullptr;
    const TimeZone* zone = new TimeZone(name, std::move(rules));
    (*zones)[name] = zone;
    return zone;
}

bool TimeZone::breakDown(std::int64_t secondsSinceEpoch, struct tm& out) const
{
    if (mRules)
        return mRules->breakDown(secondsSinceEpoch, out);
    const time_t t = static_cast<time_t>(secondsSinceEpoch);
    return localtime_r(&t, &out) != nullptr;
}

bool TimeZone::makeTime(struct tm& tm, std::int64_t& secondsSinceEpoch) const
{
    if (mRules)
        return mRules->makeTime(tm, secondsSinceEpoch);
    struct tm copy = tm;
    errno = 0;
    const time_t t = mktime(&copy);
    // -1 is also one second before 1970; only errno tells a failure apart.
    if (t == static_cast<time_t>(-1) && errno != 0)
        return false;
    tm = copy;
    secondsSinceEpoch = t;
    return true;
}
