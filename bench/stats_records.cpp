// Counter updates of the statistics records, as the line threads make them
// per message: an inbound bandwidth addition, and a latency sample applied to
// its table and queued in shared memory.
#include "SharedLatencyQueues.h"
#include "libstats/latency/CircularBufferMng.h"
#include "libstats/stats/BandwidthInStats.h"
#include "libstats/stats/LatencyStats.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace
{

Log& benchLog()
{
    static Log log;
    return log;
}

void BM_BandwidthInUpdate(benchmark::State& state)
{
    alignas(64) static BandwidthInStats record;
    std::memset(static_cast<void*>(&record), 0, sizeof record);
    benchmark::DoNotOptimize(&record);
    uint64_t bytes = 0;
    for (auto _ : state)
    {
        record.writeBandwidthInStats(1, 1, 100 + (bytes++ & 63));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BandwidthInUpdate);

void BM_LatencyStatsWrite(benchmark::State& state)
{
    SharedLatencyQueues queues(benchLog());
    if (queues.mManager == nullptr)
    {
        state.SkipWithError("no latency queues");
        return;
    }
    alignas(64) static LatencyStats record;
    std::memset(static_cast<void*>(&record), 0, sizeof record);
    record.mID = queues.mId;
    std::unique_ptr<CircularBuffer> reader = queues.mManager->findCircularBufferShmSafe(queues.mId);
    uint64_t t = 1000;
    long added = 0;
    for (auto _ : state)
    {
        record.writeLatencyStats(benchLog(), t, t + 3, t + 7, t + 12, t - 5, t, 0, 0);
        t += 20;
        // The reader's side empties the queue before it fills.
        if (++added == SharedLatencyQueues::cSlots - 1)
        {
            state.PauseTiming();
            reader->clear();
            added = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_LatencyStatsWrite);

} // namespace

BENCHMARK_MAIN();
