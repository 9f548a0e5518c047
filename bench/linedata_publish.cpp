// A line data record published on a host bus channel to 1 and 4 subscribers,
// beside the same subscribers called directly through their virtual onData:
// the channel's own cost per message is the difference.
#include "kelmora/linedata/LineData.h"
#include "zunq/bus/Orlu.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace
{

class BenchLineData : public LineData
{
public:
    LineData* clone() const override { return new BenchLineData(*this); }
};

class Consumer : public OrluSubscriber<LineData>
{
public:
    Consumer() : OrluSubscriber<LineData>("Consumer") {}
    void onData(const Orlu<LineData>&, const std::string&, const LineData& data) override
    {
        mLast = data.getSeqNum();
        benchmark::DoNotOptimize(mLast);
    }

private:
    std::uint32_t mLast = 0;
};

const char cPayload[64] = {};

void BM_PublishLineData(benchmark::State& state)
{
    Orlu<LineData> channel("LineData.bench", "");
    std::vector<Consumer> consumers(static_cast<std::size_t>(state.range(0)));
    for (Consumer& consumer : consumers)
        channel.subscribe(&consumer);
    OrluPublisher<LineData> publisher("LineHandlerMulticast");
    publisher.setDestination(&channel);
    BenchLineData record;
    record.setData(cPayload, sizeof(cPayload));
    std::uint32_t seqNum = 0;
    for (auto _ : state)
    {
        record.setSeqNum(++seqNum);
        publisher.publish(record);
        benchmark::ClobberMemory();
    }
    state.counters["subscribers"] = static_cast<double>(consumers.size());
    for (Consumer& consumer : consumers)
        channel.unsubscribe(&consumer);
}

// The same subscribers, each called through a base pointer as the channel does.
void BM_DirectVirtualCall(benchmark::State& state)
{
    Orlu<LineData> channel("LineData.bench", "");
    std::vector<Consumer> consumers(static_cast<std::size_t>(state.range(0)));
    std::vector<OrluSubscriber<LineData>*> targets;
    for (Consumer& consumer : consumers)
        targets.push_back(&consumer);
    const std::string name = "LineHandlerMulticast";
    BenchLineData record;
    record.setData(cPayload, sizeof(cPayload));
    std::uint32_t seqNum = 0;
    for (auto _ : state)
    {
        record.setSeqNum(++seqNum);
        for (OrluSubscriber<LineData>* target : targets)
            target->onData(channel, name, record);
        benchmark::ClobberMemory();
    }
    state.counters["subscribers"] = static_cast<double>(consumers.size());
}

} // namespace

BENCHMARK(BM_DirectVirtualCall)->Arg(1)->Arg(4);
BENCHMARK(BM_PublishLineData)->Arg(1)->Arg(4);

BENCHMARK_MAIN();
