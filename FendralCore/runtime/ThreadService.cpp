#include "FendralCore/runtime/ThreadService.h"

#include "FendralCore/foundation/ClockWaits.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sched.h>

namespace
{
// The affinity set covers 1024 CPUs (128 bytes); the mask names CPUs 0..63.
void fillCpuSet(int64 cpuBitmap, cpu_set_t& set)
{
    CPU_ZERO(&set);
    const uint64 bits = static_cast<uint64>(cpuBitmap);
    for (int cpu = 0; cpu < 64; ++cpu)
        if ((bits >> cpu) & 1U)
            CPU_SET(cpu, &set);
}

std::atomic<ThreadService::CancelCall> g_cancelCall{nullptr};

unsigned long idOf(pthread_t tid)
{
    return static_cast<unsigned long>(tid);
}

void storeResult(void* value, int** result)
{
    if (result != nullptr)
        *result = static_cast<int*>(value);
}

#if defined(__SANITIZE_ADDRESS__)
// Under the address sanitizer a cancelled thread's entry may leave stack marks
// that its own exit then trips over (see clearStackBelow); a thread whose entry
// is not the framework's guarded loop is started through this one, which
// clears them as the cancellation leaves it.
struct SanitizedStart
{
    ThreadService::ThreadEntry entry;
    void* arg;
};

void clearCancelledStack(void* top)
{
    clearStackBelow(top);
}

void* sanitizedStart(void* start)
{
    const SanitizedStart copy = *static_cast<SanitizedStart*>(start);
    delete static_cast<SanitizedStart*>(start);
    void* result = nullptr;
    pthread_cleanup_push(clearCancelledStack, __builtin_frame_address(0));
    result = copy.entry(copy.arg);
    pthread_cleanup_pop(0);
    return result;
}
#endif

int spawn(pthread_t& tid, const pthread_attr_t* attr, ThreadService::ThreadEntry entry, void* arg)
{
#if defined(__SANITIZE_ADDRESS__)
    auto* start = new SanitizedStart{entry, arg};
    const int rc = pthread_create(&tid, attr, sanitizedStart, start);
    if (rc != 0)
        delete start;
    return rc;
#else
    return pthread_create(&tid, attr, entry, arg);
#endif
}
} // namespace

ThreadService::ThreadService()
    : m_highestRtPriority(sched_get_priority_max(SCHED_FIFO)),
      m_highestNormPriority(sched_get_priority_max(SCHED_OTHER)),
      m_loggerPtr(GlobalData::getInst().getLogger()),
      m_gblData(GlobalData::getInst())
{
    const int rc = pthread_attr_init(&m_threadAttr);
    if (rc != 0)
    {
        logMessage(LOG_LEVEL_ERROR, "Error [%d] initializing pthread attribute", rc);
        return;
    }
    m_thdAttrInit = true;
}

ThreadService::~ThreadService()
{
    if (!m_thdAttrInit)
        return;
    const int rc = pthread_attr_destroy(&m_threadAttr);
    if (rc != 0)
        logMessage(LOG_LEVEL_ERROR, "Error [%d] destroying pthread attribute", rc);
}

void ThreadService::logMessage(int32 level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (m_loggerPtr != nullptr)
    {
        m_loggerPtr->logAndMirrorV(level, format, arguments);
    }
    else
    {
        std::vprintf(format, arguments);
        std::putchar('\n');
    }
    va_end(arguments);
}

