#include "LoopbackConn.h"
#include "OpsHarness.h"

#include "FendralCore/tests/ipc/IpcTestSupport.h"
#include "FendralCore/tests/support/JournalLog.h"
#include "FendralCore/tests/support/RecordingTopic.h"

#include "FendralCore/dispatch/IpcShrMemMsgQ.h"
#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/runtime/AppLogger.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

// What went out is journalled for channels that ask for it: after a TCP,
// UDP or IPC send, and after a topic send the topic accepted, also without
// subscribers; not after a refused send or for channels without the flag.
TEST(DispatchSendJournal, OutgoingDataIsJournalledByTheChannelsFlag)
{
    CaptureAppLogSink& journal = journalLog();
    journal.clear();
    OpsHarness h;
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, APP_READY), 0);
    ASSERT_TRUE(h.waitForEvent(APP_READY));

    LoopbackConn conn;
    for (const char* name : {"TCPJ", "TCPN"})
    {
        TcpConnResource* rec = h.addTcp(name, TCP_CLIENT_DATA_MODE);
        rec->regParam.msgJournalEnabled = name[3] == 'J';
        rec->dataSockPtr = conn.sock.get();
        rec->status.store(RES_CONNECTED);
    }
    // UDP: a group nobody joined.
    MulticastSocket udpSock(MULTICAST_SEND, "127.0.0.1", "239.255.72.9", 9, false, 1, DISABLE_MCAST_LOOPBACK, -1, -1);
    ASSERT_EQ(udpSock.initialize(), 0);
    UdpConnResource* udp = h.addUdp("UDPJ", MULTICAST_SENDER_MODE);
    udp->regParam.msgJournalEnabled = true;
    udp->multicastSockPtr = &udpSock;
    // IPC: a real channel.
    ShmName shm;
    IpcShrMemMsgQ reader("RDR"), writer("WTR");
    ASSERT_EQ(reader.open(shm.c_str(), IPC_READER_MODE, 100), 0);
    ASSERT_EQ(writer.open(shm.c_str(), IPC_WRITER_MODE, 0), 0);
    IpcResource* ipc = h.addIpc("IPCJ", IPC_WRITER_MODE);
    ipc->regParam.msgJournalEnabled = true;
    ipc->ipcMsgQPtr = &writer;
    ipc->status.store(RES_CONNECTED);
    // Topics answered by the test double.
    RecordingTopic topic;
    MsgTopicResource* tp = h.addTopic("TOPJ", PUBLISH);
    tp->regParam.msgJournalEnabled = true;
    tp->msgTopicPtr = &topic;
    topic.answer({0, MSL_NO_SUBSCRIBER, MSG_TOO_LARGE});

    uint64 seq = 0;
    struct Case
    {
        const char* payload;
        std::function<int32(MsgDispatcher&, const std::string&)> send;
        bool journalled;
    };
    auto len = [](const std::string& s) { return static_cast<int32>(s.size()); };
    const std::vector<Case> cases = {
        {"out-tcp-journal", [&](MsgDispatcher& md, const std::string& p) { return md.sendTcpMessage("TCPJ", p.data(), len(p)); }, true},
        {"out-tcp-plain", [&](MsgDispatcher& md, const std::string& p) { return md.sendTcpMessage("TCPN", p.data(), len(p)); }, false},
        {"out-udp", [&](MsgDispatcher& md, const std::string& p) { return md.sendUdpMessage("UDPJ", p.data(), len(p)); }, true},
        {"out-ipc", [&](MsgDispatcher& md, const std::string& p) { return md.sendIpcMessage("IPCJ", p.data(), len(p)); }, true},
        {"out-topic-ok", [&](MsgDispatcher& md, const std::string& p) { return md.sendTopicMessage("TOPJ", p.data(), len(p), seq); }, true},
        {"out-topic-nosub", [&](MsgDispatcher& md, const std::string& p) { return md.sendTopicMessage("TOPJ", p.data(), len(p), seq); }, true},
        {"out-topic-failed", [&](MsgDispatcher& md, const std::string& p) { return md.sendTopicMessage("TOPJ", p.data(), len(p), seq); }, false},
        {"out-ipc-refused", [&](MsgDispatcher& md, const std::string& p) { return md.sendIpcMessage("NOIPC", p.data(), len(p)); }, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.payload);
        const std::string payload = c.payload;
        h.call([&](MsgDispatcher& md) { return c.send(md, payload); });
        EXPECT_EQ(journal.contains(payload), c.journalled);
    }
    tp->msgTopicPtr = nullptr;
    writer.close(false);
    reader.close(true);
}
