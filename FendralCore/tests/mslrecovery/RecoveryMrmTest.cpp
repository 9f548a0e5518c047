// Recovery from MRM instances, with the tests' own small instance: a gap the
// publisher cannot fill comes back from an instance (quick data up to the
// threshold with the partition known, long-recovery records beyond it); a
// silent instance is asked once more, then the next one; the partition's
// bitmap and a refusal steer the choice; an instance whose heartbeats stop
// loses its place; a recovery that runs long is reported each warning
// period on the service's own clock; and random MRM records do no harm.
#include "FendralCore/tests/mslrecovery/MrmTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <mutex>

#include <cstdlib>
#include <random>

namespace
{
using namespace rectest;
using mrmtest::Instance;

// On a failure, the recovery lines of the framework log.
void dumpRecoveryLog()
{
    if (!::testing::Test::HasFailure())
        return;
    for (const std::string& l : testLog().lines())
        if (l.find("MRM") != std::string::npos || l.find("ecover") != std::string::npos ||
            l.find("gap") != std::string::npos)
            std::fprintf(stderr, "%s\n", l.c_str());
}

void setProcessMrmBase()
{
    // The registry checks MRM topic names against the process's base name.
    GlobalData& gd = GlobalData::getInst();
    std::memset(gd.m_mrmBaseName, 0, sizeof(ApplicationID));
    std::memcpy(gd.m_mrmBaseName, mrmtest::BASE, std::strlen(mrmtest::BASE));
    gd.m_mrmBaseNameLen = static_cast<int32>(std::strlen(mrmtest::BASE));
}

// A publisher with a short history, instances of partition 0, and a
// subscriber SUBA:1 that joins late, when the test says.
class Scene
{
public:
    struct Plan
    {
        int instances = 1;
        ApplicationSite site = PRIMARY_SITE;
        std::string subConfig;  // lines of the subscriber only
        std::string config;     // lines of every node
        // Moved on 2 ms at every pass, so that handshakes complete.
        msltest::ManualClock* clock = nullptr;
        // An instance that does not serve SUBA's recovery-request topic.
        int notServing = -1;
    };

    explicit Scene(const Plan& plan) : m_plan(plan), net(planConfig(mrmtest::mrmConfig(plan.config)), plan.clock)
    {
        setProcessMrmBase();
        testLog().clear();
        Net::Extra pubExtra;
        pubExtra.adjust = mrmtest::mrmIdentity(1, plan.instances);
        pub = &net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, 50}}, "", false, pubExtra);
        for (int i = 0; i < plan.instances; ++i)
            instances.push_back(std::make_unique<Instance>(
                net, i, plan.instances, "10.0.1." + std::to_string(i + 1), std::vector<std::string>{"QUOTES"},
                i == plan.notServing ? std::vector<std::pair<std::string, int>>{}
                                     : std::vector<std::pair<std::string, int>>{{"SUBA", 1}},
                plan.site));
    }

    // The instances carry what the publisher sent.
    bool publish(int count)
    {
        if (!ready(*pub))
            return false;
        for (auto& in : instances)
            if (!ready(in->node()))
                return false;
        const size_t before = instances.front()->historySize();
        if (!pumpUntil([&] { return pub->pub()->numEffectiveSub.load() == static_cast<int32>(instances.size()); }))
            return false;
        if (!net.send(*pub, count))
            return false;
        return pumpUntil([&] {
            for (auto& in : instances)
                if (in->historySize() < before + static_cast<size_t>(count))
                    return false;
            return true;
        });
    }

    // SUBA:1 with maxPubGap 20, its topics open and every instance's
    // topic's publisher known.
    bool join()
    {
        Net::Extra extra;
        extra.adjust = mrmtest::mrmIdentity(1, m_plan.instances, -1, m_plan.site);
        extra.beforeStart = [&](Node& n) {
            mrmtest::registerFrameworkTopics(n, "SUBA", 1, 1, m_plan.instances, -1);
        };
        sub = &net.add("SUBA", "10.0.0.2", {{"QUOTES", SUBSCRIBE, 50, 20}}, m_plan.subConfig, false, extra);
        return ready(*sub) && pumpUntil([&] {
                   const TopicRecord* reco = sub->pub(mrmtest::recoTopic("SUBA", 1).c_str());
                   if (reco == nullptr || !reco->publishReady.load())
                       return false;
                   for (int i = 0; i < m_plan.instances; ++i)
                   {
                       const SubscriptionRecord* s = sub->sub(mrmtest::localTopic(0, i).c_str());
                       if (s == nullptr || s->publisherIdTxt[0] == '\0')
                           return false;
                   }
                   return true;
               });
    }

    // The node's QUOTES open.
    bool ready(Node& n)
    {
        return pumpUntil([&] {
            const SubscriptionRecord* sr = n.sub();
            const TopicRecord* t = n.pub();
            return (sr != nullptr && sr->subscribeReady) || (t != nullptr && t->publishReady.load());
        });
    }

    // Passes of every node, the instances answering what came.
    template <typename Pred>
    bool pumpUntil(Pred pred, std::chrono::milliseconds limit = 20s)
    {
        return net.pumpUntil(
            [&] {
                if (m_plan.clock != nullptr)
                    m_plan.clock->advance(2 * MonoClock::NSEC_PER_SEC / 1000);
                for (auto& in : instances)
                    in->serve();
                return pred();
            },
            limit);
    }

    Instance& instance(int i) { return *instances[static_cast<size_t>(i)]; }

    // count messages published, the subscriber joined late, one more
    // message: instance 0 accepts the recovery and sends nothing.
    bool quietSession(int count)
    {
        instance(0).setMode(Instance::ACCEPT_ONLY);
        return publish(count) && join() && net.send(*pub, 1) &&
               pumpUntil([&] { return sub->svc().numMrmSessions() == 1; });
    }

    ~Scene() { dumpRecoveryLog(); }

    Plan m_plan;
    Net net;
    Node* pub = nullptr;
    Node* sub = nullptr;
    std::vector<std::unique_ptr<Instance>> instances;
};

