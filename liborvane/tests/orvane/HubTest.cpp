// The hub on a real framework: raw TCP clients on 127.0.0.1 send records and
// read what the hub relays.
#include "HubTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <random>
#include <thread>
#include <vector>

using namespace relaytest;

namespace
{

// The ids the relay went to, in order, from its verbose lines.
std::vector<std::string> relayedTo(const CaptureSink& sink)
{
    std::vector<std::string> ids;
    const std::string mark = "OrvaneServer::onOrvaneRequest(): relaying to ";
    for (const auto& [level, line] : sink.lines())
        if (auto at = line.find(mark); at != std::string::npos)
            ids.push_back(line.substr(at + mark.size()));
    return ids;
}

} // namespace

// A, B and C connect in turn and are named in that order; a record from A
// reaches all three once each, the sender included, in ascending id order.
// B leaves and D, the next to come, gets the next number.
TEST(OrvaneHub, EveryPeerGetsEachRecordOnceInIdOrderAndNamesAreNotReused)
{
    HubHost s;
    s.host.log.setVerbose(true);
    std::vector<std::string> got[3];
    bool extra[3] = {};
    std::atomic<bool> done{false};
    std::thread clients([&] {
        blockExitSignals();
        int fd[3];
        for (int i = 0; i < 3; ++i)
        {
            fd[i] = connectWhenListening(s.port);
            waitFor(s.clients, i + 1);
        }
        sendAll(fd[0], record("orvane.feedd.gethamode", "tool.1", "x"));
        for (int i = 0; i < 3; ++i)
            got[i] = readRecords(fd[i], 1);
        for (int i = 0; i < 3; ++i)
            extra[i] = !silent(fd[i], 300);
        ::close(fd[1]);
        waitFor(s.clients, 2);
        const int d = connectOnce(s.port);
        waitFor(s.clients, 3);
        ::close(d);
        ::close(fd[0]);
        ::close(fd[2]);
        waitFor(s.clients, 0);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    clients.join();

    const std::string sent = record("orvane.feedd.gethamode", "tool.1", "x");
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_EQ(got[i].size(), 1u) << i;
        EXPECT_TRUE(got[i][0] == sent) << i;
        EXPECT_FALSE(extra[i]) << i;
    }
    const std::vector<std::string> order = relayedTo(s.host.sink);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(), 3u);
    for (const char* name : {"OrvaneServerSession_0", "OrvaneServerSession_1", "OrvaneServerSession_2",
                             "OrvaneServerSession_3"})
        EXPECT_EQ(s.host.sink.count(std::string("OrvaneServerSessionImpl::onClosed(") + name + ")"), 1) << name;
    EXPECT_EQ(s.host.sink.count("OrvaneServerSession_4"), 0);
    EXPECT_EQ(s.host.sink.count("OrvaneServer::removeClient(): total number of clients = 2"), 2);
}

