#include "FendralCore/control/CtlThdStates.h"

#include "FendralCore/control/ThreadManager.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/SemaphoreLock.h"
#include "FendralCore/foundation/SignalDescriptor.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/runtime/AgentSharedMemory.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/RingBuffer.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace
{
bool isNamed(const ResourceName& name, const char* text)
{
    return std::strncmp(name, text, sizeof(ResourceName)) == 0;
}

bool isOneOf(const ResourceName& name, std::initializer_list<const char*> names)
{
    for (const char* text : names)
        if (isNamed(name, text))
            return true;
    return false;
}

int32 readPositive(const ConfigManager* config, const char* label, int32 defaultValue)
{
    return config == nullptr ? defaultValue : FwConfigKeys::readPositiveInt32(*config, label, defaultValue);
}

// Which descriptors of the control thread are ready.
struct Ready
{
    bool sig = false, timer = false, high = false, normal = false;
};

// The waits of the states serve the same four descriptors.
Ready classify(FileDescriptor* const* fds, int32 n, const FileDescriptor* sig, const FileDescriptor* timer,
               FwMessageQueue* const* queues)
{
    Ready ready;
    for (int32 i = 0; i < n; ++i)
    {
        ready.sig |= fds[i] == sig;
        ready.timer |= fds[i] == timer;
        ready.high |= fds[i] == queues[MQUEUE_HIGH_PRIORITY];
        ready.normal |= fds[i] == queues[MQUEUE_NORMAL];
    }
    return ready;
}
} // namespace

// --- Starting ---

int32 StartingState::waitForEvent()
{
    // Nobody to wait for: the start completes at once, so the machine goes on
    // to wait on its descriptors instead of coming back here in a spin.
    if (m_numEvtPosted >= 1)
    {
        bool allIn = false;
        const int32 result =
            waitForAcks(INIT_ACK, "[%d] out of [%d] INIT_ACK received [%ld] milliseconds after INIT was sent.", allIn);
        if (actOnDeferredTerm() || m_state == STOP_STATE)
            return result;
        if (result != 0)
        {
            if (FrameworkErrno::m_fwErrno != MSG_TIMEOUT)
                return result;
            // A thread that never answers INIT fails the start: nothing may
            // keep running and the agent must not see a running process.
            fwLog(LOG_LEVEL_CRITICAL, "Start-up failed: not every thread answered INIT within [%d] milliseconds. "
                                      "Stop all threads.",
                  m_evtTmoutInterval);
            m_startFailCode = MSG_TIMEOUT;
            m_termType = UNEXPECTED_TERMINATION;
            terminateChildThreads();
            return fwFail(MSG_TIMEOUT, -1);
        }
        if (!allIn)
            return 0;
    }
    writeAppStatus(statusOfMode(m_gblData.m_appMode.load()), APP_LOCK_WAIT);
    m_tmpPara = EventParam{};
    if (postEventToChildThreads(APP_READY, m_tmpPara, MQUEUE_HIGH_PRIORITY, false) != 0)
        return -1;
    return initCommChannel();
}

int32 StartingState::initCommChannel()
{
    int32 result = 0;
    const int32 mode = m_gblData.m_appMode.load();
    if (mode == ACTIVE_MODE)
        result = sendConnInit(false);
    else if (mode == STANDBY_MODE)
        result = sendConnInit(true);
    else if (mode == RECOVERY_MODE)
    {
        result = sendConnInit(true);
        ResourceName name{};
        ResourceManager::copyResourceName(name, "MSG_SERVICE");
        ThreadResource* msgService = nullptr;
        const bool served = m_resMgr.getThreadRes(name, &msgService) == 0 && msgService->status.load() == RES_ACTIVE;
        if (result == 0 && !served)
        {
            if (m_gblData.m_appInstId < APPL_ALL_ACTIVE_BASE_INST_ID)
            {
                fwLog(LOG_LEVEL_INFO, "The application is currently in RECOVERY_MODE and Messaging Service is not in "
                                      "use. Proceed switching to STANDBY_MODE.");
                result = switchToStandbyMode(0, MQUEUE_HIGH_PRIORITY);
            }
            else
            {
                fwLog(LOG_LEVEL_INFO,
                      "The application is currently in RECOVERY_MODE and Messaging Service is not in use and the "
                      "application instance ID is >= APPL_ALL_ACTIVE_BASE_INST_ID. Proceed switching to ACTIVE_MODE.");
                result = switchToActiveMode(0, MQUEUE_HIGH_PRIORITY);
            }
        }
    }
    else
        result = fwFail(INVALID_MODE, -1);
    if (m_state == STARTING_STATE)
        setState(WAIT_STATE, "Goto Wait State.");
    else
        fwLog(LOG_LEVEL_DEBUG, "Goto [%d] State.", m_state);
    return result;
}

