#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwLog.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

namespace
{

class LogCall : public ::testing::Test
{
protected:
    CaptureAppLogSink m_sink;
    AppLogger m_logger{"/tmp", "test", LOG_LEVEL_INFO};

    void SetUp() override
    {
        m_logger.setSink(&m_sink);
        ASSERT_EQ(m_logger.openLog(), 0);
    }
};

TEST_F(LogCall, LineHasTheFixedHeader)
{
    AppLogger::setThreadName("WORKER_1");
    ASSERT_EQ(m_logger.logMessage(LOG_LEVEL_ERROR, "Error [%d] occurred on [%s].", 1655, "T1"), 0);
    const auto lines = m_sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::regex header(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{6},E, WORKER_1        : Error \[1655\] occurred on \[T1\]\.\n)");
    EXPECT_TRUE(std::regex_match(lines[0], header)) << lines[0];
}

TEST_F(LogCall, LevelFilterAndLevelRange)
{
    EXPECT_EQ(m_logger.logMessage(LOG_LEVEL_DEBUG, "dropped"), 0);
    EXPECT_EQ(m_logger.logMessage(LOG_LEVEL_ALERT, "kept"), 0);
    EXPECT_EQ(m_sink.count("dropped"), 0u);
    EXPECT_EQ(m_sink.count("kept"), 1u);

    EXPECT_EQ(m_logger.setLogLevel(7), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_INVALID_LOG_LEVEL);
    EXPECT_EQ(m_logger.getLogLevel(), LOG_LEVEL_INFO);
    EXPECT_EQ(m_logger.setLogLevel(LOG_LEVEL_DEBUG), 0);
    m_logger.logMessage(LOG_LEVEL_DEBUG, "now kept");
    EXPECT_EQ(m_sink.count("now kept"), 1u);

    ASSERT_EQ(m_logger.closeLog(), 0);
    EXPECT_EQ(m_logger.logMessage(LOG_LEVEL_ALERT, "closed"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);
}

TEST_F(LogCall, NamesAndDataAreNeverAFormat)
{
    std::thread([&] {
        AppLogger::setThreadName("%s%n%d");
        m_logger.logMessage(LOG_LEVEL_INFO, "value [%s]", "%x%n");
    }).join();
    const auto lines = m_sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(", %s%n%d          : value [%x%n]\n"), std::string::npos) << lines[0];
}

TEST_F(LogCall, UnnamedThreadShowsItsIdInHex)
{
    std::thread([&] { m_logger.logMessage(LOG_LEVEL_INFO, "anonymous"); }).join();
    const auto lines = m_sink.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(",I, [0-9A-F]{16}: anonymous\n$"))) << lines[0];
}

TEST_F(LogCall, LongLinesAreCutToTheLimit)
{
    m_logger.logMessage(LOG_LEVEL_INFO, "%s", std::string(600, 'x').c_str());
    // A two-byte character straddling the cut is dropped whole.
    const std::string accents(470, 'y');
    m_logger.logMessage(LOG_LEVEL_INFO, "%s\xc3\xa9%s", std::string(461, 'y').c_str(), accents.c_str());
    const auto lines = m_sink.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 511u);
    EXPECT_EQ(lines[0].back(), '\n');
    EXPECT_EQ(lines[1].size(), 48u + 461u + 1u);
    EXPECT_EQ(lines[1].find('\xc3'), std::string::npos);
}

TEST(FwLog, WritesThroughTheFrameworkLoggerOnceSet)
{
    EXPECT_EQ(fwLog(LOG_LEVEL_ERROR, "before any logger [%d]", 1), 0);
    static CaptureAppLogSink sink;
    static AppLogger logger("/tmp", "fw", LOG_LEVEL_NOTICE);
    logger.setSink(&sink);
    logger.openLog();
    if (GlobalData::getInst().getLogger() == nullptr)
    {
        ASSERT_EQ(GlobalData::getInst().setLogger(&logger), 0);
    }
    AppLogger other("/tmp", "other", LOG_LEVEL_DEBUG);
    EXPECT_EQ(GlobalData::getInst().setLogger(&other), -1);
    ASSERT_EQ(GlobalData::getInst().getLogger(), &logger);

    EXPECT_EQ(fwLog(LOG_LEVEL_WARNING, "Queue [%s] full.", "T1"), 0);
    EXPECT_EQ(fwLog(LOG_LEVEL_INFO, "filtered"), 0);
    EXPECT_TRUE(sink.contains("Queue [T1] full."));
    EXPECT_FALSE(sink.contains("filtered"));
    EXPECT_FALSE(fwLogEnabled(LOG_LEVEL_INFO));
}

} // namespace
