// Messaging, events and the thread's context: each call is a door to the
// calling thread's dispatcher. In middleware mode a thread of the
// application's own goes through the "MIDDLEWARE_MD" dispatcher, under its
// lock, where the call allows it.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwServices.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/DatInfo.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace
{
bool runAsMiddleware()
{
    return std::atomic_ref<bool>(GlobalData::getInst().m_runAsFwMiddleware).load(std::memory_order_acquire);
}

// Any thread's dispatcher, else the middleware one (NOT_IN_THREAD_CONTEXT or
// MIDDLEWARE_MD_NOT_AVAILABLE when neither can take the call).
template <typename Op>
int withAnyDispatcher(const char* who, Op op)
{
    return apiGuard(who, -1, [&]() -> int {
        if (MsgDispatcher* own = MsgDispatcher::getMsgDispatcher())
            return op(*own);
        if (!runAsMiddleware())
            return fwFail(NOT_IN_THREAD_CONTEXT, -1);
        std::lock_guard<std::mutex> lock(MsgDispatcher::middlewareLock());
        MsgDispatcher* md = MsgDispatcher::getMiddlewareDispatcher();
        if (md == nullptr)
            return fwFail(MIDDLEWARE_MD_NOT_AVAILABLE, -1);
        return op(*md);
    });
}

// Only a framework application thread may make the call.
template <typename Op>
int withOwnDispatcher(const char* who, Op op)
{
    return apiGuard(who, -1, [&]() -> int {
        if (MsgDispatcher* own = MsgDispatcher::getMsgDispatcher())
            return op(*own);
        return fwFail(runAsMiddleware() ? FUNC_NOT_ALLOWED_IN_MIDDLEWARE : NOT_IN_THREAD_CONTEXT, -1);
    });
}
} // namespace

int setAppObjectPtr(void* appObjectPtr)
{
    return withAnyDispatcher("setAppObjectPtr", [&](MsgDispatcher& md) {
        md.setAppObjectPtr(appObjectPtr);
        return 0;
    });
}

void* getAppObjectPtr()
{
    return apiGuard("getAppObjectPtr", static_cast<void*>(nullptr), [&]() -> void* {
        if (MsgDispatcher* own = MsgDispatcher::getMsgDispatcher())
            return own->getAppObjectPtr();
        if (!runAsMiddleware())
            return nullptr;
        std::lock_guard<std::mutex> lock(MsgDispatcher::middlewareLock());
        MsgDispatcher* md = MsgDispatcher::getMiddlewareDispatcher();
        return md != nullptr ? md->getAppObjectPtr() : nullptr;
    });
}

int getCurrentThreadName(char* threadNameTxt)
{
    return withAnyDispatcher("getCurrentThreadName", [&](MsgDispatcher& md) {
        if (threadNameTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        std::memcpy(threadNameTxt, md.getThreadName(), sizeof(ResourceName) - 1);
        threadNameTxt[sizeof(ResourceName) - 1] = '\0';
        return 0;
    });
}

int sendThreadMessage(const char* threadNameTxt, const char* msgPtr, int msgLen, bool highPriority)
{
    return withOwnDispatcher("sendThreadMessage", [&](MsgDispatcher& md) {
        return md.sendThreadMessage(threadNameTxt, msgPtr, msgLen, highPriority);
    });
}

int sendThreadMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen, bool highPriority)
{
    return withOwnDispatcher("sendThreadMessage2", [&](MsgDispatcher& md) {
        return md.sendThreadMessage(resHandle, msgPtr, msgLen, highPriority);
    });
}

int setApplThreadHealthCheckInterval(unsigned int healthChkInterval)
{
    return withOwnDispatcher("setApplThreadHealthCheckInterval", [&](MsgDispatcher& md) {
        md.setStatusTimerInterval(healthChkInterval);
        return 0;
    });
}

int resetApplThreadHealthCheckTimer()
{
    return withOwnDispatcher("resetApplThreadHealthCheckTimer", [&](MsgDispatcher& md) {
        md.updateStatusTimestamp();
        return 0;
    });
}

int getApplicationInfo(char* appIdTxt, int& appInstId, ApplicationSite& siteId, AppMode& appMode)
{
    return apiGuard("getApplicationInfo", -1, [&]() -> int {
        const GlobalData& gd = GlobalData::getInst();
        if (gd.m_appIdTxt[0] == '\0')
            return fwFail(NOT_IN_THREAD_CONTEXT, -1);
        if (appIdTxt == nullptr)
            return fwFail(NULL_PARAM, -1);
        std::memcpy(appIdTxt, gd.m_appIdTxt, sizeof(ApplicationID));
        appInstId = gd.m_appInstId;
        siteId = gd.m_siteId;
        appMode = gd.m_appMode.load();
        return 0;
    });
}

long dataStoreGetHandle(const char* datNameTxt)
{
    return apiGuard("dataStoreGetHandle", 0L, [&]() -> long {
        if (datNameTxt == nullptr)
            return 0L;
        return reinterpret_cast<long>(DatInfo::getHandle(datNameTxt));
    });
}

int appNotifyEndRecovery()
{
    return fwFail(FUNC_NOT_ALLOWED, -1);
}
