// Owned by the registry (ResourceManager). Holds the default parameter record
// of each resource kind, built once from the framework configuration, reads
// the framework's multicast channel plan once, and checks every parameter
// record before the registry accepts it. The topic checks keep the multicast
// groups that applications assign directly off the groups the framework's own
// messaging uses.
//
// Built and used on the start-up thread; no lock.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/ResourceParam.h"

#include <netinet/in.h>
#include <string_view>

class AppLogger;
class ConfigManager;
class GlobalData;

class ResParamValidator
{
public:
    // --- keys of the default records, read in this order ---
    static constexpr const char* REPLICATION_MODE_LABEL = "REPLICATE_MODE";
    static constexpr int32 DEFAULT_REPLICATION_MODE = NO_REPLICATION;
    static constexpr const char* DEFAULT_THREAD_MSGQ_LEN_LABEL = "DEF_MSGQ_LEN";
    static constexpr int32 DEFAULT_THREAD_MSGQ_LEN = 1000;
    static constexpr const char* STATUS_REPORT_INTERVAL_LABEL = "STS_RPT_INTERVAL";
    static constexpr int32 DEFAULT_STATUS_REPORT_INTERVAL = 500; // milliseconds
    static constexpr const char* REPORT_TIME_MULTIPLIER_LABEL = "RP_TM_MULTIPLIER";
    static constexpr int32 DEFAULT_REPORT_TIME_MULTIPLIER = 3;
    static constexpr const char* TCP_SEND_BUF_SIZE_LABEL = "TCP_SEND_BUF";
    static constexpr int32 DEFAULT_TCP_SEND_BUF_SIZE = -1;
    static constexpr const char* TCP_RECV_BUF_SIZE_LABEL = "TCP_RECV_BUF";
    static constexpr int32 DEFAULT_TCP_RECV_BUF_SIZE = -1;
    // The network receiver's key.
    static constexpr const char* STREAM_BUF_SIZE_LABEL = "STREAM_BUF_SIZE";
    static constexpr int32 DEFAULT_STREAM_BUF_SIZE = 22000;
    static constexpr int32 STREAM_BUF_SIZE_MAX = 1 << 30;
    // The smallest stream buffer in which the channel's framing can read a
    // whole header.
    static int32 streamBufSizeMin(const TcpConnParam& param);
    static constexpr const char* MCAST_TTL_LABEL = "MCAST_TTL";
    static constexpr uint16 DEFAULT_MCAST_TTL = 8;
    static constexpr const char* MCAST_SEND_BUF_SIZE_LABEL = "MCAST_SEND_BUF";
    static constexpr int32 DEFAULT_MCAST_SEND_BUF_SIZE = -1;
    static constexpr const char* MCAST_RECV_BUF_SIZE_LABEL = "MCAST_RECV_BUF";
    static constexpr int32 DEFAULT_MCAST_RECV_BUF_SIZE = -1;
    static constexpr const char* WAIT_FOR_DR_ACK_LABEL = "WAIT_DR_ACK";
    static constexpr int32 DEFAULT_WAIT_FOR_DR_ACK = 0;
    static constexpr const char* WAIT_FOR_MRM_ACK_LABEL = "WAIT_MRM_ACK";
    static constexpr int32 DEFAULT_WAIT_FOR_MRM_ACK = 0;
    static constexpr const char* TOPIC_BUF_ENTRY_LABEL = "TOPIC_BUF_ENTRY";
    static constexpr int32 DEFAULT_TOPIC_BUF_ENTRY = 1000;
    static constexpr const char* PUB_GAP_RECOVERY_LABEL = "PUB_GAP_RECO";
    static constexpr uint64 DEFAULT_PUB_GAP_RECOVERY = 1000;
    static constexpr const char* UNACK_MSG_MAX_LABEL = "UNACK_MSG_MAX";
    static constexpr uint32 DEFAULT_UNACK_MSG_MAX = 10;
    static constexpr const char* OUTSTANDING_MSG_MAX_LABEL = "OUTSTDG_MSG_MAX";
    static constexpr uint32 DEFAULT_OUTSTANDING_MSG_MAX = 1000;
    static constexpr const char* RECO_MBUF_SIZE_LABEL = "RECO_MBUF_SIZE";
    static constexpr uint32 DEFAULT_RECO_MBUF_SIZE = 0;
    static constexpr const char* DEFAULT_IPC_MSGQ_LEN_LABEL = "DEF_IPC_MSGQ_LEN";
    static constexpr int32 DEFAULT_IPC_MSGQ_LEN = 1000;

