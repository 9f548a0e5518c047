#include "FendralCore/control/CtlThdStateMachine.h"

#include "FendralCore/control/ThreadManager.h"
#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
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
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/RingBuffer.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <ctime>

namespace
{
constexpr int32 STAT_RING_ENTRIES = 500;

UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}
} // namespace

CtlThdStateMachine::CtlThdStateMachine(const char* appIdTxt, int32 appInstId, ApplicationSite siteId,
                                       AppMode startMode)
    : m_initialMode(startMode)
{
    if (appIdTxt != nullptr)
        std::strncpy(m_appIdTxt, appIdTxt, sizeof(m_appIdTxt) - 1);
    std::memcpy(m_gblData.m_appIdTxt, m_appIdTxt, sizeof(m_appIdTxt));
    uint64 id = 0;
    std::memcpy(&id, m_appIdTxt, sizeof(id));
    m_gblData.m_appId = id;
    m_gblData.m_appInstId = appInstId;
    m_gblData.m_siteId = siteId;

    if (m_configMgrPtr != nullptr)
        FwConfigKeys::readCtlThdKeys(*m_configMgrPtr, m_gblData, m_settings);
    else
        m_settings = {true, FwConfigKeys::DEFAULT_REPLI_UNACK_MSG, FwConfigKeys::DEFAULT_REPLI_OUTSTANDING_MSG,
                      false, false, 0, true, FwConfigKeys::DEFAULT_INIT_EVENT_TIMEOUT_THRESHOLD,
                      FwConfigKeys::DEFAULT_FLUSH_LOG_INTERVAL, true};
    m_useFwAgent = m_settings.useFwAgent;
    m_terminateOnSigInt = m_settings.terminateOnSigInt;
    m_evtTmoutInterval = m_settings.evtTmoutInterval;
    m_flushLogInterval = m_settings.flushLogInterval;
    chkResRepliAndStdbyModeOpt();

    m_startState = std::make_unique<StartingState>();
    m_waitState = std::make_unique<WaitState>();
    m_healthChkState = std::make_unique<HealthChkState>();
    m_cmdProcState = std::make_unique<CmdProcState>();
    m_restartState = std::make_unique<RestartState>();
    m_activeModeSwState = std::make_unique<ActiveModeSwState>();
    m_standbyModeSwState = std::make_unique<StandbyModeSwState>();
    m_state = STARTING_STATE;
    m_stop = false;
    m_termType = UNEXPECTED_TERMINATION;
    m_startFailCode = 0;
    m_prevFlushLogNs = MonoClock::nowNs();
    fwLog(LOG_LEVEL_DEBUG, "Begin at Starting State.");
}

CtlThdStateMachine::~CtlThdStateMachine()
{
    releaseAll();
}

void CtlThdStateMachine::releaseAll()
{
    UInt128 key;
    DataValueType value = 0;
    while (m_gblData.m_tmpMsgRepository.getFirst(key, value))
    {
        delete reinterpret_cast<MessageStore*>(value);
        m_gblData.m_tmpMsgRepository.remove(key);
    }
    while (m_gblData.m_tmpPlMsgRepository.getFirst(key, value))
    {
        delete reinterpret_cast<PlMessageStore*>(value);
        m_gblData.m_tmpPlMsgRepository.remove(key);
    }
    if (m_ctlThdResPtr != nullptr)
    {
        m_ctlThdResPtr->msgQueuePtrArray[MQUEUE_NORMAL] = nullptr;
        m_ctlThdResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = nullptr;
        m_ctlThdResPtr->status.store(RES_TERMINATED);
    }
    delete m_evtSenderPtr;
    m_evtSenderPtr = nullptr;
    for (FwMessageQueue*& queue : m_msgQueuePtr)
    {
        delete queue;
        queue = nullptr;
    }
    delete m_timerPtr;
    m_timerPtr = nullptr;
    if (m_gblData.m_statBufPtr == m_statBufPtr)
        m_gblData.m_statBufPtr = nullptr;
    delete m_statBufPtr;
    m_statBufPtr = nullptr;
    m_appShmPtr = nullptr;
    m_agtShmPtr = nullptr;
    delete m_agentShmPtr;
    m_agentShmPtr = nullptr;
    delete m_fdWaitPtr;
    m_fdWaitPtr = nullptr;
    delete m_sigDescPtr;
    m_sigDescPtr = nullptr;
}

