#include "FendralCore/runtime/MessageQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <poll.h>
#include <thread>
#include <vector>

namespace
{

FwIntMessage dataMessage(uint32 seq, uint32 dataLen, char fill)
{
    FwIntMessage msg;
    std::memset(&msg, 0, FwIntMessage::DATA_HEADER_SIZE);
    msg.msgSeqNum = seq;
    msg.appMsg.type = MSG_DATA;
    msg.appMsg.data.dataLen = dataLen;
    std::memset(msg.appMsg.data.buffer, fill, dataLen < Data_t::MAX_DATA_LEN ? dataLen : Data_t::MAX_DATA_LEN);
    return msg;
}

struct Mode
{
    const char* name;
    bool multiWriter;
    OptimizationMode opt;
};

const Mode MODES[] = {
    {"single writer, polled", false, LOW_LATENCY},
    {"single writer, woken", false, CPU_UTILIZATION},
    {"several writers, lock-free", true, LOW_LATENCY},
    {"several writers, locked", true, CPU_UTILIZATION},
};

TEST(MessageQueue, HoldsExactlyItsEntries)
{
    for (const Mode& m : MODES)
    {
        MessageQueue<FwIntMessage> q(8, false, m.multiWriter, m.opt, false, 100);
        const FwIntMessage msg = dataMessage(1, 10, 'a');
        for (int i = 0; i < 8; ++i)
            ASSERT_EQ(q.putMessage(&msg), 0) << m.name;
        EXPECT_EQ(q.putMessage(&msg), -1) << m.name;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL) << m.name;
        EXPECT_EQ(q.getNumElem(), 8u);
        EXPECT_EQ(q.getNumFreeEntry(), 0u);
        EXPECT_EQ(q.getMaxUsage(), 8);

        FwIntMessage out;
        bool more = false;
        for (int i = 0; i < 8; ++i)
            ASSERT_EQ(q.getMessage(&out, more), 0) << m.name;
        EXPECT_EQ(q.getMessage(&out, more), -1) << m.name;
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY) << m.name;
        EXPECT_FALSE(more);
    }
}

// The room check before each put answers from the writers' lagging view of
// the reader when it can: it must still give exactly the real answer, both
// while that view is stale after the reader has drained entries and right
// at the reserve's edge.
TEST(MessageQueue, RoomCheckMatchesTheRealFreeCount)
{
    constexpr uint32 CAPACITY = 40;
    constexpr uint32 RESERVE = 11;
    for (const Mode& m : MODES)
    {
        MessageQueue<FwIntMessage> q(CAPACITY, false, m.multiWriter, m.opt, false, 100);
        const FwIntMessage msg = dataMessage(1, 10, 'a');
        FwIntMessage out;
        bool more = false;
        auto check = [&](const char* step) {
            for (uint32 n : {0u, RESERVE, CAPACITY - 1, CAPACITY})
                ASSERT_EQ(q.hasFreeEntriesAbove(n), q.getNumFreeEntry() > n)
                    << m.name << ", " << step << ", n " << n << ", free " << q.getNumFreeEntry();
        };
        // Rounds of puts and reads that walk the fill up and down across
        // the reserve and both ends, several laps round the ring.
        const int puts[] = {30, 0, 10, 1, 0, 12, 25, 3, 0, 40};
        const int gets[] = {0, 20, 0, 8, 13, 0, 31, 0, 29, 40};
        for (int round = 0; round < 4; ++round)
            for (size_t i = 0; i < std::size(puts); ++i)
            {
                for (int p = 0; p < puts[i]; ++p)
                {
                    if (q.getNumFreeEntry() > 0)
                    {
                        ASSERT_EQ(q.putMessage(&msg), 0) << m.name;
                    }
                    check("after a put");
                }
                for (int g = 0; g < gets[i]; ++g)
                {
                    if (q.getNumElem() > 0)
                    {
                        ASSERT_EQ(q.getMessage(&out, more), 0) << m.name;
                    }
                    check("after a read");
                }
            }
    }
}

