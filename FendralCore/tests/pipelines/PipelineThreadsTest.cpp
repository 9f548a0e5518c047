// Several producers and several consumers per stage, across threads: every
// entry passes every stage once, in each producer's order, with nothing lost.
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"

#include <gtest/gtest.h>

#include <atomic>
#include <poll.h>
#include <thread>
#include <vector>

namespace
{
struct Item
{
    uint32 producer;
    uint32 seq;
    uint32 marks; // bit s: stage s has seen it
};

constexpr uint32 PRODUCERS = 3;
constexpr uint32 PER_PRODUCER = 20000;
constexpr uint32 STAGES = 3;

void waitForStage(Pipeline& pl, uint32 stage)
{
    if (PipelineStageDesc* d = pl.getStageEventFd(stage))
    {
        pollfd p{d->getFileDescriptor(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    else
    {
        std::this_thread::yield();
    }
}
} // namespace

TEST(PipelineThreads, ThreeProducersThroughThreeStagesLoseNothingAndKeepOrder)
{
    for (OptimizationMode mode : {CPU_UTILIZATION, LOW_LATENCY})
    {
        Pipeline pl(16, sizeof(Item), STAGES, mode, false);
        std::atomic<bool> stop{false};
        std::atomic<int32> badCode{0};
        std::atomic<uint32> badEntries{0};
        std::vector<uint32> nextSeq(PRODUCERS, 0);
        uint32 delivered = 0;

        auto consumer = [&](uint32 stage) {
            while (!stop.load())
            {
                char* payload = nullptr;
                PipelineMsgHeader* hdr = nullptr;
                int32 size = 0;
                if (pl.dequeueEntryLock2(stage, payload, hdr, size, 1) != 0)
                {
                    const int32 code = FrameworkErrno::m_fwErrno;
                    if (code != WOULD_BLOCK && code != BUFFER_EMPTY && code != TAIL_INDEX_CHANGED)
                        badCode = code;
                    waitForStage(pl, stage);
                    continue;
                }
                auto* item = reinterpret_cast<Item*>(payload);
                if (hdr->dataLen != sizeof(Item) || item->marks != (1u << stage) - 1)
                    ++badEntries;
                item->marks |= 1u << stage;
                if (stage == STAGES - 1)
                {
                    if (item->producer >= PRODUCERS || item->seq != nextSeq[item->producer])
                        ++badEntries;
                    else
                        ++nextSeq[item->producer];
                    if (++delivered == PRODUCERS * PER_PRODUCER)
                        stop = true;
                }
                if (pl.dequeueEntryRelease2(stage) != 0)
                    badCode = FrameworkErrno::m_fwErrno;
            }
        };
        std::vector<std::thread> threads;
        threads.emplace_back(consumer, 0);
        threads.emplace_back(consumer, 1); // two consumers share stage 1
        threads.emplace_back(consumer, 1);
        threads.emplace_back(consumer, 2);
        for (uint32 p = 0; p < PRODUCERS; ++p)
        {
            threads.emplace_back([&, p] {
                for (uint32 seq = 0; seq < PER_PRODUCER && !stop.load();)
                {
                    const Item item{p, seq, 0};
                    PipelineMsgHeader h{};
                    h.type = MSG_DATA;
                    h.dataLen = sizeof(Item);
                    if (pl.enqueue(reinterpret_cast<const char*>(&item), h, 1) == 0)
                    {
                        ++seq;
                        continue;
                    }
                    const int32 code = FrameworkErrno::m_fwErrno;
                    if (code != BUFFER_FULL && code != HEAD_INDEX_CHANGED)
                    {
                        badCode = code;
                        stop = true;
                    }
                    std::this_thread::yield();
                }
            });
        }
        for (std::thread& t : threads)
            t.join();

        EXPECT_EQ(badCode.load(), 0) << "mode " << mode;
        EXPECT_EQ(badEntries.load(), 0u) << "mode " << mode;
        EXPECT_EQ(delivered, PRODUCERS * PER_PRODUCER) << "mode " << mode;
        EXPECT_LE(pl.getMaxUsage(), 16);
    }
}
