#include "FendralCore/messaging/MsgReplicator.h"

#include "FendralCore/dispatch/MessageStore.h"
#include "FendralCore/dispatch/Pipeline.h"
#include "FendralCore/dispatch/PlMessageStore.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/messaging/MessagingTopic.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/messaging/ReplicationRecord.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"
#include "FendralCore/runtime/TopicPublisher.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sched.h>

std::atomic<uint64> MsgReplicator::s_lastRepliSeqAcked{0};

namespace
{
constexpr int64 NS_PER_MS = 1000000;
constexpr int32 THREAD_LOCK_WAIT_US = 1000000;

void sleepMs(int64 ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * NS_PER_MS)};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR)
    {
    }
}

bool isConnEvent(int32 id)
{
    return id == CONN_TERM || id == NEW_CONNECT || id == CONNECTED || id == DISCONNECTED;
}

bool published(int32 code)
{
    return code == MSL_NO_SUBSCRIBER || code == MSL_NO_DR_SITE_SUBSCRIBER || code == MSL_NO_MRM_SUBSCRIBER ||
           code == MSL_NO_DR_SITE_MRM_SUBSCRIBER || code == MSL_FORCE_SENT;
}

bool sameName(const char* a, const char* b)
{
    return std::strncmp(a, b, sizeof(ResourceName)) == 0;
}

int32 readInt(const ConfigManager* config, const char* label, int32 defaultValue)
{
    int32 value = defaultValue;
    if (config == nullptr || config->getInt32ConfigPara(label, value, defaultValue) != 0)
        return defaultValue;
    return value;
}
} // namespace

MsgReplicator::MsgReplicator(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                             const ConfigManager* configMgr)
    : EventMessage(threadResPtr, resMgr),
      m_threadResPtr(threadResPtr),
      m_gblData(gblData),
      m_configMgr(configMgr),
      m_fdWait(NUM_PRINCIPLE_DESC)
{
    uint32 outstd = DEFAULT_HOLD_RING_OUTSTD_MSG;
    if (configMgr == nullptr ||
        configMgr->getUint32ConfigPara(REPLI_OUTSTD_MSG_LABEL, outstd, DEFAULT_HOLD_RING_OUTSTD_MSG) != 0 ||
        outstd == 0)
        outstd = DEFAULT_HOLD_RING_OUTSTD_MSG;
    m_ring.resize(static_cast<size_t>(outstd) * 3 + 1);
    m_pendingCap = m_ring.size();

    ReplicatedOutput::Settings out;
    out.tmpBufSize = readInt(configMgr, TMP_BUF_SIZE_LABEL, ReplicatedOutput::DEFAULT_TMP_BUF_SIZE);
    out.tmpBufLimit = readInt(configMgr, TMP_BUF_LIMIT_LABEL, ReplicatedOutput::DEFAULT_TMP_BUF_LIMIT);
    m_contMsgProcNum = FwConfigKeys::readPositiveInt32(configMgr, REP_MSG_PROC_NUM_LABEL, DEFAULT_REP_MSG_PROC_NUM);
    m_timeout = FwConfigKeys::readPositiveInt32(configMgr, STS_RPT_INTERVAL_LABEL, DEFAULT_STS_RPT_INTERVAL);
    m_repliTimeout =
        std::min(FwConfigKeys::readPositiveInt32(configMgr, REPLI_TIMER_INTV_LABEL, DEFAULT_REPLI_TIMER_INTV),
                 m_timeout);

    m_delivery = std::make_unique<ReplicationDelivery>(static_cast<EventMessage&>(*this), resMgr, m_msgSeqNum,
                                                       gblData.m_maxMsgSize);
    m_output = std::make_unique<ReplicatedOutput>(static_cast<EventMessage&>(*this), m_msgSeqNum, nullptr,
                                                  gblData.m_maxMsgSize, std::move(out));

    // A position left from an earlier replicator of this process is not ours.
    s_lastRepliSeqAcked.store(0, std::memory_order_release);
}

MsgReplicator::~MsgReplicator()
{
    delete m_timerPtr;
}

void MsgReplicator::setLastRepliMsgSeq(uint64 lastRepliMsgAcked)
{
    s_lastRepliSeqAcked.store(lastRepliMsgAcked, std::memory_order_release);
}

void MsgReplicator::refreshLiveness()
{
    m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
}

void MsgReplicator::answer(FwEventID ack)
{
    if (m_ctlThdResPtr == nullptr)
        return;
    if (sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, ack, EventParam{}, m_msgSeqNum) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending event [%d] to CTL_THREAD.", FrameworkErrno::m_fwErrno, ack);
}

// ---- start and loops ----

