// The messaging service's settings from the framework configuration file,
// with the corrections applied to values out of range, and what follows from
// them (the request, recovery and idle time-outs are never shorter than the
// timer period). Read once, when the service thread starts; the topics read
// them afterwards.
//
// Plain data.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/MulticastLoopback.h"

#include <string>

class ConfigManager;

// A channel of the plan: group text (at most 15 characters) and port.
struct MslGroupPort
{
    IpAddress groupTxt;
    uint16 port;
};

struct MslSettings
{
    static constexpr const char* SUB_STATUS_EVT_LABEL = "SUBSCRIB_STS_EVT";
    static constexpr const char* KEEPALIVE_TM_LABEL = "MSL_KEEPALIVE_TM";
    static constexpr uint32 DEFAULT_KEEPALIVE_TM = 30;
    static constexpr const char* MCAST_JOIN_LEAD_TM_LABEL = "MCAST_JOIN_LD_TM";
    static constexpr uint32 DEFAULT_MCAST_JOIN_LEAD_TM = 100;
    static constexpr const char* MRM_HB_TIME_LABEL = "MRM_HB_TIME";
    static constexpr uint32 DEFAULT_MRM_HB_TIME = 3000;
    static constexpr const char* MRM_X_RECOVERY_LABEL = "MRM_X_RECOVERY";
    static constexpr const char* RESEND_THOLD_LABEL = "MSL_RESEND_THOLD";
    static constexpr int32 DEFAULT_RESEND_THOLD = 3;
    static constexpr const char* NUM_LOCAL_ADDR_LABEL = "NUM_LOCAL_ADDR";
    static constexpr int32 DEFAULT_NUM_LOCAL_ADDR = 20;
    static constexpr const char* MCAST_TTL_LABEL = "MSL_MCAST_TTL";
    static constexpr uint16 DEFAULT_MCAST_TTL = 8;
    static constexpr const char* MRM_LOCAL_TTL_LABEL = "MRM_LOCAL_TTL";
    static constexpr const char* LOOPBACK_LABEL = "MSL_LOOPBACK";
    static constexpr const char* NUM_MSG_RCV_MAX_LABEL = "NUM_MSG_RCV_MAX";
    static constexpr int32 DEFAULT_NUM_MSG_RCV_MAX = 50;
    static constexpr const char* MRM_MSG_RCV_MAX_LABEL = "MRM_MSG_RCV_MAX";
    static constexpr int32 DEFAULT_MRM_MSG_RCV_MAX = 100;
    static constexpr const char* SVR_SUBNET_LABEL = "MSG_SVR_SUBNET";
    static constexpr const char* DEFAULT_SVR_SUBNET = "0.0.0.0";
    static constexpr const char* MRM_SUBNET_LOCAL_LABEL = "MRM_SUBNET_L";
    static constexpr const char* STS_RPT_INTERVAL_LABEL = "STS_RPT_INTERVAL";
    static constexpr int32 DEFAULT_STS_RPT_INTERVAL = 500;
    static constexpr const char* RQS_TIMEOUT_LABEL = "RQS_TIMEOUT";
    static constexpr int32 DEFAULT_RQS_TIMEOUT = 500;
    static constexpr const char* RECOV_TIMEOUT_LABEL = "RECOV_TIMEOUT";
    static constexpr int32 DEFAULT_RECOV_TIMEOUT = 10;
    static constexpr const char* TOPIC_IDLE_INTV_LABEL = "TOPIC_IDLE_INTV";
    static constexpr int32 DEFAULT_TOPIC_IDLE_INTV = 1000;
    static constexpr const char* RESEND_BAT_SIZE_LABEL = "RESEND_BAT_SIZE";
    static constexpr int32 DEFAULT_RESEND_BAT_SIZE = 10;
    static constexpr const char* MSG_PER_RESEND_LABEL = "MSG_PER_RESEND";
    static constexpr int32 DEFAULT_MSG_PER_RESEND = 20000;
    static constexpr const char* SKIP_ACK_ON_RECO_LABEL = "SKIP_ACK_ON_RECO";
    static constexpr const char* MRM_INST_BITMAP_LABEL_FORMAT = "MRM%d_INST_BITMAP";
    static constexpr uint64 DEFAULT_MRM_INST_BITMAP = ~0ull;
    static constexpr const char* RECOV_BUSY_DELAY_LABEL = "RECOV_BUSY_DELAY";
    static constexpr int32 DEFAULT_RECOV_BUSY_DELAY = 10;
    static constexpr int32 RECOV_BUSY_DELAY_MAX = 999;
    static constexpr const char* MRM_Q_RECO_THOLD_LABEL = "MRM_Q_RECO_THOLD";
    static constexpr int32 DEFAULT_MRM_Q_RECO_THOLD = 1000;
    static constexpr const char* RECO_MBUF_REPLAY_LABEL = "RECO_MBUF_REPLAY";
    static constexpr uint32 DEFAULT_RECO_MBUF_REPLAY = 10000;
    static constexpr const char* RECO_MBUF_TMX_LABEL = "RECO_MBUF_TMX";
    static constexpr uint32 DEFAULT_RECO_MBUF_TMX = 1;
    static constexpr const char* TM_INTERVAL_LABEL = "MSL_TM_INTERVAL";
    static constexpr int32 DEFAULT_TM_INTERVAL = 50;
    static constexpr int32 MRM_RECOVERY_WARN_MIN = 10000;
    // The receive-path drop hook, a test facility (MslDropHook).
    static constexpr const char* TEST_DROP_LABEL = "MSL_TEST_DROP";
    static constexpr const char* TEST_DROP_SEED_LABEL = "MSL_TEST_DROP_SD";
    static constexpr uint64 DEFAULT_TEST_DROP_SEED = 1;
    // While the file it names exists, every datagram received is dropped.
    static constexpr const char* TEST_DROP_FILE_LABEL = "MSL_TEST_DROP_FILE";
    static constexpr int32 MRM_PARTITION_MAX = 9;

