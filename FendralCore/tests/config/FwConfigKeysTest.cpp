#include "ConfigFile.h"
#include "FendralCore/tests/support/TestLog.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwConfigKeys.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace
{

using Keys = FwConfigKeys;

// GlobalData fields these keys write, saved and put back around each test.
struct GlobalFields
{
    OptimizationMode optMode;
    bool appEndRecovery, allowAppTriggeredTerm, pelvSpecific, quorcSpecific, netPolling, lowLatencyCpuSaver,
        crossEnvSupport, enableLoggerThread;
    int32 idleSpinCycle, numMrmInst, numMrmPartition;
    uint32 maxMsgSize;

    static GlobalFields save(const GlobalData& g)
    {
        return {g.m_optMode.load(),     g.m_appEndRecovery, g.m_allowAppTriggeredTerm, g.m_pelvSpecific,
                g.m_quorcSpecific,      g.m_netPolling,     g.m_lowLatencyCpuSaver,    g.m_crossEnvSupport,
                g.m_enableLoggerThread, g.m_idleSpinCycle,  g.m_numMrmInst,            g.m_numMrmPartition,
                g.m_maxMsgSize};
    }

    void restore(GlobalData& g) const
    {
        g.m_optMode = optMode;
        g.m_appEndRecovery = appEndRecovery;
        g.m_allowAppTriggeredTerm = allowAppTriggeredTerm;
        g.m_pelvSpecific = pelvSpecific;
        g.m_quorcSpecific = quorcSpecific;
        g.m_netPolling = netPolling;
        g.m_lowLatencyCpuSaver = lowLatencyCpuSaver;
        g.m_crossEnvSupport = crossEnvSupport;
        g.m_enableLoggerThread = enableLoggerThread;
        g.m_idleSpinCycle = idleSpinCycle;
        g.m_numMrmInst = numMrmInst;
        g.m_numMrmPartition = numMrmPartition;
        g.m_maxMsgSize = maxMsgSize;
    }
};

class FwConfigKeysTest : public ::testing::Test
{
protected:
    void TearDown() override { m_saved.restore(m_gbl); }

    const ConfigManager& load(const std::string& text)
    {
        m_file.write(text);
        m_config = std::make_unique<ConfigManager>(m_file.path());
        EXPECT_EQ(m_config->loadConfigFile(), 0);
        return *m_config;
    }

    Keys::CtlThdSettings readCtl(const std::string& text)
    {
        Keys::CtlThdSettings settings{};
        EXPECT_EQ(Keys::readCtlThdKeys(load(text), m_gbl, settings), 0);
        return settings;
    }

    GlobalData& m_gbl = GlobalData::getInst();
    GlobalFields m_saved = GlobalFields::save(GlobalData::getInst());
    ConfigFile m_file;
    std::unique_ptr<ConfigManager> m_config;
};

TEST_F(FwConfigKeysTest, MissingControlThreadKeysReadTheirDefaults)
{
    m_gbl.m_crossEnvSupport = false;
    m_gbl.m_idleSpinCycle = 7;
    m_gbl.m_maxMsgSize = 5000;
    const Keys::CtlThdSettings s = readCtl("");
    EXPECT_TRUE(s.useFwAgent);
    EXPECT_EQ(m_gbl.m_optMode.load(), CPU_UTILIZATION);
    EXPECT_EQ(s.repliUnackThreshold, 50u);
    EXPECT_EQ(s.repliOutstdgMsgThreshold, 5000u);
    EXPECT_FALSE(s.waitForDrSiteAck);
    EXPECT_FALSE(s.waitForMrmAck);
    EXPECT_EQ(s.repliRcvyMsgBufSize, 0u);
    EXPECT_FALSE(m_gbl.m_appEndRecovery);
    EXPECT_TRUE(s.terminateOnSigInt);
    EXPECT_FALSE(m_gbl.m_allowAppTriggeredTerm);
    EXPECT_FALSE(m_gbl.m_pelvSpecific);
    EXPECT_FALSE(m_gbl.m_quorcSpecific);
    EXPECT_FALSE(m_gbl.m_netPolling);
    EXPECT_FALSE(m_gbl.m_lowLatencyCpuSaver);
    EXPECT_TRUE(m_gbl.m_crossEnvSupport);
    EXPECT_EQ(m_gbl.m_idleSpinCycle, 50);
    EXPECT_EQ(m_gbl.m_maxMsgSize, 32768u);
    EXPECT_EQ(s.evtTmoutInterval, 1000000);
    EXPECT_FALSE(m_gbl.m_enableLoggerThread);
    EXPECT_EQ(s.flushLogInterval, 5);
    EXPECT_TRUE(s.activeRepliSubscriber);
}

struct CorrectionCase
{
    std::string lines;
    std::function<bool(const Keys::CtlThdSettings&, const GlobalData&)> holds;
};

TEST_F(FwConfigKeysTest, ControlThreadKeysAreCorrectedAfterReading)
{
    using S = const Keys::CtlThdSettings&;
    using G = const GlobalData&;
    const std::vector<CorrectionCase> cases = {
        {"MSG_SIZE_MAX INT32 100", [](S, G g) { return g.m_maxMsgSize == 2376; }},
        {"MSG_SIZE_MAX INT32 65536", [](S, G g) { return g.m_maxMsgSize == 32768; }},
        {"MSG_SIZE_MAX INT32 4000", [](S, G g) { return g.m_maxMsgSize == 4000; }},
        {"OPTIMIZE_MODE INT32 1", [](S, G g) { return g.m_optMode == LOW_LATENCY; }},
        {"OPTIMIZE_MODE INT32 5", [](S, G g) { return g.m_optMode == CPU_UTILIZATION; }},
        {"OPTIMIZE_MODE INT32 -1", [](S, G g) { return g.m_optMode == CPU_UTILIZATION; }},
        {"REPLI_UNACK_MSG UINT32 0", [](S s, G) { return s.repliUnackThreshold == 50; }},
        {"REPLI_UNACK_MSG UINT32 1", [](S s, G) { return s.repliUnackThreshold == 1; }},
        {"REPLI_OUTSTD_MSG UINT32 0", [](S s, G) { return s.repliOutstdgMsgThreshold == 5000; }},
        {"LOGGER_THD_OPT INT32 2", [](S, G g) { return !g.m_enableLoggerThread; }},
        {"LOGGER_THD_OPT INT32 1", [](S, G g) { return g.m_enableLoggerThread; }},
        {"SIGINT_ACTION INT32 2", [](S s, G) { return s.terminateOnSigInt; }},
        {"SIGINT_ACTION INT32 0", [](S s, G) { return !s.terminateOnSigInt; }},
        {"FW_AGT_OPTION INT32 2", [](S s, G) { return !s.useFwAgent; }},
        {"WAIT_DR_ACK INT32 1", [](S s, G) { return s.waitForDrSiteAck; }},
        {"WAIT_DR_ACK INT32 1\nWAIT_DR_REPL_ACK INT32 0", [](S s, G) { return !s.waitForDrSiteAck; }},
        {"WAIT_MRM_ACK INT32 1", [](S s, G) { return s.waitForMrmAck; }},
        {"WAIT_MR_REPL_ACK INT32 2", [](S s, G) { return !s.waitForMrmAck; }},
        {"RECO_MBUF_SIZE UINT32 4096", [](S s, G) { return s.repliRcvyMsgBufSize == 4096; }},
        {"RECO_MBUF_SIZE UINT32 4096\nREPLI_RMBUF_SIZE UINT32 8", [](S s, G) { return s.repliRcvyMsgBufSize == 8; }},
        {"IDLE_SPIN_CYCLE INT32 0", [](S, G g) { return g.m_idleSpinCycle == 50; }},
        {"IDLE_SPIN_CYCLE INT32 3", [](S, G g) { return g.m_idleSpinCycle == 3; }},
        {"EVENT_TIMEOUT INT32 -5", [](S s, G) { return s.evtTmoutInterval == 1000000; }},
        {"EVENT_TIMEOUT INT32 250", [](S s, G) { return s.evtTmoutInterval == 250; }},
        {"LOG_FLUSH_INTVAL INT32 0", [](S s, G) { return s.flushLogInterval == 5; }},
        {"CROSS_ENV_SUPP INT32 0", [](S, G g) { return !g.m_crossEnvSupport; }},
        {"APP_END_RECOVERY INT32 3\nAPP_TRIG_TERM INT32 1\nPELV_SPECIFIC INT32 1\nQUORC_SPECIFIC INT32 1\n"
         "NET_POLLING INT32 1\nLLAT_CPU_SAVER INT32 -1",
         [](S, G g) {
             return g.m_appEndRecovery && g.m_allowAppTriggeredTerm && g.m_pelvSpecific && g.m_quorcSpecific &&
                    g.m_netPolling && g.m_lowLatencyCpuSaver;
         }},
        {"ACTIVE_REPLI_SUB INT32 0", [](S s, G) { return !s.activeRepliSubscriber; }},
    };
    for (const CorrectionCase& c : cases)
    {
        SCOPED_TRACE(c.lines);
        m_saved.restore(m_gbl);
        const Keys::CtlThdSettings s = readCtl(c.lines + "\n");
        EXPECT_TRUE(c.holds(s, m_gbl));
    }
}

TEST_F(FwConfigKeysTest, KeyOfTheWrongTypeReadsItsDefaultAndFailsTheRead)
{
    Keys::CtlThdSettings s{};
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(Keys::readCtlThdKeys(load("MSG_SIZE_MAX STRING big\nSIGINT_ACTION INT32 0\n"), m_gbl, s), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_PARAMETER_TYPE);
    EXPECT_EQ(m_gbl.m_maxMsgSize, 32768u);
    EXPECT_FALSE(s.terminateOnSigInt); // the other keys are still read
}

TEST_F(FwConfigKeysTest, LogLevelIsAppliedOnlyWhenInRangeAndNotTheDefault)
{
    struct Case
    {
        const char* line;
        int32 level;
    };
    for (const Case& c : {Case{"", 3}, Case{"FW_LOG_LEVEL INT32 6", 6}, Case{"FW_LOG_LEVEL INT32 0", 0},
                          Case{"FW_LOG_LEVEL INT32 5", 3}, Case{"FW_LOG_LEVEL INT32 7", 3},
                          Case{"FW_LOG_LEVEL INT32 -1", 3}})
    {
        SCOPED_TRACE(c.line);
        AppLogger logger("", "keys", LOG_LEVEL_WARNING);
        EXPECT_EQ(Keys::applyLogLevel(load(std::string(c.line) + "\n"), logger), 0);
        EXPECT_EQ(logger.getLogLevel(), c.level);
    }
}

TEST_F(FwConfigKeysTest, PositiveKeysFallBackToTheirDefaultBelowOne)
{
    const ConfigManager& config = load("HEALTH_CHK_TM INT32 0\nFAILOVER_TIMEOUT INT32 -3\nAGT_CHK_INTERVAL INT32 2\n");
    EXPECT_EQ(Keys::readPositiveInt32(config, Keys::HEALTH_CHK_TM_INTERVAL_LABEL, Keys::DEFAULT_HEALTH_CHK_TM_INTERVAL),
              500);
    EXPECT_EQ(Keys::readPositiveInt32(config, Keys::FAILOVER_TIMEOUT_THRESHOLD_LABEL,
                                      Keys::DEFAULT_FAILOVER_TIMEOUT_THRESHOLD),
              5);
    EXPECT_EQ(Keys::readPositiveInt32(config, Keys::AGT_STATUS_CHECK_INTERVAL_LABEL,
                                      Keys::DEFAULT_AGT_STATUS_CHECK_INTERVAL),
              2);
    EXPECT_EQ(Keys::readPositiveInt32(config, Keys::NUM_REPLI_BUF_ENTRY_LABEL, Keys::DEFAULT_NUM_REPLI_BUF_ENTRY),
              3000);
}

TEST_F(FwConfigKeysTest, FrameworkThreadKeysArePerThread)
{
    const ConfigManager& config =
        load("NET_RECV_Q_LEN INT32 4000\nNET_RECV_PRI INT32 20\nNET_RECV_CPU UINT64 0x6\nLOGGER_PRI INT32 -3\n");
    Keys::FwThreadSettings s{};
    ASSERT_EQ(Keys::readFwThreadKeys(config, "NET_RECEIVER", s), 0);
    EXPECT_EQ(s.queueLen, 4000);
    EXPECT_EQ(s.priority, 20);
    EXPECT_EQ(s.cpuMask, 6u);
    for (const char* name : {"DATA_STREAM_HDR", "MSG_REPLICATOR", "MSG_SERVICE", "IPC_RECEIVER"})
    {
        SCOPED_TRACE(name);
        ASSERT_EQ(Keys::readFwThreadKeys(config, name, s), 0);
        EXPECT_EQ(s.queueLen, 1000);
        EXPECT_EQ(s.priority, 0);
        EXPECT_EQ(s.cpuMask, 0u);
    }
    ASSERT_EQ(Keys::readFwThreadKeys(config, "LOGGER", s), 0);
    EXPECT_EQ(s.priority, -3); // no correction: the registry validates it
    EXPECT_EQ(Keys::readFwThreadKeys(config, "CTL_THREAD", s), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_FUNC_ARG);
}

TEST_F(FwConfigKeysTest, ThreadManagerAndMrmKeys)
{
    const ConfigManager& config = load("THD_TERM_TIMEOUT INT32 0\nNORM_Q_READ_SIZE INT32 7\nNUM_MRM_PART INT32 4\n");
    Keys::ThreadMgrSettings t{};
    ASSERT_EQ(Keys::readThreadMgrKeys(config, t), 0);
    EXPECT_EQ(t.threadTermTimeout, 0); // read as given
    EXPECT_EQ(t.priMsgQBatchReadSize, 100);
    EXPECT_EQ(t.normMsgQBatchReadSize, 7);

    uint64 gap = 0;
    ASSERT_EQ(Keys::readMrmKeys(config, m_gbl, gap), 0);
    EXPECT_EQ(m_gbl.m_numMrmInst, 1);
    EXPECT_EQ(m_gbl.m_numMrmPartition, 4);
    EXPECT_EQ(gap, 1000u);
}

} // namespace
