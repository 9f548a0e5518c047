// A UDP socket that sends to and/or receives from one IPv4 multicast group.
// The network receiver opens one per multicast channel and reads it in
// batches; an application thread sends on a sending channel's socket through
// its dispatcher; the messaging service uses it for its own channels.
// Directed (point-to-point) UDP uses the same socket: the "group" is then a
// unicast destination, and a receiving socket bound to a unicast address
// needs no membership (isDirected).
//
// A datagram longer than the caller's buffer is never handed over cut: it is
// counted (getTruncatedCount) and dropped.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/MulticastLoopback.h"

#include <atomic>
#include <netinet/in.h>

struct mmsghdr;

enum MulticastDirection : int32
{
    MULTICAST_SEND = 0,
    MULTICAST_RECEIVE = 1,
    MULTICAST_SEND_RECV = 2,
};

class MulticastSocket : public FileDescriptor
{
public:
    static constexpr const char* MULTICAST_LOOPBACK_LABEL = "MCAST_LOOPBACK";
    static constexpr int32 DEFAULT_MULTICAST_LOOPBACK_VALUE = 0;
    // Used by initialize when the TTL given is 0.
    static constexpr uint16 DEFAULT_MULTICAST_TTL = 8;
    static constexpr uint16 MAX_MULTICAST_TTL = 255;

    // Port in host order. An empty or unparsable interface means any; an
    // unparsable group is 0.0.0.0.
    MulticastSocket(MulticastDirection direction, const char* interfaceAddrTxt, const char* groupAddrTxt,
                    uint16 port, bool blockMode, uint16 ttl, MulticastLoopback loopback, int32 sendBufSize,
                    int32 recvBufSize);
    ~MulticastSocket() override = default;

    // One datagram to the group: 0 with done = bytes sent; -1 with
    // WOULD_BLOCK, SOCK_INVALID_PARA or SEND_FAILED. Interrupts are retried.
    int32 send(char* buf, int len, int& done) override;
    // One datagram: 0 with done = its length (0 for an empty one); -1 with
    // WOULD_BLOCK, SOCK_INVALID_PARA or RECV_FAILED. from (when not null)
    // receives the sender.
    int32 receive(char* buf, int len, int& done) override;
    int32 receive(char* buf, int len, int& done, sockaddr_in* from);
    // Up to n datagrams in one call: 0 with count = datagrams handed over.
    // Truncated ones are moved behind those, so vector[0..count) holds only
    // whole datagrams; each entry keeps its own buffers, so read an entry's
    // data through its own msg_hdr. count may be 0 when all were truncated.
    int32 receiveMultiMsg(mmsghdr* vector, int n, int& count);

    // Options, bind and destination by direction; the group is joined by join.
    int32 initialize();
    // Point-to-point receiving: bind to this local address (host's own,
    // 0.0.0.0 = any) instead of the destination. Call before initialize.
    void setLocalBindAddr(const char* addrTxt);
    // A receiving address that is not multicast: datagrams arrive without a
    // membership (join would fail), so the caller takes none.
    bool isDirected() const;
    int32 join();
    int32 leave();
    int32 setMcastTtl(uint16 ttl);
    int32 setBlockMode(bool blockMode);
    int32 setSendBufSize(int32 size);
    int32 setRecvBufSize(int32 size);

    MulticastDirection getDirection() const { return m_mdir; }
    bool isLoopbackEnabled() const { return m_mcastLoopback; }
    bool hasJoinedGroup() const { return m_mcastGrpAdded; }
    uint16 getTtl() const { return m_ttl; }
    // Datagrams dropped because they did not fit the caller's buffer.
    uint64 getTruncatedCount() const { return m_truncatedCount.load(std::memory_order_relaxed); }
    // Datagrams dropped because the owning thread had fallen so far behind
    // that the receiver's parked store for it was full (as the kernel drops
    // what a full socket buffer cannot take). Counted by the receiving
    // thread; a drop run starts with the first drop and ends with the next
    // datagram delivered.
    uint64 getOwnerBehindDropCount() const { return m_ownerBehindDrops.load(std::memory_order_relaxed); }
    // Counts one drop; true when it starts a run.
    bool countOwnerBehindDrop()
    {
        m_ownerBehindDrops.fetch_add(1, std::memory_order_relaxed);
        ++m_dropRun;
        return m_dropRun == 1;
    }
    // The length of the run that a delivery ends (0: none ran).
    uint64 endOwnerBehindDropRun()
    {
        const uint64 run = m_dropRun;
        if (run != 0) // the common case writes nothing
            m_dropRun = 0;
        return run;
    }

private:
    bool m_blockMode;
    bool m_mcastLoopback = false;
    bool m_mcastGrpAdded = false;
    uint16 m_ttl;
    MulticastDirection m_mdir;
    in_port_t m_portNum;
    in_addr_t m_interfaceAddr;
    in_addr_t m_multicastAddr = 0;
    in_addr_t m_bindAddr = 0;
    int32 m_sendBufSize;
    int32 m_recvBufSize;
    sockaddr_in m_stTo{};
    std::atomic<uint64> m_truncatedCount{0};
    std::atomic<uint64> m_ownerBehindDrops{0};
    uint64 m_dropRun = 0;

    bool isReceiving() const { return m_mdir == MULTICAST_RECEIVE || m_mdir == MULTICAST_SEND_RECV; }
    bool isSending() const { return m_mdir == MULTICAST_SEND || m_mdir == MULTICAST_SEND_RECV; }
    int32 bindToGroup();
    int32 setSendOptions();
    int32 setTtlOption(uint16 ttl);
    void countTruncated(int length, int capacity);
    int32 failSetup();
};
