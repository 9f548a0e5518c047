#include "FendralCore/dispatch/NetReceiver.h"

#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/runtime/StreamBuffer.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/dispatch/TcpListenSocket.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/Int2Txt.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/ThreadEntryGuard.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace
{
constexpr MsgListType LIST = NET_RCV_MSG_LIST;
// Keeps the sizes derived from the channel limits inside 32 bits.
constexpr int32 CONN_LIMIT = 1000000;
constexpr int32 MCAST_RCV_LIMIT = 1024;

UInt128 nameKey(const ResourceName& name)
{
    return UInt128(name, true);
}



int64 monoMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool isMcastReceiving(UdpMode mode)
{
    return mode == MULTICAST_RECEIVER_MODE || mode == MULTICAST_SENDER_RCVR_MODE;
}

bool isUdpReceiving(UdpMode mode)
{
    return isMcastReceiving(mode) || mode == P2P_RECEIVER_MODE || mode == P2P_SENDER_RECEIVER_MODE;
}

bool isUdpSending(UdpMode mode)
{
    return mode != MULTICAST_RECEIVER_MODE && mode != P2P_RECEIVER_MODE;
}

const char* eventName(int32 id)
{
    switch (id)
    {
    case CONN_RQS:
        return "CONN_RQS";
    case CONN_TERM:
        return "CONN_TERM";
    case CONN_LISTEN:
        return "CONN_LISTEN";
    case CONN_UPDATED:
        return "CONN_UPDATED";
    case MCAST_JOIN:
        return "MCAST_JOIN";
    case MCAST_LEAVE:
        return "MCAST_LEAVE";
    default:
        return nullptr;
    }
}
} // namespace

NetReceiver::NetReceiver(ThreadResource* threadResPtr)
    : NetReceiver(threadResPtr, ResourceManager::getInst(), GlobalData::getInst(),
                  GlobalData::getInst().getConfigManager())
{
}

NetReceiver::NetReceiver(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                         const ConfigManager* configMgr, const FileDescMultiplexer::OnloadApi* onloadApi)
    : EventMessage(threadResPtr, resMgr),
      m_threadResPtr(threadResPtr),
      m_configMgrPtr(configMgr),
      m_resMgr(resMgr),
      m_gblData(gblData),
      m_optMode(gblData.m_optMode.load(std::memory_order_acquire))
{
    const int32 tcpMax = std::min(
        FwConfigKeys::readPositiveInt32(configMgr, ResourceManager::TCP_CONN_RES_NUM_MAX_LABEL, ResourceManager::TCP_CONN_RES_NUM_MAX),
        CONN_LIMIT);
    const int32 udpMax = std::min(
        FwConfigKeys::readPositiveInt32(configMgr, ResourceManager::UDP_CONN_RES_NUM_MAX_LABEL, ResourceManager::UDP_CONN_RES_NUM_MAX),
        CONN_LIMIT);
    m_maxNumDesc = tcpMax + udpMax + 3;
    m_fdAryPtr.reset(new FileDescriptor*[static_cast<size_t>(m_maxNumDesc)]());
    m_ioWaitTypePtr.reset(new IoWaitType[static_cast<size_t>(m_maxNumDesc)]());
    m_wireOrderInfoPtr.reset(new WireOrderInfo[static_cast<size_t>(m_maxNumDesc)]());
    m_streamEvtBufPtr = std::make_unique<SingleRwRingBuffer2<StreamEventRecord>>(3 * tcpMax + 1);
    m_pausedStreams.reserve(static_cast<size_t>(tcpMax));
    gblData.m_streamEvtBufPtr = m_streamEvtBufPtr.get();

    m_maxNumMsgRcv = std::min(FwConfigKeys::readPositiveInt32(configMgr, MCAST_RCV_MAX_LABEL, DEFAULT_MCAST_RCV_MAX), MCAST_RCV_LIMIT);
    const auto batch = static_cast<size_t>(m_maxNumMsgRcv);
    m_msgListPtr.reset(new char[batch * MCAST_BUF_SIZE]);
    m_msgVectorPtr.reset(new mmsghdr[batch]());
    m_ioVecsPtr.reset(new iovec[batch]());
    m_remoteAddrListPtr.reset(new sockaddr_in[batch]());
    for (size_t i = 0; i < batch; ++i)
    {
        m_ioVecsPtr[i].iov_base = m_msgListPtr.get() + i * MCAST_BUF_SIZE;
        m_ioVecsPtr[i].iov_len = MCAST_BUF_SIZE;
        msghdr& h = m_msgVectorPtr[i].msg_hdr;
        h.msg_iov = &m_ioVecsPtr[i];
        h.msg_iovlen = 1;
        h.msg_name = &m_remoteAddrListPtr[i];
        h.msg_namelen = sizeof(sockaddr_in);
    }
    m_mcastMsgBuf.reset(new char[MCAST_BUF_SIZE]);
    m_tmpBuf.reset(new char[MsgForwarder::PL_HDR_SIZE + MCAST_BUF_SIZE]());

    // A closed socket outlives the longest send that may still hold it.
    uint16 sendRetries = MsgDispatcher::SEND_RETRY_COUNT;
    uint64 sendSleepNs = MsgDispatcher::RETRY_SLEEP_INTERVAL;
    if (configMgr != nullptr)
    {
        configMgr->getUint16ConfigPara(MsgDispatcher::TCP_SND_RCNT_LABEL, sendRetries, MsgDispatcher::SEND_RETRY_COUNT);
        configMgr->getUint64ConfigPara(MsgDispatcher::TCP_SND_SLP_INT_LABEL, sendSleepNs,
                                       MsgDispatcher::RETRY_SLEEP_INTERVAL);
    }
    m_retiredSocketGraceMs = RETIRED_SOCKET_MARGIN_MS +
                             static_cast<int64>(std::min<uint64>(sendRetries * (sendSleepNs / 1000000), INT32_MAX));

    m_timeout = FwConfigKeys::readPositiveInt32(configMgr, STS_RPT_INTERVAL_LABEL, DEFAULT_STS_RPT_INTERVAL);
    m_timerPtr = std::make_unique<Timer>(m_timeout, true);
    m_fdWaitPtr = std::make_unique<FileDescMultiplexer>(m_maxNumDesc, onloadApi);

    const char* ownName = threadResPtr != nullptr ? threadResPtr->threadNameTxt : THREAD_NAME;
    ResourceManager::copyResourceName(m_dataMsg.originatorTxt, ownName);
    m_dataMsg.appMsg.type = MSG_DATA;
    m_dataMsg.appMsg.data.dataDir = INCOMING_DATA;
    m_dataMsg.appMsg.data.chnType = UDP_CHANNEL;
    m_dataMsg.appMsg.data.replicationFlag = NOT_REPLICATION_MSG;
    m_forwarder = std::make_unique<MsgForwarder>(*this, resMgr, LIST, m_msgSeqNum,
                                                 static_cast<uint32>(MCAST_BUF_SIZE));
}

NetReceiver::~NetReceiver()
{
    if (m_gblData.m_streamEvtBufPtr == m_streamEvtBufPtr.get())
        m_gblData.m_streamEvtBufPtr = nullptr;
    if (m_errorTermination)
        return;
    m_forwarder->clear();
    m_fdWaitPtr.reset();
    const bool streamThreadActive =
        m_streamHdrThdResPtr != nullptr && m_streamHdrThdResPtr->status.load(std::memory_order_acquire) == RES_ACTIVE;
    ResourceName name{};
    TcpConnResource* tcp = nullptr;
    for (int32 r = m_resMgr.getFirstTcpConnRes(name, &tcp); r == 0 && tcp != nullptr;
         r = m_resMgr.getNextTcpConnRes(name, &tcp))
    {
        delete tcp->listenSockPtr;
        tcp->listenSockPtr = nullptr;
        const bool trashed = tcp->regParam.tcpMode == TCP_SERVER_DATA_MODE &&
                             tcp->status.load(std::memory_order_acquire) == RES_DISCONNECTED;
        if (!trashed)
        {
            delete tcp->dataSockPtr;
            tcp->dataSockPtr = nullptr;
        }
        if (tcp->streamBufPtr == nullptr)
            continue;
        if (streamThreadActive)
            sendStreamEvent(tcp, STREAM_DEL, 0);
        else
        {
            fwLog(LOG_LEVEL_INFO, "Peak data stream usage of TCP channel [%s]: [%d] bytes.", tcp->tcpConnNameTxt,
                  tcp->streamBufPtr->getMaxUsage());
            delete tcp->streamBufPtr;
            tcp->streamBufPtr = nullptr;
        }
    }
    UdpConnResource* udp = nullptr;
    for (int32 r = m_resMgr.getFirstUdpConnRes(name, &udp); r == 0 && udp != nullptr;
         r = m_resMgr.getNextUdpConnRes(name, &udp))
    {
        MulticastSocket* sock = udp->multicastSockPtr;
        storeUdpSocket(*udp, nullptr);
        delete sock;
    }
    for (const RetiredSocket& retired : m_dataSockTrash)
        delete retired.sock;
}

// ---- thread side ----

int32 NetReceiver::initialize()
{
    MsgForwarder::Peers peers;
    if (const int32 r = m_forwarder->lookUpPeers(m_gblData.m_repliServiceEnabled, m_gblData.m_tmpMsgRepository, peers);
        r != 0)
        return r;
    m_ctlThdResPtr = peers.control;
    m_msgRepliThdResPtr = peers.replicator;
    m_replicationThreadId = peers.replicatorKey;
    m_repliMsgStorePtr = peers.replicatorStore;
    ResourceName name{};
    int32 tcpCount = 0;
    if (m_resMgr.getTcpConnResSize(tcpCount) == 0 && tcpCount > 0)
    {
        ResourceManager::copyResourceName(name, STREAM_HDR_NAME);
        if (m_resMgr.getThreadRes(name, &m_streamHdrThdResPtr) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] getting message stream handler thread resource pointer.", code);
            return fwFail(code, code);
        }
    }
    int32 regResult = 0;
    if (m_optMode == CPU_UTILIZATION)
    {
        if (m_fdWaitPtr->addFileDesc(m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY], IO_WAIT_READ) != 0)
        {
            regResult = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] adding high priority message queue to descriptor multiplexer in Network Receiver.",
                  regResult);
        }
        else if (m_fdWaitPtr->addFileDesc(m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL], IO_WAIT_READ) != 0)
        {
            regResult = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] adding normal message queue to descriptor multiplexer in Network Receiver.", regResult);
        }
        else if (m_fdWaitPtr->addFileDesc(m_timerPtr.get(), IO_WAIT_READ) != 0)
        {
            regResult = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] adding timer message queue to descriptor multiplexer in Network Receiver.", regResult);
        }
    }
    if (FwConfigKeys::readPositiveInt32(m_configMgrPtr, TCP_FD_REASSIGN_LABEL, DEFAULT_TCP_FD_REASSIGN) == 1)
    {
        rlimit lim{};
        if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
            return fwFail(SOCK_ERROR, SOCK_ERROR);
        // RLIM_INFINITY is huge: the base stays a descriptor number.
        const uint64 soft = lim.rlim_cur == RLIM_INFINITY ? static_cast<uint64>(INT_MAX) : lim.rlim_cur;
        m_tcpReassignFdBase = static_cast<int32>(std::min<uint64>((soft - 1) / 2, INT_MAX / 2));
        m_tcpLastReassignedFd = m_tcpReassignFdBase - 1;
    }
    if (regResult != 0)
        return fwFail(regResult, regResult);
    if (m_optMode == CPU_UTILIZATION && m_timerPtr->startTimer() != 0)
        return FrameworkErrno::m_fwErrno;
    return 0;
}

