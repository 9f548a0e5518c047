#include "FendralCore/runtime/ServiceResource.h"

#include "FendralCore/foundation/FrameworkErrno.h"

namespace
{
// Runs op on the type's table under its lock; the op's code stays set on failure.
template <typename Op>
bool underTableLock(ResourceManager::ServiceResourceType resType, const char* resNameTxt, Op op)
{
    ResourceManager& registry = ResourceManager::getInst();
    if (registry.lockServiceRes(resType, ResourceManager::DEFAULT_RES_LOCK_TIMEOUT_MICRO) != 0)
        return false;
    ResourceName name{};
    ResourceManager::copyResourceName(name, resNameTxt);
    const bool done = op(registry, name) == 0;
    const int32 code = FrameworkErrno::m_fwErrno;
    registry.unlockServiceRes(resType);
    FrameworkErrno::m_fwErrno = code;
    return done;
}
} // namespace

bool ServiceResource::registerObject(const char* resNameTxt, void* serviceObjectPtr,
                                     ResourceManager::ServiceResourceType resType)
{
    return underTableLock(resType, resNameTxt, [&](ResourceManager& registry, const ResourceName& name) {
        return registry.registerServiceRes(resType, name, serviceObjectPtr);
    });
}

bool ServiceResource::unregisterObject(const char* resNameTxt, ResourceManager::ServiceResourceType resType)
{
    return underTableLock(resType, resNameTxt, [&](ResourceManager& registry, const ResourceName& name) {
        return registry.removeServiceRes(resType, name);
    });
}

bool ServiceResource::lookup(const char* resNameTxt, void** serviceObjectPtr,
                             ResourceManager::ServiceResourceType resType)
{
    if (serviceObjectPtr == nullptr)
        return fwFail(RES_NULL_OBJ_PTR, false);
    return underTableLock(resType, resNameTxt, [&](ResourceManager& registry, const ResourceName& name) {
        return registry.getServiceRes(resType, name, serviceObjectPtr);
    });
}
