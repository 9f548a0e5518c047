// One decoded feed message published by a plug-in's MsgZunqPublisher to one
// subscriber, beside the bound: the same message published straight on the
// bus with a plain OrluPublisher. The difference is the recovery rule (the
// sub-feed's state looked up and the key compared). Also the cost of a
// message the rule keeps back (at or below the recovery point).
#include "kelmora/bus/MsgZunqPublisher.h"
#include "zunq/bus/Orlu.h"
#include "zunq/log/Log.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace
{

class Consumer : public OrluSubscriber<MsgZunq>
{
public:
    Consumer() : OrluSubscriber<MsgZunq>("Consumer") {}
    void onData(const Orlu<MsgZunq>&, const std::string&, const MsgZunq& msg) override
    {
        mLast = msg.mSeqNum;
        benchmark::DoNotOptimize(mLast);
    }

private:
    std::uint32_t mLast = 0;
};

const char cPayload[64] = {};

MsgZunq makeMessage()
{
    MsgZunq msg;
    msg.mMsg = cPayload;
    msg.mMsgLen = sizeof cPayload;
    msg.mSourceChannelId = 1;
    return msg;
}

void BM_BarePublish(benchmark::State& state)
{
    Orlu<MsgZunq> channel("MsgZunq", "");
    Consumer consumer;
    channel.subscribe(&consumer);
    OrluPublisher<MsgZunq> publisher("MsgZunqPublisher");
    publisher.setDestination(&channel);
    MsgZunq msg = makeMessage();
    for (auto _ : state)
    {
        ++msg.mSeqNum;
        publisher.publish(msg);
        benchmark::ClobberMemory();
    }
    channel.unsubscribe(&consumer);
}

// `subFeeds` sub-feeds attached, messages on the last one; recovery point `point`.
void runPublisher(benchmark::State& state, std::uint64_t point)
{
    Log log;
    Orlu<MsgZunq> channel("MsgZunq", "");
    Consumer consumer;
    channel.subscribe(&consumer);
    MsgZunqPublisher publisher(log, true);
    publisher.setDestination(&channel);
    const auto subFeeds = static_cast<std::uint16_t>(state.range(0));
    std::vector<Zunq::Utils::SeqNumStorageItem> records(subFeeds);
    for (std::uint16_t id = 0; id < subFeeds; ++id)
    {
        records[id].mSeqNum = point;
        publisher.addSubFeedSeqNum(id, &records[id]);
    }
    const std::uint16_t subFeed = static_cast<std::uint16_t>(subFeeds - 1);
    MsgZunq msg = makeMessage();
    msg.mSeqNum = 1;
    for (auto _ : state)
    {
        // Stays below the point in the suppressed case.
        if (++msg.mSeqNum > 1000000) [[unlikely]]
            msg.mSeqNum = 1;
        benchmark::DoNotOptimize(publisher.publishMsgZunq(msg, subFeed));
        benchmark::ClobberMemory();
    }
    state.counters["subfeeds"] = subFeeds;
    channel.unsubscribe(&consumer);
}

void BM_PublishMsgZunq(benchmark::State& state)
{
    runPublisher(state, 0);
}

void BM_PublishMsgZunqSuppressed(benchmark::State& state)
{
    runPublisher(state, 2000000);
}

} // namespace

BENCHMARK(BM_BarePublish);
BENCHMARK(BM_PublishMsgZunq)->Arg(1)->Arg(4);
BENCHMARK(BM_PublishMsgZunqSuppressed)->Arg(1);

BENCHMARK_MAIN();
