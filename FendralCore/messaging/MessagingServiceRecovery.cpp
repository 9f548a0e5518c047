// MessagingService: gap recovery. The subscriber's side (choosing how a gap
// is filled, the requests to the publisher and to peer subscribers, their
// answers and time-outs, the retry after a busy answer, the report of a gap
// that stays open) and the serving side (a publisher resending from its
// history, a peer answering tail-lost queries and resending a lost tail).
//
// Waits that the protocol asks for (a retry after a busy answer) are
// deadlines the loop serves, never sleeps: other topics' data and
// acknowledgements go on meanwhile. A resend takes the topic's baton per
// slice, so application threads publishing on the topic wait one slice at
// most, and the range is checked again at every slice.
//
// Nothing on these paths is authenticated: any host that reaches the request
// channel can ask a publisher to resend (a forced request makes it resend its
// whole history) or answer a tail-lost query.
#include "FendralCore/messaging/MessagingService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <sched.h>

namespace
{
constexpr int64 NS_PER_MS = 1000000;

struct AddrText
{
    explicit AddrText(const sockaddr_in& from)
    {
        if (inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text)) == nullptr)
            text[0] = '\0';
    }
    char text[INET_ADDRSTRLEN] = {};
};

void wireName(const char (&field)[17], ResourceName& out)
{
    std::memset(out, 0, sizeof(ResourceName));
    std::memcpy(out, field, strnlen(field, sizeof(ResourceName) - 1));
}

UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}

// Between two slices of a resend the threads that waited for the baton
// send first; each holds it for one message. Bounded: senders that keep
// coming do not hold the resend back for long.
void letWaitingSendersIn(const TopicRecord& rec)
{
    constexpr int64 LIMIT_NS = 5000000;
    const int64 start = MonoClock::nowNs();
    while (rec.batonWaiters.load(std::memory_order_acquire) > 0 && MonoClock::nowNs() - start < LIMIT_NS)
        sched_yield();
}

// An application id from its number (the first 8 bytes of the text).
void appIdFromKey(uint64 key, char (&out)[sizeof(ApplicationID)])
{
    std::memset(out, 0, sizeof(out));
    std::memcpy(out, &key, sizeof(key));
}

// A subscription without a publisher takes this process's own id: the
// leave that settles the query then has a publisher to report gone.
void takeOwnIdAsPublisher(SubscriptionRecord& sub, const ApplicationID& appIdTxt, int32 appInstId)
{
    if (sub.publisherIdTxt[0] != '\0')
        return;
    std::memcpy(sub.publisherIdTxt, appIdTxt, sizeof(ApplicationID));
    sub.publisherInstId = appInstId;
}
} // namespace

// ---- asking ----

void MessagingService::reportUnrecoverableGap(SubscriptionRecord& sub, uint64 seq, uint64 oldestHeld)
{
    sub.onRecovery = false;
    if (sub.subscriberTopicPtr == nullptr)
        return;
    // Nothing was taken since the last report: it is the same gap, told
    // once (a chase after a fast publisher's history included).
    if (sub.gapReported)
        fwLog(LOG_LEVEL_INFO, "The message gap on topic [%.16s] after seq# [%lu] was reported already.",
              sub.topicNameTxt, static_cast<unsigned long>(seq));
    else
    {
        fwLog(LOG_LEVEL_NOTICE, "Send UNRECOVERABLE_TOPIC_MSG_GAP on topic [%.16s] to [%.16s].", sub.topicNameTxt,
              sub.subscriberThreadTxt);
        m_topicStats.unrecoverableGaps.add();
        sub.gapReported = true;
        EventParam p{};
        std::memcpy(p.resNameTxt, sub.topicNameTxt, sizeof(ResourceName));
        p.paramInt64 = static_cast<int64>(seq);
        p.resPtr = sub.topicResPtr;
        if (sub.subscriberTopicPtr->sendTopicEventMsg(UNRECOVERABLE_TOPIC_MSG_GAP, p) != 0)
            fwLog(LOG_LEVEL_WARNING,
                  "The message queue of [%.16s] is full. Discard event UNRECOVERABLE_TOPIC_MSG_GAP on topic [%.16s] "
                  "and continue.",
                  sub.subscriberThreadTxt, sub.topicNameTxt);
    }
    // The recovery instances' topics and the recovery-request topics start
    // again on their own terms.
    const MsgTopicResource& res = *sub.topicResPtr;
    if (res.mrmTopic || res.recoveryRqsTopic)
        return;
    // A peer's number is taken only within what this subscription heard of.
    if (oldestHeld > sub.highestMsgSeqRcvd + 1)
        oldestHeld = 0;
    const uint64 before = sub.lastAcptMsgSeq;
    sub.busyRetryCnt = 0;
    if (sub.subscriberTopicPtr->passGap(m_clock.wallTime(), m_clock.monoNs(), oldestHeld) != 0)
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] delivering messages of topic [%.16s] past the unrecoverable gap.",
              FrameworkErrno::m_fwErrno, sub.topicNameTxt);
    fwLog(LOG_LEVEL_NOTICE,
          "Topic [%.16s] goes on past the unrecoverable gap after seq# [%lu]: last acpt seq# [%lu], %s.",
          sub.topicNameTxt, static_cast<unsigned long>(before), static_cast<unsigned long>(sub.lastAcptMsgSeq),
          sub.passGap ? "taking the next message that comes" : "in order from there");
    // What the publisher still holds after it is asked for at once.
    if (oldestHeld != 0 && !sub.onRecovery && sub.lastAcptMsgSeq < sub.highestMsgSeqRcvd &&
        sub.publisherIdTxt[0] != '\0' && requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, false) != 0)
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] requesting recovery of topic [%.16s] from seq# [%lu].",
              FrameworkErrno::m_fwErrno, sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
}

void MessagingService::dropRecoveryRequest(SubscriptionRecord& sub)
{
    if (sub.recoveryRqsId != 0)
        erasePendingRqs(sub.recoveryRqsId);
    sub.recoveryRqsId = 0;
    DataValueType ignored = 0;
    m_normalRecoveryMap->remove(nameKey(sub.topicNameTxt), ignored);
}

bool MessagingService::publisherHeard(const SubscriptionRecord& sub) const
{
    const int64 limitNs = 3 * static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS;
    return sub.publisherIdTxt[0] != '\0' && sub.lastPubHeardNs != 0 && m_clock.monoNs() - sub.lastPubHeardNs <= limitNs;
}

