// The service timer's rules on the test's clock: heartbeats of quiet and
// busy published topics, a subscriber that stops acknowledging, a quiet
// subscription asking its peers for a lost tail, and the end of recovery
// mode. Each step moves the clock and waits for one timer expiry that saw
// it.
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include "FendralCore/dispatch/MessageStore.h"

#include <gtest/gtest.h>

namespace
{
using namespace rectest;
constexpr int64 MS = 1000000;

class RecoveryTimerTest : public ::testing::Test
{
protected:
    // Moves the clock by ms and waits until every running service's timer
    // ran at the new time.
    void step(int64 ms)
    {
        m_clock.advance(ms * MS);
        m_clock.setWallSec(++m_stamp);
        ASSERT_TRUE(m_net.pumpUntil([&] {
            for (auto& n : m_net.nodes)
                if (!n->terminated && !n->threaded && n->h->serviceThread()->lastStatusUpdTm.load() != m_stamp)
                    return false;
            return true;
        })) << "no timer expiry";
    }

    // Steps of 50 ms until pred holds; false after limitMs of the clock.
    template <typename Pred>
    bool stepUntil(Pred pred, int64 limitMs)
    {
        for (int64 t = 0; t <= limitMs; t += 50)
        {
            if (pred())
                return true;
            step(50);
        }
        return pred();
    }

    // Declared before the services, which may hold it until they go.
    MessageStore m_parked[2];
    msltest::ManualClock m_clock;
    int64 m_stamp = 1800000000;
    Net m_net{planConfig("TOPIC_IDLE_INTV INT32 1000\nRQS_TIMEOUT INT32 100\n"), &m_clock};
};

TEST_F(RecoveryTimerTest, QuietTopicGetsOneHeartbeatPerIntervalBusyTopicNone)
{
    Node& quiet = m_net.add("PUBA", "10.0.0.1", {{"QUIET"}});
    Node& busy = m_net.add("PUBB", "10.0.0.2", {{"BUSY"}});
    auto ready = [](Node& n, const char* topic) { return n.pub(topic) != nullptr && n.pub(topic)->publishReady.load(); };
    ASSERT_TRUE(stepUntil([&] { return ready(quiet, "QUIET") && ready(busy, "BUSY"); }, 2000));
    RawPeer peer(m_net.fabric);
    step(2000);
    peer.heartbeats();
    const uint32 window = busy.pub("BUSY")->publisherTopicPtr->numUnackMsgMax();
    std::map<std::string, int> before;
    for (int64 t = 0; t < 5000; t += 50)
    {
        // Never idle for a topic time-out, but fewer than its window per
        // interval: the heartbeat draws acknowledgements.
        if (t % 500 == 0)
        {
            ASSERT_TRUE(m_net.send(quiet, 1, "QUIET"));
        }
        if (t % 100 == 0)
        {
            ASSERT_TRUE(m_net.send(busy, static_cast<int>(window), "BUSY"));
        }
        step(50);
        // Counted from the end of the first whole interval.
        if (t == 1000)
            before = peer.heartbeats();
    }
    auto hb = peer.heartbeats();
    hb["QUIET"] -= before["QUIET"];
    hb["BUSY"] -= before["BUSY"];
    EXPECT_GE(hb["QUIET"], 3) << "one per interval of 1000 ms";
    EXPECT_LE(hb["QUIET"], 5);
    EXPECT_EQ(hb["BUSY"], 0) << "acknowledged through its data";
}

TEST_F(RecoveryTimerTest, SilentSubscriberIsDroppedOnceAfterThreeTopicTimeouts)
{
    // Its application thread hears of its subscribers.
    Node& pub = m_net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH}}, "SUBSCRIB_STS_EVT UINT32 1\n");
    Node& sub = m_net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE}});
    ASSERT_TRUE(stepUntil([&] { return pub.pub() != nullptr && pub.pub()->numEffectiveSub.load() == 1; }, 5000));
    sub.terminated = true; // silent from now on
    step(2900);
    EXPECT_EQ(pub.count(LAST_SUBSCRIBER_LEFT), 0) << "within three topic time-outs";
    ASSERT_TRUE(stepUntil([&] { return pub.count(LAST_SUBSCRIBER_LEFT) == 1; }, 1000));
    step(4000);
    EXPECT_EQ(pub.count(LAST_SUBSCRIBER_LEFT), 1) << "once, then it waits for a new acknowledgement";
    EXPECT_EQ(pub.pub()->numEffectiveSub.load(), 0);
}