int32 MsgReplicator::initialize()
{
    ResourceName name{};
    ResourceManager::copyResourceName(name, "CTL_THREAD");
    if (m_resManager.getThreadRes(name, &m_ctlThdResPtr) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting main control thread resource pointer.", code);
        return fwFail(code, code);
    }
    // Without the messaging service no topic is reopened after a conflict;
    // without the replication topic records take effect unreplicated. Both
    // are logged, and the thread goes on serving the control thread: ending
    // it would end the application.
    ResourceManager::copyResourceName(name, "MSG_SERVICE");
    if (m_resManager.getThreadRes(name, &m_msgSvcThdResPtr) != 0)
    {
        m_msgSvcThdResPtr = nullptr;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting messaging service thread resource pointer.",
              FrameworkErrno::m_fwErrno);
    }
    // Closes are asked of the network thread; without one nothing is open.
    ThreadResource* net = nullptr;
    ResourceManager::copyResourceName(name, "NET_RECEIVER");
    if (m_resManager.getThreadRes(name, &net) == 0)
        m_output->setNetThread(net);

    char topic[sizeof(ResourceName) + 16] = {};
    std::snprintf(topic, sizeof(topic), "%.8s_FW_REPL", m_gblData.m_appIdTxt);
    ResourceManager::copyResourceName(m_repliTopicNameTxt, topic);
    if (m_resManager.getMsgTopicRes(m_repliTopicNameTxt, &m_msgTopicResPtr) != 0 || m_msgTopicResPtr == nullptr)
    {
        m_msgTopicResPtr = nullptr;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting the replication topic resource pointer. Records take effect "
              "unreplicated.", FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : RES_NOT_EXIST);
    }

    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    if (high == nullptr || normal == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, THREAD_NOT_ACTIVE);
    m_highQueueLen = high->getNumElem() + high->getNumFreeEntry();
    m_delivery->forwarder().setReplicator(m_threadResPtr);
    if (m_gblData.m_optMode.load() == CPU_UTILIZATION)
    {
        m_timerPtr = new Timer(m_repliTimeout, true);
        if (m_fdWait.addFileDesc(high, IO_WAIT_READ) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] adding high priority message queue to Wait object in Message Replicator.",
                  code);
            return fwFail(code, code);
        }
        if (m_fdWait.addFileDesc(normal, IO_WAIT_READ) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] adding normal message queue to Wait object in Message Replicator.",
                  code);
            return fwFail(code, code);
        }
        if (m_fdWait.addFileDesc(m_timerPtr, IO_WAIT_READ) != 0 || m_timerPtr->startTimer() != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] adding timer message queue to Wait object in Message Replicator.",
                  code);
            return fwFail(code, code);
        }
    }
    m_lastStatusNs = m_lastTimerNs = MonoClock::nowNs();
    refreshLiveness();
    return 0;
}

int32 MsgReplicator::run(int32& execExitHdr)
{
    execExitHdr = 1;
    return runGuarded(
        "Message Replicator",
        [&]() -> int32 {
            const int32 r = initialize();
            if (r != 0)
            {
                fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Proceed thread termination.", r);
                return r;
            }
            if (m_gblData.m_optMode.load() == CPU_UTILIZATION)
                loopCpu();
            else
                loopLowLatency();
            fwLog(LOG_LEVEL_INFO,
                  "Message Replicator ends with [%u] records held and [%zu] waiting; [%lu] records replicated, the "
                  "replication topic would block [%lu] times.",
                  m_heldCount, m_waiting.size(), static_cast<unsigned long>(m_numReplicated),
                  static_cast<unsigned long>(m_numWouldBlock));
            execExitHdr = 0;
            return 0;
        },
        [] { fwLog(LOG_LEVEL_CRITICAL, "Caught an exception at Message Replicator. Proceed thread termination."); });
}

void MsgReplicator::loopCpu()
{
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    FileDescriptor* ready[NUM_PRINCIPLE_DESC] = {};
    // A queue whose announced batch was left unread: its descriptor will not
    // be ready again for those messages.
    bool highLeft = false;
    bool normalLeft = false;
    while (!m_terminate)
    {
        const bool goOn = (highLeft && sideRoom()) || (normalLeft && intakeOpen());
        // Deliveries parked for a full application queue are retried within
        // a millisecond rather than at the next tick: a burst would otherwise
        // go out one queue's worth per tick.
        const bool parked = m_delivery->hasUnsent();
        const int32 n = m_fdWait.wait(ready, NUM_PRINCIPLE_DESC, goOn ? 0 : (parked ? 1 : -1));
        if (parked)
            m_delivery->retry();
        for (int32 i = 0; i < n; ++i)
        {
            if (ready[i] == m_timerPtr)
            {
                char expiry[8];
                int done = 0;
                m_timerPtr->receive(expiry, sizeof(expiry), done);
                onTimer();
            }
            else if (ready[i] == high)
                highLeft = true;
            else if (ready[i] == normal)
                normalLeft = true;
        }
        if (highLeft)
            highLeft = processQueue(high, true);
        if (!m_terminate && normalLeft && intakeOpen())
            normalLeft = processQueue(normal, false);
    }
}

