#include "SocketTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace sockettest;

namespace
{

class TcpListenSocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testLog().clear();
        FrameworkErrno::m_fwErrno = 0;
    }
};

TEST_F(TcpListenSocketTest, BacklogComesFromTheConfigurationWithFiveAsDefault)
{
    const struct
    {
        const char* config;
        int32 backlog;
    } cases[] = {
        {"", TcpListenSocket::DEFAULT_CONN_QUEUE_LEN},
        {"CONN_QUEUE_LEN INT32 3\n", 3},
        {"CONN_QUEUE_LEN INT32 64\n", 64},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.config);
        setFrameworkConfig(c.config);
        TcpListenSocket listener("127.0.0.1", 0, false);
        ASSERT_EQ(listener.initialize(), 0);
        EXPECT_EQ(listener.getMaxPendingConn(), c.backlog);
        EXPECT_FALSE(listener.isListening());
        ASSERT_EQ(listener.startListen(), 0);
        EXPECT_TRUE(listener.isListening());
    }
    setFrameworkConfig("");
}

TEST_F(TcpListenSocketTest, AcceptsOneConnectionPerCallAndWouldBlockWhenNoneIsPending)
{
    LoopbackListener listener;
    const int fd = listener.socket.getFileDescriptor();
    EXPECT_TRUE(hasCloseOnExec(fd));
    EXPECT_TRUE(isNonBlocking(fd));
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(addrText(localName(fd).sin_addr.s_addr), "127.0.0.1");

    TcpDataSocket nothing(-1, -1);
    testLog().clear();
    EXPECT_EQ(listener.socket.acceptConnRqs(nothing), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    EXPECT_TRUE(testLog().lines().empty());
    EXPECT_EQ(listener.socket.acceptConnRqs(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);

    TcpDataSocket first("127.0.0.1", listener.port, "127.0.0.1", 0, false, -1, -1);
    TcpDataSocket second("127.0.0.1", listener.port, "127.0.0.1", 0, false, -1, -1);
    ASSERT_EQ(first.initialize(), 0);
    ASSERT_EQ(second.initialize(), 0);
    ASSERT_EQ(connectClient(first), 0);
    ASSERT_EQ(connectClient(second), 0);

    ASSERT_TRUE(waitReadable(fd));
    TcpDataSocket accepted(-1, -1);
    ASSERT_EQ(listener.socket.acceptConnRqs(accepted), 0);
    EXPECT_TRUE(accepted.isConnected());
    EXPECT_TRUE(hasCloseOnExec(accepted.getFileDescriptor()));
    EXPECT_TRUE(isNonBlocking(accepted.getFileDescriptor())); // the listen socket's block mode
    EXPECT_TRUE(testLog().contains("New TCP connection from peer [127.0.0.1:"));

    ASSERT_TRUE(waitReadable(fd));
    const int raw = listener.socket.acceptConnRqs();
    ASSERT_GE(raw, 0);
    EXPECT_TRUE(hasCloseOnExec(raw));
    EXPECT_TRUE(testLog().contains("New TCP connection accepted on socket [" + std::to_string(raw) + "]"));
    ::close(raw);

    EXPECT_EQ(listener.socket.acceptConnRqs(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
}

TEST_F(TcpListenSocketTest, ABindOnAPortInUseFailsAndDropsTheDescriptor)
{
    LoopbackListener busy;
    TcpListenSocket clash("127.0.0.1", busy.port, false);
    ASSERT_NE(clash.getFileDescriptor(), -1);
    EXPECT_EQ(clash.initialize(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
    EXPECT_EQ(clash.getFileDescriptor(), -1);
    EXPECT_TRUE(testLog().contains("bind() failed, Err: 98."));
    EXPECT_EQ(clash.startListen(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
    EXPECT_FALSE(clash.isListening());

    TcpDataSocket target(-1, -1);
    EXPECT_EQ(clash.acceptConnRqs(target), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, ACCEPT_CONN_FAILED);
}

TEST_F(TcpListenSocketTest, MovesNoDataThroughSendOrReceive)
{
    LoopbackListener listener;
    char buf[4] = {};
    int done = -1;
    EXPECT_EQ(listener.socket.send(buf, sizeof(buf), done), 0);
    EXPECT_EQ(done, 0);
    done = -1;
    EXPECT_EQ(listener.socket.receive(buf, sizeof(buf), done), 0);
    EXPECT_EQ(done, 0);
}

} // namespace
