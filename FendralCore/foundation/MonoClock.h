// The monotonic clock used by every timed wait of the framework: deadlines
// and budgets in 64-bit nanoseconds, so that a wall-clock step never stretches
// or shortens a wait and no product of microseconds overflows.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <ctime>

namespace MonoClock
{

constexpr int64 NSEC_PER_SEC = 1000000000LL;

inline int64 nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64>(now.tv_sec) * NSEC_PER_SEC + now.tv_nsec;
}

// The absolute time nanoseconds after now, for the clock-taking waits
// (pthread_mutex_clocklock, sem_clockwait). A negative offset gives a time in
// the past, which those calls treat as a single try.
inline timespec deadlineAfterNs(int64 nanoseconds)
{
    const int64 at = nowNs() + nanoseconds;
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(at / NSEC_PER_SEC);
    deadline.tv_nsec = static_cast<long>(at % NSEC_PER_SEC);
    if (deadline.tv_nsec < 0)
    {
        deadline.tv_nsec += NSEC_PER_SEC;
        --deadline.tv_sec;
    }
    return deadline;
}

inline timespec deadlineAfterUs(int32 microseconds)
{
    return deadlineAfterNs(static_cast<int64>(microseconds) * 1000);
}

} // namespace MonoClock
