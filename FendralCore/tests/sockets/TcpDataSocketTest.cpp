#include "SocketTestSupport.h"

#include "FendralCore/foundation/FileDescMultiplexer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <functional>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace sockettest;

// The system's send and shutdown as this program's sockets call them, with a
// pause that a test asks for on its own thread: between taking the
// descriptor number and the system using it, where a thread may lose its
// processor for as long.
namespace
{
thread_local bool t_pauseInCall = false;
std::atomic<bool> g_pausedInCall{false};
constexpr int CALL_PAUSE_US = 50000;

void pauseIfAsked()
{
    if (!t_pauseInCall)
        return;
    t_pauseInCall = false;
    g_pausedInCall = true;
    ::usleep(CALL_PAUSE_US);
}

template <typename Fn>
Fn nextDefinition(const char* name)
{
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" ssize_t send(int fd, const void* buf, size_t len, int flags)
{
    static const auto real = nextDefinition<ssize_t (*)(int, const void*, size_t, int)>("send");
    pauseIfAsked();
    return real(fd, buf, len, flags);
}

extern "C" int shutdown(int fd, int how) noexcept
{
    static const auto real = nextDefinition<int (*)(int, int)>("shutdown");
    pauseIfAsked();
    return real(fd, how);
}

namespace
{

class TcpDataSocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testLog().clear();
        FrameworkErrno::m_fwErrno = 0;
    }
};

// Sends all of text, retrying while the socket would block.
void sendAll(TcpDataSocket& socket, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size())
    {
        int done = 0;
        if (socket.send(const_cast<char*>(text.data() + sent), static_cast<int>(text.size() - sent), done) == 0)
            sent += static_cast<size_t>(done);
        else
            ASSERT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    }
}

std::string receiveSome(TcpDataSocket& socket, size_t expected)
{
    std::string received;
    char buf[256];
    while (received.size() < expected && waitReadable(socket.getFileDescriptor()))
    {
        int done = 0;
        if (socket.receive(buf, sizeof(buf), done) != 0)
            break;
        received.append(buf, static_cast<size_t>(done));
    }
    return received;
}

TEST_F(TcpDataSocketTest, ClientAndAcceptedSocketsCarryDataBothWaysWithConnectionOptions)
{
    TcpPair pair;
    TcpDataSocket& client = *pair.client;
    TcpDataSocket& server = *pair.server;
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(server.isConnected());
    EXPECT_TRUE(client.isOutgoingConnection());
    EXPECT_FALSE(server.isOutgoingConnection());

    // The accepted side knows its peer: the client's own local address.
    const sockaddr_in clientLocal = localName(client.getFileDescriptor());
    uint32 peerAddr = 0;
    uint16 peerPort = 0;
    ASSERT_EQ(server.getPeer(peerAddr, peerPort), 0);
    EXPECT_EQ(peerAddr, clientLocal.sin_addr.s_addr);
    EXPECT_EQ(peerPort, clientLocal.sin_port);
    EXPECT_STREQ(server.getPeerAddressTxt(), "127.0.0.1");
    EXPECT_EQ(server.getPeerLboPortNum(), ntohs(clientLocal.sin_port));
    ASSERT_EQ(client.getPeer(peerAddr, peerPort), 0);
    EXPECT_EQ(ntohs(peerPort), pair.listener.port);

    for (TcpDataSocket* socket : {&client, &server})
    {
        const int fd = socket->getFileDescriptor();
        EXPECT_TRUE(hasCloseOnExec(fd));
        EXPECT_TRUE(isNonBlocking(fd));
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    }

    const std::string request(100, 'q');
    sendAll(client, request);
    EXPECT_EQ(receiveSome(server, request.size()), request);
    const std::string answer = "answer from the accepted side";
    sendAll(server, answer);
    EXPECT_EQ(receiveSome(client, answer.size()), answer);
}

TEST_F(TcpDataSocketTest, ConnectCompletesThroughTheMultiplexerAsTheReceiverWaitsForIt)
{
    LoopbackListener listener;
    TcpDataSocket client("127.0.0.1", listener.port, "", 0, false, -1, -1);
    ASSERT_EQ(client.initialize(), 0);
    FileDescMultiplexer mux(2);
    if (client.connect() != 0)
    {
        ASSERT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
        ASSERT_FALSE(client.isConnected());
        ASSERT_EQ(mux.addFileDesc(&client, IO_WAIT_WRITE), 0);
        FileDescriptor* ready[2];
        IoWaitType types[2];
        ASSERT_EQ(mux.wait(ready, types, 2, WAIT_MS), 1);
        EXPECT_EQ(ready[0], &client);
        ASSERT_EQ(client.checkConnectResult(), 0);
        EXPECT_TRUE(testLog().contains("] established on socket ["));
        EXPECT_EQ(mux.removeFileDesc(&client), 0);
    }
    EXPECT_TRUE(client.isConnected());
}

