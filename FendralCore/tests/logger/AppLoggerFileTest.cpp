// The daily log file written by the logger itself: the line layout, level
// filter, line cut, file naming and open failures, and several threads
// sharing one logger.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/Int2Txt.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/tests/logger/LoggerFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace logtest;

const std::regex PLAIN_LINE(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{6},[ACEWNID], .{16}: [^\n]*\n)");

std::string hexId(pthread_t tid)
{
    char text[17] = {};
    int2TxtRightAlign(static_cast<uint64>(tid), text, 16, 16, false);
    return text;
}

class AppLoggerFile : public ::testing::Test
{
protected:
    ScopedTz m_tz{"UTC"};
    TempDir m_dir;

    void SetUp() override { setClock(utc(2024, 3, 5, 13, 4, 5), 42000); }
};

TEST_F(AppLoggerFile, WritesItsDailyFileInTheExactLineLayout)
{
    AppLogger logger(m_dir.path().c_str(), "app", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    ASSERT_EQ(logger.openLog(), 0);
    EXPECT_EQ(logger.getFileName(), dailyFile(m_dir, "app", "20240305"));

    std::string unnamedId;
    std::thread([&] {
        AppLogger::setThreadName("WORKER_1");
        EXPECT_EQ(logger.logMessage(LOG_LEVEL_ERROR, "Error [%d] occurred on [%s].", 1655, "T1"), 0);
        EXPECT_EQ(logger.logMessage(LOG_LEVEL_DEBUG, "filtered [%d]", 1), 0);
        setClock(utc(2024, 3, 5, 13, 4, 6), 999999000);
        EXPECT_EQ(logger.logMessage(LOG_LEVEL_INFO, "next second"), 0);
    }).join();
    std::thread([&] {
        // A name is data: its '%' are written as they are.
        AppLogger::setThreadName("a%s%n%d%%");
        EXPECT_EQ(logger.logMessage(LOG_LEVEL_ALERT, "value [%s]", "%x%n"), 0);
    }).join();
    std::thread([&] {
        unnamedId = hexId(pthread_self());
        EXPECT_EQ(logger.logMessage(LOG_LEVEL_WARNING, "anonymous"), 0);
    }).join();
    ASSERT_EQ(logger.closeLog(), 0);

    const std::vector<std::string> expected = {
        "2024/03/05 13:04:05.000042,E, WORKER_1        : Error [1655] occurred on [T1].\n",
        "2024/03/05 13:04:06.999999,I, WORKER_1        : next second\n",
        "2024/03/05 13:04:06.999999,A, a%s%n%d%%       : value [%x%n]\n",
        "2024/03/05 13:04:06.999999,W, " + unnamedId + ": anonymous\n",
    };
    EXPECT_EQ(readLines(logger.getFileName()), expected);
}

TEST_F(AppLoggerFile, LevelFilterAndLevelRange)
{
    AppLogger logger(m_dir.path().c_str(), "lvl", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_ALERT, "before open"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);
    ASSERT_EQ(logger.openLog(), 0);
    EXPECT_EQ(logger.openLog(), 0); // already open

    EXPECT_EQ(logger.logMessage(LOG_LEVEL_DEBUG, "dropped"), 0);
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_ALERT, "always"), 0);
    EXPECT_EQ(logger.logMessage(-1, "no such level"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_INVALID_LOG_LEVEL);

    for (int32 bad : {-1, 7})
    {
        EXPECT_EQ(logger.setLogLevel(bad), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_INVALID_LOG_LEVEL);
        EXPECT_EQ(logger.setSyslogLevel(bad), -1);
    }
    EXPECT_EQ(logger.getLogLevel(), LOG_LEVEL_INFO);
    ASSERT_EQ(logger.setLogLevel(LOG_LEVEL_DEBUG), 0);
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_DEBUG, "now kept"), 0);
    const std::string name = logger.getFileName();
    ASSERT_EQ(logger.closeLog(), 0);
    EXPECT_EQ(logger.closeLog(), 0); // not open
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_ALERT, "after close"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);

    // A logger given a level beyond the scale still writes nothing beyond DEBUG.
    AppLogger wide(m_dir.path().c_str(), "wide", 9);
    wide.setClock(fakeClock);
    ASSERT_EQ(wide.openLog(), 0);
    EXPECT_EQ(wide.logMessage(8, "beyond"), 0);
    EXPECT_EQ(wide.logMessageFixedLength(7, "x", 1, INTER_THREAD_DATA, nullptr, false, TCP_CHANNEL, nullptr, nullptr, 0),
              0);
    EXPECT_EQ(wide.logMessage(LOG_LEVEL_DEBUG, "debug"), 0);
    const std::string wideName = wide.getFileName();
    ASSERT_EQ(wide.closeLog(), 0);
    ASSERT_EQ(readLines(wideName).size(), 1u);
    EXPECT_NE(readLines(wideName)[0].find(",D, "), std::string::npos);

    const auto lines = readLines(name);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(",A, "), std::string::npos);
    EXPECT_NE(lines[0].find(": always\n"), std::string::npos);
    EXPECT_NE(lines[1].find(",D, "), std::string::npos);
}

