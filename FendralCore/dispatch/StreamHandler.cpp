#include "FendralCore/dispatch/StreamHandler.h"

#include "FendralCore/dispatch/SingleRwRingBuffer2.h"
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/dispatch/StreamEventRecord.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <sched.h>

namespace
{
constexpr MsgListType LIST = STREAM_HDR_MSG_LIST;
// Keeps the sizes derived from the connection limit inside 32 bits.
constexpr int32 TCP_CONN_LIMIT = 1000000;

void keyToName(const UInt128& key, ResourceName& name)
{
    std::memcpy(name, key.m_data.txt, 16);
    name[16] = '\0';
}

void copyName(ResourceName& dst, const ResourceName& src)
{
    std::memcpy(dst, src, sizeof(ResourceName));
    dst[16] = '\0';
}


int64 monoNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

bool isIncomplete(int32 code)
{
    return code == BUFFER_EMPTY || code == NOT_ENOUGH_FILLED_ENTRY || code == PARTIAL_MSG_RCVD;
}
} // namespace

StreamHandler::StreamHandler(ThreadResource* threadResPtr)
    : StreamHandler(threadResPtr, ResourceManager::getInst(), GlobalData::getInst(),
                    GlobalData::getInst().getConfigManager())
{
}

StreamHandler::StreamHandler(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                             const ConfigManager* configMgr)
    : EventMessage(threadResPtr, resMgr),
      m_threadResPtr(threadResPtr),
      m_configMgrPtr(configMgr),
      m_resMgr(resMgr),
      m_gblData(gblData),
      m_optMode(gblData.m_optMode.load(std::memory_order_acquire))
{
    const int32 tcpMax =
        std::min(FwConfigKeys::readPositiveInt32(configMgr, ResourceManager::TCP_CONN_RES_NUM_MAX_LABEL, ResourceManager::TCP_CONN_RES_NUM_MAX),
                 TCP_CONN_LIMIT);
    m_timeout = FwConfigKeys::readPositiveInt32(configMgr, STS_RPT_INTERVAL_LABEL, DEFAULT_STS_RPT_INTERVAL);
    m_contMsgProcNum = FwConfigKeys::readPositiveInt32(configMgr, SH_MSG_PROC_NUM_LABEL, DEFAULT_CONT_MSG_PROC_NUM);
    m_maxNumDesc = tcpMax + 3;
    m_streamArraySize = 3 * tcpMax;
    m_maxMsgSize = static_cast<int32>(std::clamp(gblData.m_maxMsgSize, GlobalData::MSG_SIZE_MIN, GlobalData::MSG_SIZE_MAX));

    m_remainderStreamAryPtr.reset(new StreamBuffer*[static_cast<size_t>(m_streamArraySize)]());
    m_tmpStreamAryPtr.reset(new StreamBuffer*[static_cast<size_t>(m_streamArraySize)]());
    m_fdAryPtr.reset(new StreamBuffer*[static_cast<size_t>(m_maxNumDesc)]());
    m_readyAryPtr.reset(new FileDescriptor*[static_cast<size_t>(m_maxNumDesc)]());
    m_streamBufRepository.setCapacity(tcpMax);
    m_heldStreams.reserve(static_cast<size_t>(tcpMax));

    const char* ownName = threadResPtr != nullptr ? threadResPtr->threadNameTxt : THREAD_NAME;
    m_tmpMsgPtr.reset(new char[static_cast<size_t>(PL_HDR_SIZE + m_maxMsgSize)]());
    m_tmpBufPtr = m_tmpMsgPtr.get() + PL_HDR_SIZE;
    auto* hdr = reinterpret_cast<PipelineMsgHeader*>(m_tmpMsgPtr.get());
    ResourceManager::copyResourceName(hdr->originatorTxt, ownName);
    hdr->type = MSG_DATA;
    m_forwarder = std::make_unique<MsgForwarder>(*this, resMgr, LIST, m_msgSeqNum, static_cast<uint32>(m_maxMsgSize));

    ResourceManager::copyResourceName(m_evtMsg.originatorTxt, ownName);
    m_evtMsg.appMsg.type = MSG_EVENT;
    ResourceManager::copyResourceName(m_dataMsg.originatorTxt, ownName);
    m_dataMsg.appMsg.type = MSG_DATA;
    m_dataMsg.appMsg.data.dataDir = INCOMING_DATA;
    m_dataMsg.appMsg.data.chnType = TCP_CHANNEL;

    m_timerPtr = std::make_unique<Timer>(m_timeout, true);
    m_fdWaitPtr = std::make_unique<FileDescMultiplexer>(m_maxNumDesc);
}

StreamHandler::~StreamHandler()
{
    if (m_errorTermination)
        return;
    // The handler owns every buffer it added. The network thread stops after
    // this one and goes on writing into the buffers still linked to their
    // channels: those it frees itself when it ends.
    const bool writerRunning = m_netRcvThdResPtr != nullptr &&
                               m_netRcvThdResPtr->status.load(std::memory_order_acquire) == RES_ACTIVE;
    uint64 key = 0;
    DataValueType value = 0;
    for (bool more = m_streamBufRepository.getFirst(key, value); more;
         more = m_streamBufRepository.getNext(key, value))
    {
        auto* sb = reinterpret_cast<StreamBuffer*>(value);
        if (TcpConnResource* res = sb->getChannelRes(); res != nullptr && res->streamBufPtr == sb)
        {
            if (writerRunning)
                continue;
            clearStreamBuffer(*res);
        }
        delete sb;
    }
}

// ---- thread side ----

