// The records the registry keeps for each registered resource, one array per
// kind allocated once (ResourceManager), so a record's address stays valid for
// the life of the process and can be handed out in a ResourceHandle.
//
// The registry writes a record on registration (the start-up thread, or the
// receiver that registers an accepted TCP connection); the Parts that own a
// kind write its other fields. `status` is read and written across threads
// and is atomic. The name of a TCP record changes at run time when its slot is
// reused by another accepted connection, so the registry writes it, and a
// handle check reads it, as atomic 64-bit words (storeTcpConnName /
// loadTcpConnNameKey).
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/runtime/FwIntMessage.h"
#include "FendralCore/runtime/LoggerRegistryLink.h"
#include "FendralCore/runtime/MessageQueue.h"
#include "FendralCore/runtime/ResourceParam.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/types.h>

struct DataMsg;
class IpcShrMemMsgQ;
class MessageStore;
class MulticastSocket;
class Pipeline;
struct PipelineMsgHeader;
class PlMessageStore;
class StreamBuffer;
class TcpDataSocket;
class TcpListenSocket;
class TopicPublisher;
template <typename T>
class MessageQueue;

enum ResourceType : int32
{
    INVALID_RES = 0,
    THREAD_RES = 1,
    TCP_RES = 2,
    UDP_RES = 3,
    IPC_RES = 4,
    TOPIC_RES = 5,
    PIPELINE_RES = 6,
};

// The registry sets RES_REGISTERED and RES_UNUSED; the owning Parts the rest.
enum ResourceStatus : int32
{
    RES_UNUSED = 0,
    RES_REGISTERED = 1,
    RES_INITIALIZED = 2,
    RES_ACTIVE = 3,
    RES_TERMINATED = 4,
    RES_LISTENING = 5,
    RES_CONNECTION_NEW = 6,
    RES_CONNECTING = 7,
    RES_CONNECTED = 8,
    RES_DISCONNECTED = 9,
    RES_FAILED = 10,
};

using FwMessageQueue = MessageQueue<FwIntMessage>;

// A thread's application callback: (MSG_EVENT, event, null) or (MSG_DATA, null, data).
using AppCallbackFunc = int32 (*)(MessageType, EventMsg*, DataMsg*);
// A channel's log-masking callback: non-zero when the message must not be
// written to the journal as it is.
using MsgMaskFunc = LoggerRegistryLink::MsgMaskFunc;

// What a started thread receives as its argument (thread service).
struct ThreadInfo
{
    pthread_t tid;
    pthread_t ptid; // parent thread
    int32 id;
    int64 cpuBitmap; // bit k = CPU k, 0 = none
    int32 priority;
    void* argvPtr; // back to the owner
};

struct PipelineRecord
{
    ResourceName pipelineNameTxt;
    int32 appPlStageNum;
    bool isLastStage;
    Pipeline* pipelinePtr;
};

struct ThreadResource
{
    ResourceName threadNameTxt;
    bool appThread; // false for framework threads
    std::atomic<ResourceStatus> status;
    std::atomic<time_t> lastStatusUpdTm; // last status report
    ThreadOptimization thdOptimiz;
    ThreadInfo thdInfo;
    AppCallbackFunc appCallbackFuncPtr;
    int32 msgQueueLen;
    FwMessageQueue* msgQueuePtrArray[MQUEUE_TYPE_NUM];
    int32 statusCheckInterval; // seconds
    int32 healthChkTimerResetCnt;
    int32 numOfPipeline;
    PipelineRecord pipelineRec[THREAD_PIPELINE_MAX];
    MessageStore* tmpMsgStorePtr;
};

struct TcpConnResource
{
    union
    {
        ResourceName tcpConnNameTxt;
        uint64 tcpConnNameWords[3]; // the same bytes, for atomic access
    };
    std::atomic<ResourceStatus> status;
    TcpConnParam regParam;
    IpAddress interfaceAddrTxt;
    ResourceName srvConnNamePrefix; // a listen connection's name and ":"
    int32 srvConnNamePrefixLen;
    int64 nextInConnNum;
    int64 inConnNumMax;
    TcpListenSocket* listenSockPtr;
    TcpDataSocket* dataSockPtr;
    StreamBuffer* streamBufPtr;
    StreamBuffer* tmpOutBufPtr;
    bool usePipeline;
    Pipeline* pipelinePtr;
    FwMessageQueue* msgQueuePtr;
    FwMessageQueue* altMsgQueuePtr;
    MessageStore* tmpMsgStorePtr;
    PlMessageStore* tmpPlMsgStorePtr;
    bool congested;
    int32 connCloseReason;
    MsgMaskFunc msgMaskFuncPtr;
};

struct UdpConnResource
{
    ResourceName udpConnNameTxt;
    std::atomic<ResourceStatus> status;
    UdpConnParam regParam;
    IpAddress interfaceAddrTxt;
    MulticastSocket* multicastSockPtr;
    void* ptr;
    bool usePipeline;
    Pipeline* pipelinePtr;
    FwMessageQueue* msgQueuePtr;
    FwMessageQueue* altMsgQueuePtr;
    MessageStore* tmpMsgStorePtr;
    PlMessageStore* tmpPlMsgStorePtr;
    MsgMaskFunc msgMaskFuncPtr;
};

