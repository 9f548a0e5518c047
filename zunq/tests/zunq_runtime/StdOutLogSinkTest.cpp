#include "zunq/log/StdOutLogSink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <time.h>

namespace
{

class StdOutLogSinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        mSavedTz = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (mSavedTz)
            setenv("TZ", mSavedTz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> mSavedTz;
};

TEST_F(StdOutLogSinkTest, PrefixCarriesMillisecondsAndAnEightCharacterLevelName)
{
    using namespace std::chrono;
    const system_clock::time_point noon{seconds{1709294400}}; // 2024-03-01 12:00:00 UTC
    const struct
    {
        system_clock::time_point when;
        int level;
        const char* prefix;
    } cases[] = {
        {noon + milliseconds{7}, LOG_LEVEL_INFO, "2024/03/01 12:00:00.007 INFO     "},
        {noon, LOG_LEVEL_ALERT, "2024/03/01 12:00:00.000 ALERT    "},
        {noon + microseconds{999999}, LOG_LEVEL_CRITICAL, "2024/03/01 12:00:00.999 CRITICAL "},
        {noon, LOG_LEVEL_ERROR, "2024/03/01 12:00:00.000 ERROR    "},
        {noon, LOG_LEVEL_WARNING, "2024/03/01 12:00:00.000 WARNING  "},
        {noon, LOG_LEVEL_NOTICE, "2024/03/01 12:00:00.000 NOTICE   "},
        {noon, LOG_LEVEL_DEBUG, "2024/03/01 12:00:00.000 DEBUG    "},
        {noon, 9, "2024/03/01 12:00:00.000 UNKNOWN  "},
    };
    for (const auto& c : cases)
    {
        char out[StdOutLogSink::cPrefixSize];
        std::size_t length = StdOutLogSink::formatPrefix(c.when, static_cast<LogLevels>(c.level), out);
        EXPECT_EQ(std::string(out, length), c.prefix);
    }
}

TEST_F(StdOutLogSinkTest, WritesLinesOfItsLevelAndBelowAndFlushAddsAnEmptyLine)
{
    StdOutLogSink sink(LOG_LEVEL_INFO);
    testing::internal::CaptureStdout();
    sink.print(LOG_LEVEL_DEBUG, std::string("dropped"));
    sink.print(LOG_LEVEL_NOTICE, std::string("kept"));
    sink.print(LOG_LEVEL_INFO, 'c');
    sink.print(LOG_LEVEL_INFO, "exact\0count", 11);
    sink.setLevel(static_cast<LogLevels>(9));
    sink.print(static_cast<LogLevels>(9), std::string("odd level"));
    sink.flush();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out.find("dropped"), std::string::npos);
    EXPECT_NE(out.find(" NOTICE   kept\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" INFO     c\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string(" INFO     exact\0count\n", 22)), std::string::npos) << out;
    EXPECT_NE(out.find(" UNKNOWN  odd level\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 2), "\n\n");
    EXPECT_EQ(sink.getLevel(), 9);
}

} // namespace
