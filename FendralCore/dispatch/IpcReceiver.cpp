#include "FendralCore/dispatch/IpcReceiver.h"

#include "FendralCore/dispatch/IpcShrMemMsgQ.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <cstring>
#include <sched.h>
#include <string>

namespace
{
constexpr MsgListType LIST = IPC_RCV_MSG_LIST;

UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}


void copyAppId(ApplicationID& dst, const char* src)
{
    std::memset(dst, 0, sizeof(ApplicationID));
    std::memcpy(dst, src, strnlen(src, sizeof(ApplicationID) - 1));
}


int64 monoNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
} // namespace

IpcReceiver::IpcReceiver(ThreadResource* threadResPtr)
    : IpcReceiver(threadResPtr, ResourceManager::getInst(), GlobalData::getInst(),
                  GlobalData::getInst().getConfigManager())
{
}

IpcReceiver::IpcReceiver(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                         const ConfigManager* configMgr)
    : EventMessage(threadResPtr, resMgr),
      m_threadResPtr(threadResPtr),
      m_configMgrPtr(configMgr),
      m_resMgr(resMgr),
      m_gblData(gblData),
      m_optMode(gblData.m_optMode.load(std::memory_order_acquire))
{
    m_timeout = FwConfigKeys::readPositiveInt32(configMgr, STS_RPT_INTERVAL_LABEL, DEFAULT_STS_RPT_INTERVAL);
    m_contMsgProcNum = FwConfigKeys::readPositiveInt32(configMgr, SH_MSG_PROC_NUM_LABEL, DEFAULT_CONT_MSG_PROC_NUM);
    m_chkTimerInt = static_cast<uint32>(FwConfigKeys::readPositiveInt32(configMgr, IPC_CHK_TIMER_INT_LABEL, DEFAULT_IPC_CHECK_TIMER_INT));
    m_chkProcTimerMultipier =
        static_cast<uint32>(FwConfigKeys::readPositiveInt32(configMgr, IPC_CHK_PROC_MTR_LABEL, DEFAULT_IPC_CHECK_PROCESS_TIME_MULTIPLIER));
    const char* ownName = threadResPtr != nullptr ? threadResPtr->threadNameTxt : THREAD_NAME;
    ResourceManager::copyResourceName(m_dataMsg.originatorTxt, ownName);
    m_dataMsg.appMsg.type = MSG_DATA;
    m_dataMsg.appMsg.data.chnType = IPC_CHANNEL;
    m_dataMsg.appMsg.data.dataDir = INCOMING_DATA;
    m_maxMsgSize = std::clamp(gblData.m_maxMsgSize, GlobalData::MSG_SIZE_MIN, GlobalData::MSG_SIZE_MAX);
    m_storedPlBufSize = m_maxMsgSize + PL_HDR_SIZE;
    m_forwarder = std::make_unique<MsgForwarder>(*this, resMgr, LIST, m_msgSeqNum, m_maxMsgSize);
    m_timerPtr = std::make_unique<Timer>(m_timeout, true);
    m_checkTimerPtr = std::make_unique<Timer>(static_cast<int32>(m_chkTimerInt), true);
    m_fdWaitPtr = std::make_unique<FileDescMultiplexer>(m_maxNumDesc);
    m_readyAryPtr.reset(new FileDescriptor*[static_cast<size_t>(m_maxNumDesc)]());
}

IpcReceiver::~IpcReceiver()
{
    if (m_errorTermination)
        return;
    for (int32 i = 0; i < m_numIpcRes; ++i)
    {
        IpcResource* res = m_ipcResAryPtr[static_cast<size_t>(i)];
        res->rcvPlMsgPtr = nullptr; // freed with m_joinBuffers
        IpcShrMemMsgQ* q = res->ipcMsgQPtr;
        if (q == nullptr)
            continue;
        // isOpened() answers 0 for an open queue.
        if (q->isOpened() == 0)
        {
            if (q->getAccessMode() == IPC_READER_MODE)
                q->close(false);
            else
                writeControl(res, IPC_MSG_TYPE_CTL_CLOSE);
        }
        delete q;
        res->ipcMsgQPtr = nullptr;
    }
}

// ---- thread loop ----

int32 IpcReceiver::initialize()
{
    // The IPC thread forwards nothing to the replicator.
    MsgForwarder::Peers peers;
    if (const int32 r = m_forwarder->lookUpPeers(false, m_gblData.m_tmpMsgRepository, peers); r != 0)
        return r;
    m_ctlThdResPtr = peers.control;
    if (m_optMode != CPU_UTILIZATION)
        return 0;
    struct Step
    {
        FileDescriptor* fd;
        const char* text;
    };
    const Step steps[] = {
        {m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY],
         "Error [%d] adding high priority message queue to Wait object in IPC Receiver."},
        {m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL],
         "Error [%d] adding normal message queue to Wait object in IPC Receiver."},
        {m_timerPtr.get(), "Error [%d] adding timer message queue to Wait object in IPC Receiver."},
        {m_checkTimerPtr.get(), "Error [%d] adding IPC checking timer to Wait object in IPC Receiver."},
    };
    for (const Step& s : steps)
    {
        if (m_fdWaitPtr->addFileDesc(s.fd, IO_WAIT_READ) != 0)
        {
            fwLog(LOG_LEVEL_ERROR, s.text, FrameworkErrno::m_fwErrno);
            return FrameworkErrno::m_fwErrno;
        }
    }
    return m_timerPtr->startTimer() == 0 ? 0 : FrameworkErrno::m_fwErrno;
}

