// The base of every object a framework thread waits on (event descriptors,
// the signal descriptor, timers, sockets). It owns one kernel descriptor,
// closed on destruction, and remembers the multiplexer slot it is registered
// in. A descriptor is registered in at most one multiplexer at a time.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

enum DescriptorType : int32
{
    FILE_DESC = 0,
    UNICAST_SOCKET = 1,
    LISTEN_SOCKET = 2,
    P2P_UDP_SOCKET = 3,
    MULTICAST_SOCKET = 4,
    TIMER_DESC = 5,
    EVENT_DESC = 6,
    MSG_QUEUE_DESC = 7,
    DATA_STREAM_DESC = 8,
    PL_STAGE_DESC = 9,
    DESC_TYPE_MAX = 10,
};

enum IoWaitType : int32
{
    IO_WAIT_WRITE = 0,
    IO_WAIT_READ = 1,
    IO_WAIT_RW = 2,
    IO_WAIT_ERROR = 3,
};

// Where a descriptor is registered: the multiplexer's identity (a number never
// reused within the process) and the slot there; index -1 when not registered.
struct WaitObjectRef
{
    int64 num;
    int32 index;
};

class FileDescriptor
{
public:
    explicit FileDescriptor(DescriptorType descType);
    virtual ~FileDescriptor();

    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // 0 when all len bytes moved; -1 with the framework error code otherwise.
    // done receives the system call's result.
    virtual int32 send(char* buf, int len, int& done) = 0;
    virtual int32 receive(char* buf, int len, int& done) = 0;

    int32 getFileDescriptor() const { return m_fd; }
    DescriptorType getDescType() const { return m_descType; }
    void* getInfoPtr() const { return m_infoPtr; }
    void setInfoPtr(void* infoPtr) { m_infoPtr = infoPtr; }

    // The slot in the multiplexer num, or -1 when registered elsewhere or nowhere.
    int32 getRef(int64 num) const { return m_ref.num == num ? m_ref.index : -1; }
    void setRef(int64 num, int32 index)
    {
        m_ref.num = num;
        m_ref.index = index;
    }
    // 0 and unregistered when registered in num; -1 and unchanged otherwise.
    int32 clearRef(int64 num);

protected:
    int32 m_fd = -1;
    WaitObjectRef m_ref{0, -1};
    DescriptorType m_descType;
    void* m_infoPtr = nullptr;
};
