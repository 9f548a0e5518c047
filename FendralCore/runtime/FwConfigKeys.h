// The keys of the framework configuration file read by the control thread,
// its states, the thread manager and the process priority, with their
// defaults and the corrections applied after reading. The classes that read
// them name them as their own constants (CtlThdStateMachine::..._LABEL and so
// on) by referring to these; until those classes exist, this is where the
// keys live. Keys of the dispatcher, the logger thread, the receivers and the
// messaging service belong to those classes.
//
// A key missing from the file reads its default. A key of the wrong type is
// logged by the store and also reads its default.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <string>
#include <string_view>

class AppLogger;
class ConfigManager;
class GlobalData;

class FwConfigKeys
{
public:
    // --- read when the control thread is constructed, in this order ---
    static constexpr const char* FW_AGT_OPTION_LABEL = "FW_AGT_OPTION";
    static constexpr int32 DEFAULT_FW_AGT_OPTION = 1;
    static constexpr const char* APP_OPTIMIZATION_MODE_LABEL = "OPTIMIZE_MODE";
    static constexpr int32 DEFAULT_APP_OPTIMIZATION_MODE = 0;
    static constexpr const char* REPLI_UNACK_MSG_LABEL = "REPLI_UNACK_MSG";
    static constexpr uint32 DEFAULT_REPLI_UNACK_MSG = 50;
    static constexpr const char* REPLI_OUTSTANDING_MSG_LABEL = "REPLI_OUTSTD_MSG";
    static constexpr uint32 DEFAULT_REPLI_OUTSTANDING_MSG = 5000;
    // The messaging service's key, read only as the default of the next one.
    static constexpr const char* WAIT_FOR_DR_ACK_LABEL = "WAIT_DR_ACK";
    static constexpr int32 DEFAULT_WAIT_FOR_DR_ACK = 0;
    static constexpr const char* WAIT_DR_SITE_REPLI_ACK_LABEL = "WAIT_DR_REPL_ACK";
    // The messaging service's key, read only as the default of the next one.
    static constexpr const char* WAIT_FOR_MRM_ACK_LABEL = "WAIT_MRM_ACK";
    static constexpr int32 DEFAULT_WAIT_FOR_MRM_ACK = 0;
    static constexpr const char* WAIT_MRM_REPLI_ACK_LABEL = "WAIT_MR_REPL_ACK";
    // The messaging service's key, read only as the default of the next one.
    static constexpr const char* RECO_MBUF_SIZE_LABEL = "RECO_MBUF_SIZE";
    static constexpr uint32 DEFAULT_RECO_MBUF_SIZE = 0;
    static constexpr const char* REPLI_RMBUF_SIZE_LABEL = "REPLI_RMBUF_SIZE";
    static constexpr const char* APP_END_RECOVERY_LABEL = "APP_END_RECOVERY";
    static constexpr int32 DEFAULT_APP_END_RECOVERY = 0;
    static constexpr const char* SIGINT_ACTION_LABEL = "SIGINT_ACTION";
    static constexpr int32 DEFAULT_SIGINT_ACTION = 1;
    static constexpr const char* ALLOW_APP_TRIGGERED_TERM_LABEL = "APP_TRIG_TERM";
    static constexpr int32 DEFAULT_ALLOW_APP_TRIGGERED_TERM = 0;
    static constexpr const char* PELV_SPECIFIC_LABEL = "PELV_SPECIFIC";
    static constexpr int32 DEFAULT_PELV_SPECIFIC = 0;
    static constexpr const char* QUORC_SPECIFIC_LABEL = "QUORC_SPECIFIC";
    static constexpr int32 DEFAULT_QUORC_SPECIFIC = 0;
    static constexpr const char* NET_POLLING_OPTION_LABEL = "NET_POLLING";
    static constexpr int32 DEFAULT_NET_POLLING_OPTION = 0;
    static constexpr const char* LOW_LATENCY_CPU_SAVER_LABEL = "LLAT_CPU_SAVER";
    static constexpr int32 DEFAULT_LOW_LATENCY_CPU_SAVER = 0;
    static constexpr const char* CROSS_ENV_SUPPORT_LABEL = "CROSS_ENV_SUPP";
    static constexpr int32 DEFAULT_CROSS_ENV_SUPPORT = 1;
    static constexpr const char* IDLE_SPIN_CYCLE_THRESHOLD_LABEL = "IDLE_SPIN_CYCLE";
    static constexpr int32 DEFAULT_IDLE_SPIN_CYCLE_THRESHOLD = 50;
    static constexpr const char* MAX_MSG_SIZE_LABEL = "MSG_SIZE_MAX";
    static constexpr int32 DEFAULT_MAX_MSG_SIZE = 32768;
    static constexpr int32 MIN_MSG_SIZE = 2376; // one framework message
    static constexpr const char* EVENT_TIMEOUT_INTERVAL_LABEL = "EVENT_TIMEOUT";
    static constexpr int32 DEFAULT_INIT_EVENT_TIMEOUT_THRESHOLD = 1000000;
    static constexpr const char* LOGGER_THREAD_OPT_LABEL = "LOGGER_THD_OPT";
    static constexpr int32 DEFAULT_LOGGER_THREAD_OPT = 0;
    static constexpr const char* FLUSH_LOG_INTERVAL_LABEL = "LOG_FLUSH_INTVAL";
    static constexpr int32 DEFAULT_FLUSH_LOG_INTERVAL = 5;
    static constexpr const char* ACTIVE_REPLI_SUBSCRIBER_LABEL = "ACTIVE_REPLI_SUB";
    static constexpr int32 DEFAULT_ACTIVE_REPLI_SUBSCRIBER = 1;

