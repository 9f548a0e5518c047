// MessagingService: the thread body, one pass of the loop in each mode, the
// framework events of the two queues, and the service timer.
#include "FendralCore/messaging/MessagingService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <unistd.h>

namespace
{
constexpr int64 NS_PER_MS = 1000000;

bool isFullQueueCode(int32 code)
{
    return code == BUFFER_FULL || code == HEAD_INDEX_CHANGED || code == LOCK_FAILED;
}

// The failing step's own line, then the line every failing step shares.
void logStepError(const char* text)
{
    const int32 code = FrameworkErrno::m_fwErrno;
    fwLog(LOG_LEVEL_ERROR, text, code);
    fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", code);
}
} // namespace

int32 MessagingService::run(int32& execExitHdr)
{
    execExitHdr = 1;
    return runGuarded("Messaging Service", [&]() -> int32 {
        if (initialize() != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Proceed thread termination.", code);
            m_errorTermination = true;
            return code != 0 ? code : -1;
        }
        const int32 timeoutMs =
            m_optMode != LOW_LATENCY ? -1 : (m_gblData.m_netPolling ? 0 : LOW_LATENCY_WAIT_MS);
        bool terminate = false;
        while (!terminate)
            runOnce(timeoutMs, terminate);
        sendLeaveNotificationForAllTopic();
        execExitHdr = 0;
        return 0;
    });
}

int32 MessagingService::runOnce(int32 timeoutMs, bool& terminate)
{
    const int32 r = m_optMode == LOW_LATENCY ? passLowLatency(terminate) : passCpu(waitLimitMs(timeoutMs), terminate);
    if (!terminate && !m_retries.empty())
        serveDueRetries(m_clock.monoNs());
    if (!terminate && !m_mrmDeferred.empty())
        serveDueMrmRqs(m_clock.monoNs());
    return r;
}

int32 MessagingService::passCpu(int32 timeoutMs, bool& terminate)
{
    const int32 n = m_fdWait->wait(m_readyFds.get(), m_ioTypes.get(), m_wireOrder.get(), m_maxNumDesc, timeoutMs);
    if (n <= 0)
        return 0;
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    ReadyDescriptors fixed;
    for (int32 i = 0; i < n; ++i)
    {
        const FileDescriptor* fd = m_readyFds[i];
        if (fd == high)
            fixed.high = true;
        else if (fd == normal)
            fixed.normal = true;
        else if (fd == m_timer.get())
            fixed.timer = true;
        else if (fd == m_rcSock->waitable())
            fixed.rcIdx = i;
        else if (fd == m_racSock->waitable())
            fixed.racIdx = i;
    }
    // TERM among the high-priority events ends the pass before any network
    // traffic is read.
    if (fixed.high && processMessage(high, terminate) != 0)
        logStepError("Error [%d] processing messages on high priority queue.");
    if (terminate)
        return 0;
    if (fixed.normal && processMessage(normal, terminate) != 0)
        logStepError("Error [%d] processing messages on normal priority queue.");
    if (terminate)
        return 0;
    if (fixed.rcIdx >= 0 && processMslRqs(&m_wireOrder[fixed.rcIdx]) != 0)
        logStepError("Error [%d] processing MSL request.");
    if (fixed.racIdx >= 0 && processMslAck(&m_wireOrder[fixed.racIdx]) != 0)
        logStepError("Error [%d] processing MSL request ACK.");
    serveOtherSockets(n, fixed);
    if (fixed.timer)
        serveTimer();
    return 0;
}