int32 StreamHandler::initialize()
{
    MsgForwarder::Peers peers;
    if (const int32 r = m_forwarder->lookUpPeers(m_gblData.m_repliServiceEnabled, m_gblData.m_tmpMsgRepository, peers);
        r != 0)
        return r;
    m_ctlThdResPtr = peers.control;
    m_msgRepliThdResPtr = peers.replicator;
    ResourceName netName{};
    ResourceManager::copyResourceName(netName, "NET_RECEIVER");
    if (m_resMgr.getThreadRes(netName, &m_netRcvThdResPtr) != 0)
        m_netRcvThdResPtr = nullptr; // no TCP data from a network thread: the buffers are all ours
    m_replicationThreadId = peers.replicatorKey;
    m_repliMsgStorePtr = peers.replicatorStore;
    if (m_msgRepliThdResPtr != nullptr)
        copyName(m_dataMsg.recipientTxt, m_msgRepliThdResPtr->threadNameTxt);
    if (m_optMode != CPU_UTILIZATION)
        return 0;
    int32 r = m_fdWaitPtr->addFileDesc(m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY], IO_WAIT_READ);
    if (r != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] adding high priority message queue to Wait object in Network Receiver.",
              FrameworkErrno::m_fwErrno);
        return FrameworkErrno::m_fwErrno;
    }
    r = m_fdWaitPtr->addFileDesc(m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL], IO_WAIT_READ);
    if (r != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] adding normal message queue to Wait object in Network Receiver.",
              FrameworkErrno::m_fwErrno);
        return FrameworkErrno::m_fwErrno;
    }
    r = m_fdWaitPtr->addFileDesc(m_timerPtr.get(), IO_WAIT_READ);
    if (r != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] adding timer message queue to Wait object in Network Receiver.",
              FrameworkErrno::m_fwErrno);
        return FrameworkErrno::m_fwErrno;
    }
    return m_timerPtr->startTimer() == 0 ? 0 : FrameworkErrno::m_fwErrno;
}

int32 StreamHandler::run(int32& execExitHdr)
{
    execExitHdr = 1;
    return runGuarded("Stream Handler", [&]() -> int32 {
        const int32 init = initialize();
        if (init != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Proceed thread termination.", init);
            m_errorTermination = true;
            return init;
        }
        m_tmRead = false;
        m_lastRetryNs = monoNs();
        bool terminate = false;
        const int32 r = m_optMode == CPU_UTILIZATION ? loopCpu(terminate) : loopLowLatency(terminate);
        execExitHdr = terminate ? 0 : 1;
        return r;
    });
}

int32 StreamHandler::loopCpu(bool& terminate)
{
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    while (!terminate)
    {
        // Parked messages move on, and held streams go on, when their
        // recipient has taken some, which nothing here is told of: while
        // anything waits they are retried often, not at the status tick.
        const bool waiting = !m_heldStreams.empty() || m_forwarder->hasUnsent();
        const int32 n = m_fdWaitPtr->wait(m_readyAryPtr.get(), m_maxNumDesc, waiting ? HELD_RETRY_MS : -1);
        if (n < 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] waiting for descriptors in Stream Handler.", FrameworkErrno::m_fwErrno);
            return -1;
        }
        bool highReady = false, normalReady = false, timerReady = false, streamReady = false;
        for (int32 i = 0; i < n; ++i)
        {
            FileDescriptor* fd = m_readyAryPtr[static_cast<size_t>(i)];
            if (fd == high)
                highReady = true;
            else if (fd == normal)
                normalReady = true;
            else if (fd == m_timerPtr.get())
                timerReady = true;
            else
            {
                // Every other descriptor is a stream ring. Its wake-ups are
                // taken before the pass, so one posted while the pass runs
                // stays and wakes the next one. Before CONN_INIT there is no
                // pass to take them for: they stay until there is.
                if (m_streamEvtBufPtr != nullptr)
                    static_cast<StreamBuffer*>(fd)->takeWakeUps();
                streamReady = true;
            }
        }
        if (n == 0)
        {
            if (!m_heldStreams.empty())
            {
                m_tmRead = false;
                int32 count = 0;
                retryForwardMsg();
                processAllDataStreams(count);
            }
            else if (waiting)
                retryForwardMsg();
            continue;
        }
        m_tmRead = false;
        if (timerReady)
        {
            char buf[8];
            int done = 0;
            if (m_timerPtr->receive(buf, sizeof buf, done) != 0)
                continue;
            touchLiveness();
            retryForwardMsg();
        }
        int32 count = 0;
        if (highReady && processMessage(high, terminate, count) != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
            continue;
        }
        if (terminate)
            break;
        if (normalReady && processMessage(normal, terminate, count) != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on normal priority queue.",
                  FrameworkErrno::m_fwErrno);
            continue;
        }
        if (terminate)
            break;
        if (streamReady)
            processAllDataStreams(count);
    }
    return 0;
}

