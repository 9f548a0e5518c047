// One decoded feed message published by a plug-in's MsgZunqPublisher to one
// subscriber, beside the bound: the same message published straight on the
// bus with a plain OrluPublisher. The difference is the recovery rule (the
// sub-feed's state looked up and the key compared). Both loops do the same
// besides: one increment of the message's sequence number per message, and
// ours checks the answer as a caller would. Also the cost of a message the
// rule keeps back (at or below the recovery point).
//
// Run pinned to one core, bound and ours in alternating rounds, e.g.
//   for i in 1 2 3 4 5; do for f in BM_BarePublish 'BM_PublishMsgZunq/1$'; do
//     taskset -c 3 bench_msg_publish --benchmark_filter="$f"; done; done
// and compare the medians.
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

// `subFeeds` sub-feeds attached, messages on the last one; recovery point
// `point`. Message sequence numbers start at 2 and stay below 2^32.
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
        ++msg.mSeqNum;
        if (!publisher.publishMsgZunq(msg, subFeed)) [[unlikely]]
            state.SkipWithError("the rule could not be applied");
        benchmark::ClobberMemory();
    }
    state.counters["subfeeds"] = subFeeds;
    channel.unsubscribe(&consumer);
}

// A point of 0/0: everything goes out.
void BM_PublishMsgZunq(benchmark::State& state)
{
    runPublisher(state, 0);
}

// A restarted feed past its point: every message is compared with it.
void BM_PublishMsgZunqPastPoint(benchmark::State& state)
{
    runPublisher(state, 1);
}

// Every message at or below the point.
void BM_PublishMsgZunqSuppressed(benchmark::State& state)
{
    runPublisher(state, std::uint64_t{1} << 32);
}

} // namespace

BENCHMARK(BM_BarePublish);
BENCHMARK(BM_PublishMsgZunq)->Arg(1)->Arg(4);
BENCHMARK(BM_PublishMsgZunqPastPoint)->Arg(1);
BENCHMARK(BM_PublishMsgZunqSuppressed)->Arg(1);

BENCHMARK_MAIN();
