// The stream thread driven as the network receiver drives it: a real stream
// buffer written with frames, records on the event ring, STREAM_ADD and
// STREAM_DEL, and the owning thread's real queues and parking store.
#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/dispatchops/LoopbackConn.h"

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/dispatch/SingleRwRingBuffer2.h"
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/dispatch/StreamEventRecord.h"
#include "FendralCore/dispatch/StreamHandler.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
constexpr uint32 OWNER_QUEUE_LEN = 16;

std::string quor(size_t bodyLen, char fill = 'b')
{
    std::string f(10 + bodyLen, fill);
    const auto size = static_cast<uint16_t>(bodyLen);
    std::memcpy(f.data(), &size, 2);
    std::memset(f.data() + 2, 0, 8);
    return f;
}

// Waits until the queue's descriptor says a message is there (CPU_UTILIZATION queues).
bool waitReadable(FwMessageQueue& q)
{
    pollfd p{q.getFileDescriptor(), POLLIN, 0};
    return ::poll(&p, 1, 10000) == 1;
}

FwIntMessage take(FwMessageQueue& q)
{
    FwIntMessage msg{};
    bool more = false;
    if (q.getMessage(&msg, more) != 0)
        msg.appMsg.type = MSG_UNKNOWN;
    return msg;
}
} // namespace

class StreamHandlerTest : public ::testing::Test
{
protected:
    explicit StreamHandlerTest(OptimizationMode mode = LOW_LATENCY, const std::string& config = "")
        : m_mode(mode), m_config(config), m_registry(m_config.get())
    {
        m_savedMode = GlobalData::getInst().m_optMode.load();
        GlobalData::getInst().m_optMode.store(mode);
        GlobalData::getInst().m_repliServiceEnabled = false;
        m_self = registerThread("DATA_STREAM_HDR", m_selfNormal, m_selfHigh, 64);
        m_ctl = registerThread("CTL_THREAD", m_ctlNormal, m_ctlHigh, 64);
        m_owner = registerThread("OWNER", m_ownerNormal, m_ownerHigh, OWNER_QUEUE_LEN);

        ResourceManager::copyResourceName(m_res.tcpConnNameTxt, "CONN1");
        ResourceManager::copyResourceName(m_res.regParam.threadNameTxt, "OWNER");
        m_res.regParam.msgFormat = MSG_FORMAT_QUOR;
        m_res.regParam.tcpMode = TCP_CLIENT_DATA_MODE;
        m_res.regParam.msgJournalEnabled = true;
        m_res.msgQueuePtr = m_ownerNormal.get();
        m_res.altMsgQueuePtr = m_ownerHigh.get();
        m_res.tmpMsgStorePtr = &m_store;
        m_res.status.store(RES_CONNECTED);
        m_res.streamBufPtr = new StreamBuffer(&m_res, 65536, mode, false);

        m_handler = std::make_unique<StreamHandler>(m_self, m_registry, GlobalData::getInst(), m_config.get());
        m_handler->setStreamEventRing(&m_ring);
    }

    ~StreamHandlerTest() override
    {
        m_handler.reset();
        delete m_res.streamBufPtr; // only when the handler never took it
        GlobalData::getInst().m_optMode.store(m_savedMode);
    }

    ThreadResource* registerThread(const char* name, std::unique_ptr<FwMessageQueue>& normal,
                                   std::unique_ptr<FwMessageQueue>& high, uint32 len)
    {
        ThreadResource* res = registerTestThread(m_registry, name, normal, high, len, m_mode);
        EXPECT_NE(res, nullptr) << name;
        return res;
    }

    // As the network receiver: the bytes into the ring, their record, then
    // the reader's wake-up.
    void receive(const std::string& bytes, StreamBuffer* sb = nullptr, UInt128 key = UInt128())
    {
        sb = sb != nullptr ? sb : m_res.streamBufPtr;
        int32 written = 0;
        int32 head = 0;
        ASSERT_EQ(sb->enqueue(bytes.data(), static_cast<int32>(bytes.size()), written, head, true, false), 0);
        StreamEventRecord rec{};
        rec.tcpResId = key == UInt128() ? loadTcpConnNameKey(m_res) : key;
        rec.streamBufPtr = sb;
        rec.effectiveHdIdx = head;
        ASSERT_EQ(m_ring.enqueue(rec), 0);
        ASSERT_EQ(sb->wakeReader(), 0);
    }

