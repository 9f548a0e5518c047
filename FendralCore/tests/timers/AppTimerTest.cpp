// Named application timers: polled against an injected clock (periods,
// phase, one-shot, clock steps) and on their timerfd.
#include "FendralCore/foundation/AppTimer.h"
#include "FendralCore/foundation/FrameworkErrno.h"
#include "FendralCore/tests/support/TestLog.h"

#include <gtest/gtest.h>

#include <poll.h>

namespace
{

constexpr int64 MS = 1000000;

int64 g_nowNs = 0;

int64 testClock()
{
    return g_nowNs;
}

class PolledAppTimer : public ::testing::Test
{
protected:
    void SetUp() override { g_nowNs = 1000 * MS; }

    static void at(int64 msAfterStart) { g_nowNs = 1000 * MS + msAfterStart * MS; }
};

TEST_F(PolledAppTimer, RepetitiveCountsPeriodsAndKeepsThePhase)
{
    AppTimer timer("REPEAT", 100, true, false);
    timer.setClock(testClock);
    EXPECT_EQ(timer.receive(), 0u) << "not started";
    ASSERT_EQ(timer.start(), 0);
    EXPECT_TRUE(timer.isStarted());

    struct Step
    {
        int64 atMs;
        uint64 expirations;
    };
    // Read late at 350 ms: three periods, and the next one still ends at 400.
    const Step steps[] = {{99, 0}, {350, 3}, {399, 0}, {400, 1}, {400, 0}, {1050, 6}, {1099, 0}, {1100, 1}};
    for (const Step& s : steps)
    {
        at(s.atMs);
        EXPECT_EQ(timer.receive(), s.expirations) << "at " << s.atMs << " ms";
    }
    EXPECT_TRUE(timer.isStarted());
}

TEST_F(PolledAppTimer, OneShotReportsOnceAndStops)
{
    AppTimer timer("ONCE", 100, false, false);
    timer.setClock(testClock);
    ASSERT_EQ(timer.start(), 0);
    at(99);
    EXPECT_EQ(timer.receive(), 0u);
    at(350);
    EXPECT_EQ(timer.receive(), 1u);
    EXPECT_FALSE(timer.isStarted());
    at(1000);
    EXPECT_EQ(timer.receive(), 0u);

    // Started again, the period runs from the new start.
    ASSERT_EQ(timer.start(), 0);
    at(1099);
    EXPECT_EQ(timer.receive(), 0u);
    at(1100);
    EXPECT_EQ(timer.receive(), 1u);
}

TEST_F(PolledAppTimer, LongPeriodsDoNotOverflow)
{
    // 3000 ms is 3e9 ns: beyond a 32-bit product.
    AppTimer timer("LONG", 3000, true, false);
    timer.setClock(testClock);
    EXPECT_EQ(timer.getInterval(), 3000 * MS);
    ASSERT_EQ(timer.start(), 0);
    at(6500);
    EXPECT_EQ(timer.receive(), 2u);
    at(8999);
    EXPECT_EQ(timer.receive(), 0u);
    at(9000);
    EXPECT_EQ(timer.receive(), 1u);
}

TEST_F(PolledAppTimer, ClockEarlierThanTheStartRestartsThePeriod)
{
    AppTimer timer("STEP", 100, true, false);
    timer.setClock(testClock);
    ASSERT_EQ(timer.start(), 0);
    at(150);
    EXPECT_EQ(timer.receive(), 1u);
    // The clock reads before the current period's start (100 ms).
    at(-5000);
    EXPECT_EQ(timer.receive(), 0u) << "no flood of expirations";
    at(-4901);
    EXPECT_EQ(timer.receive(), 0u);
    at(-4900);
    EXPECT_EQ(timer.receive(), 1u);
}

TEST_F(PolledAppTimer, StopAndRestart)
{
    AppTimer timer("STOP", 100, true, false);
    timer.setClock(testClock);
    ASSERT_EQ(timer.start(), 0);
    at(250);
    ASSERT_EQ(timer.stop(), 0);
    EXPECT_FALSE(timer.isStarted());
    EXPECT_EQ(timer.receive(), 0u);
    ASSERT_EQ(timer.start(), 0);
    at(349);
    EXPECT_EQ(timer.receive(), 0u);
    at(350);
    EXPECT_EQ(timer.receive(), 1u);
}

TEST_F(PolledAppTimer, ItimerspecSettings)
{
    struct Case
    {
        itimerspec setting;
        int64 interval;
        bool repetitive;
        int32 startResult;
    };
    const Case cases[] = {
        {{{0, 0}, {0, 250 * MS}}, 250 * MS, false, 0},
        {{{1, 0}, {2, 5}}, 2 * 1000 * MS + 5, true, 0},
        {{{0, 1}, {0, 1}}, 1, true, 0},
        {{{0, 0}, {0, 0}}, 0, false, -1},
    };
    for (const Case& c : cases)
    {
        AppTimer timer("SPEC", c.setting, false);
        timer.setClock(testClock);
        EXPECT_EQ(timer.getInterval(), c.interval);
        EXPECT_EQ(timer.isRepetitive(), c.repetitive);
        EXPECT_EQ(timer.start(), c.startResult);
        if (c.startResult != 0)
        {
            EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_TIMER_INTERVAL);
            EXPECT_FALSE(timer.isStarted());
        }
    }
}

TEST(AppTimerName, CutToSixteenCharacters)
{
    const AppTimer timer("A_TIMER_NAME_LONGER_THAN_16", 10, true, false);
    EXPECT_STREQ(timer.getName(), "A_TIMER_NAME_LON");
    const AppTimer unnamed(nullptr, 10, true, false);
    EXPECT_STREQ(unnamed.getName(), "");
}

bool waitReadable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 5000) == 1;
}

TEST(DescriptorAppTimer, OneShotStopsAfterItsExpiry)
{
    AppTimer timer("FD_ONCE", 1, false, true);
    EXPECT_EQ(timer.receive(), 0u) << "not started";
    ASSERT_EQ(timer.start(), 0);
    ASSERT_TRUE(waitReadable(timer.getFileDescriptor()));
    EXPECT_EQ(timer.receive(), 1u);
    EXPECT_FALSE(timer.isStarted());
    EXPECT_EQ(timer.receive(), 0u);
}

// A timer restarted by an earlier callback of the same ready batch: its count
// was cleared by the restart, and reading it must not stall the thread.
TEST(DescriptorAppTimer, RestartInsideAReadyBatchReadsZeroAtOnce)
{
    itimerspec s{};
    s.it_value = {0, 1 * MS};
    s.it_interval = {10, 0};
    AppTimer timer("FD_REPEAT", s, true);
    ASSERT_EQ(timer.start(), 0);
    ASSERT_TRUE(waitReadable(timer.getFileDescriptor()));
    ASSERT_EQ(timer.start(), 0); // restart: the expiry the wait reported is gone
    EXPECT_EQ(timer.receive(), 0u);
    EXPECT_TRUE(timer.isStarted());
    ASSERT_EQ(timer.stop(), 0);
    EXPECT_FALSE(timer.isStarted());
}

TEST(DescriptorAppTimer, ZeroPeriodIsRefused)
{
    testLog().clear();
    AppTimer timer("FD_ZERO", 0, true, true);
    EXPECT_EQ(timer.start(), -1);
    EXPECT_EQ(FrameworkErrno::m_fwErrno, INVALID_TIMER_INTERVAL);
    EXPECT_FALSE(timer.isStarted());
}

} // namespace
