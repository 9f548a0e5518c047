#include "FendralCore/messaging/ReplicationReceiver.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <unistd.h>

namespace
{
constexpr int32 NUM_OF_DESC = 3;
constexpr const char* OWN_NAME = "MSG_REPLICATOR";

bool sameName(const char* a, const char* b)
{
    return std::strncmp(a, b, sizeof(ResourceName) - 1) == 0;
}

UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}

int32 readInt32Key(const ConfigManager* cfg, const char* key, int32 fallback)
{
    int32 value = fallback;
    if (cfg == nullptr || cfg->getInt32ConfigPara(key, value, fallback) != 0 || value < 1)
        return fallback;
    return value;
}
} // namespace

ReplicationReceiver::ReplicationReceiver(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                                         const ConfigManager* configMgr)
    : EventMessage(threadResPtr, resMgr),
      m_threadResPtr(threadResPtr),
      m_gblData(gblData),
      m_configMgrPtr(configMgr),
      m_fdWait(NUM_OF_DESC)
{
    m_timeout = readInt32Key(configMgr, "STS_RPT_INTERVAL", DEFAULT_STS_RPT_INTERVAL);
    m_contMsgProcNum = readInt32Key(configMgr, "SH_MSG_PROC_NUM", DEFAULT_SH_MSG_PROC_NUM);
    m_delivery = std::make_unique<ReplicationDelivery>(*this, resMgr, m_msgSeqNum, gblData.m_maxMsgSize);
    m_delivery->setPeerLogLimit(&m_peerLog);
    // The application id (at most 8 characters) and "_FW_REPL".
    char name[sizeof(ResourceName)] = {};
    std::snprintf(name, sizeof(name), "%.8s_FW_REPL", gblData.m_appIdTxt);
    ResourceManager::copyResourceName(m_repliTopicNameTxt, name);
    m_repliTopicId = nameKey(m_repliTopicNameTxt);
}

ReplicationReceiver::~ReplicationReceiver()
{
    if (const uint64 heldBack = m_peerLog.takeHeldBack(); heldBack != 0)
        fwLog(LOG_LEVEL_WARNING, "Replication records: %s", PeerLogLimit::heldBackText(heldBack).c_str());
    delete m_timerPtr;
}

void ReplicationReceiver::peerLog(int32 level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    fwPeerLogV(&m_peerLog, level, format, args);
    va_end(args);
}

void ReplicationReceiver::refreshLiveness()
{
    m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
}

void ReplicationReceiver::sendToCtl(FwEventID id, const EventParam& p)
{
    if (m_ctlThdResPtr == nullptr)
        return;
    if (sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, id, p, m_msgSeqNum) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending event [%d] to CTL_THREAD.", FrameworkErrno::m_fwErrno, id);
}

int32 ReplicationReceiver::initialize()
{
    ResourceName name{};
    ResourceManager::copyResourceName(name, "CTL_THREAD");
    if (m_resManager.getThreadRes(name, &m_ctlThdResPtr) != 0 || m_ctlThdResPtr == nullptr)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting main control thread resource pointer.", code);
        return fwFail(code, code);
    }
    ResourceManager::copyResourceName(name, "MSG_SERVICE");
    if (m_resManager.getThreadRes(name, &m_msgSvcThdResPtr) != 0 || m_msgSvcThdResPtr == nullptr)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting messaging service thread resource pointer.", code);
        return fwFail(code, code);
    }
    if (m_resManager.getMsgTopicRes(m_repliTopicNameTxt, &m_repliTopicResPtr) != 0 || m_repliTopicResPtr == nullptr)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting message replication topic resource pointer.", code);
        return fwFail(code, code);
    }
    return 0;
}

// ---- the loop ----

int32 ReplicationReceiver::processQueue(FwMessageQueue* queue)
{
    FwIntMessage msg;
    bool more = true;
    int32 count = 0;
    int32 result = 0;
    while (more && !m_terminate)
    {
        if (queue->getMessage(&msg, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? result : -1;
        if (processMessage(msg, queue) != 0)
            result = -1;
        if (++count % m_contMsgProcNum == 0)
            refreshLiveness();
    }
    return result;
}

int32 ReplicationReceiver::processMessage(const FwIntMessage& msg, FwMessageQueue* queue)
{
    int32 r = 0;
    if (msg.appMsg.type == MSG_EVENT)
        r = handleEvent(msg, queue);
    else if (msg.appMsg.type == MSG_DATA)
        r = handleData(msg);
    else
    {
        fwLog(LOG_LEVEL_WARNING, "Unexpected message type [%d] received from [%.16s], message seq [%u] . Ignore and "
                                 "continue.",
              static_cast<int32>(msg.appMsg.type), msg.originatorTxt, msg.msgSeqNum);
        return 0;
    }
    if (r != 0 && msg.appMsg.type == MSG_EVENT)
    {
        const EventParam& p = msg.appMsg.event.eventParam;
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] processing event message [%d]. Param: [%.16s] [%d] [%d] [%ld]",
              FrameworkErrno::m_fwErrno, msg.appMsg.event.id, p.resNameTxt, p.paramInt16, p.paramInt32,
              static_cast<long>(p.paramInt64));
    }
    return r;
}

