// Maps an error number from a POSIX thread or semaphore call to a lock code.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

class ResourceLockError
{
public:
    static int32 getFwErrorCode(int errorCode);
};
