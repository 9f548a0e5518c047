#include "OpsHarness.h"
#include "LoopbackConn.h"

#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/runtime/ResourceAssistant.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace
{
std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('A' + (i * 13 + i / 2200) % 26);
    return s;
}

void attach(TcpConnResource* rec, LoopbackConn& conn)
{
    rec->dataSockPtr = conn.sock.get();
    rec->status.store(RES_CONNECTED);
}

UInt128 keyOf(const char* name)
{
    ResourceName n{};
    setName(n, name);
    return UInt128(n, false);
}
} // namespace

// Messages of any size arrive whole and in order over a real connection, sent
// by name, by handle and by record; the result is the byte count.
TEST(DispatchTcpSend, MessagesArriveWholeByNameHandleAndRecord)
{
    OpsHarness h;
    TcpConnResource* rec = h.addTcp("TCP1", TCP_CLIENT_DATA_MODE);
    LoopbackConn conn;
    attach(rec, conn);
    ResourceHandle handle;
    ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.getResHandleByName("TCP1", TCP_RES, handle); }).first, 0);

    struct Case
    {
        const char* form;
        size_t len;
    };
    const Case cases[] = {{"name", 1}, {"handle", 2200}, {"record", 5000}, {"name", 32768}, {"handle", 200000}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.form) + " " + std::to_string(c.len));
        const std::string payload = pattern(c.len);
        std::string got;
        std::thread reader([&] { got = conn.read(c.len); });
        const auto [rc, code] = h.call([&](MsgDispatcher& md) {
            const auto len = static_cast<int32>(payload.size());
            if (std::string(c.form) == "name")
                return md.sendTcpMessage("TCP1", payload.data(), len);
            if (std::string(c.form) == "handle")
                return md.sendTcpMessage(handle, payload.data(), len);
            return md.sendTcpMessage(rec, keyOf("TCP1"), payload.data(), len, nullptr, false);
        });
        reader.join();
        EXPECT_EQ(rc, static_cast<int32>(c.len)) << code;
        EXPECT_EQ(got, payload);
    }
}

// A peer that stops reading: the send gives up after the configured number
// of would-block retries and reports the bytes that did go out (exactly what
// the peer can then read); with the buffers full, the next send reports 0
// with WOULD_BLOCK. A CPU thread pauses 10 ms between its 3 retries; a
// LOW_LATENCY thread retries at once, so 100 retries take it far less than
// the second that pausing would (with room for a loaded machine).
TEST(DispatchTcpSend, APeerThatStopsReadingGetsAPartialCountThenWouldBlock)
{
    struct Case
    {
        const LoopSetup& setup;
        const char* config;
        int64 minMs;
        int64 maxMs;
    };
    const Case cases[] = {{EVENT_LOOP, "STS_RPT_INTERVAL INT32 20\n", 30, 2000},
                          {EVENT_LOOP, "STS_RPT_INTERVAL INT32 20\nTCP_SND_RCNT UINT16 0\n", 0, 2000},
                          {POLLING_LOOP, "STS_RPT_INTERVAL INT32 20\nTCP_SND_RCNT UINT16 100\n", 0, 1000}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.setup.name) + " " + c.config);
        OpsHarness h(c.setup, 64, c.config);
        TcpConnResource* rec = h.addTcp("SLOW", TCP_CLIENT_DATA_MODE);
        LoopbackConn conn(4096, 4096);
        attach(rec, conn);
        const std::string payload = pattern(4 * 1024 * 1024);
        const auto start = std::chrono::steady_clock::now();
        const auto [rc, code] = h.call(
            [&](MsgDispatcher& md) { return md.sendTcpMessage("SLOW", payload.data(), static_cast<int32>(payload.size())); });
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        ASSERT_GT(rc, 0);
        ASSERT_LT(rc, static_cast<int32>(payload.size()));
        EXPECT_EQ(code, WOULD_BLOCK);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.maxMs);

        const auto [rc2, code2] = h.call([&](MsgDispatcher& md) { return md.sendTcpMessage("SLOW", "more", 4); });
        EXPECT_EQ(rc2, 0);
        EXPECT_EQ(code2, WOULD_BLOCK);

        const std::string got = conn.read(static_cast<size_t>(rc));
        EXPECT_EQ(got, payload.substr(0, static_cast<size_t>(rc)));
        pollfd p{conn.peerFd, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 100), 0) << "not one byte more than reported";
    }
}

