// A publisher serving resend requests, as a peer of the test's own sends
// them from the bytes: a range older than the history, duplicate
// suppression within half the topic timeout, forced requests, a requester
// that says what it lacks, the resend session numbers, busy answers between
// slices, and live sends that go on while a long resend runs.
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{
using namespace rectest;
constexpr int64 MS = 1000000;

class RecoveryServeTest : public ::testing::Test
{
protected:
    // A publisher PUBA of QUOTES with count messages sent, time on the
    // test's clock.
    Node& publisher(int count, int32 history, const std::string& more = "")
    {
        Node& p = m_net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, history}}, more);
        EXPECT_TRUE(m_net.pumpUntil([&] {
            m_clock.advance(20 * MS);
            const TopicRecord* t = p.pub();
            return t != nullptr && t->publishReady.load();
        }));
        EXPECT_TRUE(m_net.send(p, count));
        return p;
    }

    // The answers once there are n.
    std::vector<Rsp> answers(RawPeer& peer, size_t n)
    {
        std::vector<Rsp> got;
        m_net.pumpUntil([&] { return (got = peer.answers()).size() >= n; }, 10s);
        return got;
    }

    msltest::ManualClock m_clock;
    Net m_net{planConfig("TOPIC_IDLE_INTV INT32 1000\n"), &m_clock};
};

TEST_F(RecoveryServeTest, RangeOlderThanTheHistoryIsRefusedWithoutResending)
{
    publisher(100, 50);
    RawPeer peer(m_net.fabric);
    peer.send({.rqsId = 11, .seq = 10});
    const auto got = answers(peer, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].cmd, 8u);
    EXPECT_EQ(got[0].recipient, "SUBX");
    EXPECT_EQ(got[0].rqsId, 11u);
    EXPECT_EQ(got[0].status, -1);
    EXPECT_EQ(got[0].errorCode, MSL_MSG_GAP_TOO_LARGE);
    // The refusal tells what the history still holds: the last 50.
    EXPECT_EQ(got[0].begin, 51u);
    EXPECT_EQ(got[0].end, 100u);
    EXPECT_TRUE(peer.resent().empty());
}

TEST_F(RecoveryServeTest, DuplicatesWithinHalfTheTopicTimeoutAreAnsweredNotResent)
{
    publisher(100, 1000);
    RawPeer peer(m_net.fabric);
    struct Case
    {
        const char* what;
        Rqs rqs;
        int64 advanceMs;
        int32 status, errorCode;
        uint64 begin, end;
        size_t resent; // datagrams resent for it
    };
    const Case cases[] = {
        {"first request served, session 1", {.sender = "SUBX", .rqsId = 1, .seq = 80}, 0, 0, 1, 81, 100, 20},
        {"same start from another subscriber: covered", {.sender = "SUBY", .rqsId = 2, .seq = 80}, 100, 0, 0, 81, 100, 0},
        {"later start from another subscriber: in progress", {.sender = "SUBY", .rqsId = 3, .seq = 85}, 100, -1,
         MSL_RECOVERY_IN_PROGRESS, 81, 100, 0},
        {"the same requester again: served", {.sender = "SUBX", .rqsId = 4, .seq = 85}, 100, 0, 2, 86, 100, 15},
        {"forced: always served", {.sender = "SUBY", .rqsId = 5, .seq = 85, .reason = 1}, 0, 0, 3, 86, 100, 15},
        {"more than half the topic timeout later: served", {.sender = "SUBZ", .rqsId = 6, .seq = 90}, 501, 0, 4, 91,
         100, 10},
        {"saying what it lacks: only that is resent", {.sender = "SUBW", .rqsId = 7, .seq = 90, .lacked = 3}, 501, 0,
         5, 91, 93, 3},
        {"a resend that stopped short covers nobody: served", {.sender = "SUBV", .rqsId = 8, .seq = 90}, 0, 0, 6, 91,
         100, 10},
    };
    size_t resentBefore = 0;
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        m_clock.advance(c.advanceMs * MS);
        peer.send(c.rqs);
        const auto got = answers(peer, i + 1);
        ASSERT_EQ(got.size(), i + 1);
        const Rsp& a = got.back();
        EXPECT_EQ(a.rqsId, c.rqs.rqsId);
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.errorCode, c.errorCode);
        EXPECT_EQ(a.begin, c.begin);
        EXPECT_EQ(a.end, c.end);
        const auto resent = peer.resent();
        ASSERT_EQ(resent.size() - resentBefore, c.resent);
        for (size_t k = resentBefore; k < resent.size(); ++k)
        {
            EXPECT_EQ(resent[k].first, c.begin + (k - resentBefore));
            EXPECT_EQ(resent[k].second, c.errorCode) << "the session number goes with the data";
        }
        resentBefore = resent.size();
    }
}