int32 IpcReceiver::run(int32& execExitHdr)
{
    execExitHdr = 1;
    return runGuarded("IPC Receiver", [&]() -> int32 {
        const int32 init = initialize();
        if (init != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Proceed thread termination.", init);
            m_errorTermination = true;
            return init;
        }
        ::clock_gettime(CLOCK_REALTIME, &m_tm);
        m_lastRetryNs = m_lastCheckNs = monoNs();
        bool terminate = false;
        const int32 r = m_optMode == CPU_UTILIZATION ? loopCpu(terminate) : loopLowLatency(terminate);
        execExitHdr = terminate ? 0 : 1;
        return r;
    });
}

int32 IpcReceiver::loopCpu(bool& terminate)
{
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    while (!terminate)
    {
        const int32 n = m_fdWaitPtr->wait(m_readyAryPtr.get(), m_maxNumDesc, -1);
        if (n < 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] waiting for descriptors in IPC Receiver.", FrameworkErrno::m_fwErrno);
            return -1;
        }
        // A queue is read only when it is ready: its descriptor may block.
        bool highReady = false, normalReady = false, timerReady = false, checkReady = false;
        for (int32 i = 0; i < n; ++i)
        {
            FileDescriptor* fd = m_readyAryPtr[static_cast<size_t>(i)];
            highReady |= fd == high;
            normalReady |= fd == normal;
            timerReady |= fd == m_timerPtr.get();
            checkReady |= fd == m_checkTimerPtr.get();
        }
        ::clock_gettime(CLOCK_REALTIME, &m_tm);
        char buf[8];
        int done = 0;
        if (timerReady)
        {
            if (m_timerPtr->receive(buf, sizeof buf, done) != 0)
                continue;
            touchLiveness();
            retryForwardMsg();
        }
        int32 count = 0;
        if (highReady && processMessage(high, terminate, count) != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
        if (terminate)
            break;
        if (normalReady && processMessage(normal, terminate, count) != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on normal priority queue.",
                  FrameworkErrno::m_fwErrno);
        if (terminate)
            break;
        if (checkReady && m_connInitEvtRcvd && m_checkTimerPtr->receive(buf, sizeof buf, done) == 0)
        {
            const bool check = ++m_checkCount >= m_chkProcTimerMultipier;
            if (check)
                m_checkCount = 0;
            processAllIpcMsgQ(check, count);
        }
    }
    return 0;
}

int32 IpcReceiver::loopLowLatency(bool& terminate)
{
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    const int64 retryNs = static_cast<int64>(m_timeout) * 1000000LL;
    const int64 checkNs = static_cast<int64>(m_chkTimerInt) * 1000000LL;
    int32 idle = 0;
    while (!terminate)
    {
        ::clock_gettime(CLOCK_REALTIME, &m_tm);
        const int64 now = monoNs();
        if (now - m_lastRetryNs > retryNs)
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
        if (m_connInitEvtRcvd)
        {
            bool check = false;
            if (now - m_lastCheckNs > checkNs)
            {
                m_lastCheckNs = now;
                check = ++m_checkCount % m_chkProcTimerMultipier == 0;
            }
            processAllIpcMsgQ(check, c);
            if (check)
                m_checkCount = 0;
        }
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

int32 IpcReceiver::processMessage(FwMessageQueue* queue, bool& terminate, int32& msgCount)
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
            fwLog(LOG_LEVEL_NOTICE,
                  "Unexpected message type [%d] received from [%s], message seq [%d] . Ignore and continue.",
                  m_msg.appMsg.type, m_msg.originatorTxt, m_msg.msgSeqNum);
            continue;
        }
        const EventMsg& evt = m_msg.appMsg.event;
        const EventParam& p = evt.eventParam;
        fwLog(LOG_LEVEL_DEBUG, "Received event [%d] from [%s]. Param: [%s] [%d] [%d] [%ld] [%s].", evt.id,
              m_msg.originatorTxt, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64),
              p.appIdTxt);
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
            if (!m_initEventRcvd)
                break;
            if (!m_connInitEvtRcvd)
            {
                r = initIpcMsgQ();
                if (r != 0)
                    break;
                m_connInitEvtRcvd = true;
                if (m_optMode == CPU_UTILIZATION)
                    m_checkTimerPtr->startTimer();
            }
            r = openAtStartupIpcMsgQ();
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
        case IPC_OPEN_RQS:
        case IPC_CLOSE_RQS:
        {
            const char* what = evt.id == IPC_OPEN_RQS ? "IPC_OPEN_RQS" : "IPC_CLOSE_RQS";
            if (!m_connInitEvtRcvd)
            {
                fwLog(LOG_LEVEL_NOTICE, "%s event for [%s] from [%s] is ignored before CONN_INIT received.", what,
                      p.resNameTxt, m_msg.originatorTxt);
                break;
            }
            fwLog(LOG_LEVEL_INFO, "Received %s event for [%s] from [%s].", what, p.resNameTxt, m_msg.originatorTxt);
            r = evt.id == IPC_OPEN_RQS ? processIpcOpenRqs(m_msg.originatorTxt, evt)
                                       : processIpcCloseRqs(m_msg.originatorTxt, evt);
            break;
        }
        default:
            fwLog(LOG_LEVEL_NOTICE, "Unexpected event message [%d] received. Ignore and continue.", evt.id);
            break;
        }
        // As in the other receiving threads: a failed handler ends the batch,
        // the rest staying queued; an empty buffer is no failure.
        if (r != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing event message [%d]. Param: [%s] [%d] [%d] [%ld] [%s]", code,
                  evt.id, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64), p.appIdTxt);
            return code == BUFFER_EMPTY ? 0 : fwFail(code, -1);
        }
    }
    return 0;
}