int32 NetReceiver::run(int32& execExitHdr)
{
    execExitHdr = 1;
    return runGuarded("Network Receiver", [&]() -> int32 {
        const int32 init = initialize();
        if (init != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Proceed thread termination.", init);
            m_errorTermination = true;
            return init;
        }
        m_lastMaintenanceMs = monoMs();
        bool terminate = false;
        const int32 r = m_optMode == CPU_UTILIZATION ? loopCpu(terminate) : loopLowLatency(terminate);
        execExitHdr = terminate ? 0 : 1;
        return r;
    });
}

void NetReceiver::maintenance()
{
    if (m_threadResPtr != nullptr)
        m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
    retryForwardMsg();
    freeRetiredSockets(monoMs());
}

int32 NetReceiver::loopCpu(bool& terminate)
{
    while (!terminate)
        passCpu(terminate, -1);
    return 0;
}

int32 NetReceiver::loopLowLatency(bool& terminate)
{
    // Queues are polled here, so the wait never blocks.
    while (!terminate)
        passLowLatency(terminate);
    return 0;
}

int32 NetReceiver::runOnce(bool& terminate, int32 timeoutMs)
{
    return m_optMode == CPU_UTILIZATION ? passCpu(terminate, timeoutMs) : passLowLatency(terminate);
}

int32 NetReceiver::passCpu(bool& terminate, int32 timeoutMs)
{
    m_retiredListeners.clear();
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    // Records that found the event ring full are tried again soon: the
    // socket whose bytes they announce may not be read (nor wake this
    // thread) until the stream thread has seen them.
    if (!m_pendingRecords.empty() && (timeoutMs < 0 || timeoutMs > PENDING_RECORD_RETRY_MS))
        timeoutMs = PENDING_RECORD_RETRY_MS;
    const int32 n = m_fdWaitPtr->wait(m_fdAryPtr.get(), m_ioWaitTypePtr.get(), m_wireOrderInfoPtr.get(), m_maxNumDesc,
                                      timeoutMs);
    if (n <= 0)
    {
        pushPendingRecords();
        return 0;
    }
    bool highReady = false;
    bool normalReady = false;
    bool timerReady = false;
    int32 sockets = 0;
    for (int32 i = 0; i < n; ++i)
    {
        FileDescriptor* fd = m_fdAryPtr[static_cast<size_t>(i)];
        if (fd == high)
            highReady = true;
        else if (fd == normal)
            normalReady = true;
        else if (fd == m_timerPtr.get())
            timerReady = true;
        else
        {
            // Sockets move to the front, in the order they came.
            m_fdAryPtr[static_cast<size_t>(sockets)] = fd;
            m_ioWaitTypePtr[static_cast<size_t>(sockets)] = m_ioWaitTypePtr[static_cast<size_t>(i)];
            m_wireOrderInfoPtr[static_cast<size_t>(sockets)] = m_wireOrderInfoPtr[static_cast<size_t>(i)];
            ++sockets;
        }
    }
    if (timerReady)
    {
        uint64 expirations = 0;
        int done = 0;
        const int32 r = m_timerPtr->receive(reinterpret_cast<char*>(&expirations), sizeof expirations, done);
        if (r == 0 && m_threadResPtr != nullptr)
            m_threadResPtr->lastStatusUpdTm.store(::time(nullptr), std::memory_order_relaxed);
        retryForwardMsg();
        pushPendingRecords();
        resumeAnswered();
        freeRetiredSockets(monoMs());
        if (r != 0)
        {
            fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
            return 0;
        }
    }
    if (highReady && processMessage(high, terminate) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
        fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
        return 0;
    }
    if (terminate)
        return 0;
    if (normalReady && processMessage(normal, terminate) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on normal priority queue.", FrameworkErrno::m_fwErrno);
        fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
        return 0;
    }
    if (terminate || sockets == 0)
        return 0;
    return serveSockets(sockets);
}

int32 NetReceiver::passLowLatency(bool& terminate)
{
    m_retiredListeners.clear();
    FwMessageQueue* high = m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY];
    FwMessageQueue* normal = m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL];
    const int32 n =
        m_fdWaitPtr->wait(m_fdAryPtr.get(), m_ioWaitTypePtr.get(), m_wireOrderInfoPtr.get(), m_maxNumDesc, 0);
    pushPendingRecords();
    const int64 now = monoMs();
    if (now - m_lastMaintenanceMs > m_timeout)
    {
        maintenance();
        resumeAnswered();
        m_lastMaintenanceMs = now;
    }
    if (processMessage(high, terminate) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on high priority queue.", FrameworkErrno::m_fwErrno);
        fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
        return 0;
    }
    if (terminate)
        return 0;
    if (processMessage(normal, terminate) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] processing messages on normal priority queue.", FrameworkErrno::m_fwErrno);
        fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
        return 0;
    }
    if (terminate || n <= 0)
        return 0;
    return serveSockets(n);
}

int32 NetReceiver::serveSockets(int32 n)
{
    pushPendingRecords();
    if (!m_connInitEvtRcvd)
        return 0;
    int32 r = 0;
    for (int32 i = 0; i < n; ++i)
    {
        FileDescriptor* fd = m_fdAryPtr[static_cast<size_t>(i)];
        const IoWaitType io = m_ioWaitTypePtr[static_cast<size_t>(i)];
        const WireOrderInfo& w = m_wireOrderInfoPtr[static_cast<size_t>(i)];
        if (isRetired(fd))
            continue;
        switch (fd->getDescType())
        {
        case LISTEN_SOCKET:
            r = acceptConnection(static_cast<TcpListenSocket*>(fd));
            break;
        case MULTICAST_SOCKET:
            r = processMulticastSock(static_cast<MulticastSocket*>(fd), io, w);
            break;
        case UNICAST_SOCKET:
            r = processTcpSock(static_cast<TcpDataSocket*>(fd), io, w);
            break;
        default:
            break;
        }
    }
    if (r != 0)
        fwLog(LOG_LEVEL_ERROR, "Error [%d] occurred. Ignore and continue.", FrameworkErrno::m_fwErrno);
    return r;
}

int32 NetReceiver::processMessage(FwMessageQueue* queue, bool& terminate)
{
    if (queue == nullptr)
        return fwFail(NULL_PARAM, -1);
    bool more = true;
    while (more && !terminate)
    {
        if (queue->getMessage(&m_msg, more) != 0)
            return FrameworkErrno::m_fwErrno == BUFFER_EMPTY ? 0 : -1;
        if (m_msg.appMsg.type == MSG_DATA)
            continue;
        if (m_msg.appMsg.type != MSG_EVENT)
        {
            fwLog(LOG_LEVEL_NOTICE,
                  "Unexpected message type [%d] received from [%s], message seq [%d] . Ignore and continue.",
                  m_msg.appMsg.type, m_msg.originatorTxt, m_msg.msgSeqNum);
            continue;
        }
        const EventMsg& evt = m_msg.appMsg.event;
        const EventParam& p = evt.eventParam;
        fwLog(LOG_LEVEL_DEBUG, "Received event [%d] from [%s]. Param: [%s] [%d] [%d] [%ld].", evt.id,
              m_msg.originatorTxt, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
        if (const char* what = eventName(evt.id); what != nullptr)
            fwLog(LOG_LEVEL_INFO, "Received %s event for [%s] from [%s].", what, p.resNameTxt, m_msg.originatorTxt);
        int32 r = 0;
        switch (evt.id)
        {
        case INIT:
            m_initEventRcvd = true;
            m_mode = p.paramInt32;
            r = sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, INIT_ACK, EventParam{}, m_msgSeqNum);
            break;
        case APP_READY:
            break;
        case CONN_INIT:
            // The channels that could be set up are served even when one
            // could not (a port in use): its owner has been told.
            if (m_initEventRcvd)
            {
                r = initConnection();
                m_connInitEvtRcvd = true;
            }
            break;
        case TERM:
            terminate = true;
            return 0;
        case CONN_RQS:
            r = processConnRqs(m_msg);
            break;
        case CONN_TERM:
            r = processConnTerm(m_msg);
            break;
        case CONN_LISTEN:
            r = processConnListen(m_msg);
            break;
        case CONN_UPDATED:
            r = processConnUpdated(m_msg);
            break;
        case MCAST_JOIN:
            r = processMcastJoin(m_msg, true);
            break;
        case MCAST_LEAVE:
            r = processMcastJoin(m_msg, false);
            break;
        case STREAM_ROOM:
            r = processStreamRoom(p);
            break;
        case CONN_CLOSE_RQS:
            r = processCloseRqs(p);
            break;
        case CONN_SEND_FAILED:
            r = processSendFailed(p);
            break;
        case SW_ACTIVE:
            m_initEventRcvd = true;
            m_mode = ACTIVE_MODE;
            r = sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, SW_ACTIVE_ACK, EventParam{}, m_msgSeqNum);
            break;
        case SW_STANDBY:
            m_mode = STANDBY_MODE;
            r = sendEventMsg(m_ctlThdResPtr, MQUEUE_HIGH_PRIORITY, SW_STANDBY_ACK, EventParam{}, m_msgSeqNum);
            break;
        default:
            fwLog(LOG_LEVEL_NOTICE, "Unexpected event message [%d] received. Ignore and continue.", evt.id);
            break;
        }
        if (r != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            fwLog(LOG_LEVEL_ERROR, "Error [%d] processing event message [%d]. Param: [%s] [%d] [%d] [%ld]", code,
                  evt.id, p.resNameTxt, p.paramInt16, p.paramInt32, static_cast<long>(p.paramInt64));
            return code == BUFFER_EMPTY ? 0 : fwFail(code, -1);
        }
    }
    return 0;
}

