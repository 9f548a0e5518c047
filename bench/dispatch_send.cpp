// Costs of the dispatcher's send operations, each beside what it is made of:
// - thread data by name into a real queue (send plus one get per iteration,
//   so the queue never fills), and its latency from one thread to another
//   (p50/p99 in nanoseconds, one message in flight);
// - a loopback TCP send through the dispatcher beside writev of the same
//   bytes on a second connection, a reader thread draining each;
// - a UDP send through the dispatcher beside sendto of the same datagram.
#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <pthread.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{
ThreadResource* addThread(ResourceManager& registry, const char* name)
{
    ThreadParam param;
    registry.initThreadParam(param);
    ResourceManager::copyResourceName(param.threadNameTxt, name);
    ThreadResource* res = nullptr;
    registry.registerThreadRes(param, true, &res);
    return res;
}

// A sending thread's dispatcher and a peer thread with real queues.
struct ThreadPair
{
    ResourceManager registry{nullptr};
    ThreadResource* self = addThread(registry, "SELF");
    ThreadResource* peer = addThread(registry, "PEER");
    FwMessageQueue high;
    FwMessageQueue normal;
    std::unique_ptr<MsgDispatcher> dispatcher;

    explicit ThreadPair(OptimizationMode mode)
        : high(1000, false, true, mode, false, 100), normal(1000, false, true, mode, false, 100)
    {
        peer->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &high;
        peer->msgQueuePtrArray[MQUEUE_NORMAL] = &normal;
        peer->status.store(RES_ACTIVE);
        self->status.store(RES_ACTIVE);
        dispatcher = std::make_unique<MsgDispatcher>(self, registry, nullptr);
    }
};

void BM_ThreadSend(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(1));
    ThreadPair pair(mode);
    MsgDispatcher& dispatcher = *pair.dispatcher;
    FwMessageQueue& normal = pair.normal;
    const std::string payload(static_cast<size_t>(state.range(0)), 'p');
    FwIntMessage out{};
    bool more = false;
    for (auto _ : state)
    {
        if (dispatcher.sendThreadMessage("PEER", payload.data(), static_cast<int32>(payload.size())) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
        normal.getMessage(&out, more);
        benchmark::DoNotOptimize(out.appMsg.data.dataLen);
    }
    state.SetLabel(mode == CPU_UTILIZATION ? "CPU_UTILIZATION" : "LOW_LATENCY");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void pinTo(pthread_t thread, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<size_t>(cpu) % static_cast<size_t>(std::max(1u, std::thread::hardware_concurrency())), &set);
    pthread_setaffinity_np(thread, sizeof(set), &set);
}

int64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One 100-byte message in flight: the sender stamps it, a spinning reader on
// another thread takes it from the queue and notes how long it took.
void BM_ThreadSendLatency(benchmark::State& state)
{
    const auto mode = static_cast<OptimizationMode>(state.range(0));
    ThreadPair pair(mode);
    MsgDispatcher& dispatcher = *pair.dispatcher;
    FwMessageQueue& normal = pair.normal;
    std::atomic<bool> stop{false};
    std::atomic<uint64> received{0};
    std::vector<int64> samples;
    samples.reserve(1 << 22);
    // Sender and reader spin on CPUs of their own, so that neither waits for
    // the other to be scheduled.
    cpu_set_t savedCpus;
    pthread_getaffinity_np(pthread_self(), sizeof(savedCpus), &savedCpus);
    pinTo(pthread_self(), 2);
    std::thread reader([&] {
        pinTo(pthread_self(), 3);
        FwIntMessage msg{};
        bool more = false;
        while (!stop.load(std::memory_order_relaxed))
        {
            if (normal.getMessage(&msg, more) != 0)
                continue;
            int64 sent = 0;
            std::memcpy(&sent, msg.appMsg.data.buffer, sizeof(sent));
            if (samples.size() < samples.capacity())
                samples.push_back(nowNs() - sent);
            received.fetch_add(1, std::memory_order_release);
        }
    });
    char payload[100] = {};
    uint64 sentCount = 0;
    for (auto _ : state)
    {
        const int64 t = nowNs();
        std::memcpy(payload, &t, sizeof(t));
        if (dispatcher.sendThreadMessage("PEER", payload, sizeof(payload)) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
        ++sentCount;
        while (received.load(std::memory_order_acquire) < sentCount)
        {
        }
    }
    stop.store(true);
    reader.join();
    pthread_setaffinity_np(pthread_self(), sizeof(savedCpus), &savedCpus);
    if (!samples.empty())
    {
        std::sort(samples.begin(), samples.end());
        state.counters["p50_ns"] = static_cast<double>(samples[samples.size() / 2]);
        state.counters["p99_ns"] = static_cast<double>(samples[samples.size() * 99 / 100]);
    }
    state.SetLabel(mode == CPU_UTILIZATION ? "CPU_UTILIZATION" : "LOW_LATENCY");
}

// A loopback connection whose far end a thread drains.
struct DrainedConn
{
    int fd = -1;
    int peerFd = -1;
    std::thread drainer;

    DrainedConn()
    {
        const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t alen = sizeof(addr);
        ::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(lfd, 1);
        ::getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &alen);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        peerFd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(lfd);
        drainer = std::thread([this] {
            std::vector<char> buf(1 << 20);
            while (::recv(peerFd, buf.data(), buf.size(), 0) > 0)
            {
            }
        });
    }
    ~DrainedConn()
    {
        ::shutdown(fd, SHUT_RDWR);
        drainer.join();
        ::close(fd);
        ::close(peerFd);
    }
};

