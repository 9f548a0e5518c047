// An in-memory multicast network for the messaging service's tests: hosts
// (one per source address) open sockets on it through their factory, and a
// datagram sent to a group and port reaches every socket of that group and
// port that joined it, on other hosts always and on the sender's own host
// when the sender's loopback is on. Faults can be injected: a seeded
// fraction of deliveries dropped, duplicated or held back behind the next
// datagram (reordered), and sends to a group refused as would-block.
//
// Thread-safe: the service's thread and the test's thread use it together.
#pragma once

#include "FendralCore/foundation/EventDescriptor.h"
#include "FendralCore/messaging/MslSocket.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class MslMemSocket;

class MslMemFabric
{
public:
    struct Faults
    {
        double drop = 0.0;
        double duplicate = 0.0;
        double reorder = 0.0;
        uint64 seed = 1;
    };

    // One host: every socket it opens sends from its address.
    class Host : public MslSocketFactory
    {
    public:
        Host(MslMemFabric& fabric, const std::string& addr) : m_fabric(fabric), m_addr(addr) {}
        std::unique_ptr<MslSocket> open(const MslSocketSpec& spec) override;
        const std::string& addr() const { return m_addr; }

    private:
        MslMemFabric& m_fabric;
        std::string m_addr;
    };

    MslMemFabric() = default;
    ~MslMemFabric();

    // The host of addr (made on first use; owned by the fabric).
    Host& host(const std::string& addr);
    void setFaults(const Faults& faults);
    // While set, every send to group:port fails with WOULD_BLOCK.
    void blockSends(const std::string& group, uint16 port, bool blocked);
    // While set, a datagram it returns true for reaches no receiver (a
    // test's own choice of loss; counted as dropped).
    void setDropFilter(std::function<bool(const char* bytes, int32 len)> filter);
    // Deliveries the faults dropped.
    uint64 numDropped() const;
    // Deliveries a full receive buffer dropped.
    uint64 numOverflowed() const;
    // A socket's receive buffer: twice the 4 MB the hosts give real sockets.
    static constexpr size_t INBOX_LIMIT_BYTES = 8u << 20;

private:
    friend class MslMemSocket;
    struct Datagram
    {
        std::string bytes;
        sockaddr_in from;
    };

    int32 send(MslMemSocket& from, const char* buf, int32 len);
    void attach(MslMemSocket* sock);
    void detach(MslMemSocket* sock);
    uint64 nextRandom();
    bool chance(double fraction);
    void deliver(MslMemSocket& to, const Datagram& d);

    mutable std::mutex m_mutex;
    std::map<std::string, std::unique_ptr<Host>> m_hosts;
    std::set<MslMemSocket*> m_sockets;
    std::set<std::pair<std::string, uint16>> m_blocked;
    Faults m_faults;
    std::function<bool(const char*, int32)> m_dropFilter;
    uint64 m_state = 1;
    uint64 m_numDropped = 0;
    uint64 m_numOverflowed = 0;
};

class MslMemSocket : public MslSocket
{
public:
    MslMemSocket(MslMemFabric& fabric, const std::string& hostAddr, const MslSocketSpec& spec);
    ~MslMemSocket() override;

    FileDescriptor* waitable() override { return &m_event; }
    int32 send(const char* buf, int32 len) override;
    int32 receive(char* buf, int32 capacity, int32& length, sockaddr_in& from) override;
    int32 receiveBatch(MslDatagramSlot* slots, int32 n, int32& count) override;
    int32 join() override;
    int32 leave() override;
    uint64 truncatedCount() const override;

    const std::string& group() const { return m_group; }
    uint16 port() const { return m_port; }
    bool joined() const;

private:
    friend class MslMemFabric;

    MslMemFabric& m_fabric;
    std::string m_hostAddr;
    std::string m_group;
    uint16 m_port;
    bool m_loopback;
    uint16 m_localPort;
    EventDescriptor m_event;
    // Guarded by the fabric's mutex.
    bool m_joined = false;
    std::deque<MslMemFabric::Datagram> m_inbox;
    // Bytes waiting in m_inbox: bounded as a socket's receive buffer is.
    size_t m_inboxBytes = 0;
    bool m_holding = false;
    MslMemFabric::Datagram m_held;
    uint64 m_truncated = 0;
};
