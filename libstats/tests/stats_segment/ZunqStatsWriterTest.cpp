#include "libstats/latency/CircularBufferMng.h"
#include "libstats/latency/LatencyQueues.h"
#include "libstats/stats/ZunqStatsWriter.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace
{

struct Maxima
{
    long latency = 50, in = 6, out = 6, rts = 1000, sorvel = 200, page = 4096, queue = 1000;
};

class ZunqStatsWriterTest : public ::testing::Test
{
protected:
    ZunqStatsWriterTest()
    {
        mKeyFile = keyFileFor("stats", 'x');
        mQueueFile = mIpc.keyFile(mDir.path(), 0);
        writeConfig(Maxima());
    }
    ~ZunqStatsWriterTest() override { CircularBufferMng::destroyInstance(); }

    // A key file whose key for `project` is free; tracked for removal.
    std::string keyFileFor(const std::string& base, int project)
    {
        for (int n = 0; n < 50; ++n)
        {
            std::string file = mDir.path() + "/" + base + std::to_string(n);
            std::ofstream(file).close();
            key_t key = ftok(file.c_str(), project);
            if (key > 0 && IpcCleaner::isFree(key))
            {
                mIpc.track(key);
                return file;
            }
        }
        ADD_FAILURE() << "no free key";
        return std::string();
    }

    void writeConfig(const Maxima& m, const std::string& extra = "")
    {
        std::ofstream(mDir.path() + "/libstats.xml")
            << "<libstats>\n<shm_key_filename>" << mKeyFile << "</shm_key_filename>\n"
            << "<latency_queues_managed_shared_memory_name>" << mQueueFile
            << "</latency_queues_managed_shared_memory_name>\n"
            << "<max_num_latency_tables>" << m.latency << "</max_num_latency_tables>\n"
            << "<max_num_bandwidth_in_tables>" << m.in << "</max_num_bandwidth_in_tables>\n"
            << "<max_num_bandwidth_out_tables>" << m.out << "</max_num_bandwidth_out_tables>\n"
            << "<max_num_rts_client_tables>" << m.rts << "</max_num_rts_client_tables>\n"
            << "<max_num_sorvel_client_tables>" << m.sorvel << "</max_num_sorvel_client_tables>\n"
            << "<page_size>" << m.page << "</page_size>\n"
            << "<max_latency_queue_size>" << m.queue << "</max_latency_queue_size>\n"
            << extra << "</libstats>\n";
    }

    bool init(ZunqStatsWriter& writer)
    {
        writer.setConfigFile(mDir.path() + "/libstats.xml");
        writer.setWaits(300, 100);
        return writer.init(mLog.log(), "statstest");
    }

    TempDir mDir;
    IpcCleaner mIpc;
    CapturedLog mLog;
    std::string mKeyFile;
    std::string mQueueFile;
};

TEST_F(ZunqStatsWriterTest, DefaultSegmentSizeAndArrayOffsets)
{
    const StatsSegmentLayout defaults;
    EXPECT_EQ(defaults.neededBytes(), 311768u);
    EXPECT_EQ(defaults.size(), 315392u);
    EXPECT_EQ(defaults.latencyOffset(), 264u);
    EXPECT_EQ(defaults.bandwidthInOffset(), 15064u);
    EXPECT_EQ(defaults.bandwidthOutOffset(), 16216u);
    EXPECT_EQ(defaults.rtsClientOffset(), 17368u);
    EXPECT_EQ(defaults.sorvelClientOffset(), 273368u);
    // A whole extra page even when the records fill the last one exactly.
    StatsSegmentLayout exact;
    exact.mPageSize = static_cast<int64_t>(exact.neededBytes());
    EXPECT_EQ(exact.size(), 2 * exact.neededBytes());

    ZunqStatsWriter writer;
    ASSERT_TRUE(init(writer));
    EXPECT_EQ(writer.getShmSize(), 315392u);
    const StatsHeader& header = *writer.header();
    EXPECT_EQ(header.mVersion, 1u);
    EXPECT_EQ(header.mCookie, 0x123456u);
    EXPECT_EQ(header.mShmSize, 315392u);
    EXPECT_STREQ(header.mProcessName, "statstest");
    const char* base = reinterpret_cast<const char*>(&header);
    const std::pair<const char*, long> offsets[] = {{"lat", 264}, {"bin", 15064}, {"bout", 16216}, {"rts", 17368},
                                                    {"sorvel", 273368}};
    LatencyStats* lat = nullptr;
    BandwidthInStats* in = nullptr;
    BandwidthOutStats* out = nullptr;
    RtsClientStats* rts = nullptr;
    SorvelClientStats* sorvel = nullptr;
    ASSERT_EQ(writer.addLatencyEntry(mLog.log(), lat, "lat", 0), ZunqStatsWriter::SUCCESS);
    ASSERT_EQ(writer.addBandwidthInEntry(mLog.log(), in, "bin"), ZunqStatsWriter::SUCCESS);
    ASSERT_EQ(writer.addBandwidthOutEntry(mLog.log(), out, "bout"), ZunqStatsWriter::SUCCESS);
    ASSERT_EQ(writer.addRtsClientEntry(mLog.log(), rts, std::string("rts")), ZunqStatsWriter::SUCCESS);
    ASSERT_EQ(writer.addSorvelClientEntry(mLog.log(), sorvel, "sorvel"), ZunqStatsWriter::SUCCESS);
    const void* records[] = {lat, in, out, rts, sorvel};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(static_cast<const char*>(records[i]) - base, offsets[i].second) << offsets[i].first;
    EXPECT_EQ(lat->mLatencyTable.msg_latency_min[2], 0xFFFFFFFFu);
    EXPECT_EQ(lat->mPreviousLatencyTable.msg_latency_min[2], 0u);
    EXPECT_EQ(lat->mID, 0u);
    writer.detachShm();
}

TEST_F(ZunqStatsWriterTest, RecordsAreFoundOrAppendedUpToTheirMaximum)
{
    Maxima small;
    small.in = 2;
    small.out = 1;
    small.rts = 1;
    small.sorvel = 1;
    writeConfig(small);
    ZunqStatsWriter writer;
    ASSERT_TRUE(init(writer));
    BandwidthInStats *a = nullptr, *b = nullptr, *again = nullptr, *c = nullptr;
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), a, "a"), ZunqStatsWriter::SUCCESS);
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), b, "b"), ZunqStatsWriter::SUCCESS);
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), again, "a"), ZunqStatsWriter::ENTRY_EXISTS);
    EXPECT_EQ(again, a);
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), c, "c"), ZunqStatsWriter::INSUFFICIENT_MEMORY);
    EXPECT_EQ(c, nullptr);
    EXPECT_TRUE(mLog.sink().contains(
        "ZunqStatsWriter::addBandwidthInEntry(): Insufficient memory. Maximum number of bandwith in tables [ 2 ] reached."));
    EXPECT_TRUE(mLog.sink().contains("ZunqStatsWriter: addBandwidthInEntry(): mCountBinEntries = 2 for b"));
    EXPECT_EQ(writer.findBin("b"), b);
    EXPECT_EQ(writer.findBin("c"), nullptr);
    EXPECT_EQ(writer.header()->mCountBinEntries, 2u);

    // The other kinds refuse silently.
    const int errorsBefore = mLog.count("Insufficient memory");
    BandwidthOutStats* out = nullptr;
    RtsClientStats* rts = nullptr;
    SorvelClientStats* sorvel = nullptr;
    EXPECT_EQ(writer.addBandwidthOutEntry(mLog.log(), out, "o1"), ZunqStatsWriter::SUCCESS);
    EXPECT_EQ(writer.addBandwidthOutEntry(mLog.log(), out, "o2"), ZunqStatsWriter::INSUFFICIENT_MEMORY);
    EXPECT_EQ(writer.addRtsClientEntry(mLog.log(), rts, "r1"), ZunqStatsWriter::SUCCESS);
    EXPECT_EQ(writer.addRtsClientEntry(mLog.log(), rts, "r2"), ZunqStatsWriter::INSUFFICIENT_MEMORY);
    EXPECT_EQ(writer.addSorvelClientEntry(mLog.log(), sorvel, "s1"), ZunqStatsWriter::SUCCESS);
    EXPECT_EQ(writer.addSorvelClientEntry(mLog.log(), sorvel, "s2"), ZunqStatsWriter::INSUFFICIENT_MEMORY);
    EXPECT_EQ(sorvel, nullptr);
    EXPECT_EQ(mLog.count("Insufficient memory"), errorsBefore);

    writer.detachShm();
}

