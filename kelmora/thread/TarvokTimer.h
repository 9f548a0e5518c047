// A periodic timer that fires on the thread of its session. Created on that
// thread, the framework timer is made at once; created on another, it is
// queued with the session's Runnable, which makes it on its own thread. Each
// expiry reaches the handler's onTimer there. A timer the framework refuses
// (the thread's timer limit) is not valid, and create() says so when called
// on the owner thread.
#pragma once

#include "kelmora/thread/TarvokEvent.h"
#include "kelmora/thread/TarvokHandler.h"

#include <atomic>

class Log;
class Runnable;
class TarvokSession;

class TarvokTimer : public TarvokEvent
{
public:
    TarvokTimer();
    // Destroyed on another framework thread than its owner, it leaves the
    // stop of its framework timer to the owner (Runnable::stopOrphanedTimer).
    ~TarvokTimer() override;

    TarvokTimer(const TarvokTimer&) = delete;
    TarvokTimer& operator=(const TarvokTimer&) = delete;

    TarvokStatus destroy() override;
    virtual TarvokStatus create(TarvokSession* session, TarvokTimerHandler* handler, unsigned int interval,
                                const void* closure);
    virtual TarvokStatus getInterval(unsigned int& interval) const;
    virtual TarvokStatus setInterval(unsigned int interval);
    virtual TarvokStatus reset();

    // A paused timer keeps its framework timer, and so its place among the
    // thread's timers (which another user may not take meanwhile), but does
    // not fire; resume() arms it again for a whole interval. Owner thread
    // only. A timer not made yet (created from another thread) only records
    // the state; create() and destroy() end a pause.
    void pause();
    void resume();
    bool isPaused() const { return mPaused; }

    // Framework timers belong to the thread that made them: asked on another
    // thread, a re-arm or a stop is queued with the owner and run there.
    enum class Queued
    {
        Start,
        Reset,
        Destroy
    };
    void runQueued(Queued op);

    // Starts the framework timer on the calling (owner) thread: its handle, or 0.
    long create();
    // The expiry, from the Runnable.
    void onTimer();

    long getHandle() const { return mQelmoTimer; }
    const char* getTimerName() const { return mTimerName; }
    TarvokSession* getSession() const { return mSession; }

private:
    bool cancelTimer();
    bool resetTimer();
    void stopOnOwner();
    // The owner's Runnable when the caller is another thread, else null.
    Runnable* foreignOwner() const;

    TarvokTimerHandler* mHandler = nullptr;
    Log* mLog = nullptr;
    TarvokSession* mSession = nullptr;
    long mQelmoTimer = 0;
    char mTimerName[17] = {};
    std::atomic<unsigned int> mInterval{0};
    // The framework's code when it last refused to make the timer.
    int mCreateError = 0;
    // Set by destroy on any thread: no expiry reaches the handler after it,
    // even before the owner has stopped the framework timer.
    std::atomic<bool> mStopped{false};
    bool mPaused = false;
};
