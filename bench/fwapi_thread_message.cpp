// Cost of one thread message from one application thread to another, taken
// by the receiving thread's callback: sent through the exported call and,
// in the same run, through the core dispatcher's own call. The benchmarks run
// inside the sending thread's callback of a real framework process (APP1 to
// APP2), each iteration waiting until APP2's callback has taken the message.
#include "FendralServices/api/FwServices.h"

#include "FendralCore/dispatch/MsgDispatcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int PAYLOAD = 100;
std::atomic<uint64_t> g_taken{0};
char g_payload[PAYLOAD] = {};
int g_argc = 0;
char** g_argv = nullptr;

void waitTaken(uint64_t target)
{
    while (g_taken.load(std::memory_order_acquire) < target)
    {
    }
}

void BM_ThreadMessageCore(benchmark::State& state)
{
    MsgDispatcher& md = *MsgDispatcher::getMsgDispatcher();
    uint64_t sent = g_taken.load();
    for (auto _ : state)
    {
        if (md.sendThreadMessage("APP2", g_payload, PAYLOAD) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
        waitTaken(++sent);
    }
}

void BM_ThreadMessageApi(benchmark::State& state)
{
    uint64_t sent = g_taken.load();
    for (auto _ : state)
    {
        if (sendThreadMessage("APP2", g_payload, PAYLOAD, false) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
        waitTaken(++sent);
    }
}

// Both calls in turn within one loop, each timed on its own, so that both
// meet the same conditions; ratio is the exported call's time over the core's.
void BM_ThreadMessageInTurn(benchmark::State& state)
{
    MsgDispatcher& md = *MsgDispatcher::getMsgDispatcher();
    uint64_t sent = g_taken.load();
    int64_t coreNs = 0;
    int64_t apiNs = 0;
    auto now = [] { return std::chrono::steady_clock::now(); };
    for (auto _ : state)
    {
        const auto t0 = now();
        if (md.sendThreadMessage("APP2", g_payload, PAYLOAD) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
        waitTaken(++sent);
        const auto t1 = now();
        if (sendThreadMessage("APP2", g_payload, PAYLOAD, false) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
        waitTaken(++sent);
        const auto t2 = now();
        coreNs += std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
        apiNs += std::chrono::duration_cast<std::chrono::nanoseconds>(t2 - t1).count();
    }
    const double n = static_cast<double>(std::max<int64_t>(1, static_cast<int64_t>(state.iterations())));
    state.counters["core_ns"] = static_cast<double>(coreNs) / n;
    state.counters["api_ns"] = static_cast<double>(apiNs) / n;
    state.counters["ratio"] = coreNs > 0 ? static_cast<double>(apiNs) / static_cast<double>(coreNs) : 0.0;
}

BENCHMARK(BM_ThreadMessageCore);
BENCHMARK(BM_ThreadMessageApi);
BENCHMARK(BM_ThreadMessageInTurn);

int onMessage(MessageType type, EventMsg* evt, DataMsg*)
{
    if (type == MSG_DATA)
    {
        g_taken.fetch_add(1, std::memory_order_release);
        return 0;
    }
    if (type == MSG_EVENT && evt != nullptr && evt->id == APP_READY)
    {
        char name[17] = {};
        getCurrentThreadName(name);
        if (std::string(name) == "APP1")
        {
            benchmark::Initialize(&g_argc, g_argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            ::kill(::getpid(), SIGTERM);
        }
    }
    return 0;
}

int registerThreads()
{
    // Two fixed CPUs: the figure must not depend on where the scheduler put them.
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    int slot = 0;
    for (const char* name : {"APP1", "APP2"})
    {
        ThreadParam thread;
        initStructParam(THREAD_PARAM, &thread, sizeof(thread));
        copyResourceName(thread.threadNameTxt, name);
        thread.statusCheckInterval = 0; // APP1 sits in its callback for the whole run
        // Both polling: the figure is the send and the take, not a wake-up.
        thread.thdOptimiz = LATENCY_OPTIMIZATION;
        if (cpus >= 4)
            thread.cpuAffinityBitmask = 1ULL << (cpus - 2 + slot++);
        if (registerThread(&thread) != 0 || registerMessageCallback(name, onMessage) != 0)
            return -1;
    }
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    g_argc = argc;
    g_argv = argv;
    std::string pattern = (std::filesystem::temp_directory_path() / "fwbenchXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return 1;
    const std::string config = pattern + "/fw.cfg";
    std::ofstream(config) << "FW_AGT_OPTION INT32 0\nTHD_TERM_TIMEOUT INT32 1\n";
    std::vector<std::string> args = {argv[0], "FWBENCH", "0", "0", "0", config, pattern};
    std::vector<char*> fwArgv;
    for (std::string& a : args)
        fwArgv.push_back(a.data());
    const int rc = frameworkInit(static_cast<int>(fwArgv.size()), fwArgv.data(), registerThreads);
    std::filesystem::remove_all(pattern);
    return rc == 0 ? 0 : 1;
}
