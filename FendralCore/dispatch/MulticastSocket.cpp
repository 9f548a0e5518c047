#include "FendralCore/dispatch/MulticastSocket.h"

#include "FendralCore/dispatch/SocketCalls.h"
#include "FendralCore/foundation/ConfigManager.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/GlobalData.h"
#include "FendralCore/foundation/LogLevels.h"
#include "FendralCore/runtime/FwLog.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace
{
constexpr int ERROR_TEXT_LEN = 128;

bool loopbackFromConfiguration()
{
    int32 value = MulticastSocket::DEFAULT_MULTICAST_LOOPBACK_VALUE;
    if (const ConfigManager* config = GlobalData::getInst().getConfigManager(); config != nullptr)
        config->getInt32ConfigPara(MulticastSocket::MULTICAST_LOOPBACK_LABEL, value,
                                   MulticastSocket::DEFAULT_MULTICAST_LOOPBACK_VALUE);
    return value != 0;
}

bool isPowerOfTwo(uint64 value)
{
    return (value & (value - 1)) == 0;
}
} // namespace

MulticastSocket::MulticastSocket(MulticastDirection direction, const char* interfaceAddrTxt, const char* groupAddrTxt,
                                 uint16 port, bool blockMode, uint16 ttl, MulticastLoopback loopback,
                                 int32 sendBufSize, int32 recvBufSize)
    : FileDescriptor(MULTICAST_SOCKET), m_blockMode(blockMode), m_ttl(ttl), m_mdir(direction),
      m_portNum(htons(port)), m_interfaceAddr(SocketCalls::interfaceAddr(interfaceAddrTxt)),
      m_sendBufSize(sendBufSize), m_recvBufSize(recvBufSize)
{
    fwLog(LOG_LEVEL_DEBUG,
          "Multicast Socket DIR:[%d] INTERFACE:[%s] MCAST:[%s] PORT:[%d] BLOCK:[%d] TTL:[%d] LOOPBACK:[%d] "
          "SEND_BUF:[%d] RECV_BUF:[%d].",
          direction, interfaceAddrTxt != nullptr ? interfaceAddrTxt : "", groupAddrTxt != nullptr ? groupAddrTxt : "",
          port, blockMode, ttl, loopback, sendBufSize, recvBufSize);
    if (loopback == GLOBAL_MCAST_LOOPBACK_SETTING)
        m_mcastLoopback = loopbackFromConfiguration();
    else
        m_mcastLoopback = loopback == ENABLE_MCAST_LOOPBACK;
    m_fd = SocketCalls::createSocket(SOCK_DGRAM);
    if (m_fd == -1)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Failed to create socket in MulticastSocket(), Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
    }
    SocketCalls::parseAddr(groupAddrTxt, m_multicastAddr);
    m_bindAddr = m_multicastAddr;
}

void MulticastSocket::setLocalBindAddr(const char* addrTxt)
{
    m_bindAddr = 0;
    SocketCalls::parseAddr(addrTxt, m_bindAddr);
}

bool MulticastSocket::isDirected() const
{
    return !IN_MULTICAST(ntohl(m_bindAddr));
}

int32 MulticastSocket::initialize()
{
    char text[ERROR_TEXT_LEN];
    if (!m_blockMode && SocketCalls::setBlockMode(m_fd, false) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting the sock [%d] to non-block. %s", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    if (SocketCalls::setIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, 1) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "setsockopt() SO_REUSEADDR failed, Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return failSetup();
    }
    switch (m_mdir)
    {
    case MULTICAST_RECEIVE:
        if (setRecvBufSize(m_recvBufSize) != 0 || bindToGroup() != 0)
            return failSetup();
        return 0;
    case MULTICAST_SEND:
        if (setSendBufSize(m_sendBufSize) != 0 || setSendOptions() != 0)
            return failSetup();
        return 0;
    case MULTICAST_SEND_RECV:
        if (setRecvBufSize(m_recvBufSize) != 0 || setSendBufSize(m_sendBufSize) != 0 || bindToGroup() != 0 ||
            setSendOptions() != 0)
            return failSetup();
        return 0;
    }
    fwLog(LOG_LEVEL_ERROR, "Invalid multicast direction [%d] for socket [%d].", m_mdir, m_fd);
    return failSetup();
}

