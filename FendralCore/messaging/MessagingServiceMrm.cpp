// MessagingService: recovery from MRM instances, the subscriber's side.
// Finding the partition of a topic, choosing an instance with the
// partition's bitmap and the local and cross-site lists, the request on this
// instance's recovery-request topic, the answer and the recovered data on
// the instance's MRM topic, the end of a session, time-outs and repeats,
// the instances' heartbeats, and joining the MRM channels only while a
// request or a session needs them. On an MRM instance the service also
// answers partition enquiries for the topics it carries.
//
// Everything read from an instance is checked before use: record sizes
// against the MRM data length, the embedded message against its own
// length, names and partition and instance numbers against the configured
// ranges. What does not pass is dropped with a line through the channel's
// limiter. Pauses (the join lead time, the pause before a repeat) are
// deadlines the loop serves.
#include "FendralCore/messaging/MessagingService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{
constexpr int64 NS_PER_MS = 1000000;

void wireName(const char (&field)[17], ResourceName& out)
{
    std::memset(out, 0, sizeof(ResourceName));
    std::memcpy(out, field, strnlen(field, sizeof(ResourceName) - 1));
}

UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}

// Decimal digits in [begin, end), at least one and at most 4: -1 otherwise.
int32 smallNumber(const char* begin, const char* end)
{
    if (begin >= end || end - begin > 4)
        return -1;
    int32 v = 0;
    for (const char* c = begin; c < end; ++c)
    {
        if (*c < '0' || *c > '9')
            return -1;
        v = v * 10 + (*c - '0');
    }
    return v;
}
} // namespace

// ---- names and choices ----

int32 MessagingService::getPartitionIdFromMrmTopic(const char* mrmBaseName, const char* topicNameTxt, int32& instId,
                                                   bool& localMrmTopic)
{
    instId = -1;
    localMrmTopic = true;
    const size_t baseLen = strnlen(mrmBaseName, sizeof(ApplicationID) - 1);
    const size_t len = strnlen(topicNameTxt, sizeof(ResourceName) - 1);
    if (baseLen == 0 || len <= baseLen || std::strncmp(topicNameTxt, mrmBaseName, baseLen) != 0)
        return -1;
    const char* begin = topicNameTxt + baseLen;
    const char* end = topicNameTxt + len;
    const char* colon = std::find(begin, end, ':');
    if (colon == end)
        return -1;
    const int32 partition = smallNumber(begin, colon);
    if (partition < 0)
        return -1;
    const char* letter = std::find(colon + 1, end, 'L');
    if (letter == end)
    {
        letter = std::find(colon + 1, end, 'C');
        if (letter != end)
            localMrmTopic = false;
    }
    if (letter != end)
        instId = smallNumber(colon + 1, letter);
    return partition;
}

bool MessagingService::mrmConfigured() const
{
    return m_gblData.m_numMrmPartition > 0 && m_gblData.m_numMrmInst > 0 && m_gblData.m_mrmBaseName[0] != '\0' &&
           m_channelTable != nullptr && m_channelTable->special(MSL_MRM_REQUEST_CHANNEL).isOpen();
}

bool MessagingService::mrmInstanceRunning(const SubscriptionRecord& sub)
{
    if (!mrmConfigured())
        return false;
    const int32 partitions = std::min<int32>(m_gblData.m_numMrmPartition, GlobalData::MRM_MAX_PARTITION);
    const int32 instances = std::min<int32>(m_gblData.m_numMrmInst, GlobalData::MRM_MAX_INSTANCE);
    const bool known = sub.mrmPartitionId >= 0 && sub.mrmPartitionId < partitions;
    const bool cross = mrmCrossSiteAllowed(sub);
    for (int32 p = known ? sub.mrmPartitionId : 0; p < (known ? sub.mrmPartitionId + 1 : partitions); ++p)
        for (int32 i = 0; i < instances; ++i)
            for (const bool local : {true, false})
            {
                if (!local && !cross)
                    continue;
                const SubscriptionRecord* mrmSub = mrmTopicSubscription(p, i, local);
                if (mrmSub != nullptr && mrmSub->publisherIdTxt[0] != '\0')
                    return true;
            }
    return false;
}

bool MessagingService::mrmCrossSiteAllowed(const SubscriptionRecord& sub) const
{
    return m_settings.mrmCrossSiteRecovery && sub.topicResPtr != nullptr &&
           sub.topicResPtr->regParam.allowMrmCrossSiteRecovery;
}

bool MessagingService::mrmActive() const
{
    return !m_pendingMrmRqs.empty() || !m_mrmRecoveryMap->empty() || !m_mrmDeferred.empty();
}

int32 MessagingService::nextMrmInstance(int32 instId) const
{
    const int32 n = m_gblData.m_numMrmInst;
    if (n <= 0)
        return 0;
    int32 next = (instId + 1) % n;
    if (m_gblData.m_mrmApplication && next == m_appInstId && n > 1)
        next = (next + 1) % n;
    return next;
}

SubscriptionRecord* MessagingService::mrmTopicSubscription(int32 partitionId, int32 instId, bool local)
{
    if (partitionId < 0 || partitionId >= GlobalData::MRM_MAX_PARTITION || instId < 0 ||
        instId >= GlobalData::MRM_MAX_INSTANCE)
        return nullptr;
    const ResourceName& name = local ? m_gblData.m_mrmLocalTopicNameList[partitionId][instId]
                                     : m_gblData.m_mrmCrossSiteTopicNameList[partitionId][instId];
    if (name[0] == '\0')
        return nullptr;
    SubscriptionRecord* sub = findSubscription(name);
    return sub != nullptr && sub->subscriberTopicPtr != nullptr ? sub : nullptr;
}

bool MessagingService::mrmPartitionAppId(int32 partitionId, ApplicationID& out) const
{
    char text[32] = {};
    const int n = std::snprintf(text, sizeof(text), "%.8s%d", m_gblData.m_mrmBaseName, partitionId);
    if (n <= 0 || static_cast<size_t>(n) > sizeof(ApplicationID) - 1)
        return false;
    std::memset(out, 0, sizeof(ApplicationID));
    std::memcpy(out, text, static_cast<size_t>(n));
    return true;
}

// ---- the channels ----

void MessagingService::joinMrmChannels(const SubscriptionRecord& sub)
{
    if (m_mrmChannelsJoined)
        return;
    MslChannelTable& t = *m_channelTable;
    if (t.joinData(&t.special(MSL_MRM_LOCAL_CHANNEL)) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] joining the MRM local data channel.", FrameworkErrno::m_fwErrno);
    m_mrmCrossSiteJoined = mrmCrossSiteAllowed(sub) && t.special(MSL_MRM_CROSS_SITE_CHANNEL).isOpen();
    if (m_mrmCrossSiteJoined && t.joinData(&t.special(MSL_MRM_CROSS_SITE_CHANNEL)) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] joining the MRM cross-site data channel.", FrameworkErrno::m_fwErrno);
    m_mrmChannelsJoined = true;
}

void MessagingService::leaveMrmChannelsWhenIdle()
{
    if (!m_mrmChannelsJoined || mrmActive())
        return;
    MslChannelTable& t = *m_channelTable;
    t.leaveData(&t.special(MSL_MRM_LOCAL_CHANNEL), false);
    if (m_mrmCrossSiteJoined)
        t.leaveData(&t.special(MSL_MRM_CROSS_SITE_CHANNEL), false);
    m_mrmChannelsJoined = false;
    m_mrmCrossSiteJoined = false;
}

void MessagingService::deferMrmRqs(SubscriptionRecord& sub, int32 partitionId, int32 instId, TopicRecoveryMode mode,
                                   bool resent, int32 endingInstId, int32 firstInstId, int64 dueNs, int32 waits)
{
    m_mrmDeferred.push_back(
        DeferredMrmRqs{&sub, partitionId, instId, mode, resent, endingInstId, firstInstId, dueNs, waits});
}

void MessagingService::serveDueMrmRqs(int64 nowNs)
{
    for (size_t i = 0; i < m_mrmDeferred.size();)
    {
        if (m_mrmDeferred[i].dueNs > nowNs)
        {
            ++i;
            continue;
        }
        const DeferredMrmRqs d = m_mrmDeferred[i];
        m_mrmDeferred.erase(m_mrmDeferred.begin() + static_cast<std::ptrdiff_t>(i));
        SubscriptionRecord& sub = *d.sub;
        if (!sub.used || !sub.onRecovery || sub.subscriberTopicPtr == nullptr)
            continue;
        // A recovery-request topic still in its handshake (a gap found at
        // start-up) is waited for, as long as its handshake may take.
        const TopicRecord* reco = m_recovTopicRecPtr;
        if (reco != nullptr && !reco->publishReady.load(std::memory_order_acquire) &&
            d.waits <= m_settings.resendThold + 1)
        {
            deferMrmRqs(sub, d.partitionId, d.instId, d.mode, d.resent, d.endingInstId, d.firstInstId,
                        nowNs + static_cast<int64>(m_settings.rqsTimeoutMs) * NS_PER_MS, d.waits + 1);
            continue;
        }
        if (sendMrmRecoveryRqs(d.partitionId, d.instId, d.mode, sub, sub.lastAcptMsgSeq, nowNs, d.resent,
                               d.endingInstId, d.firstInstId) != 0)
            mrmFallBack(sub);
    }
    leaveMrmChannelsWhenIdle();
}

