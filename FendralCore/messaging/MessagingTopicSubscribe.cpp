// MessagingTopic: the subscribing side. Acceptance in sequence, gaps,
// acknowledgements, joining parts, delivery through the service's delivery
// helper, and the recovery ring that holds live messages while a gap is
// filled.
#include "FendralCore/messaging/MessagingTopic.h"

#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/messaging/MslSocket.h"
#include "FendralCore/runtime/FwLog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

namespace
{
struct AddrText
{
    explicit AddrText(in_addr_t addr)
    {
        in_addr a{};
        a.s_addr = addr;
        if (inet_ntop(AF_INET, &a, text, sizeof(text)) == nullptr)
            text[0] = '\0';
    }
    char text[INET_ADDRSTRLEN] = {};
};

bool isDataCmd(uint32 cmd)
{
    return cmd == TOPIC_MSG || cmd == MRM_TOPIC_MESSAGE || cmd == QUICK_RECOVERY_DATA_MSG ||
           cmd == TAIL_LOST_RECOVERY_DATA_MSG;
}

// The data of a data or MRM message: both keep dataLen and the bytes at the
// same place. Never more than the body holds.
uint32 dataLenOf(const TopicMessage& msg)
{
    const uint32 body = msg.hdr.bodyLen > TopicWire::DATA_BODY_FIXED ? msg.hdr.bodyLen - TopicWire::DATA_BODY_FIXED : 0;
    const uint32 max = msg.hdr.cmdType == MRM_TOPIC_MESSAGE ? TopicMrmMsg::MRM_DATA_MAX : TopicDataMsg::DATA_MAX;
    const uint32 dataLen = msg.dataMsg.dataLen; // a packed field: read by value
    return std::min({dataLen, body, max});
}

// A framework message of a replicated outgoing topic: the size it must have.
constexpr uint32 REPLI_FW_MSG_FIXED = 173;
} // namespace

void MessagingTopic::fillPublisherFrom(const TopicMsgHeader& hdr)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    if (sub.publisherIdTxt[0] != '\0')
        return;
    std::memcpy(sub.publisherIdTxt, hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
    sub.publisherIdTxt[sizeof(ApplicationID) - 1] = '\0';
    sub.publisherInstId = hdr.senderInstId;
}

int32 MessagingTopic::processMessage(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm,
                                     int64 nowNs, const timespec& woTm, uint64& gapSize, TopicMsgSrc msgSrc,
                                     bool lastMsgInBatch)
{
    if (m_subRecPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not a subscriber topic.", m_topicNameTxt);
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    }
    SubscriptionRecord& sub = *m_subRecPtr;
    gapSize = 0;
    sub.lastMsgRcvdNs = nowNs;
    const uint32 cmd = msg.hdr.cmdType;
    if (cmd == TOPIC_HEARTBEAT)
        return processHeartbeat(msg.heartbeat, gapSize);
    if (!isDataCmd(cmd))
    {
        fwLog(LOG_LEVEL_NOTICE, "Unexpected message type [%u] received. Ignore and continue.", cmd);
        return 0;
    }
    const uint64 s = msg.hdr.seqNum;
    if (s > sub.highestMsgSeqRcvd)
        sub.highestMsgSeqRcvd = s;
    if (!sub.subscribeReady)
        return 0;
    processBufferedMsg();
    const uint64 l = sub.lastAcptMsgSeq;
    if (m_aheadSeqs != nullptr && l < m_aheadFloor)
    {
        // The stream started again below what is held: nothing held is of it.
        std::fill_n(m_aheadSeqs.get(), AHEAD_SLOTS, 0);
        m_aheadFloor = l;
        m_aheadTop = 0;
    }
    const bool normalRecovery = sub.recoveryMode == NORMAL_RECOVERY;

    bool accept = s == l + 1;
    if (!accept && sub.passGap && msgSrc == SRC_PUBLISHER && s > l + 1)
    {
        if (s > sub.passGapEnd + 1)
        {
            // Past what the reported gap covered: a new gap after it.
            leavePassedGap();
            return processMessage(msg, pubIpAddr, currTm, nowNs, woTm, gapSize, msgSrc, lastMsgInBatch);
        }
        // The first whole message past a reported gap starts the stream again.
        if (msg.hdr.msgPartNum != 0)
            return 0;
        accept = true;
    }
    if (!accept && l == 0 && m_topicResPtr->regParam.skipLateJoinRecovery && !sub.startKnown)
    {
        // Joining late without recovery: the first whole message starts it.
        if (msg.hdr.msgPartNum != 0)
            return 0;
        accept = true;
    }
    if (!accept && sub.onRecovery && !normalRecovery && msgSrc == SRC_PUBLISHER &&
        ((s == l && s >= sub.endRecoverySeq) || (l == s && s == sub.endRecoverySeq && s == 0)))
    {
        sub.onRecovery = false;
        fwLog(LOG_LEVEL_NOTICE, "The data recovery for topic [%.16s] is completed at seq# [%lu].", m_topicNameTxt,
              static_cast<unsigned long>(s));
        return 0;
    }
    if (!accept && s <= l)
    {
        ++m_stats.duplicates;
        fwLog(LOG_LEVEL_DEBUG, "Received old message seq# in topic [%.16s]. Received from [%s:%d] at seq# [%lu], expect seq# [%lu].",
              m_topicNameTxt, MslPeerText(msg.hdr.senderAppIdTxt).c_str(), msg.hdr.senderInstId,
              static_cast<unsigned long>(s), static_cast<unsigned long>(l + 1));
        return 0;
    }
    if (!accept)
    {
        // A gap: the message waits for what comes before it.
        // (A topic with a recovery ring keeps its live messages there.)
        if (msgSrc == SRC_PUBLISHER && normalRecovery && m_bufMsgInRcvySize == 0 && !m_topicResPtr->mrmTopic &&
            !m_topicResPtr->recoveryRqsTopic)
            holdAhead(msg, pubIpAddr);
        int32 result = 0;
        const bool report = sub.onRecovery ? !(!normalRecovery && msgSrc == SRC_PUBLISHER) : !sub.subRqsPending;
        if (report)
        {
            ++m_stats.gaps;
            if (!sub.onRecovery && noteGap(l))
            {
                fwLog(LOG_LEVEL_NOTICE,
                      "Message gap detected in topic [%.16s]. Received from [%s:%d] at seq# [%lu], expect seq# [%lu].",
                      m_topicNameTxt, MslPeerText(msg.hdr.senderAppIdTxt).c_str(), msg.hdr.senderInstId,
                      static_cast<unsigned long>(s), static_cast<unsigned long>(l + 1));
            }
            if (!sub.onRecovery && msgSrc == SRC_PUBLISHER)
                fillPublisherFrom(msg.hdr);
            gapSize = s - 1 - l;
            result = -1;
        }
        if (msgSrc != SRC_PUBLISHER)
            return result != 0 ? fwFail(MSL_MSG_GAP, -1) : 0;
        if (m_topicResPtr->regParam.activeSubscriber && s != 0 && s % m_numUnackMsgMax == 0)
        {
            if (sendAck(m_tmpTopicMsgAck, s, m_settings.skipWaitAckOnTopicRecovery, nowNs) == 0)
                fwLog(LOG_LEVEL_DEBUG,
                      "Sent topic ACK on topic [%.16s] with last acpt seq# [%lu] on receiving seq# [%lu] from the "
                      "publisher.",
                      m_topicNameTxt, static_cast<unsigned long>(sub.lastAcptMsgSeq), static_cast<unsigned long>(s));
            else
                fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending topic ACK on topic [%.16s] when there is a message gap detected.",
                      FrameworkErrno::m_fwErrno, m_topicNameTxt);
        }
        return result != 0 ? fwFail(MSL_MSG_GAP, -1) : 0;
    }

    int32 r = acceptMessage(msg, pubIpAddr, currTm, nowNs, woTm, msgSrc);
    if (r != 0 && FrameworkErrno::m_fwErrno == MSGQ_CONGEST)
        return r; // not accepted: the replay keeps it
    int32 code = r != 0 ? FrameworkErrno::m_fwErrno : 0;
    if (msgSrc == SRC_PUBLISHER && m_aheadSeqs != nullptr && takeHeldAhead(currTm, nowNs, woTm) != 0 && r == 0)
    {
        r = -1;
        code = FrameworkErrno::m_fwErrno;
    }
    sendAckAfterAccept(msgSrc, lastMsgInBatch, nowNs);
    return r != 0 ? fwFail(code, -1) : 0;
}

