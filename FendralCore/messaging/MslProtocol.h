// The messaging control protocol on the wire: the records the messaging
// services of all processes exchange on the request and request-acknowledgement
// channels, their command set, and which answer pairs with which request.
//
// Records are packed, in the sender's host byte order (little-endian here;
// nothing is converted to network order), one record per datagram. Text fields
// are fixed-size and NUL-padded. Every writer and reader of these bytes refers
// to the names below; the offsets are checked at compile time.
//
// Plain data and constant functions: usable on any thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstddef>
#include <cstring>

enum MslCmdType : uint32
{
    PUBLISHER_TOPIC_RQS = 0,
    PUBLISHER_TOPIC_ACK = 1,
    PUBLISHER_TOPIC_CONFIRM = 2,
    SUBSCRIBER_TOPIC_RQS = 3,
    SUBSCRIBER_TOPIC_ACK = 4,
    PUBLISHER_LEAVE_TOPIC_NOTIFICATION = 5,
    SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION = 6,
    DATA_RECOVERY_RQS = 7,
    DATA_RECOVERY_RSP = 8,
    TAIL_LOST_QUERY = 9,
    TAIL_LOST_QUERY2 = 10,
    TAIL_LOST_RECOVERY_RQS = 11,
    TAIL_LOST_RECOVERY_RSP = 12,
    TOPIC_MSG = 13,
    TOPIC_MSG_ACK = 14,
    TOPIC_HEARTBEAT = 15,
    TOPIC_HEARTBEAT_ACK = 16,
    MRM_PARTITION_ENQ_RQS = 17,
    MRM_PARTITION_ENQ_RSP = 18,
    MRM_TOPIC_MESSAGE = 19,
    QUICK_RECOVERY_DATA_MSG = 20,
    TAIL_LOST_RECOVERY_DATA_MSG = 21,
    MSL_CMD_KEEPALIVE_MSG = 22,
    MSL_ACK_KEEPALIVE_MSG = 23,
    MSL_MRM_HEARTBEAT = 24,
    MSL_SW_ACTIVE_SUBSCRIBER_RQS = 25,
    MSL_SW_ACTIVE_SUBSCRIBER_ACK = 26,
    MSL_CMD_TYPE_NUM = 27,
};

// Where a command travels.
enum MslChannelOfCmd : int32
{
    MSL_ON_REQUEST_CHANNEL = 0,
    MSL_ON_ACK_CHANNEL = 1,
    MSL_ON_TOPIC_CHANNEL = 2, // a topic's data or data-ack channel
};

// A wall-clock time on the wire: seconds, then nanoseconds.
struct MslWireTime
{
    int64 sec;
    int64 nsec;
};

#pragma pack(push, 1)

struct MslMsgHeader
{
    uint32 cmdType;
    MslWireTime tm;
    ApplicationID senderAppIdTxt;
    ApplicationID recipientAppIdTxt; // all zero in requests
    int32 senderInstId;
    int32 recipientInstId;
    int32 senderSiteId; // ApplicationSite
    int32 recipientSiteId;
    uint32 rqsId;       // an answer carries its request's id
    int32 resendCount;  // an answer echoes it
    uint32 msgLen;      // the whole record
};

// Every request, notification and query (PUBLISHER_TOPIC_RQS and the others).
struct MslMsgRqs
{
    MslMsgHeader hdr;
    ResourceName topicNameTxt;
    uint64 lastMsgTopicSeq;
    int32 reasonCode;
    // A publisher's request: its acknowledgement interval. A resend
    // request: how many messages after lastMsgTopicSeq the requester lacks
    // before what it already holds (0: all of them up to the newest).
    uint32 numUnackMsgMax;
};

// The answers PUBLISHER_TOPIC_ACK, SUBSCRIBER_TOPIC_ACK, MRM_PARTITION_ENQ_RSP
// and MSL_SW_ACTIVE_SUBSCRIBER_ACK.
struct MslMsgAck
{
    MslMsgHeader hdr;
    ResourceName topicNameTxt;
    int32 status; // 0 success
    uint64 lastMsgSeq;
    int32 errorCode;
    int32 mrmPartitionId;
    uint32 numUnackMsgMax;
};

struct MslPubTopicConfirm
{
    MslMsgHeader hdr;
    ResourceName topicNameTxt;
    uint64 lastMsgTopicSeq;
    MslWireTime lastMsgTopicSentTime;
    uint32 numUnackMsgMax;
};

// DATA_RECOVERY_RSP and TAIL_LOST_RECOVERY_RSP share this layout.
struct MslRecoveryRsp
{
    MslMsgHeader hdr;
    ResourceName topicNameTxt;
    int32 status;
    int32 errorCode;
    uint64 beginResendMsgSeq;
    uint64 endResendMsgSeq;
};

