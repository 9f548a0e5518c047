// Records per second through the line filter to one counting subscriber,
// beside the bound: a bare loop over the same records that only checks and
// advances the sequence number and calls the same subscriber (parking early
// records by pointer in a fixed array indexed by their distance from the
// expected number). Streams: in order; 1 record in 100 arriving 10 places
// late and 1 in 1,000 duplicated; 10-message blocks, checked whole and
// message by message.
#include "kelmora/filter/LineFilter.h"
// The record of several messages the filter tests use.
#include "kelmora/tests/linefilter/LineFilterTestSupport.h"
#include "kelmora/linedata/LineDataBasic.h"
#include "kelmora/linedata/LineDataFactoryBasic.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <array>
#include <deque>
#include <memory>
#include <vector>

namespace
{
constexpr std::uint32_t cFirst = 1000;
constexpr std::size_t cRecords = 100000;

struct Counter : public OrluSubscriber<LineData>
{
    Counter() : OrluSubscriber<LineData>("counter") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        ++mCount;
        benchmark::DoNotOptimize(d.getSeqNum());
    }
    std::uint64_t mCount = 0;
};

struct Stream
{
    std::vector<std::unique_ptr<LineDataBasic>> mRecords;
    std::vector<const LineData*> mWire;
};

Stream& stream(bool disordered)
{
    static Stream streams[2];
    Stream& s = streams[disordered];
    if (!s.mRecords.empty())
        return s;
    for (std::size_t i = 0; i < cRecords; ++i)
    {
        auto r = std::make_unique<LineDataBasic>();
        r->setSeqNum(cFirst + static_cast<std::uint32_t>(i));
        s.mWire.push_back(r.get());
        s.mRecords.push_back(std::move(r));
    }
    if (disordered)
    {
        std::vector<const LineData*> wire;
        for (std::size_t i = 0; i < cRecords; ++i)
        {
            // Every 100th record goes 10 places later; every 1000th is sent twice.
            if (i % 100 == 50 && i + 10 < cRecords)
                continue;
            wire.push_back(s.mWire[i]);
            if (i % 1000 == 7)
                wire.push_back(s.mWire[i]);
            if (i >= 10 && (i - 10) % 100 == 50)
                wire.push_back(s.mWire[i - 10]);
        }
        s.mWire.swap(wire);
    }
    return s;
}

struct Rig
{
    Rig()
        : mFactory("records", mLog), mFilter("filter", mSession, mLog, &mFactory, false), mRaw("raw", "g"),
          mFiltered("filtered", "g"), mSource("source")
    {
        mFactory.setObjPoolSize(256);
        mFilter.setGapLimitSize(10000);
        mFilter.setRetransActive(true);
        mRaw.subscribe(&mFilter);
        static_cast<OrluPublisher<LineData>&>(mFilter).setDestination(&mFiltered);
        mFiltered.subscribe(&mCounter);
        mSource.setDestination(&mRaw);
    }
    // As the raw channel's delivery does, minus the bus walk the bound lacks too.
    void deliver(const LineData& r) { mFilter.onData(mRaw, mSourceName, r); }

    Log mLog;
    const std::string mSourceName{"source"};
    TarvokSession mSession;
    LineDataFactoryBasic mFactory;
    LineFilter mFilter;
    Orlu<LineData> mRaw;
    Orlu<LineData> mFiltered;
    Counter mCounter;
    OrluPublisher<LineData> mSource;
};

void throughFilter(benchmark::State& state, bool disordered)
{
    Stream& s = stream(disordered);
    Rig rig;
    for (auto _ : state)
    {
        rig.mFilter.setNextSeqNum(cFirst, false);
        for (const LineData* r : s.mWire)
            rig.deliver(*r);
    }
    if (rig.mCounter.mCount != cRecords * state.iterations())
        state.SkipWithError("records lost or repeated");
    state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(rig.mCounter.mCount), benchmark::Counter::kIsRate);
}

void bareLoop(benchmark::State& state, bool disordered)
{
    Stream& s = stream(disordered);
    Counter counter;
    Orlu<LineData> channel("filtered", "g");
    const std::string name("filter");
    std::array<const LineData*, 64> parked{};
    // Called through its base, as a channel calls it, so the call is not inlined away.
    OrluSubscriber<LineData>* subscriber = &counter;
    benchmark::DoNotOptimize(subscriber);
    for (auto _ : state)
    {
        std::uint32_t expected = cFirst;
        for (const LineData* r : s.mWire)
        {
            const std::uint32_t seq = r->getSeqNum();
            const auto distance = static_cast<std::int32_t>(seq - expected);
            if (distance > 0)
            {
                if (distance < 64)
                    parked[seq % 64] = r;
                continue;
            }
            if (distance < 0)
                continue;
            subscriber->onData(channel, name, *r);
            ++expected;
            while (const LineData* p = parked[expected % 64])
            {
                if (p->getSeqNum() != expected)
                    break;
                parked[expected % 64] = nullptr;
                subscriber->onData(channel, name, *p);
                ++expected;
            }
        }
    }
    if (counter.mCount != cRecords * state.iterations())
        state.SkipWithError("records lost or repeated");
    state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(counter.mCount), benchmark::Counter::kIsRate);
}

void blocks(benchmark::State& state, bool messageByMessage)
{
    std::vector<std::unique_ptr<TestBlock>> blocks;
    for (std::size_t i = 0; i < cRecords / 10; ++i)
        {
        const auto first = cFirst + static_cast<std::uint32_t>(i * 10);
        std::vector<std::uint32_t> seqs;
        for (std::uint32_t k = 0; k < 10; ++k)
            seqs.push_back(first + k);
        blocks.push_back(std::make_unique<TestBlock>(seqs));
    }
    Rig rig;
    rig.mFilter.setCheckEveryMessageInBlock(messageByMessage);
    for (auto _ : state)
    {
        rig.mFilter.setNextSeqNum(cFirst, false);
        for (const auto& b : blocks)
            rig.deliver(*b);
    }
    if (rig.mCounter.mCount != cRecords * state.iterations())
        state.SkipWithError("records lost or repeated");
    state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(rig.mCounter.mCount), benchmark::Counter::kIsRate);
}
} // namespace

BENCHMARK_CAPTURE(throughFilter, in_order, false);
BENCHMARK_CAPTURE(bareLoop, in_order, false);
BENCHMARK_CAPTURE(throughFilter, late_and_repeated, true);
BENCHMARK_CAPTURE(bareLoop, late_and_repeated, true);
BENCHMARK_CAPTURE(blocks, checked_whole, false);
BENCHMARK_CAPTURE(blocks, message_by_message, true);
BENCHMARK_MAIN();
