// A module factory. Each component has one static factory object that names
// itself and registers with the module initializer while the program and its
// libraries load; the initializer later calls createModule once, on the main
// thread, before any framework thread exists.
#pragma once

#include <string>

class ModuleList;
class ZunqConfigManager;

class InitModuleX
{
public:
    InitModuleX();
    virtual ~InitModuleX();

    virtual void setName(const std::string& name);
    virtual std::string getName() const;
    // Builds the component and registers it in `list`; false reports a module
    // that was not created. A start-up failure is thrown and ends start-up.
    virtual bool createModule(ModuleList* list, ZunqConfigManager* config) = 0;

protected:
    std::string mName;
};