TEST(MessageQueue, CopiesOnlyTheUsedPart)
{
    MessageQueue<FwIntMessage> q(4, false, true, LOW_LATENCY, false, 100);
    FwIntMessage event;
    std::memset(&event, 0x11, sizeof(event));
    event.appMsg.type = MSG_EVENT;
    event.appMsg.event.id = TERM;
    ASSERT_EQ(q.putMessage(&event), 0);

    FwIntMessage out;
    std::memset(&out, 0x7f, sizeof(out));
    bool more = false;
    ASSERT_EQ(q.getMessage(&out, more), 0);
    EXPECT_EQ(out.appMsg.event.id, TERM);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
    for (size_t i = FwIntMessage::EVENT_COPY_SIZE; i < sizeof(out); ++i)
        ASSERT_EQ(bytes[i], 0x7f) << "byte " << i << " after the event was overwritten";

    // Short data stops after its valid bytes; a full payload is copied whole.
    const FwIntMessage shortData = dataMessage(2, 100, 's');
    ASSERT_EQ(q.putMessage(&shortData), 0);
    std::memset(&out, 0x7f, sizeof(out));
    ASSERT_EQ(q.getMessage(&out, more), 0);
    EXPECT_EQ(std::memcmp(out.appMsg.data.buffer, shortData.appMsg.data.buffer, 100), 0);
    EXPECT_EQ(static_cast<unsigned char>(out.appMsg.data.buffer[100]), 0x7f);

    const FwIntMessage fullData = dataMessage(3, Data_t::MAX_DATA_LEN, 'f');
    ASSERT_EQ(q.putMessage(&fullData), 0);
    ASSERT_EQ(q.getMessage(&out, more), 0);
    EXPECT_EQ(std::memcmp(&out, &fullData, sizeof(out)), 0);
}

TEST(MessageQueue, WokenReaderTakesThePostedBatch)
{
    MessageQueue<FwIntMessage> q(16, false, true, CPU_UTILIZATION, false, 100);
    for (uint32 i = 0; i < 3; ++i)
    {
        const FwIntMessage msg = dataMessage(i, 4, 'x');
        ASSERT_EQ(q.putMessage(&msg), 0);
    }
    pollfd pfd{q.getFileDescriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 1000), 1);

    FwIntMessage out;
    bool more = false;
    const bool expectedMore[] = {true, true, false};
    for (uint32 i = 0; i < 3; ++i)
    {
        ASSERT_EQ(q.getMessage(&out, more), 0);
        EXPECT_EQ(out.msgSeqNum, i);
        EXPECT_EQ(more, expectedMore[i]);
    }
    // The batch is over: the next call reads the eventfd again and finds nothing.
    EXPECT_EQ(q.getMessage(&out, more), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
    EXPECT_EQ(::poll(&pfd, 1, 0), 0);
}

