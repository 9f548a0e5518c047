#include "FendralCore/control/CtlThdBaseState.h"

#include "FendralCore/control/ThreadManager.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/SemaphoreLock.h"
#include "FendralCore/foundation/SignalDescriptor.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/runtime/AgentSharedMemory.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

thread_local uint32 CtlThdBaseState::m_msgSeqNum = 0;

void CtlEventSender::setDescTxt(const char* text, size_t length)
{
    EventDesc& desc = m_evtMsgPtr->appMsg.event.descTxt;
    std::memset(desc, 0, sizeof(desc));
    if (text != nullptr)
        std::memcpy(desc, text, std::min(length, sizeof(desc) - 1));
}

namespace
{
bool isNamed(const ResourceName& name, const char* text)
{
    return std::strncmp(name, text, sizeof(ResourceName)) == 0;
}
} // namespace

CtlThdBaseState::CtlThdBaseState()
    : m_resMgr(ResourceManager::getInst()), m_thdMgr(ThreadManager::getInst()), m_gblData(GlobalData::getInst())
{
    if (m_loggerPtr == nullptr)
        m_loggerPtr = m_gblData.getLogger();
    if (m_configMgrPtr == nullptr)
        m_configMgrPtr = m_gblData.getConfigManager();
}

void CtlThdBaseState::setState(State state, const char* gotoText)
{
    m_state = state;
    if (gotoText != nullptr)
        fwLog(LOG_LEVEL_DEBUG, "%s", gotoText);
}

int32 CtlThdBaseState::statusOfMode(int32 mode)
{
    switch (mode)
    {
    case ACTIVE_MODE:
        return ACTIVE;
    case STANDBY_MODE:
        return STANDBY;
    case RECOVERY_MODE:
        return RECOVERY;
    default:
        return NOT_STARTED;
    }
}

void CtlThdBaseState::writeReportTime()
{
    if (m_appShmPtr != nullptr)
        m_appShmPtr->statBuf.statusRec.reportTime = static_cast<int64>(::time(nullptr));
}

void CtlThdBaseState::writeAppStatus(int32 status, int32 lockWait)
{
    if (m_appShmPtr == nullptr)
        return;
    SemaphoreLock* lock = m_agentShmPtr != nullptr ? m_agentShmPtr->getAppShmLockPtr() : nullptr;
    const bool locked = lock != nullptr && lock->lock(lockWait) == 0;
    if (lock != nullptr && !locked)
    {
        if (FrameworkErrno::m_fwErrno == LOCK_TIMEOUT)
            fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for the application resource lock.");
        else
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
    }
    m_appShmPtr->statBuf.statusRec.reportTime = static_cast<int64>(::time(nullptr));
    m_appShmPtr->statBuf.statusRec.status = status;
    if (locked)
        lock->unlock();
}

int32 CtlThdBaseState::sendEventMsg(ThreadResource* thread, MessageQueueType queueType, FwEventID eventId,
                                    const EventParam& param)
{
    if (m_evtSenderPtr == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, -1);
    // The sender retries a full queue SEND_RETRY_CNT times itself.
    return m_evtSenderPtr->sendEventMsg(thread, queueType, eventId, param, m_msgSeqNum);
}

int32 CtlThdBaseState::sendEventMsg(const char* thread, MessageQueueType queueType, FwEventID eventId,
                                    const EventParam& param)
{
    ResourceName name{};
    ResourceManager::copyResourceName(name, thread);
    ThreadResource* res = nullptr;
    if (m_resMgr.getThreadRes(name, &res) != 0)
        return -1;
    return sendEventMsg(res, queueType, eventId, param);
}

int32 CtlThdBaseState::postEventToChildThreads(FwEventID evt, const EventParam& param, MessageQueueType queueType,
                                              bool appThreadOnly)
{
    m_numEvtPosted = 0;
    int32 size = 0;
    if (m_resMgr.getThreadResSize(size) != 0 || size == 0)
        return 0;
    bool locked = false;
    while (!locked)
    {
        if (m_resMgr.lockThreadRes(RES_LOCK_WAIT) == 0)
            locked = true;
        else if (FrameworkErrno::m_fwErrno == LOCK_TIMEOUT)
        {
            fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for the resource lock, proceed anyway.");
            break;
        }
        else
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "Failed [%d] to acquire the thread resource lock. Sleep for 1 second and retry.",
                  FrameworkErrno::m_fwErrno);
            ::sleep(1);
        }
    }
    ResourceName name{};
    ThreadResource* res = nullptr;
    int32 walk = m_resMgr.getThreadFirstRes(name, &res);
    while (walk == 0)
    {
        if (!isNamed(res->threadNameTxt, "CTL_THREAD") && res->status.load() == RES_ACTIVE &&
            res->msgQueuePtrArray[queueType] != nullptr && (!appThreadOnly || res->appThread) &&
            sendEventMsg(res, queueType, evt, param) == 0)
            ++m_numEvtPosted;
        walk = m_resMgr.getThreadNextRes(name, &res);
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    if (locked)
        m_resMgr.unlockThreadRes();
    return code == RES_NEXT_END ? 0 : fwFail(code, -1);
}

