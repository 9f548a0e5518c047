#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/supervision/LineMonitor.h"
#include "kelmora/supervision/LineMonitorWatcher.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <list>

InitModule<LineMonitorWatcher> initLineMonitorWatcher("LineMonitorWatcher", 830);

template <>
bool InitModule<LineMonitorWatcher>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<LineMonitorWatcher>";
    setName("LineMonitorWatcher");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(where, "no module list or configuration");
    const std::string defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    if (subFeeds == nullptr)
    {
        log->verbose() << where << ": NOT initializing any LineMonitorWatcher objects: no SubFeeds defined";
        return true;
    }
    if (!config->getBool("LineMonitorOffDuringSleep", "--line-monitor-off-during-sleep", true, false))
        return true;
    for (const std::string& subFeed : *subFeeds)
    {
        const std::string prefix = where + " (" + subFeed + ")";
        auto* modes = findModule<Orlu<MhMode>>(list, "OrluMhMode", subFeed);
        auto* monitor = findModule<LineMonitor>(list, "LineMonitor", subFeed);
        if (monitor == nullptr)
            throw InitModuleError(prefix, "could not find LineMonitor object");
        log->info() << prefix << ": creating LineMonitorWatcher";
        auto* watcher = new LineMonitorWatcher(*monitor, *log);
        if (modes != nullptr)
            modes->subscribe(watcher);
        registerModule<LineMonitorWatcher>(list, "LineMonitorWatcher", watcher, subFeed);
    }
    return true;
}
