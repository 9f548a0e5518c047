#include "FendralCore/control/ThreadManager.h"

#include "FendralCore/control/CtlThdBaseState.h"
#include "FendralCore/dispatch/IpcReceiver.h"
#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/dispatch/NetReceiver.h"
#include "FendralCore/dispatch/StreamHandler.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MessagingService.h"
#include "FendralCore/messaging/MsgReplicator.h"
#include "FendralCore/messaging/ReplicationReceiver.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/Logger.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <signal.h>
#include <unistd.h>

namespace
{
bool sameName(const ResourceName& name, const char* text)
{
    return std::strncmp(name, text, sizeof(ResourceName)) == 0;
}

ThreadResource* resourceOf(void* info)
{
    return static_cast<ThreadResource*>(static_cast<ThreadInfo*>(info)->argvPtr);
}

void blockAllSignals()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

void logPeakUsage(ThreadResource* res)
{
    FwMessageQueue* high = res->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = res->msgQueuePtrArray[MQUEUE_NORMAL];
    fwLog(LOG_LEVEL_INFO, "Peak message queue usage: high priority queue [%d], normal priority queue [%d].",
          high != nullptr ? high->getMaxUsage() : 0, normal != nullptr ? normal->getMaxUsage() : 0);
}

// The shape every loop of a thread has: the loop object is made, run, and
// destroyed; a thread that ends other than by TERM, or by an exception, tells
// the control thread. Cancellation passes through the guard (and sends
// nothing: the canceller already knows).
template <typename Make>
void* runLoop(void* info, const char* who, Make make)
{
    blockAllSignals();
    ThreadResource* res = resourceOf(info);
    AppLogger::setThreadName(res->threadNameTxt);
    // Operators (and the agent tool) see the framework's names in /proc; the
    // system keeps 15 characters.
    char osName[16] = {};
    std::memcpy(osName, res->threadNameTxt, sizeof(osName) - 1);
    pthread_setname_np(pthread_self(), osName);
    int32 execExitHdr = 0;
    const int32 result = runGuarded(
        who,
        [&]() -> int32 {
            auto loop = make(res);
            const int32 r = loop->run(execExitHdr);
            logPeakUsage(res);
            return r;
        },
        [&] { execExitHdr = 1; });
    if (execExitHdr != 0)
        ThreadManager::threadExitHandler(res);
    return reinterpret_cast<void*>(static_cast<intptr_t>(result));
}

// The entry of a framework thread whose loop has the receiving threads'
// constructor shape (thread record, registry, global data, configuration).
template <typename Loop>
void* runServiceLoop(void* info)
{
    return runLoop(info, "framework thread", [](ThreadResource* res) {
        GlobalData& gd = GlobalData::getInst();
        return std::make_unique<Loop>(res, ResourceManager::getInst(), gd, gd.getConfigManager());
    });
}

// The framework threads' loops by name. Queues of MSG_REPLICATOR follow the
// application threads' batch settings and do not block; the others block and
// read 100 at a time. A registered framework thread whose loop is not in this
// table fails to start (1605); a loop of the receiving threads' shape joins
// with one row, its entry being &runServiceLoop<TheLoop>.
struct FwThreadKind
{
    const char* name;
    ThreadService::ThreadEntry entry;
    bool block;
};

const FwThreadKind FW_THREAD_KINDS[] = {
    {"LOGGER", &ThreadManager::runFwLoggerThread, true},
    {"NET_RECEIVER", &runServiceLoop<NetReceiver>, true},
    {"DATA_STREAM_HDR", &ThreadManager::runFwStreamHdrThread, true},
    {"IPC_RECEIVER", &ThreadManager::runFwIpcReceiverThread, true},
    {"MSG_SERVICE", &ThreadManager::runFwMsgSvrThread, true},
    {"MSG_REPLICATOR", &ThreadManager::runFwMsgReplicatorThread, false},
};

const FwThreadKind* findFwThreadKind(const ResourceName& name)
{
    for (const FwThreadKind& kind : FW_THREAD_KINDS)
        if (sameName(name, kind.name))
            return &kind;
    return nullptr;
}

} // namespace