// The formatted text is cut, never the format: a conversion at the limit is
// formatted whole and then cut, and a character is never split.
TEST_F(AppLoggerFile, LongLinesAreCutAtTheLimitOnACharacterBoundary)
{
    AppLogger logger(m_dir.path().c_str(), "cut", LOG_LEVEL_DEBUG);
    logger.setClock(fakeClock);
    ASSERT_EQ(logger.openLog(), 0);
    AppLogger::setThreadName("CUT");

    struct Case
    {
        const char* what;
        std::function<int32(AppLogger&)> log;
        std::string kept; // the text of the line
    };
    auto text = [](std::string t) { return [t](AppLogger& l) { return l.logMessage(LOG_LEVEL_INFO, "%s", t.c_str()); }; };
    const std::string x462(462, 'x');
    const std::vector<Case> cases = {
        {"600 characters", text(std::string(600, 'a')), std::string(462, 'a')},
        {"462 characters fit whole", text(x462), x462},
        {"463 characters", text(x462 + "z"), x462},
        {"a number across the limit",
         [](AppLogger& l) { return l.logMessage(LOG_LEVEL_INFO, "%s%d", std::string(460, 'n').c_str(), 12345); },
         std::string(460, 'n') + "12"},
        {"a two-byte character across the limit", text(std::string(461, 'u') + "\xc3\xa9" + "tail"),
         std::string(461, 'u')},
        {"a three-byte character ending at the limit", text(std::string(459, 'u') + "\xe2\x82\xac" + "tail"),
         std::string(459, 'u') + "\xe2\x82\xac"},
        {"an empty text", text(""), ""},
    };
    for (const Case& c : cases)
        ASSERT_EQ(c.log(logger), 0) << c.what;
    ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, nullptr), 0);
    const std::string name = logger.getFileName();
    ASSERT_EQ(logger.closeLog(), 0);

    const auto lines = readLines(name);
    ASSERT_EQ(lines.size(), cases.size() + 1);
    for (size_t i = 0; i < cases.size(); ++i)
    {
        const std::string& line = lines[i];
        EXPECT_LE(line.size(), 511u) << cases[i].what;
        EXPECT_EQ(line.back(), '\n') << cases[i].what;
        EXPECT_EQ(line.substr(48, line.size() - 49), cases[i].kept) << cases[i].what;
    }
    EXPECT_EQ(lines[0].size(), 511u);
    // A null format: the header up to the thread field, then ":" and the newline.
    EXPECT_EQ(lines.back(), "2024/03/05 13:04:05.000042,I, CUT             :\n");
}

TEST_F(AppLoggerFile, OpenFailuresLeaveTheLoggerClosed)
{
    struct Case
    {
        const char* what;
        std::string location;
        std::string prefix;
    };
    const std::vector<Case> cases = {
        {"missing directory", m_dir.file("missing/deeper"), "app"},
        // 256 characters with the date and ".log": refused, never opened cut.
        {"name over 255 characters", m_dir.path(), std::string(255 - m_dir.path().size() - 14 + 1, 'p')},
    };
    for (const Case& c : cases)
    {
        AppLogger logger(c.location.c_str(), c.prefix.c_str(), LOG_LEVEL_INFO);
        logger.setClock(fakeClock);
        EXPECT_EQ(logger.openLog(), -1) << c.what;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, FILE_OPEN_ERROR) << c.what;
        EXPECT_FALSE(logger.isOpen()) << c.what;
        EXPECT_EQ(logger.logMessage(LOG_LEVEL_ALERT, "lost"), -1) << c.what;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR) << c.what;
    }
    // One character less fits exactly.
    const std::string prefix(255 - m_dir.path().size() - 14, 'p');
    AppLogger logger(m_dir.path().c_str(), prefix.c_str(), LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    ASSERT_EQ(logger.openLog(), 0);
    EXPECT_EQ(logger.getFileName().size(), 255u);
}

