// The orderly end of the process. Whatever starts it (a TERM from the
// framework's control thread on the default session's thread, the admin
// method "quit", or a component that gives up), the Terminator publishes one
// TerminateAll on the bus; later requests are only logged, so every
// subscriber tears down once. ProcessExit, subscribed last, waits ExitDelay
// and hands the stop back: to the SIGTERM handler that was in place before
// the process, or, when there was none and the framework has not asked for
// the end itself, to the framework through SIGTERM (its control thread takes
// the exit signals), so "quit" ends the process like a signal does. "quit"
// starts the end on the default session's next turn, once its answer has
// been handed to the line it came on.
//
// Middleware mode (UseQuorAsMiddleware): the framework does not run the
// process, so exit signals reach cleanup through the outside library's
// signal thread; cleanup writes a code to a self-pipe and the default
// session's thread, polling it every millisecond, publishes TerminateAll.
//
// Factory (priority 990, the last module) reads "UseQuorAsMiddleware",
// "ExitDelay" (ms, "--exit-delay", default 100) and "OrvaneDisableQuit"
// ("--orvane-disable-quit", default false) and registers "Terminator".
#pragma once

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/runtime/InitModule.h"
#include "kelmora/thread/TarvokHandler.h"
#include "kelmora/thread/TarvokTimer.h"
#include "zunq/admin/KeshMethod.h"
#include "zunq/bus/OrluPublisher.h"
#include "zunq/bus/OrluSubscriber.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class Log;
class TarvokSession;

class Terminator : public OrluPublisher<TerminateAll>, public TarvokTimerHandler
{
public:
    static constexpr int TERMINATE_ALL_CODE = 666;

    Terminator(Log& log, TarvokSession& session, bool middlewareMode);
    ~Terminator() override;

    Terminator(const Terminator&) = delete;
    Terminator& operator=(const Terminator&) = delete;

    // The first call publishes TerminateAll (or, in middleware mode, queues it
    // for the default session's thread); later calls only log.
    void terminate(const std::string& reason);
    // "quit": terminate on the default session's next turn, so that the
    // answer leaves through its line before anything tears down; at once
    // when the framework refuses the timer. A request while one waits only logs.
    void terminateSoon(const std::string& reason);
    // The framework's TERM on the default session's thread.
    void onTerm(int signal);
    // True once the framework itself has asked the process to end.
    bool endedByFramework() const { return mEndedByFramework.load(std::memory_order_acquire); }
    bool terminating() const { return mTerminating.load(std::memory_order_acquire); }

    void setOrvaneDisableQuit(bool disable) { mOrvaneDisableQuit = disable; }
    bool getOrvaneDisableQuit() const { return mOrvaneDisableQuit; }

    bool queueDetachShmSegments();
    void startEpollTimer();
    void handleEpollTimerCb();
    void onTimer(TarvokTimer* timer) override;
    void onTimerRefused(TarvokTimer* timer) override;

    // The exit-signal handler. Runs in thread context (the outside library's
    // signal thread or the default session's thread), never in a signal
    // handler's; it still only formats by hand and writes.
    static void cleanup(int signal);

    // The process's terminator and the pid of the process that made it.
    static void setLocalTerminator(Terminator* terminator, int parentPid);
    static Terminator* localTerminator() { return sLocalTerminator; }

private:
    static Terminator* sLocalTerminator;
    static int sParentPid;

    int mPipe[2] = {-1, -1};
    Log* mLog;
    int mPid;
    std::mutex mExitMutex;
    bool mOrvaneDisableQuit = false;
    TarvokSession& mTarvokSession;
    int mEpollFd = -1;
    TarvokTimer mEpollTimer;
    TarvokTimer mSoonTimer;
    std::string mSoonReason;
    std::atomic<bool> mSoonPending{false};
    unsigned int mEpollInterval = 1;
    bool mMiddlewareMode;
    std::atomic<bool> mTerminating{false};
    std::atomic<bool> mEndedByFramework{false};
};

// The last subscriber of TerminateAll: logs the exit, waits the exit delay,
// and hands the stop over (see Terminator). Acts on the first TerminateAll only.
class ProcessExit : public OrluSubscriber<TerminateAll>
{
public:
    ProcessExit(Log& log, int pid, std::int64_t exitDelayMs, bool supervisorLogging, const Terminator* terminator);
    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& data) override;

private:
    Log* mLog;
    int mPid;
    std::int64_t mExitDelay;
    bool mSupervisorLogging;
    const Terminator* mTerminator;
    std::atomic<bool> mDone{false};
};

// "quit": ends the process unless OrvaneDisableQuit is set.
class KeshQuit : public KeshMethod
{
public:
    KeshQuit(Terminator& terminator, const std::string& id);
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    Terminator* mTerminator;
    std::string mId;
};

template <>
bool InitModule<Terminator>::createModule(ModuleList* list, ZunqConfigManager* config);
