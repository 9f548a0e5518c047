// Multicast over the loopback interface. Every test uses a group of its own
// and receivers bound to a port the system picks, so tests of parallel runs
// never see each other's datagrams.
#include "SocketTestSupport.h"

#include "FendralCore/dispatch/MulticastSocket.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <sys/socket.h>
#include <vector>

using namespace sockettest;

namespace
{

constexpr const char* LOOPBACK = "127.0.0.1";
constexpr int NOT_ALL = 0;

class MulticastSocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testLog().clear();
        FrameworkErrno::m_fwErrno = 0;
    }

    // A joined receiver of group on a port the system picks.
    std::unique_ptr<MulticastSocket> receiver(const char* group)
    {
        auto socket = std::make_unique<MulticastSocket>(MULTICAST_RECEIVE, LOOPBACK, group, 0, false, 0,
                                                        DISABLE_MCAST_LOOPBACK, -1, -1);
        EXPECT_EQ(socket->initialize(), 0);
        EXPECT_EQ(socket->join(), 0);
        return socket;
    }

    std::unique_ptr<MulticastSocket> sender(const char* group, uint16 port, uint16 ttl = 1)
    {
        auto socket = std::make_unique<MulticastSocket>(MULTICAST_SEND, LOOPBACK, group, port, false, ttl,
                                                        ENABLE_MCAST_LOOPBACK, -1, -1);
        EXPECT_EQ(socket->initialize(), 0);
        return socket;
    }

    static void sendText(MulticastSocket& socket, const std::string& text)
    {
        int done = -1;
        ASSERT_EQ(socket.send(const_cast<char*>(text.data()), static_cast<int>(text.size()), done), 0);
        ASSERT_EQ(done, static_cast<int>(text.size()));
    }
};