// ---- channel start-up ----

void NetReceiver::notifyOwner(const ResourceName& owner, FwMessageQueue* queue, FwEventID evtId, const char* name,
                              void* resPtr, int32 param, int64 detail)
{
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, name);
    p.resPtr = resPtr;
    p.paramInt32 = param;
    p.paramInt64 = detail;
    if (queue != nullptr)
        sendEventMsg(owner, queue, evtId, p, m_msgSeqNum);
    else
        sendEventMsg(owner, MQUEUE_NORMAL, evtId, p, m_msgSeqNum);
}

// The owning thread's queues (or the pipeline) of a TCP or UDP channel, and
// the stores it parks in; withStores false leaves the stores unset.
template <typename Channel>
int32 NetReceiver::setChannelDestination(Channel* res, bool withStores)
{
    ThreadResource* owner = nullptr;
    if (m_resMgr.getThreadRes(res->regParam.threadNameTxt, &owner) != 0 || owner == nullptr)
        return -1;
    const bool priority = !res->usePipeline && res->regParam.channelType == PRIORITY_CHANNEL;
    if (res->usePipeline)
    {
        PipelineResource* pl = nullptr;
        if (m_resMgr.getPipelineRes(res->regParam.pipelineNameTxt, &pl) != 0 || pl == nullptr)
            return -1;
        res->pipelinePtr = pl->pipelinePtr;
    }
    res->msgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL];
    res->altMsgQueuePtr = owner->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
    if (!withStores)
        return 0;
    DataValueType value = 0;
    if (m_gblData.m_tmpMsgRepository.getValueByKey(nameKey(res->regParam.threadNameTxt), value, false))
        res->tmpMsgStorePtr = reinterpret_cast<MessageStore*>(value);
    if (res->usePipeline &&
        m_gblData.m_tmpPlMsgRepository.getValueByKey(nameKey(res->regParam.pipelineNameTxt), value, false))
        res->tmpPlMsgStorePtr = reinterpret_cast<PlMessageStore*>(value);
    return 0;
}

int32 NetReceiver::setDestination(TcpConnResource* res)
{
    return setChannelDestination(res, true);
}

// UDP channels park only in the receiving modes.
int32 NetReceiver::setDestination(UdpConnResource* res)
{
    return setChannelDestination(res, isUdpReceiving(res->regParam.udpMode));
}

// Every registered channel of one kind in registry order, those not marked
// to open in standby skipped outside ACTIVE_MODE; the first failure ends it.
template <typename Channel>
int32 NetReceiver::initChannels(int32 (ResourceManager::*first)(ResourceName&, Channel**),
                                int32 (ResourceManager::*next)(ResourceName&, Channel**),
                                int32 (NetReceiver::*init)(Channel*))
{
    const bool active = m_gblData.m_appMode.load(std::memory_order_acquire) == ACTIVE_MODE;
    ResourceName name{};
    Channel* res = nullptr;
    // A channel that fails (a port in use) does not keep the others down;
    // its owner has been told, and the first failure is returned.
    int32 failed = 0;
    int32 r = (m_resMgr.*first)(name, &res);
    for (; r == 0 && res != nullptr; r = (m_resMgr.*next)(name, &res))
    {
        if (res->status.load(std::memory_order_acquire) != RES_REGISTERED)
            continue;
        if (!active && !res->regParam.openInStandbyMode)
            continue;
        if ((setDestination(res) != 0 || (this->*init)(res) != 0) && failed == 0)
            failed = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : SOCK_ERROR;
    }
    if (r != 0 && FrameworkErrno::m_fwErrno != RES_EMPTY && FrameworkErrno::m_fwErrno != RES_NEXT_END)
        return -1;
    return failed != 0 ? fwFail(failed, -1) : 0;
}

int32 NetReceiver::initConnection()
{
    if (initChannels(&ResourceManager::getFirstTcpConnRes, &ResourceManager::getNextTcpConnRes,
                     &NetReceiver::initTcpConn) != 0)
        return -1;
    return initChannels(&ResourceManager::getFirstUdpConnRes, &ResourceManager::getNextUdpConnRes,
                        &NetReceiver::initUdpConn);
}

int32 NetReceiver::initTcpConn(TcpConnResource* res)
{
    const TcpConnParam& prm = res->regParam;
    fwLog(LOG_LEVEL_INFO,
          "TCP resource [%s] initialized for thread [%s]. Connection mode [%d], local end-point [%s:%d], remote "
          "end-point [%s:%d], replication mode [%d], internal channel type [%d], send buf size [%d], receive buf size "
          "[%d].",
          res->tcpConnNameTxt, prm.threadNameTxt, prm.tcpMode, res->interfaceAddrTxt, prm.localPort,
          prm.remoteAddrTxt, prm.remotePort, prm.replicationMode, prm.channelType, prm.sendBufSize, prm.recvBufSize);
    if (prm.tcpMode == TCP_SERVER_LISTEN_MODE)
    {
        auto* sock = new TcpListenSocket(res->interfaceAddrTxt, prm.localPort, false);
        if (sock->initialize() != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            notifyOwner(prm.threadNameTxt, res->msgQueuePtr, NET_RES_INIT_FAIL, res->tcpConnNameTxt, nullptr, code,
                        sock->osError());
            delete sock;
            return fwFail(code, -1);
        }
        res->listenSockPtr = sock;
        sock->setInfoPtr(res);
        if (!prm.connectAtStartup)
        {
            res->status.store(RES_INITIALIZED, std::memory_order_release);
            notifyOwner(prm.threadNameTxt, res->msgQueuePtr, CONN_READY_TO_OPEN, res->tcpConnNameTxt, nullptr,
                        TCP_SERVER_LISTEN_MODE);
            return 0;
        }
        if (sock->startListen() != 0)
        {
            res->listenSockPtr = nullptr;
            delete sock;
            return -1;
        }
        if (m_fdWaitPtr->addFileDesc(sock, IO_WAIT_READ) != 0)
        {
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] adding TCP listen socket [%d] for [%s] to FD multiplexer in Network Receiver.",
                  FrameworkErrno::m_fwErrno, sock->getFileDescriptor(), res->tcpConnNameTxt);
            res->listenSockPtr = nullptr;
            delete sock;
            return -1;
        }
        res->status.store(RES_LISTENING, std::memory_order_release);
        fwLog(LOG_LEVEL_INFO, "Start listening TCP [%s] connection on socket [%d].", res->tcpConnNameTxt,
              sock->getFileDescriptor());
        return 0;
    }
    if (prm.tcpMode == TCP_SERVER_DATA_MODE)
    {
        fwLog(LOG_LEVEL_NOTICE, "initTcpConn() does not expect TCP_SERVER_DATA_MODE set to [%s].",
              res->tcpConnNameTxt);
        return 0;
    }
    in_addr remote{};
    if (::inet_pton(AF_INET, prm.remoteAddrTxt, &remote) != 1 || remote.s_addr == 0)
    {
        if (!prm.connectAtStartup)
            return 0;
        connectFail(res);
        return fwFail(SOCK_ERROR, -1);
    }
    auto* sock = new TcpDataSocket(prm.remoteAddrTxt, prm.remotePort, res->interfaceAddrTxt, prm.localPort, false,
                                   prm.sendBufSize, prm.recvBufSize);
    if (sock->initialize() != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        delete sock;
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, NET_RES_INIT_FAIL, res->tcpConnNameTxt, nullptr, code);
        return fwFail(code, -1);
    }
    moveDescriptor(sock, res->tcpConnNameTxt);
    fwLog(LOG_LEVEL_INFO, "TCP [%s] is assigned with socket [%d].", res->tcpConnNameTxt, sock->getFileDescriptor());
    res->dataSockPtr = sock;
    sock->setInfoPtr(res);
    if (!prm.connectAtStartup)
    {
        res->status.store(RES_INITIALIZED, std::memory_order_release);
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, CONN_READY_TO_OPEN, res->tcpConnNameTxt, nullptr,
                    TCP_CLIENT_DATA_MODE);
        return 0;
    }
    return connectClient(res);
}

// A connect in progress waits for writability; any other failure answers
// CONNECT_FAIL and gives the channel a fresh socket.
int32 NetReceiver::connectClient(TcpConnResource* res)
{
    TcpDataSocket* sock = res->dataSockPtr;
    if (sock->connect() == 0 || FrameworkErrno::m_fwErrno == WOULD_BLOCK)
    {
        res->status.store(RES_CONNECTING, std::memory_order_release);
        if (m_fdWaitPtr->addFileDesc(sock, IO_WAIT_WRITE) == 0)
            return 0;
        const int32 code = FrameworkErrno::m_fwErrno;
        if (code == WAIT_OBJECT_LIST_FULL)
            fwLog(LOG_LEVEL_WARNING, "The descriptor multiplexer in Network Receiver is full. Number of descriptors [%d].",
                  m_maxNumDesc);
        else
            fwLog(LOG_LEVEL_WARNING, "Error [%d] adding a data socket to EPOLL.", code);
    }
    connectFail(res);
    recycleClientSocket(res, "Place the failed FD [%d] of [%s] to the trash.");
    return 0;
}

