#include "FendralCore/tests/netrcv/NetReceiverTestSupport.h"

#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/tests/support/ProcessTestSupport.h"

#include <algorithm>
#include <fcntl.h>
#include <functional>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

using namespace netrcvtest;

namespace
{
const std::string SOH = "\x01";

// The body's last field ends with SOH, as the checksum field needs.
std::string fix(const std::string& body)
{
    const std::string fields = "58=" + body + SOH;
    return "8=FIXT.1.1" + SOH + "9=" + std::to_string(fields.size()) + SOH + fields + "10=123" + SOH;
}

std::string custom(const std::string& body)
{
    const char len[2] = {static_cast<char>(body.size() >> 8), static_cast<char>(body.size() & 0xff)};
    return std::string(len, 2) + body;
}

int connectTo(uint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenOn(uint16& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

bool sendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The next connection of a test listener, or -1 after 10 s without one.
int acceptWithin(int server)
{
    pollfd p{server, POLLIN, 0};
    return ::poll(&p, 1, 10000) == 1 ? ::accept(server, nullptr, nullptr) : -1;
}

// Closes with a reset instead of an orderly end.
void resetClose(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

struct Framing
{
    const char* name;
    MsgFormatType format;
    std::string (*frame)(const std::string&);
};

std::string raw(const std::string& body)
{
    return body;
}

const Framing FRAMINGS[] = {
    {"raw", MSG_FORMAT_RAW, raw},
    {"quor", MSG_FORMAT_QUOR, quor},
    {"fix", MSG_FORMAT_FIX, fix},
    {"custom", MSG_FORMAT_CUSTOM, custom},
};
} // namespace

class NetReceiverTest : public NetReceiverHarness
{
};

// A client of the test connects to a listen channel; its frames reach the
// owner whole, in order, in every framing, and its close ends the stream.
TEST_F(NetReceiverTest, AcceptedConnectionDeliversEveryFramingToTheOwner)
{
    std::vector<uint16> ports;
    std::vector<TcpConnResource*> listens;
    int i = 0;
    for (const Framing& f : FRAMINGS)
    {
        ports.push_back(freePort());
        listens.push_back(addTcp(("S" + std::to_string(i++)).c_str(), TCP_SERVER_LISTEN_MODE, f.format, ports.back()));
    }
    start();
    for (TcpConnResource* l : listens)
        ASSERT_TRUE(waitStatus(l, RES_LISTENING));

    const std::string bodies[] = {"first", std::string(5000, 'x') + "end", "third"};
    for (size_t k = 0; k < std::size(FRAMINGS); ++k)
    {
        const Framing& f = FRAMINGS[k];
        const int client = connectTo(ports[k]);
        ASSERT_GE(client, 0) << f.name;
        const EventMsg added = event(*m_ownerNormal);
        EXPECT_EQ(added.id, NEW_CONNECT) << f.name;
        EXPECT_EQ(added.eventParam.paramInt32, static_cast<int32>(htonl(INADDR_LOOPBACK))) << "the peer";
        const std::string channel = added.eventParam.resNameTxt;
        EXPECT_EQ(channel, "S" + std::to_string(k) + ":0") << f.name;

        std::string sent;
        for (const std::string& body : bodies)
            sent += f.frame(body);
        ASSERT_TRUE(sendAll(client, sent));
        if (f.format == MSG_FORMAT_RAW)
        {
            // Raw cuts wherever reads end: only the bytes and their order count.
            std::string got;
            while (got.size() < sent.size() && !HasFailure())
                got += message();
            EXPECT_EQ(got, sent);
        }
        else
            for (const std::string& body : bodies)
                EXPECT_EQ(message(), f.frame(body)) << f.name;

        ::close(client);
        const EventMsg gone = event(*m_ownerNormal);
        EXPECT_EQ(gone.id, DISCONNECTED) << f.name;
        EXPECT_EQ(gone.eventParam.paramInt32, CONN_CLOSED) << f.name;
        EXPECT_EQ(std::string(gone.eventParam.resNameTxt), channel);
        // An accepted connection leaves the registry with its stream (the
        // stream thread removes it just after telling the owner).
        TcpConnResource* removed = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_registry.getTcpConnRes(Name(channel), &removed, true) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            ::sched_yield();
        EXPECT_NE(m_registry.getTcpConnRes(Name(channel), &removed, true), 0) << channel;
    }
    stop();
    EXPECT_EQ(m_netResult, 0);
    EXPECT_EQ(m_netExit, 0);
}

// A client channel connects at start-up, receives, and after the peer's
// close gets a fresh socket and connects again on request.
TEST_F(NetReceiverTest, ClientChannelConnectsReceivesAndReconnectsAfterThePeerCloses)
{
    uint16 port = 0;
    const int server = listenOn(port);
    TcpConnResource* res = addTcp("CLI", TCP_CLIENT_DATA_MODE, MSG_FORMAT_QUOR, port);
    start();

    for (int round = 0; round < 2; ++round)
    {
        if (round == 1)
        {
            EXPECT_EQ(res->status.load(), RES_INITIALIZED);
            ASSERT_EQ(request(CONN_RQS, "CLI"), 0);
        }
        const EventMsg connected = event(*m_ownerNormal);
        EXPECT_EQ(connected.id, CONNECTED) << round;
        EXPECT_EQ(connected.eventParam.paramInt32, static_cast<int32>(htonl(INADDR_LOOPBACK))) << "the peer";
        EXPECT_EQ(connected.eventParam.paramInt16, static_cast<int16>(htons(port)));
        const int peer = acceptWithin(server);
        ASSERT_GE(peer, 0);
        ASSERT_TRUE(sendAll(peer, quor("hello") + quor("world")));
        EXPECT_EQ(message(), quor("hello"));
        EXPECT_EQ(message(), quor("world"));
        ::close(peer);
        const EventMsg gone = event(*m_ownerNormal);
        EXPECT_EQ(gone.id, DISCONNECTED);
        EXPECT_EQ(gone.eventParam.paramInt32, CONN_CLOSED);
    }
    EXPECT_TRUE(testLog().contains("TCP connection [CLI] with socket ["));
    ::close(server);
}

// Requests the network thread refuses are answered, never ignored.
TEST_F(NetReceiverTest, RefusedRequestsAnswerConnectFail)
{
    uint16 port = 0;
    const int server = listenOn(port);
    addTcp("CLI", TCP_CLIENT_DATA_MODE, MSG_FORMAT_QUOR, port, false);
    const uint16 lport = freePort();
    addTcp("LSN", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, lport, false);
    start();
    EventMsg e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, CONN_READY_TO_OPEN);
    EXPECT_EQ(e.eventParam.paramInt32, TCP_CLIENT_DATA_MODE);
    e = event(*m_ownerNormal);
    EXPECT_EQ(e.id, CONN_READY_TO_OPEN);
    EXPECT_EQ(e.eventParam.paramInt32, TCP_SERVER_LISTEN_MODE);

    struct Case
    {
        FwEventID request;
        const char* channel;
        FwMessageQueue* answeredOn;
    };
    const Case cases[] = {
        {CONN_RQS, "NOSUCH", m_ownerHigh.get()},    // unknown: the requester's high queue
        {MCAST_JOIN, "NOSUCH", m_ownerHigh.get()},  // unknown UDP channel
        {CONN_RQS, "LSN", m_ownerNormal.get()},     // not a client channel
        {CONN_LISTEN, "CLI", m_ownerNormal.get()},  // not a listen channel
    };
    for (const Case& c : cases)
    {
        // The dispatcher refuses these itself; the network thread must still
        // answer one that reaches it (a channel gone after the check).
        EXPECT_NE(request(c.request, c.channel), 0) << c.request << " " << c.channel;
        postRequest(c.request, c.channel);
        const EventMsg answer = event(*c.answeredOn);
        EXPECT_EQ(answer.id, CONNECT_FAIL) << c.request << " " << c.channel;
        EXPECT_STREQ(answer.eventParam.resNameTxt, c.channel);
    }
    // The listen request then opens the channel for clients.
    ASSERT_EQ(request(CONN_LISTEN, "LSN"), 0);
    TcpConnResource* lsn = nullptr;
    ASSERT_EQ(m_registry.getTcpConnRes(Name("LSN"), &lsn, true), 0);
    ASSERT_TRUE(waitStatus(lsn, RES_LISTENING));
    const int client = connectTo(lport);
    ASSERT_GE(client, 0);
    EXPECT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);
    ::close(client);
    EXPECT_EQ(event(*m_ownerNormal).id, DISCONNECTED);
    ::close(server);
}

// CONN_INIT before INIT starts nothing; after INIT a later one does.
TEST_F(NetReceiverTest, ConnInitBeforeInitIsIgnored)
{
    const uint16 port = freePort();
    TcpConnResource* res = addTcp("LSN", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
    m_receiver = std::make_unique<NetReceiver>(m_net, m_registry, GlobalData::getInst(), m_config.get());
    m_netThread = std::thread([this] { m_netResult = m_receiver->run(m_netExit); });
    post(*m_netNormal, CONN_INIT, "", "CTL_THREAD");
    post(*m_netNormal, INIT, "", "CTL_THREAD");
    FwIntMessage ack{};
    ASSERT_TRUE(next(*m_ctlHigh, ack));
    EXPECT_EQ(res->status.load(), RES_REGISTERED);
    post(*m_netNormal, CONN_INIT, "", "CTL_THREAD");
    EXPECT_TRUE(waitStatus(res, RES_LISTENING));
}

// Bytes the peer sent just before resetting the connection reach the owner
// before the close does, even when the reset is seen in the same wake-up.
class NetReceiverCpuTest : public NetReceiverHarness
{
protected:
    NetReceiverCpuTest() : NetReceiverHarness(CPU_UTILIZATION) {}
};

TEST_F(NetReceiverCpuTest, BytesBeforeAPeerResetAreDeliveredBeforeTheClose)
{
    uint16 port = 0;
    const int server = listenOn(port);
    TcpConnResource* res = addTcp("CLI", TCP_CLIENT_DATA_MODE, MSG_FORMAT_QUOR, port);
    start(false);
    const int peer = acceptWithin(server);
    ASSERT_GE(peer, 0);
    // The connect completes; the stream thread takes the new stream.
    for (int i = 0; i < 100 && (res->streamBufPtr == nullptr || res->streamBufPtr->getStreamBufStatus() != 1); ++i)
        pump(10);
    ASSERT_NE(res->streamBufPtr, nullptr);
    ASSERT_EQ(event(*m_ownerNormal).id, CONNECTED);

    ASSERT_TRUE(sendAll(peer, quor("last words")));
    resetClose(peer);
    // Both the bytes and the reset are there before the thread looks.
    pollfd p{res->dataSockPtr->getFileDescriptor(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    while ((p.revents & (POLLERR | POLLHUP)) == 0 && ::poll(&p, 1, 5000) == 1)
        ::sched_yield();
    pump();

    EXPECT_EQ(message(), quor("last words"));
    const EventMsg gone = event(*m_ownerNormal);
    EXPECT_EQ(gone.id, DISCONNECTED);
    EXPECT_EQ(gone.eventParam.paramInt32, CONN_CLOSED);
    ::close(server);
}

// A stream thread that falls behind fills the event ring: the record that
// does not fit waits and is pushed once there is room, so the bytes it
// announces are cut and delivered although the peer sends nothing more.
class NetReceiverSmallRingTest : public NetReceiverHarness
{
protected:
    NetReceiverSmallRingTest()
        : NetReceiverHarness(CPU_UTILIZATION, 256, "STS_RPT_INTERVAL INT32 5\nTCP_CONN_RES_MAX INT32 1\n")
    {
    }
};

TEST_F(NetReceiverSmallRingTest, RecordThatFindsTheRingFullWaitsAndIsPushedLater)
{
    uint16 port = 0;
    const int server = listenOn(port);
    TcpConnResource* res = addTcp("CLI", TCP_CLIENT_DATA_MODE, MSG_FORMAT_QUOR, port);
    start(false, false);
    const int peer = acceptWithin(server);
    ASSERT_GE(peer, 0);
    for (int i = 0; i < 100 && res->streamBufPtr == nullptr; ++i)
        pump(10);
    ASSERT_NE(res->streamBufPtr, nullptr);
    // As if the stream thread had taken the stream but stalls before reading.
    res->streamBufPtr->setStreamBufStatus(1);

    // One frame sent and read in five chunks: five records for a ring of four.
    const std::string frame = quor(std::string(10000, 'r'));
    for (size_t at = 0; at < frame.size(); at += 2002)
    {
        const std::string chunk = frame.substr(at, 2002);
        ASSERT_TRUE(sendAll(peer, chunk));
        const auto expected = static_cast<int32>(at + chunk.size());
        for (int i = 0; i < 100 && res->streamBufPtr->availEntry() < expected; ++i)
            pump(10);
        ASSERT_EQ(res->streamBufPtr->availEntry(), expected);
    }
    EXPECT_EQ(m_receiver->getStreamEventRing()->getNumEntries(), 4);
    EXPECT_EQ(m_receiver->getNumPendingRecords(), 1);

    res->streamBufPtr->setStreamBufStatus(0);
    startHandler();
    EXPECT_EQ(event(*m_ownerNormal).id, CONNECTED);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    FwIntMessage m{};
    while (got.size() < frame.size() && std::chrono::steady_clock::now() < deadline)
    {
        pump(10);
        bool more = false;
        if (m_ownerNormal->getMessage(&m, more) == 0 && m.appMsg.type == MSG_DATA)
            got.append(m.appMsg.data.buffer, m.appMsg.data.dataLen);
    }
    EXPECT_EQ(got, frame);
    EXPECT_EQ(m_receiver->getNumPendingRecords(), 0);
    ::close(peer);
    ::close(server);
}

// Both threads on their descriptor-driven loops: woken by their queues, the
// sockets, the stream buffer and the timer.
// Started with a listen channel "SRV" of the length-and-sequence framing
// and a client of the test connected to it, its NEW_CONNECT taken.
class AcceptedClientTest : public NetReceiverHarness
{
protected:
    explicit AcceptedClientTest(OptimizationMode mode) : NetReceiverHarness(mode) {}

    int acceptedClient()
    {
        const uint16 port = freePort();
        TcpConnResource* listen = addTcp("SRV", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
        start();
        EXPECT_TRUE(waitStatus(listen, RES_LISTENING));
        const int client = connectTo(port);
        EXPECT_GE(client, 0);
        EXPECT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);
        return client;
    }
};

class NetReceiverCpuThreadTest : public AcceptedClientTest
{
protected:
    NetReceiverCpuThreadTest() : AcceptedClientTest(CPU_UTILIZATION) {}
};

TEST_F(NetReceiverCpuThreadTest, AcceptedConnectionDeliversAndCloses)
{
    const int client = acceptedClient();
    ASSERT_GE(client, 0);
    const std::string frames[] = {quor("one"), quor(std::string(3000, 't')), quor("three")};
    for (const std::string& f : frames)
        ASSERT_TRUE(sendAll(client, f));
    for (const std::string& f : frames)
        EXPECT_EQ(message(), f);
    ::close(client);
    EXPECT_EQ(event(*m_ownerNormal).id, DISCONNECTED);
    stop();
    EXPECT_EQ(m_netResult, 0);
    EXPECT_EQ(m_netExit, 0);
    EXPECT_EQ(m_shExit, 0);
}

// A stream that cannot be cut is closed by the network thread at the stream
// thread's request: the owner hears the framing error, the peer the close.
TEST_F(NetReceiverCpuThreadTest, StreamThatCannotBeCutIsClosedByTheNetworkThread)
{
    const int client = acceptedClient();
    ASSERT_GE(client, 0);
    // Larger than the largest message (and the stream buffer).
    ASSERT_TRUE(sendAll(client, quor("fine") + quor(std::string(40000, 'x'))));
    EXPECT_EQ(message(), quor("fine"));
    const EventMsg gone = event(*m_ownerNormal);
    EXPECT_EQ(gone.id, DISCONNECTED);
    EXPECT_EQ(gone.eventParam.paramInt32, MSG_TOO_LARGE);
    pollfd p{client, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the peer was not told";
    char byte = 0;
    EXPECT_LE(::recv(client, &byte, 1, 0), 0);
    ::close(client);
}

// A dispatcher whose send failed asks the network thread to shut the
// connection's sending side: the peer reads the end, while what it still
// sends reaches the owner. A request naming another stream (the connection
// ended and its record was reused meanwhile) changes nothing.
TEST_F(NetReceiverCpuThreadTest, AFailedSendShutsTheSendingSideOfTheConnectionItNames)
{
    const uint16 port = freePort();
    TcpConnResource* listen = addTcp("SRV", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
    start();
    ASSERT_TRUE(waitStatus(listen, RES_LISTENING));
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    const EventMsg added = event(*m_ownerNormal);
    ASSERT_EQ(added.id, NEW_CONNECT);
    auto* conn = static_cast<TcpConnResource*>(added.eventParam.resPtr);
    ASSERT_NE(conn, nullptr);
    TcpDataSocket* sock = conn->dataSockPtr;
    ASSERT_NE(sock, nullptr);

    auto sendFailed = [&](int64 stream) {
        FwIntMessage msg{};
        setName(msg.originatorTxt, "OWNER");
        setName(msg.recipientTxt, "NET_RECEIVER");
        msg.appMsg.type = MSG_EVENT;
        msg.appMsg.event.id = CONN_SEND_FAILED;
        std::memcpy(msg.appMsg.event.eventParam.resNameTxt, added.eventParam.resNameTxt, sizeof(ResourceName));
        msg.appMsg.event.eventParam.resPtr = conn;
        msg.appMsg.event.eventParam.paramInt32 = SEND_FAILED;
        msg.appMsg.event.eventParam.paramInt64 = stream;
        ASSERT_EQ(m_netNormal->putMessage(&msg), 0);
    };
    auto peerSeesEnd = [&](int waitMs) {
        pollfd p{client, POLLIN, 0};
        char byte = 0;
        return ::poll(&p, 1, waitMs) == 1 && ::recv(client, &byte, 1, MSG_DONTWAIT) == 0;
    };

    sendFailed(reinterpret_cast<int64>(conn->streamBufPtr) + 1);
    // The stale request and a frame behind it: the frame arrives, the
    // connection is untouched.
    ASSERT_TRUE(sendAll(client, quor("still")));
    EXPECT_EQ(message(), quor("still"));
    EXPECT_EQ(sock->getConnStatus(), CONN_STATUS_CONNECTED);
    EXPECT_FALSE(peerSeesEnd(50));

    sendFailed(reinterpret_cast<int64>(conn->streamBufPtr));
    EXPECT_TRUE(peerSeesEnd(10000)) << "the sending side was not shut";
    EXPECT_EQ(sock->getConnStatus(), CONN_STATUS_SEND_SHUT);
    ASSERT_TRUE(sendAll(client, quor("after")));
    EXPECT_EQ(message(), quor("after"));
    ::close(client);
    EXPECT_EQ(event(*m_ownerNormal).id, DISCONNECTED);
}

// A handler that fails ends the batch in every receiving thread alike: what
// follows it stays queued for the next batch. Here INIT fails because the
// control thread's queue is full, and the TERM behind it must not be acted
// on in the same batch.
TEST_F(NetReceiverTest, FailedHandlerEndsTheBatchInBothThreads)
{
    m_receiver = std::make_unique<NetReceiver>(m_net, m_registry, GlobalData::getInst(), m_config.get());
    ASSERT_EQ(m_receiver->initialize(), 0);
    m_handler = std::make_unique<StreamHandler>(m_sh, m_registry, GlobalData::getInst(), m_config.get());
    ASSERT_EQ(m_handler->initialize(), 0);
    FwIntMessage filler{};
    filler.appMsg.type = MSG_EVENT;
    while (m_ctlHigh->putMessage(&filler) == 0)
    {
    }
    struct Case
    {
        const char* thread;
        FwMessageQueue* queue;
        std::function<int32(bool&)> serve;
    };
    const Case cases[] = {
        {"NET_RECEIVER", m_netNormal.get(), [this](bool& t) { return m_receiver->processMessage(m_netNormal.get(), t); }},
        {"DATA_STREAM_HDR", m_shNormal.get(),
         [this](bool& t) {
             int32 count = 0;
             return m_handler->processMessage(m_shNormal.get(), t, count);
         }},
    };
    for (const Case& c : cases)
    {
        post(*c.queue, INIT, "", "CTL_THREAD");
        post(*c.queue, TERM, "", "CTL_THREAD");
        bool terminate = false;
        EXPECT_EQ(c.serve(terminate), -1) << c.thread;
        EXPECT_NE(lastCode(), 0) << c.thread;
        EXPECT_FALSE(terminate) << c.thread << ": the batch went on after the failed handler";
        EXPECT_EQ(c.queue->getNumElem(), 1u) << c.thread;
        EXPECT_EQ(c.serve(terminate), 0) << c.thread;
        EXPECT_TRUE(terminate) << c.thread;
    }
}

// Descriptor moving under a low descriptor limit, in a child process so the
// limit stays there: client channels' sockets are moved to the numbers from
// (limit - 1) / 2 up until those run out; the rest keep their own numbers
// and still start (never a failure).
class NetReceiverFdLimitTest : public NetReceiverHarness
{
protected:
    NetReceiverFdLimitTest() : NetReceiverHarness(LOW_LATENCY, 256, "STS_RPT_INTERVAL INT32 5\nTCP_CONN_RES_MAX INT32 64\n")
    {
    }
};

TEST_F(NetReceiverFdLimitTest, SocketsMoveAboveHalfTheLimitUntilTheNumbersRunOut)
{
    constexpr rlim_t LIMIT = 64;
    constexpr int32 BASE = static_cast<int32>((LIMIT - 1) / 2);
    constexpr int CHANNELS = 40; // more than the numbers from BASE to the limit
    std::vector<TcpConnResource*> channels;
    for (int i = 0; i < CHANNELS; ++i)
        channels.push_back(addTcp(("CLI" + std::to_string(i)).c_str(), TCP_CLIENT_DATA_MODE, MSG_FORMAT_QUOR, 9,
                                  false));
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0)
    {
        // Exit codes say which check failed; 0 is success.
        rlimit lim{};
        ::getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = LIMIT;
        if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
            ::_exit(10);
        for (int fd = BASE; fd < static_cast<int>(LIMIT); ++fd)
            if (::fcntl(fd, F_GETFD) != -1)
                ::_exit(11); // a number above the base is taken already: the test cannot tell
        start(false, false);
        // Channels start in registry order, not ours: compare the numbers as a set.
        std::vector<int32> fds;
        for (TcpConnResource* c : channels)
        {
            if (c->status.load() != RES_INITIALIZED || c->dataSockPtr == nullptr)
                ::_exit(12);
            fds.push_back(c->dataSockPtr->getFileDescriptor());
        }
        std::sort(fds.begin(), fds.end());
        if (std::adjacent_find(fds.begin(), fds.end()) != fds.end())
            ::_exit(13);
        const auto firstMoved = std::lower_bound(fds.begin(), fds.end(), BASE);
        const auto moved = fds.end() - firstMoved;
        ::_exit(moved == static_cast<int>(LIMIT) - BASE && fds.back() == static_cast<int32>(LIMIT) - 1 &&
                        firstMoved != fds.begin()
                    ? 0
                    : 14);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 limit not set, 11 numbers above the base in use, 12 a channel did not "
                                         "start, 13 a number given twice, 14 not every number from the base moved to";
}

// Under the ordered wait a TCP connection reads exactly the bytes reported in
// order, in reads of at most 2200; a report above what is there is noted and
// what was read still reaches the owner whole. The note follows the stream
// thread's wake-up, so the messages may reach the owner before it.
TEST_F(NetReceiverTest, OrderedWaitReadsTheReportedTcpBytes)
{
    m_onloadApi = &ORDERED_WAIT;
    const uint16 port = freePort();
    TcpConnResource* listen = addTcp("S", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
    start();
    ASSERT_TRUE(waitStatus(listen, RES_LISTENING));
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    ASSERT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);
    struct Case
    {
        int extra;           // reported beyond what is sent
        const char* noticed; // the mismatch note, or null
    };
    testLog().clear();
    for (const Case& c : {Case{0, nullptr}, Case{1000, "Expected [6000], actually received [5000]."}})
    {
        SCOPED_TRACE(c.extra);
        std::string sent;
        for (int k = 0; k < 5; ++k)
            sent += quor(std::string(990, static_cast<char>('a' + k)));
        g_wireBytes = static_cast<int>(sent.size()) + c.extra;
        ASSERT_TRUE(sendAll(client, sent));
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(message(), quor(std::string(990, static_cast<char>('a' + k))));
        if (c.noticed != nullptr)
        {
            EXPECT_TRUE(processtest::waitFor([&] { return testLog().contains(c.noticed); }, std::chrono::seconds(10)));
        }
    }
    // One note, the last case's: the network thread would have written one of
    // the first case before it.
    EXPECT_EQ(testLog().count("TCP data segment size available to receive does not match"), 1u);
    ::close(client);
}

// Every message carries the time of the loop cycle that cut it: a message
// cut later is never stamped with an earlier cycle's time, in either loop.
class NetReceiverStampTest : public AcceptedClientTest, public ::testing::WithParamInterface<OptimizationMode>
{
protected:
    NetReceiverStampTest() : AcceptedClientTest(GetParam()) {}
};

TEST_P(NetReceiverStampTest, MessagesCarryTheTimeOfTheCycleThatCutThem)
{
    const int client = acceptedClient();
    ASSERT_GE(client, 0);
    auto realNs = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<int64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    };
    for (int round = 0; round < 3; ++round)
    {
        ::usleep(20000);
        const int64 before = realNs();
        ASSERT_TRUE(sendAll(client, quor("stamped")));
        FwIntMessage m{};
        ASSERT_TRUE(netrcvtest::next(*m_ownerNormal, m));
        const int64 after = realNs();
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        const int64 stamp = static_cast<int64>(m.tm.tv_sec) * 1000000000 + m.tm.tv_nsec;
        EXPECT_GE(stamp, before) << "round " << round;
        EXPECT_LE(stamp, after) << "round " << round;
    }
    ::close(client);
    EXPECT_EQ(event(*m_ownerNormal).id, DISCONNECTED);
    stop();
}

INSTANTIATE_TEST_SUITE_P(BothLoops, NetReceiverStampTest, ::testing::Values(LOW_LATENCY, CPU_UTILIZATION),
                         [](const ::testing::TestParamInfo<OptimizationMode>& info) {
                             return info.param == LOW_LATENCY ? std::string("LowLatency") : std::string("Cpu");
                         });

// A sender far faster than the stream thread, on a small stream buffer: the
// network thread stops reading the connection while the buffer is full and
// goes on when the stream thread has made room. Every byte arrives, in order,
// over the one connection, frames larger than half the buffer included; and
// while the stream thread stands still the network thread sleeps.
class NetReceiverFullStreamTest : public NetReceiverHarness
{
protected:
    static constexpr int32 STREAM_SIZE = 16384;
    static constexpr int64_t TOTAL_BYTES = 100LL << 20;
    static constexpr int PASS_PAUSE_US = 300;

    NetReceiverFullStreamTest() : NetReceiverHarness(CPU_UTILIZATION, 1024) {}

    // Frame k: the length-and-sequence header carrying k, a body of a size
    // that varies up to 12000 bytes, filled with one letter of k.
    static std::string frame(uint64_t k)
    {
        const auto body = static_cast<uint16_t>(1 + (k * 2654435761u) % 12000);
        std::string f(10 + body, static_cast<char>('a' + k % 26));
        std::memcpy(f.data(), &body, 2);
        std::memcpy(f.data() + 2, &k, 8);
        return f;
    }

    // The stream thread's loop slowed down: one pass every PASS_PAUSE_US,
    // none at all while hold is set (held then says so); its queues are
    // served throughout.
    void startSlowHandler(const std::atomic<bool>& hold, std::atomic<bool>& held)
    {
        m_handler = std::make_unique<StreamHandler>(m_sh, m_registry, GlobalData::getInst(), m_config.get());
        ASSERT_EQ(m_handler->initialize(), 0);
        m_shThread = std::thread([this, &hold, &held] {
            bool terminate = false;
            while (!terminate)
            {
                // A read of an empty queue of this thread blocks, unless
                // the queue is polled.
                int32 count = 0;
                for (FwMessageQueue* q : {m_shHigh.get(), m_shNormal.get()})
                {
                    pollfd p{q->getFileDescriptor(), POLLIN, 0};
                    if (!terminate && (m_mode != CPU_UTILIZATION || ::poll(&p, 1, 0) == 1))
                        m_handler->processMessage(q, terminate, count);
                }
                held = hold.load();
                if (!terminate && !held)
                    m_handler->processAllDataStreams(count);
                ::usleep(PASS_PAUSE_US);
            }
        });
        post(*m_shHigh, INIT, "", "CTL_THREAD");
        FwIntMessage ack{};
        ASSERT_TRUE(netrcvtest::next(*m_ctlHigh, ack));
        post(*m_shNormal, CONN_INIT, "", "CTL_THREAD");
    }

    int64_t netCpuNs()
    {
        clockid_t clock{};
        timespec ts{};
        if (::pthread_getcpuclockid(m_netThread.native_handle(), &clock) != 0 || ::clock_gettime(clock, &ts) != 0)
            return -1;
        return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
};

TEST_F(NetReceiverFullStreamTest, FullStreamHoldsTheSocketUntilThereIsRoom)
{
    const uint16 port = freePort();
    TcpConnResource* listen = addTcp("S", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
    listen->regParam.streamBufSize = STREAM_SIZE;
    std::atomic<bool> hold{false};
    std::atomic<bool> held{false};
    const StopAtScopeEnd stopFirst{*this};
    start(true, false);
    startSlowHandler(hold, held);
    ASSERT_TRUE(waitStatus(listen, RES_LISTENING));
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    // A network thread that never reads again must not hang the test.
    const timeval sendLimit{30, 0};
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    ASSERT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);

    std::atomic<int64_t> sent{0};
    std::thread sender([&] {
        for (uint64_t k = 0; sent.load() < TOTAL_BYTES; ++k)
        {
            const std::string f = frame(k);
            if (!sendAll(client, f))
                return;
            sent += static_cast<int64_t>(f.size());
        }
    });

    // The owner: whole frames in order until the sender's last, or the end of
    // the connection.
    std::atomic<int64_t> received{0};
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};
    std::string fault; // the owner's, read once it ended
    std::thread owner([&] {
        FwIntMessage m{};
        std::string whole;
        pollfd p{m_ownerNormal->getFileDescriptor(), POLLIN, 0};
        for (uint64_t k = 0; fault.empty() && !done.load();)
        {
            bool more = false;
            if (m_ownerNormal->getMessage(&m, more) != 0)
            {
                ::poll(&p, 1, 10);
                continue;
            }
            if (m.appMsg.type == MSG_EVENT)
            {
                fault = "event " + std::to_string(m.appMsg.event.id) + " reason " +
                        std::to_string(m.appMsg.event.eventParam.paramInt32) + " after " +
                        std::to_string(received.load()) + " bytes";
                continue;
            }
            whole.append(m.appMsg.data.buffer, m.appMsg.data.dataLen);
            if (m.appMsg.data.more)
                continue;
            if (whole != frame(k))
                fault = "frame " + std::to_string(k) + " differs";
            received += static_cast<int64_t>(whole.size());
            whole.clear();
            ++k;
        }
        failed = !fault.empty();
    });
    auto waitUntil = [](const std::function<bool()>& what, int seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!what() && std::chrono::steady_clock::now() < deadline)
            ::usleep(1000);
        return what();
    };

    // The stream thread stands still: the buffer fills, the network thread
    // stops reading (the sender stops, the kernel's buffers full) and waits
    // without using the processor.
    EXPECT_TRUE(waitUntil([&] { return received.load() > TOTAL_BYTES / 10 || failed.load(); }, 60));
    hold = true;
    bool senderStopped = false;
    for (int i = 0; i < 100 && !senderStopped; ++i)
    {
        const int64_t before = sent.load();
        ::usleep(100000);
        senderStopped = held.load() && sent.load() == before;
    }
    EXPECT_TRUE(senderStopped) << "the network thread went on reading";
    constexpr int64_t WINDOW_NS = 500000000;
    const int64_t cpu0 = netCpuNs();
    ::usleep(WINDOW_NS / 1000);
    const int64_t cpuNs = netCpuNs() - cpu0;
    EXPECT_LT(cpuNs, WINDOW_NS / 10) << "the network thread spun while the stream was full";
    hold = false;

    sender.join();
    EXPECT_TRUE(waitUntil([&] { return received.load() >= sent.load() || failed.load(); }, 120));
    done = true;
    owner.join();
    EXPECT_EQ(fault, "");
    EXPECT_EQ(received.load(), sent.load());
    EXPECT_GE(sent.load(), TOTAL_BYTES);
    ::close(client);
    EXPECT_EQ(event(*m_ownerNormal).id, DISCONNECTED);
}

// A peer that sends as fast as it can to an owner thread that does not read:
// the stream thread parks what the owner's full queue cannot take only up to
// its limit, then leaves the bytes in the stream buffer; the network thread
// stops reading and TCP stops the peer. Once the owner reads, every frame
// arrives whole and in order over the one connection. In both loops.
class ParkedLimitTest : public NetReceiverHarness, public ::testing::WithParamInterface<OptimizationMode>
{
protected:
    static constexpr int32 BODY = 990;
    static constexpr int64_t TOTAL_BYTES = 12LL << 20;

    ParkedLimitTest() : NetReceiverHarness(GetParam(), 64) {}

    static std::string frame(uint64_t k)
    {
        std::string f = quor(std::string(BODY, static_cast<char>('a' + k % 26)));
        std::memcpy(f.data() + 2, &k, 8);
        return f;
    }
};

TEST_P(ParkedLimitTest, OwnerThatDoesNotReadStopsThePeerInsteadOfGrowingTheStore)
{
    const uint16 port = freePort();
    TcpConnResource* listen = addTcp("S", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
    // Small kernel buffers: what the peer gets rid of is what the framework took.
    listen->regParam.recvBufSize = 32768;
    listen->regParam.streamBufSize = 16384;
    const StopAtScopeEnd stopFirst{*this};
    start();
    ASSERT_TRUE(waitStatus(listen, RES_LISTENING));
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    const int sendBuf = 32768;
    ::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &sendBuf, sizeof sendBuf);
    const timeval sendLimit{60, 0};
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    ASSERT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);

    std::atomic<int64_t> sent{0};
    std::thread sender([&] {
        for (uint64_t k = 0; sent.load() < TOTAL_BYTES; ++k)
        {
            if (!sendAll(client, frame(k)))
                return;
            sent += BODY + 10;
        }
    });
    // The peer stops once the limit is reached (or, without one, sends all).
    int64_t stalledAt = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (stalledAt < 0 && sent.load() < TOTAL_BYTES && std::chrono::steady_clock::now() < deadline)
    {
        const int64_t before = sent.load();
        ::usleep(300000);
        if (sent.load() == before && before > 0)
            stalledAt = before;
    }
    // The owner's queue, the parked messages, the stream buffer and the
    // kernel's buffers: about a megabyte and a quarter.
    const int64_t limitBytes = static_cast<int64_t>(StreamHandler::PARKED_MSG_LIMIT) * (BODY + 10);
    EXPECT_GT(stalledAt, 0) << "the peer sent everything to an owner that did not read";
    EXPECT_LT(stalledAt, limitBytes + (1LL << 20));

    // The owner reads: everything, in order, and the peer finishes.
    uint64_t k = 0;
    int64_t received = 0;
    std::string whole;
    std::string fault;
    FwIntMessage m{};
    while (fault.empty() && received < TOTAL_BYTES && netrcvtest::next(*m_ownerNormal, m, 30))
    {
        if (m.appMsg.type != MSG_DATA)
        {
            fault = "event " + std::to_string(m.appMsg.event.id) + " after " + std::to_string(received) + " bytes";
            break;
        }
        whole.append(m.appMsg.data.buffer, m.appMsg.data.dataLen);
        if (m.appMsg.data.more)
            continue;
        if (whole != frame(k))
            fault = "frame " + std::to_string(k) + " differs";
        received += static_cast<int64_t>(whole.size());
        whole.clear();
        ++k;
    }
    if (!fault.empty())
        ::shutdown(client, SHUT_RDWR); // the sender stops
    sender.join();
    EXPECT_EQ(fault, "");
    EXPECT_EQ(received, sent.load());
    EXPECT_GE(received, TOTAL_BYTES);
    ::close(client);
    EXPECT_EQ(event(*m_ownerNormal).id, DISCONNECTED);
}

INSTANTIATE_TEST_SUITE_P(BothLoops, ParkedLimitTest, ::testing::Values(LOW_LATENCY, CPU_UTILIZATION),
                         [](const ::testing::TestParamInfo<OptimizationMode>& info) {
                             return info.param == LOW_LATENCY ? std::string("LowLatency") : std::string("Cpu");
                         });

// Messages parked for a full owner queue, fewer than the limit that holds the
// stream, move on as soon as the owner has read some, not at the stream
// thread's status tick (a minute here).
class ParkedRetryTest : public NetReceiverHarness
{
protected:
    ParkedRetryTest() : NetReceiverHarness(CPU_UTILIZATION, 64, "STS_RPT_INTERVAL INT32 60000\n") {}
};

TEST_F(ParkedRetryTest, ParkedMessagesFollowOnceTheOwnerReadsWithoutWaitingForTheTick)
{
    constexpr uint64_t FRAMES = 300;
    const uint16 port = freePort();
    TcpConnResource* listen = addTcp("S", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
    const StopAtScopeEnd stopFirst{*this};
    start();
    ASSERT_TRUE(waitStatus(listen, RES_LISTENING));
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    ASSERT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);
    std::string all;
    for (uint64_t k = 0; k < FRAMES; ++k)
    {
        std::string f = quor(std::string(40, static_cast<char>('a' + k % 26)));
        std::memcpy(f.data() + 2, &k, 8);
        all += f;
    }
    ASSERT_TRUE(sendAll(client, all));

    // What the owner's queue does not take is parked, and the owner told so.
    // The frames are one or two reads, cut at once: the owner, reading only
    // now, finds most of them parked.
    FwIntMessage congest{};
    ASSERT_TRUE(netrcvtest::next(*m_ownerHigh, congest));
    EXPECT_EQ(congest.appMsg.event.id, MSG_QUEUE_CONGEST);

    // The owner reads: the rest follows, in order, well within the tick.
    FwIntMessage m{};
    uint64_t k = 0;
    for (; k < FRAMES && netrcvtest::next(*m_ownerNormal, m, 5); ++k)
    {
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        uint64_t seq = 0;
        std::memcpy(&seq, m.appMsg.data.buffer + 2, 8);
        ASSERT_EQ(seq, k);
    }
    EXPECT_EQ(k, FRAMES);
    ::close(client);
}

// A stream held at the parked limit just as its last whole message was cut,
// leaving the ring empty, while the network thread waits for room: the
// network thread still hears that it has room, so the bytes left in the
// kernel follow once the owner reads. Before the stream thread starts, the
// peer's frames all wait in the kernel; the first read then fills the ring,
// which holds exactly what the owner's queue takes plus the limit. In the
// descriptor-driven loop the stream thread is woken only after that read
// found the ring full, so the hold lands on the ring's end every time.
class ParkedHoldAtRingEndTest : public NetReceiverHarness
{
protected:
    static constexpr uint32 OWNER_QUEUE = 64;
    static constexpr int32 FRAME = 40;

    ParkedHoldAtRingEndTest() : NetReceiverHarness(CPU_UTILIZATION, OWNER_QUEUE) {}

    static std::string frame(uint64_t k)
    {
        std::string f = quor(std::string(FRAME - 10, static_cast<char>('a' + k % 26)));
        std::memcpy(f.data() + 2, &k, 8);
        return f;
    }
};

TEST_F(ParkedHoldAtRingEndTest, NetworkThreadWaitingForRoomReadsOnOnceTheOwnerReads)
{
    // The queue takes all but its reserved entries, less the connection's
    // announcement ahead of the frames; the rest is parked up to the limit.
    constexpr uint64_t QUEUED = OWNER_QUEUE - StreamHandler::THREAD_MSGQ_RESERVED_ENTRIES - 1;
    constexpr uint64_t RING_FRAMES = QUEUED + StreamHandler::PARKED_MSG_LIMIT;
    constexpr uint64_t FRAMES = 3 * RING_FRAMES;
    const uint16 port = freePort();
    TcpConnResource* listen = addTcp("S", TCP_SERVER_LISTEN_MODE, MSG_FORMAT_QUOR, port);
    listen->regParam.streamBufSize = static_cast<int32>(RING_FRAMES) * FRAME;
    listen->regParam.recvBufSize = 1 << 20; // room in the kernel for every frame
    const StopAtScopeEnd stopFirst{*this};
    start(true, false);
    ASSERT_TRUE(waitStatus(listen, RES_LISTENING));
    const int client = connectTo(port);
    ASSERT_GE(client, 0);
    const timeval sendLimit{10, 0};
    ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    std::string all;
    for (uint64_t k = 0; k < FRAMES; ++k)
        all += frame(k);
    ASSERT_TRUE(sendAll(client, all));
    // Acknowledged: in the receiving kernel, where it waits, since nothing
    // reads a stream before the stream thread has taken it.
    int unacked = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::ioctl(client, SIOCOUTQ, &unacked) == 0 && unacked > 0 && std::chrono::steady_clock::now() < deadline)
        ::usleep(1000);
    ASSERT_EQ(unacked, 0);
    startHandler();

    // Once parking has begun, the owner reading no longer changes where the
    // hold lands.
    FwIntMessage congest{};
    ASSERT_TRUE(netrcvtest::next(*m_ownerHigh, congest));
    EXPECT_EQ(congest.appMsg.event.id, MSG_QUEUE_CONGEST);
    EXPECT_EQ(event(*m_ownerNormal).id, NEW_CONNECT);
    FwIntMessage m{};
    uint64_t k = 0;
    for (; k < FRAMES && netrcvtest::next(*m_ownerNormal, m, 5); ++k)
    {
        ASSERT_EQ(m.appMsg.type, MSG_DATA) << "after frame " << k;
        ASSERT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), frame(k));
    }
    EXPECT_EQ(k, FRAMES) << "a ring holds " << RING_FRAMES << " frames";
    ::close(client);
}
