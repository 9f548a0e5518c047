// MessagingService: the topics of this process. Preparing the registered
// topics, opening publishers and subscriptions and their handshakes with
// the other processes, the pending requests' resends and time-outs, leaving
// topics, and promoting passive subscribers.
#include "FendralCore/messaging/MessagingService.h"

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
constexpr int64 NS_PER_MS = 1000000;
constexpr int32 LEAVE_AT_TERMINATION = 9998;

struct AddrText
{
    explicit AddrText(const sockaddr_in& from)
    {
        if (inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text)) == nullptr)
            text[0] = '\0';
    }
    char text[INET_ADDRSTRLEN] = {};
};

UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}

bool isFullQueueCode(int32 code)
{
    return code == BUFFER_FULL || code == HEAD_INDEX_CHANGED || code == LOCK_FAILED;
}

// A name from the wire, cut and NUL-padded as a resource name.
void wireName(const char (&field)[17], ResourceName& out)
{
    std::memset(out, 0, sizeof(ResourceName));
    std::memcpy(out, field, strnlen(field, sizeof(ResourceName) - 1));
}

bool forcedLeave(int32 reason)
{
    return reason == MSL_PUB_TOPIC_EXIST || reason == MSL_TOPIC_CONFLICT || reason == MSL_UNRECOVERABLE_MSG_GAP;
}
} // namespace

// ---- records ----

TopicRecord* MessagingService::findTopic(const ResourceName& topicNameTxt)
{
    DataValueType value = 0;
    if (m_topicMap == nullptr || !m_topicMap->getValueByKey(nameKey(topicNameTxt), value, false))
        return nullptr;
    return reinterpret_cast<TopicRecord*>(value);
}

SubscriptionRecord* MessagingService::findSubscription(const ResourceName& topicNameTxt)
{
    DataValueType value = 0;
    if (m_subMap == nullptr || !m_subMap->getValueByKey(nameKey(topicNameTxt), value, false))
        return nullptr;
    return reinterpret_cast<SubscriptionRecord*>(value);
}

bool MessagingService::isMrmAppId(const char* appIdTxt) const
{
    const size_t baseLen = strnlen(m_gblData.m_mrmBaseName, sizeof(ApplicationID) - 1);
    return baseLen > 0 && std::strncmp(appIdTxt, m_gblData.m_mrmBaseName, baseLen) == 0;
}

in_addr_t MessagingService::topicInterface(const MsgTopicResource& topic, bool mrmLocalInterface) const
{
    in_addr a{};
    const char* text = topic.mrmTopic && mrmLocalInterface ? m_mrmInterfaceTxt : m_interfaceTxt;
    if (inet_pton(AF_INET, text, &a) != 1)
        return 0;
    return a.s_addr;
}

int32 MessagingService::notifyThread(const ResourceName& thread, const MsgTopicResource* topic, FwEventID id,
                                     EventParam& param, const char* fullText)
{
    ThreadResource* thr = nullptr;
    if (m_resMgr.getThreadRes(thread, &thr) != 0 || thr == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "Unable to look up the thread resource for [%.16s].", thread);
        return -1;
    }
    FwMessageQueue* queue = topic != nullptr && topic->msgQueuePtr != nullptr ? topic->msgQueuePtr
                                                                              : thr->msgQueuePtrArray[MQUEUE_NORMAL];
    if (sendEventMsg(thr, queue, id, param, m_msgSeqNum) == 0)
        return 0;
    if (!isFullQueueCode(FrameworkErrno::m_fwErrno))
        return -1;
    fwLog(LOG_LEVEL_WARNING, fullText, thread);
    return 0;
}

int32 MessagingService::prepareTopicResource(MsgTopicResource* topic)
{
    const MsgTopicParam& reg = topic->regParam;
    ThreadResource* owner = nullptr;
    if (m_resMgr.getThreadRes(reg.threadNameTxt, &owner) != 0 || owner == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "Unable to look up the thread resource for [%.16s].", reg.threadNameTxt);
        return fwFail(RES_NOT_EXIST, -1);
    }
    DataValueType value = 0;
    if (topic->tmpMsgStorePtr == nullptr &&
        m_gblData.m_tmpMsgRepository.getValueByKey(nameKey(reg.threadNameTxt), value, false))
        topic->tmpMsgStorePtr = reinterpret_cast<MessageStore*>(value);
    if (topic->usePipeline)
    {
        PipelineResource* pl = nullptr;
        if (m_resMgr.getPipelineRes(reg.pipelineNameTxt, &pl) != 0 || pl == nullptr || pl->pipelinePtr == nullptr)
            return fwFail(RES_PL_NOT_EXIST, -1);
        topic->pipelinePtr = pl->pipelinePtr;
        if (topic->tmpPlMsgStorePtr == nullptr &&
            m_gblData.m_tmpPlMsgRepository.getValueByKey(nameKey(reg.pipelineNameTxt), value, false))
            topic->tmpPlMsgStorePtr = reinterpret_cast<PlMessageStore*>(value);
        topic->msgQueuePtr = owner->msgQueuePtrArray[MQUEUE_NORMAL];
        topic->altMsgQueuePtr = owner->msgQueuePtrArray[MQUEUE_NORMAL];
    }
    else
    {
        const bool priority = reg.channelType == PRIORITY_CHANNEL;
        topic->msgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL];
        topic->altMsgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
    }
    return 0;
}

// ---- preparing the registered topics ----

int32 MessagingService::initAllTopics()
{
    const bool active = m_gblData.m_appMode.load() == ACTIVE_MODE;
    ResourceName name{};
    MsgTopicResource* topic = nullptr;
    int32 w = m_resMgr.getFirstMsgTopicRes(name, &topic);
    for (; w == 0; w = m_resMgr.getNextMsgTopicRes(name, &topic))
    {
        const ResourceStatus status = topic->status.load();
        if (status != RES_REGISTERED && status != RES_INITIALIZED)
            continue;
        const MsgTopicParam& reg = topic->regParam;
        // A standby subscribes to the replication topic: that is how it replicates.
        const bool standby = !active && reg.openType != APPL_REPLICATE && !reg.openInStandbyMode &&
                             !topic->replicationTopic && !m_gblData.m_mrmApplication;
        if (initTopic(topic, standby, false) != 0)
            return -1;
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    return code == RES_EMPTY || code == RES_NEXT_END || code == 0 ? 0 : -1;
}

int32 MessagingService::initMrmTopics()
{
    auto open = [this](const ResourceName& name) {
        if (name[0] == '\0')
            return 0;
        MsgTopicResource* topic = nullptr;
        if (m_resMgr.getMsgTopicRes(name, &topic) != 0)
            return FrameworkErrno::m_fwErrno == RES_NOT_EXIST ? 0 : -1;
        if (topic->status.load() == RES_ACTIVE)
            return 0;
        return initTopic(topic, false, true);
    };
    if (open(m_recovTopicNameTxt) != 0)
        return -1;
    const int32 partitions = std::min<int32>(m_gblData.m_numMrmPartition, GlobalData::MRM_MAX_PARTITION);
    const int32 instances = std::min<int32>(m_gblData.m_numMrmInst, GlobalData::MRM_MAX_INSTANCE);
    for (int32 p = 0; p < partitions; ++p)
        for (int32 i = 0; i < instances; ++i)
            if (open(m_gblData.m_mrmLocalTopicNameList[p][i]) != 0 ||
                open(m_gblData.m_mrmCrossSiteTopicNameList[p][i]) != 0)
                return -1;
    return 0;
}

int32 MessagingService::initTopic(MsgTopicResource* topic, bool standby, bool mrmLocalInterface)
{
    const MsgTopicParam& reg = topic->regParam;
    const bool active = m_gblData.m_appMode.load() == ACTIVE_MODE;
    int32 prepared = 0;
    if (topic->status.load() == RES_REGISTERED)
    {
        prepared = prepareTopicResource(topic);
        if (prepared == 0)
        {
            topic->status.store(RES_INITIALIZED);
            fwLog(LOG_LEVEL_WARNING,
                  "Topic resource [%.16s] initialized for thread [%.16s]. Open type [%d], logical channel [%d], "
                  "starting seq# [%lu], skip late join [%d], wait for DR ACK [%d], wait for MRM ACK [%d], "
                  "replication mode [%d], internal channel type [%d].",
                  topic->topicNameTxt, reg.threadNameTxt, reg.openType, reg.logicalChnNum,
                  static_cast<unsigned long>(reg.startingSeqNum), reg.skipLateJoinRecovery, reg.waitForDrSiteAck,
                  reg.waitForMrmAck, reg.replicationMode, reg.channelType);
        }
    }
    // What this instance may publish later keeps a history apart from any
    // topic object.
    const bool replicated = reg.replicationMode != NO_REPLICATION;
    if (active || topic->replicationTopic || reg.openType == APPL_REPLICATE ||
        (reg.openType == PUBLISH && replicated && !reg.openInStandbyMode && !topic->mrmTopic &&
         !topic->recoveryRqsTopic))
        addTopicHistory(topic->topicNameTxt, static_cast<uint32>(reg.historyBufSize > 0 ? reg.historyBufSize : 1));
    if (standby || prepared != 0)
        return prepared;

    const bool publish = reg.openType == PUBLISH || (reg.openType == APPL_REPLICATE && active);
    const bool subscribe = reg.openType == SUBSCRIBE || (reg.openType == APPL_REPLICATE && !active);
    if (!publish && !subscribe)
        return fwFail(MSL_INVALID_TOPIC_TYPE, -1);
    if (reg.openAtStartup)
    {
        const int32 r = publish ? addTopic(topic, mrmLocalInterface) : addSubscription(topic, mrmLocalInterface);
        if (r != 0)
        {
            EventParam p{};
            std::memcpy(p.resNameTxt, topic->topicNameTxt, sizeof(ResourceName));
            p.paramInt16 = -1;
            p.paramInt32 = FrameworkErrno::m_fwErrno;
            notifyThread(reg.threadNameTxt, topic, publish ? TOPIC_PUBLISH_ACK : TOPIC_SUBSCRIBE_ACK, p,
                         "The message queue of [%.16s] is full. Discard the topic open answer and continue.");
        }
        return 0;
    }
    EventParam p{};
    std::memcpy(p.resNameTxt, topic->topicNameTxt, sizeof(ResourceName));
    p.resPtr = topic;
    ThreadResource* owner = nullptr;
    if (m_resMgr.getThreadRes(reg.threadNameTxt, &owner) != 0 || owner == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "Unable to look up the thread resource for [%.16s].", reg.threadNameTxt);
        return fwFail(RES_NOT_EXIST, -1);
    }
    return notifyThread(reg.threadNameTxt, topic, publish ? TOPIC_PUB_READY_TO_OPEN : TOPIC_SUB_READY_TO_OPEN, p,
                        "The message queue of [%.16s] is full. Discard the topic ready-to-open event and continue.");
}

