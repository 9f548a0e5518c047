// TCP ingest: one loopback client writes frames of the length-and-sequence
// framing (1000-byte bodies, and 100-byte ones, where the per-message costs
// weigh ten times as much) as fast as it can for one second into a listen
// channel; MB/s of whole frames that reached the owning thread's reader
// through the network thread, the stream buffer and the stream thread,
// beside a plain read loop on the same traffic. The bound reads as much per
// call as the network thread may (NetReceiver::TCP_READ_SIZE), and sleeps in
// the read in CPU_UTILIZATION mode or polls in LOW_LATENCY mode as the
// network thread does; a loop of 64 KiB reads is shown beside it (bound64k).
// The third argument is the connection's stream buffer: 64 MiB, which rides
// out tens of milliseconds of a descheduled stream thread at full speed, and
// the default 22000 bytes, where the network thread stops reading whenever
// the stream thread falls behind and goes on when it has made room.
// BM_StreamPass measures the stream thread's work per message on its own.
// The host's other load moves single runs by a third, so each figure is the
// median of ROUNDS rounds that alternate the receiver and its bounds, and
// the ratio is the median of the rounds' own ratios.
#include "NetIngestSupport.h"

#include "FendralCore/dispatch/SingleRwRingBuffer2.h"
#include "FendralCore/dispatch/StreamEventRecord.h"
#include "FendralCore/runtime/StreamBuffer.h"

#include <benchmark/benchmark.h>

#include <cerrno>
#include <poll.h>

using namespace netbench;

