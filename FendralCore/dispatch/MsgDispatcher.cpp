#include "FendralCore/dispatch/MsgDispatcher.h"

#include "FendralCore/dispatch/IpcShrMemMsgQ.h"
#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PipelineStageDesc.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/FwErrorNum.h"
#include "FendralCore/runtime/AgentShmLayout.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/RingBuffer.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <new>
#include <sched.h>
#include <cstring>
#include <ctime>

thread_local MsgDispatcher* MsgDispatcher::m_msgDispatcherPtr = nullptr;
std::atomic<MsgDispatcher*> MsgDispatcher::m_middlewareMDPtr{nullptr};

namespace
{
constexpr const char* CTL_THREAD_NAME = "CTL_THREAD";
constexpr const char* NET_RECEIVER_NAME = "NET_RECEIVER";
constexpr const char* MSG_SERVICE_NAME = "MSG_SERVICE";
constexpr const char* MSG_REPLICATOR_NAME = "MSG_REPLICATOR";
constexpr const char* IPC_RECEIVER_NAME = "IPC_RECEIVER";
constexpr const char* DATA_STREAM_HDR_NAME = "DATA_STREAM_HDR";
constexpr int32 PL_TAKE_RETRY_CNT = 1;
constexpr int32 PL_TAKE_RETRY_INTERVAL = 20;

bool sameName(const char* a, const char* b)
{
    return std::strncmp(a, b, sizeof(ResourceName)) == 0;
}

void copyName(ResourceName& dest, const char* src)
{
    ResourceManager::copyResourceName(dest, src);
}

// Framework events that reach the application callback from a queue.
bool deliveredFromQueue(int32 id)
{
    switch (id)
    {
    case APP_READY:
    case TERM:
    case CONN_READY_TO_OPEN:
    case NEW_CONNECT:
    case CONNECTED:
    case DISCONNECTED:
    case CONNECT_FAIL:
    case MCAST_READY_FOR_TRANSMISSION:
    case TIMER:
    case IO_COMPL_ACK:
    case NET_CONGEST:
    case NET_FREE:
    case TOPIC_PUBLISH_ACK:
    case TOPIC_LEAVE_PUB_ACK:
    case TOPIC_PUB_READY_TO_OPEN:
    case TOPIC_SUBSCRIBE_ACK:
    case TOPIC_LEAVE_SUB_ACK:
    case TOPIC_SUB_READY_TO_OPEN:
    case NET_RES_INIT_FAIL:
        return true;
    default:
        return (id >= TOPIC_CONFLICT && id <= PIPELINE_CONGEST) || (id >= IPC_READY_TO_OPEN && id <= IPC_WRITER_DETACHED) ||
               (id >= IPC_CLOSED && id <= ACTIVE_SUBSCRIBER_LEFT);
    }
}

// Framework events that reach the application callback from a pipeline.
bool deliveredFromPipeline(int32 id)
{
    switch (id)
    {
    case NEW_CONNECT:
    case CONNECTED:
    case DISCONNECTED:
    case MCAST_READY_FOR_TRANSMISSION:
    case TOPIC_PUBLISH_ACK:
    case TOPIC_SUBSCRIBE_ACK:
    case TOPIC_PUBLISHER_JOINED:
    case TOPIC_PUBLISHER_LEFT:
    case IPC_CLOSED:
        return true;
    default:
        return (id >= FIRST_SUBSCRIBER_JOINED && id <= LAST_DR_SUBSCRIBER_LEFT) ||
               (id >= IPC_READY_TO_OPEN && id <= IPC_WRITER_DETACHED) ||
               (id >= FIRST_MRM_SUBSCRIBER_JOINED && id <= ACTIVE_SUBSCRIBER_LEFT);
    }
}
} // namespace

MsgDispatcher::MsgDispatcher(ThreadResource* threadResPtr)
    : MsgDispatcher(threadResPtr, ResourceManager::getInst(), nullptr)
{
}

MsgDispatcher::MsgDispatcher(ThreadResource* threadResPtr, ResourceManager& resManager, const ConfigManager* configMgr)
    : EventMessage(threadResPtr, resManager), m_threadResPtr(threadResPtr)
{
    GlobalData& gd = GlobalData::getInst();
    m_processMode = gd.m_optMode.load(std::memory_order_relaxed);
    const ThreadOptimization thdOpt = threadResPtr != nullptr ? threadResPtr->thdOptimiz : GLOBAL_OPTIMIZATION_SETTING;
    m_optMode = thdOpt == CPU_OPTIMIZATION       ? CPU_UTILIZATION
                : thdOpt == LATENCY_OPTIMIZATION ? LOW_LATENCY
                                                 : m_processMode;
    m_idleSpinCycle = gd.m_idleSpinCycle;
    m_lowLatencyCpuSaver = gd.m_lowLatencyCpuSaver;
    m_allowAppTriggeredTerm = gd.m_allowAppTriggeredTerm;
    m_repliServiceEnabled = gd.m_repliServiceEnabled;
    m_mrmApplication = gd.m_mrmApplication;
    m_runAsFwMiddleware = gd.m_runAsFwMiddleware;
    if (threadResPtr != nullptr)
    {
        ResourceName name;
        std::memcpy(name, threadResPtr->threadNameTxt, sizeof(ResourceName));
        name[sizeof(ResourceName) - 1] = '\0';
        m_threadNameId = UInt128(name, true);
    }
    m_sharedWithAppThreads = m_runAsFwMiddleware && m_threadNameId == ResourceManager::MIDDLEWARE_DISPATCHER_ID;

    readConfig(configMgr != nullptr ? configMgr : gd.getConfigManager());
    m_fdWaitPtr = std::make_unique<FileDescMultiplexer>(m_maxNumDesc);
    m_fdAryPtr = std::make_unique<FileDescriptor*[]>(m_maxNumDesc);
    // The multiplexer keeps room for the framework's own descriptors.
    m_maxTimers = m_maxNumDesc - NUM_OF_FW_DESC;
    m_timers = std::make_unique<AppTimer*[]>(static_cast<size_t>(m_maxTimers));
    m_removedTimers.reserve(static_cast<size_t>(m_maxTimers));
    m_idleThreshold = static_cast<int64>(m_timeout) * 1000000;
    if (m_msgDispatcherPtr == nullptr)
        m_msgDispatcherPtr = this;
}

MsgDispatcher::~MsgDispatcher()
{
    {
        // Taken even when this one is no longer registered: a stop request
        // clears the pointer first and may still be sending through this
        // object under the lock.
        std::lock_guard<std::mutex> lock(middlewareLock());
        MsgDispatcher* self = this;
        m_middlewareMDPtr.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    }
    if (m_timerPtr)
    {
        m_timerPtr->stopTimer();
        m_fdWaitPtr->removeFileDesc(m_timerPtr.get());
    }
    for (int32 i = 0; i < m_maxTimers; ++i)
    {
        AppTimer*& timer = m_timers[i];
        if (timer == nullptr)
            continue;
        timer->stop();
        if (timer->usesFileDescriptor())
            m_fdWaitPtr->removeFileDesc(timer);
        delete timer;
        timer = nullptr;
    }
    for (AppTimer* timer : m_removedTimers)
        delete timer;
    m_removedTimers.clear();
    if (m_msgDispatcherPtr == this)
        m_msgDispatcherPtr = nullptr;
}

void MsgDispatcher::readConfig(const ConfigManager* configMgr)
{
    if (configMgr == nullptr)
        return;
    configMgr->getInt32ConfigPara(STS_RPT_INTERVAL_LABEL, m_timeout, DEFAULT_STS_RPT_INTERVAL);
    if (m_timeout < 1)
        m_timeout = DEFAULT_STS_RPT_INTERVAL;
    configMgr->getInt32ConfigPara(MD_MSG_PROC_NUM_LABEL, m_contMsgProcNum, DEFAULT_MD_MSG_PROC_NUM);
    if (m_contMsgProcNum < 1)
        m_contMsgProcNum = DEFAULT_MD_MSG_PROC_NUM;
    int32 fdNum = DEFAULT_MSG_DISP_FD_NUM;
    configMgr->getInt32ConfigPara(MSG_DISP_FD_NUM_LABEL, fdNum, DEFAULT_MSG_DISP_FD_NUM);
    if (fdNum < 1)
        fdNum = DEFAULT_MSG_DISP_FD_NUM;
    m_maxNumDesc = fdNum + NUM_PRINCIPLE_DESC;
    configMgr->getInt32ConfigPara(MD_EPOLL_INT_LABEL, m_epollInterval, DEFAULT_MD_EPOLL_INT);
    if (m_epollInterval < 1)
        m_epollInterval = DEFAULT_MD_EPOLL_INT;
    configMgr->getUint16ConfigPara(TCP_SND_RCNT_LABEL, m_tcpSendRetryCount, SEND_RETRY_COUNT);
    configMgr->getUint64ConfigPara(TCP_SND_SLP_INT_LABEL, m_tcpSendSleepInterval, RETRY_SLEEP_INTERVAL);
}

// --- start-up ---

int32 MsgDispatcher::initialize()
{
    if (m_threadResPtr == nullptr || m_threadResPtr->appCallbackFuncPtr == nullptr)
    {
        fwLog(2, "Application Callback Function is NULL.");
        return fwFail(OBJECT_NULL_PTR, -1);
    }
    AppLogger::setThreadName(m_threadResPtr->threadNameTxt);

    struct Lookup
    {
        const char* name;
        ThreadResource** target;
        const char* errText;
        bool required;
    };
    const Lookup lookups[] = {
        {NET_RECEIVER_NAME, &m_netRcvrResPtr, "Error [%d] getting network IPC receiver thread resource pointer.", false},
        {MSG_SERVICE_NAME, &m_msgServiceResPtr, "Error [%d] getting Messaging Service thread resource pointer.", false},
        {IPC_RECEIVER_NAME, &m_ipcRcvrResPtr, "Error [%d] getting IPC receiver resource pointer.", false},
        {CTL_THREAD_NAME, &m_ctlThdResPtr, "Error [%d] getting main control thread resource pointer.", true},
    };
    ResourceName name;
    for (const Lookup& l : lookups)
    {
        copyName(name, l.name);
        if (m_resManager.getThreadRes(name, l.target) != 0)
        {
            *l.target = nullptr;
            if (!l.required && FrameworkErrno::m_fwErrno == RES_NOT_EXIST)
                continue;
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(2, l.errText, code);
            return fwFail(code, -1);
        }
    }
    if (m_repliServiceEnabled)
    {
        copyName(name, MSG_REPLICATOR_NAME);
        if (m_resManager.getThreadRes(name, &m_msgRepliThdResPtr) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(2, "Error [%d] getting Message Replicator thread resource pointer.", code);
            return fwFail(code, -1);
        }
        m_msgRepliId = UInt128(name, true);
    }

    // Stages without a wake-up descriptor (pipelines of a LOW_LATENCY process)
    // cannot make this thread's wait return: they are polled on every pass.
    for (int32 i = 0; i < m_threadResPtr->numOfPipeline && i < THREAD_PIPELINE_MAX; ++i)
    {
        const PipelineRecord& rec = m_threadResPtr->pipelineRec[i];
        if (rec.pipelinePtr == nullptr || rec.pipelinePtr->getStageEventFd(rec.appPlStageNum) == nullptr)
            m_pollAllStages = true;
    }

    if (m_optMode == LOW_LATENCY)
    {
        clock_gettime(CLOCK_REALTIME, &m_lastUpdStatusTime);
        m_threadResPtr->lastStatusUpdTm.store(m_lastUpdStatusTime.tv_sec, std::memory_order_relaxed);
        return lookUpMrmTopics();
    }

    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    if (m_fdWaitPtr->addFileDesc(high, IO_WAIT_READ) != 0)
    {
        fwLog(2, "Error [%d] adding high priority message queue to Wait object in Message Dispatcher.",
              FrameworkErrno::m_fwErrno);
        return -1;
    }
    if (m_fdWaitPtr->addFileDesc(normal, IO_WAIT_READ) != 0)
    {
        fwLog(2, "Error [%d] adding normal message queue to Wait object in Message Dispatcher.",
              FrameworkErrno::m_fwErrno);
        return -1;
    }
    // The stage descriptors join the wait once INIT succeeded (watchStages);
    // their places are kept free until then.
    if (!m_pollAllStages)
        m_stagesToWatch = std::min(m_threadResPtr->numOfPipeline, THREAD_PIPELINE_MAX);
    m_timerPtr = std::make_unique<Timer>(m_timeout, true);
    if (m_fdWaitPtr->addFileDesc(m_timerPtr.get(), IO_WAIT_READ) != 0 || m_timerPtr->startTimer() != 0)
    {
        fwLog(2, "Error [%d] adding timer to Wait object in Message Dispatcher.", FrameworkErrno::m_fwErrno);
        return -1;
    }
    updateLiveness();
    return lookUpMrmTopics();
}

int32 MsgDispatcher::lookUpMrmTopics()
{
    if (!m_mrmApplication)
        return 0;
    GlobalData& gd = GlobalData::getInst();
    if (m_resManager.getMsgTopicRes(gd.m_thisMrmLocalTopicName, &m_mrmLocalTopicResPtr) != 0)
    {
        m_mrmLocalTopicResPtr = nullptr;
        fwLog(2, "Error [%d] retrieving resource record of topic [%.16s] .", FrameworkErrno::m_fwErrno,
              gd.m_thisMrmLocalTopicName);
    }
    if (m_resManager.getMsgTopicRes(gd.m_thisMrmCrossSiteTopicName, &m_mrmCrossSiteTopicResPtr) != 0)
    {
        m_mrmCrossSiteTopicResPtr = nullptr;
        fwLog(2, "Error [%d] retrieving resource record of topic [%.16s] .", FrameworkErrno::m_fwErrno,
              gd.m_thisMrmCrossSiteTopicName);
        return -1;
    }
    return 0;
}