int32 StreamHandler::loopLowLatency(bool& terminate)
{
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    const int64 intervalNs = static_cast<int64>(m_timeout) * 1000000LL;
    int32 idle = 0;
    while (!terminate)
    {
        m_tmRead = false;
        const int64 now = monoNs();
        if (now - m_lastRetryNs > intervalNs)
        {
            m_lastRetryNs = now;
            touchLiveness();
            retryForwardMsg();
        }
        int32 a = 0, b = 0, c = 0;
        if (processMessage(high, terminate, a) != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
        if (terminate)
            break;
        if (processMessage(normal, terminate, b) != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on normal priority queue.",
                  FrameworkErrno::m_fwErrno);
        if (terminate)
            break;
        processAllDataStreams(c);
        if (a + b + c != 0)
            idle = 0;
        else if (++idle > m_gblData.m_idleSpinCycle)
        {
            if (m_gblData.m_lowLatencyCpuSaver)
                ::sched_yield();
            idle = 0;
        }
    }
    return 0;
}

int32 StreamHandler::processMessage(FwMessageQueue* queue, bool& terminate, int32& msgCount)
{
    msgCount = 0;
    if (queue == nullptr)
        return fwFail(NULL_PARAM, -1);
    bool more = true;
    while (more)
    {
        if (queue->getMessage(&m_msg, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
        if (++msgCount % m_contMsgProcNum == 0)
            touchLiveness();
        if (m_msg.appMsg.type == MSG_DATA)
            continue;
        if (m_msg.appMsg.type != MSG_EVENT)
        {
            fwLog(LOG_LEVEL_NOTICE, "Unexpected message type [%d] received from [%s], message seq [%d] . Ignore and continue.",
                  m_msg.appMsg.type, m_msg.originatorTxt, m_msg.msgSeqNum);
            continue;
        }
        const EventMsg& evt = m_msg.appMsg.event;
        const EventParam& p = evt.eventParam;
        fwLog(LOG_LEVEL_DEBUG, "Received event [%d] from [%s]. Param: [%s] [%d] [%d] [%ld].", evt.id,
              m_msg.originatorTxt, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
        auto* res = static_cast<TcpConnResource*>(p.resPtr);
        int32 r = 0;
        switch (evt.id)
        {
        case INIT:
            m_initEventRcvd = true;
            r = sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, INIT_ACK, EventParam{}, m_msgSeqNum);
            break;
        case APP_READY:
            break;
        case CONN_INIT:
            m_streamEvtBufPtr = m_gblData.m_streamEvtBufPtr;
            m_msgJournalLoggerPtr = m_gblData.getMsgJournalLogger();
            break;
        case TERM:
            terminate = true;
            return 0;
        case SW_ACTIVE:
            m_initEventRcvd = true;
            r = sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, SW_ACTIVE_ACK, EventParam{}, m_msgSeqNum);
            break;
        case SW_STANDBY:
            r = sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, SW_STANDBY_ACK, EventParam{}, m_msgSeqNum);
            break;
        case STREAM_ADD:
            r = addStream(res, p.paramInt32);
            break;
        case STREAM_DEL:
            r = res == nullptr ? 0 : delStream(res, p.paramInt32);
            break;
        default:
            fwLog(LOG_LEVEL_NOTICE, "Unexpected event message [%d] received. Ignore and continue.", evt.id);
            break;
        }
        // As in the other receiving threads: a failed handler ends the batch,
        // the rest staying queued; an empty buffer is no failure.
        if (r != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing event message [%d]. Param: [%s] [%d] [%d] [%ld]", code,
                  evt.id, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
            return code == BUFFER_EMPTY ? 0 : fwFail(code, -1);
        }
    }
    return 0;
}

int32 StreamHandler::addStream(TcpConnResource* tcpResPtr, int32 eventId)
{
    if (tcpResPtr == nullptr)
    {
        fwLog(LOG_LEVEL_WARNING, "The STREAM_ADD event is not associated with a TCP resource and it cannot be added to "
                                 "Stream Handler. The event is ignored and continue.");
        return 0;
    }
    StreamBuffer* sb = tcpResPtr->streamBufPtr;
    if (sb == nullptr)
    {
        fwLog(LOG_LEVEL_WARNING, "The TCP resource specified in STREAM_ADD event does not have a stream buffer and it "
                                 "cannot be added to Stream Handler. The event is ignored and continue.");
        return 0;
    }
    if (registerStream(sb) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == WAIT_OBJECT_LIST_FULL)
        {
            fwLog(LOG_LEVEL_WARNING,
                  "The descriptor multiplexer in Stream Handler is full while trying to add stream buffer. Number of "
                  "descriptors [%d].",
                  m_maxNumDesc);
            shutdownConnection(tcpResPtr, WAIT_OBJECT_LIST_FULL);
            return 0;
        }
        if (code == INVALID_DESCRIPTOR)
            fwLog(LOG_LEVEL_ERROR, "The descriptor associated with the stream buffer is invalid.");
        fwLog(LOG_LEVEL_ERROR, "Error [%d] adding a stream buffer to the Stream Handler.", code);
        return fwFail(code, code);
    }

    m_tmpPara = EventParam{};
    copyName(m_tmpPara.resNameTxt, tcpResPtr->tcpConnNameTxt);
    m_tmpPara.resPtr = tcpResPtr;
    m_tmpPara.paramInt32 = static_cast<int32>(sb->getPeerAddr());
    m_tmpPara.paramInt16 = static_cast<int16>(sb->getPeerPort());
    const int32 sent = notify(tcpResPtr, static_cast<FwEventID>(eventId), true);
    const int32 code = FrameworkErrno::m_fwErrno;

    m_streamBufRepository.insert(reinterpret_cast<uint64>(sb), reinterpret_cast<DataValueType>(sb), true);
    sb->setStreamBufStatus(1);
    // The network thread does not read a stream it has not seen taken.
    offerRoom(sb, true, -1);
    if (sent != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] adding a stream buffer to the Stream Handler.", code);
        return fwFail(code, code);
    }
    return 0;
}

