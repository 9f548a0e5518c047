#include "FendralCore/foundation/Timer.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/LogCall.h"

#include <cerrno>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>

namespace
{

constexpr size_t EXPIRY_COUNT_SIZE = sizeof(uint64);

timespec fromMilliseconds(int32 milliseconds)
{
    timespec t{};
    t.tv_sec = milliseconds / 1000;
    t.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    return t;
}

} // namespace

Timer::Timer(int32 milliseconds, bool repetitive) : FileDescriptor(TIMER_DESC)
{
    m_tm.it_value = fromMilliseconds(milliseconds);
    if (repetitive)
        m_tm.it_interval = m_tm.it_value;
    create();
}

Timer::Timer(const itimerspec& setting) : FileDescriptor(TIMER_DESC), m_tm(setting)
{
    create();
}

void Timer::create()
{
    m_fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
}

int32 Timer::startTimer()
{
    if (m_tm.it_value.tv_sec < 1 && m_tm.it_value.tv_nsec < 1)
        return fwFail(INVALID_TIMER_INTERVAL, -1);
    if (timerfd_settime(m_fd, 0, &m_tm, nullptr) != 0)
    {
        const int error = errno;
        char text[128];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] starting the timer [%d]. %s", error, m_fd,
              strerror_r(error, text, sizeof(text)));
        return fwFail(SET_TIMER_FAILED, -1);
    }
    return 0;
}

int32 Timer::stopTimer()
{
    const itimerspec disarmed{};
    if (timerfd_settime(m_fd, 0, &disarmed, nullptr) != 0)
    {
        const int error = errno;
        char text[128];
        fwLog(LOG_LEVEL_ERROR, "Error [%d] stopping the timer [%d]. %s", error, m_fd,
              strerror_r(error, text, sizeof(text)));
        return fwFail(SET_TIMER_FAILED, -1);
    }
    return 0;
}

int32 Timer::send(char*, int, int& done)
{
    done = 0;
    return 0;
}

int32 Timer::receive(char* buf, int len, int& done)
{
    done = 0;
    if (buf == nullptr)
        return fwFail(NULL_PARAM, -1);
    if (len < static_cast<int>(EXPIRY_COUNT_SIZE))
    {
        fwLog(LOG_LEVEL_ERROR, "Receive buffer must be at least [%lu] bytes long",
              static_cast<unsigned long>(EXPIRY_COUNT_SIZE));
        return fwFail(INVALID_TIMER_MSG_BUFFER_SIZE, -1);
    }
    uint64 count = 0;
    const ssize_t n = ::read(m_fd, &count, EXPIRY_COUNT_SIZE);
    if (n == static_cast<ssize_t>(EXPIRY_COUNT_SIZE))
    {
        std::memcpy(buf, &count, EXPIRY_COUNT_SIZE);
        done = static_cast<int>(n);
        return 0;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return fwFail(WOULD_BLOCK, -1);
    fwLog(LOG_LEVEL_ERROR, "Expect to receive [%lu] bytes but got [%lu]",
          static_cast<unsigned long>(EXPIRY_COUNT_SIZE), static_cast<unsigned long>(n < 0 ? 0 : n));
    return fwFail(INCORRECT_TIMER_MSG_SIZE, -1);
}
