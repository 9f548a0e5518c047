// Finds a named crypto object of one kind in the service registry.
#pragma once

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ServiceResource.h"

// The registered object, or null with CRYPTO_OBJ_NOT_FOUND.
template <typename T>
T* lookupCryptoObject(const char* nameTxt, ResourceManager::ServiceResourceType resType)
{
    void* object = nullptr;
    if (nameTxt == nullptr || !ServiceResource::lookup(nameTxt, &object, resType) || object == nullptr)
        return fwFail(CRYPTO_OBJ_NOT_FOUND, static_cast<T*>(nullptr));
    return static_cast<T*>(object);
}