void MessagingTopic::holdAhead(const TopicMessage& msg, in_addr_t pubIpAddr)
{
    const uint64 l = m_subRecPtr->lastAcptMsgSeq;
    const uint64 s = msg.hdr.seqNum;
    if (s <= l + 1 || s - l > AHEAD_SLOTS)
        return;
    if (m_aheadSeqs == nullptr)
    {
        m_aheadMsgs = std::make_unique<TopicMessage[]>(AHEAD_SLOTS);
        m_aheadSeqs = std::make_unique<uint64[]>(AHEAD_SLOTS);
        m_aheadAddrs = std::make_unique<in_addr_t[]>(AHEAD_SLOTS);
    }
    m_aheadFloor = l;
    const uint32 slot = static_cast<uint32>(s % AHEAD_SLOTS);
    if (m_aheadSeqs[slot] == s)
        return;
    std::memcpy(&m_aheadMsgs[slot], &msg, TopicWire::HEADER_SIZE + msg.hdr.bodyLen);
    m_aheadSeqs[slot] = s;
    m_aheadTop = std::max(m_aheadTop, s);
    m_aheadAddrs[slot] = pubIpAddr;
}

int32 MessagingTopic::takeHeldAhead(const timespec& currTm, int64 nowNs, const timespec& woTm)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    int32 result = 0;
    for (;;)
    {
        const uint64 next = sub.lastAcptMsgSeq + 1;
        const uint32 slot = static_cast<uint32>(next % AHEAD_SLOTS);
        if (m_aheadSeqs[slot] != next)
            break;
        m_aheadSeqs[slot] = 0;
        m_aheadFloor = next;
        // Accepting stores it and moves the last accepted number on; a
        // refused delivery is reported once the run is taken.
        if (acceptMessage(m_aheadMsgs[slot], m_aheadAddrs[slot], currTm, nowNs, woTm, SRC_PUBLISHER) != 0 &&
            result == 0)
            result = fwFail(FrameworkErrno::m_fwErrno, -1);
        if (sub.lastAcptMsgSeq != next)
            break;
    }
    return result;
}

