#include "FendralCore/dispatch/SingleRwRingBuffer2.h"
#include "FendralCore/dispatch/StreamEventRecord.h"
#include "FendralCore/foundation/FrameworkErrno.h"

#include <gtest/gtest.h>

#include <thread>

TEST(SingleRwRingBuffer2, HoldsItsCapacityAcrossManyLaps)
{
    SingleRwRingBuffer2<StreamEventRecord> ring(3); // four slots, three records
    StreamEventRecord r{};
    for (int32 lap = 0; lap < 10; ++lap)
    {
        for (int32 i = 0; i < 3; ++i)
        {
            r.effectiveHdIdx = lap * 3 + i;
            ASSERT_EQ(ring.enqueue(r), 0);
        }
        EXPECT_EQ(ring.enqueue(r), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_FULL);
        EXPECT_EQ(ring.getNumEntries(), 3);
        for (int32 i = 0; i < 3; ++i)
        {
            ASSERT_EQ(ring.dequeue(r), 0);
            EXPECT_EQ(r.effectiveHdIdx, lap * 3 + i);
        }
        EXPECT_EQ(ring.dequeue(r), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, BUFFER_EMPTY);
    }
}

TEST(SingleRwRingBuffer2, ImpossibleCapacityHoldsNothing)
{
    for (int32 capacity : {0, -1, (1 << 30) + 1})
    {
        SingleRwRingBuffer2<StreamEventRecord> ring(capacity);
        EXPECT_EQ(ring.enqueue(StreamEventRecord{}), -1) << capacity;
        EXPECT_EQ(ring.getNumEntries(), 0);
    }
}

// One writer and one reader thread: every record arrives once, in order, whole.
TEST(SingleRwRingBuffer2, WriterAndReaderThreadsSeeEveryRecordInOrder)
{
    constexpr int32 COUNT = 200000;
    SingleRwRingBuffer2<StreamEventRecord> ring(64);
    std::thread writer([&] {
        StreamEventRecord r{};
        for (int32 i = 0; i < COUNT;)
        {
            r.effectiveHdIdx = i;
            r.wireOrdInfo.dataSize = -i;
            if (ring.enqueue(r) == 0)
                ++i;
            else
                std::this_thread::yield();
        }
    });
    StreamEventRecord r{};
    for (int32 expected = 0; expected < COUNT;)
    {
        if (ring.dequeue(r) != 0)
        {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(r.effectiveHdIdx, expected);
        ASSERT_EQ(r.wireOrdInfo.dataSize, -expected);
        ++expected;
    }
    writer.join();
}
