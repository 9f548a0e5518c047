// The replication receiver on a standby's registry with real queues and
// stores: records delivered as if local, server connections registered on
// demand and only from their listen server, the publisher watched, the end
// of replication, and the hand-over to the replicator.
#include "FendralCore/tests/replication/ReceiverTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include <atomic>
#include <thread>

using RxTest = ReceiverFixture;

// Each kind of channel gets its records in order, from the thread that would
// have sent them here, flagged as replicated and with this instance's record;
// a record longer than one message is joined from its parts first.
TEST_F(RxTest, RecordsReachTheOwnerAsIfLocal)
{
    start();
    const std::string big(2200, 'B');
    feed(dataRecord(TCP_CHANNEL, "CLI", "tcp-1"));
    feed(dataRecord(TCP_CHANNEL, "CLI", big));
    feed(dataRecord(UDP_CHANNEL, "MCAST", "udp-1"));
    FwIntMessage topicRec = dataRecord(MSG_TOPIC_CHANNEL, "APPTOPIC", "topic-1");
    topicRec.appMsg.data.msgTopicSeq = 4711;
    feed(topicRec);
    feed(dataRecord(TCP_CHANNEL, "CLI", "out-1", OUTGOING_DATA));

    std::vector<FwIntMessage> got = takeAll(*m_ownerQ.normal);
    ASSERT_EQ(got.size(), 5u);
    struct Expect
    {
        const char* payload;
        const char* from;
        ReplicationFlag flag;
        void* fd;
    } expect[] = {{"tcp-1", "DATA_STREAM_HDR", INPUT_REPLICATION_MSG, m_cli},
                  {nullptr, "DATA_STREAM_HDR", INPUT_REPLICATION_MSG, m_cli},
                  {"udp-1", "NET_RECEIVER", INPUT_REPLICATION_MSG, m_mcast},
                  {"topic-1", "MSG_SERVICE", INPUT_REPLICATION_MSG, m_topic},
                  {"out-1", "OWNER", OUTPUT_REPLICATION_MSG, m_cli}};
    for (size_t i = 0; i < got.size(); ++i)
    {
        EXPECT_EQ(payload(got[i]), expect[i].payload != nullptr ? expect[i].payload : big) << i;
        EXPECT_STREQ(got[i].originatorTxt, expect[i].from) << i;
        EXPECT_STREQ(got[i].recipientTxt, "OWNER") << i;
        EXPECT_EQ(got[i].appMsg.data.replicationFlag, expect[i].flag) << i;
        EXPECT_EQ(got[i].appMsg.data.fdPtr, expect[i].fd) << i;
    }
    EXPECT_EQ(m_topic->lastMsgSeqNum, 4711u);
    EXPECT_EQ(m_rx->stats().records, 5u);
}

// An outgoing record that asked for it is copied to its forward thread; a
// forward thread that does not exist here costs the copy only.
TEST_F(RxTest, OutgoingRecordIsCopiedToItsForwardThread)
{
    start();
    FwIntMessage out = dataRecord(UDP_CHANNEL, "MCAST", "sent", OUTGOING_DATA);
    ResourceManager::copyResourceName(out.recipientTxt, "FWD_THREAD");
    out.appMsg.data.peerAppInstId = 1;
    feed(out);
    ResourceManager::copyResourceName(out.recipientTxt, "NO_SUCH_THREAD");
    feed(out);
    out.appMsg.data.peerAppInstId = 0; // not asked for
    ResourceManager::copyResourceName(out.recipientTxt, "FWD_THREAD");
    feed(out);
    EXPECT_EQ(takeAll(*m_ownerQ.normal).size(), 3u);
    std::vector<FwIntMessage> copies = takeAll(*m_fwdQ.normal);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(payload(copies[0]), "sent");
    EXPECT_STREQ(copies[0].originatorTxt, "OWNER");
    EXPECT_EQ(copies[0].appMsg.data.peerAppInstId, 0);
}

