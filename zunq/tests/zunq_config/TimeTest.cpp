#include "zunq/time/Time.h"
#include "zunq/time/TimeZone.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace
{

// Local-zone behaviour is pinned to one zone with daylight saving time.
class TimeTest : public ::testing::Test
{
protected:
    std::string fmt(const Time& t, const char* format, const TimeZone* tz = nullptr)
    {
        char text[128];
        t.strFmt(text, sizeof text, format, tz);
        return text;
    }

    std::string print(const Time& t)
    {
        std::ostringstream out;
        out << t;
        return out.str();
    }

    // Today's date in a zone; read twice so a midnight between the reads is seen.
    std::string today(const TimeZone* tz)
    {
        Time now;
        now.recalcNow();
        return fmt(now, "%Y-%m-%d", tz);
    }

    ScopedEnv mTz{"TZ", "Europe/Berlin"};
    const TimeZone* utc = TimeZone::getTimeZone("UTC");
    const TimeZone* newYork = TimeZone::getTimeZone("America/New_York");
};

TEST_F(TimeTest, KeepsItsEightyByteCopyableLayout)
{
    static_assert(sizeof(Time) == 80);
    static_assert(std::is_trivially_copyable_v<Time>);
    Time a("2024-07-01 12:34:56.789", utc);
    unsigned char bytes[sizeof(Time)];
    std::memcpy(bytes, &a, sizeof a);
    Time b;
    std::memcpy(&b, bytes, sizeof b);
    EXPECT_EQ(b, a);
    EXPECT_EQ(fmt(b, "%F %T%;"), "2024-07-01 12:34:56.789");
}

TEST_F(TimeTest, ParsesDatesTimesAndBothInTheGivenZone)
{
    const struct
    {
        const char* text;
        const TimeZone* tz;
        bool date, time;
        const char* inUtc; // "%F %T%;" in UTC, or a time of day alone
        std::int64_t micros; // since the epoch; 0 to skip (times of day)
    } cases[] = {
        {"2024-07-01 12:34:56.789", utc, true, true, "2024-07-01 12:34:56.789", 1719837296789000},
        {"2024-07-01T12:34:56", newYork, true, true, "2024-07-01 16:34:56.000", 1719851696000000},
        {"2024-01-15 08:00", newYork, true, true, "2024-01-15 13:00:00.000", 1705323600000000},
        {"2024-01-15 08:00", nullptr, true, true, "2024-01-15 07:00:00.000", 1705302000000000}, // local: Berlin
        {"2024/02/29", utc, true, false, "2024-02-29 00:00:00.000", 1709164800000000},
        {"20240229", utc, true, false, "2024-02-29 00:00:00.000", 1709164800000000},
        {" 1969-12-31 23:59:59.5 ", utc, true, true, "1969-12-31 23:59:59.500", -500000},
        {"09:30", utc, false, true, "09:30:00.000", 0},
        {"9:05:07.123456789", utc, false, true, "09:05:07.123", 0},
        {"23:59:59", newYork, false, true, "", 0},
    };
    for (const auto& c : cases)
    {
        Time t(c.text, c.tz);
        ASSERT_TRUE(t.isSet()) << c.text;
        EXPECT_EQ(t.isDateSet(), c.date) << c.text;
        EXPECT_EQ(t.isTimeSet(), c.time) << c.text;
        const std::string expected = c.inUtc;
        if (!expected.empty())
        {
            EXPECT_EQ(fmt(t, c.date ? "%F %T%;" : "%T%;", utc), expected) << c.text;
        }
        if (c.micros != 0)
        {
            EXPECT_EQ(t.getMicrosecondsSinceEpoch(), c.micros) << c.text;
        }
    }
}

TEST_F(TimeTest, TimeOfDayIsPinnedToTodayInItsZone)
{
    for (const TimeZone* tz : {utc, newYork, TimeZone::local()})
    {
        const std::string before = today(tz);
        Time t("23:59:59", tz);
        const std::string after = today(tz);
        const std::string date = fmt(t, "%F", tz);
        EXPECT_TRUE(date == before || date == after) << date;
        EXPECT_EQ(fmt(t, "%T", tz), "23:59:59");
        // Written without a zone, a time reads in the zone it was made in.
        EXPECT_EQ(fmt(t, "%T"), "23:59:59");
    }
}

TEST_F(TimeTest, BadTextLeavesTheTimeUnset)
{
    for (const char* text : {"", "   ", "24:00", "12:60", "12:00:60", "12", "12:5", "2024-13-01", "2023-02-29",
                             "2024-04-31", "2024-1-01", "2024-01-01  12:00", "2024-01-01x", "2024-01-01 25:00", "12:00:00.",
                             "12:00:00.1234567890", "noon", "2024-01/01", "12:00 PM"})
    {
        Time t("2024-01-01 00:00", utc);
        EXPECT_FALSE(t.set(text, utc)) << '"' << text << '"';
        EXPECT_FALSE(t.isSet()) << '"' << text << '"';
        EXPECT_EQ(fmt(t, "%T"), "") << '"' << text << '"';
    }
    Time null(nullptr, utc);
    EXPECT_FALSE(null.isSet());
}

TEST_F(TimeTest, FormatsLikeStrftimeWithMillisecondsAndMicroseconds)
{
    const Time t("2024-07-01 09:05:07.042917", utc);
    const struct
    {
        const char* format;
        const TimeZone* tz;
        const char* text;
    } cases[] = {
        {"%T%;", utc, "09:05:07.042"},
        {"%T.%:", utc, "09:05:07.042917"},
        {"%Y%m%d-%H%M%S", utc, "20240701-090507"},
        {"%T%;", newYork, "05:05:07.042"},
        {"%T %Z", newYork, "05:05:07 EDT"},
        {"%T", nullptr, "09:05:07"}, // the zone it was made in
        {"100%% %%; %%:", utc, "100% %; %:"},
        {"%;%:%;", utc, ".042042917.042"},
        {"tail %", utc, "tail %"},
        {"", utc, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fmt(t, c.format, c.tz), c.text) << c.format;

    // The recorder's meta line: "%T.%:" cut to 12 characters is HH:MM:SS.mmm.
    EXPECT_EQ(fmt(t, "%T.%:", utc).substr(0, 12), "09:05:07.042");
}

TEST_F(TimeTest, FormattingNeverWritesPastTheBuffer)
{
    const Time t("2024-07-01 09:05:07.042917", utc);
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(t.strFmt(buf, 8, "%T%;", utc), 0u); // 12 characters do not fit in 8
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[8], 'x');
    EXPECT_EQ(t.strFmt(buf, 13, "%T%;", utc), 12u); // they fit with the NUL
    EXPECT_STREQ(buf, "09:05:07.042");
    EXPECT_EQ(t.strFmt(buf, 0, "%T", utc), 0u);
    EXPECT_EQ(t.strFmt(nullptr, 10, "%T", utc), 0u);
    EXPECT_EQ(t.strFmt(buf, sizeof buf, nullptr, utc), 0u);
    EXPECT_EQ(Time().strFmt(buf, sizeof buf, "%T", utc), 0u);
    EXPECT_STREQ(buf, "");
}

TEST_F(TimeTest, ComparesInstantsOrTimesOfDay)
{
    const Time early("2024-07-01 08:00", utc);
    const Time late("2024-07-01 08:00:00.000001", utc);
    const Time yesterdayNoon("2024-06-30 12:00", utc);
    const Time nineAm("09:00", utc);
    EXPECT_LT(early, late);
    EXPECT_GT(late, early);
    EXPECT_LT(yesterdayNoon, early);
    EXPECT_EQ(early, Time("2024-07-01 10:00", TimeZone::getTimeZone("Europe/Berlin")));
    // A time of day alone compares by time of day, whatever the other's date.
    EXPECT_LT(early, nineAm);
    EXPECT_GT(yesterdayNoon, nineAm);
    EXPECT_EQ(nineAm, Time("2020-01-01 09:00", utc));
    EXPECT_NE(nineAm, Time("2020-01-01 09:00:01", utc));
}

TEST_F(TimeTest, NowDateAndNowTimeSetTheirParts)
{
    Time stamp;
    stamp.recalcNow();
    EXPECT_TRUE(stamp.isDateSet() && stamp.isTimeSet());

    Time date;
    Time::nowDate(date);
    EXPECT_TRUE(date.isDateSet());
    EXPECT_FALSE(date.isTimeSet());
    EXPECT_EQ(fmt(date, "%T"), "00:00:00");
    EXPECT_LE(date.getSecondsSinceEpoch(), stamp.getSecondsSinceEpoch());
    EXPECT_GT(date.getSecondsSinceEpoch(), stamp.getSecondsSinceEpoch() - 26 * 3600);

    Time clock;
    Time::nowTime(clock);
    EXPECT_FALSE(clock.isDateSet());
    EXPECT_TRUE(clock.isTimeSet());
    EXPECT_LT(diffSeconds(clock, stamp), 60.0);
    EXPECT_GE(diffSeconds(clock, stamp), 0.0);

    Time cleared = stamp;
    cleared.clear();
    EXPECT_FALSE(cleared.isSet());
    EXPECT_EQ(print(cleared), "unset");
}

TEST_F(TimeTest, SetTimeKeepsTheDateAndTakesTheTimeOfDay)
{
    Time day("2024-03-31", nullptr); // Berlin changes to summer time this night
    day.setTime(Time("2024-01-01 14:15:16.5", nullptr));
    EXPECT_EQ(fmt(day, "%F %T%; %Z"), "2024-03-31 14:15:16.500 CEST");
    EXPECT_TRUE(day.isDateSet() && day.isTimeSet());

    Time unset;
    unset.setTime(Time("06:00", newYork)); // reads as 06:00 in its own zone
    EXPECT_FALSE(unset.isDateSet());
    EXPECT_EQ(fmt(unset, "%T"), "06:00:00");

    Time kept("2024-03-31 01:00", nullptr);
    kept.setTime(Time());
    EXPECT_EQ(fmt(kept, "%F %T"), "2024-03-31 01:00:00");
}

TEST_F(TimeTest, DifferencesInSecondsAndMicroseconds)
{
    const Time a("2024-07-01 08:00:00.250", utc);
    const Time b("2024-07-01 07:59:59.750", utc);
    const Time beforeEpoch("1969-12-31 23:59:59.5", utc);
    const Time epoch("1970-01-01 00:00:00.25", utc);
    EXPECT_DOUBLE_EQ(diffSeconds(a, b), 0.5);
    EXPECT_DOUBLE_EQ(diffSeconds(b, a), -0.5);
    EXPECT_EQ(diffMicroSeconds(a, b), 500000);
    EXPECT_EQ(diffMicroSeconds(epoch, beforeEpoch), 750000);
    EXPECT_DOUBLE_EQ(diffSeconds(epoch, beforeEpoch), 0.75);
    // Same day: only the times of day count.
    EXPECT_DOUBLE_EQ(diffSecondsSameDay(Time("2024-07-05 10:00:30", utc), Time("2024-07-01 10:00:00.5", utc)), 29.5);
    EXPECT_DOUBLE_EQ(diffSecondsSameDay(Time("01:00", utc), Time("23:00", utc)), -22 * 3600.0);
}

TEST_F(TimeTest, StreamsInItsOwnZone)
{
    EXPECT_EQ(print(Time("2024-07-01 09:05:07.042917", nullptr)), "2024-07-01 09:05:07.042917");
    EXPECT_EQ(print(Time("2024-07-01 09:05:07", newYork)), "2024-07-01 09:05:07.000000 EDT");
    EXPECT_EQ(print(Time("2024-07-01", nullptr)), "2024-07-01");
    EXPECT_EQ(print(Time("13:14", nullptr)), "13:14:00.000000");
    EXPECT_EQ(print(Time()), "unset");
}

} // namespace
