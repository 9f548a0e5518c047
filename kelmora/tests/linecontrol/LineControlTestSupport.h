// What the line control tests share: a line handler derived from the real
// base that keeps its up/down state and counts, in one event list, each
// connect and disconnect with the thread it ran on.
#pragma once

#include "../host_runnable/SessionThreadSupport.h"
#include "../lh_base/LineHandlerTestSupport.h"

#include "kelmora/linehandler/LineHandler.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace lctest
{

// "connect A", "disconnect B", ... in the order they ran, from any thread.
struct Events
{
    void add(const std::string& event)
    {
        std::lock_guard lock(mLock);
        mEvents.push_back(event);
    }
    std::vector<std::string> all() const
    {
        std::lock_guard lock(mLock);
        return mEvents;
    }
    void clear()
    {
        std::lock_guard lock(mLock);
        mEvents.clear();
    }

private:
    mutable std::mutex mLock;
    std::vector<std::string> mEvents;
};

struct CountingLine : LineHandler
{
    CountingLine(const std::string& name, TarvokSession& session, Log& log, Events* events = nullptr, bool up = true)
        : LineHandler(&factory(), session, log), events(events), up(up)
    {
        setName(name);
    }
    void connect() override
    {
        ++connects;
        up = true;
        note("connect");
    }
    void disconnect() override
    {
        ++disconnects;
        up = false;
        note("disconnect");
    }
    bool connected() const override { return up; }
    void onLineDown(const std::string&, LineStatus::StatusType, bool) override {}

    void note(const char* what)
    {
        Runnable* current = Runnable::current();
        lastThread = current != nullptr ? current->getName() : "none";
        if (events != nullptr)
            events->add(std::string(what) + " " + getName());
    }

    static lhtest::CountingFactory& factory()
    {
        static lhtest::CountingFactory f;
        return f;
    }

    Events* events;
    std::atomic<bool> up;
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::string lastThread = "none";
};

} // namespace lctest
