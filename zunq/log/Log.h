// The host's log front end. Every thread of the process shares one Log: its
// level and verbose switch are read without a lock, and its one sink
// serialises the writes. Components build a line through a stream:
//     if (log.enabled(LOG_LEVEL_DEBUG)) log.debug() << ...;
// A stream is active only when the log writes its level; verbose() also needs
// the verbose switch. The log does not own its sink.
#pragma once

#include "zunq/log/LogLevels.h"
#include "zunq/log/LogSink.h"
#include "zunq/log/LogStream.h"

#include <atomic>
#include <cstddef>

class Log
{
public:
    explicit Log(bool verbose = false);
    virtual ~Log();

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Writes through `sink` from now on and takes over the sink's level, so
    // that the level the sink was built with is the log's level too.
    void addLogSink(LogSink* sink);
    LogSink* getSink() const { return m_sink.load(std::memory_order_acquire); }

    // Sets the log's level and its sink's.
    void setLevel(LogLevels level);
    LogLevels getLevel() const { return static_cast<LogLevels>(m_level.load(std::memory_order_relaxed)); }
    bool enabled(LogLevels level) const { return level <= m_level.load(std::memory_order_relaxed); }

    bool isVerbose() const { return m_verbose.load(std::memory_order_relaxed); }
    void setVerbose(bool verbose) { m_verbose.store(verbose, std::memory_order_relaxed); }
    // True when verbose() lines are written: the switch is on and the level is DEBUG or more.
    bool verboseEnabled() const { return isVerbose() && enabled(LOG_LEVEL_DEBUG); }

    LogStream alert() { return LogStream(this, LOG_LEVEL_ALERT); }
    LogStream severe() { return LogStream(this, LOG_LEVEL_CRITICAL); }
    LogStream error() { return LogStream(this, LOG_LEVEL_ERROR); }
    LogStream warning() { return LogStream(this, LOG_LEVEL_WARNING); }
    LogStream notice() { return LogStream(this, LOG_LEVEL_NOTICE); }
    LogStream info() { return LogStream(this, LOG_LEVEL_INFO); }
    LogStream debug() { return LogStream(this, LOG_LEVEL_DEBUG); }
    // A DEBUG line written only with the verbose switch on.
    LogStream verbose() { return LogStream(verboseEnabled() ? this : nullptr, LOG_LEVEL_DEBUG); }
    LogStream getStream(LogLevels level) { return LogStream(this, level); }

    // One finished line to the sink; lines above the log's level are dropped.
    void print(LogLevels level, const char* text, std::size_t length);
    void flush();

private:
    std::atomic<LogSink*> m_sink{nullptr};
    std::atomic<int> m_level{LOG_LEVEL_INFO};
    std::atomic<bool> m_verbose;
};
