// MessagingTopic: construction, where received messages and events go, and
// the publisher's bookkeeping of its subscribers.
#include "FendralCore/messaging/MessagingTopic.h"

#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

namespace
{
constexpr int32 THREAD_LOCK_WAIT_US = 1000000;

bool isReplicatedInput(ReplicationMode mode)
{
    return mode == INPUT_REPLICATION || mode == INPUT_OUTPUT_REPLICATION;
}

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
} // namespace

MessagingTopic::MessagingTopic(MessagingCommon& common, EventMessage& events, TopicRecord* topicRec,
                               MslSocket* dataChannel, MslSocket* ackChannel, in_addr_t interfaceAddr,
                               bool replicationTopic)
    : m_common(common),
      m_events(events),
      m_settings(common.settings()),
      m_repliTopic(replicationTopic),
      m_interfaceAddr(interfaceAddr),
      m_topicRecPtr(topicRec),
      m_dataChannelPtr(dataChannel),
      m_ackChannelPtr(ackChannel),
      m_topicResPtr(topicRec->topicResPtr)
{
    std::memcpy(m_topicNameTxt, topicRec->topicNameTxt, sizeof(ResourceName));
    m_waitForDrSiteAck = m_topicResPtr->regParam.waitForDrSiteAck;
    m_waitForMrmAck = m_topicResPtr->regParam.waitForMrmAck;
    topicRec->lastMsgSeq.store(m_topicResPtr->lastMsgSeqNum, std::memory_order_relaxed);
    initialize();
}

MessagingTopic::MessagingTopic(MessagingCommon& common, EventMessage& events, SubscriptionRecord* subRec,
                               MslSocket* dataChannel, MslSocket* ackChannel, in_addr_t interfaceAddr,
                               bool replicationTopic)
    : m_common(common),
      m_events(events),
      m_settings(common.settings()),
      m_repliTopic(replicationTopic),
      m_interfaceAddr(interfaceAddr),
      m_subRecPtr(subRec),
      m_dataChannelPtr(dataChannel),
      m_ackChannelPtr(ackChannel),
      m_topicResPtr(subRec->topicResPtr)
{
    std::memcpy(m_topicNameTxt, subRec->topicNameTxt, sizeof(ResourceName));
    const uint64 start = std::max(m_topicResPtr->lastMsgSeqNum, m_topicResPtr->regParam.startingSeqNum);
    subRec->lastAcptMsgSeq = start;
    subRec->initialMsgSeqNum = start;
    subRec->highestMsgSeqRcvd = start;
    if (m_common.replicatorThread() != nullptr && replicationTopic)
    {
        // A replicated outgoing message is joined per application thread.
        // The table's walk keeps one cursor: other threads walk it too (the
        // control thread's checks), so only under its lock.
        ResourceManager& reg = m_common.registry();
        const bool locked = reg.lockThreadRes(THREAD_LOCK_WAIT_US) == 0;
        if (!locked)
            fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for the thread resource lock, proceed anyway.");
        ResourceName name{};
        ThreadResource* thr = nullptr;
        for (int32 w = reg.getThreadFirstRes(name, &thr); w == 0; w = reg.getThreadNextRes(name, &thr))
        {
            if (thr == nullptr || !thr->appThread)
                continue;
            LargeMsgBuffer& buf = m_largeMsgRepository[UInt128(thr->threadNameTxt, true)];
            buf.bufSize = m_common.globalData().m_maxMsgSize;
            buf.bufPtr.reset(new char[buf.bufSize]);
        }
        if (locked)
            reg.unlockThreadRes();
    }
    initialize();
}

MessagingTopic::~MessagingTopic() = default;

