// Faults and rarely taken paths of the dispatcher loop: timers freed while the
// ready list still names them, stage descriptors that keep the wait from
// blocking, the descriptor limit, refused message types, 9998 from timers and
// pipelines, and a status report that could not be sent.
#include "DispatcherHarness.h"

#include <algorithm>
#include <future>
#include <mutex>
#include <pthread.h>
#include <time.h>

namespace
{
constexpr int32 APP_EVT = APP_DEFINED_EVENT_BASE + 1;
constexpr int32 APP_EVT2 = APP_DEFINED_EVENT_BASE + 2;
// A status timer that never fires while a test runs.
const std::string QUIET = "STS_RPT_INTERVAL INT32 100000\n";

int64 threadCpuNs(std::thread& thread)
{
    clockid_t clock;
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0)
        return -1;
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

// A queue callback removes a timer that is ready in the same pass as the
// queue and a stage: the stage pass reads the ready list, which still names
// the timer, so the timer must outlive the pass (ASan reports the read
// otherwise). The removed timer is not delivered.
TEST(DispatcherLoopFaults, TimerRemovedByAQueueCallbackOutlivesTheStagePass)
{
    DispatcherHarness h(EVENT_LOOP, QUIET);
    // As many stages as descriptors are taken per wait, so the stage pass
    // walks the ready list.
    std::vector<std::unique_ptr<Pipeline>> pipelines;
    for (const char* name : {"PL1", "PL2", "PL3"})
    {
        pipelines.push_back(std::make_unique<Pipeline>(8, 4096, 2, CPU_UTILIZATION, false));
        ASSERT_TRUE(pipelines.back()->isValid());
        h.assignStage(*pipelines.back(), name, 0);
    }
    std::promise<void> armed, go;
    auto armedDone = armed.get_future();
    auto goSignal = go.get_future().share();
    h.setScript([&](const CallRecord& r, EventMsg*) {
        MsgDispatcher* d = MsgDispatcher::getMsgDispatcher();
        if (r.type == MSG_EVENT && r.id == APP_EVT)
        {
            d->createTimer("DOOMED", 1, false);
            armed.set_value();
            goSignal.wait();
            // The timer expires before the next wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (r.type == MSG_EVENT && r.id == APP_EVT2)
        {
            EXPECT_EQ(d->removeTimer("DOOMED"), 0);
        }
        return 0;
    });
    h.start();
    h.init();
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
    ASSERT_EQ(armedDone.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    // Ready together at the next wait: the high-priority queue, a stage, the timer.
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, APP_EVT2), 0);
    ASSERT_EQ(pipelines[0]->enqueue("entry", plHeader("PLCHAN", 5), 5), 0);
    go.set_value();
    ASSERT_TRUE(h.waitForData("PLCHAN"));
    ASSERT_TRUE(h.waitForEvent(APP_EVT2));
    EXPECT_EQ(h.countEvents(TIMER), 0u);
    h.stop();
}

// An entry that may not be served yet (no INIT, or INIT failed) must let the
// thread sleep, and is served once an INIT succeeds.
TEST(DispatcherLoopFaults, StageEntryBeforeASuccessfulInitLetsTheThreadSleep)
{
    for (bool initFailsFirst : {false, true})
    {
        SCOPED_TRACE(initFailsFirst);
        DispatcherHarness h(EVENT_LOOP, QUIET);
        Pipeline pipeline(8, 4096, 2, CPU_UTILIZATION, false);
        ASSERT_TRUE(pipeline.isValid());
        h.assignStage(pipeline, "PL1", 0);
        std::atomic<int> inits{0};
        h.setScript([&](const CallRecord& r, EventMsg*) {
            return r.id == INIT && inits++ == 0 && initFailsFirst ? 7 : 0;
        });
        h.start();
        if (initFailsFirst)
        {
            h.init(7);
            EventMsg status{};
            ASSERT_TRUE(h.nextCtlEvent(status));
            EXPECT_EQ(status.id, ITC_STATUS);
        }
        ASSERT_EQ(pipeline.enqueue("early", plHeader("PLCHAN", 5), 5), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int64 before = threadCpuNs(h.m_thread);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        const int64 used = threadCpuNs(h.m_thread) - before;
        // A spinning thread uses most of the 400 ms even on a busy machine.
        EXPECT_LT(used, 40 * 1000000) << "CPU ns used while waiting: " << used;
        EXPECT_FALSE(h.waitForData("PLCHAN", 1));
        h.init();
        ASSERT_TRUE(h.waitForData("PLCHAN"));
        h.stop();
    }
}

// The timer limit follows MSG_DISP_FD_NUM: the value plus 5, and a value
// below 1 is the default 100.
TEST(DispatcherLoopFaults, DescriptorLimitFollowsTheSettingAndItsDefault)
{
    struct Case
    {
        const char* setting;
        int32 timers;
    };
    for (const Case& c : {Case{"0", 105}, Case{"-4", 105}, Case{"10", 15}, Case{"", 105}})
    {
        SCOPED_TRACE(c.setting);
        std::string config = QUIET;
        if (c.setting[0] != '\0')
            config += std::string("MSG_DISP_FD_NUM INT32 ") + c.setting + "\n";
        DispatcherHarness h(EVENT_LOOP, config);
        int32 created = 0;
        int32 refusal = 0;
        h.setScript([&](const CallRecord& r, EventMsg*) {
            if (r.id != APP_EVT)
                return 0;
            MsgDispatcher* d = MsgDispatcher::getMsgDispatcher();
            while (d->createTimer(("T" + std::to_string(created)).c_str(), 3600000, false) == 0)
                ++created;
            refusal = FrameworkErrno::m_fwErrno;
            return 0;
        });
        h.start();
        h.init();
        ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
        ASSERT_TRUE(h.waitForEvent(APP_EVT));
        EXPECT_EQ(created, c.timers);
        EXPECT_EQ(refusal, NOT_ENOUGH_EMPTY_ENTRY);
        h.stop();
    }
}

// Timers made by the INIT callback leave room for the stage descriptors that
// join the wait once INIT succeeded, so INIT succeeds and the stages are served.
TEST(DispatcherLoopFaults, TimersMadeAtInitLeaveRoomForTheStages)
{
    DispatcherHarness h(EVENT_LOOP, QUIET);
    Pipeline first(8, 4096, 2, CPU_UTILIZATION, false);
    Pipeline second(8, 4096, 2, CPU_UTILIZATION, false);
    h.assignStage(first, "PL1", 0);
    h.assignStage(second, "PL2", 0);
    int32 created = 0;
    int32 refusal = 0;
    h.setScript([&](const CallRecord& r, EventMsg*) {
        if (r.id != INIT)
            return 0;
        MsgDispatcher* d = MsgDispatcher::getMsgDispatcher();
        while (d->createTimer(("T" + std::to_string(created)).c_str(), 3600000, false) == 0)
            ++created;
        refusal = FrameworkErrno::m_fwErrno;
        return 0;
    });
    h.start();
    h.init();
    EXPECT_EQ(created, 103);
    EXPECT_EQ(refusal, WAIT_OBJECT_LIST_FULL);
    ASSERT_EQ(first.enqueue("one", plHeader("PLCHAN1", 3), 5), 0);
    ASSERT_EQ(second.enqueue("two", plHeader("PLCHAN2", 3), 5), 0);
    EXPECT_TRUE(h.waitForData("PLCHAN1"));
    EXPECT_TRUE(h.waitForData("PLCHAN2"));
    h.stop();
}

// A message of no known type, from a queue or a stage, is logged and dropped;
// the thread goes on.
TEST(DispatcherLoopFaults, UnknownMessageTypesAreLoggedAndSkipped)
{
    struct Case
    {
        const char* what;
        std::function<int32(DispatcherHarness&, Pipeline&)> put;
        const char* log;
    };
    const std::vector<Case> cases = {
        {"queue",
         [](DispatcherHarness& h, Pipeline&) {
             auto msg = DispatcherHarness::makePart("SENDER", "ODD", 0, false, "odd");
             msg->appMsg.type = static_cast<MessageType>(99);
             return h.putRaw(MQUEUE_NORMAL, *msg);
         },
         "Unknown message type [99] received from message queue."},
        {"stage",
         [](DispatcherHarness&, Pipeline& pl) {
             return pl.enqueue("odd", plHeader("ODD", 3, static_cast<MessageType>(99)), 5);
         },
         "Unexpected message type [99] received from [SENDER] via pipeline."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        DispatcherHarness h(EVENT_LOOP, QUIET);
        Pipeline pipeline(8, 4096, 2, CPU_UTILIZATION, false);
        h.assignStage(pipeline, "PL1", 0);
        h.start();
        h.init();
        ASSERT_EQ(c.put(h, pipeline), 0);
        ASSERT_EQ(pipeline.enqueue("good", plHeader("PLCHAN", 4), 5), 0);
        ASSERT_TRUE(h.waitForData("PLCHAN"));
        ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
        ASSERT_TRUE(h.waitForEvent(APP_EVT));
        EXPECT_TRUE(testLog().contains(c.log));
        for (const CallRecord& r : h.calls())
            EXPECT_NE(r.name, "ODD");
        h.stop();
    }
}

// 9998 from a timer or a stage callback ends the thread when the application
// may trigger it, after reporting the code, in every loop.
TEST(DispatcherLoopFaults, ProcessTerminationFromTimerOrStageEndsTheThread)
{
    struct Case
    {
        const char* what;
        bool timer;
        const char* log;
    };
    for (const LoopSetup& setup : {EVENT_LOOP, TIMED_LOOP, POLLING_LOOP})
        for (const Case& c : {Case{"timer", true, "to trigger process termination on processing timer event."},
                              Case{"stage", false, "triggered process termination when processing messages on "
                                                   "pipeline [PL1] stage [0]."}})
        {
            SCOPED_TRACE(std::string(setup.name) + " " + c.what);
            testLog().clear();
            DispatcherHarness h(setup);
            GlobalData::getInst().m_allowAppTriggeredTerm = true;
            Pipeline pipeline(8, 4096, 2, setup.processMode, false);
            h.assignStage(pipeline, "PL1", 0);
            h.setScript([](const CallRecord& r, EventMsg*) -> int32 {
                if (r.id == APP_EVT)
                    return MsgDispatcher::getMsgDispatcher()->createTimer("BYE", 1, false);
                if ((r.type == MSG_EVENT && r.id == TIMER) || (r.type == MSG_DATA && r.name == "PLCHAN"))
                    return PROCESS_TERMINATION;
                return 0;
            });
            h.start();
            h.init();
            if (c.timer)
            {
                ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
            }
            else
            {
                ASSERT_EQ(pipeline.enqueue("bye", plHeader("PLCHAN", 3), 5), 0);
            }
            EventMsg status{};
            ASSERT_TRUE(h.nextCtlEvent(status));
            EXPECT_EQ(status.id, ITC_STATUS);
            EXPECT_EQ(status.eventParam.paramInt32, PROCESS_TERMINATION);
            ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT2), 0);
            EXPECT_FALSE(h.waitForEvent(APP_EVT2, 200)) << "the thread went on";
            // A thread that went on ends here (with the wrong exit flag), so
            // the test cannot hang on it.
            h.sendEvent(MQUEUE_HIGH_PRIORITY, TERM);
            h.join();
            EXPECT_EQ(h.m_exitHdr, 1);
            EXPECT_EQ(h.m_runResult, 0);
            EXPECT_TRUE(testLog().contains(c.log));
        }
}

// A failure code whose report could not be sent is not taken as reported: the
// same code is sent once the control thread takes events again.
TEST(DispatcherLoopFaults, StatusReportThatFailedIsSentAgainLater)
{
    testLog().clear();
    DispatcherHarness h(EVENT_LOOP, QUIET);
    h.setScript([](const CallRecord& r, EventMsg*) { return r.id == APP_EVT ? 5 : 0; });
    h.start();
    h.init();
    h.m_ctl->status.store(RES_TERMINATED);
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
    ASSERT_TRUE(h.waitForEvent(APP_EVT));
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT2), 0);
    ASSERT_TRUE(h.waitForEvent(APP_EVT2));
    EventMsg status{};
    EXPECT_FALSE(h.nextCtlEvent(status, 50));
    EXPECT_TRUE(testLog().contains("Error in processing event message [" + std::to_string(APP_EVT) + "]"));

    h.m_ctl->status.store(RES_ACTIVE);
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_EVT), 0);
    ASSERT_TRUE(h.nextCtlEvent(status));
    EXPECT_EQ(status.id, ITC_STATUS);
    EXPECT_EQ(status.eventParam.paramInt32, 5);
    h.stop();
}

