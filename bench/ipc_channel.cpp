// A writer process to a reader process through one shared-memory IPC channel
// (queue length 1000). Throughput: the writer enqueues as fast as the ring
// lets it, the reader drains; entries per second for 64, 1024 and 2200 data
// bytes. Latency: the writer sends one entry stamped with the monotonic clock
// (shared by all processes), waits until the reader took it, then sends the
// next; p50, p99 and p99.9 of stamp-to-dequeue.
#include "FendralCore/dispatch/IpcShrMemMsgQ.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

int64_t nowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double percentile(std::vector<int64_t>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(p * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[index]);
}

std::string channelName()
{
    static int counter = 0;
    return "/fwipc_bench" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

// Forks a writer that sends count entries of dataLen bytes; paced waits for
// the ring to drain before each send.
pid_t startWriter(const std::string& name, int64_t count, uint32 dataLen, bool paced)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    IpcShrMemMsgQ writer{"BENCHW"};
    if (writer.open(name.c_str(), IPC_WRITER_MODE, 0) != 0)
        ::_exit(1);
    IpcShmMsg msg{};
    msg.msgType = IPC_MSG_TYPE_DATA;
    msg.dataLen = dataLen;
    std::memset(msg.buffer, 'd', dataLen);
    for (int64_t i = 0; i < count; ++i)
    {
        if (paced)
            while (writer.getNumMsgQueued() != 0)
            {
            }
        msg.msgPartNum = static_cast<int32>(i);
        const int64_t stamp = nowNs();
        msg.tm.tv_sec = stamp / 1000000000;
        msg.tm.tv_nsec = stamp % 1000000000;
        while (writer.enqueue(msg) != 0)
            if (FrameworkErrno::m_fwErrno != BUFFER_FULL)
                ::_exit(2);
    }
    writer.close(false);
    ::_exit(0);
}

void BM_IpcChannel(benchmark::State& state)
{
    const uint32 dataLen = static_cast<uint32>(state.range(0));
    const bool paced = state.range(1) != 0;
    const std::string name = channelName();
    IpcShrMemMsgQ reader{"BENCHR"};
    if (reader.open(name.c_str(), IPC_READER_MODE, 1000) != 0)
    {
        state.SkipWithError("reader open failed");
        return;
    }
    const pid_t writer = startWriter(name, state.max_iterations, dataLen, paced);

    std::vector<int64_t> samples;
    samples.reserve(static_cast<size_t>(state.max_iterations));
    IpcShmMsg msg;
    for (auto _ : state)
    {
        while (reader.dequeue(msg) != 0)
        {
        }
        if (paced)
            samples.push_back(nowNs() - (static_cast<int64_t>(msg.tm.tv_sec) * 1000000000 + msg.tm.tv_nsec));
        benchmark::DoNotOptimize(msg.buffer[0]);
    }
    int status = 0;
    ::waitpid(writer, &status, 0);
    reader.close(true);
    ::shm_unlink(name.c_str());

    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * dataLen);
    if (paced)
    {
        std::sort(samples.begin(), samples.end());
        state.counters["p50_ns"] = percentile(samples, 0.50);
        state.counters["p99_ns"] = percentile(samples, 0.99);
        state.counters["p99.9_ns"] = percentile(samples, 0.999);
    }
    state.SetLabel(paced ? "one at a time: latency" : "streaming: throughput");
}

} // namespace

BENCHMARK(BM_IpcChannel)
    ->Args({64, 0})
    ->Args({1024, 0})
    ->Args({2200, 0})
    ->Args({64, 1})
    ->Args({2200, 1})
    ->Iterations(500000)
    ->UseRealTime()
    ->Unit(benchmark::kNanosecond);

BENCHMARK_MAIN();