void MessagingTopic::initialize()
{
    GlobalData& gd = m_common.globalData();
    const MsgTopicParam& reg = m_topicResPtr->regParam;
    m_openType = reg.openType;
    m_mrmApplication = gd.m_mrmApplication;

    m_tmpMsgBufSize = gd.m_maxMsgSize;
    m_tmpMsgBufPtr.reset(new char[m_tmpMsgBufSize + PL_HDR_SIZE]);
    m_tmpMsgBodyPtr = m_tmpMsgBufPtr.get() + PL_HDR_SIZE;

    auto identify = [&](TopicMsgHeader& h, uint32 cmd) {
        h = TopicMsgHeader{};
        h.cmdType = cmd;
        std::memcpy(h.senderAppIdTxt, m_common.appIdTxt(), sizeof(ApplicationID));
        h.senderInstId = m_common.appInstId();
        h.senderSiteId = m_common.siteId();
    };
    identify(m_tmpTopicMsg.hdr, TOPIC_MSG);
    std::memcpy(m_tmpTopicMsg.dataMsg.topicNameTxt, m_topicNameTxt, sizeof(ResourceName));
    identify(m_tmpTopicMsgAck.hdr, TOPIC_MSG_ACK);
    m_tmpTopicMsgAck.hdr.bodyLen = TopicWire::ACK_BODY;
    std::memcpy(m_tmpTopicMsgAck.topicNameTxt, m_topicNameTxt, sizeof(ResourceName));
    identify(m_tmpTopicHeartbeat.hdr, TOPIC_HEARTBEAT);
    m_tmpTopicHeartbeat.hdr.bodyLen = TopicWire::HEARTBEAT_BODY;
    std::memcpy(m_tmpTopicHeartbeat.heartbeat.topicNameTxt, m_topicNameTxt, sizeof(ResourceName));
    identify(m_tmpTopicHeartbeatAck.hdr, TOPIC_HEARTBEAT_ACK);
    m_tmpTopicHeartbeatAck.hdr.bodyLen = TopicWire::ACK_BODY;
    std::memcpy(m_tmpTopicHeartbeatAck.topicNameTxt, m_topicNameTxt, sizeof(ResourceName));
    if (m_mrmApplication)
    {
        m_tmpTopicMsgAck.msgFlags = TopicDataMsgAck::MRM_APPLICATION_FLAG;
        m_tmpTopicHeartbeatAck.msgFlags = TopicDataMsgAck::MRM_APPLICATION_FLAG;
    }

    FwIntMessage& m = m_dataMsg;
    std::memcpy(m.originatorTxt, m_common.serviceThread()->threadNameTxt, sizeof(ResourceName));
    m.appMsg.type = MSG_DATA;
    Data_t& d = m.appMsg.data;
    std::memcpy(d.channelNameTxt, m_topicNameTxt, sizeof(ResourceName));
    d.chnType = MSG_TOPIC_CHANNEL;
    d.dataDir = INCOMING_DATA;
    d.fdPtr = m_topicResPtr;
    std::memcpy(m_congestParam.resNameTxt, m_topicNameTxt, sizeof(ResourceName));

    initDelivery();

    const uint32 history = static_cast<uint32>(std::max(reg.historyBufSize, 1));
    m_bufferPtr = std::make_unique<TopicRing>(history, false, LOW_LATENCY);
    const bool special = m_topicResPtr->recoveryRqsTopic || m_topicResPtr->mrmTopic;
    if (isPublisher())
    {
        m_numUnackMsgMax = std::max<uint32>(reg.numUnackMsgMax, 1);
        m_outstandingMsgMax = std::max<uint32>(reg.outstandingMsgMax, 1);
        if (!special)
            m_multipartMsgPtr = std::make_unique<TopicRing>(MULTIPART_STAGING_MAX, false, LOW_LATENCY);
    }
    else
    {
        m_numUnackMsgMax = std::max<uint32>(m_settings.unackMsgMax, 1);
        m_outstandingMsgMax = std::max<uint32>(reg.outstandingMsgMax, 1);
        if (!special && reg.msgBufSizeInRecovery > 0)
        {
            m_bufMsgInRcvySize = reg.msgBufSizeInRecovery;
            m_bufMsgInRcvyPtr = std::make_unique<TopicRing>(m_bufMsgInRcvySize, false, LOW_LATENCY);
            fwLog(LOG_LEVEL_INFO, "Topic [%.16s] created with message buffer size in recovery [%u].", m_topicNameTxt,
                  m_bufMsgInRcvySize);
        }
    }

    // Application threads find the topic from here on.
    std::atomic_ref<TopicPublisher*>(m_topicResPtr->msgTopicPtr).store(this, std::memory_order_release);
    m_topicResPtr->status.store(RES_ACTIVE, std::memory_order_release);
}

