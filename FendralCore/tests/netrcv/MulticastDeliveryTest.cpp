// Datagrams on a loopback group through the network thread to the owning
// thread: parts, order, congestion and the datagram that does not fit.
#include "FendralCore/tests/netrcv/NetReceiverTestSupport.h"

#include "FendralCore/dispatch/MulticastSocket.h"

#include <atomic>
#include <functional>
#include <sys/ioctl.h>
#include <vector>

using namespace netrcvtest;

namespace
{
class Sender
{
public:
    Sender(const std::string& group, uint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        in_addr iface{};
        iface.s_addr = htonl(INADDR_LOOPBACK);
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
        const unsigned char loop = 1;
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
        const int sndbuf = 1 << 20;
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(port);
        ::inet_pton(AF_INET, group.c_str(), &m_to.sin_addr);
    }
    ~Sender() { ::close(m_fd); }
    bool send(const std::string& bytes)
    {
        return ::sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to) ==
               static_cast<ssize_t>(bytes.size());
    }

private:
    int m_fd = -1;
    sockaddr_in m_to{};
};

// A socket of its own that is a member of the group on the loopback
// interface while it lives, as another process on the host may be.
struct OtherMember
{
    explicit OtherMember(const std::string& group)
    {
        ip_mreq membership{};
        ::inet_pton(AF_INET, group.c_str(), &membership.imr_multiaddr);
        membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        joined = ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    }
    ~OtherMember() { ::close(fd); }
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    bool joined = false;
};

std::string datagram(size_t len, char tag)
{
    std::string d(len, tag);
    for (size_t i = 0; i < len; i += 97)
        d[i] = static_cast<char>('a' + i % 26);
    return d;
}
} // namespace

class MulticastDeliveryTest : public NetReceiverHarness
{
protected:
    explicit MulticastDeliveryTest(uint32 ownerQueueLen = 256) : NetReceiverHarness(LOW_LATENCY, ownerQueueLen) {}

    // threaded false: the test drives the network thread's loop with pump().
    void open(bool threaded = true)
    {
        m_group = uniqueGroup();
        m_port = freePort(SOCK_DGRAM);
        m_channel = addMcast("MC", m_group, m_port);
        start(threaded);
        if (threaded)
        {
            ASSERT_TRUE(waitStatus(m_channel, RES_CONNECTED));
        }
        ASSERT_EQ(m_channel->status.load(), RES_CONNECTED);
        m_sender = std::make_unique<Sender>(m_group, m_port);
    }

    // Drives the loop until done() holds (at most 10 s).
    bool pumpUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done())
        {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            pump();
        }
        return true;
    }

    // Events put into the owner's normal queue until only its reserve is
    // free, as a busy owner leaves it; how many it now holds.
    uint32 fillOwnerToReserve()
    {
        FwIntMessage filler{};
        filler.appMsg.type = MSG_EVENT;
        filler.appMsg.event.id = APP_READY;
        while (m_ownerNormal->getNumFreeEntry() > MsgForwarder::THREAD_MSGQ_RESERVED_ENTRIES)
            if (m_ownerNormal->putMessage(&filler) != 0)
            {
                ADD_FAILURE() << "filler refused";
                break;
            }
        return m_ownerNormal->getNumElem();
    }

    int unread() const
    {
        int n = 0;
        ::ioctl(m_channel->multicastSockPtr->getFileDescriptor(), FIONREAD, &n);
        return n;
    }

    std::string m_group;
    uint16 m_port = 0;
    UdpConnResource* m_channel = nullptr;
    std::unique_ptr<Sender> m_sender;
};

