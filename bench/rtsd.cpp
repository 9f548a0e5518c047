// The running rtsd, fed by the test feed plug-in, measured from outside over
// loopback TCP:
// - replayed packets per second, and the time from a request to the last
//   packet of its answer (p50, p99), to 1, 50 and 200 clients that each ask
//   for the whole cache again and again, with the throttle out of the way
//   (1 ms ticks, a budget that never binds), beside a bound server of the
//   same packets to the same kind of clients (one thread, one epoll set,
//   writev of several hundred packets a call), in alternating rounds;
// - request latency p50/p99, to the response and to the last packet of 100
//   messages, beside a bare loopback request and answer of the same bytes;
// - resident memory per cached message against the message size.
#include "rts/tests/rts_e2e/RtsdScenario.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

double median(std::vector<double> v)
{
    return percentile(std::move(v), 0.5);
}

// The bound: a server as one tuned for throughput would write it. One
// thread, one epoll set over every connection; each 32-byte request queues
// the same packets rtsd answered with, written with writev a batch of
// cBoundBatch packets per call, one call per connection per readiness (so
// every connection gets its turn), no throttle.
class BoundServer
{
public:
    static constexpr std::size_t cBoundBatch = 512;

    explicit BoundServer(const std::vector<std::string>& packets) : mPackets(packets)
    {
        mListener = listenLoopback(mPort);
        mStop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~BoundServer()
    {
        stop();
        for (Connection& c : mConnections)
            ::close(c.fd);
        ::close(mListener);
        ::close(mStop);
    }
    int port() const { return mPort; }
    // CPU time of the serving thread, once stopped.
    double cpuNanoseconds() const { return mCpuNanoseconds; }

    // Accepts `count` connections the clients made, then serves them on its thread.
    void start(std::size_t count)
    {
        mConnections.resize(count);
        for (Connection& c : mConnections)
        {
            c.fd = ::accept4(mListener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            int one = 1;
            ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        mThread = std::thread([this] { serve(); });
    }
    void stop()
    {
        if (!mThread.joinable())
            return;
        const std::uint64_t one = 1;
        (void)::write(mStop, &one, sizeof one);
        mThread.join();
    }

private:
    struct Connection
    {
        int fd = -1;
        char in[32] = {};
        std::size_t held = 0;     // bytes of an unfinished request
        std::size_t requests = 0; // answers still to write, the current one included
        std::size_t packet = 0, offset = 0;
        bool watching = false; // EPOLLOUT asked for
    };

    void watch(int ep, Connection& c, std::size_t i, bool out)
    {
        if (c.watching == out)
            return;
        epoll_event e{EPOLLIN | (out ? EPOLLOUT : 0u), {}};
        e.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &e);
        c.watching = out;
    }

    // One writev of up to cBoundBatch packets of the answer under way.
    void write(Connection& c)
    {
        iovec iov[cBoundBatch];
        std::size_t n = 0;
        for (std::size_t k = c.packet; k < mPackets.size() && n < cBoundBatch; ++k, ++n)
        {
            const std::size_t skip = k == c.packet ? c.offset : 0;
            iov[n] = {const_cast<char*>(mPackets[k].data()) + skip, mPackets[k].size() - skip};
        }
        const ssize_t w = ::writev(c.fd, iov, static_cast<int>(n));
        if (w <= 0)
            return;
        for (auto done = static_cast<std::size_t>(w); done > 0;)
        {
            const std::size_t rest = mPackets[c.packet].size() - c.offset;
            if (done < rest)
            {
                c.offset += done;
                break;
            }
            done -= rest;
            c.offset = 0;
            ++c.packet;
        }
        if (c.packet == mPackets.size())
        {
            c.packet = 0;
            --c.requests;
        }
    }

    void serve()
    {
        timespec begin{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &begin);
        serveUntilStopped();
        timespec end{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        mCpuNanoseconds = static_cast<double>(end.tv_sec - begin.tv_sec) * 1e9
                          + static_cast<double>(end.tv_nsec - begin.tv_nsec);
    }

    void serveUntilStopped()
    {
        const int ep = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event stopEvent{EPOLLIN, {}};
        stopEvent.data.u64 = UINT64_MAX;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, mStop, &stopEvent);
        for (std::size_t i = 0; i < mConnections.size(); ++i)
        {
            epoll_event e{EPOLLIN, {}};
            e.data.u64 = i;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, mConnections[i].fd, &e);
        }
        std::vector<epoll_event> events(256);
        for (;;)
        {
            const int n = ::epoll_wait(ep, events.data(), static_cast<int>(events.size()), -1);
            for (int k = 0; k < n; ++k)
            {
                if (events[k].data.u64 == UINT64_MAX)
                {
                    ::close(ep);
                    return;
                }
                const std::size_t i = events[k].data.u64;
                Connection& c = mConnections[i];
                if ((events[k].events & EPOLLIN) != 0)
                {
                    const ssize_t r = ::recv(c.fd, c.in + c.held, sizeof c.in - c.held, MSG_DONTWAIT);
                    if (r > 0 && (c.held += static_cast<std::size_t>(r)) == sizeof c.in)
                    {
                        c.held = 0;
                        ++c.requests;
                    }
                }
                if (c.requests > 0)
                    write(c);
                watch(ep, c, i, c.requests > 0);
            }
        }
    }

    const std::vector<std::string>& mPackets;
    std::vector<Connection> mConnections;
    int mListener = -1;
    int mPort = 0;
    int mStop = -1;
    std::thread mThread;
    double mCpuNanoseconds = 0;
};

// What one round of requests in a loop measured.
struct Round
{
    double packetsPerSecond = 0;
    double p50Ms = 0, p99Ms = 0; // from a request to the last packet of its answer
    double packets = 0;
};

// Clients that each ask for the whole cache, read the answer to its last
// byte, and ask again, for `seconds`; read on a few epoll threads. Every
// answer is `answerBytes` long (rtsd's and the bound's alike).
Round requestLoop(const std::vector<int>& fds, const std::string& ask, std::size_t answerBytes,
                  std::size_t answerPackets, double seconds)
{
    const std::size_t threads = std::min<std::size_t>(4, fds.size());
    std::vector<std::vector<double>> latencies(threads);
    std::vector<std::size_t> answers(threads, 0);
    const auto start = Clock::now();
    const auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> readers;
    for (std::size_t t = 0; t < threads; ++t)
        readers.emplace_back([&, t] {
            const int ep = ::epoll_create1(EPOLL_CLOEXEC);
            std::vector<std::size_t> got(fds.size(), 0);
            std::vector<Clock::time_point> asked(fds.size());
            std::size_t open = 0;
            for (std::size_t i = t; i < fds.size(); i += threads, ++open)
            {
                epoll_event e{EPOLLIN, {}};
                e.data.u64 = i;
                ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &e);
                asked[i] = Clock::now();
                (void)::send(fds[i], ask.data(), ask.size(), MSG_NOSIGNAL);
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
                    if (r <= 0 || (got[i] += static_cast<std::size_t>(r)) < answerBytes)
                        continue;
                    const auto now = Clock::now();
                    latencies[t].push_back(std::chrono::duration<double, std::milli>(now - asked[i]).count());
                    ++answers[t];
                    got[i] = 0;
                    if (now < until)
                    {
                        asked[i] = now;
                        (void)::send(fds[i], ask.data(), ask.size(), MSG_NOSIGNAL);
                    }
                    else
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
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<double> all;
    std::size_t total = 0;
    for (std::size_t t = 0; t < threads; ++t)
    {
        all.insert(all.end(), latencies[t].begin(), latencies[t].end());
        total += answers[t];
    }
    const auto packets = static_cast<double>(total * answerPackets);
    return {packets / elapsed, percentile(all, 0.5), percentile(all, 0.99), packets};
}

// Environment overrides for a longer or shorter run.
double envDouble(const char* name, double fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && std::atof(text) > 0 ? std::atof(text) : fallback;
}

// 1, 50 or 200 clients asking for the whole cache again and again, from
// rtsd and from the bound in alternating rounds; medians of the rounds.
void BM_ReplayLoop(benchmark::State& state)
{
    const auto clients = static_cast<std::size_t>(state.range(0));
    const int rounds = static_cast<int>(envDouble("RTSD_BENCH_LOOP_ROUNDS", 5));
    const double seconds = envDouble("RTSD_BENCH_LOOP_SECONDS", 1.5);
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
    const std::size_t answerBytes = totalSize(packets);
    const std::string ask = request(7, 1, cMessages);

    BoundServer bound(packets);
    std::vector<std::unique_ptr<Client>> bare;
    std::vector<int> bareFds;
    for (std::size_t i = 0; i < clients; ++i)
    {
        bare.push_back(std::make_unique<Client>());
        bare.back()->connect(bound.port());
        bareFds.push_back(bare.back()->fd());
    }
    bound.start(clients);

    std::vector<double> rate, p50, p99, boundRate, boundP50, boundP99, ratio;
    const double cpuBefore = cpuNanoseconds(rtsd->pid());
    double rtsdPackets = 0, boundPackets = 0;
    for (auto _ : state)
    {
        for (int r = 0; r < rounds; ++r)
        {
            const Round s = requestLoop(servedFds, ask, answerBytes, packets.size(), seconds);
            const Round b = requestLoop(bareFds, ask, answerBytes, packets.size(), seconds);
            rtsdPackets += s.packets;
            boundPackets += b.packets;
            rate.push_back(s.packetsPerSecond);
            p50.push_back(s.p50Ms);
            p99.push_back(s.p99Ms);
            boundRate.push_back(b.packetsPerSecond);
            boundP50.push_back(b.p50Ms);
            boundP99.push_back(b.p99Ms);
            ratio.push_back(s.packetsPerSecond / b.packetsPerSecond);
        }
        state.SetIterationTime(seconds * 2 * rounds);
    }
    bound.stop();
    state.counters["rtsd_pkt/s"] = median(rate);
    state.counters["bound_pkt/s"] = median(boundRate);
    state.counters["ratio"] = median(ratio);
    state.counters["rtsd_p50_ms"] = median(p50);
    state.counters["rtsd_p99_ms"] = median(p99);
    state.counters["bound_p50_ms"] = median(boundP50);
    state.counters["bound_p99_ms"] = median(boundP99);
    state.counters["p99_ratio"] = median(p99) / std::max(median(boundP99), 1e-9);
    state.counters["rtsd_cpu_ns/pkt"] = (cpuNanoseconds(rtsd->pid()) - cpuBefore) / std::max(rtsdPackets, 1.0);
    state.counters["bound_cpu_ns/pkt"] = bound.cpuNanoseconds() / std::max(boundPackets, 1.0);
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

// RTSD_BENCH_LOOP_ROUNDS and RTSD_BENCH_LOOP_SECONDS set the rounds of each
// side and their length, e.g. many to profile a running rtsd.
BENCHMARK(BM_ReplayLoop)->Arg(1)->Arg(50)->Arg(200)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestLatency)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryPerCachedMessage)->Arg(20)->Arg(200)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
