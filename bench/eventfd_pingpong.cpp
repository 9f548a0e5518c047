// Round trip of a wake-up between two framework threads: each owns an event
// descriptor in its own multiplexer; ping posts to pong, pong's wait returns,
// it takes the event and posts back. This is what every message put costs a
// waiting reader in CPU_UTILIZATION mode. Reports p50, p99 and p99.9.
#include "FendralCore/foundation/EventDescriptor.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

// Waits through the one-array form, or the three-array form the receivers use.
int32 waitOnce(FileDescMultiplexer& mux, bool threeArrays)
{
    FileDescriptor* ready[4];
    IoWaitType types[4];
    WireOrderInfo wire[4];
    return threeArrays ? mux.wait(ready, types, wire, 4, -1) : mux.wait(ready, 4, -1);
}

double percentile(std::vector<int64_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[index]);
}

void BM_EventfdPingPong(benchmark::State& state)
{
    const bool threeArrays = state.range(0) == 3;
    EventDescriptor toPong(0, false, EVENT_DESC);
    EventDescriptor toPing(0, false, EVENT_DESC);
    FileDescMultiplexer pingMux(4);
    FileDescMultiplexer pongMux(4);
    pingMux.addFileDesc(&toPing, IO_WAIT_READ);
    pongMux.addFileDesc(&toPong, IO_WAIT_READ);

    std::atomic<bool> stop{false};
    std::thread pong([&] {
        unsigned long value = 0;
        while (true)
        {
            if (waitOnce(pongMux, threeArrays) < 1)
                continue;
            toPong.deliverEvent(value);
            if (stop.load(std::memory_order_relaxed))
                break;
            toPing.postEvent();
        }
    });

    std::vector<int64_t> samples;
    samples.reserve(static_cast<size_t>(state.max_iterations));
    unsigned long value = 0;
    for (auto _ : state)
    {
        const auto start = Clock::now();
        toPong.postEvent();
        while (waitOnce(pingMux, threeArrays) < 1)
        {
        }
        toPing.deliverEvent(value);
        samples.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    }
    stop = true;
    toPong.postEvent();
    pong.join();

    std::sort(samples.begin(), samples.end());
    state.counters["p50_ns"] = percentile(samples, 0.50);
    state.counters["p99_ns"] = percentile(samples, 0.99);
    state.counters["p99.9_ns"] = percentile(samples, 0.999);
    state.SetLabel(threeArrays ? "three-array wait" : "one-array wait");
    pingMux.removeFileDesc(&toPing);
    pongMux.removeFileDesc(&toPong);
}

} // namespace

BENCHMARK(BM_EventfdPingPong)->Arg(1)->Arg(3)->Iterations(200000)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