namespace
{
constexpr int64_t RUN_NS = 1000000000;
constexpr int ROUNDS = 5;

int connectTo(uint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    for (int tries = 0; tries < 1000; ++tries)
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        else
            ::usleep(1000);
    return -1;
}

std::string frameBlock(size_t body)
{
    std::string frames;
    for (int i = 0; i < 64; ++i)
    {
        std::string f(10 + body, 'b');
        const auto size = static_cast<uint16_t>(body);
        std::memcpy(f.data(), &size, 2);
        frames += f;
    }
    return frames;
}

// Writes frames for RUN_NS; returns the nanoseconds it wrote for.
int64_t blast(int fd, size_t body)
{
    const std::string frames = frameBlock(body);
    const int64_t t0 = nowNs();
    const int64_t end = t0 + RUN_NS;
    while (nowNs() < end)
    {
        size_t done = 0;
        while (done < frames.size())
        {
            const ssize_t n = ::send(fd, frames.data() + done, frames.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return nowNs() - t0;
            done += static_cast<size_t>(n);
        }
    }
    return nowNs() - t0;
}

// Bytes per second, and the CPU share the network and the stream thread
// were given over the sending time. The CPU nanoseconds per KiB delivered are
// the threads' cost per byte, which the machine's load hardly moves, in
// CPU_UTILIZATION mode, where a thread with nothing to do sleeps (in
// LOW_LATENCY mode they count the polling too).
struct Ingest
{
    double mbPerSecond = 0;
    double netCpuShare = 0;
    double streamCpuShare = 0;
    double netNsPerKiB = 0;
    double streamNsPerKiB = 0;
    // Whether the connection broke before the sender's second was over, and
    // the reason the owner was given with its DISCONNECTED.
    bool dropped = false;
    int32 closeReason = 0;
};

double perKiB(int64_t cpuNs, int64_t bytes)
{
    return bytes > 0 ? static_cast<double>(cpuNs) * 1024.0 / static_cast<double>(bytes) : 0;
}

int64_t ownCpuNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Ingest throughReceiver(OptimizationMode mode, size_t body, int32 streamBufSize)
{
    Harness h(mode);
    const uint16 port = freePort(SOCK_STREAM);
    TcpConnParam p;
    h.registry().initTcpConnParam(p);
    copyName(p.connNameTxt, "SRV");
    copyName(p.threadNameTxt, "OWNER");
    std::strcpy(p.interfaceTxt, "127.0.0.1");
    p.tcpMode = TCP_SERVER_LISTEN_MODE;
    p.localPort = port;
    p.msgFormat = MSG_FORMAT_QUOR;
    p.connectAtStartup = true;
    p.streamBufSize = streamBufSize;
    TcpConnResource* res = nullptr;
    h.registry().registerTcpConnRes(p, &res, false);
    h.start();
    while (res->status.load() != RES_LISTENING)
        ::sched_yield();

    std::atomic<bool> stop{false};
    int64_t bytes = 0;
    int32 closeReason = 0;
    // The owner waits for its queue as an application thread does: asleep
    // on the descriptor in CPU_UTILIZATION mode (a reader spinning on it
    // would take a core from the threads measured), polling in LOW_LATENCY.
    std::thread reader([&] {
        FwIntMessage m{};
        bool more = false;
        pollfd p{h.ownerQueue().getFileDescriptor(), POLLIN, 0};
        while (!stop.load(std::memory_order_relaxed))
            if (h.ownerQueue().getMessage(&m, more) == 0)
            {
                if (m.appMsg.type == MSG_DATA)
                    bytes += m.appMsg.data.dataLen;
                else if (m.appMsg.event.id == DISCONNECTED && closeReason == 0)
                    closeReason = m.appMsg.event.eventParam.paramInt32;
            }
            else if (mode == CPU_UTILIZATION)
                ::poll(&p, 1, 10);
    });
    const int fd = connectTo(port);
    const int64_t net0 = h.netCpuNs();
    const int64_t stream0 = h.streamCpuNs();
    const int64_t ns = blast(fd, body);
    const int64_t net1 = h.netCpuNs();
    const int64_t stream1 = h.streamCpuNs();
    ::usleep(100000);
    ::close(fd);
    stop = true;
    reader.join();
    h.stop();
    return Ingest{static_cast<double>(bytes) * 1e3 / static_cast<double>(ns), // MB/s
                  static_cast<double>(net1 - net0) / static_cast<double>(ns),
                  static_cast<double>(stream1 - stream0) / static_cast<double>(ns), perKiB(net1 - net0, bytes),
                  perKiB(stream1 - stream0, bytes), ns < RUN_NS, closeReason};
}

struct Bound
{
    double mbPerSecond = 0;
    double nsPerKiB = 0; // the reading thread's CPU time
};

Bound plainLoop(size_t readSize, bool poll, size_t body)
{
    const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lfd, 1);
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    std::atomic<int64_t> bytes{0};
    int64_t cpuNs = 0;
    std::thread reader([&] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        std::vector<char> buf(readSize);
        const int64_t cpu0 = ownCpuNs();
        for (ssize_t n;;)
        {
            n = ::recv(fd, buf.data(), buf.size(), poll ? MSG_DONTWAIT : 0);
            if (n > 0)
                bytes.fetch_add(n, std::memory_order_relaxed);
            else if (n == 0 || errno != EAGAIN)
                break;
        }
        cpuNs = ownCpuNs() - cpu0;
        ::close(fd);
    });
    const int fd = connectTo(ntohs(a.sin_port));
    const int64_t ns = blast(fd, body);
    ::shutdown(fd, SHUT_WR);
    reader.join();
    ::close(fd);
    ::close(lfd);
    return Bound{static_cast<double>(bytes.load()) * 1e3 / static_cast<double>(ns), perKiB(cpuNs, bytes.load())};
}

void BM_TcpIngest(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(0));
    const auto body = static_cast<size_t>(state.range(1));
    const auto streamBufSize = static_cast<int32>(state.range(2));
    std::vector<double> mb, boundMb, ratio, netShare, streamShare, bound64k, netKiB, streamKiB, boundKiB;
    int dropped = 0;
    int32 closeReason = 0;
    for (auto _ : state)
        for (int r = 0; r < ROUNDS; ++r)
        {
            const Ingest t = throughReceiver(mode, body, streamBufSize);
            const Bound b = plainLoop(NetReceiver::TCP_READ_SIZE, mode == LOW_LATENCY, body);
            mb.push_back(t.mbPerSecond);
            boundMb.push_back(b.mbPerSecond);
            ratio.push_back(b.mbPerSecond > 0 ? t.mbPerSecond / b.mbPerSecond : 0);
            netShare.push_back(t.netCpuShare);
            streamShare.push_back(t.streamCpuShare);
            netKiB.push_back(t.netNsPerKiB);
            streamKiB.push_back(t.streamNsPerKiB);
            boundKiB.push_back(b.nsPerKiB);
            bound64k.push_back(plainLoop(65536, mode == LOW_LATENCY, body).mbPerSecond);
            dropped += t.dropped ? 1 : 0;
            if (closeReason == 0)
                closeReason = t.closeReason;
        }
    state.counters["MB_per_s"] = median(mb);
    state.counters["bound_MB_per_s"] = median(boundMb);
    state.counters["ratio"] = median(ratio);
    state.counters["ratio_min"] = *std::min_element(ratio.begin(), ratio.end());
    state.counters["ratio_max"] = *std::max_element(ratio.begin(), ratio.end());
    state.counters["net_cpu_share"] = median(netShare);
    state.counters["stream_cpu_share"] = median(streamShare);
    state.counters["bound64k_MB_per_s"] = median(bound64k);
    state.counters["net_ns_per_KiB"] = median(netKiB);
    state.counters["stream_ns_per_KiB"] = median(streamKiB);
    state.counters["bound_ns_per_KiB"] = median(boundKiB);
    state.counters["dropped_rounds"] = dropped;
    state.counters["close_reason"] = closeReason;
}

