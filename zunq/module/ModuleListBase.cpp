#include "zunq/module/ModuleListBase.h"

#include <mutex>

const std::string ModuleListBase::cDefaultGroup = "default";

ModuleListBase::ModuleListBase() = default;

ModuleListBase::~ModuleListBase() = default;

bool ModuleListBase::addBase(ModuleBase* module, const std::string& group)
{
    if (module == nullptr)
        return false;
    std::unique_lock lock(mLock);
    mModules[{group, module->getName()}].push_back(module);
    return true;
}

ModuleBase* ModuleListBase::findBase(const std::string& name, const std::string& group) const
{
    std::shared_lock lock(mLock);
    auto found = mModules.find({group, name});
    if (found == mModules.end())
        return nullptr;
    return found->second.front();
}
