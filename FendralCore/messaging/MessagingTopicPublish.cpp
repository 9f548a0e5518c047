// MessagingTopic: the publishing side. Sending a message in parts under the
// baton and the acknowledgement window, and the topic heartbeat.
#include "FendralCore/messaging/MessagingTopic.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/messaging/MslSocket.h"
#include "FendralCore/messaging/TopicWindow.h"
#include "FendralCore/runtime/FwLog.h"

#include <cassert>
#include <cstring>
#include <sched.h>
#include <time.h>

namespace
{
constexpr int64 NS_PER_MS = 1000000;

void pauseMicros(int32 microseconds)
{
    timespec t{0, static_cast<long>(microseconds) * 1000};
    nanosleep(&t, nullptr);
}

MslWireTime wireTime(const timespec& t)
{
    return MslWireTime{static_cast<int64>(t.tv_sec), static_cast<int64>(t.tv_nsec)};
}

#ifndef NDEBUG
uint64 digest(const char* msg, uint32 len)
{
    uint64 h = 1469598103934665603ull;
    for (uint32 i = 0; i < len; ++i)
        h = (h ^ static_cast<uint8>(msg[i])) * 1099511628211ull;
    return h;
}
#endif
} // namespace

bool MessagingTopic::takeBaton(int64 limitNs)
{
    TopicRecord& rec = *m_topicRecPtr;
    if (rec.tryTakeBaton())
        return true;
    const int64 start = m_common.clock().monoNs();
    struct Waiting
    {
        std::atomic<int32>& count;
        explicit Waiting(std::atomic<int32>& c) : count(c) { count.fetch_add(1, std::memory_order_relaxed); }
        ~Waiting() { count.fetch_sub(1, std::memory_order_release); }
    } waiting(rec.batonWaiters);
    for (int32 spins = 1;; ++spins)
    {
        if (rec.tryTakeBaton())
            return true;
        // A bounded spin, then the processor goes to the holder: a holder
        // preempted on this core must be able to finish.
        if (spins % BATON_SPINS_BEFORE_YIELD == 0)
        {
            if (limitNs >= 0 && m_common.clock().monoNs() - start > limitNs)
                return false;
            sched_yield();
        }
    }
}

void MessagingTopic::releaseBaton()
{
    m_topicRecPtr->releaseBaton();
}

int32 MessagingTopic::sendPart(const char* bytes, int32 len)
{
    for (int32 attempt = 1;; ++attempt)
    {
        if (m_dataChannelPtr->send(bytes, len) == 0)
            return 0;
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code != WOULD_BLOCK)
            return -1;
        if (attempt >= PART_SEND_TRY_CNT)
        {
            const TopicRecord& rec = *m_topicRecPtr;
            fwLog(LOG_LEVEL_INFO,
                  "The multicast socket send buffer for topic [%.16s] is full. Last message seq# sent [%lu], last ACK "
                  "rcvd [%lu], last DR site ACK rcvd [%lu].",
                  m_topicNameTxt, static_cast<unsigned long>(rec.lastMsgSeq.load(std::memory_order_relaxed)),
                  static_cast<unsigned long>(rec.lastAckedSeq.load(std::memory_order_relaxed)),
                  static_cast<unsigned long>(rec.lastDrAckedSeq.load(std::memory_order_relaxed)));
            return fwFail(WOULD_BLOCK, -1);
        }
        pauseMicros(PART_SEND_PAUSE_US);
    }
}

