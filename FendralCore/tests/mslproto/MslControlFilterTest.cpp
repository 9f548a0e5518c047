// What the control channels take and what they drop, on real multicast
// sockets over the loopback interface (TTL 0, groups and ports of the test's
// own). Peers are plain UDP sockets of the test; a second socket of the test
// joined to the same group tells when a datagram has reached the service's.
#include "MslWireBytes.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/messaging/MslMcastSocket.h"
#include "FendralCore/tests/mslsupport/MslServiceHarness.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
using msltest::WireBytes;

// Real sockets that never leave the machine.
class LoopbackSockets : public MslSocketFactory
{
public:
    std::unique_ptr<MslSocket> open(const MslSocketSpec& spec) override
    {
        auto sock = std::make_unique<MslMcastSocket>(spec);
        if (sock->initialize() != 0 || sock->socket().setMcastTtl(0) != 0)
            return nullptr;
        return sock;
    }
};

// A peer on the loopback interface sending from a local address of its
// choice (127.0.0.2 is no interface address: the service takes it for
// another host's).
class Peer
{
public:
    explicit Peer(const char* from)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, from, &a.sin_addr);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        in_addr lo{};
        inet_pton(AF_INET, "127.0.0.1", &lo);
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        const unsigned char ttl = 0;
        const unsigned char loop = 1;
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    }
    ~Peer() { ::close(m_fd); }

    void send(const std::string& group, uint16 port, const std::string& bytes)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        inet_pton(AF_INET, group.c_str(), &to.sin_addr);
        to.sin_port = htons(port);
        ASSERT_EQ(::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

private:
    int m_fd = -1;
};

// A member of the group beside the service: it sees every datagram the
// service's socket sees, in the same delivery.
class Probe
{
public:
    Probe(const std::string& group, uint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, group.c_str(), &a.sin_addr);
        a.sin_port = htons(port);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ip_mreq m{};
        m.imr_multiaddr = a.sin_addr;
        inet_pton(AF_INET, "127.0.0.1", &m.imr_interface);
        EXPECT_EQ(::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0);
        timeval limit{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~Probe() { ::close(m_fd); }

    // Waits until n more datagrams went by.
    void saw(int n)
    {
        char buf[512];
        for (int i = 0; i < n; ++i)
            ASSERT_GE(::recv(m_fd, buf, sizeof buf, MSG_TRUNC), 0) << "datagram " << i << " never arrived";
    }

private:
    int m_fd = -1;
};

std::string keepalive(uint32 cmd, const std::string& sender, int32 inst)
{
    return WireBytes(66).header(cmd, 1700000000, 0, sender, inst, 0, "", 0, 0, 0, 0).str();
}

std::string request(uint32 cmd, const std::string& sender, int32 inst, const std::string& topic)
{
    return WireBytes(99).header(cmd, 1700000000, 0, sender, inst, 0, "", 0, 0, 7, 0).text(66, topic).str();
}

std::string answer(uint32 cmd, const std::string& recipient, int32 inst, uint32 rqsId, const std::string& topic,
                   size_t size = 107)
{
    return WireBytes(size).header(cmd, 1700000000, 0, "PEER", 3, 0, recipient, inst, 0, rqsId, 0).text(66, topic).str();
}

class MslControlFilterTest : public ::testing::Test
{
protected:
    MslControlFilterTest()
        : m_rcGroup(msltest::uniqueGroup()), m_racGroup(msltest::uniqueGroup()), m_rcPort(msltest::freeUdpPort()),
          m_racPort(msltest::freeUdpPort())
    {
    }

    std::unique_ptr<msltest::ServiceHarness> make(const std::string& extra = "",
                                                  OptimizationMode mode = CPU_UTILIZATION,
                                                  const FileDescMultiplexer::OnloadApi* onload = nullptr)
    {
        msltest::Options o;
        o.appId = "SELF";
        o.inst = 2;
        o.sockets = &m_sockets;
        o.mode = mode;
        o.onloadApi = onload;
        o.config = msltest::controlPlan(m_rcGroup, m_rcPort, m_racGroup, m_racPort) +
                   "MSG_SVR_SUBNET STRING 127.0.0.0\nMSL_LOOPBACK INT32 1\n" + extra;
        auto h = std::make_unique<msltest::ServiceHarness>(o);
        EXPECT_EQ(h->service().initialize(), 0) << FrameworkErrno::m_fwErrno;
        return h;
    }

