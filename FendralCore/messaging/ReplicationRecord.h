// The replication record: the framework message an active instance publishes
// on its replication topic for every message and event of a replicated
// channel, cut after its last meaningful byte. Both instances run the same
// build, so the record is the in-memory message itself; this descriptor pins
// its layout and sizes, writes a record from a message, and reads one back
// from bytes that came off the wire.
//
// What comes off the wire is untrusted: decode checks the type, the length
// against dataLen, the channel type and the direction, ends every text field,
// and clears the sender's pointer fields, which mean nothing in this process.
//
// Stateless; used on the replicator thread of either instance.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FwIntMessage.h"

#include <cstddef>

class ReplicationRecord
{
public:
    static constexpr uint32 HEADER_SIZE = 80;        // up to the event or data part
    static constexpr uint32 EVENT_SIZE = 264;        // a whole event record
    static constexpr uint32 DATA_FIXED_SIZE = 173;   // a data record before its payload
    static constexpr uint32 MAX_DATA_LEN = 2200;     // payload of one record
    static constexpr uint32 MAX_SIZE = 2376;         // a full framework message

    // Field offsets of the record, as the standby reads them.
    static constexpr uint32 TYPE_OFFSET = 72;
    static constexpr uint32 CHN_TYPE_OFFSET = 100;
    static constexpr uint32 DATA_DIR_OFFSET = 160;
    static constexpr uint32 DATA_LEN_OFFSET = 164;
    static constexpr uint32 MORE_OFFSET = 172;

    // Length of the record of msg: an event's 264 bytes; data up to its last
    // payload byte, or the full message from a payload of MAX_DATA_LEN on;
    // the full message for any other type.
    static uint32 recordSize(const FwIntMessage& msg) { return static_cast<uint32>(msg.usedSize()); }

    // A topic's events (answers, publishers and subscribers joining and
    // leaving), which both instances treat apart from connection events.
    static bool isTopicEvent(int32 id);

    // Writes the record of msg to out (room for MAX_SIZE bytes); returns its
    // length.
    static uint32 encode(const FwIntMessage& msg, char* out);
    // The same for outgoing data as the active side publishes it: the
    // recipient is forwardThread when one wants a copy (else as in msg), and
    // msgTopicSeq carries topicSeq. msg itself stays as it was.
    static uint32 encodeOutgoing(const FwIntMessage& msg, const ResourceName* forwardThread, uint64 topicSeq,
                                 char* out);

    enum class Verdict : int32
    {
        OK = 0,
        TOO_SHORT,        // shorter than the header
        UNKNOWN_TYPE,     // neither event nor data
        BAD_EVENT_SIZE,   // an event record not of EVENT_SIZE bytes
        DATA_TOO_LONG,    // dataLen above MAX_DATA_LEN
        SIZE_MISMATCH,    // the record's length does not match its dataLen
        UNKNOWN_CHANNEL,  // a channel type that is not TCP, UDP or topic
        UNKNOWN_DIRECTION // neither incoming nor outgoing data
    };
    // Reads a record of len bytes into out. Anything but OK leaves out
    // unusable; the caller drops the record with a line naming the verdict.
    static Verdict decode(const char* bytes, uint32 len, FwIntMessage& out);
    static const char* verdictText(Verdict v);
};

// The layout the two instances share, as the records carry it.
static_assert(ReplicationRecord::HEADER_SIZE == FwIntMessage::HEADER_SIZE);
static_assert(ReplicationRecord::EVENT_SIZE == FwIntMessage::EVENT_COPY_SIZE);
static_assert(ReplicationRecord::DATA_FIXED_SIZE == FwIntMessage::DATA_HEADER_SIZE);
static_assert(ReplicationRecord::MAX_DATA_LEN == Data_t::MAX_DATA_LEN);
static_assert(ReplicationRecord::MAX_SIZE == sizeof(FwIntMessage));
static_assert(ReplicationRecord::DATA_FIXED_SIZE + ReplicationRecord::MAX_DATA_LEN + 3 == ReplicationRecord::MAX_SIZE);
static_assert(offsetof(FwIntMessage, msgSeqNum) == 0);
static_assert(offsetof(FwIntMessage, originatorTxt) == 4);
static_assert(offsetof(FwIntMessage, recipientTxt) == 21);
static_assert(offsetof(FwIntMessage, tm) == 40);
static_assert(offsetof(FwIntMessage, outTm) == 56);
static_assert(offsetof(FwIntMessage, appMsg.type) == ReplicationRecord::TYPE_OFFSET);
// Event part.
static_assert(offsetof(FwIntMessage, appMsg.event.id) == 80);
static_assert(offsetof(FwIntMessage, appMsg.event.replicationFlag) == 84);
static_assert(offsetof(FwIntMessage, appMsg.event.eventParam.resNameTxt) == 88);
static_assert(offsetof(FwIntMessage, appMsg.event.eventParam.resHandlePtr) == 112);
static_assert(offsetof(FwIntMessage, appMsg.event.eventParam.resPtr) == 120);
static_assert(offsetof(FwIntMessage, appMsg.event.eventParam.paramInt16) == 128);
static_assert(offsetof(FwIntMessage, appMsg.event.eventParam.paramInt32) == 132);
static_assert(offsetof(FwIntMessage, appMsg.event.eventParam.paramInt64) == 136);
static_assert(offsetof(FwIntMessage, appMsg.event.eventParam.appIdTxt) == 144);
static_assert(offsetof(FwIntMessage, appMsg.event.descTxt) == 160);
static_assert(offsetof(FwIntMessage, appMsg.event.descTxt) + sizeof(EventDesc) + 3 == ReplicationRecord::EVENT_SIZE);
// Data part.
static_assert(offsetof(FwIntMessage, appMsg.data.channelNameTxt) == 80);
static_assert(offsetof(FwIntMessage, appMsg.data.chnType) == ReplicationRecord::CHN_TYPE_OFFSET);
static_assert(offsetof(FwIntMessage, appMsg.data.replicationFlag) == 104);
static_assert(offsetof(FwIntMessage, appMsg.data.msgTopicSeq) == 112);
static_assert(offsetof(FwIntMessage, appMsg.data.applMsgSeq) == 120);
static_assert(offsetof(FwIntMessage, appMsg.data.peerIpAddr) == 128);
static_assert(offsetof(FwIntMessage, appMsg.data.peerAppIdTxt) == 132);
static_assert(offsetof(FwIntMessage, appMsg.data.peerAppInstId) == 144);
static_assert(offsetof(FwIntMessage, appMsg.data.peerAppSiteId) == 148);
static_assert(offsetof(FwIntMessage, appMsg.data.fdPtr) == 152);
static_assert(offsetof(FwIntMessage, appMsg.data.dataDir) == ReplicationRecord::DATA_DIR_OFFSET);
static_assert(offsetof(FwIntMessage, appMsg.data.dataLen) == ReplicationRecord::DATA_LEN_OFFSET);
static_assert(offsetof(FwIntMessage, appMsg.data.msgPartNum) == 168);
static_assert(offsetof(FwIntMessage, appMsg.data.more) == ReplicationRecord::MORE_OFFSET);
static_assert(offsetof(FwIntMessage, appMsg.data.buffer) == ReplicationRecord::DATA_FIXED_SIZE);
static_assert(sizeof(bool) == 1);
