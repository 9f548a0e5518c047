// The topic datagrams of the messaging protocol: every datagram on a topic's
// data or acknowledgement channel starts with the 72-byte TopicMsgHeader,
// followed by one of the bodies below (data, acknowledgement, heartbeat, or
// the carrier of a recovery-instance record). TopicMessage is the union of
// them all, 1396 bytes: the unit of every topic ring and of the service's
// receive buffers.
//
// Records are packed (alignment 1, so a record can be read in place from any
// receive buffer), in the sender's host byte order; text fields are
// fixed-size and NUL-padded. Every writer and reader of these bytes refers
// to the names below; the offsets are checked at compile time.
//
// Plain data and constant functions: usable on any thread.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/messaging/MslProtocol.h"

#include <cstddef>
#include <cstring>

#pragma pack(push, 1)

struct TopicMsgHeader
{
    uint32 cmdType; // MslCmdType: 13, 14, 15, 16, 19, 20 or 21
    ApplicationID senderAppIdTxt;
    ApplicationID recipientAppIdTxt; // all zero: every subscriber
    int32 senderInstId;
    int32 recipientInstId;
    int32 senderSiteId; // ApplicationSite
    int32 recipientSiteId; // never set (0)
    uint64 seqNum;         // 0 in acknowledgements and heartbeats
    uint32 bodyLen;        // bytes after the header
    MslWireTime tm;
    int32 msgPartNum; // 0 for the first part of an application message
    uint8 more;       // 1: further parts of the same message follow
    uint8 resendFlag; // 1: a resent or recovered copy
};

// TOPIC_MSG, QUICK_RECOVERY_DATA_MSG and TAIL_LOST_RECOVERY_DATA_MSG.
struct TopicDataMsg
{
    static constexpr uint32 DATA_MAX = 1200;

    TopicMsgHeader hdr;
    ResourceName topicNameTxt;
    uint8 pubRecoverySessId; // 0 on live data
    uint32 dataLen;
    char data[DATA_MAX];
};

// TOPIC_MSG_ACK and TOPIC_HEARTBEAT_ACK.
struct TopicDataMsgAck
{
    static constexpr uint8 MRM_APPLICATION_FLAG = 0x01;
    static constexpr uint8 RECOVERY_FLAG = 0x02;

    TopicMsgHeader hdr;
    ResourceName topicNameTxt;
    uint8 msgFlags;
    uint64 lastSeqNumRcvd; // the last sequence number the subscriber accepted
};
using TopicHeartbeatAck = TopicDataMsgAck;

struct TopicHeartbeat
{
    TopicMsgHeader hdr;
    ResourceName topicNameTxt;
    uint8 filler;
    uint64 lastSeqNumSent;
    uint64 applSeqNum; // the latest application sequence number
};

// MRM_TOPIC_MESSAGE: carries one recovery-instance record.
struct TopicMrmMsg
{
    static constexpr uint32 MRM_DATA_MAX = 1302;

    TopicMsgHeader hdr;
    ResourceName topicNameTxt;
    uint8 pubRecoverySessId;
    uint32 dataLen;
    char mrmData[MRM_DATA_MAX];
};

// The recovery-instance records carried in TopicMrmMsg::mrmData.
struct MrmRecoveryRqs
{
    uint32 mrmCmd; // MRM_TOPIC_RQS
    uint32 mrmRqsId;
    ResourceName topicNameTxt;
    int32 recoveryMode; // TopicRecoveryMode: quick 1 or long 2
    uint64 lastMsgTopicSeq;
};

struct MrmRecoveryRsp
{
    uint32 mrmCmd; // MRM_TOPIC_RSP
    uint32 mrmRqsId;
    ResourceName topicNameTxt;
    int32 status;
    uint64 currentMsgSeq;
    uint32 mrmSessionId;
    int32 errorCode;
};

struct MrmEndRecoveryMsg
{
    uint32 mrmCmd; // MRM_END_RECOVERY_NOTIFICATION
    ResourceName topicNameTxt;
};

