// One IPv4 TCP connection of the framework: a client connection that the
// network receiver binds, connects and re-arms after each drop, or a
// connection accepted by a TcpListenSocket (or wrapped from a descriptor).
//
// The network receiver owns connecting, receiving, shutting and closing.
// Application threads send on the same socket through their dispatchers (and
// ask the network receiver to shut its sending side after a failed send), so
// the connection status and the close flag are atomic, and the descriptor is
// closed only once no other thread is inside a send on it: a send never
// reaches a number that was closed and given to another file. The static address operations serve the
// registry, the parameter validator and the framework start-up; they touch no
// socket object.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"
#include "FendralCore/foundation/FwTypes.h"

#include <atomic>
#include <netinet/in.h>
#include <sys/uio.h>

enum CloseDirection : int32
{
    CLOSE_RD = 0,
    CLOSE_WR = 1,
    CLOSE_RDWR = 2,
};

// Bits of the connection status: 0 connected both ways, each shut direction
// adds its bit; 7 not connected at all.
enum ConnectStatus : int32
{
    CONN_STATUS_CONNECTED = 0,
    CONN_STATUS_RECV_SHUT = 1,
    CONN_STATUS_SEND_SHUT = 2,
    CONN_STATUS_NOT_CONNECTED = 7,
};

class TcpDataSocket : public FileDescriptor
{
public:
    // The client form: a stream socket to remoteAddrTxt:remotePort, later bound
    // to interfaceAddrTxt:localPort by initialize. Ports in host order; an
    // empty or unparsable interface means any.
    TcpDataSocket(const char* remoteAddrTxt, uint16 remotePort, const char* interfaceAddrTxt, uint16 localPort,
                  bool blockMode, int32 sendBufSize, int32 recvBufSize);
    // The unbound form, filled by TcpListenSocket::acceptConnRqs.
    TcpDataSocket(int32 sendBufSize, int32 recvBufSize);
    // Wraps a connected descriptor (see assignSocketFd).
    TcpDataSocket(int fd, bool blockMode, int32 sendBufSize, int32 recvBufSize);
    ~TcpDataSocket() override;

    // One send with MSG_NOSIGNAL: 0 with done = bytes sent (possibly fewer
    // than len); 0 with done 0 when interrupted; -1 with WOULD_BLOCK,
    // CONN_CLOSED, SEND_FAILED or SOCK_INVALID_PARA. Any thread.
    int32 send(char* buf, int len, int& done) override;
    // One recv: 0 with done > 0; 0 with done 0 when interrupted; -1 with
    // CONN_CLOSED (also when the peer closed), WOULD_BLOCK, RECV_FAILED or
    // SOCK_INVALID_PARA.
    int32 receive(char* buf, int len, int& done) override;
    // The same as one read into count regions filled in order (a ring's
    // free room that wraps), so that one call takes what they hold.
    int32 receiveInto(const iovec* regions, int count, int& done);

    // Buffer sizes, address reuse and the bind of the client form.
    int32 initialize();
    // 0 when connected at once; -1 with WOULD_BLOCK while in progress (wait
    // for writability, then checkConnectResult), CONN_FAILED or INVALID_SOCKET.
    int32 connect();
    int32 checkConnectResult();
    // Closes a connected socket's descriptor, once sends under way on other
    // threads have returned.
    void disconnect();
    // Closes the descriptor of a socket whose connect failed.
    void closeOnConnectFailure();
    // Shuts one or both directions; the descriptor stays open. The network
    // receiver's thread only.
    void shutdown(CloseDirection direction);
    // A fresh descriptor bound to the same local address, for a client socket
    // that is not connected.
    int32 reinitialize(bool blockMode);
    // Takes a connected descriptor; on failure it is closed.
    int32 assignSocketFd(int fd, bool blockMode);
    // Moves the descriptor to the lowest free number at or above lowestFd.
    int32 reassignSocketFd(int lowestFd, int& newFd);
    int32 setBlockMode(bool blockMode);
    // The peer in network order; -1 with CONN_CLOSED when not connected.
    int32 getPeer(uint32& addr, uint16& port) const;
    bool isConnected() const { return getConnStatus() != CONN_STATUS_NOT_CONNECTED; }