// ---- opening a publisher ----

void MessagingService::sendTopicRequest(MslMsgRqs& rqs, PendingRqsRecord& pending)
{
    // A request that could not go out now goes out again with the resends.
    sendRequest(reinterpret_cast<const char*>(&rqs), MslProtocol::RQS_SIZE);
    pending.rqs = rqs;
    pending.lastSentNs = m_clock.monoNs();
    addPendingRqs(pending);
}

int32 MessagingService::locateChannels(const MsgTopicResource& topic, MslChannelRole role, MslChannelRecord*& chn)
{
    if (m_channelTable->channelFor(topic, role, chn) == 0)
        return 0;
    const int32 code = FrameworkErrno::m_fwErrno;
    fwLog(LOG_LEVEL_ERROR, "Error [%d] locating the multicast channels for topic [%.16s].", code, topic.topicNameTxt);
    return fwFail(code, -1);
}

int32 MessagingService::addTopic(MsgTopicResource* topic, bool mrmLocalInterface)
{
    const ResourceName& name = topic->topicNameTxt;
    if (findTopic(name) != nullptr)
        return fwFail(MSL_PUB_TOPIC_EXIST, -1);
    TopicRecord* rec = firstUnused(m_topicRecs, m_settings.topicMax);
    if (rec == nullptr)
        return fwFail(MSL_LIST_FULL, -1);
    if (topic->msgQueuePtr == nullptr && prepareTopicResource(topic) != 0)
        return -1;
    MslChannelRecord* chn = nullptr;
    if (locateChannels(*topic, MSL_PUBLISHER_ROLE, chn) != 0)
        return -1;
    rec->clear();
    rec->used = true;
    std::memcpy(rec->topicNameTxt, name, sizeof(ResourceName));
    std::memcpy(rec->publisherThreadTxt, topic->regParam.threadNameTxt, sizeof(ResourceName));
    rec->topicResPtr = topic;
    rec->chnRecPtr = chn;
    rec->mrmPartitionId = -1;
    if (nameKey(name) == m_recovTopicId)
        m_recovTopicRecPtr = rec;
    const bool replication = topic->replicationTopic || topic->regParam.openType == APPL_REPLICATE;
    m_topicObjects.push_back(std::make_unique<MessagingTopic>(*this, *this, rec, chn->dataSock.get(),
                                                              chn->ackSock.get(),
                                                              topicInterface(*topic, mrmLocalInterface), replication));
    rec->publisherTopicPtr = m_topicObjects.back().get();
    topic->congested = false;
    m_topicMap->insert(nameKey(name), reinterpret_cast<DataValueType>(rec), true);
    if (TopicHistoryBuffer* hist = topicHistory(name))
        rec->publisherTopicPtr->populateTopicHistory(*hist);

    MslMsgRqs& rqs = composeRequest(PUBLISHER_TOPIC_RQS, name, 0);
    rqs.numUnackMsgMax = topic->regParam.numUnackMsgMax;
    fwLog(LOG_LEVEL_INFO,
          "Send PUBLISHER_TOPIC_RQS on topic [%.16s]. Resend count [%d],  numUnackMsgMax [%u], Rqs ID [%u].", name, 0,
          topic->regParam.numUnackMsgMax, rqs.hdr.rqsId);
    PendingRqsRecord pending;
    pending.pubRecPtr = rec;
    pending.lastMsgSeq = rec->lastMsgSeq.load(std::memory_order_relaxed);
    sendTopicRequest(rqs, pending);
    return 0;
}

// ---- opening a subscription ----

int32 MessagingService::sendSubscriberRequest(SubscriptionRecord& sub)
{
    MslMsgRqs& rqs = composeRequest(SUBSCRIBER_TOPIC_RQS, sub.topicNameTxt, sub.lastAcptMsgSeq);
    const bool passive = !sub.topicResPtr->regParam.activeSubscriber;
    if (passive)
        rqs.reasonCode = static_cast<int32>(MslProtocol::PASSIVE_SUBSCRIBER_BIT);
    fwLog(LOG_LEVEL_INFO, "Send SUBSCRIBER_TOPIC_RQS on topic [%.16s]. Passive subscriber ind [%d]. Resend count [%d].",
          sub.topicNameTxt, passive, 0);
    PendingRqsRecord pending;
    pending.subRecPtr = &sub;
    sub.subRqsPending = true;
    sub.lastTopicSubRqsNs = m_clock.monoNs();
    sendTopicRequest(rqs, pending);
    return 0;
}

int32 MessagingService::addSubscription(MsgTopicResource* topic, bool mrmLocalInterface)
{
    const ResourceName& name = topic->topicNameTxt;
    if (findSubscription(name) != nullptr)
        return fwFail(MSL_SUB_TOPIC_EXIST, -1);
    SubscriptionRecord* sub = firstUnused(m_subRecs, m_settings.subMax);
    if (sub == nullptr)
        return fwFail(MSL_LIST_FULL, -1);
    if (topic->msgQueuePtr == nullptr && prepareTopicResource(topic) != 0)
        return -1;
    MslChannelRecord* chn = nullptr;
    if (locateChannels(*topic, MSL_SUBSCRIBER_ROLE, chn) != 0)
        return -1;
    if (joinsOnDemand(*topic))
        m_channelTable->leaveData(chn, false);
    sub->clear();
    sub->used = true;
    sub->topicResPtr = topic;
    sub->chnRecPtr = chn;
    std::memcpy(sub->topicNameTxt, name, sizeof(ResourceName));
    std::memcpy(sub->subscriberThreadTxt, topic->regParam.threadNameTxt, sizeof(ResourceName));
    sub->publisherInstId = -1;
    sub->mrmPartitionId = m_mrmPartitionId;
    const int32 numMrmInst = m_gblData.m_numMrmInst;
    sub->mrmInstId = m_siteId == DR_SITE && numMrmInst > 0 ? numMrmInst / 2 : 0;
    if (m_gblData.m_mrmApplication && numMrmInst > 0 && m_appInstId == sub->mrmInstId)
        sub->mrmInstId = (sub->mrmInstId + 1) % numMrmInst;
    bool replication = false;
    if (m_gblData.m_mrmApplication)
    {
        const size_t len = strnlen(name, sizeof(ResourceName) - 1);
        const size_t post = std::strlen(REPLICATION_TOPIC_POSTFIX);
        replication = len > 8 && std::memcmp(name + len - post, REPLICATION_TOPIC_POSTFIX, post) == 0;
    }
    else
        replication = topic->replicationTopic || topic->regParam.openType == APPL_REPLICATE;
    m_topicObjects.push_back(std::make_unique<MessagingTopic>(*this, *this, sub, chn->dataSock.get(),
                                                              chn->ackSock.get(),
                                                              topicInterface(*topic, mrmLocalInterface), replication));
    sub->subscriberTopicPtr = m_topicObjects.back().get();
    m_subMap->insert(nameKey(name), reinterpret_cast<DataValueType>(sub), true);
    if (topic->regParam.openType == APPL_REPLICATE)
        m_appRepliSubRecPtr = sub;
    if (topic->replicationTopic)
        m_repliSubRecPtr = sub;
    return sendSubscriberRequest(*sub);
}

void MessagingService::adoptPublisherWindow(SubscriptionRecord& sub, uint32 window)
{
    sub.subscriberTopicPtr->setNumUnackMsgMax(window);
    if (&sub != m_repliSubRecPtr || window == 0 || static_cast<int64>(window) == m_repliRcvBatch ||
        static_cast<int64>(window) > m_numRcvSlots)
        return;
    fwLog(LOG_LEVEL_INFO, "Replication receive batch of topic [%.16s] changed from [%d] to [%u].", sub.topicNameTxt,
          m_repliRcvBatch, window);
    m_repliRcvBatch = static_cast<int32>(window);
}

