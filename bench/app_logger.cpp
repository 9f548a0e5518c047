// Cost of one log call of the application logger writing its own file: a
// call filtered out by the level, a line in the same second as the last one
// (the cached header), a line in the next second (seconds digits only) and
// a line in another minute (a full local-time conversion); then lines per
// second with 1 and 4 threads sharing one logger and its file.
//
// Files go to a temporary directory removed at the end.
#include "FendralCore/runtime/AppLogger.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace
{

std::string g_dir;
// 2024-03-05 00:00:00 UTC: every fake time stays within that day.
constexpr int64 DAY_START_NS = 1709596800LL * 1000000000LL;
std::atomic<int64> g_fakeNs{DAY_START_NS};

int fakeClock(timespec& now)
{
    const int64 ns = g_fakeNs.load(std::memory_order_relaxed);
    now.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    now.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return 0;
}

std::unique_ptr<AppLogger> openLogger(const char* prefix, AppLogger::WallClock clock)
{
    auto logger = std::make_unique<AppLogger>(g_dir.c_str(), prefix, LOG_LEVEL_INFO);
    logger->setClock(clock);
    if (logger->openLog() != 0)
        std::abort();
    return logger;
}

void removeFile(AppLogger& logger)
{
    const std::string name = logger.getFileName();
    logger.closeLog();
    std::filesystem::remove(name);
}

void BM_LogFilteredOut(benchmark::State& state)
{
    auto logger = openLogger("filtered", fakeClock);
    AppLogger::setThreadName("BENCH");
    for (auto _ : state)
        benchmark::DoNotOptimize(logger->logMessage(LOG_LEVEL_DEBUG, "Queue [%s] depth [%d].", "T1", 42));
    removeFile(*logger);
}

// stepNs: how far the clock moves between two calls; wrapNs keeps every
// time inside one day (no daily switch).
void logWithSteps(benchmark::State& state, const char* prefix, int64 stepNs, int64 wrapNs)
{
    g_fakeNs.store(DAY_START_NS);
    auto logger = openLogger(prefix, fakeClock);
    AppLogger::setThreadName("BENCH");
    int64 offset = 0;
    for (auto _ : state)
    {
        offset += stepNs;
        if (offset >= wrapNs)
            offset -= wrapNs;
        g_fakeNs.store(DAY_START_NS + offset, std::memory_order_relaxed);
        benchmark::DoNotOptimize(logger->logMessage(LOG_LEVEL_INFO, "Queue [%s] depth [%d].", "T1", 42));
    }
    state.SetItemsProcessed(state.iterations());
    removeFile(*logger);
}

void BM_LogSameSecond(benchmark::State& state)
{
    logWithSteps(state, "same_second", 1000, 999999000);
}

void BM_LogNewSecond(benchmark::State& state)
{
    logWithSteps(state, "new_second", 1000000000LL, 86399LL * 1000000000LL);
}

void BM_LogNewMinute(benchmark::State& state)
{
    logWithSteps(state, "new_minute", 61LL * 1000000000LL, 86399LL * 1000000000LL);
}

// One logger and one file shared by every thread, with the real clock.
AppLogger& sharedLogger()
{
    static std::unique_ptr<AppLogger> logger = openLogger("concurrent", nullptr);
    return *logger;
}

void BM_LogConcurrent(benchmark::State& state)
{
    AppLogger& logger = sharedLogger();
    AppLogger::setThreadName(("BENCH_" + std::to_string(state.thread_index())).c_str());
    for (auto _ : state)
        benchmark::DoNotOptimize(logger.logMessage(LOG_LEVEL_INFO, "Queue [%s] depth [%d].", "T1", 42));
    state.SetItemsProcessed(state.iterations());
}

// Fixed counts keep the files to some tens of megabytes.
BENCHMARK(BM_LogFilteredOut);
BENCHMARK(BM_LogSameSecond)->Iterations(1000000);
BENCHMARK(BM_LogNewSecond)->Iterations(1000000);
BENCHMARK(BM_LogNewMinute)->Iterations(1000000);
BENCHMARK(BM_LogConcurrent)->Iterations(500000)->Threads(1)->UseRealTime();
BENCHMARK(BM_LogConcurrent)->Iterations(250000)->Threads(4)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "bench_app_logger_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return 1;
    g_dir = pattern;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sharedLogger().closeLog();
    std::filesystem::remove_all(g_dir);
    return 0;
}