namespace
{
std::mutex g_secondMutex;
std::vector<std::string> g_secondData;

int32 secondThreadCallback(MessageType type, EventMsg*, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
    {
        std::lock_guard lock(g_secondMutex);
        g_secondData.emplace_back(data->bufPtr, static_cast<size_t>(data->dataLen));
    }
    return 0;
}
} // namespace

// Two application threads serve one stage: every entry reaches exactly one of
// them, and an entry the other thread took first (an empty stage or a lost
// race when locking it) is no error.
TEST(DispatcherLoopFaults, TwoThreadsServingOneStageShareItsEntriesWithoutErrors)
{
    for (const LoopSetup& setup : {EVENT_LOOP, POLLING_LOOP})
    {
        SCOPED_TRACE(setup.name);
        testLog().clear();
        g_secondData.clear();
        DispatcherHarness h(setup);
        Pipeline pipeline(64, 256, 1, setup.processMode, false);
        ASSERT_TRUE(pipeline.isValid());
        h.assignStage(pipeline, "PL1", 0);

        ThreadResource* second = h.registerThread("APP2", setup.thdOpt);
        FwMessageQueue high(16, false, true, setup.queueMode, false, 100);
        FwMessageQueue normal(16, false, true, setup.queueMode, false, 100);
        second->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &high;
        second->msgQueuePtrArray[MQUEUE_NORMAL] = &normal;
        second->status.store(RES_ACTIVE);
        second->appCallbackFuncPtr = &secondThreadCallback;
        second->pipelineRec[0] = h.m_app->pipelineRec[0];
        second->numOfPipeline = 1;
        int32 secondExit = -7;
        std::thread secondThread([&] {
            MsgDispatcher dispatcher(second, h.m_registry, h.m_config.get());
            dispatcher.run(secondExit);
        });

        h.start();
        h.init();
        EventParam param{};
        ASSERT_EQ(h.m_events->sendEventMsg(second, MQUEUE_HIGH_PRIORITY, INIT, param, h.m_seq), 0);
        EventMsg ack{};
        ASSERT_TRUE(h.nextCtlEvent(ack));
        EXPECT_EQ(ack.id, INIT_ACK);

        constexpr int32 ENTRIES = 3000;
        for (int32 i = 0; i < ENTRIES; ++i)
        {
            const std::string text = std::to_string(i);
            while (pipeline.enqueue(text.data(), plHeader("PLCHAN", static_cast<uint32>(text.size())), 5) != 0)
                std::this_thread::yield();
        }
        auto delivered = [&] {
            size_t n = 0;
            for (const CallRecord& r : h.calls())
                n += r.type == MSG_DATA;
            std::lock_guard lock(g_secondMutex);
            return n + g_secondData.size();
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (delivered() < ENTRIES && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));

        ASSERT_EQ(h.m_events->sendEventMsg(second, MQUEUE_HIGH_PRIORITY, TERM, param, h.m_seq), 0);
        secondThread.join();
        EXPECT_EQ(secondExit, 0);
        h.stop();

        std::vector<int32> seen(ENTRIES, 0);
        std::vector<std::string> all = g_secondData;
        for (const CallRecord& r : h.calls())
            if (r.type == MSG_DATA)
                all.push_back(r.data);
        for (const std::string& text : all)
            ++seen.at(static_cast<size_t>(std::stoi(text)));
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), ENTRIES) << "each entry exactly once";
        EXPECT_EQ(all.size(), static_cast<size_t>(ENTRIES));
        for (const std::string& line : testLog().lines())
            EXPECT_EQ(line.find("processing messages on pipeline"), std::string::npos) << line;
    }
}