TEST_F(TcpDataSocketTest, ClientCycleRecoversFromARefusedConnectAndReconnectsAfterADisconnect)
{
    // A bound socket refuses connections until it listens.
    const int serverFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(serverFd, reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback)), 0);

    TcpDataSocket client("127.0.0.1", localPort(serverFd), "127.0.0.1", 0, false, -1, -1);
    ASSERT_EQ(client.initialize(), 0);
    EXPECT_EQ(connectClient(client), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, CONN_FAILED);
    EXPECT_FALSE(client.isConnected());
    const int failedFd = client.getFileDescriptor();

    // disconnect leaves a socket that never connected alone; the connect
    // failure path closes it.
    client.disconnect();
    EXPECT_EQ(client.getFileDescriptor(), failedFd);
    client.closeOnConnectFailure();
    EXPECT_EQ(client.getFileDescriptor(), -1);
    EXPECT_TRUE(client.hasDisconnectEvent());

    // The cycle goes on with a fresh descriptor, and now the server listens.
    ASSERT_EQ(::listen(serverFd, 5), 0);
    for (const char* round : {"after a refusal", "after a disconnect"})
    {
        SCOPED_TRACE(round);
        ASSERT_EQ(client.reinitialize(false), 0);
        EXPECT_FALSE(client.hasDisconnectEvent());
        EXPECT_TRUE(client.hasValidLocalBinding());
        EXPECT_TRUE(hasCloseOnExec(client.getFileDescriptor()));
        EXPECT_TRUE(isNonBlocking(client.getFileDescriptor()));
        ASSERT_EQ(connectClient(client), 0);
        ASSERT_TRUE(waitReadable(serverFd));
        TcpDataSocket accepted(::accept4(serverFd, nullptr, nullptr, SOCK_CLOEXEC), false, -1, -1);
        ASSERT_TRUE(accepted.isConnected());
        sendAll(client, round);
        EXPECT_EQ(receiveSome(accepted, std::strlen(round)), round);

        client.disconnect();
        EXPECT_EQ(client.getFileDescriptor(), -1);
        EXPECT_FALSE(client.isConnected());
        EXPECT_TRUE(client.hasDisconnectEvent());
        EXPECT_TRUE(testLog().contains("] closed"));
    }
    ::close(serverFd);
}

TEST_F(TcpDataSocketTest, PeerCloseAndShutDirectionsEndTransfersWithConnClosed)
{
    {
        SCOPED_TRACE("the peer closed");
        TcpPair pair;
        pair.server.reset();
        ASSERT_TRUE(waitReadable(pair.client->getFileDescriptor()));
        char buf[16];
        int done = -1;
        EXPECT_EQ(pair.client->receive(buf, sizeof(buf), done), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, CONN_CLOSED);
        EXPECT_EQ(done, 0);
    }
    {
        SCOPED_TRACE("receiving shut here");
        TcpPair pair;
        sendAll(*pair.server, "unread");
        pair.client->shutdown(CLOSE_RD);
        EXPECT_EQ(pair.client->getConnStatus(), CONN_STATUS_RECV_SHUT);
        char buf[16];
        int done = -1;
        EXPECT_EQ(pair.client->receive(buf, sizeof(buf), done), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, CONN_CLOSED);
        EXPECT_TRUE(testLog().contains("Receive failed. Socket ["));
        // Sending still works one way.
        sendAll(*pair.client, "one way");
        EXPECT_EQ(receiveSome(*pair.server, 7), "one way");
    }
    {
        SCOPED_TRACE("sending shut here");
        TcpPair pair;
        pair.client->shutdown(CLOSE_WR);
        int done = -1;
        char text[] = "late";
        EXPECT_EQ(pair.client->send(text, 4, done), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, CONN_CLOSED);
        EXPECT_TRUE(testLog().contains("Send failed. Socket ["));
        // The peer sees the end of the stream.
        ASSERT_TRUE(waitReadable(pair.server->getFileDescriptor()));
        char buf[16];
        EXPECT_EQ(pair.server->receive(buf, sizeof(buf), done), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, CONN_CLOSED);
    }
}

