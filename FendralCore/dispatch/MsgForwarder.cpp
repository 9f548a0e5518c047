#include "FendralCore/dispatch/MsgForwarder.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cstring>

namespace
{
UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}

void keyToName(const UInt128& key, ResourceName& name)
{
    std::memcpy(name, key.m_data.txt, 16);
    name[16] = '\0';
}

bool isTransientPutError(int32 code)
{
    return code == BUFFER_FULL || code == HEAD_INDEX_CHANGED || code == LOCK_FAILED;
}
} // namespace

MsgForwarder::MsgForwarder(EventMessage& sender, ResourceManager& resMgr, MsgListType listType, uint32& msgSeqNum,
                           uint32 maxMsgSize)
    : m_sender(sender),
      m_resMgr(resMgr),
      m_listType(listType),
      m_msgSeqNum(msgSeqNum),
      m_storedPlBufSize(maxMsgSize + PL_HDR_SIZE),
      m_storedPlMsgPtr(new char[m_storedPlBufSize]())
{
}

void MsgForwarder::setReplicator(ThreadResource* replicator)
{
    m_replicator = replicator;
    m_replicatorKey = replicator != nullptr ? nameKey(replicator->threadNameTxt) : UInt128();
}

int32 MsgForwarder::lookUpPeers(bool replication, UnsortedMap<UInt128>& parkedStores, Peers& peers)
{
    ResourceName name{};
    ResourceManager::copyResourceName(name, "CTL_THREAD");
    if (m_resMgr.getThreadRes(name, &peers.control) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting main control thread resource pointer.", code);
        return fwFail(code, code);
    }
    if (!replication)
        return 0;
    ResourceManager::copyResourceName(name, "MSG_REPLICATOR");
    if (m_resMgr.getThreadRes(name, &peers.replicator) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting message replicator thread resource pointer.", code);
        return fwFail(code, code);
    }
    peers.replicatorKey = nameKey(name);
    setReplicator(peers.replicator);
    DataValueType value = 0;
    if (parkedStores.getValueByKey(peers.replicatorKey, value, false))
        peers.replicatorStore = reinterpret_cast<MessageStore*>(value);
    return 0;
}

void MsgForwarder::registerUnsent(const ResourceName& recipient, MessageStore* store)
{
    if (store != nullptr)
        m_unsent.insert(nameKey(recipient), reinterpret_cast<DataValueType>(store), true);
}

void MsgForwarder::registerUnsentPl(const ResourceName& plName, PlMessageStore* store)
{
    if (store != nullptr)
        m_unsentPl.insert(nameKey(plName), reinterpret_cast<DataValueType>(store), true);
}

void MsgForwarder::clear()
{
    m_unsent.removeAll();
    m_unsentPl.removeAll();
}

// ---- queue path ----

int32 MsgForwarder::putOne(FwMessageQueue* queue, const FwIntMessage& msg)
{
    if (m_batchDepth == 0 || queue->getOptimizeMode() != CPU_UTILIZATION)
        return queue->putMessage(&msg);
    if (queue->putMessageQuietly(&msg) != 0)
        return -1;
    for (uint32 i = 0; i < m_numPending; ++i)
    {
        if (m_pending[i].queue == queue)
        {
            ++m_pending[i].count;
            return 0;
        }
    }
    if (m_numPending == MAX_PENDING_WAKE_UPS)
        flushWakeUps();
    m_pending[m_numPending++] = PendingWakeUp{queue, 1};
    return 0;
}

// A failed post leaves the messages in the ring: the reader finds them with
// the next wake-up, as after a failed post of a single put.
void MsgForwarder::flushWakeUps()
{
    for (uint32 i = 0; i < m_numPending; ++i)
        m_pending[i].queue->wakeUp(m_pending[i].count);
    m_numPending = 0;
}

