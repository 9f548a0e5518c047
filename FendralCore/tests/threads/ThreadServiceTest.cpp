#include "FendralCore/tests/support/TestLog.h"
#include "ThreadTestSupport.h"

#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/runtime/ThreadService.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace
{

class ThreadServiceTest : public ::testing::Test
{
protected:
    void SetUp() override { testLog().clear(); }

    ThreadService m_service;
};

void* infoEntry(void* arg)
{
    auto* info = static_cast<ThreadInfo*>(arg);
    static_cast<Gate*>(info->argvPtr)->wait();
    return nullptr;
}

// Starts a parked thread through the ThreadInfo form.
struct ParkedThread
{
    Gate gate;
    ThreadInfo info{};

    ParkedThread(int64 cpuBitmap, int32 priority)
    {
        info.cpuBitmap = cpuBitmap;
        info.priority = priority;
        info.argvPtr = &gate;
    }
    void finish()
    {
        gate.release();
        pthread_join(info.tid, nullptr);
    }
};

TEST_F(ThreadServiceTest, NormalPriorityWithoutMaskRunsWhereItsCreatorRuns)
{
    ParkedThread thread(0, 0);
    ASSERT_EQ(m_service.startThread(&thread.info, infoEntry), 0);
    const Scheduling sched = schedulingOf(thread.info.tid);
    EXPECT_EQ(sched.policy, SCHED_OTHER);
    EXPECT_EQ(sched.priority, 0);
    EXPECT_EQ(affinityOf(thread.info.tid), affinityOf(pthread_self()));
    EXPECT_TRUE(testLog().contains("Thread [" + hexId(thread.info.tid) + "] created"));
    EXPECT_FALSE(testLog().contains("affinity"));
    thread.finish();
}

// The attribute object is reused: a mask given to one thread must not pin the
// next thread created without one.
TEST_F(ThreadServiceTest, MaskOfOneThreadDoesNotCarryOverToTheNext)
{
    const std::vector<int> cpus = allowedCpus();
    if (cpus.size() < 2)
        GTEST_SKIP() << "needs two usable CPUs, this process may use " << cpus.size();
    const int pinned = cpus[1];
    if (pinned >= 63)
        GTEST_SKIP() << "no usable CPU below 63 besides the first";
    const std::vector<int> creatorCpus = affinityOf(pthread_self());

    ParkedThread first(int64{1} << pinned, 0);
    ASSERT_EQ(m_service.startThread(&first.info, infoEntry), 0);
    EXPECT_EQ(affinityOf(first.info.tid), std::vector<int>{pinned});

    ParkedThread second(0, 0);
    ASSERT_EQ(m_service.startThread(&second.info, infoEntry), 0);
    EXPECT_EQ(affinityOf(second.info.tid), creatorCpus);

    // The argument form, with its negative (bit 63) masks not applied either.
    Gate third;
    pthread_t thirdTid;
    ASSERT_EQ(m_service.startThread(thirdTid, Gate::entry, &third, 0, 0), 0);
    EXPECT_EQ(affinityOf(thirdTid), creatorCpus);

    first.finish();
    second.finish();
    third.release();
    pthread_join(thirdTid, nullptr);
}

TEST_F(ThreadServiceTest, MaskNamingNoUsableCpuStillCreatesTheThread)
{
    const int absent = absentCpu();
    if (absent < 0)
        GTEST_SKIP() << "this machine has every CPU a mask can name";

    ParkedThread thread(int64{1} << absent, 0);
    ASSERT_EQ(m_service.startThread(&thread.info, infoEntry), 0);
    EXPECT_EQ(affinityOf(thread.info.tid), affinityOf(pthread_self()));
    EXPECT_TRUE(testLog().contains("Create the thread without CPU affinity"));
    EXPECT_TRUE(testLog().contains("Thread [" + hexId(thread.info.tid) + "] created"));
    thread.finish();
}

TEST_F(ThreadServiceTest, RealTimePriorityIsCutToTheSystemMaximum)
{
    if (!realTimeAllowed())
        GTEST_SKIP() << "this machine refuses real-time FIFO scheduling";
    const int top = sched_get_priority_max(SCHED_FIFO);
    const struct
    {
        int32 asked;
        int expected;
    } cases[] = {{1, 1}, {50, 50}, {200, top}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.asked);
        ParkedThread thread(0, c.asked);
        ASSERT_EQ(m_service.startThread(&thread.info, infoEntry), 0);
        const Scheduling sched = schedulingOf(thread.info.tid);
        EXPECT_EQ(sched.policy, SCHED_FIFO);
        EXPECT_EQ(sched.priority, c.expected);
        thread.finish();
    }
}

TEST_F(ThreadServiceTest, RefusedRealTimePriorityFallsBackToADefaultThread)
{
    const std::optional<std::string> answer = runUnprivileged([] {
        ThreadService service;
        Gate gate;
        pthread_t tid;
        testLog().clear();
        if (service.startThread(tid, Gate::entry, &gate, 0, 50) != 0)
            return std::string("not created");
        const Scheduling sched = schedulingOf(tid);
        gate.release();
        pthread_join(tid, nullptr);
        if (sched.policy != SCHED_OTHER)
            return "policy " + std::to_string(sched.policy);
        if (!testLog().contains("User has no right to set RT process priority. Create the thread without "
                                "specifying RT priority"))
            return std::string("no refusal line");
        if (!testLog().contains("Thread [" + hexId(tid) + "] created"))
            return std::string("no created line");
        return std::string();
    });
    if (!answer)
        GTEST_SKIP() << "could not drop the right to real-time scheduling";
    EXPECT_EQ(*answer, "");
}