int32 MessagingService::processMessageGap(SubscriptionRecord& sub, uint64 gapSize, int64 nowNs, uint64 senderId,
                                          uint8 recoverySessionId)
{
    m_topicStats.gapsReported.add();
    const MsgTopicResource& res = *sub.topicResPtr;
    const uint64 maxPubGap = res.regParam.maxPubGapRecovery;
    const bool recoveryMode = m_gblData.m_appMode.load() == RECOVERY_MODE;
    bool lastAttempt = false;
    TopicRecoveryMode mode = NORMAL_RECOVERY;
    auto chooseForOtherTopic = [&](bool keepNormalInRecoveryMode) {
        if (recoveryMode)
        {
            mode = keepNormalInRecoveryMode ? NORMAL_RECOVERY : MRM_LONG_RECOVERY;
            lastAttempt = keepNormalInRecoveryMode;
        }
        else if (gapSize > maxPubGap)
            mode = gapSize <= static_cast<uint64>(m_settings.mrmQuickRecoveryThold) && sub.mrmPartitionId >= 0
                       ? MRM_QUICK_RECOVERY
                       : MRM_LONG_RECOVERY;
        else
            mode = NORMAL_RECOVERY;
    };

    if (!sub.onRecovery)
    {
        // A request of a recovery that completed meanwhile says nothing about
        // this gap (its answer may name another resend that has passed it):
        // the new gap is asked for on its own.
        if (sub.recoveryRqsId != 0)
            dropRecoveryRequest(sub);
        sub.lastMsgAcptNs = 0;
        sub.pubRecoverySessId = 0;
        sub.onRecovery = true;
        sub.busyRetryCnt = 0;
        if (res.recoveryRqsTopic)
            mode = NORMAL_RECOVERY;
        else if (res.mrmTopic)
        {
            // An instance's own topic: asked of the instance only while a
            // request or a session of this process waits on it.
            if (!mrmTopicGapToResend(sub, gapSize, nowNs, false))
                return 0;
            mode = NORMAL_RECOVERY;
        }
        else
            chooseForOtherTopic(false);
        fwLog(LOG_LEVEL_NOTICE,
              "Message gap [%lu] detected with last acpt msg seq# [%lu] in topic [%.16s]. Initiate recovery mode [%d].",
              static_cast<unsigned long>(gapSize), static_cast<unsigned long>(sub.lastAcptMsgSeq), sub.topicNameTxt,
              mode);
    }
    else
    {
        const int64 recovTimeoutNs = static_cast<int64>(m_settings.recovTimeoutMs) * NS_PER_MS;
        const int64 firstWaitNs =
            static_cast<int64>(m_settings.resendThold + 1) * m_settings.rqsTimeoutMs * NS_PER_MS;
        const bool stalled =
            (recoverySessionId != 0 && recoverySessionId == sub.pubRecoverySessId &&
             sub.lastMsgRcvdNs - sub.lastMsgAcptNs > recovTimeoutNs) ||
            (sub.lastMsgAcptNs == 0 && nowNs - sub.lastRecoverySentNs > firstWaitNs) ||
            (sub.lastMsgAcptNs != 0 && sub.lastMsgRcvdNs - sub.lastMsgAcptNs > recovTimeoutNs);
        if (!stalled)
            return 0;
        sub.busyRetryCnt = 0;
        sub.pubRecoverySessId = 0;
        sub.lastMsgAcptNs = 0;
        sub.endRecoverySeq = sub.highestMsgSeqRcvd;
        if (sub.recoveryMode != NORMAL_RECOVERY)
        {
            if (res.mrmTopic || res.recoveryRqsTopic)
            {
                fwLog(LOG_LEVEL_WARNING, "Topic [%.16s] should not be under mode [%d] recovery.", sub.topicNameTxt,
                      sub.recoveryMode);
                return 0;
            }
            // The publisher's own data goes on beside an instance's session;
            // a session whose resent data stalled ends, and a long recovery
            // is the last attempt.
            DataValueType ignored = 0;
            if ((sub.publisherIdTxt[0] != '\0' && senderId == MslProtocol::appIdKey(sub.publisherIdTxt)) ||
                !m_mrmRecoveryMap->getValueByKey(nameKey(sub.topicNameTxt), ignored, false))
                return 0;
            fwLog(LOG_LEVEL_NOTICE,
                  "Message gap [%lu] detected in recovery mode [%d] in topic [%.16s] with last acpt msg seq# [%lu]. "
                  "Send MRM_END_RECOVERY_NOTIFICATION to terminate the recovery session.",
                  static_cast<unsigned long>(gapSize), sub.recoveryMode, sub.topicNameTxt,
                  static_cast<unsigned long>(sub.lastAcptMsgSeq));
            notifyMrmEndRecovery(sub);
            mode = MRM_LONG_RECOVERY;
            lastAttempt = true;
        }
        else
        {
            if (sub.recoveryRqsId != 0)
                fwLog(LOG_LEVEL_NOTICE,
                      "Message gap [%lu] detected on topic [%.16s], remove pending recovery request [%u] prior to "
                      "initiating further recovery request.",
                      static_cast<unsigned long>(gapSize), sub.topicNameTxt, sub.recoveryRqsId);
            dropRecoveryRequest(sub);
            if (res.recoveryRqsTopic)
                mode = NORMAL_RECOVERY;
            else if (res.mrmTopic)
            {
                if (!mrmTopicGapToResend(sub, gapSize, nowNs, true))
                    return 0;
                mode = NORMAL_RECOVERY;
            }
            else
                chooseForOtherTopic(true);
        }
        fwLog(LOG_LEVEL_NOTICE,
              "Message gap [%lu] detected during recovery with last acpt msg seq# [%lu] in topic [%.16s]. Initiate "
              "recovery mode [%d].",
              static_cast<unsigned long>(gapSize), static_cast<unsigned long>(sub.lastAcptMsgSeq), sub.topicNameTxt,
              mode);
    }

    if (mode == NORMAL_RECOVERY)
        return requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, lastAttempt);
    sub.recoveryMode = NORMAL_RECOVERY;
    sub.lastRecoverySentNs = nowNs;
    if (requestMrmRecovery(sub, mode, TRIGGERED_BY_MSG_LOST) == 0)
        return 0;
    fwLog(LOG_LEVEL_NOTICE,
          "Error [%d] requesting MRM recovery on topic [%.16s] while the application is in mode [%d]. Last accepted "
          "seq# [%lu]. Gap size [%lu].",
          FrameworkErrno::m_fwErrno, sub.topicNameTxt, static_cast<int32>(m_gblData.m_appMode.load()),
          static_cast<unsigned long>(sub.lastAcptMsgSeq), static_cast<unsigned long>(gapSize));
    if (requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, true) != 0)
        reportUnrecoverableGap(sub, sub.lastAcptMsgSeq);
    return 0;
}

int32 MessagingService::requestTopicMsgRecovery(SubscriptionRecord& sub, uint64 lastRcvdSeq, bool lastAttempt)
{
    if (sub.recoveryRqsId != 0)
    {
        fwLog(LOG_LEVEL_INFO,
              "There is an outstanding DATA_RECOVERY_RQS or TAIL_LOST_RECOVERY_RQS [%u] on topic [%.16s]. Do not send "
              "DATA_RECOVERY_RQS again with last attempt flag [%d] and continue.",
              sub.recoveryRqsId, sub.topicNameTxt, lastAttempt);
        return 0;
    }
    MslMsgRqs& r = composeRequest(DATA_RECOVERY_RQS, sub.topicNameTxt, lastRcvdSeq);
    r.reasonCode = lastAttempt ? FORCE_RECOVERY : 0;
    // Only what is lacked before what is held past the gap is asked for:
    // resending up to the newest message would hold the topic's senders
    // back for the whole paced resend, for messages already here. One
    // pacing batch more follows it, so that a resent message lost on the
    // way shows as a gap at once among those after it.
    const uint64 lacked = sub.subscriberTopicPtr != nullptr && lastRcvdSeq == sub.lastAcptMsgSeq
                              ? sub.subscriberTopicPtr->lackedBeforeHeld()
                              : 0;
    if (lacked != 0)
        r.numUnackMsgMax = static_cast<uint32>(
            std::min<uint64>(lacked + static_cast<uint64>(std::max(m_settings.resendBatchSize, 1)), UINT32_MAX));
    fwLog(LOG_LEVEL_WARNING, "Request topic [%.16s] recovery. Last seq# rcvd [%lu]. Last attempt flag [%d]. Request ID [%u].",
          sub.topicNameTxt, static_cast<unsigned long>(lastRcvdSeq), lastAttempt, r.hdr.rqsId);
    if (sendRequest(reinterpret_cast<const char*>(&r), MslProtocol::RQS_SIZE) != 0)
        return -1;
    m_topicStats.recoveryRqsSent.add();
    PendingRqsRecord pending;
    pending.rqs = r;
    pending.lastRecoveryAttempt = lastAttempt;
    pending.subRecPtr = &sub;
    if (addPendingRqs(pending) != 0)
        return -1;
    sub.lastRecoverySentNs = m_clock.monoNs();
    sub.endRecoverySeq = sub.highestMsgSeqRcvd;
    sub.onRecovery = true;
    sub.recoveryMode = NORMAL_RECOVERY;
    sub.pubRecoverySessId = 0;
    return 0;
}