int32 MessagingTopic::processHeartbeat(const TopicHeartbeat& hb, uint64& gapSize)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    const uint64 sent = hb.lastSeqNumSent;
    fwLog(LOG_LEVEL_DEBUG, "Rcvd TOPIC_HEARTBEAT on topic [%.16s] with last seq# sent [%lu]. Latest application seq# [%lu].",
          m_topicNameTxt, static_cast<unsigned long>(sent), static_cast<unsigned long>(hb.applSeqNum));
    if (sent > sub.highestMsgSeqRcvd)
        sub.highestMsgSeqRcvd = sent;
    if (!sub.subscribeReady)
        return 0;
    if (m_topicResPtr->mrmTopic && !m_mrmApplication)
        return sendTopicHeartbeatAck(false);
    const uint64 l = sub.lastAcptMsgSeq;
    bool gapFlag = false;
    bool report = false;
    if (sent > l && sub.passGap)
    {
        // A reported gap being passed: nothing new is announced up to its end.
        if (sent <= sub.passGapEnd)
            return sendTopicHeartbeatAck(false);
        leavePassedGap();
        return processHeartbeat(hb, gapSize);
    }
    if (sent > l)
    {
        if (l == 0 && sub.lastMsgAcptNs == 0 && m_topicResPtr->regParam.skipLateJoinRecovery && !sub.startKnown)
            return sendTopicHeartbeatAck(false);
        gapFlag = true;
        if (sub.onRecovery)
            report = sub.recoveryMode == NORMAL_RECOVERY;
        else if (!sub.subRqsPending)
        {
            if (noteGap(l))
                fwLog(LOG_LEVEL_NOTICE,
                      "Message gap detected in topic [%.16s] heartbeat. Last sent seq# reported in heartbeat [%lu], "
                      "last accepted seq# [%lu].",
                      m_topicNameTxt, static_cast<unsigned long>(sent), static_cast<unsigned long>(l));
            fillPublisherFrom(hb.hdr);
            report = true;
        }
    }
    else if (sub.onRecovery)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The topic heartbeat indicates the data recovery for topic [%.16s] is completed at seq# [%lu] in "
              "recovery mode [%d]. Last accepted seq# [%lu], expected to end at seq# [%lu].",
              m_topicNameTxt, static_cast<unsigned long>(sent), sub.recoveryMode, static_cast<unsigned long>(l),
              static_cast<unsigned long>(sub.endRecoverySeq));
        sub.onRecovery = false;
    }
    const int32 acked = sendTopicHeartbeatAck(gapFlag);
    if (report)
    {
        ++m_stats.gaps;
        gapSize = sent - l;
        return fwFail(MSL_MSG_GAP, -1);
    }
    return acked;
}

bool MessagingTopic::addressedElsewhere(const TopicMsgHeader& hdr) const
{
    if (hdr.recipientAppIdTxt[0] == '\0')
        return false;
    return MslProtocol::appIdKey(hdr.recipientAppIdTxt) != m_common.appId() ||
           hdr.recipientInstId != m_common.appInstId();
}

void MessagingTopic::storeAccepted(const TopicMessage& msg)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    storeInRing(*m_bufferPtr, msg, sub.lastMsgBufIdx);
    sub.lastAcptMsgSeq = msg.hdr.seqNum;
    // Whatever gap was reported is behind: a later one is a new gap.
    sub.gapReported = false;
    sub.passGap = false;
    ++m_stats.accepted;
}

uint64 MessagingTopic::lackedBeforeHeld() const
{
    if (m_aheadSeqs == nullptr || m_subRecPtr == nullptr)
        return 0;
    const uint64 l = m_subRecPtr->lastAcptMsgSeq;
    // Nothing held past the next number: the common case, at once. Else
    // the message that showed the gap is held and the search ends soon.
    const uint64 top = std::min(m_aheadTop, l + AHEAD_SLOTS);
    for (uint64 s = l + 2; s <= top; ++s)
        if (m_aheadSeqs[s % AHEAD_SLOTS] == s)
            return s - (l + 1);
    return 0;
}

void MessagingTopic::skipTo(uint64 lastSeq)
{
    m_processingMultiPartMsg = false;
    m_tmpMsgBufOffset = 0;
    m_subRecPtr->lastAcptMsgSeq = lastSeq;
}

void MessagingTopic::leavePassedGap()
{
    SubscriptionRecord& sub = *m_subRecPtr;
    sub.passGap = false;
    if (sub.passGapEnd > sub.lastAcptMsgSeq)
        skipTo(sub.passGapEnd);
}

int32 MessagingTopic::passGap(const timespec& currTm, int64 nowNs, uint64 oldestHeld)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    const uint64 l = sub.lastAcptMsgSeq;
    sub.passGap = false;
    const uint64 lacked = lackedBeforeHeld();
    const uint64 lowestAhead = lacked != 0 ? l + 1 + lacked : 0;
    if (lowestAhead != 0 && (oldestHeld == 0 || lowestAhead < oldestHeld))
    {
        skipTo(lowestAhead - 1);
        m_aheadFloor = sub.lastAcptMsgSeq;
        const int32 r = takeHeldAhead(currTm, nowNs, timespec{});
        const int32 code = FrameworkErrno::m_fwErrno;
        sendAckAfterAccept(SRC_PUBLISHER, false, nowNs);
        return r != 0 ? fwFail(code, -1) : 0;
    }
    if (m_bufMsgInBuffering && m_bufMsgFirstSeq > l + 1 && (oldestHeld == 0 || m_bufMsgFirstSeq < oldestHeld))
    {
        skipTo(m_bufMsgFirstSeq - 1);
        m_bufMsgInReplay = true;
        m_bufMsgNumReplayed = 0;
        return replayRound(currTm, nowNs, true, false);
    }
    if (oldestHeld > l + 1)
    {
        skipTo(oldestHeld - 1);
        return 0;
    }
    if (oldestHeld == 0)
    {
        // Nothing known to be had: the next whole message within what was
        // heard of, or the first after it, starts the stream again.
        // (The message that starts it again is a first part: it ends any
        // join itself.)
        sub.passGap = true;
        sub.passGapEnd = std::max(sub.highestMsgSeqRcvd, l);
    }
    return 0;
}