    // --- the messaging service's channel plan, read after them ---
    static constexpr const char* TOPIC_ADDR_RANGE_LABEL = "MCAST_DC_ADDR_RG";
    static constexpr int32 DEFAULT_TOPIC_ADDR_RANGE = 5;
    static constexpr const char* TOPIC_PORT_RANGE_LABEL = "MCAST_DC_PORT_RG";
    static constexpr int32 DEFAULT_TOPIC_PORT_RANGE = 10;
    static constexpr const char* TOPIC_RC_ADDR_LABEL = "MCAST_RC_ADDR";
    static constexpr const char* DEFAULT_TOPIC_RC_ADDR = "224.0.0.1";
    static constexpr const char* TOPIC_RC_PORT_LABEL = "MCAST_RC_PORT";
    static constexpr uint16 DEFAULT_TOPIC_RC_PORT = 8081;
    static constexpr const char* TOPIC_RAC_ADDR_LABEL = "MCAST_RAC_ADDR";
    static constexpr const char* DEFAULT_TOPIC_RAC_ADDR = "224.0.0.2";
    static constexpr const char* TOPIC_RAC_PORT_LABEL = "MCAST_RAC_PORT";
    static constexpr uint16 DEFAULT_TOPIC_RAC_PORT = 8082;
    static constexpr const char* TOPIC_DC_ADDR_LABEL = "MCAST_DC_ADDR";
    static constexpr const char* DEFAULT_TOPIC_DC_ADDR = "224.0.1.1";
    static constexpr const char* TOPIC_DC_PORT_LABEL = "MCAST_DC_PORT";
    static constexpr uint16 DEFAULT_TOPIC_DC_PORT = 8001;
    static constexpr const char* TOPIC_DAC_ADDR_LABEL = "MCAST_DAC_ADDR";
    static constexpr const char* DEFAULT_TOPIC_DAC_ADDR = "224.0.1.1";
    static constexpr const char* TOPIC_DAC_PORT_LABEL = "MCAST_DAC_PORT";
    static constexpr uint16 DEFAULT_TOPIC_DAC_PORT = 8011;
    static constexpr const char* MRM_CHN_ADDR_LABEL = "MRM_CHN_ADDR";
    static constexpr const char* DEFAULT_MRM_CHN_ADDR = "224.0.11.1";
    static constexpr const char* MRM_CHN_PORT_LABEL = "MRM_CHN_PORT";
    static constexpr uint16 DEFAULT_MRM_CHN_PORT = 8006;
    static constexpr const char* MRM_ACK_CHN_ADDR_LABEL = "MRM_ACK_CHN_ADDR";
    static constexpr const char* DEFAULT_MRM_ACK_CHN_ADDR = "224.0.11.1";
    static constexpr const char* MRM_ACK_CHN_PORT_LABEL = "MRM_ACK_CHN_PORT";
    static constexpr uint16 DEFAULT_MRM_ACK_CHN_PORT = 8016;
    static constexpr const char* MRM_CROSS_SITE_ADDR_LABEL = "MRM_CHN_ADDR_C";
    static constexpr const char* DEFAULT_MRM_CROSS_SITE_ADDR = "224.0.11.3";
    static constexpr const char* MRM_CROSS_SITE_PORT_LABEL = "MRM_CHN_PORT_C";
    static constexpr uint16 DEFAULT_MRM_CROSS_SITE_PORT = 8008;
    static constexpr const char* MRM_CROSS_SITE_ACK_ADDR_LABEL = "MRM_ACK_CHN_AD_C";
    static constexpr const char* DEFAULT_MRM_CROSS_SITE_ACK_ADDR = "224.0.11.3";
    static constexpr const char* MRM_CROSS_SITE_ACK_PORT_LABEL = "MRM_ACK_CHN_PO_C";
    static constexpr uint16 DEFAULT_MRM_CROSS_SITE_ACK_PORT = 8018;
    static constexpr const char* MRM_RQS_ADDR_LABEL = "MRM_RQS_CHN_ADDR";
    static constexpr const char* DEFAULT_MRM_RQS_ADDR = "224.0.11.2";
    static constexpr const char* MRM_RQS_PORT_LABEL = "MRM_RQS_CHN_PORT";
    static constexpr uint16 DEFAULT_MRM_RQS_PORT = 8007;
    static constexpr const char* MRM_RQS_ACK_ADDR_LABEL = "MRM_RA_CHN_ADDR";
    static constexpr const char* DEFAULT_MRM_RQS_ACK_ADDR = "224.0.11.2";
    static constexpr const char* MRM_RQS_ACK_PORT_LABEL = "MRM_RA_CHN_PORT";
    static constexpr uint16 DEFAULT_MRM_RQS_ACK_PORT = 8017;

