// Subscribers filling their gaps: seeded loss on every delivery with four
// subscribers, a tail lost at one subscriber and found through heartbeats,
// a publisher leaving, or killed and started again, while one subscriber
// misses its tail (a peer fills it), subscribers joining mid-stream with
// and without late-join recovery (or opened before their publisher), and a
// subscriber that falls behind: held for while it is heard, let go when it
// falls silent; and a resend whose last message is lost while the publisher
// waits. Services on an in-memory fabric, driven from the test's thread.
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include "FendralCore/messaging/TopicMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace
{
using namespace rectest;

const TopicSpec PUB{"QUOTES", PUBLISH, 5000};
const TopicSpec SUB{"QUOTES", SUBSCRIBE, 5000};

struct LossCase
{
    double drop;
    uint64 seed;
};

class RecoveryLossTest : public ::testing::TestWithParam<LossCase>
{
};

TEST_P(RecoveryLossTest, EverySubscriberDeliversEveryMessageOnceInOrder)
{
    const char* env = std::getenv("MSL_RECOVERY_LOSS_MESSAGES");
    const int n = env != nullptr ? std::atoi(env) : 4000;
    // Histories that hold the whole run: a gap is always recoverable from
    // the publisher, and the test's memory stays at what the run needs.
    TopicSpec pubSpec = PUB;
    TopicSpec subSpec = SUB;
    pubSpec.history = subSpec.history = std::max(PUB.history, n + 1000);
    Net net;
    Node& pub = net.add("PUBA", "10.0.0.1", {pubSpec});
    std::vector<Node*> subs;
    // Each subscriber drops a seeded fraction of what it receives.
    for (int i = 0; i < 4; ++i)
        subs.push_back(&net.add("SUB" + std::to_string(i), "10.0.1." + std::to_string(i + 1), {subSpec},
                                "MSL_TEST_DROP DOUBLE " + std::to_string(GetParam().drop) +
                                    "\nMSL_TEST_DROP_SD UINT64 " + std::to_string(GetParam().seed + i) + "\n"));
    for (Node* s : subs)
        ASSERT_TRUE(net.ready(*s));
    ASSERT_TRUE(net.ready(pub));
    ASSERT_TRUE(net.pumpUntil([&] { return pub.pub()->numEffectiveSub.load() == 4; }));

    ASSERT_TRUE(net.send(pub, n));
    const bool all = net.pumpUntil(
        [&] {
            for (Node* s : subs)
                if (s->seqs.size() < static_cast<size_t>(n))
                    return false;
            return true;
        },
        60s);
    EXPECT_TRUE(all);
    for (Node* s : subs)
    {
        EXPECT_GT(s->svc().numTestDropped(), 0u);
        EXPECT_TRUE(s->deliveredInOrder(1, static_cast<uint64>(n))) << "delivered " << s->seqs.size();
        EXPECT_EQ(s->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    }
    uint64 requests = 0;
    for (Node* s : subs)
        requests += s->svc().topicStats().recoveryRqsSent.get();
    EXPECT_GT(requests, 0u) << "the loss was recovered, not avoided";
}

INSTANTIATE_TEST_SUITE_P(SeededLoss, RecoveryLossTest,
                         ::testing::Values(LossCase{0.01, 11}, LossCase{0.05, 12}),
                         [](const auto& info) { return "Drop" + std::to_string(static_cast<int>(info.param.drop * 100)); });

class RecoveryTailTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        pub = &net.add("PUBA", "10.0.0.1", {PUB});
        a = &net.add("SUBA", "10.0.1.1", {SUB});
        b = &net.add("SUBB", "10.0.1.2", {SUB});
        ASSERT_TRUE(net.ready(*a));
        ASSERT_TRUE(net.ready(*b));
        ASSERT_TRUE(net.ready(*pub));
        ASSERT_TRUE(net.pumpUntil([&] { return pub->pub()->numEffectiveSub.load() == 2; }));
    }

    // B stops hearing the topic channel (true) or hears it again.
    void deafen(Node& n, bool deaf)
    {
        MslSocket* s = n.sub()->chnRecPtr->dataSock.get();
        if (deaf)
            s->leave();
        else
            s->join();
    }

    Net net;
    Node* pub = nullptr;
    Node* a = nullptr;
    Node* b = nullptr;
};