struct MslMrmHeartbeat
{
    MslMsgHeader hdr;
    ResourceName localTopicNameTxt;
    ResourceName crossSiteTopicNameTxt;
};

#pragma pack(pop)

using MslDataRecoveryRsp = MslRecoveryRsp;
using MslTailLostRecoveryRsp = MslRecoveryRsp;

// The receive buffer of both control channels: the largest record. Aligned
// so that a received record can be read through any of the views.
union alignas(8) MslMessage
{
    MslMsgHeader hdr;
    MslMsgRqs rqs;
    MslMsgAck ack;
    MslPubTopicConfirm confirm;
    MslRecoveryRsp recoveryRsp;
    MslMrmHeartbeat mrmHeartbeat;
    char bytes[sizeof(MslPubTopicConfirm)];
};

namespace MslProtocol
{
constexpr uint32 HEADER_SIZE = 66;
constexpr uint32 RQS_SIZE = 99;
constexpr uint32 ACK_SIZE = 107;
constexpr uint32 CONFIRM_SIZE = 111;
constexpr uint32 RECOVERY_RSP_SIZE = 107;
constexpr uint32 MRM_HEARTBEAT_SIZE = 100;
constexpr uint32 KEEPALIVE_SIZE = HEADER_SIZE;
// Bit 31 of a request's reasonCode, and of an answer's errorCode: the
// subscriber is a passive one.
constexpr uint32 PASSIVE_SUBSCRIBER_BIT = 0x80000000u;

// Whether cmd is a known command.
constexpr bool isKnown(uint32 cmd)
{
    return cmd < MSL_CMD_TYPE_NUM;
}

// The channel a command travels on; MSL_ON_TOPIC_CHANNEL for unknown ones.
constexpr MslChannelOfCmd channelOf(uint32 cmd)
{
    switch (cmd)
    {
    case PUBLISHER_TOPIC_RQS:
    case PUBLISHER_TOPIC_CONFIRM:
    case SUBSCRIBER_TOPIC_RQS:
    case PUBLISHER_LEAVE_TOPIC_NOTIFICATION:
    case SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION:
    case DATA_RECOVERY_RQS:
    case TAIL_LOST_QUERY:
    case TAIL_LOST_QUERY2:
    case TAIL_LOST_RECOVERY_RQS:
    case MRM_PARTITION_ENQ_RQS:
    case MSL_CMD_KEEPALIVE_MSG:
    case MSL_MRM_HEARTBEAT:
    case MSL_SW_ACTIVE_SUBSCRIBER_RQS:
        return MSL_ON_REQUEST_CHANNEL;
    case PUBLISHER_TOPIC_ACK:
    case SUBSCRIBER_TOPIC_ACK:
    case DATA_RECOVERY_RSP:
    case TAIL_LOST_RECOVERY_RSP:
    case MRM_PARTITION_ENQ_RSP:
    case MSL_ACK_KEEPALIVE_MSG:
    case MSL_SW_ACTIVE_SUBSCRIBER_ACK:
        return MSL_ON_ACK_CHANNEL;
    default:
        return MSL_ON_TOPIC_CHANNEL;
    }
}

// The answer to a request: 1 for 0, 4 for 3, 8 for 7, 12 for 11, 18 for 17,
// 26 for 25; -1 for a command nobody answers.
constexpr int32 answerOf(uint32 cmd)
{
    switch (cmd)
    {
    case PUBLISHER_TOPIC_RQS:
        return PUBLISHER_TOPIC_ACK;
    case SUBSCRIBER_TOPIC_RQS:
        return SUBSCRIBER_TOPIC_ACK;
    case DATA_RECOVERY_RQS:
        return DATA_RECOVERY_RSP;
    case TAIL_LOST_RECOVERY_RQS:
        return TAIL_LOST_RECOVERY_RSP;
    case MRM_PARTITION_ENQ_RQS:
        return MRM_PARTITION_ENQ_RSP;
    case MSL_SW_ACTIVE_SUBSCRIBER_RQS:
        return MSL_SW_ACTIVE_SUBSCRIBER_ACK;
    default:
        return -1;
    }
}

// The request an answer belongs to; -1 when cmd is no answer to a request.
constexpr int32 requestOf(uint32 cmd)
{
    if (!isKnown(cmd))
        return -1;
    for (uint32 rqs = 0; rqs < MSL_CMD_TYPE_NUM; ++rqs)
        if (answerOf(rqs) == static_cast<int32>(cmd))
            return static_cast<int32>(rqs);
    return -1;
}

// The record length the command's record has; 0 for the topic channels'
// commands, whose records are the topics' own.
constexpr uint32 recordSizeOf(uint32 cmd)
{
    switch (cmd)
    {
    case PUBLISHER_TOPIC_CONFIRM:
        return CONFIRM_SIZE;
    case MSL_CMD_KEEPALIVE_MSG:
    case MSL_ACK_KEEPALIVE_MSG:
        return KEEPALIVE_SIZE;
    case MSL_MRM_HEARTBEAT:
        return MRM_HEARTBEAT_SIZE;
    case DATA_RECOVERY_RSP:
    case TAIL_LOST_RECOVERY_RSP:
        return RECOVERY_RSP_SIZE;
    default:
        break;
    }
    if (channelOf(cmd) == MSL_ON_REQUEST_CHANNEL)
        return RQS_SIZE;
    if (channelOf(cmd) == MSL_ON_ACK_CHANNEL)
        return ACK_SIZE;
    return 0;
}

// The command's name as the log writes it; "UNKNOWN" outside the set.
const char* cmdName(uint32 cmd);

// An application id's first 8 bytes as one number: how ids are compared.
inline uint64 appIdKey(const char* appIdTxt)
{
    uint64 key = 0;
    std::memcpy(&key, appIdTxt, sizeof(key));
    return key;
}
} // namespace MslProtocol

