// The factory of one host component. Each component has one static
// InitModule<T> in its own source file, named after the component and
// registered with the module initializer under its creation priority while
// the library loads; the initializer later calls createModule once, on the
// main thread, in ascending priority. Each component's header declares the
// specialisation of createModule that its source file defines.
#pragma once

#include "zunq/module/InitModuleX.h"
#include "zunq/module/ModuleInitializer.h"

#include <string>

class ModuleList;
class ZunqConfigManager;

// Names `factory` and registers it with `initializer` (none: not registered).
inline void registerFactory(InitModuleX* factory, const std::string& name, int priority,
                            ModuleInitializer* initializer)
{
    factory->setName(name);
    if (initializer != nullptr)
        initializer->addModule(factory, priority);
}

template <typename T>
class InitModule : public InitModuleX
{
public:
    // A factory that its caller runs itself; its name stays "unknown" until then.
    InitModule() = default;
    // A factory named `name`, run by `initializer` at `priority`.
    InitModule(const std::string& name, int priority, ModuleInitializer* initializer = moduleInitializer())
    {
        registerFactory(this, name, priority, initializer);
    }
    ~InitModule() override = default;

    InitModule(const InitModule&) = delete;
    InitModule& operator=(const InitModule&) = delete;

    bool createModule(ModuleList* list, ZunqConfigManager* config) override;
};
