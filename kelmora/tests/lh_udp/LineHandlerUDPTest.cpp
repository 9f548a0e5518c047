// The UDP line handler: the datagram path on its own, and its socket polled
// from its thread's queue with loopback datagrams through the real framework.
#include "../lh_base/LineHandlerTestSupport.h"

#include "kelmora/linehandler/LineHandlerUDP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>

using namespace hostrun;
using namespace lhtest;

namespace
{
std::string adminText(const MsgPubAdmin& m)
{
    return m.getAction() == MsgPubAdmin::START_BATCH ? "S" : m.getAction() == MsgPubAdmin::FLUSH ? "F" : "?";
}

int openDescriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

struct Sender
{
    explicit Sender(int port) : fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Sender() { ::close(fd); }
    void send(const std::string& bytes) const
    {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int fd;
    sockaddr_in to{};
};

template <typename R>
struct Udp : ::testing::Test
{
    Host host;
    Thread<R> thread{host, "LHUDP"};
    CountingFactory factory;
    std::vector<std::string> events;
    Recorder<LineData> data{events, [](const LineData& d) { return "D:" + std::string(d.getData(), d.getDataLen()); }};
    Recorder<MsgPubAdmin> admin{events, adminText};
    std::unique_ptr<LineHandlerUDP> handler = std::make_unique<LineHandlerUDP>(factory, thread.session, host.log);
    int port = freeUdpPort();