int32 StreamHandler::delStream(TcpConnResource* tcpResPtr, int32 reason)
{
    if (tcpResPtr == nullptr || tcpResPtr->streamBufPtr == nullptr)
        return 0;
    StreamBuffer* sb = tcpResPtr->streamBufPtr;
    fwLog(LOG_LEVEL_INFO, "Peak data stream usage of TCP channel [%s]: [%d] bytes.", tcpResPtr->tcpConnNameTxt,
          sb->getMaxUsage());
    // A buffer that never made it in (the add failed) has nothing to drain.
    if (inRepository(sb))
    {
        unregisterStream(sb);
        int32 count = 0;
        int32 partial = 0;
        m_drainAll = true;
        processDataStream(sb, count, partial, true, -1);
        m_drainAll = false;
    }
    if (const auto held = std::find(m_heldStreams.begin(), m_heldStreams.end(), sb); held != m_heldStreams.end())
        m_heldStreams.erase(held);
    sb->setStreamBufStatus(0);
    clearStreamBuffer(*tcpResPtr);

    m_tmpPara = EventParam{};
    copyName(m_tmpPara.resNameTxt, tcpResPtr->tcpConnNameTxt);
    m_tmpPara.resPtr = tcpResPtr;
    m_tmpPara.paramInt32 = reason == CONN_CLOSED && tcpResPtr->connCloseReason != 0 ? tcpResPtr->connCloseReason : reason;
    tcpResPtr->connCloseReason = 0;

    // A client channel is ready again before its owner hears of the close:
    // an owner that answers DISCONNECTED with CONN_RQS must find it so.
    const bool replicated = m_msgRepliThdResPtr != nullptr && tcpResPtr->regParam.replicationMode != NO_REPLICATION;
    const bool disconnected = !replicated && tcpResPtr->status.load(std::memory_order_acquire) == RES_DISCONNECTED;
    if (disconnected && tcpResPtr->regParam.tcpMode != TCP_SERVER_DATA_MODE)
        tcpResPtr->status.store(RES_INITIALIZED, std::memory_order_release);
    const int32 sent = notify(tcpResPtr, DISCONNECTED, false);
    const int32 code = FrameworkErrno::m_fwErrno;
    if (disconnected && tcpResPtr->regParam.tcpMode == TCP_SERVER_DATA_MODE)
    {
        ResourceName name{};
        copyName(name, tcpResPtr->tcpConnNameTxt);
        m_resMgr.removeTcpClientConnRes(name, true);
    }

    m_streamBufRepository.remove(reinterpret_cast<uint64>(sb));
    // A destroyed buffer must not stay in the remainder list.
    int32 kept = 0;
    for (int32 i = 0; i < m_remainderStreamNum; ++i)
        if (m_remainderStreamAryPtr[static_cast<size_t>(i)] != sb)
            m_remainderStreamAryPtr[static_cast<size_t>(kept++)] = m_remainderStreamAryPtr[static_cast<size_t>(i)];
    m_remainderStreamNum = kept;
    delete sb;
    return sent == 0 ? 0 : fwFail(code, -1);
}

int32 StreamHandler::registerStream(StreamBuffer* sb)
{
    if (m_optMode == CPU_UTILIZATION)
        return m_fdWaitPtr->addFileDesc(sb, IO_WAIT_READ);
    const auto id = reinterpret_cast<int64>(this);
    int32 slot = -1;
    if (m_numDescReg == m_nextDescPtrPos)
    {
        if (m_nextDescPtrPos < m_maxNumDesc)
            slot = m_nextDescPtrPos++;
    }
    else
    {
        for (int32 i = 0; i < m_nextDescPtrPos; ++i)
            if (m_fdAryPtr[static_cast<size_t>(i)] == nullptr)
            {
                slot = i;
                break;
            }
    }
    if (slot < 0)
        return fwFail(WAIT_OBJECT_LIST_FULL, -1);
    m_fdAryPtr[static_cast<size_t>(slot)] = sb;
    sb->setRef(id, slot);
    ++m_numDescReg;
    return 0;
}

int32 StreamHandler::unregisterStream(StreamBuffer* sb)
{
    if (m_optMode == CPU_UTILIZATION)
        return m_fdWaitPtr->removeFileDesc(sb);
    const auto id = reinterpret_cast<int64>(this);
    const int32 slot = sb->getRef(id);
    if (slot < 0)
        return fwFail(DESCRIPTOR_NOT_FOUND, -1);
    if (slot >= m_nextDescPtrPos)
    {
        fwLog(LOG_LEVEL_ERROR, "Descriptor [%d] has an invalid index [%d] to the descriptor list",
              sb->getFileDescriptor(), slot);
        return fwFail(DEL_DESCRIPTOR_FAILED, -1);
    }
    if (m_fdAryPtr[static_cast<size_t>(slot)] != sb)
    {
        fwLog(LOG_LEVEL_ERROR, "Descriptor [%d] mismatched with the one the descriptor list [%d]:[%d]",
              sb->getFileDescriptor(), slot,
              m_fdAryPtr[static_cast<size_t>(slot)] != nullptr ? m_fdAryPtr[static_cast<size_t>(slot)]->getFileDescriptor()
                                                             : -1);
        return fwFail(DEL_DESCRIPTOR_FAILED, -1);
    }
    m_fdAryPtr[static_cast<size_t>(slot)] = nullptr;
    sb->clearRef(id);
    --m_numDescReg;
    return 0;
}

bool StreamHandler::inRepository(StreamBuffer* sb)
{
    DataValueType value = 0;
    return sb != nullptr && m_streamBufRepository.getValueByKey(reinterpret_cast<uint64>(sb), value, false);
}

// Connection events: to the replicator when the channel is replicated, else
// to the owning thread by its pipeline or its queue. Every path parks an event
// that a full queue or pipeline cannot take, so that the thread never sees
// data of a connection it was not told about, nor loses its end.
int32 StreamHandler::notify(TcpConnResource* res, FwEventID evtId, bool isAdd)
{
    const ReplicationMode mode = res->regParam.replicationMode;
    const bool priority = res->regParam.channelType == PRIORITY_CHANNEL;
    bool parked = false;
    if (m_msgRepliThdResPtr != nullptr && mode != NO_REPLICATION)
    {
        const int32 r = sendEventMsg(m_msgRepliThdResPtr, priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL, evtId,
                                     m_tmpPara, m_msgSeqNum, m_repliMsgStorePtr, LIST, &parked);
        if (parked)
            m_forwarder->registerUnsent(m_msgRepliThdResPtr->threadNameTxt, m_repliMsgStorePtr);
        if (r != 0 || !(isAdd && mode == OUTPUT_REPLICATION))
            return r;
        parked = false;
    }
    else if (res->usePipeline)
        return sendPipelineEvent(res, evtId, parked);

    const int32 r = sendEventMsg(res->regParam.threadNameTxt, res->msgQueuePtr, evtId, m_tmpPara, m_msgSeqNum,
                                 res->tmpMsgStorePtr, LIST, &parked);
    if (parked)
        m_forwarder->registerUnsent(res->regParam.threadNameTxt, res->tmpMsgStorePtr);
    return r;
}