void MsgReplicator::loopLowLatency()
{
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    int32 idle = 0;
    while (!m_terminate)
    {
        const int64 now = MonoClock::nowNs();
        if (now - m_lastTimerNs > static_cast<int64>(m_repliTimeout) * NS_PER_MS)
            onTimer();
        else if (m_delivery->hasUnsent())
            m_delivery->retry();
        const uint32 before = m_msgSeqNum;
        const size_t waitingBefore = m_waiting.size();
        bool busy = false;
        if (sideRoom())
            busy |= processQueue(high, true) || m_msgSeqNum != before;
        if (!m_terminate && intakeOpen())
            busy |= processQueue(normal, false);
        busy |= m_waiting.size() != waitingBefore;
        if (busy)
        {
            idle = 0;
            continue;
        }
        if (++idle > m_gblData.m_idleSpinCycle)
        {
            if (m_gblData.m_lowLatencyCpuSaver)
                ::sched_yield();
            idle = 0;
        }
    }
}

void MsgReplicator::onTimer()
{
    const int64 now = MonoClock::nowNs();
    m_lastTimerNs = now;
    if (now - m_lastStatusNs > static_cast<int64>(m_timeout) * NS_PER_MS)
    {
        m_lastStatusNs = now;
        refreshLiveness();
    }
    m_output->flushBuffered();
    m_delivery->retry();
    if (m_waitForTopic)
        waitForReplicationTopic();
    processReplicatedMsg();
    drainWaiting();
}

bool MsgReplicator::processQueue(FwMessageQueue* queue, bool high)
{
    int32 count = 0;
    bool more = true;
    while (!m_terminate)
    {
        if (high ? !sideRoom() : !intakeOpen())
            return true;
        if (queue->getMessage(&m_msg, more) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (code != BUFFER_EMPTY)
            {
                fwLog(LOG_LEVEL_ERROR,
                      high ? "Error [%d] processing messages on high priority queue."
                           : "Error [%d] processing messages on normal priority queue.",
                      code);
                fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", code);
            }
            return false;
        }
        handleMessage();
        if (++count % m_contMsgProcNum == 0)
            refreshLiveness();
        if (!more)
            return false;
    }
    return more;
}

void MsgReplicator::handleMessage()
{
    if (m_msg.appMsg.type == MSG_EVENT)
    {
        handleEvent();
        return;
    }
    if (m_msg.appMsg.type == MSG_DATA)
    {
        submit(m_msg);
        return;
    }
    fwLog(LOG_LEVEL_NOTICE,
          "Unexpected message type [%d] received from [%.16s], message seq [%u] . Ignore and continue.",
          m_msg.appMsg.type, m_msg.originatorTxt, m_msg.msgSeqNum);
}

void MsgReplicator::handleEvent()
{
    const EventMsg& evt = m_msg.appMsg.event;
    const EventParam& p = evt.eventParam;
    fwLog(LOG_LEVEL_DEBUG, "Received event [%d] from [%.16s]. Param: [%.16s] [%d] [%d] [%ld].", evt.id,
          m_msg.originatorTxt, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
    switch (evt.id)
    {
    case INIT:
        m_initEventRcvd = true;
        answer(INIT_ACK);
        return;
    case SW_ACTIVE:
        m_initEventRcvd = true;
        answer(SW_ACTIVE_ACK);
        return;
    case SW_STANDBY:
        // This instance keeps replicating until the thread is restarted.
        answer(SW_STANDBY_ACK);
        return;
    case CHK_END_REPLICATION:
        // The active side receives nothing, so nothing is outstanding.
        answer(CONF_END_REPLICATION);
        return;
    case CONN_INIT:
        if (m_initEventRcvd)
            waitForReplicationTopic();
        return;
    case CONN_INIT_DONE:
        return; // the topic's readiness is looked at on the timer
    case REPLICATION_ACK_RCVD:
        processReplicatedMsg();
        drainWaiting();
        return;
    case TERM:
        m_terminate = true;
        return;
    case APP_READY:
    case MSG_QUEUE_CONGEST:
    case PIPELINE_CONGEST:
        return;
    case TOPIC_CONFLICT: {
        sleepMs(10);
        EventParam open{};
        ResourceManager::copyResourceName(open.resNameTxt, p.resNameTxt);
        if (m_msgSvcThdResPtr == nullptr ||
            sendEventMsg(m_msgSvcThdResPtr, MQUEUE_NORMAL, TOPIC_PUBLISH, open, m_msgSeqNum) != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] asking to open topic [%.16s] again.", FrameworkErrno::m_fwErrno,
                  p.resNameTxt);
        return;
    }
    default:
        break;
    }
    if (isConnEvent(evt.id) || ReplicationRecord::isTopicEvent(evt.id))
    {
        if (ReplicationRecord::isTopicEvent(evt.id) && isRepliTopicEvent(evt))
            processRepliTopicEvent(evt);
        else
            submit(m_msg);
        return;
    }
    fwLog(LOG_LEVEL_NOTICE, "Unexpected event message [%d] received. Ignore and continue.", evt.id);
}