// A gap above the subscriber's maxPubGap, which the publisher's history of
// 50 could not fill anyway: quick data when the gap is within the quick
// threshold and the partition is known (the publisher learnt it from the
// instance and told the subscriber), long-recovery records beyond it.
TEST(RecoveryMrmTest, GapAboveThePublishersReachIsFilledByAnInstance)
{
    struct Case
    {
        int gap;
        int32 expectMode;
    } cases[] = {{300, MRM_QUICK_RECOVERY}, {1100, MRM_LONG_RECOVERY}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.gap);
        Scene s(Scene::Plan{});
        ASSERT_TRUE(s.publish(c.gap));
        ASSERT_TRUE(s.join());
        EXPECT_EQ(s.sub->sub()->mrmPartitionId, 0);
        ASSERT_TRUE(s.net.send(*s.pub, 5));
        const uint64 last = static_cast<uint64>(c.gap) + 5;
        EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= last; }));
        EXPECT_TRUE(s.sub->deliveredInOrder(1, last));
        ASSERT_FALSE(s.instance(0).requests().empty());
        EXPECT_EQ(s.instance(0).requests().front().mode, c.expectMode);
        EXPECT_EQ(s.instance(0).requests().front().lastSeq, 0u);
        EXPECT_EQ(s.sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
        // The session ends towards the instance, and the MRM channels are
        // left once nothing needs them.
        EXPECT_TRUE(s.pumpUntil([&] {
            return s.instance(0).endNotices() >= 1 && s.sub->svc().numMrmSessions() == 0 &&
                   s.sub->svc().numPendingMrmRqs() == 0 && !s.sub->svc().mrmChannelsJoined();
        }));
    }
}

// A publisher sent 1000 messages, which instance 0 keeps, and left. A
// subscriber that no publisher answers learns the topic's partition and
// asks the instance for everything: it gets 1..1000, in order.
TEST(RecoveryMrmTest, SubscriberWithoutPublisherGetsTheTopicFromAnInstance)
{
    Scene s(Scene::Plan{});
    ASSERT_TRUE(s.publish(1000));
    s.pub->h->post(MQUEUE_HIGH_PRIORITY, TERM);
    ASSERT_TRUE(s.pumpUntil([&] { return s.pub->terminated; }));
    ASSERT_TRUE(s.join());
    EXPECT_EQ(s.sub->sub()->publisherIdTxt[0], '\0');
    EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= 1000; })) << s.sub->seqs.size();
    EXPECT_TRUE(s.sub->deliveredInOrder(1, 1000));
    ASSERT_EQ(s.instance(0).requests().size(), 1u);
    EXPECT_EQ(s.instance(0).requests().front().mode, MRM_LONG_RECOVERY);
    EXPECT_EQ(s.instance(0).requests().front().lastSeq, 0u);
    EXPECT_EQ(s.sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
}

// Records of a long session lost on the way to the subscriber, on the
// instance's own topic: a small gap is resent by the instance from its
// topic's history; a gap above the topic's reach, or a resend the instance
// cannot make (its history is too short), starts this subscriber's session
// over. The recovery completes either way, and no gap is reported
// unrecoverable, neither to the application nor on the instance's topic.
struct LostRecordsCase
{
    const char* name;
    size_t lost;
    uint64 topicMaxGap;  // of the subscriber's subscription of the instance's topic; 0: as registered
    int32 topicHistory;  // of the instance's topic; 0: as registered
    bool asked;          // the instance for a resend of its topic
    bool resent;         // by the instance from its topic's history
    const char* logged;  // a line the case writes
};

void PrintTo(const LostRecordsCase& c, std::ostream* os)
{
    *os << c.name;
}

class RecordsLostOnTheInstancesTopicTest : public ::testing::TestWithParam<LostRecordsCase>
{
};

TEST_P(RecordsLostOnTheInstancesTopicTest, RecoveryCompletesWithoutAnUnrecoverableGap)
{
    const LostRecordsCase& c = GetParam();
    Scene::Plan plan;
    plan.subConfig = "MRM_Q_RECO_THOLD INT32 10\n"; // 300 missing: a long session
    Scene s(plan);
    const std::string topic = mrmtest::localTopic(0, 0);
    if (c.topicHistory > 0)
    {
        ResourceName name{};
        ResourceManager::copyResourceName(name, topic.c_str());
        MsgTopicResource* res = nullptr;
        ASSERT_EQ(s.instance(0).node().h->registry().getMsgTopicRes(name, &res), 0);
        res->regParam.historyBufSize = c.topicHistory;
    }
    ASSERT_TRUE(s.publish(300));
    ASSERT_TRUE(s.join());
    if (c.topicMaxGap > 0)
        s.sub->sub(topic.c_str())->topicResPtr->regParam.maxPubGapRecovery = c.topicMaxGap;
    MessagingService& svc = s.sub->svc();
    s.instance(0).loseRecords(100, c.lost, [&](bool deaf) {
        MslSocket* sock = svc.channels()->special(MSL_MRM_LOCAL_CHANNEL).dataSock.get();
        if (deaf)
            sock->leave();
        else
            sock->join();
    });
    ASSERT_TRUE(s.net.send(*s.pub, 5));
    EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= 305; })) << s.sub->seqs.size();
    EXPECT_TRUE(s.sub->deliveredInOrder(1, 305));
    EXPECT_EQ(s.sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    EXPECT_EQ(svc.topicStats().unrecoverableGaps.get(), 0u);
    // The subscriber's only resend request is the one for the instance's topic.
    EXPECT_EQ(svc.topicStats().recoveryRqsSent.get() > 0, c.asked);
    const uint64 resends = s.instance(0).node().svc().topicStats().resendsServed.get();
    EXPECT_EQ(resends > 0, c.resent) << resends;
    EXPECT_EQ(s.instance(0).requests().size(), c.resent ? 1u : 2u);
    bool logged = false;
    for (const std::string& l : testLog().lines())
        logged = logged || l.find(c.logged) != std::string::npos;
    EXPECT_TRUE(logged) << c.logged;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordsLostOnTheInstancesTopicTest,
    ::testing::Values(LostRecordsCase{"SmallGapIsResentByTheInstance", 1, 0, 0, true, true,
                                      "Request topic [MRM0:0L] recovery."},
                      LostRecordsCase{"GapAboveTheTopicsReachRestartsTheSessions", 10, 5, 0, false, false,
                                      "Need to close all its underlying MRM_LONG_RECOVERY sessions and start it "
                                      "over again."},
                      LostRecordsCase{"RefusedResendRestartsTheSessions", 1, 0, 5, true, false,
                                      "Failed to recover MRM recovery topic [MRM0:0L] message from publisher (2118)."}),
    [](const auto& info) { return std::string(info.param.name); });