// A peer that went away: the send fails with -1 instead of raising SIGPIPE
// (which would end this test program). The application thread leaves the
// socket to the network thread: it asks that thread to shut the sending side,
// naming the connection and the send's error, and does not shut it itself.
TEST(DispatchTcpSend, APeerThatClosedFailsTheSendWithoutSignal)
{
    OpsHarness h;
    TcpConnResource* rec = h.addTcp("GONE", TCP_CLIENT_DATA_MODE);
    LoopbackConn conn;
    attach(rec, conn);
    ::close(conn.peerFd);
    conn.peerFd = -1;
    const std::string payload = pattern(100000);
    int32 rc = 0, code = 0;
    for (int i = 0; i < 50 && rc >= 0; ++i)
    {
        std::tie(rc, code) = h.call(
            [&](MsgDispatcher& md) { return md.sendTcpMessage("GONE", payload.data(), static_cast<int32>(payload.size())); });
        if (rc >= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(rc, -1);
    EXPECT_NE(code, WOULD_BLOCK);
    EXPECT_TRUE(testLog().contains("sending data via channel [GONE] on socket"));
    EXPECT_EQ(conn.sock->getConnStatus(), CONN_STATUS_CONNECTED);
    const std::vector<FwIntMessage> asked = h.drainFramework("NET_RECEIVER", MQUEUE_NORMAL);
    ASSERT_EQ(asked.size(), 1u);
    const EventMsg& rqs = asked[0].appMsg.event;
    EXPECT_EQ(asked[0].appMsg.type, MSG_EVENT);
    EXPECT_EQ(rqs.id, CONN_SEND_FAILED);
    EXPECT_STREQ(rqs.eventParam.resNameTxt, "GONE");
    EXPECT_EQ(rqs.eventParam.resPtr, rec);
    EXPECT_EQ(rqs.eventParam.paramInt32, code);
    EXPECT_EQ(rqs.eventParam.paramInt64, reinterpret_cast<int64>(rec->streamBufPtr));
    // Once the network thread has shut it, sends are refused before the socket.
    conn.sock->shutdown(CLOSE_WR);
    const auto [rc2, code2] = h.call([&](MsgDispatcher& md) { return md.sendTcpMessage("GONE", "x", 1); });
    EXPECT_EQ(rc2, -1);
    EXPECT_EQ(code2, CONN_CLOSED);
    EXPECT_TRUE(h.drainFramework("NET_RECEIVER", MQUEUE_NORMAL).empty());
}

// What a send is refused for, before anything goes out.
TEST(DispatchTcpSend, RefusalsLeaveTheConnectionUntouched)
{
    OpsHarness h;
    TcpConnResource* live = h.addTcp("LIVE", TCP_CLIENT_DATA_MODE);
    TcpConnResource* down = h.addTcp("DOWN", TCP_CLIENT_DATA_MODE);
    TcpConnResource* bare = h.addTcp("BARE", TCP_CLIENT_DATA_MODE);
    LoopbackConn conn;
    attach(live, conn);
    down->dataSockPtr = conn.sock.get(); // registered, never connected
    bare->status.store(RES_CONNECTED);   // connected without a socket
    ResourceAssistant assistant;
    ResourceHandle stale;
    ResourceName other{};
    setName(other, "OTHER");
    assistant.prepareHandle(stale, other, TCP_RES, asFrameworkResource(live));

    struct Case
    {
        const char* what;
        std::function<int32(MsgDispatcher&)> send;
        int32 code;
    };
    const std::vector<Case> cases = {
        {"not connected", [](MsgDispatcher& md) { return md.sendTcpMessage("DOWN", "abc", 3); }, CONN_CLOSED},
        {"no socket", [](MsgDispatcher& md) { return md.sendTcpMessage("BARE", "abc", 3); }, CONN_CLOSED},
        {"record under another name",
         [&](MsgDispatcher& md) { return md.sendTcpMessage(live, keyOf("OTHER"), "abc", 3, nullptr, false); },
         CONN_CLOSED},
        {"stale handle", [&](MsgDispatcher& md) { return md.sendTcpMessage(stale, "abc", 3); }, CONN_CLOSED},
        {"unknown name", [](MsgDispatcher& md) { return md.sendTcpMessage("NOPE", "abc", 3); }, RES_NOT_EXIST},
        {"forwarding without replication",
         [](MsgDispatcher& md) { return md.sendTcpMessage("LIVE", "abc", 3, "PEER"); }, INVALID_FUNC_ARG},
        {"unknown forwarding thread", [](MsgDispatcher& md) { return md.sendTcpMessage("LIVE", "abc", 3, "NOBODY"); },
         RES_NOT_EXIST},
        {"negative length", [](MsgDispatcher& md) { return md.sendTcpMessage("LIVE", "abc", -1); }, INVALID_FUNC_ARG},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto [rc, code] = h.call(c.send);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(code, c.code);
    }
    pollfd p{conn.peerFd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 50), 0) << "nothing was sent";
    EXPECT_TRUE(testLog().contains("The channel [DOWN] connection is already closed"));
    EXPECT_TRUE(testLog().contains(
        "Outgoing unicast channel [LIVE] message forwarding is not supported when message replication is not enabled"));
}

// With output replication the data goes to MSG_REPLICATOR as thread data that
// names the connection, its peer and the forwarding thread; nothing goes on
// the wire. A congested channel takes nothing (0, WOULD_BLOCK).
TEST(DispatchTcpSend, OutputReplicationHandsTheDataToTheReplicator)
{
    GlobalData& gd = GlobalData::getInst();
    const bool saved = gd.m_repliServiceEnabled;
    gd.m_repliServiceEnabled = true;
    {
        OpsHarness h;
        TcpConnResource* rec = h.addTcp("REPL", TCP_CLIENT_DATA_MODE, "127.0.0.1", PRIORITY_CHANNEL);
        rec->regParam.replicationMode = OUTPUT_REPLICATION;
        LoopbackConn conn;
        attach(rec, conn);
        const std::string payload = pattern(5000);
        const auto [rc, code] = h.call([&](MsgDispatcher& md) {
            return md.sendTcpMessage("REPL", payload.data(), static_cast<int32>(payload.size()), "PEER", true);
        });
        EXPECT_EQ(rc, 5000) << code;
        const std::vector<FwIntMessage> parts = h.drainFramework("MSG_REPLICATOR", MQUEUE_HIGH_PRIORITY);
        ASSERT_EQ(parts.size(), 3u);
        std::string joined;
        for (const FwIntMessage& m : parts)
        {
            const Data_t& d = m.appMsg.data;
            EXPECT_EQ(d.chnType, TCP_CHANNEL);
            EXPECT_STREQ(d.channelNameTxt, "REPL");
            EXPECT_EQ(d.fdPtr, rec);
            EXPECT_EQ(d.dataDir, OUTGOING_DATA);
            EXPECT_EQ(d.peerIpAddr, htonl(INADDR_LOOPBACK));
            EXPECT_EQ(d.msgTopicSeq, reinterpret_cast<uint64>(h.m_peer));
            EXPECT_EQ(d.peerAppInstId, 1);
            joined.append(d.buffer, d.dataLen);
        }
        EXPECT_EQ(joined, payload);
        pollfd p{conn.peerFd, POLLIN, 0};
        EXPECT_EQ(::poll(&p, 1, 50), 0) << "the replicator sends, not the application thread";

        rec->congested = true;
        const auto [rc2, code2] = h.call([&](MsgDispatcher& md) { return md.sendTcpMessage("REPL", "abc", 3); });
        EXPECT_EQ(rc2, 0);
        EXPECT_EQ(code2, WOULD_BLOCK);
        rec->congested = false;
        rec->regParam.channelType = PIPELINE_CHANNEL;
        const auto [rc3, code3] = h.call([&](MsgDispatcher& md) { return md.sendTcpMessage("REPL", "abc", 3, "PEER"); });
        EXPECT_EQ(rc3, -1);
        EXPECT_EQ(code3, INVALID_FUNC_ARG);
        EXPECT_TRUE(h.drainFramework("MSG_REPLICATOR", MQUEUE_HIGH_PRIORITY).empty());
        EXPECT_TRUE(h.drainFramework("MSG_REPLICATOR", MQUEUE_NORMAL).empty());
    }
    gd.m_repliServiceEnabled = saved;
}

// The dispatcher remembers recently used connections by name. When an
// accepted connection's slot is reused by the next one, the old name must
// not reach the new peer through that memory.
TEST(DispatchTcpSend, AReusedConnectionSlotIsNotReachedByTheOldName)
{
    OpsHarness h;
    TcpConnResource* first = h.addTcp("ACC1", TCP_SERVER_DATA_MODE);
    LoopbackConn connA;
    attach(first, connA);
    ASSERT_EQ(h.call([](MsgDispatcher& md) { return md.sendTcpMessage("ACC1", "one", 3); }).first, 3);
    EXPECT_EQ(connA.read(3), "one");

    first->status.store(RES_DISCONNECTED);
    ASSERT_EQ(h.m_registry.removeTcpClientConnRes(Name("ACC1"), false), 0);
    // Accept connections until one lands in the freed slot.
    TcpConnResource* second = nullptr;
    std::string secondName;
    for (int i = 0; i < 20 && second != first; ++i)
    {
        secondName = "ACC" + std::to_string(i + 2);
        second = h.addTcp(secondName.c_str(), TCP_SERVER_DATA_MODE);
    }
    ASSERT_EQ(second, first) << "the registry reuses the freed slot";
    LoopbackConn connB;
    attach(second, connB);

    const auto [rc, code] = h.call([](MsgDispatcher& md) { return md.sendTcpMessage("ACC1", "old", 3); });
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(code, RES_NOT_EXIST);
    ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.sendTcpMessage(secondName.c_str(), "new", 3); }).first, 3);
    EXPECT_EQ(connB.read(3), "new") << "only the new name's bytes reach the new peer";
}