// A connection event as a pipeline entry: the header, then the event's
// framework message up to the end of its event body.
int32 StreamHandler::sendPipelineEvent(TcpConnResource* res, FwEventID evtId, bool& parked)
{
    parked = false;
    Pipeline* pl = res->pipelinePtr;
    if (pl == nullptr)
        return fwFail(RES_PL_NOT_EXIST, -1);
    alignas(8) char entry[PL_HDR_SIZE + FwIntMessage::EVENT_COPY_SIZE]{};
    auto* hdr = reinterpret_cast<PipelineMsgHeader*>(entry);
    ResourceManager::copyResourceName(hdr->originatorTxt, m_threadResPtr->threadNameTxt);
    copyName(hdr->recipientTxt, res->regParam.threadNameTxt);
    hdr->type = MSG_EVENT;
    copyName(hdr->channelNameTxt, res->tcpConnNameTxt);
    hdr->chnType = TCP_CHANNEL;
    hdr->fdPtr = res;
    hdr->dataLen = static_cast<uint32>(FwIntMessage::EVENT_COPY_SIZE);
    hdr->tm = cycleTime();
    FwIntMessage evt{};
    evt.msgSeqNum = ++m_msgSeqNum;
    copyName(evt.originatorTxt, hdr->originatorTxt);
    copyName(evt.recipientTxt, hdr->recipientTxt);
    evt.tm = cycleTime();
    evt.appMsg.type = MSG_EVENT;
    evt.appMsg.event.id = evtId;
    evt.appMsg.event.eventParam = m_tmpPara;
    std::memcpy(entry + PL_HDR_SIZE, &evt, FwIntMessage::EVENT_COPY_SIZE);

    PlMessageStore* store = res->tmpPlMsgStorePtr;
    if (store == nullptr || !store->isMsgAvail(LIST))
    {
        if (pl->enqueue(entry + PL_HDR_SIZE, *hdr, MsgForwarder::PL_ENQ_RETRY_CNT, MsgForwarder::PL_ENQ_RETRY_INTERVAL) == 0)
            return 0;
        const int32 code = FrameworkErrno::m_fwErrno;
        if ((code != BUFFER_FULL && code != HEAD_INDEX_CHANGED) || store == nullptr)
            return -1;
    }
    if (store->insertMsg(LIST, entry, sizeof entry) != 0)
        return -1;
    parked = true;
    m_forwarder->registerUnsentPl(res->regParam.pipelineNameTxt, store);
    return 0;
}

// The close comes back as STREAM_DEL, which reports the reason recorded here.
void StreamHandler::shutdownConnection(TcpConnResource* res, int32 code)
{
    if (res == nullptr || res->status.load(std::memory_order_acquire) != RES_CONNECTED)
        return;
    res->connCloseReason = code;
    if (askNetwork(res, CONN_CLOSE_RQS, code) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] asking the network thread to close TCP connection [%s].",
              FrameworkErrno::m_fwErrno, res->tcpConnNameTxt);
}

int32 StreamHandler::askNetwork(TcpConnResource* res, FwEventID evtId, int32 param)
{
    if (m_netRcvThdResPtr == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, -1);
    EventParam p{};
    copyName(p.resNameTxt, res->tcpConnNameTxt);
    p.resPtr = res;
    p.paramInt32 = param;
    // The stream names the connection: the record outlives it.
    p.paramInt64 = reinterpret_cast<int64>(res->streamBufPtr);
    bool parked = false;
    const int32 r =
        sendEventMsg(m_netRcvThdResPtr, MQUEUE_NORMAL, evtId, p, m_msgSeqNum, &m_netRcvStore, LIST, &parked);
    if (parked)
        m_forwarder->registerUnsent(m_netRcvThdResPtr->threadNameTxt, &m_netRcvStore);
    return r;
}

void StreamHandler::offerRoom(StreamBuffer* sb, bool cutAll, int32 headLimit)
{
    TcpConnResource* res = sb->getChannelRes();
    if (res != nullptr && sb->takeWaitingWriter(cutAll && sb->isHead(headLimit)) &&
        askNetwork(res, STREAM_ROOM, 0) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] telling the network thread that TCP connection [%s] has room.",
              FrameworkErrno::m_fwErrno, res->tcpConnNameTxt);
}

const timespec& StreamHandler::cycleTime()
{
    if (!m_tmRead)
    {
        ::clock_gettime(CLOCK_REALTIME, &m_tm);
        m_tmRead = true;
    }
    return m_tm;
}

void StreamHandler::touchLiveness()
{
    if (m_threadResPtr != nullptr)
        m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
}

bool StreamHandler::usesPipelinePath(const TcpConnResource* res) const
{
    const ReplicationMode mode = res->regParam.replicationMode;
    return res->usePipeline && (m_gblData.m_appMode.load(std::memory_order_acquire) != ACTIVE_MODE ||
                                mode == NO_REPLICATION || mode == OUTPUT_REPLICATION || m_msgRepliThdResPtr == nullptr);
}

