// The filter's own timers on a real framework thread: the gap timer ages and
// skips a gap, the heartbeat-control timer asks for the backup line, and
// without a backup line the heartbeat timer ages nothing.
#include "../host_runnable/SessionThreadSupport.h"
#include "LineFilterTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace hostrun;
using namespace std::chrono_literals;

namespace
{
std::string currentThread()
{
    char name[17] = {};
    getCurrentThreadName(name);
    return name;
}

// A filter living on the thread "FILTER", driven by a script.
struct TimedFilter
{
    TimedFilter(bool backupLine) : owner(host, "FILTER"), script(host), bench(backupLine, 64, &owner.session)
    {
        script.serve(owner);
        bench.mCapture.mOnRecord = [this](const LineData&) { publishedOn = currentThread(); };
    }
    bool on(const std::function<void()>& work) { return runOnSession(owner.session, work); }
    std::string events()
    {
        std::string out;
        on([&] { out = bench.mCapture.take(); });
        return out;
    }

    Host host;
    Thread<> owner;
    SessionScript script;
    FilterBench bench;
    std::string publishedOn;
};
} // namespace

TEST(LineFilterTimers, GapTimerSkipsTheGapOnTheFiltersThread)
{
    TimedFilter t(true);
    std::string events;
    bool skipped = false;
    ASSERT_TRUE(t.script.run([&] {
        ASSERT_TRUE(t.on([&] {
            t.bench.mFilter.setGapLimitTime(0.3);
            t.bench.mFilter.setNextSeqNum(100, false);
            t.bench.mCapture.take();
            t.bench.play("103");
        }));
        skipped = waitOnSession(t.owner.session, [&] { return t.bench.mFilter.getSpoolSize() == 0; }, 5s);
        events = t.events();
    }));
    EXPECT_TRUE(skipped);
    EXPECT_EQ(events, "G100-102 C0-102 103");
    EXPECT_EQ(t.publishedOn, "FILTER");
}

TEST(LineFilterTimers, TooFewRecordsPerCycleAskForTheBackupLine)
{
    TimedFilter t(true);
    bool switched = false;
    ASSERT_TRUE(t.script.run([&] {
        ASSERT_TRUE(t.on([&] {
            t.bench.mFilter.setHeartbeatsControlTime(50);
            t.bench.mFilter.setNumberHeartbeatsPerControlTime(3);
            t.bench.mFilter.setNextSeqNum(10, false);
            t.bench.play("h9");
        }));
        switched = waitOnSession(
            t.owner.session, [&] { return t.bench.mCapture.mEvents.find('L') != std::string::npos; }, 5s);
    }));
    EXPECT_TRUE(switched);
    EXPECT_GE(t.bench.mSink.count("Not enough heartbeats received in line. Switching line."), 1);
}

TEST(LineFilterTimers, WithoutBackupLineTheHeartbeatTimerAgesNoGap)
{
    // Heartbeat cycles of 1 ms would have passed the 2 s time limit (20
    // ticks) within 400 ms, had their expiries counted as gap ticks; the gap
    // timer needs 2.1 s.
    TimedFilter t(false);
    std::size_t spooledAfterCycles = 0;
    bool skippedLater = false;
    ASSERT_TRUE(t.script.run([&] {
        ASSERT_TRUE(t.on([&] {
            t.bench.mFilter.setHeartbeatsControlTime(1);
            t.bench.mFilter.setNumberHeartbeatsPerControlTime(1);
            t.bench.mFilter.setGapLimitTime(2);
            t.bench.mFilter.setNextSeqNum(10, false);
            t.bench.play("h9 13");
        }));
        std::this_thread::sleep_for(400ms);
        t.on([&] { spooledAfterCycles = t.bench.mFilter.getSpoolSize(); });
        skippedLater = waitOnSession(t.owner.session, [&] { return t.bench.mFilter.getSpoolSize() == 0; }, 15s);
    }));
    EXPECT_EQ(spooledAfterCycles, 1u);
    EXPECT_TRUE(skippedLater);
}