TEST_F(MulticastDeliveryTest, DatagramsArriveWholeInOrderAndLongOnesInPartsOf2200)
{
    open();
    const std::vector<size_t> sizes = {64, 1400, 5000, 2200, 2201};
    std::vector<std::string> sent;
    for (size_t k = 0; k < sizes.size(); ++k)
    {
        sent.push_back(datagram(sizes[k], static_cast<char>('A' + k)));
        ASSERT_TRUE(m_sender->send(sent.back()));
    }
    // The 5000-byte one in detail: 2200, 2200, 600, consecutive numbers.
    EXPECT_EQ(message(), sent[0]);
    EXPECT_EQ(message(), sent[1]);
    const uint32 expectLens[] = {2200, 2200, 600};
    uint32 firstSeq = 0;
    std::string joined;
    for (int32 part = 0; part < 3; ++part)
    {
        FwIntMessage m{};
        ASSERT_TRUE(next(*m_ownerNormal, m));
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        const Data_t& d = m.appMsg.data;
        EXPECT_EQ(d.dataLen, expectLens[part]);
        EXPECT_EQ(d.msgPartNum, part);
        EXPECT_EQ(d.more, part < 2);
        EXPECT_EQ(d.chnType, UDP_CHANNEL);
        EXPECT_EQ(d.dataDir, INCOMING_DATA);
        EXPECT_EQ(d.fdPtr, m_channel);
        EXPECT_STREQ(d.channelNameTxt, "MC");
        EXPECT_EQ(d.peerIpAddr, htonl(INADDR_LOOPBACK));
        EXPECT_STREQ(m.originatorTxt, "NET_RECEIVER");
        if (part == 0)
            firstSeq = m.msgSeqNum;
        else
            EXPECT_EQ(m.msgSeqNum, firstSeq + static_cast<uint32>(part));
        joined.append(d.buffer, d.dataLen);
    }
    EXPECT_EQ(joined, sent[2]);
    EXPECT_EQ(message(), sent[3]);
    EXPECT_EQ(message(), sent[4]);
}

// A datagram longer than the receive buffer is counted and dropped, never
// delivered cut; the next one arrives as it was sent.
TEST_F(MulticastDeliveryTest, DatagramOverTheBufferIsCountedAndDropped)
{
    open();
    ASSERT_TRUE(m_sender->send(datagram(NetReceiver::MCAST_BUF_SIZE + 1, 'X')));
    const std::string small = datagram(64, 'S');
    ASSERT_TRUE(m_sender->send(small));
    EXPECT_EQ(message(), small);
    EXPECT_EQ(m_channel->multicastSockPtr->getTruncatedCount(), 1u);
}

// One receive of several datagrams, one of them over the buffer: the others
// come out whole and in order, each from its own place in the batch, long
// ones joined from their parts, and the next receive reuses every place.
TEST_F(MulticastDeliveryTest, BatchWithADroppedDatagramDeliversTheOthersWholeInOrder)
{
    open(false);
    const std::vector<std::string> first = {datagram(1400, 'a'), datagram(5000, 'b'), datagram(64, 'c'),
                                            datagram(2201, 'd')};
    const std::vector<std::string> second = {datagram(3000, 'e'), datagram(100, 'f')};
    for (const auto* round : {&first, &second})
    {
        ASSERT_TRUE(m_sender->send((*round)[0]));
        if (round == &first)
        {
            ASSERT_TRUE(m_sender->send(datagram(NetReceiver::MCAST_BUF_SIZE + 1, 'X')));
        }
        for (size_t k = 1; k < round->size(); ++k)
            ASSERT_TRUE(m_sender->send((*round)[k]));
        for (int spins = 0; unread() == 0 && spins < 10000; ++spins)
            ::usleep(100);
        ASSERT_EQ(m_receiver->processMulticastSock(m_channel->multicastSockPtr, IO_WAIT_READ, WireOrderInfo{}), 0);
        for (const std::string& want : *round)
            EXPECT_EQ(message(), want);
    }
    EXPECT_EQ(m_channel->multicastSockPtr->getTruncatedCount(), 1u);
    EXPECT_EQ(m_ownerNormal->getNumElem(), 0u);
}