int32 MessagingService::passLowLatency(bool& terminate)
{
    const int32 n = m_fdWait->wait(m_readyFds.get(), m_ioTypes.get(), m_wireOrder.get(), m_maxNumDesc,
                                   m_gblData.m_netPolling ? 0 : LOW_LATENCY_WAIT_MS);
    const int64 now = m_clock.monoNs();
    const int64 elapsedMs = (now - m_lastPassNs) / NS_PER_MS;
    if (elapsedMs > m_settings.stsRptIntervalMs)
        fwLog(LOG_LEVEL_INFO, "Elapse time [%ld] > status report interval [%d].", static_cast<long>(elapsedMs),
              m_settings.stsRptIntervalMs);
    else if (elapsedMs > 2 * static_cast<int64>(m_settings.timerIntervalMs))
        fwLog(LOG_LEVEL_DEBUG, "Elapse time [%ld] > timer interval x 2 [%d].", static_cast<long>(elapsedMs),
              2 * m_settings.timerIntervalMs);
    m_lastPassNs = now;

    ReadyDescriptors fixed;
    for (int32 i = 0; i < n; ++i)
    {
        if (m_readyFds[i] == m_rcSock->waitable())
            fixed.rcIdx = i;
        else if (m_readyFds[i] == m_racSock->waitable())
            fixed.racIdx = i;
    }
    if (processMessage(m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY], terminate) != 0)
        logStepError("Error [%d] processing messages on high priority queue.");
    if (terminate)
        return 0;
    if (processMessage(m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL], terminate) != 0)
        logStepError("Error [%d] processing messages on normal priority queue.");
    if (terminate)
        return 0;
    if (processMslRqs(fixed.rcIdx >= 0 ? &m_wireOrder[fixed.rcIdx] : nullptr) != 0)
        logStepError("Error [%d] processing MSL request.");
    if (processMslAck(fixed.racIdx >= 0 ? &m_wireOrder[fixed.racIdx] : nullptr) != 0)
        logStepError("Error [%d] processing MSL request ACK.");
    serveOtherSockets(n, fixed);
    if (now - m_lastTimerNs > static_cast<int64>(m_settings.timerIntervalMs) * NS_PER_MS)
    {
        m_lastTimerNs = now;
        m_drainAllAck = false;
        processMslTimerEvent();
    }
    return 0;
}

int32 MessagingService::serveOtherSockets(int32 numReady, const ReadyDescriptors& fixed)
{
    for (int32 i = 0; i < numReady; ++i)
    {
        FileDescriptor* fd = m_readyFds[i];
        if (i == fixed.rcIdx || i == fixed.racIdx || fd == m_timer.get() ||
            fd == m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY] ||
            fd == m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL])
            continue;
        auto* rec = static_cast<MslChannelRecord*>(fd->getInfoPtr());
        if (rec == nullptr)
            continue;
        const bool data = rec->isDataSocket(fd);
        if (serveTopicSocket(rec, data, &m_wireOrder[i]) == 0)
            continue;
        switch (rec->kind)
        {
        case MSL_MRM_LOCAL_CHANNEL:
            logStepError(data ? "Error [%d] processing MRM topic message." : "Error [%d] processing MRM topic message ACK.");
            break;
        case MSL_MRM_CROSS_SITE_CHANNEL:
            logStepError(data ? "Error [%d] processing MRM cross-site topic message."
                              : "Error [%d] processing MRM cross-site topic message ACK.");
            break;
        case MSL_MRM_REQUEST_CHANNEL:
            logStepError(data ? "Error [%d] processing MRM request topic message."
                              : "Error [%d] processing MRM request topic message ACK.");
            break;
        case MSL_REPLICATION_CHANNEL:
            logStepError(data ? "Error [%d] processing replication topic message."
                              : "Error [%d] processing replication topic message ACK.");
            break;
        default:
            logStepError(data ? "Error [%d] processing topic message." : "Error [%d] processing topic message ACK.");
            break;
        }
    }
    return 0;
}