TEST_F(MulticastSocketTest, DatagramsReachAJoinedReceiverWithTheirSender)
{
    auto in = receiver("239.255.71.1");
    const int inFd = in->getFileDescriptor();
    EXPECT_TRUE(in->hasJoinedGroup());
    EXPECT_TRUE(hasCloseOnExec(inFd));
    EXPECT_TRUE(isNonBlocking(inFd));
    EXPECT_EQ(addrText(localName(inFd).sin_addr.s_addr), "239.255.71.1"); // bound to the group
    auto out = sender("239.255.71.1", localPort(inFd));

    const std::string message(100, 'm');
    sendText(*out, message);
    ASSERT_TRUE(waitReadable(inFd));
    char buf[256];
    int done = -1;
    sockaddr_in from{};
    ASSERT_EQ(in->receive(buf, sizeof(buf), done, &from), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(done)), message);
    EXPECT_EQ(addrText(from.sin_addr.s_addr), LOOPBACK);
    EXPECT_EQ(ntohs(from.sin_port), localPort(out->getFileDescriptor()));

    // An empty datagram is a datagram of length 0.
    sendText(*out, "");
    ASSERT_TRUE(waitReadable(inFd));
    ASSERT_EQ(in->receive(buf, sizeof(buf), done), 0);
    EXPECT_EQ(done, 0);

    // Nothing waiting: would-block, never logged as an error.
    testLog().clear();
    EXPECT_EQ(in->receive(buf, sizeof(buf), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    EXPECT_TRUE(testLog().lines().empty());

    // After leaving, the group's datagrams stop arriving: a second member on
    // the same port gets one, and by then the first would have it too. (Only
    // groups this socket joined itself count, not those of other sockets.)
    ASSERT_EQ(::setsockopt(inFd, IPPROTO_IP, IP_MULTICAST_ALL, &NOT_ALL, sizeof(NOT_ALL)), 0);
    MulticastSocket member(MULTICAST_RECEIVE, LOOPBACK, "239.255.71.1", localPort(inFd), false, 0,
                           DISABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(member.initialize(), 0);
    ASSERT_EQ(member.join(), 0);
    ASSERT_EQ(in->leave(), 0);
    EXPECT_FALSE(in->hasJoinedGroup());
    sendText(*out, "after leave");
    ASSERT_TRUE(waitReadable(member.getFileDescriptor()));
    pollfd p{inFd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
}

TEST_F(MulticastSocketTest, ASendReceiveSocketHearsItselfAndItsGroupWithLoopbackOn)
{
    MulticastSocket both(MULTICAST_SEND_RECV, LOOPBACK, "239.255.71.2", 0, false, 0, ENABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(both.initialize(), 0);
    ASSERT_EQ(both.join(), 0);
    // Bound to port 0, so the destination took port 0 too: aim at the real one.
    MulticastSocket echo(MULTICAST_SEND_RECV, LOOPBACK, "239.255.71.2", localPort(both.getFileDescriptor()), false,
                         0, ENABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(echo.initialize(), 0);
    ASSERT_EQ(echo.join(), 0);
    sendText(echo, "to both");
    for (MulticastSocket* socket : {&both, &echo})
    {
        ASSERT_TRUE(waitReadable(socket->getFileDescriptor()));
        char buf[32];
        int done = 0;
        ASSERT_EQ(socket->receive(buf, sizeof(buf), done), 0);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(done)), "to both");
    }
}

TEST_F(MulticastSocketTest, ATruncatedDatagramIsCountedAndDroppedNeverDeliveredCut)
{
    auto in = receiver("239.255.71.3");
    auto out = sender("239.255.71.3", localPort(in->getFileDescriptor()));
    sendText(*out, std::string(200, 'L'));
    sendText(*out, "whole");
    ASSERT_TRUE(waitReadable(in->getFileDescriptor()));
    char buf[100];
    int done = -1;
    ASSERT_EQ(in->receive(buf, sizeof(buf), done), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(done)), "whole");
    EXPECT_EQ(in->getTruncatedCount(), 1u);
    EXPECT_TRUE(testLog().contains("Truncated datagram of [200] bytes dropped on multicast socket"));

    // Nothing but an oversized datagram waiting: dropped, then would-block.
    sendText(*out, std::string(101, 'L'));
    ASSERT_TRUE(waitReadable(in->getFileDescriptor()));
    EXPECT_EQ(in->receive(buf, sizeof(buf), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    EXPECT_EQ(in->getTruncatedCount(), 2u);
}

// The batch of the network receiver: each entry with its own buffer and
// sender slot.
struct Batch
{
    static constexpr int SIZE = 10;
    static constexpr size_t BUF = 64;
    char buffers[SIZE][BUF] = {};
    sockaddr_in senders[SIZE] = {};
    iovec iovs[SIZE] = {};
    mmsghdr vector[SIZE] = {};

    Batch()
    {
        for (int i = 0; i < SIZE; ++i)
        {
            iovs[i] = {buffers[i], BUF};
            vector[i].msg_hdr.msg_iov = &iovs[i];
            vector[i].msg_hdr.msg_iovlen = 1;
            vector[i].msg_hdr.msg_name = &senders[i];
            vector[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
    }

    std::string text(int i) const
    {
        return std::string(static_cast<const char*>(vector[i].msg_hdr.msg_iov[0].iov_base), vector[i].msg_len);
    }
};

TEST_F(MulticastSocketTest, ABatchReceiveKeepsArrivalOrderAndDropsTruncatedDatagrams)
{
    auto in = receiver("239.255.71.4");
    auto out = sender("239.255.71.4", localPort(in->getFileDescriptor()));
    const std::string big(Batch::BUF + 1, 'B');
    const std::vector<std::string> sent = {"d0", big, "d1", "d2", big, big, "d3"};
    for (const std::string& text : sent)
        sendText(*out, text);
    const uint16 senderPort = localPort(out->getFileDescriptor()); // bound by the first send
    ASSERT_TRUE(waitReadable(in->getFileDescriptor()));

    Batch batch;
    std::vector<std::string> received;
    for (int attempt = 0; attempt < 20 && received.size() < 4; ++attempt)
    {
        int count = -1;
        if (in->receiveMultiMsg(batch.vector, Batch::SIZE, count) != 0)
        {
            ASSERT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
            ASSERT_TRUE(waitReadable(in->getFileDescriptor()));
            continue;
        }
        for (int i = 0; i < count; ++i)
        {
            received.push_back(batch.text(i));
            const auto* from = static_cast<const sockaddr_in*>(batch.vector[i].msg_hdr.msg_name);
            EXPECT_EQ(ntohs(from->sin_port), senderPort);
        }
    }
    EXPECT_EQ(received, (std::vector<std::string>{"d0", "d1", "d2", "d3"}));
    EXPECT_EQ(in->getTruncatedCount(), 3u);

    // The reordered entries still work as a batch: ten in, ten out, in order.
    for (int i = 0; i < Batch::SIZE; ++i)
        sendText(*out, "n" + std::to_string(i));
    received.clear();
    while (received.size() < Batch::SIZE && waitReadable(in->getFileDescriptor()))
    {
        int count = 0;
        ASSERT_EQ(in->receiveMultiMsg(batch.vector, Batch::SIZE, count), 0);
        for (int i = 0; i < count; ++i)
            received.push_back(batch.text(i));
    }
    ASSERT_EQ(received.size(), static_cast<size_t>(Batch::SIZE));
    for (int i = 0; i < Batch::SIZE; ++i)
        EXPECT_EQ(received[static_cast<size_t>(i)], "n" + std::to_string(i));

    int count = -1;
    EXPECT_EQ(in->receiveMultiMsg(batch.vector, 0, count), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
    EXPECT_EQ(in->receiveMultiMsg(nullptr, 4, count), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
}

TEST_F(MulticastSocketTest, LoopbackFollowsTheArgumentOrTheConfigurationKey)
{
    const struct
    {
        MulticastLoopback argument;
        const char* config;
        int loop;
    } cases[] = {
        {GLOBAL_MCAST_LOOPBACK_SETTING, "", 0},
        {GLOBAL_MCAST_LOOPBACK_SETTING, "MCAST_LOOPBACK INT32 1\n", 1},
        {GLOBAL_MCAST_LOOPBACK_SETTING, "MCAST_LOOPBACK INT32 0\n", 0},
        {ENABLE_MCAST_LOOPBACK, "", 1},
        {ENABLE_MCAST_LOOPBACK, "MCAST_LOOPBACK INT32 0\n", 1},
        {DISABLE_MCAST_LOOPBACK, "MCAST_LOOPBACK INT32 1\n", 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.argument) + " with [" + c.config + "]");
        setFrameworkConfig(c.config);
        MulticastSocket out(MULTICAST_SEND, LOOPBACK, "239.255.71.5", 9, false, 1, c.argument, -1, -1);
        ASSERT_EQ(out.initialize(), 0);
        EXPECT_EQ(out.isLoopbackEnabled(), c.loop == 1);
        EXPECT_EQ(byteOption(out.getFileDescriptor(), IPPROTO_IP, IP_MULTICAST_LOOP), c.loop);
    }
    setFrameworkConfig("");
}

TEST_F(MulticastSocketTest, TtlDefaultsToEightAndIsSetOnlyOnSendingSockets)
{
    const struct
    {
        const char* name;
        MulticastDirection direction;
        uint16 constructed;
        int setTo;    // -1: no setMcastTtl call
        int32 result; // of setMcastTtl
        int32 code;
        int ttl;      // of the socket afterwards
    } cases[] = {
        {"0 at construction becomes 8", MULTICAST_SEND, 0, -1, 0, 0, 8},
        {"given at construction", MULTICAST_SEND, 5, -1, 0, 0, 5},
        {"set to 0 later stays 0", MULTICAST_SEND, 0, 0, 0, 0, 0},
        {"set later on a send-receive socket", MULTICAST_SEND_RECV, 0, 32, 0, 0, 32},
        {"above one byte is refused", MULTICAST_SEND, 4, 300, -1, SOCK_INVALID_PARA, 4},
        {"ignored on a receiving socket", MULTICAST_RECEIVE, 0, 9, 0, 0, 1}, // the system's own default
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        FrameworkErrno::m_fwErrno = 0;
        MulticastSocket socket(c.direction, LOOPBACK, "239.255.71.6", 0, false, c.constructed,
                               ENABLE_MCAST_LOOPBACK, -1, -1);
        ASSERT_EQ(socket.initialize(), 0);
        if (c.setTo >= 0)
        {
            EXPECT_EQ(socket.setMcastTtl(static_cast<uint16>(c.setTo)), c.result);
            EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
        }
        EXPECT_EQ(byteOption(socket.getFileDescriptor(), IPPROTO_IP, IP_MULTICAST_TTL), c.ttl);
    }
    EXPECT_TRUE(testLog().contains("Attempt to set TTL on multicast socket ["));
    EXPECT_TRUE(testLog().contains("Multicast TTL [300] for socket ["));
}

TEST_F(MulticastSocketTest, MembershipRequestsThatCannotApplyAreIgnoredWithANote)
{
    const struct
    {
        const char* name;
        MulticastDirection direction;
        int joins;
        int leaves;
        bool joined;
        const char* logged;
    } cases[] = {
        {"join on a sending socket", MULTICAST_SEND, 1, 0, false, "is not for reception. Ignore the add membership"},
        {"leave on a sending socket", MULTICAST_SEND, 0, 1, false,
         "is not for reception. Ignore the drop membership"},
        {"join twice", MULTICAST_RECEIVE, 2, 0, true, "has already joined the multicast group"},
        {"leave without joining", MULTICAST_RECEIVE, 0, 1, false, "has not yet joined the multicast group"},
        {"join then leave twice", MULTICAST_SEND_RECV, 1, 2, false, "has not yet joined the multicast group"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        testLog().clear();
        MulticastSocket socket(c.direction, LOOPBACK, "239.255.71.7", 0, false, 1, ENABLE_MCAST_LOOPBACK, -1, -1);
        ASSERT_EQ(socket.initialize(), 0);
        for (int i = 0; i < c.joins; ++i)
            EXPECT_EQ(socket.join(), 0);
        for (int i = 0; i < c.leaves; ++i)
            EXPECT_EQ(socket.leave(), 0);
        EXPECT_EQ(socket.hasJoinedGroup(), c.joined);
        EXPECT_TRUE(testLog().contains(c.logged));
        EXPECT_FALSE(testLog().contains("failed"));
    }

    // A group that is no multicast address cannot be joined.
    MulticastSocket unicast(MULTICAST_RECEIVE, LOOPBACK, LOOPBACK, 0, false, 1, ENABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(unicast.initialize(), 0);
    EXPECT_EQ(unicast.join(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
    EXPECT_FALSE(unicast.hasJoinedGroup());
    EXPECT_TRUE(testLog().contains("setsockopt() IP_ADD_MEMBERSHIP failed, Err: 22."));
}

TEST_F(MulticastSocketTest, SetUpByDirectionAndItsFailures)
{
    {
        SCOPED_TRACE("sending: interface, TTL and destination, no bind to the group");
        MulticastSocket out(MULTICAST_SEND, LOOPBACK, "239.255.71.8", 4567, false, 3, DISABLE_MCAST_LOOPBACK, -1,
                            -1);
        ASSERT_EQ(out.initialize(), 0);
        const int fd = out.getFileDescriptor();
        in_addr interface{};
        socklen_t length = sizeof(interface);
        ASSERT_EQ(::getsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, &length), 0);
        EXPECT_EQ(addrText(interface.s_addr), LOOPBACK);
        EXPECT_EQ(byteOption(fd, IPPROTO_IP, IP_MULTICAST_TTL), 3);
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
        EXPECT_EQ(localName(fd).sin_port, 0); // not bound
    }
    {
        SCOPED_TRACE("receiving only: nowhere to send");
        MulticastSocket in(MULTICAST_RECEIVE, LOOPBACK, "239.255.71.8", 0, false, 1, DISABLE_MCAST_LOOPBACK, -1, -1);
        ASSERT_EQ(in.initialize(), 0);
        char text[] = "x";
        int done = 0;
        EXPECT_EQ(in.send(text, 1, done), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
        EXPECT_TRUE(testLog().contains("sendto() failed on sock ["));
    }
    {
        SCOPED_TRACE("an interface this host does not have");
        testLog().clear();
        MulticastSocket out(MULTICAST_SEND, "192.0.2.222", "239.255.71.8", 4567, false, 1, DISABLE_MCAST_LOOPBACK,
                            -1, -1);
        EXPECT_EQ(out.initialize(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
        EXPECT_EQ(out.getFileDescriptor(), -1);
        EXPECT_TRUE(testLog().contains("setsockopt() IP_MULTICAST_IF failed"));
    }
    {
        SCOPED_TRACE("a TTL above one byte at construction");
        MulticastSocket out(MULTICAST_SEND, LOOPBACK, "239.255.71.8", 4567, false, 256, DISABLE_MCAST_LOOPBACK, -1,
                            -1);
        EXPECT_EQ(out.initialize(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
        EXPECT_EQ(out.getFileDescriptor(), -1);
    }
    {
        SCOPED_TRACE("a direction out of range");
        MulticastSocket odd(static_cast<MulticastDirection>(7), LOOPBACK, "239.255.71.8", 0, false, 1,
                            DISABLE_MCAST_LOOPBACK, -1, -1);
        EXPECT_EQ(odd.initialize(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
        EXPECT_EQ(odd.getFileDescriptor(), -1);
    }
}

TEST_F(MulticastSocketTest, BlockModeChangesOnlyWhenItDiffers)
{
    MulticastSocket socket(MULTICAST_RECEIVE, LOOPBACK, "239.255.71.9", 0, true, 1, DISABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(socket.initialize(), 0);
    const int fd = socket.getFileDescriptor();
    EXPECT_FALSE(isNonBlocking(fd));
    ASSERT_EQ(socket.setBlockMode(false), 0);
    EXPECT_TRUE(isNonBlocking(fd));
    ASSERT_EQ(socket.setBlockMode(true), 0);
    EXPECT_FALSE(isNonBlocking(fd));
}

} // namespace