void ReplicationReceiver::onTimer()
{
    refreshLiveness();
    m_delivery->retry();
    confEndReplicationIfDone();
}

int32 ReplicationReceiver::run(int32& execExitHdr)
{
    execExitHdr = EXIT_FAILED;
    return runGuarded("Message Replication Receiver", [&]() -> int32 {
        FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
        FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
        const bool polling = m_gblData.m_optMode.load() == LOW_LATENCY;
        int32 init = initialize();
        if (init == 0 && (high == nullptr || normal == nullptr))
            init = fwFail(NULL_PARAM, NULL_PARAM);
        if (init == 0 && !polling)
        {
            m_timerPtr = new Timer(m_timeout, true);
            if (m_fdWait.addFileDesc(high, IO_WAIT_READ) != 0 || m_fdWait.addFileDesc(normal, IO_WAIT_READ) != 0 ||
                m_fdWait.addFileDesc(m_timerPtr, IO_WAIT_READ) != 0 || m_timerPtr->startTimer() != 0)
                init = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : -1;
        }
        if (init != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Proceed thread termination.", init);
            return init;
        }
        refreshLiveness();
        auto serve = [&](FwMessageQueue* q, const char* which) {
            if (processQueue(q) != 0)
            {
                fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on %s priority queue.",
                      FrameworkErrno::m_fwErrno, which);
                fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
            }
        };
        int64 lastTimerNs = MonoClock::nowNs();
        int32 idle = 0;
        FileDescriptor* ready[NUM_OF_DESC] = {};
        while (!m_terminate)
        {
            if (polling)
            {
                const int64 now = MonoClock::nowNs();
                if (now - lastTimerNs > int64{m_timeout} * 1000000)
                {
                    lastTimerNs = now;
                    onTimer();
                }
                const uint32 before = high->getNumElem() + normal->getNumElem();
                serve(high, "high");
                if (!m_terminate)
                    serve(normal, "normal");
                if (before == 0 && ++idle > m_gblData.m_idleSpinCycle)
                {
                    idle = 0;
                    if (m_gblData.m_lowLatencyCpuSaver)
                        ::sched_yield();
                }
                continue;
            }
            const int32 n = m_fdWait.wait(ready, NUM_OF_DESC, -1);
            bool highReady = false, normalReady = false;
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
                    highReady = true;
                else if (ready[i] == normal)
                    normalReady = true;
            }
            if (highReady)
                serve(high, "high");
            if (normalReady && !m_terminate)
                serve(normal, "normal");
        }
        execExitHdr = m_switchActive ? EXIT_SWITCH_ACTIVE : EXIT_TERM;
        return 0;
    });
}

// ---- events ----

