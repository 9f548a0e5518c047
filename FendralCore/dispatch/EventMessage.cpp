#include "FendralCore/dispatch/EventMessage.h"

#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/TimeFunc.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cstring>

namespace
{
constexpr int NAME_MAX_LEN = static_cast<int>(sizeof(ResourceName));

// A full or contended queue: worth another put, or parking.
bool isQueueBusy(int32 code)
{
    return code == BUFFER_FULL || code == HEAD_INDEX_CHANGED || code == LOCK_FAILED;
}
} // namespace

EventMessage::EventMessage(ThreadResource* currThdResPtr) : EventMessage(currThdResPtr, ResourceManager::getInst()) {}

EventMessage::EventMessage(ThreadResource* currThdResPtr, ResourceManager& resManager)
    : m_currThdResPtr(currThdResPtr),
      m_plBuf{},
      m_evtMsgPtr(reinterpret_cast<FwIntMessage*>(m_plBuf + PL_MSG_HEADER_SIZE)),
      m_plMsgHdrPtr(reinterpret_cast<PipelineMsgHeader*>(m_plBuf)),
      m_resManager(resManager)
{
    m_evtMsgPtr->appMsg.type = MSG_EVENT;
    // The header and the message behind it form one whole pipeline entry.
    m_plMsgHdrPtr->type = MSG_EVENT;
    m_plMsgHdrPtr->dataLen = static_cast<uint32>(sizeof(FwIntMessage));
    if (currThdResPtr != nullptr)
    {
        std::memcpy(m_evtMsgPtr->originatorTxt, currThdResPtr->threadNameTxt, sizeof(ResourceName));
        std::memcpy(m_plMsgHdrPtr->originatorTxt, currThdResPtr->threadNameTxt, sizeof(ResourceName));
    }
}

int32 EventMessage::sendEventMsg(ThreadResource* thdResPtr, MessageQueueType queueType, FwEventID evtId,
                                 const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr,
                                 MsgListType listType, bool* savedToTmpStorePtr, ReplicationFlag replicationFlag)
{
    FwMessageQueue* queue = nullptr;
    // The type indexes the thread's queue array: anything else owns no queue.
    if (thdResPtr != nullptr && (queueType == MQUEUE_NORMAL || queueType == MQUEUE_HIGH_PRIORITY))
        queue = thdResPtr->msgQueuePtrArray[queueType];
    return sendToQueue(thdResPtr, queue, queueType, evtId, evtParam, msgSeqNum, tmpStorePtr, listType,
                       savedToTmpStorePtr, replicationFlag);
}

int32 EventMessage::sendEventMsg(const ResourceName& thdName, MessageQueueType queueType, FwEventID evtId,
                                 const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr,
                                 MsgListType listType, bool* savedToTmpStorePtr, ReplicationFlag replicationFlag)
{
    if (savedToTmpStorePtr != nullptr)
        *savedToTmpStorePtr = false;
    ThreadResource* thdResPtr = nullptr;
    if (m_resManager.getThreadRes(thdName, &thdResPtr) != 0)
        return failSend(FrameworkErrno::m_fwErrno, evtId, thdName);
    return sendEventMsg(thdResPtr, queueType, evtId, evtParam, msgSeqNum, tmpStorePtr, listType,
                        savedToTmpStorePtr, replicationFlag);
}

int32 EventMessage::sendEventMsg(ThreadResource* thdResPtr, FwMessageQueue* msgQueuePtr, FwEventID evtId,
                                 const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr,
                                 MsgListType listType, bool* savedToTmpStorePtr, ReplicationFlag replicationFlag)
{
    FwMessageQueue* queue = nullptr;
    MessageQueueType queueType = MQUEUE_NORMAL;
    if (thdResPtr != nullptr && msgQueuePtr != nullptr)
    {
        if (msgQueuePtr == thdResPtr->msgQueuePtrArray[MQUEUE_NORMAL])
            queue = msgQueuePtr;
        else if (msgQueuePtr == thdResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY])
        {
            queue = msgQueuePtr;
            queueType = MQUEUE_HIGH_PRIORITY;
        }
    }
    return sendToQueue(thdResPtr, queue, queueType, evtId, evtParam, msgSeqNum, tmpStorePtr, listType,
                       savedToTmpStorePtr, replicationFlag);
}