int32 MsgDispatcher::watchStages()
{
    if (m_stagesRegistered || m_optMode != CPU_UTILIZATION || m_pollAllStages)
        return 0;
    for (int32 i = 0; i < m_threadResPtr->numOfPipeline && i < THREAD_PIPELINE_MAX; ++i)
    {
        PipelineRecord& rec = m_threadResPtr->pipelineRec[i];
        // Threads that serve one stage share its descriptor: its record is
        // found in this thread's own list when it is ready, never through the
        // descriptor.
        PipelineStageDesc* desc = rec.pipelinePtr->getStageEventFd(rec.appPlStageNum);
        if (m_fdWaitPtr->addFileDesc(desc, IO_WAIT_READ) != 0)
        {
            fwLog(2, "Error [%d] adding pipeline stage descriptor to Wait object in MsgDispatcher.",
                  FrameworkErrno::m_fwErrno);
            return -1;
        }
    }
    m_stagesRegistered = true;
    return 0;
}

// --- thread body ---

int32 MsgDispatcher::run(int32& execExitHdr)
{
    ResourceManager::setDispatcherThread(true);
    if (m_msgDispatcherPtr == nullptr)
        m_msgDispatcherPtr = this;
    AppLogger::setMsgPtr(&m_loggerMsg);
    m_numFdEvt = 0;
    m_termCode = NO_TERMINATION;
    return runGuarded(
        "Message Dispatcher",
        [&]() -> int32 {
            if (initialize() != 0)
            {
                fwLog(2, "Error [%d] occurred. Proceed thread termination.", FrameworkErrno::m_fwErrno);
                execExitHdr = 1;
                return -1;
            }
            int32 result = 0;
            if (m_optMode == LOW_LATENCY)
                result = runPollingLoop();
            else
                result = runEventLoop(m_processMode == LOW_LATENCY);
            execExitHdr = m_termCode != AGT_TRIGGERED_TERMINATION ? 1 : 0;
            return result;
        },
        [&] { execExitHdr = m_termCode != AGT_TRIGGERED_TERMINATION ? 1 : 0; });
}

void MsgDispatcher::setTerm(TerminationCode termCode)
{
    if (termCode != NO_TERMINATION && m_termCode == NO_TERMINATION)
        m_termCode = termCode;
}

