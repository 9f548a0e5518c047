// The control records byte for byte, against the tests' own encoder: every
// record the protocol defines, and the requests and answers the service
// composes; the answer pairs; the two request id counters.
#include "MslWireBytes.h"

#include "FendralCore/messaging/MslProtocol.h"
#include "FendralCore/messaging/MslRequestIds.h"
#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
using msltest::hex;
using msltest::WireBytes;

template <typename Record>
std::string bytesOf(const Record& r)
{
    return std::string(reinterpret_cast<const char*>(&r), sizeof(r));
}

void fillHeader(MslMsgHeader& h, uint32 cmd, uint32 len)
{
    h.cmdType = cmd;
    h.tm = MslWireTime{0x1122334455667788, 999999999};
    std::memcpy(h.senderAppIdTxt, "SENDER01", 9);
    std::memcpy(h.recipientAppIdTxt, "RCPT", 5);
    h.senderInstId = -2;
    h.recipientInstId = 7;
    h.senderSiteId = 1;
    h.recipientSiteId = 0;
    h.rqsId = 0xF0000001u;
    h.resendCount = 3;
    h.msgLen = len;
}

WireBytes expectHeader(uint32 cmd, size_t len)
{
    WireBytes b(len);
    b.header(cmd, 0x1122334455667788, 999999999, "SENDER01", -2, 1, "RCPT", 7, 0, 0xF0000001u, 3);
    return b;
}

struct GoldenCase
{
    const char* name;
    std::function<std::string()> encode;
    std::function<std::string()> expected;
};

const GoldenCase GOLDEN[] = {
    {"keepalive header",
     [] {
         MslMsgHeader h{};
         fillHeader(h, MSL_CMD_KEEPALIVE_MSG, 66);
         return bytesOf(h);
     },
     [] { return expectHeader(22, 66).str(); }},
    {"request",
     [] {
         MslMsgRqs r{};
         fillHeader(r.hdr, PUBLISHER_LEAVE_TOPIC_NOTIFICATION, 99);
         std::memcpy(r.topicNameTxt, "QUOTES.FEED.ABCD", 17);
         r.lastMsgTopicSeq = 0x0102030405060708;
         r.reasonCode = 9998;
         r.numUnackMsgMax = 0xA0B0C0D0;
         return bytesOf(r);
     },
     [] {
         return expectHeader(5, 99)
             .text(66, "QUOTES.FEED.ABCD")
             .u64(83, 0x0102030405060708)
             .i32(91, 9998)
             .u32(95, 0xA0B0C0D0)
             .str();
     }},
    {"answer",
     [] {
         MslMsgAck a{};
         fillHeader(a.hdr, PUBLISHER_TOPIC_ACK, 107);
         std::memcpy(a.topicNameTxt, "Q", 2);
         a.status = -1;
         a.lastMsgSeq = 0xFFFFFFFFFFFFFFFE;
         a.errorCode = static_cast<int32>(0x80000000u | 2100);
         a.mrmPartitionId = 8;
         a.numUnackMsgMax = 10;
         return bytesOf(a);
     },
     [] {
         return expectHeader(1, 107)
             .text(66, "Q")
             .i32(83, -1)
             .u64(87, 0xFFFFFFFFFFFFFFFE)
             .u32(95, 0x80000000u | 2100)
             .i32(99, 8)
             .u32(103, 10)
             .str();
     }},
    {"publisher confirmation",
     [] {
         MslPubTopicConfirm c{};
         fillHeader(c.hdr, PUBLISHER_TOPIC_CONFIRM, 111);
         std::memcpy(c.topicNameTxt, "T1", 3);
         c.lastMsgTopicSeq = 42;
         c.lastMsgTopicSentTime = MslWireTime{1700000001, 5};
         c.numUnackMsgMax = 77;
         return bytesOf(c);
     },
     [] {
         return expectHeader(2, 111).text(66, "T1").u64(83, 42).i64(91, 1700000001).i64(99, 5).u32(107, 77).str();
     }},
    {"data recovery answer",
     [] {
         MslDataRecoveryRsp r{};
         fillHeader(r.hdr, DATA_RECOVERY_RSP, 107);
         std::memcpy(r.topicNameTxt, "T2", 3);
         r.status = -1;
         r.errorCode = 2118;
         r.beginResendMsgSeq = 501;
         r.endResendMsgSeq = 1500;
         return bytesOf(r);
     },
     [] { return expectHeader(8, 107).text(66, "T2").i32(83, -1).i32(87, 2118).u64(91, 501).u64(99, 1500).str(); }},
    {"tail-lost recovery answer",
     [] {
         MslTailLostRecoveryRsp r{};
         fillHeader(r.hdr, TAIL_LOST_RECOVERY_RSP, 107);
         std::memcpy(r.topicNameTxt, "T3", 3);
         r.status = 0;
         r.errorCode = 255;
         r.beginResendMsgSeq = 1;
         r.endResendMsgSeq = 2;
         return bytesOf(r);
     },
     [] { return expectHeader(12, 107).text(66, "T3").i32(87, 255).u64(91, 1).u64(99, 2).str(); }},
    {"MRM heartbeat",
     [] {
         MslMrmHeartbeat h{};
         fillHeader(h.hdr, MSL_MRM_HEARTBEAT, 100);
         std::memcpy(h.localTopicNameTxt, "MRM0:1L", 8);
         std::memcpy(h.crossSiteTopicNameTxt, "MRM0:1C", 8);
         return bytesOf(h);
     },
     [] { return expectHeader(24, 100).text(66, "MRM0:1L").text(83, "MRM0:1C").str(); }},
};

