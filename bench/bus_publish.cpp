// Cost of one bus publish: the channel's counter and one virtual call per
// subscriber, on the publisher's thread, for 0, 1, 4 and 8 subscribers.
#include "zunq/bus/Orlu.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace
{

// About the size of a line data record's header.
struct Sample
{
    std::uint64_t seqNum;
    std::uint64_t receiveTime;
    std::uint32_t length;
    char payload[44];
};

class Consumer : public OrluSubscriber<Sample>
{
public:
    Consumer() : OrluSubscriber<Sample>("Consumer") {}
    void onData(const Orlu<Sample>&, const std::string&, const Sample& sample) override
    {
        mLast = sample.seqNum;
        benchmark::DoNotOptimize(mLast);
    }

private:
    std::uint64_t mLast = 0;
};

void BM_Publish(benchmark::State& state)
{
    Orlu<Sample> channel("LineData.bench", "");
    std::vector<Consumer> consumers(static_cast<std::size_t>(state.range(0)));
    for (Consumer& consumer : consumers)
        channel.subscribe(&consumer);
    OrluPublisher<Sample> publisher("LineHandlerMulticast");
    publisher.setDestination(&channel);
    Sample sample{};
    for (auto _ : state)
    {
        ++sample.seqNum;
        publisher.publish(sample);
        benchmark::ClobberMemory();
    }
    state.counters["subscribers"] = static_cast<double>(consumers.size());
    for (Consumer& consumer : consumers)
        channel.unsubscribe(&consumer);
}

} // namespace

BENCHMARK(BM_Publish)->Arg(0)->Arg(1)->Arg(4)->Arg(8);

BENCHMARK_MAIN();