int32 MessagingService::drainTopicSocket(MslChannelRecord* rec, bool data)
{
    MslSocket* sock = data ? rec->dataSock.get() : rec->ackSock.get();
    if (sock == nullptr)
        return 0;
    const int32 batch = data ? dataBatchOf(*rec) : m_settings.numMsgRcvMax;
    int32 count = 0;
    if (sock->receiveBatch(m_topicRcvSlots.get(), batch, count) != 0)
        return FrameworkErrno::m_fwErrno == WOULD_BLOCK ? 0 : -1;
    // Before the topics open nobody reads them: a level-triggered readiness
    // must still be emptied.
    for (int32 i = 0; i < count; ++i)
        m_stats.topicDatagramsDropped.add();
    return 0;
}

int32 MessagingService::serveTimer()
{
    uint64 count = 0;
    int done = 0;
    if (m_timer->receive(reinterpret_cast<char*>(&count), sizeof(count), done) != 0)
        return 0; // re-armed since it was reported: nothing expired
    const uint64 perReport = static_cast<uint64>(m_settings.stsRptIntervalMs / m_settings.timerIntervalMs);
    if (count > perReport)
        fwLog(LOG_LEVEL_INFO, "Timer event received with tmCount = %lu.", static_cast<unsigned long>(count));
    else if (count > 1)
        fwLog(LOG_LEVEL_DEBUG, "Timer event received with tmCount = %lu.", static_cast<unsigned long>(count));
    m_drainAllAck = false;
    return processMslTimerEvent();
}

int32 MessagingService::processMslTimerEvent()
{
    // The health check reads the liveness stamp in wall-clock seconds.
    m_threadResPtr->lastStatusUpdTm.store(m_clock.wallTime().tv_sec, std::memory_order_relaxed);
    const int64 now = m_clock.monoNs();
    processPendingRqs(now);
    checkEndRecoveryMode();
    handleOutstandingMrmRqs(now);
    handleDormantTopic(now);
    // A recovery instance tells the subscribers of its topics that it lives.
    if (m_gblData.m_mrmApplication &&
        now - m_lastMrmHbSentNs >= static_cast<int64>(m_settings.mrmHeartbeatMs) * NS_PER_MS)
    {
        stampWire(m_mrmHeartbeat.hdr);
        if (sendRequest(m_mrmHeartbeat.bytes, MslProtocol::MRM_HEARTBEAT_SIZE) == 0)
            m_lastMrmHbSentNs = now;
    }
    keepMslChannelAlive(now);
    return 0;
}

int32 MessagingService::retryForwardMsg()
{
    return m_forwarder->retry();
}

// ---- framework events ----