// ---- intake, replication and release ----

bool MsgReplicator::intakeOpen() const
{
    return m_connInitDone ? m_waiting.empty() : m_waiting.size() < m_pendingCap;
}

bool MsgReplicator::sideRoom() const
{
    return m_waiting.size() < (m_connInitDone ? 0 : m_pendingCap) + m_highQueueLen + 1;
}

void MsgReplicator::submit(const FwIntMessage& msg)
{
    if (m_connInitDone && m_waiting.empty())
    {
        processReplicatedMsg();
        if (replicateMessage(msg) == Outcome::DEFERRED)
            m_waiting.push_back(msg);
        processReplicatedMsg();
        return;
    }
    m_waiting.push_back(msg);
}

void MsgReplicator::drainWaiting()
{
    if (!m_connInitDone)
        return;
    size_t count = 0;
    while (!m_waiting.empty() && !m_terminate)
    {
        if (replicateMessage(m_waiting.front()) == Outcome::DEFERRED)
            break;
        m_waiting.pop_front();
        if (++count % static_cast<size_t>(m_contMsgProcNum) == 0)
            refreshLiveness();
        processReplicatedMsg();
    }
    if (m_waiting.empty())
        m_loggedFull = false;
}

MsgReplicator::Outcome MsgReplicator::replicateMessage(const FwIntMessage& msg)
{
    if (m_heldCount == m_ring.size())
    {
        if (!m_loggedFull)
        {
            m_loggedFull = true;
            fwLog(LOG_LEVEL_INFO,
                  "The replicated message buffer is full. Store the internal message [%u] received from [%.16s] to TMP "
                  "buffer and wait for retry.",
                  msg.msgSeqNum, msg.originatorTxt);
        }
        return Outcome::DEFERRED;
    }
    uint32 len = 0;
    if (msg.appMsg.type == MSG_DATA && msg.appMsg.data.dataDir == OUTGOING_DATA)
    {
        const Data_t& d = msg.appMsg.data;
        if (d.fdPtr == nullptr)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "Channel resource pointer is not set in message [%u] received from [%.16s]. Discard and continue.",
                  msg.msgSeqNum, msg.originatorTxt);
            return Outcome::DONE;
        }
        // The standby learns the forward thread by its name, and a topic's
        // position at the time; this side's message stays as it is.
        const auto* fwd = reinterpret_cast<const ThreadResource*>(d.msgTopicSeq);
        uint64 topicSeq = 0;
        if (d.chnType == MSG_TOPIC_CHANNEL)
        {
            auto* topic = dynamic_cast<MessagingTopic*>(static_cast<MsgTopicResource*>(d.fdPtr)->msgTopicPtr);
            topicSeq = topic != nullptr ? topic->getLastSeqNum() : 0;
        }
        len = ReplicationRecord::encodeOutgoing(msg, fwd != nullptr ? &fwd->threadNameTxt : nullptr, topicSeq,
                                                m_record);
    }
    else
    {
        if (msg.appMsg.type == MSG_DATA && msg.appMsg.data.fdPtr == nullptr)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "Channel resource pointer is not set in message [%u] received from [%.16s]. Discard and continue.",
                  msg.msgSeqNum, msg.originatorTxt);
            return Outcome::DONE;
        }
        len = ReplicationRecord::encode(msg, m_record);
    }
    uint64 seq = 0;
    int32 wouldBlocks = 0;
    if (m_repliTopicPtr == nullptr)
        m_noRepliSubscriber = true; // no replication topic: nobody to wait for
    while (m_repliTopicPtr != nullptr)
    {
        if (m_repliTopicPtr->sendMessage(m_record, len, seq, 0, true, nullptr, 0,
                                         false) == 0)
        {
            m_noRepliSubscriber = false;
            break;
        }
        const int32 code = FrameworkErrno::m_fwErrno;
        if (published(code))
        {
            if (code == MSL_NO_SUBSCRIBER)
                m_noRepliSubscriber = true;
            break;
        }
        refreshLiveness();
        if (code == WOULD_BLOCK)
            ++m_numWouldBlock;
        if (code == WOULD_BLOCK && ++wouldBlocks <= PUBLISH_WOULD_BLOCK_RETRIES)
        {
            sleepMs(10);
            continue;
        }
        if (code == WOULD_BLOCK || code == SEND_FAILED)
            return Outcome::DEFERRED; // the timer tries again; TERM is still heard meanwhile
        fwLog(LOG_LEVEL_INFO, "Error [%d] occurred on replicating message received via message queue.", code);
        return Outcome::DONE;
    }
    ++m_numReplicated;
    MessageBuf& slot = m_ring[(m_heldHead + m_heldCount) % m_ring.size()];
    slot.repliMsgSeq = seq;
    // The held copy is the message as this side acts on it.
    std::memcpy(&slot.msg, &msg, msg.usedSize());
    ++m_heldCount;
    m_heldSeen.store(m_heldCount, std::memory_order_relaxed);
    return Outcome::DONE;
}

