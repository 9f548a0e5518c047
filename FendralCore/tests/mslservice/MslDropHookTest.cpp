// The receive-path drop hook, a test facility: a seeded fraction of the
// datagrams a service receives is dropped, so that real processes can run
// under loss.
#include "FendralCore/messaging/MslDropHook.h"
#include "FendralCore/tests/mslsupport/MslMemFabric.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <unistd.h>
#include <cstring>
#include <string>
#include <vector>

namespace
{
std::vector<bool> pattern(double fraction, uint64 seed, int n)
{
    MslDropHook hook(fraction, seed);
    std::vector<bool> out;
    for (int i = 0; i < n; ++i)
        out.push_back(hook.dropNext());
    return out;
}

TEST(MslDropHookTest, SeededFractionOfDatagrams)
{
    struct Case
    {
        double fraction;
        int minDropped;
        int maxDropped;
    };
    for (const Case& c : {Case{0.0, 0, 0}, Case{0.01, 60, 140}, Case{0.5, 4700, 5300}, Case{1.0, 10000, 10000}})
    {
        const std::vector<bool> p = pattern(c.fraction, 42, 10000);
        const int dropped = static_cast<int>(std::count(p.begin(), p.end(), true));
        EXPECT_GE(dropped, c.minDropped) << c.fraction;
        EXPECT_LE(dropped, c.maxDropped) << c.fraction;
        EXPECT_EQ(p, pattern(c.fraction, 42, 10000)) << "a seed gives one pattern";
    }
    EXPECT_NE(pattern(0.5, 1, 64), pattern(0.5, 2, 64));
}

// While the named file exists every datagram is dropped; before it is made
// and once it is gone, none is (a change is seen within the check period).
TEST(MslDropHookTest, EveryDatagramWhileTheDropFileExists)
{
    char dir[] = "/tmp/mslDropXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/drop";
    MslDropHook hook(0.0, 1, file);
    auto settle = [] { std::this_thread::sleep_for(std::chrono::nanoseconds(2 * MslDropHook::DROP_FILE_CHECK_NS)); };
    EXPECT_FALSE(hook.dropNext());
    std::ofstream(file).put('x');
    settle();
    EXPECT_TRUE(hook.dropNext());
    EXPECT_TRUE(hook.dropNext());
    ::unlink(file.c_str());
    settle();
    EXPECT_FALSE(hook.dropNext());
    EXPECT_EQ(hook.numDropped(), 2u);
    ::rmdir(dir);
}

TEST(MslDropHookTest, BatchKeepsTheOrderOfWhatItKeeps)
{
    MslMemFabric fabric;
    MslDropHook hook(0.5, 7);
    MslLossySocketFactory lossy(fabric.host("10.0.0.1"), hook);
    MslSocketSpec spec{};
    std::strcpy(spec.groupTxt, "239.1.1.1");
    spec.port = 5000;
    auto rcv = lossy.open(spec);
    rcv->join();
    auto snd = fabric.host("10.0.0.2").open(spec);
    for (int i = 0; i < 40; ++i)
    {
        const std::string b = std::to_string(i);
        ASSERT_EQ(snd->send(b.data(), static_cast<int32>(b.size())), 0);
    }
    char bufs[40][8];
    MslDatagramSlot slots[40];
    for (int i = 0; i < 40; ++i)
        slots[i] = MslDatagramSlot{bufs[i], 8, 0, sockaddr_in{}};
    int32 count = 0;
    ASSERT_EQ(rcv->receiveBatch(slots, 40, count), 0);
    EXPECT_GT(hook.numDropped(), 0u);
    // Exactly the datagrams the seed keeps, in the order they came.
    std::vector<int> expected;
    const std::vector<bool> drops = pattern(0.5, 7, 40);
    for (int i = 0; i < 40; ++i)
        if (!drops[static_cast<size_t>(i)])
            expected.push_back(i);
    std::vector<int> got;
    for (int i = 0; i < count; ++i)
        got.push_back(std::stoi(std::string(slots[i].buf, static_cast<size_t>(slots[i].length))));
    EXPECT_EQ(got, expected);
}

TEST(MslDropHookTest, ServiceDropsWhatTheConfigurationAsks)
{
    MslMemFabric fabric;
    msltest::Options o;
    o.sockets = &fabric.host("10.0.0.1");
    o.config = "MSL_TEST_DROP DOUBLE 1\n";
    msltest::ServiceHarness h(o);
    MessagingService& svc = h.service();
    ASSERT_EQ(svc.initialize(), 0);
    MslSocketSpec spec{};
    std::memcpy(spec.groupTxt, svc.settings().requestChn.groupTxt, sizeof(IpAddress));
    spec.port = svc.settings().requestChn.port;
    auto peer = fabric.host("10.0.0.2").open(spec);
    MslMsgHeader keepalive{};
    keepalive.cmdType = MSL_CMD_KEEPALIVE_MSG;
    keepalive.msgLen = sizeof keepalive;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(peer->send(reinterpret_cast<const char*>(&keepalive), sizeof keepalive), 0);
    ASSERT_TRUE(h.passUntil([&] { return svc.numTestDropped() == 3; }));
    EXPECT_EQ(svc.controlStats().rqsReceived.get(), 0u);
}
} // namespace
