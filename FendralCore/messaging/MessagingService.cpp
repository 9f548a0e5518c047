// MessagingService: construction and start-up (settings, names, templates,
// local addresses, interfaces, channels, multiplexer, timer).
#include "FendralCore/messaging/MessagingService.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LocalAddr.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/messaging/MslPeerText.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
void setText(IpAddress& out, const char* text)
{
    std::memset(out, 0, sizeof(IpAddress));
    if (text != nullptr)
        std::memcpy(out, text, strnlen(text, sizeof(IpAddress) - 1));
}

// A multicast group and a port that can carry the replication topic.
bool isUsableChannel(const char* groupTxt, uint16 port)
{
    in_addr addr{};
    return port != 0 && groupTxt != nullptr && inet_pton(AF_INET, groupTxt, &addr) == 1 &&
           IN_MULTICAST(ntohl(addr.s_addr));
}
} // namespace

MessagingService::MessagingService(ThreadResource* threadResPtr)
    : MessagingService(threadResPtr, ResourceManager::getInst(), GlobalData::getInst(),
                       GlobalData::getInst().getConfigManager())
{
}

MessagingService::MessagingService(ThreadResource* threadResPtr, ResourceManager& resMgr, GlobalData& gblData,
                                   const ConfigManager* configMgr, const Seams& seams)
    : MessagingCommon(threadResPtr, resMgr, gblData, configMgr,
                      seams.clock != nullptr ? *seams.clock : MslClock::system()),
      EventMessage(threadResPtr, resMgr),
      m_socketFactory(seams.sockets != nullptr ? seams.sockets : &m_mcastFactory),
      m_onloadApi(seams.onloadApi)
{
    m_forwarder = std::make_unique<MsgForwarder>(static_cast<EventMessage&>(*this), resMgr, MSG_SERVICE_MSG_LIST,
                                                 m_msgSeqNum, gblData.m_maxMsgSize);
    buildNames();
    buildTemplates();
}

MessagingService::~MessagingService() = default;

void MessagingService::buildNames()
{
    if (m_gblData.m_repliServiceEnabled)
    {
        char name[64] = {};
        std::snprintf(name, sizeof(name), "%.8s%s", m_appIdTxt, REPLICATION_TOPIC_POSTFIX);
        ResourceManager::copyResourceName(m_repliTopicNameTxt, name);
        m_repliTopicId = UInt128(m_repliTopicNameTxt, true);
    }
    // Cut to a resource name as the registry cuts it, so that both name the
    // same topic.
    char name[64] = {};
    std::snprintf(name, sizeof(name), "%.8s:%d%s", m_appIdTxt, m_appInstId, RECOVERY_TOPIC_POSTFIX);
    ResourceManager::copyResourceName(m_recovTopicNameTxt, name);
    m_recovTopicId = UInt128(m_recovTopicNameTxt, true);

    // An MRM instance's partition: the number after the MRM base name in its
    // application id, up to the first ':'.
    m_mrmPartitionId = -1;
    const size_t baseLen = strnlen(m_gblData.m_mrmBaseName, sizeof(ApplicationID) - 1);
    if (m_gblData.m_mrmApplication && baseLen > 0 && std::strncmp(m_appIdTxt, m_gblData.m_mrmBaseName, baseLen) == 0)
    {
        int32 partition = 0;
        size_t i = baseLen;
        bool digits = false;
        for (; i < sizeof(ApplicationID) - 1 && m_appIdTxt[i] >= '0' && m_appIdTxt[i] <= '9'; ++i)
        {
            partition = partition * 10 + (m_appIdTxt[i] - '0');
            digits = true;
        }
        const char end = i < sizeof(ApplicationID) ? m_appIdTxt[i] : '\0';
        if (digits && (end == '\0' || end == ':') && partition < GlobalData::MRM_MAX_PARTITION)
            m_mrmPartitionId = partition;
    }
}