int32 MessagingTopic::acceptMessage(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm,
                                    int64 nowNs, const timespec& woTm, TopicMsgSrc msgSrc)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    const uint64 s = msg.hdr.seqNum;
    sub.lastMsgAcptNs = nowNs;
    if (addressedElsewhere(msg.hdr))
    {
        storeAccepted(msg);
        return 0;
    }
    if (msgSrc == SRC_REPLAY && !m_toPipeline &&
        (m_parked || m_target.queue == nullptr ||
         !m_target.queue->hasFreeEntriesAbove(MsgForwarder::THREAD_MSGQ_RESERVED_ENTRIES)))
        return fwFail(MSGQ_CONGEST, -1);
    if (sub.onRecovery && sub.endRecoverySeq != 0 && s >= sub.endRecoverySeq &&
        !(sub.recoveryMode != NORMAL_RECOVERY && sub.publisherIdTxt[0] != '\0' && !sub.onLeavePubTopic &&
          msgSrc != SRC_PUBLISHER))
    {
        sub.onRecovery = false;
        fwLog(LOG_LEVEL_NOTICE,
              "The data recovery for topic [%.16s] is completed at seq# [%lu] in recovery mode [%d]. Expected to end "
              "at seq# [%lu].",
              m_topicNameTxt, static_cast<unsigned long>(s), sub.recoveryMode,
              static_cast<unsigned long>(sub.endRecoverySeq));
    }
    storeAccepted(msg);
    const bool special = m_topicResPtr->recoveryRqsTopic || m_topicResPtr->mrmTopic;
    if (m_mrmApplication && !special)
        return deliver(msg.bytes, TopicWire::HEADER_SIZE + msg.hdr.bodyLen, s, msg.hdr, pubIpAddr, currTm, woTm);
    return assemble(msg, pubIpAddr, currTm, woTm);
}

int32 MessagingTopic::assemble(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm,
                               const timespec& woTm)
{
    const int32 part = msg.hdr.msgPartNum;
    const bool more = msg.hdr.more != 0;
    const uint64 s = msg.hdr.seqNum;
    const uint32 len = dataLenOf(msg);
    const char* data = msg.dataMsg.data;
    if (part == 0)
    {
        if (m_processingMultiPartMsg)
        {
            ++m_stats.incomplete;
            if (more)
                fwLog(LOG_LEVEL_NOTICE,
                      "Incomplete multi-part message detected when rcvd next multi-part msg on topic [%.16s] at msg "
                      "seq# [%lu], part# [%d].",
                      m_topicNameTxt, static_cast<unsigned long>(s), part);
            else
                fwLog(LOG_LEVEL_NOTICE, "Incomplete multi-part message detected on topic [%.16s] at msg seq# [%lu].",
                      m_topicNameTxt, static_cast<unsigned long>(s));
            m_processingMultiPartMsg = false;
            m_tmpMsgBufOffset = 0;
        }
        if (!more)
            return deliver(data, len, s, msg.hdr, pubIpAddr, currTm, woTm);
    }
    else if (!m_processingMultiPartMsg || part != m_nextPartNum)
    {
        ++m_stats.incomplete;
        fwLog(LOG_LEVEL_NOTICE,
              "Missing the initial part of a multi-part message detected on topic [%.16s] at msg seq# [%lu]. Message "
              "part# [%d], buffer offset [%u].",
              m_topicNameTxt, static_cast<unsigned long>(s), part, m_tmpMsgBufOffset);
        m_processingMultiPartMsg = false;
        m_tmpMsgBufOffset = 0;
        return 0;
    }
    // Never past the buffer: a message larger than the largest message is
    // refused whole.
    if (len > m_tmpMsgBufSize - m_tmpMsgBufOffset)
    {
        ++m_stats.oversize;
        m_processingMultiPartMsg = false;
        m_tmpMsgBufOffset = 0;
        return fwFail(MSG_TOO_LARGE, -1);
    }
    std::memcpy(m_tmpMsgBodyPtr + m_tmpMsgBufOffset, data, len);
    m_tmpMsgBufOffset += len;
    m_processingMultiPartMsg = more;
    m_nextPartNum = part + 1;
    if (more)
        return 0;
    const uint32 total = m_tmpMsgBufOffset;
    m_tmpMsgBufOffset = 0;
    return deliver(m_tmpMsgBodyPtr, total, s, msg.hdr, pubIpAddr, currTm, woTm);
}

int32 MessagingTopic::deliver(const char* data, uint32 len, uint64 msgTopicSeq, const TopicMsgHeader& hdr,
                              in_addr_t pubIpAddr, const timespec& currTm, const timespec& woTm)
{
    ++m_stats.delivered;
    m_congestParam.paramInt64 = static_cast<int64>(msgTopicSeq);
    if (m_toPipeline)
        return deliverViaPipeline(data, len, msgTopicSeq, hdr, pubIpAddr, currTm, woTm);
    if (m_repliTopic && m_common.replicatorThread() != nullptr && len >= FwIntMessage::DATA_HEADER_SIZE &&
        len <= sizeof(FwIntMessage))
    {
        FwIntMessage& fw = m_bufferedDataMsg;
        std::memcpy(&fw, data, len);
        const Data_t& d = fw.appMsg.data;
        if (fw.appMsg.type == MSG_DATA && d.chnType == MSG_TOPIC_CHANNEL && d.dataDir == OUTGOING_DATA)
        {
            const uint32 expect = d.dataLen < Data_t::MAX_DATA_LEN
                                      ? d.dataLen + REPLI_FW_MSG_FIXED
                                      : static_cast<uint32>(sizeof(FwIntMessage));
            if (expect == len)
                storeRepliFwMsg(fw, d.channelNameTxt);
            else
                fwLog(LOG_LEVEL_NOTICE,
                      "The framework message size [%u] NOT EQUAL the actual data size [%u] of the replicated outgoing "
                      "topic message.",
                      len, expect);
        }
    }
    return deliverViaQueue(data, len, msgTopicSeq, hdr, pubIpAddr, currTm, woTm);
}

