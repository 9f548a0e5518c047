// MessagingTopic: the history ring and what is done with it. Range checks
// and paced resends in slices, the process's history repository (taken
// over, handed over, filled from replicated outgoing messages), and the
// topic's side of the recovery instances' records.
#include "FendralCore/messaging/MessagingTopic.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/messaging/MslSocket.h"
#include "FendralCore/runtime/FwLog.h"

#include <algorithm>
#include <cstring>
#include <time.h>

namespace
{
void pauseMicros(int32 microseconds)
{
    timespec t{0, static_cast<long>(microseconds) * 1000};
    nanosleep(&t, nullptr);
}

constexpr int32 RESEND_PAUSE_US = 100;
} // namespace

int32 MessagingTopic::storeInRing(TopicRing& ring, const TopicMessage& msg, int32& lastIdx)
{
    // The history keeps the newest: a full ring gives up its oldest entry.
    if (ring.getNumFreeEntry() == 0)
        ring.discardOldest();
    return ring.enqueue(msg, &lastIdx, RING_RETRY_CNT, 0);
}

int32 MessagingTopic::chkResendRange(uint64 startSeq, uint64& lastSeq)
{
    lastSeq = 0;
    if (m_topicRecPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not a publisher topic.", m_topicNameTxt);
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    }
    if (m_topicResPtr->status.load(std::memory_order_acquire) != RES_ACTIVE || !isPublishReady())
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not ready to send.", m_topicNameTxt);
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    }
    const uint32 n = m_bufferPtr->getNumElem();
    if (n == 0 || m_bufferPtr->peek(m_tmpTopicMsg2, m_topicRecPtr->lastMsgBufIdx, static_cast<int32>(n - 1)) != 0 ||
        m_tmpTopicMsg2.hdr.seqNum > startSeq)
        return fwFail(NO_SUCH_ENTRY, -1);
    lastSeq = m_topicRecPtr->lastMsgSeq.load(std::memory_order_relaxed);
    return 0;
}

uint64 MessagingTopic::oldestHeldSeq(uint64& newest)
{
    newest = 0;
    if (m_topicRecPtr == nullptr)
        return 0;
    const uint32 n = m_bufferPtr->getNumElem();
    if (n == 0 || m_bufferPtr->peek(m_tmpTopicMsg2, m_topicRecPtr->lastMsgBufIdx, static_cast<int32>(n - 1)) != 0)
        return 0;
    newest = m_topicRecPtr->lastMsgSeq.load(std::memory_order_relaxed);
    return m_tmpTopicMsg2.hdr.seqNum;
}

int32 MessagingTopic::chkTailLostResendRange(uint64 startSeq, uint64& lastSeq)
{
    lastSeq = 0;
    if (m_subRecPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not a subscriber topic.", m_topicNameTxt);
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    }
    if (m_topicResPtr->status.load(std::memory_order_acquire) != RES_ACTIVE || !m_subRecPtr->subscribeReady)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not ready to support tail lost recovery.", m_topicNameTxt);
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    }
    const uint32 n = m_bufferPtr->getNumElem();
    if (n == 0 || m_bufferPtr->peek(m_tmpTopicMsg2, m_subRecPtr->lastMsgBufIdx, static_cast<int32>(n - 1)) != 0 ||
        m_tmpTopicMsg2.hdr.seqNum > startSeq)
        return fwFail(NO_SUCH_ENTRY, -1);
    lastSeq = m_subRecPtr->lastAcptMsgSeq;
    return 0;
}

