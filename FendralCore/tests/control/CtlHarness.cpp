// A framework process for the control tests: application threads APP1..APPn
// under a real control thread, with the agent blocks of the configuration.
//   ctl_harness --app ID --config FILE [--threads N] [--mode M]
//               [--hang-init NAME] [--hang-term NAME] [--spin-term NAME] [--throw NAME]
//               [--block-ready NAME] [--topic NAME] [--inst N] [--stats N]
//               [--mrm-base NAME] [--term-on-switch NAME]
// An application-defined event with the text "fail" makes the callback
// return the event's action id as its failure code; one with the text
// "ctl:ID,ID..." makes APP1 post those events to the control thread, as the
// framework's threads post theirs. With --term-on-switch, thread NAME posts
// TERM to the control thread on SW_ACTIVE, before it acknowledges the switch.
// Framework lines go to standard error. Exit 0 after an orderly stop, 1 when
// the start failed.
#include "FendralCore/control/CtlThdStateMachine.h"
#include "FendralCore/dispatch/EventMessage.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/runtime/AppLogSink.h"
#include "FendralCore/runtime/AppLogger.h"
#include "FendralCore/runtime/FwConfigKeys.h"
#include "FendralCore/runtime/FwLog.h"
#include "FendralCore/runtime/ResourceManager.h"
#include "FendralCore/runtime/RingBuffer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace
{
std::string g_hangInit;
std::string g_hangTerm;
std::string g_spinTerm;
std::string g_throw;
std::string g_blockReady;
std::string g_termOnSwitch;
int g_stats = 0;

void noSyslogOpen(const char*, int, int) {}
void noSyslogWrite(int, const char*) {}
void noSyslogClose() {}
const AppLogger::SyslogApi NO_SYSLOG{noSyslogOpen, noSyslogWrite, noSyslogClose};

std::string threadName()
{
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

[[noreturn]] void hang()
{
    for (;;)
        pause(); // a cancellation point
}

// Never at a cancellation point: neither TERM nor cancellation ends it.
[[noreturn]] void spin()
{
    volatile unsigned long turns = 0;
    for (;;)
        turns = turns + 1;
}

// The framework events of ids ("ID,ID..."), in order, from APP1 to the
// control thread's high-priority queue.
void postToControl(const char* ids)
{
    ResourceManager& registry = ResourceManager::getInst();
    ResourceName self{};
    ResourceName ctl{};
    ResourceManager::copyResourceName(self, "APP1");
    ResourceManager::copyResourceName(ctl, "CTL_THREAD");
    ThreadResource* selfRes = nullptr;
    ThreadResource* ctlRes = nullptr;
    if (registry.getThreadRes(self, &selfRes) != 0 || registry.getThreadRes(ctl, &ctlRes) != 0)
        return;
    EventMessage sender(selfRes, registry);
    uint32 seq = 0;
    for (const char* p = ids; *p != '\0';)
    {
        char* end = nullptr;
        const long id = std::strtol(p, &end, 10);
        if (end == p)
            break;
        sender.sendEventMsg(ctlRes, MQUEUE_HIGH_PRIORITY, static_cast<FwEventID>(id), EventParam{}, seq);
        p = *end == ',' ? end + 1 : end;
    }
}

int32 callback(MessageType type, EventMsg* evt, DataMsg*)
{
    if (type != MSG_EVENT || evt == nullptr)
        return 0;
    const std::string name = threadName();
    fwLog(LOG_LEVEL_CRITICAL, "APP_CALLBACK [%s] event [%d]", name.c_str(), evt->id);
    if (evt->id == INIT && name == g_hangInit)
        hang();
    if (evt->id == TERM && name == g_hangTerm)
        hang();
    if (evt->id == TERM && name == g_spinTerm)
        spin();
    if (evt->id == APP_READY && name == g_throw)
        throw std::runtime_error("application failure");
    if (evt->id == APP_READY && name == "APP1")
    {
        // Statistics samples, as the dispatchers' statistics calls put them.
        RingBuffer<StatisticCounter>* ring = GlobalData::getInst().m_statBufPtr;
        for (int i = 0; i < g_stats && ring != nullptr; ++i)
        {
            StatisticCounter sample{};
            sample.statCounterId = i + 1;
            ring->enqueue(sample);
        }
    }
    if (evt->id == SW_ACTIVE && name == g_termOnSwitch)
        postToControl(std::to_string(TERM).c_str());
    if (evt->id == APP_READY && name == g_blockReady)
        ::sleep(600); // stops reporting its status
    if (evt->id >= APP_DEFINED_EVENT_BASE)
    {
        fwLog(LOG_LEVEL_CRITICAL, "APP_EVENT [%s] id [%d] action [%d] text [%.101s]", name.c_str(), evt->id,
              evt->eventParam.paramInt32, evt->descTxt);
        if (std::strncmp(evt->descTxt, "fail", sizeof(evt->descTxt)) == 0)
            return evt->eventParam.paramInt32;
        if (name == "APP1" && std::strncmp(evt->descTxt, "ctl:", 4) == 0)
            postToControl(evt->descTxt + 4);
    }
    return 0;
}

// What the framework's start-up does for a process under an agent: the
// process id goes into the application block before the control thread runs.
void storePid(const ConfigManager& config, const char* appId)
{
    std::string agentId;
    config.getStrConfPara(FwConfigKeys::AGT_ID_LABEL, agentId, FwConfigKeys::DEFAULT_AGT_ID);
    const std::string name = "/" + agentId + "." + appId;
    const int fd = shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0)
        return;
    void* block = mmap(nullptr, sizeof(AppSharedMemBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (block == MAP_FAILED)
        return;
    static_cast<AppSharedMemBlock*>(block)->statBuf.statusRec.pid = getpid();
    munmap(block, sizeof(AppSharedMemBlock));
}
} // namespace

int main(int argc, char** argv)
{
    std::string appId = "APP";
    std::string configPath;
    int threads = 2;
    int mode = ACTIVE_MODE;
    int instance = 0;
    std::string topic;
    std::string mrmBase;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--app")
            appId = value;
        else if (key == "--config")
            configPath = value;
        else if (key == "--threads")
            threads = std::atoi(value.c_str());
        else if (key == "--mode")
            mode = std::atoi(value.c_str());
        else if (key == "--hang-init")
            g_hangInit = value;
        else if (key == "--hang-term")
            g_hangTerm = value;
        else if (key == "--spin-term")
            g_spinTerm = value;
        else if (key == "--throw")
            g_throw = value;
        else if (key == "--topic")
            topic = value;
        else if (key == "--stats")
            g_stats = std::atoi(value.c_str());
        else if (key == "--inst")
            instance = std::atoi(value.c_str());
        else if (key == "--block-ready")
            g_blockReady = value;
        else if (key == "--mrm-base")
            mrmBase = value;
        else if (key == "--term-on-switch")
            g_termOnSwitch = value;
    }

    AppLogger::setSyslogApi(&NO_SYSLOG);
    auto* sink = new StderrAppLogSink();
    auto* logger = new AppLogger("", "ctl", LOG_LEVEL_DEBUG);
    logger->setSink(sink);
    logger->openLog();
    GlobalData& gd = GlobalData::getInst();
    gd.setLogger(logger);
    auto* config = new ConfigManager(configPath);
    if (config->loadConfigFile() != 0)
    {
        std::fprintf(stderr, "cannot load %s\n", configPath.c_str());
        return 2;
    }
    gd.setConfigManager(config);
    if (!mrmBase.empty())
    {
        // As the framework's start does from MRM_BASENAME.
        std::memset(gd.m_mrmBaseName, 0, sizeof(ApplicationID));
        std::memcpy(gd.m_mrmBaseName, mrmBase.data(), std::min(mrmBase.size(), sizeof(ApplicationID) - 1));
        gd.m_mrmBaseNameLen = static_cast<int32>(strnlen(gd.m_mrmBaseName, sizeof(ApplicationID)));
        gd.m_mrmApplication = std::strncmp(appId.c_str(), gd.m_mrmBaseName, gd.m_mrmBaseNameLen) == 0;
    }

    ResourceManager& registry = ResourceManager::getInst();
    for (int t = 1; t <= threads; ++t)
    {
        ThreadParam param;
        registry.initThreadParam(param);
        const std::string name = "APP" + std::to_string(t);
        ResourceManager::copyResourceName(param.threadNameTxt, name.c_str());
        if (registry.registerThreadRes(param, true, nullptr) != 0 ||
            registry.registerThreadAppCallback(param.threadNameTxt, callback) != 0)
        {
            std::fprintf(stderr, "cannot register %s: %d\n", name.c_str(), FrameworkErrno::m_fwErrno);
            return 2;
        }
    }
    if (!topic.empty())
    {
        MsgTopicParam param;
        registry.initMsgTopicParam(param);
        ResourceManager::copyResourceName(param.topicNameTxt, topic.c_str());
        ResourceManager::copyResourceName(param.threadNameTxt, "APP1");
        const int32 rc = registry.registerMsgTopicRes(param, nullptr);
        if (rc != 0 && rc != -2)
        {
            std::fprintf(stderr, "cannot register topic %s: %d\n", topic.c_str(), FrameworkErrno::m_fwErrno);
            return 2;
        }
    }
    storePid(*config, appId.c_str());

    int32 result = 0;
    int32 code = 0;
    {
        CtlThdStateMachine machine(appId.c_str(), instance, PRIMARY_SITE, static_cast<AppMode>(mode));
        result = machine.run();
        code = FrameworkErrno::m_fwErrno;
    }
    fwLog(LOG_LEVEL_CRITICAL, "RUN_RESULT [%d] code [%d]", result, result != 0 ? code : 0);
    return result == 0 ? 0 : 1;
}
