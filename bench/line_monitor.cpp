// Records per second through the line monitor's data handler: the full path
// (counts, up check when due, sequence check off, no statistics segment)
// with 1 and with 10 lines publishing in turn, and the light path with 10
// lines; beside the least such a handler must do: find the publisher's
// entry in an std::unordered_map and increment two counters.
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace
{

std::vector<std::string> lineNames(int count)
{
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.push_back("239.1.1." + std::to_string(i + 1) + ":5000");
    return names;
}

// A monitor on a session whose thread is not started: its timer waits in
// the thread's queue and never fires, so every record takes the data path.
struct Fixture
{
    explicit Fixture(int lines, bool light)
    {
        log.setLevel(LOG_LEVEL_WARNING);
        session.setRunnable(&runnable);
        session.setLog(&log);
        monitor.setQualityInterval(65000);
        monitor.setEnableStatsLogging(!light);
        names = lineNames(lines);
        for (const std::string& name : names)
            monitor.monitorOn(name);
        record.setSeqNum(1);
    }
    Log log;
    const char* argv[1] = {"bench"};
    ZunqConfigManager cfg{1, argv};
    ModuleList modules;
    Runnable runnable{"MON", cfg, modules, log, 100u};
    TarvokSession session;
    LineMonitor monitor{"feed", &session, &log, nullptr};
    Orlu<LineData> bus{"LineDataBlock.feed", "feed"};
    LineDataBasic record;
    std::vector<std::string> names;
};

void run(benchmark::State& state, bool light)
{
    Fixture f(static_cast<int>(state.range(0)), light);
    const std::size_t n = f.names.size();
    std::size_t i = 0;
    for (auto _ : state)
    {
        f.monitor.onData(f.bus, f.names[i], f.record);
        if (++i == n)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MonitorFull(benchmark::State& state) { run(state, false); }
void BM_MonitorLight(benchmark::State& state) { run(state, true); }

void BM_PeerMapAndTwoCounters(benchmark::State& state)
{
    struct Counts
    {
        std::uint32_t quality = 0;
        std::uint32_t stats = 0;
    };
    const std::vector<std::string> names = lineNames(static_cast<int>(state.range(0)));
    std::unordered_map<std::string, Counts> lines;
    for (const std::string& name : names)
        lines.emplace(name, Counts());
    const std::size_t n = names.size();
    std::size_t i = 0;
    for (auto _ : state)
    {
        auto it = lines.find(names[i]);
        if (it != lines.end())
        {
            ++it->second.quality;
            ++it->second.stats;
        }
        benchmark::DoNotOptimize(it);
        if (++i == n)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(BM_MonitorFull)->Arg(1)->Arg(10);
BENCHMARK(BM_MonitorLight)->Arg(10);
BENCHMARK(BM_PeerMapAndTwoCounters)->Arg(1)->Arg(10);
BENCHMARK_MAIN();
