#include "FendralCore/messaging/MslSettings.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/runtime/ResParamValidator.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{
using RPV = ResParamValidator;

// Each reader leaves the default when the key is absent, unreadable or of
// another type (the store logs the last).
class Reader
{
public:
    explicit Reader(const ConfigManager* config) : m_config(config) {}

    int32 int32Value(const char* key, int32 def) const
    {
        int32 value = def;
        if (m_config != nullptr && m_config->getInt32ConfigPara(key, value, def) != 0)
            value = def;
        return value;
    }
    uint32 uint32Value(const char* key, uint32 def) const
    {
        uint32 value = def;
        if (m_config != nullptr && m_config->getUint32ConfigPara(key, value, def) != 0)
            value = def;
        return value;
    }
    uint16 uint16Value(const char* key, uint16 def) const
    {
        uint16 value = def;
        if (m_config != nullptr && m_config->getUint16ConfigPara(key, value, def) != 0)
            value = def;
        return value;
    }
    uint64 uint64Value(const char* key, uint64 def) const
    {
        uint64 value = def;
        if (m_config != nullptr && m_config->getUint64ConfigPara(key, value, def) != 0)
            value = def;
        return value;
    }
    double doubleValue(const char* key, double def) const
    {
        double value = def;
        if (m_config != nullptr && m_config->getDoubleConfPara(key, value, def) != 0)
            value = def;
        return value;
    }
    std::string string(const char* key) const
    {
        std::string value;
        if (m_config != nullptr && m_config->getStrConfPara(key, value, "") != 0)
            value.clear();
        return value;
    }
    // At most the 15 characters an address field holds.
    void text(const char* key, const char* def, IpAddress& out) const
    {
        std::string value = def;
        if (m_config != nullptr && m_config->getStrConfPara(key, value, def) != 0)
            value = def;
        std::memset(out, 0, sizeof(IpAddress));
        std::memcpy(out, value.data(), std::min(value.size(), sizeof(IpAddress) - 1));
    }
    void channel(const char* addrKey, const char* defAddr, const char* portKey, uint16 defPort,
                 MslGroupPort& out) const
    {
        text(addrKey, defAddr, out.groupTxt);
        out.port = uint16Value(portKey, defPort);
    }

private:
    const ConfigManager* m_config;
};

int32 atLeastOne(int32 value, int32 def)
{
    return value < 1 ? def : value;
}
} // namespace