int32 NetReceiver::initUdpConn(UdpConnResource* res)
{
    const UdpConnParam& prm = res->regParam;
    fwLog(LOG_LEVEL_INFO,
          "UDP resource [%s] initialized for thread [%s]. UDP mode [%d], local interface [%s], dest addr [%s:%d], "
          "loopback [%d], TTL [%d], replication mode [%d], internal channel type [%d], send buf size [%d], receive "
          "buf size [%d].",
          res->udpConnNameTxt, prm.threadNameTxt, prm.udpMode, res->interfaceAddrTxt, prm.destAddrTxt, prm.port,
          prm.mcastLoopBack, prm.mcastSendTtl, prm.replicationMode, prm.channelType, prm.sendBufSize,
          prm.recvBufSize);
    if (prm.udpMode > MULTICAST_SENDER_RCVR_MODE)
        return fwFail(INVALID_UDP_MODE, -1);
    const bool p2p = prm.udpMode <= P2P_SENDER_RECEIVER_MODE;
    const MulticastDirection dir = isUdpReceiving(prm.udpMode) ? (isUdpSending(prm.udpMode) ? MULTICAST_SEND_RECV
                                                                                           : MULTICAST_RECEIVE)
                                                               : MULTICAST_SEND;
    auto* sock = new MulticastSocket(dir, res->interfaceAddrTxt, prm.destAddrTxt, prm.port, false, prm.mcastSendTtl,
                                     prm.mcastLoopBack, prm.sendBufSize, prm.recvBufSize);
    // A point-to-point channel receives what is sent to its own interface
    // address and sends to its destination.
    if (p2p)
        sock->setLocalBindAddr(res->interfaceAddrTxt);
    if (sock->initialize() != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        delete sock;
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, NET_RES_INIT_FAIL, res->udpConnNameTxt, nullptr, code);
        return fwFail(code, -1);
    }
    sock->setInfoPtr(res);
    storeUdpSocket(*res, sock);
    if (dir == MULTICAST_SEND)
    {
        res->status.store(RES_CONNECTED, std::memory_order_release);
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, MCAST_READY_FOR_TRANSMISSION, res->udpConnNameTxt, res, 0);
        return 0;
    }
    // Directed datagrams need no membership and no one asks to join, so such
    // a channel is read from start-up; the owner still learns it is ready.
    const bool directed = sock->isDirected();
    if (!prm.connectAtStartup && !directed)
    {
        res->status.store(RES_INITIALIZED, std::memory_order_release);
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, CONN_READY_TO_OPEN, res->udpConnNameTxt, nullptr,
                    prm.udpMode);
        return 0;
    }
    if (!directed && sock->join() != 0)
        return -1;
    if (m_fdWaitPtr->addFileDesc(sock, IO_WAIT_READ) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] adding Multicast receiver socket to descriptor multiplexer in Network Receiver.",
              FrameworkErrno::m_fwErrno);
        return -1;
    }
    res->status.store(RES_CONNECTED, std::memory_order_release);
    if (!prm.connectAtStartup)
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, CONN_READY_TO_OPEN, res->udpConnNameTxt, nullptr,
                    prm.udpMode);
    if (dir == MULTICAST_SEND_RECV)
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, MCAST_READY_FOR_TRANSMISSION, res->udpConnNameTxt, res, 0);
    return 0;
}

// ---- requests ----

TcpConnResource* NetReceiver::findTcp(const FwIntMessage& msg)
{
    const EventMsg& evt = msg.appMsg.event;
    ResourceName name{};
    ResourceManager::copyResourceName(name, evt.eventParam.resNameTxt);
    TcpConnResource* res = nullptr;
    if (m_resMgr.getTcpConnRes(name, &res, true) == 0 && res != nullptr)
        return res;
    if (evt.id == CONN_TERM)
    {
        fwLog(LOG_LEVEL_NOTICE, "Error [%d] locating TCP resource [%s]. Discard CONN_TERM and continue.",
              FrameworkErrno::m_fwErrno, name);
        return nullptr;
    }
    fwLog(LOG_LEVEL_NOTICE, "Failed to locate TCP channel [%s]. Ignore event message [%d] and continue.", name, evt.id);
    notifyOwner(msg.originatorTxt, nullptr, CONNECT_FAIL, name, nullptr, 0);
    return nullptr;
}

UdpConnResource* NetReceiver::findUdp(const FwIntMessage& msg)
{
    const EventMsg& evt = msg.appMsg.event;
    ResourceName name{};
    ResourceManager::copyResourceName(name, evt.eventParam.resNameTxt);
    UdpConnResource* res = nullptr;
    if (m_resMgr.getUdpConnRes(name, &res) == 0 && res != nullptr)
        return res;
    fwLog(LOG_LEVEL_NOTICE, "Failed to locate UDP channel [%s]. Ignore event message [%d] and continue.", name, evt.id);
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, name);
    sendEventMsg(msg.originatorTxt, MQUEUE_HIGH_PRIORITY, CONNECT_FAIL, p, m_msgSeqNum);
    return nullptr;
}

void NetReceiver::connectFail(TcpConnResource* res, int32 code, int32 osError)
{
    notifyOwner(res->regParam.threadNameTxt, res->msgQueuePtr, CONNECT_FAIL, res->tcpConnNameTxt, nullptr, code,
                osError);
}

int32 NetReceiver::processConnRqs(const FwIntMessage& msg)
{
    const int32 id = msg.appMsg.event.id;
    ResourceName name{};
    ResourceManager::copyResourceName(name, msg.appMsg.event.eventParam.resNameTxt);
    TcpConnResource* res = nullptr;
    if (m_resMgr.getTcpConnRes(name, &res, true) != 0 || res == nullptr)
    {
        fwLog(LOG_LEVEL_NOTICE, "Failed to locate TCP channel [%s]. Ignore event message [%d] and continue.", name, id);
        EventParam p{};
        ResourceManager::copyResourceName(p.resNameTxt, name);
        sendEventMsg(msg.originatorTxt, MQUEUE_HIGH_PRIORITY, CONNECT_FAIL, p, m_msgSeqNum);
        return 0;
    }
    const ResourceStatus st = res->status.load(std::memory_order_acquire);
    if (res->regParam.tcpMode != TCP_CLIENT_DATA_MODE)
        fwLog(LOG_LEVEL_NOTICE, "[%s] is not a client side channel. Ignore event message [%d] and continue.", name, id);
    else if (st != RES_UNUSED && st != RES_INITIALIZED)
        fwLog(LOG_LEVEL_NOTICE, "Connection [%s] is in state [%d]. Ignore event message [%d] and continue.", name, st,
              id);
    else if (res->dataSockPtr == nullptr)
        fwLog(LOG_LEVEL_NOTICE, "Data Socket is NULL for Connection [%s]. Ignore event message [%d] and continue.",
              name, id);
    else
        return connectClient(res);
    connectFail(res);
    return 0;
}

int32 NetReceiver::processConnTerm(const FwIntMessage& msg)
{
    TcpConnResource* res = findTcp(msg);
    if (res != nullptr && res->regParam.tcpMode == TCP_SERVER_LISTEN_MODE &&
        res->status.load(std::memory_order_acquire) == RES_LISTENING)
        return closeListener(res);
    if (res == nullptr || res->status.load(std::memory_order_acquire) != RES_CONNECTED)
        return 0;
    if (m_msgRepliThdResPtr != nullptr && res->regParam.replicationMode != NO_REPLICATION)
    {
        const MessageQueueType type = res->regParam.channelType == PRIORITY_CHANNEL ? MQUEUE_HIGH_PRIORITY
                                                                                     : MQUEUE_NORMAL;
        return sendEventMsg(m_msgRepliThdResPtr, type, CONN_TERM, msg.appMsg.event.eventParam, m_msgSeqNum);
    }
    const int32 fd = res->dataSockPtr != nullptr ? res->dataSockPtr->getFileDescriptor() : -1;
    // Once closed, the stream thread may clear the record's name.
    ResourceName name{};
    ResourceManager::copyResourceName(name, res->tcpConnNameTxt);
    closeTcp(res, 0);
    fwLog(LOG_LEVEL_INFO, "TCP connection [%s] with socket [%d] is closed.", name, fd);
    return 0;
}

bool NetReceiver::isRetired(const FileDescriptor* fd) const
{
    for (const auto& retired : m_retiredListeners)
        if (retired.get() == fd)
            return true;
    return false;
}

// A listening channel closed by its owner stops accepting: its socket is
// closed and a fresh one bound, so that CONN_LISTEN can open it again.
// Connections it accepted are not touched.
int32 NetReceiver::closeListener(TcpConnResource* res)
{
    TcpListenSocket* old = res->listenSockPtr;
    const int32 fd = old != nullptr ? old->getFileDescriptor() : -1;
    if (old != nullptr)
        m_fdWaitPtr->removeFileDesc(old);
    res->listenSockPtr = nullptr;
    // The pass's ready list may still name it: closed now so that the port
    // can be bound again, freed only before the next wait.
    if (old != nullptr)
    {
        old->closeNow();
        m_retiredListeners.emplace_back(old);
    }
    res->status.store(RES_INITIALIZED, std::memory_order_release);
    auto* sock = new TcpListenSocket(res->interfaceAddrTxt, res->regParam.localPort, false);
    if (sock->initialize() != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] binding a new listen socket for TCP [%s] after closing it.",
              FrameworkErrno::m_fwErrno, res->tcpConnNameTxt);
        delete sock;
        return 0;
    }
    res->listenSockPtr = sock;
    sock->setInfoPtr(res);
    fwLog(LOG_LEVEL_INFO, "TCP listen channel [%s] with socket [%d] is closed.", res->tcpConnNameTxt, fd);
    return 0;
}

int32 NetReceiver::processConnListen(const FwIntMessage& msg)
{
    TcpConnResource* res = findTcp(msg);
    if (res == nullptr)
        return 0;
    const int32 id = msg.appMsg.event.id;
    TcpListenSocket* sock = res->listenSockPtr;
    const bool active = m_gblData.m_appMode.load(std::memory_order_acquire) == ACTIVE_MODE;
    int32 code = 0;
    int32 osError = 0;
    if (res->regParam.tcpMode != TCP_SERVER_LISTEN_MODE || (sock == nullptr && !active &&
                                                            !res->regParam.openInStandbyMode))
        fwLog(LOG_LEVEL_NOTICE, "[%s] is not a listen channel. Ignore event message [%d] and continue.",
              res->tcpConnNameTxt, id);
    else if (res->status.load(std::memory_order_acquire) == RES_LISTENING)
        fwLog(LOG_LEVEL_NOTICE, "Channel [%s] already starts listening. Ignore event message [%d] and continue.",
              res->tcpConnNameTxt, id);
    else if (sock == nullptr && (sock = bindListener(res, osError)) == nullptr)
        code = SOCK_ERROR;
    else if (sock->startListen() != 0)
    {
        code = FrameworkErrno::m_fwErrno;
        osError = sock->osError();
        fwLog(LOG_LEVEL_ERROR, "Error [%d] listening to TCP connection request on channel [%s], socket [%d].",
              code, res->tcpConnNameTxt, sock->getFileDescriptor());
        // Its set-up closed the socket: the next request binds a fresh one.
        res->listenSockPtr = nullptr;
        delete sock;
    }
    else if (m_fdWaitPtr->addFileDesc(sock, IO_WAIT_READ) != 0)
    {
        if (FrameworkErrno::m_fwErrno == WAIT_OBJECT_LIST_FULL)
            fwLog(LOG_LEVEL_WARNING,
                  "The descriptor multiplexer in Network Receiver is full while trying to add a listen socket. Number "
                  "of descriptors [%d].",
                  m_maxNumDesc);
        else
            fwLog(LOG_LEVEL_WARNING, "Error [%d] adding a listen socket to EPOLL.", FrameworkErrno::m_fwErrno);
    }
    else
    {
        res->status.store(RES_LISTENING, std::memory_order_release);
        return 0;
    }
    connectFail(res, code, osError);
    return 0;
}

