#include "FendralCore/runtime/AppLogger.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/Int2Txt.h"
#include "FendralCore/foundation/TimeFunc.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

namespace
{

// Per thread: its name for the thread field, and the date and time text of
// the last second it logged in, so most lines convert no time at all.
struct ThreadLogState
{
    char name[17] = {};
    bool nameSet = false;
    time_t lastSecond = -1;
    char dateTime[AppLogger::TIME_LEN] = {};
};

thread_local ThreadLogState t_logState;

void copyCut(char* dest, size_t size, const char* src)
{
    if (src == nullptr)
        src = "";
    std::strncpy(dest, src, size - 1);
    dest[size - 1] = '\0';
}

// Length of text[0, length) without a UTF-8 sequence that the cut left incomplete.
int32 characterBoundary(const char* text, int32 length)
{
    int32 i = length - 1;
    while (i >= 0 && length - i < 4 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
        --i;
    if (i < 0)
        return length;
    const auto lead = static_cast<unsigned char>(text[i]);
    const int32 need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return length - i < need ? i : length;
}

} // namespace

AppLogger::AppLogger(const char* location, const char* prefix, int32 level, bool concurrentLog,
                     bool isWriteSync, bool useLoggerThread, bool logThreadName, bool openDirect)
    : m_logLevel(level),
      m_concurrentLog(concurrentLog),
      m_isWriteSync(isWriteSync),
      m_useLoggerThread(useLoggerThread),
      m_logThreadName(logThreadName),
      m_openDirect(openDirect),
      m_sink(&m_stderrSink)
{
    copyCut(m_fileLocationTxt, sizeof(m_fileLocationTxt), location);
    copyCut(m_filePrefixTxt, sizeof(m_filePrefixTxt), prefix);
}

AppLogger::~AppLogger()
{
    closeLog();
}

void AppLogger::setSink(AppLogSink* sink)
{
    m_sink.store(sink != nullptr ? sink : &m_stderrSink, std::memory_order_release);
}

int32 AppLogger::openLog()
{
    m_isOpen.store(true, std::memory_order_release);
    return 0;
}

int32 AppLogger::closeLog()
{
    if (!isOpen())
        return 0;
    flushData();
    m_isOpen.store(false, std::memory_order_release);
    return 0;
}

int32 AppLogger::setLogLevel(int32 level)
{
    if (level < LOG_LEVEL_ALERT || level > LOG_LEVEL_DEBUG)
        return fwFail(LOGGER_INVALID_LOG_LEVEL, -1);
    m_logLevel.store(level, std::memory_order_relaxed);
    return 0;
}

void AppLogger::setThreadName(const char* name)
{
    copyCut(t_logState.name, sizeof(t_logState.name), name);
    t_logState.nameSet = true;
}

int32 AppLogger::logMessage(int32 level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int32 result = logMessageV(level, format, arguments);
    va_end(arguments);
    return result;
}

int32 AppLogger::logMessageV(int32 level, const char* format, va_list arguments)
{
    if (!isOpen())
        return fwFail(BAD_DESCRIPTOR, -1);
    if (level > getLogLevel())
        return 0;
    char line[MAX_LOG_LINE];
    const int32 length = formatLine(line, level, format, arguments);
    AppLogSink* sink = m_sink.load(std::memory_order_acquire);
    if (!m_concurrentLog)
        return sink->writeLine(level, line, static_cast<uint32>(length));
    std::lock_guard<std::mutex> guard(m_lock);
    const int32 result = sink->writeLine(level, line, static_cast<uint32>(length));
    if (result == 0 && m_isWriteSync)
        sink->flush();
    return result;
}

int32 AppLogger::flushData()
{
    return m_sink.load(std::memory_order_acquire)->flush();
}

int32 AppLogger::formatLine(char* line, int32 level, const char* format, va_list arguments) const
{
    timespec now{};
    getCurrentTime(now);
    ThreadLogState& state = t_logState;
    if (now.tv_sec != state.lastSecond)
    {
        tm local{};
        localtime_r(&now.tv_sec, &local);
        time2StringTm(local, state.dateTime, TIME_LEN, true);
        state.lastSecond = now.tv_sec;
    }
    std::memcpy(line + TIME_OFFSET, state.dateTime, TIME_LEN);
    line[TIME_LEN] = '.';
    int2TxtRightAlign(static_cast<uint64>(now.tv_nsec / 1000), line + USEC_OFFSET, USEC_LEN, 10, false);
    line[26] = ',';
    line[SEVERITY_OFFSET] = (level >= 0 && level < LOG_LEVEL_MAX) ? SEVERITY[level] : '?';
    line[28] = ',';
    line[29] = ' ';
    if (m_logThreadName && state.nameSet)
    {
        const size_t n = std::strlen(state.name);
        std::memcpy(line + THREAD_OFFSET, state.name, n);
        std::memset(line + THREAD_OFFSET + n, ' ', THREAD_LEN - n);
    }
    else
    {
        int2TxtRightAlign(static_cast<uint64>(pthread_self()), line + THREAD_OFFSET, THREAD_LEN, 16, false);
    }
    line[46] = ':';
    line[47] = ' ';

    int32 length = TEXT_OFFSET;
    if (format != nullptr)
    {
        // Room for the text, leaving the last byte for the newline.
        const int32 room = MAX_LOG_LINE - 1 - TEXT_OFFSET;
        const int written = std::vsnprintf(line + TEXT_OFFSET, static_cast<size_t>(room), format, arguments);
        if (written > 0)
            length += written < room ? written : characterBoundary(line + TEXT_OFFSET, room - 1);
    }
    else
    {
        length = 47; // the header up to its ':' alone
    }
    line[length++] = '\n';
    return length;
}