// ---- channel set-up, open and close ----

int32 IpcReceiver::initIpcMsgQ()
{
    int32 size = 0;
    if (m_resMgr.getIpcResSize(size) != 0)
        size = 0;
    m_ipcResAryPtr.reset(new IpcResource*[static_cast<size_t>(std::max(size, 1))]());
    m_numIpcRes = 0;
    ResourceName name{};
    IpcResource* res = nullptr;
    for (int32 r = m_resMgr.getFirstIpcRes(name, &res); r == 0 && res != nullptr && m_numIpcRes < size;
         r = m_resMgr.getNextIpcRes(name, &res))
    {
        if (res->status.load() != RES_REGISTERED)
            continue;
        const IpcParam& prm = res->regParam;
        fwLog(LOG_LEVEL_INFO,
              "IPC resource [%s] initialized for thread [%s]. Access mode [%d], MsgQueLen [%d], Internal channel type "
              "[%d], pipeline [%s], openAtStartup [%d], openInStandbyMode [%d], msgJournalEnabled [%d]",
              res->ipcNameTxt, prm.threadNameTxt, prm.accessMode, prm.msgQueLen, prm.channelType, prm.pipelineNameTxt,
              prm.openAtStartup, prm.openInStandbyMode, prm.msgJournalEnabled);
        ThreadResource* owner = nullptr;
        if (m_resMgr.getThreadRes(prm.threadNameTxt, &owner) != 0)
            return -1;
        const bool priority = prm.channelType == PRIORITY_CHANNEL && !res->usePipeline;
        res->msgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL];
        res->altMsgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
        res->pipelinePtr = nullptr;
        res->tmpPlMsgStorePtr = nullptr;
        res->rcvPlMsgPtr = nullptr;
        DataValueType value = 0;
        if (res->usePipeline)
        {
            PipelineResource* plRes = nullptr;
            if (m_resMgr.getPipelineRes(prm.pipelineNameTxt, &plRes) != 0 || plRes == nullptr ||
                plRes->pipelinePtr == nullptr)
                return fwFail(RES_PL_NOT_EXIST, -1);
            res->pipelinePtr = plRes->pipelinePtr;
            if (m_gblData.m_tmpPlMsgRepository.getValueByKey(nameKey(prm.pipelineNameTxt), value, false))
                res->tmpPlMsgStorePtr = reinterpret_cast<PlMessageStore*>(value);
            if (prm.accessMode == IPC_READER_MODE)
            {
                m_joinBuffers.emplace_back(new char[m_storedPlBufSize]());
                auto* hdr = reinterpret_cast<PipelineMsgHeader*>(m_joinBuffers.back().get());
                ResourceManager::copyResourceName(hdr->originatorTxt, m_threadResPtr != nullptr ? m_threadResPtr->threadNameTxt : THREAD_NAME);
                ResourceManager::copyResourceName(hdr->recipientTxt, prm.threadNameTxt);
                ResourceManager::copyResourceName(hdr->channelNameTxt, res->ipcNameTxt);
                hdr->chnType = IPC_CHANNEL;
                hdr->type = MSG_DATA;
                hdr->dataDir = INCOMING_DATA;
                hdr->fdPtr = res;
                res->rcvPlMsgPtr = hdr;
                res->rcvPlMsgNextPart = 0;
            }
        }
        value = 0;
        res->tmpMsgStorePtr = m_gblData.m_tmpMsgRepository.getValueByKey(nameKey(prm.threadNameTxt), value, false)
                                  ? reinterpret_cast<MessageStore*>(value)
                                  : nullptr;
        res->ipcMsgQPtr = new IpcShrMemMsgQ();
        res->status.store(RES_DISCONNECTED);
        res->counterpartStatus.store(RES_DISCONNECTED);
        res->counterpartPid = IpcShrMemMsgQ::IPC_NO_PROCESS_ID;
        res->counterpartAppId[0] = '\0';
        m_ipcResAryPtr[static_cast<size_t>(m_numIpcRes++)] = res;
    }
    return 0;
}

int32 IpcReceiver::openAtStartupIpcMsgQ()
{
    const bool active = m_gblData.m_appMode.load() == ACTIVE_MODE;
    for (int32 i = 0; i < m_numIpcRes; ++i)
    {
        IpcResource* res = m_ipcResAryPtr[static_cast<size_t>(i)];
        if (res->status.load() == RES_CONNECTED || !(active || res->regParam.openInStandbyMode))
            continue;
        if (res->regParam.openAtStartup)
        {
            EventMsg evt{};
            evt.id = IPC_OPEN_RQS;
            ResourceManager::copyResourceName(evt.eventParam.resNameTxt, res->ipcNameTxt);
            processIpcOpenRqs(res->regParam.threadNameTxt, evt);
            continue;
        }
        EventParam p{};
        ResourceManager::copyResourceName(p.resNameTxt, res->ipcNameTxt);
        notify(res, IPC_READY_TO_OPEN, p);
    }
    return 0;
}