int32 MessagingTopic::deliverViaQueue(const char* data, uint32 len, uint64 msgTopicSeq, const TopicMsgHeader& hdr,
                                      in_addr_t pubIpAddr, const timespec& currTm, const timespec& woTm)
{
    if (m_target.queue == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, -1);
    FwIntMessage& m = m_dataMsg;
    m.tm = currTm;
    m.outTm = woTm;
    Data_t& d = m.appMsg.data;
    d.msgTopicSeq = msgTopicSeq;
    d.applMsgSeq = 0;
    d.peerIpAddr = pubIpAddr;
    std::memcpy(d.peerAppIdTxt, hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
    d.peerAppIdTxt[sizeof(ApplicationID) - 1] = '\0';
    d.peerAppInstId = hdr.senderInstId;
    d.peerAppSiteId = hdr.senderSiteId;
    d.msgPartNum = 0;
    uint32 offset = 0;
    do
    {
        const uint32 chunk = std::min<uint32>(len - offset, Data_t::MAX_DATA_LEN);
        d.dataLen = chunk;
        d.more = offset + chunk < len;
        if (chunk > 0)
            std::memcpy(d.buffer, data + offset, chunk);
        m.msgSeqNum = ++m_common.msgSeqNum();
        MsgForwarder::Outcome outcome{};
        if (m_common.forwarder().put(m_target, m, m_parked, m_congestParam, outcome) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (m_toMsgRepli)
                fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to forward topic [%.16s] message seq# [%lu] to Message Replicator.",
                      code, m_topicNameTxt, static_cast<unsigned long>(msgTopicSeq));
            else
                fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to forward topic [%.16s] message seq# [%lu] to [%.16s].", code,
                      m_topicNameTxt, static_cast<unsigned long>(msgTopicSeq), m_target.recipient);
            return fwFail(code, -1);
        }
        if (outcome == MsgForwarder::FWD_CONGESTED)
            fwLog(LOG_LEVEL_NOTICE,
                  "Unable to forward topic [%.16s] message seq# [%lu] to [%.16s] due to message queue full. Schedule "
                  "retry at next MSL timer event.",
                  m_topicNameTxt, static_cast<unsigned long>(msgTopicSeq), m_target.recipient);
        ++d.msgPartNum;
        offset += chunk;
    } while (offset < len);
    return 0;
}

int32 MessagingTopic::deliverViaPipeline(const char* data, uint32 len, uint64 msgTopicSeq, const TopicMsgHeader& hdr,
                                         in_addr_t pubIpAddr, const timespec& currTm, const timespec& woTm)
{
    Pipeline* pl = m_topicResPtr->pipelinePtr;
    PlMessageStore* store = m_topicResPtr->tmpPlMsgStorePtr;
    if (pl == nullptr)
        return fwFail(RES_PL_NOT_EXIST, -1);
    if (!MsgForwarder::fitsPipeline(len, *pl))
    {
        fwLog(LOG_LEVEL_CRITICAL, "The data message size [%u] is too large to fit into the entry of pipeline [%.16s]",
              len, m_topicResPtr->regParam.pipelineNameTxt);
        return fwFail(MSG_TOO_LARGE, -1);
    }
    m_parked = m_common.forwarder().flushPipeline(pl, store);
    PipelineMsgHeader h{};
    std::memcpy(h.originatorTxt, m_dataMsg.originatorTxt, sizeof(ResourceName));
    std::memcpy(h.recipientTxt, m_topicResPtr->regParam.threadNameTxt, sizeof(ResourceName));
    h.type = MSG_DATA;
    std::memcpy(h.channelNameTxt, m_topicNameTxt, sizeof(ResourceName));
    h.chnType = MSG_TOPIC_CHANNEL;
    h.msgTopicSeq = msgTopicSeq;
    h.peerIpAddr = pubIpAddr;
    std::memcpy(h.peerAppIdTxt, hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
    h.peerAppInstId = hdr.senderInstId;
    h.peerAppSiteId = hdr.senderSiteId;
    h.fdPtr = m_topicResPtr;
    h.dataDir = INCOMING_DATA;
    h.dataLen = len;
    h.tm = currTm;
    h.outTm = woTm;
    MsgForwarder::Outcome outcome{};
    const int32 r = m_common.forwarder().enqueue(pl, store, m_topicResPtr->regParam.pipelineNameTxt, h, data, m_parked,
                                                 m_topicResPtr->regParam.threadNameTxt, m_topicResPtr->altMsgQueuePtr,
                                                 m_congestParam, outcome);
    if (outcome == MsgForwarder::FWD_CONGESTED)
        fwLog(LOG_LEVEL_NOTICE,
              "Unable to forward topic [%.16s] message seq# [%lu] to [%.16s] due to pipeline full. Schedule retry at "
              "next MSL timer event.",
              m_topicNameTxt, static_cast<unsigned long>(msgTopicSeq), m_topicResPtr->regParam.pipelineNameTxt);
    return r;
}

int32 MessagingTopic::processBufferedMsg()
{
    if (m_toPipeline)
        m_parked = m_common.forwarder().flushPipeline(m_topicResPtr->pipelinePtr, m_topicResPtr->tmpPlMsgStorePtr);
    else
        m_parked = m_common.forwarder().flushQueue(m_target);
    return 0;
}

// ---- acknowledgements ----

int32 MessagingTopic::sendAck(TopicDataMsgAck& ack, uint64, bool recovery, int64 nowNs)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    const timespec now = m_common.clock().wallTime();
    ack.hdr.tm = MslWireTime{static_cast<int64>(now.tv_sec), static_cast<int64>(now.tv_nsec)};
    ack.lastSeqNumRcvd = sub.lastAcptMsgSeq;
    if (recovery)
        ack.msgFlags |= TopicDataMsgAck::RECOVERY_FLAG;
    else
        ack.msgFlags &= static_cast<uint8>(~TopicDataMsgAck::RECOVERY_FLAG);
    sub.lastAckSentNs = nowNs;
    sub.lastMsgRcvdNs = nowNs;
    if (m_ackChannelPtr->send(reinterpret_cast<const char*>(&ack), static_cast<int32>(TopicWire::ACK_SIZE)) != 0)
        return -1;
    sub.lastMsgSeqAcked = sub.lastAcptMsgSeq;
    return 0;
}