void MessagingTopic::initDelivery()
{
    const MsgTopicParam& reg = m_topicResPtr->regParam;
    const bool priority = reg.channelType == PRIORITY_CHANNEL;
    const bool active = m_common.globalData().m_appMode.load(std::memory_order_acquire) == ACTIVE_MODE;
    ThreadResource* replicator = m_common.replicatorThread();
    m_toMsgRepli = replicator != nullptr &&
                   ((active && isReplicatedInput(reg.replicationMode)) ||
                    (!active && reg.replicationMode != NO_REPLICATION));
    m_target = ForwardTarget{};
    m_target.queueType = priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL;
    if (m_toMsgRepli)
    {
        m_recipientThread = replicator;
        m_target.queue = replicator->msgQueuePtrArray[m_target.queueType];
        m_target.altQueue = replicator->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
        m_target.store = m_common.replicatorStore();
        std::memcpy(m_target.recipient, replicator->threadNameTxt, sizeof(ResourceName));
    }
    else
    {
        ThreadResource* owner = nullptr;
        if (m_common.registry().getThreadRes(reg.threadNameTxt, &owner) == 0)
            m_recipientThread = owner;
        m_target.queue = m_topicResPtr->msgQueuePtr;
        m_target.altQueue = m_topicResPtr->altMsgQueuePtr;
        if (m_target.queue == nullptr && owner != nullptr)
        {
            m_target.queue = owner->msgQueuePtrArray[m_target.queueType];
            m_target.altQueue = owner->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
        }
        m_target.store = m_topicResPtr->tmpMsgStorePtr;
        std::memcpy(m_target.recipient, reg.threadNameTxt, sizeof(ResourceName));
    }
    m_toPipeline = m_topicResPtr->usePipeline && !m_toMsgRepli;
    std::memcpy(m_dataMsg.recipientTxt, m_target.recipient, sizeof(ResourceName));
}

bool MessagingTopic::isPublishReady() const
{
    return m_topicRecPtr != nullptr && m_topicRecPtr->publishReady.load(std::memory_order_acquire);
}

uint64 MessagingTopic::getLastSeqNum() const
{
    if (m_topicRecPtr != nullptr)
        return m_topicRecPtr->lastMsgSeq.load(std::memory_order_relaxed);
    return m_subRecPtr != nullptr ? m_subRecPtr->lastAcptMsgSeq : 0;
}

bool MessagingTopic::isMsgQueueCongested() const
{
    if (m_toPipeline)
        return m_topicResPtr->tmpPlMsgStorePtr != nullptr &&
               m_topicResPtr->tmpPlMsgStorePtr->isMsgAvail(MSG_SERVICE_MSG_LIST);
    return m_target.store != nullptr && m_target.store->isMsgAvail(MSG_SERVICE_MSG_LIST, m_target.queueType);
}

void MessagingTopic::setNumUnackMsgMax(uint32 n)
{
    if (m_subRecPtr != nullptr && n > 0)
        m_numUnackMsgMax = n;
}

int32 MessagingTopic::historyLastIdx() const
{
    if (m_topicRecPtr != nullptr)
        return m_topicRecPtr->lastMsgBufIdx;
    return m_subRecPtr != nullptr ? m_subRecPtr->lastMsgBufIdx : -1;
}