TcpListenSocket* NetReceiver::bindListener(TcpConnResource* res, int32& osError)
{
    if (res->msgQueuePtr == nullptr && res->altMsgQueuePtr == nullptr && setDestination(res) != 0)
    {
        osError = 0;
        return nullptr;
    }
    auto* sock = new TcpListenSocket(res->interfaceAddrTxt, res->regParam.localPort, false);
    if (sock->initialize() != 0)
    {
        osError = sock->osError();
        fwLog(LOG_LEVEL_ERROR, "Error [%d] binding a listen socket for TCP [%s] to port [%d].",
              FrameworkErrno::m_fwErrno, res->tcpConnNameTxt, res->regParam.localPort);
        delete sock;
        return nullptr;
    }
    res->listenSockPtr = sock;
    sock->setInfoPtr(res);
    res->status.store(RES_INITIALIZED, std::memory_order_release);
    return sock;
}

int32 NetReceiver::processConnUpdated(const FwIntMessage& msg)
{
    TcpConnResource* res = findTcp(msg);
    if (res == nullptr)
        return 0;
    if (res->regParam.tcpMode != TCP_CLIENT_DATA_MODE)
    {
        connectFail(res);
        return 0;
    }
    if (res->dataSockPtr != nullptr)
        return 0;
    const TcpConnParam& prm = res->regParam;
    auto* sock = new TcpDataSocket(prm.remoteAddrTxt, prm.remotePort, res->interfaceAddrTxt, prm.localPort, false,
                                   prm.sendBufSize, prm.recvBufSize);
    if (sock->initialize() != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        delete sock;
        notifyOwner(prm.threadNameTxt, res->msgQueuePtr, NET_RES_INIT_FAIL, res->tcpConnNameTxt, nullptr, code);
        connectFail(res);
        return 0;
    }
    moveDescriptor(sock, res->tcpConnNameTxt);
    res->dataSockPtr = sock;
    sock->setInfoPtr(res);
    res->status.store(RES_INITIALIZED, std::memory_order_release);
    notifyOwner(prm.threadNameTxt, res->msgQueuePtr, CONN_READY_TO_OPEN, res->tcpConnNameTxt, nullptr,
                TCP_CLIENT_DATA_MODE);
    return 0;
}

int32 NetReceiver::processMcastJoin(const FwIntMessage& msg, bool join)
{
    UdpConnResource* res = findUdp(msg);
    if (res == nullptr)
        return 0;
    const int32 id = msg.appMsg.event.id;
    MulticastSocket* sock = res->multicastSockPtr;
    const ResourceStatus st = res->status.load(std::memory_order_acquire);
    bool ok = false;
    if (!isMcastReceiving(res->regParam.udpMode) || sock == nullptr)
        fwLog(LOG_LEVEL_NOTICE, "[%s] is not a multicast receiving channel. Ignore event message [%d] and continue.",
              res->udpConnNameTxt, id);
    else if (join && st == RES_CONNECTED)
        fwLog(LOG_LEVEL_NOTICE,
              "Channel [%s] has already joined the multicast group. Ignore event message [%d] and continue.",
              res->udpConnNameTxt, id);
    else if (!join && st != RES_CONNECTED)
        fwLog(LOG_LEVEL_NOTICE,
              "Channel [%s] has not yet joined the multicast group. Ignore event message [%d] and continue.",
              res->udpConnNameTxt, id);
    else if (join)
    {
        if (sock->isDirected() || sock->join() == 0)
        {
            if (m_fdWaitPtr->addFileDesc(sock, IO_WAIT_READ) != 0)
                fwLog(LOG_LEVEL_ERROR,
                      "Error [%d] adding Multicast receiver socket to descriptor multiplexer in Network Receiver.",
                      FrameworkErrno::m_fwErrno);
            else
            {
                res->status.store(RES_CONNECTED, std::memory_order_release);
                ok = true;
            }
        }
    }
    else
    {
        if (!sock->isDirected())
            sock->leave();
        if (m_fdWaitPtr->removeFileDesc(sock) != 0)
            fwLog(LOG_LEVEL_ERROR,
                  "Error [%d] removing Multicast receiver socket to descriptor multiplexer in Network Receiver.",
                  FrameworkErrno::m_fwErrno);
        res->status.store(RES_DISCONNECTED, std::memory_order_release);
        ok = true;
    }
    if (!ok)
        notifyOwner(res->regParam.threadNameTxt, res->msgQueuePtr, CONNECT_FAIL, res->udpConnNameTxt, nullptr, 0);
    return 0;
}

// ---- TCP ----

int32 NetReceiver::sendStreamEvent(TcpConnResource* res, FwEventID evtId, int32 param)
{
    if (m_streamHdrThdResPtr == nullptr)
        return fwFail(THREAD_NOT_ACTIVE, -1);
    EventParam p{};
    ResourceManager::copyResourceName(p.resNameTxt, res->tcpConnNameTxt);
    p.resPtr = res;
    p.paramInt32 = param;
    return sendEventMsg(m_streamHdrThdResPtr, MQUEUE_NORMAL, evtId, p, m_msgSeqNum);
}

int32 NetReceiver::createStream(TcpConnResource* res, FwEventID announce)
{
    res->streamBufPtr = new StreamBuffer(res, res->regParam.streamBufSize, m_optMode, false);
    // The stream thread reads the peer from the stream, never the socket.
    uint32 addr = 0;
    uint16 port = 0;
    if (res->dataSockPtr != nullptr && res->dataSockPtr->getPeer(addr, port) == 0)
        res->streamBufPtr->setPeer(addr, port);
    return sendStreamEvent(res, STREAM_ADD, announce);
}

int32 NetReceiver::acceptConnection(TcpListenSocket* sock)
{
    auto* listen = static_cast<TcpConnResource*>(sock->getInfoPtr());
    if (listen == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "No TCP resource record pointer set inside the TCP listen object of socket [%d].",
              sock->getFileDescriptor());
        return fwFail(NO_RESOURCE_RECORD, -1);
    }
    auto* data = new TcpDataSocket(listen->regParam.sendBufSize, listen->regParam.recvBufSize);
    TcpConnResource* res = nullptr;
    int32 code = 0;
    ResourceName name{};
    if (sock->acceptConnRqs(*data) != 0)
        code = FrameworkErrno::m_fwErrno;
    else
    {
        TcpConnParam prm = listen->regParam;
        prm.tcpMode = TCP_SERVER_DATA_MODE;
        prm.localPort = 0;
        const int32 width = 16 - listen->srvConnNamePrefixLen;
        // A taken name tries the next number, at most once round the range.
        for (int64 tries = 0; tries <= listen->inConnNumMax; ++tries)
        {
            if (listen->nextInConnNum > listen->inConnNumMax)
                listen->nextInConnNum = 0;
            std::memset(prm.connNameTxt, 0, sizeof(ResourceName));
            std::memcpy(prm.connNameTxt, listen->srvConnNamePrefix, static_cast<size_t>(listen->srvConnNamePrefixLen));
            const uint64 number = static_cast<uint64>(listen->nextInConnNum++);
            if (width <= 0 ||
                int2TxtLeftAlign(number, prm.connNameTxt + listen->srvConnNamePrefixLen, width, 10, false) < 0)
            {
                code = BUF_NOT_ENOUGH_SPACE;
                break;
            }
            prm.connNameTxt[16] = '\0';
            if (m_resMgr.registerTcpConnRes(prm, &res, true) == 0)
                break;
            res = nullptr;
            code = FrameworkErrno::m_fwErrno;
            if (code != RES_NAME_EXIST)
            {
                fwLog(LOG_LEVEL_WARNING, "Error [%d] registering the TCP connection resource [%s] for data socket [%d].",
                      code, prm.connNameTxt, data->getFileDescriptor());
                break;
            }
        }
        if (res != nullptr)
        {
            code = 0;
            ResourceManager::copyResourceName(name, res->tcpConnNameTxt);
            res->congested = false;
            res->dataSockPtr = data;
            res->msgQueuePtr = listen->msgQueuePtr;
            res->altMsgQueuePtr = listen->altMsgQueuePtr;
            res->pipelinePtr = listen->pipelinePtr;
            res->tmpMsgStorePtr = listen->tmpMsgStorePtr;
            res->tmpPlMsgStorePtr = listen->tmpPlMsgStorePtr;
            res->msgMaskFuncPtr = listen->msgMaskFuncPtr;
            data->setInfoPtr(res);
            moveDescriptor(data, res->tcpConnNameTxt);
            res->status.store(RES_CONNECTED, std::memory_order_release);
            if (m_fdWaitPtr->addFileDesc(data, IO_WAIT_READ) != 0)
            {
                code = FrameworkErrno::m_fwErrno;
                fwLog(LOG_LEVEL_WARNING, "Error [%d] adding data socket [%d] to descriptor multiplexer for TCP [%s].",
                      code, data->getFileDescriptor(), res->tcpConnNameTxt);
            }
            else
            {
                fwLog(LOG_LEVEL_INFO,
                      "New TCP connection [%s] initiated from [%s] is accepted at listen socket [%d] with the newly "
                      "assigned data socket [%d].",
                      res->tcpConnNameTxt, data->getPeerAddressTxt(), sock->getFileDescriptor(),
                      data->getFileDescriptor());
                if (createStream(res, NEW_CONNECT) == 0)
                    return 0;
                code = FrameworkErrno::m_fwErrno;
            }
        }
        else if (code == 0)
            code = RES_REG_FAILED;
    }
    fwLog(LOG_LEVEL_ERROR, "Error [%d] accepting TCP connection [%s] on socket [%d].", code, listen->tcpConnNameTxt,
          sock->getFileDescriptor());
    if (res != nullptr)
    {
        m_fdWaitPtr->removeFileDesc(data);
        res->dataSockPtr = nullptr;
        res->status.store(RES_DISCONNECTED, std::memory_order_release);
        if (res->streamBufPtr != nullptr)
            sendStreamEvent(res, STREAM_DEL, code);
        else
            m_resMgr.removeTcpClientConnRes(name, true);
    }
    delete data;
    return 0;
}

