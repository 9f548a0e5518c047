// The messaging service's settings: values out of range take their
// corrections, and the time-outs follow the timer period.
#include "FendralCore/messaging/MslSettings.h"
#include "FendralCore/tests/registry/RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace
{
struct Case
{
    const char* config;
    const char* field;
    std::function<int64(const MslSettings&)> read;
    int64 expected;
};

int64 timer(const MslSettings& s)
{
    return s.timerIntervalMs;
}

const Case CASES[] = {
    // A timer period above the status report interval takes that interval;
    // request, recovery and idle time-outs are never shorter than it.
    {"MSL_TM_INTERVAL INT32 200\nSTS_RPT_INTERVAL INT32 100\nRQS_TIMEOUT INT32 20\n", "timer", timer, 100},
    {"MSL_TM_INTERVAL INT32 200\nSTS_RPT_INTERVAL INT32 100\nRQS_TIMEOUT INT32 20\n", "request time-out",
     [](const MslSettings& s) { return s.rqsTimeoutMs; }, 100},
    {"MSL_TM_INTERVAL INT32 200\nSTS_RPT_INTERVAL INT32 100\nRQS_TIMEOUT INT32 20\n", "recovery time-out",
     [](const MslSettings& s) { return s.recovTimeoutMs; }, 100},
    {"MSL_TM_INTERVAL INT32 200\nSTS_RPT_INTERVAL INT32 100\nTOPIC_IDLE_INTV INT32 30\n", "idle interval",
     [](const MslSettings& s) { return s.topicTimeoutMs; }, 100},
    {"", "recovery time-out below the default timer period", [](const MslSettings& s) { return s.recovTimeoutMs; },
     50},
    {"MSL_TM_INTERVAL INT32 0\n", "timer", timer, 50},
    {"MSL_TM_INTERVAL INT32 600\n", "timer", timer, 500},
    {"RECOV_BUSY_DELAY INT32 1000\n", "busy delay", [](const MslSettings& s) { return s.recovBusyDelayMs; }, 10},
    {"RECOV_BUSY_DELAY INT32 0\n", "busy delay", [](const MslSettings& s) { return s.recovBusyDelayMs; }, 10},
    {"RECOV_BUSY_DELAY INT32 999\n", "busy delay", [](const MslSettings& s) { return s.recovBusyDelayMs; }, 999},
    // The MRM recovery warning: at least 10000, the status interval above it.
    {"STS_RPT_INTERVAL INT32 20000\n", "MRM warning", [](const MslSettings& s) { return s.mrmRecoveryWarnMs; },
     20000},
    {"STS_RPT_INTERVAL INT32 5000\n", "MRM warning", [](const MslSettings& s) { return s.mrmRecoveryWarnMs; }, 10000},
    {"STS_RPT_INTERVAL INT32 0\n", "status interval", [](const MslSettings& s) { return s.stsRptIntervalMs; }, 500},
    {"MSL_RESEND_THOLD INT32 0\n", "resends", [](const MslSettings& s) { return s.resendThold; }, 3},
    // A key of another type reads its default.
    {"MSL_RESEND_THOLD STRING many\n", "resends", [](const MslSettings& s) { return s.resendThold; }, 3},
    {"NUM_LOCAL_ADDR INT32 -4\n", "local addresses", [](const MslSettings& s) { return s.numLocalAddr; }, 20},
    {"MCAST_SEND_BUF INT32 -7\n", "send buffer", [](const MslSettings& s) { return s.mcastSendBuf; }, -1},
    {"MCAST_RECV_BUF INT32 65536\n", "receive buffer", [](const MslSettings& s) { return s.mcastRecvBuf; }, 65536},
    {"MSL_MCAST_TTL UINT16 0\n", "TTL", [](const MslSettings& s) { return s.mcastTtl; }, 8},
    {"MRM_LOCAL_TTL UINT16 0\n", "MRM TTL", [](const MslSettings& s) { return s.mrmLocalTtl; }, 8},
    {"MSL_LOOPBACK INT32 0\n", "loopback", [](const MslSettings& s) { return s.loopback; },
     GLOBAL_MCAST_LOOPBACK_SETTING},
    {"MSL_LOOPBACK INT32 1\n", "loopback", [](const MslSettings& s) { return s.loopback; }, ENABLE_MCAST_LOOPBACK},
    {"MSL_LOOPBACK INT32 5\n", "loopback", [](const MslSettings& s) { return s.loopback; }, DISABLE_MCAST_LOOPBACK},
    {"NUM_MSG_RCV_MAX INT32 0\n", "batch", [](const MslSettings& s) { return s.numMsgRcvMax; }, 50},
    {"MRM_MSG_RCV_MAX INT32 -1\n", "MRM batch", [](const MslSettings& s) { return s.mrmMsgRcvMax; }, 100},
    {"TOPIC_MAX INT32 0\n", "topics", [](const MslSettings& s) { return s.topicMax; }, 100},
    {"SUB_MAX INT32 0\n", "subscriptions", [](const MslSettings& s) { return s.subMax; }, 100},
    {"MCAST_DC_ADDR_RG INT32 0\n", "address range", [](const MslSettings& s) { return s.dataAddrRange; }, 5},
    {"MCAST_DC_PORT_RG INT32 -3\n", "port range", [](const MslSettings& s) { return s.dataPortRange; }, 10},
    {"RQS_TIMEOUT INT32 0\n", "request time-out", [](const MslSettings& s) { return s.rqsTimeoutMs; }, 500},
    {"TOPIC_IDLE_INTV INT32 0\n", "idle interval", [](const MslSettings& s) { return s.topicTimeoutMs; }, 1000},
    {"RESEND_BAT_SIZE INT32 0\n", "resend batch", [](const MslSettings& s) { return s.resendBatchSize; }, 10},
    {"MSG_PER_RESEND INT32 0\n", "resend slice", [](const MslSettings& s) { return s.numMsgPerResend; }, 20000},
    {"MRM_Q_RECO_THOLD INT32 0\n", "quick recovery", [](const MslSettings& s) { return s.mrmQuickRecoveryThold; },
     1000},
    {"RECO_MBUF_REPLAY UINT32 0\n", "replay", [](const MslSettings& s) { return s.bufMsgInRcvyReplayMax; }, 10000},
    {"RECO_MBUF_TMX UINT32 0\n", "replay timer", [](const MslSettings& s) { return s.bufMsgInRcvyTimerMultiplier; },
     1},
    {"MSL_KEEPALIVE_TM UINT32 0\n", "keepalive", [](const MslSettings& s) { return s.keepaliveTmSec; }, 0},
    // Partitions 1 to 8 take partition 0's bitmap unless they have their own.
    {"MRM0_INST_BITMAP UINT64 5\nMRM3_INST_BITMAP UINT64 7\n", "bitmap 8",
     [](const MslSettings& s) { return static_cast<int64>(s.mrmInstBitmap[8]); }, 5},
    {"MRM0_INST_BITMAP UINT64 5\nMRM3_INST_BITMAP UINT64 7\n", "bitmap 3",
     [](const MslSettings& s) { return static_cast<int64>(s.mrmInstBitmap[3]); }, 7},
    {"MSL_TEST_DROP DOUBLE 1.5\n", "drop per mille", [](const MslSettings& s) { return s.testDropFraction * 1000; },
     1000},
    {"MSL_TEST_DROP DOUBLE -0.5\n", "drop per mille", [](const MslSettings& s) { return s.testDropFraction * 1000; },
     0},
};

TEST(MslSettingsTest, CorrectionsOfValuesOutOfRange)
{
    for (const Case& c : CASES)
    {
        TestConfig config(c.config);
        EXPECT_EQ(c.read(MslSettings::read(config.get())), c.expected) << c.field << " from " << c.config;
    }
}

TEST(MslSettingsTest, SubnetsAndGroupTexts)
{
    TestConfig config("MSG_SVR_SUBNET STRING 10.1.2.0\nMCAST_RC_ADDR STRING 239.255.255.2551234\n"
                      "MCAST_RAC_PORT UINT16 9082\n");
    const MslSettings s = MslSettings::read(config.get());
    EXPECT_STREQ(s.svrSubnetTxt, "10.1.2.0");
    EXPECT_STREQ(s.mrmLocalSubnetTxt, "10.1.2.0"); // defaults to the service's
    EXPECT_STREQ(s.requestChn.groupTxt, "239.255.255.255"); // at most 15 characters
    EXPECT_EQ(s.requestChn.port, 8081);
    EXPECT_STREQ(s.requestAckChn.groupTxt, "224.0.0.2");
    EXPECT_EQ(s.requestAckChn.port, 9082);
    EXPECT_STREQ(s.mrmRequestChn.groupTxt, "224.0.11.2");
    EXPECT_EQ(s.mrmRequestAckChn.port, 8017);
}
} // namespace