int32 MessagingTopic::sendTopicEventMsg(FwEventID eventId, EventParam& para)
{
    const MsgTopicParam& reg = m_topicResPtr->regParam;
    uint32& seq = m_common.msgSeqNum();
    bool parked = false;
    ThreadResource* replicator = m_common.replicatorThread();
    if (replicator != nullptr && reg.replicationMode != NO_REPLICATION)
    {
        const MessageQueueType q = reg.channelType == PRIORITY_CHANNEL ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL;
        const int32 r = m_events.sendEventMsg(replicator, q, eventId, para, seq, m_common.replicatorStore(),
                                              MSG_SERVICE_MSG_LIST, &parked);
        if (parked)
            m_common.forwarder().registerUnsent(replicator->threadNameTxt, m_common.replicatorStore());
        return r;
    }
    if (m_topicResPtr->usePipeline && m_topicResPtr->pipelinePtr != nullptr)
    {
        const int32 r = m_events.sendEvtMsgViaPipeline(reg.threadNameTxt, m_topicResPtr->pipelinePtr, eventId, para,
                                                       seq, m_topicResPtr->tmpPlMsgStorePtr, MSG_SERVICE_MSG_LIST,
                                                       &parked);
        if (parked)
            m_common.forwarder().registerUnsentPl(reg.pipelineNameTxt, m_topicResPtr->tmpPlMsgStorePtr);
        return r;
    }
    if (m_recipientThread == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, -1);
    FwMessageQueue* queue = m_topicResPtr->msgQueuePtr != nullptr
                                ? m_topicResPtr->msgQueuePtr
                                : m_recipientThread->msgQueuePtrArray[MQUEUE_NORMAL];
    // The replicator stops taking data while its standby has not acknowledged
    // it; the events of the replication topic it publishes (a silent standby
    // dropped) must not wait behind that data.
    if (m_topicResPtr->replicationTopic && isPublisher() &&
        m_recipientThread->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] != nullptr)
        queue = m_recipientThread->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    // Behind the data already parked for that queue, so the order holds.
    const int32 r = m_events.sendEventMsg(m_recipientThread, queue, eventId, para, seq, m_topicResPtr->tmpMsgStorePtr,
                                          MSG_SERVICE_MSG_LIST, &parked);
    if (parked)
        m_common.forwarder().registerUnsent(m_recipientThread->threadNameTxt, m_topicResPtr->tmpMsgStorePtr);
    return r;
}

int32 MessagingTopic::sendSubscriberStatusEvt(FwEventID eventId, EventParam& para)
{
    const bool forReplicator = m_topicResPtr->replicationTopic || m_topicResPtr->regParam.openType == APPL_REPLICATE;
    if (!forReplicator && !m_settings.subStatusEvt)
        return 0;
    return sendTopicEventMsg(eventId, para);
}

// ---- the publisher's subscribers ----

int32 MessagingTopic::addSub(std::map<std::pair<uint64, uint64>, SubAckRecord>& map, const SubInfo& info,
                             uint64 lastSeq)
{
    if (m_topicRecPtr == nullptr)
        return 0;
    const auto [it, inserted] =
        map.try_emplace(info.key(), SubAckRecord{info, m_common.clock().monoNs(), lastSeq, false, false});
    return inserted ? 1 : 0;
}

int32 MessagingTopic::addSubscriberInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr, bool mrmAppl,
                                        uint64 lastSeqNum)
{
    const SubInfo info{subAppId, ipAddr, static_cast<uint16>(instId), static_cast<uint8>(siteId),
                       static_cast<uint8>(mrmAppl ? 1 : 0)};
    return addSub(m_subAckMap, info, lastSeqNum);
}

int32 MessagingTopic::addPassiveSubInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr, bool mrmAppl)
{
    const SubInfo info{subAppId, ipAddr, static_cast<uint16>(instId), static_cast<uint8>(siteId),
                       static_cast<uint8>(mrmAppl ? 1 : 0)};
    return addSub(m_passiveSubMap, info, 0);
}

int32 MessagingTopic::removeSubscriberInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr,
                                           bool mrmAppl)
{
    if (m_topicRecPtr == nullptr)
        return 0;
    const SubInfo info{subAppId, ipAddr, static_cast<uint16>(instId), static_cast<uint8>(siteId),
                       static_cast<uint8>(mrmAppl ? 1 : 0)};
    const auto it = m_subAckMap.find(info.key());
    if (it == m_subAckMap.end())
        return 0;
    if (it->second.subscriberReady)
        loseEffective(it->second.info);
    m_subAckMap.erase(it);
    updateWindowPositions(m_common.clock().monoNs());
    return 1;
}

int32 MessagingTopic::removePassiveSubInfo(uint64 subAppId, int32 instId, int32 siteId, in_addr_t ipAddr,
                                           bool mrmAppl)
{
    if (m_topicRecPtr == nullptr)
        return 0;
    const SubInfo info{subAppId, ipAddr, static_cast<uint16>(instId), static_cast<uint8>(siteId),
                       static_cast<uint8>(mrmAppl ? 1 : 0)};
    return m_passiveSubMap.erase(info.key()) != 0 ? 1 : 0;
}

