// The topic ring of the messaging service: a publisher's history keeps
// every datagram it sent (1396-byte records), giving up the oldest when
// full, and resends read it back with peek. Measured: one enqueue into a
// full history (discard the oldest, copy in), and one peek at an offset
// from the newest, for a 64-byte and a full 1200-byte datagram.
#include "FendralCore/messaging/TopicMessage.h"
#include "FendralCore/runtime/RingBuffer.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace
{
constexpr uint32 HISTORY = 1000; // the registration's default history

TopicMessage datagram(uint32 dataLen)
{
    TopicMessage m;
    std::memset(&m, 0, sizeof m);
    m.dataMsg.hdr.cmdType = TOPIC_MSG;
    m.dataMsg.dataLen = dataLen;
    m.dataMsg.hdr.bodyLen = static_cast<uint32>(offsetof(TopicDataMsg, data) - sizeof(TopicMsgHeader)) + dataLen;
    return m;
}
} // namespace

static void BM_TopicRingEnqueueFull(benchmark::State& state)
{
    RingBuffer<TopicMessage> ring(HISTORY, false, LOW_LATENCY);
    TopicMessage m = datagram(static_cast<uint32>(state.range(0)));
    int32 idx = 0;
    while (ring.getNumFreeEntry() > 0)
        ring.enqueue(m, &idx, 1, 0);
    for (auto _ : state)
    {
        ++m.dataMsg.hdr.seqNum;
        if (ring.getNumFreeEntry() == 0)
            ring.discardOldest();
        if (ring.enqueue(m, &idx, 1, 0) != 0)
            state.SkipWithError("enqueue failed");
        benchmark::DoNotOptimize(idx);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TopicRingEnqueueFull)->Arg(64)->Arg(1200);

static void BM_TopicRingPeek(benchmark::State& state)
{
    RingBuffer<TopicMessage> ring(HISTORY, false, LOW_LATENCY);
    TopicMessage m = datagram(static_cast<uint32>(state.range(0)));
    int32 idx = 0;
    for (uint32 i = 0; i < HISTORY; ++i)
    {
        ++m.dataMsg.hdr.seqNum;
        ring.enqueue(m, &idx, 1, 0);
    }
    TopicMessage out;
    int32 offset = 0;
    for (auto _ : state)
    {
        if (ring.peek(out, idx, offset) != 0)
            state.SkipWithError("peek failed");
        benchmark::DoNotOptimize(out.dataMsg.hdr.seqNum);
        offset = (offset + 7) % static_cast<int32>(HISTORY);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TopicRingPeek)->Arg(64)->Arg(1200);

BENCHMARK_MAIN();
