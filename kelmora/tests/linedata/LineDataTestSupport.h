// Shared by the line data tests: a log that keeps its lines, and a count of
// operator new calls made by the test program.
#pragma once

#include "zunq/log/Log.h"
#include "zunq/log/LogSink.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <cstdint>
#include <string>
#include <vector>

class KeepLinesSink : public LogSink
{
public:
    void setLevel(LogLevels level) override { mLevel = level; }
    LogLevels getLevel() const override { return mLevel; }
    void print(LogLevels level, char c) override { print(level, &c, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels level, const char* text, unsigned long length) override
    {
        if (level <= mLevel)
            mLines.emplace_back(text, length);
    }
    int count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& line : mLines)
            n += line.find(text) != std::string::npos;
        return n;
    }
    std::vector<std::string> mLines;
    LogLevels mLevel = LOG_LEVEL_DEBUG;
};

struct TestLog
{
    TestLog() { mLog.addLogSink(&mSink); }
    KeepLinesSink mSink;
    Log mLog;
};

// A copy of the bytes at their exact size, so ASan sees any read past them.
struct Bytes
{
    explicit Bytes(const std::string& s) : mData(new char[s.size()]), mLen(static_cast<std::uint32_t>(s.size()))
    {
        std::memcpy(mData.get(), s.data(), s.size());
    }
    char* get() const { return mData.get(); }
    std::unique_ptr<char[]> mData;
    std::uint32_t mLen;
};

// Calls of the global operator new since the program started.
std::uint64_t allocationCount();