int32 ReplicationReceiver::handleEvent(const FwIntMessage& msg, FwMessageQueue* queue)
{
    const EventMsg& e = msg.appMsg.event;
    const EventParam& p = e.eventParam;
    fwLog(LOG_LEVEL_DEBUG, "Received event [%d] from [%.16s]. Param: [%.16s] [%d] [%d] [%ld].", e.id,
          msg.originatorTxt, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
    if (ReplicationRecord::isTopicEvent(e.id) && sameName(p.resNameTxt, m_repliTopicNameTxt))
        return handleRepliTopicEvent(msg, queue);
    EventParam out{};
    switch (e.id)
    {
    case INIT:
        m_initEventRcvd = true;
        m_mode = static_cast<AppMode>(p.paramInt32);
        sendToCtl(INIT_ACK, out);
        return 0;
    case CONN_INIT:
        if (!m_initEventRcvd)
            return 0;
        if ((m_mode == STANDBY_MODE || m_mode == RECOVERY_MODE) && !m_netResInitialized)
        {
            if (initNetResource() != 0)
                fwLog(LOG_LEVEL_ERROR, "Error [%d] initializing network resources.", FrameworkErrno::m_fwErrno);
            m_netResInitialized = true;
        }
        m_connInitEvtRcvd = true;
        return 0;
    case TERM:
        if (m_handingOver)
            m_termDuringHandOver = true;
        else
            m_terminate = true;
        return 0;
    case APP_READY:
    case CONN_TERM:
    case FORCE_LEAVE_SUB_TOPIC:
    case MSG_QUEUE_CONGEST:
    case PIPELINE_CONGEST:
        return 0;
    case SW_ACTIVE:
        if (m_handingOver || m_mode != STANDBY_MODE)
            return 0;
        if (m_noRepliPublisher)
            handOver(msg, queue);
        else
            m_rcvdSwitchActive = true;
        return 0;
    case SW_STANDBY:
        if (m_mode != RECOVERY_MODE)
            return 0;
        m_rcvdSwitchStandby = true;
        if (m_gblData.m_repliServiceEnabled)
        {
            sendToCtl(SW_STANDBY_ACK, out);
            m_mode = STANDBY_MODE;
        }
        return 0;
    case CHK_END_REPLICATION:
        fwLog(LOG_LEVEL_INFO, "Received CHK_END_REPLICATION while m_noRepliPublisher is set to [%d].",
              m_noRepliPublisher);
        if (m_noRepliPublisher && m_msgSvcThdResPtr != nullptr)
        {
            // The messaging service asks the topic's peers for a tail this
            // standby lost; TOPIC_PUBLISHER_LEFT says when that is settled,
            // and the end is confirmed then.
            std::memcpy(out.resNameTxt, m_repliTopicNameTxt, sizeof(ResourceName));
            if (sendEventMsg(m_msgSvcThdResPtr, MQUEUE_NORMAL, CHK_TAIL_LOST, out, m_msgSeqNum) == 0)
                m_noRepliPublisher = false;
        }
        m_chkEndRepli = true;
        confEndReplicationIfDone();
        return 0;
    case NOTIFY_END_RECOVERY:
        fwLog(LOG_LEVEL_INFO, "Received NOTIFY_END_RECOVERY from [%.16s], forward it to CTL thread.",
              msg.originatorTxt);
        sendToCtl(NOTIFY_END_RECOVERY, p);
        return 0;
    case UNRECOVERABLE_TOPIC_MSG_GAP:
        if (!m_unrecoverableGapReported)
        {
            m_unrecoverableGapReported = true;
            fwLog(LOG_LEVEL_WARNING,
                  "Received temporary UNRECOVERABLE_TOPIC_MSG_GAP event on subscription topic [%.16s]. Discard and "
                  "continue.",
                  p.resNameTxt);
        }
        return 0;
    default:
        fwLog(LOG_LEVEL_WARNING, "Unexpected event message [%d] received. Ignore and continue.", e.id);
        return 0;
    }
}

void ReplicationReceiver::resume()
{
    m_noRepliPublisher = false;
    m_topicTimeoutNotified = false;
    EventParam p{};
    p.paramInt32 = m_mode;
    sendToCtl(REPLICATION_RESUMED, p);
}

int32 ReplicationReceiver::handleRepliTopicEvent(const FwIntMessage& msg, FwMessageQueue* queue)
{
    const EventMsg& e = msg.appMsg.event;
    const EventParam& p = e.eventParam;
    switch (e.id)
    {
    case TOPIC_SUBSCRIBE_ACK:
        if (p.paramInt16 == 0 && p.paramInt32 == 1)
            resume();
        else if (p.paramInt16 == 0)
            m_noRepliPublisher = true;
        else
            fwLog(LOG_LEVEL_ERROR, "Error [%d] subscribing topic [%.16s].", p.paramInt32, p.resNameTxt);
        return 0;
    case TOPIC_PUBLISHER_JOINED:
        fwLog(LOG_LEVEL_WARNING, "Received TOPIC_PUBLISHER_JOINED on topic [%.16s].", p.resNameTxt);
        resume();
        return 0;
    case TOPIC_PUBLISHER_LEFT:
    {
        fwLog(LOG_LEVEL_WARNING, "Received TOPIC_PUBLISHER_LEFT on topic [%.16s] while the application is in mode [%d].",
              p.resNameTxt, m_mode);
        removeRegTcpSrvDataRes();
        m_noRepliPublisher = true;
        EventParam out{};
        if (m_mode == STANDBY_MODE)
        {
            if (m_rcvdSwitchActive)
            {
                m_rcvdSwitchActive = false;
                FwIntMessage sw{};
                sw.appMsg.type = MSG_EVENT;
                sw.appMsg.event.id = SW_ACTIVE;
                ResourceManager::copyResourceName(sw.originatorTxt, "CTL_THREAD");
                ResourceManager::copyResourceName(sw.recipientTxt, OWN_NAME);
                handOver(sw, m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY]);
                return 0;
            }
            if (m_chkEndRepli)
                confEndReplicationIfDone();
            else if (!m_topicTimeoutNotified)
            {
                out.paramInt32 = 1;
                sendToCtl(REPLICATION_TIMEOUT, out);
                m_topicTimeoutNotified = true;
            }
        }
        else if (m_mode == RECOVERY_MODE)
        {
            out.paramInt32 = 2;
            sendToCtl(REPLICATION_TIMEOUT, out);
        }
        (void)queue;
        return 0;
    }
    default:
        return 0;
    }
}

