// Delivery of replicated messages over real queues, pipelines and stores:
// the queue reserve, parking behind parked messages, pipeline joins per
// originator and channel, events in order with data, forward copies, and the
// timer's retry oldest first.
#include "FendralCore/tests/registry/RegistryTestSupport.h"

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/messaging/ReplicationDelivery.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
constexpr uint32 QUEUE_LEN = 32;
constexpr uint32 PL_ENTRY = 3000;

FwIntMessage dataMsg(const std::string& bytes, int32 part = 0, bool more = false)
{
    FwIntMessage m{};
    m.appMsg.type = MSG_DATA;
    ResourceManager::copyResourceName(m.originatorTxt, "APP_SENDER");
    Data_t& d = m.appMsg.data;
    ResourceManager::copyResourceName(d.channelNameTxt, "CHAN");
    d.chnType = TCP_CHANNEL;
    d.dataDir = INCOMING_DATA;
    d.peerAppSiteId = 7;
    d.dataLen = static_cast<uint32>(bytes.size());
    d.msgPartNum = part;
    d.more = more;
    std::memcpy(d.buffer, bytes.data(), bytes.size());
    return m;
}

FwIntMessage eventMsg(FwEventID id)
{
    FwIntMessage m{};
    m.appMsg.type = MSG_EVENT;
    m.appMsg.event.id = id;
    ResourceManager::copyResourceName(m.appMsg.event.eventParam.resNameTxt, "CHAN");
    m.appMsg.event.eventParam.paramInt32 = 5;
    return m;
}

// What a thread finds in a queue: data as its text, events as "#<id>".
std::vector<std::string> takeAll(FwMessageQueue& q)
{
    std::vector<std::string> out;
    FwIntMessage m{};
    bool more = false;
    while (q.getMessage(&m, more) == 0)
    {
        if (m.appMsg.type == MSG_DATA)
            out.emplace_back(m.appMsg.data.buffer, m.appMsg.data.dataLen);
        else
            out.push_back("#" + std::to_string(m.appMsg.event.id));
    }
    return out;
}
} // namespace

class ReplicationDeliveryTest : public ::testing::Test
{
protected:
    ReplicationDeliveryTest() : m_config(""), m_registry(m_config.get())
    {
        m_self = registerTestThread(m_registry, "MSG_REPLICATOR", m_selfNormal, m_selfHigh, QUEUE_LEN, LOW_LATENCY);
        m_owner = registerTestThread(m_registry, "OWNER", m_ownerNormal, m_ownerHigh, QUEUE_LEN, LOW_LATENCY);
        m_fwdThread = registerTestThread(m_registry, "FWD", m_fwdNormal, m_fwdHigh, QUEUE_LEN, LOW_LATENCY);
        m_fwdThread->tmpMsgStorePtr = &m_fwdStore;
        m_events = std::make_unique<EventMessage>(m_self, m_registry);
        m_delivery = std::make_unique<ReplicationDelivery>(*m_events, m_registry, m_seq, 32768);
        m_pl = std::make_unique<Pipeline>(4, PL_ENTRY, 1, LOW_LATENCY, false);
        m_plRes = registerTestPipeline(m_registry, "PL", m_pl.get(), 4, 2376);

        setName(m_chan.name, "CHAN");
        setName(m_chan.owner, "OWNER");
        m_chan.queue = m_ownerNormal.get();
        m_chan.altQueue = m_ownerHigh.get();
        m_chan.store = &m_store;
        m_chan.tcp = true;
        m_chan.journalFlag = 1;
        m_chan.resPtr = &m_chan; // any address of this process
    }

    void usePipeline()
    {
        m_chan.usePipeline = true;
        m_chan.pipeline = m_pl.get();
        setName(m_chan.pipelineName, "PL");
        m_chan.plStore = &m_plStore;
    }

    void fillOwner(uint32 leaveFree)
    {
        FwIntMessage filler{};
        filler.appMsg.type = MSG_DATA;
        std::memcpy(filler.appMsg.data.buffer, "fill", 4);
        filler.appMsg.data.dataLen = 4;
        while (m_ownerNormal->getNumFreeEntry() > leaveFree)
            ASSERT_EQ(m_ownerNormal->putMessage(&filler), 0);
    }

