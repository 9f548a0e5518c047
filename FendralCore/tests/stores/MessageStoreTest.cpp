// Parked framework messages: list bookkeeping, the copy of the bytes in use,
// and the retry protocol against a real queue that fills up and frees.
#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/MessageQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{

FwIntMessage dataMessage(uint32 seq, uint32 dataLen = 16)
{
    FwIntMessage msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msgSeqNum = seq;
    msg.appMsg.type = MSG_DATA;
    msg.appMsg.data.dataLen = dataLen;
    std::memset(msg.appMsg.data.buffer, 'a' + static_cast<char>(seq % 26), dataLen);
    return msg;
}

FwIntMessage eventMessage(uint32 seq, int32 id)
{
    FwIntMessage msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msgSeqNum = seq;
    msg.appMsg.type = MSG_EVENT;
    msg.appMsg.event.id = id;
    return msg;
}

TEST(MessageStore, EmptyListFailsAndLeavesTheDestinationUntouched)
{
    MessageStore store;
    FwIntMessage out;
    std::memset(&out, 0x5A, sizeof(out));
    EXPECT_FALSE(store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL));
    EXPECT_EQ(store.getMsg(NET_RCV_MSG_LIST, MQUEUE_NORMAL, &out), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_LIST_EMPTY);
    EXPECT_EQ(store.removeMsg(NET_RCV_MSG_LIST, MQUEUE_NORMAL), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, DAT_LIST_EMPTY);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&out);
    for (size_t i = 0; i < sizeof(out); ++i)
        ASSERT_EQ(bytes[i], 0x5A) << i;
}

TEST(MessageStore, AvailabilityFollowsTheLastRemoval)
{
    MessageStore store;
    const FwIntMessage a = dataMessage(1);
    const FwIntMessage b = dataMessage(2);
    ASSERT_EQ(store.insertMsg(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY, &a), 0);
    ASSERT_EQ(store.insertMsg(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY, &b), 0);
    EXPECT_TRUE(store.isMsgAvail(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY));
    ASSERT_EQ(store.removeMsg(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY), 0);
    EXPECT_TRUE(store.isMsgAvail(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY));
    FwIntMessage out;
    ASSERT_EQ(store.getMsg(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY, &out), 0);
    EXPECT_EQ(out.msgSeqNum, 2u);
    ASSERT_EQ(store.removeMsg(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY), 0);
    EXPECT_FALSE(store.isMsgAvail(STREAM_HDR_MSG_LIST, MQUEUE_HIGH_PRIORITY));
}

TEST(MessageStore, ListsAreIndependent)
{
    MessageStore store;
    for (int32 list = 0; list < MSG_LIST_TYPE_MAX; ++list)
    {
        for (int32 queue = 0; queue < MQUEUE_TYPE_NUM; ++queue)
        {
            const FwIntMessage msg = dataMessage(static_cast<uint32>(list * 10 + queue));
            ASSERT_EQ(store.insertMsg(static_cast<MsgListType>(list), static_cast<MessageQueueType>(queue), &msg), 0);
        }
    }
    for (int32 list = 0; list < MSG_LIST_TYPE_MAX; ++list)
    {
        for (int32 queue = 0; queue < MQUEUE_TYPE_NUM; ++queue)
        {
            FwIntMessage out;
            const auto l = static_cast<MsgListType>(list);
            const auto q = static_cast<MessageQueueType>(queue);
            ASSERT_EQ(store.getMsg(l, q, &out), 0);
            EXPECT_EQ(out.msgSeqNum, static_cast<uint32>(list * 10 + queue));
            ASSERT_EQ(store.removeMsg(l, q), 0);
            EXPECT_FALSE(store.isMsgAvail(l, q));
        }
    }
}

TEST(MessageStore, BadArgumentsAreRefused)
{
    MessageStore store;
    const FwIntMessage msg = dataMessage(1);
    FwIntMessage out;
    struct Case
    {
        int32 list;
        int32 queue;
    };
    for (const Case c : {Case{-1, 0}, Case{MSG_LIST_TYPE_MAX, 0}, Case{0, -1}, Case{0, MQUEUE_TYPE_NUM}})
    {
        const auto l = static_cast<MsgListType>(c.list);
        const auto q = static_cast<MessageQueueType>(c.queue);
        EXPECT_EQ(store.insertMsg(l, q, &msg), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
        EXPECT_EQ(store.getMsg(l, q, &out), -1);
        EXPECT_EQ(store.removeMsg(l, q), -1);
        EXPECT_FALSE(store.isMsgAvail(l, q));
    }
    EXPECT_EQ(store.insertMsg(NET_RCV_MSG_LIST, MQUEUE_NORMAL, nullptr), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NULL_PARAM);
    EXPECT_FALSE(store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL));
}

