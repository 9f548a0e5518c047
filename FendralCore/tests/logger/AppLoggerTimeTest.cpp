// Time in the log: the stamp of every line against the zone's own
// conversion (daylight-saving changes included) and the daily file switch,
// all with an injected clock and TZ.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/tests/logger/LoggerFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using namespace logtest;

std::string localStamp(time_t seconds)
{
    tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

// Whether this process still holds a descriptor on path.
bool isHeldOpen(const std::string& path)
{
    const std::string target = std::filesystem::canonical(path).string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        std::error_code error;
        const auto link = std::filesystem::read_symlink(entry.path(), error);
        if (!error && link.string() == target)
            return true;
    }
    return false;
}

struct ZoneChange
{
    const char* what;
    const char* tz;
    time_t before; // the last second before the change
    const char* beforeText;
    const char* afterText;
};

// Every stamp written on one thread through the header cache, second after
// second across the change, reads as the zone says.
TEST(AppLoggerTime, StampsFollowDaylightSavingChanges)
{
    const ZoneChange changes[] = {
        {"London, spring forward", "Europe/London", utc(2024, 3, 31, 0, 59, 59), "2024/03/31 00:59:59",
         "2024/03/31 02:00:00"},
        {"London, fall back", "Europe/London", utc(2024, 10, 27, 0, 59, 59), "2024/10/27 01:59:59",
         "2024/10/27 01:00:00"},
        {"Havana, at midnight", "America/Havana", utc(2024, 3, 10, 4, 59, 59), "2024/03/09 23:59:59",
         "2024/03/10 01:00:00"},
        {"Lord Howe, half an hour", "Australia/Lord_Howe", utc(2024, 10, 5, 15, 29, 59), "2024/10/06 01:59:59",
         "2024/10/06 02:30:00"},
    };
    for (const ZoneChange& c : changes)
    {
        TempDir dir;
        ScopedTz tz(c.tz);
        AppLogger logger(dir.path().c_str(), "dst", LOG_LEVEL_INFO);
        logger.setClock(fakeClock);
        setClock(c.before - 2);
        ASSERT_EQ(logger.openLog(), 0) << c.what;
        // A fresh thread: its cache starts empty in this zone.
        std::thread([&] {
            AppLogger::setThreadName("DST");
            for (time_t s = c.before - 2; s <= c.before + 2; ++s)
            {
                setClock(s, 500000000);
                ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "tick"), 0);
            }
        }).join();
        ASSERT_EQ(logger.closeLog(), 0);

        std::vector<std::string> stamps;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        {
            for (const auto& line : readLines(entry.path().string()))
                stamps.push_back(line.substr(0, 19));
        }
        std::sort(stamps.begin(), stamps.end());
        std::vector<std::string> expected;
        for (time_t s = c.before - 2; s <= c.before + 2; ++s)
            expected.push_back(localStamp(s));
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(stamps, expected) << c.what;
        EXPECT_NE(std::find(stamps.begin(), stamps.end(), c.beforeText), stamps.end()) << c.what;
        EXPECT_NE(std::find(stamps.begin(), stamps.end(), c.afterText), stamps.end()) << c.what;
    }
}

// Steps of every size, forwards and backwards, against localtime_r.
TEST(AppLoggerTime, HeaderCacheMatchesTheZoneForAnyStep)
{
    TempDir dir;
    ScopedTz tz("Europe/London");
    AppLogger logger(dir.path().c_str(), "steps", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    const time_t start = utc(2024, 3, 31, 0, 58, 30);
    setClock(start);
    ASSERT_EQ(logger.openLog(), 0);
    const int64 steps[] = {0, 1, 1, 28, 1, 29, 1, 59, 60, 61, -1, -61, 3600, 1, 86399, 1, -86400, 7, 53};
    std::vector<time_t> times;
    time_t t = start;
    for (int64 step : steps)
    {
        t += step;
        times.push_back(t);
        setClock(t, 123456000);
        ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, "x", 1, INTER_THREAD_DATA, nullptr, false,
                                               TCP_CHANNEL, nullptr, nullptr, 0),
                  0);
    }
    ASSERT_EQ(logger.closeLog(), 0);
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    {
        for (const auto& line : readLines(entry.path().string()))
            lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), times.size());
    std::vector<std::string> stamps, expected;
    for (size_t i = 0; i < times.size(); ++i)
    {
        stamps.push_back(lines[i].substr(0, 26));
        expected.push_back(localStamp(times[i]) + ".123456");
    }
    std::sort(stamps.begin(), stamps.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(stamps, expected);
}

