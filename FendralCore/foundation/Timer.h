// The framework's timer descriptor: a Linux timerfd that a FileDescMultiplexer
// can wait on, one-shot or periodic, set in milliseconds or as an itimerspec.
// Framework threads use it for their periodic work.
//
// The timerfd runs on the monotonic clock, so a wall-clock step neither
// stretches nor shortens a period, and it is non-blocking: a timer re-armed
// after the multiplexer reported it ready (which clears its count) reads as
// WOULD_BLOCK instead of stalling the thread for a period.
//
// A timer belongs to the thread that created it; no locks.
#pragma once

#include "FendralCore/foundation/FileDescriptor.h"

#include <ctime>

class Timer : public FileDescriptor
{
public:
    // First expiry after milliseconds; the same period after that when
    // repetitive. A creation failure leaves the descriptor -1 and shows when
    // the timer is used.
    Timer(int32 milliseconds, bool repetitive);
    explicit Timer(const itimerspec& setting);
    ~Timer() override = default;

    // Arms the timer from now (again, when running). INVALID_TIMER_INTERVAL
    // when the first expiry is not positive; SET_TIMER_FAILED when the
    // system refuses.
    int32 startTimer();
    int32 stopTimer();

    // Does nothing.
    int32 send(char* buf, int len, int& done) override;
    // Stores the unsigned 64-bit number of expirations since the last read at
    // buf (len at least 8) and done = 8. Nothing expired: -1 with WOULD_BLOCK.
    int32 receive(char* buf, int len, int& done) override;

    const itimerspec& getSetting() const { return m_tm; }

protected:
    itimerspec m_tm{};

private:
    void create();
};
