#include "FendralCore/messaging/ReplicationDelivery.h"

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/PeerLogLimit.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace
{
void copyName(ResourceName& to, const char* from)
{
    ResourceManager::copyResourceName(to, from);
}

template <typename Res>
void fillTargets(Res& res, ReplicationDelivery::Channel& c)
{
    copyName(c.owner, res.regParam.threadNameTxt);
    c.queueType = !res.usePipeline && res.regParam.channelType == PRIORITY_CHANNEL ? MQUEUE_HIGH_PRIORITY
                                                                                   : MQUEUE_NORMAL;
    c.queue = res.msgQueuePtr;
    c.altQueue = res.altMsgQueuePtr;
    c.store = res.tmpMsgStorePtr;
    c.usePipeline = res.usePipeline;
    c.pipeline = res.pipelinePtr;
    copyName(c.pipelineName, res.regParam.pipelineNameTxt);
    c.plStore = res.tmpPlMsgStorePtr;
    c.resPtr = &res;
}
} // namespace

void ReplicationDelivery::channelOf(TcpConnResource& res, Channel& c)
{
    c = Channel{};
    c.chnType = TCP_CHANNEL;
    copyName(c.name, res.tcpConnNameTxt);
    fillTargets(res, c);
    c.tcp = true;
    c.journalFlag = res.regParam.msgJournalEnabled ? 1 : 0;
}

void ReplicationDelivery::channelOf(UdpConnResource& res, Channel& c)
{
    c = Channel{};
    c.chnType = UDP_CHANNEL;
    copyName(c.name, res.udpConnNameTxt);
    fillTargets(res, c);
}

void ReplicationDelivery::channelOf(MsgTopicResource& res, Channel& c)
{
    c = Channel{};
    c.chnType = MSG_TOPIC_CHANNEL;
    copyName(c.name, res.topicNameTxt);
    fillTargets(res, c);
}

ReplicationDelivery::ReplicationDelivery(EventMessage& sender, ResourceManager& resMgr, uint32& msgSeqNum,
                                         uint32 maxMsgSize)
    : m_sender(sender),
      m_resMgr(resMgr),
      m_msgSeqNum(msgSeqNum),
      m_maxMsgSize(maxMsgSize),
      m_fwd(sender, resMgr, MSG_REPLI_MSG_LIST, msgSeqNum, maxMsgSize)
{
}

ReplicationDelivery::~ReplicationDelivery() = default;

EventParam ReplicationDelivery::congestParam(const Channel& c) const
{
    EventParam p{};
    copyName(p.resNameTxt, c.name);
    return p;
}

void ReplicationDelivery::joinLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fwPeerLogV(m_peerLog, LOG_LEVEL_WARNING, format, args);
    va_end(args);
}

bool ReplicationDelivery::drain(const Channel& c)
{
    if (c.usePipeline)
        return m_fwd.flushPipeline(c.pipeline, c.plStore);
    ForwardTarget t;
    t.queueType = c.queueType;
    t.queue = c.queue;
    t.altQueue = c.altQueue;
    t.store = c.store;
    copyName(t.recipient, c.owner);
    return m_fwd.flushQueue(t);
}

int32 ReplicationDelivery::deliverData(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag,
                                       const char* originator, MsgForwarder::Outcome& outcome)
{
    outcome = MsgForwarder::FWD_PUT;
    if (msg.appMsg.type != MSG_DATA || msg.appMsg.data.dataLen > Data_t::MAX_DATA_LEN)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (c.usePipeline)
        return deliverViaPipeline(c, msg, flag, originator, outcome);
    return deliverViaQueue(c, msg, flag, originator, outcome);
}

