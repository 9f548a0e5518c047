// Creates, cancels and joins the framework's threads. Every thread gets an
// optional CPU affinity mask and either normal (SCHED_OTHER, priority <= 0) or
// real-time FIFO scheduling (priority 1.., cut to the system maximum); when the
// system refuses the scheduling or the mask, the thread is created anyway with
// default attributes.
//
// One instance creates threads from one thread at a time (the thread manager
// and the C API each own one); the other operations may run on any thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FrameworkResource.h"

#include <pthread.h>
#include <signal.h>

class AppLogger;
class GlobalData;

class ThreadService
{
public:
    using ThreadEntry = void* (*)(void*);

    ThreadService();
    ~ThreadService();

    ThreadService(const ThreadService&) = delete;
    ThreadService& operator=(const ThreadService&) = delete;

    // Runs entry(info) with info->cpuBitmap (when above 0) and info->priority;
    // the id goes to info->tid. 0, or -1 with CREATE_THREAD_FAILED.
    int32 startThread(ThreadInfo* info, ThreadEntry entry);
    // The same for any argument; the mask applies whenever it is not 0. Without
    // a usable attribute object this form fails rather than fall back.
    int32 startThread(pthread_t& tid, ThreadEntry entry, void* arg, int64 cpuBitmap, int32 priority);

    // pthread_cancel; -1 with TERMINATE_THREAD_FAILED.
    int32 stopThread(pthread_t tid);
    // The cancel call of stopThread, replaceable by tests: the system's never
    // fails for a thread id it issued. Null: pthread_cancel.
    using CancelCall = int (*)(pthread_t tid);
    static void setCancelCall(CancelCall call);
    // pthread_join; -1 with WAIT_THREAD_TERMIANTE_FAILED. result may be null.
    int32 waitThreadTermiante(pthread_t tid, int** result);
    // 0 when the thread has ended and is joined (or does not exist); -1 with
    // WOULD_BLOCK while it runs after waiting up to seconds (0: no wait).
    int32 checkThreadTerminate(pthread_t tid, int** result, int32 seconds);
    // pthread_kill's result; signal 0 tests that the thread exists.
    int32 signalThread(pthread_t tid, int32 sig);

    // Blocks in the calling thread every signal except those of SIGHUP, SIGINT,
    // SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGCHLD, SIGTTIN
    // and SIGTTOU that sigSet holds; nothing is unblocked. Null does nothing.
    static int32 setSignalMask(const sigset_t* sigSet);

    // Through the framework logger, or to standard output without one.
    void logMessage(int32 level, const char* format, ...) __attribute__((format(printf, 3, 4)));

private:
    pthread_attr_t m_threadAttr;
    bool m_thdAttrInit = false;
    int32 m_highestRtPriority;
    int32 m_highestNormPriority;
    AppLogger* m_loggerPtr;
    GlobalData& m_gblData;

    int32 createThread(pthread_t& tid, ThreadEntry entry, void* arg, int64 cpuBitmap, int32 priority,
                       bool maskAnyNonZero);
    // A fresh attribute object per creation, so one thread's mask or
    // scheduling never carries over to the next.
    bool resetThreadAttr();
    // 0, or -1 when the scheduling could not be set on the attribute object.
    int32 prepareThreadAttr(int64 cpuBitmap, int32 priority, bool maskAnyNonZero, bool withAffinity,
                            bool& affinitySet);
    int32 createDefaultThread(pthread_t& tid, ThreadEntry entry, void* arg);
};