    int32 deliver(const FwIntMessage& m, MsgForwarder::Outcome& outcome)
    {
        return m_delivery->deliverData(m_chan, m, INPUT_REPLICATION_MSG, "DATA_STREAM_HDR", outcome);
    }

    std::vector<std::string> withoutFill(const std::vector<std::string>& v)
    {
        std::vector<std::string> out;
        for (const std::string& s : v)
            if (s != "fill")
                out.push_back(s);
        return out;
    }

    // Pipeline entries as text, with their headers.
    std::vector<std::string> takeEntries(std::vector<PipelineMsgHeader>* headers = nullptr)
    {
        std::vector<std::string> out;
        std::vector<char> buf(PL_ENTRY);
        PipelineMsgHeader hdr{};
        while (m_pl->dequeue(0, buf.data(), PL_ENTRY, hdr, 1, 0) == 0)
        {
            out.emplace_back(buf.data(), hdr.dataLen);
            if (headers != nullptr)
                headers->push_back(hdr);
        }
        return out;
    }

    TestConfig m_config;
    ResourceManager m_registry;
    std::unique_ptr<FwMessageQueue> m_selfNormal, m_selfHigh, m_ownerNormal, m_ownerHigh, m_fwdNormal, m_fwdHigh;
    ThreadResource* m_self = nullptr;
    ThreadResource* m_owner = nullptr;
    ThreadResource* m_fwdThread = nullptr;
    std::unique_ptr<EventMessage> m_events;
    uint32 m_seq = 0;
    std::unique_ptr<ReplicationDelivery> m_delivery;
    MessageStore m_store;
    MessageStore m_fwdStore;
    PlMessageStore m_plStore;
    std::unique_ptr<Pipeline> m_pl;
    PipelineResource* m_plRes = nullptr;
    ReplicationDelivery::Channel m_chan;
};

// 12 free slots take the message; with 11 it is parked and the owner hears
// MSG_QUEUE_CONGEST with 200 on its other queue.
TEST_F(ReplicationDeliveryTest, TwelveFreeSlotsTakeElevenPark)
{
    struct Case
    {
        uint32 free;
        MsgForwarder::Outcome outcome;
    };
    for (const Case c : {Case{12, MsgForwarder::FWD_PUT}, Case{11, MsgForwarder::FWD_CONGESTED}})
    {
        takeAll(*m_ownerNormal);
        takeAll(*m_ownerHigh);
        while (m_store.isMsgAvail(MSG_REPLI_MSG_LIST, MQUEUE_NORMAL))
            m_store.removeMsg(MSG_REPLI_MSG_LIST, MQUEUE_NORMAL);
        fillOwner(c.free);
        MsgForwarder::Outcome outcome{};
        ASSERT_EQ(deliver(dataMsg("x"), outcome), 0) << c.free;
        EXPECT_EQ(outcome, c.outcome) << c.free;
        EXPECT_EQ(m_store.isMsgAvail(MSG_REPLI_MSG_LIST, MQUEUE_NORMAL), c.outcome != MsgForwarder::FWD_PUT);
        FwIntMessage m{};
        bool more = false;
        if (c.outcome == MsgForwarder::FWD_PUT)
        {
            EXPECT_NE(m_ownerHigh->getMessage(&m, more), 0);
            continue;
        }
        ASSERT_EQ(m_ownerHigh->getMessage(&m, more), 0);
        EXPECT_EQ(m.appMsg.event.id, MSG_QUEUE_CONGEST);
        EXPECT_EQ(m.appMsg.event.eventParam.paramInt32, 200);
        EXPECT_STREQ(m.appMsg.event.eventParam.resNameTxt, "CHAN");
    }
}

