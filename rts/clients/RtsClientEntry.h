// One entitled client of the retransmission server: where it may connect
// from, which channels it may request, its limits, and its counters, each
// counter mirrored as a running total into the client's statistics record.
// Used on the server's thread only; it takes no lock.
#pragma once

#include "kelmora/runtime/PeerLog.h"
#include "zunq/protocol/RetransProtocol.h"

#include <cstdint>
#include <netinet/in.h>
#include <set>
#include <string>

class Log;
struct RtsClientStats;

class RtsClientEntry
{
public:
    RtsClientEntry(Log& log, const std::string& userId, RtsClientStats* stats, std::uint32_t maxGap,
                   std::int32_t maxRequests, std::uint32_t maxMessages);

    // Logon: 0, 100 (already connected maxConnections times) or 106 (address not permitted).
    int validateClientAddress(const sockaddr_in& address, unsigned maxConnections);
    // 0, or 100 when the end is below the begin or end minus begin is not below the gap limit.
    int validateSeqNum(const Zunq::RetransmissionRequest* request, unsigned defaultMaxGap);
    // 0, 1 (channel not permitted), 99 (no request) or 101 (a limit reached).
    int validateRequest(const Zunq::RetransmissionRequest* request, unsigned maxRejectedRequests,
                        unsigned defaultMaxRequests, unsigned defaultMaxMessages);

    void addAcceptedMessages(std::uint32_t n);
    void addAcceptedRequests(std::uint32_t n);
    void addRejectedRequests(std::uint32_t n);
    void addMessageNotAvailable(std::uint32_t n);
    void addExceedsMaxSeqRange(std::uint32_t n);
    void addMessagesRetransmitted(std::uint32_t n);
    void updateRejectedRequests(std::uint32_t n);
    // The user's last connection closed: the count of its refusals held back from the log.
    void lastConnectionClosed();

    Log& mLog;
    std::string mUserId;
    RtsClientStats* mStats;
    std::set<std::string> mIpAddresses;
    std::uint32_t mMaxGap;
    std::int32_t mMaxRequests;
    std::uint32_t mMaxMessages;
    std::int32_t mNumRequests = 0;
    std::uint32_t mUnknownChannelId = 0;
    std::uint32_t mAcceptedMessages = 0;
    std::uint32_t mExceedMaxRequest = 0;
    std::uint32_t mNumPacketsRequested = 0;
    std::uint32_t mAcceptedRequest = 0;
    std::uint32_t mExceedsMaxSeqRange = 0;
    std::uint32_t mMessageNotAvailable = 0;
    std::uint32_t mMessageRetransmitted = 0;
    int mConnectionStatus = 0;
    std::uint32_t mRequests = 0;
    std::uint32_t mRejectedRequests = 0;
    std::uint32_t mSuccessfulRequests = 0;
    std::uint32_t mMaxNumRequestsReached = 0;
    std::uint32_t mIllegalConnectionRequests = 0;
    std::uint32_t mIllegalLengthRequests = 0;
    std::uint32_t mIllegalTypeRequests = 0;
    std::uint32_t mServiceUnavailable = 0;
    std::uint32_t mServiceNonExistent = 0;
    std::set<std::uint16_t> mChannels;

private:
    void refuseByLimit();

    // The user's refused requests, whichever of its connections sent them.
    PeerLog mPeerLog;
};
