// MessagingService: the control channels. Composing and sending requests and
// answers, the pending requests, keepalives, and the batches of the request
// and request-acknowledgement channels with their filters.
#include "FendralCore/messaging/MessagingService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstring>
#include <string>
#include <time.h>

namespace
{
// The dotted sender address of a datagram.
struct AddrText
{
    explicit AddrText(const sockaddr_in& from)
    {
        if (inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text)) == nullptr)
            text[0] = '\0';
    }
    char text[INET_ADDRSTRLEN] = {};
};

uint32 cmdOf(const char* record)
{
    uint32 cmd = 0;
    std::memcpy(&cmd, record, sizeof(cmd));
    return cmd;
}

bool hasWireOrder(const WireOrderInfo* wire)
{
    return wire != nullptr && (wire->dataTm.tv_sec != 0 || wire->dataTm.tv_nsec != 0);
}

void pauseMicros(int32 microseconds)
{
    timespec t{0, static_cast<long>(microseconds) * 1000};
    nanosleep(&t, nullptr);
}
} // namespace

void MessagingService::stampWire(MslMsgHeader& hdr) const
{
    const timespec now = m_clock.wallTime();
    hdr.tm = MslWireTime{static_cast<int64>(now.tv_sec), static_cast<int64>(now.tv_nsec)};
}

void MessagingService::peerLog(PeerLogLimit& limit, int32 level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fwPeerLogV(&limit, level, format, args);
    va_end(args);
}

// ---- composing and sending ----

MslMsgRqs& MessagingService::composeRequest(MslCmdType cmd, const char* topicNameTxt, uint64 lastMsgTopicSeq)
{
    MslMsgRqs& r = m_rqsTemplate.rqs;
    r.hdr.cmdType = cmd;
    r.hdr.rqsId = cmd == TAIL_LOST_QUERY || cmd == TAIL_LOST_QUERY2 ? m_rqsIds.nextTailLost() : m_rqsIds.nextRequest();
    r.hdr.resendCount = 0;
    std::memset(r.hdr.recipientAppIdTxt, 0, sizeof(ApplicationID));
    r.hdr.recipientInstId = 0;
    r.hdr.recipientSiteId = 0;
    ResourceName name{};
    ResourceManager::copyResourceName(name, topicNameTxt);
    std::memcpy(r.topicNameTxt, name, sizeof(ResourceName));
    r.lastMsgTopicSeq = lastMsgTopicSeq;
    r.reasonCode = 0;
    r.numUnackMsgMax = 0;
    stampWire(r.hdr);
    return r;
}

MslMsgAck& MessagingService::composeAnswer(const MslMsgRqs& rqs, uint64 lastMsgSeq, int32 status, int32 errorCode)
{
    MslMsgAck& a = m_ansTemplate.ack;
    a.hdr.cmdType = static_cast<uint32>(MslProtocol::answerOf(rqs.hdr.cmdType));
    std::memcpy(a.hdr.recipientAppIdTxt, rqs.hdr.senderAppIdTxt, sizeof(ApplicationID));
    a.hdr.recipientInstId = rqs.hdr.senderInstId;
    a.hdr.recipientSiteId = rqs.hdr.senderSiteId;
    a.hdr.rqsId = rqs.hdr.rqsId;
    a.hdr.resendCount = rqs.hdr.resendCount;
    std::memcpy(a.topicNameTxt, rqs.topicNameTxt, sizeof(ResourceName));
    a.status = status;
    a.lastMsgSeq = lastMsgSeq;
    a.errorCode = errorCode;
    a.mrmPartitionId = -1;
    a.numUnackMsgMax = 0;
    stampWire(a.hdr);
    return a;
}

int32 MessagingService::sendRequest(const char* record, int32 len)
{
    int32 code = 0;
    for (int32 attempt = 0; attempt < RQS_SEND_TRY_CNT; ++attempt)
    {
        if (m_rcSock->send(record, len) == 0)
        {
            m_lastRqsSentNs = m_clock.monoNs();
            if (m_rqsSendBlocked)
            {
                m_rqsSendBlocked = false;
                fwLog(LOG_LEVEL_NOTICE, "The request channel takes sends again.");
            }
            return 0;
        }
        code = FrameworkErrno::m_fwErrno;
        if (code != WOULD_BLOCK)
            break;
        if (attempt + 1 < RQS_SEND_TRY_CNT)
            pauseMicros(RQS_SEND_PAUSE_US);
    }
    m_stats.requestSendFailures.add();
    // Reported when the channel stops taking sends, not at every try after.
    if (code != WOULD_BLOCK || !m_rqsSendBlocked)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending [%s] on the request channel. %s", code,
              MslProtocol::cmdName(cmdOf(record)),
              code == WOULD_BLOCK ? "The send buffer stayed full." : "The send failed.");
    m_rqsSendBlocked = code == WOULD_BLOCK;
    return fwFail(code, -1);
}

