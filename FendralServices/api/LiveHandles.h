// The objects the exported calls hand out as raw addresses (files, locks,
// semaphores, logs, crypto objects), by kind. A call checks its handle here before using it,
// so a released handle, one of another kind or a stray pointer is refused
// with an error code instead of being dereferenced. Any thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

enum class LiveKind : int32
{
    FILE_OBJ = 0,
    LOCK_OBJ = 1,
    SEM_OBJ = 2,
    LOG_OBJ = 3,
    CRYPTO_DH = 4,
    CRYPTO_BF = 5,
    CRYPTO_RSA_PUBLIC = 6,
    CRYPTO_RSA_PRIVATE = 7,
};

class LiveHandles
{
public:
    LiveHandles() = delete;

    static void add(const void* handle, LiveKind kind);
    // True when it was live (of any kind) and is now gone.
    static bool remove(const void* handle);
    static bool isLive(const void* handle, LiveKind kind);
};