TEST(MslProtocolTest, EveryControlRecordMatchesItsBytes)
{
    for (const GoldenCase& c : GOLDEN)
        EXPECT_EQ(hex(c.encode()), hex(c.expected())) << c.name;
}

// Requests and answers as the service composes them: sender identity from
// the process, the id of the request's counter, the time of the service's
// clock; an answer pairs its command and echoes the request.
TEST(MslProtocolTest, ComposedRequestAndAnswerBytes)
{
    MslMemFabric fabric;
    msltest::ManualClock clock;
    clock.setWallSec(1700000123);
    msltest::Options o;
    o.appId = "PUBAPP01";
    o.inst = 4;
    o.sockets = &fabric.host("10.0.0.1");
    o.clock = &clock;
    msltest::ServiceHarness h(o);
    MessagingService& svc = h.service();

    MslMsgRqs& r = svc.composeRequest(SUBSCRIBER_TOPIC_RQS, "QUOTES", 0x1234);
    r.reasonCode = static_cast<int32>(MslProtocol::PASSIVE_SUBSCRIBER_BIT);
    EXPECT_EQ(hex(bytesOf(r)), hex(WireBytes(99)
                                       .header(3, 1700000123, 0, "PUBAPP01", 4, 0, "", 0, 0, 1, 0)
                                       .text(66, "QUOTES")
                                       .u64(83, 0x1234)
                                       .u32(91, 0x80000000u)
                                       .str()));

    // A request a peer sent, answered.
    MslMsgRqs peer{};
    peer.hdr.cmdType = MSL_SW_ACTIVE_SUBSCRIBER_RQS;
    std::memcpy(peer.hdr.senderAppIdTxt, "PEER", 5);
    peer.hdr.senderInstId = 9;
    peer.hdr.senderSiteId = DR_SITE;
    peer.hdr.rqsId = 0xEFFFFFFF;
    peer.hdr.resendCount = 2;
    std::memcpy(peer.topicNameTxt, "QUOTES", 7);
    const MslMsgAck& a = svc.composeAnswer(peer, 77, -1, 2124);
    EXPECT_EQ(hex(bytesOf(a)), hex(WireBytes(107)
                                       .header(26, 1700000123, 0, "PUBAPP01", 4, 0, "PEER", 9, 1, 0xEFFFFFFF, 2)
                                       .text(66, "QUOTES")
                                       .i32(83, -1)
                                       .u64(87, 77)
                                       .i32(95, 2124)
                                       .i32(99, -1)
                                       .str()));

    // A later request with its own recipient must not inherit the last one's.
    MslMsgRqs& addressed = svc.composeRequest(TAIL_LOST_RECOVERY_RQS, "QUOTES", 5);
    std::memcpy(addressed.hdr.recipientAppIdTxt, "PEER", 5);
    addressed.hdr.recipientInstId = 9;
    addressed.numUnackMsgMax = 3;
    const MslMsgRqs& plain = svc.composeRequest(PUBLISHER_TOPIC_RQS, "OTHER", 0);
    EXPECT_EQ(hex(bytesOf(plain)),
              hex(WireBytes(99).header(0, 1700000123, 0, "PUBAPP01", 4, 0, "", 0, 0, 3, 0).text(66, "OTHER").str()));
}

