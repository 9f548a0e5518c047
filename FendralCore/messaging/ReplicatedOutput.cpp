#include "FendralCore/messaging/ReplicatedOutput.h"

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>

namespace
{
constexpr int64 WOULD_BLOCK_PAUSE_NS = 10000000;

bool noSubscriberCode(int32 code)
{
    return code == MSL_NO_SUBSCRIBER || code == MSL_NO_DR_SITE_SUBSCRIBER || code == MSL_NO_MRM_SUBSCRIBER ||
           code == MSL_NO_DR_SITE_MRM_SUBSCRIBER;
}

bool singleMessage(const Data_t& d)
{
    return d.msgPartNum == 0 && !d.more;
}
} // namespace

ReplicatedOutput::ReplicatedOutput(EventMessage& sender, uint32& msgSeqNum, ThreadResource* netThread,
                                   uint32 maxMsgSize, Settings settings)
    : m_sender(sender),
      m_msgSeqNum(msgSeqNum),
      m_netThread(netThread),
      m_maxMsgSize(std::max<uint32>(maxMsgSize, Data_t::MAX_DATA_LEN)),
      m_settings(std::move(settings)),
      m_sendBuf(new char[SEND_CHUNK_SIZE])
{
    if (m_settings.tmpBufSize < DEFAULT_TMP_BUF_SIZE)
        m_settings.tmpBufSize = DEFAULT_TMP_BUF_SIZE;
    if (m_settings.tmpBufLimit < 0)
        m_settings.tmpBufLimit = DEFAULT_TMP_BUF_LIMIT;
    if (m_settings.tmpBufLimit > m_settings.tmpBufSize)
        m_settings.tmpBufLimit = m_settings.tmpBufSize;
}

ReplicatedOutput::~ReplicatedOutput()
{
    // The channel records outlive this thread's buffers.
    for (StreamBuffer* sb : m_ownBuffers)
    {
        TcpConnResource* res = sb->getChannelRes();
        if (res != nullptr && res->tmpOutBufPtr == sb)
            res->tmpOutBufPtr = nullptr;
        delete sb;
    }
}

void ReplicatedOutput::pause()
{
    if (m_settings.wouldBlockPause)
    {
        m_settings.wouldBlockPause();
        return;
    }
    timespec ts{0, WOULD_BLOCK_PAUSE_NS};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR)
    {
    }
}

void ReplicatedOutput::notify(const ResourceName& owner, FwMessageQueue* queue, FwEventID id,
                              const ResourceName& channel, ResourceType type)
{
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, channel);
    p.paramInt32 = type;
    const int32 r = queue != nullptr ? m_sender.sendEventMsg(owner, queue, id, p, m_msgSeqNum)
                                     : m_sender.sendEventMsg(owner, MQUEUE_NORMAL, id, p, m_msgSeqNum);
    if (r != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending event [%d] of channel [%.16s] to [%.16s].",
              FrameworkErrno::m_fwErrno, id, channel, owner);
}

bool ReplicatedOutput::wholeMessage(const FwIntMessage& rec, const char* what, const char*& payload, uint32& len)
{
    const Data_t& d = rec.appMsg.data;
    const uint32 dataLen = std::min(d.dataLen, Data_t::MAX_DATA_LEN);
    if (singleMessage(d))
    {
        payload = d.buffer;
        len = dataLen;
        return true;
    }
    Join& j = m_joins[UInt128(rec.originatorTxt, true)];
    if (!j.buf)
        j.buf.reset(new char[m_maxMsgSize]);
    if (d.msgPartNum != j.lastPart + 1)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "Incomplete %s [%.16s] outgoing multi-part message [%d] received from [%.16s]. Expected part [%d], "
              "received part [%d]. Discard the incomplete message.",
              what, d.channelNameTxt, rec.msgSeqNum, rec.originatorTxt, j.lastPart + 1, d.msgPartNum);
        j.lastPart = -1;
        j.len = 0;
        if (d.msgPartNum != 0)
            return false;
    }
    if (j.len + dataLen > m_maxMsgSize)
    {
        fwLog(LOG_LEVEL_ERROR,
              "Outgoing multi-part message [%d] of %s [%.16s] from [%.16s] exceeds [%u] bytes. Discard it.",
              rec.msgSeqNum, what, d.channelNameTxt, rec.originatorTxt, m_maxMsgSize);
        j.lastPart = -1;
        j.len = 0;
        return false;
    }
    std::memcpy(j.buf.get() + j.len, d.buffer, dataLen);
    j.len += dataLen;
    j.lastPart = d.msgPartNum;
    if (d.more)
        return false;
    payload = j.buf.get();
    len = j.len;
    j.lastPart = -1;
    j.len = 0;
    return true;
}

