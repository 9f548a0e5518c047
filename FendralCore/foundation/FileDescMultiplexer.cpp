#include "FendralCore/foundation/FileDescMultiplexer.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/MonoClock.h"
#include "FendralCore/foundation/LogCall.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace
{

uint32 interestOf(IoWaitType io)
{
    switch (io)
    {
    case IO_WAIT_WRITE: return EPOLLOUT;
    case IO_WAIT_READ: return EPOLLIN;
    default: return EPOLLIN | EPOLLOUT;
    }
}

uint64 userData(int32 slot, int32 fd)
{
    return (static_cast<uint64>(static_cast<uint32>(slot)) << 32) | static_cast<uint32>(fd);
}

IoWaitType readinessOf(uint32 events)
{
    if (events & (EPOLLERR | EPOLLHUP))
        return IO_WAIT_ERROR;
    if ((events & EPOLLIN) && (events & EPOLLOUT))
        return IO_WAIT_RW;
    if (events & EPOLLOUT)
        return IO_WAIT_WRITE;
    return IO_WAIT_READ;
}

// Milliseconds left until deadline (nanoseconds, monotonic), rounded up so a
// wait never ends a little early; 0 once it has passed.
int32 msUntil(int64 deadline)
{
    const int64 left = deadline - MonoClock::nowNs();
    return left <= 0 ? 0 : static_cast<int32>((left + 999999) / 1000000);
}

int64 nextIdentity()
{
    // From 1: 0 is the "registered nowhere" of a new descriptor.
    static std::atomic<int64> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

} // namespace

#define MUX_LOG(level, ...) fwLog(level, __VA_ARGS__)

const FileDescMultiplexer::OnloadApi& FileDescMultiplexer::systemOnloadApi()
{
    static const OnloadApi api = [] {
        OnloadApi found{};
        found.isPresent = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "onload_is_present"));
        found.orderedWait = reinterpret_cast<decltype(found.orderedWait)>(
            dlsym(RTLD_DEFAULT, "onload_ordered_epoll_wait"));
        return found;
    }();
    return api;
}

FileDescMultiplexer::FileDescMultiplexer(int32 maxNumDesc, const OnloadApi* onloadApi)
    : m_maxNumDesc(maxNumDesc < 1 ? DEFAULT_NUM_FILE_DESCRIPTOR : maxNumDesc),
      m_configMgrPtr(GlobalData::getInst().getConfigManager()),
      m_gblData(GlobalData::getInst()),
      m_onload(onloadApi != nullptr ? *onloadApi : systemOnloadApi()), m_identity(nextIdentity())
{
    m_fdListPtr = new (std::nothrow) FdItem[m_maxNumDesc];
    m_orderedEpollPtr = new (std::nothrow) OrderedEvent[m_maxNumDesc];
    m_eventsPtr = new (std::nothrow) epoll_event[m_maxNumDesc];
    if (m_fdListPtr == nullptr || m_orderedEpollPtr == nullptr || m_eventsPtr == nullptr)
    {
        // No table: every registration is refused as full.
        MUX_LOG(LOG_LEVEL_ERROR, "No memory for a descriptor multiplexer of [%d] descriptors", m_maxNumDesc);
        m_maxNumDesc = 0;
        FrameworkErrno::m_fwErrno = CREATE_WAIT_OBJECT_FAILED;
        return;
    }
    for (int32 i = 0; i < m_maxNumDesc; ++i)
        m_fdListPtr[i] = FdItem{false, IO_WAIT_RW, nullptr, -1, 0};
    std::memset(m_orderedEpollPtr, 0, sizeof(OrderedEvent) * static_cast<size_t>(m_maxNumDesc));
    std::memset(m_eventsPtr, 0, sizeof(epoll_event) * static_cast<size_t>(m_maxNumDesc));

    createEpoll();

    const int present = m_onload.isPresent != nullptr ? m_onload.isPresent() : 0;
    if (present == 1 && m_onload.orderedWait != nullptr)
    {
        m_onloadLoaded = true;
        MUX_LOG(LOG_LEVEL_INFO, "Onload is running.");
    }
    else if (present == 0)
    {
        MUX_LOG(LOG_LEVEL_INFO, "Onload is NOT running.");
    }
}