IpcResource* IpcReceiver::findChannel(const char* name) const
{
    for (int32 i = 0; i < m_numIpcRes; ++i)
        if (std::strncmp(m_ipcResAryPtr[static_cast<size_t>(i)]->ipcNameTxt, name, sizeof(ResourceName)) == 0)
            return m_ipcResAryPtr[static_cast<size_t>(i)];
    return nullptr;
}

void IpcReceiver::failRequest(const ResourceName& requester, FwEventID evtId, const char* name, int32 code)
{
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, name);
    p.paramInt32 = code;
    sendEventMsg(requester, MQUEUE_HIGH_PRIORITY, evtId, p, m_msgSeqNum);
}

// Events to a channel's owner, parked in its store while its queue is full.
int32 IpcReceiver::notify(IpcResource* res, FwEventID evtId, const EventParam& p)
{
    bool parked = false;
    if (res->usePipeline && res->pipelinePtr != nullptr)
    {
        const int32 r = sendEvtMsgViaPipeline(res->regParam.threadNameTxt, res->pipelinePtr, evtId, p, m_msgSeqNum,
                                              res->tmpPlMsgStorePtr, LIST, &parked);
        // Kept under the pipeline's name: that is how the timer retry finds it.
        if (parked && res->tmpPlMsgStorePtr != nullptr)
            m_forwarder->registerUnsentPl(res->regParam.pipelineNameTxt, res->tmpPlMsgStorePtr);
        return r;
    }
    const int32 r = sendEventMsg(res->regParam.threadNameTxt, res->msgQueuePtr, evtId, p, m_msgSeqNum,
                                 res->tmpMsgStorePtr, LIST, &parked);
    if (parked)
        m_forwarder->registerUnsent(res->regParam.threadNameTxt, res->tmpMsgStorePtr);
    return r;
}

void IpcReceiver::writeControl(IpcResource* res, IpcIntMsgType type)
{
    m_ctlMsg = IpcShmMsg{};
    m_ctlMsg.msgType = type;
    ::clock_gettime(CLOCK_REALTIME, &m_ctlMsg.tm);
    // A close entry that cannot be written is not worth failing the close.
    (void)res->ipcMsgQPtr->enqueue(m_ctlMsg, DEFAULT_RETRY_CNT, DEFAULT_RETRY_INTERVAL);
}

int32 IpcReceiver::processIpcOpenRqs(const ResourceName& requester, const EventMsg& evt)
{
    const char* name = evt.eventParam.resNameTxt;
    IpcResource* res = findChannel(name);
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Failed to locate IPC channel [%s]. Ignore event message [%d] and continue.", name,
              evt.id);
        failRequest(requester, IPC_OPEN_FAIL, name, RES_NOT_EXIST);
        return 0;
    }
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, res->ipcNameTxt);
    const ResourceStatus st = res->status.load();
    int32 code = 0;
    if (m_gblData.m_appMode.load() == STANDBY_MODE && !res->regParam.openInStandbyMode)
    {
        fwLog(LOG_LEVEL_NOTICE, "IPC channel [%s] not allow to open in STANDBY mode.", res->ipcNameTxt);
        code = RES_NOT_ALLOW_TO_OPER_IN_STDBY;
    }
    else if (st != RES_DISCONNECTED && st != RES_FAILED)
    {
        fwLog(LOG_LEVEL_NOTICE, "IPC channel [%s] already opened. Ignore event message [%d] and continue.",
              res->ipcNameTxt, evt.id);
        code = IPC_ALREADY_OPENED;
    }
    if (code != 0)
    {
        p.paramInt32 = code;
        return notify(res, IPC_OPEN_FAIL, p);
    }
    IpcShrMemMsgQ* q = res->ipcMsgQPtr;
    const bool writer = res->regParam.accessMode == IPC_WRITER_MODE;
    if (writer && res->counterpartStatus.load() == RES_CONNECTED && q->isOpened() == 0)
    {
        q->close(false);
        res->counterpartStatus.store(RES_DISCONNECTED);
    }
    const std::string shmName = std::string(SHARE_MEM_PREFIX) + res->ipcNameTxt;
    int32 r = q->open(shmName.c_str(), res->regParam.accessMode, static_cast<uint32>(res->regParam.msgQueLen));
    if (r == 0 && writer)
    {
        bool attached = false;
        IpcAppInfo reader{};
        if (q->isReaderAttached(attached, &reader) != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Fail to get IPC reader application ID with error [%d] from channel [%s]",
                  FrameworkErrno::m_fwErrno, res->ipcNameTxt);
            r = -1;
        }
        else if (!attached)
            r = fwFail(IPC_READER_NOT_EXIST, -1);
        else
        {
            copyAppId(res->counterpartAppId, reader.appIdTxt);
            res->counterpartPid = reader.pid;
            res->counterpartStatus.store(RES_CONNECTED);
            copyAppId(p.appIdTxt, reader.appIdTxt);
            m_ctlMsg = IpcShmMsg{};
            m_ctlMsg.msgType = IPC_MSG_TYPE_CTL_OPEN;
            ::clock_gettime(CLOCK_REALTIME, &m_ctlMsg.tm);
            r = q->enqueue(m_ctlMsg, DEFAULT_RETRY_CNT, DEFAULT_RETRY_INTERVAL);
        }
    }
    if (r == 0)
    {
        res->status.store(RES_CONNECTED);
        if (writer)
            p.resPtr = res;
        return notify(res, IPC_OPENED, p);
    }
    code = FrameworkErrno::m_fwErrno;
    res->status.store(RES_FAILED);
    res->counterpartStatus.store(RES_DISCONNECTED);
    res->counterpartPid = IpcShrMemMsgQ::IPC_NO_PROCESS_ID;
    res->counterpartAppId[0] = '\0';
    if (q->isOpened() == 0)
        q->close(false);
    fwLog(LOG_LEVEL_NOTICE, "Failed to open IPC channel [%s] with error [%d].", res->ipcNameTxt, code);
    p.paramInt32 = code;
    p.appIdTxt[0] = '\0';
    return notify(res, IPC_OPEN_FAIL, p);
}

