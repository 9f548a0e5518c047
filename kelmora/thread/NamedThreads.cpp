#include "kelmora/thread/NamedThreads.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/NamedThread.h"
#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSessionRunnable.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/runtime/ZunqLock.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <iomanip>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace
{

const std::string cWhere = "InitModule<NamedThreads>";

std::atomic<int (*)(const ThreadParam*)> gRegisterThread{&registerThread};
std::atomic<int (*)(const char*, int (*)(MessageType, EventMsg*, DataMsg*))> gRegisterCallback{
    &registerMessageCallback};

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string setting(const char* label, const std::string& value)
{
    std::ostringstream line;
    line << "\n\t" << std::left << std::setw(16) << label << ": " << value;
    return line.str();
}

const char* boolText(bool on)
{
    return on ? "true" : "false";
}

} // namespace

InitModule<NamedThreads> initNamedThreads("NamedThreads", 79);

void setThreadRegistrationCalls(const ThreadRegistrationCalls& calls)
{
    gRegisterThread.store(calls.registerThread);
    gRegisterCallback.store(calls.registerMessageCallback);
}

ThreadRegistrationCalls getThreadRegistrationCalls()
{
    return {gRegisterThread.load(), gRegisterCallback.load()};
}

template <>
bool InitModule<NamedThreads>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("NamedThreads");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    Log* log = requireModule<Log>(list, "Log", list->defaultGroup(), cWhere);
    const std::string& defaultGroup = list->defaultGroup();

    // Owned here until registered: a refused configuration or a disabled thread leaves nothing behind.
    std::vector<std::unique_ptr<NamedThread>> threads;
    auto names = std::make_unique<NamedThreads>();
    auto msgHandlingNames = std::make_unique<NamedThreads>();

    bool haveDefault = false;
    if (const CfgEntry* entry = config->getChild("NamedThreads"))
    {
        for (const std::string& name : entry->values())
        {
            log->verbose() << cWhere << "::createModule(): found NamedThreads: " << name;
            haveDefault = haveDefault || name == defaultGroup;
            threads.push_back(std::make_unique<NamedThread>(name));
            threads.back()->setRequiresConfig(true);
        }
    }
    if (!haveDefault)
        threads.push_back(std::make_unique<NamedThread>(defaultGroup));

    const bool locking =
        config->getBool("NamedThreadsEnableLocking", "--named-threads-enable-locking", false) || threads.size() > 1;
    ZunqLock::enableLocking(locking);
    if (locking)
        log->info() << cWhere << "::createModule(): MT Locks enabled ...";
    else
        log->verbose() << cWhere << "::createModule(): MT Locks disabled ...";

    for (std::unique_ptr<NamedThread>& thread : threads)
    {
        const std::string name = thread->getName();
        const std::string p = cWhere + "(" + name + "): ";
        log->verbose() << p << "creating NamedThread: " << name;
        ZunqConfigManager cfg(*config);
        cfg.addConfigBase(name, ZunqConfigManager::ALT_ROOT_OPTIONAL);

        std::string enabled = cfg.getString("Enabled", "", "");
        if (startsWith(name, defaultGroup) && enabled.empty())
            enabled = "TRUE";
        enabled = upper(enabled);
        if (thread->requiresConfig() && enabled.empty())
        {
            const std::string text = "Thread configuration MUST exist and MUST also contain at least the parameter "
                                     "\"Enabled\" for thread "
                                     + name;
            log->error() << p << text;
            throw InitModuleError(cWhere, text);
        }
        if (startsWith(enabled, "FALSE"))
        {
            log->info() << p << "thread " << name << "NOT enabled and will not be created";
            continue;
        }
        if (thread->requiresConfig() && !startsWith(enabled, "TRUE"))
        {
            const std::string text = "Unrecognized value \"" + enabled + "\" for parameter \"Enabled\" for thread " + name;
            log->error() << p << text;
            throw InitModuleError(cWhere, text);
        }

        const long affinity = cfg.getLong("CpuAffinity", "", 0);
        const long queueSize = cfg.getLong("QueueSize", "", 45000);
        const long nice = cfg.getLong("NiceValue", "", 0);
        const long optimize = cfg.getLong("OptimizeMode", "", 1);
        const long congestTimeout = cfg.getLong("CongestTimeoutInterval", "", 65000);
        const bool isCreated = cfg.getBool("IsCreated", "", true);
        const bool msgHandling = cfg.getBool("IsMsgHandling", "", false);
        const bool msgSending = cfg.getBool("IsMsgSending", "", false);
        const bool orvaneHandling = cfg.getBool("IsOrvaneHandling", "", name == defaultGroup);
        const bool sessionThread = cfg.getBool("IsSessionThread", "", true);
        const std::string regExp = cfg.getString("UseRegExp", "", "");
        log->verbose() << p << setting("CpuAffinity", std::to_string(affinity)) << setting("Nice", std::to_string(nice))
                       << setting("QueueSize", std::to_string(queueSize)) << setting("IsCreated", boolText(isCreated))
                       << setting("IsMsgHandling", boolText(msgHandling))
                       << setting("IsMsgSending", boolText(msgSending))
                       << setting("IsOrvaneHandling", boolText(orvaneHandling))
                       << setting("IsSessionThread", boolText(sessionThread)) << setting("UseRegExp", regExp);

        thread->setCpuAffinity(static_cast<unsigned long>(affinity));
        thread->setNiceValue(static_cast<int>(nice));
        thread->setQueueSize(static_cast<int>(queueSize));
        thread->setIsCreated(isCreated);
        thread->setIsMsgHandling(msgHandling);
        thread->setIsMsgSending(msgSending);
        thread->setIsOrvaneHandling(orvaneHandling);
        thread->setIsSessionThread(sessionThread);
        thread->setOptimizeMode(static_cast<int>(optimize));
        if (!regExp.empty())
            thread->setRegExp(regExp.c_str());
        const long resourceInterval = cfg.getLong("ResourceControlTimerInterval", "", 10);

        // The Runnable keeps a reference to its configuration: the copy lives as long.
        auto* threadCfg = new ZunqConfigManager(cfg);
        Runnable* runnable = name == defaultGroup
                                 ? new TarvokSessionRunnable(name.c_str(), *threadCfg, *list, *log)
                                 : new Runnable(name.c_str(), *threadCfg, *list, *log, 10000);
        runnable->setResourceControlTimerInterval(static_cast<int>(resourceInterval));
        runnable->setCongestTimeoutInterval(static_cast<int>(congestTimeout));
        thread->setRunnable(runnable);

        if (msgHandling)
            msgHandlingNames->push_back(name);
        names->push_back(name);
        registerModule<NamedThread>(list, "NamedThread", thread.release(), name);
    }

    registerModule<NamedThreads>(list, "NamedThreads", names.release(), defaultGroup);
    if (!msgHandlingNames->empty())
        registerModule<NamedThreads>(list, "MsgHandlingNamedThreads", msgHandlingNames.release(), defaultGroup);

    createNamedThreads(list, config);
    return true;
}