// The records of an instance's topic go through the subscriber's topic: it
// acknowledges each multiple of the instance's window (10) that it
// accepted, and keeps the records in its history, from which it resends the
// tail a peer asks for.
TEST(RecoveryMrmTest, InstancesTopicAcknowledgesAndKeepsWhatItTook)
{
    Scene::Plan plan;
    plan.subConfig = "MRM_Q_RECO_THOLD INT32 10\n"; // a long session
    Scene s(plan);
    const std::string topic = mrmtest::localTopic(0, 0);
    ResourceName name{};
    ResourceManager::copyResourceName(name, topic.c_str());
    MsgTopicResource* res = nullptr;
    ASSERT_EQ(s.instance(0).node().h->registry().getMsgTopicRes(name, &res), 0);
    res->regParam.numUnackMsgMax = 10;
    // Acknowledgements of the instance's topic by SUBA, as they go out.
    std::mutex mutex;
    std::vector<uint64> acked;
    s.net.fabric.setDropFilter([&](const char* bytes, int32 len) {
        const std::string b(bytes, static_cast<size_t>(len));
        if (len == 98 && getLe(b, 0, 4) == 14 && b.compare(4, 4, "SUBA") == 0 &&
            std::string(b.data() + 72, strnlen(b.data() + 72, 17)) == topic)
        {
            std::lock_guard lock(mutex);
            acked.push_back(getLe(b, 90, 8));
        }
        return false;
    });
    ASSERT_TRUE(s.publish(300));
    ASSERT_TRUE(s.join());
    ASSERT_TRUE(s.net.send(*s.pub, 5));
    ASSERT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= 305; })) << s.sub->seqs.size();
    const SubscriptionRecord& mrmSub = *s.sub->sub(topic.c_str());
    const uint64 last = mrmSub.lastAcptMsgSeq;
    ASSERT_GE(last, 300u) << "an answer and 300 records";
    {
        std::lock_guard lock(mutex);
        std::vector<uint64> expected;
        for (uint64 n = 10; n <= last; n += 10)
            expected.push_back(n);
        EXPECT_EQ(acked, expected);
    }

    // A peer lacking the last 20 records of the instance's topic asks SUBA.
    RawPeer peer(s.net.fabric);
    const MslChannelRecord& chn = s.sub->svc().channels()->special(MSL_MRM_LOCAL_CHANNEL);
    MslSocketSpec spec{};
    std::memcpy(spec.groupTxt, chn.data.groupTxt, sizeof(spec.groupTxt));
    spec.port = chn.data.port;
    std::unique_ptr<MslSocket> resent = s.net.fabric.host("10.0.0.98").open(spec);
    resent->join();
    Rqs rqs;
    rqs.cmd = 11; // TAIL_LOST_RECOVERY_RQS
    rqs.recipient = "SUBA";
    rqs.recipientInst = 1;
    rqs.topic = topic;
    rqs.seq = last - 20;
    rqs.rqsId = 4242;
    peer.send(rqs);
    std::vector<uint64> got;
    ASSERT_TRUE(s.pumpUntil([&] {
        char buf[1500];
        int32 len = 0;
        sockaddr_in from{};
        while (resent->receive(buf, sizeof buf, len, from) == 0)
            if (len >= 72 && getLe(std::string(buf, 4), 0, 4) == 21)
                got.push_back(getLe(std::string(buf, 72), 38, 8));
        return got.size() >= 20;
    })) << got.size();
    for (uint64 i = 0; i < 20; ++i)
        EXPECT_EQ(got[i], last - 19 + i);
    const std::vector<Rsp> answers = peer.answers();
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().status, 0);
    EXPECT_EQ(answers.back().end, last);
}