TEST_F(RecoveryTimerTest, QuietSubscriptionAsksItsPeersOnceForALostTail)
{
    // The query stays out for the whole test.
    Net& net = m_net;
    Node& pub = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH}});
    Node& sub = net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE}}, "RQS_TIMEOUT INT32 60000\n");
    ASSERT_TRUE(stepUntil([&] { return pub.pub() != nullptr && pub.pub()->numEffectiveSub.load() == 1; }, 5000));
    ASSERT_TRUE(net.send(pub, 5));
    ASSERT_TRUE(stepUntil([&] { return sub.seqs.size() == 5; }, 1000));
    pub.terminated = true; // its publisher falls silent
    step(2900);
    EXPECT_EQ(sub.svc().topicStats().tailLostQueriesSent.get(), 0u);
    ASSERT_TRUE(stepUntil([&] { return sub.svc().topicStats().tailLostQueriesSent.get() == 1; }, 1000));
    EXPECT_TRUE(sub.sub()->onLeavePubTopic);
    step(4000);
    EXPECT_EQ(sub.svc().topicStats().tailLostQueriesSent.get(), 1u) << "not while its query is outstanding";
}

TEST_F(RecoveryTimerTest, EndOfRecoveryModeIsNotifiedOnceAndNotWhileRequestsArePending)
{
    Node& sub = m_net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE}});
    sub.h->globalData().m_appMode.store(RECOVERY_MODE);
    MsgTopicResource* res = nullptr;
    ResourceName name{};
    ResourceManager::copyResourceName(name, "QUOTES");
    ASSERT_EQ(sub.h->registry().getMsgTopicRes(name, &res), 0);
    res->regParam.openInStandbyMode = true;
    int notified = 0;
    auto count = [&] {
        FwIntMessage m;
        bool more = true;
        while (more && sub.h->ctlHigh().getMessage(&m, more) == 0)
            notified += m.appMsg.type == MSG_EVENT && m.appMsg.event.id == NOTIFY_END_RECOVERY ? 1 : 0;
        return notified;
    };
    // Nobody answers the subscription request: it stays pending for its
    // resends, a time-out apart.
    ASSERT_TRUE(stepUntil([&] { return sub.svc().getNumPendingRqs(SUBSCRIBER_TOPIC_RQS) == 1; }, 1000));
    step(50);
    EXPECT_EQ(count(), 0) << "a subscription request is pending";
    ASSERT_TRUE(stepUntil([&] { return sub.svc().getNumPendingRqs(SUBSCRIBER_TOPIC_RQS) == 0; }, 2000));
    ASSERT_TRUE(stepUntil([&] { return count() == 1; }, 500));
    step(500);
    EXPECT_EQ(count(), 1) << "never twice";
}
} // namespace

// Before a standby takes over, its replication subscription asks its peers
// for a lost tail and, once that query is settled, reports its publisher
// gone: the replication receiver confirms the end of replication on that.
// Other topics, and a subscription whose publisher is still known, are left
// alone; a second check while the query is out sends no second one.
TEST_F(RecoveryTimerTest, ReplicationTailCheckQueriesPeersThenReportsThePublisherGone)
{
    NodeExtra extra;
    extra.beforeStart = [](Node& n) {
        ResourceName name{};
        ResourceManager::copyResourceName(name, "REPL");
        MsgTopicResource* res = nullptr;
        ASSERT_EQ(n.h->registry().getMsgTopicRes(name, &res), 0);
        res->replicationTopic = true;
    };
    Node& pub = m_net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH}});
    Node& sub = m_net.add("SUBA", "10.0.1.1", {{"REPL", SUBSCRIBE, 1000, 100000, true}, {"QUOTES", SUBSCRIBE}}, "",
                          false, extra);
    ASSERT_TRUE(stepUntil(
        [&] {
            return sub.sub("REPL") != nullptr && sub.sub("REPL")->subscribeReady && sub.sub() != nullptr &&
                   sub.sub()->publisherIdTxt[0] != '\0';
        },
        5000));
    const uint64 before = sub.svc().topicStats().tailLostQueriesSent.get();
    auto check = [&](const char* topic) {
        EventParam p{};
        ResourceManager::copyResourceName(p.resNameTxt, topic);
        ASSERT_EQ(sub.h->post(MQUEUE_NORMAL, CHK_TAIL_LOST, p), 0);
        step(50);
    };
    check("QUOTES"); // not the replication topic, and its publisher is there
    EXPECT_EQ(sub.svc().topicStats().tailLostQueriesSent.get(), before);
    EXPECT_EQ(sub.sub()->publisherIdTxt[0] != '\0', true);

    check("REPL");
    EXPECT_EQ(sub.svc().topicStats().tailLostQueriesSent.get(), before + 1);
    EXPECT_TRUE(sub.sub("REPL")->onLeavePubTopic);
    EXPECT_EQ(std::string(sub.sub("REPL")->publisherIdTxt), "SUBA") << "its own id stands in for the publisher";
    check("REPL");
    EXPECT_EQ(sub.svc().topicStats().tailLostQueriesSent.get(), before + 1) << "not while its query is out";
    EXPECT_EQ(sub.count(TOPIC_PUBLISHER_LEFT), 0) << "only once the query is settled";

    ASSERT_TRUE(stepUntil([&] { return sub.count(TOPIC_PUBLISHER_LEFT) == 1; }, 2000));
    EXPECT_EQ(sub.sub("REPL")->publisherIdTxt[0], '\0');
    EXPECT_FALSE(sub.sub("REPL")->onLeavePubTopic);
    EXPECT_EQ(pub.count(TOPIC_PUBLISHER_LEFT), 0);
}

