// Publishers and subscribers in processes of their own, over real multicast
// on the loopback interface: the handshakes in both orders, refusals, the
// conflict, malformed datagrams, leaving, and promoting a passive
// subscriber.
#include "FendralCore/tests/msltopics/MslPeerProcess.h"
#include "FendralCore/tests/msltopics/TopicTestSupport.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>

namespace
{
using namespace std::chrono_literals;
using msltest::PeerEvent;
using msltest::PeerProcess;
using msltest::PeerTopic;

constexpr int RQS_TIMEOUT_MS = 40;
constexpr int RESEND_THOLD = 2;

class MslTopicPeersTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RecordProperty("network", msltest::isolateNetwork() ? "namespace" : "host loopback");
    }

    std::string config(const std::string& more = "") const
    {
        return m_plan.config() + "RQS_TIMEOUT INT32 " + std::to_string(RQS_TIMEOUT_MS) +
               "\nMSL_TM_INTERVAL INT32 10\nMSL_RESEND_THOLD INT32 " + std::to_string(RESEND_THOLD) +
               "\nSUBSCRIB_STS_EVT UINT32 1\n" + more;
    }

    // A datagram of the test's own to the topics' data channel.
    void sendRaw(const std::string& bytes) const
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        in_addr lo{};
        lo.s_addr = inet_addr("127.0.0.1");
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_plan.dataPort);
        to.sin_addr.s_addr = inet_addr(m_plan.dataGroup.c_str());
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        ::close(fd);
    }

    msltest::PeerPlan m_plan;
};

int64 elapsedMs(const PeerEvent& from, const PeerEvent& to)
{
    return to.atMs - from.atMs;
}

TEST_F(MslTopicPeersTest, SubscriptionFirstIsReadyWithoutPublisherThenJoined)
{
    PeerProcess sub("SUBA", 1, config(), {{"QUOTES", SUBSCRIBE}});
    PeerProcess pub("PUBA", 1, config(), {{"QUOTES", PUBLISH}});
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUB_READY_TO_OPEN, "QUOTES"));
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));

    sub.command(PeerProcess::CMD_SUBSCRIBE, "QUOTES");
    PeerEvent ready;
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUBSCRIBE_ACK, "QUOTES", &ready)) << sub.history();
    EXPECT_EQ(ready.p16, 0);
    EXPECT_EQ(ready.p32, 0) << "no publisher yet";

    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    PeerEvent published;
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES", &published)) << pub.history();
    EXPECT_EQ(published.p16, 0);
    EXPECT_EQ(published.p32, 1) << "the subscription answered";
    PeerEvent joined;
    ASSERT_TRUE(sub.waitEvent(TOPIC_PUBLISHER_JOINED, "QUOTES", &joined)) << sub.history();
    EXPECT_STREQ(joined.appId, "PUBA");
    EXPECT_EQ(joined.p64, 1);

    pub.command(PeerProcess::CMD_SEND, "QUOTES", 50, 100);
    const std::vector<PeerEvent> got = sub.data(50);
    ASSERT_EQ(got.size(), 50u);
    for (size_t i = 0; i < got.size(); ++i)
    {
        EXPECT_EQ(got[i].p64, static_cast<int64>(i + 1));
        EXPECT_STREQ(got[i].data, std::to_string(i + 1).c_str());
    }
}

TEST_F(MslTopicPeersTest, PublisherFirstConfirmsAfterItsRequestsThenAcceptsASubscription)
{
    PeerProcess pub("PUBA", 1, config(), {{"QUOTES", PUBLISH}});
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    PeerEvent asked{};
    asked.atMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    PeerEvent published;
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES", &published)) << pub.history();
    EXPECT_EQ(published.p16, 0);
    EXPECT_EQ(published.p32, 0) << "nobody answered";
    // The request went out (resend threshold + 1) times, a time-out apart.
    EXPECT_GE(elapsedMs(asked, published), RESEND_THOLD * RQS_TIMEOUT_MS);

    PeerProcess sub("SUBA", 1, config(), {{"QUOTES", SUBSCRIBE}});
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUB_READY_TO_OPEN, "QUOTES"));
    sub.command(PeerProcess::CMD_SUBSCRIBE, "QUOTES");
    PeerEvent ready;
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUBSCRIBE_ACK, "QUOTES", &ready)) << sub.history();
    EXPECT_EQ(ready.p32, 1) << "the publisher answered";
    EXPECT_STREQ(ready.appId, "PUBA");
    // Its first acknowledgement makes it count at the publisher.
    PeerEvent first;
    ASSERT_TRUE(pub.waitEvent(FIRST_SUBSCRIBER_JOINED, "QUOTES", &first)) << pub.history();
    EXPECT_STREQ(first.appId, "SUBA");

    pub.command(PeerProcess::CMD_SEND, "QUOTES", 20, 3000);
    const std::vector<PeerEvent> got = sub.data(40);
    ASSERT_EQ(got.size(), 40u) << "20 messages of two chunks";
    for (size_t i = 0; i < got.size(); i += 2)
    {
        EXPECT_EQ(got[i].p64, static_cast<int64>((i / 2 + 1) * 3)) << "three parts each";
        EXPECT_EQ(got[i].dataLen, 2200u);
        EXPECT_EQ(got[i + 1].dataLen, 800u);
    }
}

