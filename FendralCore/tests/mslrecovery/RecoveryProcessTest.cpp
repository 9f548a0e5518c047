// A publisher and four subscribers in processes of their own, over real
// multicast on the loopback interface (in a network namespace of their own
// where one can be made), each subscriber dropping a seeded 1 % of what it
// receives at its receive hook: every subscriber delivers every message once
// and in order, and hears of no unrecoverable gap.
#include "FendralCore/tests/msltopics/MslPeerProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace
{
using msltest::PeerEvent;
using msltest::PeerProcess;

TEST(RecoveryProcessTest, DISABLED_FourSubscriberProcessesUnderLossDeliverEveryMessageOnce)
{
    RecordProperty("network", msltest::isolateNetwork() ? "namespace" : "host loopback");
    const char* env = std::getenv("MSL_RECOVERY_PROCESS_MESSAGES");
    const int n = env != nullptr ? std::atoi(env) : 20000;
    msltest::PeerPlan plan;
    const std::string config = plan.config() +
                               "MSL_TM_INTERVAL INT32 10\nMSG_PER_RESEND INT32 1000\n"
                               "TOPIC_IDLE_INTV INT32 200\n";
    std::vector<std::unique_ptr<PeerProcess>> subs;
    for (int i = 0; i < 4; ++i)
        subs.push_back(std::make_unique<PeerProcess>(
            "SUB" + std::to_string(i), 1,
            "MSL_TEST_DROP DOUBLE 0.01\nMSL_TEST_DROP_SD UINT64 " + std::to_string(31 + i) + "\n" + config,
            std::vector<msltest::PeerTopic>{{"QUOTES", SUBSCRIBE, true, 50000}}));
    PeerProcess pub("PUBA", 1, config, {{"QUOTES", PUBLISH, true, 50000}});
    for (auto& s : subs)
    {
        ASSERT_TRUE(s->waitEvent(TOPIC_SUB_READY_TO_OPEN, "QUOTES"));
        s->command(PeerProcess::CMD_SUBSCRIBE, "QUOTES");
        ASSERT_TRUE(s->waitEvent(TOPIC_SUBSCRIBE_ACK, "QUOTES")) << s->history();
    }
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES")) << pub.history();

    // At about 10,000 messages a second, which the subscribers' buffers
    // take on a loaded machine.
    for (int sent = 0; sent < n; sent += 100)
    {
        pub.command(PeerProcess::CMD_SEND, "QUOTES", std::min(100, n - sent), 16);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& s : subs)
    {
        const std::vector<PeerEvent> got = s->data(static_cast<size_t>(n), std::chrono::seconds(90));
        ASSERT_EQ(got.size(), static_cast<size_t>(n)) << s->history();
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i].p64 != static_cast<int64>(i + 1))
            {
                ADD_FAILURE() << "message " << i + 1 << " came as " << got[i].p64;
                break;
            }
        EXPECT_FALSE(s->waitEvent(UNRECOVERABLE_TOPIC_MSG_GAP, "QUOTES", nullptr, std::chrono::milliseconds(0)));
    }
}
} // namespace
