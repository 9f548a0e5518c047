// Random datagrams into a service's topic data and acknowledgement paths:
// sizes around every record's own, random bytes, with the topic names,
// commands and lengths that reach the deeper checks often enough (bogus
// bodyLen, dataLen over 1200, negative part numbers, later parts without a
// first, joins past the largest message). Under the sanitizers nothing may
// read or write out of bounds, and every datagram ends in exactly one of the
// outcomes the service counts. Seeded; MSL_RANDOM_TOPIC_DATAGRAMS sets how
// many.
#include "FendralCore/tests/msltopics/TopicTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <random>

namespace
{
using namespace topictest;

TEST(TopicRandomTest, RandomDatagramsIntoTheDataAndAcknowledgementPaths)
{
    const char* env = std::getenv("MSL_RANDOM_TOPIC_DATAGRAMS");
    const int count = env != nullptr ? std::atoi(env) : 40000;
    MslMemFabric fabric;
    msltest::Options o;
    o.appId = "SELF";
    o.inst = 2;
    o.sockets = &fabric.host("127.0.0.1");
    o.config = "MSL_LOOPBACK INT32 1\nRQS_TIMEOUT INT32 20\nMSL_TM_INTERVAL INT32 10\nMSL_RESEND_THOLD INT32 1\n";
    o.appQueueLen = 4096;
    msltest::ServiceHarness h(o);
    MessagingService& svc = h.service();
    // Opened at start: a subscription without publisher, a publisher
    // without subscribers.
    h.addTopic("SUBT", SUBSCRIBE, RES_REGISTERED);
    h.addTopic("PUBT", PUBLISH, RES_REGISTERED);
    ASSERT_EQ(svc.initialize(), 0);
    bool terminate = false;
    h.post(MQUEUE_HIGH_PRIORITY, INIT);
    h.post(MQUEUE_HIGH_PRIORITY, CONN_INIT);
    ResourceName subName{}, pubName{};
    ResourceManager::copyResourceName(subName, "SUBT");
    ResourceManager::copyResourceName(pubName, "PUBT");
    ASSERT_TRUE(h.passUntil([&] {
        const SubscriptionRecord* s = svc.findSubscription(subName);
        const TopicRecord* t = svc.findTopic(pubName);
        return s != nullptr && s->subscribeReady && t != nullptr && t->publishReady.load();
    }));
    TopicRecord* pub = svc.findTopic(pubName);
    // Something to acknowledge.
    for (int i = 0; i < 50; ++i)
    {
        uint64 seq = 0;
        pub->publisherTopicPtr->sendMessage("p", 1, seq, 0, false, nullptr, 0, false);
    }

    std::mt19937_64 rng(20260412);
    auto pick = [&](uint64 n) { return static_cast<uint64>(rng() % n); };
    alignas(8) char buf[MessagingService::TOPIC_RCV_BUF_SIZE];
    const MslTopicStats& s = svc.topicStats();
    PeerLogLimit limit;
    uint64 seqHint = 1;
    for (int i = 0; i < count; ++i)
    {
        static const int NEAR[] = {0, 1, 71, 72, 73, 93, 94, 95, 97, 98, 99, 105, 106, 107, 1293, 1294, 1295, 1395,
                                   1396, 1397, 1467, 1468};
        const int len = pick(2) == 0 ? NEAR[pick(std::size(NEAR))] : static_cast<int>(pick(1469));
        for (int b = 0; b < len; ++b)
            buf[b] = static_cast<char>(rng());
        auto put = [&](size_t at, uint64_t v, size_t n) {
            if (at + n <= static_cast<size_t>(len))
                for (size_t k = 0; k < n; ++k)
                    buf[at + k] = static_cast<char>((v >> (8 * k)) & 0xFF);
        };
        static const uint32 CMDS[] = {13, 14, 15, 16, 19, 20, 21, 0, 99};
        put(CMD, CMDS[pick(std::size(CMDS))], 4);
        if (pick(4) != 0)
            put(BODY_LEN, static_cast<uint64>(len >= 72 ? len - 72 : 0) + (pick(8) == 0 ? pick(3) : 0), 4);
        const bool toAck = pick(3) == 0;
        if (pick(3) != 0)
        {
            // Acknowledgements for the published topic, data mostly for the
            // subscribed one (data of the published one is a conflict).
            const char* name = toAck || pick(30) == 0 ? "PUBT" : "SUBT";
            if (static_cast<size_t>(len) >= TOPIC + 17)
            {
                std::memset(buf + TOPIC, 0, 17);
                std::memcpy(buf + TOPIC, name, 4);
            }
        }
        if (pick(2) == 0)
            put(DATA_LEN, static_cast<uint64>(len >= 94 ? len - 94 : 0) + (pick(6) == 0 ? 1200 : 0), 4);
        if (pick(2) == 0)
        {
            // Numbers near what was accepted, parts that join or do not.
            seqHint += pick(3);
            put(SEQ, seqHint, 8);
            const int64_t part = pick(5) == 0 ? -1 - static_cast<int64_t>(pick(3)) : static_cast<int64_t>(pick(30));
            put(PART, static_cast<uint64>(part), 4);
            put(MORE, pick(3) == 0 ? 0 : 1, 1);
        }
        if (pick(4) == 0)
        {
            put(SENDER, 0x464c4553, 4); // "SELF"
            put(SENDER + 4, 0, 4);
            put(SENDER_INST, 2, 4);
        }
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = inet_addr(pick(3) == 0 ? "127.0.0.1" : "10.9.9.9");
        const timespec now{1700000000, 0};
        if (toAck)
            ASSERT_EQ(svc.processTopicAck(buf, len, from, 1000 + i, limit), 0);
        else
            svc.processTopicData(buf, len, from, now, 1000 + i, pick(4) == 0, limit);
        if (i % 500 == 499)
        {
            svc.runOnce(0, terminate);
            // A conflict or a message past the largest size closed a topic:
            // open it again.
            if (svc.findTopic(pubName) == nullptr)
            {
                h.postTopic(TOPIC_PUBLISH, "PUBT");
                ASSERT_TRUE(h.passUntil([&] {
                    const TopicRecord* t = svc.findTopic(pubName);
                    return t != nullptr && t->publishReady.load();
                }));
                pub = svc.findTopic(pubName);
                uint64 seq = 0;
                pub->publisherTopicPtr->sendMessage("p", 1, seq, 0, false, nullptr, 0, false);
            }
            if (svc.findSubscription(subName) == nullptr)
            {
                h.postTopic(TOPIC_SUBSCRIBE, "SUBT");
                ASSERT_TRUE(h.passUntil([&] {
                    const SubscriptionRecord* t = svc.findSubscription(subName);
                    return t != nullptr && t->subscribeReady;
                }));
            }
            testLog().clear();
        }
    }
    EXPECT_EQ(s.dataReceived.get(), s.dataShort.get() + s.dataBadSize.get() + s.dataBadBody.get() +
                                        s.dataOwnLoopback.get() + s.dataUnexpected.get() +
                                        s.dataNoSubscription.get() + s.conflicts.get() + s.dataHandled.get());
    EXPECT_EQ(s.ackReceived.get(),
              s.ackBadSize.get() + s.ackOwnLoopback.get() + s.ackNoTopic.get() + s.ackHandled.get());
    // Every kind of outcome was reached.
    for (const MslTopicStats::Counter* c : {&s.dataShort, &s.dataBadSize, &s.dataBadBody, &s.dataOwnLoopback,
                                           &s.dataUnexpected, &s.dataNoSubscription, &s.dataHandled,
                                           &s.ackBadSize, &s.ackHandled})
        EXPECT_GT(c->get(), 0u);
}
} // namespace