// ---- the publisher's handshake ----

int32 MessagingService::processPubTopicRqs(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid =
        checkedRequest(len, "Invalid publisher topic request message size [%d] received, expect [%lu]. Discard and "
                            "continue.");
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    auto refuse = [&](uint64 lastSeq) {
        MslMsgAck& a = composeAnswer(r, lastSeq, -1, MSL_PUB_TOPIC_EXIST);
        peerLog(m_rcLogLimit, LOG_LEVEL_INFO,
                "Send -ve PUBLISHER_TOPIC_ACK on receiving PUBLISHER_TOPIC_RQS on topic [%.16s] from [%s:%d:%d]. "
                "Status [%d], err code [%d], last seq# [%lu].",
                name, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId, r.hdr.senderSiteId, -1,
                MSL_PUB_TOPIC_EXIST, static_cast<unsigned long>(lastSeq));
        sendAnswer(reinterpret_cast<const char*>(&a), MslProtocol::ACK_SIZE);
        return 0;
    };
    if (TopicRecord* rec = findTopic(name))
    {
        // Two publishers still in their handshakes ignore each other.
        if (rec->publishReady.load(std::memory_order_acquire))
            return refuse(rec->lastMsgSeq.load(std::memory_order_relaxed));
        return 0;
    }
    for (const auto& [id, pending] : m_pendingRqs)
    {
        if (pending.rqs.hdr.cmdType == PUBLISHER_TOPIC_RQS && pending.pubRecPtr != nullptr &&
            std::memcmp(pending.rqs.topicNameTxt, name, sizeof(ResourceName)) == 0)
            return refuse(pending.pubRecPtr->lastMsgSeq.load(std::memory_order_relaxed));
    }
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr)
        return 0;
    if (sub->publisherIdTxt[0] != '\0' &&
        MslProtocol::appIdKey(sub->publisherIdTxt) != MslProtocol::appIdKey(r.hdr.senderAppIdTxt))
        return refuse(sub->lastAcptMsgSeq);
    if (r.reasonCode == 1)
        return 0;
    adoptPublisherWindow(*sub, r.numUnackMsgMax);
    peerLog(m_rcLogLimit, LOG_LEVEL_INFO,
            "Received PUBLISHER_TOPIC_RQS on topic [%.16s] from [%s:%s:%d:%d]. Reason code [%d], retry count [%d], "
            "numUnackMsgMax [%u].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, r.reasonCode, r.hdr.resendCount, r.numUnackMsgMax);
    const bool passive = !sub->topicResPtr->regParam.activeSubscriber;
    MslMsgAck& a = composeAnswer(r, sub->lastAcptMsgSeq, 0,
                                 passive ? static_cast<int32>(MslProtocol::PASSIVE_SUBSCRIBER_BIT) : 0);
    a.mrmPartitionId = sub->mrmPartitionId;
    fwLog(LOG_LEVEL_INFO,
          "Send PUBLISHER_TOPIC_ACK resend cnt [%d] on topic [%.16s] to [%s:%d:%d], passive subscriber ind [%d], status "
          "[%d], err code [%d], last seq# [%lu].",
          r.hdr.resendCount, name, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId, r.hdr.senderSiteId,
          passive, 0, a.errorCode, static_cast<unsigned long>(sub->lastAcptMsgSeq));
    sendAnswer(reinterpret_cast<const char*>(&a), MslProtocol::ACK_SIZE);
    sub->pubAckSent = true;
    return 0;
}

int32 MessagingService::processPubTopicAck(uint32 rqsId, const sockaddr_in& from)
{
    const MslMsgAck a = m_rcvMsg.ack;
    PendingRqsRecord* pending = findPendingRqs(rqsId);
    if (pending == nullptr)
        return 0;
    ResourceName name{};
    wireName(a.topicNameTxt, name);
    const bool passive = (static_cast<uint32>(a.errorCode) & MslProtocol::PASSIVE_SUBSCRIBER_BIT) != 0;
    peerLog(m_racLogLimit, LOG_LEVEL_INFO,
            "Received PUBLISHER_TOPIC_ACK on topic [%.16s] from [%s:%s:%d:%d], passive subscriber ind [%d]. Status "
            "[%d], last msg seq# rcvd [%lu], partition ID [%d], rqs resend cnt [%d].",
            name, AddrText(from).text, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId,
            a.hdr.senderSiteId, passive, a.status, static_cast<unsigned long>(a.lastMsgSeq), a.mrmPartitionId,
            a.hdr.resendCount);
    TopicRecord* rec = pending->pubRecPtr;
    if (rec == nullptr || !rec->used || rec->publisherTopicPtr == nullptr)
    {
        erasePendingRqs(rqsId);
        return 0;
    }
    if (a.status != 0)
    {
        EventParam p{};
        std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
        p.paramInt16 = -1;
        p.paramInt32 = a.errorCode;
        notifyThread(rec->publisherThreadTxt, rec->topicResPtr, TOPIC_PUBLISH_ACK, p,
                     "The message queue of [%.16s] is full when attempting to notify the application of the topic "
                     "already created. Discard the -ve event TOPIC_PUBLISH_ACK and continue.");
        erasePendingRqs(rqsId);
        // Refused by a publisher already running: this one gives way at once.
        deleteTopic(name, forcedLeave(a.errorCode) ? a.errorCode : MSL_PUB_TOPIC_EXIST);
        return 0;
    }
    // A subscriber of the replication topic that holds more than this active
    // instance starts from: what the standby has would be numbered again.
    // The instance gives way rather than replicate a diverging stream. An
    // instance told to switch counts as active at once: its standbys answer
    // within a round trip, long before the control thread has every thread's
    // answer to the switch and stores the mode.
    const uint64 expected = std::max(rec->lastMsgSeq.load(std::memory_order_relaxed), rec->topicResPtr->lastMsgSeqNum);
    const bool active = m_swActiveRcvd || m_gblData.m_appMode.load() == ACTIVE_MODE;
    if (rec->topicResPtr->replicationTopic && active && a.lastMsgSeq > expected)
    {
        fwLog(LOG_LEVEL_CRITICAL,
              "The new publisher of the replication topic [%.16s] expects the last seq# [%lu] but received [%lu] from "
              "[%s:%d:%d]. Need to terminate this application instance.",
              name, static_cast<unsigned long>(expected), static_cast<unsigned long>(a.lastMsgSeq),
              MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId, a.hdr.senderSiteId);
        if (m_ctlThdResPtr == nullptr ||
            sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, TERM, EventParam{}, m_msgSeqNum) != 0)
            fwLog(LOG_LEVEL_CRITICAL, "Error [%d] sending TERM to CTL_THREAD for topic [%.16s].",
                  FrameworkErrno::m_fwErrno, name);
        erasePendingRqs(rqsId);
        deleteTopic(name, MSL_UNRECOVERABLE_MSG_GAP);
        return 0;
    }
    const bool mrm = isMrmAppId(a.hdr.senderAppIdTxt);
    const uint64 appId = MslProtocol::appIdKey(a.hdr.senderAppIdTxt);
    if (passive)
        rec->publisherTopicPtr->addPassiveSubInfo(appId, a.hdr.senderInstId, a.hdr.senderSiteId,
                                                  from.sin_addr.s_addr, mrm);
    else
        rec->publisherTopicPtr->addSubscriberInfo(appId, a.hdr.senderInstId, a.hdr.senderSiteId,
                                                  from.sin_addr.s_addr, mrm, a.lastMsgSeq);
    ++pending->ackCnt;
    if (a.lastMsgSeq > pending->lastMsgSeq)
        pending->lastMsgSeq = a.lastMsgSeq;
    if (rec->mrmPartitionId == -1 && a.mrmPartitionId >= 0 && a.mrmPartitionId < m_gblData.m_numMrmPartition &&
        a.mrmPartitionId < GlobalData::MRM_MAX_PARTITION)
        rec->mrmPartitionId = a.mrmPartitionId;
    return 0;
}