    void fillOwner(uint32 leaveFree)
    {
        FwIntMessage filler{};
        filler.appMsg.type = MSG_EVENT;
        while (m_ownerNormal->getNumFreeEntry() > leaveFree)
            ASSERT_EQ(m_ownerNormal->putMessage(&filler), 0);
    }

    void drainOwner()
    {
        while (take(*m_ownerNormal).appMsg.type != MSG_UNKNOWN)
        {
        }
    }

    int32 pass()
    {
        int32 count = 0;
        EXPECT_EQ(m_handler->processAllDataStreams(count), 0);
        return count;
    }

    OptimizationMode m_mode;
    OptimizationMode m_savedMode;
    TestConfig m_config;
    ResourceManager m_registry;
    std::unique_ptr<FwMessageQueue> m_selfNormal, m_selfHigh, m_ctlNormal, m_ctlHigh, m_ownerNormal, m_ownerHigh;
    ThreadResource* m_self = nullptr;
    ThreadResource* m_ctl = nullptr;
    ThreadResource* m_owner = nullptr;
    TcpConnResource m_res{};
    MessageStore m_store;
    SingleRwRingBuffer2<StreamEventRecord> m_ring{61};
    std::unique_ptr<StreamHandler> m_handler;
};

TEST_F(StreamHandlerTest, ConnectionLifeAndAMessageCutIntoParts)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    FwIntMessage evt = take(*m_ownerNormal);
    ASSERT_EQ(evt.appMsg.type, MSG_EVENT);
    EXPECT_EQ(evt.appMsg.event.id, CONNECTED);
    EXPECT_EQ(evt.appMsg.event.eventParam.resPtr, &m_res);
    EXPECT_EQ(m_res.streamBufPtr->getStreamBufStatus(), 1);

    // 4401 bytes: parts of 2200, 2200 and 1.
    const std::string frame = quor(4391, 'x');
    receive(frame);
    EXPECT_EQ(pass(), 1);
    std::string joined;
    uint32 firstSeq = 0;
    const uint32 sizes[] = {2200, 2200, 1};
    for (int32 part = 0; part < 3; ++part)
    {
        const FwIntMessage m = take(*m_ownerNormal);
        ASSERT_EQ(m.appMsg.type, MSG_DATA) << part;
        const Data_t& d = m.appMsg.data;
        EXPECT_EQ(d.dataLen, sizes[part]);
        EXPECT_EQ(d.msgPartNum, part);
        EXPECT_EQ(d.more, part < 2);
        EXPECT_EQ(d.peerAppSiteId, 1) << "the channel journals its messages";
        EXPECT_STREQ(d.channelNameTxt, "CONN1");
        EXPECT_STREQ(m.recipientTxt, "OWNER");
        EXPECT_EQ(d.fdPtr, &m_res);
        if (part == 0)
            firstSeq = m.msgSeqNum;
        else
            EXPECT_EQ(m.msgSeqNum, firstSeq + static_cast<uint32>(part));
        joined.append(d.buffer, d.dataLen);
    }
    EXPECT_EQ(joined, frame);

    // The close reason recorded by the receiver wins over the generic one.
    m_res.connCloseReason = 1234;
    m_res.status.store(RES_DISCONNECTED);
    ASSERT_EQ(m_handler->delStream(&m_res, CONN_CLOSED), 0);
    evt = take(*m_ownerNormal);
    ASSERT_EQ(evt.appMsg.type, MSG_EVENT);
    EXPECT_EQ(evt.appMsg.event.id, DISCONNECTED);
    EXPECT_EQ(evt.appMsg.event.eventParam.paramInt32, 1234);
    EXPECT_EQ(m_res.connCloseReason, 0);
    EXPECT_EQ(m_res.streamBufPtr, nullptr);
    EXPECT_EQ(m_res.status.load(), RES_INITIALIZED);
}

