#include "LineFilterTestSupport.h"

#include <gtest/gtest.h>

namespace
{
struct Counter : public OrluSubscriber<LineData>
{
    Counter() : OrluSubscriber<LineData>("counter") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData&) override { ++mCount; }
    std::uint64_t mCount = 0;
};

// Runs `rounds` rounds of 10 records from `seq`: in order, or with the
// second record of each round arriving last, so that 8 records are spooled
// and released per round.
std::uint32_t play(FilterBench& bench, std::uint32_t seq, int rounds, bool spooled)
{
    static const char payload[] = "0123456789abcdef";
    LineDataBasic& r = bench.mRecord;
    r.clear();
    r.setData(payload, sizeof payload - 1);
    for (int round = 0; round < rounds; ++round, seq += 10)
        for (std::uint32_t i = 0; i < 10; ++i)
        {
            std::uint32_t n = seq + i;
            if (spooled)
                n = i == 0 ? seq : i == 9 ? seq + 1 : seq + i + 1;
            r.setSeqNum(n);
            bench.send(r);
        }
    return seq;
}

TEST(LineFilterAllocation, NothingIsAllocatedPerRecordOnceThePoolsAreWarm)
{
    FilterBench bench;
    bench.quiet();
    Counter counter;
    bench.mFiltered.unsubscribe(&bench.mCapture);
    bench.mRequests.unsubscribe(&bench.mCapture);
    bench.mFiltered.subscribe(&counter);
    bench.mFilter.setRetransActive(true);
    bench.mFilter.setNextSeqNum(1, false);
    std::uint32_t seq = play(bench, 1, 100, true);

    for (bool spooled : {false, true})
    {
        const std::uint64_t before = allocationCount();
        const std::uint64_t delivered = counter.mCount;
        seq = play(bench, seq, 1000, spooled);
        EXPECT_EQ(allocationCount() - before, 0u) << (spooled ? "spooled" : "in order");
        EXPECT_EQ(counter.mCount - delivered, 10000u);
        EXPECT_EQ(bench.mFilter.getSpoolSize(), 0u);
    }
}
// Copies released from the spool wait for the next early record, a few of
// them only; the rest, and those at the end, go back to the factory.
TEST(LineFilterAllocation, ReleasedCopiesAreKeptFewAndReturnedAtTheEnd)
{
    FilterBench bench;
    bench.quiet();
    LineDataFactoryBasic factory("copies", bench.mLog);
    factory.setObjPoolSize(16);
    {
        LineFilter filter("second", bench.mSession, bench.mLog, &factory, false);
        static_cast<OrluPublisher<LineData>&>(filter).setDestination(&bench.mFiltered);
        filter.setGapLimitSize(10000);
        filter.setNextSeqNum(1, false);
        LineDataBasic& r = bench.mRecord;
        for (std::uint32_t seq = 2; seq <= 201; ++seq)
        {
            r.setSeqNum(seq);
            filter.onData(bench.mRaw, "A", r);
        }
        EXPECT_EQ(filter.getSpoolSize(), 200u);
        EXPECT_EQ(factory.getNumUsed(), 200);
        r.setSeqNum(1);
        filter.onData(bench.mRaw, "A", r);
        EXPECT_EQ(filter.getNextSeqNum(), 202u);
        EXPECT_EQ(factory.getNumUsed(), 64);
    }
    EXPECT_EQ(factory.getNumUsed(), 0);
}
TEST(LineFilterAllocation, FactoryWithNothingToGiveCostsTheCopyOnly)
{
    struct Empty : LineDataFactory
    {
        LineData* create() override { return nullptr; }
        void destroy(LineData*) override {}
    } empty;
    FilterBench bench;
    LineFilter filter("second", bench.mSession, bench.mLog, &empty, false);
    static_cast<OrluPublisher<LineData>&>(filter).setDestination(&bench.mFiltered);
    filter.setNextSeqNum(1, false);
    bench.mCapture.take();
    LineDataBasic& r = bench.mRecord;
    for (const std::uint32_t seq : {3u, 1u, 2u})
    {
        r.setSeqNum(seq);
        filter.onData(bench.mRaw, "A", r);
    }
    EXPECT_EQ(bench.mSink.count("second: no record to spool into, record 3 not kept"), 1);
    EXPECT_EQ(bench.mCapture.take(), "1 2");
    EXPECT_EQ(filter.getSpoolSize(), 0u);
    EXPECT_EQ(filter.getNextSeqNum(), 3u);
}
} // namespace
