// A TCP line's receive path: a stream of 50- or 500-byte messages handed to
// the line in 64 KiB reads, cut at a character (ETX) or a string ("\r\n")
// separator, plain or deflated, with the recovery file on (a record and a
// flush per message) or off, published to a no-op subscriber. Beside it, in
// the same run, the bound: the same plain stream copied read by read into a
// buffer and scanned for the separator, nothing else.
// Counters: MB_per_s of message bytes, msgs_per_s.
#include "HostBenchSupport.h"

#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactory.h"
#include "kelmora/linehandler/FileDescBuffer.h"
#include "kelmora/linehandler/LineHandlerTcp.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
constexpr std::size_t cStreamBytes = 8 << 20;
constexpr std::size_t cRead = 64 * 1024;

struct Factory : LineDataFactory
{
    LineData* create() override { return new LineDataBasic; }
    void destroy(LineData* d) override { delete d; }
};

struct Sink : OrluSubscriber<LineData>
{
    Sink() : OrluSubscriber<LineData>("sink") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override { bytes += d.getDataLen(); }
    std::uint64_t bytes = 0;
};

struct Stream
{
    std::string plain;
    std::string deflated;
    std::size_t messages = 0;
};

const Stream& stream(std::size_t size, bool stringSep)
{
    static Stream streams[2][2];
    Stream& s = streams[size == 500][stringSep];
    if (!s.plain.empty())
        return s;
    const std::string sep = stringSep ? "\r\n" : "\003";
    std::string m(size - sep.size(), 'm');
    while (s.plain.size() + size <= cStreamBytes)
    {
        m[0] = static_cast<char>('A' + s.messages % 26);
        s.plain += m + sep;
        ++s.messages;
    }
    z_stream z{};
    deflateInit(&z, Z_DEFAULT_COMPRESSION);
    s.deflated.resize(deflateBound(&z, s.plain.size()) + 64);
    z.next_in = reinterpret_cast<Bytef*>(s.plain.data());
    z.avail_in = static_cast<uInt>(s.plain.size());
    z.next_out = reinterpret_cast<Bytef*>(s.deflated.data());
    z.avail_out = static_cast<uInt>(s.deflated.size());
    deflate(&z, Z_SYNC_FLUSH);
    s.deflated.resize(s.deflated.size() - z.avail_out);
    deflateEnd(&z);
    return s;
}

void counters(benchmark::State& state, const Stream& s)
{
    state.counters["MB_per_s"] = benchmark::Counter(double(s.plain.size()) * double(state.iterations()) / 1e6,
                                                    benchmark::Counter::kIsRate);
    state.counters["msgs_per_s"] =
        benchmark::Counter(double(s.messages) * double(state.iterations()), benchmark::Counter::kIsRate);
}

// Args: message size, string separator, deflated, recovery file.
void BM_TcpLine(benchmark::State& state)
{
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const bool stringSep = state.range(1) != 0;
    const bool deflated = state.range(2) != 0;
    const bool recovery = state.range(3) != 0;
    const Stream& s = stream(size, stringSep);
    static hostbench::Host host("bench_lh_tcp");
    static hostbench::Thread<> thread(host, "BENCHTCP");
    Factory factory;
    Sink sink;
    Orlu<LineData> bus("bench", "default");
    bus.subscribe(&sink);
    char path[] = "/tmp/bench_lh_tcp_XXXXXX";
    const int fd = ::mkstemp(path);
    ::close(fd);
    {
        LineHandlerTcp line(factory, thread.session, host.log);
        line.OrluPublisher<LineData>::setDestination(&bus);
        line.setRecoveryFile(path);
        line.setUseRecoveryFile(recovery);
        if (stringSep)
            line.setMessageSeparator("\r\n");
        line.setDataIsDeflated(deflated);
        const std::string& input = deflated ? s.deflated : s.plain;
        line.addConnection("127.0.0.1", "1");
        for (auto _ : state)
        {
            state.PauseTiming();
            line.onReadyToConnect();
            line.onConnect();
            state.ResumeTiming();
            for (std::size_t at = 0; at < input.size(); at += cRead)
                line.onNetworkData(input.data() + at,
                                   static_cast<unsigned int>(std::min(cRead, input.size() - at)));
            state.PauseTiming();
            line.disconnect();
            if (deflated)
                line.getBuffer().resetZBuffer();
            state.ResumeTiming();
        }
        if (sink.bytes != s.plain.size() * state.iterations())
            state.SkipWithError("messages lost");
    }
    bus.unsubscribe(&sink);
    std::remove(path);
    counters(state, s);
}

// Args: message size, string separator.
void BM_Bound(benchmark::State& state)
{
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const bool stringSep = state.range(1) != 0;
    const Stream& s = stream(size, stringSep);
    std::vector<char> buffer(262144);
    std::uint64_t found = 0;
    for (auto _ : state)
    {
        std::size_t held = 0;
        for (std::size_t at = 0; at < s.plain.size(); at += cRead)
        {
            const std::size_t n = std::min(cRead, s.plain.size() - at);
            std::memcpy(buffer.data() + held, s.plain.data() + at, n);
            held += n;
            std::size_t start = 0;
            for (;;)
            {
                const void* hit = std::memchr(buffer.data() + start, stringSep ? '\r' : '\003', held - start);
                if (hit == nullptr)
                    break;
                const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(hit) - buffer.data());
                if (stringSep && (end + 1 >= held || buffer[end + 1] != '\n'))
                    break;
                start = end + (stringSep ? 2 : 1);
                ++found;
            }
            std::memmove(buffer.data(), buffer.data() + start, held - start);
            held -= start;
        }
        benchmark::DoNotOptimize(found);
    }
    counters(state, s);
}
} // namespace

BENCHMARK(BM_Bound)->ArgsProduct({{50, 500}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TcpLine)->ArgsProduct({{50, 500}, {0, 1}, {0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