int32 MessagingService::processPendingPubTopicRqs(PendingRqsRecord& pending)
{
    TopicRecord* rec = pending.pubRecPtr;
    if (rec == nullptr || !rec->used || rec->publisherTopicPtr == nullptr)
        return 0;
    MessagingTopic& topic = *rec->publisherTopicPtr;
    MsgTopicResource* res = rec->topicResPtr;
    const bool replicated = res->replicationTopic || res->regParam.openType == APPL_REPLICATE;
    const uint64 resSeq = res->lastMsgSeqNum;
    uint64 negotiated = resSeq;
    int64 difference = 0;
    if (pending.ackCnt > 0)
    {
        if (pending.lastMsgSeq > resSeq)
        {
            negotiated = pending.lastMsgSeq;
            if (replicated)
            {
                difference = static_cast<int64>(pending.lastMsgSeq - resSeq);
                fwLog(LOG_LEVEL_ERROR, "The new publisher of topic [%.16s] expects the last seq# [%lu] but negotiated [%lu].",
                      rec->topicNameTxt, static_cast<unsigned long>(resSeq), static_cast<unsigned long>(negotiated));
            }
            else
                fwLog(LOG_LEVEL_INFO, "The new publisher of topic [%.16s] expects the last seq# [%lu] and negotiated [%lu].",
                      rec->topicNameTxt, static_cast<unsigned long>(resSeq), static_cast<unsigned long>(negotiated));
        }
        else
            fwLog(LOG_LEVEL_INFO, "The new publisher of topic [%.16s] expects the last seq# [%lu] and negotiated [%lu].",
                  rec->topicNameTxt, static_cast<unsigned long>(resSeq), static_cast<unsigned long>(negotiated));
    }
    else
    {
        fwLog(LOG_LEVEL_INFO, "No PUBLISHER_TOPIC_ACK received for topic [%.16s] within the timeout period.",
              rec->topicNameTxt);
        negotiated = std::max(pending.lastMsgSeq, resSeq);
    }
    const uint64 own = rec->lastMsgSeq.load(std::memory_order_relaxed);
    negotiated = std::max(negotiated, own);
    const int64 now = m_clock.monoNs();
    // Nobody sends before publishReady; it is set last, under the baton.
    rec->lastMsgSeq.store(negotiated, std::memory_order_relaxed);
    rec->lastMsgSentTime = timespec{};
    rec->lastMsgSentNs = 0;
    rec->lastTmIntervalMsgSeq = negotiated;
    rec->lastAckedSeq.store(negotiated, std::memory_order_relaxed);
    rec->takeBaton();
    rec->publishReady.store(true, std::memory_order_release);
    rec->releaseBaton();

    const uint32 window = res->regParam.numUnackMsgMax;
    fwLog(LOG_LEVEL_INFO,
          "Send PUBLISHER_TOPIC_CONFIRM for topic [%.16s] with [%d] subscriptions at topic creation. Last sent seq# "
          "[%lu], numUnackMsgMax [%u].",
          rec->topicNameTxt, pending.ackCnt, static_cast<unsigned long>(negotiated), window);
    MslPubTopicConfirm& c = m_confirmTemplate.confirm;
    c.hdr.rqsId = m_rqsIds.nextRequest();
    c.hdr.resendCount = 0;
    stampWire(c.hdr);
    std::memcpy(c.topicNameTxt, rec->topicNameTxt, sizeof(ResourceName));
    c.lastMsgTopicSeq = negotiated;
    c.lastMsgTopicSentTime = MslWireTime{0, 0};
    c.numUnackMsgMax = window;
    sendRequest(m_confirmTemplate.bytes, MslProtocol::CONFIRM_SIZE);

    EventParam p{};
    std::memcpy(p.resNameTxt, rec->topicNameTxt, sizeof(ResourceName));
    p.paramInt16 = static_cast<int16>(rec->numDrSiteSub.load(std::memory_order_relaxed));
    p.paramInt32 = topic.getSubscriberCnt();
    p.paramInt64 = difference;
    p.resPtr = res;
    if (topic.sendTopicEventMsg(TOPIC_PUBLISH_ACK, p) == 0 && res->regParam.waitForMrmAck &&
        rec->numEffectiveMrmSub.load(std::memory_order_relaxed) > 0)
    {
        EventParam m{};
        std::memcpy(m.resNameTxt, rec->topicNameTxt, sizeof(ResourceName));
        m.paramInt16 = static_cast<int16>(rec->numDrSiteMrmSub.load(std::memory_order_relaxed));
        m.paramInt32 = rec->numEffectiveMrmSub.load(std::memory_order_relaxed);
        m.resPtr = res;
        topic.sendSubscriberStatusEvt(FIRST_MRM_SUBSCRIBER_JOINED, m);
    }
    topic.sendTopicHeartbeat();
    // The topic is open to senders now, and they mark intervals under the baton.
    rec->takeBaton();
    rec->lastTmIntervalMsgSeq = negotiated;
    rec->lastTopicTimeoutNs = now;
    rec->releaseBaton();
    return 0;
}

int32 MessagingService::processSubTopicRqs(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid =
        checkedRequest(len, "Invalid subscriber topic request message size [%d] received, expect [%lu]. Discard and "
                            "continue.");
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    TopicRecord* rec = findTopic(name);
    if (rec == nullptr || rec->publisherTopicPtr == nullptr)
        return 0;
    MessagingTopic& topic = *rec->publisherTopicPtr;
    const bool passive = (static_cast<uint32>(r.reasonCode) & MslProtocol::PASSIVE_SUBSCRIBER_BIT) != 0;
    peerLog(m_rcLogLimit, LOG_LEVEL_INFO,
            "Received SUBSCRIBER_TOPIC_RQS on topic [%.16s] from [%s:%s:%d:%d] with retry count [%d] and last seq# "
            "[%lu]. Passive Subscriber Ind [%d]. Current number of active subscription: [%d], current number of "
            "passive subscription: [%d].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, r.hdr.resendCount, static_cast<unsigned long>(r.lastMsgTopicSeq), passive,
            topic.getSubscriberCnt(), topic.getPassiveSubCnt());
    const bool mrm = isMrmAppId(r.hdr.senderAppIdTxt);
    if (mrm && rec->mrmPartitionId == -1)
    {
        // The partition number follows the base name.
        const size_t baseLen = strnlen(m_gblData.m_mrmBaseName, sizeof(ApplicationID) - 1);
        int32 partition = 0;
        bool digits = false;
        for (size_t i = baseLen; i < sizeof(ApplicationID) - 1 && r.hdr.senderAppIdTxt[i] >= '0' &&
                                 r.hdr.senderAppIdTxt[i] <= '9';
             ++i)
        {
            partition = partition * 10 + (r.hdr.senderAppIdTxt[i] - '0');
            digits = true;
        }
        if (digits && partition < GlobalData::MRM_MAX_PARTITION)
            rec->mrmPartitionId = partition;
    }
    const uint64 appId = MslProtocol::appIdKey(r.hdr.senderAppIdTxt);
    if (passive)
        topic.addPassiveSubInfo(appId, r.hdr.senderInstId, r.hdr.senderSiteId, from.sin_addr.s_addr, mrm);
    else
        topic.addSubscriberInfo(appId, r.hdr.senderInstId, r.hdr.senderSiteId, from.sin_addr.s_addr, mrm,
                                r.lastMsgTopicSeq);
    const uint64 lastSeq = rec->lastMsgSeq.load(std::memory_order_relaxed);
    MslMsgAck& a = composeAnswer(r, lastSeq, 0, 0);
    a.mrmPartitionId = rec->mrmPartitionId;
    a.numUnackMsgMax = rec->topicResPtr->regParam.numUnackMsgMax;
    fwLog(LOG_LEVEL_INFO,
          "Send SUBSCRIBER_TOPIC_ACK on topic [%.16s] to [%s:%d:%d]. Status [%d], err code [%d], last seq# [%lu], rqs "
          "resend cnt [%d], numUnackMsgMax [%u].",
          name, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId, r.hdr.senderSiteId, 0, 0,
          static_cast<unsigned long>(lastSeq), r.hdr.resendCount, a.numUnackMsgMax);
    sendAnswer(reinterpret_cast<const char*>(&a), MslProtocol::ACK_SIZE);
    if (passive)
    {
        const int32 site = r.hdr.senderSiteId;
        const int32 effective = rec->numEffectiveSub.load(std::memory_order_relaxed);
        const int32 drSite = rec->numDrSiteSub.load(std::memory_order_relaxed);
        const bool drNeeds = site == DR_SITE && rec->lastDrAckRcvdNs.load(std::memory_order_relaxed) != 0 && drSite == 0;
        const bool priNeeds = site == PRIMARY_SITE && rec->lastPriAckedSeq.load(std::memory_order_relaxed) != 0 &&
                              effective == drSite;
        if (drNeeds || priNeeds)
            promotePassiveSubscriber(rec, site, true, 1);
    }
    return 0;
}

// ---- the subscriber's handshake ----