// ---- the partition ----

int32 MessagingService::requestMrmRecovery(SubscriptionRecord& sub, TopicRecoveryMode mode, int32 reason)
{
    // Instances configured by name of which none runs would only cost an
    // enquiry's time-outs before the same fall-back.
    if (!mrmConfigured() || !mrmInstanceRunning(sub))
    {
        bool chk = false;
        const int32 r = recoverWithoutMrm(sub, reason, chk);
        if (chk)
            checkEndRecoveryMode();
        return r;
    }
    if (sub.mrmPartitionId < 0 || sub.mrmPartitionId >= m_gblData.m_numMrmPartition)
        return enquireMrmPartition(sub, reason);
    const int32 start = sub.mrmInstId >= 0 && sub.mrmInstId < m_gblData.m_numMrmInst ? sub.mrmInstId : 0;
    return sendMrmRecoveryRqs(sub.mrmPartitionId, start, mode, sub, sub.lastAcptMsgSeq, m_clock.monoNs(), false, -1);
}

void MessagingService::startLateJoinRecovery(SubscriptionRecord& sub)
{
    if (sub.topicResPtr->regParam.skipLateJoinRecovery)
        return;
    if (mrmConfigured())
    {
        if (sub.mrmPartitionId < 0 || sub.mrmPartitionId >= m_gblData.m_numMrmPartition)
        {
            // Asked as a late join (reason 0): the answer goes on with it.
            if (enquireMrmPartition(sub, 0) != 0)
                fwLog(LOG_LEVEL_NOTICE, "Error [%d] enquiring MRM partition number for topic [%.16s].",
                      FrameworkErrno::m_fwErrno, sub.topicNameTxt);
            return;
        }
        const int32 start = sub.mrmInstId >= 0 && sub.mrmInstId < m_gblData.m_numMrmInst ? sub.mrmInstId : 0;
        if (sendMrmRecoveryRqs(sub.mrmPartitionId, start, MRM_LONG_RECOVERY, sub, sub.lastAcptMsgSeq, m_clock.monoNs(),
                               false, -1) == 0)
            return;
        if (FrameworkErrno::m_fwErrno != MRM_NOT_AVAILABLE)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "Error [%d] requesting MRM recovery on topic [%.16s] while the publisher is not available. Last "
                  "received seq# [%lu].",
                  FrameworkErrno::m_fwErrno, sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
            return;
        }
    }
    // Without an instance only a process starting from a recovery, which has
    // received nothing yet, asks its peers.
    const int32 mode = static_cast<int32>(m_gblData.m_appMode.load());
    if (mode != RECOVERY_MODE || sub.lastMsgRcvdNs != 0)
        return;
    fwLog(LOG_LEVEL_NOTICE, "No MRM available for topic [%.16s] in application mode [%d], attempt tail lost recovery.",
          sub.topicNameTxt, mode);
    if (queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true) != 0)
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] querying the tail lost of topic [%.16s].", FrameworkErrno::m_fwErrno,
              sub.topicNameTxt);
}

int32 MessagingService::enquireMrmPartition(SubscriptionRecord& sub, int32 reason)
{
    for (const auto& [id, p] : m_pendingRqs)
        if (p.rqs.hdr.cmdType == MRM_PARTITION_ENQ_RQS && p.subRecPtr == &sub)
            return 0;
    fwLog(LOG_LEVEL_WARNING, "Query MRM partition for topic [%.16s].", sub.topicNameTxt);
    MslMsgRqs& r = composeRequest(MRM_PARTITION_ENQ_RQS, sub.topicNameTxt, 0);
    r.reasonCode = reason;
    if (sendRequest(reinterpret_cast<const char*>(&r), MslProtocol::RQS_SIZE) != 0)
        return -1;
    PendingRqsRecord pending;
    pending.rqs = r;
    pending.subRecPtr = &sub;
    pending.lastSentNs = m_clock.monoNs();
    return addPendingRqs(pending);
}

int32 MessagingService::processMrmPartitionEnqRqs(int32 len, const sockaddr_in& from)
{
    (void)from;
    const MslMsgRqs* rp = checkedRequest(len, "Invalid MRM partition enquiry request message size [%d] received, "
                                              "expect [%lu]. Discard and continue.");
    if (rp == nullptr)
        return 0;
    const MslMsgRqs r = *rp;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr || m_mrmPartitionId < 0)
        return 0;
    peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE, "Received MRM partition enquiry request on topic [%.16s] from [%s:%d].",
            name, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId);
    MslMsgAck& a = composeAnswer(r, 0, 0, 0);
    a.mrmPartitionId = m_mrmPartitionId;
    sendAnswer(reinterpret_cast<const char*>(&a), MslProtocol::ACK_SIZE);
    peerLog(m_rcLogLimit, LOG_LEVEL_NOTICE,
            "Sent MRM partition enquiry response with partition ID [%d] for topic [%.16s] to [%s:%d:%d].",
            m_mrmPartitionId, name, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId, r.hdr.rqsId);
    return 0;
}

int32 MessagingService::processMrmPartitionEnqRsp(PendingRqsRecord& pending, const sockaddr_in& from)
{
    (void)from;
    const MslMsgAck a = m_rcvMsg.ack;
    if (!isMrmAppId(a.hdr.senderAppIdTxt) || a.mrmPartitionId < 0 || a.mrmPartitionId >= m_gblData.m_numMrmPartition ||
        a.mrmPartitionId >= GlobalData::MRM_MAX_PARTITION)
    {
        peerLog(m_racLogLimit, LOG_LEVEL_WARNING,
                "Invalid MRM partition ID [%d] from [%s:%d] in MRM_PARTITION_ENQ_RSP on topic [%.16s]. Discard and "
                "continue.",
                a.mrmPartitionId, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId,
                pending.rqs.topicNameTxt);
        return 0;
    }
    SubscriptionRecord* sub = pending.subRecPtr;
    const bool lateJoin = pending.rqs.reasonCode == 0;
    erasePendingRqs(pending.rqs.hdr.rqsId);
    if (sub == nullptr || !sub->used)
        return 0;
    fwLog(LOG_LEVEL_NOTICE, "Received MRM_PARTITION_ENQ_RSP on topic [%.16s] from [%s:%d] with partition ID [%d].",
          sub->topicNameTxt, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId, a.mrmPartitionId);
    // The next gap, time-out or idle check starts the recovery with it. A
    // subscription that joined without a publisher has none of those to
    // come: its late join goes on now.
    sub->mrmPartitionId = a.mrmPartitionId;
    if (lateJoin && !sub->onRecovery && sub->publisherIdTxt[0] == '\0' && sub->subscriberTopicPtr != nullptr &&
        !sub->topicResPtr->mrmTopic && !sub->topicResPtr->recoveryRqsTopic)
        startLateJoinRecovery(*sub);
    return 0;
}

int32 MessagingService::processPendingMrmPartitionEnquiry(PendingRqsRecord& done)
{
    SubscriptionRecord* sub = done.subRecPtr;
    if (sub == nullptr || !sub->used)
        return 0;
    bool chk = false;
    const int32 r = recoverWithoutMrm(*sub, done.rqs.reasonCode, chk);
    if (chk)
        checkEndRecoveryMode();
    return r;
}

