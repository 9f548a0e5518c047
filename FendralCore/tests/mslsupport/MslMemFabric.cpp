#include "FendralCore/tests/mslsupport/MslMemFabric.h"

#include "FendralCore/foundation/FrameworkErrno.h"

#include <arpa/inet.h>
#include <cstring>
#include <sys/eventfd.h>

namespace
{
sockaddr_in addressOf(const std::string& addr, uint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}
} // namespace

// ---- fabric ----

MslMemFabric::~MslMemFabric() = default;

MslMemFabric::Host& MslMemFabric::host(const std::string& addr)
{
    std::lock_guard lock(m_mutex);
    auto& h = m_hosts[addr];
    if (h == nullptr)
        h = std::make_unique<Host>(*this, addr);
    return *h;
}

std::unique_ptr<MslSocket> MslMemFabric::Host::open(const MslSocketSpec& spec)
{
    return std::make_unique<MslMemSocket>(m_fabric, m_addr, spec);
}

void MslMemFabric::setFaults(const Faults& faults)
{
    std::lock_guard lock(m_mutex);
    m_faults = faults;
    m_state = faults.seed;
}

void MslMemFabric::blockSends(const std::string& group, uint16 port, bool blocked)
{
    std::lock_guard lock(m_mutex);
    if (blocked)
        m_blocked.insert({group, port});
    else
        m_blocked.erase({group, port});
}

uint64 MslMemFabric::numDropped() const
{
    std::lock_guard lock(m_mutex);
    return m_numDropped;
}

uint64 MslMemFabric::numOverflowed() const
{
    std::lock_guard lock(m_mutex);
    return m_numOverflowed;
}

void MslMemFabric::attach(MslMemSocket* sock)
{
    std::lock_guard lock(m_mutex);
    m_sockets.insert(sock);
}

void MslMemFabric::detach(MslMemSocket* sock)
{
    std::lock_guard lock(m_mutex);
    m_sockets.erase(sock);
}

uint64 MslMemFabric::nextRandom()
{
    uint64 z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool MslMemFabric::chance(double fraction)
{
    if (fraction <= 0.0)
        return false;
    return static_cast<double>(nextRandom() >> 11) / 9007199254740992.0 < fraction;
}

void MslMemFabric::deliver(MslMemSocket& to, const Datagram& d)
{
    // A socket whose reader lags drops what its buffer cannot hold, as the
    // kernel does: a resend storm must not grow the test's memory without end.
    if (to.m_inboxBytes + d.bytes.size() > INBOX_LIMIT_BYTES)
    {
        ++m_numOverflowed;
        return;
    }
    const bool wasEmpty = to.m_inbox.empty();
    to.m_inboxBytes += d.bytes.size();
    to.m_inbox.push_back(d);
    if (wasEmpty)
        to.m_event.postEvent();
}

void MslMemFabric::setDropFilter(std::function<bool(const char* bytes, int32 len)> filter)
{
    std::lock_guard lock(m_mutex);
    m_dropFilter = std::move(filter);
}

int32 MslMemFabric::send(MslMemSocket& from, const char* buf, int32 len)
{
    std::lock_guard lock(m_mutex);
    if (m_blocked.count({from.m_group, from.m_port}) != 0)
        return fwFail(WOULD_BLOCK, -1);
    if (m_dropFilter && m_dropFilter(buf, len))
    {
        ++m_numDropped;
        return 0;
    }
    Datagram d{std::string(buf, static_cast<size_t>(len)), addressOf(from.m_hostAddr, from.m_localPort)};
    for (MslMemSocket* to : m_sockets)
    {
        if (!to->m_joined || to->m_group != from.m_group || to->m_port != from.m_port)
            continue;
        if (to->m_hostAddr == from.m_hostAddr && !from.m_loopback)
            continue;
        if (chance(m_faults.drop))
        {
            ++m_numDropped;
            continue;
        }
        if (chance(m_faults.reorder) && !to->m_holding)
        {
            to->m_holding = true;
            to->m_held = d;
            continue;
        }
        deliver(*to, d);
        if (chance(m_faults.duplicate))
            deliver(*to, d);
        if (to->m_holding)
        {
            to->m_holding = false;
            deliver(*to, to->m_held);
        }
    }
    return 0;
}

// ---- sockets ----

MslMemSocket::MslMemSocket(MslMemFabric& fabric, const std::string& hostAddr, const MslSocketSpec& spec)
    : m_fabric(fabric), m_hostAddr(hostAddr), m_group(spec.groupTxt), m_port(spec.port),
      m_loopback(spec.loopback == ENABLE_MCAST_LOOPBACK),
      m_localPort(static_cast<uint16>(40000 + (reinterpret_cast<uintptr_t>(this) >> 4) % 20000)),
      m_event(0, false, EVENT_DESC)
{
    m_fabric.attach(this);
}

MslMemSocket::~MslMemSocket()
{
    m_fabric.detach(this);
}

int32 MslMemSocket::send(const char* buf, int32 len)
{
    if (len < 0 || (buf == nullptr && len > 0))
        return fwFail(SOCK_INVALID_PARA, -1);
    return m_fabric.send(*this, buf, len);
}

int32 MslMemSocket::receive(char* buf, int32 capacity, int32& length, sockaddr_in& from)
{
    std::lock_guard lock(m_fabric.m_mutex);
    length = 0;
    for (;;)
    {
        if (m_inbox.empty())
        {
            m_event.clearAllEvent();
            return fwFail(WOULD_BLOCK, -1);
        }
        MslMemFabric::Datagram d = std::move(m_inbox.front());
        m_inbox.pop_front();
        m_inboxBytes -= d.bytes.size();
        if (m_inbox.empty())
            m_event.clearAllEvent();
        // As the kernel reports MSG_TRUNC: too long for the buffer, dropped.
        if (static_cast<int32>(d.bytes.size()) > capacity)
        {
            ++m_truncated;
            continue;
        }
        std::memcpy(buf, d.bytes.data(), d.bytes.size());
        length = static_cast<int32>(d.bytes.size());
        from = d.from;
        return 0;
    }
}

int32 MslMemSocket::receiveBatch(MslDatagramSlot* slots, int32 n, int32& count)
{
    count = 0;
    while (count < n)
    {
        MslDatagramSlot& s = slots[count];
        if (receive(s.buf, s.capacity, s.length, s.from) != 0)
            return count > 0 ? 0 : -1;
        ++count;
    }
    return 0;
}

int32 MslMemSocket::join()
{
    std::lock_guard lock(m_fabric.m_mutex);
    m_joined = true;
    return 0;
}

int32 MslMemSocket::leave()
{
    std::lock_guard lock(m_fabric.m_mutex);
    m_joined = false;
    return 0;
}

bool MslMemSocket::joined() const
{
    std::lock_guard lock(m_fabric.m_mutex);
    return m_joined;
}

uint64 MslMemSocket::truncatedCount() const
{
    std::lock_guard lock(m_fabric.m_mutex);
    return m_truncated;
}
