#include "zunq/admin/KeshParamList.h"

void KeshParamList::add(const std::string& name, const std::string& value)
{
    mParams.emplace_back(name, value);
}

void KeshParamList::add(const std::string& name, const char* value)
{
    mParams.emplace_back(name, value != nullptr ? std::string(value) : std::string());
}

const KeshParam* KeshParamList::getParam(std::size_t index) const
{
    return index < mParams.size() ? &mParams[index] : nullptr;
}

const KeshParam* KeshParamList::getParam(const std::string& name) const
{
    for (const KeshParam& param : mParams)
        if (param.getName() == name)
            return &param;
    return nullptr;
}