TEST_F(RecoveryServeTest, SessionNumbersWrapToOneNeverZero)
{
    Node& p = publisher(10, 1000);
    p.pub()->pubRecoverySessionId = 254;
    RawPeer peer(m_net.fabric);
    for (uint32 id = 1; id <= 3; ++id)
        peer.send({.rqsId = id, .seq = 5, .reason = 1});
    const auto got = answers(peer, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].errorCode, 255);
    EXPECT_EQ(got[1].errorCode, 1);
    EXPECT_EQ(got[2].errorCode, 2);
}

TEST_F(RecoveryServeTest, RequestsArrivingDuringAResendAreAnsweredBusy)
{
    // Slices of 10: the two requests queued behind the first are read
    // between its slices.
    publisher(200, 1000, "MSG_PER_RESEND INT32 10\n");
    RawPeer peer(m_net.fabric);
    peer.send({.sender = "SUBX", .rqsId = 1, .seq = 0, .reason = 1});
    peer.send({.sender = "SUBY", .rqsId = 2, .seq = 0});
    peer.send({.cmd = 11, .sender = "SUBY", .recipient = "PUBA", .recipientInst = 1, .rqsId = 3, .seq = 0});
    const auto got = answers(peer, 2);
    ASSERT_EQ(got.size(), 2u) << "the tail-lost request is not for a subscriber of the topic";
    EXPECT_EQ(got[0].rqsId, 1u);
    EXPECT_EQ(got[0].status, 0);
    EXPECT_EQ(got[0].end, 200u);
    EXPECT_EQ(got[1].rqsId, 2u);
    EXPECT_EQ(got[1].status, -1);
    EXPECT_EQ(got[1].errorCode, MSL_RECOVERY_BUSY);
    EXPECT_EQ(got[1].begin, 1u) << "the last completed resend started at 0";
    EXPECT_EQ(got[1].end, 200u);
    m_net.pumpUntil([&] { return peer.resent().size() >= 200; }, 10s);
    EXPECT_EQ(peer.resent().size(), 200u) << "only the first request was resent";
}