int32 IpcReceiver::processIpcCloseRqs(const ResourceName& requester, const EventMsg& evt)
{
    const char* name = evt.eventParam.resNameTxt;
    IpcResource* res = findChannel(name);
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Failed to locate IPC channel [%s]. Ignore event message [%d] and continue.", name,
              evt.id);
        failRequest(requester, IPC_CLOSED, name, RES_NOT_EXIST);
        return 0;
    }
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, res->ipcNameTxt);
    if (m_gblData.m_appMode.load() == STANDBY_MODE && !res->regParam.openInStandbyMode)
    {
        fwLog(LOG_LEVEL_NOTICE, "IPC channel [%s] not allow to close in STANDBY mode.", res->ipcNameTxt);
        p.paramInt32 = RES_NOT_ALLOW_TO_OPER_IN_STDBY;
        return notify(res, IPC_CLOSED, p);
    }
    if (res->status.load() != RES_CONNECTED)
    {
        fwLog(LOG_LEVEL_NOTICE, "IPC channel [%s] is not opened. Ignore event message [%d] and continue.",
              res->ipcNameTxt, evt.id);
        p.paramInt32 = IPC_NOT_OPEN;
        return notify(res, IPC_CLOSED, p);
    }
    res->status.store(RES_DISCONNECTED);
    if (res->regParam.accessMode == IPC_WRITER_MODE)
        writeControl(res, IPC_MSG_TYPE_CTL_CLOSE);
    if (res->ipcMsgQPtr->close(false) != 0)
    {
        p.paramInt32 = FrameworkErrno::m_fwErrno;
        res->status.store(RES_FAILED);
        fwLog(LOG_LEVEL_NOTICE, "IPC channel [%s] closed with error [%d].", res->ipcNameTxt, p.paramInt32);
    }
    copyAppId(p.appIdTxt, res->counterpartAppId);
    res->counterpartAppId[0] = '\0';
    res->counterpartPid = IpcShrMemMsgQ::IPC_NO_PROCESS_ID;
    res->counterpartStatus.store(RES_DISCONNECTED);
    return notify(res, IPC_CLOSED, p);
}

// ---- polling ----

int32 IpcReceiver::processAllIpcMsgQ(bool checkProcess, int32& count)
{
    for (int32 i = 0; i < m_numIpcRes; ++i)
    {
        IpcResource* res = m_ipcResAryPtr[static_cast<size_t>(i)];
        int32 r = 0;
        if (res->regParam.accessMode == IPC_READER_MODE)
        {
            r = processReaderMsgQ(res, count, m_contMsgProcNum);
            if (r == 0 && checkProcess)
                r = checkIpcReaderStatus(res);
        }
        else if (checkProcess)
            r = checkIpcWriterStatus(res);
        if (r != 0 && !m_peerLineHeld)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing in IPC channel [%s].", FrameworkErrno::m_fwErrno,
                  res->ipcNameTxt);
        m_peerLineHeld = false;
    }
    return 0;
}

bool IpcReceiver::peerLine(IpcResource* res)
{
    const PeerLogLimit::Verdict verdict = m_peerLogs[res].next();
    if (verdict.heldBack != 0)
        fwLog(LOG_LEVEL_WARNING, "IPC channel [%s]: %s", res->ipcNameTxt,
              PeerLogLimit::heldBackText(verdict.heldBack).c_str());
    m_peerLineHeld = !verdict.write;
    return verdict.write;
}

void IpcReceiver::peerGone(IpcResource* res)
{
    const auto found = m_peerLogs.find(res);
    if (found == m_peerLogs.end())
        return;
    if (const uint64 heldBack = found->second.takeHeldBack(); heldBack != 0)
        fwLog(LOG_LEVEL_WARNING, "IPC channel [%s]: %s", res->ipcNameTxt, PeerLogLimit::heldBackText(heldBack).c_str());
    m_peerLogs.erase(found);
}

MessageQueueType IpcReceiver::queueTypeOf(IpcResource* res, FwMessageQueue* q) const
{
    ThreadResource* owner = nullptr;
    if (m_resMgr.getThreadRes(res->regParam.threadNameTxt, &owner) == 0 && owner != nullptr &&
        owner->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] == q)
        return MQUEUE_HIGH_PRIORITY;
    return MQUEUE_NORMAL;
}

ForwardTarget IpcReceiver::targetOf(IpcResource* res) const
{
    ForwardTarget t;
    t.queue = res->msgQueuePtr;
    t.altQueue = res->altMsgQueuePtr;
    t.queueType = queueTypeOf(res, res->msgQueuePtr);
    t.store = res->tmpMsgStorePtr;
    ResourceManager::copyResourceName(t.recipient, res->regParam.threadNameTxt);
    return t;
}

