#include "OpsHarness.h"

#include "FendralCore/tests/ipc/IpcTestSupport.h"
#include "FendralCore/tests/sockets/SocketTestSupport.h"

#include "FendralCore/dispatch/IpcShrMemMsgQ.h"
#include "FendralCore/dispatch/MulticastSocket.h"

namespace
{
std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 11 + i / 2200) % 26);
    return s;
}
} // namespace

// Datagrams up to the largest the loopback takes reach a joined receiver
// whole; the group's TTL can be changed by name.
TEST(DispatchUdpSend, DatagramsReachAJoinedReceiverWholeByNameAndHandle)
{
    OpsHarness h;
    const char* group = "239.255.72.1";
    MulticastSocket in(MULTICAST_RECEIVE, "127.0.0.1", group, 0, false, 0, DISABLE_MCAST_LOOPBACK, -1, 1 << 20);
    ASSERT_EQ(in.initialize(), 0);
    ASSERT_EQ(in.join(), 0);
    MulticastSocket out(MULTICAST_SEND, "127.0.0.1", group, sockettest::localPort(in.getFileDescriptor()), false, 1,
                        ENABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(out.initialize(), 0);
    UdpConnResource* rec = h.addUdp("MC1", MULTICAST_SENDER_MODE);
    rec->multicastSockPtr = &out;
    rec->status.store(RES_CONNECTED);
    ResourceHandle handle;
    ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.getResHandleByName("MC1", UDP_RES, handle); }).first, 0);

    for (size_t len : {size_t{1}, size_t{2201}, size_t{5000}, size_t{60000}})
    {
        SCOPED_TRACE(len);
        const std::string payload = pattern(len);
        const bool byHandle = len % 2 == 0;
        const auto [rc, code] = h.call([&](MsgDispatcher& md) {
            return byHandle ? md.sendUdpMessage(handle, payload.data(), static_cast<int32>(len))
                            : md.sendUdpMessage("MC1", payload.data(), static_cast<int32>(len));
        });
        ASSERT_EQ(rc, 0) << code;
        pollfd p{in.getFileDescriptor(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
        std::string buf(65536, '\0');
        int done = 0;
        ASSERT_EQ(in.receive(buf.data(), static_cast<int>(buf.size()), done), 0);
        EXPECT_EQ(buf.substr(0, static_cast<size_t>(done)), payload);
    }

    const auto [rc, code] = h.call([](MsgDispatcher& md) { return md.setMcastTtl("MC1", 3); });
    EXPECT_EQ(rc, 0) << code;
    EXPECT_EQ(out.getTtl(), 3);
    int ttl = 0;
    socklen_t ttlLen = sizeof(ttl);
    ::getsockopt(out.getFileDescriptor(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &ttlLen);
    EXPECT_EQ(ttl, 3);
}

// What a UDP send or TTL change is refused for.
TEST(DispatchUdpSend, ReceivingModesMissingSocketsAndUnknownNamesAreRefused)
{
    OpsHarness h;
    UdpConnResource* rcv = h.addUdp("RCV", MULTICAST_RECEIVER_MODE);
    h.addUdp("NOSOCK", MULTICAST_SENDER_MODE);
    MulticastSocket out(MULTICAST_SEND, "127.0.0.1", "239.255.72.2", 9, false, 1, DISABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(out.initialize(), 0);
    rcv->multicastSockPtr = &out;
    struct Case
    {
        const char* what;
        std::function<int32(MsgDispatcher&)> send;
        int32 code;
    };
    const std::vector<Case> cases = {
        {"receiving mode", [](MsgDispatcher& md) { return md.sendUdpMessage("RCV", "abc", 3); }, INVALID_UDP_MODE},
        {"no socket", [](MsgDispatcher& md) { return md.sendUdpMessage("NOSOCK", "abc", 3); }, OBJECT_NULL_PTR},
        {"unknown name", [](MsgDispatcher& md) { return md.sendUdpMessage("NOPE", "abc", 3); }, RES_NOT_EXIST},
        {"forwarding on a receiving channel",
         [](MsgDispatcher& md) { return md.sendUdpMessage("RCV", "abc", 3, "PEER"); }, INVALID_UDP_MODE},
        {"ttl of unknown channel", [](MsgDispatcher& md) { return md.setMcastTtl("NOPE", 2); }, RES_NOT_EXIST},
        {"ttl without socket", [](MsgDispatcher& md) { return md.setMcastTtl("NOSOCK", 2); }, OBJECT_NULL_PTR},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto [rc, code] = h.call(c.send);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(code, c.code);
    }
    EXPECT_TRUE(testLog().contains("Invalid UDP mode for channel [RCV]."));
    EXPECT_TRUE(testLog().contains("multicastSockPtr is NULL for [NOSOCK]"));
    EXPECT_TRUE(testLog().contains("getUdpConnRes(NOPE) failed, error [1603]"));
}

namespace
{
// A real shared-memory channel: this process writes through the dispatcher
// and reads it back as the reader process would.
struct IpcChannel
{
    ShmName name;
    IpcShrMemMsgQ reader{"RDR"};
    IpcShrMemMsgQ writer{"WTR"};

    explicit IpcChannel(uint32 len = 100)
    {
        EXPECT_EQ(reader.open(name.c_str(), IPC_READER_MODE, len), 0) << FrameworkErrno::m_fwErrno;
        EXPECT_EQ(writer.open(name.c_str(), IPC_WRITER_MODE, 0), 0) << FrameworkErrno::m_fwErrno;
    }
    ~IpcChannel()
    {
        writer.close(false);
        reader.close(true);
    }

    std::vector<IpcShmMsg> drain()
    {
        std::vector<IpcShmMsg> out;
        auto msg = std::make_unique<IpcShmMsg>();
        while (reader.dequeue(*msg) == 0)
            out.push_back(*msg);
        return out;
    }
};
} // namespace

// Messages are cut into numbered 2200-byte parts that the reader joins back.
TEST(DispatchIpcSend, MessagesArriveInPartsThatJoinBackByNameAndHandle)
{
    OpsHarness h;
    IpcChannel chn;
    IpcResource* rec = h.addIpc("IPC1", IPC_WRITER_MODE);
    rec->ipcMsgQPtr = &chn.writer;
    rec->status.store(RES_CONNECTED);
    ResourceHandle handle;
    ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.getResHandleByName("IPC1", IPC_RES, handle); }).first, 0);
    struct Case
    {
        size_t len;
        std::vector<uint32> parts;
    };
    const Case cases[] = {{1, {1}}, {2200, {2200}}, {5000, {2200, 2200, 600}}, {32768, std::vector<uint32>(14, 2200)}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.len);
        std::vector<uint32> parts = c.parts;
        if (c.len == 32768)
            parts.push_back(1968);
        const std::string payload = pattern(c.len);
        const auto [rc, code] = h.call([&](MsgDispatcher& md) {
            return c.len % 2 == 0 ? md.sendIpcMessage(handle, payload.data(), static_cast<int32>(c.len))
                                  : md.sendIpcMessage("IPC1", payload.data(), static_cast<int32>(c.len));
        });
        ASSERT_EQ(rc, 0) << code;
        const std::vector<IpcShmMsg> got = chn.drain();
        ASSERT_EQ(got.size(), parts.size());
        std::string joined;
        for (size_t i = 0; i < got.size(); ++i)
        {
            EXPECT_EQ(got[i].msgType, IPC_MSG_TYPE_DATA);
            EXPECT_EQ(got[i].msgPartNum, static_cast<int32>(i));
            EXPECT_EQ(got[i].dataLen, parts[i]);
            EXPECT_EQ(got[i].more != 0, i + 1 < got.size());
            joined.append(got[i].buffer, got[i].dataLen);
        }
        EXPECT_EQ(joined, payload);
    }
}