TEST(RecoveryServeLiveTest, LiveSendsGoOnDuringALongResend)
{
    // The publisher's service on its own thread; an application thread
    // sends while 100,000 messages are resent in 20 slices.
    constexpr int N = 100000;
    constexpr int SLICES = 20;
    Net net(planConfig("TOPIC_IDLE_INTV INT32 1000\nMSG_PER_RESEND INT32 " + std::to_string(N / SLICES) + "\n"));
    Node& p = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, 120000}}, "", true);
    ASSERT_TRUE(msltest::waitUntil([&] {
        const TopicRecord* t = p.pub();
        return t != nullptr && t->publishReady.load();
    }));
    ASSERT_TRUE(net.send(p, N));
    RawPeer peer(net.fabric);

    MsgTopicResource* res = nullptr;
    ResourceName name{};
    ResourceManager::copyResourceName(name, "QUOTES");
    ASSERT_EQ(p.h->registry().getMsgTopicRes(name, &res), 0);
    using Clock = std::chrono::steady_clock;
    std::atomic<bool> stop{false};
    std::atomic<int64> maxWaitNs{0};
    std::vector<Clock::time_point> sentAt;
    std::thread live([&] {
        while (!stop.load())
        {
            const auto t0 = Clock::now();
            uint64 seq = 0;
            const int32 rc = res->msgTopicPtr->sendMessage("live", 4, seq, 0, false, nullptr, 0, false);
            const auto t1 = Clock::now();
            if (rc == 0 || FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                sentAt.push_back(t1);
            maxWaitNs.store(std::max(maxWaitNs.load(), static_cast<int64>((t1 - t0).count())));
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto start = Clock::now();
    peer.send({.rqsId = 1, .seq = 0, .reason = 1});
    std::vector<Rsp> answered;
    ASSERT_TRUE(msltest::waitUntil([&] { return !(answered = peer.answers()).empty(); }, 60s));
    const uint64 end = answered[0].end;
    ASSERT_GE(end, static_cast<uint64>(N));
    ASSERT_TRUE(msltest::waitUntil([&] { return peer.resent().size() >= end; }, 60s));
    const auto done = Clock::now();
    stop = true;
    live.join();
    p.h->stop();
    const int64 resendNs = (done - start).count();
    size_t during = 0;
    for (const auto& t : sentAt)
        during += t > start && t < done ? 1 : 0;
    // Between two slices the baton is free: sends go on, and none waits
    // until the baton's time-out (a resend holding it throughout makes every
    // send during it wait that long and fail). On a quiet machine the
    // longest wait is about one slice.
    RecordProperty("longest_wait_ms", static_cast<int>(maxWaitNs.load() / MS));
    RecordProperty("slice_ms", static_cast<int>(resendNs / SLICES / MS));
    EXPECT_GE(during, static_cast<size_t>(SLICES / 2)) << "resend took " << resendNs / MS << " ms";
    EXPECT_LT(maxWaitNs.load(), MessagingTopic::BATON_WAIT_NS) << "resend took " << resendNs / MS << " ms";
    EXPECT_EQ(peer.resent().size(), end) << "the resend ends where it said, whatever was sent since";
}
} // namespace

namespace
{
TEST(RecoveryBusyRetryTest, ALastAttemptAnsweredBusyIsAskedAgainAfterTheDelay)
{
    // The publisher's service on its own thread resends a long range of one
    // topic; meanwhile a subscriber of its other topic finds a gap. Its
    // requests are answered busy; the forced one is asked again after
    // RECOV_BUSY_DELAY, and served once the resend is over.
    constexpr int DELAY_MS = 100;
    Net net(planConfig("MSG_PER_RESEND INT32 50\nRECOV_BUSY_DELAY INT32 " + std::to_string(DELAY_MS) + "\n"));
    Node& pub = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH}, {"OTHER", PUBLISH, 30000}}, "", true);
    Node& sub = net.add("SUBB", "10.0.1.2", {{"QUOTES", SUBSCRIBE}});
    ASSERT_TRUE(net.ready(sub));
    ASSERT_TRUE(net.pumpUntil([&] {
        return pub.pub() != nullptr && pub.pub()->numEffectiveSub.load() == 1 && pub.pub("OTHER") != nullptr &&
               pub.pub("OTHER")->publishReady.load();
    }));
    ASSERT_TRUE(net.send(pub, 20));
    ASSERT_TRUE(net.send(pub, 30000, "OTHER"));
    ASSERT_TRUE(net.pumpUntil([&] { return sub.seqs.size() == 20; }));
    MslSocket* data = sub.sub()->chnRecPtr->dataSock.get();
    data->leave();
    ASSERT_TRUE(net.send(pub, 5));
    data->join();

    RawPeer peer(net.fabric);
    peer.send({.sender = "SUBX", .rqsId = 1, .topic = "OTHER", .seq = 0, .reason = 1});
    ASSERT_TRUE(net.pumpUntil([&] { return !peer.resent().empty(); }));
    ASSERT_TRUE(net.send(pub, 1)); // the gap shows
    ASSERT_TRUE(net.pumpUntil(
        [&] {
            peer.requests();
            peer.timedAnswers();
            return sub.seqs.size() == 26;
        },
        30s));
    EXPECT_TRUE(sub.deliveredInOrder(1, 26));
    EXPECT_EQ(sub.count(UNRECOVERABLE_TOPIC_MSG_GAP), 0);

    // The subscriber's forced requests, and the busy answers to them.
    const auto requests = peer.requests();
    const auto answers = peer.timedAnswers();
    int busyForced = 0;
    for (const auto& [a, answeredAt] : answers)
    {
        if (a.recipient != "SUBB" || a.errorCode != MSL_RECOVERY_BUSY)
            continue;
        const RawPeer::Seen* asked = nullptr;
        const RawPeer::Seen* again = nullptr;
        for (const auto& r : requests)
        {
            if (r.sender == "SUBB" && r.cmd == 7 && r.rqsId == a.rqsId)
                asked = &r;
            else if (r.sender == "SUBB" && r.cmd == 7 && r.rqsId > a.rqsId && again == nullptr)
                again = &r;
        }
        if (asked == nullptr || asked->reason != 1)
            continue;
        ++busyForced;
        ASSERT_NE(again, nullptr) << "asked again";
        EXPECT_EQ(again->reason, 1);
        EXPECT_GE(again->at - answeredAt, std::chrono::milliseconds(DELAY_MS / 2)) << "not before the delay";
    }
    EXPECT_GE(busyForced, 1) << "a forced request was answered busy";
    pub.h->stop();
}
} // namespace