int32 MulticastSocket::bindToGroup()
{
    // Only the groups this socket joined: by default a socket bound to a
    // group still receives it, after a leave or before its join, while any
    // other socket on the host is a member.
    if (!isDirected() && SocketCalls::setIntOption(m_fd, IPPROTO_IP, IP_MULTICAST_ALL, 0) != 0)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_NOTICE, "setsockopt() IP_MULTICAST_ALL on multicast socket [%d] failed, Err: %d. %s", m_fd,
              error, SocketCalls::errorText(error, text, sizeof(text)));
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = m_bindAddr;
    local.sin_port = m_portNum;
    if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "bind() failed, Err: %d. %s", error, SocketCalls::errorText(error, text, sizeof(text)));
        return -1;
    }
    return 0;
}

int32 MulticastSocket::setSendOptions()
{
    char text[ERROR_TEXT_LEN];
    if (setTtlOption(m_ttl == 0 ? DEFAULT_MULTICAST_TTL : m_ttl) != 0)
        return -1;
    const unsigned char loop = m_mcastLoopback ? 1 : 0;
    if (::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "setsockopt() IP_MULTICAST_LOOP failed, Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return -1;
    }
    in_addr interface{};
    interface.s_addr = m_interfaceAddr;
    if (::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof(interface)) != 0)
    {
        const int error = errno;
        fwLog(LOG_LEVEL_ERROR, "setsockopt() IP_MULTICAST_IF failed, Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return -1;
    }
    m_stTo = sockaddr_in{};
    m_stTo.sin_family = AF_INET;
    m_stTo.sin_addr.s_addr = m_multicastAddr;
    m_stTo.sin_port = m_portNum;
    return 0;
}

int32 MulticastSocket::setTtlOption(uint16 ttl)
{
    // The option holds one byte: a larger value would silently wrap.
    if (ttl > MAX_MULTICAST_TTL)
    {
        fwLog(LOG_LEVEL_ERROR, "Multicast TTL [%d] for socket [%d] is above [%d].", ttl, m_fd, MAX_MULTICAST_TTL);
        return fwFail(SOCK_INVALID_PARA, -1);
    }
    const unsigned char value = static_cast<unsigned char>(ttl);
    if (::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof(value)) != 0)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "IP_MULTICAST_TTL failed, Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(SOCK_ERROR, -1);
    }
    return 0;
}

int32 MulticastSocket::join()
{
    if (!isReceiving())
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The multicast socket [%d] is not for reception. Ignore the add membership request and continue.", m_fd);
        return 0;
    }
    if (m_mcastGrpAdded)
    {
        fwLog(LOG_LEVEL_DEBUG,
              "The multicast socket [%d] has already joined the multicast group. Ignore the add membership request "
              "and continue.",
              m_fd);
        return 0;
    }
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = m_multicastAddr;
    membership.imr_interface.s_addr = m_interfaceAddr;
    if (::setsockopt(m_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) != 0)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "setsockopt() IP_ADD_MEMBERSHIP failed, Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(error == EINVAL ? SOCK_INVALID_PARA : SOCK_ERROR, -1);
    }
    m_mcastGrpAdded = true;
    return 0;
}

int32 MulticastSocket::leave()
{
    if (!isReceiving())
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The multicast descriptor [%d] is not for reception. Ignore the drop membership request and continue.",
              m_fd);
        return 0;
    }
    if (!m_mcastGrpAdded)
    {
        fwLog(LOG_LEVEL_NOTICE,
              "The multicast socket [%d] has not yet joined the multicast group. Ignore the drop membership request "
              "and continue.",
              m_fd);
        return 0;
    }
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = m_multicastAddr;
    membership.imr_interface.s_addr = m_interfaceAddr;
    if (::setsockopt(m_fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &membership, sizeof(membership)) != 0)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "setsockopt() IP_DROP_MEMBERSHIP failed, Err: %d. %s", error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(error == EINVAL ? SOCK_INVALID_PARA : SOCK_ERROR, -1);
    }
    m_mcastGrpAdded = false;
    return 0;
}