// The stream thread stops before the network thread, which may still write
// into the buffers of connections that are open: those outlive the handler
// and stay linked. Once the network thread has ended the handler frees them.
TEST_F(StreamHandlerTest, BuffersTheNetworkThreadStillWritesOutliveTheHandler)
{
    std::unique_ptr<FwMessageQueue> netNormal, netHigh;
    ThreadResource* net = registerThread("NET_RECEIVER", netNormal, netHigh, 16);
    ASSERT_NE(net, nullptr);
    for (const bool writerRunning : {true, false})
    {
        SCOPED_TRACE(writerRunning ? "network thread running" : "network thread ended");
        if (m_handler == nullptr)
        {
            m_res.streamBufPtr = new StreamBuffer(&m_res, 65536, m_mode, false);
            m_handler = std::make_unique<StreamHandler>(m_self, m_registry, GlobalData::getInst(), m_config.get());
            m_handler->setStreamEventRing(&m_ring);
        }
        ASSERT_EQ(m_handler->initialize(), 0);
        ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
        net->status.store(writerRunning ? RES_ACTIVE : RES_TERMINATED);
        m_handler.reset();
        if (writerRunning)
        {
            ASSERT_NE(m_res.streamBufPtr, nullptr);
            int32 written = 0;
            const std::string late = quor(20);
            EXPECT_EQ(m_res.streamBufPtr->enqueue(late.data(), static_cast<int32>(late.size()), written, true), 0);
            EXPECT_EQ(m_res.streamBufPtr->wakeReader(), 0);
            delete m_res.streamBufPtr; // as the network thread does when it ends
            m_res.streamBufPtr = nullptr;
        }
        else
            EXPECT_EQ(m_res.streamBufPtr, nullptr);
    }
}

TEST_F(StreamHandlerTest, DelStreamDrainsWholeFramesAndReportsItsOwnReasonOtherwise)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();
    int32 written = 0;
    const std::string bytes = quor(5) + quor(6) + quor(7).substr(0, 4);
    ASSERT_EQ(m_res.streamBufPtr->enqueue(bytes.data(), static_cast<int32>(bytes.size()), written, true), 0);
    ASSERT_EQ(m_handler->delStream(&m_res, 777), 0);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.data.dataLen, 15u);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.data.dataLen, 16u);
    const FwIntMessage evt = take(*m_ownerNormal);
    EXPECT_EQ(evt.appMsg.event.id, DISCONNECTED);
    EXPECT_EQ(evt.appMsg.event.eventParam.paramInt32, 777);
}

// A queue with 11 free entries or fewer is full for data; once a message is
// parked the rest of the pass parks behind it, and the timer retry and the
// next pass deliver them first, in order.
TEST_F(StreamHandlerTest, ReserveParkingCongestionAndOrderedRetry)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();

    fillOwner(12);
    receive(quor(1, 'a'));
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(m_ownerNormal->getNumFreeEntry(), 11u) << "12 free: put";

    receive(quor(1, 'b') + quor(1, 'c') + quor(1, 'd'));
    EXPECT_EQ(pass(), 3);
    EXPECT_EQ(m_ownerNormal->getNumFreeEntry(), 11u) << "11 free: parked";
    const FwIntMessage congest = take(*m_ownerHigh);
    ASSERT_EQ(congest.appMsg.type, MSG_EVENT);
    EXPECT_EQ(congest.appMsg.event.id, MSG_QUEUE_CONGEST);
    EXPECT_EQ(congest.appMsg.event.eventParam.paramInt32, BUFFER_FULL);
    EXPECT_EQ(take(*m_ownerHigh).appMsg.type, MSG_UNKNOWN) << "one congestion event per episode";
    EXPECT_TRUE(m_store.isMsgAvail(STREAM_HDR_MSG_LIST, MQUEUE_NORMAL));

    drainOwner();
    receive(quor(1, 'e'));
    EXPECT_EQ(pass(), 1);
    std::string order;
    for (FwIntMessage m = take(*m_ownerNormal); m.appMsg.type == MSG_DATA; m = take(*m_ownerNormal))
        order += m.appMsg.data.buffer[10];
    EXPECT_EQ(order, "bcde");
    EXPECT_FALSE(m_store.isMsgAvail(STREAM_HDR_MSG_LIST, MQUEUE_NORMAL));

    // Parked messages also leave on the timer retry, without new data.
    fillOwner(11);
    receive(quor(1, 'f'));
    pass();
    drainOwner();
    ASSERT_EQ(m_handler->retryForwardMsg(), 0);
    const FwIntMessage retried = take(*m_ownerNormal);
    ASSERT_EQ(retried.appMsg.type, MSG_DATA);
    EXPECT_EQ(retried.appMsg.data.buffer[10], 'f');
}