// The delivered copy is the owner's: its name as recipient, the given sender,
// this instance's record, a fresh sequence number, the journal flag.
TEST_F(ReplicationDeliveryTest, DeliveredCopyCarriesTheStandbysView)
{
    FwIntMessage in = dataMsg("payload");
    in.msgSeqNum = 9999;
    in.appMsg.data.fdPtr = reinterpret_cast<void*>(0x1234);
    MsgForwarder::Outcome outcome{};
    ASSERT_EQ(deliver(in, outcome), 0);
    FwIntMessage m{};
    bool more = false;
    ASSERT_EQ(m_ownerNormal->getMessage(&m, more), 0);
    EXPECT_STREQ(m.recipientTxt, "OWNER");
    EXPECT_STREQ(m.originatorTxt, "DATA_STREAM_HDR");
    EXPECT_EQ(m.msgSeqNum, m_seq);
    EXPECT_EQ(m.appMsg.data.fdPtr, &m_chan);
    EXPECT_EQ(m.appMsg.data.replicationFlag, INPUT_REPLICATION_MSG);
    EXPECT_EQ(m.appMsg.data.peerAppSiteId, 1);
    EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), "payload");
}

// While older messages of the channel stay parked, a new one parks behind
// them without a second congestion event, even when the queue took some of
// the parked ones; the owner then gets them all, oldest first, events in
// their place, once the timer retries.
TEST_F(ReplicationDeliveryTest, NewMessagesParkBehindParkedOnesAndTheRetryKeepsOrder)
{
    fillOwner(11);
    MsgForwarder::Outcome outcome{};
    ASSERT_EQ(deliver(dataMsg("one"), outcome), 0);
    EXPECT_EQ(outcome, MsgForwarder::FWD_CONGESTED);
    ASSERT_EQ(deliver(dataMsg("two"), outcome), 0);
    ASSERT_EQ(m_delivery->deliverEvent(m_chan, eventMsg(DISCONNECTED), INPUT_REPLICATION_MSG), 0);
    ASSERT_EQ(deliver(dataMsg("three"), outcome), 0);
    EXPECT_EQ(outcome, MsgForwarder::FWD_PARKED);

    // Room for one more above the reserve: the oldest parked one goes, the
    // new one still parks behind the rest.
    FwIntMessage m{};
    bool more = false;
    ASSERT_EQ(m_ownerNormal->getMessage(&m, more), 0);
    ASSERT_EQ(deliver(dataMsg("four"), outcome), 0);
    EXPECT_EQ(outcome, MsgForwarder::FWD_PARKED);
    EXPECT_EQ(takeAll(*m_ownerHigh), std::vector<std::string>{"#54"}); // told once

    std::vector<std::string> got = withoutFill(takeAll(*m_ownerNormal));
    EXPECT_EQ(got, std::vector<std::string>{"one"});
    EXPECT_TRUE(m_delivery->hasUnsent());
    m_delivery->retry();
    for (const std::string& s : withoutFill(takeAll(*m_ownerNormal)))
        got.push_back(s);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two", "#14", "three", "four"}));
    m_delivery->retry();
    EXPECT_FALSE(m_delivery->hasUnsent());
}