int32 MessagingTopic::retrievePassiveSubInfo(int32 siteId, bool mrmAppl, SubInfo& out)
{
    for (auto it = m_passiveSubMap.begin(); it != m_passiveSubMap.end(); ++it)
    {
        const SubInfo& info = it->second.info;
        if (info.siteId == siteId && (info.mrmInd != 0) == mrmAppl)
        {
            out = info;
            m_passiveSubMap.erase(it);
            return 1;
        }
    }
    return 0;
}

void MessagingTopic::becomeEffective(const SubInfo& who, bool remote)
{
    TopicRecord& rec = *m_topicRecPtr;
    rec.numEffectiveSub.fetch_add(1, std::memory_order_relaxed);
    const bool mrm = who.mrmInd != 0;
    const bool dr = who.siteId == DR_SITE;
    if (mrm)
        rec.numEffectiveMrmSub.fetch_add(1, std::memory_order_relaxed);
    if (remote)
    {
        rec.numRemoteSub.fetch_add(1, std::memory_order_relaxed);
        if (mrm)
            rec.numRemoteMrmSub.fetch_add(1, std::memory_order_relaxed);
    }
    if (dr)
    {
        rec.numDrSiteSub.fetch_add(1, std::memory_order_relaxed);
        if (mrm)
            rec.numDrSiteMrmSub.fetch_add(1, std::memory_order_relaxed);
    }
    if (m_settings.subStatusEvt)
    {
        EventParam p{};
        std::memcpy(p.resNameTxt, m_topicNameTxt, sizeof(ResourceName));
        std::memcpy(p.appIdTxt, &who.appId, sizeof(who.appId));
        p.paramInt16 = who.siteId;
        p.paramInt64 = who.instId;
        p.resPtr = m_topicResPtr;
        sendTopicEventMsg(ACTIVE_SUBSCRIBER_JOINED, p);
    }
}

void MessagingTopic::loseEffective(const SubInfo& who)
{
    TopicRecord& rec = *m_topicRecPtr;
    auto dec = [](std::atomic<int32>& n) {
        if (n.load(std::memory_order_relaxed) > 0)
            n.fetch_sub(1, std::memory_order_relaxed);
    };
    const bool mrm = who.mrmInd != 0;
    const bool remote = who.ipAddr != m_interfaceAddr;
    dec(rec.numEffectiveSub);
    if (mrm)
        dec(rec.numEffectiveMrmSub);
    if (remote)
    {
        dec(rec.numRemoteSub);
        if (mrm)
            dec(rec.numRemoteMrmSub);
    }
    if (who.siteId == DR_SITE)
    {
        dec(rec.numDrSiteSub);
        if (mrm)
            dec(rec.numDrSiteMrmSub);
    }
    if (m_settings.subStatusEvt)
    {
        EventParam p{};
        std::memcpy(p.resNameTxt, m_topicNameTxt, sizeof(ResourceName));
        std::memcpy(p.appIdTxt, &who.appId, sizeof(who.appId));
        p.paramInt16 = who.siteId;
        p.paramInt64 = who.instId;
        p.resPtr = m_topicResPtr;
        sendTopicEventMsg(ACTIVE_SUBSCRIBER_LEFT, p);
    }
}

void MessagingTopic::removeDrSubscriberInfo()
{
    if (m_topicRecPtr == nullptr)
        return;
    for (auto it = m_subAckMap.begin(); it != m_subAckMap.end();)
    {
        if (it->second.info.siteId != DR_SITE)
        {
            ++it;
            continue;
        }
        if (it->second.subscriberReady)
            loseEffective(it->second.info);
        it = m_subAckMap.erase(it);
    }
    m_topicRecPtr->numDrSiteSub.store(0, std::memory_order_relaxed);
    m_topicRecPtr->numDrSiteMrmSub.store(0, std::memory_order_relaxed);
    updateWindowPositions(m_common.clock().monoNs());
}

