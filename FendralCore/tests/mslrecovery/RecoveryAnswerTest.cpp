// A subscriber acting on its publisher's answers when no recovery instance
// runs (instances are configured by name, none answers): a busy or
// in-progress answer is asked again after the busy delay, and a range the
// publisher no longer holds is reported once and passed, the subscription
// going on from what it can still get (a refusal it has moved past
// meanwhile is no gap). The publisher is held still while a peer of the
// test's own answers in its place, then let go to serve.
#include "FendralCore/tests/mslrecovery/MrmTestSupport.h"

#include <gtest/gtest.h>

namespace
{
using namespace rectest;

constexpr int DELAY_MS = 100;

class AnswerScene : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Net::Extra mrm;
        mrm.adjust = mrmtest::mrmIdentity(1, 1);
        pub = &net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, 1000}});
        sub = &net.add("SUBB", "10.0.1.2", {{"QUOTES", SUBSCRIBE}}, "", false, mrm);
        ASSERT_TRUE(net.ready(*sub));
        ASSERT_TRUE(net.ready(*pub));
        ASSERT_TRUE(net.pumpUntil([&] { return pub->pub()->numEffectiveSub.load() == 1; }));
        ASSERT_TRUE(net.send(*pub, 20));
        ASSERT_TRUE(net.pumpUntil([&] { return sub->seqs.size() == 20; }));
        // 21..25 miss the subscriber; the publisher stops answering; 26
        // shows the gap.
        MslSocket* data = sub->sub()->chnRecPtr->dataSock.get();
        data->leave();
        ASSERT_TRUE(net.send(*pub, 5));
        data->join();
        pub->terminated = true;
        ASSERT_TRUE(net.send(*pub, 1));
        first = nextRequest(0);
        ASSERT_EQ(first.cmd, 7u);
        ASSERT_EQ(first.seq, 20u);
    }

    // The subscriber's request after the first `after` of them (resendings
    // of one request count once).
    RawPeer::Seen nextRequest(size_t after)
    {
        std::vector<RawPeer::Seen> mine;
        net.pumpUntil([&] {
            mine.clear();
            for (const RawPeer::Seen& r : peer.requests())
                if (r.sender == "SUBB" && (r.cmd == 7 || r.cmd == 17) &&
                    (mine.empty() || mine.back().rqsId != r.rqsId))
                    mine.push_back(r);
            return mine.size() > after;
        });
        return mine.size() > after ? mine[after] : RawPeer::Seen{};
    }

    int enquiries()
    {
        int n = 0;
        for (const RawPeer::Seen& r : peer.requests())
            n += r.sender == "SUBB" && r.cmd == 17 ? 1 : 0;
        return n;
    }

    Net net{planConfig("RECOV_BUSY_DELAY INT32 " + std::to_string(DELAY_MS) + "\n")};
    RawPeer peer{net.fabric};
    Node* pub = nullptr;
    Node* sub = nullptr;
    RawPeer::Seen first{};
};

struct BusyCase
{
    const char* name;
    int32 code;
    uint64 begin; // where the resend under way began
};

void PrintTo(const BusyCase& c, std::ostream* os)
{
    *os << c.name;
}

class RecoveryBusyAnswerTest : public AnswerScene, public ::testing::WithParamInterface<BusyCase>
{
};