ThreadManager& ThreadManager::getInst()
{
    static ThreadManager instance;
    return instance;
}

ThreadManager::ThreadManager()
    : m_loggerPtr(GlobalData::getInst().getLogger()),
      m_configMgrPtr(GlobalData::getInst().getConfigManager()),
      m_resMgr(ResourceManager::getInst()),
      m_gblData(GlobalData::getInst())
{
    FwConfigKeys::ThreadMgrSettings settings{};
    if (m_configMgrPtr != nullptr)
        FwConfigKeys::readThreadMgrKeys(*m_configMgrPtr, settings);
    else
        settings = {FwConfigKeys::DEFAULT_WAIT_THREAD_TIMEOUT, FwConfigKeys::DEFAULT_PRI_MSG_Q_BATCH_READ_SIZE,
                    FwConfigKeys::DEFAULT_NORM_MSG_Q_BATCH_READ_SIZE};
    m_threadTermTimeout = settings.threadTermTimeout;
    m_priMsgQBatchReadSize = settings.priMsgQBatchReadSize;
    m_normMsgQBatchReadSize = settings.normMsgQBatchReadSize;
    std::memset(&m_eventMsg, 0, sizeof(m_eventMsg));
    ResourceManager::copyResourceName(m_eventMsg.originatorTxt, "CTL_THREAD");
    m_eventMsg.appMsg.type = MSG_EVENT;
    m_running.reserve(16);
}

ThreadManager::~ThreadManager()
{
    const int32 apps = stopAppThreads(true);
    if (stopFwThreads(true) == 0 && apps == 0)
        cleanup();
}

bool ThreadManager::isRunning(const ThreadResource* res) const
{
    return std::find(m_running.begin(), m_running.end(), res) != m_running.end();
}

void ThreadManager::forget(const ThreadResource* res)
{
    m_running.erase(std::remove(m_running.begin(), m_running.end(), res), m_running.end());
}

int32 ThreadManager::tryJoin(ThreadResource* res, int32 seconds)
{
    if (!isRunning(res))
        return 0; // joined before: its id may belong to another thread now
    if (m_threadService.checkThreadTerminate(res->thdInfo.tid, nullptr, seconds) != 0)
        return -1;
    forget(res);
    return 0;
}

int32 ThreadManager::lockThreadRes()
{
    while (true)
    {
        if (m_resMgr.lockThreadRes(RES_LOCK_WAIT) == 0)
            return 0;
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == LOCK_TIMEOUT)
        {
            fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for the resource lock, proceed anyway.");
            return -1;
        }
        fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to acquire the thread resource lock. Sleep for 1 second and retry.",
              code);
        ::sleep(1);
    }
}

int32 ThreadManager::createQueues(ThreadResource* res, OptimizationMode mode, bool block, int32 normBatch,
                                  int32 priBatch)
{
    const int32 batch[MQUEUE_TYPE_NUM] = {normBatch, priBatch};
    for (int32 q = 0; q < MQUEUE_TYPE_NUM; ++q)
    {
        if (res->msgQueuePtrArray[q] != nullptr)
        {
            res->msgQueuePtrArray[q]->reset();
            res->msgQueuePtrArray[q]->resetMaxUsage();
            continue;
        }
        auto* queue = new (std::nothrow) FwMessageQueue(static_cast<uint32>(res->msgQueueLen), false, true, mode,
                                                        block, static_cast<uint32>(batch[q]));
        if (queue == nullptr || queue->getFileDescriptor() < 0)
        {
            delete queue;
            return fwFail(CREATE_THREAD_FAILED, -1);
        }
        res->msgQueuePtrArray[q] = queue;
    }
    return 0;
}

