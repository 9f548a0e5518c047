// MessagingService: what the service timer does without a message arriving.
// Idle published topics send heartbeats; subscribers that stopped
// acknowledging are dropped; quiet subscriptions ask their peers for a lost
// tail, and a stalled recovery starts again; and an application that
// started in recovery mode hears once that it has caught up.
//
// Every rule runs on the service's clock, which tests replace.
#include "FendralCore/messaging/MessagingService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr int64 NS_PER_MS = 1000000;

} // namespace

void MessagingService::handleDormantTopic(int64 nowNs)
{
    sendHeartbeatOnIdleTopic(nowNs, nullptr);
    const int64 limitNs = 3 * static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS;
    const int32 limitMs = 3 * m_settings.topicTimeoutMs;

    // Published topics whose subscribers went silent.
    for (int32 i = 0; i < m_settings.topicMax; ++i)
    {
        TopicRecord& rec = m_topicRecs[i];
        if (!rec.used || rec.publisherTopicPtr == nullptr || !rec.publishReady.load(std::memory_order_acquire))
            continue;
        MessagingTopic& topic = *rec.publisherTopicPtr;
        const MsgTopicResource& res = *rec.topicResPtr;
        EventParam p{};
        std::memcpy(p.resNameTxt, rec.topicNameTxt, sizeof(ResourceName));
        p.resPtr = rec.topicResPtr;
        const uint64 lastSent = rec.lastMsgSeq.load(std::memory_order_relaxed);
        const int32 priBefore = rec.numEffectiveSub.load(std::memory_order_relaxed) -
                                rec.numDrSiteSub.load(std::memory_order_relaxed);
        const int32 drBefore = rec.numDrSiteSub.load(std::memory_order_relaxed);
        const int64 ackNs = rec.lastAckRcvdNs.load(std::memory_order_relaxed);
        const int64 drAckNs = rec.lastDrAckRcvdNs.load(std::memory_order_relaxed);
        const int64 mrmAckNs = rec.lastMrmAckRcvdNs.load(std::memory_order_relaxed);
        const int64 drMrmAckNs = rec.lastDrMrmAckRcvdNs.load(std::memory_order_relaxed);
        bool fired = true;
        if (rec.numEffectiveSub.load(std::memory_order_relaxed) > 0 && ackNs != 0 && nowNs - ackNs > limitNs)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "No ACK received from any subscriber of topic [%.16s] for more than [%d] msec. Last seq# sent [%lu]. "
                  "Last seq# ack [%lu].",
                  rec.topicNameTxt, limitMs, static_cast<unsigned long>(lastSent),
                  static_cast<unsigned long>(rec.lastAckedSeq.load(std::memory_order_relaxed)));
            topic.removeAllSubscriberInfo();
            rec.lastAckRcvdNs.store(0, std::memory_order_relaxed);
            rec.lastDrAckRcvdNs.store(0, std::memory_order_relaxed);
            rec.lastMrmAckRcvdNs.store(0, std::memory_order_relaxed);
            rec.lastDrMrmAckRcvdNs.store(0, std::memory_order_relaxed);
            p.paramInt32 = rec.numEffectiveSub.load(std::memory_order_relaxed);
            topic.sendSubscriberStatusEvt(LAST_SUBSCRIBER_LEFT, p);
        }
        else if (drBefore > 0 && res.regParam.waitForDrSiteAck && drAckNs != 0 && nowNs - drAckNs > limitNs)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "No ACK received from any DR site subscriber of topic [%.16s] for more than [%d] msec. Last seq# "
                  "sent [%lu]. Last seq# ack by DR site [%lu].",
                  rec.topicNameTxt, limitMs, static_cast<unsigned long>(lastSent),
                  static_cast<unsigned long>(rec.lastDrAckedSeq.load(std::memory_order_relaxed)));
            topic.removeDrSubscriberInfo();
            rec.lastDrAckRcvdNs.store(0, std::memory_order_relaxed);
            rec.lastDrMrmAckRcvdNs.store(0, std::memory_order_relaxed);
            p.paramInt32 = rec.numEffectiveSub.load(std::memory_order_relaxed);
            topic.sendSubscriberStatusEvt(LAST_DR_SUBSCRIBER_LEFT, p);
        }
        else if (res.regParam.waitForMrmAck && rec.numEffectiveMrmSub.load(std::memory_order_relaxed) > 0 &&
                 mrmAckNs != 0 && nowNs - mrmAckNs > limitNs)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "No ACK received from any MRM subscriber of topic [%.16s] for more than [%d] msec. Last seq# sent "
                  "[%lu]. Last seq# ack from MRM [%lu].",
                  rec.topicNameTxt, limitMs, static_cast<unsigned long>(lastSent),
                  static_cast<unsigned long>(rec.lastMrmAckedSeq.load(std::memory_order_relaxed)));
            topic.removeMrmSubscriberInfo();
            rec.lastMrmAckRcvdNs.store(0, std::memory_order_relaxed);
            rec.lastDrMrmAckRcvdNs.store(0, std::memory_order_relaxed);
            p.paramInt32 = rec.numEffectiveMrmSub.load(std::memory_order_relaxed);
            topic.sendSubscriberStatusEvt(LAST_MRM_SUBSCRIBER_LEFT, p);
        }
        else if (res.regParam.waitForMrmAck && res.regParam.waitForDrSiteAck &&
                 rec.numDrSiteMrmSub.load(std::memory_order_relaxed) > 0 && drMrmAckNs != 0 &&
                 nowNs - drMrmAckNs > limitNs)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "No ACK received from any DR site MRM subscriber of topic [%.16s] for more than [%d] msec. Last "
                  "seq# sent [%lu]. Last seq# ack by DR site MRM [%lu].",
                  rec.topicNameTxt, limitMs, static_cast<unsigned long>(lastSent),
                  static_cast<unsigned long>(rec.lastDrMrmAckedSeq.load(std::memory_order_relaxed)));
            topic.removeDrMrmSubscriberInfo();
            rec.lastDrMrmAckRcvdNs.store(0, std::memory_order_relaxed);
            p.paramInt32 = rec.numEffectiveMrmSub.load(std::memory_order_relaxed);
            topic.sendSubscriberStatusEvt(LAST_DR_MRM_SUBSCRIBER_LEFT, p);
        }
        else
            fired = false;
        if (!fired)
        {
            const int32 effBefore = rec.numEffectiveSub.load(std::memory_order_relaxed);
            if (topic.checkSubStatus(nowNs) != 0)
            {
                const int32 effAfter = rec.numEffectiveSub.load(std::memory_order_relaxed);
                p.paramInt32 = effAfter;
                if (effBefore > 0 && effAfter == 0)
                {
                    fwLog(LOG_LEVEL_NOTICE, "All subscribers of topic [%.16s] have left.", rec.topicNameTxt);
                    rec.lastAckRcvdNs.store(0, std::memory_order_relaxed);
                    topic.sendSubscriberStatusEvt(LAST_SUBSCRIBER_LEFT, p);
                }
                else if (drBefore > 0 && rec.numDrSiteSub.load(std::memory_order_relaxed) == 0)
                {
                    fwLog(LOG_LEVEL_NOTICE, "All DR site subscribers of topic [%.16s] have left.", rec.topicNameTxt);
                    topic.sendSubscriberStatusEvt(LAST_DR_SUBSCRIBER_LEFT, p);
                }
            }
        }
        // Passive subscribers take the place of those lost.
        const int32 priAfter =
            rec.numEffectiveSub.load(std::memory_order_relaxed) - rec.numDrSiteSub.load(std::memory_order_relaxed);
        const int32 drAfter = rec.numDrSiteSub.load(std::memory_order_relaxed);
        if (priAfter < priBefore)
            promotePassiveSubscriber(&rec, PRIMARY_SITE, true, priBefore - priAfter);
        if (drAfter < drBefore)
            promotePassiveSubscriber(&rec, DR_SITE, true, drBefore - drAfter);
    }

    retryForwardMsg();

    // Subscriptions that went quiet.
    for (int32 i = 0; i < m_settings.subMax; ++i)
    {
        SubscriptionRecord& sub = m_subRecs[i];
        if (!sub.used || sub.subscriberTopicPtr == nullptr || sub.topicResPtr == nullptr)
            continue;
        const MsgTopicResource& res = *sub.topicResPtr;
        if (!res.mrmTopic && !res.recoveryRqsTopic && sub.subscribeReady && sub.publisherIdTxt[0] != '\0' &&
            sub.lastMsgRcvdNs != 0 && !sub.onLeavePubTopic && nowNs - sub.lastMsgRcvdNs > limitNs)
        {
            const int64 timeoutNs = static_cast<int64>(m_settings.topicTimeoutMs) * NS_PER_MS;
            if (sub.onRecovery)
            {
                if (nowNs - sub.lastTailLostRecoverySentNs > limitNs && nowNs - sub.lastRecoverySentNs > limitNs)
                {
                    sub.lastMsgAcptNs = 0;
                    const int32 next = endRecoveryForRestart(sub);
                    fwLog(LOG_LEVEL_NOTICE,
                          "Subscription topic [%.16s] has been idle for more than [%d] msec and it is in recovery mode "
                          "[%d]. Initiate MRM recovery with last acpt seq# [%lu]. Last recovery was on MRM instance "
                          "[%d], next attempt on [%d].",
                          sub.topicNameTxt, limitMs, sub.recoveryMode, static_cast<unsigned long>(sub.lastAcptMsgSeq),
                          sub.mrmInstId, next);
                    sub.onLeavePubTopic = true;
                    sub.lastRecoverySentNs = nowNs;
                    restartMrmRecovery(sub, next, nowNs);
                }
            }
            else if (sub.tlQueryRqsId == 0 && nowNs - sub.lastTailLostQueryNs > timeoutNs)
            {
                fwLog(LOG_LEVEL_NOTICE,
                      "Subscription topic [%.16s] has been idle for more than [%d] msec. Check for tail lost with last "
                      "acpt seq# [%lu]",
                      sub.topicNameTxt, limitMs, static_cast<unsigned long>(sub.lastAcptMsgSeq));
                sub.onLeavePubTopic = true;
                queryTailLost(sub, TAIL_LOST_QUERY, 0, 0, 0, false, false);
            }
        }
        else if (!res.mrmTopic && !res.recoveryRqsTopic && sub.onRecovery && sub.lastMsgAcptNs != 0 &&
                 nowNs - sub.lastMsgAcptNs > limitNs)
        {
            // Messages arrive but none is taken: the recovery stalled.
            sub.lastMsgAcptNs = 0;
            const int32 next = endRecoveryForRestart(sub);
            fwLog(LOG_LEVEL_NOTICE,
                  "Subscription topic [%.16s] has not received the next message seq for more than [%d] msec in "
                  "recovery mode [%d]. Initiate MRM recovery with last acpt seq# [%lu]. Last recovery was on MRM "
                  "instance [%d], next attempt on [%d].",
                  sub.topicNameTxt, limitMs, sub.recoveryMode, static_cast<unsigned long>(sub.lastAcptMsgSeq),
                  sub.mrmInstId, next);
            sub.lastRecoverySentNs = nowNs;
            restartMrmRecovery(sub, next, nowNs);
        }
        else if (resendStoppedShort(sub, nowNs))
        {
            // The last resent messages were lost while the publisher waits
            // for this subscriber's acknowledgement: no later message will
            // come to show the gap, so it is asked for here.
            fwLog(LOG_LEVEL_NOTICE,
                  "Resend on topic [%.16s] stopped at seq# [%lu] short of [%lu] for more than [%d] msec. Ask again.",
                  sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq),
                  static_cast<unsigned long>(sub.endRecoverySeq), 2 * m_settings.recovTimeoutMs);
            sub.lastMsgAcptNs = 0;
            sub.pubRecoverySessId = 0;
            dropRecoveryRequest(sub);
            // A request that could not be sent is no lost gap: the next
            // message or heartbeat finds the recovery stalled and asks again.
            (void)requestTopicMsgRecovery(sub, sub.lastAcptMsgSeq, false);
        }
        checkMrmSubscription(sub, nowNs);
        // A recovery that ended some other way than by the message it waited
        // for (an answer announcing nothing more, a settled tail query).
        noteReplicationRecovered(sub);
        // The end of replication, once the application-replication topic
        // has caught up and nothing for its thread waits parked.
        if (m_chkEndRepli && &sub == m_appRepliSubRecPtr && !sub.onRecovery && m_ctlThdResPtr != nullptr &&
            !forwarder().hasUnsent())
            confirmEndReplication(res.regParam.channelType, sub.lastAcptMsgSeq);
        const timespec now = m_clock.wallTime();
        sub.subscriberTopicPtr->onTimerReplayBufferedMsgInRecovery(now, nowNs);
    }
    if (m_endRepliHeld && m_chkEndRepli && m_ctlThdResPtr != nullptr && !forwarder().hasUnsent())
        confirmEndReplication(m_endRepliChannelType, m_endRepliSeq);
}

