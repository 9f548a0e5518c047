#include "FendralCore/foundation/TimeFunc.h"

#include "FendralCore/foundation/Int2Txt.h"

#include <cstring>

namespace
{
constexpr int32 DATE_TIME_LEN = 19;
constexpr int32 TIME_LEN = 8;
} // namespace

int getCurrentTime(timespec& now)
{
    return clock_gettime(CLOCK_REALTIME, &now);
}

int getCurrentTimeTv(timeval& now)
{
    return gettimeofday(&now, nullptr);
}

int64 timeDiff(const timespec& start, const timespec& end)
{
    return (static_cast<int64>(end.tv_sec) - start.tv_sec) * 1000000000LL +
           (static_cast<int64>(end.tv_nsec) - start.tv_nsec);
}

int32 time2StringTm(const tm& t, char* buffer, int32 size, bool withDate)
{
    if (buffer == nullptr || size < (withDate ? DATE_TIME_LEN : TIME_LEN))
        return -1;
    char* p = buffer;
    if (withDate)
    {
        const int64 year = static_cast<int64>(t.tm_year) + 1900;
        if (year < 0 || int2TxtRightAlign(static_cast<uint64>(year), p, 4, 10, false) == 0)
            return -1;
        p[4] = '/';
        int2TxtRightAlign(static_cast<uint64>(t.tm_mon + 1), p + 5, 2, 10, false);
        p[7] = '/';
        int2TxtRightAlign(static_cast<uint64>(t.tm_mday), p + 8, 2, 10, false);
        p[10] = ' ';
        p += 11;
    }
    int2TxtRightAlign(static_cast<uint64>(t.tm_hour), p, 2, 10, false);
    p[2] = ':';
    int2TxtRightAlign(static_cast<uint64>(t.tm_min), p + 3, 2, 10, false);
    p[5] = ':';
    int2TxtRightAlign(static_cast<uint64>(t.tm_sec), p + 6, 2, 10, false);
    return 0;
}

int32 time2StringTv(const timeval& tv, char* buffer, int32 size, bool withDate)
{
    const int32 textLen = (withDate ? DATE_TIME_LEN : TIME_LEN) + 7;
    if (buffer == nullptr || size < textLen + 1 || tv.tv_usec < 0 || tv.tv_usec >= 1000000)
        return -1;
    // The full time is converted even without the date, so the clock time is
    // right on days when daylight saving is in force.
    const time_t seconds = tv.tv_sec;
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr)
        return -1;
    if (time2StringTm(local, buffer, size, withDate) != 0)
        return -1;
    char* p = buffer + textLen - 7;
    p[0] = '.';
    int2TxtRightAlign(static_cast<uint64>(tv.tv_usec), p + 1, 6, 10, false);
    buffer[textLen] = '\0';
    return 0;
}

int32 time2String(const timespec& ts, char* buffer, int32 size, bool withDate)
{
    timeval tv{};
    tv.tv_sec = ts.tv_sec;
    tv.tv_usec = ts.tv_nsec / 1000;
    return time2StringTv(tv, buffer, size, withDate);
}

int32 string2Time(const char* text, time_t* seconds, bool withDate)
{
    if (text == nullptr || seconds == nullptr)
        return -1;
    tm t{};
    t.tm_year = 70;
    t.tm_mday = 1;
    t.tm_isdst = -1;
    const char* end = strptime(text, withDate ? "%Y/%m/%d %H:%M:%S" : "%H:%M:%S", &t);
    if (end == nullptr || *end != '\0')
        return -1;
    *seconds = mktime(&t);
    return 0;
}
