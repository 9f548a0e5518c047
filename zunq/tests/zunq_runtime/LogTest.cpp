#include "TestSupport.h"

#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(Log, WritesAStreamOnlyAtOrBelowItsLevelAndVerboseNeedsTheSwitch)
{
    enum Stream { Alert, Severe, Error, Warning, Notice, Info, Debug, Verbose };
    struct Case
    {
        LogLevels logLevel;
        bool verbose;
        Stream stream;
        bool written;
        LogLevels lineLevel;
    };
    const Case cases[] = {
        {LOG_LEVEL_INFO, false, Info, true, LOG_LEVEL_INFO},
        {LOG_LEVEL_INFO, false, Notice, true, LOG_LEVEL_NOTICE},
        {LOG_LEVEL_INFO, false, Debug, false, LOG_LEVEL_DEBUG},
        {LOG_LEVEL_INFO, true, Verbose, false, LOG_LEVEL_DEBUG},
        {LOG_LEVEL_DEBUG, false, Verbose, false, LOG_LEVEL_DEBUG},
        {LOG_LEVEL_DEBUG, true, Verbose, true, LOG_LEVEL_DEBUG},
        {LOG_LEVEL_DEBUG, false, Debug, true, LOG_LEVEL_DEBUG},
        {LOG_LEVEL_WARNING, false, Warning, true, LOG_LEVEL_WARNING},
        {LOG_LEVEL_WARNING, false, Notice, false, LOG_LEVEL_NOTICE},
        {LOG_LEVEL_ERROR, false, Error, true, LOG_LEVEL_ERROR},
        {LOG_LEVEL_ALERT, false, Severe, false, LOG_LEVEL_CRITICAL},
        {LOG_LEVEL_ALERT, false, Alert, true, LOG_LEVEL_ALERT},
    };
    for (const Case& c : cases)
    {
        CaptureLogSink sink(c.logLevel);
        Log log(c.verbose);
        log.addLogSink(&sink);
        switch (c.stream)
        {
        case Alert: log.alert() << "line"; break;
        case Severe: log.severe() << "line"; break;
        case Error: log.error() << "line"; break;
        case Warning: log.warning() << "line"; break;
        case Notice: log.notice() << "line"; break;
        case Info: log.info() << "line"; break;
        case Debug: log.debug() << "line"; break;
        case Verbose: log.verbose() << "line"; break;
        }
        auto lines = sink.lines();
        SCOPED_TRACE("log level " + std::to_string(c.logLevel) + " stream " + std::to_string(c.stream));
        ASSERT_EQ(lines.size(), c.written ? 1u : 0u);
        if (c.written)
        {
            EXPECT_EQ(lines[0].first, c.lineLevel);
            EXPECT_EQ(lines[0].second, "line");
        }
    }
}

TEST(Log, TakesTheLevelOfItsSinkAndPassesLevelChangesOn)
{
    EXPECT_EQ(LogRegistry::g_logger, nullptr); // until the host's log module sets it

    CaptureLogSink sink(LOG_LEVEL_WARNING);
    Log log;
    EXPECT_EQ(log.getLevel(), LOG_LEVEL_INFO);
    log.addLogSink(&sink);
    EXPECT_EQ(log.getLevel(), LOG_LEVEL_WARNING);
    EXPECT_FALSE(log.enabled(LOG_LEVEL_NOTICE));

    log.setLevel(LOG_LEVEL_DEBUG);
    EXPECT_EQ(sink.getLevel(), LOG_LEVEL_DEBUG);
    log.debug() << "now written";
    ASSERT_EQ(sink.lines().size(), 1u);
}

TEST(Log, InactiveStreamFormatsNothing)
{
    CaptureLogSink sink(LOG_LEVEL_ERROR);
    Log log;
    log.addLogSink(&sink);
    LogStream stream = log.info();
    stream << "text" << 42 << 1.5;
    EXPECT_FALSE(stream.active());
    EXPECT_TRUE(stream.text().empty());

    Log noSink;
    noSink.info() << "dropped without a sink";
    LogStream orphan(nullptr, LOG_LEVEL_ALERT);
    orphan << "no log";
    EXPECT_FALSE(orphan.active());
    EXPECT_TRUE(sink.lines().empty());
}

TEST(Log, FormatsEachKindOfPiece)
{
    Log log;
    CaptureLogSink sink(LOG_LEVEL_INFO);
    log.addLogSink(&sink);
    const std::string name = "LineFilter";
    {
        LogStream s = log.info();
        s << name << "|" << -12 << "|" << 4294967295u << "|" << static_cast<unsigned char>(7) << "|"
          << static_cast<signed char>(-3) << "|" << 'x' << "|" << true << "|" << 2.5 << "|"
          << static_cast<const void*>(nullptr) << "|" << static_cast<const char*>(nullptr) << "|"
          << static_cast<unsigned long long>(18446744073709551615ull) << "|" << static_cast<short>(-1);
        EXPECT_EQ(s.text(), "LineFilter|-12|4294967295|7|-3|x|true|2.5|0x0|(null)|18446744073709551615|-1");
    }
    EXPECT_EQ(sink.lines().size(), 1u);
}

TEST(Log, LongLineIsCutOnACharacterBoundaryAndNumbersAreNeverSplit)
{
    Log log;
    CaptureLogSink sink(LOG_LEVEL_INFO);
    log.addLogSink(&sink);
    const std::size_t cap = LogStream::cCapacity;

    {
        // A two-byte character straddles the limit: it is left out whole.
        std::string text(cap - 1, 'a');
        LogStream s = log.info();
        s << text << "\xC3\xA9" << "tail";
        EXPECT_EQ(s.text(), text);
    }
    {
        // The number does not fit whole: dropped, and nothing follows it.
        std::string text(cap - 3, 'b');
        LogStream s = log.info();
        s << text << 12345 << "x";
        EXPECT_EQ(s.text(), text);
    }
    {
        // A number that fits exactly is kept.
        std::string text(cap - 5, 'c');
        LogStream s = log.info();
        s << text << 12345;
        EXPECT_EQ(s.text().size(), cap);
        EXPECT_EQ(s.text().substr(cap - 5), "12345");
    }
    for (const auto& line : sink.lines())
        EXPECT_LE(line.second.size(), cap);
}

} // namespace
