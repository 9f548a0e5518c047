// The fixed 2376-byte framework message: every event, datagram, TCP frame,
// thread-to-thread datum and log request crosses threads as one of these,
// copied by value into the receiver's queue. The layout is fixed (offsets are
// checked below); a payload above 2200 bytes travels in numbered parts.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstddef>
#include <ctime>
#include <netinet/in.h>
#include <type_traits>

class ResourceHandle;

enum MessageType : int32
{
    MSG_UNKNOWN = 0,
    MSG_EVENT = 1,
    MSG_DATA = 2,
};

enum ReplicationFlag : int32
{
    NOT_REPLICATION_MSG = 0,
    INPUT_REPLICATION_MSG = 1,
    OUTPUT_REPLICATION_MSG = 2,
};

enum ExtChannelType : int32
{
    TCP_CHANNEL = 0,
    UDP_CHANNEL = 1,
    MSG_TOPIC_CHANNEL = 2,
    IPC_CHANNEL = 3,
    ITC_CHANNEL = 4,
};

enum DataDirection : int32
{
    INTER_THREAD_DATA = 0,
    INCOMING_DATA = 1,
    OUTGOING_DATA = 2,
};

enum FwEventID : int32
{
    INIT = 0,
    INIT_ACK = 1,
    APP_READY = 2,
    CONN_INIT = 3,
    TERM = 4,
    CONN_RQS = 5,
    CONN_TERM = 6,
    CONN_READY_TO_OPEN = 7,
    CONN_LISTEN = 8,
    CONN_UPDATED = 9,
    MCAST_JOIN = 10,
    MCAST_LEAVE = 11,
    NEW_CONNECT = 12,
    CONNECTED = 13,
    DISCONNECTED = 14,
    CONNECT_FAIL = 15,
    MCAST_READY_FOR_TRANSMISSION = 16,
    TIMER = 17,
    SW_ACTIVE = 18,
    SW_ACTIVE_ACK = 19,
    SW_STANDBY = 20,
    SW_STANDBY_ACK = 21,
    MSG_BUS_FATAL = 22,
    ITC_STATUS = 23,
    REPLICATION_TIMEOUT = 24,
    REPLICATION_RESUMED = 25,
    CHK_END_REPLICATION = 26,
    CONF_END_REPLICATION = 27,
    NOTIFY_END_RECOVERY = 28,
    APP_NOTIFY_END_RECOVERY = 29,
    STREAM_ADD = 30,
    STREAM_DEL = 31,
    IO_COMPL_ACK = 32,
    NET_CONGEST = 33,
    NET_FREE = 34,
    TOPIC_PUBLISH = 35,
    TOPIC_PUBLISH_ACK = 36,
    TOPIC_LEAVE_PUB = 37,
    TOPIC_LEAVE_PUB_ACK = 38,
    TOPIC_PUB_READY_TO_OPEN = 39,
    TOPIC_SUBSCRIBE = 40,
    TOPIC_SUBSCRIBE_ACK = 41,
    TOPIC_LEAVE_SUB = 42,
    TOPIC_LEAVE_SUB_ACK = 43,
    TOPIC_SUB_READY_TO_OPEN = 44,
    TOPIC_CONFLICT = 45,
    TOPIC_PUBLISHER_JOINED = 46,
    TOPIC_PUBLISHER_LEFT = 47,
    UNRECOVERABLE_TOPIC_MSG_GAP = 48,
    FORCE_LEAVE_SUB_TOPIC = 49,
    FIRST_SUBSCRIBER_JOINED = 50,
    FIRST_DR_SUBSCRIBER_JOINED = 51,
    LAST_SUBSCRIBER_LEFT = 52,
    LAST_DR_SUBSCRIBER_LEFT = 53,
    MSG_QUEUE_CONGEST = 54,
    PIPELINE_CONGEST = 55,
    NET_RES_INIT_FAIL = 56,
    CHK_TAIL_LOST = 57,
    CONN_INIT_DONE = 58,
    REPLICATION_ACK_RCVD = 59,
    REPLI_TOPIC_RECOVERY = 60,
    REPLI_TOPIC_RECOV_DONE = 61,
    IPC_READY_TO_OPEN = 62,
    IPC_OPENED = 63,
    IPC_OPEN_FAIL = 64,
    IPC_WRITER_ATTACHED = 65,
    IPC_WRITER_DETACHED = 66,
    IPC_OPEN_RQS = 67,
    IPC_CLOSE_RQS = 68,
    IPC_CLOSED = 69,
    REPLI_SUBSCRIBER_NOT_AVAIL = 70,
    REPLI_SUBSCRIBER_REJOINED = 71,
    FIRST_MRM_SUBSCRIBER_JOINED = 72,
    FIRST_DR_MRM_SUBSCRIBER_JOINED = 73,
    LAST_MRM_SUBSCRIBER_LEFT = 74,
    LAST_DR_MRM_SUBSCRIBER_LEFT = 75,
    ACTIVE_SUBSCRIBER_JOINED = 76,
    ACTIVE_SUBSCRIBER_LEFT = 77,
    // To the network thread only, never delivered to an application:
    // resNameTxt and resPtr name the TCP channel, paramInt64 holds the address
    // of the connection's stream buffer. From the stream thread:
    STREAM_ROOM = 78,    // the stream that waited for room has some: read its socket again
    CONN_CLOSE_RQS = 79, // close the connection; paramInt32 = the reason its owner is given
    // From a dispatcher whose send failed: shut the connection's sending side;
    // paramInt32 = the send's error.
    CONN_SEND_FAILED = 80,
    APP_DEFINED_EVENT_BASE = 1000,
};

