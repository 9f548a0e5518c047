// The manager and its connections on a real framework: plain clients on
// 127.0.0.1 connect to a port the test picked, and records published on the
// bus reach them byte for byte.
#include "ManagerHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace hostrun;
using namespace loopback;

// Two clients read everything; a third leaves while records are still being
// published, which costs the others nothing.
TEST(ManagerLoopback, ClientsGetEveryRecordInOrderWhileOneLeavesMidPublish)
{
    MasqHost s;
    constexpr unsigned cRecords = 3000;
    std::string expected;
    for (unsigned i = 0; i < cRecords; ++i)
        expected += recordBytes(i, 1 + (i * 37) % 300);

    std::string got[2];
    std::atomic<int> readersDone{0};
    std::atomic<bool> leaverGone{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 2; ++c)
        clients.emplace_back([&, c] {
            blockExitSignals();
            const int fd = connectWhenListening(s.port);
            readUpTo(fd, got[c], expected.size());
            ::close(fd);
            ++readersDone;
        });
    clients.emplace_back([&] {
        blockExitSignals();
        const int fd = connectWhenListening(s.port);
        std::string some;
        readUpTo(fd, some, 5000);
        ::close(fd);
        leaverGone = true;
    });

    unsigned next = 0;
    int liveAfterLeave = -1;
    s.driver.step = [&] {
        if (s.manager.accepted < 3)
            return false;
        // 100 records a tick: the leaver goes while they flow.
        for (int k = 0; k < 100 && next < cRecords; ++k, ++next)
            s.feed.publish(recordBytes(next, 1 + (next * 37) % 300), next + 1);
        if (next < cRecords)
            return false;
        if (leaverGone && liveAfterLeave < 0 && s.manager.liveConnections("127.0.0.1") == 2)
            liveAfterLeave = 2;
        return readersDone == 2 && liveAfterLeave == 2;
    };
    ASSERT_TRUE(s.run());
    for (std::thread& t : clients)
        t.join();

    EXPECT_EQ(s.stateAfterInitListen, TCP_DELAY_CONNECT);
    EXPECT_EQ(s.host.sink.count("LineMasqueraderManagerTcp::onReadyToConnect() : Listening for connections... port: " +
                                std::to_string(s.port)),
              1);
    EXPECT_EQ(got[0], expected);
    EXPECT_EQ(got[1], expected);
    EXPECT_EQ(liveAfterLeave, 2);
    EXPECT_EQ(s.manager.getSeqNum(), cRecords);
}