TEST_F(StreamHandlerTest, RecordsOfAnotherConnectionOrUnknownBuffersAreSkipped)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();

    ResourceName other{};
    ResourceManager::copyResourceName(other, "CONN2");
    receive(quor(3), nullptr, UInt128(other, true));
    EXPECT_EQ(pass(), 0) << "a record of a closed session that had the same buffer address";
    EXPECT_EQ(m_res.streamBufPtr->availEntry(), 13);

    StreamBuffer stranger(&m_res, 64, LOW_LATENCY, false);
    receive(quor(3), &stranger);
    EXPECT_EQ(pass(), 0) << "a buffer never added";

    StreamEventRecord nullRec{};
    ASSERT_EQ(m_ring.enqueue(nullRec), 0);
    EXPECT_EQ(pass(), 0);

    receive("");
    EXPECT_EQ(pass(), 1) << "a matching record takes the frame its head covers";
}

TEST_F(StreamHandlerTest, AFramingErrorFailsThePassWithoutForwarding)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();
    // Larger than the biggest message the framework carries.
    receive(quor(40000).substr(0, 100));
    int32 count = 0;
    int32 partial = 0;
    EXPECT_EQ(m_handler->processDataStream(m_res.streamBufPtr, count, partial, true, -1), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_UNKNOWN);
    EXPECT_EQ(m_res.streamBufPtr->availEntry(), 0) << "the unreadable bytes were taken out";
}

// The network thread closes a channel's socket (and may reconnect or delete
// it) while this thread still cuts the stream's last messages: they carry the
// peer recorded with the stream, not what the closed socket says by then.
TEST_F(StreamHandlerTest, LastMessagesAfterTheSocketClosedKeepThePeerOfTheStream)
{
    LoopbackConn conn;
    TcpDataSocket* sock = conn.sock.get();
    uint32 addr = 0;
    uint16 port = 0;
    ASSERT_EQ(sock->getPeer(addr, port), 0);
    ASSERT_EQ(addr, htonl(INADDR_LOOPBACK));
    // As the network thread does when it creates the stream.
    m_res.dataSockPtr = sock;
    m_res.streamBufPtr->setPeer(addr, port);

    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    const FwIntMessage added = take(*m_ownerNormal);
    EXPECT_EQ(added.appMsg.event.eventParam.paramInt32, static_cast<int32>(addr));
    EXPECT_EQ(added.appMsg.event.eventParam.paramInt16, static_cast<int16>(port));
    receive(quor(5));
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.data.peerIpAddr, addr);

    // The peer's last frame is in the stream when the socket closes.
    receive(quor(6));
    sock->disconnect();
    m_res.status.store(RES_DISCONNECTED);
    ASSERT_EQ(m_handler->delStream(&m_res, CONN_CLOSED), 0);
    const FwIntMessage last = take(*m_ownerNormal);
    ASSERT_EQ(last.appMsg.type, MSG_DATA);
    EXPECT_EQ(last.appMsg.data.dataLen, 16u);
    EXPECT_EQ(last.appMsg.data.peerIpAddr, addr);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.event.id, DISCONNECTED);
    m_res.dataSockPtr = nullptr;
}

TEST_F(StreamHandlerTest, TheRemainderPassKeepsABusyStreamWithinItsBudget)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();
    // Not ready yet: the record's stream waits in the remainder list.
    m_res.streamBufPtr->setStreamBufStatus(0);
    receive(quor(2) + quor(2));
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(m_handler->getNumRemainderStreams(), 1);
    m_res.streamBufPtr->setStreamBufStatus(1);
    EXPECT_EQ(pass(), 2);
    EXPECT_EQ(m_handler->getNumRemainderStreams(), 0);
}

class StreamHandlerThreadTest : public StreamHandlerTest
{
protected:
    // A budget of 3 messages per remainder pass.
    StreamHandlerThreadTest() : StreamHandlerTest(CPU_UTILIZATION, "SH_MSG_PROC_NUM INT32 3\n") {}

    ~StreamHandlerThreadTest() override
    {
        if (m_thread.joinable())
            stop();
        GlobalData::getInst().m_streamEvtBufPtr = nullptr;
    }

