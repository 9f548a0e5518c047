#include "FendralCore/dispatch/TcpDataSocket.h"

#include "FendralCore/dispatch/SocketCalls.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LocalAddr.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
constexpr int ERROR_TEXT_LEN = 128;
// About a send's time on the processor, spent spinning before a closer
// sleeps (waking it again costs a scheduler round on a busy machine).
constexpr int32 CLOSER_SPINS = 2000;

inline void cpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

const char* orEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

sockaddr_in ipv4SockAddr(in_addr_t addr, in_port_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = port;
    return sa;
}
} // namespace

TcpDataSocket::TcpDataSocket(const char* remoteAddrTxt, uint16 remotePort, const char* interfaceAddrTxt,
                             uint16 localPort, bool blockMode, int32 sendBufSize, int32 recvBufSize)
    : FileDescriptor(UNICAST_SOCKET), m_blockMode(blockMode), m_outgoingConnection(true),
      m_sendBufSize(sendBufSize), m_recvBufSize(recvBufSize)
{
    const char* remote = orEmpty(remoteAddrTxt);
    const char* interface = orEmpty(interfaceAddrTxt);
    fwLog(LOG_LEVEL_DEBUG,
          "TCP Data Socket REMOTE ADDR [%s] REMOTE PORT: [%d] INTERFACE:[%s] LOCAL PORT: [%d] BLOCK:[%d] "
          "SEND_BUF:[%d] RECV_BUF:[%d].",
          remote, remotePort, interface, localPort, blockMode, sendBufSize, recvBufSize);
    setFd(SocketCalls::createSocket(SOCK_STREAM));
    if (m_fd == -1)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Failed to create socket in TcpDataSocket(), Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
    }
    std::snprintf(m_peerAddressTxt, sizeof(m_peerAddressTxt), "%.15s", remote);
    SocketCalls::parseAddr(remote, m_peerIpAddr);
    m_peerPortNum = htons(remotePort);
    m_peerLboPortNum = remotePort;
    m_interfaceAddr = SocketCalls::interfaceAddr(interface);
    m_localPortNum = htons(localPort);
}

TcpDataSocket::TcpDataSocket(int32 sendBufSize, int32 recvBufSize)
    : FileDescriptor(UNICAST_SOCKET), m_sendBufSize(sendBufSize), m_recvBufSize(recvBufSize)
{
    fwLog(LOG_LEVEL_DEBUG, "TCP Data Socket (unbound) SEND_BUF:[%d] RECV_BUF:[%d].", sendBufSize, recvBufSize);
}

TcpDataSocket::TcpDataSocket(int fd, bool blockMode, int32 sendBufSize, int32 recvBufSize)
    : FileDescriptor(UNICAST_SOCKET), m_sendBufSize(sendBufSize), m_recvBufSize(recvBufSize)
{
    fwLog(LOG_LEVEL_DEBUG, "TCP Data Socket with assigned socket [%d] SEND_BUF:[%d] RECV_BUF:[%d].", fd,
          sendBufSize, recvBufSize);
    assignSocketFd(fd, blockMode);
}

TcpDataSocket::~TcpDataSocket()
{
    closeDescriptor();
}

int32 TcpDataSocket::initialize()
{
    m_stLocal = sockaddr_in{};
    return bindLocal("");
}

// Blocking mode, buffer sizes, address reuse and the bind of the local
// address; where names the caller in the log texts.
int32 TcpDataSocket::bindLocal(const char* where)
{
    char text[ERROR_TEXT_LEN];
    if (!m_blockMode && SocketCalls::setBlockMode(m_fd, false) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting the data sock [%d] to non-block%s. %s", error, m_fd, where,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    if (setSendBufSize(m_sendBufSize) != 0 || setRecvBufSize(m_recvBufSize) != 0)
        return failSetup();
    if (SocketCalls::setIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "setsockopt() SO_REUSEADDR failed%s, Err: %d. %s", where, error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    m_stLocal = ipv4SockAddr(m_interfaceAddr, m_localPortNum);
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&m_stLocal), sizeof(m_stLocal)) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "bind() failed%s, Err: %d. %s", where, error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    m_validLocalBinding = true;
    return 0;
}

