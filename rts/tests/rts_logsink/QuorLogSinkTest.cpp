// The file log sink over recorded framework and libQuor calls (what it opens,
// writes, flushes and closes, and the texts it reports), and once over the
// real framework log files in a temporary directory.
#include "rts/logsink/QuorLogSink.h"
#include "rts/tests/support/TempDir.h"
#include "zunq/config/ConfigError.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

// Every call as one text; handles: 11 the init log, 22 the app log, 0 when the
// next open is told to fail.
std::vector<std::string> gCalls;
bool gFailInit = false;
bool gFailApp = false;
bool gFailSyslogLevel = false;

std::string text(const char* p)
{
    return p != nullptr ? p : "(null)";
}

const QuorLogSink::Calls cRecorded{
    [](const char* d, const char* f, int level, bool concurrent, bool sync, bool loggerThread, bool threadName) {
        gCalls.push_back("createLogFile " + text(d) + " " + text(f) + " " + std::to_string(level) + " "
                         + std::to_string(concurrent) + std::to_string(sync) + std::to_string(loggerThread)
                         + std::to_string(threadName));
        return gFailApp ? 0L : 22L;
    },
    [](long h, int level, const char* msg, int length) {
        gCalls.push_back("log " + std::to_string(h) + " " + std::to_string(level) + " " + std::string(msg, length));
        return 0;
    },
    [](long h, int level) {
        gCalls.push_back("setLogLevel " + std::to_string(h) + " " + std::to_string(level));
        return 0;
    },
    [](long h, int level) {
        gCalls.push_back("setSyslogLevel " + std::to_string(h) + " " + std::to_string(level));
        return gFailSyslogLevel ? -1 : 0;
    },
    [](long h) {
        gCalls.push_back("flushLog " + std::to_string(h));
        return 0;
    },
    [](long h) {
        gCalls.push_back("closeLogFile " + std::to_string(h));
        return 0;
    },
    [] { return 117; },
    [](const char*, const char*) { return 0L; },
    [](const char* d, const char* f, int level) {
        gCalls.push_back("initLog " + text(d) + " " + text(f) + " " + std::to_string(level));
        return gFailInit ? 0L : 11L;
    },
    [](long h, const char* id) {
        gCalls.push_back("setSyslogId " + std::to_string(h) + " " + text(id));
        return 0;
    },
};

class QuorLogSinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gCalls.clear();
        gFailInit = gFailApp = gFailSyslogLevel = false;
    }
};

} // namespace

TEST_F(QuorLogSinkTest, OpensTheInitLogThenTheAppLogWithItsSyslogLevel)
{
    struct Case
    {
        int syslogLevel;
        bool failSyslogLevel;
        std::vector<std::string> afterInit; // calls after "initLog"
    };
    const Case cases[] = {
        {1, false, {"setSyslogId 11 feed", "setSyslogLevel 11 1"}},
        {4, false, {"setSyslogId 11 feed", "setSyslogLevel 11 4"}},
        {0, false, {"log 11 6 [QuorLogSink::QuorLogSink] Ignoring syslog level:0"}},
        {5, false, {"log 11 6 [QuorLogSink::QuorLogSink] Ignoring syslog level:5"}},
        {2, true,
         {"setSyslogId 11 feed", "setSyslogLevel 11 2",
          "log 11 3 [QuorLogSink::QuorLogSink] Failed to set syslog level:2 er:117"}},
    };
    for (const Case& c : cases)
    {
        gCalls.clear();
        gFailSyslogLevel = c.failSyslogLevel;
        QuorLogSink sink("/var/log/x", "feed", LOG_LEVEL_DEBUG, static_cast<LogLevels>(c.syslogLevel), true, false,
                         true, cRecorded);
        std::vector<std::string> expected{"initLog /var/log/x feed 6"};
        expected.insert(expected.end(), c.afterInit.begin(), c.afterInit.end());
        EXPECT_EQ(gCalls, expected) << c.syslogLevel;
        EXPECT_EQ(sink.logHandle(), 11);

        gCalls.clear();
        sink.createAppLog();
        ASSERT_FALSE(gCalls.empty());
        EXPECT_EQ(gCalls[0], "createLogFile /var/log/x feed 6 1010") << c.syslogLevel;
        EXPECT_EQ(sink.logHandle(), 22);
    }
}

