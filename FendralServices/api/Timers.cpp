// Timers of the calling framework thread. No middleware fall-back: only a
// framework application thread owns timers.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwServices.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/foundation/FrameworkErrno.h"

namespace
{
template <typename R, typename Op>
R withTimerOwner(const char* who, R failure, Op op)
{
    return apiGuard(who, failure, [&]() -> R {
        MsgDispatcher* own = MsgDispatcher::getMsgDispatcher();
        if (own == nullptr)
            return fwFail(NOT_IN_THREAD_CONTEXT, failure);
        return op(*own);
    });
}
} // namespace

int createTimer(const char* timerNameTxt, int millisecond, bool repetitive, long& timerHandle)
{
    return withTimerOwner("createTimer", -1, [&](MsgDispatcher& md) {
        int64 handle = 0;
        const int32 rc = md.createTimer(timerNameTxt, millisecond, repetitive, handle);
        if (rc == 0)
            timerHandle = static_cast<long>(handle);
        return rc;
    });
}

int createUTimer(const char* timerNameTxt, int microsecond, bool repetitive, long& timerHandle)
{
    return withTimerOwner("createUTimer", -1, [&](MsgDispatcher& md) {
        int64 handle = 0;
        const int32 rc = md.createUTimer(timerNameTxt, microsecond, repetitive, handle);
        if (rc == 0)
            timerHandle = static_cast<long>(handle);
        return rc;
    });
}

int startTimer(long timerHandle)
{
    return withTimerOwner("startTimer", -1, [&](MsgDispatcher& md) {
        return timerHandle == 0 ? fwFail(INVALID_TIMER_HANDLE, -1) : md.startTimer(static_cast<int64>(timerHandle));
    });
}

int startTimer(const char* timerNameTxt)
{
    return withTimerOwner("startTimer", -1, [&](MsgDispatcher& md) {
        return timerNameTxt == nullptr ? fwFail(NULL_PARAM, -1) : md.startTimer(timerNameTxt);
    });
}

int stopTimer(long timerHandle)
{
    return withTimerOwner("stopTimer", -1, [&](MsgDispatcher& md) {
        return timerHandle == 0 ? fwFail(INVALID_TIMER_HANDLE, -1) : md.stopTimer(static_cast<int64>(timerHandle));
    });
}

int stopTimer(const char* timerNameTxt)
{
    return withTimerOwner("stopTimer", -1, [&](MsgDispatcher& md) {
        return timerNameTxt == nullptr ? fwFail(NULL_PARAM, -1) : md.stopTimer(timerNameTxt);
    });
}

int removeTimer(long timerHandle)
{
    return withTimerOwner("removeTimer", -1, [&](MsgDispatcher& md) {
        return timerHandle == 0 ? fwFail(INVALID_TIMER_HANDLE, -1) : md.removeTimer(static_cast<int64>(timerHandle));
    });
}

int removeTimer(const char* timerNameTxt)
{
    return withTimerOwner("removeTimer", -1, [&](MsgDispatcher& md) {
        return timerNameTxt == nullptr ? fwFail(NULL_PARAM, -1) : md.removeTimer(timerNameTxt);
    });
}

long getTimerHandle(const char* timerNameTxt)
{
    return withTimerOwner("getTimerHandle", 0L, [&](MsgDispatcher& md) -> long {
        return timerNameTxt == nullptr ? fwFail(NULL_PARAM, 0L) : static_cast<long>(md.getTimerHandle(timerNameTxt));
    });
}
