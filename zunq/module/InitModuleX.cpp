#include "zunq/module/InitModuleX.h"

InitModuleX::InitModuleX()
    : mName("unknown")
{
}

InitModuleX::~InitModuleX() = default;

void InitModuleX::setName(const std::string& name)
{
    mName = name;
}

std::string InitModuleX::getName() const
{
    return mName;
}