int32 MessagingService::recoverWithoutMrm(SubscriptionRecord& sub, int32 reason, bool& chkEndRecovMode)
{
    const int32 mode = static_cast<int32>(m_gblData.m_appMode.load());
    if (!sub.onRecovery)
    {
        if (mode != RECOVERY_MODE)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "No MRM available for topic [%.16s] but it is no longer under message recovery while the "
                  "application is in mode [%d]. Reason code for MRM partition enquiry [%d].",
                  sub.topicNameTxt, mode, reason);
            chkEndRecovMode = true;
            return 0;
        }
        if (sub.publisherIdTxt[0] != '\0')
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "No MRM available for topic [%.16s] but the publisher [%s:%d] is present and it is no longer under "
                  "message recovery while the application is in mode [%d]. Reason code for MRM partition enquiry "
                  "[%d].",
                  sub.topicNameTxt, MslPeerText(sub.publisherIdTxt).c_str(), sub.publisherInstId, mode, reason);
            chkEndRecovMode = true;
            return 0;
        }
        DataValueType ignored = 0;
        if (sub.recoveryRqsId == 0 && !m_normalRecoveryMap->getValueByKey(nameKey(sub.topicNameTxt), ignored, false))
        {
            fwLog(LOG_LEVEL_NOTICE, "No MRM available for topic [%.16s] in late join recovery, attempt tail lost query.",
                  sub.topicNameTxt);
            return queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true);
        }
        fwLog(LOG_LEVEL_NOTICE,
              "No MRM available for topic [%.16s] but data recovery or tail lost recovery is in progress while the "
              "application is in mode [%d]. Reason code for MRM partition enquiry [%d].",
              sub.topicNameTxt, mode, reason);
        chkEndRecovMode = true;
        return 0;
    }
    if (m_gblData.m_mrmApplication)
        fwLog(LOG_LEVEL_NOTICE,
              "No MRM available for topic [%.16s] while the MRM application is in mode [%d]. Reason code for MRM "
              "partition enquiry [%d].",
              sub.topicNameTxt, mode, reason);
    else
        fwLog(LOG_LEVEL_NOTICE,
              "No MRM available for topic [%.16s] while the application is in mode [%d]. Reason code for MRM "
              "partition enquiry [%d].",
              sub.topicNameTxt, mode, reason);
    sub.recoveryMode = NORMAL_RECOVERY;
    switch (reason)
    {
    case TRIGGERED_BY_NORM_RECOVERY_RQS_TIMEOUT:
    case TRIGGERED_BY_NORM_RECOVERY_RQS_FAILURE:
    case TRIGGERED_BY_MSG_LOST:
    case TRIGGERED_BY_RECOV_TIMEOUT:
        if (sub.publisherIdTxt[0] != '\0' && (!sub.onLeavePubTopic || publisherHeard(sub)))
        {
            if (requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, true) != 0)
            {
                fwLog(LOG_LEVEL_NOTICE,
                      "No MRM available for topic [%.16s] and the recovery with the publisher failed [%d]. Send "
                      "UNRECOVERABLE_TOPIC_MSG_GAP to [%.16s].",
                      sub.topicNameTxt, FrameworkErrno::m_fwErrno, sub.subscriberThreadTxt);
                reportUnrecoverableGap(sub, sub.lastAcptMsgSeq);
            }
            return 0;
        }
        fwLog(LOG_LEVEL_NOTICE,
              "No MRM available for topic [%.16s] in application mode [%d] and there is no publisher, attempt tail "
              "lost recovery.",
              sub.topicNameTxt, mode);
        return queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true);
    case TRIGGERED_BY_TAIL_LOST_RQS_TIMEOUT:
    case TRIGGERED_BY_TAIL_LOST_RQS_FAILURE:
        fwLog(LOG_LEVEL_NOTICE, "No MRM available for topic [%.16s] in application mode [%d], attempt tail lost recovery.",
              sub.topicNameTxt, mode);
        return queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true);
    case 0:
    {
        DataValueType ignored = 0;
        if (sub.recoveryRqsId != 0 || m_normalRecoveryMap->getValueByKey(nameKey(sub.topicNameTxt), ignored, false))
            return 0;
        sub.onRecovery = false;
        chkEndRecovMode = true;
        return 0;
    }
    default:
        sub.onRecovery = false;
        return 0;
    }
}

// ---- requests ----

int32 MessagingService::sendOnRecoveryTopic(const char* record, int32 len, const char* appId, int32 instId)
{
    TopicRecord* rec = m_recovTopicRecPtr;
    if (rec == nullptr || rec->publisherTopicPtr == nullptr || !rec->publishReady.load(std::memory_order_acquire))
        return fwFail(MRM_NOT_AVAILABLE, -1);
    uint64 seq = 0;
    if (rec->publisherTopicPtr->sendMessage(record, static_cast<uint32>(len), seq, 0, false, appId, instId, true) == 0)
        return 0;
    const int32 code = FrameworkErrno::m_fwErrno;
    // Sent, whatever the window says of the instances' acknowledgements.
    if (code == MSL_FORCE_SENT || code == MSL_NO_DR_SITE_SUBSCRIBER || code == MSL_NO_MRM_SUBSCRIBER ||
        code == MSL_NO_DR_SITE_MRM_SUBSCRIBER)
        return 0;
    return fwFail(code, -1);
}

int32 MessagingService::sendMrmRecoveryRqs(int32 partitionId, int32 startingInstId, TopicRecoveryMode mode,
                                           SubscriptionRecord& sub, uint64 lastRcvdSeq, int64 nowNs, bool resent,
                                           int32 endingInstId, int32 firstInstId)
{
    const int32 n = std::min<int32>(m_gblData.m_numMrmInst, GlobalData::MRM_MAX_INSTANCE);
    if (partitionId < 0 || partitionId >= m_gblData.m_numMrmPartition || partitionId >= GlobalData::MRM_MAX_PARTITION)
        return fwFail(MRM_PARTITION_NUM_INVALID, -1);
    auto fail = [&]() {
        fwLog(LOG_LEVEL_NOTICE, "No available MRM partition for recovery on topic [%.16s].", sub.topicNameTxt);
        leaveMrmChannelsWhenIdle();
        return fwFail(MRM_NOT_AVAILABLE, -1);
    };
    if (startingInstId < 0 || startingInstId >= n)
        return fail();
    if (!m_mrmChannelsJoined)
    {
        // The request goes out once the joins had their lead time.
        joinMrmChannels(sub);
        sub.onRecovery = true;
        sub.recoveryMode = mode;
        sub.lastRecoverySentNs = nowNs;
        deferMrmRqs(sub, partitionId, startingInstId, mode, resent, endingInstId, firstInstId,
                    nowNs + static_cast<int64>(m_settings.mcastJoinLeadMs) * NS_PER_MS);
        return 0;
    }
    const uint64 mask = m_settings.mrmInstBitmap[partitionId];
    const bool cross = mrmCrossSiteAllowed(sub);
    const SubscriptionRecord* startLocal = mrmTopicSubscription(partitionId, startingInstId, true);
    const bool localFirst = !cross || startLocal == nullptr || startLocal->publisherSiteId == m_siteId;
    for (int32 list = 0; list < (cross ? 2 : 1); ++list)
    {
        const bool local = (list == 0) == localFirst;
        for (int32 k = 0; k < n; ++k)
        {
            const int32 i = (startingInstId + k) % n;
            if (k > 0 && endingInstId >= 0 && i == endingInstId)
                break;
            // The starting instance itself may be one whose bit is clear.
            if (((mask >> i) & 1u) == 0)
                continue;
            SubscriptionRecord* mrmSub = mrmTopicSubscription(partitionId, i, local);
            if (mrmSub == nullptr || mrmSub->publisherIdTxt[0] == '\0')
                continue;
            const bool sameSite = mrmSub->publisherSiteId == m_siteId;
            if (sameSite != local)
                continue;
            mrmSub->lastAcptMsgSeq = 0;
            uint32 id = ++m_mrmRqsId;
            if (id == 0)
                id = ++m_mrmRqsId;
            PendingMrmRqsRecord rec;
            rec.mrmRqs.mrmCmd = MRM_TOPIC_RQS;
            rec.mrmRqs.mrmRqsId = id;
            std::memcpy(rec.mrmRqs.topicNameTxt, sub.topicNameTxt, sizeof(ResourceName));
            rec.mrmRqs.recoveryMode = mode;
            rec.mrmRqs.lastMsgTopicSeq = lastRcvdSeq;
            rec.sentNs = nowNs;
            rec.resent = resent;
            rec.mrmPartitionId = partitionId;
            rec.mrmInstId = i;
            rec.firstInstId = firstInstId >= 0 ? firstInstId : i;
            rec.mrmSubRecPtr = mrmSub;
            rec.dataSubRecPtr = &sub;
            if (sendOnRecoveryTopic(reinterpret_cast<const char*>(&rec.mrmRqs), sizeof(MrmRecoveryRqs),
                                    mrmSub->publisherIdTxt, mrmSub->publisherInstId) != 0 &&
                FrameworkErrno::m_fwErrno != MSL_NO_SUBSCRIBER)
            {
                fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending MRM_TOPIC_RQS on topic [%.16s] to [%s:%d:%d].",
                      FrameworkErrno::m_fwErrno, sub.topicNameTxt, MslPeerText(mrmSub->publisherIdTxt).c_str(),
                      mrmSub->publisherInstId, mrmSub->publisherSiteId);
                continue;
            }
            m_topicStats.mrmRqsSent.add();
            sub.onRecovery = true;
            sub.recoveryMode = mode;
            sub.lastRecoverySentNs = nowNs;
            sub.endRecoverySeq = sub.highestMsgSeqRcvd;
            sub.mrmPartitionId = partitionId;
            sub.mrmInstId = i;
            fwLog(LOG_LEVEL_NOTICE,
                  "Sent MRM_TOPIC_RQS on topic [%.16s] to [%s:%d:%d]. Last rcvd seq# [%lu], recovery mode [%d], "
                  "request ID [%u]. The initial attempt was at MRM instance [%d].",
                  sub.topicNameTxt, MslPeerText(mrmSub->publisherIdTxt).c_str(), mrmSub->publisherInstId,
                  mrmSub->publisherSiteId, static_cast<unsigned long>(lastRcvdSeq), mode, id, startingInstId);
            m_pendingMrmRqs[id] = rec;
            sub.mrmRqsId = id;
            return 0;
        }
    }
    return fail();
}