// ---- TCP ----

int32 ReplicatedOutput::tcpBuffered(const TcpConnResource& res) const
{
    return res.tmpOutBufPtr != nullptr ? res.tmpOutBufPtr->availEntry() : 0;
}

bool ReplicatedOutput::isClosing(TcpConnResource& res)
{
    for (size_t i = 0; i < m_closing.size(); ++i)
    {
        if (m_closing[i].res != &res)
            continue;
        if (m_closing[i].stream == res.streamBufPtr && res.status.load(std::memory_order_acquire) == RES_CONNECTED)
            return true;
        m_closing.erase(m_closing.begin() + static_cast<std::ptrdiff_t>(i));
        return false;
    }
    return false;
}

void ReplicatedOutput::dropTcpBuffer(TcpConnResource& res)
{
    if (res.tmpOutBufPtr != nullptr)
        res.tmpOutBufPtr->reset();
    res.congested = false;
    m_tcpCongested.erase(std::remove(m_tcpCongested.begin(), m_tcpCongested.end(), &res), m_tcpCongested.end());
    // The connection is over: a later one in the same record may get a stream
    // at the same address and must not be taken for the one being closed.
    m_closing.erase(std::remove_if(m_closing.begin(), m_closing.end(), [&](const Closing& c) { return c.res == &res; }),
                    m_closing.end());
}

void ReplicatedOutput::closeTcp(TcpConnResource& res, int32 code)
{
    res.connCloseReason = code;
    dropTcpBuffer(res);
    m_closing.push_back(Closing{&res, res.streamBufPtr});
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, res.tcpConnNameTxt);
    p.resPtr = &res;
    p.paramInt32 = code;
    // The stream names this connection, not a later one in the same record.
    p.paramInt64 = reinterpret_cast<int64>(res.streamBufPtr);
    if (m_netThread == nullptr ||
        m_sender.sendEventMsg(m_netThread, MQUEUE_NORMAL, CONN_CLOSE_RQS, p, m_msgSeqNum) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] asking the network thread to close TCP channel [%.16s].",
              m_netThread == nullptr ? THREAD_NOT_ACTIVE : FrameworkErrno::m_fwErrno, res.tcpConnNameTxt);
}

bool ReplicatedOutput::appendTcp(TcpConnResource& res, const char* bytes, uint32 len, bool whileSending)
{
    if (res.tmpOutBufPtr == nullptr)
    {
        auto* sb = new StreamBuffer(&res, m_settings.tmpBufSize, LOW_LATENCY, false);
        m_ownBuffers.push_back(sb);
        res.tmpOutBufPtr = sb;
    }
    StreamBuffer& sb = *res.tmpOutBufPtr;
    int32 written = 0;
    if (sb.enqueue(bytes, static_cast<int32>(len), written, true) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR,
              "Error [%d] storing the un-sent data to the TMP buffer. Close the channel [%.16s] on socket [%d]. "
              "Current usage: [%d], Buffer size: [%d].",
              code, res.tcpConnNameTxt, res.dataSockPtr != nullptr ? res.dataSockPtr->getFdForLog() : -1,
              sb.availEntry(), m_settings.tmpBufSize);
        closeTcp(res, code);
        return false;
    }
    if (std::find(m_tcpCongested.begin(), m_tcpCongested.end(), &res) == m_tcpCongested.end())
        m_tcpCongested.push_back(&res);
    const int32 usage = sb.availEntry();
    if (usage > m_settings.tmpBufLimit && !res.congested)
    {
        res.congested = true;
        fwLog(LOG_LEVEL_NOTICE,
              "The temporary outgoing buffer usage of TCP channel [%.16s] has exceeded the threshold%s, notify "
              "MsgDispatcher to block further transmission until all buffered data are sent. Current usage: [%d], "
              "Threshold: [%d], Buffer size: [%d].",
              res.tcpConnNameTxt, whileSending ? " while sending new data" : "", usage, m_settings.tmpBufLimit,
              m_settings.tmpBufSize);
        notify(res.regParam.threadNameTxt, res.msgQueuePtr, NET_CONGEST, res.tcpConnNameTxt, TCP_RES);
    }
    return true;
}

