#include "libstats/latency/CircularBufferFactory.h"
#include "libstats/latency/CircularBufferMapFactory.h"
#include "libstats/latency/CircularBufferMng.h"
#include "libstats/latency/LatencyQueues.h"
#include "libstats/tests/support/StatsTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <sys/sem.h>
#include <sys/stat.h>
#include <thread>

namespace
{

latency_info_t sample(uint64_t n)
{
    latency_info_t s{};
    s.T1 = n;
    s.T2_T1 = n + 1;
    s.T3_T2 = n + 2;
    s.T4_T3 = n + 3;
    s.orderID = n + 4;
    s.T0 = n + 5;
    s.T0_ = n + 6;
    s.T4_ = n + 7;
    return s;
}

std::string line(uint64_t n)
{
    std::ostringstream out;
    out << n << ' ' << n + 1 << ' ' << n + 2 << ' ' << n + 3 << ' ' << n + 4 << ' ' << n + 5 << ' ' << n + 6 << ' '
        << n + 7 << '\n';
    return out.str();
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

class LatencyQueuesTest : public ::testing::Test
{
protected:
    LatencyQueuesTest() { mName = mIpc.keyFile(mDir.path(), 0); }
    ~LatencyQueuesTest() override { CircularBufferMng::destroyInstance(); }

    CircularBufferMng* manager(long queues = 4, long size = 8)
    {
        return CircularBufferMng::getInstance(mName.c_str(), queues, size, mLog.log());
    }

    TempDir mDir;
    IpcCleaner mIpc;
    CapturedLog mLog;
    std::string mName;
};

TEST_F(LatencyQueuesTest, ForkedReaderSeesTheWritersQueuesAndSamplesInOrder)
{
    EXPECT_EQ(GetNumCircularBuffers(), -1);
    CreateAttachCircularBufferShm(mLog.log(), 4, 8, 4096, mName.c_str());
    ASSERT_EQ(GetNumCircularBuffers(), 0);
    unsigned int first = 99;
    unsigned int second = 99;
    CreateCircularBuffer(mLog.log(), "LineA", first, 8);
    CreateCircularBuffer(mLog.log(), "LineB", second, 8);
    ASSERT_EQ(first, 0u);
    ASSERT_EQ(second, 1u);
    for (uint64_t n = 1; n <= 5; ++n)
        EXPECT_TRUE(AddElement(mLog.log(), "LineA", first, sample(n * 10)));
    EXPECT_TRUE(AddElement(mLog.log(), "LineB", second, sample(500)));

    const std::string prefix = mDir.path() + "/lat_";
    int code = runInChild([&] {
        // A process of its own: a fresh manager that attaches the segments.
        CircularBufferMng::destroyInstance();
        CircularBufferMng* reader = CircularBufferMng::getInstance(mName.c_str(), 4, 8, mLog.log());
        if (reader == nullptr || reader->getNumCircularBuffers() != 2)
            return 1;
        unsigned int id = 9;
        if (!reader->addCircularBuffer("LineB", id) || id != 1)
            return 2;
        if (!reader->flushCircularBuffersToDisk(prefix, "txt", true, 0))
            return 3;
        // The child writes too: a queue it did not add gets its view on first use.
        reader->addElement(0, sample(70));
        CircularBufferMng::destroyInstance();
        return 0;
    });
    ASSERT_EQ(code, 0);
    EXPECT_EQ(readFile(prefix + "LineA.txt"), "LineA\n" + line(10) + line(20) + line(30) + line(40) + line(50));
    EXPECT_EQ(readFile(prefix + "LineB.txt"), "LineB\n" + line(500));

    FlushQueues(mLog.log(), prefix, "txt", true, 0);
    EXPECT_EQ(readFile(prefix + "LineA.txt"),
              "LineA\n" + line(10) + line(20) + line(30) + line(40) + line(50) + line(70));
}

TEST_F(LatencyQueuesTest, QueuesAreFoundByTheirExactName)
{
    ASSERT_NE(manager(), nullptr);
    unsigned int line10 = 9, line1 = 9, again = 9;
    ASSERT_TRUE(manager()->addCircularBuffer("Line10", line10));
    ASSERT_TRUE(manager()->addCircularBuffer("Line1", line1));
    ASSERT_TRUE(manager()->addCircularBuffer("Line10", again));
    EXPECT_EQ(line10, 0u);
    EXPECT_EQ(line1, 1u);
    EXPECT_EQ(again, 0u);
    EXPECT_STREQ(manager()->findCircularBufferName(1), "Line1");
    EXPECT_EQ(manager()->getNumCircularBuffers(), 2);
}

TEST_F(LatencyQueuesTest, NamesAndQueueCountAreBounded)
{
    ASSERT_NE(manager(3, 4), nullptr);
    unsigned int id = 9;
    EXPECT_FALSE(manager()->addCircularBuffer("", id));
    EXPECT_FALSE(manager()->addCircularBuffer(std::string(512, 'x').c_str(), id));
    EXPECT_TRUE(manager()->addCircularBuffer(std::string(511, 'x').c_str(), id));
    EXPECT_TRUE(manager()->addCircularBuffer("second", id));
    // Q - 1 queues at most: the buffer pool keeps its last entry in reserve.
    EXPECT_FALSE(manager()->addCircularBuffer("third", id));
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(GetNumCircularBuffers(), 2);
}

TEST_F(LatencyQueuesTest, FullQueueKeepsItsUnreadSamples)
{
    ASSERT_NE(manager(2, 4), nullptr);
    unsigned int id = 9;
    ASSERT_TRUE(manager()->addCircularBuffer("Full", id));
    for (uint64_t n = 1; n <= 6; ++n)
        manager()->addElement(id, sample(n));
    std::unique_ptr<CircularBuffer> reader = manager()->findCircularBufferShmSafe(id);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->getDropped(), 3u);
    std::ostringstream out;
    reader->flush(out, -1);
    EXPECT_EQ(out.str(), line(1) + line(2) + line(3));
    EXPECT_EQ(mLog.count("circular buffer started to wrap."), 1);
}

TEST_F(LatencyQueuesTest, FlushLimitsAndFiles)
{
    const std::string prefix = mDir.path() + "/f_";
    ASSERT_NE(manager(), nullptr);
    // No queues: nothing to write, and success.
    EXPECT_TRUE(manager()->flushCircularBuffersToDisk(prefix, "lat", false, 0));
    unsigned int id = 9;
    ASSERT_TRUE(manager()->addCircularBuffer("Q", id));
    for (uint64_t n = 1; n <= 5; ++n)
        manager()->addElement(id, sample(n));
    struct Step
    {
        bool untilEmpty;
        int max;
        std::string adds;
    };
    const Step steps[] = {
        {false, 0, ""}, {false, -2, ""}, {false, 2, line(1) + line(2)}, {true, 1, line(3) + line(4) + line(5)},
    };
    std::string expected = "Q\n";
    for (const Step& step : steps)
    {
        ASSERT_TRUE(manager()->flushCircularBuffersToDisk(prefix, "lat", step.untilEmpty, step.max));
        expected += step.adds;
        EXPECT_EQ(readFile(prefix + "Q.lat"), expected) << step.max;
    }
    // A file that cannot be opened ends the flush with false.
    EXPECT_FALSE(manager()->flushCircularBuffersToDisk(mDir.path() + "/missing/dir/", "lat", true, 0));
    EXPECT_TRUE(mLog.sink().contains("FlushQueues: Error opening output file" + mDir.path() + "/missing/dir/Q.lat"));
}

TEST_F(LatencyQueuesTest, NamesThatWouldLeaveTheDirectoryAreNotFlushed)
{
    ASSERT_EQ(mkdir((mDir.path() + "/out").c_str(), 0700), 0);
    const std::string prefix = mDir.path() + "/out/";
    ASSERT_NE(manager(), nullptr);
    unsigned int id = 9;
    for (const char* name : {"../escape", ".."})
    {
        ASSERT_TRUE(manager()->addCircularBuffer(name, id));
        manager()->addElement(id, sample(1));
    }
    ASSERT_TRUE(manager()->addCircularBuffer("kept", id));
    manager()->addElement(id, sample(2));
    EXPECT_TRUE(manager()->flushCircularBuffersToDisk(prefix, "lat", true, 0));
    EXPECT_FALSE(exists(mDir.path() + "/escape.lat"));
    EXPECT_FALSE(exists(mDir.path() + "/out/...lat"));
    EXPECT_EQ(readFile(prefix + "kept.lat"), "kept\n" + line(2));
    EXPECT_EQ(mLog.count("has a name unfit for a file name; not flushed"), 2);
    FlushData data{manager(), 0, &mLog.log(), prefix, "lat"};
    EXPECT_EQ(flushBuffer(&data), nullptr);
    EXPECT_FALSE(exists(mDir.path() + "/escape.lat"));
}

TEST_F(LatencyQueuesTest, UnknownQueuesTakeNothing)
{
    ASSERT_NE(manager(), nullptr);
    EXPECT_TRUE(AddElement(mLog.log(), "none", 2, sample(1)));
    EXPECT_TRUE(AddElement(mLog.log(), "none", 1000, sample(1)));
    EXPECT_EQ(manager()->findCircularBuffer(2), nullptr);
    EXPECT_EQ(manager()->findCircularBufferName(2), nullptr);
    FlushData data{manager(), 2, &mLog.log(), mDir.path() + "/", "lat"};
    EXPECT_EQ(flushBuffer(&data), nullptr);
    EXPECT_FALSE(exists(mDir.path() + "/.lat"));
}

TEST_F(LatencyQueuesTest, FlushThreadWritesWhatAnotherProcessAppends)
{
    ASSERT_NE(manager(), nullptr);
    unsigned int id = 9;
    ASSERT_TRUE(manager()->addCircularBuffer("Live", id));
    std::atomic<bool> stop{false};
    FlushData data{manager(), static_cast<int>(id), &mLog.log(), mDir.path() + "/", "lat", &stop};
    std::thread flusher([&] { flushBuffer(&data); });
    int code = runInChild([&] {
        CircularBufferMng::destroyInstance();
        CircularBufferMng* writer = CircularBufferMng::getInstance(mName.c_str(), 4, 8, mLog.log());
        if (writer == nullptr)
            return 1;
        for (uint64_t n = 1; n <= 20; ++n)
        {
            // A full queue refuses; wait for the flusher to make room.
            std::unique_ptr<CircularBuffer> view = writer->findCircularBufferShmSafe(id);
            while (view->getNumUnread() == view->getMaxEntries() - 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            writer->addElement(id, sample(n));
        }
        return 0;
    });
    EXPECT_EQ(code, 0);
    std::string expected = "Live\n";
    for (uint64_t n = 1; n <= 20; ++n)
        expected += line(n);
    for (int waited = 0; waited < 2000 && readFile(mDir.path() + "/Live.lat") != expected; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    flusher.join();
    EXPECT_EQ(readFile(mDir.path() + "/Live.lat"), expected);
}

TEST_F(LatencyQueuesTest, SegmentsOfOtherSizesAreRefused)
{
    ASSERT_NE(manager(4, 8), nullptr);
    unsigned int id = 9;
    ASSERT_TRUE(manager()->addCircularBuffer("Sized", id));
    CircularBufferMng::destroyInstance();
    for (auto [queues, size] : {std::pair{5L, 8L}, {4L, 9L}, {2L, 16L}})
    {
        EXPECT_EQ(manager(queues, size), nullptr) << queues << " x " << size;
        EXPECT_EQ(GetNumCircularBuffers(), -1);
    }
    // The right sizes still attach and find the queue.
    ASSERT_NE(manager(4, 8), nullptr);
    EXPECT_STREQ(manager()->findCircularBufferName(0), "Sized");
}

TEST_F(LatencyQueuesTest, DumpListsTheUnreadSamplesWithoutConsumingThem)
{
    ASSERT_NE(manager(), nullptr);
    unsigned int id = 9;
    ASSERT_TRUE(manager()->addCircularBuffer("Dump", id));
    manager()->addElement(id, sample(10));
    manager()->addElement(id, sample(20));
    manager()->dumpCircularBuffer(id);
    EXPECT_EQ(mLog.count("Display:     Current contents (forward) of Dump:"), 1);
    EXPECT_EQ(mLog.count("Display:       10 ; "), 1);
    EXPECT_EQ(mLog.count("Display:       20 ; "), 1);
    EXPECT_EQ(manager()->findCircularBufferShmSafe(id)->getNumUnread(), 2);
}

TEST_F(LatencyQueuesTest, SemaphoreThatStaysTakenDoesNotBlockForEver)
{
    ASSERT_NE(manager(), nullptr);
    // Taken without undo, as by a process that hangs holding it.
    const int semaphore = semget(CircularBufferMng::keyOf(mName.c_str(), 0), 1, 0);
    ASSERT_GE(semaphore, 0);
    ASSERT_EQ(runInChild([semaphore] {
                  sembuf take{0, -1, 0};
                  return semop(semaphore, &take, 1);
              }),
              0);
    CircularBufferMng::setSemaphoreWait(200);
    unsigned int id = 9;
    EXPECT_FALSE(manager()->addCircularBuffer("Blocked", id));
    EXPECT_TRUE(mLog.sink().contains("CircularBufferMng: semaphore not taken"));
    // A process that dies holding it with undo gives it back.
    sembuf give{0, 1, 0};
    ASSERT_EQ(semop(semaphore, &give, 1), 0);
    ASSERT_EQ(runInChild([semaphore] {
                  sembuf take{0, -1, SEM_UNDO};
                  return semop(semaphore, &take, 1);
              }),
              0);
    EXPECT_TRUE(manager()->addCircularBuffer("Free", id));
    CircularBufferMng::setSemaphoreWait(CircularBufferMng::cSemaphoreWaitMs);
}

TEST(CircularBufferFactoryTest, QueueIdsOwnTheirSamplesAndMapsTheirSlots)
{
    CapturedLog log;
    Zunq::Utils::ArrayBackedPool<latency_info_t> samples;
    CircularBufferFactory factory(log.log(), samples, 1000);
    CircularBufferRecord* buffer = factory.createObject(nullptr, 3);
    EXPECT_EQ(buffer->mValues.mInitialPoolIndex, 3000);
    EXPECT_EQ(buffer->mValues.mMaxEntries, 1000);
    EXPECT_FALSE(buffer->mValues.mAtomicSet);
    EXPECT_EQ(buffer->mBufferID, 3);
    delete buffer;
    Zunq::Utils::ArrayBackedPool<CircularBufferRecord> buffers;
    CircularBufferMapFactory mapFactory(log.log(), buffers, 50);
    EXPECT_EQ(mapFactory.getObjectNeededSize(), 1064u);
}

} // namespace
