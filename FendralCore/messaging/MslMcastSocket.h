// The messaging service's sockets on real IP multicast: each wraps one
// non-blocking MulticastSocket opened for sending and receiving. A batch
// receive is one recvmmsg call.
//
// Owned and used by the messaging service thread.
#pragma once

#include "FendralCore/dispatch/MulticastSocket.h"
#include "FendralCore/messaging/MslSocket.h"

#include <sys/socket.h>

class MslMcastSocket : public MslSocket
{
public:
    // The largest batch one receiveBatch call takes.
    static constexpr int32 BATCH_MAX = 128;

    explicit MslMcastSocket(const MslSocketSpec& spec);

    // 0 when the socket is open and set up, else -1 with the code (logged).
    int32 initialize();

    FileDescriptor* waitable() override { return &m_socket; }
    int32 send(const char* buf, int32 len) override;
    int32 receive(char* buf, int32 capacity, int32& length, sockaddr_in& from) override;
    int32 receiveBatch(MslDatagramSlot* slots, int32 n, int32& count) override;
    int32 join() override { return m_socket.join(); }
    int32 leave() override { return m_socket.leave(); }
    uint64 truncatedCount() const override { return m_socket.getTruncatedCount(); }

    MulticastSocket& socket() { return m_socket; }

private:
    MulticastSocket m_socket;
    mmsghdr m_msgs[BATCH_MAX]{};
    iovec m_iov[BATCH_MAX]{};
};

class MslMcastSocketFactory : public MslSocketFactory
{
public:
    std::unique_ptr<MslSocket> open(const MslSocketSpec& spec) override;
};
