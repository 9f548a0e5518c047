#include "FendralCore/messaging/MslMcastSocket.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <algorithm>

MslMcastSocket::MslMcastSocket(const MslSocketSpec& spec)
    : m_socket(MULTICAST_SEND_RECV, spec.interfaceTxt, spec.groupTxt, spec.port, false, spec.ttl, spec.loopback,
               spec.sendBufSize, spec.recvBufSize)
{
}

int32 MslMcastSocket::initialize()
{
    if (m_socket.getFileDescriptor() < 0)
        return fwFail(SOCK_ERROR, -1);
    return m_socket.initialize();
}

int32 MslMcastSocket::send(const char* buf, int32 len)
{
    int done = 0;
    // sendto only reads the bytes.
    return m_socket.send(const_cast<char*>(buf), len, done);
}

int32 MslMcastSocket::receive(char* buf, int32 capacity, int32& length, sockaddr_in& from)
{
    int done = 0;
    const int32 result = m_socket.receive(buf, capacity, done, &from);
    length = result == 0 ? done : 0;
    return result;
}

int32 MslMcastSocket::receiveBatch(MslDatagramSlot* slots, int32 n, int32& count)
{
    count = 0;
    n = std::min(n, BATCH_MAX);
    for (int32 i = 0; i < n; ++i)
    {
        m_iov[i].iov_base = slots[i].buf;
        m_iov[i].iov_len = static_cast<size_t>(slots[i].capacity);
        m_msgs[i].msg_hdr = msghdr{};
        m_msgs[i].msg_hdr.msg_iov = &m_iov[i];
        m_msgs[i].msg_hdr.msg_iovlen = 1;
        m_msgs[i].msg_hdr.msg_name = &slots[i].from;
        m_msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        m_msgs[i].msg_len = 0;
    }
    int received = 0;
    if (m_socket.receiveMultiMsg(m_msgs, n, received) != 0)
        return -1;
    // Whole datagrams come first; each entry still names its own slot, which
    // may have moved: copy back into slot order.
    for (int32 i = 0; i < received; ++i)
    {
        const auto* iov = m_msgs[i].msg_hdr.msg_iov;
        const int32 slot = static_cast<int32>(iov - m_iov);
        if (slot != i)
        {
            std::copy_n(slots[slot].buf, m_msgs[i].msg_len, slots[i].buf);
            slots[i].from = slots[slot].from;
        }
        slots[i].length = static_cast<int32>(m_msgs[i].msg_len);
    }
    count = received;
    return 0;
}

std::unique_ptr<MslSocket> MslMcastSocketFactory::open(const MslSocketSpec& spec)
{
    auto socket = std::make_unique<MslMcastSocket>(spec);
    if (socket->initialize() != 0)
        return nullptr;
    return socket;
}