void ReplicationReceiver::confEndReplicationIfDone()
{
    if (!m_chkEndRepli || !m_noRepliPublisher || m_delivery->hasUnsent())
        return;
    m_chkEndRepli = false;
    EventParam p{};
    if (m_repliTopicResPtr != nullptr)
        p.paramInt32 = m_repliTopicResPtr->regParam.channelType;
    p.paramInt64 = static_cast<int64>(m_lastRepliSeq);
    sendToCtl(CONF_END_REPLICATION, p);
}

// The loop ends here on a switch to active. Every record still queued was
// acknowledged to the old active, which then acted on it: each is delivered
// before the replicator takes over, and so is everything parked for a full
// application queue. Only then is SW_ACTIVE put back, for the replicator to
// find first.
void ReplicationReceiver::handOver(const FwIntMessage& swActive, FwMessageQueue* queue)
{
    m_handingOver = true;
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    const int64 start = MonoClock::nowNs();
    int64 quietSince = start;
    for (;;)
    {
        const uint32 queued = high->getNumElem() + normal->getNumElem();
        processQueue(high);
        processQueue(normal);
        m_delivery->retry();
        const int64 now = MonoClock::nowNs();
        if (queued != 0 || m_delivery->hasUnsent())
            quietSince = now;
        else if (now - quietSince >= HANDOVER_QUIET_MS * 1000000)
            break;
        if (now - start >= HANDOVER_MAX_MS * 1000000)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "Replicated messages still parked for full application queues after [%ld] ms of the switch to "
                  "active; the replicator delivers them with later messages of their channels.",
                  static_cast<long>(HANDOVER_MAX_MS));
            break;
        }
        refreshLiveness();
        ::usleep(1000);
    }
    removeRegTcpSrvDataRes();
    m_terminate = true;
    m_switchActive = true;
    FwMessageQueue* back = queue != nullptr ? queue : high;
    if (back->putMessage(&swActive) != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] putting SW_ACTIVE back for the replicator.", FrameworkErrno::m_fwErrno);
    if (m_termDuringHandOver)
    {
        FwIntMessage term = swActive;
        term.appMsg.event = EventMsg{};
        term.appMsg.event.id = TERM;
        back->putMessage(&term);
    }
    m_handingOver = false;
}

// ---- records ----

int32 ReplicationReceiver::handleData(const FwIntMessage& msg)
{
    const Data_t& d = msg.appMsg.data;
    if (d.chnType != MSG_TOPIC_CHANNEL || !sameName(d.channelNameTxt, m_repliTopicNameTxt))
    {
        // This instance's own subscriptions of replicated topics: the active's
        // view arrives as records instead.
        ++m_stats.foreign;
        return 0;
    }
    if (d.dataLen > Data_t::MAX_DATA_LEN)
        return fwFail(MSG_TOO_LARGE, -1);
    // A record longer than one message arrives in parts, in order.
    if (d.msgPartNum == 0)
    {
        m_recLen = 0;
        m_recLastPart = -1;
    }
    if (d.msgPartNum != m_recLastPart + 1 || m_recLen + d.dataLen > sizeof(m_recBuf))
    {
        ++m_stats.refused;
        peerLog(LOG_LEVEL_WARNING,
                "Replication record part [%d] of topic seq# [%lu] out of order or too long (expected part [%d], [%u] "
                "bytes so far). Discard the record.",
                d.msgPartNum, static_cast<unsigned long>(d.msgTopicSeq), m_recLastPart + 1, m_recLen);
        m_recLen = 0;
        m_recLastPart = -1;
        return 0;
    }
    std::memcpy(m_recBuf + m_recLen, d.buffer, d.dataLen);
    m_recLen += d.dataLen;
    m_recLastPart = d.msgPartNum;
    if (d.more)
        return 0;
    const uint32 len = m_recLen;
    m_recLen = 0;
    m_recLastPart = -1;
    m_lastRepliSeq = d.msgTopicSeq;
    const ReplicationRecord::Verdict v = ReplicationRecord::decode(m_recBuf, len, m_record);
    if (v != ReplicationRecord::Verdict::OK)
    {
        ++m_stats.refused;
        peerLog(LOG_LEVEL_WARNING, "Replication record of topic seq# [%lu] ([%u] bytes) is %s. Discard it.",
                static_cast<unsigned long>(d.msgTopicSeq), len, ReplicationRecord::verdictText(v));
        return 0;
    }
    if (m_unrecoverableGapReported)
    {
        m_unrecoverableGapReported = false;
        fwLog(LOG_LEVEL_INFO, "UNRECOVERABLE_TOPIC_MSG_GAP on subscription topic [%.16s] has recovered.",
              m_repliTopicNameTxt);
    }
    return handleRecord(m_record);
}

