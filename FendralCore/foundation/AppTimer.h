// A named application timer: the timer behind the dispatcher's timer
// operations and the logger thread's flush timers. It runs either on its
// timerfd (for threads that wait in a multiplexer) or without a descriptor,
// polled against the monotonic clock on a busy loop; either way receive
// reports how many periods passed since the last call.
//
// Polled periods keep their phase: a late check carries the rest of the
// period over. A clock that reads earlier than the period's start (only an
// injected test clock can) restarts the period instead of counting.
//
// A timer belongs to the thread that created it; no locks.
#pragma once

#include "FendralCore/foundation/Timer.h"

class AppTimer : public Timer
{
public:
    // The clock of polled timers, in nanoseconds.
    using Clock = int64 (*)();

    // The name is cut at 16 characters.
    AppTimer(const char* name, int32 milliseconds, bool repetitive, bool useFileDescriptor);
    // Polled periods are it_value long; periodic when it_interval is positive.
    AppTimer(const char* name, const itimerspec& setting, bool useFileDescriptor);
    ~AppTimer() override = default;

    // Starts (or restarts) the period from now: 0, or -1 with the code of the
    // failed step, INVALID_TIMER_INTERVAL for a period below 1 ns.
    int32 start();
    int32 stop();
    // The number of periods that passed since the previous call; a one-shot
    // timer stops at its expiry and reports 1.
    uint64 receive();
    using Timer::receive;

    const char* getName() const { return m_nameTxt; }
    bool isStarted() const { return m_started; }
    bool usesFileDescriptor() const { return m_useFileDescriptor; }
    int64 getInterval() const { return m_interval; }
    bool isRepetitive() const { return m_repetitive != 0; }

    // Null: the monotonic clock.
    void setClock(Clock clock);

private:
    ResourceName m_nameTxt{};
    int64 m_startTime = 0; // start of the current polled period, ns
    bool m_started = false;
    bool m_useFileDescriptor;
    int64 m_interval;
    int32 m_repetitive;
    Clock m_clock;

    void setName(const char* name);
};
