// The extract recorder on the feed thread: records per second through a
// recorder subscribed to a line data channel (the time each publish takes is
// what the recorder adds to the feed thread), plain and gzip, with meta
// lines, beside the bound of a bare loop that writes the same bytes the same
// way (fwrite, fputc, fflush per record; gzwrite, gzputc). Also a recorder
// with no file open, beside a channel with no subscriber: what every process
// pays for a recorder that records nothing.
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/recovery/ExtractPlayback.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/bus/Orlu.h"
#include "zunq/log/Log.h"
#include "zunq/time/Time.h"
#include "zunq/time/TimeZone.h"

#include <benchmark/benchmark.h>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace
{

constexpr std::size_t cRecordSize = 100;
// Enough for a steady rate; a fixed count keeps the files small.
constexpr int cRecords = 200000;

struct Scratch
{
    Scratch()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "extract-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            dir = pattern;
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string dir;
};

struct Feed
{
    Feed()
    {
        record.setData(payload.data(), static_cast<std::uint32_t>(payload.size()));
        record.setSource("10.0.0.1", 30001);
        record.setLineTime(Time("2024-03-01 09:30:00.123456", TimeZone::local()));
        publisher.setDestination(&channel);
    }
    std::string payload = std::string(cRecordSize, 'x');
    LineDataBasic record;
    Orlu<LineData> channel{"LineData.bench", ""};
    OrluPublisher<LineData> publisher{"LineHandlerMulticast"};
};

// The meta line the recorder writes for the feed's record.
std::string metaOf(const Feed& feed)
{
    char meta[256];
    const int n = std::snprintf(meta, sizeof meta, "*M*E*T*A*S*T*A*R*T*/4/%zu/10.0.0.1/30001/09:30:00.123/%17.6f//*M*E*T*A*E*N*D*",
                                feed.payload.size(), 1709285400.123456);
    return std::string(meta, static_cast<std::size_t>(n));
}

void runRecorder(benchmark::State& state, const char* name)
{
    Scratch scratch;
    Log log;
    TarvokSession session;
    Feed feed;
    ExtractPlayback recorder(session, log, scratch.dir + "/" + name, "", "", true, nullptr);
    feed.channel.subscribe(&recorder);
    for (auto _ : state)
        feed.publisher.publish(feed.record);
    recorder.reset("");
    feed.channel.unsubscribe(&recorder);
    state.SetItemsProcessed(state.iterations());
}

void BM_RecorderPlain(benchmark::State& state)
{
    runRecorder(state, "plain.play");
}

void BM_RecorderGzip(benchmark::State& state)
{
    runRecorder(state, "gzip.play.gz");
}

void BM_BoundPlain(benchmark::State& state)
{
    Scratch scratch;
    Feed feed;
    const std::string meta = metaOf(feed);
    FILE* file = std::fopen((scratch.dir + "/bound.play").c_str(), "a");
    for (auto _ : state)
    {
        std::fwrite(meta.data(), 1, meta.size(), file);
        std::fwrite(feed.payload.data(), 1, feed.payload.size(), file);
        std::fputc('\n', file);
        std::fflush(file);
    }
    std::fclose(file);
    state.SetItemsProcessed(state.iterations());
}

void BM_BoundGzip(benchmark::State& state)
{
    Scratch scratch;
    Feed feed;
    const std::string meta = metaOf(feed);
    gzFile file = gzopen((scratch.dir + "/bound.play.gz").c_str(), "a");
    for (auto _ : state)
    {
        gzwrite(file, meta.data(), static_cast<unsigned>(meta.size()));
        gzwrite(file, feed.payload.data(), static_cast<unsigned>(feed.payload.size()));
        gzputc(file, '\n');
    }
    gzclose(file);
    state.SetItemsProcessed(state.iterations());
}

void BM_RecorderClosed(benchmark::State& state)
{
    Log log;
    TarvokSession session;
    Feed feed;
    ExtractPlayback recorder(session, log, "", "", "", true, nullptr);
    feed.channel.subscribe(&recorder);
    for (auto _ : state)
    {
        feed.publisher.publish(feed.record);
        benchmark::ClobberMemory();
    }
    feed.channel.unsubscribe(&recorder);
}

void BM_NoSubscriber(benchmark::State& state)
{
    Feed feed;
    for (auto _ : state)
    {
        feed.publisher.publish(feed.record);
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK(BM_BoundPlain)->Iterations(cRecords);
BENCHMARK(BM_RecorderPlain)->Iterations(cRecords);
BENCHMARK(BM_BoundGzip)->Iterations(cRecords);
BENCHMARK(BM_RecorderGzip)->Iterations(cRecords);
BENCHMARK(BM_NoSubscriber);
BENCHMARK(BM_RecorderClosed);

BENCHMARK_MAIN();
