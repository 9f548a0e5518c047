#include "OpsHarness.h"

#include "FendralCore/tests/support/RecordingTopic.h"

#include "FendralCore/dispatch/MulticastSocket.h"

// UDP channels and topics with output replication hand their data to
// MSG_REPLICATOR as thread data naming the channel, the forwarding thread and
// the application's sequence number; the channel itself sends nothing. A
// forwarding thread on a pipeline channel is refused, and a congested topic
// takes nothing.
TEST(DispatchOutputReplication, UdpAndTopicDataGoesToTheReplicator)
{
    GlobalData& gd = GlobalData::getInst();
    const bool saved = gd.m_repliServiceEnabled;
    gd.m_repliServiceEnabled = true;
    {
        OpsHarness h;
        MulticastSocket sock(MULTICAST_SEND, "127.0.0.1", "239.255.72.5", 9, false, 1, DISABLE_MCAST_LOOPBACK, -1,
                             -1);
        ASSERT_EQ(sock.initialize(), 0);
        UdpConnResource* udp = h.addUdp("MCR", MULTICAST_SENDER_MODE);
        udp->regParam.replicationMode = INPUT_OUTPUT_REPLICATION;
        udp->multicastSockPtr = &sock;
        RecordingTopic topic;
        MsgTopicResource* tp = h.addTopic("TPR", PUBLISH, PRIORITY_CHANNEL);
        tp->regParam.replicationMode = OUTPUT_REPLICATION;
        tp->msgTopicPtr = &topic;

        struct Case
        {
            const char* what;
            std::function<int32(MsgDispatcher&)> send;
            MessageQueueType queue;
            ExtChannelType chnType;
            const char* channel;
            uint64 applSeq;
        };
        uint64 seq = 99;
        const std::string payload(3000, 'r');
        const auto len = static_cast<int32>(payload.size());
        const std::vector<Case> cases = {
            {"udp", [&](MsgDispatcher& md) { return md.sendUdpMessage("MCR", payload.data(), len, "PEER"); },
             MQUEUE_NORMAL, UDP_CHANNEL, "MCR", 0},
            {"topic", [&](MsgDispatcher& md) { return md.sendTopicMessage("TPR", payload.data(), len, seq, 42, "PEER"); },
             MQUEUE_HIGH_PRIORITY, MSG_TOPIC_CHANNEL, "TPR", 42},
        };
        for (const Case& c : cases)
        {
            SCOPED_TRACE(c.what);
            const auto [rc, code] = h.call(c.send);
            EXPECT_EQ(rc, 0) << code;
            const std::vector<FwIntMessage> parts = h.drainFramework("MSG_REPLICATOR", c.queue);
            ASSERT_EQ(parts.size(), 2u);
            std::string joined;
            for (const FwIntMessage& m : parts)
            {
                const Data_t& d = m.appMsg.data;
                EXPECT_EQ(d.chnType, c.chnType);
                EXPECT_STREQ(d.channelNameTxt, c.channel);
                EXPECT_EQ(d.dataDir, OUTGOING_DATA);
                EXPECT_EQ(d.applMsgSeq, c.applSeq);
                EXPECT_EQ(d.msgTopicSeq, reinterpret_cast<uint64>(h.m_peer));
                joined.append(d.buffer, d.dataLen);
            }
            EXPECT_EQ(joined, payload);
        }
        EXPECT_EQ(seq, 0u);
        EXPECT_TRUE(topic.sent().empty()) << "the replicator publishes, not the application thread";

        tp->congested = true;
        auto [rc, code] = h.call([&](MsgDispatcher& md) { return md.sendTopicMessage("TPR", "x", 1, seq); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(code, WOULD_BLOCK);
        tp->congested = false;
        tp->regParam.channelType = PIPELINE_CHANNEL;
        udp->regParam.channelType = PIPELINE_CHANNEL;
        std::tie(rc, code) = h.call([&](MsgDispatcher& md) { return md.sendTopicMessage("TPR", "x", 1, seq, 0, "PEER"); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(code, INVALID_FUNC_ARG);
        std::tie(rc, code) = h.call([&](MsgDispatcher& md) { return md.sendUdpMessage("MCR", "x", 1, "PEER"); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(code, INVALID_FUNC_ARG);
        EXPECT_TRUE(testLog().contains(
            "Outgoing multicast channel [MCR] message forwarding is not supported when pipeline is used"));
        for (MessageQueueType q : {MQUEUE_NORMAL, MQUEUE_HIGH_PRIORITY})
            EXPECT_TRUE(h.drainFramework("MSG_REPLICATOR", q).empty());
        tp->msgTopicPtr = nullptr;
    }
    gd.m_repliServiceEnabled = saved;
}
