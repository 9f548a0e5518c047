#include "DispatcherHarness.h"

#include <stdexcept>

namespace
{
constexpr int32 APP_EVT = APP_DEFINED_EVENT_BASE + 1;
constexpr int32 APP_EVT2 = APP_DEFINED_EVENT_BASE + 2;

std::string pattern(size_t len, char seed)
{
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i)
        s[i] = static_cast<char>(seed + i % 23);
    return s;
}
} // namespace

class EveryLoop : public ::testing::TestWithParam<LoopSetup>
{
};

INSTANTIATE_TEST_SUITE_P(Loops, EveryLoop, ::testing::Values(EVENT_LOOP, TIMED_LOOP, POLLING_LOOP),
                         [](const auto& info) { return std::string(info.param.name); });

// The whole road in each loop: events before INIT dropped, INIT answered,
// events and single and joined data delivered on the dispatcher's own marked
// thread, a pipeline entry delivered in place and passed on, a timer made
// from a callback firing, liveness refreshed, TERM ending the thread.
TEST_P(EveryLoop, ServesQueuesStagesAndTimersAndStopsOnTerm)
{
    DispatcherHarness h(GetParam());
    // The pipeline runs in the process mode: in a LOW_LATENCY process its
    // stages have no wake-up descriptor, also for a CPU-optimised thread.
    Pipeline pipeline(8, 4096, 2, GetParam().processMode, false);
    ASSERT_TRUE(pipeline.isValid());
    h.assignStage(pipeline, "PL1", 0);

    // Queued ahead of INIT on the same queue, so they are served before it.
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, APP_EVT2, 0, "EARLY"), 0);
    ASSERT_EQ(h.putPart(MQUEUE_HIGH_PRIORITY, "SENDER", "EARLYDATA", 0, false, "x"), 0);
    h.setScript([](const CallRecord& r, EventMsg*) {
        if (r.type == MSG_EVENT && r.id == APP_EVT && r.name == "MKTIMER")
            return MsgDispatcher::getMsgDispatcher()->createTimer("TICK", 2, true);
        return 0;
    });
    h.start();
    h.init();
    // Start-up set the time stamp; with nothing to serve, only the loop's own
    // liveness refresh sets it again.
    h.m_app->lastStatusUpdTm.store(0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (h.m_app->lastStatusUpdTm.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_NE(h.m_app->lastStatusUpdTm.load(), 0);

    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT, 0, "HELLO"), 0);
    ASSERT_TRUE(h.waitForEvent(APP_EVT));
    const std::string big = pattern(5000, 'a');
    h.putSplit(MQUEUE_NORMAL, "SENDER", "CHAN1", big);
    ASSERT_EQ(h.putPart(MQUEUE_HIGH_PRIORITY, "SENDER", "CHAN2", 0, false, "small"), 0);
    const std::string plBytes = pattern(3000, 'k');
    ASSERT_EQ(pipeline.enqueue(plBytes.data(), plHeader("PLCHAN", 3000), 5), 0);
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT, 0, "MKTIMER"), 0);

    ASSERT_TRUE(h.waitForData("CHAN1"));
    ASSERT_TRUE(h.waitForData("CHAN2"));
    ASSERT_TRUE(h.waitForData("PLCHAN"));
    ASSERT_TRUE(h.waitForEvent(TIMER));

    // The stage released the entry: stage 1 can take it, bytes unchanged.
    std::string out(4096, '\0');
    PipelineMsgHeader outHdr{};
    int32 taken = -1;
    for (int i = 0; i < 1000 && taken != 0; ++i)
        taken = pipeline.dequeue(1, out.data(), static_cast<uint32>(out.size()), outHdr, 1);
    ASSERT_EQ(taken, 0);
    EXPECT_EQ(out.substr(0, outHdr.dataLen), plBytes);

    for (const CallRecord& r : h.calls())
    {
        EXPECT_NE(r.name, "EARLY");
        EXPECT_NE(r.name, "EARLYDATA");
        EXPECT_TRUE(r.sawOwnDispatcher);
        EXPECT_TRUE(r.markedDispatcherThread);
        if (r.name == "CHAN1")
        {
            EXPECT_EQ(r.data, big);
        }
        if (r.name == "CHAN2")
        {
            EXPECT_EQ(r.data, "small");
        }
        if (r.name == "PLCHAN")
        {
            EXPECT_EQ(r.data, plBytes);
            EXPECT_EQ(r.plStageNum, 0);
        }
        if (r.type == MSG_EVENT && r.id == TIMER)
        {
            EXPECT_EQ(r.name, "TICK");
            EXPECT_GE(r.paramInt64, 1);
        }
    }
    h.stop();
    EXPECT_EQ(h.countEvents(TERM), 1u);
}