struct MrmDataMsg
{
    uint32 mrmCmd; // MRM_QUICK_RECOVERY_MSG or MRM_LONG_RECOVERY_MSG
    uint32 mrmSessionId;
    TopicDataMsg recoveredMsg;
};

struct MrmFailureMsg
{
    uint32 mrmCmd; // MRM_RECOVERY_FAILURE
    ResourceName topicNameTxt;
    uint32 mrmSessionId;
    int32 reasonCode;
};

#pragma pack(pop)

namespace TopicWire
{
constexpr uint32 HEADER_SIZE = 72;
// The fixed part of the data and MRM bodies: the topic name, the session id
// and dataLen.
constexpr uint32 DATA_BODY_FIXED = 22;
constexpr uint32 DATA_BODY_MAX = DATA_BODY_FIXED + TopicDataMsg::DATA_MAX;
constexpr uint32 DATA_MSG_MAX = HEADER_SIZE + DATA_BODY_MAX;
constexpr uint32 ACK_BODY = 26;
constexpr uint32 ACK_SIZE = HEADER_SIZE + ACK_BODY;
constexpr uint32 HEARTBEAT_BODY = 34;
constexpr uint32 HEARTBEAT_SIZE = HEADER_SIZE + HEARTBEAT_BODY;
constexpr uint32 MRM_BODY_MAX = DATA_BODY_FIXED + TopicMrmMsg::MRM_DATA_MAX;
constexpr uint32 MRM_MSG_MAX = HEADER_SIZE + MRM_BODY_MAX;
// The header of an MrmDataMsg in front of the recovered message.
constexpr uint32 MRM_DATA_HEADER = 8;
} // namespace TopicWire

// Any topic datagram. Copies into and out of a topic ring take the bytes in
// use: the header and bodyLen bytes of a data, heartbeat or MRM message whose
// bodyLen is below its body's largest size, else all 1396 bytes. Every
// record copied is a whole TopicMessage (a ring element, a prepared record
// or a receive slot of at least this size), so the longer copy never reads
// past its source.
union TopicMessage
{
    TopicMsgHeader hdr;
    TopicDataMsg dataMsg;
    TopicHeartbeat heartbeat;
    TopicMrmMsg mrmMsg;
    char bytes[TopicWire::MRM_MSG_MAX];

    size_t usedSize() const
    {
        const uint32 body = hdr.bodyLen;
        switch (hdr.cmdType)
        {
        case TOPIC_MSG:
            return body < TopicWire::DATA_BODY_MAX ? TopicWire::HEADER_SIZE + body : sizeof(TopicMessage);
        case TOPIC_HEARTBEAT:
            return body < TopicWire::HEARTBEAT_BODY ? TopicWire::HEADER_SIZE + body : sizeof(TopicMessage);
        case MRM_TOPIC_MESSAGE:
            return body < TopicWire::MRM_BODY_MAX ? TopicWire::HEADER_SIZE + body : sizeof(TopicMessage);
        default:
            return sizeof(TopicMessage);
        }
    }
};

static_assert(sizeof(TopicMsgHeader) == TopicWire::HEADER_SIZE);
static_assert(offsetof(TopicMsgHeader, cmdType) == 0);
static_assert(offsetof(TopicMsgHeader, senderAppIdTxt) == 4);
static_assert(offsetof(TopicMsgHeader, recipientAppIdTxt) == 13);
static_assert(offsetof(TopicMsgHeader, senderInstId) == 22);
static_assert(offsetof(TopicMsgHeader, recipientInstId) == 26);
static_assert(offsetof(TopicMsgHeader, senderSiteId) == 30);
static_assert(offsetof(TopicMsgHeader, recipientSiteId) == 34);
static_assert(offsetof(TopicMsgHeader, seqNum) == 38);
static_assert(offsetof(TopicMsgHeader, bodyLen) == 46);
static_assert(offsetof(TopicMsgHeader, tm) == 50);
static_assert(offsetof(TopicMsgHeader, msgPartNum) == 66);
static_assert(offsetof(TopicMsgHeader, more) == 70);
static_assert(offsetof(TopicMsgHeader, resendFlag) == 71);