int32 ReplicationReceiver::handleRecord(const FwIntMessage& rec)
{
    const int32 r = rec.appMsg.type == MSG_EVENT ? handleRecordEvent(rec) : handleRecordData(rec);
    if (r == 0)
        ++m_stats.records;
    return r;
}

// Only connection and topic events of channels come from records; control
// events (TERM, SW_ACTIVE and the like) never do.
int32 ReplicationReceiver::handleRecordEvent(const FwIntMessage& rec)
{
    const EventMsg& e = rec.appMsg.event;
    switch (e.id)
    {
    case CONN_TERM:
        return 0;
    case NEW_CONNECT:
    case CONNECTED:
    case DISCONNECTED:
        return deliverTcpEvent(rec);
    default:
        if (ReplicationRecord::isTopicEvent(e.id) && !sameName(e.eventParam.resNameTxt, m_repliTopicNameTxt))
            return deliverTopicEvent(rec);
        ++m_stats.refused;
        peerLog(LOG_LEVEL_WARNING, "Replicated event [%d] of [%s] is not a channel event. Discard it.", e.id,
                MslPeerText(e.eventParam.resNameTxt).c_str());
        return 0;
    }
}

int32 ReplicationReceiver::deliverTcpEvent(const FwIntMessage& rec)
{
    const EventMsg& e = rec.appMsg.event;
    ResourceName name{};
    ResourceManager::copyResourceName(name, e.eventParam.resNameTxt);
    TcpConnResource* res = nullptr;
    if (e.id == NEW_CONNECT)
        res = isTcpServerDataConn(name);
    else if (m_resManager.getTcpConnRes(name, &res, true) != 0 || res == nullptr)
    {
        res = nullptr;
        if (e.id == DISCONNECTED && FrameworkErrno::m_fwErrno == RES_NOT_EXIST)
            res = isTcpServerDataConn(name);
    }
    if (res == nullptr)
    {
        ++m_stats.skipped;
        peerLog(LOG_LEVEL_WARNING, "Replicated event [%d] for TCP channel [%s] not found here. Skip it.", e.id,
                MslPeerText(e.eventParam.resNameTxt).c_str());
        return 0;
    }
    ReplicationDelivery::Channel c;
    int32 r = 0;
    if (channelTargets(*res, c))
        r = m_delivery->deliverEvent(c, rec, INPUT_REPLICATION_MSG);
    else
    {
        ++m_stats.skipped;
        peerLog(LOG_LEVEL_WARNING, "Replicated event [%d] for TCP channel [%.16s] not replicated here. Skip it.",
                e.id, res->tcpConnNameTxt);
    }
    if (e.id == DISCONNECTED && res->regParam.tcpMode == TCP_SERVER_DATA_MODE)
        removeSrvDataConn(name);
    return r;
}

int32 ReplicationReceiver::deliverTopicEvent(const FwIntMessage& rec)
{
    const EventMsg& e = rec.appMsg.event;
    ResourceName name{};
    ResourceManager::copyResourceName(name, e.eventParam.resNameTxt);
    MsgTopicResource* res = nullptr;
    if (m_resManager.getMsgTopicRes(name, &res) != 0 || res == nullptr || res->replicationTopic)
    {
        ++m_stats.skipped;
        peerLog(LOG_LEVEL_WARNING, "Replicated event [%d] for topic [%s] not found here. Skip it.", e.id,
                MslPeerText(e.eventParam.resNameTxt).c_str());
        return 0;
    }
    ReplicationDelivery::Channel c;
    if (!channelTargets(*res, c))
    {
        ++m_stats.skipped;
        peerLog(LOG_LEVEL_WARNING, "Replicated event [%d] for topic [%.16s] not replicated here. Skip it.", e.id,
                res->topicNameTxt);
        return 0;
    }
    return m_delivery->deliverEvent(c, rec, INPUT_REPLICATION_MSG);
}

