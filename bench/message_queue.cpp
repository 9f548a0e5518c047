// Throughput and put-to-get latency of the framework message queue against
// peer queues carrying the same 2376-byte record by value, and the bound of a
// plain copy of the same bytes into and out of a slot.
//
// Throughput runs saturate the queue; latency runs pace each writer so the
// queue stays short and the figure is the hand-off itself.
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/runtime/MessageQueue.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>
#include <concurrentqueue/concurrentqueue.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace
{

constexpr uint32 QUEUE_ENTRIES = 1000;
constexpr uint64 THROUGHPUT_MSGS = 400000;
constexpr uint64 LATENCY_MSGS = 50000;

int64 nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

FwIntMessage makeMessage(uint32 dataLen)
{
    FwIntMessage msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.appMsg.type = MSG_DATA;
    msg.appMsg.data.dataLen = dataLen;
    std::memset(msg.appMsg.data.buffer, 'd', dataLen);
    return msg;
}

struct Result
{
    double seconds = 0;
    std::vector<int64> latencies;
};

void spinFor(int64 ns)
{
    const int64 until = nowNs() + ns;
    while (nowNs() < until)
    {
    }
}

// Drives writers and one reader over any queue through put/get callables.
// pacedNs > 0: each writer waits that long between messages (latency runs).
template <typename Put, typename Get>
Result drive(int writers, uint64 total, uint32 dataLen, int64 pacedNs, Put put, Get get)
{
    Result r;
    const uint64 perWriter = total / writers;
    const uint64 expected = perWriter * writers;
    r.latencies.reserve(pacedNs > 0 ? expected : 0);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&] {
            FwIntMessage msg = makeMessage(dataLen);
            while (!go.load(std::memory_order_acquire))
            {
            }
            for (uint64 i = 0; i < perWriter; ++i)
            {
                if (pacedNs > 0)
                {
                    spinFor(pacedNs);
                    msg.tm.tv_nsec = nowNs();
                }
                while (!put(msg))
                {
                }
            }
        });
    FwIntMessage out;
    const int64 start = nowNs();
    go.store(true, std::memory_order_release);
    for (uint64 got = 0; got < expected;)
    {
        if (get(out))
        {
            if (pacedNs > 0)
                r.latencies.push_back(nowNs() - out.tm.tv_nsec);
            ++got;
        }
    }
    r.seconds = (nowNs() - start) / 1e9;
    for (auto& t : threads)
        t.join();
    return r;
}

void report(benchmark::State& state, const Result& r, uint64 msgs)
{
    state.SetIterationTime(r.seconds);
    if (r.latencies.empty())
    {
        state.counters["msgs_per_s"] = msgs / r.seconds;
        return;
    }
    auto lat = r.latencies;
    std::sort(lat.begin(), lat.end());
    state.counters["p50_ns"] = lat[lat.size() / 2];
    state.counters["p99_ns"] = lat[lat.size() * 99 / 100];
}

// args: writers, dataLen, mode (1 LOW_LATENCY polled, 0 CPU_UTILIZATION woken), paced
void BM_FwQueue(benchmark::State& state)
{
    const int writers = static_cast<int>(state.range(0));
    const auto dataLen = static_cast<uint32>(state.range(1));
    const auto mode = state.range(2) ? LOW_LATENCY : CPU_UTILIZATION;
    const int64 paced = state.range(3) ? 2000 : 0;
    const uint64 msgs = paced ? LATENCY_MSGS : THROUGHPUT_MSGS;
    for (auto _ : state)
    {
        MessageQueue<FwIntMessage> q(QUEUE_ENTRIES, false, writers > 1, mode, false, 100);
        FileDescMultiplexer mux(4);
        mux.addFileDesc(&q, IO_WAIT_READ);
        FileDescriptor* ready[4];
        bool more = false;
        auto get = [&](FwIntMessage& out) {
            if (q.getMessage(&out, more) == 0)
                return true;
            if (mode == CPU_UTILIZATION)
                mux.wait(ready, 4, 100);
            return false;
        };
        auto put = [&](const FwIntMessage& m) { return q.putMessage(&m) == 0; };
        report(state, drive(writers, msgs, dataLen, paced, put, get), msgs);
        mux.removeFileDesc(&q);
    }
}