void MessagingService::sendAnswer(const char* record, int32 len)
{
    if (m_racSock->send(record, len) == 0)
    {
        m_lastAnsSentNs = m_clock.monoNs();
        return;
    }
    // The peer asks again; nothing waits for this send.
    fwLog(LOG_LEVEL_DEBUG, "Error [%d] sending [%s] on the request acknowledgement channel. Ignore and continue.",
          FrameworkErrno::m_fwErrno, MslProtocol::cmdName(cmdOf(record)));
}

void MessagingService::keepMslChannelAlive(int64 nowNs)
{
    if (m_settings.keepaliveTmSec == 0)
        return;
    const int64 interval = static_cast<int64>(m_settings.keepaliveTmSec);
    if ((nowNs - m_lastRqsSentNs) / MonoClock::NSEC_PER_SEC > interval)
    {
        fwLog(LOG_LEVEL_DEBUG, "Send MSL_CMD_KEEPALIVE_MSG.");
        stampWire(m_cmdKeepalive.hdr);
        sendRequest(m_cmdKeepalive.bytes, MslProtocol::KEEPALIVE_SIZE);
    }
    if ((nowNs - m_lastAnsSentNs) / MonoClock::NSEC_PER_SEC > interval)
    {
        fwLog(LOG_LEVEL_DEBUG, "Send MSL_ACK_KEEPALIVE_MSG.");
        stampWire(m_ackKeepalive.hdr);
        sendAnswer(m_ackKeepalive.bytes, MslProtocol::KEEPALIVE_SIZE);
    }
}

// ---- pending requests ----

int32 MessagingService::addPendingRqs(const PendingRqsRecord& rec)
{
    // Fields of a packed record are read by value, never bound by reference.
    const uint32 id = rec.rqs.hdr.rqsId;
    const auto [it, inserted] = m_pendingRqs.try_emplace(id, rec);
    if (!inserted)
        return fwFail(DAT_KEY_EXIST, -1);
    // Its time-out runs from now unless the caller says when it was sent.
    if (it->second.lastSentNs == 0)
        it->second.lastSentNs = m_clock.monoNs();
    const uint32 cmd = rec.rqs.hdr.cmdType;
    if ((cmd == DATA_RECOVERY_RQS || cmd == TAIL_LOST_RECOVERY_RQS) && rec.subRecPtr != nullptr)
        rec.subRecPtr->recoveryRqsId = id;
    return 0;
}

PendingRqsRecord* MessagingService::findPendingRqs(uint32 rqsId)
{
    const auto it = m_pendingRqs.find(rqsId);
    return it != m_pendingRqs.end() ? &it->second : nullptr;
}

int32 MessagingService::erasePendingRqs(uint32 rqsId)
{
    return static_cast<int32>(m_pendingRqs.erase(rqsId));
}

int32 MessagingService::getNumPendingRqs(int32 cmdType) const
{
    if (cmdType < 0)
        return static_cast<int32>(m_pendingRqs.size());
    int32 count = 0;
    for (const auto& [id, rec] : m_pendingRqs)
        if (rec.rqs.hdr.cmdType == static_cast<uint32>(cmdType))
            ++count;
    return count;
}

// ---- receiving ----

bool MessagingService::isLocalAddr(in_addr_t addr) const
{
    for (int32 i = 0; i < m_numLocalAddr; ++i)
        if (m_localAddr[i] == addr)
            return true;
    return false;
}

bool MessagingService::isOwnLoopback(const MslMsgHeader& hdr, const sockaddr_in& from) const
{
    return MslProtocol::appIdKey(hdr.senderAppIdTxt) == m_appId && hdr.senderInstId == m_appInstId &&
           isLocalAddr(from.sin_addr.s_addr);
}