    Udp()
    {
        handler->setName("udp1");
        handler->OrluPublisher<LineData>::setDestination(&data.channel);
        handler->OrluPublisher<MsgPubAdmin>::setDestination(&admin.channel);
    }
    int received() const
    {
        int n = 0;
        for (const std::string& e : events)
            n += e.rfind("D:", 0) == 0 ? 1 : 0;
        return n;
    }
};

using Offline = Udp<Runnable>;
using Live = Udp<Starter>;
} // namespace

TEST_F(Offline, DatagramsHandedInInflateAndAreCutAtTheFirstNul)
{
    handler->processNetworkData("abc", 3);
    handler->processNetworkData("", 0);
    handler->setDataIsCompressed(true);
    const std::string withNul = deflate(std::string("ab\0cd", 5));
    handler->processNetworkData(withNul.data(), static_cast<unsigned int>(withNul.size()));
    handler->processNetworkData("not zlib", 8);
    EXPECT_EQ(events, (std::vector<std::string>{"D:abc", "D:ab"}));
    EXPECT_EQ(handler->getDroppedCount(), 2u);
    EXPECT_EQ(host.sink.count("LineHandlerUDP: uncompress(): corrupt data", LOG_LEVEL_WARNING), 1);
    EXPECT_EQ(host.sink.count("LineHandlerUDP::onNetworkData(): empty datagram on udp1 dropped", LOG_LEVEL_WARNING),
              1);
}

// Empty and corrupt datagrams come from whoever reaches the port: each is
// dropped, but the line writes only ten of their warnings a minute and
// counts the rest when it goes away.
TEST_F(Offline, DatagramWarningsAreLimitedPerLine)
{
    handler->setDataIsCompressed(true);
    for (int i = 0; i < 20; ++i)
        handler->processNetworkData("", 0);
    for (int i = 0; i < 5; ++i)
        handler->processNetworkData("not zlib", 8);
    EXPECT_EQ(handler->getDroppedCount(), 25u);
    EXPECT_EQ(host.sink.count("LineHandlerUDP::onNetworkData(): empty datagram on udp1 dropped", LOG_LEVEL_WARNING),
              10);
    EXPECT_EQ(host.sink.count("corrupt data"), 0);
    EXPECT_EQ(host.sink.count("held back"), 0);
    handler.reset();
    EXPECT_EQ(host.sink.count("LineHandlerUDP (udp1): 15 similar log lines held back", LOG_LEVEL_WARNING), 1);
}

// Anyone who reaches the port can send bad datagrams as fast as the network
// carries them: ten warnings a minute, every drop still counted, and the
// number held back told when the line disconnects.
TEST_F(Offline, BadDatagramsWarnUpToTheLimitAndTheRestIsCountedAtDisconnect)
{
    handler->setDataIsCompressed(true);
    for (int i = 0; i < 15; ++i)
    {
        handler->processNetworkData("", 0);
        handler->processNetworkData("not zlib", 8);
    }
    const std::string ok = deflate("ok");
    handler->processNetworkData(ok.data(), static_cast<unsigned int>(ok.size()));
    EXPECT_EQ(events, (std::vector<std::string>{"D:ok"}));
    EXPECT_EQ(handler->getDroppedCount(), 30u);
    EXPECT_EQ(host.sink.count("LineHandlerUDP", LOG_LEVEL_WARNING), 10);
    handler->disconnect();
    EXPECT_EQ(host.sink.count("LineHandlerUDP (udp1): 20 similar log lines held back", LOG_LEVEL_WARNING), 1);
}

TEST_F(Offline, ServiceTextsAndConnectOnInitOff)
{
    struct Case
    {
        const char* service;
        int port; // 0: refused
    };
    for (const Case& c : {Case{"0x1f90", 8080}, Case{"domain", 53}, Case{"0", 0}, Case{"", 0}, Case{"nosuch", 0}})
    {
        SCOPED_TRACE(c.service);
        if (c.port == 0)
        {
            EXPECT_THROW(handler->setUdpParams("127.0.0.1", c.service, "127.0.0.1", 0, false), LineError);
            continue;
        }
        handler->setUdpParams("127.0.0.1", c.service, "127.0.0.1", 0, false);
        EXPECT_EQ(handler->getPort(), c.port);
        EXPECT_EQ(handler->getSocket(), -1);
    }
    EXPECT_EQ(host.sink.count("Invalid multicast service parameter: \"nosuch\"", LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(host.sink.count("LineHandlerUDP: NOT joining multicast group (ConnectOnInit==false)"), 2);
    EXPECT_FALSE(handler->connected());
}

TEST_F(Live, DatagramsToThePortArriveAndAQueuedBacklogIsDrained)
{
    const Sender sender(port);
    thread.runnable->start = [&] {
        handler->setUdpParams("127.0.0.1", std::to_string(port), "127.0.0.1", 0, true);
        // Queued before the first pass: readiness is reported once for all of them.
        for (int i = 0; i < 50; ++i)
            sender.send("m" + std::to_string(i));
    };
    ASSERT_TRUE(runUntil(thread, [&] { return received() >= 50; }, std::chrono::seconds(10)));
    EXPECT_EQ(events.front(), "S");
    EXPECT_EQ(events[1], "D:m0");
    EXPECT_EQ(received(), 50);
    EXPECT_FALSE(handler->connected());
}

TEST_F(Live, NoReadsPerEventReadsNothing)
{
    const Sender sender(port);
    handler->setReadsPerIoEvent(0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    thread.runnable->start = [&] {
        handler->setUdpParams("127.0.0.1", std::to_string(port), "127.0.0.1", 0, true);
        sender.send("x");
    };
    ASSERT_TRUE(runUntil(thread, [&] { return std::chrono::steady_clock::now() > end; }));
    EXPECT_GE(handler->getSocket(), 0);
    EXPECT_EQ(received(), 0);
}

TEST_F(Live, AnEmptyDatagramIsDroppedAndAReceiveErrorBouncesWithPollingResumed)
{
    const Sender sender(port);
    const int closedPort = freeUdpPort();
    bool sentAfterBounce = false;
    thread.runnable->start = [&] {
        handler->setUdpParams("127.0.0.1", std::to_string(port), "127.0.0.1", 0, true);
        sender.send("");
        sender.send("a");
    };
    ASSERT_TRUE(runUntil(thread, [&] {
        if (received() == 1 && host.sink.count("LineHandler::bounceLine") == 0)
        {
            // The port-unreachable answer becomes a receive error on the socket.
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(closedPort));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(handler->getSocket(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                ::send(handler->getSocket(), "?", 1, 0);
        }
        if (!sentAfterBounce && host.sink.count("LineHandler::bounceLine") == 1)
        {
            sentAfterBounce = true;
            sender.send("b");
        }
        return received() >= 2;
    }, std::chrono::seconds(10)));
    EXPECT_EQ(handler->getDroppedCount(), 1u);
    EXPECT_EQ(host.sink.count("LineHandler::bounceLine"), 1);
    EXPECT_EQ(events.back(), "F");
    EXPECT_EQ(events[events.size() - 2], "D:b");
    EXPECT_GE(handler->getSocket(), 0);
}

// Counts the poll messages the thread delivers.
struct PollCounter : OrluSubscriber<Zunq::ThreadData>
{
    PollCounter() : OrluSubscriber<Zunq::ThreadData>("polls") {}
    void onData(const Orlu<Zunq::ThreadData>&, const std::string&, const Zunq::ThreadData&) override { ++n; }
    int n = 0;
};

TEST_F(Live, DisconnectStopsPollingAndDestructionGivesTheDescriptorsBack)
{
    const Sender sender(port);
    PollCounter polls;
    thread.runnable->getOrluThreadData(Zunq::POLL_UDP)->subscribe(&polls);
    int before = 0;
    int afterDisconnect = 0;
    int afterDestruction = 0;
    int pollsAtDisconnect = 0;
    int pollsLater = 0;
    std::chrono::steady_clock::time_point disconnectedAt;
    thread.runnable->start = [&] {
        before = openDescriptors();
        handler->setUdpParams("127.0.0.1", std::to_string(port), "127.0.0.1", 0, true);
        sender.send("a");
    };
    ASSERT_TRUE(runUntil(thread, [&] {
        if (received() < 1)
            return false;
        if (handler->getSocket() >= 0)
        {
            // The first poll may already read the datagram: wait for the loop
            // to have gone round again, so that its stop can be seen.
            if (polls.n < 2)
                return false;
            handler->disconnect();
            afterDisconnect = openDescriptors();
            pollsAtDisconnect = polls.n;
            disconnectedAt = std::chrono::steady_clock::now();
            return false;
        }
        if (std::chrono::steady_clock::now() - disconnectedAt < std::chrono::milliseconds(50))
            return false;
        pollsLater = polls.n;
        handler.reset();
        afterDestruction = openDescriptors();
        return true;
    }));
    thread.runnable->getOrluThreadData(Zunq::POLL_UDP)->unsubscribe(&polls);
    // At most the one already queued when the loop was stopped.
    EXPECT_LE(pollsLater - pollsAtDisconnect, 1);
    // The epoll descriptor stays until destruction.
    EXPECT_EQ(afterDisconnect, before + 1);
    EXPECT_EQ(afterDestruction, before);
}
