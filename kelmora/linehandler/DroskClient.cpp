#include "kelmora/linehandler/DroskClient.h"

#include "kelmora/thread/TarvokSession.h"
#include "zunq/log/Log.h"
#include "zunq/shm/ShmUtils.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Zunq
{

DroskClient::DroskClient(TarvokSession& session, Log& log, const std::string& name, std::uint32_t intervalMs,
                         bool deferStart)
    : mSession(session), mLog(log), mEpollInterval(intervalMs)
{
    if (deferStart)
        return;
    startEpollTimer();
    try
    {
        mPath = ShmUtils::getShmFileKeyName(log, name, true, 0);
        init();
    }
    catch (...)
    {
        // The destructor does not run for a constructor that throws.
        mEpollTimer.destroy();
        if (mEpollFd >= 0)
            ::close(mEpollFd);
        throw;
    }
}

DroskClient::~DroskClient()
{
    if (mTimerCreated)
        mEpollTimer.destroy();
    if (mConnectSock >= 0)
        ::close(mConnectSock);
    if (mEpollFd >= 0)
        ::close(mEpollFd);
}

void DroskClient::startEpollTimer()
{
    if (mEpollFd < 0)
        mEpollFd = ::epoll_create(5);
    if (mTimerCreated)
        mEpollTimer.destroy();
    mTimerCreated = true;
    mEpollTimer.create(&mSession, this, mEpollInterval, nullptr);
}

void DroskClient::init()
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::invalid_argument(std::string("socket() failed: ") + std::strerror(errno));
    if (mPath.size() > cMaxPath)
    {
        ::close(fd);
        throw std::invalid_argument("socket() failed: socket path too long");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, mPath.data(), mPath.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    {
        const int error = errno;
        ::close(fd);
        throw std::invalid_argument(std::string("connect() failed: ") + std::strerror(error));
    }
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    {
        const int error = errno;
        ::close(fd);
        throw std::invalid_argument(std::string("fcntl() O_NONBLOCK failed: ") + std::strerror(error) + ")");
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.fd = fd;
    if (::epoll_ctl(mEpollFd, EPOLL_CTL_ADD, fd, &event) != 0)
    {
        const int error = errno;
        ::close(fd);
        mLog.error() << "DroskClient::init(): epoll_ctl failed: " << std::strerror(error);
        return;
    }
    mConnectSock = fd;
    mReceived = 0;
}

void DroskClient::sendMsg(unsigned short type, unsigned short returnCode)
{
    // Zero-filled: the instance id goes out as 0.
    DroskMsg msg;
    msg.mMsgType = type;
    msg.mReturnCode = returnCode;
    // No SIGPIPE when the agent has gone: the failure is logged instead.
    const ssize_t sent = ::send(mConnectSock, &msg, sizeof msg, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(sizeof msg))
        mLog.error() << "DroskClient::send(): failed to send msg ("
                     << (sent < 0 ? std::strerror(errno) : "short write") << ")";
}

void DroskClient::onTimer(TarvokTimer* timer)
{
    if (timer == &mEpollTimer)
        handleEpollTimerCb();
}

void DroskClient::handleEpollTimerCb()
{
    if (mEpollFd < 0)
        return;
    epoll_event events[cMaxEvents];
    const int n = ::epoll_wait(mEpollFd, events, cMaxEvents, 0);
    if (n < 0)
    {
        mLog.error() << "DroskClient::handleEpollTimerCb(): epoll_wait failed";
        return;
    }
    for (int i = 0; i < n; ++i)
    {
        if (mLog.verboseEnabled())
            mLog.verbose() << "DroskClient::handleEpollTimerCb(): epoll_wait[" << i << "] fd[" << events[i].data.fd
                           << "] event[" << events[i].events << "]";
        if (mConnectSock >= 0 && events[i].data.fd == mConnectSock)
            handleConnectIo();
    }
}

void DroskClient::handleConnectIo()
{
    // Edge-triggered: read until nothing is left, or the next poll would not
    // hear of what is already there.
    while (mConnectSock >= 0)
    {
        char* into = reinterpret_cast<char*>(&mMsg) + mReceived;
        const ssize_t n = ::recv(mConnectSock, into, sizeof mMsg - mReceived, 0);
        if (n > 0)
        {
            mReceived += static_cast<std::size_t>(n);
            if (mReceived == sizeof mMsg)
            {
                mReceived = 0;
                onMsg(&mMsg);
            }
            continue;
        }
        if (n == 0)
        {
            mLog.info() << "DroskClient::onIo(): drosk closed connection gracefully";
            closeConnection();
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
        {
            mLog.error() << "DroskClient::onIo(): recv failed: " << std::strerror(errno);
            closeConnection();
        }
        return;
    }
}

void DroskClient::closeConnection()
{
    ::epoll_ctl(mEpollFd, EPOLL_CTL_DEL, mConnectSock, nullptr);
    ::close(mConnectSock);
    mConnectSock = -1;
    mReceived = 0;
}

} // namespace Zunq