FileDescMultiplexer::~FileDescMultiplexer()
{
    if (m_fdEpoll != -1)
        ::close(m_fdEpoll);
    delete[] m_fdListPtr;
    delete[] m_orderedEpollPtr;
    delete[] m_eventsPtr;
}

int32 FileDescMultiplexer::createEpoll()
{
    m_fdEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_fdEpoll == -1)
        return fwFail(CREATE_WAIT_OBJECT_FAILED, -1);
    return 0;
}

int32 FileDescMultiplexer::fdAddToList(FileDescriptor* fdPtr, int32* slot, IoWaitType io)
{
    if (m_numFdUsed >= m_maxNumDesc)
        return fwFail(WAIT_OBJECT_LIST_FULL, -1);
    int32 index = -1;
    if (m_nextAvailIdx < m_maxNumDesc)
    {
        index = m_nextAvailIdx++;
    }
    else
    {
        for (int32 i = 0; i < m_maxNumDesc && index < 0; ++i)
            if (!m_fdListPtr[i].used)
                index = i;
        if (index < 0)
            return fwFail(WAIT_OBJECT_LIST_FULL, -1);
    }
    const int32 fd = fdPtr->getFileDescriptor();
    m_fdListPtr[index] = FdItem{true, io, fdPtr, fd, interestOf(io)};
    fdPtr->setRef(identity(), index);
    ++m_numFdUsed;
    MUX_LOG(LOG_LEVEL_DEBUG, "File descriptor [%d] added to index [%d]", fd, index);
    if (slot != nullptr)
        *slot = index;
    return 0;
}

void FileDescMultiplexer::freeSlot(int32 slot)
{
    FdItem& item = m_fdListPtr[slot];
    if (item.fdPtr != nullptr)
        item.fdPtr->clearRef(identity());
    item = FdItem{false, IO_WAIT_RW, nullptr, -1, 0};
    --m_numFdUsed;
}

int32 FileDescMultiplexer::addFileDesc(FileDescriptor* fdPtr, IoWaitType io)
{
    if (fdPtr == nullptr)
        return fwFail(OBJECT_NULL_PTR, -1);
    const int32 fd = fdPtr->getFileDescriptor();
    if (fd == -1)
    {
        MUX_LOG(LOG_LEVEL_ERROR, "The file descriptor [%d] to be added to the descriptor multiplexer is invalid",
                fd);
        return fwFail(INVALID_DESCRIPTOR, -1);
    }
    // Registered here already: a second slot for it would be left dangling.
    if (fdPtr->getRef(identity()) != -1)
    {
        MUX_LOG(LOG_LEVEL_ERROR, "Error [%d] adding file descriptor [%d] to EPOLL. %s", EEXIST, fd,
                "Already registered");
        return fwFail(ADD_DESCRIPTOR_FAILED, -1);
    }
    int32 slot = -1;
    if (fdAddToList(fdPtr, &slot, io) != 0)
        return -1;
    epoll_event event{};
    event.events = interestOf(io);
    event.data.u64 = userData(slot, fd);
    if (epoll_ctl(m_fdEpoll, EPOLL_CTL_ADD, fd, &event) != 0)
    {
        const int error = errno;
        char text[128];
        MUX_LOG(LOG_LEVEL_ERROR, "Error [%d] adding file descriptor [%d] to EPOLL. %s", error, fd,
                strerror_r(error, text, sizeof(text)));
        // Give the slot back: otherwise the table leaks a slot per failure.
        freeSlot(slot);
        return fwFail(ADD_DESCRIPTOR_FAILED, -1);
    }
    MUX_LOG(LOG_LEVEL_DEBUG, "Add file descriptor [%d] of index [%d] to EPOLL", fd, slot);
    return 0;
}