int32 ReplicationDelivery::deliverViaQueue(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag,
                                           const char* originator, MsgForwarder::Outcome& outcome)
{
    ForwardTarget t;
    t.queueType = c.queueType;
    t.queue = c.queue;
    t.altQueue = c.altQueue;
    t.store = c.store;
    copyName(t.recipient, c.owner);
    bool parked = m_fwd.flushQueue(t);

    FwIntMessage& m = m_tmpDataMsg;
    std::memcpy(&m, &msg, msg.usedSize());
    m.msgSeqNum = ++m_msgSeqNum;
    if (originator != nullptr)
        copyName(m.originatorTxt, originator);
    copyName(m.recipientTxt, c.owner);
    Data_t& d = m.appMsg.data;
    d.replicationFlag = flag;
    d.fdPtr = c.resPtr;
    if (c.tcp)
        d.peerAppSiteId = c.journalFlag;
    // The helper logs a full queue itself.
    const int32 r = m_fwd.put(t, m, parked, congestParam(c), outcome);
    if (r != 0)
        fwLog(LOG_LEVEL_WARNING, "Error [%d] forwarding channel [%s] message to [%s].", FrameworkErrno::m_fwErrno,
              c.name, c.owner);
    return r;
}

void ReplicationDelivery::fillHeader(PipelineMsgHeader& h, const Channel& c, const FwIntMessage& msg,
                                     ReplicationFlag flag, const char* originator, uint32 dataLen) const
{
    h = PipelineMsgHeader{};
    copyName(h.originatorTxt, originator != nullptr ? originator : msg.originatorTxt);
    copyName(h.recipientTxt, c.owner);
    h.type = MSG_DATA;
    copyName(h.channelNameTxt, c.name);
    h.chnType = c.chnType;
    h.replicationFlag = flag;
    h.msgTopicSeq = 0;
    h.peerIpAddr = msg.appMsg.data.peerIpAddr;
    h.peerAppInstId = 0;
    h.peerAppSiteId = c.tcp ? c.journalFlag : 0;
    h.fdPtr = c.resPtr;
    h.dataDir = msg.appMsg.data.dataDir;
    h.dataLen = dataLen;
    h.tm = msg.tm;
    h.outTm = msg.outTm;
}

int32 ReplicationDelivery::deliverViaPipeline(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag,
                                              const char* originator, MsgForwarder::Outcome& outcome)
{
    if (c.pipeline == nullptr)
        return fwFail(RES_PL_NOT_EXIST, -1);
    const Data_t& d = msg.appMsg.data;
    const char* payload = d.buffer;
    uint32 len = d.dataLen;
    Join* join = nullptr;
    if (d.msgPartNum != 0 || d.more)
    {
        const char* from = originator != nullptr ? originator : msg.originatorTxt;
        ResourceName fromName{};
        copyName(fromName, from);
        const JoinKey key{UInt128(fromName, true), UInt128(c.name, true)};
        auto it = m_joins.find(key);
        if (it == m_joins.end())
        {
            if (m_joins.size() >= MAX_JOINS)
            {
                // Idle joins make room; only as many partial messages as the
                // cap allows are held at once.
                for (auto i = m_joins.begin(); i != m_joins.end();)
                    i = i->second.lastPartNum < 0 ? m_joins.erase(i) : std::next(i);
                if (m_joins.size() >= MAX_JOINS)
                {
                    joinLog("Too many partial multi-part messages in progress: part [%d] of channel [%s] from [%s] "
                            "discarded.",
                            d.msgPartNum, c.name, MslPeerText(fromName).c_str());
                    return fwFail(NOT_ENOUGH_EMPTY_ENTRY, -1);
                }
            }
            it = m_joins.emplace(key, Join{}).first;
            it->second.buf.reset(new char[m_maxMsgSize]);
        }
        join = &it->second;
        if (d.msgPartNum != join->lastPartNum + 1)
        {
            joinLog("Incomplete incoming multi-part message encountered. Expected part [%d], received part [%d]. "
                    "Discard the incomplete message.",
                    join->lastPartNum + 1, d.msgPartNum);
            join->lastPartNum = -1;
            join->len = 0;
            if (d.msgPartNum != 0)
                return 0;
        }
        if (uint64{join->len} + len > m_maxMsgSize)
        {
            joinLog("Multi-part message of channel [%s] from [%s] longer than [%u] bytes. Discard the message.",
                    c.name, MslPeerText(fromName).c_str(), m_maxMsgSize);
            join->lastPartNum = -1;
            join->len = 0;
            return fwFail(MSG_TOO_LARGE, -1);
        }
        std::memcpy(join->buf.get() + join->len, payload, len);
        join->len += len;
        join->lastPartNum = d.msgPartNum;
        if (d.more)
            return 0;
        payload = join->buf.get();
        len = join->len;
        join->lastPartNum = -1;
        join->len = 0;
    }
    bool parked = m_fwd.flushPipeline(c.pipeline, c.plStore);
    fillHeader(m_plHdr, c, msg, flag, originator, len);
    const int32 r = m_fwd.enqueue(c.pipeline, c.plStore, c.pipelineName, m_plHdr, payload, parked, c.owner, c.queue,
                                  congestParam(c), outcome);
    if (r != 0)
        fwLog(LOG_LEVEL_WARNING, "Error [%d] forwarding message via pipeline.", FrameworkErrno::m_fwErrno);
    else if (outcome == MsgForwarder::FWD_CONGESTED)
        fwLog(LOG_LEVEL_WARNING, "Unable to forward message due to pipeline full. Schedule retry at next timer event.");
    return r;
}

