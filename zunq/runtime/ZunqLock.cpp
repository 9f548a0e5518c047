#include "zunq/runtime/ZunqLock.h"

namespace
{

std::atomic<bool> gLockingEnabled{false};

} // namespace

ZunqLock::ZunqLock(int, void*, const char* name, int)
    : mName(name != nullptr ? name : "")
{
}

ZunqLock::~ZunqLock() = default;

void ZunqLock::acquire(int)
{
    mMutex.lock();
}

void ZunqLock::release()
{
    mMutex.unlock();
}

void ZunqLock::enableLocking(bool enable)
{
    gLockingEnabled.store(enable, std::memory_order_relaxed);
}

bool ZunqLock::lockingEnabled()
{
    return gLockingEnabled.load(std::memory_order_relaxed);
}