void MessagingTopic::removeMrmSubscriberInfo()
{
    if (m_topicRecPtr == nullptr)
        return;
    for (auto it = m_subAckMap.begin(); it != m_subAckMap.end();)
    {
        if (it->second.info.mrmInd == 0)
        {
            ++it;
            continue;
        }
        if (it->second.subscriberReady)
            loseEffective(it->second.info);
        it = m_subAckMap.erase(it);
    }
    m_topicRecPtr->numEffectiveMrmSub.store(0, std::memory_order_relaxed);
    m_topicRecPtr->numRemoteMrmSub.store(0, std::memory_order_relaxed);
    m_topicRecPtr->numDrSiteMrmSub.store(0, std::memory_order_relaxed);
    updateWindowPositions(m_common.clock().monoNs());
}

void MessagingTopic::removeDrMrmSubscriberInfo()
{
    if (m_topicRecPtr == nullptr)
        return;
    for (auto it = m_subAckMap.begin(); it != m_subAckMap.end();)
    {
        if (it->second.info.mrmInd == 0 || it->second.info.siteId != DR_SITE)
        {
            ++it;
            continue;
        }
        if (it->second.subscriberReady)
            loseEffective(it->second.info);
        it = m_subAckMap.erase(it);
    }
    m_topicRecPtr->numDrSiteMrmSub.store(0, std::memory_order_relaxed);
    updateWindowPositions(m_common.clock().monoNs());
}

void MessagingTopic::removeAllSubscriberInfo()
{
    if (m_topicRecPtr == nullptr)
        return;
    m_subAckMap.clear();
    for (std::atomic<int32>* n : {&m_topicRecPtr->numEffectiveSub, &m_topicRecPtr->numRemoteSub,
                                  &m_topicRecPtr->numDrSiteSub, &m_topicRecPtr->numEffectiveMrmSub,
                                  &m_topicRecPtr->numRemoteMrmSub, &m_topicRecPtr->numDrSiteMrmSub})
        n->store(0, std::memory_order_relaxed);
    updateWindowPositions(m_common.clock().monoNs());
}

int32 MessagingTopic::checkSubStatus(int64 nowNs)
{
    if (m_topicRecPtr == nullptr || !isPublishReady() || m_topicResPtr->mrmTopic)
        return 0;
    const int64 limitNs = 3 * static_cast<int64>(m_settings.topicTimeoutMs) * 1000000;
    int32 dropped = 0;
    for (auto it = m_subAckMap.begin(); it != m_subAckMap.end();)
    {
        const SubAckRecord& sub = it->second;
        if (sub.lastAckRcvdNs == 0 || nowNs - sub.lastAckRcvdNs <= limitNs)
        {
            ++it;
            continue;
        }
        ApplicationID id{};
        std::memcpy(id, &sub.info.appId, sizeof(sub.info.appId));
        fwLog(LOG_LEVEL_INFO,
              "No ACK received from [%s:%s:%d:%d] on topic [%.16s] for [%ld] msec. Last ACKed seq# rcvd [%lu], "
              "expected ACK on msg seq# [%lu], Current msg seq# [%lu].",
              AddrText(sub.info.ipAddr).text, MslPeerText(id).c_str(), sub.info.instId, sub.info.siteId,
              m_topicNameTxt, static_cast<long>((nowNs - sub.lastAckRcvdNs) / 1000000),
              static_cast<unsigned long>(sub.lastAckedSeq),
              static_cast<unsigned long>(m_topicRecPtr->lastAckedSeq.load(std::memory_order_relaxed)),
              static_cast<unsigned long>(m_topicRecPtr->lastMsgSeq.load(std::memory_order_relaxed)));
        if (sub.subscriberReady)
            loseEffective(sub.info);
        it = m_subAckMap.erase(it);
        ++dropped;
    }
    // Silence moves the window too, not only acknowledgements.
    updateWindowPositions(nowNs);
    return dropped > 0 ? 1 : 0;
}

