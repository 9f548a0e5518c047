#include "FendralCore/foundation/SpinLock.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/ResourceLockError.h"

#include <cerrno>

namespace
{
uint64 selfId()
{
    return static_cast<uint64>(pthread_self());
}
} // namespace

SpinLock::SpinLock()
{
    const int rc = pthread_spin_init(&m_lockHandle, PTHREAD_PROCESS_PRIVATE);
    if (rc != 0)
    {
        FrameworkErrno::m_fwErrno = ResourceLockError::getFwErrorCode(rc);
        return;
    }
    m_initialised = true;
}

SpinLock::~SpinLock()
{
    if (m_initialised)
        pthread_spin_destroy(&m_lockHandle);
}

// The holder stores its id before raising the flag, so a thread that sees the
// flag raised reads the current holder's id, never a stale one of its own.
bool SpinLock::heldByCaller() const
{
    return m_lockTidValid.load() && m_lockTid.load() == selfId();
}

void SpinLock::markHeld()
{
    m_lockCount.fetch_add(1, std::memory_order_relaxed);
    m_lockTid.store(selfId());
    m_lockTidValid.store(true);
}

int32 SpinLock::lock(int32 timeout)
{
    if (!m_initialised)
        return fwFail(INVALID_LOCK, -1);
    if (heldByCaller())
    {
        m_lockCount.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    int rc;
    if (timeout > 0)
    {
        const int64 budget = static_cast<int64>(timeout) * 1000;
        const int64 start = MonoClock::nowNs();
        while ((rc = pthread_spin_trylock(&m_lockHandle)) == EBUSY)
        {
            if (MonoClock::nowNs() - start >= budget)
                return fwFail(LOCK_TIMEOUT, -1);
        }
    }
    else if (timeout == 0)
    {
        rc = pthread_spin_trylock(&m_lockHandle);
    }
    else
    {
        rc = pthread_spin_lock(&m_lockHandle);
    }
    if (rc != 0)
        return fwFail(ResourceLockError::getFwErrorCode(rc), -1);
    markHeld();
    return 0;
}

int32 SpinLock::unlock()
{
    if (!m_initialised)
        return fwFail(INVALID_LOCK, -1);
    if (!heldByCaller())
        return fwFail(LOCK_NO_PERMISSION, -1);
    if (m_lockCount.fetch_sub(1, std::memory_order_relaxed) > 1)
        return 0;
    m_lockTidValid.store(false);
    const int rc = pthread_spin_unlock(&m_lockHandle);
    if (rc != 0)
        return fwFail(ResourceLockError::getFwErrorCode(rc), -1);
    return 0;
}

int32 SpinLock::reset()
{
    if (!m_initialised)
        return fwFail(INVALID_LOCK, -1);
    m_lockTidValid.store(false);
    m_lockCount.store(0, std::memory_order_relaxed);
    const int rc = pthread_spin_unlock(&m_lockHandle);
    if (rc != 0)
        return fwFail(ResourceLockError::getFwErrorCode(rc), -1);
    return 0;
}