int32 ThreadManager::startThread(ThreadResource* res)
{
    if (res == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    res->thdInfo.argvPtr = res;
    if (res->status.load() == RES_ACTIVE)
        return 0;

    ThreadService::ThreadEntry entry = nullptr;
    OptimizationMode mode = m_gblData.m_optMode.load();
    if (res->appThread)
    {
        if (res->thdOptimiz == LATENCY_OPTIMIZATION)
            mode = LOW_LATENCY;
        if (createQueues(res, mode, false, m_normMsgQBatchReadSize, m_priMsgQBatchReadSize) != 0)
            return -1;
        entry = &ThreadManager::runAppThread;
    }
    else
    {
        const FwThreadKind* kind = findFwThreadKind(res->threadNameTxt);
        if (kind == nullptr)
        {
            fwLog(LOG_LEVEL_ERROR, "Unexpected framework thread [%.16s], error [%d]", res->threadNameTxt,
                  RES_THREAD_NOT_EXIST);
            return fwFail(RES_THREAD_NOT_EXIST, -1);
        }
        const bool appBatch = !kind->block;
        if (createQueues(res, mode, kind->block, appBatch ? m_normMsgQBatchReadSize : 100,
                         appBatch ? m_priMsgQBatchReadSize : 100) != 0)
            return -1;
        entry = kind->entry;
    }

    res->thdInfo.id = m_threadCount;
    res->thdInfo.ptid = pthread_self();
    res->lastStatusUpdTm.store(::time(nullptr));
    // Active before the thread runs: its first sends look its own record up.
    res->status.store(RES_ACTIVE);
    if (m_threadService.startThread(&res->thdInfo, entry) != 0)
    {
        res->status.store(RES_REGISTERED);
        return -1;
    }
    m_running.push_back(res);
    ++m_threadCount;
    fwLog(LOG_LEVEL_NOTICE, "[%.16s] started in optimization mode [%d]. TID [%lX], message queue length [%d].",
          res->threadNameTxt, mode, static_cast<unsigned long>(res->thdInfo.tid), res->msgQueueLen);
    return 0;
}

int32 ThreadManager::startThread(const ResourceName& name)
{
    ThreadResource* res = nullptr;
    if (m_resMgr.getThreadRes(name, &res) != 0)
        return -1;
    return startThread(res);
}

bool ThreadManager::fwThreadAllowed(const char* name)
{
    const bool active = m_gblData.m_appMode.load() == ACTIVE_MODE;
    if (std::strcmp(name, "LOGGER") == 0)
        return m_gblData.m_enableLoggerThread;
    if (std::strcmp(name, "NET_RECEIVER") == 0)
        return active || m_gblData.m_enableTcpInStandbyMode || m_gblData.m_enableUdpInStandbyMode;
    if (std::strcmp(name, "DATA_STREAM_HDR") == 0)
        return active || m_gblData.m_enableTcpInStandbyMode;
    if (std::strcmp(name, "IPC_RECEIVER") == 0)
        return active || m_gblData.m_enableIpcInStandbyMode;
    if (std::strcmp(name, "MSG_SERVICE") == 0)
        return active || m_gblData.m_repliServiceEnabled || m_gblData.m_enableTopicInStandbyMode ||
               numOfAppRepliTopic() >= 1 || m_gblData.m_mrmApplication;
    return true; // MSG_REPLICATOR runs in every mode
}

int32 ThreadManager::startFwThread(const char* name, int32& count)
{
    if (!fwThreadAllowed(name))
        return 0;
    ResourceName resName{};
    ResourceManager::copyResourceName(resName, name);
    ThreadResource* res = nullptr;
    if (m_resMgr.getThreadRes(resName, &res) != 0 && FrameworkErrno::m_fwErrno == RES_NOT_EXIST)
        return 0;
    if (res != nullptr && res->status.load() == RES_ACTIVE)
        return 0; // left alone and not counted
    if (res == nullptr || startThread(res) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Failed to start [%s], error [%d]", name, code);
        return fwFail(code, -1);
    }
    ++count;
    return 0;
}

int32 ThreadManager::startFwThreads(int32& count)
{
    count = 0;
    static constexpr const char* ORDER[] = {"LOGGER",      "NET_RECEIVER", "DATA_STREAM_HDR",
                                            "IPC_RECEIVER", "MSG_SERVICE",  "MSG_REPLICATOR"};
    for (const char* name : ORDER)
        if (startFwThread(name, count) != 0)
            return -1;
    return 0;
}

template <typename Visit>
int32 ThreadManager::walkThreads(bool takeLock, Visit visit)
{
    const bool locked = takeLock && lockThreadRes() == 0;
    ResourceName name{};
    ThreadResource* res = nullptr;
    int32 walk = m_resMgr.getThreadFirstRes(name, &res);
    bool failed = false;
    while (walk == 0 && !failed)
    {
        failed = !visit(res);
        if (!failed)
            walk = m_resMgr.getThreadNextRes(name, &res);
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    if (locked)
        m_resMgr.unlockThreadRes();
    if (!failed && (code == RES_NEXT_END || code == RES_EMPTY))
        return 0;
    return fwFail(code, -1);
}

int32 ThreadManager::startAppThreads(int32& count)
{
    count = 0;
    int32 size = 0;
    if (m_resMgr.getThreadResSize(size) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Fail to get number of thread resource, error = %d", FrameworkErrno::m_fwErrno);
        return 0;
    }
    if (size == 0)
    {
        fwLog(LOG_LEVEL_INFO, "No thread registered");
        return 0;
    }
    return walkThreads(true, [&](ThreadResource* res) {
        if (!res->appThread || res->appCallbackFuncPtr == nullptr || res->status.load() == RES_ACTIVE)
            return true;
        // A thread whose pipeline is not registered is not started.
        for (int32 i = 0; i < res->numOfPipeline; ++i)
        {
            PipelineResource* pipeline = nullptr;
            if (m_resMgr.getPipelineRes(res->pipelineRec[i].pipelineNameTxt, &pipeline) != 0)
                return true;
            res->pipelineRec[i].pipelinePtr = pipeline->pipelinePtr;
        }
        if (startThread(res) != 0)
            return false;
        ++count;
        return true;
    });
}

int32 ThreadManager::stopThread(ThreadResource* res, bool forceTerminate)
{
    if (res == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    if (res->status.load() != RES_ACTIVE)
        return 0;
    // A thread already joined is never signalled or joined again.
    if (!isRunning(res) || tryJoin(res, 0) == 0)
    {
        res->status.store(RES_TERMINATED);
        return 0;
    }
    const int32 stillRunning = FrameworkErrno::m_fwErrno;
    const unsigned long tid = static_cast<unsigned long>(res->thdInfo.tid);

    FwMessageQueue* high = res->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    if (high != nullptr)
    {
        std::memcpy(m_eventMsg.recipientTxt, res->threadNameTxt, sizeof(ResourceName));
        m_eventMsg.msgSeqNum = ++CtlThdBaseState::m_msgSeqNum;
        clock_gettime(CLOCK_REALTIME, &m_eventMsg.tm);
        EventMsg& evt = m_eventMsg.appMsg.event;
        std::memset(&evt, 0, sizeof(evt));
        evt.id = TERM;
        evt.eventParam.paramInt16 = static_cast<int16>(m_gblData.m_siteId);
        evt.eventParam.paramInt32 = m_gblData.m_appMode.load();
        evt.eventParam.paramInt64 = m_gblData.m_appInstId;
        if (high->putMessage(&m_eventMsg) == 0)
            fwLog(LOG_LEVEL_NOTICE, "Sent TERM event to [%.16s]. TID [%lX].", res->threadNameTxt, tid);
        if (tryJoin(res, m_threadTermTimeout) == 0)
        {
            res->status.store(RES_TERMINATED);
            return 0;
        }
        if (!forceTerminate)
            return -1;
        fwLog(LOG_LEVEL_NOTICE, "[%.16s] does not terminate after sending TERM event for [%d] seconds. Cancel thread [%lX].",
              res->threadNameTxt, m_threadTermTimeout, tid);
    }
    else
    {
        if (!forceTerminate)
            return fwFail(stillRunning, -1);
        fwLog(LOG_LEVEL_NOTICE, "[%.16s] does not have message queue created. Cancel thread [%lX].",
              res->threadNameTxt, tid);
    }

    if (m_threadService.stopThread(res->thdInfo.tid) != 0)
        return -1;
    if (tryJoin(res, m_threadTermTimeout) != 0)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "[%.16s] does not terminate after calling pthread_cancel() to [%lX] for [%d] seconds. Proceed to stop "
              "other threads.",
              res->threadNameTxt, tid, m_threadTermTimeout);
        return -1;
    }
    res->status.store(RES_TERMINATED);
    return 0;
}

int32 ThreadManager::stopThread(const ResourceName& name, bool forceTerminate)
{
    ThreadResource* res = nullptr;
    if (m_resMgr.getThreadRes(name, &res) != 0)
        return -1;
    return stopThread(res, forceTerminate);
}

int32 ThreadManager::stopFwThread(const char* name, bool forceTerminate, const char* failText)
{
    // Whatever runs is stopped, whatever the mode now says: a switch to
    // active cut short by a stop starts threads of the active mode while the
    // mode is still standby (a thread not running is left as it is).
    ResourceName resName{};
    ResourceManager::copyResourceName(resName, name);
    ThreadResource* res = nullptr;
    if (m_resMgr.getThreadRes(resName, &res) != 0)
        return FrameworkErrno::m_fwErrno == RES_NOT_EXIST ? 0 : -1;
    if (stopThread(res, forceTerminate) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "%s, error = %d", failText, code);
        return fwFail(code, -1);
    }
    return 0;
}

