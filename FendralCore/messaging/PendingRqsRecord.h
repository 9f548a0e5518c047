// One control request of the messaging service that still waits for its
// answers: the request as sent, what the answers reported so far, and the
// record it belongs to. Kept in the service's pending table under the
// request's id.
//
// Messaging service thread only.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/messaging/MslProtocol.h"

struct SubscriptionRecord;
struct TopicRecord;

struct PendingRqsRecord
{
    MslMsgRqs rqs{};
    bool ackRcvd = false;
    // A failure of this request ends the recovery.
    bool lastRecoveryAttempt = false;
    uint64 lastMsgSeq = 0; // the highest any answer reported
    uint64 appId = 0;      // a tail-lost query's best answer so far
    int32 appInstId = 0;
    int32 ackCnt = 0;
    // When the request was last sent (monotonic): its time-out runs from here.
    int64 lastSentNs = 0;
    // Both null for a leave notification.
    TopicRecord* pubRecPtr = nullptr;
    SubscriptionRecord* subRecPtr = nullptr;
};