int32 MsgDispatcher::runEventLoop(bool timed)
{
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    // Stages without a wake-up descriptor are polled, so the wait must come back.
    const int32 waitTimeout = timed || m_pollAllStages ? m_epollInterval : -1;
    while (m_termCode == NO_TERMINATION)
    {
        int32 ready = m_fdWaitPtr->wait(m_fdAryPtr.get(), NUM_OF_FW_DESC, waitTimeout);
        if (ready < 0)
            ready = 0; // the multiplexer logged it; wait again
        m_numFdEvt = ready;
        // The ready list may name a timer a callback of this pass removes.
        ++m_timerWalkDepth;

        bool highReady = timed, normalReady = timed, statusReady = false, stageReady = m_pollAllStages,
             timerReady = false;
        for (int32 i = 0; i < ready; ++i)
        {
            FileDescriptor* fd = m_fdAryPtr[i];
            if (fd == high)
                highReady = true;
            else if (fd == normal)
                normalReady = true;
            else if (fd == m_timerPtr.get())
                statusReady = true;
            else if (fd->getDescType() == PL_STAGE_DESC)
                stageReady = true;
            else
                timerReady = true;
        }

        TerminationCode termCode = NO_TERMINATION;
        int32 processed = 0;
        if (statusReady)
        {
            uint64 expiry = 0;
            int done = 0;
            if (m_timerPtr->receive(reinterpret_cast<char*>(&expiry), sizeof(expiry), done) != 0 &&
                FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                fwLog(2, "Error [%d] in processing timer event.", FrameworkErrno::m_fwErrno);
            updateLiveness();
        }
        if (highReady)
        {
            if (processMessages(MQUEUE_HIGH_PRIORITY, termCode, processed) != 0)
                fwLog(2, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
            setTerm(termCode);
        }
        if (normalReady && m_termCode == NO_TERMINATION)
        {
            if (processMessages(MQUEUE_NORMAL, termCode, processed) != 0)
                fwLog(2, "Error [%d] processing messages on normal priority queue.", FrameworkErrno::m_fwErrno);
            setTerm(termCode);
        }
        if (stageReady && m_termCode == NO_TERMINATION)
        {
            processPipelines(termCode, processed);
            setTerm(termCode);
        }
        if (timerReady && m_termCode == NO_TERMINATION)
        {
            serveAppTimersReady(termCode);
            setTerm(termCode);
        }
        if (--m_timerWalkDepth == 0)
            purgeRemovedTimers();
    }
    return 0;
}

int32 MsgDispatcher::runPollingLoop()
{
    int32 idle = 0;
    while (true)
    {
        if (m_termCode != NO_TERMINATION)
            return 0;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        const int64 elapsed = (static_cast<int64>(now.tv_sec) - m_lastUpdStatusTime.tv_sec) * 1000000000LL +
                              (now.tv_nsec - m_lastUpdStatusTime.tv_nsec);
        if (elapsed > m_idleThreshold || elapsed < 0)
        {
            m_threadResPtr->lastStatusUpdTm.store(now.tv_sec, std::memory_order_relaxed);
            m_lastUpdStatusTime = now;
        }

        TerminationCode termCode = NO_TERMINATION;
        int32 work = 0;
        int32 processed = 0;
        if (processMessages(MQUEUE_HIGH_PRIORITY, termCode, processed) != 0)
            fwLog(2, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
        work += processed;
        setTerm(termCode);
        if (m_termCode == NO_TERMINATION)
        {
            if (processMessages(MQUEUE_NORMAL, termCode, processed) != 0)
                fwLog(2, "Error [%d] processing messages on normal priority queue.", FrameworkErrno::m_fwErrno);
            work += processed;
            setTerm(termCode);
        }
        if (m_termCode == NO_TERMINATION)
        {
            processPipelines(termCode, processed);
            work += processed;
            setTerm(termCode);
        }
        if (m_termCode == NO_TERMINATION)
        {
            int32 delivered = 0;
            serveAppTimersAll(termCode, delivered);
            work += delivered;
            setTerm(termCode);
        }

        if (work != 0)
        {
            idle = 0;
            continue;
        }
        if (++idle <= m_idleSpinCycle)
            continue;
        idle = 0;
        if (m_lowLatencyCpuSaver)
            sched_yield();
    }
}

void MsgDispatcher::updateLiveness()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    m_threadResPtr->lastStatusUpdTm.store(now.tv_sec, std::memory_order_relaxed);
}

int32 MsgDispatcher::callback(MessageType type, EventMsg* evt, DataMsg* data)
{
    return m_threadResPtr->appCallbackFuncPtr(type, evt, data);
}

void MsgDispatcher::countMsg(int32& numMsgProcessed)
{
    ++numMsgProcessed;
    if (numMsgProcessed % m_contMsgProcNum == 0)
        updateLiveness();
}

void MsgDispatcher::applyResult(int32 result, TerminationCode& termCode, const char* termLog)
{
    if (result == PROCESS_TERMINATION && m_allowAppTriggeredTerm)
    {
        termCode = APP_TRIGGERED_TERMINATION;
        fwLog(4, termLog, result);
    }
}

int32 MsgDispatcher::reportResult(int32 result, TerminationCode& termCode)
{
    if (result == 0)
        return 0;
    const int32 sent = sendItcStatus(result);
    applyResult(result, termCode, "Application callback function returned [%d] to trigger process termination.");
    return sent;
}

// --- queues ---

int32 MsgDispatcher::processMessages(MessageQueueType queueType, TerminationCode& termCode, int32& numMsgProcessed)
{
    numMsgProcessed = 0;
    termCode = NO_TERMINATION;
    FwMessageQueue* queue = m_threadResPtr->msgQueuePtrArray[queueType];
    if (queue == nullptr)
        return fwFail(OBJECT_NULL_PTR, -1);
    bool more = true;
    while (more && termCode == NO_TERMINATION)
    {
        if (queue->getMessage(&m_message, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
        int32 result = 0;
        switch (m_message.appMsg.type)
        {
        case MSG_EVENT:
            result = dispatchEvent(queueType, termCode, numMsgProcessed);
            break;
        case MSG_DATA:
            result = dispatchData(queueType, termCode, numMsgProcessed);
            break;
        default:
            fwLog(4, "Unknown message type [%d] received from message queue.",
                  static_cast<int32>(m_message.appMsg.type));
            break;
        }
        if (result != 0)
            return result;
    }
    return 0;
}

void MsgDispatcher::logEvent(int32 level, const FwIntMessage& msg)
{
    if (!fwLogEnabled(level))
        return;
    const EventMsg& evt = msg.appMsg.event;
    ResourceName originator;
    std::memcpy(originator, msg.originatorTxt, sizeof(ResourceName));
    originator[sizeof(ResourceName) - 1] = '\0';
    ResourceName resName;
    std::memcpy(resName, evt.eventParam.resNameTxt, sizeof(ResourceName));
    resName[sizeof(ResourceName) - 1] = '\0';
    fwLog(level, "Event message [%d] received from [%s]. Param: [%s] [%d] [%d] [%ld]. replicationFlag [%d]", evt.id,
          originator, resName, static_cast<int32>(evt.eventParam.paramInt16), evt.eventParam.paramInt32,
          static_cast<long>(evt.eventParam.paramInt64), static_cast<int32>(evt.replicationFlag));
}

int32 MsgDispatcher::dispatchEvent(MessageQueueType, TerminationCode& termCode, int32& numMsgProcessed)
{
    EventMsg& evt = m_message.appMsg.event;
    if (evt.id == TERM)
        termCode = AGT_TRIGGERED_TERMINATION;
    void* const keptResPtr = evt.eventParam.resPtr;
    if (evt.id < APP_DEFINED_EVENT_BASE)
    {
        // Pointers from another thread are never handed on as they came.
        evt.eventParam.resHandlePtr = nullptr;
        evt.eventParam.resPtr = nullptr;
    }
    if (!m_initReceived && evt.id != INIT)
        return 0;

    if (evt.id == INIT || evt.id == SW_ACTIVE || evt.id == SW_STANDBY)
        return answerControlEvent(evt, termCode, numMsgProcessed);

    if (evt.id < APP_DEFINED_EVENT_BASE && !deliveredFromQueue(evt.id))
    {
        fwLog(4, "Unexpected event message [%d] from message queue. Ignore and continue.", evt.id);
        countMsg(numMsgProcessed);
        return 0;
    }
    if (evt.id == APP_READY)
    {
        m_msgJournalLoggerPtr = GlobalData::getInst().getMsgJournalLogger();
        MsgDispatcher* expected = nullptr;
        if (m_runAsFwMiddleware && m_threadNameId == ResourceManager::MIDDLEWARE_DISPATCHER_ID)
            m_middlewareMDPtr.compare_exchange_strong(expected, this, std::memory_order_acq_rel);
    }
    if (evt.id < APP_DEFINED_EVENT_BASE)
        prepareEventHandle(evt, keptResPtr, false);
    const int32 id = evt.id;
    const bool replicated = evt.replicationFlag != NOT_REPLICATION_MSG;
    const int32 result = callback(MSG_EVENT, &evt, nullptr);
    if (id != TIMER)
        logEvent((id == NEW_CONNECT || id == CONNECTED || id == DISCONNECTED || replicated) ? 6 : 5, m_message);
    countMsg(numMsgProcessed);
    TerminationCode appTerm = NO_TERMINATION;
    const int32 sent = reportResult(result, appTerm);
    if (appTerm != NO_TERMINATION)
        termCode = appTerm;
    if (sent != 0)
    {
        fwLog(4, "Error in processing event message [%d]", id);
        return -1;
    }
    return 0;
}

int32 MsgDispatcher::answerControlEvent(EventMsg& evt, TerminationCode& termCode, int32& numMsgProcessed)
{
    const int32 id = evt.id;
    int32 result = callback(MSG_EVENT, &evt, nullptr);
    logEvent(5, m_message);
    countMsg(numMsgProcessed);

    FwEventID ack = INIT_ACK;
    if (id == INIT)
    {
        // A stage that cannot be watched fails the start-up like the callback.
        if (result == 0 && watchStages() != 0)
            result = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : ADD_DESCRIPTOR_FAILED;
        if (result == 0)
            m_initReceived = true;
    }
    else
    {
        const bool active = id == SW_ACTIVE;
        ack = active ? SW_ACTIVE_ACK : SW_STANDBY_ACK;
        fwLog(5, active ? "Processing SW_ACTIVE ......" : "Processing SW_STANDBY ......");
        // Drain what is queued now; a steady stream from other threads must
        // not keep the control thread waiting for the answer.
        FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
        const int64 budget = normal != nullptr ? normal->getNumElem() : 0;
        int64 drained = 0;
        TerminationCode drainTerm = NO_TERMINATION;
        while (drained < budget && drainTerm == NO_TERMINATION)
        {
            int32 n = 0;
            if (processMessages(MQUEUE_NORMAL, drainTerm, n) != 0 || n == 0)
                break;
            drained += n;
        }
        fwLog(5, active ? "Processed [%d] messages from normal message queue."
                        : "Proccessed [%d] messages from normal message queue.",
              static_cast<int32>(drained));
        int32 plCount = 0;
        if (drainTerm == NO_TERMINATION)
            processPipelines(drainTerm, plCount);
        fwLog(5, active ? "Processed [%d] messages from pipelines." : "Proccessed [%d] messages from pipelines.",
              plCount);
        numMsgProcessed += static_cast<int32>(drained) + plCount;
        if (drainTerm != NO_TERMINATION)
            termCode = drainTerm;
    }

    {
        const std::unique_lock<std::recursive_mutex> lock = lockForLoopSend();
        m_eventParam = EventParam{};
        std::memcpy(m_eventParam.resNameTxt, m_threadResPtr->threadNameTxt, sizeof(ResourceName));
        m_eventParam.paramInt32 = result;
        if (m_ctlThdResPtr == nullptr ||
            sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, ack, m_eventParam, m_msgSeqNum) != 0)
            fwLog(2, "Error [%d] sending event [%d] to main control thread.", FrameworkErrno::m_fwErrno,
                  static_cast<int32>(ack));
    }

    TerminationCode appTerm = NO_TERMINATION;
    const int32 sent = reportResult(result, appTerm);
    if (appTerm != NO_TERMINATION)
        termCode = appTerm;
    if (sent != 0)
    {
        fwLog(4, "Error in processing event message [%d]", id);
        return -1;
    }
    return 0;
}

// --- data ---

const char* MsgDispatcher::senderKey(const Data_t& data) const
{
    if (!sameName(m_message.originatorTxt, MSG_REPLICATOR_NAME) || data.dataDir != INCOMING_DATA)
        return m_message.originatorTxt;
    switch (data.chnType)
    {
    case UDP_CHANNEL:
        return NET_RECEIVER_NAME;
    case TCP_CHANNEL:
        return DATA_STREAM_HDR_NAME;
    case MSG_TOPIC_CHANNEL:
        return MSG_SERVICE_NAME;
    default:
        fwLog(3, "Message received from Message Replicator [%.16s] that originated from channel [%.16s] of type [%d]",
              m_message.originatorTxt, data.channelNameTxt, static_cast<int32>(data.chnType));
        return m_message.originatorTxt;
    }
}

TempBuffer* MsgDispatcher::findTempBuffer(const char* sender, const char* channel, MessageQueueType queueType)
{
    for (auto& buf : m_tempBufs)
    {
        if (buf && buf->queueType == queueType && sameName(buf->senderTxt, sender) &&
            sameName(buf->channelNameTxt, channel))
            return buf.get();
    }
    return nullptr;
}

TempBuffer* MsgDispatcher::getTempBuffer(const char* sender, const char* channel, MessageQueueType queueType,
                                         bool create)
{
    TempBuffer* found = findTempBuffer(sender, channel, queueType);
    if (found != nullptr || !create)
        return found != nullptr ? found : fwFail<TempBuffer*>(RES_NOT_EXIST, nullptr);
    // Reuse an emptied buffer before making one: the key set is small and stable.
    for (auto& buf : m_tempBufs)
    {
        if (buf && buf->lastMsgPartNum < 0)
        {
            copyName(buf->senderTxt, sender);
            copyName(buf->channelNameTxt, channel);
            buf->queueType = queueType;
            return buf.get();
        }
    }
    for (auto& buf : m_tempBufs)
    {
        if (buf)
            continue;
        buf.reset(new (std::nothrow) TempBuffer);
        if (!buf)
            return fwFail<TempBuffer*>(BUF_NOT_ENOUGH_SPACE, nullptr);
        copyName(buf->senderTxt, sender);
        copyName(buf->channelNameTxt, channel);
        buf->queueType = queueType;
        buf->msgLen = 0;
        buf->lastMsgPartNum = -1;
        return buf.get();
    }
    return fwFail<TempBuffer*>(RES_REG_FULL, nullptr);
}

bool MsgDispatcher::appendPart(TempBuffer& buf, const Data_t& data, const char* sender)
{
    const int32 len = static_cast<int32>(data.dataLen);
    if (data.msgPartNum == buf.lastMsgPartNum + 1)
    {
        if (buf.msgLen + len <= TempBuffer::BUF_SIZE)
        {
            std::memcpy(buf.msgBuffer + buf.msgLen, data.buffer, len);
            buf.msgLen += len;
            buf.lastMsgPartNum = data.msgPartNum;
            return true;
        }
        // Another process controls how many parts arrive: never write past the buffer.
        fwLog(4, "Multi-part message from [%.16s] on [%.16s] exceeds [%d] bytes at part#[%d]. Message discarded.",
              sender, buf.channelNameTxt, TempBuffer::BUF_SIZE, data.msgPartNum);
        ++m_discardedPartMsgs;
        buf.msgLen = 0;
        buf.lastMsgPartNum = -1;
        return false;
    }
    fwLog(4,
          "Incomplete multi-part message received from [%.16s], expected part#[%d], received part#[%d]. Incomplete "
          "message discarded.",
          sender, buf.lastMsgPartNum + 1, data.msgPartNum);
    ++m_discardedPartMsgs;
    buf.msgLen = 0;
    buf.lastMsgPartNum = -1;
    if (data.msgPartNum == 0 && data.more)
    {
        std::memcpy(buf.msgBuffer, data.buffer, len);
        buf.msgLen = len;
        buf.lastMsgPartNum = 0;
    }
    return false;
}

void MsgDispatcher::fillData(const FwIntMessage& msg)
{
    const Data_t& d = msg.appMsg.data;
    std::memcpy(m_data.channelNameTxt, d.channelNameTxt, sizeof(ResourceName));
    m_data.resHandlePtr = nullptr;
    m_data.chnType = d.chnType;
    m_data.replicationFlag = d.replicationFlag;
    m_data.msgTopicSeq = d.msgTopicSeq;
    m_data.peerIpAddr = d.peerIpAddr;
    std::memcpy(m_data.peerAppIdTxt, d.peerAppIdTxt, sizeof(ApplicationID));
    m_data.peerAppInstId = d.peerAppInstId;
    // For TCP the field carries the journal flag, not a site.
    m_data.peerAppSiteId = d.chnType == TCP_CHANNEL ? 0 : d.peerAppSiteId;
    m_data.plStageNum = 0;
    m_data.plEntrySize = 0;
    m_data.tm = msg.tm;
    m_data.outTm = msg.outTm;
}

int32 MsgDispatcher::dispatchData(MessageQueueType queueType, TerminationCode& termCode, int32& numMsgProcessed)
{
    if (!m_initReceived)
        return 0;
    Data_t& d = m_message.appMsg.data;
    const char* sender = senderKey(d);
    ResourceName channel;
    std::memcpy(channel, d.channelNameTxt, sizeof(ResourceName));
    channel[sizeof(ResourceName) - 1] = '\0';

    if (d.dataLen > Data_t::MAX_DATA_LEN || d.msgPartNum < 0)
    {
        fwLog(4, "Data part from [%.16s] on [%s] with length [%u] part#[%d] refused. Message discarded.", sender,
              channel, d.dataLen, d.msgPartNum);
        ++m_discardedPartMsgs;
        if (TempBuffer* buf = findTempBuffer(sender, channel, queueType))
        {
            buf->msgLen = 0;
            buf->lastMsgPartNum = -1;
        }
        return 0;
    }

    if (d.more)
    {
        TempBuffer* buf = getTempBuffer(sender, channel, queueType, true);
        if (buf == nullptr)
        {
            fwLog(4, "Unable to create thread buffer for multi-part message for [%.16s], error [%d]", sender,
                  FrameworkErrno::m_fwErrno);
            return -1;
        }
        appendPart(*buf, d, sender);
        return 0;
    }

    fillData(m_message);
    TempBuffer* joined = nullptr;
    if (d.msgPartNum != 0)
    {
        joined = getTempBuffer(sender, channel, queueType, false);
        if (joined == nullptr)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(4, "Failed to locate temp buffer for [%.16s], FwErrno [%d]", sender, code);
            ++m_discardedPartMsgs;
            countMsg(numMsgProcessed);
            return reportResult(code, termCode) != 0 ? -1 : 0;
        }
        if (!appendPart(*joined, d, sender))
        {
            countMsg(numMsgProcessed);
            return 0;
        }
        m_data.bufPtr = joined->msgBuffer;
        m_data.dataLen = joined->msgLen;
    }
    else
    {
        m_data.bufPtr = d.buffer;
        m_data.dataLen = static_cast<int32>(d.dataLen);
    }

    if (d.chnType == TCP_CHANNEL)
    {
        m_resAssistant.prepareHandle(m_resHandle, d.channelNameTxt, TCP_RES,
                                     static_cast<FrameworkResource*>(d.fdPtr));
        m_data.resHandlePtr = &m_resHandle;
    }
    journal(m_data.bufPtr, m_data.dataLen, d.dataDir, d.chnType, d.channelNameTxt, d.peerAppSiteId, d.peerAppIdTxt,
            d.peerIpAddr, m_message.tm);

    const int32 result = callback(MSG_DATA, nullptr, &m_data);
    if (joined != nullptr)
    {
        joined->msgLen = 0;
        joined->lastMsgPartNum = -1;
    }
    countMsg(numMsgProcessed);
    return reportResult(result, termCode) != 0 ? -1 : 0;
}

void MsgDispatcher::prepareEventHandle(EventMsg& evt, void* resPtr, bool fromPipeline)
{
    ResourceType type = INVALID_RES;
    switch (evt.id)
    {
    case NEW_CONNECT:
    case CONNECTED:
    case DISCONNECTED:
        type = TCP_RES;
        break;
    case MCAST_READY_FOR_TRANSMISSION:
        type = UDP_RES;
        break;
    case TOPIC_PUBLISH_ACK:
        type = TOPIC_RES;
        break;
    case TOPIC_LEAVE_PUB_ACK:
    case TOPIC_CONFLICT:
        type = fromPipeline ? INVALID_RES : TOPIC_RES;
        break;
    case IPC_OPENED:
    case IPC_CLOSED:
        type = resPtr != nullptr ? IPC_RES : INVALID_RES;
        break;
    default:
        break;
    }
    if (type == INVALID_RES)
        return;
    m_resAssistant.prepareHandle(m_resHandle, evt.eventParam.resNameTxt, type, static_cast<FrameworkResource*>(resPtr));
    evt.eventParam.resHandlePtr = &m_resHandle;
}

// --- message journal ---

void MsgDispatcher::journal(const char* payload, int32 len, DataDirection dir, ExtChannelType chnType,
                            const ResourceName& channelName, int32 journalFlag, const char* peerAppId,
                            in_addr_t peerIpAddr, const timespec& tm)
{
    // Cheapest checks first: the registry is asked only when a journal is kept.
    if (dir == INTER_THREAD_DATA || m_msgJournalLoggerPtr == nullptr)
        return;
    const bool enabled = chnType == TCP_CHANNEL ? journalFlag == 1 : msgJournalEnabled(channelName, chnType);
    if (!enabled)
        return;
    ResourceName channel;
    std::memcpy(channel, channelName, sizeof(ResourceName));
    channel[sizeof(ResourceName) - 1] = '\0';
    ApplicationID peer;
    std::memcpy(peer, peerAppId, sizeof(ApplicationID));
    peer[sizeof(ApplicationID) - 1] = '\0';
    logMessageJournal(payload, len, dir, chnType, channel, peer, peerIpAddr, tm);
}

bool MsgDispatcher::msgJournalEnabled(const ResourceName& channelName, ExtChannelType chnType)
{
    switch (chnType)
    {
    case UDP_CHANNEL:
    {
        UdpConnResource* res = nullptr;
        return m_resManager.getUdpConnRes(channelName, &res) == 0 && res->regParam.msgJournalEnabled;
    }
    case TCP_CHANNEL:
    {
        TcpConnResource* res = nullptr;
        return m_resManager.getTcpConnRes(channelName, &res, true) == 0 && res->regParam.msgJournalEnabled;
    }
    case MSG_TOPIC_CHANNEL:
    {
        MsgTopicResource* res = nullptr;
        return m_resManager.getMsgTopicRes(channelName, &res) == 0 && res->regParam.msgJournalEnabled;
    }
    case IPC_CHANNEL:
    {
        IpcResource* res = nullptr;
        return m_resManager.getIpcRes(channelName, &res) == 0 && res->regParam.msgJournalEnabled;
    }
    default:
        return false;
    }
}

int32 MsgDispatcher::logMessageJournal(const char* payload, int32 len, DataDirection dir, ExtChannelType chnType,
                                       const char* channelName, const char* peerAppId, in_addr_t peerIpAddr,
                                       const timespec& tm)
{
    return writeJournal(payload, len, dir, chnType, channelName, peerAppId, peerIpAddr, &tm);
}

// --- control thread report ---

int32 MsgDispatcher::sendItcStatus(int32 retCode)
{
    if (retCode == 0 || retCode == m_lastItcRetCode)
        return 0;
    if (m_ctlThdResPtr == nullptr)
        return fwFail(OBJECT_NULL_PTR, -1);
    const std::unique_lock<std::recursive_mutex> lock = lockForLoopSend();
    m_eventParam = EventParam{};
    std::memcpy(m_eventParam.resNameTxt, m_threadResPtr->threadNameTxt, sizeof(ResourceName));
    m_eventParam.paramInt32 = retCode;
    if (sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, ITC_STATUS, m_eventParam, m_msgSeqNum) != 0)
        return -1;
    m_lastItcRetCode = retCode;
    fwLog(5, "ITC_STATUS event sent to Main Control Thread: retCode [%d]", retCode);
    return 0;
}

// --- pipelines ---

int32 MsgDispatcher::processPipelines(TerminationCode& termCode, int32& numMsgProcessed)
{
    termCode = NO_TERMINATION;
    numMsgProcessed = 0;
    const int32 numStages = m_threadResPtr->numOfPipeline < THREAD_PIPELINE_MAX ? m_threadResPtr->numOfPipeline
                                                                                 : THREAD_PIPELINE_MAX;
    if (numStages <= 0)
        return 0;
    auto serve = [&](const PipelineRecord& rec) -> bool {
        TerminationCode stageTerm = NO_TERMINATION;
        if (processPipelineMsg(rec, stageTerm, numMsgProcessed) != 0)
            fwLog(2, "Error [%d] processing messages on pipeline [%.16s] stage [%d].", FrameworkErrno::m_fwErrno,
                  rec.pipelineNameTxt, rec.appPlStageNum);
        if (stageTerm == NO_TERMINATION)
            return true;
        termCode = stageTerm;
        fwLog(4,
              "Application callback function triggered process termination when processing messages on pipeline "
              "[%.16s] stage [%d].",
              rec.pipelineNameTxt, rec.appPlStageNum);
        return false;
    };

    if (m_optMode == CPU_UTILIZATION && !m_pollAllStages && m_numFdEvt <= numStages)
    {
        for (int32 i = 0; i < m_numFdEvt; ++i)
        {
            FileDescriptor* fd = m_fdAryPtr[i];
            if (fd->getDescType() != PL_STAGE_DESC)
                continue;
            const PipelineRecord* rec = nullptr;
            for (int32 k = 0; k < numStages && rec == nullptr; ++k)
            {
                const PipelineRecord& own = m_threadResPtr->pipelineRec[k];
                if (own.pipelinePtr != nullptr && own.pipelinePtr->getStageEventFd(own.appPlStageNum) == fd)
                    rec = &own;
            }
            if (rec == nullptr)
            {
                fwLog(2, "Null pipeline record pointer for descriptor [%d].", fd->getFileDescriptor());
                continue;
            }
            if (!serve(*rec))
                return 0;
        }
        return 0;
    }
    for (int32 i = 0; i < numStages; ++i)
    {
        if (m_threadResPtr->pipelineRec[i].pipelinePtr == nullptr)
            continue;
        if (!serve(m_threadResPtr->pipelineRec[i]))
            return 0;
    }
    return 0;
}

int32 MsgDispatcher::processPipelineMsg(const PipelineRecord& plRec, TerminationCode& termCode,
                                        int32& numMsgProcessed)
{
    termCode = NO_TERMINATION;
    if (!m_initReceived)
        return 0;
    Pipeline* pipeline = plRec.pipelinePtr;
    const uint32 stage = static_cast<uint32>(plRec.appPlStageNum);
    char* payload = nullptr;
    PipelineMsgHeader* hdr = nullptr;
    int32 entrySize = 0;
    if (pipeline->dequeueEntryLock2(stage, payload, hdr, entrySize, PL_TAKE_RETRY_CNT, PL_TAKE_RETRY_INTERVAL) != 0)
    {
        // Nothing for this thread: the stage is empty, or another thread
        // serving it took the entry (or its wake-up count) first.
        const int32 code = FrameworkErrno::m_fwErrno;
        return code == BUFFER_EMPTY || code == TAIL_INDEX_CHANGED || code == WOULD_BLOCK ? 0 : -1;
    }

    int32 result = 0;
    bool delivered = false;
    if (hdr->type == MSG_EVENT && hdr->dataLen >= FwIntMessage::EVENT_COPY_SIZE)
    {
        m_curPlMsgPtr = reinterpret_cast<FwIntMessage*>(payload);
        EventMsg& evt = m_curPlMsgPtr->appMsg.event;
        if (!sameName(m_curPlMsgPtr->recipientTxt, m_threadResPtr->threadNameTxt))
        {
            // Meant for another thread serving this stage: not ours to deliver.
        }
        else if (deliveredFromPipeline(evt.id))
        {
            void* const keptResPtr = evt.eventParam.resPtr;
            evt.eventParam.resHandlePtr = nullptr;
            evt.eventParam.resPtr = nullptr;
            prepareEventHandle(evt, keptResPtr, true);
            result = callback(MSG_EVENT, &evt, nullptr);
            delivered = true;
        }
        else
        {
            fwLog(4, "Unexpected event message [%d] received from pipeline. Ignore and continue.", evt.id);
        }
        m_curPlMsgPtr = nullptr;
    }
    else if (hdr->type == MSG_DATA && static_cast<int64>(hdr->dataLen) <= entrySize)
    {
        std::memcpy(m_data.channelNameTxt, hdr->channelNameTxt, sizeof(ResourceName));
        m_data.resHandlePtr = nullptr;
        m_data.chnType = hdr->chnType;
        m_data.replicationFlag = hdr->replicationFlag;
        m_data.msgTopicSeq = hdr->msgTopicSeq;
        m_data.peerIpAddr = hdr->peerIpAddr;
        std::memcpy(m_data.peerAppIdTxt, hdr->peerAppIdTxt, sizeof(ApplicationID));
        m_data.peerAppInstId = hdr->peerAppInstId;
        m_data.peerAppSiteId = hdr->chnType == TCP_CHANNEL ? 0 : hdr->peerAppSiteId;
        m_data.bufPtr = payload;
        m_data.dataLen = static_cast<int32>(hdr->dataLen);
        m_data.plStageNum = plRec.appPlStageNum;
        m_data.plEntrySize = entrySize;
        m_data.tm = hdr->tm;
        m_data.outTm = hdr->outTm;
        if (hdr->chnType == TCP_CHANNEL)
        {
            m_resAssistant.prepareHandle(m_resHandle, hdr->channelNameTxt, TCP_RES,
                                         static_cast<FrameworkResource*>(hdr->fdPtr));
            m_data.resHandlePtr = &m_resHandle;
        }
        if (plRec.appPlStageNum == 0)
            journal(payload, m_data.dataLen, hdr->dataDir, hdr->chnType, hdr->channelNameTxt, hdr->peerAppSiteId,
                    hdr->peerAppIdTxt, hdr->peerIpAddr, hdr->tm);
        result = callback(MSG_DATA, nullptr, &m_data);
        delivered = true;
    }
    else
    {
        fwLog(4, "Unexpected message type [%d] received from [%.16s] via pipeline. Ignore and continue.",
              static_cast<int32>(hdr->type), hdr->originatorTxt);
    }

    if (pipeline->dequeueEntryRelease2(stage) != 0)
        fwLog(2, "Error [%d] releasing entry of pipeline [%.16s] stage [%d].", FrameworkErrno::m_fwErrno,
              plRec.pipelineNameTxt, plRec.appPlStageNum);
    if (delivered)
        ++numMsgProcessed;
    if (result != 0)
    {
        if (sendItcStatus(result) != 0)
            fwLog(4, "Error [%d] sending ITC_STATUS event to control thread", FrameworkErrno::m_fwErrno);
        applyResult(result, termCode, "Application callback function returned [%d] to trigger process termination.");
    }
    return 0;
}

// --- application timers ---

int32 MsgDispatcher::findTimer(const FileDescriptor* fdPtr) const
{
    for (int32 i = 0; i < m_maxTimers; ++i)
        if (m_timers[i] != nullptr && m_timers[i] == fdPtr)
            return i;
    return -1;
}

int32 MsgDispatcher::findTimerByName(const char* name) const
{
    if (name == nullptr)
        return -1;
    for (int32 i = 0; i < m_maxTimers; ++i)
        if (m_timers[i] != nullptr && sameName(m_timers[i]->getName(), name))
            return i;
    return -1;
}

int32 MsgDispatcher::createTimer(const char* name, int32 milliseconds, bool repetitive)
{
    int64 timerHandle = 0;
    return createTimer(name, milliseconds, repetitive, timerHandle);
}

int32 MsgDispatcher::createTimer(const char* name, int32 milliseconds, bool repetitive, int64& timerHandle)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "createTimer"))
        return -1;
    timerHandle = 0;
    if (milliseconds < 1)
        return fwFail(INVALID_TIMER_INTERVAL, -1);
    const int32 slot = reserveTimerSlot(name);
    if (slot < 0)
        return -1;
    const bool useFd = m_optMode == CPU_UTILIZATION;
    return addTimer(slot, new (std::nothrow) AppTimer(name, milliseconds, repetitive, useFd), timerHandle);
}

