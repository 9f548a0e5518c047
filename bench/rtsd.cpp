// The running rtsd, fed by the test feed plug-in, measured from outside over
// loopback TCP:
// - replayed packets per second to 1, 50 and 200 clients that each ask for
//   the whole cache at once, with the throttle out of the way (1 ms ticks, a
//   budget that never binds), beside a bare writev loop of the same packets
//   to the same readers (the bound);
// - request latency p50/p99, to the response and to the last packet of 100
//   messages, beside a bare loopback request and answer of the same bytes;
// - resident memory per cached message against the message size.
#include "rts/tests/rts_e2e/RtsdScenario.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

using proctest::RtsdProcess;
using namespace rtstest;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr std::uint32_t cMessages = 10000;
constexpr int cMessageSize = 200; // 7 to a packet

const std::string cUser = "<Client><UserName>bench</UserName><IpAddresses><Value>127.0.0.1</Value></IpAddresses>"
                          "<Channels><Value>7</Value></Channels><MaximumRequests>2000000000</MaximumRequests></Client>";

// An rtsd fed `messages` of `size` bytes, throttle out of the way, the
// framework's limits raised for `clients` when above its default of 20.
std::unique_ptr<RtsdProcess> startRtsd(std::uint32_t messages, int size, std::uint32_t cacheSize, int clients = 1)
{
    auto rtsd = std::make_unique<RtsdProcess>();
    const std::string config = rtsd->writeConfig({{"ClientList", cUser},
                                                   {"MaxCacheSize", std::to_string(cacheSize)},
                                                   {"FeedMessages", std::to_string(messages)},
                                                   {"FeedMessageSize", std::to_string(size)},
                                                   {"FeedBatch", "5000"},
                                                   {"RtsThrottleInterval", "1"},
                                                   {"SendTimeNanoDecimalPlaces", "9"},
                                                   {"RtsPacketsPerInterval", "100000000"},
                                                   {"RtsHeartbeatInterval", "3600"},
                                                   {"RtsMaxSeqNumGap", "1000000"},
                                                   {"RtsMaxConnectionPerClient", "1000"},
                                                   {"RtsMaxConnectionsPerIp", "100000"}});
    if (clients > 10)
        raiseFrameworkLimits(*rtsd, clients);
    rtsd->start({"--config-file", config, "--shared-objects", FEED_PLUGIN});
    if (!rtsd->waitForOutput("Feed: fed " + std::to_string(messages), 1, std::chrono::seconds(60)))
        throw std::runtime_error("rtsd did not come up: " + rtsd->out() + rtsd->err());
    return rtsd;
}

// A packet as it was on the wire.
std::string bytesOf(const Packet& p)
{
    std::string b = header(p.size, p.count, p.seq, p.sendTime);
    for (const Message& m : p.messages)
        b += m.bytes;
    return b;
}

// The whole answer to a request, packet by packet, response first.
std::vector<std::string> answerOf(Client& c, std::uint32_t begin, std::uint32_t end)
{
    c.send(request(7, begin, end));
    std::vector<std::string> packets;
    for (std::uint32_t next = begin; next <= end;)
    {
        const std::optional<Packet> p = c.read();
        if (!p)
            throw std::runtime_error("no answer from rtsd");
        if (p->type() != 202)
            next += p->count;
        packets.push_back(bytesOf(*p));
    }
    return packets;
}

std::size_t totalSize(const std::vector<std::string>& packets)
{
    std::size_t n = 0;
    for (const std::string& p : packets)
        n += p.size();
    return n;
}

// Reads every socket until it has `expected` bytes, on a few epoll threads.
void drain(const std::vector<int>& fds, std::size_t expected)
{
    const std::size_t threads = std::min<std::size_t>(4, fds.size());
    std::vector<std::thread> readers;
    for (std::size_t t = 0; t < threads; ++t)
        readers.emplace_back([&, t] {
            const int ep = ::epoll_create1(EPOLL_CLOEXEC);
            std::vector<std::size_t> got(fds.size(), 0);
            std::size_t open = 0;
            for (std::size_t i = t; i < fds.size(); i += threads, ++open)
            {
                epoll_event e{EPOLLIN, {}};
                e.data.u64 = i;
                ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &e);
            }
            static thread_local char buffer[1 << 18];
            epoll_event events[64];
            while (open > 0)
            {
                const int n = ::epoll_wait(ep, events, 64, 10000);
                if (n <= 0)
                    break; // a stalled run shows as a slow one
                for (int k = 0; k < n; ++k)
                {
                    const std::size_t i = events[k].data.u64;
                    const ssize_t r = ::recv(fds[i], buffer, sizeof buffer, MSG_DONTWAIT);
                    if (r > 0 && (got[i] += static_cast<std::size_t>(r)) >= expected)
                    {
                        ::epoll_ctl(ep, EPOLL_CTL_DEL, fds[i], nullptr);
                        --open;
                    }
                }
            }
            ::close(ep);
        });
    for (std::thread& r : readers)
        r.join();
}

