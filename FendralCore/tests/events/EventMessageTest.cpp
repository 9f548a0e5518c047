#include "FendralCore/tests/registry/RegistryTestSupport.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace
{
constexpr uint32 QUEUE_LEN = 4;

std::unique_ptr<FwMessageQueue> makeQueue()
{
    return std::make_unique<FwMessageQueue>(QUEUE_LEN, false, true, LOW_LATENCY, false, 10);
}

EventParam someParam()
{
    EventParam p{};
    setName(p.resNameTxt, "CONN1");
    p.paramInt16 = 7;
    p.paramInt32 = -8;
    p.paramInt64 = 9000000000LL;
    return p;
}

// The next message of a queue, or a message of type MSG_UNKNOWN when it is empty.
FwIntMessage take(FwMessageQueue& queue)
{
    FwIntMessage msg{};
    bool more = false;
    if (queue.getMessage(&msg, more) != 0)
        msg.appMsg.type = MSG_UNKNOWN;
    return msg;
}
} // namespace

// A sending thread and an active target thread with two small queues, in a
// registry of the test's own.
class EventMessageTest : public ::testing::Test
{
protected:
    EventMessageTest() : m_config(""), m_registry(m_config.get())
    {
        testLog().clear();
        m_sender = registerThread("SENDER");
        m_target = registerThread("TARGET");
        m_target->msgQueuePtrArray[MQUEUE_NORMAL] = m_normal.get();
        m_target->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = m_high.get();
        m_target->status.store(RES_ACTIVE);
        m_events = std::make_unique<EventMessage>(m_sender, m_registry);
    }

    ThreadResource* registerThread(const char* name)
    {
        ThreadParam param;
        m_registry.initThreadParam(param);
        setName(param.threadNameTxt, name);
        ThreadResource* res = nullptr;
        EXPECT_EQ(m_registry.registerThreadRes(param, true, &res), 0);
        return res;
    }

    FwMessageQueue& queueOf(MessageQueueType type) { return type == MQUEUE_NORMAL ? *m_normal : *m_high; }

    void fill(FwMessageQueue& queue)
    {
        FwIntMessage filler{};
        filler.appMsg.type = MSG_EVENT;
        while (queue.getNumFreeEntry() > 0)
            ASSERT_EQ(queue.putMessage(&filler), 0);
    }

    void drain(FwMessageQueue& queue)
    {
        while (take(queue).appMsg.type != MSG_UNKNOWN)
        {
        }
    }

    // Parked events of one list, oldest first, by sequence number.
    std::string parkedSeqs(MsgListType list, MessageQueueType type)
    {
        std::string seqs;
        FwIntMessage msg{};
        while (m_store.getMsg(list, type, &msg) == 0)
        {
            seqs += std::to_string(msg.msgSeqNum) + " ";
            m_store.removeMsg(list, type);
        }
        return seqs;
    }

    TestConfig m_config;
    ResourceManager m_registry;
    ThreadResource* m_sender = nullptr;
    ThreadResource* m_target = nullptr;
    std::unique_ptr<FwMessageQueue> m_normal = makeQueue();
    std::unique_ptr<FwMessageQueue> m_high = makeQueue();
    std::unique_ptr<EventMessage> m_events;
    MessageStore m_store;
    Name m_targetName{"TARGET"};
};

