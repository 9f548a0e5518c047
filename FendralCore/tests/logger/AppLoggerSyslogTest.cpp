// The syslog mirror: which lines are mirrored, with which ident, option,
// facility and priority, and that its text is never a format.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/tests/logger/LoggerFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <syslog.h>

namespace
{

using namespace logtest;

class AppLoggerSyslog : public ::testing::Test
{
protected:
    TempDir m_dir;
    SyslogCapture m_syslog;
    GlobalData& m_global = GlobalData::getInst();

    void SetUp() override
    {
        m_global.m_syslogLevel = LOG_LEVEL_WARNING;
        m_global.m_syslogOption = LOG_PID;
        m_global.m_syslogFacility = LOG_LOCAL3;
    }
    void TearDown() override
    {
        m_global.m_syslogLevel = GlobalData::DEFAULT_SYSLOG_LEVEL;
        m_global.m_syslogOption = LOG_PID | LOG_CONS;
        m_global.m_syslogFacility = LOG_USER;
        std::memset(m_global.m_fwSyslogIdentTxt, 0, sizeof(m_global.m_fwSyslogIdentTxt));
    }
};

TEST_F(AppLoggerSyslog, MirrorsLinesUpToTheSyslogLevel)
{
    AppLogger logger(m_dir.path().c_str(), "mirror", LOG_LEVEL_ALERT);
    // Mirrored even before the file is open and when the file filters the line.
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_ERROR, "disk [%s] full", "sda"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BAD_DESCRIPTOR);
    ASSERT_EQ(logger.openLog(), 0);
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_WARNING, "queue [%d] high", 7), 0);
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_NOTICE, "not mirrored"), 0);
    ASSERT_EQ(logger.setSyslogLevel(LOG_LEVEL_ALERT), 0);
    EXPECT_EQ(logger.logMessage(LOG_LEVEL_CRITICAL, "now above the syslog level"), 0);

    const auto taken = m_syslog.taken();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].ident, "mirror");
    EXPECT_EQ(taken[0].option, LOG_PID);
    EXPECT_EQ(taken[0].facility, LOG_LOCAL3);
    EXPECT_EQ(taken[0].priority, LOG_ERR);
    EXPECT_EQ(taken[0].text, "disk [sda] full");
    EXPECT_EQ(taken[1].priority, LOG_WARNING);
    EXPECT_EQ(taken[1].text, "queue [7] high");
}

TEST_F(AppLoggerSyslog, IdentOptionAndFacility)
{
    const std::string longPrefix(150, 'q');
    AppLogger fromPrefix(m_dir.path().c_str(), longPrefix.c_str(), LOG_LEVEL_INFO);
    char ident[sizeof(FilePathName)];
    ASSERT_EQ(fromPrefix.getSyslogIdent(ident), 0);
    EXPECT_EQ(std::string(ident), std::string(100, 'q'));
    EXPECT_EQ(fromPrefix.getSyslogIdent(nullptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NULL_PARAM);

    std::strcpy(m_global.m_fwSyslogIdentTxt, "FW_IDENT");
    AppLogger fromFramework(m_dir.path().c_str(), "prefix", LOG_LEVEL_INFO);
    fromFramework.setSyslogOption(LOG_NDELAY);
    fromFramework.setSyslogFacility(LOG_DAEMON);
    EXPECT_EQ(fromFramework.syslogMessage(LOG_LEVEL_ALERT, "a [%d]", 1), 0);
    fromFramework.setSyslogIdent(std::string(120, 'i').c_str());
    EXPECT_EQ(fromFramework.syslogMessage(LOG_LEVEL_ALERT, "b"), 0);
    fromFramework.setSyslogIdent(nullptr);
    EXPECT_EQ(fromFramework.syslogMessage(LOG_LEVEL_ALERT, "c"), 0);
    EXPECT_EQ(fromFramework.syslogMessage(7, "bad level"), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_INVALID_LOG_LEVEL);

    const auto taken = m_syslog.taken();
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[0].ident, "FW_IDENT");
    EXPECT_EQ(taken[0].option, LOG_NDELAY);
    EXPECT_EQ(taken[0].facility, LOG_DAEMON);
    EXPECT_EQ(taken[0].priority, LOG_ALERT);
    EXPECT_EQ(taken[0].text, "a [1]");
    EXPECT_EQ(taken[1].ident, std::string(100, 'i'));
    EXPECT_EQ(taken[2].ident, "(none)");
}

TEST_F(AppLoggerSyslog, ProcessWideMessageAndPlainText)
{
    for (int32 level = LOG_LEVEL_ALERT; level <= LOG_LEVEL_DEBUG; ++level)
        EXPECT_EQ(AppLogger::syslogLevel(level), level + 1);
    EXPECT_EQ(AppLogger::syslogLevel(7), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, LOGGER_INVALID_LOG_LEVEL);
    EXPECT_EQ(AppLogger::syslogLevel(-1), -1);

    EXPECT_EQ(AppLogger::syslog(LOG_LEVEL_DEBUG, "any level [%s]", "x"), 0);
    EXPECT_EQ(AppLogger::syslog(-1, "refused"), -1);

    AppLogger logger(m_dir.path().c_str(), "plain", LOG_LEVEL_INFO);
    const std::string text = "100% of [%s%n] as is";
    EXPECT_EQ(logger.syslogText(LOG_LEVEL_NOTICE, text.data(), static_cast<uint32>(text.size())), 0);

    const auto taken = m_syslog.taken();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].ident, "(none)");
    EXPECT_EQ(taken[0].option, LOG_PID);
    EXPECT_EQ(taken[0].facility, LOG_LOCAL3);
    EXPECT_EQ(taken[0].priority, LOG_DEBUG);
    EXPECT_EQ(taken[0].text, "any level [x]");
    EXPECT_EQ(taken[1].ident, "plain");
    EXPECT_EQ(taken[1].priority, LOG_NOTICE);
    EXPECT_EQ(taken[1].text, text);
}

// The framework's shorthand is the same log call: mirrored too.
TEST_F(AppLoggerSyslog, FrameworkShorthandMirrors)
{
    static AppLogger framework(m_dir.path().c_str(), "fw", LOG_LEVEL_ALERT);
    framework.setSink(nullptr);
    ASSERT_EQ(framework.openLog(), 0);
    ASSERT_EQ(GlobalData::getInst().setLogger(&framework), 0);
    EXPECT_EQ(fwLog(LOG_LEVEL_ERROR, "Error [%d] in [%s].", 5, "X"), 0);
    EXPECT_EQ(fwLog(LOG_LEVEL_NOTICE, "quiet"), 0);
    const auto taken = m_syslog.taken();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].text, "Error [5] in [X].");
    EXPECT_EQ(taken[0].priority, LOG_ERR);
}

} // namespace