    // Runs the thread, answers INIT and adds the stream.
    void start()
    {
        GlobalData::getInst().m_streamEvtBufPtr = &m_ring;
        m_thread = std::thread([this] { m_result = m_handler->run(m_exitFlag); });
        ASSERT_EQ(m_sender.sendEventMsg(m_self, MQUEUE_HIGH_PRIORITY, INIT, m_none, m_seq), 0);
        ASSERT_TRUE(waitReadable(*m_ctlHigh));
        EXPECT_EQ(take(*m_ctlHigh).appMsg.event.id, INIT_ACK);

        ASSERT_EQ(m_sender.sendEventMsg(m_self, MQUEUE_HIGH_PRIORITY, CONN_INIT, m_none, m_seq), 0);
        EventParam add{};
        add.resPtr = &m_res;
        add.paramInt32 = CONNECTED;
        ASSERT_EQ(m_sender.sendEventMsg(m_self, MQUEUE_HIGH_PRIORITY, STREAM_ADD, add, m_seq), 0);
        ASSERT_TRUE(waitReadable(*m_ownerNormal));
        EXPECT_EQ(take(*m_ownerNormal).appMsg.event.id, CONNECTED);
    }

    void stop()
    {
        ASSERT_EQ(m_sender.sendEventMsg(m_self, MQUEUE_HIGH_PRIORITY, TERM, m_none, m_seq), 0);
        m_thread.join();
    }

    // The fill byte of each of n data messages the owner receives, in order;
    // stops early when one does not come within two seconds.
    std::string collect(int32 n)
    {
        std::string fills;
        bool more = false;
        for (int32 i = 0; i < n; ++i)
        {
            // One wake-up announces a whole batch.
            pollfd p{m_ownerNormal->getFileDescriptor(), POLLIN, 0};
            if (!more && ::poll(&p, 1, 2000) != 1)
                break;
            FwIntMessage m{};
            if (m_ownerNormal->getMessage(&m, more) != 0)
                break;
            if (m.appMsg.type == MSG_DATA)
                fills += m.appMsg.data.buffer[10];
        }
        return fills;
    }

    EventMessage m_sender{m_ctl, m_registry};
    uint32 m_seq = 0;
    EventParam m_none{};
    std::thread m_thread;
    int32 m_exitFlag = -1;
    int32 m_result = -1;
};

// The whole thread in CPU_UTILIZATION mode: woken by its queues and by the
// stream buffer's descriptor, it answers INIT, adds the stream, forwards a
// frame and ends on TERM with exit flag 0.
TEST_F(StreamHandlerThreadTest, RunsUntilTerm)
{
    start();
    receive(quor(20, 'z'));
    ASSERT_TRUE(waitReadable(*m_ownerNormal));
    const FwIntMessage data = take(*m_ownerNormal);
    ASSERT_EQ(data.appMsg.type, MSG_DATA);
    EXPECT_EQ(data.appMsg.data.dataLen, 30u);

    stop();
    EXPECT_EQ(m_result, 0);
    EXPECT_EQ(m_exitFlag, 0);
}

// The thread takes a ring's wake-ups once per pass, not once per message:
// a read of many frames is delivered whole and leaves the ring silent (no
// busy loop), and a stream left holding whole frames, not ready yet or past
// its budget of a remainder pass, wakes the thread again by itself.
TEST_F(StreamHandlerThreadTest, WakeUpsAreTakenPerPassAndNoneIsLost)
{
    start();
    StreamBuffer* sb = m_res.streamBufPtr;
    auto silent = [sb] {
        pollfd p{sb->getFileDescriptor(), POLLIN, 0};
        for (int32 i = 0; i < 2000; ++i, ::usleep(1000))
            if (::poll(&p, 1, 0) == 0)
                return true;
        return false;
    };
    std::string frames;
    for (char c = 'a'; c <= 'h'; ++c)
        frames += quor(4, c);
    receive(frames);
    EXPECT_EQ(collect(8), "abcdefgh");
    EXPECT_TRUE(silent());

    // The record is taken while the stream is not ready: the stream waits in
    // the remainder list, then goes out 3 messages a pass.
    sb->setStreamBufStatus(0);
    frames.clear();
    for (char c = 'i'; c <= 'p'; ++c)
        frames += quor(4, c);
    receive(frames);
    for (int32 i = 0; i < 2000 && m_ring.getNumEntries() > 0; ++i)
        ::usleep(1000);
    ::usleep(20000);
    sb->setStreamBufStatus(1);
    EXPECT_EQ(collect(8), "ijklmnop");
    EXPECT_TRUE(silent());
}

