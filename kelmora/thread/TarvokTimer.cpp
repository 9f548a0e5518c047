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
    if (mQelmoTimer != 0 && foreignOwner() != nullptr && Runnable::current() != nullptr)
    {
        // Destroyed on another framework thread: that thread's dispatcher
        // does not hold the framework timer, so the owner stops it, and no
        // expiry looks for this object meanwhile.
        Runnable::removeTimer(mQelmoTimer);
        runnable->stopOrphanedTimer(mQelmoTimer);
        mQelmoTimer = 0;
        mHandler = nullptr;
        return;
    }
    if (mQelmoTimer != 0)
        cancelTimer();
    if (mQelmoTimer != 0)
        Runnable::removeTimer(mQelmoTimer); // never reached again, even when the framework kept it
    mHandler = nullptr;
}

TarvokStatus TarvokTimer::create(TarvokSession* session, TarvokTimerHandler* handler, unsigned int interval,
                                 const void* closure)
{
    mLog = session != nullptr ? session->getLog() : nullptr;
    mSession = session;
    mInterval = interval;
    mHandler = handler;
    mStopped = false;
    mPaused = false;
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
    if (Runnable::current() != runnable)
    {
        // Made by its own thread later; should the framework refuse it
        // there, the timer turns invalid.
        setIsValid(true);
        runnable->addTimer(this);
        return gStatusOk;
    }
    // On its own thread the framework timer is made now, so that a caller
    // learns of a refusal (the thread's timer limit) at once and nothing
    // waits on a timer that does not exist.
    runnable->removeTimerFromQueue(this);
    const long handle = create();
    if (handle == 0)
    {
        setIsValid(false);
        return TarvokStatus(mCreateError != 0 ? mCreateError : NOT_ENOUGH_EMPTY_ENTRY,
                            "TarvokTimer refused by the framework");
    }
    setIsValid(true);
    runnable->timerStarted(handle, this);
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
    mCreateError = 0;
    if (::createTimer(mTimerName, static_cast<int>(mInterval.load()), true, handle) != 0)
    {
        const int code = getErrorCode();
        mCreateError = code;
        Runnable* runnable = mSession != nullptr ? mSession->getRunnable() : nullptr;
        log.warning() << "TarvokTimer::create() : create " << mInterval.load() << " ms timer failed with error " << code
                      << " (thread|" << (runnable != nullptr ? runnable->getName() : std::string("?"))
                      << "| holds " << (runnable != nullptr ? runnable->getNumTimers() : 0)
                      << " timers; the limit follows MSG_DISP_FD_NUM)";
        if (mHandler != nullptr)
            mHandler->onTimerRefused(this);
        return 0;
    }
    // The framework arms a timer as it creates it; starting it again would
    // re-arm it a few microseconds later and push every first expiry back.
    mQelmoTimer = handle;
    return mQelmoTimer;
}

void TarvokTimer::onTimer()
{
    // An expiry read in the pass that paused the timer is not delivered.
    if (mHandler != nullptr && !mPaused && !mStopped.load(std::memory_order_acquire))
        mHandler->onTimer(this);
}

void TarvokTimer::pause()
{
    if (!isValid() || mPaused)
        return;
    mPaused = true;
    if (mQelmoTimer != 0 && ::stopTimer(mQelmoTimer) != 0)
        (mLog != nullptr ? *mLog : fallbackLog()).warning()
            << "TarvokTimer::pause() : stopTimer|" << mQelmoTimer << "| error|" << getErrorCode() << "|";
}

void TarvokTimer::resume()
{
    if (!isValid() || !mPaused)
        return;
    mPaused = false;
    if (mQelmoTimer != 0 && ::startTimer(mQelmoTimer) != 0)
        (mLog != nullptr ? *mLog : fallbackLog()).warning()
            << "TarvokTimer::resume() : startTimer|" << mQelmoTimer << "| error|" << getErrorCode() << "|";
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
    {
        mSession->getRunnable()->timerStarted(handle, this);
        if (mPaused)
            ::stopTimer(handle); // a new interval for a paused timer takes effect when it resumes
        return true;
    }
    // The old timer is gone and no new one exists: the timer is no longer
    // valid, and its caller hears of it.
    (mLog != nullptr ? *mLog : fallbackLog()).error() << "TarvokTimerImpl::resetTimer() : invalid timer handle";
    setIsValid(false);
    return false;
}

TarvokStatus TarvokTimer::getInterval(unsigned int& interval) const
{
    interval = mInterval;
    return gStatusOk;
}

Runnable* TarvokTimer::foreignOwner() const
{
    Runnable* owner = mSession != nullptr ? mSession->getRunnable() : nullptr;
    return owner != nullptr && Runnable::current() != owner ? owner : nullptr;
}

TarvokStatus TarvokTimer::setInterval(unsigned int interval)
{
    mInterval = interval;
    return reset();
}

TarvokStatus TarvokTimer::reset()
{
    if (!isValid())
        return gStatusOk;
    if (Runnable* owner = foreignOwner())
    {
        owner->addTimerOperation(this, Queued::Reset);
        return gStatusOk;
    }
    if (!resetTimer() && mSession != nullptr)
        return mSession->handleQelmoError(mCreateError != 0 ? mCreateError : getErrorCode(),
                                          "Failed to reset TarvokTimer");
    return gStatusOk;
}

TarvokStatus TarvokTimer::destroy()
{
    setIsValid(false);
    mPaused = false;
    mStopped.store(true, std::memory_order_release);
    if (Runnable* owner = foreignOwner())
    {
        // Whatever was still queued goes; the owner stops a started timer.
        owner->removeTimerFromQueue(this);
        owner->addTimerOperation(this, Queued::Destroy);
        return gStatusOk;
    }
    if (mQelmoTimer != 0)
    {
        stopOnOwner();
        mHandler = nullptr;
        setEvent(nullptr);
    }
    else if (mSession != nullptr && mSession->getRunnable() != nullptr)
    {
        mSession->getRunnable()->removeTimerFromQueue(this);
    }
    return gStatusOk;
}

void TarvokTimer::stopOnOwner()
{
    if (mQelmoTimer == 0)
        return;
    if (!cancelTimer())
        (mLog != nullptr ? *mLog : fallbackLog()).warning() << "TarvokTimer::destroy (" << mQelmoTimer << ") failed!";
    if (mQelmoTimer != 0)
        Runnable::removeTimer(mQelmoTimer);
    mQelmoTimer = 0;
}

void TarvokTimer::runQueued(Queued op)
{
    switch (op)
    {
    case Queued::Reset:
        if (isValid() && !resetTimer())
            (mLog != nullptr ? *mLog : fallbackLog()).warning()
                << "TarvokTimer::reset() : timer|" << mTimerName << "| could not be re-armed on its thread";
        return;
    case Queued::Destroy:
        // The handler stays: the timer may have been created again since.
        stopOnOwner();
        return;
    case Queued::Start:
        return;
    }
}