int32 ThreadManager::stopFwThreads(bool forceTerminate)
{
    // Forced, every thread gets its stop even when one before it would not
    // end: a thread left running past the framework's end reads what main
    // then tears down.
    static constexpr struct
    {
        const char* name;
        const char* failText;
    } ORDER[] = {
        {"MSG_REPLICATOR", "Fail to stop Message Replicator"},
        {"MSG_SERVICE", "Fail to stop Messaging Service thread"},
        {"IPC_RECEIVER", "Fail to stop IPC Receiver"},
        {"DATA_STREAM_HDR", "Fail to stop Data Stream Handler"},
        {"NET_RECEIVER", "Fail to stop Network Receiver"},
        {"LOGGER", "Fail to stop Logger"},
    };
    int32 failure = 0;
    for (const auto& entry : ORDER)
    {
        if (stopFwThread(entry.name, forceTerminate, entry.failText) == 0)
            continue;
        if (failure == 0)
            failure = FrameworkErrno::m_fwErrno;
        if (!forceTerminate)
            break;
    }
    return failure == 0 ? 0 : fwFail(failure, -1);
}

int32 ThreadManager::stopAppThreads(bool forceTerminate)
{
    // Forced, the walk goes on past a thread that would not end, so that
    // every other one is stopped; the first failure is the result.
    int32 failure = 0;
    const int32 walked = walkThreads(true, [&](ThreadResource* res) {
        if (!res->appThread || stopThread(res, forceTerminate) == 0)
            return true;
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Fail to stop application thread [%.16s], error = %d", res->threadNameTxt, code);
        if (failure == 0)
            failure = code != 0 ? code : WAIT_THREAD_TERMIANTE_FAILED;
        return forceTerminate;
    });
    if (failure != 0)
        return fwFail(failure, -1);
    return walked;
}