struct IpcResource
{
    ResourceName ipcNameTxt;
    std::atomic<ResourceStatus> status;
    IpcParam regParam;
    IpcShrMemMsgQ* ipcMsgQPtr;
    PipelineMsgHeader* rcvPlMsgPtr;
    int32 rcvPlMsgNextPart;
    pid_t counterpartPid;
    ApplicationID counterpartAppId;
    std::atomic<ResourceStatus> counterpartStatus;
    bool usePipeline;
    Pipeline* pipelinePtr;
    FwMessageQueue* msgQueuePtr;
    FwMessageQueue* altMsgQueuePtr;
    MessageStore* tmpMsgStorePtr;
    PlMessageStore* tmpPlMsgStorePtr;
};

struct MsgTopicResource
{
    std::atomic<ResourceStatus> status;
    ResourceName topicNameTxt;
    MsgTopicParam regParam;
    TopicPublisher* msgTopicPtr; // null until the messaging service opens the topic
    bool usePipeline;
    Pipeline* pipelinePtr;
    FwMessageQueue* msgQueuePtr;
    FwMessageQueue* altMsgQueuePtr;
    MessageStore* tmpMsgStorePtr;
    PlMessageStore* tmpPlMsgStorePtr;
    char* tmpOutMsgBufPtr;
    uint64 lastMsgSeqNum;
    bool recoveryRqsTopic;
    bool mrmTopic;
    bool replicationTopic;
    bool directMcastAssigned;
    bool mcastWithinLogicalChnList;
    bool mcastAddrDuplicated;
    int32 posMcastRange;
    in_addr_t dataMcast; // network order
    in_addr_t ackMcast;  // network order
    bool congested;
    IpAddress interfaceTxt;
    MsgMaskFunc msgMaskFuncPtr;
};

struct PipelineResource
{
    std::atomic<ResourceStatus> status;
    ResourceName pipelineNameTxt;
    PipelineParam regParam;
    Pipeline* pipelinePtr;
    uint64 stageCheckBitmask; // bit s: a thread has claimed stage s
};

// What a ResourceHandle points to: the record of its kind.
union FrameworkResource
{
    ThreadResource threadRes;
    TcpConnResource tcpConnRes;
    UdpConnResource udpConnRes;
    IpcResource ipcRes;
    MsgTopicResource msgTopicRes;
    PipelineResource pipelineRes;

    // Never constructed as such: records live in the registry's arrays and
    // a handle's pointer is converted from a record's address.
    FrameworkResource() = delete;
    ~FrameworkResource() = delete;
};

static_assert(std::atomic<ResourceStatus>::is_always_lock_free);

// The handle pointer of a record.
template <typename Record>
inline FrameworkResource* asFrameworkResource(Record* rec)
{
    return reinterpret_cast<FrameworkResource*>(rec);
}

// The key of a TCP record's name, read while another thread may reuse the slot.
inline UInt128 loadTcpConnNameKey(const TcpConnResource& rec)
{
    Data128 data;
    auto* words = const_cast<uint64*>(rec.tcpConnNameWords);
    data.unum.numUpper = std::atomic_ref<uint64>(words[0]).load(std::memory_order_acquire);
    data.unum.numLower = std::atomic_ref<uint64>(words[1]).load(std::memory_order_acquire);
    return UInt128(data);
}

// A TCP connection's stream buffer, as a thread other than the network and
// stream threads reads it (to name the connection in a request): the stream
// thread clears it when the connection ends.
inline StreamBuffer* loadStreamBuffer(const TcpConnResource& rec)
{
    return std::atomic_ref<StreamBuffer*>(const_cast<StreamBuffer*&>(rec.streamBufPtr))
        .load(std::memory_order_acquire);
}

inline void clearStreamBuffer(TcpConnResource& rec)
{
    std::atomic_ref<StreamBuffer*>(rec.streamBufPtr).store(nullptr, std::memory_order_release);
}

// A UDP channel's socket, which the network thread sets up while application
// threads may already send on the channel: set and read with an order, so a
// sender that sees the socket sees it built.
inline MulticastSocket* loadUdpSocket(const UdpConnResource& rec)
{
    return std::atomic_ref<MulticastSocket*>(const_cast<MulticastSocket*&>(rec.multicastSockPtr))
        .load(std::memory_order_acquire);
}

inline void storeUdpSocket(UdpConnResource& rec, MulticastSocket* sock)
{
    std::atomic_ref<MulticastSocket*>(rec.multicastSockPtr).store(sock, std::memory_order_release);
}

// A copy of a TCP record's name, read while another thread may clear or reuse
// the slot: a name it had, or empty, never a torn read of the bytes.
inline void loadTcpConnName(const TcpConnResource& rec, ResourceName& name)
{
    uint64 words[3];
    auto* shared = const_cast<uint64*>(rec.tcpConnNameWords);
    for (int i = 0; i < 3; ++i)
        words[i] = std::atomic_ref<uint64>(shared[i]).load(std::memory_order_acquire);
    static_assert(sizeof(words) >= sizeof(ResourceName));
    std::memcpy(name, words, sizeof(ResourceName));
    name[sizeof(ResourceName) - 1] = '\0';
}

// Sets a TCP record's name (NUL-padded, byte 17 NUL); an all-zero key clears it.
inline void storeTcpConnName(TcpConnResource& rec, const UInt128& nameKey)
{
    std::atomic_ref<uint64>(rec.tcpConnNameWords[0]).store(nameKey.m_data.unum.numUpper, std::memory_order_release);
    std::atomic_ref<uint64>(rec.tcpConnNameWords[1]).store(nameKey.m_data.unum.numLower, std::memory_order_release);
    std::atomic_ref<uint64>(rec.tcpConnNameWords[2]).store(0, std::memory_order_release);
}
