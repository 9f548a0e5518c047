#include "DispatcherHarness.h"
#include "FendralCore/tests/support/JournalLog.h"

#include "FendralCore/runtime/AppLogger.h"

namespace
{
void registerUdp(DispatcherHarness& h, const char* name, bool journal)
{
    UdpConnParam p;
    h.m_registry.initUdpConnParam(p);
    setName(p.connNameTxt, name);
    setName(p.threadNameTxt, "APP");
    setText(p.interfaceTxt, "127.0.0.1");
    setText(p.destAddrTxt, "239.1.2.3");
    p.port = 5000;
    p.msgJournalEnabled = journal;
    UdpConnResource* res = nullptr;
    ASSERT_EQ(h.m_registry.registerUdpConnRes(p, &res), 0);
}
} // namespace

// Journalling follows the channel: TCP data carries its flag in
// peerAppSiteId (cleared before delivery), other kinds ask the registry;
// thread-to-thread data is never journalled.
TEST(DispatcherJournal, DataIsJournalledByTheChannelsFlagAndTcpDataCarriesItsHandle)
{
    CaptureAppLogSink& journal = journalLog();
    journal.clear();
    DispatcherHarness h(EVENT_LOOP);
    registerUdp(h, "UJ", true);
    registerUdp(h, "UN", false);
    h.start();
    h.init();
    ASSERT_EQ(h.sendEvent(MQUEUE_HIGH_PRIORITY, APP_READY), 0);

    int tcpRecord = 0; // stands for the connection's record
    struct Case
    {
        const char* channel;
        ExtChannelType type;
        DataDirection dir;
        int32 siteId;
        bool journalled;
    };
    const Case cases[] = {
        {"UJ", UDP_CHANNEL, INCOMING_DATA, 0, true},   {"UN", UDP_CHANNEL, INCOMING_DATA, 0, false},
        {"TJ", TCP_CHANNEL, INCOMING_DATA, 1, true},   {"TN", TCP_CHANNEL, INCOMING_DATA, 0, false},
        {"IT", UDP_CHANNEL, INTER_THREAD_DATA, 0, false}, {"UX", UDP_CHANNEL, INCOMING_DATA, 0, false},
    };
    for (const Case& c : cases)
    {
        auto msg = DispatcherHarness::makePart("SENDER", c.channel, 0, false, std::string("payload-") + c.channel);
        msg->appMsg.data.chnType = c.type;
        msg->appMsg.data.dataDir = c.dir;
        msg->appMsg.data.peerAppSiteId = c.siteId;
        msg->appMsg.data.fdPtr = &tcpRecord;
        ASSERT_EQ(h.putRaw(MQUEUE_NORMAL, *msg), 0);
        ASSERT_TRUE(h.waitForData(c.channel));
    }
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.channel);
        EXPECT_EQ(journal.contains(std::string("payload-") + c.channel), c.journalled);
    }
    for (const CallRecord& r : h.calls())
    {
        if (r.type != MSG_DATA)
            continue;
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.peerAppSiteId, 0);
        if (r.name[0] == 'T')
        {
            EXPECT_EQ(r.handleType, TCP_RES);
            EXPECT_EQ(r.handleName, r.name);
            EXPECT_EQ(r.handleResPtr, &tcpRecord);
        }
        else
        {
            EXPECT_EQ(r.handleType, -1);
        }
    }
    h.stop();
}

// Connection events get a handle of their kind built from the pointer the
// sender gave; the raw pointer itself is not handed on.
TEST(DispatcherEvents, ConnectionEventsCarryAHandleAndUnexpectedEventsAreOnlyLogged)
{
    DispatcherHarness h(POLLING_LOOP);
    h.start();
    h.init();
    int record = 0;
    struct Case
    {
        int32 id;
        int32 handleType;
    };
    const Case cases[] = {{CONNECTED, TCP_RES}, {DISCONNECTED, TCP_RES}, {MCAST_READY_FOR_TRANSMISSION, UDP_RES},
                          {TOPIC_PUBLISH_ACK, TOPIC_RES}, {IPC_OPENED, IPC_RES}, {NET_CONGEST, -1}};
    for (const Case& c : cases)
    {
        EventParam param{};
        setName(param.resNameTxt, "CONN1");
        param.resPtr = &record;
        ASSERT_EQ(h.m_events->sendEventMsg(h.m_app, MQUEUE_NORMAL, static_cast<FwEventID>(c.id), param, h.m_seq), 0);
    }
    testLog().clear();
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, CONN_RQS), 0);
    ASSERT_EQ(h.sendEvent(MQUEUE_NORMAL, APP_DEFINED_EVENT_BASE + 9), 0);
    ASSERT_TRUE(h.waitForEvent(APP_DEFINED_EVENT_BASE + 9));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.id);
        ASSERT_EQ(h.countEvents(c.id), 1u);
        for (const CallRecord& r : h.calls())
        {
            if (r.id != c.id)
                continue;
            EXPECT_EQ(r.handleType, c.handleType);
            if (c.handleType != -1)
            {
                EXPECT_EQ(r.handleName, "CONN1");
                EXPECT_EQ(r.handleResPtr, &record);
            }
        }
    }
    EXPECT_EQ(h.countEvents(CONN_RQS), 0u);
    EXPECT_TRUE(testLog().contains("Unexpected event message [5] from message queue. Ignore and continue."));
    h.stop();
}

// Event entries of a pipeline reach the callback only when addressed to this
// thread and of a kind a pipeline carries.
TEST(DispatcherPipelines, EventEntriesAreDeliveredOnlyToTheirRecipient)
{
    DispatcherHarness h(EVENT_LOOP);
    Pipeline pipeline(8, 4096, 1, CPU_UTILIZATION, false);
    h.assignStage(pipeline, "PL", 0);
    h.start();
    h.init();
    testLog().clear();
    auto putEvent = [&](const char* recipient, int32 id, const char* resName) {
        FwIntMessage msg{};
        setName(msg.originatorTxt, "NET_RECEIVER");
        setName(msg.recipientTxt, recipient);
        msg.appMsg.type = MSG_EVENT;
        msg.appMsg.event.id = id;
        setName(msg.appMsg.event.eventParam.resNameTxt, resName);
        PipelineMsgHeader hdr{};
        hdr.type = MSG_EVENT;
        hdr.dataLen = static_cast<uint32>(FwIntMessage::EVENT_COPY_SIZE);
        ASSERT_EQ(pipeline.enqueue(reinterpret_cast<const char*>(&msg), hdr, 5), 0);
    };
    putEvent("APP", CONNECTED, "MINE");
    putEvent("OTHER", CONNECTED, "THEIRS");
    putEvent("APP", APP_READY, "ODD");
    putEvent("APP", DISCONNECTED, "LAST");
    ASSERT_TRUE(h.waitForEvent(DISCONNECTED));
    std::vector<std::string> names;
    for (const CallRecord& r : h.calls())
        if (r.id == CONNECTED || r.id == DISCONNECTED || r.id == APP_READY)
            names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"MINE", "LAST"}));
    EXPECT_TRUE(testLog().contains("Unexpected event message [2] received from pipeline."));
    h.stop();
}