// Retries at the timer move parked messages of several owners, each oldest
// first, as far as each queue has room above its reserve.
TEST_F(ReplicationDeliveryTest, RetryAtTheTimerDeliversOldestFirstPerOwner)
{
    ReplicationDelivery::Channel other = m_chan;
    setName(other.name, "CHAN2");
    setName(other.owner, "FWD");
    other.queue = m_fwdNormal.get();
    other.altQueue = m_fwdHigh.get();
    other.store = &m_fwdStore;
    FwIntMessage filler = dataMsg("fill");
    while (m_fwdNormal->getNumFreeEntry() > 11)
        ASSERT_EQ(m_fwdNormal->putMessage(&filler), 0);
    fillOwner(11);
    MsgForwarder::Outcome outcome{};
    for (int i = 0; i < 30; ++i)
    {
        ASSERT_EQ(deliver(dataMsg("a" + std::to_string(i)), outcome), 0);
        ASSERT_EQ(m_delivery->deliverData(other, dataMsg("b" + std::to_string(i)), INPUT_REPLICATION_MSG, nullptr,
                                          outcome),
                  0);
    }
    std::vector<std::string> a = withoutFill(takeAll(*m_ownerNormal));
    std::vector<std::string> b = withoutFill(takeAll(*m_fwdNormal));
    EXPECT_TRUE(a.empty());
    EXPECT_TRUE(b.empty());
    // Each retry moves what fits above the reserve (21 of the 32 slots).
    for (int round = 0; round < 3; ++round)
    {
        m_delivery->retry();
        for (const std::string& s : takeAll(*m_ownerNormal))
            a.push_back(s);
        for (const std::string& s : takeAll(*m_fwdNormal))
            b.push_back(s);
    }
    ASSERT_EQ(a.size(), 30u);
    ASSERT_EQ(b.size(), 30u);
    for (int i = 0; i < 30; ++i)
    {
        EXPECT_EQ(a[i], "a" + std::to_string(i));
        EXPECT_EQ(b[i], "b" + std::to_string(i));
    }
    EXPECT_FALSE(m_delivery->hasUnsent());
}

// Parts bound for a pipeline are joined into one entry; parts 0, 1, 3 drop
// the partial message, and a part 0 after it starts a new one.
TEST_F(ReplicationDeliveryTest, PipelinePartsJoinAndAGapDropsTheJoin)
{
    usePipeline();
    MsgForwarder::Outcome outcome{};
    const std::string big(2200, 'p');
    // A whole message in three parts.
    ASSERT_EQ(deliver(dataMsg(big, 0, true), outcome), 0);
    ASSERT_EQ(deliver(dataMsg("mid", 1, true), outcome), 0);
    ASSERT_EQ(deliver(dataMsg("end", 2, false), outcome), 0);
    std::vector<PipelineMsgHeader> headers;
    std::vector<std::string> entries = takeEntries(&headers);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0], big + "midend");
    EXPECT_STREQ(headers[0].recipientTxt, "OWNER");
    EXPECT_STREQ(headers[0].originatorTxt, "DATA_STREAM_HDR");
    EXPECT_STREQ(headers[0].channelNameTxt, "CHAN");
    EXPECT_EQ(headers[0].replicationFlag, INPUT_REPLICATION_MSG);
    EXPECT_EQ(headers[0].peerAppSiteId, 1);
    EXPECT_EQ(headers[0].fdPtr, &m_chan);

    // 0, 1, 3: the gap drops the join and part 3; nothing is entered.
    ASSERT_EQ(deliver(dataMsg("A0", 0, true), outcome), 0);
    ASSERT_EQ(deliver(dataMsg("A1", 1, true), outcome), 0);
    ASSERT_EQ(deliver(dataMsg("A3", 3, false), outcome), 0);
    EXPECT_TRUE(takeEntries().empty());
    // A stray last part after the drop is dropped too, not entered alone.
    ASSERT_EQ(deliver(dataMsg("A4", 4, false), outcome), 0);
    EXPECT_TRUE(takeEntries().empty());
    // A part 0 restarts, also in the middle of a join.
    ASSERT_EQ(deliver(dataMsg("B0", 0, true), outcome), 0);
    ASSERT_EQ(deliver(dataMsg("C0", 0, true), outcome), 0);
    ASSERT_EQ(deliver(dataMsg("C1", 1, false), outcome), 0);
    ASSERT_EQ(deliver(dataMsg("single"), outcome), 0);
    EXPECT_EQ(takeEntries(), (std::vector<std::string>{"C0C1", "single"}));
}