bool MsgForwarder::moveParked(MessageStore* store, MessageQueueType type, FwMessageQueue* queue)
{
    while (queue != nullptr && store->isMsgAvail(m_listType, type) &&
           queue->hasFreeEntriesAbove(THREAD_MSGQ_RESERVED_ENTRIES))
    {
        if (store->getMsg(m_listType, type, &m_storedMsg) != 0 || putOne(queue, m_storedMsg) != 0)
            break;
        store->removeMsg(m_listType, type);
    }
    return store->isMsgAvail(m_listType, type);
}

bool MsgForwarder::flushQueue(const ForwardTarget& t)
{
    return t.store != nullptr && moveParked(t.store, t.queueType, t.queue);
}

int32 MsgForwarder::park(const ForwardTarget& t, const FwIntMessage& msg)
{
    // Without a store nothing can wait: the caller hears a full queue.
    if (t.store == nullptr)
        return fwFail(BUFFER_FULL, -1);
    if (t.store->insertMsg(m_listType, t.queueType, &msg) != 0)
        return -1;
    registerUnsent(t.recipient, t.store);
    return 0;
}

int32 MsgForwarder::put(const ForwardTarget& t, const FwIntMessage& msg, bool& parked, const EventParam& congestParam,
                        Outcome& outcome)
{
    outcome = FWD_PARKED;
    if (parked)
        return park(t, msg);
    if (t.queue == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, -1);

    int32 code = BUFFER_FULL;
    if (!t.queue->hasFreeEntriesAbove(THREAD_MSGQ_RESERVED_ENTRIES))
        fwLog(LOG_LEVEL_NOTICE,
              "Unable to forward message to [%s] due to message queue available entry <= "
              "THREAD_MSGQ_RESERVED_ENTRIES. Schedule retry at next timer event.",
              t.recipient);
    else
    {
        for (int32 attempt = 0; attempt < PUT_RETRY_CNT; ++attempt)
        {
            if (putOne(t.queue, msg) == 0)
            {
                outcome = FWD_PUT;
                return 0;
            }
            code = FrameworkErrno::m_fwErrno;
            if (!isTransientPutError(code))
                return -1;
        }
        fwLog(LOG_LEVEL_NOTICE,
              "Unable to forward message to [%s] due to message queue full. Schedule retry at next timer event.",
              t.recipient);
    }
    if (park(t, msg) != 0)
        return -1;
    parked = true;
    outcome = FWD_CONGESTED;
    EventParam p = congestParam;
    p.paramInt32 = code;
    m_sender.sendEventMsg(t.recipient, t.altQueue, MSG_QUEUE_CONGEST, p, m_msgSeqNum);
    return 0;
}

// ---- pipeline path ----

bool MsgForwarder::movePlParked(Pipeline* pipeline, PlMessageStore* store)
{
    while (store->isMsgAvail(m_listType))
    {
        uint32 len = 0;
        if (store->getMsg(m_listType, m_storedPlMsgPtr.get(), m_storedPlBufSize, len) != 0 || len < PL_HDR_SIZE)
            break;
        const auto* hdr = reinterpret_cast<const PipelineMsgHeader*>(m_storedPlMsgPtr.get());
        if (pipeline->enqueue(m_storedPlMsgPtr.get() + PL_HDR_SIZE, *hdr, PL_ENQ_RETRY_CNT, PL_ENQ_RETRY_INTERVAL) != 0)
            break;
        store->removeMsg(m_listType);
    }
    return store->isMsgAvail(m_listType);
}

bool MsgForwarder::flushPipeline(Pipeline* pipeline, PlMessageStore* store)
{
    if (store == nullptr)
        return false;
    if (pipeline == nullptr)
        return store->isMsgAvail(m_listType);
    return movePlParked(pipeline, store);
}

int32 MsgForwarder::enqueue(Pipeline* pipeline, PlMessageStore* store, const ResourceName& plName, const char* entry,
                            bool& parked, const ResourceName& owner, FwMessageQueue* ownerQueue,
                            const EventParam& congestParam, Outcome& outcome)
{
    const auto* hdr = reinterpret_cast<const PipelineMsgHeader*>(entry);
    return enqueue(pipeline, store, plName, *hdr, entry + PL_HDR_SIZE, parked, owner, ownerQueue, congestParam,
                   outcome);
}

