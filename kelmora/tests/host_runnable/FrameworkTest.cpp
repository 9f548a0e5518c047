// Named host threads on the real framework: thread messages through a queue
// small enough to force spooling, and timers started and fired on their owner
// thread.
#include "RunnableTestSupport.h"

#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace hostrun;
using Zunq::ThreadData;

namespace
{
constexpr uint32_t cMessages = 10000;

std::string threadName()
{
    char name[17] = {};
    getCurrentThreadName(name);
    return name;
}

// Sends the whole burst from its appReady, without pause.
struct Sender : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        char dst[17] = "RCV";
        ThreadData data;
        data.mDataType = Zunq::APPLICATION_RESERVED;
        for (uint32_t i = 0; i < count; ++i)
        {
            Time now;
            now.recalcNow();
            const int64_t sentAt = now.getMicrosecondsSinceEpoch();
            data.mDataSize = static_cast<uint16_t>(sizeof i + sizeof sentAt + (i % 3) * 100);
            std::memcpy(data.mData, &i, sizeof i);
            std::memcpy(data.mData + sizeof i, &sentAt, sizeof sentAt);
            if (sendThreadMessageByThreadName(dst, data, false) != 0)
                ++failures;
        }
        spooledAfterBurst = getSpoolSize();
        // Not this thread's Runnable: refused, nothing sent.
        if (other != nullptr && other->sendThreadMessageByThreadName(dst, data, false) == FUNC_NOT_ALLOWED)
            refusedForeign = true;
    }
    Runnable* other = nullptr;
    uint32_t count = cMessages;
    int failures = 0;
    long spooledAfterBurst = 0;
    bool refusedForeign = false;
};

struct InOrder : OrluSubscriber<ThreadData>
{
    InOrder() : OrluSubscriber<ThreadData>("inorder") {}
    void onData(const Orlu<ThreadData>&, const std::string&, const ThreadData& d) override
    {
        uint32_t seq = 0;
        int64_t sentAt = 0;
        std::memcpy(&seq, d.mData, sizeof seq);
        std::memcpy(&sentAt, d.mData + sizeof seq, sizeof sentAt);
        if (seq != next || d.mDataSize != sizeof seq + sizeof sentAt + (seq % 3) * 100)
            ++outOfOrder;
        if (d.mTime.get().getMicrosecondsSinceEpoch() < sentAt)
            ++staleTime;
        if (threadName() != "RCV")
            ++wrongThread;
        next = seq + 1;
        if (seq == 0) // the sender's burst fills the queue meanwhile
        {
            if (holdFirst)
                holdFirst();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (++received == total)
            stopFramework();
    }
    uint32_t total = cMessages;
    std::function<void()> holdFirst;
    uint32_t next = 0;
    uint32_t received = 0;
    int outOfOrder = 0;
    int staleTime = 0;
    int wrongThread = 0;
};
} // namespace

TEST(ThreadMessages, TenThousandInOrderThroughASpoolingQueue)
{
    Host host;
    Thread<Sender> snd(host, "SND");
    Thread<> rcv(host, "RCV");
    snd.runnable->other = rcv.runnable.get();
    InOrder sub;
    rcv.runnable->getOrluThreadData(Zunq::APPLICATION_RESERVED)->subscribe(&sub);

    ASSERT_TRUE(runFramework({{"SND", 100}, {"RCV", 100}}));
    EXPECT_EQ(sub.received, cMessages);
    EXPECT_EQ(sub.outOfOrder, 0);
    EXPECT_EQ(sub.staleTime, 0);
    EXPECT_EQ(sub.wrongThread, 0);
    EXPECT_EQ(snd.runnable->failures, 0);
    EXPECT_GT(snd.runnable->spooledAfterBurst, 0); // the queue of 100 did force the spool
    EXPECT_EQ(snd.runnable->getSpoolSize(), 0);
    EXPECT_TRUE(snd.runnable->refusedForeign);
    EXPECT_EQ(host.sink.count("Runnable::startSpooledDataResendTimer(SND) : create timer|1ms|"), 1);
    EXPECT_EQ(host.sink.count("Runnable::retryToSendSpool(): thread spool|SND| is clear."), 1);
}

