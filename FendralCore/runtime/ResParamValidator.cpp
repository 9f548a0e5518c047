#include "FendralCore/runtime/ResParamValidator.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LocalAddr.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>
#include <unistd.h>

namespace
{
constexpr int32 THREAD_MSGQ_LEN_MIN = 100;
constexpr int32 THREAD_MSGQ_LEN_MAX = 1000000;
constexpr int32 IPC_MSGQ_LEN_MIN = 100;
constexpr int32 IPC_MSGQ_LEN_MAX = 1000000;
constexpr int32 APP_MSG_SIZE_FIELD_MAX = 32768;

// Record texts are fixed fields that need not end in a NUL: copy at most the
// field and terminate.
template <size_t N>
void terminatedCopy(const char (&field)[N], char (&out)[N + 1])
{
    std::memcpy(out, field, N);
    out[N] = '\0';
}

bool textEmpty(const char* txt)
{
    return txt[0] == '\0';
}

size_t nameLength(const ResourceName& name)
{
    return strnlen(name, sizeof(ResourceName) - 1);
}

bool nameEndsWith(const ResourceName& name, std::string_view suffix, size_t minLength)
{
    const size_t len = nameLength(name);
    return len >= minLength && len >= suffix.size() && std::string_view(name + len - suffix.size(), suffix.size()) == suffix;
}

} // namespace

ResParamValidator::ResParamValidator() : ResParamValidator(GlobalData::getInst().getConfigManager()) {}

ResParamValidator::ResParamValidator(const ConfigManager* configMgr)
    : m_configMgrPtr(configMgr), m_loggerPtr(GlobalData::getInst().getLogger()), m_gblData(GlobalData::getInst())
{
    initialize();
}

bool ResParamValidator::errorInValidator(int32& lastErrorCode) const
{
    if (m_errorInValidator)
        lastErrorCode = m_lastErrCodeInValidator;
    return m_errorInValidator;
}

void ResParamValidator::initialize()
{
    buildTemplates();
    readChannelPlan();
}

// --- configuration reading ---

int32 ResParamValidator::readInt32(const char* label, int32 defaultValue) const
{
    int32 value = defaultValue;
    if (m_configMgrPtr != nullptr && m_configMgrPtr->getInt32ConfigPara(label, value, defaultValue) != 0)
        value = defaultValue;
    return value;
}

uint16 ResParamValidator::readUint16(const char* label, uint16 defaultValue) const
{
    uint16 value = defaultValue;
    if (m_configMgrPtr != nullptr && m_configMgrPtr->getUint16ConfigPara(label, value, defaultValue) != 0)
        value = defaultValue;
    return value;
}

uint32 ResParamValidator::readUint32(const char* label, uint32 defaultValue) const
{
    uint32 value = defaultValue;
    if (m_configMgrPtr != nullptr && m_configMgrPtr->getUint32ConfigPara(label, value, defaultValue) != 0)
        value = defaultValue;
    return value;
}

uint64 ResParamValidator::readUint64(const char* label, uint64 defaultValue) const
{
    uint64 value = defaultValue;
    if (m_configMgrPtr != nullptr && m_configMgrPtr->getUint64ConfigPara(label, value, defaultValue) != 0)
        value = defaultValue;
    return value;
}

void ResParamValidator::readAddrText(const char* label, const char* defaultValue, IpAddress& addrTxt) const
{
    std::string value = defaultValue;
    if (m_configMgrPtr != nullptr && m_configMgrPtr->getStrConfPara(label, value, defaultValue) != 0)
        value = defaultValue;
    std::memset(addrTxt, 0, sizeof(IpAddress));
    std::memcpy(addrTxt, value.data(), std::min(value.size(), sizeof(IpAddress) - 1));
}