TEST(MessageQueue, PolledReaderBatchIsCapped)
{
    MessageQueue<FwIntMessage> q(300, false, true, LOW_LATENCY, false, 100);
    for (uint32 i = 0; i < 250; ++i)
    {
        const FwIntMessage msg = dataMessage(i, 1, 'x');
        ASSERT_EQ(q.putMessage(&msg), 0);
    }
    FwIntMessage out;
    bool more = true;
    int batch = 0;
    while (more)
    {
        ASSERT_EQ(q.getMessage(&out, more), 0);
        ++batch;
    }
    EXPECT_EQ(batch, 100);
    EXPECT_EQ(q.getNumElem(), 150u);

    // The next batches: the cap again, then the rest, ending with the last
    // stored message; after it the queue reports empty.
    for (const int expected : {100, 50})
    {
        batch = 0;
        more = true;
        while (more)
        {
            ASSERT_EQ(q.getMessage(&out, more), 0);
            ++batch;
        }
        EXPECT_EQ(batch, expected);
    }
    EXPECT_EQ(out.msgSeqNum, 249u);
    EXPECT_EQ(q.getMessage(&out, more), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
    EXPECT_FALSE(more);

    // A message put while a batch is being read joins it.
    for (uint32 i = 0; i < 2; ++i)
    {
        const FwIntMessage msg = dataMessage(300 + i, 1, 'y');
        ASSERT_EQ(q.putMessage(&msg), 0);
    }
    ASSERT_EQ(q.getMessage(&out, more), 0);
    EXPECT_TRUE(more);
    const FwIntMessage late = dataMessage(302, 1, 'z');
    ASSERT_EQ(q.putMessage(&late), 0);
    for (const uint32 seq : {301u, 302u})
    {
        ASSERT_TRUE(more);
        ASSERT_EQ(q.getMessage(&out, more), 0);
        EXPECT_EQ(out.msgSeqNum, seq);
    }
    EXPECT_FALSE(more);
}

// A record whose copy can be held up, to stand for a writer descheduled
// between reserving its slot and committing it.
struct SlowRecord
{
    uint32 value;
    static inline std::atomic<uint32> holdValue{0};
    static inline std::atomic<bool> holding{false};
    static inline std::atomic<bool> release{false};

    size_t usedSize() const
    {
        if (value != 0 && value == holdValue.load())
        {
            holdValue.store(0);
            holding.store(true);
            while (!release.load())
                std::this_thread::yield();
        }
        return sizeof(SlowRecord);
    }
};

TEST(RingBuffer, LaterSlotsBecomeVisibleOnlyInReservationOrder)
{
    RingBuffer<SlowRecord> ring(16, false, true, LOW_LATENCY);
    SlowRecord::release = false;
    SlowRecord::holding = false;
    SlowRecord::holdValue = 5;

    std::thread slow([&] { EXPECT_EQ(ring.enqueue(SlowRecord{5}), 0); });
    while (!SlowRecord::holding.load())
        std::this_thread::yield();
    std::thread fast([&] { EXPECT_EQ(ring.enqueue(SlowRecord{6}), 0); });

    // The second writer has finished its copy but may not commit yet.
    SlowRecord out{};
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(ring.dequeue(out, 1, 0), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);

    // Emptying the ring now must not expose the reserved slot either.
    ASSERT_EQ(ring.reset(), 0);
    ASSERT_EQ(ring.dequeue(out, 1, 0), -1);

    SlowRecord::release = true;
    slow.join();
    fast.join();
    ASSERT_EQ(ring.dequeue(out, 1, 0), 0);
    EXPECT_EQ(out.value, 5u);
    ASSERT_EQ(ring.dequeue(out, 1, 0), 0);
    EXPECT_EQ(out.value, 6u);
}

// Several writers into a small queue: every message arrives exactly once and
// in each writer's order, with the queue full at times.
void stress(OptimizationMode opt, bool multiWriter, int writers)
{
    constexpr uint32 PER_WRITER = 40000;
    MessageQueue<FwIntMessage> q(64, false, multiWriter, opt, false, 32);
    std::atomic<uint64> fullCount{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            FwIntMessage msg = dataMessage(0, 16, 'w');
            msg.appMsg.data.peerAppInstId = w;
            for (uint32 i = 0; i < PER_WRITER; ++i)
            {
                msg.msgSeqNum = i;
                std::memcpy(msg.appMsg.data.buffer, &i, sizeof(i));
                while (q.putMessage(&msg) != 0)
                {
                    ASSERT_TRUE(FrameworkErrno::m_fwErrno == BUFFER_FULL) << FrameworkErrno::m_fwErrno;
                    fullCount.fetch_add(1, std::memory_order_relaxed);
                    std::this_thread::yield();
                }
            }
        });

    // Let the writers fill the queue before reading starts.
    for (int i = 0; i < 5000 && fullCount.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<uint32> nextSeq(writers, 0);
    uint64 received = 0;
    FwIntMessage out;
    pollfd pfd{q.getFileDescriptor(), POLLIN, 0};
    while (received < uint64(PER_WRITER) * writers)
    {
        if (opt == CPU_UTILIZATION)
        {
            ASSERT_GE(::poll(&pfd, 1, 5000), 1) << "no wake-up with " << received << " received";
        }
        bool more = true;
        while (more)
        {
            if (q.getMessage(&out, more) != 0)
                break;
            const int w = out.appMsg.data.peerAppInstId;
            ASSERT_TRUE(w >= 0 && w < writers);
            uint32 payload = 0;
            std::memcpy(&payload, out.appMsg.data.buffer, sizeof(payload));
            ASSERT_EQ(out.msgSeqNum, nextSeq[w]) << "writer " << w;
            ASSERT_EQ(payload, nextSeq[w]);
            ++nextSeq[w];
            ++received;
        }
    }
    for (auto& t : threads)
        t.join();
    bool more = false;
    EXPECT_EQ(q.getMessage(&out, more), -1);
    EXPECT_GT(fullCount.load(), 0u) << "the queue never filled up";
}

TEST(MessageQueueStress, SeveralWritersLockFree) { stress(LOW_LATENCY, true, 4); }
TEST(MessageQueueStress, SeveralWritersLocked) { stress(CPU_UTILIZATION, true, 4); }
TEST(MessageQueueStress, SingleWriterPolled) { stress(LOW_LATENCY, false, 1); }
TEST(MessageQueueStress, SingleWriterWoken) { stress(CPU_UTILIZATION, false, 1); }

TEST(MessageQueue, ResetDropsWhatWasQueued)
{
    MessageQueue<FwIntMessage> q(8, false, true, CPU_UTILIZATION, false, 100);
    const FwIntMessage msg = dataMessage(9, 1, 'r');
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(q.putMessage(&msg), 0);
    ASSERT_EQ(q.reset(), 0);
    EXPECT_EQ(q.getNumElem(), 0u);
    pollfd pfd{q.getFileDescriptor(), POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 0), 0) << "wake-ups of dropped messages remain";
    ASSERT_EQ(q.putMessage(&msg), 0);
    FwIntMessage out;
    bool more = true;
    ASSERT_EQ(q.getMessage(&out, more), 0);
    EXPECT_FALSE(more);
}

} // namespace

