// The one delivery helper of the receiving threads, over real queues,
// pipelines and stores: the reserve, the puts, parking behind parked
// messages, the congestion events, the pipeline size rule and the retry.
#include "FendralCore/tests/registry/RegistryTestSupport.h"

#include "FendralCore/dispatch/MsgForwarder.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{
constexpr uint32 QUEUE_LEN = 16;

FwIntMessage part(const std::string& bytes)
{
    FwIntMessage m{};
    m.appMsg.type = MSG_DATA;
    m.appMsg.data.dataLen = static_cast<uint32>(bytes.size());
    std::memcpy(m.appMsg.data.buffer, bytes.data(), bytes.size());
    return m;
}

bool take(FwMessageQueue& q, FwIntMessage& m)
{
    bool more = false;
    return q.getMessage(&m, more) == 0;
}

std::string entryOf(const std::string& bytes)
{
    std::string e(MsgForwarder::PL_HDR_SIZE, '\0');
    PipelineMsgHeader hdr{};
    hdr.type = MSG_DATA;
    hdr.dataLen = static_cast<uint32>(bytes.size());
    std::memcpy(e.data(), &hdr, sizeof hdr);
    return e + bytes;
}
} // namespace

class MsgForwarderTest : public ::testing::Test
{
protected:
    MsgForwarderTest() : m_config(""), m_registry(m_config.get())
    {
        m_sender = registerThread("SENDER", m_senderNormal, m_senderHigh);
        m_owner = registerThread("OWNER", m_ownerNormal, m_ownerHigh);
        m_events = std::make_unique<EventMessage>(m_sender, m_registry);
        m_fwd = std::make_unique<MsgForwarder>(*m_events, m_registry, NET_RCV_MSG_LIST, m_seq, 32768);
        m_target.queue = m_ownerNormal.get();
        m_target.altQueue = m_ownerHigh.get();
        m_target.store = &m_store;
        setName(m_target.recipient, "OWNER");
        setName(m_congest.resNameTxt, "CHAN");
    }

    ThreadResource* registerThread(const char* name, std::unique_ptr<FwMessageQueue>& normal,
                                   std::unique_ptr<FwMessageQueue>& high)
    {
        ThreadResource* res = registerTestThread(m_registry, name, normal, high, QUEUE_LEN, LOW_LATENCY);
        EXPECT_NE(res, nullptr) << name;
        return res;
    }

    void fillOwner(uint32 leaveFree)
    {
        FwIntMessage filler{};
        filler.appMsg.type = MSG_EVENT;
        while (m_ownerNormal->getNumFreeEntry() > leaveFree)
            ASSERT_EQ(m_ownerNormal->putMessage(&filler), 0);
    }

    TestConfig m_config;
    ResourceManager m_registry;
    std::unique_ptr<FwMessageQueue> m_senderNormal, m_senderHigh, m_ownerNormal, m_ownerHigh;
    ThreadResource* m_sender = nullptr;
    ThreadResource* m_owner = nullptr;
    std::unique_ptr<EventMessage> m_events;
    uint32 m_seq = 0;
    std::unique_ptr<MsgForwarder> m_fwd;
    MessageStore m_store;
    ForwardTarget m_target;
    EventParam m_congest{};
};

// 12 free entries take a message; 11 are the reserve.
TEST_F(MsgForwarderTest, QueueReserveDecidesBetweenPutAndPark)
{
    struct Case
    {
        uint32 free;
        MsgForwarder::Outcome outcome;
    };
    for (const Case c : {Case{12, MsgForwarder::FWD_PUT}, Case{11, MsgForwarder::FWD_CONGESTED}})
    {
        FwIntMessage m{};
        while (take(*m_ownerNormal, m) || take(*m_ownerHigh, m))
        {
        }
        while (m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL))
            m_store.removeMsg(NET_RCV_MSG_LIST, MQUEUE_NORMAL);
        fillOwner(c.free);
        bool parked = false;
        MsgForwarder::Outcome outcome{};
        ASSERT_EQ(m_fwd->put(m_target, part("x"), parked, m_congest, outcome), 0) << c.free;
        EXPECT_EQ(outcome, c.outcome) << c.free;
        EXPECT_EQ(parked, c.outcome != MsgForwarder::FWD_PUT) << c.free;
        EXPECT_EQ(m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL), parked) << c.free;
    }
}

