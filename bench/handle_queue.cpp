// A value through the exported handle queue: push and pop on one thread (the
// call overhead and handle check), and a producer thread feeding the
// benchmark thread (the cross-thread hand-over).
#include "FendralServices/api/FwServices.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

static void BM_HandleQueuePushPop(benchmark::State& state)
{
    const long q = queueCreate("bench_q1", 1024);
    unsigned long value = 0;
    for (auto _ : state)
    {
        queuePush(q, value);
        queuePop(q, &value);
        benchmark::DoNotOptimize(value);
    }
    queueRemove(q);
}
BENCHMARK(BM_HandleQueuePushPop);

static void BM_HandleQueueTwoThreads(benchmark::State& state)
{
    const long q = queueCreate("bench_q2", 4096);
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        unsigned long v = 0;
        while (!stop.load(std::memory_order_relaxed))
            if (queuePush(q, v) == 0)
                ++v;
    });
    unsigned long value = 0;
    for (auto _ : state)
    {
        while (queuePop(q, &value) != 0)
        {
        }
        benchmark::DoNotOptimize(value);
    }
    stop = true;
    producer.join();
    queueRemove(q);
}
BENCHMARK(BM_HandleQueueTwoThreads);

BENCHMARK_MAIN();