// A connection accepted on the active arrives by its name, "SRV:17": it is
// registered from the listen server, which counts on from 18; its
// DISCONNECTED removes it again after delivery.
TEST_F(RxTest, ServerConnectionIsRegisteredFromItsListenServer)
{
    start();
    const int32 before = tcpCount();
    feed(eventRecord(NEW_CONNECT, "SRV:17"));
    feed(dataRecord(TCP_CHANNEL, "SRV:17", "hello"));
    TcpConnResource* conn = nullptr;
    ASSERT_EQ(m_registry.getTcpConnRes(Name("SRV:17"), &conn, true), 0);
    EXPECT_EQ(conn->regParam.tcpMode, TCP_SERVER_DATA_MODE);
    EXPECT_STREQ(conn->regParam.threadNameTxt, "OWNER");
    EXPECT_EQ(m_srv->nextInConnNum, 18);
    EXPECT_EQ(tcpCount(), before + 1);

    feed(eventRecord(DISCONNECTED, "SRV:17"));
    std::vector<FwIntMessage> got = takeAll(*m_ownerQ.normal);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(payload(got[0]), "#12");
    EXPECT_EQ(got[0].appMsg.event.replicationFlag, INPUT_REPLICATION_MSG);
    EXPECT_EQ(got[0].appMsg.event.eventParam.resPtr, conn);
    EXPECT_EQ(payload(got[1]), "hello");
    EXPECT_EQ(payload(got[2]), "#14");
    EXPECT_EQ(tcpCount(), before);
    EXPECT_EQ(m_rx->numSrvDataConns(), 0u);
}

// Names that are not a replicated listen server's, a colon and digits
// register nothing; records for them are skipped.
TEST_F(RxTest, ServerConnectionNamesAreValidated)
{
    start();
    const int32 before = tcpCount();
    for (const char* name : {"NOPE:1", "CLI:3", "SRV:", "SRV:1x", "SRVX", ":5", "SRV:-1", "MCAST:2"})
    {
        feed(dataRecord(TCP_CHANNEL, name, "x"));
        feed(eventRecord(NEW_CONNECT, name));
        EXPECT_EQ(tcpCount(), before) << name;
    }
    EXPECT_TRUE(takeAll(*m_ownerQ.normal).empty());
    EXPECT_EQ(m_rx->stats().skipped, 16u);
}

// However many names the records carry, only the cap is registered at once.
TEST_F(RxTest, OnDemandRegistrationsAreCapped)
{
    start();
    m_rx->setSrvDataConnMax(5);
    const int32 before = tcpCount();
    for (int i = 0; i < 200; ++i)
        feed(dataRecord(TCP_CHANNEL, ("SRV:" + std::to_string(i)).c_str(), "x"));
    EXPECT_EQ(tcpCount(), before + 5);
    EXPECT_EQ(m_rx->numSrvDataConns(), 5u);
    // Freed by a disconnect, the room is used again.
    feed(eventRecord(DISCONNECTED, "SRV:0"));
    feed(dataRecord(TCP_CHANNEL, "SRV:500", "x"));
    TcpConnResource* conn = nullptr;
    EXPECT_EQ(m_registry.getTcpConnRes(Name("SRV:500"), &conn, true), 0);
    EXPECT_EQ(tcpCount(), before + 5);
}

// Records carry channel and topic events only: control events in them are
// dropped, and so are events about the replication topic itself.
TEST_F(RxTest, ControlEventsFromRecordsAreRefused)
{
    start();
    for (FwEventID id : {TERM, SW_ACTIVE, INIT, CHK_END_REPLICATION, REPLICATION_ACK_RCVD, APP_DEFINED_EVENT_BASE})
        feed(eventRecord(id, "CLI"));
    feed(eventRecord(TOPIC_PUBLISHER_LEFT, "RTEST_FW_REPL"));
    EXPECT_FALSE(m_rx->terminated());
    EXPECT_FALSE(m_rx->switchedToActive());
    EXPECT_TRUE(takeAll(*m_ctlQ.high).empty());
    EXPECT_TRUE(takeAll(*m_ownerQ.normal).empty());
    EXPECT_EQ(m_rx->stats().refused, 7u);
    feed(eventRecord(TOPIC_PUBLISHER_JOINED, "APPTOPIC"));
    EXPECT_EQ(takeEvents(*m_ownerQ.normal), std::vector<int32>{TOPIC_PUBLISHER_JOINED});
}