// A timer callback removes both timers while both are ready in one pass: the
// other's pointer is still in the ready list and must not be used.
TEST_P(EveryLoop, TimerRemovedByAnotherTimersCallbackIsNeitherDeliveredNorTouched)
{
    DispatcherHarness h(GetParam());
    h.setScript([](const CallRecord& r, EventMsg*) {
        MsgDispatcher* d = MsgDispatcher::getMsgDispatcher();
        if (r.type == MSG_EVENT && r.id == APP_EVT)
        {
            d->createTimer("T1", 1, true);
            d->createTimer("T2", 1, true);
            // Both expire before the dispatcher looks again.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (r.type == MSG_EVENT && r.id == TIMER)
        {
            d->removeTimer("T1");
            d->removeTimer("T2");
        }
        return 0;
    });
    h.start();
    h.init();
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
    ASSERT_TRUE(h.waitForEvent(TIMER));
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT2), 0);
    ASSERT_TRUE(h.waitForEvent(APP_EVT2));
    EXPECT_EQ(h.countEvents(TIMER), 1u);
    h.stop();
}

TEST(MsgDispatcherLifecycle, InitFailureIsAnsweredAndReportedAndLaterEventsStayIgnored)
{
    DispatcherHarness h(EVENT_LOOP);
    h.setScript([](const CallRecord& r, EventMsg*) { return r.id == INIT ? 7 : 0; });
    h.start();
    h.init(7);
    EventMsg status{};
    ASSERT_TRUE(h.nextCtlEvent(status));
    EXPECT_EQ(status.id, ITC_STATUS);
    EXPECT_EQ(status.eventParam.paramInt32, 7);
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
    ASSERT_EQ(h.putPart(MQUEUE_NORMAL, "SENDER", "C", 0, false, "d"), 0);
    h.stop();
    for (const CallRecord& r : h.calls())
        EXPECT_EQ(r.id, INIT);
}

TEST(MsgDispatcherLifecycle, TermInTheMiddleOfABatchEndsItAfterTerm)
{
    DispatcherHarness h(EVENT_LOOP);
    // All four are queued before the thread starts, so they form one batch.
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, INIT), 0);
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, APP_EVT), 0);
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, TERM), 0);
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, APP_EVT2), 0);
    h.start();
    h.join();
    EXPECT_EQ(h.m_exitHdr, 0);
    EXPECT_EQ(h.m_runResult, 0);
    std::vector<int32> ids;
    for (const CallRecord& r : h.calls())
        ids.push_back(r.id);
    EXPECT_EQ(ids, (std::vector<int32>{INIT, APP_EVT, TERM}));
}

TEST(MsgDispatcherLifecycle, SwitchToActiveDrainsTheNormalQueueBeforeItsAnswer)
{
    for (int32 sw : {SW_ACTIVE, SW_STANDBY})
    {
        SCOPED_TRACE(sw);
        DispatcherHarness h(EVENT_LOOP);
        ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, INIT), 0);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
        ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, sw), 0);
        h.start();
        EventMsg ev{};
        ASSERT_TRUE(h.nextCtlEvent(ev));
        EXPECT_EQ(ev.id, INIT_ACK);
        ASSERT_TRUE(h.nextCtlEvent(ev));
        EXPECT_EQ(ev.id, sw == SW_ACTIVE ? SW_ACTIVE_ACK : SW_STANDBY_ACK);
        // Delivered before the answer was sent.
        EXPECT_EQ(h.countEvents(APP_EVT), 3u);
        h.stop();
    }
}

