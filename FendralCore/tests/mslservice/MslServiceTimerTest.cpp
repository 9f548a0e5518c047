// The service timer: keepalives of quiet control channels by the service's
// clock, a request channel that stops taking sends, and parked messages
// moved on when their queue has room again. A timer expiry shows in the
// liveness stamp, which takes the wall time of the test's clock.
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace
{
using namespace std::chrono_literals;
constexpr int64 SEC = MonoClock::NSEC_PER_SEC;

class MslServiceTimerTest : public ::testing::Test
{
protected:
    std::unique_ptr<msltest::ServiceHarness> make(const std::string& config, uint32 appQueueLen = 64)
    {
        msltest::Options o;
        o.sockets = &m_fabric.host("10.0.0.1");
        o.clock = &m_clock;
        o.appQueueLen = appQueueLen;
        o.config = "MSL_TM_INTERVAL INT32 5\n" + config;
        return std::make_unique<msltest::ServiceHarness>(o);
    }

    // A member of a control channel on another host.
    std::unique_ptr<MslSocket> listen(const MslGroupPort& chn)
    {
        MslSocketSpec spec{};
        std::memcpy(spec.groupTxt, chn.groupTxt, sizeof(IpAddress));
        spec.port = chn.port;
        auto sock = m_fabric.host("10.0.0.9").open(spec);
        sock->join();
        return sock;
    }

    static std::vector<std::string> received(MslSocket& sock)
    {
        std::vector<std::string> out;
        char buf[256];
        int32 len = 0;
        sockaddr_in from{};
        while (sock.receive(buf, sizeof buf, len, from) == 0)
            out.emplace_back(buf, static_cast<size_t>(len));
        return out;
    }

    // Two expiries complete: all the work of the first one is done.
    void expiries(msltest::ServiceHarness& h, bool threaded)
    {
        for (int i = 0; i < 2; ++i)
        {
            const int64 stamp = ++m_stamp;
            m_clock.setWallSec(stamp);
            auto done = [&] { return h.serviceThread()->lastStatusUpdTm.load() == stamp; };
            ASSERT_TRUE(threaded ? msltest::waitUntil(done) : h.passUntil(done)) << "no timer expiry";
        }
    }

    MslMemFabric m_fabric;
    msltest::ManualClock m_clock;
    int64 m_stamp = 1800000000;
};

TEST_F(MslServiceTimerTest, KeepalivesAfterMoreWholeSecondsThanTheInterval)
{
    auto h = make("MSL_KEEPALIVE_TM UINT32 30\n");
    MessagingService& svc = h->service();
    h->startAndInit();
    auto rc = listen(svc.settings().requestChn);
    auto rac = listen(svc.settings().requestAckChn);

    m_clock.advance(30 * SEC + SEC / 2); // 30 whole seconds: not more than 30
    expiries(*h, true);
    EXPECT_TRUE(received(*rc).empty());
    EXPECT_TRUE(received(*rac).empty());

    m_clock.advance(SEC / 2);
    expiries(*h, true);
    struct Case
    {
        MslSocket& sock;
        uint32 cmd;
    };
    for (const Case& c : {Case{*rc, MSL_CMD_KEEPALIVE_MSG}, Case{*rac, MSL_ACK_KEEPALIVE_MSG}})
    {
        const std::vector<std::string> got = received(c.sock);
        ASSERT_EQ(got.size(), 1u) << c.cmd; // one, and not again at the next expiries
        ASSERT_EQ(got[0].size(), 66u);
        MslMsgHeader hdr{};
        std::memcpy(&hdr, got[0].data(), sizeof hdr);
        // (Packed fields are read by value.)
        EXPECT_EQ(uint32{hdr.cmdType}, c.cmd);
        EXPECT_EQ(uint32{hdr.msgLen}, 66u);
        EXPECT_STREQ(hdr.senderAppIdTxt, "MSLA");
        EXPECT_EQ(int32{hdr.senderInstId}, 1);
        EXPECT_GE(int64{hdr.tm.sec}, 1800000000); // the wall time of the clock
    }
}

TEST_F(MslServiceTimerTest, NoKeepalivesWhenTheIntervalIsZero)
{
    auto h = make("MSL_KEEPALIVE_TM UINT32 0\n");
    MessagingService& svc = h->service();
    h->startAndInit();
    auto rc = listen(svc.settings().requestChn);
    auto rac = listen(svc.settings().requestAckChn);
    m_clock.advance(100000 * SEC);
    expiries(*h, true);
    EXPECT_TRUE(received(*rc).empty());
    EXPECT_TRUE(received(*rac).empty());
}

// A request channel whose sends keep failing is reported once while it
// stays blocked, the loop goes on serving, and the channel is used again
// once it takes sends.
TEST_F(MslServiceTimerTest, BlockedRequestChannelIsReportedWhileTheLoopGoesOn)
{
    auto h = make("MSL_KEEPALIVE_TM UINT32 1\n");
    MessagingService& svc = h->service();
    h->startAndInit();
    const MslGroupPort& rcChn = svc.settings().requestChn;
    auto rc = listen(rcChn);
    auto rac = listen(svc.settings().requestAckChn);
    testLog().clear();
    m_fabric.blockSends(rcChn.groupTxt, rcChn.port, true);

    m_clock.advance(5 * SEC);
    expiries(*h, true);
    expiries(*h, true);
    const char* blocked = "Error [702] sending [MSL_CMD_KEEPALIVE_MSG] on the request channel. The send buffer stayed "
                          "full.";
    EXPECT_EQ(testLog().count(blocked), 1u);
    EXPECT_GE(svc.controlStats().requestSendFailures.get(), 2u); // tried again at each expiry
    EXPECT_TRUE(received(*rc).empty());
    EXPECT_FALSE(received(*rac).empty()); // the other channel goes on

    ASSERT_EQ(h->post(MQUEUE_HIGH_PRIORITY, SW_STANDBY), 0);
    FwIntMessage ack{};
    ASSERT_TRUE(msltest::nextMessage(h->ctlHigh(), ack, 10s));
    EXPECT_EQ(ack.appMsg.event.id, SW_STANDBY_ACK);

    m_fabric.blockSends(rcChn.groupTxt, rcChn.port, false);
    expiries(*h, true);
    const std::vector<std::string> got = received(*rc);
    ASSERT_FALSE(got.empty());
    uint32 cmd = 0;
    std::memcpy(&cmd, got[0].data(), sizeof cmd);
    EXPECT_EQ(cmd, static_cast<uint32>(MSL_CMD_KEEPALIVE_MSG));
    EXPECT_TRUE(testLog().contains("The request channel takes sends again."));
    EXPECT_EQ(testLog().count(blocked), 1u);
}

// The service's expiries move parked messages into their thread's queue
// only while it has at least 12 free entries.
TEST_F(MslServiceTimerTest, ParkedMessagesMoveWhenTwelveEntriesAreFree)
{
    auto h = make("", 32);
    MessagingService& svc = h->service();
    ASSERT_EQ(svc.initialize(), 0);
    FwMessageQueue& q = h->appNormal();
    FwIntMessage m{};
    m.appMsg.type = MSG_DATA;
    for (uint32 i = 0; q.getNumFreeEntry() > 11; ++i)
    {
        m.msgSeqNum = i;
        ASSERT_EQ(q.putMessage(&m), 0);
    }
    const uint32 queued = q.getNumElem();

    MessageStore store;
    ForwardTarget t;
    t.queue = &q;
    t.altQueue = &h->appHigh();
    t.store = &store;
    ResourceManager::copyResourceName(t.recipient, "APP1");
    m.msgSeqNum = 99;
    bool parked = false;
    MsgForwarder::Outcome outcome{};
    ASSERT_EQ(svc.forwarder().put(t, m, parked, EventParam{}, outcome), 0);
    EXPECT_EQ(outcome, MsgForwarder::FWD_CONGESTED);

    expiries(*h, false);
    EXPECT_TRUE(store.isMsgAvail(MSG_SERVICE_MSG_LIST, MQUEUE_NORMAL)) << "moved with 11 free";
    EXPECT_EQ(q.getNumElem(), queued);

    bool more = false;
    ASSERT_EQ(q.getMessage(&m, more), 0);
    ASSERT_EQ(q.getNumFreeEntry(), 12u);
    expiries(*h, false);
    EXPECT_FALSE(store.isMsgAvail(MSG_SERVICE_MSG_LIST, MQUEUE_NORMAL)) << "not moved with 12 free";
    ASSERT_EQ(q.getNumElem(), queued);
    uint32 last = 0;
    while (q.getMessage(&m, more) == 0)
        last = m.msgSeqNum;
    EXPECT_EQ(last, 99u); // behind the ones already queued
}
} // namespace