int32 MessagingService::readControlBatch(MslSocket& sock, PeerLogLimit& logLimit, const WireOrderInfo* wire,
                                         int32 limit, const char* what,
                                         int32 (MessagingService::*handle)(int32, const sockaddr_in&))
{
    const bool ordered = hasWireOrder(wire);
    int32 count = 0;
    int32 total = 0;
    for (;;)
    {
        int32 len = 0;
        sockaddr_in from{};
        if (sock.receive(m_rcvMsg.bytes, sizeof(m_rcvMsg.bytes), len, from) != 0)
        {
            if (FrameworkErrno::m_fwErrno != WOULD_BLOCK)
                return -1;
            break;
        }
        ++count;
        total += len;
        // Nothing of an earlier, longer datagram is read behind this one.
        std::memset(m_rcvMsg.bytes + len, 0, sizeof(m_rcvMsg.bytes) - static_cast<size_t>(len));
        if ((this->*handle)(len, from) != 0)
            return -1;
        if (ordered)
        {
            if (total > wire->dataSize)
                peerLog(logLimit, LOG_LEVEL_WARNING,
                        "Cumulated multicast datagram size of MSL %s available to receive does not match the size "
                        "indicated in Wire Order Info. Expected [%d], actually received [%d].",
                        what, wire->dataSize, total);
            if (total >= wire->dataSize)
            {
                m_stats.batchesEndedByWireOrder.add();
                break;
            }
        }
        else if (count >= limit)
            break;
    }
    fwLog(LOG_LEVEL_DEBUG, "Processed a batch of [%d] MSL %s messages with total size of [%d] bytes.", count, what,
          total);
    return 0;
}

int32 MessagingService::processMslRqs(const WireOrderInfo* wire)
{
    return readControlBatch(*m_rcSock, m_rcLogLimit, wire, m_settings.numMsgRcvMax, "RQS",
                            &MessagingService::handleRequest);
}

int32 MessagingService::processMslAck(const WireOrderInfo* wire)
{
    // Draining every answer still stops somewhere: a flood must not hold the
    // thread.
    const int32 limit = m_drainAllAck ? m_settings.numMsgRcvMax * DRAIN_ALL_BATCHES_MAX : m_settings.numMsgRcvMax;
    m_drainAllAck = false;
    return readControlBatch(*m_racSock, m_racLogLimit, wire, limit, "ACK", &MessagingService::handleAnswer);
}

int32 MessagingService::handleRequest(int32 len, const sockaddr_in& from)
{
    m_stats.rqsReceived.add();
    if (len < static_cast<int32>(MslProtocol::HEADER_SIZE))
    {
        m_stats.rqsShort.add();
        peerLog(m_rcLogLimit, LOG_LEVEL_WARNING,
                "The size [%d] of the message received is smaller than the MSL message header size. Discard and "
                "continue.",
                len);
        return 0;
    }
    const MslMsgHeader& hdr = m_rcvMsg.hdr;
    if (isOwnLoopback(hdr, from))
    {
        m_stats.rqsOwnLoopback.add();
        return 0;
    }
    const uint32 cmd = hdr.cmdType;
    if (!MslProtocol::isKnown(cmd) || MslProtocol::channelOf(cmd) != MSL_ON_REQUEST_CHANNEL)
    {
        m_stats.rqsUnexpected.add();
        peerLog(m_rcLogLimit, LOG_LEVEL_WARNING, "Unexpected request type [%u] received from [%s]. Discard and continue.",
                cmd, AddrText(from).text);
        return 0;
    }
    if (cmd == MRM_PARTITION_ENQ_RQS && !m_gblData.m_mrmApplication)
    {
        m_stats.rqsNotServed.add();
        return 0;
    }
    if (cmd == MSL_CMD_KEEPALIVE_MSG)
    {
        m_stats.rqsKeepalives.add();
        peerLog(m_rcLogLimit, LOG_LEVEL_DEBUG, "Received MSL_CMD_KEEPALIVE_MSG from [%s:%d:%d].",
                MslPeerText(hdr.senderAppIdTxt).c_str(), hdr.senderInstId, hdr.senderSiteId);
        return 0;
    }
    return dispatchRequest(cmd, len, from);
}