void ResParamValidator::buildTemplates()
{
    std::memset(&m_threadParam, 0, sizeof(m_threadParam));
    std::memset(&m_tcpParam, 0, sizeof(m_tcpParam));
    std::memset(&m_udpParam, 0, sizeof(m_udpParam));
    std::memset(&m_ipcParam, 0, sizeof(m_ipcParam));
    std::memset(&m_topicParam, 0, sizeof(m_topicParam));
    std::memset(&m_pipelineParam, 0, sizeof(m_pipelineParam));

    const bool journal = m_gblData.m_msgJournalEnabled;

    int32 repliMode = readInt32(REPLICATION_MODE_LABEL, DEFAULT_REPLICATION_MODE);
    if (repliMode < NO_REPLICATION || repliMode > INPUT_OUTPUT_REPLICATION)
        repliMode = NO_REPLICATION;
    m_repliMode = static_cast<ReplicationMode>(repliMode);

    m_threadParam.thdOptimiz = GLOBAL_OPTIMIZATION_SETTING;
    m_threadParam.messageQueueLength = readInt32(DEFAULT_THREAD_MSGQ_LEN_LABEL, DEFAULT_THREAD_MSGQ_LEN);

    int32 stsRptInterval = readInt32(STATUS_REPORT_INTERVAL_LABEL, DEFAULT_STATUS_REPORT_INTERVAL);
    if (stsRptInterval < 1)
        stsRptInterval = DEFAULT_STATUS_REPORT_INTERVAL;
    m_gblData.m_stsRptInterval = stsRptInterval;

    int32 multiplier = readInt32(REPORT_TIME_MULTIPLIER_LABEL, DEFAULT_REPORT_TIME_MULTIPLIER);
    if (multiplier == 1 || multiplier < 0)
        multiplier = DEFAULT_REPORT_TIME_MULTIPLIER;
    // Seconds, rounded up; in 64 bits so that large settings cannot wrap.
    int64 interval = (static_cast<int64>(stsRptInterval) * multiplier + 999) / 1000;
    if (interval == 0 && multiplier != 0)
        interval = 1;
    if (interval > std::numeric_limits<int32>::max())
        interval = std::numeric_limits<int32>::max();
    m_threadParam.statusCheckInterval = static_cast<uint32>(interval);

    m_tcpParam.channelType = NORMAL_CHANNEL;
    m_tcpParam.tcpMode = TCP_CLIENT_DATA_MODE;
    m_tcpParam.sendBufSize = readInt32(TCP_SEND_BUF_SIZE_LABEL, DEFAULT_TCP_SEND_BUF_SIZE);
    if (m_tcpParam.sendBufSize < -1)
        m_tcpParam.sendBufSize = -1;
    m_tcpParam.recvBufSize = readInt32(TCP_RECV_BUF_SIZE_LABEL, DEFAULT_TCP_RECV_BUF_SIZE);
    if (m_tcpParam.recvBufSize < -1)
        m_tcpParam.recvBufSize = -1;
    m_tcpParam.msgFormat = MSG_FORMAT_QUOR;
    m_tcpParam.connectAtStartup = true;
    m_tcpParam.openInStandbyMode = false;
    m_tcpParam.msgJournalEnabled = journal;
    m_tcpParam.replicationMode = m_repliMode;
    m_tcpParam.streamBufSize = readInt32(STREAM_BUF_SIZE_LABEL, DEFAULT_STREAM_BUF_SIZE);
    if (m_tcpParam.streamBufSize < 1)
        m_tcpParam.streamBufSize = DEFAULT_STREAM_BUF_SIZE;

    m_udpParam.channelType = NORMAL_CHANNEL;
    m_udpParam.udpMode = MULTICAST_SENDER_RCVR_MODE;
    m_udpParam.mcastSendTtl = readUint16(MCAST_TTL_LABEL, DEFAULT_MCAST_TTL);
    if (m_udpParam.mcastSendTtl < 1 || m_udpParam.mcastSendTtl >= MAX_MCAST_TTL_VALUE)
        m_udpParam.mcastSendTtl = DEFAULT_MCAST_TTL;
    m_udpParam.sendBufSize = readInt32(MCAST_SEND_BUF_SIZE_LABEL, DEFAULT_MCAST_SEND_BUF_SIZE);
    if (m_udpParam.sendBufSize < -1)
        m_udpParam.sendBufSize = -1;
    m_udpParam.recvBufSize = readInt32(MCAST_RECV_BUF_SIZE_LABEL, DEFAULT_MCAST_RECV_BUF_SIZE);
    if (m_udpParam.recvBufSize < -1)
        m_udpParam.recvBufSize = -1;
    m_udpParam.connectAtStartup = true;
    m_udpParam.openInStandbyMode = false;
    m_udpParam.msgJournalEnabled = journal;
    m_udpParam.replicationMode = m_repliMode;
    m_udpParam.mcastLoopBack = static_cast<MulticastLoopback>(0); // as the framework configuration says

    m_topicParam.openType = PUBLISH;
    m_topicParam.channelType = NORMAL_CHANNEL;
    m_topicParam.openAtStartup = true;
    m_topicParam.waitForDrSiteAck = readInt32(WAIT_FOR_DR_ACK_LABEL, DEFAULT_WAIT_FOR_DR_ACK) == 1;
    m_topicParam.waitForMrmAck = readInt32(WAIT_FOR_MRM_ACK_LABEL, DEFAULT_WAIT_FOR_MRM_ACK) == 1;
    m_topicParam.historyBufSize = readInt32(TOPIC_BUF_ENTRY_LABEL, DEFAULT_TOPIC_BUF_ENTRY);
    if (m_topicParam.historyBufSize < 1)
        m_topicParam.historyBufSize = DEFAULT_TOPIC_BUF_ENTRY;
    m_topicParam.maxPubGapRecovery = readUint64(PUB_GAP_RECOVERY_LABEL, DEFAULT_PUB_GAP_RECOVERY);
    m_topicParam.numUnackMsgMax = readUint32(UNACK_MSG_MAX_LABEL, DEFAULT_UNACK_MSG_MAX);
    m_topicParam.outstandingMsgMax = readUint32(OUTSTANDING_MSG_MAX_LABEL, DEFAULT_OUTSTANDING_MSG_MAX);
    m_topicParam.msgBufSizeInRecovery = readUint32(RECO_MBUF_SIZE_LABEL, DEFAULT_RECO_MBUF_SIZE);
    m_topicParam.logicalChnNum = -1;
    m_topicParam.openInStandbyMode = false;
    m_topicParam.msgJournalEnabled = journal;
    m_topicParam.replicationMode = m_repliMode;
    m_topicParam.allowMrmCrossSiteRecovery = true;
    m_topicParam.activeSubscriber = true;

    m_ipcParam.msgQueLen = readInt32(DEFAULT_IPC_MSGQ_LEN_LABEL, DEFAULT_IPC_MSGQ_LEN);
    m_ipcParam.channelType = NORMAL_CHANNEL;
    m_ipcParam.openAtStartup = true;
    m_ipcParam.openInStandbyMode = false;
    m_ipcParam.msgJournalEnabled = journal;
}

ResParamValidator::McastChannel ResParamValidator::readChannel(const char* addrLabel, const char* defaultAddr,
                                                               const char* portLabel, uint16 defaultPort) const
{
    IpAddress addrTxt;
    readAddrText(addrLabel, defaultAddr, addrTxt);
    McastChannel channel{};
    if (!checkValidMulticastAddr(addrTxt, readUint16(portLabel, defaultPort), channel))
        channel = {};
    return channel;
}