TEST_F(TcpDataSocketTest, EachShutdownDirectionActsOnceAndBothKeepTheDescriptor)
{
    TcpPair pair;
    TcpDataSocket& socket = *pair.client;
    const int fd = socket.getFileDescriptor();
    socket.shutdown(CLOSE_RD);
    socket.shutdown(CLOSE_RD);
    EXPECT_EQ(testLog().count("shutdown for incoming direction."), 1u);
    EXPECT_FALSE(socket.hasDisconnectEvent());
    socket.shutdown(CLOSE_WR);
    EXPECT_EQ(socket.getConnStatus(), CONN_STATUS_RECV_SHUT | CONN_STATUS_SEND_SHUT);
    // Both directions are already shut: nothing more happens.
    socket.shutdown(CLOSE_RDWR);
    EXPECT_EQ(testLog().count("shutdown for both directions."), 0u);
    EXPECT_TRUE(socket.isConnected());
    EXPECT_EQ(socket.getFileDescriptor(), fd);

    socket.closeOnConnectFailure();
    EXPECT_EQ(socket.getFileDescriptor(), -1);

    TcpPair other;
    other.server->shutdown(CLOSE_RDWR);
    EXPECT_TRUE(other.server->hasDisconnectEvent());
    EXPECT_EQ(other.server->getConnStatus(), CONN_STATUS_RECV_SHUT | CONN_STATUS_SEND_SHUT);
    EXPECT_EQ(testLog().count("shutdown for both directions."), 1u);
    other.server->disconnect();
    EXPECT_EQ(other.server->getFileDescriptor(), -1);
    EXPECT_EQ(other.server->getConnStatus(), CONN_STATUS_NOT_CONNECTED);
}