int32 TcpDataSocket::connect()
{
    if (!m_validLocalBinding)
    {
        fwLog(LOG_LEVEL_ERROR, "The local address binding is invalid");
        return fwFail(INVALID_SOCKET, -1);
    }
    const sockaddr_in peer = ipv4SockAddr(m_peerIpAddr, m_peerPortNum);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0)
    {
        m_connStatus.store(CONN_STATUS_CONNECTED, std::memory_order_release);
        enableConnectionOptions();
        return 0;
    }
    const int error = errno;
    if (error == EINPROGRESS)
        return fwFail(WOULD_BLOCK, -1);
    char text[ERROR_TEXT_LEN];
    fwLog(LOG_LEVEL_ERROR, "Error [%d] connecting to [%s:%d]. %s", error, m_peerAddressTxt, m_peerLboPortNum,
          SocketCalls::errorText(error, text, sizeof(text)));
    return fwFail(CONN_FAILED, -1);
}

int32 TcpDataSocket::checkConnectResult()
{
    char text[ERROR_TEXT_LEN];
    int socketError = 0;
    socklen_t length = sizeof(socketError);
    if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &socketError, &length) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] checking the connection result on socket [%d]. %s.", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(SOCK_ERROR, -1);
    }
    if (socketError != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Connection to [%s:%d] failed [%d] on socket [%d]. %s.", m_peerAddressTxt,
              m_peerLboPortNum, socketError, m_fd, SocketCalls::errorText(socketError, text, sizeof(text)));
        return fwFail(CONN_FAILED, -1);
    }
    m_connStatus.store(CONN_STATUS_CONNECTED, std::memory_order_release);
    fwLog(LOG_LEVEL_DEBUG, "Connection to [%s:%d] established on socket [%d].", m_peerAddressTxt, m_peerLboPortNum,
          m_fd);
    enableConnectionOptions();
    return 0;
}

void TcpDataSocket::disconnect()
{
    if (m_fd == -1 || getConnStatus() == CONN_STATUS_NOT_CONNECTED)
        return;
    // Turns away every send from now on; the close waits for those under way.
    m_connStatus.store(CONN_STATUS_NOT_CONNECTED, std::memory_order_seq_cst);
    const int closed = m_fd;
    closeDescriptor();
    fwLog(LOG_LEVEL_DEBUG, "Socket [%d] connection to [%s:%d] closed", closed, m_peerAddressTxt, m_peerLboPortNum);
    m_disconnectEvent.store(true, std::memory_order_release);
}

void TcpDataSocket::closeOnConnectFailure()
{
    const int32 bothShut = CONN_STATUS_RECV_SHUT | CONN_STATUS_SEND_SHUT;
    if (m_fd == -1 || (getConnStatus() & bothShut) != bothShut)
        return;
    const int closed = m_fd;
    closeDescriptor();
    fwLog(LOG_LEVEL_DEBUG, "Socket [%d] to [%s:%d] closed", closed, m_peerAddressTxt, m_peerLboPortNum);
    m_disconnectEvent.store(true, std::memory_order_release);
}

