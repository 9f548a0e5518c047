#include "FendralCore/runtime/DatInfo.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ServiceResource.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <unordered_set>

namespace
{
// Every DatInfo alive in the process. Never destroyed: handles may be
// deleted by static destructors after this file's statics are gone.
struct LiveHandles
{
    std::shared_mutex lock;
    std::unordered_set<const DatInfo*> handles;
    // Grows with every handle deleted; a thread's cached answer holds only
    // while it is unchanged.
    std::atomic<uint64> removals{0};
};

LiveHandles& liveHandles()
{
    static LiveHandles* const live = new LiveHandles();
    return *live;
}

// The last check this thread passed, with the removal count then: a loop of
// pushes and pops on one container checks its handle without the lock.
struct LastValid
{
    int64 handle = 0;
    uint64 removals = 0;
    int16 datType = 0;
    int32 keySize = 0;
    bool isSigned = false;
};
thread_local LastValid t_lastValid;
} // namespace

DatInfo::DatInfo(void* datPtr, const char* nameTxt, DataObjectType datType)
    : m_datPtr(datPtr), m_nameTxt{}, m_datType(datType), m_resRegistered(false), m_keySize(-1), m_isSigned(false)
{
    ResourceManager::copyResourceName(m_nameTxt, nameTxt);
    LiveHandles& live = liveHandles();
    std::unique_lock<std::shared_mutex> guard(live.lock);
    live.handles.insert(this);
}

DatInfo::~DatInfo()
{
    {
        LiveHandles& live = liveHandles();
        std::unique_lock<std::shared_mutex> guard(live.lock);
        live.handles.erase(this);
        live.removals.fetch_add(1, std::memory_order_release);
    }
    if (m_resRegistered)
        ServiceResource::unregisterObject(m_nameTxt, ResourceManager::RES_TYPE_DATA);
}

DatInfo* DatInfo::createDatInfo(void* datPtr, const char* nameTxt, DataObjectType datType)
{
    auto* handle = new DatInfo(datPtr, nameTxt, datType);
    if (!ServiceResource::registerObject(handle->m_nameTxt, handle, ResourceManager::RES_TYPE_DATA))
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        delete handle;
        FrameworkErrno::m_fwErrno = code;
        return nullptr;
    }
    handle->m_resRegistered = true;
    return handle;
}

DatInfo* DatInfo::getHandle(const char* nameTxt)
{
    void* handle = nullptr;
    if (!ServiceResource::lookup(nameTxt, &handle, ResourceManager::RES_TYPE_DATA))
        return nullptr;
    return static_cast<DatInfo*>(handle);
}

void DatInfo::setMapInfo(int32 keySize, bool isSigned)
{
    m_keySize = keySize;
    m_isSigned = isSigned;
}

void DatInfo::getMapInfo(int32& keySize, bool& isSigned) const
{
    keySize = m_keySize;
    isSigned = m_isSigned;
}

bool DatInfo::isValidHandle(int64 handle, int16 datType, int32 keySize, bool isSigned)
{
    if (handle == 0)
        return fwFail(DAT_HANDLE, false);
    LiveHandles& live = liveHandles();
    // Only passed checks are remembered, and a handle's kind and key type
    // never change once it has passed one: the same question is answered
    // again without the lock until some handle is deleted.
    const LastValid& last = t_lastValid;
    if (last.handle == handle && last.datType == datType && last.keySize == keySize && last.isSigned == isSigned &&
        last.removals == live.removals.load(std::memory_order_acquire))
        return true;
    const auto* info = reinterpret_cast<const DatInfo*>(static_cast<uintptr_t>(handle));
    // Held while the handle is read, so it cannot be deleted meanwhile.
    std::shared_lock<std::shared_mutex> guard(live.lock);
    if (live.handles.find(info) == live.handles.end())
        return fwFail(DAT_HANDLE, false);
    if (info->m_datType != datType)
        return fwFail(DAT_TYPE, false);
    if (keySize != -1 && (info->m_keySize != keySize || info->m_isSigned != isSigned))
        return fwFail(DAT_MAP_KEY_TYPE, false);
    t_lastValid = LastValid{handle, live.removals.load(std::memory_order_relaxed), datType, keySize, isSigned};
    return true;
}