// Loss of the active publisher is told once until it is back. The end of
// replication is confirmed only once the messaging service has settled the
// query for a lost tail (its TOPIC_PUBLISHER_LEFT) and nothing stays parked.
TEST_F(RxTest, PublisherWatchAndEndOfReplication)
{
    start();
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_SUBSCRIBE_ACK, 0, 1), m_selfQ.normal.get()), 0);
    EXPECT_EQ(takeEvents(*m_ctlQ.high), std::vector<int32>{REPLICATION_RESUMED});
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_PUBLISHER_LEFT), m_selfQ.normal.get()), 0);
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_PUBLISHER_LEFT), m_selfQ.normal.get()), 0);
    EXPECT_EQ(takeEvents(*m_ctlQ.high), std::vector<int32>{REPLICATION_TIMEOUT});
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_PUBLISHER_JOINED), m_selfQ.normal.get()), 0);
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_PUBLISHER_LEFT), m_selfQ.normal.get()), 0);
    EXPECT_EQ(takeEvents(*m_ctlQ.high), (std::vector<int32>{REPLICATION_RESUMED, REPLICATION_TIMEOUT}));

    FwIntMessage filler = dataRecord(TCP_CHANNEL, "CLI", "fill");
    auto fillOwner = [&] {
        while (m_ownerQ.normal->getNumFreeEntry() > 11)
            ASSERT_EQ(m_ownerQ.normal->putMessage(&filler), 0);
    };
    auto lastPayload = [&] {
        std::vector<FwIntMessage> got = takeAll(*m_ownerQ.normal);
        return got.empty() ? std::string() : payload(got.back());
    };
    // The tail first: with nothing parked the end still waits for the
    // service's answer to CHK_TAIL_LOST.
    fillOwner();
    feed(dataRecord(TCP_CHANNEL, "CLI", "parked"));
    ASSERT_EQ(m_rx->processMessage(event(CHK_END_REPLICATION), m_selfQ.high.get()), 0);
    EXPECT_EQ(takeEvents(*m_svcQ.normal), std::vector<int32>{CHK_TAIL_LOST});
    takeAll(*m_ownerQ.normal);
    m_rx->onTimer();
    EXPECT_EQ(lastPayload(), "parked");
    EXPECT_EQ(takeEvents(*m_ctlQ.high), std::vector<int32>{});

    // Then the parked records: settled while the owner's queue is full, the
    // end waits for them.
    fillOwner();
    feed(dataRecord(TCP_CHANNEL, "CLI", "parked2"));
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_PUBLISHER_LEFT), m_selfQ.normal.get()), 0);
    m_rx->onTimer(); // still full
    EXPECT_EQ(takeEvents(*m_ctlQ.high), std::vector<int32>{});
    takeAll(*m_ownerQ.normal);
    m_rx->onTimer();
    std::vector<FwIntMessage> ctl = takeAll(*m_ctlQ.high);
    ASSERT_EQ(ctl.size(), 1u);
    EXPECT_EQ(ctl[0].appMsg.event.id, CONF_END_REPLICATION);
    EXPECT_EQ(ctl[0].appMsg.event.eventParam.paramInt64, static_cast<int64>(m_topicSeq));
    EXPECT_EQ(lastPayload(), "parked2");
}

// SW_ACTIVE while the active still publishes waits for its departure. The
// hand-over then delivers every record still queued and everything parked
// (they were acknowledged, so the old active acted on them), removes the
// connections registered on demand, and puts SW_ACTIVE back for the
// replicator to find first.
TEST_F(RxTest, HandOverDeliversEverythingAcknowledgedFirst)
{
    start();
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_SUBSCRIBE_ACK, 0, 1), m_selfQ.normal.get()), 0);
    const int32 before = tcpCount();
    feed(dataRecord(TCP_CHANNEL, "SRV:3", "first"));
    EXPECT_EQ(tcpCount(), before + 1);
    FwIntMessage filler = dataRecord(TCP_CHANNEL, "CLI", "fill");
    while (m_ownerQ.normal->getNumFreeEntry() > 11)
        ASSERT_EQ(m_ownerQ.normal->putMessage(&filler), 0);
    for (int i = 0; i < 10; ++i)
        feed(dataRecord(TCP_CHANNEL, "CLI", "p" + std::to_string(i))); // parked

    FwIntMessage sw = event(SW_ACTIVE);
    ASSERT_EQ(m_rx->processMessage(sw, m_selfQ.high.get()), 0);
    EXPECT_FALSE(m_rx->switchedToActive());
    for (int i = 0; i < 30; ++i)
        queue(dataRecord(TCP_CHANNEL, "CLI", "q" + std::to_string(i)));

    // The owner reads while the hand-over waits for room.
    std::atomic<bool> stop{false};
    std::vector<std::string> delivered;
    std::thread owner([&] {
        while (!stop.load())
        {
            for (const FwIntMessage& m : takeAll(*m_ownerQ.normal))
                delivered.push_back(payload(m));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (const FwIntMessage& m : takeAll(*m_ownerQ.normal))
            delivered.push_back(payload(m));
    });
    ASSERT_EQ(m_rx->processMessage(topicEvent(TOPIC_PUBLISHER_LEFT), m_selfQ.normal.get()), 0);
    stop.store(true);
    owner.join();

    EXPECT_TRUE(m_rx->switchedToActive());
    EXPECT_TRUE(m_rx->terminated());
    std::vector<std::string> expect;
    for (int i = 0; i < 10; ++i)
        expect.push_back("p" + std::to_string(i));
    for (int i = 0; i < 30; ++i)
        expect.push_back("q" + std::to_string(i));
    std::vector<std::string> got;
    for (const std::string& s : delivered)
        if (s != "fill" && s != "first")
            got.push_back(s);
    EXPECT_EQ(got, expect);
    EXPECT_FALSE(m_rx->delivery().hasUnsent());
    EXPECT_EQ(tcpCount(), before);
    EXPECT_TRUE(takeAll(*m_selfQ.normal).empty());
    std::vector<FwIntMessage> high = takeAll(*m_selfQ.high);
    ASSERT_EQ(high.size(), 1u);
    EXPECT_EQ(high[0].appMsg.event.id, SW_ACTIVE);
}