// A record of an instance's topic that arrives while the subscription of
// that topic is still in its handshake is not taken: it counts as seen, not
// accepted, and nothing acts on it.
TEST(RecoveryMrmTest, InstancesRecordBeforeTheSubscriptionIsReadyIsNotTaken)
{
    Scene s(Scene::Plan{});
    ASSERT_TRUE(s.publish(10));
    const std::string topic = mrmtest::localTopic(0, 0);
    // The instance's answer to SUBA's subscription request is lost.
    s.net.fabric.setDropFilter([&](const char* bytes, int32 len) {
        const std::string b(bytes, static_cast<size_t>(len));
        return len > 83 && getLe(b, 0, 4) == 4 && std::string(b.data() + 66, strnlen(b.data() + 66, 17)) == topic;
    });
    Net::Extra extra;
    extra.adjust = mrmtest::mrmIdentity(1, 1);
    extra.beforeStart = [&](Node& n) { mrmtest::registerFrameworkTopics(n, "SUBA", 1, 1, 1, -1); };
    Node& sub = s.net.add("SUBA", "10.0.0.2", {{"QUOTES", SUBSCRIBE, 50, 20}}, "", false, extra);
    ASSERT_TRUE(s.pumpUntil([&] { return sub.sub(topic.c_str()) != nullptr; }));
    SubscriptionRecord& mrmSub = *sub.sub(topic.c_str());
    ASSERT_FALSE(mrmSub.subscribeReady);
    // The instance's topic reaches SUBA, as when another topic's recovery
    // has the channel joined.
    ASSERT_EQ(sub.svc().channels()->special(MSL_MRM_LOCAL_CHANNEL).dataSock->join(), 0);
    const std::string rsp = Instance::rspRecord(77, "QUOTES", 0, 10, 5, 0);
    ASSERT_EQ(s.instance(0).sendRaw(MRM_TOPIC_RSP, rsp, "SUBA", 1), 0);
    ASSERT_TRUE(s.pumpUntil([&] { return mrmSub.highestMsgSeqRcvd > 0; }, 2s));
    EXPECT_FALSE(mrmSub.subscribeReady);
    EXPECT_EQ(mrmSub.lastAcptMsgSeq, 0u) << "taken before the subscription was ready";
    bool actedOn = false;
    for (const std::string& l : testLog().lines())
        actedOn = actedOn || l.find("after the MRM_TOPIC_RQS [77]") != std::string::npos;
    EXPECT_FALSE(actedOn);
    s.net.fabric.setDropFilter(nullptr);
}

// Recovery paths that restart an instance's sessions, each seen once: a
// resend request on the instance's own topic that times out restarts its
// long sessions; a gap in an instance's quick data, while the subscription
// has no publisher, found once the session has stalled ends the session and
// asks for a long recovery as the last attempt; a second gap, above the
// topic's reach, found while a resend of the instance's topic stalls
// restarts the sessions too. Every row ends with the subscriber holding
// every message in order, the instance asked twice, for a long recovery the
// second time.
enum class RestartPath
{
    RESEND_TIMES_OUT,
    SESSION_STALLS,
    GAP_AGAIN_IN_RESEND,
};

struct RestartCase
{
    const char* name;
    RestartPath path;
    const char* logged;
};

void PrintTo(const RestartCase& c, std::ostream* os)
{
    *os << c.name;
}

class InstanceSessionRestartTest : public ::testing::TestWithParam<RestartCase>
{
};

TEST_P(InstanceSessionRestartTest, RecoveryCompletesFromASecondRequest)
{
    const RestartCase& c = GetParam();
    msltest::ManualClock clock;
    Scene::Plan plan;
    plan.clock = &clock;
    plan.subConfig = "MRM_Q_RECO_THOLD INT32 10\n"; // 300 missing: a long session
    Scene s(plan);
    const std::string topic = mrmtest::localTopic(0, 0);
    ASSERT_TRUE(s.publish(300));
    Instance& instance = s.instance(0);
    auto loseOneRecord = [&](size_t index) {
        instance.loseRecords(index, 1, [&s](bool deaf) {
            MslSocket* sock = s.sub->svc().channels()->special(MSL_MRM_LOCAL_CHANNEL).dataSock.get();
            if (deaf)
                sock->leave();
            else
                sock->join();
        });
    };
    const int64 pastFirstAnswer = 130 * MonoClock::NSEC_PER_SEC / 1000; // (MSL_RESEND_THOLD + 1) x RQS_TIMEOUT + 10
    size_t total = 305;
    if (c.path == RestartPath::SESSION_STALLS)
    {
        // The publisher has gone; the subscriber, joining, asks the instance,
        // which answers with quick data once the request is older than a
        // first answer may take, the first of them lost.
        total = 300;
        s.pub->h->post(MQUEUE_HIGH_PRIORITY, TERM);
        ASSERT_TRUE(s.pumpUntil([&] { return s.pub->terminated; }));
        instance.setQuick(true);
        instance.hold(true);
        loseOneRecord(0);
        ASSERT_TRUE(s.join());
        ASSERT_EQ(s.sub->sub()->publisherIdTxt[0], '\0');
        ASSERT_TRUE(s.pumpUntil([&] { return instance.requests().size() == 1; }));
        clock.advance(pastFirstAnswer);
        instance.hold(false);
    }
    else
    {
        ASSERT_TRUE(s.join());
        MessagingService& svc = s.sub->svc();
        // The session loses its 101st record on the way to the subscriber,
        // and the subscriber's resend request for the instance's topic
        // never arrives.
        loseOneRecord(100);
        s.net.fabric.setDropFilter([&](const char* bytes, int32 len) {
            const std::string b(bytes, static_cast<size_t>(len));
            return len == 99 && getLe(b, 0, 4) == 7 && std::string(b.data() + 66, strnlen(b.data() + 66, 17)) == topic;
        });
        if (c.path == RestartPath::GAP_AGAIN_IN_RESEND)
            s.sub->sub(topic.c_str())->topicResPtr->regParam.maxPubGapRecovery = 5;
        ASSERT_TRUE(s.net.send(*s.pub, 5));
        if (c.path == RestartPath::GAP_AGAIN_IN_RESEND)
        {
            // The whole session read and the resend asked for; past the first
            // answer's time, one more record of the instance's topic, far past
            // the topic's reach.
            const TopicRecord* own = instance.node().pub(topic.c_str());
            ASSERT_TRUE(s.pumpUntil([&] {
                return svc.topicStats().recoveryRqsSent.get() == 1 &&
                       s.sub->sub(topic.c_str())->highestMsgSeqRcvd == own->lastMsgSeq.load();
            }));
            clock.advance(pastFirstAnswer);
            ASSERT_EQ(instance.sendRaw(MRM_TOPIC_RSP, Instance::rspRecord(9, "OTHER", -1, 0, 0, 2205), "OTHER", 9), 0);
        }
    }
    MessagingService& svc = s.sub->svc();
    EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= total; })) << s.sub->seqs.size();
    EXPECT_TRUE(s.sub->deliveredInOrder(1, total));
    EXPECT_EQ(s.sub->count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);
    EXPECT_EQ(svc.topicStats().unrecoverableGaps.get(), 0u);
    ASSERT_EQ(instance.requests().size(), 2u);
    EXPECT_EQ(instance.requests()[1].mode, MRM_LONG_RECOVERY);
    bool logged = false;
    for (const std::string& l : testLog().lines())
        logged = logged || l.find(c.logged) != std::string::npos;
    EXPECT_TRUE(logged) << c.logged;
    s.net.fabric.setDropFilter(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, InstanceSessionRestartTest,
    ::testing::Values(
        RestartCase{"ResendOnTheInstancesTopicTimesOut", RestartPath::RESEND_TIMES_OUT,
                    "No answer to the recovery of MRM recovery topic [MRM0:0L]. Re-initiate all requests"},
        RestartCase{"StalledQuickSessionEndsForALongLastAttempt", RestartPath::SESSION_STALLS,
                    "Send MRM_END_RECOVERY_NOTIFICATION to terminate the recovery session."},
        RestartCase{"GapAgainDuringTheInstancesResendRestartsTheSessions", RestartPath::GAP_AGAIN_IN_RESEND,
                    "detected again with last acpt msg seq#"}),
    [](const auto& info) { return std::string(info.param.name); });

