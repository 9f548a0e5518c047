#include "OpsHarness.h"

#include "FendralCore/runtime/ResourceAssistant.h"

namespace
{
std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 2200) % 26);
    return s;
}
} // namespace

// Payloads are cut into 2200-byte parts numbered from 0, `more` on all but
// the last, each with the next sequence number, on the queue asked for.
TEST(DispatchThreadSend, PayloadsArriveInNumberedPartsOnTheChosenQueue)
{
    struct Case
    {
        size_t len;
        bool high;
        std::vector<uint32> parts;
    };
    const Case cases[] = {
        {1, false, {1}},
        {2200, true, {2200}},
        {2201, false, {2200, 1}},
        {5000, true, {2200, 2200, 600}},
        {32768, false, {2200, 2200, 2200, 2200, 2200, 2200, 2200, 2200, 2200, 2200, 2200, 2200, 2200, 2200, 1968}},
    };
    OpsHarness h;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.len);
        const std::string payload = pattern(c.len);
        int32 rc = -7;
        h.onApp([&](MsgDispatcher& md) {
            rc = md.sendThreadMessage("PEER", payload.data(), static_cast<int32>(payload.size()), c.high);
        });
        ASSERT_EQ(rc, 0);
        EXPECT_TRUE(h.drainPeer(c.high ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY).empty());
        const std::vector<FwIntMessage> got = h.drainPeer(c.high ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL);
        ASSERT_EQ(got.size(), c.parts.size());
        std::string joined;
        for (size_t i = 0; i < got.size(); ++i)
        {
            const FwIntMessage& m = got[i];
            const Data_t& d = m.appMsg.data;
            EXPECT_EQ(m.appMsg.type, MSG_DATA);
            EXPECT_STREQ(m.originatorTxt, "APP");
            EXPECT_STREQ(m.recipientTxt, "PEER");
            EXPECT_STREQ(d.channelNameTxt, "APP");
            EXPECT_EQ(d.chnType, ITC_CHANNEL);
            EXPECT_EQ(d.dataDir, OUTGOING_DATA);
            EXPECT_EQ(d.msgPartNum, static_cast<int32>(i));
            EXPECT_EQ(d.dataLen, c.parts[i]);
            EXPECT_EQ(d.more, i + 1 < got.size());
            if (i > 0)
            {
                EXPECT_EQ(m.msgSeqNum, got[i - 1].msgSeqNum + 1);
            }
            joined.append(d.buffer, d.dataLen);
        }
        EXPECT_EQ(joined, payload);
    }
}

// The bounds: nothing is queued for an empty or oversized payload, or a
// negative length.
TEST(DispatchThreadSend, EmptyOversizedAndNegativeLengthsQueueNothing)
{
    struct Case
    {
        int32 len;
        int32 rc;
        int32 code;
    };
    const Case cases[] = {{0, 0, 0}, {32769, -1, MSG_TOO_LARGE}, {-1, -1, INVALID_FUNC_ARG}};
    OpsHarness h;
    static const std::string big(40000, 'x');
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.len);
        int32 rc = -7;
        int32 code = -7;
        h.onApp([&](MsgDispatcher& md) {
            FrameworkErrno::m_fwErrno = 0;
            rc = md.sendThreadMessage("PEER", big.data(), c.len);
            code = FrameworkErrno::m_fwErrno;
        });
        EXPECT_EQ(rc, c.rc);
        if (c.rc != 0)
        {
            EXPECT_EQ(code, c.code);
        }
        EXPECT_TRUE(h.drainPeer(MQUEUE_NORMAL).empty());
    }
}