// Only the bytes in use are copied out: what lies past them in the
// destination stays as it was.
TEST(MessageStore, GetCopiesTheBytesInUse)
{
    MessageStore store;
    const FwIntMessage data = dataMessage(7, 100);
    const FwIntMessage event = eventMessage(8, TERM);
    ASSERT_EQ(store.insertMsg(IPC_RCV_MSG_LIST, MQUEUE_NORMAL, &data), 0);
    ASSERT_EQ(store.insertMsg(IPC_RCV_MSG_LIST, MQUEUE_NORMAL, &event), 0);
    for (const FwIntMessage* expected : {&data, &event})
    {
        FwIntMessage out;
        std::memset(&out, 0x5A, sizeof(out));
        ASSERT_EQ(store.getMsg(IPC_RCV_MSG_LIST, MQUEUE_NORMAL, &out), 0);
        const size_t used = expected->usedSize();
        EXPECT_EQ(std::memcmp(&out, expected, used), 0);
        EXPECT_EQ(reinterpret_cast<const unsigned char*>(&out)[used], 0x5A);
        ASSERT_EQ(store.removeMsg(IPC_RCV_MSG_LIST, MQUEUE_NORMAL), 0);
    }
}

// The sender's side of the retry protocol over a real queue: park behind
// parked messages, resend oldest first (high priority first), remove only
// after a successful put, stop at the first failure.
class ParkingSender
{
public:
    ParkingSender(MessageQueue<FwIntMessage>& normal, MessageQueue<FwIntMessage>& high)
        : m_queues{&normal, &high}
    {
    }

    void send(const FwIntMessage& msg, MessageQueueType type)
    {
        if (m_store.isMsgAvail(NET_RCV_MSG_LIST, type) || m_queues[type]->putMessage(&msg) != 0)
        {
            ASSERT_EQ(m_store.insertMsg(NET_RCV_MSG_LIST, type, &msg), 0);
        }
    }

    void onTimer()
    {
        for (MessageQueueType type : {MQUEUE_HIGH_PRIORITY, MQUEUE_NORMAL})
        {
            FwIntMessage msg;
            while (m_store.getMsg(NET_RCV_MSG_LIST, type, &msg) == 0)
            {
                if (m_queues[type]->putMessage(&msg) != 0)
                    break;
                ASSERT_EQ(m_store.removeMsg(NET_RCV_MSG_LIST, type), 0);
            }
        }
    }

    bool parked(MessageQueueType type) const { return m_store.isMsgAvail(NET_RCV_MSG_LIST, type); }

private:
    MessageStore m_store;
    MessageQueue<FwIntMessage>* m_queues[MQUEUE_TYPE_NUM];
};

std::vector<uint32> drain(MessageQueue<FwIntMessage>& queue, int32 most)
{
    std::vector<uint32> seqs;
    FwIntMessage msg;
    bool more = false;
    while (most-- > 0 && queue.getMessage(&msg, more) == 0)
        seqs.push_back(msg.msgSeqNum);
    return seqs;
}

TEST(MessageStore, ParkedMessagesDrainInTheirOrderAfterTheDestinationFreesUp)
{
    MessageQueue<FwIntMessage> normal(4, false, false, LOW_LATENCY, false, 100);
    MessageQueue<FwIntMessage> high(2, false, false, LOW_LATENCY, false, 100);
    ParkingSender sender(normal, high);

    for (uint32 seq = 1; seq <= 10; ++seq)
        sender.send(dataMessage(seq), MQUEUE_NORMAL);
    for (uint32 seq = 101; seq <= 103; ++seq)
        sender.send(eventMessage(seq, APP_DEFINED_EVENT_BASE), MQUEUE_HIGH_PRIORITY);
    EXPECT_TRUE(sender.parked(MQUEUE_NORMAL));
    EXPECT_TRUE(sender.parked(MQUEUE_HIGH_PRIORITY));

    // The queues still full: a tick changes nothing.
    sender.onTimer();
    std::vector<uint32> received = drain(normal, 2);
    std::vector<uint32> receivedHigh = drain(high, 10);
    // Room for two more normal and two high: the next tick fills it in order,
    // and a message sent meanwhile queues behind the parked ones.
    sender.onTimer();
    sender.send(dataMessage(11), MQUEUE_NORMAL);
    for (int tick = 0; tick < 10 && (sender.parked(MQUEUE_NORMAL) || sender.parked(MQUEUE_HIGH_PRIORITY)); ++tick)
    {
        for (uint32 seq : drain(normal, 3))
            received.push_back(seq);
        for (uint32 seq : drain(high, 1))
            receivedHigh.push_back(seq);
        sender.onTimer();
    }
    for (uint32 seq : drain(normal, 100))
        received.push_back(seq);
    for (uint32 seq : drain(high, 100))
        receivedHigh.push_back(seq);

    EXPECT_EQ(received, (std::vector<uint32>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(receivedHigh, (std::vector<uint32>{101, 102, 103}));
    EXPECT_FALSE(sender.parked(MQUEUE_NORMAL));
    EXPECT_FALSE(sender.parked(MQUEUE_HIGH_PRIORITY));
}

} // namespace