// SW_ACTIVE with no publisher left hands over at once; a TERM that came
// meanwhile follows SW_ACTIVE for the replicator.
TEST_F(RxTest, TermDuringHandOverStaysBehindSwActive)
{
    start();
    queue(dataRecord(UDP_CHANNEL, "MCAST", "m1"));
    ASSERT_EQ(m_selfQ.high->putMessage(&static_cast<const FwIntMessage&>(event(TERM))), 0);
    ASSERT_EQ(m_rx->processMessage(event(SW_ACTIVE), m_selfQ.high.get()), 0);
    EXPECT_TRUE(m_rx->switchedToActive());
    EXPECT_EQ(takeEvents(*m_selfQ.high), (std::vector<int32>{SW_ACTIVE, TERM}));
    EXPECT_EQ(payload(takeAll(*m_ownerQ.normal).at(0)), "m1");
}

// Malformed records and parts are dropped without harm; the next good one
// still goes through.
TEST_F(RxTest, MalformedRecordsAreDroppedAndTheStreamGoesOn)
{
    start();
    FwIntMessage bad = dataRecord(TCP_CHANNEL, "CLI", "x");
    bad.appMsg.data.chnType = IPC_CHANNEL;
    feed(bad);
    bad = dataRecord(TCP_CHANNEL, "CLI", "x");
    bad.appMsg.data.dataDir = INTER_THREAD_DATA;
    feed(bad);
    std::string cut(reinterpret_cast<const char*>(&bad), 100);
    for (const FwIntMessage& m : wrapBytes(cut))
        ASSERT_EQ(m_rx->processMessage(m, m_selfQ.normal.get()), 0);
    // A second part without its first.
    std::vector<FwIntMessage> parts = wrap(dataRecord(TCP_CHANNEL, "CLI", std::string(2200, 'z')));
    ASSERT_EQ(parts.size(), 2u);
    ASSERT_EQ(m_rx->processMessage(parts[1], m_selfQ.normal.get()), 0);
    EXPECT_EQ(m_rx->stats().refused, 4u);
    // A channel not replicated here takes no record.
    feed(dataRecord(TCP_CHANNEL, "PLAIN", "x"));
    feed(eventRecord(CONNECTED, "PLAIN"));
    EXPECT_EQ(m_rx->stats().skipped, 2u);
    EXPECT_TRUE(takeAll(*m_ownerQ.normal).empty());
    feed(dataRecord(TCP_CHANNEL, "CLI", "good"));
    EXPECT_EQ(payload(takeAll(*m_ownerQ.normal).at(0)), "good");
}

// A publisher sending nothing but bad records cannot flood the log: ten
// lines, the rest counted, and the count reported when the receiver ends.
TEST_F(RxTest, BadRecordsAreLoggedWithinTheLimit)
{
    start();
    testLog().clear();
    FwIntMessage bad = dataRecord(TCP_CHANNEL, "CLI", "x");
    bad.appMsg.data.dataDir = static_cast<DataDirection>(9);
    for (int i = 0; i < 100; ++i)
        feed(bad);
    for (int i = 0; i < 100; ++i)
        feed(dataRecord(TCP_CHANNEL, "NOPE:1", "x"));
    EXPECT_EQ(testLog().count("Discard it."), 10u);
    EXPECT_EQ(testLog().count("Error [") + testLog().count("Discard it."), 10u);
    m_rx.reset();
    EXPECT_TRUE(testLog().contains("290 similar log lines held back")) << testLog().lines().back();
}