    // --- read later by the control thread and its states ---
    static constexpr const char* LOG_LEVEL_LABEL = "FW_LOG_LEVEL";
    static constexpr int32 DEFAULT_LOG_LEVEL = 5;
    static constexpr const char* HEALTH_CHK_TM_INTERVAL_LABEL = "HEALTH_CHK_TM";
    static constexpr int32 DEFAULT_HEALTH_CHK_TM_INTERVAL = 500;
    // The messaging service's key.
    static constexpr const char* NUM_REPLI_BUF_ENTRY_LABEL = "REPLI_BUF_ENTRY";
    static constexpr int32 DEFAULT_NUM_REPLI_BUF_ENTRY = 3000;
    // The process priority's keys.
    static constexpr const char* CPU_AFFINITY_BITMAP_LABEL = "CPU_BITMAP";
    static constexpr uint64 DEFAULT_CPU_AFFINITY_BITMAP = 0;
    static constexpr const char* PROCESS_PRIORITY_LABEL = "PROC_PRI";
    static constexpr int32 DEFAULT_PROCESS_PRIORITY = 0;
    static constexpr const char* AGT_ID_LABEL = "AGT_ID";
    static constexpr const char* DEFAULT_AGT_ID = "AGT";
    // The wait state's key.
    static constexpr const char* FAILOVER_TIMEOUT_THRESHOLD_LABEL = "FAILOVER_TIMEOUT";
    static constexpr int32 DEFAULT_FAILOVER_TIMEOUT_THRESHOLD = 5;
    // The health-check state's key.
    static constexpr const char* AGT_STATUS_CHECK_INTERVAL_LABEL = "AGT_CHK_INTERVAL";
    static constexpr int32 DEFAULT_AGT_STATUS_CHECK_INTERVAL = 10;
    static constexpr const char* NUM_MRM_INST_LABEL = "NUM_MRM_INST";
    static constexpr int32 DEFAULT_NUM_MRM_INST = 1;
    static constexpr const char* NUM_MRM_PARTITION_LABEL = "NUM_MRM_PART";
    static constexpr int32 DEFAULT_NUM_MRM_PARTITION = 1;
    static constexpr const char* MRM_GAP_RECO_LABEL = "MRM_GAP_RECO";
    static constexpr uint64 DEFAULT_MRM_GAP_RECO = 1000;

