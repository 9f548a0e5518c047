// A TCP line built from configuration on the real framework: it connects at
// start-up to a plain feed server on 127.0.0.1 at a port the system chose,
// the blocks the server sends reach the sub-feed's filtered channel in
// order, and the line's buffer statistics count the bytes until reset.
#include "RoadTestSupport.h"

#include "kelmora/linehandler/LineHandlerTcp.h"
#include "kelmora/thread/TarvokTimer.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

using roadtest::Seen;
using roadtest::block;

namespace
{

using Clock = std::chrono::steady_clock;

// A listening socket on 127.0.0.1 at a port the system chose; its one peer
// sends `feed` once connected and holds the connection until `done`.
struct FeedServer
{
    FeedServer()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~FeedServer()
    {
        done = true;
        if (peer.joinable())
            peer.join();
        ::close(fd);
    }
    void serve(const std::vector<std::string>& feed)
    {
        peer = std::thread([this, feed] {
            hostrun::blockExitSignals();
            int c = -1;
            while (!done && c < 0)
            {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) == 1)
                    c = ::accept(fd, nullptr, nullptr);
            }
            if (c < 0)
                return;
            for (const std::string& piece : feed)
            {
                ::send(c, piece.data(), piece.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            while (!done)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::close(c);
        });
    }
    int fd;
    int port;
    std::atomic<bool> done{false};
    std::thread peer;
};

// On the admin session's thread: asks the buffer statistics, resets them,
// asks again, and ends the run.
struct Driver : TarvokTimerHandler
{
    void request(const std::string& method)
    {
        admintest::relayRequest(*session, "orvane.A." + method, "host.1." + std::to_string(++requests), "");
    }
    void onTimer(TarvokTimer* timer) override
    {
        if (Clock::now() - begun > std::chrono::seconds(20))
        {
            timedOutIn = phase;
            phase = 99;
        }
        switch (phase)
        {
        case 0:
            if (filtered->taken() != "1 2 3 4 5")
                return;
            request("getfiledescbufferstats");
            phase = 1;
            return;
        case 1:
            if (client.taken().size() < 1)
                return;
            request("resetfiledescbufferstats");
            phase = 2;
            return;
        case 2:
            if (client.taken().size() < 2)
                return;
            request("getfiledescbufferstats");
            phase = 3;
            return;
        case 3:
            if (client.taken().size() < 3)
                return;
            phase = 100;
            break;
        default:
            break;
        }
        timer->destroy();
        hostrun::stopFramework();
    }

    TarvokSession* session = nullptr;
    Seen* filtered = nullptr;
    admintest::RecordingClient client;
    int requests = 0;
    int phase = 0;
    int timedOutIn = -1;
    Clock::time_point begun = Clock::now();
};

TEST(TcpRoad, AServerOnALoopbackPortFeedsTheFilteredChannelInOrder)
{
    FeedServer server;
    // A block cut across two sends, and two blocks in one.
    const std::string second = block({"O3c"});
    const std::vector<std::string> feed = {block({"O1a", "O2b"}), second.substr(0, 2), second.substr(2),
                                           block({"O4d"}) + block({"O5e"})};
    std::size_t bytes = 0;
    for (const std::string& piece : feed)
        bytes += piece.size();
    server.serve(feed);
    roadtest::RoadHost road("<LineHandlerType>tcp</LineHandlerType><TcpIpAddress>127.0.0.1</TcpIpAddress><TcpPort>" +
                                std::to_string(server.port) + "</TcpPort>",
                            "<LineFilterInitialSeqNum>1</LineFilterInitialSeqNum>"
                            "<LineDataSeqNumOffset>1</LineDataSeqNumOffset>");
    Seen filtered;
    Driver driver;
    driver.filtered = &filtered;
    TarvokTimer timer;
    ASSERT_TRUE(road.run([&](ModuleList& list) {
        findModule<Orlu<LineData>>(&list, "OrluLineData", "A")->subscribe(&filtered);
        findModule<Orlu<LineStatus>>(&list, "OrluLineStatus", "A")->subscribe(&filtered);
        driver.session = findModule<TarvokSession>(&list, "TarvokSessionOrvane", "default");
        driver.session->setOrvaneClient(&driver.client);
        timer.create(driver.session, &driver, 5, nullptr);
    }));

    EXPECT_EQ(driver.phase, 100) << "timed out in phase " << driver.timedOutIn;
    EXPECT_EQ(filtered.taken(), "1 2 3 4 5");
    EXPECT_NE(std::find(filtered.statuses.begin(), filtered.statuses.end(), "up"), filtered.statuses.end());
    std::vector<std::string> replies;
    for (const std::string& rec : driver.client.taken())
        replies.push_back(admintest::field(rec, 151, 1200));
    ASSERT_EQ(replies.size(), 3u);
    const std::string line = "127.0.0.1:" + std::to_string(server.port);
    EXPECT_NE(replies[0].find(line + " used="), std::string::npos) << replies[0];
    EXPECT_NE(replies[0].find("; bread=" + std::to_string(bytes) + ";"), std::string::npos) << replies[0];
    EXPECT_EQ(replies[1], line + " buffer statistics reset");
    EXPECT_NE(replies[2].find("; reads=0;"), std::string::npos) << replies[2];
    EXPECT_NE(replies[2].find("; bread=0;"), std::string::npos) << replies[2];
}

} // namespace