int32 ThreadService::startThread(ThreadInfo* info, ThreadEntry entry)
{
    if (info == nullptr || entry == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    return createThread(info->tid, entry, info, info->cpuBitmap, info->priority, false);
}

int32 ThreadService::startThread(pthread_t& tid, ThreadEntry entry, void* arg, int64 cpuBitmap, int32 priority)
{
    if (entry == nullptr)
        return fwFail(INVALID_FUNC_ARG, -1);
    return createThread(tid, entry, arg, cpuBitmap, priority, true);
}

bool ThreadService::resetThreadAttr()
{
    if (!m_thdAttrInit)
        return false;
    pthread_attr_destroy(&m_threadAttr);
    const int rc = pthread_attr_init(&m_threadAttr);
    if (rc != 0)
    {
        m_thdAttrInit = false;
        logMessage(LOG_LEVEL_ERROR, "Error [%d] initializing pthread attribute", rc);
        return false;
    }
    return true;
}

int32 ThreadService::prepareThreadAttr(int64 cpuBitmap, int32 priority, bool maskAnyNonZero, bool withAffinity,
                                       bool& affinitySet)
{
    affinitySet = false;
    const bool applyMask = maskAnyNonZero ? cpuBitmap != 0 : cpuBitmap > 0;
    if (withAffinity && applyMask)
    {
        cpu_set_t set;
        fillCpuSet(cpuBitmap, set);
        const int rc = pthread_attr_setaffinity_np(&m_threadAttr, sizeof(set), &set);
        if (rc != 0)
        {
            char text[128];
            logMessage(LOG_LEVEL_INFO, "Error [%d] setting CPU affinity. %s", rc, strerror_r(rc, text, sizeof(text)));
        }
        else
        {
            affinitySet = true;
        }
    }

    const bool realTime = priority > m_highestNormPriority;
    sched_param param{};
    param.sched_priority = realTime ? std::min(priority, m_highestRtPriority) : priority;
    if (pthread_attr_setinheritsched(&m_threadAttr, PTHREAD_EXPLICIT_SCHED) != 0 ||
        pthread_attr_setschedpolicy(&m_threadAttr, realTime ? SCHED_FIFO : SCHED_OTHER) != 0 ||
        pthread_attr_setschedparam(&m_threadAttr, &param) != 0)
    {
        logMessage(LOG_LEVEL_INFO,
                   "Cannot set scheduler policy. Create the thread without specifying scheduler policy");
        return -1;
    }
    return 0;
}

int32 ThreadService::createThread(pthread_t& tid, ThreadEntry entry, void* arg, int64 cpuBitmap, int32 priority,
                                  bool maskAnyNonZero)
{
    if (!resetThreadAttr())
    {
        if (maskAnyNonZero)
        {
            logMessage(LOG_LEVEL_ERROR, "Error [%d] creating thread", -1);
            return fwFail(CREATE_THREAD_FAILED, -1);
        }
        logMessage(LOG_LEVEL_INFO, "Pthread attributes are not initialized. Create the thread without specifying "
                                   "CPU affinity and thread priority");
        return createDefaultThread(tid, entry, arg);
    }

    const bool realTime = priority > m_highestNormPriority;
    bool withAffinity = true;
    for (;;)
    {
        bool affinitySet = false;
        if (prepareThreadAttr(cpuBitmap, priority, maskAnyNonZero, withAffinity, affinitySet) != 0)
            return createDefaultThread(tid, entry, arg);

        const int rc = spawn(tid, &m_threadAttr, entry, arg);
        if (rc == 0)
        {
            logMessage(LOG_LEVEL_INFO, "Thread [%lX] created", idOf(tid));
            return 0;
        }
        if (rc == EPERM)
        {
            logMessage(LOG_LEVEL_INFO,
                       realTime ? "User has no right to set RT process priority. Create the thread without "
                                  "specifying RT priority"
                                : "User has no right to set process priority. Create the thread without "
                                  "specifying priority");
            return createDefaultThread(tid, entry, arg);
        }
        if (rc == EINVAL && affinitySet)
        {
            // The mask names no CPU this process may use: a refused mask never
            // stops the thread, it runs where its creator runs.
            logMessage(LOG_LEVEL_INFO, "Error [%d] setting CPU affinity [%lX]. Create the thread without CPU affinity",
                       rc, static_cast<unsigned long>(cpuBitmap));
            if (!resetThreadAttr())
                return createDefaultThread(tid, entry, arg);
            withAffinity = false;
            continue;
        }
        logMessage(LOG_LEVEL_ERROR, realTime ? "Error [%d] creating new RT thread" : "Error [%d] creating new thread",
                   rc);
        logMessage(LOG_LEVEL_ERROR, "Error [%d] creating thread", CREATE_THREAD_FAILED);
        return fwFail(CREATE_THREAD_FAILED, -1);
    }
}

int32 ThreadService::createDefaultThread(pthread_t& tid, ThreadEntry entry, void* arg)
{
    const int rc = spawn(tid, nullptr, entry, arg);
    if (rc != 0)
    {
        logMessage(LOG_LEVEL_ERROR, "Error [%d] creating thread", rc);
        return fwFail(CREATE_THREAD_FAILED, -1);
    }
    logMessage(LOG_LEVEL_INFO, "Thread [%lX] created", idOf(tid));
    return 0;
}

void ThreadService::setCancelCall(CancelCall call)
{
    g_cancelCall.store(call, std::memory_order_relaxed);
}

int32 ThreadService::stopThread(pthread_t tid)
{
    const CancelCall cancel = g_cancelCall.load(std::memory_order_relaxed);
    const int rc = cancel != nullptr ? cancel(tid) : pthread_cancel(tid);
    if (rc != 0)
    {
        logMessage(LOG_LEVEL_ERROR, "Error [%d] cancelling thread [%lX]", rc, idOf(tid));
        return fwFail(TERMINATE_THREAD_FAILED, -1);
    }
    return 0;
}

int32 ThreadService::waitThreadTermiante(pthread_t tid, int** result)
{
    void* value = nullptr;
    const int rc = pthread_join(tid, &value);
    if (rc != 0)
    {
        logMessage(LOG_LEVEL_ERROR, "Error [%d] joining with thread [%lX]", rc, idOf(tid));
        return fwFail(WAIT_THREAD_TERMIANTE_FAILED, -1);
    }
    storeResult(value, result);
    return 0;
}

int32 ThreadService::checkThreadTerminate(pthread_t tid, int** result, int32 seconds)
{
    void* value = nullptr;
    int rc;
    timespec now{};
    if (seconds != 0 && clock_gettime(CLOCK_MONOTONIC, &now) == 0)
    {
        // Monotonic and 64-bit: a clock step or a large timeout cannot cut the wait short.
        const int64 nanos = static_cast<int64>(now.tv_sec) * 1000000000 + now.tv_nsec +
                            static_cast<int64>(seconds) * 1000000000;
        timespec deadline{};
        deadline.tv_sec = nanos > 0 ? static_cast<time_t>(nanos / 1000000000) : 0;
        deadline.tv_nsec = nanos > 0 ? static_cast<long>(nanos % 1000000000) : 0;
        rc = ClockWaits::joinThreadUntil(tid, &value, deadline);
    }
    else
    {
        rc = pthread_tryjoin_np(tid, &value);
    }

    switch (rc)
    {
    case 0:
        storeResult(value, result);
        logMessage(LOG_LEVEL_NOTICE, "Thread [%lX] terminated", idOf(tid));
        return 0;
    case EBUSY:
    case ETIMEDOUT:
        return fwFail(WOULD_BLOCK, -1);
    case ESRCH:
        logMessage(LOG_LEVEL_NOTICE, "Thread [%lX] doesn't exist. Treat it as terminated.", idOf(tid));
        return 0;
    default:
        logMessage(LOG_LEVEL_ERROR, "Error [%d] joining with thread [%lX]", rc, idOf(tid));
        return fwFail(WAIT_THREAD_TERMIANTE_FAILED, -1);
    }
}

int32 ThreadService::signalThread(pthread_t tid, int32 sig)
{
    return pthread_kill(tid, sig);
}

int32 ThreadService::setSignalMask(const sigset_t* sigSet)
{
    if (sigSet == nullptr)
        return 0;
    static constexpr int KEPT_OPEN[] = {SIGHUP, SIGINT,  SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE,
                                        SIGALRM, SIGTERM, SIGCHLD, SIGTTIN, SIGTTOU};
    sigset_t blocked;
    sigfillset(&blocked);
    for (const int sig : KEPT_OPEN)
        if (sigismember(sigSet, sig) == 1)
            sigdelset(&blocked, sig);
    return pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
}