int32 MessagingTopic::resendFrom(uint64 startSeq, uint64 lastSeq, int32 lastIdx, uint64& lastResentSeq, bool& more,
                                 bool tailLost, uint8 sessionId, uint64 stopSeq)
{
    lastResentSeq = 0;
    more = false;
    if (startSeq > lastSeq)
        return 0;
    // A range wider than the ring fails at its first entry, which is gone.
    int64 offset = static_cast<int64>(lastSeq - startSeq);
    if (offset > INT32_MAX)
        return fwFail(NO_SUCH_ENTRY, -1);
    uint64 expect = startSeq;
    uint64 sent = 0;
    int32 count = 0;
    while (offset >= 0 && expect <= stopSeq)
    {
        TopicMessage& m = m_tmpTopicMsg2;
        if (m_bufferPtr->peek(m, lastIdx, static_cast<int32>(offset)) != 0)
        {
            lastResentSeq = 0;
            return -1;
        }
        if (!tailLost && m.hdr.seqNum != expect)
        {
            if (sent == 0)
                fwLog(LOG_LEVEL_ERROR, "Resend message seq# mismatch on topic [%.16s]. Expected [%lu], retrieved [%lu].",
                      m_topicNameTxt, static_cast<unsigned long>(expect), static_cast<unsigned long>(m.hdr.seqNum));
            else
                fwLog(LOG_LEVEL_ERROR, "Resend message seq# gap on topic [%.16s]. Last resent [%lu], retrieved [%lu].",
                      m_topicNameTxt, static_cast<unsigned long>(sent), static_cast<unsigned long>(m.hdr.seqNum));
        }
        m.hdr.resendFlag = 1;
        if (tailLost)
            m.hdr.cmdType = TAIL_LOST_RECOVERY_DATA_MSG;
        else if (m.hdr.cmdType == TOPIC_MSG)
            m.dataMsg.pubRecoverySessId = sessionId;
        const uint32 size = std::min<uint32>(TopicWire::HEADER_SIZE + m.hdr.bodyLen, sizeof(TopicMessage));
        if (m_dataChannelPtr->send(m.bytes, static_cast<int32>(size)) != 0)
        {
            lastResentSeq = 0;
            return -1;
        }
        sent = m.hdr.seqNum;
        expect = sent + 1;
        --offset;
        ++count;
        if (count % m_settings.resendBatchSize == 0)
            pauseMicros(RESEND_PAUSE_US);
        if (count % m_settings.numMsgPerResend == 0)
        {
            m_common.serviceThread()->lastStatusUpdTm.store(m_common.clock().wallTime().tv_sec,
                                                            std::memory_order_relaxed);
            if (offset >= 0 && expect <= stopSeq)
            {
                more = true;
                break;
            }
        }
        else if (count % RESEND_MSGS_BEFORE_YIELD == 0 && m_topicRecPtr != nullptr &&
                 m_topicRecPtr->batonWaiters.load(std::memory_order_relaxed) > 0 && offset >= 0 && expect <= stopSeq)
        {
            more = true;
            break;
        }
    }
    lastResentSeq = sent;
    return 0;
}

int32 MessagingTopic::resend(uint64 msgSeq, uint64& lastResentSeq, bool& more, uint8 recoverySessionId)
{
    lastResentSeq = 0;
    more = false;
    uint64 lastSeq = 0;
    if (m_topicRecPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not a publisher topic.", m_topicNameTxt);
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    }
    if (m_topicResPtr->status.load(std::memory_order_acquire) != RES_ACTIVE || !isPublishReady())
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not ready to send.", m_topicNameTxt);
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    }
    lastSeq = m_topicRecPtr->lastMsgSeq.load(std::memory_order_relaxed);
    fwLog(LOG_LEVEL_NOTICE, "Send recovered message topic [%.16s] starting from [%lu]. Last msg seq# [%lu]. Last buf idx [%d].",
          m_topicNameTxt, static_cast<unsigned long>(msgSeq), static_cast<unsigned long>(lastSeq),
          m_topicRecPtr->lastMsgBufIdx);
    return resendFrom(msgSeq, lastSeq, m_topicRecPtr->lastMsgBufIdx, lastResentSeq, more, false, recoverySessionId);
}