int32 MessagingService::processMessage(FwMessageQueue* queue, bool& terminate)
{
    if (queue == nullptr)
        return 0;
    FwIntMessage msg;
    bool more = true;
    while (more)
    {
        if (queue->getMessage(&msg, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
        if (msg.appMsg.type != MSG_EVENT)
        {
            if (msg.appMsg.type != MSG_DATA)
                fwLog(LOG_LEVEL_WARNING,
                      "Unexpected message type [%d] received from [%.16s], message seq [%u] . Ignore and continue.",
                      msg.appMsg.type, msg.originatorTxt, msg.msgSeqNum);
            continue;
        }
        logEvent(msg);
        if (processEvent(msg, terminate) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (code == BUFFER_EMPTY)
                continue;
            const EventParam& p = msg.appMsg.event.eventParam;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing event message [%d]. Param: [%.16s] [%d] [%d] [%ld]", code,
                  msg.appMsg.event.id, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
            return fwFail(code, -1);
        }
        if (terminate)
            return 0;
        if (m_connInitRequeued)
        {
            m_connInitRequeued = false;
            return 0;
        }
    }
    return 0;
}

void MessagingService::logEvent(const FwIntMessage& msg)
{
    const EventMsg& e = msg.appMsg.event;
    const EventParam& p = e.eventParam;
    fwLog(LOG_LEVEL_DEBUG, "Received event [%d] from [%.16s]. Param: [%.16s] [%d] [%d] [%ld].", e.id, msg.originatorTxt,
          p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
    if (e.id != CONN_INIT)
        fwLog(LOG_LEVEL_INFO, "Received event [%d] from [%.16s].", e.id, msg.originatorTxt);
}

int32 MessagingService::answerControl(FwEventID ack)
{
    if (m_ctlThdResPtr == nullptr)
        return fwFail(RES_NOT_EXIST, -1);
    EventParam param{};
    return sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, ack, param, m_msgSeqNum);
}

int32 MessagingService::processEvent(const FwIntMessage& msg, bool& terminate)
{
    const EventMsg& e = msg.appMsg.event;
    const EventParam& p = e.eventParam;
    switch (e.id)
    {
    case INIT:
        m_initEventRcvd = true;
        return answerControl(INIT_ACK);
    case APP_READY:
    {
        std::atomic_ref<int32> interval(m_threadResPtr->statusCheckInterval);
        m_savedStatusCheckInterval = interval.load(std::memory_order_relaxed);
        const int64 longer = static_cast<int64>(m_savedStatusCheckInterval) * 10;
        interval.store(longer > INT32_MAX ? INT32_MAX : static_cast<int32>(longer), std::memory_order_relaxed);
        return initMrmTopics();
    }
    case CONN_INIT:
        if (!m_initEventRcvd)
            return 0;
        if (m_recovTopicRecPtr != nullptr && !m_recovTopicRecPtr->publishReady.load(std::memory_order_acquire))
        {
            // The other topics open once recovery can be asked for, or once
            // the handshake had more than its whole time (its resends and
            // two time-outs more).
            const int64 now = m_clock.monoNs();
            if (m_connInitWaitSinceNs == 0)
                m_connInitWaitSinceNs = now;
            const int64 limitNs =
                static_cast<int64>(m_settings.resendThold + 3) * m_settings.rqsTimeoutMs * NS_PER_MS;
            if (now - m_connInitWaitSinceNs <= limitNs)
            {
                ::usleep(1000);
                m_threadResPtr->lastStatusUpdTm.store(m_clock.wallTime().tv_sec, std::memory_order_relaxed);
                m_connInitRequeued = true;
                return sendEventMsg(m_threadResPtr, MQUEUE_HIGH_PRIORITY, CONN_INIT, EventParam{}, m_msgSeqNum);
            }
            fwLog(LOG_LEVEL_WARNING, "Recovery request topic [%.16s] is not ready after [%ld] ms. Open the other topics.",
                  m_recovTopicNameTxt, static_cast<long>((now - m_connInitWaitSinceNs) / NS_PER_MS));
        }
        m_connInitWaitSinceNs = 0;
        if (initAllTopics() != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] initializing the registered topics.", FrameworkErrno::m_fwErrno);
        m_connInitDone = true;
        m_threadResPtr->lastStatusUpdTm.store(m_clock.wallTime().tv_sec, std::memory_order_relaxed);
        if (m_savedStatusCheckInterval != 0)
            std::atomic_ref<int32>(m_threadResPtr->statusCheckInterval)
                .store(m_savedStatusCheckInterval, std::memory_order_relaxed);
        m_drainAllAck = true;
        return 0;
    case TERM:
        terminate = true;
        return 0;
    case SW_ACTIVE:
        m_initEventRcvd = true;
        m_swActiveRcvd = true;
        if (publishReplicationTopic() != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] opening replication topic [%.16s] for publishing.",
                  FrameworkErrno::m_fwErrno, m_repliTopicNameTxt);
        return answerControl(SW_ACTIVE_ACK);
    case SW_STANDBY:
        m_swActiveRcvd = false;
        return answerControl(SW_STANDBY_ACK);
    case CHK_END_REPLICATION:
        fwLog(LOG_LEVEL_INFO, "Received CHK_END_REPLICATION while m_noAppRepliTopic is set to [%d].",
              m_noAppRepliTopic);
        m_chkEndRepli = true;
        return checkAppReplicationTail();
    case TOPIC_PUBLISH:
        return openPublisher(msg);
    case TOPIC_PUBLISH_ACK:
        if (p.paramInt16 == -1)
            fwLog(LOG_LEVEL_WARNING, "Error [%d] creating topic [%.16s] for publishing.", p.paramInt32, p.resNameTxt);
        else
            fwLog(LOG_LEVEL_INFO, "Topic [%.16s] created for publishing.", p.resNameTxt);
        return 0;
    case TOPIC_LEAVE_PUB:
    {
        fwLog(LOG_LEVEL_INFO, "Received TOPIC_LEAVE_PUB event from [%.16s] on topic [%.16s].", msg.originatorTxt,
              p.resNameTxt);
        ResourceName name{};
        std::memcpy(name, p.resNameTxt, sizeof(ResourceName) - 1);
        return deleteTopic(name, 0);
    }
    case TOPIC_SUBSCRIBE:
        return openSubscription(msg);
    case TOPIC_SUBSCRIBE_ACK:
        if (p.paramInt16 == -1)
            fwLog(LOG_LEVEL_WARNING, "Error [%d] creating topic [%.16s] for subscribing.", p.paramInt32, p.resNameTxt);
        else
            fwLog(LOG_LEVEL_INFO, "Topic [%.16s] created for subscribing.", p.resNameTxt);
        return 0;
    case TOPIC_LEAVE_SUB:
    {
        fwLog(LOG_LEVEL_INFO, "Received TOPIC_LEAVE_SUB event from [%.16s] on topic [%.16s].", msg.originatorTxt,
              p.resNameTxt);
        ResourceName name{};
        std::memcpy(name, p.resNameTxt, sizeof(ResourceName) - 1);
        return deleteSubscription(name);
    }
    case TOPIC_SUB_READY_TO_OPEN:
        fwLog(LOG_LEVEL_INFO, "Topic [%.16s] is ready to open for subscription.", p.resNameTxt);
        return 0;
    case TOPIC_PUBLISHER_JOINED:
        fwLog(LOG_LEVEL_INFO, "Publisher [%.8s] joined topic [%.16s].", p.appIdTxt, p.resNameTxt);
        return 0;
    case TOPIC_PUBLISHER_LEFT:
        fwLog(LOG_LEVEL_INFO, "Publisher left topic [%.16s].", p.resNameTxt);
        return 0;
    case UNRECOVERABLE_TOPIC_MSG_GAP:
        fwLog(LOG_LEVEL_WARNING, "Unrecoverable message gap detected on topic [%.16s].", p.resNameTxt);
        return 0;
    case FIRST_SUBSCRIBER_JOINED:
        fwLog(LOG_LEVEL_INFO, "First active subscriber(s) joined topic [%.16s] with currently [%d] DR site subscribers.",
              p.resNameTxt, p.paramInt16);
        return 0;
    case FIRST_DR_SUBSCRIBER_JOINED:
        fwLog(LOG_LEVEL_INFO,
              "First active DR site subscriber(s) joined topic [%.16s] with currently [%d] subscribers.", p.resNameTxt,
              p.paramInt32);
        return 0;
    case LAST_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO, "Last active subscriber left topic [%.16s].", p.resNameTxt);
        return 0;
    case LAST_DR_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO,
              "Last active DR site subscriber left topic [%.16s] with [%d] remaining primary site subscribers.",
              p.resNameTxt, p.paramInt32);
        return 0;
    case MSG_QUEUE_CONGEST:
        fwLog(LOG_LEVEL_WARNING, "Received MSG_QUEUE_CONGEST from [%.16s] on topic [%.16s]. Ignore and continue.",
              msg.originatorTxt, p.resNameTxt);
        return 0;
    case CHK_TAIL_LOST:
    {
        fwLog(LOG_LEVEL_INFO, "Received CHK_TAIL_LOST on topic [%.16s] from [%.16s].", p.resNameTxt,
              msg.originatorTxt);
        ResourceName name{};
        std::memcpy(name, p.resNameTxt, sizeof(ResourceName) - 1);
        return checkReplicationTail(name);
    }
    case FIRST_MRM_SUBSCRIBER_JOINED:
        fwLog(LOG_LEVEL_INFO,
              "First active MRM subscriber(s) joined topic [%.16s] with currently [%d] DR site MRM subscribers.",
              p.resNameTxt, p.paramInt16);
        return 0;
    case FIRST_DR_MRM_SUBSCRIBER_JOINED:
        fwLog(LOG_LEVEL_INFO,
              "First active DR site MRM subscriber(s) joined topic [%.16s] with currently [%d] MRM subscribers.",
              p.resNameTxt, p.paramInt32);
        return 0;
    case LAST_MRM_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO, "Last active MRM subscriber left topic [%.16s].", p.resNameTxt);
        return 0;
    case LAST_DR_MRM_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO,
              "Last active DR site MRM subscriber left topic [%.16s] with [%d] remaining primary site MRM subscribers.",
              p.resNameTxt, p.paramInt32);
        return 0;
    case ACTIVE_SUBSCRIBER_JOINED:
    case ACTIVE_SUBSCRIBER_LEFT:
        return 0;
    default:
        fwLog(LOG_LEVEL_WARNING, "Unexpected event message [%d] received. Ignore and continue.", e.id);
        return 0;
    }
}

