#include "FendralCore/foundation/ResourceLockError.h"

#include "FendralCore/foundation/FwErrorNum.h"

#include <cerrno>

int32 ResourceLockError::getFwErrorCode(int errorCode)
{
    switch (errorCode)
    {
    case EPERM: return LOCK_NO_PERMISSION;
    case EAGAIN: return LOCK_NO_RES;
    case ENOMEM: return LOCK_NO_MEMORY;
    case EBUSY: return LOCK_BUSY;
    case EINVAL: return INVALID_LOCK;
    case EDEADLK: return LOCK_ALREADY_HOLD;
    case ETIMEDOUT: return LOCK_TIMEOUT;
    case ENOTRECOVERABLE: return LOCK_NOT_RECOVERABLE;
    default: return LOCK_UNKNOWN_ERROR;
    }
}