int32 MulticastSocket::send(char* buf, int len, int& done)
{
    done = 0;
    if (len < 0 || (buf == nullptr && len > 0))
        return fwFail(SOCK_INVALID_PARA, -1);
    for (;;)
    {
        const ssize_t sent = ::sendto(m_fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&m_stTo), sizeof(m_stTo));
        done = static_cast<int>(sent);
        if (sent >= 0)
        {
            if (sent < len)
                fwLog(LOG_LEVEL_INFO, "Size to send = [%d], size sent = [%d].", len, done);
            return 0;
        }
        const int error = errno;
        if (error == EAGAIN || error == EPERM)
            return fwFail(WOULD_BLOCK, -1);
        if (error == EINTR)
        {
            fwLog(LOG_LEVEL_INFO, "Interrupt occurred at sendto() on sock [%d]. Retry.", m_fd);
            continue;
        }
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "sendto() failed on sock [%d], Error: %d. %s", m_fd, error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(error == EINVAL ? SOCK_INVALID_PARA : SEND_FAILED, -1);
    }
}

int32 MulticastSocket::receive(char* buf, int len, int& done)
{
    return receive(buf, len, done, nullptr);
}

int32 MulticastSocket::receive(char* buf, int len, int& done, sockaddr_in* from)
{
    done = 0;
    if (len < 0 || (buf == nullptr && len > 0))
        return fwFail(SOCK_INVALID_PARA, -1);
    for (;;)
    {
        socklen_t fromLength = sizeof(sockaddr_in);
        // MSG_TRUNC makes the call report the datagram's whole length, so a
        // datagram larger than the buffer is seen and dropped, never passed on cut.
        const ssize_t received = ::recvfrom(m_fd, buf, static_cast<size_t>(len), MSG_TRUNC,
                                            reinterpret_cast<sockaddr*>(from), from != nullptr ? &fromLength : nullptr);
        if (received > len)
        {
            countTruncated(static_cast<int>(received), len);
            continue;
        }
        done = static_cast<int>(received);
        if (received >= 0)
            return 0;
        const int error = errno;
        if (error == EAGAIN)
            return fwFail(WOULD_BLOCK, -1);
        if (error == EINTR)
        {
            fwLog(LOG_LEVEL_INFO, "Interrupt occurred at recvfrom() on sock [%d]. Retry.", m_fd);
            continue;
        }
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "recvfrom() failed on sock [%d], Error: [%d]. %s", m_fd, error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(error == EINVAL ? SOCK_INVALID_PARA : RECV_FAILED, -1);
    }
}

int32 MulticastSocket::receiveMultiMsg(mmsghdr* vector, int n, int& count)
{
    count = 0;
    if (vector == nullptr || n <= 0)
        return fwFail(SOCK_INVALID_PARA, -1);
    for (;;)
    {
        // MSG_TRUNC: msg_len of a truncated datagram then tells its whole length.
        const int received = ::recvmmsg(m_fd, vector, static_cast<unsigned int>(n), MSG_TRUNC, nullptr);
        if (received >= 0)
        {
            // Whole datagrams move to the front in arrival order; each entry
            // keeps its own buffer and address slot.
            int kept = 0;
            for (int i = 0; i < received; ++i)
            {
                if ((vector[i].msg_hdr.msg_flags & MSG_TRUNC) != 0)
                {
                    size_t capacity = 0;
                    for (size_t v = 0; v < vector[i].msg_hdr.msg_iovlen; ++v)
                        capacity += vector[i].msg_hdr.msg_iov[v].iov_len;
                    countTruncated(static_cast<int>(vector[i].msg_len), static_cast<int>(capacity));
                    continue;
                }
                if (kept != i)
                    std::swap(vector[kept], vector[i]);
                ++kept;
            }
            count = kept;
            return 0;
        }
        const int error = errno;
        if (error == EAGAIN)
            return fwFail(WOULD_BLOCK, -1);
        if (error == EINTR)
        {
            fwLog(LOG_LEVEL_INFO, "Interrupt occurred at recvmmsg() on sock [%d]. Retry.", m_fd);
            continue;
        }
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "recvmmsg() failed on sock [%d], Error: [%d]. %s", m_fd, error,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(RECV_FAILED, -1);
    }
}

int32 MulticastSocket::setMcastTtl(uint16 ttl)
{
    if (m_mdir == MULTICAST_RECEIVE)
    {
        fwLog(LOG_LEVEL_NOTICE, "Attempt to set TTL on multicast socket [%d]. Ignore and continue.", m_fd);
        return 0;
    }
    if (ttl <= MAX_MULTICAST_TTL)
        m_ttl = ttl;
    return setTtlOption(ttl);
}