// --- Wait ---

WaitState::WaitState()
    : m_failoverTimeoutThreshold(readPositive(m_configMgrPtr, FwConfigKeys::FAILOVER_TIMEOUT_THRESHOLD_LABEL,
                                              FwConfigKeys::DEFAULT_FAILOVER_TIMEOUT_THRESHOLD))
{
}

int32 WaitState::waitForEvent()
{
    if (m_outstandingCmd > 0)
    {
        m_state = CMD_PROCESS_STATE;
        return 0;
    }
    const int32 n = m_fdWaitPtr->wait(m_fdAryPtr, NUM_OF_DESC, -1);
    if (n <= 0)
        return 0;
    const Ready ready = classify(m_fdAryPtr, n, m_sigDescPtr, m_timerPtr, m_msgQueuePtr);
    if (ready.sig && processSignal() != 0)
        return -1;
    if (m_state == WAIT_STATE && ready.timer && checkStatus() != 0)
        return -1;
    if (m_state == WAIT_STATE && ready.high && processMessage(m_msgQueuePtr[MQUEUE_HIGH_PRIORITY]) != 0)
        return -1;
    if (m_state == WAIT_STATE && ready.normal && processMessage(m_msgQueuePtr[MQUEUE_NORMAL]) != 0)
        return -1;
    return 0;
}

void WaitState::checkThreads(time_t now)
{
    static time_t lastResetReport = 0;
    const bool locked = m_resMgr.lockThreadRes(RES_LOCK_WAIT) == 0;
    ResourceName name{};
    ThreadResource* res = nullptr;
    int32 walk = m_resMgr.getThreadFirstRes(name, &res);
    while (walk == 0 && !m_stop)
    {
        // Each thread may change its own interval meanwhile.
        const int32 interval = std::atomic_ref<int32>(res->statusCheckInterval).load(std::memory_order_relaxed);
        if (!isNamed(res->threadNameTxt, "CTL_THREAD") && interval > 0)
        {
            const ResourceStatus status = res->status.load();
            if (status == RES_ACTIVE)
            {
                const int64 d = static_cast<int64>(now) - res->lastStatusUpdTm.load();
                if (d > interval)
                {
                    m_stop = true;
                    fwLog(LOG_LEVEL_ERROR, "Thread [%.16s] does not update its status over [%d] seconds.",
                          res->threadNameTxt, interval);
                }
                else if (d < 0)
                    fwLog(LOG_LEVEL_DEBUG,
                          "Thread [%.16s] has the status update time [%d] seconds later than the current time.",
                          res->threadNameTxt, static_cast<int32>(-d));
                else if (res->healthChkTimerResetCnt >= 1 && now % 10 == 0 && lastResetReport != now)
                {
                    fwLog(LOG_LEVEL_INFO, "Number of health check timer reset on thread [%.16s] in last 10 seconds: [%d].",
                          res->threadNameTxt, res->healthChkTimerResetCnt);
                    res->healthChkTimerResetCnt = 0;
                    lastResetReport = now;
                }
            }
            else if (status == RES_TERMINATED)
            {
                m_stop = true;
                fwLog(LOG_LEVEL_ERROR, "Thread [%.16s] has been stopped.", res->threadNameTxt);
            }
        }
        walk = m_resMgr.getThreadNextRes(name, &res);
    }
    if (locked)
        m_resMgr.unlockThreadRes();
}