// A pipeline channel: the header goes in front of the message, a full
// pipeline parks the rest of the pass and raises PIPELINE_CONGEST, and a
// message that cannot fit an entry is refused.
TEST_F(StreamHandlerTest, PipelineChannelParksBehindAFullPipeline)
{
    Pipeline pipeline(4, 2376, 1, LOW_LATENCY, false);
    ASSERT_TRUE(pipeline.isValid());
    PlMessageStore plStore;
    m_res.usePipeline = true;
    m_res.pipelinePtr = &pipeline;
    m_res.tmpPlMsgStorePtr = &plStore;
    ResourceManager::copyResourceName(m_res.regParam.pipelineNameTxt, "PL1");
    ASSERT_EQ(m_handler->initialize(), 0);

    // The CONNECTED event travels through the pipeline too.
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    std::vector<char> buf(4096);
    PipelineMsgHeader hdr{};
    ASSERT_EQ(pipeline.dequeue(0, buf.data(), static_cast<uint32>(buf.size()), hdr, 1), 0);
    EXPECT_EQ(hdr.type, MSG_EVENT);
    FwIntMessage evt{};
    std::memcpy(&evt, buf.data(), hdr.dataLen);
    EXPECT_EQ(evt.appMsg.event.id, CONNECTED);

    std::string frames;
    for (char c = 'a'; c <= 'f'; ++c)
        frames += quor(5, c);
    receive(frames);
    EXPECT_EQ(pass(), 6);
    const FwIntMessage congest = take(*m_ownerNormal);
    EXPECT_EQ(congest.appMsg.event.id, PIPELINE_CONGEST);
    EXPECT_EQ(congest.appMsg.event.eventParam.paramInt32, BUFFER_FULL);
    EXPECT_TRUE(plStore.isMsgAvail(STREAM_HDR_MSG_LIST));

    // The next pass of the channel sends the parked ones first.
    std::string order;
    for (int32 round = 0; round < 2; ++round)
    {
        while (pipeline.dequeue(0, buf.data(), static_cast<uint32>(buf.size()), hdr, 1) == 0)
        {
            EXPECT_EQ(hdr.type, MSG_DATA);
            EXPECT_EQ(hdr.dataLen, 15u);
            EXPECT_EQ(hdr.peerAppSiteId, 1);
            EXPECT_EQ(hdr.dataDir, INCOMING_DATA);
            EXPECT_STREQ(hdr.channelNameTxt, "CONN1");
            order += buf[10];
        }
        if (round == 0)
        {
            receive(quor(5, 'g'));
            pass();
        }
    }
    EXPECT_EQ(order, "abcdefg");
    EXPECT_FALSE(plStore.isMsgAvail(STREAM_HDR_MSG_LIST));

    receive(quor(2300));
    int32 count = 0;
    int32 partial = 0;
    EXPECT_EQ(m_handler->processDataStream(m_res.streamBufPtr, count, partial, true, -1), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, MSG_TOO_LARGE);
}

// With input replication on an active application, events and data go to
// the replicator, and the journal flag is never set towards it.
TEST_F(StreamHandlerTest, InputReplicationForwardsToTheReplicator)
{
    std::unique_ptr<FwMessageQueue> repNormal, repHigh;
    registerThread("MSG_REPLICATOR", repNormal, repHigh, 64);
    GlobalData::getInst().m_repliServiceEnabled = true;
    GlobalData::getInst().m_appMode.store(ACTIVE_MODE);
    m_res.regParam.replicationMode = INPUT_REPLICATION;
    ASSERT_EQ(m_handler->initialize(), 0);

    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    EXPECT_EQ(take(*repNormal).appMsg.event.id, CONNECTED);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_UNKNOWN);

    receive(quor(4));
    EXPECT_EQ(pass(), 1);
    const FwIntMessage data = take(*repNormal);
    ASSERT_EQ(data.appMsg.type, MSG_DATA);
    EXPECT_STREQ(data.recipientTxt, "MSG_REPLICATOR");
    EXPECT_EQ(data.appMsg.data.peerAppSiteId, 0);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_UNKNOWN);
    GlobalData::getInst().m_repliServiceEnabled = false;
}