TEST_F(ThreadServiceTest, PriorityTheSchedulerRejectsFallsBackToADefaultThread)
{
    ParkedThread thread(0, -1);
    ASSERT_EQ(m_service.startThread(&thread.info, infoEntry), 0);
    EXPECT_EQ(schedulingOf(thread.info.tid).policy, SCHED_OTHER);
    EXPECT_TRUE(testLog().contains("Cannot set scheduler policy. Create the thread without specifying scheduler "
                                   "policy"));
    EXPECT_TRUE(testLog().contains("Thread [" + hexId(thread.info.tid) + "] created"));
    thread.finish();
}

TEST_F(ThreadServiceTest, CheckThreadTerminateJoinsOnlyEndedThreads)
{
    Gate gate;
    pthread_t tid;
    ASSERT_EQ(m_service.startThread(tid, Gate::entry, &gate, 0, 0), 0);
    testLog().clear();

    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(m_service.checkThreadTerminate(tid, nullptr, 0), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);

    const auto start = std::chrono::steady_clock::now();
    FrameworkErrno::m_fwErrno = 0;
    EXPECT_EQ(m_service.checkThreadTerminate(tid, nullptr, 1), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_TRUE(testLog().lines().empty()) << "a running thread is not an error";

    gate.release();
    int* result = nullptr;
    EXPECT_EQ(m_service.checkThreadTerminate(tid, &result, 30), 0);
    EXPECT_EQ(result, reinterpret_cast<int*>(&gate));
    EXPECT_TRUE(testLog().contains("Thread [" + hexId(tid) + "] terminated"));
}

TEST_F(ThreadServiceTest, StopThreadCancelsABlockedThread)
{
    Gate gate;
    pthread_t tid;
    ASSERT_EQ(m_service.startThread(tid, Gate::entry, &gate, 0, 0), 0);
    EXPECT_EQ(m_service.signalThread(tid, 0), 0);
    EXPECT_EQ(m_service.stopThread(tid), 0);
    int* result = nullptr;
    EXPECT_EQ(m_service.waitThreadTermiante(tid, &result), 0);
    EXPECT_EQ(result, static_cast<int*>(PTHREAD_CANCELED));
}

// Refused cancels and joins give their own codes and a log line; joining the
// calling thread itself is the join the system refuses.
TEST_F(ThreadServiceTest, RefusedCancelOrJoinGivesItsCode)
{
    ThreadService::setCancelCall([](pthread_t) { return ESRCH; });
    struct Case
    {
        const char* what;
        std::function<int32()> call;
        int32 code;
        const char* log;
    };
    const pthread_t self = pthread_self();
    const std::vector<Case> cases = {
        {"cancel", [&] { return m_service.stopThread(self); }, TERMINATE_THREAD_FAILED, "] cancelling thread ["},
        {"join", [&] { return m_service.waitThreadTermiante(self, nullptr); }, WAIT_THREAD_TERMIANTE_FAILED,
         "] joining with thread ["},
#if !defined(__SANITIZE_THREAD__) // that tool's timed join aborts on a thread it cannot join
        {"check with wait", [&] { return m_service.checkThreadTerminate(self, nullptr, 1); },
         WAIT_THREAD_TERMIANTE_FAILED, "] joining with thread ["},
#endif
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        testLog().clear();
        FrameworkErrno::m_fwErrno = 0;
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, c.code);
        EXPECT_TRUE(testLog().contains(c.log));
    }
    ThreadService::setCancelCall(nullptr);
}

TEST(ThreadServiceSignalMask, BlocksEverySignalButTheGivenOnes)
{
    std::vector<int> blocked;
    int rcNull = -1, rc = -1;
    std::thread([&] {
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        rcNull = ThreadService::setSignalMask(nullptr);
        sigset_t kept;
        sigemptyset(&kept);
        sigaddset(&kept, SIGTERM);
        sigaddset(&kept, SIGUSR2);
        sigaddset(&kept, SIGSEGV); // not one that may stay open
        rc = ThreadService::setSignalMask(&kept);
        sigset_t now;
        pthread_sigmask(SIG_BLOCK, nullptr, &now);
        for (int sig = 1; sig < SIGRTMIN; ++sig)
            if (sigismember(&now, sig) == 1)
                blocked.push_back(sig);
    }).join();
    EXPECT_EQ(rcNull, 0);
    EXPECT_EQ(rc, 0);
    for (int sig = 1; sig < SIGRTMIN; ++sig)
    {
        const bool open = sig == SIGTERM || sig == SIGUSR2 || sig == SIGKILL || sig == SIGSTOP;
        const bool isBlocked = std::find(blocked.begin(), blocked.end(), sig) != blocked.end();
        // glibc keeps its two internal signals out of any mask.
        if (sig >= 32)
            continue;
        EXPECT_EQ(isBlocked, !open) << "signal " << sig;
    }
}

} // namespace
