#include "kelmora/admin/KeshSessionModule.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>

namespace
{

const std::string cWhere = "InitModule<KeshSession>";

void addQuietMethodNames(KeshSession* session, const CfgEntry* node, Log* log)
{
    for (const std::string& name : node->values())
    {
        if (name.empty())
            continue;
        session->addQuietMethodName(name);
        if (log->enabled(LOG_LEVEL_DEBUG))
            log->debug() << cWhere << ": added quiet method name: " << name;
    }
}

// The session for `group`, its methods bound to the thread of the group's data session.
KeshSession* newSession(ModuleList* list, const std::string& group)
{
    const TarvokSession* owner = findModule<TarvokSession>(list, "TarvokSession", group);
    return new KeshSession(owner != nullptr ? owner->getName() : std::string());
}

} // namespace

InitModule<KeshSession> initKeshSession("KeshSession", 200);

template <>
bool InitModule<KeshSession>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("KeshSession");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, cWhere);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    log->info() << cWhere << ": creating KeshSession object(s)";
    const CfgEntry* quiet = config->getChild("KeshQuietMethods");

    if (subFeeds != nullptr)
    {
        for (const std::string& subFeed : *subFeeds)
        {
            KeshSession* session = newSession(list, subFeed);
            if (quiet != nullptr)
                addQuietMethodNames(session, quiet, log);
            registerModule<KeshSession>(list, "KeshSession", session, subFeed);
        }
    }
    KeshSession* session = newSession(list, defaultGroup);
    registerModule<KeshSession>(list, "KeshSession", session, defaultGroup);
    if (quiet != nullptr)
        addQuietMethodNames(session, quiet, log);
    return true;
}