const MslMsgRqs* MessagingService::checkedRequest(int32 len, const char* sizeText, bool toThisInstance)
{
    if (len != static_cast<int32>(MslProtocol::RQS_SIZE))
    {
        peerLog(m_rcLogLimit, LOG_LEVEL_WARNING, sizeText, len, static_cast<unsigned long>(MslProtocol::RQS_SIZE));
        return nullptr;
    }
    const MslMsgRqs& r = m_rcvMsg.rqs;
    if (toThisInstance &&
        (MslProtocol::appIdKey(r.hdr.recipientAppIdTxt) != m_appId || r.hdr.recipientInstId != m_appInstId))
        return nullptr;
    return &r;
}

int32 MessagingService::dispatchRequest(uint32 cmd, int32 len, const sockaddr_in& from)
{
    m_stats.rqsHandled.add();
    // Each handler checks the record's length before it reads the body.
    switch (cmd)
    {
    case PUBLISHER_TOPIC_RQS:
        return processPubTopicRqs(len, from);
    case PUBLISHER_TOPIC_CONFIRM:
        return processPubTopicConfirmMsg(len, from);
    case SUBSCRIBER_TOPIC_RQS:
        return processSubTopicRqs(len, from);
    case PUBLISHER_LEAVE_TOPIC_NOTIFICATION:
        return processPubLeaveTopicMsg(len, from);
    case SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION:
        return processSubLeaveTopicMsg(len, from);
    case MSL_SW_ACTIVE_SUBSCRIBER_RQS:
        return processSwActiveSubRqs(len, from);
    // While a resend runs, what would start another one is answered busy.
    case DATA_RECOVERY_RQS:
        return m_resendInProgress ? processDataRecoveryRqs2(len, from) : processDataRecoveryRqs(len, from);
    case TAIL_LOST_RECOVERY_RQS:
        return m_resendInProgress ? processTailLostRecoveryRqs2(len, from) : processTailLostRecoveryRqs(len, from);
    case TAIL_LOST_QUERY:
    case TAIL_LOST_QUERY2:
        return processTailLostQuery(len, from);
    case MRM_PARTITION_ENQ_RQS:
        return processMrmPartitionEnqRqs(len, from);
    case MSL_MRM_HEARTBEAT:
        return processMrmHeartbeat(len, from);
    default:
    {
        const MslMsgRqs& r = m_rcvMsg.rqs;
        peerLog(m_rcLogLimit, LOG_LEVEL_DEBUG,
                "Received [%s] of [%d] bytes from [%s:%s:%d:%d] on topic [%s]. Rqs ID [%u].", MslProtocol::cmdName(cmd),
                len, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
                r.hdr.senderSiteId, MslPeerText(r.topicNameTxt).c_str(), r.hdr.rqsId);
        return 0;
    }
    }
}