int32 ReplicationReceiver::handleRecordData(const FwIntMessage& rec)
{
    const Data_t& d = rec.appMsg.data;
    ResourceName name{};
    ResourceManager::copyResourceName(name, d.channelNameTxt);
    ReplicationDelivery::Channel c;
    const char* originator = nullptr;
    bool found = false;
    switch (d.chnType)
    {
    case TCP_CHANNEL:
    {
        TcpConnResource* res = nullptr;
        if (m_resManager.getTcpConnRes(name, &res, true) != 0 || res == nullptr)
        {
            res = nullptr;
            if (FrameworkErrno::m_fwErrno == RES_NOT_EXIST)
                res = isTcpServerDataConn(name);
        }
        found = res != nullptr && channelTargets(*res, c);
        originator = "DATA_STREAM_HDR";
        break;
    }
    case UDP_CHANNEL:
    {
        UdpConnResource* res = nullptr;
        found = m_resManager.getUdpConnRes(name, &res) == 0 && res != nullptr && channelTargets(*res, c);
        originator = "NET_RECEIVER";
        break;
    }
    case MSG_TOPIC_CHANNEL:
    {
        MsgTopicResource* res = nullptr;
        found = m_resManager.getMsgTopicRes(name, &res) == 0 && res != nullptr && !res->replicationTopic &&
                channelTargets(*res, c);
        if (found && d.dataDir == INCOMING_DATA)
            res->lastMsgSeqNum = d.msgTopicSeq;
        originator = "MSG_SERVICE";
        break;
    }
    default:
        found = false;
        break;
    }
    if (!found)
    {
        ++m_stats.skipped;
        peerLog(LOG_LEVEL_WARNING, "Replicated message of channel [%s] type [%d] not replicated here. Skip it.",
                MslPeerText(d.channelNameTxt).c_str(), static_cast<int32>(d.chnType));
        return 0;
    }
    const bool outgoing = d.dataDir == OUTGOING_DATA;
    // An outgoing message keeps its sender (an application thread), whose
    // parts the owner joins apart from the channel's incoming ones.
    MsgForwarder::Outcome outcome{};
    const int32 r = m_delivery->deliverData(c, rec, outgoing ? OUTPUT_REPLICATION_MSG : INPUT_REPLICATION_MSG,
                                            outgoing ? nullptr : originator, outcome);
    if (r != 0 || !outgoing || c.usePipeline || d.peerAppInstId == 0 || sameName(rec.recipientTxt, OWN_NAME))
        return r;
    ThreadResource* fwd = nullptr;
    ResourceName fwdName{};
    ResourceManager::copyResourceName(fwdName, rec.recipientTxt);
    if (m_resManager.getThreadRes(fwdName, &fwd) != 0 || fwd == nullptr || !fwd->appThread)
    {
        peerLog(LOG_LEVEL_WARNING, "Forward thread [%s] of a replicated message of channel [%s] not found here.",
                MslPeerText(rec.recipientTxt).c_str(), c.name);
        return 0;
    }
    return m_delivery->forwardCopy(*fwd, c, rec, false);
}

// ---- channels ----

void ReplicationReceiver::ownerQueues(ReplicationDelivery::Channel& c)
{
    if (c.queue != nullptr)
        return;
    // Targets not prepared (a topic the service has not opened here): the
    // owner's queues and store.
    ThreadResource* owner = nullptr;
    if (m_resManager.getThreadRes(c.owner, &owner) != 0 || owner == nullptr)
        return;
    c.queue = owner->msgQueuePtrArray[c.queueType];
    c.altQueue = owner->msgQueuePtrArray[c.queueType == MQUEUE_NORMAL ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL];
    if (c.store == nullptr)
        c.store = owner->tmpMsgStorePtr;
}

bool ReplicationReceiver::channelTargets(TcpConnResource& res, ReplicationDelivery::Channel& c)
{
    // Only channels replicated here take records: the active replicates no
    // other, so a record for one is not the active's.
    if (res.regParam.replicationMode == NO_REPLICATION)
        return false;
    ReplicationDelivery::channelOf(res, c);
    ownerQueues(c);
    return c.usePipeline ? c.pipeline != nullptr : c.queue != nullptr;
}

