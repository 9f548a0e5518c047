// Registration of the application's threads, connections, channels, topics,
// pipelines and callbacks with the framework's resource registry: each call
// checks what belongs to its kind, the registry does the rest.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwServices.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <atomic>
#include <cstring>

namespace
{
constexpr const char* REPL_SUFFIX = "_FW_REPL";
constexpr const char* RECO_SUFFIX = "_RECO";

bool runAsMiddleware()
{
    return std::atomic_ref<bool>(GlobalData::getInst().m_runAsFwMiddleware).load(std::memory_order_acquire);
}

bool endsWith(const char* name, size_t len, const char* suffix)
{
    const size_t suffixLen = std::strlen(suffix);
    return len >= suffixLen && std::memcmp(name + len - suffixLen, suffix, suffixLen) == 0;
}

// Names the framework gives its own replication and recovery topics.
bool isReservedTopicName(const char* name)
{
    const GlobalData& gd = GlobalData::getInst();
    if (gd.m_mrmApplication)
        return false;
    const size_t len = strnlen(name, sizeof(ResourceName));
    if (len > 8 && endsWith(name, len, REPL_SUFFIX))
        return true;
    if (len > 5 && endsWith(name, len, RECO_SUFFIX))
        return true;
    const size_t baseLen = strnlen(gd.m_mrmBaseName, sizeof(ApplicationID) - 1);
    return std::strncmp(name, gd.m_mrmBaseName, baseLen) == 0;
}

// The registry reads a whole name field; a caller's shorter text is copied
// into one first.
bool copyName(ResourceName& dest, const char* src)
{
    if (src == nullptr)
        return false;
    ResourceManager::copyResourceName(dest, src);
    return true;
}
} // namespace

int getErrorCode()
{
    return FrameworkErrno::m_fwErrno;
}

void copyResourceName(char (&destResName)[17], const char* srcResName)
{
    ResourceManager::copyResourceName(destResName, srcResName);
}

int initStructParam(StructParamType type, void* structParamPtr, int structSize)
{
    return apiGuard("initStructParam", -1, [&]() -> int {
        if (structParamPtr == nullptr)
            return fwFail(RES_NULL_STRUCT_PTR, -1);
        ResourceManager& registry = ResourceManager::getInst();
        auto sizeIs = [structSize](size_t size) { return structSize >= 0 && static_cast<size_t>(structSize) == size; };
        switch (type)
        {
        case THREAD_PARAM:
            if (!sizeIs(sizeof(ThreadParam)))
                return fwFail(RES_STRUCT_SIZE_INVALID, -1);
            registry.initThreadParam(*static_cast<ThreadParam*>(structParamPtr));
            return 0;
        case TCPCONN_PARAM:
            if (!sizeIs(sizeof(TcpConnParam)))
                return fwFail(RES_STRUCT_SIZE_INVALID, -1);
            registry.initTcpConnParam(*static_cast<TcpConnParam*>(structParamPtr));
            return 0;
        case UDPCONN_PARAM:
            if (!sizeIs(sizeof(UdpConnParam)))
                return fwFail(RES_STRUCT_SIZE_INVALID, -1);
            registry.initUdpConnParam(*static_cast<UdpConnParam*>(structParamPtr));
            return 0;
        case IPC_PARAM:
            if (!sizeIs(sizeof(IpcParam)))
                return fwFail(RES_STRUCT_SIZE_INVALID, -1);
            registry.initIpcParam(*static_cast<IpcParam*>(structParamPtr));
            return 0;
        case MSG_TOPIC_PARAM:
            if (!sizeIs(sizeof(MsgTopicParam)))
                return fwFail(RES_STRUCT_SIZE_INVALID, -1);
            registry.initMsgTopicParam(*static_cast<MsgTopicParam*>(structParamPtr));
            return 0;
        case PIPELINE_PARAM:
            if (!sizeIs(sizeof(PipelineParam)))
                return fwFail(RES_STRUCT_SIZE_INVALID, -1);
            registry.initPipelineParam(*static_cast<PipelineParam*>(structParamPtr));
            return 0;
        }
        return fwFail(RES_STRUCT_TYPE_UNKNNOWN, -1);
    });
}