int32 MessagingTopic::tailLostResend(uint64 msgSeq, uint64& lastResentSeq, bool& more)
{
    lastResentSeq = 0;
    more = false;
    if (m_subRecPtr == nullptr)
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    const uint64 lastSeq = m_subRecPtr->lastAcptMsgSeq;
    fwLog(LOG_LEVEL_NOTICE, "Recover tail lost for topic [%.16s] starting from [%lu]. Last msg seq# [%lu]. Last buf idx [%d].",
          m_topicNameTxt, static_cast<unsigned long>(msgSeq), static_cast<unsigned long>(lastSeq),
          m_subRecPtr->lastMsgBufIdx);
    return resendFrom(msgSeq, lastSeq, m_subRecPtr->lastMsgBufIdx, lastResentSeq, more, true, 0);
}

int32 MessagingTopic::resend(uint64 msgSeq, uint64 endSeq, uint64& lastResentSeq, bool& more, uint8 recoverySessionId)
{
    lastResentSeq = 0;
    more = false;
    if (m_topicRecPtr == nullptr)
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    if (m_topicResPtr->status.load(std::memory_order_acquire) != RES_ACTIVE || !isPublishReady())
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    const uint64 lastSeq = m_topicRecPtr->lastMsgSeq.load(std::memory_order_relaxed);
    if (resendFrom(msgSeq, lastSeq, m_topicRecPtr->lastMsgBufIdx, lastResentSeq, more, false, recoverySessionId,
                   endSeq) != 0)
        return -1;
    return 0;
}

int32 MessagingTopic::tailLostResend(uint64 msgSeq, uint64 endSeq, uint64& lastResentSeq, bool& more)
{
    lastResentSeq = 0;
    more = false;
    if (m_subRecPtr == nullptr)
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    if (resendFrom(msgSeq, m_subRecPtr->lastAcptMsgSeq, m_subRecPtr->lastMsgBufIdx, lastResentSeq, more, true, 0,
                   endSeq) != 0)
        return -1;
    return 0;
}

void MessagingTopic::populateTopicHistory(MessagingCommon::TopicHistoryBuffer& from)
{
    if (m_topicRecPtr == nullptr || from.bufPtr == nullptr)
        return;
    int32 moved = 0;
    uint64 first = 0;
    uint64 last = 0;
    while (from.bufPtr->dequeue(m_tmpTopicMsg2, 1, 0) == 0)
    {
        if (moved++ == 0)
            first = m_tmpTopicMsg2.hdr.seqNum;
        last = m_tmpTopicMsg2.hdr.seqNum;
        storeInRing(*m_bufferPtr, m_tmpTopicMsg2, m_topicRecPtr->lastMsgBufIdx);
    }
    from.lastBufIdx = -1;
    m_topicRecPtr->lastMsgSeq.store(last, std::memory_order_relaxed);
    if (m_topicResPtr->lastMsgSeqNum == 0)
        m_topicResPtr->lastMsgSeqNum = last;
    fwLog(LOG_LEVEL_INFO,
          "[%d] messages populated to topic [%.16s] history buffer with the first seq# [%lu] and the last seq# [%lu]. "
          "There are currently [%u] message in history buffer.",
          moved, m_topicNameTxt, static_cast<unsigned long>(first), static_cast<unsigned long>(last),
          m_bufferPtr->getNumElem());
}

void MessagingTopic::transferTopicHistory(MessagingCommon::TopicHistoryBuffer& to)
{
    if (m_subRecPtr == nullptr || to.bufPtr == nullptr)
        return;
    int32 moved = 0;
    uint64 first = 0;
    uint64 last = 0;
    while (m_bufferPtr->dequeue(m_tmpTopicMsg2, 1, 0) == 0)
    {
        TopicMessage& m = m_tmpTopicMsg2;
        m.hdr.senderInstId = m_common.appInstId();
        m.hdr.senderSiteId = m_common.siteId();
        m.hdr.resendFlag = 0;
        if (moved++ == 0)
            first = m.hdr.seqNum;
        last = m.hdr.seqNum;
        storeInRing(*to.bufPtr, m, to.lastBufIdx);
    }
    m_subRecPtr->lastMsgBufIdx = -1;
    to.lastSeqNum = last;
    fwLog(LOG_LEVEL_INFO,
          "[%d] messages transferred from topic [%.16s] history buffer with the first seq# [%lu] and the last seq# "
          "[%lu].",
          moved, m_topicNameTxt, static_cast<unsigned long>(first), static_cast<unsigned long>(last));
}