TEST_F(ZunqStatsWriterTest, LatencyRecordsAreLimitedByTheirQueuesButFoundAgainAfterARestart)
{
    Maxima small;
    small.latency = 3; // queues for 2 records
    small.queue = 4;
    writeConfig(small);
    ZunqStatsWriter writer;
    ASSERT_TRUE(init(writer));
    LatencyStats *a = nullptr, *b = nullptr, *c = nullptr;
    EXPECT_EQ(writer.addLatencyEntry(mLog.log(), a, "a", 77), ZunqStatsWriter::SUCCESS);
    EXPECT_EQ(writer.addLatencyEntry(mLog.log(), b, "b", 77), ZunqStatsWriter::SUCCESS);
    EXPECT_EQ(a->mID, 0u);
    EXPECT_EQ(b->mID, 1u);
    EXPECT_EQ(writer.addLatencyEntry(mLog.log(), c, "c", 77), ZunqStatsWriter::INSUFFICIENT_MEMORY);
    EXPECT_TRUE(mLog.sink().contains(
        "ZunqStatsWriter: addLatencyEntry(): shared memory INSUFFICIENT_MEMORY. GetNumCircularBuffers[2] << "
        "mMaxNumLatencyTables[3]"));
    // A restarted process finds its record although no further queue fits.
    LatencyStats* again = nullptr;
    EXPECT_EQ(writer.addLatencyEntry(mLog.log(), again, "b", 77), ZunqStatsWriter::ENTRY_EXISTS);
    EXPECT_EQ(again, b);
    EXPECT_TRUE(mLog.sink().contains("ZunqStatsWriter: addLatencyEntry(): LatencyStats[1] is attached for b"));

    // Samples reach the record's table and its queue.
    b->writeLatencyStats(mLog.log(), 10, 12, 15, 19, 1, 42, 2, 3);
    std::unique_ptr<CircularBuffer> queue = CircularBufferMng::getInstance()->findCircularBufferShmSafe(b->mID);
    ASSERT_TRUE(queue);
    ASSERT_EQ(queue->getNumUnread(), 1);
    const latency_info_t* sample = queue->popHead();
    EXPECT_EQ(sample->orderID, 42u);
    EXPECT_EQ(sample->T3_T2, 3u);
    EXPECT_EQ(b->mLatencyTable.msg_latency_max[LAT_ALL], 9u);
    writer.detachShm();
}

