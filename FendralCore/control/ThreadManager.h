// Turns registered thread resources into running threads and stops them
// again. Each thread runs one loop object: an application thread a message
// dispatcher, a framework thread its service, chosen by name from the table
// of framework thread kinds in ThreadManager.cpp. Every thread gets its two
// queues, its CPU mask and priority; framework threads start in a fixed order
// that depends on the application mode and stop in the reverse order, each
// with TERM, a bounded wait and, when forced, a cancellation.
//
// A thread is joined once: a joined thread is forgotten, and nothing signals,
// cancels or joins it again. Every thread blocks all signals, so only the
// control thread's signal descriptor takes them; a thread that ends on its own
// (or by an exception) tells its parent with SIGCHLD.
//
// Driven by the control thread (and the C API) only.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/ThreadService.h"

#include <vector>

class AppLogger;
class ConfigManager;
class GlobalData;
class ResourceManager;

class ThreadManager
{
public:
    static constexpr const char* WAIT_THREAD_TIMEOUT_LABEL = "THD_TERM_TIMEOUT";
    static constexpr const char* PRI_MSG_Q_BATCH_READ_SIZE_LABEL = "PRI_Q_READ_SIZE";
    static constexpr const char* NORM_MSG_Q_BATCH_READ_SIZE_LABEL = "NORM_Q_READ_SIZE";
    static constexpr int32 RES_LOCK_WAIT = 1000000;

    // The process's manager, over the process's registry and framework
    // configuration (the loops it starts use the same).
    static ThreadManager& getInst();

    ThreadManager();
    virtual ~ThreadManager();

    ThreadManager(const ThreadManager&) = delete;
    ThreadManager& operator=(const ThreadManager&) = delete;

    int32 startThread(ThreadResource* res);
    int32 startThread(const ResourceName& name);
    int32 startFwThreads(int32& count);
    int32 startAppThreads(int32& count);

    int32 stopThread(ThreadResource* res, bool forceTerminate);
    int32 stopThread(const ResourceName& name, bool forceTerminate);
    // Forced, each stops every thread of its kind even when one would not
    // end (logged by name), and reports the first failure.
    int32 stopFwThreads(bool forceTerminate);
    int32 stopAppThreads(bool forceTerminate);
    // Every active thread but the caller, forced.
    int32 stop();

    // True when some active thread has ended; each such thread is joined and
    // becomes RES_TERMINATED.
    bool checkThreadTerminate();
    // Topics opened as APPL_REPLICATE.
    int32 numOfAppRepliTopic();
    // Deletes both queues of every thread except "CTL_THREAD"; nothing while
    // a thread it started still runs.
    void cleanup();

    // Threads running now (started and not yet joined).
    int32 numOfRunningThreads() const { return static_cast<int32>(m_running.size()); }

    // The entry function of each kind of loop; the argument is the ThreadInfo.
    static void* runAppThread(void* info);
    static void* runFwStreamHdrThread(void* info);
    static void* runFwIpcReceiverThread(void* info);
    static void* runFwLoggerThread(void* info);
    static void* runFwMsgSvrThread(void* info);
    static void* runFwMsgReplicatorThread(void* info);
    // SIGCHLD to the thread's parent.
    static void threadExitHandler(ThreadResource* res);

private:
    ThreadService m_threadService;
    AppLogger* m_loggerPtr;
    const ConfigManager* m_configMgrPtr;
    int32 m_threadCount = 0;
    int32 m_threadTermTimeout;
    int32 m_priMsgQBatchReadSize;
    int32 m_normMsgQBatchReadSize;
    FwIntMessage m_eventMsg;
    ResourceManager& m_resMgr;
    GlobalData& m_gblData;
    std::vector<ThreadResource*> m_running;

    bool isRunning(const ThreadResource* res) const;
    void forget(const ThreadResource* res);
    // Joins without waiting (seconds 0) or up to seconds; 0 once joined.
    int32 tryJoin(ThreadResource* res, int32 seconds);
    int32 createQueues(ThreadResource* res, OptimizationMode mode, bool block, int32 normBatch, int32 priBatch);
    int32 lockThreadRes();
    // Walks the thread registry (under its lock when takeLock); visit
    // returns false to end the walk with the error code it left. 0 when the
    // walk reached its end.
    template <typename Visit>
    int32 walkThreads(bool takeLock, Visit visit);
    // Whether the framework thread runs in the current mode.
    bool fwThreadAllowed(const char* name);
    int32 startFwThread(const char* name, int32& count);
    int32 stopFwThread(const char* name, bool forceTerminate, const char* failText);
};
