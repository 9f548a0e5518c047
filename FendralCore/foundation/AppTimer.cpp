#include "FendralCore/foundation/AppTimer.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/MonoClock.h"

#include <cstring>

AppTimer::AppTimer(const char* name, int32 milliseconds, bool repetitive, bool useFileDescriptor)
    : Timer(milliseconds, repetitive),
      m_useFileDescriptor(useFileDescriptor),
      m_interval(static_cast<int64>(milliseconds) * 1000000LL),
      m_repetitive(repetitive ? 1 : 0),
      m_clock(MonoClock::nowNs)
{
    setName(name);
}

AppTimer::AppTimer(const char* name, const itimerspec& setting, bool useFileDescriptor)
    : Timer(setting),
      m_useFileDescriptor(useFileDescriptor),
      m_interval(static_cast<int64>(setting.it_value.tv_sec) * MonoClock::NSEC_PER_SEC + setting.it_value.tv_nsec),
      m_repetitive(setting.it_interval.tv_sec > 0 || setting.it_interval.tv_nsec > 0 ? 1 : 0),
      m_clock(MonoClock::nowNs)
{
    setName(name);
}

void AppTimer::setName(const char* name)
{
    // The registry's name rule: at most 16 characters, NUL-padded.
    std::memset(m_nameTxt, 0, sizeof(m_nameTxt));
    if (name != nullptr)
        std::strncpy(m_nameTxt, name, sizeof(m_nameTxt) - 1);
}

void AppTimer::setClock(Clock clock)
{
    m_clock = clock != nullptr ? clock : MonoClock::nowNs;
}

int32 AppTimer::start()
{
    if (m_useFileDescriptor)
    {
        if (startTimer() != 0)
            return -1;
    }
    else
    {
        m_startTime = m_clock();
    }
    if (m_interval < 1)
        return fwFail(INVALID_TIMER_INTERVAL, -1);
    m_started = true;
    return 0;
}

int32 AppTimer::stop()
{
    if (m_useFileDescriptor)
    {
        if (stopTimer() != 0)
            return -1;
    }
    else
    {
        m_startTime = m_clock();
    }
    m_started = false;
    return 0;
}

uint64 AppTimer::receive()
{
    if (!m_started)
        return 0;
    if (m_useFileDescriptor)
    {
        uint64 count = 0;
        int done = 0;
        if (Timer::receive(reinterpret_cast<char*>(&count), sizeof(count), done) != 0)
            return 0;
        if (count > 0 && m_repetitive == 0)
            m_started = false;
        return count;
    }
    const int64 now = m_clock();
    const int64 elapsed = now - m_startTime;
    if (elapsed < 0)
    {
        m_startTime = now;
        return 0;
    }
    const int64 periods = elapsed / m_interval;
    if (periods == 0)
        return 0;
    if (m_repetitive == 0)
    {
        m_started = false;
        return 1;
    }
    m_startTime += periods * m_interval;
    return static_cast<uint64>(periods);
}