TEST_F(ZunqStatsWriterTest, SecondProcessAttachingGetsTheSameRecordBack)
{
    ZunqStatsWriter writer;
    ASSERT_TRUE(init(writer));
    BandwidthInStats* in = nullptr;
    LatencyStats* lat = nullptr;
    ASSERT_EQ(writer.addBandwidthInEntry(mLog.log(), in, "feed.in"), ZunqStatsWriter::SUCCESS);
    ASSERT_EQ(writer.addLatencyEntry(mLog.log(), lat, "feed.lat", 0), ZunqStatsWriter::SUCCESS);
    const long inOffset = reinterpret_cast<char*>(in) - reinterpret_cast<const char*>(writer.header());

    int code = runInChild([&] {
        CircularBufferMng::destroyInstance();
        ZunqStatsWriter other;
        if (!init(other))
            return 1;
        BandwidthInStats* same = nullptr;
        if (other.addBandwidthInEntry(mLog.log(), same, "feed.in") != ZunqStatsWriter::ENTRY_EXISTS)
            return 2;
        if (reinterpret_cast<char*>(same) - reinterpret_cast<const char*>(other.header()) != inOffset)
            return 3;
        same->writeBandwidthInStats(1, 5, 500);
        LatencyStats* sameLat = nullptr;
        if (other.addLatencyEntry(mLog.log(), sameLat, "feed.lat", 9) != ZunqStatsWriter::ENTRY_EXISTS ||
            sameLat->mID != 0)
            return 4;
        other.detachShm();
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(in->mBandwidthInTable.msgs, 5u);
    EXPECT_EQ(in->mBandwidthInTable.bytes, 500u);
    writer.detachShm();
}

TEST_F(ZunqStatsWriterTest, ProcessesStartingTogetherShareOneHeader)
{
    constexpr int cChildren = 4;
    runChildrenTogether(cChildren, [&](int c) {
        ZunqStatsWriter writer;
        RtsClientStats* rts = nullptr;
        bool ok = init(writer) &&
                  writer.addRtsClientEntry(mLog.log(), rts, "client" + std::to_string(c)) == ZunqStatsWriter::SUCCESS;
        return ok ? 0 : 1;
    });
    ZunqStatsWriter writer;
    ASSERT_TRUE(init(writer));
    EXPECT_EQ(writer.header()->mCountRtsEntries, 4u);
    for (int c = 0; c < cChildren; ++c)
        EXPECT_NE(writer.findRts(("client" + std::to_string(c)).c_str()), nullptr) << c;
    writer.detachShm();
}

TEST_F(ZunqStatsWriterTest, SemaphoreLeftTakenByADeadProcessDoesNotBlockForEver)
{
    ZunqStatsWriter writer;
    ASSERT_TRUE(init(writer));
    StatsHeader* header = const_cast<StatsHeader*>(writer.header());
    ASSERT_EQ(runInChild([header] { return sem_wait(&header->mSemBandwidthInAdd); }), 0);
    BandwidthInStats* in = reinterpret_cast<BandwidthInStats*>(1);
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), in, "blocked"), ZunqStatsWriter::NOT_INITIALIZED);
    EXPECT_EQ(in, nullptr);
    EXPECT_TRUE(mLog.sink().contains("ZunqStatsWriter::addBandwidthInEntry(): semaphore not free within 300 ms"));
    // The other kinds go on.
    BandwidthOutStats* out = nullptr;
    EXPECT_EQ(writer.addBandwidthOutEntry(mLog.log(), out, "free"), ZunqStatsWriter::SUCCESS);
    writer.detachShm();
}

