// The main road as configured: datagrams of default-format text blocks from
// a loopback sender through a multicast line built by the module
// initializer from configuration, the sub-feed's line filter and line
// monitor, to a subscriber of the filtered channel that only counts; beside
// the framework's own delivery of the same traffic (same sizes, another
// group) to a thread callback that only counts: the bound. 64 and 512 bytes.
// - dgram_per_s: datagrams delivered per second while the sender keeps at
//   most WINDOW datagrams unanswered, few enough that the socket buffer never
//   overflows: no datagram is lost, so every one is sequenced by the filter
//   and the rate is what the receiving path sustains;
// - of_bound: the line's rate over the bound's of the same size, measured
//   just before it.
// The benchmarks run inside the driving thread's appReady of a real
// framework process.
#include "HostBenchSupport.h"
#include "NetIngestSupport.h"

#include "kelmora/linedata/LineData.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/module/ModuleInitializer.h"

#include "FendralServices/api/FwServices.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

using namespace netbench;

namespace
{
constexpr uint64_t DATAGRAMS = 100000;
constexpr uint64_t WINDOW = 128;
constexpr int64_t WAIT_NS = 10000000000;

const char* const GROUP_LINE = "239.77.33.1";
const char* const GROUP_BOUND = "239.77.33.2";
// A port each: a receiver bound to a port may hear every group joined on it.
uint16 g_linePort = 0;
uint16 g_boundPort = 0;

std::atomic<uint64_t> g_line{0};
std::atomic<uint64_t> g_bound{0};

// The next sequence number the line's filter expects.
uint64_t g_nextSeq = 1;
std::map<int64_t, double> g_boundRate;

struct Counter : OrluSubscriber<LineData>
{
    Counter() : OrluSubscriber<LineData>("count") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData&) override
    {
        g_line.fetch_add(1, std::memory_order_release);
    }
};

sockaddr_in to(const char* group)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(group == GROUP_LINE ? g_linePort : g_boundPort);
    ::inet_pton(AF_INET, group, &a.sin_addr);
    return a;
}

// One block of one original message "O<9-digit seq>" padded with text to `size` bytes.
void fill(std::string& bytes, uint64_t seq, size_t size)
{
    char head[16];
    std::snprintf(head, sizeof head, "\x01O%09llu|", static_cast<unsigned long long>(seq));
    bytes.assign(head);
    for (int i = 0; bytes.size() < size - 1; ++i)
        bytes += static_cast<char>('A' + i % 26);
    bytes += '\x03';
}

// Sends DATAGRAMS with at most WINDOW unanswered; the rate they arrived at,
// or 0 when some never did.
double blast(const char* group, std::atomic<uint64_t>& arrived, size_t size, bool sequenced)
{
    const sockaddr_in dst = to(group);
    const int fd = loopbackMulticastSender();
    const uint64_t base = arrived.load(std::memory_order_acquire);
    std::string bytes;
    bytes.reserve(size);
    const int64_t start = nowNs();
    // Waits until at most `unanswered` of `sent` are still to arrive; false
    // (and says so) when they do not in time.
    auto settled = [&](uint64_t sent, uint64_t unanswered) {
        while (sent - (arrived.load(std::memory_order_acquire) - base) > unanswered)
            if (nowNs() - start > WAIT_NS)
            {
                std::fprintf(stderr, "%s: %llu of %llu sent datagrams arrived\n", group,
                             static_cast<unsigned long long>(arrived.load() - base),
                             static_cast<unsigned long long>(sent));
                return false;
            }
        return true;
    };
    bool ok = true;
    for (uint64_t sent = 0; ok && sent < DATAGRAMS; ++sent)
    {
        ok = settled(sent, WINDOW - 1);
        fill(bytes, sequenced ? g_nextSeq++ : sent + 1, size);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
    }
    ok = ok && settled(DATAGRAMS, 0);
    const int64_t elapsed = nowNs() - start;
    ::close(fd);
    return ok ? double(DATAGRAMS) * 1e9 / double(elapsed) : 0;
}

void BM_Bound(benchmark::State& state)
{
    double rate = 0;
    for (auto _ : state)
        rate = blast(GROUP_BOUND, g_bound, static_cast<size_t>(state.range(0)), false);
    if (rate == 0)
        state.SkipWithError("datagrams lost");
    g_boundRate[state.range(0)] = rate;
    state.counters["dgram_per_s"] = rate;
}

void BM_ConfiguredLine(benchmark::State& state)
{
    double rate = 0;
    for (auto _ : state)
        rate = blast(GROUP_LINE, g_line, static_cast<size_t>(state.range(0)), true);
    if (rate == 0)
        state.SkipWithError("datagrams lost or held by the filter");
    state.counters["dgram_per_s"] = rate;
    const double bound = g_boundRate[state.range(0)];
    state.counters["of_bound"] = bound > 0 ? rate / bound : 0;
}

