#include "FendralCore/messaging/TopicRecord.h"

void TopicRecord::clear()
{
    // Atomics cannot be assigned as a whole record: each field goes back
    // to its start value.
    used = false;
    publishReady.store(false, std::memory_order_relaxed);
    for (char& c : topicNameTxt)
        c = '\0';
    for (char& c : publisherThreadTxt)
        c = '\0';
    topicResPtr = nullptr;
    publisherTopicPtr = nullptr;
    for (std::atomic<int32>* count : {&numEffectiveSub, &numRemoteSub, &numDrSiteSub, &numEffectiveMrmSub,
                                      &numRemoteMrmSub, &numDrSiteMrmSub})
        count->store(0, std::memory_order_relaxed);
    baton.store(0, std::memory_order_relaxed);
    lastMsgSeq.store(0, std::memory_order_relaxed);
    lastTmIntervalMsgSeq = 0;
    lastTopicTimeoutNs = 0;
    lastMsgBufIdx = -1;
    lastMsgSentTime = timespec{};
    lastMsgSentNs = 0;
    for (std::atomic<uint64>* seq : {&lastAckedSeq, &lastRemoteAckedSeq, &lastPriAckedSeq, &lastDrAckedSeq,
                                     &lastMrmAckedSeq, &lastRemoteMrmAckedSeq, &lastDrMrmAckedSeq, &windowAckedSeq,
                                     &windowRemoteAckedSeq, &windowDrAckedSeq, &windowMrmAckedSeq,
                                     &windowRemoteMrmAckedSeq, &windowDrMrmAckedSeq})
        seq->store(0, std::memory_order_relaxed);
    numAckRcvd = numDrAckRcvd = numRemoteAckRcvd = numMrmAckRcvd = numDrMrmAckRcvd = numRemoteMrmAckRcvd = 0;
    for (std::atomic<int64>* t : {&lastAckRcvdNs, &lastDrAckRcvdNs, &lastMrmAckRcvdNs, &lastDrMrmAckRcvdNs})
        t->store(0, std::memory_order_relaxed);
    lastRecoverySeq = 0;
    lastRecoveryRcvdNs = 0;
    lastRecovAppId = 0;
    lastRecovAppInstId = 0;
    lastRecoveryPartial = false;
    mrmPartitionId = -1;
    applSeqNum = 0;
    pubRecoverySessionId = 0;
    chnRecPtr = nullptr;
}