int32 MessagingService::handleAnswer(int32 len, const sockaddr_in& from)
{
    m_stats.ackReceived.add();
    if (len < static_cast<int32>(MslProtocol::HEADER_SIZE))
    {
        m_stats.ackShort.add();
        peerLog(m_racLogLimit, LOG_LEVEL_WARNING,
                "The size [%d] of the ACK received is smaller than the MSL message header size. Discard and continue.",
                len);
        return 0;
    }
    const MslMsgHeader& hdr = m_rcvMsg.hdr;
    if (isOwnLoopback(hdr, from))
    {
        m_stats.ackOwnLoopback.add();
        return 0;
    }
    const uint32 cmd = hdr.cmdType;
    if (cmd == MSL_ACK_KEEPALIVE_MSG)
    {
        m_stats.ackKeepalives.add();
        peerLog(m_racLogLimit, LOG_LEVEL_DEBUG, "Received MSL_ACK_KEEPALIVE_MSG from [%s:%d:%d].",
                MslPeerText(hdr.senderAppIdTxt).c_str(), hdr.senderInstId, hdr.senderSiteId);
        return 0;
    }
    if (MslProtocol::requestOf(cmd) < 0)
    {
        m_stats.ackUnexpected.add();
        peerLog(m_racLogLimit, LOG_LEVEL_WARNING, "Unexpected response type [%u] received from [%s]. Ignore and continue.",
                cmd, AddrText(from).text);
        return 0;
    }
    // An answer for another process, or another instance of this one.
    if (MslProtocol::appIdKey(hdr.recipientAppIdTxt) != m_appId || hdr.recipientInstId != m_appInstId)
    {
        m_stats.ackOtherRecipient.add();
        return 0;
    }
    const MslMsgAck& ack = m_rcvMsg.ack;
    PendingRqsRecord* pending = findPendingRqs(hdr.rqsId);
    if (pending == nullptr)
    {
        m_stats.ackNoPending.add();
        peerLog(m_racLogLimit, LOG_LEVEL_NOTICE,
                "Received MSL ACK [%u] resend cnt [%d] from [%s] on topic [%s] but the request ID [%u] cannot be "
                "located from m_pendingRqs",
                cmd, hdr.resendCount, AddrText(from).text, MslPeerText(ack.topicNameTxt).c_str(), hdr.rqsId);
        return 0;
    }
    if (len != static_cast<int32>(MslProtocol::ACK_SIZE))
    {
        m_stats.ackBadSize.add();
        const unsigned long expect = MslProtocol::ACK_SIZE;
        switch (cmd)
        {
        case DATA_RECOVERY_RSP:
            peerLog(m_racLogLimit, LOG_LEVEL_WARNING,
                    "Invalid data recovery response message size [%d] received, expect [%lu]. Discard and continue.",
                    len, expect);
            break;
        case TAIL_LOST_RECOVERY_RSP:
            peerLog(m_racLogLimit, LOG_LEVEL_WARNING,
                    "Invalid tail lost recovery response message size [%d] received, expect [%lu]. Discard and "
                    "continue.",
                    len, expect);
            break;
        case MRM_PARTITION_ENQ_RSP:
            peerLog(m_racLogLimit, LOG_LEVEL_WARNING,
                    "Invalid tail MRM topic enquiry response message size [%d] received, expect [%lu]. Discard and "
                    "continue.",
                    len, expect);
            break;
        default:
            peerLog(m_racLogLimit, LOG_LEVEL_WARNING,
                    "Invalid topic ACK size [%d] received, expect [%lu]. Discard and continue.", len, expect);
            break;
        }
        return 0;
    }
    const MslMsgRqs& rqs = pending->rqs;
    if (std::memcmp(ack.topicNameTxt, rqs.topicNameTxt, sizeof(ResourceName)) != 0 ||
        static_cast<int32>(cmd) != MslProtocol::answerOf(rqs.hdr.cmdType))
    {
        m_stats.ackMismatch.add();
        peerLog(m_racLogLimit, LOG_LEVEL_WARNING,
                "Topic name [%s] and command type [%u] in response message received from [%s] does not match the "
                "topic name [%s] and command type [%u] in request message. Rqs ID [%u]. Ignore and continue.",
                MslPeerText(ack.topicNameTxt).c_str(), cmd, AddrText(from).text,
                MslPeerText(rqs.topicNameTxt).c_str(), rqs.hdr.cmdType, hdr.rqsId);
        return 0;
    }
    pending->ackRcvd = true;
    return dispatchAnswer(cmd, *pending, len, from);
}

int32 MessagingService::dispatchAnswer(uint32 cmd, PendingRqsRecord& pending, int32 len, const sockaddr_in& from)
{
    m_stats.ackHandled.add();
    const uint32 id = pending.rqs.hdr.rqsId;
    switch (cmd)
    {
    case PUBLISHER_TOPIC_ACK:
        return processPubTopicAck(id, from);
    case SUBSCRIBER_TOPIC_ACK:
        return processSubTopicAck(id, from);
    case MSL_SW_ACTIVE_SUBSCRIBER_ACK:
        return processSwActiveSubAck(id, from);
    case DATA_RECOVERY_RSP:
        return processDataRecoveryRsp(pending, from);
    case TAIL_LOST_RECOVERY_RSP:
        return processTailLostRecoveryRsp(pending, from);
    case MRM_PARTITION_ENQ_RSP:
        return processMrmPartitionEnqRsp(pending, from);
    default:
        peerLog(m_racLogLimit, LOG_LEVEL_DEBUG,
                "Received [%s] of [%d] bytes from [%s:%s:%d:%d] on topic [%s] for Rqs ID [%u], resend cnt [%d].",
                MslProtocol::cmdName(cmd), len, AddrText(from).text, MslPeerText(m_rcvMsg.hdr.senderAppIdTxt).c_str(),
                m_rcvMsg.hdr.senderInstId, m_rcvMsg.hdr.senderSiteId, MslPeerText(pending.rqs.topicNameTxt).c_str(),
                pending.rqs.hdr.rqsId, m_rcvMsg.hdr.resendCount);
        return 0;
    }
}
