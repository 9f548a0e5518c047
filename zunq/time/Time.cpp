#include "zunq/time/Time.h"

#include "zunq/time/TimeZone.h"
#include "zunq/time/ZoneRules.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

namespace
{

struct Parsed
{
    bool hasDate = false, hasTime = false;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    long micros = 0;
};

class TextCursor
{
public:
    TextCursor(const char* begin, const char* end) : mPos(begin), mEnd(end) {}
    bool atEnd() const { return mPos == mEnd; }
    char peek() const { return atEnd() ? '\0' : *mPos; }
    bool take(char ch)
    {
        if (peek() != ch)
            return false;
        ++mPos;
        return true;
    }
    // Exactly minDigits..maxDigits digits.
    bool digits(int minDigits, int maxDigits, int& out)
    {
        int n = 0;
        out = 0;
        while (n < maxDigits && std::isdigit(static_cast<unsigned char>(peek())))
        {
            out = out * 10 + (*mPos++ - '0');
            ++n;
        }
        return n >= minDigits;
    }
    std::size_t digitsAhead() const
    {
        std::size_t n = 0;
        while (mPos + n != mEnd && std::isdigit(static_cast<unsigned char>(mPos[n])))
            ++n;
        return n;
    }

private:
    const char* mPos;
    const char* mEnd;
};

int daysInMonth(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

bool parseDate(TextCursor& in, Parsed& p)
{
    const std::size_t run = in.digitsAhead();
    if (run == 8)
    {
        int ymd = 0;
        in.digits(8, 8, ymd);
        p.year = ymd / 10000;
        p.month = ymd / 100 % 100;
        p.day = ymd % 100;
    }
    else
    {
        if (!in.digits(4, 4, p.year))
            return false;
        const char sep = in.peek();
        if ((sep != '-' && sep != '/') || !in.take(sep) || !in.digits(2, 2, p.month) || !in.take(sep) ||
            !in.digits(2, 2, p.day))
            return false;
    }
    p.hasDate = true;
    return p.month >= 1 && p.month <= 12 && p.day >= 1 && p.day <= daysInMonth(p.year, p.month);
}

bool parseClock(TextCursor& in, Parsed& p)
{
    if (!in.digits(1, 2, p.hour) || !in.take(':') || !in.digits(2, 2, p.minute))
        return false;
    if (in.take(':'))
    {
        if (!in.digits(2, 2, p.second))
            return false;
        if (in.take('.'))
        {
            int digit = 0;
            int n = 0;
            long scale = 100000;
            while (std::isdigit(static_cast<unsigned char>(in.peek())))
            {
                in.digits(1, 1, digit);
                p.micros += digit * scale;
                scale /= 10;
                if (++n > 9)
                    return false;
            }
            if (n == 0)
                return false;
        }
    }
    p.hasTime = true;
    return p.hour <= 23 && p.minute <= 59 && p.second <= 59;
}

bool parseText(const char* text, Parsed& p)
{
    const char* begin = text;
    const char* end = text + std::strlen(text);
    while (begin != end && std::isspace(static_cast<unsigned char>(*begin)))
        ++begin;
    while (end != begin && std::isspace(static_cast<unsigned char>(end[-1])))
        --end;
    TextCursor in(begin, end);
    if (in.atEnd())
        return false;
    // A date starts with four or eight digits; a time with one or two.
    if (in.digitsAhead() >= 4)
    {
        if (!parseDate(in, p))
            return false;
        if (in.atEnd())
            return true;
        if (!in.take(' ') && !in.take('T'))
            return false;
    }
    return parseClock(in, p) && in.atEnd();
}

struct timeval now()
{
    struct timespec ts
    {
    };
    clock_gettime(CLOCK_REALTIME, &ts);
    struct timeval tv
    {
    };
    tv.tv_sec = ts.tv_sec;
    tv.tv_usec = ts.tv_nsec / 1000;
    return tv;
}

} // namespace

Time::Time()
{
    clear();
}

Time::Time(const char* text, const TimeZone* tz)
{
    clear();
    set(text, tz);
}

void Time::clear()
{
    mTv = {};
    mTm = {};
    mStructTmIsValid = false;
    mDateIsSet = false;
    mTimeIsSet = false;
    mUseTz = false;
}

bool Time::set(const char* text, const TimeZone* tz)
{
    clear();
    Parsed p;
    if (text == nullptr || !parseText(text, p))
        return false;
    const TimeZone* zone = tz != nullptr ? tz : TimeZone::local();
    struct tm tm
    {
    };
    if (p.hasDate)
    {
        tm.tm_year = p.year - 1900;
        tm.tm_mon = p.month - 1;
        tm.tm_mday = p.day;
    }
    else if (!zone->breakDown(now().tv_sec, tm)) // a time of day is pinned to today
    {
        return false;
    }
    tm.tm_hour = p.hour;
    tm.tm_min = p.minute;
    tm.tm_sec = p.second;
    tm.tm_isdst = -1;
    std::int64_t seconds = 0;
    if (!zone->makeTime(tm, seconds))
        return false;
    mTv.tv_sec = static_cast<time_t>(seconds);
    mTv.tv_usec = p.micros;
    mTm = tm;
    mStructTmIsValid = true;
    mDateIsSet = p.hasDate;
    mTimeIsSet = p.hasTime;
    mUseTz = !zone->isLocal();
    return true;
}

void Time::recalcNow()
{
    mTv = now();
    mStructTmIsValid = false; // worked out when asked for: most stamps are never printed
    mDateIsSet = true;
    mTimeIsSet = true;
    mUseTz = false;
}

void Time::nowTime(Time& t)
{
    t.recalcNow();
    t.mDateIsSet = false;
    t.mStructTmIsValid = TimeZone::local()->breakDown(t.mTv.tv_sec, t.mTm);
}

void Time::nowDate(Time& t)
{
    t.clear();
    struct tm tm
    {
    };
    std::int64_t seconds = 0;
    if (!TimeZone::local()->breakDown(now().tv_sec, tm))
        return;
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    if (!TimeZone::local()->makeTime(tm, seconds))
        return;
    t.mTv.tv_sec = static_cast<time_t>(seconds);
    t.mTm = tm;
    t.mStructTmIsValid = true;
    t.mDateIsSet = true;
}

void Time::setTime(const Time& other)
{
    if (!other.isSet())
        return;
    struct tm date
    {
    };
    struct tm clock
    {
    };
    const TimeZone* local = TimeZone::local();
    if (!local->breakDown(mDateIsSet ? mTv.tv_sec : now().tv_sec, date) || !other.brokenDown(nullptr, clock))
        return;
    date.tm_hour = clock.tm_hour;
    date.tm_min = clock.tm_min;
    date.tm_sec = clock.tm_sec;
    date.tm_isdst = -1;
    std::int64_t seconds = 0;
    if (!local->makeTime(date, seconds))
        return;
    mTv.tv_sec = static_cast<time_t>(seconds);
    mTv.tv_usec = other.mTv.tv_usec;
    mTm = date;
    mStructTmIsValid = true;
    mTimeIsSet = true;
    mUseTz = false;
}

bool Time::brokenDown(const TimeZone* tz, struct tm& out) const
{
    if (tz != nullptr)
        return tz->breakDown(mTv.tv_sec, out);
    if (mStructTmIsValid)
    {
        out = mTm;
        return true;
    }
    return TimeZone::local()->breakDown(mTv.tv_sec, out);
}

std::int64_t Time::secondsOfDay() const
{
    struct tm tm
    {
    };
    if (!brokenDown(nullptr, tm))
        return 0;
    return std::int64_t(tm.tm_hour) * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

int Time::compare(const Time& other) const
{
    std::int64_t a = mTv.tv_sec, b = other.mTv.tv_sec;
    if (!(mDateIsSet && other.mDateIsSet))
    {
        a = secondsOfDay();
        b = other.secondsOfDay();
    }
    if (a != b)
        return a < b ? -1 : 1;
    if (mTv.tv_usec != other.mTv.tv_usec)
        return mTv.tv_usec < other.mTv.tv_usec ? -1 : 1;
    return 0;
}

unsigned Time::strFmt(char* buf, unsigned size, const char* format, const TimeZone* tz) const
{
    if (buf == nullptr || size == 0)
        return 0;
    buf[0] = '\0';
    struct tm tm
    {
    };
    if (!isSet() || format == nullptr || !brokenDown(tz, tm))
        return 0;

    std::string expanded;
    char digits[32];
    for (const char* f = format; *f != '\0'; ++f)
    {
        if (*f != '%')
        {
            expanded += *f;
            continue;
        }
        const char spec = f[1];
        if (spec == ';')
        {
            std::snprintf(digits, sizeof digits, ".%03ld", static_cast<long>(mTv.tv_usec / 1000));
            expanded += digits;
        }
        else if (spec == ':')
        {
            std::snprintf(digits, sizeof digits, "%06ld", static_cast<long>(mTv.tv_usec));
            expanded += digits;
        }
        else if (spec == '\0')
        {
            expanded += "%%"; // a lone trailing "%" prints as itself
            break;
        }
        else
        {
            expanded += '%';
            expanded += spec;
        }
        ++f;
    }
    if (expanded.empty())
        return 0;
    const std::size_t written = std::strftime(buf, size, expanded.c_str(), &tm);
    if (written == 0)
        buf[0] = '\0';
    return static_cast<unsigned>(written);
}

double diffSeconds(const Time& a, const Time& b)
{
    return static_cast<double>(a.getMicrosecondsSinceEpoch() - b.getMicrosecondsSinceEpoch()) / 1e6;
}

double diffSecondsSameDay(const Time& later, const Time& earlier)
{
    const std::int64_t micros = (later.secondsOfDay() - earlier.secondsOfDay()) * 1000000 +
                                (later.mTv.tv_usec - earlier.mTv.tv_usec);
    return static_cast<double>(micros) / 1e6;
}

long diffMicroSeconds(const Time& a, const Time& b)
{
    return static_cast<long>(a.getMicrosecondsSinceEpoch() - b.getMicrosecondsSinceEpoch());
}

std::ostream& operator<<(std::ostream& out, const Time& time)
{
    if (!time.isSet())
        return out << "unset";
    std::string format = time.isDateSet() && time.isTimeSet() ? "%Y-%m-%d %H:%M:%S.%:"
                         : time.isDateSet()                   ? "%Y-%m-%d"
                                                              : "%H:%M:%S.%:";
    if (time.mUseTz)
        format += " %Z";
    char text[80];
    time.strFmt(text, sizeof text, format.c_str(), nullptr);
    return out << text;
}