int32 StreamHandler::getMsgQueue(TcpConnResource* tcpResPtr, MessageQueueType& queueType, FwMessageQueue*& queue,
                                 FwMessageQueue*& altQueue, MessageStore*& storePtr, bool& toReplicator)
{
    const ReplicationMode mode = tcpResPtr->regParam.replicationMode;
    const bool priority = tcpResPtr->regParam.channelType == PRIORITY_CHANNEL;
    toReplicator = m_msgRepliThdResPtr != nullptr && m_gblData.m_appMode.load(std::memory_order_acquire) == ACTIVE_MODE &&
                   (mode == INPUT_REPLICATION || mode == INPUT_OUTPUT_REPLICATION);
    queueType = priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL;
    if (toReplicator)
    {
        queue = m_msgRepliThdResPtr->msgQueuePtrArray[queueType];
        altQueue = m_msgRepliThdResPtr->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
        storePtr = m_repliMsgStorePtr;
    }
    else
    {
        queue = tcpResPtr->msgQueuePtr;
        altQueue = tcpResPtr->altMsgQueuePtr;
        storePtr = tcpResPtr->tmpMsgStorePtr;
    }
    return queue != nullptr ? 0 : fwFail(THREAD_NOT_ACTIVE, -1);
}

void StreamHandler::logMessageJournal(const char* bytes, int32 length, const timespec& time)
{
    if (m_msgJournalLoggerPtr == nullptr || length <= 0)
        return;
    if (m_msgJournalLoggerPtr->logMessageFixedLength(LOG_LEVEL_ALERT, bytes, static_cast<uint32>(length),
                                                     INCOMING_DATA, &time, true, TCP_CHANNEL, nullptr, nullptr,
                                                     0) != 0)
        fwLog(LOG_LEVEL_NOTICE, "Failed to log message to message journal, msgLen [%d], dataDir [%d], error [%d].",
              length, INCOMING_DATA, FrameworkErrno::m_fwErrno);
}

// ---- stream passes ----

int32 StreamHandler::processAllDataStreams(int32& count)
{
    count = 0;
    if (m_streamEvtBufPtr == nullptr || (m_optMode == LOW_LATENCY && m_nextDescPtrPos == 0))
        return 0;
    m_outTm = timespec{};
    releaseHeld();
    // The network thread announces every read with a record of its own: in
    // CPU_UTILIZATION mode a recipient is woken once for the whole pass, not
    // once per record (a wake-up costs more than cutting a read's messages).
    MsgForwarder::WakeBatch batch(*m_forwarder);

    int32 kept = 0;
    for (int32 i = 0; i < m_remainderStreamNum; ++i)
    {
        StreamBuffer* sb = m_remainderStreamAryPtr[static_cast<size_t>(i)];
        if (!inRepository(sb) || sb->availEntry() == 0)
            continue;
        TcpConnResource* res = sb->getChannelRes();
        if (sb->getStreamBufStatus() != 1)
        {
            fwLog(LOG_LEVEL_INFO, "Data stream of channel [%s] is not ready to read.",
                  res != nullptr ? res->tcpConnNameTxt : "");
            keepForNextPass(sb, kept);
            continue;
        }
        int32 n = 0;
        int32 partial = 0;
        if (processDataStream(sb, n, partial, false, -1) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] retry processing data stream for channel [%s]", code,
                  res != nullptr ? res->tcpConnNameTxt : "");
            shutdownConnection(res, code);
        }
        else if (n >= m_contMsgProcNum)
            keepForNextPass(sb, kept);
        count += n;
    }
    m_remainderStreamAryPtr.swap(m_tmpStreamAryPtr);
    m_remainderStreamNum = kept;

    const int32 records = m_streamEvtBufPtr->getNumEntries();
    StreamEventRecord rec{};
    for (int32 k = 0; k < records; ++k)
    {
        // A long pass still wakes its recipients every few records: the
        // first messages of the pass do not wait for its end.
        if (k > 0 && k % WAKE_EVERY_RECORDS == 0)
            m_forwarder->flushWakeUps();
        if (m_streamEvtBufPtr->dequeue(rec) != 0)
            break;
        m_outTm = rec.wireOrdInfo.dataTm;
        StreamBuffer* sb = rec.streamBufPtr;
        if (sb == nullptr)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "NULL data stream pointer encountered when dequeuing from m_streamEvtBufPtr. Skip and continue.");
            continue;
        }
        if (!inRepository(sb) || sb->availEntry() == 0)
            continue;
        TcpConnResource* res = sb->getChannelRes();
        ResourceName recName{};
        keyToName(rec.tcpResId, recName);
        if (res == nullptr)
        {
            fwLog(LOG_LEVEL_INFO,
                  "No TCP resource record associated with the stream buffer for TCP connection [%s]. Skip it and "
                  "continue.",
                  recName);
            continue;
        }
        if (loadTcpConnNameKey(*res) != rec.tcpResId)
        {
            fwLog(LOG_LEVEL_INFO,
                  "The TCP resource name [%s] carried in Stream Event Record does not match with the one in TCP "
                  "resource record [%s]. The stream event record must belong to a closed TCP session which happened "
                  "to have the same streamPtr address. Skip it and continue.",
                  recName, res->tcpConnNameTxt);
            continue;
        }
        if (sb->getStreamBufStatus() == 1)
        {
            int32 n = 0;
            int32 partial = 0;
            if (processDataStream(sb, n, partial, true, rec.effectiveHdIdx) != 0)
            {
                const int32 code = FrameworkErrno::m_fwErrno;
                fwLog(LOG_LEVEL_ERROR, "Error [%d] processing data stream for channel [%s]", code, res->tcpConnNameTxt);
                shutdownConnection(res, code);
            }
            count += n;
            continue;
        }
        fwLog(LOG_LEVEL_INFO, "Data stream of channel [%s] is not ready to read.", res->tcpConnNameTxt);
        if (std::find(m_remainderStreamAryPtr.get(), m_remainderStreamAryPtr.get() + m_remainderStreamNum, sb) !=
            m_remainderStreamAryPtr.get() + m_remainderStreamNum)
            continue;
        if (m_remainderStreamNum < m_streamArraySize)
        {
            m_remainderStreamAryPtr[static_cast<size_t>(m_remainderStreamNum++)] = sb;
            // Its wake-up was taken for this pass; the next pass needs one.
            sb->wakeReader();
        }
        else
            fwLog(LOG_LEVEL_NOTICE, "m_remainderStreamAryPtr has reached the limit of [%d].", m_streamArraySize);
    }
    retryForwardMsg();
    return 0;
}