bool MessagingService::resendStoppedShort(const SubscriptionRecord& sub, int64 nowNs) const
{
    const MsgTopicResource& res = *sub.topicResPtr;
    if (res.mrmTopic || res.recoveryRqsTopic || !sub.onRecovery || sub.recoveryMode != NORMAL_RECOVERY ||
        sub.recoveryRqsId != 0 || sub.publisherIdTxt[0] == '\0' || sub.lastMsgAcptNs == 0 ||
        sub.endRecoverySeq <= sub.lastAcptMsgSeq)
        return false;
    if (nowNs - sub.lastMsgAcptNs <= 2 * static_cast<int64>(m_settings.recovTimeoutMs) * NS_PER_MS)
        return false;
    // A busy answer's retry is already due.
    return std::none_of(m_retries.begin(), m_retries.end(), [&](const DeferredRetry& r) { return r.sub == &sub; });
}

void MessagingService::confirmEndReplication(int32 channelType, uint64 lastAcptMsgSeq)
{
    m_chkEndRepli = false;
    m_endRepliHeld = false;
    EventParam e{};
    e.paramInt32 = channelType;
    e.paramInt64 = static_cast<int64>(lastAcptMsgSeq);
    if (sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, CONF_END_REPLICATION, e, m_msgSeqNum) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending CONF_END_REPLICATION to CTL_THREAD.", FrameworkErrno::m_fwErrno);
}