int32 CtlThdBaseState::postAndAwait(FwEventID evt, const EventParam& param, MessageQueueType queueType)
{
    m_numAckRcvd = 0;
    m_ackWaitStartNs = MonoClock::nowNs();
    return postEventToChildThreads(evt, param, queueType, false);
}

bool CtlThdBaseState::ackTimedOut(const char* timeoutText)
{
    const int64 elapsedMs = (MonoClock::nowNs() - m_ackWaitStartNs) / 1000000;
    if (elapsedMs <= m_evtTmoutInterval)
        return false;
    fwLog(LOG_LEVEL_NOTICE, timeoutText, m_numAckRcvd, m_numEvtPosted, static_cast<long>(elapsedMs));
    return true;
}

int32 CtlThdBaseState::drainForAcks(FwMessageQueue* queue, FwEventID ackId, bool count, const char* timeoutText)
{
    FwIntMessage msg;
    bool more = true;
    while (more)
    {
        if (queue->getMessage(&msg, more) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (ackTimedOut(timeoutText))
                return fwFail(MSG_TIMEOUT, -1);
            if (code == BUFFER_EMPTY || code == TAIL_INDEX_CHANGED || code == LOCK_FAILED)
                return 0;
            return fwFail(code, -1);
        }
        if (count && msg.appMsg.type == MSG_EVENT && msg.appMsg.event.id == ackId)
        {
            ++m_numAckRcvd;
            continue;
        }
        // A thread that asks for the end meanwhile (the messaging service
        // finding this instance behind its standby) is heard after the wait.
        if (msg.appMsg.type == MSG_EVENT && msg.appMsg.event.id == TERM && !m_termDeferred)
        {
            m_deferredTerm = msg;
            m_termDeferred = true;
            fwLog(LOG_LEVEL_NOTICE, "TERM from [%.16s] received while waiting for acknowledgements. Act on it once "
                                    "the wait ends.",
                  msg.originatorTxt);
        }
        if (count && ackTimedOut(timeoutText))
            return fwFail(MSG_TIMEOUT, -1);
    }
    return 0;
}

bool CtlThdBaseState::honoursTerm(const FwIntMessage& msg) const
{
    static constexpr const char* FRAMEWORK_THREADS[] = {"NET_RECEIVER", "DATA_STREAM_HDR", "MSG_REPLICATOR",
                                                        "LOGGER",       "MSG_SERVICE",     "IPC_RECEIVER"};
    if (m_gblData.m_runAsFwMiddleware || m_gblData.m_allowAppTriggeredTerm)
        return true;
    for (const char* name : FRAMEWORK_THREADS)
        if (std::strncmp(msg.originatorTxt, name, sizeof(ResourceName)) == 0)
            return true;
    return false;
}

bool CtlThdBaseState::actOnDeferredTerm()
{
    if (!m_termDeferred)
        return false;
    m_termDeferred = false;
    if (m_state == STOP_STATE || !honoursTerm(m_deferredTerm))
        return false;
    fwLog(LOG_LEVEL_CRITICAL, "Received TERM event from [%.16s]. Terminate the application.",
          m_deferredTerm.originatorTxt);
    terminateChildThreads();
    return true;
}

