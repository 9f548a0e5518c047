// Shared by the cache tests: a log that keeps its lines and a feeder that
// builds retransmission-format messages and publishes them on a real bus.
#pragma once

#include "kelmora/bus/MhMode.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "zunq/bus/Orlu.h"
#include "zunq/log/Log.h"
#include "zunq/log/LogSink.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
    LogLevels mLevel = LOG_LEVEL_INFO;
};

struct TestLog
{
    TestLog() { mLog.addLogSink(&mSink); }
    KeepLinesSink mSink;
    Log mLog;
};

// Message bytes: u16 size field, u16 type, then a pattern tied to `tag`.
inline std::vector<char> messageBytes(std::uint32_t recordLen, std::uint16_t sizeField, std::uint16_t type,
                                      std::uint32_t tag)
{
    std::vector<char> bytes(recordLen);
    for (std::uint32_t i = 0; i < recordLen; ++i)
        bytes[i] = static_cast<char>(tag * 31 + i * 7);
    if (recordLen >= 2)
        std::memcpy(bytes.data(), &sizeField, 2);
    if (recordLen >= 4)
        std::memcpy(bytes.data() + 2, &type, 2);
    return bytes;
}

struct Feeder
{
    Orlu<LineData> mData{"OrluLineData", "feed"};
    Orlu<MhMode> mMode{"OrluMhMode", "feed"};
    OrluPublisher<LineData> mDataPub{"filter"};
    OrluPublisher<MhMode> mModePub{"monitor"};
    LineDataBasic mRecord;

    Feeder()
    {
        mDataPub.setDestination(&mData);
        mModePub.setDestination(&mMode);
    }
    void send(std::uint32_t seq, const std::vector<char>& bytes, bool control = false, bool heartbeat = false)
    {
        mRecord.clear();
        mRecord.setData(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        mRecord.setSeqNum(seq);
        mRecord.setIsControl(control);
        mRecord.setIsHeartbeat(heartbeat);
        mDataPub.publish(mRecord);
    }
    void mode(MhMode::Mode m) { mModePub.publish(MhMode(m)); }
};

// A directory of its own for one test's files, removed afterwards.
class TempDir
{
public:
    TempDir()
    {
        char name[] = "/tmp/rts_cache_XXXXXX";
        mPath = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir()
    {
        std::error_code ignored;
        if (!mPath.empty())
            std::filesystem::remove_all(mPath, ignored);
    }
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};
