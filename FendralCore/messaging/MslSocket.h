// What the messaging service needs of one multicast socket of its protocol:
// send a datagram to the socket's group, receive datagrams with their sender,
// join and leave the group, and something its multiplexer can wait on. The
// service opens every socket through a factory, so that a process runs on
// real multicast sockets and a test on an in-memory fabric of its own.
//
// A datagram longer than the receiver's buffer is never handed over cut: it
// is counted (truncatedCount) and dropped.
//
// A socket belongs to the messaging service thread that opened it.
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/MulticastLoopback.h"

#include <memory>
#include <netinet/in.h>

class FileDescriptor;

// One receive slot of a batch: the caller's buffer, then the datagram's
// length and sender. The slots of one batch have one capacity.
struct MslDatagramSlot
{
    char* buf;
    int32 capacity;
    int32 length;
    sockaddr_in from;
};

// How a socket is opened: always for sending and receiving, on the
// interface (empty: any), with the group and port (host order), TTL,
// loopback rule and buffer sizes (-1: the system's).
struct MslSocketSpec
{
    IpAddress interfaceTxt;
    IpAddress groupTxt;
    uint16 port;
    uint16 ttl;
    MulticastLoopback loopback;
    int32 sendBufSize;
    int32 recvBufSize;
};

class MslSocket
{
public:
    virtual ~MslSocket() = default;

    // What the multiplexer waits on for reading; it carries the service's
    // user pointer (FileDescriptor::setInfoPtr).
    virtual FileDescriptor* waitable() = 0;

    // One datagram to the group: 0, or -1 with WOULD_BLOCK when the send
    // buffer is full, another code on failure.
    virtual int32 send(const char* buf, int32 len) = 0;
    // One datagram: 0 with its length and sender; -1 with WOULD_BLOCK when
    // none is waiting, another code on failure.
    virtual int32 receive(char* buf, int32 capacity, int32& length, sockaddr_in& from) = 0;
    // Up to n datagrams into slots[0..count): 0, or -1 as receive (count 0).
    virtual int32 receiveBatch(MslDatagramSlot* slots, int32 n, int32& count) = 0;

    virtual int32 join() = 0;
    virtual int32 leave() = 0;

    // Datagrams dropped because they did not fit the receiver's buffer.
    virtual uint64 truncatedCount() const = 0;
};

class MslSocketFactory
{
public:
    virtual ~MslSocketFactory() = default;

    // An open socket, or null with the framework error code set and logged.
    virtual std::unique_ptr<MslSocket> open(const MslSocketSpec& spec) = 0;
};
