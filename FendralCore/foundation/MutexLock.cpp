#include "FendralCore/foundation/MutexLock.h"

#include "FendralCore/foundation/ClockWaits.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/ResourceLockError.h"

#include <atomic>
#include <cerrno>

namespace
{
std::atomic<MutexLock::LockFault> g_lockFault{nullptr};
}

void MutexLock::setLockFault(LockFault fault)
{
    g_lockFault.store(fault, std::memory_order_relaxed);
}

MutexLock::MutexLock()
{
    int rc = pthread_mutexattr_init(&m_lockAttr);
    if (rc != 0)
    {
        FrameworkErrno::m_fwErrno = ResourceLockError::getFwErrorCode(rc);
        return;
    }
    rc = pthread_mutexattr_settype(&m_lockAttr, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0)
        rc = pthread_mutexattr_setrobust(&m_lockAttr, PTHREAD_MUTEX_ROBUST);
    if (rc == 0)
        rc = pthread_mutexattr_setpshared(&m_lockAttr, PTHREAD_PROCESS_PRIVATE);
    if (rc == 0)
        rc = pthread_mutex_init(&m_lockHandle, &m_lockAttr);
    pthread_mutexattr_destroy(&m_lockAttr);
    if (rc != 0)
    {
        FrameworkErrno::m_fwErrno = ResourceLockError::getFwErrorCode(rc);
        return;
    }
    m_initialised = true;
}

MutexLock::~MutexLock()
{
    if (m_initialised)
        pthread_mutex_destroy(&m_lockHandle);
}

int32 MutexLock::lock(int32 timeout)
{
    if (!m_initialised)
        return fwFail(INVALID_LOCK, -1);
    if (const LockFault fault = g_lockFault.load(std::memory_order_relaxed); fault != nullptr)
    {
        if (const int refused = fault(this); refused != 0)
            return fwFail(ResourceLockError::getFwErrorCode(refused), -1);
    }
    int rc;
    if (timeout > 0)
    {
        // Monotonic deadline: a wall-clock step neither stretches nor cuts the wait.
        const timespec deadline = MonoClock::deadlineAfterUs(timeout);
        rc = ClockWaits::lockMutexUntil(&m_lockHandle, deadline);
    }
    else if (timeout == 0)
    {
        rc = pthread_mutex_trylock(&m_lockHandle);
    }
    else
    {
        rc = pthread_mutex_lock(&m_lockHandle);
    }
    // The previous holder died: the mutex is ours, mark it usable again.
    if (rc == EOWNERDEAD)
        rc = pthread_mutex_consistent(&m_lockHandle);
    if (rc != 0)
        return fwFail(ResourceLockError::getFwErrorCode(rc), -1);
    return 0;
}

int32 MutexLock::unlock()
{
    if (!m_initialised)
        return fwFail(INVALID_LOCK, -1);
    const int rc = pthread_mutex_unlock(&m_lockHandle);
    if (rc != 0)
        return fwFail(ResourceLockError::getFwErrorCode(rc), -1);
    return 0;
}
