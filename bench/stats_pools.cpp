// Pool get/free beside boost::object_pool and new/delete of the same record,
// and one latency sample added to a shared queue beside a bare store of the
// same sample into the same segment.
#include "SharedLatencyQueues.h"
#include "libstats/latency/CircularBufferMng.h"
#include "libstats/pool/ArrayBackedPool.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>
#include <boost/pool/object_pool.hpp>

#include <string>

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

void BM_LatencySampleAdd(benchmark::State& state)
{
    SharedLatencyQueues queues(benchLog());
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
        if (++added == SharedLatencyQueues::cSlots - 1)
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
    SharedLatencyQueues queues(benchLog());
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
        if (++added == SharedLatencyQueues::cSlots - 1)
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
    SharedLatencyQueues queues(benchLog());
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
        if (++added == SharedLatencyQueues::cSlots - 1)
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