// 9998 ends the process only when the application may trigger it; otherwise
// it is a failure code like any other.
TEST(MsgDispatcherLifecycle, ProcessTerminationCodeHonouredOnlyWhenAllowed)
{
    for (bool allowed : {false, true})
    {
        SCOPED_TRACE(allowed);
        DispatcherHarness h(EVENT_LOOP);
        GlobalData::getInst().m_allowAppTriggeredTerm = allowed;
        h.setScript([](const CallRecord& r, EventMsg*) { return r.id == APP_EVT ? PROCESS_TERMINATION : 0; });
        h.start();
        h.init();
        ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
        EventMsg status{};
        ASSERT_TRUE(h.nextCtlEvent(status));
        EXPECT_EQ(status.id, ITC_STATUS);
        EXPECT_EQ(status.eventParam.paramInt32, PROCESS_TERMINATION);
        if (allowed)
        {
            h.join();
            EXPECT_EQ(h.m_exitHdr, 1);
            EXPECT_TRUE(testLog().contains("returned [9998] to trigger process termination"));
        }
        else
        {
            ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT2), 0);
            ASSERT_TRUE(h.waitForEvent(APP_EVT2));
            h.stop();
        }
    }
}

TEST(MsgDispatcherLifecycle, CallbackFailuresAreReportedOncePerChangeOfCode)
{
    DispatcherHarness h(EVENT_LOOP);
    h.setScript([](const CallRecord& r, EventMsg*) { return r.id == APP_EVT ? static_cast<int32>(r.name[0]) : 0; });
    h.start();
    h.init();
    for (const char* code : {"A", "A", "B", "B", "A"})
        ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT, 0, code), 0);
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT2), 0);
    ASSERT_TRUE(h.waitForEvent(APP_EVT2));
    std::vector<int32> reported;
    EventMsg ev{};
    while (h.nextCtlEvent(ev, 50))
        reported.push_back(ev.eventParam.paramInt32);
    EXPECT_EQ(reported, (std::vector<int32>{'A', 'B', 'A'}));
    h.stop();
}

TEST(MsgDispatcherLifecycle, ExceptionFromCallbackEndsTheThreadWithItsCode)
{
    DispatcherHarness h(POLLING_LOOP);
    h.setScript([](const CallRecord& r, EventMsg*) -> int32 {
        if (r.id == APP_EVT)
            throw std::runtime_error("boom");
        return 0;
    });
    h.start();
    h.init();
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
    h.join();
    EXPECT_EQ(h.m_runResult, -1);
    EXPECT_EQ(h.m_runErrno, EXCEPTION);
    EXPECT_EQ(h.m_exitHdr, 1);
    EXPECT_TRUE(testLog().contains("Caught an exception at Message Dispatcher"));
}

TEST(MsgDispatcherLifecycle, StartUpFailsWithoutCallbackOrControlThread)
{
    struct Case
    {
        const char* what;
        bool registerCtl;
        bool withCallback;
        const char* log;
    };
    for (const Case& c : {Case{"no callback", true, false, "Application Callback Function is NULL."},
                          Case{"no control thread", false, true, "getting main control thread resource pointer"}})
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        DispatcherHarness h(EVENT_LOOP, "", c.registerCtl, c.withCallback);
        h.start();
        h.join();
        EXPECT_EQ(h.m_runResult, -1);
        EXPECT_EQ(h.m_exitHdr, 1);
        EXPECT_TRUE(testLog().contains(c.log));
        EXPECT_TRUE(testLog().contains("occurred. Proceed thread termination."));
    }
}