TEST(AppLoggerTime, FirstLineAfterMidnightOpensTheNewDaysFile)
{
    TempDir dir;
    ScopedTz tz("Asia/Tokyo");
    AppLogger logger(dir.path().c_str(), "daily", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    const time_t midnight = utc(2024, 6, 30, 15, 0, 0); // 2024-07-01 00:00 in Tokyo
    setClock(midnight - 1, 999999000);
    ASSERT_EQ(logger.openLog(), 0);
    AppLogger::setThreadName("DAILY");
    ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "last of June"), 0);
    const std::string june = dailyFile(dir, "daily", "20240630");
    EXPECT_EQ(logger.getFileName(), june);
    EXPECT_TRUE(isHeldOpen(june));

    setClock(midnight, 1000);
    ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "first of July"), 0);
    const std::string july = dailyFile(dir, "daily", "20240701");
    EXPECT_EQ(logger.getFileName(), july);
    EXPECT_FALSE(isHeldOpen(june)) << "the previous day's file is closed";

    // A line stamped before midnight (a thread that read the clock just
    // before) goes to the current file: files never switch back.
    const timespec late{midnight - 1, 999999999};
    ASSERT_EQ(logger.logMessageFixedLength(LOG_LEVEL_INFO, "late", 4, INTER_THREAD_DATA, &late, false, TCP_CHANNEL,
                                           nullptr, nullptr, 0),
              0);
    EXPECT_EQ(logger.getFileName(), july);
    // A jump of several days opens that day's file.
    setClock(midnight + 3 * 86400 + 5);
    ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "after a long weekend"), 0);
    ASSERT_EQ(logger.closeLog(), 0);

    EXPECT_EQ(readLines(june), std::vector<std::string>{"2024/06/30 23:59:59.999999,I, DAILY           : last of June\n"});
    EXPECT_EQ(readLines(july), (std::vector<std::string>{
                                   "2024/07/01 00:00:00.000001,I, DAILY           : first of July\n",
                                   "2024/06/30 23:59:59.999999,I, DAILY           : late\n",
                               }));
    EXPECT_EQ(readLines(dailyFile(dir, "daily", "20240704")),
              std::vector<std::string>{"2024/07/04 00:00:05.000000,I, DAILY           : after a long weekend\n"});
}

// When the new day's file cannot be opened, the line fails and the old file
// stays in use; the next line tries again.
TEST(AppLoggerTime, FailedSwitchKeepsTheCurrentFile)
{
    TempDir dir;
    ScopedTz tz("UTC");
    AppLogger logger(dir.path().c_str(), "keep", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    setClock(utc(2024, 1, 1, 23, 59, 59));
    ASSERT_EQ(logger.openLog(), 0);
    const std::string first = logger.getFileName();
    // Block the new name with a directory of that name.
    std::filesystem::create_directory(dailyFile(dir, "keep", "20240102"));
    setClock(utc(2024, 1, 2, 0, 0, 1));
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_INFO, "lost"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, FILE_OPEN_ERROR);
    EXPECT_EQ(logger.getFileName(), first);
    EXPECT_TRUE(logger.isOpen());
    std::filesystem::remove(dailyFile(dir, "keep", "20240102"));
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_INFO, "kept"), 0);
    EXPECT_EQ(logger.getFileName(), dailyFile(dir, "keep", "20240102"));
}

// Writers, a flusher (as the control thread flushes periodically) and day
// switches at once: every line lands whole in its day's file, and no flush
// touches a stream that a switch closed.
TEST(AppLoggerTime, FlushAndWritesRaceTheDailySwitchSafely)
{
    TempDir dir;
    ScopedTz tz("UTC");
    AppLogger logger(dir.path().c_str(), "race", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    const time_t day0 = utc(2024, 2, 1, 12, 0, 0);
    setClock(day0);
    ASSERT_EQ(logger.openLog(), 0);

    constexpr int DAYS = 20;
    std::atomic<bool> stop{false};
    std::atomic<int64> written{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w)
    {
        threads.emplace_back([&] {
            while (!stop.load())
            {
                ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "line"), 0);
                written.fetch_add(1);
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop.load())
            ASSERT_EQ(logger.flushData(), 0);
    });
    for (int day = 1; day <= DAYS; ++day)
    {
        const int64 seen = written.load();
        while (written.load() < seen + 50)
            std::this_thread::yield();
        setClock(day0 + day * 86400);
    }
    const int64 seen = written.load();
    while (written.load() < seen + 50)
        std::this_thread::yield();
    stop.store(true);
    for (auto& thread : threads)
        thread.join();
    ASSERT_EQ(logger.closeLog(), 0);

    size_t files = 0;
    int64 lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    {
        ++files;
        for (const auto& line : readLines(entry.path().string()))
        {
            ++lines;
            ASSERT_EQ(line.substr(26), ",I, " + line.substr(30, 16) + ": line\n");
        }
    }
    EXPECT_EQ(files, static_cast<size_t>(DAYS + 1));
    EXPECT_EQ(lines, written.load());
}

} // namespace