// The slot of a descriptor registered here, or -1 with failCode (or 607 when
// it is registered elsewhere or nowhere).
int32 FileDescMultiplexer::slotOf(FileDescriptor* fdPtr, int32 failCode)
{
    if (fdPtr == nullptr)
        return fwFail(OBJECT_NULL_PTR, -1);
    const int32 slot = fdPtr->getRef(identity());
    if (slot == -1)
        return fwFail(DESCRIPTOR_NOT_FOUND, -1);
    const int32 fd = fdPtr->getFileDescriptor();
    if (slot < 0 || slot >= m_maxNumDesc)
    {
        MUX_LOG(LOG_LEVEL_ERROR, "Descriptor [%d] has an invalid index [%d] to the descriptor list", fd, slot);
        return fwFail(failCode, -1);
    }
    const FdItem& item = m_fdListPtr[slot];
    if (!item.used || item.fdPtr != fdPtr)
    {
        const int32 slotFd = item.fdPtr != nullptr ? item.fdPtr->getFileDescriptor() : -1;
        if (failCode == MOD_IO_EVENT_FAILED)
            MUX_LOG(LOG_LEVEL_ERROR, "Descriptor [%d] mismatched with the one the descriptor list [%d]:[%d]", fd,
                    slot, slotFd);
        else
            MUX_LOG(LOG_LEVEL_ERROR, "Descriptor [%d] mismatched with the one in the descriptor list [%d]:[%d]",
                    fd, slot, slotFd);
        return fwFail(failCode, -1);
    }
    return slot;
}

bool FileDescMultiplexer::numberHeldByOtherSlot(int32 fd, int32 slot) const
{
    for (int32 i = 0; i < m_maxNumDesc; ++i)
        if (i != slot && m_fdListPtr[i].used && m_fdListPtr[i].fd == fd)
            return true;
    return false;
}

int32 FileDescMultiplexer::removeFileDesc(FileDescriptor* fdPtr)
{
    const int32 slot = slotOf(fdPtr, DEL_DESCRIPTOR_FAILED);
    if (slot < 0)
        return -1;
    const int32 fd = m_fdListPtr[slot].fd;
    // The registration is keyed by the number it was made under. When the
    // owner closed that number first, it may by now name another registered
    // descriptor: deleting by it would silently drop that one's registration.
    bool rebuild = numberHeldByOtherSlot(fd, slot);
    if (!rebuild && epoll_ctl(m_fdEpoll, EPOLL_CTL_DEL, fd, nullptr) != 0)
    {
        const int error = errno;
        if (error != EBADF && error != ENOENT)
        {
            char text[128];
            MUX_LOG(LOG_LEVEL_ERROR, "Error [%d] removing descriptor [%d] from EPOLL. %s", error, fd,
                    strerror_r(error, text, sizeof(text)));
            return fwFail(DEL_DESCRIPTOR_FAILED, -1);
        }
        rebuild = true;
    }
    if (rebuild)
        MUX_LOG(LOG_LEVEL_DEBUG,
                "The file descriptor [%d] of index [%d] should have been closed outside EPOLL. Continue removing "
                "it.",
                fd, slot);
    freeSlot(slot);
    // Closed first: the kernel keeps the registration while the file lives on
    // (a dup, a forked child), and no number reaches it any more. Only a new
    // set drops it; otherwise it would report events for a slot that is gone.
    if (rebuild)
        rebuildEpoll();
    MUX_LOG(LOG_LEVEL_DEBUG, "Remove file descriptor [%d] from index [%d]", fd, slot);
    return 0;
}

