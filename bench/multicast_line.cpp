// Datagrams from loopback senders through the real framework into a
// multicast line handler and on to a no-op subscriber of its line data bus,
// beside the same traffic into a bare framework callback of another thread
// in the same run (the bound). Payloads of 64, 512 and 1472 bytes, plain
// and zlib-compressed (the bound receives the same compressed bytes and does
// not inflate them).
// - dgram_per_s: two senders blast for half a second; datagrams that reached
//   the receiver per second (the kernel drops the rest);
// - p50_us, p99_us: one sender paced at 10,000 datagrams/s; the k-th arrival
//   paired with the k-th send, monotonic clock;
// - allocs_per_dgram: operator new calls in the whole process during the
//   run, per datagram received (a full queue makes the framework park
//   datagrams, which allocates); paced_allocs: those of the paced part
//   alone, the handler's steady state.
// The benchmarks run inside the driving thread's appReady of a real framework
// process.
#include "HostBenchSupport.h"
#include "NetIngestSupport.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/LineHandlerMulticast.h"

#include "FendralServices/api/FwServices.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace
{
std::atomic<std::uint64_t> g_allocations{0};
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

using namespace netbench;

namespace
{
constexpr int64_t BLAST_NS = 500000000;
constexpr int64_t PACE_NS = 100000; // 10,000 datagrams/s
constexpr size_t SAMPLES = 5000;
constexpr int SENDERS = 2;


// What a receiver counts, and while sampling the arrival times.
struct Taken
{
    std::atomic<uint64_t> count{0};
    std::vector<int64_t> arrivals = std::vector<int64_t>(SAMPLES * 2);
    std::atomic<size_t> sampled{0};
    std::atomic<bool> sampling{false};
    void take()
    {
        if (sampling.load(std::memory_order_relaxed))
        {
            const size_t i = sampled.load(std::memory_order_relaxed);
            if (i < arrivals.size())
            {
                arrivals[i] = nowNs();
                sampled.store(i + 1, std::memory_order_release);
            }
        }
        count.fetch_add(1, std::memory_order_release);
    }
};

Taken g_plain;      // the handler, plain line
Taken g_compressed; // the handler, compressed line
Taken g_bound;      // the bare callback

struct NoOp : OrluSubscriber<LineData>
{
    explicit NoOp(Taken& taken) : OrluSubscriber<LineData>("noop"), taken(taken) {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData&) override { taken.take(); }
    Taken& taken;
};

struct Factory : LineDataFactory
{
    LineData* create() override { return new LineDataBasic; }
    void destroy(LineData* d) override { delete d; }
};

const char* const GROUP_PLAIN = "239.77.41.1";
const char* const GROUP_COMPRESSED = "239.77.41.2";
const char* const GROUP_BOUND = "239.77.41.3";
uint16 g_port = 0;
LineHandlerMulticast* g_plainLine = nullptr;
LineHandlerMulticast* g_compressedLine = nullptr;

sockaddr_in to(const char* group)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(g_port);
    ::inet_pton(AF_INET, group, &a.sin_addr);
    return a;
}

// A payload of market-data-like text of `size` bytes, plain or compressed.
std::string datagram(size_t size, bool compressed)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "Q|XYZ" + std::to_string(i % 97) + "|" + std::to_string(1000 + i * 7 % 311) + "|";
    text.resize(size);
    if (!compressed)
        return text;
    uLongf n = compressBound(text.size());
    std::string out(n, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(text.data()), text.size(), 6);
    out.resize(n);
    return out;
}