int32 MsgDispatcher::createUTimer(const char* name, int64 microseconds, bool repetitive, int64& timerHandle)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "createUTimer"))
        return -1;
    timerHandle = 0;
    if (microseconds < 1)
        return fwFail(INVALID_TIMER_INTERVAL, -1);
    const int32 slot = reserveTimerSlot(name);
    if (slot < 0)
        return -1;
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(microseconds / 1000000);
    setting.it_value.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
    if (repetitive)
        setting.it_interval = setting.it_value;
    const bool useFd = m_optMode == CPU_UTILIZATION;
    return addTimer(slot, new (std::nothrow) AppTimer(name, setting, useFd), timerHandle);
}

int32 MsgDispatcher::reserveTimerSlot(const char* name) const
{
    if (name == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (name[0] == '\0')
        return fwFail(RES_NO_NAME, -1);
    // A longer name would be stored cut and never found again by its whole text.
    if (strnlen(name, sizeof(ResourceName)) >= sizeof(ResourceName))
        return fwFail(RES_NAME_TOO_LONG, -1);
    if (findTimerByName(name) >= 0)
        return fwFail(RES_NAME_EXIST, -1);
    if (m_numTimers >= m_maxTimers)
        return fwFail(NOT_ENOUGH_EMPTY_ENTRY, -1);
    // Timers made before INIT (by its callback) leave the stages their places.
    if (!m_stagesRegistered && m_numTimers + m_stagesToWatch >= m_maxTimers)
        return fwFail(WAIT_OBJECT_LIST_FULL, -1);
    for (int32 i = 0; i < m_maxTimers; ++i)
        if (m_timers[i] == nullptr)
            return i;
    return fwFail(NOT_ENOUGH_EMPTY_ENTRY, -1);
}

int32 MsgDispatcher::addTimer(int32 slot, AppTimer* timer, int64& timerHandle)
{
    if (timer == nullptr)
        return fwFail(BUF_NOT_ENOUGH_SPACE, -1);
    const bool useFd = timer->usesFileDescriptor();
    // Armed before it joins the wait: adding it costs microseconds that would
    // otherwise fall after the interval's start. The wait still sees an
    // expiry that comes before the add (its readiness is checked on add).
    if (timer->start() != 0 || (useFd && m_fdWaitPtr->addFileDesc(timer, IO_WAIT_READ) != 0))
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (useFd)
            m_fdWaitPtr->removeFileDesc(timer);
        delete timer;
        return fwFail(code, -1);
    }
    m_timers[slot] = timer;
    ++m_numTimers;
    timerHandle = reinterpret_cast<int64>(timer);
    return 0;
}

int32 MsgDispatcher::findTimerByHandle(int64 timerHandle) const
{
    if (timerHandle == 0)
        return fwFail(INVALID_TIMER_HANDLE, -1);
    // A handle is only trusted once found among the live timers: a stale one
    // is refused rather than followed.
    for (int32 i = 0; i < m_maxTimers; ++i)
        if (m_timers[i] != nullptr && reinterpret_cast<int64>(m_timers[i]) == timerHandle)
            return i;
    return fwFail(TIMER_NOT_FOUND, -1);
}

int64 MsgDispatcher::getTimerHandle(const char* name) const
{
    const int32 slot = findTimerByName(name);
    return slot < 0 ? 0 : reinterpret_cast<int64>(m_timers[slot]);
}

int32 MsgDispatcher::startTimer(int64 timerHandle)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "startTimer"))
        return -1;
    const int32 slot = findTimerByHandle(timerHandle);
    return slot < 0 ? -1 : m_timers[slot]->start();
}

int32 MsgDispatcher::startTimer(const char* name)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "startTimer"))
        return -1;
    const int32 slot = findTimerByName(name);
    if (slot < 0)
        return fwFail(RES_NOT_EXIST, -1);
    return m_timers[slot]->start();
}

int32 MsgDispatcher::stopTimer(int64 timerHandle)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "stopTimer"))
        return -1;
    const int32 slot = findTimerByHandle(timerHandle);
    return slot < 0 ? -1 : m_timers[slot]->stop();
}

int32 MsgDispatcher::stopTimer(const char* name)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "stopTimer"))
        return -1;
    const int32 slot = findTimerByName(name);
    if (slot < 0)
        return fwFail(RES_NOT_EXIST, -1);
    return m_timers[slot]->stop();
}

int32 MsgDispatcher::removeTimer(const char* name)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "removeTimer"))
        return -1;
    // By name the handle is looked up first: an unknown name is handle 0.
    const int32 slot = findTimerByName(name);
    if (slot < 0)
        return fwFail(INVALID_TIMER_HANDLE, -1);
    return removeTimerAt(slot);
}

int32 MsgDispatcher::removeTimer(int64 timerHandle)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "removeTimer"))
        return -1;
    const int32 slot = findTimerByHandle(timerHandle);
    return slot < 0 ? -1 : removeTimerAt(slot);
}

int32 MsgDispatcher::removeTimerAt(int32 slot)
{
    AppTimer* timer = m_timers[slot];
    timer->stop();
    if (timer->usesFileDescriptor())
        m_fdWaitPtr->removeFileDesc(timer);
    --m_numTimers;
    m_timers[slot] = nullptr;
    if (m_timerWalkDepth > 0)
    {
        // The pass under way may still hold this pointer: free it after. Kept
        // allocated until then, its address cannot come back as a new timer's.
        m_removedTimers.push_back(timer);
        return 0;
    }
    delete timer;
    return 0;
}