bool ReplicationReceiver::channelTargets(UdpConnResource& res, ReplicationDelivery::Channel& c)
{
    // Only channels replicated here take records: the active replicates no
    // other, so a record for one is not the active's.
    if (res.regParam.replicationMode == NO_REPLICATION)
        return false;
    ReplicationDelivery::channelOf(res, c);
    ownerQueues(c);
    return c.usePipeline ? c.pipeline != nullptr : c.queue != nullptr;
}

bool ReplicationReceiver::channelTargets(MsgTopicResource& res, ReplicationDelivery::Channel& c)
{
    if (res.regParam.replicationMode == NO_REPLICATION)
        return false;
    ReplicationDelivery::channelOf(res, c);
    if (c.usePipeline && c.pipeline == nullptr)
    {
        PipelineResource* pl = nullptr;
        if (m_resManager.getPipelineRes(res.regParam.pipelineNameTxt, &pl) == 0 && pl != nullptr)
            c.pipeline = pl->pipelinePtr;
    }
    ownerQueues(c);
    return c.usePipeline ? c.pipeline != nullptr : c.queue != nullptr;
}

namespace
{
// The targets of a TCP or UDP channel that the network threads, not opening
// it in standby, leave unset.
template <typename Res>
int32 prepareChannel(ResourceManager& registry, GlobalData& gd, Res& res)
{
    ThreadResource* owner = nullptr;
    if (registry.getThreadRes(res.regParam.threadNameTxt, &owner) != 0 || owner == nullptr)
        return -1;
    DataValueType value = 0;
    if (res.usePipeline)
    {
        PipelineResource* pl = nullptr;
        if (registry.getPipelineRes(res.regParam.pipelineNameTxt, &pl) != 0 || pl == nullptr)
            return -1;
        res.pipelinePtr = pl->pipelinePtr;
        res.msgQueuePtr = owner->msgQueuePtrArray[MQUEUE_NORMAL];
        res.altMsgQueuePtr = owner->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
        if (gd.m_tmpPlMsgRepository.getValueByKey(UInt128(res.regParam.pipelineNameTxt, true), value, false))
            res.tmpPlMsgStorePtr = reinterpret_cast<PlMessageStore*>(value);
    }
    else
    {
        const bool priority = res.regParam.channelType == PRIORITY_CHANNEL;
        res.msgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL];
        res.altMsgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
    }
    if (gd.m_tmpMsgRepository.getValueByKey(UInt128(res.regParam.threadNameTxt, true), value, false))
        res.tmpMsgStorePtr = reinterpret_cast<MessageStore*>(value);
    return 0;
}
} // namespace

int32 ReplicationReceiver::initNetResource()
{
    if (m_gblData.m_enableTcpInStandbyMode || m_gblData.m_enableUdpInStandbyMode)
        return 0;
    ResourceName name{};
    TcpConnResource* tcp = nullptr;
    for (int32 w = m_resManager.getFirstTcpConnRes(name, &tcp); w == 0;
         w = m_resManager.getNextTcpConnRes(name, &tcp))
    {
        if (tcp != nullptr && prepareChannel(m_resManager, m_gblData, *tcp) != 0)
            return -1;
    }
    UdpConnResource* udp = nullptr;
    for (int32 w = m_resManager.getFirstUdpConnRes(name, &udp); w == 0;
         w = m_resManager.getNextUdpConnRes(name, &udp))
    {
        if (udp == nullptr)
            continue;
        const UdpMode mode = udp->regParam.udpMode;
        if (mode == P2P_SENDER_MODE || mode == P2P_RECEIVER_MODE)
            continue;
        if (mode != MULTICAST_SENDER_MODE && mode != MULTICAST_RECEIVER_MODE && mode != MULTICAST_SENDER_RCVR_MODE)
            return fwFail(INVALID_UDP_MODE, -1);
        if (prepareChannel(m_resManager, m_gblData, *udp) != 0)
            return -1;
    }
    return 0;
}

