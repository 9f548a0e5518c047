// The timer descriptor on a real timerfd: its settings, arming, expiry
// counts, buffer checks and the multiplexer wake-up. Waits are on the
// descriptor itself (poll or the multiplexer), never sleeps.
#include "FendralCore/foundation/FileDescMultiplexer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/foundation/Timer.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace
{

// Blocks until the descriptor is readable (or the test's patience ends).
bool waitReadable(int fd, int timeoutMs = 5000)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

int64 toNs(const timespec& t)
{
    return static_cast<int64>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

itimerspec setting(int64 valueNs, int64 intervalNs)
{
    itimerspec s{};
    s.it_value = {static_cast<time_t>(valueNs / 1000000000LL), static_cast<long>(valueNs % 1000000000LL)};
    s.it_interval = {static_cast<time_t>(intervalNs / 1000000000LL), static_cast<long>(intervalNs % 1000000000LL)};
    return s;
}

class TimerTest : public ::testing::Test
{
protected:
    void SetUp() override { testLog().clear(); }
};

TEST_F(TimerTest, MillisecondSettings)
{
    struct Case
    {
        int32 ms;
        bool repetitive;
        timespec value;
        timespec interval;
    };
    const Case cases[] = {
        {1500, true, {1, 500000000}, {1, 500000000}},
        {1500, false, {1, 500000000}, {0, 0}},
        {999, true, {0, 999000000}, {0, 999000000}},
        {3000, true, {3, 0}, {3, 0}},
        {0, true, {0, 0}, {0, 0}},
    };
    for (const Case& c : cases)
    {
        Timer timer(c.ms, c.repetitive);
        const itimerspec& s = timer.getSetting();
        EXPECT_EQ(toNs(s.it_value), toNs(c.value)) << c.ms;
        EXPECT_EQ(toNs(s.it_interval), toNs(c.interval)) << c.ms;
        EXPECT_EQ(timer.getDescType(), TIMER_DESC);
    }
}

TEST_F(TimerTest, DescriptorIsNonBlockingAndCloseOnExec)
{
    Timer timer(100, true);
    const int fd = timer.getFileDescriptor();
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(TimerTest, StartArmsFromNowWithThePeriod)
{
    Timer timer(1500, true);
    ASSERT_EQ(timer.startTimer(), 0);
    itimerspec armed{};
    ASSERT_EQ(timerfd_gettime(timer.getFileDescriptor(), &armed), 0);
    EXPECT_EQ(toNs(armed.it_interval), 1500000000LL);
    EXPECT_GT(toNs(armed.it_value), 1000000000LL);
    EXPECT_LE(toNs(armed.it_value), 1500000000LL);

    ASSERT_EQ(timer.stopTimer(), 0);
    ASSERT_EQ(timerfd_gettime(timer.getFileDescriptor(), &armed), 0);
    EXPECT_EQ(toNs(armed.it_value), 0);
    EXPECT_EQ(toNs(armed.it_interval), 0);
}

TEST_F(TimerTest, ZeroFirstExpiryIsRefusedWithoutArming)
{
    for (const itimerspec& s : {setting(0, 0), setting(0, 1000000)})
    {
        Timer timer(s);
        EXPECT_EQ(timer.startTimer(), -1);
        EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_TIMER_INTERVAL);
        itimerspec armed{};
        ASSERT_EQ(timerfd_gettime(timer.getFileDescriptor(), &armed), 0);
        EXPECT_EQ(toNs(armed.it_value), 0);
    }
    EXPECT_EQ(Timer(0, false).startTimer(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_TIMER_INTERVAL);
}

TEST_F(TimerTest, ReceiveCountsExpirationsAndNeverBlocks)
{
    // First expiry after 1 ms, then only every 10 s: a second read must
    // answer at once instead of waiting for the next period.
    Timer timer(setting(1000000, 10000000000LL));
    ASSERT_EQ(timer.startTimer(), 0);
    ASSERT_TRUE(waitReadable(timer.getFileDescriptor()));
    uint64 count = 0;
    int done = 0;
    ASSERT_EQ(timer.receive(reinterpret_cast<char*>(&count), sizeof(count), done), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(done, 8);

    EXPECT_EQ(timer.receive(reinterpret_cast<char*>(&count), sizeof(count), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, WOULD_BLOCK);
    EXPECT_EQ(testLog().lines().size(), 0u) << "would-block is not an error";
}

TEST_F(TimerTest, ShortReceiveBufferIsRefusedAndReadsNothing)
{
    Timer timer(1, false);
    ASSERT_EQ(timer.startTimer(), 0);
    ASSERT_TRUE(waitReadable(timer.getFileDescriptor()));
    char small[4] = {};
    int done = -1;
    EXPECT_EQ(timer.receive(small, sizeof(small), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_TIMER_MSG_BUFFER_SIZE);
    EXPECT_TRUE(testLog().contains("Receive buffer must be at least [8] bytes long"));
    EXPECT_EQ(timer.receive(nullptr, 8, done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, NULL_PARAM);

    // The expiry is still there to read.
    uint64 count = 0;
    ASSERT_EQ(timer.receive(reinterpret_cast<char*>(&count), sizeof(count), done), 0);
    EXPECT_EQ(count, 1u);
}

// The state a refused timerfd_create leaves.
struct BrokenTimer : Timer
{
    BrokenTimer() : Timer(10, true)
    {
        ::close(m_fd);
        m_fd = -1;
    }
};

TEST_F(TimerTest, FailedCreationShowsWhenUsed)
{
    BrokenTimer broken;
    EXPECT_EQ(broken.startTimer(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, SET_TIMER_FAILED);
    EXPECT_TRUE(testLog().contains("starting the timer [-1]. Bad file descriptor"));
    EXPECT_EQ(broken.stopTimer(), -1);
    EXPECT_TRUE(testLog().contains("stopping the timer [-1]."));
    uint64 count = 0;
    int done = 0;
    EXPECT_EQ(broken.receive(reinterpret_cast<char*>(&count), sizeof(count), done), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INCORRECT_TIMER_MSG_SIZE);
    EXPECT_TRUE(testLog().contains("Expect to receive [8] bytes but got [0]"));
}

TEST_F(TimerTest, WakesTheMultiplexerWait)
{
    FileDescMultiplexer mux(4);
    ASSERT_EQ(mux.createEpoll(), 0);
    Timer timer(1, true);
    ASSERT_EQ(mux.addFileDesc(&timer, IO_WAIT_READ), 0);
    ASSERT_EQ(timer.startTimer(), 0);
    FileDescriptor* ready[4] = {};
    ASSERT_EQ(mux.wait(ready, 4, 5000), 1);
    EXPECT_EQ(ready[0], &timer);
    uint64 count = 0;
    int done = 0;
    ASSERT_EQ(timer.receive(reinterpret_cast<char*>(&count), sizeof(count), done), 0);
    EXPECT_GE(count, 1u);
    ASSERT_EQ(timer.stopTimer(), 0);
    ASSERT_EQ(mux.removeFileDesc(&timer), 0);
}

} // namespace