void CtlThdStateMachine::chkResRepliAndStdbyModeOpt()
{
    GlobalData& gd = m_gblData;
    gd.m_repliServiceEnabled = gd.m_enableTcpInStandbyMode = gd.m_enableUdpInStandbyMode = false;
    gd.m_enableTopicInStandbyMode = gd.m_enableIpcInStandbyMode = false;
    ResourceName name{};
    TcpConnResource* tcp = nullptr;
    for (int32 w = m_resMgr.getFirstTcpConnRes(name, &tcp); w == 0; w = m_resMgr.getNextTcpConnRes(name, &tcp))
    {
        gd.m_repliServiceEnabled |= tcp->regParam.replicationMode != NO_REPLICATION;
        gd.m_enableTcpInStandbyMode |= tcp->regParam.openInStandbyMode;
    }
    UdpConnResource* udp = nullptr;
    for (int32 w = m_resMgr.getFirstUdpConnRes(name, &udp); w == 0; w = m_resMgr.getNextUdpConnRes(name, &udp))
    {
        gd.m_repliServiceEnabled |= udp->regParam.replicationMode != NO_REPLICATION;
        gd.m_enableUdpInStandbyMode |= udp->regParam.openInStandbyMode;
    }
    MsgTopicResource* topic = nullptr;
    for (int32 w = m_resMgr.getFirstMsgTopicRes(name, &topic); w == 0;
         w = m_resMgr.getNextMsgTopicRes(name, &topic))
    {
        gd.m_repliServiceEnabled |= topic->regParam.replicationMode != NO_REPLICATION;
        gd.m_enableTopicInStandbyMode |= topic->regParam.openInStandbyMode;
    }
    IpcResource* ipc = nullptr;
    for (int32 w = m_resMgr.getFirstIpcRes(name, &ipc); w == 0; w = m_resMgr.getNextIpcRes(name, &ipc))
        gd.m_enableIpcInStandbyMode |= ipc->regParam.openInStandbyMode;
}

int32 CtlThdStateMachine::registerFwThread(const char* name)
{
    ThreadParam param;
    m_resMgr.initThreadParam(param);
    ResourceManager::copyResourceName(param.threadNameTxt, name);
    FwConfigKeys::FwThreadSettings settings{FwConfigKeys::DEFAULT_FW_THREAD_QUEUE_LEN,
                                            FwConfigKeys::DEFAULT_FW_THREAD_PRI, FwConfigKeys::DEFAULT_FW_THREAD_CPU};
    if (m_configMgrPtr != nullptr)
        FwConfigKeys::readFwThreadKeys(*m_configMgrPtr, name, settings);
    param.messageQueueLength = settings.queueLen;
    param.threadPriority = settings.priority;
    param.cpuAffinityBitmask = settings.cpuMask;
    if (m_resMgr.registerThreadRes(param, false, nullptr) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Fail to register thread %s, error = %d.", name, FrameworkErrno::m_fwErrno);
        return -1;
    }
    return 0;
}