// A header that declares a frame too large: nothing after it is cut into
// messages, neither what the stream holds nor what arrives later, and the
// connection is shut down with the framing error.
TEST_F(StreamHandlerTest, FramingErrorDiscardsTheWholeStreamUntilItIsRemoved)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();

    // A header declaring 65535 bytes (past the largest message), then a run
    // of bytes in which a block-sized skip would land on a valid frame.
    std::string bytes = quor(1, 'g');
    std::string bad(10, '\0');
    const uint16_t huge = 0xffff;
    std::memcpy(bad.data(), &huge, 2);
    bytes += bad;
    const size_t skipTo = bytes.size() - bad.size() + static_cast<size_t>(GlobalData::MSG_SIZE_MAX);
    bytes.resize(skipTo, 'z');
    bytes += quor(3, 'm') + quor(3, 'm');
    receive(bytes);
    pass();
    const FwIntMessage good = take(*m_ownerNormal);
    ASSERT_EQ(good.appMsg.type, MSG_DATA);
    EXPECT_EQ(good.appMsg.data.dataLen, 11u);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_UNKNOWN) << "bytes after the error were delivered";
    EXPECT_EQ(m_res.streamBufPtr->availEntry(), 0);

    receive(quor(2, 'n'));
    pass();
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_UNKNOWN) << "a later frame was delivered";
    EXPECT_EQ(m_res.streamBufPtr->availEntry(), 0);
}

// Only the network thread shuts or closes a socket. A stream the handler
// cannot take (beyond its multiplexer's capacity) and a stream that cannot be
// cut (a framing error) are handed to it as a request to close, naming the
// connection by its stream, with the reason for the owner; the socket itself
// is left alone here.
TEST_F(StreamHandlerTest, ConnectionsThatCannotGoOnAreClosedByTheNetworkThread)
{
    std::unique_ptr<FwMessageQueue> netNormal, netHigh;
    registerThread("NET_RECEIVER", netNormal, netHigh, 64);
    int fds[2] = {-1, -1};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto closeRequested = [&](TcpConnResource& res, StreamBuffer* sb, int32 reason) {
        const FwIntMessage m = take(*netNormal);
        ASSERT_EQ(m.appMsg.type, MSG_EVENT) << "no request reached the network thread";
        const EventParam& p = m.appMsg.event.eventParam;
        EXPECT_EQ(m.appMsg.event.id, CONN_CLOSE_RQS);
        EXPECT_STREQ(p.resNameTxt, res.tcpConnNameTxt);
        EXPECT_EQ(p.resPtr, &res);
        EXPECT_EQ(p.paramInt32, reason);
        EXPECT_EQ(p.paramInt64, reinterpret_cast<int64>(sb));
        EXPECT_EQ(res.connCloseReason, reason);
        char byte = 0;
        EXPECT_EQ(::recv(fds[1], &byte, 1, MSG_DONTWAIT), -1) << "the socket was shut down here";
        EXPECT_EQ(take(*netNormal).appMsg.type, MSG_UNKNOWN) << "asked twice";
    };

    // The capacity: one descriptor per connection plus the two queues and
    // the timer, 4 with one connection. The channels outlive the handler.
    std::vector<std::unique_ptr<TcpConnResource>> channels;
    TestConfig small("TCP_CONN_RES_MAX INT32 1\n");
    {
        StreamHandler handler(m_self, m_registry, GlobalData::getInst(), small.get());
        ASSERT_EQ(handler.initialize(), 0);
        for (int i = 0; i < 5; ++i)
        {
            auto res = std::make_unique<TcpConnResource>();
            ResourceManager::copyResourceName(res->tcpConnNameTxt, ("C" + std::to_string(i)).c_str());
            ResourceManager::copyResourceName(res->regParam.threadNameTxt, "OWNER");
            res->regParam.msgFormat = MSG_FORMAT_QUOR;
            res->msgQueuePtr = m_ownerNormal.get();
            res->altMsgQueuePtr = m_ownerHigh.get();
            res->status.store(RES_CONNECTED);
            res->streamBufPtr = new StreamBuffer(res.get(), 64, m_mode, false);
            channels.push_back(std::move(res));
        }
        TcpConnResource& last = *channels.back();
        last.dataSockPtr = new TcpDataSocket(fds[0], false, -1, -1);
        for (auto& res : channels)
            EXPECT_EQ(handler.addStream(res.get(), CONNECTED), 0) << res->tcpConnNameTxt;
        EXPECT_EQ(channels[3]->connCloseReason, 0);
        closeRequested(last, last.streamBufPtr, WAIT_OBJECT_LIST_FULL);
        delete last.streamBufPtr; // never taken by the handler
        last.streamBufPtr = nullptr;
    }
    // Left by the handler to the network thread, which would free them.
    for (auto& res : channels)
    {
        delete res->streamBufPtr;
        res->streamBufPtr = nullptr;
    }

    // A framing error: the stream is discarded until the close arrives.
    m_res.dataSockPtr = channels.back()->dataSockPtr;
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();
    receive(quor(40000).substr(0, 100));
    pass();
    closeRequested(m_res, m_res.streamBufPtr, MSG_TOO_LARGE);
    m_res.dataSockPtr = nullptr;
    delete channels.back()->dataSockPtr;
    ::close(fds[1]);
}

