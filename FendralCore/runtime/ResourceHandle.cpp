#include "FendralCore/runtime/ResourceHandle.h"

#include <cstring>
#include <functional>

ResourceHandle::ResourceHandle() : m_resourceType(INVALID_RES), m_resourcePtr(nullptr) {}

ResourceHandle::ResourceHandle(const ResourceName& resName, ResourceType resType, FrameworkResource* resPtr)
    : m_key(resName, true), m_resourceType(resType), m_resourcePtr(resPtr)
{
}

void ResourceHandle::clearHandle()
{
    m_key = UInt128();
    m_resourceType = INVALID_RES;
    m_resourcePtr = nullptr;
}

void ResourceHandle::getResourceName(ResourceName& resName, ResourceType& resType) const
{
    std::memset(resName, 0, sizeof(ResourceName));
    for (int32 i = 0; i < 16 && m_key.m_data.txt[i] != '\0'; ++i)
        resName[i] = m_key.m_data.txt[i];
    resType = m_resourceType;
}

int32 ResourceHandle::compare(const ResourceHandle& other) const
{
    if (m_resourceType != other.m_resourceType)
        return static_cast<int32>(m_resourceType) < static_cast<int32>(other.m_resourceType) ? -1 : 1;
    const int32 byKey = m_key.compare(other.m_key);
    if (byKey != 0)
        return byKey < 0 ? -1 : 1;
    if (m_resourcePtr == other.m_resourcePtr)
        return 0;
    return std::less<const FrameworkResource*>()(m_resourcePtr, other.m_resourcePtr) ? -1 : 1;
}

bool ResourceHandle::operator==(const ResourceHandle& other) const
{
    return m_resourceType == other.m_resourceType && m_key == other.m_key && m_resourcePtr == other.m_resourcePtr;
}
