// MessagingService: topic data and acknowledgements. Batches of the topic
// pairs' sockets, the checks every datagram passes before any of it is
// used, and handing data to the subscriber topics and acknowledgements to
// the publisher topics.
#include "FendralCore/messaging/MessagingService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/messaging/MsgReplicator.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <arpa/inet.h>
#include <cstring>

namespace
{
struct AddrText
{
    explicit AddrText(const sockaddr_in& from)
    {
        if (inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text)) == nullptr)
            text[0] = '\0';
    }
    char text[INET_ADDRSTRLEN] = {};
};

bool hasWireOrder(const WireOrderInfo* wire)
{
    return wire != nullptr && (wire->dataTm.tv_sec != 0 || wire->dataTm.tv_nsec != 0);
}

void wireName(const char (&field)[17], ResourceName& out)
{
    std::memset(out, 0, sizeof(ResourceName));
    std::memcpy(out, field, strnlen(field, sizeof(ResourceName) - 1));
}

// Whether a body of bodyLen bytes holds what cmd says it carries.
bool bodyFits(const TopicMessage& m)
{
    const uint32 body = m.hdr.bodyLen;
    switch (m.hdr.cmdType)
    {
    case TOPIC_MSG:
    case QUICK_RECOVERY_DATA_MSG:
    case TAIL_LOST_RECOVERY_DATA_MSG:
        return body >= TopicWire::DATA_BODY_FIXED && m.dataMsg.dataLen <= TopicDataMsg::DATA_MAX &&
               body == m.dataMsg.dataLen + TopicWire::DATA_BODY_FIXED && m.hdr.msgPartNum >= 0 && m.hdr.more <= 1;
    case TOPIC_HEARTBEAT:
        return body == TopicWire::HEARTBEAT_BODY;
    case MRM_TOPIC_MESSAGE:
        return body >= TopicWire::DATA_BODY_FIXED && m.mrmMsg.dataLen <= TopicMrmMsg::MRM_DATA_MAX &&
               body == m.mrmMsg.dataLen + TopicWire::DATA_BODY_FIXED && m.hdr.msgPartNum >= 0 && m.hdr.more <= 1;
    default:
        return false;
    }
}

bool isTopicDataCmd(uint32 cmd)
{
    return cmd == TOPIC_MSG || cmd == TOPIC_HEARTBEAT || cmd == MRM_TOPIC_MESSAGE || cmd == QUICK_RECOVERY_DATA_MSG ||
           cmd == TAIL_LOST_RECOVERY_DATA_MSG;
}
} // namespace

static_assert(MessagingService::TOPIC_RCV_BUF_SIZE >= static_cast<int32>(sizeof(TopicMessage)),
              "a receive slot holds a whole topic message, so every ring copy stays inside it");

int32 MessagingService::serveTopicSocket(MslChannelRecord* rec, bool data, const WireOrderInfo* wire)
{
    if (!m_connInitDone)
        return drainTopicSocket(rec, data);
    return data ? processMultiMslData(rec, wire) : processMultiMslDataAck(rec, wire);
}

int32 MessagingService::dataBatchOf(const MslChannelRecord& rec) const
{
    switch (rec.kind)
    {
    case MSL_MRM_LOCAL_CHANNEL:
    case MSL_MRM_CROSS_SITE_CHANNEL:
    case MSL_MRM_REQUEST_CHANNEL:
        return m_settings.mrmMsgRcvMax;
    case MSL_REPLICATION_CHANNEL:
        return m_repliRcvBatch;
    default:
        return m_settings.numMsgRcvMax;
    }
}