// A limit of 2 live connections per address: the third is closed at once,
// and once one of the two leaves, the address may connect again.
TEST(ManagerLoopback, TheAddressLimitCountsLiveConnections)
{
    MasqHost s;
    s.manager.setMaxConnectionsPerIpAddress(2);
    std::atomic<int> live{-1};
    std::atomic<int> awaitingDelete{-1};
    std::atomic<bool> done{false};
    bool thirdClosed = false;
    bool fourthOpen = false;
    std::thread client([&] {
        blockExitSignals();
        const int first = connectWhenListening(s.port);
        const int second = connectOnce(s.port);
        while (s.manager.accepted < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int third = connectOnce(s.port);
        thirdClosed = closedByPeer(third, 5);
        ::close(third);
        ::close(first);
        while (live != 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int fourth = connectOnce(s.port);
        while (s.manager.accepted < 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fourthOpen = !closedByPeer(fourth, 1);
        ::close(fourth);
        ::close(second);
        done = true;
    });
    s.driver.step = [&] {
        live = static_cast<int>(s.manager.liveConnections("127.0.0.1"));
        if (s.manager.accepted == 3 && awaitingDelete < 0)
            awaitingDelete = static_cast<int>(s.manager.closedAwaitingDelete());
        return done.load();
    };
    ASSERT_TRUE(s.run());
    client.join();

    EXPECT_TRUE(thirdClosed);
    EXPECT_TRUE(fourthOpen);
    EXPECT_EQ(s.manager.accepted, 3);
    EXPECT_EQ(s.host.sink.count("Too many connection attempts [3] from IP Address [127.0.0.1] - Closing socket.",
                                LOG_LEVEL_INFO),
              1);
    // The refused and the departed objects were deleted when the fourth came.
    EXPECT_EQ(awaitingDelete, 0);
}

TEST(ManagerLoopback, ACreateThatGivesNoneRefusesTheClient)
{
    MasqHost s;
    s.manager.refuseAll = true;
    std::atomic<bool> done{false};
    bool closed = false;
    std::thread client([&] {
        blockExitSignals();
        const int fd = connectWhenListening(s.port);
        closed = closedByPeer(fd, 5);
        ::close(fd);
        done = true;
    });
    s.driver.step = [&] { return done.load(); };
    ASSERT_TRUE(s.run());
    client.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(s.manager.accepted, 0);
    EXPECT_EQ(s.host.sink.count("not currently accepting connections, connection from IP Address rejected "
                                "[127.0.0.1] - Closing socket.",
                                LOG_LEVEL_INFO),
              1);
}

// TerminateAll closes the listener: a new client is closed at once, the
// accepted one still receives what is published.
TEST(ManagerLoopback, TerminateAllClosesTheListenerAndKeepsTheClients)
{
    MasqHost s;
    std::atomic<bool> terminated{false};
    std::atomic<bool> lateChecked{false};
    std::atomic<bool> done{false};
    bool lateClosed = false;
    std::string got;
    std::thread client([&] {
        blockExitSignals();
        const int fd = connectWhenListening(s.port);
        while (!terminated)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const int late = connectOnce(s.port);
        lateClosed = late < 0 || closedByPeer(late, 5);
        if (late >= 0)
            ::close(late);
        lateChecked = true;
        readUpTo(fd, got, 5);
        ::close(fd);
        done = true;
    });
    OrluPublisher<TerminateAll> term("test");
    term.setDestination(&s.terminate);
    bool published = false;
    s.driver.step = [&] {
        if (s.manager.accepted == 1 && !terminated)
        {
            term.publish(TerminateAll("test"));
            terminated = true;
        }
        if (lateChecked && !published)
        {
            s.feed.publish("after");
            published = true;
        }
        return done.load();
    };
    ASSERT_TRUE(s.run());
    client.join();
    EXPECT_TRUE(lateClosed);
    EXPECT_EQ(s.manager.accepted, 1);
    EXPECT_EQ(got, "after");
    EXPECT_EQ(s.manager.getListenState(), TCP_READY_CONNECT);
    EXPECT_EQ(s.host.sink.count("LineMasqueraderManagerTcp::closeListen(): called, closing sockets.", LOG_LEVEL_INFO),
              1);
}

// TerminateAll published on another framework thread: the listener, which
// belongs to the manager's thread, is closed there.
TEST(ManagerLoopback, TerminateAllFromAnotherThreadClosesTheListenerOnTheManagersThread)
{
    MasqHost s;
    Thread<> other(s.host, "MQOTHER");
    Driver publisherDriver;
    OrluPublisher<TerminateAll> term("test");
    term.setDestination(&s.terminate);
    bool published = false;
    bool lateRefused = false;
    publisherDriver.step = [&] {
        if (!published)
        {
            const int fd = connectOnce(s.port);
            if (fd < 0)
                return false; // not listening yet
            ::close(fd);
            term.publish(TerminateAll("test"));
            published = true;
        }
        if (!s.manager.listenClosed)
            return false;
        const int late = connectOnce(s.port);
        lateRefused = late < 0 || closedByPeer(late, 5);
        if (late >= 0)
            ::close(late);
        return true;
    };
    ASSERT_TRUE(publisherDriver.start(other.session));
    ASSERT_TRUE(runFramework({{"MASQ", 1000}, {"MQOTHER", 1000}}, "", std::chrono::seconds(60)));
    EXPECT_EQ(s.manager.closedOn, "MASQ");
    EXPECT_TRUE(lateRefused);
    EXPECT_EQ(s.manager.getListenState(), TCP_READY_CONNECT);
}