int32 MessagingTopic::decideWindow(uint64 parts, bool forceSend, int64 nowNs, int32& code)
{
    const TopicRecord& rec = *m_topicRecPtr;
    TopicWindowInput in;
    in.parts = parts;
    in.outstandingMax = m_outstandingMsgMax;
    in.numUnackMax = m_numUnackMsgMax;
    in.ackTimeoutMs = 3 * static_cast<int64>(m_settings.topicTimeoutMs);
    in.lastMsgSeq = rec.lastMsgSeq.load(std::memory_order_relaxed);
    const int64 ackNs = rec.lastAckRcvdNs.load(std::memory_order_relaxed);
    in.anyAck = ackNs != 0;
    // Each kind counts from its slowest live subscriber, not its fastest.
    in.ackedAll = rec.windowAckedSeq.load(std::memory_order_relaxed);
    in.ackedRemote = rec.windowRemoteAckedSeq.load(std::memory_order_relaxed);
    in.ackedDr = rec.windowDrAckedSeq.load(std::memory_order_relaxed);
    in.ackedMrm = rec.windowMrmAckedSeq.load(std::memory_order_relaxed);
    in.ackedRemoteMrm = rec.windowRemoteMrmAckedSeq.load(std::memory_order_relaxed);
    in.ackedDrMrm = rec.windowDrMrmAckedSeq.load(std::memory_order_relaxed);
    auto since = [nowNs](int64 t) { return t != 0 ? (nowNs - t) / NS_PER_MS : 0; };
    in.sinceAckMs = since(ackNs);
    in.sinceDrMs = since(rec.lastDrAckRcvdNs.load(std::memory_order_relaxed));
    in.sinceMrmMs = since(rec.lastMrmAckRcvdNs.load(std::memory_order_relaxed));
    in.sinceDrMrmMs = since(rec.lastDrMrmAckRcvdNs.load(std::memory_order_relaxed));
    in.drAckSeen = rec.lastDrAckRcvdNs.load(std::memory_order_relaxed) != 0;
    in.numEffectiveSub = rec.numEffectiveSub.load(std::memory_order_relaxed);
    in.numRemoteSub = rec.numRemoteSub.load(std::memory_order_relaxed);
    in.numDrSiteSub = rec.numDrSiteSub.load(std::memory_order_relaxed);
    in.numEffectiveMrmSub = rec.numEffectiveMrmSub.load(std::memory_order_relaxed);
    in.numRemoteMrmSub = rec.numRemoteMrmSub.load(std::memory_order_relaxed);
    in.numDrSiteMrmSub = rec.numDrSiteMrmSub.load(std::memory_order_relaxed);
    in.waitDr = m_waitForDrSiteAck;
    in.waitMrm = m_waitForMrmAck;
    in.site = m_common.siteId();
    in.forceSend = forceSend;
    const TopicWindowDecision d = decideTopicWindow(in);
    const int32 ms = static_cast<int32>(in.ackTimeoutMs);
    if (d.notes & TopicWindowDecision::NOTE_NO_ACK)
        fwLog(LOG_LEVEL_INFO, "No ACK rcvd on topic [%.16s] over [%d] msec.", m_topicNameTxt, ms);
    if (d.notes & TopicWindowDecision::NOTE_NO_DR_ACK)
        fwLog(LOG_LEVEL_INFO, "No ACK rcvd from DR site on topic [%.16s] over [%d] msec.", m_topicNameTxt, ms);
    if (d.notes & TopicWindowDecision::NOTE_NO_MRM_ACK)
        fwLog(LOG_LEVEL_INFO, "No ACK rcvd from MRM on topic [%.16s] over [%d] msec.", m_topicNameTxt, ms);
    if (d.notes & TopicWindowDecision::NOTE_NO_DR_MRM_ACK)
        fwLog(LOG_LEVEL_INFO, "No ACK rcvd from DR site MRM on topic [%.16s] over [%d] msec.", m_topicNameTxt, ms);
    code = d.code;
    return d.send ? 0 : -1;
}

void MessagingTopic::storeSent(const TopicMessage& msg, bool staged)
{
    if (staged)
    {
        int32 idx = -1;
        // The staging ring holds the largest message's parts.
        m_multipartMsgPtr->enqueue(msg, &idx, 1, 0);
        return;
    }
    storeInRing(*m_bufferPtr, msg, m_topicRecPtr->lastMsgBufIdx);
}

int32 MessagingTopic::sendMessage(const char* msg, uint32 len, uint64& msgSeq, uint64 applSeqNum,
                                  bool rewindOnFailure, const char* recipientAppId, int32 recipientInstId,
                                  bool forceSend)
{
    if (len > m_common.globalData().m_maxMsgSize)
        return fwFail(MSG_TOO_LARGE, -1);
    if (m_topicRecPtr == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not a publisher topic.", m_topicNameTxt);
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    }
    TopicRecord& rec = *m_topicRecPtr;
    if (m_topicResPtr->status.load(std::memory_order_acquire) != RES_ACTIVE ||
        !rec.publishReady.load(std::memory_order_acquire))
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not ready to send.", m_topicNameTxt);
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    }
    if (!takeBaton(BATON_WAIT_NS))
    {
        fwLog(LOG_LEVEL_INFO, "Timeout waiting for the baton to send via topic [%.16s]. Return WOULD_BLOCK.",
              m_topicNameTxt);
        return fwFail(WOULD_BLOCK, -1);
    }
    // A message may have been taken back while this thread waited.
    if (!rec.publishReady.load(std::memory_order_acquire))
    {
        releaseBaton();
        fwLog(LOG_LEVEL_NOTICE, "Topic [%.16s] not ready to send.", m_topicNameTxt);
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    }
#ifndef NDEBUG
    // Numbers given back are sent again only with the message they carried.
    if (m_rewound)
        assert(len == m_rewoundLen && digest(msg, len) == m_rewoundHash &&
               "a message sent after a rewound failure must be the one that failed");
    m_rewound = false;