void MsgDispatcher::purgeRemovedTimers()
{
    for (AppTimer* timer : m_removedTimers)
        delete timer;
    m_removedTimers.clear();
}

int32 MsgDispatcher::serveAppTimersReady(TerminationCode& termCode)
{
    termCode = NO_TERMINATION;
    ++m_timerWalkDepth;
    for (int32 i = 0; i < m_numFdEvt && termCode == NO_TERMINATION; ++i)
    {
        FileDescriptor* fd = m_fdAryPtr[i];
        if (fd == m_timerPtr.get())
            continue;
        // Only a timer still listed is read: a callback may have removed it.
        const int32 slot = findTimer(fd);
        if (slot < 0)
            continue;
        AppTimer* timer = m_timers[slot];
        const uint64 count = timer->receive();
        if (count == 0)
            continue;
        TerminationCode timerTerm = NO_TERMINATION;
        if (sendTimerEvent(timer, static_cast<int64>(count), timerTerm) != 0)
            fwLog(2, "Error [%d] returned from application after delivering timer event.", FrameworkErrno::m_fwErrno);
        termCode = timerTerm;
    }
    --m_timerWalkDepth;
    if (m_timerWalkDepth == 0)
        purgeRemovedTimers();
    return 0;
}

int32 MsgDispatcher::serveAppTimersAll(TerminationCode& termCode, int32& delivered)
{
    termCode = NO_TERMINATION;
    delivered = 0;
    if (m_numTimers == 0)
        return 0;
    ++m_timerWalkDepth;
    for (int32 i = 0; i < m_maxTimers && termCode == NO_TERMINATION; ++i)
    {
        AppTimer* timer = m_timers[i];
        if (timer == nullptr)
            continue;
        const uint64 count = timer->receive();
        if (count == 0)
            continue;
        ++delivered;
        TerminationCode timerTerm = NO_TERMINATION;
        if (sendTimerEvent(timer, static_cast<int64>(count), timerTerm) != 0)
            fwLog(2, "Error [%d] returned from application after delivering timer event.", FrameworkErrno::m_fwErrno);
        termCode = timerTerm;
    }
    --m_timerWalkDepth;
    if (m_timerWalkDepth == 0)
        purgeRemovedTimers();
    return 0;
}

int32 MsgDispatcher::sendTimerEvent(AppTimer* timerPtr, int64 expiryCnt, TerminationCode& termCode)
{
    termCode = NO_TERMINATION;
    m_tmpEventMsg = EventMsg{};
    m_tmpEventMsg.id = TIMER;
    m_tmpEventMsg.replicationFlag = NOT_REPLICATION_MSG;
    copyName(m_tmpEventMsg.eventParam.resNameTxt, timerPtr->getName());
    m_tmpEventMsg.eventParam.resPtr = timerPtr;
    m_tmpEventMsg.eventParam.paramInt64 = expiryCnt;
    const int32 result = callback(MSG_EVENT, &m_tmpEventMsg, nullptr);
    if (result != 0)
        applyResult(result, termCode,
                    "Application callback function returned [%d] to trigger process termination on processing "
                    "timer event.");
    updateLiveness();
    return sendItcStatus(result);
}

int32 MsgDispatcher::sendThreadMessage(ThreadResource* thdResPtr, ExtChannelType chnType, const char* channelName,
                                       const char* msg, int32 len, bool highPriority, void* fdPtr,
                                       DataDirection dataDir, uint64 applSeqNum, ThreadResource* fwdThdResPtr,
                                       bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendThreadMessage"))
        return -1;
    if (thdResPtr == nullptr || channelName == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (len < 0)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (len > THREAD_MSG_MAX)
        return fwFail(MSG_TOO_LARGE, -1);
    if (len == 0)
        return 0;
    if (msg == nullptr)
        return fwFail(NULL_PARAM, -1);
    FwMessageQueue* queue = thdResPtr->msgQueuePtrArray[highPriority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL];
    if (queue == nullptr)
    {
        fwLog(2, "Error [%d] sending inter thread message to [%s].", RES_NOT_EXIST, thdResPtr->threadNameTxt);
        return fwFail(RES_NOT_EXIST, -1);
    }

    // Only the header fields and the used part of the buffer are written: the
    // queue copies the record, and stale bytes past dataLen are never read.
    FwIntMessage& m = m_tmpMsg;
    std::memcpy(m.recipientTxt, thdResPtr->threadNameTxt, sizeof(ResourceName));
    std::memcpy(m.originatorTxt, m_threadResPtr->threadNameTxt, sizeof(ResourceName));
    clock_gettime(CLOCK_REALTIME, &m.tm);
    m.outTm = timespec{};
    m.appMsg.type = MSG_DATA;
    Data_t& d = m.appMsg.data;
    std::memset(d.channelNameTxt, 0, sizeof(ResourceName));
    std::strncpy(d.channelNameTxt, channelName, sizeof(ResourceName) - 1);
    d.chnType = chnType;
    d.replicationFlag = NOT_REPLICATION_MSG;
    d.fdPtr = fdPtr;
    d.dataDir = dataDir;
    d.applMsgSeq = applSeqNum;
    d.peerIpAddr = 0;
    if (chnType == TCP_CHANNEL && fdPtr != nullptr)
    {
        // The replicator and the journal want to know whom the bytes were for.
        const TcpDataSocket* sock = static_cast<TcpConnResource*>(fdPtr)->dataSockPtr;
        uint32 peerAddr = 0;
        uint16 peerPort = 0;
        if (sock != nullptr && sock->getPeer(peerAddr, peerPort) == 0)
            d.peerIpAddr = peerAddr;
    }
    std::memset(d.peerAppIdTxt, 0, sizeof(d.peerAppIdTxt));
    d.peerAppSiteId = 0;
    d.peerAppInstId = 0;
    d.msgTopicSeq = 0;
    if (thdResPtr == m_msgRepliThdResPtr && m_msgRepliThdResPtr != nullptr && fwdThdResPtr != nullptr)
    {
        // The replicator hands the message on to this thread once replicated.
        d.msgTopicSeq = reinterpret_cast<uint64>(fwdThdResPtr);
        d.peerAppInstId = fwdMsgAtStdby ? 1 : 0;
    }

    int32 offset = 0;
    for (int32 part = 0; offset < len; ++part)
    {
        const int32 n = std::min<int32>(len - offset, static_cast<int32>(Data_t::MAX_DATA_LEN));
        m.msgSeqNum = ++m_msgSeqNum;
        d.msgPartNum = part;
        d.dataLen = static_cast<uint32>(n);
        d.more = offset + n < len;
        std::memcpy(d.buffer, msg + offset, static_cast<size_t>(n));
        if (queue->putMessage(&m) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(2, "Error [%d] sending inter thread message to [%s].", code, thdResPtr->threadNameTxt);
            return fwFail(code, -1);
        }
        offset += n;
    }

    const int64 idleSecs = m_idleThreshold / 1000000000;
    if (m.tm.tv_sec - m_threadResPtr->lastStatusUpdTm.load(std::memory_order_relaxed) > idleSecs)
        m_threadResPtr->lastStatusUpdTm.store(m.tm.tv_sec, std::memory_order_relaxed);
    return 0;
}

int32 MsgDispatcher::sendToAppThread(ThreadResource* thdResPtr, const char* msg, int32 len, bool highPriority,
                                     void* fdPtr, DataDirection dataDir)
{
    if (!thdResPtr->appThread)
    {
        fwLog(4, "Application callback is not allowed to send data message to framework thread [%s]",
              thdResPtr->threadNameTxt);
        return fwFail(FUNC_NOT_ALLOWED, -1);
    }
    return sendThreadMessage(thdResPtr, ITC_CHANNEL, m_threadResPtr->threadNameTxt, msg, len, highPriority, fdPtr,
                             dataDir, 0, nullptr, false);
}

int32 MsgDispatcher::sendThreadMessage(const char* thdName, const char* msg, int32 len, bool highPriority,
                                       void* fdPtr, DataDirection dataDir)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendThreadMessage"))
        return -1;
    if (thdName == nullptr)
        return fwFail(NULL_PARAM, -1);
    const size_t nameLen = strnlen(thdName, sizeof(ResourceName));
    if (nameLen == 0 || nameLen >= sizeof(ResourceName))
        return fwFail(RES_NOT_EXIST, -1);
    ResourceName name{};
    std::memcpy(name, thdName, nameLen);
    ThreadResource* thdResPtr = nullptr;
    if (findThreadRes(name, &thdResPtr) != 0)
        return -1;
    return sendToAppThread(thdResPtr, msg, len, highPriority, fdPtr, dataDir);
}

int32 MsgDispatcher::sendThreadMessage(const ResourceHandle& thdHandle, const char* msg, int32 len,
                                       bool highPriority, void* fdPtr, DataDirection dataDir)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendThreadMessage"))
        return -1;
    if (!m_resAssistant.isValidHandle(THREAD_RES, thdHandle))
        return -1;
    FrameworkResource* res = thdHandle.getResourcePtr();
    ThreadResource* thdResPtr = res != nullptr ? &res->threadRes : nullptr;
    if (thdResPtr == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    return sendToAppThread(thdResPtr, msg, len, highPriority, fdPtr, dataDir);
}

// --- operations: who may call ---

bool MsgDispatcher::admit(std::unique_lock<std::recursive_mutex>& lock, const char* opName)
{
    if (m_middlewareMDPtr.load(std::memory_order_acquire) == this)
    {
        // The application's own threads share this one: one operation at a time.
        lock = std::unique_lock<std::recursive_mutex>(m_middlewareOpLock);
        return true;
    }
    if (m_msgDispatcherPtr == this)
        return true;
    fwLog(4, "Dispatcher of thread [%.16s] is not the calling thread's own: %s refused.",
          m_threadResPtr != nullptr ? m_threadResPtr->threadNameTxt : "", opName);
    return fwFail(FUNC_NOT_ALLOWED, false);
}

std::unique_lock<std::recursive_mutex> MsgDispatcher::lockForLoopSend()
{
    if (!m_sharedWithAppThreads)
        return {};
    return std::unique_lock<std::recursive_mutex>(m_middlewareOpLock);
}

void MsgDispatcher::refreshLiveness(time_t now)
{
    m_threadResPtr->lastStatusUpdTm.store(now, std::memory_order_relaxed);
}

// --- operations: registry look-ups behind the caches ---

namespace
{
// A name as the registry keys it: cut to 16 characters; false for none.
bool toResName(const char* text, ResourceName& name)
{
    if (text == nullptr || text[0] == '\0')
        return false;
    ResourceManager::copyResourceName(name, text);
    return true;
}

const char BLANK_APP_ID[sizeof(ApplicationID)] = {};

bool sendingUdpMode(UdpMode mode)
{
    return mode == P2P_SENDER_MODE || mode == P2P_SENDER_RECEIVER_MODE || mode == MULTICAST_SENDER_MODE ||
           mode == MULTICAST_SENDER_RCVR_MODE;
}

bool outputReplication(ReplicationMode mode)
{
    return mode == OUTPUT_REPLICATION || mode == INPUT_OUTPUT_REPLICATION;
}

void sleepNs(int64 ns)
{
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
    {
    }
}

time_t nowSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// A dotted IPv4 address other than 0.0.0.0.
bool validIpv4(const char* text)
{
    in_addr addr{};
    return text != nullptr && inet_pton(AF_INET, text, &addr) == 1 && addr.s_addr != 0;
}
} // namespace

namespace
{
// A record from the cache, or else from the registry (then cached). The
// registry's lookups differ only in their signature.
template <typename Rec, typename Lookup>
int32 cachedLookup(CacheArray<UInt128>& cache, const UInt128& key, Rec** res, Lookup&& lookup)
{
    void* hit = nullptr;
    if (cache.find(key, &hit) == 0)
    {
        *res = static_cast<Rec*>(hit);
        return 0;
    }
    if (lookup(res) != 0 || *res == nullptr)
        return fwFail(FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : RES_NOT_EXIST, -1);
    cache.add(key, *res);
    return 0;
}
} // namespace

int32 MsgDispatcher::findThreadRes(const ResourceName& name, ThreadResource** res)
{
    return cachedLookup(m_threadResCache, UInt128(name, false), res,
                        [&](ThreadResource** out) { return m_resManager.getThreadRes(name, out); });
}

int32 MsgDispatcher::findTcpConnRes(const ResourceName& name, const UInt128& key, TcpConnResource** res)
{
    void* hit = nullptr;
    // An accepted connection's slot is reused under another name: a hit
    // counts only while the record still carries this name.
    if (m_tcpConnResCache.find(key, &hit) == 0 && loadTcpConnNameKey(*static_cast<TcpConnResource*>(hit)) != key)
        m_tcpConnResCache.remove(key);
    return cachedLookup(m_tcpConnResCache, key, res,
                        [&](TcpConnResource** out) { return m_resManager.getTcpConnRes(name, out, true); });
}

int32 MsgDispatcher::findUdpConnRes(const ResourceName& name, const UInt128& key, UdpConnResource** res)
{
    return cachedLookup(m_udpConnResCache, key, res,
                        [&](UdpConnResource** out) { return m_resManager.getUdpConnRes(name, out); });
}