void MsgReplicator::processReplicatedMsg()
{
    while (m_heldCount > 0)
    {
        MessageBuf& slot = m_ring[m_heldHead];
        if (!m_noRepliSubscriber && slot.repliMsgSeq > s_lastRepliSeqAcked.load(std::memory_order_acquire))
            return;
        release(slot.msg);
        m_heldHead = static_cast<uint32>((m_heldHead + 1) % m_ring.size());
        --m_heldCount;
        m_heldSeen.store(m_heldCount, std::memory_order_relaxed);
    }
}

void MsgReplicator::release(const FwIntMessage& msg)
{
    if (msg.appMsg.type == MSG_DATA)
    {
        switch (msg.appMsg.data.chnType)
        {
        case TCP_CHANNEL:
            processUnicastMessage(msg);
            return;
        case UDP_CHANNEL:
            processMulticastMessage(msg);
            return;
        case MSG_TOPIC_CHANNEL:
            processTopicMessage(msg);
            return;
        default:
            fwLog(LOG_LEVEL_NOTICE, "Unknown external channel type [%d] found on message [%u] from [%.16s]. Ignore and "
                  "continue.", msg.appMsg.data.chnType, msg.msgSeqNum, msg.originatorTxt);
            return;
        }
    }
    const int32 id = msg.appMsg.event.id;
    if (id == CONN_TERM)
        processConnTerm(msg);
    else if (isConnEvent(id))
        processConnEvent(msg);
    else if (ReplicationRecord::isTopicEvent(id))
        processTopicEvent(msg);
    else
        fwLog(LOG_LEVEL_NOTICE, "Unexpected event message [%d] received. Ignore and continue.", id);
}

// ---- the replication topic ----

bool MsgReplicator::replicationTopicReady()
{
    MsgTopicResource* res = m_msgTopicResPtr;
    // The messaging service publishes the pointer, then the status: read them
    // in the other order.
    if (res == nullptr || res->status.load(std::memory_order_acquire) != RES_ACTIVE)
        return false;
    TopicPublisher* ptr = std::atomic_ref<TopicPublisher*>(res->msgTopicPtr).load(std::memory_order_acquire);
    if (ptr == nullptr)
        return false;
    const auto* topic = dynamic_cast<const MessagingTopic*>(ptr);
    return topic == nullptr || topic->isPublishReady();
}

void MsgReplicator::waitForReplicationTopic()
{
    if (m_msgTopicResPtr != nullptr && !replicationTopicReady())
    {
        // Looked at again on every timer tick; queues are served meanwhile.
        m_waitForTopic = true;
        return;
    }
    m_waitForTopic = false;
    m_repliTopicPtr = m_msgTopicResPtr != nullptr
                          ? std::atomic_ref<TopicPublisher*>(m_msgTopicResPtr->msgTopicPtr).load(std::memory_order_acquire)
                          : nullptr;
    if (!m_connInitDone)
    {
        m_connInitDone = true;
        const size_t pending = m_waiting.size();
        drainWaiting();
        fwLog(LOG_LEVEL_INFO, "[%zu] pending messages processed.", pending - m_waiting.size());
    }
}

bool MsgReplicator::isRepliTopicEvent(const EventMsg& evt) const
{
    return sameName(evt.eventParam.resNameTxt, m_repliTopicNameTxt);
}

void MsgReplicator::postEventToApplThreads(FwEventID id, const EventParam& param, MessageQueueType queueType)
{
    const int32 locked = m_resManager.lockThreadRes(THREAD_LOCK_WAIT_US);
    if (locked != 0)
        fwLog(LOG_LEVEL_NOTICE, "Timeout waiting for the resource lock, proceed anyway.");
    ResourceName name{};
    ThreadResource* res = nullptr;
    for (int32 w = m_resManager.getThreadFirstRes(name, &res); w == 0; w = m_resManager.getThreadNextRes(name, &res))
    {
        if (!res->appThread || res->status.load() != RES_ACTIVE || res->msgQueuePtrArray[queueType] == nullptr)
            continue;
        if (sendEventMsg(res, queueType, id, param, m_msgSeqNum) != 0)
            fwLog(LOG_LEVEL_ERROR, "Error [%d] sending event [%d] to [%.16s].", FrameworkErrno::m_fwErrno, id,
                  res->threadNameTxt);
    }
    if (locked == 0)
        m_resManager.unlockThreadRes();
}

