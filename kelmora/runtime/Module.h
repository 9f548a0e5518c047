// A module list entry that knows the type of its component, and the lookups
// every factory uses. The entry does not own the component; entries and
// components live until the process exits.
#pragma once

#include "kelmora/runtime/InitModuleError.h"
#include "zunq/module/ModuleBase.h"
#include "zunq/module/ModuleListBase.h"

#include <string>

template <typename T>
class Module : public ModuleBase
{
public:
    Module(const std::string& name, T* module)
        : ModuleBase(name, const_cast<void*>(static_cast<const void*>(module)))
    {
    }
    ~Module() override = default;

    virtual T* getModule() const { return static_cast<T*>(getModuleVoid()); }
};

// The component registered as `name` in `group` with a holder of type
// Module<T>; null when there is none or it was registered as another type.
template <typename T>
T* findModule(const ModuleListBase* list, const std::string& name, const std::string& group)
{
    if (list == nullptr)
        return nullptr;
    auto* holder = dynamic_cast<Module<T>*>(list->findBase(name, group));
    return holder != nullptr ? holder->getModule() : nullptr;
}

// As findModule, but a missing component ends start-up:
// InitModuleError(where, "could not find <name> object").
template <typename T>
T* requireModule(const ModuleListBase* list, const std::string& name, const std::string& group,
                 const std::string& where)
{
    T* module = findModule<T>(list, name, group);
    if (module == nullptr)
        throw InitModuleError(where, "could not find " + name + " object");
    return module;
}

// Registers `component` as `name` in `group`; the holder lives until exit.
template <typename T>
void registerModule(ModuleListBase* list, const std::string& name, T* component, const std::string& group)
{
    list->addBase(new Module<T>(name, component), group);
}