int32 MessagingService::queryTailLost(SubscriptionRecord& sub, MslCmdType cmd, uint64 peerAppId, int32 peerInstId,
                                      uint64 peerLastRcvdSeq, bool sendOnly, bool lastAttempt)
{
    // An answer to a peer enters no request: it may go out beside this
    // subscriber's own query.
    if (sub.tlQueryRqsId != 0 && !sendOnly)
    {
        fwLog(LOG_LEVEL_INFO,
              "There is an outstanding tail lost query [%u] on topic [%.16s]. Do not send tail lost query again with "
              "last attempt flag [%d] and continue.",
              sub.tlQueryRqsId, sub.topicNameTxt, lastAttempt);
        return 0;
    }
    MslMsgRqs& r = composeRequest(cmd, sub.topicNameTxt, sub.lastAcptMsgSeq);
    PendingRqsRecord pending;
    pending.rqs = r;
    pending.lastRecoveryAttempt = lastAttempt;
    pending.subRecPtr = &sub;
    pending.appId = peerAppId;
    pending.appInstId = peerInstId;
    pending.lastMsgSeq = peerLastRcvdSeq;
    if (cmd == TAIL_LOST_QUERY)
        sub.lastTailLostQueryNs = m_clock.monoNs();
    else
    {
        pending.ackRcvd = true;
        pending.ackCnt = 1;
    }
    if (sendOnly)
    {
        // Only ever an answer to a peer's query.
        peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
                "Query tail lost [%d] on topic [%.16s]. Last seq# acpt [%lu]. Last attempt flag [%d].",
              cmd, sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq), lastAttempt);
        return sendRequest(reinterpret_cast<const char*>(&r), MslProtocol::RQS_SIZE);
    }
    fwLog(LOG_LEVEL_NOTICE,
          "Query tail lost [%d] on topic [%.16s]. Last seq# acpt [%lu]. Last attempt flag [%d]. Request ID [%u].", cmd,
          sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq), lastAttempt, r.hdr.rqsId);
    if (sendRequest(reinterpret_cast<const char*>(&r), MslProtocol::RQS_SIZE) != 0)
        return -1;
    m_topicStats.tailLostQueriesSent.add();
    if (addPendingRqs(pending) != 0)
        return -1;
    sub.tlQueryRqsId = pending.rqs.hdr.rqsId;
    return 0;
}

int32 MessagingService::checkReplicationTail(const ResourceName& topicNameTxt)
{
    SubscriptionRecord* sub = findSubscription(topicNameTxt);
    if (sub == nullptr || sub != m_repliSubRecPtr || sub->publisherIdTxt[0] != '\0')
        return 0;
    if (sub->tlQueryRqsId == 0 || findPendingRqs(sub->tlQueryRqsId) == nullptr)
    {
        sub->tlQueryRqsId = 0;
        if (queryTailLost(*sub, TAIL_LOST_QUERY, 0, 0, 0, false, false) != 0)
            return -1;
    }
    takeOwnIdAsPublisher(*sub, m_appIdTxt, m_appInstId);
    sub->onLeavePubTopic = true;
    return 0;
}

int32 MessagingService::checkAppReplicationTail()
{
    SubscriptionRecord* sub = m_appRepliSubRecPtr;
    if (!m_noAppRepliTopic || sub == nullptr || !sub->used)
        return 0;
    if (sub->tlQueryRqsId != 0 && findPendingRqs(sub->tlQueryRqsId) != nullptr)
        return 0;
    sub->tlQueryRqsId = 0;
    takeOwnIdAsPublisher(*sub, m_appIdTxt, m_appInstId);
    return queryTailLost(*sub, TAIL_LOST_QUERY, 0, 0, 0, false, false);
}

int32 MessagingService::requestTailLostRecovery(SubscriptionRecord& sub, uint64 dstAppId, int32 dstInstId,
                                                uint64 lastRcvdSeq, bool lastAttempt)
{
    if (sub.recoveryRqsId != 0)
    {
        fwLog(LOG_LEVEL_INFO,
              "There is an outstanding DATA_RECOVERY_RQS or TAIL_LOST_RECOVERY_RQS [%u] on topic [%.16s]. Do not send "
              "TAIL_LOST_RECOVERY_RQS again with last attempt flag [%d] and continue.",
              sub.recoveryRqsId, sub.topicNameTxt, lastAttempt);
        return 0;
    }
    MslMsgRqs& r = composeRequest(TAIL_LOST_RECOVERY_RQS, sub.topicNameTxt, lastRcvdSeq);
    appIdFromKey(dstAppId, r.hdr.recipientAppIdTxt);
    r.hdr.recipientInstId = dstInstId;
    r.reasonCode = lastAttempt ? FORCE_RECOVERY : 0;
    fwLog(LOG_LEVEL_NOTICE,
          "Send TAIL_LOST_RECOVERY_RQS for topic [%.16s] to [%s:%d]. Last seq# rcvd [%lu]. Last attempt flag [%d]. "
          "Request ID [%u].",
          sub.topicNameTxt, MslPeerText(r.hdr.recipientAppIdTxt).c_str(), dstInstId,
          static_cast<unsigned long>(lastRcvdSeq), lastAttempt, r.hdr.rqsId);
    if (sendRequest(reinterpret_cast<const char*>(&r), MslProtocol::RQS_SIZE) != 0)
        return -1;
    m_topicStats.recoveryRqsSent.add();
    PendingRqsRecord pending;
    pending.rqs = r;
    pending.lastRecoveryAttempt = lastAttempt;
    pending.subRecPtr = &sub;
    pending.appId = dstAppId;
    pending.appInstId = dstInstId;
    if (addPendingRqs(pending) != 0)
        return -1;
    sub.onRecovery = true;
    sub.recoveryMode = NORMAL_RECOVERY;
    return 0;
}

// ---- answers ----

// The request leaves the table first: what the answer leads to may enter new
// ones. The subscription it was for, no longer waiting on it; null when gone.
SubscriptionRecord* MessagingService::settleAnswered(const PendingRqsRecord& req)
{
    erasePendingRqs(req.rqs.hdr.rqsId);
    return subscriptionOf(req);
}

// The subscription a recovery request was for, no longer waiting on it; null
// when it is gone.
SubscriptionRecord* MessagingService::subscriptionOf(const PendingRqsRecord& req)
{
    SubscriptionRecord* sub = req.subRecPtr;
    if (sub == nullptr || !sub->used)
        return nullptr;
    if (sub->recoveryRqsId == req.rqs.hdr.rqsId)
        sub->recoveryRqsId = 0;
    return sub;
}

// The published topic a request names, when it is ready to serve; name gets
// the name as the tables hold it.
TopicRecord* MessagingService::findReadyPublishedTopic(const char (&field)[17], ResourceName& name)
{
    wireName(field, name);
    TopicRecord* rec = findTopic(name);
    if (rec == nullptr || rec->publisherTopicPtr == nullptr || !rec->publishReady.load(std::memory_order_acquire))
        return nullptr;
    return rec;
}