// ---- what the instances send ----

int32 MessagingService::processMrmTopicMsg(SubscriptionRecord& mrmSub, const TopicMessage& msg,
                                           const sockaddr_in& from, const timespec& currTm, int64 nowNs,
                                           PeerLogLimit& limit)
{
    m_topicStats.mrmMessages.add();
    const TopicMrmMsg& m = msg.mrmMsg;
    const uint32 dataLen = m.dataLen; // checked against the body by the caller
    auto drop = [&](const char* why) {
        m_topicStats.mrmMessagesDropped.add();
        peerLog(limit, LOG_LEVEL_WARNING, "Invalid MRM message on topic [%.16s] from [%s:%d]: %s. Discard and continue.",
                mrmSub.topicNameTxt, MslPeerText(m.hdr.senderAppIdTxt).c_str(), m.hdr.senderInstId, why);
        return 0;
    };
    int32 topicInst = -1;
    bool localTopic = true;
    const int32 topicPartition =
        getPartitionIdFromMrmTopic(m_gblData.m_mrmBaseName, mrmSub.topicNameTxt, topicInst, localTopic);
    if (!mrmSub.topicResPtr->mrmTopic || topicPartition < 0 || topicPartition >= m_gblData.m_numMrmPartition ||
        topicInst < 0 || topicInst >= m_gblData.m_numMrmInst)
        return drop("not the topic of a configured instance");
    // The instance's topic takes its records in order, keeps them in its
    // history and acknowledges them (MessagingTopic::processMrmMessage); a
    // gap is asked of the instance or restarts its sessions, so that a lost
    // record of a long session does not cost the whole session.
    MessagingTopic& topic = *mrmSub.subscriberTopicPtr;
    const uint64 before = mrmSub.lastAcptMsgSeq;
    const TopicDataMsg* embedded = nullptr;
    uint64 gap = 0;
    if (topic.processMrmMessage(msg, embedded, nowNs, gap) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == MSL_MSG_GAP)
            return processMessageGap(mrmSub, gap, nowNs, MslProtocol::appIdKey(m.hdr.senderAppIdTxt),
                                     m.hdr.resendFlag != 0 ? m.pubRecoverySessId : 0);
        if (code != MSL_INVALID_MSG_SIZE)
            return -1;
    }
    // Not taken: the subscription not ready yet, or a repeat.
    if (mrmSub.lastAcptMsgSeq == before)
        return 0;
    if (dataLen < sizeof(uint32))
        return drop("too short for a command");
    if (m.hdr.recipientAppIdTxt[0] != '\0' &&
        (MslProtocol::appIdKey(m.hdr.recipientAppIdTxt) != m_appId || m.hdr.recipientInstId != m_appInstId))
        return 0;
    uint32 cmd = 0;
    std::memcpy(&cmd, m.mrmData, sizeof(cmd));
    // A fixed-size record, copied out whole when the data length is its size.
    auto fixedRecord = [&](auto& out) {
        if (dataLen != sizeof(out))
            return false;
        std::memcpy(&out, m.mrmData, sizeof(out));
        return true;
    };
    switch (cmd)
    {
    case MRM_TOPIC_RSP:
    {
        MrmRecoveryRsp rsp;
        return fixedRecord(rsp) ? processMrmRecoveryRsp(rsp, m.hdr, from) : drop("MRM_TOPIC_RSP of a wrong size");
    }
    case MRM_LONG_RECOVERY_MSG:
    {
        if (dataLen < TopicWire::MRM_DATA_HEADER + TopicWire::HEADER_SIZE + TopicWire::DATA_BODY_FIXED)
            return drop("recovered message too short");
        // The topic hands out the embedded message only when its size is the
        // record's data length less the record's header.
        if (embedded == nullptr)
            return drop("embedded topic message size differs from the MRM data length");
        const auto& data = *reinterpret_cast<const MrmDataMsg*>(m.mrmData);
        return processMrmRecoveredData(data, dataLen - TopicWire::MRM_DATA_HEADER, m.hdr, from, currTm, nowNs, limit);
    }
    case MRM_RECOVERY_FAILURE:
    {
        MrmFailureMsg f;
        return fixedRecord(f) ? processMrmFailure(f, m.hdr, limit) : drop("MRM_RECOVERY_FAILURE of a wrong size");
    }
    case MRM_TOPIC_RQS:
    case MRM_END_RECOVERY_NOTIFICATION:
    case MRM_QUICK_RECOVERY_MSG:
        // Not for a subscriber: quick data comes on the data channel.
        return 0;
    default:
        return drop("unknown MRM command");
    }
}