TEST_F(EventMessageTest, EveryFormDeliversTheStampedEventToTheChosenQueueOnly)
{
    enum Form
    {
        BY_RESOURCE_AND_TYPE,
        BY_NAME_AND_TYPE,
        BY_RESOURCE_AND_QUEUE,
        BY_NAME_AND_QUEUE,
    };
    uint32 seq = 41;
    for (Form form : {BY_RESOURCE_AND_TYPE, BY_NAME_AND_TYPE, BY_RESOURCE_AND_QUEUE, BY_NAME_AND_QUEUE})
        for (MessageQueueType type : {MQUEUE_NORMAL, MQUEUE_HIGH_PRIORITY})
        {
            SCOPED_TRACE(testing::Message() << "form " << form << " queue type " << type);
            testLog().clear();
            const uint32 before = seq;
            int32 result = -1;
            switch (form)
            {
            case BY_RESOURCE_AND_TYPE:
                result = m_events->sendEventMsg(m_target, type, CONNECTED, someParam(), seq);
                break;
            case BY_NAME_AND_TYPE:
                result = m_events->sendEventMsg(m_targetName, type, CONNECTED, someParam(), seq);
                break;
            case BY_RESOURCE_AND_QUEUE:
                result = m_events->sendEventMsg(m_target, &queueOf(type), CONNECTED, someParam(), seq);
                break;
            case BY_NAME_AND_QUEUE:
                result = m_events->sendEventMsg(m_targetName, &queueOf(type), CONNECTED, someParam(), seq,
                                                nullptr, MSG_LIST_TYPE_MAX, nullptr, INPUT_REPLICATION_MSG);
                break;
            }
            ASSERT_EQ(result, 0);
            EXPECT_EQ(seq, before + 1);

            const FwIntMessage msg = take(queueOf(type));
            ASSERT_EQ(msg.appMsg.type, MSG_EVENT);
            EXPECT_EQ(msg.msgSeqNum, seq);
            EXPECT_STREQ(msg.originatorTxt, "SENDER");
            EXPECT_STREQ(msg.recipientTxt, "TARGET");
            EXPECT_EQ(msg.appMsg.event.id, CONNECTED);
            EXPECT_EQ(msg.appMsg.event.replicationFlag,
                      form == BY_NAME_AND_QUEUE ? INPUT_REPLICATION_MSG : NOT_REPLICATION_MSG);
            EXPECT_STREQ(msg.appMsg.event.eventParam.resNameTxt, "CONN1");
            EXPECT_EQ(msg.appMsg.event.eventParam.paramInt16, 7);
            EXPECT_EQ(msg.appMsg.event.eventParam.paramInt32, -8);
            EXPECT_EQ(msg.appMsg.event.eventParam.paramInt64, 9000000000LL);
            EXPECT_STREQ(msg.appMsg.event.descTxt, "");
            EXPECT_EQ(take(queueOf(type == MQUEUE_NORMAL ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL)).appMsg.type,
                      MSG_UNKNOWN);
            EXPECT_TRUE(testLog().contains("Event message [13] sent to [TARGET]. Param: [CONN1] [7] [-8] [9000000000]."));
        }
}

TEST_F(EventMessageTest, TargetThatIsNotActiveOrLacksTheQueueFailsAndNothingIsParked)
{
    FwMessageQueue foreign(QUEUE_LEN, false, true, LOW_LATENCY, false, 10);
    struct Case
    {
        const char* what;
        ResourceStatus status;
        bool dropHighQueue;
        FwMessageQueue* queue; // null: by queue type
        MessageQueueType type;
    };
    const Case cases[] = {
        {"registered, not started", RES_REGISTERED, false, nullptr, MQUEUE_NORMAL},
        {"terminated", RES_TERMINATED, false, nullptr, MQUEUE_HIGH_PRIORITY},
        {"no high-priority queue", RES_ACTIVE, true, nullptr, MQUEUE_HIGH_PRIORITY},
        {"queue type out of range", RES_ACTIVE, false, nullptr, static_cast<MessageQueueType>(2)},
        {"queue of another thread", RES_ACTIVE, false, &foreign, MQUEUE_NORMAL},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        m_target->status.store(c.status);
        m_target->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = c.dropHighQueue ? nullptr : m_high.get();
        uint32 seq = 5;
        bool saved = true;
        const int32 result =
            c.queue != nullptr
                ? m_events->sendEventMsg(m_target, c.queue, TERM, someParam(), seq, &m_store, NET_RCV_MSG_LIST, &saved)
                : m_events->sendEventMsg(m_target, c.type, TERM, someParam(), seq, &m_store, NET_RCV_MSG_LIST, &saved);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, THREAD_NOT_ACTIVE);
        EXPECT_FALSE(saved);
        EXPECT_EQ(seq, 5U);
        EXPECT_FALSE(m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_NORMAL));
        EXPECT_FALSE(m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_HIGH_PRIORITY));
        EXPECT_EQ(take(*m_normal).appMsg.type, MSG_UNKNOWN);
        EXPECT_EQ(take(foreign).appMsg.type, MSG_UNKNOWN);
        EXPECT_TRUE(testLog().contains("Error [1203] sending event message [4] to [TARGET]."));
    }
    uint32 seq = 0;
    EXPECT_EQ(m_events->sendEventMsg(static_cast<ThreadResource*>(nullptr), MQUEUE_NORMAL, TERM, someParam(), seq), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, THREAD_NOT_ACTIVE);
}