void TcpDataSocket::shutdown(CloseDirection direction)
{
    // Held across the call: the network receiver cannot close the number
    // (and the system give it to another file) under it.
    const int fd = acquireFd(CONN_STATUS_RECV_SHUT | CONN_STATUS_SEND_SHUT);
    if (fd == -1)
        return;
    // fetch_or tells exactly one caller that it shut the direction, should
    // several threads try.
    switch (direction)
    {
    case CLOSE_RD:
        if ((m_connStatus.fetch_or(CONN_STATUS_RECV_SHUT) & CONN_STATUS_RECV_SHUT) == 0)
        {
            fwLog(LOG_LEVEL_DEBUG, "Socket [%d] connection to [%s:%d] shutdown for incoming direction.", fd,
                  m_peerAddressTxt, m_peerLboPortNum);
            ::shutdown(fd, SHUT_RD);
        }
        break;
    case CLOSE_WR:
        if ((m_connStatus.fetch_or(CONN_STATUS_SEND_SHUT) & CONN_STATUS_SEND_SHUT) == 0)
        {
            fwLog(LOG_LEVEL_DEBUG, "Socket [%d] connection to [%s:%d] shutdown for outgoing direction.", fd,
                  m_peerAddressTxt, m_peerLboPortNum);
            ::shutdown(fd, SHUT_WR);
        }
        break;
    case CLOSE_RDWR:
    {
        const int32 bothShut = CONN_STATUS_RECV_SHUT | CONN_STATUS_SEND_SHUT;
        if ((m_connStatus.fetch_or(bothShut) & bothShut) != bothShut)
        {
            m_disconnectEvent.store(true, std::memory_order_release);
            fwLog(LOG_LEVEL_DEBUG, "Socket [%d] connection to [%s:%d] shutdown for both directions.", fd,
                  m_peerAddressTxt, m_peerLboPortNum);
            ::shutdown(fd, SHUT_RDWR);
        }
        break;
    }
    }
    releaseFd();
}

int32 TcpDataSocket::send(char* buf, int len, int& done)
{
    done = 0;
    if (len < 0 || (buf == nullptr && len > 0))
        return fwFail(SOCK_INVALID_PARA, -1);
    const int fd = acquireFd(CONN_STATUS_SEND_SHUT);
    if (fd == -1)
    {
        fwLog(LOG_LEVEL_ERROR, "Send failed. Socket [%d] not yet connected to [%s:%d].", getFdForLog(),
              m_peerAddressTxt, m_peerLboPortNum);
        return fwFail(CONN_CLOSED, -1);
    }
    // MSG_NOSIGNAL: a peer that reset must fail this call, not kill the process.
    const ssize_t sent = ::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    const int error = errno;
    releaseFd();
    done = static_cast<int>(sent);
    if (sent >= 0)
        return 0;
    switch (error)
    {
    case EAGAIN:
        return fwFail(WOULD_BLOCK, -1);
    case ECONNABORTED:
    case ECONNRESET:
        return fwFail(CONN_CLOSED, -1);
    case EINTR:
        done = 0;
        return 0;
    default:
    {
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] sending data stream to [%s:%d] on socket [%d]. %s", error,
              m_peerAddressTxt, m_peerLboPortNum, fd, SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(SEND_FAILED, -1);
    }
    }
}

int32 TcpDataSocket::receive(char* buf, int len, int& done)
{
    done = 0;
    // A zero-length read would return 0 and look like the peer's close.
    if (len <= 0 || buf == nullptr)
        return fwFail(SOCK_INVALID_PARA, -1);
    if ((getConnStatus() & CONN_STATUS_RECV_SHUT) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Receive failed. Socket [%d] not yet connected to [%s:%d].", m_fd, m_peerAddressTxt,
              m_peerLboPortNum);
        return fwFail(CONN_CLOSED, -1);
    }
    return received(::recv(m_fd, buf, static_cast<size_t>(len), 0), done);
}

int32 TcpDataSocket::receiveInto(const iovec* regions, int count, int& done)
{
    done = 0;
    if (regions == nullptr || count <= 0 || regions[0].iov_len == 0)
        return fwFail(SOCK_INVALID_PARA, -1);
    if ((getConnStatus() & CONN_STATUS_RECV_SHUT) != 0)
    {
        fwLog(LOG_LEVEL_ERROR, "Receive failed. Socket [%d] not yet connected to [%s:%d].", m_fd, m_peerAddressTxt,
              m_peerLboPortNum);
        return fwFail(CONN_CLOSED, -1);
    }
    return received(::readv(m_fd, regions, count), done);
}