// Too few free entries for the whole message: nothing at all is written, so
// the reader never holds the head of a message without its tail. Closed
// channels, oversized data and unknown names are refused.
TEST(DispatchIpcSend, AMessageGoesWholeOrNotAtAll)
{
    OpsHarness h;
    IpcChannel chn(100);
    IpcResource* rec = h.addIpc("IPC2", IPC_WRITER_MODE);
    h.addIpc("SHUT", IPC_WRITER_MODE);
    rec->ipcMsgQPtr = &chn.writer;
    rec->status.store(RES_CONNECTED);
    const std::string small = pattern(10);
    // Leave two free entries: a 5000-byte message needs three.
    while (chn.writer.getNumFreeEntry() > 2)
        ASSERT_EQ(h.call([&](MsgDispatcher& md) { return md.sendIpcMessage("IPC2", small.data(), 10); }).first, 0);
    const int32 queued = chn.reader.getNumMsgQueued();
    const std::string big = pattern(5000);
    static const std::string huge(32769, 'h');
    struct Case
    {
        const char* what;
        std::function<int32(MsgDispatcher&)> send;
        int32 code;
    };
    const std::vector<Case> cases = {
        {"too few entries", [&](MsgDispatcher& md) { return md.sendIpcMessage("IPC2", big.data(), 5000); }, BUFFER_FULL},
        {"oversized", [&](MsgDispatcher& md) { return md.sendIpcMessage("IPC2", huge.data(), 32769); }, MSG_TOO_LARGE},
        {"not open", [&](MsgDispatcher& md) { return md.sendIpcMessage("SHUT", small.data(), 10); }, IPC_NOT_OPEN},
        {"unknown name", [&](MsgDispatcher& md) { return md.sendIpcMessage("NOPE", small.data(), 10); }, RES_NOT_EXIST},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const auto [rc, code] = h.call(c.send);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(chn.reader.getNumMsgQueued(), queued);
    }
    EXPECT_TRUE(testLog().contains("Error [200] sending message to IPC channel [IPC2]."));
    EXPECT_TRUE(testLog().contains("IPC channel [SHUT] is not open. Error [2317]."));
    EXPECT_TRUE(testLog().contains("IPC channel [NOPE] is not found. Error [1603]."));
    // Two parts still fit.
    EXPECT_EQ(h.call([&](MsgDispatcher& md) { return md.sendIpcMessage("IPC2", big.data(), 4000); }).first, 0);
}
