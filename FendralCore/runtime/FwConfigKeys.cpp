#include "FendralCore/runtime/FwConfigKeys.h"

#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogger.h"

namespace
{

// Reads one key; a key of the wrong type keeps the default (the store logged
// it) and marks the whole read as failed.
class KeyReader
{
public:
    explicit KeyReader(const ConfigManager& config) : m_config(config) {}

    int32 int32Key(std::string_view label, int32 defaultValue)
    {
        int32 value = defaultValue;
        note(m_config.getInt32ConfigPara(label, value, defaultValue));
        return value;
    }

    uint32 uint32Key(std::string_view label, uint32 defaultValue)
    {
        uint32 value = defaultValue;
        note(m_config.getUint32ConfigPara(label, value, defaultValue));
        return value;
    }

    uint64 uint64Key(std::string_view label, uint64 defaultValue)
    {
        uint64 value = defaultValue;
        note(m_config.getUint64ConfigPara(label, value, defaultValue));
        return value;
    }

    int32 result() const { return m_failed ? fwFail(INVALID_PARAMETER_TYPE, -1) : 0; }

private:
    const ConfigManager& m_config;
    bool m_failed = false;

    void note(int32 rc) { m_failed = m_failed || rc != 0; }
};

struct FwThreadKeys
{
    const char* threadName;
    const char* queueLenLabel;
    const char* priLabel;
    const char* cpuLabel;
};

constexpr FwThreadKeys FW_THREAD_KEYS[] = {
    {"NET_RECEIVER", FwConfigKeys::NET_RECV_QUEUE_LEN_LABEL, FwConfigKeys::NET_RECV_PRI_LABEL,
     FwConfigKeys::NET_RECV_CPU_LABEL},
    {"DATA_STREAM_HDR", FwConfigKeys::STREAM_HDR_QUEUE_LEN_LABEL, FwConfigKeys::STREAM_HDR_PRI_LABEL,
     FwConfigKeys::STREAM_HDR_CPU_LABEL},
    {"MSG_REPLICATOR", FwConfigKeys::MSG_REPLICATOR_QUEUE_LEN_LABEL, FwConfigKeys::MSG_REPLICATOR_PRI_LABEL,
     FwConfigKeys::MSG_REPLICATOR_CPU_LABEL},
    {"MSG_SERVICE", FwConfigKeys::MSG_SVR_QUEUE_LEN_LABEL, FwConfigKeys::MSG_SVR_PRI_LABEL,
     FwConfigKeys::MSG_SVR_CPU_LABEL},
    {"LOGGER", FwConfigKeys::LOGGER_QUEUE_LEN_LABEL, FwConfigKeys::LOGGER_PRI_LABEL,
     FwConfigKeys::LOGGER_CPU_LABEL},
    {"IPC_RECEIVER", FwConfigKeys::IPC_RCVR_QUEUE_LEN_LABEL, FwConfigKeys::IPC_RCVR_PRI_LABEL,
     FwConfigKeys::IPC_RCVR_CPU_LABEL},
};

} // namespace

