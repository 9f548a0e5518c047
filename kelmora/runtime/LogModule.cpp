#include "kelmora/runtime/LogModule.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/LogRegistry.h"
#include "zunq/log/StdOutLogSink.h"

#include <atomic>

namespace
{

const std::string cWhere = "InitModule<Log>";

std::atomic<FileLogSinkFactory> gFileLogSinkFactory{nullptr};
std::atomic<AppLogCreator> gAppLogCreator{nullptr};
// The file sink the factory built last; only compared, never called through.
std::atomic<LogSink*> gFileSink{nullptr};

// A configured level as the log's scale; anything outside [0, highest] is refused.
LogLevels checkLevel(const std::string& key, long value, long highest)
{
    if (value < 0 || value > highest)
        throw ConfigError(cWhere + ": " + key + " |" + std::to_string(value) + "| is not a log level (0 to "
                          + std::to_string(highest) + ")");
    return static_cast<LogLevels>(value);
}

} // namespace

void setFileLogSinkFactory(FileLogSinkFactory factory)
{
    gFileLogSinkFactory.store(factory);
}

FileLogSinkFactory getFileLogSinkFactory()
{
    return gFileLogSinkFactory.load();
}

void setAppLogCreator(AppLogCreator creator)
{
    gAppLogCreator.store(creator);
}

bool createAppLogOfFileSink()
{
    LogSink* fileSink = gFileSink.load();
    const AppLogCreator creator = gAppLogCreator.load();
    if (fileSink == nullptr || creator == nullptr || LogRegistry::g_logger == nullptr
        || LogRegistry::g_logger->getSink() != fileSink)
        return false;
    creator(fileSink);
    return true;
}

template <>
bool InitModule<Log>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("Log");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");

    const std::string path = config->getString("APP_LOG_PATH", "--log-file-path", "");
    const std::string prefix = config->getString("APP_LOG_PREFIX", "--log-file", config->getExeName());
    const long configuredLevel = config->getLong("APP_LOG_LEVEL", "", LOG_LEVEL_INFO);
    const bool useLoggerThread = config->getBool("USE_LOGGER_THRD", "--loggger-thread", true);
    const bool verbose = config->getBool("APP_LOG_VERBOSE", "", false);
    // Syslog levels up to LOG_LEVEL_MAX reach the sink, which applies only 1 to 4.
    const LogLevels syslogLevel =
        checkLevel("SYSLOG_LEVEL", config->getLong("SYSLOG_LEVEL", "", DEFAULT_SYSLOG_LEVEL), LOG_LEVEL_MAX);
    // Verbose mode writes everything, whatever level is configured.
    const LogLevels level = verbose ? LOG_LEVEL_DEBUG : checkLevel("APP_LOG_LEVEL", configuredLevel, LOG_LEVEL_DEBUG);

    LogSink* sink = nullptr;
    LogSink* fileSink = nullptr;
    if (prefix == "-" || prefix == "stdout")
    {
        sink = new StdOutLogSink(level);
    }
    else
    {
        FileLogSinkFactory factory = getFileLogSinkFactory();
        if (factory == nullptr)
            throw InitModuleError(cWhere, "no file log sink in this program for log file prefix |" + prefix
                                              + "| (\"-\" or \"stdout\" writes to standard output)");
        sink = fileSink = factory(path, prefix, level, syslogLevel, useLoggerThread, false, true);
        if (sink == nullptr)
            throw InitModuleError(cWhere, "could not create the file log sink for |" + path + "/" + prefix + "|");
    }

    Log* log = new Log(verbose);
    log->addLogSink(sink);
    gFileSink.store(fileSink);
    if (fileSink != nullptr)
        registerModule<LogSink>(list, "QuorLogSink", fileSink, list->defaultGroup());
    registerModule<Log>(list, "Log", log, list->defaultGroup());
    LogRegistry::g_logger = log;
    return true;
}