    // --- framework threads: queue length, priority, CPU mask ---
    static constexpr int32 DEFAULT_FW_THREAD_QUEUE_LEN = 1000;
    static constexpr int32 DEFAULT_FW_THREAD_PRI = 0;
    static constexpr uint64 DEFAULT_FW_THREAD_CPU = 0;
    static constexpr const char* NET_RECV_QUEUE_LEN_LABEL = "NET_RECV_Q_LEN";
    static constexpr int32 DEFAULT_NET_RECV_QUEUE_LEN = DEFAULT_FW_THREAD_QUEUE_LEN;
    static constexpr const char* NET_RECV_PRI_LABEL = "NET_RECV_PRI";
    static constexpr int32 DEFAULT_NET_RECV_PRI = DEFAULT_FW_THREAD_PRI;
    static constexpr const char* NET_RECV_CPU_LABEL = "NET_RECV_CPU";
    static constexpr uint64 DEFAULT_NET_RECV_CPU = DEFAULT_FW_THREAD_CPU;
    static constexpr const char* STREAM_HDR_QUEUE_LEN_LABEL = "STREAM_HDR_Q_LEN";
    static constexpr int32 DEFAULT_STREAM_HDR_QUEUE_LEN = DEFAULT_FW_THREAD_QUEUE_LEN;
    static constexpr const char* STREAM_HDR_PRI_LABEL = "STREAM_HDR_PRI";
    static constexpr int32 DEFAULT_STREAM_HDR_PRI = DEFAULT_FW_THREAD_PRI;
    static constexpr const char* STREAM_HDR_CPU_LABEL = "STREAM_HDR_CPU";
    static constexpr uint64 DEFAULT_STREAM_HDR_CPU = DEFAULT_FW_THREAD_CPU;
    static constexpr const char* MSG_REPLICATOR_QUEUE_LEN_LABEL = "REPLICATOR_Q_LEN";
    static constexpr int32 DEFAULT_MSG_REPLICATOR_QUEUE_LEN = DEFAULT_FW_THREAD_QUEUE_LEN;
    static constexpr const char* MSG_REPLICATOR_PRI_LABEL = "REPLICATOR_PRI";
    static constexpr int32 DEFAULT_MSG_REPLICATOR_PRI = DEFAULT_FW_THREAD_PRI;
    static constexpr const char* MSG_REPLICATOR_CPU_LABEL = "REPLICATOR_CPU";
    static constexpr uint64 DEFAULT_MSG_REPLICATOR_CPU = DEFAULT_FW_THREAD_CPU;
    static constexpr const char* MSG_SVR_QUEUE_LEN_LABEL = "MSG_SVR_Q_LEN";
    static constexpr int32 DEFAULT_MSG_SVR_QUEUE_LEN = DEFAULT_FW_THREAD_QUEUE_LEN;
    static constexpr const char* MSG_SVR_PRI_LABEL = "MSG_SVR_PRI";
    static constexpr int32 DEFAULT_MSG_SVR_PRI = DEFAULT_FW_THREAD_PRI;
    static constexpr const char* MSG_SVR_CPU_LABEL = "MSG_SVR_CPU";
    static constexpr uint64 DEFAULT_MSG_SVR_CPU = DEFAULT_FW_THREAD_CPU;
    static constexpr const char* LOGGER_QUEUE_LEN_LABEL = "LOGGER_Q_LEN";
    static constexpr int32 DEFAULT_LOGGER_QUEUE_LEN = DEFAULT_FW_THREAD_QUEUE_LEN;
    static constexpr const char* LOGGER_PRI_LABEL = "LOGGER_PRI";
    static constexpr int32 DEFAULT_LOGGER_PRI = DEFAULT_FW_THREAD_PRI;
    static constexpr const char* LOGGER_CPU_LABEL = "LOGGER_CPU";
    static constexpr uint64 DEFAULT_LOGGER_CPU = DEFAULT_FW_THREAD_CPU;
    static constexpr const char* IPC_RCVR_QUEUE_LEN_LABEL = "IPC_RCVR_Q_LEN";
    static constexpr int32 DEFAULT_IPC_RCVR_QUEUE_LEN = DEFAULT_FW_THREAD_QUEUE_LEN;
    static constexpr const char* IPC_RCVR_PRI_LABEL = "IPC_RCVR_PRI";
    static constexpr int32 DEFAULT_IPC_RCVR_PRI = DEFAULT_FW_THREAD_PRI;
    static constexpr const char* IPC_RCVR_CPU_LABEL = "IPC_RCVR_CPU";
    static constexpr uint64 DEFAULT_IPC_RCVR_CPU = DEFAULT_FW_THREAD_CPU;