    static constexpr int32 MCAST_IP_FIRST_OCTET_START = 224;
    static constexpr int32 MCAST_IP_FIRST_OCTET_END = 239;
    static constexpr int32 MCAST_IP_4_OCTET_MAX = 255;
    static constexpr int32 MAX_MCAST_TTL_VALUE = 256;

    // Logical channel numbers of the framework's own topics.
    static constexpr int32 MRM_LOCAL_LOGICAL_CHN = 999;
    static constexpr int32 RECOVERY_LOGICAL_CHN = 998;
    static constexpr int32 REPLICATION_LOGICAL_CHN = 997;
    static constexpr int32 MRM_CROSS_SITE_LOGICAL_CHN = 996;
    static constexpr const char* RECOVERY_TOPIC_NAME_POSTFIX = "_RECO";
    static constexpr const char* REPLICATION_TOPIC_NAME_POSTFIX = "_FW_REPL";
    // Times numUnackMsgMax that outstandingMsgMax must exceed.
    static constexpr uint32 OUTSTANDING_UNACK_FACTOR = 3;

    // One multicast channel, both parts in host order; all zero when empty.
    struct McastChannel
    {
        uint32 addr;
        uint16 port;

        bool empty() const { return addr == 0; }
    };

    // Reads the framework configuration store of the global data (defaults
    // without one).
    ResParamValidator();
    explicit ResParamValidator(const ConfigManager* configMgr);
    virtual ~ResParamValidator() = default;

    ResParamValidator(const ResParamValidator&) = delete;
    ResParamValidator& operator=(const ResParamValidator&) = delete;

    // True, with the code, when the channel plan in the configuration is invalid.
    bool errorInValidator(int32& lastErrorCode) const;

    // Copy the kind's default record over param.
    void initThreadParam(ThreadParam& param) const { param = m_threadParam; }
    void initTcpConnParam(TcpConnParam& param) const { param = m_tcpParam; }
    void initUdpConnParam(UdpConnParam& param) const { param = m_udpParam; }
    void initIpcParam(IpcParam& param) const { param = m_ipcParam; }
    void initMsgTopicParam(MsgTopicParam& param) const { param = m_topicParam; }
    void initPipelineParam(PipelineParam& param) const { param = m_pipelineParam; }

    // 0, or -1 with the code of the first failing check.
    int32 checkThreadParam(const ThreadParam& param) const;
    int32 checkTcpConnParam(const TcpConnParam& param) const;
    int32 checkUdpConnParam(const UdpConnParam& param) const;
    int32 checkIpcParam(const IpcParam& param) const;
    int32 checkPipelineParam(const PipelineParam& param) const;
    // 0, -1, or -2 (accepted with a warning: the direct pair is a logical
    // channel pair of the framework, code RES_TOPIC_MADDR_USED_IN_FW). The
    // outputs are cleared first; the addresses are in network order.
    int32 checkMsgTopicParam(const MsgTopicParam& param, bool& directMcastAssigned, in_addr_t& dataMcast,
                             in_addr_t& ackMcast, int32& pos, IpAddress& interfaceAddrTxt) const;