int32 MessagingService::processDataRecoveryRsp(PendingRqsRecord& pendingRef, const sockaddr_in& from)
{
    const MslRecoveryRsp a = m_rcvMsg.recoveryRsp;
    const PendingRqsRecord req = pendingRef;
    SubscriptionRecord* subPtr = settleAnswered(req);
    if (subPtr == nullptr)
        return 0;
    SubscriptionRecord& sub = *subPtr;
    sub.lastPubHeardNs = m_clock.monoNs();
    const MsgTopicResource& res = *sub.topicResPtr;
    if (!sub.onRecovery || sub.recoveryMode != NORMAL_RECOVERY)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Received DATA_RECOVERY_RSP on topic [%.16s] from [%s:%s:%d:%d] while the topic is no longer in "
              "recovery. Status [%d], error code [%d], starting seq# [%lu], ending seq# [%lu]. Retry count [%d].",
              sub.topicNameTxt, AddrText(from).text, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId,
              a.hdr.senderSiteId, a.status, a.errorCode, static_cast<unsigned long>(a.beginResendMsgSeq),
              static_cast<unsigned long>(a.endResendMsgSeq), a.hdr.resendCount);
        return 0;
    }
    fwLog(LOG_LEVEL_NOTICE,
          "Received DATA_RECOVERY_RSP on topic [%.16s] from [%s:%s:%d:%d]. Status [%d], error code [%d], starting "
          "seq# [%lu], ending seq# [%lu]. Request ID [%u]. Retry count [%d].",
          sub.topicNameTxt, AddrText(from).text, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId,
          a.hdr.senderSiteId, a.status, a.errorCode, static_cast<unsigned long>(a.beginResendMsgSeq),
          static_cast<unsigned long>(a.endResendMsgSeq), req.rqs.hdr.rqsId, a.hdr.resendCount);
    const uint64 start = req.rqs.lastMsgTopicSeq;
    // A resend in progress helps only when it began at or before the next
    // number this subscriber needs.
    if (a.status == 0 || (a.errorCode == MSL_RECOVERY_IN_PROGRESS && sub.lastAcptMsgSeq > start &&
                          a.beginResendMsgSeq <= sub.lastAcptMsgSeq + 1))
    {
        sub.endRecoverySeq = a.endResendMsgSeq;
        sub.busyRetryCnt = 0;
        if (a.status == 0)
            sub.pubRecoverySessId = static_cast<uint8>(a.errorCode);
        if (!res.mrmTopic && !res.recoveryRqsTopic)
            m_normalRecoveryMap->insert(nameKey(sub.topicNameTxt), 1, true);
        // Everything announced may have come already.
        if (sub.lastAcptMsgSeq >= sub.endRecoverySeq)
        {
            sub.onRecovery = false;
            DataValueType ignored = 0;
            m_normalRecoveryMap->remove(nameKey(sub.topicNameTxt), ignored);
        }
        return 0;
    }
    const int32 code = a.errorCode;
    // An instance that cannot resend its own topic starts this process's
    // long sessions of it over.
    if (res.mrmTopic && restartMrmTopicSessions(sub, code))
        return 0;
    if (res.mrmTopic || res.recoveryRqsTopic)
    {
        fwLog(LOG_LEVEL_NOTICE, "Failed to recover MRM request topic [%.16s] message from publisher (%d). Proceed.",
              sub.topicNameTxt, code);
        sub.lastAcptMsgSeq = 0;
        reportUnrecoverableGap(sub, start);
        return 0;
    }
    // Without a running recovery instance a busy publisher is asked again
    // after the delay: nothing else could serve the range sooner.
    if ((code == MSL_RECOVERY_BUSY || code == MSL_RECOVERY_IN_PROGRESS) && sub.busyRetryCnt < m_settings.resendThold &&
        !mrmInstanceRunning(sub))
    {
        ++sub.busyRetryCnt;
        deferRetry(sub, false, 0, 0, req.lastRecoveryAttempt);
        return 0;
    }
    // A range older than the publisher's history: only a running instance
    // may still hold it. Otherwise the gap is reported once and passed, on
    // from the oldest number the publisher holds.
    const uint64 oldestHeld = a.status != 0 && a.beginResendMsgSeq <= a.endResendMsgSeq ? a.beginResendMsgSeq : 0;
    if (code == MSL_MSG_GAP_TOO_LARGE && oldestHeld != 0 && sub.lastAcptMsgSeq + 1 >= oldestHeld &&
        oldestHeld <= sub.highestMsgSeqRcvd + 1)
    {
        // A request made before the subscription moved on (a lost answer
        // asked again): what it still lacks, the publisher holds.
        fwLog(LOG_LEVEL_NOTICE,
              "Topic [%.16s] moved past the refused seq# [%lu] meanwhile: last acpt seq# [%lu]. Ask again from there.",
              sub.topicNameTxt, static_cast<unsigned long>(start), static_cast<unsigned long>(sub.lastAcptMsgSeq));
        if (sub.lastAcptMsgSeq < sub.highestMsgSeqRcvd && requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, false) == 0)
            return 0;
        sub.onRecovery = false;
        DataValueType ignored = 0;
        m_normalRecoveryMap->remove(nameKey(sub.topicNameTxt), ignored);
        return 0;
    }
    if (code == MSL_MSG_GAP_TOO_LARGE && (req.lastRecoveryAttempt || !mrmInstanceRunning(sub)))
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Failed [%d] to recover topic [%.16s] message from publisher, which holds seq# [%lu] to [%lu].", code,
              sub.topicNameTxt, static_cast<unsigned long>(a.beginResendMsgSeq),
              static_cast<unsigned long>(a.endResendMsgSeq));
        reportUnrecoverableGap(sub, start, oldestHeld);
        return 0;
    }
    if (req.lastRecoveryAttempt)
    {
        if (code == MSL_RECOVERY_BUSY)
        {
            deferRetry(sub, false, 0, 0);
            return 0;
        }
        fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to recover topic [%.16s] message from publisher while the application is in mode [%d].",
              code, sub.topicNameTxt, static_cast<int32>(m_gblData.m_appMode.load()));
        reportUnrecoverableGap(sub, start);
        return 0;
    }
    fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to recover topic [%.16s] message from publisher. Attempt to recover from MRM.",
          code, sub.topicNameTxt);
    if (requestMrmRecovery(sub, MRM_LONG_RECOVERY, TRIGGERED_BY_NORM_RECOVERY_RQS_FAILURE) == 0)
        return 0;
    if (code == MSL_RECOVERY_IN_PROGRESS && requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, true) == 0)
        return 0;
    reportUnrecoverableGap(sub, start);
    return 0;
}