TEST_F(AppLoggerFile, SynchronousLoggerFlushesEveryLine)
{
    AppLogger buffered(m_dir.path().c_str(), "buffered", LOG_LEVEL_INFO, true, false);
    AppLogger sync(m_dir.path().c_str(), "sync", LOG_LEVEL_INFO, true, true);
    for (AppLogger* logger : {&buffered, &sync})
    {
        logger->setClock(fakeClock);
        ASSERT_EQ(logger->openLog(), 0);
        ASSERT_EQ(logger->logMessage(LOG_LEVEL_INFO, "one line"), 0);
    }
    EXPECT_EQ(readLines(sync.getFileName()).size(), 1u);
    EXPECT_EQ(readLines(buffered.getFileName()).size(), 0u);
    EXPECT_EQ(buffered.flushData(), 0);
    EXPECT_EQ(readLines(buffered.getFileName()).size(), 1u);
}

// A full device: the synchronous logger reports the line's failure at once,
// the buffered one when it flushes.
TEST_F(AppLoggerFile, WriteFailuresAreReported)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    std::filesystem::create_symlink("/dev/full", dailyFile(m_dir, "sync", "20240305"));
    std::filesystem::create_symlink("/dev/full", dailyFile(m_dir, "buffered", "20240305"));
    AppLogger sync(m_dir.path().c_str(), "sync", LOG_LEVEL_INFO, true, true);
    AppLogger buffered(m_dir.path().c_str(), "buffered", LOG_LEVEL_INFO, true, false);
    for (AppLogger* logger : {&sync, &buffered})
    {
        logger->setClock(fakeClock);
        ASSERT_EQ(logger->openLog(), 0);
    }
    EXPECT_EQ(sync.logMessage(LOG_LEVEL_INFO, "no space"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WRITE_FAILED);
    EXPECT_EQ(buffered.logMessage(LOG_LEVEL_INFO, "no space yet"), 0);
    EXPECT_EQ(buffered.flushData(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WRITE_FAILED);
}

TEST_F(AppLoggerFile, ConcurrentThreadsWriteWholeLinesInTheirOrder)
{
    constexpr int THREADS = 4;
    constexpr int LINES = 2000;
    AppLogger logger(m_dir.path().c_str(), "shared", LOG_LEVEL_INFO);
    logger.setClock(fakeClock);
    ASSERT_EQ(logger.openLog(), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
    {
        threads.emplace_back([&logger, t] {
            AppLogger::setThreadName(("WRITER_" + std::to_string(t)).c_str());
            for (int i = 0; i < LINES; ++i)
                ASSERT_EQ(logger.logMessage(LOG_LEVEL_INFO, "writer [%d] line [%d] %s", t, i, "payload"), 0);
        });
    }
    for (auto& thread : threads)
        thread.join();
    const std::string name = logger.getFileName();
    ASSERT_EQ(logger.closeLog(), 0);

    const auto lines = readLines(name);
    ASSERT_EQ(lines.size(), static_cast<size_t>(THREADS * LINES));
    int next[THREADS] = {};
    const std::regex text(R"(: writer \[(\d)\] line \[(\d+)\] payload\n$)");
    for (const auto& line : lines)
    {
        ASSERT_TRUE(std::regex_match(line, PLAIN_LINE)) << line;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, text)) << line;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(line.substr(30, 16), "WRITER_" + std::to_string(t) + std::string(8, ' '));
        EXPECT_EQ(std::stoi(m[2]), next[t]++) << line;
    }
}

// A sink that holds the line being written until the test lets it go, and
// records what happened in which order.
class GateSink : public AppLogSink
{
public:
    int32 writeLine(int32, const char*, uint32) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_events.push_back("write");
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
        m_events.push_back("written");
        return 0;
    }
    int32 flush() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back("flush");
        m_changed.notify_all();
        return 0;
    }
    // Waits until event was recorded, at most timeout; true when it was.
    bool waitFor(const std::string& event, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] {
            return std::find(m_events.begin(), m_events.end(), event) != m_events.end();
        });
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    std::vector<std::string> events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    std::vector<std::string> m_events;
};

// The periodic flush of another thread waits for a write in progress (in
// the file case, for a daily switch that closes the stream it would flush).
TEST(AppLoggerSharing, FlushWaitsForTheWriteInProgress)
{
    GateSink sink;
    AppLogger logger("", "gate", LOG_LEVEL_INFO);
    logger.setSink(&sink);
    ASSERT_EQ(logger.openLog(), 0);
    std::thread writer([&] { EXPECT_EQ(logger.logMessage(LOG_LEVEL_INFO, "held"), 0); });
    ASSERT_TRUE(sink.waitFor("write", std::chrono::seconds(10)));
    std::thread flusher([&] { EXPECT_EQ(logger.flushData(), 0); });
    // The flush must not get through while the line is held.
    EXPECT_FALSE(sink.waitFor("flush", std::chrono::milliseconds(100)));
    sink.open();
    writer.join();
    flusher.join();
    EXPECT_EQ(sink.events(), (std::vector<std::string>{"write", "written", "flush"}));
}

} // namespace
