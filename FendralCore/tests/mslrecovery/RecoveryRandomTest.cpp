// Random recovery requests, queries and answers into a publisher and a
// subscriber: every command of the recovery protocol at sizes around its
// own, with topic names, recipients, request ids and numbers that reach the
// deeper checks often enough. Under the sanitizers nothing may read or write
// out of bounds; afterwards the two still recover a lost tail. Seeded;
// MSL_RANDOM_RECOVERY_RECORDS sets how many.
#include "FendralCore/tests/mslrecovery/RecoveryTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace
{
using namespace rectest;

TEST(RecoveryRandomTest, RandomRecoveryRecordsThenATailIsStillRecovered)
{
    const char* env = std::getenv("MSL_RANDOM_RECOVERY_RECORDS");
    const int count = env != nullptr ? std::atoi(env) : 20000;
    Net net(planConfig("MSG_PER_RESEND INT32 7\n"));
    Node& pub = net.add("PUBA", "10.0.0.1", {{"QUOTES", PUBLISH, 100}});
    Node& sub = net.add("SUBA", "10.0.1.1", {{"QUOTES", SUBSCRIBE, 100}});
    ASSERT_TRUE(net.ready(sub));
    ASSERT_TRUE(net.ready(pub));
    ASSERT_TRUE(net.pumpUntil([&] { return pub.pub()->numEffectiveSub.load() == 1; }));
    ASSERT_TRUE(net.send(pub, 150));
    ASSERT_TRUE(net.pumpUntil([&] { return sub.seqs.size() == 150; }));

    RawPeer peer(net.fabric);
    std::mt19937_64 rng(20261210);
    auto pick = [&](uint64 n) { return static_cast<uint64>(rng() % n); };
    static const uint32 CMDS[] = {7, 8, 9, 10, 11, 12, 17, 18, 24, 0, 99};
    static const char* TOPICS[] = {"QUOTES", "OTHER", "QUOTES\x01", ""};
    static const char* APPS[] = {"SUBA", "PUBA", "SUBX", "PEER9999"};
    static const int SIZES[] = {0, 65, 66, 98, 99, 100, 106, 107, 108, 111, 112};
    for (int i = 0; i < count; ++i)
    {
        Rqs r;
        r.cmd = CMDS[pick(std::size(CMDS))];
        r.sender = APPS[2 + pick(2)];
        r.senderInst = static_cast<int32_t>(pick(3));
        r.recipient = APPS[pick(std::size(APPS))];
        r.recipientInst = static_cast<int32_t>(pick(3));
        r.rqsId = pick(3) == 0 ? static_cast<uint32_t>(rng()) : static_cast<uint32_t>(1 + pick(40));
        if (pick(4) == 0)
            r.rqsId |= 0xF0000000u;
        r.topic = TOPICS[pick(std::size(TOPICS))];
        r.seq = pick(3) == 0 ? rng() : pick(200);
        r.reason = pick(4) == 0 ? 1 : static_cast<int32_t>(pick(8));
        std::string b = request(r);
        const int size = SIZES[pick(std::size(SIZES))];
        b.resize(static_cast<size_t>(size), static_cast<char>(rng()));
        if (b.size() > 83 && pick(3) == 0)
            for (size_t k = 83; k < b.size(); ++k)
                b[k] = static_cast<char>(rng()); // status, codes and numbers of an answer
        // Requests on the request channel, answers on the answer channel.
        MslSocket& to = (r.cmd == 8 || r.cmd == 12 || r.cmd == 18) ? *peer.rac : *peer.rc;
        to.send(b.data(), static_cast<int32>(b.size()));
        if (i % 16 == 0)
            net.pump();
    }
    for (int i = 0; i < 200; ++i)
        net.pump();
    // The records reached the handlers, not only the filters.
    EXPECT_GT(pub.svc().controlStats().rqsHandled.get(), static_cast<uint64>(count / 8));
    EXPECT_GT(sub.svc().controlStats().ackHandled.get() + sub.svc().controlStats().ackNoPending.get(), 0u);

    // Still working: a tail lost at the subscriber comes back.
    MslSocket* data = sub.sub()->chnRecPtr->dataSock.get();
    data->leave();
    ASSERT_TRUE(net.send(pub, 10));
    data->join();
    EXPECT_TRUE(net.pumpUntil([&] { return !sub.seqs.empty() && sub.seqs.back() == 160; }, 20s));
    std::vector<uint64> tail(sub.seqs.end() - 10, sub.seqs.end());
    for (uint64 k = 0; k < tail.size(); ++k)
        EXPECT_EQ(tail[k], 151 + k);
}
} // namespace
