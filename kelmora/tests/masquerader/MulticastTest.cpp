// The multicast masquerader sending to test sockets joined to loopback
// groups: to each record's own source, to a fixed group, with its TTL and
// across a change of interface.
#include "kelmora/masquerade/LineMasqueraderMulticast.h"

#include "LoopbackSupport.h"
#include "kelmora/linehandler/LineError.h"

#include <gtest/gtest.h>

#include <fcntl.h>

using namespace hostrun;
using namespace loopback;

namespace
{
// A datagram socket on a free port, joined to `group` on the loopback interface.
struct GroupReceiver
{
    int fd = -1;
    int port = 0;
    explicit GroupReceiver(const char* group)
    {
        port = freePort(SOCK_DGRAM);
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, group, &a.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ip_mreq join{};
        ::inet_pton(AF_INET, group, &join.imr_multiaddr);
        join.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
    }
    ~GroupReceiver() { ::close(fd); }
    // The next datagram, or "<none>" after a second.
    std::string next()
    {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            return "<none>";
        char buf[2048];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        return n < 0 ? "<error>" : std::string(buf, static_cast<std::size_t>(n));
    }
};

int ttlOf(int fd)
{
    unsigned char ttl = 0;
    socklen_t len = sizeof ttl;
    ::getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len);
    return ttl;
}

struct MulticastFixture : ::testing::Test
{
    Host host;
    TarvokSession session;
    Feed feed;
    LineMasqueraderMulticast masq{"127.0.0.1", session, host.log};
    GroupReceiver first{"239.255.41.11"};
    GroupReceiver second{"239.255.41.12"};

    void SetUp() override { feed.bus.subscribe(&masq); }
    void TearDown() override { feed.bus.unsubscribe(&masq); }
    void publishFrom(const std::string& bytes, const char* group, int port)
    {
        feed.record.setSource(group, port);
        feed.publish(bytes);
    }
};
} // namespace

TEST_F(MulticastFixture, EachRecordGoesToItsOwnSourceUnlessAGroupIsFixed)
{
    publishFrom("to-first", "239.255.41.11", first.port);
    publishFrom("to-second", "239.255.41.12", second.port);
    publishFrom("", "239.255.41.11", first.port);
    EXPECT_EQ(first.next(), "to-first");
    EXPECT_EQ(second.next(), "to-second");
    EXPECT_EQ(first.next(), ""); // an empty record is an empty datagram

    masq.setSource("239.255.41.12", second.port);
    publishFrom("fixed", "239.255.41.11", first.port);
    EXPECT_EQ(second.next(), "fixed");
    EXPECT_EQ(first.next(), "<none>");
}

TEST_F(MulticastFixture, TheTtlIsAppliedAndSetBack)
{
    EXPECT_EQ(masq.getTtl(), 1);
    masq.setTtl(5);
    EXPECT_EQ(ttlOf(masq.getSocket()), 5);
    masq.setTtl(1);
    EXPECT_EQ(ttlOf(masq.getSocket()), 1);
    masq.setTtl(300); // the low byte
    EXPECT_EQ(ttlOf(masq.getSocket()), 44);
}

// A new interface opens a new socket: the old one is closed, the fixed
// destination and the TTL stay, and the socket is closed on exec.
TEST_F(MulticastFixture, ANewInterfaceKeepsTheDestinationAndClosesTheOldSocket)
{
    masq.setSource("239.255.41.12", second.port);
    masq.setTtl(3);
    const int old = masq.getSocket();
    masq.setInterface("lo");
    const int now = masq.getSocket();
    ASSERT_GE(now, 0);
    EXPECT_NE(now, old);
    EXPECT_EQ(::fcntl(old, F_GETFD), -1);
    EXPECT_NE(::fcntl(now, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(ttlOf(now), 3);
    publishFrom("after", "239.255.41.11", first.port);
    EXPECT_EQ(second.next(), "after");
}

TEST_F(MulticastFixture, AnUnknownInterfaceFallsBackToTheDefault)
{
    masq.setInterface("no-such-interface-x");
    EXPECT_EQ(host.sink.count("could not resolve multicast interface parameter: \"no-such-interface-x\", using "
                              "default interface",
                              LOG_LEVEL_ERROR),
              1);
    EXPECT_GE(masq.getSocket(), 0);
}
