#include "FendralCore/tests/dispatchops/LoopbackConn.h"
#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/RecordingTopic.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/messaging/ReplicatedOutput.h"
#include "FendralCore/runtime/StreamBuffer.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// The sends the replicator makes once outgoing data has been acknowledged, on
// real loopback sockets and real queues: a TCP peer that stops reading, a
// would-block that clears within the retries, a buffer that overflows, and a
// topic that does not take its messages.
namespace
{
class OutputHarness : public ::testing::Test
{
protected:
    OutputHarness() : m_config("STS_RPT_INTERVAL INT32 5\n"), m_registry(m_config.get())
    {
        m_net = registerTestThread(m_registry, "NET_RECEIVER", m_netNormal, m_netHigh, 64, LOW_LATENCY);
        m_owner = registerTestThread(m_registry, "OWNER", m_ownerNormal, m_ownerHigh, 64, LOW_LATENCY);
        m_repl = registerTestThread(m_registry, "MSG_REPLICATOR", m_replNormal, m_replHigh, 64, LOW_LATENCY);
        m_sender = std::make_unique<EventMessage>(m_repl, m_registry);
    }

    std::unique_ptr<ReplicatedOutput> makeOutput(std::function<void()> pause = [] {})
    {
        ReplicatedOutput::Settings s;
        s.wouldBlockPause = std::move(pause);
        return std::make_unique<ReplicatedOutput>(*m_sender, m_seq, m_net, 65536, std::move(s));
    }

    // A connected channel of OWNER on conn's socket.
    void connectChannel(TcpConnResource& res, LoopbackConn& conn)
    {
        setName(res.tcpConnNameTxt, "OUTCH");
        setName(res.regParam.threadNameTxt, "OWNER");
        res.regParam.channelType = NORMAL_CHANNEL;
        res.status.store(RES_CONNECTED);
        res.dataSockPtr = conn.sock.get();
        res.msgQueuePtr = m_ownerNormal.get();
        res.altMsgQueuePtr = m_ownerHigh.get();
        res.streamBufPtr = &m_stream;
    }

    static FwIntMessage record(ExtChannelType type, const std::string& payload, int32 part = 0, bool more = false)
    {
        FwIntMessage m{};
        m.msgSeqNum = 7;
        setName(m.originatorTxt, "APP1");
        m.appMsg.type = MSG_DATA;
        Data_t& d = m.appMsg.data;
        d.chnType = type;
        d.dataDir = OUTGOING_DATA;
        d.dataLen = static_cast<uint32>(payload.size());
        d.msgPartNum = part;
        d.more = more;
        std::memcpy(d.buffer, payload.data(), payload.size());
        return m;
    }

    // Every event waiting in q, by id.
    static std::vector<FwIntMessage> events(FwMessageQueue& q)
    {
        std::vector<FwIntMessage> out;
        FwIntMessage m{};
        bool more = false;
        while (q.getMessage(&m, more) == 0)
            out.push_back(m);
        return out;
    }

    static int count(const std::vector<FwIntMessage>& evts, FwEventID id)
    {
        int n = 0;
        for (const FwIntMessage& m : evts)
            n += m.appMsg.type == MSG_EVENT && m.appMsg.event.id == id;
        return n;
    }

    TestConfig m_config;
    ResourceManager m_registry;
    std::unique_ptr<FwMessageQueue> m_netNormal, m_netHigh, m_ownerNormal, m_ownerHigh, m_replNormal, m_replHigh;
    ThreadResource* m_net = nullptr;
    ThreadResource* m_owner = nullptr;
    ThreadResource* m_repl = nullptr;
    std::unique_ptr<EventMessage> m_sender;
    StreamBuffer m_stream{4096, LOW_LATENCY, false};
    uint32 m_seq = 0;
};

std::string chunk(int i, size_t len)
{
    std::string s(len, static_cast<char>('a' + i % 26));
    std::memcpy(s.data(), &i, sizeof(i));
    return s;
}
} // namespace