// An owner without a queue: the waiting datagram is read and refused with
// THREAD_NOT_ACTIVE (never left in the socket, never delivered later); once
// the queue is back the next datagram arrives.
TEST_F(MulticastDeliveryTest, DatagramWithoutADestinationIsReadAndRefused)
{
    open(false);
    FwMessageQueue* queue = m_channel->msgQueuePtr;
    m_channel->msgQueuePtr = nullptr;
    ASSERT_TRUE(m_sender->send(datagram(64, 'N')));
    for (int spins = 0; unread() == 0 && spins < 10000; ++spins)
        ::usleep(100);
    ASSERT_GT(unread(), 0);
    EXPECT_EQ(m_receiver->processMulticastSock(m_channel->multicastSockPtr, IO_WAIT_READ, WireOrderInfo{}), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, THREAD_NOT_ACTIVE);
    EXPECT_EQ(unread(), 0);

    m_channel->msgQueuePtr = queue;
    const std::string later = datagram(64, 'L');
    ASSERT_TRUE(m_sender->send(later));
    ASSERT_TRUE(pumpUntil([&] { return m_ownerNormal->getNumElem() > 0; }));
    EXPECT_EQ(message(), later);
}

// A leave stops delivery, also while another socket on the host is still a
// member of the group (what came meanwhile would be read first after the
// join); a join starts it again.
TEST_F(MulticastDeliveryTest, LeaveAndJoinRequestsStopAndRestartDelivery)
{
    open();
    for (const bool otherMember : {false, true})
    {
        SCOPED_TRACE(otherMember ? "another member on the host" : "alone");
        std::unique_ptr<OtherMember> other;
        if (otherMember)
        {
            other = std::make_unique<OtherMember>(m_group);
            ASSERT_TRUE(other->joined);
        }
        ASSERT_EQ(request(MCAST_LEAVE, "MC"), 0);
        ASSERT_TRUE(waitStatus(m_channel, RES_DISCONNECTED));
        ASSERT_TRUE(m_sender->send("while away"));
        ASSERT_EQ(request(MCAST_LEAVE, "MC"), 0);
        EXPECT_EQ(event(*m_ownerNormal).id, CONNECT_FAIL);
        ASSERT_EQ(request(MCAST_JOIN, "MC"), 0);
        ASSERT_TRUE(waitStatus(m_channel, RES_CONNECTED));
        ASSERT_TRUE(m_sender->send("back"));
        EXPECT_EQ(message(), "back");
    }
}

// An owner whose queue is at its reserve: the datagram is parked and the
// owner told once on its other queue; later ones park behind it silently;
// when the owner drains, the timer retry delivers all of them in order.
class MulticastCongestionTest : public MulticastDeliveryTest
{
protected:
    MulticastCongestionTest() : MulticastDeliveryTest(32) {}
};

TEST_F(MulticastCongestionTest, CongestedOwnerGetsEverythingInOrderAfterItDrains)
{
    open(false);
    const uint32 fillers = fillOwnerToReserve();

    std::vector<std::string> sent;
    for (int k = 0; k < 6; ++k)
    {
        sent.push_back(datagram(k == 2 ? 5000 : 100, static_cast<char>('0' + k)));
        ASSERT_TRUE(m_sender->send(sent.back()));
    }
    // Every datagram read and parked while the owner is full.
    ASSERT_TRUE(pumpUntil([&] { return unread() == 0; }));
    const EventMsg congest = event(*m_ownerHigh);
    EXPECT_EQ(congest.id, MSG_QUEUE_CONGEST);
    EXPECT_EQ(congest.eventParam.paramInt32, BUFFER_FULL);
    EXPECT_STREQ(congest.eventParam.resNameTxt, "MC");
    EXPECT_TRUE(m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL));

    // The owner drains; no datagram arrives any more: the timer retry alone
    // must deliver them.
    FwIntMessage m{};
    for (uint32 i = 0; i < fillers; ++i)
    {
        ASSERT_TRUE(next(*m_ownerNormal, m, 1));
        ASSERT_EQ(m.appMsg.type, MSG_EVENT);
    }
    ASSERT_TRUE(pumpUntil([&] { return !m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL); }));
    for (size_t k = 0; k < sent.size(); ++k)
        EXPECT_EQ(message(), sent[k]) << k;
    // Told once, however many were parked.
    bool more = false;
    EXPECT_NE(m_ownerHigh->getMessage(&m, more), 0) << "event " << m.appMsg.event.id;
}