bool IpcReceiver::flushParked(IpcResource* res)
{
    if (res->usePipeline)
        return m_forwarder->flushPipeline(res->pipelinePtr, res->tmpPlMsgStorePtr);
    return m_forwarder->flushQueue(targetOf(res));
}

int32 IpcReceiver::processReaderMsgQ(IpcResource* res, int32& count, int32 limit)
{
    m_peerLineHeld = false;
    if (res->status.load() != RES_CONNECTED || res->ipcMsgQPtr == nullptr)
        return 0;
    // One wake-up per recipient for the whole batch.
    MsgForwarder::WakeBatch batch(*m_forwarder);
    // Order first: while older messages stay parked, new ones park behind them.
    bool parked = flushParked(res);
    int32 handled = 0;
    while (handled < limit)
    {
        if (res->ipcMsgQPtr->dequeue(m_entry) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (code == BUFFER_EMPTY)
                return 0;
            // Indices out of range: nothing in the ring can be trusted any
            // more, and polling it again would only repeat these lines. A
            // single malformed entry is the writer's, told within its limit.
            const bool corrupt = res->ipcMsgQPtr->getNumMsgQueued() < 0;
            if (corrupt || peerLine(res))
            {
                fwLog(LOG_LEVEL_ERROR, "Error [%d] retrieving invalid message from IPC channel [%s].", code,
                      res->ipcNameTxt);
                fwLog(LOG_LEVEL_ERROR, "Error [%d] processing in IPC reader channel [%s].", code, res->ipcNameTxt);
            }
            if (corrupt)
                closeCorrupt(res, code);
            return fwFail(code, -1);
        }
        if (m_entry.msgType != IPC_MSG_TYPE_DATA)
            return handleControl(res, m_entry);
        if (forwardData(res, m_entry, parked) != 0)
        {
            if (!m_peerLineHeld)
                fwLog(LOG_LEVEL_ERROR, "Error [%d] processing in IPC reader channel [%s].",
                      FrameworkErrno::m_fwErrno, res->ipcNameTxt);
            return -1;
        }
        ++handled;
        if (++count % m_contMsgProcNum == 0)
            touchLiveness();
    }
    return 0;
}

int32 IpcReceiver::handleControl(IpcResource* res, const IpcShmMsg& entry)
{
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, res->ipcNameTxt);
    if (entry.msgType == IPC_MSG_TYPE_CTL_OPEN)
    {
        bool attached = false;
        IpcAppInfo writer{};
        int32 code = 0;
        const pid_t before = res->counterpartPid;
        if (res->ipcMsgQPtr->isWriterAttached(attached, &writer) != 0)
        {
            code = FrameworkErrno::m_fwErrno;
            if (code == IPC_WRITER_PID_CHANGED && before != IpcShrMemMsgQ::IPC_NO_PROCESS_ID)
                fwLog(LOG_LEVEL_NOTICE, "IPC reader [%s] counterpart writer PID change from [%d] to [%d]",
                      res->ipcNameTxt, before, writer.pid);
            else if (code == IPC_WRITER_NOT_EXIST)
                fwLog(LOG_LEVEL_NOTICE, "IPC reader [%s] counterpart writer PID [%d] process not exist",
                      res->ipcNameTxt, writer.pid);
            else if (code != IPC_WRITER_PID_CHANGED)
                fwLog(LOG_LEVEL_ERROR, "Fail to get IPC writer application ID with error [%d] from channel [%s]",
                      code, res->ipcNameTxt);
        }
        if (code == 0 || code == IPC_WRITER_PID_CHANGED || code == IPC_WRITER_NOT_EXIST)
        {
            copyAppId(res->counterpartAppId, writer.appIdTxt);
            res->counterpartPid = writer.pid;
            res->counterpartStatus.store(RES_CONNECTED);
        }
        fwLog(LOG_LEVEL_INFO, "IPC reader [%s] counterpart writer AppId [%s] PID [%d] attached", res->ipcNameTxt,
              res->counterpartAppId, res->counterpartPid);
        copyAppId(p.appIdTxt, res->counterpartAppId);
        if (res->rcvPlMsgPtr != nullptr)
            copyAppId(res->rcvPlMsgPtr->peerAppIdTxt, res->counterpartAppId);
        p.paramInt32 = code;
        return notify(res, IPC_WRITER_ATTACHED, p);
    }
    if (entry.msgType == IPC_MSG_TYPE_CTL_CLOSE)
    {
        fwLog(LOG_LEVEL_INFO, "IPC reader [%s] counterpart writer AppId [%s] PID [%d] detached", res->ipcNameTxt,
              res->counterpartAppId, res->counterpartPid);
        detach(res, IPC_WRITER_DETACHED, 0);
        return 0;
    }
    if (peerLine(res))
    {
        fwLog(LOG_LEVEL_ERROR, "Unexpected IPC internal msg type [%d] from channel [%s]", entry.msgType,
              res->ipcNameTxt);
        fwLog(LOG_LEVEL_ERROR, "Error [%d] retrieving invalid message from IPC channel [%s].", IPC_SHR_MEM_NOT_ALIGN,
              res->ipcNameTxt);
        fwLog(LOG_LEVEL_ERROR, "Error [%d] processing in IPC reader channel [%s].", IPC_SHR_MEM_NOT_ALIGN,
              res->ipcNameTxt);
    }
    return fwFail(IPC_SHR_MEM_NOT_ALIGN, -1);
}