// A stream left with whole messages (or not ready yet) is taken up again by
// the next pass; in CPU_UTILIZATION mode that pass needs a wake-up, since the
// ones that announced the bytes were taken before this pass.
void StreamHandler::keepForNextPass(StreamBuffer* sb, int32& kept)
{
    m_tmpStreamAryPtr[static_cast<size_t>(kept++)] = sb;
    sb->wakeReader();
}

int32 StreamHandler::processDataStream(StreamBuffer* streamBufPtr, int32& count, int32& partialLen, bool fromEvent,
                                       int32 headLimit)
{
    count = 0;
    partialLen = 0;
    // One wake-up per recipient for every message cut from this stream now.
    MsgForwarder::WakeBatch batch(*m_forwarder);
    TcpConnResource* res = streamBufPtr != nullptr ? streamBufPtr->getChannelRes() : nullptr;
    if (res == nullptr)
        return fwFail(RES_TCPCONN_NOT_EXIST, -1);

    if (streamBufPtr->isDiscarding())
    {
        // Until the close arrives, what the peer still sends is read and dropped.
        streamBufPtr->discardAll();
        offerRoom(streamBufPtr, true, -1);
        return 0;
    }
    const bool pipelinePath = usesPipelinePath(res);
    Target t{};
    if (!pipelinePath)
    {
        if (getMsgQueue(res, t.queueType, t.queue, t.altQueue, t.store, t.toReplicator) != 0)
            return -1;
        copyName(t.recipient, t.toReplicator ? m_msgRepliThdResPtr->threadNameTxt : res->regParam.threadNameTxt);
        prepareQueueTemplate(streamBufPtr, res, t);
    }
    // Raw bytes have no frames to keep whole: on the queue path a cut takes
    // at most one part, which the recipient takes in place instead of
    // joining parts (a read may now hold far more than one part).
    const int32 maxLen = !pipelinePath && res->regParam.msgFormat == MSG_FORMAT_RAW
                             ? std::min(m_maxMsgSize, static_cast<int32>(Data_t::MAX_DATA_LEN))
                             : m_maxMsgSize;
    // Order first: while older messages stay parked, new ones park behind them.
    bool parked = pipelinePath ? m_forwarder->flushPipeline(res->pipelinePtr, res->tmpPlMsgStorePtr)
                               : m_forwarder->flushQueue(t);

    for (;;)
    {
        if (parked && !m_drainAll &&
            (pipelinePath ? res->tmpPlMsgStorePtr->getNumMsg(LIST) : t.store->getNumMsg(LIST, t.queueType)) >=
                PARKED_MSG_LIMIT)
        {
            holdStream(streamBufPtr);
            // A writer waiting for room it already has (the cut may have
            // emptied the ring) hears of it now: a released stream with
            // nothing left to cut is passed over and would never tell it.
            offerRoom(streamBufPtr, false, headLimit);
            return 0;
        }
        MsgFormatType format = MSG_FORMAT_RAW;
        int32 len = 0;
        int32 hdrLen = 0;
        // The message stays in the ring until it is forwarded: the queue path
        // copies its parts straight from there into the queue's template.
        if (streamBufPtr->peekMessage(format, maxLen, len, hdrLen, headLimit) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (isIncomplete(code))
            {
                partialLen = code == BUFFER_EMPTY ? 0 : len;
                offerRoom(streamBufPtr, true, headLimit);
                return 0;
            }
            // The stream cannot be cut any further: no later byte can be
            // trusted to start a message. What is readable goes to the
            // journal, the rest of the stream is discarded until it is
            // removed, and the caller closes the connection.
            for (int32 n = 0; streamBufPtr->availEntry() > 0;)
            {
                if (streamBufPtr->dequeue(m_tmpBufPtr, m_maxMsgSize, n, false, -1) != 0)
                {
                    fwLog(LOG_LEVEL_ERROR,
                          "Error [%d] retrieving invalid message from data stream of TCP channel [%s].",
                          FrameworkErrno::m_fwErrno, res->tcpConnNameTxt);
                    break;
                }
                logMessageJournal(m_tmpBufPtr, n, cycleTime());
            }
            streamBufPtr->setDiscarding();
            streamBufPtr->discardAll();
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing data stream of TCP channel [%s].", code, res->tcpConnNameTxt);
            return fwFail(code, -1);
        }
        int32 r = 0;
        if (pipelinePath)
        {
            streamBufPtr->copyMessage(0, m_tmpBufPtr, len);
            streamBufPtr->skipMessage(len);
            r = forwardToPipeline(streamBufPtr, res, len, parked);
        }
        else
        {
            r = forwardToQueue(streamBufPtr, res, t, len, parked);
            streamBufPtr->skipMessage(len);
        }
        if (r != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing data stream of TCP channel [%s].", code, res->tcpConnNameTxt);
            return fwFail(code, -1);
        }
        ++count;
        if (count % m_contMsgProcNum == 0)
            touchLiveness();
        if (count % WAKE_EVERY_MESSAGES == 0)
            m_forwarder->flushWakeUps();
        if (!fromEvent && count >= m_contMsgProcNum)
        {
            offerRoom(streamBufPtr, false, headLimit);
            return 0;
        }
    }
}

size_t StreamHandler::parkedFor(TcpConnResource* res)
{
    if (usesPipelinePath(res))
        return res->tmpPlMsgStorePtr != nullptr ? res->tmpPlMsgStorePtr->getNumMsg(LIST) : 0;
    Target t{};
    if (getMsgQueue(res, t.queueType, t.queue, t.altQueue, t.store, t.toReplicator) != 0 || t.store == nullptr)
        return 0;
    return t.store->getNumMsg(LIST, t.queueType);
}

