#include "rts/logsink/QuorLogSink.h"

#include "FendralServices/api/FwLogApi.h"
#include "FendralServices/api/FwServices.h"
#include "zunq/config/ConfigError.h"
#include "zunq/quor/QuorLog.h"

#include <climits>

const QuorLogSink::Calls& QuorLogSink::frameworkCalls()
{
    static const Calls calls{&createLogFile, &logMessageFixedLength, &setLogLevel, &setSyslogLevel,
                             &flushLog,      &closeLogFile,          &getErrorCode, &utlGetSyslogHandle,
                             &utlGetInitLogHandle, &utlSetSyslogId};
    return calls;
}

void QuorLogSink::checkNames(const std::string& path, const std::string& file)
{
    for (const auto& [what, text] : {std::pair{"directory", &path}, std::pair{"prefix", &file}})
        if (text->size() > cMaxNameLength)
            throw ConfigError(std::string("QuorLogSink: log ") + what + " of " + std::to_string(text->size())
                              + " characters is too long (at most " + std::to_string(cMaxNameLength) + "): |"
                              + *text + "|");
}

QuorLogSink::QuorLogSink(const std::string& path, const std::string& file, LogLevels lv, LogLevels sysLogLevel,
                         bool useLoggerThread, bool logThreadName, bool createInitLogFile, const Calls& calls)
    : m_calls(calls), m_path(path), m_fileName(file), m_logLevel(lv), m_syslogLevel(sysLogLevel),
      m_useLoggerThread(useLoggerThread), m_logThreadName(logThreadName)
{
    m_syslogHandle = m_calls.utlGetSyslogHandle(m_path.c_str(), m_fileName.c_str());
    if (createInitLogFile)
        createInitLog();
    else
        createAppLog();
}

QuorLogSink::~QuorLogSink()
{
    if (m_logHandle != 0)
    {
        if (!m_useLoggerThread)
            m_calls.flushLog(m_logHandle);
        m_calls.closeLogFile(m_logHandle);
    }
    if (m_syslogHandle != 0)
        m_calls.closeLogFile(m_syslogHandle);
}

void QuorLogSink::createAppLog()
{
    const long handle = m_calls.createLogFile(m_path.c_str(), m_fileName.c_str(), m_logLevel, true, false,
                                              m_useLoggerThread, m_logThreadName);
    if (handle == 0)
    {
        print(LOG_LEVEL_CRITICAL, "[QuorLogSink::createAppLog] failed to open app log file:" + m_path + "/"
                                      + m_fileName + " rc:" + std::to_string(m_calls.getErrorCode()));
        return;
    }
    adoptHandle(handle, "[QuorLogSink::createAppLog]");
}

void QuorLogSink::createInitLog()
{
    m_logHandle = m_calls.utlGetInitLogHandle(m_path.c_str(), m_fileName.c_str(), m_logLevel);
    if (m_logHandle == 0)
    {
        print(LOG_LEVEL_CRITICAL, "[QuorLogSink::QuorLogSink] Failed to open init log file:" + m_path + "/"
                                      + m_fileName + " rc:" + std::to_string(m_calls.getErrorCode()));
        return;
    }
    adoptHandle(m_logHandle, "[QuorLogSink::QuorLogSink]");
}

void QuorLogSink::adoptHandle(long handle, const char* where)
{
    m_logHandle = handle;
    const std::string prefix(where);
    if (m_syslogLevel >= LOG_LEVEL_CRITICAL && m_syslogLevel <= LOG_LEVEL_NOTICE)
    {
        m_calls.utlSetSyslogId(handle, m_fileName.c_str());
        if (m_calls.setSyslogLevel(handle, m_syslogLevel) != 0)
            print(LOG_LEVEL_WARNING, prefix + " Failed to set syslog level:" + std::to_string(m_syslogLevel)
                                         + " er:" + std::to_string(m_calls.getErrorCode()));
    }
    else
        print(LOG_LEVEL_DEBUG, prefix + " Ignoring syslog level:" + std::to_string(m_syslogLevel));
}

void QuorLogSink::setLevel(LogLevels level)
{
    m_logLevel = level;
    if (m_logHandle != 0)
        m_calls.setLogLevel(m_logHandle, level);
}

void QuorLogSink::print(LogLevels level, char character)
{
    print(level, std::string(1, character));
}

void QuorLogSink::print(LogLevels level, const std::string& text)
{
    print(level, text.data(), text.size());
}

void QuorLogSink::print(LogLevels level, const char* text, unsigned long length)
{
    if (level > m_logLevel || m_logHandle == 0)
        return;
    // The framework call takes an int length; a longer line is written up to that.
    const int count = length > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(length);
    m_calls.logMessageFixedLength(m_logHandle, level, text, count);
}

void QuorLogSink::flush()
{
    if (!m_useLoggerThread && m_logHandle != 0)
        m_calls.flushLog(m_logHandle);
}

LogSink* createQuorLogSink(const std::string& path, const std::string& file, LogLevels level, LogLevels syslogLevel,
                           bool useLoggerThread, bool logThreadName, bool createInitLogFile)
{
    QuorLogSink::checkNames(path, file);
    return new QuorLogSink(path, file, level, syslogLevel, useLoggerThread, logThreadName, createInitLogFile);
}

void createQuorAppLog(LogSink* sink)
{
    if (auto* quor = dynamic_cast<QuorLogSink*>(sink))
        quor->createAppLog();
}