TEST_F(EventMessageTest, UnknownThreadNameReturnsTheRegistryError)
{
    uint32 seq = 0;
    bool saved = true;
    EXPECT_EQ(m_events->sendEventMsg(Name("NOBODY"), MQUEUE_NORMAL, TERM, someParam(), seq, &m_store,
                                     NET_RCV_MSG_LIST, &saved),
              -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, RES_NOT_EXIST);
    EXPECT_FALSE(saved);
    EXPECT_EQ(seq, 0U);
    EXPECT_TRUE(testLog().contains("Error [1603] sending event message [4] to [NOBODY]."));
}

TEST_F(EventMessageTest, FullQueueParksTheEventAndLaterEventsQueueBehindIt)
{
    fill(*m_normal);
    uint32 seq = 0;
    bool saved = false;
    ASSERT_EQ(m_events->sendEventMsg(m_target, MQUEUE_NORMAL, CONNECTED, someParam(), seq, &m_store,
                                     STREAM_HDR_MSG_LIST, &saved),
              0);
    EXPECT_TRUE(saved);
    EXPECT_TRUE(testLog().contains("Unable to forward event message [13] to [TARGET] due to message queue full. "
                                   "Schedule retry at next timer event."));
    EXPECT_TRUE(testLog().contains("Event message [13] sent to [TARGET]."));

    // The queue has room again, but the next event must not overtake the parked one.
    drain(*m_normal);
    testLog().clear();
    saved = false;
    ASSERT_EQ(m_events->sendEventMsg(m_target, MQUEUE_NORMAL, DISCONNECTED, someParam(), seq, &m_store,
                                     STREAM_HDR_MSG_LIST, &saved),
              0);
    EXPECT_TRUE(saved);
    EXPECT_FALSE(testLog().contains("Schedule retry")) << "parked without trying the queue";
    EXPECT_EQ(take(*m_normal).appMsg.type, MSG_UNKNOWN);

    // Another list, or the other queue type of the same list, is not held up.
    saved = true;
    ASSERT_EQ(m_events->sendEventMsg(m_target, MQUEUE_HIGH_PRIORITY, TERM, someParam(), seq, &m_store,
                                     STREAM_HDR_MSG_LIST, &saved),
              0);
    EXPECT_FALSE(saved);
    EXPECT_EQ(take(*m_high).msgSeqNum, 3U);
    ASSERT_EQ(m_events->sendEventMsg(m_target, MQUEUE_NORMAL, TERM, someParam(), seq, &m_store, IPC_RCV_MSG_LIST,
                                     &saved),
              0);
    EXPECT_FALSE(saved);
    EXPECT_EQ(take(*m_normal).msgSeqNum, 4U);

    EXPECT_EQ(parkedSeqs(STREAM_HDR_MSG_LIST, MQUEUE_NORMAL), "1 2 ");
}

TEST_F(EventMessageTest, FullQueueWithoutParkingIsAnError)
{
    fill(*m_high);
    uint32 seq = 0;
    bool saved = true;
    struct Case
    {
        const char* what;
        MessageStore* store;
        bool* savedFlag;
        MsgListType list;
        int32 code;
    };
    const Case cases[] = {
        {"no store", nullptr, nullptr, MSG_LIST_TYPE_MAX, BUFFER_FULL},
        {"store but no saved flag", &m_store, nullptr, NET_RCV_MSG_LIST, BUFFER_FULL},
        // A list the store cannot hold must not be reported as parked.
        {"list out of range", &m_store, &saved, MSG_LIST_TYPE_MAX, INVALID_FUNC_ARG},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        saved = true;
        EXPECT_EQ(m_events->sendEventMsg(m_target, MQUEUE_HIGH_PRIORITY, SW_ACTIVE, someParam(), seq, c.store,
                                         c.list, c.savedFlag),
                  -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
        if (c.savedFlag != nullptr)
        {
            EXPECT_FALSE(saved);
        }
        EXPECT_FALSE(m_store.isMsgAvail(NET_RCV_MSG_LIST, MQUEUE_HIGH_PRIORITY));
        EXPECT_TRUE(testLog().contains("Error [" + std::to_string(c.code) + "] sending event message [18] to [TARGET]."));
        EXPECT_FALSE(testLog().contains("sent to [TARGET]"));
    }
    EXPECT_EQ(m_high->getNumElem(), QUEUE_LEN) << "nothing was put past the full ring";
}
