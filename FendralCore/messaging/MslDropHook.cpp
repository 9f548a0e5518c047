#include "FendralCore/messaging/MslDropHook.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/MonoClock.h"

#include <algorithm>
#include <unistd.h>
#include <utility>

MslDropHook::MslDropHook(double fraction, uint64 seed, std::string dropFile)
    : m_state(seed), m_dropFile(std::move(dropFile))
{
    const double f = std::clamp(fraction, 0.0, 1.0);
    m_all = f >= 1.0;
    // 2^64 * f, computed without leaving the double range.
    m_threshold = m_all ? 0 : static_cast<uint64>(f * 18446744073709551616.0);
}

// splitmix64: a whole period over any seed, and cheap.
uint64 MslDropHook::nextRandom()
{
    uint64 z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool MslDropHook::dropFileExists()
{
    if (m_dropFile.empty())
        return false;
    const int64 now = MonoClock::nowNs();
    if (now - m_dropFileCheckedNs >= DROP_FILE_CHECK_NS)
    {
        m_dropFileCheckedNs = now;
        m_dropFileSeen = ::access(m_dropFile.c_str(), F_OK) == 0;
    }
    return m_dropFileSeen;
}

bool MslDropHook::dropNext()
{
    const bool drop = dropFileExists() || m_all || nextRandom() < m_threshold;
    if (drop)
        m_numDropped.store(m_numDropped.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return drop;
}

MslLossySocket::MslLossySocket(std::unique_ptr<MslSocket> inner, MslDropHook& hook)
    : m_inner(std::move(inner)), m_hook(hook)
{
}

int32 MslLossySocket::receive(char* buf, int32 capacity, int32& length, sockaddr_in& from)
{
    for (;;)
    {
        if (m_inner->receive(buf, capacity, length, from) != 0)
            return -1;
        if (!m_hook.dropNext())
            return 0;
    }
}

int32 MslLossySocket::receiveBatch(MslDatagramSlot* slots, int32 n, int32& count)
{
    if (m_inner->receiveBatch(slots, n, count) != 0)
        return -1;
    int32 kept = 0;
    for (int32 i = 0; i < count; ++i)
    {
        if (m_hook.dropNext())
            continue;
        if (kept != i)
        {
            std::copy_n(slots[i].buf, slots[i].length, slots[kept].buf);
            slots[kept].length = slots[i].length;
            slots[kept].from = slots[i].from;
        }
        ++kept;
    }
    count = kept;
    return 0;
}

std::unique_ptr<MslSocket> MslLossySocketFactory::open(const MslSocketSpec& spec)
{
    std::unique_ptr<MslSocket> inner = m_inner.open(spec);
    if (inner == nullptr)
        return nullptr;
    return std::make_unique<MslLossySocket>(std::move(inner), m_hook);
}
