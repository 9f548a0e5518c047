// Records per second through the line filter to one counting subscriber,
// beside the bound: a bare loop over the same records that only checks and
// advances the sequence number and calls the same subscriber directly.
//
// Both loops are fed as a line handler feeds the filter: one record object,
// reused and hot, given its payload pointer and sequence number before each
// delivery (that producer step is inside both figures). The filter then
// publishes on the filtered channel; the bound calls the subscriber through
// its base. Streams: in order; 1 record in 100 arriving 10 places late and
// 1 in 1,000 sent twice; 10-message blocks, checked whole and message by
// message.
//
// Early records: the filter copies the record into its spool (the producer
// reuses its record, so a copy is the least it can keep); the bound parks
// only the number and the payload pointer in a fixed array indexed by the
// distance from the expected number, and refills one record of its own to
// deliver a parked one.
#include "kelmora/filter/LineFilter.h"
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
// A typical short feed message.
constexpr char cPayload[] = "0000001000 T AAPL 100 @ 187.32 X NASDAQ";
constexpr std::uint32_t cPayloadLen = sizeof cPayload - 1;

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

// The sequence numbers in the order they arrive.
const std::vector<std::uint32_t>& wire(bool disordered)
{
    static std::vector<std::uint32_t> wires[2];
    std::vector<std::uint32_t>& w = wires[disordered];
    if (!w.empty())
        return w;
    for (std::size_t i = 0; i < cRecords; ++i)
    {
        const auto seq = cFirst + static_cast<std::uint32_t>(i);
        if (!disordered)
        {
            w.push_back(seq);
            continue;
        }
        // Every 100th record goes 10 places later; every 1000th is sent twice.
        if (i % 100 == 50 && i + 10 < cRecords)
            continue;
        w.push_back(seq);
        if (i % 1000 == 7)
            w.push_back(seq);
        if (i >= 10 && (i - 10) % 100 == 50)
            w.push_back(seq - 10);
    }
    return w;
}

// The line handler's side: its one record, refilled for each message.
inline void produce(LineDataBasic& record, std::uint32_t seq)
{
    record.setData(cPayload, cPayloadLen);
    record.setSeqNum(seq);
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

void finish(benchmark::State& state, std::uint64_t delivered)
{
    if (delivered != cRecords * state.iterations())
        state.SkipWithError("records lost or repeated");
    state.counters["records_per_s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
    state.counters["ns_per_record"] = benchmark::Counter(static_cast<double>(delivered),
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void throughFilter(benchmark::State& state, bool disordered)
{
    const std::vector<std::uint32_t>& w = wire(disordered);
    Rig rig;
    LineDataBasic record;
    for (auto _ : state)
    {
        rig.mFilter.setNextSeqNum(cFirst, false);
        for (const std::uint32_t seq : w)
        {
            produce(record, seq);
            rig.deliver(record);
        }
    }
    finish(state, rig.mCounter.mCount);
}

void bareLoop(benchmark::State& state, bool disordered)
{
    const std::vector<std::uint32_t>& w = wire(disordered);
    Counter counter;
    Orlu<LineData> channel("filtered", "g");
    const std::string name("filter");
    struct Parked
    {
        std::uint32_t mSeq;
        const char* mData;
        std::uint32_t mLen;
    };
    std::array<Parked, 64> parked{};
    LineDataBasic record;
    LineDataBasic released;
    // Called through its base, as a channel calls it, so the call is not inlined away.
    OrluSubscriber<LineData>* subscriber = &counter;
    benchmark::DoNotOptimize(subscriber);
    for (auto _ : state)
    {
        std::uint32_t expected = cFirst;
        for (const std::uint32_t wireSeq : w)
        {
            produce(record, wireSeq);
            const std::uint32_t seq = record.getSeqNum();
            const auto distance = static_cast<std::int32_t>(seq - expected);
            if (distance > 0)
            {
                if (distance < 64)
                    parked[seq % 64] = {seq, record.getData(), record.getDataLen()};
                continue;
            }
            if (distance < 0)
                continue;
            subscriber->onData(channel, name, record);
            ++expected;
            for (Parked* p = &parked[expected % 64]; p->mData != nullptr && p->mSeq == expected;
                 p = &parked[expected % 64])
            {
                released.setData(p->mData, p->mLen);
                released.setSeqNum(p->mSeq);
                p->mData = nullptr;
                subscriber->onData(channel, name, released);
                ++expected;
            }
        }
    }
    finish(state, counter.mCount);
}

// A line handler's block record, reused: ten messages renumbered per block.
class Block : public LineData
{
public:
    Block()
    {
        for (auto& m : mMessages)
            mPointers.push_back(&m);
    }
    void fill(std::uint32_t first)
    {
        setData(cPayload, cPayloadLen);
        setSeqNum(first);
        for (auto& m : mMessages)
            produce(m, first++);
    }
    LineData* clone() const override { return nullptr; }
    bool isBlockData() const override { return true; }
    void getBlockData(std::deque<const LineData*>*& out) const override { out = &mPointers; }
    std::uint32_t getNextSeqNum() const override { return mMessages.back().getSeqNum() + 1; }

private:
    std::array<LineDataBasic, 10> mMessages;
    mutable std::deque<const LineData*> mPointers;
};

void blocks(benchmark::State& state, bool messageByMessage)
{
    Rig rig;
    rig.mFilter.setCheckEveryMessageInBlock(messageByMessage);
    Block block;
    for (auto _ : state)
    {
        rig.mFilter.setNextSeqNum(cFirst, false);
        for (std::uint32_t first = cFirst; first != cFirst + cRecords; first += 10)
        {
            block.fill(first);
            rig.deliver(block);
        }
    }
    finish(state, rig.mCounter.mCount);
}
} // namespace

BENCHMARK_CAPTURE(throughFilter, in_order, false);
BENCHMARK_CAPTURE(bareLoop, in_order, false);
BENCHMARK_CAPTURE(throughFilter, late_and_repeated, true);
BENCHMARK_CAPTURE(bareLoop, late_and_repeated, true);
BENCHMARK_CAPTURE(blocks, checked_whole, false);
BENCHMARK_CAPTURE(blocks, message_by_message, true);
BENCHMARK_MAIN();