TEST_F(MslTopicPeersTest, ALaterSecondPublisherIsRefused)
{
    PeerProcess first("PUBA", 1, config(), {{"QUOTES", PUBLISH}});
    PeerProcess second("PUBB", 1, config(), {{"QUOTES", PUBLISH}});
    ASSERT_TRUE(first.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    ASSERT_TRUE(second.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    first.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    PeerEvent ok;
    ASSERT_TRUE(first.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES", &ok));
    ASSERT_EQ(ok.p16, 0);

    second.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    PeerEvent refused;
    ASSERT_TRUE(second.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES", &refused)) << second.history();
    EXPECT_EQ(refused.p16, -1);
    EXPECT_EQ(refused.p32, MSL_PUB_TOPIC_EXIST);
    // It gave the topic up: it may ask again, and is refused again.
    second.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    ASSERT_TRUE(second.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES", &refused)) << second.history();
    EXPECT_EQ(refused.p32, MSL_PUB_TOPIC_EXIST);
}

TEST_F(MslTopicPeersTest, NoTopicRecordLeftAnswers2104)
{
    PeerProcess pub("PUBA", 1, config("TOPIC_MAX INT32 2\n"),
                    {{"T1", PUBLISH}, {"T2", PUBLISH}, {"T3", PUBLISH}});
    for (const char* t : {"T1", "T2", "T3"})
        ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, t, nullptr, 20s)) << t;
    for (const char* t : {"T1", "T2", "T3"})
        pub.command(PeerProcess::CMD_PUBLISH, t);
    PeerEvent full;
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "T3", &full)) << pub.history();
    EXPECT_EQ(full.p16, -1);
    EXPECT_EQ(full.p32, MSL_LIST_FULL);
}

// A publisher hears data of a topic it publishes when it also subscribes on
// that channel pair: the other publisher wins, this one gives its topic up.
TEST_F(MslTopicPeersTest, DataOfATopicItPublishesIsAConflict)
{
    PeerProcess pub("PUBA", 1, config(), {{"QUOTES", PUBLISH}, {"OTHER", SUBSCRIBE}});
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    ASSERT_TRUE(pub.waitEvent(TOPIC_SUB_READY_TO_OPEN, "OTHER"));
    pub.command(PeerProcess::CMD_SUBSCRIBE, "OTHER");
    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    ASSERT_TRUE(pub.waitEvent(TOPIC_SUBSCRIBE_ACK, "OTHER"));
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES"));

    topictest::DataSpec d;
    d.topic = "QUOTES";
    d.sender = "ROGUE";
    d.seq = 1;
    sendRaw(topictest::dataDatagram(d));
    PeerEvent conflict;
    ASSERT_TRUE(pub.waitEvent(TOPIC_CONFLICT, "QUOTES", &conflict, 5s)) << pub.history() << " received "
                                                                   << pub.counters()[PeerProcess::DATA_RECEIVED];
    EXPECT_EQ(pub.counters()[PeerProcess::CONFLICTS], 1u);
    // The topic is closed: it can be opened again.
    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    PeerEvent again;
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES", &again)) << pub.history();
    EXPECT_EQ(again.p16, 0);
}

TEST_F(MslTopicPeersTest, DatagramsShorterThanTheirHeaderOrBodyAreDropped)
{
    PeerProcess sub("SUBA", 1, config(), {{"QUOTES", SUBSCRIBE}});
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUB_READY_TO_OPEN, "QUOTES"));
    sub.command(PeerProcess::CMD_SUBSCRIBE, "QUOTES");
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUBSCRIBE_ACK, "QUOTES"));

    // 71 bytes: not even a header. 72 bytes, a heartbeat of body length 0:
    // a header, and the size it announces, but no heartbeat in it.
    std::string hb = topictest::heartbeatDatagram("QUOTES", "PUBA", 5).substr(0, 72);
    topictest::putLe(hb, topictest::BODY_LEN, 0, 4);
    sendRaw(hb.substr(0, 71));
    sendRaw(hb);
    // A heartbeat announcing more than it holds.
    std::string longer = topictest::heartbeatDatagram("QUOTES", "PUBA", 5);
    topictest::putLe(longer, topictest::BODY_LEN, 200, 4);
    sendRaw(longer);
    std::vector<uint64> c;
    ASSERT_TRUE(processtest::waitFor(
        [&] {
            c = sub.counters();
            return c.size() > PeerProcess::DATA_RECEIVED && c[PeerProcess::DATA_RECEIVED] >= 3;
        },
        20s));
    EXPECT_EQ(c[PeerProcess::DATA_SHORT], 1u);
    EXPECT_EQ(c[PeerProcess::DATA_BAD_SIZE], 1u);
    EXPECT_EQ(c[PeerProcess::DATA_BAD_BODY], 1u);
    EXPECT_EQ(c[PeerProcess::GAPS], 0u) << "none of them reached the topic";
}