int32 MessagingTopic::sendAckAfterAccept(TopicMsgSrc msgSrc, bool lastMsgInBatch, int64 nowNs)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    if (msgSrc != SRC_PUBLISHER || !m_topicResPtr->regParam.activeSubscriber)
        return 0;
    const uint64 l = sub.lastAcptMsgSeq;
    // A run taken at once (what was held past a filled gap) may step over
    // the interval's number: stepping over it counts as reaching it.
    const bool interval = l != 0 && (l % m_numUnackMsgMax == 0 || (l > sub.lastMsgSeqAcked &&
                                                                   l / m_numUnackMsgMax !=
                                                                       sub.lastMsgSeqAcked / m_numUnackMsgMax));
    const bool batchEnd =
        lastMsgInBatch && (m_repliTopic || m_common.replicatorThread() != nullptr || m_mrmApplication);
    if (!interval && !batchEnd)
        return 0;
    if (sendAck(m_tmpTopicMsgAck, l, m_settings.skipWaitAckOnTopicRecovery && sub.onRecovery, nowNs) == 0)
    {
        fwLog(LOG_LEVEL_DEBUG, "Sent topic ACK on topic [%.16s] at seq# [%lu].", m_topicNameTxt,
              static_cast<unsigned long>(l));
        return 0;
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending topic ACK on topic [%.16s].", code, m_topicNameTxt);
    return fwFail(code, -1);
}

int32 MessagingTopic::sendTopicHeartbeatAck(bool gapDetected)
{
    if (m_subRecPtr == nullptr || !m_topicResPtr->regParam.activeSubscriber)
        return 0;
    SubscriptionRecord& sub = *m_subRecPtr;
    fwLog(LOG_LEVEL_DEBUG, "Send TOPIC_HEARTBEAT_ACK on topic [%.16s] with last seq# acpt [%lu]", m_topicNameTxt,
          static_cast<unsigned long>(sub.lastAcptMsgSeq));
    const bool recovery = m_settings.skipWaitAckOnTopicRecovery && (gapDetected || sub.onRecovery);
    return sendAck(m_tmpTopicHeartbeatAck, sub.lastAcptMsgSeq, recovery, m_common.clock().monoNs());
}

// ---- buffering during recovery ----

void MessagingTopic::resetBufferMsgInRecovery()
{
    m_bufMsgInBuffering = false;
    m_bufMsgInReplay = false;
    m_bufMsgFirstSeq = 0;
    m_bufMsgLastSeq = 0;
    m_bufMsgNumReplayed = 0;
    m_bufMsgTmxCnt = 0;
    m_bufMsgLastReplayInCongested.hdr.seqNum = 0;
    if (m_bufMsgInRcvyPtr != nullptr)
        m_bufMsgInRcvyPtr->reset();
}

void MessagingTopic::startBuffering(const TopicMessage& msg, in_addr_t pubIpAddr, const char* why)
{
    fwLog(LOG_LEVEL_INFO, "Start buffering for recovery in topic [%.16s] from seq# [%lu] when %s.", m_topicNameTxt,
          static_cast<unsigned long>(msg.hdr.seqNum), why);
    resetBufferMsgInRecovery();
    m_bufMsgInBuffering = true;
    m_bufMsgFirstSeq = msg.hdr.seqNum;
    m_bufMsgLastSeq = msg.hdr.seqNum;
    m_bufMsgFirstAddr = pubIpAddr;
    int32 idx = -1;
    m_bufMsgInRcvyPtr->enqueue(msg, &idx, 1, 0);
}

int32 MessagingTopic::storeBuffered(const TopicMessage& msg, const timespec& currTm, int64 nowNs)
{
    if (m_bufMsgInRcvyPtr->getNumFreeEntry() == 0)
    {
        m_bufMsgInRcvyPtr->dequeue(m_tmpTopicMsgReplay, 1, 0);
        m_bufMsgFirstSeq = m_tmpTopicMsgReplay.hdr.seqNum + 1;
        if (!m_bufMsgInReplay)
        {
            if (!m_bufMsgFullInBufferingLog)
                fwLog(LOG_LEVEL_NOTICE,
                      "Message buffer in recovery is full during buffering on topic [%.16s], start to drop first "
                      "buffered msg from seq# [%lu].",
                      m_topicNameTxt, static_cast<unsigned long>(m_tmpTopicMsgReplay.hdr.seqNum));
            m_bufMsgFullInBufferingLog = true;
        }
        else
        {
            if (!m_bufMsgFullInReplayLog)
                fwLog(LOG_LEVEL_NOTICE,
                      "Message buffer in recovery is full during replay on topic [%.16s], start to replay message now "
                      "from seq# [%lu].",
                      m_topicNameTxt, static_cast<unsigned long>(m_tmpTopicMsgReplay.hdr.seqNum));
            m_bufMsgFullInReplayLog = true;
            uint64 gap = 0;
            static const timespec noWireTm{};
            if (m_bufMsgLastReplayInCongested.hdr.seqNum != 0)
            {
                if (processMessage(m_bufMsgLastReplayInCongested, m_bufMsgFirstAddr, currTm, nowNs, noWireTm, gap,
                                   SRC_FORCE_REPLAY, false) != 0)
                {
                    const int32 code = FrameworkErrno::m_fwErrno;
                    fwLog(LOG_LEVEL_ERROR,
                          "Unexpected error [%d] returned when replay buffered msg on topic [%.16s] seq# [%lu] when "
                          "buffer full, stop buffering msg for recovery.",
                          code, m_topicNameTxt, static_cast<unsigned long>(m_bufMsgLastReplayInCongested.hdr.seqNum));
                    resetBufferMsgInRecovery();
                    return fwFail(code, -1);
                }
                m_bufMsgLastReplayInCongested.hdr.seqNum = 0;
            }
            if (m_tmpTopicMsgReplay.hdr.seqNum > m_subRecPtr->lastAcptMsgSeq &&
                processMessage(m_tmpTopicMsgReplay, m_bufMsgFirstAddr, currTm, nowNs, noWireTm, gap, SRC_FORCE_REPLAY,
                               false) != 0)
            {
                const int32 code = FrameworkErrno::m_fwErrno;
                fwLog(LOG_LEVEL_ERROR,
                      "Unexpected error [%d] returned when replay buffered msg on topic [%.16s] seq# [%lu] when buffer "
                      "full, stop buffering msg for recovery.",
                      code, m_topicNameTxt, static_cast<unsigned long>(m_tmpTopicMsgReplay.hdr.seqNum));
                resetBufferMsgInRecovery();
                return fwFail(code, -1);
            }
        }
    }
    int32 idx = -1;
    m_bufMsgInRcvyPtr->enqueue(msg, &idx, 1, 0);
    m_bufMsgLastSeq = msg.hdr.seqNum;
    return 0;
}

