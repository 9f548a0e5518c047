// A point in time with a calendar date and a time of day, either of which may
// be unset: a full time stamp (recalcNow), a date alone (nowDate, "2024-03-01")
// or a time of day alone (nowTime, "09:30"). A time of day is also pinned to
// today's date, so it has an instant like any other time. A default-made
// time is unset.
//
// Exactly 80 bytes and trivially copyable: thread messages carry it by value
// (ThreadData's header layout counts on the size). Plain value; no thread
// restriction.
//
// Text accepted by set() and the constructor (white space around it ignored):
//   date       YYYY-MM-DD, YYYY/MM/DD or YYYYMMDD
//   time       H:MM, HH:MM:SS or HH:MM:SS.fraction (to the microsecond)
//   both       date, a blank or "T", time
// in the zone given (the local zone when none). The empty text gives an unset
// time; other text that is none of these also leaves the time unset.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <type_traits>

class TimeZone;

class Time
{
public:
    Time();
    Time(const char* text, const TimeZone* tz);

    // Parses text (above); true when the time is set afterwards.
    bool set(const char* text, const TimeZone* tz);
    void clear();
    bool isSet() const { return mDateIsSet || mTimeIsSet; }
    bool isDateSet() const { return mDateIsSet; }
    bool isTimeSet() const { return mTimeIsSet; }

    // This time becomes now, date and time of day, to the microsecond.
    void recalcNow();
    static void recalcNow(Time& t) { t.recalcNow(); }
    // t becomes the current time of day (its date unset).
    static void nowTime(Time& t);
    // t becomes today's date, midnight in the local zone (time of day unset).
    static void nowDate(Time& t);
    // Keeps this time's date in the local zone (today's when it has none) and
    // takes other's time of day as other reads it; the result is a local time.
    // An unset other changes nothing.
    void setTime(const Time& other);

    std::int64_t getSecondsSinceEpoch() const { return mTv.tv_sec; }
    std::int64_t getMillisecondsSinceEpoch() const { return std::int64_t(mTv.tv_sec) * 1000 + mTv.tv_usec / 1000; }
    std::int64_t getMicrosecondsSinceEpoch() const { return std::int64_t(mTv.tv_sec) * 1000000 + mTv.tv_usec; }

    // Two times that both carry a date compare as instants; when either is a
    // time of day alone they compare as times of day.
    bool operator<(const Time& other) const { return compare(other) < 0; }
    bool operator>(const Time& other) const { return compare(other) > 0; }
    bool operator<=(const Time& other) const { return compare(other) <= 0; }
    bool operator>=(const Time& other) const { return compare(other) >= 0; }
    bool operator==(const Time& other) const { return compare(other) == 0; }
    bool operator!=(const Time& other) const { return compare(other) != 0; }

    // Formats like strftime into buf (size bytes, the NUL included) in zone tz
    // (null: the zone the time was made in, else local), with two additions:
    // "%;" writes "." and the milliseconds (3 digits), "%:" the microseconds
    // (6 digits). Returns the length written; 0, with buf empty, when the time
    // is unset or the text does not fit.
    unsigned strFmt(char* buf, unsigned size, const char* format, const TimeZone* tz) const;

private:
    friend double diffSecondsSameDay(const Time& later, const Time& earlier);
    friend std::ostream& operator<<(std::ostream& out, const Time& time);

    // Seconds of the day (whole, and the microseconds) as the time reads in
    // its own zone, local when it has none.
    std::int64_t secondsOfDay() const;
    int compare(const Time& other) const;
    bool brokenDown(const TimeZone* tz, struct tm& out) const;

    timeval mTv;           // the instant
    struct tm mTm;         // its calendar time in the zone it was made in
    bool mStructTmIsValid; // mTm holds the calendar time of mTv
    bool mDateIsSet;
    bool mTimeIsSet;
    bool mUseTz; // mTm is in a zone other than the local one
};

static_assert(sizeof(Time) == 80, "thread messages count on an 80-byte Time");
static_assert(std::is_trivially_copyable_v<Time>);

// Seconds from b to a (a - b).
double diffSeconds(const Time& a, const Time& b);
// Seconds from earlier to later, both taken as times of one day (negative
// when later's time of day comes first).
double diffSecondsSameDay(const Time& later, const Time& earlier);
// Microseconds from b to a (a - b).
long diffMicroSeconds(const Time& a, const Time& b);

// "YYYY-MM-DD HH:MM:SS.uuuuuu" in the time's own zone (the date or the time
// part alone when only that is set, the zone's abbreviation after a time made
// in another zone than the local one); "unset" for an unset time.
std::ostream& operator<<(std::ostream& out, const Time& time);