static_assert(sizeof(TopicDataMsg) == TopicWire::DATA_MSG_MAX && TopicWire::DATA_MSG_MAX == 1294);
static_assert(offsetof(TopicDataMsg, topicNameTxt) == 72);
static_assert(offsetof(TopicDataMsg, pubRecoverySessId) == 89);
static_assert(offsetof(TopicDataMsg, dataLen) == 90);
static_assert(offsetof(TopicDataMsg, data) == 72 + TopicWire::DATA_BODY_FIXED);

static_assert(sizeof(TopicDataMsgAck) == TopicWire::ACK_SIZE && TopicWire::ACK_SIZE == 98);
static_assert(offsetof(TopicDataMsgAck, topicNameTxt) == 72);
static_assert(offsetof(TopicDataMsgAck, msgFlags) == 89);
static_assert(offsetof(TopicDataMsgAck, lastSeqNumRcvd) == 90);

static_assert(sizeof(TopicHeartbeat) == TopicWire::HEARTBEAT_SIZE && TopicWire::HEARTBEAT_SIZE == 106);
static_assert(offsetof(TopicHeartbeat, topicNameTxt) == 72);
static_assert(offsetof(TopicHeartbeat, filler) == 89);
static_assert(offsetof(TopicHeartbeat, lastSeqNumSent) == 90);
static_assert(offsetof(TopicHeartbeat, applSeqNum) == 98);

static_assert(sizeof(TopicMrmMsg) == TopicWire::MRM_MSG_MAX && TopicWire::MRM_MSG_MAX == 1396);
static_assert(offsetof(TopicMrmMsg, topicNameTxt) == 72);
static_assert(offsetof(TopicMrmMsg, pubRecoverySessId) == 89);
static_assert(offsetof(TopicMrmMsg, dataLen) == 90);
static_assert(offsetof(TopicMrmMsg, mrmData) == 94);

static_assert(sizeof(MrmRecoveryRqs) == 37);
static_assert(offsetof(MrmRecoveryRqs, mrmRqsId) == 4);
static_assert(offsetof(MrmRecoveryRqs, topicNameTxt) == 8);
static_assert(offsetof(MrmRecoveryRqs, recoveryMode) == 25);
static_assert(offsetof(MrmRecoveryRqs, lastMsgTopicSeq) == 29);
static_assert(sizeof(MrmRecoveryRsp) == 45);
static_assert(offsetof(MrmRecoveryRsp, topicNameTxt) == 8);
static_assert(offsetof(MrmRecoveryRsp, status) == 25);
static_assert(offsetof(MrmRecoveryRsp, currentMsgSeq) == 29);
static_assert(offsetof(MrmRecoveryRsp, mrmSessionId) == 37);
static_assert(offsetof(MrmRecoveryRsp, errorCode) == 41);
static_assert(sizeof(MrmEndRecoveryMsg) == 21);
static_assert(offsetof(MrmEndRecoveryMsg, topicNameTxt) == 4);
static_assert(sizeof(MrmDataMsg) == TopicMrmMsg::MRM_DATA_MAX);
static_assert(offsetof(MrmDataMsg, mrmSessionId) == 4);
static_assert(offsetof(MrmDataMsg, recoveredMsg) == TopicWire::MRM_DATA_HEADER);
static_assert(sizeof(MrmFailureMsg) == 29);
static_assert(offsetof(MrmFailureMsg, mrmSessionId) == 21);
static_assert(offsetof(MrmFailureMsg, reasonCode) == 25);

// The ring element, and the invariant that lets a ring copy take all of it.
static_assert(sizeof(TopicMessage) == 1396);
static_assert(alignof(TopicMessage) == 1);
