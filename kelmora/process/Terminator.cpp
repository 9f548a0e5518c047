#include "kelmora/process/Terminator.h"

#include "kelmora/process/HostMain.h"
#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "kelmora/thread/TarvokSession.h"
#include "kelmora/thread/TarvokSessionRunnable.h"
#include "zunq/admin/KeshSession.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/identity/Host.h"
#include "zunq/log/Log.h"
#include "zunq/runtime/ExitSignals.h"
#include "zunq/runtime/ZunqLock.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/epoll.h>
#include <thread>
#include <unistd.h>

namespace
{

const std::string cWhere = "InitModule<TerminateAll>";

// Appends `value` in decimal; no allocation, no locale.
char* appendNumber(char* out, long value)
{
    char digits[24];
    int n = 0;
    unsigned long v = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do
    {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0)
        *out++ = '-';
    while (n > 0)
        *out++ = digits[--n];
    return out;
}

char* appendText(char* out, const char* text)
{
    while (*text != '\0')
        *out++ = *text++;
    return out;
}

// "PID <pid> caught signal <signal>" (or the child's line) into `buffer`;
// the text's length.
std::size_t signalLine(char* buffer, long pid, int signal, bool child)
{
    char* p = appendText(buffer, "PID ");
    p = appendNumber(p, pid);
    p = appendText(p, child ? " (child) ignoring signal " : " caught signal ");
    p = appendNumber(p, signal);
    return static_cast<std::size_t>(p - buffer);
}

void writeLine(const char* text, std::size_t length)
{
    char line[96];
    std::memcpy(line, text, length);
    line[length] = '\n';
    std::size_t done = 0;
    while (done < length + 1)
    {
        const ssize_t n = ::write(STDOUT_FILENO, line + done, length + 1 - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

Terminator* Terminator::sLocalTerminator = nullptr;
int Terminator::sParentPid = 0;

void Terminator::setLocalTerminator(Terminator* terminator, int parentPid)
{
    sLocalTerminator = terminator;
    sParentPid = parentPid;
}

Terminator::Terminator(Log& log, TarvokSession& session, bool middlewareMode)
    : OrluPublisher<TerminateAll>("Terminator"), mLog(&log), mPid(static_cast<int>(::getpid())),
      mTarvokSession(session), mMiddlewareMode(middlewareMode)
{
    if (mMiddlewareMode)
    {
        startEpollTimer();
        mLog->info() << "Terminator::Terminator(): registering cleanup signal handler";
        if (ExitSignals::setHandler(&Terminator::cleanup) == -1)
            mLog->error() << "Terminator::Terminator(): ExitSignals::setHandler() failed";
        // Non-blocking, so that the timer drains every code and never waits.
        if (::pipe2(mPipe, O_NONBLOCK | O_CLOEXEC) != 0)
        {
            mLog->error() << "Terminator::Terminator(): Creating communication pipe: " << std::strerror(errno);
            mPipe[0] = mPipe[1] = -1;
            return;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLET;
        event.data.fd = mPipe[0];
        if (mEpollFd < 0 || ::epoll_ctl(mEpollFd, EPOLL_CTL_ADD, mPipe[0], &event) != 0)
        {
            mLog->error() << "Terminator::Terminator(): pipe read fd|" << mPipe[0] << "| write fd|" << mPipe[1]
                          << "| epoll_ctl failed: " << std::strerror(errno);
            ::close(mPipe[0]);
            mPipe[0] = -1;
            return;
        }
        // Only in this mode: otherwise the framework's control thread is the
        // one taker of the exit signals.
        ExitSignals::unblockThread();
        return;
    }
    mLog->info() << "Terminator: registering terminate signal handler";
    if (auto* runnable = dynamic_cast<TarvokSessionRunnable*>(session.getRunnable()))
        runnable->setTerminator(this);
    else
        mLog->warning() << "Terminator: the default session's thread |" << session.getName()
                        << "| cannot pass a framework TERM on";
}

Terminator::~Terminator()
{
    mEpollTimer.destroy();
    mSoonTimer.destroy();
    if (sLocalTerminator == this)
        sLocalTerminator = nullptr;
}

void Terminator::onTerm(int signal)
{
    mEndedByFramework.store(true, std::memory_order_release);
    cleanup(signal);
}

void Terminator::cleanup(int signal)
{
    char line[96];
    Terminator* terminator = sLocalTerminator;
    // Nothing of ours to end: the previous taker decides. The calling thread
    // is not ours to end either.
    if (terminator == nullptr)
    {
        ExitSignals::executePrevious(signal);
        return;
    }
    const long pid = static_cast<long>(::getpid());
    if (pid != sParentPid)
    {
        writeLine(line, signalLine(line, pid, signal, true));
        ExitSignals::executePrevious(signal);
        return;
    }
    const std::size_t length = signalLine(line, pid, signal, false);
    writeLine(line, length);
    terminator->terminate(std::string(line, length));
}

void Terminator::terminate(const std::string& reason)
{
    std::lock_guard lock(mExitMutex);
    ZunqLock::enableLocking(true);
    if (mTerminating.exchange(true, std::memory_order_acq_rel))
    {
        // Every subscriber has torn down already; a second round would do it twice.
        mLog->info() << "Terminator (PID=" << mPid << "): termination already in progress (reason: " << reason << ")";
        return;
    }
    mLog->info() << "Terminator (PID=" << mPid << "): starting termination procedure (reason: " << reason << ")";
    if (!queueDetachShmSegments())
        mTerminating.store(false, std::memory_order_release); // nothing was set going: a later request may
}

void Terminator::terminateSoon(const std::string& reason)
{
    if (mSoonPending.exchange(true, std::memory_order_acq_rel))
    {
        mLog->info() << "Terminator (PID=" << mPid << "): termination already in progress (reason: " << reason << ")";
        return;
    }
    mSoonReason = reason;
    const TarvokStatus status = mSoonTimer.create(&mTarvokSession, this, 1, nullptr);
    if (!status || !mSoonTimer.isValid())
    {
        mLog->warning() << "Terminator (PID=" << mPid
                        << "): no timer on the default session to end after the answer; ending now ("
                        << status.getContext() << ", error " << status.getError() << ")";
        terminate(reason);
    }
}

bool Terminator::queueDetachShmSegments()
{
    if (mMiddlewareMode)
    {
        char code[8] = {};
        std::snprintf(code, sizeof code, "%d", TERMINATE_ALL_CODE);
        return mPipe[1] >= 0 && ::write(mPipe[1], code, sizeof code) == static_cast<ssize_t>(sizeof code);
    }
    mLog->info() << "Terminator::queueDetachShmSegments(): sending TERMINATE_ALL_CODE";
    publish(TerminateAll("no reason!"));
    return true;
}

void Terminator::startEpollTimer()
{
    if (mEpollFd < 0)
        mEpollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (mEpollTimer.isValid())
        mEpollTimer.destroy();
    mEpollTimer.create(&mTarvokSession, this, mEpollInterval, nullptr);
    mLog->info() << "Terminator::Terminator(): start timer 1ms";
}

void Terminator::onTimer(TarvokTimer* timer)
{
    if (timer == &mEpollTimer)
        handleEpollTimerCb();
    else if (timer == &mSoonTimer)
    {
        mSoonTimer.destroy(); // once
        terminate(mSoonReason);
    }
}

void Terminator::onTimerRefused(TarvokTimer* timer)
{
    // Queued from another thread and refused when the session's thread made
    // it. Ending from here would tear down while that thread holds its timer
    // queue; a later "quit" tries again.
    if (timer == &mSoonTimer)
    {
        mLog->error() << "Terminator (PID=" << mPid
                      << "): the default session refused the timer that ends the process after \"quit\"; not ending";
        mSoonPending.store(false, std::memory_order_release);
    }
}

void Terminator::handleEpollTimerCb()
{
    if (mEpollFd < 0)
        return;
    epoll_event events[10];
    const int n = ::epoll_wait(mEpollFd, events, 10, 0);
    if (n < 0)
    {
        mLog->error() << "Terminator::handleEpollTimerCb(): epoll_wait failed";
        return;
    }
    for (int i = 0; i < n; ++i)
    {
        if (events[i].data.fd != mPipe[0])
            continue;
        mLog->verbose() << "Terminator::handleEpollTimerCb(): received Io event on pipe";
        // Edge-triggered: read until the pipe is empty, or a code written
        // with another in the pipe would wait for a write that never comes.
        for (;;)
        {
            char code[9] = {};
            const ssize_t got = ::read(mPipe[0], code, 8);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (got != 8)
            {
                mLog->error() << "Terminator::handleEpollTimerCb(): read error";
                break;
            }
            if (std::atoi(code) == TERMINATE_ALL_CODE)
                publish(TerminateAll("no reason!"));
        }
    }
}

ProcessExit::ProcessExit(Log& log, int pid, std::int64_t exitDelayMs, bool supervisorLogging,
                         const Terminator* terminator)
    : OrluSubscriber<TerminateAll>("ProcessExit"), mLog(&log), mPid(pid), mExitDelay(exitDelayMs),
      mSupervisorLogging(supervisorLogging), mTerminator(terminator)
{
}

void ProcessExit::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    if (mDone.exchange(true))
        return;
    if (mSupervisorLogging)
    {
        mLog->info() << "#9004 stopping";
        mLog->info() << "#9005 stopped";
    }
    mLog->info() << "ProcessExit (PID=" << mPid << "): exit code " << (failedExitRequested() ? 1 : 0);
    if (mExitDelay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(mExitDelay));
    // Without a handler of its own before us, the process stops through the
    // framework: SIGTERM reaches its control thread, which ends every thread
    // in order. Not when the framework is already stopping us.
    if (ExitSignals::executePrevious(SIGTERM) != 1 && (mTerminator == nullptr || !mTerminator->endedByFramework()))
        ::kill(::getpid(), SIGTERM);
    gRunning.store(false);
}

KeshQuit::KeshQuit(Terminator& terminator, const std::string& id)
    : KeshMethod("quit", KESH_METHOD_ACTION_INFO, "Stop a feed handler process."), mTerminator(&terminator), mId(id)
{
    addResultParamDef("Message", "Simple reply");
}

void KeshQuit::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() != 0)
        throw KeshUsageError("KESH usage");
    if (mTerminator->getOrvaneDisableQuit())
    {
        out.add("Message", "Quit is disabled. Please check OrvaneDisableQuit parameter in the config.");
        return;
    }
    out.add("Message", "Goodbye from " + mId);
    mTerminator->terminateSoon("by KESH request");
}

InitModule<Terminator> initTerminator("Terminator", 990);

template <>
bool InitModule<Terminator>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    setName("Terminator");
    if (list == nullptr || config == nullptr)
        throw InitModuleError(cWhere, "no module list or configuration");
    const std::string& defaultGroup = list->defaultGroup();
    Log* log = requireModule<Log>(list, "Log", defaultGroup, cWhere);
    KeshSession* kesh = requireModule<KeshSession>(list, "KeshSession", defaultGroup, cWhere);
    TarvokSession* session = findModule<TarvokSession>(list, "TarvokSessionDefault", defaultGroup);
    if (session == nullptr)
        session = requireModule<TarvokSession>(list, "TarvokSession", defaultGroup, cWhere);
    auto* channel = requireModule<Orlu<TerminateAll>>(list, "OrluTerminateAll", defaultGroup, cWhere);

    bool middleware = config->getBool("UseQuorAsMiddleware", "", false);
    if (middleware && frameworkRunsProcess())
    {
        // The framework's control thread is the one taker of the exit signals
        // here; taking them from it would leave a process that never stops.
        log->warning() << cWhere << ": UseQuorAsMiddleware ignored: the framework runs this process and stops it";
        middleware = false;
    }
    log->info() << cWhere << ": creating Terminator";
    auto* terminator = new Terminator(*log, *session, middleware);
    const int pid = static_cast<int>(::getpid());
    Terminator::setLocalTerminator(terminator, pid);

    kesh->addMethod(new KeshQuit(*terminator, config->getExeName() + "@" + hostname()));
    terminator->setDestination(channel);

    const long exitDelay = config->getLong("ExitDelay", "--exit-delay", 100);
    terminator->setOrvaneDisableQuit(config->getBool("OrvaneDisableQuit", "--orvane-disable-quit", false));
    std::string name;
    const bool supervisorLogging = (config->getOptArg("-n", name) && !name.empty())
                                   || (config->getOptArg("-name", name) && !name.empty());
    channel->subscribe(new ProcessExit(*log, pid, exitDelay, supervisorLogging, terminator));
    registerModule<Terminator>(list, "Terminator", terminator, defaultGroup);
    return true;
}