void MessagingTopic::insertToTopicHistoryBuffer(const ResourceName& topicNameTxt, uint64 lastTopicSeq,
                                                const char* buf, uint32 len, const timespec& tm, uint64 applSeqNum)
{
    MessagingCommon::TopicHistoryBuffer* hist = m_common.topicHistory(topicNameTxt);
    if (hist == nullptr || hist->bufPtr == nullptr)
        return;
    if (hist->lastSeqNum < lastTopicSeq)
        hist->lastSeqNum = lastTopicSeq;
    hist->applSeqNum = applSeqNum;
    TopicDataMsg& d = m_tmpTopicMsgReplay.dataMsg;
    d.hdr = TopicMsgHeader{};
    d.hdr.cmdType = TOPIC_MSG;
    std::memcpy(d.hdr.senderAppIdTxt, m_common.appIdTxt(), sizeof(ApplicationID));
    d.hdr.senderInstId = m_common.appInstId();
    d.hdr.senderSiteId = m_common.siteId();
    d.hdr.tm = MslWireTime{static_cast<int64>(tm.tv_sec), static_cast<int64>(tm.tv_nsec)};
    std::memcpy(d.topicNameTxt, topicNameTxt, sizeof(ResourceName));
    d.pubRecoverySessId = 0;
    uint32 offset = 0;
    int32 part = 0;
    do
    {
        const uint32 dataLen = std::min<uint32>(len - offset, TopicDataMsg::DATA_MAX);
        d.hdr.seqNum = ++hist->lastSeqNum;
        d.hdr.msgPartNum = part++;
        d.hdr.more = offset + dataLen < len ? 1 : 0;
        d.hdr.bodyLen = dataLen + TopicWire::DATA_BODY_FIXED;
        d.dataLen = dataLen;
        if (dataLen > 0)
            std::memcpy(d.data, buf + offset, dataLen);
        storeInRing(*hist->bufPtr, m_tmpTopicMsgReplay, hist->lastBufIdx);
        offset += dataLen;
    } while (offset < len);
}

int32 MessagingTopic::storeRepliFwMsg(const FwIntMessage& fwMsg, const ResourceName& topicNameTxt)
{
    const Data_t& d = fwMsg.appMsg.data;
    // What a peer sent: never more than a framework message holds.
    if (d.dataLen > Data_t::MAX_DATA_LEN || d.msgPartNum < 0)
        return fwFail(MSL_INVALID_MSG_SIZE, -1);
    const bool whole = d.msgPartNum == 0 && !d.more;
    if (m_largeMsgRepository.empty() || whole)
    {
        insertToTopicHistoryBuffer(topicNameTxt, d.msgTopicSeq, d.buffer, d.dataLen, fwMsg.tm, d.applMsgSeq);
        return 0;
    }
    ResourceName origin{};
    std::memcpy(origin, fwMsg.originatorTxt, sizeof(ResourceName) - 1);
    const auto it = m_largeMsgRepository.find(UInt128(origin, true));
    if (it == m_largeMsgRepository.end())
        return 0;
    LargeMsgBuffer& buf = it->second;
    if (d.msgPartNum != buf.lastPartNumRcvd + 1)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Incomplete topic [%.16s] outgoing multi-part message [%lu] encountered from [%.16s]. Expected part [%d], "
              "received part [%d]. Discard the incomplete message.",
              topicNameTxt, static_cast<unsigned long>(d.msgTopicSeq), origin, buf.lastPartNumRcvd + 1, d.msgPartNum);
        buf.lastPartNumRcvd = -1;
        buf.bufOffset = 0;
        if (d.msgPartNum != 0)
            return 0;
    }
    if (d.dataLen > buf.bufSize - buf.bufOffset)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Topic [%.16s] outgoing multi-part message [%lu] received from [%.16s] is too large. The current message "
              "part is [%d]. Discard and continue.",
              topicNameTxt, static_cast<unsigned long>(d.msgTopicSeq), origin, d.msgPartNum);
        buf.lastPartNumRcvd = -1;
        buf.bufOffset = 0;
        return 0;
    }
    std::memcpy(buf.bufPtr.get() + buf.bufOffset, d.buffer, d.dataLen);
    buf.bufOffset += d.dataLen;
    buf.lastPartNumRcvd = d.msgPartNum;
    if (d.more)
        return 0;
    insertToTopicHistoryBuffer(topicNameTxt, d.msgTopicSeq, buf.bufPtr.get(), buf.bufOffset, fwMsg.tm, d.applMsgSeq);
    buf.lastPartNumRcvd = -1;
    buf.bufOffset = 0;
    return 0;
}

