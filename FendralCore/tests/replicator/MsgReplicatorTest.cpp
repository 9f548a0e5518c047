#include "FendralCore/tests/dispatchops/LoopbackConn.h"
#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/messaging/MsgReplicator.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The replicator on its own thread, between real queues: records come in as
// the receiving threads post them, the replication topic is a recording
// stand-in whose acknowledgements the test gives, and the channel's owner is
// a registered thread whose queues the test reads.
namespace
{
// The replication topic: records every record published and answers with
// the next topic number, or MSL_NO_SUBSCRIBER while nobody subscribes.
class ReplicationTopic : public TopicPublisher
{
public:
    std::atomic<bool> subscribed{true};

    int32 sendMessage(const char* msg, uint32 len, uint64& topicSeq, uint64, bool, const char*, int32, bool) override
    {
        std::lock_guard lock(m_mutex);
        m_records.emplace_back(msg, len);
        topicSeq = ++m_seq;
        return subscribed ? 0 : fwFail(MSL_NO_SUBSCRIBER, -1);
    }
    int32 sendMrmMessage(MrmCmdType, uint32, const char*, int32, const char*, int32) override { return 0; }

    std::vector<std::string> records()
    {
        std::lock_guard lock(m_mutex);
        return m_records;
    }
    size_t count()
    {
        std::lock_guard lock(m_mutex);
        return m_records.size();
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_records;
    uint64 m_seq = 0;
};

template <typename Pred>
bool waitUntil(Pred pred, int ms = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class ReplicatorHarness : public ::testing::Test
{
protected:
    explicit ReplicatorHarness(const std::string& config = "REPLI_OUTSTD_MSG UINT32 2\nREPLI_TIMER_INTV INT32 20\n")
        : m_config(config), m_registry(m_config.get())
    {
        GlobalData& gd = GlobalData::getInst();
        std::memcpy(m_savedAppId, gd.m_appIdTxt, sizeof(m_savedAppId));
        std::memset(gd.m_appIdTxt, 0, sizeof(gd.m_appIdTxt));
        std::strcpy(gd.m_appIdTxt, "RPT");
        m_repl = registerTestThread(m_registry, "MSG_REPLICATOR", m_replNormal, m_replHigh, 64, CPU_UTILIZATION);
        m_ctl = registerTestThread(m_registry, "CTL_THREAD", m_ctlNormal, m_ctlHigh, 64, CPU_UTILIZATION);
        m_svc = registerTestThread(m_registry, "MSG_SERVICE", m_svcNormal, m_svcHigh, 64, CPU_UTILIZATION);
        m_net = registerTestThread(m_registry, "NET_RECEIVER", m_netNormal, m_netHigh, 64, CPU_UTILIZATION);
        m_owner = registerTestThread(m_registry, "OWNER", m_ownerNormal, m_ownerHigh, 256, CPU_UTILIZATION);
        m_owner->appThread = true;

        MsgTopicParam tp;
        m_registry.initMsgTopicParam(tp);
        setName(tp.topicNameTxt, "RPT_FW_REPL");
        setName(tp.threadNameTxt, "MSG_REPLICATOR");
        EXPECT_EQ(m_registry.registerMsgTopicRes(tp, &m_repliTopicRes), 0) << lastCode();
        m_repliTopicRes->msgTopicPtr = &m_topic;
        m_repliTopicRes->status.store(RES_ACTIVE);

        MsgTopicParam ap;
        m_registry.initMsgTopicParam(ap);
        setName(ap.topicNameTxt, "APPTOPIC");
        setName(ap.threadNameTxt, "OWNER");
        ap.openType = SUBSCRIBE;
        EXPECT_EQ(m_registry.registerMsgTopicRes(ap, &m_appTopic), 0) << lastCode();
        m_appTopic->msgQueuePtr = m_ownerNormal.get();
        m_appTopic->altMsgQueuePtr = m_ownerHigh.get();

        TcpConnParam p;
        m_registry.initTcpConnParam(p);
        setName(p.connNameTxt, "RCH");
        setName(p.threadNameTxt, "OWNER");
        p.tcpMode = TCP_CLIENT_DATA_MODE;
        p.msgFormat = MSG_FORMAT_RAW;
        setText(p.interfaceTxt, "127.0.0.1");
        setText(p.remoteAddrTxt, "127.0.0.1");
        p.remotePort = 9;
        p.replicationMode = INPUT_OUTPUT_REPLICATION;
        EXPECT_EQ(m_registry.registerTcpConnRes(p, &m_tcp, false), 0) << lastCode();
        m_tcp->msgQueuePtr = m_ownerNormal.get();
        m_tcp->altMsgQueuePtr = m_ownerHigh.get();
        m_tcp->status.store(RES_CONNECTED);
    }

    ~ReplicatorHarness() override
    {
        stop();
        std::memcpy(GlobalData::getInst().m_appIdTxt, m_savedAppId, sizeof(m_savedAppId));
    }

    void start(bool connInit = true)
    {
        m_replicator = std::make_unique<MsgReplicator>(m_repl, m_registry, GlobalData::getInst(), m_config.get());
        m_thread = std::thread([this] { m_result = m_replicator->run(m_exit); });
        post(*m_replHigh, INIT);
        ASSERT_EQ(nextEvent(*m_ctlHigh), INIT_ACK);
        if (connInit)
            post(*m_replHigh, CONN_INIT);
    }

    void stop()
    {
        if (!m_thread.joinable())
            return;
        post(*m_replHigh, TERM);
        m_thread.join();
    }

    void post(FwMessageQueue& q, FwEventID id, const char* res = "", int32 p32 = 0)
    {
        FwIntMessage m{};
        m.msgSeqNum = ++m_seq;
        setName(m.originatorTxt, "CTL_THREAD");
        setName(m.recipientTxt, "MSG_REPLICATOR");
        m.appMsg.type = MSG_EVENT;
        m.appMsg.event.id = id;
        setName(m.appMsg.event.eventParam.resNameTxt, res);
        m.appMsg.event.eventParam.paramInt32 = p32;
        ASSERT_EQ(q.putMessage(&m), 0);
    }

    // An acknowledgement from the messaging service up to seq.
    void ack(uint64 seq)
    {
        MsgReplicator::setLastRepliMsgSeq(seq);
        post(*m_replHigh, REPLICATION_ACK_RCVD);
    }

    FwIntMessage incoming(const std::string& payload)
    {
        FwIntMessage m{};
        m.msgSeqNum = ++m_seq;
        setName(m.originatorTxt, "DATA_STREAM_HDR");
        setName(m.recipientTxt, "MSG_REPLICATOR");
        m.tm = timespec{1700000000, static_cast<long>(m_seq)};
        m.appMsg.type = MSG_DATA;
        Data_t& d = m.appMsg.data;
        setName(d.channelNameTxt, "RCH");
        d.chnType = TCP_CHANNEL;
        d.dataDir = INCOMING_DATA;
        d.fdPtr = m_tcp;
        d.dataLen = static_cast<uint32>(payload.size());
        std::memcpy(d.buffer, payload.data(), payload.size());
        return m;
    }

    void postData(const FwIntMessage& m) { ASSERT_EQ(m_replNormal->putMessage(&m), 0); }

    static int32 nextEvent(FwMessageQueue& q, int ms = 10000)
    {
        FwIntMessage m{};
        bool more = false;
        if (!waitUntil([&] { return q.getMessage(&m, more) == 0; }, ms))
            return -1;
        return m.appMsg.type == MSG_EVENT ? m.appMsg.event.id : -2;
    }

    // Everything the replicator has handled up to now: CHK_END_REPLICATION
    // on the high-priority queue is answered once what was before it is done.
    void sync()
    {
        post(*m_replHigh, CHK_END_REPLICATION);
        ASSERT_EQ(nextEvent(*m_ctlHigh), CONF_END_REPLICATION);
    }

    // Payloads delivered to the owner so far, in order.
    std::vector<std::string> delivered()
    {
        FwIntMessage m{};
        bool more = false;
        while (m_ownerNormal->getMessage(&m, more) == 0)
        {
            if (m.appMsg.type == MSG_DATA)
            {
                EXPECT_STREQ(m.originatorTxt, "MSG_REPLICATOR");
                EXPECT_STREQ(m.recipientTxt, "OWNER");
                m_delivered.emplace_back(m.appMsg.data.buffer, m.appMsg.data.dataLen);
            }
            else
                m_ownerEvents.push_back(m.appMsg.event.id);
        }
        return m_delivered;
    }

    std::vector<std::string> waitDelivered(size_t n)
    {
        waitUntil([&] { return delivered().size() >= n; });
        return m_delivered;
    }

    static std::vector<std::string> names(int from, int to)
    {
        std::vector<std::string> out;
        for (int i = from; i <= to; ++i)
            out.push_back("rec-" + std::to_string(i));
        return out;
    }

    TestConfig m_config;
    ResourceManager m_registry;
    ApplicationID m_savedAppId{};
    std::unique_ptr<FwMessageQueue> m_replNormal, m_replHigh, m_ctlNormal, m_ctlHigh, m_svcNormal, m_svcHigh,
        m_netNormal, m_netHigh, m_ownerNormal, m_ownerHigh;
    ThreadResource* m_repl = nullptr;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_svc = nullptr;
    ThreadResource* m_net = nullptr;
    ThreadResource* m_owner = nullptr;
    MsgTopicResource* m_repliTopicRes = nullptr;
    MsgTopicResource* m_appTopic = nullptr;
    TcpConnResource* m_tcp = nullptr;
    ReplicationTopic m_topic;
    std::unique_ptr<MsgReplicator> m_replicator;
    std::thread m_thread;
    int32 m_result = -7;
    int32 m_exit = -7;
    uint32 m_seq = 0;
    std::vector<std::string> m_delivered;
    std::vector<int32> m_ownerEvents;
};
} // namespace

// Each record is published byte for byte as the receiving thread posted it,
// and reaches the channel's thread only once the standby has acknowledged
// it, in order: an acknowledgement up to N releases exactly the first N.
TEST_F(ReplicatorHarness, DeliversOnlyWhatTheStandbyAcknowledged)
{
    start();
    std::vector<FwIntMessage> posted;
    for (int i = 1; i <= 5; ++i)
    {
        posted.push_back(incoming("rec-" + std::to_string(i)));
        postData(posted.back());
    }
    ASSERT_TRUE(waitUntil([&] { return m_topic.count() == 5; }));
    sync();
    EXPECT_TRUE(delivered().empty()) << "delivered before any acknowledgement";

    const std::vector<std::string> records = m_topic.records();
    for (size_t i = 0; i < posted.size(); ++i)
    {
        ASSERT_EQ(records[i].size(), posted[i].usedSize());
        EXPECT_EQ(std::memcmp(records[i].data(), &posted[i], records[i].size()), 0) << i;
    }

    ack(3);
    sync();
    EXPECT_EQ(delivered(), names(1, 3));
    ack(5);
    EXPECT_EQ(waitDelivered(5), names(1, 5));
}

// Without a subscriber on the replication topic records pass straight through;
// once the topic reports that the subscriber is gone, what it held is
// released with the next record, without an acknowledgement.
TEST_F(ReplicatorHarness, WithoutStandbyRecordsPassStraightThrough)
{
    m_topic.subscribed = false;
    start();
    for (int i = 1; i <= 4; ++i)
        postData(incoming("rec-" + std::to_string(i)));
    EXPECT_EQ(waitDelivered(4), names(1, 4));
    EXPECT_EQ(m_topic.count(), 4u);

    m_topic.subscribed = true;
    postData(incoming("rec-5"));
    postData(incoming("rec-6"));
    ASSERT_TRUE(waitUntil([&] { return m_topic.count() == 6; }));
    sync();
    EXPECT_EQ(delivered(), names(1, 4));
    m_topic.subscribed = false;
    postData(incoming("rec-7"));
    EXPECT_EQ(waitDelivered(7), names(1, 7));
}

// Records that arrive before the replication topic is ready wait, and are
// replicated in arrival order once it is.
TEST_F(ReplicatorHarness, RecordsBeforeTheTopicIsReadyWaitInOrder)
{
    m_topic.subscribed = false;
    m_repliTopicRes->status.store(RES_INITIALIZED);
    start();
    for (int i = 1; i <= 3; ++i)
        postData(incoming("rec-" + std::to_string(i)));
    sync();
    EXPECT_EQ(m_topic.count(), 0u);
    m_repliTopicRes->status.store(RES_ACTIVE);
    EXPECT_EQ(waitDelivered(3), names(1, 3));
    EXPECT_TRUE(testLog().contains("[3] pending messages processed."));
}

// With the hold ring full (3 x 2 + 1 records) no more data is taken, yet the
// high-priority queue is still heard: an acknowledgement frees room, the
// replication topic's own events are never replicated, a silent standby that
// the messaging service drops releases everything held, in order, with the
// application threads told; and TERM ends the loop at once.
TEST_F(ReplicatorHarness, FullHoldRingStillHearsAcksSubscriberLossAndTerm)
{
    start();
    for (int i = 1; i <= 20; ++i)
        postData(incoming("rec-" + std::to_string(i)));
    ASSERT_TRUE(waitUntil([&] { return m_topic.count() == 7; }));
    sync();
    EXPECT_EQ(m_replicator->held(), 7u);
    EXPECT_EQ(m_replicator->holdCapacity(), 7u);
    EXPECT_EQ(m_topic.count(), 7u);
    // One record read past the full ring waits; the rest stay queued.
    EXPECT_EQ(m_replNormal->getNumElem(), 12u);
    EXPECT_TRUE(testLog().contains("The replicated message buffer is full."));

    ack(2);
    ASSERT_TRUE(waitUntil([&] { return m_topic.count() == 9; }));
    sync();
    EXPECT_EQ(delivered(), names(1, 2));
    EXPECT_EQ(m_topic.count(), 9u);

    post(*m_replHigh, FIRST_SUBSCRIBER_JOINED, "RPT_FW_REPL", 1);
    sync();
    EXPECT_EQ(m_topic.count(), 9u) << "a replication topic event was replicated";

    m_topic.subscribed = false;
    post(*m_replHigh, LAST_SUBSCRIBER_LEFT, "RPT_FW_REPL");
    EXPECT_EQ(waitDelivered(20), names(1, 20));
    FwIntMessage notice{};
    bool more = false;
    ASSERT_TRUE(waitUntil([&] { return m_ownerHigh->getMessage(&notice, more) == 0; }));
    EXPECT_EQ(notice.appMsg.event.id, REPLI_SUBSCRIBER_NOT_AVAIL);
    EXPECT_EQ(notice.appMsg.event.eventParam.paramInt64, MsgReplicator::REPLI_NO_SUBSCRIBER);

    // Full again, then TERM.
    m_topic.subscribed = true;
    post(*m_replHigh, FIRST_SUBSCRIBER_JOINED, "RPT_FW_REPL", 1);
    for (int i = 21; i <= 40; ++i)
        postData(incoming("rec-" + std::to_string(i)));
    ASSERT_TRUE(waitUntil([&] { return m_replicator->held() == 7; }));
    const auto t0 = std::chrono::steady_clock::now();
    post(*m_replHigh, TERM);
    m_thread.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(m_exit, 0);
    EXPECT_EQ(m_result, 0);
}

// Connection events go through replication too; a topic's leave answer is
// delivered once released, like on the standby.
TEST_F(ReplicatorHarness, ChannelEventsAreHeldAndDeliveredInOrder)
{
    start();
    postData(incoming("rec-1"));
    post(*m_replNormal, TOPIC_LEAVE_SUB_ACK, "APPTOPIC");
    postData(incoming("rec-2"));
    ASSERT_TRUE(waitUntil([&] { return m_topic.count() == 3; }));
    sync();
    EXPECT_TRUE(delivered().empty());
    EXPECT_TRUE(m_ownerEvents.empty());
    ack(3);
    EXPECT_EQ(waitDelivered(2), names(1, 2));
    ASSERT_EQ(m_ownerEvents.size(), 1u);
    EXPECT_EQ(m_ownerEvents[0], TOPIC_LEAVE_SUB_ACK);
}

// Outgoing data leaves on the channel only after the acknowledgement.
TEST_F(ReplicatorHarness, OutgoingDataIsSentAfterTheAcknowledgement)
{
    LoopbackConn conn;
    m_tcp->dataSockPtr = conn.sock.get();
    start();
    FwIntMessage m = incoming("out-1");
    m.appMsg.data.dataDir = OUTGOING_DATA;
    setName(m.originatorTxt, "OWNER");
    postData(m);
    ASSERT_TRUE(waitUntil([&] { return m_topic.count() == 1; }));
    sync();
    EXPECT_EQ(conn.read(5, 100), "");
    ack(1);
    EXPECT_EQ(conn.read(5), "out-1");
    stop();
    m_tcp->dataSockPtr = nullptr;
}

// Without a replication topic registered the thread still serves the control
// thread, and records take effect unreplicated rather than waiting for ever.
TEST_F(ReplicatorHarness, WithoutReplicationTopicRecordsTakeEffect)
{
    std::strcpy(GlobalData::getInst().m_appIdTxt, "NOPE");
    start();
    for (int i = 1; i <= 3; ++i)
        postData(incoming("rec-" + std::to_string(i)));
    EXPECT_EQ(waitDelivered(3), names(1, 3));
    EXPECT_EQ(m_topic.count(), 0u);
    EXPECT_TRUE(testLog().contains("getting the replication topic resource pointer"));
}
