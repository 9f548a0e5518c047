#include "FendralCore/dispatch/SocketCalls.h"

#include "FendralCore/foundation/GlobalData.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
bool underAcceleratedStack()
{
    return (GlobalData::getInst().m_metaCmdCode.load(std::memory_order_relaxed) & ONLOAD_CMD) != 0;
}

// Sets close-on-exec on fd; on failure closes it and returns -1 with errno.
int markCloseOnExec(int fd)
{
    const int flags = fcntl(fd, F_GETFD);
    if (flags == -1 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == -1)
    {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
} // namespace

int SocketCalls::createSocket(int type)
{
    if (!underAcceleratedStack())
        return ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    const int fd = ::socket(AF_INET, type, 0);
    return fd == -1 ? -1 : markCloseOnExec(fd);
}

int SocketCalls::acceptConnection(int listenFd)
{
    if (!underAcceleratedStack())
        return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    const int fd = ::accept(listenFd, nullptr, nullptr);
    return fd == -1 ? -1 : markCloseOnExec(fd);
}

int SocketCalls::setBlockMode(int fd, bool blockMode)
{
    int nonBlocking = blockMode ? 0 : 1;
    return ::ioctl(fd, FIONBIO, &nonBlocking);
}

int SocketCalls::setIntOption(int fd, int level, int name, int value)
{
    return ::setsockopt(fd, level, name, &value, sizeof(value));
}

SocketCalls::BufSizeResult SocketCalls::applyBufSize(int fd, int option, int32 size)
{
    int current = 0;
    socklen_t length = sizeof(current);
    if (size < 0)
    {
        if (::getsockopt(fd, SOL_SOCKET, option, &current, &length) != 0)
            return {BUF_DEFAULT_READ_FAILED, errno, 0};
        return {BUF_DEFAULT_USED, 0, current / 2};
    }
    if (setIntOption(fd, SOL_SOCKET, option, size) != 0)
        return {BUF_SET_FAILED, errno, size};
    if (::getsockopt(fd, SOL_SOCKET, option, &current, &length) != 0)
        return {BUF_READ_BACK_FAILED, errno, size};
    const int32 kept = current / 2;
    return kept != size ? BufSizeResult{BUF_DIFFERS, 0, kept} : BufSizeResult{BUF_AS_REQUESTED, 0, size};
}

bool SocketCalls::parseAddr(const char* text, in_addr_t& addr)
{
    in_addr parsed{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    addr = parsed.s_addr;
    return true;
}

in_addr_t SocketCalls::interfaceAddr(const char* text)
{
    in_addr_t addr = htonl(INADDR_ANY);
    parseAddr(text, addr);
    return addr;
}

const char* SocketCalls::errorText(int error, char* buffer, int size)
{
    return strerror_r(error, buffer, static_cast<size_t>(size));
}