void ResParamValidator::configError()
{
    m_errorInValidator = true;
    m_lastErrCodeInValidator = RES_TOPIC_PARA_INVALID;
}

void ResParamValidator::readLogicalRange(const char* addrLabel, const char* defaultAddr, const char* portLabel,
                                         uint16 defaultPort, const char* kind, McastChannel& start,
                                         McastChannel& end)
{
    IpAddress addrTxt;
    readAddrText(addrLabel, defaultAddr, addrTxt);
    const uint16 firstPort = readUint16(portLabel, defaultPort);
    in_addr_t netAddr = 0;
    const bool parsed = checkValidIpAddr(addrTxt, &netAddr);
    const uint32 firstAddr = ntohl(netAddr);
    const bool multicast = parsed && checkValidMulticastAddr(firstAddr);
    const uint32 lastOctet = firstAddr & 0xFFu;

    if (multicast && static_cast<int64>(lastOctet) + m_topicAddrRange - 1 > MCAST_IP_4_OCTET_MAX)
    {
        fwLog(LOG_LEVEL_ERROR, "FW_CONFIG: Invalid topic logical group %s address range [%d] for starting address [%.16s].",
              kind, m_topicAddrRange, addrTxt);
        configError();
    }
    if (static_cast<int64>(firstPort) + m_topicPortRange - 1 > 65535)
    {
        fwLog(LOG_LEVEL_ERROR, "FW_CONFIG: Invalid topic logical group %s port range [%d] for starting port [%d].", kind,
              m_topicPortRange, firstPort);
        configError();
    }
    if (multicast && firstPort != 0)
    {
        start = {firstAddr, firstPort};
        uint32 endOctet = static_cast<uint32>(lastOctet + static_cast<uint32>(m_topicAddrRange) - 1) % 256u;
        if (endOctet == 0)
            endOctet = 1;
        end = {(firstAddr & 0xFFFFFF00u) | endOctet, static_cast<uint16>(firstPort + m_topicPortRange - 1)};
    }
    else
    {
        start = {};
        end = {};
    }
}

void ResParamValidator::readChannelPlan()
{
    m_topicAddrRange = readInt32(TOPIC_ADDR_RANGE_LABEL, DEFAULT_TOPIC_ADDR_RANGE);
    if (m_topicAddrRange < 1)
        m_topicAddrRange = DEFAULT_TOPIC_ADDR_RANGE;
    m_topicPortRange = readInt32(TOPIC_PORT_RANGE_LABEL, DEFAULT_TOPIC_PORT_RANGE);
    if (m_topicPortRange < 1)
        m_topicPortRange = DEFAULT_TOPIC_PORT_RANGE;

    if (!checkValidMulticastAddr(m_gblData.m_repliTopicMcast, m_gblData.m_repliTopicPort, m_repliTopicMcastAddr))
        m_repliTopicMcastAddr = {};
    if (!checkValidMulticastAddr(m_gblData.m_repliAckMcast, m_gblData.m_repliAckPort, m_repliAckMcastAddr))
        m_repliAckMcastAddr = {};
    m_topicRcMcastAddr = readChannel(TOPIC_RC_ADDR_LABEL, DEFAULT_TOPIC_RC_ADDR, TOPIC_RC_PORT_LABEL,
                                     DEFAULT_TOPIC_RC_PORT);
    m_topicRcAckMcastAddr = readChannel(TOPIC_RAC_ADDR_LABEL, DEFAULT_TOPIC_RAC_ADDR, TOPIC_RAC_PORT_LABEL,
                                        DEFAULT_TOPIC_RAC_PORT);
    readLogicalRange(TOPIC_DC_ADDR_LABEL, DEFAULT_TOPIC_DC_ADDR, TOPIC_DC_PORT_LABEL, DEFAULT_TOPIC_DC_PORT, "data",
                     m_logicalDataStartAddr, m_logicalDataEndAddr);
    readLogicalRange(TOPIC_DAC_ADDR_LABEL, DEFAULT_TOPIC_DAC_ADDR, TOPIC_DAC_PORT_LABEL, DEFAULT_TOPIC_DAC_PORT, "ack",
                     m_logicalAckStartAddr, m_logicalAckEndAddr);
    m_mrmLocalAddr = readChannel(MRM_CHN_ADDR_LABEL, DEFAULT_MRM_CHN_ADDR, MRM_CHN_PORT_LABEL, DEFAULT_MRM_CHN_PORT);
    m_mrmLocalAckAddr = readChannel(MRM_ACK_CHN_ADDR_LABEL, DEFAULT_MRM_ACK_CHN_ADDR, MRM_ACK_CHN_PORT_LABEL,
                                    DEFAULT_MRM_ACK_CHN_PORT);
    m_mrmCrossSiteAddr = readChannel(MRM_CROSS_SITE_ADDR_LABEL, DEFAULT_MRM_CROSS_SITE_ADDR,
                                     MRM_CROSS_SITE_PORT_LABEL, DEFAULT_MRM_CROSS_SITE_PORT);
    m_mrmCrossSiteAckAddr = readChannel(MRM_CROSS_SITE_ACK_ADDR_LABEL, DEFAULT_MRM_CROSS_SITE_ACK_ADDR,
                                        MRM_CROSS_SITE_ACK_PORT_LABEL, DEFAULT_MRM_CROSS_SITE_ACK_PORT);
    m_mrmRqsAddr = readChannel(MRM_RQS_ADDR_LABEL, DEFAULT_MRM_RQS_ADDR, MRM_RQS_PORT_LABEL, DEFAULT_MRM_RQS_PORT);
    m_mrmRqsAckAddr = readChannel(MRM_RQS_ACK_ADDR_LABEL, DEFAULT_MRM_RQS_ACK_ADDR, MRM_RQS_ACK_PORT_LABEL,
                                  DEFAULT_MRM_RQS_ACK_PORT);

    if (m_logicalDataStartAddr.empty() || m_logicalAckStartAddr.empty())
        return;
    auto text = [](const McastChannel& channel, char (&out)[INET_ADDRSTRLEN]) {
        const in_addr addr{htonl(channel.addr)};
        if (inet_ntop(AF_INET, &addr, out, sizeof(out)) == nullptr)
            out[0] = '\0';
        return static_cast<const char*>(out);
    };
    char dataFirst[INET_ADDRSTRLEN], dataLast[INET_ADDRSTRLEN], ackFirst[INET_ADDRSTRLEN], ackLast[INET_ADDRSTRLEN];
    int32 pos = -1;
    if (isWithinAddrRange(m_logicalDataStartAddr, m_logicalAckStartAddr, m_logicalAckEndAddr, pos) ||
        isWithinAddrRange(m_logicalDataEndAddr, m_logicalAckStartAddr, m_logicalAckEndAddr, pos))
    {
        fwLog(LOG_LEVEL_ERROR,
              "FW_CONFIG: Topic logical data channel start addr [%s:%d] end addr [%s:%d] is overlapped within logical "
              "ack channel between addr [%s:%d] and [%s:%d] (addr range [%d], port range [%d]) at position [%d].",
              text(m_logicalDataStartAddr, dataFirst), m_logicalDataStartAddr.port,
              text(m_logicalDataEndAddr, dataLast), m_logicalDataEndAddr.port, text(m_logicalAckStartAddr, ackFirst),
              m_logicalAckStartAddr.port, text(m_logicalAckEndAddr, ackLast), m_logicalAckEndAddr.port,
              m_topicAddrRange, m_topicPortRange, pos);
        configError();
    }
    else if (isWithinAddrRange(m_logicalAckStartAddr, m_logicalDataStartAddr, m_logicalDataEndAddr, pos) ||
             isWithinAddrRange(m_logicalAckEndAddr, m_logicalDataStartAddr, m_logicalDataEndAddr, pos))
    {
        fwLog(LOG_LEVEL_ERROR,
              "FW_CONFIG: Topic logical ack channel start addr[%s:%d] end addr [%s:%d] is overlapped within logical "
              "data channel between addr [%s:%d] and [%s:%d] (addr range [%d], port range [%d]) at position [%d].",
              text(m_logicalAckStartAddr, ackFirst), m_logicalAckStartAddr.port, text(m_logicalAckEndAddr, ackLast),
              m_logicalAckEndAddr.port, text(m_logicalDataStartAddr, dataFirst), m_logicalDataStartAddr.port,
              text(m_logicalDataEndAddr, dataLast), m_logicalDataEndAddr.port, m_topicAddrRange, m_topicPortRange,
              pos);
        configError();
    }
}