// Instance 0 never answers: it is asked once more after three topic
// time-outs, then, silent again, counts as gone and instance 1 is asked.
TEST(RecoveryMrmTest, SilentInstanceIsAskedOnceMoreThenTheNext)
{
    Scene::Plan plan;
    plan.instances = 2;
    Scene s(plan);
    s.instance(0).setMode(Instance::SILENT);
    ASSERT_TRUE(s.publish(200));
    ASSERT_TRUE(s.join());
    ASSERT_TRUE(s.net.send(*s.pub, 2));
    ASSERT_TRUE(s.pumpUntil([&] { return !s.instance(0).requests().empty(); }));
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(s.pumpUntil([&] { return !s.instance(1).requests().empty(); }));
    const auto waited = std::chrono::steady_clock::now() - first;
    EXPECT_EQ(s.instance(0).requests().size(), 2u);
    // Two waits of three topic time-outs (200 ms) each.
    EXPECT_GE(waited, 1100ms);
    EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= 202; }));
    EXPECT_TRUE(s.sub->deliveredInOrder(1, 202));
    EXPECT_EQ(s.instance(1).requests().size(), 1u);
}

// With MRM0_INST_BITMAP 5 and three instances, a recovery starting at
// instance 1 (a DR-site subscriber starts in the middle) skips it and asks
// instance 2; instance 2 refuses, so instance 0 is asked.
TEST(RecoveryMrmTest, BitmapSkipsAClearedInstanceAndARefusalMovesOn)
{
    Scene::Plan plan;
    plan.instances = 3;
    plan.site = DR_SITE;
    plan.subConfig = "MRM0_INST_BITMAP UINT64 5\n";
    Scene s(plan);
    s.instance(2).setMode(Instance::REFUSE);
    ASSERT_TRUE(s.publish(200));
    ASSERT_TRUE(s.join());
    // On a loaded machine the late-join recovery may already have moved past
    // instance 1 during the join; where it started shows in who was asked:
    // a start at 0 would have been served by 0 alone.
    ASSERT_TRUE(s.net.send(*s.pub, 2));
    EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= 202; }));
    EXPECT_TRUE(s.sub->deliveredInOrder(1, 202));
    EXPECT_TRUE(s.instance(1).requests().empty());
    EXPECT_EQ(s.instance(2).requests().size(), 1u);
    EXPECT_EQ(s.instance(0).requests().size(), 1u);
}

// An instance that does not serve the subscriber's recovery-request topic
// refuses its request at once with MRM_NOT_AVAILABLE, so the requester does
// not wait out its time-outs; asked once more, it refuses again and the next
// instance recovers the gap.
TEST(RecoveryMrmTest, InstanceThatDoesNotServeTheRequesterRefusesAtOnce)
{
    Scene::Plan plan;
    plan.instances = 2;
    plan.notServing = 0;
    Scene s(plan);
    ASSERT_TRUE(s.publish(200));
    ASSERT_TRUE(s.join());
    ASSERT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= 200; }));
    EXPECT_TRUE(s.sub->deliveredInOrder(1, 200));
    EXPECT_EQ(s.instance(0).node().svc().topicStats().mrmRqsRefusedUncarried.get(), 2u);
    EXPECT_TRUE(s.instance(0).requests().empty()) << "its application never saw the request";
    EXPECT_EQ(s.instance(1).requests().size(), 1u);
    int refusals = 0;
    for (const std::string& l : testLog().lines())
        refusals += l.find("returned MRM_TOPIC_RSP on topic [QUOTES] with return code [2203]") != std::string::npos;
    EXPECT_EQ(refusals, 2);
    dumpRecoveryLog();
}

// An instance whose heartbeats stop for three heartbeat times is no longer
// taken as its topic's publisher.
TEST(RecoveryMrmTest, InstanceWhoseHeartbeatsStopLosesItsPlace)
{
    Scene s(Scene::Plan{});
    ASSERT_TRUE(s.publish(1));
    ASSERT_TRUE(s.join());
    const SubscriptionRecord* mrmSub = s.sub->sub(mrmtest::localTopic(0, 0).c_str());
    ASSERT_TRUE(s.pumpUntil([&] { return mrmSub->lastMrmHeartbeatNs != 0; }));
    // Alive while it beats: well past three heartbeat times (100 ms).
    const auto until = std::chrono::steady_clock::now() + 600ms;
    s.pumpUntil([&] { return std::chrono::steady_clock::now() > until; });
    EXPECT_NE(mrmSub->publisherIdTxt[0], '\0');
    EXPECT_EQ(s.sub->svc().topicStats().mrmPublishersExpired.get(), 0u);
    s.instance(0).node().terminated = true; // no more passes: silent
    // Both its topics, local and cross-site.
    const SubscriptionRecord* crossSub = s.sub->sub(mrmtest::crossTopic(0, 0).c_str());
    EXPECT_TRUE(s.pumpUntil([&] { return mrmSub->publisherIdTxt[0] == '\0' && crossSub->publisherIdTxt[0] == '\0'; }, 5s));
    EXPECT_EQ(mrmSub->publisherInstId, -1);
    EXPECT_EQ(s.sub->svc().topicStats().mrmPublishersExpired.get(), 2u);
}

