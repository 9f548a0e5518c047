// Random datagrams into both control channels: every command, every size
// from 0 to 200 bytes, random bytes, with the identities, request ids and
// topic names that reach the deeper checks often enough. Under the
// sanitizers nothing may read or write out of bounds, and every datagram
// must end in exactly one of the outcomes the service counts. Seeded;
// MSL_RANDOM_DATAGRAMS sets how many.
#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace
{
TEST(MslControlRandomTest, RandomDatagramsIntoBothControlChannels)
{
    const char* env = std::getenv("MSL_RANDOM_DATAGRAMS");
    const int count = env != nullptr ? std::atoi(env) : 50000;
    MslMemFabric fabric;
    msltest::Options o;
    o.appId = "SELF";
    o.inst = 2;
    // The service's own host is a local address, so its own loopback is
    // recognised; the fabric delivers with loopback on.
    o.sockets = &fabric.host("127.0.0.1");
    // The requests below stay pending for the whole run: no resend of
    // theirs adds to what the channels receive.
    o.config = "MSL_LOOPBACK INT32 1\nNUM_MSG_RCV_MAX INT32 7\nRQS_TIMEOUT INT32 600000\n";
    msltest::ServiceHarness h(o);
    MessagingService& svc = h.service();
    ASSERT_EQ(svc.initialize(), 0);

    // Requests waiting for answers, for the answers to find.
    std::vector<MslMsgRqs> pending;
    for (uint32 cmd : {PUBLISHER_TOPIC_RQS, SUBSCRIBER_TOPIC_RQS, DATA_RECOVERY_RQS, TAIL_LOST_RECOVERY_RQS,
                       MRM_PARTITION_ENQ_RQS, MSL_SW_ACTIVE_SUBSCRIBER_RQS})
    {
        const std::string name = "TOPIC" + std::to_string(cmd);
        PendingRqsRecord rec;
        rec.rqs = svc.composeRequest(static_cast<MslCmdType>(cmd), name.c_str(), 0);
        ASSERT_EQ(svc.addPendingRqs(rec), 0);
        pending.push_back(rec.rqs);
    }

    // Senders on this host (their datagrams loop back) and on another.
    MslSocketSpec spec{};
    spec.loopback = ENABLE_MCAST_LOOPBACK;
    std::memcpy(spec.groupTxt, svc.settings().requestChn.groupTxt, sizeof(IpAddress));
    spec.port = svc.settings().requestChn.port;
    auto localRc = fabric.host("127.0.0.1").open(spec);
    auto remoteRc = fabric.host("10.7.7.7").open(spec);
    std::memcpy(spec.groupTxt, svc.settings().requestAckChn.groupTxt, sizeof(IpAddress));
    spec.port = svc.settings().requestAckChn.port;
    auto localRac = fabric.host("127.0.0.1").open(spec);
    auto remoteRac = fabric.host("10.7.7.7").open(spec);

    std::mt19937_64 rng(20240611);
    auto pick = [&](uint64 n) { return static_cast<uint64>(rng() % n); };
    int sentRc = 0;
    int sentRac = 0;
    int oversize = 0;
    std::string bytes;
    for (int i = 0; i < count; ++i)
    {
        // Half the sizes at and around the records' own.
        static const size_t NEAR[] = {0, 65, 66, 67, 98, 99, 100, 106, 107, 108, 110, 111, 112};
        const size_t size = pick(2) == 0 ? NEAR[pick(std::size(NEAR))] : pick(201);
        bytes.assign(size, '\0');
        for (char& b : bytes)
            b = static_cast<char>(rng());
        // Aim some fields at what the filters look for.
        auto put = [&](size_t at, const void* v, size_t n) {
            if (at + n <= bytes.size())
                std::memcpy(bytes.data() + at, v, n);
        };
        const uint32 cmd = static_cast<uint32>(pick(31));
        put(0, &cmd, 4);
        if (pick(2) == 0)
        {
            put(20, "SELF\0\0\0\0", 9);
            const int32 inst = pick(3) == 0 ? 3 : 2;
            put(38, &inst, 4);
        }
        if (pick(2) == 0)
        {
            put(29, "SELF\0\0\0\0", 9);
            const int32 inst = pick(4) == 0 ? 9 : 2;
            put(42, &inst, 4);
        }
        if (pick(2) == 0)
        {
            const MslMsgRqs& r = pending[pick(pending.size())];
            put(54, &r.hdr.rqsId, 4);
            if (pick(2) == 0)
                put(66, r.topicNameTxt, sizeof(ResourceName));
            if (pick(2) == 0)
            {
                const int32 answer = MslProtocol::answerOf(r.hdr.cmdType);
                put(0, &answer, 4);
            }
        }
        const bool toAck = pick(2) == 0;
        const bool fromLocal = pick(3) == 0;
        MslSocket* from = toAck ? (fromLocal ? localRac.get() : remoteRac.get())
                                : (fromLocal ? localRc.get() : remoteRc.get());
        ASSERT_EQ(from->send(bytes.data(), static_cast<int32>(bytes.size())), 0);
        (toAck ? sentRac : sentRc) += 1;
        oversize += size > sizeof(MslMessage::bytes) ? 1 : 0;
        if (i % 64 == 63)
        {
            bool terminate = false;
            svc.runOnce(0, terminate);
            testLog().clear();
        }
    }
    // Everything sent is read.
    ASSERT_TRUE(h.passUntil([&] {
        const MslControlStats& s = svc.controlStats();
        return s.rqsReceived.get() + s.ackReceived.get() + svc.requestChannel()->truncatedCount() +
                   svc.requestAckChannel()->truncatedCount() >=
               static_cast<uint64>(sentRc + sentRac);
    }));

    const MslControlStats& s = svc.controlStats();
    EXPECT_EQ(s.rqsReceived.get() + svc.requestChannel()->truncatedCount(), static_cast<uint64>(sentRc));
    EXPECT_EQ(s.ackReceived.get() + svc.requestAckChannel()->truncatedCount(), static_cast<uint64>(sentRac));
    EXPECT_EQ(svc.requestChannel()->truncatedCount() + svc.requestAckChannel()->truncatedCount(),
              static_cast<uint64>(oversize));
    EXPECT_EQ(s.rqsReceived.get(), s.rqsShort.get() + s.rqsOwnLoopback.get() + s.rqsUnexpected.get() +
                                       s.rqsNotServed.get() + s.rqsKeepalives.get() + s.rqsHandled.get());
    EXPECT_EQ(s.ackReceived.get(), s.ackShort.get() + s.ackOwnLoopback.get() + s.ackKeepalives.get() +
                                       s.ackUnexpected.get() + s.ackOtherRecipient.get() + s.ackNoPending.get() +
                                       s.ackBadSize.get() + s.ackMismatch.get() + s.ackHandled.get());
    // The aimed fields reached the deep checks, the answers' handlers too.
    EXPECT_GT(s.rqsOwnLoopback.get(), 0u);
    EXPECT_GT(s.rqsHandled.get(), 0u);
    EXPECT_GT(s.ackMismatch.get(), 0u);
    EXPECT_GT(s.ackBadSize.get(), 0u);
    EXPECT_GT(s.ackHandled.get(), 0u);
}
} // namespace