bool MessagingService::refuseUncarriedMrmRqs(const TopicMessage& msg, const ResourceName& name)
{
    const TopicMsgHeader& hdr = msg.hdr;
    if (hdr.cmdType != TOPIC_MSG || MslProtocol::appIdKey(hdr.recipientAppIdTxt) != m_appId ||
        hdr.recipientInstId != m_appInstId)
        return false;
    const size_t len = strnlen(name, sizeof(ResourceName) - 1);
    const size_t post = std::strlen(RECOVERY_TOPIC_POSTFIX);
    if (len <= post || std::memcmp(name + len - post, RECOVERY_TOPIC_POSTFIX, post) != 0)
        return false;
    MrmRecoveryRqs rqs{};
    if (msg.dataMsg.dataLen < sizeof(rqs))
        return false;
    std::memcpy(&rqs, msg.dataMsg.data, sizeof(rqs));
    if (rqs.mrmCmd != MRM_TOPIC_RQS)
        return false;
    m_topicStats.mrmRqsRefusedUncarried.add();
    MrmRecoveryRsp rsp{};
    rsp.mrmCmd = MRM_TOPIC_RSP;
    rsp.mrmRqsId = rqs.mrmRqsId;
    wireName(rqs.topicNameTxt, rsp.topicNameTxt);
    rsp.status = -1;
    rsp.currentMsgSeq = 0;
    rsp.mrmSessionId = 1;
    rsp.errorCode = MRM_NOT_AVAILABLE;
    // Answered on the MRM topic of the requester's site.
    const bool local = hdr.senderSiteId == m_gblData.m_siteId;
    TopicRecord* own = findTopic(local ? m_gblData.m_thisMrmLocalTopicName : m_gblData.m_thisMrmCrossSiteTopicName);
    ApplicationID requester{};
    std::memcpy(requester, hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
    if (own == nullptr || own->publisherTopicPtr == nullptr ||
        own->publisherTopicPtr->sendMrmMessage(MRM_TOPIC_RSP, rsp.mrmSessionId, reinterpret_cast<const char*>(&rsp),
                                               static_cast<int32>(sizeof(rsp)), requester, hdr.senderInstId) != 0)
        peerLog(m_rcLogLimit, LOG_LEVEL_WARNING,
                "Error [%d] refusing MRM_TOPIC_RQS [%u] on topic [%.16s] from [%s:%d]: this instance does not serve "
                "its recovery-request topic [%.16s].",
                FrameworkErrno::m_fwErrno, rqs.mrmRqsId, rsp.topicNameTxt, MslPeerText(requester).c_str(),
                hdr.senderInstId, name);
    return true;
}

int32 MessagingService::processMrmRecoveryRsp(const MrmRecoveryRsp& rsp, const TopicMsgHeader& hdr,
                                              const sockaddr_in& from)
{
    (void)from;
    ResourceName name{};
    wireName(rsp.topicNameTxt, name);
    const int32 inst = hdr.senderInstId;
    const bool instInRange = inst >= 0 && inst < m_gblData.m_numMrmInst;
    const uint32 id = rsp.mrmRqsId;
    auto it = m_pendingMrmRqs.find(id);
    if (it == m_pendingMrmRqs.end())
    {
        SubscriptionRecord* sub = findSubscription(name);
        if (sub == nullptr)
            return 0;
        if (sub->mrmRqsId == id)
            sub->mrmRqsId = 0;
        fwLog(LOG_LEVEL_NOTICE,
              "Received MRM_TOPIC_RSP on topic [%.16s] from [%s:%d] after the MRM_TOPIC_RQS [%u] has been removed from "
              "the pending request list. Response status [%d].",
              name, MslPeerText(hdr.senderAppIdTxt).c_str(), inst, id, rsp.status);
        if (rsp.status == 0 && instInRange && !(sub->onRecovery && sub->recoveryMode != NORMAL_RECOVERY))
            sub->mrmInstId = inst;
        return 0;
    }
    const PendingMrmRqsRecord req = it->second;
    SubscriptionRecord& sub = *req.dataSubRecPtr;
    auto finish = [&]() {
        m_pendingMrmRqs.erase(id);
        if (sub.mrmRqsId == id)
            sub.mrmRqsId = 0;
        checkEndRecoveryMode();
        leaveMrmChannelsWhenIdle();
        return 0;
    };
    if (!sub.used || sub.subscriberTopicPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Subscription topic [%.16s] does not exist.", name);
        return finish();
    }
    if (inst != req.mrmInstId)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "MRM instance ID [%d] embedded in MRM_TOPIC_RSP is not the same as the ID [%d] maintained in the pending "
              "request record.Discard and continue.",
              inst, req.mrmInstId);
        return finish();
    }
    if (std::strncmp(name, req.mrmRqs.topicNameTxt, sizeof(ResourceName)) != 0)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Topic name [%.16s] embedded in MRM_TOPIC_RSP is not the same as [%.16s] in the MRM_TOPIC_RQS. Discard "
              "and continue.",
              name, req.mrmRqs.topicNameTxt);
        return finish();
    }
    fwLog(LOG_LEVEL_NOTICE,
          "Received MRM_TOPIC_RSP on topic [%.16s] from [%s:%d]. Status [%d]; request ID [%u], session ID [%u]; latest "
          "seq# at MRM [%lu].",
          name, MslPeerText(hdr.senderAppIdTxt).c_str(), inst, rsp.status, id, rsp.mrmSessionId,
          static_cast<unsigned long>(rsp.currentMsgSeq));
    if (!sub.onRecovery)
    {
        sub.mrmInstId = inst;
        notifyMrmEndRecovery(sub);
        return finish();
    }
    if (rsp.status == 0 && rsp.currentMsgSeq != req.mrmRqs.lastMsgTopicSeq)
    {
        sub.endRecoverySeq = rsp.currentMsgSeq;
        sub.mrmInstId = inst;
        sub.mrmSessionId = rsp.mrmSessionId;
        m_mrmRecoveryMap->insert(nameKey(sub.topicNameTxt), reinterpret_cast<DataValueType>(&sub), true);
        return finish();
    }
    // Ending and falling back share the end-of-recovery check.
    auto end = [&]() {
        sub.onRecovery = false;
        checkEndRecoveryMode();
    };
    if (rsp.status == 0)
    {
        // Accepted, but the instance has nothing newer.
        notifyMrmEndRecovery(sub);
        if (sub.publisherIdTxt[0] == '\0' && sub.initialMsgSeqNum >= rsp.currentMsgSeq &&
            sub.highestMsgSeqRcvd <= rsp.currentMsgSeq)
        {
            end();
            return finish();
        }
        if (sub.onLeavePubTopic || sub.publisherIdTxt[0] == '\0')
        {
            completePublisherLeave(sub);
            end();
        }
        else if (rsp.currentMsgSeq < sub.highestMsgSeqRcvd)
            mrmFallBack(sub);
        else
            end();
        return finish();
    }
    // Refused.
    m_pendingMrmRqs.erase(id);
    sub.mrmRqsId = 0;
    const bool moveOn = req.resent || rsp.errorCode == MRM_MSG_NOT_AVAILABLE;
    const int32 next = moveOn ? nextMrmInstance(inst) : inst;
    if (moveOn && (next == req.firstInstId || next == inst))
    {
        fwLog(LOG_LEVEL_NOTICE,
              "[%s:%d] returned MRM_TOPIC_RSP on topic [%.16s] with return code [%d]. There is no other MRM instance "
              "to retry.",
              MslPeerText(hdr.senderAppIdTxt).c_str(), inst, name, rsp.errorCode);
        if (sub.highestMsgSeqRcvd > req.mrmRqs.lastMsgTopicSeq)
            mrmFallBack(sub);
        else
            end();
        return finish();
    }
    if (moveOn)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "[%s:%d] returned MRM_TOPIC_RSP on topic [%.16s] with return code [%d]. Attempt to recover from the next "
              "MRM instance.",
              MslPeerText(hdr.senderAppIdTxt).c_str(), inst, name, rsp.errorCode);
        if (sendMrmRecoveryRqs(req.mrmPartitionId, next, MRM_LONG_RECOVERY, sub, sub.lastAcptMsgSeq,
                               m_clock.monoNs(), true, req.firstInstId, req.firstInstId) != 0)
        {
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] requesting recovery on topic [%.16s].", FrameworkErrno::m_fwErrno,
                  name);
            if (sub.highestMsgSeqRcvd > req.mrmRqs.lastMsgTopicSeq)
                mrmFallBack(sub);
            else
                end();
        }
        return finish();
    }
    fwLog(LOG_LEVEL_NOTICE,
          "[%s:%d] returned MRM_TOPIC_RSP on topic [%.16s] with return code [%d]. Retry attempt to recover from the "
          "same MRM instance.",
          MslPeerText(hdr.senderAppIdTxt).c_str(), inst, name, rsp.errorCode);
    // A short pause before the repeat, served by the loop.
    deferMrmRqs(sub, req.mrmPartitionId, inst, MRM_LONG_RECOVERY, true, req.firstInstId, req.firstInstId,
                m_clock.monoNs() + NS_PER_MS);
    return finish();
}

int32 MessagingService::processMrmRecoveredData(const MrmDataMsg& data, uint32 innerLen, const TopicMsgHeader& hdr,
                                                const sockaddr_in& from, const timespec& currTm, int64 nowNs,
                                                PeerLogLimit& limit)
{
    if (!mrmActive())
        return 0;
    const TopicDataMsg& inner = data.recoveredMsg;
    const uint32 innerBody = inner.hdr.bodyLen;
    const uint32 innerData = inner.dataLen;
    if (inner.hdr.cmdType != TOPIC_MSG || innerData > TopicDataMsg::DATA_MAX ||
        innerBody != innerData + TopicWire::DATA_BODY_FIXED || inner.hdr.msgPartNum < 0 || inner.hdr.more > 1)
    {
        m_topicStats.mrmMessagesDropped.add();
        peerLog(limit, LOG_LEVEL_WARNING,
                "Invalid recovered message in MRM_LONG_RECOVERY_MSG from [%s:%d]. Discard and continue.",
                MslPeerText(hdr.senderAppIdTxt).c_str(), hdr.senderInstId);
        return 0;
    }
    ResourceName name{};
    SubscriptionRecord* subPtr = sessionSubscription(inner.topicNameTxt, hdr.senderInstId, data.mrmSessionId, name);
    if (subPtr == nullptr)
        return 0;
    SubscriptionRecord& sub = *subPtr;
    const MsgTopicResource& res = *sub.topicResPtr;
    std::memcpy(m_mrmInnerMsg.bytes, &inner, innerLen);
    uint64 gapSize = 0;
    MessagingTopic& topic = *sub.subscriberTopicPtr;
    const int32 r = topic.processMessage(m_mrmInnerMsg, from.sin_addr.s_addr, currTm, nowNs, m_currWoTm, gapSize,
                                         MessagingTopic::SRC_MRM, false);
    const int32 code = r != 0 ? FrameworkErrno::m_fwErrno : 0;
    if (r == 0)
    {
        if (!res.recoveryRqsTopic && !res.mrmTopic)
            topic.replayBufferedMsgInRecovery(&m_mrmInnerMsg, currTm, nowNs, false, false);
        if (!sub.onRecovery)
        {
            completePublisherLeave(sub);
            fwLog(LOG_LEVEL_NOTICE, "MRM Long Recovery completed for topic [%.16s].", name);
            notifyMrmEndRecovery(sub);
            noteReplicationRecovered(sub);
            checkEndRecoveryMode();
            leaveMrmChannelsWhenIdle();
        }
        return 0;
    }
    if (code != MSL_MSG_GAP)
        return 0;
    const int64 recovTimeoutNs = static_cast<int64>(m_settings.recovTimeoutMs) * NS_PER_MS;
    if (sub.lastMsgAcptNs == 0 && nowNs - sub.lastRecoverySentNs <= recovTimeoutNs)
        return 0;
    fwLog(LOG_LEVEL_NOTICE,
          "Detected recovered data message gap in MRM_LONG_RECOVERY_MSG on topic [%.16s]. Last accepted seq# [%lu]. "
          "Gap size [%lu]. Re-initiate MRM_LONG_RECOVERY.",
          name, static_cast<unsigned long>(sub.lastAcptMsgSeq), static_cast<unsigned long>(gapSize));
    restartMrmSession(sub, sub.mrmInstId, sub.recoveryMode, nowNs);
    return 0;
}

SubscriptionRecord* MessagingService::sessionSubscription(const char (&topic)[17], int32 senderInstId,
                                                          uint32 sessionId, ResourceName& name)
{
    wireName(topic, name);
    if (!mrmActive())
        return nullptr;
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr || !sub->onRecovery ||
        sub->recoveryMode == NORMAL_RECOVERY || sub->mrmInstId != senderInstId || sub->mrmSessionId != sessionId)
        return nullptr;
    return sub;
}