int32 MessagingService::processMultiMslData(MslChannelRecord* rec, const WireOrderInfo* wire)
{
    MslSocket* sock = rec->dataSock.get();
    if (sock == nullptr)
        return 0;
    const int32 limit = std::min(dataBatchOf(*rec), m_numRcvSlots);
    const timespec currTm = m_clock.wallTime();
    const int64 nowNs = m_clock.monoNs();
    // Messages put into one thread's queue wake it once for the batch.
    MsgForwarder::WakeBatch batch(*m_forwarder);
    if (!hasWireOrder(wire))
    {
        m_currWoTm = timespec{};
        int32 count = 0;
        if (sock->receiveBatch(m_topicRcvSlots.get(), limit, count) != 0)
            return FrameworkErrno::m_fwErrno == WOULD_BLOCK ? 0 : -1;
        fwLog(LOG_LEVEL_DEBUG, "Received [%d] multicast datagrams, expect maximum [%d].", count, limit);
        for (int32 i = 0; i < count; ++i)
        {
            MslDatagramSlot& slot = m_topicRcvSlots[i];
            if (processTopicData(slot.buf, slot.length, slot.from, currTm, nowNs, i + 1 == count,
                                 rec->dataLogLimit) != 0)
                return -1;
        }
        return 0;
    }
    m_currWoTm = wire->dataTm;
    int32 count = 0;
    int32 total = 0;
    MslDatagramSlot& slot = m_topicRcvSlots[0];
    while (total < wire->dataSize)
    {
        sockaddr_in from{};
        int32 len = 0;
        if (sock->receive(slot.buf, TOPIC_RCV_BUF_SIZE, len, from) != 0)
        {
            if (FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                return -1;
            peerLog(rec->dataLogLimit, LOG_LEVEL_WARNING,
                    "Cumulated multicast datagram size available to receive does not match the size indicated in Wire "
                    "Order Info. Expected [%d], actually received [%d].",
                    wire->dataSize, total);
            return 0;
        }
        ++count;
        total += len;
        if (processTopicData(slot.buf, len, from, currTm, nowNs, total >= wire->dataSize, rec->dataLogLimit) != 0)
            return -1;
    }
    if (total > wire->dataSize)
        peerLog(rec->dataLogLimit, LOG_LEVEL_WARNING,
                "Cumulated multicast datagram size available to receive does not match the size indicated in Wire "
                "Order Info. Expected [%d], actually received [%d].",
                wire->dataSize, total);
    fwLog(LOG_LEVEL_DEBUG, "Processed a batch of [%d] messages with total size of [%d] bytes.", count, total);
    return 0;
}

int32 MessagingService::processMultiMslDataAck(MslChannelRecord* rec, const WireOrderInfo* wire)
{
    MslSocket* sock = rec->ackSock.get();
    if (sock == nullptr)
        return 0;
    const int64 nowNs = m_clock.monoNs();
    if (!hasWireOrder(wire))
    {
        int32 count = 0;
        if (sock->receiveBatch(m_topicRcvSlots.get(), std::min(m_settings.numMsgRcvMax, m_numRcvSlots), count) != 0)
            return FrameworkErrno::m_fwErrno == WOULD_BLOCK ? 0 : -1;
        for (int32 i = 0; i < count; ++i)
        {
            MslDatagramSlot& slot = m_topicRcvSlots[i];
            if (processTopicAck(slot.buf, slot.length, slot.from, nowNs, rec->ackLogLimit) != 0)
                return -1;
        }
        return 0;
    }
    int32 total = 0;
    MslDatagramSlot& slot = m_topicRcvSlots[0];
    while (total < wire->dataSize)
    {
        sockaddr_in from{};
        int32 len = 0;
        if (sock->receive(slot.buf, TOPIC_RCV_BUF_SIZE, len, from) != 0)
        {
            if (FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                return -1;
            peerLog(rec->ackLogLimit, LOG_LEVEL_WARNING,
                    "Cumulated multicast datagram size of DataAck available to receive does not match the size "
                    "indicated in Wire Order Info. Expected [%d], actually received [%d].",
                    wire->dataSize, total);
            return 0;
        }
        total += len;
        if (processTopicAck(slot.buf, len, from, nowNs, rec->ackLogLimit) != 0)
            return -1;
    }
    return 0;
}

int32 MessagingService::processTopicData(char* buf, int32 len, const sockaddr_in& from, const timespec& currTm,
                                         int64 nowNs, bool lastMsgInBatch, PeerLogLimit& limit)
{
    m_topicStats.dataReceived.add();
    if (len < static_cast<int32>(TopicWire::HEADER_SIZE))
    {
        m_topicStats.dataShort.add();
        peerLog(limit, LOG_LEVEL_WARNING,
                "The size [%d] of the message received is smaller than the topic message header size. Discard and "
                "continue.",
                len);
        return 0;
    }
    // Nothing of an earlier, longer datagram is read behind this one.
    std::memset(buf + len, 0, static_cast<size_t>(TOPIC_RCV_BUF_SIZE - len));
    const TopicMessage& msg = *reinterpret_cast<const TopicMessage*>(buf);
    const uint32 bodyLen = msg.hdr.bodyLen;
    if (static_cast<uint64>(bodyLen) + TopicWire::HEADER_SIZE != static_cast<uint64>(len))
    {
        m_topicStats.dataBadSize.add();
        peerLog(limit, LOG_LEVEL_WARNING, "Invalid message size [%d] received, expect [%lu]. Discard and continue.", len,
                static_cast<unsigned long>(static_cast<uint64>(bodyLen) + TopicWire::HEADER_SIZE));
        return 0;
    }
    if (MslProtocol::appIdKey(msg.hdr.senderAppIdTxt) == m_appId && msg.hdr.senderInstId == m_appInstId &&
        isLocalAddr(from.sin_addr.s_addr))
    {
        m_topicStats.dataOwnLoopback.add();
        return 0;
    }
    const uint32 cmd = msg.hdr.cmdType;
    if (!isTopicDataCmd(cmd))
    {
        m_topicStats.dataUnexpected.add();
        peerLog(limit, LOG_LEVEL_WARNING, "Unexpected message type [%u] received. Ignore and continue.", cmd);
        return 0;
    }
    if (!bodyFits(msg))
    {
        m_topicStats.dataBadBody.add();
        peerLog(limit, LOG_LEVEL_WARNING,
                "Invalid [%s] body received from [%s:%s:%d:%d]: body length [%u], data length [%u], part# [%d]. "
                "Discard and continue.",
                MslProtocol::cmdName(cmd), AddrText(from).text, MslPeerText(msg.hdr.senderAppIdTxt).c_str(),
                msg.hdr.senderInstId, msg.hdr.senderSiteId, bodyLen, msg.dataMsg.dataLen, msg.hdr.msgPartNum);
        return 0;
    }
    ResourceName name{};
    wireName(msg.dataMsg.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr)
    {
        TopicRecord* own = findTopic(name);
        if (own != nullptr && (cmd == TOPIC_MSG || cmd == TOPIC_HEARTBEAT))
        {
            // Somebody else publishes a topic this process publishes.
            m_topicStats.conflicts.add();
            peerLog(limit, LOG_LEVEL_WARNING,
                    "Received topic [%.16s] message from [%s:%d:%d] with resent flag [%d] that results in "
                    "TOPIC_CONFLICT.",
                    name, MslPeerText(msg.hdr.senderAppIdTxt).c_str(), msg.hdr.senderInstId, msg.hdr.senderSiteId,
                    msg.hdr.resendFlag);
            EventParam p{};
            std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
            p.paramInt32 = msg.hdr.resendFlag;
            p.resPtr = own->topicResPtr;
            notifyThread(own->publisherThreadTxt, own->topicResPtr, TOPIC_CONFLICT, p,
                         "The message queue of [%.16s] is full. Discard event TOPIC_CONFLICT and continue.");
            deleteTopic(name, MSL_TOPIC_CONFLICT);
            return 0;
        }
        if (m_gblData.m_mrmApplication && refuseUncarriedMrmRqs(msg, name))
            return 0;
        m_topicStats.dataNoSubscription.add();
        return 0;
    }
    MessagingTopic& topic = *sub->subscriberTopicPtr;
    m_topicStats.dataHandled.add();
    if (cmd == MRM_TOPIC_MESSAGE)
        return processMrmTopicMsg(*sub, msg, from, currTm, nowNs, limit);
    if (cmd == QUICK_RECOVERY_DATA_MSG && (!sub->onRecovery || sub->recoveryMode == NORMAL_RECOVERY))
    {
        if (!sub->onRecovery)
            completePublisherLeave(*sub);
        return 0;
    }
    if (sub->publisherIdTxt[0] == '\0' && !sub->onLeavePubTopic && !sub->subRqsPending && sub->subscribeReady)
        resubscribeAfterPublisherRemoved(*sub, msg, from);

    if ((cmd == TOPIC_MSG || cmd == TOPIC_HEARTBEAT) && sub->publisherIdTxt[0] != '\0' &&
        MslProtocol::appIdKey(msg.hdr.senderAppIdTxt) == MslProtocol::appIdKey(sub->publisherIdTxt) &&
        msg.hdr.senderInstId == sub->publisherInstId)
        sub->lastPubHeardNs = nowNs;
    const bool wasInRecovery = sub->onRecovery;
    uint64 gapSize = 0;
    const MessagingTopic::TopicMsgSrc src =
        cmd == QUICK_RECOVERY_DATA_MSG ? MessagingTopic::SRC_MRM : MessagingTopic::SRC_PUBLISHER;
    int32 r = topic.processMessage(msg, from.sin_addr.s_addr, currTm, nowNs, m_currWoTm, gapSize, src,
                                   lastMsgInBatch);
    int32 code = r != 0 ? FrameworkErrno::m_fwErrno : 0;
    if (cmd == TOPIC_MSG)
    {
        r = topic.bufferMsgInRecovery(msg, from.sin_addr.s_addr, currTm, nowNs, r, code, gapSize);
        code = r != 0 ? FrameworkErrno::m_fwErrno : 0;
    }
    if (r == 0)
    {
        if (cmd == QUICK_RECOVERY_DATA_MSG && !sub->topicResPtr->recoveryRqsTopic && !sub->topicResPtr->mrmTopic)
            topic.replayBufferedMsgInRecovery(&msg, currTm, nowNs, false, false);
        if (wasInRecovery && !sub->onRecovery && sub->recoveryMode != NORMAL_RECOVERY)
        {
            fwLog(LOG_LEVEL_NOTICE, "MRM recovery on topic [%.16s] completed at seq# [%lu].", name,
                  static_cast<unsigned long>(sub->lastAcptMsgSeq));
            notifyMrmEndRecovery(*sub);
            checkEndRecoveryMode();
            leaveMrmChannelsWhenIdle();
            noteReplicationRecovered(*sub);
        }
        else if (wasInRecovery && !sub->onRecovery)
        {
            fwLog(LOG_LEVEL_NOTICE, "Recovery on topic [%.16s] completed at seq# [%lu].", name,
                  static_cast<unsigned long>(sub->lastAcptMsgSeq));
            // A request still waiting (its answer lost on the way) asks for
            // what came: asked again it would only be refused as too old.
            dropRecoveryRequest(*sub);
            noteReplicationRecovered(*sub);
        }
        if (!sub->onRecovery)
            completePublisherLeave(*sub);
        // What was held past the gap just filled may end at another hole:
        // it is asked for now, not when a later message shows it (none may
        // come while the window waits for this subscriber).
        const uint64 lacked = sub->onRecovery ? 0 : topic.lackedBeforeHeld();
        if (lacked != 0)
            return processMessageGap(*sub, lacked, nowNs, MslProtocol::appIdKey(msg.hdr.senderAppIdTxt), 0);
        return 0;
    }
    switch (code)
    {
    case MSL_MSG_GAP:
        noteReplicationGap(*sub);
        return processMessageGap(*sub, gapSize, nowNs, MslProtocol::appIdKey(msg.hdr.senderAppIdTxt),
                                 cmd == TOPIC_MSG ? msg.dataMsg.pubRecoverySessId : 0);
    case MSG_TOO_LARGE:
    {
        fwLog(LOG_LEVEL_ALERT,
              "The multi-part message received via topic [%.16s] message is larger than the maximum message size "
              "[%u]. Force close the subscription topic.",
              name, m_gblData.m_maxMsgSize);
        m_topicStats.forcedLeaves.add();
        EventParam p{};
        std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
        p.paramInt32 = MSG_TOO_LARGE;
        p.paramInt64 = static_cast<int64>(msg.hdr.seqNum);
        ThreadResource* thr = nullptr;
        if (m_resMgr.getThreadRes(sub->subscriberThreadTxt, &thr) == 0 && thr != nullptr &&
            sendEventMsg(thr, MQUEUE_HIGH_PRIORITY, FORCE_LEAVE_SUB_TOPIC, p, m_msgSeqNum) != 0)
            sendEventMsg(thr, MQUEUE_NORMAL, FORCE_LEAVE_SUB_TOPIC, p, m_msgSeqNum);
        deleteSubscription(name);
        return 0;
    }
    case BUFFER_FULL:
        // The message was taken; only its delivery to a full queue with
        // nowhere to park failed. The rest of the batch is still served.
        m_topicStats.deliveryRefused.add();
        // Limited as the channel's lines are: a full queue refuses message
        // after message.
        peerLog(limit, LOG_LEVEL_WARNING,
                "The message queue of [%.16s] is full. Topic [%.16s] message seq# [%lu] not delivered.",
                sub->subscriberThreadTxt, name, static_cast<unsigned long>(msg.hdr.seqNum));
        return 0;
    default:
        return fwFail(code, -1);
    }
}

int32 MessagingService::resubscribeAfterPublisherRemoved(SubscriptionRecord& sub, const TopicMessage& msg,
                                                         const sockaddr_in& from)
{
    const bool data = msg.hdr.cmdType != TOPIC_HEARTBEAT;
    const uint64 seq = data ? msg.hdr.seqNum : msg.heartbeat.lastSeqNumSent;
    const bool newer = data ? seq > sub.highestMsgSeqRcvd : seq >= sub.highestMsgSeqRcvd;
    if (!newer)
        return 0;
    fwLog(LOG_LEVEL_NOTICE,
          "Received message of topic [%.16s] from [%s:%d:%d] after the publisher ID is removed. Send subscription "
          "request again. Active subscriber ind [%d].",
          sub.topicNameTxt, AddrText(from).text, msg.hdr.senderInstId, msg.hdr.senderSiteId,
          sub.topicResPtr->regParam.activeSubscriber);
    return sendSubscriberRequest(sub);
}

void MessagingService::noteReplicationGap(const SubscriptionRecord& sub)
{
    if (&sub != m_repliSubRecPtr || m_repliTopicInRecovery || m_gblData.m_appMode.load() != STANDBY_MODE ||
        m_ctlThdResPtr == nullptr)
        return;
    fwLog(LOG_LEVEL_NOTICE, "Replication topic [%.16s] in recovery after seq# [%lu]. Send REPLI_TOPIC_RECOVERY.",
          sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
    // Once per recovery, whether or not the control thread's queue took it.
    m_repliTopicInRecovery = true;
    if (sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, REPLI_TOPIC_RECOVERY, EventParam{}, m_msgSeqNum) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending REPLI_TOPIC_RECOVERY to CTL_THREAD.", FrameworkErrno::m_fwErrno);
}

void MessagingService::noteReplicationRecovered(const SubscriptionRecord& sub)
{
    // A recovery that ended with messages still missing has not caught up.
    if (&sub != m_repliSubRecPtr || !m_repliTopicInRecovery || sub.onRecovery ||
        sub.lastAcptMsgSeq < sub.highestMsgSeqRcvd || m_ctlThdResPtr == nullptr)
        return;
    fwLog(LOG_LEVEL_NOTICE, "Replication topic [%.16s] recovered up to seq# [%lu]. Send REPLI_TOPIC_RECOV_DONE.",
          sub.topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq));
    m_repliTopicInRecovery = false;
    if (sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, REPLI_TOPIC_RECOV_DONE, EventParam{}, m_msgSeqNum) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending REPLI_TOPIC_RECOV_DONE to CTL_THREAD.", FrameworkErrno::m_fwErrno);
}

void MessagingService::completePublisherLeave(SubscriptionRecord& sub)
{
    // The leave completes once what the publisher sent was taken.
    if (!sub.onLeavePubTopic || sub.lastAcptMsgSeq < sub.highestMsgSeqRcvd)
        return;
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
        if (sub.topicResPtr->mrmTopic)
            sub.lastMrmHeartbeatNs = 0;
    }
    if (&sub == m_appRepliSubRecPtr)
        m_noAppRepliTopic = true;
}

int32 MessagingService::processTopicAck(char* buf, int32 len, const sockaddr_in& from, int64 nowNs,
                                        PeerLogLimit& limit)
{
    m_topicStats.ackReceived.add();
    const auto& ack = *reinterpret_cast<const TopicDataMsgAck*>(buf);
    if (len != static_cast<int32>(TopicWire::ACK_SIZE) || ack.hdr.bodyLen != TopicWire::ACK_BODY ||
        (ack.hdr.cmdType != TOPIC_MSG_ACK && ack.hdr.cmdType != TOPIC_HEARTBEAT_ACK))
    {
        m_topicStats.ackBadSize.add();
        peerLog(limit, LOG_LEVEL_WARNING, "Invalid message size [%d] received, expect [%u]. Discard and continue.", len,
                TopicWire::ACK_SIZE);
        return 0;
    }
    if (MslProtocol::appIdKey(ack.hdr.senderAppIdTxt) == m_appId && ack.hdr.senderInstId == m_appInstId &&
        isLocalAddr(from.sin_addr.s_addr))
    {
        m_topicStats.ackOwnLoopback.add();
        return 0;
    }
    ResourceName name{};
    wireName(ack.topicNameTxt, name);
    TopicRecord* rec = findTopic(name);
    if (rec == nullptr || rec->publisherTopicPtr == nullptr)
    {
        m_topicStats.ackNoTopic.add();
        return 0;
    }
    if (!rec->publishReady.load(std::memory_order_acquire))
    {
        m_topicStats.ackNoTopic.add();
        fwLog(LOG_LEVEL_DEBUG, "Rcvd ACK for topic [%.16s] but the publisher is not ready to process it.", name);
        return 0;
    }
    const int32 effective = rec->numEffectiveSub.load(std::memory_order_relaxed);
    const int32 drSite = rec->numDrSiteSub.load(std::memory_order_relaxed);
    const int32 mrm = rec->numEffectiveMrmSub.load(std::memory_order_relaxed);
    const int32 drMrm = rec->numDrSiteMrmSub.load(std::memory_order_relaxed);
    const AckSnapshot before{rec->lastAckedSeq.load(std::memory_order_relaxed),
                             rec->lastRemoteAckedSeq.load(std::memory_order_relaxed),
                             rec->lastDrAckedSeq.load(std::memory_order_relaxed),
                             rec->lastMrmAckedSeq.load(std::memory_order_relaxed),
                             rec->lastRemoteMrmAckedSeq.load(std::memory_order_relaxed),
                             rec->lastDrMrmAckedSeq.load(std::memory_order_relaxed)};
    MessagingTopic& topic = *rec->publisherTopicPtr;
    m_topicStats.ackHandled.add();
    if (topic.processMsgAck(ack, MslProtocol::appIdKey(ack.hdr.senderAppIdTxt), from.sin_addr.s_addr, nowNs) != 0)
        return -1;
    const int32 nowEffective = rec->numEffectiveSub.load(std::memory_order_relaxed);
    if (nowEffective > effective)
        fwLog(LOG_LEVEL_NOTICE, "Active subscriber [%s:%d:%d] joined topic [%.16s]. Total sub [%d], DR sub [%d].",
              MslPeerText(ack.hdr.senderAppIdTxt).c_str(), ack.hdr.senderInstId, ack.hdr.senderSiteId, name,
              nowEffective, rec->numDrSiteSub.load(std::memory_order_relaxed));
    {
        EventParam p{};
        std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
        std::memcpy(p.appIdTxt, ack.hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
        p.paramInt64 = ack.hdr.senderInstId;
        p.resPtr = rec->topicResPtr;
        p.paramInt16 = static_cast<int16>(rec->numDrSiteSub.load(std::memory_order_relaxed));
        p.paramInt32 = nowEffective;
        if (effective == 0 && nowEffective > 0)
            topic.sendSubscriberStatusEvt(FIRST_SUBSCRIBER_JOINED, p);
        else if (drSite == 0 && rec->numDrSiteSub.load(std::memory_order_relaxed) > 0)
            topic.sendSubscriberStatusEvt(FIRST_DR_SUBSCRIBER_JOINED, p);
        if (rec->topicResPtr->regParam.waitForMrmAck)
        {
            p.paramInt16 = static_cast<int16>(rec->numDrSiteMrmSub.load(std::memory_order_relaxed));
            p.paramInt32 = rec->numEffectiveMrmSub.load(std::memory_order_relaxed);
            if (mrm == 0 && p.paramInt32 > 0)
                topic.sendSubscriberStatusEvt(FIRST_MRM_SUBSCRIBER_JOINED, p);
            else if (drMrm == 0 && p.paramInt16 > 0)
                topic.sendSubscriberStatusEvt(FIRST_DR_MRM_SUBSCRIBER_JOINED, p);
        }
    }
    if (rec->topicResPtr->replicationTopic)
        reportReplicationAck(*rec, before);
    return 0;
}

// The replication topic's acknowledged position, chosen from whom the topic
// waits for; reported to the replicator when it moved.
void MessagingService::reportReplicationAck(const TopicRecord& rec, const AckSnapshot& before)
{
    const auto load = [](const std::atomic<uint64>& v) { return v.load(std::memory_order_relaxed); };
    if (load(rec.lastAckedSeq) == 0)
        return;
    const MsgTopicParam& reg = rec.topicResPtr->regParam;
    const int32 sub = rec.numEffectiveSub.load(std::memory_order_relaxed);
    const int32 remote = rec.numRemoteSub.load(std::memory_order_relaxed);
    const int32 dr = rec.numDrSiteSub.load(std::memory_order_relaxed);
    const int32 mrm = rec.numEffectiveMrmSub.load(std::memory_order_relaxed);
    const int32 remoteMrm = rec.numRemoteMrmSub.load(std::memory_order_relaxed);
    const int32 drMrm = rec.numDrSiteMrmSub.load(std::memory_order_relaxed);
    const bool primary = m_siteId == PRIMARY_SITE;
    const auto plain = [&](uint64& pos, uint64& was) {
        if (remote > 0)
        {
            pos = load(rec.lastRemoteAckedSeq);
            was = before.remote;
        }
        else if (sub > 0)
        {
            pos = load(rec.lastAckedSeq);
            was = before.acked;
        }
    };
    uint64 pos = 0;
    uint64 was = 0;
    if (reg.waitForDrSiteAck && reg.waitForMrmAck)
    {
        if (primary && drMrm > 0)
        {
            pos = load(rec.lastDrMrmAckedSeq);
            was = before.drMrm;
        }
        else if (primary && dr > 0)
        {
            pos = load(rec.lastDrAckedSeq);
            was = before.dr;
        }
        else if (remoteMrm == 0 && remote > 0)
        {
            pos = load(rec.lastRemoteAckedSeq);
            was = before.remote;
        }
        else if (remoteMrm == 0 && mrm == 0)
            plain(pos, was);
        else if (remoteMrm > 0)
        {
            pos = load(rec.lastRemoteMrmAckedSeq);
            was = before.remoteMrm;
        }
        else
        {
            pos = load(rec.lastMrmAckedSeq);
            was = before.mrm;
        }
    }
    else if (reg.waitForMrmAck)
    {
        if (remoteMrm > 0)
        {
            pos = load(rec.lastRemoteMrmAckedSeq);
            was = before.remoteMrm;
        }
        else if (mrm > 0)
        {
            pos = load(rec.lastMrmAckedSeq);
            was = before.mrm;
        }
        else
            plain(pos, was);
    }
    else if (reg.waitForDrSiteAck && primary && dr > 0)
    {
        pos = load(rec.lastDrAckedSeq);
        was = before.dr;
    }
    else
        plain(pos, was);
    if (pos == 0 || pos <= was)
        return;
    m_topicStats.replicationAcks.add();
    MsgReplicator::setLastRepliMsgSeq(pos);
    if (m_msgRepliThdResPtr == nullptr)
        return;
    EventParam p{};
    std::memcpy(p.resNameTxt, rec.topicResPtr->topicNameTxt, sizeof(ResourceName));
    p.paramInt64 = static_cast<int64>(pos);
    bool parked = false;
    if (sendEventMsg(m_msgRepliThdResPtr, MQUEUE_HIGH_PRIORITY, REPLICATION_ACK_RCVD, p, m_msgSeqNum,
                     m_repliMsgStorePtr, MSG_SERVICE_MSG_LIST, &parked) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending REPLICATION_ACK_RCVD to the Message Replicator.",
              FrameworkErrno::m_fwErrno);
    if (parked)
        m_forwarder->registerUnsent(m_msgRepliThdResPtr->threadNameTxt, m_repliMsgStorePtr);
}