    bool subStatusEvt = false;
    uint32 keepaliveTmSec = DEFAULT_KEEPALIVE_TM;
    uint32 mcastJoinLeadMs = DEFAULT_MCAST_JOIN_LEAD_TM;
    uint32 mrmHeartbeatMs = DEFAULT_MRM_HB_TIME;
    bool mrmCrossSiteRecovery = false;
    int32 resendThold = DEFAULT_RESEND_THOLD;
    int32 numLocalAddr = DEFAULT_NUM_LOCAL_ADDR;
    int32 mcastSendBuf = -1;
    int32 mcastRecvBuf = -1;
    uint16 mcastTtl = DEFAULT_MCAST_TTL;
    uint16 mrmLocalTtl = DEFAULT_MCAST_TTL;
    MulticastLoopback loopback = GLOBAL_MCAST_LOOPBACK_SETTING;
    int32 numMsgRcvMax = DEFAULT_NUM_MSG_RCV_MAX;
    int32 mrmMsgRcvMax = DEFAULT_MRM_MSG_RCV_MAX;
    int32 topicMax = 100;
    int32 subMax = 100;
    IpAddress svrSubnetTxt{};
    IpAddress mrmLocalSubnetTxt{};

    MslGroupPort requestChn{};
    MslGroupPort requestAckChn{};
    MslGroupPort dataChnBase{};
    MslGroupPort dataAckChnBase{};
    MslGroupPort mrmLocalChn{};
    MslGroupPort mrmLocalAckChn{};
    MslGroupPort mrmCrossSiteChn{};
    MslGroupPort mrmCrossSiteAckChn{};
    MslGroupPort mrmRequestChn{};
    MslGroupPort mrmRequestAckChn{};

    int32 dataAddrRange = 5;
    int32 dataPortRange = 10;
    int32 stsRptIntervalMs = DEFAULT_STS_RPT_INTERVAL;
    int32 rqsTimeoutMs = DEFAULT_RQS_TIMEOUT;
    int32 recovTimeoutMs = DEFAULT_RECOV_TIMEOUT;
    int32 topicTimeoutMs = DEFAULT_TOPIC_IDLE_INTV;
    int32 resendBatchSize = DEFAULT_RESEND_BAT_SIZE;
    int32 numMsgPerResend = DEFAULT_MSG_PER_RESEND;
    bool skipWaitAckOnTopicRecovery = false;
    uint32 unackMsgMax = 10; // a subscriber's acknowledgement interval
    uint64 mrmInstBitmap[MRM_PARTITION_MAX]{};
    int32 recovBusyDelayMs = DEFAULT_RECOV_BUSY_DELAY;
    int32 mrmQuickRecoveryThold = DEFAULT_MRM_Q_RECO_THOLD;
    uint32 bufMsgInRcvyReplayMax = DEFAULT_RECO_MBUF_REPLAY;
    uint32 bufMsgInRcvyTimerMultiplier = DEFAULT_RECO_MBUF_TMX;
    int32 timerIntervalMs = DEFAULT_TM_INTERVAL;
    int32 mrmRecoveryWarnMs = MRM_RECOVERY_WARN_MIN;

    double testDropFraction = 0.0;
    uint64 testDropSeed = DEFAULT_TEST_DROP_SEED;
    std::string testDropFile;

    // The settings of config (every default when null), corrected.
    static MslSettings read(const ConfigManager* config);
};