int32 TcpDataSocket::received(ssize_t n, int& done)
{
    done = static_cast<int>(n);
    if (n > 0)
        return 0;
    if (n == 0)
        return fwFail(CONN_CLOSED, -1);
    const int error = errno;
    switch (error)
    {
    case EAGAIN:
        return fwFail(WOULD_BLOCK, -1);
    case ECONNABORTED:
    case ECONNRESET:
        return fwFail(CONN_CLOSED, -1);
    case EINTR:
        done = 0;
        return 0;
    default:
    {
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] receiving data stream from [%s:%d] on socket [%d]. %s", error,
              m_peerAddressTxt, m_peerLboPortNum, m_fd, SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(RECV_FAILED, -1);
    }
    }
}

int32 TcpDataSocket::reinitialize(bool blockMode)
{
    if (!m_outgoingConnection)
    {
        fwLog(LOG_LEVEL_ERROR, "Not allow to re-initialize an incoming connected socket object.");
        return fwFail(CONN_FAILED, -1);
    }
    if (isConnected())
    {
        fwLog(LOG_LEVEL_ERROR, "Not allow to re-initialize a connected socket object.");
        return fwFail(ALREADY_CONNECTED, -1);
    }
    // A descriptor that never connected is still held here; replacing it
    // without closing would leak it.
    closeDescriptor();
    m_blockMode = blockMode;
    m_disconnectEvent.store(false, std::memory_order_release);
    m_validLocalBinding = false;

    char text[ERROR_TEXT_LEN];
    setFd(SocketCalls::createSocket(SOCK_STREAM));
    if (m_fd == -1)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Failed to create socket in reinitialize(), Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(SOCK_ERROR, -1);
    }
    // The same local address as initialize, also when initialize never ran.
    return bindLocal(" in reinitialize()");
}

int32 TcpDataSocket::assignSocketFd(int fd, bool blockMode)
{
    if (isConnected())
    {
        fwLog(LOG_LEVEL_ERROR, "Not allow to assign a descriptor to a connected socket object");
        return fwFail(ALREADY_CONNECTED, -1);
    }
    if (m_fd != fd)
        closeDescriptor();
    setFd(fd);
    m_blockMode = blockMode;
    m_validLocalBinding = true;

    char text[ERROR_TEXT_LEN];
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting peer address at sock [%d]. %s", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    m_peerIpAddr = peer.sin_addr.s_addr;
    m_peerPortNum = peer.sin_port;
    if (::inet_ntop(AF_INET, &peer.sin_addr, m_peerAddressTxt, sizeof(m_peerAddressTxt)) == nullptr)
        m_peerAddressTxt[0] = '\0';
    m_peerLboPortNum = ntohs(peer.sin_port);

    if (!m_blockMode && SocketCalls::setBlockMode(m_fd, false) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting the data sock [%d] to non-block. %s", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    if (setSendBufSize(m_sendBufSize) != 0 || setRecvBufSize(m_recvBufSize) != 0)
        return failSetup();
    enableConnectionOptions();
    m_connStatus.store(CONN_STATUS_CONNECTED, std::memory_order_release);
    return 0;
}

int32 TcpDataSocket::reassignSocketFd(int lowestFd, int& newFd)
{
    // F_DUPFD_CLOEXEC: plain F_DUPFD would drop close-on-exec on the copy.
    const int moved = ::fcntl(m_fd, F_DUPFD_CLOEXEC, lowestFd);
    if (moved == -1)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] reassigning socket descriptor for socket [%d]. [%s]", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(error == EINVAL || error == EMFILE ? SOCK_MAX_FD_REACHED : SOCK_ERROR, -1);
    }
    fwLog(LOG_LEVEL_DEBUG, "The socket [%d] is reassigned to [%d].", m_fd, moved);
    const int old = m_fd;
    setFd(moved);
    // A thread that took the old number before the move is done with it
    // before it is closed.
    waitForUsers(old);
    ::close(old);
    newFd = moved;
    return 0;
}

int32 TcpDataSocket::setBlockMode(bool blockMode)
{
    m_blockMode = blockMode;
    if (SocketCalls::setBlockMode(m_fd, blockMode) != 0)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting the data sock [%d] block mode to [%d]. %s", error, m_fd, blockMode,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(SOCK_ERROR, -1);
    }
    return 0;
}

