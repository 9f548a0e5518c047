// Converts configured time texts to broken-down or epoch times and compares
// times of day with the local clock (session send times and time windows).
// An object is used on one thread; each keeps its own reading of the clock.
#pragma once

#include <ctime>

class TimeHelper
{
public:
    TimeHelper();
    virtual ~TimeHelper();

    // `text` as "%H%M%S" into `out`, on today's local date (year, month, day,
    // weekday and daylight-saving flag of now). False when `text` does not
    // parse; `out` then holds today's date at 00:00:00.
    bool getTimeStructure(const char* text, std::tm& out);
    // `text` parsed with `format` and converted as local time; false when the
    // text does not parse (or either is null).
    bool getUtcTimeInSecond(const char* text, const char* format, unsigned long& out);
    bool getUtcTimeInNanoSecond(const char* text, const char* format, unsigned long& out);
    // Microseconds as the nanoseconds of a packet header's send time.
    unsigned long getPacketSendTime(unsigned long microseconds) const { return microseconds * 1000; }

    // Same second, minute, hour, day of month, month and year.
    static bool isSameTime(const std::tm& a, const std::tm& b);
    // a's time of day strictly later than b's.
    static bool isAfter(const std::tm& a, const std::tm& b);
    // The local time of day now is t's or later.
    bool isCurrentTimeEqualOrAfter(const std::tm& t);
    // The local time of day now is strictly later than t's.
    bool isAfterCurrentTime(const std::tm& t);

protected:
    // Reads the clock into mCurrRawtime and mCurrTime; a test overrides it to pin "now".
    virtual std::time_t now() const;

private:
    void readClock();

    std::time_t mCurrRawtime = 0;
    std::tm mCurrTime{};
};