// Each line run right after the bound's run of the same size.
void registerPairs()
{
    for (int size : {64, 512})
    {
        using Fn = void (*)(benchmark::State&);
        const std::pair<const char*, Fn> pair[] = {{"BM_Bound", BM_Bound}, {"BM_ConfiguredLine", BM_ConfiguredLine}};
        for (const auto& [name, fn] : pair)
            benchmark::RegisterBenchmark(name, fn)->Arg(size)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
}

// Drives the run once both receivers hear their groups.
struct Driver : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        const int fd = loopbackMulticastSender();
        std::string bytes;
        for (int i = 0; i < 5000 && (g_line == 0 || g_bound == 0); ++i)
        {
            if (g_line == 0)
            {
                // Every probe is number 1: the first heard is taken, the
                // rest are duplicates the filter drops.
                const sockaddr_in dst = to(GROUP_LINE);
                fill(bytes, 1, 64);
                ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
            }
            const sockaddr_in dst = to(GROUP_BOUND);
            fill(bytes, 1, 64);
            ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::close(fd);
        g_nextSeq = 2;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (g_line == 0 || g_bound == 0)
            std::fprintf(stderr, "receivers did not join\n");
        else
        {
            benchmark::Initialize(&hostbench::Runner::argc, hostbench::Runner::argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
        }
        ::kill(::getpid(), SIGTERM);
    }
};

int boundCallback(MessageType type, EventMsg* event, DataMsg* data)
{
    if (type == MSG_DATA && data != nullptr)
        g_bound.fetch_add(1, std::memory_order_release);
    else if (type == MSG_EVENT && event != nullptr && event->id == CONN_READY_TO_OPEN)
        sendNetEvent("MCBOUND", MCAST_JOIN, nullptr);
    return 0;
}

hostbench::Host* g_host = nullptr;
ZunqConfigManager* g_config = nullptr;
Counter g_counter;

int registerAll()
{
    for (auto [name, cb] : {std::pair<const char*, FwMessageCallback>{"MDRV", Runnable::callback},
                            std::pair<const char*, FwMessageCallback>{"MCB", boundCallback}})
    {
        ThreadParam thread;
        initStructParam(THREAD_PARAM, &thread, sizeof(thread));
        copyResourceName(thread.threadNameTxt, name);
        thread.statusCheckInterval = 0; // the driver sits in its callback for the whole run
        thread.messageQueueLength = 8192;
        if (registerThread(&thread) != 0 || registerMessageCallback(name, cb) != 0)
            return -1;
    }
    ModuleList& modules = g_host->modules;
    try
    {
        moduleInitializer()->initialize(&modules, g_config);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "start-up: %s\n", e.what());
        return -1;
    }
    auto* filtered = findModule<Orlu<LineData>>(&modules, "OrluLineData", "A");
    if (filtered == nullptr || findModule<LineHandler>(&modules, "LineHandler", "A") == nullptr)
    {
        std::fprintf(stderr, "no configured line\n");
        return -1;
    }
    filtered->subscribe(&g_counter);
    return hostbench::registerLoopbackMulticastReceiver("MCBOUND", "MCB", GROUP_BOUND, g_boundPort,
                                                        LineHandlerMulticast::cDefaultUdpBufferSize);
}
} // namespace

int main(int argc, char** argv)
{
    hostbench::Runner::argc = argc;
    hostbench::Runner::argv = argv;
    registerPairs();
    g_linePort = freePort(SOCK_DGRAM);
    do
        g_boundPort = freePort(SOCK_DGRAM);
    while (g_boundPort == g_linePort);
    hostbench::Host host(argv[0]);
    g_host = &host;
    registerModule<Log>(&host.modules, "Log", &host.log, host.modules.defaultGroup());
    hostbench::Thread<Driver> driver(host, "MDRV");

    std::string dir = (std::filesystem::temp_directory_path() / "lhmodbenchXXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr)
        return 1;
    const std::string path = dir + "/feedd.xml";
    std::ofstream(path) << "<Config><QueueSize>8192</QueueSize>"
                           "<NamedThreads><Value>FEED</Value></NamedThreads><FEED><Enabled>true</Enabled></FEED>"
                           "<SubFeeds><Value>A</Value></SubFeeds>"
                           "<A><UseNamedThread>FEED</UseNamedThread><LineHandlerType>multicast</LineHandlerType>"
                           "<Listen>127.0.0.1/"
                        << GROUP_LINE << "/" << g_linePort
                        << "</Listen></A>"
                           "<LineFilterInitialSeqNum>1</LineFilterInitialSeqNum>"
                           "<LineDataSeqNumOffset>1</LineDataSeqNumOffset><LineDataSeqNumLength>9</LineDataSeqNumLength></Config>";
    const char* args[] = {"feedd"};
    ZunqConfigManager config(1, args);
    std::unique_ptr<ConfigFile> file(ConfigFile::load("config", path));
    if (!file)
        return 1;
    config.addFile(file.get());
    config.setAppName("feedd");
    g_config = &config;
    const int rc = hostbench::runFramework(argv[0], "LHMODBENCH", registerAll);
    std::filesystem::remove_all(dir);
    return rc;
}