// ---- recovery instances ----

int32 MessagingTopic::processMrmMessage(const TopicMessage& msg, const TopicDataMsg*& dataMsgPtr, int64 nowNs,
                                        uint64& gapSize)
{
    dataMsgPtr = nullptr;
    gapSize = 0;
    if (m_subRecPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not a subscriber topic.", m_topicNameTxt);
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    }
    SubscriptionRecord& sub = *m_subRecPtr;
    sub.lastMsgRcvdNs = nowNs;
    const uint64 s = msg.hdr.seqNum;
    if (s > sub.highestMsgSeqRcvd)
        sub.highestMsgSeqRcvd = s;
    if (!sub.subscribeReady)
        return 0;
    const uint64 l = sub.lastAcptMsgSeq;
    if (s != l + 1)
    {
        // Nothing accepted: an instance's topic is heard only while this
        // process needs it, and a request starts its count again (last
        // accepted 0), as a late join without recovery starts a topic.
        const bool skipLateJoin = sub.lastMsgAcptNs == 0 && m_topicResPtr->regParam.skipLateJoinRecovery;
        const bool lateJoin = l == 0 && (m_topicResPtr->mrmTopic || skipLateJoin);
        if (lateJoin && msg.hdr.msgPartNum != 0)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "The first message seq# [%lu] rcvd on topic [%.16s] is an incomplete multi-part message, which "
                  "should not happen in MRM topic. Discard and continue.",
                  static_cast<unsigned long>(s), m_topicNameTxt);
            return 0;
        }
        if (!lateJoin && s <= l)
        {
            fwLog(LOG_LEVEL_DEBUG,
                  "Message discarded in topic [%.16s]. Current msg seq# [%lu], last accepted msg seq# [%lu], skip late "
                  "join flag [%d], current msg part# [%d].",
                  m_topicNameTxt, static_cast<unsigned long>(s), static_cast<unsigned long>(l),
                  m_topicResPtr->regParam.skipLateJoinRecovery, msg.hdr.msgPartNum);
            return 0;
        }
        if (!lateJoin)
        {
            if (!sub.onRecovery && noteGap(l))
                fwLog(LOG_LEVEL_NOTICE, "Message gap detected in topic [%.16s]. Received seq# [%lu], expect seq# [%lu].",
                      m_topicNameTxt, static_cast<unsigned long>(s), static_cast<unsigned long>(l + 1));
            gapSize = s - 1 - l;
            return fwFail(MSL_MSG_GAP, -1);
        }
    }
    sub.lastMsgAcptNs = nowNs;
    if (sub.onRecovery && sub.endRecoverySeq != 0 && sub.endRecoverySeq <= s)
    {
        sub.onRecovery = false;
        fwLog(LOG_LEVEL_NOTICE, "The data recovery for topic [%.16s] is completed with end recovery seq# [%lu].",
              m_topicNameTxt, static_cast<unsigned long>(sub.endRecoverySeq));
    }
    storeAccepted(msg);
    int32 result = 0;
    const TopicMrmMsg& mrm = msg.mrmMsg;
    const uint32 carried = mrm.dataLen; // a packed field: read by value
    const uint32 dataLen = std::min<uint32>(carried, TopicMrmMsg::MRM_DATA_MAX);
    if (dataLen >= TopicWire::MRM_DATA_HEADER + TopicWire::HEADER_SIZE)
    {
        const auto* data = reinterpret_cast<const MrmDataMsg*>(mrm.mrmData);
        const uint32 cmd = data->mrmCmd;
        if (cmd == MRM_QUICK_RECOVERY_MSG || cmd == MRM_LONG_RECOVERY_MSG)
        {
            const uint64 embedded = uint64{TopicWire::HEADER_SIZE} + data->recoveredMsg.hdr.bodyLen;
            if (embedded != dataLen - TopicWire::MRM_DATA_HEADER)
            {
                fwLog(LOG_LEVEL_NOTICE,
                      "Incorrect embedded topic message size on topic [%.16s] within MrmDataMsg. Expected [%u], rcvd "
                      "[%lu].",
                      m_topicNameTxt, dataLen - TopicWire::MRM_DATA_HEADER, static_cast<unsigned long>(embedded));
                result = fwFail(MSL_INVALID_MSG_SIZE, -1);
            }
            else
                dataMsgPtr = &data->recoveredMsg;
        }
    }
    if (sub.lastAcptMsgSeq != 0 && sub.lastAcptMsgSeq % m_numUnackMsgMax == 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (sendAck(m_tmpTopicMsgAck, sub.lastAcptMsgSeq, m_settings.skipWaitAckOnTopicRecovery && sub.onRecovery,
                    nowNs) != 0)
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending topic ACK on topic [%.16s].", FrameworkErrno::m_fwErrno,
                  m_topicNameTxt);
        FrameworkErrno::m_fwErrno = code;
    }
    return result;
}