    // --- the middleware dispatcher thread "MIDDLEWARE_MD" ---
    static constexpr const char* MW_MD_QUEUE_LEN_LABEL = "MW_MD_Q_LEN";
    static constexpr int32 DEFAULT_MW_MD_QUEUE_LEN = 1000;
    static constexpr const char* MW_MD_PRI_LABEL = "MW_MD_PRI";
    static constexpr int32 DEFAULT_MW_MD_PRI = 0;
    static constexpr const char* MW_MD_CPU_LABEL = "MW_MD_CPU";
    static constexpr uint64 DEFAULT_MW_MD_CPU = 0;
    static constexpr const char* MW_MD_THD_OPT_LABEL = "MW_MD_THD_OPT";
    static constexpr int32 DEFAULT_MW_MD_THD_OPT = 0;

    // --- the thread manager ---
    static constexpr const char* WAIT_THREAD_TIMEOUT_LABEL = "THD_TERM_TIMEOUT";
    static constexpr int32 DEFAULT_WAIT_THREAD_TIMEOUT = 10;
    static constexpr const char* PRI_MSG_Q_BATCH_READ_SIZE_LABEL = "PRI_Q_READ_SIZE";
    static constexpr int32 DEFAULT_PRI_MSG_Q_BATCH_READ_SIZE = 100;
    static constexpr const char* NORM_MSG_Q_BATCH_READ_SIZE_LABEL = "NORM_Q_READ_SIZE";
    static constexpr int32 DEFAULT_NORM_MSG_Q_BATCH_READ_SIZE = 100;

    // What the control thread's constructor keeps for itself; the other keys
    // of that group go to GlobalData.
    struct CtlThdSettings
    {
        bool useFwAgent;
        uint32 repliUnackThreshold;
        uint32 repliOutstdgMsgThreshold;
        bool waitForDrSiteAck;
        bool waitForMrmAck;
        uint32 repliRcvyMsgBufSize;
        bool terminateOnSigInt;
        int32 evtTmoutInterval; // milliseconds
        int32 flushLogInterval; // seconds
        bool activeRepliSubscriber;
    };

    // Queue length, priority and CPU mask of one framework thread.
    struct FwThreadSettings
    {
        int32 queueLen;
        int32 priority;
        uint64 cpuMask;
    };

    struct ThreadMgrSettings
    {
        int32 threadTermTimeout; // seconds
        int32 priMsgQBatchReadSize;
        int32 normMsgQBatchReadSize;
    };

    // The control thread constructor's keys, in their order, corrected, into
    // settings and GlobalData. 0, or -1 with INVALID_PARAMETER_TYPE when a key
    // had the wrong type (that key then reads its default).
    static int32 readCtlThdKeys(const ConfigManager& config, GlobalData& gblData, CtlThdSettings& settings);

    // "FW_LOG_LEVEL": given to the logger when 0..6 and not 5.
    static int32 applyLogLevel(const ConfigManager& config, AppLogger& logger);

    // An int32 key whose values below 1 give its default ("HEALTH_CHK_TM",
    // "REPLI_BUF_ENTRY", "FAILOVER_TIMEOUT", "AGT_CHK_INTERVAL").
    static int32 readPositiveInt32(const ConfigManager& config, std::string_view label, int32 defaultValue);
    // The same without a configuration store (null): the default.
    static int32 readPositiveInt32(const ConfigManager* config, std::string_view label, int32 defaultValue)
    {
        return config == nullptr ? defaultValue : readPositiveInt32(*config, label, defaultValue);
    }

    // "NUM_MRM_INST" and "NUM_MRM_PART" into GlobalData, "MRM_GAP_RECO" into
    // gapReco. Their limits are checked where the topics are registered.
    static int32 readMrmKeys(const ConfigManager& config, GlobalData& gblData, uint64& gapReco);

    // The three keys of the framework thread named threadName ("NET_RECEIVER",
    // "DATA_STREAM_HDR", "MSG_REPLICATOR", "MSG_SERVICE", "LOGGER",
    // "IPC_RECEIVER"); -1 with INVALID_FUNC_ARG for another name.
    static int32 readFwThreadKeys(const ConfigManager& config, std::string_view threadName,
                                  FwThreadSettings& settings);

    static int32 readThreadMgrKeys(const ConfigManager& config, ThreadMgrSettings& settings);
};