int32 MessagingService::processSubTopicAck(uint32 rqsId, const sockaddr_in& from)
{
    const MslMsgAck a = m_rcvMsg.ack;
    PendingRqsRecord* pending = findPendingRqs(rqsId);
    if (pending == nullptr)
        return 0;
    ResourceName name{};
    wireName(a.topicNameTxt, name);
    peerLog(m_racLogLimit, LOG_LEVEL_INFO,
            "Received SUBSCRIBER_TOPIC_ACK on topic [%.16s] from [%s:%s:%d:%d]. Status [%d], last msg seq# sent [%lu], "
            "rqs resend cnt [%d], partition id [%d], numUnackMsgMax [%u].",
            name, AddrText(from).text, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId,
            a.hdr.senderSiteId, a.status, static_cast<unsigned long>(a.lastMsgSeq), a.hdr.resendCount,
            a.mrmPartitionId, a.numUnackMsgMax);
    SubscriptionRecord* sub = pending->subRecPtr;
    if (sub == nullptr || !sub->used || sub->subscriberTopicPtr == nullptr)
    {
        erasePendingRqs(rqsId);
        return 0;
    }
    if (a.status != 0)
    {
        EventParam p{};
        std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
        p.paramInt16 = -1;
        p.paramInt32 = MSL_SUB_TOPIC_FAIL;
        notifyThread(sub->subscriberThreadTxt, sub->topicResPtr, TOPIC_SUBSCRIBE_ACK, p,
                     "The message queue of [%.16s] is full. Discard event TOPIC_SUBSCRIBE_ACK and continue.");
        erasePendingRqs(rqsId);
        sub->subRqsPending = false;
        deleteSubscription(name);
        return 0;
    }
    MessagingTopic& topic = *sub->subscriberTopicPtr;
    if (sub->publisherIdTxt[0] != '\0' &&
        (MslProtocol::appIdKey(sub->publisherIdTxt) != MslProtocol::appIdKey(a.hdr.senderAppIdTxt) ||
         sub->publisherInstId != a.hdr.senderInstId))
        fwLog(LOG_LEVEL_NOTICE, "Publisher of topic [%.16s] is changed from [%.8s:%d:%d] to [%s:%d:%d].", name,
              sub->publisherIdTxt, sub->publisherInstId, sub->publisherSiteId,
              MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId, a.hdr.senderSiteId);
    std::memcpy(sub->publisherIdTxt, a.hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
    sub->publisherIdTxt[sizeof(ApplicationID) - 1] = '\0';
    sub->publisherInstId = a.hdr.senderInstId;
    sub->publisherSiteId = a.hdr.senderSiteId;
    sub->publisherIpAddr = from.sin_addr.s_addr;
    if (a.lastMsgSeq > sub->lastAcptMsgSeq && a.lastMsgSeq > sub->highestMsgSeqRcvd)
        sub->highestMsgSeqRcvd = a.lastMsgSeq;
    noteStreamStart(*sub, a.lastMsgSeq);
    // A partition number from the wire is taken only within the configured
    // partitions: it indexes the instance tables.
    if (a.mrmPartitionId >= 0 && a.mrmPartitionId < m_gblData.m_numMrmPartition &&
        a.mrmPartitionId < GlobalData::MRM_MAX_PARTITION)
        sub->mrmPartitionId = a.mrmPartitionId;
    adoptPublisherWindow(*sub, a.numUnackMsgMax);
    if (sub->topicResPtr->regParam.openType == APPL_REPLICATE)
        m_noAppRepliTopic = false;
    EventParam p{};
    std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
    std::memcpy(p.appIdTxt, sub->publisherIdTxt, sizeof(ApplicationID));
    p.paramInt64 = sub->publisherInstId;
    p.resPtr = sub->topicResPtr;
    erasePendingRqs(rqsId);
    sub->subRqsPending = false;
    if (!sub->subscribeReady)
    {
        p.paramInt32 = 1;
        topic.sendTopicEventMsg(TOPIC_SUBSCRIBE_ACK, p);
        sub->subscribeReady = true;
        topic.sendTopicHeartbeatAck(false);
    }
    else
        topic.sendTopicEventMsg(TOPIC_PUBLISHER_JOINED, p);
    return 0;
}

void MessagingService::noteStreamStart(SubscriptionRecord& sub, uint64 startSeq)
{
    if (sub.startKnown)
        return;
    sub.startKnown = true;
    // Skipping late-join recovery skips what was published before this
    // meeting only: from here on a lost message is a gap like any other.
    if (sub.topicResPtr->regParam.skipLateJoinRecovery && sub.lastAcptMsgSeq == 0 && sub.lastMsgAcptNs == 0 &&
        startSeq > 0)
    {
        fwLog(LOG_LEVEL_INFO, "Topic [%.16s] skips late-join recovery: it starts after seq# [%lu].", sub.topicNameTxt,
              static_cast<unsigned long>(startSeq));
        sub.lastAcptMsgSeq = startSeq;
        sub.highestMsgSeqRcvd = std::max(sub.highestMsgSeqRcvd, startSeq);
    }
}

int32 MessagingService::processPendingSubTopicRqs(PendingRqsRecord& pending)
{
    SubscriptionRecord* sub = pending.subRecPtr;
    if (sub == nullptr || !sub->used || sub->subscriberTopicPtr == nullptr)
        return 0;
    sub->subRqsPending = false;
    sub->extraRetryCnt = 0;
    MessagingTopic& topic = *sub->subscriberTopicPtr;
    EventParam p{};
    std::memcpy(p.resNameTxt, sub->topicNameTxt, sizeof(ResourceName));
    p.resPtr = sub->topicResPtr;
    if (!sub->subscribeReady)
    {
        fwLog(LOG_LEVEL_INFO, "Topic [%.16s] subscribed without publisher.", sub->topicNameTxt);
        p.paramInt32 = 0;
        topic.sendTopicEventMsg(TOPIC_SUBSCRIBE_ACK, p);
        sub->subscribeReady = true;
    }
    else if (sub->publisherIdTxt[0] != '\0')
    {
        std::memcpy(p.appIdTxt, sub->publisherIdTxt, sizeof(ApplicationID));
        p.paramInt64 = sub->publisherInstId;
        topic.sendTopicEventMsg(TOPIC_PUBLISHER_JOINED, p);
    }
    const MsgTopicResource& res = *sub->topicResPtr;
    if (!res.recoveryRqsTopic && !res.mrmTopic && !sub->onRecovery)
        startLateJoinRecovery(*sub);
    return 0;
}

int32 MessagingService::processPubTopicConfirmMsg(int32 len, const sockaddr_in& from)
{
    if (len != static_cast<int32>(MslProtocol::CONFIRM_SIZE))
    {
        peerLog(m_rcLogLimit, LOG_LEVEL_WARNING,
                "Invalid publisher topic confirmation message size [%d] received, expect [%lu]. Discard and continue.",
                len, static_cast<unsigned long>(MslProtocol::CONFIRM_SIZE));
        return 0;
    }
    const MslPubTopicConfirm c = m_rcvMsg.confirm;
    ResourceName name{};
    wireName(c.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr)
        return 0;
    peerLog(m_rcLogLimit, LOG_LEVEL_INFO,
            "Received PUBLISHER_TOPIC_CONFIRM on topic [%.16s] from [%s:%s:%d:%d]. Last sent seq# [%lu], last acpt "
            "seq# [%lu],  numUnackMsgMax [%u].",
            name, AddrText(from).text, MslPeerText(c.hdr.senderAppIdTxt).c_str(), c.hdr.senderInstId,
            c.hdr.senderSiteId, static_cast<unsigned long>(c.lastMsgTopicSeq),
            static_cast<unsigned long>(sub->lastAcptMsgSeq), c.numUnackMsgMax);
    MessagingTopic& topic = *sub->subscriberTopicPtr;
    adoptPublisherWindow(*sub, c.numUnackMsgMax);
    if (sub->publisherIdTxt[0] == '\0')
    {
        if (sub->subRqsPending)
        {
            fwLog(LOG_LEVEL_WARNING,
                  "Subscription request on topic [%.16s] is still pending while PUBLISHER_TOPIC_CONFIRM is received, "
                  "increase the retry count by [%d].",
                  name, m_settings.resendThold);
            sub->extraRetryCnt = m_settings.resendThold;
        }
        else if (sub->pubAckSent)
        {
            fwLog(LOG_LEVEL_WARNING,
                  "Already sent PUBLISHER_TOPIC_ACK before PUBLISHER_TOPIC_CONFIRM is received for topic [%.16s].",
                  name);
            sub->pubAckSent = false;
            std::memcpy(sub->publisherIdTxt, c.hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
            sub->publisherIdTxt[sizeof(ApplicationID) - 1] = '\0';
            sub->publisherInstId = c.hdr.senderInstId;
            sub->publisherSiteId = c.hdr.senderSiteId;
            sub->publisherIpAddr = from.sin_addr.s_addr;
            noteStreamStart(*sub, c.lastMsgTopicSeq);
            EventParam p{};
            std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
            std::memcpy(p.appIdTxt, sub->publisherIdTxt, sizeof(ApplicationID));
            p.paramInt64 = sub->publisherInstId;
            p.resPtr = sub->topicResPtr;
            if (!sub->subscribeReady)
            {
                p.paramInt32 = 1;
                topic.sendTopicEventMsg(TOPIC_SUBSCRIBE_ACK, p);
                sub->subscribeReady = true;
            }
            else
                topic.sendTopicEventMsg(TOPIC_PUBLISHER_JOINED, p);
            // The publisher counts this subscriber from its first
            // acknowledgement: give it one now.
            topic.sendTopicHeartbeatAck(false);
        }
        else
        {
            fwLog(LOG_LEVEL_WARNING,
                  "Send subscription request again for topic [%.16s] on receiving PUBLISHER_TOPIC_CONFIRM. Active "
                  "subscriber ind [%d].",
                  name, sub->topicResPtr->regParam.activeSubscriber);
            sendSubscriberRequest(*sub);
        }
    }
    if (sub->topicResPtr->regParam.openType == APPL_REPLICATE)
        m_noAppRepliTopic = false;
    return 0;
}

// ---- pending requests ----

void MessagingService::removePendingRqs(const TopicRecord* rec)
{
    for (auto it = m_pendingRqs.begin(); it != m_pendingRqs.end();)
        it = it->second.pubRecPtr == rec ? m_pendingRqs.erase(it) : std::next(it);
}

void MessagingService::removePendingRqs(SubscriptionRecord* rec)
{
    for (auto it = m_pendingRqs.begin(); it != m_pendingRqs.end();)
        it = it->second.subRecPtr == rec ? m_pendingRqs.erase(it) : std::next(it);
    removePendingMrmRqs(*rec);
    dropRetries(rec);
}

void MessagingService::processPendingRqs(int64 nowNs)
{
    const int64 timeoutNs = static_cast<int64>(m_settings.rqsTimeoutMs) * NS_PER_MS;
    // The handlers below add and remove requests: the due ones are taken
    // first, and each is looked up again before it is served.
    m_dueRqsIds.clear();
    for (const auto& [id, pending] : m_pendingRqs)
        if (nowNs - pending.lastSentNs > timeoutNs)
            m_dueRqsIds.push_back(id);
    for (const uint32 id : m_dueRqsIds)
    {
        PendingRqsRecord* p = findPendingRqs(id);
        if (p == nullptr)
            continue;
        const uint32 cmd = p->rqs.hdr.cmdType;
        fwLog(LOG_LEVEL_DEBUG,
              "Time to process pending request type [%u] Rqs ID [%u] on topic [%.16s]. Diff [%ld], Rqs timeout "
              "threshold [%d].",
              cmd, id, p->rqs.topicNameTxt, static_cast<long>((nowNs - p->lastSentNs) / NS_PER_MS),
              m_settings.rqsTimeoutMs);
        auto resend = [&]() {
            ++p->rqs.hdr.resendCount;
            p->lastSentNs = nowNs;
            stampWire(p->rqs.hdr);
            fwLog(LOG_LEVEL_DEBUG, "Resend request [%u] on topic [%.16s]. Resend count [%d]. Reason code [%d].", cmd,
                  p->rqs.topicNameTxt, p->rqs.hdr.resendCount, p->rqs.reasonCode);
            sendRequest(reinterpret_cast<const char*>(&p->rqs), MslProtocol::RQS_SIZE);
        };
        switch (cmd)
        {
        case PUBLISHER_TOPIC_RQS:
            if (p->rqs.hdr.resendCount < m_settings.resendThold)
            {
                // Subscribers that answered already ignore a resend.
                if (p->ackRcvd)
                    p->rqs.reasonCode = 1;
                resend();
            }
            else
            {
                PendingRqsRecord done = *p;
                erasePendingRqs(id);
                processPendingPubTopicRqs(done);
            }
            break;
        case SUBSCRIBER_TOPIC_RQS:
        {
            const int32 extra = p->subRecPtr != nullptr ? p->subRecPtr->extraRetryCnt : 0;
            if (p->rqs.hdr.resendCount < m_settings.resendThold + extra)
                resend();
            else
            {
                PendingRqsRecord done = *p;
                erasePendingRqs(id);
                processPendingSubTopicRqs(done);
            }
            break;
        }
        case MSL_SW_ACTIVE_SUBSCRIBER_RQS:
            if (p->rqs.hdr.resendCount < m_settings.resendThold)
                resend();
            else
            {
                PendingRqsRecord done = *p;
                erasePendingRqs(id);
                processPendingSwActiveSubRqs(done);
            }
            break;
        case PUBLISHER_LEAVE_TOPIC_NOTIFICATION:
            // Waits without being sent again: subscribers may still ask the
            // topic to resend meanwhile.
            ++p->rqs.hdr.resendCount;
            p->lastSentNs = nowNs;
            if (p->rqs.hdr.resendCount >= m_settings.resendThold)
            {
                PendingRqsRecord done = *p;
                erasePendingRqs(id);
                processPendingPubLeaveTopicNotification(done);
            }
            break;
        case TAIL_LOST_QUERY:
        case TAIL_LOST_QUERY2:
            // An answered query only waits for more answers; an unanswered
            // first form is asked again, the second form never.
            if (p->rqs.hdr.resendCount < m_settings.resendThold && (p->ackRcvd || cmd == TAIL_LOST_QUERY))
            {
                if (p->ackRcvd)
                {
                    ++p->rqs.hdr.resendCount;
                    p->rqs.reasonCode = FORCE_RECOVERY;
                    p->lastSentNs = nowNs;
                    stampWire(p->rqs.hdr);
                }
                else
                    resend();
            }
            else
            {
                PendingRqsRecord done = *p;
                erasePendingRqs(id);
                processPendingTailLostQuery(done);
            }
            break;
        case DATA_RECOVERY_RQS:
        case TAIL_LOST_RECOVERY_RQS:
            if (!p->ackRcvd && p->rqs.hdr.resendCount < m_settings.resendThold)
                resend();
            else
            {
                PendingRqsRecord done = *p;
                erasePendingRqs(id);
                if (cmd == DATA_RECOVERY_RQS)
                    processPendingDataRecoveryRqs(done);
                else
                    processPendingTailLostRecoveryRqs(done);
            }
            break;
        case MRM_PARTITION_ENQ_RQS:
            if (p->rqs.hdr.resendCount < m_settings.resendThold)
                resend();
            else
            {
                PendingRqsRecord done = *p;
                erasePendingRqs(id);
                processPendingMrmPartitionEnquiry(done);
            }
            break;
        default:
            fwLog(LOG_LEVEL_WARNING, "Unexpected MSL pending request type [%u], request ID [%u]. Ignore and continue.",
                  cmd, id);
            erasePendingRqs(id);
            break;
        }
    }
}

// ---- leaving ----

void MessagingService::removeTopicRecord(TopicRecord& rec)
{
    m_channelTable->leaveAck(rec.chnRecPtr, false);
    DataValueType ignored = 0;
    const int32 removed = m_topicMap->remove(nameKey(rec.topicNameTxt), ignored);
    fwLog(LOG_LEVEL_DEBUG, "Removed publisher topic [%.16s] from the repository. Number of record removed [%d]",
          rec.topicNameTxt, removed);
    if (rec.topicResPtr != nullptr)
        rec.topicResPtr->status.store(RES_INITIALIZED);
    if (&rec == m_recovTopicRecPtr)
        m_recovTopicRecPtr = nullptr;
    removePendingRqs(&rec);
    // The topic object stays (m_topicObjects): a sending thread may be in it.
    rec.used = false;
    rec.publisherTopicPtr = nullptr;
}

int32 MessagingService::deleteTopic(const ResourceName& topicNameTxt, int32 reason)
{
    TopicRecord* rec = findTopic(topicNameTxt);
    if (rec == nullptr)
        return 0;
    auto notify = [&](int32 why) {
        MslMsgRqs& rqs =
            composeRequest(PUBLISHER_LEAVE_TOPIC_NOTIFICATION, rec->topicNameTxt, rec->lastMsgSeq.load(std::memory_order_relaxed));
        rqs.reasonCode = why;
        fwLog(LOG_LEVEL_INFO, "Send PUBLISHER_LEAVE_TOPIC_NOTIFICATION for topic [%.16s].", rec->topicNameTxt);
        sendRequest(reinterpret_cast<const char*>(&rqs), MslProtocol::RQS_SIZE);
        return &rqs;
    };
    if (!forcedLeave(reason))
    {
        if (!rec->publishReady.load(std::memory_order_acquire))
            return 0;
        MslMsgRqs* rqs = notify(reason);
        PendingRqsRecord pending;
        pending.rqs = *rqs;
        pending.lastSentNs = m_clock.monoNs();
        addPendingRqs(pending);
        return 0;
    }
    if (rec->publishReady.load(std::memory_order_acquire))
    {
        rec->takeBaton();
        rec->publishReady.store(false, std::memory_order_release);
        rec->releaseBaton();
        notify(reason);
    }
    removeTopicRecord(*rec);
    return 0;
}

int32 MessagingService::processPendingPubLeaveTopicNotification(PendingRqsRecord& pending)
{
    ResourceName name{};
    wireName(pending.rqs.topicNameTxt, name);
    fwLog(LOG_LEVEL_INFO, "Times up to remove topic [%.16s].", name);
    TopicRecord* rec = findTopic(name);
    if (rec == nullptr)
        return 0;
    EventParam p{};
    std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
    p.resPtr = rec->topicResPtr;
    notifyThread(rec->publisherThreadTxt, rec->topicResPtr, TOPIC_LEAVE_PUB_ACK, p,
                 "The message queue of [%.16s] is full. Discard event TOPIC_LEAVE_PUB_ACK and continue.");
    rec->takeBaton();
    rec->publishReady.store(false, std::memory_order_release);
    rec->releaseBaton();
    removeTopicRecord(*rec);
    return 0;
}

int32 MessagingService::deleteSubscription(const ResourceName& topicNameTxt)
{
    SubscriptionRecord* sub = findSubscription(topicNameTxt);
    if (sub == nullptr)
        return 0;
    DataValueType ignored = 0;
    m_subMap->remove(nameKey(topicNameTxt), ignored);
    MslMsgRqs& rqs = composeRequest(SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION, sub->topicNameTxt, 0);
    fwLog(LOG_LEVEL_INFO, "Send SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION for topic [%.16s].", sub->topicNameTxt);
    sendRequest(reinterpret_cast<const char*>(&rqs), MslProtocol::RQS_SIZE);
    if (!joinsOnDemand(*sub->topicResPtr))
        m_channelTable->leaveData(sub->chnRecPtr, false);
    EventParam p{};
    std::memcpy(p.resNameTxt, sub->topicNameTxt, sizeof(ResourceName));
    p.resPtr = sub->topicResPtr;
    notifyThread(sub->subscriberThreadTxt, sub->topicResPtr, TOPIC_LEAVE_SUB_ACK, p,
                 "The message queue of [%.16s] is full. Discard event TOPIC_LEAVE_SUB_ACK and continue.");
    if (sub == m_appRepliSubRecPtr)
    {
        m_noAppRepliTopic = true;
        m_appRepliSubRecPtr = nullptr;
        if (m_chkEndRepli && m_ctlThdResPtr != nullptr)
        {
            // Not while messages for its thread wait parked: the timer
            // confirms once they are delivered.
            m_endRepliHeld = forwarder().hasUnsent();
            m_endRepliChannelType = sub->topicResPtr->regParam.channelType;
            m_endRepliSeq = sub->lastAcptMsgSeq;
            if (!m_endRepliHeld)
                confirmEndReplication(m_endRepliChannelType, m_endRepliSeq);
        }
    }
    if (sub == m_repliSubRecPtr)
    {
        m_repliSubRecPtr = nullptr;
        m_repliTopicInRecovery = false;
    }
    removePendingRqs(sub);
    if (sub->topicResPtr != nullptr)
        sub->topicResPtr->status.store(RES_INITIALIZED);
    sub->used = false;
    sub->subscriberTopicPtr = nullptr;
    return 0;
}

int32 MessagingService::processPubLeaveTopicMsg(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid = checkedRequest(
        len, "Invalid publisher leave topic notification message size [%d] received, expect [%lu]. Discard and continue.");
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr)
        return 0;
    peerLog(m_rcLogLimit, LOG_LEVEL_INFO,
            "Received PUBLISHER_LEAVE_TOPIC_NOTIFICATION on topic [%.16s] from [%s:%s:%d:%d]. Reason code [%d]. Last "
            "sent seq# [%lu], last acpt seq# [%lu].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, r.reasonCode, static_cast<unsigned long>(r.lastMsgTopicSeq),
            static_cast<unsigned long>(sub->lastAcptMsgSeq));
    // Another publisher of the topic giving up (a refused or conflicting
    // one) is not this subscription's publisher leaving.
    if (sub->publisherIdTxt[0] != '\0' &&
        (MslProtocol::appIdKey(sub->publisherIdTxt) != MslProtocol::appIdKey(r.hdr.senderAppIdTxt) ||
         sub->publisherInstId != r.hdr.senderInstId))
        return 0;
    if (r.lastMsgTopicSeq <= sub->lastAcptMsgSeq)
    {
        if (sub->onRecovery && sub->recoveryMode == NORMAL_RECOVERY)
            dropRecoveryRequest(*sub);
        sub->onRecovery = false;
        if (sub->publisherIdTxt[0] != '\0')
        {
            EventParam p{};
            std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
            std::memcpy(p.appIdTxt, sub->publisherIdTxt, sizeof(ApplicationID));
            p.paramInt64 = sub->publisherInstId;
            p.resPtr = sub->topicResPtr;
            sub->subscriberTopicPtr->sendTopicEventMsg(TOPIC_PUBLISHER_LEFT, p);
        }
        std::memset(sub->publisherIdTxt, 0, sizeof(ApplicationID));
        sub->publisherInstId = -1;
        if (sub->topicResPtr->mrmTopic)
            sub->lastMrmHeartbeatNs = 0;
        if (sub == m_appRepliSubRecPtr)
            m_noAppRepliTopic = true;
        return 0;
    }
    sub->highestMsgSeqRcvd = r.lastMsgTopicSeq;
    if (sub->onRecovery && r.lastMsgTopicSeq > sub->endRecoverySeq)
        sub->endRecoverySeq = r.lastMsgTopicSeq;
    sub->onLeavePubTopic = true;
    if (sub->publisherIdTxt[0] == '\0')
    {
        std::memcpy(sub->publisherIdTxt, r.hdr.senderAppIdTxt, sizeof(ApplicationID) - 1);
        sub->publisherInstId = r.hdr.senderInstId;
    }
    // The missing tail is asked of the publisher or, when it terminated, of
    // the peers; while a resend runs nothing new starts.
    if (m_resendInProgress)
        return 0;
    if (r.reasonCode != LEAVE_AT_TERMINATION || sub->tlQueryRqsId != 0)
    {
        if (!sub->onRecovery)
        {
            sub->lastMsgAcptNs = 0;
            sub->pubRecoverySessId = 0;
            requestTopicMsgRecovery(*sub, sub->lastAcptMsgSeq, false);
        }
        return 0;
    }
    if (sub->topicResPtr->mrmTopic)
    {
        std::memset(sub->publisherIdTxt, 0, sizeof(ApplicationID));
        sub->publisherInstId = -1;
        sub->onLeavePubTopic = false;
        return 0;
    }
    queryTailLost(*sub, TAIL_LOST_QUERY, 0, 0, 0, false, false);
    return 0;
}

int32 MessagingService::processSubLeaveTopicMsg(int32 len, const sockaddr_in& from)
{
    const MslMsgRqs* valid = checkedRequest(
        len, "Invalid subscriber leave topic notification message size [%d] received, expect [%lu]. Discard and continue.");
    if (valid == nullptr)
        return 0;
    const MslMsgRqs r = *valid;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    TopicRecord* rec = findTopic(name);
    if (rec == nullptr || rec->publisherTopicPtr == nullptr)
        return 0;
    peerLog(m_rcLogLimit, LOG_LEVEL_INFO, "Received SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION on topic [%.16s] from [%s:%s:%d:%d].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId);
    MessagingTopic& topic = *rec->publisherTopicPtr;
    const uint64 appId = MslProtocol::appIdKey(r.hdr.senderAppIdTxt);
    const bool mrm = isMrmAppId(r.hdr.senderAppIdTxt);
    const int32 site = r.hdr.senderSiteId;
    if (topic.getSubscriberCnt() > 0 &&
        topic.removeSubscriberInfo(appId, r.hdr.senderInstId, site, from.sin_addr.s_addr, mrm) == 1)
    {
        MsgTopicResource* res = rec->topicResPtr;
        if (!res->recoveryRqsTopic && !res->mrmTopic)
            promotePassiveSubscriber(rec, site, mrm, 1);
        EventParam p{};
        std::memcpy(p.resNameTxt, name, sizeof(ResourceName));
        p.resPtr = res;
        const int32 effective = rec->numEffectiveSub.load(std::memory_order_relaxed);
        if (effective > 0 && site == DR_SITE && rec->numDrSiteSub.load(std::memory_order_relaxed) == 0)
        {
            rec->lastDrAckRcvdNs.store(0, std::memory_order_relaxed);
            p.paramInt32 = effective;
            topic.sendSubscriberStatusEvt(LAST_DR_SUBSCRIBER_LEFT, p);
        }
        else if (effective == 0)
        {
            for (std::atomic<int64>* t :
                 {&rec->lastAckRcvdNs, &rec->lastDrAckRcvdNs, &rec->lastMrmAckRcvdNs, &rec->lastDrMrmAckRcvdNs})
                t->store(0, std::memory_order_relaxed);
            topic.sendSubscriberStatusEvt(LAST_SUBSCRIBER_LEFT, p);
        }
        // The same for the recovery instances, when the topic waits for them.
        if (mrm && res->regParam.waitForMrmAck)
        {
            const int32 mrmLeft = rec->numEffectiveMrmSub.load(std::memory_order_relaxed);
            p.paramInt32 = mrmLeft;
            if (mrmLeft > 0 && site == DR_SITE && rec->numDrSiteMrmSub.load(std::memory_order_relaxed) == 0)
            {
                rec->lastDrMrmAckRcvdNs.store(0, std::memory_order_relaxed);
                topic.sendSubscriberStatusEvt(LAST_DR_MRM_SUBSCRIBER_LEFT, p);
            }
            else if (mrmLeft == 0)
            {
                rec->lastMrmAckRcvdNs.store(0, std::memory_order_relaxed);
                rec->lastDrMrmAckRcvdNs.store(0, std::memory_order_relaxed);
                topic.sendSubscriberStatusEvt(LAST_MRM_SUBSCRIBER_LEFT, p);
            }
        }
        fwLog(LOG_LEVEL_INFO, "One subscriber leaves topic [%.16s]. Num of remaining active subscription [%d].", name,
              effective);
        return 0;
    }
    topic.removePassiveSubInfo(appId, r.hdr.senderInstId, site, from.sin_addr.s_addr, mrm);
    return 0;
}

void MessagingService::sendLeaveNotificationForAllTopic()
{
    if (m_topicRecs == nullptr || m_subRecs == nullptr || m_rcSock == nullptr)
        return;
    for (int32 i = 0; i < m_settings.topicMax; ++i)
    {
        TopicRecord& rec = m_topicRecs[i];
        if (!rec.used || rec.publisherTopicPtr == nullptr || rec.topicResPtr->mrmTopic ||
            !rec.publishReady.load(std::memory_order_acquire))
            continue;
        rec.takeBaton();
        rec.publishReady.store(false, std::memory_order_release);
        rec.releaseBaton();
        fwLog(LOG_LEVEL_INFO, "Send PUBLISHER_LEAVE_TOPIC_NOTIFICATION for topic [%.16s] at PROCESS_TERMINATION.",
              rec.topicNameTxt);
        MslMsgRqs& rqs = composeRequest(PUBLISHER_LEAVE_TOPIC_NOTIFICATION, rec.topicNameTxt,
                                        rec.lastMsgSeq.load(std::memory_order_relaxed));
        rqs.reasonCode = LEAVE_AT_TERMINATION;
        sendRequest(reinterpret_cast<const char*>(&rqs), MslProtocol::RQS_SIZE);
    }
    for (int32 i = 0; i < m_settings.subMax; ++i)
    {
        SubscriptionRecord& sub = m_subRecs[i];
        if (!sub.used || sub.subscriberTopicPtr == nullptr || sub.publisherIdTxt[0] == '\0')
            continue;
        fwLog(LOG_LEVEL_INFO, "Send SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION for topic [%.16s] at PROCESS_TERMINATION.",
              sub.topicNameTxt);
        MslMsgRqs& rqs = composeRequest(SUBSCRIBER_LEAVE_TOPIC_NOTIFICATION, sub.topicNameTxt, 0);
        sendRequest(reinterpret_cast<const char*>(&rqs), MslProtocol::RQS_SIZE);
    }
}

// ---- promoting passive subscribers ----

int32 MessagingService::promotePassiveSubscriber(TopicRecord* rec, int32 site, bool preferMrm, int32 count)
{
    if (rec == nullptr || rec->publisherTopicPtr == nullptr)
        return 0;
    MessagingTopic& topic = *rec->publisherTopicPtr;
    int32 sent = 0;
    while (sent < count)
    {
        MessagingTopic::SubInfo who{};
        if (topic.retrievePassiveSubInfo(site, preferMrm, who) == 0 &&
            topic.retrievePassiveSubInfo(site, !preferMrm, who) == 0)
            break;
        MslMsgRqs& rqs = composeRequest(MSL_SW_ACTIVE_SUBSCRIBER_RQS, rec->topicNameTxt, 0);
        std::memcpy(rqs.hdr.recipientAppIdTxt, &who.appId, sizeof(who.appId));
        rqs.hdr.recipientInstId = who.instId;
        rqs.hdr.recipientSiteId = who.siteId;
        fwLog(LOG_LEVEL_INFO, "Send MSL_SW_ACTIVE_SUBSCRIBER_RQS on topic [%.16s] to [%.8s:%d:%d]. Resend count [%d].",
              rec->topicNameTxt, rqs.hdr.recipientAppIdTxt, who.instId, who.siteId, 0);
        if (sendRequest(reinterpret_cast<const char*>(&rqs), MslProtocol::RQS_SIZE) != 0)
            continue;
        ++sent;
        PendingRqsRecord pending;
        pending.rqs = rqs;
        pending.pubRecPtr = rec;
        pending.lastMsgSeq = rec->lastMsgSeq.load(std::memory_order_relaxed);
        pending.lastSentNs = m_clock.monoNs();
        addPendingRqs(pending);
    }
    return sent;
}

int32 MessagingService::processSwActiveSubRqs(int32 len, const sockaddr_in& from)
{
    if (len != static_cast<int32>(MslProtocol::RQS_SIZE))
        return 0;
    const MslMsgRqs r = m_rcvMsg.rqs;
    if (MslProtocol::appIdKey(r.hdr.recipientAppIdTxt) != m_appId || r.hdr.recipientInstId != m_appInstId)
        return 0;
    ResourceName name{};
    wireName(r.topicNameTxt, name);
    SubscriptionRecord* sub = findSubscription(name);
    if (sub == nullptr || sub->subscriberTopicPtr == nullptr)
        return 0;
    MsgTopicParam& reg = sub->topicResPtr->regParam;
    int32 refusal = 0;
    if (sub->publisherIdTxt[0] != '\0' &&
        MslProtocol::appIdKey(sub->publisherIdTxt) != MslProtocol::appIdKey(r.hdr.senderAppIdTxt))
        refusal = MSL_INVALID_PUBLISHER;
    else if (reg.activeSubscriber)
        refusal = MSL_SUBSCRIBER_ALREADY_ACTIVE;
    if (refusal != 0)
    {
        MslMsgAck& a = composeAnswer(r, sub->lastAcptMsgSeq, -1, refusal);
        peerLog(m_rcLogLimit, LOG_LEVEL_INFO,
                "Send -ve MSL_SW_ACTIVE_SUBSCRIBER_ACK on receiving MSL_SW_ACTIVE_SUBSCRIBER_RQS on topic [%.16s] from "
                "[%s:%d:%d]. Status [%d], err code [%d], last seq# [%lu].",
                name, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId, r.hdr.senderSiteId, -1, refusal,
                static_cast<unsigned long>(sub->lastAcptMsgSeq));
        sendAnswer(reinterpret_cast<const char*>(&a), MslProtocol::ACK_SIZE);
        return 0;
    }
    peerLog(m_rcLogLimit, LOG_LEVEL_INFO,
            "Received MSL_SW_ACTIVE_SUBSCRIBER_RQS on topic [%.16s] from [%s:%s:%d:%d]. Reason code [%d], retry count "
            "[%d].",
            name, AddrText(from).text, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId,
            r.hdr.senderSiteId, r.reasonCode, r.hdr.resendCount);
    reg.activeSubscriber = true;
    MslMsgAck& a = composeAnswer(r, sub->lastAcptMsgSeq, 0, 0);
    fwLog(LOG_LEVEL_INFO,
          "Send MSL_SW_ACTIVE_SUBSCRIBER_ACK on topic [%.16s] to [%s:%d:%d], status [%d], err code [%d], last seq# "
          "[%lu].",
          name, MslPeerText(r.hdr.senderAppIdTxt).c_str(), r.hdr.senderInstId, r.hdr.senderSiteId, 0, 0,
          static_cast<unsigned long>(sub->lastAcptMsgSeq));
    sendAnswer(reinterpret_cast<const char*>(&a), MslProtocol::ACK_SIZE);
    // Acknowledging from now on, starting at once.
    sub->subscriberTopicPtr->sendTopicHeartbeatAck(false);
    return 0;
}

int32 MessagingService::processSwActiveSubAck(uint32 rqsId, const sockaddr_in& from)
{
    const MslMsgAck a = m_rcvMsg.ack;
    PendingRqsRecord* pending = findPendingRqs(rqsId);
    if (pending == nullptr)
        return 0;
    ResourceName name{};
    wireName(a.topicNameTxt, name);
    peerLog(m_racLogLimit, LOG_LEVEL_INFO,
            "Received MSL_SW_ACTIVE_SUBSCRIBER_ACK on topic [%.16s] from [%s:%s:%d:%d]. Status [%d], last msg seq# "
            "rcvd [%lu], partition ID [%d], rqs resend cnt [%d].",
            name, AddrText(from).text, MslPeerText(a.hdr.senderAppIdTxt).c_str(), a.hdr.senderInstId,
            a.hdr.senderSiteId, a.status, static_cast<unsigned long>(a.lastMsgSeq), a.mrmPartitionId,
            a.hdr.resendCount);
    TopicRecord* rec = pending->pubRecPtr;
    erasePendingRqs(rqsId);
    if (rec == nullptr || !rec->used || rec->publisherTopicPtr == nullptr)
        return 0;
    const bool mrm = isMrmAppId(a.hdr.senderAppIdTxt);
    const int32 site = a.hdr.senderSiteId;
    if (a.status != 0)
    {
        if (promotePassiveSubscriber(rec, site, mrm, 1) > 0)
            fwLog(LOG_LEVEL_INFO, "Attempt to promote another passive subscriber of topic [%.16s] at site [%d].", name,
                  site);
        else
            fwLog(LOG_LEVEL_INFO, "No more passive subscriber of topic [%.16s] at site [%d] that can be promoted.",
                  name, site);
        return 0;
    }
    rec->publisherTopicPtr->addSubscriberInfo(MslProtocol::appIdKey(a.hdr.senderAppIdTxt), a.hdr.senderInstId, site,
                                              from.sin_addr.s_addr, mrm, a.lastMsgSeq);
    return 0;
}

int32 MessagingService::processPendingSwActiveSubRqs(PendingRqsRecord& pending)
{
    TopicRecord* rec = pending.pubRecPtr;
    const MslMsgRqs& r = pending.rqs;
    fwLog(LOG_LEVEL_INFO,
          "Timeout waiting for MSL_SW_ACTIVE_SUBSCRIBER_ACK from [%.8s:%d:%d] on topic [%.16s], attempt to promote "
          "another passive subscriber.",
          r.hdr.recipientAppIdTxt, r.hdr.recipientInstId, r.hdr.recipientSiteId, r.topicNameTxt);
    if (rec == nullptr || !rec->used)
        return 0;
    if (promotePassiveSubscriber(rec, r.hdr.recipientSiteId, isMrmAppId(r.hdr.recipientAppIdTxt), 1) == 0)
        fwLog(LOG_LEVEL_INFO, "No more passive subscriber of topic [%.16s] at site [%d] that can be promoted.",
              r.topicNameTxt, r.hdr.recipientSiteId);
    return 0;
}