int32 MessagingService::processTailLostRecoveryRsp(PendingRqsRecord& pendingRef, const sockaddr_in& from)
{
    const MslRecoveryRsp a = m_rcvMsg.recoveryRsp;
    const PendingRqsRecord req = pendingRef;
    SubscriptionRecord* subPtr = settleAnswered(req);
    if (subPtr == nullptr)
        return 0;
    SubscriptionRecord& sub = *subPtr;
    const MsgTopicResource& res = *sub.topicResPtr;
    fwLog(LOG_LEVEL_NOTICE,
          "Received TAIL_LOST_RECOVERY_RSP on topic [%.16s] from [%s:%s:%d:%d]. Status [%d], error code [%d], "
          "starting seq# [%lu], ending seq# [%lu]. Request ID [%u].",
          sub.topicNameTxt, AddrText(from).text, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId,
          a.hdr.senderSiteId, a.status, a.errorCode, static_cast<unsigned long>(a.beginResendMsgSeq),
          static_cast<unsigned long>(a.endResendMsgSeq), req.rqs.hdr.rqsId);
    if (!sub.onRecovery || sub.recoveryMode != NORMAL_RECOVERY)
        return 0;
    const uint64 start = req.rqs.lastMsgTopicSeq;
    if (a.status == 0 || (a.errorCode == MSL_RECOVERY_IN_PROGRESS && sub.lastAcptMsgSeq > start))
    {
        sub.endRecoverySeq = a.endResendMsgSeq;
        sub.busyRetryCnt = 0;
        if (!res.mrmTopic && !res.recoveryRqsTopic)
            m_normalRecoveryMap->insert(nameKey(sub.topicNameTxt), 1, true);
        if (sub.lastAcptMsgSeq >= sub.endRecoverySeq)
        {
            sub.onRecovery = false;
            DataValueType ignored = 0;
            m_normalRecoveryMap->remove(nameKey(sub.topicNameTxt), ignored);
        }
        return 0;
    }
    const int32 code = a.errorCode;
    if (res.mrmTopic || res.recoveryRqsTopic)
    {
        sub.lastAcptMsgSeq = 0;
        return 0;
    }
    // As with the publisher: without a running instance the peer is asked
    // again after the delay.
    if ((code == MSL_RECOVERY_BUSY || code == MSL_RECOVERY_IN_PROGRESS) && sub.busyRetryCnt < m_settings.resendThold &&
        !mrmInstanceRunning(sub))
    {
        ++sub.busyRetryCnt;
        deferRetry(sub, true, req.appId, req.appInstId, req.lastRecoveryAttempt);
        return 0;
    }
    if (req.lastRecoveryAttempt)
    {
        if (code == MSL_RECOVERY_BUSY)
        {
            deferRetry(sub, true, req.appId, req.appInstId);
            return 0;
        }
        fwLog(LOG_LEVEL_NOTICE,
              "Failed [%d] to recover topic [%.16s] message from peer subscriber while the application is in mode [%d].",
              code, sub.topicNameTxt, static_cast<int32>(m_gblData.m_appMode.load()));
        reportUnrecoverableGap(sub, start);
        return 0;
    }
    fwLog(LOG_LEVEL_NOTICE, "Failed to recover topic [%.16s] tail lost message. Try MRM_LONG_RECOVERY.", sub.topicNameTxt);
    sub.onLeavePubTopic = true;
    if (requestMrmRecovery(sub, MRM_LONG_RECOVERY, TRIGGERED_BY_TAIL_LOST_RQS_FAILURE) == 0)
        return 0;
    const int32 r = code == MSL_RECOVERY_IN_PROGRESS
                        ? requestTailLostRecovery(sub, req.appId, req.appInstId, sub.lastAcptMsgSeq, true)
                        : queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true);
    if (r != 0)
        reportUnrecoverableGap(sub, start);
    return 0;
}

// ---- time-outs ----

int32 MessagingService::processPendingDataRecoveryRqs(PendingRqsRecord& done)
{
    SubscriptionRecord* subPtr = subscriptionOf(done);
    if (subPtr == nullptr)
        return 0;
    SubscriptionRecord& sub = *subPtr;
    if (!sub.onRecovery)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Timeout waiting for data recovery response for topic [%.16s] but the topic is no longer on recovery.",
              sub.topicNameTxt);
        return 0;
    }
    fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for data recovery response for topic [%.16s].", sub.topicNameTxt);
    const MsgTopicResource& res = *sub.topicResPtr;
    bool started = false;
    if (res.mrmTopic && restartMrmTopicSessions(sub, 0))
        return 0;
    if (res.mrmTopic || res.recoveryRqsTopic)
        sub.lastAcptMsgSeq = 0;
    else if (done.lastRecoveryAttempt)
        started = queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true) == 0;
    else
        started = requestMrmRecovery(sub, MRM_LONG_RECOVERY, TRIGGERED_BY_NORM_RECOVERY_RQS_TIMEOUT) == 0 ||
                  requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, true) == 0;
    if (started)
    {
        // Whatever comes of it, the publisher counts as gone.
        if (sub.onRecovery)
            sub.onLeavePubTopic = true;
        return 0;
    }
    sub.onRecovery = false;
    sub.onLeavePubTopic = false;
    if (sub.publisherIdTxt[0] != '\0' && sub.subscriberTopicPtr != nullptr)
    {
        EventParam p{};
        std::memcpy(p.resNameTxt, sub.topicNameTxt, sizeof(ResourceName));
        std::memcpy(p.appIdTxt, sub.publisherIdTxt, sizeof(ApplicationID));
        p.paramInt64 = sub.publisherInstId;
        p.resPtr = sub.topicResPtr;
        sub.subscriberTopicPtr->sendTopicEventMsg(TOPIC_PUBLISHER_LEFT, p);
        std::memset(sub.publisherIdTxt, 0, sizeof(ApplicationID));
        sub.publisherInstId = -1;
    }
    reportUnrecoverableGap(sub, done.rqs.lastMsgTopicSeq);
    return 0;
}

int32 MessagingService::processPendingTailLostQuery(PendingRqsRecord& done)
{
    SubscriptionRecord* subPtr = done.subRecPtr;
    if (subPtr == nullptr || !subPtr->used)
        return 0;
    SubscriptionRecord& sub = *subPtr;
    if (sub.tlQueryRqsId == done.rqs.hdr.rqsId)
        sub.tlQueryRqsId = 0;
    const bool query = done.rqs.hdr.cmdType == TAIL_LOST_QUERY;
    if (done.ackRcvd && done.lastMsgSeq > sub.lastAcptMsgSeq)
    {
        if (done.lastMsgSeq < sub.highestMsgSeqRcvd)
            sub.highestMsgSeqRcvd = done.lastMsgSeq;
        if (sub.onRecovery && sub.recoveryMode != NORMAL_RECOVERY)
        {
            sub.endRecoverySeq = done.lastMsgSeq;
            if (query)
                fwLog(LOG_LEVEL_NOTICE,
                      "MRM recovery on topic [%.16s] is in progress. End Recovery Seq [%lu]. Skip Tail Lost Recovery.",
                      sub.topicNameTxt, static_cast<unsigned long>(sub.endRecoverySeq));
            return 0;
        }
        if (sub.onRecovery)
            dropRecoveryRequest(sub);
        fwLog(LOG_LEVEL_NOTICE, "Initiate tail lost recovery for topic [%.16s].", sub.topicNameTxt);
        sub.lastTailLostRecoverySentNs = m_clock.monoNs();
        if (requestTailLostRecovery(sub, done.appId, done.appInstId, sub.lastAcptMsgSeq, done.lastRecoveryAttempt) != 0 &&
            done.lastRecoveryAttempt)
            reportUnrecoverableGap(sub, sub.lastAcptMsgSeq);
        return 0;
    }
    DataValueType ignored = 0;
    const bool inNormalRecovery = m_normalRecoveryMap->getValueByKey(nameKey(sub.topicNameTxt), ignored, false);
    if (sub.recoveryRqsId != 0 || inNormalRecovery)
    {
        if (done.ackRcvd)
            fwLog(LOG_LEVEL_NOTICE,
                  "No tail lost detected on topic [%.16s] but Data Recovery/Tail Lost recovery is still in progress. "
                  "Last rcvd seq# [%lu].",
                  sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
        else
            fwLog(LOG_LEVEL_NOTICE,
                  "No other subscriber to topic [%.16s] responds to tail lost query but Data Recovery/Tail Lost "
                  "recovery is still in progress. Last rcvd seq# [%lu].",
                  sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
        return 0;
    }
    if (done.ackRcvd)
        fwLog(LOG_LEVEL_NOTICE, "No tail lost detected on topic [%.16s]. Last rcvd seq# [%lu].", sub.topicNameTxt,
              static_cast<unsigned long>(sub.lastAcptMsgSeq));
    else
        fwLog(LOG_LEVEL_NOTICE, "No other subscriber to topic [%.16s] responds to tail lost query. Last rcvd seq# [%lu].",
              sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
    if (done.lastRecoveryAttempt && sub.lastAcptMsgSeq < sub.highestMsgSeqRcvd && publisherHeard(sub))
    {
        // The publisher was presumed gone after a silence, yet it is heard:
        // it still has what the peers lack.
        fwLog(LOG_LEVEL_NOTICE, "The publisher of topic [%.16s] is heard again. Ask it from last acpt seq# [%lu].",
              sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
        sub.onLeavePubTopic = false;
        if (requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, true) == 0)
            return 0;
    }
    sub.onRecovery = false;
    if (sub.onLeavePubTopic)
    {
        sub.onLeavePubTopic = false;
        if (sub.publisherIdTxt[0] != '\0' && sub.subscriberTopicPtr != nullptr)
        {
            EventParam p{};
            std::memcpy(p.resNameTxt, sub.topicNameTxt, sizeof(ResourceName));
            std::memcpy(p.appIdTxt, sub.publisherIdTxt, sizeof(ApplicationID));
            p.paramInt32 = 1;
            p.paramInt64 = sub.publisherInstId;
            p.resPtr = sub.topicResPtr;
            sub.subscriberTopicPtr->sendTopicEventMsg(TOPIC_PUBLISHER_LEFT, p);
            std::memset(sub.publisherIdTxt, 0, sizeof(ApplicationID));
            sub.publisherInstId = -1;
        }
    }
    if (done.lastRecoveryAttempt && sub.lastAcptMsgSeq < sub.highestMsgSeqRcvd)
        reportUnrecoverableGap(sub, done.rqs.lastMsgTopicSeq);
    return 0;
}

int32 MessagingService::processPendingTailLostRecoveryRqs(PendingRqsRecord& done)
{
    SubscriptionRecord* subPtr = subscriptionOf(done);
    if (subPtr == nullptr)
        return 0;
    SubscriptionRecord& sub = *subPtr;
    if (!sub.onRecovery)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Timeout waiting for tail lost recovery response for topic [%.16s] but the topic is no longer on "
              "recovery.",
              sub.topicNameTxt);
        return 0;
    }
    fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for TAIL_LOST_RECOVERY_RSP for topic [%.16s].", sub.topicNameTxt);
    if (sub.topicResPtr->mrmTopic || sub.topicResPtr->recoveryRqsTopic)
        return 0;
    if (!done.lastRecoveryAttempt)
    {
        if (requestMrmRecovery(sub, MRM_LONG_RECOVERY, TRIGGERED_BY_TAIL_LOST_RQS_TIMEOUT) == 0)
            return 0;
        fwLog(LOG_LEVEL_NOTICE, "Initiate tail lost query for topic [%.16s].", sub.topicNameTxt);
    }
    else
        fwLog(LOG_LEVEL_NOTICE, "Initiate tail lost query for topic [%.16s] for the last time.", sub.topicNameTxt);
    if (queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true) != 0)
        reportUnrecoverableGap(sub, done.rqs.lastMsgTopicSeq);
    return 0;
}