// An owner that stays behind: once MCAST_PARKED_LIMIT datagrams wait for it,
// new ones are dropped and counted (a sender cannot be slowed) instead of
// growing the store without end; the ones kept arrive whole and in order once
// it reads, and so does the next datagram sent.
TEST_F(MulticastDeliveryTest, OwnerThatStaysBehindHasNewDatagramsDroppedNotTheStoreGrown)
{
    open();
    const uint32 fillers = fillOwnerToReserve();
    const MulticastSocket& sock = *m_channel->multicastSockPtr;
    const size_t extra = 300;
    const size_t total = NetReceiver::MCAST_PARKED_LIMIT + extra;
    auto waitDrained = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (unread() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return unread() == 0;
    };
    for (size_t i = 0; i < total; ++i)
    {
        ASSERT_TRUE(m_sender->send("D" + std::to_string(i)));
        if (i % 64 == 63) // within what the socket's buffer holds
        {
            ASSERT_TRUE(waitDrained());
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (sock.getOwnerBehindDropCount() < extra && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(sock.getOwnerBehindDropCount(), extra);

    FwIntMessage m{};
    for (uint32 i = 0; i < fillers; ++i)
        ASSERT_TRUE(next(*m_ownerNormal, m, 10));
    for (size_t i = 0; i < NetReceiver::MCAST_PARKED_LIMIT; ++i)
        ASSERT_EQ(message(), "D" + std::to_string(i));
    ASSERT_TRUE(m_sender->send("after"));
    EXPECT_EQ(message(), "after");
    EXPECT_EQ(sock.getOwnerBehindDropCount(), extra);
}

// An input-replicated channel feeds the replicator while the process is
// active, and its owning thread directly in standby.
TEST_F(MulticastDeliveryTest, InputReplicationGoesToTheReplicatorOnlyWhenActive)
{
    std::unique_ptr<FwMessageQueue> repNormal, repHigh;
    ASSERT_NE(registerTestThread(m_registry, "MSG_REPLICATOR", repNormal, repHigh, 64, m_mode), nullptr);
    GlobalData::getInst().m_repliServiceEnabled = true;
    m_group = uniqueGroup();
    m_port = freePort(SOCK_DGRAM);
    m_channel = addMcast("MC", m_group, m_port, true, MULTICAST_RECEIVER_MODE,
                         [](UdpConnParam& p) { p.replicationMode = INPUT_REPLICATION; });
    ASSERT_NE(m_channel, nullptr);
    start();
    ASSERT_TRUE(waitStatus(m_channel, RES_CONNECTED));
    m_sender = std::make_unique<Sender>(m_group, m_port);

    struct Case
    {
        AppMode mode;
        FwMessageQueue* to;
        const char* recipient;
    };
    for (const Case& c : {Case{ACTIVE_MODE, repNormal.get(), "MSG_REPLICATOR"}, Case{STANDBY_MODE, m_ownerNormal.get(), "OWNER"}})
    {
        GlobalData::getInst().m_appMode.store(c.mode);
        const std::string d = datagram(100, 'r');
        ASSERT_TRUE(m_sender->send(d));
        FwIntMessage m{};
        ASSERT_TRUE(next(*c.to, m)) << c.recipient;
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        EXPECT_STREQ(m.recipientTxt, c.recipient);
        EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), d);
    }
    GlobalData::getInst().m_appMode.store(ACTIVE_MODE);
    GlobalData::getInst().m_repliServiceEnabled = false;
}

// Directed UDP on loopback: a point-to-point receiver bound to its interface,
// a multicast-mode receiver named by a unicast address of this host, and a
// point-to-point sender. The receivers are read from start-up without any
// join (no one will ask for one) and tell their owner they are ready; the
// sender's socket reaches the point-to-point receiver.
TEST_F(MulticastDeliveryTest, DirectedDatagramsAreReadWithoutAJoin)
{
    const uint16 rxPort = freePort(SOCK_DGRAM);
    const uint16 directPort = freePort(SOCK_DGRAM);
    UdpConnResource* rx = addMcast("P2PRX", "", rxPort, false, P2P_RECEIVER_MODE);
    UdpConnResource* direct = addMcast("DIRECT", "127.0.0.1", directPort, false);
    UdpConnResource* tx = addMcast("P2PTX", "127.0.0.1", rxPort, false, P2P_SENDER_MODE);
    ASSERT_TRUE(rx != nullptr && direct != nullptr && tx != nullptr);
    start();

    struct Expect
    {
        const char* channel;
        FwEventID id;
        int32 param;
    };
    for (const Expect& e : {Expect{"P2PRX", CONN_READY_TO_OPEN, P2P_RECEIVER_MODE},
                            Expect{"DIRECT", CONN_READY_TO_OPEN, MULTICAST_RECEIVER_MODE},
                            Expect{"P2PTX", MCAST_READY_FOR_TRANSMISSION, 0}})
    {
        const EventMsg ev = event(*m_ownerNormal);
        EXPECT_EQ(ev.id, e.id) << e.channel;
        EXPECT_STREQ(ev.eventParam.resNameTxt, e.channel);
        EXPECT_EQ(ev.eventParam.paramInt32, e.param) << e.channel;
    }
    for (UdpConnResource* c : {rx, direct, tx})
        EXPECT_EQ(c->status.load(), RES_CONNECTED) << c->udpConnNameTxt;
    EXPECT_FALSE(direct->multicastSockPtr->hasJoinedGroup());

    // Through the sender channel's own socket, as the dispatcher sends.
    const std::string viaChannel = datagram(5000, 'p');
    int done = 0;
    ASSERT_EQ(tx->multicastSockPtr->send(const_cast<char*>(viaChannel.data()), static_cast<int>(viaChannel.size()),
                                         done),
              0);
    EXPECT_EQ(message(), viaChannel);
    Sender toDirect("127.0.0.1", directPort);
    ASSERT_TRUE(toDirect.send("directed"));
    FwIntMessage m{};
    ASSERT_TRUE(next(*m_ownerNormal, m));
    ASSERT_EQ(m.appMsg.type, MSG_DATA);
    EXPECT_STREQ(m.appMsg.data.channelNameTxt, "DIRECT");
    EXPECT_EQ(m.appMsg.data.peerIpAddr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), "directed");

    // Leaving and joining again stops and restarts a directed channel too.
    ASSERT_EQ(request(MCAST_LEAVE, "DIRECT"), 0);
    ASSERT_TRUE(waitStatus(direct, RES_DISCONNECTED));
    ASSERT_EQ(request(MCAST_JOIN, "DIRECT"), 0);
    ASSERT_TRUE(waitStatus(direct, RES_CONNECTED));
    ASSERT_TRUE(toDirect.send("again"));
    EXPECT_EQ(message(), "again");
}

