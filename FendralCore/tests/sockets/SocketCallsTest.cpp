// What all three socket kinds share: close-on-exec however the socket is
// made, and the buffer-size requests with their read-back.
#include "SocketTestSupport.h"

#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/runtime/AppLogger.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

using namespace sockettest;

namespace
{

class SocketCallsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testLog().clear();
        FrameworkErrno::m_fwErrno = 0;
    }

    void TearDown() override { GlobalData::getInst().m_metaCmdCode = NO_META_CMD; }
};

TEST_F(SocketCallsTest, EverySocketIsCloseOnExecWithOrWithoutTheAcceleratedStackFlag)
{
    for (const MetaCmdCode code : {NO_META_CMD, ONLOAD_CMD, static_cast<MetaCmdCode>(NUMA_CMD | ONLOAD_CMD)})
    {
        SCOPED_TRACE(code);
        GlobalData::getInst().m_metaCmdCode = code;
        LoopbackListener listener;
        EXPECT_TRUE(hasCloseOnExec(listener.socket.getFileDescriptor()));

        TcpDataSocket client("127.0.0.1", listener.port, "127.0.0.1", 0, false, -1, -1);
        EXPECT_TRUE(hasCloseOnExec(client.getFileDescriptor()));
        ASSERT_EQ(client.initialize(), 0);
        ASSERT_EQ(connectClient(client), 0);
        TcpDataSocket accepted(-1, -1);
        ASSERT_TRUE(waitReadable(listener.socket.getFileDescriptor()));
        ASSERT_EQ(listener.socket.acceptConnRqs(accepted), 0);
        EXPECT_TRUE(hasCloseOnExec(accepted.getFileDescriptor()));

        client.disconnect();
        ASSERT_EQ(client.reinitialize(false), 0);
        EXPECT_TRUE(hasCloseOnExec(client.getFileDescriptor()));

        MulticastSocket multicast(MULTICAST_SEND, "127.0.0.1", "239.255.72.1", 9, false, 1, DISABLE_MCAST_LOOPBACK,
                                  -1, -1);
        EXPECT_TRUE(hasCloseOnExec(multicast.getFileDescriptor()));
    }
}

// Each socket kind with its own texts for the same four outcomes.
struct SocketKind
{
    const char* name;
    std::function<std::unique_ptr<FileDescriptor>()> make;
    std::function<int32(FileDescriptor&, int32)> setSend;
    std::function<int32(FileDescriptor&, int32)> setRecv;
    const char* what; // how the texts name the socket
    // One whose set-up failed, so it holds no descriptor.
    std::function<std::unique_ptr<FileDescriptor>()> makeBroken;
};

std::vector<SocketKind> socketKinds()
{
    return {
        {"TCP", [] { return std::make_unique<TcpDataSocket>("127.0.0.1", 9, "", 0, false, -1, -1); },
         [](FileDescriptor& s, int32 size) { return static_cast<TcpDataSocket&>(s).setSendBufSize(size); },
         [](FileDescriptor& s, int32 size) { return static_cast<TcpDataSocket&>(s).setRecvBufSize(size); },
         "TCP socket",
         [] {
             auto socket = std::make_unique<TcpDataSocket>("127.0.0.1", 9, "192.0.2.222", 0, false, -1, -1);
             socket->initialize();
             return socket;
         }},
        {"multicast",
         [] {
             return std::make_unique<MulticastSocket>(MULTICAST_SEND_RECV, "127.0.0.1", "239.255.72.2", 0, false, 1,
                                                      DISABLE_MCAST_LOOPBACK, -1, -1);
         },
         [](FileDescriptor& s, int32 size) { return static_cast<MulticastSocket&>(s).setSendBufSize(size); },
         [](FileDescriptor& s, int32 size) { return static_cast<MulticastSocket&>(s).setRecvBufSize(size); },
         "multicast socket",
         [] {
             auto socket = std::make_unique<MulticastSocket>(MULTICAST_SEND, "192.0.2.222", "239.255.72.2", 9, false,
                                                             1, DISABLE_MCAST_LOOPBACK, -1, -1);
             socket->initialize();
             return socket;
         }},
    };
}

TEST_F(SocketCallsTest, BufferSizesAreSetReadBackAndReportedHalved)
{
    constexpr int32 ABOVE_SYSTEM_LIMIT = 64 * 1024 * 1024; // far above net.core.[rw]mem_max
    for (const SocketKind& kind : socketKinds())
    {
        for (const bool sending : {true, false})
        {
            const std::string direction = sending ? "send" : "receive";
            SCOPED_TRACE(std::string(kind.name) + " " + direction);
            auto socket = kind.make();
            const int fd = socket->getFileDescriptor();
            const auto set = sending ? kind.setSend : kind.setRecv;
            const int option = sending ? SO_SNDBUF : SO_RCVBUF;
            const std::string fdText = "[" + std::to_string(fd) + "]";

            // As requested: the kernel keeps twice the request and reports it.
            testLog().clear();
            ASSERT_EQ(set(*socket, 65536), 0);
            EXPECT_EQ(intOption(fd, SOL_SOCKET, option), 2 * 65536);
            EXPECT_TRUE(testLog().contains("The " + direction + " buffer size is set to [65536] for " + kind.what +
                                           " " + fdText + "."));

            // Above the limit: smaller than asked, said at info level, still a success.
            testLog().clear();
            ASSERT_EQ(set(*socket, ABOVE_SYSTEM_LIMIT), 0);
            const int kept = intOption(fd, SOL_SOCKET, option) / 2;
            EXPECT_LT(kept, ABOVE_SYSTEM_LIMIT);
            EXPECT_TRUE(testLog().contains("The " + direction + " buffer size is set to [" + std::to_string(kept) +
                                           "] for " + kind.what + " " + fdText + ". Expected [" +
                                           std::to_string(ABOVE_SYSTEM_LIMIT) + "]."));
            const auto lines = testLog().lines();
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0][AppLogger::SEVERITY_OFFSET], 'I');

            // Negative: the system's current size is kept and reported.
            testLog().clear();
            const int before = intOption(fd, SOL_SOCKET, option);
            ASSERT_EQ(set(*socket, -1), 0);
            EXPECT_EQ(intOption(fd, SOL_SOCKET, option), before);
            EXPECT_TRUE(testLog().contains("Use the system default " + direction + " buffer size [" +
                                           std::to_string(before / 2) + "] for " + kind.what + " " + fdText));

            // No descriptor (a set-up that failed): logged and returned.
            auto broken = kind.makeBroken();
            ASSERT_EQ(broken->getFileDescriptor(), -1);
            testLog().clear();
            const auto setBroken = sending ? kind.setSend : kind.setRecv;
            EXPECT_EQ(setBroken(*broken, 65536), -1);
            EXPECT_EQ(setBroken(*broken, -1), -1);
            EXPECT_EQ(testLog().lines().size(), 2u);
        }
    }
}

TEST_F(SocketCallsTest, InitializeAgainAfterAFailedSetUpFailsCleanly)
{
    // Blocking, so the first step of the second attempt is the buffer size.
    TcpDataSocket tcp("127.0.0.1", 9, "192.0.2.222", 0, true, -1, -1);
    ASSERT_EQ(tcp.initialize(), -1);
    testLog().clear();
    EXPECT_EQ(tcp.initialize(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SOCK_ERROR);
    EXPECT_EQ(tcp.getFileDescriptor(), -1);
    EXPECT_TRUE(testLog().contains("getting the system default send buffer size of TCP socket [-1]"));
}

} // namespace