// --- address operations ---

bool ResParamValidator::checkValidIpAddr(const char* addrTxt, in_addr_t* addr)
{
    if (addrTxt == nullptr)
        return false;
    char txt[sizeof(IpAddress) + 1];
    std::memcpy(txt, addrTxt, strnlen(addrTxt, sizeof(IpAddress)));
    txt[strnlen(addrTxt, sizeof(IpAddress))] = '\0';
    in_addr parsed{};
    if (inet_pton(AF_INET, txt, &parsed) != 1)
        return false;
    if (addr != nullptr)
        *addr = parsed.s_addr;
    return true;
}

bool ResParamValidator::isInterfaceIpAddrExist(in_addr_t addr)
{
    return LocalAddr::isLocal(addr);
}

bool ResParamValidator::checkValidMulticastAddr(uint32 addr)
{
    const uint32 firstOctet = addr >> 24;
    return firstOctet >= MCAST_IP_FIRST_OCTET_START && firstOctet <= MCAST_IP_FIRST_OCTET_END;
}

bool ResParamValidator::checkValidMulticastAddr(const char* addrTxt, uint16 port, McastChannel& channel)
{
    in_addr_t addr = 0;
    if (!checkValidIpAddr(addrTxt, &addr) || !checkValidMulticastAddr(ntohl(addr)) || port == 0)
        return false;
    channel = {ntohl(addr), port};
    return true;
}

bool ResParamValidator::isSameAddr(const McastChannel& lhs, const McastChannel& rhs)
{
    return lhs.addr == rhs.addr && lhs.port == rhs.port;
}

bool ResParamValidator::isWithinAddrRange(const McastChannel& checkAddr, const McastChannel& startAddr,
                                          const McastChannel& endAddr, int32& pos) const
{
    if (startAddr.empty() || checkAddr.empty())
        return false;
    if (checkAddr.addr < startAddr.addr || checkAddr.addr > endAddr.addr || checkAddr.port < startAddr.port ||
        checkAddr.port > endAddr.port)
        return false;
    pos = static_cast<int32>((checkAddr.addr - startAddr.addr) * static_cast<uint32>(m_topicPortRange) +
                             (checkAddr.port - startAddr.port));
    return true;
}

