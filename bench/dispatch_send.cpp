// Cost of one thread-to-thread data send through the dispatcher's send
// operation, by name, for 100 bytes (one part) and 2200 bytes (one full part),
// into a real queue in each mode. The receiving side's get is included in
// each iteration so the queue never fills: the figure is send plus one get.
#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace
{
ThreadResource* addThread(ResourceManager& registry, const char* name)
{
    ThreadParam param;
    registry.initThreadParam(param);
    ResourceManager::copyResourceName(param.threadNameTxt, name);
    ThreadResource* res = nullptr;
    registry.registerThreadRes(param, true, &res);
    return res;
}

void BM_ThreadSend(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(1));
    ResourceManager registry(nullptr);
    ThreadResource* self = addThread(registry, "SELF");
    ThreadResource* peer = addThread(registry, "PEER");
    FwMessageQueue high(1000, false, true, mode, false, 100);
    FwMessageQueue normal(1000, false, true, mode, false, 100);
    peer->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &high;
    peer->msgQueuePtrArray[MQUEUE_NORMAL] = &normal;
    peer->status.store(RES_ACTIVE);
    self->status.store(RES_ACTIVE);
    MsgDispatcher dispatcher(self, registry, nullptr);
    const std::string payload(static_cast<size_t>(state.range(0)), 'p');
    FwIntMessage out{};
    bool more = false;
    for (auto _ : state)
    {
        if (dispatcher.sendThreadMessage("PEER", payload.data(), static_cast<int32>(payload.size())) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
        normal.getMessage(&out, more);
        benchmark::DoNotOptimize(out.appMsg.data.dataLen);
    }
    state.SetLabel(mode == CPU_UTILIZATION ? "CPU_UTILIZATION" : "LOW_LATENCY");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
} // namespace

BENCHMARK(BM_ThreadSend)->ArgsProduct({{100, 2200}, {CPU_UTILIZATION, LOW_LATENCY}});

BENCHMARK_MAIN();
