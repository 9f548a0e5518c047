#include "FendralCore/runtime/DatInfo.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ServiceResource.h"

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
};

LiveHandles& liveHandles()
{
    static LiveHandles* const live = new LiveHandles();
    return *live;
}
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
    const auto* info = reinterpret_cast<const DatInfo*>(static_cast<uintptr_t>(handle));
    LiveHandles& live = liveHandles();
    // Held while the handle is read, so it cannot be deleted meanwhile.
    std::shared_lock<std::shared_mutex> guard(live.lock);
    if (live.handles.find(info) == live.handles.end())
        return fwFail(DAT_HANDLE, false);
    if (info->m_datType != datType)
        return fwFail(DAT_TYPE, false);
    if (keySize != -1 && (info->m_keySize != keySize || info->m_isSigned != isSigned))
        return fwFail(DAT_MAP_KEY_TYPE, false);
    return true;
}
