// The terminator: one TerminateAll whatever asks for the end and how often,
// "quit", the process exit's hand-over, the middleware signal path through
// the self-pipe, and a signal in a forked child.
#include "kelmora/tests/host_runnable/RunnableTestSupport.h"

#include "kelmora/bus/TerminateAll.h"
#include "kelmora/process/Terminator.h"
#include "kelmora/thread/TarvokSessionRunnable.h"
#include "zunq/runtime/ExitSignals.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>

using namespace hostrun;

namespace
{

struct Count : OrluSubscriber<TerminateAll>
{
    Count() : OrluSubscriber<TerminateAll>("count") {}
    void onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&) override { ++n; }
    int n = 0;
};

class TerminatorTest : public ::testing::Test
{
protected:
    TerminatorTest()
    {
        session.setName("default");
        session.setLog(&host.log);
        session.setRunnable(&runnable);
        channel.subscribe(&count);
    }
    ~TerminatorTest() override { Terminator::setLocalTerminator(nullptr, 0); }

    std::unique_ptr<Terminator> make(bool middleware)
    {
        auto terminator = std::make_unique<Terminator>(host.log, session, middleware);
        Terminator::setLocalTerminator(terminator.get(), static_cast<int>(::getpid()));
        terminator->setDestination(&channel);
        return terminator;
    }

    Host host;
    TarvokSessionRunnable runnable{"default", host.cfg, host.modules, host.log};
    TarvokSession session;
    Orlu<TerminateAll> channel{"TerminateAll", ""};
    Count count;
};

TEST_F(TerminatorTest, EveryLaterRequestIsOnlyLogged)
{
    auto terminator = make(false);
    terminator->terminate("by KESH request");
    testing::internal::CaptureStdout();
    runnable.term();
    testing::internal::GetCapturedStdout();
    terminator->terminate("a line gave up");
    EXPECT_EQ(count.n, 1);
    EXPECT_EQ(host.sink.count("starting termination procedure (reason: by KESH request)"), 1);
    EXPECT_EQ(host.sink.count("termination already in progress"), 2);
}

// "quit" answers first and ends the process on the default session's next
// turn, so the answer is out before anything tears down; a second "quit"
// meanwhile only logs.
TEST_F(TerminatorTest, QuitAnswersThenEndsOnceUnlessDisabledOrGivenArguments)
{
    auto terminator = make(false);
    KeshQuit quit(*terminator, "feedd@hostA");
    auto answer = [&](std::vector<std::string> args) -> std::string {
        KeshParamList in, out;
        for (const std::string& a : args)
            in.add("", a);
        try
        {
            quit.invoke(in, out);
        }
        catch (const KeshUsageError&)
        {
            return "usage";
        }
        return out.getParam(std::string("Message"))->getValue();
    };
    EXPECT_EQ(answer({"now"}), "usage");
    terminator->setOrvaneDisableQuit(true);
    EXPECT_EQ(answer({}), "Quit is disabled. Please check OrvaneDisableQuit parameter in the config.");
    terminator->setOrvaneDisableQuit(false);
    EXPECT_EQ(answer({}), "Goodbye from feedd@hostA");
    EXPECT_EQ(answer({}), "Goodbye from feedd@hostA");
    // Nothing has torn down yet: the answer can still be sent.
    EXPECT_EQ(count.n, 0);
    EXPECT_FALSE(terminator->terminating());
    EXPECT_EQ(host.sink.count("termination already in progress (reason: by KESH request)"), 1);

    struct EndsOn : OrluSubscriber<TerminateAll>
    {
        EndsOn() : OrluSubscriber<TerminateAll>("endsOn") {}
        void onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&) override
        {
            thread = Runnable::current();
            stopFramework();
        }
        Runnable* thread = nullptr;
    } endsOn;
    channel.subscribe(&endsOn);
    testing::internal::CaptureStdout();
    const bool stopped = runFramework({{"default", 100}}, "", std::chrono::seconds(20));
    testing::internal::GetCapturedStdout();
    channel.unsubscribe(&endsOn);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(count.n, 1);
    EXPECT_EQ(endsOn.thread, &runnable);
    EXPECT_EQ(host.sink.count("starting termination procedure (reason: by KESH request)"), 1);
}