// CPU time all threads of process `pid` have run, in nanoseconds: what the
// server spends per packet, whatever else the machine is busy with.
double cpuNanoseconds(int pid)
{
    double total = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    {
        std::ifstream in(it->path() / "schedstat");
        double ns = 0;
        if (in >> ns)
            total += ns;
    }
    return total;
}

// A listening loopback socket of the bench's own, and its port.
int listenLoopback(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 1024);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// The bound: one thread writes `packets` to every socket with writev, a
// batch at a time, round robin, waiting only when no socket takes more.
void bareWritev(const std::vector<int>& fds, const std::vector<std::string>& packets)
{
    struct Progress
    {
        std::size_t packet = 0, offset = 0;
    };
    std::vector<Progress> at(fds.size());
    std::size_t left = fds.size();
    std::vector<iovec> iov(64);
    while (left > 0)
    {
        bool progress = false;
        for (std::size_t i = 0; i < fds.size(); ++i)
        {
            Progress& p = at[i];
            if (p.packet == packets.size())
                continue;
            std::size_t n = 0;
            for (std::size_t k = p.packet; k < packets.size() && n < iov.size(); ++k, ++n)
            {
                const std::size_t skip = k == p.packet ? p.offset : 0;
                iov[n] = {const_cast<char*>(packets[k].data()) + skip, packets[k].size() - skip};
            }
            ssize_t w = ::writev(fds[i], iov.data(), static_cast<int>(n));
            if (w <= 0)
                continue;
            progress = true;
            for (auto done = static_cast<std::size_t>(w); done > 0;)
            {
                const std::size_t rest = packets[p.packet].size() - p.offset;
                if (done < rest)
                {
                    p.offset += done;
                    break;
                }
                done -= rest;
                p.offset = 0;
                ++p.packet;
            }
            if (p.packet == packets.size())
                --left;
        }
        if (!progress)
        {
            std::vector<pollfd> wait;
            for (std::size_t i = 0; i < fds.size(); ++i)
                if (at[i].packet != packets.size())
                    wait.push_back({fds[i], POLLOUT, 0});
            ::poll(wait.data(), wait.size(), 100);
        }
    }
}

void BM_ReplayToClients(benchmark::State& state)
{
    const auto clients = static_cast<std::size_t>(state.range(0));
    std::unique_ptr<RtsdProcess> rtsd = startRtsd(cMessages, cMessageSize, cMessages, static_cast<int>(clients));
    std::vector<std::unique_ptr<Client>> served;
    std::vector<int> servedFds;
    for (std::size_t i = 0; i < clients; ++i)
    {
        served.push_back(std::make_unique<Client>());
        if (!served.back()->connect(rtsd->port()) || !served.back()->send(logon("bench"))
            || !served.back()->read())
            throw std::runtime_error("logon failed");
        servedFds.push_back(served.back()->fd());
    }
    const std::vector<std::string> packets = answerOf(*served[0], 1, cMessages);
    const std::size_t perClient = totalSize(packets);

    // The same readers, the same packets, from a bare writer.
    int port = 0;
    const int listener = listenLoopback(port);
    std::vector<std::unique_ptr<Client>> bare;
    std::vector<int> bareFds, writerFds;
    for (std::size_t i = 0; i < clients; ++i)
    {
        bare.push_back(std::make_unique<Client>());
        bare.back()->connect(port);
        bareFds.push_back(bare.back()->fd());
        const int w = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        int one = 1;
        ::setsockopt(w, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        writerFds.push_back(w);
    }

    double rtsdSeconds = 0, bareSeconds = 0;
    const double cpuBefore = cpuNanoseconds(rtsd->pid());
    double bareCpu = 0; // the bare writer's own
    for (auto _ : state)
    {
        const auto t0 = Clock::now();
        for (auto& c : served)
            c->send(request(7, 1, cMessages));
        drain(servedFds, perClient);
        const auto t1 = Clock::now();
        std::thread writer([&] {
            timespec a{}, b{};
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
            bareWritev(writerFds, packets);
            ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
            bareCpu += static_cast<double>(b.tv_sec - a.tv_sec) * 1e9 + static_cast<double>(b.tv_nsec - a.tv_nsec);
        });
        drain(bareFds, perClient);
        writer.join();
        const auto t2 = Clock::now();
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        rtsdSeconds += seconds;
        bareSeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(seconds);
    }
    const double sent = static_cast<double>(packets.size() * clients * state.iterations());
    state.counters["rtsd_pkt/s"] = sent / rtsdSeconds;
    state.counters["bare_pkt/s"] = sent / bareSeconds;
    state.counters["ratio"] = bareSeconds / rtsdSeconds;
    state.counters["pkt/answer"] = static_cast<double>(packets.size());
    state.counters["rtsd_cpu_ns/pkt"] = (cpuNanoseconds(rtsd->pid()) - cpuBefore) / sent;
    state.counters["bare_cpu_ns/pkt"] = bareCpu / sent;
    for (int w : writerFds)
        ::close(w);
    ::close(listener);
}

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

// Times from sending a request to its response and to its last packet.
struct Latency
{
    std::vector<double> toResponse, toLast;
    std::vector<double> toStamp; // to the send time the server wrote into its response
};

void timeRequest(Client& c, std::uint32_t begin, std::uint32_t end, Latency& out)
{
    const auto t0 = Clock::now();
    const auto wall0 = std::chrono::system_clock::now();
    c.send(request(7, begin, end));
    double response = 0;
    for (std::uint32_t next = begin; next <= end;)
    {
        const std::optional<Packet> p = c.read();
        if (!p)
            throw std::runtime_error("no answer");
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
        if (p->type() == 202)
        {
            response = us;
            const auto stamp = std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(p->sendTime)));
            out.toStamp.push_back(std::chrono::duration<double, std::micro>(stamp - wall0).count());
        }
        else
            next += p->count;
        if (next > end)
            (begin == end ? out.toResponse : out.toLast).push_back(begin == end ? response : us);
    }
}

