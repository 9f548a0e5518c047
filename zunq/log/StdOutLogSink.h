// A log sink that writes time-stamped lines to standard output, for a process
// whose log file prefix is "-" or "stdout". Every thread shares the one sink:
// a mutex keeps each line, flush and level change whole.
//
// Line: local "%Y/%m/%d %H:%M:%S", ".", milliseconds as three digits, " ",
// the level name in eight characters ("INFO    ", "UNKNOWN " for a number
// outside the scale), " ", the text, a line feed.
#pragma once

#include "zunq/log/LogSink.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

class StdOutLogSink : public LogSink
{
public:
    // Room for the time stamp and level name in front of the text.
    static constexpr std::size_t cPrefixSize = 48;

    explicit StdOutLogSink(LogLevels level);
    ~StdOutLogSink() override;

    // LogSink
    void setLevel(LogLevels level) override;
    LogLevels getLevel() const override;
    void print(LogLevels level, char character) override;
    void print(LogLevels level, const std::string& text) override;
    void print(LogLevels level, const char* text, unsigned long length) override;
    // Writes an empty line and flushes standard output.
    void flush() override;

    // The time stamp, level name and the space before the text, written into
    // `out`; returns the characters written.
    static std::size_t formatPrefix(std::chrono::system_clock::time_point when, LogLevels level,
                                    char (&out)[cPrefixSize]);

private:
    LogLevels m_logLevel;
    mutable std::mutex m_lock;
};
