#include "FendralCore/messaging/ReplicationRecord.h"

#include <cstring>

namespace
{
template <size_t N>
void endText(char (&txt)[N])
{
    txt[N - 1] = '\0';
}

uint32 readU32(const char* bytes, uint32 offset)
{
    uint32 v = 0;
    std::memcpy(&v, bytes + offset, sizeof(v));
    return v;
}
} // namespace

uint32 ReplicationRecord::encode(const FwIntMessage& msg, char* out)
{
    const uint32 len = recordSize(msg);
    std::memcpy(out, &msg, len);
    return len;
}

uint32 ReplicationRecord::encodeOutgoing(const FwIntMessage& msg, const ResourceName* forwardThread, uint64 topicSeq,
                                         char* out)
{
    const uint32 len = encode(msg, out);
    auto* rec = reinterpret_cast<FwIntMessage*>(out);
    if (forwardThread != nullptr)
    {
        std::memcpy(rec->recipientTxt, *forwardThread, sizeof(ResourceName));
        endText(rec->recipientTxt);
    }
    rec->appMsg.data.msgTopicSeq = topicSeq;
    return len;
}

ReplicationRecord::Verdict ReplicationRecord::decode(const char* bytes, uint32 len, FwIntMessage& out)
{
    if (len < HEADER_SIZE)
        return Verdict::TOO_SHORT;
    // Fields that decide the length are read from the bytes before anything
    // is copied: out is never written past what the record holds.
    const uint32 type = readU32(bytes, TYPE_OFFSET);
    if (type == MSG_EVENT)
    {
        if (len != EVENT_SIZE)
            return Verdict::BAD_EVENT_SIZE;
        std::memcpy(&out, bytes, EVENT_SIZE);
        EventParam& p = out.appMsg.event.eventParam;
        p.resHandlePtr = nullptr;
        p.resPtr = nullptr;
        endText(p.resNameTxt);
        endText(p.appIdTxt);
        endText(out.appMsg.event.descTxt);
    }
    else if (type == MSG_DATA)
    {
        if (len < DATA_FIXED_SIZE)
            return Verdict::SIZE_MISMATCH;
        const uint32 dataLen = readU32(bytes, DATA_LEN_OFFSET);
        if (dataLen > MAX_DATA_LEN)
            return Verdict::DATA_TOO_LONG;
        const uint32 expect = dataLen < MAX_DATA_LEN ? DATA_FIXED_SIZE + dataLen : MAX_SIZE;
        if (len != expect)
            return Verdict::SIZE_MISMATCH;
        const uint32 chnType = readU32(bytes, CHN_TYPE_OFFSET);
        if (chnType != TCP_CHANNEL && chnType != UDP_CHANNEL && chnType != MSG_TOPIC_CHANNEL)
            return Verdict::UNKNOWN_CHANNEL;
        const uint32 dir = readU32(bytes, DATA_DIR_OFFSET);
        if (dir != INCOMING_DATA && dir != OUTGOING_DATA)
            return Verdict::UNKNOWN_DIRECTION;
        // The flag byte is taken as any non-zero value, never loaded as a
        // bool it may not be.
        const bool more = bytes[MORE_OFFSET] != 0;
        std::memcpy(&out, bytes, DATA_FIXED_SIZE + dataLen);
        Data_t& d = out.appMsg.data;
        d.more = more;
        d.fdPtr = nullptr;
        endText(d.channelNameTxt);
        endText(d.peerAppIdTxt);
    }
    else
        return Verdict::UNKNOWN_TYPE;
    endText(out.originatorTxt);
    endText(out.recipientTxt);
    return Verdict::OK;
}

const char* ReplicationRecord::verdictText(Verdict v)
{
    switch (v)
    {
    case Verdict::OK:
        return "valid";
    case Verdict::TOO_SHORT:
        return "shorter than its header";
    case Verdict::UNKNOWN_TYPE:
        return "of an unknown message type";
    case Verdict::BAD_EVENT_SIZE:
        return "an event of a wrong length";
    case Verdict::DATA_TOO_LONG:
        return "data longer than a record holds";
    case Verdict::SIZE_MISMATCH:
        return "of a length its data length does not match";
    case Verdict::UNKNOWN_CHANNEL:
        return "of an unknown channel type";
    case Verdict::UNKNOWN_DIRECTION:
        return "of an unknown data direction";
    }
    return "unknown";
}

bool ReplicationRecord::isTopicEvent(int32 id)
{
    switch (id)
    {
    case TOPIC_PUBLISH_ACK:
    case TOPIC_SUBSCRIBE_ACK:
    case TOPIC_LEAVE_SUB_ACK:
    case TOPIC_PUBLISHER_JOINED:
    case TOPIC_PUBLISHER_LEFT:
    case FIRST_SUBSCRIBER_JOINED:
    case FIRST_DR_SUBSCRIBER_JOINED:
    case LAST_SUBSCRIBER_LEFT:
    case LAST_DR_SUBSCRIBER_LEFT:
    case FIRST_MRM_SUBSCRIBER_JOINED:
    case FIRST_DR_MRM_SUBSCRIBER_JOINED:
    case LAST_MRM_SUBSCRIBER_LEFT:
    case LAST_DR_MRM_SUBSCRIBER_LEFT:
    case ACTIVE_SUBSCRIBER_JOINED:
    case ACTIVE_SUBSCRIBER_LEFT:
        return true;
    default:
        return false;
    }
}