int32 NetReceiver::processTcpSock(TcpDataSocket* sock, IoWaitType io, const WireOrderInfo& w)
{
    auto* res = static_cast<TcpConnResource*>(sock->getInfoPtr());
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "No TCP resource record pointer set inside the TCP data object of socket [%d].",
              sock->getFileDescriptor());
        return fwFail(NO_RESOURCE_RECORD, -1);
    }
    const ResourceStatus st = res->status.load(std::memory_order_acquire);
    if ((io == IO_WAIT_WRITE || io == IO_WAIT_RW) && st == RES_CONNECTING)
    {
        int32 code = 0;
        if (sock->checkConnectResult() != 0)
            code = FrameworkErrno::m_fwErrno;
        else
        {
            fwLog(LOG_LEVEL_INFO, "TCP connection [%s] established on socket [%d].", res->tcpConnNameTxt,
                  sock->getFileDescriptor());
            if (m_fdWaitPtr->amendWaitType(sock, IO_WAIT_READ) != 0)
                code = FrameworkErrno::m_fwErrno;
            else
            {
                res->status.store(RES_CONNECTED, std::memory_order_release);
                res->congested = false;
                if (createStream(res, CONNECTED) == 0)
                    return 0;
                code = FrameworkErrno::m_fwErrno;
            }
        }
        dropTcp(res, sock, code, false);
        return 0;
    }
    if (io == IO_WAIT_ERROR)
    {
        dropTcp(res, sock, CONN_CLOSED, true);
        return 0;
    }
    if ((io == IO_WAIT_READ || io == IO_WAIT_RW) && st == RES_CONNECTED)
        return readTcp(res, sock, w);
    return 0;
}

// The connection ended on the peer's side or failed: by status, a connect
// that failed, a broken connection (its unread bytes delivered first), or
// something that no longer has a connection.
void NetReceiver::dropTcp(TcpConnResource* res, TcpDataSocket* sock, int32 reason, bool readFirst)
{
    switch (res->status.load(std::memory_order_acquire))
    {
    case RES_CONNECTING:
        res->status.store(RES_DISCONNECTED, std::memory_order_release);
        if (reason != 0)
            fwLog(LOG_LEVEL_NOTICE, "Error [%d] establishing TCP connection [%s] on socket [%d].", reason,
                  res->tcpConnNameTxt, sock->getFileDescriptor());
        else
            fwLog(LOG_LEVEL_NOTICE, "Fail to establish TCP connection [%s] on socket [%d].", res->tcpConnNameTxt,
                  sock->getFileDescriptor());
        m_fdWaitPtr->removeFileDesc(sock);
        connectFail(res);
        recycleClientSocket(res, "Place the closed FD [%d] of [%s] to the trash.");
        return;
    case RES_CONNECTED:
        if (readFirst)
        {
            // A reset or hang-up may follow the peer's last bytes: those go
            // to the stream before the close does.
            static const WireOrderInfo none{};
            for (int32 i = 0; i < 1024 && res->status.load(std::memory_order_acquire) == RES_CONNECTED; ++i)
                if (readTcp(res, sock, none) != 0 || FrameworkErrno::m_fwErrno == WOULD_BLOCK)
                    break;
            if (res->status.load(std::memory_order_acquire) != RES_CONNECTED)
                return; // the read found the end and closed
            // The stream has no room for the rest: it is read once it has,
            // and the hang-up, which stays, is reported again then.
            if (isPaused(res))
                return;
        }
        fwLog(LOG_LEVEL_NOTICE, "TCP connection [%s] with socket [%d] is dropped.", res->tcpConnNameTxt,
              sock->getFileDescriptor());
        closeTcp(res, CONN_CLOSED);
        return;
    default:
    {
        // The connection is over: the stream thread may be clearing the
        // record's name meanwhile, so the log gets a copy.
        ResourceName name{};
        loadTcpConnName(*res, name);
        m_fdWaitPtr->removeFileDesc(sock);
        trashDescriptor(sock->getFileDescriptor());
        if (reason != 0)
            fwLog(LOG_LEVEL_NOTICE, "Processing of TCP socket [%d] of [%s] returned error [%d]. IO status [%d]",
                  sock->getFileDescriptor(), name, reason, IO_WAIT_ERROR);
        else
            fwLog(LOG_LEVEL_NOTICE, "TCP socket [%d] of [%s] returned IO status [%d]", sock->getFileDescriptor(), name,
                  IO_WAIT_ERROR);
        return;
    }
    }
}

int32 NetReceiver::readTcp(TcpConnResource* res, TcpDataSocket* sock, const WireOrderInfo& w)
{
    StreamBuffer* sb = res->streamBufPtr;
    if (sb == nullptr)
        return fwFail(WOULD_BLOCK, 0); // nothing taken: the bytes wait in the kernel
    const bool ordered = w.dataTm.tv_sec != 0;
    // Bounded per event, so that the other sockets of the pass get their turn.
    int32 remaining = ordered ? w.dataSize : TCP_READ_BUDGET;
    int32 received = 0;
    int32 interrupted = 0;
    // The reads of one event wake the stream thread once, after the last
    // record is on the ring, and before a close may hand the ring back.
    bool appended = false;
    auto wake = [&]() -> int32 { return appended ? (appended = false, sb->wakeReader()) : 0; };
    bool paused = false;
    while (remaining > 0 && !paused)
    {
        // Straight into the stream's free room, never more than it can
        // take: the rest stays in the kernel.
        iovec regions[2];
        const int count = sb->getStreamBufStatus() == 1 ? sb->writableRegions(regions, remaining) : 0;
        if (count == 0)
        {
            if (sb->getStreamBufStatus() != 1)
                fwLog(LOG_LEVEL_DEBUG,
                      "Stream Handler is not yet ready to process data from the stream buffer of TCP channel [%s].",
                      res->tcpConnNameTxt);
            paused = pauseReading(res, sock); // false: room came meanwhile
            continue;
        }
        const auto want = static_cast<int32>(regions[0].iov_len + (count > 1 ? regions[1].iov_len : 0));
        int done = 0;
        if (sock->receiveInto(regions, count, done) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (code == WOULD_BLOCK)
            {
                wake();
                if (ordered)
                    fwLog(LOG_LEVEL_NOTICE,
                          "TCP data segment size available to receive does not match the size indicated in Wire Order "
                          "Info. Expected [%d], actually received [%d].",
                          w.dataSize, received);
                return fwFail(WOULD_BLOCK, 0);
            }
            if (code == CONN_CLOSED)
                fwLog(LOG_LEVEL_NOTICE, "TCP connection [%s] with socket [%d] is closed.", res->tcpConnNameTxt,
                      sock->getFileDescriptor());
            else
                fwLog(LOG_LEVEL_WARNING, "Read error [%d] on TCP connection [%s] encountered.", code,
                      res->tcpConnNameTxt);
            wake();
            closeTcp(res, code);
            return 0;
        }
        if (done <= 0)
        {
            // Interrupted: try again a few times, never without bound.
            if (++interrupted > TCP_READ_RETRIES)
                break;
            continue;
        }
        // The caller wakes the reader once the record is on the ring: woken
        // earlier, it could take the wake-up, miss the record and sleep on it.
        int32 head = 0;
        sb->commitWritten(done, head);
        pushStreamEvent(res, head, w);
        appended = true;
        received += done;
        remaining -= done;
        if (!ordered && done < want)
            break; // a short read emptied the socket
    }
    if (wake() != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_WARNING, "Read error [%d] on TCP connection [%s] encountered.", code, res->tcpConnNameTxt);
        closeTcp(res, code);
        return 0;
    }
    if (paused)
        return fwFail(WOULD_BLOCK, 0);
    FrameworkErrno::m_fwErrno = 0;
    return 0;
}

bool NetReceiver::pauseReading(TcpConnResource* res, TcpDataSocket* sock)
{
    if (!res->streamBufPtr->writerWaits())
        return false;
    // Level-triggered readiness would report the unread bytes at every wait.
    m_fdWaitPtr->removeFileDesc(sock);
    if (!isPaused(res))
        m_pausedStreams.push_back(res);
    fwLog(LOG_LEVEL_DEBUG, "The stream of TCP connection [%s] has no room. Socket [%d] is read again when it has.",
          res->tcpConnNameTxt, sock->getFileDescriptor());
    return true;
}

void NetReceiver::resumeReading(TcpConnResource* res)
{
    m_pausedStreams.erase(std::find(m_pausedStreams.begin(), m_pausedStreams.end(), res));
    res->streamBufPtr->cancelWriterWait();
    // Records that waited for ring room go first: the stream thread may
    // need them to make more room.
    pushPendingRecords();
    TcpDataSocket* sock = res->dataSockPtr;
    if (m_fdWaitPtr->addFileDesc(sock, IO_WAIT_READ) != 0)
    {
        const int32 code = FrameworkErrno::m_fwErrno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] adding data socket [%d] of TCP [%s] to descriptor multiplexer again.", code,
              sock->getFileDescriptor(), res->tcpConnNameTxt);
        closeTcp(res, code);
    }
}

bool NetReceiver::isPaused(const TcpConnResource* res) const
{
    return std::find(m_pausedStreams.begin(), m_pausedStreams.end(), res) != m_pausedStreams.end();
}

// The answer travels through the queue; should it be lost (a full queue), the
// stream thread has still taken the wait, and reading goes on from here.
void NetReceiver::resumeAnswered()
{
    for (size_t i = m_pausedStreams.size(); i-- > 0;)
        if (!m_pausedStreams[i]->streamBufPtr->isWriterWaiting())
            resumeReading(m_pausedStreams[i]);
}