// Joins are kept per originator and channel: parts of two senders that
// interleave are not spliced into one another.
TEST_F(ReplicationDeliveryTest, JoinsOfTwoSendersStayApart)
{
    usePipeline();
    MsgForwarder::Outcome outcome{};
    auto from = [](const char* sender, const std::string& s, int32 part, bool more) {
        FwIntMessage m = dataMsg(s, part, more);
        ResourceManager::copyResourceName(m.originatorTxt, sender);
        return m;
    };
    auto deliverFrom = [&](const FwIntMessage& m) {
        return m_delivery->deliverData(m_chan, m, OUTPUT_REPLICATION_MSG, nullptr, outcome);
    };
    ASSERT_EQ(deliverFrom(from("APP_A", "a0", 0, true)), 0);
    ASSERT_EQ(deliverFrom(from("APP_B", "b0", 0, true)), 0);
    ASSERT_EQ(deliverFrom(from("APP_A", "a1", 1, false)), 0);
    ASSERT_EQ(deliverFrom(from("APP_B", "b1", 1, false)), 0);
    std::vector<PipelineMsgHeader> headers;
    EXPECT_EQ(takeEntries(&headers), (std::vector<std::string>{"a0a1", "b0b1"}));
    ASSERT_EQ(headers.size(), 2u);
    EXPECT_STREQ(headers[0].originatorTxt, "APP_A");
    EXPECT_EQ(headers[1].replicationFlag, OUTPUT_REPLICATION_MSG);
}

// A full pipeline parks the entry and tells the owner with PIPELINE_CONGEST;
// later entries park behind it and the retry enters them in order.
TEST_F(ReplicationDeliveryTest, FullPipelineParksAndRetryKeepsOrder)
{
    usePipeline();
    MsgForwarder::Outcome outcome{};
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(deliver(dataMsg("e" + std::to_string(i)), outcome), 0);
    EXPECT_EQ(takeAll(*m_ownerNormal), std::vector<std::string>{"#55"});
    std::vector<std::string> got = takeEntries();
    EXPECT_EQ(got.size(), 4u);
    ASSERT_EQ(m_delivery->deliverEvent(m_chan, eventMsg(DISCONNECTED), INPUT_REPLICATION_MSG), 0);
    m_delivery->retry();
    std::vector<PipelineMsgHeader> headers;
    for (const std::string& s : takeEntries(&headers))
        got.push_back(s);
    ASSERT_EQ(got.size(), 8u);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(got[i], "e" + std::to_string(i));
    EXPECT_EQ(headers.back().type, MSG_EVENT);
    m_delivery->retry();
    EXPECT_FALSE(m_delivery->hasUnsent());
}

// The forward thread gets a copy from the channel's owner, with the sender's
// pointer and the copy request cleared; a full forward queue parks the copy
// in the forward thread's own store.
TEST_F(ReplicationDeliveryTest, ForwardCopyComesFromTheOwnerAndParksWhenFull)
{
    FwIntMessage out = dataMsg("sent");
    out.appMsg.data.dataDir = OUTGOING_DATA;
    out.appMsg.data.peerAppInstId = 1;
    ResourceManager::copyResourceName(out.recipientTxt, "FWD");
    ASSERT_EQ(m_delivery->forwardCopy(*m_fwdThread, m_chan, out, false), 0);
    FwIntMessage m{};
    bool more = false;
    ASSERT_EQ(m_fwdNormal->getMessage(&m, more), 0);
    EXPECT_STREQ(m.originatorTxt, "OWNER");
    EXPECT_STREQ(m.recipientTxt, "FWD");
    EXPECT_EQ(m.appMsg.data.peerAppInstId, 0);
    EXPECT_EQ(m.appMsg.data.peerAppSiteId, 0);
    EXPECT_EQ(m.appMsg.data.fdPtr, nullptr);
    EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), "sent");

    FwIntMessage filler = dataMsg("fill");
    while (m_fwdNormal->getNumFreeEntry() > 11)
        ASSERT_EQ(m_fwdNormal->putMessage(&filler), 0);
    ASSERT_EQ(m_delivery->forwardCopy(*m_fwdThread, m_chan, dataMsg("late"), true), 0);
    EXPECT_TRUE(m_fwdStore.isMsgAvail(MSG_REPLI_MSG_LIST, MQUEUE_NORMAL));
    takeAll(*m_fwdNormal);
    m_delivery->retry();
    EXPECT_EQ(takeAll(*m_fwdNormal), std::vector<std::string>{"late"});
}
