// The running rtsd, fed by the test feed plug-in, measured from outside over
// loopback TCP:
// - replayed packets per second, the time from a request to the last packet
//   of its answer (p50, p99) and the peak resident memory, to 1, 50 and 200
//   clients that each ask for the whole cache again and again from a freshly
//   started rtsd, its first round included, with the throttle out of the way
//   (1 ms ticks, 100,000 packets a tick), beside a bound server of the same
//   packets to the same kind of clients (a process of its own: one thread,
//   one epoll set, writev of several hundred packets a call), in alternating
//   rounds;
// - request latency p50/p99, to the response and to the last packet of 100
//   messages, beside a bare loopback request and answer of the same bytes;
// - resident memory per cached message against the message size.
#include "rts/tests/rts_e2e/RtsdScenario.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
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

// An rtsd fed `messages` of `size` bytes, throttle out of the way (a budget
// no replay reaches), the framework's limits raised for `clients` when above
// its default of 20.
std::unique_ptr<RtsdProcess> startRtsd(std::uint32_t messages, int size, std::uint32_t cacheSize, int clients = 1)
{
    auto rtsd = std::make_unique<RtsdProcess>();
    const std::string config = rtsd->writeConfig({{"ClientList", cUser},
                                                   {"MaxCacheSize", std::to_string(cacheSize)},
                                                   {"FeedMessages", std::to_string(messages)},
                                                   {"FeedMessageSize", std::to_string(size)},
                                                   {"FeedBatch", "5000"},
                                                   // The example's server queues (19.5 MB), not the default 312 MB.
                                                   {"QueueSize", "4096"},
                                                   {"RtsThrottleInterval", "1"},
                                                   {"SendTimeNanoDecimalPlaces", "9"},
                                                   {"RtsPacketsPerInterval", "100000"},
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

// The bound server (bench_rtsd_bound), a process of its own serving
// `packets` as the answer to every request on `connections` connections.
class BoundProcess
{
public:
    BoundProcess(const std::vector<std::string>& packets, std::size_t connections)
    {
        const std::string file = std::filesystem::temp_directory_path() / ("rtsd_bound_" + std::to_string(::getpid()));
        {
            std::ofstream out(file, std::ios::binary);
            for (const std::string& p : packets)
                out << p;
        }
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe for the bound server");
        const std::string count = std::to_string(connections);
        mPid = ::fork();
        if (mPid == 0)
        {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(BOUND_PROGRAM, BOUND_PROGRAM, file.c_str(), count.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        mStdin = in[1];
        mStdout = ::fdopen(out[0], "r");
        if (mPid < 0 || std::fscanf(mStdout, "%d", &mPort) != 1)
            throw std::runtime_error("the bound server did not start");
        std::filesystem::remove(file);
    }
    ~BoundProcess() { stop(); }
    int port() const { return mPort; }
    int pid() const { return mPid; }
    // Ends it; the CPU time of its serving thread.
    double stop()
    {
        if (mStdin >= 0)
        {
            ::close(mStdin);
            mStdin = -1;
            if (std::fscanf(mStdout, " cpu_ns %lf", &mCpuNanoseconds) != 1)
                mCpuNanoseconds = 0;
            std::fclose(mStdout);
            ::waitpid(mPid, nullptr, 0);
        }
        return mCpuNanoseconds;
    }

private:
    int mPid = -1;
    int mPort = 0;
    int mStdin = -1;
    std::FILE* mStdout = nullptr;
    double mCpuNanoseconds = 0;
};

// What rounds of requests in a loop measured.
struct Round
{
    double seconds = 0;
    double packets = 0;
    std::vector<double> latenciesMs; // from a request to the last packet of its answer
    void add(const Round& r)
    {
        seconds += r.seconds;
        packets += r.packets;
        latenciesMs.insert(latenciesMs.end(), r.latenciesMs.begin(), r.latenciesMs.end());
    }
    double packetsPerSecond() const { return seconds > 0 ? packets / seconds : 0; }
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
    return {elapsed, static_cast<double>(total * answerPackets), std::move(all)};
}

// Environment overrides for a longer or shorter run.
double envDouble(const char* name, double fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && std::atof(text) > 0 ? std::atof(text) : fallback;
}

// Peak resident memory of process `pid` ("VmHWM") in KiB.
long peakKb(int pid)
{
    return procStatusKb(pid, "VmHWM");
}

// The answer rtsd gives to a request for the whole cache, packet by packet:
// what the bound serves. Asked of an rtsd of its own, so that the rtsd
// measured starts fresh.
const std::vector<std::string>& referenceAnswer()
{
    static const std::vector<std::string> packets = [] {
        std::unique_ptr<RtsdProcess> rtsd = startRtsd(cMessages, cMessageSize, cMessages);
        Client c;
        if (!c.connect(rtsd->port()) || !c.send(logon("bench")) || !c.read())
            throw std::runtime_error("logon failed");
        return answerOf(c, 1, cMessages);
    }();
    return packets;
}

// 1, 50 or 200 clients asking for the whole cache again and again, from a
// freshly started rtsd and from a freshly started bound in alternating
// rounds, every round counted: packets per second over all rounds, p99 over
// all answers, peak resident memory of each process.
void BM_ReplayLoop(benchmark::State& state)
{
    const auto clients = static_cast<std::size_t>(state.range(0));
    const int rounds = static_cast<int>(envDouble("RTSD_BENCH_LOOP_ROUNDS", 5));
    const double seconds = envDouble("RTSD_BENCH_LOOP_SECONDS", 1.5);
    const std::vector<std::string>& packets = referenceAnswer();
    const std::size_t answerBytes = totalSize(packets);
    const std::string ask = request(7, 1, cMessages);

    std::unique_ptr<RtsdProcess> rtsd = startRtsd(cMessages, cMessageSize, cMessages, static_cast<int>(clients));
    const long rtsdStartKb = procStatusKb(rtsd->pid(), "VmRSS");
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

    BoundProcess bound(packets, clients);
    std::vector<std::unique_ptr<Client>> bare;
    std::vector<int> bareFds;
    for (std::size_t i = 0; i < clients; ++i)
    {
        bare.push_back(std::make_unique<Client>());
        if (!bare.back()->connect(bound.port()))
            throw std::runtime_error("no connection to the bound server");
        bareFds.push_back(bare.back()->fd());
    }
    const long boundStartKb = procStatusKb(bound.pid(), "VmRSS");

    Round rtsdRounds, boundRounds;
    const double cpuBefore = cpuNanoseconds(rtsd->pid());
    double firstRatio = 0;
    for (auto _ : state)
    {
        for (int r = 0; r < rounds; ++r)
        {
            const Round s = requestLoop(servedFds, ask, answerBytes, packets.size(), seconds);
            const Round b = requestLoop(bareFds, ask, answerBytes, packets.size(), seconds);
            if (r == 0)
                firstRatio = s.packetsPerSecond() / std::max(b.packetsPerSecond(), 1e-9);
            rtsdRounds.add(s);
            boundRounds.add(b);
        }
        state.SetIterationTime(seconds * 2 * rounds);
    }
    const double rtsdCpu = cpuNanoseconds(rtsd->pid()) - cpuBefore;
    const long rtsdPeakKb = peakKb(rtsd->pid());
    const long boundPeakKb = peakKb(bound.pid());
    const double boundCpu = bound.stop();
    const double rtsdP99 = percentile(rtsdRounds.latenciesMs, 0.99);
    const double boundP99 = percentile(boundRounds.latenciesMs, 0.99);
    state.counters["rtsd_pkt/s"] = rtsdRounds.packetsPerSecond();
    state.counters["bound_pkt/s"] = boundRounds.packetsPerSecond();
    state.counters["ratio"] = rtsdRounds.packetsPerSecond() / std::max(boundRounds.packetsPerSecond(), 1e-9);
    state.counters["first_round_ratio"] = firstRatio;
    state.counters["rtsd_p50_ms"] = percentile(rtsdRounds.latenciesMs, 0.5);
    state.counters["rtsd_p99_ms"] = rtsdP99;
    state.counters["bound_p50_ms"] = percentile(boundRounds.latenciesMs, 0.5);
    state.counters["bound_p99_ms"] = boundP99;
    state.counters["p99_ratio"] = rtsdP99 / std::max(boundP99, 1e-9);
    state.counters["rtsd_start_MB"] = static_cast<double>(rtsdStartKb) / 1024.0;
    state.counters["rtsd_peak_MB"] = static_cast<double>(rtsdPeakKb) / 1024.0;
    state.counters["bound_start_MB"] = static_cast<double>(boundStartKb) / 1024.0;
    state.counters["bound_peak_MB"] = static_cast<double>(boundPeakKb) / 1024.0;
    state.counters["rtsd_cpu_ns/pkt"] = rtsdCpu / std::max(rtsdRounds.packets, 1.0);
    state.counters["bound_cpu_ns/pkt"] = boundCpu / std::max(boundRounds.packets, 1.0);
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
        small = procStatusKb(a->pid(), "VmRSS");
        large = procStatusKb(b->pid(), "VmRSS");
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
