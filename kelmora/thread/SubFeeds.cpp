#include "kelmora/thread/SubFeeds.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <memory>

InitModule<SubFeeds> initSubFeeds("SubFeeds", 119);

template <>
bool InitModule<SubFeeds>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<SubFeeds>";
    setName("SubFeeds");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    // Every sub-feed may fall back on it: without it start-up stops here, not at the first use.
    TarvokSession* defaultSession = requireModule<TarvokSession>(list, "TarvokSessionDefault", defaultGroup, where);

    const long maxLen = config->getLong("MaxSubFeedLen", "--max-subfeed-len", 13);
    const std::string prefix = config->getString("FeedThreadPrefix", "--feed-thread-prefix", "thread_");

    const CfgEntry* entry = config->getChild("SubFeeds");
    if (entry == nullptr || entry->noValues())
    {
        log->verbose() << where << ": no SubFeeds";
        const bool separate =
            config->getBool("ProcessDataInSeparateThread", "--process-data-in-separate-thread", false);
        const std::string thread = separate ? prefix + config->getExeName() : defaultGroup;
        log->verbose() << where << ": registering TarvokSession module for data processing (thread: " << thread
                       << ")";
        TarvokSession* session = findModule<TarvokSession>(list, "TarvokSession", thread);
        if (session == nullptr)
        {
            log->info() << where << ": cannot find TarvokSession for thread " << thread
                        << " (using default TarvokSession)";
            session = defaultSession;
        }
        // The default thread's own registration stands first; this one names the data session.
        if (session != findModule<TarvokSession>(list, "TarvokSession", defaultGroup))
            registerModule<TarvokSession>(list, "TarvokSession", session, defaultGroup);
        return true;
    }

    auto subFeeds = std::make_unique<std::list<std::string>>();
    for (const std::string& name : entry->values())
    {
        const std::string p = where + "(" + name + ")";
        if (static_cast<long>(name.size()) > maxLen)
            throw InitModuleError(p, "subfeed length longer than " + std::to_string(maxLen) + " characters");
        subFeeds->push_back(name);

        ZunqConfigManager cfg(*config);
        cfg.addConfigBase(name, ZunqConfigManager::ALT_ROOT_OPTIONAL);
        std::string thread;
        const CfgEntry* named = cfg.getChild("UseNamedThread");
        if (named != nullptr && !named->noValues())
            thread = named->values().front();
        else if (cfg.getBool("UseOneThreadPerSubFeed", "--use-one-thread-per-subfeed", false))
            thread = prefix + name;
        else if (cfg.getBool("ProcessDataInSeparateThread", "--process-data-in-separate-thread", false))
            thread = prefix + config->getExeName();
        else
            thread = defaultGroup;

        log->info() << p << ": registering TarvokSession module for: " << name << " (thread: " << thread << ")";
        TarvokSession* session = findModule<TarvokSession>(list, "TarvokSession", thread);
        if (session == nullptr)
        {
            log->info() << p << ": cannot find TarvokSession for thread " << thread << " (using default TarvokSession)";
            session = defaultSession;
        }
        registerModule<TarvokSession>(list, "TarvokSession", session, name);
    }
    registerModule<std::list<std::string>>(list, "SubFeeds", subFeeds.release(), defaultGroup);
    return true;
}

void copySubFeedsOrDefault(std::list<std::string>& out, const std::list<std::string>* subFeeds, ModuleList* list,
                           ZunqConfigManager* config, const std::string& name)
{
    out.clear();
    if (subFeeds == nullptr)
    {
        if (config != nullptr && list != nullptr && config->getAppName() == name)
            out.push_back(list->defaultGroup());
        return;
    }
    for (const std::string& s : *subFeeds)
        if (s.compare(0, name.size(), name) == 0)
            out.push_back(s);
}