void MessagingService::buildTemplates()
{
    auto identify = [&](MslMessage& m, uint32 cmd, uint32 len) {
        std::memset(&m, 0, sizeof(m));
        m.hdr.cmdType = cmd;
        std::memcpy(m.hdr.senderAppIdTxt, m_appIdTxt, sizeof(ApplicationID));
        m.hdr.senderInstId = m_appInstId;
        m.hdr.senderSiteId = m_siteId;
        m.hdr.msgLen = len;
    };
    identify(m_rqsTemplate, PUBLISHER_TOPIC_RQS, MslProtocol::RQS_SIZE);
    identify(m_ansTemplate, PUBLISHER_TOPIC_ACK, MslProtocol::ACK_SIZE);
    identify(m_dataRecoveryRspTemplate, DATA_RECOVERY_RSP, MslProtocol::RECOVERY_RSP_SIZE);
    identify(m_tailLostRecoveryRspTemplate, TAIL_LOST_RECOVERY_RSP, MslProtocol::RECOVERY_RSP_SIZE);
    identify(m_confirmTemplate, PUBLISHER_TOPIC_CONFIRM, MslProtocol::CONFIRM_SIZE);
    identify(m_cmdKeepalive, MSL_CMD_KEEPALIVE_MSG, MslProtocol::KEEPALIVE_SIZE);
    identify(m_ackKeepalive, MSL_ACK_KEEPALIVE_MSG, MslProtocol::KEEPALIVE_SIZE);
    if (m_gblData.m_mrmApplication)
    {
        identify(m_mrmPartitionRspTemplate, MRM_PARTITION_ENQ_RSP, MslProtocol::ACK_SIZE);
        identify(m_mrmHeartbeat, MSL_MRM_HEARTBEAT, MslProtocol::MRM_HEARTBEAT_SIZE);
        std::memcpy(m_mrmHeartbeat.mrmHeartbeat.localTopicNameTxt, m_gblData.m_thisMrmLocalTopicName,
                    sizeof(ResourceName));
        std::memcpy(m_mrmHeartbeat.mrmHeartbeat.crossSiteTopicNameTxt, m_gblData.m_thisMrmCrossSiteTopicName,
                    sizeof(ResourceName));
    }
}