#endif
    const timespec now = m_common.clock().wallTime();
    const int64 nowNs = m_common.clock().monoNs();
    const uint64 parts = (static_cast<uint64>(len) + TopicDataMsg::DATA_MAX - 1) / TopicDataMsg::DATA_MAX;
    int32 windowCode = 0;
    if (decideWindow(parts, forceSend, nowNs, windowCode) != 0)
    {
        fwLog(LOG_LEVEL_DEBUG,
              "The topic [%.16s] is not ready to send. Last message seq# sent [%lu], last ACK rcvd [%lu], last DR "
              "site ACK rcvd [%lu].",
              m_topicNameTxt, static_cast<unsigned long>(rec.lastMsgSeq.load(std::memory_order_relaxed)),
              static_cast<unsigned long>(rec.lastAckedSeq.load(std::memory_order_relaxed)),
              static_cast<unsigned long>(rec.lastDrAckedSeq.load(std::memory_order_relaxed)));
        releaseBaton();
        return fwFail(WOULD_BLOCK, -1);
    }

    TopicDataMsg& d = m_tmpTopicMsg.dataMsg;
    std::memset(d.hdr.recipientAppIdTxt, 0, sizeof(ApplicationID));
    if (recipientAppId != nullptr)
        std::memcpy(d.hdr.recipientAppIdTxt, recipientAppId, strnlen(recipientAppId, sizeof(ApplicationID) - 1));
    d.hdr.recipientInstId = recipientInstId;
    d.hdr.resendFlag = 0;
    d.pubRecoverySessId = 0;
    d.hdr.tm = wireTime(now);
    d.hdr.msgPartNum = 0;
    const uint64 prevTopicSeq = rec.lastMsgSeq.load(std::memory_order_relaxed);
    const int32 prevBufIdx = rec.lastMsgBufIdx;
    const bool staged = rewindOnFailure && parts > 1 && m_multipartMsgPtr != nullptr;
    if (staged)
        m_multipartMsgPtr->reset();

    uint64 seq = prevTopicSeq;
    uint32 offset = 0;
    do
    {
        const uint32 dataLen = std::min<uint32>(len - offset, TopicDataMsg::DATA_MAX);
        ++seq;
        rec.lastMsgSeq.store(seq, std::memory_order_relaxed);
        d.hdr.seqNum = seq;
        d.dataLen = dataLen;
        d.hdr.more = offset + dataLen < len ? 1 : 0;
        d.hdr.bodyLen = dataLen + TopicWire::DATA_BODY_FIXED;
        if (dataLen > 0)
            std::memcpy(d.data, msg + offset, dataLen);
        if (sendPart(m_tmpTopicMsg.bytes, static_cast<int32>(TopicWire::HEADER_SIZE + d.hdr.bodyLen)) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (rewindOnFailure)
            {
                // Nothing of this message stays: the caller sends it again.
                rec.lastMsgSeq.store(prevTopicSeq, std::memory_order_relaxed);
                rec.lastMsgBufIdx = prevBufIdx;
                if (staged)
                    m_multipartMsgPtr->reset();
#ifndef NDEBUG
                m_rewound = true;
                m_rewoundLen = len;
                m_rewoundHash = digest(msg, len);
#endif
            }
            else
                rec.lastMsgSeq.store(seq - 1, std::memory_order_relaxed);
            msgSeq = rec.lastMsgSeq.load(std::memory_order_relaxed);
            rec.lastMsgSentTime = now;
            rec.lastMsgSentNs = nowNs;
            releaseBaton();
            return fwFail(code, -1);
        }
        storeSent(m_tmpTopicMsg, staged);
        ++d.hdr.msgPartNum;
        if (seq % m_numUnackMsgMax == 0)
        {
            rec.lastTmIntervalMsgSeq = seq;
            rec.lastTopicTimeoutNs = nowNs;
        }
        offset += dataLen;
    } while (offset < len);

    if (applSeqNum > rec.applSeqNum)
        rec.applSeqNum = applSeqNum;
    if (staged)
    {
        while (m_multipartMsgPtr->dequeue(m_tmpTopicMsg2, 1, 0) == 0)
            storeInRing(*m_bufferPtr, m_tmpTopicMsg2, rec.lastMsgBufIdx);
    }
    msgSeq = seq;
    rec.lastMsgSentTime = now;
    rec.lastMsgSentNs = nowNs;
    releaseBaton();
    return windowCode == 0 ? 0 : fwFail(windowCode, -1);
}

int32 MessagingTopic::sendTopicHeartbeat()
{
    if (m_topicRecPtr == nullptr)
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    TopicRecord& rec = *m_topicRecPtr;
    takeBaton(-1);
    const uint64 applSeqNum = rec.applSeqNum;
    const uint64 lastSeq = rec.lastMsgSeq.load(std::memory_order_relaxed);
    rec.lastMsgSentTime = m_common.clock().wallTime();
    rec.lastMsgSentNs = m_common.clock().monoNs();
    const timespec sentTm = rec.lastMsgSentTime;
    releaseBaton();
    fwLog(LOG_LEVEL_DEBUG, "Send TOPIC_HEARTBEAT on topic [%.16s] with last seq# sent [%lu]. Latest application seq# [%lu].",
          m_topicNameTxt, static_cast<unsigned long>(lastSeq), static_cast<unsigned long>(applSeqNum));
    TopicHeartbeat& hb = m_tmpTopicHeartbeat.heartbeat;
    hb.hdr.tm = wireTime(sentTm);
    hb.lastSeqNumSent = lastSeq;
    hb.applSeqNum = applSeqNum;
    return m_dataChannelPtr->send(m_tmpTopicHeartbeat.bytes, static_cast<int32>(TopicWire::HEARTBEAT_SIZE));
}