int32 MsgDispatcher::findMsgTopicRes(const ResourceName& name, const UInt128& key, MsgTopicResource** res)
{
    return cachedLookup(m_msgTopicResCache, key, res,
                        [&](MsgTopicResource** out) { return m_resManager.getMsgTopicRes(name, out); });
}

FrameworkResource* MsgDispatcher::handleResource(ResourceType resType, const ResourceHandle& handle)
{
    if (!m_resAssistant.isValidHandle(resType, handle))
        return nullptr;
    if (handle.getResourcePtr() == nullptr)
        return fwFail(RES_NOT_EXIST, nullptr);
    return handle.getResourcePtr();
}

void MsgDispatcher::journalOutgoing(bool enabled, const char* msg, int32 len, ExtChannelType chnType,
                                    const char* channelName, const char* peerAppId, in_addr_t peerIpAddr)
{
    if (!enabled || m_msgJournalLoggerPtr == nullptr)
        return;
    // The send's own result stands; a journal failure is only logged.
    const int32 savedErrno = FrameworkErrno::m_fwErrno;
    writeJournal(msg, len, OUTGOING_DATA, chnType, channelName, peerAppId, peerIpAddr, nullptr);
    FrameworkErrno::m_fwErrno = savedErrno;
}

bool MsgDispatcher::forwardingThread(const char* fwdThdName, ThreadResource*& fwdThdResPtr)
{
    fwdThdResPtr = nullptr;
    if (fwdThdName == nullptr || fwdThdName[0] == '\0')
        return true;
    ResourceName name;
    toResName(fwdThdName, name);
    if (findThreadRes(name, &fwdThdResPtr) != 0)
    {
        fwLog(4, "Message forwarding thread [%s] does not exist", name);
        return false;
    }
    return true;
}

bool MsgDispatcher::forwardingThread(const ResourceHandle* fwdThdHandle, ThreadResource*& fwdThdResPtr)
{
    fwdThdResPtr = nullptr;
    if (fwdThdHandle == nullptr)
        return true;
    FrameworkResource* res = fwdThdHandle->getResourcePtr();
    if (!m_resAssistant.isValidHandle(THREAD_RES, *fwdThdHandle) || res == nullptr)
    {
        fwLog(4, "Invalid message forwarding thread handle specified.");
        return fwFail(RES_INVALID_HANDLE, false);
    }
    fwdThdResPtr = &res->threadRes;
    return true;
}

// --- operations: message journal of outgoing data ---

int32 MsgDispatcher::writeJournal(const char* payload, int32 len, DataDirection dir, ExtChannelType chnType,
                                  const char* channelName, const char* peerAppId, in_addr_t peerIpAddr,
                                  const timespec* tm)
{
    if (m_msgJournalLoggerPtr == nullptr)
        return fwFail(OBJECT_NULL_PTR, -1);
    if (m_msgJournalLoggerPtr->logMessageFixedLength(5, payload, static_cast<uint32>(len), dir, tm, true, chnType,
                                                     channelName, peerAppId, peerIpAddr) != 0)
    {
        fwLog(4, "Failed to log message to message journal, msgLen [%d], dataDir [%d], error [%d].", len,
              static_cast<int32>(dir), FrameworkErrno::m_fwErrno);
        return -1;
    }
    return 0;
}

// --- operations: TCP ---

int32 MsgDispatcher::sendTcpMessage(TcpConnResource* connRes, const UInt128& connKey, const char* msg, int32 len,
                                    ThreadResource* fwdThdResPtr, bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendTcpMessage"))
        return -1;
    if (connRes == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (len < 0 || (msg == nullptr && len > 0))
        return fwFail(INVALID_FUNC_ARG, -1);
    TcpConnResource& conn = *connRes;
    // The name is copied before the checks: the slot may be reused meanwhile.
    ResourceName name;
    loadTcpConnName(conn, name);
    TcpDataSocket* sock = conn.dataSockPtr;
    if (conn.status.load(std::memory_order_acquire) != RES_CONNECTED || loadTcpConnNameKey(conn) != connKey ||
        sock == nullptr || (sock->getConnStatus() & CONN_STATUS_SEND_SHUT) != 0)
    {
        fwLog(4, "The channel [%s] connection is already closed", name);
        return fwFail(CONN_CLOSED, -1);
    }

    if (outputReplication(conn.regParam.replicationMode))
    {
        if (fwdThdResPtr != nullptr && conn.regParam.channelType == PIPELINE_CHANNEL)
        {
            fwLog(4, "Outgoing unicast channel [%s] message forwarding is not supported when pipeline is used",
                  name);
            return fwFail(INVALID_FUNC_ARG, -1);
        }
        if (conn.congested)
            return fwFail(WOULD_BLOCK, 0);
        if (sendThreadMessage(m_msgRepliThdResPtr, TCP_CHANNEL, name, msg, len,
                              conn.regParam.channelType == PRIORITY_CHANNEL, connRes, OUTGOING_DATA, 0, fwdThdResPtr,
                              fwdMsgAtStdby) != 0)
            return -1;
        return len;
    }
    if (fwdThdResPtr != nullptr)
    {
        fwLog(4,
              "Outgoing unicast channel [%s] message forwarding is not supported when message replication is not "
              "enabled",
              name);
        return fwFail(INVALID_FUNC_ARG, -1);
    }
    if (len == 0)
        return 0;

    const int32 sent = tcpDirectSend(conn, *sock, name, msg, len);
    refreshLiveness(nowSeconds());
    if (sent > 0 && m_msgJournalLoggerPtr != nullptr && conn.regParam.msgJournalEnabled)
    {
        uint32 peerAddr = 0;
        uint16 peerPort = 0;
        if (sock->getPeer(peerAddr, peerPort) != 0)
            peerAddr = 0;
        journalOutgoing(true, msg, sent, TCP_CHANNEL, name, BLANK_APP_ID, peerAddr);
    }
    return sent;
}

int32 MsgDispatcher::tcpDirectSend(TcpConnResource& conn, TcpDataSocket& sock, const ResourceName& connName,
                                   const char* msg, int32 len)
{
    const bool sleepBetween = m_optMode == CPU_UTILIZATION && m_tcpSendSleepInterval > 0;
    int32 sent = 0;
    int32 retries = 0;
    while (sent < len)
    {
        int done = 0;
        if (sock.send(const_cast<char*>(msg) + sent, len - sent, done) == 0)
        {
            sent += done;
            // Without a pause between tries, progress earns the retries back.
            if (done > 0 && !sleepBetween)
                retries = 0;
            continue;
        }
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == WOULD_BLOCK)
        {
            if (++retries > m_tcpSendRetryCount)
                return fwFail(WOULD_BLOCK, sent);
            if (sleepBetween)
                sleepNs(static_cast<int64>(std::min<uint64>(m_tcpSendSleepInterval, INT64_MAX)));
            continue;
        }
        fwLog(4, "Error [%d] sending data via channel [%s] on socket [%d]", code, connName, sock.getFdForLog());
        // Only the network thread shuts a data socket; the stream names the
        // connection, so a request that arrives after a reuse of the record
        // is dropped there. The send's own failure is what the caller gets.
        AppEventParam failed{};
        failed.paramInt32 = code;
        failed.paramInt64 = reinterpret_cast<int64>(loadStreamBuffer(conn));
        if (postRequest(m_netRcvrResPtr, MQUEUE_NORMAL, CONN_SEND_FAILED, connName, &conn, &failed) != 0)
            fwLog(4, "Error [%d] asking the network thread to shut channel [%s] for sending", FrameworkErrno::m_fwErrno,
                  connName);
        return fwFail(code, -1);
    }
    return sent;
}

int32 MsgDispatcher::sendTcpMessage(const ResourceHandle& connHandle, const char* msg, int32 len,
                                    const ResourceHandle* fwdThdHandle, bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendTcpMessage"))
        return -1;
    if (!m_resAssistant.isValidHandle(TCP_RES, connHandle) || connHandle.getResourcePtr() == nullptr)
    {
        ResourceName name;
        ResourceType type = INVALID_RES;
        connHandle.getResourceName(name, type);
        fwLog(4, "The channel [%s] connection is already closed", name);
        return fwFail(CONN_CLOSED, -1);
    }
    ThreadResource* fwd = nullptr;
    if (!forwardingThread(fwdThdHandle, fwd))
        return -1;
    return sendTcpMessage(&connHandle.getResourcePtr()->tcpConnRes, connHandle.getResNameKey(), msg, len, fwd,
                          fwdMsgAtStdby);
}

int32 MsgDispatcher::sendTcpMessage(const char* connName, const char* msg, int32 len, const char* fwdThdName,
                                    bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendTcpMessage"))
        return -1;
    ResourceName name;
    if (!toResName(connName, name))
        return fwFail(NULL_PARAM, -1);
    const UInt128 key(name, false);
    TcpConnResource* conn = nullptr;
    if (findTcpConnRes(name, key, &conn) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(4, "getTcpConnRes(%s) failed, error [%d]", name, code);
        return fwFail(code, -1);
    }
    ThreadResource* fwd = nullptr;
    if (!forwardingThread(fwdThdName, fwd))
        return -1;
    return sendTcpMessage(conn, key, msg, len, fwd, fwdMsgAtStdby);
}

// --- operations: UDP ---

int32 MsgDispatcher::sendUdpMessage(UdpConnResource* connRes, const char* msg, int32 len,
                                    ThreadResource* fwdThdResPtr, bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendUdpMessage"))
        return -1;
    if (connRes == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (len < 0 || (msg == nullptr && len > 0))
        return fwFail(INVALID_FUNC_ARG, -1);
    UdpConnResource& conn = *connRes;
    const char* name = conn.udpConnNameTxt;
    if (!sendingUdpMode(conn.regParam.udpMode))
    {
        fwLog(4, "Invalid UDP mode for channel [%.16s].", name);
        return fwFail(INVALID_UDP_MODE, -1);
    }
    MulticastSocket* sock = loadUdpSocket(conn);
    if (sock == nullptr)
    {
        fwLog(4, "multicastSockPtr is NULL for [%.16s]", name);
        return fwFail(OBJECT_NULL_PTR, -1);
    }
    if (outputReplication(conn.regParam.replicationMode))
    {
        if (fwdThdResPtr != nullptr && conn.regParam.channelType == PIPELINE_CHANNEL)
        {
            fwLog(4, "Outgoing multicast channel [%.16s] message forwarding is not supported when pipeline is used",
                  name);
            return fwFail(INVALID_FUNC_ARG, -1);
        }
        return sendThreadMessage(m_msgRepliThdResPtr, UDP_CHANNEL, name, msg, len,
                                 conn.regParam.channelType == PRIORITY_CHANNEL, connRes, OUTGOING_DATA, 0,
                                 fwdThdResPtr, fwdMsgAtStdby);
    }
    if (fwdThdResPtr != nullptr)
    {
        fwLog(4,
              "Outgoing milticast channel [%.16s] message forwarding is not supported when message replication is "
              "not enabled",
              name);
        return fwFail(INVALID_FUNC_ARG, -1);
    }
    int done = 0;
    const int32 rc = sock->send(const_cast<char*>(msg), len, done);
    refreshLiveness(nowSeconds());
    if (rc != 0)
        return -1;
    if (done != len)
        return fwFail(SEND_FAILED, -1); // a datagram goes whole or not at all
    journalOutgoing(conn.regParam.msgJournalEnabled, msg, len, UDP_CHANNEL, name, BLANK_APP_ID, 0);
    return 0;
}

int32 MsgDispatcher::sendUdpMessage(const ResourceHandle& connHandle, const char* msg, int32 len,
                                    const ResourceHandle* fwdThdHandle, bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendUdpMessage"))
        return -1;
    FrameworkResource* res = handleResource(UDP_RES, connHandle);
    ThreadResource* fwd = nullptr;
    if (res == nullptr || !forwardingThread(fwdThdHandle, fwd))
        return -1;
    return sendUdpMessage(&res->udpConnRes, msg, len, fwd, fwdMsgAtStdby);
}

int32 MsgDispatcher::sendUdpMessage(const char* connName, const char* msg, int32 len, const char* fwdThdName,
                                    bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendUdpMessage"))
        return -1;
    ResourceName name;
    if (!toResName(connName, name))
        return fwFail(NULL_PARAM, -1);
    UdpConnResource* conn = nullptr;
    if (findUdpConnRes(name, UInt128(name, false), &conn) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(4, "getUdpConnRes(%s) failed, error [%d]", name, code);
        return fwFail(code, -1);
    }
    ThreadResource* fwd = nullptr;
    if (!forwardingThread(fwdThdName, fwd))
        return -1;
    return sendUdpMessage(conn, msg, len, fwd, fwdMsgAtStdby);
}

int32 MsgDispatcher::setMcastTtl(const char* connName, uint16 ttl)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "setMcastTtl"))
        return -1;
    ResourceName name;
    if (!toResName(connName, name))
        return fwFail(NULL_PARAM, -1);
    UdpConnResource* conn = nullptr;
    if (findUdpConnRes(name, UInt128(name, false), &conn) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(4, "getUdpConnRes(%s) failed, error [%d]", name, code);
        return fwFail(code, -1);
    }
    MulticastSocket* sock = loadUdpSocket(*conn);
    if (sock == nullptr)
    {
        fwLog(4, "multicastSockPtr is NULL for [%s]", name);
        return fwFail(OBJECT_NULL_PTR, -1);
    }
    return sock->setMcastTtl(ttl);
}

// --- operations: topics ---