int32 ReplicatedOutput::flushTcp(TcpConnResource& res, bool& blocked)
{
    blocked = false;
    StreamBuffer& sb = *res.tmpOutBufPtr;
    TcpDataSocket& sock = *res.dataSockPtr;
    while (sb.availEntry() > 0)
    {
        int32 n = 0;
        if (sb.peek(m_sendBuf.get(), SEND_CHUNK_SIZE, n, false) != 0)
        {
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] retrieving buffered data of channel [%.16s].",
                  FrameworkErrno::m_fwErrno, res.tcpConnNameTxt);
            return -1;
        }
        int done = 0;
        if (sock.send(m_sendBuf.get(), n, done) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (code == WOULD_BLOCK)
            {
                blocked = true;
                return 0;
            }
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending the buffered data via channel [%.16s] on socket [%d]", code,
                  res.tcpConnNameTxt, sock.getFdForLog());
            closeTcp(res, code);
            return -1;
        }
        int32 taken = 0;
        if (done > 0 && sb.dequeue(m_sendBuf.get(), done, taken, true) != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] dequeuing buffered data of channel [%.16s]", FrameworkErrno::m_fwErrno,
                  res.tcpConnNameTxt);
            return -1;
        }
    }
    return 0;
}

void ReplicatedOutput::tcpFree(TcpConnResource& res, const char* text)
{
    res.congested = false;
    fwLog(LOG_LEVEL_INFO, text, res.tcpConnNameTxt, res.dataSockPtr != nullptr ? res.dataSockPtr->getFdForLog() : -1);
    notify(res.regParam.threadNameTxt, res.msgQueuePtr, NET_FREE, res.tcpConnNameTxt, TCP_RES);
}

int32 ReplicatedOutput::sendTcpMessage(TcpConnResource& res, const char* payload, uint32 len, uint32 msgSeq)
{
    TcpDataSocket& sock = *res.dataSockPtr;
    uint32 sent = 0;
    int32 wouldBlocks = 0;
    while (sent < len)
    {
        int done = 0;
        if (sock.send(const_cast<char*>(payload) + sent, static_cast<int>(len - sent), done) == 0)
        {
            sent += static_cast<uint32>(done);
            if (done > 0)
                wouldBlocks = 0;
            continue;
        }
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code != WOULD_BLOCK)
        {
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending data via channel [%.16s] on socket [%d]", code,
                  res.tcpConnNameTxt, sock.getFdForLog());
            if (res.status.load(std::memory_order_acquire) == RES_CONNECTED)
                closeTcp(res, code);
            else
                dropTcpBuffer(res);
            return 0;
        }
        if (++wouldBlocks > TCP_WOULD_BLOCK_RETRIES)
        {
            fwLog(LOG_LEVEL_INFO,
                  "TCP channel [%.16s] on socket [%d] is congested when trying to send internal message seq# [%u].",
                  res.tcpConnNameTxt, sock.getFdForLog(), msgSeq);
            appendTcp(res, payload + sent, len - sent, true);
            return 0;
        }
        pause();
    }
    return 0;
}

int32 ReplicatedOutput::sendTcp(TcpConnResource& res, const FwIntMessage& rec)
{
    TcpDataSocket* sock = res.dataSockPtr;
    if (sock == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The TCP object pointer in the resource record [%.16s] is not set. Discard the message and continue.",
              res.tcpConnNameTxt);
        return 0;
    }
    const char* payload = nullptr;
    uint32 len = 0;
    const bool whole = wholeMessage(rec, "TCP", payload, len);
    if (res.status.load(std::memory_order_acquire) != RES_CONNECTED || (sock->getConnStatus() & CONN_STATUS_SEND_SHUT) != 0)
    {
        fwLog(LOG_LEVEL_NOTICE, "TCP channel [%.16s] is not connected for sending. Discard message [%u] from [%.16s].",
              res.tcpConnNameTxt, rec.msgSeqNum, rec.originatorTxt);
        dropTcpBuffer(res);
        return 0;
    }
    if (isClosing(res))
        return 0;
    bool blocked = false;
    if (tcpBuffered(res) > 0)
    {
        if (flushTcp(res, blocked) != 0)
            return 0;
        if (!blocked)
            tcpFree(res, "TCP channel [%.16s] on socket [%d] is free from congestion.");
    }
    if (!whole)
        return 0;
    if (blocked)
    {
        appendTcp(res, payload, len, false);
        return 0;
    }
    return sendTcpMessage(res, payload, len, rec.msgSeqNum);
}

