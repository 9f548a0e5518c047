#include "FendralCore/foundation/PeerLogLimit.h"

#include "FendralCore/foundation/MonoClock.h"

PeerLogLimit::PeerLogLimit(Clock clock) : m_clock(clock != nullptr ? clock : &MonoClock::nowNs) {}

PeerLogLimit::Verdict PeerLogLimit::next()
{
    const int64 now = m_clock();
    Verdict verdict{false, 0};
    if (!m_started || now - m_windowStart >= cWindowNs)
    {
        // A new window; the held-back count of the one before is reported once.
        verdict.heldBack = m_heldBack;
        m_heldBack = 0;
        m_written = 0;
        m_windowStart = now;
        m_started = true;
    }
    if (m_written < cLinesPerWindow)
    {
        ++m_written;
        verdict.write = true;
    }
    else
    {
        ++m_heldBack;
    }
    return verdict;
}

uint64 PeerLogLimit::takeHeldBack()
{
    const uint64 heldBack = m_heldBack;
    m_heldBack = 0;
    return heldBack;
}

std::string PeerLogLimit::heldBackText(uint64 heldBack)
{
    return std::to_string(heldBack) + " similar log lines held back";
}