TEST_P(RecoveryBusyAnswerTest, IsAskedAgainAfterTheDelayNotOfInstances)
{
    const BusyCase& c = GetParam();
    for (int round = 0; round < 2; ++round)
    {
        const RawPeer::Seen asked = nextRequest(static_cast<size_t>(round));
        ASSERT_EQ(asked.cmd, 7u) << "round " << round;
        const auto answeredAt = std::chrono::steady_clock::now();
        peer.send(Answer{.recipient = "SUBB", .rqsId = asked.rqsId, .errorCode = c.code, .begin = c.begin, .end = 26});
        const RawPeer::Seen again = nextRequest(static_cast<size_t>(round) + 1);
        EXPECT_EQ(again.cmd, 7u) << "asked the publisher again, round " << round;
        EXPECT_EQ(again.seq, 20u);
        EXPECT_GE(again.at - answeredAt, std::chrono::milliseconds(DELAY_MS / 2)) << "not before the delay";
    }
    pub->terminated = false;
    ASSERT_TRUE(net.pumpUntil([&] { return sub->seqs.size() == 26; }, 10s)) << sub->seqs.size();
    EXPECT_TRUE(sub->deliveredInOrder(1, 26));
    EXPECT_EQ(sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    EXPECT_EQ(enquiries(), 0) << "no partition enquiry while no instance runs";
}

INSTANTIATE_TEST_SUITE_P(Answers, RecoveryBusyAnswerTest,
                         ::testing::Values(BusyCase{"Busy", MSL_RECOVERY_BUSY, 21},
                                           BusyCase{"InProgressPastTheGap", MSL_RECOVERY_IN_PROGRESS, 24}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TooOldCase
{
    const char* name;
    uint64 oldestHeld;             // in the refusal; 0: not told
    std::vector<uint64> delivered; // after 1..20
};

void PrintTo(const TooOldCase& c, std::ostream* os)
{
    *os << c.name;
}

class RecoveryTooOldAnswerTest : public AnswerScene, public ::testing::WithParamInterface<TooOldCase>
{
};

TEST_P(RecoveryTooOldAnswerTest, IsReportedOnceAndPassed)
{
    const TooOldCase& c = GetParam();
    peer.send(Answer{.recipient = "SUBB",
                     .rqsId = first.rqsId,
                     .errorCode = MSL_MSG_GAP_TOO_LARGE,
                     .begin = c.oldestHeld,
                     .end = c.oldestHeld != 0 ? 26u : 0u});
    ASSERT_TRUE(net.pumpUntil([&] { return sub->count(UNRECOVERABLE_TOPIC_MSG_GAP) == 1; }, 10s));
    EXPECT_EQ(sub->lastParam(UNRECOVERABLE_TOPIC_MSG_GAP), 20) << "the number the gap follows";
    if (c.oldestHeld != 0)
    {
        const RawPeer::Seen again = nextRequest(1);
        EXPECT_EQ(again.cmd, 7u);
        EXPECT_EQ(again.seq, c.oldestHeld - 1) << "asked from the oldest held";
    }
    pub->terminated = false;
    ASSERT_TRUE(net.send(*pub, 1));
    ASSERT_TRUE(net.pumpUntil([&] { return !sub->seqs.empty() && sub->seqs.back() == 27; }, 10s));
    net.pumpUntil([] { return false; }, 300ms);
    std::vector<uint64> expected;
    for (uint64 s = 1; s <= 20; ++s)
        expected.push_back(s);
    expected.insert(expected.end(), c.delivered.begin(), c.delivered.end());
    EXPECT_EQ(sub->seqs, expected);
    EXPECT_EQ(sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 1) << "once per gap";
    EXPECT_EQ(enquiries(), 0);
}

// A refusal of a request that the subscription has moved past meanwhile
// (resent data came; the answer was lost and the request asked again after
// the history moved on) is no gap: what is still lacked is asked for.
TEST_F(AnswerScene, ARefusalOfARequestTheSubscriptionMovedPastIsNoGap)
{
    for (uint64 seq : {21, 22})
        peer.sendData(topicData("PUBA", seq, true, "r"));
    ASSERT_TRUE(net.pumpUntil([&] { return sub->seqs.size() == 22; }, 10s)) << sub->seqs.size();
    peer.send(Answer{.recipient = "SUBB", .rqsId = first.rqsId, .errorCode = MSL_MSG_GAP_TOO_LARGE, .begin = 23, .end = 26});
    const RawPeer::Seen again = nextRequest(1);
    EXPECT_EQ(again.cmd, 7u);
    EXPECT_EQ(again.seq, 22u) << "asked from where it got to";
    pub->terminated = false;
    ASSERT_TRUE(net.send(*pub, 1));
    ASSERT_TRUE(net.pumpUntil([&] { return sub->seqs.size() == 27; }, 10s)) << sub->seqs.size();
    net.pumpUntil([] { return false; }, 300ms);
    EXPECT_TRUE(sub->deliveredInOrder(1, 27));
    EXPECT_EQ(sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
}

// A resend that fills one hole may end where the messages held past it
// end at the next hole: that one is asked for at once, not when a later
// message shows it (none comes while the window waits for the subscriber).
TEST_F(AnswerScene, TheNextHoleAfterAFilledOneIsAskedForAtOnce)
{
    for (uint64 seq = 27; seq <= 42; ++seq)
        if (seq != 41)
            peer.sendData(topicData("PUBA", seq, false, "l"));
    peer.send(Answer{.recipient = "SUBB", .rqsId = first.rqsId, .status = 0, .errorCode = 1, .begin = 21, .end = 25});
    for (uint64 seq = 21; seq <= 25; ++seq)
        peer.sendData(topicData("PUBA", seq, true, "r"));
    ASSERT_TRUE(net.pumpUntil([&] { return sub->seqs.size() == 40; }, 10s)) << sub->seqs.size();
    const RawPeer::Seen next = nextRequest(1);
    EXPECT_EQ(next.cmd, 7u);
    EXPECT_EQ(next.seq, 40u);
    EXPECT_EQ(sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, RecoveryTooOldAnswerTest,
                         ::testing::Values(
                             // Asked again from the oldest held: 23..26 come as a resend.
                             TooOldCase{"ToldTheOldestHeld", 23, {23, 24, 25, 26, 27}},
                             // Goes on with what it holds past the gap, then the live stream.
                             TooOldCase{"NotTold", 0, {26, 27}}),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