TcpConnResource* NetReceiver::streamConnection(const EventParam& p) const
{
    auto* res = static_cast<TcpConnResource*>(p.resPtr);
    if (res == nullptr || res->status.load(std::memory_order_acquire) != RES_CONNECTED || res->dataSockPtr == nullptr)
        return nullptr;
    ResourceName name{};
    ResourceManager::copyResourceName(name, p.resNameTxt);
    // A record is reused for later connections (a client channel's, or a
    // new one's): the name and the stream tell whether it is still this one.
    if (loadTcpConnNameKey(*res) != UInt128(name, false) ||
        reinterpret_cast<int64>(res->streamBufPtr) != p.paramInt64)
        return nullptr;
    return res;
}

int32 NetReceiver::processStreamRoom(const EventParam& p)
{
    TcpConnResource* res = streamConnection(p);
    if (res != nullptr && isPaused(res))
        resumeReading(res);
    return 0;
}

int32 NetReceiver::processCloseRqs(const EventParam& p)
{
    TcpConnResource* res = streamConnection(p);
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_DEBUG, "TCP connection [%s] asked to close has closed already.", p.resNameTxt);
        return 0;
    }
    const int32 fd = res->dataSockPtr->getFileDescriptor();
    // Once closed, the stream thread may clear the record's name.
    ResourceName name{};
    ResourceManager::copyResourceName(name, res->tcpConnNameTxt);
    closeTcp(res, p.paramInt32);
    fwLog(LOG_LEVEL_INFO, "TCP connection [%s] with socket [%d] is closed. Reason [%d].", name, fd, p.paramInt32);
    return 0;
}

int32 NetReceiver::processSendFailed(const EventParam& p)
{
    TcpConnResource* res = streamConnection(p);
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_DEBUG, "TCP connection [%s] whose send failed has closed already.", p.resNameTxt);
        return 0;
    }
    // Reading goes on: what the peer still sends, and its close, arrive as usual.
    res->dataSockPtr->shutdown(CLOSE_WR);
    fwLog(LOG_LEVEL_INFO, "TCP connection [%s] is shut for sending after send error [%d].", p.resNameTxt,
          p.paramInt32);
    return 0;
}

// A record that a full ring cannot take waits (newest head per stream) and is
// pushed before any later one: no bytes are left unannounced.
void NetReceiver::pushStreamEvent(TcpConnResource* res, int32 headIdx, const WireOrderInfo& w)
{
    StreamEventRecord rec{};
    rec.tcpResId = loadTcpConnNameKey(*res);
    rec.streamBufPtr = res->streamBufPtr;
    rec.effectiveHdIdx = headIdx;
    rec.wireOrdInfo = w;
    pushPendingRecords();
    if (m_pendingRecords.empty())
    {
        for (int32 sleeps = 0;; ++sleeps)
        {
            if (m_streamEvtBufPtr->enqueue(rec) == 0)
                return;
            if (sleeps == EVT_RING_PUSH_SLEEPS)
                break;
            ::usleep(EVT_RING_PUSH_SLEEP_US);
        }
        fwLog(LOG_LEVEL_NOTICE, "Enqueuing to stream event buffer is not successful. Return code [%d]", BUFFER_FULL);
    }
    for (StreamEventRecord& waiting : m_pendingRecords)
        if (waiting.streamBufPtr == rec.streamBufPtr && waiting.tcpResId == rec.tcpResId)
        {
            waiting.effectiveHdIdx = headIdx;
            return;
        }
    m_pendingRecords.push_back(rec);
}

void NetReceiver::pushPendingRecords()
{
    // Each record pushed late wakes its reader: the wake-up of its bytes may
    // have been taken already. A closed channel's records are gone from here.
    while (!m_pendingRecords.empty() && m_streamEvtBufPtr->enqueue(m_pendingRecords.front()) == 0)
    {
        m_pendingRecords.front().streamBufPtr->wakeReader();
        m_pendingRecords.pop_front();
    }
}

void NetReceiver::closeTcp(TcpConnResource* res, int32 reason)
{
    if (const auto paused = std::find(m_pausedStreams.begin(), m_pausedStreams.end(), res);
        paused != m_pausedStreams.end())
        m_pausedStreams.erase(paused);
    TcpDataSocket* sock = res->dataSockPtr;
    if (sock != nullptr)
    {
        m_fdWaitPtr->removeFileDesc(sock);
        const int32 fd = sock->getFileDescriptor();
        if (fd >= 0 && m_tcpReassignFdBase >= 1)
            fwLog(LOG_LEVEL_DEBUG, "Place the closed FD [%d] of [%s] to the trash.", fd, res->tcpConnNameTxt);
        trashDescriptor(fd);
        sock->disconnect();
    }
    // A record still waiting for ring room belongs to the stream that ends,
    // and so does a wait for room.
    if (res->streamBufPtr != nullptr)
        res->streamBufPtr->cancelWriterWait();
    for (auto it = m_pendingRecords.begin(); it != m_pendingRecords.end();)
        it = it->streamBufPtr == res->streamBufPtr ? m_pendingRecords.erase(it) : it + 1;
    res->status.store(RES_DISCONNECTED, std::memory_order_release);
    const bool hasStream = res->streamBufPtr != nullptr;
    if (res->regParam.tcpMode == TCP_SERVER_DATA_MODE)
    {
        // Application threads may still hold the socket through the record.
        const int64 now = monoMs();
        if (sock != nullptr)
            m_dataSockTrash.push_back({sock, now});
        freeRetiredSockets(now);
        if (!hasStream)
        {
            ResourceName name{};
            ResourceManager::copyResourceName(name, res->tcpConnNameTxt);
            m_resMgr.removeTcpClientConnRes(name, true);
        }
    }
    else if (sock != nullptr)
    {
        if (sock->reinitialize(false) == 0)
        {
            moveDescriptor(sock, res->tcpConnNameTxt);
            fwLog(LOG_LEVEL_INFO, "TCP [%s] is reinitialised with the newly assigned socket [%d].", res->tcpConnNameTxt,
                  sock->getFileDescriptor());
        }
        if (!hasStream)
            res->status.store(RES_INITIALIZED, std::memory_order_release);
    }
    if (hasStream)
        sendStreamEvent(res, STREAM_DEL, reason);
}

void NetReceiver::freeRetiredSockets(int64 nowMs)
{
    // Closed in order, so the oldest are at the front.
    while (!m_dataSockTrash.empty() && nowMs - m_dataSockTrash.front().closedMs >= m_retiredSocketGraceMs)
    {
        delete m_dataSockTrash.front().sock;
        m_dataSockTrash.pop_front();
    }
}

void NetReceiver::recycleClientSocket(TcpConnResource* res, const char* placeText)
{
    TcpDataSocket* sock = res->dataSockPtr;
    if (sock == nullptr)
        return;
    const int32 fd = sock->getFileDescriptor();
    if (fd >= 0 && m_tcpReassignFdBase >= 1)
        fwLog(LOG_LEVEL_DEBUG, placeText, fd, res->tcpConnNameTxt);
    trashDescriptor(fd);
    sock->closeOnConnectFailure();
    if (sock->reinitialize(false) == 0)
    {
        res->status.store(RES_INITIALIZED, std::memory_order_release);
        moveDescriptor(sock, res->tcpConnNameTxt);
        fwLog(LOG_LEVEL_INFO, "TCP [%s] is reinitialised with the newly assigned socket [%d].", res->tcpConnNameTxt,
              sock->getFileDescriptor());
    }
}

// ---- descriptor moving ----

void NetReceiver::trashDescriptor(int32 fd)
{
    if (m_tcpReassignFdBase >= 1 && fd != -1)
        m_tcpFdTrash.push_back(fd);
}

int32 NetReceiver::moveDescriptor(TcpDataSocket* sock, const char* name)
{
    if (m_tcpReassignFdBase < 1)
        return 0;
    const int32 oldFd = sock->getFileDescriptor();
    auto nextCandidate = [&](bool& fromTrash) {
        fromTrash = false;
        if (!m_tcpFdLimitReached)
            return m_tcpLastReassignedFd + 1;
        if (!m_tcpFdTrash.empty())
        {
            const int32 fd = m_tcpFdTrash.front();
            m_tcpFdTrash.pop_front();
            fromTrash = true;
            return fd;
        }
        return m_tcpReassignFdBase;
    };
    bool fromTrash = false;
    int32 candidate = nextCandidate(fromTrash);
    for (int32 attempt = 0; attempt < 2; ++attempt)
    {
        int newFd = -1;
        if (sock->reassignSocketFd(candidate, newFd) == 0)
        {
            m_tcpLastReassignedFd = newFd;
            if (fromTrash && newFd != candidate)
                fwLog(LOG_LEVEL_NOTICE,
                      "The actual TCP FD [%d] reassigned is not the FD value [%d] from trash. Continue anyway.", newFd,
                      candidate);
            return 0;
        }
        if (FrameworkErrno::m_fwErrno != SOCK_MAX_FD_REACHED ||
            (m_tcpFdLimitReached && candidate <= m_tcpReassignFdBase))
            break;
        m_tcpFdLimitReached = true;
        candidate = nextCandidate(fromTrash);
    }
    fwLog(LOG_LEVEL_NOTICE, "Error [%d] reassigning TCP FD from [%d] for [%s]. Continue without FD reassignment.",
          FrameworkErrno::m_fwErrno, oldFd, name);
    return -1;
}

// ---- multicast ----