// A pipeline channel: each datagram whole in one entry behind its header; one
// longer than the entry less the header is refused, not parked, and the
// next one still arrives.
TEST_F(MulticastDeliveryTest, PipelineChannelGetsEachDatagramWholeInOneEntry)
{
    constexpr uint32 ENTRY = 8000;
    Pipeline pipeline(8, ENTRY, 1, LOW_LATENCY, false);
    const StopAtScopeEnd stopFirst{*this};
    ASSERT_NE(registerTestPipeline(m_registry, "PL1", &pipeline, 8, static_cast<int32>(ENTRY)), nullptr);
    m_group = uniqueGroup();
    m_port = freePort(SOCK_DGRAM);
    m_channel = addMcast("MC", m_group, m_port, true, MULTICAST_RECEIVER_MODE, [](UdpConnParam& p) {
        setName(p.pipelineNameTxt, "PL1");
        p.channelType = PIPELINE_CHANNEL;
    });
    ASSERT_NE(m_channel, nullptr);
    start();
    ASSERT_TRUE(waitStatus(m_channel, RES_CONNECTED));
    m_sender = std::make_unique<Sender>(m_group, m_port);

    auto nextEntry = [&](PipelineMsgHeader& hdr, std::string& payload) {
        std::vector<char> buf(pipeline.getMaxDataSize());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline)
        {
            if (pipeline.dequeue(0, buf.data(), static_cast<uint32>(buf.size()), hdr, 1) == 0)
            {
                payload.assign(buf.data(), hdr.dataLen);
                return true;
            }
            ::sched_yield();
        }
        return false;
    };
    const std::string tooLong = datagram(ENTRY - MsgForwarder::PL_HDR_SIZE + 1, 'L');
    const std::vector<std::string> sent = {datagram(64, 'a'), datagram(1400, 'b'), datagram(5000, 'c'),
                                           datagram(ENTRY - MsgForwarder::PL_HDR_SIZE, 'd')};
    for (const std::string& d : sent)
        ASSERT_TRUE(m_sender->send(d));
    ASSERT_TRUE(m_sender->send(tooLong));
    ASSERT_TRUE(m_sender->send("after"));
    std::vector<std::string> expected = sent;
    expected.push_back("after");
    for (const std::string& want : expected)
    {
        PipelineMsgHeader hdr{};
        std::string payload;
        ASSERT_TRUE(nextEntry(hdr, payload)) << want.size();
        EXPECT_EQ(payload, want);
        EXPECT_EQ(hdr.type, MSG_DATA);
        EXPECT_EQ(hdr.chnType, UDP_CHANNEL);
        EXPECT_EQ(hdr.dataDir, INCOMING_DATA);
        EXPECT_STREQ(hdr.channelNameTxt, "MC");
        EXPECT_STREQ(hdr.originatorTxt, "NET_RECEIVER");
        EXPECT_STREQ(hdr.recipientTxt, "OWNER");
        EXPECT_EQ(hdr.peerIpAddr, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(hdr.fdPtr, m_channel);
    }
    EXPECT_FALSE(m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL));
}

