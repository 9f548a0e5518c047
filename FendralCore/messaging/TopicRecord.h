// The messaging service's record of one topic this process publishes: its
// state, its sequence and acknowledgement positions, its subscriber counts
// and the bookkeeping of the resends it serves.
//
// The service thread creates, changes and deletes it. Application threads
// that send on the topic read and write lastMsgSeq, lastMsgBufIdx,
// lastMsgSentTime, lastMsgSentNs, lastTmIntervalMsgSeq, lastTopicTimeoutNs
// and applSeqNum only while they hold the baton (taken by
// compare-and-swap from 0 to 1 with acquire, given back by storing 0 with
// release); the service takes the same baton before it changes
// publishReady, and to read or move those fields once senders may run.
// What a sending thread reads without the baton (whether the
// topic is ready, the subscriber counts, the acknowledged positions and
// times) is atomic and read relaxed: a decision may use a slightly stale
// position, never a torn one. Times that measure intervals are monotonic
// nanoseconds (0: never); lastMsgSentTime is the wall-clock time that goes
// on the wire.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <atomic>
#include <ctime>
#include <sched.h>

class MessagingTopic;
struct MslChannelRecord;
struct MsgTopicResource;

struct TopicRecord
{
    bool used = false;
    std::atomic<bool> publishReady{false};
    ResourceName topicNameTxt{};
    ResourceName publisherThreadTxt{};
    MsgTopicResource* topicResPtr = nullptr;
    MessagingTopic* publisherTopicPtr = nullptr;

    std::atomic<int32> numEffectiveSub{0};
    std::atomic<int32> numRemoteSub{0};
    std::atomic<int32> numDrSiteSub{0};
    std::atomic<int32> numEffectiveMrmSub{0};
    std::atomic<int32> numRemoteMrmSub{0};
    std::atomic<int32> numDrSiteMrmSub{0};

    std::atomic<int32> baton{0};
    // Sending threads waiting for the baton: a resend lets them in between
    // its slices.
    std::atomic<int32> batonWaiters{0};
    // Written under the baton; the service's timer also reads it without.
    std::atomic<uint64> lastMsgSeq{0};
    uint64 lastTmIntervalMsgSeq = 0;
    int64 lastTopicTimeoutNs = 0;
    int32 lastMsgBufIdx = -1;
    timespec lastMsgSentTime{};
    int64 lastMsgSentNs = 0;

    std::atomic<uint64> lastAckedSeq{0};
    std::atomic<uint64> lastRemoteAckedSeq{0};
    std::atomic<uint64> lastPriAckedSeq{0};
    std::atomic<uint64> lastDrAckedSeq{0};
    std::atomic<uint64> lastMrmAckedSeq{0};
    std::atomic<uint64> lastRemoteMrmAckedSeq{0};
    std::atomic<uint64> lastDrMrmAckedSeq{0};
    int32 numAckRcvd = 0;
    int32 numDrAckRcvd = 0;
    int32 numRemoteAckRcvd = 0;
    int32 numMrmAckRcvd = 0;
    int32 numDrMrmAckRcvd = 0;
    int32 numRemoteMrmAckRcvd = 0;
    // Where the window counts from, per kind of subscriber (all, remote,
    // disaster-recovery site, recovery instance): the slowest one heard from
    // within the subscriber time-out whose position the history still
    // holds, else the kind's acknowledged position above. A live subscriber
    // that falls behind slows the publisher instead of losing data.
    std::atomic<uint64> windowAckedSeq{0};
    std::atomic<uint64> windowRemoteAckedSeq{0};
    std::atomic<uint64> windowDrAckedSeq{0};
    std::atomic<uint64> windowMrmAckedSeq{0};
    std::atomic<uint64> windowRemoteMrmAckedSeq{0};
    std::atomic<uint64> windowDrMrmAckedSeq{0};
    std::atomic<int64> lastAckRcvdNs{0};
    std::atomic<int64> lastDrAckRcvdNs{0};
    std::atomic<int64> lastMrmAckRcvdNs{0};
    std::atomic<int64> lastDrMrmAckRcvdNs{0};

    // The last resend request served (duplicate suppression).
    uint64 lastRecoverySeq = 0;
    int64 lastRecoveryRcvdNs = 0;
    uint64 lastRecovAppId = 0;
    int32 lastRecovAppInstId = 0;
    // The last resend ended where its requester's lack ended, before the
    // newest message: it covers no other request.
    bool lastRecoveryPartial = false;

    int32 mrmPartitionId = -1;
    uint64 applSeqNum = 0; // under the baton
    uint8 pubRecoverySessionId = 0;
    MslChannelRecord* chnRecPtr = nullptr;

    // Takes the baton when it is free; true when taken.
    bool tryTakeBaton()
    {
        int32 expected = 0;
        return baton.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    // The service's wait for the baton: senders hold it for one message at a
    // time; the yield lets a holder preempted on this core finish.
    void takeBaton()
    {
        for (int32 spins = 1; !tryTakeBaton(); ++spins)
            if (spins % 100 == 0)
                sched_yield();
    }
    void releaseBaton() { baton.store(0, std::memory_order_release); }

    // Back to a free slot, as the service finds it before filling it.
    void clear();
};