static_assert(sizeof(MslWireTime) == 16);
static_assert(sizeof(MslMsgHeader) == MslProtocol::HEADER_SIZE);
static_assert(offsetof(MslMsgHeader, cmdType) == 0);
static_assert(offsetof(MslMsgHeader, tm) == 4);
static_assert(offsetof(MslMsgHeader, senderAppIdTxt) == 20);
static_assert(offsetof(MslMsgHeader, recipientAppIdTxt) == 29);
static_assert(offsetof(MslMsgHeader, senderInstId) == 38);
static_assert(offsetof(MslMsgHeader, recipientInstId) == 42);
static_assert(offsetof(MslMsgHeader, senderSiteId) == 46);
static_assert(offsetof(MslMsgHeader, recipientSiteId) == 50);
static_assert(offsetof(MslMsgHeader, rqsId) == 54);
static_assert(offsetof(MslMsgHeader, resendCount) == 58);
static_assert(offsetof(MslMsgHeader, msgLen) == 62);

static_assert(sizeof(MslMsgRqs) == MslProtocol::RQS_SIZE);
static_assert(offsetof(MslMsgRqs, topicNameTxt) == 66);
static_assert(offsetof(MslMsgRqs, lastMsgTopicSeq) == 83);
static_assert(offsetof(MslMsgRqs, reasonCode) == 91);
static_assert(offsetof(MslMsgRqs, numUnackMsgMax) == 95);

static_assert(sizeof(MslMsgAck) == MslProtocol::ACK_SIZE);
static_assert(offsetof(MslMsgAck, topicNameTxt) == 66);
static_assert(offsetof(MslMsgAck, status) == 83);
static_assert(offsetof(MslMsgAck, lastMsgSeq) == 87);
static_assert(offsetof(MslMsgAck, errorCode) == 95);
static_assert(offsetof(MslMsgAck, mrmPartitionId) == 99);
static_assert(offsetof(MslMsgAck, numUnackMsgMax) == 103);

static_assert(sizeof(MslPubTopicConfirm) == MslProtocol::CONFIRM_SIZE);
static_assert(offsetof(MslPubTopicConfirm, topicNameTxt) == 66);
static_assert(offsetof(MslPubTopicConfirm, lastMsgTopicSeq) == 83);
static_assert(offsetof(MslPubTopicConfirm, lastMsgTopicSentTime) == 91);
static_assert(offsetof(MslPubTopicConfirm, numUnackMsgMax) == 107);

static_assert(sizeof(MslRecoveryRsp) == MslProtocol::RECOVERY_RSP_SIZE);
static_assert(offsetof(MslRecoveryRsp, topicNameTxt) == 66);
static_assert(offsetof(MslRecoveryRsp, status) == 83);
static_assert(offsetof(MslRecoveryRsp, errorCode) == 87);
static_assert(offsetof(MslRecoveryRsp, beginResendMsgSeq) == 91);
static_assert(offsetof(MslRecoveryRsp, endResendMsgSeq) == 99);

static_assert(sizeof(MslMrmHeartbeat) == MslProtocol::MRM_HEARTBEAT_SIZE);
static_assert(offsetof(MslMrmHeartbeat, localTopicNameTxt) == 66);
static_assert(offsetof(MslMrmHeartbeat, crossSiteTopicNameTxt) == 83);

static_assert(sizeof(MslMessage) == 112); // 111 bytes of record, aligned
static_assert(sizeof(MslMessage::bytes) == MslProtocol::CONFIRM_SIZE);
static_assert(MslProtocol::answerOf(PUBLISHER_TOPIC_RQS) == PUBLISHER_TOPIC_ACK);
static_assert(MslProtocol::requestOf(MSL_SW_ACTIVE_SUBSCRIBER_ACK) == MSL_SW_ACTIVE_SUBSCRIBER_RQS);