// A peer that stops reading: what the socket cannot take waits in the
// channel's buffer; past the threshold the channel is congested and its owner
// hears NET_CONGEST once; when the peer reads again the timer's flush empties
// the buffer, clears the flag and sends NET_FREE. The peer gets every byte in
// order.
TEST_F(OutputHarness, SlowTcpPeerCongestsThenFrees)
{
    LoopbackConn conn(4096, 4096);
    TcpConnResource res{};
    connectChannel(res, conn);
    auto out = makeOutput();

    std::string expected;
    int i = 0;
    for (; i < 200 && !res.congested; ++i)
    {
        const std::string p = chunk(i, 2000);
        expected += p;
        const int32 before = out->tcpBuffered(res);
        ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, p)), 0);
        // The flag is set on the very message that crosses the threshold.
        if (res.congested)
            EXPECT_GT(out->tcpBuffered(res), ReplicatedOutput::DEFAULT_TMP_BUF_LIMIT);
        else
            EXPECT_LE(out->tcpBuffered(res), ReplicatedOutput::DEFAULT_TMP_BUF_LIMIT) << before;
    }
    ASSERT_TRUE(res.congested) << "never congested after " << i << " messages";
    std::vector<FwIntMessage> evts = events(*m_ownerNormal);
    ASSERT_EQ(count(evts, NET_CONGEST), 1);
    EXPECT_STREQ(evts[0].appMsg.event.eventParam.resNameTxt, "OUTCH");
    EXPECT_EQ(evts[0].appMsg.event.eventParam.paramInt32, TCP_RES);
    // More while congested: queued behind, no second notice.
    const std::string late = chunk(999, 1500);
    expected += late;
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, late)), 0);
    EXPECT_EQ(count(events(*m_ownerNormal), NET_CONGEST), 0);

    std::string got;
    std::thread reader([&] { got = conn.read(expected.size(), 20000); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (out->tcpBuffered(res) > 0 && std::chrono::steady_clock::now() < deadline)
    {
        out->flushBuffered();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    EXPECT_EQ(out->tcpBuffered(res), 0);
    EXPECT_FALSE(res.congested);
    EXPECT_EQ(count(events(*m_ownerNormal), NET_FREE), 1);
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes out of order";
    EXPECT_FALSE(out->hasBuffered());
}

// A buffer that cannot take more has the network thread close the channel
// with the error as its reason; this thread never shuts the socket, empties
// the buffer, and drops what still comes for the channel until it is closed.
TEST_F(OutputHarness, OverflowAsksTheNetworkThreadToClose)
{
    LoopbackConn conn(4096, 4096);
    TcpConnResource res{};
    connectChannel(res, conn);
    auto out = makeOutput();

    std::vector<FwIntMessage> closes;
    for (int i = 0; i < 400 && closes.empty(); ++i)
    {
        ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, chunk(i, 2200))), 0);
        closes = events(*m_netNormal);
    }
    ASSERT_EQ(closes.size(), 1u);
    const EventMsg& rq = closes[0].appMsg.event;
    EXPECT_EQ(rq.id, CONN_CLOSE_RQS);
    EXPECT_STREQ(rq.eventParam.resNameTxt, "OUTCH");
    EXPECT_EQ(rq.eventParam.resPtr, &res);
    EXPECT_EQ(rq.eventParam.paramInt64, reinterpret_cast<int64>(&m_stream));
    EXPECT_NE(rq.eventParam.paramInt32, 0);
    EXPECT_EQ(res.connCloseReason, rq.eventParam.paramInt32);
    EXPECT_EQ(out->tcpBuffered(res), 0);
    EXPECT_FALSE(res.congested);
    EXPECT_EQ(conn.sock->getConnStatus(), CONN_STATUS_CONNECTED) << "the replicator shut the socket";
    EXPECT_TRUE(testLog().contains("storing the un-sent data to the TMP buffer"));

    // Until the network thread has closed it, the channel takes nothing more.
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, chunk(1, 100))), 0);
    EXPECT_EQ(out->tcpBuffered(res), 0);
    EXPECT_TRUE(events(*m_netNormal).empty());
    // Its end released (the next connection may get a stream at the same
    // address): the record takes data again.
    out->dropTcpBuffer(res);
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, chunk(2, 100))), 0);
    EXPECT_EQ(out->tcpBuffered(res), 100) << "the socket is full: the message waits, not dropped";
}