int32 NetReceiver::processMulticastSock(MulticastSocket* sock, IoWaitType /*io*/, const WireOrderInfo& w)
{
    auto* res = static_cast<UdpConnResource*>(sock->getInfoPtr());
    if (res == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "No UDP resource record pointer set inside the multicast socket object of socket [%d].",
              sock->getFileDescriptor());
        return fwFail(NO_RESOURCE_RECORD, -1);
    }
    // One wake-up per recipient for the whole batch of datagrams.
    MsgForwarder::WakeBatch batch(*m_forwarder);
    timespec rcvTm{};
    ::clock_gettime(CLOCK_REALTIME, &rcvTm);
    static const timespec noWireTm{};
    McastRoute route;
    if (w.dataTm.tv_sec == 0)
    {
        for (int32 i = 0; i < m_maxNumMsgRcv; ++i)
            m_msgVectorPtr[static_cast<size_t>(i)].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        int count = 0;
        if (sock->receiveMultiMsg(m_msgVectorPtr.get(), m_maxNumMsgRcv, count) != 0)
            return FrameworkErrno::m_fwErrno == WOULD_BLOCK ? 0 : -1;
        if (count == 0)
            return 0;
        if (routeMulticast(res, rcvTm, noWireTm, route) != 0)
            return -1;
        int32 r = 0;
        for (int i = 0; i < count; ++i)
        {
            const mmsghdr& m = m_msgVectorPtr[static_cast<size_t>(i)];
            const auto* from = static_cast<const sockaddr_in*>(m.msg_hdr.msg_name);
            r = processMulticastMsg(route, static_cast<const char*>(m.msg_hdr.msg_iov->iov_base),
                                    static_cast<int32>(m.msg_len), from->sin_addr.s_addr);
        }
        return r;
    }
    int32 total = 0;
    bool routed = false;
    while (total < w.dataSize)
    {
        int done = 0;
        sockaddr_in from{};
        if (sock->receive(m_mcastMsgBuf.get(), MCAST_BUF_SIZE, done, &from) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (code != WOULD_BLOCK)
                return -1;
            fwLog(LOG_LEVEL_NOTICE,
                  "Cumulated multicast datagram size available to receive does not match the size indicated in Wire "
                  "Order Info. Expected [%d], actually received [%d].",
                  w.dataSize, total);
            return 0;
        }
        total += done;
        if (!routed)
        {
            if (routeMulticast(res, rcvTm, w.dataTm, route) != 0)
                return -1;
            routed = true;
        }
        if (processMulticastMsg(route, m_mcastMsgBuf.get(), done, from.sin_addr.s_addr) != 0 &&
            FrameworkErrno::m_fwErrno != WOULD_BLOCK)
            return -1;
    }
    if (total > w.dataSize)
        fwLog(LOG_LEVEL_NOTICE,
              "Cumulated multicast datagram size available to receive does not match the size indicated in Wire Order "
              "Info. Expected [%d], actually received [%d].",
              w.dataSize, total);
    return 0;
}

int32 NetReceiver::getMsgQueue(UdpConnResource* res, ForwardTarget& t, bool& toReplicator)
{
    const ReplicationMode mode = res->regParam.replicationMode;
    const bool priority = res->regParam.channelType == PRIORITY_CHANNEL;
    toReplicator = m_msgRepliThdResPtr != nullptr &&
                   m_gblData.m_appMode.load(std::memory_order_acquire) == ACTIVE_MODE &&
                   (mode == INPUT_REPLICATION || mode == INPUT_OUTPUT_REPLICATION);
    t.queueType = priority ? MQUEUE_HIGH_PRIORITY : MQUEUE_NORMAL;
    if (toReplicator)
    {
        t.queue = m_msgRepliThdResPtr->msgQueuePtrArray[t.queueType];
        t.altQueue = m_msgRepliThdResPtr->msgQueuePtrArray[priority ? MQUEUE_NORMAL : MQUEUE_HIGH_PRIORITY];
        t.store = m_repliMsgStorePtr;
        ResourceManager::copyResourceName(t.recipient, m_msgRepliThdResPtr->threadNameTxt);
    }
    else
    {
        t.queue = res->msgQueuePtr;
        t.altQueue = res->altMsgQueuePtr;
        t.store = res->tmpMsgStorePtr;
        ResourceManager::copyResourceName(t.recipient, res->regParam.threadNameTxt);
    }
    std::memcpy(m_dataMsg.recipientTxt, t.recipient, sizeof(ResourceName));
    return t.queue != nullptr ? 0 : fwFail(THREAD_NOT_ACTIVE, -1);
}

int32 NetReceiver::routeMulticast(UdpConnResource* res, const timespec& rcvTm, const timespec& wireTm,
                                  McastRoute& route)
{
    route.res = res;
    ResourceManager::copyResourceName(route.congest.resNameTxt, res->udpConnNameTxt);
    const bool replicated = m_msgRepliThdResPtr != nullptr &&
                            m_gblData.m_appMode.load(std::memory_order_acquire) == ACTIVE_MODE &&
                            (res->regParam.replicationMode == INPUT_REPLICATION ||
                             res->regParam.replicationMode == INPUT_OUTPUT_REPLICATION);
    route.toPipeline = res->usePipeline && !replicated;
    if (route.toPipeline)
    {
        if (res->pipelinePtr == nullptr)
            return fwFail(RES_PL_NOT_EXIST, -1);
        route.parked = m_forwarder->flushPipeline(res->pipelinePtr, res->tmpPlMsgStorePtr);
        auto* hdr = reinterpret_cast<PipelineMsgHeader*>(m_tmpBuf.get());
        *hdr = PipelineMsgHeader{};
        ResourceManager::copyResourceName(hdr->originatorTxt, m_dataMsg.originatorTxt);
        ResourceManager::copyResourceName(hdr->recipientTxt, res->regParam.threadNameTxt);
        hdr->type = MSG_DATA;
        std::memcpy(hdr->channelNameTxt, res->udpConnNameTxt, sizeof(ResourceName));
        hdr->chnType = UDP_CHANNEL;
        hdr->fdPtr = res;
        hdr->dataDir = INCOMING_DATA;
        hdr->tm = rcvTm;
        hdr->outTm = wireTm;
        return 0;
    }
    if (getMsgQueue(res, route.target, route.toReplicator) != 0)
        return -1;
    // Order first: while older datagrams stay parked, new ones park behind them.
    route.parked = m_forwarder->flushQueue(route.target);
    Data_t& d = m_dataMsg.appMsg.data;
    m_dataMsg.tm = rcvTm;
    m_dataMsg.outTm = wireTm;
    std::memcpy(d.channelNameTxt, res->udpConnNameTxt, sizeof(ResourceName));
    d.fdPtr = res;
    return 0;
}

bool NetReceiver::ownerTooFarBehind(const McastRoute& route)
{
    UdpConnResource* res = route.res;
    MulticastSocket* sock = res->multicastSockPtr;
    const size_t parked = !route.parked ? 0
                          : route.toPipeline
                              ? (res->tmpPlMsgStorePtr != nullptr ? res->tmpPlMsgStorePtr->getNumMsg(LIST) : 0)
                              : (route.target.store != nullptr
                                     ? route.target.store->getNumMsg(LIST, route.target.queueType)
                                     : 0);
    const char* owner = route.toPipeline ? res->regParam.pipelineNameTxt : route.target.recipient;
    if (parked < MCAST_PARKED_LIMIT)
    {
        if (sock != nullptr)
            if (const uint64 run = sock->endOwnerBehindDropRun(); run > 0)
                fwLog(LOG_LEVEL_WARNING, "Channel [%s] delivers to [%s] again after [%lu] datagrams were dropped.",
                      res->udpConnNameTxt, owner, static_cast<unsigned long>(run));
        return false;
    }
    if (sock != nullptr && sock->countOwnerBehindDrop())
        fwLog(LOG_LEVEL_WARNING,
              "[%zu] datagrams of channel [%s] wait for [%s]: new ones are dropped until it has taken some.", parked,
              res->udpConnNameTxt, owner);
    return true;
}

int32 NetReceiver::processMulticastMsg(McastRoute& route, const char* bytes, int32 len, in_addr_t sender)
{
    if (route.toPipeline)
        return forwardDatagramToPipeline(route, bytes, len, sender);
    const ForwardTarget& t = route.target;
    // Only this batch's own parking can have refilled the store since the
    // route was set: try to move it out again before each datagram.
    if (route.parked)
        route.parked = m_forwarder->flushQueue(t);
    if (ownerTooFarBehind(route))
        return 0;

    UdpConnResource* res = route.res;
    Data_t& d = m_dataMsg.appMsg.data;
    d.peerIpAddr = sender;
    d.msgPartNum = 0;
    int32 offset = 0;
    do
    {
        const int32 partLen = std::min(len - offset, static_cast<int32>(Data_t::MAX_DATA_LEN));
        d.more = offset + partLen < len;
        d.dataLen = static_cast<uint32>(partLen);
        std::memcpy(d.buffer, bytes + offset, static_cast<size_t>(partLen));
        m_dataMsg.msgSeqNum = ++m_msgSeqNum;
        MsgForwarder::Outcome outcome{};
        if (m_forwarder->put(t, m_dataMsg, route.parked, route.congest, outcome) != 0)
        {
            const int32 code = FrameworkErrno::m_fwErrno;
            if (route.toReplicator)
                fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to forward channel [%s] message seq# [%d] to Message Replicator.",
                      code, res->udpConnNameTxt, m_dataMsg.msgSeqNum);
            else
                fwLog(LOG_LEVEL_NOTICE, "Failed [%d] to forward channel [%s] message seq# [%d] to [%s].", code,
                      res->udpConnNameTxt, m_dataMsg.msgSeqNum, res->regParam.threadNameTxt);
            return fwFail(code, -1);
        }
        if (d.more)
            ++d.msgPartNum;
        offset += partLen;
    } while (offset < len);
    return 0;
}

int32 NetReceiver::forwardDatagramToPipeline(McastRoute& route, const char* bytes, int32 len, in_addr_t sender)
{
    UdpConnResource* res = route.res;
    Pipeline* pl = res->pipelinePtr;
    if (route.parked)
        route.parked = m_forwarder->flushPipeline(pl, res->tmpPlMsgStorePtr);
    if (ownerTooFarBehind(route))
        return 0;
    if (!MsgForwarder::fitsPipeline(static_cast<uint64>(len), *pl) || len > MCAST_BUF_SIZE)
    {
        fwLog(LOG_LEVEL_CRITICAL, "The data message size [%d] is too large to fit into the entry of pipeline [%s]", len,
              res->regParam.pipelineNameTxt);
        return fwFail(MSG_TOO_LARGE, -1);
    }
    // The header is the batch's; the datagram goes into the entry from
    // where it was received.
    auto* hdr = reinterpret_cast<PipelineMsgHeader*>(m_tmpBuf.get());
    hdr->peerIpAddr = sender;
    hdr->dataLen = static_cast<uint32>(len);
    MsgForwarder::Outcome outcome{};
    const int32 r = m_forwarder->enqueue(pl, res->tmpPlMsgStorePtr, res->regParam.pipelineNameTxt, *hdr, bytes,
                                         route.parked, res->regParam.threadNameTxt, res->msgQueuePtr, route.congest,
                                         outcome);
    if (outcome == MsgForwarder::FWD_CONGESTED)
    {
        fwLog(LOG_LEVEL_NOTICE, "Unable to forward message due to pipeline full. Schedule retry at next timer event.");
        return fwFail(BUFFER_FULL, -1);
    }
    return r;
}

int32 NetReceiver::retryForwardMsg()
{
    MsgForwarder::WakeBatch batch(*m_forwarder);
    return m_forwarder->retry();
}