int32 MessagingTopic::bufferMsgInRecovery(const TopicMessage& msg, in_addr_t pubIpAddr, const timespec& currTm,
                                          int64 nowNs, int32 lastStatus, int32 lastError, uint64 gapSize)
{
    auto keep = [&]() { return lastStatus != 0 ? fwFail(lastError, lastStatus) : lastStatus; };
    if (m_bufMsgInRcvySize == 0 || m_subRecPtr == nullptr || msg.hdr.cmdType != TOPIC_MSG)
        return keep();
    SubscriptionRecord& sub = *m_subRecPtr;
    const uint64 s = msg.hdr.seqNum;
    const bool gap = lastStatus != 0 && lastError == MSL_MSG_GAP;
    if (!m_bufMsgInBuffering)
    {
        if (gap && gapSize > m_topicResPtr->regParam.maxPubGapRecovery)
            startBuffering(msg, pubIpAddr, "message lost");
        else if (sub.onRecovery && sub.recoveryMode != NORMAL_RECOVERY)
            startBuffering(msg, pubIpAddr, gap ? "message lost" : "MRM recovery started");
        return keep();
    }
    if (!sub.onRecovery && lastStatus == 0)
    {
        fwLog(LOG_LEVEL_INFO,
              "Stop buffering msg for recovery on topic [%.16s] from seq# [%lu] to [%lu] after recovery done with last "
              "acpt seq# [%lu].",
              m_topicNameTxt, static_cast<unsigned long>(m_bufMsgFirstSeq), static_cast<unsigned long>(m_bufMsgLastSeq),
              static_cast<unsigned long>(sub.lastAcptMsgSeq));
        resetBufferMsgInRecovery();
        return keep();
    }
    if (s <= m_bufMsgLastSeq)
        return keep();
    if (s > m_bufMsgLastSeq + 1)
    {
        if (m_bufMsgInReplay && sub.endRecoverySeq != 0 && sub.endRecoverySeq <= m_bufMsgLastSeq)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "Message lost found in topic [%.16s] during buffering and replay for recovery, start to replay all "
                  "message now from seq# [%lu] to [%lu], and restart buffering from seq# [%lu].",
                  m_topicNameTxt, static_cast<unsigned long>(m_bufMsgFirstSeq),
                  static_cast<unsigned long>(m_bufMsgLastSeq), static_cast<unsigned long>(s));
            replayRound(currTm, nowNs, false, true);
        }
        else
            fwLog(LOG_LEVEL_NOTICE,
                  "Message lost found in topic [%.16s] during buffering for recovery, current buffered msg from seq# "
                  "[%lu] to [%lu], and restart buffering from seq# [%lu].",
                  m_topicNameTxt, static_cast<unsigned long>(m_bufMsgFirstSeq),
                  static_cast<unsigned long>(m_bufMsgLastSeq), static_cast<unsigned long>(s));
        startBuffering(msg, pubIpAddr, "message lost");
        return keep();
    }
    const int32 r = storeBuffered(msg, currTm, nowNs);
    return r != 0 ? r : keep();
}

int32 MessagingTopic::replayBufferedMsgInRecovery(const TopicMessage* msg, const timespec& currTm, int64 nowNs,
                                                  bool replayInTimer, bool replayInGap)
{
    if (m_bufMsgInRcvySize == 0 || !m_bufMsgInBuffering)
        return 0;
    if (!m_bufMsgInReplay)
    {
        if (msg == nullptr || msg->hdr.seqNum + 1 != m_bufMsgFirstSeq ||
            m_bufMsgLastSeq < m_subRecPtr->endRecoverySeq)
            return 0;
        fwLog(LOG_LEVEL_NOTICE,
              "Trigger replay buffered msg for recovery on topic [%.16s] from seq# [%lu] to [%lu], with end recovery "
              "seq# [%lu] and last acpt seq# [%lu].",
              m_topicNameTxt, static_cast<unsigned long>(m_bufMsgFirstSeq), static_cast<unsigned long>(m_bufMsgLastSeq),
              static_cast<unsigned long>(m_subRecPtr->endRecoverySeq),
              static_cast<unsigned long>(m_subRecPtr->lastAcptMsgSeq));
        m_bufMsgInReplay = true;
        m_bufMsgNumReplayed = 0;
    }
    return replayRound(currTm, nowNs, replayInTimer, replayInGap);
}