TEST_F(RecoveryTailTest, LostTailIsFoundThroughHeartbeatsAndResentByThePublisher)
{
    ASSERT_TRUE(net.send(*pub, 90));
    ASSERT_TRUE(net.pumpUntil([&] { return b->seqs.size() == 90 && a->seqs.size() == 90; }));
    deafen(*b, true);
    ASSERT_TRUE(net.send(*pub, 10));
    ASSERT_TRUE(net.pumpUntil([&] { return a->seqs.size() == 100; }));
    deafen(*b, false);
    // Nothing more is published: only the idle topic's heartbeat tells B.
    ASSERT_TRUE(net.pumpUntil([&] { return b->seqs.size() == 100; }, 10s)) << b->seqs.size();
    EXPECT_TRUE(b->deliveredInOrder(1, 100));
    EXPECT_EQ(b->svc().topicStats().recoveryRqsSent.get(), 1u);
    EXPECT_EQ(pub->svc().topicStats().resendsServed.get(), 1u);
}

TEST_F(RecoveryTailTest, PublisherLeavingWhileASubscriberMissesItsTailIsFilledByAPeer)
{
    ASSERT_TRUE(net.send(*pub, 90));
    ASSERT_TRUE(net.pumpUntil([&] { return b->seqs.size() == 90 && a->seqs.size() == 90; }));
    deafen(*b, true);
    ASSERT_TRUE(net.send(*pub, 10));
    ASSERT_TRUE(net.pumpUntil([&] { return a->seqs.size() == 100; }));
    deafen(*b, false);
    // The publisher's process ends before any heartbeat.
    pub->h->post(MQUEUE_HIGH_PRIORITY, TERM);
    ASSERT_TRUE(net.pumpUntil([&] { return pub->terminated; }));
    ASSERT_TRUE(net.pumpUntil([&] { return b->seqs.size() == 100; }, 10s)) << b->seqs.size();
    EXPECT_TRUE(b->deliveredInOrder(1, 100));
    EXPECT_TRUE(a->deliveredInOrder(1, 100));
    EXPECT_GE(b->svc().topicStats().tailLostQueriesSent.get(), 1u);
    EXPECT_EQ(a->svc().topicStats().resendsServed.get(), 1u) << "the peer resent the tail";
    EXPECT_EQ(b->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    ASSERT_TRUE(net.pumpUntil([&] { return b->count(TOPIC_PUBLISHER_LEFT) == 1; }));
}

TEST_F(RecoveryTailTest, PublisherKilledMidStreamAndRestartedContinuesAfterTheHighestNumber)
{
    ASSERT_TRUE(net.send(*pub, 90));
    ASSERT_TRUE(net.pumpUntil([&] { return b->seqs.size() == 90 && a->seqs.size() == 90; }));
    deafen(*b, true);
    ASSERT_TRUE(net.send(*pub, 10));
    ASSERT_TRUE(net.pumpUntil([&] { return a->seqs.size() == 100; }));
    deafen(*b, false);
    // Killed: no leave notice, no heartbeat, no answer any more.
    pub->terminated = true;
    ASSERT_TRUE(net.pumpUntil([&] { return b->seqs.size() == 100; }, 10s)) << b->seqs.size();
    EXPECT_EQ(a->svc().topicStats().resendsServed.get(), 1u) << "the peer resent the tail";

    Node& again = net.add("PUBA", "10.0.0.1", {PUB});
    ASSERT_TRUE(net.ready(again));
    ASSERT_TRUE(net.pumpUntil([&] { return again.pub()->numEffectiveSub.load() == 2; }));
    EXPECT_EQ(again.pub()->lastMsgSeq.load(), 100u) << "the new publisher starts after the highest number";
    ASSERT_TRUE(net.send(again, 10));
    ASSERT_TRUE(net.pumpUntil([&] { return a->seqs.size() >= 110 && b->seqs.size() >= 110; }, 10s))
        << a->seqs.size() << " " << b->seqs.size();
    net.pumpUntil([] { return false; }, 300ms);
    EXPECT_TRUE(a->deliveredInOrder(1, 110));
    EXPECT_TRUE(b->deliveredInOrder(1, 110));
    EXPECT_EQ(a->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    EXPECT_EQ(b->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
}

// A publisher sent 1000 messages and left; a peer subscriber holds them. A
// process starting in recovery mode subscribes while no publisher answers:
// it asks its peers for what they hold and gets 1..1000, in order.
TEST(RecoveryLateJoinWithoutPublisherTest, PeerResendsWhatThePublisherSentBeforeItLeft)
{
    Net net;
    Node& pub = net.add("PUBA", "10.0.0.1", {PUB});
    Node& peer = net.add("SUBA", "10.0.1.1", {SUB});
    ASSERT_TRUE(net.ready(peer));
    ASSERT_TRUE(net.ready(pub));
    ASSERT_TRUE(net.pumpUntil([&] { return pub.pub()->numEffectiveSub.load() == 1; }));
    ASSERT_TRUE(net.send(pub, 1000));
    ASSERT_TRUE(net.pumpUntil([&] { return peer.seqs.size() == 1000; }));
    pub.h->post(MQUEUE_HIGH_PRIORITY, TERM);
    ASSERT_TRUE(net.pumpUntil([&] { return pub.terminated; }));

    NodeExtra recovering;
    recovering.adjust = [](GlobalData& g) { g.m_appMode.store(RECOVERY_MODE); };
    // Opened at start-up in recovery mode too.
    recovering.beforeStart = [](Node& n) {
        ResourceName name{};
        ResourceManager::copyResourceName(name, "QUOTES");
        MsgTopicResource* res = nullptr;
        ASSERT_EQ(n.h->registry().getMsgTopicRes(name, &res), 0);
        res->regParam.openInStandbyMode = true;
    };
    Node& late = net.add("SUBB", "10.0.1.2", {SUB}, "", false, recovering);
    ASSERT_TRUE(net.pumpUntil([&] { return late.seqs.size() >= 1000; }, 20s)) << late.seqs.size();
    EXPECT_TRUE(late.deliveredInOrder(1, 1000));
    EXPECT_EQ(late.count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    EXPECT_GE(late.svc().topicStats().tailLostQueriesSent.get(), 1u);
    EXPECT_EQ(peer.svc().topicStats().resendsServed.get(), 1u) << "the peer resent what it holds";
}

struct LateJoinCase
{
    const char* name;
    int32 history;
    bool skip;
    uint64 firstDelivered;
    bool reported; // the part older than the publisher's history
};

void PrintTo(const LateJoinCase& c, std::ostream* os)
{
    *os << c.name;
}

class RecoveryLateJoinTest : public ::testing::TestWithParam<LateJoinCase>
{
};

TEST_P(RecoveryLateJoinTest, SubscriberJoiningMidStream)
{
    const LateJoinCase& c = GetParam();
    Net net;
    Node& pub = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, c.history}});
    ASSERT_TRUE(net.ready(pub));
    ASSERT_TRUE(net.send(pub, 100));
    Node& sub = net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE, 1000, 100000, c.skip}});
    ASSERT_TRUE(net.ready(sub));
    // What was sent before the join and is still held comes first.
    if (c.firstDelivered <= 100)
    {
        ASSERT_TRUE(net.pumpUntil([&] { return !sub.seqs.empty() && sub.seqs.back() == 100; }, 10s))
            << sub.seqs.size();
    }
    ASSERT_TRUE(net.send(pub, 10));
    ASSERT_TRUE(net.pumpUntil([&] { return !sub.seqs.empty() && sub.seqs.back() == 110; }, 10s));
    net.pumpUntil([] { return false; }, 200ms);
    EXPECT_TRUE(sub.deliveredInOrder(c.firstDelivered, 110)) << sub.seqs.size() << " from " << sub.seqs.front();
    EXPECT_EQ(sub.count(UNRECOVERABLE_TOPIC_MSG_GAP), c.reported ? 1 : 0);
    if (c.reported)
    {
        EXPECT_EQ(sub.lastParam(UNRECOVERABLE_TOPIC_MSG_GAP), 0) << "the gap after the last accepted number, none yet";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoveryLateJoinTest,
                         ::testing::Values(LateJoinCase{"RecoversFromTheHistory", 1000, false, 1, false},
                                           LateJoinCase{"SkipsLateJoinRecovery", 1000, true, 101, false},
                                           // Reported once; the oldest the publisher holds on.
                                           LateJoinCase{"HistoryTooShortStartsFromTheOldestHeld", 50, false, 51, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RecoverySkipLateJoinTest, OpenedBeforeThePublisherItRecoversTheFirstMessages)
{
    Net net;
    Node& sub = net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE, 1000, 100000, true}});
    ASSERT_TRUE(net.ready(sub));
    Node& pub = net.add("PUBA", "10.0.0.1", {PUB});
    ASSERT_TRUE(net.ready(pub));
    ASSERT_TRUE(net.pumpUntil(
        [&] { return sub.count(TOPIC_PUBLISHER_JOINED) == 1 && pub.pub()->numEffectiveSub.load() == 1; }));
    // The topic's first datagrams miss the subscriber: they were published
    // after it met its publisher, so they are recovered.
    MslSocket* data = sub.sub()->chnRecPtr->dataSock.get();
    data->leave();
    ASSERT_TRUE(net.send(pub, 2));
    data->join();
    ASSERT_TRUE(net.send(pub, 8));
    ASSERT_TRUE(net.pumpUntil([&] { return sub.seqs.size() >= 8 && sub.seqs.back() == 10; }, 10s));
    net.pumpUntil([] { return false; }, 200ms);
    EXPECT_TRUE(sub.deliveredInOrder(1, 10)) << "delivered from " << sub.seqs.front();
    EXPECT_EQ(sub.count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
}

