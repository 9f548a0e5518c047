#include "FendralCore/runtime/ResourceAssistant.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"

namespace
{
template <typename Record>
const Record& recordOf(const FrameworkResource* res)
{
    return *reinterpret_cast<const Record*>(res);
}

bool matches(const ResourceName& recName, const UInt128& key, ResourceStatus status, ResourceStatus wanted)
{
    return UInt128(recName, true) == key && status == wanted;
}
} // namespace

ResourceAssistant::ResourceAssistant() : m_loggerPtr(GlobalData::getInst().getLogger()) {}

void ResourceAssistant::prepareHandle(ResourceHandle& resHandle, const ResourceName& resName, ResourceType resType,
                                      FrameworkResource* resPtr) const
{
    resHandle = ResourceHandle(resName, resType, resPtr);
}

bool ResourceAssistant::isValidHandle(ResourceType resType, const ResourceHandle& resHandle) const
{
    if (resHandle.m_resourceType != resType)
        return fwFail(RES_INVALID_HANDLE, false);
    const FrameworkResource* res = resHandle.m_resourcePtr;
    if (res == nullptr)
        return true;
    const UInt128& key = resHandle.m_key;
    bool valid = false;
    switch (resType)
    {
    case THREAD_RES:
        valid = matches(recordOf<ThreadResource>(res).threadNameTxt, key, recordOf<ThreadResource>(res).status.load(), RES_ACTIVE);
        break;
    case TCP_RES: {
        // Status first: a slot being reused is RES_UNUSED or RES_REGISTERED
        // before and while its name changes.
        const ResourceStatus status = recordOf<TcpConnResource>(res).status.load(std::memory_order_acquire);
        valid = status == RES_CONNECTED && loadTcpConnNameKey(recordOf<TcpConnResource>(res)) == key &&
                recordOf<TcpConnResource>(res).status.load(std::memory_order_acquire) == RES_CONNECTED;
        break;
    }
    case UDP_RES:
        valid = matches(recordOf<UdpConnResource>(res).udpConnNameTxt, key, recordOf<UdpConnResource>(res).status.load(), RES_CONNECTED);
        break;
    case IPC_RES:
        valid = matches(recordOf<IpcResource>(res).ipcNameTxt, key, recordOf<IpcResource>(res).status.load(), RES_CONNECTED);
        break;
    case TOPIC_RES:
        valid = matches(recordOf<MsgTopicResource>(res).topicNameTxt, key, recordOf<MsgTopicResource>(res).status.load(), RES_ACTIVE);
        break;
    case PIPELINE_RES:
        valid = matches(recordOf<PipelineResource>(res).pipelineNameTxt, key, recordOf<PipelineResource>(res).status.load(), RES_ACTIVE);
        break;
    default:
        break;
    }
    if (!valid)
        return fwFail(RES_INVALID_HANDLE, false);
    return true;
}
