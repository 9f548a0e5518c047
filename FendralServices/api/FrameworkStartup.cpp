// Framework start-up: the argument vector, the framework log and
// configuration, the process identity, the registration function and the
// control thread; and the middleware mode that runs all of it on a thread of
// its own.
#include "FendralServices/api/ApiGuard.h"
#include "FendralServices/api/FwServices.h"

#include "FendralCore/control/CtlThdStateMachine.h"
#include "FendralCore/dispatch/MsgDispatcher.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/runtime/AgentSharedMemory.h"
#include "FendralCore/runtime/AgentShmLayout.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/ProcessPriority.h"
#include "FendralCore/runtime/ResourceManager.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
constexpr const char* SERVICES_BUILD_DATE = "May 26 2022";
constexpr const char* USAGE_LINE = "<Application>  <Application ID>  <Application Instance ID>  <Site ID>  "
                                   "<Start-up Mode>  <Config File>  <Log Dir>  [<Primary Addr>  <Alt Addr>]";

constexpr const char* MRM_BASENAME_LABEL = "MRM_BASENAME";
constexpr const char* DEFAULT_MRM_BASENAME = "MRM";
constexpr const char* SYSLOG_LEVEL_LABEL = "SYSLOG_LEVEL";
constexpr const char* SYSLOG_OPTION_LABEL = "SYSLOG_OPTION";
constexpr const char* SYSLOG_FACILITY_LABEL = "SYSLOG_FACILITY";
constexpr int32 SYSLOG_FACILITY_USED = 8;
constexpr const char* FW_SYSLOG_ID_LABEL = "FW_SYSLOG_ID";
constexpr const char* MSG_JOURNAL_OPT_LABEL = "MSG_JOURNAL_OPT";
constexpr const char* MSG_JOURNAL_EFLD_LABEL = "MSG_JOURNAL_EFLD";
constexpr int32 FW_LOG_LEVEL = 5;
constexpr int32 START_POLL_US = 10000;
constexpr int32 START_TIMEOUT_US = 3000000;
constexpr int32 STOP_JOIN_SECONDS = 10;

// Middleware mode: the caller's record kept for the framework thread, the
// dispatcher callback for "MIDDLEWARE_MD" and the framework thread itself.
FrameworkArgument g_mwArgument{};
std::atomic<FwMessageCallback> g_mwCallback{nullptr};
pthread_t g_fwThread{};
std::atomic<bool> g_fwThreadStarted{false};
// One framework start per process: its log and configuration are the
// process's own and stay in the global data.
std::atomic<bool> g_startEntered{false};

bool runAsMiddleware()
{
    return std::atomic_ref<bool>(GlobalData::getInst().m_runAsFwMiddleware).load(std::memory_order_acquire);
}

void copyText(char* dest, size_t size, const char* src)
{
    std::memset(dest, 0, size);
    if (src != nullptr)
        std::strncpy(dest, src, size - 1);
}

