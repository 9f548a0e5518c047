// The crypto objects handed out as handles by the crypto calls, by kind. A
// call checks its handle here before using it, so a handle that was removed,
// or one of another kind, or a stray pointer is refused with
// CRYPTO_INVALID_HANDLE instead of being dereferenced. Any thread.
#pragma once

#include "FendralCore/runtime/ResourceManager.h"

class CryptoHandles
{
public:
    using Kind = ResourceManager::ServiceResourceType;

    CryptoHandles() = delete;

    static void add(const void* handle, Kind kind);
    static void remove(const void* handle);
    static bool isLive(const void* handle, Kind kind);
};
