#include "FendralCore/dispatch/TcpListenSocket.h"

#include "FendralCore/dispatch/SocketCalls.h"
#include "FendralCore/dispatch/TcpDataSocket.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr int ERROR_TEXT_LEN = 128;
}

TcpListenSocket::TcpListenSocket(const char* interfaceAddrTxt, uint16 localPort, bool blockMode)
    : FileDescriptor(LISTEN_SOCKET), m_blockMode(blockMode), m_portNum(htons(localPort)),
      m_interfaceAddr(SocketCalls::interfaceAddr(interfaceAddrTxt))
{
    fwLog(LOG_LEVEL_DEBUG, "TCP Listen Socket INTERFACE:[%s] LOCAL PORT: [%d] BLOCK:[%d].",
          interfaceAddrTxt != nullptr ? interfaceAddrTxt : "", localPort, blockMode);
    m_fd = SocketCalls::createSocket(SOCK_STREAM);
    if (m_fd == -1)
    {
        const int error = errno;
        m_osError = error;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Failed to create socket in TcpListenSocket(), Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
    }
}

int32 TcpListenSocket::send(char*, int, int& done)
{
    done = 0;
    return 0;
}

int32 TcpListenSocket::receive(char*, int, int& done)
{
    done = 0;
    return 0;
}

int32 TcpListenSocket::initialize()
{
    m_maxPendingConn = DEFAULT_CONN_QUEUE_LEN;
    if (const ConfigManager* config = GlobalData::getInst().getConfigManager(); config != nullptr)
        config->getInt32ConfigPara(PENDING_CONN_QUEUE_LEN_LABEL, m_maxPendingConn, DEFAULT_CONN_QUEUE_LEN);

    char text[ERROR_TEXT_LEN];
    if (!m_blockMode && SocketCalls::setBlockMode(m_fd, false) != 0)
    {
        const int error = errno;
        m_osError = error;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting the listen sock [%d] to non-block. %s", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    if (SocketCalls::setIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
    {
        const int error = errno;
        m_osError = error;
        fwLog(LOG_LEVEL_ERROR, "setsockopt() SO_REUSEADDR failed, Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = m_interfaceAddr;
    local.sin_port = m_portNum;
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
    {
        const int error = errno;
        m_osError = error;
        fwLog(LOG_LEVEL_ERROR, "bind() failed, Err: %d. %s", error, SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    return 0;
}

void TcpListenSocket::closeNow()
{
    if (m_fd != -1)
        ::close(m_fd);
    m_fd = -1;
    m_listening = false;
}

int32 TcpListenSocket::startListen()
{
    if (::listen(m_fd, m_maxPendingConn) != 0)
    {
        const int error = errno;
        m_osError = error;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] listening to connection request on sock [%d]. %s", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    m_listening = true;
    fwLog(LOG_LEVEL_DEBUG, "Start listening to connection request on sock [%d].", m_fd);
    return 0;
}

int32 TcpListenSocket::acceptConnRqs(TcpDataSocket& dataSocket)
{
    const int fd = acceptOne();
    if (fd == -1)
        return -1;
    if (dataSocket.assignSocketFd(fd, m_blockMode) != 0)
    {
        // Refused because the object is still connected: the descriptor was
        // not taken, and nobody else will close it. Any other failure closed it.
        if (FrameworkErrno::m_fwErrno == ALREADY_CONNECTED)
            ::close(fd);
        fwLog(LOG_LEVEL_DEBUG, "New TCP connection from peer [%s:%u] accepted on socket [%d] via listen socket [%d].",
              "", 0U, fd, m_fd);
        return 0;
    }
    fwLog(LOG_LEVEL_DEBUG, "New TCP connection from peer [%s:%u] accepted on socket [%d] via listen socket [%d].",
          dataSocket.getPeerAddressTxt(), static_cast<unsigned>(dataSocket.getPeerLboPortNum()), fd, m_fd);
    return 0;
}

int32 TcpListenSocket::acceptConnRqs()
{
    const int fd = acceptOne();
    if (fd == -1)
        return -1;
    fwLog(LOG_LEVEL_INFO, "New TCP connection accepted on socket [%d] via listen socket [%d].", fd, m_fd);
    return fd;
}

int TcpListenSocket::acceptOne()
{
    const int fd = SocketCalls::acceptConnection(m_fd);
    if (fd != -1)
        return fd;
    const int error = errno;
    if (error == EAGAIN)
        return fwFail(WOULD_BLOCK, -1);
    char text[ERROR_TEXT_LEN];
    fwLog(LOG_LEVEL_ERROR, "Error [%d] accepting a connection request on passive sock [%d]. %s", error, m_fd,
          SocketCalls::errorText(error, text, sizeof(text)));
    return fwFail(ACCEPT_CONN_FAILED, -1);
}

int32 TcpListenSocket::failSetup()
{
    if (m_fd != -1)
        ::close(m_fd);
    m_fd = -1;
    m_listening = false;
    return fwFail(SOCK_ERROR, -1);
}