using EventDesc = char[101];

struct EventParam
{
    ResourceName resNameTxt;
    ResourceHandle* resHandlePtr;
    void* resPtr;
    int16 paramInt16;
    int32 paramInt32;
    int64 paramInt64;
    ApplicationID appIdTxt;
};

// The values an application adds to a request it sends a framework thread.
struct AppEventParam
{
    int16 paramInt16;
    int32 paramInt32;
    int64 paramInt64;
};

struct EventMsg
{
    int32 id;
    ReplicationFlag replicationFlag;
    EventParam eventParam;
    EventDesc descTxt;
};

struct Data_t
{
    static constexpr uint32 MAX_DATA_LEN = 2200;

    ResourceName channelNameTxt;
    ExtChannelType chnType;
    ReplicationFlag replicationFlag;
    uint64 msgTopicSeq;
    uint64 applMsgSeq;
    in_addr_t peerIpAddr;
    ApplicationID peerAppIdTxt;
    int32 peerAppInstId;
    int32 peerAppSiteId; // an ApplicationSite, or the TCP channel's journal flag
    void* fdPtr;
    DataDirection dataDir;
    uint32 dataLen;
    int32 msgPartNum;
    bool more;
    char buffer[MAX_DATA_LEN];
};

struct AppMessage
{
    MessageType type;
    union
    {
        EventMsg event;
        Data_t data;
    };
};

struct FwIntMessage
{
    uint32 msgSeqNum;
    ResourceName originatorTxt;
    ResourceName recipientTxt;
    timespec tm;
    timespec outTm;
    AppMessage appMsg;

    static constexpr size_t HEADER_SIZE = 80; // up to the body union
    static constexpr size_t EVENT_COPY_SIZE = HEADER_SIZE + sizeof(EventMsg);
    static constexpr size_t DATA_HEADER_SIZE = HEADER_SIZE + offsetof(Data_t, buffer);

    // Bytes in use: an event up to its end, short data up to its last valid
    // byte, anything else whole. Only these bytes are copied between threads.
    size_t usedSize() const
    {
        if (appMsg.type == MSG_EVENT)
            return EVENT_COPY_SIZE;
        if (appMsg.type == MSG_DATA && appMsg.data.dataLen < Data_t::MAX_DATA_LEN)
            return DATA_HEADER_SIZE + appMsg.data.dataLen;
        return sizeof(FwIntMessage);
    }
};

static_assert(sizeof(EventParam) == 72);
static_assert(sizeof(EventMsg) == 184);
static_assert(offsetof(Data_t, buffer) == 93);
static_assert(offsetof(Data_t, dataLen) == 84);
static_assert(offsetof(FwIntMessage, originatorTxt) == 4);
static_assert(offsetof(FwIntMessage, recipientTxt) == 21);
static_assert(offsetof(FwIntMessage, tm) == 40);
static_assert(offsetof(FwIntMessage, outTm) == 56);
static_assert(offsetof(FwIntMessage, appMsg) == 72);
static_assert(offsetof(FwIntMessage, appMsg.event) == FwIntMessage::HEADER_SIZE);
static_assert(offsetof(FwIntMessage, appMsg.data.buffer) == 173);
static_assert(sizeof(FwIntMessage) == 2376);
static_assert(std::is_trivially_copyable_v<FwIntMessage>);