// An instance accepts and then sends too little: every warning period
// (10 s, 1000 timer periods of 10 ms) the subscriber reports; when nothing
// at all came, it ends the session and asks again.
TEST(RecoveryMrmTest, LongRecoveryIsReportedEveryWarningPeriod)
{
    struct Case
    {
        bool partial; // some messages recovered
    } cases[] = {{true}, {false}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.partial);
        msltest::ManualClock clock;
        Scene::Plan plan;
        plan.clock = &clock;
        // Longer idle limits than the report's ten seconds.
        plan.config = "TOPIC_IDLE_INTV INT32 10000\nMRM_HB_TIME UINT32 100000\n";
        Scene s(plan);
        ASSERT_TRUE(s.publish(100));
        s.instance(0).setMode(c.partial ? Instance::ANSWER_HALF : Instance::ACCEPT_ONLY);
        ASSERT_TRUE(s.join());
        ASSERT_TRUE(s.net.send(*s.pub, 1));
        MessagingService& svc = s.sub->svc();
        ASSERT_TRUE(s.pumpUntil([&] { return svc.numMrmSessions() == 1; }));
        // Whatever the instance sent is in.
        for (int i = 0; i < 50; ++i)
            s.pumpUntil([] { return true; });
        const size_t asked = s.instance(0).requests().size();
        const uint64 reports = svc.topicStats().mrmLongRecoveryReports.get();
        const int64 period = 10 * MonoClock::NSEC_PER_SEC / 1000;
        const int64 sentNs = s.sub->sub()->lastRecoverySentNs;
        while ((clock.monoNs() - sentNs) / period < 999)
        {
            clock.advance(period);
            svc.processMslTimerEvent();
        }
        EXPECT_EQ(svc.topicStats().mrmLongRecoveryReports.get(), reports);
        clock.advance(period);
        svc.processMslTimerEvent();
        EXPECT_EQ(svc.topicStats().mrmLongRecoveryReports.get(), reports + 1);
        if (c.partial)
        {
            // The session goes on, and is reported again ten seconds on.
            EXPECT_EQ(svc.numMrmSessions(), 1);
            EXPECT_EQ(svc.numPendingMrmRqs(), 0);
            while ((clock.monoNs() - sentNs) / period < 2000)
            {
                clock.advance(period);
                svc.processMslTimerEvent();
            }
            EXPECT_EQ(svc.topicStats().mrmLongRecoveryReports.get(), reports + 2);
        }
        else
        {
            // Nothing came: the session ends and the instance is asked again.
            EXPECT_TRUE(s.pumpUntil([&] { return s.instance(0).requests().size() > asked; }, 5s));
            EXPECT_GE(s.instance(0).endNotices(), 1);
            EXPECT_EQ(s.instance(0).requests().size(), asked + 1);
        }
    }
}