// Would-blocks in a row are waited out four times; the fifth buffers the
// rest. Four and then room sends the message straight, nothing buffered.
TEST_F(OutputHarness, FourWouldBlocksThenSuccessSendsNormally)
{
    struct Case
    {
        int drainAtPause; // 0: never
        int pauses;
        bool buffered;
    };
    for (const Case c : {Case{4, 4, false}, Case{1, 1, false}, Case{0, 4, true}})
    {
        SCOPED_TRACE(c.drainAtPause);
        LoopbackConn conn(4096, 4096);
        TcpConnResource res{};
        connectChannel(res, conn);
        // Fill the socket until it would block.
        const int fd = conn.sock->getFileDescriptor();
        const std::string fill(65536, 'f');
        size_t filled = 0;
        for (;;)
        {
            const ssize_t n = ::send(fd, fill.data(), fill.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0)
                break;
            filled += static_cast<size_t>(n);
        }
        int pauses = 0;
        auto out = makeOutput([&] {
            if (++pauses != c.drainAtPause)
                return;
            ASSERT_EQ(conn.read(filled).size(), filled);
            pollfd p{fd, POLLOUT, 0};
            ASSERT_EQ(::poll(&p, 1, 5000), 1);
        });
        const std::string msg = chunk(3, 100);
        ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, msg)), 0);
        EXPECT_EQ(pauses, c.pauses);
        EXPECT_EQ(out->tcpBuffered(res), c.buffered ? 100 : 0);
        EXPECT_EQ(out->hasBuffered(), c.buffered);
        if (!c.buffered)
        {
            EXPECT_EQ(conn.read(msg.size()), msg);
        }
        EXPECT_FALSE(res.congested);
        EXPECT_TRUE(events(*m_ownerNormal).empty());
    }
}

// Parts of one outgoing message are joined per sending thread and leave as
// one send; a part out of order drops the join and a first part restarts it.
TEST_F(OutputHarness, TcpPartsGoOutWhole)
{
    LoopbackConn conn;
    TcpConnResource res{};
    connectChannel(res, conn);
    auto out = makeOutput();
    const std::string a(2200, 'a');
    const std::string b(2200, 'b');
    const std::string c(50, 'c');
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, a, 0, true)), 0);
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, b, 1, true)), 0);
    // Part 3 where 2 was due: the join is dropped.
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, c, 3, false)), 0);
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, b, 0, true)), 0);
    ASSERT_EQ(out->sendTcp(res, record(TCP_CHANNEL, c, 1, false)), 0);
    EXPECT_EQ(conn.read(b.size() + c.size(), 2000), b + c);
}

// A topic that does not take its messages: they wait oldest first, a new one
// never overtakes them, the topic is congested past half its history size,
// and what still comes (sent before the congestion) is kept past the history
// size, counted, never dropped; the timer's resend empties it in order and
// sends NET_FREE.
TEST_F(OutputHarness, TopicPendingListIsOrderedAndDropsNothing)
{
    RecordingTopic topic;
    MsgTopicResource res{};
    setName(res.topicNameTxt, "OUTTP");
    setName(res.regParam.threadNameTxt, "OWNER");
    res.regParam.historyBufSize = 4;
    res.status.store(RES_ACTIVE);
    res.msgTopicPtr = &topic;
    res.msgQueuePtr = m_ownerNormal.get();
    auto out = makeOutput();

    // 1 would block, then each later one finds 1 still refused.
    topic.answer({WOULD_BLOCK, WOULD_BLOCK, WOULD_BLOCK, WOULD_BLOCK, WOULD_BLOCK});
    for (int i = 1; i <= 5; ++i)
    {
        uint64 seq = 99;
        FwIntMessage m = record(MSG_TOPIC_CHANNEL, "m" + std::to_string(i));
        m.appMsg.data.applMsgSeq = static_cast<uint64>(100 + i);
        ASSERT_EQ(out->sendTopic(res, m, seq), 0);
        EXPECT_EQ(seq, 0u);
        if (i == 2)
        {
            EXPECT_FALSE(res.congested);
        }
        if (i == 3)
        {
            EXPECT_TRUE(res.congested) << "more than half the history size waits";
        }
    }
    EXPECT_EQ(out->topicPending(res), 5u);
    EXPECT_EQ(out->topicPastBound(), 1u);
    EXPECT_TRUE(testLog().contains("The pending list of topic [OUTTP] passed its history size"));
    EXPECT_EQ(count(events(*m_ownerNormal), NET_CONGEST), 1);

    out->flushBuffered();
    EXPECT_EQ(out->topicPending(res), 0u);
    EXPECT_FALSE(res.congested);
    EXPECT_EQ(count(events(*m_ownerNormal), NET_FREE), 1);
    uint64 seq = 0;
    ASSERT_EQ(out->sendTopic(res, record(MSG_TOPIC_CHANNEL, "m6"), seq), 0);
    EXPECT_NE(seq, 0u);

    std::vector<std::string> accepted;
    const std::vector<RecordingTopic::Sent> sent = topic.sent();
    for (size_t k = 5; k < sent.size(); ++k) // the five refused tries first
        accepted.push_back(sent[k].payload);
    EXPECT_EQ(accepted, (std::vector<std::string>{"m1", "m2", "m3", "m4", "m5", "m6"}));
    EXPECT_EQ(sent[5].applSeqNum, 101u);
}
