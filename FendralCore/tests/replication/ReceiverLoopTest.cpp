// The receiver's thread body as the thread manager runs it: on its own
// thread, woken by its queues, ending with the exit code that tells the
// thread manager what to run next.
#include "FendralCore/tests/replication/ReceiverTestSupport.h"

#include <chrono>
#include <future>
#include <thread>

namespace
{
class RxLoopTest : public ReceiverFixture
{
protected:
    RxLoopTest() : ReceiverFixture(CPU_UTILIZATION) {}

    // The messages a queue receives within the time-out, until pred holds.
    template <typename Pred>
    std::vector<FwIntMessage> collect(FwMessageQueue& q, Pred pred)
    {
        std::vector<FwIntMessage> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!pred(got) && std::chrono::steady_clock::now() < deadline)
        {
            for (const FwIntMessage& m : takeAll(q))
                got.push_back(m);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return got;
    }

    std::future<std::pair<int32, int32>> launch()
    {
        return std::async(std::launch::async, [this] {
            int32 exitHdr = -1;
            const int32 r = m_rx->run(exitHdr);
            return std::make_pair(r, exitHdr);
        });
    }

    void post(FwMessageQueue& q, const FwIntMessage& m) { ASSERT_EQ(q.putMessage(&m), 0); }
};
} // namespace

TEST_F(RxLoopTest, DeliversUntilTermAndEndsWithExitZero)
{
    auto done = launch();
    FwIntMessage init = event(INIT);
    init.appMsg.event.eventParam.paramInt32 = STANDBY_MODE;
    post(*m_selfQ.high, init);
    post(*m_selfQ.high, event(CONN_INIT));
    for (int i = 0; i < 50; ++i)
        queue(dataRecord(TCP_CHANNEL, "CLI", "r" + std::to_string(i)));
    std::vector<FwIntMessage> got =
        collect(*m_ownerQ.normal, [](const std::vector<FwIntMessage>& v) { return v.size() >= 50; });
    ASSERT_EQ(got.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(payload(got[i]), "r" + std::to_string(i));
    post(*m_selfQ.high, event(TERM));
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(done.get(), std::make_pair(0, 0));
}

// The failover sequence as the control thread drives it: the publisher is
// gone, CHK_END_REPLICATION asks the messaging service for a lost tail and
// is confirmed once the service reports the query settled, and SW_ACTIVE
// ends the loop with exit code 2, SW_ACTIVE left first in the queue for the
// replicator.
TEST_F(RxLoopTest, SwitchToActiveEndsWithExitTwo)
{
    auto done = launch();
    FwIntMessage init = event(INIT);
    init.appMsg.event.eventParam.paramInt32 = STANDBY_MODE;
    post(*m_selfQ.high, init);
    post(*m_selfQ.high, event(CONN_INIT));
    post(*m_selfQ.normal, topicEvent(TOPIC_SUBSCRIBE_ACK, 0, 1));
    queue(dataRecord(UDP_CHANNEL, "MCAST", "last"));
    post(*m_selfQ.normal, topicEvent(TOPIC_PUBLISHER_LEFT));
    auto has = [](int32 id) {
        return [id](const std::vector<FwIntMessage>& v) {
            for (const FwIntMessage& m : v)
                if (m.appMsg.type == MSG_EVENT && m.appMsg.event.id == id)
                    return true;
            return false;
        };
    };
    // The publisher's leave taken first (it comes on the normal queue, the
    // check on the high-priority one): the loss is reported to the control
    // thread.
    ASSERT_TRUE(has(REPLICATION_TIMEOUT)(collect(*m_ctlQ.high, has(REPLICATION_TIMEOUT))));
    post(*m_selfQ.high, event(CHK_END_REPLICATION));
    ASSERT_TRUE(has(CHK_TAIL_LOST)(collect(*m_svcQ.normal, has(CHK_TAIL_LOST))));
    // The service's answer: no peer held more.
    post(*m_selfQ.normal, topicEvent(TOPIC_PUBLISHER_LEFT));
    std::vector<FwIntMessage> ctl = collect(*m_ctlQ.high, has(CONF_END_REPLICATION));
    ASSERT_TRUE(has(CONF_END_REPLICATION)(ctl));
    post(*m_selfQ.high, event(SW_ACTIVE));
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(done.get(), std::make_pair(0, 2));
    EXPECT_EQ(payload(takeAll(*m_ownerQ.normal).at(0)), "last");
    EXPECT_EQ(takeEvents(*m_selfQ.high), std::vector<int32>{SW_ACTIVE});
}
