// Cost of one framework event send into a thread's queue (the event sender
// against a bare put of the same event), of parking behind parked events, and
// of a cache-array lookup in front of a registry lookup, hit and miss.
#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/foundation/CacheArray.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

namespace
{

void setName(ResourceName& field, const char* text)
{
    ResourceManager::copyResourceName(field, text);
}

// A sender and an active target thread whose queues run in one mode.
struct SendSetup
{
    explicit SendSetup(OptimizationMode mode, uint32 queueLen = 1000)
        : registry(nullptr),
          normal(queueLen, false, true, mode, false, 10),
          high(queueLen, false, true, mode, false, 10)
    {
        setName(sender.threadNameTxt, "SENDER");
        setName(target.threadNameTxt, "TARGET");
        target.msgQueuePtrArray[MQUEUE_NORMAL] = &normal;
        target.msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &high;
        target.status.store(RES_ACTIVE);
        events = std::make_unique<EventMessage>(&sender, registry);
        setName(param.resNameTxt, "CONN1");
        param.paramInt32 = 1;
    }

    ResourceManager registry;
    ThreadResource sender{};
    ThreadResource target{};
    FwMessageQueue normal;
    FwMessageQueue high;
    std::unique_ptr<EventMessage> events;
    EventParam param{};
};

// Send and take back one event: the queue never fills.
void sendAndTake(benchmark::State& state, OptimizationMode mode)
{
    SendSetup s(mode);
    uint32 seq = 0;
    FwIntMessage out;
    bool more = false;
    for (auto _ : state)
    {
        if (s.events->sendEventMsg(&s.target, MQUEUE_NORMAL, CONNECTED, s.param, seq) != 0)
            state.SkipWithError("send failed");
        s.normal.getMessage(&out, more);
        benchmark::DoNotOptimize(out.msgSeqNum);
    }
}

void BM_EventSendLowLatency(benchmark::State& state) { sendAndTake(state, LOW_LATENCY); }
void BM_EventSendCpuMode(benchmark::State& state) { sendAndTake(state, CPU_UTILIZATION); }

// The same event put directly: the sender's own share is the difference.
void BM_BarePutLowLatency(benchmark::State& state)
{
    SendSetup s(LOW_LATENCY);
    FwIntMessage msg;
    std::memset(&msg, 0, sizeof msg);
    msg.appMsg.type = MSG_EVENT;
    FwIntMessage out;
    bool more = false;
    for (auto _ : state)
    {
        ++msg.msgSeqNum;
        s.normal.putMessage(&msg);
        s.normal.getMessage(&out, more);
        benchmark::DoNotOptimize(out.msgSeqNum);
    }
}

// A send that finds the queue full and has no store: every put and every
// retry inside it fails; in CPU_UTILIZATION mode the ring sleeps between tries.
void sendToFullQueue(benchmark::State& state, OptimizationMode mode)
{
    SendSetup s(mode, 4);
    FwIntMessage filler{};
    filler.appMsg.type = MSG_EVENT;
    while (s.normal.getNumFreeEntry() > 0)
        s.normal.putMessage(&filler);
    uint32 seq = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(s.events->sendEventMsg(&s.target, MQUEUE_NORMAL, CONNECTED, s.param, seq));
}

void BM_EventSendFullLowLatency(benchmark::State& state) { sendToFullQueue(state, LOW_LATENCY); }
void BM_EventSendFullCpuMode(benchmark::State& state) { sendToFullQueue(state, CPU_UTILIZATION); }

// Events parked behind one already parked: no put is tried.
void BM_EventParkBehindParked(benchmark::State& state)
{
    SendSetup s(LOW_LATENCY, 4);
    MessageStore store;
    uint32 seq = 0;
    bool saved = false;
    FwIntMessage first{};
    first.appMsg.type = MSG_EVENT;
    store.insertMsg(NET_RCV_MSG_LIST, MQUEUE_NORMAL, &first);
    int64 parked = 0;
    for (auto _ : state)
    {
        s.events->sendEventMsg(&s.target, MQUEUE_NORMAL, CONNECTED, s.param, seq, &store, NET_RCV_MSG_LIST, &saved);
        if (++parked == 4096)
        {
            state.PauseTiming();
            for (int i = 0; i < 4095; ++i)
                store.removeMsg(NET_RCV_MSG_LIST, MQUEUE_NORMAL);
            parked = 0;
            state.ResumeTiming();
        }
    }
}

Int128 nameKey(int i)
{
    ResourceName name{};
    char txt[17];
    std::snprintf(txt, sizeof txt, "CHANNEL_%02d", i);
    setName(name, txt);
    return Int128(name, true);
}

// A 10-slot cache as the dispatcher keeps one per kind; arg: the slot hit.
void BM_CacheArrayHit(benchmark::State& state)
{
    CacheArray<Int128> cache(10);
    for (int i = 0; i < 10; ++i)
        cache.add(nameKey(i), &cache);
    const Int128 key = nameKey(static_cast<int>(state.range(0)));
    void* ptr = nullptr;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(cache.find(key, &ptr));
        benchmark::DoNotOptimize(ptr);
    }
}

// A full cache: the miss notes the victim, the add replaces it.
void BM_CacheArrayMissThenAdd(benchmark::State& state)
{
    CacheArray<Int128> cache(10);
    for (int i = 0; i < 10; ++i)
        cache.add(nameKey(i), &cache);
    Int128 keys[16];
    for (int i = 0; i < 16; ++i)
        keys[i] = nameKey(20 + i);
    void* ptr = nullptr;
    int next = 0;
    for (auto _ : state)
    {
        const Int128& key = keys[next];
        next = (next + 1) & 15;
        if (cache.find(key, &ptr) != 0)
            cache.add(key, &cache);
        benchmark::DoNotOptimize(ptr);
    }
}

} // namespace

BENCHMARK(BM_EventSendLowLatency);
BENCHMARK(BM_EventSendCpuMode);
BENCHMARK(BM_BarePutLowLatency);
BENCHMARK(BM_EventSendFullLowLatency);
BENCHMARK(BM_EventSendFullCpuMode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EventParkBehindParked);
BENCHMARK(BM_CacheArrayHit)->Arg(0)->Arg(9);
BENCHMARK(BM_CacheArrayMissThenAdd);
BENCHMARK_MAIN();
