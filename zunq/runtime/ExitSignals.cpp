#include "zunq/runtime/ExitSignals.h"

#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"

#include <cerrno>
#include <csignal>
#include <cxxabi.h>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

std::atomic<bool> gRunning{true};

namespace
{

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGQUIT, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

std::mutex gLock;
bool gInstalled = false;
bool gSaved = false;
struct sigaction gPrevious[kSignalCount];
std::atomic<ExitSignals::Handler> gHandler{nullptr};
std::atomic<int> gWriteFd{-1};
int gReadFd = -1;
std::once_flag gAtForkOnce;

int indexOf(int signal)
{
    for (int i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == signal)
            return i;
    return -1;
}

sigset_t exitSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals)
        sigaddset(&set, signal);
    return set;
}

// Runs in signal context: only async-signal-safe calls.
void onExitSignal(int signal)
{
    int savedErrno = errno;
    unsigned char number = static_cast<unsigned char>(signal);
    int fd = gWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0)
    {
        ssize_t written = write(fd, &number, 1);
        (void)written; // a full pipe already holds signals enough to end the process
    }
    errno = savedErrno;
}

bool startDispatchThread(int readFd);

// The forced unwinding of pthread_exit is caught by reference to a type it has
// no object of, as the C++ runtime prescribes; the null check would flag it.
__attribute__((no_sanitize("null"))) void deliver(int signal, int readFd)
{
    ExitSignals::Handler handler = gHandler.load();
    if (handler == nullptr)
        return;
    // A handler that ends this thread (pthread_exit) unwinds through here: the
    // guard hands the pipe to a new thread so that the next signal is served.
    struct Replacement
    {
        int fd;
        bool needed = true;
        ~Replacement()
        {
            if (needed)
                startDispatchThread(fd);
        }
    } replacement{readFd};
    try
    {
        handler(signal);
    }
    catch (abi::__forced_unwind&)
    {
        throw;
    }
    catch (const std::exception& e)
    {
        if (Log* log = LogRegistry::g_logger)
            log->error() << "ExitSignals: handler of signal |" << signal << "| threw: " << e.what();
    }
    catch (...)
    {
        if (Log* log = LogRegistry::g_logger)
            log->error() << "ExitSignals: handler of signal |" << signal << "| threw an unknown exception";
    }
    replacement.needed = false;
}

struct StartArguments
{
    int readFd;
    sem_t ready;
};

void* dispatchLoop(void* argument)
{
    auto* start = static_cast<StartArguments*>(argument);
    const int readFd = start->readFd;
    // This thread takes the exit signals and no others.
    sigset_t mask;
    sigfillset(&mask);
    for (int signal : kSignals)
        sigdelset(&mask, signal);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    sem_post(&start->ready); // `start` is gone after this

    for (;;)
    {
        unsigned char number = 0;
        ssize_t got = read(readFd, &number, 1);
        if (got == 1)
            deliver(number, readFd);
        else if (got < 0 && errno == EINTR)
            continue;
        else
            break; // the write end was closed: this pipe is given up
    }
    close(readFd);
    return nullptr;
}

// Returns once the thread is running its loop: a thread still starting when
// the process forks could leave the child's runtime locks taken.
bool startDispatchThread(int readFd)
{
    StartArguments start;
    start.readFd = readFd;
    if (sem_init(&start.ready, 0, 0) != 0)
        return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
    {
        sem_destroy(&start.ready);
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, dispatchLoop, &start);
    pthread_attr_destroy(&attributes);
    if (rc == 0)
        while (sem_wait(&start.ready) != 0 && errno == EINTR)
            ;
    sem_destroy(&start.ready);
    return rc == 0;
}

bool openPipe(int& readFd, int& writeFd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    // A signal must never block on a full pipe.
    if (fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0)
    {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    readFd = fds[0];
    writeFd = fds[1];
    return true;
}

void restorePrevious()
{
    for (int i = 0; i < kSignalCount; ++i)
        sigaction(kSignals[i], &gPrevious[i], nullptr);
}

void beforeFork()
{
    gLock.lock();
}

void afterForkInParent()
{
    gLock.unlock();
}

// The child has no dedicated thread and shares the parent's pipe: give it its own.
void afterForkInChild()
{
    if (gInstalled)
    {
        int oldWrite = gWriteFd.exchange(-1);
        if (oldWrite >= 0)
            close(oldWrite);
        if (gReadFd >= 0)
            close(gReadFd);
        gReadFd = -1;
        int readFd = -1;
        int writeFd = -1;
        if (openPipe(readFd, writeFd) && startDispatchThread(readFd))
        {
            gReadFd = readFd;
            gWriteFd.store(writeFd);
        }
        else
        {
            if (readFd >= 0)
            {
                close(readFd);
                close(writeFd);
            }
            restorePrevious();
            gInstalled = false;
        }
    }
    gLock.unlock();
}

} // namespace

void ExitSignals::block()
{
    sigset_t set = exitSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ExitSignals::unblockThread()
{
    sigset_t set = exitSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool ExitSignals::isExitSignal(int signal)
{
    return indexOf(signal) >= 0;
}

int ExitSignals::setHandler(Handler handler)
{
    if (handler == nullptr)
        return -1;
    std::call_once(gAtForkOnce, [] { pthread_atfork(beforeFork, afterForkInParent, afterForkInChild); });

    std::lock_guard lock(gLock);
    gHandler.store(handler);
    if (gInstalled)
        return 0;

    if (!gSaved)
    {
        for (int i = 0; i < kSignalCount; ++i)
            if (sigaction(kSignals[i], nullptr, &gPrevious[i]) != 0)
                return -1;
        gSaved = true;
    }
    int readFd = -1;
    int writeFd = -1;
    if (!openPipe(readFd, writeFd))
        return -1;
    gWriteFd.store(writeFd);
    if (!startDispatchThread(readFd))
    {
        gWriteFd.store(-1);
        close(readFd);
        close(writeFd);
        return -1;
    }
    gReadFd = readFd;

    struct sigaction action = {};
    action.sa_handler = onExitSignal;
    action.sa_mask = exitSet();
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer runs a handler only once the interrupted call
    // returns; restarted, the dispatch thread's read would wait for the
    // handler's own byte for ever. It takes EINTR as it is.
    action.sa_flags = 0;
#else
    action.sa_flags = SA_RESTART;
#endif
    for (int signal : kSignals)
    {
        if (sigaction(signal, &action, nullptr) != 0)
        {
            // The old dispositions rule again; closing the write end ends the thread.
            restorePrevious();
            gWriteFd.store(-1);
            close(writeFd);
            gReadFd = -1;
            return -1;
        }
    }
    gInstalled = true;
    return 0;
}

int ExitSignals::executePrevious(int signal)
{
    int index = indexOf(signal);
    if (index < 0)
        return -1;
    struct sigaction previous = {};
    {
        std::lock_guard lock(gLock);
        if (gSaved)
            previous = gPrevious[index];
        else if (sigaction(signal, nullptr, &previous) != 0)
            return 0;
    }
    if ((previous.sa_flags & SA_SIGINFO) != 0)
    {
        if (previous.sa_sigaction == nullptr)
            return 0;
        siginfo_t info = {};
        info.si_signo = signal;
        info.si_code = SI_USER;
        info.si_pid = getpid();
        previous.sa_sigaction(signal, &info, nullptr);
        return 1;
    }
    if (previous.sa_handler == SIG_DFL || previous.sa_handler == SIG_IGN || previous.sa_handler == onExitSignal)
        return 0;
    previous.sa_handler(signal);
    return 1;
}