int32 MsgForwarder::enqueue(Pipeline* pipeline, PlMessageStore* store, const ResourceName& plName,
                            const PipelineMsgHeader& header, const char* payload, bool& parked,
                            const ResourceName& owner, FwMessageQueue* ownerQueue, const EventParam& congestParam,
                            Outcome& outcome)
{
    outcome = FWD_PARKED;
    if (pipeline == nullptr)
        return fwFail(RES_PL_NOT_EXIST, -1);
    if (!fitsPipeline(header.dataLen, *pipeline))
        return fwFail(MSG_TOO_LARGE, -1);
    auto parkEntry = [&]() -> int32 {
        if (store == nullptr)
            return fwFail(BUFFER_FULL, -1);
        const uint64 len = uint64{PL_HDR_SIZE} + header.dataLen;
        const char* entry = reinterpret_cast<const char*>(&header);
        if (payload != entry + PL_HDR_SIZE)
        {
            // The store keeps one contiguous record: join the two here.
            if (len > m_storedPlBufSize)
                return fwFail(MSG_TOO_LARGE, -1);
            std::memcpy(m_storedPlMsgPtr.get(), &header, PL_HDR_SIZE);
            if (header.dataLen > 0)
                std::memcpy(m_storedPlMsgPtr.get() + PL_HDR_SIZE, payload, header.dataLen);
            entry = m_storedPlMsgPtr.get();
        }
        if (store->insertMsg(m_listType, entry, static_cast<uint32>(len)) != 0)
            return -1;
        registerUnsentPl(plName, store);
        return 0;
    };
    if (parked)
        return parkEntry();
    if (pipeline->enqueue(payload, header, PL_ENQ_RETRY_CNT, PL_ENQ_RETRY_INTERVAL) == 0)
    {
        outcome = FWD_PUT;
        return 0;
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    if (code != BUFFER_FULL && code != HEAD_INDEX_CHANGED)
        return -1;
    if (parkEntry() != 0)
        return -1;
    parked = true;
    outcome = FWD_CONGESTED;
    EventParam p = congestParam;
    p.paramInt32 = code;
    m_sender.sendEventMsg(owner, ownerQueue, PIPELINE_CONGEST, p, m_msgSeqNum);
    return 0;
}

// ---- timer retry ----

int32 MsgForwarder::retry()
{
    // The stream thread retries after every pass: with nothing parked that
    // must cost nothing, not a walk over two empty tables.
    if (!hasUnsent())
        return 0;
    UInt128 key;
    DataValueType value = 0;
    for (bool more = m_unsent.getFirst(key, value); more; more = m_unsent.getNext(key, value))
    {
        auto* store = reinterpret_cast<MessageStore*>(value);
        ThreadResource* thr = nullptr;
        if (m_replicator != nullptr && key == m_replicatorKey)
            thr = m_replicator;
        else
        {
            ResourceName name{};
            keyToName(key, name);
            if (m_resMgr.getThreadRes(name, &thr) != 0 || thr == nullptr)
                continue;
        }
        for (MessageQueueType type : {MQUEUE_HIGH_PRIORITY, MQUEUE_NORMAL})
            moveParked(store, type, thr->msgQueuePtrArray[type]);
        if (!store->isMsgAvail(m_listType, MQUEUE_HIGH_PRIORITY) && !store->isMsgAvail(m_listType, MQUEUE_NORMAL))
            m_unsent.remove(key);
    }
    for (bool more = m_unsentPl.getFirst(key, value); more; more = m_unsentPl.getNext(key, value))
    {
        auto* store = reinterpret_cast<PlMessageStore*>(value);
        ResourceName name{};
        keyToName(key, name);
        PipelineResource* plRes = nullptr;
        if (m_resMgr.getPipelineRes(name, &plRes) != 0 || plRes == nullptr || plRes->pipelinePtr == nullptr)
            continue;
        if (!movePlParked(plRes->pipelinePtr, store))
            m_unsentPl.remove(key);
    }
    return 0;
}
