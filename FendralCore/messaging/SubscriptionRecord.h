// The messaging service's record of one topic this process subscribes to:
// its publisher, its accepted and acknowledged positions, and the state of
// its recoveries and handshake requests.
//
// Created, changed and deleted on the messaging service thread only. Times
// that measure intervals are monotonic nanoseconds (0: never).
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <netinet/in.h>

class MessagingTopic;
struct MslChannelRecord;
struct MsgTopicResource;

enum TopicRecoveryMode : int32
{
    NORMAL_RECOVERY = 0,
    MRM_QUICK_RECOVERY = 1,
    MRM_LONG_RECOVERY = 2,
};

struct SubscriptionRecord
{
    bool used = false;
    bool subscribeReady = false;
    ResourceName topicNameTxt{};
    ApplicationID publisherIdTxt{}; // empty: no publisher
    int32 publisherInstId = -1;
    in_addr_t publisherIpAddr = 0;   // network order
    int32 publisherSiteId = 0;       // ApplicationSite
    ResourceName subscriberThreadTxt{};
    MsgTopicResource* topicResPtr = nullptr;
    MessagingTopic* subscriberTopicPtr = nullptr;

    int32 lastMsgBufIdx = -1;
    uint64 lastAcptMsgSeq = 0;
    uint64 highestMsgSeqRcvd = 0;
    uint64 lastMsgSeqAcked = 0;
    uint64 endRecoverySeq = 0; // 0 until learnt
    uint64 lastTailLostRecoverySeq = 0;
    uint64 initialMsgSeqNum = 0;

    int64 lastAckSentNs = 0;
    int64 lastMsgRcvdNs = 0;
    int64 lastMsgAcptNs = 0;
    int64 lastRecoverySentNs = 0;
    int64 lastTailLostRecoverySentNs = 0;
    int64 lastTailLostRecoveryRcvdNs = 0;
    int64 lastTailLostQueryNs = 0;
    int64 lastTopicSubRqsNs = 0;
    // The subscription's publisher itself (its data, heartbeat or answer)
    // last heard: a publisher presumed gone after a silence may answer again.
    int64 lastPubHeardNs = 0;

    bool onRecovery = false;
    bool onLeavePubTopic = false;
    bool subRqsPending = false;
    bool pubAckSent = false;
    int32 extraRetryCnt = 0;
    uint32 recoveryRqsId = 0; // 0: none
    uint32 tlQueryRqsId = 0;  // 0: none
    uint8 pubRecoverySessId = 0;
    uint32 mrmRqsId = 0;
    int32 mrmPartitionId = -1;
    int32 mrmInstId = 0;
    TopicRecoveryMode recoveryMode = NORMAL_RECOVERY;
    uint32 mrmSessionId = 0;
    MslChannelRecord* chnRecPtr = nullptr;
    int64 lastMrmHeartbeatNs = 0;
    // The timer period of the last long-recovery report (no report twice
    // in one period).
    int64 lastMrmReportPeriod = 0;

    // Busy or in-progress answers asked again for the current recovery.
    int32 busyRetryCnt = 0;
    // An unrecoverable gap was reported and nothing was accepted since: the
    // same gap is not reported again.
    bool gapReported = false;
    // A reported gap being passed: the next whole message up to
    // passGapEnd + 1 is taken at whatever number it has.
    bool passGap = false;
    uint64 passGapEnd = 0;
    // The handshake with the publisher gave the number the stream goes on
    // from: a subscription that skips late-join recovery skips only what
    // came before it.
    bool startKnown = false;

    // Back to a free slot, as the service finds it before filling it.
    void clear() { *this = SubscriptionRecord{}; }
};
