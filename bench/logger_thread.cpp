// Journal lines through the LOGGER thread into a file: a posting thread hands
// lines to a real LOGGER loop on its own thread, which formats their headers
// and writes them, line by line or in 512-byte blocks with O_DIRECT. Each run
// ends only when every line posted is in the file's buffer or on disk, so
// lines/s and bytes/s are those of the whole road. The directory is
// $ODIRECT_TMPDIR or the current one; the O_DIRECT runs are skipped where
// that file system refuses direct writes.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/Logger.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{

struct BenchThread
{
    ThreadResource res{};
    FwMessageQueue normal;
    FwMessageQueue high;

    BenchThread(const char* name, bool block)
        : normal(1000, false, true, CPU_UTILIZATION, block, 100), high(1000, false, true, CPU_UTILIZATION, block, 100)
    {
        std::strncpy(res.threadNameTxt, name, sizeof(res.threadNameTxt) - 1);
        res.msgQueuePtrArray[MQUEUE_NORMAL] = &normal;
        res.msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = &high;
        res.status.store(RES_ACTIVE);
    }
};

BenchThread* g_logger = nullptr;
BenchThread* g_ctl = nullptr;

int32 findThread(const char* name, ThreadResource*& res)
{
    res = std::strcmp(name, "LOGGER") == 0 ? &g_logger->res : std::strcmp(name, "CTL_THREAD") == 0 ? &g_ctl->res
                                                                                                      : nullptr;
    return res != nullptr ? 0 : -1;
}

int32 findQueue(FwMessageQueue*& queue)
{
    queue = &g_logger->normal;
    return 0;
}

void postEvent(FwMessageQueue& queue, int32 id)
{
    FwIntMessage msg{};
    msg.appMsg.type = MSG_EVENT;
    msg.appMsg.event.id = id;
    while (queue.putMessage(&msg) != 0)
    {
    }
}

int32 takeEvent(FwMessageQueue& queue)
{
    FwIntMessage msg{};
    bool more = false;
    return queue.getMessage(&msg, more) == 0 ? msg.appMsg.event.id : -1;
}

std::string benchDir()
{
    const char* base = std::getenv("ODIRECT_TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : ".") + "/bench_logger_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return {};
    return std::filesystem::canonical(pattern).string();
}

bool directIoWorks(const std::string& dir)
{
    const std::string probe = dir + "/probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_DIRECT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    void* block = std::aligned_alloc(512, 512);
    std::memset(block, 'x', 512);
    const bool ok = ::write(fd, block, 512) == 512;
    std::free(block);
    ::close(fd);
    ::unlink(probe.c_str());
    return ok;
}

// args: payload bytes, O_DIRECT (1) or line writes (0).
void BM_JournalLinesThroughLoggerThread(benchmark::State& state)
{
    const auto payloadLen = static_cast<uint32>(state.range(0));
    const bool direct = state.range(1) != 0;
    const std::string dir = benchDir();
    if (dir.empty() || (direct && !directIoWorks(dir)))
    {
        state.SkipWithError("no directory for O_DIRECT writes (set ODIRECT_TMPDIR)");
        if (!dir.empty())
            std::filesystem::remove_all(dir);
        return;
    }
    BenchThread loggerThread("LOGGER", false);
    BenchThread ctlThread("CTL_THREAD", true);
    g_logger = &loggerThread;
    g_ctl = &ctlThread;
    LoggerRegistryLink::setFindLoggerQueue(findQueue);
    {
        Logger loop(&loggerThread.res, findThread);
        int32 exitCode = 0;
        std::thread thread([&] { loop.run(exitCode); });
        postEvent(loggerThread.high, INIT);
        takeEvent(ctlThread.high);

        AppLogger logger(dir.c_str(), "bench", LOG_LEVEL_DEBUG, false, false, true, true, direct);
        logger.openLog();
        AppLogger::setThreadName("BENCH");
        const std::string payload(payloadLen, 'm');
        int64 lines = 0;
        for (auto _ : state)
        {
            // A full queue is waited out: the run measures the LOGGER side.
            while (logger.logMessageFixedLength(LOG_LEVEL_INFO, payload.data(), payloadLen, INCOMING_DATA, nullptr,
                                                true, TCP_CHANNEL, "CH1", nullptr, 0) != 0)
            {
            }
            ++lines;
        }
        // Everything posted has been taken once the answer to this comes back.
        postEvent(loggerThread.normal, SW_ACTIVE);
        takeEvent(ctlThread.high);
        state.SetItemsProcessed(lines);
        state.SetBytesProcessed(lines * (payloadLen + AppLogger::JOURNAL_HEADER_LEN + 1));
        logger.closeLog();
        postEvent(loggerThread.normal, TERM);
        thread.join();
    }
    LoggerRegistryLink::setFindLoggerQueue(nullptr);
    g_logger = nullptr;
    g_ctl = nullptr;
    std::filesystem::remove_all(dir);
}

} // namespace

BENCHMARK(BM_JournalLinesThroughLoggerThread)
    ->ArgNames({"payload", "direct"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({5000, 1})
    ->UseRealTime();
BENCHMARK_MAIN();