// ---- retries after a busy answer ----

void MessagingService::deferRetry(SubscriptionRecord& sub, bool tailLost, uint64 peerAppId, int32 peerInstId,
                                  bool lastAttempt)
{
    const int64 due = m_clock.monoNs() + static_cast<int64>(m_settings.recovBusyDelayMs) * NS_PER_MS;
    fwLog(LOG_LEVEL_NOTICE, "Recovery on topic [%.16s] answered busy. Ask again in [%d] msec.", sub.topicNameTxt,
          m_settings.recovBusyDelayMs);
    m_retries.push_back(DeferredRetry{&sub, tailLost, peerAppId, peerInstId, due, lastAttempt});
}

void MessagingService::serveDueRetries(int64 nowNs)
{
    for (size_t i = 0; i < m_retries.size();)
    {
        if (m_retries[i].dueNs > nowNs)
        {
            ++i;
            continue;
        }
        const DeferredRetry r = m_retries[i];
        m_retries.erase(m_retries.begin() + static_cast<std::ptrdiff_t>(i));
        SubscriptionRecord& sub = *r.sub;
        if (!sub.used || !sub.onRecovery)
            continue;
        const int32 rc = r.tailLost ? requestTailLostRecovery(sub, r.peerAppId, r.peerInstId, sub.lastAcptMsgSeq,
                                                              r.lastAttempt)
                                    : requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, r.lastAttempt);
        if (rc != 0)
            reportUnrecoverableGap(sub, sub.lastAcptMsgSeq);
    }
}

void MessagingService::dropRetries(const SubscriptionRecord* sub)
{
    std::erase_if(m_retries, [&](const DeferredRetry& r) { return r.sub == sub; });
}

int32 MessagingService::waitLimitMs(int32 timeoutMs) const
{
    if (m_retries.empty() && m_mrmDeferred.empty())
        return timeoutMs;
    int64 earliest = INT64_MAX;
    for (const DeferredRetry& r : m_retries)
        earliest = std::min(earliest, r.dueNs);
    for (const DeferredMrmRqs& r : m_mrmDeferred)
        earliest = std::min(earliest, r.dueNs);
    const int64 leftNs = earliest - m_clock.monoNs();
    const int32 ms = leftNs <= 0 ? 0 : static_cast<int32>((leftNs + NS_PER_MS - 1) / NS_PER_MS);
    return timeoutMs < 0 ? ms : std::min(ms, timeoutMs);
}

// ---- serving ----

void MessagingService::sendRecoveryRsp(MslMessage& tmpl, const MslMsgRqs& r, int32 status, int32 errorCode,
                                       uint64 begin, uint64 end)
{
    MslRecoveryRsp& a = tmpl.recoveryRsp;
    std::memcpy(a.hdr.recipientAppIdTxt, r.hdr.senderAppIdTxt, sizeof(ApplicationID));
    a.hdr.recipientInstId = r.hdr.senderInstId;
    a.hdr.recipientSiteId = r.hdr.senderSiteId;
    a.hdr.rqsId = r.hdr.rqsId;
    a.hdr.resendCount = r.hdr.resendCount;
    std::memcpy(a.topicNameTxt, r.topicNameTxt, sizeof(ResourceName));
    a.topicNameTxt[sizeof(ResourceName) - 1] = '\0';
    a.status = status;
    a.errorCode = errorCode;
    a.beginResendMsgSeq = begin;
    a.endResendMsgSeq = end;
    stampWire(a.hdr);
    sendAnswer(tmpl.bytes, MslProtocol::RECOVERY_RSP_SIZE);
    if (status != 0 && errorCode == MSL_RECOVERY_BUSY)
        m_topicStats.recoveryAnsweredBusy.add();
    // Answers follow peers' requests: limited as their lines are.
    peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
            "Send %s on topic [%.16s] to [%s:%d:%d], status [%d], err code [%d], end recovery seq# [%lu].",
          MslProtocol::cmdName(a.hdr.cmdType), a.topicNameTxt, MslPeerText(r.hdr.senderAppIdTxt).c_str(),
          r.hdr.senderInstId, r.hdr.senderSiteId, status, errorCode, static_cast<unsigned long>(end));
}

bool MessagingService::coveredByLastResend(const TopicRecord& rec, const MslMsgRqs& r, int64 rcvdNs) const
{
    const uint64 s = r.lastMsgTopicSeq;
    const uint64 l = rec.lastRecoverySeq;
    const uint64 n = rec.lastMsgSeq.load(std::memory_order_relaxed);
    if (r.reasonCode == FORCE_RECOVERY || s < l || rec.lastRecoveryPartial)
        return false;
    if (n < l || (s - l > (n - l) / 2 && s > static_cast<uint64>(m_settings.resendBatchSize)))
        return false;
    if (rcvdNs - rec.lastRecoveryRcvdNs > static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS / 2)
        return false;
    return !(MslProtocol::appIdKey(r.hdr.senderAppIdTxt) == rec.lastRecovAppId &&
             r.hdr.senderInstId == rec.lastRecovAppInstId);
}