// Random MRM records on an instance's topic, while a request waits:
// commands, sizes, embedded messages, names, instance and request ids.
// Nothing may read or write out of bounds, and the subscriber then still
// recovers from the instance.
TEST(RecoveryMrmTest, RandomMrmRecordsThenTheRecoveryStillCompletes)
{
    const char* env = std::getenv("MSL_RANDOM_MRM_RECORDS");
    const int count = env != nullptr ? std::atoi(env) : 20000;
    Scene::Plan plan;
    // The request waits for its answer all through the records.
    plan.config = "TOPIC_IDLE_INTV INT32 10000\n";
    Scene s(plan);
    // A session runs (accepted, nothing sent yet) while the records come.
    ASSERT_TRUE(s.quietSession(120));
    MessagingService& svc = s.sub->svc();
    const uint32 rqsId = s.instance(0).requests().front().rqsId;

    std::mt19937_64 rng(20261211);
    auto pick = [&](uint64 n) { return static_cast<uint64>(rng() % n); };
    static const char* NAMES[] = {"MRM0:0L", "MRM0:0C", "MRM0:9L", "MRM0:L", "MRM0", "MRMx:0L", "QUOTES", "MRM0:00000L"};
    static const uint32 DATA_LENS[] = {0, 3, 4, 20, 21, 29, 30, 44, 45, 46, 101, 102, 103, 300, 1301, 1302};
    std::vector<char> buf(MessagingService::TOPIC_RCV_BUF_SIZE);
    PeerLogLimit limit;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x0A000101);
    for (int i = 0; i < count; ++i)
    {
        std::fill(buf.begin(), buf.end(), static_cast<char>(rng()));
        // The MRM record: an answer, recovered data or a failure, built to
        // reach the deeper checks often, or random bytes.
        const uint32 kind = static_cast<uint32>(pick(4));
        std::string rec(1302, '\0');
        for (char& c : rec)
            c = static_cast<char>(rng());
        uint32 recLen = DATA_LENS[pick(std::size(DATA_LENS))];
        // Mostly the session that runs, when one does.
        const uint32 session = pick(4) == 0 ? static_cast<uint32>(1 + pick(3)) : s.sub->sub()->mrmSessionId;
        if (kind == 0)
        {
            rec = Instance::rspRecord(pick(2) == 0 ? rqsId : static_cast<uint32>(rng()), pick(4) == 0 ? "OTHER" : "QUOTES",
                                      pick(3) == 0 ? -1 : 0, pick(3) == 0 ? rng() : pick(200), session,
                                      static_cast<int32>(pick(3) == 0 ? 2205 : rng()));
            rec.resize(1302, static_cast<char>(rng()));
            recLen = pick(4) == 0 ? recLen : 45;
        }
        else if (kind == 1)
        {
            // Recovered data: a topic message of the topic in recovery.
            const uint32 innerData = static_cast<uint32>(pick(4) == 0 ? rng() % 1400 : pick(64));
            putLe(rec, 0, 4, 4);
            putLe(rec, 4, session, 4);
            putLe(rec, 8, 13, 4);
            // For every subscriber: the numbers it takes are delivered.
            std::memset(rec.data() + 8 + 13, 0, 9);
            putLe(rec, 8 + 26, 0, 4);
            putLe(rec, 8 + 38, 1 + pick(130), 8);
            putLe(rec, 8 + 46, pick(5) == 0 ? rng() : 22 + innerData, 4);
            putLe(rec, 8 + 66, 0, 4);
            rec[8 + 70] = 0;
            std::memset(rec.data() + 8 + 72, 0, 17);
            std::memcpy(rec.data() + 8 + 72, "QUOTES", 6);
            putLe(rec, 8 + 90, innerData, 4);
            recLen = pick(4) == 0 ? recLen : std::min<uint32>(8 + 72 + 22 + innerData, 1302);
        }
        else if (kind == 2)
        {
            putLe(rec, 0, 5, 4);
            std::memset(rec.data() + 4, 0, 17);
            std::memcpy(rec.data() + 4, "QUOTES", 6);
            putLe(rec, 21, session, 4);
            recLen = pick(4) == 0 ? recLen : 29;
        }
        else
            putLe(rec, 0, pick(3) == 0 ? rng() : pick(8), 4);
        std::string b(94, '\0');
        putLe(b, 0, pick(16) == 0 ? pick(30) : 19, 4);
        std::memcpy(b.data() + 4, "MRM0", 4);
        std::memcpy(b.data() + 13, pick(8) == 0 ? "OTHER" : "SUBA", pick(8) == 0 ? 5 : 4);
        putLe(b, 22, pick(6) == 0 ? rng() : 0, 4);                      // sender instance
        putLe(b, 26, pick(8) == 0 ? 2 : 1, 4);                          // recipient instance
        putLe(b, 38, pick(3) == 0 ? rng() : 1 + pick(5000), 8);         // sequence number
        putLe(b, 46, pick(8) == 0 ? rng() : 22 + recLen, 4);            // body length
        const char* name = NAMES[pick(std::size(NAMES))];
        std::memcpy(b.data() + 72, name, std::strlen(name));
        putLe(b, 90, recLen, 4);
        b += rec.substr(0, std::min<size_t>(recLen, rec.size()));
        const size_t len = std::min<size_t>(b.size(), buf.size());
        std::memcpy(buf.data(), b.data(), len);
        const timespec now{1700000000, 0};
        svc.processTopicData(buf.data(), static_cast<int32>(len), from, now, MonoClock::nowNs(), true, limit);
        if (i % 64 == 0)
            s.pumpUntil([] { return true; });
    }
    EXPECT_GT(svc.topicStats().mrmMessages.get(), static_cast<uint64>(count / 4));
    EXPECT_GT(svc.topicStats().mrmMessagesDropped.get(), 0u);

    // What the records set off settles first: the instance has heard (and
    // accepted, sending nothing) every request the subscriber sent, and the
    // last one is answered. Otherwise a slow run would answer the backlog
    // of stale requests with data, or miss the session to fail.
    const SubscriptionRecord& sub = *s.sub->sub();
    ASSERT_TRUE(s.pumpUntil([&] {
        return s.instance(0).requests().size() == svc.topicStats().mrmRqsSent.get() && sub.mrmRqsId == 0;
    }));
    // The instance now fails the session it runs: the subscriber asks
    // again, and this time the messages come.
    s.instance(0).setMode(Instance::ANSWER);
    if (sub.onRecovery && sub.mrmSessionId != 0)
    {
        std::string failure(29, '\0');
        putLe(failure, 0, 5, 4);
        std::memcpy(failure.data() + 4, "QUOTES", 6);
        putLe(failure, 21, sub.mrmSessionId, 4);
        ASSERT_EQ(s.instance(0).sendRaw(MRM_RECOVERY_FAILURE, failure, "SUBA", 1), 0);
    }
    EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() >= 121; }, 30s));
    EXPECT_TRUE(s.sub->deliveredInOrder(1, 121));
}

