// A recursive busy-waiting lock between the threads of one process, for the
// low-latency mode: a waiter never sleeps and never yields the processor.
//
// Time-outs are in microseconds: above 0 a bounded spin, 0 a single try,
// below 0 no limit. Failures return -1 with the framework error code set.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <atomic>
#include <pthread.h>

class SpinLock
{
public:
    SpinLock();
    virtual ~SpinLock();

    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    int32 lock(int32 timeout);

    // Only the holder may unlock; an unlock by another thread, or of a lock
    // that nobody holds, is refused with LOCK_NO_PERMISSION and changes nothing.
    int32 unlock();

    // Recovery only: frees the lock whoever holds it. A holder that is still
    // inside its critical section loses the exclusion, and its own later
    // unlock is refused.
    int32 reset();

private:
    std::atomic<int32> m_lockCount{0};
    pthread_spinlock_t m_lockHandle{};
    std::atomic<uint64> m_lockTid{0};
    std::atomic<bool> m_lockTidValid{false};
    bool m_initialised = false;

    bool heldByCaller() const;
    void markHeld();
};