// A whole decimal number within [low, high]; nothing else is taken.
bool parseNumber(const char* text, long low, long high, long& value)
{
    if (text == nullptr || *text == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    value = v;
    return true;
}

// Writes our process id into the agent's block of this application; any
// failure here is silent (the agent is optional).
void storePidForAgent(const ConfigManager& config, const std::string& agentId, const char* appId)
{
    int32 crossEnv = FwConfigKeys::DEFAULT_CROSS_ENV_SUPPORT;
    config.getInt32ConfigPara(FwConfigKeys::CROSS_ENV_SUPPORT_LABEL, crossEnv,
                              FwConfigKeys::DEFAULT_CROSS_ENV_SUPPORT);
    const std::string name = "/" + AgentSharedMemory::getAppLockName(agentId, appId, crossEnv != 0);
    const int fd = shm_open(name.c_str(), O_RDWR, 0770);
    if (fd < 0)
        return;
    struct stat st{};
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(AppSharedMemBlock)))
    {
        void* block = mmap(nullptr, sizeof(AppSharedMemBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (block != MAP_FAILED)
        {
            static_cast<AppSharedMemBlock*>(block)->statBuf.statusRec.pid = getpid();
            munmap(block, sizeof(AppSharedMemBlock));
        }
    }
    ::close(fd);
}

int32 checkPipelines(AppLogger& log)
{
    ResourceManager& registry = ResourceManager::getInst();
    int32 count = 0;
    registry.getPipelineResSize(count);
    if (count <= 0)
        return 0;
    ResourceName name{};
    PipelineResource* pipeline = nullptr;
    int32 walk = registry.getFirstPipelineRes(name, &pipeline);
    for (; walk == 0; walk = registry.getNextPipelineRes(name, &pipeline))
    {
        const int32 stages = pipeline->regParam.numStages;
        const uint64 required = stages >= 64 ? ~0ULL : (1ULL << stages) - 1;
        const uint64 assigned = pipeline->stageCheckBitmask;
        if ((assigned & required) != required)
        {
            FrameworkErrno::m_fwErrno = RES_REG_FAILED;
            log.logMessage(LOG_LEVEL_ERROR,
                           "Not all stages of the pipeline [%.16s] are registered with at least one thread. "
                           "Check mask [%" PRIX64 "], check bits [%" PRIX64 "]",
                           name, assigned, required);
            return -1;
        }
    }
    const int32 code = FrameworkErrno::m_fwErrno;
    return (code == RES_EMPTY || code == RES_NEXT_END) ? 0 : -1;
}

// Objects of one start: released on every way out. The framework log stays
// the process's global logger (threads may still hold it), so it is only
// flushed and closed; the others are dropped from use.
struct StartupObjects
{
    AppLogger* log = nullptr;
    ConfigManager* config = nullptr;
    AppLogger* journal = nullptr;

    ~StartupObjects()
    {
        if (journal != nullptr)
        {
            journal->flushData();
            journal->closeLog();
        }
        if (log != nullptr)
            log->flushData();
    }
};

int32 registerMiddlewareDispatcher()
{
    ResourceManager& registry = ResourceManager::getInst();
    ThreadParam param;
    registry.initThreadParam(param);
    ResourceManager::copyResourceName(param.threadNameTxt, ResourceManager::MIDDLEWARE_DISPATCHER_THREAD);
    if (const ConfigManager* config = GlobalData::getInst().getConfigManager())
    {
        int32 queueLen = FwConfigKeys::DEFAULT_MW_MD_QUEUE_LEN;
        int32 priority = FwConfigKeys::DEFAULT_MW_MD_PRI;
        uint64 cpu = FwConfigKeys::DEFAULT_MW_MD_CPU;
        int32 option = FwConfigKeys::DEFAULT_MW_MD_THD_OPT;
        config->getInt32ConfigPara(FwConfigKeys::MW_MD_QUEUE_LEN_LABEL, queueLen, FwConfigKeys::DEFAULT_MW_MD_QUEUE_LEN);
        config->getInt32ConfigPara(FwConfigKeys::MW_MD_PRI_LABEL, priority, FwConfigKeys::DEFAULT_MW_MD_PRI);
        config->getUint64ConfigPara(FwConfigKeys::MW_MD_CPU_LABEL, cpu, FwConfigKeys::DEFAULT_MW_MD_CPU);
        config->getInt32ConfigPara(FwConfigKeys::MW_MD_THD_OPT_LABEL, option, FwConfigKeys::DEFAULT_MW_MD_THD_OPT);
        param.messageQueueLength = queueLen;
        param.threadPriority = priority;
        param.cpuAffinityBitmask = cpu;
        param.thdOptimiz = static_cast<ThreadOptimization>(option);
    }
    if (registry.registerThreadRes(param, true, nullptr) != 0)
        return -1;
    return registry.registerThreadAppCallback(param.threadNameTxt, g_mwCallback.load());
}

int32 startFramework(const char* appNameTxt, char* appIdTxt, int appInstId, ApplicationSite siteId, AppMode mode,
                     const char* configFileTxt, const char* logDirTxt, const char* primaryAddrPtr,
                     const char* altAddrPtr, const char* repliTopicMcastPtr, unsigned short repliTopicPort,
                     const char* repliAckMcastPtr, unsigned short repliAckPort, MetaCmdCode metaCmdCode,
                     int (*fnPtr)())
{
    GlobalData& gd = GlobalData::getInst();
    if (mode < ACTIVE_MODE || mode > RECOVERY_MODE)
        return fwFail(INVALID_STARTUP_MODE, -1);
    if (appNameTxt == nullptr || appIdTxt == nullptr || configFileTxt == nullptr || logDirTxt == nullptr ||
        fnPtr == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (appIdTxt[0] == '\0' || (siteId != PRIMARY_SITE && siteId != DR_SITE) ||
        (metaCmdCode & ~(NUMA_CMD | ONLOAD_CMD)) != 0)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (g_startEntered.exchange(true))
        return fwFail(FUNC_NOT_ALLOWED, -1);

    StartupObjects objs;
    char appId[sizeof(ApplicationID)] = {};
    std::memcpy(appId, appIdTxt, strnlen(appIdTxt, sizeof(appId) - 1));
    const std::string prefix = std::string(appId) + "_fw";
    objs.log = new AppLogger(logDirTxt, prefix.c_str(), FW_LOG_LEVEL, true, false, false, true, false);
    FrameworkErrno::m_fwErrno = 0;
    if (const int32 rc = objs.log->openLog(); rc != 0)
    {
        delete objs.log;
        objs.log = nullptr;
        if (FrameworkErrno::m_fwErrno == 0)
            FrameworkErrno::m_fwErrno = rc;
        std::fprintf(stderr, "Cannot open the framework log in [%s]: error [%d]\n", logDirTxt, rc);
        return rc;
    }
    AppLogger& log = *objs.log;
    log.logMessage(FW_LOG_LEVEL, "********** BEGIN **********");
    log.logMessage(FW_LOG_LEVEL, "FendralCore Build    : %s", GlobalData::getLibBuildDate());
    log.logMessage(FW_LOG_LEVEL, "FendralServices Build: %s", SERVICES_BUILD_DATE);
    const bool withAddresses = primaryAddrPtr != nullptr && altAddrPtr != nullptr;
    if (withAddresses)
        log.logMessage(FW_LOG_LEVEL, "[%s] [%s] [%d] [%d] [%d] [%s] [%s] [%s] [%s] [%s] [%d] [%s] [%d] [%d]",
                       appNameTxt, appIdTxt, appInstId, siteId, mode, configFileTxt, logDirTxt, primaryAddrPtr,
                       altAddrPtr, repliTopicMcastPtr != nullptr ? repliTopicMcastPtr : "", repliTopicPort,
                       repliAckMcastPtr != nullptr ? repliAckMcastPtr : "", repliAckPort, metaCmdCode);
    else
        log.logMessage(FW_LOG_LEVEL, "[%s] [%s] [%d] [%d] [%d] [%s] [%s] [%d]", appNameTxt, appIdTxt, appInstId,
                       siteId, mode, configFileTxt, logDirTxt, metaCmdCode);
    gd.setLogger(objs.log);
    AppLogger::setMsgJournalLocation(logDirTxt);

    objs.config = new ConfigManager(configFileTxt);
    FrameworkErrno::m_fwErrno = 0;
    int32 loaded = objs.config->loadConfigFile();
    // The manager skips a line it cannot take and leaves its code: a start on
    // such a file would run without a setting the operator wrote.
    if (const int32 skipped = FrameworkErrno::m_fwErrno;
        loaded == 0 && (skipped == LINE_TOO_LONG || skipped == INVALID_NUM_OF_PARAMETER ||
                        skipped == INVALID_PARAMETER_TYPE))
        loaded = -1;
    if (const int32 rc = loaded; rc != 0)
    {
        delete objs.config;
        objs.config = nullptr;
        if (FrameworkErrno::m_fwErrno == 0)
            FrameworkErrno::m_fwErrno = rc;
        log.logMessage(LOG_LEVEL_ERROR, "Error [%d] loading the framework configuration file [%s]",
                       FrameworkErrno::m_fwErrno, configFileTxt);
        return rc;
    }
    gd.setConfigManager(objs.config);
    const ConfigManager& config = *objs.config;

    gd.m_metaCmdCode.store(metaCmdCode);
    int32 agentReadResult = 0;
    int32 agentReadCode = 0;
    if (metaCmdCode != NO_META_CMD)
    {
        std::string agentId;
        agentReadResult = config.getStrConfPara(FwConfigKeys::AGT_ID_LABEL, agentId, FwConfigKeys::DEFAULT_AGT_ID);
        agentReadCode = FrameworkErrno::m_fwErrno;
        if (agentReadResult == 0)
            storePidForAgent(config, agentId, appId);
        if ((metaCmdCode & ONLOAD_CMD) != 0)
        {
            if (::setenv("EF_UL_EPOLL", "1", 1) == 0)
                log.logMessage(FW_LOG_LEVEL, "Environment variable EF_UL_EPOLL set to 1 for Onload Wire Order.");
            else
                log.logMessage(LOG_LEVEL_ERROR, "Error [%d] setting environment variable EF_UL_EPOLL for Onload Wire Order. %s",
                               errno, std::strerror(errno));
        }
    }

    std::string mrmBase;
    config.getStrConfPara(MRM_BASENAME_LABEL, mrmBase, DEFAULT_MRM_BASENAME);
    copyText(gd.m_mrmBaseName, sizeof(gd.m_mrmBaseName), mrmBase.c_str());
    gd.m_mrmBaseNameLen = static_cast<int32>(std::strlen(gd.m_mrmBaseName));
    gd.m_mrmApplication = std::strncmp(appId, gd.m_mrmBaseName, gd.m_mrmBaseNameLen) == 0;

    if (withAddresses)
    {
        copyText(gd.m_defaultPriAddr, sizeof(IpAddress),
                 TcpDataSocket::isValidInterfaceAddr(primaryAddrPtr) ? primaryAddrPtr : "0.0.0.0");
        copyText(gd.m_defaultAltAddr, sizeof(IpAddress),
                 TcpDataSocket::isValidInterfaceAddr(altAddrPtr) ? altAddrPtr : "0.0.0.0");
        const bool topicOk = repliTopicMcastPtr != nullptr && TcpDataSocket::isValidAddr(repliTopicMcastPtr);
        const bool ackOk = repliAckMcastPtr != nullptr && TcpDataSocket::isValidAddr(repliAckMcastPtr);
        copyText(gd.m_repliTopicMcast, sizeof(IpAddress), topicOk ? repliTopicMcastPtr : nullptr);
        copyText(gd.m_repliAckMcast, sizeof(IpAddress), ackOk ? repliAckMcastPtr : nullptr);
    }
    else
    {
        copyText(gd.m_defaultPriAddr, sizeof(IpAddress), "0.0.0.0");
        copyText(gd.m_defaultAltAddr, sizeof(IpAddress), "0.0.0.0");
        copyText(gd.m_repliTopicMcast, sizeof(IpAddress), nullptr);
        copyText(gd.m_repliAckMcast, sizeof(IpAddress), nullptr);
    }
    gd.m_repliTopicPort = repliTopicPort;
    gd.m_repliAckPort = repliAckPort;

    int32 syslogLevel = GlobalData::DEFAULT_SYSLOG_LEVEL;
    int32 syslogOption = 3;
    int32 syslogFacility = SYSLOG_FACILITY_USED;
    config.getInt32ConfigPara(SYSLOG_LEVEL_LABEL, syslogLevel, GlobalData::DEFAULT_SYSLOG_LEVEL);
    if (syslogLevel < 0 || syslogLevel > 6)
        syslogLevel = GlobalData::DEFAULT_SYSLOG_LEVEL;
    config.getInt32ConfigPara(SYSLOG_OPTION_LABEL, syslogOption, 3);
    config.getInt32ConfigPara(SYSLOG_FACILITY_LABEL, syslogFacility, SYSLOG_FACILITY_USED);
    // The framework's mirror always uses the user facility.
    syslogFacility = SYSLOG_FACILITY_USED;
    gd.m_syslogLevel = syslogLevel;
    gd.m_syslogOption = syslogOption;
    gd.m_syslogFacility = syslogFacility;
    log.setSyslogLevel(syslogLevel);
    log.setSyslogOption(syslogOption);
    log.setSyslogFacility(syslogFacility);
    std::string ident;
    config.getStrConfPara(FW_SYSLOG_ID_LABEL, ident, "");
    if (!ident.empty())
    {
        copyText(gd.m_fwSyslogIdentTxt, sizeof(gd.m_fwSyslogIdentTxt), ident.c_str());
        log.setSyslogIdent(gd.m_fwSyslogIdentTxt);
    }

    int32 journalOpt = 0;
    int32 journalExtra = 0;
    config.getInt32ConfigPara(MSG_JOURNAL_OPT_LABEL, journalOpt, 0);
    config.getInt32ConfigPara(MSG_JOURNAL_EFLD_LABEL, journalExtra, 0);
    gd.m_msgJournalEnabled = journalOpt == 1;
    gd.m_msgJournalExtraFieldEnabled = journalExtra == 1;

    ResourceManager& registry = ResourceManager::getInst();
    if (int32 code = 0; registry.anyErrorInResource(code))
    {
        FrameworkErrno::m_fwErrno = code;
        log.logMessage(LOG_LEVEL_ERROR, "Error [%d] in a resource registered before the framework start.", code);
        return -1;
    }
    gd.setAppId(appId);
    gd.m_appInstId = appInstId;
    gd.m_siteId = siteId;
    gd.m_appMode.store(mode);
    int32 mwResult = 0;
    if (runAsMiddleware())
    {
        mwResult = registerMiddlewareDispatcher();
        if (mwResult != 0)
            log.logMessage(LOG_LEVEL_ERROR, "Error [%d] registering the middleware dispatcher thread [%s]",
                           FrameworkErrno::m_fwErrno, ResourceManager::MIDDLEWARE_DISPATCHER_THREAD);
    }
    log.flushData();
    if (agentReadResult != 0)
    {
        FrameworkErrno::m_fwErrno = agentReadCode;
        log.logMessage(LOG_LEVEL_ERROR, "Error [%d] reading [%s]", agentReadCode, FwConfigKeys::AGT_ID_LABEL);
        return agentReadResult;
    }
    if (mwResult != 0)
        return mwResult;

    const int32 regResult = apiGuard("registration function", -1, [&] { return static_cast<int32>(fnPtr()); });
    if (regResult != 0)
    {
        // The application's own reason stays; without one the caller still
        // learns that registration failed.
        if (FrameworkErrno::m_fwErrno == 0)
            FrameworkErrno::m_fwErrno = RES_REG_FAILED;
        log.logMessage(LOG_LEVEL_ERROR, "Registration function returned [%d], error [%d]", regResult,
                       FrameworkErrno::m_fwErrno);
        return regResult;
    }

    if (checkPipelines(log) != 0)
        return -1;
    // A middleware start given up during a slow registration starts nothing.
    if (const int32 code = gd.m_fwStatusInfo.stopRequest.load(); code != 0 && runAsMiddleware())
    {
        log.logMessage(LOG_LEVEL_ERROR, "The framework start was given up with error [%d] before the control "
                                        "thread ran.", code);
        return fwFail(code, -1);
    }

    auto priority = std::make_unique<ProcessPriority>();
    priority->setSchPriority();
    auto machine = std::make_unique<CtlThdStateMachine>(appId, appInstId, siteId, mode);

    if (gd.m_msgJournalEnabled && !gd.m_enableLoggerThread)
    {
        const std::string location = AppLogger::getMsgJournalLocation();
        const std::string mjPrefix = std::string(appId) + "_mj";
        auto* journal = new AppLogger(location.c_str(), mjPrefix.c_str(), FW_LOG_LEVEL);
        if (const int32 rc = journal->openLog(); rc == 0)
        {
            gd.setMsgJournalLogger(journal);
            objs.journal = journal;
            log.logMessage(FW_LOG_LEVEL, "Message journal file [%s/%s] opened", location.c_str(), mjPrefix.c_str());
        }
        else
        {
            delete journal;
            log.logMessage(LOG_LEVEL_NOTICE, "Failed to open message journal file [%s/%s], error [%d]",
                           location.c_str(), mjPrefix.c_str(), rc);
        }
    }

    const int32 result = machine->run();
    const int32 code = FrameworkErrno::m_fwErrno;
    machine.reset();
    priority.reset();
    FrameworkErrno::m_fwErrno = code;
    return result;
}

void* runFrameworkThread(void* arg)
{
    FwStatusInfo& status = GlobalData::getInst().m_fwStatusInfo;
    if (arg == nullptr)
    {
        std::printf("runFrameworkThread() error, NULL argument pointer.\n");
        status.errorCode.store(OBJECT_NULL_PTR);
        status.exitCode.store(-1);
        status.status.store(FW_TERMINATED);
        return nullptr;
    }
    const FrameworkArgument& a = *static_cast<const FrameworkArgument*>(arg);
    status.tid.store(static_cast<pid_t>(::syscall(SYS_gettid)));
    status.status.store(FW_RUNNING);
    char appId[sizeof(ApplicationID)] = {};
    std::memcpy(appId, a.appIdTxt, strnlen(a.appIdTxt, sizeof(appId) - 1));
    const int32 result =
        apiGuard("runFrameworkThread", -1, [&] {
            return startFramework("FW_APP", appId, a.appInstId, a.siteId, a.mode, a.configFileTxt, a.logDirTxt,
                                  nullptr, nullptr, nullptr, 0, nullptr, 0, NO_META_CMD, a.regFnPtr);
        });
    status.exitCode.store(result);
    if (result != 0)
        status.errorCode.store(FrameworkErrno::m_fwErrno);
    status.status.store(FW_TERMINATED);
    return nullptr;
}
} // namespace

int frameworkInit(const char* appNameTxt, char* appIdTxt, int appInstId, ApplicationSite siteId, AppMode mode,
                  const char* configFileTxt, const char* logDirTxt, const char* primaryAddrPtr,
                  const char* altAddrPtr, const char* repliTopicMcastPtr, unsigned short repliTopicPort,
                  const char* repliAckMcastPtr, unsigned short repliAckPort, MetaCmdCode metaCmdCode,
                  int (*fnPtr)())
{
    return apiGuard("frameworkInit", -1, [&] {
        return startFramework(appNameTxt, appIdTxt, appInstId, siteId, mode, configFileTxt, logDirTxt,
                              primaryAddrPtr, altAddrPtr, repliTopicMcastPtr, repliTopicPort, repliAckMcastPtr,
                              repliAckPort, metaCmdCode, fnPtr);
    });
}

int frameworkInit(int argc, char** argv, int (*fnPtr)())
{
    return apiGuard("frameworkInit", -1, [&]() -> int {
        const bool countOk = argc == 7 || argc == 13 || argc >= NUM_OF_ARGUMENTS;
        bool entriesOk = countOk && argv != nullptr;
        for (int i = 0; entriesOk && i < std::min(argc, static_cast<int>(NUM_OF_ARGUMENTS)); ++i)
            entriesOk = argv[i] != nullptr;
        if (!entriesOk)
        {
            std::printf("%s\n", USAGE_LINE);
            return fwFail(INVALID_FUNC_ARG, -1);
        }
        // Numbers are whole decimal text in their field's range: "70000" as
        // a port or "x" as a site would otherwise start with another value.
        long instance = 0, site = 0, mode = 0, topicPort = 0, ackPort = 0, meta = 0;
        bool numbersOk = parseNumber(argv[INSTANCE_ID], INT_MIN, INT_MAX, instance) &&
                         parseNumber(argv[SITE_ID], PRIMARY_SITE, DR_SITE, site) &&
                         parseNumber(argv[STARTUP_MODE], INT_MIN, INT_MAX, mode);
        if (numbersOk && argc >= 13)
            numbersOk = parseNumber(argv[REPLI_TOPIC_PORT], 0, 65535, topicPort) &&
                        parseNumber(argv[REPLI_ACK_PORT], 0, 65535, ackPort);
        if (numbersOk && argc >= NUM_OF_ARGUMENTS)
            numbersOk = parseNumber(argv[META_CMD_CODE], 0, NUMA_CMD | ONLOAD_CMD, meta);
        if (!numbersOk)
        {
            std::printf("%s\n", USAGE_LINE);
            std::printf("FrameworkInit failed. Error [%d]\n", INVALID_FUNC_ARG);
            return fwFail(INVALID_FUNC_ARG, -1);
        }
        const bool full = argc >= 13;
        const int result = frameworkInit(
            argv[APP_NAME], argv[APP_ID], static_cast<int>(instance), static_cast<ApplicationSite>(site),
            static_cast<AppMode>(mode), argv[CONFIG_FILE], argv[LOG_DIR], full ? argv[PRIMARY_ADDRESS] : nullptr,
            full ? argv[ALTERNATE_ADDRESS] : nullptr, full ? argv[REPLI_TOPIC_MCAST] : nullptr,
            static_cast<unsigned short>(topicPort), full ? argv[REPLI_ACK_MCAST] : nullptr,
            static_cast<unsigned short>(ackPort), static_cast<MetaCmdCode>(meta), fnPtr);
        if (result != 0)
            std::printf("FrameworkInit failed. Error [%d]\n", FrameworkErrno::m_fwErrno);
        std::fflush(stdout);
        return result;
    });
}

int startFrameworkThreads(FrameworkArgument* arg)
{
    return apiGuard("startFrameworkThreads", -1, [&]() -> int {
        GlobalData& gd = GlobalData::getInst();
        if (arg == nullptr)
            return fwFail(FUNC_NOT_ALLOWED, -1);
        if (arg->regFnPtr == nullptr || arg->callbackFnPtr == nullptr)
            return fwFail(NULL_PARAM, -1);
        if (std::atomic_ref<bool>(gd.m_runAsFwMiddleware).exchange(true, std::memory_order_acq_rel))
            return fwFail(MIDDLEWARE_RESTART_NOT_ALLOW, -1);
        // The framework thread reads its own copy: the caller's record may go.
        g_mwArgument = *arg;
        g_mwArgument.appIdTxt[sizeof(g_mwArgument.appIdTxt) - 1] = '\0';
        g_mwArgument.configFileTxt[sizeof(g_mwArgument.configFileTxt) - 1] = '\0';
        g_mwArgument.logDirTxt[sizeof(g_mwArgument.logDirTxt) - 1] = '\0';
        g_mwCallback.store(arg->callbackFnPtr);
        if (const int rc = pthread_create(&g_fwThread, nullptr, runFrameworkThread, &g_mwArgument); rc != 0)
        {
            gd.m_fwStatusInfo.status.store(FW_TERMINATED);
            FrameworkErrno::m_fwErrno = rc;
            return -1;
        }
        g_fwThreadStarted.store(true);
        // On the monotonic clock: on a loaded machine the polls' sleeps add up
        // to far more than their count says.
        const int64 startNs = MonoClock::nowNs();
        for (;;)
        {
            if (MsgDispatcher::getMiddlewareDispatcher() != nullptr)
            {
                ::usleep(START_POLL_US);
                return 0;
            }
            if (gd.m_fwStatusInfo.status.load() == FW_TERMINATED)
            {
                ::usleep(START_POLL_US);
                // The framework thread has ended: nothing is left running.
                pthread_join(g_fwThread, nullptr);
                g_fwThreadStarted.store(false);
                const int32 code = gd.m_fwStatusInfo.errorCode.load();
                return fwFail(code != 0 ? code : RES_REG_FAILED, -1);
            }
            if (MonoClock::nowNs() - startNs > static_cast<int64>(START_TIMEOUT_US) * 1000)
            {
                // A failed start leaves nothing running: the control thread
                // stops every thread it started (each within its TERM time-out,
                // then cancelled) and the framework thread ends. Only a
                // registration function that never returns could hold this.
                // The request first: whoever sees the status's code sees it too.
                gd.m_fwStatusInfo.stopRequest.store(MIDDLEWARE_STARTUP_TIMEOUT);
                gd.m_fwStatusInfo.errorCode.store(MIDDLEWARE_STARTUP_TIMEOUT);
                fwLog(LOG_LEVEL_ERROR, "Framework start not complete after [%d] ms. Stop the framework thread.",
                      START_TIMEOUT_US / 1000);
                pthread_join(g_fwThread, nullptr);
                g_fwThreadStarted.store(false);
                // The framework thread stored its own result on its way out.
                gd.m_fwStatusInfo.exitCode.store(-1);
                gd.m_fwStatusInfo.errorCode.store(MIDDLEWARE_STARTUP_TIMEOUT);
                return fwFail(MIDDLEWARE_STARTUP_TIMEOUT, -1);
            }
            ::usleep(START_POLL_US);
        }
    });
}

int stopFrameworkThreads()
{
    return apiGuard("stopFrameworkThreads", -1, [&]() -> int {
        GlobalData& gd = GlobalData::getInst();
        FwStatusInfo& status = gd.m_fwStatusInfo;
        AppLogger* log = gd.getLogger();
        if (!runAsMiddleware())
        {
            if (log != nullptr)
                log->logMessage(LOG_LEVEL_NOTICE, "Framework is not running in middleware mode.");
            else
                std::printf("Framework is not running in middleware mode.\n");
            status.errorCode.store(FUNC_NOT_ALLOWED);
            return fwFail(FUNC_NOT_ALLOWED, -1);
        }
        int32 sent = -1;
        {
            std::lock_guard<std::mutex> lock(MsgDispatcher::middlewareLock());
            MsgDispatcher* md = MsgDispatcher::getMiddlewareDispatcher();
            if (md == nullptr)
                fwLog(LOG_LEVEL_ERROR, "Middleware msgDispatcher is not available when stopping the framework");
            else
                sent = md->sendCtrlThreadTermEvent();
        }
        if (sent != 0)
        {
            status.errorCode.store(TERMINATE_THREAD_FAILED);
            return fwFail(TERMINATE_THREAD_FAILED, -1);
        }
        const unsigned long tid = static_cast<unsigned long>(g_fwThread);
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += STOP_JOIN_SECONDS;
        const int rc = g_fwThreadStarted.load() ? pthread_timedjoin_np(g_fwThread, nullptr, &deadline) : ESRCH;
        if (rc == 0)
        {
            g_fwThreadStarted.store(false);
            if (log != nullptr)
                log->logMessage(LOG_LEVEL_NOTICE, "Framework Control thread [%lX] terminated", tid);
            else
                std::printf("Framework Control thread [%lX] terminated\n", tid);
            return 0;
        }
        if (rc == EBUSY || rc == ETIMEDOUT)
        {
            status.errorCode.store(WOULD_BLOCK);
            return fwFail(WOULD_BLOCK, -1);
        }
        if (rc == ESRCH)
        {
            fwLog(LOG_LEVEL_NOTICE, "Framework Control thread [%lX] doesn't exist. Treat it as terminated.", tid);
            return -1;
        }
        FrameworkErrno::m_fwErrno = WAIT_THREAD_TERMIANTE_FAILED;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] joining with Framework Control thread [%lX]", rc, tid);
        return -1;
    });
}

int getFrameworkThreadInfo(int* state, int* result, int* errorCode)
{
    return apiGuard("getFrameworkThreadInfo", -1, [&]() -> int {
        if (!runAsMiddleware())
            return fwFail(FUNC_NOT_ALLOWED, -1);
        const FwStatusInfo& status = GlobalData::getInst().m_fwStatusInfo;
        if (state != nullptr)
            *state = status.status.load();
        if (result != nullptr)
            *result = status.exitCode.load();
        if (errorCode != nullptr)
            *errorCode = status.errorCode.load();
        return 0;
    });
}