int32 MessagingService::initialize()
{
    m_optMode = m_gblData.m_optMode.load();
    if (lookUpThreads() != 0)
        return -1;

    m_settings = MslSettings::read(m_configMgrPtr);
    if (m_settings.testDropFraction > 0.0 || !m_settings.testDropFile.empty())
    {
        // A test facility only: every socket of the service loses datagrams.
        m_dropHook = std::make_unique<MslDropHook>(m_settings.testDropFraction, m_settings.testDropSeed,
                                                   m_settings.testDropFile);
        m_lossyFactory = std::make_unique<MslLossySocketFactory>(*m_socketFactory, *m_dropHook);
        m_socketFactory = m_lossyFactory.get();
        fwLog(LOG_LEVEL_WARNING,
              "Test facility %s: dropping [%f] of the received datagrams, seed [%lu], and all while [%s] exists.",
              MslSettings::TEST_DROP_LABEL, m_settings.testDropFraction,
              static_cast<unsigned long>(m_settings.testDropSeed), m_settings.testDropFile.c_str());
    }

    if (loadLocalAddresses() != 0)
        return -1;

    m_numRcvSlots = std::max(m_settings.numMsgRcvMax, m_settings.mrmMsgRcvMax);
    m_repliRcvBatch = m_settings.numMsgRcvMax;
    m_topicRcvBuf.reset(new char[static_cast<size_t>(m_numRcvSlots) * TOPIC_RCV_BUF_SIZE]);
    m_topicRcvSlots.reset(new MslDatagramSlot[static_cast<size_t>(m_numRcvSlots)]);
    for (int32 i = 0; i < m_numRcvSlots; ++i)
        m_topicRcvSlots[i] = MslDatagramSlot{m_topicRcvBuf.get() + static_cast<size_t>(i) * TOPIC_RCV_BUF_SIZE,
                                             TOPIC_RCV_BUF_SIZE, 0, sockaddr_in{}};

    chooseInterfaces();

    const int32 numDirect = m_resMgr.getNumTopicDirectMcastChannel();
    const int32 tableSize = m_settings.dataAddrRange * m_settings.dataPortRange + numDirect;
    m_maxNumDesc = tableSize * 2 + NUM_FIXED_DESC;
    m_fdWait = std::make_unique<FileDescMultiplexer>(m_maxNumDesc, m_onloadApi);
    if (m_fdWait->createEpoll() != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] creating the descriptor multiplexer of Messaging Service.",
              FrameworkErrno::m_fwErrno);
        return -1;
    }
    m_readyFds.reset(new FileDescriptor*[static_cast<size_t>(m_maxNumDesc)]());
    m_ioTypes.reset(new IoWaitType[static_cast<size_t>(m_maxNumDesc)]());
    m_wireOrder.reset(new WireOrderInfo[static_cast<size_t>(m_maxNumDesc)]());
    m_channelTable = std::make_unique<MslChannelTable>(m_settings, *m_socketFactory, *m_fdWait, m_interfaceTxt,
                                                       numDirect);
    m_topicRecs.reset(new TopicRecord[static_cast<size_t>(m_settings.topicMax)]);
    m_subRecs.reset(new SubscriptionRecord[static_cast<size_t>(m_settings.subMax)]);
    m_topicMap = std::make_unique<UnsortedMap<UInt128>>(m_settings.topicMax);
    m_subMap = std::make_unique<UnsortedMap<UInt128>>(m_settings.subMax);
    m_normalRecoveryMap = std::make_unique<UnsortedMap<UInt128>>(m_settings.subMax);
    m_mrmRecoveryMap = std::make_unique<UnsortedMap<UInt128>>(m_settings.subMax);
    m_pendingRqs.reserve(PENDING_RQS_BUCKET);
    m_pendingMrmRqs.reserve(PENDING_RQS_BUCKET);
    m_timer = std::make_unique<Timer>(m_settings.timerIntervalMs, true);

    if (openControlChannels() != 0 || openMrmChannels() != 0 || openReplicationChannel() != 0 ||
        registerDescriptors() != 0)
        return -1;

    const int64 now = m_clock.monoNs();
    m_lastRqsSentNs = now;
    m_lastAnsSentNs = now;
    m_lastTimerNs = now;
    m_lastPassNs = now;
    if (m_optMode != LOW_LATENCY && m_timer->startTimer() != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] starting the timer of Messaging Service.", FrameworkErrno::m_fwErrno);
        return -1;
    }
    return 0;
}

int32 MessagingService::lookUpThreads()
{
    MsgForwarder::Peers peers;
    if (m_forwarder->lookUpPeers(m_gblData.m_repliServiceEnabled, m_gblData.m_tmpMsgRepository, peers) != 0)
        return -1;
    m_ctlThdResPtr = peers.control;
    m_msgRepliThdResPtr = peers.replicator;
    m_replicationThreadId = peers.replicatorKey;
    m_repliMsgStorePtr = peers.replicatorStore;
    return 0;
}

int32 MessagingService::loadLocalAddresses()
{
    m_localAddr.reset(new in_addr_t[static_cast<size_t>(m_settings.numLocalAddr)]());
    m_numLocalAddr = 0;
    bool tooMany = false;
    const bool listed = LocalAddr::forEach([&](in_addr_t addr, in_addr_t) {
        if (m_numLocalAddr == m_settings.numLocalAddr)
            return tooMany = true;
        m_localAddr[m_numLocalAddr++] = addr;
        return false;
    });
    if (!listed)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] loading local IP addresses into internal buffer. Errno [%d], %s.",
              SOCK_ERROR, error, std::strerror(error));
        return fwFail(SOCK_ERROR, -1);
    }
    if (tooMany)
    {
        // A partial list would take this process's own datagrams for a
        // peer's: the operator raises the limit instead.
        fwLog(LOG_LEVEL_ERROR, "Error [%d] loading local IP addresses into internal buffer. More than %s [%d].",
              MSL_TOO_MANY_LOCAL_ADDR, MslSettings::NUM_LOCAL_ADDR_LABEL, m_settings.numLocalAddr);
        return fwFail(MSL_TOO_MANY_LOCAL_ADDR, -1);
    }
    return 0;
}

