#include "FendralCore/foundation/ResourceLock.h"

#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/MutexLock.h"
#include "FendralCore/foundation/SpinLock.h"

#include <new>

ResourceLock::ResourceLock() : m_gblData(GlobalData::getInst())
{
    if (m_gblData.m_optMode.load() == CPU_UTILIZATION)
        m_mutexLockPtr = new (std::nothrow) MutexLock();
    else
        m_spinLockPtr = new (std::nothrow) SpinLock();
}

ResourceLock::~ResourceLock()
{
    delete m_mutexLockPtr;
    delete m_spinLockPtr;
}

int32 ResourceLock::lock(int32 timeout)
{
    if (m_spinLockPtr != nullptr)
        return m_spinLockPtr->lock(timeout);
    if (m_mutexLockPtr != nullptr)
        return m_mutexLockPtr->lock(timeout);
    return -1;
}

int32 ResourceLock::unlock()
{
    if (m_spinLockPtr != nullptr)
        return m_spinLockPtr->unlock();
    if (m_mutexLockPtr != nullptr)
        return m_mutexLockPtr->unlock();
    return -1;
}

int32 ResourceLock::reset()
{
    if (m_spinLockPtr != nullptr)
        return m_spinLockPtr->reset();
    return 0;
}