int32 MessagingService::topicToOpen(const FwIntMessage& msg, const char* eventName, ResourceName& name,
                                    MsgTopicResource*& topic)
{
    const EventParam& p = msg.appMsg.event.eventParam;
    std::memset(name, 0, sizeof(ResourceName));
    std::memcpy(name, p.resNameTxt, sizeof(ResourceName) - 1);
    fwLog(LOG_LEVEL_INFO, "Received %s event from [%.16s] on topic [%.16s]. Open override [%d]. Last message seq [%lu]",
          eventName, msg.originatorTxt, name, p.paramInt32, static_cast<unsigned long>(p.paramInt64));
    topic = nullptr;
    if (m_resMgr.getMsgTopicRes(name, &topic) != 0 || topic == nullptr)
    {
        const int32 lookup = FrameworkErrno::m_fwErrno;
        topic = nullptr;
        return lookup == RES_NOT_EXIST || lookup == 0 ? MSL_REC_NOT_FOUND : lookup;
    }
    const ResourceStatus status = topic->status.load();
    if (status > RES_ACTIVE)
    {
        topic = nullptr; // closing or closed: nothing to answer
        return 0;
    }
    if (status < RES_INITIALIZED)
        return RES_NOT_INITIALIZED;
    if (status == RES_ACTIVE)
        return MSL_TOPIC_ALREADY_OPEN;
    return 0;
}

