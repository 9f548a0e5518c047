// A standby's replication subscriptions around their recoveries and the
// switch to active: what a standby accepted goes with it to the publisher it
// opens as the new active, so that a second standby gets what was published
// before the switch; and a gap on the replication topic is told to the
// control thread once when its recovery starts and once when it has caught
// up, for the agent block's replication status.
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"
#include "FendralCore/tests/registry/RegistryTestSupport.h"

#include "FendralCore/messaging/MslChannelTable.h"

#include <gtest/gtest.h>

namespace
{
using namespace rectest;

constexpr const char* REPL = "RPLA_FW_REPL";

// Instances of application RPLA with replication on: each registers the
// replicator thread, and its topic REPL is the replication topic.
class Replicas
{
public:
    // ownPair: REPL travels on the replication channel pair, as the control
    // thread registers it, not on a pair of the topic pool.
    Node& add(const std::string& host, const TopicSpec& topic, int32 inst, AppMode mode, bool ownPair = false)
    {
        NodeExtra extra;
        extra.inst = inst;
        extra.adjust = [mode, ownPair](GlobalData& g) {
            g.m_appMode.store(mode);
            g.m_repliServiceEnabled = true;
            if (ownPair)
            {
                std::strcpy(g.m_repliTopicMcast, "239.1.1.5");
                g.m_repliTopicPort = 7005;
                std::strcpy(g.m_repliAckMcast, "239.1.1.6");
                g.m_repliAckPort = 7006;
            }
        };
        extra.beforeStart = [this, ownPair](Node& n) {
            m_queues.emplace_back();
            m_queues.emplace_back();
            ASSERT_NE(registerTestThread(n.h->registry(), "MSG_REPLICATOR", m_queues[m_queues.size() - 2],
                                         m_queues.back(), 64, CPU_UTILIZATION),
                      nullptr);
            ResourceName name{};
            ResourceManager::copyResourceName(name, REPL);
            MsgTopicResource* res = nullptr;
            if (n.h->registry().getMsgTopicRes(name, &res) == 0)
            {
                res->replicationTopic = true;
                if (ownPair)
                    res->regParam.logicalChnNum = MslChannelTable::REPLICATION_CHN;
            }
        };
        return net.add("RPLA", host, {topic}, "", false, extra);
    }

    // The events the node's service sent its control thread since the last
    // call, INIT_ACK left out.
    static std::vector<int32> controlEvents(Node& n)
    {
        std::vector<int32> ids;
        FwIntMessage m;
        bool more = true;
        while (more && n.h->ctlHigh().getMessage(&m, more) == 0)
            if (m.appMsg.type == MSG_EVENT && m.appMsg.event.id != INIT_ACK)
                ids.push_back(m.appMsg.event.id);
        return ids;
    }

