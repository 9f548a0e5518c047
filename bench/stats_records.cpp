// Counter updates of the statistics records, as the line threads make them
// per message: an inbound bandwidth addition, and a latency sample applied to
// its table and queued in shared memory.
#include "libstats/latency/CircularBufferMng.h"
#include "libstats/latency/LatencyQueues.h"
#include "libstats/stats/BandwidthInStats.h"
#include "libstats/stats/LatencyStats.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

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
    char dir[] = "/tmp/bench_records_XXXXXX";
    const std::string path = std::string(mkdtemp(dir)) + "/latency";
    close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    CreateAttachCircularBufferShm(benchLog(), 4, 1024, 4096, path.c_str());
    unsigned int id = 0;
    CreateCircularBuffer(benchLog(), "bench", id, 1024);
    CircularBufferMng* manager = CircularBufferMng::getInstance();
    if (manager == nullptr)
        state.SkipWithError("no latency queues");
    else
    {
        alignas(64) static LatencyStats record;
        std::memset(static_cast<void*>(&record), 0, sizeof record);
        record.mID = id;
        std::unique_ptr<CircularBuffer> reader = manager->findCircularBufferShmSafe(id);
        uint64_t t = 1000;
        long added = 0;
        for (auto _ : state)
        {
            record.writeLatencyStats(benchLog(), t, t + 3, t + 7, t + 12, t - 5, t, 0, 0);
            t += 20;
            // The reader's side empties the queue before it fills.
            if (++added == 1023)
            {
                state.PauseTiming();
                reader->clear();
                added = 0;
                state.ResumeTiming();
            }
        }
    }
    CircularBufferMng::destroyInstance();
    for (int which = 0; which < 3; ++which)
    {
        key_t key = ftok(path.c_str(), which);
        int shm = shmget(key, 0, 0);
        if (shm >= 0)
            shmctl(shm, IPC_RMID, nullptr);
        int sem = semget(key, 0, 0);
        if (sem >= 0)
            semctl(sem, 0, IPC_RMID);
    }
    unlink(path.c_str());
    rmdir(dir);
}
BENCHMARK(BM_LatencyStatsWrite);

} // namespace

BENCHMARK_MAIN();
