#include "FendralCore/foundation/EventDescriptor.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogCall.h"

#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
int32 setNonBlocking(int fd, bool on)
{
    int value = on ? 1 : 0;
    return ioctl(fd, FIONBIO, &value);
}

int32 ioFailure(int error, int32 otherCode)
{
    if (error == EAGAIN)
        return fwFail(WOULD_BLOCK, -1);
    if (error == EBADF)
        return fwFail(BAD_DESCRIPTOR, -1);
    return fwFail(otherCode, -1);
}
} // namespace

EventDescriptor::EventDescriptor(int32 flags, bool blockMode, DescriptorType descType)
    : FileDescriptor(descType), m_flags(flags), m_blockMode(blockMode)
{
    if (create() != 0)
    {
        const int error = errno;
        char text[128];
        fwLog(LOG_LEVEL_ERROR, "Failed to create event descriptor in EventDescriptor(), Err: %d. %s", error,
              strerror_r(error, text, sizeof(text)));
    }
}

int32 EventDescriptor::create()
{
    m_fd = eventfd(0, m_flags | EFD_CLOEXEC);
    if (m_fd == -1)
        return -1;
    if (!m_blockMode)
        setNonBlocking(m_fd, true);
    return 0;
}

int32 EventDescriptor::send(char* buf, int len, int& done)
{
    const ssize_t n = ::write(m_fd, buf, static_cast<size_t>(len < 0 ? 0 : len));
    done = static_cast<int>(n);
    if (n == len)
        return 0;
    return n < 0 ? ioFailure(errno, SEND_FAILED) : fwFail(SEND_FAILED, -1);
}

int32 EventDescriptor::receive(char* buf, int len, int& done)
{
    const ssize_t n = ::read(m_fd, buf, static_cast<size_t>(len < 0 ? 0 : len));
    done = static_cast<int>(n);
    if (n == len)
        return 0;
    return n < 0 ? ioFailure(errno, RECV_FAILED) : fwFail(RECV_FAILED, -1);
}

int32 EventDescriptor::postEvent()
{
    int done = 0;
    return send(reinterpret_cast<char*>(&m_event), sizeof(m_event), done);
}

int32 EventDescriptor::postEvents(uint64 count)
{
    int done = 0;
    return send(reinterpret_cast<char*>(&count), sizeof(count), done);
}

int32 EventDescriptor::deliverEvent(unsigned long& value)
{
    int done = 0;
    return receive(reinterpret_cast<char*>(&value), sizeof(value), done);
}

int32 EventDescriptor::closeEventDesc()
{
    if (m_fd != -1)
        ::close(m_fd);
    m_fd = -1;
    return 0;
}

int32 EventDescriptor::reopenEventDesc()
{
    closeEventDesc();
    if (create() != 0)
        return fwFail(CREATE_WAIT_OBJECT_FAILED, -1);
    return 0;
}

int32 EventDescriptor::clearAllEvent()
{
    if (m_fd == -1)
        return fwFail(BAD_DESCRIPTOR, -1);
    if (m_blockMode)
        setNonBlocking(m_fd, true);
    uint64 value = 0;
    int done = 0;
    const int32 savedCode = FrameworkErrno::m_fwErrno;
    while (receive(reinterpret_cast<char*>(&value), sizeof(value), done) == 0)
    {
    }
    // Running dry is how draining ends, not a failure of the caller's.
    FrameworkErrno::m_fwErrno = savedCode;
    if (m_blockMode)
        setNonBlocking(m_fd, false);
    return 0;
}