void MessagingService::serveBetweenSlices(const ResourceName& resentTopic)
{
    sendHeartbeatOnIdleTopic(m_clock.monoNs(), resentTopic);
    // Acknowledgements go on being read: a long resend must not make the
    // subscribers look silent, nor leave the window on stale positions.
    if (m_connInitDone)
        for (int32 i = 0; i < m_channelTable->size(); ++i)
        {
            MslChannelRecord* chn = m_channelTable->slotRecord(i);
            if (chn != nullptr && chn->ackSock != nullptr && chn->ackJoinCnt > 0)
                processMultiMslDataAck(chn, nullptr);
        }
    const bool was = m_resendInProgress;
    m_resendInProgress = true;
    processMslRqs(nullptr);
    m_resendInProgress = was;
}

int32 MessagingService::processDataRecoveryRqs(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid =
        checkedRequest(len, "Invalid data recovery request message size [%d] received, expect [%lu]. Discard and "
                            "continue.");
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    TopicRecord* rec = findReadyPublishedTopic(r.topicNameTxt, name);
    if (rec == nullptr)
        return 0;
    const int64 rcvdNs = m_clock.monoNs();
    const uint64 s = r.lastMsgTopicSeq;
    rec->publisherTopicPtr->noteSubscriberHeard(MslProtocol::appIdKey(r.hdr.senderAppIdTxt), r.hdr.senderInstId,
                                                rcvdNs);
    peerLog(m_rcLogLimit, LOG_LEVEL_WARNING,
            "Received DATA_RECOVERY_RQS on topic [%.16s] from [%s:%s:%d:%d] starting from seq# [%lu]. Reason code "
            "[%d], retry count [%d].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, static_cast<unsigned long>(s), r.reasonCode, r.hdr.resendCount);
    const uint64 l = rec->lastRecoverySeq;
    if (coveredByLastResend(*rec, r, rcvdNs))
    {
        const uint64 n = rec->lastMsgSeq.load(std::memory_order_relaxed);
        peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
              "Previous recovery request on topic [%.16s] is in progress. Ignore this recovery request starting from "
              "msg seq# [%lu] and continue.",
              name, static_cast<unsigned long>(s));
        if (s == l)
            sendRecoveryRsp(m_dataRecoveryRspTemplate, r, 0, 0, s + 1, n);
        else
            sendRecoveryRsp(m_dataRecoveryRspTemplate, r, -1, MSL_RECOVERY_IN_PROGRESS, l + 1, n);
        return 0;
    }
    MessagingTopic* topic = rec->publisherTopicPtr;
    uint64 end = 0;
    uint64 oldest = 0;
    rec->takeBaton();
    const int32 checked = topic->chkResendRange(s + 1, end);
    const int32 checkCode = FrameworkErrno::m_fwErrno;
    if (checked != 0 && checkCode == NO_SUCH_ENTRY)
        oldest = topic->oldestHeldSeq(end);
    rec->releaseBaton();
    if (checked != 0)
    {
        if (checkCode == NO_SUCH_ENTRY)
            peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE, "The message gap on topic [%.16s] is too large to recover.", name);
        else
            fwLog(LOG_LEVEL_ERROR, "Error [%d] resending message on topic [%.16s].", checkCode, name);
        // The refusal tells what is still held, so the subscriber can go on
        // from there (0 and 0: nothing).
        sendRecoveryRsp(m_dataRecoveryRspTemplate, r, -1, MSL_MSG_GAP_TOO_LARGE, oldest, oldest != 0 ? end : 0);
        return 0;
    }
    // A requester that says what it lacks gets that, not everything since.
    const bool partial = r.numUnackMsgMax != 0 && end - s > r.numUnackMsgMax;
    if (partial)
        end = s + r.numUnackMsgMax;
    rec->pubRecoverySessionId = rec->pubRecoverySessionId >= 255 ? 1 : static_cast<uint8>(rec->pubRecoverySessionId + 1);
    const uint8 session = rec->pubRecoverySessionId;
    sendRecoveryRsp(m_dataRecoveryRspTemplate, r, 0, session, s + 1, end);
    m_topicStats.resendsServed.add();
    uint64 next = s + 1;
    while (next <= end)
    {
        uint64 lastResent = 0;
        bool more = false;
        rec->takeBaton();
        // Live sends since the last slice may have pushed the range out of
        // the history.
        uint64 ignored = 0;
        int32 rc = topic->chkResendRange(next, ignored);
        if (rc == 0)
            rc = topic->resend(next, end, lastResent, more, session);
        const int32 code = FrameworkErrno::m_fwErrno;
        rec->releaseBaton();
        letWaitingSendersIn(*rec);
        if (rc != 0)
        {
            if (code == NO_SUCH_ENTRY)
                peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE, "The message gap on topic [%.16s] is too large to recover.", name);
            else
                fwLog(LOG_LEVEL_ERROR, "Error [%d] resending message on topic [%.16s].", code, name);
            return 0;
        }
        if (!more || lastResent == 0)
            break;
        next = lastResent + 1;
        serveBetweenSlices(name);
        // The topic may have gone while the requests were served.
        if (findTopic(name) != rec || rec->publisherTopicPtr != topic || !rec->publishReady.load(std::memory_order_acquire))
            return 0;
    }
    rec->lastRecoverySeq = s;
    rec->lastRecoveryPartial = partial;
    rec->lastRecovAppId = MslProtocol::appIdKey(r.hdr.senderAppIdTxt);
    rec->lastRecovAppInstId = r.hdr.senderInstId;
    rec->lastRecoveryRcvdNs = rcvdNs;
    return 0;
}

int32 MessagingService::processDataRecoveryRqs2(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid =
        checkedRequest(len, "Invalid data recovery request message size [%d] received, expect [%lu]. Discard and "
                            "continue.");
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    TopicRecord* rec = findReadyPublishedTopic(r.topicNameTxt, name);
    if (rec == nullptr)
        return 0;
    const uint64 s = r.lastMsgTopicSeq;
    rec->publisherTopicPtr->noteSubscriberHeard(MslProtocol::appIdKey(r.hdr.senderAppIdTxt), r.hdr.senderInstId,
                                                m_clock.monoNs());
    peerLog(m_rcLogLimit, LOG_LEVEL_WARNING,
            "Received DATA_RECOVERY_RQS on topic [%.16s] from [%s:%s:%d:%d] starting from seq# [%lu] while MSL is "
            "processing another data recovery request or tail lost recovery request. Reason code [%d], retry count "
            "[%d].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, static_cast<unsigned long>(s), r.reasonCode, r.hdr.resendCount);
    const uint64 l = rec->lastRecoverySeq;
    const uint64 n = rec->lastMsgSeq.load(std::memory_order_relaxed);
    if (!coveredByLastResend(*rec, r, m_clock.monoNs()))
        sendRecoveryRsp(m_dataRecoveryRspTemplate, r, -1, MSL_RECOVERY_BUSY, l + 1, n);
    else if (s == l)
        sendRecoveryRsp(m_dataRecoveryRspTemplate, r, 0, 0, l + 1, n);
    else
        sendRecoveryRsp(m_dataRecoveryRspTemplate, r, -1, MSL_RECOVERY_IN_PROGRESS, l + 1, n);
    return 0;
}

int32 MessagingService::processTailLostQuery(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid =
        checkedRequest(len, "Invalid tail lost query message size [%d] received, expect [%lu]. Discard and continue.");
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr || !sub->subscribeReady)
        return 0;
    const uint64 s = r.lastMsgTopicSeq;
    const uint64 senderId = MslProtocol::appIdKey(r.hdr.senderAppIdTxt);
    peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
            "Received TAIL_LOST_QUERY [%u] on topic [%.16s] with last rcvd seq [%lu] from [%s:%s:%d:%d]. Retry count "
            "[%d].",
            r.hdr.cmdType, name, static_cast<unsigned long>(s), AddrText(from).text,
            MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId, r.hdr.senderSiteId, r.hdr.resendCount);
    if (sub->tlQueryRqsId != 0)
    {
        PendingRqsRecord* own = findPendingRqs(sub->tlQueryRqsId);
        if (own != nullptr)
        {
            own->ackRcvd = true;
            ++own->ackCnt;
            const bool better = s > own->lastMsgSeq ||
                                (s == own->lastMsgSeq && (senderId > own->appId || (senderId == own->appId &&
                                                                                     r.hdr.senderInstId < own->appInstId)));
            if (better)
            {
                own->lastMsgSeq = s;
                own->appId = senderId;
                own->appInstId = r.hdr.senderInstId;
            }
            // The peer asked at the same time and holds less: it is told
            // below, or both rounds would end without the tail.
        }
    }
    if (r.hdr.cmdType == TAIL_LOST_QUERY && s < sub->lastAcptMsgSeq)
    {
        peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
                "Notify [%s] via TAIL_LOST_QUERY2 (%d) on topic [%.16s] -> Received Last Accept Seq = [%lu]",
              MslPeerText(r.hdr.senderAppIdTxt).c_str(), TAIL_LOST_QUERY2, name,
              static_cast<unsigned long>(sub->lastAcptMsgSeq));
        queryTailLost(*sub, TAIL_LOST_QUERY2, 0, 0, 0, true, false);
    }
    return 0;
}