int32 WaitState::checkStatus()
{
    char expiry[8];
    int done = 0;
    if (m_timerPtr->receive(expiry, sizeof(expiry), done) != 0 && FrameworkErrno::m_fwErrno != WOULD_BLOCK)
        return -1;
    const int64 nowNs = MonoClock::nowNs();
    if (m_failoverCmdRcvd &&
        (nowNs - m_failoverCmdRcvNs) / MonoClock::NSEC_PER_SEC > m_failoverTimeoutThreshold)
    {
        fwLog(LOG_LEVEL_CRITICAL, "CMD_FAILOVER has been received over [%d] seconds and the framework is not ready to "
                                  "switch to Active mode. Discard CMD_FAILOVER and continue.",
              m_failoverTimeoutThreshold);
        m_failoverCmdRcvd = false;
    }
    if (!m_stop)
        checkThreads(::time(nullptr));
    if ((nowNs - m_prevFlushLogNs) / MonoClock::NSEC_PER_SEC > m_flushLogInterval)
    {
        m_prevFlushLogNs = nowNs;
        if (m_loggerPtr != nullptr)
            m_loggerPtr->flushData();
    }
    setState(HEALTH_CHECK_STATE, "Goto Health Check State.");
    return 0;
}

int32 WaitState::handleEvent(const FwIntMessage& msg)
{
    const EventMsg& evt = msg.appMsg.event;
    const EventParam& p = evt.eventParam;
    fwLog(LOG_LEVEL_DEBUG, "Received event [%d] from [%.16s]. Param: [%.16s] [%d] [%d] [%ld].", evt.id,
          msg.originatorTxt, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
    AppStatusRecord& status = m_appShmPtr->statBuf.statusRec;
    const MessageQueueType ackQueue = p.paramInt32 != 0 ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL;
    switch (evt.id)
    {
    case TERM:
        if (honoursTerm(msg))
        {
            fwLog(LOG_LEVEL_CRITICAL, "Received TERM event from [%.16s]. Terminate the application.", msg.originatorTxt);
            return terminateChildThreads();
        }
        return 0;
    case MSG_BUS_FATAL:
        fwLog(LOG_LEVEL_CRITICAL, "Received MSG_BUS_FATAL event. Terminate the application.");
        return terminateChildThreads();
    case ITC_STATUS:
        status.applStatusCode = p.paramInt32;
        return 0;
    case REPLICATION_TIMEOUT:
        fwLog(LOG_LEVEL_INFO, "Received REPLICATION_NOT_RCVD from [%.16s]. Notify Drusk via framework agent.",
              msg.originatorTxt);
        status.msgRepliStatus = REPLICATION_NOT_RCVD;
        return 0;
    case REPLICATION_RESUMED:
        fwLog(LOG_LEVEL_INFO, "Received REPLICATION_RESUMED from [%.16s]. Notify Drusk via framework agent.",
              msg.originatorTxt);
        status.msgRepliStatus = m_repliTopicInRecovery ? REPLICATION_IN_RECOVERY : REPLICATION_RECEIVE;
        return 0;
    case CONF_END_REPLICATION:
        if (!m_failoverCmdRcvd || !isOneOf(msg.originatorTxt, {"MSG_REPLICATOR", "MSG_SERVICE"}))
            return 0;
        ::usleep(30000);
        m_failoverCmdRcvd = false;
        return switchToActiveMode(p.paramInt64, ackQueue);
    case NOTIFY_END_RECOVERY:
        if (!isOneOf(msg.originatorTxt, {"MSG_REPLICATOR", "MSG_SERVICE"}))
            return 0;
        if (m_gblData.m_mrmApplication || m_gblData.m_appInstId >= APPL_ALL_ACTIVE_BASE_INST_ID)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "Received end recovery notification from [%.16s]. Prepare to switch to Active Mode.",
                  msg.originatorTxt);
            return switchToActiveMode(0, MQUEUE_HIGH_PRIORITY);
        }
        fwLog(LOG_LEVEL_NOTICE, "Received end recovery notification from [%.16s]. Prepare to switch to Standby Mode.",
              msg.originatorTxt);
        return switchToStandbyMode(p.paramInt64, ackQueue);
    case APP_NOTIFY_END_RECOVERY:
        if (m_gblData.m_appMode.load() != RECOVERY_MODE || !m_gblData.m_appEndRecovery)
            return 0;
        fwLog(LOG_LEVEL_NOTICE, "Received application initiated end recovery notification from [%.16s]. Prepare to "
                                "switch to Standby Mode.",
              msg.originatorTxt);
        return switchToStandbyMode(0, MQUEUE_HIGH_PRIORITY);
    case REPLI_TOPIC_RECOVERY:
        fwLog(LOG_LEVEL_INFO, "Received REPLI_TOPIC_RECOVERY from [%.16s]. Notify Drusk via framework agent.",
              msg.originatorTxt);
        m_repliTopicInRecovery = true;
        status.msgRepliStatus = REPLICATION_IN_RECOVERY;
        return 0;
    case REPLI_TOPIC_RECOV_DONE:
        fwLog(LOG_LEVEL_INFO, "Received REPLI_TOPIC_RECOV_DONE from [%.16s]. Notify Drusk via framework agent.",
              msg.originatorTxt);
        m_repliTopicInRecovery = false;
        status.msgRepliStatus = REPLICATION_RECEIVE;
        return 0;
    default:
        fwLog(LOG_LEVEL_NOTICE, "Unexpected event message [%d] received from [%.16s]. Ignore and continue.", evt.id,
              msg.originatorTxt);
        return 0;
    }
}