int32 ThreadManager::stop()
{
    return walkThreads(true, [&](ThreadResource* res) {
        return res->status.load() != RES_ACTIVE || !isRunning(res) || pthread_equal(res->thdInfo.tid, pthread_self()) ||
               stopThread(res, true) == 0;
    });
}

bool ThreadManager::checkThreadTerminate()
{
    bool found = false;
    walkThreads(true, [&](ThreadResource* res) {
        if (res->status.load() == RES_ACTIVE && isRunning(res) && tryJoin(res, 0) == 0)
        {
            res->status.store(RES_TERMINATED);
            found = true;
        }
        return true;
    });
    return found;
}

int32 ThreadManager::numOfAppRepliTopic()
{
    ResourceName name{};
    MsgTopicResource* topic = nullptr;
    int32 count = 0;
    int32 walk = m_resMgr.getFirstMsgTopicRes(name, &topic);
    while (walk == 0)
    {
        if (topic->regParam.openType == APPL_REPLICATE)
            ++count;
        walk = m_resMgr.getNextMsgTopicRes(name, &topic);
    }
    return count;
}

void ThreadManager::cleanup()
{
    // A thread that would not end may still post to any thread's queue.
    if (!m_running.empty())
    {
        fwLog(LOG_LEVEL_ERROR, "[%.16s] still runs: the message queues are kept.", m_running.front()->threadNameTxt);
        return;
    }
    walkThreads(false, [&](ThreadResource* res) {
        if (!sameName(res->threadNameTxt, "CTL_THREAD"))
        {
            for (FwMessageQueue*& queue : res->msgQueuePtrArray)
            {
                delete queue;
                queue = nullptr;
            }
        }
        return true;
    });
}