int registerThread(const ThreadParam* paramPtr)
{
    return apiGuard("registerThread", -1, [&]() -> int {
        if (runAsMiddleware())
            return fwFail(FUNC_NOT_ALLOWED_IN_MIDDLEWARE, -1);
        if (paramPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        return ResourceManager::getInst().registerThreadRes(*paramPtr, true, nullptr);
    });
}

namespace
{
int registerTcp(const char* who, const TcpConnParam* paramPtr, TcpMode wanted)
{
    return apiGuard(who, -1, [&]() -> int {
        if (paramPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        if (paramPtr->tcpMode != wanted)
            return fwFail(RES_TCP_MODE_INVALID, -1);
        return ResourceManager::getInst().registerTcpConnRes(*paramPtr, nullptr, false);
    });
}

int registerUdp(const char* who, const UdpConnParam* paramPtr, bool (*modeOk)(UdpMode), int32 modeCode)
{
    return apiGuard(who, -1, [&]() -> int {
        if (paramPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        if (!modeOk(paramPtr->udpMode))
            return fwFail(modeCode, -1);
        return ResourceManager::getInst().registerUdpConnRes(*paramPtr, nullptr);
    });
}
} // namespace

int registerTcpConnection(const TcpConnParam* paramPtr)
{
    return registerTcp("registerTcpConnection", paramPtr, TCP_CLIENT_DATA_MODE);
}

int registerListenTcpConnection(const TcpConnParam* paramPtr)
{
    return registerTcp("registerListenTcpConnection", paramPtr, TCP_SERVER_LISTEN_MODE);
}

int registerUdpConnection(const UdpConnParam* paramPtr)
{
    // Modes are compared as numbers: a value outside the enumeration is refused too.
    return registerUdp(
        "registerUdpConnection", paramPtr,
        [](UdpMode m) { return static_cast<int32>(m) >= 0 && static_cast<int32>(m) <= P2P_RECEIVER_MODE; },
        RES_NOT_SUPPORTED);
}

int registerListenMulticastConnection(const UdpConnParam* paramPtr)
{
    return registerUdp(
        "registerListenMulticastConnection", paramPtr, [](UdpMode m) { return m == MULTICAST_RECEIVER_MODE; },
        RES_UDP_MODE_INVALID);
}

int registerSendMulticastConnection(const UdpConnParam* paramPtr)
{
    return registerUdp(
        "registerSendMulticastConnection", paramPtr, [](UdpMode m) { return m == MULTICAST_SENDER_MODE; },
        RES_UDP_MODE_INVALID);
}

int registerIpc(const IpcParam* paramPtr)
{
    return apiGuard("registerIpc", -1, [&]() -> int {
        if (paramPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        return ResourceManager::getInst().registerIpcRes(*paramPtr, nullptr);
    });
}

int registerPipeline(const PipelineParam* paramPtr)
{
    return apiGuard("registerPipeline", -1, [&]() -> int {
        if (paramPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        return ResourceManager::getInst().registerPipelineRes(*paramPtr, nullptr);
    });
}

int registerMsgTopic(const MsgTopicParam* paramPtr)
{
    return apiGuard("registerMsgTopic", -1, [&]() -> int {
        if (paramPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        if (isReservedTopicName(paramPtr->topicNameTxt))
            return fwFail(RES_NAME_RESERVED, -1);
        return ResourceManager::getInst().registerMsgTopicRes(*paramPtr, nullptr);
    });
}

int registerMessageCallback(const char* threadNameTxt, int (*callbackFuncPtr)(MessageType, EventMsg*, DataMsg*))
{
    return apiGuard("registerMessageCallback", -1, [&]() -> int {
        ResourceName name{};
        if (!copyName(name, threadNameTxt))
            return fwFail(NULL_PARAM, -1);
        return ResourceManager::getInst().registerThreadAppCallback(name, callbackFuncPtr);
    });
}

int registerMsgMaskCallback(const char* resName, ResourceType resType, int (*msgMaskFuncPtr)(char*, unsigned int))
{
    return apiGuard("registerMsgMaskCallback", -1, [&]() -> int {
        ResourceName name{};
        if (!copyName(name, resName))
            return fwFail(NULL_PARAM, -1);
        return ResourceManager::getInst().registerMsgMaskCallback(name, resType, msgMaskFuncPtr);
    });
}

int registerExceptionCallback(const char*, bool (*)(FwException*))
{
    return RES_NOT_SUPPORTED;
}
