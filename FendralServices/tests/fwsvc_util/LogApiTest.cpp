// The log calls on real files in a directory of the test's own, with the
// syslog mirror caught instead of sent.
#include "FendralServices/api/FwServices.h"

#include "FendralServices/tests/fwsvc_util/TempDir.h"

#include "FendralCore/runtime/AppLogger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

std::vector<std::string> g_syslogLines;

const AppLogger::SyslogApi kCaughtSyslog{
    [](const char*, int, int) {},
    [](int, const char* text) { g_syslogLines.emplace_back(text); },
    [] {},
};

class LogCalls : public TempDirTest
{
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        g_syslogLines.clear();
        AppLogger::setSyslogApi(&kCaughtSyslog);
    }

    void TearDown() override
    {
        AppLogger::setSyslogApi(nullptr);
        TempDirTest::TearDown();
    }

    // Every line of every file in the directory.
    std::string contents() const
    {
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        {
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            all += text.str();
        }
        return all;
    }
};

TEST_F(LogCalls, LevelsDecideWhichLinesLand)
{
    const long h = createLogFile(m_dir.c_str(), "app", LOG_LEVEL_WARNING, true, false, false, false);
    ASSERT_NE(h, 0) << getErrorCode();
    ASSERT_EQ(setSyslogLevel(h, LOG_LEVEL_CRITICAL), 0);
    for (int level = LOG_LEVEL_ALERT; level <= LOG_LEVEL_DEBUG; ++level)
        EXPECT_EQ(logMessage(h, level, "line at %d", level), 0) << level;
    ASSERT_EQ(flushLog(h), 0);
    const std::string text = contents();
    for (int level = LOG_LEVEL_ALERT; level <= LOG_LEVEL_DEBUG; ++level)
        EXPECT_EQ(text.find("line at " + std::to_string(level)) != std::string::npos, level <= LOG_LEVEL_WARNING)
            << level;
    ASSERT_EQ(g_syslogLines.size(), 2u) << "mirrored up to the syslog level";
    EXPECT_NE(g_syslogLines[0].find("line at 0"), std::string::npos);

    EXPECT_EQ(logMessageFixedLength(h, LOG_LEVEL_ALERT, "raw\tbytes", 9), 0);
    EXPECT_EQ(logMessageFixedLength(h, LOG_LEVEL_ALERT, "x", -1), -1);
    EXPECT_EQ(getErrorCode(), INVALID_FUNC_ARG);
    ASSERT_EQ(flushLog(h), 0);
    EXPECT_NE(contents().find("raw\tbytes"), std::string::npos);
    EXPECT_EQ(closeLogFile(h), 0);
}

TEST_F(LogCalls, SettingsAndTheirRefusals)
{
    const long h = createLogFile2(m_dir.c_str(), "set", LOG_LEVEL_INFO, true, false, false, true);
    ASSERT_NE(h, 0);
    int value = -1;
    EXPECT_EQ(setLogLevel(h, 7), -1);
    EXPECT_EQ(getErrorCode(), LOGGER_INVALID_LOG_LEVEL);
    ASSERT_EQ(getLogLevel(h, &value), 0);
    EXPECT_EQ(value, LOG_LEVEL_INFO) << "unchanged";
    EXPECT_EQ(setSyslogLevel(h, -1), -1);
    EXPECT_EQ(getErrorCode(), LOGGER_INVALID_LOG_LEVEL);
    EXPECT_EQ(getLogLevel(h, nullptr), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);

    ASSERT_EQ(setSyslogOption(h, 3), 0);
    ASSERT_EQ(getSyslogOption(h, &value), 0);
    EXPECT_EQ(value, 3);
    ASSERT_EQ(setSyslogFacility(h, 16 << 3), 0);
    ASSERT_EQ(getSyslogFacility(h, &value), 0);
    EXPECT_EQ(value, 16 << 3);

    char ident[101];
    const std::string longIdent(150, 'i');
    ASSERT_EQ(setSyslogIdent(h, longIdent.c_str()), 0);
    ASSERT_EQ(getSyslogIdent(h, ident), 0);
    EXPECT_EQ(std::string(ident), std::string(100, 'i'));
    ASSERT_EQ(setSyslogIdent(h, nullptr), 0);
    ASSERT_EQ(getSyslogIdent(h, ident), 0);
    EXPECT_STREQ(ident, "");
    EXPECT_EQ(getSyslogIdent(h, nullptr), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);

    EXPECT_EQ(closeLogFile(h), 0);
    // A closed, null or made-up handle is refused, never followed.
    long junk[8] = {};
    for (long bad : {h, 0L, reinterpret_cast<long>(junk)})
    {
        EXPECT_EQ(logMessage(bad, LOG_LEVEL_INFO, "x"), -1);
        EXPECT_EQ(getErrorCode(), NULL_PARAM);
        EXPECT_EQ(setLogLevel(bad, 1), -1);
        EXPECT_EQ(closeLogFile(bad), -1);
    }
}

TEST_F(LogCalls, CreateAndJournalLocationRefusals)
{
    EXPECT_EQ(createLogFile(nullptr, "p", 5, true, false, false, false), 0);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    EXPECT_EQ(createLogFile2(m_dir.c_str(), nullptr, 5, true, false, false, false), 0);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    EXPECT_EQ(createLogFile((m_dir + "/missing/dir").c_str(), "p", 5, true, false, false, false), 0);
    EXPECT_NE(getErrorCode(), 0);

    EXPECT_EQ(setMsgJournalLocation(""), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    EXPECT_EQ(setMsgJournalLocation2(nullptr), -1);
    EXPECT_EQ(getErrorCode(), NULL_PARAM);
    const std::string before = AppLogger::getMsgJournalLocation();
    EXPECT_EQ(setMsgJournalLocation(m_dir.c_str()), 0);
    EXPECT_EQ(AppLogger::getMsgJournalLocation(), m_dir);
    AppLogger::setMsgJournalLocation(before.c_str());
}

} // namespace