int32 FwConfigKeys::readCtlThdKeys(const ConfigManager& config, GlobalData& gblData, CtlThdSettings& settings)
{
    KeyReader keys(config);
    settings.useFwAgent = keys.int32Key(FW_AGT_OPTION_LABEL, DEFAULT_FW_AGT_OPTION) == 1;

    // Only a known mode is taken; anything else keeps the mode as it was.
    const int32 mode = keys.int32Key(APP_OPTIMIZATION_MODE_LABEL, DEFAULT_APP_OPTIMIZATION_MODE);
    if (mode == CPU_UTILIZATION || mode == LOW_LATENCY)
        gblData.m_optMode.store(static_cast<OptimizationMode>(mode));

    settings.repliUnackThreshold = keys.uint32Key(REPLI_UNACK_MSG_LABEL, DEFAULT_REPLI_UNACK_MSG);
    if (settings.repliUnackThreshold == 0)
        settings.repliUnackThreshold = DEFAULT_REPLI_UNACK_MSG;
    settings.repliOutstdgMsgThreshold = keys.uint32Key(REPLI_OUTSTANDING_MSG_LABEL, DEFAULT_REPLI_OUTSTANDING_MSG);
    if (settings.repliOutstdgMsgThreshold == 0)
        settings.repliOutstdgMsgThreshold = DEFAULT_REPLI_OUTSTANDING_MSG;

    const int32 waitDrAck = keys.int32Key(WAIT_FOR_DR_ACK_LABEL, DEFAULT_WAIT_FOR_DR_ACK);
    settings.waitForDrSiteAck = keys.int32Key(WAIT_DR_SITE_REPLI_ACK_LABEL, waitDrAck) == 1;
    const int32 waitMrmAck = keys.int32Key(WAIT_FOR_MRM_ACK_LABEL, DEFAULT_WAIT_FOR_MRM_ACK);
    settings.waitForMrmAck = keys.int32Key(WAIT_MRM_REPLI_ACK_LABEL, waitMrmAck) == 1;
    const uint32 recoBufSize = keys.uint32Key(RECO_MBUF_SIZE_LABEL, DEFAULT_RECO_MBUF_SIZE);
    settings.repliRcvyMsgBufSize = keys.uint32Key(REPLI_RMBUF_SIZE_LABEL, recoBufSize);

    gblData.m_appEndRecovery = keys.int32Key(APP_END_RECOVERY_LABEL, DEFAULT_APP_END_RECOVERY) != 0;
    settings.terminateOnSigInt = keys.int32Key(SIGINT_ACTION_LABEL, DEFAULT_SIGINT_ACTION) != 0;
    gblData.m_allowAppTriggeredTerm =
        keys.int32Key(ALLOW_APP_TRIGGERED_TERM_LABEL, DEFAULT_ALLOW_APP_TRIGGERED_TERM) != 0;
    gblData.m_pelvSpecific = keys.int32Key(PELV_SPECIFIC_LABEL, DEFAULT_PELV_SPECIFIC) != 0;
    gblData.m_quorcSpecific = keys.int32Key(QUORC_SPECIFIC_LABEL, DEFAULT_QUORC_SPECIFIC) != 0;
    gblData.m_netPolling = keys.int32Key(NET_POLLING_OPTION_LABEL, DEFAULT_NET_POLLING_OPTION) != 0;
    gblData.m_lowLatencyCpuSaver = keys.int32Key(LOW_LATENCY_CPU_SAVER_LABEL, DEFAULT_LOW_LATENCY_CPU_SAVER) != 0;
    gblData.m_crossEnvSupport = keys.int32Key(CROSS_ENV_SUPPORT_LABEL, DEFAULT_CROSS_ENV_SUPPORT) != 0;

    const int32 spin = keys.int32Key(IDLE_SPIN_CYCLE_THRESHOLD_LABEL, DEFAULT_IDLE_SPIN_CYCLE_THRESHOLD);
    gblData.m_idleSpinCycle = spin < 1 ? DEFAULT_IDLE_SPIN_CYCLE_THRESHOLD : spin;

    int32 msgSize = keys.int32Key(MAX_MSG_SIZE_LABEL, DEFAULT_MAX_MSG_SIZE);
    if (msgSize < MIN_MSG_SIZE)
        msgSize = MIN_MSG_SIZE;
    else if (msgSize > DEFAULT_MAX_MSG_SIZE)
        msgSize = DEFAULT_MAX_MSG_SIZE;
    gblData.m_maxMsgSize = static_cast<uint32>(msgSize);

    const int32 eventTimeout = keys.int32Key(EVENT_TIMEOUT_INTERVAL_LABEL, DEFAULT_INIT_EVENT_TIMEOUT_THRESHOLD);
    settings.evtTmoutInterval = eventTimeout < 1 ? DEFAULT_INIT_EVENT_TIMEOUT_THRESHOLD : eventTimeout;
    gblData.m_enableLoggerThread = keys.int32Key(LOGGER_THREAD_OPT_LABEL, DEFAULT_LOGGER_THREAD_OPT) == 1;
    const int32 flush = keys.int32Key(FLUSH_LOG_INTERVAL_LABEL, DEFAULT_FLUSH_LOG_INTERVAL);
    settings.flushLogInterval = flush < 1 ? DEFAULT_FLUSH_LOG_INTERVAL : flush;
    settings.activeRepliSubscriber =
        keys.int32Key(ACTIVE_REPLI_SUBSCRIBER_LABEL, DEFAULT_ACTIVE_REPLI_SUBSCRIBER) != 0;
    return keys.result();
}

int32 FwConfigKeys::applyLogLevel(const ConfigManager& config, AppLogger& logger)
{
    KeyReader keys(config);
    const int32 level = keys.int32Key(LOG_LEVEL_LABEL, DEFAULT_LOG_LEVEL);
    if (level >= LOG_LEVEL_ALERT && level <= LOG_LEVEL_DEBUG && level != DEFAULT_LOG_LEVEL)
        logger.setLogLevel(level);
    return keys.result();
}

int32 FwConfigKeys::readPositiveInt32(const ConfigManager& config, std::string_view label, int32 defaultValue)
{
    KeyReader keys(config);
    const int32 value = keys.int32Key(label, defaultValue);
    return value < 1 ? defaultValue : value;
}

int32 FwConfigKeys::readMrmKeys(const ConfigManager& config, GlobalData& gblData, uint64& gapReco)
{
    KeyReader keys(config);
    gblData.m_numMrmInst = keys.int32Key(NUM_MRM_INST_LABEL, DEFAULT_NUM_MRM_INST);
    gblData.m_numMrmPartition = keys.int32Key(NUM_MRM_PARTITION_LABEL, DEFAULT_NUM_MRM_PARTITION);
    gapReco = keys.uint64Key(MRM_GAP_RECO_LABEL, DEFAULT_MRM_GAP_RECO);
    return keys.result();
}

int32 FwConfigKeys::readFwThreadKeys(const ConfigManager& config, std::string_view threadName,
                                     FwThreadSettings& settings)
{
    for (const FwThreadKeys& thread : FW_THREAD_KEYS)
    {
        if (threadName != thread.threadName)
            continue;
        KeyReader keys(config);
        settings.queueLen = keys.int32Key(thread.queueLenLabel, DEFAULT_FW_THREAD_QUEUE_LEN);
        settings.priority = keys.int32Key(thread.priLabel, DEFAULT_FW_THREAD_PRI);
        settings.cpuMask = keys.uint64Key(thread.cpuLabel, DEFAULT_FW_THREAD_CPU);
        return keys.result();
    }
    return fwFail(INVALID_FUNC_ARG, -1);
}

int32 FwConfigKeys::readThreadMgrKeys(const ConfigManager& config, ThreadMgrSettings& settings)
{
    KeyReader keys(config);
    settings.threadTermTimeout = keys.int32Key(WAIT_THREAD_TIMEOUT_LABEL, DEFAULT_WAIT_THREAD_TIMEOUT);
    settings.priMsgQBatchReadSize =
        keys.int32Key(PRI_MSG_Q_BATCH_READ_SIZE_LABEL, DEFAULT_PRI_MSG_Q_BATCH_READ_SIZE);
    settings.normMsgQBatchReadSize =
        keys.int32Key(NORM_MSG_Q_BATCH_READ_SIZE_LABEL, DEFAULT_NORM_MSG_Q_BATCH_READ_SIZE);
    return keys.result();
}
