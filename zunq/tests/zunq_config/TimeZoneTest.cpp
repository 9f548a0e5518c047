#include "zunq/time/TimeZone.h"
#include "zunq/time/ZoneRules.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace
{

std::string describe(const struct tm& t)
{
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d wday %d yday %d dst %d off %ld %s",
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_wday, t.tm_yday,
                  t.tm_isdst, t.tm_gmtoff, t.tm_zone ? t.tm_zone : "");
    return text;
}

// Instants to compare at: a coarse sweep over two centuries, and every hour
// of the days around the usual change dates, where the rules bite.
std::vector<std::int64_t> instants()
{
    std::vector<std::int64_t> out;
    for (std::int64_t t = -2208988800LL; t < 4102444800LL; t += 86400 * 13 + 3607)
        out.push_back(t);
    for (int year : {1995, 2007, 2024, 2036, 2037, 2038, 2050, 2099})
        for (int month : {3, 4, 9, 10, 11})
        {
            struct tm first
            {
            };
            first.tm_year = year - 1900;
            first.tm_mon = month - 1;
            first.tm_mday = 1;
            const std::int64_t start = timegm(&first);
            for (std::int64_t t = start; t < start + 31 * 86400; t += 1800)
                out.push_back(t);
        }
    return out;
}

// The zone's own rules must agree with the C library reading the same zone.
// (For a POSIX rule the C library applies 1970's dates to every earlier year,
// so rules are compared from 1971 on.)
void expectSameAsLibc(const char* name, std::int64_t from = INT64_MIN)
{
    const TimeZone* zone = TimeZone::getTimeZone(name);
    ASSERT_NE(zone, nullptr) << name;
    ASSERT_FALSE(zone->isLocal()) << name;
    ScopedEnv tz("TZ", name);
    for (std::int64_t t : instants())
    {
        if (t < from)
            continue;
        struct tm ours
        {
        };
        struct tm libc
        {
        };
        const time_t tt = static_cast<time_t>(t);
        ASSERT_TRUE(zone->breakDown(t, ours));
        ASSERT_NE(localtime_r(&tt, &libc), nullptr);
        ASSERT_EQ(describe(ours), describe(libc)) << name << " at " << t;

        // And back: the calendar time gives the instant again.
        struct tm back = ours;
        back.tm_isdst = ours.tm_isdst;
        std::int64_t again = 0;
        ASSERT_TRUE(zone->makeTime(back, again));
        ASSERT_EQ(again, t) << name << " " << describe(ours);
    }
}

TEST(TimeZone, ZoneFilesAgreeWithTheCLibrary)
{
    for (const char* name : {"America/New_York", "Europe/London", "Europe/Berlin", "Australia/Sydney", "Asia/Kolkata",
                             "America/St_Johns", "Pacific/Chatham", "Europe/Dublin", "America/Sao_Paulo"})
        expectSameAsLibc(name);
}

TEST(TimeZone, PosixRulesAgreeWithTheCLibrary)
{
    for (const char* rule : {"EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3", "AEST-10AEDT,M10.1.0,M4.1.0/3",
                             "<+0330>-3:30", "JST-9", "NZST-12NZDT,M9.5.0,M4.1.0/3", "XXX3YYY,J60/1,J300/1",
                             "XXX3YYY,59/1,299/1"})
        expectSameAsLibc(rule, 31536000);
}

TEST(TimeZone, NamesForTheLocalZoneUtcAndNothing)
{
    for (const char* local : {"", "TZ", "local", "localtime", ":"})
        EXPECT_EQ(TimeZone::getTimeZone(local), TimeZone::local()) << local;
    EXPECT_TRUE(TimeZone::local()->isLocal());
    for (const char* utc : {"UTC", "GMT", "Z"})
    {
        const TimeZone* zone = TimeZone::getTimeZone(utc);
        ASSERT_NE(zone, nullptr) << utc;
        struct tm t
        {
        };
        ASSERT_TRUE(zone->breakDown(1700000000, t));
        EXPECT_EQ(describe(t), "2023-11-14 22:13:20 wday 2 yday 317 dst 0 off 0 UTC") << utc;
    }
    // Same zone twice: the same object.
    EXPECT_EQ(TimeZone::getTimeZone("Europe/Paris"), TimeZone::getTimeZone(":Europe/Paris"));
    for (const char* nothing : {"No/Such_Zone", "../../etc/passwd", "/etc/localtime", "Europe/../Europe/Paris", "Euro",
                                "EST5EDT,M13.1.0,M11.1.0", "EST5EDT,M3.2.0"})
        EXPECT_EQ(TimeZone::getTimeZone(nothing), nullptr) << nothing;
}

TEST(TimeZone, MakeTimeResolvesSkippedAndRepeatedLocalTimes)
{
    const TimeZone* ny = TimeZone::getTimeZone("America/New_York");
    ASSERT_NE(ny, nullptr);
    const struct
    {
        const char* name;
        int month, day, hour, minute, isDst;
        std::int64_t utc; // expected instant
        int hourAfter;
    } cases[] = {
        // 2024-03-10 02:30 does not exist: read with the offset before (EST).
        {"skipped", 3, 10, 2, 30, -1, 1710055800, 3},
        // 2024-11-03 01:30 happens twice.
        {"repeated, no preference: the earlier", 11, 3, 1, 30, -1, 1730611800, 1},
        {"repeated, daylight time asked", 11, 3, 1, 30, 1, 1730611800, 1},
        {"repeated, standard time asked", 11, 3, 1, 30, 0, 1730615400, 1},
        {"fields out of range carry over", 12, 32, 24, 0, -1, 1735794000, 0},
    };
    for (const auto& c : cases)
    {
        struct tm t
        {
        };
        t.tm_year = 124;
        t.tm_mon = c.month - 1;
        t.tm_mday = c.day;
        t.tm_hour = c.hour;
        t.tm_min = c.minute;
        t.tm_isdst = c.isDst;
        std::int64_t out = 0;
        ASSERT_TRUE(ny->makeTime(t, out)) << c.name;
        EXPECT_EQ(out, c.utc) << c.name;
        EXPECT_EQ(t.tm_hour, c.hourAfter) << c.name;
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST(TimeZone, DamagedZoneFilesAreRefusedNotRead)
{
    const std::string real = readFile("/usr/share/zoneinfo/America/New_York");
    ASSERT_GT(real.size(), 100u);
    ASSERT_NE(ZoneRules::fromTzif(real), nullptr);
    // Every cut of the file either parses or is refused; none is read past.
    for (std::size_t length = 0; length < real.size(); ++length)
        ZoneRules::fromTzif(real.substr(0, length));
    EXPECT_EQ(ZoneRules::fromTzif(real.substr(0, 60)), nullptr);

    // Counts that promise more than the file holds.
    std::string lying = real;
    lying[32] = '\x7f'; // timecnt of the first header, high byte
    EXPECT_EQ(ZoneRules::fromTzif(lying), nullptr);
    std::string badType = real;
    badType[39] = '\0'; // typecnt 0
    EXPECT_EQ(ZoneRules::fromTzif(badType), nullptr);

    // A damaged file under TZDIR is no zone, and no POSIX rule either.
    TempDir dir;
    dir.write("Bad/Zone", real.substr(0, 200));
    ScopedEnv tzdir("TZDIR", dir.path().c_str());
    EXPECT_EQ(TimeZone::getTimeZone("Bad/Zone"), nullptr);
}

} // namespace