// Only application threads take data from an application; by name and by
// handle alike. Unknown names and bad handles fail without sending.
TEST(DispatchThreadSend, FrameworkThreadsUnknownNamesAndBadHandlesAreRefused)
{
    OpsHarness h;
    ResourceAssistant assistant;
    ResourceHandle loggerHandle, peerHandle, udpKindHandle, emptyHandle;
    ResourceName peerName{}, loggerName{};
    setName(peerName, "PEER");
    setName(loggerName, "LOGGER");
    assistant.prepareHandle(loggerHandle, loggerName, THREAD_RES, reinterpret_cast<FrameworkResource*>(h.m_logger));
    assistant.prepareHandle(peerHandle, peerName, THREAD_RES, reinterpret_cast<FrameworkResource*>(h.m_peer));
    assistant.prepareHandle(udpKindHandle, peerName, UDP_RES, reinterpret_cast<FrameworkResource*>(h.m_peer));
    assistant.prepareHandle(emptyHandle, peerName, THREAD_RES, nullptr);

    struct Case
    {
        const char* what;
        std::function<int32(MsgDispatcher&)> send;
        int32 rc;
        int32 code;
    };
    const std::vector<Case> cases = {
        {"framework thread by name", [](MsgDispatcher& md) { return md.sendThreadMessage("LOGGER", "abc", 3); }, -1,
         FUNC_NOT_ALLOWED},
        {"framework thread by handle", [&](MsgDispatcher& md) { return md.sendThreadMessage(loggerHandle, "abc", 3); },
         -1, FUNC_NOT_ALLOWED},
        {"unknown name", [](MsgDispatcher& md) { return md.sendThreadMessage("NOBODY", "abc", 3); }, -1, -1},
        {"name too long", [](MsgDispatcher& md) { return md.sendThreadMessage("ABCDEFGHIJKLMNOPQ", "abc", 3); }, -1,
         RES_NOT_EXIST},
        {"handle of another kind", [&](MsgDispatcher& md) { return md.sendThreadMessage(udpKindHandle, "abc", 3); },
         -1, RES_INVALID_HANDLE},
        {"handle without a resource", [&](MsgDispatcher& md) { return md.sendThreadMessage(emptyHandle, "abc", 3); },
         -1, RES_NOT_EXIST},
        {"application thread by handle", [&](MsgDispatcher& md) { return md.sendThreadMessage(peerHandle, "abc", 3); },
         0, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        int32 rc = -7;
        int32 code = -7;
        h.onApp([&](MsgDispatcher& md) {
            FrameworkErrno::m_fwErrno = 0;
            rc = c.send(md);
            code = FrameworkErrno::m_fwErrno;
        });
        EXPECT_EQ(rc, c.rc);
        if (c.code >= 0)
        {
            EXPECT_EQ(code, c.code);
        }
        else
        {
            EXPECT_NE(code, 0);
        }
        EXPECT_EQ(h.drainPeer(MQUEUE_NORMAL).size(), c.rc == 0 ? 1u : 0u);
        FwIntMessage msg{};
        bool more = false;
        EXPECT_NE(h.m_loggerQueue->getMessage(&msg, more), 0) << "nothing reaches the framework thread";
    }
    EXPECT_TRUE(testLog().contains("Application callback is not allowed to send data message to framework thread [LOGGER]"));
}

// A full queue stops the send at the failed put; the parts before it stay
// queued and the caller gets the queue's error.
TEST(DispatchThreadSend, AFullQueueStopsTheSendAndKeepsThePartsAlreadyPut)
{
    OpsHarness h(EVENT_LOOP, 2);
    const std::string payload = pattern(5000);
    int32 rc = -7;
    int32 code = -7;
    h.onApp([&](MsgDispatcher& md) {
        rc = md.sendThreadMessage("PEER", payload.data(), 5000);
        code = FrameworkErrno::m_fwErrno;
    });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, BUFFER_FULL);
    const std::vector<FwIntMessage> got = h.drainPeer(MQUEUE_NORMAL);
    ASSERT_FALSE(got.empty());
    ASSERT_LT(got.size(), 3u);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].appMsg.data.msgPartNum, static_cast<int32>(i));
    EXPECT_TRUE(testLog().contains("Error [200] sending inter thread message to [PEER]."));
}