TEST_F(TcpDataSocketTest, SendToAResetPeerFailsWithoutRaisingSigpipe)
{
    // The default action of SIGPIPE ends the process; the send must not raise it.
    struct sigaction previous{};
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &fallback, &previous), 0);

    TcpPair pair;
    const linger abortive{1, 0};
    ASSERT_EQ(::setsockopt(pair.server->getFileDescriptor(), SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive)), 0);
    pair.server.reset(); // closes with a reset
    ASSERT_TRUE(waitReadable(pair.client->getFileDescriptor()));

    // The first send after the reset reports it; the ones after that meet a
    // broken pipe, which is where a signal would be raised.
    char buf[100] = {};
    std::vector<int32> codes;
    for (int i = 0; i < 4; ++i)
    {
        int done = 0;
        FrameworkErrno::m_fwErrno = 0;
        if (pair.client->send(buf, sizeof(buf), done) != 0)
            codes.push_back(FrameworkErrno::m_fwErrno);
    }
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes.front(), CONN_CLOSED);
    EXPECT_EQ(codes.back(), SEND_FAILED);
    EXPECT_TRUE(testLog().contains("Error [" + std::to_string(EPIPE) + "] sending data stream to [127.0.0.1:"));
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(TcpDataSocketTest, OperationsRefusedInTheWrongStateLeaveTheSocketAsItWas)
{
    TcpPair pair;
    struct Case
    {
        const char* name;
        std::function<int32()> call;
        int32 code;
        const char* logged;
    };
    TcpDataSocket unbound(-1, -1);
    TcpDataSocket notInitialized("127.0.0.1", pair.listener.port, "127.0.0.1", 0, false, -1, -1);
    const int spareFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint32 addr = 0;
    uint16 port = 0;
    const Case cases[] = {
        {"reinitialize an accepted connection", [&] { return pair.server->reinitialize(false); }, CONN_FAILED,
         "Not allow to re-initialize an incoming connected socket object."},
        {"reinitialize a connected client", [&] { return pair.client->reinitialize(false); }, ALREADY_CONNECTED,
         "Not allow to re-initialize a connected socket object."},
        {"assign to a connected socket", [&] { return pair.client->assignSocketFd(spareFd, false); },
         ALREADY_CONNECTED, "Not allow to assign a descriptor to a connected socket object"},
        {"connect without a local binding", [&] { return notInitialized.connect(); }, INVALID_SOCKET,
         "The local address binding is invalid"},
        {"peer of an unconnected socket", [&] { return unbound.getPeer(addr, port); }, CONN_CLOSED,
         "Get Peer name failed. Socket [-1] not yet connected"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        testLog().clear();
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
        EXPECT_TRUE(testLog().contains(c.logged));
    }
    EXPECT_TRUE(pair.client->isConnected());
    EXPECT_TRUE(pair.server->isConnected());
    // The refused descriptor still belongs to the caller.
    EXPECT_TRUE(isOpen(spareFd));
    ::close(spareFd);
}

TEST_F(TcpDataSocketTest, BadLengthsAndBuffersAreRefusedBeforeAnySystemCall)
{
    TcpPair pair;
    char buf[8] = {};
    int done = -1;
    EXPECT_EQ(pair.client->send(buf, -1, done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
    EXPECT_EQ(pair.client->send(nullptr, 4, done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
    // A zero-length read must not look like the peer's close.
    EXPECT_EQ(pair.client->receive(buf, 0, done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
    EXPECT_EQ(pair.client->receive(nullptr, 8, done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_INVALID_PARA);
    EXPECT_TRUE(pair.client->isConnected());
    // Nothing waiting: would-block, never logged as an error.
    testLog().clear();
    EXPECT_EQ(pair.client->receive(buf, sizeof(buf), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    EXPECT_TRUE(testLog().lines().empty());
}

TEST_F(TcpDataSocketTest, FailedSetUpLeavesNoDescriptorSoTheMultiplexerRefusesIt)
{
    // 192.0.2.222 is carried by no interface here: bind fails.
    TcpDataSocket client("127.0.0.1", 9, "192.0.2.222", 0, false, -1, -1);
    ASSERT_NE(client.getFileDescriptor(), -1);
    EXPECT_EQ(client.initialize(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
    EXPECT_EQ(client.getFileDescriptor(), -1);
    EXPECT_FALSE(client.hasValidLocalBinding());
    EXPECT_TRUE(testLog().contains("bind() failed, Err: 99."));
    FileDescMultiplexer mux(1);
    EXPECT_EQ(mux.addFileDesc(&client, IO_WAIT_READ), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_DESCRIPTOR);

    // Wrapping a descriptor that is no socket fails the same way and closes it.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    TcpDataSocket wrapped(pipeFds[0], false, -1, -1);
    EXPECT_EQ(wrapped.getFileDescriptor(), -1);
    EXPECT_FALSE(wrapped.isConnected());
    EXPECT_FALSE(isOpen(pipeFds[0]));
    EXPECT_TRUE(testLog().contains("getting peer address at sock"));
    ::close(pipeFds[1]);
}

TEST_F(TcpDataSocketTest, ReplacingADescriptorClosesTheOneHeldBefore)
{
    LoopbackListener listener;
    TcpDataSocket client("127.0.0.1", listener.port, "127.0.0.1", 0, false, -1, -1);
    ASSERT_EQ(client.initialize(), 0);
    const int before = openDescriptorCount();
    // Initialised but never connected: the descriptor is still held.
    ASSERT_EQ(client.reinitialize(false), 0);
    ASSERT_EQ(client.reinitialize(true), 0);
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_FALSE(isNonBlocking(client.getFileDescriptor()));

    // Accepting into a socket that still holds a connection: the new
    // connection is closed, not leaked, and the held one stays.
    TcpPair pair;
    TcpDataSocket second("127.0.0.1", pair.listener.port, "127.0.0.1", 0, false, -1, -1);
    ASSERT_EQ(second.initialize(), 0);
    ASSERT_EQ(connectClient(second), 0);
    ASSERT_TRUE(waitReadable(pair.listener.socket.getFileDescriptor()));
    const int count = openDescriptorCount();
    EXPECT_EQ(pair.listener.socket.acceptConnRqs(*pair.server), 0);
    EXPECT_EQ(openDescriptorCount(), count);
    EXPECT_TRUE(pair.server->isConnected());
    ASSERT_TRUE(waitReadable(second.getFileDescriptor()));
    char buf[4];
    int done = 0;
    EXPECT_EQ(second.receive(buf, sizeof(buf), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, CONN_CLOSED);
}

TEST_F(TcpDataSocketTest, ReassignMovesTheDescriptorUpAndKeepsCloseOnExec)
{
    TcpPair pair;
    TcpDataSocket& socket = *pair.client;
    const int old = socket.getFileDescriptor();
    int moved = -1;
    ASSERT_EQ(socket.reassignSocketFd(500, moved), 0);
    EXPECT_GE(moved, 500);
    EXPECT_EQ(socket.getFileDescriptor(), moved);
    EXPECT_TRUE(hasCloseOnExec(moved));
    EXPECT_FALSE(isOpen(old));
    EXPECT_TRUE(testLog().contains("The socket [" + std::to_string(old) + "] is reassigned to [" +
                                   std::to_string(moved) + "]."));
    sendAll(socket, "moved");
    EXPECT_EQ(receiveSome(*pair.server, 5), "moved");

    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    int unchanged = -1;
    EXPECT_EQ(socket.reassignSocketFd(static_cast<int>(limit.rlim_cur), unchanged), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_MAX_FD_REACHED);
    EXPECT_EQ(socket.getFileDescriptor(), moved);
    EXPECT_EQ(unchanged, -1);

    TcpDataSocket unbound(-1, -1);
    EXPECT_EQ(unbound.reassignSocketFd(500, unchanged), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
}

TEST_F(TcpDataSocketTest, BlockModeFollowsTheRequest)
{
    TcpPair pair;
    TcpDataSocket& socket = *pair.client;
    ASSERT_EQ(socket.setBlockMode(true), 0);
    EXPECT_FALSE(isNonBlocking(socket.getFileDescriptor()));
    EXPECT_TRUE(socket.getBlockMode());
    ASSERT_EQ(socket.setBlockMode(false), 0);
    EXPECT_TRUE(isNonBlocking(socket.getFileDescriptor()));

    TcpDataSocket blocking("127.0.0.1", pair.listener.port, "127.0.0.1", 0, true, -1, -1);
    ASSERT_EQ(blocking.initialize(), 0);
    EXPECT_FALSE(isNonBlocking(blocking.getFileDescriptor()));
    EXPECT_EQ(blocking.connect(), 0); // a blocking connect completes at once
    EXPECT_TRUE(blocking.isConnected());

    TcpDataSocket unbound(-1, -1);
    EXPECT_EQ(unbound.setBlockMode(false), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
}

TEST_F(TcpDataSocketTest, PeerBySockFdReadsAnyConnectedDescriptor)
{
    TcpPair pair;
    uint32 addr = 0;
    uint16 port = 0;
    ASSERT_EQ(TcpDataSocket::getPeerBySockFd(pair.client->getFileDescriptor(), addr, port), 0);
    EXPECT_EQ(addrText(addr), "127.0.0.1");
    EXPECT_EQ(ntohs(port), pair.listener.port);
    EXPECT_EQ(TcpDataSocket::getPeerBySockFd(pair.listener.socket.getFileDescriptor(), addr, port), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
}

// An application thread sends (or shuts the sending side after a failed
// send) just as the network thread closes the connection, and the number it
// closes is taken at once by another connection. The call has read the
// descriptor and pauses before the system uses it: the close waits for it,
// so the bytes go to the connection they were for, and the other connection
// sees nothing, neither bytes nor an end.
TEST_F(TcpDataSocketTest, ACallUnderWayHoldsTheDescriptorAgainstTheClose)
{
    struct Case
    {
        const char* name;
        std::function<void(TcpDataSocket&)> call;
        std::string reachesPeer; // what the connection's own peer receives
    };
    char text[] = "for the first peer";
    const Case cases[] = {
        {"send", [&](TcpDataSocket& s) { int done = 0; EXPECT_EQ(s.send(text, sizeof text - 1, done), 0); },
         text},
        {"shutdown", [](TcpDataSocket& s) { s.shutdown(CLOSE_WR); }, ""},
    };
    LoopbackListener other;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(other.port);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TcpPair pair;
        TcpDataSocket& sock = *pair.server;
        g_pausedInCall = false;
        std::thread app([&] {
            t_pauseInCall = true;
            c.call(sock);
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!g_pausedInCall.load() && std::chrono::steady_clock::now() < deadline)
            ::sched_yield();
        ASSERT_TRUE(g_pausedInCall.load());
        const int closed = sock.getFileDescriptor();
        sock.disconnect();
        // The lowest free number is the one just closed.
        const int taker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(taker, closed) << "the number was not taken again: the case shows nothing";
        ASSERT_EQ(::connect(taker, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        ASSERT_TRUE(waitReadable(other.socket.getFileDescriptor()));
        const int accepted = ::accept4(other.socket.getFileDescriptor(), nullptr, nullptr, SOCK_CLOEXEC);
        app.join();
        char buf[64];
        EXPECT_EQ(::recv(accepted, buf, sizeof buf, MSG_DONTWAIT), -1) << "the call reached number " << closed;
        EXPECT_EQ(receiveSome(*pair.client, c.reachesPeer.size() + 1), c.reachesPeer);
        ::close(accepted);
        ::close(taker);
    }
}

} // namespace