// The end-of-replication check asks the peers of an application
// replication topic that has lost its publisher for a lost tail, once.
TEST_F(RecoveryTimerTest, EndOfReplicationCheckQueriesTheApplicationReplicationTopicsPeers)
{
    NodeExtra standby;
    standby.adjust = [](GlobalData& g) { g.m_appMode.store(STANDBY_MODE); }; // it subscribes
    Node& sub = m_net.add("SUBA", "10.0.1.1", {{"APPREPL", APPL_REPLICATE, 1000, 100000, true}}, "", false, standby);
    ASSERT_TRUE(stepUntil([&] { return sub.sub("APPREPL") != nullptr && sub.sub("APPREPL")->subscribeReady; }, 5000));
    const uint64 before = sub.svc().topicStats().tailLostQueriesSent.get();
    for (int i = 0; i < 2; ++i)
    {
        ASSERT_EQ(sub.h->post(MQUEUE_HIGH_PRIORITY, CHK_END_REPLICATION), 0);
        step(50);
    }
    EXPECT_EQ(sub.svc().topicStats().tailLostQueriesSent.get(), before + 1);
    EXPECT_EQ(std::string(sub.sub("APPREPL")->publisherIdTxt), "SUBA");
}

// The end of replication of an application-replication topic is confirmed
// only once nothing for its thread waits parked: with that thread's queue
// full, CONF_END_REPLICATION waits, also when the thread leaves the topic
// meanwhile; once the queue was read, it follows with the last number.
TEST_F(RecoveryTimerTest, EndOfReplicationWaitsForParkedMessages)
{
    for (const bool leave : {false, true})
    {
        SCOPED_TRACE(leave ? "topic left" : "topic kept");
        const char* topic = leave ? "APPREPL2" : "APPREPL1";
        // APP1's queue takes 5 messages; the rest waits in its store.
        MessageStore& parked = leave ? m_parked[1] : m_parked[0];
        NodeExtra standby;
        standby.adjust = [&parked](GlobalData& g) {
            g.m_appMode.store(STANDBY_MODE);
            ResourceName app1{};
            ResourceManager::copyResourceName(app1, "APP1");
            g.m_tmpMsgRepository.insert(UInt128(app1, true), reinterpret_cast<DataValueType>(&parked), true);
        };
        standby.appQueueLen = 16;
        Node& pub = m_net.add("PUBA", leave ? "10.0.0.2" : "10.0.0.1", {{topic, APPL_REPLICATE}});
        Node& sub = m_net.add("SUBA", leave ? "10.0.1.2" : "10.0.1.1", {{topic, APPL_REPLICATE}}, "", false, standby);
        ASSERT_TRUE(stepUntil(
            [&] {
                return sub.sub(topic) != nullptr && sub.sub(topic)->publisherIdTxt[0] != '\0' &&
                       pub.pub(topic) != nullptr && pub.pub(topic)->numEffectiveSub.load() == 1;
            },
            5000));
        auto confirmations = [&](std::vector<int64>& seqs) {
            FwIntMessage m;
            bool more = true;
            while (more && sub.h->ctlHigh().getMessage(&m, more) == 0)
                if (m.appMsg.type == MSG_EVENT && m.appMsg.event.id == CONF_END_REPLICATION)
                    seqs.push_back(m.appMsg.event.eventParam.paramInt64);
        };
        sub.holdDelivery = true;
        ASSERT_TRUE(m_net.send(pub, 20, topic));
        ASSERT_TRUE(stepUntil([&] { return sub.sub(topic)->lastAcptMsgSeq == 20; }, 2000));
        ASSERT_EQ(sub.h->post(MQUEUE_HIGH_PRIORITY, CHK_END_REPLICATION), 0);
        if (leave)
        {
            ASSERT_EQ(sub.h->postTopic(TOPIC_LEAVE_SUB, topic), 0);
        }
        std::vector<int64> seqs;
        for (int i = 0; i < 5; ++i)
            step(50);
        confirmations(seqs);
        EXPECT_TRUE(seqs.empty()) << "confirmed while messages wait parked";
        if (leave)
        {
            EXPECT_EQ(sub.sub(topic), nullptr);
        }
        sub.holdDelivery = false;
        ASSERT_TRUE(stepUntil(
            [&] {
                confirmations(seqs);
                return !seqs.empty();
            },
            2000));
        EXPECT_EQ(seqs, std::vector<int64>{20});
        m_net.pumpUntil([&] { return sub.seqs.size() == 20; });
        EXPECT_EQ(sub.seqs.size(), 20u);
        pub.terminated = sub.terminated = true; // no more passes
    }
}