void MessagingTopic::noteSubscriberHeard(uint64 subAppId, int32 instId, int64 nowNs)
{
    if (m_topicRecPtr == nullptr)
        return;
    bool heard = false;
    for (auto& [key, sub] : m_subAckMap)
        if (sub.info.appId == subAppId && sub.info.instId == static_cast<uint16>(instId))
        {
            sub.lastAckRcvdNs = nowNs;
            heard = true;
        }
    if (heard)
        updateWindowPositions(nowNs);
}

void MessagingTopic::updateWindowPositions(int64 nowNs)
{
    TopicRecord& rec = *m_topicRecPtr;
    const int64 limitNs = 3 * static_cast<int64>(m_settings.topicTimeoutMs) * 1000000;
    const uint64 last = rec.lastMsgSeq.load(std::memory_order_relaxed);
    const uint64 held = m_bufferPtr->getCapacity();
    enum Kind
    {
        ALL,
        REMOTE,
        DR,
        MRM,
        REMOTE_MRM,
        DR_MRM,
        KINDS
    };
    uint64 slowest[KINDS];
    std::fill(std::begin(slowest), std::end(slowest), UINT64_MAX);
    for (const auto& [key, sub] : m_subAckMap)
    {
        // Only a subscriber that counts, is live and that the history can
        // still serve holds the window: waiting for any other loses nothing.
        if (!sub.subscriberReady || sub.inRecovery || nowNs - sub.lastAckRcvdNs > limitNs ||
            (last > sub.lastAckedSeq && last - sub.lastAckedSeq > held))
            continue;
        const uint64 seq = sub.lastAckedSeq;
        const bool remote = sub.info.ipAddr != m_interfaceAddr;
        const bool mrm = sub.info.mrmInd != 0;
        const bool dr = sub.info.siteId == DR_SITE;
        auto lower = [&](Kind k, bool applies) {
            if (applies)
                slowest[k] = std::min(slowest[k], seq);
        };
        lower(ALL, true);
        lower(REMOTE, remote);
        lower(DR, dr);
        lower(MRM, mrm);
        lower(REMOTE_MRM, remote && mrm);
        lower(DR_MRM, dr && mrm);
    }
    auto set = [&](std::atomic<uint64>& window, Kind k, const std::atomic<uint64>& acked) {
        window.store(slowest[k] != UINT64_MAX ? slowest[k] : acked.load(std::memory_order_relaxed),
                     std::memory_order_relaxed);
    };
    set(rec.windowAckedSeq, ALL, rec.lastAckedSeq);
    set(rec.windowRemoteAckedSeq, REMOTE, rec.lastRemoteAckedSeq);
    set(rec.windowDrAckedSeq, DR, rec.lastDrAckedSeq);
    set(rec.windowMrmAckedSeq, MRM, rec.lastMrmAckedSeq);
    set(rec.windowRemoteMrmAckedSeq, REMOTE_MRM, rec.lastRemoteMrmAckedSeq);
    set(rec.windowDrMrmAckedSeq, DR_MRM, rec.lastDrMrmAckedSeq);
}

void MessagingTopic::ackPositions(const SubInfo& who, uint64 seq, bool remote)
{
    TopicRecord& rec = *m_topicRecPtr;
    auto raise = [seq](std::atomic<uint64>& pos, int32* count) {
        const uint64 cur = pos.load(std::memory_order_relaxed);
        if (seq > cur)
        {
            pos.store(seq, std::memory_order_relaxed);
            if (count != nullptr)
                *count = 1;
        }
        else if (seq == cur && count != nullptr)
            ++*count;
    };
    const bool mrm = who.mrmInd != 0;
    raise(rec.lastAckedSeq, &rec.numAckRcvd);
    if (mrm)
        raise(rec.lastMrmAckedSeq, &rec.numMrmAckRcvd);
    if (remote)
    {
        raise(rec.lastRemoteAckedSeq, &rec.numRemoteAckRcvd);
        if (mrm)
            raise(rec.lastRemoteMrmAckedSeq, &rec.numRemoteMrmAckRcvd);
    }
    if (who.siteId == DR_SITE)
    {
        raise(rec.lastDrAckedSeq, &rec.numDrAckRcvd);
        if (mrm)
            raise(rec.lastDrMrmAckedSeq, &rec.numDrMrmAckRcvd);
    }
    else
        raise(rec.lastPriAckedSeq, nullptr);
}