// The stream thread's own cost per message, on one thread and free of the
// other threads' scheduling: a block of 64 frames written into a stream
// buffer in reads of the network thread's size, each with its record, then
// one stream pass that cuts them and puts them on the owner's queue (the
// owner's reads are not timed). Args: mode, body bytes.
void BM_StreamPass(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(0));
    const auto body = static_cast<size_t>(state.range(1));
    GlobalData::getInst().m_optMode.store(mode);
    ResourceManager registry(nullptr);
    std::vector<std::unique_ptr<FwMessageQueue>> queues;
    ThreadResource* sh = addThread(registry, "DATA_STREAM_HDR", 64, mode, true, queues);
    addThread(registry, "CTL_THREAD", 64, mode, false, queues);
    ThreadResource* owner = addThread(registry, "OWNER", 1024, mode, false, queues);
    FwMessageQueue& ownerQueue = *owner->msgQueuePtrArray[MQUEUE_NORMAL];
    MessageStore store;
    TcpConnResource res{};
    copyName(res.tcpConnNameTxt, "CONN");
    copyName(res.regParam.threadNameTxt, "OWNER");
    res.regParam.msgFormat = MSG_FORMAT_QUOR;
    res.regParam.tcpMode = TCP_SERVER_DATA_MODE;
    res.msgQueuePtr = &ownerQueue;
    res.altMsgQueuePtr = owner->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    res.tmpMsgStorePtr = &store;
    res.status.store(RES_CONNECTED);
    res.streamBufPtr = new StreamBuffer(&res, 1 << 20, mode, false);
    SingleRwRingBuffer2<StreamEventRecord> ring(64);
    auto handler = std::make_unique<StreamHandler>(sh, registry, GlobalData::getInst(), nullptr);
    handler->setStreamEventRing(&ring);
    if (handler->initialize() != 0 || handler->addStream(&res, NEW_CONNECT) != 0)
    {
        state.SkipWithError("stream thread set-up failed");
        return;
    }
    drainQueue(ownerQueue);
    const std::string frames = frameBlock(body);
    StreamBuffer* sb = res.streamBufPtr;
    int64_t messages = 0;
    for (auto _ : state)
    {
        for (size_t at = 0; at < frames.size(); at += NetReceiver::TCP_READ_SIZE)
        {
            const auto n = static_cast<int32>(std::min<size_t>(NetReceiver::TCP_READ_SIZE, frames.size() - at));
            int32 written = 0;
            StreamEventRecord rec{};
            rec.tcpResId = loadTcpConnNameKey(res);
            rec.streamBufPtr = sb;
            sb->enqueue(frames.data() + at, n, written, rec.effectiveHdIdx, true, false);
            ring.enqueue(rec);
        }
        sb->wakeReader();
        int32 count = 0;
        handler->processAllDataStreams(count);
        messages += count;
        state.PauseTiming();
        drainQueue(ownerQueue);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(messages);
    state.SetBytesProcessed(messages * static_cast<int64_t>(body + 10));
    res.status.store(RES_DISCONNECTED);
    handler->delStream(&res, CONN_CLOSED);
}
} // namespace

BENCHMARK(BM_StreamPass)->ArgsProduct({{CPU_UTILIZATION, LOW_LATENCY}, {100, 1000}});
BENCHMARK(BM_TcpIngest)
    ->ArgsProduct({{CPU_UTILIZATION, LOW_LATENCY}, {1000, 100}, {64 << 20, 22000}})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