// The active names an accepted connection after its listen server, a colon
// and a number; here it is registered from the listen server on demand. A
// name is taken only when its prefix is a listen server with replication and
// its number is all digits, and only so many are held at once.
TcpConnResource* ReplicationReceiver::isTcpServerDataConn(const ResourceName& name)
{
    const char* colon = std::strrchr(name, ':');
    if (colon == nullptr)
    {
        peerLog(LOG_LEVEL_WARNING,
                "Unable to locate the TCP listen server name or the connection number from the TCP resource name [%s].",
                MslPeerText(name).c_str());
        return nullptr;
    }
    const size_t prefixLen = static_cast<size_t>(colon - name);
    const char* digits = colon + 1;
    const size_t numLen = std::strlen(digits);
    bool allDigits = numLen > 0 && numLen <= 18;
    uint64 number = 0;
    for (size_t i = 0; allDigits && i < numLen; ++i)
    {
        allDigits = digits[i] >= '0' && digits[i] <= '9';
        number = number * 10 + static_cast<uint64>(digits[i] - '0');
    }
    ResourceName listenName{};
    std::memcpy(listenName, name, prefixLen);
    TcpConnResource* listen = nullptr;
    if (!allDigits || prefixLen == 0 || m_resManager.getTcpConnRes(listenName, &listen, true) != 0 ||
        listen == nullptr || listen->regParam.tcpMode != TCP_SERVER_LISTEN_MODE ||
        listen->regParam.replicationMode == NO_REPLICATION)
    {
        peerLog(LOG_LEVEL_WARNING, "Error [%d] retrieving the TCP listen server resource record for [%s].",
                FrameworkErrno::m_fwErrno, MslPeerText(name).c_str());
        return nullptr;
    }
    TcpConnResource* res = nullptr;
    if (m_resManager.getTcpConnRes(name, &res, true) == 0 && res != nullptr)
        return res;
    if (m_srvDataConns.size() >= m_srvDataConnMax)
    {
        peerLog(LOG_LEVEL_WARNING,
                "[%s] is not registered: [%zu] TCP server data connections are registered for replication already.",
                MslPeerText(name).c_str(), m_srvDataConns.size());
        return nullptr;
    }
    TcpConnParam prm = listen->regParam;
    prm.tcpMode = TCP_SERVER_DATA_MODE;
    ResourceManager::copyResourceName(prm.connNameTxt, name);
    if (m_resManager.registerTcpConnRes(prm, &res, true) != 0 || res == nullptr)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code != RES_NAME_EXIST || m_resManager.getTcpConnRes(name, &res, true) != 0 || res == nullptr)
        {
            peerLog(LOG_LEVEL_WARNING, "Error [%d] registering the TCP server data resource record for [%s].", code,
                    MslPeerText(name).c_str());
            return nullptr;
        }
        return res;
    }
    res->usePipeline = listen->usePipeline;
    res->pipelinePtr = listen->pipelinePtr;
    res->msgQueuePtr = listen->msgQueuePtr;
    res->altMsgQueuePtr = listen->altMsgQueuePtr;
    res->tmpMsgStorePtr = listen->tmpMsgStorePtr;
    res->tmpPlMsgStorePtr = listen->tmpPlMsgStorePtr;
    res->msgMaskFuncPtr = listen->msgMaskFuncPtr;
    m_srvDataConns.insert(nameKey(res->tcpConnNameTxt));
    if (number < static_cast<uint64>(INT64_MAX))
        listen->nextInConnNum = static_cast<int64>(number) + 1;
    fwLog(LOG_LEVEL_INFO, "[%.16s] is a TCP server data connection and it is now registered to allow for processing "
                          "the replicated message.",
          res->tcpConnNameTxt);
    return res;
}

void ReplicationReceiver::removeSrvDataConn(const ResourceName& name)
{
    auto it = m_srvDataConns.find(nameKey(name));
    if (it == m_srvDataConns.end())
        return; // not registered by this thread: not ours to remove
    m_srvDataConns.erase(it);
    if (m_resManager.removeTcpClientConnRes(name, true) != 0)
        fwLog(LOG_LEVEL_WARNING, "Error [%d] removing TCP server data connection [%.16s].", FrameworkErrno::m_fwErrno,
              name);
}

void ReplicationReceiver::removeRegTcpSrvDataRes()
{
    for (auto it = m_srvDataConns.begin(); it != m_srvDataConns.end();)
    {
        ResourceName name{};
        std::memcpy(name, it->m_data.txt, 16);
        TcpConnResource* res = nullptr;
        if (m_resManager.getTcpConnRes(name, &res, true) == 0 && res != nullptr &&
            res->status.load() != RES_REGISTERED)
        {
            ++it;
            continue;
        }
        it = m_srvDataConns.erase(it);
        m_resManager.removeTcpClientConnRes(name, true);
    }
}
