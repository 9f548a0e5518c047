// Multicast datagrams through the network thread to the owning thread's
// reader, beside a plain single-thread recvmmsg loop (batches of 10) on the
// same traffic, waiting the way the receiver waits in the mode measured: in
// CPU_UTILIZATION mode it sleeps in the receive until a datagram comes
// (MSG_WAITFORONE), in LOW_LATENCY mode it polls. The polling loop is also
// shown in CPU mode (spin_*) as the figure no sleeping reader can reach:
// - throughput: sender threads blast datagrams of 64, 512 and 1400 bytes at
//   a loopback group for one second; datagrams/s that reached the reader
//   (the receiver saturated, the kernel dropping the rest);
// - latency: one sender paced at 50,000 datagrams/s stamps each with the
//   monotonic clock; p50 and p99 from the stamp to the reader.
// Modes: 0 CPU_UTILIZATION (the network thread waits on descriptors, each
// batch wakes the reader's descriptor), 1 LOW_LATENCY (every loop polls).
// The reader polls in both modes, so the figures are the receiver's own:
// a sleeping reader adds its wake-up to the latency and to every batch.
// The host's other load moves single runs by a third, so each figure is the
// median of ROUNDS rounds that alternate the receiver and its bound, and the
// ratio is the median of the rounds' own ratios.
#include "NetIngestSupport.h"

#include "FendralCore/dispatch/MulticastSocket.h"

#include <benchmark/benchmark.h>

#include <sched.h>

using namespace netbench;

namespace
{
constexpr int64_t RUN_NS = 1000000000;
constexpr int ROUNDS = 5;

std::string group()
{
    static int counter = 0;
    return "239.77." + std::to_string(::getpid() % 250) + "." + std::to_string(1 + counter++ % 250);
}

int senderCount()
{
    // The cores this process may run on (taskset narrows them): senders,
    // the network thread and the reader must not share one.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const unsigned cores = ::sched_getaffinity(0, sizeof allowed, &allowed) == 0
                               ? static_cast<unsigned>(CPU_COUNT(&allowed))
                               : std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores > 3 ? cores - 3 : 1u, 1u, 6u));
}