// Once one message is parked, the next ones park behind it without a
// second event; after the owner drains, the retry delivers them in order.
TEST_F(MsgForwarderTest, ParkedMessagesKeepTheirOrderAndTheOwnerIsToldOnce)
{
    fillOwner(MsgForwarder::THREAD_MSGQ_RESERVED_ENTRIES);
    bool parked = false;
    MsgForwarder::Outcome outcome{};
    const std::vector<std::string> sent = {"one", "two", "three"};
    for (const std::string& s : sent)
        ASSERT_EQ(m_fwd->put(m_target, part(s), parked, m_congest, outcome), 0);
    EXPECT_EQ(outcome, MsgForwarder::FWD_PARKED);
    EXPECT_TRUE(m_fwd->hasUnsent());

    FwIntMessage m{};
    ASSERT_TRUE(take(*m_ownerHigh, m));
    EXPECT_EQ(m.appMsg.event.id, MSG_QUEUE_CONGEST);
    EXPECT_EQ(m.appMsg.event.eventParam.paramInt32, BUFFER_FULL);
    EXPECT_STREQ(m.appMsg.event.eventParam.resNameTxt, "CHAN");
    EXPECT_FALSE(take(*m_ownerHigh, m));

    // Still full: the retry moves nothing and keeps the registration.
    m_fwd->retry();
    EXPECT_TRUE(m_fwd->hasUnsent());
    while (take(*m_ownerNormal, m))
    {
    }
    m_fwd->retry();
    for (const std::string& s : sent)
    {
        ASSERT_TRUE(take(*m_ownerNormal, m));
        EXPECT_EQ(std::string(m.appMsg.data.buffer, m.appMsg.data.dataLen), s);
    }
    EXPECT_FALSE(m_fwd->hasUnsent());
    // A new delivery flushes nothing and goes straight in.
    EXPECT_FALSE(m_fwd->flushQueue(m_target));
}

// Without a store a congested message cannot wait: the caller hears it.
TEST_F(MsgForwarderTest, CongestionWithoutAStoreFailsWithBufferFull)
{
    fillOwner(MsgForwarder::THREAD_MSGQ_RESERVED_ENTRIES);
    m_target.store = nullptr;
    bool parked = false;
    MsgForwarder::Outcome outcome{};
    EXPECT_EQ(m_fwd->put(m_target, part("x"), parked, m_congest, outcome), -1);
    EXPECT_EQ(lastCode(), BUFFER_FULL);
    EXPECT_FALSE(parked);
}

class MsgForwarderPipelineTest : public MsgForwarderTest
{
protected:
    static constexpr uint32 ENTRY = 400;

    MsgForwarderPipelineTest()
    {
        PipelineParam p;
        m_registry.initPipelineParam(p);
        setName(p.pipelineNameTxt, "PL");
        p.numStages = 1;
        p.entrySize = 2376; // the registry's smallest; the pipeline used is our own
        p.numEntry = 2;
        EXPECT_EQ(m_registry.registerPipelineRes(p, &m_plRes), 0) << lastCode();
        m_pl = std::make_unique<Pipeline>(2, ENTRY, 1, LOW_LATENCY, false);
        m_plRes->pipelinePtr = m_pl.get();
        setName(m_plName, "PL");
        setName(m_ownerName, "OWNER");
    }

    int32 enqueue(const std::string& entry, bool& parked, MsgForwarder::Outcome& outcome)
    {
        return m_fwd->enqueue(m_pl.get(), &m_plStore, m_plName, entry.data(), parked, m_ownerName,
                              m_ownerNormal.get(), m_congest, outcome);
    }

    // Takes count entries, retrying the parked ones whenever the pipeline
    // runs dry: each entry's payload and topic sequence, in the order taken.
    std::vector<std::pair<std::string, uint64>> drainWithRetry(size_t count)
    {
        std::vector<std::pair<std::string, uint64>> taken;
        char buf[ENTRY];
        PipelineMsgHeader hdr{};
        for (size_t k = 0; k < count; ++k)
        {
            if (m_pl->dequeue(0, buf, sizeof buf, hdr, 1, 0) != 0)
            {
                m_fwd->retry();
                if (m_pl->dequeue(0, buf, sizeof buf, hdr, 1, 0) != 0)
                    break;
            }
            taken.emplace_back(std::string(buf, hdr.dataLen), hdr.msgTopicSeq);
        }
        m_fwd->retry();
        return taken;
    }

    PipelineResource* m_plRes = nullptr;
    std::unique_ptr<Pipeline> m_pl;
    PlMessageStore m_plStore;
    ResourceName m_plName{};
    ResourceName m_ownerName{};
};

// A message fits when its length plus the 152-byte header fits the entry.
TEST_F(MsgForwarderPipelineTest, MessageFitsWhenItsLengthPlusTheHeaderFits)
{
    EXPECT_TRUE(MsgForwarder::fitsPipeline(ENTRY - MsgForwarder::PL_HDR_SIZE, *m_pl));
    EXPECT_FALSE(MsgForwarder::fitsPipeline(ENTRY - MsgForwarder::PL_HDR_SIZE + 1, *m_pl));
    bool parked = false;
    MsgForwarder::Outcome outcome{};
    EXPECT_EQ(enqueue(entryOf(std::string(ENTRY - MsgForwarder::PL_HDR_SIZE + 1, 'x')), parked, outcome), -1);
    EXPECT_EQ(lastCode(), MSG_TOO_LARGE);
    EXPECT_FALSE(m_plStore.isMsgAvail(NET_RCV_MSG_LIST));
}