int32 MessagingService::publishReplicationTopic()
{
    if (m_appRepliSubRecPtr != nullptr && m_appRepliSubRecPtr->used)
        handOverSubscription(*m_appRepliSubRecPtr);
    if (!m_gblData.m_repliServiceEnabled || m_repliTopicNameTxt[0] == '\0')
        return 0;
    MsgTopicResource* topic = nullptr;
    if (m_resMgr.getMsgTopicRes(m_repliTopicNameTxt, &topic) != 0 || topic == nullptr ||
        topic->regParam.openType == PUBLISH)
        return 0;
    if (SubscriptionRecord* sub = findSubscription(m_repliTopicNameTxt))
        handOverSubscription(*sub);
    topic->regParam.openType = PUBLISH;
    fwLog(LOG_LEVEL_NOTICE, "Replication topic [%.16s] opened for publishing on the switch to active.",
          m_repliTopicNameTxt);
    return addTopic(topic, false);
}

void MessagingService::handOverSubscription(SubscriptionRecord& sub)
{
    ResourceName name{};
    std::memcpy(name, sub.topicNameTxt, sizeof(ResourceName));
    MsgTopicResource* topic = sub.topicResPtr;
    // The numbering goes on from what this instance accepted as subscriber.
    uint64 last = sub.lastAcptMsgSeq;
    TopicHistoryBuffer* hist = topicHistory(name);
    if (hist != nullptr && sub.subscriberTopicPtr != nullptr)
    {
        sub.subscriberTopicPtr->transferTopicHistory(*hist);
        last = std::max(last, hist->lastSeqNum);
    }
    if (topic != nullptr)
        topic->lastMsgSeqNum = last;
    fwLog(LOG_LEVEL_NOTICE, "Subscription of topic [%.16s] handed over at seq# [%lu] on the switch to active.", name,
          static_cast<unsigned long>(last));
    deleteSubscription(name);
}