int32 CtlThdBaseState::waitForAcks(FwEventID ackId, const char* timeoutText, bool& allIn)
{
    allIn = m_numAckRcvd >= m_numEvtPosted;
    const State waitingIn = m_state;
    while (!allIn)
    {
        const int32 n = m_fdWaitPtr->wait(m_fdAryPtr, NUM_OF_DESC, -1);
        bool sig = false, timer = false, high = false, normal = false;
        for (int32 i = 0; i < n; ++i)
        {
            sig |= m_fdAryPtr[i] == m_sigDescPtr;
            timer |= m_fdAryPtr[i] == m_timerPtr;
            high |= m_fdAryPtr[i] == m_msgQueuePtr[MQUEUE_HIGH_PRIORITY];
            normal |= m_fdAryPtr[i] == m_msgQueuePtr[MQUEUE_NORMAL];
        }
        if (sig)
        {
            fwLog(LOG_LEVEL_DEBUG, "Signal received.");
            if (processSignal() != 0)
                return -1;
            if (m_state == STOP_STATE)
                return 0;
        }
        if (timer)
        {
            char expiry[8];
            int done = 0;
            if (m_timerPtr->receive(expiry, sizeof(expiry), done) != 0 && FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                return -1;
            writeReportTime();
            if (ackTimedOut(timeoutText))
                return fwFail(MSG_TIMEOUT, -1);
        }
        // The health-check timer wakes this wait often enough to see it.
        if (stopIfStartAbandoned())
            return 0;
        if (high && drainForAcks(m_msgQueuePtr[MQUEUE_HIGH_PRIORITY], ackId, true, timeoutText) != 0)
            return -1;
        if (normal && drainForAcks(m_msgQueuePtr[MQUEUE_NORMAL], ackId, false, timeoutText) != 0)
            return -1;
        allIn = m_numAckRcvd >= m_numEvtPosted;
    }
    (void)waitingIn;
    return 0;
}

int32 CtlThdBaseState::sendConnInit(bool skipInactive)
{
    static constexpr const char* ORDER[] = {"MSG_REPLICATOR", "DATA_STREAM_HDR", "NET_RECEIVER", "MSG_SERVICE",
                                            "IPC_RECEIVER"};
    EventParam empty{};
    for (const char* name : ORDER)
    {
        if (sendEventMsg(name, MQUEUE_HIGH_PRIORITY, CONN_INIT, empty) == 0)
            continue;
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == RES_NOT_EXIST || (skipInactive && code == THREAD_NOT_ACTIVE))
            continue;
        return -1;
    }
    return 0;
}

EventParam CtlThdBaseState::switchParam(int64 repliTopicSeq) const
{
    EventParam param{};
    param.paramInt16 = static_cast<int16>(m_gblData.m_siteId);
    param.paramInt32 = m_gblData.m_appInstId;
    param.paramInt64 = repliTopicSeq;
    return param;
}

int32 CtlThdBaseState::awaitSwitch(FwEventID ackId, const char* timeoutText, bool& proceed)
{
    proceed = false;
    const State switching = m_state;
    if (m_numEvtPosted < 1)
    {
        proceed = true;
        return 0;
    }
    bool allIn = false;
    const int32 result = waitForAcks(ackId, timeoutText, allIn);
    // Told to end meanwhile: the switch is not completed, nor reported.
    if (actOnDeferredTerm() || m_state == STOP_STATE)
        return result;
    if (result != 0)
    {
        // The mode stays as it was; the machine goes back to waiting.
        if (m_state == switching)
            setState(WAIT_STATE, "Goto Wait State.");
        return result;
    }
    proceed = true;
    return 0;
}

void CtlThdBaseState::finishSwitch(int32 status, State switching)
{
    writeAppStatus(status, APP_LOCK_WAIT);
    if (m_state == switching)
        setState(WAIT_STATE, "Goto Wait State.");
    else
        fwLog(LOG_LEVEL_DEBUG, "Goto [%d] State.", m_state);
}

int32 CtlThdBaseState::switchToActiveMode(int64 repliTopicSeq, MessageQueueType queueType)
{
    int32 tcp = 0, udp = 0, topics = 0, ipc = 0;
    m_resMgr.getTcpConnResSize(tcp);
    m_resMgr.getUdpConnResSize(udp);
    m_resMgr.getMsgTopicResSize(topics);
    m_resMgr.getIpcResSize(ipc);
    const struct
    {
        bool wanted;
        const char* name;
    } starts[] = {{tcp > 0 || udp > 0, "NET_RECEIVER"},
                  {tcp > 0, "DATA_STREAM_HDR"},
                  {topics > 0, "MSG_SERVICE"},
                  {ipc > 0, "IPC_RECEIVER"}};
    for (const auto& start : starts)
    {
        if (!start.wanted)
            continue;
        ResourceName name{};
        ResourceManager::copyResourceName(name, start.name);
        if (m_thdMgr.startThread(name) != 0)
            return -1;
    }
    const int32 result = postAndAwait(SW_ACTIVE, switchParam(repliTopicSeq), queueType);
    setState(ACTIVE_MODE_SWITCHING_STATE, "Goto Active Mode Switching State.");
    return result;
}

