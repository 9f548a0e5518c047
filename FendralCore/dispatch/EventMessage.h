// Sender of framework events. Every thread object that sends events (each
// dispatcher, each framework thread) owns one, made for its own thread
// resource. The event is built in one preformatted buffer, reused by every
// send, and copied into the destination thread's normal or high-priority
// queue. A caller that passes a parking store keeps events for a full queue
// in order: a full queue parks the event for a retry on the caller's timer,
// and while events are parked for that destination every new one is parked
// behind them, so the destination sees them in the order they were sent.
//
// Used by its owning thread only (the buffer is shared by its sends); the
// destination queues take several writers.
#pragma once

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/MessageQueue.h"

class Pipeline;
class PlMessageStore;
class ResourceManager;

class EventMessage
{
public:
    // Puts tried per send; a put itself retries a contended ring.
    static constexpr int32 SEND_RETRY_CNT = 5;
    // The pipeline entry header in front of the message in the buffer.
    static constexpr size_t PL_MSG_HEADER_SIZE = 152;
    static constexpr size_t PL_BUF_SIZE = PL_MSG_HEADER_SIZE + sizeof(FwIntMessage);

    // currThdResPtr: the sending thread (its name is every event's
    // originator); resManager: the registry that resolves names.
    explicit EventMessage(ThreadResource* currThdResPtr);
    EventMessage(ThreadResource* currThdResPtr, ResourceManager& resManager);
    virtual ~EventMessage() = default;

    EventMessage(const EventMessage&) = delete;
    EventMessage& operator=(const EventMessage&) = delete;

    // Every send: 0 when the event was put, or parked (then *savedToTmpStorePtr
    // is true); -1 with the code otherwise: THREAD_NOT_ACTIVE for a thread
    // that is not active or lacks the queue, the registry's code for an
    // unknown name, the queue's code when it stayed full or failed, the
    // store's code when parking failed. msgSeqNum is incremented and stamped
    // into the event. Parking needs both tmpStorePtr and savedToTmpStorePtr.

    // Into the thread's queue of queueType.
    int32 sendEventMsg(ThreadResource* thdResPtr, MessageQueueType queueType, FwEventID evtId,
                       const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr = nullptr,
                       MsgListType listType = MSG_LIST_TYPE_MAX, bool* savedToTmpStorePtr = nullptr,
                       ReplicationFlag replicationFlag = NOT_REPLICATION_MSG);
    int32 sendEventMsg(const ResourceName& thdName, MessageQueueType queueType, FwEventID evtId,
                       const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr = nullptr,
                       MsgListType listType = MSG_LIST_TYPE_MAX, bool* savedToTmpStorePtr = nullptr,
                       ReplicationFlag replicationFlag = NOT_REPLICATION_MSG);
    // Into msgQueuePtr, which must be one of the thread's two queues; which
    // of them it is selects the parking list.
    int32 sendEventMsg(ThreadResource* thdResPtr, FwMessageQueue* msgQueuePtr, FwEventID evtId,
                       const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr = nullptr,
                       MsgListType listType = MSG_LIST_TYPE_MAX, bool* savedToTmpStorePtr = nullptr,
                       ReplicationFlag replicationFlag = NOT_REPLICATION_MSG);
    int32 sendEventMsg(const ResourceName& thdName, FwMessageQueue* msgQueuePtr, FwEventID evtId,
                       const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr = nullptr,
                       MsgListType listType = MSG_LIST_TYPE_MAX, bool* savedToTmpStorePtr = nullptr,
                       ReplicationFlag replicationFlag = NOT_REPLICATION_MSG);

    // As one entry (pipeline header and message) at the head of pipelinePtr,
    // for the thread named recipient. A pipeline that stayed full parks the
    // whole entry in tmpStorePtr; while entries are parked there, every new
    // one is parked behind them. NULL_PARAM without a pipeline.
    int32 sendEvtMsgViaPipeline(const ResourceName& recipient, Pipeline* pipelinePtr, FwEventID evtId,
                                const EventParam& evtParam, uint32& msgSeqNum, PlMessageStore* tmpStorePtr = nullptr,
                                MsgListType listType = MSG_LIST_TYPE_MAX, bool* savedToTmpStorePtr = nullptr,
                                ReplicationFlag replicationFlag = NOT_REPLICATION_MSG);

protected:
    ThreadResource* m_currThdResPtr;
    // A pipeline entry header followed by the framework message, so one
    // buffer serves queue sends and whole pipeline entries.
    alignas(8) char m_plBuf[PL_BUF_SIZE];
    FwIntMessage* m_evtMsgPtr;
    PipelineMsgHeader* m_plMsgHdrPtr;
    ResourceManager& m_resManager;

private:
    int32 sendToQueue(ThreadResource* thdResPtr, FwMessageQueue* queue, MessageQueueType queueType, FwEventID evtId,
                      const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr, MsgListType listType,
                      bool* savedToTmpStorePtr, ReplicationFlag replicationFlag);
    int32 putWithRetry(FwMessageQueue* queue);
    int32 enqueueWithRetry(Pipeline* pipelinePtr);
    int32 parkEntry(PlMessageStore* tmpStorePtr, MsgListType listType, bool* savedToTmpStorePtr);
    void logSentViaPipeline(FwEventID evtId, const char* recipient, const EventParam& evtParam);
    int32 park(MessageStore* tmpStorePtr, MsgListType listType, MessageQueueType queueType, bool* savedToTmpStorePtr);
    int32 failSend(int32 code, FwEventID evtId, const char* recipient);
    void logSent(FwEventID evtId, const char* recipient, const EventParam& evtParam);
};

static_assert(EventMessage::PL_BUF_SIZE == 2528);
static_assert(EventMessage::PL_MSG_HEADER_SIZE % alignof(FwIntMessage) == 0);