int32 FileDescMultiplexer::amendWaitType(FileDescriptor* fdPtr, IoWaitType io)
{
    const int32 slot = slotOf(fdPtr, MOD_IO_EVENT_FAILED);
    if (slot < 0)
        return -1;
    FdItem& item = m_fdListPtr[slot];
    epoll_event event{};
    event.events = interestOf(io);
    event.data.u64 = userData(slot, item.fd);
    if (epoll_ctl(m_fdEpoll, EPOLL_CTL_MOD, item.fd, &event) != 0)
    {
        const int error = errno;
        char text[128];
        MUX_LOG(LOG_LEVEL_ERROR, "Error [%d] amending IO event of descriptor [%d] on index [%d]. %s", error,
                item.fd, slot, strerror_r(error, text, sizeof(text)));
        return fwFail(MOD_IO_EVENT_FAILED, -1);
    }
    item.events = event.events;
    MUX_LOG(LOG_LEVEL_DEBUG, "Amend file descriptor [%d] IO event to [%d] from index [%d]", item.fd,
            static_cast<int>(io), slot);
    return 0;
}

// Replaces the kernel set by a fresh one holding exactly the registrations of
// the table, under the same descriptor number.
int32 FileDescMultiplexer::rebuildEpoll()
{
    const int fresh = epoll_create1(EPOLL_CLOEXEC);
    if (fresh == -1)
    {
        const int error = errno;
        char text[128];
        MUX_LOG(LOG_LEVEL_ERROR, "Error [%d] rebuilding the EPOLL set. %s", error,
                strerror_r(error, text, sizeof(text)));
        return fwFail(CREATE_WAIT_OBJECT_FAILED, -1);
    }
    for (int32 i = 0; i < m_maxNumDesc; ++i)
    {
        const FdItem& item = m_fdListPtr[i];
        // A descriptor whose number changed or closed under us has no
        // registration to carry over; its owner still removes it.
        if (!item.used || item.fdPtr->getFileDescriptor() != item.fd)
            continue;
        epoll_event event{};
        event.events = item.events;
        event.data.u64 = userData(i, item.fd);
        if (epoll_ctl(fresh, EPOLL_CTL_ADD, item.fd, &event) != 0)
        {
            const int error = errno;
            char text[128];
            MUX_LOG(LOG_LEVEL_ERROR, "Error [%d] adding file descriptor [%d] to EPOLL. %s", error, item.fd,
                    strerror_r(error, text, sizeof(text)));
        }
    }
    int32 rc = 0;
    if (m_fdEpoll == -1)
    {
        m_fdEpoll = fresh;
        return 0;
    }
    if (dup3(fresh, m_fdEpoll, O_CLOEXEC) == -1)
        rc = fwFail(CREATE_WAIT_OBJECT_FAILED, -1);
    ::close(fresh);
    return rc;
}

int32 FileDescMultiplexer::dropStaleEvent(int32 fd, uint32 events, WaitForm form)
{
    const int32 rc = rebuildEpoll();
    if (form == ONE_ARRAY)
        MUX_LOG(LOG_LEVEL_INFO, "Descriptor [%d] already removed from the multiplexer. Ignore and continue.", fd);
    else
        MUX_LOG(LOG_LEVEL_INFO,
                "Descriptor [%d] already removed from the multiplexer. Event [%u]. Try remove it from EPOLL and "
                "continue. rc=%d",
                fd, events, rc);
    return rc;
}

int32 FileDescMultiplexer::wait(FileDescriptor** readyFds, int32 maxEvents, int32 timeout)
{
    return waitEvents(readyFds, nullptr, nullptr, maxEvents, timeout, ONE_ARRAY);
}

int32 FileDescMultiplexer::wait(FileDescriptor** readyFds, IoWaitType* ioTypes, int32 maxEvents, int32 timeout)
{
    return waitEvents(readyFds, ioTypes, nullptr, maxEvents, timeout, TWO_ARRAYS);
}

int32 FileDescMultiplexer::wait(FileDescriptor** readyFds, IoWaitType* ioTypes, WireOrderInfo* wireOrder,
                                int32 maxEvents, int32 timeout)
{
    return waitEvents(readyFds, ioTypes, wireOrder, maxEvents, timeout, THREE_ARRAYS);
}