bool ResParamValidator::isMcAddrExistInFwIntRes(uint32 addr, uint16 port) const
{
    const McastChannel channel{addr, port};
    for (const McastChannel* fw : {&m_repliTopicMcastAddr, &m_repliAckMcastAddr, &m_topicRcMcastAddr,
                                   &m_topicRcAckMcastAddr, &m_mrmLocalAddr, &m_mrmLocalAckAddr, &m_mrmCrossSiteAddr,
                                   &m_mrmCrossSiteAckAddr, &m_mrmRqsAddr, &m_mrmRqsAckAddr})
    {
        if (!fw->empty() && isSameAddr(*fw, channel))
            return true;
    }
    int32 pos = -1;
    return isWithinAddrRange(channel, m_logicalDataStartAddr, m_logicalDataEndAddr, pos) ||
           isWithinAddrRange(channel, m_logicalAckStartAddr, m_logicalAckEndAddr, pos);
}

bool ResParamValidator::getInterfaceAddrBySubnet(const char* subnetTxt, IpAddress& interfaceAddrTxt)
{
    std::memset(interfaceAddrTxt, 0, sizeof(IpAddress));
    in_addr_t subnet = 0;
    uint32 found = 0;
    if (!checkValidIpAddr(subnetTxt, &subnet) || !LocalAddr::bySubnet(subnet, found))
        return false;
    const in_addr foundAddr{found};
    char txt[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &foundAddr, txt, sizeof(txt)) == nullptr)
        return false;
    std::memcpy(interfaceAddrTxt, txt, std::min(std::strlen(txt), sizeof(IpAddress) - 1));
    return true;
}

int32 ResParamValidator::checkInterfaceAddr(const IpAddress& interfaceTxt)
{
    in_addr_t addr = 0;
    if (!checkValidIpAddr(interfaceTxt, &addr))
        return fwFail(RES_INT_ADDR_INVALID, -1);
    if (addr != htonl(INADDR_ANY) && !isInterfaceIpAddrExist(addr))
        return fwFail(RES_INT_ADDR_NOT_EXIST, -1);
    return 0;
}

// --- record checks ---

int32 ResParamValidator::checkThreadParam(const ThreadParam& param) const
{
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    // Bit n (one past the last CPU) is accepted; a host of 63 or more CPUs leaves no bit to refuse.
    if (cpus > 0 && cpus + 1 < 64 && param.cpuAffinityBitmask >= (uint64{1} << (cpus + 1)))
        return fwFail(RES_CPU_BITMASK_INVALID, -1);
    if (param.messageQueueLength < THREAD_MSGQ_LEN_MIN || param.messageQueueLength > THREAD_MSGQ_LEN_MAX)
        return fwFail(RES_THREAD_MSGQ_LEN_INVALID, -1);
    if (param.numOfPipeline < 0 || param.numOfPipeline > THREAD_PIPELINE_MAX)
        return fwFail(RES_THREAD_NUM_PL_INVALID, -1);
    return 0;
}

int32 ResParamValidator::streamBufSizeMin(const TcpConnParam& param)
{
    switch (param.msgFormat)
    {
    case MSG_FORMAT_QUOR:
        return 10; // the length-and-sequence header
    case MSG_FORMAT_FIX:
        // "8=FIXT.1.1" SOH "9=", up to 100 length digits (zero-padded), SOH.
        return 13 + 100 + 1 + 1;
    case MSG_FORMAT_CUSTOM:
        // Up to the end of the size field (8 bytes covers every type).
        return param.appMsgSizeInfo.sizeFldOffset + 8;
    default:
        return 1;
    }
}

int32 ResParamValidator::checkTcpConnParam(const TcpConnParam& param) const
{
    if (param.tcpMode < TCP_CLIENT_DATA_MODE || param.tcpMode > TCP_SERVER_DATA_MODE)
        return fwFail(RES_TCP_MODE_INVALID, -1);
    if (param.tcpMode == TCP_SERVER_LISTEN_MODE ||
        (param.tcpMode == TCP_CLIENT_DATA_MODE && !textEmpty(param.interfaceTxt)))
    {
        if (checkInterfaceAddr(param.interfaceTxt) != 0)
            return -1;
    }
    if (param.tcpMode == TCP_CLIENT_DATA_MODE)
    {
        in_addr_t remote = 0;
        if (!checkValidIpAddr(param.remoteAddrTxt, &remote) ||
            (param.connectAtStartup && remote == htonl(INADDR_ANY)))
            return fwFail(RES_REMOTE_ADDR_INVALID, -1);
    }
    if (param.msgFormat < MSG_FORMAT_RAW || param.msgFormat > MSG_FORMAT_CUSTOM)
        return fwFail(RES_MSG_FORMAT_INVALID, -1);
    if (param.sendBufSize < -1)
        return fwFail(RES_TCP_SND_BUF_SIZE_INVALID, -1);
    if (param.recvBufSize < -1)
        return fwFail(RES_TCP_RCV_BUF_SIZE_INVALID, -1);
    if (param.streamBufSize < 1)
        return fwFail(RES_TCP_STREAM_BUF_SIZE_INVALID, -1);
    if (param.msgFormat == MSG_FORMAT_CUSTOM)
    {
        const AppMsgSizeInfo& info = param.appMsgSizeInfo;
        auto outside = [](int32 value) { return value < 0 || value > APP_MSG_SIZE_FIELD_MAX; };
        if (outside(info.sizeFldOffset) || info.sizeFldType < INTEGER16 || info.sizeFldType > STRING ||
            (info.bodySizeOnly && outside(info.headerSize)) || outside(info.trailerSize))
            return fwFail(RES_APP_MSG_SIZE_INFO_INVALID, -1);
    }
    // A stream buffer must hold its framing's longest header, or the header
    // never completes and the stream waits for ever; above 1 GiB its index
    // arithmetic leaves 32 bits.
    const int32 smallest = streamBufSizeMin(param);
    if (param.streamBufSize < smallest || param.streamBufSize > STREAM_BUF_SIZE_MAX)
    {
        fwLog(LOG_LEVEL_ERROR,
              "FW_CONFIG: Stream buffer size [%d] of TCP channel [%.16s] is outside [%d..%d] for its message format [%d].",
              param.streamBufSize, param.connNameTxt, smallest, STREAM_BUF_SIZE_MAX, param.msgFormat);
        return fwFail(RES_TCP_STREAM_BUF_SIZE_INVALID, -1);
    }
    if (param.openInStandbyMode)
    {
        if (param.replicationMode != NO_REPLICATION)
            return fwFail(RES_STDBY_RES_REPLI_NOT_ALLOW, -1);
        if (param.tcpMode != TCP_CLIENT_DATA_MODE)
            return fwFail(RES_NOT_SUPPORTED_FOR_OPEN_IN_STDBY, -1);
    }
    return 0;
}