// ---- UDP ----

int32 ReplicatedOutput::sendUdp(UdpConnResource& res, const FwIntMessage& rec)
{
    MulticastSocket* sock = res.multicastSockPtr;
    if (sock == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The UDP object pointer in the resource record [%.16s] is not set. Discard the message and continue.",
              res.udpConnNameTxt);
        return 0;
    }
    const char* payload = nullptr;
    uint32 len = 0;
    if (!wholeMessage(rec, "multicast channel", payload, len))
        return 0;
    int32 code = 0;
    for (int32 tries = 1; tries <= UDP_SEND_TRIES; ++tries)
    {
        int done = 0;
        if (sock->send(const_cast<char*>(payload), static_cast<int>(len), done) == 0)
            return 0;
        code = FrameworkErrno::m_fwErrno;
        if (code != WOULD_BLOCK)
            break;
        if (tries < UDP_SEND_TRIES)
            pause();
    }
    fwLog(LOG_LEVEL_ERROR, "Error [%d] sending message via multicast channel [%.16s].", code, res.udpConnNameTxt);
    return 0;
}

// ---- topics ----

size_t ReplicatedOutput::topicPending(const MsgTopicResource& res) const
{
    const auto it = m_topicPending.find(const_cast<MsgTopicResource*>(&res));
    return it != m_topicPending.end() ? it->second.msgs.size() : 0;
}

int32 ReplicatedOutput::publish(MsgTopicResource& res, const char* bytes, uint32 len, uint64 applSeq,
                                uint64& topicSeq)
{
    topicSeq = 0;
    if (res.status.load(std::memory_order_acquire) != RES_ACTIVE)
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    TopicPublisher* topic = std::atomic_ref<TopicPublisher*>(res.msgTopicPtr).load(std::memory_order_acquire);
    if (topic == nullptr)
        return fwFail(MSL_TOPIC_NOT_ACTIVE, -1);
    if (topic->sendMessage(bytes, len, topicSeq, applSeq, true, nullptr, 0, false) == 0)
        return 0;
    return noSubscriberCode(FrameworkErrno::m_fwErrno) ? 0 : -1;
}

bool ReplicatedOutput::resendPending(MsgTopicResource& res, TopicPending& p)
{
    while (!p.msgs.empty())
    {
        const PendingTopicMsg& m = p.msgs.front();
        uint64 seq = 0;
        if (publish(res, m.bytes.data(), static_cast<uint32>(m.bytes.size()), m.applSeq, seq) != 0)
            return false;
        p.msgs.pop_front();
    }
    return true;
}

void ReplicatedOutput::topicFree(MsgTopicResource& res, TopicPending& p)
{
    fwLog(LOG_LEVEL_INFO, "Message topic [%.16s] is free from congestion.", res.topicNameTxt);
    if (p.pastBound > 0)
        fwLog(LOG_LEVEL_NOTICE, "[%lu] messages of topic [%.16s] waited past its history size.",
              static_cast<unsigned long>(p.pastBound), res.topicNameTxt);
    res.congested = false;
    notify(res.regParam.threadNameTxt, res.msgQueuePtr, NET_FREE, res.topicNameTxt, TOPIC_RES);
}