    LoopbackSockets m_sockets;
    std::string m_rcGroup;
    std::string m_racGroup;
    uint16 m_rcPort;
    uint16 m_racPort;
};

TEST_F(MslControlFilterTest, RequestChannelDropsShortForeignAndOwnDatagrams)
{
    auto h = make();
    MessagingService& svc = h->service();
    const MslControlStats& s = svc.controlStats();
    ASSERT_STREQ(svc.interfaceTxt(), "127.0.0.1");
    Peer local("127.0.0.1");
    Peer remote("127.0.0.2");
    Probe probe(m_rcGroup, m_rcPort);

    struct Case
    {
        const char* what;
        Peer& from;
        std::string bytes;
        const MslControlStats::Counter& counter;
    };
    const Case cases[] = {
        {"65 bytes", remote, keepalive(MSL_CMD_KEEPALIVE_MSG, "PEER", 3).substr(0, 65), s.rqsShort},
        {"66-byte keepalive", remote, keepalive(MSL_CMD_KEEPALIVE_MSG, "PEER", 3), s.rqsKeepalives},
        {"own bytes from this host", local, request(PUBLISHER_TOPIC_RQS, "SELF", 2, "T"), s.rqsOwnLoopback},
        {"the same bytes from another host", remote, request(PUBLISHER_TOPIC_RQS, "SELF", 2, "T"), s.rqsHandled},
        {"another instance of this application", local, request(PUBLISHER_TOPIC_RQS, "SELF", 3, "T"), s.rqsHandled},
        {"an answer", remote, answer(PUBLISHER_TOPIC_ACK, "SELF", 2, 1, "T"), s.rqsUnexpected},
        {"an unknown command", remote, keepalive(27, "PEER", 3), s.rqsUnexpected},
        {"MRM enquiry outside an MRM instance", remote, request(MRM_PARTITION_ENQ_RQS, "PEER", 3, "T"),
         s.rqsNotServed},
    };
    for (const Case& c : cases)
    {
        const uint64 before = c.counter.get();
        const uint64 received = s.rqsReceived.get();
        c.from.send(m_rcGroup, m_rcPort, c.bytes);
        probe.saw(1);
        ASSERT_EQ(svc.processMslRqs(nullptr), 0) << c.what;
        EXPECT_EQ(s.rqsReceived.get(), received + 1) << c.what;
        EXPECT_EQ(c.counter.get(), before + 1) << c.what;
    }
    EXPECT_TRUE(testLog().contains("The size [65] of the message received is smaller than the MSL message header size."));
    EXPECT_TRUE(testLog().contains("Unexpected request type [1] received from [127.0.0.2]. Discard and continue."));

    // The service's own request comes back over the loopback and is skipped.
    const uint64 own = s.rqsOwnLoopback.get();
    MslMsgRqs& r = svc.composeRequest(SUBSCRIBER_TOPIC_RQS, "T", 0);
    ASSERT_EQ(svc.sendRequest(reinterpret_cast<const char*>(&r), sizeof r), 0);
    probe.saw(1);
    ASSERT_EQ(svc.processMslRqs(nullptr), 0);
    EXPECT_EQ(s.rqsOwnLoopback.get(), own + 1);
}

TEST_F(MslControlFilterTest, AnswersMustPairWithAPendingRequestOfThisInstance)
{
    auto h = make();
    MessagingService& svc = h->service();
    const MslControlStats& s = svc.controlStats();
    Peer remote("127.0.0.2");
    Probe probe(m_racGroup, m_racPort);

    PendingRqsRecord pending;
    pending.rqs = svc.composeRequest(PUBLISHER_TOPIC_RQS, "QUOTES", 0);
    const uint32 id = pending.rqs.hdr.rqsId;
    ASSERT_EQ(svc.addPendingRqs(pending), 0);
    EXPECT_EQ(svc.addPendingRqs(pending), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_KEY_EXIST);

    struct Case
    {
        const char* what;
        std::string bytes;
        const MslControlStats::Counter& counter;
        const char* logged; // null: nothing logged
    };
    const Case cases[] = {
        {"65 bytes", answer(PUBLISHER_TOPIC_ACK, "SELF", 2, id, "QUOTES").substr(0, 65), s.ackShort,
         "The size [65] of the ACK received is smaller than the MSL message header size."},
        {"acknowledgement keepalive", keepalive(MSL_ACK_KEEPALIVE_MSG, "PEER", 3), s.ackKeepalives,
         "Received MSL_ACK_KEEPALIVE_MSG from [PEER:3:0]."},
        {"a request", request(PUBLISHER_TOPIC_RQS, "PEER", 3, "QUOTES"), s.ackUnexpected,
         "Unexpected response type [0] received from [127.0.0.2]."},
        {"for another instance", answer(PUBLISHER_TOPIC_ACK, "SELF", 9, id, "QUOTES"), s.ackOtherRecipient, nullptr},
        {"for another application", answer(PUBLISHER_TOPIC_ACK, "OTHER", 2, id, "QUOTES"), s.ackOtherRecipient,
         nullptr},
        {"no such request", answer(PUBLISHER_TOPIC_ACK, "SELF", 2, id + 100, "QUOTES"), s.ackNoPending,
         "but the request ID [101] cannot be located"},
        {"wrong size", answer(PUBLISHER_TOPIC_ACK, "SELF", 2, id, "QUOTES", 99), s.ackBadSize,
         "Invalid topic ACK size [99] received, expect [107]."},
        {"another topic", answer(PUBLISHER_TOPIC_ACK, "SELF", 2, id, "OTHER"), s.ackMismatch,
         "Topic name [OTHER] and command type [1] in response message received from [127.0.0.2] does not match the "
         "topic name [QUOTES] and command type [0] in request message. Rqs ID [1]."},
        {"the answer of another request", answer(SUBSCRIBER_TOPIC_ACK, "SELF", 2, id, "QUOTES"), s.ackMismatch,
         "command type [4] in response message"},
    };
    for (const Case& c : cases)
    {
        testLog().clear();
        const uint64 before = c.counter.get();
        remote.send(m_racGroup, m_racPort, c.bytes);
        probe.saw(1);
        ASSERT_EQ(svc.processMslAck(nullptr), 0) << c.what;
        EXPECT_EQ(c.counter.get(), before + 1) << c.what;
        if (c.logged != nullptr)
            EXPECT_TRUE(testLog().contains(c.logged)) << c.what;
        else
            for (const std::string& line : testLog().lines())
                EXPECT_NE(line.find("Processed a batch"), std::string::npos) << c.what << ": " << line;
        // None of them answers the request.
        ASSERT_NE(svc.findPendingRqs(id), nullptr) << c.what;
        EXPECT_FALSE(svc.findPendingRqs(id)->ackRcvd) << c.what;
    }

    // The one that pairs is handled; a request of no open topic goes with it.
    remote.send(m_racGroup, m_racPort, answer(PUBLISHER_TOPIC_ACK, "SELF", 2, id, "QUOTES"));
    probe.saw(1);
    ASSERT_EQ(svc.processMslAck(nullptr), 0);
    EXPECT_EQ(s.ackHandled.get(), 1u);
    EXPECT_EQ(svc.findPendingRqs(id), nullptr);
}

// A datagram longer than any control record is dropped whole: its first 111
// bytes, a well-formed confirmation, are never read as one.
TEST_F(MslControlFilterTest, OversizedDatagramIsCountedAndDropped)
{
    auto h = make();
    MessagingService& svc = h->service();
    const MslControlStats& s = svc.controlStats();
    Peer remote("127.0.0.2");
    Probe probe(m_rcGroup, m_rcPort);
    std::string big =
        WireBytes(200).header(PUBLISHER_TOPIC_CONFIRM, 1700000000, 0, "PEER", 3, 0, "", 0, 0, 5, 0).text(66, "T").str();
    big.replace(62, 4, std::string("\x6f\x00\x00\x00", 4)); // msgLen 111
    remote.send(m_rcGroup, m_rcPort, big);
    remote.send(m_rcGroup, m_rcPort, keepalive(MSL_CMD_KEEPALIVE_MSG, "PEER", 3));
    probe.saw(2);
    ASSERT_EQ(svc.processMslRqs(nullptr), 0);
    EXPECT_EQ(svc.requestChannel()->truncatedCount(), 1u);
    EXPECT_EQ(s.rqsReceived.get(), 1u);
    EXPECT_EQ(s.rqsKeepalives.get(), 1u);
    EXPECT_EQ(s.rqsHandled.get(), 0u);
}

TEST_F(MslControlFilterTest, BatchEndsAfterTheConfiguredCount)
{
    auto h = make("NUM_MSG_RCV_MAX INT32 3\n");
    MessagingService& svc = h->service();
    const MslControlStats& s = svc.controlStats();
    Peer remote("127.0.0.2");
    Probe probe(m_rcGroup, m_rcPort);
    for (int i = 0; i < 5; ++i)
        remote.send(m_rcGroup, m_rcPort, keepalive(MSL_CMD_KEEPALIVE_MSG, "PEER", 3));
    probe.saw(5);
    ASSERT_EQ(svc.processMslRqs(nullptr), 0);
    EXPECT_EQ(s.rqsKeepalives.get(), 3u);
    ASSERT_EQ(svc.processMslRqs(nullptr), 0);
    EXPECT_EQ(s.rqsKeepalives.get(), 5u);
}

// Stands in for the kernel-bypass stack's ordered wait: each ready socket
// reports g_wireBytes bytes in wire order, stamped when g_wireStamped.
std::atomic<int> g_wireBytes{0};
std::atomic<bool> g_wireStamped{true};

int orderedWaitStandIn(int epfd, epoll_event* events, FileDescMultiplexer::OrderedEvent* ordered, int maxEvents,
                       int timeout)
{
    const int n = epoll_wait(epfd, events, maxEvents, timeout);
    for (int i = 0; i < n; ++i)
        ordered[i] = FileDescMultiplexer::OrderedEvent{g_wireStamped ? timespec{1700000000, 1} : timespec{0, 0},
                                                       g_wireBytes.load()};
    return n;
}

const FileDescMultiplexer::OnloadApi ORDERED_WAIT{[] { return 1; }, orderedWaitStandIn};

TEST_F(MslControlFilterTest, BatchEndsWhereTheOrderedWaitSaysTheReadyBytesEnd)
{
    GlobalData& process = GlobalData::getInst();
    const OptimizationMode saved = process.m_optMode.load();
    process.m_optMode.store(LOW_LATENCY); // the multiplexer takes the ordered wait only then
    {
        auto h = make("NUM_MSG_RCV_MAX INT32 3\n", LOW_LATENCY, &ORDERED_WAIT);
        MessagingService& svc = h->service();
        const MslControlStats& s = svc.controlStats();
        Peer remote("127.0.0.2");
        Probe probe(m_rcGroup, m_rcPort);
        for (int i = 0; i < 8; ++i)
            remote.send(m_rcGroup, m_rcPort, keepalive(MSL_CMD_KEEPALIVE_MSG, "PEER", 3));
        probe.saw(8);

        struct Case
        {
            int wireBytes;
            bool stamped;
            uint64 keepalivesAfter;
            bool mismatch;
        };
        const Case cases[] = {
            {132, true, 2, false},  // two datagrams' worth
            {100, true, 4, true},   // the second datagram goes past the size
            {132, false, 7, false}, // no time stamp, no wire order: the count ends it
            {66, true, 8, false},
        };
        for (const Case& c : cases)
        {
            testLog().clear();
            g_wireBytes = c.wireBytes;
            g_wireStamped = c.stamped;
            bool terminate = false;
            ASSERT_EQ(svc.runOnce(0, terminate), 0);
            EXPECT_EQ(s.rqsKeepalives.get(), c.keepalivesAfter) << c.wireBytes;
            EXPECT_EQ(testLog().contains("does not match the size indicated in Wire Order Info. Expected [100], "
                                         "actually received [132]."),
                      c.mismatch)
                << c.wireBytes;
        }
        EXPECT_EQ(s.batchesEndedByWireOrder.get(), 3u);
    }
    process.m_optMode.store(saved);
}
} // namespace