// Waits for `target` arrivals, at most `ns`.
bool waitFor(const Taken& taken, uint64_t target, int64_t ns)
{
    const int64_t end = nowNs() + ns;
    while (taken.count.load(std::memory_order_acquire) < target)
    {
        if (nowNs() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

void run(benchmark::State& state, const char* group, Taken& taken, const LineHandlerMulticast* line = nullptr)
{
    const uint64_t droppedBefore = line != nullptr ? line->getDroppedCount() : 0;
    const size_t size = static_cast<size_t>(state.range(0));
    const bool compressed = state.range(1) != 0;
    const std::string bytes = datagram(size, compressed);
    const sockaddr_in dst = to(group);
    double rate = 0;
    double p50 = 0;
    double p99 = 0;
    uint64_t allocations = 0;
    uint64_t pacedAllocations = 0;
    uint64_t received = 0;
    for (auto _ : state)
    {
        // Latency at a modest rate, on an idle receiver.
        std::vector<int64_t> sent(SAMPLES);
        const uint64_t allocBefore = g_allocations.load();
        taken.sampled = 0;
        const uint64_t base = taken.count.load();
        taken.sampling = true;
        const int fd = loopbackMulticastSender();
        int64_t next = nowNs();
        for (size_t i = 0; i < SAMPLES; ++i)
        {
            while (nowNs() < next)
            {
            }
            sent[i] = nowNs();
            ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
            next += PACE_NS;
        }
        ::close(fd);
        waitFor(taken, base + SAMPLES, 1000000000);
        taken.sampling = false;
        pacedAllocations = g_allocations.load() - allocBefore;
        const size_t n = std::min(taken.sampled.load(), SAMPLES);
        std::vector<int64_t> delays(n);
        for (size_t i = 0; i < n; ++i)
            delays[i] = taken.arrivals[i] - sent[i];
        std::sort(delays.begin(), delays.end());
        if (!delays.empty())
        {
            p50 = double(delays[n / 2]) / 1000.0;
            p99 = double(delays[std::min(n - 1, n * 99 / 100)]) / 1000.0;
        }
        if (n != SAMPLES || taken.count.load() != base + SAMPLES)
            state.SkipWithError("datagrams lost or left over at the paced rate");
        // Throughput at saturation.
        const uint64_t before = taken.count.load();
        std::vector<std::thread> senders;
        const int64_t start = nowNs();
        for (int s = 0; s < SENDERS; ++s)
            senders.emplace_back([&] {
                const int fd = loopbackMulticastSender();
                while (nowNs() - start < BLAST_NS)
                    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
                ::close(fd);
            });
        for (std::thread& t : senders)
            t.join();
        // Drained once nothing more arrives for a second: what the framework
        // parked behind a full queue comes later, on its retry. The next
        // paced part must find the receiver idle.
        for (uint64_t seen = taken.count.load();;)
        {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const uint64_t now = taken.count.load();
            if (now == seen)
                break;
            seen = now;
        }
        const uint64_t blasted = taken.count.load() - before;
        rate = double(blasted) * 1e9 / double(BLAST_NS);

        received = blasted + n;
        allocations = g_allocations.load() - allocBefore;
    }
    if (line != nullptr)
        state.counters["dropped"] = double(line->getDroppedCount() - droppedBefore);
    state.counters["dgram_per_s"] = rate;
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    // Senders' own thread starts count too: a few per run, not per datagram.
    state.counters["allocs_per_dgram"] = received != 0 ? double(allocations) / double(received) : 0;
    state.counters["paced_allocs"] = double(pacedAllocations);
}

void BM_Handler(benchmark::State& s)
{
    s.range(1) != 0 ? run(s, GROUP_COMPRESSED, g_compressed, g_compressedLine) : run(s, GROUP_PLAIN, g_plain, g_plainLine);
}
void BM_Bound(benchmark::State& s)
{
    run(s, GROUP_BOUND, g_bound);
}

// Each handler run right after the bound's run on the same traffic, so both
// meet the same state of the machine.
void registerPairs()
{
    for (int compressed : {0, 1})
        for (int size : {64, 512, 1472})
        {
            using Fn = void (*)(benchmark::State&);
            const std::pair<const char*, Fn> pair[] = {{"BM_Bound", BM_Bound}, {"BM_Handler", BM_Handler}};
            for (const auto& [name, fn] : pair)
                benchmark::RegisterBenchmark(name, fn)
                    ->Args({size, compressed})
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime();
        }
}

// Drives the run once every receiver has joined.
struct Driver : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        const int fd = loopbackMulticastSender();
        const std::string probe = datagram(64, false);
        const std::string zprobe = datagram(64, true);
        for (int i = 0; i < 5000 && (g_plain.count == 0 || g_compressed.count == 0 || g_bound.count == 0); ++i)
        {
            for (const char* g : {GROUP_PLAIN, GROUP_BOUND})
            {
                const sockaddr_in dst = to(g);
                ::sendto(fd, probe.data(), probe.size(), 0, reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
            }
            const sockaddr_in dst = to(GROUP_COMPRESSED);
            ::sendto(fd, zprobe.data(), zprobe.size(), 0, reinterpret_cast<const sockaddr*>(&dst), sizeof dst);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::close(fd);
        if (g_plain.count == 0 || g_compressed.count == 0 || g_bound.count == 0)
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
        g_bound.take();
    else if (type == MSG_EVENT && event != nullptr && event->id == CONN_READY_TO_OPEN)
        sendNetEvent("MCBOUND", MCAST_JOIN, nullptr);
    return 0;
}

int registerAll()
{
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    int slot = 0;
    struct T
    {
        const char* name;
        FwMessageCallback cb;
    };
    for (T t : {T{"MDRV", Runnable::callback}, T{"MCH", Runnable::callback}, T{"MCB", boundCallback}})
    {
        ThreadParam thread;
        initStructParam(THREAD_PARAM, &thread, sizeof(thread));
        copyResourceName(thread.threadNameTxt, t.name);
        thread.statusCheckInterval = 0; // the driver sits in its callback for the whole run
        thread.messageQueueLength = 8192;
        // Both receivers on one CPU: the same conditions for both paths.
        if (cpus >= 4 && slot++ > 0)
            thread.cpuAffinityBitmask = 1ULL << (cpus - 2);
        if (registerThread(&thread) != 0 || registerMessageCallback(t.name, t.cb) != 0)
            return -1;
    }
    try
    {
        g_plainLine->setMulticastParams("127.0.0.1", GROUP_PLAIN, std::to_string(g_port), true);
        g_compressedLine->setMulticastParams("127.0.0.1", GROUP_COMPRESSED, std::to_string(g_port), true);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        return -1;
    }
    return hostbench::registerLoopbackMulticastReceiver("MCBOUND", "MCB", GROUP_BOUND, g_port,
                                                        LineHandlerMulticast::cDefaultUdpBufferSize);
}
} // namespace

int main(int argc, char** argv)
{
    hostbench::Runner::argc = argc;
    hostbench::Runner::argv = argv;
    registerPairs();
    g_port = freePort(SOCK_DGRAM);
    hostbench::Host host(argv[0]);
    hostbench::Thread<Driver> driver(host, "MDRV");
    hostbench::Thread<> receiver(host, "MCH");
    Log& log = host.log;

    Factory factory;
    LineHandlerMulticast plain(factory, receiver.session, log);
    LineHandlerMulticast compressed(factory, receiver.session, log);
    plain.setFeedName("MCPLAIN");
    compressed.setFeedName("MCZIP");
    compressed.setDataIsCompressed(true);
    for (LineHandlerMulticast* l : {&plain, &compressed})
        l->setSendPubFlushMsg(true);
    Orlu<LineData> plainBus("plain", "default"), compressedBus("compressed", "default");
    Orlu<MsgPubAdmin> adminBus("admin", "default");
    NoOp plainSink(g_plain), compressedSink(g_compressed);
    plainBus.subscribe(&plainSink);
    compressedBus.subscribe(&compressedSink);
    plain.OrluPublisher<LineData>::setDestination(&plainBus);
    compressed.OrluPublisher<LineData>::setDestination(&compressedBus);
    plain.OrluPublisher<MsgPubAdmin>::setDestination(&adminBus);
    compressed.OrluPublisher<MsgPubAdmin>::setDestination(&adminBus);
    g_plainLine = &plain;
    g_compressedLine = &compressed;

    const int rc = hostbench::runFramework(argv[0], "MCLBENCH", registerAll);
    plainBus.unsubscribe(&plainSink);
    compressedBus.unsubscribe(&compressedSink);
    return rc;
}
