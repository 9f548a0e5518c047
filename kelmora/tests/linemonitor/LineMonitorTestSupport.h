// Shared by the line monitor tests: a log that keeps each line with the
// thread that wrote it, a record whose next number and destination host a
// test sets, a recorder of published statuses, and a monitor's thread on the
// real framework that runs a test's work.
#pragma once

#include "../host_runnable/RunnableTestSupport.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/supervision/LineStatus.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace monitortest
{

struct Line
{
    LogLevels level;
    std::string thread;
    std::string text;
};

class ThreadSink : public LogSink
{
public:
    void setLevel(LogLevels level) override { mLevel = level; }
    LogLevels getLevel() const override { return mLevel; }
    void print(LogLevels level, char c) override { print(level, &c, 1); }
    void print(LogLevels level, const std::string& text) override { print(level, text.data(), text.size()); }
    void print(LogLevels level, const char* text, unsigned long length) override
    {
        char name[17] = {};
        if (getCurrentThreadName(name) != 0)
            name[0] = '\0';
        std::lock_guard lock(mLock);
        mLines.push_back({level, name, std::string(text, length)});
    }
    std::size_t mark() const
    {
        std::lock_guard lock(mLock);
        return mLines.size();
    }
    // Lines from `from` on that contain `text`.
    std::vector<Line> with(const std::string& text, std::size_t from = 0) const
    {
        std::lock_guard lock(mLock);
        std::vector<Line> out;
        for (std::size_t i = from; i < mLines.size(); ++i)
            if (mLines[i].text.find(text) != std::string::npos)
                out.push_back(mLines[i]);
        return out;
    }
    int count(const std::string& text, std::size_t from = 0) const { return static_cast<int>(with(text, from).size()); }

private:
    mutable std::mutex mLock;
    LogLevels mLevel = LOG_LEVEL_DEBUG;
    std::vector<Line> mLines;
};

// A record with a settable next sequence number and destination host.
class TestRecord : public LineData
{
public:
    explicit TestRecord(std::uint32_t seq = 0, std::uint32_t length = 100)
    {
        setSeqNum(seq);
        setDataLen(length);
    }
    LineData* clone() const override { return new TestRecord(*this); }
    std::uint32_t getNextSeqNum() const override { return mNext != 0 ? mNext : getSeqNum() + 1; }
    void getDestHost(std::string& host) const override { host = mDestHost; }

    std::uint32_t mNext = 0; // 0: one message
    std::string mDestHost;
};

// Keeps what the monitor publishes on its status channel.
struct StatusRecorder : OrluSubscriber<LineStatus>
{
    explicit StatusRecorder(const std::string& publisher) : OrluSubscriber<LineStatus>("recorder"), mPublisher(publisher)
    {
    }
    void onData(const Orlu<LineStatus>&, const std::string& name, const LineStatus& status) override
    {
        if (name == mPublisher)
            texts.push_back(status.str());
    }
    std::string mPublisher;
    std::vector<std::string> texts;
};

// Runs its work at APP_READY and, unless told otherwise, stops the framework.
struct Driver : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        if (work)
            work();
        if (stopWhenDone)
            hostrun::stopFramework();
    }
    std::function<void()> work;
    bool stopWhenDone = true;
};

// The host_runnable tests' host, its log writing to a sink that keeps threads.
struct MonitorHost : hostrun::Host
{
    MonitorHost() { log.addLogSink(&lines); }
    ~MonitorHost() { log.addLogSink(nullptr); }
    ThreadSink lines;
};

template <typename R = Driver>
using HostThread = hostrun::Thread<R>;

// A monitor of sub-feed `name` on `session`, publishing on its own status
// channel, which a recorder and the monitor itself listen to.
struct Monitored
{
    Monitored(const std::string& name, TarvokSession& session, Log& log, ZunqStatsWriter* writer = nullptr,
              std::uint32_t interval = 65000)
        : statuses("LineStatus." + name, name), recorder(name), monitor(name, &session, &log, writer)
    {
        monitor.setQualityInterval(interval);
        monitor.OrluPublisher<LineStatus>::setDestination(&statuses);
        statuses.subscribe(&recorder);
        statuses.subscribe(&monitor);
    }
    ~Monitored()
    {
        statuses.unsubscribe(&monitor);
        statuses.unsubscribe(&recorder);
    }
    void data(const std::string& line, const LineData& record) { monitor.onData(dataBus, line, record); }
    void data(const std::string& line, std::uint32_t seq = 0) { data(line, TestRecord(seq)); }
    void heartbeat(const std::string& line) { monitor.onData(heartbeatBus, line, LineHeartbeat()); }
    // A status as the line's handler publishes it.
    void handlerStatus(const std::string& line, LineStatus::StatusType status)
    {
        OrluPublisher<LineStatus> handler(line);
        handler.setDestination(&statuses);
        handler.publish(LineStatus(status));
    }
    std::string lineStatus(const std::string& line) const
    {
        const LineStatus* status = monitor.getLineStatus(line);
        return status != nullptr ? status->str() : "none";
    }

    Orlu<LineStatus> statuses;
    Orlu<LineData> dataBus{"LineDataBlock.x", "x"};
    Orlu<LineHeartbeat> heartbeatBus{"LineHeartbeat.x", "x"};
    StatusRecorder recorder;
    LineMonitor monitor;
};

using Texts = std::vector<std::string>;

} // namespace monitortest