void MessagingService::chooseInterfaces()
{
    // The local address in the subnet, else the framework's default one.
    auto choose = [&](const char* subnetTxt, IpAddress& out) {
        in_addr subnet{};
        uint32 local = 0;
        if (inet_pton(AF_INET, subnetTxt, &subnet) == 1 && LocalAddr::bySubnet(subnet.s_addr, local))
        {
            in_addr a{};
            a.s_addr = local;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &a, text, sizeof(text));
            setText(out, text);
            return true;
        }
        setText(out, m_gblData.m_defaultPriAddr);
        return false;
    };
    if (choose(m_settings.svrSubnetTxt, m_interfaceTxt))
        fwLog(LOG_LEVEL_INFO, "Local interface address [%s] is used for MSL.", m_interfaceTxt);
    else
        fwLog(LOG_LEVEL_WARNING,
              "No local interface matches the subnet [%s]. Use the default address [%s] as the local address for MSL.",
              m_settings.svrSubnetTxt, m_interfaceTxt);
    if (choose(m_settings.mrmLocalSubnetTxt, m_mrmInterfaceTxt))
        fwLog(LOG_LEVEL_INFO, "Local interface address [%s] is used for MRM local site recovery.", m_mrmInterfaceTxt);
    else
        fwLog(LOG_LEVEL_WARNING,
              "No NIC matches the MRM subnet [%s]. Use the default address [%s] as the local address for MRM local "
              "site recovery.",
              m_settings.mrmLocalSubnetTxt, m_mrmInterfaceTxt);
}

std::unique_ptr<MslSocket> MessagingService::openControlSocket(const MslGroupPort& chn)
{
    MslSocketSpec spec{};
    setText(spec.interfaceTxt, m_interfaceTxt);
    setText(spec.groupTxt, chn.groupTxt);
    spec.port = chn.port;
    spec.ttl = m_settings.mcastTtl;
    spec.loopback = m_settings.loopback;
    spec.sendBufSize = m_settings.mcastSendBuf;
    spec.recvBufSize = m_settings.mcastRecvBuf;
    std::unique_ptr<MslSocket> sock = m_socketFactory->open(spec);
    if (sock == nullptr)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] opening the control channel [%s:%d].", FrameworkErrno::m_fwErrno,
              chn.groupTxt, chn.port);
        return nullptr;
    }
    if (sock->join() != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Error [%d] joining the control channel [%s:%d].", FrameworkErrno::m_fwErrno,
              chn.groupTxt, chn.port);
        return nullptr;
    }
    return sock;
}

int32 MessagingService::openControlChannels()
{
    m_rcSock = openControlSocket(m_settings.requestChn);
    if (m_rcSock == nullptr)
        return -1;
    m_racSock = openControlSocket(m_settings.requestAckChn);
    return m_racSock != nullptr ? 0 : -1;
}

int32 MessagingService::openMrmChannels()
{
    if (m_gblData.m_numMrmPartition < 1 || m_gblData.m_numMrmInst < 1)
        return 0;
    MslChannelTable& t = *m_channelTable;
    if (t.openSpecial(MSL_MRM_LOCAL_CHANNEL, m_settings.mrmLocalChn, m_settings.mrmLocalAckChn, m_mrmInterfaceTxt,
                      m_settings.mrmLocalTtl) != 0 ||
        t.openSpecial(MSL_MRM_CROSS_SITE_CHANNEL, m_settings.mrmCrossSiteChn, m_settings.mrmCrossSiteAckChn,
                      m_interfaceTxt, m_settings.mcastTtl) != 0 ||
        t.openSpecial(MSL_MRM_REQUEST_CHANNEL, m_settings.mrmRequestChn, m_settings.mrmRequestAckChn, m_interfaceTxt,
                      m_settings.mcastTtl) != 0)
        return -1;
    if (m_gblData.m_mrmApplication &&
        (t.joinAck(&t.special(MSL_MRM_LOCAL_CHANNEL)) != 0 || t.joinAck(&t.special(MSL_MRM_CROSS_SITE_CHANNEL)) != 0))
        return -1;
    MslChannelRecord& rqs = t.special(MSL_MRM_REQUEST_CHANNEL);
    return t.joinData(&rqs) == 0 && t.joinAck(&rqs) == 0 ? 0 : -1;
}