    // --- address operations ---
    // The text (at most 16 characters) parses as dotted IPv4; addr gets it in network order.
    static bool checkValidIpAddr(const char* addrTxt, in_addr_t* addr = nullptr);
    // An IPv4 interface of this host carries the address (network order).
    static bool isInterfaceIpAddrExist(in_addr_t addr);
    // First octet in 224..239 (address in host order).
    static bool checkValidMulticastAddr(uint32 addr);
    // The text parses as a multicast address and the port is not 0; the channel is set then.
    static bool checkValidMulticastAddr(const char* addrTxt, uint16 port, McastChannel& channel);
    static bool isSameAddr(const McastChannel& lhs, const McastChannel& rhs);
    // The channel lies in the grid from startAddr to endAddr (addresses and
    // ports); pos = address offset × port range + port offset.
    bool isWithinAddrRange(const McastChannel& checkAddr, const McastChannel& startAddr,
                           const McastChannel& endAddr, int32& pos) const;
    // The pair (host order) is one of the ten framework channels or inside a logical range.
    bool isMcAddrExistInFwIntRes(uint32 addr, uint16 port) const;
    // The first local IPv4 address whose network (address and netmask) is the
    // subnet; false when none matches or the subnet does not parse.
    static bool getInterfaceAddrBySubnet(const char* subnetTxt, IpAddress& interfaceAddrTxt);

    int32 getTopicAddrRange() const { return m_topicAddrRange; }
    int32 getTopicPortRange() const { return m_topicPortRange; }

private:
    bool m_errorInValidator = false;
    int32 m_lastErrCodeInValidator = 0;
    int32 m_topicAddrRange = DEFAULT_TOPIC_ADDR_RANGE;
    int32 m_topicPortRange = DEFAULT_TOPIC_PORT_RANGE;
    ThreadParam m_threadParam;
    TcpConnParam m_tcpParam;
    UdpConnParam m_udpParam;
    IpcParam m_ipcParam;
    MsgTopicParam m_topicParam;
    PipelineParam m_pipelineParam;
    ReplicationMode m_repliMode = NO_REPLICATION;
    const ConfigManager* m_configMgrPtr;
    AppLogger* m_loggerPtr;
    GlobalData& m_gblData;
    McastChannel m_repliTopicMcastAddr{};
    McastChannel m_repliAckMcastAddr{};
    McastChannel m_topicRcMcastAddr{};
    McastChannel m_topicRcAckMcastAddr{};
    McastChannel m_logicalDataStartAddr{};
    McastChannel m_logicalDataEndAddr{};
    McastChannel m_logicalAckStartAddr{};
    McastChannel m_logicalAckEndAddr{};
    McastChannel m_mrmLocalAddr{};
    McastChannel m_mrmLocalAckAddr{};
    McastChannel m_mrmCrossSiteAddr{};
    McastChannel m_mrmCrossSiteAckAddr{};
    McastChannel m_mrmRqsAddr{};
    McastChannel m_mrmRqsAckAddr{};

    void initialize();
    void buildTemplates();
    void readChannelPlan();
    // Reads a logical range from its first channel; logs and flags a range that does not fit.
    void readLogicalRange(const char* addrLabel, const char* defaultAddr, const char* portLabel, uint16 defaultPort,
                          const char* kind, McastChannel& start, McastChannel& end);
    McastChannel readChannel(const char* addrLabel, const char* defaultAddr, const char* portLabel,
                             uint16 defaultPort) const;
    void configError();

    int32 readInt32(const char* label, int32 defaultValue) const;
    uint16 readUint16(const char* label, uint16 defaultValue) const;
    uint32 readUint32(const char* label, uint32 defaultValue) const;
    uint64 readUint64(const char* label, uint64 defaultValue) const;
    void readAddrText(const char* label, const char* defaultValue, IpAddress& addrTxt) const;

    // An interface text that must parse; 0.0.0.0 means any interface.
    static int32 checkInterfaceAddr(const IpAddress& interfaceTxt);
    bool isMrmTopicName(const ResourceName& name) const;
    int32 checkDirectAssignment(const MsgTopicParam& param, bool& directMcastAssigned, in_addr_t& dataMcast,
                                in_addr_t& ackMcast, int32& pos, IpAddress& interfaceAddrTxt) const;
};
