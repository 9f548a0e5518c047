// A small value that names a registered resource: the name's 16 bytes as a
// key, the kind, and a pointer straight to the registry's record, so that
// sending on a handle needs no lookup. A handle owns nothing and stays a valid
// value after its resource goes; ResourceAssistant::isValidHandle tells a
// holder whether it still denotes a live resource. Copied freely between
// threads; no lock.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"
#include "FendralCore/runtime/FrameworkResource.h"

class ResourceHandle
{
public:
    // Zero key, INVALID_RES, null pointer.
    ResourceHandle();
    // The key is the name's 16 bytes as they stand.
    ResourceHandle(const ResourceName& resName, ResourceType resType, FrameworkResource* resPtr);
    ResourceHandle(const ResourceHandle& other) = default;
    ResourceHandle& operator=(const ResourceHandle& other) = default;
    virtual ~ResourceHandle() = default;

    void clearHandle();

    // The name rebuilt from the key (text up to the first NUL, NUL-filled) and the kind.
    void getResourceName(ResourceName& resName, ResourceType& resType) const;
    const UInt128& getResNameKey() const { return m_key; }
    ResourceType getResourceType() const { return m_resourceType; }
    FrameworkResource* getResourcePtr() const { return m_resourcePtr; }

    // By kind (signed), then key, then pointer address: -1, 0 or 1.
    int32 compare(const ResourceHandle& other) const;

    bool operator==(const ResourceHandle& other) const;
    bool operator!=(const ResourceHandle& other) const { return !(*this == other); }
    bool operator<(const ResourceHandle& other) const { return compare(other) < 0; }
    bool operator<=(const ResourceHandle& other) const { return compare(other) <= 0; }
    bool operator>(const ResourceHandle& other) const { return compare(other) > 0; }
    bool operator>=(const ResourceHandle& other) const { return compare(other) >= 0; }

private:
    friend class ResourceAssistant;

    UInt128 m_key;
    ResourceType m_resourceType;
    FrameworkResource* m_resourcePtr;
};