int32 MsgDispatcher::sendTopicMessage(MsgTopicResource* topicRes, const char* msg, int32 len, uint64& topicSeq,
                                      uint64 applSeqNum, ThreadResource* fwdThdResPtr, bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendTopicMessage"))
        return -1;
    topicSeq = 0;
    if (topicRes == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (len < 0 || (msg == nullptr && len > 0))
        return fwFail(INVALID_FUNC_ARG, -1);
    MsgTopicResource& topic = *topicRes;
    const char* name = topic.topicNameTxt;
    TopicPublisher* publisher = topic.msgTopicPtr;
    if (publisher == nullptr)
    {
        fwLog(4, "msgTopicPtr is NULL for [%.16s]", name);
        return fwFail(MSL_REC_NOT_FOUND, -1);
    }
    if (outputReplication(topic.regParam.replicationMode))
    {
        if (fwdThdResPtr != nullptr && topic.regParam.channelType == PIPELINE_CHANNEL)
        {
            fwLog(4, "Outgoing topic [%.16s] message forwarding is not supported when pipeline is used", name);
            return fwFail(INVALID_FUNC_ARG, -1);
        }
        if (topic.congested)
            return fwFail(WOULD_BLOCK, -1);
        return sendThreadMessage(m_msgRepliThdResPtr, MSG_TOPIC_CHANNEL, name, msg, len,
                                 topic.regParam.channelType == PRIORITY_CHANNEL, topicRes, OUTGOING_DATA, applSeqNum,
                                 fwdThdResPtr, fwdMsgAtStdby);
    }
    if (fwdThdResPtr != nullptr)
    {
        fwLog(4, "Outgoing topic [%.16s] message forwarding is not supported when message replication is not enabled",
              name);
        return fwFail(INVALID_FUNC_ARG, -1);
    }
    int32 rc = -1;
    for (int32 tries = 1;; ++tries)
    {
        rc = publisher->sendMessage(msg, static_cast<uint32>(len), topicSeq, applSeqNum, false, nullptr, 0, false);
        if (rc == 0 || FrameworkErrno::m_fwErrno != WOULD_BLOCK || tries >= TOPIC_SEND_TRIES)
            break;
        if (m_optMode == CPU_UTILIZATION)
            sleepNs(TOPIC_RETRY_SLEEP_NS);
    }
    refreshLiveness(nowSeconds());
    const int32 code = rc == 0 ? 0 : FrameworkErrno::m_fwErrno;
    // Accepted although nobody subscribes: still part of what was sent.
    const bool accepted = rc == 0 || code == MSL_NO_SUBSCRIBER || code == MSL_NO_DR_SITE_SUBSCRIBER ||
                          code == MSL_NO_MRM_SUBSCRIBER || code == MSL_NO_DR_SITE_MRM_SUBSCRIBER;
    journalOutgoing(accepted && topic.regParam.msgJournalEnabled, msg, len, MSG_TOPIC_CHANNEL, name, BLANK_APP_ID, 0);
    return rc;
}

int32 MsgDispatcher::sendTopicMessage(const ResourceHandle& topicHandle, const char* msg, int32 len, uint64& topicSeq,
                                      uint64 applSeqNum, const ResourceHandle* fwdThdHandle, bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendTopicMessage"))
        return -1;
    topicSeq = 0;
    FrameworkResource* res = handleResource(TOPIC_RES, topicHandle);
    ThreadResource* fwd = nullptr;
    if (res == nullptr || !forwardingThread(fwdThdHandle, fwd))
        return -1;
    return sendTopicMessage(&res->msgTopicRes, msg, len, topicSeq, applSeqNum, fwd, fwdMsgAtStdby);
}

int32 MsgDispatcher::sendTopicMessage(const char* topicName, const char* msg, int32 len, uint64& topicSeq,
                                      uint64 applSeqNum, const char* fwdThdName, bool fwdMsgAtStdby)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendTopicMessage"))
        return -1;
    topicSeq = 0;
    ResourceName name;
    if (!toResName(topicName, name))
        return fwFail(NULL_PARAM, -1);
    MsgTopicResource* topic = nullptr;
    if (findMsgTopicRes(name, UInt128(name, false), &topic) != 0)
    {
        fwLog(4, "msgTopicResPtr is NULL for [%s]", name);
        return fwFail(MSL_REC_NOT_FOUND, -1);
    }
    ThreadResource* fwd = nullptr;
    if (!forwardingThread(fwdThdName, fwd))
        return -1;
    return sendTopicMessage(topic, msg, len, topicSeq, applSeqNum, fwd, fwdMsgAtStdby);
}

int32 MsgDispatcher::sendMrmTopicMessage(MrmCmdType mrmCmd, uint32 mrmSessionId, const char* msg, int32 len,
                                         int32 site, const char* appId, int32 appInstId)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendMrmTopicMessage"))
        return -1;
    MsgTopicResource* topic =
        site == GlobalData::getInst().m_siteId ? m_mrmLocalTopicResPtr : m_mrmCrossSiteTopicResPtr;
    // Recovery is best effort: without an active topic there is nobody to tell.
    if (topic == nullptr || topic->status.load(std::memory_order_acquire) != RES_ACTIVE ||
        topic->msgTopicPtr == nullptr)
        return 0;
    return topic->msgTopicPtr->sendMrmMessage(mrmCmd, mrmSessionId, msg, len, appId, appInstId);
}

// --- operations: IPC ---

int32 MsgDispatcher::sendIpcMessage(IpcResource* ipcRes, const char* msg, int32 len)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendIpcMessage"))
        return -1;
    if (ipcRes == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (len < 0 || (msg == nullptr && len > 0))
        return fwFail(INVALID_FUNC_ARG, -1);
    if (len > THREAD_MSG_MAX)
        return fwFail(MSG_TOO_LARGE, -1);
    IpcResource& ipc = *ipcRes;
    const char* name = ipc.ipcNameTxt;
    IpcShrMemMsgQ* queue = ipc.ipcMsgQPtr;
    if (ipc.status.load(std::memory_order_acquire) != RES_CONNECTED || queue == nullptr)
    {
        fwLog(4, "IPC channel [%.16s] is not open. Error [%d].", name, IPC_NOT_OPEN);
        return fwFail(IPC_NOT_OPEN, -1);
    }
    if (len == 0)
        return 0;
    // All parts or none: a reader never sees the head of a message whose
    // tail could not follow.
    if (queue->getNumFreeEntry() < len / static_cast<int32>(IPC_SHM_MSG_DATA_SIZE) + 1)
    {
        fwLog(2, "Error [%d] sending message to IPC channel [%.16s].", BUFFER_FULL, name);
        return fwFail(BUFFER_FULL, -1);
    }
    IpcShmMsg& m = m_ipcSendMsg;
    m.msgType = IPC_MSG_TYPE_DATA;
    clock_gettime(CLOCK_REALTIME, &m.tm);
    int32 offset = 0;
    for (int32 part = 0; offset < len; ++part)
    {
        const int32 n = std::min<int32>(len - offset, static_cast<int32>(IPC_SHM_MSG_DATA_SIZE));
        m.msgPartNum = part;
        m.dataLen = static_cast<uint32>(n);
        m.more = offset + n < len ? 1 : 0;
        std::memcpy(m.buffer, msg + offset, static_cast<size_t>(n));
        if (queue->enqueue(m, IPC_SEND_TRIES, IPC_SEND_RETRY_US) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(2, "Error [%d] sending message to IPC channel [%.16s].", code, name);
            return fwFail(code, -1);
        }
        offset += n;
    }
    journalOutgoing(ipc.regParam.msgJournalEnabled, msg, len, IPC_CHANNEL, name, ipc.counterpartAppId,
                    static_cast<in_addr_t>(ipc.counterpartPid));
    const int64 idleSecs = m_idleThreshold / 1000000000;
    if (m.tm.tv_sec - m_threadResPtr->lastStatusUpdTm.load(std::memory_order_relaxed) > idleSecs)
        refreshLiveness(m.tm.tv_sec);
    return 0;
}

int32 MsgDispatcher::sendIpcMessage(const ResourceHandle& ipcHandle, const char* msg, int32 len)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendIpcMessage"))
        return -1;
    FrameworkResource* res = handleResource(IPC_RES, ipcHandle);
    return res != nullptr ? sendIpcMessage(&res->ipcRes, msg, len) : -1;
}

int32 MsgDispatcher::sendIpcMessage(const char* ipcName, const char* msg, int32 len)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendIpcMessage"))
        return -1;
    ResourceName name;
    if (!toResName(ipcName, name))
        return fwFail(NULL_PARAM, -1);
    IpcResource* ipc = nullptr;
    if (m_resManager.getIpcRes(name, &ipc) != 0 || ipc == nullptr)
    {
        const int32 code = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : RES_NOT_EXIST;
        fwLog(4, "IPC channel [%s] is not found. Error [%d].", name, code);
        return fwFail(code, -1);
    }
    return sendIpcMessage(ipc, msg, len);
}

// --- operations: requests to the framework threads ---

int32 MsgDispatcher::postRequest(ThreadResource* target, MessageQueueType queueType, FwEventID evtId,
                                 const ResourceName& name, void* resPtr, const AppEventParam* appParam)
{
    if (target == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    m_opEventParam = EventParam{};
    std::memcpy(m_opEventParam.resNameTxt, name, sizeof(ResourceName));
    m_opEventParam.resPtr = resPtr;
    if (appParam != nullptr)
    {
        m_opEventParam.paramInt16 = appParam->paramInt16;
        m_opEventParam.paramInt32 = appParam->paramInt32;
        m_opEventParam.paramInt64 = appParam->paramInt64;
    }
    return sendEventMsg(target, queueType, evtId, m_opEventParam, m_msgSeqNum);
}

int32 MsgDispatcher::sendNetEvent(const char* connName, FwEventID evtId, const AppEventParam* appParam)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendNetEvent"))
        return -1;
    ResourceName name;
    if (!toResName(connName, name))
        return fwFail(NULL_PARAM, -1);
    const UInt128 key(name, false);
    switch (evtId)
    {
    case CONN_RQS:
    case CONN_TERM:
    case CONN_LISTEN:
    case CONN_UPDATED:
    {
        TcpConnResource* conn = nullptr;
        if (findTcpConnRes(name, key, &conn) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(4, "Failed to locate TCP channel [%s]. Error [%d].", name, code);
            return fwFail(code, -1);
        }
        // The record may be reused by an accepted connection meanwhile: its
        // fields are read under the registry's lock, while it has this name.
        TcpMode mode{};
        IntChannelType channelType{};
        if (m_resManager.getTcpConnRoute(conn, key, mode, channelType) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(4, "Failed to locate TCP channel [%s]. Error [%d].", name, code);
            return fwFail(code, -1);
        }
        const bool allowed = evtId == CONN_TERM || (evtId == CONN_LISTEN && mode == TCP_SERVER_LISTEN_MODE) ||
                             ((evtId == CONN_RQS || evtId == CONN_UPDATED) && mode == TCP_CLIENT_DATA_MODE);
        if (!allowed)
        {
            fwLog(4, "Invalid TCP mode for channel [%s]. Error [%d].", name, INVALID_TCP_MODE);
            return fwFail(INVALID_TCP_MODE, -1);
        }
        return postRequest(m_netRcvrResPtr, channelType == PRIORITY_CHANNEL ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL,
                           evtId, name, conn, appParam);
    }
    case MCAST_JOIN:
    case MCAST_LEAVE:
    {
        UdpConnResource* conn = nullptr;
        if (findUdpConnRes(name, key, &conn) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(4, "Failed to locate UDP channel [%s]. Error [%d].", name, code);
            return fwFail(code, -1);
        }
        const UdpMode mode = conn->regParam.udpMode;
        if (mode != MULTICAST_RECEIVER_MODE && mode != MULTICAST_SENDER_RCVR_MODE)
        {
            fwLog(4, "Invalid UDP mode for channel [%s]. Error [%d].", name, INVALID_UDP_MODE);
            return fwFail(INVALID_UDP_MODE, -1);
        }
        return postRequest(m_netRcvrResPtr,
                           conn->regParam.channelType == PRIORITY_CHANNEL ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL,
                           evtId, name, conn, appParam);
    }
    default:
        fwLog(4, "Unexpected event ID [%d] for sendNetEvent. Error [%d].", static_cast<int32>(evtId),
              UNEXPECTED_EVENT);
        return fwFail(UNEXPECTED_EVENT, -1);
    }
}

int32 MsgDispatcher::sendIpcEvent(const char* ipcName, FwEventID evtId, const AppEventParam* appParam)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendIpcEvent"))
        return -1;
    ResourceName name;
    if (!toResName(ipcName, name))
        return fwFail(NULL_PARAM, -1);
    IpcResource* ipc = nullptr;
    if (m_resManager.getIpcRes(name, &ipc) != 0 || ipc == nullptr)
    {
        fwLog(4, "Failed to locate IPC channel [%s]. Error [%d].", name, RES_NOT_EXIST);
        return fwFail(RES_NOT_EXIST, -1);
    }
    if (evtId != IPC_OPEN_RQS && evtId != IPC_CLOSE_RQS)
    {
        fwLog(4, "Unexpected event ID [%d] for sendIpcEvent. Error [%d].", static_cast<int32>(evtId),
              UNEXPECTED_EVENT);
        return fwFail(UNEXPECTED_EVENT, -1);
    }
    return postRequest(m_ipcRcvrResPtr, MQUEUE_NORMAL, evtId, name, ipc, appParam);
}

