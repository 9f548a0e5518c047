// The framework's limits: the calling thread's timers, the process's TCP
// connections.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwLimits.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"

int getTimerLimit()
{
    return apiGuard("getTimerLimit", -1, []() -> int {
        const MsgDispatcher* own = MsgDispatcher::getMsgDispatcher();
        if (own == nullptr)
            return fwFail(NOT_IN_THREAD_CONTEXT, -1);
        return own->getMaxTimers();
    });
}

int getTcpConnectionLimit()
{
    return apiGuard("getTcpConnectionLimit", -1,
                    []() -> int { return ResourceManager::getInst().getTcpConnResNumMax(); });
}