void MessagingService::restartMrmSession(SubscriptionRecord& sub, int32 instId, TopicRecoveryMode mode, int64 nowNs)
{
    const int32 partition = sub.mrmPartitionId;
    notifyMrmEndRecovery(sub);
    if (sendMrmRecoveryRqs(partition, instId, mode, sub, sub.lastAcptMsgSeq, nowNs, false, -1) != 0)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Error [%d] re-initiating MRM_LONG_RECOVERY for topic [%.16s], send UNRECOVERABLE_TOPIC_MSG_GAP to "
              "[%.16s].",
              FrameworkErrno::m_fwErrno, sub.topicNameTxt, sub.subscriberThreadTxt);
        reportUnrecoverableGap(sub, sub.lastAcptMsgSeq);
    }
    sub.lastMsgAcptNs = 0;
}

int32 MessagingService::processMrmFailure(const MrmFailureMsg& f, const TopicMsgHeader& hdr, PeerLogLimit& limit)
{
    ResourceName name{};
    SubscriptionRecord* subPtr = sessionSubscription(f.topicNameTxt, hdr.senderInstId, f.mrmSessionId, name);
    if (subPtr == nullptr)
        return 0;
    SubscriptionRecord& sub = *subPtr;
    peerLog(limit, LOG_LEVEL_NOTICE,
            "Received MRM_RECOVERY_FAILURE on topic [%.16s] from [%s:%d]. MRM session ID [%u], reason code [%d].", name,
            MslPeerText(hdr.senderAppIdTxt).c_str(), hdr.senderInstId, f.mrmSessionId, f.reasonCode);
    restartMrmSession(sub, nextMrmInstance(sub.mrmInstId), MRM_LONG_RECOVERY, m_clock.monoNs());
    return 0;
}

void MessagingService::mrmFallBack(SubscriptionRecord& sub)
{
    checkEndRecoveryMode();
    // What follows is a recovery of the publisher's or the peers' kind.
    sub.recoveryMode = NORMAL_RECOVERY;
    sub.onRecovery = true;
    const int32 r = sub.publisherIdTxt[0] != '\0' && !sub.onLeavePubTopic
                        ? requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, true)
                        : queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, true);
    if (r != 0)
        reportUnrecoverableGap(sub, sub.lastAcptMsgSeq);
}

// ---- ending sessions ----

int32 MessagingService::notifyMrmEndRecovery(SubscriptionRecord& sub)
{
    if (sub.mrmSessionId != 0)
    {
        notifyMrmEndRecovery(sub.mrmPartitionId, sub.mrmInstId, sub.topicNameTxt);
        sub.mrmSessionId = 0;
        DataValueType ignored = 0;
        m_mrmRecoveryMap->remove(nameKey(sub.topicNameTxt), ignored);
        return 0;
    }
    if (sub.mrmRqsId != 0)
    {
        auto it = m_pendingMrmRqs.find(sub.mrmRqsId);
        if (it != m_pendingMrmRqs.end())
        {
            notifyMrmEndRecovery(it->second.mrmPartitionId, it->second.mrmInstId, sub.topicNameTxt);
            m_pendingMrmRqs.erase(it);
        }
        sub.mrmRqsId = 0;
        sub.mrmSessionId = 0;
        return 0;
    }
    fwLog(LOG_LEVEL_INFO,
          "The topic [%.16s] in MRM recovery has no MRM session ID set and there is no outstanding MRM recovery "
          "request pending. Discard the MRM_END_RECOVERY_NOTIFICATION and continue.",
          sub.topicNameTxt);
    return 0;
}

int32 MessagingService::notifyMrmEndRecovery(int32 partitionId, int32 instId, const ResourceName& topic)
{
    ApplicationID appId{};
    if (!mrmPartitionAppId(partitionId, appId))
    {
        fwLog(LOG_LEVEL_WARNING, "The MRM application ID of partition [%d] does not fit in [%zu] characters.",
              partitionId, sizeof(ApplicationID) - 1);
        return fwFail(BUF_NOT_ENOUGH_SPACE, -1);
    }
    return notifyMrmEndRecovery(appId, instId, topic);
}

int32 MessagingService::notifyMrmEndRecovery(const char* appId, int32 instId, const ResourceName& topic)
{
    MrmEndRecoveryMsg m{};
    m.mrmCmd = MRM_END_RECOVERY_NOTIFICATION;
    std::memcpy(m.topicNameTxt, topic, sizeof(ResourceName));
    m_topicStats.mrmEndNotices.add();
    if (sendOnRecoveryTopic(reinterpret_cast<const char*>(&m), sizeof(m), appId, instId) == 0)
    {
        fwLog(LOG_LEVEL_NOTICE, "Sent MRM_END_RECOVERY_NOTIFICATION on topic [%.16s] to [%s:%d].", topic,
              MslPeerText(appId, sizeof(ApplicationID)).c_str(), instId);
        return 0;
    }
    if (FrameworkErrno::m_fwErrno == MSL_NO_SUBSCRIBER)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Sent MRM_END_RECOVERY_NOTIFICATION on topic [%.16s] to [%s:%d] but there is no subscriber to "
              "[%.16s].",
              topic, MslPeerText(appId, sizeof(ApplicationID)).c_str(), instId, m_recovTopicNameTxt);
        return 0;
    }
    return -1;
}

void MessagingService::removePendingMrmRqs(SubscriptionRecord& sub)
{
    for (auto it = m_pendingMrmRqs.begin(); it != m_pendingMrmRqs.end();)
    {
        if (it->second.dataSubRecPtr == &sub)
        {
            notifyMrmEndRecovery(it->second.mrmPartitionId, it->second.mrmInstId, sub.topicNameTxt);
            it = m_pendingMrmRqs.erase(it);
        }
        else if (it->second.mrmSubRecPtr == &sub)
        {
            // The instance's own topic goes: its answer cannot come.
            if (it->second.dataSubRecPtr->mrmRqsId == it->first)
                it->second.dataSubRecPtr->mrmRqsId = 0;
            it = m_pendingMrmRqs.erase(it);
        }
        else
            ++it;
    }
    if (sub.mrmSessionId != 0)
        notifyMrmEndRecovery(sub);
    DataValueType ignored = 0;
    m_mrmRecoveryMap->remove(nameKey(sub.topicNameTxt), ignored);
    std::erase_if(m_mrmDeferred, [&](const DeferredMrmRqs& d) { return d.sub == &sub; });
    sub.mrmSessionId = 0;
    sub.mrmRqsId = 0;
    leaveMrmChannelsWhenIdle();
}

// ---- time-outs and restarts ----

void MessagingService::handleOutstandingMrmRqs(int64 nowNs)
{
    serveDueMrmRqs(nowNs);
    if (m_pendingMrmRqs.empty())
        return;
    const int64 limitNs = 3 * static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS;
    // The handlers below add and remove requests: the due ones are taken
    // first and each is looked up again.
    std::vector<uint32> due;
    for (const auto& [id, p] : m_pendingMrmRqs)
        if (nowNs - p.sentNs > limitNs)
            due.push_back(id);
    for (const uint32 id : due)
    {
        auto it = m_pendingMrmRqs.find(id);
        if (it == m_pendingMrmRqs.end())
            continue;
        const PendingMrmRqsRecord req = it->second;
        m_pendingMrmRqs.erase(it);
        SubscriptionRecord& sub = *req.dataSubRecPtr;
        const ResourceName& name = req.mrmRqs.topicNameTxt;
        notifyMrmEndRecovery(req.mrmPartitionId, req.mrmInstId, name);
        sub.mrmSessionId = 0;
        if (sub.mrmRqsId == id)
            sub.mrmRqsId = 0;
        if (!sub.used || !sub.onRecovery || sub.subscriberTopicPtr == nullptr)
            continue;
        SubscriptionRecord* mrmSub = req.mrmSubRecPtr;
        ApplicationID who{};
        if (mrmSub != nullptr)
            std::memcpy(who, mrmSub->publisherIdTxt, sizeof(ApplicationID));
        const uint64 asked = req.mrmRqs.lastMsgTopicSeq;
        bool moveOn = false;
        bool fallBack = false;
        if (req.resent)
        {
            // Silent twice: the instance is presumed gone.
            if (mrmSub != nullptr && mrmSub->used)
            {
                std::memset(mrmSub->publisherIdTxt, 0, sizeof(ApplicationID));
                mrmSub->publisherInstId = -1;
                mrmSub->lastMrmHeartbeatNs = 0;
            }
            moveOn = true;
        }
        else
        {
            fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for MRM_TOPIC_RSP on topic [%.16s] from [%s:%d]. Resend.", name,
                  MslPeerText(who).c_str(), req.mrmInstId);
            if (sendMrmRecoveryRqs(req.mrmPartitionId, req.mrmInstId, MRM_LONG_RECOVERY, sub, sub.lastAcptMsgSeq, nowNs,
                                   true, req.mrmInstId, req.firstInstId) != 0)
            {
                if (FrameworkErrno::m_fwErrno == MRM_NOT_AVAILABLE)
                {
                    fwLog(LOG_LEVEL_NOTICE, "MRM [%s:%d] is not available, try the next available MRM.",
                          MslPeerText(who).c_str(), req.mrmInstId);
                    moveOn = true;
                }
                else
                {
                    fwLog(LOG_LEVEL_NOTICE, "Error [%d] resending MRM recovery request at [%s:%d] on topic [%.16s].",
                          FrameworkErrno::m_fwErrno, MslPeerText(who).c_str(), req.mrmInstId, name);
                    fallBack = asked < sub.highestMsgSeqRcvd;
                    if (!fallBack)
                        sub.onRecovery = false;
                }
            }
        }
        if (moveOn)
        {
            const int32 next = nextMrmInstance(req.mrmInstId);
            if (next == req.firstInstId)
            {
                fwLog(LOG_LEVEL_NOTICE,
                      "Timeout waiting for MRM_TOPIC_RSP on topic [%.16s] from [%s:%d]. There is no other MRM "
                      "instance to retry.",
                      name, MslPeerText(who).c_str(), req.mrmInstId);
                fallBack = asked < sub.highestMsgSeqRcvd;
                if (!fallBack)
                    sub.onRecovery = false;
            }
            else
            {
                fwLog(LOG_LEVEL_NOTICE,
                      "Timeout waiting for MRM_TOPIC_RSP on topic [%.16s] from [%s:%d]. Attempt to recover from the "
                      "next MRM instance.",
                      name, MslPeerText(who).c_str(), req.mrmInstId);
                if (sendMrmRecoveryRqs(req.mrmPartitionId, next, MRM_LONG_RECOVERY, sub, sub.lastAcptMsgSeq, nowNs,
                                       false, req.firstInstId, req.firstInstId) != 0)
                {
                    fwLog(LOG_LEVEL_NOTICE, "Error [%d] requesting recovery on topic [%.16s].",
                          FrameworkErrno::m_fwErrno, name);
                    fallBack = asked < sub.highestMsgSeqRcvd;
                    if (!fallBack)
                        sub.onRecovery = false;
                }
            }
        }
        if (!fallBack)
            continue;
        if (sub.lastAcptMsgSeq <= sub.initialMsgSeqNum)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "There is no MRM responding to the Recovery request on topic [%.16s] while the last rcvd seq# is "
                  "[%lu].",
                  name, static_cast<unsigned long>(sub.lastAcptMsgSeq));
            sub.onRecovery = false;
            checkEndRecoveryMode();
            continue;
        }
        mrmFallBack(sub);
    }
    leaveMrmChannelsWhenIdle();
}

