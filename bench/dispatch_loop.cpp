// Messages per second and per-message cost from a thread's queue through a
// running message dispatcher to the application callback, with the
// dispatcher polling (LOW_LATENCY) and woken by the queue's eventfd
// (CPU_UTILIZATION): a stream of puts, and one message at a time (put to
// callback and back).
#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

namespace
{
std::atomic<uint64> g_delivered{0};

int32 countingCallback(MessageType type, EventMsg*, DataMsg*)
{
    if (type == MSG_DATA)
        g_delivered.fetch_add(1, std::memory_order_release);
    return 0;
}

void setName(ResourceName& field, const char* text)
{
    ResourceManager::copyResourceName(field, text);
}

// A control thread, a sender and an application thread running a dispatcher.
struct LoopSetup
{
    explicit LoopSetup(OptimizationMode mode)
        : registry(nullptr),
          ctlHigh(1000, false, true, CPU_UTILIZATION, false, 100),
          ctlNormal(1000, false, true, CPU_UTILIZATION, false, 100),
          appHigh(1000, false, true, mode, false, 100),
          appNormal(1000, false, true, mode, false, 100)
    {
        GlobalData::getInst().m_optMode.store(mode);
        ctl = reg("CTL_THREAD");
        sender = reg("SENDER");
        app = reg("APP");
        ctl->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &ctlHigh;
        ctl->msgQueuePtrArray[MQUEUE_NORMAL] = &ctlNormal;
        ctl->status.store(RES_ACTIVE);
        app->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &appHigh;
        app->msgQueuePtrArray[MQUEUE_NORMAL] = &appNormal;
        app->status.store(RES_ACTIVE);
        app->appCallbackFuncPtr = &countingCallback;
        events = std::make_unique<EventMessage>(sender, registry);

        std::memset(&msg, 0, sizeof(msg));
        setName(msg.originatorTxt, "SENDER");
        msg.appMsg.type = MSG_DATA;
        setName(msg.appMsg.data.channelNameTxt, "CHAN");
        msg.appMsg.data.chnType = UDP_CHANNEL;
        msg.appMsg.data.dataLen = 64;

        thread = std::thread([this] {
            MsgDispatcher dispatcher(app, registry, nullptr);
            int32 exitHdr = 0;
            dispatcher.run(exitHdr);
        });
        EventParam param{};
        events->sendEventMsg(app, MQUEUE_HIGH_PRIORITY, INIT, param, seq);
        // Data before INIT is dropped: wait for the answer.
        FwIntMessage ack;
        bool more = false;
        while (ctlHigh.getMessage(&ack, more) != 0)
            std::this_thread::yield();
    }

    ~LoopSetup()
    {
        EventParam param{};
        events->sendEventMsg(app, MQUEUE_HIGH_PRIORITY, TERM, param, seq);
        thread.join();
    }

    ThreadResource* reg(const char* name)
    {
        ThreadParam p;
        registry.initThreadParam(p);
        setName(p.threadNameTxt, name);
        ThreadResource* res = nullptr;
        registry.registerThreadRes(p, true, &res);
        return res;
    }

    ResourceManager registry;
    FwMessageQueue ctlHigh, ctlNormal, appHigh, appNormal;
    ThreadResource* ctl = nullptr;
    ThreadResource* sender = nullptr;
    ThreadResource* app = nullptr;
    std::unique_ptr<EventMessage> events;
    uint32 seq = 0;
    FwIntMessage msg;
    std::thread thread;
};

void waitDelivered(uint64 target)
{
    while (g_delivered.load(std::memory_order_acquire) < target)
    {
    }
}

// A stream of 64-byte messages, put in bursts of 100 while the loop serves them.
void stream(benchmark::State& state, OptimizationMode mode)
{
    LoopSetup s(mode);
    constexpr int BURST = 100;
    uint64 sent = g_delivered.load();
    for (auto _ : state)
    {
        for (int i = 0; i < BURST; ++i)
        {
            while (s.appNormal.putMessage(&s.msg) != 0)
            {
            }
            ++sent;
        }
        waitDelivered(sent);
    }
    state.SetItemsProcessed(state.iterations() * BURST);
}

// One message at a time: put, wait for the callback to have run.
void oneAtATime(benchmark::State& state, OptimizationMode mode)
{
    LoopSetup s(mode);
    uint64 sent = g_delivered.load();
    for (auto _ : state)
    {
        s.appNormal.putMessage(&s.msg);
        waitDelivered(++sent);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(stream, polled, LOW_LATENCY)->UseRealTime();
BENCHMARK_CAPTURE(stream, woken, CPU_UTILIZATION)->UseRealTime();
BENCHMARK_CAPTURE(oneAtATime, polled, LOW_LATENCY)->UseRealTime();
BENCHMARK_CAPTURE(oneAtATime, woken, CPU_UTILIZATION)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
