#include "kelmora/thread/TarvokTimer.h"

#include "kelmora/thread/Runnable.h"
#include "kelmora/thread/TarvokSession.h"

#include "FendralServices/api/FwServices.h"
#include "zunq/log/Log.h"

#include <cstdio>
#include <cstring>

namespace
{
// Timers made before a session has a log still report.
Log& fallbackLog()
{
    static Log log;
    return log;
}
} // namespace

TarvokTimer::TarvokTimer()
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(this));
    const char* digits = std::strncmp(text, "0x", 2) == 0 ? text + 2 : text;
    std::memcpy(mTimerName, digits, strnlen(digits, sizeof mTimerName - 1));
}

TarvokTimer::~TarvokTimer()
{
    // A timer still waiting for its thread must leave the queue, or the
    // thread would start a freed timer.
    Runnable* runnable = mSession != nullptr ? mSession->getRunnable() : nullptr;
    if (runnable != nullptr)
        runnable->removeTimerFromQueue(this);
    if (mQelmoTimer != 0)
        cancelTimer();
    if (mQelmoTimer != 0)
        Runnable::removeTimer(mQelmoTimer); // never reached again, even when the framework kept it
    mHandler = nullptr;
}

TarvokStatus TarvokTimer::create(TarvokSession* session, TarvokTimerHandler* handler, unsigned int interval,
                                 const void* closure)
{
    setIsValid(true);
    mLog = session != nullptr ? session->getLog() : nullptr;
    mSession = session;
    mInterval = interval;
    mHandler = handler;
    setClosure(closure);
    setEvent(this);
    Runnable* runnable = session != nullptr ? session->getRunnable() : nullptr;
    if (runnable == nullptr)
    {
        Log& log = mLog != nullptr ? *mLog : fallbackLog();
        log.error() << "TarvokTimer::create() : timer|" << mTimerName << "| has no session thread to run on";
        setIsValid(false);
        return TarvokStatus(INVALID_FUNC_ARG, "TarvokTimer without a session thread");
    }
    runnable->addTimer(this);
    return gStatusOk;
}

long TarvokTimer::create()
{
    Log& log = mLog != nullptr ? *mLog : fallbackLog();
    if (mQelmoTimer != 0)
    {
        log.warning() << "TarvokTimer::create() : timer already exists. The original timer is cancelled";
        cancelTimer();
    }
    long handle = 0;
    if (::createTimer(mTimerName, static_cast<int>(mInterval), true, handle) != 0)
    {
        const int code = getErrorCode();
        Runnable* runnable = mSession != nullptr ? mSession->getRunnable() : nullptr;
        log.warning() << "TarvokTimer::create() : create " << mInterval << " ms timer failed with error " << code
                      << " (thread|" << (runnable != nullptr ? runnable->getName() : std::string("?"))
                      << "| holds " << (runnable != nullptr ? runnable->getNumTimers() : 0)
                      << " timers; the limit follows MSG_DISP_FD_NUM)";
        return 0;
    }
    mQelmoTimer = handle;
    if (::startTimer(mQelmoTimer) != 0)
    {
        log.warning() << "TarvokTimerImpl::create() : start timer handle|" << mQelmoTimer << "| failed. error|"
                      << getErrorCode() << "|";
        ::removeTimer(mQelmoTimer);
        mQelmoTimer = 0;
        return 0;
    }
    return mQelmoTimer;
}

void TarvokTimer::onTimer()
{
    if (mHandler != nullptr)
        mHandler->onTimer(this);
}

bool TarvokTimer::cancelTimer()
{
    if (mQelmoTimer == 0)
        return true;
    Log& log = mLog != nullptr ? *mLog : fallbackLog();
    if (::stopTimer(mQelmoTimer) != 0)
    {
        log.warning() << "TarvokTimer::cancelTimer() : stopTimer|" << mQelmoTimer << "| error|" << getErrorCode()
                      << "|";
        return false;
    }
    if (::removeTimer(mQelmoTimer) != 0)
    {
        log.warning() << "TarvokTimer::cancelTimer() : removeTimer|" << mQelmoTimer << "| error|" << getErrorCode()
                      << "|";
        return false;
    }
    if (mSession == nullptr)
    {
        log.warning() << "TarvokTimer::cancelTimer() : session not found";
        return false;
    }
    if (mSession->getRunnable() == nullptr)
    {
        log.warning() << "TarvokTimer::cancelTimer() : thread handle not found";
        return false;
    }
    mSession->getRunnable()->timerStopped();
    Runnable::removeTimer(mQelmoTimer);
    mQelmoTimer = 0;
    return true;
}

bool TarvokTimer::resetTimer()
{
    if (mQelmoTimer == 0)
        return true;
    if (!cancelTimer())
        return false;
    const long handle = create();
    if (handle != 0)
        mSession->getRunnable()->timerStarted(handle, this);
    else
        (mLog != nullptr ? *mLog : fallbackLog()).error() << "TarvokTimerImpl::resetTimer() : invalid timer handle";
    return true;
}

TarvokStatus TarvokTimer::getInterval(unsigned int& interval) const
{
    interval = mInterval;
    return gStatusOk;
}

TarvokStatus TarvokTimer::setInterval(unsigned int interval)
{
    mInterval = interval;
    return reset();
}

TarvokStatus TarvokTimer::reset()
{
    if (isValid() && !resetTimer() && mSession != nullptr)
        return mSession->handleQelmoError(getErrorCode(), "Failed to reset TarvokTimer");
    return gStatusOk;
}

TarvokStatus TarvokTimer::destroy()
{
    setIsValid(false);
    if (mQelmoTimer != 0)
    {
        if (!cancelTimer())
            (mLog != nullptr ? *mLog : fallbackLog()).warning()
                << "TarvokTimer::destroy (" << mQelmoTimer << ") failed!";
        if (mQelmoTimer != 0)
            Runnable::removeTimer(mQelmoTimer);
        mHandler = nullptr;
        mQelmoTimer = 0;
        setEvent(nullptr);
    }
    else if (mSession != nullptr && mSession->getRunnable() != nullptr)
    {
        mSession->getRunnable()->removeTimerFromQueue(this);
    }
    return gStatusOk;
}