int32 MessagingService::reinitiateMrmRecovery(int32& numTopicReinitiated, int64 nowNs, int32 partitionId,
                                              int32 instId, bool longRecoveryOnly)
{
    numTopicReinitiated = 0;
    const int64 minAgeNs = 3 * static_cast<int64>(m_settings.timerIntervalMs) * NS_PER_MS;
    auto matches = [&](int32 p, int32 i) {
        return (partitionId < 0 || p == partitionId) && (instId < 0 || i == instId);
    };
    std::vector<uint32> due;
    for (const auto& [id, p] : m_pendingMrmRqs)
        if (matches(p.mrmPartitionId, p.mrmInstId) && nowNs - p.sentNs > minAgeNs)
            due.push_back(id);
    for (const uint32 id : due)
    {
        auto it = m_pendingMrmRqs.find(id);
        if (it == m_pendingMrmRqs.end())
            continue;
        const PendingMrmRqsRecord req = it->second;
        SubscriptionRecord& sub = *req.dataSubRecPtr;
        sub.lastMsgAcptNs = 0;
        notifyMrmEndRecovery(req.mrmPartitionId, req.mrmInstId, sub.topicNameTxt);
        m_pendingMrmRqs.erase(id);
        sub.mrmSessionId = 0;
        sub.mrmRqsId = 0;
        if (sendMrmRecoveryRqs(req.mrmPartitionId, req.mrmInstId, MRM_LONG_RECOVERY, sub, sub.lastAcptMsgSeq, nowNs,
                               false, -1) != 0)
            mrmFallBack(sub);
        ++numTopicReinitiated;
    }
    std::vector<SubscriptionRecord*> sessions;
    UInt128 key;
    DataValueType value = 0;
    for (bool more = m_mrmRecoveryMap->getFirst(key, value); more; more = m_mrmRecoveryMap->getNext(key, value))
    {
        auto* sub = reinterpret_cast<SubscriptionRecord*>(value);
        if (matches(sub->mrmPartitionId, sub->mrmInstId) &&
            (!longRecoveryOnly || sub->recoveryMode == MRM_LONG_RECOVERY))
            sessions.push_back(sub);
    }
    for (SubscriptionRecord* sub : sessions)
    {
        sub->lastMsgAcptNs = 0;
        const int32 p = sub->mrmPartitionId;
        const int32 i = sub->mrmInstId;
        notifyMrmEndRecovery(*sub);
        if (sendMrmRecoveryRqs(p, i, MRM_LONG_RECOVERY, *sub, sub->lastAcptMsgSeq, nowNs, false, -1) != 0)
            mrmFallBack(*sub);
        ++numTopicReinitiated;
    }
    return 0;
}

bool MessagingService::mrmTopicGapToResend(SubscriptionRecord& sub, uint64 gapSize, int64 nowNs, bool again)
{
    // Nothing of it awaited, or restarted below: the next record starts the
    // count again.
    auto letGo = [&sub]() {
        sub.onRecovery = false;
        sub.lastAcptMsgSeq = 0;
        return false;
    };
    if (!mrmActive())
        return letGo();
    int32 inst = -1;
    bool local = true;
    const int32 partition = getPartitionIdFromMrmTopic(m_gblData.m_mrmBaseName, sub.topicNameTxt, inst, local);
    if (gapSize > sub.topicResPtr->regParam.maxPubGapRecovery)
    {
        // Too much to ask again: this process's long sessions of the instance
        // start over.
        if (partition >= 0 && inst >= 0 && local == (sub.publisherSiteId == m_siteId))
        {
            int32 count = 0;
            reinitiateMrmRecovery(count, nowNs, partition, inst, true);
            if (count > 0)
                fwLog(LOG_LEVEL_NOTICE,
                      "Message gap [%lu] detected %swith last acpt msg seq# [%lu] in MRM topic [%.16s]. Need to close all "
                      "its underlying MRM_LONG_RECOVERY sessions and start it over again. [Partition ID = %d]. [%d] "
                      "topics affected.",
                      static_cast<unsigned long>(gapSize), again ? "again " : "",
                      static_cast<unsigned long>(sub.lastAcptMsgSeq), sub.topicNameTxt, partition, count);
        }
        return letGo();
    }
    int32 rqsCnt = 0;
    int32 sessionCnt = 0;
    getNumMrmRecovery(sub, rqsCnt, sessionCnt);
    return rqsCnt > 0 || sessionCnt > 0 ? true : letGo();
}

bool MessagingService::restartMrmTopicSessions(SubscriptionRecord& sub, int32 code)
{
    int32 inst = -1;
    bool local = true;
    const int32 partition = getPartitionIdFromMrmTopic(m_gblData.m_mrmBaseName, sub.topicNameTxt, inst, local);
    if (code != 0)
        fwLog(LOG_LEVEL_NOTICE,
              "Failed to recover MRM recovery topic [%.16s] message from publisher (%d). Re-initiate all requests in "
              "partition [%d] and instance [%d]",
              sub.topicNameTxt, code, partition, inst);
    else
        fwLog(LOG_LEVEL_NOTICE,
              "No answer to the recovery of MRM recovery topic [%.16s]. Re-initiate all requests in partition [%d] and "
              "instance [%d]",
              sub.topicNameTxt, partition, inst);
    sub.lastAcptMsgSeq = 0;
    if (partition < 0 || inst < 0)
        return false;
    int32 count = 0;
    reinitiateMrmRecovery(count, m_clock.monoNs(), partition, inst, true);
    sub.onRecovery = false;
    return true;
}

void MessagingService::getNumMrmRecovery(const SubscriptionRecord& mrmSub, int32& mrmRqsCnt, int32& mrmRecoveryCnt)
{
    mrmRqsCnt = 0;
    mrmRecoveryCnt = 0;
    int32 inst = -1;
    bool local = true;
    const int32 p = getPartitionIdFromMrmTopic(m_gblData.m_mrmBaseName, mrmSub.topicNameTxt, inst, local);
    if (p < 0 || local != (mrmSub.publisherSiteId == m_siteId))
        return;
    for (const auto& [id, r] : m_pendingMrmRqs)
        mrmRqsCnt += r.mrmPartitionId == p && r.mrmInstId == inst ? 1 : 0;
    UInt128 key;
    DataValueType value = 0;
    for (bool more = m_mrmRecoveryMap->getFirst(key, value); more; more = m_mrmRecoveryMap->getNext(key, value))
    {
        const auto* sub = reinterpret_cast<const SubscriptionRecord*>(value);
        mrmRecoveryCnt += sub->mrmPartitionId == p && sub->mrmInstId == inst ? 1 : 0;
    }
}

