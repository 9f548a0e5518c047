// The offset rules of one named time zone: the transitions of a compiled zone
// file (TZif, as in /usr/share/zoneinfo) and the POSIX TZ rule that carries
// them on past the last transition, or a POSIX TZ rule alone
// ("EST5EDT,M3.2.0,M11.1.0"). Immutable once built; used by TimeZone from
// any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

class ZoneRules
{
public:
    // Largest zone file accepted; real ones are a few kilobytes.
    static constexpr std::size_t cMaxFileSize = 1 << 20;

    // Null when the bytes or the text are not a valid zone.
    static std::unique_ptr<ZoneRules> fromTzif(const std::string& bytes);
    static std::unique_ptr<ZoneRules> fromPosix(const std::string& text);
    static std::unique_ptr<ZoneRules> utc();

    // Like gmtime_r after adding the zone's offset at t; fills tm_isdst,
    // tm_gmtoff and tm_zone. False when t is outside the years a tm holds.
    bool breakDown(std::int64_t t, struct tm& out) const;
    // Like mktime in this zone: out-of-range fields are carried over; a local
    // time that occurs twice takes the offset tm_isdst asks for (the earlier
    // when it is negative); one that a change skips is read with the offset
    // in force before the change. Fills the fields as breakDown does.
    bool makeTime(struct tm& tm, std::int64_t& out) const;

    // Civil calendar helpers (proleptic Gregorian), shared with Time.
    static std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day);
    static void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day);

private:
    struct Type
    {
        std::int32_t utoff = 0; // seconds east of UTC
        bool isDst = false;
        std::string abbr;
    };

    // A day of the year as a POSIX rule names it, and the local time of day
    // (in seconds, may be negative or beyond a day) of the change.
    struct RuleDay
    {
        enum Kind
        {
            JULIAN_NO_LEAP, // Jn: 1..365, February 29 never counted
            ZERO_BASED,     // n: 0..365
            MONTH_WEEK_DAY  // Mm.w.d
        } kind = MONTH_WEEK_DAY;
        int a = 0, b = 0, c = 0;
        std::int32_t time = 7200;
    };

    struct PosixRule
    {
        Type standard;
        bool hasDst = false;
        Type dst;
        RuleDay start, end;
    };

    static bool parsePosix(const std::string& text, PosixRule& rule);
    const Type& typeAt(std::int64_t t) const;
    const Type& ruleTypeAt(std::int64_t t) const;
    static std::int64_t ruleDayStart(const RuleDay& day, std::int64_t year);

    std::vector<std::int64_t> mTransitions;
    std::vector<std::uint8_t> mTransitionTypes;
    std::vector<Type> mTypes;
    bool mHasRule = false;
    PosixRule mRule;
};