MslSettings MslSettings::read(const ConfigManager* config)
{
    const Reader r(config);
    MslSettings s;
    s.subStatusEvt = r.uint32Value(SUB_STATUS_EVT_LABEL, 0) != 0;
    s.keepaliveTmSec = r.uint32Value(KEEPALIVE_TM_LABEL, DEFAULT_KEEPALIVE_TM);
    s.mcastJoinLeadMs = r.uint32Value(MCAST_JOIN_LEAD_TM_LABEL, DEFAULT_MCAST_JOIN_LEAD_TM);
    s.mrmHeartbeatMs = r.uint32Value(MRM_HB_TIME_LABEL, DEFAULT_MRM_HB_TIME);
    s.mrmCrossSiteRecovery = r.int32Value(MRM_X_RECOVERY_LABEL, 0) != 0;
    s.resendThold = atLeastOne(r.int32Value(RESEND_THOLD_LABEL, DEFAULT_RESEND_THOLD), DEFAULT_RESEND_THOLD);
    s.numLocalAddr = atLeastOne(r.int32Value(NUM_LOCAL_ADDR_LABEL, DEFAULT_NUM_LOCAL_ADDR), DEFAULT_NUM_LOCAL_ADDR);
    s.mcastSendBuf = std::max(-1, r.int32Value(RPV::MCAST_SEND_BUF_SIZE_LABEL, RPV::DEFAULT_MCAST_SEND_BUF_SIZE));
    s.mcastRecvBuf = std::max(-1, r.int32Value(RPV::MCAST_RECV_BUF_SIZE_LABEL, RPV::DEFAULT_MCAST_RECV_BUF_SIZE));
    s.mcastTtl = r.uint16Value(MCAST_TTL_LABEL, DEFAULT_MCAST_TTL);
    if (s.mcastTtl == 0)
        s.mcastTtl = DEFAULT_MCAST_TTL;
    s.mrmLocalTtl = r.uint16Value(MRM_LOCAL_TTL_LABEL, DEFAULT_MCAST_TTL);
    if (s.mrmLocalTtl == 0)
        s.mrmLocalTtl = DEFAULT_MCAST_TTL;
    const int32 loopback = r.int32Value(LOOPBACK_LABEL, 0);
    s.loopback = loopback == 0   ? GLOBAL_MCAST_LOOPBACK_SETTING
                 : loopback == 1 ? ENABLE_MCAST_LOOPBACK
                                 : DISABLE_MCAST_LOOPBACK;
    s.numMsgRcvMax =
        atLeastOne(r.int32Value(NUM_MSG_RCV_MAX_LABEL, DEFAULT_NUM_MSG_RCV_MAX), DEFAULT_NUM_MSG_RCV_MAX);
    s.mrmMsgRcvMax =
        atLeastOne(r.int32Value(MRM_MSG_RCV_MAX_LABEL, DEFAULT_MRM_MSG_RCV_MAX), DEFAULT_MRM_MSG_RCV_MAX);
    s.topicMax = atLeastOne(r.int32Value(ResourceManager::MSG_TOPIC_PUB_NUM_MAX_LABEL,
                                         ResourceManager::MSG_TOPIC_PUB_NUM_MAX),
                            ResourceManager::MSG_TOPIC_PUB_NUM_MAX);
    s.subMax = atLeastOne(r.int32Value(ResourceManager::MSG_TOPIC_SUB_NUM_MAX_LABEL,
                                       ResourceManager::MSG_TOPIC_SUB_NUM_MAX),
                          ResourceManager::MSG_TOPIC_SUB_NUM_MAX);
    r.text(SVR_SUBNET_LABEL, DEFAULT_SVR_SUBNET, s.svrSubnetTxt);
    r.text(MRM_SUBNET_LOCAL_LABEL, s.svrSubnetTxt, s.mrmLocalSubnetTxt);

    // The channel plan, with the validator's names and defaults.
    r.channel(RPV::TOPIC_RC_ADDR_LABEL, RPV::DEFAULT_TOPIC_RC_ADDR, RPV::TOPIC_RC_PORT_LABEL,
              RPV::DEFAULT_TOPIC_RC_PORT, s.requestChn);
    r.channel(RPV::TOPIC_RAC_ADDR_LABEL, RPV::DEFAULT_TOPIC_RAC_ADDR, RPV::TOPIC_RAC_PORT_LABEL,
              RPV::DEFAULT_TOPIC_RAC_PORT, s.requestAckChn);
    r.channel(RPV::TOPIC_DC_ADDR_LABEL, RPV::DEFAULT_TOPIC_DC_ADDR, RPV::TOPIC_DC_PORT_LABEL,
              RPV::DEFAULT_TOPIC_DC_PORT, s.dataChnBase);
    r.channel(RPV::TOPIC_DAC_ADDR_LABEL, RPV::DEFAULT_TOPIC_DAC_ADDR, RPV::TOPIC_DAC_PORT_LABEL,
              RPV::DEFAULT_TOPIC_DAC_PORT, s.dataAckChnBase);
    r.channel(RPV::MRM_CHN_ADDR_LABEL, RPV::DEFAULT_MRM_CHN_ADDR, RPV::MRM_CHN_PORT_LABEL, RPV::DEFAULT_MRM_CHN_PORT,
              s.mrmLocalChn);
    r.channel(RPV::MRM_ACK_CHN_ADDR_LABEL, RPV::DEFAULT_MRM_ACK_CHN_ADDR, RPV::MRM_ACK_CHN_PORT_LABEL,
              RPV::DEFAULT_MRM_ACK_CHN_PORT, s.mrmLocalAckChn);
    r.channel(RPV::MRM_CROSS_SITE_ADDR_LABEL, RPV::DEFAULT_MRM_CROSS_SITE_ADDR, RPV::MRM_CROSS_SITE_PORT_LABEL,
              RPV::DEFAULT_MRM_CROSS_SITE_PORT, s.mrmCrossSiteChn);
    r.channel(RPV::MRM_CROSS_SITE_ACK_ADDR_LABEL, RPV::DEFAULT_MRM_CROSS_SITE_ACK_ADDR,
              RPV::MRM_CROSS_SITE_ACK_PORT_LABEL, RPV::DEFAULT_MRM_CROSS_SITE_ACK_PORT, s.mrmCrossSiteAckChn);
    r.channel(RPV::MRM_RQS_ADDR_LABEL, RPV::DEFAULT_MRM_RQS_ADDR, RPV::MRM_RQS_PORT_LABEL, RPV::DEFAULT_MRM_RQS_PORT,
              s.mrmRequestChn);
    r.channel(RPV::MRM_RQS_ACK_ADDR_LABEL, RPV::DEFAULT_MRM_RQS_ACK_ADDR, RPV::MRM_RQS_ACK_PORT_LABEL,
              RPV::DEFAULT_MRM_RQS_ACK_PORT, s.mrmRequestAckChn);

    s.dataAddrRange = atLeastOne(r.int32Value(RPV::TOPIC_ADDR_RANGE_LABEL, RPV::DEFAULT_TOPIC_ADDR_RANGE),
                                 RPV::DEFAULT_TOPIC_ADDR_RANGE);
    s.dataPortRange = atLeastOne(r.int32Value(RPV::TOPIC_PORT_RANGE_LABEL, RPV::DEFAULT_TOPIC_PORT_RANGE),
                                 RPV::DEFAULT_TOPIC_PORT_RANGE);
    const int32 sts = r.int32Value(STS_RPT_INTERVAL_LABEL, DEFAULT_STS_RPT_INTERVAL);
    const bool stsCorrected = sts < 1;
    s.stsRptIntervalMs = stsCorrected ? DEFAULT_STS_RPT_INTERVAL : sts;
    s.rqsTimeoutMs = atLeastOne(r.int32Value(RQS_TIMEOUT_LABEL, DEFAULT_RQS_TIMEOUT), DEFAULT_RQS_TIMEOUT);
    s.recovTimeoutMs = atLeastOne(r.int32Value(RECOV_TIMEOUT_LABEL, DEFAULT_RECOV_TIMEOUT), DEFAULT_RECOV_TIMEOUT);
    s.topicTimeoutMs =
        atLeastOne(r.int32Value(TOPIC_IDLE_INTV_LABEL, DEFAULT_TOPIC_IDLE_INTV), DEFAULT_TOPIC_IDLE_INTV);
    s.resendBatchSize =
        atLeastOne(r.int32Value(RESEND_BAT_SIZE_LABEL, DEFAULT_RESEND_BAT_SIZE), DEFAULT_RESEND_BAT_SIZE);
    s.numMsgPerResend = atLeastOne(r.int32Value(MSG_PER_RESEND_LABEL, DEFAULT_MSG_PER_RESEND), DEFAULT_MSG_PER_RESEND);
    s.skipWaitAckOnTopicRecovery = r.uint32Value(SKIP_ACK_ON_RECO_LABEL, 0) != 0;
    // A subscriber acknowledges every this many messages: 0 would never.
    s.unackMsgMax = r.uint32Value(RPV::UNACK_MSG_MAX_LABEL, RPV::DEFAULT_UNACK_MSG_MAX);
    if (s.unackMsgMax == 0)
        s.unackMsgMax = RPV::DEFAULT_UNACK_MSG_MAX;
    char key[32];
    for (int32 p = 0; p < MRM_PARTITION_MAX; ++p)
    {
        std::snprintf(key, sizeof(key), MRM_INST_BITMAP_LABEL_FORMAT, p);
        s.mrmInstBitmap[p] = r.uint64Value(key, p == 0 ? DEFAULT_MRM_INST_BITMAP : s.mrmInstBitmap[0]);
    }
    s.recovBusyDelayMs = r.int32Value(RECOV_BUSY_DELAY_LABEL, DEFAULT_RECOV_BUSY_DELAY);
    if (s.recovBusyDelayMs < 1 || s.recovBusyDelayMs > RECOV_BUSY_DELAY_MAX)
        s.recovBusyDelayMs = DEFAULT_RECOV_BUSY_DELAY;
    s.mrmQuickRecoveryThold =
        atLeastOne(r.int32Value(MRM_Q_RECO_THOLD_LABEL, DEFAULT_MRM_Q_RECO_THOLD), DEFAULT_MRM_Q_RECO_THOLD);
    s.bufMsgInRcvyReplayMax = r.uint32Value(RECO_MBUF_REPLAY_LABEL, DEFAULT_RECO_MBUF_REPLAY);
    if (s.bufMsgInRcvyReplayMax == 0)
        s.bufMsgInRcvyReplayMax = DEFAULT_RECO_MBUF_REPLAY;
    s.bufMsgInRcvyTimerMultiplier = r.uint32Value(RECO_MBUF_TMX_LABEL, DEFAULT_RECO_MBUF_TMX);
    if (s.bufMsgInRcvyTimerMultiplier == 0)
        s.bufMsgInRcvyTimerMultiplier = DEFAULT_RECO_MBUF_TMX;
    s.timerIntervalMs = atLeastOne(r.int32Value(TM_INTERVAL_LABEL, DEFAULT_TM_INTERVAL), DEFAULT_TM_INTERVAL);
    s.timerIntervalMs = std::min(s.timerIntervalMs, s.stsRptIntervalMs);

    s.mrmRecoveryWarnMs = stsCorrected ? MRM_RECOVERY_WARN_MIN : std::max(MRM_RECOVERY_WARN_MIN, s.stsRptIntervalMs);
    s.rqsTimeoutMs = std::max(s.rqsTimeoutMs, s.timerIntervalMs);
    s.recovTimeoutMs = std::max(s.recovTimeoutMs, s.timerIntervalMs);
    s.topicTimeoutMs = std::max(s.topicTimeoutMs, s.timerIntervalMs);

    // Written so that a value that is not a number leaves the hook off.
    const double drop = r.doubleValue(TEST_DROP_LABEL, 0.0);
    s.testDropFraction = drop > 0.0 ? std::min(drop, 1.0) : 0.0;
    s.testDropSeed = r.uint64Value(TEST_DROP_SEED_LABEL, DEFAULT_TEST_DROP_SEED);
    s.testDropFile = r.string(TEST_DROP_FILE_LABEL);
    return s;
}
