// One epoll set over a fixed table of descriptors: what a framework thread
// waits on. It belongs to one thread (registration, removal and waiting all
// happen there) and never owns the descriptors it lists. Waiting allocates
// nothing: every array is sized once, at construction.
//
// In LOW_LATENCY mode, when the process runs under the kernel-bypass stack,
// the three-array wait uses its ordered wait, which also reports per socket
// how many bytes may be read in wire order and their time stamp. The stack's
// two entry points are looked up at run time; without them the plain epoll
// path is the whole behaviour.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"
#include "FendralCore/foundation/FwTypes.h"

#include <ctime>
#include <sys/epoll.h>

class ConfigManager;
class GlobalData;

// Wire-order report of one ready descriptor; all zero when none is available.
struct WireOrderInfo
{
    int32 dataSize;
    timespec dataTm;
};

class FileDescMultiplexer
{
public:
    static constexpr int32 DEFAULT_NUM_FILE_DESCRIPTOR = 100;

    // One record of the ordered wait: time stamp and in-order byte count.
    struct OrderedEvent
    {
        timespec ts;
        int bytes;
    };

    // The kernel-bypass stack's entry points. isPresent answers 1 when the
    // process runs under it; orderedWait is epoll_wait with one OrderedEvent
    // per returned event.
    struct OnloadApi
    {
        int (*isPresent)();
        int (*orderedWait)(int epfd, epoll_event* events, OrderedEvent* ordered, int maxEvents, int timeout);
    };

    // The entry points found in the process (null members when absent).
    static const OnloadApi& systemOnloadApi();

    // maxNumDesc below 1 means DEFAULT_NUM_FILE_DESCRIPTOR. onloadApi null:
    // the entry points found in the process; tests pass their own.
    explicit FileDescMultiplexer(int32 maxNumDesc, const OnloadApi* onloadApi = nullptr);
    ~FileDescMultiplexer();

    FileDescMultiplexer(const FileDescMultiplexer&) = delete;
    FileDescMultiplexer& operator=(const FileDescMultiplexer&) = delete;

    int32 createEpoll();

    // What registrations are keyed by: a number no other multiplexer of the
    // process ever had. An address would not do: a multiplexer built where a
    // destroyed one stood would take a reused descriptor's leftover
    // registration (a restarted thread's queue) for one of its own.
    int64 identity() const { return m_identity; }

    int32 addFileDesc(FileDescriptor* fdPtr, IoWaitType io);
    int32 removeFileDesc(FileDescriptor* fdPtr);
    int32 amendWaitType(FileDescriptor* fdPtr, IoWaitType io);
    // The slot allocation of addFileDesc: never-used slots first, then the
    // first free one.
    int32 fdAddToList(FileDescriptor* fdPtr, int32* slot, IoWaitType io);

    // Each returns the number of ready descriptors written (0 on time-out), or
    // -1. maxEvents above the capacity is taken as the capacity. timeout in
    // milliseconds: -1 without limit, 0 polls. Entry i of every output array
    // describes the i-th ready descriptor.
    int32 wait(FileDescriptor** readyFds, int32 maxEvents, int32 timeout);
    int32 wait(FileDescriptor** readyFds, IoWaitType* ioTypes, int32 maxEvents, int32 timeout);
    int32 wait(FileDescriptor** readyFds, IoWaitType* ioTypes, WireOrderInfo* wireOrder, int32 maxEvents,
               int32 timeout);

private:
    struct FdItem
    {
        bool used;
        IoWaitType io;
        FileDescriptor* fdPtr;
        int32 fd;      // the number the kernel registration was made under
        uint32 events; // its current interest
    };

    enum WaitForm
    {
        ONE_ARRAY,
        TWO_ARRAYS,
        THREE_ARRAYS,
    };

    int32 m_numFdUsed = 0;
    int32 m_nextAvailIdx = 0;
    int32 m_fdEpoll = -1;
    int32 m_maxNumDesc;
    FdItem* m_fdListPtr = nullptr;
    bool m_onloadLoaded = false;
    OrderedEvent* m_orderedEpollPtr = nullptr;
    ConfigManager* m_configMgrPtr;
    epoll_event* m_eventsPtr = nullptr;
    GlobalData& m_gblData;
    OnloadApi m_onload{};

    const int64 m_identity;

    int32 slotOf(FileDescriptor* fdPtr, int32 failCode);
    bool numberHeldByOtherSlot(int32 fd, int32 slot) const;
    void freeSlot(int32 slot);
    int32 rebuildEpoll();
    int32 waitEvents(FileDescriptor** readyFds, IoWaitType* ioTypes, WireOrderInfo* wireOrder, int32 maxEvents,
                     int32 timeout, WaitForm form);
    int32 dropStaleEvent(int32 fd, uint32 events, WaitForm form);
};
