// The framework's lock for shared tables and multi-writer queues: a spin lock
// when the process runs in LOW_LATENCY mode, a recursive robust mutex in
// CPU_UTILIZATION mode. The mode is read once, at construction; a later mode
// change does not change an existing lock. Usable from any thread of the
// process; recursive for the holding thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

class GlobalData;
class MutexLock;
class SpinLock;

class ResourceLock
{
public:
    ResourceLock();
    virtual ~ResourceLock();

    ResourceLock(const ResourceLock&) = delete;
    ResourceLock& operator=(const ResourceLock&) = delete;

    // Time-out in microseconds: above 0 bounded, 0 a single try, below 0 no limit.
    int32 lock(int32 timeout);
    int32 unlock();

    // Recovery only: frees a spin lock whoever holds it; nothing for a mutex.
    int32 reset();

private:
    MutexLock* m_mutexLockPtr = nullptr;
    SpinLock* m_spinLockPtr = nullptr;
    GlobalData& m_gblData;
};
