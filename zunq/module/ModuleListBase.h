// The process's modules by name within a group. A group is the default group
// or the name of a sub-feed. Several modules may be registered under one name
// and group; a lookup always returns the first one registered. The list refers
// to its modules without owning them. Modules are added during start-up on the
// main thread; lookups may come from any thread.
#pragma once

#include "zunq/module/ModuleBase.h"

#include <map>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

class ModuleListBase
{
public:
    // Also the name of the default thread; a valid framework resource name.
    static const std::string cDefaultGroup;

    ModuleListBase();
    virtual ~ModuleListBase();

    ModuleListBase(const ModuleListBase&) = delete;
    ModuleListBase& operator=(const ModuleListBase&) = delete;

    const std::string& defaultGroup() const { return cDefaultGroup; }

    // False for a null module; the list keeps nothing then.
    bool addBase(ModuleBase* module, const std::string& group);
    // The first module registered under `name` in `group`, or null.
    ModuleBase* findBase(const std::string& name, const std::string& group) const;

private:
    mutable std::shared_mutex mLock;
    std::map<std::pair<std::string, std::string>, std::vector<ModuleBase*>> mModules;
};