TEST_F(ZunqStatsWriterTest, SegmentsThatDoNotMatchAreRefused)
{
    struct Case
    {
        const char* what;
        void (*damage)(StatsHeader&);
        Maxima attachWith;
        const char* error;
    };
    Maxima otherLatency;
    otherLatency.latency = 40;
    const Case cases[] = {
        {"wrong cookie", [](StatsHeader& h) { h.mCookie = 0x654321; }, Maxima(),
         "ZunqStatsWriter: init(): existing shared memory has an invalid cookie"},
        {"other maxima", nullptr, otherLatency, "ZunqStatsWriter: init(): existing shared memory has incorrect size"},
        {"recorded size differs", [](StatsHeader& h) { h.mShmSize += 4096; }, Maxima(),
         "ZunqStatsWriter: init(): existing shared memory has incorrect size"},
        {"counts above the maxima", [](StatsHeader& h) { h.mCountRtsEntries = 1001; }, Maxima(),
         "existing shared memory has record counts above the configured maxima"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        writeConfig(Maxima());
        {
            ZunqStatsWriter creator;
            ASSERT_TRUE(init(creator));
            if (c.damage != nullptr)
                c.damage(*const_cast<StatsHeader*>(creator.header()));
            creator.detachShm();
        }
        writeConfig(c.attachWith);
        ZunqStatsWriter writer;
        EXPECT_FALSE(init(writer));
        EXPECT_TRUE(mLog.sink().contains(c.error));
        BandwidthInStats* in = nullptr;
        EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), in, "x"), ZunqStatsWriter::NOT_INITIALIZED);
        LatencyStats* lat = nullptr;
        EXPECT_EQ(writer.addLatencyEntry(mLog.log(), lat, "x", 0), ZunqStatsWriter::NOT_INITIALIZED);
        shmctl(shmget(ftok(mKeyFile.c_str(), 'x'), 0, 0), IPC_RMID, nullptr);
    }
}

