// The retransmission client's receive road: a loopback server answers each
// request at full speed with 1472-byte packets (52 messages of 28 bytes),
// which cross the framework's network and stream threads to the client's
// thread, are framed there and published, without a copy, to a subscriber
// that counts the messages. Beside it, the bound: one thread reading the
// same server's answer from a plain socket in 64 KiB reads and walking every
// packet and message header, nothing else.
// - BM_Client/N/0: one request of N messages, unsplit; msgs_per_s.
// - BM_Client/N/50000: the same N cut into ranges of 49,999 numbers, sent
//   one at a time as the client does by default (a round trip each).
// - BM_Range50k: the time from a request of 50,000 messages to its
//   completion on the bus (ms per range).
// - BM_Bound/N: the plain read-and-parse loop; msgs_per_s. With N = 50,000
//   its time is the bound of BM_Range50k's.
// - BM_Ratio/N/R: R rounds of the bound then the client, unsplit; the median
//   of the rounds' ratios (client rate over bound rate) and both rates.
// The client's connection reads through a stream buffer of
// RETRANS_BENCH_STREAM_BUF bytes (the framework's STREAM_BUF_SIZE; 1 MiB
// here, as a process that recovers at line rate is configured; 22000, the
// framework's default, makes the network and stream threads take turns).
// The benchmarks run inside the driving thread's appReady of a real
// framework process; the request reaches the client's thread as the line
// filter's would, by thread message.
#include "HostBenchSupport.h"

#include "kelmora/linedata/LineDataFactoryDravek.h"
#include "kelmora/recovery/LineHandlerZunqRetrans.h"