void IpcReceiver::closeCorrupt(IpcResource* res, int32 code)
{
    fwLog(LOG_LEVEL_ERROR, "IPC channel [%s] is closed: its shared memory queue is corrupt, error [%d].",
          res->ipcNameTxt, code);
    res->status.store(RES_FAILED);
    res->ipcMsgQPtr->close(false);
    detach(res, IPC_CLOSED, code);
}

void IpcReceiver::detach(IpcResource* res, FwEventID evtId, int32 code)
{
    peerGone(res);
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, res->ipcNameTxt);
    copyAppId(p.appIdTxt, res->counterpartAppId);
    p.paramInt32 = code;
    if (evtId == IPC_CLOSED)
        p.resPtr = res;
    res->counterpartStatus.store(RES_DISCONNECTED);
    res->counterpartAppId[0] = '\0';
    res->counterpartPid = IpcShrMemMsgQ::IPC_NO_PROCESS_ID;
    notify(res, evtId, p);
}

// One entry becomes one part of a framework message. The entry was written by
// another process, so its length and part number are checked first.
int32 IpcReceiver::forwardData(IpcResource* res, const IpcShmMsg& entry, bool& parked)
{
    m_peerLineHeld = false;
    if (entry.dataLen > Data_t::MAX_DATA_LEN || entry.msgPartNum < 0)
    {
        if (peerLine(res))
            fwLog(LOG_LEVEL_ERROR, "IPC channel [%s] entry with length [%u] part [%d] refused.", res->ipcNameTxt,
                  entry.dataLen, entry.msgPartNum);
        return fwFail(IPC_SHR_MEM_NOT_ALIGN, -1);
    }
    if (res->usePipeline)
        return forwardToPipeline(res, entry, parked);
    Data_t& d = m_dataMsg.appMsg.data;
    ResourceManager::copyResourceName(m_dataMsg.recipientTxt, res->regParam.threadNameTxt);
    ResourceManager::copyResourceName(d.channelNameTxt, res->ipcNameTxt);
    m_dataMsg.tm = m_tm;
    m_dataMsg.msgSeqNum = ++m_msgSeqNum;
    d.fdPtr = res;
    d.dataLen = entry.dataLen;
    d.msgPartNum = entry.msgPartNum;
    d.more = entry.more != 0;
    std::memcpy(d.buffer, entry.buffer, entry.dataLen);

    EventParam congest{};
    ResourceManager::copyResourceName(congest.resNameTxt, res->ipcNameTxt);
    MsgForwarder::Outcome outcome{};
    return m_forwarder->put(targetOf(res), m_dataMsg, parked, congest, outcome);
}

void IpcReceiver::resetJoin(IpcResource* res)
{
    res->rcvPlMsgPtr->dataLen = 0;
    res->rcvPlMsgNextPart = 0;
}

// Parts are joined in the channel's buffer. The joined length is checked
// against both the buffer and the pipeline's entry before a part is copied.
int32 IpcReceiver::forwardToPipeline(IpcResource* res, const IpcShmMsg& entry, bool& parked)
{
    PipelineMsgHeader* hdr = res->rcvPlMsgPtr;
    Pipeline* pl = res->pipelinePtr;
    if (hdr == nullptr || pl == nullptr)
        return fwFail(RES_PL_NOT_EXIST, -1);
    const bool more = entry.more != 0;
    if (entry.msgPartNum == 0 && res->rcvPlMsgNextPart != 0)
    {
        if (peerLine(res))
            fwLog(LOG_LEVEL_ERROR,
                  "Unexpected buffered IPC msg is outstanding with size [%d] part [%d], but received size [%d] part "
                  "[%d] on IPC channel [%s], reset on buffer",
                  hdr->dataLen, res->rcvPlMsgNextPart, entry.dataLen, entry.msgPartNum, res->ipcNameTxt);
        m_peerLineHeld = false; // the entry itself goes on
        resetJoin(res);
    }
    if (entry.msgPartNum != res->rcvPlMsgNextPart)
    {
        if (peerLine(res))
            fwLog(LOG_LEVEL_ERROR, "Unexpected next msg part num [%d] received, expected [%d] on IPC channel [%s]",
                  entry.msgPartNum, res->rcvPlMsgNextPart, res->ipcNameTxt);
        resetJoin(res);
        return fwFail(more ? IPC_SHR_MEM_READ_FAIL : IPC_INCOMPLETE_MSG_RCVD, -1);
    }
    // Checked against the join buffer and the pipeline's entry before a part is copied.
    const uint64 joined = static_cast<uint64>(hdr->dataLen) + entry.dataLen;
    if (joined > m_maxMsgSize || !MsgForwarder::fitsPipeline(joined, *pl))
    {
        if (peerLine(res))
            fwLog(LOG_LEVEL_CRITICAL,
                  "The data message size [%d] is too large to fit into the entry size [%d] of pipeline [%s]",
                  static_cast<int32>(joined + PL_HDR_SIZE), static_cast<int32>(pl->getMaxDataSize()),
                  res->regParam.pipelineNameTxt);
        resetJoin(res);
        return fwFail(MSG_TOO_LARGE, -1);
    }
    char* payload = reinterpret_cast<char*>(hdr) + PL_HDR_SIZE;
    std::memcpy(payload + hdr->dataLen, entry.buffer, entry.dataLen);
    hdr->dataLen = static_cast<uint32>(joined);
    if (more)
    {
        ++res->rcvPlMsgNextPart;
        return 0;
    }
    hdr->tm = m_tm;
    EventParam congest{};
    ResourceManager::copyResourceName(congest.resNameTxt, res->ipcNameTxt);
    MsgForwarder::Outcome outcome{};
    const int32 r = m_forwarder->enqueue(pl, res->tmpPlMsgStorePtr, res->regParam.pipelineNameTxt,
                                         reinterpret_cast<const char*>(hdr), parked, res->regParam.threadNameTxt,
                                         res->msgQueuePtr, congest, outcome);
    if (outcome == MsgForwarder::FWD_CONGESTED)
        fwLog(LOG_LEVEL_NOTICE,
              "Unable to forward message due to pipeline [%s] full from IPC [%s]. Schedule retry at next timer event.",
              res->regParam.pipelineNameTxt, res->ipcNameTxt);
    resetJoin(res);
    return r;
}