void ReplicatedOutput::holdTopicMsg(MsgTopicResource& res, const char* bytes, uint32 len, uint64 applSeq)
{
    TopicPending& p = m_topicPending[&res];
    const int32 history = res.regParam.historyBufSize;
    const size_t cap = static_cast<size_t>(history > 0 ? history : DEFAULT_TOPIC_PENDING_CAP);
    if (p.msgs.size() >= cap)
    {
        // Sent before the topic was congested and its sends refused: kept,
        // never dropped. What can still come is what the replicator holds.
        if (p.pastBound++ == 0)
            fwLog(LOG_LEVEL_NOTICE,
                  "The pending list of topic [%.16s] passed its history size ([%zu] messages) with messages sent "
                  "before the topic was congested. Keep them.",
                  res.topicNameTxt, cap);
        ++m_topicPastBound;
    }
    p.msgs.push_back(PendingTopicMsg{std::string(bytes, len), applSeq});
    if (!res.congested && p.msgs.size() > cap / 2)
    {
        res.congested = true;
        fwLog(LOG_LEVEL_NOTICE, "Message topic [%.16s] holds [%zu] pending messages: sends are held until it drains.",
              res.topicNameTxt, p.msgs.size());
    }
}

int32 ReplicatedOutput::sendTopic(MsgTopicResource& res, const FwIntMessage& rec, uint64& topicSeq)
{
    topicSeq = 0;
    const char* payload = nullptr;
    uint32 len = 0;
    const bool whole = wholeMessage(rec, "topic", payload, len);
    auto it = m_topicPending.find(&res);
    if (it != m_topicPending.end())
    {
        fwLog(LOG_LEVEL_DEBUG, "Resend buffered messages of topic [%.16s] in processOutgoingTopicMsg().",
              res.topicNameTxt);
        if (!resendPending(res, it->second))
        {
            if (whole)
                holdTopicMsg(res, payload, len, rec.appMsg.data.applMsgSeq);
            return 0;
        }
        topicFree(res, it->second);
        m_topicPending.erase(it);
    }
    if (!whole)
        return 0;
    if (publish(res, payload, len, rec.appMsg.data.applMsgSeq, topicSeq) == 0)
        return 0;
    const int32 code = FrameworkErrno::m_fwErrno;
    topicSeq = 0;
    holdTopicMsg(res, payload, len, rec.appMsg.data.applMsgSeq);
    if (code == WOULD_BLOCK)
    {
        fwLog(LOG_LEVEL_INFO, "Message topic [%.16s] is congested when trying to send internal message seq# [%u].",
              res.topicNameTxt, rec.msgSeqNum);
        notify(res.regParam.threadNameTxt, res.msgQueuePtr, NET_CONGEST, res.topicNameTxt, TOPIC_RES);
    }
    else
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending message of topic [%.16s]: it waits for a resend.", code,
              res.topicNameTxt);
    return 0;
}

// ---- timer ----

void ReplicatedOutput::flushBuffered()
{
    for (size_t i = 0; i < m_tcpCongested.size();)
    {
        TcpConnResource& res = *m_tcpCongested[i];
        if (res.status.load(std::memory_order_acquire) != RES_CONNECTED || res.dataSockPtr == nullptr ||
            isClosing(res))
        {
            if (res.tmpOutBufPtr != nullptr)
                res.tmpOutBufPtr->reset();
            m_tcpCongested.erase(m_tcpCongested.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        if (tcpBuffered(res) > 0)
        {
            bool blocked = false;
            const int32 r = flushTcp(res, blocked);
            if (r == 0 && blocked)
            {
                ++i;
                continue;
            }
            if (r != 0 && tcpBuffered(res) > 0)
            {
                ++i; // peek or dequeue failed: tried again at the next tick
                continue;
            }
            tcpFree(res, "All buffered data of TCP channel [%.16s] on socket [%d] are sent.");
        }
        // closeTcp may have removed it already.
        const auto at = std::find(m_tcpCongested.begin(), m_tcpCongested.end(), &res);
        if (at != m_tcpCongested.end())
            m_tcpCongested.erase(at);
    }
    for (auto it = m_topicPending.begin(); it != m_topicPending.end();)
    {
        MsgTopicResource& res = *it->first;
        if (res.status.load(std::memory_order_acquire) != RES_ACTIVE)
        {
            ++it;
            continue;
        }
        fwLog(LOG_LEVEL_DEBUG, "Resend buffered messages of topic [%.16s] in processBufferedTopicMsg().",
              res.topicNameTxt);
        if (!resendPending(res, it->second))
        {
            ++it;
            continue;
        }
        topicFree(res, it->second);
        it = m_topicPending.erase(it);
    }
}
