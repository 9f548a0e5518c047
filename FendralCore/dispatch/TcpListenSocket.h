// A passive IPv4 TCP socket of a server channel. The network receiver binds
// it, starts listening and, each time it is readable, accepts one connection
// into a TcpDataSocket. Used by that thread only.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"
#include "FendralCore/foundation/FwTypes.h"

#include <netinet/in.h>

class TcpDataSocket;

class TcpListenSocket : public FileDescriptor
{
public:
    // The listen backlog, from the framework configuration.
    static constexpr const char* PENDING_CONN_QUEUE_LEN_LABEL = "CONN_QUEUE_LEN";
    static constexpr int32 DEFAULT_CONN_QUEUE_LEN = 5;

    // Port in host order; an empty or unparsable interface means any.
    TcpListenSocket(const char* interfaceAddrTxt, uint16 localPort, bool blockMode);
    ~TcpListenSocket() override = default;

    // A listen socket moves no data: both do nothing and return 0.
    int32 send(char* buf, int len, int& done) override;
    int32 receive(char* buf, int len, int& done) override;

    // Reads the backlog, address reuse, bind.
    int32 initialize();
    int32 startListen();
    // Accepts one connection into dataSocket (see TcpDataSocket::assignSocketFd):
    // 0, or -1 with WOULD_BLOCK or ACCEPT_CONN_FAILED.
    int32 acceptConnRqs(TcpDataSocket& dataSocket);
    // Accepts one connection and returns its descriptor, or -1.
    int32 acceptConnRqs();

    bool isListening() const { return m_listening; }
    // Closes the socket now; the object may still be named by a pass's ready list.
    void closeNow();
    int32 getMaxPendingConn() const { return m_maxPendingConn; }
    // The system's error number of the last failed set-up step (socket,
    // options, bind, listen), 0 when none failed: what the channel's owner
    // is told as the cause.
    int osError() const { return m_osError; }

private:
    bool m_blockMode;
    bool m_listening = false;
    int32 m_maxPendingConn = DEFAULT_CONN_QUEUE_LEN;
    in_port_t m_portNum;
    in_addr_t m_interfaceAddr;
    int m_osError = 0;

    // accept with the failures mapped and logged; the new descriptor or -1.
    int acceptOne();
    int32 failSetup();
};
