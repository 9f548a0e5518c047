// A recursive, robust mutex between the threads of one process. The holder may
// lock it again; a thread that ends while holding it does not block the others
// for ever: the next locker takes it over (the data it guards is not repaired).
//
// Time-outs are in microseconds: above 0 a bounded wait, 0 a single try,
// below 0 no limit. Failures return -1 with the framework error code set.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <pthread.h>

class MutexLock
{
public:
    // A failure to initialise sets the error code; lock and unlock then fail
    // with INVALID_LOCK instead of touching an uninitialised mutex.
    MutexLock();
    virtual ~MutexLock();

    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    int32 lock(int32 timeout);
    int32 unlock();

    // Tests make locks fail through this: when set, it is asked before every
    // lock, and a non-zero answer is the error number the lock fails with
    // (the mutex is not taken). Null: locks only fail as the system fails them.
    using LockFault = int (*)(const MutexLock* lock);
    static void setLockFault(LockFault fault);

private:
    pthread_mutex_t m_lockHandle{};
    pthread_mutexattr_t m_lockAttr{};
    bool m_initialised = false;
};