int32 FileDescMultiplexer::waitEvents(FileDescriptor** readyFds, IoWaitType* ioTypes, WireOrderInfo* wireOrder,
                                      int32 maxEvents, int32 timeout, WaitForm form)
{
    // A missing output array is a caller error, not a time-out.
    if (readyFds == nullptr || (form != ONE_ARRAY && ioTypes == nullptr) ||
        (form == THREE_ARRAYS && wireOrder == nullptr) || maxEvents < 1)
        return fwFail(INVALID_FUNC_ARG, -1);
    if (maxEvents > m_maxNumDesc)
        maxEvents = m_maxNumDesc;
    if (maxEvents < 1)
        return fwFail(WAIT_DESCRIPTOR_FAILED, -1);

    const bool ordered = form == THREE_ARRAYS && m_onloadLoaded && m_gblData.m_optMode.load() == LOW_LATENCY;
    const int64 deadline = timeout > 0 ? MonoClock::nowNs() + static_cast<int64>(timeout) * 1000000 : 0;
    int32 waitMs = timeout;
    for (;;)
    {
        const int n = ordered ? m_onload.orderedWait(m_fdEpoll, m_eventsPtr, m_orderedEpollPtr, maxEvents, waitMs)
                              : epoll_wait(m_fdEpoll, m_eventsPtr, maxEvents, waitMs);
        if (n < 0)
        {
            const int error = errno;
            char text[128];
            if (error == EINTR)
            {
                MUX_LOG(form == ONE_ARRAY ? LOG_LEVEL_DEBUG : LOG_LEVEL_INFO,
                        "Received [%s] while waiting for descriptor events", strerror_r(error, text, sizeof(text)));
                if (timeout > 0)
                    waitMs = msUntil(deadline);
                continue;
            }
            MUX_LOG(LOG_LEVEL_ERROR, "Error [%d] waiting for a file descriptor event. [%s]", error,
                    strerror_r(error, text, sizeof(text)));
            return fwFail(WAIT_DESCRIPTOR_FAILED, -1);
        }

        int32 count = 0;
        bool stale = false;
        bool dropped = true;
        for (int i = 0; i < n; ++i)
        {
            const uint64 data = m_eventsPtr[i].data.u64;
            const uint32 events = m_eventsPtr[i].events;
            const int32 slot = static_cast<int32>(data >> 32);
            const int32 fd = static_cast<int32>(static_cast<uint32>(data));
            // An event belongs to a slot only while that slot still holds the
            // registration made under this number.
            if (slot < 0 || slot >= m_maxNumDesc || !m_fdListPtr[slot].used || m_fdListPtr[slot].fd != fd)
            {
                if (dropStaleEvent(fd, events, form) != 0)
                    dropped = false;
                stale = true;
                continue;
            }
            readyFds[count] = m_fdListPtr[slot].fdPtr;
            const IoWaitType readiness = readinessOf(events);
            if (ioTypes != nullptr)
                ioTypes[count] = readiness;
            if (wireOrder != nullptr)
            {
                if (ordered && (readiness == IO_WAIT_READ || readiness == IO_WAIT_RW))
                {
                    wireOrder[count].dataSize = m_orderedEpollPtr[i].bytes;
                    wireOrder[count].dataTm = m_orderedEpollPtr[i].ts;
                }
                else
                {
                    wireOrder[count] = WireOrderInfo{0, {0, 0}};
                }
            }
            ++count;
        }
        // Only events of registrations now gone: they are out of the set, so
        // wait out the rest of the time-out rather than return a 0 that looks
        // like one and have the caller spin.
        if (count > 0 || !stale || !dropped || timeout == 0)
            return count;
        if (timeout > 0)
        {
            waitMs = msUntil(deadline);
            if (waitMs == 0)
                return 0;
        }
    }
}