int32 MessagingService::openPublisher(const FwIntMessage& msg)
{
    const EventParam& p = msg.appMsg.event.eventParam;
    ResourceName name{};
    MsgTopicResource* topic = nullptr;
    int32 code = topicToOpen(msg, "TOPIC_PUBLISH", name, topic);
    if (code == 0 && topic == nullptr)
        return 0;
    if (code == 0)
    {
        MsgTopicOpenType& type = topic->regParam.openType;
        if (p.paramInt32 == 1 && type == SUBSCRIBE)
            type = PUBLISH;
        const bool active = m_gblData.m_appMode.load() == ACTIVE_MODE;
        if (type != PUBLISH && !(type == APPL_REPLICATE && active))
            code = MSL_INVALID_TOPIC_TYPE;
        else if (addTopic(topic, false) != 0)
            code = FrameworkErrno::m_fwErrno;
    }
    return code != 0 ? refuseOpen(TOPIC_PUBLISH_ACK, msg.originatorTxt, name, code) : 0;
}

int32 MessagingService::openSubscription(const FwIntMessage& msg)
{
    const EventParam& p = msg.appMsg.event.eventParam;
    ResourceName name{};
    MsgTopicResource* topic = nullptr;
    int32 code = topicToOpen(msg, "TOPIC_SUBSCRIBE", name, topic);
    if (code == 0 && topic == nullptr)
        return 0;
    if (code == 0)
    {
        MsgTopicOpenType& type = topic->regParam.openType;
        if (p.paramInt32 == 1 && type == PUBLISH)
            type = SUBSCRIBE;
        const bool active = m_gblData.m_appMode.load() == ACTIVE_MODE;
        if (type != SUBSCRIBE && !(type == APPL_REPLICATE && !active))
            code = MSL_INVALID_TOPIC_TYPE;
        else
        {
            if (p.paramInt64 != 0)
                topic->lastMsgSeqNum = static_cast<uint64>(p.paramInt64);
            if (addSubscription(topic, false) != 0)
                code = FrameworkErrno::m_fwErrno;
        }
    }
    return code != 0 ? refuseOpen(TOPIC_SUBSCRIBE_ACK, msg.originatorTxt, name, code) : 0;
}

int32 MessagingService::refuseOpen(FwEventID ack, const ResourceName& origin, const ResourceName& topic, int32 code)
{
    ThreadResource* thread = nullptr;
    if (m_resMgr.getThreadRes(origin, &thread) != 0 || thread == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "Unable to look up the thread resource for [%.16s].", origin);
        return -1;
    }
    // A parameter record of its own per answer: nothing of an earlier
    // event's answer is carried into this one.
    EventParam param{};
    std::memcpy(param.resNameTxt, topic, sizeof(ResourceName));
    param.paramInt16 = -1;
    param.paramInt32 = code;
    if (sendEventMsg(thread, MQUEUE_NORMAL, ack, param, m_msgSeqNum) == 0)
        return 0;
    if (!isFullQueueCode(FrameworkErrno::m_fwErrno))
        return -1;
    fwLog(LOG_LEVEL_WARNING, "The message queue of [%.16s] is full. Discard event %s and continue.", origin,
          ack == TOPIC_PUBLISH_ACK ? "TOPIC_PUBLISH_ACK" : "TOPIC_SUBSCRIBE_ACK");
    return 0;
}