int32 TcpDataSocket::getPeer(uint32& addr, uint16& port) const
{
    if (!isConnected())
    {
        fwLog(LOG_LEVEL_ERROR, "Get Peer name failed. Socket [%d] not yet connected", getFdForLog());
        return fwFail(CONN_CLOSED, -1);
    }
    addr = m_peerIpAddr;
    port = m_peerPortNum;
    return 0;
}

int32 TcpDataSocket::setSendBufSize(int32 size)
{
    const SocketCalls::BufSizeResult result = SocketCalls::applyBufSize(m_fd, SO_SNDBUF, size);
    char text[ERROR_TEXT_LEN];
    switch (result.step)
    {
    case SocketCalls::BUF_DEFAULT_READ_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting the system default send buffer size of TCP socket [%d]. %s",
              result.error, m_fd, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DEFAULT_USED:
        fwLog(LOG_LEVEL_DEBUG, "Use the system default send buffer size [%d] for TCP socket [%d]", result.value, m_fd);
        return 0;
    case SocketCalls::BUF_SET_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting send buffer size for TCP socket [%d]. %s", result.error, m_fd,
              SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_READ_BACK_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting revised send buffer size of TCP socket [%d]. %s", result.error,
              m_fd, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DIFFERS:
        fwLog(LOG_LEVEL_INFO, "The send buffer size is set to [%d] for TCP socket [%d]. Expected [%d].", result.value,
              m_fd, size);
        return 0;
    case SocketCalls::BUF_AS_REQUESTED:
        fwLog(LOG_LEVEL_DEBUG, "The send buffer size is set to [%d] for TCP socket [%d].", result.value, m_fd);
        return 0;
    }
    return -1;
}

int32 TcpDataSocket::setRecvBufSize(int32 size)
{
    const SocketCalls::BufSizeResult result = SocketCalls::applyBufSize(m_fd, SO_RCVBUF, size);
    char text[ERROR_TEXT_LEN];
    switch (result.step)
    {
    case SocketCalls::BUF_DEFAULT_READ_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting the system default receive buffer size of TCP socket [%d]. %s",
              result.error, m_fd, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DEFAULT_USED:
        fwLog(LOG_LEVEL_DEBUG, "Use the system default receive buffer size [%d] for TCP socket [%d]", result.value,
              m_fd);
        return 0;
    case SocketCalls::BUF_SET_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting receive buffer size for TCP socket [%d]. %s", result.error, m_fd,
              SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_READ_BACK_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting revised receive buffer size of TCP socket [%d]. %s", result.error,
              m_fd, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DIFFERS:
        fwLog(LOG_LEVEL_INFO, "The receive buffer size is set to [%d] for TCP socket [%d]. Expected [%d].",
              result.value, m_fd, size);
        return 0;
    case SocketCalls::BUF_AS_REQUESTED:
        fwLog(LOG_LEVEL_DEBUG, "The receive buffer size is set to [%d] for TCP socket [%d].", result.value, m_fd);
        return 0;
    }
    return -1;
}

int32 TcpDataSocket::getPeerBySockFd(int fd, uint32& addr, uint16& port)
{
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET)
        return fwFail(SOCK_ERROR, -1);
    addr = peer.sin_addr.s_addr;
    port = peer.sin_port;
    return 0;
}

bool TcpDataSocket::isValidAddr(const char* text)
{
    in_addr_t addr = 0;
    return SocketCalls::parseAddr(text, addr);
}

bool TcpDataSocket::isValidInterfaceAddr(const char* text)
{
    in_addr_t wanted = 0;
    return SocketCalls::parseAddr(text, wanted) && LocalAddr::isLocal(wanted);
}

bool TcpDataSocket::getInterfaceAddrBySubnet(uint32 subnet, uint32& addr)
{
    return LocalAddr::bySubnet(subnet, addr);
}