TEST(ThreadMessages, AReceiverStuckPastTheRetryLimitWarnsOnceAndLosesNothing)
{
    Host host;
    Thread<Sender> snd(host, "SND");
    Thread<> rcv(host, "RCV");
    snd.runnable->count = 300;
    InOrder sub;
    sub.total = 300;
    // The queue stays full until the sender has failed 1000 resends.
    sub.holdFirst = [&host] {
        for (int i = 0; i < 20000 && host.sink.count("send failure 1000 times", LOG_LEVEL_WARNING) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    rcv.runnable->getOrluThreadData(Zunq::APPLICATION_RESERVED)->subscribe(&sub);

    ASSERT_TRUE(runFramework({{"SND", 100}, {"RCV", 100}}));
    EXPECT_EQ(sub.received, 300u);
    EXPECT_EQ(sub.outOfOrder, 0);
    EXPECT_EQ(snd.runnable->getSpoolSize(), 0);
    EXPECT_EQ(host.sink.count("Runnable::retryToSendSpool(): send failure 1000 times from threadSND| to thread|RCV|",
                              LOG_LEVEL_WARNING),
              1);
}

namespace
{
struct Recorder : TarvokTimerHandler
{
    void onTimer(TarvokTimer*) override
    {
        threads.push_back(threadName());
        if (threads.size() >= 3 && stopAfterThree && !stopAsked && (!mayStop || mayStop()))
        {
            stopAsked = true;
            stopFramework();
        }
    }
    std::vector<std::string> threads;
    bool stopAfterThree = true;
    bool stopAsked = false;
    std::function<bool()> mayStop; // on the timer's thread
};
} // namespace

TEST(Timers, StartUpTimerFiresOnItsOwnerAndAWithdrawnOneNever)
{
    Host host;
    Thread<> owner(host, "TOWNER");
    Thread<> other(host, "TOTHER");
    Recorder fires;
    Recorder never;
    never.stopAfterThree = false;
    // Made on this (start-up) thread before any framework thread runs.
    TarvokTimer timer;
    ASSERT_FALSE(!timer.create(&owner.session, &fires, 5, nullptr));
    TarvokTimer withdrawn;
    withdrawn.create(&owner.session, &never, 1, nullptr);
    withdrawn.destroy();
    auto freed = std::make_unique<TarvokTimer>();
    freed->create(&other.session, &never, 1, nullptr);
    freed.reset();

    struct States : OrluSubscriber<Zunq::ThreadStatus>
    {
        States() : OrluSubscriber<Zunq::ThreadStatus>("states") {}
        void onData(const Orlu<Zunq::ThreadStatus>&, const std::string&, const Zunq::ThreadStatus& s) override
        {
            seen.push_back(s.mState);
        }
        std::vector<uint32_t> seen;
    } states;
    owner.runnable->getOrluThreadStatus()->subscribe(&states);
    // A loaded machine may bring three expiries before APP_READY: wait for it.
    fires.mayStop = [&] {
        return std::find(states.seen.begin(), states.seen.end(), Zunq::THD_APP_READY) != states.seen.end();
    };

    ASSERT_TRUE(runFramework({{"TOWNER", 100}, {"TOTHER", 100}}, "", std::chrono::seconds(20)));
    // The stop asked for at the third expiry may land after one more.
    ASSERT_GE(fires.threads.size(), 3u);
    EXPECT_EQ(std::count(fires.threads.begin(), fires.threads.end(), "TOWNER"),
              static_cast<std::ptrdiff_t>(fires.threads.size()));
    // INIT first, TERM last, APP_READY between (INIT_ACK only where the framework sends it).
    ASSERT_GE(states.seen.size(), 3u);
    EXPECT_EQ(states.seen.front(), Zunq::THD_INIT);
    EXPECT_EQ(states.seen.back(), Zunq::THD_TERM);
    EXPECT_NE(std::find(states.seen.begin(), states.seen.end(), Zunq::THD_APP_READY), states.seen.end());
    EXPECT_EQ(owner.runnable->getThreadState(), Zunq::THD_TERM);
    EXPECT_TRUE(never.threads.empty());
}

namespace
{
// Asks for more timers than the thread may hold, at INIT, on its own thread.
struct Greedy : Runnable
{
    using Runnable::Runnable;
    void init() override
    {
        for (auto& t : timers)
            refused += !t.create(getTarvokSession(), &rec, 1000, nullptr) ? 1 : 0;
        for (auto& t : timers)
            valid += t.isValid() ? 1 : 0;
    }
    void appReady() override
    {
        for (auto& t : queued)
            queuedValid += t.isValid() ? 1 : 0;
        stopFramework();
    }
    TarvokTimer timers[8];
    TarvokTimer queued[8];
    int refused = 0;
    int valid = 0;
    int queuedValid = 0;
    Recorder rec;
};
} // namespace

// A refused timer is not valid, whether made at once on its own thread (the
// caller hears of it) or queued from another; nothing waits on it.
TEST(Timers, ARefusedTimerIsInvalidAndLoggedWithTheThreadsCount)
{
    Host host;
    Thread<Greedy> t(host, "GREEDY");
    Greedy& greedy = *t.runnable;
    // Asked for from this thread: made when the thread starts, before INIT's own.
    for (auto& q : greedy.queued)
        ASSERT_FALSE(!q.create(&t.session, &greedy.rec, 1000, nullptr));
    // One descriptor for application timers besides the framework's own.
    ASSERT_TRUE(runFramework({{"GREEDY", 100}}, "MSG_DISP_FD_NUM INT32 1\n", std::chrono::seconds(20)));
    EXPECT_EQ(greedy.refused, 8);
    EXPECT_EQ(greedy.valid, 0);
    EXPECT_LT(greedy.queuedValid, 8);
    EXPECT_GE(host.sink.count("TarvokTimer::create() : create 1000 ms timer failed with error 202", LOG_LEVEL_WARNING),
              8 + (8 - greedy.queuedValid));
    EXPECT_GT(host.sink.count("| holds ", LOG_LEVEL_WARNING), 0);
    EXPECT_EQ(host.sink.count("Runnable::createTimer(GREEDY) : invalid timer handle", LOG_LEVEL_ERROR),
              8 - greedy.queuedValid);
    EXPECT_GT(t.runnable->getNumTimers(), 0);
}

namespace
{
// Re-arms its timer from the first expiry; stops after three more.
struct Rearm : TarvokTimerHandler
{
    void onTimer(TarvokTimer* t) override
    {
        handles.push_back(t->getHandle());
        if (handles.size() == 1)
        {
            failed = !t->setInterval(20);
            unsigned int ms = 0;
            t->getInterval(ms);
            interval = ms;
        }
        else if (handles.size() == 4)
        {
            t->destroy();
            stopFramework();
        }
    }
    std::vector<long> handles;
    bool failed = true;
    unsigned int interval = 0;
};
} // namespace

TEST(Timers, NewIntervalReplacesTheRunningTimer)
{
    Host host;
    Thread<> owner(host, "TREARM");
    Rearm rearm;
    TarvokTimer timer;
    timer.create(&owner.session, &rearm, 5, nullptr);
    ASSERT_TRUE(runFramework({{"TREARM", 100}}, "", std::chrono::seconds(20)));
    ASSERT_EQ(rearm.handles.size(), 4u);
    EXPECT_FALSE(rearm.failed);
    EXPECT_EQ(rearm.interval, 20u);
    EXPECT_NE(rearm.handles[1], rearm.handles[0]);                // a new framework timer
    EXPECT_EQ(rearm.handles[3], rearm.handles[1]);                // which keeps firing
    EXPECT_EQ(timer.getHandle(), 0);                              // destroyed
    EXPECT_EQ(host.sink.count("could not be found in thread"), 0);
}

namespace
{
// At APP_READY, hops work onto the other thread: a timer made there at run
// time, which then fires on its owner.
struct Hopper : Runnable
{
    using Runnable::Runnable;
    void appReady() override { rc = hop("HOPDST", work); }
    std::function<void()> work;
    int rc = -1;
};
} // namespace

TEST(Hops, WorkRunsOnTheTargetThreadAndATimerMadeThereFiresThere)
{
    Host host;
    Thread<Hopper> from(host, "HOPSRC");
    Thread<> to(host, "HOPDST");
    acceptHops(*to.runnable);
    std::string ranOn;
    Recorder fires;
    TarvokTimer timer;
    from.runnable->work = [&] {
        ranOn = threadName();
        timer.create(&to.session, &fires, 5, nullptr);
    };
    EXPECT_EQ(hop("HOPDST", from.runnable->work), FUNC_NOT_ALLOWED); // not from a framework thread
    ASSERT_TRUE(runFramework({{"HOPSRC", 100}, {"HOPDST", 100}}, "", std::chrono::seconds(20)));
    EXPECT_EQ(from.runnable->rc, 0);
    EXPECT_EQ(ranOn, "HOPDST");
    // The stop asked for at the third expiry may land after more.
    ASSERT_GE(fires.threads.size(), 3u);
    EXPECT_EQ(std::count(fires.threads.begin(), fires.threads.end(), "HOPDST"),
              static_cast<std::ptrdiff_t>(fires.threads.size()));
}

namespace
{
// A timer of one thread re-armed and then destroyed from another: both are
// carried out on the owner, so the framework's timer operations never run on
// a thread that does not own the timer.
struct FromAfar : TarvokTimerHandler
{
    void onTimer(TarvokTimer* t) override
    {
        threads.push_back(threadName());
        handles.push_back(t->getHandle());
        fires.fetch_add(1);
        if (handles.size() == 1)
        {
            timersBefore = owner->getNumTimers();
            hop("TFAR", rearm);
        }
        else if (handles.back() != handles.front() && !stopAsked)
        {
            stopAsked = true;
            hop("TFAR", stop);
        }
    }
    Runnable* owner = nullptr;
    std::function<void()> rearm;
    std::function<void()> stop;
    std::vector<std::string> threads;
    std::vector<long> handles;
    std::atomic<size_t> fires{0};
    int timersBefore = 0;
    bool stopAsked = false;
};

struct StopLater : TarvokTimerHandler
{
    void onTimer(TarvokTimer* t) override
    {
        t->destroy();
        stopFramework();
    }
};
} // namespace

TEST(Timers, ReArmAndDestroyFromAnotherThreadRunOnTheOwner)
{
    Host host;
    Thread<> owner(host, "TNEAR");
    Thread<> far(host, "TFAR");
    acceptHops(*far.runnable);
    FromAfar handler;
    handler.owner = owner.runnable.get();
    TarvokTimer timer;
    StopLater stopper;
    TarvokTimer later;
    size_t firesAtDestroy = 0;
    int timersAtEnd = -1;
    handler.rearm = [&] { timer.setInterval(20); };
    handler.stop = [&] {
        timer.destroy();
        firesAtDestroy = handler.fires.load();
        later.create(&far.session, &stopper, 100, nullptr);
    };
    struct AtTerm : OrluSubscriber<Zunq::ThreadStatus>
    {
        AtTerm() : OrluSubscriber<Zunq::ThreadStatus>("atterm") {}
        void onData(const Orlu<Zunq::ThreadStatus>&, const std::string&, const Zunq::ThreadStatus& s) override
        {
            if (s.mState == Zunq::THD_TERM)
                at();
        }
        std::function<void()> at;
    } atTerm;
    atTerm.at = [&] { timersAtEnd = owner.runnable->getNumTimers(); };
    owner.runnable->getOrluThreadStatus()->subscribe(&atTerm);
    timer.create(&owner.session, &handler, 5, nullptr);

    ASSERT_TRUE(runFramework({{"TNEAR", 100}, {"TFAR", 100}}, "", std::chrono::seconds(20)));
    ASSERT_GE(handler.handles.size(), 2u);
    EXPECT_EQ(std::count(handler.threads.begin(), handler.threads.end(), "TNEAR"),
              static_cast<std::ptrdiff_t>(handler.threads.size()));
    EXPECT_NE(handler.handles.back(), handler.handles.front()); // re-armed: a new framework timer
    unsigned int ms = 0;
    timer.getInterval(ms);
    EXPECT_EQ(ms, 20u);
    // Stopped by its owner: no expiry after the destroy, one timer fewer.
    EXPECT_EQ(handler.handles.size(), firesAtDestroy);
    EXPECT_EQ(timer.getHandle(), 0);
    EXPECT_EQ(timersAtEnd, handler.timersBefore - 1);
    EXPECT_EQ(host.sink.count("stopTimer|"), 0);
    EXPECT_EQ(host.sink.count("failed!"), 0);
}

namespace
{
// Counts expiries on its timer's thread; `step` runs after each.
struct Ticks : TarvokTimerHandler
{
    void onTimer(TarvokTimer*) override
    {
        threads.push_back(threadName());
        if (step)
            step();
    }
    std::vector<std::string> threads;
    std::function<void()> step;
};
} // namespace

// A timer object deleted on another framework thread than its owner: the
// owner's dispatcher holds the framework timer and stops it, the deleting
// thread's own timer runs on, and no expiry looks for the deleted object.
TEST(Timers, DeletedOnAnotherThreadItIsStoppedByItsOwner)
{
    Host host;
    Thread<> owner(host, "TDOWNER");
    Thread<> far(host, "TDFAR");
    acceptHops(*far.runnable);
    Ticks doomedTicks;
    Ticks farTicks;
    auto doomed = std::make_unique<TarvokTimer>();
    TarvokTimer farTimer;
    int timersBefore = -1;
    std::atomic<bool> deleted{false};
    size_t doomedTicksAtDelete = 0;
    size_t farTicksAtDelete = 0;
    bool stopAsked = false;
    std::atomic<bool> hopped{false};
    std::atomic<bool> release{false};
    const std::function<void()> deleteDoomed = [&] {
        doomedTicksAtDelete = doomedTicks.threads.size(); // the owner waits in its handler meanwhile
        farTicksAtDelete = farTicks.threads.size();
        doomed.reset();
        deleted = true;
        release = true;
    };
    doomedTicks.step = [&] {
        if (hopped.exchange(true))
            return;
        timersBefore = owner.runnable->getNumTimers();
        hop("TDFAR", deleteDoomed);
        // Held here until the object is gone, so that the owner's
        // dispatcher cannot fire it again before the delete.
        while (!release.load())
            std::this_thread::yield();
    };
    farTicks.step = [&] {
        // Done once the owner holds one timer fewer and this thread's own
        // timer has gone on a few more times.
        if (deleted && !stopAsked && owner.runnable->getNumTimers() == timersBefore - 1 &&
            farTicks.threads.size() >= farTicksAtDelete + 3)
        {
            stopAsked = true;
            stopFramework();
        }
    };
    ASSERT_FALSE(!doomed->create(&owner.session, &doomedTicks, 5, nullptr));
    ASSERT_FALSE(!farTimer.create(&far.session, &farTicks, 5, nullptr));

    ASSERT_TRUE(runFramework({{"TDOWNER", 100}, {"TDFAR", 100}}, "", std::chrono::seconds(20)));
    EXPECT_EQ(doomedTicks.threads.size(), doomedTicksAtDelete);
    EXPECT_EQ(std::count(farTicks.threads.begin(), farTicks.threads.end(), "TDFAR"),
              static_cast<std::ptrdiff_t>(farTicks.threads.size()));
    EXPECT_EQ(host.sink.count("could not be found in thread"), 0);
    EXPECT_EQ(host.sink.count("stopTimer|"), 0);
    EXPECT_EQ(host.sink.count("could not be stopped"), 0);
}

namespace
{
// Starts its congestion timer at APP_READY and stops it at the first step of
// a timer of its own; the second step ends the run.
struct Congested : Runnable
{
    Congested(const char* name, ZunqConfigManager& cfg, ModuleList& modules, Log& log, unsigned int spool)
        : Runnable(name, cfg, modules, log, spool), sink(nullptr)
    {
    }
    void appReady() override
    {
        setCongestTimeoutInterval(10);
        startCongestTimeoutTimer();
        startCongestTimeoutTimer(); // already running: no second timer
        step.create(getTarvokSession(), this, 80, nullptr);
    }
    void onTimer(TarvokTimer* t) override
    {
        if (t != &step)
            return Runnable::onTimer(t);
        if (++steps == 1)
        {
            linesWhileRunning = sink->count(cLine, LOG_LEVEL_ERROR);
            stopCongestTimeoutTimer();
            linesAtStop = sink->count(cLine, LOG_LEVEL_ERROR);
            return;
        }
        linesAfterStop = sink->count(cLine, LOG_LEVEL_ERROR);
        step.destroy();
        stopFramework();
    }
    static constexpr const char* cLine = "Runnable::onTimer(CONGEST) : the message queue is full during last 10 ms";
    CaptureSink* sink;
    TarvokTimer step;
    int steps = 0;
    int linesWhileRunning = 0;
    int linesAtStop = 0;
    int linesAfterStop = -1;
};
} // namespace

TEST(Timers, CongestionTimerReportsEachIntervalUntilStopped)
{
    Host host;
    Thread<Congested> t(host, "CONGEST");
    t.runnable->sink = &host.sink;
    ASSERT_TRUE(runFramework({{"CONGEST", 100}}, "", std::chrono::seconds(20)));
    EXPECT_GE(t.runnable->linesWhileRunning, 2);
    EXPECT_EQ(t.runnable->linesAfterStop, t.runnable->linesAtStop);
    EXPECT_EQ(host.sink.count("Runnable::startCongestTimeoutTimer(CONGEST) : create timer|10"), 1);
    EXPECT_EQ(host.sink.count("Runnable::stopCongestTimeoutTimer(CONGEST) : stop timer"), 1);
}