int32 WaitState::processMessage(FwMessageQueue* queue)
{
    FwIntMessage msg;
    bool more = true;
    while (more && m_state == WAIT_STATE)
    {
        if (queue->getMessage(&msg, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
        if (msg.appMsg.type != MSG_EVENT)
        {
            fwLog(LOG_LEVEL_NOTICE, "Unexpected message type [%d] received. Ignore and continue.", msg.appMsg.type);
            continue;
        }
        if (handleEvent(msg) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
    }
    return 0;
}

// --- Health check ---

HealthChkState::HealthChkState()
    : m_agtChkInterval(readPositive(m_configMgrPtr, FwConfigKeys::AGT_STATUS_CHECK_INTERVAL_LABEL,
                                    FwConfigKeys::DEFAULT_AGT_STATUS_CHECK_INTERVAL))
{
}

void HealthChkState::updateStatus()
{
    writeReportTime();
    fwLog(LOG_LEVEL_DEBUG, "Status time updated");
}

int32 HealthChkState::runHealthCheck(bool useFwAgent)
{
    const int64 agtReportTime = m_agtShmPtr->reportTime;
    const int32 agtStatus = m_agtShmPtr->status;
    if (m_stop)
    {
        m_termType = UNEXPECTED_TERMINATION;
        terminateChildThreads();
    }
    else
    {
        updateStatus();
        setState(WAIT_STATE, "Goto Wait State.");
    }
    if (!useFwAgent)
        return 0;
    processStatistics();
    if (agtStatus == ACTIVE)
    {
        if (!m_logAgtStatus)
        {
            m_logAgtStatus = true;
            fwLog(LOG_LEVEL_INFO, "Framework agent status is active [%d].", ACTIVE);
        }
        // Compared without a subtraction of the agent's value, which may be anything.
        if (agtReportTime < static_cast<int64>(::time(nullptr)) - m_agtChkInterval)
        {
            fwLog(LOG_LEVEL_ERROR, "Framework agent has not updated its status over [%d] seconds.", m_agtChkInterval);
            if (terminateFwAgent() == 0)
            {
                fwLog(LOG_LEVEL_ERROR, "Framework agent is stopped. Set its status to STOPPED [%d].", STOPPED);
                m_agtShmPtr->status = STOPPED;
            }
        }
        return 0;
    }
    if (m_logAgtStatus)
    {
        fwLog(LOG_LEVEL_ERROR, "Framework agent status is [%d].", agtStatus);
        m_logAgtStatus = false;
    }
    return 0;
}

int32 HealthChkState::terminateFwAgent()
{
    int32 result = 0;
    const int32 pid = m_agtShmPtr->pid;
    // The pid comes from another process's memory: never init, never ourselves.
    if (pid == 1 || pid == ::getpid())
    {
        fwLog(LOG_LEVEL_ERROR, "Refused to kill the framework agent [pid: %d]: not an agent's process id.", pid);
    }
    else if (pid > 1)
    {
        SemaphoreLock* lock = m_agentShmPtr->getAgtShmLockPtr();
        result = lock->lock(RES_LOCK_WAIT);
        if (result == 0)
        {
            const int32 current = m_agtShmPtr->pid;
            if (current == pid)
            {
                if (::kill(pid, SIGKILL) != 0)
                {
                    const int error = errno;
                    char text[128];
                    fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending SIGKILL to framework agent [pid: %d]. %s", error, pid,
                          strerror_r(error, text, sizeof(text)));
                }
                else
                {
                    fwLog(LOG_LEVEL_NOTICE, "Force terminated the framework agent[pid: %d].", pid);
                    m_agtShmPtr->pid = -1;
                }
            }
            else
                fwLog(LOG_LEVEL_NOTICE, "The framework agent has been restarted. [old pid: %d] [new pid: %d].", pid,
                      current);
            lock->unlock();
        }
    }
    setState(WAIT_STATE, "Goto Wait State.");
    return result;
}

void HealthChkState::processStatistics()
{
    if (m_statBufPtr == nullptr)
        return;
    SemaphoreLock* lock = m_agentShmPtr->getAppShmLockPtr();
    // Without the semaphore the agent may be reading the records: next tick.
    if (lock == nullptr || lock->lock(RES_LOCK_WAIT) != 0)
        return;
    StatRecord& stats = m_appShmPtr->statBuf;
    const int32 n = stats.numOfStatRec;
    if (n < 0 || n > StatRecord::MAX_STAT_REC)
    {
        fwLog(LOG_LEVEL_ERROR,
              "Invalid number of statistics records [%d] in the application shared memory. No statistics moved.", n);
    }
    else
    {
        int32 copied = 0;
        for (int32 i = n; i < StatRecord::MAX_STAT_REC; ++i)
        {
            if (m_statBufPtr->multiRwDequeue(stats.statisticsRec[i], 5, 20) != 0)
                break;
            ++copied;
        }
        stats.numOfStatRec = n + copied;
    }
    lock->unlock();
}

// --- Commands ---

int32 CmdProcState::readCommand()
{
    CommandRing& ring = m_appShmPtr->cmdBuf;
    for (int32 attempt = 0; attempt < 5; ++attempt)
    {
        if (attempt > 0)
            ::usleep(20);
        if (ring.dequeue(m_cmd) == 0)
            return 0;
    }
    return fwFail(BUFFER_EMPTY, -1);
}

int32 CmdProcState::processLogLevelCmd()
{
    fwLog(LOG_LEVEL_NOTICE, "Received CHANGE LOG LEVEL command from Framework Agent.");
    const int32 level = m_cmd.fwCmd.additionalPara;
    fwLog(LOG_LEVEL_INFO, "Set FW log level to [%d].", level);
    if (m_loggerPtr != nullptr && m_loggerPtr->setLogLevel(level) != 0)
        fwLog(LOG_LEVEL_ERROR, "Invalid log level [%d] in CMD_LOG_LEVEL. Ignore and continue.", level);
    setState(WAIT_STATE, "Goto Wait State.");
    return 0;
}

int32 CmdProcState::processConfigReloadCmd()
{
    fwLog(LOG_LEVEL_NOTICE, "Received CONFIGURATION FILE RELOAD command from Framework Agent.");
    if (m_configMgrPtr != nullptr)
        m_configMgrPtr->reloadConfigFile();
    setState(WAIT_STATE, "Goto Wait State.");
    return 0;
}

int32 CmdProcState::processFailoverCmd()
{
    fwLog(LOG_LEVEL_NOTICE, "Received FAILOVER command from Framework Agent.");
    const int32 mode = m_gblData.m_appMode.load();
    if (mode == STANDBY_MODE)
    {
        m_failoverCmdRcvd = true;
        m_failoverCmdRcvNs = MonoClock::nowNs();
        const char* askThread = nullptr;
        if (m_gblData.m_repliServiceEnabled)
            askThread = "MSG_REPLICATOR";
        else if (m_numAppRepliTopic > 0)
            askThread = "MSG_SERVICE";
        if (askThread == nullptr)
        {
            m_failoverCmdRcvd = false;
            ::usleep(30000);
            return switchToActiveMode(0, MQUEUE_HIGH_PRIORITY);
        }
        EventParam empty{};
        const int32 result = sendEventMsg(askThread, MQUEUE_HIGH_PRIORITY, CHK_END_REPLICATION, empty);
        setState(WAIT_STATE, "Goto Wait State.");
        return result;
    }
    if (mode == RECOVERY_MODE)
    {
        fwLog(LOG_LEVEL_NOTICE, "Received FAILOVER command while it is in Recovery mode. Ignore it and continue.");
        setState(WAIT_STATE, "Goto Wait State.");
        return 0;
    }
    if (mode == ACTIVE_MODE)
    {
        m_termType = DRUSK_INITIATED_TERMINATION;
        return terminateChildThreads();
    }
    fwLog(LOG_LEVEL_ERROR, "Invalid application mode [%d] while processing Failover command.", mode);
    return fwFail(INVALID_MODE, -1);
}

int32 CmdProcState::processRestartCmd()
{
    const int32 mode = m_cmd.fwCmd.mode;
    fwLog(LOG_LEVEL_NOTICE, "Received SOFT RESTART command from Framework Agent. Restart mode [%d].", mode);
    if (static_cast<uint32>(mode) > RECOVERY_MODE)
    {
        fwLog(LOG_LEVEL_INFO, "Invalid mode [%d] specified in CMD_SOFT_RESTART. Ignore and continue.", mode);
        setState(WAIT_STATE, nullptr);
        return 0;
    }
    m_timerPtr->stopTimer();
    if (m_thdMgr.stopAppThreads(false) != 0 || m_thdMgr.stopFwThreads(false) != 0)
    {
        // Half the threads may be gone and the health check is off: a process
        // in that state cannot be left running unsupervised.
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_CRITICAL, "Error [%d] stopping threads for the soft restart. Terminate the application.",
              code);
        m_timerPtr->startTimer();
        m_termType = UNEXPECTED_TERMINATION;
        terminateChildThreads();
        return fwFail(code, -1);
    }
    ResourceName name{};
    ThreadResource* res = nullptr;
    int32 walk = m_resMgr.getThreadFirstRes(name, &res);
    while (walk == 0)
    {
        if (res->status.load() == RES_TERMINATED)
            res->status.store(RES_REGISTERED);
        walk = m_resMgr.getThreadNextRes(name, &res);
    }
    if (FrameworkErrno::m_fwErrno != RES_NEXT_END)
        return -1;
    const int32 current = m_gblData.m_appMode.load();
    if (mode == RECOVERY_MODE && !m_gblData.m_appEndRecovery && !m_gblData.m_repliServiceEnabled)
    {
        fwLog(LOG_LEVEL_INFO,
              "Restarting application in mode [%d]. Previous mode [%d], replication flag [%d], application recovery "
              "mode [%d].",
              mode, current, 0, 0);
        m_gblData.m_appMode.store(STANDBY_MODE);
    }
    else
    {
        fwLog(LOG_LEVEL_INFO, "Restarting application in mode [%d].", mode);
        m_gblData.m_appMode.store(static_cast<AppMode>(mode));
    }
    if (m_repliTopicResPtr != nullptr)
        m_repliTopicResPtr->regParam.openType = m_gblData.m_appMode.load() == ACTIVE_MODE ? PUBLISH : SUBSCRIBE;
    setState(RESTART_STATE, "Goto Restart State.");
    return 0;
}

int32 CmdProcState::execute(bool& leave)
{
    leave = false;
    const int32 code = m_cmd.fwCmd.cmdCode;
    switch (code)
    {
    case CMD_STOP:
        m_termType = m_cmd.fwCmd.additionalPara == 1 ? FA_INITIATED_TERMINATION : DRUSK_INITIATED_TERMINATION;
        fwLog(LOG_LEVEL_NOTICE, "Received STOP command from Framework Agent. Termination type [%d].", m_termType);
        leave = true;
        return terminateChildThreads();
    case CMD_SOFT_RESTART:
        leave = true;
        return processRestartCmd();
    case CMD_FAILOVER:
        leave = true;
        return processFailoverCmd();
    case CMD_LOG_LEVEL:
        return processLogLevelCmd();
    case CMD_APP_RELOAD:
        return processConfigReloadCmd();
    case CMD_APP_DEFINED:
    {
        fwLog(LOG_LEVEL_NOTICE, "Received APPL DEFINE command from Framework Agent.");
        m_tmpPara = EventParam{};
        m_tmpPara.paramInt32 = m_cmd.appCmd.actionId;
        // The agent's text need not end in a NUL: at most 100 characters go on.
        m_evtSenderPtr->setDescTxt(m_cmd.appCmd.actPara, strnlen(m_cmd.appCmd.actPara, sizeof(ApplCmdPara)));
        const int32 result =
            postEventToChildThreads(static_cast<FwEventID>(APP_DEFINED_EVENT_BASE), m_tmpPara, MQUEUE_NORMAL, true);
        m_evtSenderPtr->setDescTxt(nullptr, 0);
        setState(WAIT_STATE, "Goto Wait State.");
        return result;
    }
    default:
        fwLog(LOG_LEVEL_NOTICE, "Unexpected command message [%d] received. Ignore and continue.", code);
        return 0;
    }
}

int32 CmdProcState::getCommand()
{
    int32 result = 0;
    bool leave = false;
    while (!leave)
    {
        if (readCommand() != 0)
        {
            fwLog(LOG_LEVEL_NOTICE, "The command buffer is empty. Ignore and continue.");
            if (m_state == CMD_PROCESS_STATE)
                m_state = WAIT_STATE;
            result = 0;
            break;
        }
        result = execute(leave);
        if (result != 0)
        {
            if (FrameworkErrno::m_fwErrno != BUFFER_EMPTY)
                fwLog(LOG_LEVEL_ERROR, "Error [%d] retrieving framework agent command.", FrameworkErrno::m_fwErrno);
            break;
        }
    }
    m_outstandingCmd = m_appShmPtr->cmdBuf.getNumOfElem();
    return result;
}

// --- Restart ---

int32 RestartState::proceedRestart()
{
    m_numEvtPosted = 0;
    int32 fwCount = 0, appCount = 0;
    if (m_thdMgr.startFwThreads(fwCount) != 0 || m_thdMgr.startAppThreads(appCount) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_CRITICAL, "Error [%d] starting threads for the soft restart. Terminate the application.", code);
        m_timerPtr->startTimer();
        terminateChildThreads();
        return fwFail(code, -1);
    }
    // The same identity as at the first start.
    EventParam param{};
    param.paramInt16 = static_cast<int16>(m_gblData.m_siteId);
    param.paramInt32 = m_gblData.m_appMode.load();
    param.paramInt64 = m_gblData.m_appInstId;
    const int32 result = postAndAwait(INIT, param, MQUEUE_HIGH_PRIORITY);
    if (fwCount + appCount != m_numEvtPosted)
    {
        fwLog(LOG_LEVEL_CRITICAL,
              "Mismatch between number of threads started [FW Threads=%d; APP Threads=%d] and the number of INIT "
              "posted [%d].",
              fwCount, appCount, m_numEvtPosted);
        terminateChildThreads();
        return result;
    }
    m_timerPtr->startTimer();
    setState(STARTING_STATE, "Goto Starting State.");
    return result;
}

