#include "TestSupport.h"

#include "zunq/runtime/ExitSignals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

// Every test runs in forked children: the dispositions and the dedicated
// thread they install stay there. Exit code 0 means the child saw what it should.
namespace
{

sem_t gHandled;
std::atomic<int> gLastSignal{0};
std::atomic<int> gCalls{0};
std::atomic<bool> gOnMainThread{false};
pthread_t gMainThread;
std::atomic<int> gPreviousSignal{0};

void recordSignal(int signal)
{
    gLastSignal = signal;
    gOnMainThread = pthread_equal(pthread_self(), gMainThread) != 0;
    gCalls.fetch_add(1);
    sem_post(&gHandled);
}

// Waits to be told the handler ran; the time-out only turns a hang into a failure.
bool waitHandled()
{
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 10;
    while (sem_timedwait(&gHandled, &deadline) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

void prepareChild()
{
    sem_init(&gHandled, 0, 0);
    gMainThread = pthread_self();
    ExitSignals::block();
}

TEST(ExitSignals, EachExitSignalReachesTheHandlerOnItsOwnThread)
{
    for (int signal : {SIGTERM, SIGINT, SIGQUIT, SIGHUP})
    {
        EXPECT_TRUE(ExitSignals::isExitSignal(signal));
        int code = runInChild([signal] {
            prepareChild();
            if (ExitSignals::setHandler(recordSignal) != 0)
                return 1;
            kill(getpid(), signal);
            if (!waitHandled())
                return 2;
            if (gLastSignal != signal)
                return 3;
            if (gOnMainThread)
                return 4;
            return 0;
        });
        EXPECT_EQ(code, 0) << "signal " << signal;
    }
    EXPECT_FALSE(ExitSignals::isExitSignal(SIGUSR1));
    EXPECT_EQ(ExitSignals::setHandler(nullptr), -1);
}

TEST(ExitSignals, ASignalToAForkedChildIsHandledInTheChild)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer does not follow a thread started after a threaded process forks";
#endif
    // Parent P installs the handler, then forks C; a signal to C must not reach P's thread.
    int code = runInChild([] {
        prepareChild();
        if (ExitSignals::setHandler(recordSignal) != 0)
            return 1;
        int childCode = runInChild([] {
            gMainThread = pthread_self();
            kill(getpid(), SIGTERM);
            if (!waitHandled())
                return 2;
            return gLastSignal == SIGTERM && !gOnMainThread ? 0 : 3;
        });
        if (childCode != 0)
            return 10 + childCode;
        if (gCalls != 0)
            return 4;
        // The parent's own routing still works.
        kill(getpid(), SIGHUP);
        if (!waitHandled() || gLastSignal != SIGHUP)
            return 5;
        return 0;
    });
    EXPECT_EQ(code, 0);
}

void previousHandler(int signal)
{
    gPreviousSignal = signal;
}

void previousInfoHandler(int signal, siginfo_t* info, void*)
{
    gPreviousSignal = info != nullptr && info->si_signo == signal ? signal + 100 : -1;
}

TEST(ExitSignals, ExecutePreviousRunsOnlyAPreviousFunction)
{
    int code = runInChild([] {
        prepareChild();
        struct sigaction plain = {};
        plain.sa_handler = previousHandler;
        sigaction(SIGTERM, &plain, nullptr);
        struct sigaction withInfo = {};
        withInfo.sa_sigaction = previousInfoHandler;
        withInfo.sa_flags = SA_SIGINFO;
        sigaction(SIGQUIT, &withInfo, nullptr);
        signal(SIGHUP, SIG_IGN);
        // SIGINT keeps its default: executing it must not end the process.
        if (ExitSignals::setHandler(recordSignal) != 0)
            return 1;

        if (ExitSignals::executePrevious(SIGTERM) != 1 || gPreviousSignal != SIGTERM)
            return 2;
        if (ExitSignals::executePrevious(SIGQUIT) != 1 || gPreviousSignal != SIGQUIT + 100)
            return 3;
        if (ExitSignals::executePrevious(SIGINT) != 0 || ExitSignals::executePrevious(SIGHUP) != 0)
            return 4;
        if (ExitSignals::executePrevious(SIGUSR1) != -1)
            return 5;
        // A second handler replaces the first but the previous dispositions stay the original ones.
        if (ExitSignals::setHandler(previousHandler) != 0 || ExitSignals::executePrevious(SIGINT) != 0)
            return 6;
        return gCalls == 0 ? 0 : 7;
    });
    EXPECT_EQ(code, 0);
}

void endThreadOnFirstCall(int signal)
{
    bool first = gCalls.fetch_add(1) == 0;
    gLastSignal = signal;
    sem_post(&gHandled);
    if (first)
        pthread_exit(nullptr);
}

TEST(ExitSignals, AHandlerThatEndsItsThreadStillGetsTheNextSignal)
{
    int code = runInChild([] {
        prepareChild();
        if (ExitSignals::setHandler(endThreadOnFirstCall) != 0)
            return 1;
        kill(getpid(), SIGTERM);
        if (!waitHandled())
            return 2;
        kill(getpid(), SIGINT);
        if (!waitHandled() || gLastSignal != SIGINT)
            return 3;
        return gCalls == 2 ? 0 : 4;
    });
    EXPECT_EQ(code, 0);
}

TEST(ExitSignals, AThreadThatUnblocksPassesTheSignalToTheHandler)
{
    int code = runInChild([] {
        prepareChild();
        if (ExitSignals::setHandler(recordSignal) != 0)
            return 1;
        sem_t ready, done;
        sem_init(&ready, 0, 0);
        sem_init(&done, 0, 0);
        sem_t* sems[2] = {&ready, &done};
        pthread_t worker;
        pthread_create(
            &worker, nullptr,
            [](void* raw) -> void* {
                auto** s = static_cast<sem_t**>(raw);
                ExitSignals::unblockThread();
                sem_post(s[0]);
                while (sem_wait(s[1]) != 0)
                    ; // interrupted by the signal it passes on
                return nullptr;
            },
            sems);
        sem_wait(&ready);
        // Aimed at the thread that unblocked: it takes the signal and passes it on.
        pthread_kill(worker, SIGINT);
        bool handled = waitHandled();
        sem_post(&done);
        pthread_join(worker, nullptr);
        if (!handled || gLastSignal != SIGINT || gOnMainThread)
            return 2;
        return 0;
    });
    EXPECT_EQ(code, 0);
}

} // namespace