TEST_F(MslTopicPeersTest, AGracefulLeaveIsAcknowledgedAfterTheNotificationWaited)
{
    PeerProcess sub("SUBA", 1, config(), {{"QUOTES", SUBSCRIBE}});
    PeerProcess pub("PUBA", 1, config(), {{"QUOTES", PUBLISH}});
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUB_READY_TO_OPEN, "QUOTES"));
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    sub.command(PeerProcess::CMD_SUBSCRIBE, "QUOTES");
    ASSERT_TRUE(sub.waitEvent(TOPIC_SUBSCRIBE_ACK, "QUOTES"));
    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES"));
    pub.command(PeerProcess::CMD_SEND, "QUOTES", 5, 10);
    ASSERT_EQ(sub.data(5).size(), 5u);

    PeerEvent asked{};
    asked.atMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
    pub.command(PeerProcess::CMD_LEAVE_PUB, "QUOTES");
    PeerEvent left;
    ASSERT_TRUE(sub.waitEvent(TOPIC_PUBLISHER_LEFT, "QUOTES", &left)) << sub.history();
    EXPECT_STREQ(left.appId, "PUBA");
    PeerEvent done;
    ASSERT_TRUE(pub.waitEvent(TOPIC_LEAVE_PUB_ACK, "QUOTES", &done)) << pub.history();
    EXPECT_GE(elapsedMs(asked, done), RESEND_THOLD * RQS_TIMEOUT_MS);
    EXPECT_GE(done.atMs, left.atMs) << "subscribers hear of it first";
}

TEST_F(MslTopicPeersTest, APassiveSubscriberIsPromotedWhenTheActiveOneLeaves)
{
    PeerProcess pub("PUBA", 1, config(), {{"QUOTES", PUBLISH}});
    PeerProcess active("SUBA", 1, config(), {{"QUOTES", SUBSCRIBE}});
    PeerTopic passiveTopic{"QUOTES", SUBSCRIBE};
    passiveTopic.activeSubscriber = false;
    PeerProcess passive("SUBP", 1, config(), {passiveTopic});
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES"));
    for (PeerProcess* s : {&active, &passive})
    {
        ASSERT_TRUE(s->waitEvent(TOPIC_SUB_READY_TO_OPEN, "QUOTES"));
        s->command(PeerProcess::CMD_SUBSCRIBE, "QUOTES");
        ASSERT_TRUE(s->waitEvent(TOPIC_SUBSCRIBE_ACK, "QUOTES")) << s->history();
    }
    PeerEvent joined;
    ASSERT_TRUE(pub.waitEvent(FIRST_SUBSCRIBER_JOINED, "QUOTES", &joined)) << pub.history();
    EXPECT_STREQ(joined.appId, "SUBA") << "the passive one does not acknowledge";

    active.command(PeerProcess::CMD_LEAVE_SUB, "QUOTES");
    ASSERT_TRUE(active.waitEvent(TOPIC_LEAVE_SUB_ACK, "QUOTES"));
    ASSERT_TRUE(pub.waitEvent(LAST_SUBSCRIBER_LEFT, "QUOTES")) << pub.history();
    ASSERT_TRUE(pub.waitEvent(FIRST_SUBSCRIBER_JOINED, "QUOTES", &joined)) << pub.history();
    EXPECT_STREQ(joined.appId, "SUBP") << "promoted, it acknowledges";

    pub.command(PeerProcess::CMD_SEND, "QUOTES", 30, 10);
    EXPECT_EQ(passive.data(30).size(), 30u);
}
} // namespace