// Records an instance could not have meant are dropped and counted, the
// session they name untouched: an embedded message whose size is not the
// record's data length less its 8-byte header (the message itself
// consistent, so that only that check stops it), an unknown command, and
// answers and failures of a wrong size.
TEST(RecoveryMrmTest, MalformedMrmRecordsAreDroppedAndCounted)
{
    Scene s(Scene::Plan{});
    ASSERT_TRUE(s.quietSession(50));
    MessagingService& svc = s.sub->svc();
    const uint32 session = s.sub->sub()->mrmSessionId;
    auto recovered = [&](uint32 extra) {
        // Message 1 of QUOTES, 10 bytes of data, in a record extra bytes
        // longer than it.
        std::string r(8 + 72 + 22 + 10 + extra, 'x');
        putLe(r, 0, 4, 4);
        putLe(r, 4, session, 4);
        std::string m(72 + 22, '\0');
        putLe(m, 0, 13, 4);
        std::memcpy(m.data() + 4, "PUBA", 4);
        putLe(m, 38, 1, 8);
        putLe(m, 46, 32, 4);
        std::memcpy(m.data() + 72, "QUOTES", 6);
        putLe(m, 90, 10, 4);
        r.replace(8, m.size(), m);
        return r;
    };
    auto sized = [](uint32 cmd, size_t size) {
        std::string r(size, '\0');
        putLe(r, 0, cmd, 4);
        std::memcpy(r.data() + 4, "QUOTES", 6);
        return r;
    };
    struct Case
    {
        const char* what;
        std::string record;
    } cases[] = {
        {"embedded size differs", recovered(5)},
        {"unknown command", sized(9, 45)},
        {"answer of 44 bytes", sized(1, 44)},
        {"failure of 30 bytes", sized(5, 30)},
        {"recovered message cut", sized(4, 60)},
    };
    auto feed = [&](const std::string& record) {
        std::string b(94, '\0');
        putLe(b, 0, 19, 4);
        std::memcpy(b.data() + 4, "MRM0", 4);
        std::memcpy(b.data() + 13, "SUBA", 4);
        putLe(b, 26, 1, 4);
        // The next number of the instance's topic: records are taken in order.
        putLe(b, 38, s.sub->sub(mrmtest::localTopic(0, 0).c_str())->lastAcptMsgSeq + 1, 8);
        putLe(b, 46, 22 + record.size(), 4);
        std::memcpy(b.data() + 72, "MRM0:0L", 7);
        putLe(b, 90, record.size(), 4);
        b += record;
        std::vector<char> buf(MessagingService::TOPIC_RCV_BUF_SIZE);
        std::memcpy(buf.data(), b.data(), b.size());
        sockaddr_in from{};
        from.sin_family = AF_INET;
        PeerLogLimit limit;
        svc.processTopicData(buf.data(), static_cast<int32>(b.size()), from, timespec{1700000000, 0},
                             MonoClock::nowNs(), true, limit);
        s.net.pump();
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const uint64 dropped = svc.topicStats().mrmMessagesDropped.get();
        const size_t delivered = s.sub->seqs.size();
        feed(c.record);
        EXPECT_EQ(svc.topicStats().mrmMessagesDropped.get(), dropped + 1);
        EXPECT_EQ(s.sub->seqs.size(), delivered);
        EXPECT_EQ(s.sub->sub()->mrmSessionId, session);
    }
    // The same message in a record of the right length is taken.
    const size_t delivered = s.sub->seqs.size();
    feed(recovered(0));
    EXPECT_TRUE(s.pumpUntil([&] { return s.sub->seqs.size() == delivered + 1; }));
}

// The name of an MRM topic: partition, instance and site letter.
TEST(RecoveryMrmTest, MrmTopicNamesParse)
{
    struct Case
    {
        const char* name;
        int32 partition;
        int32 inst;
        bool local;
    } cases[] = {
        {"MRM0:3L", 0, 3, true},  {"MRM8:9C", 8, 9, false}, {"MRM2", -1, -1, true},
        {"MRM2:1", 2, -1, true},  {"MRM:1L", -1, -1, true}, {"XYZ0:1L", -1, -1, true},
        {"MRMa:1L", -1, -1, true}, {"MRM1:xL", 1, -1, true}, {"MRM12345:1L", -1, -1, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        int32 inst = 99;
        bool local = false;
        EXPECT_EQ(MessagingService::getPartitionIdFromMrmTopic("MRM", c.name, inst, local), c.partition);
        EXPECT_EQ(inst, c.inst);
        EXPECT_EQ(local, c.local);
    }
}
// APP_READY opens the recovery-request topic and the MRM topics ahead of
// the others; CONN_INIT opens the application's topics only once the
// recovery-request topic may publish, so that a gap found at once can be
// asked for, or once its handshake had more than its whole time.
TEST(RecoveryMrmTest, ApplicationTopicsOpenOnceTheRecoveryRequestTopicIsReady)
{
    setProcessMrmBase();
    for (const bool stalled : {false, true})
    {
        SCOPED_TRACE(stalled ? "handshake stalled" : "handshake completes");
        // Stalled: the test's clock stands still, so the handshake's
        // time-outs never pass until the test moves it past the wait's limit.
        msltest::ManualClock clock;
        Net net(planConfig(mrmtest::mrmConfig()), stalled ? &clock : nullptr);
        Net::Extra extra;
        extra.adjust = mrmtest::mrmIdentity(1, 2);
        extra.beforeStart = [](Node& n) {
            mrmtest::registerFrameworkTopics(n, "SUBA", 1, 1, 2, -1);
            n.h->post(MQUEUE_HIGH_PRIORITY, APP_READY);
        };
        Node& sub = net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE}}, "", false, extra);
        const std::string reco = mrmtest::recoTopic("SUBA", 1);
        net.pump();
        TopicRecord* rqsTopic = sub.pub(reco.c_str());
        ASSERT_NE(rqsTopic, nullptr);
        ASSERT_FALSE(rqsTopic->publishReady.load()) << "nobody answers its handshake yet";
        for (int i = 0; i < 2; ++i)
        {
            EXPECT_NE(sub.sub(mrmtest::localTopic(0, i).c_str()), nullptr);
            EXPECT_NE(sub.sub(mrmtest::crossTopic(0, i).c_str()), nullptr);
        }
        EXPECT_EQ(sub.sub("QUOTES"), nullptr) << "opened before recovery could be asked for";
        if (stalled)
        {
            for (int i = 0; i < 50; ++i)
                net.pump();
            EXPECT_EQ(sub.sub("QUOTES"), nullptr) << "gave up waiting too soon";
            // Past (MSL_RESEND_THOLD 2 + 3) x RQS_TIMEOUT 40 ms.
            clock.advance(201 * 1000000);
        }
        ASSERT_TRUE(net.pumpUntil([&] { return sub.sub("QUOTES") != nullptr; }));
        EXPECT_EQ(rqsTopic->publishReady.load(), !stalled);
    }
}
} // namespace
