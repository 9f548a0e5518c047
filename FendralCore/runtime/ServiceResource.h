// The locked front door to the registry's named service-object tables (files,
// data containers, database connections, crypto objects, locks, semaphores):
// every call holds the service type's table lock (one second at most), so
// objects can be created, found and destroyed from any thread; different
// types do not block each other.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/ResourceManager.h"

class ServiceResource
{
public:
    ServiceResource() = delete;

    // The name is cut to 16 characters. Each returns true on success, else
    // false with the code: RES_SVC_OBJ_TYPE_INVALID, the lock's code, a name
    // code, RES_NAME_EXIST, RES_NOT_EXIST or RES_NULL_OBJ_PTR.
    static bool registerObject(const char* resNameTxt, void* serviceObjectPtr,
                               ResourceManager::ServiceResourceType resType);
    static bool unregisterObject(const char* resNameTxt, ResourceManager::ServiceResourceType resType);
    static bool lookup(const char* resNameTxt, void** serviceObjectPtr, ResourceManager::ServiceResourceType resType);
};
