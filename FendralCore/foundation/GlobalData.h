// The one process-wide record of the framework: identity and modes, limits and
// options read from the framework configuration, syslog settings, the loggers
// and configuration stores, the messaging topic names, the framework status and
// the message-store repositories prepared before the threads start.
//
// Fields are written during start-up and read by every thread afterwards.
// The few that change while threads run (the modes and the status) are atomic.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/foundation/UnsortedMap.h"

#include <atomic>
#include <sys/types.h>

class AppLogger;
class ConfigManager;
template <typename T>
class RingBuffer;
template <typename T>
class SingleRwRingBuffer2;
struct StatisticCounter;
struct StreamEventRecord;

enum AppMode : int32
{
    DEFAULT_MODE = -1,
    ACTIVE_MODE = 0,
    STANDBY_MODE = 1,
    RECOVERY_MODE = 2,
    APP_MODE_MAX = 3,
};

enum OptimizationMode : int32
{
    CPU_UTILIZATION = 0,
    LOW_LATENCY = 1,
    OPTIMIZ_MODE_MAX = 2,
};

enum ApplicationSite : int32
{
    PRIMARY_SITE = 0,
    DR_SITE = 1,
};

enum FwThreadStatus : int32
{
    FW_WAIT_START = 0,
    FW_RUNNING = 1,
    FW_TERMINATED = 2,
};

enum MetaCmdCode : int32
{
    NO_META_CMD = 0,
    NUMA_CMD = 1,
    ONLOAD_CMD = 2,
};

struct FwStatusInfo
{
    std::atomic<int32> errorCode{0};
    std::atomic<int32> exitCode{0};
    std::atomic<pid_t> tid{0};
    std::atomic<FwThreadStatus> status{FW_WAIT_START};
    // Set (to its code) by the starting thread when it gave up waiting for
    // the start: the control thread then stops every thread it started and
    // fails the start with that code.
    std::atomic<int32> stopRequest{0};
};

class GlobalData
{
public:
    static constexpr int32 MRM_MAX_PARTITION = 9;
    static constexpr int32 MRM_MAX_INSTANCE = 10;
    static constexpr int32 DEFAULT_SYSLOG_LEVEL = 1;
    static constexpr uint32 MSG_SIZE_MIN = 2376;
    static constexpr uint32 MSG_SIZE_MAX = 32768;

    std::atomic<AppMode> m_appMode{ACTIVE_MODE};
    std::atomic<OptimizationMode> m_optMode{CPU_UTILIZATION};
    ApplicationID m_appIdTxt{};
    uint64 m_appId = 0;
    int32 m_appInstId = 0;
    ApplicationSite m_siteId = PRIMARY_SITE;
    bool m_repliServiceEnabled = false;
    bool m_enableTcpInStandbyMode = false;
    bool m_enableUdpInStandbyMode = false;
    bool m_enableTopicInStandbyMode = false;
    bool m_enableIpcInStandbyMode = false;
    bool m_appEndRecovery = false;
    bool m_enableLoggerThread = false;
    bool m_msgJournalEnabled = false;
    bool m_msgJournalExtraFieldEnabled = false;
    bool m_mrmApplication = false;
    ResourceName m_thisMrmLocalTopicName{};
    ResourceName m_thisMrmCrossSiteTopicName{};
    uint32 m_maxMsgSize = MSG_SIZE_MAX;
    ApplicationID m_mrmBaseName{};
    int32 m_mrmBaseNameLen = 0;
    int32 m_numMrmPartition = 0;
    int32 m_numMrmInst = 0;
    ResourceName m_mrmLocalTopicNameList[MRM_MAX_PARTITION][MRM_MAX_INSTANCE]{};
    ResourceName m_mrmCrossSiteTopicNameList[MRM_MAX_PARTITION][MRM_MAX_INSTANCE]{};
    UnsortedMap<UInt128> m_tmpMsgRepository{100};   // thread name -> MessageStore*
    UnsortedMap<UInt128> m_tmpPlMsgRepository{100}; // pipeline name -> MessageStore*
    int32 m_syslogLevel = DEFAULT_SYSLOG_LEVEL;
    int32 m_syslogOption = 3;   // LOG_PID | LOG_CONS
    int32 m_syslogFacility = 8; // LOG_USER
    FilePathName m_fwSyslogIdentTxt{};
    bool m_runAsFwMiddleware = false;
    FwStatusInfo m_fwStatusInfo;
    IpAddress m_defaultPriAddr{};
    IpAddress m_defaultAltAddr{};
    IpAddress m_repliTopicMcast{};
    uint16 m_repliTopicPort = 0;
    IpAddress m_repliAckMcast{};
    uint16 m_repliAckPort = 0;
    bool m_allowAppTriggeredTerm = false;
    bool m_pelvSpecific = false;
    bool m_quorcSpecific = false;
    bool m_netPolling = false;
    bool m_lowLatencyCpuSaver = false;
    bool m_crossEnvSupport = false;
    int32 m_idleSpinCycle = 50;
    std::atomic<MetaCmdCode> m_metaCmdCode{NO_META_CMD};
    int32 m_stsRptInterval = 0;
    SingleRwRingBuffer2<StreamEventRecord>* m_streamEvtBufPtr = nullptr;
    RingBuffer<StatisticCounter>* m_statBufPtr = nullptr;

    // Created on first use and never destroyed: threads that outlive main's
    // return (cancelled or detached) may still read it.
    static GlobalData& getInst();

    // A record of its own, for a test that holds two framework identities in
    // one process (two messaging services); the framework uses getInst.
    GlobalData() = default;

    GlobalData(const GlobalData&) = delete;
    GlobalData& operator=(const GlobalData&) = delete;

    AppLogger* getLogger() const { return m_loggerPtr.load(std::memory_order_acquire); }
    AppLogger* getMsgJournalLogger() const { return m_msgJournalLoggerPtr.load(std::memory_order_acquire); }
    ConfigManager* getConfigManager() const { return m_configManagerPtr.load(std::memory_order_acquire); }
    ConfigManager* getAppConfigManager() const { return m_appConfigMgrPtr.load(std::memory_order_acquire); }

    // Set once: -1 (and the pointer unchanged) when already set.
    int32 setLogger(AppLogger* logger) { return setOnce(m_loggerPtr, logger); }
    int32 setMsgJournalLogger(AppLogger* logger) { return setOnce(m_msgJournalLoggerPtr, logger); }
    int32 setConfigManager(ConfigManager* manager) { return setOnce(m_configManagerPtr, manager); }
    int32 setAppConfigManager(ConfigManager* manager) { return setOnce(m_appConfigMgrPtr, manager); }

    // Stores the application id text (at most 8 characters) and its 64-bit form.
    void setAppId(const char* appId);

    static const char* getLibBuildDate();

private:
    std::atomic<AppLogger*> m_loggerPtr{nullptr};
    std::atomic<AppLogger*> m_msgJournalLoggerPtr{nullptr};
    std::atomic<ConfigManager*> m_configManagerPtr{nullptr};
    std::atomic<ConfigManager*> m_appConfigMgrPtr{nullptr};

    template <typename T>
    static int32 setOnce(std::atomic<T*>& slot, T* value)
    {
        T* expected = nullptr;
        return slot.compare_exchange_strong(expected, value, std::memory_order_acq_rel) ? 0 : -1;
    }
};