int32 CtlThdBaseState::switchToStandbyMode(int64 repliTopicSeq, MessageQueueType queueType)
{
    const int32 result = postAndAwait(SW_STANDBY, switchParam(repliTopicSeq), queueType);
    setState(STANDBY_MODE_SWITCHING_STATE, "Goto Standby Mode Switching State.");
    return result;
}

bool CtlThdBaseState::stopIfStartAbandoned()
{
    if (!m_gblData.m_runAsFwMiddleware || m_state == STOP_STATE)
        return false;
    const int32 code = m_gblData.m_fwStatusInfo.stopRequest.load(std::memory_order_acquire);
    if (code == 0)
        return false;
    fwLog(LOG_LEVEL_CRITICAL, "The framework start was given up with error [%d]. Stop all threads.", code);
    m_startFailCode = code;
    m_termType = UNEXPECTED_TERMINATION;
    terminateChildThreads();
    return true;
}

int32 CtlThdBaseState::terminateChildThreads()
{
    // The framework threads stop whatever the application threads did: the
    // process's end must not leave them running past main.
    const int32 apps = m_thdMgr.stopAppThreads(true);
    const int32 appCode = FrameworkErrno::m_fwErrno;
    if (apps != 0)
        fwLog(LOG_LEVEL_CRITICAL, "An application thread would not end (error [%d]). Stopping the framework threads "
                                  "regardless.",
              appCode);
    const int32 fws = m_thdMgr.stopFwThreads(true);
    if (apps != 0)
        FrameworkErrno::m_fwErrno = appCode;
    setState(STOP_STATE, "Goto Stop State.");
    return apps != 0 || fws != 0 ? -1 : 0;
}

void CtlThdBaseState::handleSigChld()
{
    static constexpr const char* STOP_TEXT =
        "Received SIGCHLD from one of its threads. Terminate all remaining threads and transit to Stop state.";
    if (m_thdMgr.checkThreadTerminate())
    {
        fwLog(LOG_LEVEL_CRITICAL, "%s", STOP_TEXT);
        terminateChildThreads();
        return;
    }
    if (static_cast<pid_t>(m_fdsi.ssi_pid) != ::getpid())
    {
        fwLog(LOG_LEVEL_NOTICE, "Received SIGCHLD originated from a child process. Ignore and continue.");
        return;
    }
    for (int32 retry = 0; retry < 2; ++retry)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Received SIGCHLD from one of its threads but none has terminated. Wait 1 second and retry!");
        ::sleep(1);
        if (m_thdMgr.checkThreadTerminate())
        {
            fwLog(LOG_LEVEL_CRITICAL, "%s", STOP_TEXT);
            terminateChildThreads();
            return;
        }
    }
    fwLog(LOG_LEVEL_NOTICE, "Received SIGCHLD from one of its threads but none has declared terminated. It will be "
                            "handled when the health check timer expires.");
}

int32 CtlThdBaseState::processSignal()
{
    char buf[SignalDescriptor::SIGNAL_RECORD_SIZE];
    int done = 0;
    if (m_sigDescPtr == nullptr || m_sigDescPtr->receive(buf, sizeof(buf), done) != 0)
        return -1;
    std::memcpy(&m_fdsi, buf, sizeof(m_fdsi));
    switch (m_fdsi.ssi_signo)
    {
    case SIGINT:
        if (m_terminateOnSigInt)
        {
            fwLog(LOG_LEVEL_NOTICE, "Received SIGINT. Transit to Stop state.");
            return terminateChildThreads();
        }
        fwLog(LOG_LEVEL_NOTICE, "Received SIGINT. Ignore and continue.");
        return 0;
    case SIGUSR1:
        fwLog(LOG_LEVEL_INFO, "Received SIGUSR1. Transit to Command Processing state.");
        setState(CMD_PROCESS_STATE, "Goto Command Processing State.");
        return 0;
    case SIGTERM:
        fwLog(LOG_LEVEL_NOTICE, "Received SIGTERM. Transit to Stop state.");
        return terminateChildThreads();
    case SIGCHLD:
        handleSigChld();
        return 0;
    default:
        fwLog(LOG_LEVEL_INFO, "Signal [%d] received and ignored.", static_cast<int>(m_fdsi.ssi_signo));
        return 0;
    }
}