void StreamHandler::holdStream(StreamBuffer* sb)
{
    if (std::find(m_heldStreams.begin(), m_heldStreams.end(), sb) == m_heldStreams.end())
        m_heldStreams.push_back(sb);
}

void StreamHandler::releaseHeld()
{
    for (size_t i = m_heldStreams.size(); i-- > 0;)
    {
        StreamBuffer* sb = m_heldStreams[i];
        TcpConnResource* res = sb->getChannelRes();
        if (res != nullptr && parkedFor(res) > PARKED_MSG_LIMIT / 2)
            continue;
        m_heldStreams.erase(m_heldStreams.begin() + static_cast<std::ptrdiff_t>(i));
        if (std::find(m_remainderStreamAryPtr.get(), m_remainderStreamAryPtr.get() + m_remainderStreamNum, sb) ==
                m_remainderStreamAryPtr.get() + m_remainderStreamNum &&
            m_remainderStreamNum < m_streamArraySize)
            m_remainderStreamAryPtr[static_cast<size_t>(m_remainderStreamNum++)] = sb; // cut in this pass
    }
}

// The template's fields that stay the same for every message of one stream
// pass, filled once per pass instead of once per message.
void StreamHandler::prepareQueueTemplate(const StreamBuffer* sb, TcpConnResource* res, const Target& t)
{
    Data_t& d = m_dataMsg.appMsg.data;
    copyName(m_dataMsg.recipientTxt, t.recipient);
    m_dataMsg.tm = cycleTime();
    m_dataMsg.outTm = m_outTm;
    copyName(d.channelNameTxt, res->tcpConnNameTxt);
    d.chnType = TCP_CHANNEL;
    d.dataDir = INCOMING_DATA;
    d.fdPtr = res;
    d.peerIpAddr = sb->getPeerAddr();
    // The dispatcher journals TCP data whose site field is 1; the replicator
    // never journals.
    d.peerAppSiteId = !t.toReplicator && res->regParam.msgJournalEnabled ? 1 : 0;
    m_congest = EventParam{};
    copyName(m_congest.resNameTxt, res->tcpConnNameTxt);
    m_congest.resPtr = res;
}

int32 StreamHandler::forwardToQueue(const StreamBuffer* sb, TcpConnResource* res, const Target& t, int32 len,
                                    bool& parked)
{
    Data_t& d = m_dataMsg.appMsg.data;
    int32 offset = 0;
    d.msgPartNum = 0;
    do
    {
        const int32 partLen = std::min(len - offset, static_cast<int32>(Data_t::MAX_DATA_LEN));
        d.more = offset + partLen < len;
        d.dataLen = static_cast<uint32>(partLen);
        sb->copyMessage(offset, d.buffer, partLen);
        m_dataMsg.msgSeqNum = ++m_msgSeqNum;
        MsgForwarder::Outcome outcome{};
        if (m_forwarder->put(t, m_dataMsg, parked, m_congest, outcome) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (t.toReplicator)
                fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to forward channel [%s] message seq# [%d] to Message Replicator.",
                      code, res->tcpConnNameTxt, m_dataMsg.msgSeqNum);
            else
                fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to forward channel [%s] message seq# [%d] to [%s].", code,
                      res->tcpConnNameTxt, m_dataMsg.msgSeqNum, t.recipient);
            return fwFail(code, -1);
        }
        if (d.more)
            ++d.msgPartNum;
        offset += partLen;
    } while (offset < len);
    return 0;
}

int32 StreamHandler::forwardToPipeline(const StreamBuffer* sb, TcpConnResource* res, int32 len, bool& parked)
{
    Pipeline* pl = res->pipelinePtr;
    if (pl == nullptr)
        return fwFail(RES_PL_NOT_EXIST, -1);
    if (!MsgForwarder::fitsPipeline(static_cast<uint64>(len), *pl))
    {
        fwLog(LOG_LEVEL_CRITICAL, "The data message size [%d] is too large to fit into the entry of pipeline [%s]", len,
              res->regParam.pipelineNameTxt);
        return fwFail(MSG_TOO_LARGE, -1);
    }
    auto* hdr = reinterpret_cast<PipelineMsgHeader*>(m_tmpMsgPtr.get());
    copyName(hdr->recipientTxt, res->regParam.threadNameTxt);
    hdr->type = MSG_DATA;
    copyName(hdr->channelNameTxt, res->tcpConnNameTxt);
    hdr->chnType = TCP_CHANNEL;
    hdr->fdPtr = res;
    hdr->peerIpAddr = sb->getPeerAddr();
    hdr->peerAppSiteId = res->regParam.msgJournalEnabled ? 1 : 0;
    hdr->dataDir = INCOMING_DATA;
    hdr->dataLen = static_cast<uint32>(len);
    hdr->tm = cycleTime();
    hdr->outTm = m_outTm;

    EventParam congest{};
    copyName(congest.resNameTxt, res->tcpConnNameTxt);
    congest.resPtr = res;
    MsgForwarder::Outcome outcome{};
    if (m_forwarder->enqueue(pl, res->tmpPlMsgStorePtr, res->regParam.pipelineNameTxt, m_tmpMsgPtr.get(), parked,
                             res->regParam.threadNameTxt, res->msgQueuePtr, congest, outcome) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to forward channel [%s] message seq# [%d] to [%s].", code,
              res->tcpConnNameTxt, m_msgSeqNum, res->regParam.pipelineNameTxt);
        return fwFail(code, -1);
    }
    if (outcome == MsgForwarder::FWD_CONGESTED)
        fwLog(LOG_LEVEL_NOTICE, "Unable to forward message due to pipeline full. Schedule retry at next timer event.");
    return 0;
}

int32 StreamHandler::retryForwardMsg()
{
    MsgForwarder::WakeBatch batch(*m_forwarder);
    return m_forwarder->retry();
}