void BM_MoodycamelQueue(benchmark::State& state)
{
    const int writers = static_cast<int>(state.range(0));
    const auto dataLen = static_cast<uint32>(state.range(1));
    const int64 paced = state.range(3) ? 2000 : 0;
    const uint64 msgs = paced ? LATENCY_MSGS : THROUGHPUT_MSGS;
    for (auto _ : state)
    {
        moodycamel::ConcurrentQueue<FwIntMessage> q(QUEUE_ENTRIES);
        auto put = [&](const FwIntMessage& m) { return q.enqueue(m); };
        auto get = [&](FwIntMessage& out) { return q.try_dequeue(out); };
        report(state, drive(writers, msgs, dataLen, paced, put, get), msgs);
    }
}

void BM_BoostSpscQueue(benchmark::State& state)
{
    const auto dataLen = static_cast<uint32>(state.range(1));
    const int64 paced = state.range(3) ? 2000 : 0;
    const uint64 msgs = paced ? LATENCY_MSGS : THROUGHPUT_MSGS;
    for (auto _ : state)
    {
        auto q = std::make_unique<boost::lockfree::spsc_queue<FwIntMessage, boost::lockfree::capacity<QUEUE_ENTRIES>>>();
        auto put = [&](const FwIntMessage& m) { return q->push(m); };
        auto get = [&](FwIntMessage& out) { return q->pop(out); };
        report(state, drive(1, msgs, dataLen, paced, put, get), msgs);
    }
}

// The bound: copy the used bytes into a slot and out again, one thread.
void BM_MemcpyBound(benchmark::State& state)
{
    const auto dataLen = static_cast<uint32>(state.range(1));
    const FwIntMessage msg = makeMessage(dataLen);
    std::vector<FwIntMessage> slots(QUEUE_ENTRIES + 1);
    FwIntMessage out;
    uint32 i = 0;
    for (auto _ : state)
    {
        const size_t n = msg.usedSize();
        std::memcpy(&slots[i], &msg, n);
        std::memcpy(&out, &slots[i], n);
        benchmark::DoNotOptimize(out);
        i = i + 1 == slots.size() ? 0 : i + 1;
    }
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The queue's own cost without crossing cores: put and get on one thread.
// Its gap to the memcpy bound is the queue's bookkeeping; the gap between it
// and the two-thread figure is the moving of the slot's lines between cores.
void BM_FwQueueSameThread(benchmark::State& state)
{
    const auto dataLen = static_cast<uint32>(state.range(1));
    MessageQueue<FwIntMessage> q(QUEUE_ENTRIES, false, state.range(0) > 1, LOW_LATENCY, false, 100);
    const FwIntMessage msg = makeMessage(dataLen);
    FwIntMessage out;
    bool more = false;
    for (auto _ : state)
    {
        q.putMessage(&msg);
        q.getMessage(&out, more);
        benchmark::DoNotOptimize(out);
    }
    state.counters["msgs_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void queueArgs(benchmark::internal::Benchmark* b, bool withMode, int maxWriters)
{
    for (int paced : {0, 1})
        for (int mode : withMode ? std::vector<int>{1, 0} : std::vector<int>{1})
            for (int writers : {1, 2, 4})
                for (int len : {100, 2200})
                    if (writers <= maxWriters)
                        b->Args({writers, len, mode, paced});
    b->ArgNames({"writers", "bytes", "polled", "paced"})->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_FwQueue)->Apply([](auto* b) { queueArgs(b, true, 4); });
BENCHMARK(BM_MoodycamelQueue)->Apply([](auto* b) { queueArgs(b, false, 4); });
BENCHMARK(BM_BoostSpscQueue)->Apply([](auto* b) { queueArgs(b, false, 1); });
BENCHMARK(BM_FwQueueSameThread)->Args({1, 100})->Args({1, 2200})->Args({2, 100})->Args({2, 2200})->ArgNames({"writers", "bytes"});
BENCHMARK(BM_MemcpyBound)->Args({1, 100})->Args({1, 2200})->ArgNames({"writers", "bytes"});

} // namespace

BENCHMARK_MAIN();