int32 EventMessage::sendEventMsg(const ResourceName& thdName, FwMessageQueue* msgQueuePtr, FwEventID evtId,
                                 const EventParam& evtParam, uint32& msgSeqNum, MessageStore* tmpStorePtr,
                                 MsgListType listType, bool* savedToTmpStorePtr, ReplicationFlag replicationFlag)
{
    if (savedToTmpStorePtr != nullptr)
        *savedToTmpStorePtr = false;
    ThreadResource* thdResPtr = nullptr;
    if (m_resManager.getThreadRes(thdName, &thdResPtr) != 0)
        return failSend(FrameworkErrno::m_fwErrno, evtId, thdName);
    return sendEventMsg(thdResPtr, msgQueuePtr, evtId, evtParam, msgSeqNum, tmpStorePtr, listType,
                        savedToTmpStorePtr, replicationFlag);
}

int32 EventMessage::sendToQueue(ThreadResource* thdResPtr, FwMessageQueue* queue, MessageQueueType queueType,
                                FwEventID evtId, const EventParam& evtParam, uint32& msgSeqNum,
                                MessageStore* tmpStorePtr, MsgListType listType, bool* savedToTmpStorePtr,
                                ReplicationFlag replicationFlag)
{
    if (savedToTmpStorePtr != nullptr)
        *savedToTmpStorePtr = false;
    if (thdResPtr == nullptr || queue == nullptr || thdResPtr->status.load(std::memory_order_acquire) != RES_ACTIVE)
        return failSend(THREAD_NOT_ACTIVE, evtId, thdResPtr != nullptr ? thdResPtr->threadNameTxt : "");

    FwIntMessage& msg = *m_evtMsgPtr;
    std::memcpy(msg.recipientTxt, thdResPtr->threadNameTxt, sizeof(ResourceName));
    msg.msgSeqNum = ++msgSeqNum;
    msg.appMsg.event.id = evtId;
    msg.appMsg.event.replicationFlag = replicationFlag;
    msg.appMsg.event.eventParam = evtParam;

    const bool parking = tmpStorePtr != nullptr && savedToTmpStorePtr != nullptr;
    // Behind events already parked for this destination, never ahead of them.
    if (parking && tmpStorePtr->isMsgAvail(listType, queueType))
    {
        if (park(tmpStorePtr, listType, queueType, savedToTmpStorePtr) != 0)
            return failSend(FrameworkErrno::m_fwErrno, evtId, msg.recipientTxt);
        logSent(evtId, msg.recipientTxt, evtParam);
        return 0;
    }

    if (putWithRetry(queue) == 0)
    {
        logSent(evtId, msg.recipientTxt, evtParam);
        return 0;
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    if (!parking || !isQueueBusy(code))
        return failSend(code, evtId, msg.recipientTxt);

    fwLog(LOG_LEVEL_NOTICE,
          "Unable to forward event message [%d] to [%.*s] due to message queue full. Schedule retry at next timer "
          "event.",
          static_cast<int>(evtId), NAME_MAX_LEN, msg.recipientTxt);
    if (park(tmpStorePtr, listType, queueType, savedToTmpStorePtr) != 0)
        return failSend(FrameworkErrno::m_fwErrno, evtId, msg.recipientTxt);
    logSent(evtId, msg.recipientTxt, evtParam);
    return 0;
}

int32 EventMessage::putWithRetry(FwMessageQueue* queue)
{
    for (int32 attempt = 0; attempt < SEND_RETRY_CNT; ++attempt)
    {
        if (queue->putMessage(m_evtMsgPtr) == 0)
            return 0;
        if (!isQueueBusy(FrameworkErrno::m_fwErrno))
            return -1;
    }
    return -1;
}

// A store that refuses the event (a list out of range) must not be taken for
// a parked event: the caller would wait for a retry that never comes.
int32 EventMessage::park(MessageStore* tmpStorePtr, MsgListType listType, MessageQueueType queueType,
                         bool* savedToTmpStorePtr)
{
    if (tmpStorePtr->insertMsg(listType, queueType, m_evtMsgPtr) != 0)
        return -1;
    *savedToTmpStorePtr = true;
    return 0;
}

int32 EventMessage::failSend(int32 code, FwEventID evtId, const char* recipient)
{
    fwLog(LOG_LEVEL_ERROR, "Error [%d] sending event message [%d] to [%.*s].", code, static_cast<int>(evtId),
          NAME_MAX_LEN, recipient);
    return fwFail(code, -1);
}

void EventMessage::logSent(FwEventID evtId, const char* recipient, const EventParam& evtParam)
{
    fwLog(LOG_LEVEL_DEBUG, "Event message [%d] sent to [%.*s]. Param: [%.*s] [%d] [%d] [%ld].",
          static_cast<int>(evtId), NAME_MAX_LEN, recipient, NAME_MAX_LEN, evtParam.resNameTxt,
          static_cast<int>(evtParam.paramInt16), evtParam.paramInt32, static_cast<long>(evtParam.paramInt64));
}

int32 EventMessage::sendEvtMsgViaPipeline(const ResourceName& recipient, Pipeline* pipelinePtr, FwEventID evtId,
                                          const EventParam& evtParam, uint32& msgSeqNum, PlMessageStore* tmpStorePtr,
                                          MsgListType listType, bool* savedToTmpStorePtr,
                                          ReplicationFlag replicationFlag)
{
    if (savedToTmpStorePtr != nullptr)
        *savedToTmpStorePtr = false;
    if (pipelinePtr == nullptr)
        return failSend(NULL_PARAM, evtId, recipient);

    FwIntMessage& msg = *m_evtMsgPtr;
    getCurrentTime(msg.tm);
    m_plMsgHdrPtr->tm = msg.tm;
    std::memcpy(msg.recipientTxt, recipient, sizeof(ResourceName));
    std::memcpy(m_plMsgHdrPtr->recipientTxt, recipient, sizeof(ResourceName));
    msg.msgSeqNum = ++msgSeqNum;
    msg.appMsg.event.id = evtId;
    msg.appMsg.event.replicationFlag = replicationFlag;
    msg.appMsg.event.eventParam = evtParam;

    const bool parking = tmpStorePtr != nullptr && savedToTmpStorePtr != nullptr;
    // Behind entries already parked for this pipeline, never ahead of them.
    if (parking && tmpStorePtr->isMsgAvail(listType))
    {
        if (parkEntry(tmpStorePtr, listType, savedToTmpStorePtr) != 0)
            return failSend(FrameworkErrno::m_fwErrno, evtId, recipient);
        logSentViaPipeline(evtId, recipient, evtParam);
        return 0;
    }
    if (enqueueWithRetry(pipelinePtr) == 0)
    {
        logSentViaPipeline(evtId, recipient, evtParam);
        return 0;
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    if (!parking || !isQueueBusy(code))
        return failSend(code, evtId, recipient);
    fwLog(LOG_LEVEL_NOTICE, "Unable to forward message due to pipeline full. Schedule retry at next timer event.");
    if (parkEntry(tmpStorePtr, listType, savedToTmpStorePtr) != 0)
        return failSend(FrameworkErrno::m_fwErrno, evtId, recipient);
    logSentViaPipeline(evtId, recipient, evtParam);
    return 0;
}

int32 EventMessage::enqueueWithRetry(Pipeline* pipelinePtr)
{
    for (int32 attempt = 0; attempt < SEND_RETRY_CNT; ++attempt)
    {
        if (pipelinePtr->enqueue(reinterpret_cast<const char*>(m_evtMsgPtr), *m_plMsgHdrPtr, 3) == 0)
            return 0;
        if (!isQueueBusy(FrameworkErrno::m_fwErrno))
            return -1;
    }
    return -1;
}

int32 EventMessage::parkEntry(PlMessageStore* tmpStorePtr, MsgListType listType, bool* savedToTmpStorePtr)
{
    if (tmpStorePtr->insertMsg(listType, m_plBuf, static_cast<uint32>(PL_BUF_SIZE)) != 0)
        return -1;
    *savedToTmpStorePtr = true;
    return 0;
}

void EventMessage::logSentViaPipeline(FwEventID evtId, const char* recipient, const EventParam& evtParam)
{
    fwLog(LOG_LEVEL_DEBUG, "Event message [%d] sent via pipeline to [%.*s]. Param: [%.*s] [%d] [%d] [%ld]",
          static_cast<int>(evtId), NAME_MAX_LEN, recipient, NAME_MAX_LEN, evtParam.resNameTxt,
          static_cast<int>(evtParam.paramInt16), evtParam.paramInt32, static_cast<long>(evtParam.paramInt64));
}
