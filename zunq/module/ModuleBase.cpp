#include "zunq/module/ModuleBase.h"

ModuleBase::ModuleBase(const std::string& name, void* module)
    : mName(name)
    , mModule(module)
{
}

ModuleBase::~ModuleBase() = default;