int32 ReplicationDelivery::deliverEvent(const Channel& c, const FwIntMessage& msg, ReplicationFlag flag)
{
    if (msg.appMsg.type != MSG_EVENT)
        return fwFail(INVALID_FUNC_ARG, -1);
    const EventMsg& e = msg.appMsg.event;
    EventParam p = e.eventParam;
    p.resHandlePtr = nullptr;
    p.resPtr = c.resPtr;
    bool parked = false;
    int32 r = 0;
    if (c.usePipeline)
    {
        r = m_sender.sendEvtMsgViaPipeline(c.owner, c.pipeline, static_cast<FwEventID>(e.id), p, m_msgSeqNum,
                                           c.plStore, MSG_REPLI_MSG_LIST, &parked, flag);
        if (r == 0 && parked)
            m_fwd.registerUnsentPl(c.pipelineName, c.plStore);
    }
    else
    {
        r = m_sender.sendEventMsg(c.owner, c.queue, static_cast<FwEventID>(e.id), p, m_msgSeqNum, c.store,
                                  MSG_REPLI_MSG_LIST, &parked, flag);
        if (r == 0 && parked)
            m_fwd.registerUnsent(c.owner, c.store);
    }
    if (r != 0)
        fwLog(LOG_LEVEL_WARNING, "Error [%d] forwarding event [%d] of channel [%s] to [%s].",
              FrameworkErrno::m_fwErrno, e.id, c.name, c.owner);
    return r;
}

int32 ReplicationDelivery::forwardCopy(ThreadResource& fwd, const Channel& c, const FwIntMessage& msg,
                                       bool recipientIsFwd)
{
    ForwardTarget t;
    t.queueType = c.queueType;
    t.queue = fwd.msgQueuePtrArray[c.queueType];
    t.altQueue = fwd.msgQueuePtrArray[c.queueType == MQUEUE_NORMAL ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL];
    t.store = fwd.tmpMsgStorePtr;
    copyName(t.recipient, fwd.threadNameTxt);
    bool parked = m_fwd.flushQueue(t);

    FwIntMessage& m = m_forwardMsg;
    std::memcpy(&m, &msg, msg.usedSize());
    m.msgSeqNum = ++m_msgSeqNum;
    copyName(m.originatorTxt, c.owner);
    if (recipientIsFwd)
        copyName(m.recipientTxt, fwd.threadNameTxt);
    Data_t& d = m.appMsg.data;
    d.fdPtr = nullptr;
    d.peerAppInstId = 0;
    if (c.tcp)
        d.peerAppSiteId = 0;
    MsgForwarder::Outcome outcome{};
    const int32 r = m_fwd.put(t, m, parked, congestParam(c), outcome);
    if (r != 0)
        fwLog(LOG_LEVEL_WARNING, "Error [%d] forwarding channel [%s] replicated message to [%s].",
              FrameworkErrno::m_fwErrno, c.name, fwd.threadNameTxt);
    return r;
}

int32 ReplicationDelivery::retry()
{
    MsgForwarder::WakeBatch batch(m_fwd);
    return m_fwd.retry();
}
