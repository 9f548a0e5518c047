// Parameter records that describe a resource before it is registered: one per
// kind (thread, TCP connection, UDP channel, IPC channel, messaging topic,
// pipeline). An application asks the registry for a record filled with the
// framework's defaults (ResourceManager::init...Param), changes what it needs
// and registers it; the registry checks it first (ResParamValidator).
//
// Plain data, filled and read on the start-up thread; the registry keeps a
// copy of each registered record in the resource record.
#pragma once

#include "FendralCore/foundation/ConfigManager.h" // ParaType
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/MulticastLoopback.h"

#include <type_traits>

enum ThreadOptimization : int32
{
    GLOBAL_OPTIMIZATION_SETTING = 0,
    CPU_OPTIMIZATION = 1,
    LATENCY_OPTIMIZATION = 2,
};

// How incoming messages of a channel reach the owning thread.
enum IntChannelType : int32
{
    NORMAL_CHANNEL = 0,
    PRIORITY_CHANNEL = 1,
    PIPELINE_CHANNEL = 2,
};

enum TcpMode : int32
{
    TCP_CLIENT_DATA_MODE = 0,
    TCP_SERVER_LISTEN_MODE = 1,
    TCP_SERVER_DATA_MODE = 2,
};

enum UdpMode : int32
{
    P2P_SENDER_MODE = 0,
    P2P_RECEIVER_MODE = 1,
    P2P_SENDER_RECEIVER_MODE = 2,
    MULTICAST_SENDER_MODE = 3,
    MULTICAST_RECEIVER_MODE = 4,
    MULTICAST_SENDER_RCVR_MODE = 5,
};

// TCP framing of a connection's byte stream.
enum MsgFormatType : int32
{
    MSG_FORMAT_RAW = 0,
    MSG_FORMAT_QUOR = 1,
    MSG_FORMAT_FIX = 2,
    MSG_FORMAT_CUSTOM = 3,
};

enum ReplicationMode : int32
{
    NO_REPLICATION = 0,
    INPUT_REPLICATION = 1,
    OUTPUT_REPLICATION = 2,
    INPUT_OUTPUT_REPLICATION = 3,
    REPLI_MODE_MAX = 4,
};

// 0 is no valid mode: an IPC record must choose one.
enum IpcAccessMode : int32
{
    IPC_READER_MODE = 1,
    IPC_WRITER_MODE = 2,
};

enum MsgTopicOpenType : int32
{
    PUBLISH = 0,
    SUBSCRIBE = 1,
    APPL_REPLICATE = 2,
};

// Number of pipelines one thread can serve a stage of.
inline constexpr int32 THREAD_PIPELINE_MAX = 5;

struct PipelineInfo
{
    ResourceName pipelineNameTxt;
    int32 pipelineStageNum; // the stage this thread serves
};

struct ThreadParam
{
    ResourceName threadNameTxt;
    ThreadOptimization thdOptimiz;
    uint64 cpuAffinityBitmask; // bit n = CPU n
    int32 threadPriority;
    int32 messageQueueLength; // slots of each of the thread's two queues
    uint32 statusCheckInterval; // seconds
    int32 numOfPipeline;        // entries used in pipelineInfo
    PipelineInfo pipelineInfo[THREAD_PIPELINE_MAX];
};

// Where the size of a message sits in a MSG_FORMAT_CUSTOM stream.
struct AppMsgSizeInfo
{
    int32 sizeFldOffset;
    ParaType sizeFldType;
    bool bodySizeOnly; // the size counts the body only
    int32 headerSize;
    int32 trailerSize;
};

struct TcpConnParam
{
    ResourceName connNameTxt;
    ResourceName threadNameTxt; // the owning thread
    IntChannelType channelType;
    ResourceName pipelineNameTxt; // with PIPELINE_CHANNEL
    TcpMode tcpMode;
    IpAddress interfaceTxt; // local interface address or subnet
    IpAddress remoteAddrTxt;
    uint16 localPort;
    uint16 remotePort;
    int32 sendBufSize; // -1: the system's size
    int32 recvBufSize; // -1: the system's size
    MsgFormatType msgFormat;
    AppMsgSizeInfo appMsgSizeInfo;
    bool connectAtStartup;
    bool openInStandbyMode;
    bool msgJournalEnabled;
    ReplicationMode replicationMode;
    int32 streamBufSize; // bytes of the connection's stream buffer
};

struct UdpConnParam
{
    ResourceName connNameTxt;
    ResourceName threadNameTxt;
    IntChannelType channelType;
    ResourceName pipelineNameTxt;
    UdpMode udpMode;
    IpAddress interfaceTxt;
    IpAddress destAddrTxt; // the multicast group
    uint16 port;
    int32 sendBufSize;
    int32 recvBufSize;
    uint16 mcastSendTtl;
    bool connectAtStartup;
    bool openInStandbyMode;
    bool msgJournalEnabled;
    ReplicationMode replicationMode;
    MulticastLoopback mcastLoopBack;
};

struct IpcParam
{
    ResourceName ipcNameTxt; // letters and digits only
    IpcAccessMode accessMode;
    ResourceName threadNameTxt;
    int32 msgQueLen; // queue slots of a reader
    IntChannelType channelType;
    ResourceName pipelineNameTxt;
    bool openAtStartup;
    bool openInStandbyMode;
    bool msgJournalEnabled;
};

struct MsgTopicParam
{
    ResourceName topicNameTxt;
    ResourceName threadNameTxt;
    MsgTopicOpenType openType;
    IntChannelType channelType;
    ResourceName pipelineNameTxt;
    bool skipLateJoinRecovery;
    bool openAtStartup;
    bool waitForDrSiteAck;
    bool waitForMrmAck;
    uint64 maxPubGapRecovery; // messages
    uint64 startingSeqNum;
    uint32 numUnackMsgMax;
    uint32 outstandingMsgMax;
    int32 logicalChnNum; // -1: none
    IpAddress topicDataMcastTxt; // directly assigned data group
    uint16 topicDataPortNum;
    IpAddress topicAckMcastTxt; // directly assigned ack group
    uint16 topicAckPortNum;
    bool openInStandbyMode;
    bool msgJournalEnabled;
    ReplicationMode replicationMode;
    int32 historyBufSize; // messages kept for recovery
    uint32 msgBufSizeInRecovery;
    IpAddress interfaceSubnetTxt; // subnet that selects the local interface
    bool allowMrmCrossSiteRecovery;
    bool activeSubscriber;
};

struct PipelineParam
{
    ResourceName pipelineNameTxt;
    int32 numStages;
    int32 entrySize; // bytes per ring entry
    int32 numEntry;  // ring entries
};

// The records are copied and cleared as bytes.
static_assert(std::is_trivially_copyable_v<ThreadParam>);
static_assert(std::is_trivially_copyable_v<TcpConnParam>);
static_assert(std::is_trivially_copyable_v<UdpConnParam>);
static_assert(std::is_trivially_copyable_v<IpcParam>);
static_assert(std::is_trivially_copyable_v<MsgTopicParam>);
static_assert(std::is_trivially_copyable_v<PipelineParam>);