// Senders blast (paceNs 0) or one sender paces for RUN_NS; each datagram
// starts with its send time.
void send(const std::string& grp, uint16 port, int64_t size, int senders, int64_t paceNs)
{
    const sockaddr_in to = groupAddress(grp, port);
    std::vector<std::thread> threads;
    const int64_t end = nowNs() + RUN_NS;
    for (int s = 0; s < senders; ++s)
        threads.emplace_back([&] {
            const int fd = loopbackMulticastSender();
            std::vector<char> buf(static_cast<size_t>(size), 'd');
            int64_t next = nowNs();
            for (int64_t now = nowNs(); now < end; now = nowNs())
            {
                if (paceNs > 0)
                {
                    if (now < next)
                        continue;
                    next += paceNs;
                }
                std::memcpy(buf.data(), &now, sizeof now);
                ::sendto(fd, buf.data(), buf.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
            ::close(fd);
        });
    for (std::thread& t : threads)
        t.join();
}

struct Result
{
    double perSecond = 0;
    double p50 = 0;
    double p99 = 0;
    // CPU time the receiving thread was given over the sending time.
    double cpuShare = 0;
    // Datagrams the network thread dropped because the reader had fallen
    // 16,384 behind (through the receiver only).
    double ownerBehindDrops = 0;
    // Datagrams per receive of the plain loop: under its batch of 10, the
    // loop kept up with the senders and the socket queue was not full.
    double perBatch = 0;
};

// Through the network thread: the reader counts whole datagrams.
Result throughReceiver(int64_t size, OptimizationMode mode, int senders, int64_t paceNs)
{
    Harness h(mode);
    const std::string grp = group();
    const uint16 port = freePort(SOCK_DGRAM);
    UdpConnResource* res = addMcastChannel(h.registry(), grp, port);
    h.start(false);
    while (res->status.load() != RES_CONNECTED)
        ::sched_yield();

    std::atomic<bool> stop{false};
    int64_t count = 0;
    std::vector<int64_t> lat;
    lat.reserve(100000);
    std::thread reader([&] {
        FwIntMessage m{};
        bool more = false;
        while (!stop.load(std::memory_order_relaxed))
        {
            if (h.ownerQueue().getMessage(&m, more) != 0 || m.appMsg.type != MSG_DATA)
                continue;
            if (m.appMsg.data.msgPartNum == 0 && paceNs > 0 && lat.size() < lat.capacity())
            {
                int64_t stamp = 0;
                std::memcpy(&stamp, m.appMsg.data.buffer, sizeof stamp);
                lat.push_back(nowNs() - stamp);
            }
            if (!m.appMsg.data.more)
                ++count;
        }
    });
    const int64_t t0 = nowNs();
    const int64_t cpu0 = h.netCpuNs();
    send(grp, port, size, senders, paceNs);
    const int64_t t1 = nowNs();
    const int64_t cpu1 = h.netCpuNs();
    ::usleep(50000);
    stop = true;
    reader.join();
    const auto drops = static_cast<double>(res->multicastSockPtr->getOwnerBehindDropCount());
    h.stop();
    return Result{static_cast<double>(count) * 1e9 / static_cast<double>(t1 - t0), percentile(lat, 0.5),
                  percentile(lat, 0.99), static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0), drops};
}

// The bound: one thread, recvmmsg in batches of 10 on a socket of its own;
// poll true never sleeps, otherwise the receive waits for the first datagram.
Result plainLoop(int64_t size, int senders, int64_t paceNs, bool poll)
{
    const std::string grp = group();
    const uint16 port = freePort(SOCK_DGRAM);
    MulticastSocket sock(MULTICAST_RECEIVE, "127.0.0.1", grp.c_str(), port, true, 0, ENABLE_MCAST_LOOPBACK, -1,
                         4 * 1024 * 1024);
    sock.initialize();
    sock.join();
    // A sleeping receive still sees the stop flag.
    const timeval wake{0, 10000};
    ::setsockopt(sock.getFileDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    const int flags = poll ? MSG_DONTWAIT : MSG_WAITFORONE;
    std::atomic<bool> stop{false};
    int64_t count = 0;
    int64_t batches = 0;
    std::vector<int64_t> lat;
    lat.reserve(100000);
    std::thread reader([&] {
        constexpr int BATCH = 10;
        std::vector<char> bufs(BATCH * 10240);
        mmsghdr vec[BATCH]{};
        iovec iov[BATCH]{};
        while (!stop.load(std::memory_order_relaxed))
        {
            for (int i = 0; i < BATCH; ++i)
            {
                iov[i] = iovec{bufs.data() + i * 10240, 10240};
                vec[i].msg_hdr = msghdr{};
                vec[i].msg_hdr.msg_iov = &iov[i];
                vec[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = ::recvmmsg(sock.getFileDescriptor(), vec, BATCH, flags, nullptr);
            if (n <= 0)
                continue;
            for (int i = 0; i < n; ++i)
                if (paceNs > 0 && lat.size() < lat.capacity())
                {
                    int64_t stamp = 0;
                    std::memcpy(&stamp, iov[i].iov_base, sizeof stamp);
                    lat.push_back(nowNs() - stamp);
                }
            count += n;
            ++batches;
        }
    });
    const int64_t t0 = nowNs();
    const int64_t cpu0 = threadCpuNs(reader);
    send(grp, port, size, senders, paceNs);
    const int64_t t1 = nowNs();
    const int64_t cpu1 = threadCpuNs(reader);
    ::usleep(50000);
    stop = true;
    reader.join();
    return Result{static_cast<double>(count) * 1e9 / static_cast<double>(t1 - t0), percentile(lat, 0.5),
                  percentile(lat, 0.99), static_cast<double>(cpu1 - cpu0) / static_cast<double>(t1 - t0),
                  0, batches > 0 ? static_cast<double>(count) / static_cast<double>(batches) : 0};
}

void BM_McastThroughput(benchmark::State& state)
{
    const int64_t size = state.range(0);
    const auto mode = static_cast<OptimizationMode>(state.range(1));
    const int senders = senderCount();
    std::vector<double> through, bound, ratio, netCpu, boundCpu, boundBatch, spin, drops;
    for (auto _ : state)
        for (int r = 0; r < ROUNDS; ++r)
        {
            const Result t = throughReceiver(size, mode, senders, 0);
            drops.push_back(t.ownerBehindDrops);
            const Result b = plainLoop(size, senders, 0, mode == LOW_LATENCY);
            through.push_back(t.perSecond);
            bound.push_back(b.perSecond);
            ratio.push_back(b.perSecond > 0 ? t.perSecond / b.perSecond : 0);
            netCpu.push_back(t.cpuShare);
            boundCpu.push_back(b.cpuShare);
            boundBatch.push_back(b.perBatch);
            if (mode == CPU_UTILIZATION)
                spin.push_back(plainLoop(size, senders, 0, true).perSecond);
        }
    state.counters["senders"] = senders;
    state.counters["dgrams_per_s"] = median(through);
    state.counters["bound_dgrams_per_s"] = median(bound);
    state.counters["ratio"] = median(ratio);
    state.counters["ratio_min"] = *std::min_element(ratio.begin(), ratio.end());
    state.counters["ratio_max"] = *std::max_element(ratio.begin(), ratio.end());
    state.counters["net_cpu_share"] = median(netCpu);
    state.counters["bound_cpu_share"] = median(boundCpu);
    state.counters["bound_dgrams_per_recv"] = median(boundBatch);
    state.counters["owner_behind_drops"] = median(drops);
    if (mode == CPU_UTILIZATION)
        state.counters["spin_bound_dgrams_per_s"] = median(spin);
}

void BM_McastLatency50k(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(0));
    std::vector<double> p50, p99, bp50, bp99, sp50, over;
    for (auto _ : state)
        for (int r = 0; r < ROUNDS; ++r)
        {
            const Result t = throughReceiver(64, mode, 1, 20000);
            const Result b = plainLoop(64, 1, 20000, mode == LOW_LATENCY);
            p50.push_back(t.p50 / 1000);
            p99.push_back(t.p99 / 1000);
            bp50.push_back(b.p50 / 1000);
            bp99.push_back(b.p99 / 1000);
            over.push_back((t.p50 - b.p50) / 1000);
            if (mode == CPU_UTILIZATION)
                sp50.push_back(plainLoop(64, 1, 20000, true).p50 / 1000);
        }
    state.counters["p50_us"] = median(p50);
    state.counters["p99_us"] = median(p99);
    state.counters["bound_p50_us"] = median(bp50);
    state.counters["bound_p99_us"] = median(bp99);
    state.counters["p50_over_bound_us"] = median(over);
    if (mode == CPU_UTILIZATION)
        state.counters["spin_bound_p50_us"] = median(sp50);
}
} // namespace

BENCHMARK(BM_McastThroughput)
    ->ArgsProduct({{64, 512, 1400}, {CPU_UTILIZATION, LOW_LATENCY}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_McastLatency50k)
    ->Arg(CPU_UTILIZATION)
    ->Arg(LOW_LATENCY)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
