#include "kelmora/time/TimeHelper.h"

#include <cmath>
#include <cstring>
#include <time.h>

namespace
{

int secondOfDay(const std::tm& t)
{
    return (t.tm_hour * 60 + t.tm_min) * 60 + t.tm_sec;
}

bool parse(const char* text, const char* format, std::tm& out)
{
    if (text == nullptr || format == nullptr)
        return false;
    return strptime(text, format, &out) != nullptr;
}

} // namespace

TimeHelper::TimeHelper() = default;

TimeHelper::~TimeHelper() = default;

std::time_t TimeHelper::now() const
{
    return std::time(nullptr);
}

void TimeHelper::readClock()
{
    mCurrRawtime = now();
    // localtime_r: the shared buffer of localtime is not safe across threads.
    localtime_r(&mCurrRawtime, &mCurrTime);
}

bool TimeHelper::getTimeStructure(const char* text, std::tm& out)
{
    std::tm parsed{};
    const bool ok = parse(text, "%H%M%S", parsed);
    readClock();
    out = std::tm{};
    if (ok)
    {
        out.tm_hour = parsed.tm_hour;
        out.tm_min = parsed.tm_min;
        out.tm_sec = parsed.tm_sec;
    }
    out.tm_year = mCurrTime.tm_year;
    out.tm_mon = mCurrTime.tm_mon;
    out.tm_mday = mCurrTime.tm_mday;
    out.tm_wday = mCurrTime.tm_wday;
    out.tm_isdst = mCurrTime.tm_isdst;
    return ok;
}

bool TimeHelper::getUtcTimeInSecond(const char* text, const char* format, unsigned long& out)
{
    std::tm parsed{};
    if (!parse(text, format, parsed))
        return false;
    parsed.tm_isdst = -1;
    out = static_cast<unsigned long>(std::mktime(&parsed));
    return true;
}

bool TimeHelper::getUtcTimeInNanoSecond(const char* text, const char* format, unsigned long& out)
{
    unsigned long seconds = 0;
    if (!getUtcTimeInSecond(text, format, seconds))
        return false;
    out = static_cast<unsigned long>(static_cast<double>(seconds) * 1000000000.0);
    return true;
}

bool TimeHelper::isSameTime(const std::tm& a, const std::tm& b)
{
    return a.tm_sec == b.tm_sec && a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mday == b.tm_mday
        && a.tm_mon == b.tm_mon && a.tm_year == b.tm_year;
}

bool TimeHelper::isAfter(const std::tm& a, const std::tm& b)
{
    return secondOfDay(a) > secondOfDay(b);
}

bool TimeHelper::isCurrentTimeEqualOrAfter(const std::tm& t)
{
    readClock();
    return secondOfDay(mCurrTime) >= secondOfDay(t);
}

bool TimeHelper::isAfterCurrentTime(const std::tm& t)
{
    readClock();
    return secondOfDay(mCurrTime) > secondOfDay(t);
}