TEST_F(ZunqStatsWriterTest, ConfigurationsThatCannotBeLaidOutAreRefused)
{
    const std::pair<const char*, Maxima> cases[] = {
        {"page size 0", [] { Maxima m; m.page = 0; return m; }()},
        {"negative page size", [] { Maxima m; m.page = -4096; return m; }()},
        {"negative maximum", [] { Maxima m; m.rts = -1; return m; }()},
        {"segment too large",
         [] {
             Maxima m;
             m.latency = m.in = m.out = m.rts = m.sorvel = StatsSegmentLayout::cMaxRecords;
             return m;
         }()},
        {"maximum beyond the records accepted", [] { Maxima m; m.in = StatsSegmentLayout::cMaxRecords + 1; return m; }()},
    };
    for (const auto& [what, maxima] : cases)
    {
        writeConfig(maxima);
        ZunqStatsWriter writer;
        EXPECT_FALSE(init(writer)) << what;
        EXPECT_FALSE(writer.isAttached()) << what;
    }
    EXPECT_EQ(mLog.count("ZunqStatsWriter: init(): invalid configuration: "), 5);
    EXPECT_EQ(shmget(ftok(mKeyFile.c_str(), 'x'), 0, 0), -1);

    ZunqStatsWriter missing;
    missing.setConfigFile(mDir.path() + "/none.xml");
    EXPECT_FALSE(missing.init(mLog.log(), "p"));
    EXPECT_TRUE(mLog.sink().contains("ZunqStatsWriter: init(): Error opening configuration file: "));

    std::ofstream(mDir.path() + "/libstats.xml") << "<libstats><page_size>many</page_size></libstats>";
    ZunqStatsWriter malformed;
    EXPECT_FALSE(init(malformed));
    EXPECT_TRUE(mLog.sink().contains("ZunqStatsWriter: init(): Caught std::exception: "));
}

TEST_F(ZunqStatsWriterTest, DetachedWriterAnswersNotInitialized)
{
    ZunqStatsWriter writer;
    BandwidthInStats* in = reinterpret_cast<BandwidthInStats*>(1);
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), in, "x"), ZunqStatsWriter::NOT_INITIALIZED);
    EXPECT_EQ(in, nullptr);
    writer.detachShm(); // nothing attached: nothing done
    ASSERT_TRUE(init(writer));
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), in, "x"), ZunqStatsWriter::SUCCESS);
    // A second init is refused and keeps the writer attached.
    EXPECT_FALSE(init(writer));
    EXPECT_EQ(writer.addBandwidthInEntry(mLog.log(), in, "x"), ZunqStatsWriter::ENTRY_EXISTS);
    testing::internal::CaptureStdout();
    writer.detachShm();
    writer.detachShm();
    // A line of its own: at exit the next output must not run into it.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ZunqStatsWriter::detachShm " + mQueueFile + "\n");
    EXPECT_FALSE(writer.isAttached());
    LatencyStats* lat = reinterpret_cast<LatencyStats*>(1);
    RtsClientStats* rts = reinterpret_cast<RtsClientStats*>(1);
    EXPECT_EQ(writer.addLatencyEntry(mLog.log(), lat, "x", 0), ZunqStatsWriter::NOT_INITIALIZED);
    EXPECT_EQ(writer.addRtsClientEntry(mLog.log(), rts, "x"), ZunqStatsWriter::NOT_INITIALIZED);
    EXPECT_EQ(lat, nullptr);
    EXPECT_EQ(rts, nullptr);
    EXPECT_EQ(writer.findBin("x"), nullptr);
    EXPECT_TRUE(mLog.sink().contains("ZunqStatsWriter: addLatencyEntry(): shared memory NOT_INITIALIZED"));

    const std::pair<int, const char*> texts[] = {{0, "SUCCESS"},
                                                 {1, "ENTRY_EXISTS"},
                                                 {2, "INSUFFICIENT_MEMORY"},
                                                 {3, "NOT_INITIALIZED"},
                                                 {4, "Unknown enumeration"},
                                                 {-1, "Unknown enumeration"}};
    for (auto [code, text] : texts)
        EXPECT_STREQ(ZunqStatsWriter::ReturnCodesText(code), text);
}