// A full pipeline parks the entry and tells the owner once; later entries
// park behind it; the retry finds the pipeline by name and drains in order.
TEST_F(MsgForwarderPipelineTest, FullPipelineParksAndTheRetryDrainsInOrder)
{
    bool parked = false;
    MsgForwarder::Outcome outcome{};
    std::vector<std::string> sent;
    for (int k = 0; k < 5; ++k)
    {
        sent.push_back(std::string(10, static_cast<char>('a' + k)));
        ASSERT_EQ(enqueue(entryOf(sent.back()), parked, outcome), 0) << k;
    }
    EXPECT_TRUE(parked);
    FwIntMessage m{};
    ASSERT_TRUE(take(*m_ownerNormal, m));
    EXPECT_EQ(m.appMsg.event.id, PIPELINE_CONGEST);
    EXPECT_FALSE(take(*m_ownerNormal, m));

    const auto taken = drainWithRetry(sent.size());
    ASSERT_EQ(taken.size(), sent.size());
    for (size_t k = 0; k < sent.size(); ++k)
        EXPECT_EQ(taken[k].first, sent[k]) << k;
    EXPECT_FALSE(m_fwd->hasUnsent());
}

// A header and a payload handed over apart (the payload where it was
// received) behave as one entry: put whole, parked joined behind the same
// header, and drained in order; the buffers handed over may change at once.
TEST_F(MsgForwarderPipelineTest, HeaderAndPayloadApartArePutAndParkedAsOneEntry)
{
    bool parked = false;
    MsgForwarder::Outcome outcome{};
    std::vector<std::string> sent;
    for (int k = 0; k < 5; ++k)
    {
        sent.push_back(std::string(20 + static_cast<size_t>(k), static_cast<char>('a' + k)));
        PipelineMsgHeader hdr{};
        hdr.type = MSG_DATA;
        hdr.msgTopicSeq = 100 + static_cast<uint64>(k);
        hdr.dataLen = static_cast<uint32>(sent.back().size());
        std::string payload = sent.back();
        ASSERT_EQ(m_fwd->enqueue(m_pl.get(), &m_plStore, m_plName, hdr, payload.data(), parked, m_ownerName,
                                 m_ownerNormal.get(), m_congest, outcome),
                  0)
            << k;
        EXPECT_EQ(outcome, k < 2 ? MsgForwarder::FWD_PUT : k == 2 ? MsgForwarder::FWD_CONGESTED
                                                                   : MsgForwarder::FWD_PARKED);
        payload.assign(payload.size(), '#');
    }
    const auto taken = drainWithRetry(sent.size());
    ASSERT_EQ(taken.size(), sent.size());
    for (size_t k = 0; k < sent.size(); ++k)
    {
        EXPECT_EQ(taken[k].first, sent[k]) << k;
        EXPECT_EQ(taken[k].second, 100 + k) << k;
    }
    EXPECT_FALSE(m_fwd->hasUnsent());
}

// In CPU_UTILIZATION mode a batch wakes each reader once, with the count of
// every message it put there, when the batch ends; more recipients than the
// pending table holds are woken early, never forgotten. Reading the
// descriptor is what the reader does, so each count is checked there.
TEST_F(MsgForwarderTest, BatchWakesEachReaderOnceWithTheWholeCount)
{
    constexpr int QUEUES = 10; // more than the table of pending wake-ups
    std::vector<std::unique_ptr<FwMessageQueue>> queues;
    for (int i = 0; i < QUEUES; ++i)
        queues.push_back(std::make_unique<FwMessageQueue>(64, false, true, CPU_UTILIZATION, false, 64));
    auto pending = [](FwMessageQueue& q) {
        unsigned long n = 0;
        return q.deliverEvent(n) == 0 ? n : 0ul;
    };
    {
        MsgForwarder::WakeBatch outer(*m_fwd);
        MsgForwarder::WakeBatch inner(*m_fwd);
        for (int i = 0; i < QUEUES; ++i)
        {
            ForwardTarget t = m_target;
            t.queue = queues[static_cast<size_t>(i)].get();
            for (int k = 0; k <= i; ++k)
            {
                bool parked = false;
                MsgForwarder::Outcome outcome{};
                ASSERT_EQ(m_fwd->put(t, part(std::to_string(i)), parked, m_congest, outcome), 0);
                ASSERT_EQ(outcome, MsgForwarder::FWD_PUT);
            }
        }
        EXPECT_EQ(pending(*queues[QUEUES - 1]), 0ul) << "woken before the batch ended";
    }
    for (int i = 0; i < QUEUES; ++i)
    {
        FwMessageQueue& q = *queues[static_cast<size_t>(i)];
        EXPECT_EQ(pending(q), static_cast<unsigned long>(i + 1)) << i;
        EXPECT_EQ(pending(q), 0ul) << "more than one wake-up for queue " << i;
        EXPECT_EQ(q.getNumElem(), static_cast<uint32>(i + 1)) << i;
    }
    // Outside a batch every put wakes its reader at once.
    bool parked = false;
    MsgForwarder::Outcome outcome{};
    ForwardTarget t = m_target;
    t.queue = queues[0].get();
    ASSERT_EQ(m_fwd->put(t, part("alone"), parked, m_congest, outcome), 0);
    EXPECT_EQ(pending(*queues[0]), 1ul);
}
