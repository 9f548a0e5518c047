#include "rts/clients/RtsClientEntry.h"

#include "libstats/stats/RtsClientStats.h"
#include "zunq/log/Log.h"

#include <arpa/inet.h>

namespace
{
const char* const cValidate = "RtsClientEntry::validateRequest ";
} // namespace

RtsClientEntry::RtsClientEntry(Log& log, const std::string& userId, RtsClientStats* stats, std::uint32_t maxGap,
                               std::int32_t maxRequests, std::uint32_t maxMessages)
    : mLog(log), mUserId(userId), mStats(stats), mMaxGap(maxGap), mMaxRequests(maxRequests), mMaxMessages(maxMessages)
{
}

int RtsClientEntry::validateClientAddress(const sockaddr_in& address, unsigned maxConnections)
{
    if (static_cast<unsigned>(mConnectionStatus) >= maxConnections)
    {
        mLog.warning() << "RtsClientEntry::validateClientAddress ConnectionStatus=" << mConnectionStatus
                       << " UserId=" << mUserId << " already connected.";
        return Zunq::USER_ALREADY_CONNECTED;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return mIpAddresses.count(text) != 0 ? 0 : 106;
}

int RtsClientEntry::validateSeqNum(const Zunq::RetransmissionRequest* request, unsigned defaultMaxGap)
{
    const std::uint32_t begin = request->mBeginSeqNum;
    const std::uint32_t end = request->mEndSeqNum;
    const std::uint32_t limit = mMaxGap != 0 ? mMaxGap : defaultMaxGap;
    // An end below the begin is no range, however the difference wraps.
    if (end >= begin && end - begin < limit)
        return 0;
    ++mRejectedRequests;
    if (mStats != nullptr)
        mStats->updateNumRejectedRequests(static_cast<int>(mRejectedRequests));
    return Zunq::EXCEEDS_MAXIMUM_SEQUENCE_RANGE;
}

int RtsClientEntry::validateRequest(const Zunq::RetransmissionRequest* request, unsigned, unsigned defaultMaxRequests,
                                    unsigned defaultMaxMessages)
{
    if (request == nullptr)
    {
        mLog.error() << cValidate << "Internal Error Detected.";
        return 99;
    }
    if (mLog.verboseEnabled())
        mLog.verbose() << cValidate << "mUserId is " << mUserId;
    ++mNumRequests;
    if (mStats != nullptr)
        mStats->updateNumRequests(mNumRequests);
    if (mChannels.count(request->mChannelId) == 0)
    {
        if (mPeerLog.admit(mLog, cValidate + mUserId))
            mLog.warning() << cValidate << "BAD CLIENT ALERT - Requests from " << mUserId
                           << " not being processed as the requested channel is not permitted.";
        ++mUnknownChannelId;
        ++mRejectedRequests;
        if (mStats != nullptr)
        {
            mStats->updateUnknownChannelId(static_cast<int>(mUnknownChannelId));
            mStats->updateNumRejectedRequests(static_cast<int>(mRejectedRequests));
        }
        return Zunq::UNKNOWN_CHANNEL_ID;
    }
    if (mMaxRequests == 0)
        mMaxRequests = static_cast<std::int32_t>(defaultMaxRequests);
    if (mNumRequests > mMaxRequests)
    {
        mLog.warning() << cValidate << "Maximum Number of Requests for " << mUserId << " is exceeded: " << mMaxRequests;
        refuseByLimit();
        return Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY;
    }
    if (mMaxMessages == 0)
        mMaxMessages = defaultMaxMessages;
    if (mMaxMessages == 0 || mAcceptedMessages < mMaxMessages)
        return 0;
    mLog.warning() << cValidate << "Maximum Number of Messages for " << mUserId << " is exceeded: " << mMaxMessages;
    refuseByLimit();
    return Zunq::EXCEEDS_MAXIMUM_REQUESTS_PER_DAY;
}

void RtsClientEntry::lastConnectionClosed()
{
    mPeerLog.close(mLog, cValidate + mUserId);
}

void RtsClientEntry::refuseByLimit()
{
    ++mExceedMaxRequest;
    ++mRejectedRequests;
    if (mStats != nullptr)
    {
        mStats->updateExceedsMaxRequestsPerDay(static_cast<int>(mExceedMaxRequest));
        mStats->updateNumRejectedRequests(static_cast<int>(mRejectedRequests));
    }
}

void RtsClientEntry::addAcceptedMessages(std::uint32_t n)
{
    mAcceptedMessages += n;
    if (mStats != nullptr)
        mStats->updateNumMessagesAccepted(static_cast<int>(mAcceptedMessages));
}

void RtsClientEntry::addAcceptedRequests(std::uint32_t n)
{
    mAcceptedRequest += n;
    if (mStats != nullptr)
        mStats->updateNumAcceptedRequests(static_cast<int>(mAcceptedRequest));
}

void RtsClientEntry::addRejectedRequests(std::uint32_t n)
{
    mRejectedRequests += n;
    if (mStats != nullptr)
        mStats->updateNumRejectedRequests(static_cast<int>(mRejectedRequests));
}

void RtsClientEntry::addMessageNotAvailable(std::uint32_t n)
{
    mMessageNotAvailable += n;
    if (mStats != nullptr)
        mStats->updateMessageNotAvailable(static_cast<int>(mMessageNotAvailable));
}

void RtsClientEntry::addExceedsMaxSeqRange(std::uint32_t n)
{
    mExceedsMaxSeqRange += n;
    if (mStats != nullptr)
        mStats->updateExceedsMaxSeqRange(static_cast<int>(mExceedsMaxSeqRange));
}

void RtsClientEntry::addMessagesRetransmitted(std::uint32_t n)
{
    mMessageRetransmitted += n;
    if (mStats != nullptr)
        mStats->updateNumMessagesRetransmitted(static_cast<int>(mMessageRetransmitted));
}

void RtsClientEntry::updateRejectedRequests(std::uint32_t n)
{
    mRejectedRequests = n;
    if (mStats != nullptr)
        mStats->updateNumRejectedRequests(static_cast<int>(mRejectedRequests));
}