int32 CtlThdStateMachine::registerFwThreads()
{
    int32 tcp = 0, udp = 0, topics = 0, ipc = 0;
    m_resMgr.getTcpConnResSize(tcp);
    m_resMgr.getUdpConnResSize(udp);
    m_resMgr.getMsgTopicResSize(topics);
    m_resMgr.getIpcResSize(ipc);
    if (m_gblData.m_repliServiceEnabled)
    {
        if (m_numAppRepliTopic > 0)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "Framework message replication service and application level topic replication cannot coexist.");
            return fwFail(REPLICATION_CONFLICT, -1);
        }
        if (registerFwThread("MSG_REPLICATOR") != 0)
            return -1;
        if (m_initialMode <= RECOVERY_MODE && registerRepliTopic() != 0)
            return -1;
    }
    if (tcp > 0)
    {
        if (registerFwThread("DATA_STREAM_HDR") != 0 || registerFwThread("NET_RECEIVER") != 0)
            return -1;
    }
    else if (udp > 0 && registerFwThread("NET_RECEIVER") != 0)
        return -1;
    // The replication topic needs the messaging service even without
    // topics of the application's own.
    if ((topics > 0 || m_gblData.m_repliServiceEnabled) &&
        (registerFwThread("MSG_SERVICE") != 0 || registerMrmTopic() != 0))
        return -1;
    if (ipc > 0 && registerFwThread("IPC_RECEIVER") != 0)
        return -1;
    if (m_gblData.m_enableLoggerThread && registerFwThread("LOGGER") != 0)
        return -1;
    return 0;
}

int32 CtlThdStateMachine::registerTopic(const char* name, const char* thread, int32 logicalChnNum,
                                        MsgTopicResource** res)
{
    MsgTopicParam param;
    m_resMgr.initMsgTopicParam(param);
    ResourceManager::copyResourceName(param.topicNameTxt, name);
    ResourceManager::copyResourceName(param.threadNameTxt, thread);
    param.logicalChnNum = logicalChnNum;
    param.openAtStartup = true;
    param.channelType = NORMAL_CHANNEL;
    param.replicationMode = NO_REPLICATION;
    param.msgJournalEnabled = false;
    const int32 result = m_resMgr.registerMsgTopicRes(param, res);
    return result == -2 ? 0 : result; // registered, with a warning
}

int32 CtlThdStateMachine::registerRepliTopic()
{
    // The application id (at most 8 characters) and "_FW_REPL": 16 at most.
    char name[sizeof(ResourceName)] = {};
    std::snprintf(name, sizeof(name), "%.8s_FW_REPL", m_appIdTxt);
    MsgTopicParam param;
    m_resMgr.initMsgTopicParam(param);
    ResourceManager::copyResourceName(param.topicNameTxt, name);
    ResourceManager::copyResourceName(param.threadNameTxt, "MSG_REPLICATOR");
    param.openAtStartup = true;
    param.channelType = NORMAL_CHANNEL;
    param.replicationMode = NO_REPLICATION;
    param.msgJournalEnabled = false;
    param.logicalChnNum = ResParamValidator::REPLICATION_LOGICAL_CHN;
    param.waitForDrSiteAck = m_settings.waitForDrSiteAck;
    param.waitForMrmAck = m_settings.waitForMrmAck;
    param.numUnackMsgMax = m_settings.repliUnackThreshold;
    param.outstandingMsgMax = m_settings.repliOutstdgMsgThreshold;
    if (param.historyBufSize < m_numRepliTopicBufEntry)
        param.historyBufSize = m_numRepliTopicBufEntry;
    // The window is resent from the history, which must hold all of it: the
    // defaults (a window of 5000, a history of 3000) would refuse the topic
    // and with it the start of every replicated application.
    if (param.outstandingMsgMax <= static_cast<uint32>(INT32_MAX) &&
        param.historyBufSize < static_cast<int32>(param.outstandingMsgMax))
        param.historyBufSize = static_cast<int32>(param.outstandingMsgMax);
    param.msgBufSizeInRecovery = m_settings.repliRcvyMsgBufSize;
    if (m_initialMode == ACTIVE_MODE)
        param.openType = PUBLISH;
    else
    {
        param.openType = SUBSCRIBE;
        param.activeSubscriber = m_settings.activeRepliSubscriber;
    }
    const int32 result = m_resMgr.registerMsgTopicRes(param, &m_repliTopicResPtr);
    return result == -2 ? 0 : result;
}