struct SlowCase
{
    const char* name;
    int quietMs;   // how long the slow subscriber hears and says nothing
    bool passed;   // silent past the subscriber time-out: the publisher goes on
};

void PrintTo(const SlowCase& c, std::ostream* os)
{
    *os << c.name;
}

class RecoverySlowSubscriberTest : public ::testing::TestWithParam<SlowCase>
{
};

TEST_P(RecoverySlowSubscriberTest, TheWindowWaitsForALiveSubscriberOnly)
{
    const SlowCase& c = GetParam();
    // History and window of 100; the subscriber time-out is three topic
    // time-outs, 900 ms.
    Net net(planConfig("TOPIC_IDLE_INTV INT32 300\nOUTSTDG_MSG_MAX UINT32 100\n"));
    Node& pub = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, 100}});
    Node& a = net.add("SUBA", "10.0.1.1", {SUB});
    Node& b = net.add("SUBB", "10.0.1.2", {SUB});
    ASSERT_TRUE(net.ready(a));
    ASSERT_TRUE(net.ready(b));
    ASSERT_TRUE(net.ready(pub));
    ASSERT_TRUE(net.pumpUntil([&] { return pub.pub()->numEffectiveSub.load() == 2; }));
    ASSERT_TRUE(net.send(pub, 20));
    ASSERT_TRUE(net.pumpUntil([&] { return a.seqs.size() == 20 && b.seqs.size() == 20; }));

    // B goes quiet while the publisher sends as fast as its window lets it.
    MslSocket* data = b.sub()->chnRecPtr->dataSock.get();
    data->leave();
    b.terminated = true;
    const auto wakeAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(c.quietMs);
    MsgTopicResource* res = nullptr;
    ResourceName name{};
    ResourceManager::copyResourceName(name, "QUOTES");
    ASSERT_EQ(pub.h->registry().getMsgTopicRes(name, &res), 0);
    constexpr int N = 320;
    int sent = 20;
    int refusedWhileQuiet = 0;
    const std::string payload(16, 'm');
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (sent < N && std::chrono::steady_clock::now() < deadline)
    {
        if (b.terminated && std::chrono::steady_clock::now() >= wakeAt)
        {
            b.terminated = false;
            data->join();
        }
        uint64 seq = 0;
        if (res->msgTopicPtr->sendMessage(payload.data(), 16, seq, 0, false, nullptr, 0, false) == 0 ||
            FrameworkErrno::m_fwErrno != WOULD_BLOCK)
            ++sent;
        else
        {
            refusedWhileQuiet += b.terminated ? 1 : 0;
            net.pump();
        }
        if (sent % 8 == 0)
            net.pump();
    }
    ASSERT_EQ(sent, N);
    // Let go, the publisher sent everything while B was quiet.
    net.pumpUntil([&] { return std::chrono::steady_clock::now() >= wakeAt; });
    if (b.terminated)
    {
        b.terminated = false;
        data->join();
    }
    ASSERT_TRUE(net.pumpUntil(
        [&] { return a.seqs.size() == N && !b.seqs.empty() && b.seqs.back() == static_cast<uint64>(N); }, 20s))
        << a.seqs.size() << " " << b.seqs.size();
    net.pumpUntil([] { return false; }, 200ms);
    EXPECT_TRUE(a.deliveredInOrder(1, N));
    EXPECT_GT(refusedWhileQuiet, 0) << "B held the window while it counted";
    if (!c.passed)
    {
        EXPECT_TRUE(b.deliveredInOrder(1, N)) << "delivered " << b.seqs.size();
        EXPECT_EQ(b.count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
        return;
    }
    // Dropped from the window: what passed out of the history is reported
    // once, and B goes on from the oldest number the publisher still held.
    EXPECT_EQ(b.count(UNRECOVERABLE_TOPIC_MSG_GAP), 1);
    EXPECT_EQ(b.lastParam(UNRECOVERABLE_TOPIC_MSG_GAP), 20);
    ASSERT_GT(b.seqs.size(), 21u);
    const uint64 resumed = b.seqs[20];
    EXPECT_GT(resumed, 21u);
    EXPECT_EQ(b.seqs.size(), 20 + (N - resumed + 1)) << "in order from " << resumed;
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoverySlowSubscriberTest,
                         ::testing::Values(SlowCase{"LiveBehindHoldsThePublisher", 300, false},
                                           SlowCase{"SilentPastTheTimeOutIsLetGo", 1500, true}),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace

namespace
{
// The last message a resend was to bring is lost, and the publisher, its
// window full of what the subscriber holds past the gap, sends nothing that
// would show it: the subscriber asks again on its own, long before the next
// heartbeat (a minute away here).
TEST(RecoveryResendStoppedShortTest, TheSubscriberAsksAgainWhenNothingMoreWillCome)
{
    Net net(planConfig("TOPIC_IDLE_INTV INT32 60000\nOUTSTDG_MSG_MAX UINT32 100\n"));
    Node& pub = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, 1000}});
    Node& s = net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE, 1000}});
    ASSERT_TRUE(net.ready(s));
    ASSERT_TRUE(net.ready(pub));
    ASSERT_TRUE(net.pumpUntil([&] { return pub.pub()->numEffectiveSub.load() == 1; }));

    // Live 50 and 51 lost, then the first resent copy of 51.
    int liveDropped = 0;
    int resentDropped = 0;
    net.fabric.setDropFilter([&](const char* bytes, int32 len) {
        if (len < static_cast<int32>(TopicWire::HEADER_SIZE))
            return false;
        uint32 cmd = 0;
        uint64 seq = 0;
        std::memcpy(&cmd, bytes, sizeof cmd);
        std::memcpy(&seq, bytes + offsetof(TopicMsgHeader, seqNum), sizeof seq);
        const bool resent = bytes[offsetof(TopicMsgHeader, resendFlag)] != 0;
        if (cmd != TOPIC_MSG)
            return false;
        int& dropped = resent ? resentDropped : liveDropped;
        const bool drop = resent ? seq == 51 && dropped == 0 : (seq == 50 || seq == 51) && dropped < 2;
        dropped += drop ? 1 : 0;
        return drop;
    });
    constexpr int N = 150; // past the window: the publisher waits for the subscriber
    ASSERT_TRUE(net.send(pub, N));
    ASSERT_TRUE(net.pumpUntil([&] { return s.seqs.size() == N; }, 10s)) << s.seqs.size();
    EXPECT_EQ(resentDropped, 1);
    EXPECT_TRUE(s.deliveredInOrder(1, N));
    EXPECT_EQ(s.count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
}
} // namespace