    Net net;

private:
    std::vector<std::unique_ptr<FwMessageQueue>> m_queues;
};

struct SwitchCase
{
    const char* name;
    const char* topic;
    MsgTopicOpenType subscribed; // as the standbys open it
    MsgTopicOpenType published;  // as the first active opens it
};

void PrintTo(const SwitchCase& c, std::ostream* os)
{
    *os << c.name;
}

class SwitchToActiveTest : public ::testing::TestWithParam<SwitchCase>
{
};

// A standby that accepted 300 messages switches to active after the active
// went; a second standby joining it later gets 1..300 from it, in order.
TEST_P(SwitchToActiveTest, SecondStandbyGetsWhatTheFirstAcceptedBeforeTheSwitch)
{
    const SwitchCase& c = GetParam();
    Replicas r;
    Node& active = r.add("10.0.0.1", {c.topic, c.published}, 0, ACTIVE_MODE);
    Node& standby = r.add("10.0.0.2", {c.topic, c.subscribed}, 1, STANDBY_MODE);
    ASSERT_TRUE(r.net.ready(active, c.topic));
    ASSERT_TRUE(r.net.ready(standby, c.topic));
    ASSERT_TRUE(r.net.pumpUntil([&] { return active.pub(c.topic)->numEffectiveSub.load() == 1; }));
    ASSERT_TRUE(r.net.send(active, 300, c.topic));
    ASSERT_TRUE(r.net.pumpUntil([&] { return standby.seqs.size() == 300; })) << standby.seqs.size();
    active.h->post(MQUEUE_HIGH_PRIORITY, TERM);
    ASSERT_TRUE(r.net.pumpUntil([&] { return active.terminated; }));

    ASSERT_EQ(standby.h->post(MQUEUE_HIGH_PRIORITY, SW_ACTIVE), 0);
    ASSERT_TRUE(r.net.pumpUntil([&] {
        const std::vector<int32> ids = Replicas::controlEvents(standby);
        return std::find(ids.begin(), ids.end(), SW_ACTIVE_ACK) != ids.end();
    }));
    EXPECT_EQ(standby.sub(c.topic), nullptr) << "the subscription was left";
    standby.h->globalData().m_appMode.store(ACTIVE_MODE);
    if (c.subscribed == APPL_REPLICATE)
    {
        // Its application opens it for publishing on the new active.
        ASSERT_EQ(standby.h->postTopic(TOPIC_PUBLISH, c.topic), 0);
    }
    ASSERT_TRUE(r.net.pumpUntil([&] {
        const TopicRecord* t = standby.pub(c.topic);
        return t != nullptr && t->publishReady.load();
    }));
    EXPECT_EQ(standby.pub(c.topic)->lastMsgSeq.load(), 300u) << "numbered on from what it accepted";

    Node& second = r.add("10.0.0.3", {c.topic, c.subscribed}, 2, STANDBY_MODE);
    ASSERT_TRUE(r.net.pumpUntil([&] { return second.seqs.size() >= 300 || second.count(UNRECOVERABLE_TOPIC_MSG_GAP) > 0; },
                                20s))
        << second.seqs.size();
    EXPECT_TRUE(second.deliveredInOrder(1, 300)) << second.seqs.size();
    EXPECT_EQ(second.count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    EXPECT_GE(standby.svc().topicStats().resendsServed.get(), 1u) << "resent from the history it took over";
}

INSTANTIATE_TEST_SUITE_P(Topics, SwitchToActiveTest,
                         ::testing::Values(SwitchCase{"ReplicationTopic", REPL, SUBSCRIBE, PUBLISH},
                                           SwitchCase{"ApplicationReplicationTopic", "APPREPL", APPL_REPLICATE,
                                                      APPL_REPLICATE}),
                         [](const auto& info) { return std::string(info.param.name); });

// The replication topic's publisher has a window of 8: the standby takes it
// as its replication receive batch, from the publisher's first request (the
// standby there first) or from the answer to its own (the active there
// first), and reads at most 8 records per readiness of the replication
// channel, where NUM_MSG_RCV_MAX (50) would read all 30 at once.
TEST(ReplicationReceiveBatchTest, StandbyReadsAtMostThePublishersWindowPerReadiness)
{
    for (const bool standbyFirst : {true, false})
    {
        SCOPED_TRACE(standbyFirst ? "standby first" : "active first");
        Replicas r;
        auto active = [&]() -> Node& {
            Node& n = r.add("10.0.0.1", {REPL, PUBLISH}, 0, ACTIVE_MODE, true);
            ResourceName name{};
            ResourceManager::copyResourceName(name, REPL);
            MsgTopicResource* res = nullptr;
            EXPECT_EQ(n.h->registry().getMsgTopicRes(name, &res), 0);
            res->regParam.numUnackMsgMax = 8;
            return n;
        };
        Node* pub = nullptr;
        Node* standby = nullptr;
        if (standbyFirst)
        {
            standby = &r.add("10.0.0.2", {REPL, SUBSCRIBE}, 1, STANDBY_MODE, true);
            ASSERT_TRUE(r.net.ready(*standby, REPL));
            pub = &active();
        }
        else
        {
            pub = &active();
            ASSERT_TRUE(r.net.ready(*pub, REPL));
            standby = &r.add("10.0.0.2", {REPL, SUBSCRIBE}, 1, STANDBY_MODE, true);
        }
        ASSERT_TRUE(r.net.ready(*pub, REPL));
        ASSERT_TRUE(r.net.ready(*standby, REPL));
        ASSERT_TRUE(r.net.pumpUntil([&] { return pub->pub(REPL)->numEffectiveSub.load() == 1; }));
        const SubscriptionRecord& sub = *standby->sub(REPL);
        ASSERT_EQ(sub.chnRecPtr->kind, MSL_REPLICATION_CHANNEL);
        const uint64 before = sub.lastAcptMsgSeq;
        // 30 records wait in the standby's socket.
        MsgTopicResource* res = pub->pub(REPL)->topicResPtr;
        std::string payload(16, 'r');
        for (int i = 0; i < 30; ++i)
        {
            uint64 seq = 0;
            ASSERT_EQ(res->msgTopicPtr->sendMessage(payload.data(), 16, seq, 0, false, nullptr, 0, false), 0)
                << FrameworkErrno::m_fwErrno;
        }
        std::vector<uint64> perPass;
        uint64 last = before;
        while (perPass.size() < 10 && last < before + 30)
        {
            bool terminate = false;
            standby->svc().runOnce(0, terminate);
            if (sub.lastAcptMsgSeq != last)
                perPass.push_back(sub.lastAcptMsgSeq - last);
            last = sub.lastAcptMsgSeq;
        }
        EXPECT_EQ(last, before + 30);
        EXPECT_EQ(perPass, (std::vector<uint64>{8, 8, 8, 6}));
    }
}

// Messages of the replication topic lost on the standby: the control thread
// hears REPLI_TOPIC_RECOVERY as the recovery starts, before anything is
// resent, and REPLI_TOPIC_RECOV_DONE once it has caught up; each once per
// recovery, for two recoveries in a row.
TEST(ReplicationRecoveryStatusTest, ControlThreadHearsTheStartAndTheEndOfEachRecoveryOnce)
{
    Replicas r;
    Node& active = r.add("10.0.0.1", {REPL, PUBLISH}, 0, ACTIVE_MODE);
    Node& standby = r.add("10.0.0.2", {REPL, SUBSCRIBE}, 1, STANDBY_MODE);
    ASSERT_TRUE(r.net.ready(active, REPL));
    ASSERT_TRUE(r.net.ready(standby, REPL));
    ASSERT_TRUE(r.net.pumpUntil([&] { return active.pub(REPL)->numEffectiveSub.load() == 1; }));
    ASSERT_TRUE(r.net.send(active, 50, REPL));
    ASSERT_TRUE(r.net.pumpUntil([&] { return standby.seqs.size() == 50; }));
    EXPECT_TRUE(Replicas::controlEvents(standby).empty());

    std::vector<int32> events;
    for (uint64 round = 1; round <= 2; ++round)
    {
        SCOPED_TRACE(round);
        const uint64 asked = standby.svc().topicStats().recoveryRqsSent.get();
        MslSocket* data = standby.sub(REPL)->chnRecPtr->dataSock.get();
        data->leave();
        ASSERT_TRUE(r.net.send(active, 10, REPL));
        data->join();
        ASSERT_TRUE(r.net.send(active, 1, REPL));
        // Only the standby runs: its request waits unanswered, the recovery open.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (standby.svc().topicStats().recoveryRqsSent.get() == asked && std::chrono::steady_clock::now() < deadline)
        {
            bool terminate = false;
            standby.svc().runOnce(0, terminate);
        }
        ASSERT_TRUE(standby.sub(REPL)->onRecovery);
        const std::vector<int32> started = Replicas::controlEvents(standby);
        EXPECT_EQ(started, std::vector<int32>{REPLI_TOPIC_RECOVERY});
        events.insert(events.end(), started.begin(), started.end());

        const size_t expect = 50 + 11 * round;
        ASSERT_TRUE(r.net.pumpUntil([&] {
            const std::vector<int32> more = Replicas::controlEvents(standby);
            events.insert(events.end(), more.begin(), more.end());
            return standby.seqs.size() == expect && !standby.sub(REPL)->onRecovery && events.size() == 2 * round;
        })) << standby.seqs.size();
        r.net.pumpUntil([] { return false; }, 200ms);
        const std::vector<int32> late = Replicas::controlEvents(standby);
        events.insert(events.end(), late.begin(), late.end());
        EXPECT_TRUE(standby.deliveredInOrder(1, expect));
    }
    EXPECT_EQ(events, (std::vector<int32>{REPLI_TOPIC_RECOVERY, REPLI_TOPIC_RECOV_DONE, REPLI_TOPIC_RECOVERY,
                                          REPLI_TOPIC_RECOV_DONE}));
}
} // namespace