int32 MulticastSocket::setBlockMode(bool blockMode)
{
    if (blockMode == m_blockMode)
        return 0;
    m_blockMode = blockMode;
    if (SocketCalls::setBlockMode(m_fd, blockMode) != 0)
    {
        const int error = errno;
        char text[ERROR_TEXT_LEN];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] setting the sock [%d] to non-block. %s", error, m_fd,
              SocketCalls::errorText(error, text, sizeof(text)));
        return fwFail(SOCK_ERROR, -1);
    }
    return 0;
}

int32 MulticastSocket::setSendBufSize(int32 size)
{
    const SocketCalls::BufSizeResult result = SocketCalls::applyBufSize(m_fd, SO_SNDBUF, size);
    char text[ERROR_TEXT_LEN];
    switch (result.step)
    {
    case SocketCalls::BUF_DEFAULT_READ_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting the system default send buffer size of multicast socket [%d]. %s",
              result.error, m_fd, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DEFAULT_USED:
        fwLog(LOG_LEVEL_DEBUG, "Use the system default send buffer size [%d] for multicast socket [%d]", result.value,
              m_fd);
        return 0;
    case SocketCalls::BUF_SET_FAILED:
        fwLog(LOG_LEVEL_ERROR, "setsockopt() SO_SNDBUF for multicast socket [%d] failed, Err: %d. %s", m_fd,
              result.error, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_READ_BACK_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting send buffer size of multicast socket [%d]. %s", result.error, m_fd,
              SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DIFFERS:
        fwLog(LOG_LEVEL_INFO, "The send buffer size is set to [%d] for multicast socket [%d]. Expected [%d].",
              result.value, m_fd, size);
        return 0;
    case SocketCalls::BUF_AS_REQUESTED:
        fwLog(LOG_LEVEL_DEBUG, "The send buffer size is set to [%d] for multicast socket [%d].", result.value, m_fd);
        return 0;
    }
    return -1;
}

int32 MulticastSocket::setRecvBufSize(int32 size)
{
    const SocketCalls::BufSizeResult result = SocketCalls::applyBufSize(m_fd, SO_RCVBUF, size);
    char text[ERROR_TEXT_LEN];
    switch (result.step)
    {
    case SocketCalls::BUF_DEFAULT_READ_FAILED:
        fwLog(LOG_LEVEL_ERROR,
              "Error [%d] getting the system default receive buffer size of multicast socket [%d]. %s", result.error,
              m_fd, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DEFAULT_USED:
        fwLog(LOG_LEVEL_DEBUG, "Use the system default receive buffer size [%d] for multicast socket [%d]",
              result.value, m_fd);
        return 0;
    case SocketCalls::BUF_SET_FAILED:
        fwLog(LOG_LEVEL_ERROR, "setsockopt() SO_RCVBUF for multicast socket [%d] failed, Err: %d. %s", m_fd,
              result.error, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_READ_BACK_FAILED:
        fwLog(LOG_LEVEL_ERROR, "Error [%d] getting revised receive buffer size of multicast socket [%d]. %s",
              result.error, m_fd, SocketCalls::errorText(result.error, text, sizeof(text)));
        return -1;
    case SocketCalls::BUF_DIFFERS:
        fwLog(LOG_LEVEL_INFO, "The receive buffer size is set to [%d] for multicast socket [%d]. Expected [%d].",
              result.value, m_fd, size);
        return 0;
    case SocketCalls::BUF_AS_REQUESTED:
        fwLog(LOG_LEVEL_DEBUG, "The receive buffer size is set to [%d] for multicast socket [%d].", result.value,
              m_fd);
        return 0;
    }
    return -1;
}

void MulticastSocket::countTruncated(int length, int capacity)
{
    const uint64 dropped = m_truncatedCount.fetch_add(1, std::memory_order_relaxed) + 1;
    // A sender that keeps sending oversized datagrams must not flood the log.
    if (isPowerOfTwo(dropped))
        fwLog(LOG_LEVEL_NOTICE,
              "Truncated datagram of [%d] bytes dropped on multicast socket [%d]; the buffer holds [%d] bytes. "
              "Dropped so far: [%lu].",
              length, m_fd, capacity, static_cast<unsigned long>(dropped));
}

int32 MulticastSocket::failSetup()
{
    if (m_fd != -1)
        ::close(m_fd);
    m_fd = -1;
    return fwFail(SOCK_ERROR, -1);
}
