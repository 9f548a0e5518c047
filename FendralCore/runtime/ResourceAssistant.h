// Fills resource handles and checks that a handle still denotes a live
// resource of the expected kind: its record must carry the handle's name and
// be active (threads, topics, pipelines) or connected (TCP, UDP, IPC). A handle
// to a TCP record whose slot went to another accepted connection fails on
// the name; one to a connection that went down fails on the status.
//
// Any thread; no lock: the record is read in its state at that moment (the
// status atomically, a TCP name as atomic words).
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/runtime/FrameworkResource.h"
#include "FendralCore/runtime/ResourceHandle.h"

class AppLogger;

class ResourceAssistant
{
public:
    ResourceAssistant();
    virtual ~ResourceAssistant() = default;

    // Key from the name's 16 bytes as they stand, kind and pointer.
    void prepareHandle(ResourceHandle& resHandle, const ResourceName& resName, ResourceType resType,
                       FrameworkResource* resPtr) const;

    // False with RES_INVALID_HANDLE for another kind or a record that no
    // longer matches. A handle of the right kind with a null pointer is valid
    // (its holder reports the missing resource).
    bool isValidHandle(ResourceType resType, const ResourceHandle& resHandle) const;

private:
    AppLogger* m_loggerPtr;
};
