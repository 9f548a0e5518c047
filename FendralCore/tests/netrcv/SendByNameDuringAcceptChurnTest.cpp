// Application threads send by connection name while the network thread
// accepts and the stream thread removes hundreds of other connections: the
// dispatchers' look-ups of a live connection (their caches miss, since they
// go round more names than they keep) never miss it, and the registry's
// table is never read while another thread changes it (the thread sanitizer
// build reports any such read).
#include "FendralCore/tests/netrcv/NetReceiverTestSupport.h"

#include <atomic>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

using namespace netrcvtest;

namespace
{
int connectTo(uint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

class SendByNameDuringAcceptChurnTest : public NetReceiverHarness
{
protected:
    SendByNameDuringAcceptChurnTest()
        : NetReceiverHarness(CPU_UTILIZATION, 1024, "STS_RPT_INTERVAL INT32 5\nTCP_CONN_RES_MAX INT32 64\n")
    {
    }
};
} // namespace

TEST_F(SendByNameDuringAcceptChurnTest, LiveConnectionsAreFoundByNameWhileOthersComeAndGo)
{
    constexpr int cLive = 16;    // more names than a dispatcher's cache keeps
    constexpr int cChurned = 300;
    const uint16 port = freePort();
    TcpConnResource* listen = addTcp("LSN", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_RAW, port);
    start();
    ASSERT_TRUE(waitStatus(listen, RES_LISTENING));

    std::vector<int> liveFds;
    std::vector<std::string> liveNames;
    for (int i = 0; i < cLive; ++i)
    {
        const int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        liveFds.push_back(fd);
        const EventMsg added = event(*m_ownerNormal);
        ASSERT_EQ(added.id, NEW_CONNECT);
        liveNames.emplace_back(added.eventParam.resNameTxt);
    }

    std::atomic<bool> churnDone{false};
    // The live clients read what is sent, so that no send waits for room.
    std::thread drain([&] {
        std::vector<pollfd> fds;
        for (int fd : liveFds)
            fds.push_back({fd, POLLIN, 0});
        char buf[4096];
        while (!churnDone.load())
            if (::poll(fds.data(), fds.size(), 50) > 0)
                for (const pollfd& p : fds)
                    if ((p.revents & POLLIN) != 0)
                        (void)::recv(p.fd, buf, sizeof buf, MSG_DONTWAIT);
    });
    m_owner->appCallbackFuncPtr = [](MessageType, EventMsg*, DataMsg*) -> int32 { return 0; };
    std::atomic<int> sends{0};
    std::atomic<int> misses{0};
    std::atomic<int> lastMissCode{0};
    auto sender = [&] {
        AppDispatcher dispatcher(m_owner, m_registry, m_config.get());
        if (dispatcher.initialize() != 0)
        {
            ++misses;
            return;
        }
        while (!churnDone.load())
            for (const std::string& name : liveNames)
            {
                const int32 sent = dispatcher.sendTcpMessage(name.c_str(), "x", 1, nullptr, false);
                if (sent < 0 || (sent == 0 && FrameworkErrno::m_fwErrno != WOULD_BLOCK))
                {
                    ++misses;
                    lastMissCode = FrameworkErrno::m_fwErrno;
                }
                ++sends;
            }
    };
    std::thread sender1(sender);
    std::thread sender2(sender);

    // Each churned connection is registered on accept and removed after its close.
    int churned = 0;
    for (int i = 0; i < cChurned && !HasFailure(); ++i)
    {
        const int fd = connectTo(port);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);
        ::close(fd);
        EXPECT_EQ(event(*m_ownerNormal).id, DISCONNECTED);
        ++churned;
    }
    churnDone = true;
    sender1.join();
    sender2.join();
    drain.join();
    for (int fd : liveFds)
        ::close(fd);

    EXPECT_EQ(churned, cChurned);
    EXPECT_GT(sends.load(), 0);
    EXPECT_EQ(misses.load(), 0) << "last code " << lastMissCode.load();
    RecordProperty("sends", std::to_string(sends.load()));
}