// ---- peer checks ----

int32 IpcReceiver::checkIpcReaderStatus(IpcResource* res)
{
    if (res->status.load() != RES_CONNECTED || res->counterpartStatus.load() != RES_CONNECTED)
        return 0;
    IpcShrMemMsgQ* q = res->ipcMsgQPtr;
    bool attached = false;
    IpcAppInfo writer{};
    if (q->isWriterAttached(attached, &writer) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == IPC_WRITER_NOT_EXIST)
        {
            const int32 pending = q->getNumMsgQueued();
            if (pending > 0)
            {
                fwLog(LOG_LEVEL_NOTICE,
                      "IPC counterpart writer PID [%d] not exist but msg pending on channel [%s], dequeue all msg "
                      "and skip sending IPC_WRITER_DETACHED event.",
                      res->counterpartPid, res->ipcNameTxt);
                int32 count = 0;
                return processReaderMsgQ(res, count, pending);
            }
            fwLog(LOG_LEVEL_NOTICE,
                  "IPC counterpart writer PID [%d] not exist on channel [%s], send IPC_WRITER_DETACHED event.",
                  res->counterpartPid, res->ipcNameTxt);
            detach(res, IPC_WRITER_DETACHED, IPC_WRITER_NOT_EXIST);
        }
        else if (code == IPC_WRITER_PID_CHANGED)
            fwLog(LOG_LEVEL_NOTICE,
                  "IPC counterpart writer PID changed from [%d] to [%d] on channel [%s], skip sending "
                  "IPC_WRITER_DETACHED event.",
                  res->counterpartPid, writer.pid, res->ipcNameTxt);
        return 0;
    }
    if (attached)
        return 0;
    int32 count = 0;
    const int32 r = processReaderMsgQ(res, count, std::max(q->getNumMsgQueued(), 1));
    if (res->counterpartStatus.load() == RES_CONNECTED)
    {
        fwLog(LOG_LEVEL_ERROR, "No IPC internal CLOSE msg when writer detached on channel [%s].", res->ipcNameTxt);
        detach(res, IPC_WRITER_DETACHED, 0);
    }
    return r;
}

int32 IpcReceiver::checkIpcWriterStatus(IpcResource* res)
{
    IpcShrMemMsgQ* q = res->ipcMsgQPtr;
    const ResourceStatus st = res->status.load();
    if (st == RES_DISCONNECTED && res->counterpartStatus.load() == RES_CONNECTED && q->isOpened() == 0)
    {
        q->close(false);
        res->counterpartStatus.store(RES_DISCONNECTED);
        return 0;
    }
    if (st != RES_CONNECTED || res->counterpartStatus.load() != RES_CONNECTED)
        return 0;
    bool attached = false;
    IpcAppInfo reader{};
    int32 code = 0;
    if (q->isReaderAttached(attached, &reader) != 0)
    {
        code = FrameworkErrno::m_fwErrno;
        if (code == IPC_READER_NOT_EXIST)
            fwLog(LOG_LEVEL_NOTICE, "IPC writer [%s] counterpart reader PID [%d] not existed, close this channel now",
                  res->ipcNameTxt, res->counterpartPid);
        else if (code == IPC_READER_PID_CHANGED)
            fwLog(LOG_LEVEL_NOTICE,
                  "IPC writer [%s] counterpart reader PID changed from [%d] to [%d], close this channel now",
                  res->ipcNameTxt, res->counterpartPid, reader.pid);
        else
            return 0;
    }
    else if (!attached)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "IPC writer [%s] counterpart reader PID [%d] detached from the IPC channel, close this channel now",
              res->ipcNameTxt, res->counterpartPid);
        code = IPC_READER_NOT_EXIST;
    }
    else
        return 0;
    res->status.store(RES_DISCONNECTED);
    // The reader is still marked so that the next check closes the queue.
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, res->ipcNameTxt);
    copyAppId(p.appIdTxt, res->counterpartAppId);
    p.paramInt32 = code;
    p.resPtr = res;
    res->counterpartAppId[0] = '\0';
    res->counterpartPid = IpcShrMemMsgQ::IPC_NO_PROCESS_ID;
    return notify(res, IPC_CLOSED, p);
}

int32 IpcReceiver::retryForwardMsg()
{
    MsgForwarder::WakeBatch batch(*m_forwarder);
    return m_forwarder->retry();
}

void IpcReceiver::touchLiveness()
{
    if (m_threadResPtr != nullptr)
        m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
}