void MsgReplicator::processRepliTopicEvent(const EventMsg& evt)
{
    const EventParam& p = evt.eventParam;
    const bool waitDr = m_msgTopicResPtr != nullptr && m_msgTopicResPtr->regParam.waitForDrSiteAck;
    EventParam notice{};
    ResourceManager::copyResourceName(notice.resNameTxt, m_repliTopicNameTxt);
    notice.paramInt16 = p.paramInt16;
    notice.paramInt32 = p.paramInt32;
    switch (evt.id)
    {
    case TOPIC_PUBLISH_ACK:
        fwLog(LOG_LEVEL_INFO, "Received TOPIC_PUBLISH_ACK for topic [%.16s]. Status [%d].", p.resNameTxt,
              p.paramInt16);
        if (p.paramInt16 == -1)
        {
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] opening topic [%.16s] for publish.", p.paramInt32, p.resNameTxt);
            if (p.paramInt32 == MSL_PUB_TOPIC_EXIST)
            {
                sleepMs(10);
                EventParam open{};
                ResourceManager::copyResourceName(open.resNameTxt, p.resNameTxt);
                if (m_msgSvcThdResPtr != nullptr)
                    sendEventMsg(m_msgSvcThdResPtr, MQUEUE_NORMAL, TOPIC_PUBLISH, open, m_msgSeqNum);
            }
        }
        else if (p.paramInt16 < 0)
        {
            if (p.paramInt64 >= 1)
                fwLog(LOG_LEVEL_ERROR,
                      "Message sequence gap size [%lu] detected on opening publisher topic [%.16s]. Continue "
                      "processing.",
                      static_cast<unsigned long>(p.paramInt64), p.resNameTxt);
        }
        else if (p.paramInt32 == 0)
        {
            fwLog(LOG_LEVEL_INFO, "No subscriber joined the topic [%.16s] at topic creation.", p.resNameTxt);
            m_repliOnHold = true;
            notice.paramInt64 = REPLI_NO_SUBSCRIBER;
            postEventToApplThreads(REPLI_SUBSCRIBER_NOT_AVAIL, notice, MQUEUE_HIGH_PRIORITY);
        }
        else
        {
            m_noRepliSubscriber = false;
            fwLog(LOG_LEVEL_INFO,
                  "First [%d] subscribers joined the topic [%.16s] at topic creation and [%d] of them are DR site "
                  "subscribers.",
                  p.paramInt32, p.resNameTxt, p.paramInt16);
            if (waitDr && p.paramInt16 == 0)
            {
                m_repliOnHold = true;
                notice.paramInt64 = REPLI_NO_DR_SITE_SUBSCRIBER;
                postEventToApplThreads(REPLI_SUBSCRIBER_NOT_AVAIL, notice, MQUEUE_HIGH_PRIORITY);
            }
        }
        break;
    case FIRST_SUBSCRIBER_JOINED:
        m_noRepliSubscriber = false;
        fwLog(LOG_LEVEL_INFO, "First [%d] subscribers joined the topic [%.16s] and [%d] from DR site.", p.paramInt32,
              p.resNameTxt, p.paramInt16);
        if (m_repliOnHold)
        {
            notice.paramInt64 = waitDr && p.paramInt16 > 0 ? REPLI_DR_SITE_SUBSCRIBER_AVAIL : REPLI_SUBSCRIBER_AVAIL;
            postEventToApplThreads(REPLI_SUBSCRIBER_REJOINED, notice, MQUEUE_HIGH_PRIORITY);
            if (!(waitDr && p.paramInt16 == 0))
                m_repliOnHold = false;
        }
        break;
    case FIRST_DR_SUBSCRIBER_JOINED:
        fwLog(LOG_LEVEL_INFO, "First [%d] DR site subscribers joined the topic [%.16s] with total [%d] subscribers.",
              p.paramInt16, p.resNameTxt, p.paramInt32);
        if (m_repliOnHold)
        {
            m_repliOnHold = false;
            notice.paramInt64 = REPLI_DR_SITE_SUBSCRIBER_AVAIL;
            postEventToApplThreads(REPLI_SUBSCRIBER_REJOINED, notice, MQUEUE_HIGH_PRIORITY);
        }
        break;
    case LAST_SUBSCRIBER_LEFT:
        m_noRepliSubscriber = true;
        m_repliOnHold = true;
        fwLog(LOG_LEVEL_INFO, "Last subscribers left the topic [%.16s].", p.resNameTxt);
        notice.paramInt64 = REPLI_NO_SUBSCRIBER;
        postEventToApplThreads(REPLI_SUBSCRIBER_NOT_AVAIL, notice, MQUEUE_HIGH_PRIORITY);
        // Nobody acknowledges any more: what is held takes effect now.
        processReplicatedMsg();
        drainWaiting();
        break;
    case LAST_DR_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO, "Last DR site subscribers left the topic [%.16s] with [%d] primary site subscribers remaining.",
              p.resNameTxt, p.paramInt32);
        if (waitDr)
        {
            m_repliOnHold = true;
            notice.paramInt64 = REPLI_NO_DR_SITE_SUBSCRIBER;
            postEventToApplThreads(REPLI_SUBSCRIBER_NOT_AVAIL, notice, MQUEUE_HIGH_PRIORITY);
        }
        break;
    case FIRST_MRM_SUBSCRIBER_JOINED:
        fwLog(LOG_LEVEL_INFO, "First [%d] MRM joined the topic [%.16s] and [%d] from DR site.", p.paramInt32,
              p.resNameTxt, p.paramInt16);
        break;
    case FIRST_DR_MRM_SUBSCRIBER_JOINED:
        fwLog(LOG_LEVEL_INFO, "First [%d] DR site MRM joined the topic [%.16s] with total [%d] MRM.", p.paramInt16,
              p.resNameTxt, p.paramInt32);
        break;
    case LAST_MRM_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO, "Last MRM left the topic [%.16s].", p.resNameTxt);
        break;
    case LAST_DR_MRM_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO, "Last DR site MRM left the topic [%.16s] with [%d] primary site MRM remaining.",
              p.resNameTxt, p.paramInt32);
        break;
    case ACTIVE_SUBSCRIBER_JOINED:
    case ACTIVE_SUBSCRIBER_LEFT:
        fwLog(LOG_LEVEL_INFO,
              evt.id == ACTIVE_SUBSCRIBER_JOINED ? "Active subscriber [%.8s:%ld:%d] joined the topic [%.16s]."
                                                 : "Active subscriber [%.8s:%ld:%d] left the topic [%.16s].",
              p.appIdTxt, static_cast<long>(p.paramInt64), p.paramInt16, p.resNameTxt);
        break;
    default:
        break;
    }
}