std::string run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    output += "exit=" + std::to_string(WEXITSTATUS(pclose(pipe)));
    return output;
}

TEST_F(ZunqStatsWriterTest, ReaderToolPrintsTheRecordsAnotherProcessWrote)
{
    const std::string tool = std::string(STATS_READER_TOOL) + " --config " + mDir.path() + "/libstats.xml";
    EXPECT_NE(run(tool + " 2>&1").find("no statistics segment for key file " + mKeyFile), std::string::npos);

    int code = runInChild([&] {
        CircularBufferMng::destroyInstance();
        ZunqStatsWriter writer;
        if (!init(writer))
            return 1;
        LatencyStats* lat = nullptr;
        BandwidthInStats* in = nullptr;
        BandwidthOutStats* out = nullptr;
        RtsClientStats* rts = nullptr;
        SorvelClientStats* sorvel = nullptr;
        writer.addLatencyEntry(mLog.log(), lat, "line A", 0);
        writer.addBandwidthInEntry(mLog.log(), in, "in\"1");
        writer.addBandwidthOutEntry(mLog.log(), out, "out1");
        writer.addRtsClientEntry(mLog.log(), rts, "client1");
        writer.addSorvelClientEntry(mLog.log(), sorvel, "user1");
        if (!lat || !in || !out || !rts || !sorvel)
            return 2;
        lat->writeLatencyStats(mLog.log(), 10, 12, 15, 19, 0, 1, 0, 0);
        in->writeBandwidthInStats(3, 4, 500);
        out->writeBandwidthOutStats(1, 2, 30, 0, 9);
        rts->updateNumRequests(7);
        sorvel->updateNumLogonAttempts(2);
        writer.detachShm();
        return 0;
    });
    ASSERT_EQ(code, 0);

    EXPECT_EQ(run(tool),
              "latency line\\x20A id=0 msg_count=1 msg_latency_total=2,3,4,9 msg_latency_min=2,3,4,9 "
              "msg_latency_max=2,3,4,9\n"
              "bandwidth_in in\\x221 pkts=3 msgs=4 bytes=500\n"
              "bandwidth_out out1 pkts=1 msgs=2 bytes=30 pkts_throt=0 max_q_size=9\n"
              "rts_client client1 totalNumRequests=7 totalNumAcceptRequests=0 totalNumRejectRequests=0 "
              "totalExceedsMaxSeqRange=0 totalUnknownChannelId=0 totalMsgsNotAvailable=0 totalExceedsMaxRequests=0 "
              "totalNumMsgsAccepted=0 totalNumMsgsRetransmitted=0\n"
              "sorvel_client user1 totalLogonAttempts=2 totalSuccessfulLogons=0 totalPasswordChangeAttempts=0 "
              "totalSuccessfulPasswordChanges=0 totalRefreshRequests=0 totalRetransmissions=0 "
              "totalNumMsgsRetransmitted=0\n"
              "exit=0");
    const std::string json = run(tool + " --json --key-file " + mKeyFile);
    EXPECT_NE(json.find("{\"kind\":\"latency\",\"name\":\"line A\",\"id\":0,\"msg_count\":1,\"msg_latency_total\":"
                        "[2,3,4,9],\"msg_latency_min\":[2,3,4,9],\"msg_latency_max\":[2,3,4,9]}\n"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"kind\":\"bandwidth_in\",\"name\":\"in\\u00221\",\"pkts\":3,\"msgs\":4,\"bytes\":500}\n"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("exit=0"), std::string::npos);

    // Another configuration places the arrays elsewhere: refused, not misread.
    Maxima other;
    other.rts = 10;
    writeConfig(other);
    EXPECT_NE(run(tool + " 2>&1").find("segment has size 315392, the configuration gives"), std::string::npos);
}

} // namespace
