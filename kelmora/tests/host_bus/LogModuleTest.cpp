#include "HostTestSupport.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/LogModule.h"
#include "zunq/config/ConfigError.h"
#include "zunq/log/StdOutLogSink.h"

#include <gtest/gtest.h>

#include <optional>

namespace
{

// What the program's file sink constructor was called with.
struct FileSinkCall
{
    std::string path;
    std::string file;
    LogLevels level;
    LogLevels syslogLevel;
    bool useLoggerThread;
    bool logThreadName;
    bool createInitLogFile;
};

std::optional<FileSinkCall> gFileSinkCall;

LogSink* recordingFileSink(const std::string& path, const std::string& file, LogLevels level, LogLevels syslogLevel,
                           bool useLoggerThread, bool logThreadName, bool createInitLogFile)
{
    gFileSinkCall = FileSinkCall{path, file, level, syslogLevel, useLoggerThread, logThreadName, createInitLogFile};
    return new CaptureLogSink(level);
}

class LogModuleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mSavedLogger = LogRegistry::g_logger;
        gFileSinkCall.reset();
        setFileLogSinkFactory(recordingFileSink);
    }
    void TearDown() override
    {
        LogRegistry::g_logger = mSavedLogger;
        setFileLogSinkFactory(nullptr);
    }

    TempDir mDir;

private:
    Log* mSavedLogger = nullptr;
};