// Records cut anywhere in the stream come back whole, once, in order: two in
// one write, one in three writes, one a byte per write.
TEST(OrvaneHub, RecordsAreJoinedAcrossAndWithinWrites)
{
    HubHost s;
    const std::string r1 = record("s.one", "", "1"), r2 = record("s.two", "", "2"), r3 = record("s.three", "", "3"),
                      r4 = record("s.four", "", std::string(1199, 'a'));
    std::vector<std::string> got;
    bool extra = true;
    std::atomic<bool> done{false};
    std::thread client([&] {
        blockExitSignals();
        const int fd = connectWhenListening(s.port);
        noDelay(fd);
        waitFor(s.clients, 1);
        sendAll(fd, r1 + r2);
        sendAll(fd, r3.substr(0, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sendAll(fd, r3.substr(1, 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sendAll(fd, r3.substr(1001));
        for (char c : r4)
            sendAll(fd, std::string(1, c));
        got = readRecords(fd, 4);
        extra = !silent(fd, 300);
        ::close(fd);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    client.join();
    EXPECT_TRUE(got == (std::vector<std::string>{r1, r2, r3, r4})) << subjects(got);
    EXPECT_FALSE(extra);
}

// Peers that reset their connection while records are being relayed to them
// are dropped on the way; the sender and the peers that stay get every
// record, in order.
TEST(OrvaneHub, PeersResetDuringTheRelayLeaveTheOthersServed)
{
    HubHost s;
    constexpr int cRecords = 200, cResetters = 16;
    std::vector<std::string> sent;
    for (int i = 0; i < cRecords; ++i)
        sent.push_back(record("s." + std::to_string(i), "", std::string(100 + i, 'x')));
    std::vector<std::string> got[3];
    std::atomic<bool> done{false};
    std::thread clients([&] {
        blockExitSignals();
        int stay[3];
        for (int& fd : stay)
            fd = connectWhenListening(s.port);
        std::vector<int> resetters;
        for (int i = 0; i < cResetters; ++i)
            resetters.push_back(connectOnce(s.port));
        waitFor(s.clients, 3 + cResetters);
        std::vector<std::thread> readers;
        for (int i = 1; i < 3; ++i)
            readers.emplace_back([&, i] { got[i] = readRecords(stay[i], cRecords); });
        std::vector<std::thread> leavers;
        for (int i = 0; i < cResetters; ++i)
            leavers.emplace_back([&, i] {
                readRecords(resetters[i], 1 + i * 5);
                reset(resetters[i]);
            });
        // The sender takes each record back before it sends the next.
        for (const std::string& r : sent)
        {
            sendAll(stay[0], r);
            const std::vector<std::string> back = readRecords(stay[0], 1);
            if (back.empty())
                break;
            got[0].push_back(back[0]);
        }
        for (std::thread& t : leavers)
            t.join();
        for (std::thread& t : readers)
            t.join();
        for (int fd : stay)
            ::close(fd);
        waitFor(s.clients, 0);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    clients.join();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(got[i] == sent) << i << ": " << got[i].size() << " records: " << subjects(got[i]).substr(0, 200);
    if (::testing::Test::HasFailure())
        for (const auto& [level, line] : s.host.sink.lines())
            if (level <= LOG_LEVEL_WARNING || line.find("OrvaneServer") != std::string::npos)
                std::cerr << line.substr(0, 300) << "\n";
    EXPECT_EQ(s.clients, 0);
}

// With a limit of 2 live connections per address a third is closed at once
// without joining the list; once one of the two leaves, a new one is taken.
TEST(OrvaneHub, TheAddressLimitCountsLiveConnections)
{
    HubHost s;
    s.hub.setMaxConnectionsPerIpAddress(2);
    bool thirdClosed = false, fourthServed = false;
    std::atomic<bool> done{false};
    std::thread clients([&] {
        blockExitSignals();
        const int first = connectWhenListening(s.port);
        const int second = connectOnce(s.port);
        waitFor(s.clients, 2);
        const int third = connectOnce(s.port);
        thirdClosed = loopback::closedByPeer(third, 10);
        ::close(third);
        ::close(first);
        waitFor(s.clients, 1);
        const int fourth = connectOnce(s.port);
        waitFor(s.clients, 2);
        sendAll(fourth, record("s.fourth"));
        fourthServed = readRecords(fourth, 1).size() == 1;
        ::close(fourth);
        ::close(second);
        waitFor(s.clients, 0);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    clients.join();
    EXPECT_TRUE(thirdClosed);
    EXPECT_TRUE(fourthServed);
    EXPECT_EQ(s.host.sink.count("Too many connection attempts [3] from IP Address [127.0.0.1]"), 1);
}

// A peer that stops reading is closed once its queue passes the maximum; the
// sender still gets every record.
TEST(OrvaneHub, APeerThatStopsReadingIsClosedAtTheQueueMaximum)
{
    HubHost s;
    s.hub.setMaxQueueBufferSize(64 * 1024);
    constexpr int cRecords = 3000;
    std::vector<std::string> got;
    bool stalledClosed = false;
    std::atomic<bool> done{false};
    std::thread clients([&] {
        blockExitSignals();
        const int sender = connectWhenListening(s.port);
        const int stalled = loopback::connectOnce(s.port, 4096);
        waitFor(s.clients, 2);
        // The sender takes each record back before it sends the next.
        for (int i = 0; i < cRecords; ++i)
        {
            sendAll(sender, record("s." + std::to_string(i), "", std::string(1000, 'q')));
            const std::vector<std::string> back = readRecords(sender, 1);
            if (back.empty())
                break;
            got.push_back(back[0]);
        }
        waitFor(s.clients, 1);
        stalledClosed = loopback::closedByPeer(stalled, 10);
        ::close(stalled);
        ::close(sender);
        waitFor(s.clients, 0);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    clients.join();
    EXPECT_EQ(got.size(), static_cast<std::size_t>(cRecords));
    EXPECT_TRUE(stalledClosed);
    EXPECT_GE(s.host.sink.count("is over its maximum"), 1);
}

// 10,000 connections that come and go leave no session behind.
TEST(OrvaneHub, ConnectAndCloseCyclesLeaveNoSessionBehind)
{
    HubHost s;
    s.host.log.setLevel(LOG_LEVEL_WARNING);
    constexpr int cThreads = 4, cCycles = 10000;
    std::atomic<int> cycles{0};
    std::atomic<int> failed{0};
    std::atomic<bool> clientsDone{false};
    int sessionsAtEnd = -1;
    std::thread clients([&] {
        blockExitSignals();
        ::close(connectWhenListening(s.port));
        std::vector<std::thread> workers;
        for (int t = 0; t < cThreads; ++t)
            workers.emplace_back([&] {
                blockExitSignals();
                while (cycles.fetch_add(1) < cCycles)
                {
                    const int fd = connectOnce(s.port);
                    if (fd < 0)
                        ++failed;
                    else
                        ::close(fd);
                }
            });
        for (std::thread& t : workers)
            t.join();
        clientsDone = true;
    });
    auto settledSince = std::chrono::steady_clock::time_point{};
    const bool ran = s.run(
        [&] {
            if (!clientsDone)
                return false;
            const auto now = std::chrono::steady_clock::now();
            if (settledSince == std::chrono::steady_clock::time_point{})
                settledSince = now;
            // Every session closed and deleted, or 30 s of waiting for it.
            if ((s.clients == 0 && s.sessions == 0) || now - settledSince > std::chrono::seconds(30))
            {
                sessionsAtEnd = s.sessions;
                return true;
            }
            return false;
        },
        // A backlog that takes the burst: a refused handshake waits a second.
        std::chrono::seconds(240), "CONN_QUEUE_LEN INT32 256\nTCP_CONN_RES_MAX INT32 400\n");
    clients.join();
    EXPECT_TRUE(ran) << cycles.load() << " cycles";
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(sessionsAtEnd, 0) << cycles.load() << " cycles";
    if (::testing::Test::HasFailure())
        for (const auto& [level, line] : s.host.sink.lines())
            std::cerr << line.substr(0, 300) << "\n";
}

// Random bytes, and a valid record one byte out of step, are relayed to no
// one: each such peer is closed with a line naming it, and a listening peer
// hears nothing.
TEST(OrvaneHub, MisframedStreamsAreNeverRelayed)
{
    HubHost s;
    std::mt19937 random(12345);
    constexpr int cStreams = 12;
    int closedMisframed = 0;
    bool listenerSilent = false;
    std::atomic<bool> done{false};
    std::thread clients([&] {
        blockExitSignals();
        const int listener = connectWhenListening(s.port);
        waitFor(s.clients, 1);
        for (int i = 0; i < cStreams; ++i)
        {
            std::string bytes;
            if (i == 0)
                bytes = "x" + record("s.valid", "r", "a") + record("s.valid", "r", "b");
            else
                for (int n = 0; n < 3 * 1451 + static_cast<int>(random() % 1451); ++n)
                    bytes.push_back(static_cast<char>(random()));
            const int fd = connectOnce(s.port);
            waitFor(s.clients, 2);
            for (std::size_t at = 0; at < bytes.size();)
            {
                const std::size_t cut = std::min<std::size_t>(bytes.size() - at, 1 + random() % 2000);
                if (!sendAll(fd, bytes.substr(at, cut)))
                    break;
                at += cut;
            }
            closedMisframed += loopback::closedByPeer(fd, 10);
            ::close(fd);
            waitFor(s.clients, 1);
        }
        listenerSilent = silent(listener, 300);
        ::close(listener);
        waitFor(s.clients, 0);
        done = true;
    });
    ASSERT_TRUE(s.run([&] { return done.load(); }));
    clients.join();
    EXPECT_EQ(closedMisframed, cStreams);
    EXPECT_TRUE(listenerSilent);
    EXPECT_EQ(s.host.sink.count("is not terminated text followed by zero bytes"), cStreams);
    EXPECT_EQ(s.host.sink.count("received orvane subject"), 0);
}

// Without a framework: the list keeps one entry per connection id, the
// later session's; the earlier one closing leaves it. A queue maximum of 0
// gives the sessions the hub's own bound.
TEST(OrvaneHub, AnIdConnectedTwiceKeepsOneEntryAndQueuesAreBounded)
{
    Host host;
    Thread<> thread{host, "HUB"};
    OrvaneServer hub{thread.session, host.log};
    hub.setMaxQueueBufferSize(0);
    auto* first = dynamic_cast<OrvaneServerSession*>(hub.create());
    auto* second = dynamic_cast<OrvaneServerSession*>(hub.create());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->getName(), "OrvaneServerSession_0");
    EXPECT_EQ(second->getName(), "OrvaneServerSession_1");
    EXPECT_EQ(first->getMaxQueueBufferSize(), OrvaneServer::cDefaultMaxQueueBufferSize);
    hub.setMaxQueueBufferSize(5000);
    auto* third = hub.create();
    EXPECT_EQ(third->getMaxQueueBufferSize(), 5000);

    const char resource[17] = "T:1";
    first->setConnection(resource, "127.0.0.1:40000");
    second->setConnection(resource, "127.0.0.1:40000");
    hub.onConnected("127.0.0.1:40000", first);
    hub.onConnected("127.0.0.1:40000", second);
    EXPECT_EQ(hub.clientIds(), std::vector<std::string>{"127.0.0.1:40000"});
    first->closeFd(false);
    EXPECT_EQ(hub.clientCount(), 1u);
    second->closeFd(false);
    EXPECT_EQ(hub.clientCount(), 0u);
    EXPECT_EQ(hub.sessionCount(), 3u);
}

namespace
{
struct Idle : TarvokTimerHandler
{
    void onTimer(TarvokTimer*) override {}
};
} // namespace

// With every timer of the thread taken, a closed session cannot be deleted
// on the next turn: the hub says so with the limit, and deletes it when the
// next connection comes instead.
TEST(OrvaneHub, ARefusedTimerIsLoggedAndTheSessionGoesAtTheNextConnection)
{
    HubHost s;
    Idle idle;
    std::vector<std::unique_ptr<TarvokTimer>> filler;
    std::atomic<bool> full{false};
    std::atomic<int> sessionsWithSecond{-1};
    std::atomic<bool> done{false};
    std::thread clients([&] {
        blockExitSignals();
        const int first = connectWhenListening(s.port);
        waitFor(s.clients, 1);
        while (!full)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(first);
        waitFor(s.clients, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int second = connectOnce(s.port);
        waitFor(s.clients, 1);
        sessionsWithSecond = -2;
        while (sessionsWithSecond == -2)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(second);
        done = true;
    });
    ASSERT_TRUE(s.run(
        [&] {
            if (s.clients == 1 && !full)
                while (!full)
                {
                    auto timer = std::make_unique<TarvokTimer>();
                    full = !timer->create(&s.thread.session, &idle, 60000, nullptr);
                    if (!full)
                        filler.push_back(std::move(timer));
                }
            if (sessionsWithSecond == -2)
                sessionsWithSecond = s.sessions.load();
            return done.load();
        },
        std::chrono::seconds(60), "MSG_DISP_FD_NUM INT32 1\n"));
    clients.join();
    filler.clear();
    EXPECT_GE(s.host.sink.count("no timer to delete closed sessions: the thread holds as many as the framework "
                                "allows (MSG_DISP_FD_NUM + 5)"),
              1);
    EXPECT_EQ(sessionsWithSecond, 1);
}