void ThreadManager::threadExitHandler(ThreadResource* res)
{
    pthread_kill(res->thdInfo.ptid, SIGCHLD);
}

void* ThreadManager::runAppThread(void* info)
{
    return runLoop(info, "application thread", [](ThreadResource* res) {
        GlobalData& gd = GlobalData::getInst();
        return std::make_unique<MsgDispatcher>(res, ResourceManager::getInst(), gd.getConfigManager());
    });
}

void* ThreadManager::runFwStreamHdrThread(void* info)
{
    return runServiceLoop<StreamHandler>(info);
}

void* ThreadManager::runFwIpcReceiverThread(void* info)
{
    return runServiceLoop<IpcReceiver>(info);
}

void* ThreadManager::runFwLoggerThread(void* info)
{
    return runLoop(info, "LOGGER thread", [](ThreadResource* res) { return std::make_unique<Logger>(res); });
}

void* ThreadManager::runFwMsgSvrThread(void* info)
{
    return runServiceLoop<MessagingService>(info);
}

namespace
{
// MSG_REPLICATOR's two loops on one thread: on a standby the replication
// receiver, and once it ends with 2 (switched to active: the SW_ACTIVE it
// took is back at the head of its queue) the replicator; on an active the
// replicator at once.
class ReplicatorThreadLoop
{
public:
    static constexpr int32 SWITCHED_TO_ACTIVE = ReplicationReceiver::EXIT_SWITCH_ACTIVE;

    explicit ReplicatorThreadLoop(ThreadResource* res) : m_res(res) {}

    int32 run(int32& execExitHdr)
    {
        GlobalData& gd = GlobalData::getInst();
        if (gd.m_appMode.load() != ACTIVE_MODE)
        {
            int32 r = 0;
            {
                StandbyLoop receiver(m_res, ResourceManager::getInst(), gd, gd.getConfigManager());
                r = receiver.run(execExitHdr);
            }
            if (execExitHdr != SWITCHED_TO_ACTIVE)
                return r;
            logPeakUsage(m_res);
            for (FwMessageQueue* queue : m_res->msgQueuePtrArray)
                if (queue != nullptr)
                    queue->resetMaxUsage();
        }
        MsgReplicator replicator(m_res, ResourceManager::getInst(), gd, gd.getConfigManager());
        return replicator.run(execExitHdr);
    }

private:
    using StandbyLoop = ReplicationReceiver;
    ThreadResource* m_res;
};
} // namespace

void* ThreadManager::runFwMsgReplicatorThread(void* info)
{
    return runLoop(info, "Message Replicator",
                   [](ThreadResource* res) { return std::make_unique<ReplicatorThreadLoop>(res); });
}