// ---- release handlers ----

void MsgReplicator::processUnicastMessage(const FwIntMessage& msg)
{
    const Data_t& d = msg.appMsg.data;
    auto* res = static_cast<TcpConnResource*>(d.fdPtr);
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "The TCP resource record pointer not set in the message [%u] received from [%.16s]. "
              "Discard the message and continue.", msg.msgSeqNum, msg.originatorTxt);
        return;
    }
    ResourceName name{};
    loadTcpConnName(*res, name);
    if (!sameName(name, d.channelNameTxt))
    {
        fwLog(LOG_LEVEL_NOTICE,
              "TCP record name mismatched on message [%u] received from [%.16s]. The resource name in message: "
              "[%.16s], The resource name in resource record: [%.16s]. Discard the message and continue.",
              msg.msgSeqNum, msg.originatorTxt, d.channelNameTxt, name);
        return;
    }
    switch (d.dataDir)
    {
    case INCOMING_DATA: {
        ReplicationDelivery::Channel ch;
    ReplicationDelivery::channelOf(*res, ch);
        deliverData(ch, msg);
        return;
    }
    case INTER_THREAD_DATA:
        return;
    case OUTGOING_DATA: {
        if (m_output->sendTcp(*res, msg) != 0)
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] sending message [%u] on TCP channel [%.16s].",
                  FrameworkErrno::m_fwErrno, msg.msgSeqNum, d.channelNameTxt);
        ReplicationDelivery::Channel ch;
        ReplicationDelivery::channelOf(*res, ch);
        forwardCopy(msg, ch, 0);
        return;
    }
    default:
        fwLog(LOG_LEVEL_NOTICE, "Unknown data direction [%d] found on message [%u] from [%.16s]. Ignore and continue.",
              d.dataDir, msg.msgSeqNum, msg.originatorTxt);
    }
}

void MsgReplicator::processMulticastMessage(const FwIntMessage& msg)
{
    const Data_t& d = msg.appMsg.data;
    auto* res = static_cast<UdpConnResource*>(d.fdPtr);
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "The UDP resource record pointer not set in the message [%u] received from [%.16s]. "
              "Discard the message and continue.", msg.msgSeqNum, msg.originatorTxt);
        return;
    }
    ReplicationDelivery::Channel ch;
    ReplicationDelivery::channelOf(*res, ch);
    switch (d.dataDir)
    {
    case INCOMING_DATA:
        deliverData(ch, msg);
        return;
    case INTER_THREAD_DATA:
        return;
    case OUTGOING_DATA:
        m_output->sendUdp(*res, msg);
        forwardCopy(msg, ch, 0);
        return;
    default:
        fwLog(LOG_LEVEL_NOTICE, "Unknown data direction [%d] found on message [%u] from [%.16s]. Ignore and continue.",
              d.dataDir, msg.msgSeqNum, msg.originatorTxt);
    }
}