int32 MessagingTopic::onTimerReplayBufferedMsgInRecovery(const timespec& currTm, int64 nowNs)
{
    if (!m_bufMsgInReplay)
        return 0;
    if (++m_bufMsgTmxCnt < m_settings.bufMsgInRcvyTimerMultiplier)
        return 0;
    m_bufMsgTmxCnt = 0;
    return replayRound(currTm, nowNs, true, false);
}

int32 MessagingTopic::replayRound(const timespec& currTm, int64 nowNs, bool fromTimer, bool inGap)
{
    SubscriptionRecord& sub = *m_subRecPtr;
    const uint32 replayMax = m_settings.bufMsgInRcvyReplayMax;
    if (fromTimer || inGap)
        m_bufMsgNumReplayed = 0;
    const TopicMsgSrc src = inGap ? SRC_FORCE_REPLAY : SRC_REPLAY;
    static const timespec noWireTm{};
    uint64 gap = 0;
    auto congested = [&](const TopicMessage& m) {
        m_bufMsgLastReplayInCongested = m;
        if (!m_bufMsgCongestedLog)
            fwLog(LOG_LEVEL_NOTICE,
                  "Message queue congested during replay of buffered msg on topic [%.16s] seq# [%lu], pause replay now "
                  "and wait for next replay timer",
                  m_topicNameTxt, static_cast<unsigned long>(m.hdr.seqNum));
        m_bufMsgCongestedLog = true;
        return 0;
    };
    auto failed = [&](const TopicMessage& m) {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR,
              "Unexpected error [%d] returned when replay buffered msg on topic [%.16s] seq# [%lu], stop replay and "
              "buffering msg for recovery.",
              code, m_topicNameTxt, static_cast<unsigned long>(m.hdr.seqNum));
        resetBufferMsgInRecovery();
        return fwFail(code, -1);
    };
    if (m_bufMsgLastReplayInCongested.hdr.seqNum != 0)
    {
        fwLog(LOG_LEVEL_DEBUG,
              "Replay unprocessed msg in last round with error MSGQ_CONGEST on topic [%.16s] with seq# [%lu], last "
              "buffered msg [%lu], end recovery seq# [%lu] with last acpt seq# [%lu].",
              m_topicNameTxt, static_cast<unsigned long>(m_bufMsgLastReplayInCongested.hdr.seqNum),
              static_cast<unsigned long>(m_bufMsgLastSeq), static_cast<unsigned long>(sub.endRecoverySeq),
              static_cast<unsigned long>(sub.lastAcptMsgSeq));
        const bool newest = m_bufMsgLastReplayInCongested.hdr.seqNum == m_bufMsgLastSeq;
        const TopicMsgSrc s = newest && !fromTimer ? SRC_PUBLISHER : src;
        if (processMessage(m_bufMsgLastReplayInCongested, m_bufMsgFirstAddr, currTm, nowNs, noWireTm, gap, s,
                           newest) != 0)
            return FrameworkErrno::m_fwErrno == MSGQ_CONGEST ? 0 : failed(m_bufMsgLastReplayInCongested);
        m_bufMsgCongestedLog = false;
        m_bufMsgLastReplayInCongested.hdr.seqNum = 0;
        ++m_bufMsgNumReplayed;
        if (newest)
        {
            fwLog(LOG_LEVEL_INFO, "Replay buffered msg on topic [%.16s] is completed with last msg seq# [%lu]%s.",
                  m_topicNameTxt, static_cast<unsigned long>(m_bufMsgLastSeq), sub.onRecovery ? "" : " with recovery done");
            resetBufferMsgInRecovery();
            return 0;
        }
    }
    fwLog(LOG_LEVEL_DEBUG,
          "Replay buffered msg on topic [%.16s] from seq# [%lu] to [%lu], last buffered msg [%lu], end recovery seq# "
          "[%lu] with last acpt seq# [%lu].",
          m_topicNameTxt, static_cast<unsigned long>(m_bufMsgFirstSeq),
          static_cast<unsigned long>(m_bufMsgFirstSeq + replayMax - 1), static_cast<unsigned long>(m_bufMsgLastSeq),
          static_cast<unsigned long>(sub.endRecoverySeq), static_cast<unsigned long>(sub.lastAcptMsgSeq));
    while (inGap || m_bufMsgNumReplayed < replayMax)
    {
        if (m_bufMsgInRcvyPtr->dequeue(m_tmpTopicMsgReplay, 1, 0) != 0)
        {
            resetBufferMsgInRecovery();
            return 0;
        }
        const TopicMessage& m = m_tmpTopicMsgReplay;
        const uint64 s = m.hdr.seqNum;
        m_bufMsgFirstSeq = s + 1;
        const bool newest = s == m_bufMsgLastSeq;
        if (s <= sub.lastAcptMsgSeq && !newest)
            continue; // already accepted: the round goes one further
        if (newest)
        {
            if (s > sub.lastAcptMsgSeq &&
                processMessage(m, m_bufMsgFirstAddr, currTm, nowNs, noWireTm, gap, fromTimer ? src : SRC_PUBLISHER,
                               true) != 0)
                return FrameworkErrno::m_fwErrno == MSGQ_CONGEST ? congested(m) : failed(m);
            fwLog(LOG_LEVEL_INFO, "Replay buffered msg on topic [%.16s] is completed with last msg seq# [%lu]%s.",
                  m_topicNameTxt, static_cast<unsigned long>(s), sub.onRecovery ? "" : " with recovery done");
            resetBufferMsgInRecovery();
            return 0;
        }
        if (processMessage(m, m_bufMsgFirstAddr, currTm, nowNs, noWireTm, gap, src, false) != 0)
            return FrameworkErrno::m_fwErrno == MSGQ_CONGEST ? congested(m) : failed(m);
        ++m_bufMsgNumReplayed;
    }
    return 0;
}