// A record left over from an earlier stream of the same channel, whose head
// lies beyond what the new stream holds: nothing is cut from it, and the new
// stream's own frames arrive intact.
TEST_F(StreamHandlerTest, StaleRecordOfTheSameChannelReadsNothingPastTheHead)
{
    ASSERT_EQ(m_handler->initialize(), 0);
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    drainOwner();
    int32 written = 0;
    int32 head = 0;
    const std::string first = quor(3, 'n');
    ASSERT_EQ(m_res.streamBufPtr->enqueue(first.data(), static_cast<int32>(first.size()), written, head, true), 0);
    StreamEventRecord stale{};
    stale.tcpResId = loadTcpConnNameKey(m_res);
    stale.streamBufPtr = m_res.streamBufPtr;
    stale.effectiveHdIdx = head + 500; // as the old stream had written
    ASSERT_EQ(m_ring.enqueue(stale), 0);
    pass();
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_UNKNOWN) << "bytes past the head were cut";
    EXPECT_EQ(m_res.streamBufPtr->availEntry(), static_cast<int32>(first.size()));

    receive(quor(4, 'o'));
    pass();
    for (const std::string& frame : {first, quor(4, 'o')})
    {
        const FwIntMessage m = take(*m_ownerNormal);
        ASSERT_EQ(m.appMsg.type, MSG_DATA);
        EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), frame);
    }
}

// Output replication: the connection's start goes to the replicator and the
// owner, its data to the owner, its end to the replicator only. A full
// replicator queue parks the event in the replicator's store until the
// timer retry delivers it.
TEST_F(StreamHandlerTest, OutputReplicationAndReplicatorParking)
{
    std::unique_ptr<FwMessageQueue> repNormal, repHigh;
    registerThread("MSG_REPLICATOR", repNormal, repHigh, 16);
    MessageStore repStore;
    const UInt128 repKey(Name("MSG_REPLICATOR").txt, true);
    GlobalData::getInst().m_tmpMsgRepository.insert(repKey, reinterpret_cast<DataValueType>(&repStore), true);
    GlobalData::getInst().m_repliServiceEnabled = true;
    GlobalData::getInst().m_appMode.store(ACTIVE_MODE);
    m_res.regParam.replicationMode = OUTPUT_REPLICATION;
    ASSERT_EQ(m_handler->initialize(), 0);

    FwIntMessage filler{};
    filler.appMsg.type = MSG_EVENT;
    filler.appMsg.event.id = APP_READY;
    while (repNormal->putMessage(&filler) == 0)
    {
    }
    ASSERT_EQ(m_handler->addStream(&m_res, CONNECTED), 0);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.event.id, CONNECTED);
    EXPECT_TRUE(repStore.isMsgAvail(STREAM_HDR_MSG_LIST, MQUEUE_NORMAL)) << "the replicator's event was not parked";

    receive(quor(4));
    EXPECT_EQ(pass(), 1);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_DATA);

    while (take(*repNormal).appMsg.type != MSG_UNKNOWN)
    {
    }
    m_handler->retryForwardMsg();
    EXPECT_EQ(take(*repNormal).appMsg.event.id, CONNECTED);
    EXPECT_FALSE(repStore.isMsgAvail(STREAM_HDR_MSG_LIST, MQUEUE_NORMAL));

    m_res.status.store(RES_DISCONNECTED);
    ASSERT_EQ(m_handler->delStream(&m_res, CONN_CLOSED), 0);
    EXPECT_EQ(take(*repNormal).appMsg.event.id, DISCONNECTED);
    EXPECT_EQ(take(*m_ownerNormal).appMsg.type, MSG_UNKNOWN);
    GlobalData::getInst().m_repliServiceEnabled = false;
    GlobalData::getInst().m_tmpMsgRepository.remove(repKey);
}