int32 MessagingTopic::processMsgAck(const TopicDataMsgAck& ack, uint64 subAppId, in_addr_t subIpAddr, int64 nowNs)
{
    if (m_topicRecPtr == nullptr)
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    TopicRecord& rec = *m_topicRecPtr;
    const uint64 seq = ack.lastSeqNumRcvd;
    const bool heartbeat = ack.hdr.cmdType == TOPIC_HEARTBEAT_ACK;
    const int32 instId = ack.hdr.senderInstId;
    const int32 siteId = ack.hdr.senderSiteId;
    const uint64 lastMsgSeq = rec.lastMsgSeq.load(std::memory_order_relaxed);
    if (seq > lastMsgSeq)
    {
        fwLog(LOG_LEVEL_INFO,
              "Rcvd %s with last acpt seq# [%lu] from [%s:%d:%d] on topic [%.16s] but the current msg seq# sent is "
              "[%lu]. Discard ACK and continue.",
              heartbeat ? "TOPIC_HEARTBEAT_ACK" : "TOPIC_MSG_ACK", static_cast<unsigned long>(seq),
              MslPeerText(ack.hdr.senderAppIdTxt).c_str(), instId, siteId, m_topicNameTxt,
              static_cast<unsigned long>(lastMsgSeq));
        return 0;
    }
    const bool mrm = (ack.msgFlags & TopicDataMsgAck::MRM_APPLICATION_FLAG) != 0;
    const bool recovering = (ack.msgFlags & TopicDataMsgAck::RECOVERY_FLAG) != 0;
    fwLog(LOG_LEVEL_DEBUG, "Rcvd %s from [%s:%d:%d] on topic [%.16s] with last acpt seq# [%lu]. Recovery indicator [%d]",
          heartbeat ? "TOPIC_HEARTBEAT_ACK" : "TOPIC_MSG_ACK", MslPeerText(ack.hdr.senderAppIdTxt).c_str(), instId,
          siteId, m_topicNameTxt, static_cast<unsigned long>(seq), recovering ? 2 : 0);
    rec.lastAckRcvdNs.store(nowNs, std::memory_order_relaxed);
    if (mrm)
        rec.lastMrmAckRcvdNs.store(nowNs, std::memory_order_relaxed);
    if (siteId == DR_SITE)
    {
        rec.lastDrAckRcvdNs.store(nowNs, std::memory_order_relaxed);
        if (mrm)
            rec.lastDrMrmAckRcvdNs.store(nowNs, std::memory_order_relaxed);
    }

    const SubInfo who{subAppId, subIpAddr, static_cast<uint16>(instId), static_cast<uint8>(siteId),
                      static_cast<uint8>(mrm ? 1 : 0)};
    const bool remote = subIpAddr != m_interfaceAddr;
    const auto it = m_subAckMap.find(who.key());
    if (it != m_subAckMap.end())
    {
        SubAckRecord& sub = it->second;
        if (seq < sub.lastAckedSeq)
        {
            fwLog(LOG_LEVEL_DEBUG,
                  "Rcvd TOPIC_MSG_ACK from [%s:%d:%d] on topic [%.16s] with last rcvd seq# [%lu] and current last "
                  "rcvd seq# [%lu].",
                  MslPeerText(ack.hdr.senderAppIdTxt).c_str(), instId, siteId, m_topicNameTxt,
                  static_cast<unsigned long>(seq), static_cast<unsigned long>(sub.lastAckedSeq));
        }
        else
        {
            if (!sub.subscriberReady && !recovering)
            {
                sub.subscriberReady = true;
                becomeEffective(who, remote);
            }
            sub.lastAckedSeq = seq;
            sub.lastAckRcvdNs = nowNs;
            sub.inRecovery = recovering;
        }
    }
    else
    {
        const bool ready = !recovering && seq >= rec.lastAckedSeq.load(std::memory_order_relaxed);
        m_subAckMap.emplace(who.key(), SubAckRecord{who, nowNs, seq, ready, recovering});
        if (ready)
            becomeEffective(who, remote);
    }
    ackPositions(who, seq, remote);
    updateWindowPositions(nowNs);
    return 0;
}
