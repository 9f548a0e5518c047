#include "zunq/protocol/ZunqUtils.h"

#include "zunq/protocol/RetransProtocol.h"

namespace ZunqUtils
{

std::string retransStatusToString(int status)
{
    switch (status)
    {
    case Zunq::REQUEST_ACCEPTED:
        return "REQUEST_ACCEPTED";
    case Zunq::UNKNOWN_CHANNEL_ID:
        return "UNKNOWN_CHANNEL_ID";
    case Zunq::MESSAGES_NOT_AVAILABLE:
        return "MESSAGES_NOT_AVAILABLE";
    case Zunq::EXCEEDS_MAXIMUM_SEQUENCE_RANGE:
        return "EXCEEDS_MAXIMUM_SEQUENCE_RANGE";
    case Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY:
        return "EXCEEDS_MAXIMUM_REQUESTS_PER_DAY";
    case Zunq::INTERNAL_ERROR:
        return "INTERNAL_ERROR";
    case Zunq::ILLEGAL_LENGTH:
        return "ILLEGAL_LENGTH";
    case Zunq::ILLEGAL_MSG_TYPE:
        return "ILLEGAL_MSG_TYPE";
    case Zunq::UNKNOWN_USERID:
        return "UNKNOWN_USERID";
    case Zunq::SEQNUM_TOO_SMALL:
        return "SEQNUM_TOO_SMALL";
    case Zunq::ILLEGAL_CONNECTION:
        return "ILLEGAL_CONNECTION";
    case Zunq::BAD_CLIENT_BEHAVIOUR:
        return "BAD_CLIENT_BEHAVIOUR";
    default:
        return "UNKNOWN_STATUS(" + std::to_string(status) + ")";
    }
}

} // namespace ZunqUtils
