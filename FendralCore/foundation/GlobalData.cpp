#include "FendralCore/foundation/GlobalData.h"

#include <cstring>

GlobalData& GlobalData::getInst()
{
    static GlobalData* const instance = new GlobalData();
    return *instance;
}

void GlobalData::setAppId(const char* appId)
{
    std::memset(m_appIdTxt, 0, sizeof(m_appIdTxt));
    if (appId != nullptr)
        std::strncpy(m_appIdTxt, appId, sizeof(m_appIdTxt) - 1);
    std::memcpy(&m_appId, m_appIdTxt, sizeof(m_appId));
}

const char* GlobalData::getLibBuildDate()
{
    return "May 26 2022";
}
