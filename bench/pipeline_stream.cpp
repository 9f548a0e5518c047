// Entries per second through a three-stage pipeline, one producer and one
// thread per stage, each stage working on the entry in place; and the append
// and read rate of the stream buffer, alone and between a writer thread and a
// reader thread. Both optimisation modes: CPU_UTILIZATION (mutexes and a
// wake-up descriptor per stage) and LOW_LATENCY (compare-and-swap, polling).
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <poll.h>
#include <thread>
#include <vector>

namespace
{
constexpr uint32 STAGES = 3;
constexpr uint64 ENTRIES_PER_ITERATION = 100000;

void waitForStage(Pipeline& pl, uint32 stage)
{
    if (PipelineStageDesc* d = pl.getStageEventFd(stage))
    {
        pollfd p{d->getFileDescriptor(), POLLIN, 0};
        ::poll(&p, 1, 5);
    }
    else
    {
        __builtin_ia32_pause();
    }
}

// Args: optimisation mode, payload bytes.
void BM_PipelineThreeStages(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(0));
    const auto payloadLen = static_cast<uint32>(state.range(1));
    Pipeline pl(1000, 2376 + 152, STAGES, mode, false);
    std::atomic<bool> stop{false};
    std::atomic<uint64> done{0};
    std::vector<std::thread> stages;
    for (uint32 s = 0; s < STAGES; ++s)
    {
        stages.emplace_back([&, s] {
            while (!stop.load(std::memory_order_relaxed))
            {
                char* payload = nullptr;
                PipelineMsgHeader* hdr = nullptr;
                int32 size = 0;
                if (pl.dequeueEntryLock2(s, payload, hdr, size, 1) != 0)
                {
                    waitForStage(pl, s);
                    continue;
                }
                payload[0] = static_cast<char>(s); // touch the entry in place
                pl.dequeueEntryRelease2(s);
                if (s == STAGES - 1)
                    done.fetch_add(1, std::memory_order_release);
            }
        });
    }
    std::vector<char> data(payloadLen, 'p');
    PipelineMsgHeader h{};
    h.type = MSG_DATA;
    h.dataLen = payloadLen;
    uint64 sent = 0;
    for (auto _ : state)
    {
        for (uint64 i = 0; i < ENTRIES_PER_ITERATION;)
        {
            if (pl.enqueue(data.data(), h, 1) == 0)
                ++i;
            else if (mode == LOW_LATENCY)
                __builtin_ia32_pause();
            else
                std::this_thread::yield();
        }
        sent += ENTRIES_PER_ITERATION;
        while (done.load(std::memory_order_acquire) < sent)
        {
        }
    }
    stop = true;
    for (std::thread& t : stages)
        t.join();
    state.SetItemsProcessed(static_cast<int64_t>(sent));
    state.SetBytesProcessed(static_cast<int64_t>(sent * payloadLen));
}

// Single thread: append a chunk, read it back. Args: mode, chunk bytes.
void BM_StreamBufferAppendRead(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(0));
    const auto chunk = static_cast<int32>(state.range(1));
    StreamBuffer sb(22000, mode, false);
    std::vector<char> in(static_cast<size_t>(chunk), 's');
    std::vector<char> out(static_cast<size_t>(chunk));
    for (auto _ : state)
    {
        int32 written = 0;
        int32 n = 0;
        sb.enqueue(in.data(), chunk, written, false);
        sb.dequeue(out.data(), chunk, n, false);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * chunk);
}

// A writer thread appends chunks, the benchmark thread reads them. Args: mode, chunk bytes.
void BM_StreamBufferWriterToReader(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(0));
    const auto chunk = static_cast<int32>(state.range(1));
    constexpr int64_t BYTES_PER_ITERATION = 64 << 20;
    StreamBuffer sb(22000, mode, false);
    std::atomic<int64_t> toWrite{0};
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<char> in(static_cast<size_t>(chunk), 'w');
        while (!stop.load(std::memory_order_relaxed))
        {
            const int64_t left = toWrite.load(std::memory_order_acquire);
            if (left <= 0)
                continue;
            const auto want = static_cast<int32>(left < chunk ? left : chunk);
            int32 written = 0;
            if (sb.enqueue(in.data(), want, written, false) == 0 || written > 0)
                toWrite.fetch_sub(written, std::memory_order_release);
        }
    });
    std::vector<char> out(static_cast<size_t>(chunk));
    int64_t total = 0;
    for (auto _ : state)
    {
        toWrite.fetch_add(BYTES_PER_ITERATION, std::memory_order_release);
        for (int64_t got = 0; got < BYTES_PER_ITERATION;)
        {
            int32 n = 0;
            if (sb.dequeue(out.data(), chunk, n, false) == 0)
                got += n;
        }
        total += BYTES_PER_ITERATION;
    }
    stop = true;
    writer.join();
    state.SetBytesProcessed(total);
}
} // namespace

BENCHMARK(BM_PipelineThreeStages)
    ->ArgNames({"lowLatency", "payload"})
    ->ArgsProduct({{CPU_UTILIZATION, LOW_LATENCY}, {64, 2376}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamBufferAppendRead)
    ->ArgNames({"lowLatency", "chunk"})
    ->ArgsProduct({{CPU_UTILIZATION, LOW_LATENCY}, {100, 2200}});
BENCHMARK(BM_StreamBufferWriterToReader)
    ->ArgNames({"lowLatency", "chunk"})
    ->ArgsProduct({{CPU_UTILIZATION, LOW_LATENCY}, {2200}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