int32 MsgDispatcher::sendMsgServiceEvent(const char* topicName, FwEventID evtId, const AppEventParam* appParam)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendMsgServiceEvent"))
        return -1;
    ResourceName name;
    if (!toResName(topicName, name))
        return fwFail(NULL_PARAM, -1);
    MsgTopicResource* topic = nullptr;
    if (findMsgTopicRes(name, UInt128(name, false), &topic) != 0)
    {
        fwLog(4, "msgTopicResPtr is NULL for [%s]", name);
        return fwFail(MSL_REC_NOT_FOUND, -1);
    }
    if (topic->recoveryRqsTopic || topic->mrmTopic || topic->replicationTopic)
    {
        fwLog(4, "Application cannot sent event on special topic [%s] to Messaging Service thread.", name);
        return fwFail(FUNC_NOT_ALLOWED, -1);
    }
    const int32 id = static_cast<int32>(evtId);
    const int32 para32 = appParam != nullptr ? appParam->paramInt32 : 0;
    switch (topic->regParam.openType)
    {
    case PUBLISH:
    case SUBSCRIBE:
    {
        const bool pub = topic->regParam.openType == PUBLISH;
        const bool allowed = pub ? (evtId == TOPIC_PUBLISH || evtId == TOPIC_LEAVE_PUB ||
                                    (evtId == TOPIC_SUBSCRIBE && para32 == 1))
                                 : (evtId == TOPIC_SUBSCRIBE || evtId == TOPIC_LEAVE_SUB ||
                                    (evtId == TOPIC_PUBLISH && para32 == 1));
        if (!allowed)
        {
            const char* open = pub ? "PUBLISH" : "SUBSCRIBE";
            if (appParam != nullptr)
                fwLog(4, "Incorrect event type [%d] with para32 [%d] for topic [%s] open in %s. Error [%d].", id,
                      para32, name, open, MSL_INCORRECT_EVENT);
            else
                fwLog(4, "Incorrect event type [%d] for topic [%s] open in %s. Error [%d].", id, name, open,
                      MSL_INCORRECT_EVENT);
            return fwFail(MSL_INCORRECT_EVENT, -1);
        }
        break;
    }
    case APPL_REPLICATE:
    {
        const bool active = GlobalData::getInst().m_appMode.load(std::memory_order_relaxed) == ACTIVE_MODE;
        const bool allowed = active ? (evtId == TOPIC_PUBLISH || evtId == TOPIC_LEAVE_PUB)
                                    : (evtId == TOPIC_SUBSCRIBE || evtId == TOPIC_LEAVE_SUB);
        if (!allowed)
        {
            fwLog(4, "Incorrect event [%d] for topic [%s] open in APPL_REPLICATE. Error [%d].", id, name,
                  MSL_INCORRECT_EVENT);
            return fwFail(MSL_INCORRECT_EVENT, -1);
        }
        break;
    }
    default:
        fwLog(4, "Unexpected event ID [%d] for sendMsgServiceEvent. Error [%d].", id, UNEXPECTED_EVENT);
        return fwFail(UNEXPECTED_EVENT, -1);
    }
    return postRequest(m_msgServiceResPtr,
                       topic->regParam.channelType == PRIORITY_CHANNEL ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL, evtId,
                       name, topic, appParam);
}

int32 MsgDispatcher::notifyEndRecovery()
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "notifyEndRecovery"))
        return -1;
    m_opEventParam = EventParam{};
    if (m_ctlThdResPtr == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    return sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, APP_NOTIFY_END_RECOVERY, m_opEventParam, m_msgSeqNum);
}

int32 MsgDispatcher::sendCtrlThreadTermEvent()
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "sendCtrlThreadTermEvent"))
        return -1;
    if (!m_runAsFwMiddleware)
        return fwFail(FUNC_NOT_ALLOWED, -1);
    // From here on the application's threads find no middleware dispatcher.
    MsgDispatcher* self = this;
    m_middlewareMDPtr.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    fwLog(4, "Send TERM event to CTRL_THREAD to terminate framework in middleware mode");
    if (m_ctlThdResPtr == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    m_opEventParam = EventParam{};
    std::memcpy(m_opEventParam.resNameTxt, m_threadResPtr->threadNameTxt, sizeof(ResourceName));
    return sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, TERM, m_opEventParam, m_msgSeqNum);
}

// --- operations: handles, channel update, status, statistics ---

int32 MsgDispatcher::getResHandleByName(const char* resName, ResourceType resType, ResourceHandle& resHandle)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "getResHandleByName"))
        return -1;
    ResourceName name;
    if (!toResName(resName, name))
        return fwFail(NULL_PARAM, -1);
    const UInt128 key(name, false);
    auto refuse = [&](int32 code, const char* text) {
        fwLog(4, text, name);
        return fwFail(code, -1);
    };
    auto lookupFailed = [&](const char* text) {
        const int32 code = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : RES_NOT_EXIST;
        fwLog(4, text, code, name);
        return fwFail(code, -1);
    };
    FrameworkResource* res = nullptr;
    switch (resType)
    {
    case THREAD_RES:
    {
        ThreadResource* thd = nullptr;
        if (findThreadRes(name, &thd) != 0)
            return lookupFailed("Error [%d] getting the thread resource record [%s].");
        if (thd->status.load(std::memory_order_acquire) != RES_ACTIVE)
            return refuse(RES_NOT_READY, "The thread resource [%s] is not ready.");
        res = asFrameworkResource(thd);
        break;
    }
    case TCP_RES:
    {
        TcpConnResource* conn = nullptr;
        if (findTcpConnRes(name, key, &conn) != 0)
            return lookupFailed("Error [%d] getting the TCP resource record [%s].");
        const TcpMode mode = conn->regParam.tcpMode;
        if (mode != TCP_CLIENT_DATA_MODE && mode != TCP_SERVER_DATA_MODE)
            return refuse(INVALID_TCP_MODE,
                          "The TCP resource [%s] is not set to TCP_CLIENT_DATA_MODE or TCP_SERVER_DATA_MODE.");
        if (conn->status.load(std::memory_order_acquire) != RES_CONNECTED)
            return refuse(RES_NOT_READY, "The TCP resource [%s] is not connected.");
        res = asFrameworkResource(conn);
        break;
    }
    case UDP_RES:
    {
        UdpConnResource* conn = nullptr;
        if (findUdpConnRes(name, key, &conn) != 0)
            return lookupFailed("Error [%d] getting the UDP resource record [%s].");
        const UdpMode mode = conn->regParam.udpMode;
        if (mode != MULTICAST_SENDER_MODE && mode != MULTICAST_SENDER_RCVR_MODE)
            return refuse(INVALID_UDP_MODE,
                          "The UDP resource [%s] is not set to MULTICAST_SENDER_MODE or MULTICAST_SENDER_RCVR_MODE.");
        if (conn->status.load(std::memory_order_acquire) != RES_CONNECTED)
            return refuse(RES_NOT_READY, "The UDP resource [%s] is not ready.");
        res = asFrameworkResource(conn);
        break;
    }
    case IPC_RES:
    {
        IpcResource* ipc = nullptr;
        if (m_resManager.getIpcRes(name, &ipc) != 0 || ipc == nullptr)
            return lookupFailed("Error [%d] getting the IPC resource record [%s].");
        if (ipc->regParam.accessMode != IPC_WRITER_MODE)
            return refuse(RES_IPC_ACCESS_MODE_INVALID, "The IPC resource [%s] is not set to IPC_WRITER_MODE.");
        if (ipc->status.load(std::memory_order_acquire) != RES_CONNECTED)
            return refuse(RES_NOT_READY, "The IPC resource [%s] is not ready.");
        res = asFrameworkResource(ipc);
        break;
    }
    case TOPIC_RES:
    {
        MsgTopicResource* topic = nullptr;
        if (findMsgTopicRes(name, key, &topic) != 0)
            return lookupFailed("Error [%d] getting the topic resource record [%s].");
        const MsgTopicOpenType open = topic->regParam.openType;
        if (open != PUBLISH && open != APPL_REPLICATE)
            return refuse(MSL_INVALID_TOPIC_TYPE, "The topic resource [%s] is not set to PUBLISH or APPL_REPLICATE.");
        if (topic->status.load(std::memory_order_acquire) != RES_ACTIVE)
            return refuse(RES_NOT_READY, "The topic resource [%s] is not ready.");
        if (topic->recoveryRqsTopic || topic->mrmTopic || topic->replicationTopic)
            return refuse(FUNC_NOT_ALLOWED, "Application cannot acquire the resource handle of a special topic [%s].");
        if (open == APPL_REPLICATE &&
            GlobalData::getInst().m_appMode.load(std::memory_order_relaxed) != ACTIVE_MODE)
            return refuse(FUNC_NOT_ALLOWED, "The topic resource [%s] is set to APPL_REPLICATE mode and the "
                                            "application is currently not in ACTIVE_MODE.");
        res = asFrameworkResource(topic);
        break;
    }
    default:
        return fwFail(INVALID_FUNC_ARG, -1);
    }
    m_resAssistant.prepareHandle(resHandle, name, resType, res);
    return 0;
}

int32 MsgDispatcher::updateTcpChannel(const char* connName, const char* remoteAddrTxt, uint16 remotePort)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "updateTcpChannel"))
        return -1;
    ResourceName name{};
    if (connName != nullptr)
        ResourceManager::copyResourceName(name, connName);
    TcpConnResource* conn = nullptr;
    if (name[0] == '\0' || findTcpConnRes(name, UInt128(name, false), &conn) != 0)
    {
        fwLog(4, "The channel [%s] connection not found. Error code [%d].", name, NO_RESOURCE_RECORD);
        return fwFail(NO_RESOURCE_RECORD, -1);
    }
    TcpConnParam& param = conn->regParam;
    if (param.tcpMode != TCP_CLIENT_DATA_MODE)
    {
        fwLog(4,
              "Update TCP Channel [%s] failed because the TCP mode of the channel is not TCP_CLIENT_DATA_MODE. Error "
              "code [%d].",
              name, RES_TCP_MODE_INVALID);
        return fwFail(RES_TCP_MODE_INVALID, -1);
    }
    if (param.connectAtStartup)
    {
        fwLog(4, "Update TCP Channel [%s] failed because connectAtStartup is true. Error code [%d].", name,
              INVALID_CONN_STARTUP_MODE);
        return fwFail(INVALID_CONN_STARTUP_MODE, -1);
    }
    IpAddress original{};
    std::memcpy(original, param.remoteAddrTxt, sizeof(IpAddress));
    original[sizeof(IpAddress) - 1] = '\0';
    // Only a channel registered without a remote address can be pointed somewhere.
    if (validIpv4(original))
    {
        fwLog(4, "Update TCP Channel [%s] is not allowed, original IP [%s] -> new IP [%.15s]", name, original,
              remoteAddrTxt != nullptr ? remoteAddrTxt : "");
        return fwFail(CONN_UPDATE_FAILED, -1);
    }
    if (remoteAddrTxt == nullptr || strnlen(remoteAddrTxt, sizeof(IpAddress)) >= sizeof(IpAddress) ||
        !validIpv4(remoteAddrTxt))
    {
        fwLog(4, "Failed to set Remote IP Address [%.15s] for channel [%s]. Error code [%d].",
              remoteAddrTxt != nullptr ? remoteAddrTxt : "", name, RES_REMOTE_ADDR_INVALID);
        return fwFail(RES_REMOTE_ADDR_INVALID, -1);
    }
    if (remotePort == 65535)
    {
        fwLog(4, "Failed to set Remote Port [%d] for channel [%s]. Error code [%d].", static_cast<int32>(remotePort),
              name, RES_REMOTE_PORT_INVALID);
        return fwFail(RES_REMOTE_PORT_INVALID, -1);
    }
    param.remotePort = remotePort;
    std::memset(param.remoteAddrTxt, 0, sizeof(IpAddress));
    std::memcpy(param.remoteAddrTxt, remoteAddrTxt, strnlen(remoteAddrTxt, sizeof(IpAddress) - 1));
    return sendNetEvent(name, CONN_UPDATED);
}

void MsgDispatcher::setStatusTimerInterval(int32 interval)
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "setStatusTimerInterval"))
        return;
    // The control thread reads the interval while it checks the threads.
    const int32 next = interval < 0 ? 0 : interval;
    const int32 previous =
        std::atomic_ref<int32>(m_threadResPtr->statusCheckInterval).exchange(next, std::memory_order_relaxed);
    fwLog(5, "Application thread health interval is changed from [%d] to [%d].", previous, next);
}

void MsgDispatcher::updateStatusTimestamp()
{
    std::unique_lock<std::recursive_mutex> lock;
    if (!admit(lock, "updateStatusTimestamp"))
        return;
    refreshLiveness(nowSeconds());
    ++m_threadResPtr->healthChkTimerResetCnt;
}

int32 MsgDispatcher::writeStatistic(const StatisticCounter& statCounter)
{
    RingBuffer<StatisticCounter>* ring = GlobalData::getInst().m_statBufPtr;
    if (ring == nullptr)
        return fwFail(STAT_SERVICE_NOT_AVAIL, -1);
    const int32 interval = m_optMode == CPU_UTILIZATION ? STAT_WRITE_RETRY_US : 0;
    if (ring->enqueue(statCounter, nullptr, STAT_WRITE_TRIES, interval) != 0)
        return fwFail(FrameworkErrno::m_fwErrno == BUFFER_FULL ? STAT_BUF_FULL : FrameworkErrno::m_fwErrno, -1);
    return 0;
}

std::mutex& MsgDispatcher::middlewareLock()
{
    static std::mutex lock;
    return lock;
}

const ResourceName& MsgDispatcher::getThreadName() const
{
    static const ResourceName NONE{};
    return m_threadResPtr != nullptr ? m_threadResPtr->threadNameTxt : NONE;
}