namespace
{

// Several writers and several readers on one ring (the statistics ring's
// use): every record is taken exactly once.
void manyToMany(OptimizationMode opt)
{
    constexpr uint32 PER_WRITER = 10000;
    constexpr int WRITERS = 3;
    constexpr int READERS = 2;
    RingBuffer<uint64> ring(32, true, opt);
    std::atomic<uint64> taken{0};
    std::vector<std::vector<uint64>> seen(READERS);
    std::vector<std::thread> threads;
    for (int w = 0; w < WRITERS; ++w)
        threads.emplace_back([&, w] {
            for (uint64 i = 0; i < PER_WRITER; ++i)
                while (ring.enqueue((uint64(w) << 32) | i) != 0)
                    std::this_thread::yield();
        });
    for (int r = 0; r < READERS; ++r)
        threads.emplace_back([&, r] {
            uint64 value = 0;
            while (taken.load() < uint64(WRITERS) * PER_WRITER)
            {
                if (ring.multiRwDequeue(value, 1, 0) == 0)
                {
                    seen[r].push_back(value);
                    taken.fetch_add(1);
                }
            }
        });
    for (auto& t : threads)
        t.join();
    std::vector<uint64> all;
    for (const auto& s : seen)
        all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), uint64(WRITERS) * PER_WRITER);
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(all[i], (uint64(i / PER_WRITER) << 32) | (i % PER_WRITER)) << "lost or duplicated record";
    // Each reader sees each writer's records in order.
    for (const auto& s : seen)
    {
        std::vector<int64> last(WRITERS, -1);
        for (uint64 v : s)
        {
            const auto w = static_cast<int>(v >> 32);
            ASSERT_GT(static_cast<int64>(v & 0xffffffff), last[w]);
            last[w] = static_cast<int64>(v & 0xffffffff);
        }
    }
}

TEST(RingBufferStress, ManyWritersManyReadersLockFree) { manyToMany(LOW_LATENCY); }
TEST(RingBufferStress, ManyWritersManyReadersLocked) { manyToMany(CPU_UTILIZATION); }

} // namespace
