// Messaging, events and the thread's context: each call is a door to the
// calling thread's dispatcher. In middleware mode a thread of the
// application's own goes through the "MIDDLEWARE_MD" dispatcher, under its
// lock, where the call allows it.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwServices.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/AgentShmLayout.h"
#include "FendralCore/runtime/DatInfo.h"

#include <atomic>
#include <cstring>
#include <limits>
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
        // A value past the signed range means "as long as it gets", not a negative one.
        md.setStatusTimerInterval(healthChkInterval > static_cast<unsigned int>(std::numeric_limits<int32>::max())
                                      ? std::numeric_limits<int32>::max()
                                      : static_cast<int32>(healthChkInterval));
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

// ---- sends and requests on the framework's channels ----

namespace
{
// The forwarding thread of a send by name: a 17-byte field or none.
const char* fwdName(char (*msgFwdThreadNamePtr)[17], ResourceName& copy)
{
    if (msgFwdThreadNamePtr == nullptr)
        return nullptr;
    std::memcpy(copy, *msgFwdThreadNamePtr, sizeof(ResourceName));
    copy[sizeof(ResourceName) - 1] = '\0';
    return copy;
}
} // namespace

int sendTcpMessage(const char* connNameTxt, const char* msgPtr, int msgLen, char (*msgFwdThreadNamePtr)[17],
                   bool fwdMsgAtStdby)
{
    return withAnyDispatcher("sendTcpMessage", [&](MsgDispatcher& md) {
        ResourceName fwd{};
        return md.sendTcpMessage(connNameTxt, msgPtr, msgLen, fwdName(msgFwdThreadNamePtr, fwd), fwdMsgAtStdby);
    });
}

int sendTcpMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen,
                    ResourceHandle* msgFwdThdHandlePtr, bool fwdMsgAtStdby)
{
    return withAnyDispatcher("sendTcpMessage2", [&](MsgDispatcher& md) {
        return md.sendTcpMessage(resHandle, msgPtr, msgLen, msgFwdThdHandlePtr, fwdMsgAtStdby);
    });
}

int sendUdpMessage(const char* connNameTxt, const char* msgPtr, int msgLen, char (*msgFwdThreadNamePtr)[17],
                   bool fwdMsgAtStdby)
{
    return withAnyDispatcher("sendUdpMessage", [&](MsgDispatcher& md) {
        ResourceName fwd{};
        return md.sendUdpMessage(connNameTxt, msgPtr, msgLen, fwdName(msgFwdThreadNamePtr, fwd), fwdMsgAtStdby);
    });
}

int sendUdpMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen,
                    ResourceHandle* msgFwdThdHandlePtr, bool fwdMsgAtStdby)
{
    return withAnyDispatcher("sendUdpMessage2", [&](MsgDispatcher& md) {
        return md.sendUdpMessage(resHandle, msgPtr, msgLen, msgFwdThdHandlePtr, fwdMsgAtStdby);
    });
}

int sendTopicMessage(const char* topicNameTxt, const char* msgPtr, int msgLen, unsigned long* msgSeqNumPtr,
                     unsigned long applSeqNum, char (*msgFwdThreadNamePtr)[17], bool fwdMsgAtStdby)
{
    return withAnyDispatcher("sendTopicMessage", [&](MsgDispatcher& md) {
        ResourceName fwd{};
        uint64 seq = 0;
        const int32 rc = md.sendTopicMessage(topicNameTxt, msgPtr, msgLen, seq, applSeqNum,
                                             fwdName(msgFwdThreadNamePtr, fwd), fwdMsgAtStdby);
        if (rc == 0 && msgSeqNumPtr != nullptr)
            *msgSeqNumPtr = seq;
        return rc;
    });
}

int sendTopicMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen, unsigned long* msgSeqNumPtr,
                      unsigned long applSeqNum, ResourceHandle* msgFwdThdHandlePtr, bool fwdMsgAtStdby)
{
    return withAnyDispatcher("sendTopicMessage2", [&](MsgDispatcher& md) {
        uint64 seq = 0;
        const int32 rc = md.sendTopicMessage(resHandle, msgPtr, msgLen, seq, applSeqNum, msgFwdThdHandlePtr,
                                             fwdMsgAtStdby);
        if (rc == 0 && msgSeqNumPtr != nullptr)
            *msgSeqNumPtr = seq;
        return rc;
    });
}

int sendIpcMessage(const char* ipcNameTxt, const char* msgPtr, int msgLen)
{
    return withAnyDispatcher("sendIpcMessage",
                             [&](MsgDispatcher& md) { return md.sendIpcMessage(ipcNameTxt, msgPtr, msgLen); });
}

int sendIpcMessage2(const ResourceHandle& resHandle, const char* msgPtr, int msgLen)
{
    return withAnyDispatcher("sendIpcMessage2",
                             [&](MsgDispatcher& md) { return md.sendIpcMessage(resHandle, msgPtr, msgLen); });
}

int sendNetEvent(const char* connNameTxt, FwEventID eventId, AppEventParam* appEventParamPtr)
{
    return withAnyDispatcher("sendNetEvent", [&](MsgDispatcher& md) {
        return md.sendNetEvent(connNameTxt, eventId, appEventParamPtr);
    });
}

int sendMsgServiceEvent(const char* topicNameTxt, FwEventID eventId, AppEventParam* appEventParamPtr)
{
    return withAnyDispatcher("sendMsgServiceEvent", [&](MsgDispatcher& md) {
        return md.sendMsgServiceEvent(topicNameTxt, eventId, appEventParamPtr);
    });
}

int sendIpcEvent(const char* ipcNameTxt, FwEventID eventId, AppEventParam* appEventParamPtr)
{
    return withAnyDispatcher("sendIpcEvent", [&](MsgDispatcher& md) {
        return md.sendIpcEvent(ipcNameTxt, eventId, appEventParamPtr);
    });
}

int setMcastTtl(const char* connNameTxt, unsigned short ttl)
{
    return withAnyDispatcher("setMcastTtl", [&](MsgDispatcher& md) { return md.setMcastTtl(connNameTxt, ttl); });
}

int updateTcpChannel(const char* channelNameTxt, const char* remoteAddrTxt, unsigned short remotePort)
{
    return withAnyDispatcher("updateTcpChannel", [&](MsgDispatcher& md) {
        return md.updateTcpChannel(channelNameTxt, remoteAddrTxt, remotePort);
    });
}

int getResHandleByName(const char* resNameTxt, ResourceType resType, ResourceHandle& resHandle)
{
    return withAnyDispatcher("getResHandleByName", [&](MsgDispatcher& md) {
        return md.getResHandleByName(resNameTxt, resType, resHandle);
    });
}

int writeStatistic(StatisticCounter* statCounterPtr)
{
    return withAnyDispatcher("writeStatistic", [&](MsgDispatcher& md) {
        return statCounterPtr == nullptr ? fwFail(NULL_PARAM, -1) : md.writeStatistic(*statCounterPtr);
    });
}

int appNotifyEndRecovery()
{
    return fwFail(FUNC_NOT_ALLOWED, -1);
}
