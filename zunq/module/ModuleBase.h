// A named entry of the module list: the name a component is registered under
// and an untyped pointer to the component. The entry does not own the
// component; both live until the process exits.
#pragma once

#include <string>

class ModuleBase
{
public:
    ModuleBase(const std::string& name, void* module);
    virtual ~ModuleBase();

    ModuleBase(const ModuleBase&) = delete;
    ModuleBase& operator=(const ModuleBase&) = delete;

    void* getModuleVoid() const { return mModule; }
    const std::string& getName() const { return mName; }

protected:
    const std::string mName;
    void* mModule;
};
