// Subscribers filling their gaps: seeded loss on every delivery with four
// subscribers, a tail lost at one subscriber and found through heartbeats,
// a publisher leaving, or killed and started again, while one subscriber
// misses its tail (a peer fills it), and subscribers joining mid-stream with
// and without late-join recovery. Services on an in-memory fabric, driven from the test's thread.
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

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
    uint64 firstDelivered; // 0: none, the gap is reported
};

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
    if (c.firstDelivered == 0)
    {
        ASSERT_TRUE(net.pumpUntil([&] { return sub.count(UNRECOVERABLE_TOPIC_MSG_GAP) > 0; }, 10s));
        for (const auto& e : sub.events)
            if (e.first == UNRECOVERABLE_TOPIC_MSG_GAP)
            {
                EXPECT_EQ(e.second, 0) << "the gap after the last accepted number, none yet";
                break;
            }
        EXPECT_TRUE(sub.seqs.empty());
        return;
    }
    // What was sent before the join comes first, when it is recovered.
    if (c.firstDelivered == 1)
    {
        ASSERT_TRUE(net.pumpUntil([&] { return sub.seqs.size() == 100; }, 10s)) << sub.seqs.size();
    }
    ASSERT_TRUE(net.send(pub, 10));
    ASSERT_TRUE(net.pumpUntil([&] { return !sub.seqs.empty() && sub.seqs.back() == 110; }, 10s));
    EXPECT_TRUE(sub.deliveredInOrder(c.firstDelivered, 110));
    EXPECT_EQ(sub.count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoveryLateJoinTest,
                         ::testing::Values(LateJoinCase{"RecoversFromTheHistory", 1000, false, 1},
                                           LateJoinCase{"SkipsLateJoinRecovery", 1000, true, 101},
                                           LateJoinCase{"HistoryTooShortIsReported", 50, false, 0}),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
