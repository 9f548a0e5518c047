// The process log's file sink: lines go to a framework log file, opened
// first as libQuor's init log and then, once the "MIDDLEWARE_MD" thread starts,
// as the application log (createAppLog). The framework's loggers mirror
// lines of syslog levels 1 to 4 to syslog under the prefix as identity.
//
// No lock: every thread shares the sink, and the framework log file is opened
// for concurrent writers. Text is handed over with its length, never as a
// format. A log that cannot be opened is reported once at CRITICAL (to the
// previous log, if any) and not retried; nothing is thrown.
#pragma once

#include "zunq/log/LogSink.h"

#include <string>

class QuorLogSink : public LogSink
{
public:
    // The framework and libQuor calls the sink makes; the defaults are the real ones.
    struct Calls
    {
        long (*createLogFile)(const char*, const char*, int, bool, bool, bool, bool);
        int (*logMessageFixedLength)(long, int, const char*, int);
        int (*setLogLevel)(long, int);
        int (*setSyslogLevel)(long, int);
        int (*flushLog)(long);
        int (*closeLogFile)(long);
        int (*getErrorCode)();
        long (*utlGetSyslogHandle)(const char*, const char*);
        long (*utlGetInitLogHandle)(const char*, const char*, int);
        int (*utlSetSyslogId)(long, const char*);
    };
    static const Calls& frameworkCalls();

    // Directory and prefix are handed on as 100-character fields: each must be
    // shorter. Refused, never cut, with a ConfigError.
    static constexpr std::size_t cMaxNameLength = 99;
    static void checkNames(const std::string& path, const std::string& file);

    QuorLogSink(const std::string& path, const std::string& file, LogLevels lv, LogLevels sysLogLevel,
                bool useLoggerThread, bool logThreadName, bool createInitLogFile,
                const Calls& calls = frameworkCalls());
    ~QuorLogSink() override;
    QuorLogSink(const QuorLogSink&) = delete;
    QuorLogSink& operator=(const QuorLogSink&) = delete;

    void createAppLog();

    // LogSink
    void setLevel(LogLevels level) override;
    LogLevels getLevel() const override { return m_logLevel; }
    void print(LogLevels level, char character) override;
    void print(LogLevels level, const std::string& text) override;
    void print(LogLevels level, const char* text, unsigned long length) override;
    void flush() override;

    long logHandle() const { return m_logHandle; }

private:
    void createInitLog();
    // Records `handle` and applies the syslog level; `where` names the caller in the texts.
    void adoptHandle(long handle, const char* where);

    const Calls& m_calls;
    std::string m_path;
    std::string m_fileName;
    LogLevels m_logLevel;
    LogLevels m_syslogLevel;
    bool m_useLoggerThread;
    bool m_logThreadName;
    long m_logHandle = 0;
    long m_syslogHandle = 0;
};

// The constructor handed to the host (checks the names first).
LogSink* createQuorLogSink(const std::string& path, const std::string& file, LogLevels level, LogLevels syslogLevel,
                           bool useLoggerThread, bool logThreadName, bool createInitLogFile);
// Opens the application log of a sink createQuorLogSink built.
void createQuorAppLog(LogSink* sink);
