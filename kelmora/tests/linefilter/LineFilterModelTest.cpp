// Seeded streams with loss, duplication, bounded reordering, resets and
// wrap-around, with the test playing the retransmission client, checked
// against a plain model: within a reset epoch the filter delivers each number
// once, in order, and passes over a number only after publishing a gap that
// covers it.
#include "LineFilterTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace
{
struct Checker : public OrluSubscriber<LineData>, public OrluSubscriber<SeqNumGap>
{
    Checker() : OrluSubscriber<LineData>("checker"), OrluSubscriber<SeqNumGap>("checker") {}

    void onData(const Orlu<LineData>&, const std::string&, const LineData& d) override
    {
        if (d.isSequenceReset())
            return;
        ++mDelivered;
        if (d.getSeqNum() != mExpected)
        {
            ++mFaults;
            if (mFirstFault.empty())
                mFirstFault = "delivered " + std::to_string(d.getSeqNum()) + " expecting " + std::to_string(mExpected);
        }
        mExpected = d.getSeqNum() + 1;
    }
    void onData(const Orlu<SeqNumGap>&, const std::string&, const SeqNumGap& g) override
    {
        ++mGaps;
        if (g.begin() != mExpected)
        {
            ++mFaults;
            if (mFirstFault.empty())
                mFirstFault = "gap from " + std::to_string(g.begin()) + " expecting " + std::to_string(mExpected);
        }
        mExpected = g.end() + 1;
    }

    std::uint32_t mExpected = 0;
    std::uint64_t mDelivered = 0;
    std::uint64_t mGaps = 0;
    std::uint64_t mFaults = 0;
    std::string mFirstFault;
};

struct Client : public OrluSubscriber<RetransRequest>
{
    Client() : OrluSubscriber<RetransRequest>("client") {}
    void onData(const Orlu<RetransRequest>&, const std::string&, const RetransRequest& r) override
    {
        if (r.getCancel())
            return;
        // A range from 0 is served from 1.
        for (std::uint32_t n = r.begin() == 0 ? 1 : r.begin(); n != r.end() + 1; ++n)
            mPending.push_back(n);
    }
    std::vector<std::uint32_t> mPending;
};

struct Mode
{
    const char* name;
    bool shortLimits;
};

class ModelTest : public ::testing::TestWithParam<Mode>
{
};

TEST_P(ModelTest, EveryEpochIsDeliveredOnceInOrderOrCoveredByGaps)
{
    const bool shortLimits = GetParam().shortLimits;
    constexpr int cSeeds = 100;
    constexpr int cRecordsPerSeed = 10000;
    std::uint64_t originals = 0;
    for (int seed = 1; seed <= cSeeds; ++seed)
    {
        std::mt19937 rng(static_cast<unsigned>(seed));
        auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
        FilterBench bench;
        bench.quiet();
        LineFilter& f = bench.mFilter;
        Checker checker;
        Client client;
        bench.mFiltered.subscribe(&checker);
        bench.mGaps.subscribe(&checker);
        bench.mRequests.subscribe(&client);
        f.setRetransActive(true);
        f.setRetransMaxGapSize(0);
        if (shortLimits)
        {
            f.setGapLimitSize(20);
            f.setGapLimitTime(0.3);
        }
        else
            f.setGapLimitSize(0);

        // Some seeds start just below 2^32 to cross it.
        std::uint32_t start = seed % 3 == 0 ? 0xFFFFFFFFu - static_cast<std::uint32_t>(rng() % 3000)
                                            : 1 + static_cast<std::uint32_t>(rng() % 1000000);
        f.setNextSeqNum(start, false);
        checker.mExpected = start;

        auto answer = [&](std::size_t most) {
            std::size_t n = std::min(most, client.mPending.size());
            std::vector<std::uint32_t> now(client.mPending.begin(), client.mPending.begin() + static_cast<long>(n));
            client.mPending.erase(client.mPending.begin(), client.mPending.begin() + static_cast<long>(n));
            for (std::uint32_t seq : now)
            {
                if (shortLimits && chance(0.2))
                    continue;
                LineDataBasic& r = bench.record("r" + std::to_string(seq));
                bench.send(r);
                if (chance(0.05))
                    bench.send(r);
            }
        };

        int produced = 0;
        while (produced < cRecordsPerSeed)
        {
            const int epochLength = 200 + static_cast<int>(rng() % 3000);
            std::vector<std::uint32_t> epoch;
            for (int i = 0; i < epochLength; ++i)
                epoch.push_back(start + static_cast<std::uint32_t>(i));
            produced += epochLength;
            originals += static_cast<std::uint64_t>(epochLength);
            // Bounded reordering, loss and duplication; the last record stays
            // so that every loss is seen before the epoch ends. A 0 after 2^32
            // cannot be asked for again, so only a gap limit passes a lost one.
            std::vector<std::uint32_t> wire;
            for (std::size_t i = 0; i + 1 < epoch.size(); ++i)
            {
                if (chance(0.01) && (shortLimits || epoch[i] != 0))
                    continue;
                wire.push_back(epoch[i]);
                if (chance(0.01))
                    wire.push_back(epoch[i]);
            }
            for (std::size_t i = 0; i + 10 < wire.size(); ++i)
                if (chance(0.01))
                    std::swap(wire[i], wire[i + 1 + rng() % 9]);
            wire.push_back(epoch.back());

            for (std::uint32_t seq : wire)
            {
                bench.send(bench.record(std::to_string(seq)));
                if (chance(0.3))
                    answer(1 + rng() % 4);
                if (shortLimits && chance(0.05))
                    f.onGapTimer();
            }
            answer(client.mPending.size());
            for (int tick = 0; shortLimits && tick < 10 && f.getSpoolSize() != 0; ++tick)
            {
                f.onGapTimer();
                answer(client.mPending.size());
            }
            ASSERT_EQ(f.getSpoolSize(), 0u) << "seed " << seed << " next " << f.getNextSeqNum();
            ASSERT_EQ(checker.mExpected, epoch.back() + 1) << "seed " << seed;
            if (!shortLimits)
            {
                ASSERT_EQ(checker.mGaps, 0u) << "seed " << seed;
            }

            // Next epoch: a reset record, an admin set, or carry on.
            const std::uint32_t next = chance(0.2) ? 0xFFFFFFFFu - static_cast<std::uint32_t>(rng() % 1000)
                                                   : 1 + static_cast<std::uint32_t>(rng() % 1000000);
            const unsigned kind = static_cast<unsigned>(rng() % 3);
            if (kind == 0)
                bench.send(bench.record("s" + std::to_string(next)));
            else if (kind == 1)
                bench.admin(LineAdmin::SET_SEQNUM, next - 1);
            if (kind != 2)
                start = next;
            else
                start = epoch.back() + 1;
            checker.mExpected = start;
            ASSERT_EQ(f.getNextSeqNum(), start) << "seed " << seed;
        }
        ASSERT_EQ(checker.mFaults, 0u) << "seed " << seed << ": " << checker.mFirstFault;
    }
    EXPECT_GE(originals, 1000000u);
}

INSTANTIATE_TEST_SUITE_P(LineFilter, ModelTest,
                         ::testing::Values(Mode{"LimitsNeverExpire", false}, Mode{"ShortLimits", true}),
                         [](const ::testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });
} // namespace
