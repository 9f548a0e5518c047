// A time zone that times are read and written in: the process's local zone
// (the TZ environment as the C library applies it) or a named one. Zones are
// made once and live until the process ends, so the pointers handed out stay
// valid and may be shared by every thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

class ZoneRules;

class TimeZone
{
public:
    // The local zone.
    static const TimeZone* local();
    // "", "TZ", "local" and "localtime" name the local zone; "UTC", "GMT" and
    // "Z" coordinated universal time; any other name is a zone file under
    // $TZDIR (default /usr/share/zoneinfo), such as "America/New_York", or
    // else a POSIX TZ rule such as "EST5EDT,M3.2.0,M11.1.0". Null when the
    // name is none of these.
    static const TimeZone* getTimeZone(const std::string& name);

    const std::string& getName() const { return mName; }
    bool isLocal() const { return mRules == nullptr; }

    // The calendar time of an instant in this zone, as localtime_r gives it.
    bool breakDown(std::int64_t secondsSinceEpoch, struct tm& out) const;
    // The instant of a calendar time in this zone, as mktime gives it
    // (fields out of range carry over; tm is rewritten normalised).
    bool makeTime(struct tm& tm, std::int64_t& secondsSinceEpoch) const;

    ~TimeZone();
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    TimeZone(std::string name, std::unique_ptr<ZoneRules> rules);

    std::string mName;
    std::unique_ptr<ZoneRules> mRules; // null: the C library's local zone
};