int32 MessagingService::processTailLostRecoveryRqs(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid =
        checkedRequest(len, "Invalid tail lost recovery request message size [%d] received, expect [%lu]. Discard and "
                            "continue.", true);
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr)
        return 0;
    const int64 rcvdNs = m_clock.monoNs();
    const uint64 s = r.lastMsgTopicSeq;
    peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
            "Received TAIL_LOST_RECOVERY_RQS on topic [%.16s] from [%s:%s:%d:%d] with starting seq# [%lu], reason "
            "code [%d] and retry count [%d].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, static_cast<unsigned long>(s), r.reasonCode, r.hdr.resendCount);
    const int64 halfTimeoutNs = static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS / 2;
    if (r.reasonCode != FORCE_RECOVERY && s >= sub->lastTailLostRecoverySeq &&
        rcvdNs - sub->lastTailLostRecoveryRcvdNs <= halfTimeoutNs)
    {
        peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
              "Previous recovery request on topic [%.16s] is in progress. Ignore this recovery request starting from "
              "msg seq# [%lu] and continue.",
              name, static_cast<unsigned long>(s));
        sendRecoveryRsp(m_tailLostRecoveryRspTemplate, r, -1, MSL_RECOVERY_IN_PROGRESS,
                        sub->lastTailLostRecoverySeq + 1, sub->lastTailLostRecoverySeq + 1);
        return 0;
    }
    MessagingTopic* topic = sub->subscriberTopicPtr;
    uint64 end = 0;
    if (topic->chkTailLostResendRange(s + 1, end) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == NO_SUCH_ENTRY)
            peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE, "The message gap on topic [%.16s] is too large to recover.", name);
        else
            fwLog(LOG_LEVEL_ERROR, "Error [%d] resending message on topic [%.16s].", code, name);
        sendRecoveryRsp(m_tailLostRecoveryRspTemplate, r, -1, MSL_MSG_GAP_TOO_LARGE, 0, 0);
        return 0;
    }
    sendRecoveryRsp(m_tailLostRecoveryRspTemplate, r, 0, 0, s + 1, end);
    m_topicStats.resendsServed.add();
    uint64 next = s + 1;
    while (next <= end)
    {
        uint64 lastResent = 0;
        bool more = false;
        uint64 ignored = 0;
        int32 rc = topic->chkTailLostResendRange(next, ignored);
        if (rc == 0)
            rc = topic->tailLostResend(next, end, lastResent, more);
        if (rc != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] resending message on topic [%.16s].", FrameworkErrno::m_fwErrno, name);
            return 0;
        }
        if (!more || lastResent == 0)
            break;
        next = lastResent + 1;
        serveBetweenSlices(name);
        if (findSubscription(name) != sub || sub->subscriberTopicPtr != topic)
            return 0;
    }
    sub->lastTailLostRecoverySeq = s;
    sub->lastTailLostRecoveryRcvdNs = rcvdNs;
    return 0;
}

int32 MessagingService::processTailLostRecoveryRqs2(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid =
        checkedRequest(len, "Invalid tail lost recovery request message size [%d] received, expect [%lu]. Discard and "
                            "continue.", true);
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr)
        return 0;
    const uint64 s = r.lastMsgTopicSeq;
    peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
            "Received TAIL_LOST_RECOVERY_RQS on topic [%.16s] from [%s:%s:%d:%d] with starting seq# [%lu] while MSL "
            "is processing a data recovery request or tail lost recovery request. Reason code [%d] and retry count "
            "[%d].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, static_cast<unsigned long>(s), r.reasonCode, r.hdr.resendCount);
    const int64 halfTimeoutNs = static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS / 2;
    const bool inProgress = r.reasonCode != FORCE_RECOVERY && s >= sub->lastTailLostRecoverySeq &&
                            m_clock.monoNs() - sub->lastTailLostRecoveryRcvdNs <= halfTimeoutNs;
    sendRecoveryRsp(m_tailLostRecoveryRspTemplate, r, -1, inProgress ? MSL_RECOVERY_IN_PROGRESS : MSL_RECOVERY_BUSY,
                    sub->lastTailLostRecoverySeq + 1, sub->lastTailLostRecoverySeq + 1);
    return 0;
}

// ---- heartbeats of quiet published topics ----

void MessagingService::sendHeartbeatOnIdleTopic(int64 nowNs, const char* skipTopic)
{
    const int64 timeoutNs = static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS;
    for (int32 i = 0; i < m_settings.topicMax; ++i)
    {
        TopicRecord& rec = m_topicRecs[i];
        if (!rec.used || rec.publisherTopicPtr == nullptr || !rec.publishReady.load(std::memory_order_acquire))
            continue;
        if (skipTopic != nullptr && std::strncmp(rec.topicNameTxt, skipTopic, sizeof(ResourceName)) == 0)
            continue;
        // Senders mark their intervals under the baton: the service reads
        // and moves them under it too, and sends the heartbeat (which takes
        // the baton itself) after.
        rec.takeBaton();
        const uint64 seq = rec.lastMsgSeq.load(std::memory_order_relaxed);
        const int64 sentNs = rec.lastMsgSentNs;
        bool beat = false;
        if (sentNs == 0 || nowNs - sentNs > timeoutNs)
        {
            beat = true;
            rec.lastTmIntervalMsgSeq = seq;
            rec.lastTopicTimeoutNs = nowNs;
        }
        else if (rec.lastTopicTimeoutNs != 0 && nowNs - rec.lastTopicTimeoutNs > timeoutNs)
        {
            // A busy topic draws acknowledgements through its data.
            beat = seq - rec.lastTmIntervalMsgSeq < rec.publisherTopicPtr->numUnackMsgMax();
            rec.lastTmIntervalMsgSeq = seq;
            rec.lastTopicTimeoutNs = nowNs;
        }
        else if (rec.lastTopicTimeoutNs == 0)
            rec.lastTopicTimeoutNs = nowNs;
        rec.releaseBaton();
        if (beat)
            rec.publisherTopicPtr->sendTopicHeartbeat();
    }
}