// --- Mode switching ---

int32 ActiveModeSwState::waitForEvent()
{
    bool proceed = false;
    int32 result = awaitSwitch(SW_ACTIVE_ACK,
                               "[%d] out of [%d] SW_ACTIVE_ACK received [%ld] milliseconds after SW_ACTIVE was sent.",
                               proceed);
    if (!proceed)
        return result;
    m_gblData.m_appMode.store(ACTIVE_MODE);
    EventParam empty{};
    static constexpr const char* OPENERS[] = {"MSG_REPLICATOR", "DATA_STREAM_HDR", "NET_RECEIVER", "MSG_SERVICE",
                                              "IPC_RECEIVER"};
    for (const char* name : OPENERS)
    {
        if (std::strcmp(name, "MSG_REPLICATOR") == 0 && !m_gblData.m_repliServiceEnabled)
            continue;
        if (sendEventMsg(name, MQUEUE_HIGH_PRIORITY, CONN_INIT, empty) != 0 &&
            FrameworkErrno::m_fwErrno != RES_NOT_EXIST)
        {
            result = -1;
            break;
        }
    }
    fwLog(LOG_LEVEL_NOTICE, "Switched to Active Mode.");
    finishSwitch(ACTIVE, ACTIVE_MODE_SWITCHING_STATE);
    return result;
}

int32 StandbyModeSwState::waitForEvent()
{
    bool proceed = false;
    const int32 result = awaitSwitch(
        SW_STANDBY_ACK, "[%d] out of [%d] SW_STANDBY_ACK received [%ld] milliseconds after SW_STANDBY was sent.",
        proceed);
    if (!proceed)
        return result;
    m_gblData.m_appMode.store(STANDBY_MODE);
    fwLog(LOG_LEVEL_NOTICE, "Switched to Standby Mode.");
    finishSwitch(STANDBY, STANDBY_MODE_SWITCHING_STATE);
    return 0;
}
