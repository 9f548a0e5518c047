// The messaging service thread on real queues: the control thread's events
// and their acknowledgements, TERM before the network, the refusals of
// topic requests and a full queue of the thread that asked. Sockets come
// from the in-memory fabric.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace
{
using namespace std::chrono_literals;
using msltest::nextMessage;

struct Answer
{
    int32 id;
    std::string topic;
    int16 param16;
    int32 param32;
};

std::vector<Answer> drain(FwMessageQueue& q)
{
    std::vector<Answer> out;
    FwIntMessage m;
    bool more = false;
    while (q.getMessage(&m, more) == 0)
    {
        const EventMsg& e = m.appMsg.event;
        out.push_back({e.id, std::string(e.eventParam.resNameTxt, strnlen(e.eventParam.resNameTxt, 16)),
                       e.eventParam.paramInt16, e.eventParam.paramInt32});
    }
    return out;
}

std::unique_ptr<msltest::ServiceHarness> makeService(MslMemFabric& fabric, uint32 appQueueLen = 64)
{
    msltest::Options o;
    o.sockets = &fabric.host("10.0.0.1");
    o.appQueueLen = appQueueLen;
    return std::make_unique<msltest::ServiceHarness>(o);
}

TEST(MessagingServiceTest, ControlEventsAreAcknowledgedOnTheControlThreadsHighPriorityQueue)
{
    MslMemFabric fabric;
    auto h = makeService(fabric);
    h->start();
    struct Case
    {
        FwEventID sent;
        FwEventID ack;
    };
    for (const Case& c : {Case{INIT, INIT_ACK}, Case{SW_STANDBY, SW_STANDBY_ACK}, Case{SW_ACTIVE, SW_ACTIVE_ACK}})
    {
        ASSERT_EQ(h->post(MQUEUE_HIGH_PRIORITY, c.sent), 0);
        FwIntMessage ack{};
        ASSERT_TRUE(nextMessage(h->ctlHigh(), ack, 10s)) << c.sent;
        EXPECT_EQ(ack.appMsg.type, MSG_EVENT);
        EXPECT_EQ(ack.appMsg.event.id, c.ack);
        EXPECT_STREQ(ack.originatorTxt, "MSG_SERVICE");
    }
    h->stop();
    EXPECT_EQ(h->result(), 0);
    EXPECT_EQ(h->exitCode(), 0);
}

// In low-latency mode the queues are polled, not waited on: without network
// polling the wait must still return now and then, or a quiet network would
// keep even TERM from being served.
TEST(MessagingServiceTest, LowLatencyModeServesItsQueuesWithoutNetworkPolling)
{
    MslMemFabric fabric;
    msltest::Options o;
    o.sockets = &fabric.host("10.0.0.1");
    o.mode = LOW_LATENCY;
    msltest::ServiceHarness h(o);
    h.globalData().m_netPolling = false;
    h.start();
    ASSERT_EQ(h.post(MQUEUE_HIGH_PRIORITY, INIT), 0);
    FwIntMessage ack{};
    EXPECT_TRUE(nextMessage(h.ctlHigh(), ack, 10s)) << "INIT waited for network traffic";
    EXPECT_EQ(ack.appMsg.event.id, INIT_ACK);
    ASSERT_EQ(h.post(MQUEUE_HIGH_PRIORITY, TERM), 0);
    if (::testing::Test::HasFailure())
    {
        // Wake a loop that waits for the network, so that it ends.
        MslSocketSpec spec{};
        std::memcpy(spec.groupTxt, h.service().settings().requestChn.groupTxt, sizeof(IpAddress));
        spec.port = h.service().settings().requestChn.port;
        auto peer = fabric.host("10.0.0.2").open(spec);
        MslMsgHeader wake{};
        peer->send(reinterpret_cast<const char*>(&wake), sizeof wake);
    }
    h.stop();
    EXPECT_EQ(h.exitCode(), 0);
}

TEST(MessagingServiceTest, TermEndsThePassBeforeItsNetworkTraffic)
{
    MslMemFabric fabric;
    auto h = makeService(fabric);
    MessagingService& svc = h->service();
    ASSERT_EQ(svc.initialize(), 0);
    MslSocketSpec spec{};
    std::memcpy(spec.groupTxt, svc.settings().requestChn.groupTxt, sizeof(IpAddress));
    spec.port = svc.settings().requestChn.port;
    auto peer = fabric.host("10.0.0.2").open(spec);
    MslMsgHeader keepalive{};
    keepalive.cmdType = MSL_CMD_KEEPALIVE_MSG;
    std::memcpy(keepalive.senderAppIdTxt, "PEER", 5);
    keepalive.msgLen = sizeof(keepalive);

    // Without TERM one pass serves the queue and the request channel.
    ASSERT_EQ(h->post(MQUEUE_HIGH_PRIORITY, INIT), 0);
    ASSERT_EQ(peer->send(reinterpret_cast<const char*>(&keepalive), sizeof(keepalive)), 0);
    bool terminate = false;
    ASSERT_EQ(svc.runOnce(1000, terminate), 0);
    EXPECT_TRUE(svc.initReceived());
    EXPECT_EQ(svc.controlStats().rqsReceived.get(), 1u);

    // With TERM the datagram waits.
    ASSERT_EQ(peer->send(reinterpret_cast<const char*>(&keepalive), sizeof(keepalive)), 0);
    ASSERT_EQ(h->post(MQUEUE_HIGH_PRIORITY, TERM), 0);
    ASSERT_EQ(svc.runOnce(1000, terminate), 0);
    EXPECT_TRUE(terminate);
    EXPECT_EQ(svc.controlStats().rqsReceived.get(), 1u);
}

// Every refused request is answered once with its own code, and nothing of
// one answer carries into the next event: a topic that is closing is passed
// over without an answer even right after a refusal.
TEST(MessagingServiceTest, TopicRequestsRefusedOnceEachWithTheirCodes)
{
    MslMemFabric fabric;
    auto h = makeService(fabric);
    MessagingService& svc = h->service();
    ASSERT_EQ(svc.initialize(), 0);
    h->addTopic("REG", PUBLISH, RES_REGISTERED);
    h->addTopic("ACT", PUBLISH, RES_ACTIVE);
    h->addTopic("TERMD", PUBLISH, RES_TERMINATED);
    h->addTopic("SUBT", SUBSCRIBE, RES_INITIALIZED);
    h->addTopic("PUBT", PUBLISH, RES_INITIALIZED);
    const std::pair<FwEventID, const char*> requests[] = {
        {TOPIC_PUBLISH, "NOPE"},  {TOPIC_PUBLISH, "TERMD"},   {TOPIC_PUBLISH, "REG"},
        {TOPIC_PUBLISH, "TERMD"}, {TOPIC_PUBLISH, "ACT"},     {TOPIC_SUBSCRIBE, "TERMD"},
        {TOPIC_SUBSCRIBE, "PUBT"}, {TOPIC_SUBSCRIBE, "ACT"}, {TOPIC_PUBLISH, "SUBT"},
        {TOPIC_SUBSCRIBE, "REG"}, {TOPIC_SUBSCRIBE, "NOPE"},
    };
    for (const auto& [id, topic] : requests)
        ASSERT_EQ(h->postTopic(id, topic), 0);
    bool terminate = false;
    ASSERT_EQ(svc.runOnce(1000, terminate), 0);

    const std::vector<Answer> answers = drain(h->appNormal());
    const Answer expected[] = {
        {TOPIC_PUBLISH_ACK, "NOPE", -1, MSL_REC_NOT_FOUND},
        {TOPIC_PUBLISH_ACK, "REG", -1, RES_NOT_INITIALIZED},
        {TOPIC_PUBLISH_ACK, "ACT", -1, MSL_TOPIC_ALREADY_OPEN},
        {TOPIC_SUBSCRIBE_ACK, "PUBT", -1, MSL_INVALID_TOPIC_TYPE},
        {TOPIC_SUBSCRIBE_ACK, "ACT", -1, MSL_TOPIC_ALREADY_OPEN},
        {TOPIC_PUBLISH_ACK, "SUBT", -1, MSL_INVALID_TOPIC_TYPE},
        {TOPIC_SUBSCRIBE_ACK, "REG", -1, RES_NOT_INITIALIZED},
        {TOPIC_SUBSCRIBE_ACK, "NOPE", -1, MSL_REC_NOT_FOUND},
    };
    ASSERT_EQ(answers.size(), std::size(expected));
    for (size_t i = 0; i < answers.size(); ++i)
    {
        EXPECT_EQ(answers[i].id, expected[i].id) << i;
        EXPECT_EQ(answers[i].topic, expected[i].topic) << i;
        EXPECT_EQ(answers[i].param16, expected[i].param16) << i;
        EXPECT_EQ(answers[i].param32, expected[i].param32) << i;
    }
}

TEST(MessagingServiceTest, OverrideTurnsASubscriberTopicIntoAPublisher)
{
    MslMemFabric fabric;
    auto h = makeService(fabric);
    MessagingService& svc = h->service();
    ASSERT_EQ(svc.initialize(), 0);
    MsgTopicResource* sub = h->addTopic("SUBT", SUBSCRIBE, RES_INITIALIZED);
    MsgTopicResource* pub = h->addTopic("PUBT", PUBLISH, RES_INITIALIZED);
    ASSERT_EQ(h->postTopic(TOPIC_PUBLISH, "SUBT", 1), 0);
    ASSERT_EQ(h->postTopic(TOPIC_SUBSCRIBE, "PUBT", 1), 0);
    bool terminate = false;
    ASSERT_EQ(svc.runOnce(1000, terminate), 0);
    EXPECT_EQ(sub->regParam.openType, PUBLISH);
    EXPECT_EQ(pub->regParam.openType, SUBSCRIBE);
    for (const Answer& a : drain(h->appNormal()))
        EXPECT_NE(a.param32, MSL_INVALID_TOPIC_TYPE) << a.topic;
}

TEST(MessagingServiceTest, FullQueueOfTheAskingThreadIsLoggedAndPassedOver)
{
    MslMemFabric fabric;
    auto h = makeService(fabric, 8);
    MessagingService& svc = h->service();
    ASSERT_EQ(svc.initialize(), 0);
    FwIntMessage filler{};
    filler.appMsg.type = MSG_EVENT;
    int held = 0;
    while (h->appNormal().putMessage(&filler) == 0)
        ++held;
    ASSERT_GT(held, 0);

    testLog().clear();
    ASSERT_EQ(h->postTopic(TOPIC_SUBSCRIBE, "NOPE"), 0);
    ASSERT_EQ(h->postTopic(TOPIC_PUBLISH, "NOPE"), 0);
    ASSERT_EQ(h->post(MQUEUE_NORMAL, INIT), 0);
    bool terminate = false;
    ASSERT_EQ(svc.runOnce(1000, terminate), 0);
    EXPECT_TRUE(testLog().contains("The message queue of [APP1] is full. Discard event TOPIC_SUBSCRIBE_ACK and continue."));
    EXPECT_TRUE(testLog().contains("The message queue of [APP1] is full. Discard event TOPIC_PUBLISH_ACK and continue."));
    EXPECT_FALSE(testLog().contains("Error [200] processing event message"));
    // The event behind them was served in the same batch.
    FwIntMessage ack{};
    ASSERT_TRUE(nextMessage(h->ctlHigh(), ack, 0ms));
    EXPECT_EQ(ack.appMsg.event.id, INIT_ACK);

    // With room again the refusal arrives.
    bool more = false;
    ASSERT_EQ(h->appNormal().getMessage(&filler, more), 0);
    ASSERT_EQ(h->postTopic(TOPIC_SUBSCRIBE, "NOPE"), 0);
    ASSERT_EQ(svc.runOnce(1000, terminate), 0);
    const std::vector<Answer> answers = drain(h->appNormal());
    ASSERT_EQ(answers.size(), static_cast<size_t>(held));
    EXPECT_EQ(answers.back().id, TOPIC_SUBSCRIBE_ACK);
    EXPECT_EQ(answers.back().param32, MSL_REC_NOT_FOUND);
}
// The names of the framework's own topics are cut to a resource name as the
// registry cuts them; an MRM instance reads its partition from its id.
TEST(MessagingServiceTest, FrameworkTopicNamesAndTheMrmPartition)
{
    struct Case
    {
        const char* appId;
        int32 inst;
        bool mrm;
        const char* recovery;
        const char* replication;
        int32 partition;
    };
    const Case cases[] = {
        {"ABCDEFGH", 12, false, "ABCDEFGH:12_RECO", "ABCDEFGH_FW_REPL", -1},
        {"ABCDEFGH", 123, false, "ABCDEFGH:123_REC", "ABCDEFGH_FW_REPL", -1},
        {"APP", 0, false, "APP:0_RECO", "APP_FW_REPL", -1},
        {"MRM3", 1, true, "MRM3:1_RECO", "MRM3_FW_REPL", 3},
        {"MRM3", 1, false, "MRM3:1_RECO", "MRM3_FW_REPL", -1}, // not an MRM instance
        {"MRM12", 0, true, "MRM12:0_RECO", "MRM12_FW_REPL", -1}, // no such partition
        {"MRMX", 0, true, "MRMX:0_RECO", "MRMX_FW_REPL", -1},
        {"MR", 0, true, "MR:0_RECO", "MR_FW_REPL", -1}, // not of the base name
    };
    for (const Case& c : cases)
    {
        MslMemFabric fabric;
        msltest::Options o;
        o.appId = c.appId;
        o.inst = c.inst;
        o.sockets = &fabric.host("10.0.0.1");
        o.adjust = [&](GlobalData& gd) {
            gd.m_repliServiceEnabled = true;
            gd.m_mrmApplication = c.mrm;
            std::strcpy(gd.m_mrmBaseName, "MRM");
        };
        msltest::ServiceHarness h(o);
        EXPECT_STREQ(h.service().recovTopicNameTxt(), c.recovery) << c.appId;
        EXPECT_STREQ(h.service().repliTopicNameTxt(), c.replication) << c.appId;
        EXPECT_EQ(h.service().mrmPartitionId(), c.partition) << c.appId;
    }
}
} // namespace