int32 MessagingTopic::sendMrmMessage(MrmCmdType mrmCmd, uint32 mrmSessionId, const char* msg, int32 len,
                                     const char* appId, int32 appInstId)
{
    if (!m_mrmApplication || !m_topicResPtr->mrmTopic)
    {
        fwLog(LOG_LEVEL_NOTICE, "sendMrmMessage() can only be called by MRM on MRM topic.");
        return fwFail(FUNC_NOT_ALLOWED, -1);
    }
    if (m_topicRecPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not a publisher topic.", m_topicNameTxt);
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    }
    if (m_topicResPtr->status.load(std::memory_order_acquire) != RES_ACTIVE || !isPublishReady())
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not ready to send.", m_topicNameTxt);
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    }
    if (len < 0 || static_cast<uint32>(len) > TopicWire::DATA_MSG_MAX || (msg == nullptr && len > 0))
        return fwFail(MSG_TOO_LARGE, -1);
    auto sendTries = [&](const char* bytes, int32 size) {
        for (int32 attempt = 1;; ++attempt)
        {
            if (m_dataChannelPtr->send(bytes, size) == 0)
                return 0;
            if (FrameworkErrno::m_fwErrno != WOULD_BLOCK || attempt >= PART_SEND_TRY_CNT)
                return -1;
            pauseMicros(PART_SEND_PAUSE_US);
        }
    };
    if (mrmCmd == MRM_QUICK_RECOVERY_MSG)
    {
        // The caller's topic message, sent again as it is: its own number,
        // no baton, no history.
        if (static_cast<uint32>(len) < TopicWire::HEADER_SIZE + TopicWire::DATA_BODY_FIXED)
            return fwFail(MSL_INVALID_MSG_SIZE, -1);
        TopicMessage& q = m_tmpTopicMsgReplay;
        std::memcpy(q.bytes, msg, static_cast<size_t>(len));
        if (TopicWire::HEADER_SIZE + q.hdr.bodyLen != static_cast<uint32>(len))
            return fwFail(MSL_INVALID_MSG_SIZE, -1);
        q.hdr.cmdType = QUICK_RECOVERY_DATA_MSG;
        q.hdr.resendFlag = 1;
        return sendTries(q.bytes, len);
    }
    if (mrmCmd != MRM_TOPIC_RSP && mrmCmd != MRM_RECOVERY_FAILURE && mrmCmd != MRM_LONG_RECOVERY_MSG)
    {
        fwLog(LOG_LEVEL_NOTICE, "Unexpected MRM message type [%d] for transmission.", mrmCmd);
        return fwFail(MRM_UNEXPECTED_CMD, -1);
    }
    TopicRecord& rec = *m_topicRecPtr;
    takeBaton(-1);
    const timespec now = m_common.clock().wallTime();
    TopicMrmMsg& m = m_tmpTopicMsg.mrmMsg;
    m.hdr.cmdType = MRM_TOPIC_MESSAGE;
    std::memset(m.hdr.recipientAppIdTxt, 0, sizeof(ApplicationID));
    if (appId != nullptr)
        std::memcpy(m.hdr.recipientAppIdTxt, appId, strnlen(appId, sizeof(ApplicationID) - 1));
    m.hdr.recipientInstId = appInstId;
    m.hdr.tm = MslWireTime{static_cast<int64>(now.tv_sec), static_cast<int64>(now.tv_nsec)};
    m.hdr.msgPartNum = 0;
    m.hdr.more = 0;
    m.hdr.resendFlag = 0;
    m.pubRecoverySessId = 0;
    if (mrmCmd == MRM_LONG_RECOVERY_MSG)
    {
        auto* data = reinterpret_cast<MrmDataMsg*>(m.mrmData);
        data->mrmCmd = MRM_LONG_RECOVERY_MSG;
        data->mrmSessionId = mrmSessionId;
        std::memcpy(&data->recoveredMsg, msg, static_cast<size_t>(len));
        data->recoveredMsg.hdr.resendFlag = 1;
        m.dataLen = static_cast<uint32>(len) + TopicWire::MRM_DATA_HEADER;
    }
    else
    {
        std::memcpy(m.mrmData, msg, static_cast<size_t>(len));
        m.dataLen = static_cast<uint32>(len);
    }
    m.hdr.bodyLen = m.dataLen + TopicWire::DATA_BODY_FIXED;
    const uint64 seq = rec.lastMsgSeq.load(std::memory_order_relaxed) + 1;
    m.hdr.seqNum = seq;
    const int32 r = sendTries(m_tmpTopicMsg.bytes, static_cast<int32>(TopicWire::HEADER_SIZE + m.hdr.bodyLen));
    const int32 code = FrameworkErrno::m_fwErrno;
    if (r == 0)
    {
        rec.lastMsgSeq.store(seq, std::memory_order_relaxed);
        storeInRing(*m_bufferPtr, m_tmpTopicMsg, rec.lastMsgBufIdx);
        if (seq % m_numUnackMsgMax == 0)
        {
            rec.lastTmIntervalMsgSeq = seq;
            rec.lastTopicTimeoutNs = m_common.clock().monoNs();
        }
    }
    rec.lastMsgSentTime = now;
    rec.lastMsgSentNs = m_common.clock().monoNs();
    // The data record is the publisher's again.
    m_tmpTopicMsg.hdr.cmdType = TOPIC_MSG;
    std::memcpy(m_tmpTopicMsg.dataMsg.topicNameTxt, m_topicNameTxt, sizeof(ResourceName));
    releaseBaton();
    return r == 0 ? 0 : fwFail(code, -1);
}
