// Limits the log lines one peer (a connection, a line, a sender) can cause:
// the first 10 in a minute are written as they are, the rest are counted and
// reported in one line a minute, so a hostile or broken peer cannot flood the
// log. Our own errors and state changes never go through it.
//
// One limiter per peer, used on the thread that handles that peer. Cheap
// enough to sit on a receive path: a clock read and two compares per line.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <string>

class PeerLogLimit
{
public:
    static constexpr uint32 cLinesPerWindow = 10;
    static constexpr int64 cWindowNs = 60LL * 1000 * 1000 * 1000;

    // Monotonic nanoseconds; tests give their own.
    using Clock = int64 (*)();

    explicit PeerLogLimit(Clock clock = nullptr);

    struct Verdict
    {
        // Write the line the peer caused.
        bool write;
        // Lines held back in the window that just ended: when not 0, write
        // heldBackText(heldBack) first (whether or not the line itself is).
        uint64 heldBack;
    };

    // Called once per peer-caused line, before formatting it.
    Verdict next();

    // Lines held back and not reported yet, taken and reset: for the line a
    // closing connection writes, so no count is lost with it.
    uint64 takeHeldBack();

    // "<n> similar log lines held back"
    static std::string heldBackText(uint64 heldBack);

private:
    Clock m_clock;
    int64 m_windowStart = 0;
    uint32 m_written = 0;
    uint64 m_heldBack = 0;
    bool m_started = false;
};