#include "FendralServices/api/FwServices.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr std::size_t cMessage = 28;
constexpr unsigned cPerPacket = 52; // 16 + 52 x 28 = 1472 bytes
constexpr std::size_t cPacket = 16 + cPerPacket * cMessage;
static_assert(cPacket == 1472);

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void put16(char* p, std::uint16_t v) { std::memcpy(p, &v, 2); }
void put32(char* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
std::uint16_t get16(const char* p)
{
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}
std::uint32_t get32(const char* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    for (std::size_t at = 0; at < size;)
    {
        const ssize_t n = ::send(fd, data + at, size - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

// A control packet of one message.
std::string control(std::uint16_t type, const std::string& body)
{
    std::string p(16, '\0');
    put16(p.data(), static_cast<std::uint16_t>(16 + 4 + body.size()));
    p[2] = 1;
    std::string m(4, '\0');
    put16(m.data(), static_cast<std::uint16_t>(4 + body.size()));
    put16(m.data() + 2, type);
    return p + m + body;
}

// Answers each connection's logon and requests; the data of a request is
// written as fast as the socket takes it, built in 64 KiB blocks.
class Server
{
public:
    Server()
    {
        mListen = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(mListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(mListen, 8);
        socklen_t len = sizeof a;
        ::getsockname(mListen, reinterpret_cast<sockaddr*>(&a), &len);
        mPort = ntohs(a.sin_port);
        mThread = std::thread([this] { run(); });
    }
    ~Server()
    {
        mStop = true;
        mThread.join();
        ::close(mListen);
    }
    int port() const { return mPort; }

private:
    void run()
    {
        sigset_t exits;
        sigemptyset(&exits);
        for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
            sigaddset(&exits, sig);
        pthread_sigmask(SIG_BLOCK, &exits, nullptr);
        std::vector<std::thread> connections;
        while (!mStop)
        {
            pollfd p{mListen, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            const int fd = ::accept(mListen, nullptr, nullptr);
            if (fd >= 0)
                connections.emplace_back([this, fd] { serve(fd); });
        }
        for (std::thread& t : connections)
            t.join();
    }

    void serve(int fd)
    {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::string in;
        char buffer[4096];
        std::uint32_t control32 = 0;
        while (!mStop)
        {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            in.append(buffer, static_cast<std::size_t>(n));
            while (in.size() >= 16 && in.size() >= get16(in.data()))
            {
                const std::string packet = in.substr(0, get16(in.data()));
                in.erase(0, packet.size());
                if (packet.size() < 20)
                    continue;
                const std::uint16_t type = get16(packet.data() + 18);
                if (type == 101)
                {
                    std::string answer = control(102, std::string(4, '\0'));
                    put32(answer.data() + 4, ++control32);
                    writeAll(fd, answer.data(), answer.size());
                }
                else if (type == 201 && packet.size() >= 32)
                {
                    std::string answer = control(202, packet.substr(20, 12));
                    put32(answer.data() + 4, ++control32);
                    answer[16 + 6] = 0;
                    writeAll(fd, answer.data(), answer.size());
                    const std::uint32_t begin = std::max<std::uint32_t>(1, get32(packet.data() + 24));
                    sendRange(fd, begin, get32(packet.data() + 28));
                }
            }
        }
        ::close(fd);
    }

    static void sendRange(int fd, std::uint32_t begin, std::uint32_t end)
    {
        std::vector<char> block(44 * cPacket);
        std::uint64_t n = begin;
        while (n <= end)
        {
            std::size_t used = 0;
            while (n <= end && used + cPacket <= block.size())
            {
                char* p = block.data() + used;
                const auto count = static_cast<unsigned>(std::min<std::uint64_t>(cPerPacket, end - n + 1));
                put16(p, static_cast<std::uint16_t>(16 + count * cMessage));
                p[2] = static_cast<char>(count);
                p[3] = 0;
                put32(p + 4, static_cast<std::uint32_t>(n));
                std::memset(p + 8, 0, 8);
                for (unsigned i = 0; i < count; ++i, ++n)
                {
                    char* m = p + 16 + i * cMessage;
                    put16(m, cMessage);
                    put16(m + 2, 0x0500);
                    put32(m + 4, static_cast<std::uint32_t>(n));
                    std::memset(m + 8, 'm', cMessage - 8);
                }
                used += 16 + count * cMessage;
            }
            if (!writeAll(fd, block.data(), used))
                return;
        }
    }

    int mListen = -1;
    int mPort = 0;
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

// Counts the messages the client publishes and the ranges it completes; on
// the client's thread, read by the driver.
struct Counter : OrluSubscriber<LineData>, OrluSubscriber<RetransComplete>
{
    Counter() : OrluSubscriber<LineData>("count"), OrluSubscriber<RetransComplete>("count") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        // Numbers and count from the packet's header, as the bound reads
        // them: the record is not split into messages here.
        const char* p = d.getData();
        const auto count = static_cast<unsigned char>(p[2]);
        if (d.getSeqNum() != next)
            ordered.store(false, std::memory_order_relaxed);
        next = d.getSeqNum() + count;
        messages.fetch_add(count, std::memory_order_relaxed);
    }
    // Once a range: the driver sleeps until then, so that it takes no CPU
    // from the threads it measures.
    void onData(const Orlu<RetransComplete>&, const std::string&, const RetransComplete&) override
    {
        {
            std::lock_guard<std::mutex> hold(lock);
            ++completes;
        }
        completed.notify_one();
    }
    // Waits until `count` ranges have completed; false after `limit`.
    bool waitForCompletes(std::uint64_t count, std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> hold(lock);
        return completed.wait_for(hold, limit, [&] { return completes >= count; });
    }
    std::uint64_t completesSoFar()
    {
        std::lock_guard<std::mutex> hold(lock);
        return completes;
    }
    std::uint32_t next = 1;
    std::atomic<std::uint64_t> messages{0};
    std::atomic<bool> ordered{true};

private:
    std::mutex lock;
    std::condition_variable completed;
    std::uint64_t completes = 0;
};

Server* g_server = nullptr;
LineHandlerZunqRetrans* g_client = nullptr;
Counter* g_counter = nullptr;
Orlu<RetransRequest>* g_requests = nullptr;

// Publishes the request on the driver's thread and waits for the range's
// completions; the nanoseconds it took, or -1 after 60 s.
std::int64_t request(std::uint32_t last, std::uint64_t ranges)
{
    g_counter->next = 1;
    const std::uint64_t done = g_counter->completesSoFar() + ranges;
    OrluPublisher<RetransRequest> filter("LineFilter");
    filter.setDestination(g_requests);
    const std::int64_t start = nowNs();
    filter.publish(RetransRequest(1, last, "7", false, 0));
    if (!g_counter->waitForCompletes(done, std::chrono::seconds(60)))
        return -1;
    return nowNs() - start;
}

// Args: messages, split size.
void BM_Client(benchmark::State& state)
{
    const auto last = static_cast<std::uint32_t>(state.range(0));
    const long split = state.range(1);
    g_client->setMaxRetransRequestRange(split);
    const std::uint64_t ranges = split > 1 ? (last + split - 2) / (split - 1) : 1;
    const std::uint64_t before = g_counter->messages.load();
    for (auto _ : state)
    {
        const std::int64_t ns = request(last, ranges);
        if (ns < 0)
        {
            state.SkipWithError("the ranges did not complete");
            return;
        }
        state.SetIterationTime(double(ns) / 1e9);
    }
    if (g_counter->messages.load() - before != std::uint64_t(last) * state.iterations() || !g_counter->ordered)
        state.SkipWithError("messages lost or out of order");
    state.counters["msgs_per_s"] =
        benchmark::Counter(double(last) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Range50k(benchmark::State& state)
{
    g_client->setMaxRetransRequestRange(0);
    for (auto _ : state)
    {
        const std::int64_t ns = request(50000, 1);
        if (ns < 0)
        {
            state.SkipWithError("the range did not complete");
            return;
        }
        state.SetIterationTime(double(ns) / 1e9);
    }
}

// The bound: the same answer read and parsed by one plain thread, on a
// logged-on connection of its own.
class Bound
{
public:
    Bound()
    {
        mFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(g_server->port()));
        if (::connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return;
        const std::string logon = control(101, std::string(12, '\0'));
        mUp = writeAll(mFd, logon.data(), logon.size()) && readUntil(0);
    }
    ~Bound() { ::close(mFd); }
    bool up() const { return mUp; }

    // Asks for 1..last and reads until every message came; the nanoseconds
    // it took, or -1 when the connection was lost.
    std::int64_t run(std::uint32_t last)
    {
        std::string req = control(201, std::string(12, '\0'));
        put16(req.data() + 20, 7);
        put32(req.data() + 24, 1);
        put32(req.data() + 28, last);
        mMessages = 0;
        const std::int64_t start = nowNs();
        if (!writeAll(mFd, req.data(), req.size()) || !readUntil(last))
            return -1;
        return nowNs() - start;
    }

private:
    bool readUntil(std::uint64_t wanted)
    {
        while (mMessages < wanted)
        {
            const ssize_t n =
                ::recv(mFd, mBuffer.data() + mHeld, std::min<std::size_t>(65536, mBuffer.size() - mHeld), 0);
            if (n <= 0)
                return false;
            mHeld += static_cast<std::size_t>(n);
            std::size_t at = 0;
            while (mHeld - at >= 16)
            {
                const char* p = mBuffer.data() + at;
                const std::uint16_t size = get16(p);
                if (size < 16 || mHeld - at < size)
                    break;
                const unsigned count = static_cast<unsigned char>(p[2]);
                std::size_t m = 16;
                for (unsigned i = 0; i < count && m + 4 <= size; ++i)
                    m += get16(p + m);
                const std::uint16_t type = get16(p + 18);
                if (!(count == 1 && type >= 102 && type <= 202 && size <= 32)) // not a control answer
                    mMessages += count;
                at += size;
            }
            std::memmove(mBuffer.data(), mBuffer.data() + at, mHeld - at);
            mHeld -= at;
        }
        return true;
    }

    int mFd = -1;
    bool mUp = false;
    std::vector<char> mBuffer = std::vector<char>(262144);
    std::size_t mHeld = 0;
    std::uint64_t mMessages = 0;
};

void BM_Bound(benchmark::State& state)
{
    const auto last = static_cast<std::uint32_t>(state.range(0));
    Bound bound;
    if (!bound.up())
    {
        state.SkipWithError("cannot connect");
        return;
    }
    for (auto _ : state)
    {
        const std::int64_t ns = bound.run(last);
        if (ns < 0)
        {
            state.SkipWithError("connection lost");
            break;
        }
        state.SetIterationTime(double(ns) / 1e9);
    }
    state.counters["msgs_per_s"] =
        benchmark::Counter(double(last) * double(state.iterations()), benchmark::Counter::kIsRate);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The bound and the client, unsplit, in alternating rounds: the host's other
// load moves single runs by a half, so the ratio is the median of the
// rounds' own ratios (client rate over bound rate).
void BM_Ratio(benchmark::State& state)
{
    const auto last = static_cast<std::uint32_t>(state.range(0));
    const int rounds = static_cast<int>(state.range(1));
    g_client->setMaxRetransRequestRange(0);
    Bound bound;
    if (!bound.up())
    {
        state.SkipWithError("cannot connect");
        return;
    }
    std::vector<double> ratios, boundRates, clientRates;
    for (auto _ : state)
    {
        const std::uint64_t before = g_counter->messages.load();
        for (int r = 0; r < rounds; ++r)
        {
            const std::int64_t boundNs = bound.run(last);
            const std::int64_t clientNs = request(last, 1);
            if (boundNs < 0 || clientNs < 0)
            {
                state.SkipWithError("a run did not complete");
                return;
            }
            boundRates.push_back(double(last) * 1e9 / double(boundNs));
            clientRates.push_back(double(last) * 1e9 / double(clientNs));
            ratios.push_back(double(boundNs) / double(clientNs));
        }
        if (g_counter->messages.load() - before != std::uint64_t(last) * std::uint64_t(rounds) ||
            !g_counter->ordered)
            state.SkipWithError("messages lost or out of order");
    }
    state.counters["bound_msgs_per_s"] = median(boundRates);
    state.counters["client_msgs_per_s"] = median(clientRates);
    state.counters["ratio"] = median(ratios);
    state.counters["ratio_min"] = *std::min_element(ratios.begin(), ratios.end());
    state.counters["ratio_max"] = *std::max_element(ratios.begin(), ratios.end());
}

struct Driver : Runnable
{
    using Runnable::Runnable;
    void appReady() override
    {
        benchmark::Initialize(&hostbench::Runner::argc, hostbench::Runner::argv);
        // The client connects at its first range, a connect delay later when
        // that comes before the framework has readied the connection: the
        // connection and logon are not what is measured.
        if (request(cPerPacket, 1) < 0)
        {
            std::fprintf(stderr, "the client did not connect\n");
            ::kill(::getpid(), SIGTERM);
            return;
        }
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        ::kill(::getpid(), SIGTERM);
    }
};

int registerAll()
{
    for (const char* name : {"RDRV", "RCLIENT"})
    {
        ThreadParam thread;
        initStructParam(THREAD_PARAM, &thread, sizeof(thread));
        copyResourceName(thread.threadNameTxt, name);
        thread.statusCheckInterval = 0; // the driver sits in its callback for the whole run
        thread.messageQueueLength = 8192;
        if (registerThread(&thread) != 0 || registerMessageCallback(name, Runnable::callback) != 0)
            return -1;
    }
    return g_client->initNetworkService() ? 0 : -1;
}
} // namespace

BENCHMARK(BM_Ratio)->Args({2000000, 9})->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bound)->Arg(2000000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Client)->Args({2000000, 0})->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Client)->Args({2000000, 50000})->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bound)->Arg(50000)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Range50k)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    hostbench::Runner::argc = argc;
    hostbench::Runner::argv = argv;
    Server server;
    g_server = &server;
    hostbench::Host host(argv[0]);
    hostbench::Thread<Driver> driver(host, "RDRV");
    hostbench::Thread<> clientThread(host, "RCLIENT");
    LineDataFactoryDravek factory("bench", host.log);
    LineHandlerZunqRetrans client(factory, clientThread.session, host.log);
    client.setFeedName("RBENCH");
    client.setName("bench-retrans");
    client.setUserName("bench");
    client.setConnectedMeansLineUp(true);
    client.setSendHeartbeats(false);
    client.setMinMessageBufferSize(262144);
    client.addConnection("127.0.0.1", std::to_string(server.port()).c_str());
    Orlu<LineData> live("LineDataBlock.LIVE", "LIVE");
    Orlu<RetransComplete> complete("RetransComplete.LIVE", "LIVE");
    Orlu<RetransRequest> requests("RetransRequest.LIVE", "LIVE");
    Counter counter;
    live.subscribe(&counter);
    complete.subscribe(&counter);
    client.addOrluLineData(7, &live);
    client.addOrluRetransComplete(7, &complete);
    requests.subscribe(&client);
    g_client = &client;
    g_counter = &counter;
    g_requests = &requests;
    const char* streamBuffer = std::getenv("RETRANS_BENCH_STREAM_BUF");
    const int rc = hostbench::runFramework(argv[0], "RTCBENCH", registerAll,
                                           std::string("STREAM_BUF_SIZE INT32 ") +
                                               (streamBuffer != nullptr ? streamBuffer : "1048576") + "\n");
    requests.unsubscribe(&client);
    live.unsubscribe(&counter);
    complete.unsubscribe(&counter);
    return rc;
}