int32 ResParamValidator::checkUdpConnParam(const UdpConnParam& param) const
{
    if (param.udpMode < P2P_SENDER_MODE || param.udpMode > MULTICAST_SENDER_RCVR_MODE)
        return fwFail(RES_UDP_MODE_INVALID, -1);
    if (param.sendBufSize < -1)
        return fwFail(RES_UDP_SND_BUF_SIZE_INVALID, -1);
    if (param.recvBufSize < -1)
        return fwFail(RES_UDP_RCV_BUF_SIZE_INVALID, -1);
    const bool p2p = param.udpMode <= P2P_SENDER_RECEIVER_MODE;
    const bool mcastSender = param.udpMode == MULTICAST_SENDER_MODE || param.udpMode == MULTICAST_SENDER_RCVR_MODE;
    const bool p2pSender = param.udpMode == P2P_SENDER_MODE || param.udpMode == P2P_SENDER_RECEIVER_MODE;
    // The socket sets the TTL as one byte: a value that does not fit would be cut.
    if (mcastSender && (param.mcastSendTtl == 0 || param.mcastSendTtl >= MAX_MCAST_TTL_VALUE))
        return fwFail(RES_MCAST_TTL_INVALID, -1);
    if (checkInterfaceAddr(param.interfaceTxt) != 0)
        return -1;
    in_addr_t dest = 0;
    const bool destParsed = checkValidIpAddr(param.destAddrTxt, &dest);
    // A point-to-point sender needs a peer to send to; its receiving side
    // binds to the interface address checked above.
    if ((mcastSender && !destParsed) || (p2pSender && (!destParsed || dest == 0)))
        return fwFail(RES_DEST_ADDR_INVALID, -1);
    if (param.port == 0)
        return fwFail(RES_UDP_PORT_INVALID, -1);
    // Senders send to and the sender-receiver mode also joins destAddrTxt, so
    // it must be a group; a receiver may instead name a unicast address of
    // this host (directed UDP, read without a membership): any other could
    // never be bound.
    if (!p2p && (!destParsed || !checkValidMulticastAddr(ntohl(dest))))
    {
        const bool directed = param.udpMode == MULTICAST_RECEIVER_MODE && destParsed &&
                              (dest == htonl(INADDR_ANY) || isInterfaceIpAddrExist(dest));
        if (!directed)
            return fwFail(RES_MCAST_ADDR_INVALID, -1);
    }
    if (param.openInStandbyMode)
    {
        if (param.replicationMode != NO_REPLICATION)
            return fwFail(RES_STDBY_RES_REPLI_NOT_ALLOW, -1);
        if (param.udpMode != MULTICAST_RECEIVER_MODE && param.udpMode != P2P_RECEIVER_MODE)
            return fwFail(RES_NOT_SUPPORTED_FOR_OPEN_IN_STDBY, -1);
    }
    return 0;
}

int32 ResParamValidator::checkIpcParam(const IpcParam& param) const
{
    for (size_t i = 0; i < sizeof(ResourceName) && param.ipcNameTxt[i] != '\0'; ++i)
    {
        if (!std::isalnum(static_cast<unsigned char>(param.ipcNameTxt[i])))
            return fwFail(RES_IPC_NAME_ID_INVALID, -1);
    }
    if (param.accessMode != IPC_READER_MODE && param.accessMode != IPC_WRITER_MODE)
        return fwFail(RES_IPC_ACCESS_MODE_INVALID, -1);
    if (param.accessMode == IPC_READER_MODE &&
        (param.msgQueLen < IPC_MSGQ_LEN_MIN || param.msgQueLen > IPC_MSGQ_LEN_MAX))
        return fwFail(RES_IPC_MSGQ_LEN_INVALID, -1);
    return 0;
}

int32 ResParamValidator::checkPipelineParam(const PipelineParam&) const
{
    return 0;
}

bool ResParamValidator::isMrmTopicName(const ResourceName& name) const
{
    const size_t baseLen = strnlen(m_gblData.m_mrmBaseName, sizeof(ApplicationID) - 1);
    return baseLen > 0 && std::strncmp(name, m_gblData.m_mrmBaseName, baseLen) == 0;
}

