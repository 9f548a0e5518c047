#include "kelmora/linecontrol/BackupLineControl.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/log/Log.h"

#include <list>

InitModule<BackupLineControl> initBackupLineControl("BackupLineControl", 300);

template <>
bool InitModule<BackupLineControl>::createModule(ModuleList* list, ZunqConfigManager*)
{
    const std::string where = "InitModule<BackupLineControl>";
    setName("BackupLineControl");
    if (list == nullptr)
        throw InitModuleError(where, "no module list");
    const std::string defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, where);
    const auto* subFeeds = findModule<std::list<std::string>>(list, "SubFeeds", defaultGroup);
    std::list<std::string> groups;
    if (subFeeds != nullptr && !subFeeds->empty())
        groups = *subFeeds;
    else
        groups.push_back(defaultGroup);

    auto* control = new BackupLineControl(*log);
    registerModule<BackupLineControl>(list, "BackupLineControl", control, defaultGroup);
    for (const std::string& group : groups)
    {
        auto* channel = findModule<Orlu<BackupLineChange>>(list, "OrluBackupLineChange", group);
        if (channel == nullptr)
        {
            log->info() << where << "(" << group << "): no OrluBackupLineChange channel; not subscribed";
            continue;
        }
        channel->subscribe(control);
    }
    return true;
}