int32 CtlThdStateMachine::registerMrmTopic()
{
    uint64 gapReco = FwConfigKeys::DEFAULT_MRM_GAP_RECO;
    FwConfigKeys::readMrmKeys(*m_configMgrPtr, m_gblData, gapReco);
    std::memset(m_gblData.m_thisMrmLocalTopicName, 0, sizeof(ResourceName));
    std::memset(m_gblData.m_thisMrmCrossSiteTopicName, 0, sizeof(ResourceName));
    const int32 numInst = m_gblData.m_numMrmInst;
    const int32 numPart = m_gblData.m_numMrmPartition;
    if (m_gblData.m_mrmApplication && m_gblData.m_appInstId >= numInst)
    {
        fwLog(LOG_LEVEL_ERROR, "The MRM instance ID [%d] of [%.8s] exceeds the maximum number [%d]",
              m_gblData.m_appInstId, m_appIdTxt, numInst);
        return fwFail(MRM_TOO_MANY_INSTANCE, -1);
    }
    if (numInst == 0 || numPart == 0)
        return 0;

    char name[64] = {};
    std::snprintf(name, sizeof(name), "%.8s:%d%s", m_appIdTxt, m_gblData.m_appInstId,
                  ResourceManager::RECOVERY_TOPIC_NAME_POSTFIX);
    if (std::strlen(name) > sizeof(ResourceName) - 1)
    {
        fwLog(LOG_LEVEL_ERROR, "The application recovery topic name [%s] is too long.", name);
        return fwFail(RES_NAME_TOO_LONG, -1);
    }
    if (registerTopic(name, "MSG_SERVICE", ResParamValidator::RECOVERY_LOGICAL_CHN, nullptr) != 0)
    {
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] registering topic [%s].", FrameworkErrno::m_fwErrno, name);
        return -1;
    }
    if (numInst > GlobalData::MRM_MAX_INSTANCE || numInst < 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Too many MRM instances [%d]. Max should be [%u].", numInst,
              static_cast<unsigned>(GlobalData::MRM_MAX_INSTANCE));
        return fwFail(MRM_TOO_MANY_INSTANCE, -1);
    }
    if (numPart < 0 || numPart > GlobalData::MRM_MAX_PARTITION)
    {
        fwLog(LOG_LEVEL_ERROR, "Too many MRM partitions [%u]. Max should be [%u].", static_cast<unsigned>(numPart),
              static_cast<unsigned>(GlobalData::MRM_MAX_PARTITION));
        return fwFail(MRM_TOO_MANY_PARTITION, -1);
    }
    const std::string base(m_gblData.m_mrmBaseName, strnlen(m_gblData.m_mrmBaseName, sizeof(ApplicationID)));
    // MRM topics are named from the MRM base name; without one no MRM is in
    // use, and the registry would refuse their channels.
    if (base.empty())
        return 0;
    for (int32 p = 0; p < numPart; ++p)
    {
        for (int32 i = 0; i < numInst; ++i)
        {
            const std::string local = base + std::to_string(p) + ":" + std::to_string(i) + "L";
            const std::string cross = base + std::to_string(p) + ":" + std::to_string(i) + "C";
            if (local.size() > sizeof(ResourceName) - 1 || cross.size() > sizeof(ResourceName) - 1)
            {
                fwLog(LOG_LEVEL_ERROR, "The MRM topic name [%s] and/or [%s] are too long.", local.c_str(),
                      cross.c_str());
                return fwFail(RES_NAME_TOO_LONG, -1);
            }
            ResourceManager::copyResourceName(m_gblData.m_mrmLocalTopicNameList[p][i], local.c_str());
            ResourceManager::copyResourceName(m_gblData.m_mrmCrossSiteTopicNameList[p][i], cross.c_str());
            for (const auto& [topic, chn] : {std::pair{&local, ResParamValidator::MRM_LOCAL_LOGICAL_CHN},
                                              std::pair{&cross, ResParamValidator::MRM_CROSS_SITE_LOGICAL_CHN}})
            {
                if (registerTopic(topic->c_str(), "MSG_SERVICE", chn, nullptr) != 0)
                {
                    fwLog(LOG_LEVEL_NOTICE, "Error [%d] registering topic [%s].", FrameworkErrno::m_fwErrno,
                          topic->c_str());
                    return -1;
                }
            }
            if (std::strncmp(m_appIdTxt, base.c_str(), sizeof(ApplicationID)) == 0 && m_gblData.m_appInstId == i)
            {
                ResourceManager::copyResourceName(m_gblData.m_thisMrmLocalTopicName, local.c_str());
                ResourceManager::copyResourceName(m_gblData.m_thisMrmCrossSiteTopicName, cross.c_str());
            }
        }
    }
    return 0;
}

