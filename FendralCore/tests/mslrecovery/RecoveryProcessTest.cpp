// A publisher and four subscribers in processes of their own, over real
// multicast on the loopback interface (in a network namespace of their own
// where one can be made), each subscriber dropping a seeded share of what it
// receives at its receive hook, or the namespace dropping a random share of
// every multicast datagram: every subscriber delivers every message once and
// in order, and hears of no unrecoverable gap.
#include "FendralCore/tests/msltopics/MslPeerProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace
{
using msltest::PeerEvent;
using msltest::PeerProcess;

struct LossCase
{
    const char* name;
    double hookDrop;   // at each subscriber's receive hook, seeded
    int namespaceDrop; // percent, for the whole namespace
    int messages;
};

void PrintTo(const LossCase& c, std::ostream* os)
{
    *os << c.name;
}

class RecoveryProcessTest : public ::testing::TestWithParam<LossCase>
{
};

TEST_P(RecoveryProcessTest, FourSubscriberProcessesUnderLossDeliverEveryMessageOnce)
{
    RecordProperty("network", msltest::isolateNetwork() ? "namespace" : "host loopback");
    const LossCase& c = GetParam();
    std::unique_ptr<msltest::NamespaceDrop> nsDrop;
    if (c.namespaceDrop > 0)
    {
        nsDrop = std::make_unique<msltest::NamespaceDrop>(c.namespaceDrop);
        if (!nsDrop->active())
            GTEST_SKIP() << "no network namespace of the test's own with nftables here: the receive hook cases "
                            "stand for it";
    }
    const char* env = std::getenv("MSL_RECOVERY_PROCESS_MESSAGES");
    const int n = env != nullptr ? std::atoi(env) : c.messages;
    msltest::PeerPlan plan;
    const std::string config = plan.config() +
                               "MSL_TM_INTERVAL INT32 10\nMSG_PER_RESEND INT32 1000\n"
                               "TOPIC_IDLE_INTV INT32 200\n";
    std::vector<std::unique_ptr<PeerProcess>> subs;
    for (int i = 0; i < 4; ++i)
        subs.push_back(std::make_unique<PeerProcess>(
            "SUB" + std::to_string(i), 1,
            (c.hookDrop > 0 ? "MSL_TEST_DROP DOUBLE " + std::to_string(c.hookDrop) + "\nMSL_TEST_DROP_SD UINT64 " +
                                  std::to_string(31 + i) + "\n"
                            : std::string()) +
                config,
            std::vector<msltest::PeerTopic>{{"QUOTES", SUBSCRIBE, true, 50000}}, true));
    PeerProcess pub("PUBA", 1, config, {{"QUOTES", PUBLISH, true, 50000}});
    // Every handshake at once: each waits out its own time-outs.
    for (auto& s : subs)
    {
        ASSERT_TRUE(s->waitEvent(TOPIC_SUB_READY_TO_OPEN, "QUOTES"));
        s->command(PeerProcess::CMD_SUBSCRIBE, "QUOTES");
    }
    for (auto& s : subs)
        ASSERT_TRUE(s->waitEvent(TOPIC_SUBSCRIBE_ACK, "QUOTES")) << s->history();
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUB_READY_TO_OPEN, "QUOTES"));
    pub.command(PeerProcess::CMD_PUBLISH, "QUOTES");
    ASSERT_TRUE(pub.waitEvent(TOPIC_PUBLISH_ACK, "QUOTES")) << pub.history();
    for (auto& s : subs)
        ASSERT_TRUE(s->waitEvent(TOPIC_PUBLISHER_JOINED, "QUOTES")) << s->history();

    // At about 10,000 messages a second; the subscribers' reports are read
    // meanwhile so that none of them waits on the test.
    for (int sent = 0; sent < n; sent += 100)
    {
        pub.command(PeerProcess::CMD_SEND, "QUOTES", std::min(100, n - sent), 16);
        for (auto& s : subs)
            s->pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30 + n / 10000);
    std::vector<std::vector<uint64>> got(subs.size());
    for (;;)
    {
        bool all = true;
        for (size_t i = 0; i < subs.size(); ++i)
        {
            got[i] = subs[i]->counters();
            all = all && got[i].size() > PeerProcess::DELIVERED &&
                  got[i][PeerProcess::DELIVERED] >= static_cast<uint64>(n);
        }
        if (all || std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (size_t i = 0; i < subs.size(); ++i)
    {
        PeerProcess& s = *subs[i];
        ASSERT_GT(got[i].size(), static_cast<size_t>(PeerProcess::TEST_DROPPED)) << "SUB" << i;
        EXPECT_EQ(got[i][PeerProcess::DELIVERED], static_cast<uint64>(n)) << "SUB" << i << s.history();
        EXPECT_EQ(got[i][PeerProcess::DELIVERED_LAST], static_cast<uint64>(n)) << "SUB" << i;
        EXPECT_EQ(got[i][PeerProcess::DELIVERED_OUT_OF_ORDER], 0u) << "SUB" << i;
        if (c.hookDrop > 0)
        {
            EXPECT_GT(got[i][PeerProcess::TEST_DROPPED], 0u) << "SUB" << i;
        }
        EXPECT_FALSE(s.waitEvent(UNRECOVERABLE_TOPIC_MSG_GAP, "QUOTES", nullptr, std::chrono::milliseconds(0)))
            << "SUB" << i;
    }
    if (nsDrop != nullptr)
    {
        EXPECT_GT(nsDrop->dropped(), 0u) << "the namespace's rule dropped datagrams";
    }
}

INSTANTIATE_TEST_SUITE_P(Loss, RecoveryProcessTest,
                         ::testing::Values(LossCase{"HookDrop1", 0.01, 0, 100000},
                                           LossCase{"HookDrop5", 0.05, 0, 100000},
                                           LossCase{"NamespaceDrop1", 0, 1, 100000}),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
