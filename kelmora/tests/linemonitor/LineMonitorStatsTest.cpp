// The line monitor's inbound bandwidth counts in a real statistics segment
// of the test's own keys (removed afterwards), read back by the statistics
// reader tool; statistics calls and termination arriving from another
// thread.
#include "LineMonitorTestSupport.h"

#include "kelmora/tests/host_bus/HostTestSupport.h"
#include "kelmora/thread/TarvokTimer.h"
#include "libstats/latency/CircularBufferMng.h"
#include "libstats/stats/BandwidthInStats.h"
#include "libstats/stats/ZunqStatsWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

using namespace monitortest;

namespace
{

// A statistics configuration whose System V keys are free, held under the
// lock the statistics tests share; whatever uses them is removed at the end.
class StatsSegment
{
public:
    StatsSegment()
    {
        mLockFd = open("/tmp/fendral-test-ipc-keys.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666);
        if (mLockFd >= 0)
            flock(mLockFd, LOCK_EX);
        const std::string segmentKey = freeKeyFile("stats", {'x'}, 0);
        const std::string queueKey = freeKeyFile("queues", {0, 1, 2}, 4);
        mConfig = mDir.write("libstats.xml", "<libstats>\n<shm_key_filename>" + segmentKey +
                                                 "</shm_key_filename>\n<latency_queues_managed_shared_memory_name>" +
                                                 queueKey + "</latency_queues_managed_shared_memory_name>\n</libstats>\n");
    }
    ~StatsSegment()
    {
        CircularBufferMng::destroyInstance();
        for (key_t key : mKeys)
        {
            if (int shm = shmget(key, 0, 0); shm >= 0)
                shmctl(shm, IPC_RMID, nullptr);
            if (int sem = semget(key, 0, 0); sem >= 0)
                semctl(sem, 0, IPC_RMID);
        }
        if (mLockFd >= 0)
            close(mLockFd); // releases the lock
    }

    bool attach(ZunqStatsWriter& writer, Log& log) const
    {
        writer.setConfigFile(mConfig);
        writer.setWaits(300, 100);
        return writer.init(log, "linemonitor");
    }
    const std::string& config() const { return mConfig; }

private:
    static bool isFree(key_t key)
    {
        return key > 0 && shmget(key, 0, 0) < 0 && errno == ENOENT && semget(key, 0, 0) < 0 && errno == ENOENT;
    }
    std::string freeKeyFile(const std::string& base, std::vector<int> projects, int span)
    {
        for (int n = 0; n < 50; ++n)
        {
            const std::string file = mDir.write(base + std::to_string(n), "");
            bool free = true;
            for (int project : projects)
                for (int step = 0; step <= span; ++step)
                    free = free && isFree(ftok(file.c_str(), project) + step);
            if (!free)
                continue;
            for (int project : projects)
                for (int step = 0; step <= span; ++step)
                    mKeys.push_back(ftok(file.c_str(), project) + step);
            return file;
        }
        ADD_FAILURE() << "no free keys";
        return std::string();
    }

    TempDir mDir;
    int mLockFd = -1;
    std::vector<key_t> mKeys;
    std::string mConfig;
};

std::string runTool(const std::string& command)
{
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r"))
    {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            output += buffer;
        pclose(pipe);
    }
    return output;
}

struct Tick : TarvokTimerHandler
{
    void onTimer(TarvokTimer*) override { work(); }
    std::function<void()> work;
};

TEST(LineMonitorStats, BandwidthCountersMoveWithTheSubFeedsData)
{
    StatsSegment segment;
    MonitorHost host;
    ZunqStatsWriter writer;
    ASSERT_TRUE(segment.attach(writer, host.log));
    HostThread<> mon(host, "IDLE"); // never started: the calls run here
    Monitored full("xs_1", mon.session, host.log, &writer);
    Monitored light("xs_2", mon.session, host.log, &writer);
    light.monitor.setEnableStatsLogging(false);
    for (Monitored* m : {&full, &light})
    {
        m->monitor.monitorOn("L1");
        for (std::uint32_t length : {100u, 200u, 300u})
            m->data("L1", TestRecord(1, length));
        m->heartbeat("L1");             // heartbeats carry no bytes
        m->data("L9", TestRecord(1, 7)); // no such line: not counted
    }
    const BandwidthInStats* counted = writer.findBin("xs_1");
    ASSERT_NE(counted, nullptr);
    EXPECT_EQ(counted->mBandwidthInTable.pkts, 3u);
    EXPECT_EQ(counted->mBandwidthInTable.msgs, 3u);
    EXPECT_EQ(counted->mBandwidthInTable.bytes, 600u);
    ASSERT_NE(writer.findBin("xs_2"), nullptr); // registered, but the light path counts nothing
    EXPECT_EQ(writer.findBin("xs_2")->mBandwidthInTable.pkts, 0u);

    const std::string out = runTool(std::string(STATS_READER_TOOL) + " --config " + segment.config());
    EXPECT_NE(out.find("bandwidth_in xs_1 pkts=3 msgs=3 bytes=600\n"), std::string::npos) << out;
    writer.detachShm();
}

// Data keeps arriving on the monitor's thread while another thread asks for
// a report and a reset and then ends the process: every call runs on the
// monitor's thread, counting stops before the segment is detached, and data
// after the detach is not written into it.
TEST(LineMonitorStats, CallsFromAnotherThreadRunOnTheMonitorsThread)
{
    StatsSegment segment;
    MonitorHost host;
    ZunqStatsWriter writer;
    ASSERT_TRUE(segment.attach(writer, host.log));
    HostThread<> mon(host, "MON");
    HostThread<> other(host, "OTHER");
    mon.runnable->stopWhenDone = false;
    other.runnable->stopWhenDone = false;
    Monitored m("xs_1", mon.session, host.log, &writer);
    Orlu<TerminateAll> terminate("TerminateAll", "default");
    terminate.subscribe(&m.monitor);
    m.monitor.monitorOn("L1");

    std::atomic<int> sent{0};
    std::uint64_t countedAtStop = 0;
    std::uint64_t countedAtDetach = 0;
    int sentAfterStop = 0;
    int sentAfterDetach = 0;
    bool stopped = false;
    bool detached = false;
    Tick feed;
    feed.work = [&] {
        m.data("L1", TestRecord(1, 10));
        ++sent;
        if (!stopped && m.monitor.isCountingStopped())
        {
            stopped = true;
            countedAtStop = writer.findBin("xs_1")->mBandwidthInTable.pkts;
        }
        else if (stopped && !detached && ++sentAfterStop == 10)
        {
            countedAtDetach = writer.findBin("xs_1")->mBandwidthInTable.pkts;
            writer.detachShm(); // as the segment's owner does once writers stopped
            detached = true;
        }
        else if (detached && ++sentAfterDetach == 20)
        {
            hostrun::stopFramework();
        }
    };
    bool asked = false;
    Tick ask;
    ask.work = [&] {
        if (asked || sent.load() < 20)
            return;
        asked = true;
        m.monitor.print(1);
        m.monitor.reset(true);
        OrluPublisher<TerminateAll> terminator("Terminator");
        terminator.setDestination(&terminate);
        terminator.publish(TerminateAll("test"));
    };
    TarvokTimer feedTimer;
    TarvokTimer askTimer;
    feedTimer.create(&mon.session, &feed, 1, nullptr);
    askTimer.create(&other.session, &ask, 1, nullptr);
    ASSERT_TRUE(hostrun::runFramework({{"MON", 100}, {"OTHER", 100}}, "", std::chrono::seconds(30)));
    terminate.unsubscribe(&m.monitor);

    EXPECT_TRUE(detached);
    EXPECT_GE(sentAfterDetach, 20); // ticks may land between the stop request and the stop
    EXPECT_GE(countedAtStop, 20u);
    EXPECT_EQ(countedAtDetach, countedAtStop); // 10 records after the stop, none counted
    ZunqStatsWriter reader;
    ASSERT_TRUE(segment.attach(reader, host.log));
    ASSERT_NE(reader.findBin("xs_1"), nullptr);
    EXPECT_EQ(reader.findBin("xs_1")->mBandwidthInTable.pkts, countedAtStop);
    reader.detachShm();

    const auto printed = host.lines.with("[LineMonitor::print] Channel:xs_1 [L1] packets:");
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0].thread, "MON");
    const auto stopLines = host.lines.with("LineMonitor(xs_1): inbound bandwidth counting stopped for termination");
    ASSERT_EQ(stopLines.size(), 1u);
    EXPECT_EQ(stopLines[0].thread, "MON");
}

} // namespace