TEST(MslProtocolTest, AnswersPairWithTheirRequests)
{
    const std::pair<uint32, int32> pairs[] = {
        {PUBLISHER_TOPIC_RQS, PUBLISHER_TOPIC_ACK},   {SUBSCRIBER_TOPIC_RQS, SUBSCRIBER_TOPIC_ACK},
        {DATA_RECOVERY_RQS, DATA_RECOVERY_RSP},       {TAIL_LOST_RECOVERY_RQS, TAIL_LOST_RECOVERY_RSP},
        {MRM_PARTITION_ENQ_RQS, MRM_PARTITION_ENQ_RSP}, {MSL_SW_ACTIVE_SUBSCRIBER_RQS, MSL_SW_ACTIVE_SUBSCRIBER_ACK},
        // Nobody answers these.
        {TAIL_LOST_QUERY, -1}, {TAIL_LOST_QUERY2, -1}, {PUBLISHER_LEAVE_TOPIC_NOTIFICATION, -1},
        {MSL_CMD_KEEPALIVE_MSG, -1}, {TOPIC_MSG, -1}, {MSL_CMD_TYPE_NUM, -1}};
    for (const auto& [rqs, ans] : pairs)
    {
        EXPECT_EQ(MslProtocol::answerOf(rqs), ans) << rqs;
        if (ans >= 0)
        {
            EXPECT_EQ(MslProtocol::requestOf(static_cast<uint32>(ans)), static_cast<int32>(rqs)) << rqs;
        }
    }
    for (uint32 notAnAnswer : {0u, 2u, 13u, 14u, 23u, 27u, 0xFFFFFFFFu})
        EXPECT_EQ(MslProtocol::requestOf(notAnAnswer), -1) << notAnAnswer;
}

TEST(MslRequestIdsTest, TwoRangesThatNeverMeetAndWrapInPlace)
{
    struct Case
    {
        uint32 lastRequest;
        uint32 lastTailLost;
        uint32 nextRequest;
        uint32 nextTailLost;
    };
    const Case cases[] = {
        {0, 0xEFFFFFFFu, 1, 0xF0000000u},           // a new service
        {41, 0xF0000041u, 42, 0xF0000042u},         // counting on
        {0xEFFFFFFEu, 0xFFFFFFFEu, 0xEFFFFFFFu, 0xFFFFFFFFu}, // the last of each range
        {0xEFFFFFFFu, 0xFFFFFFFFu, 1, 0xF0000000u}, // both wrap
    };
    for (const Case& c : cases)
    {
        MslRequestIds ids(c.lastRequest, c.lastTailLost);
        EXPECT_EQ(ids.nextRequest(), c.nextRequest) << c.lastRequest;
        EXPECT_EQ(ids.nextTailLost(), c.nextTailLost) << c.lastTailLost;
    }

    // Through the service: tail-lost queries draw from their own counter.
    MslMemFabric fabric;
    msltest::Options o;
    o.sockets = &fabric.host("10.0.0.1");
    msltest::ServiceHarness h(o);
    MessagingService& svc = h.service();
    // (A packed field is read by value.)
    auto idOf = [&](MslCmdType cmd) -> uint32 { return svc.composeRequest(cmd, "T", 0).hdr.rqsId; };
    EXPECT_EQ(idOf(PUBLISHER_TOPIC_RQS), 1u);
    EXPECT_EQ(idOf(TAIL_LOST_QUERY), 0xF0000000u);
    EXPECT_EQ(idOf(TAIL_LOST_QUERY2), 0xF0000001u);
    EXPECT_EQ(idOf(SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION), 2u);
}
} // namespace