    // Buffer sizes: negative keeps the system's (and logs it); -1 when the
    // system refuses or cannot be read.
    int32 setSendBufSize(int32 size);
    int32 setRecvBufSize(int32 size);

    int32 getConnStatus() const { return m_connStatus.load(std::memory_order_acquire); }
    bool hasDisconnectEvent() const { return m_disconnectEvent.load(std::memory_order_acquire); }
    bool hasValidLocalBinding() const { return m_validLocalBinding; }
    bool isOutgoingConnection() const { return m_outgoingConnection; }
    bool getBlockMode() const { return m_blockMode; }
    const char* getPeerAddressTxt() const { return m_peerAddressTxt; }
    uint16 getPeerLboPortNum() const { return m_peerLboPortNum; }
    // The descriptor number for the log lines of other threads than the
    // network receiver's (-1 once closed); they never use it otherwise.
    int32 getFdForLog() const { return m_sharedFd.load(std::memory_order_relaxed); }

    // The peer of any descriptor, in network order; -1 with SOCK_ERROR.
    static int32 getPeerBySockFd(int fd, uint32& addr, uint16& port);
    // The text is a dotted IPv4 address.
    static bool isValidAddr(const char* text);
    // The text is a dotted IPv4 address that a local interface carries.
    static bool isValidInterfaceAddr(const char* text);
    // The first local IPv4 address whose value masked with its netmask equals
    // subnet (both in network order).
    static bool getInterfaceAddrBySubnet(uint32 subnet, uint32& addr);
    // The same on texts; addrTxt holds at least 16 bytes and is left empty
    // when nothing matches.
    static bool getInterfaceAddrBySubnet(const char* subnetTxt, char* addrTxt);
    // Every local IPv4 address, in network order and interface-list order:
    // -1 with NET_INTERFACE_ERROR when the list cannot be read, or with
    // MSL_TOO_MANY_LOCAL_ADDR after filling max when there are more.
    static int32 getLocalAddr(uint32* addrList, int max, int& count);

private:
    // The outcome of one read as receive reports it.
    int32 received(ssize_t n, int& done);
    int32 bindLocal(const char* where);
    bool m_blockMode = false;
    std::atomic<bool> m_disconnectEvent{false};
    bool m_validLocalBinding = false;
    bool m_outgoingConnection = false;
    std::atomic<int32> m_connStatus{CONN_STATUS_NOT_CONNECTED};
    IpAddress m_peerAddressTxt{};
    uint16 m_peerLboPortNum = 0;
    in_addr_t m_peerIpAddr = 0;
    in_port_t m_peerPortNum = 0;
    in_addr_t m_interfaceAddr = 0;
    in_port_t m_localPortNum = 0;
    int32 m_sendBufSize;
    int32 m_recvBufSize;
    sockaddr_in m_stLocal{};

    // Threads inside a send or a shutdown, each holding the descriptor it
    // read: a close waits for them (see closeDescriptor).
    std::atomic<int32> m_users{0};
    // A closer sleeps until m_users falls to 0 (only the network receiver
    // closes, so one at most).
    std::atomic<bool> m_closerWaits{false};
    // m_fd as other threads read it.
    std::atomic<int32> m_sharedFd{-1};

    // Options of a fresh connection; their failures are logged and ignored.
    void enableConnectionOptions();
    // A failed set-up step: close, forget the descriptor, SOCK_ERROR.
    int32 failSetup();
    void setFd(int fd);
    // The descriptor for a thread about to use it, or -1 (and nothing held)
    // when there is none or the status has every bit of closedBits set;
    // releaseFd after use.
    int acquireFd(int32 closedBits);
    void releaseFd();
    // Returns once no thread holds the descriptor fd any more (callers have
    // made new ones turn back or take another number first).
    void waitForUsers(int fd);
    // Closes and forgets the descriptor, once the threads that hold it are
    // done with it.
    void closeDescriptor();
};
