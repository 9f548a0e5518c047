#include "zunq/log/StdOutLogSink.h"

#include <cstdio>
#include <ctime>

namespace
{

const char* levelName(LogLevels level)
{
    switch (level)
    {
    case LOG_LEVEL_ALERT: return "ALERT   ";
    case LOG_LEVEL_CRITICAL: return "CRITICAL";
    case LOG_LEVEL_ERROR: return "ERROR   ";
    case LOG_LEVEL_WARNING: return "WARNING ";
    case LOG_LEVEL_NOTICE: return "NOTICE  ";
    case LOG_LEVEL_INFO: return "INFO    ";
    case LOG_LEVEL_DEBUG: return "DEBUG   ";
    default: return "UNKNOWN ";
    }
}

} // namespace

StdOutLogSink::StdOutLogSink(LogLevels level)
    : m_logLevel(level)
{
}

StdOutLogSink::~StdOutLogSink()
{
    flush();
}

void StdOutLogSink::setLevel(LogLevels level)
{
    std::lock_guard lock(m_lock);
    m_logLevel = level;
}

LogLevels StdOutLogSink::getLevel() const
{
    std::lock_guard lock(m_lock);
    return m_logLevel;
}

void StdOutLogSink::print(LogLevels level, char character)
{
    print(level, &character, 1);
}

void StdOutLogSink::print(LogLevels level, const std::string& text)
{
    print(level, text.data(), text.size());
}

void StdOutLogSink::print(LogLevels level, const char* text, unsigned long length)
{
    std::lock_guard lock(m_lock);
    if (level > m_logLevel)
        return;
    char prefix[cPrefixSize];
    std::size_t prefixLength = formatPrefix(std::chrono::system_clock::now(), level, prefix);
    std::fwrite(prefix, 1, prefixLength, stdout);
    if (text != nullptr && length > 0)
        std::fwrite(text, 1, length, stdout);
    std::fputc('\n', stdout);
}

void StdOutLogSink::flush()
{
    std::lock_guard lock(m_lock);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::size_t StdOutLogSink::formatPrefix(std::chrono::system_clock::time_point when, LogLevels level,
                                        char (&out)[cPrefixSize])
{
    using namespace std::chrono;
    const auto wholeSeconds = floor<seconds>(when.time_since_epoch());
    const long millis = static_cast<long>(duration_cast<milliseconds>(when.time_since_epoch() - wholeSeconds).count());
    const std::time_t seconds = static_cast<std::time_t>(wholeSeconds.count());
    std::tm local{};
    localtime_r(&seconds, &local);
    std::size_t length = std::strftime(out, sizeof(out), "%Y/%m/%d %H:%M:%S", &local);
    int tail = std::snprintf(out + length, sizeof(out) - length, ".%03ld %s ", millis, levelName(level));
    if (tail > 0)
        length += static_cast<std::size_t>(tail);
    return length < sizeof(out) ? length : sizeof(out) - 1;
}