TEST_F(LogModuleTest, SettingsChooseTheSinkAndTheLevel)
{
    struct Case
    {
        const char* name;
        std::vector<std::string> args;
        std::string xml;
        bool fileSink;
        LogLevels level;
        FileSinkCall call; // when fileSink
    };
    const Case cases[] = {
        {"defaults", {"/opt/bin/rtsd"}, "", true, LOG_LEVEL_INFO,
         {"", "rtsd", LOG_LEVEL_INFO, LOG_LEVEL_CRITICAL, true, false, true}},
        {"options", {"rtsd", "--log-file-path", "/var/log", "--log-file", "feed", "--loggger-thread", "false"}, "",
         true, LOG_LEVEL_INFO, {"/var/log", "feed", LOG_LEVEL_INFO, LOG_LEVEL_CRITICAL, false, false, true}},
        {"keys", {"rtsd"},
         "<APP_LOG_PATH>/logs</APP_LOG_PATH><APP_LOG_PREFIX>app</APP_LOG_PREFIX><APP_LOG_LEVEL>3</APP_LOG_LEVEL>"
         "<SYSLOG_LEVEL>4</SYSLOG_LEVEL>",
         true, LOG_LEVEL_WARNING, {"/logs", "app", LOG_LEVEL_WARNING, LOG_LEVEL_NOTICE, true, false, true}},
        {"prefix only begins with stdout", {"rtsd", "--log-file", "stdoutx"}, "", true, LOG_LEVEL_INFO,
         {"", "stdoutx", LOG_LEVEL_INFO, LOG_LEVEL_CRITICAL, true, false, true}},
        {"verbose beats a lower level", {"rtsd"}, "<APP_LOG_VERBOSE>true</APP_LOG_VERBOSE><APP_LOG_LEVEL>2</APP_LOG_LEVEL>",
         true, LOG_LEVEL_DEBUG, {"", "rtsd", LOG_LEVEL_DEBUG, LOG_LEVEL_CRITICAL, true, false, true}},
        {"verbose beats a higher level", {"rtsd"},
         "<APP_LOG_VERBOSE>true</APP_LOG_VERBOSE><APP_LOG_LEVEL>7</APP_LOG_LEVEL>", true, LOG_LEVEL_DEBUG,
         {"", "rtsd", LOG_LEVEL_DEBUG, LOG_LEVEL_CRITICAL, true, false, true}},
        {"stdout", {"rtsd", "--log-file", "stdout"}, "", false, LOG_LEVEL_INFO, {}},
        {"dash", {"rtsd"}, "<APP_LOG_PREFIX>-</APP_LOG_PREFIX><APP_LOG_LEVEL>4</APP_LOG_LEVEL>", false,
         LOG_LEVEL_NOTICE, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        gFileSinkCall.reset();
        ModuleList& list = keptModuleList();
        auto config = makeConfig(c.args, c.xml, &mDir);
        InitModule<Log> factory;
        ASSERT_TRUE(factory.createModule(&list, config.get()));
        EXPECT_EQ(factory.getName(), "Log");

        Log* log = findModule<Log>(&list, "Log", "default");
        ASSERT_NE(log, nullptr);
        EXPECT_EQ(LogRegistry::g_logger, log);
        EXPECT_EQ(log->getLevel(), c.level);
        LogSink* fileSink = findModule<LogSink>(&list, "QuorLogSink", "default");
        if (c.fileSink)
        {
            ASSERT_TRUE(gFileSinkCall.has_value());
            EXPECT_EQ(gFileSinkCall->path, c.call.path);
            EXPECT_EQ(gFileSinkCall->file, c.call.file);
            EXPECT_EQ(gFileSinkCall->level, c.call.level);
            EXPECT_EQ(gFileSinkCall->syslogLevel, c.call.syslogLevel);
            EXPECT_EQ(gFileSinkCall->useLoggerThread, c.call.useLoggerThread);
            EXPECT_EQ(gFileSinkCall->logThreadName, c.call.logThreadName);
            EXPECT_EQ(gFileSinkCall->createInitLogFile, c.call.createInitLogFile);
            ASSERT_NE(fileSink, nullptr);
            EXPECT_EQ(log->getSink(), fileSink);
        }
        else
        {
            EXPECT_FALSE(gFileSinkCall.has_value());
            EXPECT_EQ(fileSink, nullptr);
            EXPECT_NE(dynamic_cast<StdOutLogSink*>(log->getSink()), nullptr);
        }
    }
}

TEST_F(LogModuleTest, StandardOutputSinkWritesTheProcessLogLines)
{
    ModuleList& list = keptModuleList();
    auto config = makeConfig({"rtsd", "--log-file", "stdout"});
    InitModule<Log> factory;
    factory.createModule(&list, config.get());

    testing::internal::CaptureStdout();
    LogRegistry::g_logger->info() << "hello |" << 42 << "|";
    LogRegistry::g_logger->debug() << "not at level 5";
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" INFO     hello |42|\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("not at level 5"), std::string::npos) << out;
}

TEST_F(LogModuleTest, UnusableSettingsEndStartUp)
{
    struct Case
    {
        const char* name;
        std::string xml;
        bool withFileSink;
        const char* message;
    };
    const Case cases[] = {
        {"level above debug", "<APP_LOG_LEVEL>9</APP_LOG_LEVEL>", true, "APP_LOG_LEVEL |9| is not a log level"},
        {"negative level", "<APP_LOG_LEVEL>-1</APP_LOG_LEVEL>", true, "APP_LOG_LEVEL |-1| is not a log level"},
        {"syslog level", "<SYSLOG_LEVEL>8</SYSLOG_LEVEL>", true, "SYSLOG_LEVEL |8| is not a log level"},
        {"no file sink in the program", "<APP_LOG_PREFIX>feed</APP_LOG_PREFIX>", false,
         "InitModule<Log>: no file log sink in this program for log file prefix |feed|"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        setFileLogSinkFactory(c.withFileSink ? recordingFileSink : nullptr);
        LogRegistry::g_logger = nullptr;
        ModuleList& list = keptModuleList();
        auto config = makeConfig({"rtsd"}, c.xml, &mDir);
        InitModule<Log> factory;
        try
        {
            factory.createModule(&list, config.get());
            ADD_FAILURE() << "accepted";
        }
        catch (const std::invalid_argument& error)
        {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
        EXPECT_EQ(list.findBase("Log", "default"), nullptr);
        EXPECT_EQ(LogRegistry::g_logger, nullptr);
    }
}

} // namespace

namespace
{
LogSink* gAppLogOpenedOn = nullptr;
int gAppLogCalls = 0;
void recordingAppLogCreator(LogSink* sink)
{
    gAppLogOpenedOn = sink;
    ++gAppLogCalls;
}
} // namespace

// The middleware thread's start-up opens the application log only on the
// file sink the process log writes through.
TEST_F(LogModuleTest, AppLogIsOpenedOnlyOnTheProcessLogsFileSink)
{
    setAppLogCreator(recordingAppLogCreator);
    struct Case
    {
        const char* name;
        std::vector<std::string> args;
        bool opened;
    };
    const Case cases[] = {
        {"file sink", {"rtsd"}, true},
        {"standard output", {"rtsd", "--log-file", "stdout"}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        gAppLogOpenedOn = nullptr;
        gAppLogCalls = 0;
        ModuleList& list = keptModuleList();
        auto config = makeConfig(c.args, "", &mDir);
        InitModule<Log> factory;
        ASSERT_TRUE(factory.createModule(&list, config.get()));
        EXPECT_EQ(createAppLogOfFileSink(), c.opened);
        EXPECT_EQ(gAppLogCalls, c.opened ? 1 : 0);
        if (c.opened)
        {
            EXPECT_EQ(gAppLogOpenedOn, findModule<LogSink>(&list, "QuorLogSink", "default"));
        }
    }
    setAppLogCreator(nullptr);
    EXPECT_FALSE(createAppLogOfFileSink());
}