void createNamedThreads(ModuleList* list, ZunqConfigManager*)
{
    NamedThreads* names = findModule<NamedThreads>(list, "NamedThreads", list->defaultGroup());
    if (names == nullptr)
        throw std::invalid_argument("createThreads: Could not locate NamedThreads");
    if (names->empty())
        return;
    Log* log = requireModule<Log>(list, "Log", list->defaultGroup(), "createNamedThreads");

    // "MIDDLEWARE_MD" threads are registered first.
    std::stable_partition(names->begin(), names->end(), [](const std::string& n) { return n == "MIDDLEWARE_MD"; });

    const ThreadRegistrationCalls calls = getThreadRegistrationCalls();
    for (const std::string& name : *names)
    {
        NamedThread* thread = findModule<NamedThread>(list, "NamedThread", name);
        if (thread == nullptr)
            throw std::invalid_argument("InitNamedThreads::createThread: Could not locate NamedThread " + name);
        const std::string p = "InitNamedThreads::createThread(" + name + "): ";

        ThreadParam param;
        initStructParam(THREAD_PARAM, &param, sizeof param);
        copyResourceName(param.threadNameTxt, name.c_str());
        param.thdOptimiz = static_cast<decltype(param.thdOptimiz)>(thread->getOptimizeMode());
        param.cpuAffinityBitmask = thread->getCpuAffinity();
        param.threadPriority = thread->getNiceValue();
        param.messageQueueLength = thread->getQueueSize();
        log->info() << p << "creating thread... CPU Affinity[" << thread->getCpuAffinity() << "] Nice Value["
                    << thread->getNiceValue() << "] QueueSize[" << thread->getQueueSize() << "]";

        if (calls.registerThread(&param) != 0)
            log->error() << p << "failed to create thread|" << getErrorCode();
        else
            log->info() << p << "thread created";
        if (calls.registerMessageCallback(name.c_str(), Runnable::callback) != 0)
            log->error() << p << "failed to register callback|" << getErrorCode();
        else
            log->info() << p << "register callback successfull";
    }
}

void determineDefaultSubFeeds(ModuleList* list, std::list<std::string>& subFeeds, const std::string& prefix,
                              bool addDefault)
{
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = findModule<Log>(list, "Log", defaultGroup);
    const bool haveSubFeedsModule = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup) != nullptr;
    const NamedThreads* names = findModule<NamedThreads>(list, "NamedThreads", defaultGroup);
    bool found = false;
    if (names != nullptr)
    {
        for (const std::string& name : *names)
        {
            const NamedThread* thread = findModule<NamedThread>(list, "NamedThread", name);
            if (thread == nullptr || !thread->isMsgHandling())
                continue;
            if (haveSubFeedsModule)
                throw std::invalid_argument(prefix + ": Message threads and Subfeeds should not co-exist");
            if (log != nullptr)
                log->info() << prefix << ": NamedThread " << name << " is message handling: adding dummy subfeed";
            subFeeds.push_back(name);
            found = true;
        }
    }
    if (!found && addDefault)
        subFeeds.push_back(defaultGroup);
}