TEST_F(QuorLogSinkTest, WritesLinesOfItsLevelAsTextNeverAsAFormat)
{
    QuorLogSink sink("d", "feed", LOG_LEVEL_INFO, LOG_LEVEL_CRITICAL, false, false, false, cRecorded);
    gCalls.clear();
    sink.print(LOG_LEVEL_DEBUG, "dropped");
    sink.print(LOG_LEVEL_NOTICE, "kept %s%n");
    sink.print(LOG_LEVEL_INFO, "abcdef", 3);
    sink.print(LOG_LEVEL_ERROR, 'x');
    sink.setLevel(LOG_LEVEL_DEBUG);
    sink.print(LOG_LEVEL_DEBUG, "now kept");
    EXPECT_EQ(gCalls, (std::vector<std::string>{"log 22 4 kept %s%n", "log 22 5 abc", "log 22 2 x",
                                                 "setLogLevel 22 6", "log 22 6 now kept"}));
}

TEST_F(QuorLogSinkTest, ALogThatCannotOpenIsReportedToThePreviousLogOnly)
{
    gFailInit = true;
    QuorLogSink sink("d", "feed", LOG_LEVEL_DEBUG, LOG_LEVEL_CRITICAL, true, false, true, cRecorded);
    // No log yet: the report of the failed init log goes nowhere.
    EXPECT_EQ(gCalls, (std::vector<std::string>{"initLog d feed 6"}));
    EXPECT_EQ(sink.logHandle(), 0);

    gFailInit = false;
    QuorLogSink second("d", "feed", LOG_LEVEL_DEBUG, LOG_LEVEL_CRITICAL, true, false, true, cRecorded);
    gCalls.clear();
    gFailApp = true;
    second.createAppLog();
    EXPECT_EQ(gCalls, (std::vector<std::string>{
                          "createLogFile d feed 6 1010",
                          "log 11 1 [QuorLogSink::createAppLog] failed to open app log file:d/feed rc:117"}));
    EXPECT_EQ(second.logHandle(), 11);
}

TEST_F(QuorLogSinkTest, FlushesOnlyWithoutTheLoggerThread)
{
    for (bool loggerThread : {true, false})
    {
        {
            QuorLogSink sink("d", "feed", LOG_LEVEL_INFO, LOG_LEVEL_CRITICAL, loggerThread, false, false, cRecorded);
            gCalls.clear();
            sink.flush();
        }
        const std::vector<std::string> expected =
            loggerThread ? std::vector<std::string>{"closeLogFile 22"}
                         : std::vector<std::string>{"flushLog 22", "flushLog 22", "closeLogFile 22"};
        EXPECT_EQ(gCalls, expected) << loggerThread;
    }
}

TEST_F(QuorLogSinkTest, NamesOfOneHundredCharactersOrMoreAreRefused)
{
    EXPECT_NO_THROW(QuorLogSink::checkNames(std::string(99, 'd'), std::string(99, 'p')));
    EXPECT_THROW(QuorLogSink::checkNames(std::string(100, 'd'), "p"), ConfigError);
    EXPECT_THROW(QuorLogSink::checkNames("d", std::string(100, 'p')), ConfigError);
    EXPECT_THROW(createQuorLogSink("d", std::string(150, 'p'), LOG_LEVEL_INFO, LOG_LEVEL_CRITICAL, false, false, true),
                 ConfigError);
}

TEST_F(QuorLogSinkTest, WritesTheDatedFrameworkLogFile)
{
    TempDir dir;
    {
        LogSink* sink = createQuorLogSink(dir.path(), "sinktest", LOG_LEVEL_INFO, LOG_LEVEL_CRITICAL, false, false, false);
        sink->print(LOG_LEVEL_INFO, "written %d line");
        sink->print(LOG_LEVEL_DEBUG, "dropped line");
        delete sink;
    }
    char date[16];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    std::string content;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    {
        const std::string name = entry.path().filename().string();
        if (name.find("sinktest") != std::string::npos && name.find(date) != std::string::npos)
        {
            std::ifstream in(entry.path());
            content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    }
    EXPECT_NE(content.find("written %d line"), std::string::npos) << content;
    EXPECT_EQ(content.find("dropped line"), std::string::npos);
}