int32 ResParamValidator::checkMsgTopicParam(const MsgTopicParam& param, bool& directMcastAssigned,
                                            in_addr_t& dataMcast, in_addr_t& ackMcast, int32& pos,
                                            IpAddress& interfaceAddrTxt) const
{
    directMcastAssigned = false;
    dataMcast = 0;
    ackMcast = 0;
    pos = -1;
    std::memset(interfaceAddrTxt, 0, sizeof(IpAddress));
    const char* name = param.topicNameTxt;

    if (param.openType < PUBLISH || param.openType > APPL_REPLICATE)
    {
        fwLog(LOG_LEVEL_ERROR, "Invalid topic open type [%d] on topic [%.16s].", param.openType, name);
        return fwFail(RES_TOPIC_TYPE_INVALID, -1);
    }
    if (param.channelType < NORMAL_CHANNEL || param.channelType > PIPELINE_CHANNEL)
    {
        fwLog(LOG_LEVEL_ERROR,
              "Invalid channel type [%d] on topic [%.16s] for forwarding topic message to the application thread.",
              param.channelType, name);
        return fwFail(RES_INT_CHN_TYPE_INVALID, -1);
    }
    if (param.historyBufSize < 1)
    {
        fwLog(LOG_LEVEL_ERROR, "The history buffer size of topic [%.16s] must be > 0.", name);
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    if (param.outstandingMsgMax == 0)
    {
        fwLog(LOG_LEVEL_ERROR, "<outstandingMsgMax> of topic [%.16s] must not be 0.", name);
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    if (param.numUnackMsgMax == 0)
    {
        fwLog(LOG_LEVEL_ERROR, "<numUnackMsgMax> of topic [%.16s] must not be 0.", name);
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    if (static_cast<uint64>(param.outstandingMsgMax) <=
        static_cast<uint64>(OUTSTANDING_UNACK_FACTOR) * param.numUnackMsgMax)
    {
        fwLog(LOG_LEVEL_ERROR,
              "<outstandingMsgMax> of topic [%.16s] must be at least [%d] times +1 larger than <numUnackMsgMax>.", name,
              static_cast<int32>(OUTSTANDING_UNACK_FACTOR));
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    if (static_cast<uint64>(param.historyBufSize) < param.outstandingMsgMax)
    {
        fwLog(LOG_LEVEL_ERROR, "<outstandingMsgMax> of topic [%.16s] must be <= the topic history buffer size.", name);
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    if (param.openType == APPL_REPLICATE && param.replicationMode != NO_REPLICATION)
    {
        fwLog(LOG_LEVEL_ERROR, "Cannot enable replication for topic [%.16s] when the topic open type is APPL_REPLICATE.",
              name);
        return fwFail(RES_REPLICATION_INVALID, -1);
    }
    if (param.openType == PUBLISH && param.replicationMode == INPUT_REPLICATION)
    {
        fwLog(LOG_LEVEL_ERROR, "Cannot enable INPUT_REPLICATION for the publisher topic [%.16s].", name);
        return fwFail(RES_REPLICATION_INVALID, -1);
    }
    if (param.openType == SUBSCRIBE && param.replicationMode == OUTPUT_REPLICATION)
    {
        fwLog(LOG_LEVEL_ERROR, "Cannot enable OUTPUT_REPLICATION for the subscriber topic [%.16s].", name);
        return fwFail(RES_REPLICATION_INVALID, -1);
    }

    const int32 chn = param.logicalChnNum;
    bool chnValid = chn >= -1 && chn < m_topicAddrRange;
    if (!chnValid)
    {
        const ResourceName& topicName = param.topicNameTxt;
        chnValid = ((chn == MRM_LOCAL_LOGICAL_CHN || chn == MRM_CROSS_SITE_LOGICAL_CHN) && isMrmTopicName(topicName)) ||
                   (chn == RECOVERY_LOGICAL_CHN && nameEndsWith(topicName, RECOVERY_TOPIC_NAME_POSTFIX, 6)) ||
                   (chn == REPLICATION_LOGICAL_CHN && nameEndsWith(topicName, REPLICATION_TOPIC_NAME_POSTFIX, 9));
    }
    if (!chnValid)
    {
        fwLog(LOG_LEVEL_ERROR,
              "Logical channel number [%d] assigned to topic [%.16s] exceeds the available range [0-%d].", chn, name,
              m_topicAddrRange - 1);
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    if (param.openInStandbyMode)
    {
        if (param.openType != SUBSCRIBE)
        {
            fwLog(LOG_LEVEL_ERROR, "The topic [%.16s] open type [%d] is not supported in open in standby mode.", name,
                  param.openType);
            return fwFail(RES_NOT_SUPPORTED_FOR_OPEN_IN_STDBY, -1);
        }
        if (param.replicationMode != NO_REPLICATION)
        {
            fwLog(LOG_LEVEL_ERROR, "Replication is not allowed for topic [%.16s] open in standby mode.", name);
            return fwFail(RES_STDBY_RES_REPLI_NOT_ALLOW, -1);
        }
    }
    return checkDirectAssignment(param, directMcastAssigned, dataMcast, ackMcast, pos, interfaceAddrTxt);
}

int32 ResParamValidator::checkDirectAssignment(const MsgTopicParam& param, bool& directMcastAssigned,
                                               in_addr_t& dataMcast, in_addr_t& ackMcast, int32& pos,
                                               IpAddress& interfaceAddrTxt) const
{
    if (textEmpty(param.topicDataMcastTxt) && textEmpty(param.topicAckMcastTxt) && param.topicDataPortNum == 0 &&
        param.topicAckPortNum == 0)
        return 0;

    const char* name = param.topicNameTxt;
    char dataTxt[sizeof(IpAddress) + 1];
    char ackTxt[sizeof(IpAddress) + 1];
    terminatedCopy(param.topicDataMcastTxt, dataTxt);
    terminatedCopy(param.topicAckMcastTxt, ackTxt);
    const int32 dataPort = param.topicDataPortNum;
    const int32 ackPort = param.topicAckPortNum;
    McastChannel data{};
    McastChannel ack{};
    const bool dataValid = checkValidMulticastAddr(dataTxt, param.topicDataPortNum, data);
    const bool ackValid = checkValidMulticastAddr(ackTxt, param.topicAckPortNum, ack);

    if (param.logicalChnNum != -1)
    {
        fwLog(LOG_LEVEL_ERROR,
              "Logical channel number [%d] should be [-1] when direct assignment of multicast group data [%s:%d] ack "
              "[%s:%d] for topic [%.16s].",
              param.logicalChnNum, dataTxt, dataPort, ackTxt, ackPort, name);
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    if (!dataValid || !ackValid)
    {
        fwLog(LOG_LEVEL_ERROR,
              "The direct assignment of multicast group for topic [%.16s] on data [%s:%d] or on ack [%s:%d] is "
              "invalid.",
              name, dataTxt, dataPort, ackTxt, ackPort);
        return fwFail(RES_TOPIC_PARA_INVALID, -1);
    }
    auto either = [&data, &ack](std::initializer_list<const McastChannel*> channels) {
        for (const McastChannel* fw : channels)
        {
            if (!fw->empty() && (isSameAddr(*fw, data) || isSameAddr(*fw, ack)))
                return true;
        }
        return false;
    };
    if (either({&m_mrmLocalAddr, &m_mrmLocalAckAddr, &m_mrmCrossSiteAddr, &m_mrmCrossSiteAckAddr, &m_mrmRqsAddr,
                &m_mrmRqsAckAddr}))
    {
        fwLog(LOG_LEVEL_ERROR,
              "The direct assignment of multicast group for topic [%.16s] on data [%s:%d] or on ack [%s:%d] is "
              "already used in framework MRM requst/ack or data/ack channel.",
              name, dataTxt, dataPort, ackTxt, ackPort);
        return fwFail(RES_TOPIC_MADDR_USED_IN_FW, -1);
    }
    if (either({&m_repliTopicMcastAddr, &m_repliAckMcastAddr}))
    {
        fwLog(LOG_LEVEL_ERROR,
              "The direct assignment of multicast group for topic [%.16s] on data [%s:%d] or on ack [%s:%d] is "
              "already used in framework replication or replication ack topic.",
              name, dataTxt, dataPort, ackTxt, ackPort);
        return fwFail(RES_TOPIC_MADDR_USED_IN_FW, -1);
    }
    if (either({&m_topicRcMcastAddr, &m_topicRcAckMcastAddr}))
    {
        fwLog(LOG_LEVEL_ERROR,
              "The direct assignment of multicast group for topic [%.16s] on data [%s:%d] or on ack [%s:%d] is "
              "already used in framework topic request and request ack channel.",
              name, dataTxt, dataPort, ackTxt, ackPort);
        return fwFail(RES_TOPIC_MADDR_USED_IN_FW, -1);
    }
    int32 ignored = -1;
    if (isWithinAddrRange(data, m_logicalAckStartAddr, m_logicalAckEndAddr, ignored) ||
        isWithinAddrRange(ack, m_logicalDataStartAddr, m_logicalDataEndAddr, ignored))
    {
        fwLog(LOG_LEVEL_ERROR,
              "The direct assignment of multicast group for topic [%.16s] on data [%s:%d] falls within the framework "
              "logical ack channel range or the ack [%s:%d] falls within the framework logical data channel range.",
              name, dataTxt, dataPort, ackTxt, ackPort);
        return fwFail(RES_TOPIC_MADDR_USED_IN_FW, -1);
    }
    if (!textEmpty(param.interfaceSubnetTxt))
    {
        char subnetTxt[sizeof(IpAddress) + 1];
        terminatedCopy(param.interfaceSubnetTxt, subnetTxt);
        if (!getInterfaceAddrBySubnet(subnetTxt, interfaceAddrTxt))
        {
            fwLog(LOG_LEVEL_NOTICE, "No local interface matches the subnet [%s] for topic [%.16s].", subnetTxt, name);
            return fwFail(RES_TOPIC_PARA_INVALID, -1);
        }
    }
    int32 dataPos = -1;
    int32 ackPos = -1;
    const bool dataInRange = isWithinAddrRange(data, m_logicalDataStartAddr, m_logicalDataEndAddr, dataPos);
    const bool ackInRange = isWithinAddrRange(ack, m_logicalAckStartAddr, m_logicalAckEndAddr, ackPos);
    if (dataInRange && ackInRange && dataPos == ackPos)
    {
        fwLog(LOG_LEVEL_WARNING,
              "The direct assignment of both data channel [%s:%d] and ack channel [%s:%d] for topic [%.16s] are "
              "already used in framework logical data channel and ack channel of the same position [%d] in the "
              "range.",
              dataTxt, dataPort, ackTxt, ackPort, name, dataPos);
        directMcastAssigned = true;
        dataMcast = htonl(data.addr);
        ackMcast = htonl(ack.addr);
        pos = dataPos;
        return fwFail(RES_TOPIC_MADDR_USED_IN_FW, -2);
    }
    if (dataInRange || ackInRange)
    {
        fwLog(LOG_LEVEL_ERROR,
              "The direct assignment of multicast group for topic [%.16s] on data [%s:%d] or on ack [%s:%d] is "
              "already used in framework logical data or ack channel with address range [%d] and port range [%d].",
              name, dataTxt, dataPort, ackTxt, ackPort, m_topicAddrRange, m_topicPortRange);
        return fwFail(RES_TOPIC_MADDR_USED_IN_FW, -1);
    }
    directMcastAssigned = true;
    dataMcast = htonl(data.addr);
    ackMcast = htonl(ack.addr);
    return 0;
}