TcpConnResource* addTcp(ResourceManager& registry, const char* name)
{
    TcpConnParam p;
    registry.initTcpConnParam(p);
    ResourceManager::copyResourceName(p.connNameTxt, name);
    ResourceManager::copyResourceName(p.threadNameTxt, "SELF");
    std::strcpy(p.remoteAddrTxt, "127.0.0.1");
    std::strcpy(p.interfaceTxt, "127.0.0.1");
    p.remotePort = 9000;
    p.connectAtStartup = false;
    TcpConnResource* res = nullptr;
    registry.registerTcpConnRes(p, &res, false);
    return res;
}

void BM_TcpSend(benchmark::State& state)
{
    ResourceManager registry(nullptr);
    ThreadResource* self = addThread(registry, "SELF");
    self->status.store(RES_ACTIVE);
    TcpConnResource* rec = addTcp(registry, "TCPB");
    if (rec == nullptr)
    {
        state.SkipWithError("no TCP record");
        return;
    }
    DrainedConn conn;
    TcpDataSocket sock(::dup(conn.fd), true, -1, -1); // -1: the system's buffer sizes, as writev gets
    rec->dataSockPtr = &sock;
    rec->status.store(RES_CONNECTED);
    MsgDispatcher dispatcher(self, registry, nullptr);
    const std::string payload(static_cast<size_t>(state.range(0)), 't');
    const auto len = static_cast<int32>(payload.size());
    for (auto _ : state)
    {
        if (dispatcher.sendTcpMessage("TCPB", payload.data(), len) != len)
        {
            state.SkipWithError("short send");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    sock.disconnect();
}

void BM_TcpWritev(benchmark::State& state)
{
    DrainedConn conn;
    // The framework's connections send without delay; so does the baseline.
    const int one = 1;
    ::setsockopt(conn.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const std::string payload(static_cast<size_t>(state.range(0)), 't');
    for (auto _ : state)
    {
        size_t done = 0;
        while (done < payload.size())
        {
            iovec iov{const_cast<char*>(payload.data()) + done, payload.size() - done};
            const ssize_t n = ::writev(conn.fd, &iov, 1);
            if (n <= 0)
            {
                state.SkipWithError("writev failed");
                return;
            }
            done += static_cast<size_t>(n);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Datagrams to a group on the loopback interface with nobody joined: the
// cost is the send path itself.
void BM_UdpSend(benchmark::State& state)
{
    ResourceManager registry(nullptr);
    ThreadResource* self = addThread(registry, "SELF");
    self->status.store(RES_ACTIVE);
    UdpConnParam p;
    registry.initUdpConnParam(p);
    ResourceManager::copyResourceName(p.connNameTxt, "UDPB");
    ResourceManager::copyResourceName(p.threadNameTxt, "SELF");
    std::strcpy(p.interfaceTxt, "127.0.0.1");
    std::strcpy(p.destAddrTxt, "239.255.73.1");
    p.port = 5000;
    p.udpMode = MULTICAST_SENDER_MODE;
    UdpConnResource* rec = nullptr;
    if (registry.registerUdpConnRes(p, &rec) != 0)
    {
        state.SkipWithError("no UDP record");
        return;
    }
    MulticastSocket sock(MULTICAST_SEND, "127.0.0.1", "239.255.73.1", 5000, true, 1, DISABLE_MCAST_LOOPBACK, -1, -1);
    sock.initialize();
    rec->multicastSockPtr = &sock;
    rec->status.store(RES_CONNECTED);
    MsgDispatcher dispatcher(self, registry, nullptr);
    const std::string payload(static_cast<size_t>(state.range(0)), 'u');
    for (auto _ : state)
    {
        if (dispatcher.sendUdpMessage("UDPB", payload.data(), static_cast<int32>(payload.size())) != 0)
        {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_UdpSendto(benchmark::State& state)
{
    MulticastSocket sock(MULTICAST_SEND, "127.0.0.1", "239.255.73.1", 5000, true, 1, DISABLE_MCAST_LOOPBACK, -1, -1);
    sock.initialize();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5000);
    ::inet_pton(AF_INET, "239.255.73.1", &to.sin_addr);
    const std::string payload(static_cast<size_t>(state.range(0)), 'u');
    for (auto _ : state)
    {
        if (::sendto(sock.getFileDescriptor(), payload.data(), payload.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&to), sizeof(to)) < 0)
        {
            state.SkipWithError("sendto failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
} // namespace

BENCHMARK(BM_ThreadSend)->ArgsProduct({{100, 2200}, {CPU_UTILIZATION, LOW_LATENCY}});
BENCHMARK(BM_ThreadSendLatency)->Arg(CPU_UTILIZATION)->Arg(LOW_LATENCY)->UseRealTime();
BENCHMARK(BM_TcpSend)->Arg(200)->Arg(4096)->Arg(65536)->UseRealTime();
BENCHMARK(BM_TcpWritev)->Arg(200)->Arg(4096)->Arg(65536)->UseRealTime();
BENCHMARK(BM_UdpSend)->Arg(200)->Arg(1400)->UseRealTime();
BENCHMARK(BM_UdpSendto)->Arg(200)->Arg(1400)->UseRealTime();

BENCHMARK_MAIN();
