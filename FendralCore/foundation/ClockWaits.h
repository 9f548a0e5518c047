// The framework's waits until a monotonic deadline: a mutex, a semaphore and
// a thread join. Under the thread sanitizer they take the realtime forms the
// tool intercepts (g++ 12's runtime does not see pthread_mutex_clocklock,
// sem_clockwait or pthread_clockjoin_np, and would then miss every lock and
// join); the deadline is moved to the wall clock at the call.
#pragma once

#include "FendralCore/foundation/MonoClock.h"

#include <pthread.h>
#include <semaphore.h>

namespace ClockWaits
{

#if defined(__SANITIZE_THREAD__)
inline timespec onWallClock(const timespec& monoDeadline)
{
    const int64 mono = static_cast<int64>(monoDeadline.tv_sec) * MonoClock::NSEC_PER_SEC + monoDeadline.tv_nsec;
    timespec wallNow{};
    clock_gettime(CLOCK_REALTIME, &wallNow);
    const int64 at =
        static_cast<int64>(wallNow.tv_sec) * MonoClock::NSEC_PER_SEC + wallNow.tv_nsec + (mono - MonoClock::nowNs());
    timespec wall{};
    wall.tv_sec = static_cast<time_t>(at / MonoClock::NSEC_PER_SEC);
    wall.tv_nsec = static_cast<long>(at % MonoClock::NSEC_PER_SEC);
    if (wall.tv_nsec < 0)
    {
        wall.tv_nsec += MonoClock::NSEC_PER_SEC;
        --wall.tv_sec;
    }
    return wall;
}
#endif

// Each returns what the call it stands for returns.
inline int lockMutexUntil(pthread_mutex_t* mutex, const timespec& monoDeadline)
{
#if defined(__SANITIZE_THREAD__)
    const timespec wall = onWallClock(monoDeadline);
    return pthread_mutex_timedlock(mutex, &wall);
#else
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &monoDeadline);
#endif
}

inline int waitSemaphoreUntil(sem_t* semaphore, const timespec& monoDeadline)
{
#if defined(__SANITIZE_THREAD__)
    const timespec wall = onWallClock(monoDeadline);
    return sem_timedwait(semaphore, &wall);
#else
    return sem_clockwait(semaphore, CLOCK_MONOTONIC, &monoDeadline);
#endif
}

inline int joinThreadUntil(pthread_t thread, void** value, const timespec& monoDeadline)
{
#if defined(__SANITIZE_THREAD__)
    const timespec wall = onWallClock(monoDeadline);
    return pthread_timedjoin_np(thread, value, &wall);
#else
    return pthread_clockjoin_np(thread, value, CLOCK_MONOTONIC, &monoDeadline);
#endif
}

} // namespace ClockWaits