void BM_RequestLatency(benchmark::State& state)
{
    constexpr int cSamples = 1000;
    std::unique_ptr<RtsdProcess> rtsd = startRtsd(cMessages, cMessageSize, cMessages);
    Client c;
    if (!c.connect(rtsd->port()) || !c.send(logon("bench")) || !c.read())
        throw std::runtime_error("logon failed");
    const std::vector<std::string> one = answerOf(c, 1, 1), hundred = answerOf(c, 1, 100);

    // The bare answer: a thread that reads each request and writes the same
    // packets rtsd wrote for it.
    int port = 0;
    const int listener = listenLoopback(port);
    Client b;
    b.connect(port);
    const int answerer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int yes = 1;
    ::setsockopt(answerer, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::thread bareServer([&] {
        char in[32];
        while (::recv(answerer, in, sizeof in, MSG_WAITALL) == sizeof in)
        {
            const std::vector<std::string>& reply = get32(in + 28) == get32(in + 24) ? one : hundred;
            std::vector<iovec> iov;
            for (const std::string& p : reply)
                iov.push_back({const_cast<char*>(p.data()), p.size()});
            ::writev(answerer, iov.data(), static_cast<int>(iov.size()));
        }
    });

    Latency served, bare;
    for (auto _ : state)
    {
        for (int i = 0; i < cSamples; ++i)
        {
            const auto s = static_cast<std::uint32_t>(1 + i % (cMessages - 100));
            timeRequest(c, s, s, served);
            timeRequest(c, s, s + 99, served);
            timeRequest(b, s, s, bare);
            timeRequest(b, s, s + 99, bare);
        }
    }
    b.close();
    bareServer.join();
    ::close(answerer);
    ::close(listener);
    state.counters["resp_p50_us"] = percentile(served.toResponse, 0.5);
    state.counters["resp_p99_us"] = percentile(served.toResponse, 0.99);
    state.counters["bare_resp_p50_us"] = percentile(bare.toResponse, 0.5);
    state.counters["bare_resp_p99_us"] = percentile(bare.toResponse, 0.99);
    state.counters["stamp_p50_us"] = percentile(served.toStamp, 0.5);
    state.counters["last100_p50_us"] = percentile(served.toLast, 0.5);
    state.counters["last100_p99_us"] = percentile(served.toLast, 0.99);
    state.counters["bare_last100_p50_us"] = percentile(bare.toLast, 0.5);
    state.counters["bare_last100_p99_us"] = percentile(bare.toLast, 0.99);
}

long rssKb(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Resident memory of an rtsd whose cache holds 100,000 messages of the
// given size, less that of one holding 1,000: what a cached message costs.
void BM_MemoryPerCachedMessage(benchmark::State& state)
{
    const int size = static_cast<int>(state.range(0));
    constexpr std::uint32_t cSmall = 1000, cLarge = 100000;
    long small = 0, large = 0;
    for (auto _ : state)
    {
        std::unique_ptr<RtsdProcess> a = startRtsd(cSmall, size, cSmall);
        std::unique_ptr<RtsdProcess> b = startRtsd(cLarge, size, cLarge);
        small = rssKb(a->pid());
        large = rssKb(b->pid());
    }
    state.counters["msg_bytes"] = size;
    state.counters["rss_bytes/msg"] = static_cast<double>(large - small) * 1024.0 / (cLarge - cSmall);
    state.counters["rss_MB_100k"] = static_cast<double>(large) / 1024.0;
    state.counters["rss_MB_1k"] = static_cast<double>(small) / 1024.0;
}

} // namespace

// Rounds of replay: an answer to one client takes a few milliseconds, so it
// gets more of them for a steady figure. RTSD_BENCH_ROUNDS sets them all,
// e.g. many to profile a running rtsd.
static int replayRounds(int rounds)
{
    const char* text = std::getenv("RTSD_BENCH_ROUNDS");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : rounds;
}

BENCHMARK(BM_ReplayToClients)->Arg(1)->UseManualTime()->Iterations(replayRounds(200))->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayToClients)
    ->Arg(50)
    ->Arg(200)
    ->UseManualTime()
    ->Iterations(replayRounds(10))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestLatency)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryPerCachedMessage)->Arg(20)->Arg(200)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