// Under the ordered wait the channel reads single datagrams until the bytes
// reported in order are read, stamping each with the reported wire time; a
// report that does not match what was there is noted, and nothing is lost.
TEST_F(MulticastDeliveryTest, OrderedWaitReadsTheReportedBytesAndStampsTheirWireTime)
{
    m_onloadApi = &ORDERED_WAIT;
    open(false);
    struct Case
    {
        int reported;        // in-order bytes the wait reports per readiness
        int passes;          // loop passes until all three are read
        const char* noticed; // the mismatch note, or null
    };
    const Case cases[] = {
        {600, 1, nullptr},
        {700, 1, "Expected [700], actually received [600]."},
        {250, 2, "Expected [250], actually received [300]."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.reported);
        testLog().clear();
        g_wireBytes = c.reported;
        const std::vector<std::string> sent = {datagram(100, 'x'), datagram(200, 'y'), datagram(300, 'z')};
        for (const std::string& d : sent)
            ASSERT_TRUE(m_sender->send(d));
        for (int pass = 0; pass < c.passes; ++pass)
            pump();
        EXPECT_EQ(unread(), 0);
        for (const std::string& d : sent)
        {
            FwIntMessage m{};
            ASSERT_TRUE(next(*m_ownerNormal, m, 1));
            ASSERT_EQ(m.appMsg.type, MSG_DATA);
            EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), d);
            EXPECT_EQ(m.outTm.tv_sec, WIRE_TM.tv_sec);
            EXPECT_EQ(m.outTm.tv_nsec, WIRE_TM.tv_nsec);
        }
        EXPECT_EQ(testLog().contains("does not match the size indicated in Wire Order Info"), c.noticed != nullptr);
        if (c.noticed != nullptr)
        {
            EXPECT_TRUE(testLog().contains(c.noticed));
        }
    }
}
