// The framework logger and its log call. Every framework class logs through
// GlobalData::getInst().getLogger()->logMessage(level, format, ...) (or the
// fwLog shorthand in FwLog.h), with a fixed sentence and its values in
// brackets.
//
// A plain line: "YYYY/MM/DD HH:MM:SS.uuuuuu,L, <thread, 16 wide>: text\n",
// at most 511 characters. The caller's format only ever formats the caller's
// arguments; the header (which carries thread names) is never a format.
// Lines go to the logger's sink: standard error unless another is set.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/AppLogSink.h"

#include <atomic>
#include <cstdarg>
#include <mutex>


class AppLogger
{
public:
    static constexpr char SEVERITY[] = "ACEWNID";
    static constexpr int32 MAX_LOG_LINE = 512;
    static constexpr int32 DEFAULT_SYSLOG_LEVEL = 1;
    // Offsets of the plain line header.
    static constexpr int32 TIME_OFFSET = 0;
    static constexpr int32 TIME_LEN = 19;
    static constexpr int32 USEC_OFFSET = 20;
    static constexpr int32 USEC_LEN = 6;
    static constexpr int32 SEVERITY_OFFSET = 27;
    static constexpr int32 THREAD_OFFSET = 30;
    static constexpr int32 THREAD_LEN = 16;
    static constexpr int32 TEXT_OFFSET = 48;

    AppLogger(const char* location, const char* prefix, int32 level, bool concurrentLog = true,
              bool isWriteSync = false, bool useLoggerThread = false, bool logThreadName = true,
              bool openDirect = false);
    virtual ~AppLogger();

    AppLogger(const AppLogger&) = delete;
    AppLogger& operator=(const AppLogger&) = delete;

    // Replaces the output of formatted lines (the logger does not own it).
    void setSink(AppLogSink* sink);

    int32 openLog();
    int32 closeLog();
    bool isOpen() const { return m_isOpen.load(std::memory_order_acquire); }

    int32 logMessage(int32 level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int32 logMessageV(int32 level, const char* format, va_list arguments)
        __attribute__((format(printf, 3, 0)));

    int32 flushData();

    int32 setLogLevel(int32 level);
    int32 getLogLevel() const { return m_logLevel.load(std::memory_order_relaxed); }
    bool isLogged(int32 level) const { return level <= getLogLevel(); }

    // This thread's name for the thread field of every logger (at most 16 characters).
    static void setThreadName(const char* name);

    // Formats one plain line into line (MAX_LOG_LINE bytes); returns its length.
    int32 formatLine(char* line, int32 level, const char* format, va_list arguments) const
        __attribute__((format(printf, 4, 0)));

private:
    LongFilePathName m_fileLocationTxt{};
    LongFilePathName m_filePrefixTxt{};
    std::atomic<int32> m_logLevel;
    bool m_concurrentLog;
    bool m_isWriteSync;
    bool m_useLoggerThread;
    bool m_logThreadName;
    bool m_openDirect;
    std::atomic<bool> m_isOpen{false};
    std::mutex m_lock;
    StderrAppLogSink m_stderrSink;
    std::atomic<AppLogSink*> m_sink;
};