int32 MessagingService::checkEndRecoveryMode()
{
    if (m_gblData.m_appMode.load() != RECOVERY_MODE || m_endRecoveryNotificationSent)
        return 0;
    if (mrmActive())
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The application is currently in in RECOVERY_MODE and there is still pending MRM request or MRM "
              "recovery in progress.");
        return 0;
    }
    if (!m_normalRecoveryMap->empty())
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The application is currently in in RECOVERY_MODE and there is still pending normal recovery in "
              "progress.");
        return 0;
    }
    static const struct
    {
        MslCmdType cmd;
        const char* text;
    } WAITING[] = {
        {SUBSCRIBER_TOPIC_RQS, "The application is currently in in RECOVERY_MODE and there is pending SUBSCRIBER_TOPIC_RQS."},
        {DATA_RECOVERY_RQS, "The application is currently in in RECOVERY_MODE and there is pending DATA_RECOVERY_RQS."},
        {MRM_PARTITION_ENQ_RQS,
         "The application is currently in in RECOVERY_MODE and there is pending MRM_PARTITION_ENQ_RQS."},
        {TAIL_LOST_QUERY, "The application is currently in in RECOVERY_MODE and there is pending TAIL_LOST_QUERY."},
        {TAIL_LOST_RECOVERY_RQS,
         "The application is currently in in RECOVERY_MODE and there is pending TAIL_LOST_RECOVERY_RQS."},
    };
    for (const auto& w : WAITING)
        if (getNumPendingRqs(w.cmd) > 0)
        {
            fwLog(LOG_LEVEL_NOTICE, "%s", w.text);
            return 0;
        }
    if (!m_connInitDone)
        return 0;
    EventParam e{};
    SubscriptionRecord* app = m_appRepliSubRecPtr;
    SubscriptionRecord* repl = m_repliSubRecPtr;
    if (m_gblData.m_mrmApplication)
        fwLog(LOG_LEVEL_NOTICE,
              "MRM is currently in in RECOVERY_MODE and and there is no pending MRM request and no MRM recovery in "
              "progress. Send NOTIFY_END_RECOVERY to Main Control thread.");
    else
    {
        const auto behind = [](const SubscriptionRecord* s) {
            return s != nullptr && s->highestMsgSeqRcvd > s->lastAcptMsgSeq;
        };
        if (app != nullptr && behind(app) && (repl == nullptr || behind(repl)))
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "The application is currently in RECOVERY_MODE and the application replication topic is not yet "
                  "completed the recovery. Highest seq# rcvd [%lu], last acpt seq# [%lu].",
                  static_cast<unsigned long>(app->highestMsgSeqRcvd), static_cast<unsigned long>(app->lastAcptMsgSeq));
            return 0;
        }
        if (app == nullptr && behind(repl))
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "The application is currently in RECOVERY_MODE and the replication topic is not yet completed the "
                  "recovery. Highest seq# rcvd [%lu], last acpt seq# [%lu].",
                  static_cast<unsigned long>(repl->highestMsgSeqRcvd),
                  static_cast<unsigned long>(repl->lastAcptMsgSeq));
            return 0;
        }
        fwLog(LOG_LEVEL_NOTICE, "The application is currently in RECOVERY_MODE, send NOTIFY_END_RECOVERY.");
        const SubscriptionRecord* from = app != nullptr ? app : repl;
        if (from != nullptr)
        {
            e.paramInt32 = from->topicResPtr->regParam.channelType;
            e.paramInt64 = static_cast<int64>(from->lastAcptMsgSeq);
        }
    }
    int32 rc = -1;
    if (repl != nullptr && repl->subscriberTopicPtr != nullptr)
        rc = repl->subscriberTopicPtr->sendTopicEventMsg(NOTIFY_END_RECOVERY, e);
    else if (m_ctlThdResPtr != nullptr)
        rc = sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, NOTIFY_END_RECOVERY, e, m_msgSeqNum);
    if (rc == 0)
        m_endRecoveryNotificationSent = true;
    return rc;
}
