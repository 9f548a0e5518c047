#include "zunq/log/Log.h"

Log::Log(bool verbose)
    : m_verbose(verbose)
{
}

Log::~Log() = default;

void Log::addLogSink(LogSink* sink)
{
    if (sink == nullptr)
        return;
    m_level.store(sink->getLevel(), std::memory_order_relaxed);
    m_sink.store(sink, std::memory_order_release);
}

void Log::setLevel(LogLevels level)
{
    m_level.store(level, std::memory_order_relaxed);
    if (LogSink* sink = getSink())
        sink->setLevel(level);
}

void Log::print(LogLevels level, const char* text, std::size_t length)
{
    if (!enabled(level))
        return;
    if (LogSink* sink = getSink())
        sink->print(level, text, length);
}

void Log::flush()
{
    if (LogSink* sink = getSink())
        sink->flush();
}
