// Thread messages between two host threads (sendThreadMessageByThreadName to
// the receiver's Runnable and its bus), beside the framework queue's own
// figure from the same run (sendThreadMessage to a thread whose callback only
// counts). Messages per second from bursts, and one-way latency p50/p99 from
// one message at a time. The benchmarks run inside the sending thread's
// appReady of a real framework process; the queues have room, so the host
// path never spools.
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralServices/api/FwServices.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int PAYLOAD = 16;
constexpr int BURST = 64;
constexpr int QUEUE = 4096;
constexpr size_t MAX_SAMPLES = 1 << 20;

int g_argc = 0;
char** g_argv = nullptr;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What each receiver counts and, while sampling, the one-way delays.
struct Taken
{
    std::atomic<uint64_t> count{0};
    std::vector<int64_t> delays;
    std::atomic<bool> sampling{false};

    void take(const char* payload)
    {
        if (sampling.load(std::memory_order_relaxed) && delays.size() < MAX_SAMPLES)
        {
            int64_t sentAt = 0;
            std::memcpy(&sentAt, payload, sizeof sentAt);
            delays.push_back(nowNs() - sentAt);
        }
        count.fetch_add(1, std::memory_order_release);
    }
    void waitFor(uint64_t target) const
    {
        while (count.load(std::memory_order_acquire) < target)
        {
        }
    }
};

Taken g_queueTaken; // the framework queue alone
Taken g_hostTaken;  // through the receiving host thread

struct Counter : OrluSubscriber<Zunq::ThreadData>
{
    Counter() : OrluSubscriber<Zunq::ThreadData>("counter") {}
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData& d) override
    {
        g_hostTaken.take(d.mData);
    }
};

Runnable* g_sender = nullptr;
char g_hostDst[17] = "HRCV";
// The same bytes travel on both paths: a ThreadData header and the payload.
Zunq::ThreadData g_message;
const int g_size = static_cast<int>(Zunq::cThreadDataHeader) + PAYLOAD;

bool sendQueue()
{
    const int64_t t = nowNs();
    std::memcpy(g_message.mData, &t, sizeof t);
    return sendThreadMessage("QRCV", reinterpret_cast<const char*>(&g_message), g_size, false) == 0;
}

bool sendHost()
{
    const int64_t t = nowNs();
    std::memcpy(g_message.mData, &t, sizeof t);
    return g_sender->sendThreadMessageByThreadName(g_hostDst, g_message, false) == 0;
}

template <bool (*Send)(), Taken& taken>
void throughput(benchmark::State& state)
{
    uint64_t sent = taken.count.load();
    for (auto _ : state)
    {
        for (int i = 0; i < BURST; ++i)
            if (!Send())
            {
                state.SkipWithError("send failed");
                return;
            }
        sent += BURST;
        taken.waitFor(sent);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BURST);
    if (g_sender->getSpoolSize() != 0)
        state.SkipWithError("the host path spooled");
}

template <bool (*Send)(), Taken& taken>
void latency(benchmark::State& state)
{
    taken.delays.clear();
    taken.delays.reserve(MAX_SAMPLES);
    taken.sampling = true;
    uint64_t sent = taken.count.load();
    for (auto _ : state)
    {
        if (!Send())
        {
            state.SkipWithError("send failed");
            break;
        }
        taken.waitFor(++sent);
    }
    taken.sampling = false;
    std::vector<int64_t>& d = taken.delays;
    if (d.empty())
        return;
    std::sort(d.begin(), d.end());
    state.counters["p50_ns"] = static_cast<double>(d[d.size() / 2]);
    state.counters["p99_ns"] = static_cast<double>(d[std::min(d.size() - 1, d.size() * 99 / 100)]);
}

void BM_QueueThroughput(benchmark::State& s) { throughput<sendQueue, g_queueTaken>(s); }
void BM_HostThroughput(benchmark::State& s) { throughput<sendHost, g_hostTaken>(s); }
void BM_QueueLatency(benchmark::State& s) { latency<sendQueue, g_queueTaken>(s); }
void BM_HostLatency(benchmark::State& s) { latency<sendHost, g_hostTaken>(s); }

BENCHMARK(BM_QueueThroughput);
BENCHMARK(BM_HostThroughput);
BENCHMARK(BM_QueueLatency);
BENCHMARK(BM_HostLatency);

struct Sender : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        benchmark::Initialize(&g_argc, g_argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        ::kill(::getpid(), SIGTERM);
    }
};

int queueCallback(MessageType type, EventMsg*, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
        g_queueTaken.take(data->bufPtr + Zunq::cThreadDataHeader);
    return 0;
}

int registerThreads()
{
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    int slot = 0;
    struct T
    {
        const char* name;
        FwMessageCallback cb;
    };
    for (T t : {T{"HSND", Runnable::callback}, T{"HRCV", Runnable::callback}, T{"QRCV", queueCallback}})
    {
        ThreadParam thread;
        initStructParam(THREAD_PARAM, &thread, sizeof(thread));
        copyResourceName(thread.threadNameTxt, t.name);
        thread.statusCheckInterval = 0; // the sender sits in its callback for the whole run
        thread.thdOptimiz = LATENCY_OPTIMIZATION;
        thread.messageQueueLength = QUEUE;
        // The two receivers share a CPU: the same conditions for both paths.
        if (cpus >= 4)
            thread.cpuAffinityBitmask = 1ULL << (cpus - 2 + (slot++ == 0 ? 0 : 1));
        if (registerThread(&thread) != 0 || registerMessageCallback(t.name, t.cb) != 0)
            return -1;
    }
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    g_argc = argc;
    g_argv = argv;
    Log log; // no sink: the Runnables' lines go nowhere
    const char* cfgArgv[] = {argv[0]};
    ZunqConfigManager cfg(1, cfgArgv);
    ModuleList modules;
    Sender sender("HSND", cfg, modules, log, 10000);
    Runnable receiver("HRCV", cfg, modules, log, 10000);
    TarvokSession sndSession, rcvSession;
    sndSession.setName("HSND");
    sndSession.setRunnable(&sender);
    sender.setTarvokSession(&sndSession);
    rcvSession.setName("HRCV");
    rcvSession.setRunnable(&receiver);
    receiver.setTarvokSession(&rcvSession);
    Counter counter;
    receiver.getOrluThreadData(Zunq::APPLICATION_RESERVED)->subscribe(&counter);
    g_sender = &sender;
    g_message.mDataType = Zunq::APPLICATION_RESERVED;
    g_message.mDataSize = PAYLOAD;

    std::string pattern = (std::filesystem::temp_directory_path() / "hostbenchXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return 1;
    const std::string config = pattern + "/fw.cfg";
    std::ofstream(config) << "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 1\n";
    std::vector<std::string> args = {argv[0], "HOSTBENCH", "0", "0", "0", config, pattern};
    std::vector<char*> fwArgv;
    for (std::string& a : args)
        fwArgv.push_back(a.data());
    const int rc = frameworkInit(static_cast<int>(fwArgv.size()), fwArgv.data(), registerThreads);
    std::filesystem::remove_all(pattern);
    return rc == 0 ? 0 : 1;
}