bool TcpDataSocket::getInterfaceAddrBySubnet(const char* subnetTxt, char* addrTxt)
{
    if (addrTxt == nullptr)
        return false;
    addrTxt[0] = '\0';
    in_addr_t subnet = 0;
    uint32 addr = 0;
    if (!SocketCalls::parseAddr(subnetTxt, subnet) || !getInterfaceAddrBySubnet(subnet, addr))
        return false;
    in_addr found{};
    found.s_addr = addr;
    if (::inet_ntop(AF_INET, &found, addrTxt, INET_ADDRSTRLEN) == nullptr)
        addrTxt[0] = '\0';
    return true;
}

int32 TcpDataSocket::getLocalAddr(uint32* addrList, int max, int& count)
{
    count = 0;
    const int capacity = addrList != nullptr && max > 0 ? max : 0;
    bool tooMany = false;
    const bool listed = LocalAddr::forEach([&](in_addr_t addr, in_addr_t) {
        if (count == capacity)
            return tooMany = true;
        addrList[count++] = addr;
        return false;
    });
    if (!listed)
        return fwFail(NET_INTERFACE_ERROR, -1);
    return tooMany ? fwFail(MSL_TOO_MANY_LOCAL_ADDR, -1) : 0;
}

void TcpDataSocket::enableConnectionOptions()
{
    char text[ERROR_TEXT_LEN];
    if (SocketCalls::setIntOption(m_fd, SOL_SOCKET, SO_KEEPALIVE, 1) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] enabling keepalive timer on socket [%d]. %s. Continue anyway.", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
    }
    if (SocketCalls::setIntOption(m_fd, IPPROTO_TCP, TCP_NODELAY, 1) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] disabling Nagle algorithm on socket [%d]. %s. Continue anyway.", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
    }
}

int32 TcpDataSocket::failSetup()
{
    closeDescriptor();
    m_validLocalBinding = false;
    return fwFail(SOCK_ERROR, -1);
}

void TcpDataSocket::setFd(int fd)
{
    m_fd = fd;
    m_sharedFd.store(fd, std::memory_order_seq_cst);
}

// Counted first, status and number read second; a closer changes the status
// (or the number) first and reads the count second. Of two such threads one
// always sees the other's write: the user turns back, or the closer waits.
int TcpDataSocket::acquireFd(int32 closedBits)
{
    // Turned away already: not counted, so that callers that keep trying
    // never hold up a closer waiting for the count to fall to 0.
    if ((m_connStatus.load(std::memory_order_acquire) & closedBits) == closedBits)
        return -1;
    m_users.fetch_add(1, std::memory_order_seq_cst);
    const int fd = m_sharedFd.load(std::memory_order_seq_cst);
    if (fd == -1 || (m_connStatus.load(std::memory_order_seq_cst) & closedBits) == closedBits)
    {
        releaseFd();
        return -1;
    }
    return fd;
}

void TcpDataSocket::releaseFd()
{
    // The last one out wakes a closer that sleeps on the count.
    if (m_users.fetch_sub(1, std::memory_order_seq_cst) == 1 && m_closerWaits.load(std::memory_order_seq_cst))
        m_users.notify_all();
}

void TcpDataSocket::waitForUsers(int fd)
{
    if (m_users.load(std::memory_order_seq_cst) == 0)
        return;
    // A blocking send may wait for the peer indefinitely: shut down, it
    // returns. A non-blocking one returns at once anyway.
    if (m_blockMode)
        ::shutdown(fd, SHUT_RDWR);
    for (int32 spins = 0; spins < CLOSER_SPINS; ++spins)
    {
        if (m_users.load(std::memory_order_acquire) == 0)
            return;
        cpuRelax();
    }
    // Asleep until the last one leaves: a user that lost its processor
    // mid-send gets it back sooner than by yielding to it.
    m_closerWaits.store(true, std::memory_order_seq_cst);
    for (int32 users = m_users.load(std::memory_order_seq_cst); users != 0;
         users = m_users.load(std::memory_order_seq_cst))
        m_users.wait(users, std::memory_order_seq_cst);
    m_closerWaits.store(false, std::memory_order_relaxed);
}

void TcpDataSocket::closeDescriptor()
{
    if (m_fd == -1)
        return;
    const int fd = m_fd;
    setFd(-1);
    waitForUsers(fd);
    ::close(fd);
}