void MessagingService::restartMrmRecovery(SubscriptionRecord& sub, int32 nextInstId, int64 nowNs)
{
    if (!mrmConfigured() || sub.mrmPartitionId < 0 || sub.mrmPartitionId >= m_gblData.m_numMrmPartition)
    {
        if (requestMrmRecovery(sub, MRM_LONG_RECOVERY, TRIGGERED_BY_RECOV_TIMEOUT) != 0)
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] enquiring MRM partition number for topic [%.16s].",
                  FrameworkErrno::m_fwErrno, sub.topicNameTxt);
        return;
    }
    const int32 last = sub.mrmInstId;
    if (sendMrmRecoveryRqs(sub.mrmPartitionId, nextInstId, MRM_LONG_RECOVERY, sub, sub.lastAcptMsgSeq, nowNs, false,
                           last) == 0)
        return;
    if (FrameworkErrno::m_fwErrno == MRM_NOT_AVAILABLE && nextInstId != last && last >= 0)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Error [%d] requesting MRM recovery on topic [%.16s] and instance [%d] may be the only MRM available, "
              "try it again.",
              FrameworkErrno::m_fwErrno, sub.topicNameTxt, last);
        if (sendMrmRecoveryRqs(sub.mrmPartitionId, last, MRM_LONG_RECOVERY, sub, sub.lastAcptMsgSeq, nowNs, false, -1) ==
            0)
            return;
    }
    fwLog(LOG_LEVEL_NOTICE, "Error [%d] requesting MRM recovery on topic [%.16s]. Last accepted seq# [%lu].",
          FrameworkErrno::m_fwErrno, sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
    mrmFallBack(sub);
}

void MessagingService::checkMrmSubscription(SubscriptionRecord& sub, int64 nowNs)
{
    const MsgTopicResource& res = *sub.topicResPtr;
    const int64 topicLimitNs = 3 * static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS;
    if (res.mrmTopic)
    {
        // An instance's topic quiet while its sessions should be sending:
        // they start again (once per quiet period).
        if (mrmActive() && sub.publisherIdTxt[0] != '\0' && sub.lastMsgRcvdNs != 0 &&
            nowNs - sub.lastMsgRcvdNs > topicLimitNs)
        {
            int32 inst = -1;
            bool local = true;
            const int32 p = getPartitionIdFromMrmTopic(m_gblData.m_mrmBaseName, sub.topicNameTxt, inst, local);
            if (p >= 0 && inst >= 0 && local == (sub.publisherSiteId == m_siteId))
            {
                sub.lastMsgRcvdNs = nowNs;
                int32 count = 0;
                reinitiateMrmRecovery(count, nowNs, p, sub.publisherInstId, false);
                if (count > 0)
                    fwLog(LOG_LEVEL_NOTICE,
                          "Subscription topic [%.16s] has been idle for more than [%d] msec. Last seq# acpt [%lu]. "
                          "Re-initiate MRM recovery for topics under recovery. [%d] topics affected.",
                          sub.topicNameTxt, 3 * m_settings.topicTimeoutMs,
                          static_cast<unsigned long>(sub.lastAcptMsgSeq), count);
            }
        }
        const int64 hbLimitNs = 3 * static_cast<int64>(m_settings.mrmHeartbeatMs) * NS_PER_MS;
        if (sub.publisherIdTxt[0] != '\0' && sub.lastMrmHeartbeatNs != 0 && nowNs - sub.lastMrmHeartbeatNs > hbLimitNs)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "No MRM heartbeat received on topic [%.16s] for [%ld] milliseconds. Clear the publisher ID [%s:%d].",
                  sub.topicNameTxt, static_cast<long>((nowNs - sub.lastMrmHeartbeatNs) / NS_PER_MS),
                  MslPeerText(sub.publisherIdTxt).c_str(), sub.publisherInstId);
            std::memset(sub.publisherIdTxt, 0, sizeof(ApplicationID));
            sub.publisherInstId = -1;
            sub.lastMrmHeartbeatNs = 0;
            m_topicStats.mrmPublishersExpired.add();
        }
        if (sub.publisherIdTxt[0] == '\0' && !sub.subRqsPending && sub.lastTopicSubRqsNs != 0 &&
            nowNs - sub.lastTopicSubRqsNs > topicLimitNs)
        {
            fwLog(LOG_LEVEL_DEBUG,
                  "The MRM data recovery topic [%.16s] does not have a publisher registered for more than [%d] "
                  "milliseconds. Send subscription request again.",
                  sub.topicNameTxt, 3 * m_settings.topicTimeoutMs);
            sendSubscriberRequest(sub);
        }
        return;
    }
    if (sub.mrmSessionId != 0 && !sub.onRecovery)
    {
        // Completed by data that came some other way (a replay, the
        // publisher): the instance hears the end.
        notifyMrmEndRecovery(sub);
        checkEndRecoveryMode();
        leaveMrmChannelsWhenIdle();
        return;
    }
    if (!sub.onRecovery || sub.recoveryMode == NORMAL_RECOVERY || sub.lastRecoverySentNs == 0 ||
        m_settings.timerIntervalMs <= 0)
        return;
    const int64 periodNs = static_cast<int64>(m_settings.timerIntervalMs) * NS_PER_MS;
    const int64 k = (nowNs - sub.lastRecoverySentNs) / periodNs;
    const int64 every = std::max<int64>(1, m_settings.mrmRecoveryWarnMs / m_settings.timerIntervalMs);
    if (k < 1 || k % every != 0 || k == sub.lastMrmReportPeriod)
        return;
    sub.lastMrmReportPeriod = k;
    m_topicStats.mrmLongRecoveryReports.add();
    const int64 secs = k / std::max<int64>(1, 1000 / m_settings.timerIntervalMs);
    if (sub.lastMsgAcptNs != 0)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Subscription topic [%.16s] has been in recovery mode [%d] for [%ld] seconds. Last acpt seq# [%lu], "
              "highest rcvd seq# [%lu].",
              sub.topicNameTxt, sub.recoveryMode, static_cast<long>(secs), static_cast<unsigned long>(sub.lastAcptMsgSeq),
              static_cast<unsigned long>(sub.highestMsgSeqRcvd));
        return;
    }
    const int32 next = nextMrmInstance(sub.mrmInstId);
    fwLog(LOG_LEVEL_NOTICE,
          "Subscription topic [%.16s] has been in recovery mode [%d] for [%ld] seconds but no message has been "
          "recovered. Last acpt seq# [%lu], highest rcvd seq# [%lu]. Terminate the MRM session and re-initiate. Last "
          "recovery was on MRM instance [%d], next attempt on [%d].",
          sub.topicNameTxt, sub.recoveryMode, static_cast<long>(secs), static_cast<unsigned long>(sub.lastAcptMsgSeq),
          static_cast<unsigned long>(sub.highestMsgSeqRcvd), sub.mrmInstId, next);
    notifyMrmEndRecovery(sub);
    sub.lastMrmReportPeriod = 0;
    restartMrmRecovery(sub, next, nowNs);
}

// ---- heartbeats ----

int32 MessagingService::processMrmHeartbeat(int32 len, const sockaddr_in& from)
{
    (void)from;
    if (len != static_cast<int32>(MslProtocol::MRM_HEARTBEAT_SIZE))
    {
        peerLog(m_rcLogLimit, LOG_LEVEL_WARNING,
                "Invalid MRM heartbeat message size [%d] received, expect [%lu]. Discard and continue.", len,
                static_cast<unsigned long>(MslProtocol::MRM_HEARTBEAT_SIZE));
        return 0;
    }
    const MslMrmHeartbeat& hb = m_rcvMsg.mrmHeartbeat;
    peerLog(m_rcLogLimit, LOG_LEVEL_DEBUG, "Received MRM_HEARTBEAT from [%s:%d:%d].",
            MslPeerText(hb.hdr.senderAppIdTxt).c_str(), hb.hdr.senderInstId, hb.hdr.senderSiteId);
    const int64 now = m_clock.monoNs();
    for (const char(*field)[17] : {&hb.localTopicNameTxt, &hb.crossSiteTopicNameTxt})
    {
        ResourceName name{};
        wireName(*field, name);
        if (name[0] == '\0')
            continue;
        SubscriptionRecord* sub = findSubscription(name);
        if (sub != nullptr && sub->topicResPtr != nullptr && sub->topicResPtr->mrmTopic)
            sub->lastMrmHeartbeatNs = now;
    }
    return 0;
}

int32 MessagingService::endRecoveryForRestart(SubscriptionRecord& sub)
{
    if (sub.recoveryMode != NORMAL_RECOVERY)
    {
        notifyMrmEndRecovery(sub);
        return nextMrmInstance(sub.mrmInstId);
    }
    dropRecoveryRequest(sub);
    return sub.mrmInstId;
}