int32 MessagingService::openReplicationChannel()
{
    if (!m_gblData.m_repliServiceEnabled || !isUsableChannel(m_gblData.m_repliTopicMcast, m_gblData.m_repliTopicPort) ||
        !isUsableChannel(m_gblData.m_repliAckMcast, m_gblData.m_repliAckPort))
        return 0;
    MslGroupPort data{};
    MslGroupPort ack{};
    setText(data.groupTxt, m_gblData.m_repliTopicMcast);
    data.port = m_gblData.m_repliTopicPort;
    setText(ack.groupTxt, m_gblData.m_repliAckMcast);
    ack.port = m_gblData.m_repliAckPort;
    MslChannelTable& t = *m_channelTable;
    if (t.openSpecial(MSL_REPLICATION_CHANNEL, data, ack, m_interfaceTxt, m_settings.mcastTtl) != 0)
        return -1;
    MslChannelRecord& rec = t.special(MSL_REPLICATION_CHANNEL);
    return m_gblData.m_appMode.load() == ACTIVE_MODE ? t.joinAck(&rec) : t.joinData(&rec);
}

int32 MessagingService::registerDescriptors()
{
    auto add = [&](FileDescriptor* fd, const char* failText) {
        if (fd != nullptr && m_fdWait->addFileDesc(fd, IO_WAIT_READ) == 0)
            return 0;
        const int32 code = FrameworkErrno::m_fwErrno != 0 ? FrameworkErrno::m_fwErrno : OBJECT_NULL_PTR;
        fwLog(LOG_LEVEL_ERROR, failText, code);
        return fwFail(code, -1);
    };
    if (m_optMode != LOW_LATENCY)
    {
        if (add(m_threadResPtr->msgQueuePtrArray[MQUEUE_HIGH_PRIORITY],
                "Error [%d] adding high priority message queue to descriptor multiplexer in Messaging Service.") != 0 ||
            add(m_threadResPtr->msgQueuePtrArray[MQUEUE_NORMAL],
                "Error [%d] adding normal message queue to descriptor multiplexer in Messaging Service.") != 0 ||
            add(m_timer.get(), "Error [%d] adding MSL timer message queue to descriptor multiplexer in Messaging "
                               "Service.") != 0)
            return -1;
    }
    // Also in low-latency mode, where they are served every pass anyway: the
    // ordered wait then reports how many of their bytes are in wire order.
    if (add(m_rcSock->waitable(),
            "Error [%d] adding request channel to descriptor multiplexer in Messaging Service.") != 0 ||
        add(m_racSock->waitable(),
            "Error [%d] adding request acknowledgment channel to descriptor multiplexer in Messaging Service.") != 0)
        return -1;
    MslChannelTable& t = *m_channelTable;
    if (!t.special(MSL_MRM_LOCAL_CHANNEL).isOpen())
        fwLog(LOG_LEVEL_WARNING, "The MRM local data channel has not been created.");
    else if (!t.special(MSL_MRM_REQUEST_CHANNEL).isOpen())
        fwLog(LOG_LEVEL_ERROR, "The MRM request channel has not been created.");
    if (!t.special(MSL_MRM_CROSS_SITE_CHANNEL).isOpen())
        fwLog(LOG_LEVEL_WARNING, "The MRM cross-site data channel has not been created.");
    return 0;
}