// Without a timer on the default session, "quit" still ends the process, at once.
TEST_F(TerminatorTest, QuitWithoutATimerEndsAtOnce)
{
    TarvokSession threadless;
    threadless.setName("none");
    threadless.setLog(&host.log);
    Terminator terminator(host.log, threadless, false);
    terminator.setDestination(&channel);
    KeshQuit quit(terminator, "feedd@hostA");
    KeshParamList in, out;
    quit.invoke(in, out);
    EXPECT_EQ(out.getParam(std::string("Message"))->getValue(), "Goodbye from feedd@hostA");
    EXPECT_EQ(count.n, 1);
    EXPECT_EQ(host.sink.count("no timer on the default session to end after the answer; ending now"), 1);
}

// The hand-over: without an earlier SIGTERM handler, the process asks the
// framework to stop with SIGTERM, unless the framework started the end.
TEST_F(TerminatorTest, ProcessExitHandsTheStopToTheFrameworkUnlessItAskedItself)
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, nullptr), 0);
    const timespec none{0, 0};
    for (const bool byFramework : {false, true})
    {
        SCOPED_TRACE(byFramework);
        auto terminator = make(false);
        ProcessExit exit(host.log, 4242, 0, true, terminator.get());
        channel.subscribe(&exit);
        testing::internal::CaptureStdout();
        if (byFramework)
            runnable.setTerminator(terminator.get()), runnable.term();
        else
            terminator->terminate("by KESH request");
        testing::internal::GetCapturedStdout();
        channel.unsubscribe(&exit);
        EXPECT_EQ(sigtimedwait(&term, nullptr, &none) == SIGTERM, !byFramework);
        runnable.setTerminator(nullptr);
    }
    EXPECT_EQ(host.sink.count("ProcessExit (PID=4242): exit code 0"), 2);
    EXPECT_EQ(host.sink.count("#9004 stopping"), 2);
    EXPECT_EQ(host.sink.count("#9005 stopped"), 2);
}

TEST_F(TerminatorTest, ProcessExitWaitsTheExitDelayOnce)
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, nullptr), 0);
    auto terminator = make(false);
    terminator->terminate("x"); // the hand-over below is not the framework's
    ProcessExit exit(host.log, 1, 200, false, terminator.get());
    const auto start = std::chrono::steady_clock::now();
    exit.onData(channel, "Terminator", TerminateAll("no reason!"));
    exit.onData(channel, "Terminator", TerminateAll("no reason!"));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::milliseconds(390));
    EXPECT_EQ(host.sink.count("ProcessExit (PID=1): exit code 0"), 1);
    EXPECT_EQ(host.sink.count("#9004"), 0);
    const timespec wait{1, 0};
    EXPECT_EQ(sigtimedwait(&term, nullptr, &wait), SIGTERM);
}

// Middleware mode: the signal reaches cleanup on the outside library's
// signal thread, which only writes to the pipe; the default session's timer
// publishes. Every code in the pipe is read in one pass.
TEST_F(TerminatorTest, MiddlewareSignalReachesTheBusThroughThePipe)
{
    auto terminator = make(true);
    EXPECT_EQ(host.sink.count("Terminator::Terminator(): start timer 1ms"), 1);
    testing::internal::CaptureStdout();
    ::kill(::getpid(), SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count.n == 0 && std::chrono::steady_clock::now() < end)
    {
        terminator->handleEpollTimerCb();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(count.n, 1);
    EXPECT_EQ(out, "PID " + std::to_string(::getpid()) + " caught signal 15\n");

    // Two codes waiting behind one edge: both are read now, none is left for later.
    EXPECT_TRUE(terminator->queueDetachShmSegments());
    EXPECT_TRUE(terminator->queueDetachShmSegments());
    terminator->handleEpollTimerCb();
    EXPECT_EQ(count.n, 3);
    terminator->handleEpollTimerCb();
    EXPECT_EQ(count.n, 3);
    // The signal thread may still be inside terminate() once its code was
    // read; a second request waits for the lock the first one holds, so the
    // terminator is destroyed only after that thread has left it.
    terminator->terminate("test end");
    EXPECT_TRUE(terminator->terminating());
}

TEST_F(TerminatorTest, SignalInAForkedChildIsIgnoredThere)
{
    auto terminator = make(false);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        Terminator::cleanup(SIGTERM);
        ::_exit(terminator->terminating() || count.n != 0 ? 1 : 0);
    }
    ::close(pipeFds[1]);
    char text[128] = {};
    const ssize_t got = ::read(pipeFds[0], text, sizeof text - 1);
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0),
              "PID " + std::to_string(child) + " (child) ignoring signal 15\n");
    EXPECT_FALSE(terminator->terminating());
}

} // namespace