void MsgReplicator::processTopicMessage(const FwIntMessage& msg)
{
    const Data_t& d = msg.appMsg.data;
    auto* res = static_cast<MsgTopicResource*>(d.fdPtr);
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Topic resource record pointer is not set in the message [%u] received from [%.16s]. "
              "Discard the message and continue.", msg.msgSeqNum, msg.originatorTxt);
        return;
    }
    ReplicationDelivery::Channel ch;
    ReplicationDelivery::channelOf(*res, ch);
    switch (d.dataDir)
    {
    case INCOMING_DATA:
        deliverData(ch, msg);
        return;
    case INTER_THREAD_DATA:
        return;
    case OUTGOING_DATA: {
        uint64 topicSeq = 0;
        m_output->sendTopic(*res, msg, topicSeq);
        forwardCopy(msg, ch, topicSeq);
        return;
    }
    default:
        fwLog(LOG_LEVEL_NOTICE, "Unknown data direction [%d] found on message [%u] from [%.16s]. Ignore and continue.",
              d.dataDir, msg.msgSeqNum, msg.originatorTxt);
    }
}

void MsgReplicator::processConnTerm(const FwIntMessage& msg)
{
    const EventParam& p = msg.appMsg.event.eventParam;
    TcpConnResource* res = nullptr;
    if (m_resManager.getTcpConnRes(p.resNameTxt, &res, false) != 0 || res == nullptr)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == RES_NOT_EXIST)
            fwLog(LOG_LEVEL_NOTICE, "The TCP resource [%.16s] does not exist. Card CONN_TERM and continue.",
                  p.resNameTxt);
        else
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] locating TCP resource [%.16s]. Discard CONN_TERM and continue.", code,
                  p.resNameTxt);
        return;
    }
    if (res->status.load(std::memory_order_acquire) == RES_CONNECTED)
        m_output->requestClose(*res, 0);
}

void MsgReplicator::processConnEvent(const FwIntMessage& msg)
{
    const EventMsg& evt = msg.appMsg.event;
    TcpConnResource* res = nullptr;
    if (m_resManager.getTcpConnRes(evt.eventParam.resNameTxt, &res, false) != 0 || res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] locating TCP resource [%.16s]. Discard event [%d] and continue.",
              FrameworkErrno::m_fwErrno, evt.eventParam.resNameTxt, evt.id);
        return;
    }
    const bool disconnected = evt.id == DISCONNECTED;
    const bool serverData = res->regParam.tcpMode == TCP_SERVER_DATA_MODE;
    if (disconnected)
    {
        m_output->dropTcpBuffer(*res);
        // A client channel is ready again before its owner hears of the close.
        if (!serverData)
            res->status.store(RES_INITIALIZED, std::memory_order_release);
    }
    if (res->regParam.replicationMode != OUTPUT_REPLICATION || disconnected)
    {
        ReplicationDelivery::Channel ch;
    ReplicationDelivery::channelOf(*res, ch);
        deliverEvent(ch, msg);
    }
    if (disconnected && serverData)
    {
        ResourceName name{};
        loadTcpConnName(*res, name);
        m_resManager.removeTcpClientConnRes(name, true);
    }
}

void MsgReplicator::processTopicEvent(const FwIntMessage& msg)
{
    const EventParam& p = msg.appMsg.event.eventParam;
    MsgTopicResource* res = nullptr;
    if (m_resManager.getMsgTopicRes(p.resNameTxt, &res) != 0 || res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] locating topic resource [%.16s]. Discard event [%d] and continue.",
              FrameworkErrno::m_fwErrno, p.resNameTxt, msg.appMsg.event.id);
        return;
    }
    ReplicationDelivery::Channel ch;
    ReplicationDelivery::channelOf(*res, ch);
    deliverEvent(ch, msg);
}

// ---- delivery ----

void MsgReplicator::deliverData(ReplicationDelivery::Channel& ch, const FwIntMessage& msg)
{
    MsgForwarder::Outcome outcome{};
    if (m_delivery->deliverData(ch, msg, NOT_REPLICATION_MSG, m_threadResPtr->threadNameTxt, outcome) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] forwarding channel [%.16s] message to [%.16s].", FrameworkErrno::m_fwErrno,
              ch.name, ch.owner);
}

void MsgReplicator::deliverEvent(const ReplicationDelivery::Channel& ch, const FwIntMessage& msg)
{
    if (m_delivery->deliverEvent(ch, msg, NOT_REPLICATION_MSG) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] delivering event [%d] of channel [%.16s] to [%.16s].",
              FrameworkErrno::m_fwErrno, msg.appMsg.event.id, ch.name, ch.owner);
}

void MsgReplicator::forwardCopy(const FwIntMessage& msg, const ReplicationDelivery::Channel& ch, uint64 topicSeq)
{
    const Data_t& d = msg.appMsg.data;
    if (d.msgTopicSeq == 0)
        return;
    auto* fwd = reinterpret_cast<ThreadResource*>(d.msgTopicSeq);
    std::memcpy(&m_forwardSrc, &msg, msg.usedSize());
    // The copy carries the topic's number of a sent topic message, else 0.
    m_forwardSrc.appMsg.data.msgTopicSeq = d.chnType == MSG_TOPIC_CHANNEL ? topicSeq : 0;
    m_delivery->forwardCopy(*fwd, ch, m_forwardSrc, true);
}