int32 CtlThdStateMachine::createPipeline(int32& count)
{
    count = 0;
    ResourceName name{};
    PipelineResource* res = nullptr;
    int32 walk = m_resMgr.getFirstPipelineRes(name, &res);
    for (; walk == 0; walk = m_resMgr.getNextPipelineRes(name, &res))
    {
        if (res->pipelinePtr != nullptr)
            continue;
        auto* pipeline = new Pipeline(static_cast<uint32>(res->regParam.numEntry),
                                      static_cast<uint32>(res->regParam.entrySize) + EventMessage::PL_MSG_HEADER_SIZE,
                                      static_cast<uint32>(res->regParam.numStages), m_gblData.m_optMode.load(), false);
        if (!pipeline->isValid())
        {
            delete pipeline;
            return fwFail(PL_INVALID_NUM_REC, -1);
        }
        res->pipelinePtr = pipeline;
        ++count;
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    return code == RES_EMPTY || code == RES_NEXT_END ? 0 : fwFail(code, -1);
}

int32 CtlThdStateMachine::prepareTmpMsgStore()
{
    ResourceName name{};
    ThreadResource* res = nullptr;
    for (int32 w = m_resMgr.getThreadFirstRes(name, &res); w == 0; w = m_resMgr.getThreadNextRes(name, &res))
    {
        const bool wanted = res->appThread ||
                            std::strncmp(res->threadNameTxt, "MSG_REPLICATOR", sizeof(ResourceName)) == 0 ||
                            std::strncmp(res->threadNameTxt, "MSG_SERVICE", sizeof(ResourceName)) == 0;
        if (!wanted || res->tmpMsgStorePtr != nullptr)
            continue;
        res->tmpMsgStorePtr = new MessageStore();
        m_gblData.m_tmpMsgRepository.insert(nameKey(res->threadNameTxt),
                                            reinterpret_cast<DataValueType>(res->tmpMsgStorePtr), true);
    }
    PipelineResource* pipeline = nullptr;
    for (int32 w = m_resMgr.getFirstPipelineRes(name, &pipeline); w == 0;
         w = m_resMgr.getNextPipelineRes(name, &pipeline))
    {
        m_gblData.m_tmpPlMsgRepository.insert(nameKey(pipeline->pipelineNameTxt),
                                              reinterpret_cast<DataValueType>(new PlMessageStore()), false);
    }
    return 0;
}

int32 CtlThdStateMachine::initialize()
{
    AppLogger::setThreadName("CTL_THREAD");
    if (!m_gblData.m_runAsFwMiddleware)
    {
        m_sigDescPtr = new SignalDescriptor();
        if (m_sigDescPtr->getFileDescriptor() < 0)
            return -1;
    }
    m_fdWaitPtr = new FileDescMultiplexer(NUM_OF_DESC);

    m_agentShmPtr = new AgentSharedMemory(*m_configMgrPtr, m_appIdTxt, m_useFwAgent);
    if (m_agentShmPtr->openAppSharedMemory() != 0)
        return -1;
    m_appShmPtr = m_agentShmPtr->getAppShmPtr();
    if (m_agentShmPtr->openAgtSharedMemory() != 0)
        return -1;
    m_agtShmPtr = m_agentShmPtr->getAgtShmPtr();

    if (m_gblData.m_repliServiceEnabled)
    {
        m_appShmPtr->statBuf.statusRec.msgRepliStatus = REPLICATION_RECEIVE;
        m_numRepliTopicBufEntry = FwConfigKeys::readPositiveInt32(
            *m_configMgrPtr, FwConfigKeys::NUM_REPLI_BUF_ENTRY_LABEL, FwConfigKeys::DEFAULT_NUM_REPLI_BUF_ENTRY);
    }
    else
    {
        m_appShmPtr->statBuf.statusRec.msgRepliStatus = REPLICATION_NOT_ENABLED;
        m_numRepliTopicBufEntry = 0;
    }
    if (m_useFwAgent)
    {
        m_statBufPtr = new RingBuffer<StatisticCounter>(STAT_RING_ENTRIES + 1, true, true, LOW_LATENCY);
        m_gblData.m_statBufPtr = m_statBufPtr;
    }

    m_timeout = FwConfigKeys::readPositiveInt32(*m_configMgrPtr, FwConfigKeys::HEALTH_CHK_TM_INTERVAL_LABEL,
                                                FwConfigKeys::DEFAULT_HEALTH_CHK_TM_INTERVAL);
    m_timerPtr = new Timer(m_timeout, true);
    if (m_timerPtr->startTimer() != 0)
        return -1;
    for (int32 q = 0; q < MQUEUE_TYPE_NUM; ++q)
        m_msgQueuePtr[q] = new FwMessageQueue(CTL_QUEUE_LEN, false, true, CPU_UTILIZATION, true, 100);
    if ((m_sigDescPtr != nullptr && m_fdWaitPtr->addFileDesc(m_sigDescPtr, IO_WAIT_READ) != 0) ||
        m_fdWaitPtr->addFileDesc(m_timerPtr, IO_WAIT_READ) != 0 ||
        m_fdWaitPtr->addFileDesc(m_msgQueuePtr[MQUEUE_HIGH_PRIORITY], IO_WAIT_READ) != 0 ||
        m_fdWaitPtr->addFileDesc(m_msgQueuePtr[MQUEUE_NORMAL], IO_WAIT_READ) != 0)
        return -1;

    int32 numPipelines = 0;
    if (createPipeline(numPipelines) != 0)
        return -1;

    ThreadParam param;
    m_resMgr.initThreadParam(param);
    ResourceManager::copyResourceName(param.threadNameTxt, "CTL_THREAD");
    uint64 cpuMask = FwConfigKeys::DEFAULT_CPU_AFFINITY_BITMAP;
    m_configMgrPtr->getUint64ConfigPara(FwConfigKeys::CPU_AFFINITY_BITMAP_LABEL, cpuMask,
                                        FwConfigKeys::DEFAULT_CPU_AFFINITY_BITMAP);
    int32 priority = FwConfigKeys::DEFAULT_PROCESS_PRIORITY;
    m_configMgrPtr->getInt32ConfigPara(FwConfigKeys::PROCESS_PRIORITY_LABEL, priority,
                                       FwConfigKeys::DEFAULT_PROCESS_PRIORITY);
    param.cpuAffinityBitmask = cpuMask;
    param.threadPriority = priority;
    param.messageQueueLength = CTL_QUEUE_LEN;
    ThreadResource* ctl = nullptr;
    if (m_resMgr.registerThreadRes(param, false, &ctl) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Fail to register the main control thread [%s], error = %d.", "CTL_THREAD", code);
        return fwFail(code, -1);
    }
    m_ctlThdResPtr = ctl;
    ctl->thdInfo.tid = pthread_self();
    ctl->lastStatusUpdTm.store(::time(nullptr));
    ctl->msgQueuePtrArray[MQUEUE_NORMAL] = m_msgQueuePtr[MQUEUE_NORMAL];
    ctl->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] = m_msgQueuePtr[MQUEUE_HIGH_PRIORITY];
    ctl->status.store(RES_ACTIVE);
    m_evtSenderPtr = new CtlEventSender(ctl, m_resMgr);

    if (registerFwThreads() != 0)
        return -1;
    prepareTmpMsgStore();

    int32 fwCount = 0, appCount = 0;
    m_threadsStarted = true;
    if (m_thdMgr.startFwThreads(fwCount) != 0 || m_thdMgr.startAppThreads(appCount) != 0)
        return -1;

    EventParam init{};
    init.paramInt16 = static_cast<int16>(m_gblData.m_siteId);
    init.paramInt32 = m_gblData.m_appMode.load();
    init.paramInt64 = m_gblData.m_appInstId;
    return postAndAwait(INIT, init, MQUEUE_HIGH_PRIORITY);
}

