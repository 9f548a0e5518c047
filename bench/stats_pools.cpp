// Pool get/free beside boost::object_pool and new/delete of the same record,
// and one latency sample added to a shared queue beside a bare store of the
// same sample into the same segment.
#include "libstats/latency/CircularBufferMng.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>
#include <boost/pool/object_pool.hpp>

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

struct Record : Zunq::Utils::ArrayBackedPoolObject
{
    char payload[64];
};

Log& benchLog()
{
    static Log log;
    return log;
}

void BM_PoolGetFree(benchmark::State& state)
{
    Zunq::Utils::ArrayBackedPool<Record> pool;
    pool.init(state.range(0), benchLog(), "bench", 0);
    // As a component's member pool would be: known outside this loop.
    benchmark::DoNotOptimize(&pool);
    for (auto _ : state)
    {
        long index = pool.getFreeIndex();
        Record* record = pool.getEntry(index);
        record->payload[0] = 1;
        benchmark::DoNotOptimize(record);
        pool.freeIndex(index);
    }
}
BENCHMARK(BM_PoolGetFree)->Arg(64)->Arg(1024);

void BM_BoostObjectPoolMallocFree(benchmark::State& state)
{
    boost::object_pool<Record> pool;
    benchmark::DoNotOptimize(&pool);
    for (auto _ : state)
    {
        Record* record = pool.malloc();
        record->payload[0] = 1;
        benchmark::DoNotOptimize(record);
        pool.free(record);
    }
}
BENCHMARK(BM_BoostObjectPoolMallocFree);

void BM_NewDelete(benchmark::State& state)
{
    for (auto _ : state)
    {
        Record* record = new Record;
        record->payload[0] = 1;
        benchmark::DoNotOptimize(record);
        delete record;
    }
}
BENCHMARK(BM_NewDelete);

// The latency queues of a key file of a directory of their own, removed afterwards.
class SharedQueues
{
public:
    static constexpr long cQueues = 4;
    static constexpr long cSlots = 1024;

    SharedQueues()
    {
        char dir[] = "/tmp/bench_stats_XXXXXX";
        mDir = mkdtemp(dir);
        mFile = mDir + "/latency";
        close(open(mFile.c_str(), O_CREAT | O_WRONLY, 0600));
        mManager = CircularBufferMng::getInstance(mFile.c_str(), cQueues, cSlots, benchLog());
        if (mManager != nullptr)
            mManager->addCircularBuffer("bench", mId);
    }
    ~SharedQueues()
    {
        CircularBufferMng::destroyInstance();
        for (int which = 0; which < 3; ++which)
        {
            key_t key = ftok(mFile.c_str(), which);
            int shm = shmget(key, 0, 0);
            if (shm >= 0)
                shmctl(shm, IPC_RMID, nullptr);
            int sem = semget(key, 0, 0);
            if (sem >= 0)
                semctl(sem, 0, IPC_RMID);
        }
        unlink(mFile.c_str());
        rmdir(mDir.c_str());
    }

    CircularBufferMng* mManager = nullptr;
    unsigned int mId = 0;
    std::string mDir;
    std::string mFile;
};

void BM_LatencySampleAdd(benchmark::State& state)
{
    SharedQueues queues;
    if (queues.mManager == nullptr)
    {
        state.SkipWithError("no latency queues");
        return;
    }
    std::unique_ptr<CircularBuffer> reader = queues.mManager->findCircularBufferShmSafe(queues.mId);
    latency_info_t sample{};
    long added = 0;
    for (auto _ : state)
    {
        sample.orderID = added;
        queues.mManager->addElement(queues.mId, sample);
        // The reader's side empties the queue before it fills.
        if (++added == SharedQueues::cSlots - 1)
        {
            state.PauseTiming();
            reader->clear();
            added = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_LatencySampleAdd);

// The way the latency records add theirs: the sample written into its slot.
void BM_LatencySampleAddInPlace(benchmark::State& state)
{
    SharedQueues queues;
    if (queues.mManager == nullptr)
    {
        state.SkipWithError("no latency queues");
        return;
    }
    std::unique_ptr<CircularBuffer> reader = queues.mManager->findCircularBufferShmSafe(queues.mId);
    const latency_info_t sample{};
    long added = 0;
    for (auto _ : state)
    {
        queues.mManager->addElementInPlace(queues.mId, [&](latency_info_t& slot) {
            slot = sample;
            slot.orderID = added;
        });
        if (++added == SharedQueues::cSlots - 1)
        {
            state.PauseTiming();
            reader->clear();
            added = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_LatencySampleAddInPlace);

void BM_BareSampleStore(benchmark::State& state)
{
    SharedQueues queues;
    if (queues.mManager == nullptr)
    {
        state.SkipWithError("no latency queues");
        return;
    }
    // The same slots of the same shared sample pool, written without the queue.
    std::unique_ptr<CircularBuffer> view = queues.mManager->findCircularBufferShmSafe(queues.mId);
    latency_info_t* slots = view->getEntry(0);
    latency_info_t sample{};
    long added = 0;
    for (auto _ : state)
    {
        sample.orderID = added;
        slots[added] = sample;
        benchmark::ClobberMemory();
        if (++added == SharedQueues::cSlots - 1)
        {
            state.PauseTiming();
            added = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(BM_BareSampleStore);

} // namespace

BENCHMARK_MAIN();
