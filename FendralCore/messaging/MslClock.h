// The messaging service's clocks: the monotonic clock every interval and
// time-out runs on, and the wall clock whose time goes on the wire and into
// the liveness stamp. Tests give their own to move time without sleeping.
//
// Read by the messaging service thread (and, for a test's clock, set by the
// test's thread).
#pragma once

#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/MonoClock.h"

#include <ctime>

class MslClock
{
public:
    virtual ~MslClock() = default;

    // Monotonic nanoseconds.
    virtual int64 monoNs() const = 0;
    virtual timespec wallTime() const = 0;

    // The process's clocks.
    static const MslClock& system();
};

class MslSystemClock : public MslClock
{
public:
    int64 monoNs() const override { return MonoClock::nowNs(); }
    timespec wallTime() const override
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now;
    }
};

inline const MslClock& MslClock::system()
{
    static const MslSystemClock clock;
    return clock;
}