int32 CtlThdStateMachine::writeFinalStatus()
{
    if (m_appShmPtr == nullptr)
        return 0;
    int32 status = TERMINATED;
    if (m_termType == DRUSK_INITIATED_TERMINATION)
        status = STOPPED;
    else if (m_termType == FA_INITIATED_TERMINATION)
        status = FORCE_TERMINATED;
    SemaphoreLock* lock = m_agentShmPtr->getAppShmLockPtr();
    const bool locked = lock != nullptr && lock->lock(RES_LOCK_WAIT) == 0;
    if (!locked)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
    m_appShmPtr->statBuf.statusRec.status = status;
    m_appShmPtr->statBuf.statusRec.reportTime = static_cast<int64>(::time(nullptr));
    if (locked)
        lock->unlock();
    return 0;
}

int32 CtlThdStateMachine::run()
{
    m_numAppRepliTopic = m_thdMgr.numOfAppRepliTopic();
    m_gblData.m_appMode.store(m_initialMode);
    fwLog(LOG_LEVEL_INFO,
          "********** Starting application in mode [%d]. Replication flag [%d], Application replication topic [%d]. "
          "**********",
          m_initialMode, m_gblData.m_repliServiceEnabled, m_numAppRepliTopic);
    if (m_numAppRepliTopic > 1)
    {
        fwLog(LOG_LEVEL_ERROR,
              "[%d] application level replication topics are registered but only 1 replication topic is currently "
              "supported.",
              m_numAppRepliTopic);
        return fwFail(TOO_MANY_REPLICATION_TOPIC, -1);
    }
    if (m_loggerPtr != nullptr && m_configMgrPtr != nullptr)
        FwConfigKeys::applyLogLevel(*m_configMgrPtr, *m_loggerPtr);

    if (m_configMgrPtr == nullptr || initialize() != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : FILE_OPEN_ERROR;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] returned from initialize(). Prepare to terminate.", code);
        // What started is stopped in reverse order; the start is a failure
        // whatever the final status write gives.
        if (m_threadsStarted)
        {
            m_thdMgr.stopAppThreads(true);
            m_thdMgr.stopFwThreads(true);
        }
        m_state = STOP_STATE;
        m_termType = UNEXPECTED_TERMINATION;
        writeFinalStatus();
        return fwFail(code, -1);
    }

    while (m_state <= STANDBY_MODE_SWITCHING_STATE && m_state != STOP_STATE)
    {
        if (stopIfStartAbandoned())
            break;
        int32 result = 0;
        switch (m_state)
        {
        case STARTING_STATE:
            result = m_startState->waitForEvent();
            break;
        case WAIT_STATE:
            result = m_waitState->waitForEvent();
            break;
        case CMD_PROCESS_STATE:
            result = m_cmdProcState->getCommand();
            break;
        case HEALTH_CHECK_STATE:
            result = m_healthChkState->runHealthCheck(m_useFwAgent && !m_gblData.m_runAsFwMiddleware);
            break;
        case RESTART_STATE:
            result = m_restartState->proceedRestart();
            break;
        case ACTIVE_MODE_SWITCHING_STATE:
            result = m_activeModeSwState->waitForEvent();
            break;
        case STANDBY_MODE_SWITCHING_STATE:
            result = m_standbyModeSwState->waitForEvent();
            break;
        default:
            break;
        }
        if (result != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
    }
    if (m_state != STOP_STATE)
        fwLog(LOG_LEVEL_CRITICAL, "Terminating application without going through Stop State");
    writeFinalStatus();
    m_thdMgr.cleanup();
    if (m_startFailCode != 0)
        return fwFail(m_startFailCode, -1);
    return 0;
}
